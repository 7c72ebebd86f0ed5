#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include <QDateTime>
#include <QElapsedTimer>
#include <QString>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

// Opens a network stream and reads it on a thread of its own, queueing each picture (an MJPEG
// stream's raw JPEG packets) with the time it arrived. A camera drops frames for a client that
// leaves them waiting in the socket; reading costs little, so a worker whose decoding is held up
// for a moment (a busy machine) still takes every frame in time, and places it on the
// recording's timeline by its arrival.
//
// The open and every read may block until their time-outs; the worker never waits for them. The
// destructor only tells the thread to end: a call still blocked finishes on its own, and the
// thread then releases the capture. The thread owns the capture and shares only `State` with
// the worker, guarded by its mutex (the flags are atomic).
class PacketReader final {
public:
    struct Packet {
        cv::Mat data;
        qint64 arrivalMs = 0;  // on the clock given to the constructor
        QDateTime arrivalTime; // the time of day, from Clock, that the frame is stamped with
    };
    enum class Result { Packet, Nothing, Broken };
    enum class Open { Pending, Opened, Failed };

    static constexpr int kOpenTimeoutMs = 5000;
    static constexpr int kReadTimeoutMs = 5000;

    // Starts opening `url`. With `probeFirst` the camera is first asked, without the video
    // library, whether it answers at all (see streamprobe.h). An MJPEG stream is read as raw
    // JPEG packets unless `decodeInLibrary`: then the video library decodes every picture.
    PacketReader(const QString& url, bool probeFirst, bool decodeInLibrary,
                 const QElapsedTimer& clock);
    ~PacketReader();
    PacketReader(const PacketReader&) = delete;
    PacketReader& operator=(const PacketReader&) = delete;

    // How the open stands, waiting up to waitMs for it to end.
    Open waitForOpen(int waitMs);
    // Once Opened: whether the packets are raw JPEG (else decoded pictures).
    bool rawPackets();
    // Once Failed: whether the open (or the probe) ran into its time-out rather than failing
    // at once: such a camera is probed before its next open.
    bool timedOut();

    // The oldest queued packet, waiting up to waitMs for one. Broken once the stream has failed
    // and every packet read before the failure has been taken.
    Result next(Packet& out, int waitMs);

    // Packets dropped because the worker fell more than the queue behind.
    qint64 droppedPackets();

private:
    // About two seconds of a 25 fps camera: longer than any hold-up worth riding out.
    static constexpr size_t kMaxQueued = 50;

    struct State {
        explicit State(const QElapsedTimer& clock) : clock(clock) {}
        const QElapsedTimer clock; // a copy: the worker's may be gone while the thread runs
        std::atomic<bool> cancelled{false};
        std::mutex mutex;
        std::condition_variable ready;
        Open open = Open::Pending;
        bool raw = false;
        bool timedOut = false;
        std::deque<Packet> queue;
        bool broken = false;
        qint64 dropped = 0;
    };
    static void run(const std::shared_ptr<State>& state, const QString& url, bool probeFirst,
                    bool decodeInLibrary);
    static bool openCapture(State& state, cv::VideoCapture& capture, const QString& url,
                            bool probeFirst, bool decodeInLibrary);

    std::shared_ptr<State> state;
};
