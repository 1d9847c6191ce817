// Snapshots of a run as the modelling environment sees them through the
// vantor client: the initial specification and its flag, the run's file
// after an edit, and a manual snapshot asked for while the run goes on.
// x' = -k x from x(0) = 1 throughout, so every value has its closed form.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/tools/run_road_fixture.h"

namespace run_snapshots {

using engineroad::kProblemService;
using engineroad::kResultsService;
using engineroad::ModelVariable;
using modelwriter::Writer;
using vantor_client::Bytes;
using vantor_client::MakeCommand;
using vantor_client::SnapshotEntry;

using RunSnapshotsRoad = runroad::RunRoad;

constexpr std::uint16_t kFixed = 4;
constexpr std::int32_t kInitialSpecificationFlag = 0x80;
constexpr char kInitialSpecification[] = "Initial Specification";

// Without flag 0x80 no initial specification is taken; with it, the
// preparation takes one at the run clock, and the position it took counts:
// the clock's stop counter and the next snapshot's count say 1.
TEST_F(RunSnapshotsRoad, TheInitialSpecificationFollowsItsFlagAndCountsItsPosition) {
  ASSERT_TRUE(Start("InitialSpecification", 0, 1.0)) << Failure();
  ASSERT_TRUE(BeginRun() && Step(0.0) && Step(0.1)) << Failure();
  for (const SnapshotEntry& entry : Snapshots()) EXPECT_NE(entry.name, kInitialSpecification);
  EXPECT_EQ(road_->Last().stops, 0u);

  // The flag set, the clock moved to 2.5 and the problem prepared in full
  // again: its new file starts with the initial specification at 2.5,
  // x = exp(-0.1) where the first run left it.
  Status moved = 1;
  ASSERT_TRUE(Flags(kInitialSpecificationFlag) &&
              road_->Expect(MakeCommand(kProblemService, 29, {1}), "command 29", 0) &&
              road_->Exchange(MakeCommand(kProblemService, 94, {}, {2.5}), "command 94", &moved))
      << Failure();
  ASSERT_FALSE(status::IsFailure(moved)) << vantor_scenario::Hex(moved);
  ASSERT_TRUE(vantor_scenario::Prepare(*road_, "command 6")) << Failure();
  ASSERT_TRUE(BeginRun() && Step(2.5) && Step(2.6)) << Failure();
  EXPECT_NEAR(X(), std::exp(-0.2), 1e-6);
  EXPECT_EQ(road_->Last().stops, 1u);
  const SnapshotEntry initial = Listed(kInitialSpecification);
  ASSERT_NE(initial.id, 0u) << Failure();
  EXPECT_EQ(initial.time, 2.5);
  EXPECT_EQ(initial.count, 0u);
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 15, {0}, {}, {"Later"}), "command 15", 0));
  EXPECT_EQ(Listed("Later").count, 1u) << Failure();

  // It holds the specification the run started from.
  ASSERT_TRUE(Restore(initial.id) && RestsAt(2.5)) << Failure();
  EXPECT_NEAR(X(), std::exp(-0.1), 1e-6);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// An edit of the rate at t = 0.2, then commands 29 and 6: the run's new
// file starts with its initial specification (x = exp(-0.2) at 0.2), the
// old one is kept beside it, and restoring it after the run went on under
// the new rate brings those values back.
TEST_F(RunSnapshotsRoad, AfterAnEditTheNewFileHoldsTheInitialSpecificationToGoBackTo) {
  ASSERT_TRUE(Start("Edited", kInitialSpecificationFlag, 1.0)) << Failure();
  ASSERT_TRUE(BeginRun() && Step(0.0) && Step(0.1) && Step(0.2)) << Failure();
  auto edit = vantor_scenario::InstanceEdit(3, 10);
  Writer w(*edit);
  w.IdPath({2});
  w.List(1);
  ModelVariable(w, modelwriter::kRealVariable, 1, ".k", 2.0, kFixed);
  ASSERT_TRUE(road_->Expect(std::move(edit), "the rate := 2", 0) &&
              road_->Expect(MakeCommand(kProblemService, 29, {0}), "command 29", 0) &&
              vantor_scenario::Prepare(*road_, "command 6"))
      << Failure();

  AwaitListed(kInitialSpecification);
  const std::vector<SnapshotEntry> listed = Snapshots();
  ASSERT_EQ(listed.size(), 1u) << Failure();
  EXPECT_EQ(listed[0].name, kInitialSpecification);
  EXPECT_NEAR(listed[0].time, 0.2, 1e-12);
  Status s = 1;
  std::vector<std::string> others;
  ASSERT_TRUE(vantor_client::DecodeFileList(
      Ask([](vantor_client::Request& r) { r.PutUInt16(43); }, &s), &others));
  EXPECT_EQ(others.size(), 1u);

  ASSERT_TRUE(BeginRun() && Step(0.2) && Step(0.3)) << Failure();
  EXPECT_NEAR(X(), std::exp(-0.2 - 2.0 * 0.1), 1e-6);
  ASSERT_TRUE(Restore(listed[0].id) && RestsAt(0.2)) << Failure();
  EXPECT_NEAR(X(), std::exp(-0.2), 1e-6);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// A manual snapshot asked for while command 9 runs on is taken with the
// next step the loop collects: listed while the run still goes, at a
// communication point between the client's last notice before the command
// and where the run stops, and it holds x = exp(-t) there.
TEST_F(RunSnapshotsRoad, AManualSnapshotDuringAContinuousRunIsTakenWithTheNextStep) {
  ASSERT_TRUE(Start("Continuous", 0, 1.0)) << Failure();
  ASSERT_TRUE(BeginRun() && road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0) &&
              road_->WaitNotice(
                  [](const vantor_scenario::Notification& n) {
                    return (n.bits & vantor_scenario::kRunningBit) != 0 && n.time >= 0.3;
                  },
                  "the run under way"))
      << Failure();
  road_->Collect();
  const double before = road_->Last().time;
  ASSERT_TRUE(
      road_->Expect(MakeCommand(kResultsService, 15, {0}, {}, {"Under way"}), "command 15", 0))
      << Failure();
  const SnapshotEntry taken = AwaitListed("Under way");
  ASSERT_NE(taken.id, 0u) << Failure();
  // Listed while the run goes on, at a step after the command: the run
  // sends its notices when it can, so a client may not have seen that
  // step's yet, and the time is bounded by where the run stops.
  EXPECT_GE(taken.time, before);
  EXPECT_NEAR(taken.time * 10.0, std::round(taken.time * 10.0), 1e-6);
  EXPECT_EQ(road_->Last().bits & vantor_scenario::kRunningBit, vantor_scenario::kRunningBit);

  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 14), "command 14", 0) && Rests())
      << Failure();
  EXPECT_LE(taken.time, road_->Last().time);
  ASSERT_TRUE(Restore(taken.id) && RestsAt(taken.time)) << Failure();
  EXPECT_NEAR(X(), std::exp(-taken.time), 1e-6);
  EXPECT_TRUE(FinishRun()) << Failure();
}

}  // namespace run_snapshots
