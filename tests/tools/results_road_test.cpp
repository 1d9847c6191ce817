// The results manager in the running engine, as the modelling environment
// uses it through the vantor client: manual snapshots while the run rests
// (with their flags, description and value notices), snapshot use against
// the problem's variables, restores that move the run, assignments that
// send the run through its initialisation, specification changes that
// rebuild the problem, the problem's variables found again in an older
// snapshot file, and writes that wait while a step computes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/hang_bound.h"
#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/model_writer/flowsheet_model.h"
#include "tools/model_writer/model_writer.h"
#include "tools/result_replies.h"
#include "tools/road.h"

namespace {

using engineroad::DecayModel;
using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::kResultsService;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using engineroad::Node;
using engineroad::Reader;
using modelwriter::Writer;
using vantor_client::Bytes;
using vantor_client::MakeCommand;

constexpr Status kBusy = 0x0032000Au;
constexpr std::uint32_t kNoticeService = 85;
constexpr std::uint32_t kWriteSubtype = 8;
constexpr std::uint16_t kFixed = 4;
constexpr std::uint16_t kFree = 1;
// Set-item attributes of the results service.
constexpr std::uint16_t kValue = 1;
constexpr std::uint16_t kUpper = 8;
constexpr std::uint16_t kSpecification = 11;
constexpr std::uint16_t kPlotRecording = 15;

// A snapshot notice (service 85): its header, and for kind 140 the name of
// the file that holds the text.
struct Notice {
  std::uint16_t kind = 0;
  std::uint32_t id = 0;
  std::string name;
  std::string description;
  double time = -1.0;
  std::string text_file;
};

bool ReadNotice(const Bytes& body, Notice* notice) {
  Reader r(body);
  notice->kind = r.Get<std::uint16_t>();
  notice->id = r.Get<std::uint32_t>();
  notice->name = r.Text();
  notice->description = r.Text();
  r.Get<std::uint32_t>();
  r.Get<std::uint32_t>();
  notice->time = r.Get<double>();
  r.Get<std::uint16_t>();
  r.Get<std::uint16_t>();
  if (notice->kind == 140) notice->text_file = r.Text();
  return r.ok();
}

bool Contains(const Bytes& body, const std::string& text) {
  return std::search(body.begin(), body.end(), text.begin(), text.end()) != body.end();
}

class ResultsRoad : public EngineRoad {
 protected:
  // Starts the engine on `name` with the run mode and an accurate
  // integrator, loads the model and prepares it.
  // With `merge`, equations that equate two free variables merge them.
  bool Start(const std::string& name, std::int32_t run_mode,
             const std::function<void(Writer&)>& model, bool merge = false) {
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(60000);
    return StartEngine(engine, name) &&
           road_->Expect(MakeCommand(kResultsService, 32, {}, {0.1}), "command 32", 0) &&
           IntOption(30, 4) && RealOption(130, 1e-9) && RealOption(131, 1e-9) &&
           IntOption(29, static_cast<std::uint32_t>(run_mode)) && (!merge || IntOption(111, 1)) &&
           Load(model);
  }

  // A set-item of service 55 on the variable at (2, index).
  Status SetItem(std::uint32_t index, std::uint16_t attribute, double value) {
    auto request = std::make_unique<vantor_client::Request>(kResultsService, kWriteSubtype);
    vantor_client::PutSetReal(*request, {2, index}, attribute, value);
    Status result = 1;
    if (!road_->Exchange(std::move(request), "set-item", &result)) return 0xFFFFFFFFu;
    return result;
  }
  bool Item(std::uint32_t index, std::uint16_t attribute, double value) {
    const Status s = SetItem(index, attribute, value);
    if (s != 0) return Fail("set-item " + std::to_string(attribute) + ": " + Hex(s));
    return true;
  }
  static std::string Hex(Status s) { return vantor_scenario::Hex(s); }

  // Request 58: back to the run's snapshot of its position.
  bool RestorePosition(vantor_client::RestoreReply* restored) {
    Status s = 1;
    const Bytes body = Ask([](vantor_client::Request& r) {
      r.PutUInt16(58);
      r.PutUInt16(0);
    }, &s);
    return vantor_client::DecodeRestoreReply(body, restored);
  }
  std::vector<vantor_client::SnapshotEntry> Snapshots() {
    Status s = 1;
    const Bytes body = Ask([](vantor_client::Request& r) { r.PutUInt16(19); }, &s);
    std::vector<vantor_client::SnapshotEntry> list;
    if (s != 0 || !vantor_client::DecodeSnapshotList(body, 0, &list)) Fail("request 19");
    return list;
  }
  std::uint32_t IdOf(const std::string& name) {
    for (const auto& entry : Snapshots())
      if (entry.name == name) return entry.id;
    Fail("no snapshot " + name);
    return 0;
  }
  // Requests 20 and 146 on the run's own file: select it, then compare.
  bool Compare(std::uint16_t number, std::uint32_t id, std::uint16_t flags,
               vantor_client::UseReply* reply) {
    Status s = 1;
    Ask([](vantor_client::Request& r) {
      r.PutUInt16(30);
      r.PutString("");
      r.PutString("");
    }, &s);
    if (s != 0) return Fail("request 30: " + Hex(s));
    const Bytes body = Ask([&](vantor_client::Request& r) {
      r.PutUInt16(number);
      r.PutUInt32(id);
      r.PutUInt16(flags);
      for (int i = 0; i < 3; ++i) r.PutString("");
    }, &s);
    if (s != 0 || !vantor_client::DecodeUseReply(body, number, reply))
      return Fail("request " + std::to_string(number) + ": " + Hex(s));
    return true;
  }
  // Commands 21 and 23: the staged assignments to the next step.
  bool TakeStaged() {
    return road_->Expect(MakeCommand(kResultsService, 21), "command 21", 0) &&
           road_->Expect(MakeCommand(kResultsService, 23), "command 23", 0);
  }

  // The next snapshot notice (service 85) that arrives.
  // The road keeps notices that came while it waited for a reply, and two
  // may come together: each is read in turn, none dropped.
  bool NextNotice(Notice* notice) {
    bool found = false;
    client_->WaitFor([&] {
      road_->Collect();
      for (auto& message : road_->TakeOthers(kNoticeService)) notices_.push_back(std::move(message));
      while (!found && !notices_.empty()) {
        found = ReadNotice(notices_.front().body, notice);
        notices_.erase(notices_.begin());
      }
      return found;
    });
    if (!found) return Fail("no snapshot notice");
    return true;
  }
  // The value the event line came with, or -1 when it did not come.
  std::int64_t LineNumber(const std::string& line) {
    for (std::size_t i = 0; i < run_.events.size(); ++i)
      if (run_.events[i] == line) return run_.event_values[i];
    return -1;
  }
  // The same once the line came (or the wait ended without it).
  std::int64_t AwaitLine(const std::string& line) {
    client_->WaitFor([&] {
      road_->Collect();
      return LineNumber(line) != -1;
    });
    return LineNumber(line);
  }
  // The run rests, told at the time.
  bool RestsAt(double time) {
    return road_->WaitNotice(
        [&](const vantor_scenario::Notification& n) {
          return (n.bits & vantor_scenario::kRunningBit) == 0 && std::fabs(n.time - time) < 1e-9;
        },
        "resting at " + std::to_string(time));
  }
  std::vector<vantor_client::Message> notices_;  // came, not yet read
};

// y = 2 u, u fixed at 3 (index 1), y free (index 2).
void Doubling(Writer& w) {
  using modelwriter::Mul;
  using modelwriter::Real;
  using modelwriter::Sub;
  using modelwriter::Var;
  w.List(3);
  ModelVariable(w, modelwriter::kRealVariable, 1, ".u", 3.0, kFixed);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".y", 0.0, kFree);
  ModelEquation(w, 10, ".e", Sub(Var(0), Mul(Real(2.0), Var(1))), {{2, 2}, {2, 1}});
}

TEST_F(ResultsRoad, AManualSnapshotWhileRestingIsTakenWithItsFlagsAndDescription) {
  ASSERT_TRUE(Start("Manual", 4, [](Writer& w) { DecayModel(w, ".k", 1.0); })) << Failure();
  // At rest, prepared: named, kept and with the values sent back (139).
  ASSERT_TRUE(road_->Expect(
      MakeCommand(kResultsService, 15, {1}, {}, {"At rest", "what it shows"}), "command 15", 0))
      << Failure();
  Notice notice;
  ASSERT_TRUE(NextNotice(&notice)) << Failure();
  EXPECT_EQ(notice.kind, 139);
  EXPECT_EQ(notice.name, "At rest");
  EXPECT_EQ(notice.description, "what it shows");
  EXPECT_EQ(notice.time, 0.0);
  bool listed = false;
  for (const auto& entry : Snapshots()) {
    if (entry.name != "At rest") continue;
    listed = true;
    EXPECT_EQ(entry.description, "what it shows");
    EXPECT_EQ(entry.id, notice.id);
  }
  EXPECT_TRUE(listed);

  // Asked for as text (command 81): kind 140 names the file that holds it.
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 81, {1}), "command 81", 0));
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 15, {1}, {}, {"As text"}),
                            "command 15 as text", 0));
  ASSERT_TRUE(NextNotice(&notice)) << Failure();
  EXPECT_EQ(notice.kind, 140);
  EXPECT_EQ(notice.name, "As text");
  ASSERT_FALSE(notice.text_file.empty());
  std::string text;
  for (const auto& file : std::filesystem::recursive_directory_iterator(work_.path())) {
    if (file.path().filename() != notice.text_file) continue;
    std::ifstream in(file.path());
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_NE(text.find("Model"), std::string::npos) << text;
  EXPECT_NE(text.find("x"), std::string::npos) << text;
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 81, {0}), "command 81 off", 0));

  // One asked for between runs (after an edit, before the next
  // preparation) is taken once the problem is prepared again.
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 29, {0}), "command 29", 0));
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 15, {1}, {}, {"Between runs"}),
                            "command 15 between runs", 0));
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 6, {0, 0}), "command 6", 0));
  ASSERT_TRUE(NextNotice(&notice)) << Failure();
  EXPECT_EQ(notice.name, "Between runs");
  EXPECT_NE(IdOf("Between runs"), 0u) << Failure();
  EXPECT_TRUE(EndEngine()) << Failure();
}

TEST_F(ResultsRoad, SnapshotUseComparesWithTheProblemAndTakesTheValuesBack) {
  ASSERT_TRUE(Start("Use", 1, Doubling)) << Failure();
  ASSERT_TRUE(BeginRun() && SteadyState()) << Failure();
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 15, {0}, {}, {"Three"}), "command 15",
                            0));
  const std::uint32_t three = IdOf("Three");
  ASSERT_NE(three, 0u) << Failure();
  ASSERT_TRUE(Item(1, kValue, 5.0) && SteadyState()) << Failure();
  ASSERT_NEAR(Value(2), 10.0, 1e-9);

  // Request 33 carries the problem's variables with the snapshot.
  Status s = 1;
  Bytes sent = Ask([&](vantor_client::Request& r) {
    r.PutUInt16(33);
    r.PutUInt16(static_cast<std::uint16_t>(three));
  }, &s);
  ASSERT_EQ(s, 0u);
  vantor_client::SnapshotEntry entry;
  ASSERT_TRUE(vantor_client::DecodeSentSnapshot(sent, 33, &entry));
  EXPECT_EQ(entry.name, "Three");
  EXPECT_TRUE(Contains(sent, "Model") && Contains(sent, ".u") && Contains(sent, ".y"));

  // Request 20: both values differ from the snapshot's and are staged.
  vantor_client::UseReply use;
  ASSERT_TRUE(Compare(20, three, 0x33, &use)) << Failure();
  EXPECT_EQ(use.kind, 20);
  EXPECT_EQ(use.staged, 2u);
  EXPECT_TRUE(use.items.empty());
  ASSERT_TRUE(TakeStaged() && SteadyState()) << Failure();
  EXPECT_NEAR(Value(1), 3.0, 1e-9);
  EXPECT_NEAR(Value(2), 6.0, 1e-9);
  // Nothing differs now.
  ASSERT_TRUE(Compare(20, three, 0x33, &use)) << Failure();
  EXPECT_EQ(use.staged, 0u);

  // A snapshot that is not there: kind 20 with two empty counts.
  ASSERT_TRUE(Compare(146, 9999, 0x33, &use)) << Failure();
  EXPECT_EQ(use.kind, 20);
  EXPECT_EQ(use.staged, 0u);
  EXPECT_TRUE(use.items.empty());
  EXPECT_TRUE(FinishRun()) << Failure();
}

// x' = -x from 1: a restore to the snapshot of t = 0.2 takes the run there,
// and the next step goes on from it.
TEST_F(ResultsRoad, ARestoreMovesTheRunToTheSnapshotsTime) {
  ASSERT_TRUE(Start("Restore", 4, [](Writer& w) { DecayModel(w, ".k", 1.0); })) << Failure();
  ASSERT_TRUE(BeginRun() && Step(0.0) && Step(0.1) && Step(0.2)) << Failure();
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 15, {0}, {}, {"At 0.2"}), "command 15",
                            0));
  for (int k = 3; k <= 5; ++k) ASSERT_TRUE(Step(0.1 * k)) << Failure();
  ASSERT_NEAR(Value(2), std::exp(-0.5), 1e-6);

  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 1, {static_cast<std::int32_t>(
                                                                IdOf("At 0.2"))}),
                            "command 1", 0))
      << Failure();
  ASSERT_TRUE(RestsAt(0.2)) << Failure();
  EXPECT_NEAR(Value(2), std::exp(-0.2), 1e-6);
  // The integrator starts again there: an initialisation, then on.
  ASSERT_TRUE(Step(0.2) && Step(0.3)) << Failure();
  EXPECT_NEAR(Value(2), std::exp(-0.3), 1e-6);

  // Request 58 restores the run's snapshot of its position (here the
  // manual one at 0.2): the run goes back to the time it names.
  ASSERT_TRUE(Step(0.4)) << Failure();
  vantor_client::RestoreReply restored;
  ASSERT_TRUE(RestorePosition(&restored));
  ASSERT_EQ(restored.status, 0u);
  ASSERT_LT(restored.time, 0.35);
  ASSERT_TRUE(RestsAt(restored.time)) << Failure();
  ASSERT_TRUE(Step(restored.time) && Step(restored.time + 0.1)) << Failure();
  EXPECT_NEAR(Value(2), std::exp(-(restored.time + 0.1)), 1e-6);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// x' = -y, y' = x from (1, 0): x = cos t, y = sin t. The sign s of x is
// an IF on the library condition 0 > x (index 1), so a step stops where x
// crosses 0, at pi/2.
void Circle(Writer& w) {
  using modelwriter::Add;
  using modelwriter::Real;
  using modelwriter::Sub;
  using modelwriter::Var;
  w.List(6);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 1.0, 32);
  ModelVariable(w, modelwriter::kStateVariable, 2, ".y", 0.0, 32);
  ModelVariable(w, modelwriter::kRealVariable, 3, ".s", 1.0, kFree);
  ModelEquation(w, 10, ".ex", Add(Var(0), Var(1)), {{2, 1, 1}, {2, 2}});
  ModelEquation(w, 11, ".ey", Sub(Var(0), Var(1)), {{2, 2, 1}, {2, 1}});
  const modelwriter::Step sign{8, ".Sign"};
  auto branch = [&](std::uint32_t index, const char* name, double value) {
    w.List(1);
    w.Item(modelwriter::kInlineEquation);
    w.U32(0);
    w.Expression(Sub(Var(0), Real(value)));
    w.Placement({Node(), sign, {index, name}, {1, ".S"}});
    w.EquationHead(1);
    w.Reference({2, 3});
  };
  w.IfHead({1}, {Node(), sign});
  w.EquationHead(1);
  w.Reference({2, 1});
  branch(1, ".Then", -1.0);
  branch(2, ".Else", 1.0);
}

class RestartRoad : public ResultsRoad {
 protected:
  static constexpr double kPi = 3.14159265358979323846;
  // Run-state notices carry the time to about six places.
  static constexpr double kNear = 1e-5;
  // The circle with points every pi/3: the step to 2 pi/3 stops at pi/2.
  bool StartCircle() {
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(60000);
    if (!StartEngine(engine, "Circle") ||
        !road_->Expect(MakeCommand(kResultsService, 32, {}, {kPi / 3}), "command 32", 0) ||
        !IntOption(30, 4) || !RealOption(130, 1e-9) || !RealOption(131, 1e-9) ||
        !IntOption(29, 4))
      return false;
    auto condition = std::make_unique<vantor_client::Request>(61);
    Writer c(*condition);
    c.U16(3);
    c.U16(2);
    c.Placement({{1, "Condition1"}});
    c.Expression(modelwriter::Greater(modelwriter::Real(0.0), modelwriter::Var(0)));
    return road_->Expect(std::move(condition), "library condition", 0) && Load(Circle);
  }
  // One command 10; the time the run then rests at.
  bool StepOnce(double* time) {
    const double before = road_->Last().time;
    if (!road_->Expect(MakeCommand(kProblemService, 10), "command 10", 0)) return false;
    bool running = false, failed = false;
    if (!road_->WaitNotice(
            [&](const vantor_scenario::Notification& n) {
              failed = failed || (n.bits & vantor_scenario::kRunFailedBit) != 0;
              running = running || (n.bits & vantor_scenario::kRunningBit) != 0;
              return failed || ((n.bits & vantor_scenario::kRunningBit) == 0 &&
                                (running || n.time != before));
            },
            "a step"))
      return false;
    if (failed) return Fail("the step failed");
    *time = road_->Last().time;
    return true;
  }
  // Initialisation (with the snapshot "Start" of it, its id in *start),
  // pi/3, then the stop at the event.
  bool ToTheEvent(std::uint32_t* start) {
    double t = -1;
    if (!StartCircle() || !BeginRun() || !StepOnce(&t) ||
        !road_->Expect(MakeCommand(kResultsService, 15, {0}, {}, {"Start"}), "command 15", 0))
      return false;
    *start = IdOf("Start");
    if (*start == 0 || !StepOnce(&t) || !StepOnce(&t)) return false;
    if (std::fabs(t - kPi / 2) > kNear) return Fail("no stop at pi/2: " + std::to_string(t));
    return true;
  }
  // Steps on to pi.
  bool ToPi() {
    double t = road_->Last().time;
    for (int k = 0; k < 4 && std::fabs(t - kPi) > kNear; ++k)
      if (!StepOnce(&t)) return false;
    if (std::fabs(t - kPi) > kNear) return Fail("pi not reached: " + std::to_string(t));
    return true;
  }
};

// Command 23 with nothing to take leaves the run where the event stopped
// it: on to pi, x = cos pi = -1.
TEST_F(RestartRoad, CommandTwentyThreeWithNothingTakenLeavesTheRunAtTheEvent) {
  std::uint32_t start = 0;
  ASSERT_TRUE(ToTheEvent(&start)) << Failure() << Events();
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 23), "command 23", 0)) << Failure();
  ASSERT_TRUE(ToPi()) << Failure() << Events();
  EXPECT_NEAR(Value(1), -1.0, 1e-5);
  EXPECT_NEAR(Value(2), 0.0, 1e-5);
  EXPECT_NEAR(Value(3), -1.0, 1e-12);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// The values of the snapshot of t = 0 (x = 1, y = 0) taken at the event
// restart the run at pi/2 itself: x = cos(t - pi/2), y = sin(t - pi/2), so
// at 2 pi/3 x = cos(pi/6) and y = 1/2.
TEST_F(RestartRoad, AssignmentsTakenAtAnEventRestartTheRunThere) {
  std::uint32_t start = 0;
  ASSERT_TRUE(ToTheEvent(&start)) << Failure() << Events();
  vantor_client::UseReply use;
  ASSERT_TRUE(Compare(20, start, 0x33, &use)) << Failure();
  ASSERT_GE(use.staged, 2u);
  ASSERT_TRUE(TakeStaged()) << Failure();
  double t = -1;
  ASSERT_TRUE(StepOnce(&t) && StepOnce(&t)) << Failure();
  ASSERT_NEAR(t, 2 * kPi / 3, kNear) << Events();
  EXPECT_NEAR(Value(1), std::cos(kPi / 6), 1e-5);
  EXPECT_NEAR(Value(2), 0.5, 1e-5);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// With every snapshot deleted, request 58 answers that the restore failed and
// the run stays at 0.3: the next step goes to 0.4, x = exp(-0.4).
TEST_F(ResultsRoad, AFailedRestoreLeavesTheRunClockWhereItIs) {
  ASSERT_TRUE(Start("NoRestore", 4, [](Writer& w) { DecayModel(w, ".k", 1.0); })) << Failure();
  ASSERT_TRUE(BeginRun() && Step(0.0) && Step(0.1) && Step(0.2) && Step(0.3)) << Failure();
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 15, {0}, {}, {"At 0.3"}), "command 15",
                            0));
  std::vector<std::int32_t> ids;
  for (const auto& entry : Snapshots()) ids.push_back(static_cast<std::int32_t>(entry.id));
  ASSERT_FALSE(ids.empty()) << Failure();
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 18, ids), "command 18", 0)) << Failure();
  ASSERT_TRUE(Snapshots().empty()) << Failure();
  vantor_client::RestoreReply restored;
  ASSERT_TRUE(RestorePosition(&restored));
  ASSERT_EQ(restored.status, 0x40000048u) << "a snapshot was found after all";
  ASSERT_TRUE(Step(0.4)) << Failure() << Events();
  EXPECT_NEAR(Value(2), std::exp(-0.4), 1e-6);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// x := 2 at t = 0.2 between steps: the run initialises again there, and
// x(t) = 2 exp(-(t - 0.2)) from then on.
TEST_F(ResultsRoad, AnAssignedStateSendsTheRunThroughItsInitialisation) {
  ASSERT_TRUE(Start("Assign", 4, [](Writer& w) { DecayModel(w, ".k", 1.0); })) << Failure();
  ASSERT_TRUE(BeginRun() && Step(0.0) && Step(0.1) && Step(0.2)) << Failure();
  ASSERT_TRUE(Item(2, kValue, 2.0)) << Failure();
  ASSERT_TRUE(Step(0.2) && Step(0.3) && Step(0.4)) << Failure();
  EXPECT_NEAR(Value(2), 2.0 * std::exp(-0.2), 1e-6);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// a = b merged into one equivalence, b * b = 4: the root the solution
// finds is the one nearest the group's value, which an assignment to a
// must reach.
TEST_F(ResultsRoad, AnAssignmentToAMergedVariableReachesItsGroup) {
  using modelwriter::Mul;
  using modelwriter::Sub;
  using modelwriter::Var;
  ASSERT_TRUE(Start("Merged", 1, [](Writer& w) {
    w.List(5);
    ModelVariable(w, modelwriter::kRealVariable, 1, ".four", 4.0, kFixed);
    ModelVariable(w, modelwriter::kRealVariable, 2, ".a", 1.0, kFree);
    ModelVariable(w, modelwriter::kRealVariable, 3, ".b", 1.0, kFree);
    ModelEquation(w, 10, ".same", Sub(Var(0), Var(1)), {{2, 2}, {2, 3}});
    ModelEquation(w, 11, ".root", Sub(Mul(Var(0), Var(0)), Var(1)), {{2, 3}, {2, 1}});
  }, true)) << Failure();
  ASSERT_TRUE(BeginRun() && SteadyState()) << Failure();
  ASSERT_NEAR(Value(2), 2.0, 1e-6);
  ASSERT_TRUE(Item(2, kValue, -3.0) && SteadyState()) << Failure();
  EXPECT_NEAR(Value(2), -2.0, 1e-6) << Events();
  EXPECT_NEAR(Value(3), -2.0, 1e-6);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// u fixed, y = 2 u free; then y fixed at 10 and u free: the problem is
// built again and solves u = 5. Request 146 against the first snapshot
// stages the specifications back.
TEST_F(ResultsRoad, FreeAndFixedChangesRebuildTheProblemBeforeTheNextStep) {
  ASSERT_TRUE(Start("Specs", 1, Doubling)) << Failure();
  ASSERT_TRUE(BeginRun() && SteadyState()) << Failure();
  ASSERT_NEAR(Value(2), 6.0, 1e-9);
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 15, {0}, {}, {"u fixed"}), "command 15",
                            0));
  const std::uint32_t first = IdOf("u fixed");
  ASSERT_TRUE(Item(1, kSpecification, kFree) && Item(2, kSpecification, kFixed) &&
              Item(2, kValue, 10.0) && SteadyState())
      << Failure();
  EXPECT_NEAR(Value(1), 5.0, 1e-9);

  vantor_client::UseReply use;
  ASSERT_TRUE(Compare(146, first, 0x33, &use)) << Failure();
  EXPECT_EQ(use.kind, 20) << Events();
  EXPECT_EQ(use.staged_names, (std::vector<std::string>{"Model.u", "Model.y"}));
  // The specifications go back with the staged items, u takes 4.
  ASSERT_TRUE(TakeStaged() && Item(1, kValue, 4.0) && SteadyState()) << Failure();
  EXPECT_NEAR(Value(2), 8.0, 1e-9);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// u's lower bound raised to 0 (attribute 7), then u := -5: the assignment
// is clipped to the bound, and the engine's line names u.
TEST_F(ResultsRoad, AClippedAssignmentIsToldWithTheVariablesName) {
  ASSERT_TRUE(Start("Clipped", 1, Doubling)) << Failure();
  ASSERT_TRUE(IntOption(31, 1) && Item(1, 7, 0.0) && Item(1, kValue, -5.0)) << Failure();
  ASSERT_TRUE(BeginRun() && SteadyState()) << Failure();
  EXPECT_NEAR(Value(1), 0.0, 1e-12);
  EXPECT_NEAR(Value(2), 0.0, 1e-12);
  EXPECT_NE(AwaitLine("Assignment (-5) to Model.u was clipped to lower bound (0)"), -1) << Events();
  EXPECT_TRUE(FinishRun()) << Failure();
}

// x' = k (u - x), u fixed at 2 (index 1), k at 1 (2), x the state (3).
void Lag(Writer& w) {
  using modelwriter::Mul;
  using modelwriter::Sub;
  using modelwriter::Var;
  w.List(4);
  ModelVariable(w, modelwriter::kRealVariable, 1, ".u", 2.0, kFixed);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".k", 1.0, kFixed);
  ModelVariable(w, modelwriter::kStateVariable, 3, ".x", 0.0, 32);
  ModelEquation(w, 10, ".e", Sub(Var(0), Mul(Var(1), Sub(Var(2), Var(3)))),
                {{2, 3, 1}, {2, 2}, {2, 1}, {2, 3}});
}

// Attribute 15 puts x into the plot history; from the steady state x = 2
// with u := 5 the time plot follows 5 - 3 exp(-t).
TEST_F(ResultsRoad, APlotRecordingSetByItemFollowsTheRun) {
  ASSERT_TRUE(Start("Plot", 1, Lag)) << Failure();
  ASSERT_TRUE(Item(3, kPlotRecording, 1.0)) << Failure();
  ASSERT_TRUE(BeginRun() && SteadyState()) << Failure();
  ASSERT_NEAR(Value(3), 2.0, 1e-9);
  ASSERT_TRUE(Item(1, kValue, 5.0) && IntOption(29, 4) && BeginRun()) << Failure();
  for (int k = 0; k <= 5; ++k) ASSERT_TRUE(Step(0.1 * k)) << Failure();
  auto plot = std::make_unique<vantor_client::Request>(kResultsService);
  vantor_client::PutTimePlot(*plot, 0.0, 0.5, {{2, 3}});
  std::uint32_t id = 0;
  ASSERT_EQ(client_->Send(std::move(plot), &id), 0u);
  ASSERT_EQ(client_->Await(id), 0u);
  const vantor_client::Outcome* outcome = client_->Find(id);
  ASSERT_NE(outcome, nullptr);
  vantor_client::PlotData data;
  ASSERT_FALSE(outcome->headers.empty());
  ASSERT_FALSE(outcome->replies.empty());
  ASSERT_TRUE(vantor_client::DecodePlotHeader(outcome->headers[0].body, &data));
  ASSERT_TRUE(vantor_client::DecodePlotData(outcome->replies[0].body, &data));
  ASSERT_EQ(data.found, (std::vector<bool>{true}));
  ASSERT_GE(data.samples[0].size(), 5u);
  for (std::size_t i = 0; i < data.samples[0].size(); ++i) {
    const double t = data.first + static_cast<double>(i) * data.interval;
    EXPECT_NEAR(data.samples[0][i], 5.0 - 3.0 * std::exp(-t), 1e-4) << t;
  }
  client_->Forget(id);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// A run's snapshot file read again by a later engine whose model holds the
// same variables at other places: the file is mapped to them, and the last
// snapshot's values land on the variables they belong to.
TEST_F(ResultsRoad, AnOlderFileWithTheVariablesInAnotherOrderIsMapped) {
  using modelwriter::Add;
  using modelwriter::Mul;
  using modelwriter::Real;
  using modelwriter::Sub;
  using modelwriter::Var;
  auto model = [](std::uint32_t p, std::uint32_t q) {
    return [p, q](Writer& w) {
      w.List(4);
      ModelVariable(w, modelwriter::kRealVariable, p, ".p", 2.0, kFixed);
      ModelVariable(w, modelwriter::kRealVariable, q, ".q", 5.0, kFixed);
      ModelVariable(w, modelwriter::kRealVariable, 3, ".y", 0.0, kFree);
      ModelEquation(w, 10, ".e", Sub(Var(0), Add(Var(1), Mul(Real(2.0), Var(2)))),
                    {{2, 3}, {2, p}, {2, q}});
    };
  };
  ASSERT_TRUE(Start("Mapped", 1, model(1, 2))) << Failure();
  ASSERT_TRUE(BeginRun() && Item(1, kValue, 3.0) && SteadyState()) << Failure();
  ASSERT_NEAR(Value(3), 13.0, 1e-9);
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 15, {0}, {}, {"Last"}), "command 15", 0));
  // Saved: the run's files are kept beside the ones an engine's end removes.
  const std::string folder = work_.path().string() + "/";
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 5, {}, {}, {"Mapped", folder}),
                            "command 5", 0x00320000u));
  ASSERT_TRUE(FinishRun()) << Failure();

  // p and q change places: the file's records follow their names.
  ASSERT_TRUE(Start("Mapped", 1, model(2, 1))) << Failure();
  EXPECT_NEAR(Value(2), 3.0, 1e-9);
  EXPECT_NEAR(Value(1), 5.0, 1e-9);
  EXPECT_NE(IdOf("Last"), 0u) << Failure();
  ASSERT_TRUE(BeginRun() && SteadyState()) << Failure();
  EXPECT_NEAR(Value(3), 13.0, 1e-9);
  EXPECT_TRUE(FinishRun()) << Failure();
  EXPECT_EQ(LineNumber("Successfully reused last snapshot."), 660) << Events();
}

// y = 2 u with one more variable z = y + 1: the older file's snapshots do
// not hold it.
void DoublingAndOneMore(Writer& w) {
  using modelwriter::Add;
  using modelwriter::Mul;
  using modelwriter::Real;
  using modelwriter::Sub;
  using modelwriter::Var;
  w.List(5);
  ModelVariable(w, modelwriter::kRealVariable, 1, ".u", 3.0, kFixed);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".y", 0.0, kFree);
  ModelVariable(w, modelwriter::kRealVariable, 3, ".z", 0.0, kFree);
  ModelEquation(w, 10, ".e", Sub(Var(0), Mul(Real(2.0), Var(1))), {{2, 2}, {2, 1}});
  ModelEquation(w, 11, ".f", Sub(Var(0), Add(Var(1), Real(1.0))), {{2, 3}, {2, 2}});
}

// A snapshot file left in the run folder that cannot be read, or whose
// snapshots were taken of another structure, is set aside under another
// name (the client is told it) and the run starts a new file; the line
// that says why keeps its number.
TEST_F(ResultsRoad, AFileThatCannotBeReadOrMappedIsSetAsideWithItsNumberedLine) {
  const std::string unreadable = "not a snapshot file";
  std::filesystem::create_directories(work_.path() / "Unreadable");
  std::ofstream(work_.path() / "Unreadable" / "snapshot.snp") << unreadable;
  ASSERT_TRUE(Start("Unreadable", 4, [](Writer& w) { DecayModel(w, ".k", 1.0); })) << Failure();
  EXPECT_EQ(AwaitLine("Unable to open existing snapshot file, starting new file."), 658)
      << Events();
  std::string kept;
  for (const vantor_client::Message& m : road_->Others()) {
    if (m.type != 82) continue;
    Reader r(m.body);
    r.Get<std::uint32_t>();
    kept = r.Text();
  }
  ASSERT_FALSE(kept.empty()) << "no message names the file set aside";
  std::ifstream aside(work_.path() / "Unreadable" / kept);
  std::string held((std::istreambuf_iterator<char>(aside)), std::istreambuf_iterator<char>());
  EXPECT_EQ(held, unreadable);
  EXPECT_TRUE(FinishRun()) << Failure();
  // The new file is not told as a plain new start.
  EXPECT_EQ(LineNumber("Starting new snapshot file."), -1) << Events();

  ASSERT_TRUE(Start("Changed", 1, Doubling)) << Failure();
  ASSERT_TRUE(BeginRun() && SteadyState()) << Failure();
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 15, {0}, {}, {"Before"}), "command 15", 0));
  const std::string folder = work_.path().string() + "/";
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 5, {}, {}, {"Changed", folder}),
                            "command 5", 0x00320000u));
  ASSERT_TRUE(FinishRun()) << Failure();
  run_ = vantor_scenario::FirstOrderRun();
  ASSERT_TRUE(Start("Changed", 1, DoublingAndOneMore)) << Failure();
  const std::string unmapped =
      "Unable to map this simulation's variables with the current\n"
      "snapshots from the simulation working folder, because they\n"
      "were created with a different simulation structure.";
  EXPECT_EQ(AwaitLine(unmapped), 659) << Events();
  for (const auto& entry : Snapshots()) EXPECT_NE(entry.name, "Before");
  ASSERT_TRUE(BeginRun() && SteadyState()) << Failure();
  EXPECT_NEAR(Value(3), 7.0, 1e-9);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// The circle with its sign on x > 0 and communication points far apart:
// every step of the run stops at a switch (each pi/2 + k pi) short of its
// point, and the results keep the run position at t = 0. A pause then
// comes past it (pause 2), and the step collected after it leaves the run
// position where it stopped: a snapshot of the pause is taken at the time
// the run rests at, not at t = 0.
TEST_F(ResultsRoad, APauseAfterTheRunPositionKeepsTheSnapshotWhereTheRunRests) {
  vantor_client::EngineOptions engine = Engine();
  engine.timeout_ms = testsupport::HangBoundMs(60000);
  ASSERT_TRUE(StartEngine(engine, "Paused") &&
              road_->Expect(MakeCommand(kResultsService, 32, {}, {1000.0}), "command 32", 0) &&
              IntOption(30, 4) && RealOption(130, 1e-8) && RealOption(131, 1e-8) &&
              IntOption(29, 4))
      << Failure();
  auto condition = std::make_unique<vantor_client::Request>(61);
  Writer c(*condition);
  c.U16(3);
  c.U16(2);
  c.Placement({{1, ".Positive"}});
  c.Expression(modelwriter::Greater(modelwriter::Var(0), modelwriter::Real(0.0)));
  ASSERT_TRUE(road_->Expect(std::move(condition), "the library condition", 0)) << Failure();
  ASSERT_TRUE(Load(Circle)) << Failure();
  ASSERT_TRUE(BeginRun() && road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0))
      << Failure();
  ASSERT_TRUE(road_->WaitNotice(
      [](const vantor_scenario::Notification& n) {
        return (n.bits & vantor_scenario::kRunningBit) != 0 && n.time > 2.0;
      },
      "the run past its first switches"))
      << Failure() << Events();
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 8), "command 8", 0)) << Failure();
  double rests = -1.0;
  ASSERT_TRUE(road_->WaitNotice(
      [&](const vantor_scenario::Notification& n) {
        rests = n.time;
        return (n.bits & vantor_scenario::kRunningBit) == 0;
      },
      "the pause"))
      << Failure() << Events();
  ASSERT_GT(rests, 2.0);
  EXPECT_NEAR(std::cos(rests), 0.0, 1e-5) << rests;

  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 15, {1}, {}, {"At the pause"}),
                            "command 15", 0))
      << Failure();
  Notice notice;
  ASSERT_TRUE(NextNotice(&notice)) << Failure();
  EXPECT_EQ(notice.name, "At the pause");
  EXPECT_NEAR(notice.time, rests, 1e-9);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// A long dynamic run of a flowsheet with writes of the results service
// sent all the while: each is taken between steps or waits (busy) while a
// step computes; none touches the problem under the run thread (the
// sanitizer tree runs this road too).
TEST_F(ResultsRoad, WritesDuringAStepWaitAndNeverRaceTheRunThread) {
  modelwriter::SeriesFlowsheet sheet;
  sheet.units = 60;
  ASSERT_TRUE(Start("Busy", 4, [&](Writer& w) { sheet.Write(w, Node(), {sheet.Valves()}); }))
      << Failure();
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 32, {}, {0.5}), "command 32", 0));
  ASSERT_TRUE(BeginRun() && road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0))
      << Failure();
  const std::uint32_t valve = sheet.Index(0, 0, modelwriter::SeriesFlowsheet::kValve);
  int taken = 0;
  int busy = 0;
  const auto until =
      std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::seconds(60));
  for (int round = 0; busy < 3 && std::chrono::steady_clock::now() < until; ++round) {
    const Status bound = SetItem(valve, kUpper, 100.0 + round);
    Status command = 1;
    ASSERT_TRUE(road_->Exchange(MakeCommand(kResultsService, 23), "command 23", &command));
    for (Status s : {bound, command}) {
      ASSERT_TRUE(s == 0 || s == kBusy) << Hex(s);
      (s == 0 ? taken : busy) += 1;
    }
  }
  // How many land inside a step is the scheduler's choice: one shows it.
  EXPECT_GE(busy, 1);
  EXPECT_GT(taken, 0);
  ASSERT_TRUE(CommandOnceIdle(8, "command 8")) << Failure() << Events();
  EXPECT_TRUE(FinishRun()) << Failure();
}

}  // namespace
