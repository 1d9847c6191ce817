// The run thread and the baton it passes with the server thread. Three
// critical sections: A (the run lock) is held by the server while no step
// may run; B (the hand-over lock) is held by the server except while it
// completes a hand-back; C is held by the run thread during its hand-back,
// so that the server can wait until the thread has left it. A step: the
// server leaves A, the thread passes A, runs the step and blocks on B; the
// server finds it waiting, takes A back, collects the step, and lets the
// thread out of B, after which it blocks on A again.
//
// A stop asks the thread at once (XosStopRequested), so that a step still
// computing ends at its solvers' next look instead of being waited for. The
// object is shared with the thread, and each thread has its own stop
// record, so a thread that outlives its stop never sees the flags of its
// successor.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "framework/runtime/xos_thread.h"
#include "platform/socket.h"
#include "platform/status.h"

// A critical section that one thread may enter again and another may wait
// for. Held across the hand-over by different threads in turns, so it keeps
// its owner itself rather than leaving lock order to a mutex.
class SimRunLock {
 public:
  void Enter();
  void Leave();

 private:
  std::mutex lock_;
  std::condition_variable free_;
  std::thread::id owner_;
  std::int32_t depth_ = 0;
};

// What the run thread does between hand-overs, done by the problem manager.
class SimRunStepper {
 public:
  // Per-thread set-up on the run thread; a failure runs no step.
  virtual Status ThreadSetUp() = 0;
  // True when the thread must hand back first (no stop counted yet).
  virtual bool HandsBackFirst() = 0;
  // True when the status bits allow a step (0x20, 0x40 or 0x80).
  virtual bool StepAllowed() = 0;
  // The step; its result status.
  virtual Status RunStep() = 0;

 protected:
  ~SimRunStepper() = default;
};

class SimRunHandover : public std::enable_shared_from_this<SimRunHandover> {
 public:
  static constexpr Status kNotYet = 0x00320025u;
  static constexpr Status kStopped = 0xA032FFFFu;
  static constexpr std::int32_t kStopTries = 50;
  static constexpr std::uint32_t kTryMs = 10;
  // How long a start waits for the new thread to reach its first wait.
  static constexpr std::uint32_t kStartLimitMs = 5000;

  // Enters A and B for the calling thread, the server thread.
  static std::shared_ptr<SimRunHandover> Create(SimRunStepper* stepper);
  ~SimRunHandover();
  // Stops the thread and leaves A and B; the owner calls it on the server
  // thread before letting go of the object.
  void Shutdown();
  SimRunHandover(const SimRunHandover&) = delete;
  SimRunHandover& operator=(const SimRunHandover&) = delete;

  // Server side.
  // Starts the run thread unless one runs; returns once it waits for its
  // first step (bounded). no_guard: the plain thread kind, without traps and
  // fault guard, and no guard around the steps either.
  Status StartSolverThread(bool no_guard);
  // Asked for its verdict on a machine fault inside a guarded step, with
  // the translated status and kind 2: 1 runs the step again, 2 ends it with
  // the status as its result, 3 lets the fault pass on to the thread's own
  // handler; null restores the run thread's handler, sync_solver_handler.
  void SetStepFaultHandler(XosFailureHandler handler) { fault_handler_.store(handler); }
  Status TakeRunLock();
  Status RunOneStep();
  // Stops and destroys the thread; the run-step bookkeeping is the caller's.
  Status StopRun();
  // Step start: lets a waiting thread out of its hand-back and leaves A.
  void ReleaseStep();
  void EnsureServerHoldsA();

  bool ThreadStarted() const { return thread_ != nullptr; }
  // The run thread's state (XosThread::GetState), or 0 without a thread.
  std::int32_t ThreadState();
  bool Waiting() const { return waiting_.load(); }
  // Readable from the thread's hand-back until the server takes it back.
  int HandBackDescriptor() const { return handed_back_.Descriptor(); }
  bool ServerHoldsA() const { return server_holds_a_; }
  // Whether the last stop gave up waiting after every try.
  bool LastStopForced() const { return last_stop_forced_.load(); }
  // The result status of the last step the thread ran.
  Status StepResult() const { return step_result_.load(); }
  // Steps run since construction.
  std::uint64_t StepsRun() const { return steps_run_.load(); }

  // The process-wide stop flag of the run thread.
  static bool StopFlag();

 private:
  // One run thread's own record of being asked to stop and having stopped.
  struct ThreadRecord {
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> stopped{false};
  };
  struct Argument {
    std::shared_ptr<SimRunHandover> handover;
    std::shared_ptr<ThreadRecord> record;
  };

  explicit SimRunHandover(SimRunStepper* stepper);
  static std::uint32_t Body(void* argument);
  std::uint32_t RunThread(ThreadRecord& record);
  Status HandBack(ThreadRecord& record);
  // The step under the fault guard, with the handler's verdicts.
  Status GuardedStep();
  void WaitForRun();
  void ReachedFirstWait();
  void CompleteHandBack();

  SimRunStepper* stepper_;
  SimRunLock a_;
  SimRunLock b_;
  SimRunLock c_;
  bool server_holds_a_ = false;
  bool server_holds_b_ = false;
  std::atomic<bool> waiting_{false};
  platform::WakeSignal handed_back_;
  // Set while the thread waits in its first hand-back: not a finished step.
  std::atomic<bool> first_hand_back_{false};
  std::unique_ptr<XosThread> thread_;
  std::shared_ptr<ThreadRecord> record_;
  // Whether the current thread guards its steps.
  std::atomic<bool> guarded_{true};
  std::atomic<XosFailureHandler> fault_handler_{nullptr};
  std::atomic<bool> last_stop_forced_{false};
  std::atomic<Status> step_result_{0};
  std::atomic<std::uint64_t> steps_run_{0};

  std::mutex reached_lock_;
  std::condition_variable reached_;
  bool reached_first_wait_ = false;
};
