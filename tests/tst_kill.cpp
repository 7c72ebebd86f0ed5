// ctest-labels: slow
// The real program, recording, killed without warning at random moments (as by a power cut or
// the out-of-memory killer), or told to stop while a kill may follow during its close: closed
// recordings stay whole, the open one stays readable up to its last whole frame, and the
// configuration files are always either the old or the new version, never damaged.
#include <algorithm>
#include <array>
#include <csignal>

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include "app/channelconfig.h"
#include "capture/avirepair.h"
#include "settings/configfile.h"
#include "support/camsimprocess.h"
#include "support/capturerig.h"
#include "support/mediaprobe.h"
#include "support/recorderwindow.h"

namespace {
constexpr int kTrials = 20;
constexpr quint32 kSeed = 20261207;
constexpr qint64 kFrameChunkBytes = 640 * 480 * 3 / 2 + 8;

enum class Ending { Kill, Terminate, TerminateThenKill };

const char* endingName(Ending ending) {
    switch (ending) {
    case Ending::Kill:
        return "SIGKILL";
    case Ending::Terminate:
        return "SIGTERM";
    case Ending::TerminateThenKill:
        return "SIGTERM+SIGKILL";
    }
    return "";
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

bool wellFormedXml(const QByteArray& bytes) {
    QXmlStreamReader reader(bytes);
    while (!reader.atEnd())
        reader.readNext();
    return !reader.hasError();
}

// Where the frame chunks of an AVI file begin (just after "movi"); -1 if it has no such list.
qint64 frameDataStart(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray head = file.read(1 << 20);
    const int movi = head.indexOf("movi");
    return movi < 8 ? -1 : movi + 4;
}

// The recording's start, from the stamp in its name ("camera-1-yyyy-MM-dd_HH-mm-ss-0zzz.avi").
QDateTime stampOf(const QString& path) {
    static const QRegularExpression stamp(
        QStringLiteral("camera-\\d-(\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d)-0(\\d{3})\\.avi$"));
    const auto match = stamp.match(path);
    if (!match.hasMatch())
        return {};
    QDateTime start =
        QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd_HH-mm-ss"));
    return start.addMSecs(match.captured(2).toInt());
}

// The real program, with its configuration under `configHome`, as a desktop session starts it.
bool startRecorder(QProcess& app, const QString& configHome) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.start(QStringLiteral(IPS_APP_PATH), QStringList());
    return app.waitForStarted(5000);
}

qint64 median(QList<qint64> values) {
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}
} // namespace

class TestKill : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void killedAtRandomMoments();

private:
    QTemporaryDir work;
    QByteArray oldConfig;
    QByteArray newConfig; // what the program writes for the same cameras
    QByteArray oldSettings;
};

void TestKill::initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(work.isValid());
    QVERIFY2(QFileInfo(QStringLiteral(IPS_APP_PATH)).isExecutable(), IPS_APP_PATH);
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("ffprobe")).isEmpty(), "needs ffprobe");
}

void TestKill::killedAtRandomMoments() {
    // Breaks every 2.5 s, so that each trial also leaves files closed before the kill.
    CamsimProcess camera(
        {"--fps", "25", "--width", "640", "--height", "480", "--drop-after", "2.5"});
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));

    // The old files as a person might have typed them; the program writes its own layout.
    oldConfig = QStringLiteral("<?xml version=\"1.0\"?><config><camera><cameratype>1</cameratype>"
                               "<url>%1</url><location>Till</location><record>FALSE</record>"
                               "<recordonstart>TRUE</recordonstart><recordstart>0</recordstart>"
                               "<recordstop>0</recordstop></camera></config>\n")
                    .arg(camera.streamUrl())
                    .toUtf8();
    {
        const QString scratch = work.path() + QStringLiteral("/expected.xml");
        QVERIFY(writeAll(scratch, oldConfig));
        std::array<ChannelConfig, 8> channels;
        readConfigFile(scratch, channels.data(), 8);
        QVERIFY(writeConfigFile(scratch, channels.data(), 8));
        newConfig = readAll(scratch);
        QVERIFY(newConfig != oldConfig);
    }

    QRandomGenerator random(kSeed);
    QList<qint64> lostByTime; // frames the time recorded would hold, less those readable
    QList<qint64> tornBytes;  // bytes of the torn last chunk of the open file
    int closedFilesChecked = 0;
    int openFilesChecked = 0;
    int configNew = 0;
    int leftoverTempFiles = 0;
    QList<qint64> closeMs; // from SIGTERM to the end of the process
    int slowEnds = 0;      // processes that took more than 10 s to end
    struct Torn {
        QString home;
        QString file;
        qint64 frames = 0;
    };
    QList<Torn> torn; // open at a kill, with a torn last chunk

    for (int trial = 0; trial < kTrials; ++trial) {
        const Ending ending = trial % 4 == 1   ? Ending::Terminate
                              : trial % 4 == 3 ? Ending::TerminateThenKill
                                               : Ending::Kill;
        const int killAfterMs = 1500 + random.bounded(6500);
        const int graceMs = random.bounded(40); // between SIGTERM and SIGKILL
        const QString home = work.path() + QStringLiteral("/trial%1/home").arg(trial);
        const QString drive = work.path() + QStringLiteral("/trial%1/drive/").arg(trial);
        const QString folder = recorderConfigFolder(home);
        QVERIFY(QDir().mkpath(folder) && QDir().mkpath(drive));
        oldSettings = QStringLiteral("<settings><setting><datadrive>%1</datadrive>"
                                     "<keepfree>0</keepfree></setting></settings>\n")
                          .arg(drive)
                          .toUtf8();
        QVERIFY(writeAll(folder + QStringLiteral("config.xml"), oldConfig));
        QVERIFY(writeAll(folder + QStringLiteral("settings.xml"), oldSettings));

        QProcess app;
        QVERIFY(startRecorder(app, home));
        QTest::qWait(killAfterMs);
        QVERIFY2(app.state() == QProcess::Running, app.readAll().constData());

        const QDateTime killedAt = QDateTime::currentDateTime();
        QElapsedTimer sinceSignal;
        sinceSignal.start();
        const auto pid = pid_t(app.processId());
        if (ending == Ending::Kill) {
            ::kill(pid, SIGKILL);
        } else {
            ::kill(pid, SIGTERM);
            if (ending == Ending::TerminateThenKill) {
                QElapsedTimer grace;
                grace.start();
                while (grace.elapsed() < graceMs && app.state() == QProcess::Running)
                    app.waitForFinished(1);
                ::kill(pid, SIGKILL);
            }
        }
        if (!app.waitForFinished(10000)) {
            // A process that waits on the disk (state D, for instance in the fsync of a save on
            // a disk busy with other work) cannot end, even when killed, until the disk answers:
            // record where it waits, give it longer, and fail only if it still does not end.
            const QByteArray state = readAll(QStringLiteral("/proc/%1/stat").arg(pid));
            const QByteArray stack = readAll(QStringLiteral("/proc/%1/stack").arg(pid));
            // A process with no /proc entry has ended, even if QProcess missed its exit.
            const bool ended = stack.isEmpty() && state.isEmpty()
                                   ? !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid))
                                   : app.waitForFinished(50000);
            qWarning("trial %d %s at %d ms: still running 10 s later (%s)%s\n%s", trial,
                     endingName(ending), killAfterMs, state.constData(),
                     ended ? ", ended later" : "", stack.constData());
            QVERIFY2(ended, "the program did not end");
            ++slowEnds;
        }
        const QByteArray output = app.readAll();
        if (ending == Ending::Terminate)
            closeMs << sinceSignal.elapsed();
        if (ending == Ending::Terminate)
            QVERIFY2(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0,
                     output.constData());

        // The configuration: always whole, the old or the new version.
        const QByteArray config = readAll(folder + QStringLiteral("config.xml"));
        QVERIFY2(wellFormedXml(config), config.constData());
        QVERIFY2(config == oldConfig || config == newConfig, config.constData());
        if (ending == Ending::Kill)
            QCOMPARE(config, oldConfig);
        if (ending == Ending::Terminate)
            QCOMPARE(config, newConfig);
        configNew += config == newConfig;
        QCOMPARE(readAll(folder + QStringLiteral("settings.xml")), oldSettings);
        // Beside the two files and the message log, only QSaveFile's temporary files would show.
        leftoverTempFiles +=
            QDir(folder).entryList({QStringLiteral("*.xml*")}, QDir::Files).size() - 2;

        // The recordings: every closed one whole; the one open at the kill readable up to its
        // last whole frame.
        const QStringList files = recordingFiles(drive);
        // Recording begins at the first schedule tick, a second after start.
        QVERIFY2(!files.isEmpty() || killAfterMs < 2500, output.constData());
        for (int i = 0; i < files.size(); ++i) {
            const QString& file = files.at(i);
            const bool last = i + 1 == files.size();
            const QString errors = MediaProbe::decodeErrors(file);
            if (!last || ending == Ending::Terminate || errors.isEmpty()) {
                verifyRecording(file);
                if (QTest::currentTestFailed())
                    qWarning("trial %d (%s after %d ms): %s", trial, endingName(ending),
                             killAfterMs, qPrintable(file));
                QVERIFY(!QTest::currentTestFailed());
                ++closedFilesChecked;
                continue;
            }

            // Open at the kill (or closed just in time): what a reader gets from it.
            const qint64 size = QFileInfo(file).size();
            const qint64 dataStart = frameDataStart(file);
            const MediaInfo info = MediaProbe::probe(file);
            qint64 decoded = 0;
            if (dataStart > 0 && size > dataStart) {
                QVERIFY2(info.ok, qPrintable(file + QLatin1Char(' ') + info.error));
                QCOMPARE(info.codecTag, QStringLiteral("IYUV"));
                QCOMPARE(info.width, 640);
                QCOMPARE(info.height, 480);
                decoded = qMax<qint64>(0, info.frameCount);
                // The one complaint allowed: the torn last chunk.
                QVERIFY2(errors.contains(QStringLiteral("Invalid buffer size")) &&
                             errors.count(QLatin1Char('\n')) <= 2,
                         qPrintable(errors));
                QCOMPARE(decoded, (size - dataStart) / kFrameChunkBytes);
                tornBytes << (size - dataStart) % kFrameChunkBytes;
                if (decoded > 0)
                    torn.append({home, file, decoded});
                ++openFilesChecked;
            }
            const qint64 recordedMs = stampOf(file).msecsTo(killedAt);
            lostByTime << qMax<qint64>(0, recordedMs / 40 - decoded);
            qInfo("trial %2d %-15s at %4d ms: %s: %lld bytes, %lld frames readable, %lld ms "
                  "recorded, %lld frames short",
                  trial, endingName(ending), killAfterMs, qPrintable(QFileInfo(file).fileName()),
                  size, decoded, recordedMs, lostByTime.last());
        }
    }

    // The next start mends what the kills left: each torn file is cut after its last whole frame
    // and then reads without a complaint.
    for (const Torn& t : torn) {
        QProcess app;
        QVERIFY(startRecorder(app, t.home));
        QTRY_VERIFY_WITH_TIMEOUT(!AviRepair::isUnfinished(t.file), 5000);
        ::kill(pid_t(app.processId()), SIGTERM);
        QVERIFY(app.waitForFinished(10000));
        MediaInfo info;
        verifyRecording(t.file, &info);
        QVERIFY(!QTest::currentTestFailed());
        QCOMPARE(info.frameCount, t.frames);
    }
    qInfo("%d torn files mended at the next start", int(torn.size()));

    QVERIFY(closedFilesChecked > 0);
    QVERIFY(openFilesChecked > 0);
    qInfo("%d closed files whole; %d files open at a kill, readable up to their last whole frame",
          closedFilesChecked, openFilesChecked);
    qInfo("frames short of the time recorded, per kill: min %lld, median %lld, max %lld",
          lostByTime.isEmpty() ? 0 : *std::min_element(lostByTime.cbegin(), lostByTime.cend()),
          median(lostByTime),
          lostByTime.isEmpty() ? 0 : *std::max_element(lostByTime.cbegin(), lostByTime.cend()));
    qInfo("torn last chunk: %d of the open files, median %lld bytes", int(tornBytes.size()),
          median(tornBytes));
    qInfo("%d processes took more than 10 s to end", slowEnds);
    qInfo("SIGTERM to exit: median %lld ms, max %lld ms", median(closeMs),
          closeMs.isEmpty() ? 0 : *std::max_element(closeMs.cbegin(), closeMs.cend()));
    qInfo("config.xml new after %d of %d trials; %d temporary files left behind", configNew,
          kTrials, leftoverTempFiles);
}

QTEST_MAIN(TestKill)
#include "tst_kill.moc"
