// HS071 as an engine model (three equations, x1..x3 assigned, x4, g and f
// solved for) optimised in the full space over the problem's own rows,
// through Ipopt loaded as the open NLP solver.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "analysis/optimisation/engine_full_space.h"
#include "analysis/optimisation/full_space.h"
#include "analysis/optimisation/opt_definition.h"
#include "analysis/optimisation/opt_runs.h"
#include "analysis/optimisation/reduced_driver.h"
#include "control/problem/problem_manager.h"
#include "control/problem/run_steps.h"
#include "daes/problem/problem.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "framework/libraries/library_api.h"
#include "solve/open/solver_loaders.h"
#include "solve/options/solver_option_table.h"
#include "tests/analysis/analysis_fakes.h"
#include "tests/analysis/optimisation_fakes.h"
#include "tests/daes/daes_helpers.h"
#include "tests/support/capture_sink.h"
#include "tests/support/hs071_model.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#if defined(VANTOR_BUILD_REGISTRY) && defined(VANTOR_KVS_DIR) && defined(VANTOR_NLP_LIBRARIES)

namespace {

using namespace modelwriter;
namespace oo = optimisation_options;

void Hs071(Writer& w) { hs071::Write(w, {1.0, 5.0, 5.0, 1.0, 25.0, 16.0}); }

class EngineFullSpaceTest : public ::testing::Test {
 protected:
  EngineFullSpaceTest() {
    AddDLLSearchPath(VANTOR_KVS_DIR);
    manager.SetRunOps(&steps);
    steps.DaesModel()->SetInstanceTree(tree.root, nullptr);
    EXPECT_EQ(tree.Read(Hs071), 0u);
    SolverOptionTable::Instance()->SetInteger(29, kRunSteadyState);
    SolverOptionTable::Instance()->ApplyPendingChanges();
  }
  ~EngineFullSpaceTest() override {
    ClearOpenSolvers();
    manager.StopRun();
    steps.ReleaseProblem();
    manager.SetIntegrator(nullptr);
    for (std::int32_t kind = 0; kind < kGroupKindCount; ++kind) ReplaceGroupMethod(kind, nullptr);
    SolverOptionTable::Instance()->SetDefaults();
    SolverOptionTable::Instance()->ApplyPendingChanges();
    SetCurrentEventSchedule(nullptr);
    SetSimulationTime(0.0);
  }

  testsupport::ScopedEnv registry{"VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY};
  testsupport::TempDir folder;
  testsupport::ScopedCurrentFolder here{folder.path()};
  daestest::Tree tree;
  SimRunSteps steps{manager};
  SimProblemMgr manager{nullptr};
  testsupport::CaptureSink sink;
};

class Host final : public OptRunHost {
 public:
  OptDefinition& Definition() override { return definition; }
  AnalysisServices& Services() override { return services; }
  std::vector<double>& Multipliers() override { return multipliers; }
  void SetResult(bool, std::int32_t, double) override {}
  OptDefinition definition;
  analysis_fakes::FakeServices services;
  std::vector<double> multipliers;
};

}  // namespace

TEST_F(EngineFullSpaceTest, TheFactoryMakesFullSpaceRunsOverTheCurrentProblem) {
  Host host;
  OptimisationRunFactory factory;
  EXPECT_EQ(factory.MakeFullSpace(host), nullptr);
  ASSERT_EQ(steps.PrepareSimulation(0, 0), 0u) << testing::PrintToString(sink.lines());
  EXPECT_NE(factory.MakeFullSpace(host), nullptr);
  EXPECT_NE(factory.MakeReduced(host), nullptr);
}

TEST_F(EngineFullSpaceTest, Hs071OverTheProblemRowsReachesItsOptimum) {
  ASSERT_EQ(steps.PrepareSimulation(0, 0), 0u) << testing::PrintToString(sink.lines());
  EngineFullSpaceModel model(GetCurrentProblem());
  ASSERT_EQ(model.Equations(), 3);
  std::vector<std::int32_t> column(7, -1);
  for (std::int32_t j = 0; j < model.Variables(); ++j) {
    const std::string name = model.Name(j);
    for (std::size_t k = 1; k <= 6; ++k) {
      static const char* const kNames[] = {"", "HS.x1", "HS.x2", "HS.x3", "HS.x4", "HS.g", "HS.f"};
      if (name == kNames[k]) column[k] = j;
    }
  }
  for (std::size_t k = 1; k <= 6; ++k) ASSERT_GE(column[k], 0) << k;

  // The rows' residuals and differenced Jacobian at the start.
  std::vector<double> point(static_cast<std::size_t>(model.Variables()));
  for (std::int32_t j = 0; j < model.Variables(); ++j)
    point[static_cast<std::size_t>(j)] = model.Value(j);
  std::vector<std::int32_t> rows, cols;
  model.Structure(&rows, &cols);
  std::vector<double> r(3), jac(rows.size());
  ASSERT_EQ(model.Evaluate(point.data(), r.data(), jac.data()), 0u);
  std::sort(r.begin(), r.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
  EXPECT_EQ(r[0], 0.0);
  EXPECT_EQ(r[1], 0.0);
  EXPECT_NEAR(std::fabs(r[2]), 12.0, 1e-12);  // 1 + 25 + 25 + 1 - 40
  for (std::size_t k = 0; k < rows.size(); ++k) {
    if (cols[k] == column[4] && r.size() == 3) {
      // d/dx4 of e1 is 2·x4 = 2; of e2 -x1x2x3 = -25; of e3 -x1(x1 + x2 + x3) = -11
      // (in the rows' own sign).
      const double d = std::fabs(jac[k]);
      EXPECT_TRUE(std::fabs(d - 2.0) < 1e-7 || std::fabs(d - 25.0) < 1e-7 ||
                  std::fabs(d - 11.0) < 1e-7)
          << d;
    }
  }

  optimisation_fakes::TestOptions options;
  options.ints[oo::kPrintLevel] = 0;
  ASSERT_EQ(LoadOpenNLPSolverForOptimisation("kvs_sqpb.dll"), 0u);
  FullSpaceOptimisation::Definition d;
  d.objectives = {column[6]};
  d.free = {column[1], column[2], column[3]};
  d.free_lower = {1, 1, 1};
  d.free_upper = {5, 5, 5};
  d.constraints = {{2, 25.0, column[5]}};
  optimisation_fakes::Printed printed;
  FullSpaceOptimisation fs(&model, d, printed.Fn());
  std::int32_t answer = 0;
  for (int pass = 0; pass < 5000 && answer <= 0; ++pass) {
    answer = fs.Pass(pass == 0 ? kOptFirstEvaluation : kOptEvaluated, nullptr);
  }
  ASSERT_EQ(answer, 1) << testing::PrintToString(sink.lines());
  EXPECT_NEAR(fs.Objective(), 17.0140172891563, 1e-6 * 17.0140172891563);
  const double x[] = {1.0, 4.7429996, 3.8211500, 1.3794083};
  for (std::size_t k = 0; k < 4; ++k) EXPECT_NEAR(model.Value(column[k + 1]), x[k], 1e-4) << k;
  double upper = -1.0, lower = -1.0;
  ASSERT_TRUE(fs.Multipliers(column[1], &upper, &lower));
  EXPECT_NEAR(lower, 1.08787123, 1e-4);
  EXPECT_NE(model.Variable(column[1]), nullptr);
}

#endif
