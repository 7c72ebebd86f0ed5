// Activity figures: a box crossing camsim's noisy scene marks the seconds it was shown and no
// others, in the real program, whose figures survive a kill; the day files read safely whatever
// they hold; the keeper deletes them with a day's last recording; next and previous event.
#include <csignal>
#include <ctime>

#include <QRegularExpression>
#include <QtTest>

#include "recordings/activity.h"
#include "recordings/activitywriter.h"
#include "recordings/clock.h"
#include "recordings/diskspacekeeper.h"
#include "support/recorder.h"

namespace {
// From a box's first frame being rendered to the worker stamping its last one.
constexpr qint64 kLatencyMs = kSanitized ? 1000 : 500;

// "second=percent" pairs (percent "-" for no figure) over a day of 0 % figures.
QVector<float> day(const QString& marks) {
    QVector<float> figures(86400, 0.0f);
    for (const QString& mark : marks.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList pair = mark.split(QLatin1Char('='));
        figures[pair[0].toInt()] = pair[1] == "-" ? Activity::kNone : pair[1].toFloat();
    }
    return figures;
}
} // namespace

class TestActivity : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        // A zone with clock changes, for the days that do not last 86,400 s.
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }
    void marksPassesAndSurvivesAKill();
    void readsAnyFile_data();
    void readsAnyFile();
    void keeperDeletesWithLastRecording();
    void findsEvents_data();
    void findsEvents();
};

void TestActivity::marksPassesAndSurvivesAKill() {
    QTemporaryDir work;
    QVERIFY(work.isValid());
    QVector<QPair<qint64, qint64>> passes; // wall-clock ms of a box's first and last frames
    CamsimProcess camera(kCameraShape + QStringList{"--noise", "20", "--move-at", "6,9"});
    camera.setLogHandler([&passes](const QString& line) {
        static const QRegularExpression shown(QStringLiteral("from (\\d+) to (\\d+) ms"));
        const QRegularExpressionMatch m = shown.match(line);
        if (m.hasMatch())
            passes.append({m.captured(1).toLongLong(), m.captured(2).toLongLong()});
    });
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    const QString home = work.path() + QStringLiteral("/home");
    const QString drive = work.path() + QStringLiteral("/drive/");
    Cameras cameras;
    onStream(cameras[0], camera.streamUrl(), true);
    QVERIFY(QDir().mkpath(drive) && writeConfiguration(configFolder(home), cameras, drive));
    QProcess app;
    QVERIFY(startProgram(app, home));
    QTRY_VERIFY_WITH_TIMEOUT(passes.size() == 2, 20000);
    QTest::qWait(1500); // the seconds of the second pass are over, and written
    const qint64 killedAtMs = QDateTime::currentMSecsSinceEpoch();
    ::kill(pid_t(app.processId()), SIGKILL);
    QVERIFY(app.waitForFinished(10000));

    const QStringList files = recordingFiles(drive, 1);
    QVERIFY2(!files.isEmpty(), app.readAll().constData());
    DiskSpace::Recording first;
    QVERIFY(DiskSpace::parseRecordingName(QFileInfo(files.first()).fileName(), &first));
    const QDateTime begun = QDateTime::fromString(first.stamp, "yyyy-MM-dd_HH-mm-ss-0zzz");
    QVERIFY2(passes[0].first > begun.toMSecsSinceEpoch(), "the box passed before recording");
    const QVector<float> figures = Activity::readDay(drive, 1, begun.date());
    const auto secondOf = [&begun](qint64 ms) {
        return int(begun.date().startOfDay().msecsTo(QDateTime::fromMSecsSinceEpoch(ms)) / 1000);
    };
    // Written once a second, into the page cache: the kill takes the last second or two at most.
    for (int s = secondOf(begun.toMSecsSinceEpoch()) + 1; s <= secondOf(killedAtMs) - 3; ++s)
        QVERIFY2(figures[s] != Activity::kNone, qPrintable(QString::number(s)));
    QSet<int> shown;
    QStringList seen;
    for (const auto& pass : passes) {
        float largest = 0;
        for (int s = secondOf(pass.first); s <= secondOf(pass.second + kLatencyMs); ++s) {
            shown.insert(s);
            largest = qMax(largest, figures[s]);
        }
        seen << QString::number(largest);
        QVERIFY2(largest > Activity::kDefaultThreshold, qPrintable(seen.join(' ')));
    }
    float quiet = 0;
    for (int s = 0; s < figures.size(); ++s)
        if (!shown.contains(s))
            quiet = qMax(quiet, figures[s]);
    qInfo("largest figure during each pass: %s %%; elsewhere: %g %%", qPrintable(seen.join(' ')),
          double(quiet));
    QVERIFY(quiet <= Activity::kDefaultThreshold);
}

void TestActivity::readsAnyFile_data() {
    QTest::addColumn<QDate>("date");
    QTest::addColumn<QByteArray>("content"); // "folder": a folder in the file's place
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QVector<float>>("head");
    const QDate plain(2026, 12, 7);
    const float none = Activity::kNone;
    QTest::newRow("missing") << plain << QByteArray() << 86400 << QVector<float>{none, none};
    QTest::newRow("folder") << plain << QByteArray("folder") << 86400 << QVector<float>{none};
    QTest::newRow("short, each value") << plain << QByteArray("\x00\x01\x02\xc9\xca\xff", 6)
                                       << 86400 << QVector<float>{none, 0, 0.5, 100, none, none};
    QTest::newRow("longer than the day")
        << plain << QByteArray(300000, '\x05') << 86400 << QVector<float>{2, 2};
    QTest::newRow("clock put forward")
        << QDate(2026, 3, 29) << QByteArray() << 82800 << QVector<float>{none};
    QTest::newRow("clock put back")
        << QDate(2026, 10, 25) << QByteArray(90001, '\x0b') << 90000 << QVector<float>{5};
}

void TestActivity::readsAnyFile() {
    QFETCH(QDate, date);
    QFETCH(QByteArray, content);
    QFETCH(int, seconds);
    QFETCH(QVector<float>, head);
    QTemporaryDir drive;
    const QString path = Activity::dayFile(drive.path(), 3, date);
    QVERIFY(content.isEmpty() ||
            (content == "folder" ? QDir().mkpath(path) : writeBytes(path, content)));
    const QVector<float> figures = Activity::readDay(drive.path(), 3, date);
    QCOMPARE(figures.size(), seconds);
    QCOMPARE(figures.mid(0, head.size()), head);
    const bool readToTheEnd = content.size() >= seconds;
    QCOMPARE(figures.last(), readToTheEnd ? head.last() : Activity::kNone);
}

void TestActivity::keeperDeletesWithLastRecording() {
    QTemporaryDir drive;
    const QString root = drive.path() + QLatin1Char('/');
    Clock::setSource([] { return QDateTime(QDate(2024, 7, 15), QTime(12, 0)); });
    const QDate d(2024, 6, 1), next = d.addDays(1);
    // The writer puts each figure in the file of its own day: after midnight, into the next.
    const QVector<QPair<int, QDateTime>> figures{{1, {d, QTime(10, 0)}},
                                                 {2, {d, QTime(11, 0)}},
                                                 {1, {next, QTime(0, 0, 30)}},
                                                 {2, {next, QTime(8, 0)}}};
    for (const auto& [camera, when] : figures)
        QVERIFY(ActivityWriter(root, camera).write(when, 50));
    // Recordings, oldest first; the keeper deletes one at each pass.
    for (const auto& [camera, begun] :
         QVector<QPair<int, QString>>{{1, "2024-06-01_10-00-00-0000"},
                                      {2, "2024-06-01_11-00-00-0000"},
                                      {1, "2024-06-01_23-59-00-0000"},
                                      {2, "2024-06-02_08-00-00-0000"}})
        QVERIFY(writeBytes(root + QStringLiteral("VideoData/videos/%1/camera-%2-%3.avi")
                                      .arg(QString(begun.left(10)).replace('-', '/'))
                                      .arg(camera)
                                      .arg(begun),
                           QByteArray(1000, 'x')));
    const DiskSpace::Probe full = [](const QString&) { return DiskSpace::Usage{true, 1 << 20, 0}; };
    // Which of the four figure files are left after each deletion.
    for (const char* left : {"1111", "1011", "0001", "0000"}) {
        QCOMPARE(DiskSpace::freeSpace(root, 1000, full, {}).deleted.size(), 1);
        QString found;
        for (const auto& [camera, when] : figures)
            found += QFileInfo::exists(Activity::dayFile(root, camera, when.date())) ? '1' : '0';
        QCOMPARE(found, QString::fromLatin1(left));
    }
    // Emptied folders go, but for this year's.
    QCOMPARE(QDir(root + "VideoData/activity").entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList{"2024"});
    QVERIFY(QDir(root + "VideoData/activity/2024").isEmpty());
    Clock::setSource({});
}

void TestActivity::findsEvents_data() {
    QTest::addColumn<QString>("marks");
    QTest::addColumn<int>("from");
    QTest::addColumn<double>("threshold");
    QTest::addColumn<int>("direction");
    QTest::addColumn<int>("expected");
    QTest::newRow("at second 0, from before the day") << "0=5 1=5" << -1 << 2.0 << 1 << 0;
    QTest::newRow("from its own start, none after") << "0=5 1=5" << 0 << 2.0 << 1 << -1;
    QTest::newRow("back to the start from inside") << "10=5 11=5 12=5" << 11 << 2.0 << -1 << 10;
    QTest::newRow("back from a start: the one before") << "3=9 10=5 11=5" << 10 << 2.0 << -1 << 3;
    QTest::newRow("on from inside: the next") << "10=5 11=5 20=3" << 11 << 2.0 << 1 << 20;
    QTest::newRow("at the end of the day") << "86399=50" << 100 << 2.0 << 1 << 86399;
    QTest::newRow("back from past the end") << "86399=50" << INT_MAX << 2.0 << -1 << 86399;
    QTest::newRow("on from before, far") << "7=50" << INT_MIN << 2.0 << 1 << 7;
    QTest::newRow("back from the last second") << "86399=50" << 86399 << 2.0 << -1 << -1;
    QTest::newRow("at the threshold is none") << "5=2" << 0 << 2.0 << 1 << -1;
    QTest::newRow("above a lower threshold") << "5=2" << 0 << 1.5 << 1 << 5;
    QTest::newRow("a dip below splits") << "5=9 6=1 7=9" << 5 << 2.0 << 1 << 7;
    QTest::newRow("a dip above a lower one does not") << "5=9 6=1 7=9" << 5 << 0.5 << 1 << -1;
    QTest::newRow("no figure splits") << "5=9 6=- 7=9" << 5 << 0.0 << 1 << 7;
    QTest::newRow("no figure is no event") << "5=-" << 5 << -5.0 << 1 << 6;
    QTest::newRow("no direction") << "5=9" << 0 << 2.0 << 0 << -1;
}

void TestActivity::findsEvents() {
    QFETCH(QString, marks);
    QFETCH(int, from);
    QFETCH(double, threshold);
    QFETCH(int, direction);
    QFETCH(int, expected);
    QCOMPARE(Activity::findEvent(day(marks), from, threshold, direction), expected);
}

QTEST_MAIN(TestActivity)
#include "tst_activity.moc"
