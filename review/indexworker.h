#pragma once

#include <array>
#include <functional>
#include <memory>

#include <QDate>
#include <QList>
#include <QObject>
#include <QVector>

#include "recordings/recordingindex.h"

namespace Review {

// What the Recordings window shows of one day, as read at one moment.
struct DaySnapshot {
    QDate day;
    std::array<QVector<Segment>, kCameras> segments; // of camera 1..8 at [0..7]: see segments()
    std::array<QVector<float>, kCameras> activity;   // Activity::readDay() of each camera
    std::array<QString, kCameras> activityStamp;     // size and time of the file read; "none"
    QList<QDate> footageDays;                        // daysWithFootage() of any camera
};

// Reads the recording tree for the Recordings window off the GUI thread: a first look at a day
// of eight cameras opens tens of thousands of files, and a network drive that hangs would hang
// the window and the camera panels with it.
//
// Threads: read() and the destructor run in the owner's thread, which also gets snapshotReady().
// The reading thread owns the RecordingIndex and the activity it has read (in `State`, touched by
// no other thread); the days wanted, the hook and the pointer back to this object are shared
// under State's mutex, which is never held across a read. A call stuck in a hung file system
// cannot be interrupted, so nothing ever waits for the thread: the destructor only tells it to
// end, and it does so on its own once its call returns, posting nothing more. (It runs among
// DetachedCalls, which the end of the program waits for within a bound.)
class IndexWorker final : public QObject {
    Q_OBJECT
public:
    explicit IndexWorker(const QString& dataDrive, QObject* parent = nullptr);
    ~IndexWorker() override;

    // Reads `days` (each followed by its snapshot), in that order, in place of those asked for
    // before and not begun yet. A day being read now is not queued again behind itself: asked
    // every second or two, a slow day is read once at a time.
    void read(const QList<QDate>& days);

    // A test's hook, run in the reading thread before each day is read. It may block for a while,
    // as a hung drive does.
    void setBeforeRead(std::function<void(const QDate&)> hook);

signals:
    void snapshotReady(const Review::DaySnapshot& snapshot);

private:
    struct State;
    static void run(const std::shared_ptr<State>& state);
    static DaySnapshot readDay(State& state, const QDate& day);

    std::shared_ptr<State> state;
};

} // namespace Review
