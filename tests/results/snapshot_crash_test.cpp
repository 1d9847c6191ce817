// A child process stopped at every write, rename and sync of a store
// operation leaves a file that reopens with every snapshot committed before
// the stop, and nothing that was not taken.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <functional>
#include <map>
#include <set>

#include "platform/posix_file.h"
#include "snapshot_fakes.h"

namespace snaptest {
namespace {

using NameSet = std::set<std::string>;

struct Scenario {
  const char* label;
  int base_count;   // snapshots "s1".."sN" in the file before
  NameSet deleted;  // deleted before
  NameSet kept;     // kept before
  std::function<void(SputSnapshotMgr&)> action;
  NameSet may_appear;                 // besides the committed ones
  NameSet may_vanish;                 // committed ones the operation removes on purpose
  const char* second_file = nullptr;  // a file the operation writes
};

class SnapshotCrash : public SnapshotFolder {
 protected:
  SnapshotCrash() {
    store_.AddParticipant(&a_);
    store_.AddParticipant(&b_);
  }

  void Fill(int k) {
    a_.section = SectionFor(k, 0, k % 2 == 0 ? 9000 : 20);
    b_.section = SectionFor(k, 1, 3);
  }

  std::uint32_t Take(SputSnapshotMgr& store, int k, const std::string& name) {
    Fill(k);
    std::uint32_t id = snapshot::kNewId;
    EXPECT_EQ(store.TakeSnapshot({double(k), 1, 0}, name.c_str(), true, &id, false, nullptr), 0u);
    return id;
  }

  void BuildBase(const Scenario& s) {
    ASSERT_EQ(store_.CreateFile("crash.snp"), 0u);
    for (int k = 1; k <= s.base_count; ++k) {
      const std::string name = SnapName(k);
      const std::uint32_t id = Take(store_, k, name);
      if (s.kept.count(name) != 0) {
        ASSERT_EQ(store_.KeepSnapshot(id, name.c_str()), 0u);
      }
    }
    for (const auto& name : s.deleted) {
      std::uint32_t id = 0;
      ASSERT_EQ(store_.FindSnapshotByName(name.c_str(), &id), 0u);
      ASSERT_EQ(store_.DeleteSnapshot(id), 0u);
    }
    store_.CloseFile();
    std::filesystem::copy_file("crash.snp", "base.keep");
  }

  void Reset(const Scenario& s) {
    for (const char* leftover : {"crash.snp", "crash.snp.compress", "crash.snp.compress.copy"}) {
      std::filesystem::remove(leftover);
    }
    if (s.second_file != nullptr) {
      std::filesystem::remove(s.second_file);
      std::filesystem::remove(std::string(s.second_file) + ".copy");
    }
    std::filesystem::copy_file("base.keep", "crash.snp");
  }

  // Every listed snapshot restores to what was taken under its name.
  void Check(const char* file, const NameSet& must, const NameSet& may) {
    SCOPED_TRACE(file);
    SputSnapshotMgr store;
    store.AddParticipant(&a_);
    store.AddParticipant(&b_);
    ASSERT_EQ(store.OpenFile(file, nullptr, false), 0u);
    NameSet listed;
    for (const SputSSBlockHeader* h = store.FirstHeader(); h != nullptr;
         h = SputSnapshotMgr::NextHeader(h)) {
      listed.insert(h->name);
      EXPECT_TRUE(must.count(h->name) + may.count(h->name) > 0) << h->name;
      const int k = std::stoi(std::string(h->name).substr(1));
      ASSERT_EQ(store.RestoreSnapshot(h->Id(), nullptr, 0, false), 0u);
      EXPECT_EQ(a_.restored, SectionFor(k, 0, k % 2 == 0 ? 9000 : 20));
      EXPECT_EQ(b_.restored, SectionFor(k, 1, 3));
    }
    for (const auto& name : must) EXPECT_EQ(listed.count(name), 1u) << name;
  }

  void Run(const Scenario& s) {
    BuildBase(s);
    // How many writes, renames and syncs the operation makes.
    Reset(s);
    ASSERT_EQ(store_.OpenFile("crash.snp", nullptr, false), 0u);
    const std::uint64_t before = platform::FileFaultPointCount();
    s.action(store_);
    const std::uint64_t points = platform::FileFaultPointCount() - before;
    store_.CloseFile();
    ASSERT_GT(points, 0u);
    NameSet must, may = s.may_appear;
    for (int k = 1; k <= s.base_count; ++k) {
      const std::string name = SnapName(k);
      if (s.deleted.count(name) != 0) continue;
      (s.may_vanish.count(name) != 0 ? may : must).insert(name);
    }
    for (std::uint64_t n = 1; n <= points + 1; ++n) {
      SCOPED_TRACE(::testing::Message() << s.label << " stopped at step " << n << " of " << points);
      Reset(s);
      EXPECT_EQ(StoppedChild("crash.snp", n, [&](SputSnapshotMgr& store) { s.action(store); }),
                n <= points ? platform::kFileFaultExitCode : 0);
      Check("crash.snp", must, may);
      if (s.second_file != nullptr && Exists(s.second_file)) Check(s.second_file, must, {});
      EXPECT_FALSE(Exists("crash.snp.compress"));
    }
  }

  // Opens the file in a child that ends at its n-th write, rename or sync
  // while acting on it; the child's exit code.
  int StoppedChild(const char* file, std::uint64_t n,
                   const std::function<void(SputSnapshotMgr&)>& act) {
    const pid_t child = ::fork();
    if (child == 0) {
      if (status::IsFailure(store_.OpenFile(file, nullptr, false))) ::_exit(3);
      platform::SetFileFaultCountdown(n);
      act(store_);
      ::_exit(0);
    }
    int wait_status = 0;
    if (child < 0 || ::waitpid(child, &wait_status, 0) != child || !WIFEXITED(wait_status))
      return -1;
    return WEXITSTATUS(wait_status);
  }

  FakeParticipant a_{1, 50}, b_{2};
  SputSnapshotMgr store_;
};

TEST_F(SnapshotCrash, EveryStepOfEveryWritingOperation) {
  const Scenario scenarios[] = {
      {"append", 3, {}, {}, [this](SputSnapshotMgr& s) { Take(s, 9, "s9"); }, {"s9"}, {}},
      {"compaction",
       8,
       {"s2", "s4", "s6"},
       {"s7"},
       [](SputSnapshotMgr& s) { s.CompressFile("crash.snp"); },
       {},
       {}},
      {"remapped rewrite",
       3,
       {},
       {},
       [](SputSnapshotMgr& s) { s.RewriteMapped("remapped.snp"); },
       {},
       {},
       "remapped.snp"},
      {"discarding restore",
       5,
       {},
       {"s4"},
       [](SputSnapshotMgr& s) {
         std::uint32_t id = 0;
         s.FindSnapshotByName("s2", &id);
         s.RestoreSnapshot(id, nullptr, 0, true);
       },
       {},
       {"s3", "s5"}},
      {"discarding restore, none kept",
       4,
       {},
       {},
       [this](SputSnapshotMgr& s) {
         std::uint32_t id = 0;
         s.FindSnapshotByName("s2", &id);
         s.RestoreSnapshot(id, nullptr, 0, true);
         Take(s, 9, "s9");
       },
       {"s9"},
       {"s3", "s4"}},
      {"delete",
       3,
       {},
       {},
       [](SputSnapshotMgr& s) {
         std::uint32_t id = 0;
         s.FindSnapshotByName("s2", &id);
         s.DeleteSnapshot(id);
       },
       {},
       {"s2"}},
  };
  for (const Scenario& s : scenarios) {
    testsupport::TempDir dir;
    testsupport::ScopedCurrentFolder here(dir.path());
    Run(s);
  }
}

// A file cut inside a block keeps that block's header; an append stopped
// before its own header must not make the stale header look whole.
TEST_F(SnapshotCrash, AppendAfterTornTailStoppedBeforeItsHeader) {
  SputSnapshotMgr& store = store_;
  FakeParticipant& a = a_;
  ASSERT_EQ(store.CreateFile("torn.snp"), 0u);
  std::uint32_t id = snapshot::kNewId;
  a.section = SectionFor(1, 0, 10);
  ASSERT_EQ(store.TakeSnapshot({}, "s1", true, &id, false, nullptr), 0u);
  const std::uint64_t cut = store.EndPosition() + 1000;
  id = snapshot::kNewId;
  a.section = SectionFor(2, 0, 5000);
  ASSERT_EQ(store.TakeSnapshot({}, "s2", true, &id, false, nullptr), 0u);
  store.CloseFile();
  std::filesystem::resize_file("torn.snp", cut);
  a.section = SectionFor(3, 0, 20000);
  std::uint64_t steps = 0;
  {
    std::filesystem::copy_file("torn.snp", "torn.keep");
    ASSERT_EQ(store.OpenFile("torn.snp", nullptr, false), 0u);
    EXPECT_EQ(store.TornTailOffset(), cut - 1000);
    const std::uint64_t before = platform::FileFaultPointCount();
    id = snapshot::kNewId;
    ASSERT_EQ(store.TakeSnapshot({}, "s3", true, &id, false, nullptr), 0u);
    steps = platform::FileFaultPointCount() - before;
    store.CloseFile();
    std::filesystem::rename("torn.keep", "torn.snp");
  }
  // Stopped at the header's write.
  EXPECT_EQ(StoppedChild(
                "torn.snp", steps - 1,
                [&](SputSnapshotMgr& s) { s.TakeSnapshot({}, "s3", true, &id, false, nullptr); }),
            platform::kFileFaultExitCode);
  ASSERT_EQ(store.OpenFile("torn.snp", nullptr, false), 0u);
  EXPECT_EQ(ListedNames(store), (std::vector<std::string>{"s1"}));
}

// The first write to a version-7 file rewrites it as version 8; stopped at
// any step, the file still holds both snapshots.
TEST_F(SnapshotCrash, UpgradeOfAnOlderFileStoppedAtEveryStep) {
  SputSnapshotMgr store;
  FakeParticipant p(0x11);
  store.AddParticipant(&p);
  const Bytes old = OldFile(7);
  WriteAll("old.snp", old);
  ASSERT_EQ(store.OpenFile("old.snp", nullptr, false), 0u);
  const std::uint64_t before = platform::FileFaultPointCount();
  ASSERT_EQ(store.KeepSnapshot(5, "kept"), 0u);
  const std::uint64_t steps = platform::FileFaultPointCount() - before;
  store.CloseFile();
  for (std::uint64_t n = 1; n <= steps; ++n) {
    SCOPED_TRACE(n);
    for (const char* leftover : {"old.snp.compress", "old.snp.compress.copy"})
      std::filesystem::remove(leftover);
    WriteAll("old.snp", old);
    EXPECT_EQ(StoppedChild("old.snp", n, [](SputSnapshotMgr& s) { s.KeepSnapshot(5, "kept"); }),
              platform::kFileFaultExitCode);
    ASSERT_EQ(store.OpenFile("old.snp", nullptr, false), 0u);
    EXPECT_EQ(store.HeaderCount(), 2);
    ASSERT_EQ(store.RestoreSnapshot(5, nullptr, 0, false), 0u);
    EXPECT_EQ(p.restored, (Bytes{0xAA, 0xBB, 0xCC}));
    ASSERT_EQ(store.RestoreSnapshot(9, nullptr, 0, false), 0u);
    EXPECT_EQ(p.restored, (Bytes{0xDD}));
    store.CloseFile();
    EXPECT_FALSE(Exists("old.snp.compress"));
  }
}

}  // namespace
}  // namespace snaptest
