// A child stopped at every write, rename and sync of the results manager's
// file operations leaves every snapshot committed before the stop in some
// snapshot file of the folder.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "platform/posix_file.h"
#include "results/snapshots/snap_import.h"
#include "tests/results/snapshot_text_fakes.h"
#include "tests/results/results_mgr_fakes.h"
#include "tests/results/snapshot_fakes.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using resultstest::FakeProblem;
using Action = std::function<void(SimResultsMgr&, FakeProblem&)>;

const std::vector<std::string> kNames = {"a", "b", "c"};

class ResultsCrash : public snaptest::SnapshotFolder {
 protected:
  void BuildBase() {
    FakeProblem problem(kNames);
    SimResultsMgr manager(&problem);
    RunPosition at;
    ASSERT_EQ(manager.OpenSnapshotFile(3, problem.Values({1, 2, 3}), &at, false, false), 0u);
    for (int k = 1; k <= 3; ++k) {
      manager.AfterRunStep(k, 1, 1, RunResultsSeam::kStepEvent, k, 1e-9, false);
      std::uint32_t id = 0;
      char name[8];
      std::snprintf(name, sizeof name, "s%d", k);
      ASSERT_EQ(manager.TakeNamedSnapshot(name, &id, true, false), 0u);
    }
    manager.Store().Clear(true);
    fs::copy_file("snapshot.snp", base_, fs::copy_options::overwrite_existing);
  }

  void Reset() {
    for (const auto& entry : fs::directory_iterator(".")) fs::remove(entry.path());
    fs::copy_file(base_, "snapshot.snp");
  }

  // The names of the snapshots in every snapshot file of the folder.
  static std::set<std::string> Found() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(".")) {
      const std::string file = entry.path().filename().string();
      if (file.size() < 4 || file.substr(file.size() - 4) != ".snp") continue;
      SputSnapshotMgr store;
      if (status::IsFailure(store.OpenFile(file.c_str(), nullptr, false))) continue;
      for (const SputSSBlockHeader* h = store.FirstHeader(); h != nullptr;
           h = SputSnapshotMgr::NextHeader(h))
        names.insert(h->name);
    }
    return names;
  }

  // The manager opens the file (with the setup's problem) and acts, in a
  // child that ends at its n-th write, rename or sync; the exit code.
  static int StoppedChild(std::uint64_t n, const Action& setup, const Action& action) {
    const pid_t child = ::fork();
    if (child == 0) {
      FakeProblem problem(kNames);
      SimResultsMgr manager(&problem);
      setup(manager, problem);
      platform::SetFileFaultCountdown(n);
      action(manager, problem);
      ::_exit(0);
    }
    int wait_status = 0;
    if (child < 0 || ::waitpid(child, &wait_status, 0) != child || !WIFEXITED(wait_status))
      return -1;
    return WEXITSTATUS(wait_status);
  }

  // Outside the folder that Reset empties, and this test's own: a name
  // beside it in the shared temporary folder is another process's too.
  testsupport::TempDir keep_;
  const fs::path base_ = keep_.path() / "base.keep";
};

TEST_F(ResultsCrash, EveryStepOfTheFileOperations) {
  const Action open_existing = [](SimResultsMgr& m, FakeProblem& p) {
    RunPosition at;
    m.OpenSnapshotFile(3, p.Values({0, 0, 0}), &at, true, false);
  };
  const Action nothing = [](SimResultsMgr&, FakeProblem&) {};
  struct Scenario {
    const char* label;
    Action setup;
    Action action;
  };
  const Scenario scenarios[] = {
      {"problem edited", open_existing, [](SimResultsMgr& m, FakeProblem&) { m.ProblemEdited(); }},
      {"re-mapping", nothing,
       [](SimResultsMgr& m, FakeProblem&) {
         FakeProblem reordered({"c", "b", "a"});
         SimResultsMgr other(&reordered);
         RunPosition at;
         m.Store().Clear(true);
         other.OpenSnapshotFile(3, reordered.Values({0, 0, 0}), &at, true, true);
       }},
      {"save files", open_existing, [](SimResultsMgr& m, FakeProblem&) { m.SaveFiles(); }},
      {"start new files", nothing,
       [](SimResultsMgr& m, FakeProblem& p) {
         RunPosition at;
         m.OpenSnapshotFile(3, p.Values({0, 0, 0}), &at, false, false);
       }},
  };
  BuildBase();
  const std::set<std::string> committed = {"s1", "s2", "s3"};
  for (const Scenario& s : scenarios) {
    Reset();
    {
      FakeProblem problem(kNames);
      SimResultsMgr manager(&problem);
      s.setup(manager, problem);
      const std::uint64_t before = platform::FileFaultPointCount();
      s.action(manager, problem);
      const std::uint64_t points = platform::FileFaultPointCount() - before;
      ASSERT_GT(points, 0u) << s.label;
      for (std::uint64_t n = 1; n <= points + 1; ++n) {
        SCOPED_TRACE(::testing::Message()
                     << s.label << " stopped at step " << n << " of " << points);
        Reset();
        EXPECT_EQ(StoppedChild(n, s.setup, s.action),
                  n <= points ? platform::kFileFaultExitCode : 0);
        const std::set<std::string> found = Found();
        for (const auto& name : committed) EXPECT_EQ(found.count(name), 1u) << name;
      }
    }
  }
}

// The names in one file; empty when it cannot be read.
std::set<std::string> NamesIn(const char* file) {
  std::set<std::string> names;
  SputSnapshotMgr store;
  if (status::IsFailure(store.OpenFile(file, nullptr, false))) return names;
  for (const SputSSBlockHeader* h = store.FirstHeader(); h != nullptr;
       h = SputSnapshotMgr::NextHeader(h))
    names.insert(h->name);
  return names;
}

// Compacting every file, exporting one snapshot and importing one into a
// new file: each stop leaves every file's snapshots where they were, and a
// new file either whole or without any snapshot.
TEST_F(ResultsCrash, AllExportAndImportLoseNoSnapshot) {
  const Action open_with_other = [](SimResultsMgr& m, FakeProblem& p) {
    fs::copy_file("snapshot.snp", "snp_0001.snp", fs::copy_options::overwrite_existing);
    RunPosition at;
    m.OpenSnapshotFile(3, p.Values({0, 0, 0}), &at, true, false);
  };
  const Action all = [](SimResultsMgr& m, FakeProblem&) {
    const char* strings[] = {"All"};
    m.HandleCommand(55, 128, 1, strings, 0, nullptr, 0, nullptr);
  };
  const Action export_one = [](SimResultsMgr& m, FakeProblem&) {
    std::uint32_t id = 0;
    m.FindSnapshotByName("s2", &id);
    const char* strings[] = {"exported.snp"};
    const std::int32_t integers[] = {static_cast<std::int32_t>(id)};
    m.HandleCommand(55, 117, 1, strings, 1, integers, 0, nullptr);
  };
  const Action import_one = [](SimResultsMgr& m, FakeProblem&) {
    SputSSBlockHeader header;
    header.SetName("imported");
    header.flags = 0x80000000u | 1000u;
    SUPackedValueTable values;
    snaptext::AddReal(values, 4.0);
    BvuDirectoryProper tree(nullptr, "");
    snaptext::AddUseData(&tree, {"Plant", ".a"}, 0, 4);
    DseMessage sent(55, DseMessage::kRequest);
    sent.PutUInt16(116);
    SputSnapImport::Write(sent, {&header}, {&values}, &tree);
    BvuDirectoryProper::DeleteBelow(&tree);
    auto request = testsupport::Received(sent);
    DseMessage* reply = nullptr;
    m.HandleRequest(55, request.get(), &reply, nullptr);
    delete reply;
  };
  struct Scenario {
    const char* label;
    Action action;
    std::vector<const char*> whole;  // files that keep s1 to s3
  };
  const Scenario scenarios[] = {
      {"All", all, {"snapshot.snp", "snp_0001.snp"}},
      {"117", export_one, {"snapshot.snp", "snp_0001.snp"}},
      {"116", import_one, {"snapshot.snp", "snp_0001.snp"}},
  };
  BuildBase();
  const std::set<std::string> committed = {"s1", "s2", "s3"};
  for (const Scenario& s : scenarios) {
    Reset();
    std::uint64_t points = 0;
    {
      FakeProblem problem(kNames);
      SimResultsMgr manager(&problem);
      open_with_other(manager, problem);
      const std::uint64_t before = platform::FileFaultPointCount();
      s.action(manager, problem);
      points = platform::FileFaultPointCount() - before;
    }
    ASSERT_GT(points, 0u) << s.label;
    for (std::uint64_t n = 1; n <= points + 1; ++n) {
      SCOPED_TRACE(::testing::Message() << s.label << " stopped at step " << n << " of " << points);
      Reset();
      EXPECT_EQ(StoppedChild(n, open_with_other, s.action),
                n <= points ? platform::kFileFaultExitCode : 0);
      for (const char* file : s.whole) EXPECT_EQ(NamesIn(file), committed) << file;
      // Any other snapshot file is the new one, whole or empty.
      for (const auto& entry : fs::directory_iterator(".")) {
        const std::string file = entry.path().filename().string();
        if (file == "snapshot.snp" || file == "snp_0001.snp" || file.size() < 4 ||
            file.substr(file.size() - 4) != ".snp")
          continue;
        const std::set<std::string> names = NamesIn(file.c_str());
        if (names.empty()) continue;
        const std::set<std::string> made =
            std::string(s.label) == "116" ? std::set<std::string>{"imported"}
                                          : std::set<std::string>{"s2"};
        EXPECT_EQ(names, made) << file;
      }
    }
  }
}

}  // namespace
