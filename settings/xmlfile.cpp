#include "settings/xmlfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include "recordings/clock.h"

namespace {

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// QSaveFile gives its temporary file 0600 only when the target exists, and then copies the
// target's permissions. So a target that exists with 0600 keeps every byte of the new content
// private. A placeholder made for a missing target stays empty, and the rename replaces it.
bool prepareOwnerOnlyTarget(const QString& path, bool* placeholderMade) {
#ifdef Q_OS_UNIX
    if (!QFile::exists(path)) {
        QFile placeholder(path);
        if (!placeholder.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return true; // QSaveFile meets and reports the same failure
        *placeholderMade = true;
    }
    return QFile::setPermissions(path, kOwnerOnly);
#else
    Q_UNUSED(path)
    Q_UNUSED(placeholderMade)
    return true;
#endif
}

// The contents of `path`, or a null array when it is larger than our files ever are.
QByteArray smallFileBytes(const QString& path) {
    QFile file(path);
    if (file.size() > kMaxXmlFileBytes || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// Keeps a file that could not be read to its end untouched beside it, as
// "<name>.unreadable-<when>": the next save replaces it with only what was read. A copy with the
// same bytes kept at an earlier start is enough. Returns what became of it, for the log.
QString keepUnreadable(const QString& path) {
    const QFileInfo info(path);
    const QString prefix = info.fileName() + QStringLiteral(".unreadable-");
    const QByteArray bytes = smallFileBytes(path);
    for (const QFileInfo& kept :
         info.dir().entryInfoList({prefix + QLatin1Char('*')}, QDir::Files)) {
        if (!bytes.isNull() && smallFileBytes(kept.filePath()) == bytes)
            return QStringLiteral("the original is kept as %1").arg(kept.filePath());
    }
    const QString stamped =
        info.dir().filePath(prefix + Clock::now().toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss")));
    QString target = stamped;
    for (int n = 2; QFile::exists(target); ++n)
        target = stamped + QLatin1Char('-') + QString::number(n);
    // QFile::copy keeps the permissions: a config.xml with camera passwords stays private.
    if (!QFile::copy(path, target))
        return QStringLiteral("the original could not be kept as %1").arg(target);
    return QStringLiteral("the original is kept as %1").arg(target);
}

} // namespace

void readXmlFile(const QString& path, const std::function<bool(QXmlStreamReader&)>& handleToken) {
    QFile file(path);
    if (!file.exists())
        return;
    // A pipe or device in the file's place would block or never end.
    const bool regular = QFileInfo(path).isFile();
    if (!regular || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        const QString reason = regular ? file.errorString() : QStringLiteral("not a regular file");
        qDebug().noquote() << QStringLiteral("Error: Cannot read file %1 %2").arg(path, reason);
        return;
    }
    QByteArray data = file.read(kMaxXmlFileBytes + 1);
    file.close();
    const bool cut = data.size() > kMaxXmlFileBytes;
    if (cut)
        data.truncate(int(kMaxXmlFileBytes));

    // The reader's own entity expansion limit keeps entity bombs small; the error ends the loop.
    QXmlStreamReader reader(data);
    reader.readNext();
    while (!reader.atEnd() && !reader.hasError()) {
        if (!handleToken(reader) || reader.hasError())
            break;
        reader.readNext();
    }
    if (!reader.hasError())
        return;
    const QString kept = keepUnreadable(path);
    if (cut && reader.error() == QXmlStreamReader::PrematureEndOfDocumentError) {
        qWarning().noquote() << QStringLiteral("%1 is larger than %2 bytes; reading stopped at "
                                               "line %3: %4; %5")
                                    .arg(path)
                                    .arg(kMaxXmlFileBytes)
                                    .arg(reader.lineNumber())
                                    .arg(reader.errorString(), kept);
    } else {
        qWarning().noquote() << QStringLiteral("%1: XML error at line %2, column %3: %4; %5")
                                    .arg(path)
                                    .arg(reader.lineNumber())
                                    .arg(reader.columnNumber())
                                    .arg(reader.errorString(), kept);
    }
}

void writeExactTextElement(QXmlStreamWriter& writer, const QString& name, const QString& text) {
    writer.writeStartElement(name);
    const QStringList parts = text.split(QLatin1Char('\r'));
    for (int i = 0; i < parts.size(); ++i) {
        if (i > 0)
            writer.writeEntityReference(QStringLiteral("#13"));
        writer.writeCharacters(parts.at(i));
    }
    writer.writeEndElement();
}

bool writeXmlFile(const QString& path, FileAccess access,
                  const std::function<void(QXmlStreamWriter&)>& writeRoot) {
    bool placeholderMade = false;
    if (access == FileAccess::OwnerOnly && !prepareOwnerOnlyTarget(path, &placeholderMade)) {
        qWarning().noquote() << QStringLiteral("Cannot restrict the permissions of %1").arg(path);
        if (placeholderMade)
            QFile::remove(path);
        return false;
    }

    QSaveFile file(path);
    QString error;
    if (file.open(QIODevice::WriteOnly)) {
        QXmlStreamWriter writer(&file);
        writer.setAutoFormatting(true);
        writer.writeStartDocument();
        writeRoot(writer);
        writer.writeEndDocument();
        // An uncommitted QSaveFile discards its temporary file and leaves the old file alone.
        // QSaveFile::commit() misses a failure of its own final flush (a full disk) and would
        // put a cut-off file in place, so the data is flushed and checked first.
        if (writer.hasError() || !file.flush()) {
            file.flush(); // a short write carries no reason; the retry gets the system's error
            error = file.errorString();
        } else if (!file.commit()) {
            error = file.errorString();
        }
    } else {
        error = file.errorString();
    }
    if (error.isNull())
        return true;

    if (placeholderMade)
        QFile::remove(path);
    qWarning().noquote() << QStringLiteral("Cannot write %1: %2").arg(path, error);
    return false;
}
