// Solver options the client writes between two steps of a dynamic run
// (service 53) reach the group solvers at the very next step, as a user
// tightening a tolerance or watching a group expects. The group solvers
// read their options again only when the table changes, so these roads pin
// that no change is missed. The heated tank train of three units, its feed
// stepped at t = 2 so that the groups have work to do.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/hang_bound.h"
#include "tests/tools/engine_road_fixture.h"
#include "tools/model_writer/tank_train.h"
#include "tools/result_replies.h"

namespace {

using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::kResultsService;
using engineroad::Node;
using modelwriter::TankTrain;
using vantor_client::MakeCommand;

constexpr std::uint32_t kUnits = 3;
constexpr int kFeedStep = 2;
constexpr int kWritten = 3;  // the options are written after this step
constexpr std::uint16_t kPrintLevel = 31, kWatchGroup = 79;
constexpr char kWatched[] = "Converged after";

std::size_t Count(const std::vector<std::string>& lines, const std::string& text) {
  return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
    return l.find(text) != std::string::npos;
  }));
}

class OptionsBetweenStepsRoad : public EngineRoad {
 protected:
  // The train prepared for a variable-step run at print level 0, begun.
  bool Begin(const std::string& name) {
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(120000);
    TankTrain train;
    train.units = kUnits;
    return StartEngine(engine, name) &&
           road_->Expect(MakeCommand(kResultsService, 32, {}, {1.0}), "command 32", 0) &&
           IntOption(30, 4) && RealOption(130, 1e-6) && RealOption(131, 1e-8) && IntOption(29, 4) &&
           IntOption(kPrintLevel, 0) && Load([&](Writer& w) { train.Write(w, Node()); }) &&
           BeginRun();
  }

  // One command 10 to `time`; false when it did not end, *failed when it
  // ended with the run-failed bit.
  bool Step(int time, bool* failed) {
    const std::string what = "step to " + std::to_string(time);
    if (!road_->Expect(MakeCommand(kProblemService, 10), what, 0)) return false;
    bool running = false;
    *failed = false;
    return road_->WaitNotice(
        [&](const vantor_scenario::Notification& n) {
          if ((n.bits & vantor_scenario::kRunFailedBit) != 0) *failed = true;
          if ((n.bits & vantor_scenario::kRunningBit) != 0) running = true;
          return *failed || ((n.bits & vantor_scenario::kRunningBit) == 0 &&
                             std::fabs(n.time - time) < 1e-9 && (running || time == 0));
        },
        what);
  }

  // Steps 0 .. kWritten with the feed stepped from 10 to 12 kg/s after
  // step kFeedStep (and the re-initialisation it brings); every step must
  // succeed.
  bool RunToTheWrite() {
    for (int k = 0; k <= kWritten; ++k) {
      bool failed = false;
      if (!Step(k, &failed)) return false;
      if (failed) return Fail("step " + std::to_string(k) + " failed");
      if (k == kFeedStep) {
        auto feed = std::make_unique<vantor_client::Request>(kResultsService, 8);
        vantor_client::PutSetReal(*feed, {2, TankTrain::kFeedIndex}, 1, 12.0);
        if (!road_->Expect(std::move(feed), "feed := 12", 0)) return false;
        // The next command re-initialises at the same time.
        if (!Step(k, &failed)) return false;
        if (failed) return Fail("the re-initialisation at " + std::to_string(k) + " failed");
      }
    }
    double mass = 0.0;
    // A round trip: what the steps printed has arrived.
    return road_->Read(TankTrain::Index(kUnits, TankTrain::kMass), &mass, "M") && mass > 25.0;
  }

  // Waits (within the engine's time-out) for a line holding `text`.
  bool Shows(const std::string& text) {
    return client_->WaitFor([&] {
      road_->Collect();
      return Count(run_.events, text) > 0;
    }) == 0;
  }

  bool EndRun() {
    auto end = std::make_unique<vantor_client::Request>(kProblemService);
    end->PutUInt16(134);
    return road_->Expect(std::move(end), "request 134", engineroad::kRunEnded) && EndEngine();
  }
};

// A watched group reports every solve of its own; the watch written between
// two steps shows in the next step's solves and in none before.
TEST_F(OptionsBetweenStepsRoad, AWatchWrittenBetweenStepsShowsInTheNextStep) {
  ASSERT_TRUE(Begin("Watch")) << Failure() << Events();
  ASSERT_TRUE(RunToTheWrite()) << Failure() << Events();
  EXPECT_EQ(Count(run_.events, kWatched), 0u) << Events();
  ASSERT_TRUE(IntOption(kWatchGroup, 1)) << Failure();
  bool failed = true;
  ASSERT_TRUE(Step(kWritten + 1, &failed)) << Failure() << Events();
  EXPECT_FALSE(failed) << Events();
  EXPECT_TRUE(Shows(kWatched)) << Events();
  // Unwatched again: the step after that reports nothing more.
  ASSERT_TRUE(IntOption(kWatchGroup, 0)) << Failure();
  double mass = 0.0;
  ASSERT_TRUE(road_->Read(TankTrain::Index(kUnits, TankTrain::kMass), &mass, "M")) << Failure();
  const std::size_t watched = Count(run_.events, kWatched);
  ASSERT_TRUE(Step(kWritten + 2, &failed)) << Failure() << Events();
  EXPECT_FALSE(failed) << Events();
  ASSERT_TRUE(road_->Read(TankTrain::Index(kUnits, TankTrain::kMass), &mass, "M")) << Failure();
  EXPECT_EQ(Count(run_.events, kWatched), watched) << Events();
  ASSERT_TRUE(EndRun()) << Failure();
}

}  // namespace
