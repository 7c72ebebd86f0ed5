// ctest-labels: slow
// The real program, recording, killed at random moments (a power cut, the out-of-memory killer),
// or told to stop with a kill perhaps following during its close: closed recordings stay whole,
// the open one readable up to its last whole frame and mended at the next start; config.xml and
// settings.xml are the old or the new version, never damaged, with no temporary file left.
// bench/bench_kill prints how much a kill loses.
#include <csignal>

#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>

#include "recordings/avirepair.h"
#include "settings/configfile.h"
#include "support/recorder.h"

namespace {
constexpr int kTrials = 8;
constexpr quint32 kSeed = 20261207;

// Where the frame chunks of an AVI file begin (just after "movi"); -1 if it has no such list.
qint64 frameDataStart(const QString& path) {
    QFile file(path);
    const int movi = file.open(QIODevice::ReadOnly) ? file.read(1 << 20).indexOf("movi") : -1;
    return movi < 8 ? -1 : movi + 4;
}

// A process that waits on the disk (state D, for instance in the fsync of a save on a disk busy
// with other work) cannot end, even when killed, until the disk answers: it gets longer. One
// without a /proc entry has ended, even if QProcess missed its exit.
bool ended(QProcess& app) {
    const QString proc = QStringLiteral("/proc/%1").arg(app.processId());
    return app.waitForFinished(10000) || !QFileInfo::exists(proc) || app.waitForFinished(50000);
}
} // namespace

class TestKill : public QObject {
    Q_OBJECT
private slots:
    void killedAtRandomMoments();
};

void TestKill::killedAtRandomMoments() {
    QTemporaryDir work;
    QVERIFY(work.isValid());
    // Breaks every 2.5 s, so that each trial also leaves files closed before the kill.
    CamsimProcess camera({"--fps", "25", "--width", "640", "--height", "480", "--drop-after", "2.5"});
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));

    // The old files as a person might have typed them; the program writes its own layout.
    const QByteArray oldConfig =
        QStringLiteral("<?xml version=\"1.0\"?><config><camera><cameratype>1</cameratype>"
                       "<url>%1</url><location>Till</location><recordonstart>TRUE</recordonstart>"
                       "</camera></config>\n")
            .arg(camera.streamUrl().toHtmlEscaped())
            .toUtf8();
    const QString scratch = work.path() + QStringLiteral("/expected.xml");
    QVERIFY(writeBytes(scratch, oldConfig));
    Cameras channels;
    readConfigFile(scratch, channels.data(), kCameraCount);
    QVERIFY(writeConfigFile(scratch, channels.data(), kCameraCount));
    const QByteArray newConfig = readBytes(scratch);
    QVERIFY(newConfig != oldConfig);

    QRandomGenerator random(kSeed);
    int openFilesChecked = 0;
    struct Torn {
        QString home, file;
        qint64 frames;
    };
    QList<Torn> torn; // open at a kill, with a torn last chunk
    for (int trial = 0; trial < kTrials; ++trial) {
        // Kill, SIGTERM, SIGTERM then a kill during the close.
        const int ending = trial % 3;
        const int killAfterMs = 1500 + random.bounded(4000);
        const int graceMs = random.bounded(40);
        const QString home = work.path() + QStringLiteral("/%1/home").arg(trial);
        const QString drive = work.path() + QStringLiteral("/%1/drive/").arg(trial);
        const QString folder = configFolder(home);
        const QByteArray oldSettings = QStringLiteral("<settings><setting><datadrive>%1</datadrive>"
                                                      "<keepfree>0</keepfree></setting></settings>\n")
                                           .arg(drive)
                                           .toUtf8();
        QVERIFY(QDir().mkpath(drive));
        QVERIFY(writeBytes(folder + QStringLiteral("config.xml"), oldConfig));
        QVERIFY(writeBytes(folder + QStringLiteral("settings.xml"), oldSettings));

        QProcess app;
        QVERIFY(startProgram(app, home));
        QTest::qWait(killAfterMs);
        QVERIFY2(app.state() == QProcess::Running, app.readAll().constData());
        const auto pid = pid_t(app.processId());
        ::kill(pid, ending == 0 ? SIGKILL : SIGTERM);
        if (ending == 2) {
            QElapsedTimer grace;
            grace.start();
            while (grace.elapsed() < graceMs && app.state() == QProcess::Running)
                app.waitForFinished(1);
            ::kill(pid, SIGKILL);
        }
        QVERIFY2(ended(app), "the program did not end");
        const QByteArray output = app.readAll();
        if (ending == 1)
            QVERIFY2(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0,
                     output.constData());

        // The configuration: always whole, the old or the new version, nothing left beside it.
        const QByteArray config = readBytes(folder + QStringLiteral("config.xml"));
        QVERIFY2(config == oldConfig || config == newConfig, config.constData());
        if (ending < 2)
            QCOMPARE(config == newConfig, ending == 1);
        QCOMPARE(readBytes(folder + QStringLiteral("settings.xml")), oldSettings);
        // Beside the message log, only QSaveFile's temporary files would show.
        QCOMPARE(QDir(folder).entryList({QStringLiteral("*.xml*")}, QDir::Files),
                 QStringList({"config.xml", "settings.xml"}));

        // The recordings: every closed one whole; the one open at the kill readable up to its
        // last whole frame, with the torn last chunk as the one complaint.
        const QStringList files = recordingFiles(drive);
        // Recording begins at the first schedule tick, a second after start.
        QVERIFY2(!files.isEmpty() || killAfterMs < 2500, output.constData());
        for (int i = 0; i < files.size(); ++i) {
            const QString& file = files.at(i);
            const QString errors = MediaProbe::decodeErrors(file);
            if (i + 1 < files.size() || ending == 1 || errors.isEmpty()) {
                verifyRecording(file);
                QVERIFY2(!QTest::currentTestFailed(), qPrintable(QStringLiteral("trial %1").arg(trial)));
                continue;
            }
            const qint64 size = QFileInfo(file).size();
            const qint64 dataStart = frameDataStart(file);
            if (dataStart <= 0 || size <= dataStart)
                continue; // killed before the first frame
            const MediaInfo info = MediaProbe::probe(file);
            QVERIFY2(info.ok, qPrintable(file + QLatin1Char(' ') + info.error));
            QCOMPARE(info.codecTag, QStringLiteral("IYUV"));
            QVERIFY2(errors.contains(QStringLiteral("Invalid buffer size")) &&
                         errors.count(QLatin1Char('\n')) <= 2,
                     qPrintable(errors));
            QCOMPARE(info.frameCount, (size - dataStart) / kIyuvChunkBytes);
            if (info.frameCount > 0)
                torn.append({home, file, info.frameCount});
            ++openFilesChecked;
        }
    }
    QVERIFY(openFilesChecked > 0);

    // The next start mends what the kills left: each torn file is cut after its last whole frame
    // and then reads without a complaint.
    for (const Torn& t : torn) {
        QProcess app;
        QVERIFY(startProgram(app, t.home));
        QTRY_VERIFY_WITH_TIMEOUT(!AviRepair::isUnfinished(t.file), 5000);
        ::kill(pid_t(app.processId()), SIGTERM);
        QVERIFY(app.waitForFinished(10000));
        MediaInfo info;
        verifyRecording(t.file, &info);
        QVERIFY(!QTest::currentTestFailed());
        QCOMPARE(info.frameCount, t.frames);
    }
}

QTEST_MAIN(TestKill)
#include "tst_kill.moc"
