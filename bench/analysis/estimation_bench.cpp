// One estimation pass (objective, gradient, statistics) with 10,000
// measurements and 10 parameters, beside the same arithmetic as plain
// loops; the ratio of the two times is the figure to report.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "analysis/estimation/estimation_problem.h"
#include "solve/optimisers/dense_optimiser.h"

namespace {

constexpr int kM = 10000;
constexpr int kN = 10;

// Converged at once: the pass is objective, gradient and statistics.
class Converged final : public QLNDenseOptimiser {
 public:
  std::int32_t Run(double*, const double*, const double*, const double*, std::int32_t) override {
    return 1;
  }
  std::int32_t Iterations() override { return 1; }
};

struct Data {
  std::vector<double> r, rows, predicted;
  Data() {
    for (int k = 0; k < kM; ++k) {
      const double x = 0.001 * k;
      predicted.push_back(1.0 + x);
      r.push_back(0.01 * std::sin(0.37 * k));
      for (int j = 0; j < kN; ++j)
        rows.push_back(-std::pow(x, j) / (1.0 + j) - 0.1 * std::cos(k + j));
    }
  }
};

void BM_EstimationPass(benchmark::State& state) {
  const Data d;
  EstimationProblem::Layout layout;
  for (int j = 0; j < kN; ++j) {
    EstimationProblem::Unknown u;
    u.name = "p";
    u.value = 1.0;
    layout.unknowns.push_back(u);
  }
  layout.measurements = kM;
  layout.records = 1;
  layout.experiment_names = {"e"};
  for (auto _ : state) {
    auto problem = EstimationProblem::Create(
        layout, nullptr, nullptr,
        [](std::int32_t, std::int32_t, std::int32_t) { return new Converged; });
    problem->LoadInitialPoint();
    const std::int32_t result = problem->Run(
        kEstFirstPass, {d.r.data(), d.rows.data(), d.predicted.data(), nullptr}, nullptr);
    benchmark::DoNotOptimize(result);
    benchmark::DoNotOptimize(problem->ModelStandardErrors().data());
  }
}
BENCHMARK(BM_EstimationPass)->Unit(benchmark::kMillisecond);

void BM_PlainLoops(benchmark::State& state) {
  const Data d;
  for (auto _ : state) {
    double s = 0.0;
    for (double r : d.r) s += r * r;
    std::vector<double> g(kN, 0.0), a(kN * kN, 0.0), inv(kN * kN, 0.0);
    for (int k = 0; k < kM; ++k) {
      for (int j = 0; j < kN; ++j) g[j] += 2.0 * d.rows[k * kN + j] * d.r[k];
    }
    for (int i = 0; i < kN; ++i) {
      for (int j = 0; j < kN; ++j) {
        double sum = 0.0;
        for (int k = 0; k < kM; ++k) sum += d.rows[k * kN + i] * d.rows[k * kN + j];
        a[i * kN + j] = sum;
      }
      inv[i * kN + i] = 1.0;
    }
    // Gauss-Jordan without pivoting: the normal matrix is positive definite.
    for (int c = 0; c < kN; ++c) {
      const double p = a[c * kN + c];
      for (int j = 0; j < kN; ++j) a[c * kN + j] /= p, inv[c * kN + j] /= p;
      for (int i = 0; i < kN; ++i) {
        if (i == c) continue;
        const double f = a[i * kN + c];
        for (int j = 0; j < kN; ++j)
          a[i * kN + j] -= f * a[c * kN + j], inv[i * kN + j] -= f * inv[c * kN + j];
      }
    }
    std::vector<double> se(kN);
    for (int j = 0; j < kN; ++j) se[j] = std::sqrt(std::fabs(s / (kM - kN) * inv[j * kN + j]));
    benchmark::DoNotOptimize(se.data());
  }
}
BENCHMARK(BM_PlainLoops)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
