// ctest-labels: threaded
// One capture worker, as the window runs it, on a real stream: recordings at the wall clock's
// pace, split at the size limit and kept in the day they began, and a local camera's stills.
#include <QtTest>

#include "recordings/clock.h"
#include "recordings/openrecordings.h"
#include "support/recorder.h"

namespace {
// How far the recorded length may differ from the time that passed.
constexpr double kDurationToleranceSec = kSanitized ? 1.0 : 0.5;

QString durationMismatch(qint64 frames, double wallSec) {
    if (qAbs(frames / 25.0 - wallSec) < kDurationToleranceSec)
        return QString();
    return QStringLiteral("%1 frames recorded over %2 s").arg(frames).arg(wallSec);
}
} // namespace

class TestCaptureThread : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init();
    void cleanup();

    void recordsAtWallClockSpeed_data();
    void recordsAtWallClockSpeed();
    void splitsAtSizeLimitAndYearEnd();
    void localStills();

private:
    std::unique_ptr<QTemporaryDir> tempDir;
    QString dataDrive;
};

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
    QTest::addColumn<int>("sourceFps");
    QTest::newRow("10 fps") << 10;
    QTest::newRow("30 fps") << 30;
}

void TestCaptureThread::recordsAtWallClockSpeed() {
    QFETCH(int, sourceFps);
    CamsimProcess camera({"--fps", QString::number(sourceFps), "--width", "1280", "--height", "720"});
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    CapturePanel panel(1, camera.streamUrl());
    CaptureWorker worker(panel, dataDrive, true);

    QTRY_VERIFY_WITH_TIMEOUT(panel.hasFrame(), 15000);
    QElapsedTimer wall;
    wall.start();
    QCOMPARE(panel.preview.text(), text(kTextConnected));
    QTRY_VERIFY(panel.stopButton.isEnabled());
    QCOMPARE(panel.frameCopy().size(), QSize(640, 480));
    QTRY_COMPARE(OpenRecordings::snapshot().size(), 1);
    QTest::qWait(4000); // the length of the recording under test
    worker.stop();
    const double wallSec = wall.elapsed() / 1000.0;
    QVERIFY(OpenRecordings::snapshot().isEmpty());

    const QStringList files = recordingFiles(dataDrive);
    QCOMPARE(files.size(), 1);
    verifyChain(files);
    MediaInfo info = MediaProbe::probe(files.first());
    QVERIFY2(durationMismatch(info.frameCount, wallSec).isEmpty(),
             qPrintable(durationMismatch(info.frameCount, wallSec)));
    if (kSanitized)
        return;
    // The recording spans the time the source sent, and loses none of the frames that the 25 fps
    // timeline had room for: below 25 fps every source frame has a slot; above, only the ones
    // that come too early go (one in six at 30 fps; a step of 3 allows for camsim running late).
    const QVector<int> counters = recordedCounters(files.first());
    int largestStep = 0;
    for (int i = 1; i < counters.size(); ++i)
        largestStep = qMax(largestStep, counters.at(i) - counters.at(i - 1));
    const double sourceSec = (counters.last() - counters.first() + 1) / double(sourceFps);
    QVERIFY2(qAbs(info.frameCount / 25.0 - sourceSec) < kDurationToleranceSec,
             qPrintable(QStringLiteral("%1 frames of %2 s sent").arg(info.frameCount).arg(sourceSec)));
    QVERIFY2(largestStep <= (sourceFps <= 25 ? 1 : 3), qPrintable(QString::number(largestStep)));
}

// Files of 7 frames roll over every ~0.3 s at the size limit, each closed at the limit and not a
// frame or two past it, so the chain crosses the year's end within seconds: each file stays in
// the folder of the day it began, and no frame is lost or doubled at a split.
void TestCaptureThread::splitsAtSizeLimitAndYearEnd() {
    const qint64 limit = 3000000;
    CaptureThread::setFileSizeLimitForTests(limit);
    CamsimProcess camera(kCameraShape);
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    CapturePanel panel(1, camera.streamUrl());
    CaptureWorker worker(panel, dataDrive, true);
    QTRY_VERIFY_WITH_TIMEOUT(panel.hasFrame(), 20000);
    // The clock is set once frames flow, however long a loaded machine takes to connect.
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    const qint64 startMs = QDateTime(QDate(2024, 12, 31), QTime(23, 59, 58, 500)).toMSecsSinceEpoch();
    Clock::setSource([timer, startMs] { return QDateTime::fromMSecsSinceEpoch(startMs + timer->elapsed()); });
    const auto filesOn = [this](const QString& day) {
        return recordingFiles(dataDrive).filter("/VideoData/videos/" + day + "/camera-3-");
    };
    QTRY_VERIFY_WITH_TIMEOUT(filesOn("2025/01/01").size() >= 2, 20000);
    worker.stop();
    const QStringList before = filesOn("2024/12/31");
    QVERIFY(!before.isEmpty());
    for (const QString& file : before)
        QVERIFY2(QFileInfo(file).fileName().startsWith("camera-3-2024-12-31_23-59-"), qPrintable(file));
    for (const QString& file : filesOn("2025/01/01"))
        QVERIFY2(QFileInfo(file).fileName().startsWith("camera-3-2025-01-01_00-00-"), qPrintable(file));
    // Files begun before the clock was set carry today's date and are left out.
    const QStringList chain = before + filesOn("2025/01/01");
    verifyChain(chain);
    for (int i = 0; i + 1 < chain.size(); ++i) {
        const qint64 size = QFileInfo(chain.at(i)).size();
        QVERIFY2(size >= limit && size < limit + 2 * kIyuvChunkBytes, qPrintable(QString::number(size)));
    }
}

// A local camera's stills, at the camera's pace, make a recording of the time they took; a null
// still is dropped, and the picture stays in the viewfinder, never in the record's frame.
void TestCaptureThread::localStills() {
    CapturePanel panel(0, QString());
    CaptureWorker worker(panel, dataDrive, true);
    QTRY_VERIFY(panel.stopButton.isEnabled());
    QTRY_COMPARE(OpenRecordings::snapshot().size(), 1);
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < 30; ++i) {
        QImage still(800, 600, QImage::Format_RGB32);
        still.fill(QColor::fromHsv((i * 37) % 360, 200, 200));
        worker.get()->processImage(i, still);
        worker.get()->processImage(1000 + i, QImage());
        QTest::qWait(40);
    }
    const double wallSec = wall.elapsed() / 1000.0;
    worker.stop();
    QVERIFY(!panel.hasFrame());
    const QStringList files = recordingFiles(dataDrive);
    QCOMPARE(files.size(), 1);
    MediaInfo info;
    verifyRecording(files.first(), &info);
    QVERIFY2(durationMismatch(info.frameCount, wallSec).isEmpty(),
             qPrintable(durationMismatch(info.frameCount, wallSec)));
}

QTEST_MAIN(TestCaptureThread)
#include "tst_capturethread.moc"
