#include "recordings/recordingreader.h"

#include <QFileInfo>

#include <opencv2/imgproc.hpp>

#include "recordings/avilayout.h"
#include "recordings/jpegdecode.h"

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace Review {
namespace {
constexpr qint64 kIndexEntryBytes = 16;
constexpr int kRememberedFiles = 64; // frame offsets kept of this many compact files
// A JPEG frame larger than this is no recorded frame of 640 x 480: its length is damaged.
constexpr quint32 kMaxJpegBytes = 640 * 480 * 3;
constexpr qint64 kMaxReadBytes = 64 * 1024 * 1024; // an index of millions of frames

// An open file that is no longer under its name: the keeper deleted it, or the user did. POSIX
// keeps it readable through the handle, so this asks for its links.
bool isDeleted(QFile& file) {
#ifdef Q_OS_WIN
    return !QFileInfo::exists(file.fileName());
#else
    struct stat info;
    return ::fstat(file.handle(), &info) != 0 || info.st_nlink == 0;
#endif
}

bool readAt(QFile& file, qint64 at, QByteArray& into, qint64 bytes) {
    if (bytes < 0 || bytes > kMaxReadBytes) // a length read from a damaged file
        return false;
    into.resize(int(bytes));
    return file.seek(at) && file.read(into.data(), bytes) == bytes;
}
} // namespace

void RecordingReader::clear() {
    cache = Cache();
    frameOffsets.clear();
}

bool RecordingReader::openFile(const Segment& segment, QString* why) {
    if (cache.file && cache.path == segment.path)
        return true;
    cache = Cache();
    auto file = std::make_unique<QFile>(segment.path);
    if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *why = QFileInfo::exists(segment.path) ? QStringLiteral("file unreadable")
                                               : QStringLiteral("file deleted");
        return false;
    }
    QByteArray head;
    AviLayout::Layout layout;
    QFile& f = *file;
    if (!AviLayout::readGrowing(
            [&f](qint64 bytes) { return f.seek(0) ? f.read(bytes) : QByteArray(); }, &head,
            &layout)) {
        *why = QStringLiteral("no recording header");
        return false;
    }
    const QByteArray handler = AviLayout::videoHandler(head, layout);
    cache.format = handler == "IYUV"   ? FileFormat::Iyuv
                   : handler == "MJPG" ? FileFormat::Mjpeg
                                       : FileFormat::Unknown;
    if (cache.format == FileFormat::Unknown) {
        *why = QStringLiteral("not a recording format");
        return false;
    }
    cache.firstChunk = layout.firstChunk();
    cache.moviFourcc = layout.moviList + 8;
    if (!AviLayout::isUnfinished(head, file->size()))
        cache.indexAt = cache.moviFourcc + AviLayout::le32(head, layout.moviList + 4);
    cache.path = segment.path;
    cache.file = std::move(file);
    return true;
}

bool RecordingReader::findCompactFrame(qint64 index, qint64* offset, QString* why) {
    CompactFrames& frames = frameOffsets[cache.path];
    if (index < frames.offsets.size()) {
        *offset = frames.offsets[int(index)];
        return true;
    }
    QFile& file = *cache.file;
    const qint64 size = file.size();
    QByteArray bytes;
    // A finished file: its index, read once.
    if (frames.offsets.isEmpty() && cache.indexAt > 0 && readAt(file, cache.indexAt, bytes, 8) &&
        bytes.startsWith("idx1")) {
        const qint64 length = AviLayout::le32(bytes, 4);
        if (cache.indexAt + 8 + length <= size && readAt(file, cache.indexAt + 8, bytes, length)) {
            // Offsets count from "movi" as a rule, from the file's start in some writers.
            const qint64 base =
                AviLayout::le32(bytes, 8) == cache.firstChunk ? 0 : cache.moviFourcc;
            for (qint64 at = 0; at + kIndexEntryBytes <= bytes.size(); at += kIndexEntryBytes)
                if (bytes.mid(int(at) + 2, 2) == "dc")
                    frames.offsets.append(base + AviLayout::le32(bytes, at + 8));
            frames.walkedTo = size;
        }
    }
    // Without an index (the file is being written, or was torn): walk on from where the last
    // walk stopped.
    if (frames.walkedTo < 0 || (frames.walkedTo < size && cache.indexAt < 0)) {
        const qint64 end =
            AviLayout::walk(file, frames.walkedTo < 0 ? cache.firstChunk : frames.walkedTo, size,
                            [&](qint64 pos, const QByteArray& chunk) {
                                if (chunk.mid(2, 2) == "dc")
                                    frames.offsets.append(pos);
                            });
        if (end < 0) {
            *why = QStringLiteral("file unreadable");
            return false;
        }
        frames.walkedTo = end;
    }
    if (index >= frames.offsets.size()) {
        *why = QStringLiteral("frame torn or not written");
        return false;
    }
    *offset = frames.offsets[int(index)];
    return true;
}

RecordingReader::Result RecordingReader::readFrame(const Segment& segment, qint64 index,
                                                   cv::Mat* bgr, QString* note) {
    cv::Mat unwanted;
    cv::Mat& out = bgr ? *bgr : unwanted;
    QString why;
    const auto missing = [&](const QString& reason) {
        if (note)
            *note = reason;
        return Result::Missing;
    };
    if (index < 0 || index >= segment.frames)
        return missing(QStringLiteral("no such frame"));
    if (frameOffsets.size() > kRememberedFiles)
        frameOffsets.clear();
    if (!openFile(segment, &why))
        return missing(why);
    QFile& file = *cache.file;
    if (isDeleted(file)) {
        frameOffsets.remove(cache.path);
        cache = Cache();
        return missing(QStringLiteral("file deleted"));
    }

    qint64 offset = 0;
    qint64 expected = 0; // the frame's length, where the format fixes it
    if (cache.format == FileFormat::Iyuv) {
        offset = cache.firstChunk + index * AviLayout::kIyuvChunkBytes;
        expected = AviLayout::kIyuvFrameBytes;
    } else if (!findCompactFrame(index, &offset, &why)) {
        return missing(why);
    }
    // A raw frame's length is known: its chunk comes in one read, header and all.
    if (!readAt(file, offset, chunk, AviLayout::kChunkHeaderBytes + expected))
        return missing(QStringLiteral("frame torn"));
    const quint32 length = AviLayout::le32(chunk, 4);
    if (chunk.mid(2, 2) != "dc" || (expected > 0 && length != expected) ||
        (expected == 0 && length > kMaxJpegBytes))
        return missing(QStringLiteral("no frame where the file says"));
    if (expected == 0 && !readAt(file, offset + AviLayout::kChunkHeaderBytes, chunk, length))
        return missing(QStringLiteral("frame torn"));

    const auto* data = reinterpret_cast<const uchar*>(chunk.constData()) +
                       (expected > 0 ? AviLayout::kChunkHeaderBytes : 0);
    if (cache.format == FileFormat::Iyuv) {
        const cv::Mat i420(480 * 3 / 2, 640, CV_8UC1, const_cast<uchar*>(data));
        cv::cvtColor(i420, out, cv::COLOR_YUV2BGR_I420);
        return Result::Ok;
    }
    DecodedPicture picture;
    picture.bgr = out;
    if (!decodeJpeg(data, size_t(length), 8, false, picture, planes) || picture.bgr.empty())
        return missing(QStringLiteral("frame damaged"));
    out = picture.bgr;
    return Result::Ok;
}

} // namespace Review
