#include "capture/mjpegaviwriter.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>

#include <QtDebug>
#include <QtEndian>

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

// libjpeg-turbo takes the blue-green-red rows as they are: its SIMD code does the colour
// conversion and the 4:2:0 subsampling. Only plain data crosses the setjmp.
bool compress(const cv::Mat& bgr, int quality, VectorDestination& dest) {
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
    info.image_width = JDIMENSION(bgr.cols);
    info.image_height = JDIMENSION(bgr.rows);
    info.input_components = 3;
    info.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<uchar*>(bgr.ptr(int(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}
} // namespace

bool MjpegAviWriter::encode(const cv::Mat& bgr, int quality, std::vector<uchar>& out,
                            size_t start) {
    if (bgr.empty() || bgr.type() != CV_8UC3)
        return false;
    out.resize(start);
    VectorDestination dest{{}, &out, start};
    dest.manager.init_destination = initDestination;
    dest.manager.empty_output_buffer = growDestination;
    dest.manager.term_destination = termDestination;
    return compress(bgr, quality, dest);
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
    if (!encode(frame, quality, chunk, kChunkHeaderBytes)) {
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
