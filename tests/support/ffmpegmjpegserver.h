#pragma once

#include <QProcess>
#include <QSize>
#include <QString>

// A real MJPEG-over-HTTP camera stand-in: ffmpeg serving its test pattern to one client on
// 127.0.0.1. Killing it is a dropped cable; pausing it (SIGSTOP) is a camera that hangs with
// the connection open.
class FfmpegMjpegServer final {
public:
    // port 0: a free port is picked.
    FfmpegMjpegServer(int fps, QSize size, quint16 port = 0);
    ~FfmpegMjpegServer();
    FfmpegMjpegServer(const FfmpegMjpegServer&) = delete;
    FfmpegMjpegServer& operator=(const FfmpegMjpegServer&) = delete;

    bool start();
    void kill();
    void pause();
    void resume();
    quint16 port() const { return port_; }
    QString streamUrl() const;

private:
    int fps;
    QSize size;
    quint16 port_;
    QProcess process;
};

// A port on 127.0.0.1 that nobody listens on at the moment of asking.
quint16 freeLocalPort();
