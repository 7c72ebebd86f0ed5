#include <algorithm>

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "capture/recordingpaths.h"

using namespace RecordingPaths;

class RecordingPathsTest final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init();

    void fileStampText_data();
    void fileStampText();
    void dayFolderMadeLevelByLevel();
    void driveWithoutClosingSlash();
    void recordingFileName();
    void twoCamerasShareDayFolder();
    void namesSortInTimeOrder();
    void midnightAndYearEnd_data();
    void midnightAndYearEnd();
    void stillFileInTmp();

private:
    QString drive() const { return m_dir->path() + QLatin1Char('/'); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void RecordingPathsTest::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void RecordingPathsTest::fileStampText_data() {
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("stamp");
    const QDate day(2024, 3, 7);
    QTest::newRow("42 ms") << QDateTime(day, QTime(9, 5, 3, 42)) << "2024-03-07_09-05-03-0042";
    QTest::newRow("0 ms") << QDateTime(day, QTime(9, 5, 3, 0)) << "2024-03-07_09-05-03-0000";
    QTest::newRow("999 ms") << QDateTime(day, QTime(23, 59, 59, 999)) << "2024-03-07_23-59-59-0999";
    QTest::newRow("midnight") << QDateTime(day, QTime(0, 0)) << "2024-03-07_00-00-00-0000";
    QTest::newRow("year 999") << QDateTime(QDate(999, 1, 2), QTime(3, 4, 5, 6))
                              << "0999-01-02_03-04-05-0006";
}

void RecordingPathsTest::fileStampText() {
    QFETCH(QDateTime, when);
    QFETCH(QString, stamp);
    QCOMPARE(fileStamp(when), stamp);
    QCOMPARE(fileStamp(when).size(), 24);
}

void RecordingPathsTest::dayFolderMadeLevelByLevel() {
    const QString day = makeDayFolder(drive(), QDate(2024, 3, 7));
    QCOMPARE(day, drive() + "VideoData/videos/2024/03/07/");
    QVERIFY(QFileInfo(day).isDir());
    QCOMPARE(QDir(drive() + "VideoData").entryList(QDir::Dirs | QDir::NoDotAndDotDot),
             QStringList{"videos"});

    // An existing tree is no obstacle and the answer stays the same.
    QCOMPARE(makeDayFolder(drive(), QDate(2024, 3, 7)), day);
    QVERIFY(QFileInfo(day).isDir());
}

void RecordingPathsTest::driveWithoutClosingSlash() {
    const QString day = makeDayFolder(m_dir->path(), QDate(2024, 3, 7));
    QCOMPARE(day, drive() + "VideoData/videos/2024/03/07/");
    QVERIFY(QFileInfo(day).isDir());
    QCOMPARE(stillFile(m_dir->path(), "2"), drive() + "VideoData/tmp/2.jpg");
}

void RecordingPathsTest::recordingFileName() {
    const QDateTime when(QDate(2024, 3, 7), QTime(9, 5, 3, 42));
    const QString file = recordingFile(drive(), "3", when);
    QCOMPARE(file, drive() + "VideoData/videos/2024/03/07/camera-3-2024-03-07_09-05-03-0042.avi");
    QVERIFY(QFileInfo(QFileInfo(file).path()).isDir());
    QVERIFY(!QFileInfo::exists(file)); // the writer makes the file
}

void RecordingPathsTest::twoCamerasShareDayFolder() {
    const QDateTime when(QDate(2024, 3, 7), QTime(9, 5, 3, 42));
    const QFileInfo one(recordingFile(drive(), "1", when));
    const QFileInfo eight(recordingFile(drive(), "8", when.addMSecs(5)));
    QCOMPARE(one.path(), eight.path());
    QVERIFY(one.fileName().startsWith("camera-1-"));
    QVERIFY(eight.fileName().startsWith("camera-8-"));
}

void RecordingPathsTest::namesSortInTimeOrder() {
    const QDateTime start(QDate(2024, 9, 30), QTime(9, 59, 59, 998));
    // Steps that roll every field over: ms, second, minute, hour, day, month, year.
    const QList<qint64> stepsMs = {0,
                                   1,
                                   2,
                                   9,
                                   89,
                                   999,
                                   1000,
                                   59'000,
                                   3'600'000,
                                   86'400'000,
                                   2'678'400'000LL,
                                   31'536'000'000LL};
    QStringList names;
    for (qint64 step : stepsMs)
        names << recordingFile(drive(), "5", start.addMSecs(step));
    QStringList sorted = names;
    std::sort(sorted.begin(), sorted.end());
    QCOMPARE(sorted, names);
    QCOMPARE(QSet<QString>(names.begin(), names.end()).size(), names.size());
}

void RecordingPathsTest::midnightAndYearEnd_data() {
    QTest::addColumn<QDateTime>("before");
    QTest::addColumn<QString>("beforeFolder");
    QTest::addColumn<QString>("afterFolder");
    QTest::newRow("midnight") << QDateTime(QDate(2024, 3, 7), QTime(23, 59, 59, 999))
                              << "2024/03/07/"
                              << "2024/03/08/";
    QTest::newRow("year end") << QDateTime(QDate(2023, 12, 31), QTime(23, 59, 59, 999))
                              << "2023/12/31/"
                              << "2024/01/01/";
}

void RecordingPathsTest::midnightAndYearEnd() {
    QFETCH(QDateTime, before);
    QFETCH(QString, beforeFolder);
    QFETCH(QString, afterFolder);
    const QString videos = drive() + "VideoData/videos/";
    const QString first = recordingFile(drive(), "4", before);
    const QString next = recordingFile(drive(), "4", before.addMSecs(1));
    QCOMPARE(first, videos + beforeFolder + "camera-4-" + fileStamp(before) + ".avi");
    QCOMPARE(next, videos + afterFolder + "camera-4-" + fileStamp(before.addMSecs(1)) + ".avi");
    QVERIFY(QFileInfo(videos + beforeFolder).isDir());
    QVERIFY(QFileInfo(videos + afterFolder).isDir());
}

void RecordingPathsTest::stillFileInTmp() {
    const QString still = stillFile(drive(), "6");
    QCOMPARE(still, drive() + "VideoData/tmp/6.jpg");
    QVERIFY(QFileInfo(drive() + "VideoData/tmp").isDir());
    QVERIFY(!QFileInfo::exists(drive() + "VideoData/videos"));
}

QTEST_GUILESS_MAIN(RecordingPathsTest)
#include "tst_recordingpaths.moc"
