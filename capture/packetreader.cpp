#include "capture/packetreader.h"

#include <chrono>
#include <exception>
#include <utility>
#include <vector>

#include <QFile>

#include "recordings/clock.h"
#include "capture/opengate.h"
#include "capture/streamprobe.h"

PacketReader::PacketReader(const QString& url, bool probeFirst, bool decodeInLibrary,
                           const QElapsedTimer& clock)
    : state(std::make_shared<State>(clock)) {
    DetachedCalls::start([state = state, url, probeFirst, decodeInLibrary] {
        run(state, url, probeFirst, decodeInLibrary);
    });
}

PacketReader::~PacketReader() {
    state->cancelled = true;
}

bool PacketReader::openCapture(State& state, cv::VideoCapture& capture, const QString& url,
                               bool probeFirst, bool decodeInLibrary) {
    QElapsedTimer took;
    took.start();
    bool opened = false;
    if (probeFirst && !cameraAnswers(url, kOpenTimeoutMs, state.cancelled)) {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.timedOut = took.elapsed() >= kOpenTimeoutMs / 2;
        return false;
    }
    if (!OpenGate::enter(state.cancelled))
        return false;
    took.restart(); // the time in the video library's open only
    // Bounded waits: a camera that accepts and then says nothing holds this thread no longer.
    const std::vector<int> params{cv::CAP_PROP_OPEN_TIMEOUT_MSEC, kOpenTimeoutMs,
                                  cv::CAP_PROP_READ_TIMEOUT_MSEC, kReadTimeoutMs};
    try {
        opened = capture.open(QFile::encodeName(url).toStdString(), cv::CAP_FFMPEG, params) &&
                 capture.isOpened();
    } catch (const std::exception&) {
        opened = false;
    }
    OpenGate::leave();
    bool raw = false;
    if (opened && !decodeInLibrary) {
        const int fourcc = static_cast<int>(capture.get(cv::CAP_PROP_FOURCC));
        const bool mjpeg = fourcc == cv::VideoWriter::fourcc('M', 'J', 'P', 'G') ||
                           fourcc == cv::VideoWriter::fourcc('m', 'j', 'p', 'e');
        raw = mjpeg && capture.set(cv::CAP_PROP_FORMAT, -1);
    }
    std::lock_guard<std::mutex> lock(state.mutex);
    state.raw = raw;
    state.timedOut = !opened && took.elapsed() >= kOpenTimeoutMs / 2;
    return opened;
}

void PacketReader::run(const std::shared_ptr<State>& state, const QString& url, bool probeFirst,
                       bool decodeInLibrary) {
    cv::VideoCapture capture;
    bool ok = openCapture(*state, capture, url, probeFirst, decodeInLibrary);
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->open = ok ? Open::Opened : Open::Failed;
    }
    state->ready.notify_one();
    while (ok && !state->cancelled) {
        Packet packet;
        try {
            ok = capture.grab() && capture.retrieve(packet.data) && !packet.data.empty();
        } catch (const std::exception&) {
            ok = false;
        }
        if (!ok)
            break;
        packet.arrivalMs = state->clock.elapsed();
        // The clock may be a test's, which only lives while the worker does.
        if (state->cancelled)
            break;
        packet.arrivalTime = Clock::now();
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (state->queue.size() >= kMaxQueued) {
                state->queue.pop_front();
                ++state->dropped;
            }
            state->queue.push_back(std::move(packet));
        }
        state->ready.notify_one();
    }
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->broken = true;
    }
    state->ready.notify_one();
}

PacketReader::Open PacketReader::waitForOpen(int waitMs) {
    std::unique_lock<std::mutex> lock(state->mutex);
    state->ready.wait_for(lock, std::chrono::milliseconds(waitMs),
                          [this] { return state->open != Open::Pending; });
    return state->open;
}

bool PacketReader::rawPackets() {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->raw;
}

bool PacketReader::timedOut() {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->timedOut;
}

PacketReader::Result PacketReader::next(Packet& out, int waitMs) {
    std::unique_lock<std::mutex> lock(state->mutex);
    state->ready.wait_for(lock, std::chrono::milliseconds(waitMs),
                          [this] { return !state->queue.empty() || state->broken; });
    if (!state->queue.empty()) {
        out = std::move(state->queue.front());
        state->queue.pop_front();
        return Result::Packet;
    }
    return state->broken ? Result::Broken : Result::Nothing;
}

qint64 PacketReader::droppedPackets() {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->dropped;
}
