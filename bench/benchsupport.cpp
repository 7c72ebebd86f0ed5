#include "benchsupport.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <opencv2/videoio.hpp>

#include "support/framecode.h"
#include "support/mediaprobe.h"

extern char** environ;

namespace {

const char* const kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

double seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

long statusField(const char* name, const QString& path = QStringLiteral("/proc/self/status")) {
    QFile status(path);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(int(qstrlen(name))).simplified().split(' ').value(0).toLong();
    }
    return -1;
}

} // namespace

double processCpuSeconds() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return seconds(r.ru_utime) + seconds(r.ru_stime);
}

long peakRssKiB() {
    return statusField("VmHWM:");
}

long currentRssKiB() {
    return statusField("VmRSS:");
}

long peakRssKiB(pid_t pid) {
    return statusField("VmHWM:", QStringLiteral("/proc/%1/status").arg(pid));
}

pid_t spawnProcess(const QStringList& args, bool quietStderr) {
    std::vector<QByteArray> bytes;
    for (const QString& a : args)
        bytes.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (quietStderr)
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

ChildUsage reapProcess(pid_t pid) {
    ChildUsage usage;
    rusage r{};
    int status = 0;
    while (wait4(pid, &status, 0, &r) < 0) {
        if (errno != EINTR)
            return usage;
    }
    usage.cpuS = seconds(r.ru_utime) + seconds(r.ru_stime);
    usage.exitedOk = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return usage;
}

bool tryReapProcess(pid_t pid, ChildUsage* usage) {
    usage->maxRssKiB = std::max(usage->maxRssKiB, peakRssKiB(pid));
    rusage r{};
    int status = 0;
    const pid_t done = wait4(pid, &status, WNOHANG, &r);
    if (done == 0 || (done < 0 && errno == EINTR))
        return false;
    usage->cpuS = seconds(r.ru_utime) + seconds(r.ru_stime);
    usage->exitedOk = done == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return true;
}

QStringList ffmpegRecordJob(const QString& url, const QString& location, const QString& output,
                            double seconds, int frames, double segmentSeconds, int mjpegQscale) {
    QString filter = QStringLiteral("scale=640:480");
    // The same two texts the recorder draws; drawtext needs a font file.
    if (QFileInfo::exists(QString::fromLatin1(kFont))) {
        const QString style = QStringLiteral(":fontfile=%1:fontsize=14:fontcolor=0xfac8c8:x=0")
                                  .arg(QString::fromLatin1(kFont));
        filter += QStringLiteral(",drawtext=text='%1'%2:y=3").arg(location, style) +
                  QStringLiteral(",drawtext=text='%{localtime\\:%Y-%m-%d %H-%M-%S}'") + style +
                  QStringLiteral(":y=438");
    }
    QStringList args{"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-i", url};
    if (frames > 0)
        args << "-frames:v" << QString::number(frames);
    else
        args << "-t" << QString::number(seconds);
    args << "-vf" << filter;
    if (mjpegQscale > 0)
        args << "-c:v" << "mjpeg" << "-q:v" << QString::number(mjpegQscale) << "-pix_fmt"
             << "yuvj420p";
    else
        args << "-c:v" << "rawvideo" << "-pix_fmt" << "yuv420p" << "-vtag" << "IYUV";
    args << "-r" << "25";
    if (segmentSeconds > 0)
        args << "-f"
             << "segment"
             << "-segment_time" << QString::number(segmentSeconds) << "-segment_format"
             << "avi"
             << "-reset_timestamps"
             << "1";
    else
        args << "-f"
             << "avi";
    args << "-y" << output;
    return args;
}

Coverage frameCoverage(const QStringList& files, int loopFrames) {
    Coverage c;
    const qint64 wrap = loopFrames > 0 ? loopFrames : (qint64(1) << 24);
    std::vector<qint64> present;
    qint64 previousRaw = -1;
    qint64 absolute = 0;
    qint64 newest = -1;
    cv::Mat frame;
    for (const QString& path : files) {
        cv::VideoCapture file(QFile::encodeName(path).toStdString(), cv::CAP_FFMPEG);
        while (file.read(frame)) {
            ++c.framesRead;
            const int counter = readFrameCounter(frame);
            if (counter < 0) {
                ++c.unreadable;
                continue;
            }
            if (previousRaw < 0) {
                absolute = counter;
            } else {
                // Forward by the shorter way round the loop; a step back means an older frame.
                qint64 step = ((counter - previousRaw) % wrap + wrap) % wrap;
                if (step > wrap / 2)
                    step -= wrap;
                absolute += step;
            }
            previousRaw = counter;
            if (absolute < newest)
                ++c.backwards;
            newest = std::max(newest, absolute);
            present.push_back(absolute);
        }
    }
    if (present.empty())
        return c;
    std::sort(present.begin(), present.end());
    c.distinct = std::unique(present.begin(), present.end()) - present.begin();
    c.spanned = present.back() - present.front() + 1;
    return c;
}

QStringList aviFiles(const QString& dir) {
    QStringList files;
    QDirIterator it(dir, {QStringLiteral("*.avi")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}

void evictFromPageCache(const QStringList& paths) {
    for (const QString& path : paths) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
        if (fd >= 0) {
            ::fdatasync(fd);
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            ::close(fd);
        }
    }
}

QString checkRecordingFormat(const QString& path, qint64* frames, bool compact) {
    const MediaInfo info = MediaProbe::probe(path);
    if (frames)
        *frames = info.frameCount;
    if (!info.ok)
        return info.error.isEmpty() ? QStringLiteral("ffprobe found no video") : info.error;
    QStringList wrong;
    if (info.codec != QLatin1String(compact ? "mjpeg" : "rawvideo"))
        wrong << QStringLiteral("codec %1").arg(info.codec);
    if (!compact && info.codecTag != QLatin1String("IYUV"))
        wrong << QStringLiteral("tag %1").arg(info.codecTag);
    if (info.pixelFormat != QLatin1String(compact ? "yuvj420p" : "yuv420p"))
        wrong << QStringLiteral("pixels %1").arg(info.pixelFormat);
    if (info.width != 640 || info.height != 480)
        wrong << QStringLiteral("size %1x%2").arg(info.width).arg(info.height);
    if (info.frameRate != QLatin1String("25/1"))
        wrong << QStringLiteral("rate %1").arg(info.frameRate);
    if (info.frameCount <= 0)
        wrong << QStringLiteral("%1 frames").arg(info.frameCount);
    return wrong.join(QStringLiteral(", "));
}
