#pragma once

#include <memory>

#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QVector>

#include "app/channelconfig.h"
#include "capture/capturethread.h"
#include "support/mediaprobe.h"

// What a capture worker test needs around the worker: a panel's widgets and record, wired as the
// window wires them, and the checks a user would make on the recordings afterwards.

struct CapturePanel {
    QLabel preview;
    QPushButton stopButton;
    QLineEdit location;
    ChannelConfig channel;

    CapturePanel(int cameraType, const QString& url);
    bool hasFrame();
    QImage frameCopy();
};

// Starts and stops a worker the way the window does: flags first, then start; stop, wait.
class CaptureWorker final {
public:
    CaptureWorker(CapturePanel& panel, const QString& dataDrive, bool recording);
    ~CaptureWorker();
    CaptureWorker(const CaptureWorker&) = delete;
    CaptureWorker& operator=(const CaptureWorker&) = delete;

    // Returns how long the worker took to end, in milliseconds.
    qint64 stop();
    CaptureThread* get() const { return thread.get(); }

private:
    CapturePanel& panel;
    std::unique_ptr<CaptureThread> thread;
};

// The recording files under dataDrive, sorted by path (and so by day and time).
QStringList recordingFiles(const QString& dataDrive);

// Format as promised (IYUV rawvideo yuv420p 640x480 at 25/1), frames present, decodes cleanly.
// Fails the current test otherwise.
void verifyRecording(const QString& path, MediaInfo* infoOut = nullptr);

// The camsim frame counter of every frame of a recording (-1 where unreadable).
QVector<int> recordedCounters(const QString& path);
