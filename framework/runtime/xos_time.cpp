#include "framework/runtime/xos_time.h"

#include "platform/clock.h"

void XosSleep(std::uint32_t ms) { platform::SleepMs(ms); }

std::int32_t XosTickIntervalElapsed(std::uint32_t* stamp, std::uint32_t ms) {
  const std::uint32_t now = platform::TickCount();
  if (now - *stamp < ms) return 0;
  *stamp = now;
  return 1;
}
