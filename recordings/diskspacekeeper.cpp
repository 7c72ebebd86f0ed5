#include "recordings/diskspacekeeper.h"

#include <algorithm>
#include <limits>
#include <set>
#include <utility>

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTimer>

#include "recordings/activity.h"
#include "recordings/avirepair.h"
#include "recordings/clock.h"
#include "recordings/openrecordings.h"
#include "recordings/recordingpaths.h"

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kGiB = 1024 * kMiB;

bool stopping(const std::atomic<bool>* stopRequested) {
    return stopRequested && stopRequested->load();
}

QString cleanAbsolute(const QString& path) {
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// Both spellings of each open file, so that a data drive given through a link still matches.
QSet<QString> openFileKeys(const DiskSpace::OpenFiles& openFiles) {
    QSet<QString> keys;
    if (!openFiles)
        return keys;
    for (const QString& path : openFiles()) {
        keys.insert(cleanAbsolute(path));
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (!canonical.isEmpty())
            keys.insert(canonical);
    }
    return keys;
}

bool isOpen(const QString& path, const QSet<QString>& openKeys) {
    if (openKeys.contains(cleanAbsolute(path)))
        return true;
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return !canonical.isEmpty() && openKeys.contains(canonical);
}

// Folder entries in name order, without links: a linked folder or file is not part of the tree
// that the recorder made, and nothing outside that tree may be deleted.
QFileInfoList entries(const QString& folder, QDir::Filters kind) {
    return QDir(folder).entryInfoList(kind | QDir::NoDotAndDotDot | QDir::NoSymLinks | QDir::Hidden,
                                      QDir::Name);
}

int numberOfDigits(const QString& name, int digits) {
    static const QRegularExpression allDigits(QStringLiteral("^[0-9]+$"));
    if (name.size() != digits || !allDigits.match(name).hasMatch())
        return -1;
    return name.toInt();
}

struct Candidate {
    DiskSpace::Recording recording;
    qint64 sizeBytes = 0;
};

// Every closed-or-open recording file in the tree, in no particular order.
QList<Candidate> scanRecordings(const QString& videosFolder, const std::atomic<bool>* stopRequested,
                                bool* stopped) {
    QList<Candidate> found;
    for (const QFileInfo& year : entries(videosFolder, QDir::Dirs)) {
        const int y = numberOfDigits(year.fileName(), 4);
        if (y < 0)
            continue;
        for (const QFileInfo& month : entries(year.filePath(), QDir::Dirs)) {
            const int m = numberOfDigits(month.fileName(), 2);
            if (m < 1 || m > 12)
                continue;
            for (const QFileInfo& day : entries(month.filePath(), QDir::Dirs)) {
                const int d = numberOfDigits(day.fileName(), 2);
                const QDate folderDate(y, m, d);
                if (d < 1 || !folderDate.isValid())
                    continue;
                for (const QFileInfo& file : entries(day.filePath(), QDir::Files)) {
                    if (stopping(stopRequested)) {
                        *stopped = true;
                        return found;
                    }
                    Candidate c;
                    if (!DiskSpace::parseRecordingName(file.fileName(), &c.recording) ||
                        c.recording.day != folderDate)
                        continue;
                    c.recording.path = file.filePath();
                    c.sizeBytes = file.size();
                    found.append(c);
                }
            }
        }
    }
    return found;
}

// Removes the day folders in `days` that are empty now, then their month and year folders when
// those are empty too. QDir::rmdir never removes a folder that holds anything.
void removeEmptyFolders(const QSet<QString>& days, const QDate& today) {
    QSet<QString> months;
    for (const QString& day : days) {
        const QFileInfo info(day);
        const QString month = info.path();
        const QString year = QFileInfo(month).path();
        const QDate date(QFileInfo(year).fileName().toInt(), QFileInfo(month).fileName().toInt(),
                         info.fileName().toInt());
        if (date == today)
            continue;
        if (QDir().rmdir(day))
            months.insert(month);
    }
    QSet<QString> years;
    for (const QString& month : months) {
        const QString year = QFileInfo(month).path();
        const bool current = QFileInfo(year).fileName().toInt() == today.year() &&
                             QFileInfo(month).fileName().toInt() == today.month();
        if (!current && QDir().rmdir(month))
            years.insert(year);
    }
    for (const QString& year : years) {
        if (QFileInfo(year).fileName().toInt() != today.year())
            QDir().rmdir(year);
    }
}

QString videosDayFolder(const QString& dataDrive, const QDate& day) {
    return QDir(dataDrive).filePath(QStringLiteral("VideoData/videos/") +
                                    day.toString(QStringLiteral("yyyy/MM/dd")));
}

bool hasRecording(const QString& dataDrive, int camera, const QDate& day) {
    for (const QFileInfo& file : entries(videosDayFolder(dataDrive, day), QDir::Files)) {
        DiskSpace::Recording recording;
        if (DiskSpace::parseRecordingName(file.fileName(), &recording) &&
            recording.cameraNumber == camera && recording.day == day)
            return true;
    }
    return false;
}

// The activity figures of a day and camera are kept as long as a recording of that day and
// camera is: they mark where to look in it. A recording begun before midnight also marks the
// next day, which may have no recording of its own: those figures go with it. Today's stay.
void removeActivityOfDeleted(const QString& dataDrive,
                             const std::set<std::pair<qint64, int>>& dayCameras,
                             const QDate& today) {
    QSet<QString> activityDays;
    for (const auto& [julianDay, camera] : dayCameras) {
        const QDate day = QDate::fromJulianDay(julianDay);
        if (hasRecording(dataDrive, camera, day))
            continue;
        for (const QDate& marked : {day, day.addDays(1)}) {
            const QString path = Activity::dayFile(dataDrive, camera, marked);
            // Today's file may be held open by a camera's writer, which would go on writing
            // into a deleted file.
            if (marked >= today || (marked != day && hasRecording(dataDrive, camera, marked)))
                continue;
            const QFileInfo file(path);
            if (file.isFile() && !file.isSymLink() && !QFile::remove(path))
                qWarning().noquote()
                    << QStringLiteral("Cannot delete activity figures %1").arg(path);
            activityDays.insert(file.path());
        }
    }
    removeEmptyFolders(activityDays, today);
}

} // namespace

DiskSpace::Usage DiskSpace::storageProbe(const QString& path) {
    const QStorageInfo storage(path);
    Usage usage;
    usage.valid = storage.isValid() && storage.isReady();
    if (usage.valid) {
        usage.totalBytes = storage.bytesTotal();
        usage.freeBytes = storage.bytesAvailable();
    }
    return usage;
}

qint64 DiskSpace::thresholdBytes(qint64 keepFreeMiB, qint64 volumeTotalBytes) {
    if (keepFreeMiB == 0)
        return 0;
    if (keepFreeMiB > 0)
        return keepFreeMiB > std::numeric_limits<qint64>::max() / kMiB
                   ? std::numeric_limits<qint64>::max()
                   : keepFreeMiB * kMiB;
    const qint64 rule = std::max(volumeTotalBytes / 20, 4 * kGiB);
    return std::min(rule, std::max<qint64>(volumeTotalBytes / 2, 0));
}

bool DiskSpace::parseRecordingName(const QString& fileName, Recording* recording) {
    static const QRegularExpression pattern(
        QStringLiteral("^camera-([1-8])-((\\d{4})-(\\d{2})-(\\d{2})_(\\d{2})-(\\d{2})-(\\d{2})-0("
                       "\\d{3}))\\.avi$"));
    const QRegularExpressionMatch match = pattern.match(fileName);
    if (!match.hasMatch())
        return false;
    const QDate date(match.captured(3).toInt(), match.captured(4).toInt(),
                     match.captured(5).toInt());
    const QTime time(match.captured(6).toInt(), match.captured(7).toInt(),
                     match.captured(8).toInt(), match.captured(9).toInt());
    if (!date.isValid() || !time.isValid())
        return false;
    recording->cameraNumber = match.captured(1).toInt();
    recording->stamp = match.captured(2);
    recording->day = date;
    return true;
}

QString DiskSpace::probePath(const QString& dataDrive) {
    const QString videos = QDir(dataDrive).filePath(QStringLiteral("VideoData/videos"));
    return QFileInfo(videos).isDir() ? videos : dataDrive;
}

DiskSpace::Outcome DiskSpace::freeSpace(const QString& dataDrive, qint64 thresholdBytes,
                                        const Probe& probe, const OpenFiles& openFiles,
                                        const std::atomic<bool>* stopRequested) {
    Outcome outcome;
    outcome.thresholdBytes = thresholdBytes;
    const QString volumePath = probePath(dataDrive);
    const Usage before = probe(volumePath);
    if (!before.valid) {
        outcome.probeFailed = true;
        return outcome;
    }
    outcome.freeBytesBefore = outcome.freeBytesAfter = before.freeBytes;
    if (thresholdBytes <= 0 || before.freeBytes >= thresholdBytes)
        return outcome;

    QList<Candidate> candidates =
        scanRecordings(QDir(dataDrive).filePath(QStringLiteral("VideoData/videos")), stopRequested,
                       &outcome.stopped);
    if (outcome.stopped)
        return outcome;
    QSet<QString> openKeys = openFileKeys(openFiles);
    candidates.erase(
        std::remove_if(candidates.begin(), candidates.end(),
                       [&](const Candidate& c) { return isOpen(c.recording.path, openKeys); }),
        candidates.end());
    for (const Candidate& c : candidates)
        outcome.reclaimableBytes += c.sizeBytes;
    // Footage is only given up when that wins the space back; a drive filled by other files
    // keeps every recording, and the caller reports it.
    if (before.freeBytes + outcome.reclaimableBytes < thresholdBytes) {
        outcome.unreachable = true;
        return outcome;
    }
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (a.recording.stamp != b.recording.stamp)
            return a.recording.stamp < b.recording.stamp;
        if (a.recording.cameraNumber != b.recording.cameraNumber)
            return a.recording.cameraNumber < b.recording.cameraNumber;
        return a.recording.path < b.recording.path;
    });

    QSet<QString> touchedDays;
    std::set<std::pair<qint64, int>> touchedDayCameras;
    qint64 freeBytes = before.freeBytes;
    for (const Candidate& c : candidates) {
        if (freeBytes >= thresholdBytes)
            break;
        if (stopping(stopRequested)) {
            outcome.stopped = true;
            break;
        }
        // A writer may have taken up a file since the scan.
        openKeys = openFileKeys(openFiles);
        if (isOpen(c.recording.path, openKeys))
            continue;
        QFile file(c.recording.path);
        const qint64 sizeBytes = file.size();
        if (!file.remove()) {
            qWarning().noquote() << QStringLiteral("Cannot delete old recording %1: %2")
                                        .arg(c.recording.path, file.errorString());
            continue;
        }
        // The volume may report freed blocks late (or early, when others delete too): go by
        // whichever is larger, so that a slow report never costs more footage.
        const qint64 freeBefore = freeBytes;
        const Usage now = probe(volumePath);
        freeBytes = std::max(freeBytes + sizeBytes, now.valid ? now.freeBytes : 0);
        qInfo().noquote() << QStringLiteral("Deleted old recording %1 (%2 bytes): %3 bytes were "
                                            "free, below the %4 bytes to keep free; %5 are now")
                                 .arg(c.recording.path)
                                 .arg(sizeBytes)
                                 .arg(freeBefore)
                                 .arg(thresholdBytes)
                                 .arg(freeBytes);
        outcome.deleted.append({c.recording.path, sizeBytes});
        touchedDays.insert(QFileInfo(c.recording.path).path());
        touchedDayCameras.emplace(c.recording.day.toJulianDay(), c.recording.cameraNumber);
    }
    outcome.freeBytesAfter = freeBytes;
    const QDate today = Clock::now().date();
    removeEmptyFolders(touchedDays, today);
    removeActivityOfDeleted(dataDrive, touchedDayCameras, today);
    return outcome;
}

bool DiskSpace::finishRecording(const QString& path) {
    const int frames = QFileInfo(path).size() > 0 ? AviRepair::finish(path) : 0;
    if (frames < 0 || (frames == 0 && !QFile::remove(path)))
        return false;
    qInfo().noquote() << QStringLiteral("Recording %1 was left unfinished: %2")
                             .arg(path, frames > 0
                                            ? QStringLiteral("%1 whole frames kept").arg(frames)
                                            : QStringLiteral("no whole frame, deleted"));
    return true;
}

int DiskSpace::finishLeftovers(const QString& dataDrive, const QString& stampBefore,
                               const OpenFiles& openFiles, const std::atomic<bool>* stopRequested) {
    bool stopped = false;
    const QList<Candidate> candidates = scanRecordings(
        QDir(dataDrive).filePath(QStringLiteral("VideoData/videos")), stopRequested, &stopped);
    int finished = 0;
    for (const Candidate& c : candidates) {
        if (stopping(stopRequested))
            break;
        if (c.recording.stamp >= stampBefore ||
            (c.sizeBytes > 0 && !AviRepair::isUnfinished(c.recording.path)) ||
            isOpen(c.recording.path, openFileKeys(openFiles)))
            continue;
        if (finishRecording(c.recording.path))
            ++finished;
        else
            OpenRecordings::awaitRepair(c.recording.path); // the drive may be full still
    }
    return finished;
}

// Lives in the keeper's thread. Reads the keeper's settings under its mutex and its stop flag;
// everything else here is touched by the worker thread only.
class DiskSpaceKeeperWorker final : public QObject {
public:
    explicit DiskSpaceKeeperWorker(DiskSpaceKeeper* keeper)
        : keeper(keeper)
        , probe(keeper->probe)
        , openFiles(keeper->openFiles)
        , elapsedMs(keeper->elapsedMs)
        , pollIntervalMs(keeper->pollIntervalMs) {}

    // Runs in the worker thread once it has started.
    void begin() {
        timer = new QTimer(this);
        timer->setInterval(pollIntervalMs);
        QObject::connect(timer, &QTimer::timeout, this, [this] { poll(); });
        failuresSeen = OpenRecordings::writeFailureCount();
        settingsSeen = keeper->settingsVersion.load();
        const DiskSpaceKeeper::Settings settings = keeper->settings();
        if (!settings.dataDrive.isEmpty())
            DiskSpace::finishLeftovers(settings.dataDrive, keeper->startStamp, openFiles,
                                       &keeper->stopRequested);
        check();
        timer->start();
    }

private:
    void poll() {
        // Repairs that a full drive cut short, until each file is finished or gone.
        for (const QString& path : OpenRecordings::takeAwaitingRepair())
            if (!DiskSpace::finishRecording(path) && QFileInfo::exists(path))
                OpenRecordings::awaitRepair(path);
        const quint64 failures = OpenRecordings::writeFailureCount();
        const bool writerFailed = failures != failuresSeen;
        failuresSeen = failures;
        const quint64 version = keeper->settingsVersion.load();
        const bool settingsChanged = version != settingsSeen;
        settingsSeen = version;
        // While other files fill the drive, a writer failing on every pass must not turn into a
        // scan every second: the period alone paces the checks then.
        if ((writerFailed && !cannotFree) || settingsChanged ||
            elapsedMs() - lastCheckMs >= DiskSpaceKeeper::kCheckPeriodMs ||
            (!cannotFree && belowThreshold()))
            check();
    }

    // Recordings can fill a small threshold well within one period; reading the free space is
    // cheap, so it is read at every poll, and only a shortfall costs a scan.
    bool belowThreshold() const {
        const DiskSpaceKeeper::Settings settings = keeper->settings();
        if (settings.dataDrive.isEmpty() || settings.keepFreeMiB == 0)
            return false;
        const DiskSpace::Usage usage = probe(DiskSpace::probePath(settings.dataDrive));
        return usage.valid &&
               usage.freeBytes < DiskSpace::thresholdBytes(settings.keepFreeMiB, usage.totalBytes);
    }

    void check() {
        lastCheckMs = elapsedMs();
        const DiskSpaceKeeper::Settings settings = keeper->settings();
        if (settings.dataDrive.isEmpty())
            return;
        const DiskSpace::Usage usage = probe(DiskSpace::probePath(settings.dataDrive));
        const qint64 threshold =
            usage.valid ? DiskSpace::thresholdBytes(settings.keepFreeMiB, usage.totalBytes) : 0;
        const DiskSpace::Outcome outcome = DiskSpace::freeSpace(
            settings.dataDrive, threshold, probe, openFiles, &keeper->stopRequested);
        if (outcome.stopped)
            return;
        report(settings.dataDrive, outcome);

        DiskSpaceKeeper* target = keeper;
        const qint64 freeBytes = outcome.freeBytesAfter;
        const int deletedFiles = outcome.deleted.size();
        {
            // Buffers of their own: nothing the owner's thread frees is still shared with this
            // thread's reference counts.
            QMutexLocker lock(&target->settingsMutex);
            for (const DiskSpace::Deletion& d : outcome.deleted)
                target->deletedToReport.append(
                    {QString(d.path.constData(), d.path.size()), d.sizeBytes});
        }
        QMetaObject::invokeMethod(
            target,
            [target, freeBytes, threshold, deletedFiles] {
                QList<DiskSpace::Deletion> deleted;
                {
                    QMutexLocker lock(&target->settingsMutex);
                    deleted.swap(target->deletedToReport);
                }
                for (const DiskSpace::Deletion& d : qAsConst(deleted))
                    emit target->recordingDeleted(d.path, d.sizeBytes);
                emit target->checked(freeBytes, threshold, deletedFiles);
            },
            Qt::QueuedConnection);
    }

    // One line per episode of trouble, not one every period.
    void report(const QString& dataDrive, const DiskSpace::Outcome& outcome) {
        if (outcome.probeFailed) {
            if (!probeFailed)
                qWarning().noquote()
                    << QStringLiteral("Cannot read the free space of %1: old recordings are "
                                      "not deleted")
                           .arg(dataDrive);
            probeFailed = true;
            return;
        }
        probeFailed = false;
        if (outcome.unreachable) {
            if (!cannotFree)
                qWarning().noquote()
                    << QStringLiteral("Cannot keep %1 bytes free on %2: %3 bytes are free and "
                                      "closed recordings hold only %4; other files fill the "
                                      "drive, so no recording is deleted")
                           .arg(outcome.thresholdBytes)
                           .arg(dataDrive)
                           .arg(outcome.freeBytesBefore)
                           .arg(outcome.reclaimableBytes);
            cannotFree = true;
            return;
        }
        cannotFree = false;
    }

    DiskSpaceKeeper* keeper;
    DiskSpace::Probe probe;
    DiskSpace::OpenFiles openFiles;
    std::function<qint64()> elapsedMs;
    int pollIntervalMs;

    QTimer* timer = nullptr;
    quint64 failuresSeen = 0;
    quint64 settingsSeen = 0;
    qint64 lastCheckMs = 0;
    bool probeFailed = false;
    bool cannotFree = false;
};

DiskSpaceKeeper::DiskSpaceKeeper(QObject* parent)
    : QObject(parent)
    , openFiles(OpenRecordings::snapshot) {
    auto monotonic = std::make_shared<QElapsedTimer>();
    monotonic->start();
    elapsedMs = [monotonic] { return monotonic->elapsed(); };
    current.keepFreeMiB = -1; // the default rule
}

DiskSpaceKeeper::~DiskSpaceKeeper() {
    stop();
}

void DiskSpaceKeeper::setDataDrive(const QString& dataDrive) {
    QMutexLocker lock(&settingsMutex);
    current.dataDrive = dataDrive;
    ++settingsVersion;
}

void DiskSpaceKeeper::setKeepFreeMiB(qint64 keepFreeMiB) {
    QMutexLocker lock(&settingsMutex);
    current.keepFreeMiB = keepFreeMiB;
    ++settingsVersion;
}

DiskSpaceKeeper::Settings DiskSpaceKeeper::settings() const {
    QMutexLocker lock(&settingsMutex);
    Settings copy = current;
    // A buffer of its own: the worker never shares a string's reference count with the owner.
    copy.dataDrive = QString(current.dataDrive.constData(), current.dataDrive.size());
    return copy;
}

void DiskSpaceKeeper::setProbe(DiskSpace::Probe p) {
    probe = std::move(p);
}

void DiskSpaceKeeper::setOpenFiles(DiskSpace::OpenFiles files) {
    openFiles = std::move(files);
}

void DiskSpaceKeeper::setElapsedClock(std::function<qint64()> clock) {
    elapsedMs = std::move(clock);
}

void DiskSpaceKeeper::setPollIntervalMs(int intervalMs) {
    pollIntervalMs = intervalMs;
}

void DiskSpaceKeeper::start() {
    if (thread.isRunning())
        return;
    stopRequested = false;
    startStamp = RecordingPaths::fileStamp(Clock::now());
    worker = new DiskSpaceKeeperWorker(this);
    worker->moveToThread(&thread);
    DiskSpaceKeeperWorker* w = worker;
    connect(&thread, &QThread::started, w, [w] { w->begin(); });
    connect(&thread, &QThread::finished, w, &QObject::deleteLater);
    thread.setObjectName(QStringLiteral("DiskSpaceKeeper"));
    thread.start(QThread::LowPriority);
}

void DiskSpaceKeeper::stop() {
    if (!thread.isRunning())
        return;
    stopRequested = true;
    thread.quit();
    thread.wait();
    worker = nullptr;
}

bool DiskSpaceKeeper::isRunning() const {
    return thread.isRunning();
}

// Compiled here rather than in the shared moc unit, so that a test links only what it uses.
#include "moc_diskspacekeeper.cpp"
