#pragma once

#include <QVector>

#include "recordings/recordingindex.h"

// Frames of one camera as one sequence over its files: playback and the step keys run across
// file boundaries and over gaps as if the footage were one recording.
namespace Review {

struct FramePosition {
    Segment segment;
    qint64 index = -1; // -1: no frame
    bool valid() const { return index >= 0; }
    qint64 startMs() const { return segment.startMs + index * kFrameMs; }
};

// `footage` is what is known of one camera: its files, ordered by start, each once.

// The frame on screen at `ms`: the one that began at or before it within the file that began
// last by then. In a gap: with direction > 0 the first frame of the next file, with direction < 0
// the last frame of the file before, with 0 none.
FramePosition frameAt(const QVector<Segment>& footage, qint64 ms, int direction);

// The frame `count` frames after `from` (before, when negative), across files and gaps; the
// camera's last (first) frame when there are fewer.
FramePosition stepFrames(const QVector<Segment>& footage, const FramePosition& from, int count);

} // namespace Review
