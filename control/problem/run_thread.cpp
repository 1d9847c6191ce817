#include "control/problem/run_thread.h"

#include <cfenv>
#include <chrono>
#include <cstdio>
#include <thread>

#include "control/engine/engine_handlers.h"
#include "foundation/messages/su_print.h"
#include "framework/runtime/xos_translate.h"
#include "platform/fault_guard.h"

namespace {
std::atomic<std::uint8_t> g_stop_flag{0};

void Sleep(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void QuietPrinter(std::int32_t quiet) {
  platform::CriticalSectionLock hold(SuPrintCriticalSection());
  SetSuPrintQuiet(quiet);
}
}  // namespace

void SimRunLock::Enter() {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> hold(lock_);
  free_.wait(hold, [&] { return depth_ == 0 || owner_ == self; });
  owner_ = self;
  ++depth_;
}

void SimRunLock::Leave() {
  std::lock_guard<std::mutex> hold(lock_);
  if (depth_ == 0 || owner_ != std::this_thread::get_id()) return;
  if (--depth_ == 0) {
    owner_ = std::thread::id();
    free_.notify_all();
  }
}

bool SimRunHandover::StopFlag() { return g_stop_flag.load() != 0; }

std::shared_ptr<SimRunHandover> SimRunHandover::Create(SimRunStepper* stepper) {
  return std::shared_ptr<SimRunHandover>(new SimRunHandover(stepper));
}

SimRunHandover::SimRunHandover(SimRunStepper* stepper) : stepper_(stepper) {
  a_.Enter();
  server_holds_a_ = true;
  b_.Enter();
  server_holds_b_ = true;
}

SimRunHandover::~SimRunHandover() = default;

void SimRunHandover::Shutdown() {
  if (thread_ != nullptr) StopRun();
  if (server_holds_a_) {
    a_.Leave();
    server_holds_a_ = false;
  }
  if (server_holds_b_) {
    b_.Leave();
    server_holds_b_ = false;
  }
}

std::int32_t SimRunHandover::ThreadState() { return thread_ != nullptr ? thread_->GetState() : 0; }

Status SimRunHandover::StartSolverThread(bool no_guard) {
  if (thread_ != nullptr) return status::kOk;
  record_ = std::make_shared<ThreadRecord>();
  waiting_.store(false);
  first_hand_back_.store(false);
  {
    std::lock_guard<std::mutex> hold(reached_lock_);
    reached_first_wait_ = false;
  }
  auto* argument = new Argument{shared_from_this(), record_};
  guarded_.store(!no_guard);
  if (no_guard) {
    thread_ = std::make_unique<XosNEHThread>(Body, argument, nullptr, 0);
  } else {
    thread_ = std::make_unique<XosThread>(Body, argument, nullptr, 0);
  }
  if (thread_->GetState() == XosThread::kNotStarted) {
    delete argument;
    thread_.reset();
    return 0x8032FFFFu;
  }
  // A step started in this pass must find the thread at a known wait, or it
  // would collect the thread's first hand-back as the finished step.
  std::unique_lock<std::mutex> hold(reached_lock_);
  reached_.wait_for(hold, std::chrono::milliseconds(kStartLimitMs),
                    [this] { return reached_first_wait_; });
  return status::kOk;
}

void SimRunHandover::ReachedFirstWait() {
  std::lock_guard<std::mutex> hold(reached_lock_);
  if (reached_first_wait_) return;
  reached_first_wait_ = true;
  reached_.notify_all();
}

std::uint32_t SimRunHandover::Body(void* raw) {
  std::unique_ptr<Argument> argument(static_cast<Argument*>(raw));
  return argument->handover->RunThread(*argument->record);
}

std::uint32_t SimRunHandover::RunThread(ThreadRecord& record) {
  fedisableexcept(FE_ALL_EXCEPT);
  g_stop_flag.store(0);
  if (status::IsFailure(stepper_->ThreadSetUp())) {
    ReachedFirstWait();
    return 1;
  }
  if (stepper_->HandsBackFirst()) {
    first_hand_back_.store(true);
    const Status first = HandBack(record);
    first_hand_back_.store(false);
    if (first != status::kOk) return 1;
  }
  while (g_stop_flag.load() == 0 && !record.stop_requested.load()) {
    WaitForRun();
    if (g_stop_flag.load() == 0 && !record.stop_requested.load() && stepper_->StepAllowed()) {
      step_result_.store(guarded_.load() ? GuardedStep() : stepper_->RunStep());
      steps_run_.fetch_add(1);
    }
    if (HandBack(record) != status::kOk) break;
  }
  return 1;
}

Status SimRunHandover::GuardedStep() {
  for (;;) {
    Status result = status::kOk;
    platform::Fault fault;
    const std::uint32_t code = platform::RunGuarded([&] { result = stepper_->RunStep(); }, &fault);
    if (code == 0) return result;
    const Status translated = XosTranslateException(code);
    // The translation arms the traps again; the run thread keeps them off.
    fedisableexcept(FE_ALL_EXCEPT);
    const XosFailureHandler handler = fault_handler_.load();
    std::int32_t verdict =
        (handler != nullptr ? handler : sync_solver_handler)(XosCurrentThread(), translated, 2);
    // The thread's own guard hears of it and the process ends there.
    if (verdict == XosThread::kPass) platform::PassFault(fault);
    if (verdict == XosThread::kRunAgain) continue;
    if (verdict != XosThread::kStop) {
      std::fprintf(stderr, "User exception handler returned bad value %d\n", verdict);
    }
    // Ended as if it had returned, with the fault as its failure.
    return translated;
  }
}

void SimRunHandover::WaitForRun() {
  ReachedFirstWait();
  a_.Enter();
  a_.Leave();
}

Status SimRunHandover::HandBack(ThreadRecord& record) {
  if (record.stop_requested.load()) {
    record.stopped.store(true);
    return kStopped;
  }
  {
    c_.Enter();
    waiting_.store(true);
    handed_back_.Signal();
    ReachedFirstWait();
    b_.Enter();
    b_.Leave();
    c_.Leave();
  }
  return record.stopped.load() ? kStopped : status::kOk;
}

Status SimRunHandover::TakeRunLock() {
  if (!waiting_.load()) return kNotYet;
  if (first_hand_back_.load()) {
    // The thread's first hand-back is no finished step: let it on to its
    // wait for the step.
    CompleteHandBack();
    return kNotYet;
  }
  EnsureServerHoldsA();
  return status::kOk;
}

void SimRunHandover::EnsureServerHoldsA() {
  if (server_holds_a_) return;
  a_.Enter();
  server_holds_a_ = true;
}

void SimRunHandover::CompleteHandBack() {
  b_.Leave();
  c_.Enter();
  c_.Leave();
  waiting_.store(false);
  handed_back_.Clear();
  b_.Enter();
}

Status SimRunHandover::RunOneStep() {
  CompleteHandBack();
  return status::kOk;
}

void SimRunHandover::ReleaseStep() {
  if (waiting_.load()) CompleteHandBack();
  // Only this step's hand-back may wake the server.
  handed_back_.Clear();
  if (server_holds_a_) {
    server_holds_a_ = false;
    a_.Leave();
  }
}

Status SimRunHandover::StopRun() {
  QuietPrinter(1);
  if (record_ != nullptr) record_->stop_requested.store(true);
  g_stop_flag.store(1);
  // A step still computing sees the request at its solvers' next look and
  // ends; waiting for it to come back by itself could take for ever.
  if (thread_ != nullptr) thread_->RequestStop();
  last_stop_forced_.store(false);
  bool handshake = false;
  if (thread_ != nullptr) {
    for (std::int32_t tries = 0;;) {
      if (!server_holds_a_) {
        if (waiting_.load()) {
          a_.Enter();
          server_holds_a_ = true;
          if (waiting_.load()) {
            handshake = true;
            break;
          }
        }
      } else if (waiting_.load()) {
        handshake = true;
        break;
      }
      if (record_->stopped.load() || thread_->GetState() <= XosThread::kFinished) break;
      if (tries >= kStopTries) {
        last_stop_forced_.store(true);
        break;
      }
      if (tries != 1) {
        Sleep(kTryMs);
        ++tries;
      } else {
        // Lets a thread blocked before its step run on and see the stop.
        if (server_holds_a_) {
          server_holds_a_ = false;
          a_.Leave();
        }
        tries = 2;
      }
    }
    if (handshake) CompleteHandBack();
    // Destroying the object waits, bounded, for the thread to end; one that
    // does not ends the process, since what it uses goes next.
    thread_.reset();
  }
  waiting_.store(false);
  first_hand_back_.store(false);
  EnsureServerHoldsA();
  QuietPrinter(0);
  return status::kOk;
}
