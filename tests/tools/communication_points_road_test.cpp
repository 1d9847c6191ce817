// Communication points of a dynamic run: by default the integrator steps
// past them and the values there come from its interpolant
// (Integration.ItplToComTime); asked not to, it ends a step at each. Either
// way the values hold to the closed form or the reference within the
// tolerance, and a set-item between two steps restarts the integration at
// its own time.
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

constexpr std::uint16_t kInterpolate = 143, kPrintLevel = 31, kWatchGroup = 79;

class CommunicationPointsRoad : public EngineRoad {
 protected:
  // Gear at the given tolerances, print level 0, communication interval
  // `interval`, ItplToComTime as given; the model loaded and the run begun.
  bool Begin(const std::string& name, double interval, double rtol, double atol, int interpolate,
             const std::function<void(Writer&)>& model) {
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(120000);
    return StartEngine(engine, name) &&
           road_->Expect(MakeCommand(kResultsService, 32, {}, {interval}), "command 32", 0) &&
           IntOption(30, 4) && RealOption(130, rtol) && RealOption(131, atol) &&
           IntOption(29, 4) && IntOption(kPrintLevel, 0) &&
           IntOption(kInterpolate, static_cast<std::uint32_t>(interpolate)) && Load(model) &&
           BeginRun();
  }
  // One command 10, ending at `time`.
  bool Step(double time) {
    const std::string what = "step to " + std::to_string(time);
    return road_->Expect(MakeCommand(kProblemService, 10), what, 0) && road_->WaitStep(time, what);
  }
  // A set-item at rest on the node's child `index`; the next command 10
  // re-initialises at `time`.
  bool SetAndRestart(std::uint32_t index, double value, double time) {
    auto set = std::make_unique<vantor_client::Request>(kResultsService, 8);
    vantor_client::PutSetReal(*set, {2, index}, 1, value);
    return road_->Expect(std::move(set), "set-item", 0) &&
           road_->Expect(MakeCommand(kProblemService, 10), "re-initialisation", 0) &&
           road_->WaitStep(time, "re-initialisation at " + std::to_string(time));
  }
};

// x' = -k x, read every 0.25 to t = 6, k stepped from 0.5 to 2 by a
// set-item at t = 3: x = exp(-t/2), then exp(-1.5) exp(-2 (t - 3)). Steps
// taken past t = 3 with the old rate must not reach the values after it.
TEST_F(CommunicationPointsRoad, ValuesHoldToTheClosedFormAcrossASetItem) {
  constexpr double kTol = 1e-8, kInterval = 0.25, kSwitch = 3.0;
  for (const int interpolate : {1, 0}) {
    const std::string what = "ItplToComTime " + std::to_string(interpolate);
    ASSERT_TRUE(Begin("Decay", kInterval, kTol, kTol, interpolate,
                      [](Writer& w) { engineroad::DecayModel(w, ".k", 0.5); }))
        << what << ": " << Failure() << Events();
    double worst = 0.0;
    for (int k = 0; k <= 24; ++k) {
      const double t = kInterval * k;
      ASSERT_TRUE(Step(t)) << what << ": " << Failure() << Events();
      if (t == kSwitch) {
        ASSERT_TRUE(SetAndRestart(1, 2.0, t)) << what << ": " << Failure();
      }
      double x = 0.0;
      ASSERT_TRUE(road_->Read(2, &x, "x")) << Failure();
      const double exact =
          t <= kSwitch ? std::exp(-0.5 * t) : std::exp(-0.5 * kSwitch - 2.0 * (t - kSwitch));
      worst = std::max(worst, std::fabs(x - exact) / (kTol * exact + kTol));
    }
    ASSERT_TRUE(FinishRun()) << what << ": " << Failure();
    std::printf("%s: worst error %.2f tolerances\n", what.c_str(), worst);
    EXPECT_LE(worst, 20.0) << what;
    run_ = vantor_scenario::FirstOrderRun();
  }
}

// The tank train, read every second to t = 200, its feed stepped from 10
// to 12 kg/s by a set-item at t = 50.
class TrainRoad : public CommunicationPointsRoad {
 protected:
  static constexpr std::uint32_t kUnits = 10;
  static constexpr double kRtol = 1e-6, kAtol = 1e-8;

  // Runs the train; `worst` is the last unit's largest error against the
  // tight reference at 50, 100 and 200 in tolerances, `watched` the
  // corrector's solves of the watched group.
  void Run(const TankTrain& train, int interpolate, double* worst, std::size_t* watched) {
    struct Reference {
      int t;
      double mass, temperature;
    };
    const Reference references[] = {{50, 32.5, 367.692430518},
                                    {100, 35.4748146815, 363.709524766},
                                    {200, 46.7217936811, 361.337746489}};
    const std::string what = "ItplToComTime " + std::to_string(interpolate);
    ASSERT_TRUE(Begin("Train", 1.0, kRtol, kAtol, interpolate,
                      [&](Writer& w) { train.Write(w, Node()); }) &&
                IntOption(kWatchGroup, 1))
        << what << ": " << Failure() << Events();
    *worst = 0.0;
    for (int k = 0; k <= 200; ++k) {
      ASSERT_TRUE(Step(k)) << what << ": " << Failure() << Events();
      if (k == 50) {
        ASSERT_TRUE(SetAndRestart(TankTrain::kFeedIndex, 12.0, k)) << Failure();
      }
      for (const Reference& r : references) {
        if (r.t != k) continue;
        double m = 0.0, temperature = 0.0;
        ASSERT_TRUE(road_->Read(TankTrain::Index(kUnits, TankTrain::kMass), &m, "M") &&
                    road_->Read(TankTrain::Index(kUnits, TankTrain::kTemperature), &temperature,
                                "T"))
            << Failure();
        *worst = std::max({*worst, std::fabs(m - r.mass) / (kRtol * r.mass + kAtol),
                           std::fabs(temperature - r.temperature) /
                               (kRtol * r.temperature + kAtol)});
      }
    }
    // The last read was a round trip: every line of the steps has arrived.
    road_->Collect();
    *watched = static_cast<std::size_t>(
        std::count_if(run_.events.begin(), run_.events.end(), [](const std::string& line) {
          return line.find("Converged after") != std::string::npos;
        }));
    ASSERT_TRUE(FinishRun()) << what << ": " << Failure();
    std::printf("%s: worst error %.2f tolerances, %zu watched solves\n", what.c_str(), *worst,
                *watched);
    run_ = vantor_scenario::FirstOrderRun();
  }
};

// In both modes the last unit holds to the reference, and the corrector
// solves the watched group fewer times when the points are interpolated.
TEST_F(TrainRoad, TheTrainTakesFewerStepsWhenPointsAreInterpolated) {
  TankTrain train;
  train.units = kUnits;
  std::size_t solves[2] = {0, 0};
  for (const int interpolate : {1, 0}) {
    double worst = 0.0;
    ASSERT_NO_FATAL_FAILURE(Run(train, interpolate, &worst, &solves[interpolate]));
    EXPECT_LE(worst, 20.0) << "ItplToComTime " << interpolate;
    EXPECT_GT(solves[interpolate], 100u) << "ItplToComTime " << interpolate;
  }
  EXPECT_LT(solves[1], solves[0]);
}

// Sent as an environment sends it (parameters as FIXED variables, every
// unit variable recorded, the feed after the units), the train gives the
// same values: the feed's set-item is seen though the feed is the last
// variable of the table.
TEST_F(TrainRoad, TheTrainSentAsAnEnvironmentSendsItHoldsToTheReference) {
  TankTrain train;
  train.units = kUnits;
  train.as_environment = true;
  double worst = 0.0;
  std::size_t watched = 0;
  ASSERT_NO_FATAL_FAILURE(Run(train, 1, &worst, &watched));
  EXPECT_LE(worst, 20.0);
}

}  // namespace
