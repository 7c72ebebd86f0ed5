#include "support/camsimprocess.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

CamsimProcess::CamsimProcess(const QStringList& arguments)
    : m_arguments(arguments) {}

CamsimProcess::~CamsimProcess() {
    stop();
}

void CamsimProcess::setLogHandler(std::function<void(const QString& line)> handler) {
    m_logHandler = std::move(handler);
}

bool CamsimProcess::start(int timeoutMs) {
    m_port = 0;
    if (m_logHandler) {
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] {
            m_pendingLog += m_process.readAllStandardError();
            for (int newline = m_pendingLog.indexOf('\n'); newline >= 0;
                 newline = m_pendingLog.indexOf('\n')) {
                m_logHandler(QString::fromUtf8(m_pendingLog.left(newline)));
                m_pendingLog.remove(0, newline + 1);
            }
        });
    } else {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    // "--port 0" first: a port among the caller's arguments wins.
    m_process.start(QStringLiteral(IPS_CAMSIM_PATH), QStringList{"--port", "0"} + m_arguments);
    if (!m_process.waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("camsim did not start: %1").arg(m_process.errorString());
        return false;
    }
    static const QRegularExpression listening(
        QStringLiteral("^camsim listening on 127\\.0\\.0\\.1:(\\d+)$"));
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray pending;
    while (!deadline.hasExpired()) {
        if (m_process.state() != QProcess::Running) {
            m_error = QStringLiteral("camsim exited with code %1 before listening")
                          .arg(m_process.exitCode());
            return false;
        }
        m_process.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 200)));
        pending += m_process.readAllStandardOutput();
        const int newline = pending.indexOf('\n');
        if (newline < 0)
            continue;
        const auto match = listening.match(QString::fromUtf8(pending.left(newline)).trimmed());
        if (!match.hasMatch()) {
            m_error = QStringLiteral("unexpected first line from camsim: %1")
                          .arg(QString::fromUtf8(pending.left(newline)));
            stop();
            return false;
        }
        m_port = quint16(match.captured(1).toUInt());
        return true;
    }
    m_error = QStringLiteral("camsim did not report its port within %1 ms").arg(timeoutMs);
    stop();
    return false;
}

bool CamsimProcess::stop(int timeoutMs) {
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    m_process.terminate();
    if (!m_process.waitForFinished(timeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(timeoutMs);
        return false;
    }
    return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

QString CamsimProcess::baseUrl() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

QString CamsimProcess::streamUrl() const {
    return baseUrl() + QStringLiteral("/axis-cgi/mjpg/video.cgi?type=.mjpg");
}

QString CamsimProcess::snapshotUrl() const {
    return baseUrl() + QStringLiteral("/snapshot.jpg");
}
