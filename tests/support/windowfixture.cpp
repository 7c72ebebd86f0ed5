#include "support/windowfixture.h"

#include <memory>

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QtTest>

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

void WindowFixture::answerNextDialog(bool accept, std::function<void(QDialog*)> edit) {
    auto tries = std::make_shared<int>(1000);
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, tries, accept, edit] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog && edit)
            edit(dialog);
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

bool WindowTestEnvironment::setUp(QString* error) {
    if (!home.isValid() || !dataDrive.isValid()) {
        *error = QStringLiteral("no temporary folder");
        return false;
    }
    WindowFixture::isolateHome(home.path());
    QStandardPaths::setTestModeEnabled(true);
    if (!camsim.start()) {
        *error = camsim.errorString();
        return false;
    }
    return true;
}

void WindowTestEnvironment::streamOn(WindowFixture::Cameras& cameras, int index) const {
    cameras[index].cameraType = 1;
    cameras[index].url = camsim.streamUrl();
}

std::unique_ptr<Camera>
WindowTestEnvironment::openWindow(const WindowFixture::Cameras& cameras) const {
    if (!WindowFixture::writeFiles(drive(), cameras))
        return nullptr;
    auto window = std::make_unique<Camera>();
    QTimer* timer = WindowFixture::scheduleTimer(*window);
    if (!timer)
        return nullptr;
    timer->stop();
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()))
        return nullptr;
    return window;
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
