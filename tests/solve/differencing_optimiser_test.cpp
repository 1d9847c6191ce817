// The optimiser that gives a solver differences of the caller's values in
// place of gradients: central differences of the objective and every
// constraint, one side at a bound or where the other cannot be evaluated,
// the solver's point kept while the caller sees only requests for values,
// and a failed point handed on when no side can be evaluated.
#include "solve/optimisers/differencing_optimiser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <vector>

namespace {

// Answers from a script and keeps what each call handed it; moves the
// point to the next scripted place with each request for values.
class ScriptedSolver final : public QLNDenseOptimiser {
 public:
  ScriptedSolver(std::int32_t n, std::int32_t m) : n_(n), m_(m) {}
  struct Seen {
    std::int32_t mode;
    std::vector<double> point;
    double objective;
    std::vector<double> constraints, gradients;
  };
  std::int32_t Run(double*, const double*, const double*, const double*, std::int32_t) override {
    return 2;
  }
  std::int32_t Run(DenseOptimiserCall& call) override {
    Seen s{call.mode, std::vector<double>(call.point, call.point + n_), call.objective, {}, {}};
    if (call.constraints != nullptr) s.constraints.assign(call.constraints, call.constraints + m_);
    if (call.gradients != nullptr) {
      EXPECT_EQ(call.gradient_rows, n_);
      s.gradients.assign(call.gradients, call.gradients + n_ * (m_ + 1));
    }
    seen->push_back(s);
    const std::int32_t answer = next < answers.size() ? answers[next] : 2;
    if (next < moves.size() && !moves[next].empty()) {
      std::copy(moves[next].begin(), moves[next].end(), call.point);
    }
    ++next;
    return answer;
  }
  std::vector<std::int32_t> answers;
  std::vector<std::vector<double>> moves;
  std::size_t next = 0;
  std::shared_ptr<std::vector<Seen>> seen = std::make_shared<std::vector<Seen>>();

 private:
  std::int32_t n_, m_;
};

// f = x0² + 3 x0 x1, c = 2 x0 - x1²: gradients (2 x0 + 3 x1, 3 x0) and
// (2, -2 x1), which central differences of a quadratic give to rounding.
struct Quadratic {
  static double F(const double* x) { return x[0] * x[0] + 3.0 * x[0] * x[1]; }
  static double C(const double* x) { return 2.0 * x[0] - x[1] * x[1]; }
};

// Runs the caller's side: values at every point asked for, failing where
// `fails` says; the points asked for are kept.
struct Caller {
  std::function<bool(const double*)> fails = [](const double*) { return false; };
  std::vector<std::vector<double>> asked;
  std::int32_t Drive(QLNDenseOptimiser& opt, std::vector<double>& x,
                     const std::vector<double>& bounds) {
    double c = Quadratic::C(x.data());
    DenseOptimiserCall call;
    call.point = x.data();
    call.bounds = bounds.data();
    call.objective = Quadratic::F(x.data());
    call.constraints = &c;
    call.mode = kOptimiserStart;
    std::int32_t answer = 0;
    for (int k = 0; k < 100; ++k) {
      answer = opt.Run(call);
      if (answer > 0) break;
      EXPECT_EQ(answer, -1) << "the caller is asked for values only";
      asked.push_back(x);
      call.mode = fails(x.data()) ? kOptimiserPointFailed : 0;
      call.objective = Quadratic::F(x.data());
      c = Quadratic::C(x.data());
    }
    return answer;
  }
};

}  // namespace

TEST(DifferencingOptimiser, CentralDifferencesOfObjectiveAndConstraints) {
  auto inner = std::make_unique<ScriptedSolver>(2, 1);
  auto seen = inner->seen;
  // Values and gradients at the start, then at (2, 1), then done.
  inner->answers = {0, 0, 1};
  inner->moves = {{}, {2.0, 1.0}, {}};
  DifferencingOptimiser opt(std::move(inner), 2, 1);
  std::vector<double> x = {1.0, 2.0};
  Caller caller;
  EXPECT_EQ(caller.Drive(opt, x, {-10, -10, 10, 10}), 1);
  // A start promises no values: the start itself first. Then each variable
  // moved both ways by the perturbation 1e-5 · max(|x|, 1) about it, then
  // (2, 1) and the same about that; last (2, 1) again, so that the
  // caller's values are the end point's when it hears the end.
  ASSERT_EQ(caller.asked.size(), 11u);
  EXPECT_EQ(caller.asked.back(), (std::vector<double>{2.0, 1.0}));
  EXPECT_EQ(caller.asked[0], (std::vector<double>{1.0, 2.0}));
  EXPECT_DOUBLE_EQ(caller.asked[1][0], 1.0 + 1e-5);
  EXPECT_DOUBLE_EQ(caller.asked[2][0], 1.0 - 1e-5);
  EXPECT_DOUBLE_EQ(caller.asked[3][1], 2.0 + 2e-5);
  EXPECT_DOUBLE_EQ(caller.asked[4][1], 2.0 - 2e-5);
  EXPECT_EQ(caller.asked[5], (std::vector<double>{2.0, 1.0}));
  EXPECT_EQ(opt.DifferenceEvaluations(), 8);
  ASSERT_EQ(seen->size(), 3u);
  // The solver sees its own points with their values and the differences.
  const auto& first = (*seen)[1];
  EXPECT_EQ(first.point, (std::vector<double>{1.0, 2.0}));
  EXPECT_DOUBLE_EQ(first.objective, 7.0);
  EXPECT_DOUBLE_EQ(first.constraints[0], -2.0);
  const double expected[] = {8.0, 3.0, 2.0, -4.0};
  for (int k = 0; k < 4; ++k)
    EXPECT_NEAR(first.gradients[static_cast<std::size_t>(k)], expected[k], 1e-8) << k;
  const auto& second = (*seen)[2];
  EXPECT_EQ(second.point, (std::vector<double>{2.0, 1.0}));
  EXPECT_NEAR(second.gradients[0], 7.0, 1e-8);
  EXPECT_NEAR(second.gradients[3], -2.0, 1e-8);
}

TEST(DifferencingOptimiser, OneSidedAtABoundOrWhereTheOtherSideFails) {
  auto inner = std::make_unique<ScriptedSolver>(2, 1);
  auto seen = inner->seen;
  inner->answers = {0, 1};
  DifferencingOptimiser opt(std::move(inner), 2, 1);
  // x0 at its upper bound moves down only; x1's upper side fails.
  std::vector<double> x = {1.0, 2.0};
  Caller caller;
  caller.fails = [](const double* p) { return p[1] > 2.0; };
  EXPECT_EQ(caller.Drive(opt, x, {-10, -10, 1.0, 10}), 1);
  ASSERT_EQ(caller.asked.size(), 5u);
  EXPECT_DOUBLE_EQ(caller.asked[1][0], 1.0 - 1e-5);
  EXPECT_GT(caller.asked[2][1], 2.0);
  EXPECT_LT(caller.asked[3][1], 2.0);
  ASSERT_EQ(seen->size(), 2u);
  // Forward differences: off by half the step times the second derivative.
  EXPECT_NEAR((*seen)[1].gradients[0], 8.0, 1e-4);
  EXPECT_NEAR((*seen)[1].gradients[1], 3.0, 1e-4);
  EXPECT_NEAR((*seen)[1].gradients[3], -4.0, 1e-4);
  EXPECT_EQ(x, (std::vector<double>{1.0, 2.0})) << "the solver's point again at the end";
}

TEST(DifferencingOptimiser, NoSideToEvaluateIsTheSolversFailedPoint) {
  auto inner = std::make_unique<ScriptedSolver>(1, 0);
  auto seen = inner->seen;
  inner->answers = {0, 5};
  DifferencingOptimiser opt(std::move(inner), 1, 0);
  std::vector<double> x = {3.0, 0.0};  // the caller's quadratic reads two
  Caller caller;
  caller.fails = [](const double* p) { return p[0] != 3.0; };
  EXPECT_EQ(caller.Drive(opt, x, {-10, 10}), 5);
  ASSERT_EQ(seen->size(), 2u);
  EXPECT_EQ((*seen)[1].mode, kOptimiserPointFailed);
  EXPECT_EQ(caller.asked.size(), 4u);
  EXPECT_EQ(caller.asked.back()[0], 3.0);
  EXPECT_EQ(x[0], 3.0);
}
