#include "review/playposition.h"

#include <algorithm>

namespace Review {

FramePosition frameAt(const QVector<Segment>& footage, qint64 ms, int direction) {
    const auto after = std::partition_point(footage.begin(), footage.end(),
                                            [ms](const Segment& s) { return s.startMs <= ms; });
    FramePosition pos;
    if (after != footage.begin() && ms < (after - 1)->endMs()) {
        pos.segment = *(after - 1);
        pos.index = (ms - pos.segment.startMs) / kFrameMs;
    } else if (direction > 0 && after != footage.end()) {
        pos.segment = *after;
        pos.index = 0;
    } else if (direction < 0 && after != footage.begin()) {
        pos.segment = *(after - 1);
        pos.index = pos.segment.frames - 1;
    }
    return pos;
}

FramePosition stepFrames(const QVector<Segment>& footage, const FramePosition& from, int count) {
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
        const FramePosition next = frameAt(footage, outside, direction);
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
