// An instance edit accepted between the steps of a continuous run: the
// loop builds the problem again with every preparation stage, so that the
// client can still pause and interrupt the run, and the run goes on under
// the edited model. x' = -k x, k := 2 at some communication point t_e; a
// clock z' = k beside it names t_e however long the run went on.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/tools/run_road_fixture.h"

namespace edited_run {

using engineroad::kPreparedBits;
using engineroad::kProblemService;
using engineroad::kResultsService;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using modelwriter::Writer;
using vantor_client::MakeCommand;
using vantor_scenario::kRunningBit;
using vantor_scenario::Notification;

class EditedRunRoad : public runroad::RunRoad {
 protected:
  double Z() {
    double value = std::nan("");
    road_->Read(3, &value, "reading z");
    return value;
  }
};

constexpr std::uint16_t kFixed = 4;
constexpr Status kBusy = 0x0032000Au;

// The decay from x(0) = 1 and the clock z' = k from z(0) = 0 (index 3).
void DecayAndClock(Writer& w) {
  using modelwriter::Var;
  w.List(5);
  ModelVariable(w, modelwriter::kRealVariable, 1, ".k", 1.0, kFixed);
  ModelVariable(w, modelwriter::kStateVariable, 2, ".x", 1.0, 32);
  ModelVariable(w, modelwriter::kStateVariable, 3, ".z", 0.0, 32);
  ModelEquation(w, 10, ".e", modelwriter::Add(Var(0), modelwriter::Mul(Var(1), Var(2))),
                {{2, 2, 1}, {2, 1}, {2, 2}});
  ModelEquation(w, 11, ".clock", modelwriter::Sub(Var(0), Var(1)), {{2, 3, 1}, {2, 1}});
}

// After k := 2 at t_e, z = t_e + 2 (t - t_e) and x = exp(-z). The edit
// takes effect at a communication point, which z names: t_e = 2 t - z.
// (ln x would too, but its error grows as x decays, that is, the longer
// the run goes on before the client reads it.)
double EditTime(double t, double z) { return 2.0 * t - z; }

// After the edit the run can be paused, run on and interrupted, and each
// rest is where the closed form under the new rate says.
TEST_F(EditedRunRoad, AnEditBetweenStepsLeavesARunThatStopsAndGoesOnUnderTheEdit) {
  ASSERT_TRUE(Start("EditedRun", 0, DecayAndClock)) << Failure();
  ASSERT_TRUE(
      BeginRun() && road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0) &&
      road_->WaitNotice([](const Notification& n) { return n.time >= 0.3; }, "the run under way"))
      << Failure();

  // Refused while a step computes: sent again until it lands between two.
  Status edited_status = kBusy;
  for (int tries = 0; tries < 1000 && edited_status == kBusy; ++tries) {
    auto edit = vantor_scenario::InstanceEdit(3, 10);
    Writer w(*edit);
    w.IdPath({2});
    w.List(1);
    ModelVariable(w, modelwriter::kRealVariable, 1, ".k", 2.0, kFixed);
    ASSERT_TRUE(road_->Exchange(std::move(edit), "k := 2 during the run", &edited_status))
        << Failure();
  }
  ASSERT_EQ(edited_status, 0u) << vantor_scenario::Hex(edited_status);
  road_->Collect();
  double accepted = road_->Last().time;
  for (const Notification& n : road_->Pending()) accepted = n.time;
  // Built and prepared again, running on past the edit.
  ASSERT_TRUE(road_->WaitNotice(
      [&](const Notification& n) {
        return (n.bits & kPreparedBits) == kPreparedBits && (n.bits & kRunningBit) != 0 &&
               n.time > accepted + 0.25;
      },
      "the run going on prepared"))
      << Failure() << Events();

  // Paused: it rests at a communication point whose z names t_e.
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 8), "command 8", 0) && Rests())
      << Failure();
  const double paused = road_->Last().time;
  const double x = X();
  const double z = Z();
  const double edited = EditTime(paused, z);
  EXPECT_GE(edited, accepted - 1e-6);
  EXPECT_LT(edited, paused);
  EXPECT_NEAR(edited * 10.0, std::round(edited * 10.0), 1e-5) << "t_e = " << edited;
  EXPECT_NEAR(x, std::exp(-z), 1e-6);

  // On again, and interrupted.
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 9), "command 9 again", 0) &&
              road_->WaitNotice(
                  [&](const Notification& n) {
                    return (n.bits & kRunningBit) != 0 && n.time > paused + 0.15;
                  },
                  "running again"))
      << Failure();
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 14), "command 14", 0) && Rests())
      << Failure();
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 8), "command 8 at rest", kBusy))
      << Failure();
  const double stopped = road_->Last().time;
  EXPECT_NEAR(X(), x * std::exp(-2.0 * (stopped - paused)), 1e-6);
  EXPECT_NEAR(Z(), z + 2.0 * (stopped - paused), 1e-6);

  // The values and the snapshot list where it stopped.
  ASSERT_TRUE(
      road_->Expect(MakeCommand(kResultsService, 15, {0}, {}, {"Stopped"}), "command 15", 0));
  const vantor_client::SnapshotEntry taken = AwaitListed("Stopped");
  ASSERT_NE(taken.id, 0u) << Failure();
  EXPECT_EQ(taken.time, stopped);

  // Prepared by the client, the run goes on from there under k = 2.
  ASSERT_TRUE(vantor_scenario::Prepare(*road_, "command 6") && BeginRun() && Step(stopped) &&
              Step(stopped + 0.1))
      << Failure() << Events() << " last " << road_->Last().time << " bits " << road_->Last().bits
      << " stopped " << stopped;
  EXPECT_NEAR(X(), x * std::exp(-2.0 * (stopped + 0.1 - paused)), 1e-6);
  EXPECT_NEAR(Z(), z + 2.0 * (stopped + 0.1 - paused), 1e-6);
  EXPECT_TRUE(FinishRun()) << Failure();
}

}  // namespace edited_run
