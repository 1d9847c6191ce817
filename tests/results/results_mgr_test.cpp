#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/messaging/message.h"
#include "results/manager/results_mgr.h"
#include "results/snapshots/snapshot_text.h"
#include "tests/framework/message_helpers.h"
#include "tests/results/plot_model_fakes.h"
#include "tests/results/results_mgr_fakes.h"
#include "tests/results/snapshot_fakes.h"
#include "tests/results/snapshot_text_fakes.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using resultstest::FakeProblem;
using testsupport::Bytes;

class ResultsManager : public snaptest::SnapshotFolder {
 protected:
  // A first run: the variables with their values, one snapshot at t = 1.5.
  void FirstRun(const std::vector<std::string>& names, const std::vector<double>& values) {
    FakeProblem problem(names);
    SimResultsMgr manager(&problem);
    RunPosition at;
    ASSERT_EQ(manager.OpenSnapshotFile(problem.Count(), problem.Values(values), &at, true, true),
              0u);
    EXPECT_TRUE(problem.Posted(SimResultsMgr::kNewFileNumber));
    manager.AfterRunStep(1.5, 1, 1, RunResultsSeam::kStepEvent, 1.5, 1e-9, false);
    std::uint32_t id = 0;
    ASSERT_EQ(manager.TakeNamedSnapshot("first", &id, true, false), 0u);
  }

  static std::vector<std::string> SnapshotFiles() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator("."))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(ResultsManager, ReusesTheLastSnapshotOfTheSameVariables) {
  FirstRun({"a", "b", "c"}, {1, 2, 3});
  FakeProblem problem({"a", "b", "c"});
  SimResultsMgr manager(&problem);
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(3, problem.Values({0, 0, 0}), &at, true, true), 0u);
  EXPECT_TRUE(problem.Posted(SimResultsMgr::kReusedNumber));
  EXPECT_FALSE(problem.Posted(SimResultsMgr::kNewFileNumber));
  EXPECT_EQ(problem.restored, (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(at.time, 1.5);
  EXPECT_EQ(at.run, 1);
  EXPECT_EQ(manager.Values()->Record(2).payload.real, 3.0);
  EXPECT_EQ(SnapshotFiles(), (std::vector<std::string>{"snapshot.snp"}));
}

TEST_F(ResultsManager, ValuesFollowTheirVariablesInAnotherOrder) {
  FirstRun({"a", "b", "c"}, {1, 2, 3});
  FakeProblem problem({"c", "a", "b"});
  SimResultsMgr manager(&problem);
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(3, problem.Values({0, 0, 0}), &at, true, true), 0u);
  EXPECT_TRUE(problem.Posted(SimResultsMgr::kReusedNumber));
  EXPECT_EQ(problem.restored, (std::vector<double>{3, 1, 2}));
  EXPECT_EQ(SnapshotFiles(), (std::vector<std::string>{"snapshot.snp"}));
  // The re-mapped file reopens in the new order without another mapping.
  std::uint32_t id = 0;
  EXPECT_EQ(manager.TakeNamedSnapshot("second", &id, true, false), 0u);
}

TEST_F(ResultsManager, AnotherStructureKeepsTheOldFileUnderAFreeName) {
  FirstRun({"a", "b", "c"}, {1, 2, 3});
  const Bytes old = ReadAll("snapshot.snp");
  FakeProblem problem({"a", "b", "d"});
  SimResultsMgr manager(&problem);
  RunPosition at;
  manager.OpenSnapshotFile(3, problem.Values({0, 0, 0}), &at, true, true);
  EXPECT_TRUE(problem.Posted(SimResultsMgr::kCannotMapNumber));
  EXPECT_TRUE(problem.restored.empty());
  ASSERT_EQ(problem.renamed.size(), 1u);
  EXPECT_EQ(ReadAll(problem.renamed[0]), old);
  EXPECT_TRUE(fs::exists("snapshot.snp"));
}

TEST_F(ResultsManager, AllTemporaryNamesTakenFallsBackWithoutLoss) {
  FirstRun({"a", "b"}, {1, 2});
  const Bytes old = ReadAll("snapshot.snp");
  char name[32];
  for (int i = 0; i < 100; ++i) {
    std::snprintf(name, sizeof name, "snaptmp%02d.snp", i);
    WriteAll(name, {1, 2, 3});
  }
  FakeProblem problem({"b", "a"});
  SimResultsMgr manager(&problem);
  RunPosition at;
  manager.OpenSnapshotFile(2, problem.Values({0, 0}), &at, true, true);
  bool unmapped = false;
  for (const auto& e : problem.events)
    unmapped |= e.first == 0 && e.second == "Unable to map old snapshot to current problem";
  EXPECT_TRUE(unmapped);
  ASSERT_EQ(problem.renamed.size(), 1u);
  EXPECT_EQ(ReadAll(problem.renamed[0]), old);
  EXPECT_EQ(ReadAll("snaptmp57.snp"), (Bytes{1, 2, 3}));
  EXPECT_EQ(SnapshotFiles().size(), 100u + 2u);
}

TEST_F(ResultsManager, ProblemEditedMovesTheFileAsideWithoutDeletingAnother) {
  FirstRun({"a"}, {4});
  WriteAll("snpA0000.snp", {9, 9});
  FakeProblem problem({"a"});
  SimResultsMgr manager(&problem);
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(1, problem.Values({0}), &at, true, false), 0u);
  const Bytes live = ReadAll("snapshot.snp");
  EXPECT_EQ(manager.ProblemEdited(), 0u);
  ASSERT_EQ(problem.renamed.size(), 1u);
  EXPECT_NE(problem.renamed[0], "snpA0000.snp");
  EXPECT_EQ(ReadAll("snpA0000.snp"), (Bytes{9, 9}));
  EXPECT_EQ(ReadAll(problem.renamed[0]), live);
  EXPECT_FALSE(fs::exists("snapshot.snp"));
}

TEST_F(ResultsManager, StartNewFilesAndSaveFilesKeepEverySnapshotFile) {
  FakeProblem problem({"a", "b"});
  SimResultsMgr manager(&problem);
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(2, problem.Values({1, 2}), &at, false, false), 0u);
  std::uint32_t id = 0;
  ASSERT_EQ(manager.TakeNamedSnapshot("kept", &id, true, false), 0u);
  ASSERT_TRUE(status::IsSuccess(manager.SaveFiles()));
  EXPECT_TRUE(fs::exists("snapshot.bak"));
  // A file that does not open is moved aside, never written over.
  WriteAll("snapshot.snp", {0xDE, 0xAD});
  manager.Store().Clear(true);
  EXPECT_EQ(manager.StartNewFiles(".", "x"), 0u);
  ASSERT_EQ(problem.renamed.size(), 1u);
  EXPECT_EQ(ReadAll(problem.renamed[0]), (Bytes{0xDE, 0xAD}));
  EXPECT_TRUE(fs::exists("snapshot.snp"));
  ASSERT_EQ(manager.TakeNamedSnapshot("after", &id, true, false), 0u);
  EXPECT_EQ(manager.SaveAs(".", "y"), 0u);
  EXPECT_FALSE(manager.Store().IsOpen());
  EXPECT_TRUE(fs::exists("snapshot.snp"));
}

TEST(ResultsIntervals, ReadBackRefusalsAndTheHold) {
  FakeProblem problem({"a"});
  SimResultsMgr manager(&problem);
  EXPECT_EQ(manager.SetCommunicationInterval(0.1f), 0u);
  EXPECT_EQ(manager.CommunicationInterval(), 0.1);
  EXPECT_EQ(manager.CommunicationsPerSnapshot(), 20u);
  for (float bad : {4e-7f, 0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()}) {
    EXPECT_EQ(manager.SetCommunicationInterval(bad), status::kBadArguments) << bad;
    EXPECT_EQ(manager.CommunicationInterval(), 0.1);
  }
  EXPECT_EQ(manager.SetCommunicationInterval(3.4e38f), 0u);
  EXPECT_EQ(manager.CommunicationsPerSnapshot(), 0u);
  manager.SetCommunicationInterval(0.5f);
  manager.SetIntervalHold(1);
  EXPECT_EQ(manager.SetCommunicationInterval(0.25f), 0u);
  EXPECT_EQ(manager.CommunicationInterval(), 0.5);
  EXPECT_EQ(manager.RequestedInterval(), 0.25);

  manager.SetCommunicationTime(0);
  EXPECT_EQ(manager.NextCommunicationTime(), 0.5);
  EXPECT_EQ(manager.NextCommunicationTime(), 1.0);
  manager.SetCommunicationTime(2.0);
  EXPECT_EQ(manager.NextCommunicationTime(), 2.5);

  EXPECT_EQ(manager.SetSnapshotFlags(0, -1, true, 1.0f), status::kBadArguments);
  EXPECT_EQ(manager.SetSnapshotFlags(1, -1, true, 0.0f), status::kBadArguments);
  EXPECT_EQ(manager.SnapshotFlags(), 0u);
  EXPECT_EQ(manager.SetSnapshotFlags(1, 5, true, 2.0f), 0u);
  EXPECT_EQ(manager.SnapshotInterval(), 2.0);
  EXPECT_EQ(manager.CommunicationsPerSnapshot(), 4u);
  EXPECT_EQ(manager.SetSnapshotFlags(0x12, -1, false, 0), 0u);
  EXPECT_EQ(manager.SnapshotFlags(), 0x12u);
}

struct StepCase {
  std::uint32_t step_flags;
  std::uint32_t snapshot_flags;
  double time;
  const char* name;  // "" for none
  bool event;
};

TEST_F(ResultsManager, AutomaticSnapshotRules) {
  using S = RunResultsSeam;
  const StepCase cases[] = {
      {S::kStepCommunication | S::kStepRecorded, 0x1, 1, "Timed Snapshot", true},
      {S::kStepCommunication | S::kStepRecorded | S::kStepSteadyState, 0x1, 1, "Steady State",
       true},
      {S::kStepCommunication | S::kStepRecorded, 0x1 | 0x4, 1, "", true},
      {S::kStepCommunication, 0x1, 1, "", false},
      {S::kStepSteadyState, 0x10, 1, "Steady State", true},
      {S::kStepSteadyState, 0x10 | 0x8, 1, "", true},
      {S::kStepSteadyState, 0, 1, "", true},
      {S::kStepInitialisationRun, 0x20, 1, "Initialization Run", true},
      {S::kStepInitialisation, 0x2, 1, "Dynamic Initialization", true},
      {S::kStepInitialisation, 0x40, 1, "", true},
      {S::kStepInitialisation, 0x40, 0, "Dynamic Initialization", true},
      {S::kStepInitialisation | S::kStepRewind, 0x40, 0, "Rewind Initialization", true},
      {S::kStepInitialisation, 0x40 | 0x4, 0, "", true},
      {S::kStepEvent, 0xFF, 1, "", true},
  };
  FakeProblem problem({"a"});
  SimResultsMgr manager(&problem);
  EXPECT_FALSE(manager.AfterRunStep(1, 0, 0, S::kStepSteadyState, 1, 1e-9, false));  // no value table
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(1, problem.Values({1}), &at, false, false), 0u);
  for (const StepCase& c : cases) {
    manager.SetSuppressFlag(0x8, false);
    manager.SetSnapshotFlags(c.snapshot_flags, -1, (c.snapshot_flags & 0x1) != 0, 0.1f);
    EXPECT_EQ(manager.AfterRunStep(c.time, 2, 0, c.step_flags, c.time, 1e-9, false), c.event)
        << c.step_flags << "/" << c.snapshot_flags;
    EXPECT_EQ(manager.LastRequestedName(), c.name) << c.step_flags << "/" << c.snapshot_flags;
    EXPECT_EQ(manager.TimedCounter(), 0u);
  }
  // Outside the tolerance nothing is chosen, and the step is no event.
  manager.SetSuppressFlag(0x8, false);
  manager.SetSnapshotFlags(0x10, -1, false, 0);
  EXPECT_FALSE(manager.AfterRunStep(1, 2, 0, S::kStepSteadyState, 1.5, 1e-9, false));
  EXPECT_EQ(manager.LastRequestedName(), "");
  // The counter counts communications up to the limit.
  manager.AfterRunStep(0, 2, 1, S::kStepEvent, 0, 1e-9, false);
  manager.SetCommunicationInterval(0.5f);
  manager.SetSnapshotFlags(0x1, -1, true, 2.0f);
  for (int i = 1; i <= 4; ++i) {
    manager.AfterRunStep(i * 0.5, 2, 1, S::kStepCommunication | S::kStepRecorded, i * 0.5, 1e-9, false);
    EXPECT_EQ(manager.LastRequestedName(), i == 4 ? "Timed Snapshot" : "") << i;
  }
}

}  // namespace

namespace {

TEST_F(ResultsManager, NotifiedSnapshotsCarryTheirValuesOrTheirText) {
  FakeProblem problem({"a", "b"});
  SimResultsMgr manager(&problem);
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(2, problem.Values({1.5, -2}), &at, false, false), 0u);
  manager.AfterRunStep(0.25, 3, 2, RunResultsSeam::kStepEvent, 0.25, 1e-9, false);
  std::uint32_t id = 0;
  ASSERT_EQ(manager.TakeNamedSnapshot("Steady State", &id, true, false, true), 0u);
  ASSERT_EQ(problem.notices.size(), 1u);
  ASSERT_EQ(problem.taken.size(), 1u);
  EXPECT_EQ(problem.taken[0].second, id);
  // Header: kind 139, id, name, empty description (24-bit lengths that
  // count the NUL), date, time of day
  // (7 Dec 2026, 13:45:30), time, run, count; then the tree and the values.
  const Bytes head = testsupport::HexBytes(
      "8B 00 01 00 00 00 0D 00 00 53 74 65 61 64 79 20 53 74 61 74 65 00 01 00 00 00"
      "07 0C 1A 14 1E 2D 0D 00 00 00 00 00 00 00 D0 3F 03 00 02 00");
  const Bytes& body = problem.notices[0];
  ASSERT_GE(body.size(), head.size());
  EXPECT_TRUE(testsupport::SameBytes(head, Bytes(body.begin(), body.begin() + head.size())));
  SimSnapshotTextRecord record;
  auto received = testsupport::ReceivedBody(body);
  ASSERT_EQ(record.ReadFromMessage(*received), 0u);
  EXPECT_EQ(record.Values().Count(), 2);
  EXPECT_EQ(record.Values().Record(1).payload.real, -2.0);

  problem.wants_text = true;
  ASSERT_EQ(manager.TakeNamedSnapshot("As text", &id, true, false, true), 0u);
  ASSERT_EQ(problem.notices.size(), 2u);
  SimSnapshotTextRecord text_notice;
  auto text_received = testsupport::ReceivedBody(problem.notices[1]);
  ASSERT_EQ(text_notice.ReadFromMessage(*text_received), 0u);
  EXPECT_EQ(text_notice.kind, SimResultsMgr::kTextKind);
  ASSERT_EQ(text_notice.text.substr(0, 3), "RES");
  ASSERT_EQ(text_notice.text.substr(text_notice.text.size() - 4), ".tmp");
  const Bytes file = ReadAll(text_notice.text);
  record.id = id;
  record.name = "As text";
  EXPECT_EQ(std::string(file.begin(), file.end()), SnapshotText(record));
  EXPECT_NE(
      std::string(file.begin(), file.end()).find("WITHIN Plant\r\na: 1.500000000000000, FREE;"),
      std::string::npos);
}

TEST(ResultsCommands, IntervalCommandsComeThroughTheService) {
  FakeProblem problem({"a"});
  SimResultsMgr manager(&problem);
  const double reals[] = {0.25};
  const std::int32_t integers[] = {0x11, 3};
  EXPECT_EQ(manager.HandleCommand(55, 32, 0, nullptr, 0, nullptr, 1, reals), 0u);
  EXPECT_EQ(manager.CommunicationInterval(), 0.25);
  EXPECT_EQ(manager.HandleCommand(55, 32, 0, nullptr, 0, nullptr, 0, nullptr),
            status::kBadArguments);
  EXPECT_EQ(manager.HandleCommand(55, 16, 0, nullptr, 2, integers, 1, reals), 0u);
  EXPECT_EQ(manager.SnapshotFlags(), 0x11u);
  EXPECT_EQ(manager.SnapshotInterval(), 0.25);
  const double zero[] = {1e-9};
  EXPECT_EQ(manager.HandleCommand(55, 16, 0, nullptr, 1, integers, 1, zero), status::kBadArguments);
  EXPECT_EQ(manager.HandleCommand(55, 99, 0, nullptr, 0, nullptr, 0, nullptr), status::kUnhandled);
}

}  // namespace

namespace {

TEST_F(ResultsManager, InitialSpecificationRestoreAndTheOption154Rule) {
  FakeProblem problem({"a", "b"});
  problem.block = {1, 2, 3};
  SimResultsMgr manager(&problem);
  RunPosition at;
  EXPECT_EQ(manager.TakeInitialSpecificationSnapshot(&at), 0x8000FFFFu);  // no value table
  ASSERT_EQ(manager.OpenSnapshotFile(2, problem.Values({4, 5}), &at, false, false), 0u);
  manager.SetSnapshotFlags(SimResultsMgr::kInitialSpecification, -1, false, 0);
  at = {0.0, 0, 0};
  ASSERT_EQ(manager.TakeInitialSpecificationSnapshot(&at), 0u);
  EXPECT_EQ(at.count, 1);
  std::uint32_t id = 0;
  ASSERT_EQ(manager.FindSnapshotByName("Initial Specification", &id), 0u);

  // Before a run, with option 154, a plain snapshot is not taken.
  problem.options[154] = 1;
  const std::int32_t before = manager.Store().HeaderCount();
  EXPECT_EQ(manager.TakeNamedSnapshot("plain", nullptr, true, false), 0u);
  EXPECT_EQ(manager.Store().HeaderCount(), before);
  EXPECT_EQ(manager.TakeNamedSnapshot("kept", nullptr, true, true), 0u);
  EXPECT_EQ(manager.Store().HeaderCount(), before + 1);

  manager.Values()->Record(0).payload.real = 99;
  RunPosition restored;
  problem.confirm_answer = status::kGeneralFailure;  // the client never answers
  problem.block = {9, 9, 9};
  ASSERT_EQ(manager.RestoreSnapshot(id, &restored), 0u);
  ASSERT_EQ(problem.confirmations.size(), 1u);
  EXPECT_EQ(problem.confirmations[0], std::make_pair(id, 30000));
  EXPECT_NE(problem.printed.back().find("within 30 s"), std::string::npos);
  EXPECT_EQ(problem.restored, (std::vector<double>{4, 5}));
  EXPECT_EQ(manager.Values()->Record(0).payload.real, 4.0);
  EXPECT_EQ(problem.block, (std::vector<std::uint8_t>{1, 2, 3}));
}

}  // namespace

namespace {

TEST_F(ResultsManager, SaveFilesBacksUpThePlotHistoryOnlyWhenAsked) {
  plottest::FakeModel model;
  plottest::FakeVariable* x = model.Add("Plant.x", 1.0);
  FakeProblem problem({"a"});
  problem.model = &model;
  problem.current_time = 10;
  SimResultsMgr manager(&problem);
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(1, problem.Values({1}), &at, false, false), 0u);
  ASSERT_NE(manager.PlotHistory(), nullptr);
  ASSERT_EQ(manager.RestartPlotHistory(true), 0u);
  ASSERT_EQ(manager.PlotHistory()->AddVariable(x), 0u);
  // A steady state starts the recording; later steps record.
  manager.AfterRunStep(0, 1, 1, RunResultsSeam::kStepSteadyState, 0, 1e-9, false);
  x->value = 2.0;
  manager.AfterRunStep(1, 1, 1, RunResultsSeam::kStepEvent, 1, 1e-9, false);
  EXPECT_EQ(manager.PlotHistory()->LastTime(), 1.0);
  std::uint32_t id = 0;
  ASSERT_EQ(manager.TakeNamedSnapshot("one", &id, true, false), 0u);

  WriteAll("PlotData.bak", {1});
  EXPECT_TRUE(status::IsSuccess(manager.SaveFiles()));
  EXPECT_TRUE(fs::exists("snapshot.bak"));
  EXPECT_FALSE(fs::exists("PlotData.bak"));
  problem.options[155] = 1;
  EXPECT_TRUE(status::IsSuccess(manager.SaveFiles()));
  EXPECT_TRUE(fs::exists("PlotData.bak"));
  EXPECT_EQ(fs::file_size("PlotData.bak"), fs::file_size("PlotData.cpd"));
}

}  // namespace
