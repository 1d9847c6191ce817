// A run folder others can write in, through the real engine: links planted
// under the names of the engine's own files (the snapshot file and its
// back-up, the plot history, a temporary file, the lock file, the value dump)
// lead to files outside. The run goes as ever, and nothing outside is written,
// made, read into the run's files or changed in its permissions.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "road_env.h"
#include "tests/support/planted_links.h"
#include "tests/support/scoped_env.h"
#include "tools/first_order.h"

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

}  // namespace
