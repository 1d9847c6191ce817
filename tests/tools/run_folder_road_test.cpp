// A run folder others can write in, through the real engine: links planted
// under the names of the engine's own files (the snapshot file and its
// back-up, the plot history, a temporary file, the lock file, the value dump)
// lead to files outside. The run goes as ever, and nothing outside is written,
// made, read into the run's files or changed in its permissions. A sample
// run in a folder another engine runs in is refused before it touches it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "road_env.h"
#include "tests/support/planted_links.h"
#include "tests/support/scoped_env.h"
#include "tools/first_order.h"
#include "tools/road.h"
#include "tools/road_steps.h"

namespace {

namespace fs = std::filesystem;

class RunFolderRoad : public roadtest::RoadEnv {};

TEST_F(RunFolderRoad, LinksPlantedUnderTheEnginesNamesLeadNowhere) {
  const fs::path run = work_.path() / "FirstOrder";
  testsupport::PlantedLinks links(run,
                                  {{"snapshot.snp", "profile", "victim's own file", 0644},
                                   {"snapshot.bak", "attacker", "attacker's bytes", 0644},
                                   {"PlotData.cpd", "plot", "victim's plot", 0644},
                                   {"PlotData.bak", "plot_backup", "victim's plot back-up", 0644},
                                   {"x.tmp", "secret", "private", 0600},
                                   {"OrvelQVLock.aml", "made_by_the_lock", "", 0}});
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

// `vantor-client ENGINE first-order shared` from the working folder; its
// exit code and what it printed.
int SampleRun(const fs::path& from, std::string* printed) {
  const std::string command = "cd '" + from.string() + "' && " + VANTOR_CLIENT + " " +
                              VANTOR_ENGINE + " first-order shared 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) *printed += buffer;
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

}  // namespace
