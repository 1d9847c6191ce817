// What a new user meets first, through the real engine and the vantor-client
// program: an installed copy run from anywhere with nothing set, the registry
// found or named when missing, the run folder made where the user said or
// the run refused with the reason first, and the end of a connection told
// the same way over both wires.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "road_env.h"
#include "tests/support/scoped_env.h"
#include "tests/support/second_user.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/shell.h"
#include "tools/client.h"
#include "tools/first_order.h"
#include "tools/road.h"

namespace {

namespace fs = std::filesystem;

// A shell command's exit code and what it printed on both streams.
int Shell(const std::string& command, std::string* printed) {
  return roadtest::RunShell(command, printed, true);
}
std::string Quoted(const fs::path& path) { return roadtest::ShellPath(path); }

int Count(const std::string& text, const std::string& piece) {
  int count = 0;
  for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
  return count;
}

// What the vantor-client program printed, from the first line it wrote
// itself (the engine's own lines share the stream and come first).
std::string ClientLines(const std::string& printed) {
  for (const char* first : {"the run failed", "FirstOrder:"}) {
    if (const auto at = printed.find(first); at != std::string::npos) return printed.substr(at);
  }
  return {};
}

// The run files and the lock file the engine may leave in a folder.
std::vector<std::string> RunFilesIn(const fs::path& folder) {
  std::vector<std::string> found;
  for (const char* name : {"snapshot.snp", "snapshot.bak", "PlotData.cpd", "OrvelQVLock.aml"}) {
    if (fs::exists(folder / name)) found.push_back(name);
  }
  return found;
}

fs::path EngineFolder() { return fs::path(VANTOR_ENGINE).parent_path(); }

// Folders of the tree below (itself too) whose mode is not 0755, and files
// neither 0644 nor 0755, with their modes.
std::string OpenModes(const fs::path& top) {
  std::string found;
  const auto look = [&](const fs::path& path) {
    const auto mode = static_cast<unsigned>(fs::symlink_status(path).permissions());
    const bool folder = fs::is_directory(fs::symlink_status(path));
    if (folder ? mode != 0755 : mode != 0644 && mode != 0755)
      found += path.string() + " " + std::to_string(mode) + "\n";
  };
  look(top);
  for (const auto& entry : fs::recursive_directory_iterator(top)) look(entry.path());
  return found;
}

// An installation into a prefix the install makes, run from another folder
// with neither the registry nor the pipe folder set: the client makes the
// relative FOLDER where it is started. Under umask 002, 022 and 077 alike
// the installation is closed to others' writes and open to their reads,
// and the engine takes its own servers at the first run, the owner's and
// another user's. A prefix made beforehand keeps its mode.
TEST(Installation, RunsFirstOrderFromAnyFolderWithNothingSet) {
  const testsupport::SecondUser other;
  const testsupport::ReachableFolder shared(other);
  if (shared.path().empty()) std::printf("not run as another user: %s\n", shared.why_not.c_str());
  for (const std::string mask : {"002", "022", "077"}) {
    SCOPED_TRACE("umask " + mask);
    testsupport::TempDir made;
    testsupport::TempDir user;
    const fs::path top = shared.path().empty() ? made.path() : shared.path();
    const fs::path prefix = top / ("vantor" + mask);
    const bool premade = mask == "077";
    if (premade) {
      ASSERT_TRUE(fs::create_directory(prefix));
      fs::permissions(prefix,
                      fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    }
    std::string printed;
    ASSERT_EQ(Shell("umask " + mask + " && " + VANTOR_CMAKE_COMMAND + " --install " +
                        VANTOR_BINARY_DIR + " --prefix " + Quoted(prefix),
                    &printed),
              0)
        << printed;
    std::vector<std::string> wanted = {"bin/vantor",
                                       "bin/vantor-client",
                                       "etc/vantor/registry.ini",
                                       "lib/vantor/bvdll_support.so",
                                       "lib/vantor/vantor_decomposer.so",
                                       "lib/vantor/vantor_integrator.so",
                                       "lib/vantor/kvs_services.so",
                                       "lib/vantor/kvs_slu.so",
                                       "lib/vantor/kvs_mfl.so",
                                       "lib/vantor/kvs_sparse.so",
                                       "lib/vantor/kvs_sparse_mfl.so"};
#ifdef VANTOR_NLP_LIBRARIES
    wanted.push_back("lib/vantor/kvs_sqpa.so");
    wanted.push_back("lib/vantor/kvs_sqpb.so");
#endif
    for (const std::string& file : wanted) EXPECT_TRUE(fs::exists(prefix / file)) << file;
    EXPECT_EQ(OpenModes(prefix), premade ? prefix.string() + " 457\n" : "");  // 0711
    std::ifstream in(prefix / "etc/vantor/registry.ini");
    const std::string registry((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    EXPECT_NE(registry.find("@ = " + (prefix / "lib/vantor/vantor_integrator.so").string()),
              std::string::npos)
        << registry;
    EXPECT_EQ(registry.find(VANTOR_BINARY_DIR), std::string::npos) << registry;

    printed.clear();
    const int exit_code =
        Shell("cd " + Quoted(user.path()) + " && env -u VANTOR_REGISTRY -u VANTOR_PIPE_DIR " +
                  Quoted(prefix / "bin/vantor-client") + " --timeout=30000 " +
                  Quoted(prefix / "bin/vantor") + " first-order runs",
              &printed);
    EXPECT_EQ(exit_code, 0) << printed;
    EXPECT_NE(printed.find("the run was fine"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("registry"), std::string::npos) << printed;
    EXPECT_TRUE(fs::is_directory(user / "runs" / "FirstOrder"));
    EXPECT_TRUE(RunFilesIn(prefix / "bin").empty());

    if (shared.path().empty()) continue;
    const fs::path theirs = top / ("user" + mask);
    fs::create_directory(theirs);
    ASSERT_EQ(::chown(theirs.c_str(), other.uid, other.gid), 0);
    const std::string run = "cd " + Quoted(theirs) + " && env -u VANTOR_REGISTRY -u " +
                            "VANTOR_PIPE_DIR " + Quoted(prefix / "bin/vantor-client") +
                            " --timeout=30000 " + Quoted(prefix / "bin/vantor") +
                            " first-order runs >printed 2>&1";
    const int theirs_exit = other.Run([&] { return std::system(run.c_str()) == 0 ? 0 : 1; });
    const std::string said = testsupport::ReadFileBytes(theirs / "printed");
    EXPECT_EQ(theirs_exit, 0) << said;
    EXPECT_NE(said.find("the run was fine"), std::string::npos) << said;
  }
}

// An installation whose folders its group can write to: the first run
// names every one in a line with the chmod that mends them all, and after
// that chmod the run goes.
TEST(Installation, ItsGroupWritableFoldersAreNamedTogether) {
  testsupport::TempDir top;
  testsupport::TempDir user;
  const fs::path prefix = fs::canonical(top.path()) / "vantor";
  std::string printed;
  ASSERT_EQ(Shell(std::string(VANTOR_CMAKE_COMMAND) + " --install " + VANTOR_BINARY_DIR +
                      " --prefix " + Quoted(prefix),
                  &printed),
            0)
      << printed;
  const std::string folders =
      Quoted(prefix) + " " + Quoted(prefix / "lib") + " " + Quoted(prefix / "lib/vantor");
  const std::string run = "cd " + Quoted(user.path()) +
                          " && env -u VANTOR_REGISTRY -u VANTOR_PIPE_DIR " +
                          Quoted(prefix / "bin/vantor-client") + " --timeout=30000 " +
                          Quoted(prefix / "bin/vantor") + " first-order runs";
  printed.clear();
  EXPECT_NE(Shell("chmod g+w " + folders + " && " + run, &printed), 0) << printed;
  const std::string mend = "chmod g-w " + prefix.string() + " " + (prefix / "lib").string() + " " +
                           (prefix / "lib/vantor").string();
  EXPECT_NE(printed.find("can write to the folders " + prefix.string() + ", " +
                         (prefix / "lib").string() + " and " + (prefix / "lib/vantor").string() +
                         ", which are not sticky (" + mend + " makes them usable)"),
            std::string::npos)
      << printed;
  printed.clear();
  EXPECT_EQ(Shell(mend + " && " + run, &printed), 0) << printed;
  EXPECT_NE(printed.find("the run was fine"), std::string::npos) << printed;
}

class FirstUseRoad : public roadtest::RoadEnv {
 protected:
  // The vantor-client program on the real engine, started in `here` with
  // the variables given; exit code and output.
  int Program(const fs::path& here, const std::string& variables, const std::string& steps,
              std::string* printed, const std::string& options = "") {
    return Shell("cd " + Quoted(here) + " && " + variables + " " + VANTOR_CLIENT +
                     " --timeout=30000 " + options + VANTOR_ENGINE + " " + steps,
                 printed);
  }
};

// Unset, the registry beside the engine is found; a relative one is read
// from where the user started the client, not from the engine's folder;
// one that is not there is named once with the variable that sets it, and
// the run says first that it failed.
TEST_F(FirstUseRoad, TheRegistryIsFoundOrNamed) {
  testsupport::ScopedEnv unset("VANTOR_REGISTRY", nullptr);
  vantor_scenario::FirstOrderOptions options;
  options.engine = Engine();
  options.folder = Folder();
  options.edit = false;
  vantor_scenario::FirstOrderRun run;
  EXPECT_TRUE(vantor_scenario::RunFirstOrder(options, &run)) << run.failure << roadtest::Lines(run);

  std::string printed;
  const fs::path build = VANTOR_BINARY_DIR;
  EXPECT_EQ(Program(build, "VANTOR_REGISTRY=etc/vantor/registry.ini",
                    "first-order " + Quoted(work_ / "relative"), &printed),
            0)
      << printed;

  printed.clear();
  const std::string missing = (work_ / "none.ini").string();
  EXPECT_EQ(Program(work_.path(), "VANTOR_REGISTRY=" + Quoted(missing),
                    "first-order " + Quoted(work_ / "missing"), &printed),
            1);
  EXPECT_EQ(Count(printed, "registry file " + missing +
                               ": not found (VANTOR_REGISTRY names the registry file"),
            1)
      << printed;
  EXPECT_EQ(ClientLines(printed).rfind("the run failed: ", 0), 0u) << printed;
  EXPECT_EQ(printed.find("nan"), std::string::npos) << printed;
}

// A FOLDER given relative is made where the client was started; one whose
// parent is missing is refused before an engine starts; a run folder that
// cannot be made refuses the run with the folder and the reason, and
// nothing lands beside the engine.
TEST_F(FirstUseRoad, TheRunFolderIsWhereTheUserSaidOrTheRunSaysWhyNot) {
  std::string printed;
  EXPECT_EQ(Program(work_.path(), "", "first-order here", &printed), 0) << printed;
  EXPECT_TRUE(fs::is_directory(work_ / "here" / "FirstOrder"));

  printed.clear();
  EXPECT_EQ(Program(work_.path(), "", "first-order no/such", &printed), 2) << printed;
  EXPECT_EQ(printed, "vantor-client: FOLDER " + (work_ / "no/such").string() +
                         " cannot be made: its parent " + (work_ / "no").string() +
                         " does not exist\n");

  fs::create_directory(work_ / "blocked");
  work_.WriteFile("blocked/FirstOrder", "a file where the run folder goes");
  printed.clear();
  EXPECT_EQ(Program(work_.path(), "", "first-order blocked", &printed), 1) << printed;
  EXPECT_EQ(ClientLines(printed).rfind("the run failed: preparing (command 6): status 0x803201FE",
                                       0),
            0u)
      << printed;
  EXPECT_NE(printed.find("event line: Cannot make the run folder " +
                         (work_ / "blocked/FirstOrder").string() + "/: Not a directory"),
            std::string::npos)
      << printed;
  EXPECT_EQ(printed.find("nan"), std::string::npos) << printed;
  EXPECT_TRUE(RunFilesIn(EngineFolder()).empty());

  // Named with a folder that is not there, the engine refuses at once.
  std::unique_ptr<vantor_client::Client> client;
  ASSERT_EQ(vantor_client::Client::Start(Engine(), &client), 0u);
  vantor_scenario::FirstOrderRun run;
  vantor_scenario::Road road(*client, &run);
  const std::string gone = (work_ / "gone").string() + "/";
  EXPECT_TRUE(road.Expect(vantor_client::MakeCommand(50, 3, {}, {}, {"FirstOrder", gone}),
                          "command 3", 0x803201FEu))
      << run.failure;
  ASSERT_EQ(run.events.size(), 1u);
  EXPECT_EQ(run.events[0],
            "Working folder " + gone + " does not exist: no run folder can be made in it");
  client->Close(nullptr);
}

// The client closes after its last step: over the pipes and over TCP the
// engine ends with the lost-peer status, and the program calls it the
// normal end.
TEST_F(FirstUseRoad, TheEndOfAConnectionIsTheSameOnBothWires) {
  for (const char* wire : {"", "--tcp "}) {
    SCOPED_TRACE(wire);
    std::string printed;
    EXPECT_EQ(Program(work_.path(), "", "command 50 39", &printed, wire), 0)
        << printed;
    EXPECT_NE(printed.find("status of command 39 (id 3) on service 50: 0x00000000 (done)"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("the engine ended as the client closed the connection, its normal "
                           "end after the last step (exit code 55: status 0xA0000037"),
              std::string::npos)
        << printed;

    vantor_client::EngineOptions engine = Engine();
    engine.tcp = wire[0] != '\0';
    std::unique_ptr<vantor_client::Client> client;
    ASSERT_EQ(vantor_client::Client::Start(engine, &client), 0u);
    vantor_scenario::FirstOrderRun run;
    vantor_scenario::Road road(*client, &run);
    EXPECT_TRUE(road.Expect(vantor_client::MakeCommand(50, 39), "command 39", 0)) << run.failure;
    int exit_code = -1;
    EXPECT_EQ(client->Close(&exit_code), 0u);
    EXPECT_EQ(exit_code, 0x37);
  }
}

}  // namespace
