#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

namespace platform {

namespace {
std::atomic<std::int64_t> g_tick_shift{0};
}

void SleepMs(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::uint32_t TickCount() {
  const auto since_boot = std::chrono::steady_clock::now().time_since_epoch();
  const std::int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_boot).count();
  return static_cast<std::uint32_t>(ms + g_tick_shift.load(std::memory_order_relaxed));
}

void ShiftTickCountForTesting(std::int64_t delta) {
  g_tick_shift.fetch_add(delta, std::memory_order_relaxed);
}

LocalDateTime LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
  LocalDateTime result;
  result.year = parts.tm_year + 1900;
  result.month = parts.tm_mon + 1;
  result.day = parts.tm_mday;
  result.hour = parts.tm_hour;
  result.minute = parts.tm_min;
  result.second = parts.tm_sec;
  return result;
}

}  // namespace platform
