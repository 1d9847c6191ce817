// The control loop of the engine: a state machine that runs the work of its
// state once per pass, tells the client when the run state changed, polls
// the message controller (which runs the client's commands and requests)
// and flushes the message collector. Commands only set requests; the loop
// turns them into hook points of the action manager and, later, run steps.
#pragma once

#include <cstdint>

#include "platform/status.h"

class SimProblemMgr;

// What the loop needs of the message controller.
class ControlLoopPort {
 public:
  virtual Status Poll() = 0;
  virtual Status PollWithTimers() = 0;
  // The idle wait of a pass with nothing urgent: up to `ms`, less when a
  // peer has something to read.
  virtual void Idle(std::uint32_t ms) = 0;
  // The same wait that also ends when `wake` (a descriptor) becomes
  // readable: the run thread handing a step back.
  virtual void IdleOrWake(std::uint32_t ms, int wake) = 0;
  virtual std::int32_t ChildNumber() = 0;

 protected:
  ~ControlLoopPort() = default;
};

// The states of the loop.
enum LoopState : std::int32_t {
  kStateIdle = 0,
  kStateAttached = 1,
  kStatePreparing = 2,
  kStateSingleAction = 3,
  kStateEnding = 4,
  kStateReady = 5,
  kStatePaused = 6,
  kStateInitialisationBefore = 7,
  kStateInitialisationStep = 8,
  kStateInitialisationAfter = 9,
  kStateInitialisationFailed = 10,
  kStateDynamicBefore = 11,
  kStateDynamicStep = 12,
  kStateDynamicAfter = 13,
  kStateDynamicFailed = 14,
  kStateDynamicInitBefore = 15,
  kStateDynamicInitStep = 16,
  kStateDynamicInitAfter = 17,
  kStateDynamicInitFailed = 18,
  kStateSteadyBefore = 19,
  kStateSteadyStep = 20,
  kStateSteadyAfter = 21,
  kStateSteadyFailed = 22,
};

// Kinds of the timed events of the steps.
namespace step_event {
inline constexpr std::uint32_t kSteadyState = 16;
inline constexpr std::uint32_t kInitialisation = 32;
inline constexpr std::uint32_t kCommunication = 65;
inline constexpr std::uint32_t kDynamicStart = 128;
inline constexpr std::uint32_t kDynamicRestart = 384;
}  // namespace step_event

class SimControlLoop {
 public:
  static constexpr std::uint32_t kNotificationService = 81;
  static constexpr std::uint32_t kNotificationSubtype = 12;
  static constexpr std::uint32_t kIdleMs = 2;
  static constexpr std::uint32_t kFlushIntervalMs = 2000;
  // Held lines (in bytes) that go without waiting for the interval.
  static constexpr std::size_t kFlushAtBytes = 32 * 1024;

  SimControlLoop(SimProblemMgr& manager, ControlLoopPort& port);

  // The one-time set-up, then passes until the end.
  Status Run();
  void SetUp();
  // One pass; true when the loop ended, with its status in *result.
  bool Pass(Status* result);

  std::int32_t State() const { return state_; }
  std::int32_t PassInState() const { return pass_in_state_; }

 private:
  void StateWork();
  bool Interrupt();
  // Passes the hook point with the given control state; the dispatch result.
  Status Hook(std::int32_t hook_point, std::int32_t control_state);
  void Idle();
  void Attach();
  void ReadyWork(bool paused);
  // The check before a run leaves the ready state; false keeps it there.
  bool MayStartRun();
  // The problem built again after a change of its structure; false when
  // that failed (told to the client).
  bool Rebuilt();
  // Before a step starts: true when a change since the state before it sent
  // the loop elsewhere (an initialisation, or the failure state).
  bool ChangedBeforeStep();
  void Notify();
  void CheckRunThread();
  // Starts the step on the first pass, collects it on a later one: true once
  // the run thread has handed it back.
  bool Step(std::uint32_t kind);
  void ScheduleCommunication();
  // After a negative pass status: a scheduled step is collected first.
  void AbandonScheduledStep();
  // The work of the states that collect a step or handle its failure.
  void AttachedWork();
  void Collecting();
  void Failure();
  void BeforeStep();
  void ApplyAssignments(std::int32_t ready);
  void GiveBackCountedStep();
  void SaveSnapshots(std::int32_t fallback);
  std::int32_t ReadyState() const { return state_ >= 11 && state_ <= 18 ? 6 : 5; }
  // Run state 2, the given bits set after clearing 0x40 to 0x400.
  void Abandon(std::uint32_t bit);
  bool FlushesEveryPass() const;

  SimProblemMgr& pm_;
  ControlLoopPort& port_;
  std::int32_t state_ = kStateIdle;
  std::int32_t previous_ = -1;
  std::int32_t pass_in_state_ = 0;
  bool wait_ = true;
  bool skip_poll_ = false;
  bool end_ = false;
  Status pass_status_ = status::kOk;
  std::uint32_t flush_stamp_ = 0;
  std::int32_t run_mode_seen_ = -1;
  // What the hook point of this pass answered.
  // The last step could not start: no run thread.
  bool step_failed_ = false;
  // State 11 took the coming step from the client's step count; given back
  // when the loop goes to an initialisation instead, which takes its own.
  bool step_counted_ = false;
  // The run status record as last read while no step computed.
  double known_time_ = 0.0;
  std::uint16_t known_counter_ = 0;
  std::uint16_t known_stops_ = 0;
};
