// The estimation report at print level 2, line for line, for one
// steady-state and one dynamic experiment: the listing with statistics (an
// estimated initial condition marked as such), the covariance and
// correlation matrices, the goodness-of-fit table and the observed versus
// predicted values.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "analysis/estimation/estimation_mgr.h"
#include "analysis/estimation/estimation_problem.h"
#include "analysis/sensitivity/sensitivity_mgr.h"
#include "daes/model/variable.h"
#include "foundation/interfaces/solver_options.h"
#include "tests/analysis/analysis_fakes.h"
#include "tests/analysis/definition_writer.h"
#include "tests/analysis/optimisation_fakes.h"
#include "tests/framework/message_helpers.h"

namespace {

using namespace analysis_fakes;

using ReportOptions = optimisation_fakes::TestOptions;

// A variable whose model entry is specified Initial.
class InitialVariable final : public FakeVariable {
 public:
  InitialVariable(std::uint32_t id, const std::string& name, double value)
      : FakeVariable(id, name, value), entry_(nullptr, name.c_str()) {
    entry_.SetSpec(daes::kSpecInitial);
  }
  DAESVarTableEntry* ModelEntry() override { return &entry_; }

 private:
  DAESRealVariable entry_;
};

// Converges at once; counts its one gradient.
class ConvergedOptimiser final : public ScriptedOptimiser {
 public:
  using ScriptedOptimiser::ScriptedOptimiser;
  std::int32_t SuccessfulSteps() override { return 1; }
};

// x = x0 + k·t; k and x0 estimated. The steady-state experiment E1 measures
// x at t = 1 twice; the dynamic experiment D at t = 0, 1 and 2.
class EstimationReport : public ::testing::Test {
 protected:
  EstimationReport() : sensitivities(services), manager(services) {
    services.Add(1, "k", 2.0);
    services.variables[2] = std::make_unique<InitialVariable>(2, "x0", 1.0);
    services.Add(10, "x", 0.0);
    services.options[analysis_options::kEstimator] = 1;
    // The option table's default: the least-squares optimiser, which
    // answers for its own end points.
    services.options[analysis_options::kEstimationSolver] = 2;
    manager.SetOptimiserFactory([](std::int32_t, std::int32_t m, std::int32_t n) {
      auto* optimiser =
          new ConvergedOptimiser(static_cast<std::size_t>(n), static_cast<std::size_t>(m));
      optimiser->final_code = 1;
      return optimiser;
    });
    options.ints[estimation_options::kPrintLevel] = 1;
    options.ints[estimation_options::kEstimationPrintLevel] = 2;
    options.ints[estimation_options::kNlsMaxIter] = 50;
  }

  void Define() {
    DefinitionRecord d;
    d.estimated = {{1, 1.0, 0.0}, {2, 1.0, 0.0}};
    ExperimentRecord steady;
    steady.name = "E1";
    steady.measured = {10};
    steady.entries = {{10, 0.0, 3.1, false, 0.0}, {10, 0.0, 2.9, false, 0.0}};
    ExperimentRecord dynamic;
    dynamic.name = "D";
    dynamic.dynamic = true;
    dynamic.measured = {10};
    dynamic.entries = {
        {10, 0.0, 1.05, false, 0.0}, {10, 1.0, 3.02, false, 0.0}, {10, 2.0, 4.9, false, 0.0}};
    d.experiments = {steady, dynamic};
    d.records = {{10, 0.0, 1.0, 0.0}};
    auto message = testsupport::ReceivedBody(DefinitionMessage(d).bytes, EstimationMgr::kService);
    DseMessage* reply = nullptr;
    ASSERT_EQ(manager.HandleRequest(EstimationMgr::kService, message.get(), &reply, nullptr), 0u);
    delete reply;
    ASSERT_EQ(sensitivities.AllocateMatrix(), 0u);
  }
  // The model at time t, as a run leaves it for the measurement.
  void At(double t) {
    AnalysisVariable* x = services.Var(10);
    x->SetValue(services.Var(2)->value() + services.Var(1)->value() * t);
    ASSERT_EQ(sensitivities.SetSensitivity(services.Var(1), x, t, 0), 0u);
    ASSERT_EQ(sensitivities.SetSensitivity(services.Var(2), x, 1.0, 0), 0u);
  }
  void Measure(EstExperiment* experiment) {
    ASSERT_EQ(experiment->RecordResiduals(), 0u);
    ASSERT_EQ(experiment->RecordSensitivities(), 0u);
  }

  ReportOptions options;
  FakeServices services;
  SensitivityMgr sensitivities;
  EstimationMgr manager;
};

TEST_F(EstimationReport, SteadyStateAndDynamicExperimentsAtPrintLevelTwo) {
  Define();
  At(1.0);
  Measure(manager.Experiment(0));
  for (double t : {0.0, 1.0, 2.0}) {
    At(t);
    Measure(manager.Experiment(1));
  }
  services.printed.clear();
  EXPECT_EQ(manager.CompletePass(EstimationMgr::kPassDone), EstimationMgr::kRunAgain);
  ASSERT_TRUE(manager.Done());
  std::vector<std::string> lines;
  for (const auto& p : services.printed) lines.push_back(p.second);
  // Worked by hand: XᵀX = [[7, 5], [5, 5]], s² = 0.0329 / 3, t(3) = 3.182.
  const std::vector<std::string> expected = {
      "Estimation using Least Squares:",
      "Step 0: Sum of weighted squared errors =   3.290000e-02",
      "Estimation: Number of evaluations: function=1; gradient=1",
      "Estimated variables converged after 0 iterations",
      "Estimated variables:",
      "     Value          Standard Error   95% Confidence Interval     Name",
      "  1   2.000000e+00   7.404953e-02   1.764374e+00,  2.235626e+00  k",
      "  2   1.000000e+00   8.761659e-02   7.212040e-01,  1.278796e+00  x0(initial value)",
      " ",
      "Degrees of Freedom=3; RMS Error=  8.111720e-02; F-value=  2.416413e+03",
      "",
      "\nCovariance Matrix:",
      "  5.483333e-03",
      " -5.483333e-03    7.676667e-03",
      "",
      "Correlation Matrix:",
      "  1.000000e+00",
      " -8.451543e-01    1.000000e+00",
      " Weighted    Weighted    Standard   Percentage  Measured",
      " residual    residual    error of   variation   variable",
      " sum of      sum         estimate   explained   name",
      " squares",
      "  3.290e-02  -3.000e-02   1.047e-01     99.557  x",
      " ",
      " ",
      "Observed versus Predicted:",
      " Time     Observed     Predicted       %Error  Standardized Absolute\n"
      "                                               Residual     Residual",
      "Steady state experiment E1: (sum of weighted squared errors=  2.000000e-02)",
      "           3.1000e+00   3.0000e+00        3.3   1.2328e+00   1.0000e-01  x",
      "           2.9000e+00   3.0000e+00       -3.3  -1.2328e+00  -1.0000e-01  x",
      "Dynamic experiment D: (sum of weighted squared errors=  1.290000e-02)",
      "  Variable x:",
      "       0   1.0500e+00   1.0000e+00          5   6.1639e-01   5.0000e-02",
      "       1   3.0200e+00   3.0000e+00       0.67   2.4656e-01   2.0000e-02",
      "       2   4.9000e+00   5.0000e+00         -2  -1.2328e+00  -1.0000e-01",
      " ",
  };
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << "line " << i;
  const EstimationResults& r = manager.Results();
  EXPECT_EQ(r.outcome, 1u);
  EXPECT_EQ(r.statistics, 2u);
}

}  // namespace
