#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>

// Writes one camera's activity figures into its day files (see activity.h): one byte per second
// at the second's own offset, so that every second is written once, in place, and a second never
// depends on a later write. Not thread-safe: one thread, or one lock, at a time.
class ActivityWriter final {
public:
    ActivityWriter(const QString& dataDrive, int camera);
    ~ActivityWriter();
    ActivityWriter(const ActivityWriter&) = delete;
    ActivityWriter& operator=(const ActivityWriter&) = delete;

    // Stores `percent` (0..100) as the figure of the second that holds `when`, in the file of
    // that local day, made with its folders when missing. False when it cannot be written (the
    // first failure per file is logged); the recording goes on regardless.
    bool write(const QDateTime& when, float percent);
    void close();

private:
    bool openDay(const QDate& day);

    const QString dataDrive;
    const int camera;
    int fd = -1;
    QDate day;
    qint64 dayStartMs = 0; // epoch ms of the open day's first second
    qint64 dayEndMs = 0;
    bool failureLogged = false;
};
