#include "framework/runtime/xos_time.h"

#include <atomic>

#include "platform/clock.h"

namespace {
std::atomic<std::uint64_t> g_slept_ms{0};
}  // namespace

void XosSleep(std::uint32_t ms) {
  g_slept_ms += ms;
  platform::SleepMs(ms);
}

std::uint64_t XosSleptMs() { return g_slept_ms.load(); }

std::int32_t XosTickIntervalElapsed(std::uint32_t* stamp, std::uint32_t ms) {
  const std::uint32_t now = platform::TickCount();
  if (now - *stamp < ms) return 0;
  *stamp = now;
  return 1;
}
