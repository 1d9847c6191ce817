// Sleeping and interval checks on the 32-bit millisecond tick count.
#pragma once

#include <cstdint>

void XosSleep(std::uint32_t ms);

// 1, and *stamp set to the current tick count, when at least ms milliseconds
// have passed since *stamp (across the 32-bit wrap too); otherwise 0.
std::int32_t XosTickIntervalElapsed(std::uint32_t* stamp, std::uint32_t ms);
