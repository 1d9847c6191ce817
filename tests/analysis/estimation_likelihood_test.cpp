// Maximum likelihood through the SQP library, as the estimation runs it:
// the driver turns the least-squares kind into kind 1 and the real
// "kvs_sqpa" moves the unknowns. With gamma 0 on Misra1a the estimate is
// the least-squares one with the Gaussian profile likelihood; with
// heteroscedastic data (gamma 2) it agrees with a fit the test does itself.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "analysis/estimation/estimation_mgr.h"
#include "analysis/estimation/estimation_problem.h"
#include "foundation/interfaces/solver_options.h"
#include "tests/analysis/optimisation_fakes.h"
#include "workloads/nist_problems.h"

#if defined(VANTOR_KVS_DIR) && defined(VANTOR_NLP_LIBRARIES)
#include "framework/libraries/library_api.h"

namespace {

namespace eo = estimation_options;
using Kind = EstimationProblem::Kind;

const bool kSearchPath = [] {
  AddDLLSearchPath(VANTOR_KVS_DIR);
  return true;
}();

using Options = optimisation_fakes::TestOptions;

EstimationProblem::Unknown Make(Kind kind, const std::string& name, double value, double scale,
                                std::int32_t record = -1) {
  EstimationProblem::Unknown u;
  u.kind = kind;
  u.name = name;
  u.value = value;
  u.scale = scale;
  u.record = record;
  if (kind == Kind::kHeteroscedasticity) {
    u.lower = 0.0;
    u.upper = 2.0;
  }
  return u;
}

EstimationProblem::Layout Layout(std::vector<EstimationProblem::Unknown> unknowns, std::size_t m) {
  EstimationProblem::Layout layout;
  layout.objective_type = est_objective::kMaximumLikelihood;
  layout.solver_kind = 2;
  layout.unknowns = std::move(unknowns);
  layout.measurements = static_cast<std::int32_t>(m);
  layout.record_of.assign(m, 0);
  layout.experiment_of.assign(m, 0);
  layout.experiment_names = {"data"};
  layout.records = 1;
  return layout;
}

// One model evaluation: predictions and their parameter derivatives (rows
// per measurement) at b.
using Model = std::function<void(const std::vector<double>& b, std::vector<double>* yhat,
                                 std::vector<double>* rows)>;

struct Fit {
  std::int32_t result = 0;
  std::uint32_t outcome = 0;
  std::vector<double> values;
  double log_likelihood = 0.0;
  std::int32_t passes = 0;
};

// Pass after pass, as the action delivers them, until the driver is done.
Fit Drive(EstimationProblem::Layout layout, const std::vector<double>& y, const Model& model) {
  EstimationResults results;
  const std::size_t p = [&] {
    std::size_t count = 0;
    for (const auto& u : layout.unknowns) count += u.kind != Kind::kHeteroscedasticity;
    return count;
  }();
  const std::size_t n = layout.unknowns.size();
  auto problem = EstimationProblem::Create(std::move(layout), nullptr, &results);
  EXPECT_EQ(problem->SolverKind(), 1);
  problem->LoadInitialPoint();
  Fit fit;
  std::int32_t mode = kEstFirstPass;
  std::vector<double> yhat, rows, r(y.size()), weights(y.size(), 1.0);
  for (; fit.passes < 3000; ++fit.passes) {
    std::vector<double> b;
    for (std::size_t j = 0; j < p; ++j) b.push_back(problem->Value(static_cast<std::int32_t>(j)));
    model(b, &yhat, &rows);
    for (std::size_t k = 0; k < y.size(); ++k) r[k] = y[k] - yhat[k];
    const EstimationProblem::Pass pass{r.data(), rows.data(), yhat.data(), weights.data()};
    fit.result = problem->Run(mode, pass, nullptr);
    if (fit.result != 0) break;
    mode = kEstNormalPass;
  }
  fit.outcome = results.outcome;
  for (std::size_t j = 0; j < n; ++j) {
    fit.values.push_back(problem->Value(static_cast<std::int32_t>(j)));
  }
  fit.log_likelihood = problem->LogLikelihoods()[0];
  return fit;
}

Options& TightOptions(Options& options) {
  options.reals[eo::kLogLikelihoodSolTol] = 1e-12;
  options.ints[eo::kLogLikelihoodMaxIter] = 500;
  options.ints[eo::kPrintLevel] = 0;
  return options;
}

TEST(EstimationLikelihoodSqp, MisraWithGammaZeroIsLeastSquares) {
  const testsupport::Certified misra1a = testsupport::NistDataset("Misra1a");
  const testsupport::Certified* misra = &misra1a;
  Options options;
  TightOptions(options);
  const std::vector<double>& x = misra->x;
  const Model model = [&x](const std::vector<double>& b, std::vector<double>* yhat,
                           std::vector<double>* rows) {
    yhat->clear();
    rows->clear();
    for (double xi : x) {
      const double e = std::exp(-b[1] * xi);
      yhat->push_back(b[0] * (1.0 - e));
      rows->push_back(-(1.0 - e));
      rows->push_back(-(b[0] * xi * e));
    }
  };
  for (std::size_t start = 0; start < misra->starts.size(); ++start) {
    SCOPED_TRACE("start " + std::to_string(start + 1));
    const auto& s = misra->starts[start];
    // Scales bring both parameters near 1 in the optimiser's space.
    const Fit fit = Drive(
        Layout({Make(Kind::kEstimated, "b1", s[0], 1e-2), Make(Kind::kEstimated, "b2", s[1], 1e3)},
               x.size()),
        misra->y, model);
    ASSERT_GT(fit.result, 0);
    EXPECT_GT(fit.passes, 3) << "the optimiser moved the unknowns";
    EXPECT_GE(fit.outcome, 1u);
    EXPECT_LE(fit.outcome, 4u);
    for (std::size_t j = 0; j < 2; ++j) {
      EXPECT_NEAR(fit.values[j], misra->values[j], 1e-6 * std::fabs(misra->values[j]))
          << "b" << j + 1;
    }
    const double n = static_cast<double>(x.size());
    const double profile = -n / 2.0 * (std::log(2.0 * M_PI * misra->rss / n) + 1.0);
    EXPECT_NEAR(fit.log_likelihood, profile, 1e-8);
  }
}

// y = b·x with noise whose spread grows with the prediction (gamma 2).
struct Heteroscedastic {
  std::vector<double> x, y;
  Heteroscedastic() {
    const double eps[] = {0.31,  -1.12, 0.58,  1.44, -0.27, -0.86, 0.95,  -1.63, 0.12,  0.74,
                          -0.45, 1.08,  -0.09, 0.66, -1.21, 0.37,  -0.52, 1.29,  -0.98, 0.21};
    for (int k = 0; k < 20; ++k) {
      x.push_back(1.0 + k);
      y.push_back(2.0 * x.back() * (1.0 + 0.05 * eps[k]));
    }
  }
  // The stated objective (minus the log-likelihood) at b and gamma.
  double F(double b, double gamma) const {
    double a = 0.0, logs = 0.0;
    for (std::size_t k = 0; k < x.size(); ++k) {
      const double u = std::max(1e-10, std::fabs(b * x[k]));
      a += (y[k] - b * x[k]) * (y[k] - b * x[k]) / std::pow(u, gamma);
      logs += std::log(u);
    }
    const double n = static_cast<double>(x.size());
    return 0.5 * (gamma * logs + n * std::log(a / n) + n * (std::log(2.0 * M_PI) + 1.0));
  }
};

// Golden-section search of a unimodal function on [lo, hi].
template <typename F>
double Golden(F f, double lo, double hi) {
  const double g = (std::sqrt(5.0) - 1.0) / 2.0;
  double a = lo, b = hi;
  for (int i = 0; i < 200 && b - a > 1e-13 * (1.0 + std::fabs(a)); ++i) {
    const double c = b - g * (b - a), d = a + g * (b - a);
    if (f(c) < f(d)) {
      b = d;
    } else {
      a = c;
    }
  }
  return (a + b) / 2.0;
}

TEST(EstimationLikelihoodSqp, HeteroscedasticDataAgreeWithAnIndependentFit) {
  Options options;
  TightOptions(options);
  const Heteroscedastic data;
  // The test's own fit: for each gamma the best b, then the best gamma.
  auto best_b = [&](double gamma) {
    return Golden([&](double b) { return data.F(b, gamma); }, 1.5, 2.5);
  };
  const double gamma = Golden([&](double g) { return data.F(best_b(g), g); }, 0.0, 2.0);
  const double b = best_b(gamma);

  const Model model = [&data](const std::vector<double>& v, std::vector<double>* yhat,
                              std::vector<double>* rows) {
    yhat->clear();
    rows->clear();
    for (double xi : data.x) {
      yhat->push_back(v[0] * xi);
      rows->push_back(-xi);
    }
  };
  const Fit fit = Drive(Layout({Make(Kind::kEstimated, "b", 1.0, 1.0),
                                Make(Kind::kHeteroscedasticity, "y", 1.0, 1.0, 0)},
                               data.x.size()),
                        data.y, model);
  ASSERT_GT(fit.result, 0);
  EXPECT_GE(fit.outcome, 1u);
  EXPECT_LE(fit.outcome, 4u);
  EXPECT_NEAR(fit.values[0], b, 1e-6);
  EXPECT_NEAR(fit.values[1], gamma, 1e-4);
  EXPECT_NEAR(-fit.log_likelihood, data.F(b, gamma), 1e-8);
}

}  // namespace

#else
TEST(EstimationLikelihoodSqp, NeedsTheNlpLibraries) {
  GTEST_SKIP() << "kvs_sqpa was not built (NLopt or Ipopt missing)";
}
#endif
