// EngineOptimisationRun: the optimisation action's run services over the
// engine's problem manager (event schedule, run flags, integrator), its
// results manager (snapshots) and the action manager (the hook point). The
// run-settings records, the hold count and the run value are kept here: the
// problem manager has no such records of its own. Server thread; no lock.
#pragma once

#include "analysis/optimisation/opt_run_services.h"

class SimProblemMgr;
class SimResultsMgr;

class EngineOptimisationRun final : public OptimisationRunServices {
 public:
  // results may be null.
  EngineOptimisationRun(SimProblemMgr& problem, SimResultsMgr* results)
      : problem_(problem), results_(results) {}

  std::int32_t HookPoint() override;
  void ClearRunFlags(std::uint32_t flags) override;
  void SetRunValue(double value) override { run_value_ = value; }
  Status IntegratorStatus() override;
  double CurrentTime() override;
  // The explicit event at the same time stops the integration there.
  Status StopIntegratorAt(double) override { return 0; }
  Status RestartIntegration() override;
  Status ScheduleEvent(std::uint32_t code, double time, double tolerance) override;
  double ExplicitEventTolerance() override;
  Status TakeNamedSnapshot(const char* name, std::int32_t* id) override;
  Status RestoreSnapshot(std::int32_t id) override;
  OptRunSettings GetRunSettings() override { return current_; }
  void WritePendingRunSettings(const OptRunSettings& settings) override { pending_ = settings; }
  void ClearPendingRunSettings() override;
  void SetRefreshFlag() override { refresh_ = true; }
  void ChangeHoldCount(bool raise) override;
  Status Send(DseMessage* message) override;

  double RunValue() const { return run_value_; }
  std::int32_t HoldCount() const { return hold_; }

 private:
  SimProblemMgr& problem_;
  SimResultsMgr* results_;
  OptRunSettings current_;
  OptRunSettings pending_;
  double run_value_ = 0.0;
  std::int32_t hold_ = 0;
  bool refresh_ = false;
};
