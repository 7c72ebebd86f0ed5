#include "recordings/openrecordings.h"

#include <atomic>
#include <mutex>

#include <QHash>

namespace {
std::mutex listMutex;
// How many holders have each file open: a worker writing it, exports reading it. One holder's
// remove() must not end another's protection (an export of the file being recorded ends first).
QHash<QString, int>& openFiles() {
    static QHash<QString, int> files;
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
    ++openFiles()[path];
}

void OpenRecordings::remove(const QString& path) {
    std::lock_guard<std::mutex> lock(listMutex);
    const auto it = openFiles().find(path);
    if (it != openFiles().end() && --it.value() <= 0)
        openFiles().erase(it);
}

QSet<QString> OpenRecordings::snapshot() {
    std::lock_guard<std::mutex> lock(listMutex);
    // A set of its own: an implicitly shared copy would share the list's data with the next
    // add() or remove(), which decides whether to detach by a relaxed load that orders nothing.
    QSet<QString> copy;
    copy.reserve(openFiles().size());
    for (auto it = openFiles().cbegin(); it != openFiles().cend(); ++it)
        copy.insert(it.key());
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
