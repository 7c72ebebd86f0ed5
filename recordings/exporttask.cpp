#include "recordings/exporttask.h"

Review::ExportTask::ExportTask(const ExportRequest& request, QObject* parent)
    : QObject(parent), request(request) {
    qRegisterMetaType<Review::ExportResult>();
}

Review::ExportTask::~ExportTask() {
    if (!thread)
        return;
    cancel();
    thread->wait();
    delete thread;
}

void Review::ExportTask::start() {
    if (thread)
        return;
    // The export's own priority is lowered inside runExport(); this covers systems where only
    // Qt can do it.
    thread = QThread::create([this] {
        ExportResult result = runExport(
            request,
            [this](int permille) {
                QMetaObject::invokeMethod(
                    this, [this, permille] { emit progress(permille); }, Qt::QueuedConnection);
            },
            &cancelRequested);
        QMetaObject::invokeMethod(
            this, [this, result = std::move(result)] { emit finished(result); },
            Qt::QueuedConnection);
    });
    thread->start(QThread::LowPriority);
}

void Review::ExportTask::cancel() {
    cancelRequested = true;
}

bool Review::ExportTask::isRunning() const {
    return thread && thread->isRunning();
}
