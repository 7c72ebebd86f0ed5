#pragma once

#include <sys/types.h>

#include <QString>
#include <QStringList>
#include <QVector>

// What the benchmarks share: CPU and memory figures of this process and of child processes,
// the ffmpeg job that our recorder is compared with, and the read-back of camsim's frame
// counters from recordings.

// CPU seconds (user + system) of this process, every thread, children excluded.
double processCpuSeconds();
// Peak resident set of this process (VmHWM), KiB.
long peakRssKiB();
// Current resident set of this process (VmRSS), KiB.
long currentRssKiB();
// Peak resident set of another process (VmHWM), KiB; -1 when it cannot be read.
long peakRssKiB(pid_t pid);

// Starts `args` (args[0] looked up in PATH) as a child process; -1 on failure. With quietStderr
// its standard error goes to /dev/null.
pid_t spawnProcess(const QStringList& args, bool quietStderr = false);

struct ChildUsage {
    double cpuS = 0;    // the child's own CPU, every thread
    long maxRssKiB = 0; // its peak resident set, as last sampled by tryReapProcess()
    bool exitedOk = false;
};
// Waits for the child and returns what the kernel accounted to it (maxRssKiB stays 0: the
// kernel's figure for a spawned child starts from the parent's peak, so it is no use here).
ChildUsage reapProcess(pid_t pid);
// Without waiting: samples the child's peak resident set (VmHWM) into `usage` while it runs and
// returns true, with the CPU filled in, once it has ended.
bool tryReapProcess(pid_t pid, ChildUsage* usage);

// The command line of the job our recorder does, done by ffmpeg alone: read `url`, scale to
// 640x480, draw the location and the local time, rawvideo yuv420p tagged IYUV at 25 fps in AVI.
// It stops after `seconds` (0: after `frames`). With segmentSeconds > 0, `output` is a pattern
// such as "seg%03d.avi" for -f segment. With mjpegQscale > 0 it does the compact job instead:
// MJPEG (yuvj420p) at that -q:v.
QStringList ffmpegRecordJob(const QString& url, const QString& location, const QString& output,
                            double seconds, int frames = 0, double segmentSeconds = 0,
                            int mjpegQscale = 0);

// How much of a camsim stream reached a set of recordings.
struct Coverage {
    qint64 framesRead = 0; // frames in the files
    qint64 unreadable = 0; // frames whose counter could not be read
    qint64 distinct = 0;   // distinct source frames present
    qint64 spanned = 0;    // source frames from the first present to the last present
    qint64 backwards = 0;  // frames older than one already seen (a wrong order)
    double share() const { return spanned > 0 ? double(distinct) / double(spanned) : 0; }
};
// Reads every frame of `files` (in recording order) and unwraps camsim's counter, which runs
// through 0..loopFrames-1 and starts again under --loop.
Coverage frameCoverage(const QStringList& files, int loopFrames);

// Files ending in .avi under `dir`, sorted by path.
QStringList aviFiles(const QString& dir);

// Drops the files out of the page cache (written back first), as after a while of recording
// other files.
void evictFromPageCache(const QStringList& paths);

// ffprobe check of one recording: rawvideo, IYUV, yuv420p (compact: mjpeg, yuvj420p), 640x480,
// 25/1, frames > 0. Returns an empty text when all holds, else what is wrong; `frames` receives
// the frame count.
QString checkRecordingFormat(const QString& path, qint64* frames = nullptr, bool compact = false);
