// The pictures a camera hands over, as the recorder reads them: JPEG packets of a network camera
// decoded to the very pixels OpenCV's decoder gives (also cut short, or not JPEG at all), and a
// local camera's images in every format converted with the right colours.
#include <QRandomGenerator>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "capture/frameconversion.h"
#include "capture/mjpegdecode.h"

namespace {

// A picture with detail in both directions, as a camera would send it, as a JPEG packet.
cv::Mat jpeg(int width, int height, bool grey = false) {
    cv::Mat m(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            m.at<cv::Vec3b>(y, x) =
                cv::Vec3b((x / 40 + y / 40) % 2 ? 220 : 30, x * 255 / width, y * 255 / height);
    cv::putText(m, "Camera 3", {width / 10, height / 2}, cv::FONT_HERSHEY_SIMPLEX, 2.0,
                cv::Scalar(255, 255, 255), 3);
    if (grey)
        cv::cvtColor(m, m, cv::COLOR_BGR2GRAY);
    std::vector<uchar> bytes;
    cv::imencode(".jpg", m, bytes, {cv::IMWRITE_JPEG_QUALITY, 90});
    return cv::Mat(bytes, true).reshape(1, 1);
}

// Random bytes everywhere (padding included), a random colour table for indexed formats, and
// every fifth pixel of an alpha format made fully transparent but coloured.
QImage randomImage(QImage::Format format, int width, int height, quint32 seed) {
    QRandomGenerator random(seed);
    QImage image(width, height, format);
    for (int y = 0; y < height; ++y)
        for (int i = 0; i < image.bytesPerLine(); ++i)
            image.scanLine(y)[i] = uchar(random.bounded(256));
    if (format == QImage::Format_Mono || format == QImage::Format_MonoLSB ||
        format == QImage::Format_Indexed8) {
        QVector<QRgb> table(format == QImage::Format_Indexed8 ? 256 : 2);
        for (QRgb& entry : table)
            entry = random.generate();
        image.setColorTable(table);
    } else if (image.hasAlphaChannel()) {
        for (int y = 0; y < height; ++y)
            for (int x = y % 5; x < width; x += 5)
                image.setPixelColor(x, y, QColor(random.bounded(256), random.bounded(256), 9, 0));
    }
    return image;
}

} // namespace

class PicturesTest final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void jpegSameAsOpenCv_data();
    void jpegSameAsOpenCv();
    void jpegCutOrNotJpeg();
    void localImageColours_data();
    void localImageColours();
};

void PicturesTest::jpegSameAsOpenCv_data() {
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("grey");
    QTest::addColumn<int>("flags");
    QTest::newRow("800x600 whole") << QSize(800, 600) << false << int(cv::IMREAD_COLOR);
    QTest::newRow("1278 wide whole") << QSize(1278, 720) << false << int(cv::IMREAD_COLOR);
    QTest::newRow("1280x720 whole") << QSize(1280, 720) << false << int(cv::IMREAD_COLOR);
    QTest::newRow("1920x1080 halved") << QSize(1920, 1080) << false << int(cv::IMREAD_REDUCED_COLOR_2);
    QTest::newRow("grey, halved") << QSize(1920, 1080) << true << int(cv::IMREAD_REDUCED_COLOR_2);
}

// The direct libjpeg path gives the pixels OpenCV's decoder gives, channel order included, whole
// or (when half of it still spans the recording) at half scale.
void PicturesTest::jpegSameAsOpenCv() {
    QFETCH(QSize, size);
    QFETCH(bool, grey);
    QFETCH(int, flags);
    const cv::Mat packet = jpeg(size.width(), size.height(), grey);
    QCOMPARE(jpegSize(packet), cv::Size(size.width(), size.height()));
    cv::Mat ours;
    QVERIFY(decodeMjpegFrame(packet, ours));
    const cv::Mat reference = cv::imdecode(packet, flags);
    QCOMPARE(ours.type(), reference.type());
    QCOMPARE(ours.size(), reference.size());
    QVERIFY2(cv::norm(ours, reference, cv::NORM_INF) <= 1.0,
             qPrintable(QString::number(cv::norm(ours, reference, cv::NORM_INF))));
}

// A packet cut short, as a camera's last frame before a dropped cable, still decodes whole-sized
// (the worker's hold-back keeps it out of the recording) rather than ending the stream; bytes
// that are no JPEG give nothing, and no read past them.
void PicturesTest::jpegCutOrNotJpeg() {
    const cv::Mat whole = jpeg(1280, 720);
    cv::Mat dst;
    QVERIFY(decodeMjpegFrame(whole.colRange(0, whole.cols / 2), dst));
    QCOMPARE(dst.size(), cv::Size(1280, 720));
    for (QByteArray bytes :
         {QByteArray(), QByteArray("--myboundary\r\nContent-Type: image/jpeg\r\n"),
          QByteArray("\xFF\xD8", 2), QByteArray("\xFF\xD8\xFF\xDA\x00\x02\x00\x00", 8),
          QByteArray("\xFF\xD8\xFF\xE0\x00\x00\xFF\xC0", 8),
          QByteArray(4096, '\xFF').prepend("\xFF\xD8")}) {
        const cv::Mat packet(1, bytes.size(), CV_8U, bytes.data());
        QVERIFY(jpegSize(packet).empty());
        QVERIFY(!decodeMjpegFrame(packet, dst));
        QVERIFY(dst.empty());
    }
}

void PicturesTest::localImageColours_data() {
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    // Odd widths leave padding at the end of each line for every pixel depth.
    for (int f = QImage::Format_Invalid + 1; f < QImage::NImageFormats; ++f)
        for (int width : {33, 1})
            QTest::addRow("format %d width %d", f, width) << f << width;
}

// Every pixel as QImage::pixel() has it; and the way back for the preview keeps its own copy.
void PicturesTest::localImageColours() {
    QFETCH(int, format);
    QFETCH(int, width);
    const QImage image = randomImage(QImage::Format(format), width, 7, 1000 + format);
    const cv::Mat3b mat = QImage2Mat(image);
    QCOMPARE(QSize(mat.cols, mat.rows), image.size());
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb expected = image.pixel(x, y);
            QVERIFY2(mat(y, x) == cv::Vec3b(qBlue(expected), qGreen(expected), qRed(expected)),
                     qPrintable(QStringLiteral("(%1,%2)").arg(x).arg(y)));
        }
    cv::Mat copy = mat.clone();
    const QImage back = Mat2QImage(copy(cv::Rect(0, 1, width, 5))); // a region, with its stride
    copy.setTo(cv::Scalar(0, 0, 0));
    QCOMPARE(back.size(), QSize(width, 5));
    QCOMPARE(back.pixel(width - 1, 4), image.pixel(width - 1, 5) | 0xff000000);
}

QTEST_GUILESS_MAIN(PicturesTest)
#include "tst_pictures.moc"
