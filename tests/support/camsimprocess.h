#pragma once

#include <functional>

#include <QProcess>
#include <QStringList>

// The camera simulator (tools/camsim) as a child process for the length of a test: start()
// launches it on a free port with the given arguments and waits, bounded, for the port it
// reports; the destructor stops it. Its stderr goes to the test's, or line by line to a handler.
class CamsimProcess final {
public:
    explicit CamsimProcess(const QStringList& arguments = {})
        : arguments(arguments) {}
    // A log handler may capture objects that end before this one: it hears nothing more.
    ~CamsimProcess() {
        QObject::disconnect(&process, &QProcess::readyReadStandardError, nullptr, nullptr);
        stop();
    }
    CamsimProcess(const CamsimProcess&) = delete;
    CamsimProcess& operator=(const CamsimProcess&) = delete;

    // Every stderr line (with --verbose: one per request or refusal), in the caller's thread.
    // Call before start().
    void setLogHandler(std::function<void(const QString& line)> handler) {
        logHandler = std::move(handler);
    }
    // False, with errorString() set, when it does not start or report its port in time
    // (pre-rendering a long --loop takes a while, hence the generous default).
    bool start(int timeoutMs = 30000);
    // Ends it with SIGTERM (SIGKILL if that is ignored); true when it exited cleanly.
    bool stop(int timeoutMs = 5000);

    quint16 port() const { return port_; }
    QString errorString() const { return error; }
    // The MJPEG stream, as a recorder user would type it.
    QString streamUrl() const;

private:
    QStringList arguments;
    QProcess process;
    quint16 port_ = 0;
    QString error;
    std::function<void(const QString&)> logHandler;
    QByteArray pendingLog;
};
