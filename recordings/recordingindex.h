#pragma once

#include <array>

#include <QDate>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QString>
#include <QVector>

// What the review side knows of the recording tree: which files exist, where each one sits on
// the timeline, and how many whole frames it holds. It never changes the tree.
namespace Review {

constexpr int kCameras = 8;
constexpr qint64 kFrameMs = 40; // recordings are 25 frames a second, whatever the camera sent

enum class FileFormat { Unknown, Iyuv, Mjpeg };

// One recording file on the timeline. Times are milliseconds since the epoch; the start comes
// from the file name, read as local time like every other time the recorder shows.
struct Segment {
    QString path;
    int camera = 0; // 1..8
    qint64 startMs = 0;
    qint64 frames = 0; // whole frames; the file being recorded counts up to its last one
    FileFormat format = FileFormat::Unknown;
    qint64 endMs() const { return startMs + frames * kFrameMs; }
};

// The timeline of the recording tree under one data drive. Not thread-safe: one owner (the
// Recordings window keeps it in the GUI thread); others get copies of segments.
class RecordingIndex {
public:
    explicit RecordingIndex(const QString& dataDrive);

    QString dataDrive() const;

    // Reads the folders of `day` (and of the day before, whose last files may run past midnight)
    // again: notices files that appeared, grew or were deleted since the last call. What did not
    // change is not read again, so calling it every second or two is cheap.
    void refreshDay(const QDate& day);

    // The files of camera 1..8 that overlap `day` (local midnight to midnight), oldest first,
    // as of the last refreshDay() of that day. Files without a whole frame are left out.
    QVector<Segment> segments(int camera, const QDate& day) const;

    // The days under the data drive that hold at least one recording of `camera` (1..8), or of
    // any camera for 0. Reads folder listings only.
    QList<QDate> daysWithFootage(int camera = 0) const;

    // The file and frame on screen at `ms` for a camera, from the refreshed days: the frame that
    // began at or before `ms` within a file. False in a gap.
    bool locate(int camera, qint64 ms, Segment* segment, qint64* frameIndex) const;

    // The first file of a camera that begins after `ms` (to jump over a gap), from the refreshed
    // days. False when there is none.
    bool nextSegment(int camera, qint64 ms, Segment* segment) const;

private:
    // What was last read of one file, so that a refresh reads again only what may have changed.
    struct Known {
        Segment segment;
        qint64 bytes = -1;    // the size at the last look; -1: not looked at yet, or unreadable
        qint64 walkedTo = 0;  // a compact file being written: the end of the chunks counted so far
        bool settled = false; // it was not its camera's newest file: it grows no more
        quint32 listing = 0;  // the folder's listing that saw it last
    };
    struct Folder {
        QHash<QString, Known> files;              // by name
        std::array<QString, kCameras + 1> newest; // of each camera, the name of its newest file
        qint64 modifiedNs = -1;                   // the folder's time of change at its last look
        qint64 modifiedSeenMs = 0;                // when that time was first seen, on `sinceStart`
        bool confirmed = false; // listed long enough after that time: no change slipped past
        bool complete = false;  // every file listed, not only each camera's newest
        quint32 listings = 0;
    };
    class DayFolder;

    // Appends to `found` the files of the folder of `folderDay` that overlap [fromMs, toMs); of
    // each camera only its newest file with `newestOnly`.
    void collect(const QDate& folderDay, bool newestOnly, qint64 fromMs, qint64 toMs,
                 QVector<Segment>& found);
    bool recognise(const QString& folderPath, const QString& name, const QDate& day, Known* file);
    static void look(const DayFolder& folder, const QString& name, Known& file);
    qint64 localMs(const QDate& day, int hour, int msIntoHour);

    QString drive;
    QHash<QDate, QVector<Segment>> daysSeen; // per refreshed day, every camera, by start
    QHash<QDate, Folder> folders;
    QHash<qint64, qint64> hourStarts; // local hours (Julian day * 24 + hour) as epoch ms
    QElapsedTimer sinceStart;
};

} // namespace Review
