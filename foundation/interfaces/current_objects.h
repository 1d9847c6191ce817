// The objects that exist once per engine process and are reached from deep in
// the model and the solvers without being passed down. Each is set by the code
// that creates the object and cleared when it goes; only the group methods are
// owned here. Set on the server thread while no run is active, read by the run
// thread during runs.
//
// Who sets what: the DAE model (daes/) sets the current problem from the
// problem root's constructor and the current delay manager from the delay
// manager's; the problem manager (control/) sets the integrator proxy, the
// event schedule, the group methods, the error-report switch and fills the
// procedure-call context. The table itself is implemented here.
#pragma once

#include <cstdint>

#include "platform/status.h"

class DAESProblem;
class DAESEventSchedule;
class DelayMgr;
class UnifiedIntegratorProxy;
class QLNGroupMethod;
class QLNMessagesHandler;
class ProblemManagerHooks;
struct ProcedureCallContext;

DAESProblem* GetCurrentProblem();
void SetCurrentProblem(DAESProblem* problem);

// Null when there is no integrator.
UnifiedIntegratorProxy* GetCurrentIntegrator();
void SetCurrentIntegrator(UnifiedIntegratorProxy* integrator);

DAESEventSchedule* GetCurrentEventSchedule();
void SetCurrentEventSchedule(DAESEventSchedule* schedule);

DelayMgr* GetCurrentDelayMgr();
void SetCurrentDelayMgr(DelayMgr* manager);

// Group kinds, the slots of the group-method table.
inline constexpr std::int32_t kGroupLinear = 0;
inline constexpr std::int32_t kGroupNonlinear = 1;
inline constexpr std::int32_t kGroupTorn = 2;
inline constexpr std::int32_t kGroupExplicit = 3;
inline constexpr std::int32_t kGroupKindCount = 4;

// Null for an empty slot or a kind outside 0..3.
QLNGroupMethod* GetGroupMethod(std::int32_t kind);
// Deletes the method held for the kind and keeps `method` (null empties the
// slot). A kind outside 0..3 is refused and the method stays with the caller.
Status ReplaceGroupMethod(std::int32_t kind, QLNGroupMethod* method);

// Fills the process's procedure-call context the first time (mode 3, the
// collector, the solver option table, the problem manager); later calls leave
// it as it is. Returns the block, whose address outside libraries receive.
ProcedureCallContext* InitProcedureContext(ProblemManagerHooks* problem_manager,
                                           QLNMessagesHandler* collector);
ProcedureCallContext* GetProcedureContext();
// Empties the context, for when the problem manager it names goes; the next
// InitProcedureContext fills it anew.
void ClearProcedureContext();

// The error-report switch: 1 at start; the problem manager clears it while
// errors are expected (initialising the integrator) and sets it again.
std::uint32_t GetErrorReportSwitch();
void SetErrorReportSwitch(std::uint32_t value);

// 0 while the problem manager is in its nested mode, else the switch: whether
// failures are printed with their failure status.
std::uint32_t IsErrorReportingOn();

// 1 when tearing (option 97) is on and the current integrator reports
// capability bit 2, else 0.
std::int32_t IsIntegratorOptionOn();
