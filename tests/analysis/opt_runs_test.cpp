// The run objects under the optimisation manager: the layout a definition
// gives the reduced-space driver, the constraint values and rows handed back
// to it, and HS071 as a steady-state model optimised through the manager's
// hook sequence, in the reduced space with both SQP libraries and in the
// full space through Ipopt, the multipliers agreeing.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "analysis/optimisation/opt_manager.h"
#include "analysis/optimisation/opt_runs.h"
#include "framework/libraries/library_api.h"
#include "solve/open/solver_loaders.h"
#include "tests/analysis/hs071_model.h"
#include "tests/analysis/opt_fakes.h"
#include "tests/analysis/optimisation_fakes.h"

namespace {

using namespace analysis_fakes;
using optimisation::EntryKind;
using Record = OptDefinitionRecord;
namespace oo = optimisation_options;

// d(variable)/d(parameter) of HS071 at the model's current point:
// parameters x1..x4 (ids 1-4), variables f (5), h = Σx² - 40 (6), g =
// x1x2x3x4 (7).
class Hs071Sensitivities final : public FakeSensitivities {
 public:
  explicit Hs071Sensitivities(FakeServices* services) : services_(services) {}
  Status GetSensitivity(AnalysisVariable* p, AnalysisVariable* v, double* value, std::int32_t, bool,
                        bool) override {
    double x[4];
    for (std::uint32_t k = 0; k < 4; ++k) x[k] = services_->Var(k + 1)->value();
    const std::uint32_t j = p->Id() - 1;
    switch (v->Id()) {
      case 5: {
        const double s = x[0] + x[1] + x[2];
        const double g[] = {x[3] * s + x[0] * x[3], x[0] * x[3], x[0] * x[3] + 1.0, x[0] * s};
        *value = g[j];
        break;
      }
      case 6:
        *value = 2.0 * x[j];
        break;
      default: {
        double product = 1.0;
        for (std::uint32_t k = 0; k < 4; ++k) product *= k == j ? 1.0 : x[k];
        *value = product;
        break;
      }
    }
    return 0;
  }

 private:
  FakeServices* services_;
};

// The model's columns as the services' variables: x1..x4, g, f.
class EngineHs071 final : public FullSpaceModel {
 public:
  explicit EngineHs071(FakeServices* services) : services_(services) {
    for (std::size_t j = 0; j < 6; ++j)
      model_.values[j] = Var(static_cast<std::int32_t>(j))->value();
  }
  std::int32_t Equations() override { return model_.Equations(); }
  std::int32_t Variables() override { return model_.Variables(); }
  AnalysisVariable* Variable(std::int32_t column) override { return Var(column); }
  std::string Name(std::int32_t column) override { return Var(column)->GetNameText(0); }
  double Value(std::int32_t column) override { return Var(column)->value(); }
  void SetValue(std::int32_t column, double value) override { Var(column)->SetValue(value); }
  void Bounds(std::int32_t column, double* lower, double* upper) override {
    model_.Bounds(column, lower, upper);
  }
  bool Fixed(std::int32_t column) override { return model_.Fixed(column); }
  void Structure(std::vector<std::int32_t>* rows, std::vector<std::int32_t>* columns) override {
    model_.Structure(rows, columns);
  }
  Status Evaluate(const double* point, double* residuals, double* jacobian) override {
    return model_.Evaluate(point, residuals, jacobian);
  }

 private:
  FakeVariable* Var(std::int32_t column) {
    static const std::uint32_t kIds[] = {1, 2, 3, 4, 7, 5};
    return services_->Var(kIds[column]);
  }
  FakeServices* services_;
  optimisation_fakes::Hs071Model model_;
};

class OptRunsTest : public ::testing::Test {
 protected:
  OptRunsTest()
      : sensitivities(&services),
        factory([this](OptRunHost&) { return std::make_unique<EngineHs071>(&services); }),
        manager(services, &run) {
    const char* const names[] = {"x1", "x2", "x3", "x4"};
    for (std::uint32_t k = 1; k <= 4; ++k) services.Add(k, names[k - 1], 1.0);
    services.Add(5, "f", 0.0);
    services.Add(6, "h", 0.0);
    services.Add(7, "g", 0.0);
    services.Add(8, "u", 0.0)->scale = 2.0;
    options.ints[oo::kPrintLevel] = 0;
    options.ints[oo::kMaxEval] = 500;
    options.reals[oo::kOptTol] = 1e-10;
    manager.SetRunFactory(&factory);
  }

  static Record Hs071() {
    Record r;
    r.dynamic = 0;
    r.final_time = 0.0;
    r.decision = {{1, 1, 5, 1}, {2, 1, 5, 5}, {3, 1, 5, 5}, {4, 1, 5, 1}};
    r.objectives = {5};
    r.constrained = {{6, {{0, 0.0, 0, 0.0}}}, {7, {{0, 0.0, 2, 25.0}}}};
    r.equalities = 1;
    return r;
  }

  void Define(const Record& r) {
    auto message = testsupport::ReceivedBody(r.Body().bytes, OptimisationMgr::kService);
    ASSERT_EQ(manager.HandleMessage(*message, nullptr), 0u);
  }

  std::int32_t At(std::int32_t hook) {
    run.hook = hook;
    std::int32_t result = 0;
    manager.Execute(&result, nullptr, nullptr);
    return result;
  }

  // The steady-state "simulation": the dependent variables from x.
  void Solve() {
    double x[4];
    for (std::uint32_t k = 0; k < 4; ++k) x[k] = services.Var(k + 1)->value();
    services.Var(5)->SetValue(x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2]);
    services.Var(6)->SetValue(x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[3] * x[3] - 40.0);
    services.Var(7)->SetValue(x[0] * x[1] * x[2] * x[3]);
  }

  // Hooks 5 and 6 until the run is over; the passes made.
  int RunToTheEnd() {
    int passes = 0;
    for (; passes < 2000; ++passes) {
      if (At(5) == OptimisationMgr::kResultFinished) break;
      Solve();
      const std::int32_t result = At(6);
      if (result == OptimisationMgr::kResultStop) break;
    }
    return passes;
  }

  optimisation_fakes::TestOptions options;
  FakeServices services;
  Hs071Sensitivities sensitivities;
  FakeOptRun run;
  OptimisationRunFactory factory;
  OptimisationMgr manager;
};

}  // namespace

TEST_F(OptRunsTest, LayoutOfADynamicDefinition) {
  Record r;
  r.final_time = 2.0;
  r.n = 2;
  r.interior = {0.5};
  r.moving = 1;
  r.individual = 1;
  r.length_bounds = {{0.1, 1.0}, {0.2, 2.0}};
  r.decision = {{1, 0, 5, 2}};
  r.initial = {{2, 0, 5, 3}};
  r.controls = {{8, 0.25, {1.0, 2.0}, {{0, 3}, {0, 4}}}};
  r.objectives = {5};
  r.constrained = {{7, {{2, 1.0, 3, 4.0}}}};
  Define(r);
  const optimisation::Layout l = LayoutOf(manager.Definition(), 1);
  ASSERT_EQ(l.entries.size(), 1u + 1u + 2u + 2u);
  EXPECT_EQ(l.entries[0].kind, EntryKind::kInitial);
  EXPECT_EQ(l.entries[0].name, "x2");
  EXPECT_EQ(l.entries[1].kind, EntryKind::kDecision);
  EXPECT_EQ(l.entries[2].kind, EntryKind::kControl);
  EXPECT_EQ(l.entries[2].control, 0);
  EXPECT_EQ(l.entries[3].index, 1);
  EXPECT_EQ(l.entries[2].scale, 2.0);
  EXPECT_EQ(l.entries[2].upper, 6.0) << "bounds x scale";
  EXPECT_EQ(l.entries[4].kind, EntryKind::kLength);
  EXPECT_EQ(l.entries[5].index, 1);
  EXPECT_DOUBLE_EQ(l.entries[5].value, 1.5);
  ASSERT_EQ(l.controls.size(), 1u);
  EXPECT_EQ(l.controls[0].name, "u");
  EXPECT_EQ(l.controls[0].max_move, 0.25);
  ASSERT_EQ(l.constraints.size(), 1u);
  EXPECT_EQ(l.constraints[0].kind, 3);
  EXPECT_EQ(l.constraints[0].variable, "g");
  EXPECT_EQ(l.constraints[0].element, 2);
  EXPECT_EQ(l.element_lengths, (std::vector<double>{0.5, 1.5}));
  EXPECT_TRUE(l.moving_elements);
  EXPECT_EQ(l.final_time, 2.0);
}

TEST_F(OptRunsTest, ConstraintValuesAndRowsReachTheDriverUnchanged) {
  Record r = Hs071();
  r.constrained = {{6, {{0, 0.0, 0, 0.0}}}, {7, {{0, 0.0, 3, 30.0}}}};
  Define(r);
  auto reduced = OptReducedSpaceRun::Make(manager, [](std::int32_t, std::int32_t, std::int32_t c,
                                                      std::int32_t p) {
    auto* made = new ScriptedOptimiser(static_cast<std::size_t>(p), static_cast<std::size_t>(c));
    made->final_code = 8;
    return made;
  });
  ASSERT_NE(reduced, nullptr);
  // f, then c of h = 0 and of g <= 30 as the manager collects them.
  const double values[] = {16.0, -12.0, 5.0};
  std::vector<double> rows(3 * 4);
  for (std::size_t k = 0; k < rows.size(); ++k) rows[k] = static_cast<double>(k) - 3.0;
  std::int32_t reply = 0;
  reduced->Step(opt_pass::kFirst, values, rows.data(), &reply, nullptr);
  const ReducedSpaceDriver& d = reduced->Driver();
  EXPECT_EQ(d.Objective(), 16.0);
  EXPECT_EQ(d.ConstraintVector()[0], -12.0);
  EXPECT_EQ(d.ConstraintVector()[1], 5.0);
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(d.GradientMatrix()[static_cast<std::size_t>(2 * 5 + j)],
              rows[static_cast<std::size_t>(8 + j)]);
  }
}

#if defined(VANTOR_KVS_DIR) && defined(VANTOR_NLP_LIBRARIES)

TEST_F(OptRunsTest, Hs071SteadyStateInBothSpacesThroughTheManager) {
  AddDLLSearchPath(VANTOR_KVS_DIR);
  struct Run {
    std::int32_t optimizer;
    double x1_lower;
    std::vector<double> x;
  };
  std::vector<Run> runs;
  for (std::int32_t optimizer : {1, 10, 4}) {
    if (optimizer == 4) {
      ASSERT_EQ(LoadOpenNLPSolverForOptimisation("kvs_sqpb.dll"), 0u);
    }
    services.options[opt_options::kOptimizer] = optimizer;
    const std::vector<double> start = {1, 5, 5, 1};
    for (std::uint32_t k = 0; k < 4; ++k) services.Var(k + 1)->SetValue(start[k]);
    Solve();
    Define(Hs071());
    ASSERT_EQ(manager.SolverMode(), optimizer == 4 ? 2 : 1);
    RunToTheEnd();
    EXPECT_TRUE(manager.ResultAvailable()) << optimizer;
    EXPECT_NEAR(manager.ObjectiveValue(), 17.0140172891563, 1e-6 * 17.0140172891563) << optimizer;
    double upper = -1.0, lower = -1.0;
    EXPECT_EQ(manager.GetMultipliers(services.Var(1), &upper, &lower), 0u);
    EXPECT_NEAR(upper, 0.0, 1e-6);
    Run result{optimizer, lower, {}};
    for (std::uint32_t k = 0; k < 4; ++k) result.x.push_back(services.Var(k + 1)->value());
    runs.push_back(result);
  }
  ClearOpenSolvers();
  const double x[] = {1.0, 4.7429996, 3.8211500, 1.3794083};
  for (const Run& r : runs) {
    for (std::size_t k = 0; k < 4; ++k) EXPECT_NEAR(r.x[k], x[k], 1e-4) << r.optimizer;
    EXPECT_NEAR(r.x1_lower, 1.08787123, 1e-4) << r.optimizer;
    EXPECT_NEAR(r.x1_lower, runs[0].x1_lower, 1e-4) << "the spaces agree";
  }
}

#endif
