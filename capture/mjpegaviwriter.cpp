#include "capture/mjpegaviwriter.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>

#include <QtDebug>
#include <QtEndian>

#include <opencv2/core.hpp>

#include <jpeglib.h>

#include "capture/frameconversion.h"

namespace {
constexpr quint32 kPlaceholderSize = 0xFFFFFFFFu; // the repair's mark of an unfinished file
constexpr quint32 kKeyFrame = 0x10;
constexpr quint32 kHasIndex = 0x10;
constexpr quint32 kFrameMicroseconds = 40000;
constexpr quint32 kFps = 25;
// Where the fields written at the close lie, in the header as header() lays it out.
constexpr qint64 kTotalFramesAt = 48;
constexpr qint64 kMainBufferAt = 60;
constexpr qint64 kStreamLengthAt = 140;
constexpr qint64 kStreamBufferAt = 144;
constexpr qint64 kMoviSizeAt = 216;
constexpr qint64 kMoviFourccAt = 220;
constexpr qint64 kHeaderBytes = 224;
constexpr size_t kChunkHeaderBytes = 8;
constexpr size_t kInitialJpegRoom = 128 * 1024;
constexpr int kMcuRows = 16; // luma rows libjpeg takes at once in 4:2:0

void le32(QByteArray& out, quint32 value) {
    const quint32 le = qToLittleEndian(value);
    out.append(reinterpret_cast<const char*>(&le), 4);
}

void le16(QByteArray& out, quint16 value) {
    const quint16 le = qToLittleEndian(value);
    out.append(reinterpret_cast<const char*>(&le), 2);
}

void fourcc(QByteArray& out, const char* id, quint32 size) {
    out.append(id, 4);
    le32(out, size);
}

// RIFF > hdrl (avih, strl > strh, strf) > movi, with the sizes and counts that only the close
// knows left as an unfinished writer leaves them.
QByteArray header() {
    QByteArray h;
    fourcc(h, "RIFF", kPlaceholderSize);
    h += "AVI ";
    fourcc(h, "LIST", 192);
    h += "hdrl";
    fourcc(h, "avih", 56);
    for (quint32 v : {kFrameMicroseconds, 0u, 0u, kHasIndex, 0u /* frames */, 0u, 1u,
                      0u /* buffer */, quint32(kRecordWidth), quint32(kRecordHeight), 0u, 0u, 0u,
                      0u})
        le32(h, v);
    fourcc(h, "LIST", 116);
    h += "strl";
    fourcc(h, "strh", 56);
    h += "vidsMJPG";
    for (quint32 v : {0u, 0u, 0u, 1u, kFps, 0u, 0u /* frames */, 0u /* buffer */, kPlaceholderSize,
                      0u})
        le32(h, v);
    for (int v : {0, 0, kRecordWidth, kRecordHeight})
        le16(h, quint16(v));
    fourcc(h, "strf", 40);
    le32(h, 40);
    le32(h, kRecordWidth);
    le32(h, kRecordHeight);
    le16(h, 1);
    le16(h, 24);
    h += "MJPG";
    for (quint32 v : {quint32(kRecordWidth * kRecordHeight * 3), 0u, 0u, 0u, 0u})
        le32(h, v);
    fourcc(h, "LIST", kPlaceholderSize);
    h += "movi";
    return h;
}

bool writeAt(QFile& file, qint64 at, quint32 value) {
    QByteArray bytes;
    le32(bytes, value);
    return file.seek(at) && file.write(bytes) == 4;
}

// libjpeg's output straight into a vector, after the bytes it already holds.
struct VectorDestination {
    jpeg_destination_mgr manager;
    std::vector<uchar>* out;
    size_t start;
};

void initDestination(j_compress_ptr info) {
    auto* d = reinterpret_cast<VectorDestination*>(info->dest);
    d->out->resize(std::max(d->out->capacity(), d->start + kInitialJpegRoom));
    d->manager.next_output_byte = d->out->data() + d->start;
    d->manager.free_in_buffer = d->out->size() - d->start;
}

boolean growDestination(j_compress_ptr info) {
    auto* d = reinterpret_cast<VectorDestination*>(info->dest);
    const size_t used = d->out->size();
    d->out->resize(used * 2);
    d->manager.next_output_byte = d->out->data() + used;
    d->manager.free_in_buffer = d->out->size() - used;
    return TRUE;
}

void termDestination(j_compress_ptr info) {
    auto* d = reinterpret_cast<VectorDestination*>(info->dest);
    d->out->resize(d->out->size() - d->manager.free_in_buffer);
}

struct EncodeErrors {
    jpeg_error_mgr manager;
    std::jmp_buf bail;
};

[[noreturn]] void bailOut(j_common_ptr info) {
    std::longjmp(reinterpret_cast<EncodeErrors*>(info->err)->bail, 1);
}

// JPEG holds full-range YCbCr; the recording frame is at video range (Y 16..235, Cb and Cr
// 16..240).
cv::Mat rangeTable(int from, double scale, int to) {
    cv::Mat table(1, 256, CV_8UC1);
    for (int v = 0; v < 256; ++v)
        table.at<uchar>(v) = cv::saturate_cast<uchar>((v - from) * scale + to);
    return table;
}

// The planes go to libjpeg-turbo as they are (raw data): no colour conversion and no
// subsampling, both done already. Only plain data crosses the setjmp.
bool compress(const cv::Mat& planes, int width, int height, int quality, VectorDestination& dest) {
    jpeg_compress_struct info;
    EncodeErrors errors;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = bailOut;
    if (setjmp(errors.bail)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    info.dest = &dest.manager;
    info.image_width = JDIMENSION(width);
    info.image_height = JDIMENSION(height);
    info.input_components = 3;
    info.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&info); // 2 x 2 luma to chroma: 4:2:0
    jpeg_set_quality(&info, quality, TRUE);
    info.raw_data_in = TRUE;
    jpeg_start_compress(&info, TRUE);
    const uchar* y = planes.ptr();
    const uchar* u = y + size_t(width) * height;
    const uchar* v = u + size_t(width / 2) * (height / 2);
    JSAMPROW rows[3][kMcuRows];
    JSAMPARRAY components[3] = {rows[0], rows[1], rows[2]};
    for (int top = 0; top < height; top += kMcuRows) {
        // Rows past the bottom repeat the last one (heights that are no multiple of 16).
        for (int r = 0; r < kMcuRows; ++r)
            rows[0][r] = const_cast<uchar*>(y + size_t(std::min(top + r, height - 1)) * width);
        for (int r = 0; r < kMcuRows / 2; ++r) {
            const auto chroma = size_t(std::min(top / 2 + r, height / 2 - 1)) * (width / 2);
            rows[1][r] = const_cast<uchar*>(u + chroma);
            rows[2][r] = const_cast<uchar*>(v + chroma);
        }
        jpeg_write_raw_data(&info, components, kMcuRows);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}
} // namespace

bool MjpegAviWriter::encode(const cv::Mat& i420, int quality, std::vector<uchar>& out,
                            size_t start, cv::Mat& work) {
    const int width = i420.cols;
    const int height = i420.rows * 2 / 3;
    if (i420.type() != CV_8UC1 || !i420.isContinuous() || height * 3 / 2 != i420.rows ||
        width % 16 != 0 || height % 2 != 0 || height == 0)
        return false;
    static const cv::Mat luma = rangeTable(16, 255.0 / 219.0, 0);
    static const cv::Mat chroma = rangeTable(128, 255.0 / 224.0, 128);
    work.create(i420.size(), CV_8UC1);
    cv::LUT(i420.rowRange(0, height), luma, work.rowRange(0, height));
    cv::LUT(i420.rowRange(height, i420.rows), chroma, work.rowRange(height, i420.rows));
    out.resize(start);
    VectorDestination dest{{}, &out, start};
    dest.manager.init_destination = initDestination;
    dest.manager.empty_output_buffer = growDestination;
    dest.manager.term_destination = termDestination;
    return compress(work, width, height, quality, dest);
}

MjpegAviWriter::MjpegAviWriter(int quality)
    : quality(quality) {}

MjpegAviWriter::~MjpegAviWriter() {
    close();
}

bool MjpegAviWriter::open(const QString& path) {
    file.setFileName(path);
    // Unbuffered: every frame goes to the file system as it is written, so a full drive is
    // noticed at the frame it cuts, and a kill loses nothing that was written.
    const QByteArray h = header();
    Q_ASSERT(h.size() == kHeaderBytes); // the offsets above hold
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered) ||
        file.write(h) != h.size()) {
        qWarning().noquote() << "cannot write" << path << file.errorString();
        file.close();
        return false;
    }
    tracked = h.size();
    return true;
}

bool MjpegAviWriter::write(const cv::Mat& frame) {
    if (failed || !file.isOpen())
        return false;
    if (!encode(frame, quality, chunk, kChunkHeaderBytes, fullRange)) {
        failed = true;
        return false;
    }
    const auto length = quint32(chunk.size() - kChunkHeaderBytes);
    if (length & 1)
        chunk.push_back(0);
    std::copy_n("00dc", 4, chunk.begin());
    const quint32 le = qToLittleEndian(length);
    std::copy_n(reinterpret_cast<const uchar*>(&le), 4, chunk.begin() + 4);
    const auto size = qint64(chunk.size());
    if (file.write(reinterpret_cast<const char*>(chunk.data()), size) != size) {
        failed = true;
        return false;
    }
    index += "00dc";
    le32(index, kKeyFrame);
    le32(index, quint32(tracked - kMoviFourccAt));
    le32(index, length);
    tracked += size;
    ++frames;
    largest = std::max(largest, length);
    return true;
}

void MjpegAviWriter::close() {
    if (!file.isOpen())
        return;
    // After a failed write the file is left as it is, unfinished: the repair keeps its whole
    // frames.
    if (!failed) {
        QByteArray tail;
        fourcc(tail, "idx1", quint32(index.size()));
        tail += index;
        const qint64 end = tracked + tail.size();
        // The RIFF size, which marks a finished file, last.
        failed = !(file.seek(tracked) && file.write(tail) == tail.size() &&
                   writeAt(file, kMoviSizeAt, quint32(tracked - kMoviFourccAt)) &&
                   writeAt(file, kTotalFramesAt, frames) && writeAt(file, kMainBufferAt, largest) &&
                   writeAt(file, kStreamLengthAt, frames) &&
                   writeAt(file, kStreamBufferAt, largest) && writeAt(file, 4, quint32(end - 8)));
    }
    file.close();
}
