#pragma once

#include <QString>

// A small RAM-backed volume (tmpfs) on a test's folder, so that a data drive can really fill up;
// unmounted by the destructor. Needs root.
class SmallVolume final {
public:
    ~SmallVolume();
    // False, with *why set, when it cannot be mounted (not root, no tmpfs).
    bool mount(const QString& path, int sizeMiB, QString* why);

private:
    QString mounted;
};

// Writes a file that is no recording, taking all but `leaveBytes` of its volume.
bool fillVolume(const QString& path, qint64 leaveBytes);
