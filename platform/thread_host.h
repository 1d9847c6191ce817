// ThreadHost runs one body on a thread of its own; it is the only code of the
// engine that creates threads. What the thread writes (done flag, exit code)
// lives in a control block that the thread shares, so a thread that had to be
// detached never writes into a freed object. A thread is never killed: its
// owner asks it to stop, and the body's loop polls StopRequested() and
// returns, leaving every lock and destructor to run as usual.
// Owned by whoever started the thread (XosThread, the console listener).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace platform {

inline constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

struct ThreadControl;

class ThreadHost {
 public:
  using Body = std::function<std::uint32_t()>;

  ThreadHost();
  // Ends a thread that is still running (End with kEndLimitMs).
  ~ThreadHost();
  ThreadHost(const ThreadHost&) = delete;
  ThreadHost& operator=(const ThreadHost&) = delete;

  static constexpr std::uint32_t kEndLimitMs = 2000;

  // Starts body on a new thread; false when there is one already or the
  // system cannot create one.
  bool Start(Body body);
  bool Started() const;
  // The body has returned.
  bool Done() const;
  // Waits up to timeout_ms (kWaitForever: no limit); true when done.
  bool WaitDone(std::uint32_t timeout_ms) const;
  // The body's return value once done; meaningless before.
  std::uint32_t ExitCode() const;

  // Asks the thread to stop; its body sees StopRequested() from now on.
  void RequestStop();
  // Asks the thread to stop and waits up to limit_ms for its body to
  // return. True when it has (or had already); otherwise the thread is
  // detached and goes on until it looks.
  bool End(std::uint32_t limit_ms);
  // Lets the thread run on its own; the host no longer waits for it.
  void Detach();

  // True on a hosted thread whose owner has asked it to stop; false on any
  // other thread.
  static bool StopRequested();

 private:
  std::shared_ptr<ThreadControl> control_;
  std::thread thread_;
};

}  // namespace platform
