// How much memory the machine has, for bounds that should grow with it.
#pragma once

#include <cstdint>

namespace platform {

// Bytes of physical memory; 0 when the system does not say.
std::uint64_t PhysicalMemoryBytes();

}  // namespace platform
