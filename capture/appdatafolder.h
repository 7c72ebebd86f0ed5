#pragma once

#include <QString>

// Makes, level by level, and returns the folder that holds config.xml, settings.xml and the
// message log, ending in "/": under ProgramData on Windows, under the user's configuration
// folder elsewhere.
QString applicationDataFolder();
