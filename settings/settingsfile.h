#pragma once

#include <QString>

#include "capture/channelconfig.h"

// Free space to keep on the data drive's volume, in MiB. kKeepFreeDefault means "the default
// rule" (5 % of the volume or 4 GiB, whichever is larger); 0 turns deletion of old recordings off.
constexpr qint64 kKeepFreeDefault = -1;

struct ProgramSettings {
    QString dataDrive;
    qint64 keepFreeMiB = kKeepFreeDefault;
    RecordingFormat format = RecordingFormat::Iyuv;
};

// settings.xml. Reading changes only what the file holds; it stops at the first XML error.
void readSettingsFile(const QString& path, ProgramSettings* settings);
bool writeSettingsFile(const QString& path, const ProgramSettings& settings);
