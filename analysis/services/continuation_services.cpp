#include "analysis/services/continuation_services.h"

#include <cstring>

#include "analysis/model/analysis_variable.h"
#include "analysis/services/engine_services.h"
#include "control/actions/action_mgr.h"
#include "control/engine/end_request.h"
#include "control/problem/problem_manager.h"
#include "daes/delays/delay_mgr.h"
#include "daes/problem/linearisation.h"
#include "daes/problem/problem.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/variable_drivers.h"
#include "framework/runtime/xos_thread.h"
#include "results/manager/results_mgr.h"
#include "solve/groups/decomposition.h"
#include "solve/options/solver_option_table.h"

namespace {

// The run type, which the homotopy reads as its run mode.
constexpr std::int32_t kRunModeNumber = 29;

struct NamedOption {
  const char* name;
  std::int32_t number;
};

constexpr NamedOption kOptions[] = {
    {"LinearSolver", 25},           {"RunMode", kRunModeNumber},    {"PrintLevel", 31},
    {"Homotopy.InitialStep", 92},   {"Homotopy.MaximumStep", 93},   {"Homotopy.MinimumStep", 94},
    {"Homotopy.StepIncrement", 95}, {"Homotopy.StepDecrement", 96},
};

std::int32_t NumberOf(const char* name) {
  for (const NamedOption& o : kOptions) {
    if (std::strcmp(o.name, name) == 0) return o.number;
  }
  return -1;
}

// The problem's linearisation as the control-design manager sees it.
class CdiProblemLinearisation final : public CdiLinearisation {
 public:
  explicit CdiProblemLinearisation(std::unique_ptr<DAESLinearisation> object)
      : object_(std::move(object)) {}
  std::int32_t NumVariables() override { return object_->NumVariables(); }
  std::int32_t NumStates() override { return object_->NumStates(); }
  std::int32_t NumAlgebraic() override { return object_->NumAlgebraic(); }
  const std::vector<std::int64_t>& PatternColumns() override { return object_->PatternColumns(); }
  std::int32_t ColumnOf(AnalysisVariable* variable) override {
    return variable != nullptr ? object_->ColumnOf(variable->ModelEntry()) : 0;
  }
  Status Evaluate(CdiJacobian* jacobian) override {
    DAESLinearJacobian made;
    const Status s = object_->Evaluate(&made);
    if (status::IsFailure(s)) return s;
    jacobian->dyn_values = std::move(made.dyn_values);
    jacobian->dyn_rows = std::move(made.dyn_rows);
    jacobian->dyn_cols = std::move(made.dyn_cols);
    jacobian->ss_values = std::move(made.ss_values);
    jacobian->ss_rows = std::move(made.ss_rows);
    jacobian->ss_cols = std::move(made.ss_cols);
    return status::kOk;
  }

 private:
  std::unique_ptr<DAESLinearisation> object_;
};

}  // namespace

std::int32_t EngineIntOption(const char* name) {
  const std::int32_t number = NumberOf(name);
  return number < 0 ? 0 : SolverOptionTable::Instance()->GetInt(number);
}

double EngineDoubleOption(const char* name) {
  const std::int32_t number = NumberOf(name);
  return number < 0 ? 0.0 : SolverOptionTable::Instance()->GetReal(number);
}

// --- homotopy ---

Status EngineHomotopyServices::ReadVariableReference(BvuBinaryStream& body,
                                                     AnalysisVariable** variable) {
  return services_.ReadVariableReference(body, variable);
}

void EngineHomotopyServices::Print(Status status, const std::string& text) {
  services_.Print(status, text);
}

void EngineHomotopyServices::SetErrorReporting(bool on) { SetErrorReportSwitch(on ? 1 : 0); }

void EngineHomotopyServices::EnterNestedMode() { problem_.EnterNestedMode(); }

void EngineHomotopyServices::LeaveNestedMode() { problem_.LeaveNestedMode(); }

// The run-request bits are the problem manager's one-shot status bits: the
// client is told of each new point.
void EngineHomotopyServices::RaiseRunRequest(std::uint32_t bit) { problem_.SetStatusBits(bit); }

std::int32_t EngineHomotopyServices::MaxBlockIterations() { return LastSolutionBlockIterations(); }

Status EngineHomotopyServices::TakeNamedSnapshot(const char* name, bool by_caller,
                                                 std::int32_t* id) {
  *id = -1;
  if (results_ == nullptr) return status::kOk;
  std::uint32_t taken = 0;
  // Live: listed in the store, so that a cut-back finds it again.
  const Status s = results_->TakeNamedSnapshot(name, &taken, true, false, false, by_caller);
  if (status::IsSuccess(s)) *id = static_cast<std::int32_t>(taken);
  return s;
}

Status EngineHomotopyServices::RestoreSnapshot(std::int32_t id, double* time) {
  *time = problem_.CurrentTime();
  if (results_ == nullptr || id < 0) return status::kOk;
  RunPosition at;
  const Status s = results_->RestoreSnapshot(static_cast<std::uint32_t>(id), &at);
  if (status::IsSuccess(s)) *time = at.time;
  return s;
}

Status EngineHomotopyServices::DeleteSnapshot(std::int32_t id) {
  if (results_ == nullptr || id < 0) return status::kOk;
  return results_->DeleteSnapshot(static_cast<std::uint32_t>(id));
}

void EngineHomotopyServices::TakeProblemSnapshot(const char* name) {
  if (results_ == nullptr) return;
  results_->TakeNamedSnapshot(name, nullptr, true, false);
}

void EngineHomotopyServices::SetCurrentTime(double time) { problem_.SetCurrentTime(time); }

bool EngineHomotopyServices::HasVariableDrivers() { return VariableDrivers().count() > 0; }

void EngineHomotopyServices::ApplyVariableDrivers(double time) { ::ApplyVariableDrivers(time); }

void EngineHomotopyServices::GetLastSolutionTimeRecord(double* time, std::uint16_t* flag) {
  *time = problem_.Record().time;
  *flag = problem_.Record().counter;
}

void EngineHomotopyServices::SetCurrentSolutionTimeRecord(double time, std::uint16_t) {
  problem_.SetCurrentTime(time);
}

void EngineHomotopyServices::SetSnapshotFlags(std::uint32_t flags) {
  services_.SetResultsFlags(flags);
}

void EngineHomotopyServices::ClearSnapshotFlags(std::uint32_t flags) {
  services_.ClearResultsFlags(flags);
}

Status EngineHomotopyServices::RegisterActionFactory(SimActionFactory* factory) {
  return services_.RegisterActionFactory(factory);
}

Status EngineHomotopyServices::CreateAction(const char* name, NewSimAction** action) {
  return services_.CreateAction(name, action);
}

Status EngineHomotopyServices::RemoveAction(NewSimAction* action) {
  return services_.RemoveAction(action);
}

std::int32_t EngineHomotopyServices::CurrentHookPoint() {
  SimActionMgr* actions = SimActionMgr::Existing();
  return actions != nullptr ? actions->CurrentHookPoint() : -1;
}

// --- control design ---

Status EngineCdiServices::ReadVariableReference(BvuBinaryStream& body,
                                                AnalysisVariable** variable) {
  return services_.ReadVariableReference(body, variable);
}

void EngineCdiServices::Print(Status status, const std::string& text) {
  services_.Print(status, text);
}

Status EngineCdiServices::EnterLinearisationMode() {
  if (GetCurrentProblem() == nullptr) return pm_status::kFailure;
  return linearising_++ == 0 ? kEnteredNow : status::kOk;
}

void EngineCdiServices::LeaveLinearisationMode() {
  if (linearising_ > 0) --linearising_;
}

Status EngineCdiServices::CreateLinearisation(std::unique_ptr<CdiLinearisation>* object) {
  std::unique_ptr<DAESLinearisation> made;
  const Status s = DAESLinearisation::Create(GetCurrentProblem(), &made);
  if (status::IsFailure(s)) return s;
  *object = std::make_unique<CdiProblemLinearisation>(std::move(made));
  return status::kOk;
}

void EngineCdiServices::RaiseDelayHold() {
  DelayMgr* delays = GetCurrentDelayMgr();
  if (delays != nullptr) delays->Suspend();
  held_.push_back(delays);
}

void EngineCdiServices::LowerDelayHold() {
  if (held_.empty()) return;
  if (held_.back() != nullptr) held_.back()->Resume();
  held_.pop_back();
}

double EngineCdiServices::LastSolutionTime() { return problem_.CurrentTime(); }

void EngineCdiServices::FlushMessages() { problem_.Collector().SendGroups(); }

// The computation runs on the server thread, which reads no request while
// it computes: besides that thread's stop, command 2 or a client gone end
// it (they are served once it has returned).
bool EngineCdiServices::StopRequested() { return XosStopRequested() || EngineEndRequested(); }

bool EngineCdiServices::StepComputing() { return problem_.StepScheduled(); }
