#include "foundation/interfaces/current_objects.h"

#include <atomic>
#include <mutex>

#include "foundation/interfaces/group_method.h"
#include "foundation/interfaces/integrator_proxy.h"
#include "foundation/interfaces/problem_manager_hooks.h"
#include "foundation/interfaces/procedure_context.h"
#include "foundation/interfaces/solver_options.h"

namespace {

// Atomics: the server thread writes while a run thread may still read.
std::atomic<DAESProblem*> g_problem{nullptr};
std::atomic<UnifiedIntegratorProxy*> g_integrator{nullptr};
std::atomic<DAESEventSchedule*> g_event_schedule{nullptr};
std::atomic<DelayMgr*> g_delay_mgr{nullptr};
std::atomic<QLNGroupMethod*> g_group_methods[kGroupKindCount] = {};
std::atomic<std::uint32_t> g_error_report_switch{1};

std::mutex g_context_mutex;
ProcedureCallContext g_context{};

bool IsGroupKind(std::int32_t kind) { return kind >= 0 && kind < kGroupKindCount; }

}  // namespace

DAESProblem* GetCurrentProblem() { return g_problem.load(std::memory_order_acquire); }
void SetCurrentProblem(DAESProblem* problem) {
  g_problem.store(problem, std::memory_order_release);
}

UnifiedIntegratorProxy* GetCurrentIntegrator() {
  return g_integrator.load(std::memory_order_acquire);
}
void SetCurrentIntegrator(UnifiedIntegratorProxy* integrator) {
  g_integrator.store(integrator, std::memory_order_release);
}

DAESEventSchedule* GetCurrentEventSchedule() {
  return g_event_schedule.load(std::memory_order_acquire);
}
void SetCurrentEventSchedule(DAESEventSchedule* schedule) {
  g_event_schedule.store(schedule, std::memory_order_release);
}

DelayMgr* GetCurrentDelayMgr() { return g_delay_mgr.load(std::memory_order_acquire); }
void SetCurrentDelayMgr(DelayMgr* manager) {
  g_delay_mgr.store(manager, std::memory_order_release);
}

QLNGroupMethod* GetGroupMethod(std::int32_t kind) {
  if (!IsGroupKind(kind)) return nullptr;
  return g_group_methods[kind].load(std::memory_order_acquire);
}

Status ReplaceGroupMethod(std::int32_t kind, QLNGroupMethod* method) {
  if (!IsGroupKind(kind)) return status::kBadArguments;
  QLNGroupMethod* old = g_group_methods[kind].exchange(method, std::memory_order_acq_rel);
  // Storing the method already held must not free it under the table.
  if (old != method) delete old;
  return status::kOk;
}

ProcedureCallContext* InitProcedureContext(ProblemManagerHooks* problem_manager,
                                           QLNMessagesHandler* collector) {
  std::lock_guard<std::mutex> lock(g_context_mutex);
  if (g_context.mode == 0) {
    g_context.collector = collector;
    g_context.options = SolverOptions::Instance();
    g_context.problem_manager = problem_manager;
    g_context.mode = kProcedureContextFilled;
  }
  return &g_context;
}

ProcedureCallContext* GetProcedureContext() { return &g_context; }

void ClearProcedureContext() {
  std::lock_guard<std::mutex> lock(g_context_mutex);
  g_context.collector = nullptr;
  g_context.options = nullptr;
  g_context.problem_manager = nullptr;
  g_context.mode = 0;
}

std::uint32_t GetErrorReportSwitch() {
  return g_error_report_switch.load(std::memory_order_relaxed);
}
void SetErrorReportSwitch(std::uint32_t value) {
  g_error_report_switch.store(value, std::memory_order_relaxed);
}

std::uint32_t IsErrorReportingOn() {
  ProblemManagerHooks* manager = GetProblemManagerHooks();
  if (manager != nullptr && manager->IsNestedMode()) return 0;
  return GetErrorReportSwitch();
}

std::int32_t IsIntegratorOptionOn() {
  if (SolverOptions::Instance()->GetInt(kOptTearing) == 0) return 0;
  UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();
  return integrator != nullptr && integrator->GetCapabilityBit2() != 0 ? 1 : 0;
}
