#include "recordings/recordingindex.h"

#include <algorithm>
#include <array>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include "recordings/avilayout.h"
#include "recordings/diskspacekeeper.h"
#include "recordings/recordingpaths.h"

namespace Review {
namespace {
// The IYUV muxer's header takes some 8 KiB; one read of this much finds its chunk list.
constexpr qint64 kHeadBytes = 16 * 1024;

// Order of RecordingIndex::daysSeen: by camera, then by start.
bool before(const Segment& s, int camera, qint64 ms) {
    return s.camera < camera || (s.camera == camera && s.startMs < ms);
}

// The segment of `camera` in `segments` that begins last at or before `ms`, or null.
const Segment* lastStartedBy(const QVector<Segment>& segments, int camera, qint64 ms) {
    const auto after = std::partition_point(segments.begin(), segments.end(), [&](const Segment& s) {
        return before(s, camera, ms + 1);
    });
    if (after == segments.begin() || (after - 1)->camera != camera)
        return nullptr;
    return &*(after - 1);
}
} // namespace

RecordingIndex::RecordingIndex(const QString& dataDrive)
    : drive(dataDrive) {}

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

RecordingIndex::Folder& RecordingIndex::relist(const QDate& day) {
    Folder& old = folders[day];
    Folder now;
    now.reserve(old.size());
    QDirIterator it(RecordingPaths::dayFolder(drive, day), QDir::Files);
    while (it.hasNext()) {
        it.next();
        const QString name = it.fileName();
        const auto found = old.constFind(name);
        if (found != old.cend()) {
            now.insert(name, *found);
            continue;
        }
        DiskSpace::Recording recording;
        if (!DiskSpace::parseRecordingName(name, &recording) || recording.day != day)
            continue;
        // The stamp reads "yyyy-MM-dd_HH-mm-ss-0zzz".
        const QString& stamp = recording.stamp;
        Known file;
        file.camera = recording.cameraNumber;
        file.startMs = localMs(day, stamp.midRef(11, 2).toInt(),
                               (stamp.midRef(14, 2).toInt() * 60 + stamp.midRef(17, 2).toInt()) *
                                       1000 +
                                   stamp.midRef(21, 3).toInt());
        now.insert(name, file);
    }
    old = std::move(now);
    return old;
}

void RecordingIndex::look(const QString& path, Known& file) {
    if (file.bytes >= 0 && QFileInfo(path).size() == file.bytes)
        return;
    QFile avi(path);
    const qint64 walkedFrames = file.frames; // up to file.walkedTo
    file.frames = 0;
    file.format = FileFormat::Unknown;
    if (!avi.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        file.bytes = -1;
        return;
    }
    const qint64 size = avi.size();
    file.bytes = size;
    QByteArray head = avi.read(kHeadBytes);
    AviLayout::Layout layout;
    if (!AviLayout::read(head, &layout) && size > kHeadBytes && avi.seek(0)) {
        head = avi.read(AviLayout::kHeaderSearchBytes);
        AviLayout::read(head, &layout);
    }
    if (layout.moviList < 0)
        return;
    const QByteArray handler = AviLayout::videoHandler(head, layout);
    if (handler == "IYUV") {
        // Raw frames all take the same room, one after the other from the chunk list on.
        file.format = FileFormat::Iyuv;
        file.frames = std::max<qint64>(0, (size - layout.firstChunk()) / AviLayout::kIyuvChunkBytes);
    } else if (handler == "MJPG") {
        file.format = FileFormat::Mjpeg;
        if (!AviLayout::isUnfinished(head, size)) {
            file.frames = AviLayout::le32(head, layout.mainHeader + AviLayout::kTotalFramesAt);
            file.walkedTo = 0;
            return;
        }
        // Still being written, or torn: count the whole chunks, going on from the last count.
        qint64 frames = walkedFrames;
        if (file.walkedTo < layout.firstChunk() || file.walkedTo > size) {
            file.walkedTo = layout.firstChunk();
            frames = 0;
        }
        const qint64 end = AviLayout::walk(avi, file.walkedTo, size, [&](qint64, const QByteArray& chunk) {
            const int stream = (chunk[0] - '0') * 10 + (chunk[1] - '0');
            if (stream < layout.streams.size() && layout.streams[stream].video)
                ++frames;
        });
        if (end >= 0) {
            file.walkedTo = end;
            file.frames = frames;
        } else {
            file.walkedTo = 0;
        }
    }
}

void RecordingIndex::refreshDay(const QDate& day) {
    const qint64 dayStart = localMs(day, 0, 0);
    const qint64 dayEnd = localMs(day.addDays(1), 0, 0);
    QVector<Segment> found;
    for (const QDate& folderDay : {day.addDays(-1), day}) {
        Folder& folder = relist(folderDay);
        const QString folderPath = RecordingPaths::dayFolder(drive, folderDay);
        // Only a camera's newest file can still grow, and of the day before only that one can
        // reach past midnight.
        std::array<const Known*, kCameras + 1> newest{};
        for (const Known& file : folder) {
            const Known*& n = newest[size_t(file.camera)];
            if (!n || file.startMs > n->startMs)
                n = &file;
        }
        for (auto it = folder.begin(); it != folder.end(); ++it) {
            Known& file = it.value();
            const bool isNewest = newest[size_t(file.camera)] == &file;
            if (folderDay != day && !isNewest)
                continue;
            if (!file.settled || file.bytes < 0) {
                look(folderPath + it.key(), file);
                file.settled = !isNewest && file.bytes >= 0;
            }
            Segment s;
            s.path = folderPath + it.key();
            s.camera = file.camera;
            s.startMs = file.startMs;
            s.frames = file.frames;
            s.format = file.format;
            if (s.frames > 0 && s.endMs() > dayStart && s.startMs < dayEnd)
                found.append(s);
        }
    }
    std::sort(found.begin(), found.end(), [](const Segment& a, const Segment& b) {
        return before(a, b.camera, b.startMs);
    });
    daysSeen.insert(day, found);
}

QVector<Segment> RecordingIndex::segments(int camera, const QDate& day) const {
    const QVector<Segment> all = daysSeen.value(day);
    const auto first = std::partition_point(all.begin(), all.end(), [&](const Segment& s) {
        return s.camera < camera;
    });
    const auto last = std::partition_point(first, all.end(), [&](const Segment& s) {
        return s.camera == camera;
    });
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
        const Segment* s = last ? last + 1 : std::partition_point(day.begin(), day.end(), [&](const Segment& x) {
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
