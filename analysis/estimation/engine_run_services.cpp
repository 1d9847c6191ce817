#include "analysis/estimation/engine_run_services.h"

#include "analysis/services/model_variable_ref.h"
#include "control/actions/action_mgr.h"
#include "control/problem/problem_manager.h"
#include "daes/model/services.h"
#include "daes/model/variable.h"
#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/servers/sending.h"
#include "results/manager/results_mgr.h"

void EstimationRunServices::SendProgress(DseMessage* message) { delete message; }

std::int32_t EngineEstimationRunServices::HookPoint() {
  SimActionMgr* actions = SimActionMgr::Existing();
  return actions != nullptr ? actions->CurrentHookPoint() : -1;
}

void EngineEstimationRunServices::DropRunState(std::uint32_t flags) {
  problem_.ClearStatusBits(flags);
}

Status EngineEstimationRunServices::IntegratorStatus() {
  SimRunIntegrator* integrator = problem_.Integrator();
  return integrator != nullptr ? integrator->ErrorStatus() : status::kOk;
}

double EngineEstimationRunServices::CurrentTime() { return problem_.CurrentTime(); }

Status EngineEstimationRunServices::TakeNamedSnapshot(const char* name, std::uint32_t* number) {
  if (results_ == nullptr) return kNoResults;
  // Taken for the caller: the first-run rule that keeps only the initial
  // specification does not apply.
  return results_->TakeNamedSnapshot(name, number, true, false, false, true);
}

Status EngineEstimationRunServices::RestoreSnapshot(std::uint32_t number) {
  if (results_ == nullptr) return kNoResults;
  RunPosition at;
  const Status restored = results_->RestoreSnapshot(number, &at);
  if (status::IsSuccess(restored)) problem_.SetCurrentTime(at.time);
  return restored;
}

Status EngineEstimationRunServices::AssignValue(AnalysisVariable* variable, double value,
                                                std::int32_t) {
  DAESResultsServices* results = daes::ResultsServices();
  DAESVarTableEntry* entry = variable != nullptr ? variable->ModelEntry() : nullptr;
  if (results == nullptr || entry == nullptr) return kNoResults;
  // Queued as the results manager's kind-24 assignment of a value.
  return results->AssignValue(entry, value, 0, 0);
}

Status EngineEstimationRunServices::SetRate(AnalysisVariable* variable, double rate) {
  auto* adapter = dynamic_cast<ModelVariableRef*>(variable);
  DAESVariable* model = adapter != nullptr ? adapter->Variable() : nullptr;
  if (model == nullptr) return kNoResults;
  return model->SetDerivativeValue(rate);
}

Status EngineEstimationRunServices::ScheduleEvent(std::uint32_t kind, double time,
                                                  double tolerance) {
  return problem_.Events().Add(kind, time, tolerance, nullptr);
}

double EngineEstimationRunServices::EventTolerance() { return problem_.Events().Tolerance(); }

// The event the loop is at: the head of the schedule.
bool EngineEstimationRunServices::LastEvent(double* time, std::uint32_t* flags, double* tolerance) {
  const SimExplicitEvent* head = problem_.Events().Head();
  if (head == nullptr) return false;
  *time = head->time;
  *flags = head->kind;
  *tolerance = problem_.Events().Tolerance();
  return true;
}

void EngineEstimationRunServices::SendProgress(DseMessage* message) {
  if (message == nullptr) return;
  // Without a controller (an engine not yet connected) nothing takes it.
  if (DseCurrentController() == nullptr) {
    delete message;
    return;
  }
  message->flags |= DseMessage::kNoReply;
  // The controller owns it from here, also when it refuses it (a client
  // that does not serve progress messages).
  DseSendMessage(message, 0, nullptr, nullptr, nullptr, -1);
}
