#include "settings/configfile.h"

#include <QLineEdit>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include "capture/channelconfig.h"
#include "settings/xmlfile.h"

namespace {

// The file holds at most this many cameras, whatever the caller's array can take.
constexpr int kFileCameras = 8;

bool isTrue(const QString& text) {
    return text.toUpper() == QLatin1String("TRUE");
}

} // namespace

void readConfigFile(const QString& path, ChannelConfig* channels, int count) {
    const int cameras = qMin(count, kFileCameras);
    if (cameras <= 0)
        return;
    int i = 0;
    readXmlFile(path, [&](QXmlStreamReader& reader) {
        // Keys are matched on the name of any token, at any depth; only a camera end tag moves
        // on to the next camera.
        const QString name = reader.name().toString();
        if (name == QLatin1String("location") || name == QLatin1String("recordonstart") ||
            name == QLatin1String("record") || name == QLatin1String("recordstart") ||
            name == QLatin1String("recordstop") || name == QLatin1String("url") ||
            name == QLatin1String("cameratype")) {
            const QString text = reader.readElementText();
            if (reader.hasError())
                return false; // a cut-off value is not stored
            ChannelConfig& channel = channels[i];
            if (name == QLatin1String("location")) {
                if (channel.locationEdit)
                    channel.locationEdit->setText(text);
                channel.setLocation(text);
            } else if (name == QLatin1String("recordonstart")) {
                channel.recordOnStart = isTrue(text);
            } else if (name == QLatin1String("record")) {
                channel.record = isTrue(text);
            } else if (name == QLatin1String("recordstart")) {
                channel.recordStart = text.toUInt(); // 0 when not a number
            } else if (name == QLatin1String("recordstop")) {
                channel.recordStop = text.toUInt();
            } else if (name == QLatin1String("url")) {
                channel.url = text;
            } else {
                channel.cameraType = text.toInt();
            }
        }
        if (reader.isEndElement() && reader.name() == QLatin1String("camera"))
            ++i;
        return i < cameras;
    });
}

bool writeConfigFile(const QString& path, const ChannelConfig* channels, int count) {
    // Stream URLs carry camera passwords: the file is for its owner only.
    return writeXmlFile(path, FileAccess::OwnerOnly, [&](QXmlStreamWriter& writer) {
        writer.writeStartElement(QStringLiteral("config"));
        for (int i = 0; i < qMin(count, kFileCameras); ++i) {
            const ChannelConfig& channel = channels[i];
            // Only the GUI thread writes `location`, and this runs on it, so reading it without
            // the lock races with nothing.
            const QString location =
                channel.locationEdit ? channel.locationEdit->text() : channel.location;
            writer.writeStartElement(QStringLiteral("camera"));
            writer.writeTextElement(QStringLiteral("cameratype"),
                                    QString::number(channel.cameraType));
            writeExactTextElement(writer, QStringLiteral("url"), channel.url);
            writeExactTextElement(writer, QStringLiteral("location"), location);
            writer.writeTextElement(QStringLiteral("record"), channel.record
                                                                  ? QStringLiteral("TRUE")
                                                                  : QStringLiteral("FALSE"));
            writer.writeTextElement(QStringLiteral("recordonstart"), channel.recordOnStart
                                                                         ? QStringLiteral("TRUE")
                                                                         : QStringLiteral("FALSE"));
            writer.writeTextElement(QStringLiteral("recordstart"),
                                    QString::number(channel.recordStart));
            writer.writeTextElement(QStringLiteral("recordstop"),
                                    QString::number(channel.recordStop));
            writer.writeEndElement();
        }
        writer.writeEndElement();
    });
}
