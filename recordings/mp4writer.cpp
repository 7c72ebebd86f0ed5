#include "recordings/mp4writer.h"

#include <cstring>

#include <QFile>

#include <opencv2/imgproc.hpp>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {
QString avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromLocal8Bit(text);
}
} // namespace

Mp4Writer::~Mp4Writer() {
    close();
}

bool Mp4Writer::open(const QString& path, cv::Size size, int fps, QString* error) {
    close();
    const QByteArray name = QFile::encodeName(path);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec)
        codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!codec) {
        *error = QStringLiteral("No H.264 encoder is installed.");
        return false;
    }
    int result = avformat_alloc_output_context2(&format, nullptr, "mp4", name.constData());
    if (result < 0 || !format) {
        *error = avError(result);
        return false;
    }
    stream = avformat_new_stream(format, nullptr);
    encoder = avcodec_alloc_context3(codec);
    frame = av_frame_alloc();
    packet = av_packet_alloc();
    if (!stream || !encoder || !frame || !packet) {
        *error = QStringLiteral("Out of memory.");
        close();
        return false;
    }
    encoder->width = size.width;
    encoder->height = size.height;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = AVRational{1, fps};
    encoder->framerate = AVRational{fps, 1};
    encoder->gop_size = 2 * fps; // a key frame every 2 s: players seek in the file quickly
    if (format->oformat->flags & AVFMT_GLOBALHEADER)
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", "veryfast", 0);
    av_dict_set(&options, "crf", "23", 0);
    // x264's own log: its statistics at the close are no use to anyone reading ours.
    av_dict_set(&options, "x264-params", "log=0", 0);
    result = avcodec_open2(encoder, codec, &options);
    av_dict_free(&options);
    if (result >= 0)
        result = avcodec_parameters_from_context(stream->codecpar, encoder);
    stream->time_base = encoder->time_base;
    stream->avg_frame_rate = stream->r_frame_rate = encoder->framerate;
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = size.width;
    frame->height = size.height;
    if (result >= 0)
        result = av_frame_get_buffer(frame, 0);
    if (result >= 0)
        result = avio_open(&format->pb, name.constData(), AVIO_FLAG_WRITE);
    if (result >= 0)
        result = avformat_write_header(format, nullptr);
    if (result < 0) {
        *error = avError(result);
        close();
        return false;
    }
    return true;
}

bool Mp4Writer::write(const cv::Mat& bgr) {
    if (!encoder || bgr.type() != CV_8UC3 || bgr.cols != encoder->width ||
        bgr.rows != encoder->height || av_frame_make_writable(frame) < 0)
        return false;
    cv::cvtColor(bgr, i420, cv::COLOR_BGR2YUV_I420);
    const int w = encoder->width, h = encoder->height;
    const uchar* plane = i420.ptr();
    for (int p = 0; p < 3; ++p) {
        const int pw = p == 0 ? w : w / 2, ph = p == 0 ? h : h / 2;
        for (int y = 0; y < ph; ++y)
            std::memcpy(frame->data[p] + y * frame->linesize[p], plane + y * pw, size_t(pw));
        plane += pw * ph;
    }
    frame->pts = nextPts++;
    return avcodec_send_frame(encoder, frame) >= 0 && drain();
}

bool Mp4Writer::finish() {
    const bool ok = encoder && avcodec_send_frame(encoder, nullptr) >= 0 && drain() &&
                    av_write_trailer(format) >= 0 && format->pb->error >= 0 &&
                    avio_closep(&format->pb) >= 0;
    close();
    return ok;
}

bool Mp4Writer::drain() {
    for (;;) {
        const int result = avcodec_receive_packet(encoder, packet);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return true;
        if (result < 0)
            return false;
        av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
        packet->stream_index = stream->index;
        // Checks the file's own write errors as well (a full drive).
        if (av_interleaved_write_frame(format, packet) < 0)
            return false;
    }
}

void Mp4Writer::close() {
    if (format && format->pb)
        avio_closep(&format->pb);
    avformat_free_context(format);
    format = nullptr;
    stream = nullptr;
    avcodec_free_context(&encoder);
    av_frame_free(&frame);
    av_packet_free(&packet);
    nextPts = 0;
}
