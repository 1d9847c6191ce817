#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "results/snapshots/snap_import.h"
#include "tests/results/results_mgr_fakes.h"
#include "tests/results/snapshot_fakes.h"

namespace {

namespace fs = std::filesystem;
using resultstest::FakeProblem;
using testsupport::Bytes;

const std::vector<std::string> kNames = {"a", "b", "c"};

// Three snapshots of the variables a, b, c: snapshot k holds k, 10k, 100k.
Bytes ImportMessage(int count) {
  FakeProblem problem(kNames);
  std::vector<SputSSBlockHeader> headers(static_cast<std::size_t>(count));
  std::vector<std::unique_ptr<SUPackedValueTable>> tables;
  std::vector<const SputSSBlockHeader*> header_list;
  std::vector<const SUPackedValueTable*> table_list;
  for (int k = 1; k <= count; ++k) {
    SputSSBlockHeader& h = headers[static_cast<std::size_t>(k - 1)];
    h.SetName(("imported " + std::to_string(k)).c_str());
    h.SetDescription(k == 2 ? "" : "from the client");
    h.SetRunPosition({0.5 * k, static_cast<std::uint16_t>(k), static_cast<std::int16_t>(k + 1)});
    h.flags = snapshot::kLiveFlag | static_cast<std::uint32_t>(40 + k);
    h.date[0] = static_cast<std::uint8_t>(k);
    h.date[1] = 6;
    h.date[2] = 26;
    h.date[3] = 20;
    h.time_of_day[2] = 9;
    tables.push_back(problem.Values({1.0 * k, 10.0 * k, 100.0 * k}));
    header_list.push_back(&h);
    table_list.push_back(tables.back().get());
  }
  DseMessage sent(55, DseMessage::kRequest);
  EXPECT_EQ(SputSnapImport::Write(sent, header_list, table_list, problem.VariableTree()), 0u);
  return testsupport::BodyOf(sent);
}

class SnapshotImport : public snaptest::SnapshotFolder {};

TEST_F(SnapshotImport, ThreeSnapshotsBecomeAFileTheManagerReopensAndRestores) {
  auto received = testsupport::ReceivedBody(ImportMessage(3));
  Status read = 1;
  SputSnapImport import(*received, &read);
  ASSERT_EQ(read, 0u);
  ASSERT_EQ(import.Count(), 3);
  ASSERT_EQ(import.CreateFile("snapshot.snp"), 0u);

  FakeProblem problem(kNames);
  SimResultsMgr manager(&problem);
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(3, problem.Values({0, 0, 0}), &at, true, false), 0u);
  SputSnapshotMgr& store = manager.Store();
  ASSERT_EQ(store.HeaderCount(), 3);
  int k = 3;  // newest first
  for (const SputSSBlockHeader* h = store.FirstHeader(); h != nullptr;
       h = SputSnapshotMgr::NextHeader(h), --k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(std::string(h->name), "imported " + std::to_string(k));
    EXPECT_EQ(std::string(h->description), k == 2 ? "" : "from the client");
    EXPECT_EQ(h->Id(), 40u + static_cast<std::uint32_t>(k));
    EXPECT_EQ(h->date[0], k);
    EXPECT_EQ(h->time_of_day[2], 9);
    EXPECT_EQ(h->time, 0.5 * k);
    EXPECT_EQ(h->run, k);
    EXPECT_EQ(h->count, k + 1);
    RunPosition restored;
    ASSERT_EQ(store.RestoreSnapshot(h->Id(), &restored, SputSnapshotMgr::kAllParticipants, false),
              0u);
    ASSERT_EQ(manager.RestoreSnapshotValues(restored, &at), 0u);
    EXPECT_EQ(problem.restored, (std::vector<double>{1.0 * k, 10.0 * k, 100.0 * k}));
  }
  EXPECT_EQ(k, 0);
}

TEST_F(SnapshotImport, NoSnapshotsGiveRecordsAndAnEndMarkerOnly) {
  auto received = testsupport::ReceivedBody(ImportMessage(0));
  Status read = 1;
  SputSnapImport import(*received, &read);
  ASSERT_EQ(read, 0u);
  ASSERT_EQ(import.CreateFile("empty.snp"), 0u);
  SputSnapshotMgr store;
  snaptest::FakeParticipant p{1000};
  store.AddParticipant(&p);
  EXPECT_TRUE(fs::exists("empty.snp"));
  store.OpenFile("empty.snp", nullptr, false);
  EXPECT_EQ(store.HeaderCount(), 0);
}

TEST_F(SnapshotImport, ACutMessageFailsAndWritesNoFile) {
  const Bytes body = ImportMessage(2);
  for (std::size_t cut = 0; cut < body.size(); ++cut) {
    auto received = testsupport::ReceivedBody({body.begin(), body.begin() + cut});
    Status read = 0;
    SputSnapImport import(*received, &read);
    EXPECT_TRUE(status::IsFailure(read)) << "cut at " << cut;
    EXPECT_TRUE(status::IsFailure(import.CreateFile("cut.snp")));
    ASSERT_FALSE(fs::exists("cut.snp")) << "cut at " << cut;
  }
}

}  // namespace
