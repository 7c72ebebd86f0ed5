#include "recordings/recordingpaths.h"

#include <QDir>

namespace {

// A drive given without its closing slash would otherwise glue "VideoData" onto its last name.
QString driveRoot(const QString& dataDrive) {
    if (dataDrive.isEmpty() || dataDrive.endsWith(QLatin1Char('/')))
        return dataDrive;
    return dataDrive + QLatin1Char('/');
}

// Appends one level to `path` and makes it; a failure shows later, when the file is opened.
void descend(QString& path, const QString& level) {
    path += level;
    QDir().mkdir(path);
}

} // namespace

QString RecordingPaths::fileStamp(const QDateTime& when) {
    const QDate date = when.date();
    const QTime time = when.time();
    return QString::asprintf("%04d-%02d-%02d_%02d-%02d-%02d-%04d", date.year(), date.month(),
                             date.day(), time.hour(), time.minute(), time.second(), time.msec());
}

QString RecordingPaths::videosFolder(const QString& dataDrive) {
    return driveRoot(dataDrive) + QStringLiteral("VideoData/videos/");
}

QString RecordingPaths::dayFolder(const QString& dataDrive, const QDate& day) {
    return videosFolder(dataDrive) +
           QString::asprintf("%04d/%02d/%02d/", day.year(), day.month(), day.day());
}

QString RecordingPaths::makeDayFolder(const QString& dataDrive, const QDate& day) {
    QString path = driveRoot(dataDrive);
    descend(path, QStringLiteral("VideoData/"));
    descend(path, QStringLiteral("videos/"));
    descend(path, QString::asprintf("%04d/", day.year()));
    descend(path, QString::asprintf("%02d/", day.month()));
    descend(path, QString::asprintf("%02d/", day.day()));
    return path;
}

QString RecordingPaths::recordingFile(const QString& dataDrive, const QString& cameraNumberText,
                                      const QDateTime& when) {
    // Folder and stamp come from the one reading, so a file begun just before midnight cannot
    // land in the next day's folder.
    return makeDayFolder(dataDrive, when.date()) + QStringLiteral("camera-") + cameraNumberText +
           QLatin1Char('-') + fileStamp(when) + QStringLiteral(".avi");
}

QString RecordingPaths::stillFile(const QString& dataDrive, const QString& cameraNumberText) {
    QString path = driveRoot(dataDrive);
    descend(path, QStringLiteral("VideoData/"));
    descend(path, QStringLiteral("tmp/"));
    return path + cameraNumberText + QStringLiteral(".jpg");
}
