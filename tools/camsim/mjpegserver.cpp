#include "mjpegserver.h"

#include <QTcpSocket>
#include <QTimer>

namespace {

constexpr int maxRequestBytes = 16 * 1024;
constexpr int requestTimeoutMs = 10'000;

int msFromSeconds(double s) {
    return int(s * 1000.0 + 0.5);
}

QByteArray simpleResponse(const QByteArray& status, const QByteArray& extraHeaders = {}) {
    const QByteArray body = status + "\n";
    return "HTTP/1.0 " + status + "\r\n" + extraHeaders +
           "Content-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

} // namespace

MjpegServer::MjpegServer(const ServerOptions& options, FrameSource* source, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_source(source) {
    connect(&m_server, &QTcpServer::newConnection, this, &MjpegServer::onNewConnection);
    connect(m_source, &FrameSource::frameReady, this, &MjpegServer::onFrameReady);
}

MjpegServer::~MjpegServer() {
    // The sockets are children of m_server and would report their disconnection to handlers
    // of this half-destroyed object; detach them first.
    m_server.close();
    const auto sockets = m_server.findChildren<QTcpSocket*>();
    for (QTcpSocket* socket : sockets) {
        socket->disconnect(this);
        socket->abort();
    }
    m_clients.clear();
}

bool MjpegServer::listen(QString* error) {
    if (!m_server.listen(QHostAddress::LocalHost, m_options.port)) {
        *error = m_server.errorString();
        return false;
    }
    m_port = m_server.serverPort();
    m_sinceStart.start();
    if (m_options.downAfterS >= 0)
        QTimer::singleShot(msFromSeconds(m_options.downAfterS), this, &MjpegServer::goDown);
    return true;
}

void MjpegServer::goDown() {
    qInfo("camsim: going down for %g s (connections closed, port not listening)",
          m_options.downForS);
    m_server.close();
    const auto sockets = m_clients.keys();
    for (QTcpSocket* socket : sockets)
        socket->abort();
    QTimer::singleShot(msFromSeconds(m_options.downForS), this, [this] { comeUp(0); });
}

void MjpegServer::comeUp(int attempt) {
    if (m_server.listen(QHostAddress::LocalHost, m_port)) {
        qInfo("camsim: up again on 127.0.0.1:%u", unsigned(m_port));
        return;
    }
    // Another process may hold the port for a moment; a rebooting camera keeps its address.
    if (attempt % 50 == 0)
        qWarning("camsim: cannot listen on port %u again yet: %s", unsigned(m_port),
                 qPrintable(m_server.errorString()));
    QTimer::singleShot(200, this, [this, attempt] { comeUp(attempt + 1); });
}

void MjpegServer::onNewConnection() {
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_clients.remove(socket);
            socket->deleteLater();
        });
        if (m_options.refuse) {
            if (m_options.verbose)
                qInfo("camsim: refusing a connection");
            socket->disconnectFromHost();
            continue;
        }
        if (m_sinceStart.elapsed() < msFromSeconds(m_options.hangForS)) {
            if (m_options.verbose)
                qInfo("camsim: hanging on a connection");
            continue; // kept open, its request never read, until the client leaves
        }
        m_clients.insert(socket, Client());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        // A client that never completes its request must not hold a connection for ever.
        QTimer::singleShot(requestTimeoutMs, socket, [this, socket] {
            auto it = m_clients.find(socket);
            if (it != m_clients.end() && !it->handled)
                socket->abort();
        });
        if (m_options.dropAfterS >= 0) {
            QTimer::singleShot(msFromSeconds(m_options.dropAfterS), socket, [this, socket] {
                auto it = m_clients.find(socket);
                if (it == m_clients.end())
                    return;
                if (m_options.verbose)
                    qInfo("camsim: dropping a connection");
                if (m_options.dropMidFrame && it->streaming && !it->stalled)
                    it->dropDue = true; // cut inside the next part
                else
                    socket->disconnectFromHost();
            });
        }
        if (m_options.stallAfterS >= 0) {
            QTimer::singleShot(msFromSeconds(m_options.stallAfterS), socket, [this, socket] {
                auto it = m_clients.find(socket);
                if (it != m_clients.end())
                    it->stalled = true;
            });
        }
    }
}

void MjpegServer::onReadyRead(QTcpSocket* socket) {
    auto it = m_clients.find(socket);
    if (it == m_clients.end())
        return;
    Client& client = *it;
    const QByteArray data = socket->readAll();
    if (client.handled)
        return; // one request per connection; ignore anything further
    client.request.append(data);
    if (client.request.contains("\r\n\r\n") || client.request.contains("\n\n")) {
        handleRequest(socket, client);
    } else if (client.request.size() > maxRequestBytes) {
        socket->write(simpleResponse("431 Request Header Fields Too Large"));
        socket->disconnectFromHost();
    }
}

bool MjpegServer::authorised(const QByteArray& headers) const {
    if (m_options.credentials.isEmpty())
        return true;
    for (const QByteArray& rawLine : headers.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        const int colon = line.indexOf(':');
        if (colon < 0 || line.left(colon).trimmed().toLower() != "authorization")
            continue;
        const QList<QByteArray> value = line.mid(colon + 1).simplified().split(' ');
        if (value.size() == 2 && value[0].toLower() == "basic" &&
            QByteArray::fromBase64(value[1]) == m_options.credentials)
            return true;
    }
    return false;
}

void MjpegServer::handleRequest(QTcpSocket* socket, Client& client) {
    const QByteArray request = client.request;
    client.request.clear();
    client.handled = true;
    const int lineEnd = request.indexOf('\n');
    const QList<QByteArray> requestLine = request.left(lineEnd).simplified().split(' ');
    const QByteArray method = requestLine.value(0);
    const QByteArray target = requestLine.value(1);
    const QByteArray path =
        target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
    if (m_options.verbose)
        qInfo("camsim: %s %s", method.constData(), target.constData());

    if (requestLine.size() < 2 || method != "GET") {
        socket->write(simpleResponse("405 Method Not Allowed", "Allow: GET\r\n"));
        socket->disconnectFromHost();
        return;
    }
    if (!authorised(request.mid(lineEnd + 1))) {
        socket->write(
            simpleResponse("401 Unauthorized", "WWW-Authenticate: Basic realm=\"camsim\"\r\n"));
        socket->disconnectFromHost();
        return;
    }
    const EncodedFrame& frame = m_source->current();
    if (path == "/axis-cgi/mjpg/video.cgi") {
        socket->write(QByteArray("HTTP/1.0 200 OK\r\n"
                                 "Content-Type: multipart/x-mixed-replace; boundary=") +
                      FrameSource::boundary +
                      "\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n"
                      "Connection: close\r\n\r\n");
        client.streaming = true;
        // The newest frame at once, so a client need not wait a whole period to start.
        sendFrame(socket, client, frame);
    } else if (path == "/snapshot.jpg") {
        socket->write("HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                      QByteArray::number(frame.jpeg.size()) +
                      "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n");
        socket->write(frame.jpeg);
        socket->disconnectFromHost();
    } else {
        socket->write(simpleResponse("404 Not Found"));
        socket->disconnectFromHost();
    }
}

void MjpegServer::sendFrame(QTcpSocket* socket, Client& client, const EncodedFrame& frame) {
    if (client.stalled || socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (client.dropDue) {
        socket->write(frame.part.left(frame.jpegOffsetInPart + frame.jpeg.size() / 2));
        client.streaming = false;
        socket->disconnectFromHost();
        return;
    }
    // A client that cannot keep up misses frames, as with a real camera, instead of making
    // the server buffer without bound.
    if (socket->bytesToWrite() > 2 * qint64(frame.part.size()))
        return;
    socket->write(frame.part);
}

void MjpegServer::onFrameReady() {
    const EncodedFrame& frame = m_source->current();
    // Closing a socket may remove it from m_clients at once, so walk a copy of the keys.
    const auto sockets = m_clients.keys();
    for (QTcpSocket* socket : sockets) {
        auto it = m_clients.find(socket);
        if (it != m_clients.end() && it->streaming)
            sendFrame(socket, *it, frame);
    }
}
