#include "settings/settingsfile.h"

#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include "settings/xmlfile.h"

namespace {
// The <format> element's text for the compact format; the default, IYUV, is written as no
// element at all.
const char* const kFormatCompact = "mjpeg";
const char* const kFormatUncompressed = "iyuv";
} // namespace

void readSettingsFile(const QString& path, ProgramSettings* settings) {
    readXmlFile(path, [&](QXmlStreamReader& reader) {
        // The elements count anywhere in the document; a later one wins.
        if (reader.name() == QLatin1String("datadrive")) {
            const QString text = reader.readElementText();
            if (reader.hasError())
                return false;
            settings->dataDrive = text;
        } else if (reader.name() == QLatin1String("keepfree")) {
            const QString text = reader.readElementText();
            if (reader.hasError())
                return false;
            bool ok = false;
            const qint64 mib = text.toLongLong(&ok);
            if (ok && (mib >= 0 || mib == kKeepFreeDefault))
                settings->keepFreeMiB = mib;
        } else if (reader.name() == QLatin1String("format")) {
            const QString text = reader.readElementText().trimmed();
            if (reader.hasError())
                return false;
            if (text == QLatin1String(kFormatCompact))
                settings->format = RecordingFormat::Mjpeg;
            else if (text == QLatin1String(kFormatUncompressed))
                settings->format = RecordingFormat::Iyuv;
        }
        return true;
    });
}

bool writeSettingsFile(const QString& path, const ProgramSettings& settings) {
    return writeXmlFile(path, FileAccess::Default, [&](QXmlStreamWriter& writer) {
        writer.writeStartElement(QStringLiteral("settings"));
        writer.writeStartElement(QStringLiteral("setting"));
        writeExactTextElement(writer, QStringLiteral("datadrive"), settings.dataDrive);
        // Left out at the default (any negative value), so that such a file stays what older
        // versions wrote.
        if (settings.keepFreeMiB >= 0)
            writer.writeTextElement(QStringLiteral("keepfree"),
                                    QString::number(settings.keepFreeMiB));
        if (settings.format == RecordingFormat::Mjpeg)
            writer.writeTextElement(QStringLiteral("format"), QLatin1String(kFormatCompact));
        writer.writeEndElement();
        writer.writeEndElement();
    });
}
