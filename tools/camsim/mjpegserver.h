#pragma once

#include <QByteArray>
#include <QHash>
#include <QElapsedTimer>
#include <QObject>
#include <QTcpServer>

#include "framesource.h"

class QTcpSocket;

struct ServerOptions {
    quint16 port = 0;
    // Fault switches; a negative time means "off".
    double dropAfterS = -1;
    bool dropMidFrame = false;
    double stallAfterS = -1;
    double downAfterS = -1;
    double downForS = 5;
    bool refuse = false;
    double hangForS = -1; // connections made this long after start are accepted, never answered
    QByteArray credentials; // "user:pass", empty for no authentication
    bool verbose = false;
};

// A small HTTP/1.0 server on 127.0.0.1 that serves the frames of one FrameSource to any
// number of clients: an MJPEG stream, a single snapshot, and 404 for anything else. It also
// plays the faults of a misbehaving camera (see ServerOptions).
class MjpegServer final : public QObject {
    Q_OBJECT
public:
    MjpegServer(const ServerOptions& options, FrameSource* source, QObject* parent = nullptr);
    ~MjpegServer() override;

    bool listen(QString* error);
    quint16 port() const { return m_port; }

private:
    struct Client {
        QByteArray request;
        bool handled = false;
        bool streaming = false;
        bool stalled = false;
        bool dropDue = false;
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void handleRequest(QTcpSocket* socket, Client& client);
    void sendFrame(QTcpSocket* socket, Client& client, const EncodedFrame& frame);
    void onFrameReady();
    void goDown();
    void comeUp(int attempt);
    bool authorised(const QByteArray& headers) const;

    ServerOptions m_options;
    FrameSource* m_source = nullptr;
    QTcpServer m_server;
    quint16 m_port = 0;
    QHash<QTcpSocket*, Client> m_clients;
    QElapsedTimer m_sinceStart;
};
