#include "control/managers/subsystem_manager.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// Records every call under its manager's tag and answers with a set status.
class Recorder : public QLNSubSystemManager {
 public:
  Recorder(std::vector<std::string>* log, std::string tag, Status answer = 0)
      : log_(log), tag_(std::move(tag)), answer_(answer) {}

  Status AttachProblem(const char* folder, const char* name) override {
    return Note("Attach " + std::string(folder) + " " + name);
  }
  Status ProblemEdited() override { return Note("Edited"); }
  Status DiscardProblem() override { return Note("Discard"); }
  Status ReleaseSolvers() override { return Note("Release"); }
  Status ProblemBuilt(std::int32_t v, std::int32_t e) override {
    return Note("Built " + std::to_string(v) + " " + std::to_string(e));
  }
  Status StartRun(std::int32_t mode) override { return Note("Run " + std::to_string(mode)); }
  Status SpareOperation(std::uint32_t value) override {
    return Note("Spare " + std::to_string(value));
  }
  Status DetachProblem(const char* folder, const char* sub) override {
    return Note("Detach " + std::string(folder) + " " + sub);
  }
  Status SaveFiles() override { return Note("Save"); }
  Status SaveAs(const char* folder, const char* name) override {
    return Note("SaveAs " + std::string(folder) + " " + name);
  }
  Status StartNewFiles(const char* folder, const char* name) override {
    return Note("New " + std::string(folder) + " " + name);
  }
  Status RewindTo(double time) override { return Note("Rewind " + std::to_string(time)); }

 private:
  Status Note(const std::string& what) {
    log_->push_back(tag_ + ":" + what);
    return answer_;
  }
  std::vector<std::string>* log_;
  std::string tag_;
  Status answer_;
};

struct Operation {
  const char* logged;
  std::function<Status(SimMasterManager&)> call;
};

const std::vector<Operation>& AllOperations() {
  static const std::vector<Operation> operations = {
      {"Attach w s", [](SimMasterManager& m) { return m.AttachProblem("w", "s"); }},
      {"Edited", [](SimMasterManager& m) { return m.ProblemEdited(); }},
      {"Discard", [](SimMasterManager& m) { return m.DiscardProblem(); }},
      {"Release", [](SimMasterManager& m) { return m.ReleaseSolvers(); }},
      {"Built 7 -3", [](SimMasterManager& m) { return m.ProblemBuilt(7, -3); }},
      {"Run 4", [](SimMasterManager& m) { return m.StartRun(4); }},
      {"Spare 4294967295", [](SimMasterManager& m) { return m.SpareOperation(0xFFFFFFFFu); }},
      {"Detach w NULL", [](SimMasterManager& m) { return m.DetachProblem("w", "NULL"); }},
      {"Save", [](SimMasterManager& m) { return m.SaveFiles(); }},
      {"SaveAs d n", [](SimMasterManager& m) { return m.SaveAs("d", "n"); }},
      {"New d n", [](SimMasterManager& m) { return m.StartNewFiles("d", "n"); }},
      {"Rewind 2.500000", [](SimMasterManager& m) { return m.RewindTo(2.5); }},
  };
  return operations;
}

class MasterTest : public testing::Test {
 protected:
  MasterTest() { SetMasterManager(&master); }
  SimMasterManager master;
  std::vector<std::string> log;
};

TEST_F(MasterTest, BroadcastStopsAtFirstFailureElseReturnsLastStatus) {
  struct Case {
    std::vector<Status> answers;
    Status expected;
    std::size_t called;
  };
  const Case cases[] = {
      {{}, 0u, 0},
      {{0, 0x80001234u, 0}, 0x80001234u, 2},
      {{0x80000001u, 0, 0}, 0x80000001u, 1},
      {{0, 3, 0x40000005u}, 0x40000005u, 3},
      {{7, 0, 0}, 0u, 3},
  };
  for (const Case& c : cases) {
    std::vector<std::unique_ptr<Recorder>> managers;
    for (std::size_t i = 0; i < c.answers.size(); ++i)
      managers.push_back(std::make_unique<Recorder>(&log, std::to_string(i), c.answers[i]));
    for (const Operation& op : AllOperations()) {
      log.clear();
      EXPECT_EQ(op.call(master), c.expected) << op.logged;
      ASSERT_EQ(log.size(), c.called) << op.logged;
      for (std::size_t i = 0; i < c.called; ++i)
        EXPECT_EQ(log[i], std::to_string(i) + ":" + op.logged);
    }
  }
  EXPECT_EQ(master.Count(), 0);
  QLNSubSystemManager plain;  // the base answers success to everything
  for (const Operation& op : AllOperations()) EXPECT_EQ(op.call(master), 0u) << op.logged;
}

TEST_F(MasterTest, DestructionKeepsOrderAndIgnoresStrangers) {
  auto first = std::make_unique<Recorder>(&log, "a");
  Recorder second(&log, "b");
  Recorder third(&log, "c");
  first.reset();
  SetMasterManager(nullptr);
  Recorder stranger(&log, "x");  // built without a master: never registered
  SetMasterManager(&master);
  master.Unregister(&stranger);
  master.ProblemEdited();
  EXPECT_EQ(log, (std::vector<std::string>{"b:Edited", "c:Edited"}));
}

TEST_F(MasterTest, GrowsByEightKeepingOrder) {
  std::vector<std::unique_ptr<Recorder>> managers;
  for (int i = 0; i < 9; ++i) {
    managers.push_back(std::make_unique<Recorder>(&log, std::to_string(i)));
    EXPECT_EQ(master.Capacity(), i < 8 ? 8u : 16u);
  }
  for (int i = 0; i < 9; ++i) EXPECT_EQ(master.At(i), managers[i].get());
}

// Destroys itself (or a neighbour) when told that the problem was edited.
class Leaver : public QLNSubSystemManager {
 public:
  Leaver(std::vector<std::string>* log, std::unique_ptr<QLNSubSystemManager>* victim)
      : log_(log), victim_(victim) {}
  Status ProblemEdited() override {
    log_->push_back("leaver");
    victim_->reset();
    return 0;
  }

 private:
  std::vector<std::string>* log_;
  std::unique_ptr<QLNSubSystemManager>* victim_;
};

TEST_F(MasterTest, ManagersLeavingDuringABroadcastSkipNobody) {
  // The leaver destroys itself, then (second round) the manager after it.
  std::unique_ptr<QLNSubSystemManager> first = std::make_unique<Recorder>(&log, "a");
  std::unique_ptr<QLNSubSystemManager> leaver;
  leaver = std::make_unique<Leaver>(&log, &leaver);
  std::unique_ptr<QLNSubSystemManager> after = std::make_unique<Recorder>(&log, "b");
  std::unique_ptr<QLNSubSystemManager> last = std::make_unique<Recorder>(&log, "c");
  EXPECT_EQ(master.ProblemEdited(), 0u);
  EXPECT_EQ(log, (std::vector<std::string>{"a:Edited", "leaver", "b:Edited", "c:Edited"}));
  EXPECT_EQ(master.Count(), 3);

  log.clear();
  std::unique_ptr<QLNSubSystemManager> neighbour_killer;
  neighbour_killer = std::make_unique<Leaver>(&log, &last);
  // Order now: a, b, c, killer; the killer removes c, which was told already.
  EXPECT_EQ(master.ProblemEdited(), 0u);
  EXPECT_EQ(log, (std::vector<std::string>{"a:Edited", "b:Edited", "c:Edited", "leaver"}));
  EXPECT_EQ(master.Count(), 3);
}

TEST(MasterPointer, ClearedWhenItsMasterGoes) {
  auto master = std::make_unique<SimMasterManager>();
  SetMasterManager(master.get());
  master.reset();
  EXPECT_EQ(GetMasterManager(), nullptr);
  QLNSubSystemManager late;  // no master: constructed and destroyed safely
}

}  // namespace
