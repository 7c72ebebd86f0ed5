#include "support/windowfixture.h"

#include <memory>

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QDirIterator>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include "capture/clock.h"
#include "settings/configfile.h"
#include "settings/settingsfile.h"

void WindowFixture::isolateHome(const QString& home) {
    qputenv("HOME", QFile::encodeName(home));
}

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
