#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include <QDate>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QThread>

// Keeps free space on the data drive's volume by deleting the oldest closed recordings first.
namespace DiskSpace {

struct Usage {
    bool valid = false;
    qint64 totalBytes = 0;
    qint64 freeBytes = 0;
};
// Reports the volume that holds a path. Must be callable from any thread.
using Probe = std::function<Usage(const QString& path)>;
// The recording files currently being written; read again before every deletion.
using OpenFiles = std::function<QSet<QString>()>;

// The real probe (QStorageInfo; free = bytes available to this process).
Usage storageProbe(const QString& path);

// Free space to keep for a keepFreeMiB setting: 0 keeps none (deletion off), a negative value
// is the default rule max(5 % of the volume, 4 GiB), capped at half the volume so that a small
// volume is not emptied of every recording to chase a target it can never reach.
qint64 thresholdBytes(qint64 keepFreeMiB, qint64 volumeTotalBytes);

// One file of the recording tree, recognised by its place and name.
struct Recording {
    QString path;
    QString stamp; // "yyyy-MM-dd_HH-mm-ss-0zzz": sorts in time order
    int cameraNumber = 0;
    QDate day;
};

// Parses "camera-<1..8>-<stamp>.avi"; false for any other name or an impossible date or time.
bool parseRecordingName(const QString& fileName, Recording* recording);

struct Deletion {
    QString path;
    qint64 sizeBytes = 0;
};

struct Outcome {
    bool probeFailed = false;
    bool unreachable = false; // deleting every closed recording would not reach the threshold
    bool stopped = false;     // the stop flag cut the pass short
    qint64 thresholdBytes = 0;
    qint64 freeBytesBefore = 0;
    qint64 freeBytesAfter = 0;
    qint64 reclaimableBytes = 0; // closed recordings found, when a scan was needed
    QList<Deletion> deleted;     // in the order of deletion, oldest first
};

// The volume to probe for a data drive: its recording folder where that exists.
QString probePath(const QString& dataDrive);

// One synchronous pass: when the volume of dataDrive has less than thresholdBytes free, deletes
// closed recordings under <dataDrive>VideoData/videos, oldest first by the time in their names,
// until the threshold is met, then removes the day, month and year folders this left empty
// (except those of today, which a writer may be about to use). The activity figures of a day
// and camera go with the last recording of that day and camera, their emptied folders likewise. Deletes nothing when even every
// closed recording would not be enough. Logs each deletion. Checks *stopRequested between files.
Outcome freeSpace(const QString& dataDrive, qint64 thresholdBytes, const Probe& probe,
                  const OpenFiles& openFiles, const std::atomic<bool>* stopRequested = nullptr);

// Completes a recording that its writer left unfinished (AviRepair::finish) and logs it; deletes
// it when it holds no whole frame. False when it cannot be completed now (a full drive, say).
bool finishRecording(const QString& path);

// Recordings that a killed or powered-off recorder left unfinished, stamped before `stampBefore`
// and not open now: each is completed by finishRecording(), so that every reader and player takes
// it; one that cannot be completed now waits in OpenRecordings for the keeper's next poll.
// Returns how many files were completed or deleted.
int finishLeftovers(const QString& dataDrive, const QString& stampBefore,
                    const OpenFiles& openFiles, const std::atomic<bool>* stopRequested = nullptr);

} // namespace DiskSpace

class DiskSpaceKeeperWorker;

// Runs DiskSpace::finishLeftovers once at start (for files stamped before start()), then
// DiskSpace::freeSpace in a thread of its own: at start, every kCheckPeriodMs, and within a
// poll interval when OpenRecordings::writeFailureCount() grows (a writer could not be created)
// or a setting changes. At every poll it tries again the repairs that OpenRecordings holds.
// Threads: the owner's thread calls every public function and receives the signals; the worker
// thread reads the settings, and hands over the deletions to report, under settingsMutex; the
// stop flag is atomic. The seams (setProbe, setOpenFiles, setElapsedClock, setPollIntervalMs)
// take effect at start().
class DiskSpaceKeeper final : public QObject {
    Q_OBJECT
public:
    static constexpr int kCheckPeriodMs = 10000;
    static constexpr int kPollIntervalMs = 1000;

    explicit DiskSpaceKeeper(QObject* parent = nullptr);
    // Stops the thread; a pass in progress ends at the next file.
    ~DiskSpaceKeeper() override;

    void setDataDrive(const QString& dataDrive);
    void setKeepFreeMiB(qint64 keepFreeMiB);

    void setProbe(DiskSpace::Probe probe);
    void setOpenFiles(DiskSpace::OpenFiles openFiles);
    // Monotonic milliseconds that pace the periodic check.
    void setElapsedClock(std::function<qint64()> elapsedMs);
    void setPollIntervalMs(int pollIntervalMs);

    void start();
    void stop();
    bool isRunning() const;

signals:
    // After every pass (in the owner's thread).
    void checked(qint64 freeBytes, qint64 thresholdBytes, int deletedFiles);
    void recordingDeleted(const QString& path, qint64 sizeBytes);

private:
    friend class DiskSpaceKeeperWorker;
    struct Settings {
        QString dataDrive;
        qint64 keepFreeMiB = -1;
    };
    Settings settings() const;

    mutable QMutex settingsMutex;
    Settings current;
    // Deletions of a pass waiting for the owner's thread to report them; under settingsMutex,
    // so that the hand-over is ordered by a lock our tools see, not only by Qt's event queue.
    QList<DiskSpace::Deletion> deletedToReport;
    std::atomic<quint64> settingsVersion{0}; // a change is checked at the next poll
    std::atomic<bool> stopRequested{false};
    QString startStamp; // recordings stamped before this were left by an earlier run

    DiskSpace::Probe probe = DiskSpace::storageProbe;
    DiskSpace::OpenFiles openFiles;
    std::function<qint64()> elapsedMs;
    int pollIntervalMs = kPollIntervalMs;

    QThread thread;
    DiskSpaceKeeperWorker* worker = nullptr; // lives in `thread`, deleted when it finishes
};
