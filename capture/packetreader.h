#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <QDateTime>
#include <QElapsedTimer>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

// Reads an open stream's raw packets on a thread of its own and queues them with the time they
// arrived. A camera drops frames for a client that leaves them waiting in the socket; reading
// costs little, so a worker whose decoding is held up for a moment (a busy machine) still takes
// every frame in time, and places it on the recording's timeline by its arrival.
//
// Threads: the constructor, next() and the destructor belong to the worker; the capture is
// used only by the reading thread until the destructor has joined it. The queue and `broken`
// are guarded by `mutex`.
class PacketReader final {
public:
    struct Packet {
        cv::Mat data;
        qint64 arrivalMs = 0;  // on `clock`
        QDateTime arrivalTime; // the time of day, from Clock, that the frame is stamped with
    };
    enum class Result { Packet, Nothing, Broken };

    // Starts reading `capture`, which must be open and stay alive until the destructor ends.
    // Reading ends when the stream fails, `running` turns false or the reader is destroyed.
    PacketReader(cv::VideoCapture& capture, const std::atomic<bool>& running,
                 const QElapsedTimer& clock);
    ~PacketReader(); // stops and waits for the reading thread: at most one read time-out
    PacketReader(const PacketReader&) = delete;
    PacketReader& operator=(const PacketReader&) = delete;

    // The oldest queued packet, waiting up to waitMs for one. Broken once the stream has failed
    // and every packet read before the failure has been taken.
    Result next(Packet& out, int waitMs);

    // Packets dropped because the worker fell more than the queue behind.
    qint64 droppedPackets();

private:
    void read();

    // About two seconds of a 25 fps camera: longer than any hold-up worth riding out.
    static constexpr size_t kMaxQueued = 50;

    cv::VideoCapture& capture;
    const std::atomic<bool>& running;
    const QElapsedTimer& clock;
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Packet> queue;
    std::atomic<bool> stopping{false};
    bool broken = false;
    qint64 dropped = 0;
    std::thread thread; // last: started once everything above exists
};
