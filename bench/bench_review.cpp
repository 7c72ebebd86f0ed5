// The review side on a full recording tree: eight cameras, two whole days of IYUV files of the
// real size (a new file every 200 MiB, some 4,750 a camera a day; sparse, behind a header from
// our IYUV writer) and a few real files among them. Prints the time the Recordings window takes
// for a day's timeline of all eight cameras (a new index, refreshDay, segments), a refresh of it
// when nothing changed, a seek (locate + readFrame in a real file, with the file in the page
// cache and out of it) and the frame rate of sequential reads across files. Prints figures; it
// is not a test.
//
// Usage: bench_review [folder]: the tree is built in `folder` (kept, and reused when it is
// there already), else in a temporary folder removed at the end.
#include <algorithm>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <opencv2/imgproc.hpp>

#include "benchsupport.h"
#include "capture/recordingwriter.h"
#include "recordings/recordingindex.h"
#include "recordings/recordingpaths.h"
#include "recordings/recordingreader.h"

using namespace Review;

namespace {
constexpr qint64 kSplitBytes = 200LL * 1024 * 1024;
constexpr qint64 kFramesPerFile = kSplitBytes / kIyuvFileBytesPerFrame;
constexpr qint64 kIndexBytes = 8 + 16 * kFramesPerFile; // idx1 at the close
const QDate kDay(2026, 6, 10);
constexpr int kRealFrom = 2000; // the files of this number and the next are real, of cameras 1, 2

// Some texture for the JPEG encoder and something to convert for the IYUV reader.
cv::Mat picture(int n) {
    cv::Mat bgr(480, 640, CV_8UC3);
    cv::randn(bgr, cv::Scalar::all(110), cv::Scalar::all(12));
    cv::rectangle(bgr, cv::Rect((n * 7) % 600, 100, 40, 200), cv::Scalar(20, 200, 240), -1);
    cv::putText(bgr, std::to_string(n), {20, 60}, cv::FONT_HERSHEY_SIMPLEX, 1.5, {255, 255, 255},
                3);
    cv::Mat i420;
    cv::cvtColor(bgr, i420, cv::COLOR_BGR2YUV_I420);
    return i420;
}

bool recordReal(const QString& path, RecordingFormat format, qint64 frames) {
    auto writer = openRecordingWriter(format, path);
    if (!writer)
        return false;
    std::vector<cv::Mat> pictures;
    for (int i = 0; i < 25; ++i)
        pictures.push_back(picture(i));
    for (qint64 i = 0; i < frames; ++i)
        writer->write(pictures[size_t(i % 25)]);
    writer->close();
    return true;
}

// The header our IYUV writer puts before the first frame.
QByteArray iyuvHeader(const QString& scratch) {
    if (!recordReal(scratch, RecordingFormat::Iyuv, 1))
        return QByteArray();
    QFile file(scratch);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    file.remove();
    return bytes.left(bytes.indexOf("movi") + 4);
}

QDateTime fileStart(const QDate& day, int camera, qint64 n) {
    // Cameras began their day a little apart, as they do.
    return QDateTime(day, QTime(0, 0)).addMSecs(camera * 1234 + n * kFramesPerFile * kFrameMs);
}

bool buildTree(const QString& drive) {
    const QByteArray header = iyuvHeader(drive + "header.avi");
    if (header.isEmpty())
        return false;
    for (const QDate& day : {kDay.addDays(-1), kDay})
        for (int camera = 1; camera <= kCameras; ++camera)
            for (qint64 n = 0; fileStart(day, camera, n).date() == day; ++n) {
                const QString path = RecordingPaths::recordingFile(drive, QString::number(camera),
                                                                   fileStart(day, camera, n));
                if (day == kDay && camera <= 2 && (n == kRealFrom || n == kRealFrom + 1)) {
                    if (!recordReal(path,
                                    camera == 1 ? RecordingFormat::Iyuv : RecordingFormat::Mjpeg,
                                    kFramesPerFile))
                        return false;
                    continue;
                }
                QFile file(path);
                if (!file.open(QIODevice::WriteOnly) || file.write(header) != header.size() ||
                    !file.resize(header.size() + kFramesPerFile * kIyuvFileBytesPerFrame +
                                 kIndexBytes))
                    return false;
            }
    return true;
}

void evict(const QVector<Segment>& segments) {
    QStringList paths;
    for (const Segment& s : segments)
        paths << s.path;
    evictFromPageCache(paths);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Seeks to `count` places spread over `segments`: locate + readFrame, new reader each time.
void seeks(const RecordingIndex& index, int camera, const QVector<Segment>& segments,
           const char* what) {
    std::vector<double> ms;
    for (int i = 0; i < 9; ++i) {
        if (QString(what).contains("out of"))
            evict(segments);
        const Segment& s = segments[i % segments.size()];
        const qint64 at = s.startMs + (s.endMs() - s.startMs) * (i + 1) / 11;
        QElapsedTimer timer;
        timer.start();
        RecordingReader reader;
        Segment found;
        qint64 frame = 0;
        cv::Mat bgr;
        if (!index.locate(camera, at, &found, &frame) ||
            reader.readFrame(found, frame, &bgr) != RecordingReader::Result::Ok)
            std::printf("  seek failed at %lld\n", static_cast<long long>(at));
        ms.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::printf("seek (locate + readFrame), %s: median %.1f ms, worst %.1f ms\n", what, median(ms),
                *std::max_element(ms.begin(), ms.end()));
}

void sequential(const QVector<Segment>& segments, const char* what, int step) {
    RecordingReader reader;
    cv::Mat bgr;
    qint64 frames = 0, missing = 0;
    QElapsedTimer timer;
    timer.start();
    for (const Segment& s : segments)
        for (qint64 i = 0; i < s.frames; i += step, ++frames)
            missing += reader.readFrame(s, i, &bgr) != RecordingReader::Result::Ok;
    const double seconds = timer.nsecsElapsed() / 1e9;
    std::printf("sequential readFrame, %s, every %d. frame, %lld frames over %d files: %.0f "
                "frames/s (%lld missing)\n",
                what, step, static_cast<long long>(frames), int(segments.size()),
                double(frames) / seconds, static_cast<long long>(missing));
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir temporary;
    const QString drive = argc > 1 ? QDir(argv[1]).absolutePath() + '/' : temporary.path() + '/';
    QElapsedTimer timer;
    timer.start();
    if (!QDir(RecordingPaths::dayFolder(drive, kDay)).exists() && !buildTree(drive)) {
        std::fprintf(stderr, "bench_review: cannot build the tree under %s\n", qPrintable(drive));
        return 2;
    }
    std::printf("tree under %s ready in %.1f s\n", qPrintable(drive), timer.nsecsElapsed() / 1e9);

    std::vector<double> firstMs, cpuMs;
    qint64 files = 0;
    for (int run = 0; run < 5; ++run) {
        const double cpuBefore = processCpuSeconds();
        timer.start();
        RecordingIndex index(drive);
        index.refreshDay(kDay);
        files = 0;
        for (int camera = 1; camera <= kCameras; ++camera)
            files += index.segments(camera, kDay).size();
        firstMs.push_back(timer.nsecsElapsed() / 1e6);
        cpuMs.push_back((processCpuSeconds() - cpuBefore) * 1000);
    }
    std::printf("day timeline of 8 cameras (new index, refreshDay, segments; %lld files): median "
                "%.0f ms, best %.0f ms, worst %.0f ms (target 300 ms); CPU time of all threads: "
                "median %.0f ms\n",
                static_cast<long long>(files), median(firstMs),
                *std::min_element(firstMs.begin(), firstMs.end()),
                *std::max_element(firstMs.begin(), firstMs.end()), median(cpuMs));

    RecordingIndex index(drive);
    index.refreshDay(kDay);
    // The Recordings window refreshes every second or two; a folder listed a while after its last
    // change is not listed again.
    QThread::msleep(3000);
    std::vector<double> againMs;
    for (int run = 0; run < 5; ++run) {
        timer.start();
        index.refreshDay(kDay);
        for (int camera = 1; camera <= kCameras; ++camera)
            index.segments(camera, kDay);
        againMs.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::printf("refreshDay again, nothing changed: median %.0f ms\n", median(againMs));

    // A day no one looked at yet: every file's access time lies before its last write, so that
    // a plain read would change it.
    for (int camera = 1; camera <= kCameras; ++camera)
        for (const Segment& s : index.segments(camera, kDay)) {
            const timespec times[2] = {{1, 0}, {0, UTIME_OMIT}};
            ::utimensat(AT_FDCWD, QFile::encodeName(s.path).constData(), times, 0);
        }
    timer.start();
    RecordingIndex unread(drive);
    unread.refreshDay(kDay);
    std::printf("day timeline of a day no one looked at yet: %.0f ms\n",
                timer.nsecsElapsed() / 1e6);

    // The headers out of the page cache, as on a first look at a day long after it was recorded
    // (the folder's entries stay cached: a cold start after a reboot is slower still).
    for (int camera = 1; camera <= kCameras; ++camera)
        evict(index.segments(camera, kDay));
    timer.start();
    RecordingIndex cold(drive);
    cold.refreshDay(kDay);
    std::printf("day timeline, file headers out of the page cache: %.0f ms\n",
                timer.nsecsElapsed() / 1e6);

    for (int camera : {1, 2}) {
        QVector<Segment> real;
        for (qint64 n : {kRealFrom, kRealFrom + 1}) {
            Segment s;
            index.locate(camera, fileStart(kDay, camera, n).toMSecsSinceEpoch(), &s, nullptr);
            real.append(s);
        }
        const char* format = camera == 1 ? "IYUV" : "compact";
        std::printf("%s:\n", format);
        seeks(index, camera, real, "file in the page cache");
        seeks(index, camera, real, "file out of the page cache");
        sequential(real, "page cache", 1);
        evict(real);
        sequential(real, "from the disk", 1);
        sequential(real, "page cache, 16x at 25 Hz", 16);
    }
    return 0;
}
