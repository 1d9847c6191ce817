// XosThread: every thread of the engine is one of these. The thread runs its
// function with floating-point traps armed under a fault guard; a fault is
// translated into a status and handed to the thread's failure handler, whose
// verdict decides: run the function again, stop the thread, or let the
// failure pass and end the process. XosNEHThread calls the function plainly.
// Owned by whoever creates it. A thread is never killed: destroying it asks
// the function to stop (it polls XosStopRequested) and waits a bounded time;
// when the thread has not stopped by then, the process ends with the stop's
// status, since the owner would free what the thread still uses. A thread
// left running by an explicit Stop goes on on its own and must not touch
// its XosThread any more.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/status.h"
#include "platform/thread_host.h"

class XosThread;

using XosThreadFunction = std::uint32_t (*)(void* argument);
// Answers one of the verdicts below; reserved is 0.
using XosFailureHandler = std::int32_t (*)(XosThread* thread, Status status,
                                           std::uint32_t reserved);

class XosThread {
 public:
  static constexpr std::int32_t kRunAgain = 1;
  static constexpr std::int32_t kStop = 2;
  static constexpr std::int32_t kPass = 3;

  static constexpr std::int32_t kNotStarted = -6;
  static constexpr std::int32_t kRunning = -1;
  static constexpr std::int32_t kFinished = -3;
  static constexpr std::int32_t kStopped = -4;
  static constexpr std::int32_t kStateUnknown = -5;

  // The exit code of a thread that has not ended.
  static constexpr std::uint32_t kStillActive = 259;
  // How long destruction waits for a thread asked to stop.
  static constexpr std::uint32_t kStopLimitMs = platform::ThreadHost::kEndLimitMs;
  static constexpr std::uint32_t kInfinite = platform::kWaitForever;

  // Starts the thread at once; the state stays kNotStarted when the system
  // cannot create one. A null handler means the process default. The flag is
  // kept for the creator (the server thread gets 1) and not read here.
  XosThread(XosThreadFunction function, void* argument, XosFailureHandler handler,
            std::uint32_t flag);
  virtual ~XosThread();
  XosThread(const XosThread&) = delete;
  XosThread& operator=(const XosThread&) = delete;

  std::int32_t GetState();
  std::int32_t Wait(std::uint32_t timeout_ms);
  std::uint32_t GetExitCode();
  // Asks the function to stop and waits up to limit_ms for it: 0 when the
  // thread has ended, else 0x8000FFFF and the thread is left running on its
  // own (state -5 from then on).
  Status Stop(std::uint32_t limit_ms);
  // Asks the function to stop without waiting: XosStopRequested answers
  // true on the thread from now on.
  void RequestStop();

 protected:
  struct DeferredStart {};
  // For derived classes: the thread starts when they call Begin, once the
  // object is of its final kind.
  XosThread(XosThreadFunction function, void* argument, XosFailureHandler handler,
            std::uint32_t flag, DeferredStart);
  void Begin();
  // Whether the function runs with traps armed under a fault guard.
  virtual bool Guarded() const { return true; }
  // Every derived destructor calls this first, so the thread never sees the
  // object change its kind under it.
  void EndThread();

  // What the thread writes, shared with it so that a thread left running
  // never writes into a freed object.
  struct Record {
    std::atomic<std::uint32_t> result{0};
    std::atomic<std::int32_t> state{kNotStarted};
  };

  XosThreadFunction function_;
  void* argument_;
  std::shared_ptr<Record> record_ = std::make_shared<Record>();
  std::atomic<std::uint32_t>& result_ = record_->result;
  std::atomic<std::int32_t>& state_ = record_->state;

 private:
  // Everything the new thread needs, copied before it starts: the owner may
  // stop waiting for it and be destroyed before it has run a single line.
  struct Body {
    std::shared_ptr<Record> record;
    XosThreadFunction function;
    void* argument;
    XosFailureHandler handler;
    XosThread* thread;
    bool guarded;
  };
  static std::uint32_t RunBody(const Body& body);

  std::uint32_t flag_;
  XosFailureHandler failure_handler_;
  platform::ThreadHost host_;
};

class XosNEHThread : public XosThread {
 public:
  XosNEHThread(XosThreadFunction function, void* argument, XosFailureHandler handler,
               std::uint32_t flag);
  ~XosNEHThread() override;

 protected:
  // No traps and no fault guard: a fault ends the process.
  bool Guarded() const override { return false; }
};

// The XosThread the calling thread runs in; null on other threads.
XosThread* XosCurrentThread();
// True when the owner of the calling thread has asked it to stop: a thread
// function's loop polls this and returns.
bool XosStopRequested();

// The handler of threads created without one; null restores the built-in
// default, which lets every failure pass.
void XosSetDefaultFailureHandler(XosFailureHandler handler);
XosFailureHandler XosDefaultFailureHandler();
