// The run steps over the real integrator and decomposition servers and the
// real group methods: the first-order lag dx/dt = k (u - x), y = 2x, first
// at rest, then a dynamic run after u steps from 2 to 5.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "control/problem/problem_manager.h"
#include "control/problem/run_steps.h"
#include "daes/problem/problem.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "framework/libraries/library_api.h"
#include "solve/options/solver_option_table.h"
#include "tests/control/real_lag_run.h"
#include "tests/daes/daes_helpers.h"
#include "tests/support/capture_sink.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#if defined(VANTOR_BUILD_REGISTRY) && defined(VANTOR_KVS_DIR)

namespace {

using namespace modelwriter;
using reallag::Lag;

class RealRunTest : public reallag::RealLagRun {};

TEST_F(RealRunTest, SteadyStateThenTheDynamicRunOfTheLag) {
  SetRunMode(kRunSteadyState);
  // Gear12: the accuracy asked of the table below is the integrator's, not
  // the run steps'.
  SolverOptionTable::Instance()->SetInteger(30, 4);
  SolverOptionTable::Instance()->ApplyPendingChanges();
  ASSERT_EQ(steps.PrepareSimulation(0, 0), 0u) << testing::PrintToString(sink.lines());
  ASSERT_NE(manager.Integrator(), nullptr);
  EXPECT_EQ(manager.Integrator()->BeginRun(), 618u);
  DAESVarTableEntry* x = Named("FirstOrder.x");
  DAESVarTableEntry* y = Named("FirstOrder.y");
  DAESVarTableEntry* u = Named("FirstOrder.u");
  ASSERT_TRUE(x != nullptr && y != nullptr && u != nullptr);

  // The servers take an initial state (flag 0x80) for a fixed one; as a
  // plain state it is solved for at rest and integrated from its value.
  x->SetSpec(daes::kSpecStateInitial);
  manager.Events().Add(16, 0.0, -1.0, nullptr);
  ASSERT_EQ(steps.RunStep(), 0u) << testing::PrintToString(sink.lines());
  manager.Events().DeleteFirst();
  EXPECT_NEAR(x->GetRealValue(), 2.0, 1e-8);
  EXPECT_NEAR(y->GetRealValue(), 4.0, 1e-8);

  u->SetValue(5.0);
  SetRunMode(kRunDynamic);
  EXPECT_EQ(manager.Integrator()->BeginRun(), 618u);
  manager.Events().Add(128, 0.0, -1.0, nullptr);
  ASSERT_EQ(steps.RunStep(), 0u) << testing::PrintToString(sink.lines());
  manager.Events().DeleteFirst();
  EXPECT_NEAR(x->GetRealValue(), 2.0, 1e-8);
  for (int k = 1; k <= 10; ++k) {
    const double t = 0.1 * k;
    manager.Events().Add(65, t, -1.0, nullptr);
    ASSERT_EQ(steps.RunStep(), run_step::kTargetReached)
        << t << testing::PrintToString(sink.lines());
    manager.Events().DeleteFirst();
    const double exact = 5.0 - 3.0 * std::exp(-t);
    EXPECT_NEAR(x->GetRealValue(), exact, 1e-4 * exact) << t;
    EXPECT_NEAR(y->GetRealValue(), 2.0 * exact, 2e-4 * exact) << t;
    EXPECT_EQ(manager.Record().time, t);
  }
  EXPECT_EQ(manager.Integrator()->EndRun(), 0u);
}

}  // namespace

#endif
