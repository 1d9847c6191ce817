// What vantor-client and the engine say when a run ends, as a user types
// them: command 2 as the last step ends the engine with 0 and is no
// failure, an engine the client had to kill is said to be killed, a working
// folder the engine cannot enter is said in a sample run, the engine asked
// for help answers, and the items the client gives itself are refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "tests/support/hang_bound.h"
#include "tests/tools/road_env.h"
#include "tests/tools/shell.h"
#include "tools/client.h"
#include "tools/road.h"
#include "tools/road_steps.h"

namespace endofrun {

using roadtest::RunShell;
using roadtest::ShellPath;

class EndOfRunMessages : public roadtest::RoadEnv {
 protected:
  // vantor-client with the arguments; its exit code and all it printed.
  int Client(const std::string& arguments, std::string* printed) {
    return RunShell(std::string(VANTOR_CLIENT) + " " + arguments, printed, true);
  }
  bool PipesLeft() const { return !std::filesystem::is_empty(pipes_.path()); }
};

TEST_F(EndOfRunMessages, CommandTwoAsTheLastStepEndsTheEngineWithZeroAndIsNoFailure) {
  for (const std::string steps : {"command 50 2", "command 50 2 listen 300"}) {
    SCOPED_TRACE(steps);
    std::string printed;
    EXPECT_EQ(Client(std::string(VANTOR_ENGINE) + " " + steps, &printed), 0) << printed;
    EXPECT_NE(printed.find("status of command 2 (id "), std::string::npos) << printed;
    EXPECT_NE(printed.find("the engine ended by itself, with exit code 0"), std::string::npos)
        << printed;
    EXPECT_EQ(printed.find("has failed"), std::string::npos) << printed;
    EXPECT_FALSE(PipesLeft());
  }
}

// The client's own items would send the engine to another pipe pair: the
// client waited for it in vain and left the engine's socket file behind.
TEST_F(EndOfRunMessages, ItemsTheClientGivesItselfAreRefusedAndLeaveNoSocketBehind) {
  for (const std::string item : {"-ChildNo=2", "-SessionId=7", "-ParentNode=0:1:localhost"}) {
    SCOPED_TRACE(item);
    std::string printed;
    EXPECT_EQ(
        Client("--timeout=2000 --arg=" + item + " " + VANTOR_ENGINE + " command 50 2", &printed),
        2);
    EXPECT_NE(printed.find("--arg \"" + item + "\" is refused: the client gives "),
              std::string::npos)
        << printed;
    EXPECT_FALSE(PipesLeft());
  }
  // Any other item still reaches the engine.
  std::string printed;
  EXPECT_EQ(Client("--arg=-Other=1 " + std::string(VANTOR_ENGINE) + " command 50 2", &printed), 0)
      << printed;
}

// A client that closes without command 2 ends the engine the usual way: no
// "exit status" line on the engine's standard error reads like a fault.
TEST_F(EndOfRunMessages, AClientThatClosesEndsTheEngineWithoutAFaultLine) {
  std::string printed;
  EXPECT_EQ(Client(std::string(VANTOR_ENGINE) + " listen 100", &printed), 0) << printed;
  EXPECT_NE(printed.find("normal end"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("exit status"), std::string::npos) << printed;
}

// Whether the folder or a folder in it is empty.
bool EmptyFolderIn(const std::filesystem::path& folder) {
  if (std::filesystem::is_empty(folder)) return true;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.is_directory() && std::filesystem::is_empty(entry.path())) return true;
  }
  return false;
}

// Short time-outs: whichever wait one cuts, a run that fails names the
// option that set it and leaves no empty folder of the run behind, and a
// run that gets through ends with the engine's own exit code 0 (the end of
// an engine told to end is not cut at the time-out).
TEST_F(EndOfRunMessages, AShortTimeOutIsNamedOrLeavesTheRunWhole) {
  for (const int timeout : {1, 15, 20, 25, 30, 40}) {
    SCOPED_TRACE(timeout);
    const std::filesystem::path run = work_.path() / ("run" + std::to_string(timeout));
    std::string printed;
    const int exit_code = Client("--timeout " + std::to_string(timeout) + " " + VANTOR_ENGINE +
                                     " first-order " + ShellPath(run),
                                 &printed);
    if (exit_code == 0) {
      EXPECT_NE(printed.find("the run was fine"), std::string::npos) << printed;
      continue;
    }
    EXPECT_EQ(exit_code, 1) << printed;
    EXPECT_NE(printed.find("within " + std::to_string(timeout) + " ms (the client's --timeout)"),
              std::string::npos)
        << printed;
    // Only what the engine left in it may keep the folder: never empty.
    EXPECT_FALSE(std::filesystem::exists(run) && EmptyFolderIn(run)) << printed;
  }
}

TEST_F(EndOfRunMessages, AWorkingFolderTheEngineCannotEnterIsSaidInASampleRun) {
  const std::filesystem::path missing = work_.path() / "missing";
  std::string printed;
  EXPECT_EQ(Client("--arg=-DefDir=" + ShellPath(missing) + " " + VANTOR_ENGINE + " first-order " +
                       ShellPath(work_.path() / "run"),
                   &printed),
            0)
      << printed;
  EXPECT_NE(printed.find("Invalid Working Directory <" + missing.string() + ">Specified"),
            std::string::npos)
      << printed;
  EXPECT_NE(printed.find("the run was fine"), std::string::npos) << printed;
}

TEST_F(EndOfRunMessages, TheEngineAskedForHelpSaysHowItIsStartedAndEndsWithZero) {
  for (const char* asked : {"--help", "-h"}) {
    std::string printed;
    EXPECT_EQ(RunShell(std::string(VANTOR_ENGINE) + " " + asked, &printed, true), 0) << printed;
    EXPECT_NE(printed.find("Usage: vantor -ChildNo=N"), std::string::npos) << printed;
    EXPECT_NE(printed.find("vantor-client"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("exit status"), std::string::npos) << printed;
  }
}

// An engine that does not end after command 2 (here a wrapper that lingers
// once the engine is gone) is killed at the time-out, and said to be.
TEST_F(EndOfRunMessages, AnEngineTheClientHadToKillIsSaidToBeKilled) {
  const std::filesystem::path lingers = work_.WriteFile(
      "lingers", "#!/bin/sh\n" + ShellPath(VANTOR_ENGINE) + " \"$@\"\nexec sleep 600\n");
  std::filesystem::permissions(lingers, std::filesystem::perms::owner_all);
  vantor_client::EngineOptions engine = Engine();
  engine.program = lingers.string();
  // The time-out bounds the start too: a sanitized engine on a busy machine
  // may take longer than 3 s to connect. The script outlives any bound.
  engine.timeout_ms = testsupport::HangBoundMs(3000);
  vantor_scenario::FirstOrderRun run;
  std::unique_ptr<vantor_client::Client> client = vantor_scenario::StartEngine(engine, &run);
  ASSERT_NE(client, nullptr) << run.failure;
  vantor_scenario::Road road(*client, &run);
  ASSERT_TRUE(road.Expect(vantor_client::MakeCommand(vantor_scenario::kProblemService, 2),
                          "command 2", vantor_scenario::kEnding))
      << run.failure;
  EXPECT_FALSE(vantor_scenario::FinishEngine(*client, road, &run, true));
  EXPECT_EQ(run.failure, "the engine did not end in time and the client killed it (exit code 137)");
}

}  // namespace endofrun
