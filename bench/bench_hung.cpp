// Hung-camera benchmark: the real recorder window with working cameras beside cameras that
// accept a connection and never answer (camsim --hang-for), run twice: without and with the hung
// ones. Prints figures; it is not a test.
//
// Usage: bench_hung [--hung H] [--seconds T] [--working W]
//
// Cameras: W working camsim streams (1280x720, 25 fps, pre-rendered loop), the last of which
// drops its connection every 6 s, then H hung ones; every camera records from the start, with the
// real file size limit. Per working camera: when its first file appeared after the window's
// start, the seconds of video recorded, and the share of source frames kept from its first
// recorded frame on. Then how long the close took.

#include <cstdio>
#include <memory>
#include <vector>

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include "app/camera.h"
#include "benchsupport.h"
#include "capture/opengate.h"
#include "settings/configfile.h"
#include "settings/settingsfile.h"
#include "support/camsimprocess.h"

namespace {
constexpr int kLoopFrames = 250;

QStringList cameraFiles(const QString& drive, int number) {
    QStringList mine;
    for (const QString& f : aviFiles(drive))
        if (f.contains(QStringLiteral("/camera-%1-").arg(number)))
            mine << f;
    return mine;
}

// The hung cameras take the first `hung` panels: their opens begin first.
void runOnce(const QStringList& urls, int hung, int seconds) {
    const int working = int(urls.size()) - hung;
    QTemporaryDir drive;
    const QString root = drive.path() + QLatin1Char('/');
    const QString folder =
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
        QStringLiteral("/Quorlan-Applications/Q7M2/");
    QDir().mkpath(folder);
    ChannelConfig channels[kCameraCount];
    for (int i = 0; i < urls.size(); ++i) {
        channels[i].cameraType = 1;
        channels[i].url = urls[i];
        channels[i].recordOnStart = true;
    }
    ProgramSettings settings;
    settings.dataDrive = root;
    settings.keepFreeMiB = 0;
    if (!writeSettingsFile(folder + QStringLiteral("settings.xml"), settings) ||
        !writeConfigFile(folder + QStringLiteral("config.xml"), channels, kCameraCount)) {
        std::fprintf(stderr, "bench_hung: cannot write the configuration\n");
        std::exit(2);
    }
    std::vector<qint64> startMs(working, -1);
    qint64 closeMs = 0;
    {
        QElapsedTimer sinceStart;
        sinceStart.start();
        Camera window;
        window.show();
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            for (int i = 0; i < working; ++i)
                if (startMs[i] < 0 && !cameraFiles(root, hung + i + 1).isEmpty())
                    startMs[i] = sinceStart.elapsed();
        });
        poll.start(50);
        QTimer::singleShot(seconds * 1000, qApp, &QApplication::quit);
        qApp->exec();
        QElapsedTimer closing;
        closing.start();
        window.close();
        closeMs = closing.elapsed();
    }
    std::printf("  hung cameras: %d, close took %lld ms\n", hung, closeMs);
    for (int i = 0; i < working; ++i) {
        const QStringList files = cameraFiles(root, hung + i + 1);
        qint64 frames = 0;
        for (const QString& f : files) {
            qint64 n = 0;
            const QString wrong = checkRecordingFormat(f, &n);
            if (!wrong.isEmpty())
                std::printf("    %s: %s\n", qPrintable(f), qPrintable(wrong));
            frames += n;
        }
        const Coverage c = frameCoverage(files, kLoopFrames);
        std::printf("    camera %d%s: started after %lld ms, %.1f s recorded in %lld files, %.2f %% "
                    "of the source frames kept from the first one recorded (%lld missing)\n",
                    hung + i + 1, i == working - 1 ? " (drops every 6 s)" : "", startMs[i], frames / 25.0,
                    qint64(files.size()), 100.0 * c.share(), c.spanned - c.distinct);
    }
    // The next run must not start behind this one's blocked opens.
    DetachedCalls::waitForAll(10000);
}
} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({{"hung", "Hung cameras (default 2).", "H"},
                       {"working", "Working cameras, the last one dropping (default 6).", "W"},
                       {"seconds", "Length of each run (default 40).", "T"}});
    parser.process(app);
    const int hung = parser.isSet("hung") ? parser.value("hung").toInt() : 2;
    const int working = parser.isSet("working") ? parser.value("working").toInt() : 6;
    const int seconds = parser.isSet("seconds") ? parser.value("seconds").toInt() : 40;
    if (hung < 0 || working < 1 || hung + working > kCameraCount || seconds < 1) {
        std::fprintf(stderr, "bench_hung: at most %d cameras in all\n", kCameraCount);
        return 2;
    }

    const QStringList shape{"--width", "1280", "--height", "720", "--loop",
                            QString::number(kLoopFrames)};
    std::vector<std::unique_ptr<CamsimProcess>> cams;
    for (int i = 0; i < working; ++i)
        cams.push_back(std::make_unique<CamsimProcess>(
            i == working - 1 ? shape + QStringList{"--drop-after", "6"} : shape));
    cams.push_back(std::make_unique<CamsimProcess>(QStringList{"--hang-for", "1000000"}));
    QStringList urls;
    for (auto& cam : cams) {
        if (!cam->start()) {
            std::fprintf(stderr, "bench_hung: %s\n", qPrintable(cam->errorString()));
            return 2;
        }
        urls << cam->streamUrl();
    }
    const QString hungUrl = urls.takeLast();
    std::printf("%d working cameras (1280x720, 25 fps), %d s per run\n", working, seconds);
    runOnce(urls, 0, seconds);
    for (int i = 0; i < hung; ++i)
        urls.prepend(hungUrl);
    runOnce(urls, hung, seconds);
    return 0;
}
