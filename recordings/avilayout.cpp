#include "recordings/avilayout.h"

#include <cstring>

#include <QFile>
#include <QtEndian>

namespace {
constexpr int kHeaderDepth = 4; // RIFF > hdrl > strl > strh, and no deeper

using AviLayout::le32;

// Whether `bytes` holds the four characters `id` at `at`. Compared in place: a first look at a
// day reads the headers of thousands of files.
bool holds(const QByteArray& bytes, qint64 at, const char* id) {
    return at >= 0 && at + 4 <= bytes.size() && std::memcmp(bytes.constData() + at, id, 4) == 0;
}

// Finds the main header, the stream headers and the chunk list within [from, to) of the head.
void scan(const QByteArray& head, qint64 from, qint64 to, int depth, AviLayout::Layout& layout) {
    using namespace AviLayout;
    for (qint64 pos = from; pos + 8 <= to && layout.moviList < 0 && depth <= kHeaderDepth;) {
        const qint64 size = le32(head, pos + 4);
        const bool list = holds(head, pos, "LIST");
        if (list && holds(head, pos + 8, "movi"))
            layout.moviList = pos;
        else if (list)
            scan(head, pos + 12, qMin(pos + 8 + size, to), depth + 1, layout);
        else if (holds(head, pos, "avih") && size >= kTotalFramesAt + 4)
            layout.mainHeader = pos + 8;
        else if (holds(head, pos, "strh") && size >= kStreamHeaderBytes)
            layout.streams.append(Stream{pos + 8, holds(head, pos + 8, "vids"), 0, 0});
        else if (holds(head, pos, "strh")) // keeps the numbering of the streams that follow
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

quint32 AviLayout::le32(const QByteArray& bytes, qint64 at) {
    return at >= 0 && at + 4 <= bytes.size() ? qFromLittleEndian<quint32>(bytes.constData() + at)
                                             : 0;
}

bool AviLayout::read(const QByteArray& head, Layout* layout) {
    *layout = Layout();
    if (!holds(head, 0, "RIFF") || !holds(head, 8, "AVI "))
        return false;
    scan(head, 12, head.size(), 0, *layout);
    return layout->moviList >= 0 && layout->mainHeader >= 0;
}

bool AviLayout::readGrowing(const std::function<QByteArray(qint64)>& readHead, QByteArray* head,
                            Layout* layout) {
    qint64 bytes = kFirstHeadBytes;
    *head = readHead(bytes);
    while (!read(*head, layout)) {
        if (head->size() < bytes || bytes >= kHeaderSearchBytes) // the file or the search ended
            return false;
        bytes *= 8;
        *head = readHead(qMin(bytes, kHeaderSearchBytes));
    }
    return true;
}

QByteArray AviLayout::videoHandler(const QByteArray& head, const Layout& layout) {
    for (const Stream& s : layout.streams)
        if (s.video)
            return head.mid(int(s.header + kHandlerAt), 4);
    return QByteArray();
}

bool AviLayout::isUnfinished(const QByteArray& head, qint64 fileBytes) {
    if (head.size() < 12 || !head.startsWith("RIFF") || head.mid(8, 4) != "AVI ")
        return false;
    const qint64 riffSize = le32(head, 4);
    if (riffSize == kPlaceholderSize || fileBytes != 8 + riffSize + (riffSize & 1))
        return true;
    // Sizes without a frame count: an earlier version's repair, which wrote no index either.
    return head.mid(12, 4) == "LIST" && head.mid(20, 4) == "hdrl" && head.mid(24, 4) == "avih" &&
           head.size() >= 32 + kTotalFramesAt + 4 && le32(head, 32 + kTotalFramesAt) == 0;
}

qint64 AviLayout::walk(QFile& file, qint64 pos, qint64 fileBytes,
                       const std::function<void(qint64, const QByteArray&)>& onStreamChunk) {
    while (pos + kChunkHeaderBytes <= fileBytes) {
        if (!file.seek(pos))
            return -1;
        const QByteArray chunk = file.read(kChunkHeaderBytes);
        if (chunk.size() != kChunkHeaderBytes)
            return -1;
        const quint32 length = le32(chunk, 4);
        const qint64 next = pos + kChunkHeaderBytes + length + (length & 1);
        const bool stream = isStreamChunk(chunk);
        if (next > fileBytes || !(stream || isFillerChunk(chunk)))
            break;
        if (stream)
            onStreamChunk(pos, chunk);
        pos = next;
    }
    return pos;
}
