#pragma once

#include <vector>

#include <QByteArray>
#include <QFile>

#include "capture/recordingwriter.h"

// JPEG quality of compact recordings: the burned-in texts keep clean edges, and a frame of a
// noisy camera picture still takes about a tenth of its IYUV size.
constexpr int kCompactJpegQuality = 85;

// Compact recordings: every frame a whole JPEG ('00dc' chunk) in an AVI of 640 x 480 at 25 fps.
// The header goes out first with the placeholder sizes and no frame counts that mark a file the
// repair completes; every frame is written straight to the file in one piece, so a kill or a
// power cut loses at most the frame being written. close() appends the index and then the counts
// and sizes, the RIFF size last.
class MjpegAviWriter final : public RecordingWriter {
public:
    explicit MjpegAviWriter(int quality = kCompactJpegQuality);
    ~MjpegAviWriter() override;
    MjpegAviWriter(const MjpegAviWriter&) = delete;
    MjpegAviWriter& operator=(const MjpegAviWriter&) = delete;

    bool open(const QString& path);
    bool write(const cv::Mat& frame) override;
    void close() override;
    qint64 trackedBytes() const override { return tracked; }

    // A recording frame (4:2:0 at video range, width a multiple of 16) as a JPEG into `out`
    // after its first `start` bytes (its capacity reused), as write() stores it; `work` holds the
    // full-range planes. False for any other matrix.
    static bool encode(const cv::Mat& i420, int quality, std::vector<uchar>& out, size_t start,
                       cv::Mat& work);

private:
    const int quality;
    QFile file;
    std::vector<uchar> chunk; // chunk header, JPEG, padding: one write per frame
    QByteArray index;         // idx1 entries of the frames written
    cv::Mat fullRange;        // the frame's planes at the range JPEG holds
    qint64 tracked = 0;
    quint32 frames = 0;
    quint32 largest = 0;
    bool failed = false;
};
