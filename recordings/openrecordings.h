#pragma once

#include <QSet>
#include <QString>
#include <QStringList>

// Process-wide list of the recording files that capture workers have open, so that nothing that
// frees disk space ever deletes a file that is still being written or read for an export.
// Thread-safe.
namespace OpenRecordings {
// Counted: a file stays listed until every add() has had its remove(), so that an export of the
// file being recorded, which ends first, leaves the worker's registration in place.
void add(const QString& path);
void remove(const QString& path);
QSet<QString> snapshot();

// A worker could not create a writer: space may have run out. Whoever keeps disk space polls
// the count and checks at once when it grows.
void reportWriteFailure();
quint64 writeFailureCount();

// Closed recordings whose repair could not finish (the drive was still full): whoever keeps disk
// space takes them and tries again, until each is finished or gone.
void awaitRepair(const QString& path);
QStringList takeAwaitingRepair();
} // namespace OpenRecordings
