// Soak benchmark: the real recorder window with N simulated cameras, against ffmpeg doing the
// same job, one process per camera. Prints figures; it is not a test.
//
// Usage: soak [--cameras N] [--seconds T] [--rss-at S] [--recorder-only] [--delete-finished]
//             [--compact [--ffmpeg-q Q]]
//
// Each camera is a camsim stream (1280x720, 25 fps, pre-rendered --loop so that the simulator
// costs next to nothing; it runs in processes of its own and is counted for neither side).
// 1. Recorder: the `Camera` window under the offscreen platform, with a temporary config.xml
//    that starts cameras 1..N recording, runs for T seconds. CPU is this process's
//    (getrusage RUSAGE_SELF); every tick of the one-second schedule is timed.
// 2. ffmpeg: one process per camera reading the same stream, scale 640x480, drawtext, rawvideo
//    yuv420p IYUV into 18 s AVI segments, for T seconds. CPU and peak RSS come from wait4().
// With --compact the recorder writes compact (MJPEG) recordings and ffmpeg encodes MJPEG at -q:v Q
// (default 3, about the recorder's bytes per frame) instead of rawvideo.
// Then every file of both sides is checked with ffprobe and read back for camsim's frame
// counters: the share of source frames that reached a file, per camera.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <vector>

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include "app/camera.h"
#include "capture/channelconfig.h"
#include "recordings/openrecordings.h"
#include "settings/configfile.h"
#include "settings/settingsfile.h"

#include "benchsupport.h"
#include "support/camsimprocess.h"

namespace {

constexpr double kFps = 25.0;
constexpr double kSegmentSeconds = 18.0;

// Times every delivery of the window's schedule timer, nested event processing included: what
// a user sees as the window not answering.
class TimedApplication final : public QApplication {
public:
    using QApplication::QApplication;

    QObject* watched = nullptr;
    std::vector<double> tickMs;

    bool notify(QObject* receiver, QEvent* event) override {
        if (receiver != watched || event->type() != QEvent::Timer)
            return QApplication::notify(receiver, event);
        QElapsedTimer timer;
        timer.start();
        const bool result = QApplication::notify(receiver, event);
        tickMs.push_back(timer.nsecsElapsed() / 1e6);
        return result;
    }
};

struct Options {
    int cameras = 1;
    int seconds = 60;
    int rssAtS = 60;
    int loopFrames = 250;
    int quality = 75;
    bool recorderOnly = false;
    bool deleteFinished = false;
    int ffmpegQscale = 0; // > 0: the compact job
};

struct SideResult {
    double cpuS = 0;
    double wallS = 0;
    qint64 frames = 0; // frames in the files (ffprobe)
    qint64 bytes = 0;  // of the files
    long peakRssKiB = 0;
    std::vector<Coverage> coverage;
    QStringList formatFailures;
    int files = 0;
};

QString location(int camera) {
    return QStringLiteral("Camera %1 shop floor").arg(camera + 1);
}

QStringList cameraFiles(const QStringList& all, int camera) {
    QStringList mine;
    const QString prefix = QStringLiteral("camera-%1-").arg(camera + 1);
    for (const QString& f : all) {
        if (QFileInfo(f).fileName().startsWith(prefix))
            mine << f;
    }
    return mine;
}

void checkFiles(const QStringList& files, SideResult* side, bool compact) {
    for (const QString& f : files) {
        qint64 frames = 0;
        const QString wrong = checkRecordingFormat(f, &frames, compact);
        side->bytes += QFileInfo(f).size();
        if (!wrong.isEmpty())
            side->formatFailures << QStringLiteral("%1: %2").arg(f, wrong);
        side->frames += std::max<qint64>(0, frames);
        ++side->files;
    }
}

bool writeConfiguration(const QString& configFolder, const QString& dataDrive,
                        const std::vector<std::unique_ptr<CamsimProcess>>& cams, bool compact) {
    QDir().mkpath(configFolder);
    ProgramSettings settings;
    settings.format = compact ? RecordingFormat::Mjpeg : RecordingFormat::Iyuv;
    settings.dataDrive = dataDrive;
    settings.keepFreeMiB = 0; // nothing is deleted under the measurement
    ChannelConfig channels[kCameraCount];
    for (size_t i = 0; i < cams.size(); ++i) {
        channels[i].cameraType = 1;
        channels[i].url = cams[i]->streamUrl();
        channels[i].location = location(int(i));
        channels[i].recordOnStart = true;
    }
    return writeSettingsFile(configFolder + QStringLiteral("settings.xml"), settings) &&
           writeConfigFile(configFolder + QStringLiteral("config.xml"), channels, kCameraCount);
}

// Deletes recordings that are complete; for runs too long to keep every file.
void deleteFinishedRecordings(const QString& dataDrive) {
    const QSet<QString> open = OpenRecordings::snapshot();
    for (const QString& f : aviFiles(dataDrive)) {
        if (!open.contains(f))
            QFile::remove(f);
    }
}

SideResult runRecorder(TimedApplication& app, const Options& o, const QString& configFolder,
                       const QString& dataDrive,
                       const std::vector<std::unique_ptr<CamsimProcess>>& cams, long* rssAtMarkKiB,
                       long* rssEndKiB, double* longestTickMs, double* longestLaterTickMs,
                       int* ticks) {
    SideResult r;
    if (!writeConfiguration(configFolder, dataDrive, cams, o.ffmpegQscale > 0)) {
        std::fprintf(stderr, "soak: cannot write the configuration\n");
        std::exit(2);
    }
    const double cpu0 = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    {
        Camera window;
        window.show();
        const QList<QTimer*> timers =
            window.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly);
        for (QTimer* t : timers) {
            if (t->interval() == 1000)
                app.watched = t;
        }
        if (!app.watched) {
            std::fprintf(stderr, "soak: the window's schedule timer was not found\n");
            std::exit(2);
        }
        QTimer::singleShot(o.rssAtS * 1000, [rssAtMarkKiB] { *rssAtMarkKiB = currentRssKiB(); });
        QTimer cleaner;
        if (o.deleteFinished) {
            QObject::connect(&cleaner, &QTimer::timeout,
                             [&dataDrive] { deleteFinishedRecordings(dataDrive); });
            cleaner.start(10000);
        }
        QTimer::singleShot(o.seconds * 1000, &app, &QApplication::quit);
        app.exec();
        *rssEndKiB = currentRssKiB(); // still recording: the figure to compare with the mark
        app.watched = nullptr;
        window.close(); // stops every worker and completes its file, as the user's close does
    }
    r.cpuS = processCpuSeconds() - cpu0;
    r.wallS = wall.elapsed() / 1000.0;
    r.peakRssKiB = peakRssKiB();
    *ticks = int(app.tickMs.size());
    *longestTickMs =
        app.tickMs.empty() ? 0 : *std::max_element(app.tickMs.begin(), app.tickMs.end());
    // The first ticks start the workers; the rest are the steady state.
    *longestLaterTickMs =
        app.tickMs.size() > 2 ? *std::max_element(app.tickMs.begin() + 2, app.tickMs.end()) : 0;
    return r;
}

SideResult runFfmpeg(const Options& o, const QString& root,
                     const std::vector<std::unique_ptr<CamsimProcess>>& cams) {
    SideResult r;
    QElapsedTimer wall;
    wall.start();
    std::vector<pid_t> pids;
    for (size_t i = 0; i < cams.size(); ++i) {
        const QString dir = root + QStringLiteral("/cam%1").arg(i + 1);
        QDir().mkpath(dir);
        pids.push_back(spawnProcess(ffmpegRecordJob(cams[i]->streamUrl(), location(int(i)),
                                                    dir + QStringLiteral("/seg%03d.avi"), o.seconds,
                                                    0, kSegmentSeconds, o.ffmpegQscale)));
    }
    std::vector<ChildUsage> usage(pids.size());
    std::vector<bool> ended(pids.size(), false);
    for (size_t i = 0; i < pids.size(); ++i) {
        if (pids[i] < 0) {
            r.formatFailures << QStringLiteral("ffmpeg did not start");
            ended[i] = true;
        }
    }
    // Sampled while they run: the peak of a process is gone with it.
    while (std::find(ended.begin(), ended.end(), false) != ended.end()) {
        for (size_t i = 0; i < pids.size(); ++i) {
            if (ended[i] || !tryReapProcess(pids[i], &usage[i]))
                continue;
            ended[i] = true;
            r.cpuS += usage[i].cpuS;
            r.peakRssKiB += usage[i].maxRssKiB;
            if (!usage[i].exitedOk)
                r.formatFailures << QStringLiteral("an ffmpeg job failed");
        }
        QThread::msleep(200);
    }
    r.wallS = wall.elapsed() / 1000.0;
    return r;
}

void printCoverage(const char* side, const std::vector<Coverage>& cov) {
    double worst = 1.0;
    for (size_t i = 0; i < cov.size(); ++i) {
        const Coverage& c = cov[i];
        std::printf("  %-8s camera %zu: %lld of %lld source frames recorded (%.2f %%), %lld "
                    "frames in files, %lld unreadable, %lld out of order\n",
                    side, i + 1, c.distinct, c.spanned, 100.0 * c.share(), c.framesRead,
                    c.unreadable, c.backwards);
        worst = std::min(worst, c.share());
    }
    std::printf("  %-8s worst camera: %.2f %% (target >= 99.5 %%)\n", side, 100.0 * worst);
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/soak-XXXXXX"));
    if (!root.isValid())
        return 2;
    // The window reads and writes its configuration under here, never the user's own.
    const QString configHome = root.filePath(QStringLiteral("config"));
    setenv("XDG_CONFIG_HOME", QFile::encodeName(configHome).constData(), 1);

    TimedApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Soak benchmark of the recorder against ffmpeg"));
    parser.addHelpOption();
    parser.addOptions({
        {"cameras", "Cameras, 1 to 8 (default 1).", "N"},
        {"seconds", "Seconds each side records (default 60).", "T"},
        {"rss-at", "Second at which the resident set is sampled (default 60).", "S"},
        {"loop", "Frames camsim pre-renders and loops (default 250).", "N"},
        {"quality", "camsim JPEG quality (default 75).", "Q"},
        {"recorder-only", "Skip the ffmpeg side."},
        {"keep", "Keep the temporary folder with every recording."},
        {"delete-finished", "Delete complete recordings as it goes (for long runs; no read-back)."},
        {"compact", "Compact recordings (MJPEG) on both sides."},
        {"ffmpeg-q", "ffmpeg's MJPEG -q:v in compact mode (default 3).", "Q"},
    });
    parser.process(app);
    Options o;
    o.cameras = std::clamp(
        parser.value("cameras").toInt() > 0 ? parser.value("cameras").toInt() : 1, 1, kCameraCount);
    if (parser.isSet("seconds"))
        o.seconds = std::max(5, parser.value("seconds").toInt());
    if (parser.isSet("rss-at"))
        o.rssAtS = std::max(1, parser.value("rss-at").toInt());
    if (parser.isSet("loop"))
        o.loopFrames = std::max(50, parser.value("loop").toInt());
    if (parser.isSet("quality"))
        o.quality = std::clamp(parser.value("quality").toInt(), 1, 100);
    o.recorderOnly = parser.isSet("recorder-only");
    if (parser.isSet("keep")) {
        root.setAutoRemove(false);
        std::printf("keeping %s\n", qPrintable(root.path()));
    }
    o.deleteFinished = parser.isSet("delete-finished");
    if (parser.isSet("compact"))
        o.ffmpegQscale = parser.isSet("ffmpeg-q") ? std::max(1, parser.value("ffmpeg-q").toInt()) : 3;
    o.rssAtS = std::min(o.rssAtS, o.seconds);

    std::printf("soak: %d camera(s), %d s per side, camsim 1280x720 %g fps --loop %d quality %d, "
                "%ld cores\n",
                o.cameras, o.seconds, kFps, o.loopFrames, o.quality, sysconf(_SC_NPROCESSORS_ONLN));
    std::fflush(stdout);

    std::vector<std::unique_ptr<CamsimProcess>> cams;
    for (int i = 0; i < o.cameras; ++i) {
        cams.push_back(std::make_unique<CamsimProcess>(
            QStringList{"--fps", "25", "--width", "1280", "--height", "720", "--loop",
                        QString::number(o.loopFrames), "--quality", QString::number(o.quality)}));
        if (!cams.back()->start(120000)) {
            std::fprintf(stderr, "soak: %s\n", qPrintable(cams.back()->errorString()));
            return 2;
        }
    }

    const QString configFolder = configHome + QStringLiteral("/Quorlan-Applications/Q7M2/");
    const QString dataDrive = root.filePath(QStringLiteral("recorder")) + QLatin1Char('/');
    QDir().mkpath(dataDrive);
    long rssAtMark = 0;
    double longestTick = 0, longestLaterTick = 0;
    int ticks = 0;
    long rssEnd = 0;
    SideResult rec = runRecorder(app, o, configFolder, dataDrive, cams, &rssAtMark, &rssEnd,
                                 &longestTick, &longestLaterTick, &ticks);

    SideResult ff;
    if (!o.recorderOnly)
        ff = runFfmpeg(o, root.filePath(QStringLiteral("ffmpeg")), cams);
    for (auto& c : cams)
        c->stop();

    // Read-back, after both measurements.
    const QStringList recFiles = aviFiles(dataDrive);
    if (!o.deleteFinished) {
        checkFiles(recFiles, &rec, o.ffmpegQscale > 0);
        for (int i = 0; i < o.cameras; ++i)
            rec.coverage.push_back(frameCoverage(cameraFiles(recFiles, i), o.loopFrames));
    }
    if (!o.recorderOnly) {
        for (int i = 0; i < o.cameras; ++i) {
            const QStringList files =
                aviFiles(root.filePath(QStringLiteral("ffmpeg/cam%1").arg(i + 1)));
            checkFiles(files, &ff, o.ffmpegQscale > 0);
            ff.coverage.push_back(frameCoverage(files, o.loopFrames));
        }
    }

    std::printf("\nrecorder (the Camera window, %d worker(s)), %.1f s wall\n", o.cameras,
                rec.wallS);
    if (!o.deleteFinished) {
        std::printf("  CPU %.2f s for %lld frames in %d files: %.2f s per 1000 frames (%.1f %% of "
                    "one core per camera)\n",
                    rec.cpuS, rec.frames, rec.files,
                    rec.cpuS / std::max<qint64>(1, rec.frames) * 1000,
                    rec.cpuS / std::max<qint64>(1, rec.frames) * kFps * 100);
    } else {
        std::printf("  CPU %.2f s over %.1f s: %.1f %% of one core per camera\n", rec.cpuS,
                    rec.wallS, rec.cpuS / rec.wallS / o.cameras * 100);
    }
    std::printf("  peak RSS %.1f MiB; RSS at %d s %.1f MiB, at %d s (before the close) %.1f MiB "
                "(growth %.2f %%, "
                "target < 5 %%)\n",
                rec.peakRssKiB / 1024.0, o.rssAtS, rssAtMark / 1024.0, o.seconds, rssEnd / 1024.0,
                rssAtMark > 0 ? 100.0 * (rssEnd - rssAtMark) / rssAtMark : 0.0);
    std::printf("  schedule ticks: %d, longest %.1f ms, longest after the first two %.1f ms "
                "(target < 100 ms)\n",
                ticks, longestTick, longestLaterTick);
    if (!o.recorderOnly) {
        std::printf("\nffmpeg (one process per camera, %g s segments), %.1f s wall\n",
                    kSegmentSeconds, ff.wallS);
        std::printf("  CPU %.2f s for %lld frames in %d files: %.2f s per 1000 frames (%.1f %% of "
                    "one core per camera)\n",
                    ff.cpuS, ff.frames, ff.files, ff.cpuS / std::max<qint64>(1, ff.frames) * 1000,
                    ff.cpuS / std::max<qint64>(1, ff.frames) * kFps * 100);
        std::printf("  peak RSS (sum of the processes' peaks) %.1f MiB\n", ff.peakRssKiB / 1024.0);
    }
    std::printf("\nframes recorded (camsim counters read back from every file)\n");
    if (!o.deleteFinished)
        printCoverage("recorder", rec.coverage);
    if (!o.recorderOnly)
        printCoverage("ffmpeg", ff.coverage);

    if (!o.recorderOnly && !o.deleteFinished && ff.frames > 0 && rec.frames > 0) {
        const double recPerK = rec.cpuS / rec.frames * 1000;
        const double ffPerK = ff.cpuS / ff.frames * 1000;
        std::printf("\nCPU per 1000 frames: recorder %.2f s, ffmpeg %.2f s, ratio %.2f (target "
                    "<= 1.0)\n",
                    recPerK, ffPerK, recPerK / ffPerK);
    }
    if (o.ffmpegQscale > 0 && !o.recorderOnly)
        std::printf("\ncompact (ffmpeg -q:v %d): bytes per frame: recorder %.0f, ffmpeg %.0f\n",
                    o.ffmpegQscale, double(rec.bytes) / std::max<qint64>(1, rec.frames),
                    double(ff.bytes) / std::max<qint64>(1, ff.frames));
    std::printf("\nffprobe: %d recorder file(s), %d ffmpeg file(s), %d failure(s)\n", rec.files,
                ff.files, int(rec.formatFailures.size() + ff.formatFailures.size()));
    for (const QString& f : rec.formatFailures + ff.formatFailures)
        std::printf("  FAILED %s\n", qPrintable(f));
    return rec.formatFailures.isEmpty() && ff.formatFailures.isEmpty() ? 0 : 1;
}
