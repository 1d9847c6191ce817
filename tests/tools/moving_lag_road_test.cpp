// A lag that moves with time, y' = -y(t - (1 + c t)) with y = 1 up to 0,
// through the real engine: held in a variable of its own or inline, with
// the steps free or bounded, it runs to t = 20 and follows the method of
// steps, restarting where a look-up reaches a break, not short of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tests/tools/engine_road_fixture.h"

namespace movinglag {

using engineroad::ModelEquation;
using engineroad::ModelVariable;
using modelwriter::Add;
using modelwriter::Delay;
using modelwriter::Expr;
using modelwriter::Mul;
using modelwriter::Real;
using modelwriter::Sub;
using modelwriter::Time;
using modelwriter::Var;
using modelwriter::Writer;
using vantor_client::MakeCommand;

constexpr std::uint16_t kFree = 1;
constexpr std::uint16_t kInitial = 32;

// y' + DELAY(y, 1 + c Time) = 0. `inside`: the DELAY in y's equation; else
// held in yd.
void MovingLag(Writer& w, double c, bool inside) {
  const Expr lag = Add(Real(1.0), Mul(Real(c), Time()));
  if (inside) {
    w.List(2);
    ModelVariable(w, modelwriter::kStateVariable, 1, ".y", 1.0, kInitial);
    ModelEquation(w, 10, ".fall", Add(Var(0), Delay(Var(1), lag)), {{2, 1, 1}, {2, 1}});
    return;
  }
  w.List(4);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".y", 1.0, kInitial);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".yd", 1.0, kFree);
  ModelEquation(w, 10, ".fall", Add(Var(0), Var(1)), {{2, 1, 1}, {2, 2}});
  ModelEquation(w, 11, ".late", Sub(Var(0), Delay(Var(1), lag)), {{2, 2}, {2, 1}});
}

// MovingLag by the method of steps. A look-up at t reaches back to
// (1 - c) t - 1, so the breaks are t_0 = 0 and t_k+1 = (t_k + 1) / (1 - c),
// and at s past t_k+1 it reads the piece before at (1 - c) s past t_k:
// each piece is a polynomial in the time since its start.
class MovingSteps {
 public:
  MovingSteps(double c, double end) {
    std::vector<double> before{1.0};  // y = 1 up to 0
    double start = 0.0, value = 1.0;
    while (start <= end) {
      std::vector<double> piece{value};
      double scale = 1.0;
      for (std::size_t n = 0; n < before.size(); ++n, scale *= 1.0 - c) {
        piece.push_back(-before[n] * scale / (n + 1.0));
      }
      const double next = (start + 1.0) / (1.0 - c);
      starts_.push_back(start);
      value = Horner(piece, next - start);
      pieces_.push_back(piece);
      before = std::move(piece);
      start = next;
    }
  }
  double operator()(double t) const {
    if (t <= 0.0) return 1.0;
    const auto k =
        static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), t) -
                                 starts_.begin()) - 1;
    return Horner(pieces_[k], t - starts_[k]);
  }

 private:
  static double Horner(const std::vector<double>& p, double s) {
    double v = 0.0;
    for (std::size_t i = p.size(); i-- > 0;) v = v * s + p[i];
    return v;
  }
  std::vector<double> starts_;
  std::vector<std::vector<double>> pieces_;
};

struct Case {
  double c;
  bool inside;
  double rtol, max_step;
};

class MovingLagRoad : public engineroad::EngineRoad {
 protected:
  // The largest distance, in units of the tolerance, of y from the method
  // of steps at the points every 0.25 to `end`.
  void Run(const Case& m, double end, double* worst) {
    constexpr double kInterval = 0.25;
    const MovingSteps steps(m.c, end);
    const double atol = m.rtol * 1e-2;
    CloseEngine();
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(60000);
    ASSERT_TRUE(StartEngine(engine, "MovingLag") &&
                road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {kInterval}),
                              "command 32", 0) &&
                IntOption(30, 4) && RealOption(130, m.rtol) && RealOption(131, atol) &&
                IntOption(29, 4) && IntOption(103, 100000) &&
                Load([&](Writer& w) { MovingLag(w, m.c, m.inside); }))
        << Failure() << Events();
    if (m.max_step > 0.0) {
      ASSERT_TRUE(RealOption(141, m.max_step)) << Failure();
    }
    ASSERT_TRUE(BeginRun() && Step(0.0)) << Failure();
    *worst = 0.0;
    for (int k = 1; k * kInterval <= end + 1e-9; ++k) {
      const double t = k * kInterval;
      ASSERT_TRUE(Step(t)) << Failure() << Events();
      const double y = Value(1);
      *worst = std::max(*worst,
                        std::fabs(y - steps(t)) / (m.rtol * std::max(1.0, std::fabs(y)) + atol));
    }
    EXPECT_TRUE(FinishRun()) << Failure();
  }
  // Each case to t = 20, within 20 tolerances of the method of steps.
  void WithinTheBar(const std::vector<Case>& cases) {
    for (const Case& m : cases) {
      SCOPED_TRACE(testing::Message() << "c " << m.c << (m.inside ? ", inline" : ", held")
                                      << ", rtol " << m.rtol << ", max step " << m.max_step);
      double worst = 0.0;
      Run(m, 20.0, &worst);
      EXPECT_LE(worst, 20.0);
    }
  }
};

// Each restart was placed where the lag of the last step would reach the
// break, short of where the moving lag does; the legs shrank until the
// integrator would start none ("tout too close to t0"), at t = 5.75 to
// 9.75 for c of 0.3 to 0.9, and at 2.25 for c = 0.1 with steps bounded by
// 0.01. Held and inline, free and bounded, each runs to t = 20 within 20
// tolerances of the method of steps; c = 0.05 moves least.
TEST_F(MovingLagRoad, ALagMovingWithTimeRunsToItsEnd) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  const MovingSteps still(0.0, 3.0);
  // Its pieces are those of y' = -y(t - 1).
  EXPECT_NEAR(still(2.5), 1.0 - 2.5 + 1.5 * 1.5 / 2.0 - 0.5 * 0.5 * 0.5 / 6.0, 1e-15);
  std::vector<Case> cases{{0.05, false, 1e-6, 0.0}, {0.1, false, 1e-6, 0.01},
                          {0.3, false, 1e-8, 0.0},  {0.5, true, 1e-6, 0.0},
                          {0.9, false, 1e-6, 0.0},  {0.9, true, 1e-8, 0.01}};
  WithinTheBar(cases);
}

// Written inline, with the steps free, the steps each kept to the
// tolerance, yet their errors, of one sign and handed on lag after lag
// through a lag grown past the loop's time constant, ended 28, 54 and 42
// tolerances off. With the states held to a share of the tolerance, each
// keeps within the bar.
TEST_F(MovingLagRoad, ALagMovingWithTimeInsideItsEquationKeepsItsTolerance) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  WithinTheBar({{0.1, true, 1e-6, 0.0}, {0.1, true, 1e-8, 0.0}, {0.2, true, 1e-8, 0.0}});
}

}  // namespace movinglag
