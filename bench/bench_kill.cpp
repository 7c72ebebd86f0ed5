// Kill benchmark: what a sudden end costs. Prints figures; it is not a test (tests/tst_kill
// checks that nothing is damaged).
//
// Usage: bench_kill [--trials N] [--cameras C] [--seed S]
//
// Each trial starts the real program (offscreen, configuration in a temporary XDG_CONFIG_HOME)
// with C cameras recording one camsim stream (640x480, 25 fps), waits a random 1.5 to 8 s, and
// ends it: even trials with SIGKILL, odd ones with SIGTERM. Printed per kill: the frames the time
// recorded would hold that the open file lacks, and the bytes of its torn last chunk; per SIGTERM:
// the time to exit (the close with C recording cameras). Then min, median and max of each.

#include <algorithm>
#include <csignal>
#include <cstdio>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include "benchsupport.h"
#include "support/camsimprocess.h"

namespace {

void printSpread(const char* what, QList<qint64> values) {
    if (values.isEmpty()) {
        std::printf("%-36s none\n", what);
        return;
    }
    std::sort(values.begin(), values.end());
    std::printf("%-36s min %lld, median %lld, max %lld (%d values)\n", what, values.first(),
                values.at(values.size() / 2), values.last(), int(values.size()));
}

// The recording's start, from the stamp in its name ("camera-N-yyyy-MM-dd_HH-mm-ss-0zzz.avi").
QDateTime stampOf(const QString& path) {
    static const QRegularExpression stamp(
        QStringLiteral("camera-\\d-(\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d)-0(\\d{3})\\.avi$"));
    const auto match = stamp.match(path);
    return match.hasMatch()
               ? QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd_HH-mm-ss"))
                     .addMSecs(match.captured(2).toInt())
               : QDateTime();
}

bool writeFile(const QString& path, const QString& text) {
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(text.toUtf8()) > 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption trialsOption("trials", "Trials (default 20).", "N", "20");
    const QCommandLineOption camerasOption("cameras", "Recording cameras (default 1).", "C", "1");
    const QCommandLineOption seedOption("seed", "Random seed.", "S", "20261207");
    parser.addOptions({trialsOption, camerasOption, seedOption});
    parser.process(app);
    const int trials = parser.value(trialsOption).toInt();
    const int cameras = qBound(1, parser.value(camerasOption).toInt(), 8);

    CamsimProcess camera({"--fps", "25", "--width", "640", "--height", "480", "--loop", "50"});
    QTemporaryDir work;
    if (!work.isValid() || !camera.start()) {
        std::fprintf(stderr, "bench_kill: %s\n", qPrintable(camera.errorString()));
        return 1;
    }
    QString config = QStringLiteral("<config>");
    for (int i = 0; i < cameras; ++i)
        config += QStringLiteral("<camera><cameratype>1</cameratype><url>%1</url>"
                                 "<recordonstart>TRUE</recordonstart></camera>")
                      .arg(camera.streamUrl().toHtmlEscaped());
    config += QStringLiteral("</config>\n");

    QRandomGenerator random(parser.value(seedOption).toUInt());
    QList<qint64> framesShort, tornBytes, closeMs;
    const qint64 chunkBytes = 640 * 480 * 3 / 2 + 8;
    for (int trial = 0; trial < trials; ++trial) {
        const bool kill = trial % 2 == 0;
        const int afterMs = 1500 + random.bounded(6500);
        const QString home = work.path() + QStringLiteral("/trial%1/home").arg(trial);
        const QString drive = work.path() + QStringLiteral("/trial%1/drive/").arg(trial);
        const QString folder = home + QStringLiteral("/Quorlan-Applications/Q7M2/");
        QDir().mkpath(drive);
        writeFile(folder + "config.xml", config);
        writeFile(folder + "settings.xml",
                  QStringLiteral("<settings><setting><datadrive>%1</datadrive><keepfree>0"
                                 "</keepfree></setting></settings>\n")
                      .arg(drive));
        QProcess recorder;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", home);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        recorder.setProcessEnvironment(env);
        recorder.setProcessChannelMode(QProcess::ForwardedChannels);
        recorder.start(QStringLiteral(IPS_APP_PATH), QStringList());
        if (!recorder.waitForStarted(5000))
            return 1;
        QThread::msleep(afterMs);
        const QDateTime endedAt = QDateTime::currentDateTime();
        QElapsedTimer closing;
        closing.start();
        ::kill(pid_t(recorder.processId()), kill ? SIGKILL : SIGTERM);
        recorder.waitForFinished(60000);
        if (!kill) {
            closeMs << closing.elapsed();
            std::printf("trial %2d SIGTERM after %4d ms: exit in %lld ms\n", trial, afterMs,
                        closeMs.last());
            continue;
        }
        // The newest file of each camera was open at the kill.
        for (int n = 1; n <= cameras; ++n) {
            const QStringList files = aviFiles(drive).filter(QStringLiteral("camera-%1-").arg(n));
            if (files.isEmpty())
                continue;
            const QString& open = files.last();
            QFile file(open);
            const qint64 size = file.size();
            const int movi = file.open(QIODevice::ReadOnly) ? file.read(1 << 20).indexOf("movi") : -1;
            const qint64 data = movi < 8 ? size : movi + 4;
            const qint64 readable = qMax<qint64>(0, size - data) / chunkBytes;
            framesShort << qMax<qint64>(0, stampOf(open).msecsTo(endedAt) / 40 - readable);
            tornBytes << qMax<qint64>(0, size - data) % chunkBytes;
            std::printf("trial %2d SIGKILL after %4d ms: camera %d, %lld frames readable, %lld "
                        "short, %lld bytes torn\n",
                        trial, afterMs, n, readable, framesShort.last(), tornBytes.last());
        }
    }
    std::printf("\n%d trials, %d camera(s)\n", trials, cameras);
    printSpread("frames short of the time, per kill:", framesShort);
    printSpread("torn last chunk, bytes:", tornBytes);
    printSpread("SIGTERM to exit, ms:", closeMs);
    return 0;
}
