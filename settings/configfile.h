#pragma once

#include <QString>

struct ChannelConfig;

// config.xml: the settings of the cameras. Reading stores into the records (and the location
// line edits, where set); it stops at the first XML error and keeps what was stored before it.
void readConfigFile(const QString& path, ChannelConfig* channels, int count);

// Writes all `count` cameras atomically. Returns false (and logs path and error) on failure.
bool writeConfigFile(const QString& path, const ChannelConfig* channels, int count);
