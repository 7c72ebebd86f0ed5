#include "capture/streamprobe.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QUrl>

namespace {
constexpr int kSliceMs = 100;

// Waits in short slices so that a stop is seen promptly.
template <typename Ready>
bool waitFor(QTcpSocket& socket, Ready ready, const QElapsedTimer& since, int timeoutMs,
             const std::atomic<bool>& giveUp)
{
    while (!ready(socket)) {
        if (giveUp || since.elapsed() >= timeoutMs)
            return false;
        if (socket.state() == QAbstractSocket::UnconnectedState)
            return false;
        const int left = timeoutMs - int(since.elapsed());
        if (socket.state() == QAbstractSocket::ConnectedState)
            socket.waitForReadyRead(qMin(kSliceMs, qMax(left, 1)));
        else
            socket.waitForConnected(qMin(kSliceMs, qMax(left, 1)));
    }
    return true;
}
} // namespace

bool cameraAnswers(const QString& url, int timeoutMs, const std::atomic<bool>& giveUp)
{
    const QUrl parsed(url);
    const QString scheme = parsed.scheme().toLower();
    int defaultPort = 0;
    if (scheme == QLatin1String("http"))
        defaultPort = 80;
    else if (scheme == QLatin1String("https"))
        defaultPort = 443;
    else if (scheme == QLatin1String("rtsp"))
        defaultPort = 554;
    else
        return true;
    if (parsed.host().isEmpty())
        return true; // let the video library report what is wrong with it

    QElapsedTimer since;
    since.start();
    QTcpSocket socket;
    socket.connectToHost(parsed.host(), quint16(parsed.port(defaultPort)));
    const auto connected = [](QTcpSocket& s) {
        return s.state() == QAbstractSocket::ConnectedState;
    };
    if (!waitFor(socket, connected, since, timeoutMs, giveUp))
        return false;
    if (scheme == QLatin1String("https"))
        return true; // a TLS handshake is the video library's business; the port is alive

    QByteArray request;
    const QByteArray path = parsed.path(QUrl::FullyEncoded).toLatin1();
    if (scheme == QLatin1String("rtsp")) {
        request = "OPTIONS " + parsed.toString(QUrl::RemoveUserInfo).toLatin1() +
                  " RTSP/1.0\r\nCSeq: 1\r\n\r\n";
    } else {
        request = "GET " + (path.isEmpty() ? QByteArray("/") : path) + " HTTP/1.0\r\nHost: " +
                  parsed.host().toLatin1() + "\r\n";
        if (!parsed.userName().isEmpty())
            request += "Authorization: Basic " +
                       (parsed.userName() + QLatin1Char(':') + parsed.password()).toUtf8().toBase64() +
                       "\r\n";
        request += "\r\n";
    }
    socket.write(request);
    const auto answered = [](QTcpSocket& s) { return s.bytesAvailable() > 0; };
    const bool ok = waitFor(socket, answered, since, timeoutMs, giveUp);
    socket.abort();
    return ok;
}
