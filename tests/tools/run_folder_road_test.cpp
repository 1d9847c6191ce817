// A run folder others can write in, through the real engine: links planted
// under the names of the engine's own files (the snapshot file and its
// back-up, the plot history, a temporary file, the lock file) lead to files
// outside. The run goes as ever, and nothing outside is written, made, read
// into the run's files or changed in its permissions.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "road_env.h"
#include "tests/support/planted_links.h"
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

}  // namespace
