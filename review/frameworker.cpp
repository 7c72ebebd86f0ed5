#include "review/frameworker.h"

#include <mutex>
#include <utility>

#include <opencv2/core.hpp>

#include "capture/opengate.h"
#include "recordings/recordingreader.h"

namespace Review {

struct FrameWorker::State {
    // Only the reading thread, one at a time (`running`).
    RecordingReader reader;

    std::mutex mutex;
    FrameWorker* owner = nullptr; // null once it is gone: nothing more is posted
    quint64 wantedSerial = 0;     // 0: nothing asked for
    FramePosition wanted;
    bool clearReader = false;
    bool running = false; // a thread is reading, or about to
    std::function<void(const FramePosition&)> beforeRead;
};

FrameWorker::FrameWorker(QObject* parent)
    : QObject(parent)
    , state(std::make_shared<State>()) {
    state->owner = this;
}

FrameWorker::~FrameWorker() {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->owner = nullptr;
    state->wantedSerial = 0;
}

void FrameWorker::read(quint64 serial, const FramePosition& position) {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->wantedSerial = serial;
    state->wanted = position;
    if (state->running)
        return;
    // A thread per run of reads, as IndexWorker does: one stuck on a hung drive is left behind.
    state->running = true;
    DetachedCalls::start([state = state] { run(state); });
}

void FrameWorker::clear() {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->clearReader = true;
}

void FrameWorker::setBeforeRead(std::function<void(const FramePosition&)> hook) {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->beforeRead = std::move(hook);
}

void FrameWorker::run(const std::shared_ptr<State>& state) {
    for (;;) {
        quint64 serial = 0;
        FramePosition position;
        bool clear = false;
        std::function<void(const FramePosition&)> hook;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (!state->owner || state->wantedSerial == 0) {
                state->running = false;
                return;
            }
            serial = std::exchange(state->wantedSerial, 0);
            position = state->wanted;
            clear = std::exchange(state->clearReader, false);
            hook = state->beforeRead;
        }
        if (clear)
            state->reader.clear();
        if (hook)
            hook(position);
        cv::Mat bgr;
        QString note;
        QImage image;
        if (state->reader.readFrame(position.segment, position.index, &bgr, &note) ==
                RecordingReader::Result::Ok &&
            !bgr.empty())
            image =
                QImage(bgr.data, bgr.cols, bgr.rows, int(bgr.step), QImage::Format_BGR888).copy();
        std::lock_guard<std::mutex> lock(state->mutex);
        if (FrameWorker* owner = state->owner)
            QMetaObject::invokeMethod(
                owner,
                [owner, serial, position, image = std::move(image), note = std::move(note)] {
                    emit owner->frameRead(serial, position, image, note);
                },
                Qt::QueuedConnection);
    }
}

} // namespace Review
