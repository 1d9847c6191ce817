// The estimation action's run services over a real problem manager: the
// hook point, run-state bits, the clock, the explicit-event schedule and the
// rates of model variables.
#include <gtest/gtest.h>

#include "analysis/analysis_managers.h"
#include "analysis/estimation/engine_run_services.h"
#include "analysis/model/opt_variable.h"
#include "analysis/services/model_variable_ref.h"
#include "control/actions/action_mgr.h"
#include "control/problem/problem_manager.h"
#include "daes/model/variable.h"
#include "framework/messaging/message.h"
#include "framework/servers/server_registry.h"

namespace {

TEST(EstimationEngineRun, HookClockEventsAndRunState) {
  DseServerRegistry registry;
  SimProblemMgr problem(&registry);
  AnalysisManagers managers(problem, nullptr, nullptr);
  EstimationRunServices* run = managers.Estimation().RunServices();
  ASSERT_NE(run, nullptr);

  SimActionMgr::Instance()->SetHookPoint(12, 0);
  EXPECT_EQ(run->HookPoint(), 12);
  problem.SetStatusBits(run_bits::kRunFailed | run_bits::kStoppedByAction | run_bits::kReady);
  run->DropRunState(0x500);
  EXPECT_EQ(problem.StatusBits() & 0x500u, 0u);
  EXPECT_NE(problem.StatusBits() & run_bits::kReady, 0u);
  EXPECT_EQ(run->IntegratorStatus(), 0u);
  problem.SetCurrentTime(1.25);
  EXPECT_EQ(run->CurrentTime(), 1.25);

  // A measurement event is the schedule's head, with the list's tolerance
  // lowered to the event's.
  double time = 0.0, tolerance = 0.0;
  std::uint32_t flags = 0;
  problem.Events().Clear();
  EXPECT_FALSE(run->LastEvent(&time, &flags, &tolerance));
  ASSERT_FALSE(status::IsFailure(run->ScheduleEvent(kEstLastMeasurement, 2.0, 1e-5)));
  ASSERT_TRUE(run->LastEvent(&time, &flags, &tolerance));
  EXPECT_EQ(time, 2.0);
  EXPECT_EQ(flags, kEstLastMeasurement);
  EXPECT_NE(flags & kEstMeasurementEventFlag, 0u);
  EXPECT_EQ(tolerance, 1e-5);
  EXPECT_EQ(run->EventTolerance(), 1e-5);
  problem.Events().Clear();

  // Without a controller the progress message is simply let go.
  auto* progress = new DseMessage(87, 12);
  progress->PutUInt16(157);
  run->SendProgress(progress);

  // Without a results manager nothing is taken or restored.
  std::uint32_t number = 0;
  EXPECT_TRUE(status::IsFailure(run->TakeNamedSnapshot("Estimation Initial Spec", &number)));
  EXPECT_TRUE(status::IsFailure(run->RestoreSnapshot(3)));
  SimActionMgr::Instance()->SetHookPoint(0, 0);
}

TEST(EstimationEngineRun, RatesGoToTheDerivative) {
  DseServerRegistry registry;
  SimProblemMgr problem(&registry);
  AnalysisManagers managers(problem, nullptr, nullptr);
  EstimationRunServices* run = managers.Estimation().RunServices();
  DAESRealVariable x(nullptr, "x");
  x.MakeDerivative();
  AnalysisVariable* v = managers.Services().Adapter(&x);
  ASSERT_EQ(run->SetRate(v, -0.5), 0u);
  double rate = 0.0;
  ASSERT_EQ(x.GetDerivativeRealValue(&rate), 0u);
  EXPECT_EQ(rate, -0.5);
  // A manager's own variable has no model entry to write into.
  OptVariable own("own", 1.0, 0.0, 2.0);
  EXPECT_TRUE(status::IsFailure(run->SetRate(&own, 1.0)));
  EXPECT_TRUE(status::IsFailure(run->AssignValue(&own, 1.0, 24)));
}

}  // namespace
