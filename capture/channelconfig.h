#pragma once

#include <atomic>

#include <QImage>
#include <QMutex>
#include <QString>

class CaptureThread;
class QCameraImageCapture;
class QCameraViewfinder;
class QLabel;
class QLineEdit;
class QPushButton;

// How recording files are written: uncompressed IYUV (the default), or compact, every frame a
// JPEG.
enum class RecordingFormat { Iyuv, Mjpeg };

// The record of one camera panel. The window owns eight of them for its whole life, so their
// addresses never change while a capture worker points at one.
//
// Threads: the GUI thread owns every field. A capture worker reads `running` and `recording`
// and `format` (atomic), and reads `location` and writes `frame` only while holding `frameMutex`. The
// worker never touches the widget pointers; it posts to the GUI thread instead.
struct ChannelConfig {
    QString boundDevice;
    std::atomic<bool> running{false};
    bool record = false;
    bool recordOnStart = false;
    quint32 recordStart = 0; // hhmm
    quint32 recordStop = 0;  // hhmm
    QString deviceName;
    bool manualStop = false;
    bool manualStart = false;
    QLineEdit* locationEdit = nullptr;
    CaptureThread* thread = nullptr;
    QCameraViewfinder* viewfinder = nullptr;
    QCameraImageCapture* imageCapture = nullptr;
    QLabel* statusLabel = nullptr;
    int cameraType = -1; // 0 local device, 1 IP camera, -1 not configured
    QString url;
    QLabel* previewLabel = nullptr;
    std::atomic<bool> recording{false};
    // Read by the worker when it begins a file: a change applies from the next file on.
    std::atomic<RecordingFormat> format{RecordingFormat::Iyuv};
    QImage frame;
    QMutex frameMutex;
    QPushButton* recordButton = nullptr;
    QPushButton* stopButton = nullptr;
    QPushButton* setCameraButton = nullptr;

    // Copy of the location text for the worker, refreshed by the GUI thread whenever the line
    // edit changes. Guarded by frameMutex.
    QString location;

    void setLocation(const QString& text)
    {
        QMutexLocker lock(&frameMutex);
        location = text;
    }
    QString locationCopy()
    {
        QMutexLocker lock(&frameMutex);
        return location;
    }
};
