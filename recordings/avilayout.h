#pragma once

#include <functional>

#include <QByteArray>
#include <QVector>

class QFile;

// The parts of an AVI recording that the repair and the review side both read: where the
// headers and the chunk list lie in the file's head, and the walk over the chunks, which stops at
// a chunk torn by a kill or at bytes that are no chunk.
namespace AviLayout {

constexpr quint32 kPlaceholderSize = 0xFFFFFFFFu; // what the writer leaves until it finishes
constexpr qint64 kHeaderSearchBytes = 1 << 20;    // the muxer pads its header to some kilobytes
constexpr qint64 kFirstHeadBytes = 12 * 1024;     // holds our writers' headers (FFmpeg's: 8.3 KiB)
// Offsets of fields within the data of the main and of a stream header.
constexpr qint64 kTotalFramesAt = 16;
constexpr qint64 kHandlerAt = 4;
constexpr qint64 kStreamLengthAt = 32;
constexpr qint64 kSuggestedBufferAt = 36;
constexpr qint64 kStreamHeaderBytes = 40;
constexpr qint64 kChunkHeaderBytes = 8;
// One recorded IYUV frame (640 x 480, 12 bits a pixel) with its chunk header: what an IYUV
// recording grows by per frame, with nothing between the chunks.
constexpr qint64 kIyuvFrameBytes = 640 * 480 * 3 / 2;
constexpr qint64 kIyuvChunkBytes = kIyuvFrameBytes + kChunkHeaderBytes;

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
    // Where the first chunk of the list lies: after "LIST", its size and "movi".
    qint64 firstChunk() const { return moviList + 12; }
};

quint32 le32(const QByteArray& bytes, qint64 at);

// The layout found in `head`, the first bytes of a file; false when it is no AVI or its main
// header or chunk list does not begin within `head`.
bool read(const QByteArray& head, Layout* layout);

// The layout of a file whose first bytes `readHead(bytes)` returns: reads kFirstHeadBytes, and
// more, up to kHeaderSearchBytes, only for a header that runs further. `head` receives the bytes
// read. False as read().
bool readGrowing(const std::function<QByteArray(qint64 bytes)>& readHead, QByteArray* head,
                 Layout* layout);

// The handler of the first video stream ("IYUV", "MJPG"), empty when there is none.
QByteArray videoHandler(const QByteArray& head, const Layout& layout);

// Whether an AVI whose head (at least 64 bytes) is `head` and which holds `fileBytes` still needs
// the repair: its RIFF size is the writer's placeholder or does not match the file's length, or
// sizes were written without frame counts.
bool isUnfinished(const QByteArray& head, qint64 fileBytes);

// Walks the chunks of `file` from `pos` up to `fileBytes`, handing each chunk of a stream's data
// (its offset and 8-byte header) to `onStreamChunk`, and skipping filler. Stops at a chunk that
// runs past `fileBytes` (torn by a kill, or still being written) or at bytes that are no chunk.
// Returns where the last whole chunk ends, or -1 when the file cannot be read.
qint64 walk(QFile& file, qint64 pos, qint64 fileBytes,
            const std::function<void(qint64 pos, const QByteArray& chunk)>& onStreamChunk);

} // namespace AviLayout
