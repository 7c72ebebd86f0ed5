#pragma once

#include <QHash>
#include <QString>
#include <QVector>

#include <opencv2/core.hpp>

#include "recordings/recordingindex.h"

namespace Review {

// Reads single frames out of recording files, IYUV or compact, for playback and export. A file
// may be growing, deleted under the reader, or torn by a kill: none of that crashes or hangs,
// the frame is reported missing with a note. Not thread-safe: one reader per thread.
class RecordingReader {
public:
    enum class Result { Ok, Missing };

    // Frame `index` of `segment` as a 640x480 BGR picture (CV_8UC3), as it was recorded, texts
    // burned in. On Missing, `*note` says why ("file deleted", "frame torn", ...).
    Result readFrame(const Segment& segment, qint64 index, cv::Mat* bgr, QString* note = nullptr);

    // Forgets what it keeps open or cached for files (call when the day changes).
    void clear();

private:
    // Implementation may keep an open file and the frame offsets of compact files here.
    struct Cache;
    QHash<QString, QVector<qint64>> frameOffsets; // compact files: offset of each frame chunk
};

} // namespace Review
