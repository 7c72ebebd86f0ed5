#include "recordings/recordingindex.h"

#include <algorithm>
#include <array>
#include <thread>
#include <vector>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include "recordings/avilayout.h"
#include "recordings/diskspacekeeper.h"
#include "recordings/recordingpaths.h"

#ifdef Q_OS_UNIX
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Review {
namespace {
#ifdef O_NOATIME
constexpr int kNoAtime = O_NOATIME;
#else
constexpr int kNoAtime = 0;
#endif
// A thread for fewer files than this costs more than it saves.
constexpr int kFilesPerThread = 8;
constexpr qint64 kTimeTickMs = 2500; // a folder's time of change is at least this fine
// Far more than cores: on a first look at a day out of the page cache they wait for the disk,
// which serves many reads at once faster than one after the other.
constexpr int kThreads = 16;

// Order of RecordingIndex::daysSeen: by camera, then by start.
bool before(const Segment& s, int camera, qint64 ms) {
    return s.camera < camera || (s.camera == camera && s.startMs < ms);
}

// The segment of `camera` in `segments` that begins last at or before `ms`, or null.
const Segment* lastStartedBy(const QVector<Segment>& segments, int camera, qint64 ms) {
    const auto after =
        std::partition_point(segments.begin(), segments.end(),
                             [&](const Segment& s) { return before(s, camera, ms + 1); });
    if (after == segments.begin() || (after - 1)->camera != camera)
        return nullptr;
    return &*(after - 1);
}
} // namespace

RecordingIndex::RecordingIndex(const QString& dataDrive)
    : drive(dataDrive) {
    sinceStart.start();
}

QString RecordingIndex::dataDrive() const {
    return drive;
}

qint64 RecordingIndex::localMs(const QDate& day, int hour, int msIntoHour) {
    // Local hours rather than every file's own conversion: the time zone rules are asked once an
    // hour, and their changes fall on whole hours.
    const qint64 key = day.toJulianDay() * 24 + hour;
    auto found = hourStarts.constFind(key);
    if (found == hourStarts.cend())
        found = hourStarts.insert(
            key, QDateTime(day, QTime(hour, 0), Qt::LocalTime).toMSecsSinceEpoch());
    return *found + msIntoHour;
}

// A day's folder, open while it is read. On POSIX systems its files are listed and opened
// relative to it: the kernel then does not walk down the path again for each of the thousands of
// files of a day, which is much of the cost of a first look at a day.
class RecordingIndex::DayFolder {
public:
    explicit DayFolder(const QString& path)
        : path(path) {
#ifdef Q_OS_UNIX
        handle = ::opendir(QFile::encodeName(path).constData());
#endif
    }
    ~DayFolder() {
#ifdef Q_OS_UNIX
        if (handle)
            ::closedir(handle);
#endif
    }
    DayFolder(const DayFolder&) = delete;
    DayFolder& operator=(const DayFolder&) = delete;

    // The names of the regular files, and of links to them.
    QStringList fileNames() {
        QStringList names;
#ifdef Q_OS_UNIX
        if (!handle)
            return names;
        ::rewinddir(handle);
        while (const dirent* entry = ::readdir(handle)) {
            // Only regular files: opening a pipe named like a recording would wait forever.
            if (entry->d_type != DT_REG) { // a link, or a file system that does not tell: ask
                struct stat info;
                if (::fstatat(::dirfd(handle), entry->d_name, &info, 0) != 0 ||
                    !S_ISREG(info.st_mode))
                    continue;
            }
            names.append(QFile::decodeName(entry->d_name));
        }
#else
        QDirIterator it(path, QDir::Files);
        while (it.hasNext()) {
            it.next();
            names.append(it.fileName());
        }
#endif
        return names;
    }

    // When a file last appeared in the folder or left it, in nanoseconds; -1 when unknown.
    qint64 modifiedNs() const {
#ifdef Q_OS_UNIX
        struct stat info;
        return handle && ::fstat(::dirfd(handle), &info) == 0
                   ? qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec
                   : -1;
#else
        const QFileInfo info(path);
        return info.exists() ? info.lastModified().toMSecsSinceEpoch() * 1000000 : -1;
#endif
    }

    // The size of a file, -1 when it is gone.
    qint64 size(const QString& name) const {
#ifdef Q_OS_UNIX
        struct stat info;
        return handle && ::fstatat(::dirfd(handle), QFile::encodeName(name).constData(), &info,
                                   0) == 0
                   ? qint64(info.st_size)
                   : -1;
#else
        const QFileInfo info(path + name);
        return info.exists() ? info.size() : -1;
#endif
    }

    // The first `bytes` bytes of a file into `head` (fewer when it is shorter); returns the
    // file's size, -1 when it cannot be read.
    qint64 readHead(const QString& name, qint64 bytes, QByteArray* head) const {
#ifdef Q_OS_UNIX
        if (!handle)
            return -1;
        const QByteArray encoded = QFile::encodeName(name);
        // Without O_NOATIME the first read of each file of a day changes its access time: tens of
        // thousands of inodes written back to the disk for nothing. Only the files' owner may ask.
        int fd = ::openat(::dirfd(handle), encoded.constData(),
                          O_RDONLY | O_CLOEXEC | O_NONBLOCK | kNoAtime);
        if (fd < 0 && errno == EPERM)
            fd = ::openat(::dirfd(handle), encoded.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            return -1;
        struct stat info;
        head->resize(int(bytes));
        const ssize_t got =
            ::fstat(fd, &info) == 0 ? ::pread(fd, head->data(), size_t(bytes), 0) : -1;
        ::close(fd);
        if (got < 0)
            return -1;
        head->resize(int(got));
        return qint64(info.st_size);
#else
        QFile file(path + name);
        if (!file.open(QIODevice::ReadOnly))
            return -1;
        *head = file.read(bytes);
        return file.size();
#endif
    }

private:
    QString path;
#ifdef Q_OS_UNIX
    DIR* handle = nullptr;
#endif
};

bool RecordingIndex::recognise(const QString& folderPath, const QString& name, const QDate& day,
                               Known* file) {
    DiskSpace::Recording recording;
    if (!DiskSpace::parseRecordingName(name, &recording) || recording.day != day)
        return false;
    // The stamp reads "yyyy-MM-dd_HH-mm-ss-0zzz".
    const QString& stamp = recording.stamp;
    const int msIntoHour = (stamp.midRef(14, 2).toInt() * 60 + stamp.midRef(17, 2).toInt()) * 1000 +
                           stamp.midRef(21, 3).toInt();
    *file = Known();
    file->segment.path = folderPath + name;
    file->segment.camera = recording.cameraNumber;
    file->segment.startMs = localMs(day, stamp.midRef(11, 2).toInt(), msIntoHour);
    return true;
}

void RecordingIndex::look(const DayFolder& folder, const QString& name, Known& file) {
    if (file.bytes >= 0 && folder.size(name) == file.bytes)
        return;
    Segment& s = file.segment;
    const qint64 walkedFrames = s.frames; // up to file.walkedTo
    s.frames = 0;
    s.format = FileFormat::Unknown;
    QByteArray head;
    qint64 size = -1;
    AviLayout::Layout layout;
    const bool isAvi = AviLayout::readGrowing(
        [&](qint64 bytes) {
            QByteArray bytesRead;
            size = folder.readHead(name, bytes, &bytesRead);
            return bytesRead;
        },
        &head, &layout);
    file.bytes = size;
    if (size < 0 || !isAvi)
        return;
    const QByteArray handler = AviLayout::videoHandler(head, layout);
    if (handler == "IYUV") {
        // Raw frames all take the same room, one after the other from the chunk list on.
        s.format = FileFormat::Iyuv;
        s.frames = std::max<qint64>(0, (size - layout.firstChunk()) / AviLayout::kIyuvChunkBytes);
    } else if (handler == "MJPG") {
        s.format = FileFormat::Mjpeg;
        if (!AviLayout::isUnfinished(head, size)) {
            s.frames = AviLayout::le32(head, layout.mainHeader + AviLayout::kTotalFramesAt);
            file.walkedTo = 0;
            return;
        }
        // Still being written, or torn: count the whole chunks, going on from the last count.
        qint64 frames = walkedFrames;
        if (file.walkedTo < layout.firstChunk() || file.walkedTo > size) {
            file.walkedTo = layout.firstChunk();
            frames = 0;
        }
        QFile avi(s.path);
        const qint64 end =
            !avi.open(QIODevice::ReadOnly | QIODevice::Unbuffered)
                ? -1
                : AviLayout::walk(avi, file.walkedTo, size, [&](qint64, const QByteArray& chunk) {
                      const int n = (chunk[0] - '0') * 10 + (chunk[1] - '0');
                      if (n < layout.streams.size() && layout.streams[n].video)
                          ++frames;
                  });
        file.walkedTo = std::max<qint64>(end, 0);
        s.frames = end < 0 ? 0 : frames;
    }
}

void RecordingIndex::collect(const QDate& folderDay, bool newestOnly, qint64 fromMs, qint64 toMs,
                             QVector<Segment>& found) {
    const QString folderPath = RecordingPaths::dayFolder(drive, folderDay);
    DayFolder dir(folderPath);
    Folder& folder = folders[folderDay];
    QHash<QString, Known>& files = folder.files;
    // A folder whose time of change stayed put holds the same names: files that appear or go
    // change it, files that grow do not. File systems keep that time in ticks (of milliseconds,
    // of two seconds on some), so only a listing made a while after the time was first seen is
    // trusted: a change in the same tick as an earlier listing is not missed.
    const qint64 modified = dir.modifiedNs();
    const qint64 nowMs = sinceStart.elapsed();
    if (modified != folder.modifiedNs || modified < 0) {
        folder.modifiedNs = modified;
        folder.modifiedSeenMs = nowMs;
        folder.confirmed = false;
    }
    const bool listed = folder.confirmed && (folder.complete || newestOnly);
    if (!listed)
        folder.confirmed = nowMs - folder.modifiedSeenMs > kTimeTickMs;
    if (!listed) {
        const QStringList names = dir.fileNames();
        const quint32 listing = ++folder.listings;
        Known file;
        folder.newest = {};
        for (const QString& name : names) {
            // Names sort in time order within a camera. Of the day before only a camera's newest
            // file matters, so only a name later than its newest so far needs reading.
            const int camera = name.startsWith(QLatin1String("camera-")) && name.size() > 8
                                   ? name[7].digitValue()
                                   : 0;
            if (camera < 1 || camera > kCameras ||
                (newestOnly && name <= folder.newest[size_t(camera)]))
                continue;
            auto it = files.find(name);
            if (it == files.end()) {
                if (!recognise(folderPath, name, folderDay, &file))
                    continue;
                it = files.insert(name, file);
            }
            it->listing = listing;
            QString& newest = folder.newest[size_t(it->segment.camera)];
            if (name > newest)
                newest = name;
        }
        if (!newestOnly)
            for (auto it = files.begin(); it != files.end();)
                it = it->listing == listing ? std::next(it) : files.erase(it);
        folder.complete = !newestOnly;
    }
    QVector<QHash<QString, Known>::iterator> targets;
    if (newestOnly) {
        for (const QString& name : folder.newest) {
            const auto it = name.isEmpty() ? files.end() : files.find(name);
            if (it != files.end())
                targets.append(it);
        }
    } else {
        targets.reserve(files.size());
        for (auto it = files.begin(); it != files.end(); ++it)
            targets.append(it);
    }

    // A first look at a day opens thousands of files: threads keep the disk and the processors
    // busy. Each looks at files of its own; the folder's table does not change meanwhile.
    QVector<QHash<QString, Known>::iterator> pending;
    for (const auto& it : targets)
        if (!it->settled || it->bytes < 0)
            pending.append(it);
    const int threads = std::clamp(int(pending.size()) / kFilesPerThread, 1, kThreads);
    std::vector<std::thread> workers;
    const auto lookAt = [&](int first) {
        for (int i = first; i < pending.size(); i += threads)
            look(dir, pending[i].key(), pending[i].value());
    };
    for (int t = 1; t < threads; ++t)
        workers.emplace_back(lookAt, t);
    lookAt(0);
    for (std::thread& worker : workers)
        worker.join();

    found.reserve(found.size() + targets.size());
    for (const auto& it : targets) {
        Known& known = it.value();
        const Segment& s = known.segment;
        known.settled = known.bytes >= 0 && folder.newest[size_t(s.camera)] != it.key();
        if (s.frames > 0 && s.endMs() > fromMs && s.startMs < toMs)
            found.append(s);
    }
}

void RecordingIndex::refreshDay(const QDate& day) {
    const qint64 dayStart = localMs(day, 0, 0);
    const qint64 dayEnd = localMs(day.addDays(1), 0, 0);
    QVector<Segment> found;
    // Of the day before, only a camera's newest file can reach past midnight.
    collect(day.addDays(-1), true, dayStart, dayEnd, found);
    collect(day, false, dayStart, dayEnd, found);
    std::sort(found.begin(), found.end(),
              [](const Segment& a, const Segment& b) { return before(a, b.camera, b.startMs); });
    daysSeen.insert(day, found);
}

QVector<Segment> RecordingIndex::segments(int camera, const QDate& day) const {
    const QVector<Segment> all = daysSeen.value(day);
    const auto first = std::partition_point(all.begin(), all.end(),
                                            [&](const Segment& s) { return s.camera < camera; });
    const auto last = std::partition_point(first, all.end(),
                                           [&](const Segment& s) { return s.camera == camera; });
    return QVector<Segment>(first, last);
}

QList<QDate> RecordingIndex::daysWithFootage(int camera) const {
    const QStringList pattern{camera > 0 ? QStringLiteral("camera-%1-*.avi").arg(camera)
                                         : QStringLiteral("camera-*.avi")};
    const auto subfolders = [](const QString& path) {
        return QDir(path).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    };
    QList<QDate> days;
    const QString videos = RecordingPaths::videosFolder(drive);
    for (const QString& year : subfolders(videos))
        for (const QString& month : subfolders(videos + year))
            for (const QString& dayName : subfolders(videos + year + '/' + month)) {
                const QDate day(year.toInt(), month.toInt(), dayName.toInt());
                if (!day.isValid() || RecordingPaths::dayFolder(drive, day) !=
                                          videos + year + '/' + month + '/' + dayName + '/')
                    continue;
                QDirIterator it(RecordingPaths::dayFolder(drive, day), pattern, QDir::Files);
                DiskSpace::Recording recording;
                while (it.hasNext()) {
                    it.next();
                    if (DiskSpace::parseRecordingName(it.fileName(), &recording) &&
                        recording.day == day) {
                        days.append(day);
                        break;
                    }
                }
            }
    return days;
}

bool RecordingIndex::locate(int camera, qint64 ms, Segment* segment, qint64* frameIndex) const {
    for (const QVector<Segment>& day : daysSeen) {
        const Segment* s = lastStartedBy(day, camera, ms);
        if (s && ms < s->endMs()) {
            if (segment)
                *segment = *s;
            if (frameIndex)
                *frameIndex = (ms - s->startMs) / kFrameMs;
            return true;
        }
    }
    return false;
}

bool RecordingIndex::nextSegment(int camera, qint64 ms, Segment* segment) const {
    const Segment* next = nullptr;
    for (const QVector<Segment>& day : daysSeen) {
        const Segment* last = lastStartedBy(day, camera, ms);
        const Segment* s =
            last ? last + 1 : std::partition_point(day.begin(), day.end(), [&](const Segment& x) {
                return x.camera < camera;
            });
        if (s != day.end() && s->camera == camera && (!next || s->startMs < next->startMs))
            next = s;
    }
    if (next && segment)
        *segment = *next;
    return next != nullptr;
}

} // namespace Review
