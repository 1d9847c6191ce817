#include "control/problem/control_loop.h"

#include "control/engine/engine_handlers.h"
#include "control/problem/problem_manager.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/solver_options.h"
#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/runtime/xos_thread.h"
#include "framework/runtime/xos_time.h"
#include "framework/servers/sending.h"

namespace {
constexpr std::int32_t kRunModeOption = 29;
constexpr std::int32_t kSteadyState = 1;
constexpr std::int32_t kDynamic = 4;
constexpr std::int32_t kInitialisation = 5;
// The first state of each kind of run, and the state after the last idle one.
constexpr std::int32_t kFirstSteadyState = 19;

// The preparation's answer for a problem without variables.
constexpr Status kEmptyProblem = 0xA0000047u;
// Status bits 0x40 to 0x400.
constexpr std::uint32_t kStepBits = 0x7C0;

// The states of a run step, from before it to its collection or failure:
// each leads on to the next or back to a waiting state, and none comes
// round again without a step, which waits on its thread.
bool InRunStep(std::int32_t state) {
  return state >= kStateInitialisationBefore && state <= kStateSteadyFailed;
}

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

  const std::int32_t before = state_;
  StateWork();
  // What the actions asked for is used up once a run state is left.
  if (before >= kStateInitialisationBefore && state_ != before) pm_.next_action_ = 0;
  if (status::IsFailure(pass_status_)) {
    AbandonScheduledStep();
    state_ = kStateReady;
  }
  // A run that came to rest stops running now, not a pass later: the client
  // is not told it still runs, and a step command polled below asks for a
  // step instead of adding to a count nobody takes.
  if (state_ != before && (state_ == kStateReady || state_ == kStatePaused)) {
    pm_.ClearStatusBits(run_bits::kRunning);
  }
  // A run command counts its reports until it rests; one that ends the
  // engine tells them once its step has stopped.
  if (!InRunStep(before) && InRunStep(state_)) pm_.BeginRunReports();
  if (InRunStep(before) && !InRunStep(state_) && state_ != kStateEnding) pm_.EndRunReports();
  pm_.run_moving_ = InRunStep(state_);
  // A pass that moved on in a run step goes straight on with the next
  // state: nothing outside is awaited there.
  if (state_ != before && (InRunStep(before) || InRunStep(state_))) wait_ = false;
  // Kept result requests refill once a step is recorded, before the
  // client is told that the run rests.
  Status polled = status::kOk;
  bool timers_ran = false;
  if (pm_.poll_with_timers_ && (pm_.StatusBits() & run_bits::kBuilt) != 0) {
    pm_.poll_with_timers_ = false;
    polled = port_.PollWithTimers();
    timers_ran = true;
  }
  if (wait_ && !timers_ran) {
    // What this pass changed reaches the client before the wait.
    Notify();
    Idle();
  }
  Notify();

  if (!timers_ran && !skip_poll_) polled = port_.Poll();
  pass_status_ = polled;
  if (status::IsSevere(polled)) end_ = true;

  // Lines that pile up between the periodic flushes go at once, so that
  // only a client that does not take them loses any.
  if (FlushesEveryPass() || pm_.collector_.HeldBytes() >= kFlushAtBytes ||
      XosTickIntervalElapsed(&flush_stamp_, kFlushIntervalMs) != 0) {
    pass_status_ = pm_.collector_.SendGroups();
  }
  if (!end_) return false;
  pm_.StopRun();
  pm_.EndRunReports();
  pm_.collector_.SendGroupsNow();
  // A lost client ends the engine with that status, whether or not this
  // pass flushed lines: a flush that went well must not make it a 0.
  *result = status::IsSevere(polled) ? polled : pass_status_;
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
  SimRunHandover& handover = *pm_.handover_;
  if (pm_.step_scheduled_ && handover.ThreadStarted()) {
    // Ends early when the thread hands the step back.
    port_.IdleOrWake(kIdleMs, handover.HandBackDescriptor());
  } else {
    port_.Idle(kIdleMs);
  }
  CheckRunThread();
}

void SimControlLoop::CheckRunThread() {
  SimRunHandover& handover = *pm_.handover_;
  if (!handover.ThreadStarted()) return;
  const std::int32_t thread_state = handover.ThreadState();
  if (thread_state > XosThread::kFinished) return;
  state_ = kStateReady;
  pm_.ClearStatusBits(run_bits::kRunning);
  pm_.SetStatusBits(run_bits::kThreadTerminated);
  pm_.StopRun();
  pm_.EndRunReports();
  pm_.run_state_ = 2;
  pm_.step_scheduled_ = false;
  handover.EnsureServerHoldsA();
  if (thread_state == XosThread::kFinished) return;
  const char* fatal = LastFatalErrorText();
  const char* texts[] = {"Thread has been terminated, due to :",
                         fatal != nullptr && fatal[0] != '\0' ? fatal : "Unknown System failure."};
  const char* const* lines[] = {texts};
  const std::uint32_t value = pm_status::kFailure;
  const std::uint32_t count = 2;
  if (DseCurrentController() != nullptr) {
    DseCurrentController()->PostEvents(SputMessageCollector::kEventCode, 1, &value, &count, lines,
                                       nullptr);
  }
  state_ = kStateAttached;
}

void SimControlLoop::AbandonScheduledStep() {
  if (!pm_.step_scheduled_) return;
  // Collected, or the thread stopped: a step left behind would be taken for
  // the next one.
  if (pm_.TakeRunLock() == status::kOk) {
    pm_.step_scheduled_ = false;
    pm_.RunOneStep();
  } else {
    pm_.StopRun();
  }
}

void SimControlLoop::Notify() {
  const std::uint32_t bits = pm_.StatusBits();
  // The run thread owns the clock while a step computes.
  if (!pm_.step_scheduled_) known_time_ = pm_.record_.time;
  const double time = known_time_;
  if (bits == pm_.notified_bits_ && time == pm_.notified_time_) return;
  // A notice that a run ended or failed comes after the lines that say why:
  // a client that reads it and then the log must find them there.
  constexpr std::uint32_t kEnded =
      run_bits::kRunFailed | run_bits::kThreadTerminated | run_bits::kStoppedByAction;
  if ((bits & run_bits::kRunning) == 0 || (bits & kEnded) != 0) {
    // The counts of what the failed step repeated are among those lines; a
    // run that goes on counts afresh.
    if ((bits & kEnded) != 0 && pm_.run_reports_) {
      pm_.EndRunReports();
      if (InRunStep(state_)) pm_.BeginRunReports();
    }
    pm_.collector_.SendGroupsNow();
  }
  if (!pm_.step_scheduled_) {
    known_counter_ = pm_.record_.counter;
    known_stops_ = pm_.record_.stops;
  }
  auto* message = new DseMessage(kNotificationService, kNotificationSubtype);
  const bool written = status::IsSuccess(message->PutDouble(time)) &&
                       status::IsSuccess(message->PutUInt16(known_counter_)) &&
                       status::IsSuccess(message->PutUInt16(known_stops_)) &&
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
      if (!pm_.folders_.WorkingFolder().empty() && !pm_.name_.empty() &&
          pm_.attach_failure_ == 0) {
        Attach();
        // Without a run folder it waits for the client to name another.
        if (pm_.attach_failure_ == 0) state_ = kStateAttached;
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
      } else {
        AttachedWork();
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
    case kStateInitialisationBefore:
    case kStateDynamicInitBefore:
    case kStateSteadyBefore:
      BeforeStep();
      return;
    case kStateDynamicBefore: {
      step_counted_ = false;
      if (Interrupt()) return;
      const Status result = Hook(11, state_);
      if (AsksToBeCalledAgain(result)) return;
      if (status::IsFailure(result)) {
        pm_.SetStatusBits(run_bits::kRunFailed);
        pm_.run_state_ = 2;
        state_ = kStatePaused;
      } else {
        switch (pm_.next_action_) {
          case 0:
          case 1:
            if (pm_.run_state_ == 0) {
              --pm_.step_count_;
              step_counted_ = true;
            }
            state_ = kStateDynamicStep;
            break;
          case 3:
            pm_.step_result_pending_ = false;
            pm_.ClearStatusBits(kStepBits);
            state_ = kStateDynamicInitBefore;
            break;
          case 4:
            pm_.run_state_ = 2;
            state_ = kStatePaused;
            break;
          case 6:
            pm_.run_state_ = 2;
            pm_.SetStatusBits(run_bits::kStoppedByAction);
            state_ = kStatePaused;
            break;
          default:
            break;
        }
      }
      bool applied = false;
      pass_status_ = pm_.results_->ApplyAssignments(&applied);
      if (applied) {
        state_ = kStateDynamicInitBefore;
        GiveBackCountedStep();
      }
      return;
    }
    case kStateInitialisationStep:
    case kStateDynamicStep:
    case kStateDynamicInitStep:
    case kStateSteadyStep: {
      if (Interrupt()) return;
      if (pm_.run_interrupted_ != 0) {
        state_ = ReadyState();
        return;
      }
      if (!pm_.step_scheduled_ && ChangedBeforeStep()) return;
      std::uint32_t kind = step_event::kSteadyState;
      if (state_ == kStateInitialisationStep) kind = step_event::kInitialisation;
      if (state_ == kStateDynamicStep) kind = step_event::kCommunication;
      if (state_ == kStateDynamicInitStep && first && !pm_.step_scheduled_) {
        kind = pm_.results_->ReinitialisationMark() ? step_event::kDynamicRestart
                                                    : step_event::kDynamicStart;
        pm_.results_->ClearReinitialisationMark();
      } else if (state_ == kStateDynamicInitStep) {
        kind = step_event::kDynamicStart;
      }
      if (!Step(kind)) return;
      const Status result = step_failed_ ? pm_status::kFailure : pm_.handover_->StepResult();
      const std::int32_t collect = state_ + 1;
      const std::int32_t failed = state_ + 2;
      if (state_ == kStateDynamicStep) {
        const Status code = result & 0xFFFF;
        if (status::IsFailure(result) && (code == 601 || code == 602)) {
          pm_.step_result_pending_ = false;
          pm_.ClearStatusBits(run_bits::kStepPending);
          state_ = collect;
        } else if (status::IsFailure(result) && code != 600) {
          state_ = failed;
        } else {
          state_ = collect;
        }
        return;
      }
      if (status::IsFailure(result)) {
        state_ = failed;
      } else {
        if (state_ != kStateSteadyStep) pm_.step_result_pending_ = true;
        state_ = collect;
      }
      return;
    }
    case kStateInitialisationAfter:
    case kStateDynamicAfter:
    case kStateDynamicInitAfter:
    case kStateSteadyAfter:
      Collecting();
      return;
    case kStateInitialisationFailed:
    case kStateDynamicFailed:
    case kStateDynamicInitFailed:
    case kStateSteadyFailed:
      Failure();
      return;
    default:
      state_ = kStateReady;
      return;
  }
}

// State 1 with nothing asked: queued assignments, then a snapshot request,
// which needs the problem prepared.
void SimControlLoop::AttachedWork() {
  if (!pm_.check_problem_) {
    bool applied = false;
    pass_status_ = pm_.results_->ApplyAssignments(&applied);
    if (applied) {
      pm_.step_result_pending_ = false;
      if (pm_.record_.time != 0.0) pm_.reinitialise_ = 1;
      pm_.ClearStatusBits(run_bits::kStepPending);
    }
  }
  if (pm_.snapshot_request_ == 0) return;
  const Status prepared = pm_.run_ops_->PrepareSimulation(0, 0);
  if (!status::IsFailure(prepared)) {
    pm_.preparation_ = 0;
    state_ = kStatePreparing;
    return;
  }
  pm_.snapshot_request_ = 0;
  DsePostEventText(SputMessageCollector::kEventCode, pm_status::kFailure,
                   prepared == kEmptyProblem ? "Can't Take SnapShot, Problem has no Variables."
                                             : "Can't Take SnapShot, Problem is invalid.");
}

void SimControlLoop::Abandon(std::uint32_t bit) {
  pm_.run_state_ = 2;
  pm_.ClearStatusBits(kStepBits);
  pm_.SetStatusBits(bit);
}

void SimControlLoop::ApplyAssignments(std::int32_t ready) {
  bool applied = false;
  pass_status_ = pm_.results_->ApplyAssignments(&applied);
  if (!applied) return;
  pm_.step_result_pending_ = false;
  if (pm_.record_.time != 0.0) pm_.reinitialise_ = 1;
  pm_.ClearStatusBits(run_bits::kStepPending);
  state_ = ready;
}

void SimControlLoop::SaveSnapshots(std::int32_t fallback) {
  if (status::IsFailure(pass_status_)) return;
  Status saved = pm_.results_->SaveQueuedSnapshots();
  // What the client asked for while the run goes on is taken with the step
  // just collected, not when the run next comes to rest.
  if (!status::IsFailure(saved) && pm_.snapshot_request_ != 0) {
    pm_.snapshot_request_ = 0;
    const Status queued = pm_.run_ops_->TakeQueuedSnapshots();
    if (queued != status::kOk) saved = queued;
  }
  if (status::IsFailure(saved)) {
    DsePostEventText(SputMessageCollector::kEventCode, pm_status::kFailure,
                     "Failed to Save Snapshot, possibly due to insufficient disk space.\n run "
                     "aborted.");
    state_ = fallback;
    pm_.run_state_ = 2;
  } else if (saved == SimRunResults::kSnapshotLimit) {
    DsePostEventText(SputMessageCollector::kEventCode, 0,
                     "Maximum number of snapshots exceeded, Snapshot not saved.");
  }
  pass_status_ = saved;
}

// States 7, 15 and 19: the actions' say before a step of their stage.
void SimControlLoop::BeforeStep() {
  const std::int32_t from = state_;
  const bool steady = from == kStateSteadyBefore;
  const std::int32_t ready = from == kStateDynamicInitBefore ? kStatePaused : kStateReady;
  if (!steady) pm_.SetStatusBits(run_bits::kRunning);
  if (Interrupt()) return;
  const std::int32_t hook = from == kStateInitialisationBefore ? 7 : steady ? 5 : 9;
  const Status result = Hook(hook, from);
  if (AsksToBeCalledAgain(result)) return;
  if (status::IsFailure(result)) {
    Abandon(run_bits::kRunFailed);
    state_ = ready;
  } else {
    switch (pm_.next_action_) {
      case 0:
      case 1:
        state_ = from + 1;
        if (from == kStateInitialisationBefore) pm_.results_->ResetStepClock();
        if (from != kStateDynamicInitBefore) {
          bool applied = false;
          pass_status_ = pm_.results_->ApplyAssignments(&applied);
        }
        break;
      case 4:
        pm_.run_state_ = 2;
        state_ = ready;
        break;
      case 6:
        Abandon(run_bits::kStoppedByAction);
        state_ = ready;
        break;
      default:
        break;
    }
  }
  if (from == kStateDynamicInitBefore) {
    bool applied = false;
    pass_status_ = pm_.results_->ApplyAssignments(&applied);
    SimRunResults& results = *pm_.results_;
    const double now = pm_.record_.time;
    if (!results.PendingPlotRestart() && now > 0.0 && now > results.LastPlottedTime()) {
      results.ExtendPlotHistory(now);
    }
  }
}

void SimControlLoop::GiveBackCountedStep() {
  if (step_counted_) ++pm_.step_count_;
  step_counted_ = false;
}

bool SimControlLoop::Step(std::uint32_t kind) {
  if (!pm_.step_scheduled_) {
    step_counted_ = false;
    pm_.step_scheduled_ = true;
    pm_.restart_pending_ = false;
    if (kind == step_event::kCommunication) {
      ScheduleCommunication();
    } else {
      // A steady state is solved at time 0, wherever the clock stood: its
      // step ends there, and only so is it taken for a steady state.
      const double at = kind == step_event::kSteadyState ? 0.0 : pm_.record_.time;
      pm_.events_.Add(kind, at, -1.0, nullptr);
    }
    pm_.pending_event_time_ = -1.0;
    if (status::IsFailure(pm_.StartSolverThread()) || !pm_.handover_->ThreadStarted()) {
      // No thread to run the step: it failed without running.
      pm_.step_scheduled_ = false;
      step_failed_ = true;
      wait_ = false;
      return true;
    }
    step_failed_ = false;
    pm_.handover_->ReleaseStep();
    return false;
  }
  if ((pm_.TakeRunLock() & kCodeMask) != 0) return false;
  pm_.step_scheduled_ = false;
  wait_ = false;
  return true;
}

void SimControlLoop::ScheduleCommunication() {
  SimRunResults& results = *pm_.results_;
  SimEventList& events = pm_.events_;
  const double tolerance = events.Tolerance();
  const double interval = results.CommunicationInterval();
  const double passed = static_cast<double>(results.CommunicationCount()) * interval;
  const double now = pm_.record_.time;
  if (events.Empty()) {
    double point = passed + results.CommunicationStart();
    if (now + tolerance >= point) point = results.NextCommunicationTime();
    events.Add(step_event::kCommunication, point, -1.0, nullptr);
    return;
  }
  const double point = passed + results.CommunicationStart() + interval;
  if (events.Head()->time >= point - tolerance && point - tolerance > now) {
    events.Add(step_event::kCommunication, results.NextCommunicationTime(), -1.0, nullptr);
  }
}

// States 9, 13, 17 and 21.
void SimControlLoop::Collecting() {
  const std::int32_t from = state_;
  const bool dynamic = from == kStateDynamicAfter || from == kStateDynamicInitAfter;
  const std::int32_t ready = dynamic ? kStatePaused : kStateReady;
  SimRunResults& results = *pm_.results_;
  if (pass_in_state_ == 0) {
    // The step's time message, which the run thread left due.
    bool sent = false;
    const Status told = pm_.run_ops_->SendDueTimeMessage(&sent);
    if (sent && status::IsFailure(told)) {
      state_ = from + 1;
      return;
    }
  }
  const Status result = Hook(from == kStateInitialisationAfter ? 8
                             : from == kStateDynamicAfter      ? 12
                             : from == kStateDynamicInitAfter  ? 10
                                                               : 6,
                             from);
  if (AsksToBeCalledAgain(result)) return;
  // Kept result requests refill once per collected step, in this pass:
  // after the step is recorded, so that plots and profiles reach its time.
  pm_.RequestTimerPoll();
  if (status::IsFailure(result)) {
    Abandon(run_bits::kRunFailed);
    pm_.step_count_ = 0;
    state_ = ready;
    if (pm_.handover_->Waiting()) pm_.RunOneStep();
  } else {
    std::int32_t next = pm_.next_action_;
    if (next == 5 || next == 6) {
      pm_.record_.time = results.RunPosition();
    } else {
      const SimExplicitEvent* first = pm_.events_.Head();
      if (from == kStateDynamicAfter && first != nullptr &&
          pm_.record_.time + pm_.events_.Tolerance() < first->time) {
        // Stopped before the communication point: it is scheduled again.
        results.LowerCommunicationCount();
      }
      pm_.run_ops_->RecordStep();
      if (from == kStateDynamicAfter || from == kStateSteadyAfter) {
        pm_.run_ops_->ApplyOptionChanges();
      }
      next = pm_.next_action_;
    }
    if (pm_.handover_->Waiting()) pm_.RunOneStep();
    // Two has no move of its own after a steady-state step: as 0.
    if (from == kStateSteadyAfter && next == 2) next = 0;
    const std::int32_t again =
        from == kStateInitialisationAfter ? kStateInitialisationBefore : kStateDynamicBefore;
    const std::int32_t stage =
        from == kStateInitialisationAfter ? kStateInitialisationBefore
        : from == kStateSteadyAfter
            ? (RunMode() == kDynamic ? kStateDynamicInitBefore : kStateSteadyBefore)
            : kStateDynamicInitBefore;
    if (from == kStateDynamicAfter) {
      if (next == 0 || next == 1 || next == 5) {
        if (pm_.pause_request_ != 0) {
          pm_.pause_request_ = 0;
          state_ = kStatePaused;
        } else if (pm_.run_state_ == 1) {
          state_ = pm_.step_result_pending_ ? kStateDynamicBefore : kStatePaused;
        } else if (pm_.run_state_ == 0) {
          if (pm_.step_count_ < 1) {
            pm_.run_state_ = 2;
            state_ = kStatePaused;
          } else {
            state_ = pm_.step_result_pending_ ? kStateDynamicBefore : kStatePaused;
          }
        } else {
          pm_.run_state_ = 2;
          state_ = kStatePaused;
        }
      } else if (next == 2 || next == 3) {
        pm_.step_result_pending_ = false;
        state_ = RunMode() == kSteadyState ? kStateSteadyBefore : kStateDynamicInitBefore;
      } else if (next == 4) {
        pm_.run_state_ = 2;
        state_ = kStatePaused;
      } else if (next >= 6) {
        pm_.run_state_ = 2;
        pm_.SetStatusBits(run_bits::kStoppedByAction);
        pm_.step_count_ = 0;
        state_ = kStatePaused;
      }
    } else if (from == kStateSteadyAfter) {
      if (next <= 1 || next == 4) {
        pm_.step_result_pending_ = true;
        if (pm_.step_count_ > 0) --pm_.step_count_;
        pm_.pause_request_ = 0;
        // The steady state is solved: the run is over. Left running, a
        // switch to dynamic mode would start a dynamic run nobody asked for.
        pm_.run_state_ = 2;
        state_ = kStateReady;
      } else if (next == 3 || next == 5) {
        pm_.ClearStatusBits(run_bits::kStepPending);
        state_ = stage;
      } else {
        Abandon(run_bits::kStoppedByAction);
        pm_.step_count_ = 0;
        state_ = kStateReady;
      }
    } else if (next <= 2) {
      pm_.step_result_pending_ = true;
      if (pm_.pause_request_ != 0) {
        pm_.pause_request_ = 0;
        state_ = ready;
      } else if (pm_.run_state_ == 1) {
        pm_.SetStatusBits(run_bits::kRunning);
        state_ = again;
      } else if (pm_.run_state_ == 0 && --pm_.step_count_ > 0) {
        state_ = again;
      } else {
        state_ = ready;
      }
    } else if (next == 3 || next == 5) {
      pm_.ClearStatusBits(run_bits::kStepPending);
      state_ = stage;
    } else {
      pm_.run_state_ = 2;
      state_ = ready;
    }
  }
  if (pm_.rewind_request_ != 0) state_ = ready;
  if (state_ == kStateEnding) return;
  ApplyAssignments(ready);
  SaveSnapshots(ready);
}

// States 10, 14, 18 and 22.
void SimControlLoop::Failure() {
  const std::int32_t from = state_;
  const bool dynamic = from == kStateDynamicFailed || from == kStateDynamicInitFailed;
  const std::int32_t ready = dynamic ? kStatePaused : kStateReady;
  pm_.RequestTimerPoll();
  if (pm_.rewind_request_ != 0) {
    state_ = ready;
    return;
  }
  const Status result = Hook(3, from);
  if (AsksToBeCalledAgain(result)) return;
  const std::int32_t next = pm_.next_action_;
  if (!status::IsFailure(result)) {
    if (next != 1 && next != 4) {
      pm_.run_ops_->RecordStep();
    } else if (from != kStateDynamicFailed) {
      pm_.record_.time = pm_.results_->RunPosition();
    }
  }
  if (pm_.handover_->Waiting()) pm_.RunOneStep();
  if (from == kStateDynamicFailed) pm_.results_->LowerCommunicationCount();
  const bool failed = status::IsFailure(result);
  switch (from) {
    case kStateInitialisationFailed:
    case kStateSteadyFailed:
      if (failed || next == 0 || next >= 6) {
        Abandon(failed ? run_bits::kRunFailed : run_bits::kStoppedByAction);
        state_ = kStateReady;
      } else if (next == 1) {
        pm_.SetStatusBits(run_bits::kStepPending);
        state_ = from - 1;
      } else if (next == 3 || next == 5) {
        state_ = from == kStateSteadyFailed ? kStateSteadyBefore : kStateInitialisationBefore;
      } else {
        pm_.run_state_ = 2;
        state_ = kStateReady;
      }
      break;
    case kStateDynamicFailed:
      if (failed || next == 0 || next >= 6) {
        pm_.run_state_ = 2;
        pm_.SetStatusBits(failed ? run_bits::kRunFailed : run_bits::kStoppedByAction);
        pm_.step_count_ = 0;
        state_ = kStatePaused;
      } else if (next == 1 || next == 4) {
        pm_.SetStatusBits(run_bits::kRunning);
        if (next == 4) pm_.run_state_ = 2;
        state_ = kStateDynamicAfter;
      } else if (next == 3 || next == 2) {
        pm_.step_result_pending_ = false;
        state_ = kStateDynamicInitBefore;
      } else {
        pm_.SetStatusBits(run_bits::kRunning);
        state_ = kStateDynamicBefore;
      }
      break;
    default:  // the dynamic run's initialisation
      if (failed || next == 0 || next >= 6) {
        Abandon(failed ? run_bits::kRunFailed : run_bits::kStoppedByAction);
        state_ = kStatePaused;
      } else if (next == 1 || next == 4) {
        pm_.SetStatusBits(run_bits::kStepPending);
        if (next == 4) pm_.run_state_ = 2;
        state_ = kStateDynamicInitAfter;
      } else {
        pm_.ClearStatusBits(run_bits::kStepPending);
        pm_.SetStatusBits(run_bits::kRunning);
        state_ = kStateDynamicInitBefore;
      }
      break;
  }
  ApplyAssignments(ready);
  SaveSnapshots(ready);
}

void SimControlLoop::ReadyWork(bool paused) {
  const std::int32_t from = state_;
  pm_.run_ops_->ApplyOptionChanges();
  pm_.pause_request_ = 0;
  pm_.run_interrupted_ = 0;
  if (!paused) pm_.end_of_dynamic_run_ = 0;
  pm_.ClearStatusBits(run_bits::kRunning);
  if (pm_.snapshot_request_ != 0) {
    pm_.snapshot_request_ = 0;
    pass_status_ = pm_.run_ops_->TakeQueuedSnapshots();
  } else if (pm_.rewind_request_ != 0) {
    pm_.rewind_request_ = 0;
    std::int32_t rewound = from;
    pass_status_ = pm_.run_ops_->RewindToClock(&rewound);
    // A clock without a step: the run starts again from the ready state.
    if (paused && rewound == kStateReady) {
      state_ = kStateReady;
      return;
    }
  }

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
        next = pm_.step_result_pending_ ? kStateDynamicBefore : kStateDynamicInitBefore;
        pm_.SetStatusBits(run_bits::kRunning);
      }
    } else {
      next = kStateReady;
    }
  } else if (mode == kInitialisation) {
    if (pm_.step_request_ != 0 || pm_.run_request_ != 0) {
      pm_.step_request_ = 0;
      pm_.run_request_ = 0;
      pm_.ResetRunClock();
      pm_.record_.counter = 1;
      pm_.SetStatusBits(run_bits::kRunning);
      next = kStateInitialisationBefore;
    }
  } else if (mode == kDynamic) {
    if (pm_.step_request_ != 0 || pm_.run_request_ != 0) {
      pm_.step_request_ = 0;
      pm_.run_request_ = 0;
      next = kStateDynamicInitBefore;
      pm_.SetStatusBits(run_bits::kRunning);
    } else if (pm_.run_state_ == 1) {
      next = pm_.step_result_pending_ ? kStateDynamicBefore : kStateDynamicInitBefore;
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
  if (next == from) return;
  // Leaving: the actions hear which state comes next (the paused state has
  // no hook point of its own).
  if (!paused) Hook(4, next);
  pm_.next_action_ = 0;
  pm_.ClearStatusBits(run_bits::kThreadTerminated | run_bits::kRunFailed |
                      run_bits::kStoppedByAction);
  if (pm_.actions_ != nullptr) pm_.actions_->FlushPendingRemovals();
  if (mode != run_mode_seen_) {
    run_mode_seen_ = mode;
    pm_.results_->SetDynamic(mode == kDynamic);
  }
  if (next <= kStatePaused) return;
  if (paused) {
    // A specification changed the structure while the run rested: the
    // problem is built again before it goes on.
    if (pm_.check_problem_ && !Rebuilt()) {
      state_ = kStatePaused;
      pm_.run_state_ = 2;
      pm_.SetStatusBits(run_bits::kRunFailed);
      pm_.ClearStatusBits(run_bits::kRunning);
    }
    return;
  }
  if (!MayStartRun()) {
    state_ = kStateReady;
    pm_.run_state_ = 2;
    pm_.SetStatusBits(run_bits::kRunFailed);
    pm_.ClearStatusBits(run_bits::kRunning);
    return;
  }
  bool applied = false;
  pass_status_ = pm_.results_->ApplyAssignments(&applied);
  const Status started = pm_.StartRun(mode);
  if (status::IsFailure(started)) state_ = next + 3;
}

bool SimControlLoop::ChangedBeforeStep() {
  // What a restore or a specification change asked for after the state
  // before the step chose it: a dynamic step that would go on from the last
  // one initialises first, and any other step finds its problem rebuilt
  // (or the run ends there when it cannot be).
  if (state_ == kStateDynamicStep) {
    if (!pm_.check_problem_ && pm_.reinitialise_ == 0 && !pm_.restart_pending_) return false;
    pm_.step_result_pending_ = false;
    pm_.ClearStatusBits(run_bits::kStepPending);
    state_ = kStateDynamicInitBefore;
    GiveBackCountedStep();
    return true;
  }
  if (!pm_.check_problem_ || Rebuilt()) return false;
  Abandon(run_bits::kRunFailed);
  state_ = ReadyState();
  return true;
}

bool SimControlLoop::MayStartRun() {
  if (status::IsFailure(pm_.run_ops_->PackagesLoaded())) {
    pm_.Report(pm_status::kFailure, "Properties not loaded correctly, cannot start run");
    pm_.next_action_ = 6;
    return false;
  }
  return !pm_.check_problem_ || Rebuilt();
}

bool SimControlLoop::Rebuilt() {
  const Status checked = pm_.run_ops_->CheckProblem();
  if (status::IsFailure(checked)) {
    pm_.Report(checked, "The problem failed its check, cannot start run");
    return false;
  }
  pm_.check_problem_ = false;
  // An edit took the later stages with the problem: without them the run
  // goes on but can be neither paused nor interrupted.
  if ((pm_.StatusBits() & run_bits::kPrepared) == run_bits::kPrepared) return true;
  const Status prepared = pm_.run_ops_->PrepareSimulation(0, 0);
  if (status::IsFailure(prepared)) {
    pm_.Report(prepared, "The problem could not be prepared again, cannot go on with the run");
    return false;
  }
  // Prepared as command 6 would have: the run comes to rest ready, with
  // the rebuilt problem's snapshot file open, unless the client has since
  // begun an edit of its own (command 29).
  if (pm_.preparation_ == 0) {
    pm_.problem_ready_ = 1;
    pm_.problem_given_up_ = false;
  }
  return true;
}
