#include "review/playposition.h"

#include <QDateTime>

namespace Review {

namespace {

// The last file of the camera that begins at or before `ms`, searched in the day of `ms` and the
// day before (a file can run past midnight).
bool previousSegment(const RecordingIndex& index, int camera, qint64 ms, Segment* out) {
    const QDate day = QDateTime::fromMSecsSinceEpoch(ms).date();
    for (const QDate& d : {day, day.addDays(-1)}) {
        const QVector<Segment> segments = index.segments(camera, d);
        for (auto it = segments.crbegin(); it != segments.crend(); ++it) {
            if (it->startMs <= ms && it->frames > 0) {
                *out = *it;
                return true;
            }
        }
    }
    return false;
}

} // namespace

FramePosition frameAt(const RecordingIndex& index, int camera, qint64 ms, int direction) {
    FramePosition pos;
    if (index.locate(camera, ms, &pos.segment, &pos.index))
        return pos;
    pos.index = -1;
    if (direction > 0 && index.nextSegment(camera, ms, &pos.segment) && pos.segment.frames > 0)
        pos.index = 0;
    else if (direction < 0 && previousSegment(index, camera, ms, &pos.segment))
        pos.index = pos.segment.frames - 1;
    return pos;
}

FramePosition stepFrames(const RecordingIndex& index, int camera, const FramePosition& from,
                         int count) {
    FramePosition pos = from;
    const int direction = count > 0 ? 1 : -1;
    qint64 left = qAbs(count);
    while (left > 0 && pos.valid()) {
        const qint64 target = pos.index + direction * left;
        if (target >= 0 && target < pos.segment.frames) {
            pos.index = target;
            break;
        }
        const qint64 edge = direction > 0 ? pos.segment.frames - 1 : 0;
        left -= qAbs(edge - pos.index);
        pos.index = edge;
        const qint64 outside = direction > 0 ? pos.segment.endMs() : pos.segment.startMs - 1;
        const FramePosition next = frameAt(index, camera, outside, direction);
        // Files may overlap by a few milliseconds: never step back onto this file or against
        // the direction.
        if (!next.valid() || next.segment.path == pos.segment.path ||
            (next.startMs() - pos.startMs()) * direction <= 0)
            break;
        pos = next;
        --left;
    }
    return pos;
}

} // namespace Review
