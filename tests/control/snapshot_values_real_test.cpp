// Snapshots of a real dynamic run of the first-order lag through the
// results manager: each holds the values of the step that stored its run
// position, not those of the run's start.
#include <gtest/gtest.h>

#include <cmath>

#include "control/problem/problem_manager.h"
#include "control/problem/run_steps.h"
#include "framework/servers/server_registry.h"
#include "results/manager/run_results.h"
#include "tests/control/real_lag_run.h"

#if defined(VANTOR_BUILD_REGISTRY) && defined(VANTOR_KVS_DIR)

namespace {

class SnapshotValuesRun : public reallag::RealLagRun {
 protected:
  // One step to t, then the results manager's record of it.
  void StepTo(std::uint32_t kind, double t, Status expected) {
    manager.Events().Add(kind, t, -1.0, nullptr);
    ASSERT_EQ(steps.RunStep(), expected) << t << testing::PrintToString(sink.lines());
    ASSERT_EQ(join.TakeStepSnapshot(t, 1, false), 0u);
    ASSERT_EQ(manager.Events().Head(), nullptr);
  }

  DseServerRegistry registry;
  SimRunResultsJoin join{manager, &registry, nullptr};
};

TEST_F(SnapshotValuesRun, ASnapshotHoldsTheValuesOfItsStepAndRestoresThem) {
  SetRunMode(kRunSteadyState);
  SolverOptionTable::Instance()->SetInteger(30, 4);
  SolverOptionTable::Instance()->ApplyPendingChanges();
  ASSERT_EQ(steps.PrepareSimulation(0, 0), 0u) << testing::PrintToString(sink.lines());
  DAESVarTableEntry* x = Named("FirstOrder.x");
  DAESVarTableEntry* u = Named("FirstOrder.u");
  ASSERT_TRUE(x != nullptr && u != nullptr);
  x->SetSpec(daes::kSpecStateInitial);
  ASSERT_EQ(manager.Integrator()->BeginRun(), 618u);
  ASSERT_EQ(join.OpenRecords(), 0u);
  SimResultsMgr& results = join.Manager();
  StepTo(16, 0.0, 0u);
  ASSERT_NEAR(x->GetRealValue(), 2.0, 1e-8);

  u->SetValue(5.0);
  SetRunMode(kRunDynamic);
  ASSERT_EQ(manager.Integrator()->BeginRun(), 618u);
  StepTo(128, 0.0, 0u);
  double at_half = 0;
  for (int k = 1; k <= 10; ++k) {
    const double t = 0.1 * k;
    StepTo(65, t, run_step::kTargetReached);
    if (k == 5) {
      at_half = x->GetRealValue();
      ASSERT_EQ(join.TakeSnapshot("half"), 0u);
    }
  }
  ASSERT_EQ(join.TakeSnapshot("end"), 0u);
  EXPECT_NEAR(at_half, 5.0 - 3.0 * std::exp(-0.5), 1e-3);
  EXPECT_EQ(results.Position().time, 1.0);

  // Restoring "half" gives the problem x(0.5) back, far from x(0) and x(1).
  std::uint32_t id = 0;
  ASSERT_EQ(results.FindSnapshotByName("half", &id), 0u);
  RunPosition at;
  manager.ClearStatusBits(run_bits::kOneShot);
  ASSERT_EQ(results.RestoreSnapshot(id, &at), 0u);
  EXPECT_EQ(at.time, 0.5);
  EXPECT_EQ(x->GetRealValue(), at_half);
  // The client hears that the run goes on from restored values.
  EXPECT_EQ(manager.StatusBits() & run_bits::kOneShot, 0x1000u);

  // And "end" gives x(1).
  ASSERT_EQ(results.FindSnapshotByName("end", &id), 0u);
  ASSERT_EQ(results.RestoreSnapshot(id, &at), 0u);
  EXPECT_NEAR(x->GetRealValue(), 5.0 - 3.0 * std::exp(-1.0), 1e-3);
  EXPECT_EQ(manager.Integrator()->EndRun(), 0u);
}

}  // namespace

#endif
