#include <QStandardPaths>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "capture/frameconversion.h"
#include "capture/mjpegdecode.h"

namespace {

// A picture with detail in both directions, as a camera would send it.
cv::Mat scene(int width, int height) {
    cv::Mat m(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            m.at<cv::Vec3b>(y, x) =
                cv::Vec3b((x / 40 + y / 40) % 2 ? 220 : 30, x * 255 / width, y * 255 / height);
    cv::putText(m, "Camera 3", {width / 10, height / 2}, cv::FONT_HERSHEY_SIMPLEX, 2.0,
                cv::Scalar(255, 255, 255), 3);
    return m;
}

cv::Mat jpeg(const cv::Mat& picture) {
    std::vector<uchar> bytes;
    cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_QUALITY, 90});
    return cv::Mat(bytes, true).reshape(1, 1);
}

} // namespace

class MjpegDecodeTest final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void decodeSize_data();
    void decodeSize();
    void halfScaleCloseToFullDecode();
    void sameColoursAsOpenCv_data();
    void sameColoursAsOpenCv();
    void tornPacketStillDecodes();
    void notJpeg_data();
    void notJpeg();
    void truncatedHeaders();
};

void MjpegDecodeTest::decodeSize_data() {
    QTest::addColumn<QSize>("source");
    QTest::addColumn<QSize>("decoded");
    QTest::newRow("1280x720 whole") << QSize(1280, 720) << QSize(1280, 720);
    QTest::newRow("1920x1080 at half scale") << QSize(1920, 1080) << QSize(960, 540);
    QTest::newRow("640x480 whole") << QSize(640, 480) << QSize(640, 480);
    QTest::newRow("1278 wide whole") << QSize(1278, 720) << QSize(1278, 720);
}

void MjpegDecodeTest::decodeSize() {
    QFETCH(QSize, source);
    QFETCH(QSize, decoded);
    const cv::Mat packet = jpeg(scene(source.width(), source.height()));
    QCOMPARE(jpegSize(packet), cv::Size(source.width(), source.height()));
    cv::Mat dst;
    QVERIFY(decodeMjpegFrame(packet, dst));
    QCOMPARE(dst.type(), CV_8UC3);
    QCOMPARE(QSize(dst.cols, dst.rows), decoded);
    const cv::Mat frame = prepareFrame(dst, QString(), QDateTime(QDate(2024, 3, 7), QTime(9, 5)));
    QCOMPARE(QSize(frame.cols, frame.rows), QSize(kRecordWidth, kRecordHeight));
}

void MjpegDecodeTest::halfScaleCloseToFullDecode() {
    const cv::Mat packet = jpeg(scene(1280, 720));
    cv::Mat half;
    QVERIFY(decodeMjpegFrame(packet, half));
    const cv::Mat full = cv::imdecode(packet, cv::IMREAD_COLOR);
    cv::Mat fromFull, fromHalf;
    cv::resize(full, fromFull, {kRecordWidth, kRecordHeight}, 0, 0, cv::INTER_AREA);
    cv::resize(half, fromHalf, {kRecordWidth, kRecordHeight}, 0, 0, cv::INTER_LINEAR);
    const double psnr = cv::PSNR(fromFull, fromHalf);
    QVERIFY2(psnr > 30.0, qPrintable(QString::number(psnr)));
}

// The direct libjpeg path must give the very pixels OpenCV's decoder gives, channel order
// included, at both scales and for grey pictures.
void MjpegDecodeTest::sameColoursAsOpenCv_data() {
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("grey");
    QTest::addColumn<int>("flags");
    QTest::newRow("full size") << 800 << 600 << false << int(cv::IMREAD_COLOR);
    QTest::newRow("half scale") << 1920 << 1080 << false << int(cv::IMREAD_REDUCED_COLOR_2);
    QTest::newRow("grey, half scale") << 1920 << 1080 << true << int(cv::IMREAD_REDUCED_COLOR_2);
}

void MjpegDecodeTest::sameColoursAsOpenCv() {
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, grey);
    QFETCH(int, flags);
    cv::Mat picture = scene(width, height);
    if (grey)
        cv::cvtColor(picture, picture, cv::COLOR_BGR2GRAY);
    const cv::Mat packet = jpeg(picture);
    cv::Mat ours;
    QVERIFY(decodeMjpegFrame(packet, ours));
    const cv::Mat reference = cv::imdecode(packet, flags);
    QCOMPARE(ours.type(), reference.type());
    QCOMPARE(ours.size(), reference.size());
    QVERIFY2(cv::norm(ours, reference, cv::NORM_INF) <= 1.0,
             qPrintable(QString::number(cv::norm(ours, reference, cv::NORM_INF))));
}

// A packet cut short, as a camera's last frame before a dropped cable: decoded whole-sized
// (the hold-back in the worker keeps such a frame out of the recording), never a failure that
// ends the stream.
void MjpegDecodeTest::tornPacketStillDecodes() {
    const cv::Mat whole = jpeg(scene(1280, 720));
    cv::Mat dst;
    QVERIFY(decodeMjpegFrame(whole.colRange(0, whole.cols / 2), dst));
    QCOMPARE(dst.size(), cv::Size(1280, 720));
}

void MjpegDecodeTest::notJpeg_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("text") << QByteArray("--myboundary\r\nContent-Type: image/jpeg\r\n");
    QTest::newRow("start of image only") << QByteArray("\xFF\xD8", 2);
    QTest::newRow("scan before header") << QByteArray("\xFF\xD8\xFF\xDA\x00\x02\x00\x00", 8);
    QTest::newRow("zero length segment") << QByteArray("\xFF\xD8\xFF\xE0\x00\x00\xFF\xC0", 8);
    QTest::newRow("fill bytes forever") << QByteArray(4096, '\xFF').prepend("\xFF\xD8");
}

void MjpegDecodeTest::notJpeg() {
    QFETCH(QByteArray, bytes);
    const cv::Mat packet(1, bytes.size(), CV_8U, bytes.data());
    QVERIFY(jpegSize(packet).empty());
    cv::Mat dst(10, 10, CV_8UC3);
    QVERIFY(!decodeMjpegFrame(packet, dst));
    QVERIFY(dst.empty());
}

void MjpegDecodeTest::truncatedHeaders() {
    const cv::Mat whole = jpeg(scene(1280, 720));
    // Up to the end of the frame header no size can be read; after it the size is right.
    int firstReadable = -1;
    for (int n = 0; n <= 1024 && n <= whole.cols; ++n) {
        const cv::Size size = jpegSize(whole.colRange(0, n));
        if (!size.empty()) {
            QCOMPARE(size, cv::Size(1280, 720));
            if (firstReadable < 0)
                firstReadable = n;
        } else {
            QCOMPARE(firstReadable, -1);
        }
    }
    QVERIFY(firstReadable > 0);
}

QTEST_GUILESS_MAIN(MjpegDecodeTest)
#include "tst_mjpegdecode.moc"
