// The results manager's event-schedule section, its command 40, the plot
// history's variables through the manager as their finder, and the use
// manager's trees.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "results/manager/results_mgr.h"
#include "results/use/use_mgr.h"
#include "tests/results/plot_model_fakes.h"
#include "tests/results/results_mgr_fakes.h"
#include "tests/results/snapshot_fakes.h"
#include "tests/results/snapshot_text_fakes.h"

namespace {

namespace fs = std::filesystem;
using resultstest::FakeProblem;

// A problem whose event schedule holds one entry per named event.
class EventProblem : public FakeProblem {
 public:
  EventProblem(std::vector<std::string> names, const std::vector<std::string>& events,
               std::vector<std::uint32_t> entries)
      : FakeProblem(std::move(names)), schedule(std::move(entries)) {
    events_ = new BvuDirectoryProper(nullptr, "");
    for (std::size_t i = 0; i < events.size(); ++i)
      snaptext::AddUseData(events_, {"Schedule", "." + events[i]}, static_cast<std::uint32_t>(i),
                           1);
  }
  ~EventProblem() override {
    BvuDirectoryProper::DeleteBelow(events_);
    delete events_;
  }
  BvuDirectoryProper* EventTree() override { return events_; }
  std::vector<std::uint32_t>* EventSchedule() override { return &schedule; }
  Status RestoreEventSchedule(const std::vector<std::uint32_t>& entries) override {
    restored_events = entries;
    return 0;
  }
  std::int32_t ValueIndex(const ResultVariable* variable) override {
    for (std::size_t i = 0; i < indexed.size(); ++i)
      if (indexed[i] == variable) return static_cast<std::int32_t>(i);
    return -1;
  }

  std::vector<std::uint32_t> schedule;
  std::vector<std::uint32_t> restored_events;
  std::vector<const ResultVariable*> indexed;

 private:
  BvuDirectoryProper* events_;
};

class ResultsSections : public snaptest::SnapshotFolder {
 protected:
  void FirstRun(const std::vector<std::string>& events) {
    EventProblem problem({"a", "b"}, events, {10, 20, 30});
    SimResultsMgr manager(&problem);
    RunPosition at;
    ASSERT_EQ(manager.OpenSnapshotFile(2, problem.Values({1, 2}), &at, true, true), 0u);
    EXPECT_EQ(manager.EventCount(), 3u);
    manager.AfterRunStep(2.5, 1, 1, RunResultsSeam::kStepEvent, 2.5, 1e-9, false);
    ASSERT_EQ(manager.TakeNamedSnapshot("events", nullptr, true, false), 0u);
  }
};

TEST_F(ResultsSections, TheEventScheduleIsRestoredInTheSameOrder) {
  FirstRun({"e1", "e2", "e3"});
  EventProblem problem({"a", "b"}, {"e1", "e2", "e3"}, {0, 0, 0});
  SimResultsMgr manager(&problem);
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(2, problem.Values({0, 0}), &at, true, true), 0u);
  EXPECT_TRUE(problem.Posted(SimResultsMgr::kReusedNumber));
  EXPECT_EQ(problem.restored_events, (std::vector<std::uint32_t>{10, 20, 30}));
  EXPECT_EQ(problem.restored, (std::vector<double>{1, 2}));
}

TEST_F(ResultsSections, EntriesFollowTheirEventsInAnotherOrder) {
  FirstRun({"e1", "e2", "e3"});
  EventProblem problem({"a", "b"}, {"e3", "e1", "e2"}, {0, 0, 0});
  SimResultsMgr manager(&problem);
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(2, problem.Values({0, 0}), &at, true, true), 0u);
  EXPECT_TRUE(problem.Posted(SimResultsMgr::kReusedNumber));
  EXPECT_EQ(problem.restored_events, (std::vector<std::uint32_t>{30, 10, 20}));
  // Re-mapped through a temporary file that no longer exists.
  EXPECT_FALSE(fs::exists("snaptmp00.snp"));
}

TEST_F(ResultsSections, AnEventThatIsNewRefusesTheFileAndKeepsIt) {
  FirstRun({"e1", "e2", "e3"});
  EventProblem problem({"a", "b"}, {"e1", "e2", "other"}, {0, 0, 0});
  SimResultsMgr manager(&problem);
  RunPosition at;
  manager.OpenSnapshotFile(2, problem.Values({0, 0}), &at, true, true);
  EXPECT_TRUE(problem.Posted(SimResultsMgr::kCannotMapNumber));
  EXPECT_TRUE(problem.restored_events.empty());
  ASSERT_EQ(problem.renamed.size(), 1u);
  EXPECT_TRUE(fs::exists(problem.renamed[0]));
}

TEST_F(ResultsSections, ASectionOfAnotherLengthIsRefusedAndNothingReadPastIt) {
  EventProblem problem({"a"}, {"e1", "e2"}, {5, 6});
  SimResultsMgr manager(&problem);
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(1, problem.Values({1}), &at, false, false), 0u);
  const std::uint8_t bytes[12] = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
  const std::uint8_t* converted = nullptr;
  std::uint32_t length = 0;
  EXPECT_NE(manager.ConvertSection(3, bytes, 12, &converted, &length), 0u);
  EXPECT_EQ(manager.ConvertSection(3, bytes, 0, &converted, &length), 0u);
  EXPECT_EQ(length, 0u);
  // The restore takes no more entries than the section holds.
  EXPECT_EQ(manager.RestoreSection(3, bytes, 4), 0u);
  EXPECT_EQ(problem.restored_events, (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(manager.RestoreSection(3, bytes, 12), 0u);
  EXPECT_EQ(problem.restored_events, (std::vector<std::uint32_t>{1, 2}));
}

TEST_F(ResultsSections, EveryTakenSnapshotIsAnnouncedByCommand40) {
  FakeProblem problem({"a", "b"});
  SimResultsMgr manager(&problem);
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(2, problem.Values({1, 2}), &at, false, false), 0u);
  manager.AfterRunStep(0.75, 3, 2, RunResultsSeam::kStepEvent, 0.75, 1e-9, false);
  std::uint32_t id = 0;
  ASSERT_EQ(manager.TakeNamedSnapshot("kept one", &id, false, true), 0u);
  ASSERT_EQ(problem.taken.size(), 1u);
  EXPECT_EQ(problem.taken[0].first, "kept one");
  EXPECT_EQ(problem.taken[0].second, id);
  EXPECT_EQ(problem.taken_commands[0], SimResultsMgr::kTakenCommand);
  const std::vector<std::int32_t> expected = {static_cast<std::int32_t>(id), 0, 1,
                                              manager.Position().run, manager.Position().count};
  EXPECT_EQ(problem.taken_integers[0], expected);
  EXPECT_EQ(problem.taken_times[0], 0.75);
  // A snapshot the option-154 rule skips is not announced.
  problem.options[154] = 1;
  SimResultsMgr idle(&problem);
  EXPECT_EQ(idle.TakeNamedSnapshot("skipped", nullptr, true, false), 0u);
  EXPECT_EQ(problem.taken.size(), 1u);
}

TEST_F(ResultsSections, FinderValuesComeFromTheTableAndAreHeldToWhatAPlotCanHold) {
  plottest::FakeModel model;
  plottest::FakeVariable* a = model.Add("a", 7.0);
  plottest::FakeVariable* b = model.Add("b", std::numeric_limits<double>::infinity());
  EventProblem problem({"a"}, {}, {});
  problem.model = &model;
  problem.indexed = {a};
  SimResultsMgr manager(&problem);
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(1, problem.Values({3.5}), &at, false, false), 0u);
  SimResultsFinder& finder = manager.Finder();
  double value = 0;
  ASSERT_EQ(finder.Wrap(a)->GetValue(&value), 0u);
  EXPECT_EQ(value, 3.5);  // the table's record, not the variable's own
  ASSERT_EQ(finder.Wrap(b)->GetValue(&value), 0u);
  EXPECT_EQ(value, static_cast<double>(SimResultsFinder::kStandIn));
  EXPECT_EQ(finder.Wrap(a), finder.Wrap(a));
  EXPECT_EQ(finder.Wrap(a)->Id(), a->Id());

  const double big = static_cast<double>(SimResultsFinder::kLargest);
  EXPECT_EQ(SimResultsFinder::Clamp(std::nan("")), static_cast<double>(SimResultsFinder::kStandIn));
  EXPECT_EQ(SimResultsFinder::Clamp(-std::numeric_limits<double>::infinity()),
            -static_cast<double>(SimResultsFinder::kStandIn));
  EXPECT_EQ(SimResultsFinder::Clamp(big), big);
  EXPECT_EQ(SimResultsFinder::Clamp(-1e300), -static_cast<double>(SimResultsFinder::kStandIn));
  EXPECT_EQ(SimResultsFinder::Clamp(-2.5), -2.5);
}

TEST_F(ResultsSections, FinderPlotVariablesAreAddedAndRemovedThroughTheManager) {
  plottest::FakeModel model;
  plottest::FakeVariable* a = model.Add("a", 1.0);
  EventProblem problem({"a"}, {}, {});
  problem.model = &model;
  SimResultsMgr manager(&problem);
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(1, problem.Values({1}), &at, false, false), 0u);
  ASSERT_NE(manager.PlotHistory(), nullptr);
  ASSERT_EQ(manager.RestartPlotHistory(true), 0u);
  EXPECT_EQ(manager.AddPlotVariable(a), 0u);
  EXPECT_EQ(manager.PlotHistory()->EntryCount(), 1u);
  EXPECT_EQ(manager.RemovePlotVariable(a), 0u);
  EXPECT_EQ(manager.AddPlotVariable(nullptr), 0u);
}

TEST(UseManager, TreesAreOwnedAndOldTypeCodesTranslated) {
  SputSnapshotMgr owner;
  BvuDirectoryProper root(nullptr, "");
  SputUseMgr use(&owner, &root);
  EXPECT_EQ(use.Root(), &root);
  auto* tree = new BvuDirectoryProper(nullptr, "");
  SimUseData* x = snaptext::AddUseData(tree, {"U", ".x"}, 0, 1);
  SimUseData* y = snaptext::AddUseData(tree, {"U", ".y"}, 1, 1);
  x->type = 3;
  y->type = 11;
  y->elements = {4, 5};
  FixUseDataTypes(tree, 3);
  EXPECT_EQ(x->type, 3);
  FixUseDataTypes(tree, 1);
  EXPECT_EQ(x->type, 4);
  EXPECT_EQ(y->type, 16);
  EXPECT_EQ(y->elements, (std::vector<std::uint32_t>{SimUseData::kArray, SimUseData::kArray}));
  use.SetTree(tree);
  SUPackedValueTable values;
  use.SetValues(&values);
  EXPECT_EQ(use.Root(), tree);
  use.SetFileName("other.snp");
  EXPECT_EQ(use.Tree(), nullptr);
  EXPECT_EQ(use.Values(), nullptr);
  EXPECT_EQ(use.FileName(), "other.snp");
}

}  // namespace
