#pragma once

#include <functional>

#include <QProcess>
#include <QString>
#include <QStringList>

// Runs the camera simulator (tools/camsim) as a child process for the length of a test:
// start() launches IPS_CAMSIM_PATH with "--port 0" and the given arguments and waits, bounded,
// for its "camsim listening on 127.0.0.1:<port>" line; the destructor stops it. Its stderr goes
// to the test's stderr, so that its complaints show up in the test log.
class CamsimProcess final {
public:
    explicit CamsimProcess(const QStringList& arguments = {});
    ~CamsimProcess();
    CamsimProcess(const CamsimProcess&) = delete;
    CamsimProcess& operator=(const CamsimProcess&) = delete;

    // Hands every line camsim writes to stderr (with --verbose: one per request or refusal) to
    // `handler`, in the caller's thread, instead of forwarding it. Call before start().
    void setLogHandler(std::function<void(const QString& line)> handler);

    // False, with errorString() set, when it does not start or does not report its port in
    // time (pre-rendering a long --loop takes a while, hence the generous default).
    bool start(int timeoutMs = 30000);
    // Ends it with SIGTERM (SIGKILL if that is ignored); true when it exited cleanly.
    bool stop(int timeoutMs = 5000);

    quint16 port() const { return m_port; }
    qint64 processId() const { return m_process.processId(); }
    QString errorString() const { return m_error; }

    QString baseUrl() const;     // http://127.0.0.1:<port>
    QString streamUrl() const;   // the MJPEG stream, as a recorder user would type it
    QString snapshotUrl() const; // one JPEG

private:
    QStringList m_arguments;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
    std::function<void(const QString&)> m_logHandler;
    QByteArray m_pendingLog;
};
