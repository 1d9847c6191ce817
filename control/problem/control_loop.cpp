#include "control/problem/control_loop.h"

#include "control/problem/problem_manager.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/solver_options.h"
#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/runtime/xos_time.h"
#include "framework/servers/sending.h"

namespace {
constexpr std::int32_t kRunModeOption = 29;
constexpr std::int32_t kSteadyState = 1;
constexpr std::int32_t kDynamic = 4;
constexpr std::int32_t kInitialisation = 5;
// The first state of each kind of run, and the state after the last idle one.
constexpr std::int32_t kFirstInitialisationState = 7;
constexpr std::int32_t kDynamicStepState = 11;
constexpr std::int32_t kFirstDynamicState = 15;
constexpr std::int32_t kFirstSteadyState = 19;

std::int32_t RunMode() { return SolverOptions::Instance()->GetInt(kRunModeOption); }
}  // namespace

Status SimProblemMgr::RunControlLoop(ControlLoopPort& port) {
  SimControlLoop loop(*this, port);
  return loop.Run();
}

SimControlLoop::SimControlLoop(SimProblemMgr& manager, ControlLoopPort& port)
    : pm_(manager), port_(port) {}

Status SimControlLoop::Run() {
  SetUp();
  Status result = status::kOk;
  while (!Pass(&result)) {
  }
  return result;
}

void SimControlLoop::SetUp() {
  InitProcedureContext(&pm_, &pm_.collector_);
  pm_.instance_record_made_ = true;
  pm_.instance_flag_ = 1;
  pm_.child_number_ = port_.ChildNumber();
  pm_.next_action_ = 0;
  pm_.SetStatusBits(run_bits::kEngineUp);
  SolverOptions::Instance();
  state_ = kStateIdle;
  previous_ = -1;
  XosTickIntervalElapsed(&flush_stamp_, 0);
}

bool SimControlLoop::Pass(Status* result) {
  if (state_ != previous_) {
    previous_ = state_;
    pass_in_state_ = 0;
  } else {
    ++pass_in_state_;
  }
  wait_ = true;
  skip_poll_ = false;

  StateWork();
  if (status::IsFailure(pass_status_)) state_ = kStateReady;
  if (wait_) Idle();
  Notify();

  Status polled = status::kOk;
  if (pm_.poll_with_timers_ && (pm_.StatusBits() & run_bits::kBuilt) != 0) {
    pm_.poll_with_timers_ = false;
    polled = port_.PollWithTimers();
  } else if (!skip_poll_) {
    polled = port_.Poll();
  }
  pass_status_ = polled;
  if (status::IsSevere(polled)) end_ = true;

  if (FlushesEveryPass() || XosTickIntervalElapsed(&flush_stamp_, kFlushIntervalMs) != 0) {
    pass_status_ = pm_.collector_.SendGroups();
  }
  if (!end_) return false;
  *result = pass_status_;
  return true;
}

bool SimControlLoop::FlushesEveryPass() const {
  switch (state_) {
    case 5:
    case 6:
    case 9:
    case 13:
    case 17:
    case 21:
      return true;
    default:
      return false;
  }
}

void SimControlLoop::Idle() {
  // No run thread exists before runs are built, so there is none to find dead.
  port_.Idle(kIdleMs);
}

void SimControlLoop::Notify() {
  const std::uint32_t bits = pm_.StatusBits();
  const double time = pm_.record_.time;
  if (bits == pm_.notified_bits_ && time == pm_.notified_time_) return;
  auto* message = new DseMessage(kNotificationService, kNotificationSubtype);
  const bool written = status::IsSuccess(message->PutDouble(time)) &&
                       status::IsSuccess(message->PutUInt16(pm_.record_.counter)) &&
                       status::IsSuccess(message->PutUInt16(pm_.record_.stops)) &&
                       status::IsSuccess(message->PutUInt32(bits));
  if (!written || DseCurrentController() == nullptr) {
    delete message;
    return;
  }
  message->flags |= DseMessage::kNoReply;
  // Remembered only once sent: a lost notification is sent again next pass.
  if (status::IsFailure(DseSendMessage(message, 0, nullptr, nullptr, nullptr, -1))) return;
  pm_.ClearStatusBits(run_bits::kOneShot);
  pm_.notified_bits_ = bits & ~run_bits::kOneShot;
  pm_.notified_time_ = time;
}

bool SimControlLoop::Interrupt() {
  if (pm_.interrupt_ == 0) return false;
  pm_.interrupt_ = 0;
  pm_.ClearStatusBits(run_bits::kInterruptCleared);
  state_ = kStateEnding;
  return true;
}

Status SimControlLoop::Hook(std::int32_t hook_point, std::int32_t control_state) {
  SimActionMgr* actions = pm_.actions_;
  if (actions == nullptr) return status::kOk;
  actions->SetHookPoint(hook_point, static_cast<std::uint32_t>(control_state));
  const Status result = actions->Dispatch(&pm_.next_action_);
  if (AsksToBeCalledAgain(result)) {
    if (pass_in_state_ == 0) wait_ = false;
  } else {
    actions->FlushPendingRemovals();
  }
  return result;
}

void SimControlLoop::Attach() {
  if (!pm_.installations_found_) {
    auto report = [this](Status status, const std::string& text) { pm_.Report(status, text); };
    SimWorkingFolder::FindModellingFramework(report);
    const bool solvers = SimWorkingFolder::FindSolverFramework(report) == 0;
    SimWorkingFolder::FindPropertiesSystem(report);
    pm_.installations_found_ = solvers;
  }
  pm_.AttachProblem(pm_.folders_.WorkingFolder().c_str(), pm_.name_.c_str());
}

void SimControlLoop::StateWork() {
  const bool first = pass_in_state_ == 0;
  switch (state_) {
    case kStateIdle:
      if (Interrupt()) return;
      if (!pm_.folders_.WorkingFolder().empty() && !pm_.name_.empty()) {
        Attach();
        state_ = kStateAttached;
      }
      return;
    case kStateAttached:
      if (first) pm_.SimMasterManager::ProblemEdited();
      if (Interrupt()) return;
      if (pm_.problem_ready_ != 0) {
        state_ = kStatePreparing;
      } else if (pm_.single_action_ != 0) {
        pm_.single_action_ = 0;
        state_ = kStateSingleAction;
      }
      return;
    case kStatePreparing: {
      if (Interrupt()) return;
      if ((pm_.StatusBits() & run_bits::kPrepared) != run_bits::kPrepared) {
        state_ = kStateAttached;
        return;
      }
      const Status result = Hook(0, state_);
      if (status::IsFailure(result)) {
        pm_.ClearStatusBits(run_bits::kProblemBits);
        state_ = kStateReady;
      } else if (result == status::kOk && pm_.next_action_ != 2) {
        state_ = kStateReady;
      }
      if (state_ != kStatePreparing) {
        pm_.next_action_ = 0;
        skip_poll_ = true;
        run_mode_seen_ = RunMode();
        if (state_ >= kStateReady) pm_.problem_ready_ = 1;
      }
      return;
    }
    case kStateSingleAction: {
      if (Interrupt()) return;
      const Status result = Hook(1, state_);
      skip_poll_ = true;
      if (!status::IsFailure(result) && result > 0) return;
      pm_.DetachProblem(pm_.folders_.WorkingFolder().c_str(), pm_.folders_.RunNameOrNull());
      pm_.single_action_ = 0;
      pm_.next_action_ = 0;
      state_ = kStateIdle;
      return;
    }
    case kStateEnding: {
      const Status result = Hook(2, state_);
      end_ = true;
      if (!AsksToBeCalledAgain(result)) {
        pm_.DetachProblem(pm_.folders_.WorkingFolder().c_str(), pm_.folders_.RunNameOrNull());
      }
      return;
    }
    case kStateReady:
      ReadyWork(false);
      return;
    case kStatePaused:
      ReadyWork(true);
      return;
    default:
      // The run states arrive with the run thread; until then a run that
      // cannot start fails at once.
      pm_.run_state_ = 2;
      pm_.SetStatusBits(run_bits::kRunFailed);
      pm_.ClearStatusBits(run_bits::kRunning);
      state_ = kStateReady;
      return;
  }
}

void SimControlLoop::ReadyWork(bool paused) {
  const std::int32_t from = state_;
  pm_.pause_request_ = 0;
  pm_.run_interrupted_ = 0;
  if (!paused) pm_.end_of_dynamic_run_ = 0;
  pm_.ClearStatusBits(run_bits::kRunning);

  const std::int32_t mode = RunMode();
  std::int32_t next = from;
  if (Interrupt()) {
    next = kStateEnding;
  } else if (pm_.single_action_ != 0) {
    pm_.single_action_ = 0;
    next = kStateSingleAction;
  } else if (pm_.problem_ready_ == 0) {
    next = kStateAttached;
  } else if (paused) {
    if (mode == kDynamic && pm_.end_of_dynamic_run_ == 0) {
      if (pm_.step_request_ != 0 || pm_.run_request_ != 0 || pm_.run_state_ == 1) {
        pm_.step_request_ = 0;
        pm_.run_request_ = 0;
        next = (pm_.StatusBits() & run_bits::kStepPending) != 0 ? kDynamicStepState
                                                                : kFirstDynamicState;
        pm_.SetStatusBits(run_bits::kRunning);
      }
    } else {
      next = kStateReady;
    }
  } else if (mode == kInitialisation) {
    if (pm_.step_request_ != 0 || pm_.run_request_ != 0) {
      pm_.step_request_ = 0;
      pm_.run_request_ = 0;
      pm_.record_.time = 0.0;
      pm_.record_.counter = 1;
      pm_.SetStatusBits(run_bits::kRunning);
      next = kFirstInitialisationState;
    }
  } else if (mode == kDynamic) {
    if (pm_.step_request_ != 0 || pm_.run_request_ != 0 || pm_.run_state_ == 1) {
      const bool asked = pm_.step_request_ != 0 || pm_.run_request_ != 0;
      pm_.run_request_ = 0;
      next = asked || (pm_.StatusBits() & run_bits::kStepPending) == 0 ? kFirstDynamicState
                                                                       : kDynamicStepState;
      pm_.SetStatusBits(run_bits::kRunning);
    }
  } else if (mode == kSteadyState) {
    if (pm_.step_request_ != 0 || pm_.run_request_ != 0) {
      pm_.step_request_ = 0;
      pm_.run_request_ = 0;
      pm_.SetStatusBits(run_bits::kRunning);
      next = kFirstSteadyState;
    }
  }
  // Other run modes (optimisation, estimation) run as actions: stay.

  state_ = next;
  if (next == from) {
    if (mode != run_mode_seen_) run_mode_seen_ = mode;
    return;
  }
  // Leaving: the actions hear which state comes next (the paused state has
  // no hook point of its own).
  if (!paused) Hook(4, next);
  pm_.ClearStatusBits(run_bits::kThreadTerminated | run_bits::kRunFailed |
                      run_bits::kStoppedByAction);
  if (pm_.actions_ != nullptr) pm_.actions_->FlushPendingRemovals();
  if (next > kStatePaused) {
    const Status started = pm_.SimMasterManager::StartRun(mode);
    if (status::IsFailure(started)) state_ = next + 3;
  }
  if (mode != run_mode_seen_) run_mode_seen_ = mode;
}
