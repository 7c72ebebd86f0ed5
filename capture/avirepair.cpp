#include "capture/avirepair.h"

#include <QFile>
#include <QtEndian>

namespace {
constexpr qint64 kHeaderSearchBytes = 1 << 20; // the muxer pads its header to some kilobytes

bool writeSize(QFile& file, qint64 at, qint64 value) {
    const quint32 le = qToLittleEndian(quint32(value));
    return file.seek(at) && file.write(reinterpret_cast<const char*>(&le), 4) == 4;
}
} // namespace

int AviRepair::trimToWholeFrames(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return -1;
    const qint64 size = file.size();
    const QByteArray head = file.read(qMin(size, kHeaderSearchBytes));
    if (!head.startsWith("RIFF") || head.mid(8, 4) != "AVI ")
        return 0;
    int movi = head.indexOf("movi");
    while (movi >= 0 && (movi < 8 || head.mid(movi - 8, 4) != "LIST"))
        movi = head.indexOf("movi", movi + 1);
    if (movi < 0)
        return 0;
    const qint64 moviList = movi - 8;

    // Walk the chunks of the list; a chunk that runs past the end of the file is the torn one.
    qint64 end = movi + 4;
    int frames = 0;
    while (end + 8 <= size) {
        if (!file.seek(end))
            return -1;
        const QByteArray chunk = file.read(8);
        if (chunk.size() != 8)
            return -1;
        const qint64 length = qFromLittleEndian<quint32>(chunk.constData() + 4);
        const qint64 next = end + 8 + length + (length & 1);
        if (next > size)
            break;
        if (chunk.mid(2, 2) == "dc" || chunk.mid(2, 2) == "db")
            ++frames;
        end = next;
    }
    if (frames == 0)
        return 0;
    if (!file.resize(end) || !writeSize(file, 4, end - 8) ||
        !writeSize(file, moviList + 4, end - moviList - 8) || !file.flush())
        return -1;
    return frames;
}

bool AviRepair::isUnfinished(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(12);
    return head.size() == 12 && head.startsWith("RIFF") && head.mid(8, 4) == "AVI " &&
           qFromLittleEndian<quint32>(head.constData() + 4) == 0xFFFFFFFFu;
}
