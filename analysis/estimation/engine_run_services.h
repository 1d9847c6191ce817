// The estimation action's run services over the engine's own objects: the
// action manager's hook point, the problem manager's run state, clock,
// integrator and explicit events, and the results manager's snapshots and
// queued assignments. Server thread (the action's execute); no lock.
#pragma once

#include "analysis/estimation/estimation_run_services.h"

class SimProblemMgr;
class SimResultsMgr;

class EngineEstimationRunServices final : public EstimationRunServices {
 public:
  static constexpr Status kNoResults = 0x8028FFFFu;

  // results may be null (an engine without a results manager).
  EngineEstimationRunServices(SimProblemMgr& problem, SimResultsMgr* results)
      : problem_(problem), results_(results) {}

  std::int32_t HookPoint() override;
  void DropRunState(std::uint32_t flags) override;
  Status IntegratorStatus() override;
  double CurrentTime() override;
  Status TakeNamedSnapshot(const char* name, std::uint32_t* number) override;
  Status RestoreSnapshot(std::uint32_t number) override;
  Status AssignValue(AnalysisVariable* variable, double value, std::int32_t kind) override;
  Status SetRate(AnalysisVariable* variable, double rate) override;
  Status ScheduleEvent(std::uint32_t kind, double time, double tolerance) override;
  double EventTolerance() override;
  bool LastEvent(double* time, std::uint32_t* flags, double* tolerance) override;
  void SendProgress(DseMessage* message) override;

 private:
  SimProblemMgr& problem_;
  SimResultsMgr* results_;
};
