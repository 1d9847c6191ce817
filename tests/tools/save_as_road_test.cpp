// Save as a new name through the real engine (command 5): the run's files
// start again in the new run folder with the run where it stood, the old
// folder keeps none of them (an untitled one goes altogether), the client
// hears that the files were saved, and the run goes on in the new folder.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/tools/run_road_fixture.h"

namespace save_as {

using engineroad::kProblemService;
using vantor_client::MakeCommand;
using vantor_client::SnapshotEntry;

constexpr std::int32_t kFileSavedFlag = 0x200;
constexpr char kFileSaved[] = "File saved";

class SaveAsRoad : public runroad::RunRoad {
 protected:
  // Command 5: the new name, the folder (ending in a separator).
  bool SaveAs(const std::string& name, const std::filesystem::path& folder) {
    Status saved = 1;
    if (!road_->Exchange(MakeCommand(kProblemService, 5, {}, {}, {name, folder.string() + "/"}),
                         "command 5", &saved))
      return false;
    if (status::IsFailure(saved)) return Fail("command 5: " + vantor_scenario::Hex(saved));
    return true;
  }
  static bool Has(const std::filesystem::path& folder, const char* file) {
    return std::filesystem::exists(folder / file);
  }
  // The run saved at 0.2 goes on to 0.3 in its new folder, and its saved
  // snapshot there takes it back.
  void GoesOnFromTheSavedPoint() {
    const std::vector<SnapshotEntry> listed = Snapshots();
    ASSERT_EQ(listed.size(), 1u) << Failure();
    EXPECT_EQ(listed[0].name, kFileSaved);
    EXPECT_NEAR(listed[0].time, 0.2, 1e-12);
    ASSERT_TRUE(Step(0.3)) << Failure();
    EXPECT_NEAR(X(), std::exp(-0.3), 1e-6);
    ASSERT_TRUE(Restore(listed[0].id) && RestsAt(0.2)) << Failure();
    EXPECT_NEAR(X(), std::exp(-0.2), 1e-6);
    ASSERT_TRUE(Step(0.2) && Step(0.3)) << Failure();
    EXPECT_NEAR(X(), std::exp(-0.3), 1e-6);
  }
};

TEST_F(SaveAsRoad, SavedAsANewNameTheRunGoesOnInItsNewFolder) {
  ASSERT_TRUE(Start("First", kFileSavedFlag, 1.0)) << Failure();
  ASSERT_TRUE(BeginRun() && Step(0.0) && Step(0.1) && Step(0.2)) << Failure();
  const std::filesystem::path first = work_.path() / "First";
  const std::filesystem::path second = work_.path() / "Second";
  ASSERT_TRUE(Has(first, "snapshot.snp") && Has(first, "OrvelQVLock.aml"));

  ASSERT_TRUE(SaveAs("Second", work_.path())) << Failure() << Events();
  EXPECT_TRUE(ToldFilesSaved());
  for (const char* file : {"snapshot.snp", "snapshot.bak", "OrvelQVLock.aml"}) {
    EXPECT_TRUE(Has(second, file)) << file;
    EXPECT_FALSE(Has(first, file)) << file;
  }
  EXPECT_FALSE(Has(first, "PlotData.cpd"));
  GoesOnFromTheSavedPoint();
  EXPECT_TRUE(FinishRun()) << Failure();
}

// An untitled simulation saved under a name in another folder: the
// untitled run folder goes.
TEST_F(SaveAsRoad, AnUntitledRunSavedElsewhereLeavesNoUntitledFolder) {
  testsupport::TempDir elsewhere;
  ASSERT_TRUE(Start("QV_Untitled", kFileSavedFlag, 1.0)) << Failure();
  ASSERT_TRUE(BeginRun() && Step(0.0) && Step(0.1) && Step(0.2)) << Failure();
  const std::filesystem::path untitled = work_.path() / "QV_Untitled";
  ASSERT_TRUE(Has(untitled, "snapshot.snp"));

  ASSERT_TRUE(SaveAs("Named", elsewhere.path())) << Failure() << Events();
  EXPECT_TRUE(ToldFilesSaved());
  EXPECT_FALSE(std::filesystem::exists(untitled));
  EXPECT_TRUE(Has(elsewhere.path() / "Named", "snapshot.snp"));
  GoesOnFromTheSavedPoint();
  EXPECT_TRUE(FinishRun()) << Failure();
}

}  // namespace save_as
