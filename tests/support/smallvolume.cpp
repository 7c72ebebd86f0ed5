#include "support/smallvolume.h"

#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStorageInfo>

bool SmallVolume::mount(const QString& path, int sizeMiB, QString* why) {
    if (::geteuid() != 0) {
        *why = QStringLiteral("mounting a small volume needs root");
        return false;
    }
    QProcess mounter;
    mounter.start(QStringLiteral("mount"),
                  {"-t", "tmpfs", "-o", QStringLiteral("size=%1m").arg(sizeMiB), "tmpfs", path});
    if (!mounter.waitForFinished(10000) || mounter.exitCode() != 0) {
        *why = QStringLiteral("cannot mount a tmpfs here: %1")
                   .arg(QString::fromLocal8Bit(mounter.readAllStandardError()).trimmed());
        return false;
    }
    mounted = path;
    return true;
}

SmallVolume::~SmallVolume() {
    if (mounted.isEmpty())
        return;
    if (QProcess::execute(QStringLiteral("umount"), {mounted}) != 0)
        QProcess::execute(QStringLiteral("umount"), {"-l", mounted});
}

namespace {
qint64 freeBytes(const QString& path) {
    QStorageInfo info(path);
    info.refresh();
    return info.bytesAvailable();
}
} // namespace

bool fillVolume(const QString& path, qint64 leaveBytes) {
    QFile filler(path);
    if (!filler.open(QIODevice::WriteOnly))
        return false;
    const QByteArray block(1 << 20, 'x');
    while (freeBytes(QFileInfo(path).absolutePath()) > leaveBytes + block.size()) {
        if (filler.write(block) != block.size())
            return false;
        filler.flush();
    }
    const qint64 rest = freeBytes(QFileInfo(path).absolutePath()) - leaveBytes;
    if (rest > 0)
        filler.write(QByteArray(int(rest), 'x'));
    return filler.flush();
}
