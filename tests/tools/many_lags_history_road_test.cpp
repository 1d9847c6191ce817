// Many lags held at a fine tolerance, through the real engine: y' = the
// mean of y over n lags on a grid, each DELAY in a variable of its own,
// y = 1 up to 0. The restarts at the lags' breaks take short steps, and
// the rows they wrote filled the history within one lag: the look-ups
// then read a stale oldest row and the error test failed. Each run keeps
// every row its lags reach and follows the method of steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tests/tools/engine_road_fixture.h"
#include "tests/tools/grid_steps.h"

namespace manylagshistory {

using delayroad::GridSteps;
using delayroad::Lags;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using modelwriter::Add;
using modelwriter::Delay;
using modelwriter::Mul;
using modelwriter::Real;
using modelwriter::Sub;
using modelwriter::Var;
using modelwriter::Writer;
using vantor_client::MakeCommand;

constexpr std::uint16_t kFree = 1;
constexpr std::uint16_t kInitial = 32;

// y' = -sum w_i y(t - lag_i), each delayed value held in a variable of
// its own (index 2 + i).
void Held(Writer& w, const Lags& lags) {
  const auto n = static_cast<std::uint32_t>(lags.multiples.size());
  w.List(2 + 2 * n);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".y", 1.0, kInitial);
  for (std::uint32_t i = 0; i < n; ++i) {
    ModelVariable(w, modelwriter::kRealVariable, 2 + i, ".late" + std::to_string(i), 1.0, kFree);
  }
  // y' + sum w_i late_i = 0.
  modelwriter::Expr sum = Mul(Real(lags.weights[0]), Var(1));
  std::vector<std::vector<std::uint32_t>> uses{{2, 1, 1}};
  uses.push_back({2, 2});
  for (std::uint32_t i = 1; i < n; ++i) {
    sum = Add(sum, Mul(Real(lags.weights[i]), Var(1 + i)));
    uses.push_back({2, 2 + i});
  }
  ModelEquation(w, 100, ".fall", Add(Var(0), sum), uses);
  for (std::uint32_t i = 0; i < n; ++i) {
    ModelEquation(w, 101 + i, ".lag" + std::to_string(i),
                  Sub(Var(0), Delay(Var(1), Real(lags.grid * lags.multiples[i]))),
                  {{2, 2 + i}, {2, 1}});
  }
}

// n equal weights 1/n on lags first, first + step, ... in grid steps.
Lags Mean(double grid, int n, int first, int step) {
  Lags lags{grid, {}, {}};
  for (int i = 0; i < n; ++i) {
    lags.multiples.push_back(first + i * step);
    lags.weights.push_back(1.0 / n);
  }
  return lags;
}

struct Settings {
  double rtol, atol, interval, end, max_step;
  bool interpolate;
};

class ManyLagsHistoryRoad : public engineroad::EngineRoad {
 protected:
  // The run's y at every point within `near` tolerances of the method of
  // steps, and no word of the history's bound.
  void ExpectFollows(const Lags& lags, const Settings& r, double near) {
    const GridSteps steps(lags, r.end + 1.0);
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(120000);
    ASSERT_TRUE(StartEngine(engine, "ManyLags") &&
                road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {r.interval}),
                              "command 32", 0) &&
                IntOption(30, 4) && RealOption(130, r.rtol) && RealOption(131, r.atol) &&
                IntOption(29, 4) && IntOption(103, 1000000) &&
                Load([&](Writer& w) { Held(w, lags); }))
        << Failure() << Events();
    if (r.max_step > 0.0) {
      ASSERT_TRUE(RealOption(141, r.max_step)) << Failure();
    }
    ASSERT_TRUE(IntOption(143, r.interpolate ? 1 : 0)) << Failure();
    ASSERT_TRUE(BeginRun() && Step(0.0)) << Failure();
    double worst = 0.0;
    for (int k = 1; k * r.interval <= r.end + 1e-9; ++k) {
      const double t = k * r.interval;
      ASSERT_TRUE(Step(t)) << Failure() << Events();
      const double y = Value(1);
      const double off = std::fabs(y - steps(t)) / (r.rtol * std::max(1.0, std::fabs(y)) + r.atol);
      worst = std::max(worst, off);
      EXPECT_LE(off, near) << "t = " << t << ": " << y << " against " << steps(t);
    }
    RecordProperty("worst_tolerances", std::to_string(worst));
    EXPECT_EQ(Events().find("the delay history keeps"), std::string::npos) << Events();
    EXPECT_TRUE(FinishRun()) << Failure();
    CloseEngine();
  }
};

// Ten lags, 0.1 to 1, at rtol = atol = 1e-10 filled the rows by t = 1.72.
TEST_F(ManyLagsHistoryRoad, TenLagsHeldAtAFineTolerance) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  ExpectFollows(Mean(0.1, 10, 1, 1), {1e-10, 1e-10, 0.25, 4.0, 0.0, true}, 20.0);
}

// Five lags, 0.5 to 1.75, filled them by t = 3.75.
TEST_F(ManyLagsHistoryRoad, FiveLongerLagsHeldAtAFineTolerance) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  if (testsupport::kUnderAddressSanitizer) GTEST_SKIP() << "one many-lag run under the sanitizer";
  ExpectFollows(Mean(0.0625, 5, 8, 5), {1e-10, 1e-12, 0.25, 5.0, 0.0, true}, 20.0);
}

// y' = -y(t - 1) - y(t - 0.5) / 2 with its steps bounded by 0.01 and every
// point a step's end filled them by t = 3.85.
TEST_F(ManyLagsHistoryRoad, TwoLagsBoundedAtAFineTolerance) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  if (testsupport::kUnderAddressSanitizer) GTEST_SKIP() << "one many-lag run under the sanitizer";
  const Lags lags{0.5, {2, 1}, {1.0, 0.5}};
  ExpectFollows(lags, {1e-10, 1e-12, 0.35, 4.9, 0.01, false}, 20.0);
}

}  // namespace manylagshistory
