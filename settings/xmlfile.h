#pragma once

#include <functional>

#include <QString>

class QXmlStreamReader;
class QXmlStreamWriter;

// Our files hold a few kilobytes; anything beyond this is damaged or hostile and is not read past.
constexpr qint64 kMaxXmlFileBytes = 1024 * 1024;

// Reads the XML file at `path` token by token, starting with the first one, and hands each to
// `handleToken` until the document ends, `handleToken` returns false or the reader meets an
// error. A missing file is silently skipped. A file that cannot be opened is logged with
// "Error: Cannot read file %1 %2". An XML error (also the size cap cutting the file short) ends
// reading; the file is then kept, untouched, as "<name>.unreadable-<yyyy-MM-dd_HH-mm-ss>" beside
// it (the next save would replace it), and this is logged once as a warning with path, line
// and where the original went. Whatever the handler stored before stays. The handler must not
// store a value whose read left the reader in error.
void readXmlFile(const QString& path, const std::function<bool(QXmlStreamReader&)>& handleToken);

enum class FileAccess { Default, OwnerOnly };

// QXmlStreamWriter::writeTextElement, except that a carriage return is written as "&#13;".
// Written raw, the reader would hand it back as a line feed, and the value would change with
// every save.
void writeExactTextElement(QXmlStreamWriter& writer, const QString& name, const QString& text);

// Writes an auto-formatted XML document atomically: `writeRoot` writes the root element, the
// declaration and the end of the document are added here. With OwnerOnly the file never exists
// with wider permissions than owner read/write, not even while it is written (Unix). On
// failure the old file stays whole, path and error are logged as a warning, and false returns.
bool writeXmlFile(const QString& path, FileAccess access,
                  const std::function<void(QXmlStreamWriter&)>& writeRoot);
