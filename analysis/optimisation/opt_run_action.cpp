// "OptimisationAction": one evaluation of the objective per run. A steady
// state run evaluates one point; a dynamic run is stopped at every element
// boundary and constraint time to switch the controls and collect the
// constraint values and their sensitivities. After each evaluation the
// optimiser is given the point and its answer becomes the action's result.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "analysis/optimisation/opt_manager.h"
#include "analysis/sensitivity/sensitivity_manager.h"
#include "analysis/services/analysis_services.h"
#include "framework/messaging/message.h"

namespace {

constexpr std::uint32_t kDropRunFlags = 0x500;
constexpr Status kSevereBits = 0xA0000000u;
constexpr Status kResultMask = 0xA000FFFFu;
constexpr Status kMaskedOptimum = 0;
constexpr Status kMaskedRunAgain = 0x800000D3u;
constexpr Status kMaskedCannotProceed = 0x8000025Du;

void EnableSensitivities(bool on) {
  if (QLNSensitivityManager* sensitivities = GetSensitivityManager()) {
    if (on) {
      sensitivities->Enable();
    } else {
      sensitivities->Disable();
    }
  }
}

}  // namespace

std::int32_t OptimisationMgr::MapResult(Status pass_status, bool* optimum) {
  *optimum = false;
  switch (pass_status & kResultMask) {
    case kMaskedOptimum:
      *optimum = true;
      return kResultRestart;
    case kMaskedRunAgain:
      return kResultRestart;
    default:
      return kResultStop;
  }
}

std::int32_t OptimisationMgr::ApplyMapping(Status pass_status) {
  bool optimum = false;
  const std::int32_t result = MapResult(pass_status, &optimum);
  const Status masked = pass_status & kResultMask;
  if (optimum) optimum_reached_ = true;
  if (optimum || masked == kMaskedCannotProceed) EnableSensitivities(false);
  if (!optimum && masked != kMaskedRunAgain && masked != kMaskedCannotProceed) {
    char line[96];
    std::snprintf(line, sizeof line, "Optimization stopped with status 0x%08X", pass_status);
    services_.Print(opt_status::kFailure, line);
    EnableSensitivities(false);
  }
  return result;
}

void OptimisationMgr::SetUpEvaluation(bool steady_state) {
  const OptDefinition& d = definition_;
  pass_count_ = 0;
  const auto k = static_cast<std::size_t>(d.K());
  const auto r = static_cast<std::size_t>(d.R());
  const auto p = static_cast<std::size_t>(d.P());
  result_values_.clear();
  if (k + r != 0) result_values_.assign(k + r + (d.minimise_final_time ? 1 : 0), 0.0);
  gradients_.assign((k + r) * p, 0.0);
  multipliers_.assign(2 * p + r, 0.0);
  DeleteRunObjects();
  if (mode_ == 1 && factory_ != nullptr) reduced_ = factory_->MakeReduced(*this);
  // The full-space NLP differentiates the model itself.
  sensitivities_needed_ = Optimizer() != 3 && mode_ == 1;
  if (sensitivities_needed_) EnableSensitivities(true);
  reply_pending_ = false;
  if (steady_state) snapshot_id_ = -1;
}

const OptScheduleGroup* OptimisationMgr::CurrentGroup() const {
  const auto& schedule = definition_.schedule;
  if (schedule.empty()) return nullptr;
  const std::int32_t k = current_element_;
  if (k < 1 || static_cast<std::size_t>(k) > schedule.size()) return &schedule.front();
  return &schedule[static_cast<std::size_t>(k - 1)];
}

void OptimisationMgr::CollectValues(bool at_end) {
  OptDefinition& d = definition_;
  const auto p = static_cast<std::size_t>(d.P());
  const auto k = static_cast<std::size_t>(d.K());
  QLNSensitivityManager* sensitivities = sensitivities_needed_ ? GetSensitivityManager() : nullptr;
  // One gradient row: d(variable)/d(each list entry) x sign, the value
  // taken at `fraction` of element `element` (0: at the start of the run).
  auto fill_row = [&](std::size_t row, AnalysisVariable* variable, double sign,
                      std::int32_t element, double fraction) {
    if (sensitivities == nullptr || p == 0 || (row + 1) * p > gradients_.size()) return;
    double* out = &gradients_[row * p];
    std::size_t j = 0;
    for (auto* pairs : {&d.initial, &d.decision}) {
      for (auto& pair : *pairs) {
        double value = 0.0;
        sensitivities->GetSensitivity(pair.model, variable, &value, 0, false, true);
        out[j++] = value * sign;
      }
    }
    for (auto& control : d.controls) {
      for (std::int32_t v = 0; v < control->count; ++v) {
        double value = 0.0;
        sensitivities->GetSensitivity(control->variable, variable, &value, v, false, true);
        out[j++] = value * sign;
      }
    }
    // Length k moves every switch time from the end of element k on, and
    // the instant itself when it lies past element k's start. The rows are
    // those of the switch times t1..t(N-1) (and of T with ramps), then the
    // time derivative.
    const std::int32_t times = d.N() - 1 + (d.piecewise_linear ? 1 : 0);
    double slope = 0.0;
    if (times >= 0) sensitivities->GetSwitchTimeSensitivity(times, variable, &slope, true);
    // A ramp's end moves it before the end is reached; a step only after.
    const std::int32_t last = std::min(times, d.piecewise_linear ? element : element - 1);
    for (std::int32_t k = 1; k <= d.M() && j < p; ++k) {
      double value = k < element ? slope : k == element ? fraction * slope : 0.0;
      for (std::int32_t i = k; i <= last; ++i) {
        double moved = 0.0;
        sensitivities->GetSwitchTimeSensitivity(i - 1, variable, &moved, true);
        value += moved;
      }
      out[j++] = value * sign;
    }
  };
  if (at_end) {
    for (std::size_t i = 0; i < k && i < result_values_.size(); ++i) {
      double value = 0.0;
      d.objectives[i]->GetValue(&value);
      result_values_[i] = value;
      fill_row(i, d.objectives[i], 1.0, d.N(), 1.0);
    }
  }
  const OptScheduleGroup* group = CurrentGroup();
  if (d.constraints.empty() || group == nullptr) return;
  const auto size = static_cast<std::int32_t>(group->constraints.size());
  std::int32_t first = next_constraint_;
  std::int32_t last = first;
  if (!d.dynamic) {
    // A steady-state point is evaluated once: every constraint is due.
    first = 1;
    last = size;
  } else {
    if (first < 1 || first > size) return;
    const auto key = [&](std::int32_t at) {
      const OptConstraint& c = d.constraints[static_cast<std::size_t>(
          group->constraints[static_cast<std::size_t>(at - 1)])];
      return c.element > 0 ? (c.position < 0 ? -c.position : c.position) : 0.0;
    };
    while (last < size && key(last + 1) == key(first)) ++last;
  }
  for (std::int32_t at = first; at <= last; ++at) {
    const auto index =
        static_cast<std::size_t>(group->constraints[static_cast<std::size_t>(at - 1)]);
    const OptConstraint& constraint = d.constraints[index];
    AnalysisVariable* variable = d.constrained[constraint.variable];
    double x = 0.0;
    variable->GetValue(&x);
    if (k + index < result_values_.size()) result_values_[k + index] = constraint.Value(x);
    fill_row(k + index, variable, constraint.Sign(), static_cast<std::int32_t>(constraint.element),
             std::fabs(constraint.position));
  }
  next_constraint_ = last + 1;
}

void OptimisationMgr::WriteStartValues() {
  OptDefinition& d = definition_;
  for (auto* pairs : {&d.initial, &d.decision}) {
    for (auto& pair : *pairs) pair.model->SetValue(pair.variable->value());
  }
  RestartRamps();
}

void OptimisationMgr::RestartRamps() {
  OptDefinition& d = definition_;
  const double t1 = d.times.size() > 1 ? d.times[1] : d.final_time;
  for (std::size_t i = 0; i < d.controls.size(); ++i) {
    OptControlRecord& control = *d.controls[i];
    if (control.count < 1) continue;
    const double v0 = control.values[0] * control.scale;
    if (d.piecewise_linear && i < d.ramps.size()) {
      const double v1 = control.count > 1 ? control.values[1] * control.scale : v0;
      d.ramps[i]->Set(0.0, v0, t1, v1);
    } else {
      control.variable->SetValue(v0);
    }
  }
}

// The next constraint of the current element, when one is left.
Status OptimisationMgr::ScheduleConstraint(std::int32_t* result) {
  const OptScheduleGroup* group = CurrentGroup();
  const auto size = group != nullptr ? static_cast<std::int32_t>(group->constraints.size()) : 0;
  if (definition_.R() > 0 && next_constraint_ >= 1 && next_constraint_ <= size) {
    const auto at = static_cast<std::size_t>(next_constraint_ - 1);
    const OptConstraint& constraint =
        definition_.constraints[static_cast<std::size_t>(group->constraints[at])];
    // Element times move with the lengths: the schedule's own are stale.
    const double time = definition_.ConstraintTime(constraint);
    const double length = definition_.ElementLength(static_cast<std::int32_t>(constraint.element));
    std::uint32_t code = kOptConstraintEvent;
    if (constraint.position == 1.0) {
      run_->StopIntegratorAt(time);
      code = kOptConstraintAtBoundaryEvent;
      boundary_passed_ = 1;
      if (definition_.moving_elements) *result = kResultStopAtBoundary;
    }
    return run_->ScheduleEvent(code, time, constraint.position * length / 10.0);
  }
  return status::kOk;
}

Status OptimisationMgr::RunStart(std::int32_t* result) {
  OptDefinition& d = definition_;
  if (optimum_reached_) {
    *result = kResultFinished;
    optimum_reached_ = false;
    pass_in_progress_ = false;
    current_element_ = 0;
    snapshot_taken_ = false;
    return status::kOk;
  }
  if (!d.dynamic) {
    if (reduced_ == nullptr && full_space_ == nullptr) SetUpEvaluation(true);
    // Decision values go to the model too: the point must reach the model
    // variables before the run evaluates it.
    for (auto* pairs : {&d.initial, &d.decision}) {
      for (auto& pair : *pairs) pair.model->SetValue(pair.variable->value());
    }
    return status::kOk;
  }
  if (pass_in_progress_) return status::kOk;
  const double tolerance = run_->ExplicitEventTolerance();
  for (std::int32_t k = 1; k <= d.N(); ++k) {
    const double length = d.ElementLength(k);
    if (tolerance >= length) {
      char line[400];
      std::snprintf(line, sizeof line,
                    "Explicit Event tolerance %14.6e (Solver Options, Tolerances Tab) is too large "
                    "since it is greater than or equal to the size of element %d (%14.6e)\n"
                    "Decrease the event tolerance and perform the optimization simulation again.",
                    tolerance, k, length);
      services_.Print(opt_status::kFailure, line);
      *result = kResultStop;
      return opt_status::kFailure;
    }
  }
  if (reduced_ == nullptr) {
    SetUpEvaluation(false);
  } else if (sensitivities_needed_) {
    EnableSensitivities(true);
  }
  run_->ClearPendingRunSettings();
  if (run_flag_) {
    WriteStartValues();
    run_flag_ = false;
  }
  pass_in_progress_ = true;
  if (snapshot_taken_) {
    run_->RestoreSnapshot(snapshot_id_);
    run_->ClearPendingRunSettings();
    WriteStartValues();
  }
  if (d.N() >= 2) {
    current_element_ = 1;
    next_boundary_ = d.times[1];
  } else {
    current_element_ = d.N();
    next_boundary_ = d.final_time;
  }
  next_constraint_ = 1;
  const OptScheduleGroup* group = CurrentGroup();
  if (d.R() > 0 && group != nullptr && !group->constraints.empty() &&
      d.constraints[static_cast<std::size_t>(group->constraints.front())].position == 0.0) {
    CollectValues(false);
  }
  const std::int32_t size =
      group != nullptr ? static_cast<std::int32_t>(group->constraints.size()) : 0;
  // The run is about to initialise: a restart request (2) here would leave
  // the control loop waiting at this hook point for good.
  std::int32_t restart = 0;
  if (d.R() > 0 && next_constraint_ <= size) return ScheduleConstraint(&restart);
  const double now = run_->CurrentTime();
  run_->StopIntegratorAt(next_boundary_);
  boundary_passed_ = 1;
  return run_->ScheduleEvent(kOptBoundaryEvent, next_boundary_, (next_boundary_ - now) / 10.0);
}

Status OptimisationMgr::Event(const SimExplicitEvent& event, std::int32_t* result) {
  OptDefinition& d = definition_;
  const bool constraint_time = (event.kind & kOptConstraintFlag) != 0;
  const bool boundary = (event.kind & kOptBoundaryFlag) != 0;
  const bool last = current_element_ >= d.N();
  Status s = status::kOk;
  if (constraint_time) {
    CollectValues(boundary && last);
    const OptScheduleGroup* group = CurrentGroup();
    const std::int32_t size =
        group != nullptr ? static_cast<std::int32_t>(group->constraints.size()) : 0;
    if (next_constraint_ <= size) {
      s = ScheduleConstraint(result);
      boundary_passed_ = 1;
    } else if (!boundary) {
      run_->StopIntegratorAt(next_boundary_);
      boundary_passed_ = 1;
      if (d.moving_elements) *result = kResultStopAtBoundary;
      s = run_->ScheduleEvent(kOptBoundaryEvent, next_boundary_,
                              (next_boundary_ - event.time) / 10.0);
    }
  }
  if (!boundary) return s;
  if (!last) {
    const double old_end = next_boundary_;
    current_element_ += 1;
    if (current_element_ > d.N()) current_element_ = d.N();
    next_boundary_ = current_element_ < d.N() ? d.times[static_cast<std::size_t>(current_element_)]
                                              : d.final_time;
    next_constraint_ = 1;
    const OptScheduleGroup* group = CurrentGroup();
    const std::int32_t size =
        group != nullptr ? static_cast<std::int32_t>(group->constraints.size()) : 0;
    if (d.R() > 0 && size > 0) {
      s = ScheduleConstraint(result);
    } else {
      const double now = run_->CurrentTime();
      const std::uint32_t code =
          current_element_ == d.N() ? kOptLastBoundaryEvent : kOptBoundaryEvent;
      run_->StopIntegratorAt(next_boundary_);
      boundary_passed_ = 1;
      if (d.moving_elements) *result = kResultStopAtBoundary;
      s = run_->ScheduleEvent(code, next_boundary_, (next_boundary_ - now) / 10.0);
    }
    for (std::size_t i = 0; i < d.controls.size(); ++i) {
      OptControlRecord& control = *d.controls[i];
      const auto at = static_cast<std::size_t>(current_element_);
      if (d.piecewise_linear && i < d.ramps.size()) {
        const double value =
            at < control.values.size() ? control.values[at] * control.scale : d.ramps[i]->end_value;
        d.ramps[i]->Set(old_end, d.ramps[i]->end_value, next_boundary_, value);
      } else if (at >= 1 && at - 1 < control.values.size()) {
        control.variable->SetValue(control.values[at - 1] * control.scale);
      }
    }
    if (!d.controls.empty()) {
      const Status restarted = run_->RestartIntegration();
      if (status::IsSuccess(s)) s = restarted;
    }
    return s;
  }
  // End of the run.
  if (!constraint_time) CollectValues(true);
  RestartRamps();
  run_->SetRunValue(-1.0);
  pass_in_progress_ = false;
  current_element_ = 0;
  *result = ApplyMapping(reply_pending_ ? status::kOk : Pass(opt_pass::kPointEvaluated));
  if (optimum_reached_) EndOptimum(result);
  return s;
}

void OptimisationMgr::EndOptimum(std::int32_t* result) {
  *result = kResultFinished;
  snapshot_taken_ = false;
  pass_in_progress_ = false;
  current_element_ = 0;
}

Status OptimisationMgr::Pass(std::int32_t code) {
  if (mode_ == 2) {
    if (full_space_ == nullptr && factory_ != nullptr) full_space_ = factory_->MakeFullSpace(*this);
    if (full_space_ == nullptr) {
      services_.Print(opt_status::kFailure,
                      "Optimization cannot proceed: no full space optimizer.");
      return opt_status::kCannotProceed;
    }
    const Status pass = full_space_->Pass(code);
    // The NLP leaves its solution in the model: the reply reports it.
    if ((pass & kResultMask) == kMaskedOptimum) TakeModelPoint();
    return pass;
  }
  return SteadyStatePass(code);
}

void OptimisationMgr::TakeModelPoint() {
  OptDefinition& d = definition_;
  for (auto* pairs : {&d.initial, &d.decision}) {
    for (auto& pair : *pairs) {
      double value = 0.0;
      if (status::IsSuccess(pair.model->GetValue(&value))) {
        pair.variable->SetValue(value * pair.variable->scale());
      }
    }
  }
  next_constraint_ = 1;
  CollectValues(true);
}

Status OptimisationMgr::SteadyStatePass(std::int32_t code) {
  const OptDefinition& d = definition_;
  if ((d.I() + d.D() + d.C() == 0 && !d.moving_elements) ||
      (d.K() == 0 && !d.minimise_final_time)) {
    services_.Print(opt_status::kFailure,
                    "Warning: You have requested an optimization simulation but not defined\n"
                    "an objective function and/or at least one decision/control/initial "
                    "variable.");
    return opt_status::kCannotProceed;
  }
  ++pass_count_;
  if (pass_count_ == 1 && code == opt_pass::kPointFailed) {
    services_.Print(opt_status::kFailure,
                    "The initial point is infeasible. Optimization cannot proceed");
    pass_count_ = 0;
    result_available_ = false;
    return opt_status::kCannotProceed;
  }
  // The values were collected for the definition the run set up: one sent
  // since then has other counts, and no arrays until the next run starts.
  const auto rows = static_cast<std::size_t>(d.K() + d.R());
  if (result_values_.size() < rows || gradients_.size() < rows * static_cast<std::size_t>(d.P())) {
    services_.Print(opt_status::kFailure,
                    "Optimization cannot proceed: the optimization changed during its run.");
    pass_count_ = 0;
    return opt_status::kCannotProceed;
  }
  if (reduced_ == nullptr && factory_ != nullptr) reduced_ = factory_->MakeReduced(*this);
  if (reduced_ == nullptr) {
    services_.Print(opt_status::kFailure, "Optimization cannot proceed: no optimizer.");
    pass_count_ = 0;
    return opt_status::kCannotProceed;
  }
  auto progress = std::make_unique<DseMessage>(kProgressService, DseMessage::kRequest);
  progress->PutUInt16(kProgressTag);
  std::int32_t reply = 0;
  const std::int32_t answer =
      reduced_->Step(pass_count_ == 1 ? opt_pass::kFirst : code, result_values_.data(),
                     gradients_.data(), &reply, progress.get());
  if (run_ != nullptr) run_->Send(progress.release());
  if (definition_.moving_elements) definition_.RebuildTimesFromLengths();
  if (answer >= 1) {
    pass_count_ = 0;
    if (reply == 0) return status::kOk;
    reply_pending_ = true;
    return opt_status::kRunAgain;
  }
  if (answer < 0) {
    pass_count_ = 0;
    return opt_status::kCannotProceed;
  }
  return opt_status::kRunAgain;
}

Status OptimisationMgr::FailedStep(std::int32_t* result) {
  run_->ClearRunFlags(kDropRunFlags);
  Status pass_status = status::kOk;
  if ((run_->IntegratorStatus() & kSevereBits) != kSevereBits) {
    pass_status = Pass(opt_pass::kPointFailed);
    pass_in_progress_ = false;
    current_element_ = 0;
  } else {
    RestartRamps();
    services_.Print(opt_status::kFailure,
                    definition_.dynamic
                        ? "Optimization cannot proceed due to an unrecoverable error during the "
                          "dynamic simulation.\nCheck the simulation messages window to find the "
                          "cause of the error."
                        : "Optimization cannot proceed due to an unrecoverable error during the "
                          "steady state simulation.\nCheck the simulation messages window to find "
                          "the cause of the error.");
    pass_status = opt_status::kCannotProceed;
  }
  *result = ApplyMapping(pass_status);
  return status::kOk;
}

Status OptimisationMgr::Execute(std::int32_t* request, SimActionControl*,
                                const SimExplicitEvent* event) {
  if (run_ == nullptr) {
    *request = kResultStop;
    return opt_status::kFailure;
  }
  const std::int32_t hook = run_->HookPoint();
  if (hook < 3 || hook > 12 || hook == 4) {
    *request = kResultStop;
    return opt_status::kBadHookPoint;
  }
  switch (hook) {
    case 3:
      return FailedStep(request);
    case 6:
    case 8:
    case 10:
      if (definition_.dynamic) {
        *request = kResultContinue;
        if (!snapshot_taken_) {
          std::int32_t id = -1;
          run_->TakeNamedSnapshot(kInitialSpecSnapshot, &id);
          snapshot_id_ = id;
          settings_copy_ = run_->GetRunSettings();
          snapshot_taken_ = true;
        }
        return status::kOk;
      }
      if (!reply_pending_) {
        next_constraint_ = 1;
        CollectValues(true);
        *request = ApplyMapping(Pass(opt_pass::kPointEvaluated));
        return status::kOk;
      }
      optimum_reached_ = true;
      EnableSensitivities(false);
      *request = kResultRestart;
      return status::kOk;
    case 11:
      if (event != nullptr && (event->kind & kOptBoundaryFlag) == 0) *request = kResultContinue;
      return status::kOk;
    case 12:
      return event != nullptr ? Event(*event, request) : status::kOk;
    default:
      return RunStart(request);
  }
}
