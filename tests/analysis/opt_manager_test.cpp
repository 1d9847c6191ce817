#include "analysis/optimisation/opt_manager.h"

#include <gtest/gtest.h>

#include "analysis/sensitivity/sensitivity_mgr.h"
#include "solve/methods/open_solvers.h"
#include "tests/analysis/opt_fakes.h"
#include "tests/analysis/opt_model.h"

namespace {

using namespace analysis_fakes;
using Record = OptDefinitionRecord;

class OptManagerTest : public ::testing::Test {
 protected:
  OptManagerTest() : manager(services, &run) {
    opt_model::AddVariables(services);
    services.options[analysis_options::kSyncSteps] = 2;
    services.options[opt_options::kOptimizer] = 1;
    manager.SetRunFactory(&factory);
  }

  static Record Dynamic() { return opt_model::Dynamic(); }

  static Record Steady() { return opt_model::Steady(); }

  Status Serve(const BodyWriter& body, DseMessage** reply = nullptr) {
    auto message = testsupport::ReceivedBody(body.bytes, OptimisationMgr::kService);
    DseMessage* made = nullptr;
    const Status s =
        manager.HandleRequest(OptimisationMgr::kService, message.get(), &made, nullptr);
    if (reply != nullptr) {
      *reply = made;
    } else {
      delete made;
    }
    return s;
  }

  std::vector<std::uint8_t> Results() {
    DseMessage* reply = nullptr;
    EXPECT_EQ(Serve(BodyWriter().U16(OptimisationMgr::kResults), &reply), 0u);
    EXPECT_NE(reply, nullptr);
    std::unique_ptr<DseMessage> owned(reply);
    return reply != nullptr ? BodyBytes(*reply) : std::vector<std::uint8_t>{};
  }

  FakeServices services;
  FakeSensitivities sensitivities;
  FakeOptRun run;
  FakeRunFactory factory;
  OptimisationMgr manager;
};

TEST_F(OptManagerTest, PublishesItselfAndRegistersItsAction) {
  EXPECT_EQ(GetOptimisationManager(), &manager);
  EXPECT_EQ(services.factories, std::vector<std::string>{"OptimisationAction"});
  EXPECT_EQ(manager.hook_modes[3], 1u);
  EXPECT_EQ(manager.hook_modes[4], kNotHooked);
  EXPECT_EQ(manager.hook_modes[12], 1u);
  EXPECT_EQ(manager.hook_modes[2], kNotHooked);
}

TEST_F(OptManagerTest, ResultsReplyBeforeAnySetUp) {
  const BodyWriter expected = BodyWriter().U16(90).U32(0).U32(0).F64(0.0).U32(0).U32(0).U16(65535);
  const std::vector<std::uint8_t> bytes = Results();
  EXPECT_EQ(bytes, expected.bytes);
  ASSERT_EQ(bytes.size(), 28u);
  EXPECT_EQ(bytes[2], 0);   // A
  EXPECT_EQ(bytes[18], 0);  // F
  EXPECT_EQ(bytes[22], 0);  // multipliers flag
  EXPECT_EQ(bytes[26], 0xFF);
  EXPECT_EQ(bytes[27], 0xFF);
}

TEST_F(OptManagerTest, ResultsReplyAfterADynamicOptimum) {
  ASSERT_EQ(Serve(Dynamic().Body()), 0u);
  manager.SetUpEvaluation(false);
  std::vector<double>& m = manager.Multipliers();
  ASSERT_EQ(m.size(), 2u * 10 + 3);
  for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<double>(i) + 0.5;
  manager.ResultValues() = {1.5, 0.1, 0.2, 0.3};
  manager.SetResult(true, 12, 1.5);

  BodyWriter w;
  w.U16(90).U32(1).U32(12).F64(1.5);
  w.F64(2.0).U32(2).U32(2);
  const double lengths[] = {0.8, 1.2};
  for (int k = 0; k < 2; ++k) {
    const int e = 8 + k;  // list position: y, x, six control elements, lengths
    w.U32(1).F64(lengths[k]).F64(m[2 * e + 1]).F64(m[2 * e]);
  }
  w.U32(2).U32(1);
  w.Str("u");
  for (int v = 0; v < 3; ++v) w.F64((v + 1) * 2.0).F64(m[2 * (2 + v) + 1]).F64(m[2 * (2 + v)]);
  w.Str("v");
  for (int v = 0; v < 3; ++v) w.F64(4.0 + v).F64(m[2 * (5 + v) + 1]).F64(m[2 * (5 + v)]);
  w.U32(1);
  w.U32(1).Str("y").F64(m[1]).F64(m[0]);
  w.U32(1).Str("x").F64(m[3]).F64(m[2]).F64(1.0);
  w.F64(0.4).F64(0.7).F64(0.3);  // bound + c, bound - c, c
  w.U32(1).F64(m[20]).F64(m[21]).F64(m[22]);
  w.U16(65535);
  EXPECT_EQ(Results(), w.bytes);
}

TEST_F(OptManagerTest, ResultsReplyForASteadyStateOptimum) {
  ASSERT_EQ(Serve(Steady().Body()), 0u);
  manager.SetUpEvaluation(true);
  manager.Multipliers() = {0.0, 2.5, 1.0, 0.0, 0.7};
  manager.ResultValues() = {2.0, 0.5};
  manager.SetResult(true, 3, 2.0);
  BodyWriter w;
  w.U16(90).U32(1).U32(3).F64(2.0);
  w.F64(0.0).U32(0).U32(0).U32(0);
  w.U32(1).U32(0).U32(2);
  w.Str("x").F64(2.5).F64(0.0).F64(2.0);
  w.Str("y").F64(0.0).F64(1.0).F64(2.0);
  w.F64(1.5).U32(1).F64(0.7).U16(65535);
  EXPECT_EQ(Results(), w.bytes);
  // Before the optimum the multipliers flag already follows the array.
  manager.SetResult(false, 0, 0.0);
  const BodyWriter early =
      BodyWriter().U16(90).U32(0).U32(3).F64(2.0).U32(0).U32(1).F64(0.7).U16(65535);
  EXPECT_EQ(Results(), early.bytes);
}

TEST_F(OptManagerTest, ElementQueriesFollowTheCurrentElement) {
  Record r;
  r.final_time = 4.0;
  r.n = 3;
  r.interior = {1.0, 2.5};
  r.length_bounds = {{0, 9}, {0, 9}, {0, 9}};
  r.controls = {{3, 0.0, {10, 20, 30}, {{0, 99}, {0, 99}, {0, 99}}}};
  r.objectives = {5};
  ASSERT_EQ(Serve(r.Body()), 0u);
  EXPECT_EQ(manager.GetNumElements(), 3);
  EXPECT_EQ(manager.GetNumControls(), 1);
  EXPECT_EQ(manager.GetNumControlValues(), 3);
  std::int32_t result = 0;
  run.hook = 5;
  ASSERT_EQ(manager.Execute(&result, nullptr, nullptr), 0u);
  struct Expect {
    double start, end, next, length, u0, u1;
  };
  const Expect expected[] = {
      {0.0, 1.0, 2.5, 1.0, 20, 40}, {1.0, 2.5, 4.0, 1.5, 40, 60}, {2.5, 4.0, 4.0, 1.5, 60, 60}};
  for (int k = 1; k <= 3; ++k) {
    SCOPED_TRACE(k);
    const Expect& e = expected[k - 1];
    EXPECT_EQ(manager.GetCurrentElement(), k);
    EXPECT_DOUBLE_EQ(manager.GetElementStartTime(), e.start);
    EXPECT_DOUBLE_EQ(manager.GetElementEndTime(), e.end);
    EXPECT_DOUBLE_EQ(manager.GetNextElementEndTime(), e.next);
    EXPECT_DOUBLE_EQ(manager.GetCurrentElementLength(), e.length);
    double u0 = 0.0, u1 = 0.0;
    ASSERT_EQ(manager.GetControlValues(services.Var(3), &u0, &u1), 0u);
    EXPECT_DOUBLE_EQ(u0, e.u0);
    EXPECT_DOUBLE_EQ(u1, e.u1);
    if (k < 3) {
      run.hook = 12;
      SimExplicitEvent boundary{e.end, kOptBoundaryEvent, 1};
      ASSERT_EQ(manager.Execute(&result, nullptr, &boundary), 0u);
    }
  }
  double a = -1.0, b = -1.0;
  EXPECT_EQ(manager.GetControlValues(services.Var(4), &a, &b), opt_status::kNotAControl);
  EXPECT_DOUBLE_EQ(a, -1.0);

  ASSERT_EQ(Serve(Steady().Body()), 0u);
  EXPECT_DOUBLE_EQ(manager.GetElementStartTime(), 0.0);
  EXPECT_DOUBLE_EQ(manager.GetElementEndTime(), 0.0);
  EXPECT_DOUBLE_EQ(manager.GetNextElementEndTime(), 0.0);
  EXPECT_DOUBLE_EQ(manager.GetCurrentElementLength(), 0.0);
}

TEST_F(OptManagerTest, StartAndCancelBalanceWhatTheyChange) {
  ASSERT_EQ(Serve(BodyWriter().U16(60).U8(1)), 0u);
  EXPECT_TRUE(manager.Started());
  EXPECT_EQ(run.hold, 1);
  EXPECT_EQ(services.options[analysis_options::kSyncSteps], 1);
  EXPECT_EQ(manager.SavedSyncSteps(), 2);
  EXPECT_NE(services.results_flags & 0x4u, 0u);
  EXPECT_EQ(run.pending_clears, 1);
  EXPECT_EQ(run.refreshes, 1);
  EXPECT_EQ(services.communication_times, std::vector<double>{0.0});

  // A second start restarts: the hold count still balances.
  ASSERT_EQ(Serve(BodyWriter().U16(60).U8(1)), 0u);
  EXPECT_EQ(run.hold, 1);
  EXPECT_EQ(services.actions_alive, 1);

  ASSERT_EQ(Serve(BodyWriter().U16(60).U8(0)), 0u);
  EXPECT_FALSE(manager.Started());
  EXPECT_EQ(run.hold, 0);
  EXPECT_EQ(services.options[analysis_options::kSyncSteps], 2);
  EXPECT_EQ(services.results_flags & 0x4u, 0u);
  ASSERT_FALSE(run.pending.empty());
  const std::size_t writes = services.option_writes.size();
  ASSERT_EQ(Serve(BodyWriter().U16(60).U8(0)), 0u);
  EXPECT_EQ(services.option_writes.size(), writes);
  EXPECT_EQ(run.hold, 0);
  EXPECT_EQ(services.actions_alive, 0);

  // A failed manager refuses to start and stays cancelled.
  ASSERT_EQ(Serve(BodyWriter().U16(60).U8(1)), 0u);
  manager.SetStatus(0x80270001u);
  EXPECT_EQ(Serve(BodyWriter().U16(60).U8(1)), opt_status::kStartRefused);
  EXPECT_FALSE(manager.Started());
  EXPECT_EQ(run.hold, 0);
}

TEST_F(OptManagerTest, CancelWritesTheRunSettingsTakenAtTheFirstEvaluation) {
  ASSERT_EQ(Serve(BodyWriter().U16(60).U8(1)), 0u);
  ASSERT_EQ(Serve(Dynamic().Body()), 0u);
  std::int32_t result = 0;
  run.hook = 6;
  ASSERT_EQ(manager.Execute(&result, nullptr, nullptr), 0u);
  EXPECT_EQ(result, OptimisationMgr::kResultContinue);
  EXPECT_TRUE(manager.SnapshotTaken());
  EXPECT_EQ(manager.SnapshotId(), 7);
  ASSERT_EQ(Serve(BodyWriter().U16(60).U8(0)), 0u);
  ASSERT_EQ(run.pending.size(), 1u);
  EXPECT_EQ(run.pending[0].value, run.settings.value);
  EXPECT_EQ(run.pending[0].flags, run.settings.flags);
}

TEST_F(OptManagerTest, ModeRule) {
  const std::int32_t expected[] = {1, 0, 1, 2, 0, 1, 2, 1, 1, 1};
  for (std::int32_t option = 1; option <= 10; ++option) {
    EXPECT_EQ(OptimisationMgr::ModeFor(option, false), expected[option - 1]) << option;
    EXPECT_EQ(OptimisationMgr::ModeFor(option, true), expected[option - 1] == 0 ? 0 : 1);
  }
}

TEST_F(OptManagerTest, SwitchingModeDeletesRunObjectsOnlyOnAChange) {
  services.options[opt_options::kOptimizer] = 4;
  ASSERT_EQ(Serve(Steady().Body()), 0u);
  EXPECT_EQ(manager.SolverMode(), 2);
  ASSERT_EQ(Serve(BodyWriter().U16(79)), 0u);
  EXPECT_EQ(manager.SolverMode(), 1);
  manager.SetUpEvaluation(false);
  ASSERT_NE(manager.ReducedRun(), nullptr);
  ASSERT_EQ(Serve(BodyWriter().U16(79)), 0u);
  EXPECT_NE(manager.ReducedRun(), nullptr);
  ASSERT_EQ(Serve(BodyWriter().U16(78)), 0u);
  EXPECT_EQ(manager.SolverMode(), 2);
  services.options[opt_options::kOptimizer] = 1;
  ASSERT_EQ(Serve(BodyWriter().U16(78)), 0u);
  EXPECT_NE(manager.ReducedRun(), nullptr);
  ASSERT_EQ(Serve(BodyWriter().U16(79)), 0u);
  EXPECT_EQ(manager.ReducedRun(), nullptr);
  // Optimizer 2 and 5 run in reduced space.
  services.options[opt_options::kOptimizer] = 5;
  ASSERT_EQ(Serve(BodyWriter().U16(78)), 0u);
  EXPECT_EQ(manager.SolverMode(), 1);
}

TEST_F(OptManagerTest, MultipliersComeUpperThenLower) {
  ASSERT_EQ(Serve(Steady().Body()), 0u);
  double upper = -1.0, lower = -1.0;
  EXPECT_EQ(manager.GetMultipliers(services.Var(1), &upper, &lower), opt_status::kNoValue);
  manager.SetUpEvaluation(true);
  // x sits on its lower bound: only its lower multiplier is non-zero.
  manager.Multipliers() = {0.0, 2.5, 1.0, 0.0, 0.7};
  ASSERT_EQ(manager.GetMultipliers(services.Var(1), &upper, &lower), 0u);
  EXPECT_DOUBLE_EQ(upper, 0.0);
  EXPECT_DOUBLE_EQ(lower, 2.5);
  ASSERT_EQ(manager.GetMultipliers(manager.Definition().list[1], &upper, &lower), 0u);
  EXPECT_DOUBLE_EQ(upper, 1.0);
  EXPECT_DOUBLE_EQ(lower, 0.0);
  upper = lower = -1.0;
  EXPECT_EQ(manager.GetMultipliers(services.Var(5), &upper, &lower), opt_status::kNoValue);
  EXPECT_DOUBLE_EQ(upper, -1.0);
}

// The results layer's real attributes 8 and 9 of a model variable: its
// lower, then its upper multiplier.
TEST_F(OptManagerTest, ModelEntriesAnswerTheirMultipliers) {
  class EntryVariable : public FakeVariable {
   public:
    using FakeVariable::FakeVariable;
    DAESVarTableEntry* ModelEntry() override { return reinterpret_cast<DAESVarTableEntry*>(this); }
  };
  services.variables[1] = std::make_unique<EntryVariable>(1, "x", 0.0);
  ASSERT_EQ(Serve(Steady().Body()), 0u);
  manager.SetUpEvaluation(true);
  manager.Multipliers() = {0.5, 2.5, 1.0, 0.0, 0.7};
  ASSERT_EQ(daes::OptimisationServices(), &manager);
  double first = 0.0, second = 0.0;
  auto* entry = services.Var(1)->ModelEntry();
  ASSERT_EQ(daes::OptimisationServices()->GetVariableReals(entry, &first, &second), 0u);
  EXPECT_DOUBLE_EQ(first, 2.5);
  EXPECT_DOUBLE_EQ(second, 0.5);
  EXPECT_EQ(manager.GetVariableReals(nullptr, &first, &second), opt_status::kNoValue);
}

TEST_F(OptManagerTest, ClearAndRedefinitionFreeEverything) {
  ASSERT_EQ(Serve(Dynamic().Body()), 0u);
  manager.SetUpEvaluation(false);
  manager.SetResult(true, 2, 1.0);
  ASSERT_EQ(Serve(Dynamic().Body()), 0u);
  EXPECT_FALSE(manager.ResultAvailable());
  EXPECT_TRUE(manager.Multipliers().empty());
  EXPECT_EQ(manager.ReducedRun(), nullptr);
  // Even a definition cut short drops the run objects that pointed into the
  // old one.
  manager.SetUpEvaluation(false);
  ASSERT_NE(manager.ReducedRun(), nullptr);
  EXPECT_TRUE(status::IsFailure(Serve(BodyWriter().U16(76))));
  EXPECT_EQ(manager.ReducedRun(), nullptr);
  ASSERT_EQ(Serve(Dynamic().Body()), 0u);
  ASSERT_EQ(Serve(BodyWriter().U16(77)), 0u);
  EXPECT_EQ(manager.Definition().P(), 0);
  EXPECT_EQ(services.any_drivers[services.Var(3)], nullptr);
  // A refused definition leaves nothing behind either.
  Record bad = Dynamic();
  bad.final_time = 0.0;
  EXPECT_EQ(Serve(bad.Body()), opt_status::kFailure);
  EXPECT_EQ(manager.Definition().P(), 0);
  // Ignored and unknown kinds answer the read status.
  EXPECT_EQ(Serve(BodyWriter().U16(61)), 0u);
  EXPECT_EQ(Serve(BodyWriter().U16(85)), 0u);
  EXPECT_EQ(Serve(BodyWriter().U16(12)), 0u);
}

TEST_F(OptManagerTest, OpenNLPSolverSelectionAndOptions) {
  FakeNLPSolver nlp;
  nlp.name = "ipopt";
  EstNLPOption option;
  option.name = "tol";
  option.description = "";
  option.tag = EstNLPOption::kReal;
  option.real[0] = 1e-8;
  nlp.options = {option};
  services.nlp = &nlp;
  DseMessage reply(OptimisationMgr::kService, DseMessage::kRequest);
  EXPECT_EQ(manager.SelectOpenNLPSolver("ipopt", 1, &reply), 0u);
  BodyWriter w;
  w.U32(1).Str("tol").Str("").U16(24).F64(1e-8).F64(0.0).F64(0.0);
  EXPECT_EQ(BodyBytes(reply), w.bytes);
  EXPECT_EQ(manager.OpenNLPRunType(), kRunOptimisation);

  auto set = testsupport::ReceivedBody(BodyWriter().U16(24).F64(0.5).bytes, 60);
  EXPECT_EQ(manager.SetOpenNLPSolverOption("ipopt", "tol", set.get(), nullptr), 0u);
  EXPECT_EQ(nlp.set_calls, std::vector<std::string>{"tol:1:0.500000"});
  nlp.refuse = true;
  auto refused = testsupport::ReceivedBody(BodyWriter().U16(4).U32(3).bytes, 60);
  EXPECT_EQ(manager.SetOpenNLPSolverOption("ipopt", "tol", refused.get(), nullptr),
            opt_status::kFailure);

  EXPECT_EQ(manager.DetachProblem("f", "NULL"), 0u);
  EXPECT_EQ(manager.OpenNLPSolver(), nullptr);
  EXPECT_EQ(services.open_messages.back(), "Open NLP Optimization Solver ipopt unloaded\n");
  services.nlp = nullptr;
  EXPECT_EQ(manager.SelectOpenNLPSolver("missing", 0, nullptr), opt_status::kFailure);
  EXPECT_EQ(manager.GetStatus(), opt_status::kFailure);
  DseMessage empty(OptimisationMgr::kService, DseMessage::kRequest);
  EXPECT_EQ(manager.SelectOpenNLPSolver("", 1, &empty), 0u);
  EXPECT_EQ(BodyBytes(empty), BodyWriter().Str("").U32(0).bytes);
}

// The sensitivity calculator's control intervals come from the published
// manager.
TEST(OptManagerSensitivities, ControlIntervalsFollowTheCurrentElement) {
  FakeServices services;
  services.Add(3, "u", 0.0)->scale = 2.0;
  services.Add(5, "J", 0.0);
  SensitivityMgr sensitivities(services);
  EXPECT_EQ(sensitivities.CurrentInterval(), 1);
  FakeOptRun run;
  OptimisationMgr manager(services, &run);
  Record r;
  r.final_time = 3.0;
  r.n = 2;
  r.interior = {1.0};
  r.linear = 1;
  r.length_bounds = {{0, 9}, {0, 9}};
  r.controls = {{3, 0.0, {1.0, 2.0, 4.0}, {{0, 9}, {0, 9}, {0, 9}}}};
  r.objectives = {5};
  auto message = testsupport::ReceivedBody(r.Body().bytes, OptimisationMgr::kService);
  ASSERT_EQ(manager.HandleMessage(*message, nullptr), 0u);
  ASSERT_EQ(sensitivities.GetNumParameters(), 1);
  EXPECT_EQ(sensitivities.InterpolationKind(), 1);
  std::int32_t result = 0;
  run.hook = 5;
  ASSERT_EQ(manager.Execute(&result, nullptr, nullptr), 0u);
  run.hook = 12;
  SimExplicitEvent boundary{1.0, kOptBoundaryEvent, 1};
  ASSERT_EQ(manager.Execute(&result, nullptr, &boundary), 0u);
  EXPECT_EQ(sensitivities.CurrentInterval(), 2);
  double t0 = 0.0, t1 = 0.0;
  sensitivities.IntervalTimes(&t0, &t1);
  EXPECT_DOUBLE_EQ(t0, 1.0);
  EXPECT_DOUBLE_EQ(t1, 3.0);
  double a = 0.0, b = 0.0;
  sensitivities.ControlValues(0, &a, &b);
  EXPECT_DOUBLE_EQ(a, 4.0);
  EXPECT_DOUBLE_EQ(b, 8.0);
  // Clearing lets go of those lists: not while the run thread writes into
  // them.
  auto clear = [&] {
    auto request = testsupport::ReceivedBody(BodyWriter().U16(OptimisationMgr::kClear).bytes,
                                             OptimisationMgr::kService);
    return manager.HandleMessage(*request, nullptr);
  };
  services.step_computing = true;
  EXPECT_EQ(clear(), sens_status::kBusy);
  EXPECT_EQ(sensitivities.GetNumParameters(), 1);
  services.step_computing = false;
  EXPECT_EQ(clear(), 0u);
  EXPECT_EQ(sensitivities.GetNumParameters(), 0);
}

// A stop or a restart clears the definition the run thread reads while a
// step computes: neither is taken until the step has ended.
TEST_F(OptManagerTest, StartStopWaitsForTheStepThatReadsTheDefinition) {
  Record r;
  r.final_time = 4.0;
  r.n = 3;
  r.interior = {1.0, 2.5};
  r.length_bounds = {{0, 9}, {0, 9}, {0, 9}};
  r.controls = {{3, 0.0, {10, 20, 30}, {{0, 99}, {0, 99}, {0, 99}}}};
  r.objectives = {5};
  ASSERT_EQ(Serve(BodyWriter().U16(60).U8(1)), 0u);
  ASSERT_EQ(Serve(r.Body()), 0u);
  ASSERT_EQ(manager.GetNumElements(), 3);
  services.step_computing = true;
  EXPECT_EQ(Serve(BodyWriter().U16(60).U8(0)), sens_status::kBusy);
  EXPECT_EQ(Serve(BodyWriter().U16(60).U8(1)), sens_status::kBusy);
  EXPECT_TRUE(manager.Started());
  EXPECT_EQ(manager.GetNumElements(), 3);
  services.step_computing = false;
  EXPECT_EQ(Serve(BodyWriter().U16(60).U8(0)), 0u);
  EXPECT_FALSE(manager.Started());
  EXPECT_EQ(manager.GetNumElements(), 0);
}

}  // namespace
