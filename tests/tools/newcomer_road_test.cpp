// A newcomer's road through the vantor-client program and the README: the
// table the README shows is the one a run prints, and a pipe folder given
// relative to where the client was started is the one both sides use.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "road_env.h"
#include "tests/support/scoped_env.h"
#include "tests/support/second_user.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/shell.h"
#include "tools/client.h"
#include "tools/road.h"

namespace {

namespace fs = std::filesystem;

using roadtest::RunShell;
using roadtest::ShellPath;

// The rows of the dynamic run's table: t, x, y and the exact x.
using Row = std::vector<double>;
std::vector<Row> ReadTableRows(const std::string& text) {
  std::vector<Row> rows;
  const std::string head = "    t            x            y      exact x   rel. error\n";
  const std::size_t at = text.find(head);
  if (at == std::string::npos) return rows;
  std::istringstream lines(text.substr(at + head.size()));
  for (std::string line; std::getline(lines, line) && line.rfind(" ", 0) == 0;) {
    std::istringstream fields(line);
    Row row(4);
    if (!(fields >> row[0] >> row[1] >> row[2] >> row[3])) break;
    rows.push_back(row);
  }
  return rows;
}

using NewcomerRoad = roadtest::RoadEnv;

// The README's FirstOrder table, row by row, against the client's run to
// the digits printed.
TEST_F(NewcomerRoad, TheReadmeTableIsWhatTheClientPrints) {
  std::ifstream in(fs::path(VANTOR_SOURCE_DIR) / "README.md");
  const std::string readme((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::vector<Row> shown = ReadTableRows(readme);
  ASSERT_EQ(shown.size(), 11u) << "the README's table was not found";
  std::string printed;
  ASSERT_EQ(RunShell(std::string(VANTOR_CLIENT) + " --timeout=30000 " + VANTOR_ENGINE +
                         " first-order " + ShellPath(work_.path()),
                     &printed),
            0)
      << printed;
  const std::vector<Row> run = ReadTableRows(printed);
  ASSERT_EQ(run.size(), shown.size()) << printed;
  for (std::size_t k = 0; k < run.size(); ++k) {
    for (std::size_t c = 0; c < 4; ++c) {
      EXPECT_NEAR(shown[k][c], run[k][c], 1.5e-6)
          << "README row " << k << " column " << c << "; the run printed:\n"
          << printed;
    }
  }
}

// Given relative, the pipe folder is taken from where the client was
// started, for the engine too (which starts in its own folder): the run
// connects, and nothing lands beside the engine. The client library, which
// cannot know, refuses it at once.
TEST_F(NewcomerRoad, ARelativePipeFolderIsTheOneWhereTheClientStarted) {
  const fs::path engine_folder = fs::path(VANTOR_ENGINE).parent_path();
  std::string printed;
  EXPECT_EQ(RunShell("cd " + ShellPath(work_.path()) + " && VANTOR_PIPE_DIR=relative-pipes " +
                         VANTOR_CLIENT + " --timeout=10000 " + VANTOR_ENGINE + " first-order run",
                     &printed, true),
            0)
      << printed;
  EXPECT_NE(printed.find("the run was fine"), std::string::npos) << printed;
  EXPECT_TRUE(fs::is_directory(work_ / "relative-pipes"));
  EXPECT_FALSE(fs::exists(engine_folder / "relative-pipes"));

  testsupport::ScopedEnv relative("VANTOR_PIPE_DIR", "relative-pipes");
  std::unique_ptr<vantor_client::Client> client;
  std::string why;
  // The reason is the check's own, made before any engine starts: no
  // time-out was waited for.
  EXPECT_TRUE(status::IsFailure(vantor_client::Client::Start(Engine(), &client, &why)));
  EXPECT_NE(why.find("VANTOR_PIPE_DIR is relative (relative-pipes)"), std::string::npos) << why;
}

// An engine that does not start is named in the failure, and the folder
// made for its run goes again; a folder that was there stays.
TEST_F(NewcomerRoad, AnEngineThatDoesNotStartIsNamedAndLeavesNoFolder) {
  const std::string missing = (work_ / "no-such-engine").string();
  for (const char* folder : {"made", "kept"}) {
    SCOPED_TRACE(folder);
    const bool kept = std::string(folder) == "kept";
    if (kept) fs::create_directory(work_ / folder);
    std::string printed;
    EXPECT_EQ(RunShell(std::string(VANTOR_CLIENT) + " " + missing + " first-order " +
                           ShellPath(work_ / folder),
                       &printed, true),
              1);
    EXPECT_NE(printed.find("the run failed: the engine " + missing + " did not start"),
              std::string::npos)
        << printed;
    EXPECT_EQ(fs::exists(work_ / folder), kept);
  }
}

// An engine killed because it did not end within the time-out leaves no
// socket file in the pipe folder.
TEST_F(NewcomerRoad, AnEngineKilledAtTheTimeOutLeavesNoSocket) {
  std::string printed;
  RunShell(std::string(VANTOR_CLIENT) + " --timeout=50 " + VANTOR_ENGINE + " first-order " +
               ShellPath(work_.path()),
           &printed, true);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(pipes_.path())) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_TRUE(left.empty()) << ::testing::PrintToString(left) << "\n" << printed;
}

// A registry file that is not there is named once; what cannot be found
// without it is not listed key by key, and the failure it causes is said
// in one line.
TEST_F(NewcomerRoad, AMissingRegistryIsNamedOnceWithoutItsEchoes) {
  const std::string missing = (work_ / "none.ini").string();
  std::string printed;
  EXPECT_EQ(
      RunShell("VANTOR_REGISTRY=" + ShellPath(missing) + " " + VANTOR_CLIENT + " --timeout=30000 " +
                   VANTOR_ENGINE + " first-order " + ShellPath(work_ / "run"),
               &printed, true),
      1);
  EXPECT_NE(printed.find("registry file " + missing + ": not found"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("Couldn't find registry key"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("Invalid class string"), std::string::npos) << printed;
  EXPECT_NE(printed.find("Integrator server could not be started: without the registry file"),
            std::string::npos)
      << printed;
  EXPECT_NE(printed.find("status 0xA000FFFF (failed: the engine's lines above say why"),
            std::string::npos)
      << printed;
}

// In a working folder others write to, a run folder that another user
// made a link to somewhere else is refused, by name, when the run opens and
// when the simulation is saved under that name; nothing reaches the folder
// the link leads to, and the files there are still there after the engine
// ended.
TEST_F(NewcomerRoad, ARunFolderLinkOfAnotherUserIsRefusedByName) {
  const testsupport::SecondUser other;
  const testsupport::ReachableFolder base(other);
  if (base.path().empty()) GTEST_SKIP() << base.why_not;
  const fs::path shared = base / "shared", elsewhere = base / "elsewhere";
  fs::create_directories(shared);
  fs::create_directories(elsewhere);
  fs::permissions(shared, fs::perms::all);
  fs::permissions(elsewhere, fs::perms::all);
  const std::string target = elsewhere.string();
  const std::vector<std::string> theirs = {"snapshot.snp", "PlotData.cpd", "results.tmp"};
  ASSERT_EQ(other.Run([&] {
    for (const std::string& name : theirs) {
      std::ofstream(target + "/" + name) << "someone's " << name;
    }
    for (const char* name : {"FirstOrder", "Saved"}) {
      if (::symlink(target.c_str(), (shared / name).c_str()) != 0) return 1;
    }
    return 0;
  }),
            0);
  auto unchanged = [&] {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(elsewhere))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::vector<std::string> wanted = theirs;
    std::sort(wanted.begin(), wanted.end());
    return names == wanted;
  };

  std::string printed;
  EXPECT_EQ(RunShell(std::string(VANTOR_CLIENT) + " --timeout=30000 " + VANTOR_ENGINE +
                         " first-order " + ShellPath(shared),
                     &printed, true),
            1);
  EXPECT_NE(printed.find("Cannot make the run folder " + (shared / "FirstOrder").string() +
                         "/: it is a symbolic link of another user"),
            std::string::npos)
      << printed;
  EXPECT_TRUE(unchanged()) << "after the refused run";

  std::unique_ptr<vantor_client::Client> client;
  ASSERT_EQ(vantor_client::Client::Start(Engine(), &client), 0u);
  vantor_scenario::FirstOrderRun run;
  vantor_scenario::Road road(*client, &run);
  const std::string folder = shared.string() + "/";
  EXPECT_TRUE(
      road.Expect(vantor_client::MakeCommand(50, 3, {}, {}, {"Mine", folder}), "command 3", 0))
      << run.failure;
  EXPECT_TRUE(road.Expect(vantor_client::MakeCommand(50, 5, {}, {}, {"Saved", folder}), "command 5",
                          0x803201FEu))
      << run.failure;
  road.Collect();
  EXPECT_NE(roadtest::Lines(run).find("Cannot make the run folder " + folder +
                                      "Saved/: it is a symbolic link of another user"),
            std::string::npos)
      << roadtest::Lines(run);
  EXPECT_TRUE(road.Expect(vantor_client::MakeCommand(50, 2), "command 2", 0x00320024u))
      << run.failure;
  client->WaitFor([&] { return client->PeerLost(); });
  int exit_code = -1;
  client->Close(&exit_code);
  EXPECT_EQ(exit_code, 0);
  EXPECT_TRUE(unchanged()) << ::testing::PrintToString(run.events);
  for (const std::string& name : theirs) {
    EXPECT_EQ(testsupport::ReadFileBytes(elsewhere / name), "someone's " + name) << name;
  }
}

}  // namespace
