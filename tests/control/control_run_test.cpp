// Runs through the control loop with the run thread real and the run steps
// and the results manager recording fakes: the states, hook points and run
// operations of each kind of run, the failure states, the scheduling of
// communication points and the commands that drive them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/engine/engine_handlers.h"
#include "control/managers/instance_mgr.h"
#include "control/managers/library_mgr.h"
#include "control/problem/control_loop.h"
#include "control/problem/problem_manager.h"
#include "foundation/directory/id_path.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/values/typed_value.h"
#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/runtime/xos_thread.h"
#include "framework/servers/server_registry.h"
#include "platform/com.h"
#include "solve/options/solver_option_table.h"
#include "tests/framework/message_helpers.h"
#include "tests/support/fault_tests.h"
#include "tests/support/hang_bound.h"
#include "tests/support/quiet_run_seams.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"

namespace {

class Trace {
 public:
  void Add(std::string entry) {
    std::lock_guard<std::mutex> hold(lock_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<std::string> out;
    out.swap(entries_);
    return out;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> entries_;
};

class QuietController : public DseMessageController {
 public:
  QuietController() { DseSetCurrentController(this); }
  ~QuietController() { DseSetCurrentController(nullptr); }
  Status Send(DseMessage* message, std::uint32_t, DseClientCB*, void*, const double*,
              std::int32_t) override {
    types.push_back(message->type);
    delete message;
    return status::kOk;
  }
  Status Poll() override { return 0; }
  bool OutputWaiting() override { return false; }
  Status CancelRequest(std::uint32_t) override { return 21; }
  Status PostEvents(std::uint32_t, std::int32_t, const std::uint32_t*, const std::uint32_t* counts,
                    const char* const* const* lines, DseSentMark*) override {
    for (std::uint32_t i = 0; i < counts[0]; ++i) events.push_back(lines[0][i]);
    return 0;
  }
  std::vector<std::uint32_t> types;
  std::vector<std::string> events;
};

class Port : public ControlLoopPort {
 public:
  Status Poll() override {
    if (on_poll.empty()) return status::kOk;
    auto next = std::move(on_poll.front());
    on_poll.pop_front();
    return next();
  }
  Status PollWithTimers() override {
    ++timer_polls;
    return status::kOk;
  }
  void Idle(std::uint32_t) override { std::this_thread::sleep_for(std::chrono::microseconds(50)); }
  // The idle is short enough not to watch the hand-back.
  void IdleOrWake(std::uint32_t ms, int) override { Idle(ms); }
  std::int32_t ChildNumber() override { return 1; }
  std::deque<std::function<Status()>> on_poll;
  int timer_polls = 0;
};

class Ops : public QuietRunOps {
 public:
  Ops(Trace& trace, SimProblemMgr& pm) : trace_(trace), pm_(pm) {}
  Status PrepareSimulation(std::int32_t i1, std::int32_t i2) override {
    char entry[32];
    std::snprintf(entry, sizeof entry, "prepare %d%d", i1, i2);
    trace_.Add(entry);
    pm_.SetStatusBits(run_bits::kPrepared);
    return prepare_result;
  }
  Status CheckProblem() override {
    trace_.Add("check");
    return check_result;
  }
  Status RecordStep() override {
    trace_.Add("record");
    const SimExplicitEvent* first = pm_.Events().Head();
    if (first != nullptr && first->time <= pm_.CurrentTime() + pm_.Events().Tolerance()) {
      pm_.Events().DeleteFirst();
    }
    return 0;
  }
  Status ApplyOptionChanges() override { return 0; }
  Status TakeQueuedSnapshots() override { return 0; }
  Status Rewind() override { return 0; }
  // On the run thread: moves the clock to the first event.
  Status RunStep() override {
    const int number = ++steps;
    stepping = true;
    if (step_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    stepping = false;
    if (number == fault_step) testsupport::WriteThroughNull();
    if (number == fail_step) {
      trace_.Add("step fails");
      return 0x8032FFFFu;
    }
    const SimExplicitEvent* first = pm_.Events().Head();
    char kind[32] = "step -";
    if (first != nullptr) std::snprintf(kind, sizeof kind, "step %u", first->kind);
    if (first != nullptr && !stop_early) pm_.SetCurrentTime(first->time);
    if (first != nullptr && stop_early) pm_.SetCurrentTime(pm_.CurrentTime() + 0.01);
    trace_.Add(kind);
    return step_result;
  }

  std::atomic<int> steps{0};
  std::atomic<int> step_ms{0};
  // A step is computing (its wait included).
  std::atomic<bool> stepping{false};
  int fault_step = 0;
  // The step of this number fails.
  int fail_step = 0;
  Status prepare_result = 0;
  Status check_result = 0;
  std::atomic<Status> step_result{0};
  std::atomic<bool> stop_early{false};

 private:
  Trace& trace_;
  SimProblemMgr& pm_;
};

class Results : public QuietRunResults {
 public:
  explicit Results(Trace& trace) : trace_(trace) {}
  Status ApplyAssignments(bool* applied) override {
    *applied = assignments > 0;
    if (*applied) --assignments;
    return 0;
  }
  double RunPosition() override {
    trace_.Add("position");
    return position;
  }
  void ResetStepClock() override {}
  Status SaveQueuedSnapshots() override { return save_result; }
  Status TakeSnapshot(const char* description) override {
    trace_.Add(std::string("snapshot ") + description);
    return 0;
  }
  void SetDynamic(bool) override {}
  void RecordRunClock() override { trace_.Add("run clock"); }
  bool ReinitialisationMark() override { return false; }
  void ClearReinitialisationMark() override {}
  bool PendingPlotRestart() override { return false; }
  double LastPlottedTime() override { return 0.0; }
  void ExtendPlotHistory(double) override {}
  Status HandleCommand(std::uint32_t, const char* const*, std::uint32_t, const std::int32_t*,
                       std::uint32_t, const double*) override {
    return 0;
  }
  Status EndOfDynamicRun() override {
    trace_.Add(stepping != nullptr && *stepping ? "end of dynamic run during a step"
                                                : "end of dynamic run");
    return 0;
  }
  void MoveTo(double time) override { moved_to = time; }
  Status SendTimeMessage(double time) override {
    sent_time = time;
    return 0;
  }

  // Queued assignments, each applied at the next chance.
  std::atomic<int> assignments{0};
  const std::atomic<bool>* stepping = nullptr;
  double position = 0.0;
  Status save_result = 0;
  double moved_to = -1.0;
  double sent_time = -1.0;

 private:
  Trace& trace_;
};

// Hooked at every hook point: records it and answers from its script.
class Recorder : public SimActionFactory, public NewSimAction {
 public:
  explicit Recorder(Trace& trace)
      : SimActionFactory("Recorder"), NewSimAction("Recorder", this), trace_(trace) {
    hook_modes.fill(0);
  }
  Status Create(DseMessage*, DseMessage**, NewSimAction** action) override {
    *action = this;
    return 0;
  }
  void ActionDeleted(NewSimAction*) override {}
  void ExplicitEventNotice(std::uint64_t) override {
    if (watch_notices) trace_.Add("notice");
  }
  bool watch_notices = false;
  Status Execute(std::int32_t* request, SimActionControl*, const SimExplicitEvent*) override {
    SimActionMgr* actions = SimActionMgr::Existing();
    const std::int32_t point = actions->CurrentHookPoint();
    char entry[32];
    std::snprintf(entry, sizeof entry, "h%d@%u", point, actions->CurrentControlState());
    trace_.Add(entry);
    auto found = answers.find(point);
    if (found == answers.end() || found->second.empty()) return 0;
    const auto [result, next] = found->second.front();
    found->second.pop_front();
    *request = next;
    return result;
  }
  std::map<std::int32_t, std::deque<std::pair<Status, std::int32_t>>> answers;

 private:
  Trace& trace_;
};

class ControlRunTest : public ::testing::Test {
 protected:
  ControlRunTest() {
    manager.SetRunOps(&ops);
    manager.SetRunResults(&results);
    manager.Actions()->RegisterFactory(&recorder);
    loop.SetUp();
  }
  ~ControlRunTest() override {
    manager.StopRun();
    SolverOptionTable::Instance()->SetInt(29, 1);
    SolverOptionTable::Instance()->ApplyPendingChanges();
  }

  Status Command(std::uint32_t number, std::vector<const char*> texts = {},
                 std::vector<std::int32_t> integers = {}, std::vector<double> reals = {}) {
    return manager.HandleCommand(50, number, static_cast<std::uint32_t>(texts.size()), texts.data(),
                                 static_cast<std::uint32_t>(integers.size()), integers.data(),
                                 static_cast<std::uint32_t>(reals.size()), reals.data());
  }
  // Passes until `done`, the loop ends or the deadline; whether `done`
  // came. The run thread is waited for by time, not by a count of passes:
  // on a loaded machine it may not run for a long while.
  bool PassUntil(const std::function<bool()>& done) {
    const auto until =
        std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::seconds(30));
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) {
        ADD_FAILURE() << "stuck in state " << loop.State() << " after "
                      << testing::PrintToString(trace.Take());
        return false;
      }
      if (OnePass()) return false;
    }
    return true;
  }
  // Exactly `count` passes, for what each pass does.
  void Passes(int count) {
    for (int i = 0; i < count; ++i) {
      if (OnePass()) return;
    }
  }
  // Whether `happened` came within `count` passes that need nothing else to
  // run: the check that something does not happen.
  bool HappensWithin(int count, const std::function<bool()>& happened) {
    for (int i = 0; i < count; ++i) {
      if (happened()) return true;
      if (OnePass()) return false;
    }
    return happened();
  }
  // One pass, its change of state traced; true when the loop ended.
  bool OnePass() {
    Status ended = 0;
    const std::int32_t before = loop.State();
    if (loop.Pass(&ended)) return true;
    if (loop.State() != before) {
      char entry[16];
      std::snprintf(entry, sizeof entry, "s%d", loop.State());
      trace.Add(entry);
    }
    return false;
  }
  bool PassUntilState(std::int32_t state) {
    return PassUntil([&] { return loop.State() == state; });
  }
  // Polls happen inside passes: a command queued here runs in the next one.
  void Queue(std::function<Status()> command) { port.on_poll.push_back(std::move(command)); }
  // Named, attached and prepared: in the ready state.
  void Ready(std::int32_t run_mode) {
    SolverOptionTable::Instance()->SetInt(29, run_mode);
    SolverOptionTable::Instance()->ApplyPendingChanges();
    const std::string work = folder.path().string() + "/";
    ASSERT_EQ(Command(3, {"Tank", work.c_str()}), 0u);
    ASSERT_TRUE(PassUntilState(kStateAttached));
    // Hooked once the edit of the first pass in state 1 has cleared them.
    Passes(1);
    NewSimAction* made = nullptr;
    ASSERT_EQ(manager.Actions()->CreateAction("Recorder", 0, &made), 1u);
    ASSERT_EQ(Command(6), 0u);
    ASSERT_TRUE(PassUntilState(kStateReady));
    const std::vector<std::string> lines = trace.Take();
    // The initial specification is taken at the first hook point.
    ASSERT_TRUE(std::find(lines.begin(), lines.end(), "snapshot Initial Specification") !=
                lines.end());
  }

  testsupport::TempDir folder;
  testsupport::ScopedCurrentFolder here{folder.path()};
  QuietController controller;
  Port port;
  DseServerRegistry registry;
  Trace trace;
  Recorder recorder{trace};
  SimProblemMgr manager{&registry};
  Ops ops{trace, manager};
  Results results{trace};
  SimControlLoop loop{manager, port};
};

using Lines = std::vector<std::string>;

TEST_F(ControlRunTest, SteadyStateRunTakesOneStep) {
  Ready(1);
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntilState(kStateSteadyAfter));
  ASSERT_TRUE(PassUntilState(kStateReady));
  EXPECT_EQ(trace.Take(), (Lines{"h4@19", "check", "prepare 00", "s19", "h5@19", "s20", "step 16",
                                 "s21", "h6@21", "record", "s5"}));
  EXPECT_TRUE(manager.StepResultPending());
  EXPECT_TRUE(manager.Events().Empty());
}

TEST_F(ControlRunTest, InitialisationRunStepsAsOftenAsAsked) {
  Ready(5);
  ASSERT_EQ(Command(10), 0u);
  ASSERT_EQ(Command(10), 0u);
  ASSERT_TRUE(PassUntilState(kStateInitialisationAfter));
  ASSERT_TRUE(PassUntilState(kStateInitialisationAfter));
  ASSERT_TRUE(PassUntilState(kStateReady));
  EXPECT_EQ(trace.Take(),
            (Lines{"h4@7", "check", "prepare 00", "s7", "h7@7", "s8", "step 32", "s9", "h8@9",
                   "record", "s7", "h7@7", "s8", "step 32", "s9", "h8@9", "record", "s5"}));
  EXPECT_EQ(manager.StepCount(), 0);
  EXPECT_EQ(manager.Record().counter, 1u);
}

TEST_F(ControlRunTest, DynamicStepModeInitialisesThenStepsToTheCommunicationPoints) {
  Ready(4);
  for (int i = 0; i < 11; ++i) ASSERT_EQ(Command(10), 0u);
  ASSERT_TRUE(PassUntil([&] { return loop.State() == kStatePaused && manager.RunState() == 2; }));
  Lines expected{"h4@15",    "check", "prepare 00", "s15",    "h9@15", "s16",
                 "step 128", "s17",   "h10@17",     "record", "s11"};
  for (int i = 0; i < 10; ++i) {
    for (const char* line : {"h11@11", "s12", "step 65", "s13", "h12@13", "record"}) {
      expected.push_back(line);
    }
    expected.push_back(i < 9 ? "s11" : "s6");
  }
  EXPECT_EQ(trace.Take(), expected);
  EXPECT_NEAR(manager.CurrentTime(), 1.0, 1e-9);
  EXPECT_EQ(results.CommunicationCount(), 10);
  EXPECT_TRUE(manager.Events().Empty());
}

TEST_F(ControlRunTest, ARunStoppedByAnActionAtTheStepHookPoint) {
  Ready(4);
  recorder.answers[12] = {{0, 0}, {0, 0}, {0, 4}};
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntil([&] { return loop.State() == kStatePaused && manager.RunState() == 2; }));
  Lines expected{"h4@15",    "check", "prepare 00", "s15",    "h9@15", "s16",
                 "step 128", "s17",   "h10@17",     "record", "s11"};
  for (int i = 0; i < 3; ++i) {
    for (const char* line : {"h11@11", "s12", "step 65", "s13", "h12@13", "record"}) {
      expected.push_back(line);
    }
    expected.push_back(i < 2 ? "s11" : "s6");
  }
  EXPECT_EQ(trace.Take(), expected);
  EXPECT_NEAR(manager.CurrentTime(), 0.3, 1e-9);
  Passes(1);  // the paused state's own work
  EXPECT_EQ(manager.StatusBits() & run_bits::kRunning, 0u);
}

// An action that keeps the run in its collecting state for more passes
// (an estimation's statistics pass comes that way): ending the run waits
// for them, and goes through once the run has come to rest.
TEST_F(ControlRunTest, EndingTheRunWaitsForAnActionsFurtherPasses) {
  Ready(4);
  recorder.answers[12] = {{kCallAgain, 0}, {kCallAgain, 0}, {kCallAgain, 0}, {0, 4}};
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntilState(kStateDynamicAfter));
  Passes(1);
  ASSERT_EQ(loop.State(), kStateDynamicAfter);
  ASSERT_FALSE(manager.StepScheduled());
  auto end_run = [&] {
    DseMessage sent(50, DseMessage::kRequest);
    sent.PutUInt16(134);
    testsupport::MessagePtr received = testsupport::Received(sent);
    DseMessage* reply = nullptr;
    const Status answer = manager.HandleRequest(50, received.get(), &reply, nullptr);
    delete reply;
    return answer;
  };
  EXPECT_EQ(end_run(), 0x0032000Au);
  ASSERT_TRUE(PassUntilState(kStatePaused));
  EXPECT_EQ(end_run(), pm_status::kRunEnded);
}

TEST_F(ControlRunTest, PauseAndResumeARun) {
  Ready(4);
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntilState(kStateDynamicStep));
  ASSERT_EQ(Command(8), 0u);
  ASSERT_TRUE(PassUntilState(kStatePaused));
  const double paused_at = manager.CurrentTime();
  ASSERT_FALSE(HappensWithin(50, [&] { return loop.State() != kStatePaused; }));
  trace.Take();
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntilState(kStateDynamicAfter));
  EXPECT_EQ(trace.Take(), (Lines{"s11", "h11@11", "s12", "step 65", "s13"}));
  EXPECT_GT(manager.CurrentTime(), paused_at);
}

TEST_F(ControlRunTest, AnInterruptDuringAStepStopsTheThreadAndPauses) {
  Ready(4);
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntilState(kStateDynamicStep));
  const std::uint16_t stops = manager.Record().stops;
  testing::internal::CaptureStdout();
  EXPECT_EQ(Command(14), 0u);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("*** INTERRUPT! ***\n"), std::string::npos);
  EXPECT_FALSE(manager.StepScheduled());
  EXPECT_FALSE(manager.Handover().ThreadStarted());
  EXPECT_EQ(manager.Record().stops, stops + 1);
  EXPECT_EQ(manager.RunState(), 2);
  ASSERT_TRUE(PassUntilState(kStatePaused));
  // A new run starts a new thread.
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntilState(kStateDynamicAfter));
  EXPECT_TRUE(manager.Handover().ThreadStarted());
}

// The interrupt comes after the step reached its point, before the loop
// took it: the point is passed, so the run's next steps initialise there
// and move on to the next point.
TEST_F(ControlRunTest, AnInterruptAfterTheStepReachedItsPointLeavesNoStalePoint) {
  Ready(4);
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(
      PassUntil([&] { return loop.State() == kStateDynamicStep && manager.StepScheduled(); }));
  const auto until =
      std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::seconds(30));
  while (!manager.Handover().Waiting() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  testing::internal::CaptureStdout();
  EXPECT_EQ(Command(14), 0u);
  testing::internal::GetCapturedStdout();
  const double reached = manager.CurrentTime();
  EXPECT_NEAR(reached, 0.1, 1e-9);
  ASSERT_TRUE(PassUntilState(kStatePaused));
  trace.Take();
  ASSERT_EQ(Command(10), 0u);
  ASSERT_EQ(Command(10), 0u);
  ASSERT_TRUE(PassUntil([&] { return loop.State() == kStatePaused && manager.RunState() == 2; }));
  EXPECT_EQ(trace.Take(),
            (Lines{"s15", "h9@15", "s16", "step 128", "s17", "h10@17", "record", "s11", "h11@11",
                   "s12", "step 65", "s13", "h12@13", "record", "s6"}));
  EXPECT_NEAR(manager.CurrentTime(), 0.2, 1e-9);
}

struct FailureRow {
  std::int32_t state;
  std::int32_t next;  // -1: the dispatch fails
  std::int32_t then;
  std::uint32_t bit;
  std::int32_t run_state;  // -1: unchanged
  const char* clock;       // "record", "position" or ""
};

class FailureStateTest : public ControlRunTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(FailureStateTest, NextActionsLeadWhereTheTableSays) {
  const FailureRow row = GetParam();
  switch (row.state) {
    case kStateInitialisationFailed:
      Ready(5);
      ASSERT_EQ(Command(10), 0u);
      ops.fail_step = 1;
      break;
    case kStateDynamicFailed:
      Ready(4);
      ASSERT_EQ(Command(9), 0u);
      ops.fail_step = 2;
      break;
    case kStateDynamicInitFailed:
      Ready(4);
      ASSERT_EQ(Command(9), 0u);
      ops.fail_step = 1;
      break;
    default:
      Ready(1);
      ASSERT_EQ(Command(9), 0u);
      ops.fail_step = 1;
      break;
  }
  recorder.answers[3] = {row.next < 0 ? std::pair<Status, std::int32_t>{0x8000FFFFu, 0}
                                      : std::pair<Status, std::int32_t>{0, row.next}};
  ASSERT_TRUE(PassUntilState(row.state));
  const std::int32_t run_state = manager.RunState();
  trace.Take();
  Passes(1);
  EXPECT_EQ(loop.State(), row.then);
  EXPECT_EQ(manager.StatusBits() & row.bit, row.bit);
  EXPECT_EQ(manager.RunState(), row.run_state < 0 ? run_state : row.run_state);
  const Lines lines = trace.Take();
  ASSERT_GE(lines.size(), 1u);
  EXPECT_EQ(lines[0], "h3@" + std::to_string(row.state));
  const bool recorded = std::find(lines.begin(), lines.end(), "record") != lines.end();
  const bool taken_back = std::find(lines.begin(), lines.end(), "position") != lines.end();
  EXPECT_EQ(recorded, std::string(row.clock) == "record");
  EXPECT_EQ(taken_back, std::string(row.clock) == "position");
  // The run thread is back at its wait for the next step in every case.
  EXPECT_FALSE(manager.Handover().Waiting());
}

constexpr std::uint32_t k40 = run_bits::kStepPending;
constexpr std::uint32_t k80 = run_bits::kRunning;
constexpr std::uint32_t k100 = run_bits::kRunFailed;
constexpr std::uint32_t k400 = run_bits::kStoppedByAction;

INSTANTIATE_TEST_SUITE_P(
    Table, FailureStateTest,
    ::testing::Values(
        FailureRow{10, 0, 5, k400, 2, "record"}, FailureRow{10, 1, 9, k40, -1, "position"},
        FailureRow{10, 3, 7, 0, -1, "record"}, FailureRow{10, 4, 5, 0, 2, "position"},
        FailureRow{10, 5, 7, 0, -1, "record"}, FailureRow{10, 6, 5, k400, 2, "record"},
        FailureRow{10, -1, 5, k100, 2, ""}, FailureRow{14, 0, 6, k400, 2, "record"},
        FailureRow{14, 1, 13, k80, -1, ""}, FailureRow{14, 3, 15, 0, -1, "record"},
        FailureRow{14, 4, 13, k80, 2, ""}, FailureRow{14, 5, 11, k80, -1, "record"},
        FailureRow{14, 6, 6, k400, 2, "record"}, FailureRow{14, -1, 6, k100, 2, ""},
        FailureRow{18, 0, 6, k400, 2, "record"}, FailureRow{18, 1, 17, k40, -1, "position"},
        FailureRow{18, 3, 15, k80, -1, "record"}, FailureRow{18, 4, 17, k40, 2, "position"},
        FailureRow{18, 5, 15, k80, -1, "record"}, FailureRow{18, 6, 6, k400, 2, "record"},
        FailureRow{18, -1, 6, k100, 2, ""}, FailureRow{22, 0, 5, k400, 2, "record"},
        FailureRow{22, 1, 21, k40, -1, "position"}, FailureRow{22, 3, 19, 0, -1, "record"},
        FailureRow{22, 4, 5, 0, 2, "position"}, FailureRow{22, 5, 19, 0, -1, "record"},
        FailureRow{22, 6, 5, k400, 2, "record"}, FailureRow{22, -1, 5, k100, 2, ""}));

TEST_F(ControlRunTest, CommunicationPointsLeadUpToAMonitorEventAndMergeWithIt) {
  Ready(4);
  ASSERT_EQ(manager.Events().Add(66, 1.0, -1.0, nullptr), 0u);
  recorder.answers[12] = std::deque<std::pair<Status, std::int32_t>>(9, {0, 0});
  recorder.answers[12].push_back({0, 4});
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntil([&] { return loop.State() == kStatePaused && manager.RunState() == 2; }));
  Lines steps;
  for (const std::string& line : trace.Take()) {
    if (line.rfind("step", 0) == 0) steps.push_back(line);
  }
  Lines expected{"step 128"};
  for (int i = 0; i < 9; ++i) expected.push_back("step 65");
  expected.push_back("step 67");
  EXPECT_EQ(steps, expected);
  EXPECT_NEAR(manager.CurrentTime(), 1.0, 1e-9);
  EXPECT_TRUE(manager.Events().Empty());
}

TEST_F(ControlRunTest, AStepThatStopsEarlyHasItsPointScheduledAgain) {
  Ready(4);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Command(10), 0u);
  ops.stop_early = false;
  ASSERT_TRUE(PassUntilState(kStateDynamicBefore));
  ops.stop_early = true;
  ASSERT_TRUE(PassUntilState(kStateDynamicAfter));
  ASSERT_TRUE(PassUntilState(kStateDynamicBefore));
  EXPECT_EQ(results.CommunicationCount(), 0);
  ASSERT_TRUE(PassUntilState(kStateDynamicAfter));
  ASSERT_TRUE(PassUntil([&] { return loop.State() != kStateDynamicAfter; }));
  // Still one point ahead, the same as before: the new one merged with it.
  EXPECT_EQ(results.CommunicationCount(), 0);
  ASSERT_EQ(manager.Events().Size(), 1u);
  EXPECT_NEAR(manager.Events().Head()->time, 0.1, 1e-12);
  EXPECT_EQ(manager.Events().Head()->kind, 65u);
  EXPECT_NEAR(manager.CurrentTime(), 0.02, 1e-12);
}

std::int32_t StopTheThread(XosThread*, Status, std::uint32_t) { return XosThread::kStop; }

TEST_F(ControlRunTest, ADeadRunThreadIsReportedAndTheProblemGoesBackToAttached) {
  VANTOR_SKIP_FAULTS_UNDER_ASAN();
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << "a deliberate fault";
  XosSetDefaultFailureHandler(StopTheThread);
  Ready(1);
  ops.fault_step = 1;
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntilState(kStateSteadyStep));
  ASSERT_TRUE(PassUntil([&] { return loop.State() != kStateSteadyStep; }));
  XosSetDefaultFailureHandler(nullptr);
  EXPECT_EQ(loop.State(), kStateAttached);
  ASSERT_GE(controller.events.size(), 2u);
  // The step's guard asked the solver handler, which named the fault.
  EXPECT_EQ(
      Lines(controller.events.end() - 2, controller.events.end()),
      (Lines{"Thread has been terminated, due to :", "Solver failed due to Access Violation"}));
  EXPECT_NE(manager.StatusBits() & run_bits::kThreadTerminated, 0u);
  EXPECT_FALSE(manager.Handover().ThreadStarted());
  EXPECT_FALSE(manager.StepScheduled());
  EXPECT_EQ(manager.RunState(), 2);
  ClearLastFatalErrorText();
}

TEST_F(ControlRunTest, AFailedPassDuringAStepLeavesNoStaleStepBehind) {
  Ready(1);
  ops.step_ms = 40;
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntilState(kStateSteadyStep));
  Passes(1);  // the step starts
  ASSERT_TRUE(manager.StepScheduled());
  Queue([] { return 0x80000001u; });
  Passes(2);  // the failed poll, then the pass that sees it
  EXPECT_EQ(loop.State(), kStateReady);
  EXPECT_FALSE(manager.StepScheduled());
  EXPECT_TRUE(manager.Events().Empty());
  EXPECT_EQ(manager.Record().stops, 1u);
  // The next run runs its own step and collects that one.
  ops.step_ms = 0;
  trace.Take();
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntilState(kStateSteadyAfter));
  ASSERT_TRUE(PassUntilState(kStateReady));
  EXPECT_EQ(trace.Take(), (Lines{"h4@19", "prepare 00", "s19", "h5@19", "s20", "step 16", "s21",
                                 "h6@21", "record", "s5"}));
}

TEST_F(ControlRunTest, StoppingAScheduledStepDropsItsEventAndTellsTheActions) {
  Ready(1);
  ops.step_ms = 40;
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntilState(kStateSteadyStep));
  Passes(1);
  ASSERT_EQ(manager.Events().Size(), 1u);
  recorder.watch_notices = true;
  EXPECT_EQ(manager.StopRun(), 0u);
  EXPECT_TRUE(manager.Events().Empty());
  const Lines lines = trace.Take();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "run clock"), 1);
  EXPECT_GE(std::count(lines.begin(), lines.end(), "notice"), 1);
  EXPECT_FALSE(manager.StepScheduled());
  // The next pass polls with timers.
  Passes(1);
  EXPECT_EQ(port.timer_polls, 1);
}

TEST_F(ControlRunTest, CommandsThatTouchTheRunWaitForTheStep) {
  Ready(1);
  ops.step_ms = 40;
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntilState(kStateSteadyStep));
  Passes(1);
  ASSERT_TRUE(manager.StepScheduled());
  for (std::uint32_t number : {6u, 29u, 80u, 94u, 150u}) {
    EXPECT_EQ(Command(number, {}, {1}), 0x0032000Au) << number;
  }
  EXPECT_EQ(manager.PreparationNeeded(), 0);
  SUValue mode;
  mode.SetInt(4);
  EXPECT_EQ(manager.SetItem(53, BvuIdPath(), 0, 29, &mode), 0x0032000Au);
  // So do the requests that reach the problem, the solvers or the integrator.
  auto request = [&](std::uint16_t code) {
    DseMessage sent(50, DseMessage::kRequest);
    sent.PutUInt16(code);
    testsupport::MessagePtr received = testsupport::Received(sent);
    DseMessage* reply = nullptr;
    const Status answer = manager.HandleRequest(50, received.get(), &reply, nullptr);
    EXPECT_EQ(reply, nullptr) << code;
    delete reply;
    return answer;
  };
  for (std::uint16_t code : {31, 34, 35, 36, 37, 75, 111, 129, 131, 132, 133, 134, 148, 149}) {
    EXPECT_EQ(request(code), 0x0032000Au) << code;
  }
  EXPECT_EQ(request(5), 0x00320027u);
  // Edits of the instance tree and the library wait as well: the step walks
  // the tree and evaluates the definitions the problem is bound to.
  for (const std::uint32_t service : {SimInstanceMgr::kService, SimLibraryMgr::kService}) {
    DseMessage sent(service, DseMessage::kRequest);
    sent.PutUInt16(4);  // delete
    sent.PutUInt16(2);
    BvuIdPath path;
    path.Append(1);
    path.Write(sent);
    testsupport::MessagePtr received = testsupport::Received(sent);
    DseMessage* reply = nullptr;
    EXPECT_EQ(registry.FindServer(service)->HandleRequest(service, received.get(), &reply, nullptr),
              0x0032000Au)
        << service;
    EXPECT_EQ(reply, nullptr);
    delete reply;
  }
  EXPECT_EQ(Command(10), 0u);  // a plain request still goes through
  ASSERT_TRUE(PassUntilState(kStateReady));
}

TEST_F(ControlRunTest, ARunAfterAnEditThatKeptTheProblemIsAccepted) {
  Ready(1);
  ASSERT_EQ(Command(29, {}, {0}), 0u);
  EXPECT_EQ(manager.PreparationNeeded(), 2);
  ASSERT_EQ(Command(6), 0u);  // the short path
  EXPECT_EQ(manager.PreparationNeeded(), 0);
  EXPECT_EQ(manager.StatusBits() & run_bits::kPrepared, run_bits::kPrepared);
  EXPECT_TRUE(manager.Handover().ThreadStarted());
  EXPECT_EQ(Command(9), 0u);
  // A full preparation passes the flags on.
  ASSERT_EQ(Command(29, {}, {1}), 0u);
  trace.Take();
  ASSERT_EQ(Command(6, {}, {1, 0}), 0u);
  EXPECT_EQ(trace.Take(), (Lines{"prepare 10"}));
}

TEST_F(ControlRunTest, RunModesWithoutRunStatesStayReady) {
  Ready(2);
  ASSERT_EQ(Command(9), 0u);
  ASSERT_FALSE(HappensWithin(20, [&] { return loop.State() != kStateReady; }));
  EXPECT_TRUE(trace.Take().empty());
}

TEST_F(ControlRunTest, EndingADynamicRunWritesItsEnd) {
  Ready(4);
  ASSERT_EQ(Command(2), 0x00320024u);
  EXPECT_EQ(trace.Take(), (Lines{"end of dynamic run"}));
  Status ended = 1;
  int passes = 0;
  while (!loop.Pass(&ended) && ++passes < 10) {
  }
  EXPECT_EQ(loop.State(), kStateEnding);
  // Leaving the ready state for the ending one passes hook point 4 too.
  EXPECT_EQ(trace.Take(), (Lines{"h4@4", "h2@4"}));
}

// The run's end is written from what the step writes: a step still
// computing when the engine is told to end is stopped first.
TEST_F(ControlRunTest, EndingTheEngineDuringAStepStopsTheStepBeforeTheRunsEnd) {
  Ready(4);
  results.stepping = &ops.stepping;
  ops.step_ms = 200;
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntil([&] { return manager.StepScheduled() && ops.stepping; }));
  trace.Take();
  ASSERT_EQ(Command(2), 0x00320024u);
  EXPECT_FALSE(manager.StepScheduled());
  EXPECT_FALSE(ops.stepping);
  const Lines lines = trace.Take();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "end of dynamic run"), lines.end())
      << testing::PrintToString(lines);
}

TEST_F(ControlRunTest, SettingTheTimeMovesEveryClockWithFloatRounding) {
  Ready(4);
  const double wire = static_cast<double>(0.1f);
  ASSERT_EQ(Command(94, {}, {}, {wire}), 0u);
  EXPECT_EQ(manager.CurrentTime(), wire);
  EXPECT_NE(manager.CurrentTime(), 0.1);
  EXPECT_EQ(manager.Record().counter, 0u);
  EXPECT_EQ(results.moved_to, wire);
  EXPECT_EQ(results.sent_time, wire);
  EXPECT_FALSE(manager.StepResultPending());
  EXPECT_FALSE(manager.ReinitialisationMark());
}

TEST_F(ControlRunTest, UnknownAndRefusedCommands) {
  for (std::uint32_t number : {1u, 7u, 11u, 151u}) {
    EXPECT_EQ(Command(number), 0x8032FFFFu) << number;
  }
  EXPECT_EQ(Command(137), 0xA032FFFFu);
  EXPECT_EQ(Command(9), 0x80320025u);
  EXPECT_EQ(Command(14), 0x0032000Au);
  EXPECT_EQ(Command(8), 0x0032000Au);
  EXPECT_EQ(manager.RunState(), 2);
}
}  // namespace

namespace {

TEST_F(ControlRunTest, DetachingEndsTheRunAndForgetsTheEventsWithNotice) {
  Ready(1);
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntilState(kStateSteadyAfter));
  ASSERT_TRUE(PassUntilState(kStateReady));
  ASSERT_EQ(manager.Events().Add(66, 5.0, -1.0, nullptr), 0u);
  ASSERT_EQ(manager.Events().Add(16, 6.0, 1e-6, nullptr), 0u);
  recorder.watch_notices = true;
  ASSERT_TRUE(manager.Handover().ThreadStarted());
  trace.Take();
  manager.DetachProblem(nullptr, nullptr);
  EXPECT_FALSE(manager.Handover().ThreadStarted());
  EXPECT_TRUE(manager.Events().Empty());
  const Lines lines = trace.Take();
  EXPECT_GE(std::count(lines.begin(), lines.end(), "notice"), 2);
  // The tolerance follows the communication interval again.
  EXPECT_DOUBLE_EQ(manager.EventTolerance(), results.CommunicationInterval() / 100.0);
  EXPECT_EQ(manager.StatusBits() & run_bits::kProblemBits, 0u);
  EXPECT_EQ(manager.RunState(), 2);
  EXPECT_FALSE(manager.StepResultPending());
  // The run status record starts afresh, the stop of the detach included.
  EXPECT_EQ(manager.Record().stops, 0u);
}

TEST_F(ControlRunTest, EachThreadJoinsComOnceAndLeavesOnItsLastLeave) {
  std::atomic<int> second_was_joined{-1};
  auto twice = [&] {
    EXPECT_EQ(manager.JoinCom(), 1);
    EXPECT_EQ(manager.JoinCom(), 2);
    // Joined already: a further join only counts.
    const Status again = platform::CoInitializeEx(nullptr, platform::COINIT_MULTITHREADED);
    second_was_joined = again == 1 ? 1 : 0;
    platform::CoUninitialize();
    EXPECT_EQ(manager.LeaveCom(), 1);
    EXPECT_EQ(manager.LeaveCom(), 0);
    EXPECT_EQ(manager.LeaveCom(), 0);
    // Left: a new join is the first again.
    EXPECT_EQ(platform::CoInitializeEx(nullptr, platform::COINIT_MULTITHREADED), 0u);
    platform::CoUninitialize();
  };
  std::thread one(twice);
  one.join();
  EXPECT_EQ(second_was_joined.load(), 1);
  std::thread two(twice);
  two.join();
}

}  // namespace

namespace {

TEST_F(ControlRunTest, ASnapshotAskedForBeforePreparationPreparesOrSaysWhyNot) {
  SolverOptionTable::Instance()->SetInt(29, 1);
  SolverOptionTable::Instance()->ApplyPendingChanges();
  const std::string work = folder.path().string() + "/";
  ASSERT_EQ(Command(3, {"Tank", work.c_str()}), 0u);
  ASSERT_TRUE(PassUntilState(kStateAttached));
  ops.prepare_result = 0xA0000047u;
  manager.RequestSnapshot();
  Passes(2);
  EXPECT_EQ(loop.State(), kStateAttached);
  ASSERT_FALSE(controller.events.empty());
  EXPECT_EQ(controller.events.back(), "Can't Take SnapShot, Problem has no Variables.");
  ops.prepare_result = 0x80000001u;
  manager.RequestSnapshot();
  Passes(1);
  EXPECT_EQ(controller.events.back(), "Can't Take SnapShot, Problem is invalid.");
  ops.prepare_result = 0;
  manager.RequestSnapshot();
  Passes(1);
  EXPECT_EQ(loop.State(), kStatePreparing);
  EXPECT_EQ(manager.PreparationNeeded(), 0);
}

}  // namespace

namespace {

TEST_F(ControlRunTest, AStepAskedForDuringARunIsTakenOnce) {
  Ready(5);
  ASSERT_EQ(Command(10), 0u);
  ASSERT_TRUE(PassUntilState(kStateInitialisationStep));
  ASSERT_EQ(Command(10), 0u);  // arrives while the first step runs
  ASSERT_TRUE(PassUntilState(kStateReady));
  ASSERT_FALSE(HappensWithin(50, [&] { return loop.State() != kStateReady; }));
  const std::vector<std::string> lines = trace.Take();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "step 32"), 2);
  EXPECT_EQ(manager.StepCount(), 0);
}

}  // namespace

namespace {

TEST_F(ControlRunTest, AnEditThatKeptTheProblemAsksForAFullPreparationOnce) {
  Ready(1);
  ASSERT_EQ(Command(29, {}, {0}), 0u);
  EXPECT_EQ(manager.PreparationNeeded(), 2);
  manager.ProblemEdited();
  EXPECT_EQ(manager.PreparationNeeded(), 3);
  EXPECT_EQ(manager.RunState(), 2);
  trace.Take();
  // A full preparation, with the flags the client gave.
  ASSERT_EQ(Command(6, {}, {0, 1}), 0u);
  EXPECT_EQ(trace.Take(), (Lines{"prepare 01"}));
  EXPECT_EQ(manager.PreparationNeeded(), 0);
}

}  // namespace

namespace {

TEST_F(ControlRunTest, PrimaryServicesKeepWhatTheyAreTold) {
  EXPECT_DOUBLE_EQ(SimProblemMgr::kEpsilon, std::numeric_limits<double>::epsilon());
  EXPECT_DOUBLE_EQ(SimProblemMgr::kLargestValue, std::numeric_limits<double>::max());
  Ready(4);
  EXPECT_EQ(manager.PendingEventTime(), -1.0);
  manager.SetPendingEventTime(2.0);
  EXPECT_EQ(manager.PendingEventTime(), 2.0);
  EXPECT_FALSE(manager.IsNestedMode());
  manager.EnterNestedMode();
  manager.EnterNestedMode();
  manager.LeaveNestedMode();
  EXPECT_TRUE(manager.IsNestedMode());
  manager.LeaveNestedMode();
  manager.LeaveNestedMode();
  EXPECT_FALSE(manager.IsNestedMode());
  EXPECT_FALSE(manager.NeedsPreparation());
  EXPECT_FALSE(manager.Edited());
  // The run clock is reset only when it moved, and the report writer with it.
  manager.ResetRunClock();
  EXPECT_EQ(results.moved_to, -1.0);
  manager.SetCurrentTime(0.5);
  manager.SetStepResultPending(true);
  manager.SetReinitialisationMark(true);
  manager.ResetRunClock();
  EXPECT_EQ(manager.Record().time, 0.0);
  EXPECT_FALSE(manager.StepResultPending());
  EXPECT_FALSE(manager.ReinitialisationMark());
  EXPECT_EQ(results.moved_to, 0.0);
  // The solver-objects change is told once.
  manager.NotifySolversChanged();
  Passes(1);
  EXPECT_EQ(manager.StatusBits() & 0x800u, 0u);
  // A paused dynamic run that was ended goes back to the ready state.
  ASSERT_EQ(Command(10), 0u);
  ASSERT_TRUE(PassUntilState(kStateDynamicInitAfter));
  ASSERT_TRUE(PassUntilState(kStatePaused));
  manager.EndDynamicRun();
  ASSERT_TRUE(PassUntilState(kStateReady));
  Passes(1);  // the ready state forgets the mark
  EXPECT_FALSE(manager.DynamicRunEnded());
}

}  // namespace

namespace {

TEST_F(ControlRunTest, ASolvedSteadyStateEndsTheRunSoADynamicModeWaitsForACommand) {
  Ready(1);
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntilState(kStateSteadyAfter));
  ASSERT_TRUE(PassUntilState(kStateReady));
  EXPECT_EQ(manager.RunState(), 2);
  trace.Take();
  // Switching to dynamic mode starts nothing by itself.
  SolverOptionTable::Instance()->SetInt(29, 4);
  SolverOptionTable::Instance()->ApplyPendingChanges();
  EXPECT_FALSE(HappensWithin(50, [&] { return loop.State() != kStateReady; }));
  for (const std::string& line : trace.Take()) EXPECT_EQ(line.find("step"), std::string::npos);
  // The client's step does.
  ASSERT_EQ(Command(10), 0u);
  ASSERT_TRUE(PassUntil([&] { return loop.State() == kStatePaused; }));
  const Lines lines = trace.Take();
  EXPECT_TRUE(std::find(lines.begin(), lines.end(), "step 128") != lines.end())
      << testing::PrintToString(lines);
}

TEST_F(ControlRunTest, AnEditThatGaveUpTheProblemIsRebuiltAfterCommand29) {
  Ready(1);
  // The instance manager's edit: the built problem is gone.
  manager.MarkProblemGivenUp();
  ASSERT_EQ(Command(29, {}, {0}), 0u);
  EXPECT_EQ(manager.PreparationNeeded(), 2);
  trace.Take();
  ASSERT_EQ(Command(6), 0u);
  EXPECT_EQ(trace.Take(), (Lines{"prepare 00"}));
  EXPECT_EQ(manager.PreparationNeeded(), 0);
  // Once rebuilt, an edit that keeps the problem takes the short path again.
  ASSERT_EQ(Command(29, {}, {0}), 0u);
  ASSERT_EQ(Command(6), 0u);
  EXPECT_TRUE(trace.Take().empty());
}

// The steps of the trace (their kinds) and the states passed through.
Lines StepsAndStates(const Lines& lines) {
  Lines kept;
  for (const std::string& line : lines)
    if (line.rfind("step", 0) == 0 || line.rfind("s", 0) == 0 || line == "check")
      kept.push_back(line);
  return kept;
}

// A restore while the run rests moves its clock; the next step initialises
// there rather than going on from where the integrator stood.
TEST_F(ControlRunTest, ARestoreAtRestSendsTheNextStepThroughItsInitialisation) {
  Ready(4);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Command(10), 0u);
  ASSERT_TRUE(PassUntil([&] { return loop.State() == kStatePaused && manager.RunState() == 2; }));
  ASSERT_NEAR(manager.CurrentTime(), 0.1, 1e-12);
  trace.Take();
  manager.SetRestartTime(0.05);
  EXPECT_EQ(manager.CurrentTime(), 0.05);
  EXPECT_FALSE(manager.StepResultPending());
  EXPECT_TRUE(manager.RestartPending());
  ASSERT_EQ(Command(10), 0u);
  ASSERT_TRUE(PassUntilState(kStateDynamicInitAfter));
  ASSERT_TRUE(PassUntilState(kStatePaused));
  EXPECT_EQ(StepsAndStates(trace.Take()), (Lines{"s15", "s16", "step 128", "s17", "s6"}));
  EXPECT_FALSE(manager.RestartPending());
  EXPECT_NEAR(manager.CurrentTime(), 0.05, 1e-12);
}

// Between two steps of a run that goes on (state 11 chose the step), a
// restore still sends the step through the initialisation.
TEST_F(ControlRunTest, ARestoreBetweenRunningStepsInitialisesBeforeTheNextOne) {
  Ready(4);
  ASSERT_EQ(Command(9), 0u);
  ASSERT_TRUE(PassUntilState(kStateDynamicAfter));
  ASSERT_TRUE(PassUntilState(kStateDynamicBefore));
  trace.Take();
  manager.SetRestartTime(0.0);
  ASSERT_TRUE(PassUntilState(kStateDynamicInitAfter));
  EXPECT_EQ(StepsAndStates(trace.Take()), (Lines{"s12", "s15", "s16", "step 128", "s17"}));
}

// A specification that changed the structure: the problem is built again
// before the next step, which initialises; a rebuild that fails ends the
// run there, failed.
TEST_F(ControlRunTest, AStructureChangeRebuildsTheProblemBeforeTheNextStep) {
  Ready(4);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Command(10), 0u);
  ASSERT_TRUE(PassUntil([&] { return loop.State() == kStatePaused && manager.RunState() == 2; }));
  trace.Take();
  manager.MarkStructureChanged();
  EXPECT_TRUE(manager.StructureChanged());
  ASSERT_EQ(Command(10), 0u);
  ASSERT_TRUE(PassUntilState(kStateDynamicInitAfter));
  ASSERT_TRUE(PassUntilState(kStatePaused));
  EXPECT_EQ(StepsAndStates(trace.Take()), (Lines{"check", "s15", "s16", "step 128", "s17", "s6"}));
  EXPECT_FALSE(manager.StructureChanged());

  ops.check_result = 0x8032FFFFu;
  manager.MarkStructureChanged();
  const int steps = ops.steps;
  ASSERT_EQ(Command(10), 0u);
  ASSERT_TRUE(PassUntil([&] { return (manager.StatusBits() & run_bits::kRunFailed) != 0; }));
  EXPECT_EQ(loop.State(), kStatePaused);
  EXPECT_EQ(ops.steps, steps);
  EXPECT_TRUE(manager.StructureChanged());
}

// A specification change that keeps the structure re-initialises a run
// away from time 0.
TEST_F(ControlRunTest, AKeptStructureReinitialisesAwayFromTimeZero) {
  Ready(4);
  manager.MarkReinitialisation();
  EXPECT_FALSE(manager.ReinitialisationMark());
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Command(10), 0u);
  ASSERT_TRUE(PassUntil([&] { return loop.State() == kStatePaused && manager.RunState() == 2; }));
  ASSERT_TRUE(manager.StepResultPending());
  manager.MarkReinitialisation();
  EXPECT_TRUE(manager.ReinitialisationMark());
  EXPECT_FALSE(manager.StepResultPending());
}

// Two commands 10 after an assignment while the run rests: the first is the
// re-initialisation that the assignment asks for, the second the step to
// the next communication point; neither is lost.
TEST_F(ControlRunTest, AnAssignmentAtRestTakesOneOfTheAskedStepsForItsInitialisation) {
  Ready(4);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Command(10), 0u);
  ASSERT_TRUE(PassUntil([&] { return loop.State() == kStatePaused && manager.RunState() == 2; }));
  ASSERT_NEAR(manager.CurrentTime(), 0.1, 1e-12);
  trace.Take();
  results.assignments = 1;
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Command(10), 0u);
  ASSERT_TRUE(PassUntilState(kStateDynamicInitAfter));
  ASSERT_TRUE(PassUntil([&] { return loop.State() == kStatePaused && manager.RunState() == 2; }));
  EXPECT_EQ(StepsAndStates(trace.Take()),
            (Lines{"s11", "s15", "s16", "step 128", "s17", "s11", "s12", "step 65", "s13", "s6"}));
  EXPECT_NEAR(manager.CurrentTime(), 0.2, 1e-12);
  EXPECT_EQ(manager.StepCount(), 0);
}

// The client's snapshot requests wait in the problem manager, flags and
// description kept, until the loop takes them.
TEST_F(ControlRunTest, QueuedSnapshotRequestsKeepTheirFlagsUntilTaken) {
  manager.QueueSnapshot("A", 1, 0, 1, "first");
  manager.QueueSnapshot("B", 0, 1, 0, nullptr);
  EXPECT_EQ(manager.QueuedSnapshotCount(), 2u);
  const std::vector<SimProblemMgr::SnapshotRequest> taken = manager.TakeSnapshotQueue();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].text, "A");
  EXPECT_EQ(taken[0].second, "first");
  EXPECT_EQ(std::vector<std::int32_t>({taken[1].a, taken[1].b, taken[1].c}),
            std::vector<std::int32_t>({0, 1, 0}));
  EXPECT_EQ(manager.QueuedSnapshotCount(), 0u);
}

}  // namespace
