// The snapshot store with fake participants: round trips, the limit on
// unkept snapshots, compaction, discarding restores, opening damaged files,
// the choice of new file names and the files written for other structures.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "snapshot_fakes.h"
#include "tests/framework/message_helpers.h"

namespace snaptest {
namespace {

using Names = std::vector<std::string>;

class SnapshotStore : public SnapshotFolder {
 protected:
  void SetUp() override {
    store_.AddParticipant(&a_);
    store_.AddParticipant(&b_);
    store_.AddParticipant(&c_);
    ASSERT_EQ(store_.CreateFile("store.snp"), 0u);
  }

  // Takes snapshot k with sections that tell k apart; returns its id.
  std::uint32_t Take(int k, const std::string& name, bool kept = false, std::int16_t count = 0,
                     double time = 0.0) {
    a_.section = SectionFor(k, 0, k % 3 == 0 ? 70000 : 16);
    b_.section = {};
    c_.section = SectionFor(k, 2, 5);
    std::uint32_t id = snapshot::kNewId;
    EXPECT_EQ(store_.TakeSnapshot({time, 1, count}, name.c_str(), true, &id, kept, nullptr), 0u);
    taken_[name] = k;
    return id;
  }

  // Restores every listed snapshot and compares it with what was taken.
  void ExpectAllRestore() {
    for (const SputSSBlockHeader* h = store_.FirstHeader(); h != nullptr;
         h = SputSnapshotMgr::NextHeader(h)) {
      SCOPED_TRACE(h->name);
      const int k = taken_.at(h->name);
      ASSERT_EQ(store_.RestoreSnapshot(h->Id(), nullptr, 0, false), 0u);
      EXPECT_EQ(a_.restored, SectionFor(k, 0, k % 3 == 0 ? 70000 : 16));
      EXPECT_TRUE(b_.restored.empty());
      EXPECT_EQ(c_.restored, SectionFor(k, 2, 5));
    }
  }

  FakeParticipant a_{1, 200}, b_{2}, c_{3, 10};
  SputSnapshotMgr store_;
  std::map<std::string, int> taken_;
};

TEST_F(SnapshotStore, RoundTripThroughEveryOperation) {
  const std::uint32_t s1 = Take(1, "Start", false, 1, 0.0);
  const std::uint32_t s2 = Take(2, "start", false, 2, 5.0);
  const std::uint32_t s3 = Take(3, "middle", false, 2, 2.5);
  const std::uint32_t s4 = Take(4, "end", false, 3, 9.0);
  EXPECT_EQ(a_.written_calls, 4);
  std::uint32_t id = 0;
  ASSERT_EQ(store_.FindSnapshotByName("START", &id), 0u);
  EXPECT_EQ(id, s2);  // newest first
  EXPECT_EQ(store_.FindSnapshotByName("none", &id), snapshot::kUnknownId);
  EXPECT_EQ(id, snapshot::kNewId);
  struct ByPosition {
    RunPosition at;
    std::uint32_t id;
  } positions[] = {
      {{-1.0, 1, 2}, s3}, {{5.0, 1, -1}, s2}, {{5.0, 1, 2}, s2}, {{5.0, 1, 3}, snapshot::kNewId}};
  for (const auto& p : positions) {
    store_.FindSnapshotByPosition(p.at, &id);
    EXPECT_EQ(id, p.id);
  }
  ASSERT_EQ(store_.KeepSnapshot(s1, "Kept start"), 0u);
  ASSERT_EQ(store_.SetSnapshotDescription(s3, "half way"), 0u);
  ASSERT_EQ(store_.DeleteSnapshot(s2), 0u);
  EXPECT_EQ(store_.DeleteSnapshot(s2), snapshot::kUnknownId);
  taken_["Kept start"] = 1;
  RunPosition at;
  ASSERT_EQ(store_.GetLatestPosition(&at, &id), 0u);
  EXPECT_EQ(id, s4);
  EXPECT_EQ(at.count, 3);

  // One participant only: the others hear nothing.
  a_.restore_calls = c_.restore_calls = 0;
  ASSERT_EQ(store_.RestoreSnapshot(s3, &at, 3, false), 0u);
  EXPECT_EQ(c_.restored, SectionFor(3, 2, 5));
  EXPECT_EQ(a_.restore_calls, 0);
  EXPECT_EQ(store_.RestoreSnapshot(s3, &at, 99, false), snapshot::kUnknownId);
  EXPECT_EQ(store_.RestoreSnapshot(s2, &at, 0, false), snapshot::kUnknownId);
  EXPECT_EQ(at.run, 0);

  DseMessage written(60, DseMessage::kRequest);
  ASSERT_EQ(store_.ListSnapshots(&written), 0u);
  const testsupport::MessagePtr listing = testsupport::Received(written);
  std::uint32_t count = 0;
  ASSERT_EQ(listing->GetUInt24(&count), 0u);
  ASSERT_EQ(count, 3u);
  std::vector<SputSSBlockHeader> listed(count);
  for (auto& h : listed) ASSERT_EQ(h.ReadFromMessage(listing.get()), 0u);
  EXPECT_STREQ(listed[1].description, "half way");
  EXPECT_EQ(listed[2].Id(), s1);
  EXPECT_EQ(listed[0].DateWord(), store_.FirstHeader()->DateWord());
  const char* text = nullptr;
  EXPECT_EQ(store_.GetSnapshotName(s2, &text), snapshot::kUnknownIdQuiet);
  EXPECT_EQ(text, nullptr);

  // Reopened for participants in another order, one of them missing.
  const Names before = ListedNames(store_);
  store_.CloseFile();
  FakeParticipant c2(3), a2(1);
  const SputSnapshotMgr::Participants list{&c2, &a2};
  ASSERT_EQ(store_.OpenFile("store.snp", &list, true), 0u);
  EXPECT_EQ(ListedNames(store_), before);
  EXPECT_EQ(a2.mapped, a_.StructureBody());
  EXPECT_EQ(c2.mapped, c_.StructureBody());
  EXPECT_EQ(store_.ParticipantArray(), (SputSnapshotMgr::Participants{&a2, nullptr, &c2}));
  EXPECT_TRUE(store_.FirstHeader()->IsLive());
  EXPECT_TRUE(
      SputSnapshotMgr::NextHeader(SputSnapshotMgr::NextHeader(store_.FirstHeader()))->IsKept());
  ASSERT_EQ(store_.RestoreSnapshot(s3, nullptr, 0, false), 0u);
  EXPECT_EQ(a2.restored, SectionFor(3, 0, 70000));
  EXPECT_EQ(c2.restored, SectionFor(3, 2, 5));
  EXPECT_EQ(store_.HighestId(), s4);
}

TEST_F(SnapshotStore, MaximumDeletesOldestUnkeptAfterWriting) {
  store_.SetMaximumSnapshots(3);
  Take(1, "one");
  Take(2, "kept", true);
  Take(3, "two");
  Take(4, "three");
  EXPECT_EQ(ListedNames(store_), (Names{"three", "two", "kept", "one"}));
  Take(5, "four");
  EXPECT_EQ(ListedNames(store_), (Names{"four", "three", "two", "kept"}));
  ExpectAllRestore();
}

TEST_F(SnapshotStore, CompactionRunsAtFourFreedToSevenLive) {
  struct Case {
    int freed;
    bool compacts;
  } cases[] = {{4, true}, {3, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.freed);
    store_.CloseFile();
    std::filesystem::remove("store.snp");
    ASSERT_EQ(store_.CreateFile("store.snp"), 0u);
    const std::uint64_t records_end = store_.EndPosition();
    Notices().clear();
    std::vector<std::uint32_t> ids;
    for (int k = 1; k <= 6 + c.freed; ++k) ids.push_back(Take(k, SnapName(k), k == 2));
    for (int k = 0; k < c.freed; ++k) ASSERT_EQ(store_.DeleteSnapshot(ids[2 * k + 2]), 0u);
    ASSERT_EQ(store_.SetSnapshotDescription(ids[1], "kept one"), 0u);
    // Id, flags, name and description of every header, newest first.
    const auto fields = [this] {
      Names all;
      for (const SputSSBlockHeader* h = store_.FirstHeader(); h != nullptr;
           h = SputSnapshotMgr::NextHeader(h)) {
        char line[256];
        std::snprintf(line, sizeof line, "%08X/%s/%s", h->flags, h->name, h->description);
        all.push_back(line);
      }
      return all;
    };
    const Names before = ListedNames(store_);
    const Names fields_before = fields();
    Take(20, "s20");
    Names fields_after = fields();
    fields_after.erase(fields_after.begin());
    EXPECT_EQ(fields_after, fields_before);
    EXPECT_EQ(store_.HeaderCount(), 7);
    EXPECT_EQ(store_.FreedCount(), c.compacts ? 0 : c.freed);
    const Names notices{"16/0/Recovering free space in snapshot file, please wait...",
                        "16/0/  Snapshot file has been compressed."};
    EXPECT_EQ(Notices(), c.compacts ? notices : Names{});
    Names after = before;
    after.insert(after.begin(), "s20");
    EXPECT_EQ(ListedNames(store_), after);
    // Compacted: exactly the records, the live blocks and an end marker.
    std::uint64_t blocks = 0;
    for (const SputSSBlockHeader* h = store_.FirstHeader(); h != nullptr;
         h = SputSnapshotMgr::NextHeader(h)) {
      blocks += h->length;
    }
    const std::uint64_t size = std::filesystem::file_size("store.snp");
    EXPECT_EQ(size == records_end + blocks + snapshot::kHeaderSize, c.compacts);
    EXPECT_TRUE(store_.FirstHeader()->IsLive());
    EXPECT_FALSE(Exists("store.snp.compress"));
    EXPECT_FALSE(Exists("store.snp.compress.copy"));
    ExpectAllRestore();
  }
  // Asked for directly: success carries no failure bit but is not 0.
  EXPECT_EQ(store_.CompressFile("store.snp"), snapshot::kCompressed);
  EXPECT_EQ(store_.FreedCount(), 0);
  ExpectAllRestore();
}

TEST_F(SnapshotStore, DiscardNewerKeepsTheKeptAndReusesTheRest) {
  for (bool with_kept : {false, true}) {
    SCOPED_TRACE(with_kept);
    store_.CloseFile();
    std::filesystem::remove("store.snp");
    ASSERT_EQ(store_.CreateFile("store.snp"), 0u);
    Take(1, "one");
    const std::uint32_t two = Take(2, "two");
    Take(3, "three");
    const std::uint64_t after_two = store_.FirstHeader()->position;
    Take(4, "four", with_kept);
    Take(5, "five");
    RunPosition at;
    ASSERT_EQ(store_.RestoreSnapshot(two, &at, 0, true), 0u);
    EXPECT_TRUE(store_.DiscardingRestoreHappened());
    const Names expected = with_kept ? Names{"four", "two", "one"} : Names{"two", "one"};
    EXPECT_EQ(ListedNames(store_), expected);
    if (!with_kept) {
      EXPECT_EQ(store_.EndPosition(), after_two);  // the next block goes there
    }
    Take(6, "six");
    store_.CloseFile();
    ASSERT_EQ(store_.OpenFile("store.snp", nullptr, false), 0u);
    Names reopened = expected;
    reopened.insert(reopened.begin(), "six");
    EXPECT_EQ(ListedNames(store_), reopened);
    ExpectAllRestore();
  }
}

TEST_F(SnapshotStore, OpenFailuresNeverDeleteAFileThatMayHoldSnapshots) {
  Take(1, "one");
  Take(2, "two");
  const std::uint64_t records_end = SputSnapshotMgr::NextHeader(store_.FirstHeader())->position;
  const std::uint64_t second_block = store_.FirstHeader()->position;
  store_.CloseFile();
  const Bytes good = ReadAll("store.snp");
  Bytes version9 = good, garbage = good, first_damaged = good;
  version9[0] = 9;
  first_damaged[records_end] ^= 0x40;  // the first header's position field
  garbage[0] = 0xEF, garbage[1] = 0xBE, garbage[2] = 0xAD, garbage[3] = 0xDE;
  Bytes marker_only(good.begin(), good.begin() + records_end);
  SputSSBlockHeader marker = SputSSBlockHeader::EndMarker(records_end);
  marker_only.resize(records_end + snapshot::kHeaderSize);
  marker.Encode(marker_only.data() + records_end);
  std::filesystem::create_directory("folder.snp");
  struct Case {
    const char* name;
    Bytes bytes;
    Status status;
    bool kept;
    int listed;
  } cases[] = {
      {"v9.snp", version9, snapshot::kVersionTooNew, true, 0},
      {"garbage.snp", garbage, snapshot::kVersionTooNew, true, 0},
      {"second.snp", Bytes(good.begin(), good.begin() + second_block + 100), 0u, true, 1},
      {"damaged.snp", first_damaged, 0u, true, 0},
      {"marker.snp", marker_only, 0u, false, 0},
      {"records.snp", Bytes(good.begin(), good.begin() + records_end), snapshot::kNoUsableSnapshot,
       false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteAll(c.name, c.bytes);
    EXPECT_EQ(store_.OpenFile(c.name, nullptr, false), c.status);
    EXPECT_EQ(store_.HeaderCount(), c.listed);
    store_.Clear(true);  // deletes only a file verifiably without snapshots
    EXPECT_EQ(Exists(c.name), c.kept);
    if (c.kept) {
      EXPECT_EQ(ReadAll(c.name), c.bytes);
    }
  }
  EXPECT_TRUE(status::IsFailure(store_.OpenFile("folder.snp", nullptr, false)));
  EXPECT_TRUE(std::filesystem::is_directory("folder.snp"));
  EXPECT_TRUE(status::IsFailure(store_.OpenFile("missing.snp", nullptr, false)));
}

// The listing carries ids in 24 bits: no larger id is taken, and a file
// holding one is refused and left as it was.
TEST_F(SnapshotStore, IdsStayWithinWhatTheListingCarries) {
  a_.section = b_.section = c_.section = {};
  std::uint32_t id = 0x01000005u;
  EXPECT_EQ(store_.TakeSnapshot({}, "big", true, &id, false, nullptr), snapshot::kIdOutOfRange);
  EXPECT_EQ(store_.HeaderCount(), 0);
  id = 5;
  ASSERT_EQ(store_.TakeSnapshot({}, "five", true, &id, false, nullptr), 0u);
  id = snapshot::kLargestId;
  ASSERT_EQ(store_.TakeSnapshot({}, "last", true, &id, false, nullptr), 0u);
  id = snapshot::kNewId;
  EXPECT_EQ(store_.TakeSnapshot({}, "next", true, &id, false, nullptr), snapshot::kIdOutOfRange);

  DseMessage written(60, DseMessage::kRequest);
  ASSERT_EQ(store_.ListSnapshots(&written), 0u);
  const testsupport::MessagePtr listing = testsupport::Received(written);
  std::uint32_t count = 0;
  ASSERT_EQ(listing->GetUInt24(&count), 0u);
  ASSERT_EQ(count, 2u);
  SputSSBlockHeader listed[2];
  for (auto& h : listed) ASSERT_EQ(h.ReadFromMessage(listing.get()), 0u);
  EXPECT_EQ(listed[0].Id(), snapshot::kLargestId);
  EXPECT_EQ(listed[1].Id(), 5u);

  // The oldest block's id raised past 24 bits, as a damaged or foreign file
  // might hold it.
  const std::uint64_t oldest = SputSnapshotMgr::NextHeader(store_.FirstHeader())->position;
  store_.CloseFile();
  Bytes bytes = ReadAll("store.snp");
  const std::size_t flags_at = static_cast<std::size_t>(oldest) + 40;
  bytes[flags_at + 3] = static_cast<std::uint8_t>(bytes[flags_at + 3] | 0x01);  // id bit 24
  WriteAll("wide.snp", bytes);
  EXPECT_EQ(store_.OpenFile("wide.snp", nullptr, false), snapshot::kIdOutOfRange);
  EXPECT_EQ(store_.HeaderCount(), 0);
  EXPECT_EQ(ReadAll("wide.snp"), bytes);
  ASSERT_EQ(store_.OpenFile("store.snp", nullptr, false), 0u);
  EXPECT_EQ(store_.HighestId(), snapshot::kLargestId);
}

// What a compaction stopped between its renames leaves: the file is always
// there (the compacted copy takes its place by one rename), the next open
// throws the copies away and lists the snapshots. A leftover whose file the
// user deleted never brings the file back.
TEST_F(SnapshotStore, OpenFinishesOrDropsAnInterruptedCompaction) {
  Take(1, "one");
  Take(2, "two");
  store_.CloseFile();
  const Bytes good = ReadAll("store.snp");
  for (bool copy : {false, true}) {
    SCOPED_TRACE(copy);
    std::filesystem::remove("store.snp");
    WriteAll("store.snp.compress", good);
    if (copy) WriteAll("store.snp.compress.copy", Bytes(good.begin(), good.begin() + 300));
    EXPECT_TRUE(status::IsFailure(store_.OpenFile("store.snp", nullptr, false)));
    EXPECT_FALSE(Exists("store.snp"));
  }
  struct Case {
    bool name, compress, copy;
  } cases[] = {{true, true, false}, {true, true, true}, {true, false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.name << c.compress << c.copy);
    std::filesystem::remove("store.snp");
    if (c.name) WriteAll("store.snp", good);
    if (c.compress) WriteAll("store.snp.compress", good);
    if (c.copy) WriteAll("store.snp.compress.copy", Bytes(good.begin(), good.begin() + 300));
    ASSERT_EQ(store_.OpenFile("store.snp", nullptr, false), 0u);
    EXPECT_EQ(ListedNames(store_), (Names{"two", "one"}));
    store_.CloseFile();
    EXPECT_FALSE(Exists("store.snp.compress"));
    EXPECT_FALSE(Exists("store.snp.compress.copy"));
  }
}

TEST_F(SnapshotStore, NextFileNameNeverReturnsAnExistingName) {
  store_.CloseFile();
  std::filesystem::remove("store.snp");
  struct Case {
    std::vector<std::string> files;
    const char* folder;
    const char* next;
  } cases[] = {
      {{"snpB9999.snp", "snpA0003.snp", "SNPC0002.SNP", "snpA0001.snp"},
       "snpZ0001.snp",
       "snpC0003.snp"},
      {{"snpA9999.snp"}, nullptr, "snpB0000.snp"},
      {{"snpZ9999.snp", "snpA0000.snp"}, nullptr, "snpA0001.snp"},
      {{"snpZ9999.snp"}, nullptr, "snpA0000.snp"},
      {{"other.snp"}, "snpA0000.snp", "snpA0001.snp"},
      {{}, nullptr, "snpA0000.snp"},
  };
  for (const Case& c : cases) {
    testsupport::TempDir dir;
    testsupport::ScopedCurrentFolder here(dir.path());
    for (const auto& f : c.files) WriteAll(f, {1});
    if (c.folder != nullptr) std::filesystem::create_directory(c.folder);
    SputSnapshotMgr store;
    EXPECT_STREQ(store.NextFileName(), c.next);
    ASSERT_EQ(store.CreateFile(nullptr), 0u);
    EXPECT_EQ(store.FileName(), c.next);
  }
}

TEST_F(SnapshotStore, ExportAndRemappedRewriteGiveReadableFiles) {
  const std::uint32_t one = Take(1, "one");
  Take(2, "two");
  Take(3, "three");
  EXPECT_EQ(store_.ExportSnapshot(one, "store.snp"), snapshot::kIoFailed);
  EXPECT_EQ(store_.ExportSnapshot(77, "x.snp"), snapshot::kIoFailed);
  ASSERT_EQ(store_.ExportSnapshot(one, "export.snp"), 0u);
  a_.grow = 3000;  // a conversion that lengthens every section
  ASSERT_EQ(store_.RewriteMapped("remapped.snp"), 0u);
  DseMessage written(60, DseMessage::kRequest);
  ASSERT_EQ(store_.ListOtherFiles(&written), 0u);
  const testsupport::MessagePtr others = testsupport::Received(written);
  std::uint32_t count = 0;
  ASSERT_EQ(others->GetUInt24(&count), 0u);
  EXPECT_EQ(count, 2u);

  FakeParticipant a2(1), b2(2), c2(3);
  const SputSnapshotMgr::Participants list{&a2, &b2, &c2};
  SputSnapshotMgr exported;
  ASSERT_EQ(exported.OpenFile("export.snp", &list, true), 0u);
  EXPECT_EQ(ListedNames(exported), (Names{"one"}));
  ASSERT_EQ(exported.RestoreSnapshot(one, nullptr, 0, false), 0u);
  EXPECT_EQ(a2.restored, SectionFor(1, 0, 16));
  SputSnapshotMgr remapped;
  ASSERT_EQ(remapped.OpenFile("remapped.snp", &list, true), 0u);
  EXPECT_EQ(ListedNames(remapped), ListedNames(store_));
  std::uint32_t three = 0;
  ASSERT_EQ(remapped.FindSnapshotByName("three", &three), 0u);
  ASSERT_EQ(remapped.RestoreSnapshot(three, nullptr, 0, false), 0u);
  Bytes grown = SectionFor(3, 0, 70000);
  grown.insert(grown.end(), 3000, 0xEE);
  EXPECT_EQ(a2.restored, grown);
  EXPECT_EQ(c2.restored.size(), 5u + 0u);
  EXPECT_FALSE(Exists("remapped.snp.copy"));

  std::vector<const SputSSBlockHeader*> headers{store_.FirstHeader()};
  EXPECT_EQ(store_.CreateFileWithSnapshots("made.snp", list, headers), snapshot::kIoFailed);
  store_.CloseFile();
  a2.section = {4, 2};
  ASSERT_EQ(remapped.CreateFileWithSnapshots(nullptr, list, {remapped.FirstHeader()}),
            snapshot::kIoFailed);
  SputSnapshotMgr fresh;
  ASSERT_EQ(fresh.CreateFileWithSnapshots("made.snp", list, {remapped.FirstHeader()}), 0u);
  EXPECT_EQ(a2.written_calls, 1);
  ASSERT_EQ(fresh.OpenFile("made.snp", &list, true), 0u);
  ASSERT_EQ(fresh.RestoreSnapshot(three, nullptr, 0, false), 0u);
  EXPECT_EQ(a2.restored, (Bytes{4, 2}));
}

}  // namespace
}  // namespace snaptest

namespace snaptest {
namespace {

TEST_F(SnapshotFolder, StoreWithoutFileOrParticipants) {
  SputSnapshotMgr store;
  std::uint32_t id = snapshot::kNewId;
  EXPECT_EQ(store.TakeSnapshot({}, "x", true, &id, false, nullptr), snapshot::kNotOpen);
  EXPECT_EQ(store.ExportSnapshot(1, "x.snp"), snapshot::kIoFailed);
  EXPECT_EQ(store.RewriteMapped("x.snp"), snapshot::kNotOpen);
  for (Status unknown :
       {store.DeleteSnapshot(1), store.KeepSnapshot(1, "k"), store.SetSnapshotDescription(1, "d"),
        store.RestoreSnapshot(1, nullptr, 0, true)}) {
    EXPECT_EQ(unknown, snapshot::kUnknownId);
  }
  ASSERT_EQ(store.CreateFile("empty.snp"), 0u);
  EXPECT_EQ(store.CreateFile("other.snp"), snapshot::kIoFailed);  // one file at a time
  EXPECT_EQ(store.TakeSnapshot({}, "x", true, &id, false, nullptr), snapshot::kUnknownId);
  EXPECT_EQ(id, snapshot::kNewId);
  store.Clear(true);  // nothing in it: deleted on close
  EXPECT_FALSE(Exists("empty.snp"));
  EXPECT_EQ(store.CreateFile("empty.snp"), 0u);
  store.CloseFile();
  EXPECT_EQ(store.CreateFile("empty.snp"), snapshot::kIoFailed);  // never over an existing file
}

}  // namespace
}  // namespace snaptest
