// The version of the snapshot file being read: set by the snapshot reader
// while a participant restores its section, 0 otherwise. Readers of older
// record layouts (stored value tables) look at it.
#pragma once

#include <cstdint>

extern std::uint32_t SnapshotFileVersion;
