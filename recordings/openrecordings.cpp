#include "recordings/openrecordings.h"

#include <atomic>
#include <mutex>

namespace {
std::mutex listMutex;
QSet<QString>& openFiles() {
    static QSet<QString> files;
    return files;
}
QSet<QString>& awaitingRepair() {
    static QSet<QString> files;
    return files;
}
std::atomic<quint64> failures{0};
} // namespace

void OpenRecordings::add(const QString& path) {
    std::lock_guard<std::mutex> lock(listMutex);
    openFiles().insert(path);
}

void OpenRecordings::remove(const QString& path) {
    std::lock_guard<std::mutex> lock(listMutex);
    openFiles().remove(path);
}

QSet<QString> OpenRecordings::snapshot() {
    std::lock_guard<std::mutex> lock(listMutex);
    // A set of its own: an implicitly shared copy would share the list's data with the next
    // add() or remove(), which decides whether to detach by a relaxed load that orders nothing.
    QSet<QString> copy;
    copy.reserve(openFiles().size());
    for (const QString& path : openFiles())
        copy.insert(path);
    return copy;
}

void OpenRecordings::reportWriteFailure() {
    ++failures;
}

quint64 OpenRecordings::writeFailureCount() {
    return failures.load();
}

void OpenRecordings::awaitRepair(const QString& path) {
    std::lock_guard<std::mutex> lock(listMutex);
    awaitingRepair().insert(path);
}

QStringList OpenRecordings::takeAwaitingRepair() {
    QSet<QString> taken;
    {
        std::lock_guard<std::mutex> lock(listMutex);
        taken.swap(awaitingRepair());
    }
    return taken.values();
}
