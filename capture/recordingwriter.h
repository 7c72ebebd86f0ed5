#pragma once

#include <memory>

#include <QString>

#include <opencv2/core.hpp>

#include "capture/channelconfig.h"

// One IYUV frame (640 x 480, 12 bits per pixel) plus its 8-byte AVI chunk header: what an IYUV
// file grows by per written frame.
constexpr qint64 kIyuvFileBytesPerFrame = 640 * 480 * 3 / 2 + 8;

// The writer of one recording file, whatever its format. Used by one thread at a time.
class RecordingWriter {
public:
    virtual ~RecordingWriter() = default;
    // Appends one recording frame (640 x 480 4:2:0 at video range, see prepareRecordingFrame()).
    // False when its data cannot have reached the file (a write failed).
    virtual bool write(const cv::Mat& frame) = 0;
    // Completes the file: index, frame counts, sizes. A file left without it is repaired.
    virtual void close() = 0;
    // What the file holds once every write so far has landed, counted without asking the file
    // system: for the size split and to notice writes that do not land.
    virtual qint64 trackedBytes() const = 0;
};

// A writer on a new file at `path` in `format`, 25 fps; null when the file cannot be begun.
std::unique_ptr<RecordingWriter> openRecordingWriter(RecordingFormat format, const QString& path);
