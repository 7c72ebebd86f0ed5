#include "recordings/avirepair.h"

#include <algorithm>

#include <QFile>
#include <QVector>
#include <QtEndian>

#include "recordings/avilayout.h"

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {
using namespace AviLayout;
constexpr quint32 kKeyFrame = 0x10; // index flag: the chunk decodes on its own

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
} // namespace

int AviRepair::finish(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return -1;
    const qint64 size = file.size();
    const QByteArray head = file.read(qMin(size, kHeaderSearchBytes));
    Layout layout;
    if (!AviLayout::read(head, &layout))
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
    const qint64 end =
        walk(file, layout.firstChunk(), size, [&](qint64 pos, const QByteArray& chunk) {
            // Every frame of these recordings (raw, or JPEG) is a key frame.
            const quint32 length = le32(chunk, 4);
            entries += chunk.left(4);
            appendLe32(entries, kKeyFrame);
            appendLe32(entries, quint32(pos - moviFourcc));
            appendLe32(entries, length);
            const int number = (chunk[0] - '0') * 10 + (chunk[1] - '0');
            if (number < layout.streams.size()) {
                Stream& s = layout.streams[number];
                ++s.chunks;
                s.largest = std::max(s.largest, length);
            }
        });
    if (end < 0)
        return -1;
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
    return file.open(QIODevice::ReadOnly) && AviLayout::isUnfinished(file.read(64), file.size());
}
