#pragma once

#include <memory>

#include <QByteArray>
#include <QFile>
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
    // The file read last, kept open for the next frame of sequential playback.
    struct Cache {
        QString path;
        std::unique_ptr<QFile> file;
        FileFormat format = FileFormat::Unknown;
        qint64 firstChunk = -1; // where frame 0's chunk begins
        qint64 moviFourcc = -1; // what the index's offsets count from
        qint64 indexAt = -1;    // a finished compact file: where its index lies
    };
    // Where the frames of a compact file lie: from its index, or walked as far as it was written.
    struct CompactFrames {
        QVector<qint64> offsets;
        qint64 walkedTo = -1;
    };
    bool openFile(const Segment& segment, QString* why);
    bool findCompactFrame(qint64 index, qint64* offset, QString* why);

    Cache cache;
    QByteArray chunk;                           // the chunk read, reused from frame to frame
    cv::Mat planes[3];                          // the JPEG decoder's buffers, reused
    QHash<QString, CompactFrames> frameOffsets; // compact files: offset of each frame chunk
};

} // namespace Review
