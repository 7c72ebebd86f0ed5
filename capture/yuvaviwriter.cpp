#include "capture/yuvaviwriter.h"

#include <QFile>

extern "C" {
#include <libavformat/avformat.h>
}

YuvAviWriter::~YuvAviWriter() {
    release();
}

bool YuvAviWriter::open(const QString& path, double fps, cv::Size size) {
    release();
    const QByteArray name = QFile::encodeName(path);
    AVFormatContext* made = nullptr;
    if (avformat_alloc_output_context2(&made, nullptr, "avi", name.constData()) < 0 || !made)
        return false;
    AVStream* stream = avformat_new_stream(made, nullptr);
    const AVRational rate = av_d2q(fps, 1000);
    bool ok = stream != nullptr;
    if (ok) {
        AVCodecParameters* par = stream->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = AV_CODEC_ID_RAWVIDEO;
        par->codec_tag = MKTAG('I', 'Y', 'U', 'V');
        par->format = AV_PIX_FMT_YUV420P;
        par->bits_per_coded_sample = 12;
        par->width = size.width;
        par->height = size.height;
        stream->time_base = av_inv_q(rate);
        stream->avg_frame_rate = rate;
        stream->r_frame_rate = rate;
        ok = avio_open(&made->pb, name.constData(), AVIO_FLAG_WRITE) >= 0 &&
             avformat_write_header(made, nullptr) >= 0;
    }
    if (!ok) {
        if (made->pb)
            avio_closep(&made->pb);
        avformat_free_context(made);
        return false;
    }
    context = made;
    frameTimeBase = av_inv_q(rate);
    frameSize = size;
    frames = 0;
    return true;
}

void YuvAviWriter::write(const cv::Mat& i420) {
    if (!context || i420.type() != CV_8UC1 || !i420.isContinuous() ||
        i420.cols != frameSize.width || i420.rows != frameSize.height * 3 / 2)
        return;
    AVPacket* packet = av_packet_alloc();
    if (!packet)
        return;
    packet->data = const_cast<uint8_t*>(i420.ptr());
    packet->size = int(i420.total());
    packet->stream_index = 0;
    packet->pts = packet->dts = frames++;
    packet->duration = 1;
    packet->flags = AV_PKT_FLAG_KEY;
    av_packet_rescale_ts(packet, frameTimeBase, context->streams[0]->time_base);
    av_write_frame(context, packet);
    av_packet_free(&packet);
}

void YuvAviWriter::release() {
    if (!context)
        return;
    av_write_trailer(context);
    avio_closep(&context->pb);
    avformat_free_context(context);
    context = nullptr;
}
