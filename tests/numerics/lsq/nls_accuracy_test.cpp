// Accuracy on problems with known answers: fits, classic functions, bounds, NIST StRD.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "numerics/lsq/nls.h"
#include "tests/support/temp_dir.h"
#include "workloads/least_squares_problems.h"

namespace {

using testsupport::ClassicProblem;
using testsupport::Drive;
using testsupport::LeastSquaresProblem;
using testsupport::MakeProblem;
using testsupport::NlsCaller;

bool IsConvergence(std::int64_t code) {
  return code >= 3 && code <= 6;
}

TEST(NlsAccuracy, ZeroResidualFitsRecoverTheirSolution) {
  std::mt19937_64 rng(2718);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int trial = 0; trial < 20; ++trial) {
    const std::vector<double> truth = {1.0 + 2.0 * unit(rng), 0.5 + 1.5 * unit(rng),
                                       1.0 + 2.0 * unit(rng), 0.2 + 0.8 * unit(rng),
                                       -1.0 + 2.0 * unit(rng)};
    auto model = [](const auto* x, double t) {
      return x[0] * exp(-x[1] * t) + x[2] / (1.0 + x[3] * t) + x[4] * t;
    };
    std::vector<double> data(20);
    for (int i = 0; i < 20; ++i) data[i] = model(truth.data(), 0.2 * i);
    auto pb = MakeProblem("fit", 20, truth, {0.0}, [model, data](const auto* x, auto* r) {
      for (int i = 0; i < 20; ++i) r[i] = model(x, 0.2 * i) - data[i];
    });
    std::vector<double> start = truth;
    for (double& e : start) e *= 1.0 + 0.3 * (unit(rng) - 0.5);
    NlsCaller c(pb.n, pb.p);
    c.Start(start);
    // Not the engine's 1e-20: F at 1e-20 leaves residuals near 1e-10 and
    // the parameters a few units short in the tenth digit.
    c.V(nls::kAfctol) = 0.0;
    const auto run = Drive(c, pb);
    ASSERT_TRUE(IsConvergence(run.code)) << trial << ": " << run.code;
    for (std::size_t k = 0; k < truth.size(); ++k)
      EXPECT_NEAR(run.x[k], truth[k], 1e-10 * std::fabs(truth[k])) << trial << "," << k;
  }
}

// The published minimum that a converged run reached, or -1.
double MatchedMinimum(const LeastSquaresProblem& pb, double sum_of_squares) {
  for (double m : pb.minima) {
    if (m == 0.0 && sum_of_squares <= 1e-14) return m;
    if (m != 0.0 && std::fabs(sum_of_squares - m) <= 5e-6 * m) return m;
  }
  return -1.0;
}

TEST(NlsAccuracy, ClassicFunctionsReachTheirPublishedMinima) {
  for (const auto& pb : testsupport::ClassicProblems()) {
    NlsCaller c(pb);
    c.V(nls::kAfctol) = 1e-20;
    const auto run = Drive(c, pb);
    EXPECT_TRUE(IsConvergence(run.code)) << pb.name << " ended with " << run.code;
    if (IsConvergence(run.code)) {
      EXPECT_GE(MatchedMinimum(pb, 2.0 * run.f), 0.0) << pb.name << ": 2F = " << 2.0 * run.f;
    }
  }
}

TEST(NlsAccuracy, EngineTolerancesNeverClaimConvergenceFarFromAMinimum) {
  // Relative tolerances of 1e-4: a convergence code must come within them.
  for (const auto& pb : testsupport::ClassicProblems()) {
    NlsCaller c(pb);
    c.ApplyEngineOptions(0.0, 1e-4, 1e-4, 0.0, 200);
    const auto run = Drive(c, pb);
    if (!IsConvergence(run.code)) continue;
    bool near = false;
    for (double m : pb.minima)
      near = near || std::fabs(2.0 * run.f - m) <= (m == 0.0 ? 1e-6 : 1e-3 * m);
    EXPECT_TRUE(near) << pb.name << ": code " << run.code << " at 2F = " << 2.0 * run.f;
  }
}

struct BoundedCase {
  const char* name;
  std::vector<double> lower;
  std::vector<double> upper;
  std::vector<double> start;  // empty: the standard start, projected
};

TEST(NlsAccuracy, BoundedSolutionsSatisfyTheKktSigns) {
  const std::vector<BoundedCase> cases = {
      {"Rosenbrock", {-2, -1}, {0.5, 2}, {}},
      {"Rosenbrock", {-2, 1.5}, {2, 3}, {5, -5}},
      {"Wood", {-10, -10, -10, -10}, {0.8, 10, 10, 0.5}, {}},
      {"BrownDennis", {-10, 0, -100, -20}, {100, 15, 100, 0.2}, {}},
      {"HelicalValley", {-100, -1, -1}, {0.8, 1, 1}, {}},
      {"BiggsExp6", {0, 0, 0, 1, 0, 0}, {2, 8, 3, 1, 5, 5}, {}},  // x4 fixed
      {"Box3D", {0, 5, 0.5}, {2, 9.5, 20}, {}},
  };
  for (const auto& bc : cases) {
    const auto pb = ClassicProblem(bc.name);
    NlsCaller c(pb.n, pb.p);
    c.Start(bc.start.empty() ? pb.x0 : bc.start, bc.lower, bc.upper);
    c.V(nls::kAfctol) = 1e-20;
    c.V(nls::kRfctol) = 1e-14;
    const auto run = Drive(c, pb);
    ASSERT_TRUE(IsConvergence(run.code)) << bc.name << ": " << run.code;
    std::vector<double> r(static_cast<std::size_t>(pb.n)),
        jac(static_cast<std::size_t>(pb.n * pb.p));
    pb.residuals(run.x.data(), r.data());
    pb.jacobian(run.x.data(), jac.data());
    double rnorm = 0.0;
    for (double e : r) rnorm += e * e;
    rnorm = std::sqrt(rnorm);
    int active = 0;
    for (std::int64_t j = 0; j < pb.p; ++j) {
      double g = 0.0, cnorm = 0.0;
      for (std::int64_t i = 0; i < pb.n; ++i) {
        g += jac[i + j * pb.n] * r[i];
        cnorm += jac[i + j * pb.n] * jac[i + j * pb.n];
      }
      const double tol = 1e-6 * std::sqrt(cnorm) * rnorm + 1e-12;
      const double x = run.x[j], lo = bc.lower[j], hi = bc.upper[j];
      ASSERT_TRUE(lo <= x && x <= hi) << bc.name << " x" << j + 1;
      if (lo == hi) continue;  // a fixed parameter
      // Free: g = 0; at the lower bound g >= 0; at the upper bound g <= 0.
      EXPECT_GE(g, x == hi ? -HUGE_VAL : -tol) << bc.name << " x" << j + 1 << " at " << x;
      EXPECT_LE(g, x == lo ? HUGE_VAL : tol) << bc.name << " x" << j + 1 << " at " << x;
      active += x == lo || x == hi ? 1 : 0;
    }
    EXPECT_GT(active, 0) << bc.name << ": the unconstrained minimum lies outside the box";
  }
}

// NIST StRD: model, starts, certified values and data from NIST's own files.
struct Certified {
  std::string name;
  std::vector<std::vector<double>> starts;
  std::vector<double> values;
  std::vector<double> deviations;
  double rss = 0.0;
  std::vector<double> x, y;
};

Certified ReadCertified(const std::filesystem::path& file) {
  Certified c;
  c.name = file.stem().string();
  c.starts.resize(2);
  std::ifstream in(file);
  std::string line;
  bool data = false;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    if (data) {
      double y = 0.0, x = 0.0;
      if (words >> y >> x) {
        c.y.push_back(y);
        c.x.push_back(x);
      }
      continue;
    }
    std::string first, eq;
    words >> first;
    double s1 = 0.0, s2 = 0.0, value = 0.0, sd = 0.0;
    if (first.size() >= 2 && first[0] == 'b' &&
        std::isdigit(static_cast<unsigned char>(first[1])) &&
        (words >> eq >> s1 >> s2 >> value >> sd) && eq == "=") {
      c.starts[0].push_back(s1);
      c.starts[1].push_back(s2);
      c.values.push_back(value);
      c.deviations.push_back(sd);
    }
    if (line.rfind("Residual Sum of Squares:", 0) == 0) c.rss = std::stod(line.substr(25));
    if (line.rfind("Data:", 0) == 0 && line.find(" y ") != std::string::npos) data = true;
  }
  return c;
}

template <typename T>
T NistModel(const std::string& name, const T* b, double x) {
  const double two_pi = 8.0 * std::atan(1.0);
  if (name == "Misra1a" || name == "BoxBOD") return b[0] * (1.0 - exp(-b[1] * x));
  if (name == "Chwirut1" || name == "Chwirut2") return exp(-b[0] * x) / (b[1] + b[2] * x);
  if (name == "DanWood") return b[0] * pow(T(x), b[1]);
  if (name.rfind("Gauss", 0) == 0)
    return b[0] * exp(-b[1] * x) + b[2] * exp(-(x - b[3]) * (x - b[3]) / (b[4] * b[4])) +
           b[5] * exp(-(x - b[6]) * (x - b[6]) / (b[7] * b[7]));
  if (name.rfind("Lanczos", 0) == 0)
    return b[0] * exp(-b[1] * x) + b[2] * exp(-b[3] * x) + b[4] * exp(-b[5] * x);
  if (name == "Misra1b") return b[0] * (1.0 - pow(1.0 + b[1] * x / 2.0, -2.0));
  if (name == "Misra1c") return b[0] * (1.0 - pow(1.0 + 2.0 * b[1] * x, -0.5));
  if (name == "Misra1d") return b[0] * b[1] * x / (1.0 + b[1] * x);
  if (name == "Kirby2") return (b[0] + b[1] * x + b[2] * x * x) / (1.0 + b[3] * x + b[4] * x * x);
  if (name == "Hahn1" || name == "Thurber")
    return (b[0] + b[1] * x + b[2] * x * x + b[3] * x * x * x) /
           (1.0 + b[4] * x + b[5] * x * x + b[6] * x * x * x);
  if (name == "MGH17") return b[0] + b[1] * exp(-x * b[3]) + b[2] * exp(-x * b[4]);
  if (name == "ENSO")
    return b[0] + b[1] * std::cos(two_pi * x / 12) + b[2] * std::sin(two_pi * x / 12) +
           b[4] * cos(two_pi * x / b[3]) + b[5] * sin(two_pi * x / b[3]) +
           b[7] * cos(two_pi * x / b[6]) + b[8] * sin(two_pi * x / b[6]);
  if (name == "Eckerle4")
    return (b[0] / b[1]) * exp(-0.5 * ((x - b[2]) / b[1]) * ((x - b[2]) / b[1]));
  if (name == "MGH09") return b[0] * (x * x + x * b[1]) / (x * x + x * b[2] + b[3]);
  if (name == "MGH10") return b[0] * exp(b[1] / (x + b[2]));
  if (name == "Rat42") return b[0] / (1.0 + exp(b[1] - b[2] * x));
  if (name == "Rat43") return b[0] / pow(1.0 + exp(b[1] - b[2] * x), 1.0 / b[3]);
  if (name == "Bennett5") return b[0] * pow(b[1] + x, -1.0 / b[2]);
  ADD_FAILURE() << "no model for " << name;
  return T(0.0);
}

TEST(NlsAccuracy, NistCertifiedRegressions) {
  const std::filesystem::path root = testsupport::SharedDataDir();
  if (root.empty() || !std::filesystem::exists(root / "nist-strd"))
    GTEST_SKIP() << "the shared NIST StRD data is not present";
  int problems = 0;
  for (const char* level : {"low_difficulty", "average_difficulty", "high_difficulty"}) {
    for (const auto& entry : std::filesystem::directory_iterator(root / "nist-strd" / level)) {
      const Certified cert = ReadCertified(entry.path());
      const auto n = static_cast<std::int64_t>(cert.y.size());
      const auto p = static_cast<std::int64_t>(cert.values.size());
      ASSERT_GT(n, p) << cert.name;
      const std::string name = cert.name;
      const auto xs = cert.x, ys = cert.y;
      ++problems;
      for (int s = 0; s < 2; ++s) {
        auto pb = MakeProblem(name, n, cert.starts[s], {cert.rss},
                              [name, xs, ys](const auto* b, auto* r) {
                                for (std::size_t i = 0; i < xs.size(); ++i)
                                  r[i] = ys[i] - NistModel(name, b, xs[i]);
                              });
        NlsCaller c(n, p);
        c.Start(pb.x0);
        // The certified values carry ten digits; the default relative
        // tolerance stops near five in the parameters.
        c.V(nls::kAfctol) = 0.0;
        c.V(nls::kRfctol) = 1e-14;
        const auto run = Drive(c, pb);
        const std::string what = name + " start " + std::to_string(s + 1);
        if (std::string(level) == "low_difficulty") {
          EXPECT_TRUE(IsConvergence(run.code)) << what << ": " << run.code;
        }
        if (!IsConvergence(run.code)) {
          EXPECT_TRUE(run.code >= 7 && run.code <= 10) << what << ": " << run.code;
          continue;
        }
        for (std::int64_t j = 0; j < p; ++j) {
          EXPECT_NEAR(run.x[j], cert.values[j], 1e-6 * std::fabs(cert.values[j]))
              << what << " converged (" << run.code << ") to wrong parameters";
        }
        // An RSS at rounding level (Lanczos1) cannot be matched digit for digit.
        double sum_y2 = 0.0;
        for (double v : ys) sum_y2 += v * v;
        if (cert.rss < 1e-20 * sum_y2) continue;
        EXPECT_NEAR(2.0 * run.f, cert.rss, 1e-6 * cert.rss) << what;
        const std::int64_t cov = c.IV(nls::kCovmat);
        ASSERT_GT(cov, 0) << what;
        const double variance = 2.0 * run.f / static_cast<double>(n - p);
        for (std::int64_t j = 0; j < p; ++j) {
          const double sd = std::sqrt(variance * c.V(cov + j + j * (j + 1) / 2));
          EXPECT_NEAR(sd, cert.deviations[j], 1e-5 * cert.deviations[j]) << what << " b" << j + 1;
        }
      }
    }
  }
  EXPECT_EQ(problems, 25);
}

}  // namespace
