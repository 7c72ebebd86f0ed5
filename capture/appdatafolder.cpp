#include "capture/appdatafolder.h"

#include <QDir>
#include <QStandardPaths>

QString applicationDataFolder() {
    const QString separator = QStringLiteral("/");
    QDir dir;
#ifdef Q_OS_WIN
    const QString rootPath = QDir::rootPath();
    dir.mkdir(QStringLiteral("%1ProgramData").arg(rootPath));
    dir.mkdir(QStringLiteral("%1ProgramData%2Quorlan-Applications%3")
                  .multiArg(rootPath, separator, separator));
    const QString folder = QStringLiteral("%1ProgramData%2Quorlan-Applications%3Q7M2%4")
                               .arg(rootPath, separator, separator, separator);
    dir.mkdir(folder);
    return folder;
#else
    // The file-system root is not the user's to write here; keep the files with the user's
    // other configuration instead. That folder may not exist yet on a fresh account.
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    dir.mkpath(base);
    dir.mkdir(base + separator + QStringLiteral("Quorlan-Applications"));
    const QString folder = base + separator + QStringLiteral("Quorlan-Applications") + separator +
                           QStringLiteral("Q7M2") + separator;
    dir.mkdir(folder);
    return folder;
#endif
}
