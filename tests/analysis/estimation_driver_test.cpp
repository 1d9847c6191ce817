// The estimation solver driver and its statistics, driven pass by pass with
// residuals and Jacobians the test computes: NIST StRD through the real
// least-squares optimiser, maximum likelihood against its closed forms, the
// outcome table on a scripted optimiser.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "analysis/estimation/estimation_mgr.h"
#include "analysis/estimation/estimation_problem.h"
#include "analysis/model/opt_variable.h"
#include "analysis/sensitivity/sensitivity_mgr.h"
#include "foundation/interfaces/solver_options.h"
#include "framework/messaging/message.h"
#include "platform/floating_point.h"
#include "solve/optimisers/dense_optimiser.h"
#include "tests/analysis/analysis_fakes.h"
#include "tests/analysis/definition_writer.h"
#include "tests/analysis/optimisation_fakes.h"
#include "tests/framework/message_helpers.h"
#include "workloads/nist_problems.h"

namespace {

namespace eo = estimation_options;
using Kind = EstimationProblem::Kind;

using optimisation_fakes::Printed;
using optimisation_fakes::TestOptions;

EstimationProblem::Layout LeastSquaresLayout(const std::vector<double>& start, std::int32_t m) {
  EstimationProblem::Layout layout;
  layout.objective_type = 1;
  layout.solver_kind = 2;
  for (std::size_t j = 0; j < start.size(); ++j) {
    EstimationProblem::Unknown u;
    char name[32];
    std::snprintf(name, sizeof name, "b%zu", j + 1);
    u.name = name;
    u.value = start[j];
    layout.unknowns.push_back(u);
  }
  layout.measurements = m;
  layout.record_of.assign(static_cast<std::size_t>(m), 0);
  layout.experiment_of.assign(static_cast<std::size_t>(m), 0);
  layout.experiment_names = {"data"};
  layout.records = 1;
  return layout;
}

// The pass of a model at the problem's current values: residuals and the
// Jacobian as rows per measurement.
struct PassData {
  std::vector<double> r, rows, predicted;
  EstimationProblem::Pass Pass() const {
    return {r.data(), rows.data(), predicted.data(), nullptr};
  }
};

PassData Evaluate(const testsupport::LeastSquaresProblem& pb, const EstimationProblem& problem,
                  const std::vector<double>& y) {
  const std::size_t n = static_cast<std::size_t>(pb.n), p = static_cast<std::size_t>(pb.p);
  std::vector<double> b(p), columns(n * p);
  for (std::size_t j = 0; j < p; ++j) b[j] = problem.Value(static_cast<std::int32_t>(j));
  PassData d;
  d.r.resize(n);
  d.rows.resize(n * p);
  d.predicted.resize(n);
  pb.residuals(b.data(), d.r.data());
  pb.jacobian(b.data(), columns.data());
  for (std::size_t k = 0; k < n; ++k) {
    for (std::size_t j = 0; j < p; ++j) d.rows[k * p + j] = columns[k + j * n];
    d.predicted[k] = y[k] - d.r[k];
  }
  return d;
}

double Lre(double computed, double certified) {
  const double error = std::fabs(computed - certified) / std::fabs(certified);
  return error == 0.0 ? 11.0 : std::min(11.0, -std::log10(error));
}

struct NistRun {
  std::int32_t result = 0;
  std::uint32_t outcome = 0;
  double value_lre = 0.0, sd_lre = 0.0, rss_lre = 0.0;
  std::int32_t passes = 0;
};

NistRun RunNist(const testsupport::Certified& cert, int start) {
  const testsupport::LeastSquaresProblem pb = testsupport::NistProblem(cert, start);
  EstimationResults results;
  Printed printed;
  auto problem =
      EstimationProblem::Create(LeastSquaresLayout(cert.starts[static_cast<std::size_t>(start)],
                                                   static_cast<std::int32_t>(pb.n)),
                                printed.Fn(), &results);
  problem->LoadInitialPoint();
  NistRun run;
  std::int32_t mode = kEstFirstPass;
  for (; run.passes < 2000; ++run.passes) {
    const PassData d = Evaluate(pb, *problem, cert.y);
    run.result = problem->Run(mode, d.Pass(), nullptr);
    if (run.result != 0) break;
    mode = kEstNormalPass;
  }
  // One more pass at the final point for the statistics there.
  if (run.result > 0) {
    const PassData d = Evaluate(pb, *problem, cert.y);
    problem->Run(run.result, d.Pass(), nullptr);
    double rss = 0.0;
    for (double r : d.r) rss += r * r;
    run.rss_lre = Lre(rss, cert.rss);
  }
  run.outcome = results.outcome;
  if (std::getenv("EST_DEBUG") != nullptr && cert.name == std::getenv("EST_DEBUG")) {
    for (const auto& l : printed.lines) std::printf("%s\n", l.second.c_str());
  }
  run.value_lre = run.sd_lre = 11.0;
  const auto& se = problem->ModelStandardErrors();
  for (std::size_t j = 0; j < cert.values.size(); ++j) {
    run.value_lre =
        std::min(run.value_lre, Lre(problem->Value(static_cast<std::int32_t>(j)), cert.values[j]));
    run.sd_lre = std::min(run.sd_lre, j < se.size() ? Lre(se[j], cert.deviations[j]) : 0.0);
  }
  return run;
}

TEST(EstimationDriverNist, CertifiedValuesFromBothStarts) {
  const auto datasets = testsupport::NistDatasets();
  TestOptions options;
  options.reals[eo::kNlsRelFuncTol] = 1e-12;
  options.reals[eo::kNlsSolTol] = 1e-10;
  options.ints[eo::kNlsMaxIter] = 1000;
  options.ints[eo::kPrintLevel] = 1;
  options.ints[eo::kEstimationPrintLevel] = std::getenv("EST_DEBUG") != nullptr ? 4 : 0;
  std::printf("%-10s %-8s %5s %7s %7s %7s %7s\n", "dataset", "level", "start", "outcome", "b LRE",
              "SD LRE", "RSS LRE");
  for (const auto& cert : datasets) {
    for (int start = 0; start < 2; ++start) {
      const NistRun run = RunNist(cert, start);
      std::printf("%-10s %-8.8s %5d %7u %7.2f %7.2f %7.2f\n", cert.name.c_str(),
                  testsupport::NistLevelName(cert.level), start + 1, run.outcome, run.value_lre,
                  run.sd_lre, run.rss_lre);
      const bool converged = run.outcome >= 1 && run.outcome <= 4;
      SCOPED_TRACE(cert.name + " start " + std::to_string(start + 1));
      if (cert.level != testsupport::NistLevel::kHigher) {
        EXPECT_TRUE(converged) << "outcome " << run.outcome;
      }
      if (!converged) continue;
      // Never a convergence code at a wrong point.
      EXPECT_GE(run.value_lre, 6.0);
      // Lanczos1's certified RSS is below what its rounded estimates can
      // reproduce, and its deviations scale with that RSS.
      if (cert.name != "Lanczos1") {
        EXPECT_GE(run.sd_lre, 4.0);
        EXPECT_GE(run.rss_lre, 6.0);
      }
    }
  }
}

// The server thread runs with overflow, invalid and divide-by-zero traps.
// Unbounded model variables report bounds near the largest double; scaled
// and carried through the optimiser's step they must not trap.
TEST(EstimationDriverNist, UnboundedScaledUnknownsUnderTheServerTraps) {
  const testsupport::Certified misra1a = testsupport::NistDataset("Misra1a");
  const testsupport::Certified* misra = &misra1a;
  TestOptions options;
  options.reals[eo::kNlsRelFuncTol] = 1e-12;
  options.reals[eo::kNlsSolTol] = 1e-10;
  options.ints[eo::kNlsMaxIter] = 1000;
  const testsupport::LeastSquaresProblem pb = testsupport::NistProblem(*misra, 0);
  EstimationProblem::Layout layout =
      LeastSquaresLayout(misra->starts[0], static_cast<std::int32_t>(pb.n));
  for (auto& u : layout.unknowns) {
    u.lower = -1.5e308;
    u.upper = 1.5e308;
    u.scale = 10.0;
  }
  EstimationResults results;
  auto problem = EstimationProblem::Create(layout, nullptr, &results);
  problem->LoadInitialPoint();
  struct Traps {
    Traps() { platform::SetFloatingPointTraps(true); }
    ~Traps() {
      platform::SetFloatingPointTraps(false);
      platform::ClearFloatingPointStatus();
    }
  };
  std::int32_t result = 0;
  {
    Traps traps;
    std::int32_t mode = kEstFirstPass;
    for (int pass = 0; pass < 2000 && result == 0; ++pass) {
      result = problem->Run(mode, Evaluate(pb, *problem, misra->y).Pass(), nullptr);
      mode = kEstNormalPass;
    }
  }
  ASSERT_GT(result, 0);
  EXPECT_GE(results.outcome, 1u);
  EXPECT_LE(results.outcome, 4u);
  EXPECT_GE(problem->Bounds()[0], -1e37);
  EXPECT_LE(problem->Bounds()[2], 1e37);
  for (std::int32_t j = 0; j < 2; ++j) {
    EXPECT_GE(Lre(problem->Value(j), misra->values[static_cast<std::size_t>(j)]), 6.0) << j;
  }
}

}  // namespace

namespace {

using Unknown = EstimationProblem::Unknown;
using analysis_fakes::ScriptedOptimiser;

Unknown MakeUnknown(Kind kind, const std::string& name, double value, std::int32_t record = -1) {
  Unknown u;
  u.kind = kind;
  u.name = name;
  u.value = value;
  u.record = record;
  return u;
}

EstimationProblem::OptimiserFactory Scripted(ScriptedOptimiser** out) {
  return [out](std::int32_t, std::int32_t m, std::int32_t n) {
    *out = new ScriptedOptimiser(static_cast<std::size_t>(n), static_cast<std::size_t>(m));
    return *out;
  };
}

// Least squares on y = b·x through (1, 2.1), (2, 3.9), (3, 6.2) from b = 1:
// r = (1.1, 1.9, 3.2), dr/db = -x. The least-squares optimiser works on the
// residuals and their Jacobian; an NLP solver minimises the sum of squares,
// and its gradient is 2 Σ r dr/db = -29, not the Jacobian's first column.
TEST(EstimationDriverSolvers, EachOptimiserGetsTheDerivativesItWorksOn) {
  for (std::int32_t kind : {2, 1, 10, 3}) {
    EstimationProblem::Layout layout;
    layout.solver_kind = kind;
    layout.unknowns = {MakeUnknown(Kind::kEstimated, "b", 1.0)};
    layout.measurements = 3;
    ScriptedOptimiser* optimiser = nullptr;
    auto problem = EstimationProblem::Create(layout, nullptr, nullptr, Scripted(&optimiser));
    problem->LoadInitialPoint();
    const PassData d{{1.1, 1.9, 3.2}, {-1.0, -2.0, -3.0}, {1.0, 2.0, 3.0}};
    problem->Run(kEstFirstPass, d.Pass(), nullptr);
    ASSERT_NE(optimiser, nullptr);
    ASSERT_EQ(optimiser->derivatives.size(), 1u);
    if (kind == 2) {
      EXPECT_EQ(optimiser->gradient_rows, 3);
      EXPECT_DOUBLE_EQ(optimiser->derivatives[0], -1.0);
    } else {
      EXPECT_EQ(optimiser->gradient_rows, 1) << kind;
      EXPECT_NEAR(optimiser->derivatives[0], -29.0, 1e-12) << kind;
    }
  }
}

// Maximum likelihood on y = b1·x + b2·x² in two records and two experiments
// of weights 1 and 2.5; some predictions are negative.
struct LikelihoodCase {
  std::vector<double> x = {-2.0, -1.0, 0.5, 1.0, 1.5, 2.0, 3.0, -3.0};
  std::vector<double> y = {-1.1, -0.9, 0.8, 1.7, 2.9, 3.6, 7.4, -4.2};
  std::vector<double> w = {1.0, 2.5, 1.0, 2.5, 1.0, 2.5, 1.0, 2.5};

  std::unique_ptr<EstimationProblem> Make(const std::vector<double>& v) {
    EstimationProblem::Layout layout;
    layout.objective_type = 2;
    layout.unknowns = {MakeUnknown(Kind::kEstimated, "b1", v[0]),
                       MakeUnknown(Kind::kEstimated, "b2", v[1]),
                       MakeUnknown(Kind::kHeteroscedasticity, "y1", v[2], 0),
                       MakeUnknown(Kind::kHeteroscedasticity, "y2", v[3], 1)};
    layout.measurements = static_cast<std::int32_t>(x.size());
    for (std::size_t k = 0; k < x.size(); ++k) {
      layout.record_of.push_back(static_cast<std::int32_t>(k % 2));
      layout.experiment_of.push_back(static_cast<std::int32_t>(k % 2));
    }
    layout.experiment_names = {"e1", "e2"};
    layout.records = 2;
    ScriptedOptimiser* optimiser = nullptr;
    auto problem = EstimationProblem::Create(layout, nullptr, nullptr, Scripted(&optimiser));
    problem->LoadInitialPoint();
    return problem;
  }
  PassData Evaluate(const std::vector<double>& v) const {
    PassData d;
    for (std::size_t k = 0; k < x.size(); ++k) {
      const double yhat = v[0] * x[k] + v[1] * x[k] * x[k];
      d.predicted.push_back(yhat);
      d.r.push_back(w[k] * (y[k] - yhat));
      d.rows.push_back(-w[k] * x[k]);
      d.rows.push_back(-w[k] * x[k] * x[k]);
    }
    return d;
  }
  double F(const std::vector<double>& v) {
    const PassData d = Evaluate(v);
    EstimationProblem::Pass pass = d.Pass();
    pass.weights = w.data();
    return Make(v)->Objective(pass);
  }
};

TEST(EstimationDriverObjective, LikelihoodGradientMatchesCentralDifferences) {
  LikelihoodCase c;
  const std::vector<double> v = {0.9, 0.35, 1.3, 0.6};
  const PassData d = c.Evaluate(v);
  EstimationProblem::Pass pass = d.Pass();
  pass.weights = c.w.data();
  auto problem = c.Make(v);
  problem->Objective(pass);
  problem->Gradient(pass, 0);
  for (std::size_t j = 0; j < v.size(); ++j) {
    const double h = 1e-6;
    std::vector<double> up = v, down = v;
    up[j] += h;
    down[j] -= h;
    const double fd = (c.F(up) - c.F(down)) / (2.0 * h);
    EXPECT_NEAR(problem->GradientValues()[j], fd, 1e-6 * std::max(1.0, std::fabs(fd)))
        << "unknown " << j;
  }
}

TEST(EstimationDriverObjective, HandValuesOfBothObjectives) {
  // Two records; the second has a zero residual sum (A raised to 1e-16) and
  // a prediction below the floor.
  EstimationProblem::Layout layout;
  layout.objective_type = 2;
  layout.unknowns = {MakeUnknown(Kind::kEstimated, "p", 1.0),
                     MakeUnknown(Kind::kHeteroscedasticity, "y1", 2.0, 0),
                     MakeUnknown(Kind::kHeteroscedasticity, "y2", 1.0, 1)};
  layout.measurements = 4;
  layout.record_of = {0, 0, 1, 1};
  layout.experiment_of = {0, 0, 0, 0};
  layout.experiment_names = {"e"};
  layout.records = 2;
  ScriptedOptimiser* optimiser = nullptr;
  auto problem = EstimationProblem::Create(layout, nullptr, nullptr, Scripted(&optimiser));
  problem->LoadInitialPoint();
  const std::vector<double> r = {0.5, -1.0, 0.0, 0.0};
  const std::vector<double> yhat = {2.0, -4.0, 0.0, 3.0};
  EstimationProblem::Pass pass{r.data(), nullptr, yhat.data(), nullptr};
  const double f = problem->Objective(pass);
  const double a1 = 0.25 / 4.0 + 1.0 / 16.0;
  const double b1 = std::log(2.0) + std::log(4.0);
  const double l1 =
      -0.5 * (2.0 * b1 + 2.0 * std::log(a1 / 2.0) + 2.0 * (std::log(6.283185308) + 1.0));
  const double b2 = std::log(1e-10) + std::log(3.0);
  const double l2 = -0.5 * (b2 + 2.0 * std::log(1e-16 / 2.0) + 2.0 * (std::log(6.283185308) + 1.0));
  EXPECT_NEAR(problem->LogLikelihoods()[0], l1, 1e-12);
  EXPECT_NEAR(problem->LogLikelihoods()[1], l2, 1e-9);
  EXPECT_NEAR(f, -(l1 + l2), 1e-9);
}

TEST(EstimationDriverObjective, GaussianProfileLikelihoodOnMisra1a) {
  const testsupport::Certified misra1a = testsupport::NistDataset("Misra1a");
  const testsupport::Certified* misra = &misra1a;
  EstimationProblem::Layout layout = LeastSquaresLayout(misra->values, 14);
  layout.objective_type = 2;
  layout.unknowns.push_back(MakeUnknown(Kind::kHeteroscedasticity, "y", 0.0, 0));
  ScriptedOptimiser* optimiser = nullptr;
  auto problem = EstimationProblem::Create(layout, nullptr, nullptr, Scripted(&optimiser));
  problem->LoadInitialPoint();
  const PassData d = Evaluate(testsupport::NistProblem(*misra, 0), *problem, misra->y);
  const double f = problem->Objective(d.Pass());
  EXPECT_NEAR(-f, 13.1895200421, 1e-8);
  // With gamma 0 the likelihood's stationary point is that of least squares.
  problem->Gradient(d.Pass(), 0);
  EXPECT_NEAR(problem->GradientValues()[0], 0.0, 1e-6);
}

TEST(EstimationDriverStatistics, StudentTTableRows) {
  EXPECT_DOUBLE_EQ(EstimationTValue(1), 12.706);
  EXPECT_DOUBLE_EQ(EstimationTValue(34), 2.042);
  EXPECT_DOUBLE_EQ(EstimationTValue(200), 1.972);
  EXPECT_DOUBLE_EQ(EstimationTValue(201), 1.96);
  EXPECT_DOUBLE_EQ(EstimationTValue(0), 0.0);
}

// y = a + b·x: the fit ends at once (scripted code 1) at the closed-form
// solution, so the statistics are those of linear regression.
struct LineFit {
  std::vector<double> x = {0.0, 1.0, 2.0, 3.0, 4.0, 5.0};
  std::vector<double> y = {1.1, 2.9, 5.2, 6.8, 9.1, 11.2};
  double a = 0.0, b = 0.0, rss = 0.0, sxx = 0.0, xbar = 0.0;
  LineFit() {
    const double n = static_cast<double>(x.size());
    double sy = 0.0;
    for (std::size_t k = 0; k < x.size(); ++k) xbar += x[k] / n, sy += y[k] / n;
    double sxy = 0.0;
    for (std::size_t k = 0; k < x.size(); ++k) {
      sxx += (x[k] - xbar) * (x[k] - xbar);
      sxy += (x[k] - xbar) * (y[k] - sy);
    }
    b = sxy / sxx;
    a = sy - b * xbar;
    for (std::size_t k = 0; k < x.size(); ++k) rss += std::pow(y[k] - a - b * x[k], 2);
  }
  PassData Evaluate(const EstimationProblem& p) const {
    PassData d;
    for (std::size_t k = 0; k < x.size(); ++k) {
      const double yhat = p.Value(0) + p.Value(1) * x[k];
      d.predicted.push_back(yhat);
      d.r.push_back(y[k] - yhat);
      d.rows.push_back(-1.0);
      d.rows.push_back(-x[k]);
    }
    return d;
  }
};

TEST(EstimationDriverStatistics, LinearRegressionCovarianceAndClientUnits) {
  LineFit line;
  EstimationProblem::Layout layout =
      LeastSquaresLayout({line.a, line.b}, static_cast<std::int32_t>(line.x.size()));
  layout.unknowns[1].multiplier = 2.0;
  layout.unknowns[1].offset = 5.0;
  EstimationResults results;
  ScriptedOptimiser* optimiser = nullptr;
  auto problem = EstimationProblem::Create(layout, nullptr, &results, Scripted(&optimiser));
  problem->LoadInitialPoint();
  optimiser->final_code = 1;
  const PassData d = line.Evaluate(*problem);
  EXPECT_EQ(problem->Run(kEstFirstPass, d.Pass(), nullptr), 1);
  const double n = static_cast<double>(line.x.size());
  const double s2 = line.rss / (n - 2.0);
  // (XᵀX)⁻¹ of the line: [Σx², -Σx; -Σx, n] / (n·Sxx).
  double sum_x2 = 0.0;
  for (double x : line.x) sum_x2 += x * x;
  const double var_a = s2 * sum_x2 / (n * line.sxx);
  const double var_b = s2 / line.sxx;
  const double cov_ab = -s2 * line.xbar / line.sxx;
  ASSERT_EQ(problem->ModelCovariance().size(), 3u);
  EXPECT_NEAR(problem->ModelCovariance()[0], var_a, 1e-12);
  EXPECT_NEAR(problem->ModelCovariance()[1], cov_ab, 1e-12);
  EXPECT_NEAR(problem->ModelCovariance()[2], var_b, 1e-12);
  EXPECT_NEAR(problem->ModelStandardErrors()[1], std::sqrt(var_b), 1e-12);
  // Shown value 2·b + 5: its standard error doubles, its interval is centred
  // on the shown value.
  EXPECT_EQ(results.statistics, 2);
  ASSERT_EQ(results.standard_errors.size(), 2u);
  EXPECT_NEAR(results.standard_errors[1], 2.0 * std::sqrt(var_b), 1e-12);
  EXPECT_NEAR(results.covariance[1], 2.0 * cov_ab, 1e-12);
  const double t = EstimationTValue(4);
  EXPECT_NEAR(results.confidence[2], 2.0 * line.b + 5.0 - t * 2.0 * std::sqrt(var_b), 1e-10);
  EXPECT_NEAR(results.correlation[1], cov_ab / std::sqrt(var_a * var_b), 1e-12);
}

TEST(EstimationDriverStatistics, ScaleTenGivesTheSameEstimatesAndErrors) {
  TestOptions options;
  options.reals[eo::kNlsRelFuncTol] = 1e-12;
  options.reals[eo::kNlsSolTol] = 1e-10;
  options.ints[eo::kNlsMaxIter] = 100;
  LineFit line;
  std::vector<std::vector<double>> estimates, errors;
  for (double scale : {1.0, 10.0}) {
    EstimationProblem::Layout layout =
        LeastSquaresLayout({0.0, 0.0}, static_cast<std::int32_t>(line.x.size()));
    layout.unknowns[1].scale = scale;
    layout.unknowns[1].lower = -100.0;
    layout.unknowns[1].upper = 100.0;
    EstimationResults results;
    Printed printed;
    auto problem = EstimationProblem::Create(layout, printed.Fn(), &results);
    problem->LoadInitialPoint();
    std::int32_t result = 0, mode = kEstFirstPass;
    for (int pass = 0; pass < 200 && result == 0; ++pass, mode = kEstNormalPass) {
      const PassData d = line.Evaluate(*problem);
      result = problem->Run(mode, d.Pass(), nullptr);
    }
    ASSERT_GE(result, 1);
    ASSERT_LE(result, 4);
    estimates.push_back({problem->Value(0), problem->Value(1)});
    errors.push_back(problem->ModelStandardErrors());
    EXPECT_NEAR(problem->Bounds()[3], 100.0 * scale, 1e-12);
  }
  for (std::size_t j = 0; j < 2; ++j) {
    EXPECT_NEAR(estimates[0][j], estimates[1][j], 1e-8);
    EXPECT_NEAR(errors[0][j], errors[1][j], 1e-8);
  }
  EXPECT_NEAR(estimates[0][1], line.b, 1e-8);
}

TEST(EstimationDriverStatistics, SingularNormalMatrixLeavesNoStatistics) {
  // Two unknowns with the same column: the covariance cannot be formed.
  TestOptions options;
  options.ints[eo::kPrintLevel] = 0;
  EstimationProblem::Layout layout = LeastSquaresLayout({1.0, 1.0}, 3);
  EstimationResults results;
  results.statistics = 2;
  Printed printed;
  ScriptedOptimiser* optimiser = nullptr;
  auto problem = EstimationProblem::Create(layout, printed.Fn(), &results, Scripted(&optimiser));
  problem->LoadInitialPoint();
  const std::vector<double> r = {0.1, -0.2, 0.3}, rows = {1, 1, 2, 2, 3, 3}, yhat = {1, 2, 3};
  EXPECT_EQ(problem->Run(kEstFirstPass, {r.data(), rows.data(), yhat.data(), nullptr}, nullptr), 1);
  EXPECT_EQ(results.statistics, 0);
  EXPECT_TRUE(printed.Has("No covariance or correlation information."));
}

// A general NLP solver's "converged" holds only where the Gauss-Newton step
// from the pass would lower the sum of squares no further: y = b x through
// (1, 2.1), (2, 3.9), (3, 6.2). At the fit it stands; at the start it is a
// failure; at the fit with a second unknown whose column repeats the first
// it is singular convergence.
TEST(EstimationDriverOutcome, AnNlpSolversConvergenceIsJudgedAtItsPoint) {
  TestOptions options;
  options.ints[eo::kPrintLevel] = 0;
  const double x[] = {1.0, 2.0, 3.0}, y[] = {2.1, 3.9, 6.2};
  const double slope = 28.5 / 14.0;
  struct Case {
    std::vector<double> start;
    std::uint32_t outcome;
  };
  for (const Case& c : {Case{{slope}, 1u}, Case{{1.0}, 8u}, Case{{slope, 0.0}, 5u}}) {
    SCOPED_TRACE("start " + std::to_string(c.start[0]) + ", " + std::to_string(c.start.size()) +
                 " unknowns");
    EstimationProblem::Layout layout = LeastSquaresLayout(c.start, 3);
    layout.solver_kind = 1;
    EstimationResults results;
    ScriptedOptimiser* optimiser = nullptr;
    auto problem = EstimationProblem::Create(layout, nullptr, &results, Scripted(&optimiser));
    problem->LoadInitialPoint();
    std::vector<double> r, rows, predicted;
    for (int k = 0; k < 3; ++k) {
      predicted.push_back(c.start[0] * x[k]);
      r.push_back(y[k] - predicted.back());
      for (std::size_t j = 0; j < c.start.size(); ++j) rows.push_back(x[k]);
    }
    problem->Run(kEstFirstPass, {r.data(), rows.data(), predicted.data(), nullptr}, nullptr);
    EXPECT_EQ(results.outcome, c.outcome);
  }
}

// On a bound the free Gauss-Newton step leaves the box: the step is held
// there. y = a + b x through (1, 2.1), (2, 3.9), (3, 6.2), whose free fit
// is a = -1/30, b = 2.05. With b <= 1.5 and a free, the optimum is b = 1.5
// and a = 3.2 / 3 (the mean residual at that slope); the same point with
// b <= 1.6 stops short, as does a = 0 at b = 1.5, since a still moves
// freely; b >= 2.5 and a >= 0 meet at a corner, a = 0, b = 2.5, where a
// alone would go on to -2.8 / 3.
TEST(EstimationDriverOutcome, AConvergenceOnABoundIsJudgedWithTheStepHeldInside) {
  TestOptions options;
  options.ints[eo::kPrintLevel] = 0;
  const double x[] = {1.0, 2.0, 3.0}, y[] = {2.1, 3.9, 6.2};
  struct Case {
    double a, b;
    double a_lower, b_lower, b_upper;
    std::uint32_t outcome;
  };
  for (const Case& c :
       {Case{3.2 / 3.0, 1.5, -1e300, -1e300, 1.5, 1u},
        Case{3.2 / 3.0, 1.5, -1e300, -1e300, 1.6, 8u}, Case{0.0, 1.5, -1e300, -1e300, 1.5, 8u},
        Case{0.0, 2.5, 0.0, 2.5, 1e300, 1u}, Case{0.0, 2.5, -1e300, 2.5, 1e300, 8u}}) {
    SCOPED_TRACE(testing::Message() << "a " << c.a << ", b " << c.b << " in [" << c.b_lower << ", "
                                    << c.b_upper << "], a >= " << c.a_lower);
    EstimationProblem::Layout layout = LeastSquaresLayout({c.a, c.b}, 3);
    layout.solver_kind = 1;
    layout.unknowns[0].lower = c.a_lower;
    layout.unknowns[1].lower = c.b_lower;
    layout.unknowns[1].upper = c.b_upper;
    EstimationResults results;
    ScriptedOptimiser* optimiser = nullptr;
    auto problem = EstimationProblem::Create(layout, nullptr, &results, Scripted(&optimiser));
    problem->LoadInitialPoint();
    std::vector<double> r, rows(6), predicted;
    for (int k = 0; k < 3; ++k) {
      predicted.push_back(c.a + c.b * x[k]);
      r.push_back(y[k] - predicted.back());
      // Rows are d(residual)/d(unknown).
      rows[2 * k] = -1.0;
      rows[2 * k + 1] = -x[k];
    }
    problem->Run(kEstFirstPass, {r.data(), rows.data(), predicted.data(), nullptr}, nullptr);
    EXPECT_EQ(results.outcome, c.outcome);
  }
}

// The line fit as the outcome and protocol tests drive it: both
// parameters from its start, six points, no statistics, the optimiser
// scripted by the test and the problem at its initial point.
struct ScriptedLineFit {
  ScriptedLineFit() {
    EstimationProblem::Layout layout = LeastSquaresLayout({line.a, line.b}, 6);
    layout.statistics = false;
    problem = EstimationProblem::Create(layout, printed.Fn(), &results, Scripted(&optimiser));
    problem->LoadInitialPoint();
  }
  LineFit line;
  EstimationResults results;
  Printed printed;
  ScriptedOptimiser* optimiser = nullptr;
  std::unique_ptr<EstimationProblem> problem;
};

struct OutcomeRow {
  std::int32_t code;
  std::uint32_t outcome;
  std::int32_t result;
  Status status;
  const char* first_line;
};

TEST(EstimationDriverOutcome, TableOfOptimiserCodes) {
  const OutcomeRow rows[] = {
      {1, 1, 1, 0, "Estimated variables converged after 4 iterations"},
      {13, 1, 1, 0, "Estimated variables converged after 4 iterations"},
      {14, 2, 2, 0, "Least squares relative convergence after 4 iterations"},
      {15, 3, 3, 0, "Estimated variable and least squares relative convergence after 4 iterations"},
      {16, 4, 4, 0, "Least squares absolute convergence obtained after 4 iterations"},
      {17, 5, 5, kEstSingularConvergence, "Singular convergence obtained after 4 iterations"},
      {18, 6, 6, kEstOptimiserFailed, "False convergence obtained after 4 iterations"},
      {19, 7, -1, kEstIterationLimit, "Maximum number of function evaluations exceeded"},
      {20, 7, -1, kEstIterationLimit, "Maximum number of iterations exceeded"},
      {2, 8, -1, kEstConvergenceFailure, "Estimation Convergence failure"},
      {3, 8, 5, kEstOptimiserFailed, "Convergence failure inside optimizer."},
      {4, 8, 5, kEstOptimiserFailed, "Convergence failure inside optimizer."},
      {5, 8, 5, kEstOptimiserFailed, "The optimizer cannot cannot find a solution."},
      {6, 8, 5, kEstOptimiserFailed, "The optimizer cannot cannot find a solution."},
      {7, 8, 5, kEstOptimiserFailed, "The optimizer cannot cannot find a solution."},
      {8, 8, 5, kEstLineStepTooSmall, "Optimizer line step too small; "},
      {65, 8, -1, kEstConvergenceFailure,
       "Estimator (NLS) could not compute a gradient at the current solution. Try re-scaling or "
       "re-posing your problem."},
      {99, 8, -1, kEstConvergenceFailure, "Unknown error in estimation solver. (code = 99)"},
  };
  for (const OutcomeRow& row : rows) {
    for (std::int32_t print : {0, 1}) {
      SCOPED_TRACE("code " + std::to_string(row.code) + " print " + std::to_string(print));
      TestOptions options;
      options.ints[eo::kPrintLevel] = print;
      options.ints[eo::kEstimationPrintLevel] = 1;
      options.ints[eo::kNlsMaxIter] = 50;
      ScriptedLineFit fit;
      auto& [line, results, printed, optimiser, problem] = fit;
      optimiser->script = {{-1, {}}, {-2, {}}, {-1, {}}, {row.code, {}}};
      std::int32_t result = 0, mode = kEstFirstPass;
      for (int pass = 0; pass < 5 && result == 0; ++pass, mode = kEstNormalPass) {
        const PassData d = line.Evaluate(*problem);
        result = problem->Run(mode, d.Pass(), nullptr);
      }
      EXPECT_EQ(result, row.result);
      EXPECT_EQ(results.outcome, row.outcome);
      bool found = false;
      for (const auto& l : printed.lines) {
        if (l.second.rfind(row.first_line, 0) == 0) {
          found = true;
          EXPECT_EQ(l.first, row.status);
        }
      }
      EXPECT_EQ(found, print != 0);
    }
  }
}

TEST(EstimationDriverOutcome, ReturnToBestOnlyAfterAFailureAwayFromTheBest) {
  for (std::int32_t code : {1, 5}) {
    SCOPED_TRACE(code);
    TestOptions options;
    options.ints[eo::kReturnToBest] = 1;
    options.ints[eo::kPrintLevel] = 1;
    options.ints[eo::kEstimationPrintLevel] = 1;
    ScriptedLineFit fit;
    auto& [line, results, printed, optimiser, problem] = fit;
    // The first step moves away from the solution and the optimiser stops there.
    optimiser->script = {{-1, {}}, {-1, {line.a + 1.0, line.b}}, {code, {}}};
    std::int32_t result = 0, mode = kEstFirstPass;
    for (int pass = 0; pass < 5 && result == 0; ++pass, mode = kEstNormalPass) {
      const PassData d = line.Evaluate(*problem);
      result = problem->Run(mode, d.Pass(), nullptr);
    }
    if (code == 1) {
      EXPECT_EQ(result, 1);
      EXPECT_DOUBLE_EQ(problem->Value(0), line.a + 1.0);
    } else {
      EXPECT_EQ(result, 10);
      EXPECT_DOUBLE_EQ(problem->Value(0), line.a);
      EXPECT_DOUBLE_EQ(results.estimates[0], line.a);
      char text[128];
      std::snprintf(text, sizeof text,
                    "Returning to best point (with sum of weighted squared errors = %14.6e)",
                    line.rss);
      EXPECT_TRUE(printed.Has(text));
    }
  }
}

TEST(EstimationDriverProtocol, ProgressMessageBytes) {
  TestOptions options;
  options.ints[eo::kNlsMaxIter] = 10;
  LineFit line;
  EstimationProblem::Layout layout = LeastSquaresLayout({line.a, line.b}, 6);
  EstimationResults results;
  ScriptedOptimiser* optimiser = nullptr;
  auto problem = EstimationProblem::Create(layout, nullptr, &results, Scripted(&optimiser));
  problem->LoadInitialPoint();
  optimiser->script = {{-1, {}}, {-1, {1.5, 2.5}}};
  DseMessage progress(87, 12);
  progress.PutUInt16(157);
  EXPECT_EQ(problem->Run(kEstFirstPass, line.Evaluate(*problem).Pass(), &progress), 0);
  auto back = testsupport::ReceivedBody(testsupport::BodyOf(progress), 87);
  std::uint16_t head = 0;
  std::uint32_t type = 0, iterations = 0, count = 0;
  double objective = 0.0, squares = 0.0, now = 0.0, before = 0.0;
  char name[16] = {};
  back->GetUInt16(&head);
  back->GetUInt32(&type);
  back->GetUInt32(&iterations);
  back->TryGet8(&objective);
  back->TryGet8(&squares);
  EXPECT_EQ(head, 157);
  EXPECT_EQ(type, 1u);
  EXPECT_EQ(iterations, 2u);
  EXPECT_NEAR(objective, line.rss, 1e-12);
  EXPECT_NEAR(squares, line.rss, 1e-12);
  back->GetUInt32(&count);
  ASSERT_EQ(count, 2u);
  for (double expected : {1.5, 2.5}) {
    back->GetStringInto(name, sizeof name);
    back->TryGet8(&now);
    back->TryGet8(&before);
    EXPECT_EQ(now, expected);
  }
  EXPECT_STREQ(name, "b2");
  EXPECT_EQ(before, line.b);
  back->GetUInt32(&count);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(results.iterations, 2u);
}

TEST(EstimationDriverProtocol, StartFlagFailedPassAndZeroIterations) {
  TestOptions options;
  options.ints[eo::kPrintLevel] = 1;
  options.ints[eo::kEstimationPrintLevel] = 1;
  options.ints[eo::kNlsMaxIter] = 0;
  ScriptedLineFit fit;
  auto& [line, results, printed, optimiser, problem] = fit;
  optimiser->script = {{-1, {}}, {-1, {1.0, 1.0}}, {-1, {2.0, 2.0}}, {20, {}}};
  const PassData d = line.Evaluate(*problem);
  EXPECT_EQ(problem->Run(kEstFirstPass, d.Pass(), nullptr), 0);
  EXPECT_EQ(problem->Run(kEstFailedPass, d.Pass(), nullptr), 0);
  EXPECT_EQ(problem->Run(kEstNormalPass, line.Evaluate(*problem).Pass(), nullptr), 5);
  ASSERT_EQ(optimiser->calls.size(), 4u);
  EXPECT_EQ(optimiser->calls[0].mode, 2);
  EXPECT_EQ(optimiser->calls[1].mode, 0);
  EXPECT_EQ(optimiser->calls[2].mode, -100);
  EXPECT_EQ(optimiser->calls[3].mode, 0);
  EXPECT_EQ(results.outcome, 8u);
  int zero_messages = 0;
  for (const auto& l : printed.lines) {
    zero_messages +=
        l.second == "Estimated variables will not be moved (maximum iterations set to zero)";
    EXPECT_EQ(l.second.find("Maximum number of iterations"), std::string::npos);
  }
  EXPECT_EQ(zero_messages, 1);
  EXPECT_TRUE(printed.Has("Experiment failed: cutting step in estimated variables") == false);
}

}  // namespace

namespace {

using namespace analysis_fakes;

// x measured three times in a steady-state experiment E1 (prediction 0.5),
// z twice in a dynamic-free experiment E2 (prediction and observations 0):
// maximum likelihood with gamma 1 for x and 0.5 for z; the solver kind no
// library answers, so the first pass ends the estimation.
class EstimationFigures : public ::testing::Test {
 protected:
  EstimationFigures() : sensitivities(services), manager(services) {
    services.Add(1, "k1", 1.0);
    services.Add(10, "x", 0.5);
    services.Add(12, "z", 0.0);
    services.options[analysis_options::kEstimator] = 2;
    services.options[analysis_options::kEstimationSolver] = 99;
  }
  void Define(const std::vector<double>& x_observed) {
    DefinitionRecord d;
    d.estimated = {{1, 1.0, 0.0}};
    ExperimentRecord e1;
    e1.name = "E1";
    e1.measured = {10};
    for (double y : x_observed) e1.entries.push_back({10, 0.0, y, false, 0.0});
    ExperimentRecord e2;
    e2.name = "E2";
    e2.measured = {12};
    e2.entries = {{12, 0.0, 0.0, false, 0.0}, {12, 0.0, 0.0, false, 0.0}};
    d.experiments = {e1, e2};
    d.heteroscedasticity = 1;
    d.records = {{10, 1.0, 2.0, 1.0}, {12, 0.5, 1.0, 0.0}};
    auto message = testsupport::ReceivedBody(DefinitionMessage(d).bytes, EstimationMgr::kService);
    DseMessage* reply = nullptr;
    ASSERT_EQ(manager.HandleRequest(EstimationMgr::kService, message.get(), &reply, nullptr), 0u);
    delete reply;
    for (std::int32_t e = 0; e < manager.NumExperiments(); ++e) {
      ASSERT_EQ(manager.Experiment(e)->RecordResiduals(), 0u);
    }
  }
  bool Printed(const std::string& text) const {
    for (const auto& p : services.printed) {
      if (p.second == text) return true;
    }
    return false;
  }

  FakeServices services;
  SensitivityMgr sensitivities;
  EstimationMgr manager;
};

TEST_F(EstimationFigures, PerMeasurementAndPerRecordFiguresByHand) {
  TestOptions options;
  options.ints[eo::kPrintLevel] = 1;
  options.ints[eo::kEstimationPrintLevel] = 2;
  Define({1.0, 0.2, 0.5});
  EXPECT_EQ(manager.CompletePass(EstimationMgr::kPassDone), EstimationMgr::kRunAgain);
  EXPECT_TRUE(manager.Done());
  const EstimationResults& r = manager.Results();
  EXPECT_EQ(r.outcome, 8u);
  ASSERT_EQ(r.measurements.size(), 5u);
  EXPECT_DOUBLE_EQ(r.measurements[0].percentage_error, 100.0);
  EXPECT_NEAR(r.measurements[1].percentage_error, -60.0, 1e-12);
  EXPECT_NEAR(r.measurements[0].standardised, 0.5 / std::sqrt(0.5 / 3.0 * 0.68), 1e-12);
  // Prediction and observation 0: base 1.
  EXPECT_EQ(r.measurements[3].percentage_error, 0.0);
  ASSERT_EQ(r.records.size(), 2u);
  EXPECT_NEAR(r.records[0].wrss, 0.68, 1e-12);
  EXPECT_NEAR(r.records[0].wrs, 0.2 / std::sqrt(0.5), 1e-12);
  // d = 5 - 1, n = 3, W = 6.
  EXPECT_NEAR(r.records[0].see, std::sqrt(0.085), 1e-12);
  // v = |0.5·2 + 1| = 2: Q' = 0.68, V = 1.5.
  EXPECT_NEAR(r.records[0].see_client, std::sqrt(0.34), 1e-12);
  const double tss =
      (std::pow(1.0 - 1.7 / 3, 2) + std::pow(0.2 - 1.7 / 3, 2) + std::pow(0.5 - 1.7 / 3, 2)) / 0.5;
  EXPECT_NEAR(r.records[0].explained, (1.0 - 0.68 / tss) * 100.0, 1e-9);
  // Observations all at their mean: TSS below 1e-16.
  EXPECT_EQ(r.records[1].explained, 100.0);
  EXPECT_NEAR(r.overall_explained, (1.0 - 0.68 / tss) * 100.0, 1e-9);
  // The report at print level 2.
  EXPECT_TRUE(
      Printed(" Maximized   Weighted    Weighted    Standard   Percentage  Heterosced-   "
              "Measured"));
  char row[160];
  std::snprintf(row, sizeof row, "%11.3e %11.3e %11.3e %11.3e    %7.3f  %11.2f   x",
                r.records[0].log_likelihood, 0.68, 0.2 / std::sqrt(0.5), std::sqrt(0.085),
                r.records[0].explained, 1.0);
  EXPECT_TRUE(Printed(row)) << row;
  EXPECT_TRUE(Printed("Observed versus Predicted:"));
  EXPECT_TRUE(
      Printed("Steady state experiment E1: (sum of weighted squared errors=  3.400000e-01)"));
  std::snprintf(row, sizeof row, "%8s %12.4e %12.4e %10.2g %12.4e %12.4e  x", "", 1.0, 0.5, 100.0,
                r.measurements[0].standardised, 0.5);
  EXPECT_TRUE(Printed(row)) << row;
}

TEST_F(EstimationFigures, TinyBaseGivesTheCappedPercentage) {
  services.Var(10)->SetValue(1e-303);
  Define({1.0, -1.0, 0.0});
  manager.CompletePass(EstimationMgr::kPassDone);
  const EstimationResults& r = manager.Results();
  EXPECT_EQ(r.measurements[0].percentage_error, 1.7976931348623158e303);
  EXPECT_EQ(r.measurements[1].percentage_error, -1.7976931348623158e303);
  EXPECT_TRUE(std::isfinite(r.measurements[2].percentage_error));
}

// A first pass that cannot be evaluated is no starting point: the
// estimation ends with no outcome and names the experiment, and the driver
// is never run from it.
TEST_F(EstimationFigures, FirstPassWithValuesThatAreNotFiniteEndsWithoutAnOutcome) {
  services.Var(12)->SetValue(std::numeric_limits<double>::quiet_NaN());
  Define({1.0, 0.2, 0.5});
  EXPECT_EQ(manager.CompletePass(EstimationMgr::kPassDone), EstimationMgr::kNoExperiments);
  EXPECT_FALSE(manager.Done());
  EXPECT_EQ(manager.PassCount(), 0);
  EXPECT_EQ(manager.Results().outcome, 0u);
  EXPECT_TRUE(manager.Results().measurements.empty());
  EXPECT_TRUE(
      Printed("The estimation run cannot proceed: the model cannot be evaluated at the initial "
              "values of the estimated variables (experiment E2 gives values that are not finite "
              "or too large)"));
}

TEST_F(EstimationFigures, LeastSquaresZeroesHeteroscedasticity) {
  services.options[analysis_options::kEstimator] = 1;
  Define({1.0, 0.2, 0.5});
  manager.CompletePass(EstimationMgr::kPassDone);
  EXPECT_EQ(manager.Heteroscedasticity(0)->value(), 0.0);
  EXPECT_EQ(manager.Results().records[0].log_likelihood, 0.0);
  // With gamma 0 the sums are plain.
  EXPECT_NEAR(manager.Results().records[0].wrss, 0.34, 1e-12);
}

}  // namespace
