#include "recordings/activity.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>

#include "recordings/activitywriter.h"

// One byte per second of the local day, at offset = seconds since the day's start: 0 holds no
// figure (so that the holes of a sparse file and the end of a short one read as "none"), 1..201
// hold 1 + the percentage times 2, rounded. Anything else is damage and reads as "none".
namespace {

constexpr int kNoFigure = 0;
constexpr int kLargestByte = 201;

unsigned char encode(float percent) {
    const float clamped = std::isfinite(percent) ? std::clamp(percent, 0.0f, 100.0f) : 0.0f;
    return static_cast<unsigned char>(1 + std::lround(clamped * 2.0f));
}

float decode(unsigned char byte) {
    if (byte == kNoFigure || byte > kLargestByte)
        return Activity::kNone;
    return (byte - 1) / 2.0f;
}

// Seconds the local day holds: 86,400 but for the days the clock is put forward or back.
int secondsOfDay(const QDate& day) {
    const qint64 seconds = day.startOfDay().secsTo(day.addDays(1).startOfDay());
    return int(std::clamp<qint64>(seconds, 0, 2 * 86400));
}

} // namespace

QString Activity::dayFile(const QString& dataDrive, int camera, const QDate& day) {
    return QDir(dataDrive).filePath(
        QString::asprintf("VideoData/activity/%04d/%02d/%02d/camera-%d.activity", day.year(),
                          day.month(), day.day(), camera));
}

QVector<float> Activity::readDay(const QString& dataDrive, int camera, const QDate& day) {
    if (!day.isValid())
        return {};
    const int length = secondsOfDay(day);
    QVector<float> figures(length, kNone);
    // Only a plain file: opening a pipe or a device put in its place could wait for ever.
    const QString path = dayFile(dataDrive, camera, day);
    if (!QFileInfo(path).isFile())
        return figures;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return figures;
    // A file longer than the day (damaged, or written across a clock change) is read no further.
    const QByteArray bytes = file.read(length);
    for (int i = 0; i < bytes.size(); ++i)
        figures[i] = decode(static_cast<unsigned char>(bytes.at(i)));
    return figures;
}

int Activity::findEvent(const QVector<float>& figures, int fromSecond, double thresholdPercent,
                        int direction) {
    const qint64 size = figures.size();
    const auto above = [&](qint64 i) {
        return figures.at(int(i)) != kNone && figures.at(int(i)) > thresholdPercent;
    };
    const auto begins = [&](qint64 i) { return above(i) && (i == 0 || !above(i - 1)); };
    if (direction > 0) {
        for (qint64 i = std::max<qint64>(qint64(fromSecond) + 1, 0); i < size; ++i)
            if (begins(i))
                return int(i);
    } else if (direction < 0) {
        for (qint64 i = std::min<qint64>(qint64(fromSecond) - 1, size - 1); i >= 0; --i)
            if (begins(i))
                return int(i);
    }
    return -1;
}

ActivityWriter::ActivityWriter(const QString& dataDrive, int camera)
    : dataDrive(dataDrive)
    , camera(camera) {}

ActivityWriter::~ActivityWriter() {
    close();
}

void ActivityWriter::close() {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    day = QDate();
}

bool ActivityWriter::openDay(const QDate& newDay) {
    if (newDay != day) {
        close();
        day = newDay;
        dayStartMs = newDay.startOfDay().toMSecsSinceEpoch();
        dayEndMs = newDay.addDays(1).startOfDay().toMSecsSinceEpoch();
        failureLogged = false;
    }
    const QString path = Activity::dayFile(dataDrive, camera, newDay);
    QDir().mkpath(QFileInfo(path).path());
    fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && !failureLogged) {
        qWarning().noquote() << QStringLiteral("Cannot write activity figures to %1: %2")
                                    .arg(path, QString::fromLocal8Bit(strerror(errno)));
        failureLogged = true;
    }
    return fd >= 0;
}

bool ActivityWriter::write(const QDateTime& when, float percent) {
    if (!when.isValid())
        return false;
    const qint64 ms = when.toMSecsSinceEpoch();
    // A file that could not be opened is tried again each second: the drive may be back.
    const bool sameDay = day.isValid() && ms >= dayStartMs && ms < dayEndMs;
    if ((!sameDay || fd < 0) && !openDay(when.toLocalTime().date()))
        return false;
    // One byte into the page cache: it outlives a kill of the process at once, with no sync.
    // A power cut may still take the last seconds the system had not yet written back, which,
    // for figures that only mark where to look, is not worth a disk flush every second.
    const unsigned char byte = encode(percent);
    const off_t offset = off_t((ms - dayStartMs) / 1000);
    if (::pwrite(fd, &byte, 1, offset) == 1)
        return true;
    if (!failureLogged)
        qWarning().noquote() << QStringLiteral("Cannot write activity figures of camera %1: %2")
                                    .arg(camera)
                                    .arg(QString::fromLocal8Bit(strerror(errno)));
    failureLogged = true;
    // Opened afresh at the next second: a drive that was pulled and plugged in again is written
    // through a new descriptor, not the stale one.
    ::close(fd);
    fd = -1;
    return false;
}
