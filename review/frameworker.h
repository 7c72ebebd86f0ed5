#pragma once

#include <functional>
#include <memory>

#include <QImage>
#include <QObject>
#include <QString>

#include "review/playposition.h"

namespace Review {

// Reads the frames the Recordings window plays off the GUI thread: a read from a network drive
// that stops answering would otherwise freeze the window, the camera panels and the schedule.
//
// Threads: read(), clear(), setBeforeRead() and the destructor run in the owner's thread, which
// also gets frameRead(). The reading thread owns the RecordingReader (in `State`, touched by no
// other thread); the request pending, the hook and the pointer back to this object are shared
// under State's mutex, never held across a read. Only the newest request counts: at 16x the
// window asks 25 times a second, and a frame asked for while an older one was read is worth more
// than that one. As with IndexWorker, nothing ever waits for a read stuck on a hung drive: the
// destructor only tells the thread to end, which it does once its call returns, posting nothing.
class FrameWorker final : public QObject {
    Q_OBJECT
public:
    explicit FrameWorker(QObject* parent = nullptr);
    ~FrameWorker() override;

    // Reads `position`, in place of a request not begun yet; `serial` comes back with the frame.
    void read(quint64 serial, const FramePosition& position);
    // The reader forgets the files it keeps open or cached before its next read.
    void clear();

    // A test's hook, run in the reading thread before each frame is read. It may block for a
    // while, as a hung drive does.
    void setBeforeRead(std::function<void(const FramePosition&)> hook);

signals:
    // `image` is null when the frame could not be read; `note` then says why.
    void frameRead(quint64 serial, const Review::FramePosition& position, const QImage& image,
                   const QString& note);

private:
    struct State;
    static void run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state;
};

} // namespace Review
