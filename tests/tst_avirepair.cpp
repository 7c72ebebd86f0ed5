// ctest-labels: threaded
// Recordings cut short by a kill, a power cut or a full drive become complete AVI files once
// repaired (counts, duration and index as a finished file has them), also when the repair itself
// is cut short; and the file in which recording resumes after a full drive is named when its
// footage begins.
#include <csignal>

#include <sys/resource.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/videoio.hpp>

#include "capture/avirepair.h"
#include "capture/diskspacekeeper.h"
#include "capture/openrecordings.h"
#include "support/camsimprocess.h"
#include "support/capturerig.h"
#include "support/smallvolume.h"

namespace {
constexpr int kFrames = 12;
constexpr int kChunkBytes = 640 * 480 * 3 / 2 + 8;

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

// Records `frames` frames as the recorder does and returns what lay on the disk just before the
// close: the file as a kill leaves it. The closed file stays at `path`.
QByteArray record(const QString& path, int frames) {
    cv::VideoWriter writer(path.toStdString(), cv::CAP_FFMPEG, 0x56555949, 25.0,
                           cv::Size(640, 480), true);
    for (int i = 0; i < frames; ++i)
        writer.write(cv::Mat(480, 640, CV_8UC3, cv::Scalar(i * 20, 128, 64)));
    const QByteArray open = readAll(path);
    writer.release();
    return open;
}

int firstChunkAt(const QByteArray& avi) {
    return avi.indexOf("movi") + 4;
}

// Makes writes past `bytes` fail, as a full drive or a kill stops them (SIGXFSZ is ignored).
void limitFileSize(rlim_t bytes) {
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}

// What a user's tools say of a complete recording of `frames` frames.
void verifyComplete(const QString& path, qint64 frames) {
    QVERIFY2(!AviRepair::isUnfinished(path), qPrintable(path));
    MediaInfo info;
    verifyRecording(path, &info);
    QCOMPARE(info.headerFrames, frames);
    QCOMPARE(info.frameCount, frames);
    QVERIFY2(qAbs(info.durationSec - frames / 25.0) < 1e-3, qPrintable(path));
}
} // namespace

class TestAviRepair : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cutFiles_data();
    void cutFiles();
    void interruptedRepair_data();
    void interruptedRepair();
    void repairWaitsForRoom();
    void fullDrive();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString made;
    QByteArray open; // `made` as a kill leaves it
};

void TestAviRepair::initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
    std::signal(SIGXFSZ, SIG_IGN);
}

void TestAviRepair::init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    made = dir->filePath(QStringLiteral("made.avi"));
    open = record(made, kFrames);
    QVERIFY(firstChunkAt(open) > 4);
}

void TestAviRepair::cutFiles_data() {
    QTest::addColumn<bool>("closing"); // killed while the writer wrote its index
    QTest::newRow("killed while recording") << false;
    QTest::newRow("killed while closing") << true;
}

void TestAviRepair::cutFiles() {
    QFETCH(bool, closing);
    const QByteArray source = closing ? readAll(made) : open;
    const int firstChunk = firstChunkAt(source);
    QRandomGenerator random(20261207);
    for (int i = 0; i < 6; ++i) {
        // Anywhere in the index of a file being closed; else anywhere after the header, first
        // where the kill left the file.
        const int cut = closing ? random.bounded(firstChunk + kFrames * kChunkBytes, source.size())
                        : i == 0 ? source.size()
                                 : random.bounded(firstChunk, source.size());
        const int whole = qMin(kFrames, (cut - firstChunk) / kChunkBytes);
        const QString path = dir->filePath(QStringLiteral("cut%1.avi").arg(i));
        QVERIFY(writeAll(path, source.left(cut)));
        QVERIFY(AviRepair::isUnfinished(path));
        QCOMPARE(AviRepair::finish(path), whole);
        if (whole > 0) {
            verifyComplete(path, whole);
            // Index, counts and sizes as the writer's own close leaves them.
            const QString closed = dir->filePath(QStringLiteral("closed.avi"));
            record(closed, whole);
            QVERIFY(readAll(path) == readAll(closed));
        }
        QVERIFY2(!QTest::currentTestFailed(), qPrintable(QStringLiteral("cut at %1").arg(cut)));
    }
}

void TestAviRepair::interruptedRepair_data() {
    QTest::addColumn<int>("indexBytes"); // how much of its index the first repair wrote; -1: all
    QTest::addColumn<bool>("zeroed");    // a power cut left zeros where the index was written
    QTest::newRow("stopped before the index") << 0 << false;
    QTest::newRow("stopped inside the index's header") << 5 << false;
    QTest::newRow("stopped inside the index") << 8 + 16 * 3 + 7 << false;
    QTest::newRow("stopped before the RIFF size") << -1 << false;
    QTest::newRow("index lost to a power cut") << -1 << true;
}

void TestAviRepair::interruptedRepair() {
    QFETCH(int, indexBytes);
    QFETCH(bool, zeroed);
    const QString once = dir->filePath(QStringLiteral("once.avi"));
    const QString twice = dir->filePath(QStringLiteral("twice.avi"));
    QVERIFY(writeAll(once, open) && writeAll(twice, open));
    const int kept = AviRepair::finish(once);
    QVERIFY(kept > 0);
    const QByteArray repaired = readAll(once);
    const int indexAt = repaired.lastIndexOf("idx1");
    if (indexBytes >= 0) {
        limitFileSize(indexAt + indexBytes);
        const int result = AviRepair::finish(twice);
        limitFileSize(RLIM_INFINITY);
        QCOMPARE(result, -1);
    } else {
        // Everything written but the mark of a finished file.
        QByteArray state = repaired;
        state.replace(4, 4, QByteArray(4, '\xff'));
        if (zeroed)
            state.replace(indexAt, state.size() - indexAt, QByteArray(state.size() - indexAt, 0));
        QVERIFY(writeAll(twice, state));
    }
    QVERIFY(AviRepair::isUnfinished(twice));
    QCOMPARE(AviRepair::finish(twice), kept);
    QVERIFY(readAll(twice) == repaired);
    verifyComplete(twice, kept);
}

void TestAviRepair::repairWaitsForRoom() {
    // A recording the last run left open; the start-up repair cannot write its index.
    const QString drive = dir->path() + QStringLiteral("/drive/");
    const QString folder = drive + QStringLiteral("VideoData/videos/2020/01/01/");
    const QString file = folder + QStringLiteral("camera-1-2020-01-01_00-00-00-0000.avi");
    QVERIFY(QDir().mkpath(folder) && writeAll(file, open));
    const int whole = (open.size() - firstChunkAt(open)) / kChunkBytes;
    limitFileSize(firstChunkAt(open) + whole * kChunkBytes);
    DiskSpaceKeeper keeper;
    keeper.setDataDrive(drive);
    keeper.setKeepFreeMiB(0);
    keeper.setPollIntervalMs(100);
    QSignalSpy checked(&keeper, &DiskSpaceKeeper::checked);
    keeper.start();
    const bool ran = checked.wait(10000);
    const bool unfinished = AviRepair::isUnfinished(file);
    limitFileSize(RLIM_INFINITY);
    QVERIFY(ran);
    QVERIFY(unfinished);
    // Room again: the keeper finishes it at its next poll, not at the next start.
    QTRY_VERIFY_WITH_TIMEOUT(!AviRepair::isUnfinished(file), 5000);
    keeper.stop();
    verifyComplete(file, whole);
}

void TestAviRepair::fullDrive() {
    const QString drive = dir->path() + QStringLiteral("/drive/");
    QVERIFY(QDir().mkpath(drive));
    QString why;
    SmallVolume volume;
    if (!volume.mount(drive, 32, &why))
        QSKIP(qPrintable(why));
    const QString filler = drive + QStringLiteral("not-a-recording.bin");
    QVERIFY(fillVolume(filler, 5 << 20)); // room for about ten frames
    CamsimProcess camera({"--fps", "25", "--width", "640", "--height", "480"});
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
    // Where the full drive kept even the repair from finishing, the keeper would try again.
    for (const QString& path : OpenRecordings::takeAwaitingRepair())
        QVERIFY(DiskSpace::finishRecording(path));

    const QStringList files = recordingFiles(drive);
    QCOMPARE(files.size(), 2);
    QCOMPARE(files.last(), resumed);
    for (const QString& file : files) {
        const MediaInfo info = MediaProbe::probe(file);
        verifyComplete(file, info.frameCount);
    }
    // Named when its first frame came, not when the first attempt to begin it failed.
    const QDateTime stamp = QDateTime::fromString(QFileInfo(resumed).baseName().mid(9),
                                                  QStringLiteral("yyyy-MM-dd_HH-mm-ss-0zzz"));
    QVERIFY2(stamp >= roomAt.addMSecs(-50) && stamp <= seenAt,
             qPrintable(QStringLiteral("%1 named %2 ms after the room came back, seen after %3 ms")
                            .arg(resumed)
                            .arg(roomAt.msecsTo(stamp))
                            .arg(roomAt.msecsTo(seenAt))));
}

QTEST_MAIN(TestAviRepair)
#include "tst_avirepair.moc"
