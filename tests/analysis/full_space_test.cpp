// The full-space steady-state optimisation: the formulation with slack rows
// on a three-equation model, the slack variable linked and unlinked, the
// inequality row's own residual, the failure texts, and HS071 written as a
// steady-state model solved through Ipopt.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/model/opt_variable.h"
#include "analysis/optimisation/full_space.h"
#include "analysis/optimisation/reduced_driver.h"
#include "framework/libraries/library_api.h"
#include "framework/messaging/message.h"
#include "solve/open/solver_loaders.h"
#include "tests/analysis/hs071_model.h"
#include "tests/analysis/optimisation_fakes.h"
#include "tests/framework/message_helpers.h"

namespace {

namespace oo = optimisation_options;
using optimisation_fakes::Hs071Model;
using optimisation_fakes::Printed;
using optimisation_fakes::TestOptions;

FullSpaceOptimisation::Definition Hs071Definition() {
  FullSpaceOptimisation::Definition d;
  d.objectives = {5};
  d.free = {0, 1, 2};
  d.constraints = {{2, 25.0, 4}};
  return d;
}

std::uint32_t State(const std::vector<std::uint8_t>& body) {
  std::uint32_t state = 0;
  if (body.size() >= 4) std::memcpy(&state, body.data(), 4);
  return state;
}

}  // namespace

TEST(FullSpace, FormulationAddsOneSlackRowPerBoundedConstraint) {
  TestOptions options;
  options.ints[oo::kPrintLevel] = 2;
  Printed printed;
  Hs071Model model;
  FullSpaceOptimisation::Definition d = Hs071Definition();
  // x4 <= 4.5 and f = 0 besides g >= 25: each gets its row, the
  // equality without a slack.
  d.constraints = {{2, 25.0, 4}, {0, 0.0, 5}, {3, 4.5, 3}};
  FullSpaceOptimisation fs(&model, d, printed.Fn());
  ASSERT_EQ(fs.Formulate(), 0u);
  EXPECT_EQ(fs.Q(), 2);
  EXPECT_EQ(fs.M(), 6);
  EXPECT_EQ(fs.N(), 8);
  EXPECT_EQ(fs.NonZeros(), 14 + 5);
  EXPECT_EQ(fs.FirstWorkSize(), 8u + 4u);
  EXPECT_EQ(fs.SecondWorkSize(), 2u + 8u + 6u);
  const std::vector<std::int32_t> rows(fs.Rows().end() - 5, fs.Rows().end());
  const std::vector<std::int32_t> cols(fs.Columns().end() - 5, fs.Columns().end());
  EXPECT_EQ(rows, (std::vector<std::int32_t>{3, 3, 4, 5, 5}));
  EXPECT_EQ(cols, (std::vector<std::int32_t>{4, 6, 5, 3, 7}));
  std::vector<double> r(6), j(19);
  ASSERT_EQ(fs.Residuals(fs.Point().data(), r.data(), j.data()), 0u);
  EXPECT_EQ((std::vector<double>(j.end() - 5, j.end())),
            (std::vector<double>{1.0, -1.0, 1.0, 1.0, 1.0}));
  // The slacks start where their rows hold; f = 0 does not hold yet.
  EXPECT_EQ(fs.Point()[6], 5.0);
  EXPECT_EQ(fs.Point()[7], 3.5);
  EXPECT_EQ(r[3], 0.0);
  EXPECT_EQ(r[4], 16.0);
  EXPECT_EQ(r[5], 0.0);
  ASSERT_EQ(fs.Slacks().size(), 2u);
  EXPECT_STREQ(fs.Slacks()[0]->GetNameText(), ".Slack_g>=  2.500000e+01");
  EXPECT_STREQ(fs.Slacks()[1]->GetNameText(), ".Slack_x4<=  4.500000e+00");
  ASSERT_EQ(fs.Inequalities().size(), 3u);
  EXPECT_EQ(fs.Inequalities()[1].Name(), ".Equality_f==  0.000000e+00");
  EXPECT_EQ(fs.Inequalities()[1].SlackColumn(), -1);
  EXPECT_EQ(fs.Inequalities()[2].Name(), ".Inequality_x4<=  4.500000e+00");
  EXPECT_EQ(fs.Inequalities()[2].Record(), 2);
  for (const auto& s : fs.Slacks()) EXPECT_NE(s->GetFlags() & analysis_flags::kSlack, 0u);
  // Model-fixed columns keep their value; decision variables and unknowns move.
  EXPECT_EQ(fs.Lower()[0], 1.0);
  EXPECT_EQ(fs.Upper()[0], 5.0);
  EXPECT_EQ(fs.Lower()[6], 0.0);
  EXPECT_EQ(fs.Upper()[6], 1e30);
  EXPECT_TRUE(printed.Has("6 equalities, 8 variables and 19 non-zeros"));

  // The row computes its own residual; the model's derivative operations are not its own.
  const OptEquation& row = fs.Inequalities()[0];
  std::vector<double> at(fs.Point());
  at[4] = 31.0;
  EXPECT_EQ(row.Value(at.data()), 31.0 - 5.0 - 25.0);
  EXPECT_TRUE(row.Uses(4));
  EXPECT_FALSE(row.Uses(6));
  double derivative = 7.0;
  EXPECT_EQ(row.Derivative(4, &derivative), kFullSpaceNotSupported);
  EXPECT_EQ(derivative, 0.0);
  const std::string dump = row.Dump(at.data());
  EXPECT_EQ(dump.substr(dump.size() - 22), "] QLNRow::Dump() ----\n");
}

// x >= 0 is x >= 0.0 with a slack; a constraint on a column the model
// does not have gets no row.
TEST(FullSpace, NonNegativityIsABoundedRowAtZero) {
  TestOptions options;
  options.ints[oo::kPrintLevel] = 0;
  Hs071Model model;
  FullSpaceOptimisation::Definition d = Hs071Definition();
  d.constraints = {{1, 7.0, 3}, {2, 25.0, 9}};
  FullSpaceOptimisation fs(&model, d);
  ASSERT_EQ(fs.Formulate(), 0u);
  ASSERT_EQ(fs.Inequalities().size(), 1u);
  const OptEquation& row = fs.Inequalities()[0];
  EXPECT_EQ(row.Type(), -1);
  EXPECT_EQ(row.Bound(), 0.0);
  EXPECT_EQ(row.Name(), ".Inequality_x4>=  0.000000e+00");
  EXPECT_STREQ(fs.Slacks()[0]->GetNameText(), ".Slack_x4>=  0.000000e+00");
  // x4 - s = 0 holds at the start with s = x4.
  EXPECT_EQ(fs.Point()[6], model.values[3]);
  EXPECT_EQ(row.Value(fs.Point().data()), 0.0);
}

TEST(FullSpace, SlackLinkedAnswersFromTheModelVariable) {
  OptVariable model("T", 350.0, 300.0, 400.0);
  OptSlackVariable slack(&model, "T", 380.0, 1);
  double v = 0, lo = 0, hi = 0;
  slack.SetValue(30.0);
  slack.GetValue(&v);
  slack.GetBounds(&lo, &hi);
  EXPECT_EQ(v, 30.0);
  EXPECT_EQ(lo, 0.0);
  EXPECT_EQ(hi, 1e30);
  EXPECT_EQ(model.value(), 350.0);
  slack.SetLinked(true);
  slack.GetValue(&v);
  slack.GetBounds(&lo, &hi);
  EXPECT_EQ(v, 350.0);
  EXPECT_EQ(lo, 300.0);
  EXPECT_EQ(hi, 400.0);
  slack.SetValue(360.0);
  EXPECT_EQ(model.value(), 360.0);
  EXPECT_EQ(slack.GetScale(&v), kFullSpaceNotSupported);
  OptSlackVariable plain(nullptr, "T", 1.0, 0);
  EXPECT_STREQ(plain.GetNameText(), "T");
}

TEST(FullSpace, FailuresSayWhichSolverFailed) {
  TestOptions options;
  options.ints[oo::kPrintLevel] = 0;
  ClearOpenSolvers();
  for (std::int32_t optimizer : {4, 7}) {
    Printed printed;
    Hs071Model model;
    FullSpaceOptimisation::Definition d = Hs071Definition();
    d.optimizer = optimizer;
    FullSpaceOptimisation fs(&model, d, printed.Fn());
    DseMessage progress(87, 12);
    EXPECT_GT(fs.Pass(kOptFirstEvaluation, &progress), 1);
    EXPECT_EQ(fs.FailureStatus(), kFullSpaceSolverFailed);
    ASSERT_FALSE(printed.lines.empty());
    EXPECT_EQ(printed.lines.back().first, kFullSpaceSolverFailed);
    EXPECT_EQ(printed.lines.back().second, optimizer == 4 ? "Optimization failed to converge"
                                                          : "Solution failure in external solver.");
    EXPECT_EQ(State(testsupport::BodyOf(progress)), kOptProgressFailed);
  }
  // Nothing to vary: the warning, and the pass fails.
  Printed printed;
  Hs071Model model;
  FullSpaceOptimisation::Definition d = Hs071Definition();
  d.free.clear();
  FullSpaceOptimisation fs(&model, d, printed.Fn());
  EXPECT_EQ(fs.Formulate(), kFullSpacePassFailed);
  ASSERT_FALSE(printed.lines.empty());
  EXPECT_EQ(printed.lines[0].first, kFullSpaceNothingToOptimise);
}

#if defined(VANTOR_KVS_DIR) && defined(VANTOR_NLP_LIBRARIES)

TEST(FullSpace, Hs071AsASteadyStateModelThroughIpopt) {
  AddDLLSearchPath(VANTOR_KVS_DIR);
  TestOptions options;
  options.ints[oo::kPrintLevel] = 1;
  ASSERT_EQ(LoadOpenNLPSolverForOptimisation("kvs_sqpb.dll"), 0u);
  // The library goes only after the system it made.
  struct Unload {
    ~Unload() { ClearOpenSolvers(); }
  } unload;
  Printed printed;
  Hs071Model model;
  FullSpaceOptimisation fs(&model, Hs071Definition(), printed.Fn());
  std::int32_t answer = 0;
  std::vector<std::uint32_t> states;
  for (std::int32_t pass = 0; pass < 5000 && answer <= 0; ++pass) {
    DseMessage progress(87, 12);
    answer = fs.Pass(pass == 0 ? kOptFirstEvaluation : kOptEvaluated, &progress);
    states.push_back(State(testsupport::BodyOf(progress)));
  }
  ASSERT_EQ(answer, 1);
  EXPECT_EQ(states.back(), kOptProgressOptimum);
  EXPECT_EQ(states.front(), kOptProgressPoint);
  EXPECT_NEAR(fs.Objective(), 17.0140172891563, 1e-6 * 17.0140172891563);
  const double x[] = {1.0, 4.7429996, 3.8211500, 1.3794083};
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(model.values[static_cast<std::size_t>(k)], x[k], 1e-4);
  // x1 >= 1 and the slack of g >= 25 hold the reduced-space multipliers.
  double upper = -1, lower = -1;
  ASSERT_TRUE(fs.Multipliers(0, &upper, &lower));
  EXPECT_NEAR(lower, 1.08787123, 1e-4);
  EXPECT_NEAR(upper, 0.0, 1e-6);
  ASSERT_TRUE(fs.Multipliers(6, &upper, &lower));
  EXPECT_NEAR(lower, 0.55229366, 1e-4);
  EXPECT_FALSE(fs.Multipliers(7, &upper, &lower));
  EXPECT_TRUE(printed.Has("Value of Objective Function =   1.701402e+01"));
}

#endif
