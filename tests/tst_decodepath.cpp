// ctest-labels: threaded
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "capture/clock.h"
#include "capture/frameconversion.h"
#include "capture/mjpegdecode.h"
#include "support/camsimprocess.h"
#include "support/capturerig.h"
#include "support/framecode.h"

namespace {

const QDateTime kTime(QDate(2024, 3, 7), QTime(9, 5, 3));

// Rows of small print over the whole picture: detail that a coarse decode blurs.
cv::Mat finePrint(cv::Size size) {
    cv::Mat m(size, CV_8UC3, cv::Scalar(225, 235, 240));
    const std::string line(400, 'x');
    for (int y = 9, i = 0; y < size.height; y += 11, ++i)
        cv::putText(m, "Ag8 Bx3 Qk5 " + std::to_string(i * 7919) + " Wm Zq ji" + line,
                    {-(i % 5), y}, cv::FONT_HERSHEY_PLAIN, 0.7, cv::Scalar(60, 20, 110), 1);
    return m;
}

} // namespace

class DecodePathTest final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cleanup() { Clock::setSource({}); }
    void detailAsFullDecode_data();
    void detailAsFullDecode();
};

void DecodePathTest::detailAsFullDecode_data() {
    QTest::addColumn<QSize>("size");
    for (const QSize s : {QSize(1280, 720), QSize(1280, 800), QSize(1920, 1080), QSize(2560, 1440),
                          QSize(800, 600), QSize(320, 240)})
        QTest::addRow("%dx%d", s.width(), s.height()) << s;
}

// The worker's decode and preparation against a full decode scaled to the recording size.
void DecodePathTest::detailAsFullDecode() {
    QFETCH(QSize, size);
    std::vector<uchar> bytes;
    cv::imencode(".jpg", finePrint({size.width(), size.height()}), bytes,
                 {cv::IMWRITE_JPEG_QUALITY, 92});
    const cv::Mat packet(bytes, true);
    DecodedPicture decoded;
    QVERIFY(decodeMjpegPicture(packet.reshape(1, 1), decoded));
    cv::Mat ours;
    prepareFrame(decoded, QStringLiteral("Till 2"), kTime, ours);
    const cv::Mat full = prepareFrame(cv::imdecode(packet, cv::IMREAD_COLOR), "Till 2", kTime);
    const double psnr = cv::PSNR(ours, full);
    qInfo("%s: %.1f dB", QTest::currentDataTag(), psnr);
    QVERIFY2(psnr >= 45.0, qPrintable(QString::number(psnr)));
}

QTEST_MAIN(DecodePathTest)
#include "tst_decodepath.moc"
