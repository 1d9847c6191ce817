// A rate estimated from measurements of a delayed variable: the gradient
// through the DELAY is the sensitivity half a lag back, so every solver
// must end at the least-squares optimum, not at the point where the
// undelayed sensitivities would have the residuals vanish.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
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

// The same with the lag a fixed variable L (4) from `lag`.
void DelayedDecayLag(Writer& w, double start, double lag) {
  using modelwriter::Add;
  using modelwriter::Mul;
  using modelwriter::Sub;
  using modelwriter::Var;
  w.List(6);
  engineroad::ModelVariable(w, modelwriter::kRealVariable, 1, ".p", start, 4);
  engineroad::ModelVariable(w, modelwriter::kStateVariable, 2, ".x", 1.0, 32);
  engineroad::ModelVariable(w, modelwriter::kRealVariable, 3, ".y", 1.0, 1);
  engineroad::ModelVariable(w, modelwriter::kRealVariable, 4, ".L", lag, 4);
  engineroad::ModelEquation(w, 10, ".e", Add(Var(0), Mul(Var(1), Var(2))),
                            {{2, 2, 1}, {2, 1}, {2, 2}});
  engineroad::ModelEquation(w, 11, ".late", Sub(Var(0), modelwriter::Delay(Var(1), Var(2))),
                            {{2, 3}, {2, 2}, {2, 4}});
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

// The least-squares p and L of y = exp(-p (t - L)) through the delayed
// data: Gauss-Newton from (0.7, 0.5), the pair's one minimum nearby.
void DelayedPairOptimum(double* p, double* lag) {
  const std::vector<double> y = DelayedObserved();
  *p = 0.7;
  *lag = 0.5;
  for (int iteration = 0; iteration < 50; ++iteration) {
    double a = 0.0, b = 0.0, c = 0.0, g0 = 0.0, g1 = 0.0;
    for (int k = 0; k < 5; ++k) {
      const double f = std::exp(-*p * (kDelayedTimes[k] - *lag)), r = y[k] - f;
      const double jp = -(kDelayedTimes[k] - *lag) * f, jl = *p * f;
      a += jp * jp;
      b += jp * jl;
      c += jl * jl;
      g0 += jp * r;
      g1 += jl * r;
    }
    const double det = a * c - b * b;
    *p += (c * g0 - b * g1) / det;
    *lag += (a * g1 - b * g0) / det;
  }
}

double DelayedPairSumOfSquares(double p, double lag) {
  const std::vector<double> y = DelayedObserved();
  double s = 0.0;
  for (int k = 0; k < 5; ++k) {
    const double r = y[k] - std::exp(-p * (kDelayedTimes[k] - lag));
    s += r * r;
  }
  return s;
}

// The estimation solver by differences (3) on the delayed fit, of p alone
// and of p with the lag L, from p = 0.5 (and L = 0.45): it converges to
// the least-squares optimum and says so, with the statistics of its last
// pass, without calling a well-determined unknown singular or failing a
// pass. Differenced gradients bring the sum of squares to within 1e-8 of
// its least, the relative tolerance the end point is judged by.
TEST_F(DelayedEstimationRoad, TheDifferencesSolverConvergesOnOneAndTwoUnknowns) {
  double best_p = 0.0, best_lag = 0.0;
  DelayedPairOptimum(&best_p, &best_lag);
  ASSERT_NEAR(best_p, 0.715761308, 1e-8);
  ASSERT_NEAR(best_lag, 0.529848488, 1e-8);
  for (const bool pair : {false, true}) {
    SCOPED_TRACE(pair ? "p and L" : "p");
    CloseEngine();
    ASSERT_TRUE(Start(
                    [&](Writer& w) {
                      if (pair) {
                        DelayedDecayLag(w, 0.5, 0.45);
                      } else {
                        DelayedDecayStart(w, 0.5);
                      }
                    },
                    true) &&
                IntOption(124, 3) && RealOption(87, 1e-8))
        << Failure() << Events();
    auto choose = std::make_unique<vantor_client::Request>(engineroad::kProblemService);
    choose->PutUInt16(123);
    choose->PutString("kvs_sqpa.dll");
    ASSERT_TRUE(road_->Expect(std::move(choose), "the open NLP solver (request 123)", 0))
        << Failure() << Events();
    Definition d = DelayedFitDefinition();
    if (pair) d.estimated = {1, 4};
    Results r;
    ASSERT_TRUE(Estimate(d, &r)) << Failure() << Events();
    ASSERT_TRUE(StatisticsCame(&r)) << Failure() << Events();
    ASSERT_TRUE(RunEnded() && Ask(&r)) << Failure() << Events();
    EXPECT_GE(r.outcome, 1u) << Events();
    EXPECT_LE(r.outcome, 4u) << Events();
    ASSERT_EQ(r.estimates.size(), pair ? 2u : 1u);
    const std::string events = Events();
    EXPECT_EQ(events.find("Singular convergence"), std::string::npos) << events;
    EXPECT_EQ(events.find("Experiment failed"), std::string::npos) << events;
    EXPECT_GE(r.statistics, 1u);
    EXPECT_EQ(r.errors.size(), r.estimates.size());
    if (pair) {
      EXPECT_NEAR(r.estimates[0], best_p, 1e-5) << events;
      EXPECT_NEAR(r.estimates[1], best_lag, 1e-5) << events;
      EXPECT_NEAR(r.final, DelayedPairSumOfSquares(best_p, best_lag), 1e-9);
    } else {
      const double best = DelayedOptimum();
      EXPECT_NEAR(r.estimates[0], best, 1e-6) << events;
      EXPECT_NEAR(r.final, DelayedSumOfSquares(best), 1e-9);
    }
    ASSERT_TRUE(EndEngine()) << Failure() << events;
  }
}

}  // namespace
