#include "analysis/optimisation/engine_opt_run.h"

#include <memory>

#include "analysis/optimisation/optimisation_manager.h"
#include "control/actions/action_mgr.h"
#include "control/problem/problem_manager.h"
#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/servers/sending.h"
#include "results/manager/results_mgr.h"
#include "solve/options/solver_option_table.h"

namespace {
constexpr std::int32_t kExplicitEventTolerance = 7;
}  // namespace

std::int32_t EngineOptimisationRun::HookPoint() {
  SimActionMgr* actions = SimActionMgr::Existing();
  return actions != nullptr ? actions->CurrentHookPoint() : -1;
}

void EngineOptimisationRun::ClearRunFlags(std::uint32_t flags) { problem_.ClearStatusBits(flags); }

Status EngineOptimisationRun::IntegratorStatus() {
  SimRunIntegrator* integrator = problem_.Integrator();
  return integrator != nullptr ? integrator->ErrorStatus() : status::kOk;
}

Status EngineOptimisationRun::RestartIntegration() {
  SimRunIntegrator* integrator = problem_.Integrator();
  return integrator != nullptr ? integrator->Finish() : status::kOk;
}

double EngineOptimisationRun::CurrentTime() { return problem_.CurrentTime(); }

Status EngineOptimisationRun::ScheduleEvent(std::uint32_t code, double time, double tolerance) {
  std::uint64_t id = 0;
  return problem_.Events().Add(code, time, tolerance, &id);
}

double EngineOptimisationRun::ExplicitEventTolerance() {
  return SolverOptionTable::Instance()->GetReal(kExplicitEventTolerance);
}

Status EngineOptimisationRun::TakeNamedSnapshot(const char* name, std::int32_t* id) {
  if (results_ == nullptr) return opt_status::kFailure;
  std::uint32_t number = 0;
  const Status s = results_->TakeNamedSnapshot(name, &number, true, true);
  if (status::IsSuccess(s)) *id = static_cast<std::int32_t>(number);
  return s;
}

Status EngineOptimisationRun::RestoreSnapshot(std::int32_t id) {
  if (results_ == nullptr || id < 0) return opt_status::kFailure;
  RunPosition at;
  const Status s = results_->RestoreSnapshot(static_cast<std::uint32_t>(id), &at);
  // The next evaluation starts where the snapshot was taken.
  if (status::IsSuccess(s)) problem_.SetCurrentTime(at.time);
  return s;
}

void EngineOptimisationRun::ClearPendingRunSettings() {
  if (pending_.value == 0 && pending_.flags == 0) return;
  pending_ = OptRunSettings{};
  if (results_ != nullptr) results_->SetCommunicationTime(0.0);
}

void EngineOptimisationRun::ChangeHoldCount(bool raise) {
  if (raise) {
    ++hold_;
  } else if (hold_ > 0) {
    --hold_;
  }
}

Status EngineOptimisationRun::Send(DseMessage* message) {
  std::unique_ptr<DseMessage> owned(message);
  const Status s = DseSendMessage(message, 0, nullptr, nullptr, nullptr, 0);
  // A controller takes the message even when it cannot route it; only
  // without one is it still ours.
  if (DseCurrentController() != nullptr) owned.release();
  return s;
}
