#include "settings/settingsfile.h"

#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include "settings/xmlfile.h"

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
        writer.writeEndElement();
        writer.writeEndElement();
    });
}
