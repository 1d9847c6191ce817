#include "analysis/services/outside_services.h"

#include <cstdint>

#include "analysis/model/analysis_variable.h"
#include "analysis/services/engine_services.h"
#include "control/actions/action_mgr.h"
#include "control/problem/problem_manager.h"
#include "foundation/interfaces/problem_manager_hooks.h"

Status EngineSaxServices::ReadVariableHandle(BvuBinaryStream& body, std::int64_t* handle) {
  *handle = 0;
  AnalysisVariable* variable = nullptr;
  const Status read = services_.ReadVariableReference(body, &variable);
  // A reference that names no variable still reads: its handle is 0.
  if (read == EngineAnalysisServices::kNotAVariable) return status::kOk;
  if (status::IsFailure(read)) return read;
  if (variable != nullptr && variable->ModelEntry() != nullptr) {
    *handle = static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(variable->ModelEntry()));
  }
  return status::kOk;
}

void EngineSaxServices::Print(Status status, const std::string& text) {
  services_.Print(status, text);
}

double EngineSaxServices::CurrentTime() { return problem_.CurrentTime(); }

void* EngineSaxServices::Context() { return static_cast<ProblemManagerHooks*>(&problem_); }

Status EngineSaxServices::RegisterActionFactory(SimActionFactory* factory) {
  return services_.RegisterActionFactory(factory);
}

Status EngineSaxServices::CreateAction(const char* name) {
  NewSimAction* action = nullptr;
  return services_.CreateAction(name, &action);
}

Status EngineSaxServices::RemoveAction(NewSimAction* action) {
  return services_.RemoveAction(action);
}

std::int32_t EngineSaxServices::CurrentHookPoint() {
  SimActionMgr* actions = SimActionMgr::Existing();
  return actions != nullptr ? actions->CurrentHookPoint() : -1;
}
