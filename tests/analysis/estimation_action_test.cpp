// The estimation action driven hook by hook on test doubles: the replies,
// snapshots, measurement events and the write-back.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "analysis/estimation/estimation_mgr.h"
#include "analysis/estimation/estimation_problem.h"
#include "analysis/estimation/estimation_run_services.h"
#include "analysis/sensitivity/sensitivity_mgr.h"
#include "tests/analysis/analysis_fakes.h"
#include "tests/analysis/definition_writer.h"
#include "tests/framework/message_helpers.h"

namespace {

using namespace analysis_fakes;

class RecordingRun : public EstimationRunServices {
 public:
  struct Event {
    std::uint32_t kind;
    double time;
    double tolerance;
  };
  std::int32_t HookPoint() override { return hook; }
  void DropRunState(std::uint32_t flags) override { dropped.push_back(flags); }
  Status IntegratorStatus() override { return integrator; }
  double CurrentTime() override { return now; }
  Status TakeNamedSnapshot(const char* name, std::uint32_t* number) override {
    taken.push_back(name);
    *number = 40;
    return 0;
  }
  Status RestoreSnapshot(std::uint32_t number) override {
    restored.push_back(number);
    return 0;
  }
  Status AssignValue(AnalysisVariable* variable, double value, std::int32_t kind) override {
    assigned.push_back({variable->GetNameText(0), value, kind});
    return 0;
  }
  Status SetRate(AnalysisVariable*, double) override { return 0; }
  Status ScheduleEvent(std::uint32_t kind, double time, double tolerance) override {
    events.push_back({kind, time, tolerance});
    return 0;
  }
  double EventTolerance() override { return 0.01; }
  void SendProgress(DseMessage* message) override { progress.emplace_back(message); }
  bool LastEvent(double* time, std::uint32_t* flags, double* tolerance) override {
    *time = event_time;
    *flags = kEstMeasurementEventFlag;
    *tolerance = event_tolerance;
    return true;
  }

  struct Assigned {
    std::string name;
    double value;
    std::int32_t kind;
  };
  std::int32_t hook = 5;
  Status integrator = 0;
  double now = 0.0;
  double event_time = 0.0;
  double event_tolerance = 0.0;
  std::vector<std::uint32_t> dropped;
  std::vector<std::string> taken;
  std::vector<std::uint32_t> restored;
  std::vector<Assigned> assigned;
  std::vector<Event> events;
  std::vector<std::unique_ptr<DseMessage>> progress;
};

// k1 estimated; x measured in every experiment.
class EstimationAction : public ::testing::Test {
 protected:
  EstimationAction() : sensitivities(services), manager(services) {
    services.Add(1, "k1", 1.0);
    services.Add(10, "x", 0.5);
    services.Add(20, "u");
    services.options[analysis_options::kEstimator] = 1;
    // The option table's default: the least-squares optimiser, which
    // answers for its own end points.
    services.options[analysis_options::kEstimationSolver] = 2;
    manager.SetRunServices(&run);
    manager.SetOptimiserFactory([this](std::int32_t, std::int32_t m, std::int32_t n) {
      optimiser = new ScriptedOptimiser(static_cast<std::size_t>(n), static_cast<std::size_t>(m));
      optimiser->script = script;
      optimiser->final_code = final_code;
      return optimiser;
    });
  }
  void Define(std::vector<ExperimentRecord> experiments, std::uint32_t single = 0) {
    DefinitionRecord d;
    d.estimated = {{1, 1.0, 0.0}};
    d.experiments = std::move(experiments);
    d.records = {{10, 0.0, 1.0, 0.0}};
    d.single = single;
    auto message = testsupport::ReceivedBody(DefinitionMessage(d).bytes, EstimationMgr::kService);
    DseMessage* reply = nullptr;
    ASSERT_EQ(manager.HandleRequest(EstimationMgr::kService, message.get(), &reply, nullptr), 0u);
    delete reply;
  }
  static ExperimentRecord Steady(const std::string& name) {
    ExperimentRecord e;
    e.name = name;
    e.inputs = {{20, {{0.0, 3.0}}}};
    e.measured = {10};
    e.entries = {{10, 0.0, 1.0, false, 0.0}};
    return e;
  }
  std::int32_t Hook(std::int32_t hook) {
    run.hook = hook;
    std::int32_t reply = -1;
    SimActionControl element;
    last_status = manager.Execute(&reply, &element, nullptr);
    EXPECT_EQ(element.state, SimActionControl::kDone);
    return reply;
  }

  FakeServices services;
  SensitivityMgr sensitivities;
  EstimationMgr manager;
  RecordingRun run;
  ScriptedOptimiser* optimiser = nullptr;
  std::vector<ScriptedOptimiser::Step> script;
  std::int32_t final_code = 1;
  Status last_status = 0;
};

TEST_F(EstimationAction, TwoSteadyStateExperimentsOverTwoPasses) {
  script = {{-1, {}}, {-1, {2.0}}};
  final_code = 1;
  Define({Steady("E1"), Steady("E2")});
  // Pass 1.
  EXPECT_EQ(Hook(5), 1);
  EXPECT_EQ(services.Var(20)->value(), 3.0);
  EXPECT_EQ(Hook(6), 3);
  EXPECT_EQ(manager.CurrentExperiment(), 1);
  EXPECT_EQ(Hook(5), 1);
  EXPECT_EQ(Hook(6), 3);
  EXPECT_TRUE(manager.FirstPassDone());
  EXPECT_FALSE(manager.Done());
  EXPECT_EQ(manager.CurrentExperiment(), 0);
  // Pass 2 starts from the snapshots with the new estimate.
  services.Var(1)->SetValue(7.0);
  EXPECT_EQ(Hook(5), 1);
  EXPECT_EQ(services.Var(1)->value(), 2.0);
  EXPECT_EQ(Hook(6), 3);
  EXPECT_EQ(Hook(5), 1);
  EXPECT_EQ(Hook(6), 3);
  EXPECT_TRUE(manager.Done());
  // One progress message a pass: service 87, subtype 12, opened by 157 and
  // the objective type.
  ASSERT_EQ(run.progress.size(), 2u);
  for (auto& message : run.progress) {
    EXPECT_EQ(message->type, 87u);
    EXPECT_EQ(message->subtype, 12u);
    testsupport::ReadAsWritten(*message);
    std::uint16_t kind = 0;
    std::uint32_t objective = 0;
    ASSERT_EQ(message->GetUInt16(&kind), 0u);
    EXPECT_EQ(kind, 157);
    ASSERT_EQ(message->GetUInt32(&objective), 0u);
    EXPECT_EQ(objective, 1u);
  }
  EXPECT_EQ(run.taken, std::vector<std::string>{"Estimation Initial Spec"});
  EXPECT_EQ(run.restored, (std::vector<std::uint32_t>{40, 40, 40, 40}));
  // Finish: converged, write-back through assignment kind 24.
  EXPECT_EQ(Hook(7), 4);
  ASSERT_EQ(run.assigned.size(), 1u);
  EXPECT_EQ(run.assigned[0].name, "k1");
  EXPECT_EQ(run.assigned[0].value, 2.0);
  EXPECT_EQ(run.assigned[0].kind, 24);
  EXPECT_EQ(run.restored.back(), 40u);
  EXPECT_FALSE(manager.Done());
}

TEST_F(EstimationAction, FailuresBeforeAndAfterTheFirstPass) {
  script = {{-1, {}}, {-1, {2.0}}};
  Define({Steady("E1"), Steady("E2")});
  EXPECT_EQ(Hook(5), 1);
  EXPECT_EQ(Hook(3), 6);
  EXPECT_EQ(run.dropped, std::vector<std::uint32_t>{0x500});
  ASSERT_FALSE(services.printed.empty());
  EXPECT_EQ(services.printed.back().second,
            "The estimation run cannot proceed:  Experiment E1\ncannot be solved from the "
            "initial point.");
  EXPECT_EQ(services.printed.back().first, 0x8028025Du);
  // Complete a pass, then fail inside the second one.
  EXPECT_EQ(Hook(6), 3);
  EXPECT_EQ(Hook(5), 1);
  EXPECT_EQ(Hook(6), 3);
  EXPECT_EQ(Hook(5), 1);
  EXPECT_EQ(Hook(6), 3);
  EXPECT_EQ(manager.CurrentExperiment(), 1);
  EXPECT_EQ(Hook(3), 3);
  EXPECT_EQ(manager.CurrentExperiment(), 0);
  ASSERT_GE(optimiser->calls.size(), 3u);
  EXPECT_EQ(optimiser->calls.back().mode, -100);
  run.integrator = 0xA0000001u;
  EXPECT_EQ(Hook(3), 6);
}

TEST_F(EstimationAction, DynamicExperimentSchedulesItsMeasurements) {
  ExperimentRecord dyn;
  dyn.name = "D";
  dyn.dynamic = true;
  dyn.inputs = {{20, {{0.0, 1.0}, {2.0, 3.0}}}};
  dyn.measured = {10};
  dyn.entries = {
      {10, 0.0, 1.0, false, 0.0}, {10, 1.0, 1.5, false, 0.0}, {10, 3.0, 2.0, false, 0.0}};
  final_code = 2;
  Define({dyn});
  EXPECT_EQ(Hook(5), 1);
  EXPECT_EQ(services.any_drivers.size(), 1u);
  // The first point is at the start: measured at once.
  EXPECT_EQ(Hook(6), 1);
  EXPECT_EQ(Hook(11), 1);
  ASSERT_EQ(run.events.size(), 1u);
  EXPECT_EQ(run.events[0].kind, 576u);
  EXPECT_EQ(run.events[0].time, 1.0);
  EXPECT_DOUBLE_EQ(run.events[0].tolerance, 0.1);
  // Close to the point: the at-measurement flag.
  run.now = 1.0 - 1e-6;
  EXPECT_EQ(Hook(7), 1);
  EXPECT_TRUE(manager.AtMeasurement());
  run.event_time = 1.0;
  run.event_tolerance = 0.1;
  EXPECT_EQ(Hook(12), 1);
  EXPECT_FALSE(manager.AtMeasurement());
  // The event itself takes the measurement and schedules the last point.
  run.now = 1.0;
  EXPECT_EQ(Hook(12), 1);
  ASSERT_EQ(run.events.size(), 2u);
  EXPECT_EQ(run.events[1].kind, 577u);
  EXPECT_EQ(run.events[1].time, 3.0);
  EXPECT_DOUBLE_EQ(run.events[1].tolerance, 0.2);
  EXPECT_EQ(Hook(11), 1);
  EXPECT_EQ(run.events.size(), 2u);
  // The last point completes the pass inside the run: restart by event.
  run.now = 3.0;
  run.event_time = 3.0;
  EXPECT_EQ(Hook(12), 1);
  EXPECT_TRUE(manager.PassRestart());
  ASSERT_EQ(run.events.size(), 3u);
  EXPECT_EQ(run.events[2].kind, 576u);
  EXPECT_DOUBLE_EQ(run.events[2].time, 3.0 + 8 * 0.01);
  EXPECT_EQ(run.events[2].tolerance, -1.0);
  EXPECT_TRUE(services.any_drivers.empty() || services.any_drivers.begin()->second == nullptr);
  run.now = run.event_time = 3.08;
  EXPECT_EQ(Hook(12), 3);
  EXPECT_FALSE(manager.PassRestart());
  // The optimiser failed (code 2): finish stops the run; the write-back
  // follows the flag alone.
  EXPECT_TRUE(manager.Done());
  EXPECT_EQ(Hook(5), 6);
  EXPECT_EQ(run.assigned.size(), 1u);
}

TEST_F(EstimationAction, SingleExperimentFinishesWithFourAndNoWriteBack) {
  final_code = 5;
  Define({Steady("E1"), Steady("E2")}, 2);
  EXPECT_EQ(Hook(5), 1);
  EXPECT_EQ(Hook(6), 3);
  EXPECT_TRUE(manager.Done());
  EXPECT_EQ(Hook(9), 4);
  EXPECT_TRUE(run.assigned.empty());
}

TEST_F(EstimationAction, SolverThreeRunsOneMorePassWithSensitivities) {
  services.options[analysis_options::kEstimationSolver] = 3;
  final_code = 1;
  Define({Steady("E1")});
  EXPECT_EQ(Hook(5), 1);
  EXPECT_FALSE(manager.SensitivitiesInUse());
  EXPECT_EQ(Hook(6), 3);
  EXPECT_FALSE(manager.Done());
  EXPECT_TRUE(manager.SensitivitiesInUse());
  EXPECT_EQ(Hook(5), 1);
  EXPECT_EQ(Hook(6), 3);
  EXPECT_TRUE(manager.Done());
  // Only the first pass called the optimiser.
  EXPECT_EQ(optimiser->calls.size(), 1u);
}

TEST_F(EstimationAction, HookOutsideTheRangeAndNoExperiments) {
  Define({Steady("E1")});
  EXPECT_EQ(Hook(13), 6);
  EXPECT_EQ(last_status, 0x8028002Cu);
  EstimationMgr empty(services);
  run.hook = 5;
  std::int32_t reply = 0;
  EXPECT_EQ(empty.Execute(&reply, nullptr, nullptr), 0x8028025Du);
}

}  // namespace
