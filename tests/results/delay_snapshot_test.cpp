// The delay manager's histories through the snapshot store: written in a
// snapshot as participant entries 4 and 5, restored directly into a manager
// with the same names, and through the name map into one whose names differ.
#include <memory>
#include <string>
#include <vector>

#include "daes/delays/delay_mgr.h"
#include "daes/instance/instance_node.h"
#include "daes/model/variable.h"
#include "tests/results/snapshot_fakes.h"

namespace {

using snaptest::FakeParticipant;

struct Delays {
  explicit Delays(const std::vector<std::string>& names)
      : root(new DAESInstanceNode(nullptr, nullptr)) {
    for (const auto& n : names) {
      auto* v = new DAESRealVariable(root, n.c_str());
      root->InsertChildAt(static_cast<std::int32_t>(vars.size()) + 1, v);
      vars.push_back(v);
      v->RegisterDelay();
    }
    mgr.InitHistory();
  }
  ~Delays() {
    BvuDirectoryProper::DeleteBelow(root);
    delete root;
  }
  SputSnapshotMgr::Participants With(std::vector<FakeParticipant>& others) {
    SputSnapshotMgr::Participants list;
    for (auto& p : others) list.push_back(&p);
    list.push_back(&mgr);
    list.push_back(&mgr);
    return list;
  }
  DelayMgr mgr;
  DAESInstanceNode* root;
  std::vector<DAESRealVariable*> vars;
};

class DelaySnapshots : public snaptest::SnapshotFolder {};

TEST_F(DelaySnapshots, HistoriesRoundTripDirectAndByName) {
  std::vector<FakeParticipant> others{FakeParticipant(1), FakeParticipant(2), FakeParticipant(3),
                                      FakeParticipant(4)};
  std::uint32_t id = snapshot::kNewId;
  const int rows = delays::kRows + 40;
  {
    Delays a({"x", "y"});
    SputSnapshotMgr store;
    for (SputSnapBase* p : a.With(others)) store.AddParticipant(p);
    ASSERT_EQ(store.CreateFile("delay.snp"), 0u);
    for (int k = 0; k < rows; ++k) {
      a.vars[0]->SetValue(k);
      a.vars[1]->SetValue(-k);
      a.mgr.RecordAll(0.1 * k);
    }
    ASSERT_EQ(store.TakeSnapshot({1.0, 1, 0}, "s", true, &id, false, nullptr), 0u);
    store.CloseFile();
  }
  {
    Delays b({"x", "y"});
    const auto list = b.With(others);
    SputSnapshotMgr store;
    ASSERT_EQ(store.OpenFile("delay.snp", &list, true), 0u);
    EXPECT_EQ(store.AllParticipantsReady(), 0);  // the second history never matches
    std::int32_t ready = 1;
    ASSERT_EQ(b.mgr.Ready(delays::kHistoryKind, &ready), 0u);
    EXPECT_EQ(ready, 1);
    ASSERT_EQ(store.RestoreSnapshot(id, nullptr, 0, false), 0u);
    const DelayHistory& h = b.mgr.History();
    ASSERT_EQ(h.RecordCount(), delays::kRows);
    // The wrapped ring comes back in time order from row 0.
    EXPECT_EQ(h.Oldest(), 0);
    EXPECT_DOUBLE_EQ(h.TimeAt(0), 0.1 * 40);
    EXPECT_EQ(h.ValueAt(2, delays::kRows - 1), -(rows - 1.0));
    store.NotifyRestoreDone();
    EXPECT_EQ(b.mgr.SavedNameCount(), 0);
  }
  Delays c({"Y", "z"});
  const auto list = c.With(others);
  SputSnapshotMgr store;
  ASSERT_EQ(store.OpenFile("delay.snp", &list, true), 0u);
  std::int32_t ready = 1;
  ASSERT_EQ(c.mgr.Ready(delays::kHistoryKind, &ready), 0u);
  EXPECT_EQ(ready, 0);
  // Not ready: the names differ, so the history goes through the name map.
  ASSERT_EQ(store.RewriteMapped("mapped.snp"), 0u);
  const DelayHistory& h = c.mgr.History();
  ASSERT_EQ(h.RecordCount(), delays::kRows);
  EXPECT_EQ(h.ValueAt(1, 0), -40.0);
  EXPECT_EQ(h.ValueAt(2, 0), 0.0);
}

}  // namespace
