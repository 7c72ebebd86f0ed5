#include "support/windowfixture.h"

#include <memory>

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include "capture/clock.h"
#include "settings/configfile.h"
#include "settings/settingsfile.h"
#include "support/mediaprobe.h"

QString WindowFixture::appDataFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Quorlan-Applications/Q7M2/");
}

bool WindowFixture::writeFiles(const QString& dataDrive, const Cameras& cameras) {
    if (!QDir().mkpath(appDataFolder()))
        return false;
    ProgramSettings settings;
    settings.dataDrive = dataDrive;
    settings.keepFreeMiB = 0; // a test never has the keeper delete anything
    return writeSettingsFile(appDataFolder() + QStringLiteral("settings.xml"), settings) &&
           writeConfigFile(appDataFolder() + QStringLiteral("config.xml"), cameras.data(),
                           kCameraCount);
}

void WindowFixture::removeFiles() {
    QDir(appDataFolder()).removeRecursively();
}

QTimer* WindowFixture::scheduleTimer(Camera& window) {
    // The window's own timer is its direct child; helpers it owns may keep timers of their own.
    const auto timers = window.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly);
    for (QTimer* timer : timers) {
        if (timer->interval() == 1000 && !timer->isSingleShot())
            return timer;
    }
    return nullptr;
}

void WindowFixture::answerNextDialog(bool accept) {
    auto tries = std::make_shared<int>(1000);
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, tries, accept] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog)
            accept ? dialog->accept() : dialog->reject();
        if (dialog || --*tries <= 0) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start();
}

QStringList WindowFixture::recordings(const QString& dataDrive, int number) {
    QStringList files;
    QDirIterator it(dataDrive + QStringLiteral("VideoData/videos"),
                    {QStringLiteral("camera-%1-*.avi").arg(number)}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}

QString WindowFixture::recordingProblems(const QString& path) {
    const MediaInfo info = MediaProbe::probe(path);
    if (!info.ok)
        return path + QStringLiteral(": ") + info.error;
    QStringList wrong;
    const auto expect = [&wrong](const char* what, const QString& seen, const QString& wanted) {
        if (seen != wanted)
            wrong << QStringLiteral("%1 %2, not %3").arg(QLatin1String(what), seen, wanted);
    };
    expect("codec", info.codec, QStringLiteral("rawvideo"));
    expect("tag", info.codecTag, QStringLiteral("IYUV"));
    expect("pixel format", info.pixelFormat, QStringLiteral("yuv420p"));
    expect("size", QStringLiteral("%1x%2").arg(info.width).arg(info.height),
           QStringLiteral("640x480"));
    expect("frame rate", info.frameRate, QStringLiteral("25/1"));
    if (info.frameCount <= 0)
        wrong << QStringLiteral("no frames");
    const QString decodeErrors = MediaProbe::decodeErrors(path);
    if (!decodeErrors.isEmpty())
        wrong << QStringLiteral("decode: ") + decodeErrors;
    return wrong.isEmpty() ? QString()
                           : path + QStringLiteral(": ") + wrong.join(QStringLiteral("; "));
}

FakeClock::FakeClock(const QDateTime& start)
    : msecs(start.toMSecsSinceEpoch()) {
    Clock::setSource([this] {
        if (QThread::currentThread() == QCoreApplication::instance()->thread())
            ++guiReadCount;
        return QDateTime::fromMSecsSinceEpoch(msecs);
    });
}

FakeClock::~FakeClock() {
    Clock::setSource({});
}

void FakeClock::setTime(int hour, int minute, int second) {
    const QDateTime current = QDateTime::fromMSecsSinceEpoch(msecs);
    set(QDateTime(current.date(), QTime(hour, minute, second)));
}
