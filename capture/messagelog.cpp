#include "capture/messagelog.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>

#include "recordings/clock.h"

namespace {

// Everything below is shared by the threads that log; `logMutex` guards it.
QMutex logMutex;
QFile* logFile = nullptr;
QtMessageHandler previousHandler = nullptr;
qint64 limitBytes = 0;
int keptCount = 0;
// A message raised while a message is written (by Qt's file code) must not lock again.
thread_local bool inHandler = false;

// The log may hold camera addresses: the owner's alone.
void openLog(QFile* file) {
    if (file->open(QIODevice::WriteOnly | QIODevice::Append))
        file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

QString rotated(const QString& path, int n) {
    return path + QLatin1Char('.') + QString::number(n);
}

void rotate() {
    const QString path = logFile->fileName();
    logFile->close();
    QFile::remove(rotated(path, keptCount));
    for (int n = keptCount - 1; n >= 1; --n)
        QFile::rename(rotated(path, n), rotated(path, n + 1));
    QFile::rename(path, rotated(path, 1));
    openLog(logFile);
}

void appendLine(QtMsgType type, const QString& message) {
    static const char levels[] = {'D', 'W', 'C', 'F', 'I'}; // in QtMsgType's order
    const char level = type >= 0 && type <= QtInfoMsg ? levels[type] : '?';
    const QByteArray line =
        (Clock::now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) + QLatin1Char(' ') +
         QLatin1Char(level) + QLatin1Char(' ') + message + QLatin1Char('\n'))
            .toUtf8();
    if (logFile->size() > 0 && logFile->size() + line.size() > limitBytes)
        rotate();
    if (logFile->isOpen()) {
        logFile->write(line);
        logFile->flush(); // a crash must not take the last lines with it
    }
}

void handleMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const QString masked = maskPasswords(message);
    QtMessageHandler next = nullptr;
    if (!inHandler) {
        inHandler = true;
        QMutexLocker lock(&logMutex);
        if (logFile)
            appendLine(type, masked);
        next = previousHandler;
        inHandler = false;
    }
    if (next)
        next(type, context, masked);
}

} // namespace

QString maskPasswords(const QString& text) {
    // user:password@ right after the scheme; the password ends at the last '@' before the path.
    static const QRegularExpression credentials(
        QStringLiteral("([A-Za-z][A-Za-z0-9+.-]*://[^\\s/@:]*:)[^\\s/]*@"));
    QString masked = text;
    return masked.replace(credentials, QStringLiteral("\\1***@"));
}

MessageLogFile::MessageLogFile(const QString& folder, qint64 fileLimitBytes, int keptFiles)
    : path(folder + (folder.endsWith(QLatin1Char('/')) ? "" : "/") +
           QStringLiteral("ip-surveillance.log")) {
    auto* file = new QFile(path);
    openLog(file);
    QMutexLocker lock(&logMutex);
    delete logFile;
    logFile = file;
    limitBytes = fileLimitBytes;
    keptCount = qMax(1, keptFiles);
    previousHandler = qInstallMessageHandler(handleMessage);
}

MessageLogFile::~MessageLogFile() {
    QMutexLocker lock(&logMutex);
    qInstallMessageHandler(previousHandler);
    delete logFile;
    logFile = nullptr;
    previousHandler = nullptr;
}
