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
};

class SimControlLoop {
 public:
  static constexpr std::uint32_t kNotificationService = 81;
  static constexpr std::uint32_t kNotificationSubtype = 12;
  static constexpr std::uint32_t kIdleMs = 2;
  static constexpr std::uint32_t kFlushIntervalMs = 2000;

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
  void Notify();
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
};
