// CPU cost of one IP camera's recording pipeline, against ffmpeg doing the same job alone.
//
// Usage: bench_pipeline [frames per job, default 500]
//
// Each job reads its own MJPEG stream (1280x720, 25 fps) served by an ffmpeg process that this
// program starts on 127.0.0.1. The source runs in a child process, so its CPU is counted for
// neither side: our pipeline is measured with getrusage(RUSAGE_SELF) (children excluded) and the
// ffmpeg job with wait4() on its own process.

#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "capture/clock.h"
#include "capture/frameconversion.h"
#include "capture/mjpegdecode.h"

extern char** environ;

namespace {

constexpr double kFps = 25.0;
const QString kLocation = QStringLiteral("Shop front, till 2");
const char* const kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

double seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}
double cpuSeconds(const rusage& r) {
    return seconds(r.ru_utime) + seconds(r.ru_stime);
}

double processCpu() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return cpuSeconds(r);
}

double threadCpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

pid_t spawn(const QStringList& args, bool quiet = false) {
    std::vector<QByteArray> bytes;
    for (const QString& a : args)
        bytes.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) // the source complains when its client hangs up, which is how every job ends
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Waits for the process and returns its own CPU seconds (its threads included).
double reap(pid_t pid, int* status = nullptr) {
    rusage r{};
    int st = 0;
    while (wait4(pid, &st, 0, &r) < 0 && errno == EINTR) {
    }
    if (status)
        *status = st;
    return cpuSeconds(r);
}

int freePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// True once something listens on the port; a probe connection would use up the source's only
// client, so the kernel's socket table is read instead.
bool waitListening(int port, int timeoutMs) {
    const QByteArray needle =
        QByteArray(":") + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QFile tcp(QStringLiteral("/proc/net/tcp"));
        if (tcp.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : tcp.readAll().split('\n')) {
                const QList<QByteArray> f = line.simplified().split(' ');
                if (f.size() > 3 && f[1].endsWith(needle) && f[3] == "0A")
                    return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// An MJPEG camera on 127.0.0.1, serving one client.
struct Source final {
    pid_t pid = -1;
    QString url;

    Source() {
        const int port = freePort();
        url = QStringLiteral("http://127.0.0.1:%1/axis-cgi/mjpg/video.cgi").arg(port);
        pid = spawn({"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-re", "-f",
                     "lavfi", "-i", "testsrc=size=1280x720:rate=25", "-c:v", "mjpeg", "-q:v", "5",
                     "-f", "mpjpeg", "-listen", "1", url},
                    true);
        if (pid < 0 || !waitListening(port, 10000)) {
            std::fprintf(stderr, "camera source did not start\n");
            std::exit(2);
        }
    }
    ~Source() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            reap(pid);
        }
    }
};

enum class Decode { Retrieve, RawFull, RawReduced };

const char* decodeName(Decode d) {
    switch (d) {
    case Decode::Retrieve:
        return "VideoCapture grab+retrieve (BGR at full size)";
    case Decode::RawFull:
        return "raw JPEG packets, imdecode full size";
    case Decode::RawReduced:
        return "raw JPEG packets, decodeMjpegFrame (half scale when >= 1280 wide)";
    }
    return "";
}

struct PipelineResult {
    int frames = 0;
    double processCpuS = 0; // whole process, every thread
    double wallS = 0;
    double grabS = 0, retrieveS = 0, decodeS = 0, prepareS = 0, previewS = 0, writeS = 0;
    QString captureBackend, writerBackend;
    cv::Mat lastPacket; // a JPEG, for the quality and stage checks
    cv::Mat lastFrame;  // the last source picture as the pipeline got it
};

PipelineResult runPipeline(Decode mode, int frames, const QString& outPath) {
    Source source;
    PipelineResult r;
    const double cpu0 = processCpu();
    QElapsedTimer wall;
    wall.start();

    cv::VideoCapture cap;
    for (int attempt = 0; attempt < 50 && !cap.isOpened(); ++attempt)
        cap.open(source.url.toStdString(), cv::CAP_FFMPEG);
    if (!cap.isOpened()) {
        std::fprintf(stderr, "cannot open %s\n", qPrintable(source.url));
        std::exit(2);
    }
    r.captureBackend = QString::fromStdString(cap.getBackendName());
    if (mode != Decode::Retrieve && !cap.set(cv::CAP_PROP_FORMAT, -1)) {
        std::fprintf(stderr, "raw packets not available\n");
        std::exit(2);
    }
    // Raw packets are JPEGs only for an MJPEG stream (the FFmpeg backend names it "mjpe" or
    // "MJPG"); other codecs need grab + retrieve.
    const int fourcc = static_cast<int>(cap.get(cv::CAP_PROP_FOURCC));
    const bool mjpeg = fourcc == cv::VideoWriter::fourcc('M', 'J', 'P', 'G') ||
                       fourcc == cv::VideoWriter::fourcc('m', 'j', 'p', 'e');
    if (mode != Decode::Retrieve && !mjpeg) {
        std::fprintf(stderr, "stream is not MJPEG\n");
        std::exit(2);
    }

    cv::VideoWriter writer(outPath.toStdString(), cv::VideoWriter::fourcc('I', 'Y', 'U', 'V'), kFps,
                           cv::Size(kRecordWidth, kRecordHeight), true);
    if (!writer.isOpened()) {
        std::fprintf(stderr, "cannot open the writer\n");
        std::exit(2);
    }
    r.writerBackend = QString::fromStdString(writer.getBackendName());

    cv::Mat packet, picture, work;
    QImage preview;
    for (int n = 0; n < frames; ++n) {
        const double t0 = threadCpu();
        if (!cap.grab())
            break;
        const double t1 = threadCpu();
        if (mode == Decode::Retrieve) {
            if (!cap.retrieve(picture))
                break;
        } else {
            if (!cap.retrieve(packet))
                break;
        }
        const double t2 = threadCpu();
        if (mode == Decode::RawFull)
            cv::imdecode(packet, cv::IMREAD_COLOR, &picture);
        else if (mode == Decode::RawReduced && !decodeMjpegFrame(packet, picture))
            continue;
        const double t3 = threadCpu();
        prepareFrame(picture, kLocation, Clock::now(), work);
        const double t4 = threadCpu();
        preview = Mat2QImage(work);
        const double t5 = threadCpu();
        writer.write(work);
        const double t6 = threadCpu();
        r.grabS += t1 - t0;
        r.retrieveS += t2 - t1;
        r.decodeS += t3 - t2;
        r.prepareS += t4 - t3;
        r.previewS += t5 - t4;
        r.writeS += t6 - t5;
        ++r.frames;
    }
    writer.release();
    cap.release();
    r.processCpuS = processCpu() - cpu0;
    r.wallS = wall.elapsed() / 1000.0;
    r.lastPacket = packet.clone();
    r.lastFrame = picture.clone();
    return r;
}

struct FfmpegResult {
    double cpuS = 0;
    bool ok = false;
    QString overlay;
};

FfmpegResult runFfmpeg(int frames, const QString& outPath) {
    Source source;
    FfmpegResult r;
    QString filter = QStringLiteral("scale=640:480");
    if (QFileInfo::exists(QString::fromLatin1(kFont))) {
        const QString style = QStringLiteral(":fontfile=%1:fontsize=14:fontcolor=0xfac8c8:x=0")
                                  .arg(QString::fromLatin1(kFont));
        filter += QStringLiteral(",drawtext=text='%1'%2:y=3").arg(kLocation, style) +
                  QStringLiteral(",drawtext=text='%{localtime\\:%Y-%m-%d %H-%M-%S}'") + style +
                  QStringLiteral(":y=438");
        r.overlay = QStringLiteral("drawtext (location + local time, DejaVu Sans)");
    } else {
        filter += QStringLiteral(",drawbox=x=0:y=0:w=200:h=18:color=0xfac8c8,"
                                 "drawbox=x=0:y=436:w=200:h=18:color=0xfac8c8");
        r.overlay = QStringLiteral("drawbox (no font for drawtext)");
    }
    const pid_t pid = spawn({"ffmpeg",   "-hide_banner", "-loglevel",
                             "error",    "-nostdin",     "-i",
                             source.url, "-frames:v",    QString::number(frames),
                             "-vf",      filter,         "-c:v",
                             "rawvideo", "-pix_fmt",     "yuv420p",
                             "-vtag",    "IYUV",         "-r",
                             "25",       "-f",           "avi",
                             "-y",       outPath});
    if (pid < 0)
        return r;
    int status = 0;
    r.cpuS = reap(pid, &status);
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

// What a user would check: frame count, codec tag, size and rate of the recording.
QString probe(const QString& path) {
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                        "stream=codec_tag_string,width,height,r_frame_rate,nb_read_frames", "-of",
                        "compact=p=0", path});
    p.waitForFinished(60000);
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

double psnr(const cv::Mat& a, const cv::Mat& b) {
    return cv::PSNR(a, b);
}

// Average CPU milliseconds of `body` over `n` runs.
template <typename F> double msPer(int n, F body) {
    const double t0 = threadCpu();
    for (int i = 0; i < n; ++i)
        body();
    return (threadCpu() - t0) * 1000.0 / n;
}

void printPipeline(const char* title, const PipelineResult& r) {
    const double perK = r.processCpuS / r.frames * 1000.0;
    const double perMs = 1000.0 / r.frames;
    std::printf("\n(a) %s\n", title);
    std::printf("    backends: capture %s, writer %s\n", qPrintable(r.captureBackend),
                qPrintable(r.writerBackend));
    std::printf("    frames decoded and written: %d in %.1f s wall\n", r.frames, r.wallS);
    std::printf("    process CPU: %.2f s per 1000 frames (%.1f%% of one core at 25 fps)\n", perK,
                perK / 1000.0 * kFps * 100.0);
    std::printf("    main thread per frame, ms CPU: grab %.2f  retrieve %.2f  imdecode %.2f  "
                "prepareFrame %.2f  preview copy %.2f  write %.2f\n",
                r.grabS * perMs, r.retrieveS * perMs, r.decodeS * perMs, r.prepareS * perMs,
                r.previewS * perMs, r.writeS * perMs);
    const double mainS = r.grabS + r.retrieveS + r.decodeS + r.prepareS + r.previewS + r.writeS;
    std::printf("    other threads (decoder/writer workers, open, probe): %.2f ms per frame\n",
                (r.processCpuS - mainS) * perMs);
}

} // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::max(50, std::atoi(argv[1])) : 500;
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 2;

    std::printf("bench_pipeline: %d frames per job, MJPEG 1280x720 at 25 fps from ffmpeg on "
                "127.0.0.1, %ld cores\n",
                frames, cores);

    const PipelineResult plain = runPipeline(Decode::Retrieve, frames, dir.filePath("plain.avi"));
    const PipelineResult rawFull = runPipeline(Decode::RawFull, frames, dir.filePath("full.avi"));
    const PipelineResult reduced =
        runPipeline(Decode::RawReduced, frames, dir.filePath("reduced.avi"));
    const FfmpegResult ff = runFfmpeg(frames, dir.filePath("ffmpeg.avi"));

    printPipeline(decodeName(Decode::Retrieve), plain);
    std::printf("    file: %s\n", qPrintable(probe(dir.filePath("plain.avi"))));
    printPipeline(decodeName(Decode::RawFull), rawFull);
    std::printf("    file: %s\n", qPrintable(probe(dir.filePath("full.avi"))));
    printPipeline(decodeName(Decode::RawReduced), reduced);
    std::printf("    file: %s\n", qPrintable(probe(dir.filePath("reduced.avi"))));

    // Where the time of one frame goes, and how close the half-scale decode comes to a proper
    // scaling of the full picture, measured on the last JPEG received.
    if (!reduced.lastPacket.empty()) {
        cv::Mat full, half, scaled, work, area, fromHalf, yuv;
        const int n = 100;
        // Sequenced on purpose: each measurement uses the output of the one before.
        const double decodeFullMs =
            msPer(n, [&] { cv::imdecode(reduced.lastPacket, cv::IMREAD_COLOR, &full); });
        const double decodeHalfMs =
            msPer(n, [&] { cv::imdecode(reduced.lastPacket, cv::IMREAD_REDUCED_COLOR_2, &half); });
        const double resizeFullMs = msPer(n, [&] {
            cv::resize(full, scaled, {kRecordWidth, kRecordHeight});
        });
        const double resizeHalfMs = msPer(n, [&] {
            cv::resize(half, scaled, {kRecordWidth, kRecordHeight});
        });
        const QByteArray location = kLocation.toLocal8Bit();
        const double overlayMs = msPer(n, [&] {
            const cv::Scalar colour(200, 200, 250, 0);
            cv::putText(scaled, location.constData(), {0, 15}, cv::FONT_HERSHEY_COMPLEX_SMALL, 0.8,
                        colour, 1, cv::LINE_AA);
            cv::putText(scaled, "2024-03-07 09-05-03", {0, 450}, cv::FONT_HERSHEY_COMPLEX_SMALL,
                        0.8, colour, 1, cv::LINE_AA);
        });
        const double previewMs = msPer(n, [&] { Mat2QImage(scaled); });
        const double yuvMs = msPer(n, [&] { cv::cvtColor(scaled, yuv, cv::COLOR_BGR2YUV_I420); });
        std::printf("\n    one frame, ms CPU (mean of %d, on the last JPEG received):\n", n);
        std::printf("      imdecode full %.2f, imdecode half %.2f\n", decodeFullMs, decodeHalfMs);
        std::printf("      resize full->640x480 %.2f, resize half->640x480 %.2f, overlay text %.2f,"
                    " preview copy %.2f, BGR->I420 %.2f\n",
                    resizeFullMs, resizeHalfMs, overlayMs, previewMs, yuvMs);
        cv::resize(full, scaled, {kRecordWidth, kRecordHeight}, 0, 0, cv::INTER_LINEAR);
        cv::resize(full, area, {kRecordWidth, kRecordHeight}, 0, 0, cv::INTER_AREA);
        cv::resize(half, fromHalf, {kRecordWidth, kRecordHeight}, 0, 0, cv::INTER_LINEAR);
        std::printf("      half-scale decode vs full decode + INTER_LINEAR: PSNR %.1f dB; "
                    "vs full + INTER_AREA: %.1f dB (INTER_LINEAR vs INTER_AREA: %.1f dB)\n",
                    psnr(fromHalf, scaled), psnr(fromHalf, area), psnr(scaled, area));
    }

    std::printf("\n(b) ffmpeg alone: read, scale=640:480, %s, rawvideo yuv420p IYUV in AVI\n",
                qPrintable(ff.overlay));
    if (!ff.ok) {
        std::printf("    ffmpeg job failed\n");
        return 1;
    }
    const QString ffProbe = probe(dir.filePath("ffmpeg.avi"));
    const int ffFrames = ffProbe.section(QStringLiteral("nb_read_frames="), 1).toInt();
    const double ffPerK = ff.cpuS / std::max(1, ffFrames) * 1000.0;
    std::printf("    file: %s\n", qPrintable(ffProbe));
    std::printf("    process CPU: %.2f s per 1000 frames (%.1f%% of one core at 25 fps)\n", ffPerK,
                ffPerK / 1000.0 * kFps * 100.0);

    std::printf("\nsummary (CPU s per 1000 frames; cameras at 25 fps on %ld cores)\n", cores);
    const auto line = [&](const char* name, double perK) {
        std::printf("  %-34s %6.2f   ratio to ffmpeg %.2f   cameras %.1f\n", name, perK,
                    perK / ffPerK, double(cores) / (perK / 1000.0 * kFps));
    };
    line("pipeline, grab+retrieve", plain.processCpuS / plain.frames * 1000.0);
    line("pipeline, raw + full decode", rawFull.processCpuS / rawFull.frames * 1000.0);
    line("pipeline, raw + half-scale decode", reduced.processCpuS / reduced.frames * 1000.0);
    line("ffmpeg alone", ffPerK);
    return 0;
}
