#pragma once

// What the suites share around the recorder: its files and folders, a window on a set of cameras,
// a worker wired as the window wires it, and the checks a user would make on its recordings.

#include <array>
#include <atomic>
#include <functional>
#include <memory>

#include <sys/resource.h>

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include "app/camera.h"
#include "capture/capturethread.h"
#include "recordings/clock.h"
#include "capture/paneltexts.h"
#include "support/camsimprocess.h"
#include "support/mediaprobe.h"

// A sanitized build runs our code several times slower: it checks correctness, not speed.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// One recorded 640x480 IYUV frame, and the chunk that holds it in an AVI file.
constexpr qint64 kIyuvFrameBytes = 640 * 480 * 3 / 2;
constexpr qint64 kIyuvChunkBytes = kIyuvFrameBytes + 8;

class QDialog;

inline QString text(const char* panelText) { return QString::fromLatin1(panelText); }

// camsim at the recorder's own frame size and rate.
inline const QStringList kCameraShape{"--fps", "25", "--width", "640", "--height", "480"};
// A close waits for the workers; a stalled read ends within its 5 s time-out.
constexpr qint64 kCloseBoundMs = 7000;

inline QByteArray readBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
// Makes the folder too.
bool writeBytes(const QString& path, const QByteArray& bytes);

// A home of its own for this test process (the test-mode configuration folders of test processes
// running at once lie under the home), with QStandardPaths' test mode on.
void isolateHome(const QString& home);
// The folder that holds config.xml and settings.xml under a configuration home (XDG_CONFIG_HOME);
// without one, the test-mode folder this process uses. Ends in a slash.
QString configFolder(const QString& configHome = QString());

using Cameras = std::array<ChannelConfig, kCameraCount>;
// An IP camera on `url`.
inline void onStream(ChannelConfig& camera, const QString& url, bool recordOnStart = false) {
    camera.cameraType = 1;
    camera.url = url;
    camera.recordOnStart = recordOnStart;
}
// Writes config.xml and settings.xml into `folder` (made if missing) with the program's own
// writers.
bool writeConfiguration(const QString& folder, const Cameras& cameras, const QString& dataDrive,
                        qint64 keepFreeMiB = 0);
// The real program, with its configuration under `configHome` (XDG_CONFIG_HOME), as a desktop
// session starts it, its output merged.
bool startProgram(QProcess& app, const QString& configHome);
// Writes config.xml and settings.xml with the program's own writers (keepFreeMiB 0: the keeper
// never deletes a recording) and shows a window on them; with scheduleStopped only the test ticks.
std::unique_ptr<Camera> openWindow(const Cameras& cameras, const QString& dataDrive,
                                   bool scheduleStopped = false, qint64 keepFreeMiB = 0);
// A window whose camera 1 records `url` from the start.
inline std::unique_ptr<Camera> openRecorder(const QString& url, const QString& dataDrive,
                                            qint64 keepFreeMiB = 0) {
    Cameras cameras;
    onStream(cameras[0], url, true);
    return openWindow(cameras, dataDrive, false, keepFreeMiB);
}
// Accepts or rejects the next modal dialog as soon as it is shown (gives up after 10 s). Call it
// just before the call that runs the dialog. `fillIn`, if given, fills the dialog in first.
void answerNextDialog(bool accept, std::function<void(QDialog*)> fillIn = {});
qint64 closeWindow(Camera& window); // how long the close took, in milliseconds
inline bool showsPicture(const QLabel* label) { return !label->pixmap(Qt::ReturnByValue).isNull(); }

// Recording files under the data drive (of camera `number`, 0: every camera), sorted by path and
// so by time.
QStringList recordingFiles(const QString& dataDrive, int number = 0);
// Format as promised (IYUV rawvideo yuv420p 640x480 at 25/1), frames present, decodes cleanly.
// Fails the current test otherwise.
void verifyRecording(const QString& path, MediaInfo* infoOut = nullptr);
// The camsim frame counter of every frame of a recording (-1 where unreadable).
QVector<int> recordedCounters(const QString& path);
// Every file verified; camsim's counters show no damaged frame, each file in the source's order
// and no frame twice across files.
void verifyChain(const QStringList& files);

// A panel's widgets and record, wired as the window wires them, for a worker of its own.
struct CapturePanel {
    QLabel preview;
    QPushButton stopButton;
    QLineEdit location;
    ChannelConfig channel;

    CapturePanel(int cameraType, const QString& url);
    QImage frameCopy() {
        QMutexLocker lock(&channel.frameMutex);
        return channel.frame;
    }
    bool hasFrame() { return !frameCopy().isNull(); }
};

// Starts and stops a worker the way the window does: flags first, then start; stop, wait.
class CaptureWorker final {
public:
    CaptureWorker(CapturePanel& panel, const QString& dataDrive, bool recording);
    ~CaptureWorker() { stop(); }
    CaptureWorker(const CaptureWorker&) = delete;
    CaptureWorker& operator=(const CaptureWorker&) = delete;
    void stop();
    CaptureThread* get() const { return thread.get(); }

private:
    CapturePanel& panel;
    std::unique_ptr<CaptureThread> thread;
};

// A clock that stands still at the time the test sets, installed for its lifetime. Reads from the
// GUI thread are counted apart from the workers'.
class FakeClock final {
public:
    explicit FakeClock(const QDateTime& start);
    ~FakeClock() { Clock::setSource({}); }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;
    void set(const QDateTime& when) { msecs = when.toMSecsSinceEpoch(); }
    void setTime(int hour, int minute, int second = 0); // the same day
    int guiReads() const { return guiReadCount; }
    void resetGuiReads() { guiReadCount = 0; }

private:
    std::atomic<qint64> msecs;
    std::atomic<int> guiReadCount{0};
};

// Collects the warnings of every thread while it lives.
class LogCapture final {
public:
    LogCapture();
    ~LogCapture();
    static QStringList warnings();
};

// ffmpeg's test pattern as MJPEG over HTTP to a single client (-listen 1) on a free loopback port,
// 640x480 at 25 fps: a camera that refuses a second viewer and carries no frame counter.
class SingleClientCamera final {
public:
    bool start();
    ~SingleClientCamera();
    QString streamUrl() const { return url; }

private:
    QProcess process;
    QString url;
};

// A small RAM-backed volume, so that a data drive can really fill up. Needs root: a suite calls
// mount() through MOUNT_SMALL_VOLUME, which skips with a message that scripts/test looks for.
class SmallVolume final {
public:
    bool mount(const QString& path, int sizeMiB, QString* why);
    ~SmallVolume();

private:
    QString mounted;
};
// Writes a file that is no recording, taking all but `leaveBytes` of its volume.
bool fillVolume(const QString& path, qint64 leaveBytes);
// Writes past `bytes` into any file fail (as on a full drive); RLIM_INFINITY lifts the limit.
void limitFileSize(rlim_t bytes);
#define MOUNT_SMALL_VOLUME(volume, path, sizeMiB)                                                  \
    do {                                                                                           \
        QString why_;                                                                              \
        if (!(volume).mount((path), (sizeMiB), &why_))                                             \
            QSKIP(qPrintable(QStringLiteral("tmpfs volume not mounted: ") + why_));                \
    } while (false)
