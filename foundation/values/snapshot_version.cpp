#include "foundation/values/snapshot_version.h"

std::uint32_t SnapshotFileVersion = 0;
