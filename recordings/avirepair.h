#pragma once

#include <QString>

// What is left of an AVI recording whose writer never finished it (killed, the power failed, the
// writes stopped landing on a full drive): a header with placeholder sizes and no frame counts,
// the frame chunks that landed and often a part of one more, no index. Readers cope with some of
// that, but a torn last chunk reads as a decoding error, and without counts and index players
// show no length and cannot seek.
namespace AviRepair {
// Makes the file a complete AVI: cuts it after its last whole chunk, appends an index of the
// chunks kept (each indexed as it is, whatever its size), writes the frame counts and the sizes.
// The RIFF size, which tells a finished file, is written last and only once the rest is on the
// disk; until then the file reads as unfinished. A call cut short (killed, or the drive full)
// loses nothing of the kept frames, and the next call completes the file.
// Returns the number of whole video frames kept: 0 for a file without the AVI header or without
// a single whole frame (nothing worth keeping), -1 when the file cannot be completed now.
int finish(const QString& path);

// Whether the file is an AVI recording that still needs finish(): its RIFF size is the writer's
// placeholder or does not match the file's length, or sizes were written without frame counts.
bool isUnfinished(const QString& path);
} // namespace AviRepair
