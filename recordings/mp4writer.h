#pragma once

#include <QString>

#include <opencv2/core.hpp>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;

// Encodes blue-green-red frames to H.264 (x264, preset "veryfast") in an MP4 file through FFmpeg's
// libraries. OpenCV's writer would do the same at the encoder's default preset: the options it
// reads from OPENCV_FFMPEG_WRITER_OPTIONS (4.6) never reach the encoder, and the default costs an
// export several times the CPU, taken from the recording workers. Its writes are checked too,
// which OpenCV's are not. The encoder's threads start in open(). One thread at a time.
class Mp4Writer final {
public:
    Mp4Writer() = default;
    // Closes without completing: the file is left incomplete for the caller to delete.
    ~Mp4Writer();
    Mp4Writer(const Mp4Writer&) = delete;
    Mp4Writer& operator=(const Mp4Writer&) = delete;

    // Creates `path` for frames of `size` at `fps` frames a second; false with `error` set.
    bool open(const QString& path, cv::Size size, int fps, QString* error);
    // Appends an 8-bit BGR frame of the size given to open(); false when it could not be encoded
    // or written (a full drive).
    bool write(const cv::Mat& bgr);
    // Encodes what the encoder still holds, writes the index and closes the file; false when any
    // of it failed.
    bool finish();

private:
    bool drain();
    void close();

    AVFormatContext* format = nullptr;
    AVCodecContext* encoder = nullptr;
    AVStream* stream = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    long long nextPts = 0;
    cv::Mat i420; // the frame in 4:2:0, reused
};
