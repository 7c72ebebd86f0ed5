// ctest-labels: threaded
// The keeper of free space on the data drive: oldest recordings first, never an open file or a
// file that is not a recording, only the folders it emptied, its threshold rules, and a stop that
// a long pass cannot hold. (tst_faults runs it on a real full drive.)
#include <QDirIterator>
#include <QtTest>

#include "recordings/clock.h"
#include "recordings/diskspacekeeper.h"
#include "settings/settingsfile.h"
#include "support/recorder.h"

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kGiB = 1024 * kMiB;

QString recordingPath(int camera, const QString& begun) {
    const QDateTime when = QDateTime::fromString(begun, QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    return QStringLiteral("VideoData/videos/%1/camera-%2-%3.avi")
        .arg(when.date().toString(QStringLiteral("yyyy/MM/dd")))
        .arg(camera)
        .arg(when.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss-0zzz")));
}

// Real bytes, so that a real volume sees them too.
void writeFile(const QString& root, const QString& relative, qint64 bytes) {
    QVERIFY(writeBytes(root + QLatin1Char('/') + relative, QByteArray(int(bytes), 'x')));
}

bool exists(const QString& root, const QString& relative) {
    return QFileInfo::exists(root + QLatin1Char('/') + relative);
}

// A volume of `capacityBytes` that holds exactly the files under the data drive of the path.
DiskSpace::Probe fakeProbe(qint64 capacityBytes) {
    return [capacityBytes](const QString& path) {
        const QString drive = QDir::cleanPath(path).section(QStringLiteral("/VideoData"), 0, 0);
        qint64 used = 0;
        QDirIterator it(drive, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            used += it.fileInfo().size();
        }
        return DiskSpace::Usage{true, capacityBytes, capacityBytes - used};
    };
}

DiskSpace::OpenFiles openFiles(const QSet<QString>& files = {}) {
    return [files] { return files; };
}

} // namespace

class TestDiskSpaceKeeper final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init();
    void cleanup() { Clock::setSource({}); }

    void deletesOldestFirstSparingOpenFiles();
    void leavesEverythingButRecordings_data();
    void leavesEverythingButRecordings();
    void removesOnlyFoldersItEmptied();
    void thresholds_data();
    void thresholds();
    void deletesNothingWhenOffEnoughOrUnknown();
    void destructorStopsAPassPromptly();

private:
    std::unique_ptr<QTemporaryDir> drive;
    QString root;
};

void TestDiskSpaceKeeper::init() {
    Clock::setSource([] { return QDateTime(QDate(2024, 6, 1), QTime(12, 0)); });
    drive = std::make_unique<QTemporaryDir>();
    QVERIFY(drive->isValid());
    root = drive->path();
}

void TestDiskSpaceKeeper::deletesOldestFirstSparingOpenFiles() {
    QStringList byAge;
    for (const char* begun : {"2 2023-12-31 23:59:59.999", "1 2024-01-01 00:00:00.000",
                              "3 2024-01-01 00:00:00.000", "8 2024-01-01 08:00:00.000",
                              "1 2024-01-01 09:00:00.000", "2 2024-02-10 10:00:00.000",
                              "1 2024-03-07 09:05:03.042"})
        byAge << recordingPath(begun[0] - '0', QString::fromLatin1(begun + 2));
    // Modification times run the other way: the names decide, not the file system.
    QDateTime mtime = QDateTime::currentDateTime();
    for (const QString& rel : byAge) {
        writeFile(root, rel, 1000);
        QFile file(root + "/" + rel);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(mtime, QFileDevice::FileModificationTime));
        mtime = mtime.addSecs(-3600);
    }
    // 7000 of 10000 bytes used: 3000 free, 6500 wanted, so four closed files must go.
    const DiskSpace::Probe probe = fakeProbe(10000);
    const DiskSpace::Outcome outcome = DiskSpace::freeSpace(root + "/", 6500, probe,
                                                            openFiles({root + "/" + byAge[3]}));
    QStringList deleted;
    for (const DiskSpace::Deletion& d : outcome.deleted)
        deleted << QDir(root).relativeFilePath(d.path);
    QCOMPARE(deleted, (QStringList{byAge[0], byAge[1], byAge[2], byAge[4]}));
    for (const QString& rel : byAge)
        QCOMPARE(exists(root, rel), !deleted.contains(rel));
    QCOMPARE(outcome.freeBytesBefore, qint64(3000));
    QCOMPARE(outcome.freeBytesAfter, qint64(7000));
    QVERIFY(!outcome.unreachable);
    // 2023's only day is gone with its month and year; the open file keeps 2024/01/01.
    QVERIFY(!exists(root, "VideoData/videos/2023"));
    QVERIFY(exists(root, "VideoData/videos/2024/01/01"));
}

void TestDiskSpaceKeeper::leavesEverythingButRecordings_data() {
    QTest::addColumn<QString>("relative");
    QTest::addColumn<QString>("kind");
    const QString videos = "VideoData/videos/";
    const QString day = videos + "2024/03/07/";
    const QString name = "camera-1-2024-03-07_09-05-03-0042.avi";
    const auto file = [](const char* row, const QString& relative) {
        QTest::newRow(row) << relative << QStringLiteral("file");
    };
    file("letters for a stamp", day + "camera-1-x.avi");
    file("extra extension", day + name + ".part");
    file("hour 24", day + "camera-1-2024-03-07_24-05-03-0042.avi");
    file("day folder disagrees", videos + "2024/03/08/" + name);
    file("30 February", videos + "2024/02/30/camera-1-2024-02-30_09-05-03-0042.avi");
    file("too deep", day + "old/" + name);
    file("foreign file in a day", day + "notes.txt");
    QTest::newRow("folder named as a recording") << day + name << "folder";
    QTest::newRow("link named as a recording") << day + name << "link";
    QTest::newRow("linked day folder") << videos + "2024/03/06" << "linked day";
}

void TestDiskSpaceKeeper::leavesEverythingButRecordings() {
    QFETCH(QString, relative);
    QFETCH(QString, kind);
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
    // Two real recordings, newer than the near miss: taken for a recording, it would go first.
    writeFile(root, recordingPath(1, "2024-03-09 01:00:00.000"), 1000);
    writeFile(root, recordingPath(4, "2024-03-09 02:00:00.000"), 1000);
    const DiskSpace::Probe probe = fakeProbe(10000);
    const DiskSpace::Outcome outcome =
        DiskSpace::freeSpace(root + "/", probe(root).freeBytes + 2000, probe, openFiles());
    QCOMPARE(outcome.deleted.size(), 2);
    QVERIFY2(QFileInfo(path).exists() || QFileInfo(path).isSymLink(), qPrintable(relative));
    QVERIFY(QFileInfo::exists(target));
}

void TestDiskSpaceKeeper::removesOnlyFoldersItEmptied() {
    writeFile(root, recordingPath(1, "2022-05-01 10:00:00.000"), 1000);
    writeFile(root, recordingPath(1, "2023-01-02 10:00:00.000"), 1000);
    writeFile(root, "VideoData/videos/2023/01/02/notes.txt", 10);
    writeFile(root, recordingPath(2, "2023-02-03 10:00:00.000"), 1000);
    // Today's folder may be about to receive a writer's next file (the clock says 2024-06-01).
    writeFile(root, recordingPath(3, "2024-06-01 00:00:00.000"), 1000);
    const DiskSpace::Probe probe = fakeProbe(100000);
    QCOMPARE(DiskSpace::freeSpace(root + "/", probe(root).freeBytes + 4000, probe, openFiles())
                 .deleted.size(),
             4);
    QVERIFY(!exists(root, "VideoData/videos/2022"));
    QVERIFY(exists(root, "VideoData/videos/2023/01/02/notes.txt"));
    QVERIFY(!exists(root, "VideoData/videos/2023/02"));
    QVERIFY(exists(root, "VideoData/videos/2024/06/01"));
}

void TestDiskSpaceKeeper::thresholds_data() {
    QTest::addColumn<qint64>("keepFreeMiB");
    QTest::addColumn<qint64>("totalBytes");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("off") << qint64(0) << 1000 * kGiB << qint64(0);
    QTest::newRow("explicit beyond the volume") << qint64(8192) << 4 * kGiB << 8 * kGiB;
    QTest::newRow("default, 4 GiB wins") << kKeepFreeDefault << 40 * kGiB << 4 * kGiB;
    QTest::newRow("default, 5 % wins") << kKeepFreeDefault << 100 * kGiB << 5 * kGiB;
    QTest::newRow("default, small volume") << kKeepFreeDefault << 6 * kGiB << 3 * kGiB;
    QTest::newRow("huge") << std::numeric_limits<qint64>::max() << kGiB
                          << std::numeric_limits<qint64>::max();
}

void TestDiskSpaceKeeper::thresholds() {
    QFETCH(qint64, keepFreeMiB);
    QFETCH(qint64, totalBytes);
    QTEST(DiskSpace::thresholdBytes(keepFreeMiB, totalBytes), "expected");
}

void TestDiskSpaceKeeper::deletesNothingWhenOffEnoughOrUnknown() {
    const QString rel = recordingPath(1, "2024-01-01 00:00:00.000");
    writeFile(root, rel, 1000);
    QVERIFY(DiskSpace::freeSpace(root + "/", 0, fakeProbe(1000), openFiles()).deleted.isEmpty());
    // Exactly at the threshold is enough.
    QVERIFY(DiskSpace::freeSpace(root + "/", 500, fakeProbe(1500), openFiles()).deleted.isEmpty());
    const DiskSpace::Outcome unknown = DiskSpace::freeSpace(
        root + "/", 500, [](const QString&) { return DiskSpace::Usage(); }, openFiles());
    QVERIFY(unknown.probeFailed && unknown.deleted.isEmpty());
    // The file being written is no space to win: 1001 bytes short, 1000 closed bytes to delete.
    const QString open = recordingPath(2, "2024-01-01 00:05:00.000");
    writeFile(root, open, 5000);
    const DiskSpace::Probe probe = fakeProbe(10000);
    const DiskSpace::Outcome tooShort = DiskSpace::freeSpace(
        root + "/", probe(root).freeBytes + 1001, probe, openFiles({root + "/" + open}));
    QVERIFY(tooShort.unreachable && tooShort.deleted.isEmpty());
    QVERIFY(exists(root, rel));
}

// The close waits for the keeper: a long pass must not hold it.
void TestDiskSpaceKeeper::destructorStopsAPassPromptly() {
    const int files = 200;
    const QDateTime base(QDate(2024, 1, 1), QTime(0, 0));
    for (int i = 0; i < files; ++i)
        writeFile(root, recordingPath(1 + i % 8, base.addSecs(i * 60).toString("yyyy-MM-dd HH:mm:ss.zzz")), 100);
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
    QTRY_VERIFY(!exists(root, recordingPath(1, "2024-01-01 00:00:00.000")));
    QElapsedTimer stopping;
    stopping.start();
    keeper.reset();
    QVERIFY2(stopping.elapsed() < 2000, qPrintable(QString::number(stopping.elapsed())));
    const int left = QDir(root + "/VideoData/videos/2024/01/01").entryList(QDir::Files).size();
    QVERIFY2(left > files / 2, qPrintable(QString::number(left)));
}

QTEST_GUILESS_MAIN(TestDiskSpaceKeeper)
#include "tst_diskspacekeeper.moc"
