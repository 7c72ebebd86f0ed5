#include "support/camsimprocess.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

bool CamsimProcess::start(int timeoutMs) {
    if (logHandler) {
        QObject::connect(&process, &QProcess::readyReadStandardError, [this] {
            pendingLog += process.readAllStandardError();
            for (int end = pendingLog.indexOf('\n'); end >= 0; end = pendingLog.indexOf('\n')) {
                logHandler(QString::fromUtf8(pendingLog.left(end)));
                pendingLog.remove(0, end + 1);
            }
        });
    } else {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    // "--port 0" first: a port among the caller's arguments wins.
    process.start(QStringLiteral(IPS_CAMSIM_PATH), QStringList{"--port", "0"} + arguments);
    static const QRegularExpression listening(
        QStringLiteral("^camsim listening on 127\\.0\\.0\\.1:(\\d+)\\n"));
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray out;
    process.waitForStarted(timeoutMs);
    while (!deadline.hasExpired() && process.state() == QProcess::Running) {
        process.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 200)));
        out += process.readAllStandardOutput();
        if (!out.contains('\n'))
            continue;
        const auto match = listening.match(QString::fromUtf8(out));
        port_ = match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
        if (port_)
            return true;
        break;
    }
    error = QStringLiteral("camsim did not report its port (%1): %2")
                .arg(process.errorString(), QString::fromUtf8(out));
    stop();
    return false;
}

bool CamsimProcess::stop(int timeoutMs) {
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(timeoutMs)) {
            process.kill();
            process.waitForFinished(timeoutMs);
            return false;
        }
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QString CamsimProcess::streamUrl() const {
    return QStringLiteral("http://127.0.0.1:%1/axis-cgi/mjpg/video.cgi?type=.mjpg").arg(port_);
}
