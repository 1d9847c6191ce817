// Waiting in tests for something another thread or process does: until a
// condition holds or a deadline in seconds has passed, checking again every
// millisecond. A count of rounds is no bound on a loaded machine, where the
// other side may not run for a long while.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

inline constexpr std::chrono::seconds kWaitDeadline{30};

// Whether `done` came before the deadline.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::steady_clock::duration deadline = kWaitDeadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace testsupport
