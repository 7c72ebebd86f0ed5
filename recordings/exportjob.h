#pragma once

#include <atomic>
#include <functional>

#include <QString>
#include <QVector>

#include "recordings/recordingindex.h"

// Hands footage over: one camera's span, as one H.264 MP4 file at 25 fps, with a plain-text
// manifest beside it (camera, location, start, end, frames, activity, every source file with its
// SHA-256, and the SHA-256 of the export).
namespace Review {

struct ExportRequest {
    int camera = 0;
    QString location;
    qint64 startMs = 0;
    qint64 endMs = 0;
    QVector<Segment> sources; // the camera's files that overlap the span, oldest first
    QString dataDrive;        // for the activity of the span
    QString outputFolder;
};

struct ExportResult {
    bool ok = false;
    bool cancelled = false;
    QString videoPath;
    QString manifestPath;
    QString error;   // set when neither ok nor cancelled
    qint64 frames = 0;
};

// Base name of an export, from camera, location and times, safe as a file name on every system.
QString exportBaseName(int camera, const QString& location, qint64 startMs, qint64 endMs);

// Runs the whole export on the calling thread (never the GUI thread). The source files are
// registered as open recordings for its duration, so the disk-space keeper spares them.
// `progress` gets 0..1000; `cancel` is polled between frames. A cancelled or failed export
// leaves no file behind.
ExportResult runExport(const ExportRequest& request, const std::function<void(int)>& progress,
                       const std::atomic<bool>* cancel);

} // namespace Review
