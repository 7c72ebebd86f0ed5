// CPU cost of one IP camera's recording, the real capture worker against ffmpeg doing the same
// job alone, and how many cameras this machine records without losing source frames.
//
// Usage: bench_pipeline [--seconds T (default 30)] [--max-cameras N (default 8)] [--no-capacity]
//
// Sources are camsim streams (1280x720, 25 fps, --loop: pre-rendered, so the simulator costs
// next to nothing; it runs as a process of its own and is counted for neither side).
// (a) A CaptureThread, the code the window runs, with a ChannelConfig and real QLabel,
//     QPushButton and QLineEdit widgets under the offscreen platform, records one camera for
//     T s. CPU: getrusage(RUSAGE_SELF) minus a baseline, per 1000 frames in the file.
// (b) ffmpeg reads the same stream, scales to 640x480, draws the location and time and writes
//     rawvideo yuv420p tagged IYUV in AVI; its CPU comes from wait4().
// (c) Capacity: 1, 2, ... N workers at once for T s each; camsim's frame counters read back
//     from the recordings tell whether every source frame reached a file.
// (d) Per stage, on the same stream: grab, retrieve (packet copy), decode, prepareFrame,
//     preview copy, write (4:2:0 as it is), in this thread (CLOCK_THREAD_CPUTIME_ID).

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <unistd.h>
#include <vector>

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "capture/channelconfig.h"
#include "capture/capturethread.h"
#include "recordings/clock.h"
#include "capture/frameconversion.h"
#include "capture/mjpegdecode.h"
#include "capture/yuvaviwriter.h"

#include "benchsupport.h"
#include "support/camsimprocess.h"

namespace {

constexpr double kFps = 25.0;
constexpr int kLoopFrames = 250;
const QString kLocation = QStringLiteral("Shop front, till 2");

// One camera panel as the window wires it for its worker.
struct Panel {
    QLabel preview;
    QPushButton stopButton;
    QLineEdit locationEdit;
    ChannelConfig channel;

    explicit Panel(const QString& url) {
        channel.cameraType = 1;
        channel.url = url;
        channel.previewLabel = &preview;
        channel.stopButton = &stopButton;
        channel.locationEdit = &locationEdit;
        locationEdit.setText(kLocation);
        channel.setLocation(kLocation);
    }
};

void runEventLoopFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

struct WorkerRun {
    double cpuS = 0;
    qint64 frames = 0;
    std::vector<Coverage> coverage;
    QStringList failures;
};

// Runs one worker per URL at once for `seconds`, each recording under its own data drive, the
// way the window starts and stops them.
WorkerRun runWorkers(const QStringList& urls, int seconds, const QString& root, bool readBack) {
    WorkerRun r;
    std::vector<std::unique_ptr<Panel>> panels;
    std::vector<std::unique_ptr<CaptureThread>> threads;
    QStringList drives;
    const double cpu0 = processCpuSeconds();
    for (int i = 0; i < urls.size(); ++i) {
        drives << root + QStringLiteral("/drive%1/").arg(i + 1);
        QDir().mkpath(drives.last());
        panels.push_back(std::make_unique<Panel>(urls[i]));
        ChannelConfig& c = panels.back()->channel;
        c.running = true;
        c.recording = true;
        threads.push_back(
            std::make_unique<CaptureThread>(&c, drives.last(), QString::number(i + 1)));
        threads.back()->start();
    }
    runEventLoopFor(seconds * 1000);
    for (auto& t : threads)
        t->stop();
    for (auto& t : threads)
        t->waitForEnd();
    threads.clear();
    r.cpuS = processCpuSeconds() - cpu0;
    for (const QString& drive : drives) {
        const QStringList files = aviFiles(drive);
        for (const QString& f : files) {
            qint64 frames = 0;
            const QString wrong = checkRecordingFormat(f, &frames);
            if (!wrong.isEmpty())
                r.failures << f + QStringLiteral(": ") + wrong;
            r.frames += std::max<qint64>(0, frames);
        }
        if (readBack)
            r.coverage.push_back(frameCoverage(files, kLoopFrames));
        QDir(drive).removeRecursively();
    }
    return r;
}

double threadCpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Average CPU milliseconds of `body` over `n` runs.
template <typename F> double msPer(int n, F body) {
    const double t0 = threadCpu();
    for (int i = 0; i < n; ++i)
        body();
    return (threadCpu() - t0) * 1000.0 / n;
}

// The worker's steps for one frame, in this thread, timed one by one.
void measureStages(const QString& url, int frames, const QString& outPath) {
    cv::VideoCapture cap;
    const std::vector<int> params{cv::CAP_PROP_OPEN_TIMEOUT_MSEC, 5000,
                                  cv::CAP_PROP_READ_TIMEOUT_MSEC, 5000};
    if (!cap.open(url.toStdString(), cv::CAP_FFMPEG, params) || !cap.set(cv::CAP_PROP_FORMAT, -1)) {
        std::printf("    cannot open %s as raw packets\n", qPrintable(url));
        return;
    }
    YuvAviWriter writer;
    writer.open(outPath, kFps, cv::Size(kRecordWidth, kRecordHeight));
    double grabS = 0, retrieveS = 0, decodeS = 0, prepareS = 0, previewS = 0, writeS = 0;
    cv::Mat packet, work;
    DecodedPicture picture;
    QImage preview;
    int n = 0;
    size_t packetBytes = 0;
    const double cpu0 = processCpuSeconds();
    for (; n < frames; ++n) {
        const double t0 = threadCpu();
        if (!cap.grab())
            break;
        const double t1 = threadCpu();
        if (!cap.retrieve(packet))
            break;
        const double t2 = threadCpu();
        decodeMjpegPicture(packet, picture);
        const double t3 = threadCpu();
        prepareRecordingFrame(picture, kLocation, Clock::now(), work);
        const double t4 = threadCpu();
        preview = recordingFrameToQImage(work);
        const double t5 = threadCpu();
        writer.write(work);
        const double t6 = threadCpu();
        grabS += t1 - t0;
        retrieveS += t2 - t1;
        decodeS += t3 - t2;
        prepareS += t4 - t3;
        previewS += t5 - t4;
        writeS += t6 - t5;
        packetBytes += packet.total();
    }
    const double processS = processCpuSeconds() - cpu0;
    writer.release();
    if (n == 0)
        return;
    const double perMs = 1000.0 / n;
    std::printf("    %d frames, JPEG %.0f kB on average, ms CPU per frame:\n", n,
                packetBytes / 1000.0 / n);
    std::printf("      grab %.2f  retrieve %.2f  decode (scaled, planes) %.2f  prepareFrame %.2f  "
                "preview copy %.2f  write %.2f  = %.2f\n",
                grabS * perMs, retrieveS * perMs, decodeS * perMs, prepareS * perMs,
                previewS * perMs, writeS * perMs,
                (grabS + retrieveS + decodeS + prepareS + previewS + writeS) * perMs);
    std::printf("      other threads of the process (demuxer, writer): %.2f\n",
                (processS - (grabS + retrieveS + decodeS + prepareS + previewS + writeS)) * perMs);

    // prepareFrame split into its parts, on the last picture.
    cv::Mat scaled, yuv, bgr;
    decodeMjpegFrame(packet, bgr);
    const QByteArray location = kLocation.toLocal8Bit();
    const int reps = 100;
    const double resizeMs = msPer(reps, [&] {
        cv::resize(bgr, scaled, {kRecordWidth, kRecordHeight}, 0, 0, cv::INTER_LINEAR);
    });
    const double overlayMs = msPer(reps, [&] {
        const cv::Scalar colour(200, 200, 250, 0);
        cv::putText(scaled, location.constData(), {0, 15}, cv::FONT_HERSHEY_COMPLEX_SMALL, 0.8,
                    colour, 1, cv::LINE_AA);
        cv::putText(scaled, "2024-03-07 09-05-03", {0, 450}, cv::FONT_HERSHEY_COMPLEX_SMALL, 0.8,
                    colour, 1, cv::LINE_AA);
    });
    const double yuvMs = msPer(reps, [&] { cv::cvtColor(scaled, yuv, cv::COLOR_BGR2YUV_I420); });
    std::printf("      for comparison, on blue-green-red: resize %dx%d->640x480 %.2f, overlay text "
                "%.2f, BGR->I420 %.2f\n",
                bgr.cols, bgr.rows, resizeMs, overlayMs, yuvMs);
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({{"seconds", "Seconds per run (default 30).", "T"},
                       {"max-cameras", "Largest number of cameras tried (default 8).", "N"},
                       {"no-capacity", "Skip the capacity runs."}});
    parser.process(app);
    const int seconds = parser.isSet("seconds") ? std::max(5, parser.value("seconds").toInt()) : 30;
    const int maxCameras =
        parser.isSet("max-cameras") ? std::clamp(parser.value("max-cameras").toInt(), 1, 8) : 8;
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/bench-pipeline-XXXXXX"));
    if (!dir.isValid())
        return 2;

    const int sources = parser.isSet("no-capacity") ? 1 : maxCameras;
    std::vector<std::unique_ptr<CamsimProcess>> cams;
    QStringList urls;
    for (int i = 0; i < sources; ++i) {
        cams.push_back(std::make_unique<CamsimProcess>(QStringList{"--fps", "25", "--width", "1280",
                                                                   "--height", "720", "--loop",
                                                                   QString::number(kLoopFrames)}));
        if (!cams.back()->start(120000)) {
            std::fprintf(stderr, "bench_pipeline: %s\n", qPrintable(cams.back()->errorString()));
            return 2;
        }
        urls << cams.back()->streamUrl();
    }
    std::printf("bench_pipeline: %d s per run, camsim MJPEG 1280x720 25 fps --loop %d, %ld cores\n",
                seconds, kLoopFrames, cores);

    const WorkerRun one = runWorkers({urls[0]}, seconds, dir.path(), false);
    const double workerPerK = one.cpuS / std::max<qint64>(1, one.frames) * 1000.0;
    std::printf("\n(a) CaptureThread recording one camera\n");
    std::printf("    CPU %.2f s for %lld frames: %.2f s per 1000 frames (%.1f %% of one core)\n",
                one.cpuS, one.frames, workerPerK, workerPerK / 1000.0 * kFps * 100.0);
    for (const QString& f : one.failures)
        std::printf("    FAILED %s\n", qPrintable(f));

    const QString ffOut = dir.filePath(QStringLiteral("ffmpeg.avi"));
    const pid_t pid = spawnProcess(ffmpegRecordJob(urls[0], kLocation, ffOut, seconds));
    const ChildUsage ff = pid > 0 ? reapProcess(pid) : ChildUsage{};
    qint64 ffFrames = 0;
    const QString ffWrong = checkRecordingFormat(ffOut, &ffFrames);
    const double ffPerK = ff.cpuS / std::max<qint64>(1, ffFrames) * 1000.0;
    std::printf("\n(b) ffmpeg alone: read, scale=640:480, drawtext location + local time, rawvideo "
                "yuv420p IYUV in AVI\n");
    std::printf("    CPU %.2f s for %lld frames: %.2f s per 1000 frames (%.1f %% of one core)%s\n",
                ff.cpuS, ffFrames, ffPerK, ffPerK / 1000.0 * kFps * 100.0,
                ff.exitedOk && ffWrong.isEmpty() ? "" : qPrintable(" FAILED " + ffWrong));
    std::printf("\n    ratio worker / ffmpeg: %.2f (target <= 1.0)\n", workerPerK / ffPerK);

    if (!parser.isSet("no-capacity")) {
        std::printf("\n(c) cameras at once, %d s each; source frames that reached a file\n",
                    seconds);
        int sustainedAll = 0, sustainedTarget = 0;
        for (int n = 1; n <= maxCameras; ++n) {
            const WorkerRun run = runWorkers(urls.mid(0, n), seconds, dir.path(), true);
            double worst = 1.0;
            qint64 dropped = 0;
            for (const Coverage& c : run.coverage) {
                worst = std::min(worst, c.share());
                dropped += c.spanned - c.distinct;
            }
            std::printf("    %d camera(s): worst camera %.2f %%, %lld source frames missing in "
                        "all, CPU %.1f %% of the machine%s\n",
                        n, 100.0 * worst, dropped, run.cpuS / seconds / double(cores) * 100.0,
                        run.failures.isEmpty() ? "" : " (ffprobe FAILED)");
            if (dropped == 0 && sustainedAll == n - 1)
                sustainedAll = n;
            if (worst >= 0.995 && sustainedTarget == n - 1)
                sustainedTarget = n;
        }
        std::printf("    sustained: %d camera(s) with no source frame lost, %d with >= 99.5 %% "
                    "of them\n",
                    sustainedAll, sustainedTarget);
    }

    std::printf("\n(d) per stage, the worker's steps in one thread on the same stream\n");
    measureStages(urls[0], 250, dir.filePath(QStringLiteral("stages.avi")));
    return 0;
}
