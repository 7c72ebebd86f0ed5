#pragma once

#include <QString>
#include <QStringList>

// What ffprobe and ffmpeg say about a recorded file: the checks a user would make by hand.
struct MediaInfo {
    bool ok = false;     // ffprobe ran and found a video stream
    QString codec;       // codec_name, e.g. "rawvideo"
    QString codecTag;    // codec_tag_string, e.g. "IYUV"
    QString pixelFormat; // pix_fmt, e.g. "yuv420p"
    int width = 0;
    int height = 0;
    QString frameRate;      // r_frame_rate, e.g. "25/1"
    qint64 frameCount = -1; // frames actually decoded (count_frames)
    qint64 headerFrames = -1; // nb_frames: the count the file's headers give, -1 for "N/A"
    double durationSec = -1;
    QString error; // ffprobe's complaint when !ok
};

namespace MediaProbe {
// Runs ffprobe on the first video stream of `path`, counting its frames; bounded in time.
MediaInfo probe(const QString& path, int timeoutMs = 60000);
// Decodes the whole file with ffmpeg and returns what it reports at level "error"; empty for a
// clean file. A run that fails or times out returns a non-empty text too.
QString decodeErrors(const QString& path, int timeoutMs = 60000);
} // namespace MediaProbe
