#include "capture/recordingwriter.h"

#include <exception>

#include <QtDebug>

#include "capture/frameconversion.h"
#include "capture/mjpegaviwriter.h"
#include "capture/yuvaviwriter.h"

namespace {
constexpr double kRecordFps = 25.0;

// Uncompressed recordings, through FFmpeg's AVI muxer.
class IyuvWriter final : public RecordingWriter {
public:
    bool open(const QString& path) {
        return writer.open(path, kRecordFps, cv::Size(kRecordWidth, kRecordHeight)) &&
               writer.isOpened();
    }
    // The muxer reports no failed write; the caller compares the file's size with the tracked one.
    bool write(const cv::Mat& frame) override {
        writer.write(frame);
        ++frames;
        return true;
    }
    void close() override { writer.release(); }
    qint64 trackedBytes() const override { return frames * kIyuvFileBytesPerFrame; }

private:
    YuvAviWriter writer;
    qint64 frames = 0;
};

template <typename Writer>
std::unique_ptr<RecordingWriter> opened(const QString& path) {
    auto writer = std::make_unique<Writer>();
    if (writer->open(path))
        return writer;
    return nullptr;
}
} // namespace

std::unique_ptr<RecordingWriter> openRecordingWriter(RecordingFormat format, const QString& path) {
    try {
        return format == RecordingFormat::Mjpeg ? opened<MjpegAviWriter>(path)
                                                : opened<IyuvWriter>(path);
    } catch (const std::exception& e) {
        qWarning() << "writer error on" << path << e.what();
    }
    return nullptr;
}
