#include "framework/runtime/xos_thread.h"

#include <cstdio>

#include "framework/runtime/xos_translate.h"
#include "platform/exit_code.h"
#include "platform/fault_guard.h"
#include "platform/floating_point.h"
#include "platform/standard_error.h"

namespace {

thread_local XosThread* t_current = nullptr;

std::int32_t LetFailurePass(XosThread*, Status, std::uint32_t) { return XosThread::kPass; }

std::atomic<XosFailureHandler> g_default_handler{nullptr};

// How long GetExitCode waits for a thread whose function has returned.
constexpr std::uint32_t kExitWaitMs = 2000;

}  // namespace

XosThread* XosCurrentThread() { return t_current; }

bool XosStopRequested() { return platform::ThreadHost::StopRequested(); }

void XosSetDefaultFailureHandler(XosFailureHandler handler) { g_default_handler.store(handler); }

XosFailureHandler XosDefaultFailureHandler() {
  const XosFailureHandler handler = g_default_handler.load();
  return handler != nullptr ? handler : LetFailurePass;
}

XosThread::XosThread(XosThreadFunction function, void* argument, XosFailureHandler handler,
                     std::uint32_t flag)
    : XosThread(function, argument, handler, flag, DeferredStart{}) {
  Begin();
}

XosThread::XosThread(XosThreadFunction function, void* argument, XosFailureHandler handler,
                     std::uint32_t flag, DeferredStart)
    : function_(function), argument_(argument), flag_(flag),
      failure_handler_(handler != nullptr ? handler : XosDefaultFailureHandler()) {}

void XosThread::Begin() {
  // Running before the thread exists: a quick thread may already have finished
  // when Start returns.
  state_ = kRunning;
  const Body body{record_, function_, argument_, failure_handler_, this, Guarded()};
  if (!host_.Start([body] { return RunBody(body); })) state_ = kNotStarted;
}

XosThread::~XosThread() { EndThread(); }

void XosThread::EndThread() {
  const Status stopped = Stop(kStopLimitMs);
  if (stopped != status::kOk) {
    // The owner is about to free what the thread still uses: going on would
    // end in a fault on that thread.
    char line[96];
    std::snprintf(line, sizeof line,
                  "A thread did not stop within %u ms (0x%08X); the process ends\n", kStopLimitMs,
                  stopped);
    platform::SayOnStandardError(line);
    platform::AbandonWithStatus(stopped);
  }
  state_ = kNotStarted;
}

void XosThread::RequestStop() { host_.RequestStop(); }

Status XosThread::Stop(std::uint32_t limit_ms) {
  if (!host_.Started()) return status::kOk;
  if (!host_.End(limit_ms)) {
    state_ = kStateUnknown;
    return status::kUnhandled;
  }
  std::int32_t running = kRunning;
  state_.compare_exchange_strong(running, kFinished);
  return status::kOk;
}

std::uint32_t XosThread::RunBody(const Body& body) {
  t_current = body.thread;
  if (!body.guarded) {
    // A new thread inherits its creator's traps; this kind runs without any.
    platform::ResetFloatingPoint();
    return body.function(body.argument);
  }
  Record* const record = body.record.get();
  const XosFailureHandler handler = body.handler;
  XosSetFloatingPointTraps(1);
  for (;;) {
    std::uint32_t result = 0;
    platform::Fault fault;
    const std::uint32_t code =
        platform::RunGuarded([&] { result = body.function(body.argument); }, &fault);
    if (code == 0) {
      record->result = result;
      record->state = kFinished;
      break;
    }
    const Status status = XosTranslateException(code);
    std::int32_t verdict = handler(body.thread, status, 0);
    if (verdict == kPass) platform::PassFault(fault);
    if (verdict != kRunAgain && verdict != kStop) {
      std::fprintf(stderr, "User exception handler returned bad value %d\n", verdict);
      verdict = kStop;
    }
    if (verdict == kStop) {
      // The fault is the thread's result: a server thread stopped by it must
      // not end the process as a success.
      record->result = status;
      record->state = kStopped;
      break;
    }
  }
  return record->result;
}

std::int32_t XosThread::GetState() {
  std::int32_t state = state_;
  if (state < -2) return state;
  // The thread's own final state (finished or stopped) stands; a thread that
  // ended without setting one has finished.
  if (host_.Done()) state_.compare_exchange_strong(state, kFinished);
  return state_;
}

std::int32_t XosThread::Wait(std::uint32_t timeout_ms) {
  std::int32_t state = state_;
  if (state < -2) return state;
  if (host_.WaitDone(timeout_ms)) state_.compare_exchange_strong(state, kFinished);
  return state_;
}

std::uint32_t XosThread::GetExitCode() {
  if (!host_.Started()) return static_cast<std::uint32_t>(state_.load());
  if (!host_.Done() && state_ == kFinished) host_.WaitDone(kExitWaitMs);
  if (!host_.Done()) return static_cast<std::uint32_t>(state_.load());
  std::int32_t state = kRunning;
  state_.compare_exchange_strong(state, kFinished);
  return host_.ExitCode();
}

XosNEHThread::XosNEHThread(XosThreadFunction function, void* argument, XosFailureHandler handler,
                           std::uint32_t flag)
    : XosThread(function, argument, handler, flag, DeferredStart{}) {
  Begin();
}

XosNEHThread::~XosNEHThread() { EndThread(); }
