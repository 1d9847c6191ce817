// Bounds that only catch a hang: a base measured on a quiet machine in the
// main tree, stretched for the sanitizer trees and for a machine whose
// cores this process shares. They end a wait that would never end; they
// never decide whether something was fast enough.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "tests/support/fault_tests.h"

namespace testsupport {

// How much slower the sanitizers make the engine and the tests.
inline constexpr double kTreeFactor =
    kUnderThreadSanitizer ? 6.0 : (kUnderAddressSanitizer ? 3.0 : 1.0);

// How much slower than a core of its own this process runs now: wall time
// over processor time of a short spin, measured once (1 to 8).
// VANTOR_TEST_TIME_SCALE, when set, takes its place.
inline double MachineFactor() {
  static const double factor = [] {
    if (const char* set = std::getenv("VANTOR_TEST_TIME_SCALE")) {
      const double value = std::atof(set);
      if (value >= 1.0) return value;
    }
    const auto cpu = [] {
      timespec now{};
      ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
      return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
    };
    const double cpu_start = cpu();
    const auto wall_start = std::chrono::steady_clock::now();
    volatile std::uint64_t sink = 0;
    while (cpu() - cpu_start < 0.02) {
      for (int k = 0; k < 10000; ++k) sink = sink + static_cast<std::uint64_t>(k);
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    return std::clamp(wall / std::max(cpu() - cpu_start, 1e-6), 1.0, 8.0);
  }();
  return factor;
}

// A bound on a wait that only catches a hang, from its quiet-machine base.
inline std::chrono::milliseconds HangBound(std::chrono::milliseconds base) {
  return std::chrono::milliseconds(
      static_cast<std::int64_t>(static_cast<double>(base.count()) * kTreeFactor * MachineFactor()));
}

// The same in milliseconds, for the client's time-out.
inline std::uint32_t HangBoundMs(std::uint32_t base_ms) {
  const auto bound = HangBound(std::chrono::milliseconds(base_ms)).count();
  return static_cast<std::uint32_t>(std::min<std::int64_t>(bound, 0x7FFFFFFF));
}

}  // namespace testsupport
