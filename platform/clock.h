// Time as the engine knows it: sleeping the calling thread and a
// 32-bit millisecond tick count that wraps after about 49.7 days.
#pragma once

#include <cstdint>

namespace platform {

void SleepMs(std::uint32_t ms);

// Milliseconds of a monotonic clock, truncated to 32 bits. Callers compare
// ticks by unsigned difference, which stays right across the wrap.
std::uint32_t TickCount();

// Moves the tick count by delta milliseconds, so that tests can place it
// just before the wrap.
void ShiftTickCountForTesting(std::int64_t delta);

// The wall-clock time in the local time zone.
struct LocalDateTime {
  int year = 0;   // e.g. 2026
  int month = 0;  // 1-12
  int day = 0;    // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
};
LocalDateTime LocalNow();

}  // namespace platform
