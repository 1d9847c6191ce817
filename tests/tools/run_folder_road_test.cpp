// A run folder others can write in, through the real engine: links planted
// under the names of the engine's own files (the snapshot file and its
// back-up, the plot history, a temporary file, the value dump) lead to files
// outside. The run goes as ever, and nothing outside is written, made, read
// into the run's files or changed in its permissions. A sample run in a
// folder another engine runs in, or whose lock file is a link, is refused
// before it touches it.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "road_env.h"
#include "tests/support/planted_links.h"
#include "tests/support/scoped_env.h"
#include "tests/support/second_user.h"
#include "tests/support/set_acl.h"
#include "tools/first_order.h"
#include "tools/road.h"
#include "tools/road_steps.h"

namespace {

namespace fs = std::filesystem;

class RunFolderRoad : public roadtest::RoadEnv {
 protected:
  // An engine told to run FirstOrder from `from`/shared/, once its lock
  // file is there.
  static std::unique_ptr<vantor_client::Client> LockingEngine(const fs::path& from,
                                                              const fs::path& lock);
};

TEST_F(RunFolderRoad, LinksPlantedUnderTheEnginesNamesLeadNowhere) {
  const fs::path run = work_.path() / "FirstOrder";
  testsupport::PlantedLinks links(run,
                                  {{"snapshot.snp", "profile", "victim's own file", 0644},
                                   {"snapshot.bak", "attacker", "attacker's bytes", 0644},
                                   {"PlotData.cpd", "plot", "victim's plot", 0644},
                                   {"PlotData.bak", "plot_backup", "victim's plot back-up", 0644},
                                   {"x.tmp", "secret", "private", 0600}});
  vantor_scenario::FirstOrderOptions options;
  options.engine = Engine();
  options.folder = Folder();
  options.edit = false;
  vantor_scenario::FirstOrderRun trace;
  EXPECT_TRUE(vantor_scenario::RunFirstOrder(options, &trace))
      << trace.failure << roadtest::Lines(trace);
  EXPECT_TRUE(vantor_scenario::WithinTolerance(trace));
  EXPECT_EQ(trace.exit_code, 0);
  EXPECT_EQ(links.State(), links.Before());
  EXPECT_FALSE(fs::is_symlink(run / "x.tmp"));
  EXPECT_FALSE(fs::is_symlink(run / "snapshot.snp"));
}

// The quality-control dump named without a folder goes in the run folder:
// a link planted under its name, to a file or to a missing name, is not
// written through, and the engine says why the dump was not written.
TEST_F(RunFolderRoad, TheValueDumpIsNotWrittenThroughALink) {
  const testsupport::ScopedEnv dump("SPQCFILE", "qc.txt");
  for (const bool dangling : {false, true}) {
    SCOPED_TRACE(dangling ? "a link to a missing name" : "a link to a file");
    const fs::path working = work_.path() / (dangling ? "dangling" : "existing");
    testsupport::PlantedLinks links(
        working / "FirstOrder",
        {dangling ? testsupport::PlantedLinks::Plant{"qc.txt", "made_by_the_dump", "", 0}
                  : testsupport::PlantedLinks::Plant{"qc.txt", "victim", "victim's file", 0644}});
    vantor_scenario::FirstOrderOptions options;
    options.engine = Engine();
    options.folder = working.string();
    options.edit = false;
    vantor_scenario::FirstOrderRun trace;
    EXPECT_TRUE(vantor_scenario::RunFirstOrder(options, &trace))
        << trace.failure << roadtest::Lines(trace);
    EXPECT_EQ(links.State(), links.Before());
    EXPECT_NE(roadtest::Lines(trace).find("qc.txt was not written: it is a link"),
              std::string::npos)
        << roadtest::Lines(trace);
  }
}

// `vantor-client ENGINE steps` started from the folder, its output read later.
FILE* StartClient(const fs::path& from, const std::string& steps) {
  const std::string command = "cd '" + from.string() + "' && " + VANTOR_CLIENT + " " +
                              VANTOR_ENGINE + " " + steps + " 2>&1";
  return ::popen(command.c_str(), "r");
}

// What a client started so printed, and its exit code.
int Finish(FILE* pipe, std::string* printed) {
  if (pipe == nullptr) return -1;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) *printed += buffer;
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// `vantor-client ENGINE first-order shared` from the working folder; its
// exit code and what it printed.
int SampleRun(const fs::path& from, std::string* printed) {
  return Finish(StartClient(from, "first-order shared"), printed);
}

// Another engine holds shared/FirstOrder (named there by command 3): the
// sample run says so, by the folder the user gave, and leaves that engine's
// files alone. Once it has gone, a lock file it left behind does not stop
// the same run.
TEST_F(RunFolderRoad, ASampleRunRefusesAFolderAnotherEngineRunsIn) {
  const fs::path run = work_.path() / "shared" / "FirstOrder";
  fs::create_directories(work_.path() / "shared");
  std::unique_ptr<vantor_client::Client> holder;
  ASSERT_EQ(vantor_client::Client::Start(Engine(), &holder), 0u);
  vantor_scenario::FirstOrderRun trace;
  vantor_scenario::Road road(*holder, &trace);
  ASSERT_TRUE(
      road.Expect(vantor_client::MakeCommand(vantor_scenario::kProblemService, 3, {}, {},
                                             {"FirstOrder", (work_.path() / "shared/").string()}),
                  "command 3", 0))
      << trace.failure;
  // The engine takes the folder as its loop comes to the command.
  ASSERT_EQ(holder->WaitFor([&] { return fs::exists(run / "OrvelQVLock.aml"); }), 0u);
  std::ofstream(run / "snapshot.snp") << "the other engine's snapshots";

  std::string printed;
  EXPECT_NE(SampleRun(work_.path(), &printed), 0) << printed;
  EXPECT_NE(printed.find("the run failed: shared/FirstOrder is in use by another engine"),
            std::string::npos)
      << printed;
  EXPECT_EQ(testsupport::ReadFileBytes(run / "snapshot.snp"), "the other engine's snapshots");

  ASSERT_TRUE(road.Expect(vantor_client::MakeCommand(vantor_scenario::kProblemService, 2),
                          "command 2", vantor_scenario::kEnding))
      << trace.failure;
  ASSERT_TRUE(vantor_scenario::FinishEngine(*holder, road, &trace, true)) << trace.failure;
  holder.reset();
  std::ofstream(run / "OrvelQVLock.aml") << "";
  printed.clear();
  EXPECT_EQ(SampleRun(work_.path(), &printed), 0) << printed;
  EXPECT_NE(printed.find("the run was fine"), std::string::npos) << printed;
}

// A link at the lock file's name (a leftover, or planted): no engine can
// take the folder's lock, so the sample run is refused the folder, with a
// line naming the link. The engine's files there, and what the link leads
// to, stay as they were; without the link the same run goes.
TEST_F(RunFolderRoad, ALinkAtTheLockFilesNameKeepsTheFolderInUse) {
  const fs::path run = work_.path() / "shared" / "FirstOrder";
  testsupport::PlantedLinks links(run, {{"OrvelQVLock.aml", "made_by_the_lock", "", 0}});
  std::ofstream(run / "snapshot.snp") << "another engine's snapshots";
  std::string printed;
  EXPECT_NE(SampleRun(work_.path(), &printed), 0) << printed;
  EXPECT_NE(printed.find("the run failed: naming the simulation (command 3): status 0x803201FE"),
            std::string::npos)
      << printed;
  EXPECT_NE(
      printed.find("its lock file " + (run / "OrvelQVLock.aml").string() + " is a symbolic link"),
      std::string::npos)
      << printed;
  EXPECT_EQ(links.State(), links.Before());
  EXPECT_EQ(testsupport::ReadFileBytes(run / "snapshot.snp"), "another engine's snapshots");

  fs::remove(run / "OrvelQVLock.aml");
  printed.clear();
  EXPECT_EQ(SampleRun(work_.path(), &printed), 0) << printed;
  EXPECT_NE(printed.find("the run was fine"), std::string::npos) << printed;
}

// What can stand at the lock file's name and cannot be locked: a folder, a
// named pipe, another user's file, a link, each in a working folder of its
// own, all tried at once. No engine takes such a folder, neither two that
// name it together nor a sample run, and each says what stands there
// instead of blaming another engine; what stands there is left as it was.
// Without it the same run goes.
TEST_F(RunFolderRoad, WhatCannotBeLockedAtTheLockFilesNameKeepsEveryEngineOut) {
  const testsupport::SecondUser other;
  struct Kind {
    std::function<bool(const fs::path&)> plant;
    std::string said;
  };
  struct Tried {
    fs::path from;
    struct stat planted {};
    FILE* clients[3] = {};  // two naming it together, a sample run
  };
  const std::vector<Kind> kinds = {
      {[](const fs::path& lock) { return fs::create_directory(lock); }, " is a folder"},
      {[](const fs::path& lock) { return ::mkfifo(lock.c_str(), 0666) == 0; }, " is a named pipe"},
      {[&](const fs::path& lock) {
         std::ofstream(lock) << "";
         return other.Available() && ::chown(lock.c_str(), other.uid, other.gid) == 0;
       },
       " belongs to another user (uid " + std::to_string(other.uid) + ")"},
      {[](const fs::path& lock) { return ::symlink("elsewhere", lock.c_str()) == 0; },
       " is a symbolic link"}};
  const auto lock_in = [](const Tried& tried) {
    return tried.from / "shared" / "FirstOrder" / "OrvelQVLock.aml";
  };
  std::vector<Tried> tries(kinds.size());
  for (std::size_t k = 0; k < kinds.size(); ++k) {
    Tried& tried = tries[k];
    tried.from = work_.path() / ("kind" + std::to_string(k));
    fs::create_directories(tried.from / "shared" / "FirstOrder");
    if (!kinds[k].plant(lock_in(tried))) {
      std::printf("%s not tried: %s\n", kinds[k].said.c_str(), other.why_not.c_str());
      continue;
    }
    ASSERT_EQ(::lstat(lock_in(tried).c_str(), &tried.planted), 0);
    const std::string shared = (tried.from / "shared").string() + "/";
    const std::string steps = "command 50 141 text:FirstOrder text:" + shared +
                              " command 50 3 text:FirstOrder text:" + shared;
    tried.clients[0] = StartClient(tried.from, steps);
    tried.clients[1] = StartClient(tried.from, steps);
    tried.clients[2] = StartClient(tried.from, "first-order shared");
  }
  for (std::size_t k = 0; k < kinds.size(); ++k) {
    const Tried& tried = tries[k];
    SCOPED_TRACE(kinds[k].said);
    if (tried.clients[0] == nullptr) continue;
    const std::string named = "its lock file " + lock_in(tried).string() + kinds[k].said;
    // Both hear it refused, at the lock probe and at the naming.
    for (FILE* client : {tried.clients[0], tried.clients[1]}) {
      std::string printed;
      Finish(client, &printed);
      EXPECT_NE(printed.find("status of command 141 (id 3) on service 50: 0x803201FE"),
                std::string::npos)
          << printed;
      EXPECT_NE(printed.find("status of command 3 (id 4) on service 50: 0x803201FE"),
                std::string::npos)
          << printed;
      EXPECT_NE(printed.find("The run folder cannot be locked: " + named), std::string::npos)
          << printed;
      EXPECT_NE(printed.find("Cannot make the run folder " + lock_in(tried).parent_path().string() +
                             "/: " + named),
                std::string::npos)
          << printed;
      EXPECT_EQ(printed.find("another engine"), std::string::npos) << printed;
    }
    std::string printed;
    EXPECT_NE(Finish(tried.clients[2], &printed), 0) << printed;
    EXPECT_NE(printed.find(named), std::string::npos) << printed;
    EXPECT_EQ(printed.find("another engine"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("the run was fine"), std::string::npos) << printed;
    struct stat after {};
    ASSERT_EQ(::lstat(lock_in(tried).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, tried.planted.st_ino);
    EXPECT_EQ(after.st_mode, tried.planted.st_mode);
  }
  fs::remove(lock_in(tries[0]));
  std::string printed;
  EXPECT_EQ(SampleRun(tries[0].from, &printed), 0) << printed;
  EXPECT_NE(printed.find("the run was fine"), std::string::npos) << printed;
}

// A process of the second user that opens `lock` for reading, takes its
// lock (waiting for it) and holds it until the object goes.
class HeldByAnother {
 public:
  HeldByAnother(const testsupport::SecondUser& user, const fs::path& lock) {
    if (::pipe(said_) != 0 || ::pipe(release_) != 0) return;
    const std::string path = lock.string();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(said_[0]);
      ::close(release_[1]);
      if (::setgroups(0, nullptr) != 0 || ::setgid(user.gid) != 0 || ::setuid(user.uid) != 0)
        ::_exit(120);
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
      (void)!::write(said_[1], fd >= 0 ? "o" : "n", 1);
      if (fd >= 0 && ::flock(fd, LOCK_EX) == 0) (void)!::write(said_[1], "h", 1);
      char go = 0;
      (void)!::read(release_[0], &go, 1);
      ::_exit(0);
    }
    ::close(said_[1]);
    ::close(release_[0]);
  }
  ~HeldByAnother() {
    ::close(release_[1]);
    ::close(said_[0]);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }
  HeldByAnother(const HeldByAnother&) = delete;
  HeldByAnother& operator=(const HeldByAnother&) = delete;
  // 'o' once it opened the file, 'n' when it could not; then 'h' once it
  // holds the lock. 0 when it is gone.
  char Next() {
    char said = 0;
    return ::read(said_[0], &said, 1) == 1 ? said : 0;
  }

 private:
  int said_[2] = {-1, -1};
  int release_[2] = {-1, -1};
  pid_t pid_ = -1;
};

std::unique_ptr<vantor_client::Client> RunFolderRoad::LockingEngine(const fs::path& from,
                                                                    const fs::path& lock) {
  std::unique_ptr<vantor_client::Client> engine;
  EXPECT_EQ(vantor_client::Client::Start(Engine(), &engine), 0u);
  if (engine == nullptr) return nullptr;
  vantor_scenario::FirstOrderRun trace;
  vantor_scenario::Road road(*engine, &trace);
  EXPECT_TRUE(road.Expect(vantor_client::MakeCommand(vantor_scenario::kProblemService, 3, {}, {},
                                                     {"FirstOrder", (from / "shared/").string()}),
                          "command 3", 0))
      << trace.failure;
  EXPECT_EQ(engine->WaitFor([&] { return fs::exists(lock); }), 0u);
  return engine;
}

// Kills the engine as a crash would, its lock file left behind.
void Kill(std::unique_ptr<vantor_client::Client>& engine) {
  ASSERT_EQ(::kill(engine->EnginePid(), SIGKILL), 0);
  engine->WaitFor([] { return false; });
  engine->Close(nullptr);
  engine.reset();
}

// Five sample runs in a row from the folder, each fine and none refused.
void FiveRunsFine(const fs::path& from) {
  for (int run = 0; run < 5; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    std::string printed;
    EXPECT_EQ(SampleRun(from, &printed), 0) << printed;
    EXPECT_NE(printed.find("the run was fine"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("another engine"), std::string::npos) << printed;
  }
}

// A lock file another user could read, in a run folder they can read: a
// reader holds its lock as long as they like. Left wide by a killed engine
// (as made before the lock file was closed to others) it is replaced, and
// five runs in a row go, as do sample runs started in pairs (each refused
// one then says the other engine holds the folder). Made by an engine that
// is then killed, it is closed from the first moment: the other user
// cannot open it, and five runs in a row go.
TEST_F(RunFolderRoad, ALockFileAnotherUserCanReadKeepsNoRunOut) {
  const testsupport::SecondUser other;
  const testsupport::ReachableFolder shared(other);
  if (shared.path().empty()) GTEST_SKIP() << shared.why_not;
  const auto readable = [](const fs::path& folder) {
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  };
  const auto plant_wide = [](const fs::path& lock) {
    std::ofstream(lock) << "";
    fs::permissions(lock, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read);
  };
  {
    SCOPED_TRACE("a wide lock file left by a killed engine");
    const fs::path from = shared / "left";
    const fs::path run = from / "shared" / "FirstOrder";
    readable(from);
    readable(from / "shared");
    readable(run);
    plant_wide(run / "OrvelQVLock.aml");
    {
      HeldByAnother holder(other, run / "OrvelQVLock.aml");
      ASSERT_EQ(holder.Next(), 'o');
      ASSERT_EQ(holder.Next(), 'h');
      FiveRunsFine(from);
    }
    for (int pair = 0; pair < 3; ++pair) {
      SCOPED_TRACE("pair " + std::to_string(pair));
      plant_wide(run / "OrvelQVLock.aml");
      HeldByAnother holder(other, run / "OrvelQVLock.aml");
      ASSERT_EQ(holder.Next(), 'o');
      ASSERT_EQ(holder.Next(), 'h');
      FILE* clients[2] = {StartClient(from, "first-order shared"),
                          StartClient(from, "first-order shared")};
      int fine = 0;
      for (FILE* client : clients) {
        std::string printed;
        if (Finish(client, &printed) == 0) {
          ++fine;
          EXPECT_NE(printed.find("the run was fine"), std::string::npos) << printed;
        } else {
          EXPECT_NE(printed.find("the run failed: shared/FirstOrder is in use by another engine"),
                    std::string::npos)
              << printed;
        }
      }
      EXPECT_GE(fine, 1);
    }
  }
  {
    SCOPED_TRACE("a lock file opened by another user at its making");
    const fs::path from = shared / "caught";
    const fs::path run = from / "shared" / "FirstOrder";
    readable(from);
    readable(from / "shared");
    readable(run);
    std::unique_ptr<vantor_client::Client> engine = LockingEngine(from, run / "OrvelQVLock.aml");
    ASSERT_NE(engine, nullptr);
    HeldByAnother holder(other, run / "OrvelQVLock.aml");
    const char opened = holder.Next();
    EXPECT_EQ(opened, 'n');
    Kill(engine);
    // Once the engine is gone a reader that opened the file holds its lock.
    if (opened == 'o') {
      EXPECT_EQ(holder.Next(), 'h');
    }
    ASSERT_TRUE(fs::exists(run / "OrvelQVLock.aml"));
    FiveRunsFine(from);
  }
}

// A lock file of the user's whose access list lets another user read it
// (a named user's or group's entry, the mask letting it through): they
// open it and hold its lock, yet it counts as a lock file others can open
// and is replaced, and five runs in a row go. Where the mask takes the
// read away, or no entry names them, or the run folder's default ACL would
// hand them read of what is made there, they cannot open it, and five runs
// in a row go likewise.
TEST_F(RunFolderRoad, ALockFileAnAclLetsAnotherUserReadKeepsNoRunOut) {
  const testsupport::SecondUser other;
  const testsupport::ReachableFolder shared(other);
  if (shared.path().empty()) GTEST_SKIP() << shared.why_not;
  const std::string uid = std::to_string(other.uid), gid = std::to_string(other.gid);
  struct Layout {
    const char* name;
    std::vector<std::string> acl;  // setfacl options on the lock file, in order
    bool opened;                   // whether the other user then opens it
  };
  const std::vector<Layout> layouts = {
      {"a named user's read", {"-m u:" + uid + ":r"}, true},
      {"a named user's read and write", {"-m u:" + uid + ":rw"}, true},
      {"a named group's read", {"-m g:" + gid + ":r"}, true},
      {"a named user's read behind a mask without it", {"-m u:" + uid + ":r", "-m m::-"}, false},
      {"no entry", {}, false}};
  int n = 0;
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    const fs::path from = shared / ("acl" + std::to_string(++n));
    const fs::path run = from / "shared" / "FirstOrder", lock = run / "OrvelQVLock.aml";
    for (const fs::path& folder : {from, from / "shared", run}) {
      fs::create_directories(folder);
      fs::permissions(folder, static_cast<fs::perms>(0755));
    }
    std::ofstream(lock) << "";
    fs::permissions(lock, fs::perms::owner_read | fs::perms::owner_write);
    for (const std::string& options : layout.acl) {
      bool unsupported = false;
      if (const std::string failed = testsupport::SetAcl(options, lock, &unsupported);
          !failed.empty()) {
        if (unsupported) GTEST_SKIP() << failed;
        FAIL() << failed;
      }
    }
    struct stat left {};
    ASSERT_EQ(::stat(lock.c_str(), &left), 0);
    HeldByAnother holder(other, lock);
    ASSERT_EQ(holder.Next(), layout.opened ? 'o' : 'n');
    if (layout.opened) {
      ASSERT_EQ(holder.Next(), 'h');
    }
    FiveRunsFine(from);
    // The one they hold is no longer the lock file.
    struct stat now {};
    if (layout.opened && ::stat(lock.c_str(), &now) == 0) {
      EXPECT_FALSE(now.st_ino == left.st_ino && now.st_dev == left.st_dev);
    }
  }
  {
    SCOPED_TRACE("a run folder whose default ACL hands read to a named user");
    const fs::path from = shared / "default";
    const fs::path run = from / "shared" / "FirstOrder", lock = run / "OrvelQVLock.aml";
    for (const fs::path& folder : {from, from / "shared", run}) {
      fs::create_directories(folder);
      fs::permissions(folder, static_cast<fs::perms>(0755));
    }
    bool unsupported = false;
    ASSERT_EQ(testsupport::SetAcl("-d -m u:" + uid + ":rwx", run, &unsupported), "");
    std::unique_ptr<vantor_client::Client> engine = LockingEngine(from, lock);
    ASSERT_NE(engine, nullptr);
    {
      HeldByAnother holder(other, lock);
      EXPECT_EQ(holder.Next(), 'n');
    }
    Kill(engine);
    FiveRunsFine(from);
  }
}

// Two engines that both heard the folder free (command 141) before either
// named it: the one that names it second is refused there, by command 3 and
// a line naming the clash, and the first keeps its files. (The second
// engine's client is a process of its own: a client's session is its
// process.)
TEST_F(RunFolderRoad, OfTwoEnginesThatFoundTheFolderFreeOnlyOneNamesIt) {
  const std::string shared = (work_.path() / "shared/").string();
  fs::create_directories(shared);
  const auto command = [&](std::uint32_t number) {
    return vantor_client::MakeCommand(vantor_scenario::kProblemService, number, {}, {},
                                      {"FirstOrder", shared});
  };
  int told[2], go[2];
  ASSERT_EQ(::pipe(told), 0);
  ASSERT_EQ(::pipe(go), 0);
  const pid_t second = ::fork();
  ASSERT_GE(second, 0);
  if (second == 0) {
    // A test that stopped early leaves it no one to wait for.
    ::close(go[1]);
    ::close(told[0]);
    // Says "free" after its 141, then the status of its command 3 and its
    // lines once told to go on.
    std::unique_ptr<vantor_client::Client> client;
    vantor_scenario::FirstOrderRun trace;
    std::string said = "no engine";
    if (vantor_client::Client::Start(Engine(), &client) == 0) {
      vantor_scenario::Road road(*client, &trace);
      said = road.Expect(command(141), "command 141", 0) ? "free" : "taken";
      (void)!::write(told[1], said.data(), said.size());
      char on = 0;
      (void)!::read(go[0], &on, 1);
      Status named = 0;
      said = road.Exchange(command(3), "command 3", &named) ? std::to_string(named) : "none";
      road.Collect();
      said += "\n" + roadtest::Lines(trace);
      road.Expect(vantor_client::MakeCommand(vantor_scenario::kProblemService, 2), "command 2",
                  vantor_scenario::kEnding);
      vantor_scenario::FinishEngine(*client, road, &trace, true);
    }
    (void)!::write(told[1], said.data(), said.size());
    ::_exit(0);
  }
  ::close(told[1]);
  char heard[8] = {};
  ASSERT_EQ(::read(told[0], heard, 4), 4);
  EXPECT_STREQ(heard, "free");

  std::unique_ptr<vantor_client::Client> first;
  ASSERT_EQ(vantor_client::Client::Start(Engine(), &first), 0u);
  vantor_scenario::FirstOrderRun trace;
  vantor_scenario::Road road(*first, &trace);
  ASSERT_TRUE(road.Expect(command(141), "command 141", 0)) << trace.failure;
  ASSERT_TRUE(road.Expect(command(3), "command 3", 0)) << trace.failure;
  std::ofstream(work_.path() / "shared/FirstOrder/snapshot.snp") << "the first engine's";
  (void)!::write(go[1], "g", 1);
  std::string said;
  char buffer[512];
  for (ssize_t got; (got = ::read(told[0], buffer, sizeof buffer)) > 0;)
    said.append(buffer, static_cast<std::size_t>(got));
  int exit_status = 0;
  ASSERT_EQ(::waitpid(second, &exit_status, 0), second);
  for (int fd : {told[0], go[0], go[1]}) ::close(fd);
  EXPECT_EQ(said.substr(0, said.find('\n')), std::to_string(vantor_scenario::kFolderInUse)) << said;
  EXPECT_NE(said.find("FirstOrder/: it is in use by another engine"), std::string::npos) << said;
  EXPECT_EQ(testsupport::ReadFileBytes(work_.path() / "shared/FirstOrder/snapshot.snp"),
            "the first engine's");
  ASSERT_TRUE(road.Expect(vantor_client::MakeCommand(vantor_scenario::kProblemService, 2),
                          "command 2", vantor_scenario::kEnding));
  ASSERT_TRUE(vantor_scenario::FinishEngine(*first, road, &trace, true)) << trace.failure;
}

// Two sample runs in the same folder, started together, twenty times: one
// that runs prints the right values; one that does not says that the other
// engine holds the folder. Neither reads the other's files.
TEST_F(RunFolderRoad, TwoSampleRunsStartedTogetherNeverShareTheFolder) {
  constexpr int kPairs = 20;
  int refused = 0;
  for (int pair = 0; pair < kPairs; ++pair) {
    SCOPED_TRACE("pair " + std::to_string(pair));
    const fs::path from = work_.path() / ("pair" + std::to_string(pair));
    fs::create_directories(from / "shared");
    const std::string command = "cd '" + from.string() + "' && " + VANTOR_CLIENT + " " +
                                VANTOR_ENGINE + " first-order shared 2>&1";
    FILE* pipes[2] = {::popen(command.c_str(), "r"), ::popen(command.c_str(), "r")};
    for (FILE* pipe : pipes) {
      ASSERT_NE(pipe, nullptr);
      std::string printed;
      char buffer[512];
      while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) printed += buffer;
      const int status = ::pclose(pipe);
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      if (code == 0) {
        EXPECT_NE(printed.find("the run was fine"), std::string::npos) << printed;
      } else {
        ++refused;
        EXPECT_NE(printed.find("the run failed: shared/FirstOrder is in use by another engine"),
                  std::string::npos)
            << printed;
      }
    }
  }
  RecordProperty("refused", std::to_string(refused));
  std::printf("%d of %d runs refused\n", refused, 2 * kPairs);
}

}  // namespace
