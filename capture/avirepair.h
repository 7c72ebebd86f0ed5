#pragma once

#include <QString>

// What is left of an AVI recording whose writer never wrote its end (the writes stopped landing,
// for instance on a full drive): a header with placeholder sizes, the frame chunks that landed
// and often a part of one more. Readers cope with the missing index, but a torn last chunk reads
// as a decoding error.
namespace AviRepair {
// Cuts the file after its last whole chunk and writes the real sizes into the RIFF and "movi"
// headers. Returns the number of whole video frames kept: 0 for a file without the AVI header or
// without a single whole frame (nothing worth keeping), -1 when the file cannot be changed.
int trimToWholeFrames(const QString& path);

// Whether the file is an AVI recording whose writer never finished it (killed, or the power
// failed): its RIFF header still holds the writer's placeholder size.
bool isUnfinished(const QString& path);
} // namespace AviRepair
