// ctest-labels: threaded
#include <atomic>
#include <memory>
#include <mutex>

#include <QDirIterator>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>
#endif

#include "capture/clock.h"
#include "capture/diskspacekeeper.h"
#include "capture/openrecordings.h"
#include "settings/settingsfile.h"

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kGiB = 1024 * kMiB;

QString recordingPath(int camera, const QDateTime& begun) {
    return QStringLiteral("VideoData/videos/%1/camera-%2-%3.avi")
        .arg(begun.date().toString(QStringLiteral("yyyy/MM/dd")))
        .arg(camera)
        .arg(begun.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss-0zzz")));
}

QDateTime at(const QString& text) {
    return QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

// Real bytes, so that a real volume sees them too.
void writeFile(const QString& root, const QString& relative, qint64 bytes) {
    const QString path = root + QLatin1Char('/') + relative;
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    const QByteArray chunk(64 * 1024, 'x');
    for (qint64 left = bytes; left > 0; left -= chunk.size())
        QVERIFY(file.write(chunk.constData(), std::min<qint64>(left, chunk.size())) > 0);
}

bool exists(const QString& root, const QString& relative) {
    return QFileInfo::exists(root + QLatin1Char('/') + relative);
}

qint64 treeBytes(const QString& root) {
    qint64 total = 0;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

// A volume of `capacityBytes` that holds exactly the files under the data drive of the path.
DiskSpace::Probe fakeProbe(qint64 capacityBytes) {
    return [capacityBytes](const QString& path) {
        const QString drive = QDir::cleanPath(path).section(QStringLiteral("/VideoData"), 0, 0);
        return DiskSpace::Usage{true, capacityBytes, capacityBytes - treeBytes(drive)};
    };
}

DiskSpace::OpenFiles noOpenFiles() {
    return [] { return QSet<QString>(); };
}

// Collects the log from every thread.
class LogCapture final {
public:
    LogCapture() {
        std::lock_guard<std::mutex> lock(mutex());
        lines().clear();
        previous() = qInstallMessageHandler(handler);
    }
    ~LogCapture() { qInstallMessageHandler(previous()); }

    static int count(const QString& part) {
        std::lock_guard<std::mutex> lock(mutex());
        int n = 0;
        for (const QString& line : lines())
            n += line.contains(part) ? 1 : 0;
        return n;
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        {
            std::lock_guard<std::mutex> lock(mutex());
            lines().append(text);
        }
        previous()(type, context, text);
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static QStringList& lines() {
        static QStringList l;
        return l;
    }
    static QtMessageHandler& previous() {
        static QtMessageHandler h = nullptr;
        return h;
    }
};

} // namespace

class TestDiskSpaceKeeper final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void deletesOldestFirstAcrossCamerasSparingOpenFiles();
    void sparesAFileOpenedDuringThePass();
    void leavesEverythingButRecordings_data();
    void leavesEverythingButRecordings();
    void removesOnlyFoldersItEmptied();
    void thresholds_data();
    void thresholds();
    void deletesNothingWhenOffEnoughOrUnknown();

    void drivesFullOfOtherFilesKeepRecordingsAndLogOnce();
    void actsOnWriteFailureAndNewDataDrive();
    void checksAtMostOncePerPeriod();
    void destructorStopsAPassPromptly();

    void realVolume();
};

void TestDiskSpaceKeeper::initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
}

void TestDiskSpaceKeeper::init() {
    Clock::setSource([] { return at(QStringLiteral("2024-06-01 12:00:00.000")); });
}

void TestDiskSpaceKeeper::cleanup() {
    Clock::setSource({});
}

void TestDiskSpaceKeeper::deletesOldestFirstAcrossCamerasSparingOpenFiles() {
    QTemporaryDir drive;
    QVERIFY(drive.isValid());
    const QString root = drive.path();
    const QStringList byAge = {
        recordingPath(2, at("2023-12-31 23:59:59.999")),
        recordingPath(1, at("2024-01-01 00:00:00.000")),
        recordingPath(3, at("2024-01-01 00:00:00.000")),
        recordingPath(8, at("2024-01-01 08:00:00.000")),
        recordingPath(1, at("2024-01-01 09:00:00.000")),
        recordingPath(2, at("2024-02-10 10:00:00.000")),
        recordingPath(1, at("2024-03-07 09:05:03.042")),
        recordingPath(3, at("2024-03-07 10:00:00.000")),
    };
    // Modification times run the other way: the names decide, not the file system.
    QDateTime mtime = QDateTime::currentDateTime();
    for (const QString& rel : byAge) {
        writeFile(root, rel, 1000);
        QFile file(root + "/" + rel);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(mtime, QFileDevice::FileModificationTime));
        mtime = mtime.addSecs(-3600);
    }
    const QString open = root + "/" + byAge[3];

    // 8000 of 10000 bytes used: 2000 free, 5500 wanted, so four closed files must go.
    const DiskSpace::Probe probe = fakeProbe(10000);
    const DiskSpace::Outcome outcome =
        DiskSpace::freeSpace(root + "/", 5500, probe, [open] { return QSet<QString>{open}; });

    QStringList deleted;
    for (const DiskSpace::Deletion& d : outcome.deleted) {
        deleted << QDir(root).relativeFilePath(d.path);
        QCOMPARE(d.sizeBytes, qint64(1000));
    }
    QCOMPARE(deleted, (QStringList{byAge[0], byAge[1], byAge[2], byAge[4]}));
    for (int i = 0; i < byAge.size(); ++i)
        QCOMPARE(exists(root, byAge[i]), !deleted.contains(byAge[i]));
    QCOMPARE(probe(root).freeBytes, qint64(6000));
    QCOMPARE(outcome.freeBytesBefore, qint64(2000));
    QCOMPARE(outcome.freeBytesAfter, qint64(6000));
    QVERIFY(!outcome.unreachable);
    // 2023's only day is gone with its month and year; the open file keeps 2024/01/01.
    QVERIFY(!exists(root, "VideoData/videos/2023"));
    QVERIFY(exists(root, "VideoData/videos/2024/01/01"));
}

void TestDiskSpaceKeeper::sparesAFileOpenedDuringThePass() {
    QTemporaryDir drive;
    QVERIFY(drive.isValid());
    const QString root = drive.path();
    const QString oldest = recordingPath(1, at("2024-01-01 00:00:00.000"));
    const QString next = recordingPath(2, at("2024-01-01 00:10:00.000"));
    const QString newest = recordingPath(3, at("2024-01-01 00:20:00.000"));
    for (const QString& rel : {oldest, next, newest})
        writeFile(root, rel, 1000);
    // A writer registers the oldest name after the pass has listed the tree.
    auto calls = std::make_shared<int>(0);
    const QString taken = root + "/" + oldest;
    const DiskSpace::OpenFiles openFiles = [calls, taken] {
        return ++*calls == 1 ? QSet<QString>() : QSet<QString>{taken};
    };
    const DiskSpace::Probe probe = fakeProbe(10000);
    const DiskSpace::Outcome outcome =
        DiskSpace::freeSpace(root + "/", probe(root).freeBytes + 1000, probe, openFiles);
    QCOMPARE(outcome.deleted.size(), 1);
    QVERIFY(exists(root, oldest));
    QVERIFY(!exists(root, next));
    QVERIFY(exists(root, newest));
}

void TestDiskSpaceKeeper::leavesEverythingButRecordings_data() {
    QTest::addColumn<QString>("relative");
    QTest::addColumn<QString>("kind");
    const auto file = [](const char* name, const QString& relative) {
        QTest::newRow(name) << relative << QStringLiteral("file");
    };
    const QString videos = "VideoData/videos/";
    const QString day = videos + "2024/03/07/";
    const QString stamp = "2024-03-07_09-05-03-0042";
    const QString name = "camera-1-" + stamp + ".avi";
    file("letters for a stamp", day + "camera-1-x.avi");
    file("camera 9", day + "camera-9-" + stamp + ".avi");
    file("camera 0", day + "camera-0-" + stamp + ".avi");
    file("camera 01", day + "camera-01-" + stamp + ".avi");
    file("camera 10", day + "camera-10-" + stamp + ".avi");
    file("upper-case extension", day + "camera-1-" + stamp + ".AVI");
    file("other extension", day + "camera-1-" + stamp + ".mp4");
    file("extra extension", day + name + ".part");
    file("backup suffix", day + name + "~");
    file("prefix", day + "x" + name);
    file("three-digit ms", day + "camera-1-2024-03-07_09-05-03-042.avi");
    file("ms over 999", day + "camera-1-2024-03-07_09-05-03-1042.avi");
    file("hour 24", day + "camera-1-2024-03-07_24-05-03-0042.avi");
    file("minute 60", day + "camera-1-2024-03-07_09-60-03-0042.avi");
    file("day folder disagrees", videos + "2024/03/08/" + name);
    file("month folder disagrees", videos + "2024/04/07/" + name);
    file("year folder disagrees", videos + "2023/03/07/" + name);
    file("month 13", videos + "2024/13/07/camera-1-2024-13-07_09-05-03-0042.avi");
    file("30 February", videos + "2024/02/30/camera-1-2024-02-30_09-05-03-0042.avi");
    file("two-digit year folder", videos + "24/03/07/" + name);
    file("one-digit month folder", videos + "2024/3/07/" + name);
    file("too deep", day + "old/" + name);
    file("in videos", videos + name);
    file("in VideoData", "VideoData/" + name);
    file("in tmp", "VideoData/tmp/" + name);
    file("on the drive", name);
    file("other tree", "Backup/videos/2024/03/07/" + name);
    file("foreign file in a day", day + "notes.txt");
    QTest::newRow("folder named as a recording") << day + name << "folder";
    QTest::newRow("link named as a recording") << day + name << "link";
    QTest::newRow("linked day folder") << videos + "2024/03/06"
                                       << "linked day";
}

void TestDiskSpaceKeeper::leavesEverythingButRecordings() {
    QFETCH(QString, relative);
    QFETCH(QString, kind);
    QTemporaryDir drive;
    QVERIFY(drive.isValid());
    const QString root = drive.path();
    const QString target = root + "/elsewhere/camera-1-2024-03-06_00-00-00-0000.avi";
    writeFile(root, "elsewhere/camera-1-2024-03-06_00-00-00-0000.avi", 1000);
    const QString path = root + "/" + relative;
    if (kind == "file") {
        writeFile(root, relative, 1000);
    } else if (kind == "folder") {
        QVERIFY(QDir().mkpath(path));
    } else {
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QVERIFY(QFile::link(kind == "link" ? target : QFileInfo(target).path(), path));
    }
    // Two real recordings, both newer than the near miss: taken for a recording, it would go first.
    const QString first = recordingPath(1, at("2024-03-09 01:00:00.000"));
    const QString second = recordingPath(4, at("2024-03-09 02:00:00.000"));
    writeFile(root, first, 1000);
    writeFile(root, second, 1000);

    // Only deleting both recordings reaches the threshold.
    const DiskSpace::Probe probe = fakeProbe(10000);
    const qint64 threshold = probe(root).freeBytes + 2000;
    const DiskSpace::Outcome outcome =
        DiskSpace::freeSpace(root + "/", threshold, probe, noOpenFiles());

    QCOMPARE(outcome.deleted.size(), 2);
    QVERIFY(!exists(root, first));
    QVERIFY(!exists(root, second));
    QVERIFY2(QFileInfo(path).exists() || QFileInfo(path).isSymLink(), qPrintable(relative));
    QVERIFY(QFileInfo::exists(target));
}

void TestDiskSpaceKeeper::removesOnlyFoldersItEmptied() {
    QTemporaryDir drive;
    QVERIFY(drive.isValid());
    const QString root = drive.path();
    writeFile(root, recordingPath(1, at("2022-05-01 10:00:00.000")), 1000);
    writeFile(root, recordingPath(1, at("2023-01-02 10:00:00.000")), 1000);
    writeFile(root, "VideoData/videos/2023/01/02/notes.txt", 10);
    writeFile(root, recordingPath(2, at("2023-01-03 10:00:00.000")), 1000);
    writeFile(root, recordingPath(2, at("2023-02-03 10:00:00.000")), 1000);
    // Today's folder may be about to receive a writer's next file (the clock says 2024-06-01).
    writeFile(root, recordingPath(3, at("2024-06-01 00:00:00.000")), 1000);

    const DiskSpace::Probe probe = fakeProbe(100000);
    const DiskSpace::Outcome outcome =
        DiskSpace::freeSpace(root + "/", probe(root).freeBytes + 5000, probe, noOpenFiles());
    QCOMPARE(outcome.deleted.size(), 5);

    QVERIFY(!exists(root, "VideoData/videos/2022"));
    QVERIFY(exists(root, "VideoData/videos/2023/01/02/notes.txt"));
    QVERIFY(!exists(root, "VideoData/videos/2023/01/03"));
    QVERIFY(!exists(root, "VideoData/videos/2023/02"));
    QVERIFY(exists(root, "VideoData/videos/2023/01"));
    QVERIFY(exists(root, "VideoData/videos/2024/06/01"));
    QVERIFY(exists(root, "VideoData/videos"));

    // With nothing left at all, VideoData/videos itself stays.
    writeFile(root, recordingPath(5, at("2021-01-01 00:00:00.000")), 1000);
    QVERIFY(QFile::remove(root + "/VideoData/videos/2023/01/02/notes.txt"));
    QVERIFY(QDir(root + "/VideoData/videos/2024").removeRecursively());
    QCOMPARE(DiskSpace::freeSpace(root + "/", probe(root).freeBytes + 1000, probe, noOpenFiles())
                 .deleted.size(),
             1);
    QVERIFY(!exists(root, "VideoData/videos/2021"));
    QVERIFY(exists(root, "VideoData/videos"));
}

void TestDiskSpaceKeeper::thresholds_data() {
    QTest::addColumn<qint64>("keepFreeMiB");
    QTest::addColumn<qint64>("totalBytes");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("off") << qint64(0) << 1000 * kGiB << qint64(0);
    QTest::newRow("explicit") << qint64(500) << 1000 * kGiB << 500 * kMiB;
    QTest::newRow("explicit beyond the volume") << qint64(8192) << 4 * kGiB << 8 * kGiB;
    QTest::newRow("default, 4 GiB wins") << kKeepFreeDefault << 40 * kGiB << 4 * kGiB;
    QTest::newRow("default, even") << kKeepFreeDefault << 80 * kGiB << 4 * kGiB;
    QTest::newRow("default, 5 % wins") << kKeepFreeDefault << 100 * kGiB << 5 * kGiB;
    QTest::newRow("default, 4 TB") << kKeepFreeDefault << 4000000000000LL << 200000000000LL;
    QTest::newRow("default, small volume") << kKeepFreeDefault << 6 * kGiB << 3 * kGiB;
    QTest::newRow("other negative") << qint64(-7) << 100 * kGiB << 5 * kGiB;
    QTest::newRow("huge") << std::numeric_limits<qint64>::max() << kGiB
                          << std::numeric_limits<qint64>::max();
}

void TestDiskSpaceKeeper::thresholds() {
    QFETCH(qint64, keepFreeMiB);
    QFETCH(qint64, totalBytes);
    QFETCH(qint64, expected);
    QCOMPARE(DiskSpace::thresholdBytes(keepFreeMiB, totalBytes), expected);
}

void TestDiskSpaceKeeper::deletesNothingWhenOffEnoughOrUnknown() {
    QTemporaryDir drive;
    QVERIFY(drive.isValid());
    const QString root = drive.path();
    const QString rel = recordingPath(1, at("2024-01-01 00:00:00.000"));
    writeFile(root, rel, 1000);

    const DiskSpace::Probe full = fakeProbe(1000);
    QCOMPARE(full(root).freeBytes, qint64(0));
    QVERIFY(DiskSpace::freeSpace(root + "/", 0, full, noOpenFiles()).deleted.isEmpty());
    // Exactly at the threshold is enough.
    QVERIFY(
        DiskSpace::freeSpace(root + "/", 500, fakeProbe(1500), noOpenFiles()).deleted.isEmpty());
    const DiskSpace::Outcome unknown = DiskSpace::freeSpace(
        root + "/", 500, [](const QString&) { return DiskSpace::Usage(); }, noOpenFiles());
    QVERIFY(unknown.probeFailed);
    QVERIFY(unknown.deleted.isEmpty());
    QVERIFY(exists(root, rel));

    // The file being written is no space to win: 1001 bytes short, 1000 closed bytes to delete.
    const QString open = root + "/" + recordingPath(2, at("2024-01-01 00:05:00.000"));
    writeFile(root, QDir(root).relativeFilePath(open), 5000);
    const DiskSpace::Probe probe = fakeProbe(10000);
    const DiskSpace::Outcome tooShort = DiskSpace::freeSpace(
        root + "/", probe(root).freeBytes + 1001, probe, [open] { return QSet<QString>{open}; });
    QVERIFY(tooShort.unreachable);
    QVERIFY(tooShort.deleted.isEmpty());
    QVERIFY(exists(root, rel));
}

void TestDiskSpaceKeeper::drivesFullOfOtherFilesKeepRecordingsAndLogOnce() {
    LogCapture log;
    QTemporaryDir drive;
    QVERIFY(drive.isValid());
    const QString root = drive.path();
    const QString rel = recordingPath(1, at("2024-01-01 00:00:00.000"));
    writeFile(root, rel, 500);
    writeFile(root, "VideoData/films.bin", 9000);
    // 1 MiB to keep, 1000 bytes short of it; the recording frees only 500.
    auto nowMs = std::make_shared<std::atomic<qint64>>(0);
    DiskSpaceKeeper keeper;
    keeper.setProbe(fakeProbe(kMiB + 9500 - 1000));
    keeper.setOpenFiles(noOpenFiles());
    keeper.setElapsedClock([nowMs] { return nowMs->load(); });
    keeper.setPollIntervalMs(20);
    keeper.setDataDrive(root + "/");
    keeper.setKeepFreeMiB(1);
    QSignalSpy checks(&keeper, &DiskSpaceKeeper::checked);
    keeper.start();
    for (int i = 1; i <= 3; ++i) {
        QTRY_COMPARE(checks.count(), i);
        OpenRecordings::reportWriteFailure(); // does not hurry a hopeless check
        *nowMs += DiskSpaceKeeper::kCheckPeriodMs;
    }
    QTRY_COMPARE(checks.count(), 4);
    QCOMPARE(LogCapture::count("Cannot keep"), 1);
    QVERIFY(exists(root, rel));

    // The episode ends when space comes back; the next shortage is reported again.
    QVERIFY(QFile::remove(root + "/VideoData/films.bin"));
    *nowMs += DiskSpaceKeeper::kCheckPeriodMs;
    QTRY_COMPARE(checks.count(), 5);
    writeFile(root, "VideoData/films.bin", 9000);
    *nowMs += DiskSpaceKeeper::kCheckPeriodMs;
    QTRY_COMPARE(checks.count(), 6);
    QCOMPARE(LogCapture::count("Cannot keep"), 2);
    QVERIFY(exists(root, rel));
    QCOMPARE(LogCapture::count("Deleted old recording"), 0);
}

void TestDiskSpaceKeeper::actsOnWriteFailureAndNewDataDrive() {
    LogCapture log;
    QTemporaryDir first;
    QTemporaryDir second;
    QVERIFY(first.isValid() && second.isValid());
    // The period never comes round: only a failure report or a new drive can start a check.
    DiskSpaceKeeper keeper;
    keeper.setProbe(fakeProbe(kMiB + 3000));
    keeper.setElapsedClock([] { return qint64(0); });
    keeper.setDataDrive(first.path() + "/");
    keeper.setKeepFreeMiB(1);
    QSignalSpy checks(&keeper, &DiskSpaceKeeper::checked);
    QSignalSpy deletions(&keeper, &DiskSpaceKeeper::recordingDeleted);
    keeper.start();
    QTRY_COMPARE(checks.count(), 1);

    const QString oldest = recordingPath(6, at("2024-05-01 08:00:00.000"));
    writeFile(first.path(), oldest, 1000);
    for (int hour = 9; hour <= 11; ++hour)
        writeFile(first.path(),
                  recordingPath(7, at(QStringLiteral("2024-05-01 %1:00:00.000").arg(hour))), 1000);
    QElapsedTimer sinceFailure;
    sinceFailure.start();
    OpenRecordings::reportWriteFailure();
    QTRY_VERIFY_WITH_TIMEOUT(!exists(first.path(), oldest), 2500);
    QVERIFY2(sinceFailure.elapsed() < 2500, "a write failure must be acted on within ~2 s");
    QTRY_COMPARE(deletions.count(), 1);
    QCOMPARE(deletions.at(0).at(0).toString(), first.path() + "/" + oldest);
    QCOMPARE(deletions.at(0).at(1).toLongLong(), qint64(1000));
    // One line naming the file, its size and the free space against the threshold.
    QCOMPARE(LogCapture::count(first.path() + "/" + oldest), 1);
    QCOMPARE(LogCapture::count(QStringLiteral("%1/%2 (1000 bytes): %3 bytes were free, below "
                                              "the %4 bytes to keep free")
                                   .arg(first.path(), oldest)
                                   .arg(kMiB - 1000)
                                   .arg(kMiB)),
             1);

    // The user picks another drive that is short of space.
    const QString other = recordingPath(2, at("2024-04-01 08:00:00.000"));
    for (int minute = 0; minute < 4; ++minute)
        writeFile(
            second.path(),
            recordingPath(
                2,
                at(QStringLiteral("2024-04-01 08:%1:00.000").arg(minute, 2, 10, QLatin1Char('0')))),
            1000);
    keeper.setDataDrive(second.path() + "/");
    QTRY_VERIFY_WITH_TIMEOUT(!exists(second.path(), other), 2500);
    QTRY_COMPARE(deletions.count(), 2);
}

void TestDiskSpaceKeeper::checksAtMostOncePerPeriod() {
    QTemporaryDir drive;
    QVERIFY(drive.isValid());
    auto nowMs = std::make_shared<std::atomic<qint64>>(0);
    DiskSpaceKeeper keeper;
    keeper.setProbe(fakeProbe(10 * kMiB));
    keeper.setElapsedClock([nowMs] { return nowMs->load(); });
    keeper.setPollIntervalMs(20);
    keeper.setDataDrive(drive.path() + "/");
    QSignalSpy checks(&keeper, &DiskSpaceKeeper::checked);
    keeper.start();
    QTRY_COMPARE(checks.count(), 1);
    // Some twenty polls go by without the period elapsing.
    *nowMs = DiskSpaceKeeper::kCheckPeriodMs - 1;
    QTest::qWait(400);
    QCOMPARE(checks.count(), 1);
    *nowMs = DiskSpaceKeeper::kCheckPeriodMs;
    QTRY_COMPARE(checks.count(), 2);
    // A failing writer does not wait for the period.
    *nowMs = DiskSpaceKeeper::kCheckPeriodMs + 3000;
    OpenRecordings::reportWriteFailure();
    QTRY_COMPARE(checks.count(), 3);
    *nowMs = 2 * DiskSpaceKeeper::kCheckPeriodMs + 2999;
    QTest::qWait(400);
    QCOMPARE(checks.count(), 3);
    *nowMs = 2 * DiskSpaceKeeper::kCheckPeriodMs + 3000;
    QTRY_COMPARE(checks.count(), 4);
    keeper.stop();
    QVERIFY(!keeper.isRunning());
}

void TestDiskSpaceKeeper::destructorStopsAPassPromptly() {
    QTemporaryDir drive;
    QVERIFY(drive.isValid());
    const QString root = drive.path();
    const QDateTime base = at("2024-01-01 00:00:00.000");
    const int files = 200;
    for (int i = 0; i < files; ++i)
        writeFile(root, recordingPath(1 + i % 8, base.addSecs(i * 60)), 100);
    const QString first = recordingPath(1, base);
    // Each probe takes 30 ms, so deleting every file would take some 6 s.
    const DiskSpace::Probe fast = fakeProbe(kMiB);
    auto keeper = std::make_unique<DiskSpaceKeeper>();
    keeper->setProbe([fast](const QString& path) {
        QThread::msleep(30);
        return fast(path);
    });
    keeper->setDataDrive(root + "/");
    keeper->setKeepFreeMiB(1);
    keeper->start();
    QTRY_VERIFY(!exists(root, first));

    QElapsedTimer stopping;
    stopping.start();
    keeper.reset();
    QVERIFY2(stopping.elapsed() < 2000, qPrintable(QString::number(stopping.elapsed())));
    const int left = QDir(root + "/VideoData/videos/2024/01/01").entryList(QDir::Files).size();
    QVERIFY2(left > files / 2, qPrintable(QString::number(left)));
}

void TestDiskSpaceKeeper::realVolume() {
#ifdef Q_OS_LINUX
    QTemporaryDir mountPoint;
    QVERIFY(mountPoint.isValid());
    const QByteArray dir = QFile::encodeName(mountPoint.path());
    if (::mount("tmpfs", dir.constData(), "tmpfs", 0, "size=8m") != 0)
        QSKIP(qPrintable(QStringLiteral("cannot mount an 8 MiB tmpfs here (%1): needs root")
                             .arg(QString::fromLocal8Bit(std::strerror(errno)))));
    struct Unmount {
        QByteArray dir;
        ~Unmount() { ::umount2(dir.constData(), MNT_DETACH); }
    } unmount{dir};

    const QString root = mountPoint.path();
    QStringList byAge;
    for (int i = 0; i < 6; ++i) {
        byAge << recordingPath(1 + i % 2, at("2024-02-01 10:00:00.000").addSecs(i * 600));
        writeFile(root, byAge.last(), kMiB);
    }
    const DiskSpace::Usage usage = DiskSpace::storageProbe(root);
    QVERIFY(usage.valid);
    QCOMPARE(usage.totalBytes, 8 * kMiB);
    // The default rule on a volume this small keeps half of it free.
    const qint64 threshold = DiskSpace::thresholdBytes(kKeepFreeDefault, usage.totalBytes);
    QCOMPARE(threshold, 4 * kMiB);
    QVERIFY(usage.freeBytes < threshold);

    const DiskSpace::Outcome outcome =
        DiskSpace::freeSpace(root + "/", threshold, DiskSpace::storageProbe, noOpenFiles());
    const int deleted = outcome.deleted.size();
    QVERIFY(deleted >= 2 && deleted < byAge.size());
    for (int i = 0; i < byAge.size(); ++i)
        QCOMPARE(exists(root, byAge[i]), i >= deleted);
    const qint64 freeNow = DiskSpace::storageProbe(root).freeBytes;
    QVERIFY(freeNow >= threshold);
    QVERIFY2(freeNow - kMiB < threshold, "one file fewer would have done");
#else
    QSKIP("mounting a small volume is tried on Linux only");
#endif
}

QTEST_GUILESS_MAIN(TestDiskSpaceKeeper)
#include "tst_diskspacekeeper.moc"
