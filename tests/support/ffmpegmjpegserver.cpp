#include "support/ffmpegmjpegserver.h"

#include <csignal>

#include <QHostAddress>
#include <QTcpServer>

quint16 freeLocalPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

FfmpegMjpegServer::FfmpegMjpegServer(int fps, QSize size, quint16 port)
    : fps(fps)
    , size(size)
    , port_(port ? port : freeLocalPort()) {}

FfmpegMjpegServer::~FfmpegMjpegServer() {
    kill();
}

bool FfmpegMjpegServer::start() {
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(
        QStringLiteral("ffmpeg"),
        {"-v", "fatal", "-re", "-f", "lavfi", "-i",
         QStringLiteral("testsrc=size=%1x%2:rate=%3").arg(size.width()).arg(size.height()).arg(fps),
         "-c:v", "mjpeg", "-q:v", "5", "-f", "mpjpeg", "-listen", "1",
         QStringLiteral("http://127.0.0.1:%1/axis-cgi/mjpg/video.cgi").arg(port_)});
    return process.waitForStarted(5000);
}

void FfmpegMjpegServer::kill() {
    if (process.state() == QProcess::NotRunning)
        return;
    resume();
    process.kill();
    process.waitForFinished(5000);
}

void FfmpegMjpegServer::pause() {
    if (process.state() != QProcess::NotRunning)
        ::kill(static_cast<pid_t>(process.processId()), SIGSTOP);
}

void FfmpegMjpegServer::resume() {
    if (process.state() != QProcess::NotRunning)
        ::kill(static_cast<pid_t>(process.processId()), SIGCONT);
}

QString FfmpegMjpegServer::streamUrl() const {
    return QStringLiteral("http://127.0.0.1:%1/axis-cgi/mjpg/video.cgi").arg(port_);
}
