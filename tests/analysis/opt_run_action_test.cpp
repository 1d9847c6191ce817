#include <gtest/gtest.h>

#include "analysis/optimisation/opt_manager.h"
#include "tests/analysis/opt_fakes.h"
#include "tests/analysis/opt_model.h"

namespace {

using namespace analysis_fakes;
using Record = OptDefinitionRecord;

class OptRunActionTest : public ::testing::Test {
 protected:
  OptRunActionTest() : manager(services, &run) {
    services.Add(1, "x", 0.0)->scale = 2.0;
    services.Add(2, "y", 0.0);
    services.Add(3, "u", 0.0);
    services.Add(5, "J", 4.0);
    services.Add(6, "c", 0.1);
    services.options[opt_options::kOptimizer] = 1;
    manager.SetRunFactory(&factory);
  }

  // Two elements on [0, 1, 2], a piecewise linear control, constraints at
  // (element 1, 0.0), (element 1, 0.5) and (element 2, 1.0).
  static Record Dynamic() {
    Record r;
    r.final_time = 2.0;
    r.n = 2;
    r.interior = {1.0};
    r.linear = 1;
    r.length_bounds = {{0.5, 1.5}, {0.5, 1.5}};
    r.decision = {{1, -1.0, 1.0, 0.5}};
    r.controls = {{3, 0.0, {1.0, 2.0, 3.0}, {{0, 9}, {0, 9}, {0, 9}}}};
    r.objectives = {5};
    r.constrained = {{6, {{2, 1.0, 3, 0.9}, {1, 0.5, 2, 0.3}, {1, 0.0, 1, 0.0}}}};
    return r;
  }

  static Record Steady() { return opt_model::Steady(); }

  void Define(const Record& r) {
    auto message = testsupport::ReceivedBody(r.Body().bytes, OptimisationMgr::kService);
    ASSERT_EQ(manager.HandleMessage(*message, nullptr), 0u);
  }

  std::int32_t At(std::int32_t hook, const SimExplicitEvent* event = nullptr,
                  Status* status = nullptr) {
    run.hook = hook;
    std::int32_t result = 0;
    const Status s = manager.Execute(&result, nullptr, event);
    if (status != nullptr) *status = s;
    return result;
  }

  std::int32_t EventAt(double time, std::uint32_t code) {
    run.now = time;
    SimExplicitEvent event{time, code, 1};
    return At(12, &event);
  }

  std::vector<std::string> TakeLog() {
    std::vector<std::string> log;
    log.swap(run.log);
    return log;
  }

  FakeServices services;
  FakeSensitivities sensitivities;
  FakeOptRun run;
  FakeRunFactory factory;
  OptimisationMgr manager;
};

TEST_F(OptRunActionTest, DynamicRunStopsAtConstraintsAndBoundaries) {
  Define(Dynamic());
  factory.answers = {0};
  const ControlRamp& ramp = *manager.Definition().ramps[0];

  At(5);
  EXPECT_EQ(TakeLog(), std::vector<std::string>{"Event 0x1040 0.5 0.05"});
  EXPECT_EQ(manager.GetCurrentElement(), 1);
  EXPECT_DOUBLE_EQ(services.Var(1)->value(), 1.0);
  EXPECT_DOUBLE_EQ(ramp.end_time, 1.0);
  EXPECT_DOUBLE_EQ(ramp.end_value, 2.0);
  // The constraint at 0.0 was collected before integrating.
  EXPECT_DOUBLE_EQ(manager.ResultValues()[1 + 2], 0.1);
  EXPECT_EQ(At(6), OptimisationMgr::kResultContinue);
  EXPECT_EQ(TakeLog(), std::vector<std::string>{"Snapshot Optimization Initial Spec"});

  services.Var(6)->SetValue(0.5);
  EventAt(0.5, kOptConstraintEvent);
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"Stop 1", "Event 0x440 1 0.05"}));
  EXPECT_EQ(manager.GetElementBoundaryPassed(), 1);

  // The controls switch at the boundary: the integrator restarts there,
  // after the switch, so that no step reaches back across it.
  EventAt(1.0, kOptBoundaryEvent);
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"Stop 2", "Event 0x1440 2 0.1", "Restart"}));
  EXPECT_EQ(manager.GetCurrentElement(), 2);
  EXPECT_DOUBLE_EQ(ramp.start_time, 1.0);
  EXPECT_DOUBLE_EQ(ramp.start_value, 2.0);
  EXPECT_DOUBLE_EQ(ramp.end_time, 2.0);
  EXPECT_DOUBLE_EQ(ramp.end_value, 3.0);

  services.Var(6)->SetValue(0.8);
  EXPECT_EQ(EventAt(2.0, kOptConstraintAtBoundaryEvent), OptimisationMgr::kResultRestart);
  EXPECT_EQ(TakeLog(), std::vector<std::string>{"SetRunValue -1"});
  EXPECT_EQ(manager.GetCurrentElement(), 0);
  EXPECT_FALSE(manager.PassInProgress());
  EXPECT_DOUBLE_EQ(ramp.end_time, 1.0);  // restarted
  ASSERT_EQ(factory.calls.size(), 1u);
  const FakeReducedRun::Call& call = factory.calls[0];
  EXPECT_EQ(call.code, opt_pass::kFirst);
  // J, then c per record: 0.9 - 0.8 (kind 3), 0.5 - 0.3 (kind 2), 0.1.
  ASSERT_EQ(call.values.size(), 4u);
  EXPECT_DOUBLE_EQ(call.values[0], 4.0);
  EXPECT_NEAR(call.values[1], 0.1, 1e-15);
  EXPECT_NEAR(call.values[2], 0.2, 1e-15);
  EXPECT_DOUBLE_EQ(call.values[3], 0.1);
  // Gradient rows of P = 4 entries (x, u[1..3]); kind 3 has the minus sign.
  ASSERT_EQ(call.gradients.size(), 16u);
  EXPECT_DOUBLE_EQ(call.gradients[0], 5.01);
  EXPECT_DOUBLE_EQ(call.gradients[3], 5.032);
  EXPECT_DOUBLE_EQ(call.gradients[4], -6.01);
  EXPECT_DOUBLE_EQ(call.gradients[12 + 2], 6.031);

  // The next evaluation restores the initial spec first.
  factory.answers = {1};
  At(5);
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"Restore 7", "Event 0x1040 0.5 0.05"}));
  EventAt(0.5, kOptConstraintEvent);
  EventAt(1.0, kOptBoundaryEvent);
  EXPECT_EQ(EventAt(2.0, kOptConstraintAtBoundaryEvent), OptimisationMgr::kResultRestart);
  EXPECT_TRUE(manager.ReplyPending());
  EXPECT_EQ(factory.calls.back().code, opt_pass::kPointEvaluated);
  // The run at the optimum ends the optimisation.
  At(5);
  EventAt(0.5, kOptConstraintEvent);
  EventAt(1.0, kOptBoundaryEvent);
  EXPECT_EQ(EventAt(2.0, kOptConstraintAtBoundaryEvent), OptimisationMgr::kResultFinished);
  EXPECT_EQ(factory.calls.size(), 2u);
  EXPECT_FALSE(manager.SnapshotTaken());
  EXPECT_EQ(At(5), OptimisationMgr::kResultFinished);
  EXPECT_FALSE(manager.OptimumReached());
}

// With moving lengths the rows are the switch times' (the fake gives row
// i the value 0.5 + i), then the time derivative's: piecewise constant, t1
// then the derivative (1.5); with ramps t1, T, then the derivative (2.5). A
// length collects the switches from its element's end on (a ramp's from
// the element's start), and the instant's own movement.
TEST_F(OptRunActionTest, LengthGradientsCollectLaterSwitchesAndTheInstant) {
  struct Case {
    std::uint8_t linear;
    std::vector<double> values;
    double expected[4][2];
  };
  // The records in order: (2, 1.0) kind 3, (1, 0.5) kind 2, (1, 0.0).
  for (const Case& c :
       {Case{0, {1.0, 2.0}, {{2.0, 1.5}, {-2.0, -1.5}, {0.75, 0.0}, {0.0, 0.0}}},
        Case{1, {1.0, 2.0, 3.0}, {{4.5, 4.0}, {-4.5, -4.0}, {1.75, 0.0}, {0.5, 0.0}}}}) {
    SCOPED_TRACE(static_cast<int>(c.linear));
    factory.calls.clear();
    Record r = Dynamic();
    r.moving = 1;
    r.individual = 1;
    r.linear = c.linear;
    r.controls = {
        {3, 0.0, c.values, std::vector<std::pair<double, double>>(c.values.size(), {0, 9})}};
    Define(r);
    factory.answers = {0};
    At(5);
    At(6);
    EventAt(0.5, kOptConstraintEvent);
    EventAt(1.0, kOptBoundaryEvent);
    EventAt(2.0, kOptConstraintAtBoundaryEvent);
    ASSERT_EQ(factory.calls.size(), 1u);
    const std::vector<double>& g = factory.calls[0].gradients;
    // P: x, the control values, L1, L2.
    const std::size_t p = 1 + c.values.size() + 2;
    ASSERT_EQ(g.size(), 4 * p);
    for (std::size_t row = 0; row < 4; ++row) {
      EXPECT_DOUBLE_EQ(g[row * p + p - 2], c.expected[row][0]) << row;
      EXPECT_DOUBLE_EQ(g[row * p + p - 1], c.expected[row][1]) << row;
    }
  }
}

TEST_F(OptRunActionTest, SingleElementSchedulesOneBoundary) {
  Record r = Dynamic();
  r.n = 1;
  r.interior.clear();
  r.length_bounds = {{0.5, 3.0}};
  r.controls = {{3, 0.0, {1.0, 2.0}, {{0, 9}, {0, 9}}}};
  r.constrained.clear();
  r.moving = 1;
  Define(r);
  factory.answers = {0};
  // Moving elements: no restart request before the run has started.
  EXPECT_EQ(At(5), 0);
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"Stop 2", "Event 0x440 2 0.2"}));
  EXPECT_EQ(EventAt(2.0, kOptBoundaryEvent), OptimisationMgr::kResultRestart);
  EXPECT_EQ(factory.calls.size(), 1u);
}

TEST_F(OptRunActionTest, MovedElementsMoveTheirConstraintsAndTheEnd) {
  Record r = Dynamic();
  r.moving = 1;
  r.individual = 1;
  r.constrained = {{6, {{1, 0.5, 2, 0.3}, {2, 0.5, 2, 0.3}}}};
  Define(r);
  OptDefinition& d = manager.Definition();
  d.lengths[0]->SetValue(0.6);
  d.lengths[1]->SetValue(0.8);
  d.RebuildTimesFromLengths();
  EXPECT_DOUBLE_EQ(d.final_time, 1.4);
  At(5);
  EXPECT_EQ(TakeLog(), std::vector<std::string>{"Event 0x1040 0.3 0.03"});
  EventAt(0.3, kOptConstraintEvent);
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"Stop 0.6", "Event 0x440 0.6 0.03"}));
  EventAt(0.6, kOptBoundaryEvent);
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"Event 0x1040 1 0.04", "Restart"}));
  EventAt(1.0, kOptConstraintEvent);
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"Stop 1.4", "Event 0x440 1.4 0.04"}));
}

TEST_F(OptRunActionTest, EventToleranceAsLargeAsAnElementRefusesTheRun) {
  Define(Dynamic());
  run.event_tolerance = 1.0;
  Status s = 0;
  EXPECT_EQ(At(5, nullptr, &s), OptimisationMgr::kResultStop);
  EXPECT_EQ(s, opt_status::kFailure);
  ASSERT_FALSE(services.printed.empty());
  EXPECT_EQ(services.printed.back().first, opt_status::kFailure);
  EXPECT_NE(services.printed.back().second.find("size of element 1 (  1.000000e+00)"),
            std::string::npos);
  EXPECT_TRUE(run.log.empty());
}

TEST_F(OptRunActionTest, SteadyStateSequence) {
  Define(Steady());
  factory.answers = {0, 1};
  At(5);
  EXPECT_DOUBLE_EQ(services.Var(1)->value(), 2.0);  // 1.0 x scale 2
  EXPECT_DOUBLE_EQ(services.Var(2)->value(), 2.0);
  EXPECT_EQ(At(6), OptimisationMgr::kResultRestart);
  ASSERT_EQ(factory.calls.size(), 1u);
  EXPECT_EQ(factory.calls[0].code, opt_pass::kFirst);
  EXPECT_NEAR(factory.calls[0].values[1], -0.9, 1e-15);
  ASSERT_EQ(run.sent.size(), 1u);
  At(5);
  EXPECT_EQ(At(6), OptimisationMgr::kResultRestart);
  EXPECT_TRUE(manager.ReplyPending());
  At(5);
  EXPECT_EQ(At(6), OptimisationMgr::kResultRestart);
  EXPECT_TRUE(manager.OptimumReached());
  EXPECT_EQ(sensitivities.log.back(), "Disable");
  EXPECT_EQ(At(5), OptimisationMgr::kResultFinished);
  EXPECT_FALSE(manager.OptimumReached());
  EXPECT_EQ(factory.calls.size(), 2u);
}

TEST_F(OptRunActionTest, DriverOutcomesMapToActionResults) {
  Define(Steady());
  factory.reply = false;
  factory.answers = {0, 2, -1};
  At(5);
  EXPECT_EQ(At(6), OptimisationMgr::kResultRestart);  // 0: another point
  At(5);
  EXPECT_EQ(At(6), OptimisationMgr::kResultRestart);  // >= 1 without reply: finished
  EXPECT_TRUE(manager.OptimumReached());
  EXPECT_EQ(At(5), OptimisationMgr::kResultFinished);
  factory.answers = {0, -1};
  At(5);
  EXPECT_EQ(At(6), OptimisationMgr::kResultRestart);
  At(5);
  EXPECT_EQ(At(6), OptimisationMgr::kResultStop);  // < 0: failed
  EXPECT_EQ(manager.PassCount(), 0);
}

TEST_F(OptRunActionTest, FullSpaceModePassesGoToTheFullSpaceRun) {
  services.options[opt_options::kOptimizer] = 4;
  Define(Steady());
  factory.full_answers = {opt_status::kRunAgain, 0};
  At(5);
  EXPECT_EQ(At(6), OptimisationMgr::kResultRestart);
  EXPECT_EQ(factory.full_made, 1);
  EXPECT_EQ(factory.reduced_made, 0);
  At(5);
  // The NLP leaves its solution in the model; the reply takes it from there.
  services.Var(1)->SetValue(3.0);
  services.Var(6)->SetValue(4.0);
  EXPECT_EQ(At(6), OptimisationMgr::kResultRestart);
  EXPECT_TRUE(manager.OptimumReached());
  EXPECT_DOUBLE_EQ(manager.Definition().decision[0].variable->value(), 6.0);
  EXPECT_DOUBLE_EQ(manager.ResultValues()[1], 3.0);
  double upper = 0.0, lower = 0.0;
  EXPECT_EQ(manager.GetMultipliers(services.Var(1), &upper, &lower), 0u);
  EXPECT_DOUBLE_EQ(upper, 4.0);
}

TEST_F(OptRunActionTest, UnlistedPassStatusesStopWithTheStatusPrinted) {
  services.options[opt_options::kOptimizer] = 4;
  Define(Steady());
  factory.full_answers = {0x80270326u};
  At(5);
  EXPECT_EQ(At(6), OptimisationMgr::kResultStop);
  ASSERT_FALSE(services.printed.empty());
  EXPECT_EQ(services.printed.back().second, "Optimization stopped with status 0x80270326");
  EXPECT_EQ(sensitivities.log.back(), "Disable");
}

TEST_F(OptRunActionTest, FailedStepPaths) {
  Define(Dynamic());
  At(5);
  run.integrator_status = 0xA0270001u;
  TakeLog();
  EXPECT_EQ(At(3), OptimisationMgr::kResultStop);
  EXPECT_EQ(TakeLog(), std::vector<std::string>{"ClearRunFlags 0x500"});
  ASSERT_GE(services.printed.size(), 1u);
  EXPECT_EQ(services.printed.back().second.rfind(
                "Optimization cannot proceed due to an unrecoverable error during the dynamic "
                "simulation.",
                0),
            0u);
  EXPECT_TRUE(factory.calls.empty());

  // A recoverable failure is a failed point; at the first pass it ends.
  run.integrator_status = 0x80270001u;
  EXPECT_EQ(At(3), OptimisationMgr::kResultStop);
  EXPECT_EQ(services.printed.back().second,
            "The initial point is infeasible. Optimization cannot proceed");
  EXPECT_EQ(manager.GetCurrentElement(), 0);
  EXPECT_FALSE(manager.PassInProgress());

  Define(Steady());
  run.integrator_status = 0xA0000000u;
  EXPECT_EQ(At(3), OptimisationMgr::kResultStop);
  EXPECT_NE(services.printed.back().second.find("steady state simulation"), std::string::npos);
}

// A definition sent in the middle of a run has other counts than the one
// the run collected its values for: the pass after it is not handed
// arrays sized for the old one, it stops.
TEST_F(OptRunActionTest, ADefinitionSentDuringTheRunStopsIt) {
  Define(Steady());
  factory.answers = {0, 0};
  At(5);
  EXPECT_EQ(At(6), OptimisationMgr::kResultRestart);
  ASSERT_EQ(factory.calls.size(), 1u);
  Define(Dynamic());
  run.integrator_status = 0x80270001u;
  EXPECT_EQ(At(3), OptimisationMgr::kResultStop);
  EXPECT_EQ(factory.calls.size(), 1u);
  ASSERT_FALSE(services.printed.empty());
  EXPECT_EQ(services.printed.back().second,
            "Optimization cannot proceed: the optimization changed during its run.");
  // The next run sets itself up for the new definition.
  run.integrator_status = 0;
  At(5);
  EXPECT_EQ(manager.ResultValues().size(),
            static_cast<std::size_t>(manager.Definition().K() + manager.Definition().R()));
}

TEST_F(OptRunActionTest, UnexpectedHookPointsAreRefused) {
  for (std::int32_t hook : {0, 2, 4, 13}) {
    Status s = 0;
    EXPECT_EQ(At(hook, nullptr, &s), OptimisationMgr::kResultStop);
    EXPECT_EQ(s, opt_status::kBadHookPoint);
  }
  SimExplicitEvent constraint{0.5, kOptConstraintEvent, 1};
  EXPECT_EQ(At(11, &constraint), OptimisationMgr::kResultContinue);
  SimExplicitEvent boundary{1.0, kOptBoundaryEvent, 1};
  EXPECT_EQ(At(11, &boundary), 0);
}

TEST_F(OptRunActionTest, NothingToOptimiseIsReported) {
  Record r = Steady();
  r.objectives.clear();
  Define(r);
  At(5);
  EXPECT_EQ(At(6), OptimisationMgr::kResultStop);
  EXPECT_EQ(services.printed.back().second.rfind("Warning: You have requested", 0), 0u);
}

}  // namespace
