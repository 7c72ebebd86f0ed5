#include "recordings/avirepair.h"

#include <algorithm>

#include <QFile>
#include <QVector>
#include <QtEndian>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {
constexpr quint32 kPlaceholderSize = 0xFFFFFFFFu; // what the writer leaves until it finishes
constexpr qint64 kHeaderSearchBytes = 1 << 20;   // the muxer pads its header to some kilobytes
constexpr int kHeaderDepth = 4;                  // RIFF > hdrl > strl > strh, and no deeper
constexpr quint32 kKeyFrame = 0x10;              // index flag: the chunk decodes on its own
// Offsets of the fields written, within the data of the main and of a stream header.
constexpr qint64 kTotalFramesAt = 16;
constexpr qint64 kStreamLengthAt = 32;
constexpr qint64 kSuggestedBufferAt = 36;
constexpr qint64 kStreamHeaderBytes = 40;

struct Stream {
    qint64 header = -1; // offset of its strh data
    bool video = false;
    quint32 chunks = 0;
    quint32 largest = 0;
};

struct Layout {
    qint64 mainHeader = -1; // offset of the avih data
    qint64 moviList = -1;   // offset of the "LIST" that holds the chunks
    QVector<Stream> streams;
};

quint32 le32(const QByteArray& bytes, qint64 at) {
    return at + 4 <= bytes.size() ? qFromLittleEndian<quint32>(bytes.constData() + at) : 0;
}

void appendLe32(QByteArray& out, quint32 value) {
    const quint32 le = qToLittleEndian(value);
    out.append(reinterpret_cast<const char*>(&le), 4);
}

bool writeLe32(QFile& file, qint64 at, quint32 value) {
    QByteArray bytes;
    appendLe32(bytes, value);
    return file.seek(at) && file.write(bytes) == 4;
}

// Puts what was written on the disk, so that what is written next cannot land before it.
bool syncToDisk(QFile& file) {
#ifdef Q_OS_WIN
    return ::_commit(file.handle()) == 0;
#else
    return ::fsync(file.handle()) == 0;
#endif
}

// Finds the main header, the stream headers and the chunk list within [from, to) of the head.
void scan(const QByteArray& head, qint64 from, qint64 to, int depth, Layout& layout) {
    for (qint64 pos = from; pos + 8 <= to && layout.moviList < 0 && depth <= kHeaderDepth;) {
        const QByteArray id = head.mid(int(pos), 4);
        const qint64 size = le32(head, pos + 4);
        const QByteArray type = head.mid(int(pos) + 8, 4);
        if (id == "LIST" && type == "movi")
            layout.moviList = pos;
        else if (id == "LIST")
            scan(head, pos + 12, qMin(pos + 8 + size, to), depth + 1, layout);
        else if (id == "avih" && size >= kTotalFramesAt + 4)
            layout.mainHeader = pos + 8;
        else if (id == "strh" && size >= kStreamHeaderBytes)
            layout.streams.append(Stream{pos + 8, type == "vids", 0, 0});
        else if (id == "strh") // keeps the numbering of the streams that follow
            layout.streams.append(Stream{});
        pos += 8 + size + (size & 1);
    }
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// "00dc", "01wb": a stream's data, numbered in two digits.
bool isStreamChunk(const QByteArray& id) {
    return isDigit(id[0]) && isDigit(id[1]) && isLetter(id[2]) && isLetter(id[3]);
}

// Other chunks a writer may put among the data; anything else (an index an earlier repair began,
// or the zeros a power cut leaves) ends the data.
bool isFillerChunk(const QByteArray& id) {
    return id.startsWith("JUNK") || (id.startsWith("ix") && isDigit(id[2]) && isDigit(id[3]));
}
} // namespace

int AviRepair::finish(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return -1;
    const qint64 size = file.size();
    const QByteArray head = file.read(qMin(size, kHeaderSearchBytes));
    if (!head.startsWith("RIFF") || head.mid(8, 4) != "AVI ")
        return 0;
    Layout layout;
    scan(head, 12, head.size(), 0, layout);
    if (layout.moviList < 0 || layout.mainHeader < 0)
        return 0;

    // From here until the last step the file reads as unfinished, so that a repair cut short is
    // noticed and run again, also where a writer's close got as far as the sizes.
    if (le32(head, 4) != kPlaceholderSize &&
        !(writeLe32(file, 4, kPlaceholderSize) && syncToDisk(file)))
        return -1;

    // Walk the chunks; one that runs past the end of the file is the torn one. The index gives
    // each chunk's place from the list's "movi".
    const qint64 moviFourcc = layout.moviList + 8;
    QByteArray entries;
    qint64 end = moviFourcc + 4;
    while (end + 8 <= size) {
        if (!file.seek(end))
            return -1;
        const QByteArray chunk = file.read(8);
        if (chunk.size() != 8)
            return -1;
        const quint32 length = le32(chunk, 4);
        const qint64 next = end + 8 + length + (length & 1);
        const bool stream = isStreamChunk(chunk);
        if (next > size || !(stream || isFillerChunk(chunk)))
            break;
        if (stream) {
            // Every frame of these recordings (raw, or JPEG) is a key frame.
            entries += chunk.left(4);
            appendLe32(entries, kKeyFrame);
            appendLe32(entries, quint32(end - moviFourcc));
            appendLe32(entries, length);
            const int number = (chunk[0] - '0') * 10 + (chunk[1] - '0');
            if (number < layout.streams.size()) {
                Stream& s = layout.streams[number];
                ++s.chunks;
                s.largest = std::max(s.largest, length);
            }
        }
        end = next;
    }
    quint32 frames = 0;
    for (const Stream& s : layout.streams)
        if (s.video)
            frames = std::max(frames, s.chunks);
    if (frames == 0)
        return 0;

    // Cut, append the index and put both on the disk before any header says the file is whole.
    QByteArray index("idx1");
    appendLe32(index, quint32(entries.size()));
    index += entries;
    if (!file.resize(end) || !file.seek(end) || file.write(index) != index.size() ||
        !syncToDisk(file))
        return -1;
    bool written = writeLe32(file, layout.moviList + 4, quint32(end - moviFourcc)) &&
                   writeLe32(file, layout.mainHeader + kTotalFramesAt, frames);
    for (const Stream& s : layout.streams)
        if (s.video)
            written = written && writeLe32(file, s.header + kStreamLengthAt, s.chunks) &&
                      writeLe32(file, s.header + kSuggestedBufferAt, s.largest);
    if (!written || !syncToDisk(file))
        return -1;
    // The mark of a finished file, last.
    if (!writeLe32(file, 4, quint32(end + index.size() - 8)) || !syncToDisk(file))
        return -1;
    return int(frames);
}

bool AviRepair::isUnfinished(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(64);
    if (head.size() < 12 || !head.startsWith("RIFF") || head.mid(8, 4) != "AVI ")
        return false;
    const qint64 riffSize = le32(head, 4);
    if (riffSize == kPlaceholderSize || file.size() != 8 + riffSize + (riffSize & 1))
        return true;
    // Sizes without a frame count: an earlier version's repair, which wrote no index either.
    return head.mid(12, 4) == "LIST" && head.mid(20, 4) == "hdrl" && head.mid(24, 4) == "avih" &&
           head.size() >= 32 + kTotalFramesAt + 4 && le32(head, 32 + kTotalFramesAt) == 0;
}
