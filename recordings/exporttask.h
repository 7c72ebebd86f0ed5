#pragma once

#include <atomic>

#include <QMetaType>
#include <QObject>
#include <QThread>

#include "recordings/exportjob.h"

Q_DECLARE_METATYPE(Review::ExportResult)

namespace Review {

// Runs one runExport() on a thread of its own, for a window: start() once, then progress() and,
// at the end, finished() arrive in the owner's thread (queued; never while the owner waits).
// cancel() asks the export to stop between frames: finished() still comes, with `cancelled`
// set and no file left behind. Deleting the task cancels a running export and waits for it.
// Threads: the owner's thread calls every function and receives the signals; the export thread
// reads the request (fixed at construction) and the atomic cancel flag, and posts to the owner.
class ExportTask final : public QObject {
    Q_OBJECT
public:
    explicit ExportTask(const ExportRequest& request, QObject* parent = nullptr);
    ~ExportTask() override;

    void start();
    void cancel();
    bool isRunning() const;

signals:
    void progress(int permille); // 0..1000
    void finished(const Review::ExportResult& result);

private:
    const ExportRequest request;
    std::atomic<bool> cancelRequested{false};
    QThread* thread = nullptr; // owned; runs the export once
};

} // namespace Review
