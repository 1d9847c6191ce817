#include "analysis/estimation/estimation_mgr.h"

#include <algorithm>

#include "analysis/estimation/data_rec_var.h"
#include "analysis/estimation/estimation_problem.h"
#include "analysis/model/opt_variable.h"
#include "analysis/sensitivity/sensitivity_manager.h"
#include "analysis/services/analysis_services.h"
#include "analysis/services/open_nlp_requests.h"
#include "control/messages/message_collector.h"
#include "framework/messaging/message.h"

namespace {
QLNEstimationManager* current_manager = nullptr;
}  // namespace

QLNEstimationManager* GetEstimationManager() { return current_manager; }
void SetEstimationManager(QLNEstimationManager* manager) { current_manager = manager; }

QLNEstimationManager::~QLNEstimationManager() {
  if (current_manager == this) current_manager = nullptr;
}

EstimationMgr::EstimationMgr(AnalysisServices& services)
    : SimSingleAction(kActionName), services_(services) {
  // Before the run and at the first points the action is called until it
  // is done; after a failed solution and from hook point 5 on, once.
  hook_modes.fill(1);
  for (std::int32_t point : {0, 1, 2, 4}) hook_modes[static_cast<std::size_t>(point)] = 3;
  services_.RegisterActionFactory(this);
  SetEstimationManager(this);
}

EstimationMgr::~EstimationMgr() {
  Clear();
  if (solver_ != nullptr) UnloadOpenNLPSolver();
}

// The run of the experiments belongs to the estimation action proper; until
// it is there the action has nothing to do at a hook point.

Status EstimationMgr::Start() {
  if (active_) return status::kOk;
  services_.ResetPendingTime();
  last_measurement_time_ = -1.0;
  services_.GetTimeRecord(&saved_time_, &saved_counter_);
  action_ = nullptr;
  const Status created = services_.CreateAction(kActionName, &action_);
  active_ = true;
  services_.RaiseAnalysisCounter();
  services_.SetResultsFlags(kResultsAnalysisFlag);
  if (saved_sync_steps_ == -1)
    saved_sync_steps_ = services_.GetIntOption(analysis_options::kSyncSteps);
  services_.SetIntOption(analysis_options::kSyncSteps, 1);
  return created;
}

void EstimationMgr::Stop(bool keep) {
  if (!active_) return;
  services_.SetCurrentTime(saved_time_);
  services_.SetCommunicationTime(saved_time_);
  services_.SetTimeRecord(saved_time_, saved_counter_);
  last_measurement_time_ = -1.0;
  services_.RemoveAction(action_ != nullptr ? action_ : static_cast<NewSimAction*>(this));
  action_ = nullptr;
  active_ = false;
  services_.LowerAnalysisCounter();
  services_.ClearResultsFlags(kResultsAnalysisFlag);
  if (!keep) Clear();
  if (saved_sync_steps_ != -1) {
    services_.SetIntOption(analysis_options::kSyncSteps, saved_sync_steps_);
    saved_sync_steps_ = -1;
  }
}

void EstimationMgr::FreeDefinition() {
  for (auto& experiment : experiments_) {
    if (auto* dynamic = dynamic_cast<EstDynExperiment*>(experiment.get())) {
      dynamic->Reset();
      dynamic->RemoveDrivers(services_);
    }
  }
  experiments_.clear();
  estimated_.clear();
  est_a_.clear();
  est_b_.clear();
  reconciled_.clear();
  reconciled_owned_.clear();
  rec_a_.clear();
  rec_b_.clear();
  records_.clear();
  hetero_initial_.clear();
  rec_c_.clear();
  rec_d_.clear();
  hetero_.clear();
  map_.clear();
  per_record_.clear();
  unknowns_.clear();
  problem_.reset();
  measurement_total_ = 0;
  hetero_flag_ = 0;
  current_experiment_ = 0;
  started_.clear();
  at_measurement_ = pass_restart_ = first_pass_done_ = done_ = false;
}

void EstimationMgr::ForgetPreparation() {
  if (!snapshot_numbers_.empty()) services_.DeleteSnapshot(snapshot_numbers_.back());
  snapshot_numbers_.clear();
}

void EstimationMgr::Clear() {
  Stop(true);
  FreeDefinition();
  ForgetPreparation();
  results_ = EstimationResults{};
}

bool EstimationMgr::Names(AnalysisVariable* variable) const {
  auto in = [variable](const auto& list) {
    return std::find(list.begin(), list.end(), variable) != list.end();
  };
  if (in(estimated_) || in(records_) || in(unknowns_)) return true;
  for (const DataRecVar* reconciled : reconciled_) {
    if (reconciled->Measured() == variable) return true;
  }
  for (const auto& experiment : experiments_) {
    if (in(experiment->MeasuredVariables())) return true;
    for (const auto& input : experiment->Inputs()) {
      if (input.variable == variable) return true;
    }
    if (const auto* dynamic = dynamic_cast<const EstDynExperiment*>(experiment.get())) {
      for (const auto* list : {&dynamic->InitialValues(), &dynamic->InitialRates()}) {
        for (const auto& initial : *list) {
          if (initial.variable == variable) return true;
        }
      }
    }
  }
  return false;
}

void EstimationMgr::ForgetVariable(AnalysisVariable* variable) {
  if (Names(variable)) Clear();
}

Status EstimationMgr::ProblemEdited() {
  Clear();
  return status::kOk;
}

Status EstimationMgr::DetachProblem(const char*, const char*) {
  Clear();
  Clear();
  if (solver_ != nullptr) UnloadOpenNLPSolver();
  SetStatus(0);
  return status::kOk;
}

Status EstimationMgr::HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                                    DseTemplate** kept) {
  return open_nlp::AnswerRequest(
      *this, type, request, reply, kept,
      [this](BvuBinaryStream& body, DseMessage** made) { return HandleMessage(body, made); });
}

Status EstimationMgr::HandleMessage(BvuBinaryStream& body, DseMessage** reply) {
  std::uint16_t kind = 0;
  const Status read = body.GetUInt16(&kind);
  if (kind != kResultsKeep) single_experiment_ = 0;
  if (status::IsFailure(read)) return read;
  switch (kind) {
    case kStart:
      Start();
      return read;
    case kResults:
    case kResultsKeep: {
      // The lines told before the outcome go ahead of the reply that has it.
      if (results_.outcome != 0) {
        if (SputMessageCollector* lines = SputMessageCollector::Instance()) lines->SendGroupsNow();
      }
      std::unique_ptr<DseMessage> made(DseMessage::DseMessageDefault());
      if (!made) return DseMessage::kNoMemory;
      const Status written = WriteResults(*made);
      if (status::IsSuccess(written)) *reply = made.release();
      return written;
    }
    case kClear:
    case kClearToo:
      // It lets go of the sensitivity lists the run thread writes into.
      if (services_.StepComputing()) return sens_status::kBusy;
      Clear();
      if (auto* sensitivities = dynamic_cast<QLNSubSystemManager*>(GetSensitivityManager())) {
        sensitivities->ProblemEdited();
      }
      return read;
    case kContinue:
      return Continue(body);
    case kDefine:
      return Define(body);
    default:
      return read;
  }
}

Status EstimationMgr::Continue(BvuBinaryStream& body) {
  std::uint32_t go_on = 0;
  const Status read = body.GetByteAsUInt32(&go_on);
  const bool failed = status::IsFailure(GetStatus());
  if (!failed && go_on != 0 && status::IsSuccess(read)) {
    Start();
  } else {
    Stop(false);
  }
  return failed ? est_status::kContinueRefused : read;
}

// The whole definition is read before anything starts: a failed read
// leaves no partial definition behind.
Status EstimationMgr::Define(BvuBinaryStream& body) {
  FreeDefinition();
  // A new problem is prepared afresh: its initial snapshot and start are
  // the model's values now, not those of an estimation before it.
  ForgetPreparation();
  objective_ = services_.GetIntOption(analysis_options::kEstimator);
  const Status read = ReadDefinition(body);
  if (status::IsFailure(read)) {
    FreeDefinition();
    return read;
  }
  Start();
  write_back_ = 1;
  const Status finished = FinishDefinition();
  return status::IsFailure(finished) ? finished : read;
}

Status EstimationMgr::ReadDefinition(BvuBinaryStream& body) {
  std::uint16_t n_est = 0;
  Status s = body.GetUInt16(&n_est);
  if (status::IsFailure(s)) return s;
  for (std::uint16_t i = 0; i < n_est; ++i) {
    AnalysisVariable* variable = nullptr;
    double a = 0.0, b = 0.0;
    s = services_.ReadVariableReference(body, &variable);
    if (status::IsFailure(s)) return s;
    if (body.TryGet8(&a) != 1 || body.TryGet8(&b) != 1) return 0x8000FFFFu;
    estimated_.push_back(variable);
    est_a_.push_back(a);
    est_b_.push_back(b);
  }
  std::uint16_t n_exp = 0;
  s = body.GetUInt16(&n_exp);
  if (status::IsFailure(s)) return s;
  for (std::uint16_t i = 0; i < n_exp; ++i) {
    s = ReadExperiment(body, i);
    if (status::IsFailure(s)) return s;
  }
  std::uint32_t flag = 0;
  s = body.GetUInt32(&flag);
  if (status::IsFailure(s)) return s;
  hetero_flag_ = objective_ == est_objective::kLeastSquares ? 0 : (flag != 0 ? 1 : 0);
  std::uint32_t n_mv = 0;
  s = body.GetUInt32(&n_mv);
  if (status::IsFailure(s)) return s;
  for (std::uint32_t i = 0; i < n_mv; ++i) {
    AnalysisVariable* variable = nullptr;
    double initial = 0.0, c = 0.0, d = 0.0;
    s = services_.ReadVariableReference(body, &variable);
    if (status::IsFailure(s)) return s;
    if (body.TryGet8(&initial) != 1 || body.TryGet8(&c) != 1 || body.TryGet8(&d) != 1) {
      return 0x8000FFFFu;
    }
    records_.push_back(variable);
    hetero_initial_.push_back(initial);
    rec_c_.push_back(c);
    rec_d_.push_back(d);
  }
  std::uint32_t single = 0;
  s = body.GetUInt32(&single);
  if (status::IsFailure(s)) return s;
  single_experiment_ = static_cast<std::int32_t>(single);
  return s;
}

Status EstimationMgr::ReadExperiment(BvuBinaryStream& body, std::int32_t index) {
  char name[kMaxName + 1] = {};
  Status s = body.GetStringInto(name, sizeof name);
  if (status::IsFailure(s)) return s;
  std::uint16_t kind = 0, n_in = 0, n_init = 0, n_rate = 0, n_mv = 0, n_meas = 0;
  s = body.GetUInt16(&kind);
  if (status::IsSuccess(s)) s = body.GetUInt16(&n_in);
  if (status::IsSuccess(s) && kind == kDynamicKind) s = body.GetUInt16(&n_init);
  if (status::IsSuccess(s) && kind == kDynamicKind) s = body.GetUInt16(&n_rate);
  if (status::IsSuccess(s)) s = body.GetUInt16(&n_mv);
  if (status::IsSuccess(s)) s = body.GetUInt16(&n_meas);
  double weight = 0.0;
  if (status::IsSuccess(s) && body.TryGet8(&weight) != 1) s = 0x8000FFFFu;
  if (status::IsFailure(s)) return s;
  std::unique_ptr<EstExperiment> experiment;
  if (kind == kDynamicKind) {
    experiment =
        std::make_unique<EstDynExperiment>(name, index, n_in, n_init, n_rate, n_mv, n_meas, weight);
  } else if (kind == kSteadyStateKind) {
    experiment = std::make_unique<EstSSExperiment>(name, index, n_in, n_mv, n_meas, weight);
  } else {
    services_.Print(EstExperiment::kBadRecord, "Experiment " + std::string(name) +
                                                   " is of unknown kind " + std::to_string(kind));
    return EstExperiment::kBadRecord;
  }
  s = experiment->ReadFromMessage(body, services_);
  if (status::IsFailure(s)) return s;
  std::uint32_t request = 0;
  s = body.GetUInt32(&request);
  if (status::IsFailure(s)) return s;
  experiment->SetSnapshotRequest(static_cast<std::int32_t>(request));
  char snapshot[kMaxName + 1] = {};
  s = body.GetStringInto(snapshot, sizeof snapshot);
  if (status::IsFailure(s)) return s;
  if (snapshot[0] != '\0') experiment->SetSnapshotName(snapshot);
  measurement_total_ += n_meas;
  experiments_.push_back(std::move(experiment));
  return status::kOk;
}

Status EstimationMgr::CheckSize() {
  std::uint64_t reconciled = 0;
  for (auto& experiment : experiments_) {
    for (const auto& entry : experiment->Measurements()) {
      reconciled += FixedByModel(experiment->MeasuredVariableOf(entry));
    }
  }
  std::uint64_t measurements = 0;
  for (auto& experiment : experiments_) measurements += experiment->Measurements().size();
  const std::uint64_t n = estimated_.size() + reconciled;
  const std::uint64_t columns = n + (hetero_flag_ == 1 ? records_.size() : 0);
  if (n * (n + 1) / 2 <= kMaxDenseCells && columns * measurements <= kMaxDenseCells) {
    return status::kOk;
  }
  services_.Print(kTooLarge, "The estimation is too large: " + std::to_string(n) +
                                 " estimated/reconciled variables and " +
                                 std::to_string(measurements) +
                                 " measurements exceed the limit of " +
                                 std::to_string(kMaxDenseCells) + " matrix entries.");
  return kTooLarge;
}

Status EstimationMgr::FinishDefinition() {
  const Status size = CheckSize();
  if (status::IsFailure(size)) {
    Stop(false);
    return size;
  }
  QLNSensitivityManager* sensitivities = GetSensitivityManager();
  if (sensitivities != nullptr) {
    for (AnalysisVariable* variable : estimated_) sensitivities->AddParameter(variable);
  }
  // Reconciled unknowns: every measurement of a variable the model fixes.
  for (auto& experiment : experiments_) {
    for (const auto& entry : experiment->Measurements()) {
      AnalysisVariable* measured = experiment->MeasuredVariableOf(entry);
      if (!FixedByModel(measured)) continue;
      reconciled_owned_.push_back(
          std::make_unique<DataRecVar>(measured, experiment->Index(), experiment->Name().c_str()));
      reconciled_.push_back(reconciled_owned_.back().get());
    }
  }
  for (std::size_t i = 0; i < records_.size(); ++i) {
    hetero_.push_back(std::make_unique<OptVariable>(
        std::string("Heteroscedasticity ") + records_[i]->GetNameText(0), hetero_initial_[i], 0.0,
        2.0));
  }
  unknowns_.assign(estimated_.begin(), estimated_.end());
  unknowns_.insert(unknowns_.end(), reconciled_.begin(), reconciled_.end());
  if (hetero_flag_ == 1) {
    for (auto& h : hetero_) unknowns_.push_back(h.get());
  }

  const std::int32_t n_exp = NumExperiments();
  if (single_experiment_ > n_exp) {
    services_.Print(est_status::kFailure,
                    "Experiment " + std::to_string(single_experiment_) + " does not exist");
    Stop(false);
    return est_status::kSevere;
  }
  if (n_exp > 0) {
    services_.SetIntOption(analysis_options::kRunType, experiments_[0]->IsSteadyState() != 0
                                                           ? analysis_options::kRunSteadyState
                                                           : analysis_options::kRunDynamic);
  }
  for (auto& experiment : experiments_) {
    for (const auto& entry : experiment->Measurements()) {
      AnalysisVariable* measured = experiment->MeasuredVariableOf(entry);
      std::int32_t found = -1;
      for (std::size_t r = 0; r < records_.size(); ++r) {
        if (records_[r] == measured) {
          found = static_cast<std::int32_t>(r);
          break;
        }
      }
      map_.push_back(found);
    }
  }
  std::vector<AnalysisVariable*> behind;
  for (DataRecVar* unknown : reconciled_) {
    double a = 1.0, b = 0.0;
    const std::uint32_t id = unknown->Measured()->Id();
    for (std::size_t r = 0; r < records_.size(); ++r) {
      if (records_[r]->Id() == id) {
        a = rec_c_[r];
        b = rec_d_[r];
        break;
      }
    }
    rec_a_.push_back(a);
    rec_b_.push_back(b);
    bool seen = false;
    for (AnalysisVariable* v : behind) seen = seen || v->Id() == id;
    if (!seen) behind.push_back(unknown->Measured());
  }
  if (sensitivities != nullptr) {
    for (AnalysisVariable* variable : behind) sensitivities->AddParameter(variable);
  }
  if (n_exp == 0 || estimated_.size() + reconciled_.size() == 0 || measurement_total_ == 0) {
    services_.Print(est_status::kFailure,
                    "Warning: You have requested an estimation simulation but\n"
                    "no measurements or estimated/reconciled variables.");
    Stop(false);
    return status::kOk;
  }
  per_record_.assign(records_.size(), 0);
  for (std::int32_t r : map_) {
    if (r >= 0) ++per_record_[static_cast<std::size_t>(r)];
  }
  results_ = EstimationResults{};
  MakeProblem();
  return status::kOk;
}
