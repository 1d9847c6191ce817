#include "analysis/optimisation/opt_manager.h"

#include <cstdio>

#include "analysis/sensitivity/sensitivity_manager.h"
#include "analysis/services/analysis_services.h"
#include "analysis/services/open_nlp_requests.h"
#include "framework/messaging/message.h"
#include "solve/methods/open_solvers.h"

namespace {

constexpr std::uint32_t kSnapshotFlag = 0x4;

bool SameVariable(AnalysisVariable* a, AnalysisVariable* b) {
  return a != nullptr && b != nullptr && a->Id() == b->Id();
}

}  // namespace

OptimisationMgr::OptimisationMgr(AnalysisServices& services, OptimisationRunServices* run)
    : SimSingleAction(kActionName), services_(services), run_(run) {
  SetOptimisationManager(this);
  daes::SetOptimisationServices(this);
  services_.RegisterActionFactory(this);
  hook_modes.fill(kNotHooked);
  hook_modes[3] = 1;
  for (std::size_t point = 5; point <= 12; ++point) hook_modes[point] = 1;
}

OptimisationMgr::~OptimisationMgr() {
  Clear();
  if (solver_ != nullptr) UnloadOpenNLPSolver();
  if (daes::OptimisationServices() == this) daes::SetOptimisationServices(nullptr);
}

std::int32_t OptimisationMgr::Optimizer() {
  return services_.GetIntOption(opt_options::kOptimizer);
}

std::int32_t OptimisationMgr::ModeFor(std::int32_t optimizer, bool dynamic) {
  std::int32_t mode = 0;
  switch (optimizer) {
    case 1:
    case 3:
    case 6:
    case 8:
    case 9:
    case 10:
      mode = 1;
      break;
    case 4:
    case 7:
      mode = 2;
      break;
    default:
      break;
  }
  if (dynamic && mode == 2) mode = 1;
  return mode;
}

// --- service 112 ---

Status OptimisationMgr::HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                                      DseTemplate** kept) {
  return open_nlp::AnswerRequest(
      *this, type, request, reply, kept,
      [this](BvuBinaryStream& body, DseMessage** made) { return HandleMessage(body, made); });
}

Status OptimisationMgr::HandleMessage(BvuBinaryStream& body, DseMessage** reply) {
  std::uint16_t kind = 0;
  const Status read = body.GetUInt16(&kind);
  if (status::IsFailure(read)) return read;
  if (kind < kStartStop || kind > kResults) return read;
  switch (kind) {
    case kStartStop: {
      // Both clear the definition a step still computing reads.
      if (services_.StepComputing()) return sens_status::kBusy;
      std::uint32_t start = 0;
      const Status s = body.GetByteAsUInt32(&start);
      if (status::IsFailure(s)) return s;
      const Status started = StartStop(start != 0);
      return status::IsFailure(started) ? started : read;
    }
    case kDefine:
      return Define(body);
    case kClear:
      // It lets go of the sensitivity lists the run thread writes into.
      if (services_.StepComputing()) return sens_status::kBusy;
      Clear();
      if (auto* sensitivities = dynamic_cast<QLNSubSystemManager*>(GetSensitivityManager())) {
        sensitivities->ProblemEdited();
      }
      return read;
    case kSteadyState:
    case kDynamic:
      SetDynamic(kind == kDynamic);
      return read;
    case kResults: {
      std::unique_ptr<DseMessage> made(DseMessage::DseMessageDefault());
      if (!made) return DseMessage::kNoMemory;
      const Status written = WriteResults(*made);
      if (status::IsFailure(written)) return written;
      *reply = made.release();
      return read;
    }
    default:
      // 61 to 75 and 80 to 89 are accepted and ignored.
      return read;
  }
}

Status OptimisationMgr::StartStop(bool start) {
  const bool failed = status::IsFailure(GetStatus());
  if (failed || !start) {
    Cancel();
    return failed ? opt_status::kStartRefused : status::kOk;
  }
  Clear();
  if (run_ != nullptr) run_->ChangeHoldCount(true);
  run_flag_ = true;
  if (!started_) {
    services_.SetCommunicationTime(0.0);
    action_ = nullptr;
    services_.CreateAction(kActionName, &action_);
    started_ = true;
    services_.SetResultsFlags(kSnapshotFlag);
    if (saved_sync_ == -1) saved_sync_ = services_.GetIntOption(analysis_options::kSyncSteps);
    services_.SetIntOption(analysis_options::kSyncSteps, 1);
    reply_pending_ = false;
  }
  if (run_ != nullptr) {
    run_->ClearPendingRunSettings();
    run_->SetRefreshFlag();
  }
  return status::kOk;
}

void OptimisationMgr::Cancel() {
  if (!started_) return;
  services_.SetCommunicationTime(0.0);
  if (run_ != nullptr) run_->WritePendingRunSettings(settings_copy_);
  services_.RemoveAction(action_ != nullptr ? action_ : static_cast<NewSimAction*>(this));
  action_ = nullptr;
  services_.ClearResultsFlags(kSnapshotFlag);
  started_ = false;
  Clear();
  if (run_ != nullptr) run_->ChangeHoldCount(false);
  if (saved_sync_ != -1) {
    services_.SetIntOption(analysis_options::kSyncSteps, saved_sync_);
    saved_sync_ = -1;
  }
}

void OptimisationMgr::DeleteRunObjects() {
  reduced_.reset();
  full_space_.reset();
}

void OptimisationMgr::Clear() {
  if (started_) Cancel();
  definition_.Clear(&services_);
  current_element_ = -1;
  result_values_.clear();
  gradients_.clear();
  multipliers_.clear();
  pass_count_ = 0;
  sensitivities_needed_ = false;
  result_available_ = false;
  DeleteRunObjects();
}

Status OptimisationMgr::Define(BvuBinaryStream& body) {
  const bool old_dynamic = definition_.dynamic;
  bool dynamic_read = false;
  // Run objects point into the old definition, and result arrays sized for
  // it would be read past their ends with the new counts.
  DeleteRunObjects();
  result_values_.clear();
  gradients_.clear();
  multipliers_.clear();
  result_available_ = false;
  const Status read = definition_.Read(body, services_, GetSensitivityManager(), &dynamic_read);
  if (dynamic_read) {
    previous_dynamic_ = old_dynamic;
    const std::int32_t mode = ModeFor(Optimizer(), definition_.dynamic);
    mode_ = mode == 0 ? 1 : mode;
    optimum_reached_ = false;
  }
  return read;
}

void OptimisationMgr::SetDynamic(bool dynamic) {
  previous_dynamic_ = definition_.dynamic;
  definition_.dynamic = dynamic;
  const std::int32_t mode = ModeFor(Optimizer(), dynamic);
  mode_ = mode == 0 ? 1 : mode;
  if (previous_dynamic_ == dynamic) return;
  if (mode_ != 1) {
    full_space_.reset();
  } else {
    reduced_.reset();
  }
}

Status OptimisationMgr::WriteResults(BvuBinaryStream& reply) {
  const OptDefinition& d = definition_;
  const bool have_multipliers = !multipliers_.empty();
  const std::uint32_t mult = have_multipliers ? 1 : 0;
  const auto p = static_cast<std::size_t>(d.P());
  // Positions in the optimisation-variable list.
  const std::size_t first_control = static_cast<std::size_t>(d.I() + d.D());
  const std::size_t first_length = first_control + static_cast<std::size_t>(d.C() * d.V());
  auto put_pair = [&](std::size_t entry) {
    const std::size_t at = 2 * entry;
    const double upper = at < multipliers_.size() ? multipliers_[at] : 0.0;
    const double lower = at + 1 < multipliers_.size() ? multipliers_[at + 1] : 0.0;
    reply.PutDouble(lower);
    reply.PutDouble(upper);
  };
  reply.PutUInt16(kResults);
  reply.PutUInt32(result_available_ ? 1 : 0);
  reply.PutUInt32(static_cast<std::uint32_t>(evaluations_));
  reply.PutDouble(objective_);
  if (result_available_) {
    reply.PutDouble(d.final_time);
    reply.PutUInt32(static_cast<std::uint32_t>(d.N()));
    reply.PutUInt32(static_cast<std::uint32_t>(d.M()));
    if (d.moving_elements) {
      for (std::int32_t k = 0; k < d.M(); ++k) {
        reply.PutUInt32(mult);
        reply.PutDouble(d.lengths[static_cast<std::size_t>(k)]->value());
        if (mult != 0) put_pair(first_length + static_cast<std::size_t>(k));
      }
    }
    reply.PutUInt32(static_cast<std::uint32_t>(d.C()));
    if (d.C() != 0) {
      reply.PutUInt32(mult);
      std::size_t entry = first_control;
      for (const auto& control : d.controls) {
        reply.PutString(control->variable->GetNameText(0));
        for (std::int32_t v = 0; v < control->count; ++v, ++entry) {
          reply.PutDouble(control->values[static_cast<std::size_t>(v)] * control->scale);
          if (mult != 0) put_pair(entry);
        }
      }
    }
  }
  const bool f = result_available_ && have_multipliers;
  reply.PutUInt32(f ? 1 : 0);
  if (f) {
    reply.PutUInt32(static_cast<std::uint32_t>(d.I()));
    for (std::size_t j = 0; j < d.initial.size(); ++j) {
      reply.PutString(d.initial[j].variable->GetNameText(0));
      put_pair(j);
    }
    reply.PutUInt32(static_cast<std::uint32_t>(d.D()));
    for (std::size_t j = 0; j < d.decision.size(); ++j) {
      reply.PutString(d.decision[j].variable->GetNameText(0));
      put_pair(d.initial.size() + j);
      reply.PutDouble(d.decision[j].variable->value());
    }
  }
  if (result_available_) {
    const auto k = static_cast<std::size_t>(d.K());
    for (std::size_t r = 0; r < d.constraints.size(); ++r) {
      const double c = k + r < result_values_.size() ? result_values_[k + r] : 0.0;
      reply.PutDouble(d.constraints[r].VariableValue(c));
    }
  }
  reply.PutUInt32(mult);
  if (mult != 0) {
    for (std::size_t r = 0; r < d.constraints.size(); ++r) {
      const std::size_t at = 2 * p + r;
      reply.PutDouble(at < multipliers_.size() ? multipliers_[at] : 0.0);
    }
  }
  return reply.PutUInt16(kEndMark);
}

// --- QLNOptimisationManager ---

double OptimisationMgr::GetCurrentElementLength() {
  const std::int32_t k = current_element_;
  if (k < 1 || k > definition_.N()) return 0.0;
  return definition_.lengths[static_cast<std::size_t>(k - 1)]->value();
}

double OptimisationMgr::GetElementStartTime() {
  if (definition_.N() < 1) return 0.0;
  return definition_.ElementStart(current_element_);
}

double OptimisationMgr::GetElementEndTime() {
  const std::int32_t n = definition_.N();
  if (n < 1) return 0.0;
  if (current_element_ >= 0 && current_element_ < n) {
    return definition_.times[static_cast<std::size_t>(current_element_)];
  }
  return definition_.final_time;
}

double OptimisationMgr::GetNextElementEndTime() {
  const std::int32_t n = definition_.N();
  if (n < 1) return 0.0;
  const std::int32_t next = current_element_ + 1;
  if (next >= 0 && next < n) return definition_.times[static_cast<std::size_t>(next)];
  return definition_.final_time;
}

Status OptimisationMgr::GetControlValues(AnalysisVariable* variable, double* start, double* end) {
  for (const auto& control : definition_.controls) {
    if (!SameVariable(control->variable, variable)) continue;
    const std::int32_t count = control->count;
    if (count < 1) return opt_status::kNotAControl;
    auto at = [&](std::int32_t i) {
      if (i < 0) i = 0;
      if (i >= count) i = count - 1;
      return control->values[static_cast<std::size_t>(i)] * control->scale;
    };
    *start = at(current_element_ - 1);
    *end = at(current_element_);
    return status::kOk;
  }
  return opt_status::kNotAControl;
}

Status OptimisationMgr::GetMultipliers(AnalysisVariable* variable, double* upper, double* lower) {
  if (variable == nullptr) return opt_status::kNoValue;
  if (mode_ != 1) {
    return full_space_ != nullptr ? full_space_->GetMultipliers(variable, upper, lower)
                                  : opt_status::kNoValue;
  }
  const OptDefinition& d = definition_;
  // A list entry answers for itself and for the model variable it stands
  // beside.
  auto model_of = [&](std::size_t entry) -> AnalysisVariable* {
    const std::size_t i = d.initial.size();
    const std::size_t dd = d.decision.size();
    if (entry < i) return d.initial[entry].model;
    if (entry < i + dd) return d.decision[entry - i].model;
    const std::size_t c = entry - i - dd;
    const auto v = static_cast<std::size_t>(d.V());
    if (v > 0 && c / v < d.controls.size()) return d.controls[c / v]->variable;
    return nullptr;
  };
  for (std::size_t entry = 0; entry < d.list.size(); ++entry) {
    if (!SameVariable(d.list[entry], variable) && !SameVariable(model_of(entry), variable)) {
      continue;
    }
    if (2 * entry + 1 >= multipliers_.size()) return opt_status::kNoValue;
    *upper = multipliers_[2 * entry];
    *lower = multipliers_[2 * entry + 1];
    return status::kOk;
  }
  return opt_status::kNoValue;
}

Status OptimisationMgr::GetVariableReals(DAESVarTableEntry* entry, double* first, double* second) {
  if (entry == nullptr) return opt_status::kNoValue;
  const OptDefinition& d = definition_;
  AnalysisVariable* model = nullptr;
  for (const auto& pair : d.initial) {
    if (model == nullptr && pair.model->ModelEntry() == entry) model = pair.model;
  }
  for (const auto& pair : d.decision) {
    if (model == nullptr && pair.model->ModelEntry() == entry) model = pair.model;
  }
  for (const auto& control : d.controls) {
    if (model == nullptr && control->variable->ModelEntry() == entry) model = control->variable;
  }
  if (model == nullptr) return opt_status::kNoValue;
  // Attributes 8 and 9: the lower, then the upper multiplier.
  return GetMultipliers(model, second, first);
}

// --- QLNSubSystemManager ---

void OptimisationMgr::ForgetVariable(AnalysisVariable* variable) {
  if (definition_.Names(variable)) Clear();
}

Status OptimisationMgr::ProblemEdited() {
  Clear();
  return status::kOk;
}

Status OptimisationMgr::DetachProblem(const char*, const char*) {
  Clear();
  Clear();
  if (solver_ != nullptr) UnloadOpenNLPSolver();
  SetStatus(0);
  return status::kOk;
}

void OptimisationMgr::SetResult(bool available, std::int32_t evaluations, double objective) {
  result_available_ = available;
  if (!available) return;
  evaluations_ = evaluations;
  objective_ = objective;
}

// --- Open NLP optimisation solver ---

std::int32_t OptimisationMgr::OpenNLPRunType() { return kRunOptimisation; }

Status OptimisationMgr::SelectOpenNLPSolver(const char* name, std::int32_t describe,
                                            DseMessage* reply) {
  Clear();
  if (solver_ != nullptr) UnloadOpenNLPSolver();
  if (name != nullptr && name[0] != '\0') {
    EstOpenNLPSolver* loaded = nullptr;
    const Status s = services_.LoadOpenNLPOptimisationSolver(name, &loaded);
    if (status::IsFailure(s) || loaded == nullptr) return SetStatus(opt_status::kFailure);
    solver_ = loaded;
    solver_name_ = name;
  }
  if (describe == 0 || reply == nullptr) return SetStatus(status::kOk);
  EstNLPOptions* options = solver_ != nullptr ? solver_->Options() : nullptr;
  if (options == nullptr) {
    reply->PutString("");
    reply->PutUInt32(0);
    return SetStatus(status::kOk);
  }
  const std::int32_t count = options->Count() < 0 ? 0 : options->Count();
  reply->PutUInt32(static_cast<std::uint32_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    EstNLPOption option;
    if (status::IsFailure(options->Describe(i, &option))) return SetStatus(opt_status::kFailure);
    reply->PutString(option.name.c_str());
    reply->PutString(option.description.c_str());
    reply->PutUInt16(option.tag);
    switch (option.tag) {
      case EstNLPOption::kInteger:
        for (std::int32_t v : option.integer) reply->PutUInt32(static_cast<std::uint32_t>(v));
        break;
      case EstNLPOption::kReal:
        for (double v : option.real) reply->PutDouble(v);
        break;
      default:
        reply->PutString(option.text[0].c_str());
        reply->PutString(option.text[1].c_str());
        break;
    }
  }
  return SetStatus(status::kOk);
}

Status OptimisationMgr::SetOpenNLPSolverOption(const char* name, BvuBinaryStream& message) {
  return open_nlp::SetSolverOption(solver_, name, message, opt_status::kFailure);
}

Status OptimisationMgr::SetOpenNLPSolverOption(const char*, const char* option, DseMessage* request,
                                               DseMessage*) {
  if (request == nullptr) return opt_status::kFailure;
  return SetOpenNLPSolverOption(option, *request);
}

void OptimisationMgr::UnloadOpenNLPSolver() {
  char line[400];
  std::snprintf(line, sizeof line, "Open NLP Optimization Solver %s unloaded\n",
                solver_name_.c_str());
  services_.PrintOpenMessage(line);
  solver_name_.clear();
  if (solver_ != nullptr) services_.ReleaseOpenNLPSolver(solver_);
  solver_ = nullptr;
}
