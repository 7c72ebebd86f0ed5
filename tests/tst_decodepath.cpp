// ctest-labels: threaded
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "recordings/clock.h"
#include "capture/frameconversion.h"
#include "capture/mjpegdecode.h"
#include "support/recorder.h"
#include "support/framecode.h"

namespace {

const QDateTime kTime(QDate(2024, 3, 7), QTime(9, 5, 3));

// Small print as legible at the recording size as it can be, enlarged smoothly to `size`:
// detail that only a decode with at least 480 lines keeps, and that the resize itself renders
// faithfully from a full decode.
cv::Mat finePrint(cv::Size size) {
    cv::Mat print(kRecordHeight, kRecordWidth, CV_8UC3, cv::Scalar(225, 235, 240));
    for (int y = 13, i = 0; y < print.rows; y += 13, ++i)
        cv::putText(print, "Gate 7 08:15 " + std::to_string(i * 7919) + " Wm Zq ji Mk loading bay",
                    {2, y}, cv::FONT_HERSHEY_SIMPLEX, 0.4, cv::Scalar(40, 40, 40), 1, cv::LINE_AA);
    cv::GaussianBlur(print, print, cv::Size(0, 0), 0.8);
    cv::resize(print, print, size, 0, 0, size.width > kRecordWidth ? cv::INTER_CUBIC : cv::INTER_AREA);
    return print;
}

// The second of `frame`'s burned-in stamp, searched from kTime + from to kTime + to: the one
// whose drawing over the frame changes its stamp area least.
int stampSecond(const cv::Mat& frame, int from, int to) {
    const cv::Rect area(0, 430, 320, 30);
    int best = from;
    int fewest = INT_MAX;
    for (int s = from; s <= to; ++s) {
        cv::Mat diff;
        cv::absdiff(prepareFrame(frame, QString(), kTime.addSecs(s))(area), frame(area), diff);
        cv::cvtColor(diff, diff, cv::COLOR_BGR2GRAY);
        const int changed = cv::countNonZero(diff > 60);
        if (changed < fewest) {
            fewest = changed;
            best = s;
        }
    }
    return best;
}

} // namespace

class DecodePathTest final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cleanup() { Clock::setSource({}); }
    void detailAsFullDecode_data();
    void detailAsFullDecode();
    void stampIsArrivalTime();
    void undecodableStreamDecodedByOpenCv();
};

void DecodePathTest::detailAsFullDecode_data() {
    QTest::addColumn<QSize>("size");
    for (const QSize s : {QSize(1280, 720), QSize(1280, 800), QSize(1920, 1080), QSize(2560, 1440),
                          QSize(800, 600), QSize(320, 240)})
        QTest::addRow("%dx%d", s.width(), s.height()) << s;
}

// The worker's decode and preparation against a full decode scaled to the recording size, as
// the recording holds them.
void DecodePathTest::detailAsFullDecode() {
    QFETCH(QSize, size);
    std::vector<uchar> bytes;
    cv::imencode(".jpg", finePrint({size.width(), size.height()}), bytes,
                 {cv::IMWRITE_JPEG_QUALITY, 92});
    const cv::Mat packet(bytes, true);
    DecodedPicture decoded;
    QVERIFY(decodeMjpegPicture(packet.reshape(1, 1), decoded));
    cv::Mat ours, full;
    prepareRecordingFrame(decoded, QStringLiteral("Till 2"), kTime, ours);
    prepareRecordingFrame(cv::imdecode(packet, cv::IMREAD_COLOR), "Till 2", kTime, full);
    const double psnr = cv::PSNR(ours, full);
    qInfo("%s: %.1f dB", QTest::currentDataTag(), psnr);
    QVERIFY2(psnr >= 44.0, qPrintable(QString::number(psnr)));
}

// Two frames a second and a clock that runs 20 times as fast: the stamp's second is 50 ms of
// real time. Frame n leaves camsim n * 500 ms after it began listening.
void DecodePathTest::stampIsArrivalTime() {
    CamsimProcess cam({"--fps", "2", "--width", "320", "--height", "240", "--loop", "60"});
    QVERIFY2(cam.start(), qPrintable(cam.errorString()));
    QElapsedTimer sinceStart;
    sinceStart.start();
    Clock::setSource([sinceStart] { return kTime.addMSecs(sinceStart.elapsed() * 20); });
    QTemporaryDir drive;
    CapturePanel panel(1, cam.streamUrl());
    {
        CaptureWorker worker(panel, drive.path() + QLatin1Char('/'), true);
        QTest::qWait(4000);
    }
    int checked = 0;
    for (const QString& file : recordingFiles(drive.path() + QLatin1Char('/'))) {
        cv::VideoCapture recording(file.toStdString(), cv::CAP_FFMPEG);
        cv::Mat frame;
        for (int last = -1; recording.read(frame);) {
            const int n = readFrameCounter(frame);
            if (n <= 0 || n == last)
                continue;
            last = n;
            const int stamp = stampSecond(frame, 10 * n - 10, 10 * n + 20);
            QVERIFY2(qAbs(stamp - 10 * n) <= 2, qPrintable(QStringLiteral("frame %1 stamped %2 ms after it left camsim").arg(n).arg((stamp - 10 * n) * 50)));
            ++checked;
        }
    }
    QVERIFY(checked >= 4);
}

// camsim --lossless sends JPEGs that libjpeg rejects and FFmpeg decodes.
void DecodePathTest::undecodableStreamDecodedByOpenCv() {
    CamsimProcess cam({"--fps", "10", "--width", "320", "--height", "240", "--lossless"});
    QVERIFY2(cam.start(), qPrintable(cam.errorString()));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("fast decoder cannot read"));
    QTemporaryDir drive;
    CapturePanel panel(1, cam.streamUrl());
    {
        CaptureWorker worker(panel, drive.path() + QLatin1Char('/'), true);
        QTRY_VERIFY_WITH_TIMEOUT(panel.hasFrame(), 20000);
        QTest::qWait(1500);
    }
    const QStringList files = recordingFiles(drive.path() + QLatin1Char('/'));
    QVERIFY(!files.isEmpty());
    for (const QString& file : files) {
        verifyRecording(file);
        QVERIFY(!recordedCounters(file).contains(-1));
    }
}

QTEST_MAIN(DecodePathTest)
#include "tst_decodepath.moc"
