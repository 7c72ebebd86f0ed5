#include "review/indexworker.h"

#include <mutex>

#include <QFileInfo>

#include "capture/opengate.h"
#include "recordings/activity.h"

namespace Review {

struct IndexWorker::State {
    explicit State(const QString& dataDrive)
        : index(dataDrive) {}

    // Only the reading thread, one at a time (`running`).
    RecordingIndex index;
    DaySnapshot activityRead; // the day whose activity was read last, to read only what changed

    std::mutex mutex;
    IndexWorker* owner = nullptr; // null once it is gone: nothing more is posted
    QList<QDate> wanted;
    QDate reading;
    bool running = false; // a thread is reading, or about to
    std::function<void(const QDate&)> beforeRead;
};

IndexWorker::IndexWorker(const QString& dataDrive, QObject* parent)
    : QObject(parent)
    , state(std::make_shared<State>(dataDrive)) {
    state->owner = this;
}

IndexWorker::~IndexWorker() {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->owner = nullptr;
    state->wanted.clear();
}

void IndexWorker::read(const QList<QDate>& days) {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->wanted.clear();
    for (const QDate& day : days)
        if (day.isValid() && day != state->reading && !state->wanted.contains(day))
            state->wanted.append(day);
    if (state->running || state->wanted.isEmpty())
        return;
    // A thread per run of reads rather than one that waits: a thread stuck on a hung drive is
    // left behind, and the next window gets a thread of its own.
    state->running = true;
    DetachedCalls::start([state = state] { run(state); });
}

void IndexWorker::setBeforeRead(std::function<void(const QDate&)> hook) {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->beforeRead = std::move(hook);
}

void IndexWorker::run(const std::shared_ptr<State>& state) {
    for (;;) {
        QDate day;
        std::function<void(const QDate&)> hook;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->reading = QDate();
            if (!state->owner || state->wanted.isEmpty()) {
                state->running = false;
                return;
            }
            day = state->reading = state->wanted.takeFirst();
            hook = state->beforeRead;
        }
        if (hook)
            hook(day);
        DaySnapshot snapshot = readDay(*state, day);
        std::lock_guard<std::mutex> lock(state->mutex);
        if (IndexWorker* owner = state->owner)
            QMetaObject::invokeMethod(
                owner,
                [owner, snapshot = std::move(snapshot)] { emit owner->snapshotReady(snapshot); },
                Qt::QueuedConnection);
    }
}

DaySnapshot IndexWorker::readDay(State& state, const QDate& day) {
    DaySnapshot snapshot;
    snapshot.day = day;
    state.index.refreshDay(day);
    DaySnapshot& last = state.activityRead;
    if (last.day != day)
        last = DaySnapshot{day, {}, {}, {}, {}};
    const QString drive = state.index.dataDrive();
    for (int cam = 1; cam <= kCameras; ++cam) {
        const size_t i = size_t(cam - 1);
        snapshot.segments[i] = state.index.segments(cam, day);
        // The activity file grows a byte a second while its camera records: read when it changed.
        const QFileInfo file(Activity::dayFile(drive, cam, day));
        const QString stamp = file.exists() ? QStringLiteral("%1 %2")
                                                  .arg(file.size())
                                                  .arg(file.lastModified().toMSecsSinceEpoch())
                                            : QStringLiteral("none");
        if (stamp != last.activityStamp[i]) {
            last.activityStamp[i] = stamp;
            last.activity[i] = Activity::readDay(drive, cam, day);
        }
    }
    snapshot.activity = last.activity;
    snapshot.activityStamp = last.activityStamp;
    snapshot.footageDays = state.index.daysWithFootage(0);
    return snapshot;
}

} // namespace Review
