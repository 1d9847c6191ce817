// The estimation action: one ordinary run per experiment and pass, the
// measurements taken at their times, the pass completed after the last
// experiment, until the driver ends the estimation.
#include <cmath>

#include "analysis/estimation/data_rec_var.h"
#include "analysis/estimation/estimation_mgr.h"
#include "analysis/estimation/estimation_problem.h"
#include "analysis/estimation/estimation_run_services.h"
#include "analysis/sensitivity/sensitivity_manager.h"
#include "analysis/services/analysis_services.h"
#include "foundation/interfaces/solver_options.h"

namespace {

constexpr std::uint32_t kNoSnapshot = 0xFFFFFFFFu;
constexpr std::uint32_t kDropRunState = 0x500;
constexpr Status kSevereBits = 0xA0000000u;
constexpr std::int32_t kOptDiscontinuityEventTol = 156;
constexpr std::int32_t kAssignEstimate = 24;
constexpr double kDefaultEventTol = 1e-5;

}  // namespace

void EstimationMgr::FollowRunType(std::int32_t experiment) {
  if (experiment < 0 || experiment >= NumExperiments()) return;
  services_.SetIntOption(analysis_options::kRunType, Experiment(experiment)->IsSteadyState() != 0
                                                         ? analysis_options::kRunSteadyState
                                                         : analysis_options::kRunDynamic);
}

Status EstimationMgr::PrepareExperiments() {
  pass_counter_ = 0;
  first_pass_done_ = false;
  done_ = false;
  snapshot_numbers_.assign(experiments_.size() + 1, kNoSnapshot);
  started_.assign(experiments_.size(), false);
  for (auto& experiment : experiments_) experiment->Reset();
  std::uint32_t number = kNoSnapshot;
  Status s = status::kOk;
  if (run_ != nullptr) s = run_->TakeNamedSnapshot(kInitialSpecSnapshot, &number);
  snapshot_numbers_.back() = number;
  const std::size_t n = estimated_.size() + reconciled_.size();
  results_.estimates.assign(estimated_.size(), 0.0);
  results_.covariance.assign(n * (n + 1) / 2, 0.0);
  results_.correlation.assign(n * (n + 1) / 2, 0.0);
  results_.standard_errors.assign(n, 0.0);
  results_.confidence.assign(2 * n, 0.0);
  if (problem_ != nullptr) problem_->LoadInitialPoint();
  sensitivities_ = services_.GetIntOption(analysis_options::kEstimationSolver) != 3 ? 1 : 0;
  if (sensitivities_ != 0) {
    if (QLNSensitivityManager* sm = GetSensitivityManager()) sm->Enable();
  }
  return s;
}

Status EstimationMgr::ScheduleMeasurementEvent(std::uint32_t kind, double, double next,
                                               double tolerance) {
  if (run_ == nullptr) return est_status::kFailure;
  return run_->ScheduleEvent(kind, next, tolerance);
}

void EstimationMgr::ApplyUnknowns(EstExperiment& experiment) {
  services_.ResetPendingTime();
  last_measurement_time_ = -1.0;
  if (experiment.IsSteadyState() != 0) experiment.ApplyMeasuredValues();
  for (std::size_t j = 0; j < estimated_.size() && j < results_.estimates.size(); ++j) {
    estimated_[j]->SetValue(results_.estimates[j]);
  }
  for (DataRecVar* unknown : reconciled_) {
    if (unknown->Experiment() != experiment.Index()) continue;
    double value = 0.0;
    if (status::IsSuccess(unknown->GetValue(&value))) unknown->Measured()->SetValue(value);
  }
}

void EstimationMgr::StartExperiment(EstExperiment& experiment) {
  const bool verbose = estimation_options::EstimationPrintLevel() > 2;
  if (verbose) services_.Print(0, "Running experiment " + experiment.Name());
  if (snapshot_numbers_.empty()) PrepareExperiments();
  if (QLNSensitivityManager* sm = GetSensitivityManager()) {
    if (sensitivities_ != 0) {
      sm->Enable();
    } else {
      sm->Disable();
    }
  }
  const std::size_t e = static_cast<std::size_t>(current_experiment_);
  if (snapshot_numbers_[e] == kNoSnapshot) {
    std::uint32_t number = snapshot_numbers_.back();
    if (experiment.SnapshotRequest() >= 0) {
      number = static_cast<std::uint32_t>(experiment.SnapshotRequest());
    }
    if (verbose && experiment.HasSnapshotName() &&
        experiment.SnapshotName() != kInitialSpecSnapshot) {
      services_.Print(0, "The snapshot " + experiment.SnapshotName() +
                             " will be used to initialize experiment " + experiment.Name());
    }
    if (current_experiment_ == 0) {
      results_.estimates.resize(estimated_.size());
      for (std::size_t j = 0; j < estimated_.size(); ++j) {
        estimated_[j]->GetValue(&results_.estimates[j]);
      }
    }
    snapshot_numbers_[e] = number;
  }
  if (run_ != nullptr && snapshot_numbers_[e] != kNoSnapshot) {
    run_->RestoreSnapshot(snapshot_numbers_[e]);
  }
  ApplyUnknowns(experiment);
  for (const auto& input : experiment.Inputs()) input.variable->SetValue(input.first_value);
  if (auto* dynamic = dynamic_cast<EstDynExperiment*>(&experiment)) {
    for (const auto& initial : dynamic->InitialValues()) initial.variable->SetValue(initial.value);
    for (const auto& rate : dynamic->InitialRates()) {
      if (run_ != nullptr) run_->SetRate(rate.variable, rate.value);
    }
    dynamic->InstallDrivers(services_);
  }
}

// The measurement step of hooks 6, 8, 10 and of a measurement event.
std::int32_t EstimationMgr::Measure(EstExperiment& experiment) {
  auto* dynamic = dynamic_cast<EstDynExperiment*>(&experiment);
  const std::size_t e = static_cast<std::size_t>(current_experiment_);
  const double now = run_ != nullptr ? run_->CurrentTime() : 0.0;
  bool at_started_dynamic = false;
  if (!started_[e]) {
    started_[e] = true;
    double time = 0.0;
    std::uint16_t counter = 0;
    services_.GetTimeRecord(&time, &counter);
    SaveRunPosition(time, counter);
    const bool measure_now = dynamic == nullptr || (!dynamic->TimePoints().empty() &&
                                                    dynamic->TimePoints()[0].time == now);
    if (measure_now) {
      if (dynamic != nullptr) last_measurement_time_ = now;
      experiment.RecordResiduals();
      if (sensitivities_ != 0) experiment.RecordSensitivities();
    }
    if (dynamic != nullptr && dynamic->CurrentTimePoint() < dynamic->TimePoints().size()) {
      return kReplyContinue;
    }
  } else if (dynamic != nullptr) {
    experiment.RecordResiduals();
    if (sensitivities_ != 0) experiment.RecordSensitivities();
    const std::size_t next = dynamic->CurrentTimePoint();
    const auto& points = dynamic->TimePoints();
    if (next < points.size()) {
      const double t = points[next].time;
      ScheduleMeasurementEvent(
          next + 1 < points.size() ? kEstMoreMeasurements : kEstLastMeasurement, now, t,
          (t - now) / 10.0);
      last_measurement_time_ = t;
      return kReplyContinue;
    }
    at_started_dynamic = true;
  }
  experiment.Reset();
  if (dynamic != nullptr) dynamic->RemoveDrivers(services_);
  started_[e] = false;
  if (single_experiment_ > 0 && current_experiment_ == single_experiment_ - 1) {
    first_pass_done_ = true;
    done_ = true;
    current_experiment_ = 0;
  } else if (current_experiment_ + 1 < NumExperiments()) {
    ++current_experiment_;
    FollowRunType(current_experiment_);
  } else {
    first_pass_done_ = true;
    current_experiment_ = 0;
    if (CompletePass(kPassDone) == kNoExperiments) return kReplyStop;
    FollowRunType(0);
  }
  if (at_started_dynamic && run_ != nullptr) {
    // The run is inside a dynamic experiment: restart it from an event.
    pass_restart_ = true;
    run_->ScheduleEvent(kEstMoreMeasurements, now + 8.0 * run_->EventTolerance(), -1.0);
    return kReplyContinue;
  }
  return kReplyRestart;
}

std::int32_t EstimationMgr::Finish() {
  const std::uint32_t outcome = results_.outcome;
  const std::int32_t reply =
      (outcome >= 1 && outcome <= 4) || single_experiment_ > 0 ? kReplyFinished : kReplyStop;
  if (run_ != nullptr && !snapshot_numbers_.empty() && snapshot_numbers_.back() != kNoSnapshot) {
    run_->RestoreSnapshot(snapshot_numbers_.back());
  }
  services_.ResetPendingTime();
  if (write_back_ != 0 && single_experiment_ == 0 && !estimated_.empty() && run_ != nullptr) {
    for (std::size_t j = 0; j < estimated_.size() && j < results_.estimates.size(); ++j) {
      run_->AssignValue(estimated_[j], results_.estimates[j], kAssignEstimate);
    }
  }
  done_ = false;
  return reply;
}

Status EstimationMgr::Execute(std::int32_t* request, SimActionControl* element,
                              const SimExplicitEvent*) {
  if (element != nullptr) element->state = 1;
  std::int32_t reply = kReplyContinue;
  Status result = status::kOk;
  auto leave = [&](Status s) {
    if (request != nullptr) *request = reply;
    if (element != nullptr) element->state = SimActionControl::kDone;
    return s;
  };
  if (experiments_.empty()) {
    services_.Print(0, "There are no experiments");
    return leave(kNoExperiments);
  }
  if (single_experiment_ > 0) current_experiment_ = single_experiment_ - 1;
  if (current_experiment_ < 0 || current_experiment_ >= NumExperiments()) current_experiment_ = 0;
  if (started_.size() != experiments_.size()) started_.assign(experiments_.size(), false);
  EstExperiment& experiment = *Experiment(current_experiment_);
  auto* dynamic = dynamic_cast<EstDynExperiment*>(&experiment);
  const std::int32_t hook = run_ != nullptr ? run_->HookPoint() : 0;
  const std::size_t e = static_cast<std::size_t>(current_experiment_);
  switch (hook) {
    case 3: {
      run_->DropRunState(kDropRunState);
      const Status integrator = run_->IntegratorStatus();
      if (!first_pass_done_) {
        services_.Print(kNoExperiments, "The estimation run cannot proceed:  Experiment " +
                                            experiment.Name() +
                                            "\ncannot be solved from the initial point.");
        reply = kReplyStop;
        return leave(status::kOk);
      }
      if ((integrator & kSevereBits) == kSevereBits) {
        reply = kReplyStop;
        break;
      }
      CompletePass(kPassFailed);
      for (std::size_t i = 0; i < experiments_.size(); ++i) {
        if (auto* d = dynamic_cast<EstDynExperiment*>(experiments_[i].get())) {
          if (started_[i]) d->RemoveDrivers(services_);
        }
        experiments_[i]->Reset();
        started_[i] = false;
      }
      current_experiment_ = 0;
      FollowRunType(0);
      reply = kReplyRestart;
      break;
    }
    case 5:
    case 7:
    case 9:
      if (done_) {
        reply = Finish();
      } else if (!started_[e]) {
        StartExperiment(experiment);
      } else if (dynamic != nullptr) {
        double tol = SolverOptions::Instance()->GetReal(kOptDiscontinuityEventTol);
        if (tol <= 0.0) tol = kDefaultEventTol;
        const auto& points = dynamic->TimePoints();
        const std::size_t p = dynamic->CurrentTimePoint();
        if (p < points.size() && run_->CurrentTime() + tol > points[p].time) {
          at_measurement_ = true;
        }
      }
      break;
    case 6:
    case 8:
    case 10:
      reply = Measure(experiment);
      break;
    case 11:
      if (pass_restart_ || dynamic == nullptr) break;
      if (dynamic->TimePoints().empty()) {
        services_.Print(0, "Experiment " + experiment.Name() + " has no data");
        reply = kReplyStop;
        break;
      }
      if (dynamic->CurrentTimePoint() < dynamic->TimePoints().size()) {
        const std::size_t p = dynamic->CurrentTimePoint();
        const double t = dynamic->TimePoints()[p].time;
        if (t != last_measurement_time_) {
          const double previous = last_measurement_time_;
          last_measurement_time_ = t;
          ScheduleMeasurementEvent(
              p + 1 < dynamic->TimePoints().size() ? kEstMoreMeasurements : kEstLastMeasurement,
              previous, t, (t - previous) / 10.0);
        }
      }
      break;
    case 12: {
      double time = 0.0, tolerance = 0.0;
      std::uint32_t flags = 0;
      if (run_->LastEvent(&time, &flags, &tolerance) && (flags & kEstMeasurementEventFlag) != 0 &&
          std::fabs(time - run_->CurrentTime()) < tolerance) {
        if (pass_restart_) {
          pass_restart_ = false;
          reply = kReplyRestart;
        } else if (at_measurement_) {
          at_measurement_ = false;
        } else {
          reply = Measure(experiment);
        }
      }
      break;
    }
    default:
      reply = kReplyStop;
      result = kBadHookPoint;
      break;
  }
  return leave(result);
}
