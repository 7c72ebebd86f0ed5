#include "fuzzsupport.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

FuzzMessages* capture = nullptr;

void countMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (!capture)
        return;
    if (type == QtDebugMsg)
        ++capture->debugs;
    else
        ++capture->warnings;
    capture->last = message;
}

} // namespace

void fuzzFail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant failed: %s\n", file, line, what);
    std::abort();
}

QString fuzzScratchPath(const QString& name) {
    static const std::unique_ptr<QTemporaryDir> dir = [] {
        const QFileInfo shm(QStringLiteral("/dev/shm"));
        auto made =
            shm.isDir() && shm.isWritable()
                ? std::make_unique<QTemporaryDir>(QStringLiteral("/dev/shm/ips-fuzz-XXXXXX"))
                : std::make_unique<QTemporaryDir>();
        if (!made->isValid())
            fuzzFail("scratch folder made", __FILE__, __LINE__);
        qInstallMessageHandler(countMessage);
        return made;
    }();
    return dir->filePath(name);
}

void fuzzWriteFile(const QString& path, const uint8_t* data, size_t size) {
    // The reader keeps each unreadable input beside it; millions of them would fill the folder.
    const QFileInfo info(path);
    for (const QString& kept : info.dir().entryList({info.fileName() + ".unreadable-*"}))
        QFile::remove(info.dir().filePath(kept));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
        fuzzFail("input written to the scratch file", __FILE__, __LINE__);
}

void fuzzCaptureMessages(FuzzMessages* into) {
    capture = into;
}
