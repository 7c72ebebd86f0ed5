#pragma once

#include <QString>

// A small RAM-backed volume (tmpfs) mounted on a test's folder, so that a data drive can really
// fill up; unmounted again by the destructor. Needs root.
class SmallVolume final {
public:
    SmallVolume() = default;
    SmallVolume(const SmallVolume&) = delete;
    SmallVolume& operator=(const SmallVolume&) = delete;
    ~SmallVolume();
    // False, with *why set, when it cannot be mounted (not root, no tmpfs).
    bool mount(const QString& path, int sizeMiB, QString* why);

private:
    QString mounted;
};

// Bytes available on the volume that holds `path`, read afresh.
qint64 freeBytes(const QString& path);

// Writes a file that is no recording, taking all but `leaveBytes` of its volume.
bool fillVolume(const QString& path, qint64 leaveBytes);
