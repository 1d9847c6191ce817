// A ramp monitor over a real run: the first-order lag dx/dt = k (u - x)
// with u ramped from 2 to 5 over [0, 1] at every communication point.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "control/actions/monitor.h"
#include "control/problem/problem_manager.h"
#include "control/problem/run_steps.h"
#include "daes/problem/problem.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "framework/libraries/library_api.h"
#include "solve/options/solver_option_table.h"
#include "tests/control/action_test_support.h"
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

class RampRunTest : public reallag::RealLagRun {};

// The monitors' view of the run: the run's clock and events, the lag's
// variables by name.
class LagServices : public SimMonitorServices {
 public:
  explicit LagServices(SimProblemMgr& manager) : manager_(manager) {}
  double CurrentTime() override { return manager_.CurrentTime(); }
  double EventTolerance() override { return manager_.EventTolerance(); }
  double LowerTimeBound() override { return 0.0; }
  Status ScheduleEvent(std::uint32_t kind, double time, std::uint64_t* handle) override {
    return manager_.Events().Add(kind, time, -1.0, handle);
  }
  DAESVarTableEntry* FindById(const BvuIdPath&, std::int32_t*) override { return nullptr; }
  DAESVarTableEntry* FindByName(const char* name, std::int32_t* kind) override {
    DAESProblem* problem = GetCurrentProblem();
    for (std::int32_t i = 0; problem != nullptr && i < problem->VariableCount(); ++i) {
      DAESVarTableEntry* v = problem->GetVariable(i);
      if (std::string(name) == v->GetNameText()) {
        *kind = v->EntryKind();
        return v;
      }
    }
    return nullptr;
  }
  Status SetValue(DAESVarTableEntry* entry, const SUValue& value, std::uint32_t) override {
    return entry->SetValue(value.payload.real);
  }
  void RegisterRamped(DAESVarTableEntry*, VariableDriver*) override {}
  void UnregisterRamped(DAESVarTableEntry*) override {}
  // No implicit-event schedule to watch.
  Status RegisterImplicitEvent(QLNImplicitEvent*) override { return monitor_status::kFailed; }
  Status UnregisterImplicitEvent(QLNImplicitEvent*) override { return monitor_status::kFailed; }

 private:
  SimProblemMgr& manager_;
};

TEST_F(RampRunTest, ALinearRampHoldsUAtItsProfileOverEachInterval) {
  SetRunMode(kRunDynamic);
  SolverOptionTable::Instance()->SetInteger(30, 4);
  SolverOptionTable::Instance()->ApplyPendingChanges();
  ASSERT_EQ(steps.PrepareSimulation(0, 0), 0u) << testing::PrintToString(sink.lines());
  DAESVarTableEntry* x = Named("FirstOrder.x");
  DAESVarTableEntry* u = Named("FirstOrder.u");
  ASSERT_TRUE(x != nullptr && u != nullptr);
  x->SetSpec(daes::kSpecStateInitial);
  x->SetValue(2.0);
  EXPECT_EQ(manager.Integrator()->BeginRun(), 618u);

  LagServices services(manager);
  SetMonitorServices(&services);
  SimMonitorMgr factory;
  manager.Actions()->RegisterFactory(&factory);
  testsupport::RecordingSender sender;
  DseMessage body(67, DseMessage::kRequest);
  body.PutString("Ramp");
  body.PutUInt16(SimMonitor::kRamp);
  for (std::uint32_t word : {1u, 12u, 0u, 0u}) body.PutUInt32(word);
  body.PutUInt8(0);
  body.PutUInt8(0);
  body.PutUInt8(1);
  body.PutString("FirstOrder.u");
  body.PutUInt32(SimRampMonitor::kRealType);
  for (double v : {1.0, 1.0, 5.0, 0.0, 0.0}) body.PutDouble(v);
  body.PutUInt8(1);
  body.PutUInt8(1);
  ASSERT_EQ(testsupport::CreateThrough(manager.Actions(), "Monitor", testsupport::BodyOf(body)),
            1u);

  manager.Events().Add(128, 0.0, -1.0, nullptr);
  ASSERT_EQ(steps.RunStep(), 0u) << testing::PrintToString(sink.lines());
  manager.Events().DeleteFirst();
  double expected = 2.0;
  for (int k = 1; k <= 10; ++k) {
    const double held = u->GetRealValue();
    const double t = 0.1 * k;
    manager.Events().Add(65, t, -1.0, nullptr);
    ASSERT_EQ(steps.RunStep(), run_step::kTargetReached)
        << t << testing::PrintToString(sink.lines());
    expected = held + (expected - held) * std::exp(-0.1);
    // The pass criterion of the lag: relative 1e-4.
    EXPECT_NEAR(x->GetRealValue(), expected, 1e-4 * expected) << t;
    // The monitor's hook point after the step sets u for the next interval.
    manager.Actions()->SetHookPoint(12, 13);
    std::int32_t request = 0;
    const Status passed = manager.Actions()->Dispatch(&request);
    if (k < 10) {
      EXPECT_EQ(passed, 0u) << t;
      EXPECT_NEAR(u->GetRealValue(), 2.0 + 3.0 * t, 1e-12) << t;
    } else {
      // The end event: the target, and the client is told.
      EXPECT_EQ(passed, kCallAgain);
      EXPECT_EQ(u->GetRealValue(), 5.0);
    }
    manager.Events().DeleteFirst();
  }
  EXPECT_EQ(manager.Integrator()->EndRun(), 0u);
  manager.Actions()->ClearAll(false);
  SetMonitorServices(nullptr);
}

}  // namespace

#endif
