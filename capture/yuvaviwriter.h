#pragma once

#include <QString>

#include <opencv2/core.hpp>

extern "C" {
#include <libavutil/rational.h>
}

struct AVFormatContext;

// Writes 4:2:0 frames as they are into an AVI file of raw IYUV video, through FFmpeg's AVI
// muxer: the file OpenCV's writer makes with the FOURCC IYUV, without the blue-green-red to
// YUV conversion that cv::VideoWriter (OpenCV 4.6) does on every frame, since it takes nothing
// but blue-green-red or grey. The worker prepares its frames as 4:2:0 already.
class YuvAviWriter final {
public:
    YuvAviWriter() = default;
    ~YuvAviWriter();
    YuvAviWriter(const YuvAviWriter&) = delete;
    YuvAviWriter& operator=(const YuvAviWriter&) = delete;

    // Creates `path` for frames of `size` at `fps`; false when it cannot.
    bool open(const QString& path, double fps, cv::Size size);
    bool isOpened() const { return context != nullptr; }
    // Appends one frame: an 8-bit matrix of size.height * 3 / 2 rows of size.width bytes, the
    // Y plane then U then V (cv::COLOR_BGR2YUV_I420's layout). Other matrices are ignored.
    void write(const cv::Mat& i420);
    // Writes the index and closes the file.
    void release();

private:
    AVFormatContext* context = nullptr;
    AVRational frameTimeBase{1, 25}; // one frame
    cv::Size frameSize;
    long long frames = 0;
};
