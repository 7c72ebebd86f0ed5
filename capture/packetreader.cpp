#include "capture/packetreader.h"

#include <chrono>
#include <exception>
#include <utility>

#include "capture/clock.h"

PacketReader::PacketReader(cv::VideoCapture& capture, const std::atomic<bool>& running,
                           const QElapsedTimer& clock)
    : capture(capture)
    , running(running)
    , clock(clock)
    , thread(&PacketReader::read, this) {}

PacketReader::~PacketReader() {
    stopping = true;
    thread.join();
}

void PacketReader::read() {
    bool ok = true;
    while (ok && running && !stopping) {
        Packet packet;
        try {
            ok = capture.grab() && capture.retrieve(packet.data) && !packet.data.empty();
        } catch (const std::exception&) {
            ok = false;
        }
        if (!ok)
            break;
        packet.arrivalMs = clock.elapsed();
        packet.arrivalTime = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (queue.size() >= kMaxQueued) {
                queue.pop_front();
                ++dropped;
            }
            queue.push_back(std::move(packet));
        }
        ready.notify_one();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        broken = true;
    }
    ready.notify_one();
}

PacketReader::Result PacketReader::next(Packet& out, int waitMs) {
    std::unique_lock<std::mutex> lock(mutex);
    ready.wait_for(lock, std::chrono::milliseconds(waitMs),
                   [this] { return !queue.empty() || broken; });
    if (!queue.empty()) {
        out = std::move(queue.front());
        queue.pop_front();
        return Result::Packet;
    }
    return broken ? Result::Broken : Result::Nothing;
}

qint64 PacketReader::droppedPackets() {
    std::lock_guard<std::mutex> lock(mutex);
    return dropped;
}
