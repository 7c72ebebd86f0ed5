// ctest-labels: threaded
#include <atomic>
#include <memory>

#include <sys/resource.h>

#include <QElapsedTimer>
#include <QPainter>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "capture/capturethread.h"
#include "capture/clock.h"
#include "capture/openrecordings.h"
#include "support/camsimprocess.h"
#include "support/capturerig.h"
#include "support/ffmpegmjpegserver.h"
#include "support/mediaprobe.h"

namespace {
// A sanitized build runs our code several times slower: it checks correctness, not keeping up.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSpeedMeasurable = false;
#else
constexpr bool kSpeedMeasurable = true;
#endif
// How far the recorded length may differ from the time that passed.
constexpr double kDurationToleranceSec = kSpeedMeasurable ? 0.5 : 1.0;
constexpr qint64 kIyuvFileBytesPerFrame = 640 * 480 * 3 / 2 + 8;

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QImage still(int n) {
    QImage image(800, 600, QImage::Format_RGB32);
    image.fill(QColor::fromHsv((n * 37) % 360, 200, 200));
    QPainter painter(&image);
    painter.drawText(20, 40, QString::number(n));
    return image;
}

// A time of day that runs on from `start` as real time passes.
void installClockFrom(const QDateTime& start) {
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    const qint64 startMs = start.toMSecsSinceEpoch();
    Clock::setSource(
        [timer, startMs] { return QDateTime::fromMSecsSinceEpoch(startMs + timer->elapsed()); });
}
} // namespace

class TestCaptureThread : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void recordsAtWallClockSpeed_data();
    void recordsAtWallClockSpeed();
    void splitsAtSizeLimit();
    void fileBegunBeforeMidnightKeepsItsFolder();
    void treeIsMadeWithoutRecording();
    void droppedStreamReconnectsIntoNewFile_data();
    void droppedStreamReconnectsIntoNewFile();
    void stalledStream_data();
    void stalledStream();
    void refusedConnectionRetriesWithBackOff();
    void unwritableDriveIsShownAndRecovers();
    void localStills_data();
    void localStills();
    void localVideoFileRecords();

private:
    std::unique_ptr<QTemporaryDir> tempDir;
    QString dataDrive;
};

void TestCaptureThread::initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty(), "needs ffmpeg");
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("ffprobe")).isEmpty(), "needs ffprobe");
}

void TestCaptureThread::init() {
    tempDir = std::make_unique<QTemporaryDir>();
    QVERIFY(tempDir->isValid());
    dataDrive = tempDir->path() + QLatin1Char('/');
}

void TestCaptureThread::cleanup() {
    Clock::setSource({});
    CaptureThread::setFileSizeLimitForTests(0);
    tempDir.reset();
}

void TestCaptureThread::recordsAtWallClockSpeed_data() {
    QTest::addColumn<bool>("camsim");
    QTest::addColumn<int>("sourceFps");
    QTest::newRow("camsim 10 fps") << true << 10;
    QTest::newRow("camsim 30 fps") << true << 30;
    QTest::newRow("ffmpeg server 30 fps") << false << 30;
}

void TestCaptureThread::recordsAtWallClockSpeed() {
    QFETCH(bool, camsim);
    QFETCH(int, sourceFps);
    std::unique_ptr<CamsimProcess> simulator;
    std::unique_ptr<FfmpegMjpegServer> server;
    QString url;
    if (camsim) {
        simulator = std::make_unique<CamsimProcess>(
            QStringList{"--fps", QString::number(sourceFps), "--width", "1280", "--height", "720"});
        QVERIFY2(simulator->start(), qPrintable(simulator->errorString()));
        url = simulator->streamUrl();
    } else {
        server = std::make_unique<FfmpegMjpegServer>(sourceFps, QSize(1280, 720));
        QVERIFY(server->start());
        url = server->streamUrl();
    }
    CapturePanel panel(1, url);
    CaptureWorker worker(panel, dataDrive, true);

    QTRY_VERIFY_WITH_TIMEOUT(panel.hasFrame(), 15000);
    QElapsedTimer wall;
    wall.start();
    QCOMPARE(panel.preview.text(), QString::fromLatin1(kTextConnected));
    QTRY_VERIFY(panel.stopButton.isEnabled());
    const QImage frame = panel.frameCopy();
    QCOMPARE(frame.size(), QSize(640, 480));
    QCOMPARE(frame.format(), QImage::Format_RGB888);
    QTRY_COMPARE(OpenRecordings::snapshot().size(), 1);

    QTest::qWait(4000); // the length of the recording under test
    worker.stop();
    const double wallSec = wall.elapsed() / 1000.0;
    QVERIFY(OpenRecordings::snapshot().isEmpty());

    const QStringList files = recordingFiles(dataDrive);
    QCOMPARE(files.size(), 1);
    MediaInfo info;
    verifyRecording(files.first(), &info);
    if (QTest::currentTestFailed())
        return;
    const double recordedSec = info.frameCount / 25.0;
    qInfo("%d fps source: %lld frames = %.2f s recorded over %.2f s wall time", sourceFps,
          info.frameCount, recordedSec, wallSec);
    QVERIFY2(
        qAbs(recordedSec - wallSec) < kDurationToleranceSec,
        qPrintable(QStringLiteral("%1 s recorded, %2 s passed").arg(recordedSec).arg(wallSec)));
    if (!camsim)
        return;

    // The simulator numbers its frames: the recording must hold them in order, span the same
    // time as the source did, and lose none that the 25 fps timeline had room for.
    const QVector<int> counters = recordedCounters(files.first());
    QCOMPARE(counters.size(), int(info.frameCount));
    QVERIFY2(!counters.contains(-1), "a recorded frame carries no readable counter");
    int largestStep = 0;
    for (int i = 1; i < counters.size(); ++i) {
        QVERIFY2(counters.at(i) >= counters.at(i - 1), "frames out of order");
        largestStep = qMax(largestStep, counters.at(i) - counters.at(i - 1));
    }
    const double sourceSec = (counters.last() - counters.first() + 1) / double(sourceFps);
    qInfo("source frames %d..%d (%.2f s), largest step %d", counters.first(), counters.last(),
          sourceSec, largestStep);
    if (!kSpeedMeasurable)
        return;
    QVERIFY2(
        qAbs(recordedSec - sourceSec) < kDurationToleranceSec,
        qPrintable(QStringLiteral("%1 s recorded of %2 s sent").arg(recordedSec).arg(sourceSec)));
    // Below 25 fps every source frame has a slot; above, only the ones that come too early go
    // (one in six at 30 fps; a step of 3 allows for the simulator itself running late).
    QVERIFY2(largestStep <= (sourceFps <= 25 ? 1 : 3), qPrintable(QString::number(largestStep)));
}

void TestCaptureThread::splitsAtSizeLimit() {
    const qint64 limit = 3000000;
    CaptureThread::setFileSizeLimitForTests(limit);
    FfmpegMjpegServer server(25, QSize(640, 480));
    QVERIFY(server.start());
    CapturePanel panel(1, server.streamUrl());
    CaptureWorker worker(panel, dataDrive, true);

    QTRY_VERIFY_WITH_TIMEOUT(recordingFiles(dataDrive).size() >= 4, 20000);
    worker.stop();

    const QStringList files = recordingFiles(dataDrive);
    for (int i = 0; i < files.size(); ++i) {
        verifyRecording(files.at(i));
        if (QTest::currentTestFailed())
            return;
        if (i + 1 < files.size()) {
            // Closed at the limit, not a frame or two past it (headers and index aside).
            const qint64 size = QFileInfo(files.at(i)).size();
            QVERIFY2(size >= limit, qPrintable(QString::number(size)));
            QVERIFY2(size < limit + 2 * kIyuvFileBytesPerFrame, qPrintable(QString::number(size)));
        }
    }
}

void TestCaptureThread::fileBegunBeforeMidnightKeepsItsFolder() {
    // Files of 7 frames roll over every ~0.3 s, so the chain crosses midnight within seconds.
    // The clock is set once frames flow, however long a loaded machine takes to connect.
    CaptureThread::setFileSizeLimitForTests(3000000);
    FfmpegMjpegServer server(25, QSize(640, 480));
    QVERIFY(server.start());
    CapturePanel panel(1, server.streamUrl());
    CaptureWorker worker(panel, dataDrive, true);
    QTRY_VERIFY_WITH_TIMEOUT(panel.hasFrame(), 20000);
    installClockFrom(QDateTime(QDate(2024, 12, 31), QTime(23, 59, 58, 500)));

    const auto filesOn = [this](const QString& day) {
        return recordingFiles(dataDrive).filter(QStringLiteral("/VideoData/videos/") + day +
                                                QStringLiteral("/camera-3-"));
    };
    QTRY_VERIFY_WITH_TIMEOUT(!filesOn(QStringLiteral("2025/01/01")).isEmpty(), 20000);
    worker.stop();

    const QStringList before = filesOn(QStringLiteral("2024/12/31"));
    const QStringList after = filesOn(QStringLiteral("2025/01/01"));
    QVERIFY(!before.isEmpty());
    for (const QString& file : before)
        QVERIFY2(
            QFileInfo(file).fileName().startsWith(QStringLiteral("camera-3-2024-12-31_23-59-")),
            qPrintable(file));
    for (const QString& file : after)
        QVERIFY2(
            QFileInfo(file).fileName().startsWith(QStringLiteral("camera-3-2025-01-01_00-00-")),
            qPrintable(file));
    verifyRecording(before.last());
}

void TestCaptureThread::treeIsMadeWithoutRecording() {
    installClockFrom(QDateTime(QDate(2024, 3, 7), QTime(9, 5, 3, 42)));
    FfmpegMjpegServer server(25, QSize(640, 480));
    QVERIFY(server.start());
    CapturePanel panel(1, server.streamUrl());
    CaptureWorker worker(panel, dataDrive, false);

    QTRY_VERIFY(QFileInfo(dataDrive + QStringLiteral("VideoData/videos/2024/03/07")).isDir());
    QTRY_VERIFY_WITH_TIMEOUT(panel.hasFrame(), 15000);
    QVERIFY(OpenRecordings::snapshot().isEmpty());
    worker.stop();
    QCOMPARE(recordingFiles(dataDrive), QStringList());
}

void TestCaptureThread::droppedStreamReconnectsIntoNewFile_data() {
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<bool>("outage");
    QTest::newRow("camera reboots") << QStringList{"--down-after", "2", "--down-for", "3"} << true;
    QTest::newRow("cut inside a frame")
        << QStringList{"--drop-after", "2", "--drop-mid-frame"} << false;
}

void TestCaptureThread::droppedStreamReconnectsIntoNewFile() {
    QFETCH(QStringList, faults);
    QFETCH(bool, outage);
    CamsimProcess camera(QStringList{"--fps", "25", "--width", "640", "--height", "480"} + faults);
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    CapturePanel panel(1, camera.streamUrl());
    CaptureWorker worker(panel, dataDrive, true);
    QTRY_VERIFY_WITH_TIMEOUT(panel.hasFrame(), 15000);
    QTRY_COMPARE(OpenRecordings::snapshot().size(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(panel.preview.text(), QString::fromLatin1(kTextCannotConnect), 8000);
    if (outage) {
        QVERIFY(!panel.hasFrame()); // the text is not hidden behind a stale picture
        // The footage so far is a complete file already, while the worker keeps trying.
        QVERIFY(OpenRecordings::snapshot().isEmpty());
        QCOMPARE(recordingFiles(dataDrive).size(), 1);
        verifyRecording(recordingFiles(dataDrive).first());
    }

    QTRY_COMPARE_WITH_TIMEOUT(panel.preview.text(), QString::fromLatin1(kTextConnected), 15000);
    QTRY_VERIFY_WITH_TIMEOUT(panel.hasFrame(), 10000);
    QTRY_COMPARE(OpenRecordings::snapshot().size(), 1);
    QTest::qWait(1000);
    worker.stop();

    const QStringList files = recordingFiles(dataDrive);
    QVERIFY2(files.size() >= 2, qPrintable(files.join(QLatin1Char(' '))));
    int previousCounter = -1;
    for (const QString& file : files) {
        verifyRecording(file);
        if (QTest::currentTestFailed())
            return;
        const QVector<int> counters = recordedCounters(file);
        QVERIFY2(!counters.contains(-1), qPrintable(file + " holds a damaged frame"));
        QVERIFY(counters.first() > previousCounter);
        previousCounter = counters.last();
    }
}

void TestCaptureThread::stalledStream_data() {
    QTest::addColumn<bool>("stopDuringStall");
    QTest::newRow("noticed as a break") << false;
    QTest::newRow("stopped during the stall") << true;
}

void TestCaptureThread::stalledStream() {
    QFETCH(bool, stopDuringStall);
    FfmpegMjpegServer server(25, QSize(640, 480));
    QVERIFY(server.start());
    CapturePanel panel(1, server.streamUrl());
    CaptureWorker worker(panel, dataDrive, true);
    QTRY_VERIFY_WITH_TIMEOUT(panel.hasFrame(), 15000);
    QTRY_COMPARE(OpenRecordings::snapshot().size(), 1);

    server.pause(); // connection open, nothing more arrives
    if (stopDuringStall) {
        QTest::qWait(1500); // what was in flight is consumed: the worker now waits on the socket
        const qint64 stopMs = worker.stop();
        qInfo("stop during a stall took %lld ms", stopMs);
        QVERIFY2(stopMs < 6000, qPrintable(QString::number(stopMs)));
    } else {
        QElapsedTimer stalled;
        stalled.start();
        QTRY_COMPARE_WITH_TIMEOUT(panel.preview.text(), QString::fromLatin1(kTextCannotConnect),
                                  8000);
        qInfo("stall noticed after %lld ms", stalled.elapsed());
        // Completed at the break, not left open until someone stops the channel.
        QTRY_VERIFY(OpenRecordings::snapshot().isEmpty());
    }
    QCOMPARE(recordingFiles(dataDrive).size(), 1);
    verifyRecording(recordingFiles(dataDrive).first());
}

void TestCaptureThread::refusedConnectionRetriesWithBackOff() {
    // A camera that answers the connection and hangs up at once, every time.
    QTcpServer camera;
    QVERIFY(camera.listen(QHostAddress::LocalHost, 0));
    QElapsedTimer clock;
    QList<qint64> attemptsMs;
    connect(&camera, &QTcpServer::newConnection, &camera, [&] {
        while (QTcpSocket* socket = camera.nextPendingConnection()) {
            attemptsMs << clock.elapsed();
            socket->close();
            socket->deleteLater();
        }
    });

    CapturePanel panel(
        1, QStringLiteral("http://127.0.0.1:%1/axis-cgi/mjpg/video.cgi").arg(camera.serverPort()));
    const double cpuBefore = processCpuSeconds();
    clock.start();
    CaptureWorker worker(panel, dataDrive, true);
    QTRY_COMPARE_WITH_TIMEOUT(panel.preview.text(), QString::fromLatin1(kTextCannotConnect), 5000);
    QTRY_VERIFY(panel.stopButton.isEnabled());

    // Five retries a second apart, then one every five seconds.
    QTRY_VERIFY_WITH_TIMEOUT(attemptsMs.size() >= 7, 15000);
    const double cpuSec = processCpuSeconds() - cpuBefore;
    const double wallSec = clock.elapsed() / 1000.0;
    const qint64 stopMs = worker.stop();
    qInfo("attempts at %s ms; cpu %.2f s over %.2f s; stop %lld ms", qPrintable([&] {
              QStringList s;
              for (qint64 ms : attemptsMs)
                  s << QString::number(ms);
              return s.join(QLatin1Char(' '));
          }()),
          cpuSec, wallSec, stopMs);

    QCOMPARE(attemptsMs.size(), 7);
    for (int i = 1; i < 6; ++i) {
        const qint64 gapMs = attemptsMs.at(i) - attemptsMs.at(i - 1);
        QVERIFY2(gapMs >= 900 && gapMs < 2000, qPrintable(QString::number(gapMs)));
    }
    const qint64 slowGapMs = attemptsMs.at(6) - attemptsMs.at(5);
    QVERIFY2(slowGapMs >= 4500 && slowGapMs < 6500, qPrintable(QString::number(slowGapMs)));
    QVERIFY2(cpuSec < 0.1 * wallSec, qPrintable(QString::number(cpuSec)));
    QVERIFY2(stopMs < 1000, qPrintable(QString::number(stopMs)));
    QCOMPARE(recordingFiles(dataDrive), QStringList()); // no empty file for a camera never seen
}

void TestCaptureThread::unwritableDriveIsShownAndRecovers() {
    // A data drive that cannot hold folders: a plain file stands where the folder should be.
    const QString drivePath = tempDir->path() + QStringLiteral("/drive");
    {
        QFile blocker(drivePath);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    const QString drive = drivePath + QLatin1Char('/');
    FfmpegMjpegServer server(25, QSize(640, 480));
    QVERIFY(server.start());
    CapturePanel panel(1, server.streamUrl());
    const quint64 failuresBefore = OpenRecordings::writeFailureCount();
    CaptureWorker worker(panel, drive, true);

    QTRY_COMPARE_WITH_TIMEOUT(panel.preview.text(), QString::fromLatin1(kTextCannotWrite), 15000);
    QElapsedTimer failing;
    failing.start();
    QTest::qWait(2500); // the retry rate is what is checked here
    const quint64 failures = OpenRecordings::writeFailureCount() - failuresBefore;
    QVERIFY2(failures >= 2 && failures <= quint64(failing.elapsed() / 1000 + 2),
             qPrintable(QString::number(failures)));
    QVERIFY(!panel.hasFrame()); // the warning is not painted over by the live picture
    QCOMPARE(panel.preview.text(), QString::fromLatin1(kTextCannotWrite));

    // The drive is back: recording resumes by itself.
    QVERIFY(QFile::remove(drivePath));
    QVERIFY(QDir().mkpath(drivePath));
    QTRY_COMPARE_WITH_TIMEOUT(panel.preview.text(), QString::fromLatin1(kTextConnected), 5000);
    QTRY_VERIFY(panel.hasFrame());
    QTRY_COMPARE(OpenRecordings::snapshot().size(), 1);
    QTest::qWait(500);
    worker.stop();
    QCOMPARE(recordingFiles(drive).size(), 1);
    verifyRecording(recordingFiles(drive).first());
}

void TestCaptureThread::localStills_data() {
    QTest::addColumn<bool>("recording");
    QTest::newRow("recording") << true;
    QTest::newRow("not recording") << false;
}

void TestCaptureThread::localStills() {
    QFETCH(bool, recording);
    CapturePanel panel(0, QString());
    CaptureWorker worker(panel, dataDrive, recording);
    QTRY_VERIFY(panel.stopButton.isEnabled());
    if (recording)
        QTRY_COMPARE(OpenRecordings::snapshot().size(), 1);

    const int stills = 30;
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < stills; ++i) {
        worker.get()->processImage(i, still(i));
        worker.get()->processImage(1000 + i, QImage()); // a null still is dropped
        QTest::qWait(40);                               // stills arrive at the camera's pace
    }
    const double wallSec = wall.elapsed() / 1000.0;
    worker.stop();
    QVERIFY(!panel.hasFrame()); // a local camera's picture is in its viewfinder, never in frame

    const QStringList files = recordingFiles(dataDrive);
    if (!recording) {
        QCOMPARE(files, QStringList());
        return;
    }
    QCOMPARE(files.size(), 1);
    MediaInfo info;
    verifyRecording(files.first(), &info);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(qAbs(info.frameCount / 25.0 - wallSec) < kDurationToleranceSec,
             qPrintable(QStringLiteral("%1 frames over %2 s").arg(info.frameCount).arg(wallSec)));
}

void TestCaptureThread::localVideoFileRecords() {
    const QString source = tempDir->path() + QStringLiteral("/source.avi");
    QString error;
    QVERIFY2(MediaProbe::runFfmpeg({"-f", "lavfi", "-i", "testsrc=duration=6:size=800x600:rate=25",
                                    "-c:v", "mjpeg", source},
                                   60000, &error),
             qPrintable(error));
    CapturePanel panel(1, source);
    CaptureWorker worker(panel, dataDrive, true);
    QTRY_VERIFY_WITH_TIMEOUT(panel.hasFrame(), 10000);
    QElapsedTimer wall;
    wall.start();
    QTest::qWait(2500);
    worker.stop();
    const double wallSec = wall.elapsed() / 1000.0;

    const QStringList files = recordingFiles(dataDrive);
    QCOMPARE(files.size(), 1);
    MediaInfo info;
    verifyRecording(files.first(), &info);
    if (QTest::currentTestFailed())
        return;
    // The file plays at its own speed, not as fast as it decodes.
    QVERIFY2(qAbs(info.frameCount / 25.0 - wallSec) < kDurationToleranceSec,
             qPrintable(QStringLiteral("%1 frames over %2 s").arg(info.frameCount).arg(wallSec)));
}

QTEST_MAIN(TestCaptureThread)
#include "tst_capturethread.moc"
