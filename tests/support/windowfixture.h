#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "app/camera.h"
#include "app/channelconfig.h"
#include "support/camsimprocess.h"

class QDialog;
class QTimer;

// What a test of the main window needs around a real `Camera`: its two files prepared in the
// test-mode configuration folder, its schedule timer, and a clock that the test sets.
namespace WindowFixture {

// Gives this test process a home of its own, so that test-mode configuration folders of other
// test processes running at the same time (they share ~/.qttest) cannot touch its files.
void isolateHome(const QString& home);

// The folder in which the window looks for config.xml and settings.xml (test mode on).
QString appDataFolder();

// The eight camera records that config.xml is written from; every camera not configured.
using Cameras = std::array<ChannelConfig, kCameraCount>;

// Writes settings.xml (the data drive, deletion of old recordings off) and config.xml for the
// eight cameras. `dataDrive` must end in "/".
bool writeFiles(const QString& dataDrive, const Cameras& cameras);
void removeFiles();

// The window's one-second schedule timer; null if there is none.
QTimer* scheduleTimer(Camera& window);

// Accepts or rejects the next modal dialog as soon as it is shown (gives up after 10 s). Call it
// just before the call that runs the dialog. `edit`, if given, fills the dialog in first.
void answerNextDialog(bool accept, std::function<void(QDialog*)> edit = {});

// Recordings of camera `number` under the data drive, sorted by name.
QStringList recordings(const QString& dataDrive, int number);

} // namespace WindowFixture

// What the control and schedule tests share: a home of their own, a data drive, and one simulated
// camera (640 x 480) that serves every panel given a stream.
class WindowTestEnvironment final {
public:
    // Once, from initTestCase(). Also turns QStandardPaths' test mode on.
    bool setUp(QString* error);
    QString drive() const { return dataDrive.path() + QLatin1Char('/'); }
    QString streamUrl() const { return camsim.streamUrl(); }
    void streamOn(WindowFixture::Cameras& cameras, int index) const;
    // Writes the files for these cameras and shows a window on them, with its schedule timer
    // stopped: only the test drives the panels. Null when any step fails.
    std::unique_ptr<Camera> openWindow(const WindowFixture::Cameras& cameras) const;

private:
    QTemporaryDir home;
    QTemporaryDir dataDrive;
    CamsimProcess camsim{{"--width", "640", "--height", "480", "--loop", "25"}};
};

// A clock that stands still at the time the test sets. Installed on construction, the wall clock
// is restored on destruction. Reads from the GUI thread are counted apart from the workers'.
class FakeClock final {
public:
    explicit FakeClock(const QDateTime& start);
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    void set(const QDateTime& when) { msecs = when.toMSecsSinceEpoch(); }
    // The same day, at hh:mm:ss.
    void setTime(int hour, int minute, int second = 0);
    int guiReads() const { return guiReadCount; }
    void resetGuiReads() { guiReadCount = 0; }

private:
    std::atomic<qint64> msecs;
    std::atomic<int> guiReadCount{0};
};
