#include "capture/openrecordings.h"

#include <atomic>
#include <mutex>

namespace {
std::mutex listMutex;
QSet<QString>& openFiles()
{
    static QSet<QString> files;
    return files;
}
std::atomic<quint64> failures{0};
} // namespace

void OpenRecordings::add(const QString& path)
{
    std::lock_guard<std::mutex> lock(listMutex);
    openFiles().insert(path);
}

void OpenRecordings::remove(const QString& path)
{
    std::lock_guard<std::mutex> lock(listMutex);
    openFiles().remove(path);
}

QSet<QString> OpenRecordings::snapshot()
{
    std::lock_guard<std::mutex> lock(listMutex);
    return openFiles();
}

void OpenRecordings::reportWriteFailure() { ++failures; }

quint64 OpenRecordings::writeFailureCount() { return failures.load(); }
