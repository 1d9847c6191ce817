// The bytes of snapshot files: a golden file, files of older versions, the
// limits of names and descriptions, and damaged files of every kind.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>

#include "framework/connections/segment.h"
#include "platform/byte_order.h"
#include "snapshot_fakes.h"
#include "tests/support/golden.h"

namespace snaptest {
namespace {

using testsupport::HexBytes;
using testsupport::SameBytes;

// A version-8 header built field by field at the offsets of the layout.
Bytes Header8(std::uint64_t position, std::uint32_t length, double time, std::uint16_t run,
              std::int16_t count, std::uint32_t flags, const char* name, const char* description) {
  Bytes h(248, 0);
  platform::StoreLE64(h.data(), position);
  PutLE32(&h, 8, length);
  const Bytes stamp = HexBytes("1E 2D 0D 00 07 0C 1A 14");  // 13:45:30, 7.12.2026
  std::copy(stamp.begin(), stamp.end(), h.begin() + 12);
  platform::StoreLEDouble(h.data() + 24, time);
  platform::StoreLE16(h.data() + 32, run);
  platform::StoreLE16(h.data() + 34, static_cast<std::uint16_t>(count));
  PutLE32(&h, 40, flags);
  std::memcpy(h.data() + 44, name, std::strlen(name));
  std::memcpy(h.data() + 84, description, std::strlen(description));
  return h;
}

Bytes FramesOf(const Bytes& body) {
  DseMessage message(50, 12);
  for (std::uint8_t b : body) message.PutUInt8(b);
  message.Pack(false);
  Bytes frames;
  for (const DseSegment* s = message.FirstSegment(); s != nullptr; s = s->next) {
    frames.insert(frames.end(), s->frame, s->frame + s->FrameSize());
  }
  return frames;
}

class SnapshotFormat : public SnapshotFolder {};

TEST_F(SnapshotFormat, GoldenTwoParticipantFileReadsBackFieldByField) {
  FakeParticipant a(0x11, 5000), b(0x22);
  {
    SputSnapshotMgr store;
    store.AddParticipant(&a);
    store.AddParticipant(&b);
    ASSERT_EQ(store.CreateFile("golden.snp"), 0u);
    std::uint32_t id = snapshot::kNewId;
    a.section = {1, 2, 3, 4, 5};
    ASSERT_EQ(store.TakeSnapshot({1.5, 2, 3}, "first", true, &id, false, nullptr), 0u);
    ASSERT_EQ(store.SetSnapshotDescription(id, "two parts"), 0u);
    a.section = {};
    b.section = {7, 7};
    id = snapshot::kNewId;
    ASSERT_EQ(store.TakeSnapshot({-0.25, 2, 4}, "second", true, &id, true, nullptr), 0u);
    EXPECT_EQ(id, 2u);
  }
  Bytes expected = HexBytes("08 00 00 00 02 00 00 00");
  const Bytes frames = FramesOf(a.StructureBody());
  ASSERT_GT(frames.size(), DseSegment::kFrameArea);  // the message spans two segments
  Bytes lead(8);
  PutLE32(&lead, 0, static_cast<std::uint32_t>(8 + frames.size()));
  PutLE32(&lead, 4, 0x11);
  AppendBytes(&expected, lead);
  AppendBytes(&expected, frames);
  AppendBytes(&expected, HexBytes("08 00 00 00 22 00 00 00"));
  const std::uint64_t first = expected.size();
  AppendBytes(&expected, Header8(first, 248 + 9 + 4, 1.5, 2, 3, 0x80000001, "first", "two parts"));
  AppendBytes(&expected, HexBytes("05 00 00 00 01 02 03 04 05 00 00 00 00"));
  const std::uint64_t second = expected.size();
  AppendBytes(&expected, Header8(second, 248 + 4 + 6, -0.25, 2, 4, 0xC0000002, "second", ""));
  AppendBytes(&expected, HexBytes("00 00 00 00 02 00 00 00 07 07"));
  AppendBytes(&expected, Header8(expected.size(), 0, 0.0, 0, 0, 0, "EOF", ""));
  EXPECT_TRUE(SameBytes(expected, ReadAll("golden.snp")));

  FakeParticipant a2(0x11), b2(0x22);
  SputSnapshotMgr store;
  const SputSnapshotMgr::Participants list{&b2, &a2};
  ASSERT_EQ(store.OpenFile("golden.snp", &list, true), 0u);
  EXPECT_EQ(a2.mapped, a.StructureBody());
  EXPECT_EQ(b2.map_calls, 1);
  EXPECT_TRUE(b2.mapped.empty());
  EXPECT_EQ(store.EndPosition(), expected.size() - 248);
  EXPECT_EQ(store.HighestId(), 2u);
  const SputSSBlockHeader* h = store.FirstHeader();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->position, second);
  EXPECT_EQ(h->length, 258u);
  EXPECT_EQ(h->time, -0.25);
  EXPECT_EQ(h->count, 4);
  EXPECT_TRUE(h->IsKept());
  h = SputSnapshotMgr::NextHeader(h);
  ASSERT_NE(h, nullptr);
  EXPECT_STREQ(h->name, "first");
  EXPECT_STREQ(h->description, "two parts");
  EXPECT_EQ(h->DateWord(), 0x141A0C07u);
  EXPECT_EQ(h->TimeWord(), 0x000D2D1Eu);
  EXPECT_EQ(h->run, 2);
  EXPECT_EQ(h->data_position, first + 248);
  RunPosition at;
  ASSERT_EQ(store.RestoreSnapshot(1, &at, SputSnapshotMgr::kAllParticipants, false), 0u);
  EXPECT_EQ(a2.restored, (Bytes{1, 2, 3, 4, 5}));
  EXPECT_TRUE(b2.restored.empty());
  EXPECT_EQ(at.time, 1.5);
  ASSERT_EQ(store.RestoreSnapshot(2, &at, SputSnapshotMgr::kAllParticipants, false), 0u);
  EXPECT_EQ(b2.restored, (Bytes{7, 7}));
  EXPECT_EQ(a2.version_seen, 8u);
}

TEST_F(SnapshotFormat, OlderVersionsReadAndUpgradeOnFirstWrite) {
  for (std::uint32_t version : {3u, 7u}) {
    SCOPED_TRACE(version);
    WriteAll("old.snp", OldFile(version));
    // Not the record's id: opened without mapping, the store's own array
    // stays, through the rewrite too.
    FakeParticipant p(0x22);
    SputSnapshotMgr store;
    store.AddParticipant(&p);
    ASSERT_EQ(store.OpenFile("old.snp", nullptr, false), 0u);
    EXPECT_EQ(ListedNames(store), (std::vector<std::string>{std::string(39, 'n'), "older"}));
    const SputSSBlockHeader* newest = store.FirstHeader();
    EXPECT_EQ(newest->run, 7);
    EXPECT_EQ(newest->count, 3);
    EXPECT_EQ(newest->DateWord(), 0x135A0504u);
    EXPECT_STREQ(SputSnapshotMgr::NextHeader(newest)->description, version == 7 ? "old words" : "");
    EXPECT_EQ(store.HighestId(), 9u);
    ASSERT_EQ(store.RestoreSnapshot(5, nullptr, 0, false), 0u);
    EXPECT_EQ(p.restored, (Bytes{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(p.version_seen, version);
    EXPECT_EQ(store.DeleteSnapshot(77), snapshot::kUnknownId);
    EXPECT_EQ(store.Version(), version);  // an unknown id changes nothing
    ASSERT_EQ(store.RestoreSnapshot(9, nullptr, 0, false), 0u);
    EXPECT_EQ(p.restored, (Bytes{0xDD}));
    // A header is rewritten only in a version-8 file.
    ASSERT_EQ(store.KeepSnapshot(5, "kept"), 0u);
    EXPECT_EQ(store.Version(), 8u);
    EXPECT_EQ(ReadAll("old.snp")[0], 8);
    EXPECT_EQ(store.ParticipantArray(), SputSnapshotMgr::Participants{&p});
    p.restored.clear();
    store.CloseFile();
    ASSERT_EQ(store.OpenFile("old.snp", nullptr, false), 0u);
    EXPECT_EQ(ListedNames(store), (std::vector<std::string>{std::string(39, 'n'), "kept"}));
    ASSERT_EQ(store.RestoreSnapshot(5, nullptr, 0, false), 0u);
    EXPECT_EQ(p.restored, (Bytes{0xAA, 0xBB, 0xCC}));
    store.CloseFile();
  }
}

TEST_F(SnapshotFormat, NamesAndDescriptionsAreCutToTheirFields) {
  struct Case {
    std::size_t name, description, kept_name, kept_description;
  } cases[] = {{39, 159, 39, 159}, {40, 160, 39, 159}, {100, 300, 39, 159}, {0, 0, 0, 0}};
  FakeParticipant p(1);
  SputSnapshotMgr store;
  store.AddParticipant(&p);
  ASSERT_EQ(store.CreateFile("limits.snp"), 0u);
  for (const Case& c : cases) {
    std::uint32_t id = snapshot::kNewId;
    ASSERT_EQ(store.TakeSnapshot({}, std::string(c.name, 'x').c_str(), true, &id, false, nullptr),
              0u);
    ASSERT_EQ(store.SetSnapshotDescription(id, std::string(c.description, 'd').c_str()), 0u);
  }
  store.CloseFile();
  ASSERT_EQ(store.OpenFile("limits.snp", nullptr, false), 0u);
  const SputSSBlockHeader* h = store.FirstHeader();
  for (auto c = std::rbegin(cases); c != std::rend(cases);
       ++c, h = SputSnapshotMgr::NextHeader(h)) {
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(std::strlen(h->name), c->kept_name);
    EXPECT_EQ(std::strlen(h->description), c->kept_description);
  }
}

TEST_F(SnapshotFormat, DateAndTimeFromText) {
  SputSSBlockHeader h;
  h.SetDateTimeFromText("24/12/1999 23:59:58");
  EXPECT_EQ(h.DateWord(), 0x13630C18u);
  EXPECT_EQ(h.TimeWord(), 0x00173B3Au);
  h.SetDateTimeFromText("1-2");
  EXPECT_EQ(h.DateWord(), 0x00000201u);
  EXPECT_EQ(h.TimeWord(), 0u);
}

// A valid file of three blocks, with where each block ends.
struct SampleFile {
  Bytes bytes;
  std::uint64_t records_end = 0;
  std::vector<std::uint64_t> block_ends;
};

SampleFile MakeSample(FakeParticipant* a, FakeParticipant* b) {
  SampleFile sample;
  SputSnapshotMgr store;
  store.AddParticipant(a);
  store.AddParticipant(b);
  EXPECT_EQ(store.CreateFile("sample.snp"), 0u);
  sample.records_end = store.EndPosition();
  for (int k = 1; k <= 3; ++k) {
    a->section = SectionFor(k, 0, 40 * k);
    b->section = SectionFor(k, 1, k == 2 ? 0 : 9);
    std::uint32_t id = snapshot::kNewId;
    EXPECT_EQ(store.TakeSnapshot({double(k), 1, std::int16_t(k)}, "s", true, &id, false, nullptr),
              0u);
    sample.block_ends.push_back(store.EndPosition());
  }
  store.CloseFile();
  sample.bytes = SnapshotFolder::ReadAll("sample.snp");
  return sample;
}

// Opens the file, restores whatever it lists, and checks the file is kept
// unless it held nothing after its records.
void OpenAndUse(const std::string& name, std::vector<SputSnapBase*> list, Status* result,
                int* listed) {
  SputSnapshotMgr store;
  *result = store.OpenFile(name.c_str(), &list, true);
  *listed = store.HeaderCount();
  for (const SputSSBlockHeader* h = store.FirstHeader(); h != nullptr;
       h = SputSnapshotMgr::NextHeader(h)) {
    EXPECT_EQ(store.RestoreSnapshot(h->Id(), nullptr, 0, false), 0u);
  }
  store.CloseFile();
  if (*result != snapshot::kNoUsableSnapshot) {
    EXPECT_TRUE(std::filesystem::exists(name));
  }
}

TEST_F(SnapshotFormat, TruncationAtEveryOffsetKeepsTheCompleteBlocks) {
  FakeParticipant a(1, 300), b(2);
  const SampleFile sample = MakeSample(&a, &b);
  for (std::size_t cut = 0; cut < sample.bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    WriteAll("cut.snp", Bytes(sample.bytes.begin(), sample.bytes.begin() + cut));
    Notices().clear();
    Status result = 0;
    int listed = 0;
    OpenAndUse("cut.snp", {&a, &b}, &result, &listed);
    if (cut < sample.records_end) {
      EXPECT_EQ(result, snapshot::kShortRead);
    } else if (cut == sample.records_end) {
      EXPECT_EQ(result, snapshot::kNoUsableSnapshot);
      EXPECT_FALSE(Exists("cut.snp"));
    } else {
      EXPECT_EQ(result, 0u);
      EXPECT_EQ(Notices().size(), 1u);  // the incomplete end is reported
      int complete = 0;
      for (std::uint64_t end : sample.block_ends) complete += end <= cut ? 1 : 0;
      EXPECT_EQ(listed, complete);
      if (cut == sample.block_ends.back()) {
        ASSERT_EQ(listed, 3);
        EXPECT_EQ(a.restored, SectionFor(1, 0, 40));  // the oldest is restored last
      }
    }
  }
}

// One input, as a fuzzer would give it: whatever the bytes, opening never
// crashes and never deletes a file that may hold snapshots; a file that
// opens takes a new snapshot, and on reopening lists everything it listed
// before plus the new one, which restores to what was taken.
void CheckOneInput(const Bytes& bytes) {
  SnapshotFolder::WriteAll("input.snp", bytes);
  FakeParticipant a(1), b(2);
  SputSnapshotMgr::Participants list{&a, &b};
  std::set<std::uint32_t> before;
  {
    SputSnapshotMgr store;
    const Status opened = store.OpenFile("input.snp", &list, true);
    if (status::IsFailure(opened) || opened == snapshot::kNoUsableSnapshot) {
      if (opened != snapshot::kNoUsableSnapshot) {
        EXPECT_EQ(SnapshotFolder::ReadAll("input.snp"), bytes);
      }
      return;
    }
    for (const SputSSBlockHeader* h = store.FirstHeader(); h != nullptr;
         h = SputSnapshotMgr::NextHeader(h)) {
      before.insert(h->Id());
      store.RestoreSnapshot(h->Id(), nullptr, 0, false);
    }
    a.section = SectionFor(1, 0, 33);
    b.section = SectionFor(1, 1, 2);
    std::uint32_t id = snapshot::kNewId;
    const Status taken = store.TakeSnapshot({}, "new", true, &id, false, nullptr);
    if (store.ParticipantArray().empty()) {  // a file of no participants
      EXPECT_EQ(taken, snapshot::kUnknownId);
      return;
    }
    ASSERT_EQ(taken, 0u);
    before.insert(id);
    store.Clear(true);
  }
  SputSnapshotMgr store;
  ASSERT_EQ(store.OpenFile("input.snp", &list, true), 0u);
  std::set<std::uint32_t> after;
  for (const SputSSBlockHeader* h = store.FirstHeader(); h != nullptr;
       h = SputSnapshotMgr::NextHeader(h)) {
    after.insert(h->Id());
  }
  EXPECT_TRUE(std::includes(after.begin(), after.end(), before.begin(), before.end()));
  std::uint32_t id = 0;
  ASSERT_EQ(store.FindSnapshotByName("new", &id), 0u);
  a.restored.clear();
  b.restored.clear();
  ASSERT_EQ(store.RestoreSnapshot(id, nullptr, 0, false), 0u);
  const auto& mapped = store.ParticipantArray();
  if (std::find(mapped.begin(), mapped.end(), &a) != mapped.end()) {
    EXPECT_EQ(a.restored, SectionFor(1, 0, 33));
  }
  if (std::find(mapped.begin(), mapped.end(), &b) != mapped.end()) {
    EXPECT_EQ(b.restored, SectionFor(1, 1, 2));
  }
}

TEST_F(SnapshotFormat, RandomAndMutatedBytesNeverCrashOrLoseTheFile) {
  FakeParticipant a(1, 300), b(2);
  const SampleFile sample = MakeSample(&a, &b);
  const Bytes old = OldFile(7);
  std::mt19937 random(20261207);
  for (int round = 0; round < 900; ++round) {
    SCOPED_TRACE(round);
    Bytes bytes;
    if (round % 3 != 2) {
      bytes = round % 3 == 0 ? sample.bytes : old;
      const int flips = 1 + static_cast<int>(random() % 8);
      for (int k = 0; k < flips; ++k)
        bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
      if (random() % 2 == 0) bytes.resize(random() % bytes.size() + 1);
    } else {
      bytes.resize(random() % 1500);
      for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
      if (bytes.size() >= 8) {
        PutLE32(&bytes, 0, 1 + random() % 8);
        PutLE32(&bytes, 4, random() % 3);
      }
    }
    CheckOneInput(bytes);
  }
}

TEST_F(SnapshotFormat, LiveSnapshotNamedEofDoesNotEndTheFile) {
  FakeParticipant p(1);
  SputSnapshotMgr store;
  store.AddParticipant(&p);
  ASSERT_EQ(store.CreateFile("eof.snp"), 0u);
  for (const char* name : {"before", "EOF", "after"}) {
    std::uint32_t id = snapshot::kNewId;
    ASSERT_EQ(store.TakeSnapshot({}, name, true, &id, false, nullptr), 0u);
  }
  std::uint32_t id = 0;
  ASSERT_EQ(store.FindSnapshotByName("eof", &id), 0u);
  ASSERT_EQ(store.DeleteSnapshot(id), 0u);  // freed, named "EOF": skipped by its length
  store.CloseFile();
  ASSERT_EQ(store.OpenFile("eof.snp", nullptr, false), 0u);
  EXPECT_EQ(ListedNames(store), (std::vector<std::string>{"after", "before"}));
  EXPECT_EQ(store.FreedCount(), 1);
}

}  // namespace
}  // namespace snaptest
