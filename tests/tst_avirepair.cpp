// ctest-labels: threaded
// A recording cut short (a kill, a power cut, a full drive), even when its repair was cut short
// too, becomes what the writer's own close makes of the frames kept; and the file in which
// recording resumes after a full drive is named when its footage begins.
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/videoio.hpp>

#include "recordings/avirepair.h"
#include "recordings/diskspacekeeper.h"
#include "recordings/openrecordings.h"
#include "support/recorder.h"

namespace {
constexpr int kFrames = 12;
constexpr int kChunkBytes = int(kIyuvChunkBytes);

// Records `frames` frames as the recorder does; returns the file as a kill before the close
// leaves it. The closed file stays at `path`.
QByteArray record(const QString& path, int frames) {
    cv::VideoWriter writer(path.toStdString(), cv::CAP_FFMPEG, 0x56555949, 25.0,
                           cv::Size(640, 480), true);
    for (int i = 0; i < frames; ++i)
        writer.write(cv::Mat(480, 640, CV_8UC3, cv::Scalar(i * 20, 128, 64)));
    const QByteArray open = readBytes(path);
    writer.release();
    return open;
}

// What a user's tools say of `path`, repaired with `frames` frames kept.
void verifyRepaired(const QString& path, int frames) {
    QVERIFY2(!AviRepair::isUnfinished(path), qPrintable(path));
    MediaInfo info;
    verifyRecording(path, &info); // includes a silent ffmpeg decode
    QCOMPARE(info.headerFrames, qint64(frames));
    QCOMPARE(info.frameCount, qint64(frames));
    QVERIFY2(qAbs(info.durationSec - frames / 25.0) < 1e-3, qPrintable(path));
}
} // namespace

class TestAviRepair : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cutFiles_data();
    void cutFiles();
    void repairWaitsForRoom();
    void fullDrive();
};

void TestAviRepair::cutFiles_data() {
    QTest::addColumn<int>("stage");
    QTest::newRow("killed while recording") << 0;
    QTest::newRow("killed while closing") << 1;
    QTest::newRow("repair's writes failing inside its index") << 2;
    QTest::newRow("repair killed before its last write (and a power cut)") << 3;
}

void TestAviRepair::cutFiles() {
    QFETCH(int, stage);
    const QString path = dir.filePath(QStringLiteral("cut.avi"));
    const QString made = dir.filePath(QStringLiteral("made.avi"));
    const QByteArray open = record(made, kFrames);
    const QByteArray closed = readBytes(made);
    const int first = open.indexOf("movi") + 4;
    QRandomGenerator random(20261207 + stage);
    for (int i = 0; i < 4; ++i) {
        // Anywhere after the header, first where the kill left it; or in a closing file's index.
        QByteArray state =
            stage == 1 ? closed.left(random.bounded(first + kFrames * kChunkBytes, closed.size()))
                       : open.left(i == 0 ? open.size() : random.bounded(first, open.size()));
        const int whole = qMin(kFrames, (state.size() - first) / kChunkBytes);
        QVERIFY(writeBytes(path, state));
        if (stage == 2 && whole > 0) {
            limitFileSize(first + whole * kChunkBytes + random.bounded(8 + 16 * whole));
            const int result = AviRepair::finish(path);
            limitFileSize(RLIM_INFINITY);
            QCOMPARE(result, -1);
        } else if (stage == 3 && whole > 0) {
            QCOMPARE(AviRepair::finish(path), whole);
            state = readBytes(path);
            state.replace(4, 4, QByteArray(4, '\xff'));
            const int index = state.lastIndexOf("idx1");
            if (i % 2 == 1)
                state.replace(index, state.size() - index, QByteArray(state.size() - index, 0));
            QVERIFY(writeBytes(path, state));
        }
        QVERIFY(AviRepair::isUnfinished(path));
        QCOMPARE(AviRepair::finish(path), whole);
        if (whole > 0) {
            verifyRepaired(path, whole);
            record(made, whole); // index, counts and sizes as the writer's close leaves them
            QVERIFY(readBytes(path) == readBytes(made));
        }
        QVERIFY2(!QTest::currentTestFailed(), qPrintable(QString::number(state.size())));
    }
}

void TestAviRepair::repairWaitsForRoom() {
    // Left open by the last run; the start-up repair cannot write its index.
    const QString drive = dir.filePath(QStringLiteral("drive/"));
    const QString file = drive + QStringLiteral("VideoData/videos/2020/01/01/camera-1-"
                                                "2020-01-01_00-00-00-0000.avi");
    QVERIFY(QDir().mkpath(QFileInfo(file).path()));
    const QByteArray open = record(file, kFrames);
    QVERIFY(writeBytes(file, open));
    const int first = open.indexOf("movi") + 4;
    const int whole = (open.size() - first) / kChunkBytes;
    limitFileSize(first + whole * kChunkBytes);
    DiskSpaceKeeper keeper;
    keeper.setDataDrive(drive);
    keeper.setKeepFreeMiB(0);
    keeper.setPollIntervalMs(100);
    QSignalSpy checked(&keeper, &DiskSpaceKeeper::checked);
    keeper.start();
    const bool ran = checked.wait(10000);
    const bool unfinished = AviRepair::isUnfinished(file);
    limitFileSize(RLIM_INFINITY);
    QVERIFY(ran && unfinished);
    // Room again: finished at the keeper's next poll, not at the next start.
    QTRY_VERIFY_WITH_TIMEOUT(!AviRepair::isUnfinished(file), 5000);
    verifyRepaired(file, whole);
}

void TestAviRepair::fullDrive() {
    const QString drive = dir.filePath(QStringLiteral("full/"));
    QVERIFY(QDir().mkpath(drive));
    SmallVolume volume;
    MOUNT_SMALL_VOLUME(volume, drive, 32);
    const QString filler = drive + QStringLiteral("not-a-recording.bin");
    QVERIFY(fillVolume(filler, 5 << 20)); // room for about ten frames
    CamsimProcess camera(kCameraShape);
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    CapturePanel panel(1, camera.streamUrl());
    const quint64 failures = OpenRecordings::writeFailureCount();
    CaptureWorker worker(panel, drive, true);
    QTRY_VERIFY_WITH_TIMEOUT(OpenRecordings::writeFailureCount() > failures &&
                                 OpenRecordings::snapshot().isEmpty(),
                             20000);
    QTest::qWait(2000); // attempts to begin the next file fail meanwhile
    const QDateTime roomAt = QDateTime::currentDateTime();
    QVERIFY(QFile::remove(filler));
    QTRY_VERIFY_WITH_TIMEOUT(!OpenRecordings::snapshot().isEmpty(), 10000);
    const QDateTime seenAt = QDateTime::currentDateTime();
    const QString resumed = *OpenRecordings::snapshot().begin();
    QTest::qWait(1000);
    worker.stop();
    for (const QString& path : OpenRecordings::takeAwaitingRepair()) // as the keeper would
        QVERIFY(DiskSpace::finishRecording(path));

    const QStringList files = recordingFiles(drive);
    QCOMPARE(files.size(), 2);
    QCOMPARE(files.last(), resumed);
    for (const QString& file : files)
        verifyRepaired(file, int(MediaProbe::probe(file).frameCount));
    // Named when its first frame came, not when the first attempt to begin it failed.
    const QDateTime stamp = QDateTime::fromString(QFileInfo(resumed).baseName().mid(9),
                                                  QStringLiteral("yyyy-MM-dd_HH-mm-ss-0zzz"));
    QVERIFY2(stamp >= roomAt.addMSecs(-50) && stamp <= seenAt,
             qPrintable(QStringLiteral("named %1 ms after the room came back, seen after %2 ms")
                            .arg(roomAt.msecsTo(stamp))
                            .arg(roomAt.msecsTo(seenAt))));
}

QTEST_MAIN(TestAviRepair)
#include "tst_avirepair.moc"
