// The run steps against a recording integrator, a recording results manager
// and a model whose problem a test shapes: preparation staging, the step's
// dispatch by event kind, the dynamic step's outcomes, the fixed-state
// warnings, option changes with the solver build, and the snapshot texts.
#include "control/problem/run_steps.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/problem/control_loop.h"
#include "control/problem/problem_manager.h"
#include "control/problem/server_integrator.h"
#include "control/properties/property_mgr.h"
#include "daes/events/implicit_event.h"
#include "daes/instance/instance_node.h"
#include "daes/model/variable.h"
#include "daes/problem/problem.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/group_method.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/interfaces/variable_drivers.h"
#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/servers/server_registry.h"
#include "platform/socket.h"
#include "results/manager/run_results.h"
#include "solve/options/solver_option_table.h"
#include "tests/support/capture_sink.h"
#include "tests/support/hang_bound.h"
#include "tests/support/quiet_group_method.h"
#include "tests/support/quiet_run_seams.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace {

using Log = std::vector<std::string>;

class FakeIntegrator : public QuietRunIntegrator {
 public:
  struct Leg {
    Status status;
    double reached;
  };
  FakeIntegrator(Log* log, std::int32_t kind) : log_(log), kind_(kind) {}
  ~FakeIntegrator() override { log_->push_back("deleted " + std::to_string(kind_)); }
  std::int32_t GetIntegratorKind() const override { return kind_; }
  Status BeginRun() override { return 0; }
  Status EndRun() override { return 0; }
  Status InitialiseAt(double time) override {
    log_->push_back("InitialiseAt " + Text(time));
    return initialise;
  }
  Status Initialise() override {
    log_->push_back("Initialise");
    return initialise;
  }
  // Each call moves the clock as the next leg says; the last leg repeats.
  Status IntegrateTo(double* reached, double time) override {
    log_->push_back("IntegrateTo " + Text(time));
    Leg leg = legs.empty() ? Leg{0, time} : legs.front();
    if (legs.size() > 1) legs.pop_front();
    SetSimulationTime(leg.reached);
    *reached = leg.reached;
    return leg.status;
  }
  Status LocateDiscontinuity(double low, double* high, double, bool, Status* status) override {
    log_->push_back("LocateDiscontinuity " + Text(low) + " " + Text(*high));
    *status = locate;
    return locate;
  }
  Status TransferSensitivities(double) override {
    log_->push_back("TransferSensitivities");
    return transfer;
  }
  Status SynchroniseTime() override {
    log_->push_back("SynchroniseTime");
    return 0;
  }
  Status Finish() override {
    log_->push_back("Finish");
    return 0;
  }
  Status Reinitialise(double time, bool at_event) override {
    log_->push_back("Reinitialise " + Text(time) + (at_event ? " event" : ""));
    return initialise;
  }
  bool HasCapability0() const override { return locates; }
  bool HasCapability3() const override { return true; }
  Status ErrorStatus() const override { return error; }
  Status ForwardToServer16(std::int32_t code, void* data) override {
    log_->push_back("Forward16 " + std::to_string(code) + " " +
                    std::to_string(*static_cast<std::int32_t*>(data)));
    return 0;
  }

  static std::string Text(double t) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", t);
    return text;
  }

  Status initialise = 0;
  std::deque<Leg> legs;
  Status locate = 0;
  Status transfer = 0;
  Status error = 0;
  bool locates = false;

 private:
  Log* log_;
  std::int32_t kind_;
};

class FakeResults : public QuietRunResults {
 public:
  Status ApplyAssignments(bool* applied) override {
    *applied = false;
    return 0;
  }
  double RunPosition() override { return 0.0; }
  void ResetStepClock() override {}
  Status SaveQueuedSnapshots() override { return 0; }
  Status TakeSnapshot(const char* description) override {
    snapshots.push_back(description);
    return 0;
  }
  void SetDynamic(bool) override {}
  void RecordRunClock() override {}
  bool ReinitialisationMark() override { return false; }
  void ClearReinitialisationMark() override {}
  bool PendingPlotRestart() override { return false; }
  double LastPlottedTime() override { return 0.0; }
  void ExtendPlotHistory(double) override {}
  Status HandleCommand(std::uint32_t, const char* const*, std::uint32_t, const std::int32_t*,
                       std::uint32_t, const double*) override {
    return 0;
  }
  Status EndOfDynamicRun() override { return 0; }
  void MoveTo(double) override {}
  Status SendTimeMessage(double time) override {
    time_messages.push_back(time);
    sender = std::this_thread::get_id();
    return time_message_status;
  }
  Status OpenRecords() override {
    ++records_opened;
    return 0;
  }
  Status TakeDescribedSnapshot(const char* text, std::int32_t a, std::int32_t, std::int32_t,
                               const char* second) override {
    snapshots.push_back(std::string(text) + "|" + std::to_string(a) + "|" +
                        (second != nullptr ? second : "-"));
    return 0;
  }
  // The reached event is handed back handled, as the results manager does.
  Status TakeStepSnapshot(double, std::uint16_t, bool) override {
    if (events != nullptr && !events->Empty()) events->DeleteFirst();
    return step_snapshot;
  }
  Status RestoreSnapshotValues(double* time, std::uint16_t* counter, std::int32_t) override {
    *time = restored_time;
    *counter = restored_counter;
    return 0;
  }
  Status OpenValueDump(const char* file) override {
    quality.push_back(std::string("dump ") + file);
    return 0;
  }
  Status LoadDumpExclusions(const char* file) override {
    quality.push_back(std::string("exclusions ") + file);
    return 0;
  }
  void FreeDumpTables() override { quality.push_back("free"); }
  Status WriteDumpLine(const char* text) override {
    quality.push_back(std::string("line ") + text);
    return 0;
  }
  void CloseValueDump() override { quality.push_back("close"); }
  Status WriteValues(const char* label, double time) override {
    dumps.push_back(std::string(label) + " " + FakeIntegrator::Text(time));
    return 0;
  }

  std::vector<std::string> snapshots;
  std::vector<double> time_messages;
  std::thread::id sender;
  Status time_message_status = 0;
  std::vector<std::string> dumps;
  std::vector<std::string> quality;
  int records_opened = 0;
  Status step_snapshot = 0;
  SimEventList* events = nullptr;
  double restored_time = 0.0;
  std::uint16_t restored_counter = 1;
};

// A problem over an empty instance tree, with the variables a test adds.
class FakeModel : public SimRunModel {
 public:
  ~FakeModel() override {
    for (DAESRealVariable* v : variables) delete v;
    delete root;
  }
  DAESProblem* CreateProblem(std::uint64_t handle) override {
    ++made;
    if (refuse) return nullptr;
    DAESProblem* problem = DAESCreateProblem(root, handle, nullptr);
    for (DAESRealVariable* v : variables) problem->AddTreeVariable(v);
    return problem;
  }
  Status InstancesEdited() override {
    ++edited;
    return 0;
  }
  bool SolversSetUp(DAESProblem*) override { return true; }
  Status ChooseEvaluator(DAESProblem*, std::int32_t chosen) override {
    evaluator = chosen;
    return 0;
  }
  void ReportChoiceFailure(DAESProblem*, Status) override {}
  Status BuildSystem(DAESProblem*) override { return 0; }
  Status CompileForRun(DAESProblem*, const char* where) override {
    ++compiled;
    folder = where != nullptr ? where : "";
    return 0;
  }
  Status EnterRunMode(DAESProblem*, std::int32_t) override { return 0; }
  DAESRealVariable* Add(const char* name, std::uint32_t flags) {
    variables.push_back(new DAESRealVariable(nullptr, name));
    variables.back()->SetFlags(flags);
    return variables.back();
  }

  BvuDirectoryNode* root = new DAESInstanceNode(nullptr, nullptr);
  std::vector<DAESRealVariable*> variables;
  int made = 0;
  int edited = 0;
  int compiled = 0;
  std::string folder;
  bool refuse = false;
  std::int32_t evaluator = -1;
};

// Answers the schedule's queries as told and counts its actions.
class FakeSchedule : public DAESEventSchedule {
 public:
  Status AnyEventChanged() override { return changed; }
  std::uint32_t FirstFiringCount() override { return firing; }
  Status EvaluateAll() override {
    ++acted;
    if (on_act) on_act();
    return 0;
  }
  Status changed = 0;
  std::uint32_t firing = 0;
  int acted = 0;
  std::function<void()> on_act;
};

class Method : public QuietGroupMethod {
 public:
  Status Solve(QLNGroup*, std::uint8_t, std::uint32_t, std::uint32_t, Status*) override {
    return 0;
  }
};

class QuietController : public DseMessageController {
 public:
  QuietController() { DseSetCurrentController(this); }
  ~QuietController() { DseSetCurrentController(nullptr); }
  Status Send(DseMessage* message, std::uint32_t, DseClientCB*, void*, const double*,
              std::int32_t) override {
    delete message;
    return 0;
  }
  Status Poll() override { return 0; }
  bool OutputWaiting() override { return false; }
  Status CancelRequest(std::uint32_t) override { return 21; }
  Status PostEvents(std::uint32_t, std::int32_t, const std::uint32_t*, const std::uint32_t* counts,
                    const char* const* const* lines, DseSentMark*) override {
    for (std::uint32_t i = 0; i < counts[0]; ++i) events.push_back(lines[0][i]);
    return 0;
  }
  std::vector<std::string> events;
};

void SetOption(std::int32_t number, std::int32_t value) {
  SolverOptionTable::Instance()->SetInteger(number, value);
  SolverOptionTable::Instance()->ApplyPendingChanges();
}
// Some flags are stored as integers: whichever setter fits takes it.
void SetFlag(std::int32_t number, bool value) {
  SolverOptionTable::Instance()->SetFlag(number, value);
  SolverOptionTable::Instance()->SetInteger(number, value ? 1 : 0);
  SolverOptionTable::Instance()->ApplyPendingChanges();
}

// The status of the group that holds the line, or 1 when none does.
Status GroupOf(const testsupport::CaptureSink& sink, const std::string& line) {
  for (const auto& group : sink.groups()) {
    for (const std::string& text : group.lines) {
      if (text == line) return group.status;
    }
  }
  return 1;
}

class RunStepsTest : public ::testing::Test {
 protected:
  RunStepsTest() {
    steps.SetIntegratorFactory([this](std::int32_t kind, Status*) {
      auto made = std::make_unique<FakeIntegrator>(&log, kind);
      made->error = next_error;
      log.push_back("made " + std::to_string(kind));
      return made;
    });
    steps.SetMethodFactory([this](std::int32_t code, std::int32_t) {
      methods.push_back(code);
      return new Method;
    });
    manager.SetRunOps(&steps);
    manager.SetRunResults(&results);
    SetSimulationTime(0.0);
    SetFlag(144, false);
    SetFlag(145, false);
    for (std::int32_t kind = 0; kind < kGroupKindCount; ++kind) ReplaceGroupMethod(kind, nullptr);
  }
  ~RunStepsTest() override {
    manager.StopRun();
    steps.ReleaseProblem();
    for (std::int32_t kind = 0; kind < kGroupKindCount; ++kind) ReplaceGroupMethod(kind, nullptr);
    SetCurrentEventSchedule(nullptr);
    SolverOptionTable::Instance()->SetDefaults();
    SolverOptionTable::Instance()->ApplyPendingChanges();
    SetSimulationTime(0.0);
  }

  // An integrator of the default kind, without preparing.
  FakeIntegrator& Integrator() {
    if (manager.Integrator() == nullptr) steps.BuildSolvers();
    return *static_cast<FakeIntegrator*>(manager.Integrator());
  }
  void Event(std::uint32_t kind, double time) { manager.Events().Add(kind, time, -1.0, nullptr); }
  Log Take() {
    Log out;
    out.swap(log);
    return out;
  }

  testsupport::TempDir folder;
  testsupport::ScopedCurrentFolder here{folder.path()};
  QuietController controller;
  Log log;
  std::vector<std::int32_t> methods;
  Status next_error = 0;
  FakeResults results;
  FakeModel model;
  // Before the manager: its run thread may use the steps until it is gone.
  SimRunSteps steps{manager, &model};
  SimProblemMgr manager{nullptr};
  testsupport::CaptureSink sink;
};

// --- preparation ---

// Generated code is built in the run folder; without one in a folder of
// the engine's own below the temporary folder, never beside the program.
TEST_F(RunStepsTest, GeneratedCodeIsBuiltInTheRunFolderOrATemporaryOne) {
  namespace fs = std::filesystem;
  ASSERT_EQ(steps.PrepareSimulation(1, 0), 0u);
  const fs::path temporary = fs::path(model.folder).parent_path();
  EXPECT_TRUE(fs::is_directory(temporary)) << model.folder;
  EXPECT_EQ(temporary.parent_path(), fs::temp_directory_path());
  EXPECT_EQ(temporary.filename().string().rfind("vantor-", 0), 0u);

  const std::string work = folder.path().string();
  const char* texts[] = {"Sim", work.c_str()};
  ASSERT_EQ(manager.HandleCommand(50, 3, 2, texts, 0, nullptr, 0, nullptr), 0u);
  ASSERT_TRUE(status::IsSuccess(manager.Folders().OpenRunFolder()));
  manager.ClearStatusBits(run_bits::kReady);
  ASSERT_EQ(steps.PrepareSimulation(0, 0), 0u);
  EXPECT_EQ(model.folder, work + "/Sim/");
  fs::remove(temporary);
}

TEST_F(RunStepsTest, PreparingTwiceWithoutAnEditBuildsOnceAndAnEditRebuilds) {
  ASSERT_EQ(steps.PrepareSimulation(1, 0), 0u);
  EXPECT_EQ(manager.StatusBits() & run_bits::kPrepared, run_bits::kPrepared);
  EXPECT_EQ(model.made, 1);
  EXPECT_EQ(model.compiled, 1);
  EXPECT_EQ(results.records_opened, 1);
  EXPECT_NE(GetCurrentProblem(), nullptr);
  EXPECT_NE(GetCurrentEventSchedule(), nullptr);
  // The two flags reach the integrator at the next build; the first build
  // had none yet.
  EXPECT_EQ(Take(), (Log{"made 3"}));
  EXPECT_EQ(controller.events, (std::vector<std::string>{"Preparing simulation for solution",
                                                         "Simulation ready for solution"}));

  ASSERT_EQ(steps.PrepareSimulation(1, 0), 0u);
  EXPECT_EQ(model.made, 1);
  EXPECT_EQ(model.compiled, 1);
  EXPECT_TRUE(Take().empty());

  // Losing the ready stage re-runs only that one.
  manager.ClearStatusBits(run_bits::kReady);
  ASSERT_EQ(steps.PrepareSimulation(0, 0), 0u);
  EXPECT_EQ(model.made, 1);
  EXPECT_EQ(model.compiled, 2);

  manager.MarkCheckProblem();
  ASSERT_EQ(steps.PrepareSimulation(1, 7), 0u);
  EXPECT_EQ(model.made, 2);
  EXPECT_EQ(Take(), (Log{"Forward16 1 7"}));
}

TEST_F(RunStepsTest, AFailedStageReleasesTheProblemAndKeepsTheStagesBefore) {
  model.refuse = true;
  EXPECT_EQ(steps.PrepareSimulation(0, 0), run_step::kNoProblemMade);
  EXPECT_EQ(manager.StatusBits() & run_bits::kPrepared, 0u);

  model.refuse = false;
  steps.SetIntegratorFactory([](std::int32_t, Status*) { return nullptr; });
  EXPECT_EQ(steps.PrepareSimulation(0, 0), run_step::kNoIntegrator);
  EXPECT_EQ(manager.StatusBits() & run_bits::kPrepared, run_bits::kBuilt);
  EXPECT_EQ(GetCurrentProblem(), nullptr);
  EXPECT_TRUE(manager.CheckProblemMarked());

  // An integrator whose creation failed is not kept; its status is the
  // preparation's.
  steps.SetIntegratorFactory([this](std::int32_t kind, Status*) {
    auto made = std::make_unique<FakeIntegrator>(&log, kind);
    made->error = 0x80320001u;
    return made;
  });
  EXPECT_EQ(steps.PrepareSimulation(0, 0), 0x80320001u);
  EXPECT_EQ(manager.Integrator(), nullptr);
  EXPECT_EQ(model.made, 3);
}

// The quality-control output is set up once, from the environment, and its
// tables go with every rebuild.
TEST_F(RunStepsTest, QualityControlOutputComesFromTheEnvironmentOnce) {
  testsupport::ScopedEnv file("SPQCFILE", "qc.txt");
  testsupport::ScopedEnv exclusions("QCEXCLUSIONS", "skip.txt");
  ASSERT_EQ(steps.PrepareSimulation(0, 0), 0u);
  EXPECT_EQ(results.quality, (Log{"free", "dump qc.txt", "exclusions skip.txt"}));
  manager.MarkCheckProblem();
  ASSERT_EQ(steps.PrepareSimulation(0, 0), 0u);
  EXPECT_EQ(results.quality, (Log{"free", "dump qc.txt", "exclusions skip.txt", "free"}));
}

// A run with QLN_QCFileOpt "Clean" drops the output its preparation opened.
TEST_F(RunStepsTest, ACleanRunStartsWithoutQualityControlOutput) {
  testsupport::ScopedEnv file("SPQCFILE", "qc.txt");
  ASSERT_EQ(manager.StartRun(4), 0u);
  manager.WriteQcLine("first");
  EXPECT_EQ(results.quality, (Log{"free", "dump qc.txt", "line first"}));
  manager.MarkCheckProblem();
  results.quality.clear();
  testsupport::ScopedEnv clean("QLN_QCFileOpt", "cLEAN");
  ASSERT_EQ(manager.StartRun(4), 0u);
  EXPECT_EQ(results.quality, (Log{"free", "close"}));
}

// The results manager's own seam writes the dump of a run: values sorted
// under each step's label, excluded names never, nothing after "Clean".
TEST_F(RunStepsTest, ARunWithAQualityControlFileWritesTheRealDump) {
  auto file_text = [] {
    std::ifstream in("qc.txt");
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  std::ofstream("skip.txt") << "hidden \r\n\nnever\n";
  testsupport::ScopedEnv file("SPQCFILE", "qc.txt");
  testsupport::ScopedEnv exclusions("QCEXCLUSIONS", "skip.txt");
  DseServerRegistry registry;
  SimRunResultsJoin join(manager, &registry, nullptr);
  // Named below the tree's root, as the instance tree names them.
  auto add = [this](const char* name, std::uint32_t flags, double value) {
    model.variables.push_back(new DAESRealVariable(model.root, name));
    model.variables.back()->SetFlags(flags);
    model.variables.back()->SetValue(value);
  };
  add("B.y", 0, 2.5);
  add("A.hidden", 0, 7.0);
  add("A.x", 0, 1e-30);
  add("C.z", 0x04000000u, -3.0);
  ASSERT_EQ(manager.StartRun(4), 0u);
  manager.WriteQcLine("first run");
  Event(16, 0.0);
  ASSERT_EQ(steps.RunStep(), 0u);
  const std::string first =
      "first run\n"
      "\n       SS-Value Variable-Name (time = 0)\n"
      "              0 A.x\n"
      "            2.5 B.y\n"
      "             -3?C.z\n";
  EXPECT_EQ(file_text(), first);

  // A rebuilt problem frees the loaded exclusions; the dump keeps its own.
  manager.MarkCheckProblem();
  add("A.never", 0, 1.0);
  ASSERT_EQ(manager.StartRun(4), 0u);
  Event(16, 0.0);
  ASSERT_EQ(steps.RunStep(), 0u);
  const std::string second = first + "\n       SS-Value Variable-Name (time = 0)\n" +
                             "              0 A.x\n"
                             "            2.5 B.y\n"
                             "             -3?C.z\n";
  EXPECT_EQ(file_text(), second);

  manager.MarkCheckProblem();
  testsupport::ScopedEnv clean("QLN_QCFileOpt", "Clean");
  ASSERT_EQ(manager.StartRun(4), 0u);
  Event(16, 0.0);
  ASSERT_EQ(steps.RunStep(), 0u);
  manager.WriteQcLine("after");
  EXPECT_EQ(file_text(), second);
}

// An exclusions file that cannot be read is said so; the dump goes on.
TEST_F(RunStepsTest, AnUnreadableExclusionsFileIsReported) {
  DseServerRegistry registry;
  SimRunResultsJoin join(manager, &registry, nullptr);
  const std::int32_t before = manager.Collector().GroupCount();
  EXPECT_TRUE(status::IsFailure(join.LoadDumpExclusions("missing.txt")));
  EXPECT_EQ(manager.Collector().GroupCount(), before + 1);
}

TEST_F(RunStepsTest, TheEnvironmentOverridesTheClientsEvaluatorChoice) {
  const std::int32_t on = 1;
  manager.HandleCommand(50, 80, 0, nullptr, 1, &on, 0, nullptr);
  {
    testsupport::ScopedEnv env("QLN_CE_USE", "0");
    ASSERT_EQ(steps.CheckProblem(), 0u);
    EXPECT_EQ(model.evaluator, SimRunModel::kInterpreted);
  }
  ASSERT_EQ(steps.CheckProblem(), 0u);
  EXPECT_EQ(model.evaluator, SimRunModel::kCompiled);
  const std::int32_t off = 0;
  manager.HandleCommand(50, 80, 0, nullptr, 1, &off, 0, nullptr);
  testsupport::ScopedEnv env("QLN_CE_USE", "1");
  ASSERT_EQ(steps.CheckProblem(), 0u);
  EXPECT_EQ(model.evaluator, SimRunModel::kCompiled);
  EXPECT_FALSE(manager.CheckProblemMarked());
}

// --- the step ---

TEST_F(RunStepsTest, AStepWithoutAKnownEventChangesNothing) {
  Integrator();
  Take();
  EXPECT_EQ(steps.RunStep(), run_step::kUnknownStep);
  Event(2, 1.0);
  EXPECT_EQ(steps.RunStep(), run_step::kUnknownStep);
  EXPECT_EQ(manager.PendingEventTime(), -1.0);
  EXPECT_EQ(manager.Record().stops, 0u);
  EXPECT_EQ(steps.StepResult(), 0u);
  EXPECT_TRUE(Take().empty());
}

TEST_F(RunStepsTest, SteadyStateStepsInitialiseAndAlwaysCountAStop) {
  Integrator();
  Take();
  Event(16, 0.0);
  EXPECT_EQ(steps.RunStep(), 0u);
  EXPECT_EQ(Take(), (Log{"Initialise"}));
  EXPECT_EQ(manager.Record().counter, 1u);
  EXPECT_EQ(manager.Record().stops, 1u);
  EXPECT_EQ(results.dumps, (Log{"SS-Value 0"}));
  EXPECT_EQ(GetRunMode(), kRunSteadyState);

  Integrator().initialise = 0x80320001u;
  EXPECT_EQ(steps.RunStep(), 0x80320001u);
  EXPECT_EQ(manager.Record().counter, 0u);
  EXPECT_EQ(manager.Record().stops, 2u);
  ASSERT_FALSE(sink.groups().empty());
  EXPECT_EQ(sink.groups().back().lines.back(), "Steady state solution failure");
  EXPECT_EQ(sink.groups().back().status, 0xA032FFFFu);
}

TEST_F(RunStepsTest, InitialisationRunsCountStopsAndLeaveTheTimeMessageDue) {
  SetOption(29, kRunInitialisation);
  Integrator();
  Take();
  Event(32, 2.5);
  EXPECT_EQ(steps.RunStep(), 0u);
  EXPECT_EQ(Take(), (Log{"InitialiseAt 2.5"}));
  EXPECT_NE(manager.StatusBits() & run_bits::kStepPending, 0u);
  EXPECT_EQ(manager.Record().time, 2.5);
  EXPECT_EQ(manager.Record().counter, 1u);
  EXPECT_EQ(manager.Record().stops, 1u);
  // Nothing was sent on the run thread; the collecting state sends it.
  EXPECT_TRUE(results.time_messages.empty());
  results.time_message_status = 0x80320002u;
  bool sent = false;
  EXPECT_EQ(steps.SendDueTimeMessage(&sent), 0x80320002u);
  EXPECT_TRUE(sent);
  EXPECT_EQ(results.time_messages, (std::vector<double>{2.5}));
  EXPECT_EQ(steps.StepResult(), 0x80320002u);
  EXPECT_EQ(steps.SendDueTimeMessage(&sent), 0u);
  EXPECT_FALSE(sent);

  Integrator().initialise = 0x80320001u;
  EXPECT_EQ(steps.RunStep(), 0x80320001u);
  EXPECT_EQ(manager.StatusBits() & run_bits::kStepPending, 0u);
  EXPECT_EQ(manager.Record().counter, 0u);
  EXPECT_EQ(manager.Record().stops, 2u);
  EXPECT_EQ(steps.SendDueTimeMessage(&sent), 0u);
  EXPECT_FALSE(sent);
}

TEST_F(RunStepsTest, DynamicInitialisationReinitialisesWhenMarked) {
  SetOption(29, kRunDynamic);
  Integrator();
  Take();
  Event(128, 0.0);
  EXPECT_EQ(steps.RunStep(), 0u);
  EXPECT_EQ(Take(), (Log{"InitialiseAt 0"}));
  EXPECT_EQ(manager.Record().stops, 0u);
  bool sent = true;
  steps.SendDueTimeMessage(&sent);
  EXPECT_FALSE(sent);

  // After an event step (601) the re-initialisation is at the event.
  manager.Events().Clear();
  Event(64, 1.0);
  Integrator().legs = {{601, 0.4}};
  SetSimulationTime(0.0);
  SetFlag(144, true);
  SetFlag(145, true);
  EXPECT_EQ(run_step::Code(steps.RunStep()), 601u);
  EXPECT_TRUE(manager.ReinitialisationMark());
  // The step added the initialisation at the event, ahead of the target.
  EXPECT_EQ(steps.RunStep(), 0u);
  EXPECT_EQ(Take(), (Log{"IntegrateTo 1", "Reinitialise 0.4 event"}));
  EXPECT_FALSE(manager.ReinitialisationMark());
  EXPECT_EQ(GetRunMode(), kRunReinitialisation);
  EXPECT_EQ(results.dumps.back(), "ReInitialisation-Value 0.4");
}

// --- dynamic steps ---

TEST_F(RunStepsTest, APlainStepThatReachesItsTargetGivesSixHundred) {
  Integrator();
  Take();
  Event(64 | 0x800, 0.5);
  EXPECT_EQ(steps.RunStep(), run_step::kTargetReached);
  EXPECT_EQ(Take(), (Log{"IntegrateTo 0.5", "SynchroniseTime"}));
  EXPECT_EQ(manager.Record().time, 0.5);
  EXPECT_EQ(manager.Record().counter, 1u);
  EXPECT_EQ(results.dumps, (Log{"DYN-Value 0.5"}));
  EXPECT_EQ(GetSolutionPhase(), 0);
}

TEST_F(RunStepsTest, AnEventWithReinitialisationAsksForOneAtTheEvent) {
  SetFlag(144, true);
  SetFlag(145, true);
  Integrator().legs = {{601, 0.3}};
  Take();
  Event(65, 0.5);
  EXPECT_EQ(run_step::Code(steps.RunStep()), 601u);
  EXPECT_EQ(manager.NextAction(), 2);
  EXPECT_TRUE(manager.ReinitialisationMark());
  EXPECT_EQ(manager.Record().time, 0.3);
  EXPECT_EQ(manager.PendingEventTime(), 0.3);
  ASSERT_NE(manager.Events().Head(), nullptr);
  EXPECT_EQ(manager.Events().Head()->kind, 128u);
  EXPECT_EQ(manager.Events().Head()->time, 0.3);
  EXPECT_EQ(Take(), (Log{"IntegrateTo 0.5"}));
}

TEST_F(RunStepsTest, AnEventWithoutReinitialisationFinishesAndLetsTheScheduleAct) {
  FakeSchedule schedule;
  SetCurrentEventSchedule(&schedule);
  Integrator().legs = {{601, 0.3}};
  Take();
  results.SetCommunicationTime(0.0);
  results.NextCommunicationTime();
  Event(65, 0.5);
  EXPECT_EQ(steps.RunStep(), 0u);
  EXPECT_EQ(steps.StepResult(), 0u);
  EXPECT_EQ(Take(), (Log{"IntegrateTo 0.5", "Finish"}));
  EXPECT_EQ(schedule.acted, 1);
  EXPECT_EQ(results.CommunicationCount(), 1);
  EXPECT_EQ(manager.Record().time, 0.3);
  EXPECT_FALSE(manager.ReinitialisationMark());

  // The event moved while the schedule acted: its point is scheduled again.
  schedule.on_act = [this] { const_cast<SimExplicitEvent*>(manager.Events().Head())->time = 0.6; };
  SetSimulationTime(0.0);
  EXPECT_EQ(steps.RunStep(), 0u);
  EXPECT_EQ(results.CommunicationCount(), 0);
  SetCurrentEventSchedule(nullptr);
}

TEST_F(RunStepsTest, AFailedStepStopsTheClockWhereTheIntegratorGotTo) {
  Integrator().legs = {{0x80320005u, 0.2}};
  results.SetCommunicationTime(0.0);
  results.NextCommunicationTime();  // n = 1, the point at 0.1
  Event(65, 0.1);
  EXPECT_EQ(steps.RunStep(), 0x80320005u);
  EXPECT_EQ(manager.Record().time, 0.2);
  EXPECT_EQ(manager.Record().counter, 0u);
  EXPECT_EQ(manager.PendingEventTime(), 0.2);
  EXPECT_NE(manager.StatusBits() & run_bits::kRunFailed, 0u);
  EXPECT_EQ(results.CommunicationCount(), 0);
  EXPECT_TRUE(results.dumps.empty());
}

TEST_F(RunStepsTest, EventLocationBisectsAFiredEventAndRefusesOvershoot) {
  FakeSchedule schedule;
  SetCurrentEventSchedule(&schedule);
  SolverOptionTable::Instance()->SetReal(7, 0.01);
  SetFlag(144, true);
  FakeIntegrator& integrator = Integrator();
  integrator.locates = true;
  integrator.legs = {{0, 1.0}};
  schedule.changed = 1;
  schedule.firing = 1;
  Take();
  EXPECT_EQ(steps.IntegrateDynamic(1.0), run_step::kEventQueried);
  EXPECT_EQ(Take(), (Log{"IntegrateTo 1", "LocateDiscontinuity 0 1"}));
  EXPECT_EQ(sink.lines().back(), "Model discontinuity detected between 0 and 1");

  schedule.firing = 0;
  SetSimulationTime(0.0);
  EXPECT_EQ(steps.IntegrateDynamic(1.0), run_step::kEventLocated);

  schedule.changed = 0;
  SetSimulationTime(0.0);
  integrator.legs = {{0, 1.5}};
  EXPECT_EQ(steps.IntegrateDynamic(1.0), run_step::kOvershoot);
  SetCurrentEventSchedule(nullptr);
}

TEST_F(RunStepsTest, AFailedSensitivityTransferSkipsTheDump) {
  steps.SetSensitivityQuery([] { return 1; });
  Integrator().transfer = 0x80320007u;
  Take();
  EXPECT_EQ(steps.IntegrateDynamic(0.5), 0x80320007u);
  EXPECT_EQ(Take(), (Log{"IntegrateTo 0.5", "TransferSensitivities"}));
  EXPECT_TRUE(results.dumps.empty());
}

TEST_F(RunStepsTest, FixedStatesAreReportedOnlyFromTimeZero) {
  model.Add("Tank.Level", 0x1 | 0x80);
  model.Add("Tank.Flow", 0x2);
  // An initial state carries the fixed bit as well: not a fixed one.
  model.Add("Tank.Temperature", 0x1 | 0x80 | 0x8000);
  ASSERT_EQ(steps.CheckProblem(), 0u);
  Integrator();
  EXPECT_EQ(steps.IntegrateDynamic(0.5), run_step::kTargetReached);
  int named = 0;
  for (const std::string& line : sink.lines()) {
    named += line.ends_with(" is a Fixed State variable") ? 1 : 0;
  }
  EXPECT_EQ(named, 1);
  EXPECT_EQ(GroupOf(sink, "There is a fixed state variable; your dynamic simulation may fail"),
            0xA032FFFFu);

  sink.Clear();
  SetSimulationTime(1e-12);
  EXPECT_EQ(steps.IntegrateDynamic(0.5), run_step::kTargetReached);
  for (const std::string& line : sink.lines())
    EXPECT_EQ(line.find("Fixed State"), std::string::npos);
}

TEST_F(RunStepsTest, TheWarningsStatusDecidesOnlyWithoutAnIntegrationCall) {
  model.Add("A.x", 0x81);
  model.Add("B.x", 0x81);
  model.Add("C.x", 0x81);
  ASSERT_EQ(steps.CheckProblem(), 0u);
  SetFlag(144, true);
  SolverOptionTable::Instance()->SetReal(7, 0.1);
  Integrator().locates = true;
  Take();
  // The target lies within half the tolerance: no call, a failure.
  EXPECT_EQ(steps.IntegrateDynamic(0.04), run_step::kFixedStates);
  EXPECT_TRUE(Take().empty());
  EXPECT_EQ(GroupOf(sink, "There are 3 fixed state variables; your dynamic simulation may fail"),
            0xA032FFFFu);
  // With a call, the integration's own status stands.
  SetSimulationTime(0.0);
  EXPECT_EQ(steps.IntegrateDynamic(1.0), run_step::kTargetReached);
}

TEST_F(RunStepsTest, SteadyStateSetsDerivativesToZero) {
  DAESRealVariable* derivative = model.Add("Tank.dLevel", 0x4);
  derivative->SetValue(3.0);
  ASSERT_EQ(steps.CheckProblem(), 0u);
  Integrator();
  EXPECT_EQ(steps.SolveSteadyState(0.0), 0u);
  EXPECT_EQ(derivative->GetRealValue(), 0.0);
}

// --- option changes, the solver build, snapshots, rewind ---

TEST_F(RunStepsTest, GroupMethodChangesRefillTheSlotsInOrder) {
  SetOption(55, 1);
  Integrator();
  EXPECT_EQ(methods, (std::vector<std::int32_t>{30, 60, 10, 100}));
  EXPECT_NE(GetGroupMethod(kGroupTorn), nullptr);
  methods.clear();
  manager.SetStepResultPending(true);
  SolverOptionTable::Instance()->SetInteger(55, 0);
  SolverOptionTable::Instance()->SetInteger(25, 5);
  const Status bits = steps.ApplyOptionChanges();
  EXPECT_NE(bits & kOptionChangeGroupMethods, 0u);
  EXPECT_EQ(methods, (std::vector<std::int32_t>{30, 60, 10, 101}));
  EXPECT_FALSE(manager.StepResultPending());
  EXPECT_EQ(manager.Record().counter, 0u);
  EXPECT_EQ(steps.ApplyOptionChanges(), 0u);
}

TEST_F(RunStepsTest, AnIntegratorOfTheSameKindIsKeptAnotherIsMadeAgain) {
  Integrator();
  EXPECT_EQ(steps.BuildSolvers(), 0u);
  EXPECT_EQ(Take(), (Log{"made 3"}));
  SolverOptionTable::Instance()->SetInteger(30, 4);
  EXPECT_NE(steps.ApplyOptionChanges() & kOptionChangeIntegrator, 0u);
  EXPECT_EQ(Take(), (Log{"deleted 3", "made 4"}));
  EXPECT_EQ(manager.Integrator()->GetIntegratorKind(), 4);
}

TEST_F(RunStepsTest, ACompressionChangeInADynamicRunRebuildsAtTheSameTime) {
  SetOption(29, kRunDynamic);
  ASSERT_EQ(steps.CheckProblem(), 0u);
  manager.SetCurrentTime(0.7);
  SolverOptionTable::Instance()->SetInteger(111, 1);
  EXPECT_NE(steps.ApplyOptionChanges() & kOptionChangeCompression, 0u);
  EXPECT_EQ(model.made, 2);
  EXPECT_EQ(results.snapshots, (Log{"Problem edited|0|-"}));
  EXPECT_EQ(manager.Record().time, 0.7);
  EXPECT_EQ(GetSimulationTime(), 0.7);
}

TEST_F(RunStepsTest, QueuedSnapshotDescriptionsAreJoined) {
  EXPECT_EQ(steps.TakeQueuedSnapshots(), 0u);
  steps.QueueSnapshot("Before feed", 3, 0, 0, "second");
  steps.TakeQueuedSnapshots();
  steps.QueueSnapshot("A", 1, 2, 3, nullptr);
  steps.QueueSnapshot("B", 1, 2, 3, nullptr);
  steps.TakeQueuedSnapshots();
  EXPECT_EQ(results.snapshots,
            (Log{"No description supplied|0|-", "Before feed|3|second", "A; B; |0|-"}));
  EXPECT_EQ(steps.QueuedSnapshots(), 0u);
}

TEST_F(RunStepsTest, AFullSnapshotStoreIsToldWhenPrinting) {
  results.step_snapshot = 0x00380010u;
  EXPECT_EQ(steps.RecordStep(), 0x00380010u);
  EXPECT_EQ(manager.NextAction(), 0);
  ASSERT_FALSE(controller.events.empty());
  EXPECT_EQ(controller.events.back(), "Maximum number of snapshots exceeded, Snapshot not saved.");
  controller.events.clear();
  SetOption(31, 0);
  steps.RecordStep();
  EXPECT_TRUE(controller.events.empty());
}

TEST_F(RunStepsTest, AFailedStepRecordAbortsTheRun) {
  results.step_snapshot = 0x80380001u;
  EXPECT_EQ(steps.RecordStep(), 0x80380001u);
  EXPECT_EQ(manager.NextAction(), 6);
  ASSERT_FALSE(controller.events.empty());
  EXPECT_EQ(controller.events.back(),
            "Failed to Save Snapshot, possibly due to insufficient disk space.\n run aborted.");
}

TEST_F(RunStepsTest, ARewindToAClockWithoutAStepGoesBackToTheReadyState) {
  Integrator();
  Take();
  results.restored_time = 0.4;
  results.restored_counter = 0;
  manager.SetStepResultPending(true);
  std::int32_t state = 6;
  EXPECT_EQ(steps.RewindToClock(&state), 0u);
  EXPECT_EQ(state, 5);
  EXPECT_EQ(manager.Record().time, 0.4);
  EXPECT_EQ(GetSimulationTime(), 0.4);
  EXPECT_FALSE(manager.StepResultPending());
  EXPECT_EQ(Take(), (Log{"Finish"}));
  results.restored_counter = 1;
  state = 6;
  EXPECT_EQ(steps.RewindToClock(&state), 0u);
  EXPECT_EQ(state, 6);
}

// The engine's integrator joins the managers for as long as it lives, so
// that releasing the problem reaches its server; without a server it is
// still made, with its creation status.
// The run thread's set-up and the package test before a run are the
// problem manager's property manager's, through the run steps.
TEST_F(RunStepsTest, ThePropertyManagerAnswersForTheRunThreadAndThePackages) {
  GppiPropertyMgr* properties = manager.Properties();
  ASSERT_NE(properties, nullptr);
  ASSERT_EQ(GppiPropertyMgr::Instance(), properties);
  EXPECT_EQ(steps.ThreadSetUp(), 0u);
  const Status before = properties->GetStatus();
  EXPECT_FALSE(status::IsFailure(steps.PackagesLoaded()));
  properties->SetStatus(0x8000FFFFu);
  EXPECT_EQ(steps.PackagesLoaded(), 0x8000FFFFu);
  properties->SetStatus(before);
  // A decomposition is asked for one group unless its option says more.
  EXPECT_FALSE(steps.PositiveCountTest());
}

TEST_F(RunStepsTest, TheServerIntegratorHearsTheBroadcasts) {
  const std::int32_t before = manager.Count();
  Status made = 0;
  std::unique_ptr<SimRunIntegrator> integrator = SimServerIntegrator::Create(3, &made);
  ASSERT_NE(integrator, nullptr);
  EXPECT_EQ(made, integrator->ErrorStatus());
  EXPECT_EQ(integrator->GetIntegratorKind(), 3);
  EXPECT_NE(integrator->Proxy(), nullptr);
  EXPECT_EQ(manager.Count(), before + 1);
  EXPECT_FALSE(status::IsFailure(manager.SimMasterManager::ReleaseSolvers()));
  integrator.reset();
  EXPECT_EQ(manager.Count(), before);
  EXPECT_EQ(SimServerIntegrator::Create(0, &made), nullptr);
  EXPECT_EQ(made, status::kBadArguments);
}

// --- through the control loop ---

class LoopPort : public ControlLoopPort {
 public:
  Status Poll() override { return status::kOk; }
  Status PollWithTimers() override { return status::kOk; }
  void Idle(std::uint32_t) override {
    Wait(-1);
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  void IdleOrWake(std::uint32_t, int wake) override {
    Wait(wake);
    platform::WaitForAny({{wake, false}}, 1);
  }
  std::int32_t ChildNumber() override { return 1; }

  // The waits of the passes: the loop's state and the descriptor waited on.
  void Wait(int wake) {
    if (loop != nullptr) waits.emplace_back(loop->State(), wake);
  }
  const SimControlLoop* loop = nullptr;
  std::vector<std::pair<std::int32_t, int>> waits;
};

class RunLoopTest : public RunStepsTest {
 protected:
  RunLoopTest() {
    results.events = &manager.Events();
    loop.SetUp();
    port.loop = &loop;
  }
  Status Command(std::uint32_t number, std::vector<const char*> texts = {}) {
    return manager.HandleCommand(50, number, static_cast<std::uint32_t>(texts.size()), texts.data(),
                                 0, nullptr, 0, nullptr);
  }
  // Passes until the state comes, bounded by time (the run thread may not
  // be scheduled for a while on a loaded machine); the states passed
  // through on the way.
  std::vector<std::int32_t> PassUntilState(std::int32_t state) {
    std::vector<std::int32_t> seen;
    const auto until =
        std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::seconds(30));
    while (loop.State() != state && std::chrono::steady_clock::now() < until) {
      Status ended = 0;
      if (loop.Pass(&ended)) break;
      if (seen.empty() || seen.back() != loop.State()) seen.push_back(loop.State());
    }
    EXPECT_EQ(loop.State(), state) << testing::PrintToString(seen);
    return seen;
  }
  // Named, attached and prepared through the run steps: ready.
  void Ready(std::int32_t run_mode) {
    SetOption(29, run_mode);
    const std::string work = folder.path().string() + "/";
    ASSERT_EQ(Command(3, {"Tank", work.c_str()}), 0u);
    PassUntilState(kStateAttached);
    ASSERT_EQ(Command(6), 0u);
    PassUntilState(kStateReady);
    ASSERT_EQ(manager.StatusBits() & run_bits::kPrepared, run_bits::kPrepared);
  }

  LoopPort port;
  SimControlLoop loop{manager, port};
};

TEST_F(RunLoopTest, AnInitialisationStepsTimeMessageLeavesFromTheServerThread) {
  Ready(kRunInitialisation);
  ASSERT_EQ(Command(10), 0u);
  PassUntilState(kStateInitialisationAfter);
  EXPECT_TRUE(results.time_messages.empty());
  PassUntilState(kStateReady);
  EXPECT_EQ(results.time_messages, (std::vector<double>{0.0}));
  EXPECT_EQ(results.sender, std::this_thread::get_id());
  EXPECT_EQ(manager.Record().stops, 1u);
}

TEST_F(RunLoopTest, AFailedTimeMessageFailsTheStep) {
  Ready(kRunInitialisation);
  results.time_message_status = 0x80320011u;
  ASSERT_EQ(Command(10), 0u);
  PassUntilState(kStateInitialisationFailed);
  EXPECT_EQ(steps.StepResult(), 0x80320011u);
  PassUntilState(kStateReady);
}

TEST_F(RunLoopTest, ASteadyStateRunSolvesOnceAndSendsNoTimeMessage) {
  Ready(kRunSteadyState);
  Take();
  ASSERT_EQ(Command(9), 0u);
  PassUntilState(kStateSteadyAfter);
  PassUntilState(kStateReady);
  EXPECT_EQ(Take(), (Log{"Initialise"}));
  EXPECT_EQ(manager.Record().stops, 1u);
  EXPECT_TRUE(results.time_messages.empty());
}

TEST_F(RunLoopTest, PassesTowardsAStepGoOnAtOnceAndTheStepsWaitEndsOnItsHandBack) {
  Ready(kRunInitialisation);
  port.waits.clear();
  ASSERT_EQ(Command(10), 0u);
  const std::vector<std::int32_t> seen = PassUntilState(kStateInitialisationAfter);
  ASSERT_EQ(seen.front(), kStateInitialisationBefore);
  ASSERT_FALSE(port.waits.empty());
  for (const auto& [state, wake] : port.waits) {
    // No wait on the way to the step; during it, a wait for its hand-back.
    EXPECT_EQ(state, kStateInitialisationStep);
    EXPECT_EQ(wake, manager.Handover().HandBackDescriptor());
  }
  PassUntilState(kStateReady);
  EXPECT_EQ(results.time_messages, (std::vector<double>{0.0}));
  // Waiting for the client again: the plain wait.
  port.waits.clear();
  Status ended = 0;
  ASSERT_FALSE(loop.Pass(&ended));
  ASSERT_EQ(port.waits.size(), 1u);
  EXPECT_EQ(port.waits[0].second, -1);
}

}  // namespace
