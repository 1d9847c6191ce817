// The reduced-space optimisation driver on a scripted optimiser: the
// constraint vector and gradient matrix it assembles, its protocol with the
// optimiser, the outcome table with the constraint diagnosis, the element
// length test, print levels and the progress-message bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "analysis/optimisation/reduced_driver.h"
#include "foundation/interfaces/solver_options.h"
#include "framework/messaging/message.h"
#include "solve/optimisers/dense_optimiser.h"
#include "tests/analysis/body_writer.h"
#include "tests/analysis/optimisation_fakes.h"
#include "tests/framework/message_helpers.h"

namespace {

namespace oo = optimisation_options;
using optimisation::Entry;
using optimisation::EntryKind;
using optimisation_fakes::Printed;
using optimisation_fakes::TestOptions;

// Answers from a script; records what each call handed over.
class ScriptedOptimiser final : public QLNDenseOptimiser {
 public:
  struct Step {
    std::int32_t answer;
    std::vector<double> point;  // proposed point; empty leaves it
  };
  struct Seen {
    std::int32_t mode;
    double objective;
    std::vector<double> point;
  };
  explicit ScriptedOptimiser(std::int32_t constraints, std::int32_t p)
      : constraints_(constraints), work(static_cast<std::size_t>(constraints + 2 * p), 0.0) {}
  std::int32_t Run(double*, const double*, const double*, const double*, std::int32_t) override {
    return 2;
  }
  std::int32_t Run(DenseOptimiserCall& call) override {
    seen.push_back({call.mode, call.objective, {}});
    if (script.empty()) return 2;
    Step step = script.front();
    script.pop_front();
    if (!step.point.empty()) std::copy(step.point.begin(), step.point.end(), call.point);
    call.accuracy = accuracy;
    return step.answer;
  }
  double* WorkVector() override { return work.data(); }
  Status ConsistencyConstraints(std::int32_t** list) override {
    if (!consistency_known) return kOptimiserUnsupported;
    *list = static_cast<std::int32_t*>(
        std::calloc(static_cast<std::size_t>(std::max(constraints_, 1)), sizeof(std::int32_t)));
    std::copy(flagged.begin(), flagged.end(), *list);
    return 0;
  }

  std::deque<Step> script;
  std::vector<Seen> seen;
  double accuracy = -1.0;
  bool consistency_known = false;
  std::vector<std::int32_t> flagged;

 private:
  std::int32_t constraints_;

 public:
  std::vector<double> work;
};

ReducedSpaceDriver::OptimiserFactory Scripted(ScriptedOptimiser** out) {
  return [out](std::int32_t, std::int32_t, std::int32_t c, std::int32_t p) {
    *out = new ScriptedOptimiser(c, p);
    return *out;
  };
}

Entry Make(EntryKind kind, const std::string& name, double value, double lower, double upper,
           std::int32_t control = -1, std::int32_t index = 0, double scale = 1.0) {
  Entry e;
  e.kind = kind;
  e.name = name;
  e.value = value;
  e.lower = lower;
  e.upper = upper;
  e.control = control;
  e.index = index;
  e.scale = scale;
  return e;
}

// A decision variable, a control with three values and a maximum move, three
// movable lengths with a fixed final time, and one constraint of each kind.
optimisation::Layout MovingLayout() {
  optimisation::Layout l;
  l.entries = {Make(EntryKind::kDecision, "d", 2.0, 0.0, 10.0, -1, 0, 2.0),
               Make(EntryKind::kControl, "u[Element 1]", 1.0, -5, 5, 0, 0),
               Make(EntryKind::kControl, "u[Element 2]", 3.0, -5, 5, 0, 1),
               Make(EntryKind::kControl, "u[Element 3]", 2.5, -5, 5, 0, 2),
               Make(EntryKind::kLength, "Length of element 1", 0.25, 0.1, 1.0, -1, 0),
               Make(EntryKind::kLength, "Length of element 2", 0.3, 0.1, 1.0, -1, 1),
               Make(EntryKind::kLength, "Length of element 3", 0.5, 0.1, 1.0, -1, 2)};
  l.controls = {{"u", 1.5}};
  l.constraints = {{0, 0.0, 1, 0.0, "h"}, {2, 1.0, 2, 0.5, "g"}, {3, 4.0, 3, 1.0, "g"}};
  l.equalities = 1;
  l.objectives = {"J"};
  l.constrained = {"h", "g"};
  l.moving_elements = true;
  l.element_lengths = {0.2, 0.3, 0.5};
  l.final_time = 1.0;
  return l;
}

std::vector<double> Rows(std::int32_t rows, std::int32_t p) {
  std::vector<double> g(static_cast<std::size_t>(rows * p));
  for (std::int32_t r = 0; r < rows; ++r) {
    for (std::int32_t j = 0; j < p; ++j) g[static_cast<std::size_t>(r * p + j)] = 10.0 * r + j;
  }
  return g;
}

double At(const ReducedSpaceDriver& d, std::int32_t column, std::int32_t j) {
  return d.GradientMatrix()[static_cast<std::size_t>(column * (d.P() + 1) + j)];
}

}  // namespace

TEST(ReducedDriver, ConstraintVectorAndGradientRowsOfEveryRowKind) {
  TestOptions options;
  Printed quiet;
  options.ints[oo::kPrintLevel] = 0;
  {
    ScriptedOptimiser* opt = nullptr;
    auto d = ReducedSpaceDriver::Create(MovingLayout(), quiet.Fn(), Scripted(&opt));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->P(), 7);
    EXPECT_EQ(d->ConstraintCount(), 3 + 2 * 2 + 1);
    EXPECT_EQ(d->EqualityCount(), 2);
    opt->script = {{8, {}}};
    const double objectives[] = {5.0};
    const double values[] = {0.5, 3.0, 2.0};
    const std::vector<double> rows = Rows(4, 7);
    ReducedSpaceDriver::Pass pass{objectives, values, rows.data(), nullptr};
    d->Run(kOptFirstEvaluation, pass, nullptr, nullptr);
    EXPECT_DOUBLE_EQ(d->Objective(), 5.0);
    const std::vector<double>& c = d->ConstraintVector();
    // Fixed final time minus the lengths; h; g - 1; 4 - g; the move pairs.
    const double expected[] = {1.0 - 1.05, 0.5, 2.0, 2.0, -0.5, 3.5, 2.0, 1.0};
    for (int i = 0; i < 8; ++i)
      EXPECT_NEAR(c[static_cast<std::size_t>(i)], expected[i], 1e-12) << i;
    for (int j = 0; j < 7; ++j) {
      EXPECT_EQ(At(*d, 0, j), rows[static_cast<std::size_t>(j)]);
      EXPECT_EQ(At(*d, 1, j), j >= 4 ? -1.0 : 0.0);
      EXPECT_EQ(At(*d, 2, j), rows[static_cast<std::size_t>(7 + j)]);
      EXPECT_EQ(At(*d, 3, j), rows[static_cast<std::size_t>(14 + j)]);
      EXPECT_EQ(At(*d, 4, j), -rows[static_cast<std::size_t>(21 + j)]) << "kind 3 turns the sign";
    }
    const double moves[4][7] = {{0, 1, -1, 0, 0, 0, 0},
                                {0, -1, 1, 0, 0, 0, 0},
                                {0, 0, 1, -1, 0, 0, 0},
                                {0, 0, -1, 1, 0, 0, 0}};
    for (int k = 0; k < 4; ++k) {
      for (int j = 0; j < 7; ++j) EXPECT_EQ(At(*d, 5 + k, j), moves[k][j]) << k << "," << j;
    }
  }
  {
    // Free final time in a maximised objective: the two bound rows.
    options.ints[oo::kObjFun] = 1;
    optimisation::Layout l;
    l.entries = {Make(EntryKind::kDecision, "d", 1.0, 0, 5),
                 Make(EntryKind::kLength, "Length of element 1", 0.4, 0.1, 1.0, -1, 0),
                 Make(EntryKind::kLength, "Length of element 2", 0.7, 0.1, 1.0, -1, 1)};
    l.objectives = {"J"};
    l.final_time_objective = true;
    l.final_time_free = true;
    l.final_time_lower = 0.5;
    l.final_time_upper = 1.0;
    l.moving_elements = true;
    l.element_lengths = {0.5, 0.5};
    ScriptedOptimiser* opt = nullptr;
    auto d = ReducedSpaceDriver::Create(l, quiet.Fn(), Scripted(&opt));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->ConstraintCount(), 2);
    EXPECT_EQ(d->EqualityCount(), 0);
    opt->script = {{8, {}}};
    const double objectives[] = {2.0};
    const double rows[] = {3.0, 4.0, 5.0};
    d->Run(kOptFirstEvaluation, {objectives, nullptr, rows, nullptr}, nullptr, nullptr);
    EXPECT_DOUBLE_EQ(d->FinalTime(), 1.1);
    EXPECT_DOUBLE_EQ(d->Objective(), -(2.0 + 1.1));
    EXPECT_NEAR(d->ConstraintVector()[0], -0.1, 1e-12);
    EXPECT_NEAR(d->ConstraintVector()[1], 0.6, 1e-12);
    const double g0[] = {-3.0, -5.0, -6.0};
    for (int j = 0; j < 3; ++j) {
      EXPECT_EQ(At(*d, 0, j), g0[j]);
      EXPECT_EQ(At(*d, 1, j), j == 0 ? 0.0 : -1.0);
      EXPECT_EQ(At(*d, 2, j), j == 0 ? 0.0 : 1.0);
    }
  }
}

TEST(ReducedDriver, RequestsStartThenCutAfterAFailedPointElseThePrevious) {
  TestOptions options;
  Printed quiet;
  options.ints[oo::kPrintLevel] = 0;
  ScriptedOptimiser* opt = nullptr;
  optimisation::Layout l;
  l.entries = {Make(EntryKind::kDecision, "d", 1.0, 0, 5)};
  l.objectives = {"J"};
  auto d = ReducedSpaceDriver::Create(l, quiet.Fn(), Scripted(&opt));
  // The start asks for the point just evaluated: answered at once; then a
  // new point; its run fails; then another point, and the optimum.
  opt->script = {{-1, {}}, {0, {2.0}}, {0, {1.5}}, {-1, {1.2}}, {-2, {}}, {1, {}}};
  const double f[] = {3.0}, g[] = {1.0};
  ReducedSpaceDriver::Pass pass{f, nullptr, g, nullptr};
  EXPECT_EQ(d->Run(kOptFirstEvaluation, pass, nullptr, nullptr), 0);
  EXPECT_EQ(d->X()[0], 2.0);
  EXPECT_EQ(d->layout().entries[0].value, 2.0) << "the point is written back";
  EXPECT_EQ(d->Run(kOptEvaluationFailed, pass, nullptr, nullptr), 0);
  EXPECT_EQ(d->X()[0], 1.5);
  EXPECT_EQ(d->Run(kOptEvaluated, pass, nullptr, nullptr), 0);
  bool keep = false;
  EXPECT_EQ(d->Run(kOptEvaluated, pass, &keep, nullptr), 1);
  EXPECT_TRUE(keep);
  std::vector<std::int32_t> modes;
  for (const auto& s : opt->seen) modes.push_back(s.mode);
  EXPECT_EQ(modes, (std::vector<std::int32_t>{2, 0, -100, 0, 0, 0}));
  EXPECT_TRUE(d->ResultAvailable());
  EXPECT_EQ(d->Evaluations(), 4);
}

TEST(ReducedDriver, OutcomeCodesMessagesStatusesAndDiagnosis) {
  TestOptions options;
  options.ints[oo::kPrintLevel] = 0;
  struct Case {
    std::int32_t code;
    Status status;
    std::string first_line;
  };
  const Case cases[] = {
      {2, kOptNotConverged, "Optimization failed to converge."},
      {3, kOptLineSearches, "Maximum line searches (10) exceeded."},
      {4, kOptUphill, "Uphill search direction."},
      {5, kOptInfeasible, "No feasible point found."},
      {6, kOptNotConverged, "No optimum found."},
      {7, kOptMaxEvaluations, "Maximum number of evaluations exceeded."},
      {11, kOptLineStepTooSmall, "Line search step below minimum of 1E-6"},
      {8, 0, ""},
  };
  for (const Case& k : cases) {
    optimisation::Layout l = MovingLayout();
    ScriptedOptimiser* opt = nullptr;
    Printed printed;
    auto d = ReducedSpaceDriver::Create(l, printed.Fn(), Scripted(&opt));
    opt->script = {{k.code, {}}};
    const double f[] = {1.0}, values[] = {0.0, 2.0, 3.0};
    const std::vector<double> rows = Rows(4, 7);
    DseMessage progress(87, 12);
    EXPECT_EQ(d->Run(kOptFirstEvaluation, {f, values, rows.data(), nullptr}, nullptr, &progress),
              k.code);
    EXPECT_EQ(d->FailureStatus(), k.status) << k.code;
    EXPECT_FALSE(d->ResultAvailable());
    const auto body = testsupport::BodyOf(progress);
    ASSERT_GE(body.size(), 16u);
    EXPECT_EQ(body[0], 0xFF);
    EXPECT_EQ(body[3], 0xFF) << "state failed";
    if (k.code == 8) {
      EXPECT_TRUE(printed.lines.empty()) << "code 8 ends silently";
      continue;
    }
    ASSERT_FALSE(printed.lines.empty());
    EXPECT_EQ(printed.lines[0].first, k.status);
    EXPECT_EQ(printed.lines[0].second.rfind(k.first_line, 0), 0u) << printed.lines[0].second;
    EXPECT_TRUE(printed.Has("Current values of optimization variables: (unscaled)"))
        << "failures report at print level 0";
    if (k.code == 5) {
      EXPECT_TRUE(printed.Has("Constraint information not available"));
    }
  }

  // The diagnosis names each flagged row by its origin, then bounds.
  ScriptedOptimiser* opt = nullptr;
  Printed printed;
  auto d = ReducedSpaceDriver::Create(MovingLayout(), printed.Fn(), Scripted(&opt));
  opt->script = {{5, {}}};
  opt->consistency_known = true;
  // Constraints 1..8, then upper bounds 9..15, lower bounds 16..22.
  opt->flagged = {1, 3, 4, 5, 10, 22};
  const double f[] = {1.0}, values[] = {0.0, 2.0, 3.0};
  const std::vector<double> rows = Rows(4, 7);
  d->Run(kOptFirstEvaluation, {f, values, rows.data(), nullptr}, nullptr, nullptr);
  const std::vector<std::string> expected = {
      "One or more of the constraints in your optimization problem may be inconsistent.\n"
      "Please check the following constraints:",
      "  The constraint fixing the final time for the moving element sizes",
      "  The lower bound constraint active 0.5 along element 2 for g\n",
      "  The upper bound final time constraint for g\n",
      "  Maximum move constraint for control variable u",
      "  Upper bound 1 on control variable u\n",
      "  The lower bound on moving element size 3"};
  std::size_t at = 0;
  while (at < printed.lines.size() && printed.lines[at].second != expected[0]) ++at;
  ASSERT_LT(at + expected.size(), printed.lines.size() + 1);
  for (std::size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ(printed.lines[at + k].second, expected[k]);
  }
}

TEST(ReducedDriver, ShortLengthCutsTheStepWithoutASimulation) {
  TestOptions options;
  options.ints[oo::kPrintLevel] = 2;
  ScriptedOptimiser* opt = nullptr;
  Printed printed;
  auto d = ReducedSpaceDriver::Create(MovingLayout(), printed.Fn(), Scripted(&opt));
  const std::vector<double> too_short = {2, 1, 3, 2.5, 0.04, 0.3, 0.5};
  const std::vector<double> fine = {2, 1, 3, 2.5, 0.06, 0.3, 0.5};
  const std::vector<double> too_long = {2, 1, 3, 2.5, 0.5, 2.1, 0.5};
  opt->script = {{0, too_short}, {0, too_long}, {0, fine}};
  const double f[] = {1.0}, values[] = {0.0, 2.0, 3.0};
  const std::vector<double> rows = Rows(4, 7);
  EXPECT_EQ(d->Run(kOptFirstEvaluation, {f, values, rows.data(), nullptr}, nullptr, nullptr), 0);
  ASSERT_EQ(opt->seen.size(), 3u);
  EXPECT_EQ(opt->seen[1].mode, -100);
  EXPECT_EQ(opt->seen[2].mode, -100);
  EXPECT_EQ(d->X(), fine);
  EXPECT_EQ(d->Evaluations(), 1);
  EXPECT_EQ(std::count_if(printed.lines.begin(), printed.lines.end(),
                          [](const auto& l) {
                            return l.second ==
                                   "Infeasible solution point: cutting optimization step.";
                          }),
            2);
}

TEST(ReducedDriver, PrintLevelsOfSummaryStepsAndOptimum) {
  TestOptions options;
  for (std::int32_t level : {0, 1, 2}) {
    options.ints[oo::kPrintLevel] = level;
    ScriptedOptimiser* opt = nullptr;
    Printed printed;
    optimisation::Layout l;
    l.entries = {Make(EntryKind::kDecision, "d", 1.0, 0, 5)};
    l.objectives = {"J"};
    auto d = ReducedSpaceDriver::Create(l, printed.Fn(), Scripted(&opt));
    opt->accuracy = 0.5;
    opt->script = {{0, {2.0}}, {1, {}}};
    const double f[] = {3.0}, g[] = {1.0};
    d->Run(kOptFirstEvaluation, {f, nullptr, g, nullptr}, nullptr, nullptr);
    d->Run(kOptEvaluated, {f, nullptr, g, nullptr}, nullptr, nullptr);
    EXPECT_EQ(printed.Has("The following optimization problem will be solved:"), level >= 2);
    EXPECT_EQ(printed.Has("  Minimize J"), level >= 2);
    EXPECT_EQ(printed.Has("  Optimization tolerance =  1.000000e-04\n "), level >= 2);
    EXPECT_EQ(
        printed.Has("Optimization step 1: Objective =   3.000000e+00 (Accuracy =  5.000000e-01)"),
        level >= 1);
    EXPECT_EQ(printed.Has("Optimum found after 2 evaluations"), level >= 1);
    EXPECT_EQ(printed.Has("Value of Objective Function =   3.000000e+00 (Accuracy=  5.000000e-01)"),
              level >= 1);
    EXPECT_EQ(printed.Has("Required 1 function and 1 gradient evaluations"), level >= 1);
  }
}

TEST(ReducedDriver, ProgressMessageCarriesThePointWithCumulativeControlTimes) {
  TestOptions options;
  Printed quiet;
  options.ints[oo::kPrintLevel] = 0;
  optimisation::Layout l = MovingLayout();
  l.entries.insert(l.entries.begin(), Make(EntryKind::kInitial, "x0", 3.0, 0, 10, -1, 0, 3.0));
  ScriptedOptimiser* opt = nullptr;
  auto d = ReducedSpaceDriver::Create(l, quiet.Fn(), Scripted(&opt));
  opt->accuracy = 0.25;
  const std::vector<double> next = {3.0, 2, 1, 3, 2.5, 0.2, 0.3, 0.5};
  opt->script = {{0, next}};
  const double f[] = {7.0}, values[] = {0.0, 2.0, 3.0}, constrained[] = {0.5, 2.5};
  const std::vector<double> rows = Rows(4, 8);
  DseMessage progress(87, 12);
  progress.PutUInt16(158);
  EXPECT_EQ(d->Run(kOptFirstEvaluation, {f, values, rows.data(), constrained}, nullptr, &progress),
            0);
  analysis_fakes::BodyWriter w;
  w.U16(158).U32(0).U32(1).F64(7.0).F64(0.25).U32(0);
  w.U32(1).Str("x0").F64(1.0);
  w.U32(1).Str("d").F64(1.0);
  w.U32(1).Str("u").U32(3).F64(1).F64(0.0).F64(3).F64(0.2).F64(2.5).F64(0.5);
  w.U32(1).Str("J").F64(7.0);
  w.U32(2).Str("h").F64(0.5).Str("g").F64(2.5);
  EXPECT_EQ(testsupport::BodyOf(progress), w.bytes);
}
