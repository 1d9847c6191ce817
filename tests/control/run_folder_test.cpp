// The working folder: the run folder's lock between engines, the back-up
// and restore of the result files, the clean-ups and the installation
// look-ups.
#include "control/problem/run_folder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "framework/libraries/library_loader.h"
#include "tests/support/planted_links.h"
#include "tests/support/registry_file.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/scoped_env.h"
#include "tests/support/second_user.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace SimWorkingFolder;

// A folder open as a descriptor, closed when it goes.
struct OpenFolder {
  explicit OpenFolder(const fs::path& folder)
      : fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~OpenFolder() {
    if (fd >= 0) ::close(fd);
  }
  int fd;
};

class RunFolderTest : public ::testing::Test {
 protected:
  std::string Work() const { return work.path().string() + "/"; }
  testsupport::TempDir work;
  testsupport::ScopedCurrentFolder here{work.path()};
};

TEST_F(RunFolderTest, TheLockKeepsASecondEngineOutUntilTheFirstLeaves) {
  int ready[2];
  int release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t engine = ::fork();
  ASSERT_GE(engine, 0);
  if (engine == 0) {
    // The first engine: opens the run folder, holds it until told.
    Folders first;
    first.SetWorkingFolder(Work().c_str());
    first.SetPendingName("Tank");
    const bool opened = first.OpenRunFolder() == kOk && first.HoldsLock();
    const char said = opened ? 'y' : 'n';
    (void)!::write(ready[1], &said, 1);
    char go = 0;
    (void)!::read(release[0], &go, 1);
    first.CloseLock();
    ::_exit(0);
  }
  char said = 0;
  ASSERT_EQ(::read(ready[0], &said, 1), 1);
  EXPECT_EQ(said, 'y');
  EXPECT_EQ(CheckFolder(Work().c_str(), "Tank"), kFailure);
  EXPECT_TRUE(fs::exists(work / "Tank" / kLockFileName));
  {
    // A second engine is refused the folder, and stays where it was.
    Folders second;
    second.SetWorkingFolder(Work().c_str());
    second.SetPendingName("Tank");
    std::string why;
    EXPECT_EQ(second.OpenRunFolder(&why), kInUse);
    EXPECT_EQ(why, "it is in use by another engine");
    EXPECT_FALSE(second.HoldsLock());
    EXPECT_EQ(second.RunFolderDescriptor(), -1);
    EXPECT_TRUE(second.RunName().empty());
  }
  (void)!::write(release[1], "x", 1);
  int exit_status = 0;
  ASSERT_EQ(::waitpid(engine, &exit_status, 0), engine);
  EXPECT_EQ(CheckFolder(Work().c_str(), "Tank"), kOk);
  EXPECT_FALSE(fs::exists(work / "Tank" / kLockFileName));
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

TEST_F(RunFolderTest, LockProbeOfMissingAndUnusableFolders) {
  EXPECT_EQ(CheckFolder(nullptr, "nowhere"), 0u);
  EXPECT_EQ(CheckFolder(Work().c_str(), "not yet"), 0u);
  EXPECT_FALSE(fs::exists(work / kLockFileName));
  EXPECT_EQ(CheckFolder("/no/such/folder", "x"), kCannotCreate);
  // A folder that holds a stale lock file (its engine is gone) is free.
  fs::create_directory(work / "Old");
  work.WriteFile("Old/OrvelQVLock.aml", "");
  EXPECT_EQ(CheckFolder(Work().c_str(), "Old"), kOk);
  EXPECT_FALSE(fs::exists(work / "Old" / kLockFileName));
  Folders folders;
  EXPECT_EQ(folders.OpenRunFolder(), 0xA032FFFFu);  // no name
}

TEST_F(RunFolderTest, BackUpOnACleanStartRestoreAfterACrash) {
  work.WriteFile("snapshot.snp", "snap 1");
  work.WriteFile("PlotData.cpd", "plot 1");
  work.WriteFile("PlotData.bak", "old plot");
  fs::permissions(work / "PlotData.bak", fs::perms::owner_read);
  int restored = 0;
  EXPECT_EQ(BackUpOrRestore([&] { ++restored; }), 0u);
  EXPECT_EQ(restored, 0);
  EXPECT_EQ(testsupport::ReadFileBytes(work / "snapshot.bak"), "snap 1");
  EXPECT_EQ(testsupport::ReadFileBytes(work / "PlotData.bak"), "plot 1");

  // The run did not end cleanly: the back-ups come back.
  work.WriteFile("snapshot.snp", "damaged");
  work.WriteFile("PlotData.cpd", "damaged");
  fs::permissions(work / "snapshot.snp", fs::perms::owner_read);
  EXPECT_EQ(BackUpOrRestore([&] { ++restored; }), 0u);
  EXPECT_EQ(restored, 1);
  EXPECT_EQ(testsupport::ReadFileBytes(work / "snapshot.snp"), "snap 1");
  EXPECT_EQ(testsupport::ReadFileBytes(work / "PlotData.cpd"), "plot 1");
}

TEST_F(RunFolderTest, DeletingResultAndTemporaryFiles) {
  const OpenFolder folder(work.path());
  EXPECT_EQ(DeleteResultFiles(folder.fd), kFailure);
  EXPECT_EQ(DeleteResultFiles(-1), kFailure);
  work.WriteFile("PlotData.cpd", "p");
  EXPECT_EQ(DeleteResultFiles(folder.fd), kOk);
  EXPECT_FALSE(fs::exists(work / "PlotData.cpd"));
  work.WriteFile("a.tmp", "");
  work.WriteFile("B.TMP", "");
  work.WriteFile("keep.tmpx", "");
  fs::permissions(work / "a.tmp", fs::perms::owner_read);
  DeleteTempFiles(folder.fd);
  EXPECT_FALSE(fs::exists(work / "a.tmp"));
  EXPECT_FALSE(fs::exists(work / "B.TMP"));
  EXPECT_TRUE(fs::exists(work / "keep.tmpx"));
}

// Links planted in the run folder under the names of the engine's own
// files: nothing they lead to is read, written, made or changed in its
// permissions, and the engine's files take the links' places.
TEST_F(RunFolderTest, LinksPlantedUnderItsNamesLeadNowhere) {
  const fs::path run = work / "Run";
  testsupport::PlantedLinks links(run, {{"snapshot.snp", "profile", "victim's own file", 0644},
                                        {"snapshot.bak", "attacker", "attacker's bytes", 0644},
                                        {"PlotData.cpd", "plot", "victim's plot", 0644},
                                        {"PlotData.bak", "missing_plot_backup", "", 0},
                                        {"x.tmp", "secret", "private", 0600},
                                        {kLockFileName, "made_by_the_lock", "", 0}});
  testsupport::ScopedCurrentFolder in_run(run);
  // After a crash the back-ups would be restored: a linked back-up is not
  // one, and a restore that failed is not announced.
  int restored = 0;
  EXPECT_EQ(BackUpOrRestore([&] { ++restored; }), 0x8000FFFFu);
  EXPECT_EQ(restored, 0);
  EXPECT_EQ(links.State(), links.Before());
  // A clean start with a linked back-up name: the copy takes the link's place.
  fs::remove(run / "snapshot.bak");
  fs::remove(run / "PlotData.cpd");
  work.WriteFile("Run/PlotData.cpd", "plot 1");
  EXPECT_EQ(BackUpOrRestore(nullptr), 0u);
  EXPECT_FALSE(fs::is_symlink(run / "PlotData.bak"));
  EXPECT_EQ(testsupport::ReadFileBytes(run / "PlotData.bak"), "plot 1");
  EXPECT_FALSE(fs::exists(run / "snapshot.bak"));  // a linked snapshot is not backed up
  DeleteTempFiles(OpenFolder(run).fd);
  EXPECT_FALSE(fs::is_symlink(run / "x.tmp"));
  EXPECT_EQ(links.State(), links.Before());

  // A link at the lock file's name keeps every engine from its lock: the
  // folder is refused, by the link's name, and the link is left as it was.
  Folders folders;
  folders.SetWorkingFolder(Work().c_str());
  folders.SetPendingName("Run");
  std::string why;
  EXPECT_EQ(folders.OpenRunFolder(&why), kCannotCreate);
  const std::string link = Work() + "Run/" + kLockFileName;
  EXPECT_EQ(why, "its lock file " + link + " is a symbolic link: remove it to run there");
  EXPECT_FALSE(folders.HoldsLock());
  why.clear();
  EXPECT_EQ(CheckFolder(Work().c_str(), "Run", &why), kCannotCreate);
  EXPECT_EQ(why, "its lock file " + link + " is a symbolic link: remove it to run there");
  EXPECT_EQ(links.State(), links.Before());
  // Without it the folder is free and taken, lock and all.
  fs::remove(link);
  EXPECT_EQ(CheckFolder(Work().c_str(), "Run"), kOk);
  folders.SetPendingName("Run");
  EXPECT_EQ(folders.OpenRunFolder(), kOk);
  EXPECT_TRUE(folders.HoldsLock());
}

mode_t ModeOf(const fs::path& path) {
  struct stat s {};
  return ::lstat(path.c_str(), &s) == 0 ? s.st_mode & 07777 : 0;
}

// A lock file is closed to everyone but its owner from its first moment,
// whatever the umask. One of ours that others can open (left by an earlier
// engine) is not trusted: it is replaced, held by another process or not,
// at the probe as at the naming, unless the renewal lock beside it cannot
// be had; that is said, with what to remove.
TEST_F(RunFolderTest, ALockFileOthersCanOpenIsReplaced) {
  const fs::path lock = work / "Tank" / kLockFileName;
  const fs::path renewal = work / "Tank" / "OrvelQVLock.aml.renew";
  const mode_t mask = ::umask(0);
  {
    Folders fresh;
    fresh.SetWorkingFolder(Work().c_str());
    fresh.SetPendingName("Tank");
    EXPECT_EQ(fresh.OpenRunFolder(), kOk);
    EXPECT_EQ(ModeOf(lock), 0600u);
    EXPECT_FALSE(fs::exists(renewal));  // none replaced
  }
  ::umask(mask);
  // Marked by its bytes: a new file may take the old one's inode number.
  const std::string left = "left by an earlier engine";
  const auto plant = [&] {
    std::ofstream(lock) << left;
    fs::permissions(lock, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read);
  };

  // Held by someone else all along, as a reader of the folder could.
  int held[2], release[2];
  ASSERT_EQ(::pipe(held), 0);
  ASSERT_EQ(::pipe(release), 0);
  plant();
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    ::close(release[1]);
    const int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    (void)!::write(held[1], fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? "y" : "n", 1);
    char end = 0;
    (void)!::read(release[0], &end, 1);  // until the test closes it
    ::_exit(0);
  }
  ::close(release[0]);
  char said = 0;
  ASSERT_EQ(::read(held[0], &said, 1), 1);
  ASSERT_EQ(said, 'y');
  EXPECT_EQ(CheckFolder(Work().c_str(), "Tank"), kOk);
  EXPECT_FALSE(fs::exists(lock));
  EXPECT_EQ(ModeOf(renewal), 0600u);

  fs::remove(renewal);
  const std::string named = Work() + "Tank/" + kLockFileName;
  ASSERT_EQ(::symlink("elsewhere", renewal.c_str()), 0);
  plant();
  Folders folders;
  folders.SetWorkingFolder(Work().c_str());
  folders.SetPendingName("Tank");
  std::string why;
  EXPECT_EQ(folders.OpenRunFolder(&why), kCannotCreate);
  EXPECT_EQ(why,
            "its lock file " + named +
                " can be opened by other users (mode 0644) and is not replaced "
                "(OrvelQVLock.aml.renew beside it is a symbolic link): remove it to run there");
  EXPECT_EQ(testsupport::ReadFileBytes(lock), left);
  EXPECT_EQ(ModeOf(lock), 0644u);
  EXPECT_TRUE(fs::is_symlink(renewal));

  // The renewal lock an earlier replacement left is used again.
  fs::remove(renewal);
  std::ofstream(renewal) << "";
  fs::permissions(renewal, fs::perms::owner_read | fs::perms::owner_write);
  folders.SetPendingName("Tank");
  EXPECT_EQ(folders.OpenRunFolder(&why), kOk) << why;
  EXPECT_TRUE(folders.HoldsLock());
  EXPECT_EQ(testsupport::ReadFileBytes(lock), "");
  EXPECT_EQ(ModeOf(lock), 0600u);
  EXPECT_EQ(CheckFolder(Work().c_str(), "Tank"), kFailure);
  ::close(release[1]);
  ASSERT_EQ(::waitpid(holder, nullptr, 0), holder);
  for (int fd : held) ::close(fd);
}

// Engines that all find the same wide lock file and name the folder at
// once: exactly one takes it, every other hears it in use, round after
// round.
TEST_F(RunFolderTest, OfEnginesReplacingOneWideLockFileExactlyOneRuns) {
  constexpr int kEngines = 8;
  constexpr int kRounds = 60;
  const fs::path lock = work / "Tank" / kLockFileName;
  fs::create_directory(work / "Tank");
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    fs::remove(lock);
    std::ofstream(lock) << "";
    fs::permissions(lock, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read);
    int start[2], told[2], release[2];
    ASSERT_EQ(::pipe(start), 0);
    ASSERT_EQ(::pipe(told), 0);
    ASSERT_EQ(::pipe(release), 0);
    std::vector<pid_t> engines;
    for (int e = 0; e < kEngines; ++e) {
      const pid_t engine = ::fork();
      ASSERT_GE(engine, 0);
      if (engine == 0) {
        ::close(start[1]);
        ::close(release[1]);
        char go = 0;
        (void)!::read(start[0], &go, 1);  // all go when the test closes it
        Folders folders;
        folders.SetWorkingFolder(Work().c_str());
        folders.SetPendingName("Tank");
        const Status opened = folders.OpenRunFolder();
        const char said = opened == kOk && folders.HoldsLock() ? 'y' : opened == kInUse ? 'b' : 'n';
        (void)!::write(told[1], &said, 1);
        (void)!::read(release[0], &go, 1);  // holds until the test closes it
        ::_exit(0);
      }
      engines.push_back(engine);
    }
    ::close(start[0]);
    ::close(start[1]);
    ::close(told[1]);
    std::string said;
    char one = 0;
    while (said.size() < kEngines && ::read(told[0], &one, 1) == 1) said += one;
    EXPECT_EQ(std::count(said.begin(), said.end(), 'y'), 1) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), 'b'), kEngines - 1) << said;
    EXPECT_EQ(ModeOf(lock), 0600u);
    ::close(release[1]);
    for (pid_t engine : engines) ::waitpid(engine, nullptr, 0);
    ::close(told[0]);
    ::close(release[0]);
  }
}

// Named again, the folder whose lock the engine holds keeps it; another
// folder takes its own, and the first one's lock goes.
TEST_F(RunFolderTest, TheLockMovesWithTheRunFolder) {
  Folders folders;
  folders.SetWorkingFolder(Work().c_str());
  for (const char* name : {"A", "A", "B"}) {
    folders.SetPendingName(name);
    ASSERT_EQ(folders.OpenRunFolder(), kOk) << name;
    EXPECT_TRUE(folders.HoldsLock()) << name;
    EXPECT_EQ(CheckFolder(Work().c_str(), name), kFailure) << name;
  }
  EXPECT_EQ(CheckFolder(Work().c_str(), "A"), kOk);
  EXPECT_FALSE(fs::exists(work / "A" / kLockFileName));
}

// A restore whose snapshot back-up cannot be read is not announced, even
// when the plot back-up came back.
TEST_F(RunFolderTest, AFailedRestoreIsNotAnnounced) {
  fs::create_directory(work / "snapshot.bak");
  work.WriteFile("PlotData.bak", "plot 1");
  int restored = 0;
  EXPECT_EQ(BackUpOrRestore([&] { ++restored; }), 0x8000FFFFu);
  EXPECT_EQ(restored, 0);
  EXPECT_EQ(testsupport::ReadFileBytes(work / "PlotData.cpd"), "plot 1");
}

// In a working folder others write to, a run folder that another user made
// a link to somewhere else is refused with the reason; the engine neither
// enters it, nor takes it for its run folder, nor touches what is there.
// A link of our own is the user's choice, and what the engine deletes goes
// through the folder it entered even when the name is swapped afterwards.
TEST_F(RunFolderTest, ARunFolderLinkOfAnotherUserIsRefused) {
  const testsupport::SecondUser other;
  const testsupport::ReachableFolder shared(other);
  if (shared.path().empty()) GTEST_SKIP() << shared.why_not;
  const std::string working = shared.path().string() + "/";
  const fs::path elsewhere = shared / "elsewhere";
  fs::create_directory(elsewhere);
  for (const char* name : {"results.tmp", "snapshot.snp", "PlotData.cpd"})
    std::ofstream(elsewhere / name) << "someone's file";
  fs::permissions(shared.path(), fs::perms::all);
  const std::string planted = (shared / "Sim").string();
  const std::string target = elsewhere.string();
  ASSERT_EQ(other.Run([&] { return ::symlink(target.c_str(), planted.c_str()) == 0 ? 0 : 1; }), 0);

  Folders folders;
  folders.SetWorkingFolder(working.c_str());
  folders.SetPendingName("Sim");
  std::string why;
  EXPECT_EQ(folders.OpenRunFolder(&why), kFailure);
  EXPECT_EQ(why, "it is a symbolic link of another user");
  EXPECT_EQ(folders.TriedRunFolder(), working + "Sim/");
  EXPECT_FALSE(folders.HoldsLock());
  EXPECT_EQ(folders.RunName(), "");
  EXPECT_EQ(folders.RunFolderDescriptor(), -1);
  std::string here;
  ASSERT_EQ(GetCurrentFolder(&here), kOk);
  EXPECT_EQ(here, working);
  EXPECT_EQ(DeleteResultFiles(folders.RunFolderDescriptor()), kFailure);
  DeleteTempFiles(folders.RunFolderDescriptor());
  for (const char* name : {"results.tmp", "snapshot.snp", "PlotData.cpd"})
    EXPECT_TRUE(fs::exists(elsewhere / name)) << name;
  EXPECT_FALSE(fs::exists(elsewhere / kLockFileName));

  const fs::path mine = shared / "mine";
  fs::create_directory(mine);
  fs::create_directory_symlink(mine, shared / "Mine");
  folders.SetPendingName("Mine");
  EXPECT_EQ(folders.OpenRunFolder(&why), kOk) << why;
  EXPECT_TRUE(folders.HoldsLock());
  EXPECT_EQ(folders.RunFolder(), working + "Mine/");
  std::ofstream(mine / "snapshot.snp") << "ours";
  // Another run refused keeps the one entered.
  folders.SetPendingName("Sim");
  EXPECT_EQ(folders.OpenRunFolder(&why), kFailure);
  EXPECT_EQ(folders.RunName(), "Mine");
  fs::remove(shared / "Mine");
  fs::create_directory_symlink(elsewhere, shared / "Mine");
  EXPECT_EQ(DeleteResultFiles(folders.RunFolderDescriptor()), kOk);
  EXPECT_FALSE(fs::exists(mine / "snapshot.snp"));
  EXPECT_TRUE(fs::exists(elsewhere / "snapshot.snp"));
}

TEST_F(RunFolderTest, FoldersEndInASeparator) {
  std::string current;
  ASSERT_EQ(GetCurrentFolder(&current), kOk);
  EXPECT_EQ(current, fs::current_path().string() + "/");
  Folders folders;
  folders.SetWorkingFolder(work.path().c_str());
  EXPECT_EQ(folders.WorkingFolder(), Work());
  folders.SetWorkingFolder("relative");
  EXPECT_EQ(folders.WorkingFolder(), current + "relative/");
  EXPECT_STREQ(folders.RunNameOrNull(), "NULL");
  std::string deep = work.path().string();
  for (char c : {'d', 'e', 'f', 'g', 'h', 'i'}) deep += "/" + std::string(200, c);
  fs::create_directories(deep);
  ASSERT_EQ(SetCurrentFolder(deep.c_str()), kOk);
  ASSERT_EQ(GetCurrentFolder(&current), kOk);
  EXPECT_EQ(current, deep + "/");
  EXPECT_GT(current.size(), 1024u);
}

TEST_F(RunFolderTest, InstallationLookUps) {
  const std::string kvs = Work() + "kvs2";
  const std::string text =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility\\KVS]\n"
      "1 = 7.0\n2 = 7.1\n3 = 7.2\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brunvald\\KVS\\7.1]\nKVSTOP = " +
      kvs +
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brunvald\\KVS\\7.2]\nKVSTOP = " +
      Work() +
      "kvs3\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility\\TANQ]\n";
  testsupport::RegistryFile registry(text);
  std::vector<std::string> said;
  auto report = [&](Status status, const std::string& line) {
    EXPECT_EQ(status, 0xA032FFFFu);
    said.push_back(line);
  };
  EXPECT_EQ(FindSolverFramework(report), 0);
  EXPECT_TRUE(said.empty());
  auto on_path = [](const std::string& folder) {
    int count = 0;
    for (const std::string& known : XosDynamicLibrary::SearchPaths()) count += known == folder;
    return count;
  };
  EXPECT_EQ(on_path(kvs + "/bin"), 1);
  EXPECT_EQ(FindSolverFramework(report), 0);
  EXPECT_EQ(on_path(kvs + "/bin"), 1);  // not added twice
  XosDynamicLibrary::RemoveSearchPath((kvs + "/bin").c_str());

  EXPECT_EQ(FindModellingFramework(report), 1);
  EXPECT_EQ(said, (std::vector<std::string>{"Failed to find a compatibile version of TANQ"}));
  said.clear();
  EXPECT_EQ(FindPropertiesSystem(report), 1);
  EXPECT_TRUE(said.empty());  // the properties system is optional
  registry.Rewrite("");
  EXPECT_EQ(FindSolverFramework(report), 1);
  EXPECT_EQ(said, (std::vector<std::string>{
                      "Couldn't find registry key "
                      "HKLM\\SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility\\KVS"}));
}

}  // namespace

#ifdef VANTOR_BUILD_REGISTRY
namespace {

// The registry the build writes answers every look-up of the first attach,
// and the solver framework's libraries are then on the search path.
TEST(BuildRegistry, AnswersTheInstallationLookUps) {
  testsupport::ScopedEnv registry("VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY);
  std::vector<std::string> said;
  auto report = [&](Status, const std::string& line) { said.push_back(line); };
  const std::vector<std::string> before = XosDynamicLibrary::SearchPaths();
  EXPECT_EQ(FindModellingFramework(report), 0);
  EXPECT_EQ(FindSolverFramework(report), 0);
  EXPECT_TRUE(said.empty()) << testing::PrintToString(said);
  bool has_services = false;
  for (const std::string& folder : XosDynamicLibrary::SearchPaths()) {
    has_services |= std::filesystem::exists(folder + "/kvs_services.so");
  }
  EXPECT_TRUE(has_services);
  // A copy: removing changes the loader's own list.
  const std::vector<std::string> after = XosDynamicLibrary::SearchPaths();
  for (const std::string& folder : after) {
    if (std::find(before.begin(), before.end(), folder) == before.end())
      XosDynamicLibrary::RemoveSearchPath(folder.c_str());
  }
}

}  // namespace
#endif
