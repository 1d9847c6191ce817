// A rate estimated from measurements of a delayed variable: the gradient
// through the DELAY is the sensitivity half a lag back, so every solver
// must end at the least-squares optimum, not at the point where the
// undelayed sensitivities would have the residuals vanish.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/tools/engine_road_fixture.h"
#include "tests/tools/estimation_road.h"
#include "tools/model_writer/model_writer.h"

namespace {

using estimationroad::Definition;
using estimationroad::EstimationRoad;
using estimationroad::Experiment;
using estimationroad::Results;
using modelwriter::Writer;

// x' = -p x from x(0) = 1 and y = DELAY(x, 0.5): p from `start` (1), x (2),
// y (3).
void DelayedDecayStart(Writer& w, double start) {
  using modelwriter::Add;
  using modelwriter::Mul;
  using modelwriter::Real;
  using modelwriter::Sub;
  using modelwriter::Var;
  w.List(5);
  engineroad::ModelVariable(w, modelwriter::kRealVariable, 1, ".p", start, 4);
  engineroad::ModelVariable(w, modelwriter::kStateVariable, 2, ".x", 1.0, 32);
  engineroad::ModelVariable(w, modelwriter::kRealVariable, 3, ".y", 1.0, 1);
  engineroad::ModelEquation(w, 10, ".e", Add(Var(0), Mul(Var(1), Var(2))),
                            {{2, 2, 1}, {2, 1}, {2, 2}});
  engineroad::ModelEquation(w, 11, ".late", Sub(Var(0), modelwriter::Delay(Var(1), Real(0.5))),
                            {{2, 3}, {2, 2}});
}

constexpr double kDelayedTimes[] = {1.0, 1.5, 2.0, 2.5, 3.0};

// y at p = 0.7, each point moved by a few percent.
std::vector<double> DelayedObserved() {
  const double noise[] = {0.02, -0.015, 0.01, -0.02, 0.015};
  std::vector<double> y;
  for (int k = 0; k < 5; ++k)
    y.push_back(std::exp(-0.7 * (kDelayedTimes[k] - 0.5)) * (1.0 + noise[k]));
  return y;
}

double DelayedSumOfSquares(double p) {
  const std::vector<double> y = DelayedObserved();
  double s = 0.0;
  for (int k = 0; k < 5; ++k) {
    const double r = y[k] - std::exp(-p * (kDelayedTimes[k] - 0.5));
    s += r * r;
  }
  return s;
}

// The least-squares rate: golden sections of [0.3, 1.2], where the sum of
// squares has its one minimum.
double DelayedOptimum() {
  const double g = (std::sqrt(5.0) - 1.0) / 2.0;
  double a = 0.3, b = 1.2;
  double c = b - g * (b - a), d = a + g * (b - a);
  while (b - a > 1e-12) {
    if (DelayedSumOfSquares(c) < DelayedSumOfSquares(d)) {
      b = d;
    } else {
      a = c;
    }
    c = b - g * (b - a);
    d = a + g * (b - a);
  }
  return (a + b) / 2.0;
}

Definition DelayedFitDefinition() {
  Experiment e;
  e.name = "late";
  e.dynamic = true;
  e.initials = {{2, 1.0}};
  e.measured = {3};
  const std::vector<double> y = DelayedObserved();
  for (int k = 0; k < 5; ++k) e.entries.push_back({3, y[k], 0.0, kDelayedTimes[k]});
  Definition d;
  d.estimated = {1};
  d.experiments = {e};
  d.records = {3};
  return d;
}

class DelayedEstimationRoad : public EstimationRoad {};

// NLS (the default) and SLSQP from p = 0.5, each in an engine of its own,
// to a relative fall of the sum of squares SLSQP can reach (1e-10).
TEST_F(DelayedEstimationRoad, EverySolverReachesTheLeastSquaresOptimum) {
  const double best = DelayedOptimum();
  ASSERT_NEAR(best, 0.69833, 1e-5);
  const struct {
    const char* name;
    std::uint32_t kind;
    double near;
  } solvers[] = {{"NLS", 2, 1e-6}, {"SLSQP", 1, 1e-5}};
  for (const auto& solver : solvers) {
    SCOPED_TRACE(solver.name);
    CloseEngine();
    ASSERT_TRUE(Start([](Writer& w) { DelayedDecayStart(w, 0.5); }, true) &&
                IntOption(124, solver.kind) && RealOption(87, 1e-10))
        << Failure() << Events();
    Results r;
    ASSERT_TRUE(Estimate(DelayedFitDefinition(), &r)) << Failure() << Events();
    EXPECT_GE(r.outcome, 1u) << Events();
    EXPECT_LE(r.outcome, 4u) << Events();
    ASSERT_EQ(r.estimates.size(), 1u);
    EXPECT_NEAR(r.estimates[0], best, solver.near) << Events();
    EXPECT_NEAR(r.final, DelayedSumOfSquares(best), 1e-6);
    EXPECT_EQ(Events().find("singular"), std::string::npos) << Events();
    ASSERT_TRUE(Finish()) << Failure() << Events();
  }
}

}  // namespace
