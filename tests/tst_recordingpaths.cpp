// Where a recording goes: the day folder and name of the moment it began, also at midnight and
// at the year's end, made on a drive given with or without its closing slash.
#include <QTemporaryDir>
#include <QtTest>

#include "recordings/recordingpaths.h"

using namespace RecordingPaths;

class RecordingPathsTest final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void fileNames_data();
    void fileNames();
};

void RecordingPathsTest::fileNames_data() {
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("relative");
    const QDate day(2024, 3, 7);
    QTest::newRow("42 ms") << QDateTime(day, QTime(9, 5, 3, 42))
                           << "2024/03/07/camera-3-2024-03-07_09-05-03-0042.avi";
    QTest::newRow("before midnight") << QDateTime(day, QTime(23, 59, 59, 999))
                                     << "2024/03/07/camera-3-2024-03-07_23-59-59-0999.avi";
    QTest::newRow("midnight") << QDateTime(day.addDays(1), QTime(0, 0))
                              << "2024/03/08/camera-3-2024-03-08_00-00-00-0000.avi";
    QTest::newRow("year end") << QDateTime(QDate(2023, 12, 31), QTime(23, 59, 59, 999))
                              << "2023/12/31/camera-3-2023-12-31_23-59-59-0999.avi";
    QTest::newRow("new year") << QDateTime(QDate(2024, 1, 1), QTime(0, 0))
                              << "2024/01/01/camera-3-2024-01-01_00-00-00-0000.avi";
    QTest::newRow("year 999") << QDateTime(QDate(999, 1, 2), QTime(3, 4, 5, 6))
                              << "0999/01/02/camera-3-0999-01-02_03-04-05-0006.avi";
}

void RecordingPathsTest::fileNames() {
    QFETCH(QDateTime, when);
    QFETCH(QString, relative);
    QTemporaryDir drive;
    QVERIFY(drive.isValid());
    const QString expected = drive.path() + QStringLiteral("/VideoData/videos/") + relative;
    for (const QString& given : {drive.path(), drive.path() + QLatin1Char('/')}) {
        const QString file = recordingFile(given, QStringLiteral("3"), when);
        QCOMPARE(file, expected);
        QVERIFY(QFileInfo(QFileInfo(file).path()).isDir()); // made, with every level above
        QVERIFY(!QFileInfo::exists(file));                  // the writer makes the file
    }
}

QTEST_GUILESS_MAIN(RecordingPathsTest)
#include "tst_recordingpaths.moc"
