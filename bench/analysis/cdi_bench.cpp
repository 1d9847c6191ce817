// CDIcomponent::Compute (A, B, C, D and G) on a generated sparse linear model
// of 1,000 states beside the dense computation of A and G with LAPACK's
// dgesv in the same run; the "ratio" counter is dense time over sparse time.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "analysis/control_design/cdi_component.h"

extern "C" void dgesv_(const int* n, const int* nrhs, double* a, const int* lda, int* ipiv,
                       double* b, const int* ldb, int* info);

namespace {

constexpr int kStates = 1000;
constexpr int kInputs = 5;

// x' = A x + B u with A tridiagonal (-2 on the diagonal, 0.5 beside it, a
// coupling every 50 states), E = diag(1 + i % 3); outputs every 200th state.
struct Generated {
  std::vector<double> dv, sv;
  std::vector<std::int64_t> dr, dc, sr, sc;
  std::vector<std::int32_t> states, inputs, outputs;
  void Dyn(std::int64_t r, std::int64_t c, double v) {
    dr.push_back(r);
    dc.push_back(c);
    dv.push_back(v);
  }
  void Ss(std::int64_t r, std::int64_t c, double v) {
    sr.push_back(r);
    sc.push_back(c);
    sv.push_back(v);
  }
  Generated() {
    for (int i = 1; i <= kStates; ++i) {
      states.push_back(i);
      Dyn(i, i, 1.0 + i % 3);
      Ss(i, i, 2.0);
      if (i > 1) Ss(i, i - 1, -0.5);
      if (i < kStates) Ss(i, i + 1, -0.5);
      if (i % 50 == 0 && i + 25 <= kStates) Ss(i, i + 25, -0.1);
    }
    for (int j = 0; j < kInputs; ++j) {
      const int col = kStates + 1 + j;
      inputs.push_back(col);
      const int row = 1 + j * (kStates / kInputs);
      Dyn(row, col, -1.0);
      Ss(row, col, -1.0);
      outputs.push_back(kStates / kInputs * (j + 1));
    }
  }
  CdiComputeInput Input() const {
    CdiComputeInput in;
    in.dyn_values = dv.data();
    in.dyn_rows = dr.data();
    in.dyn_cols = dc.data();
    in.dyn_count = static_cast<std::int64_t>(dv.size());
    in.ss_values = sv.data();
    in.ss_rows = sr.data();
    in.ss_cols = sc.data();
    in.ss_count = static_cast<std::int64_t>(sv.size());
    in.nvars = kStates;
    in.nstates = kStates;
    in.state_cols = states.data();
    in.input_cols = inputs.data();
    in.ninputs = kInputs;
    in.output_cols = outputs.data();
    in.noutputs = kInputs;
    in.options = kCdiA | kCdiB | kCdiC | kCdiD | kCdiG;
    in.print_level = 0;
    return in;
  }
};

// Dense: A = -E^-1 F and the gain rows of -F^-1 Fu.
double DenseSeconds(const Generated& g) {
  const auto start = std::chrono::steady_clock::now();
  const int n = kStates;
  std::vector<double> e(static_cast<std::size_t>(n) * n, 0.0), f = e;
  std::vector<double> fu(static_cast<std::size_t>(n) * kInputs, 0.0);
  for (std::size_t k = 0; k < g.dv.size(); ++k) {
    if (g.dc[k] <= n) e[(g.dc[k] - 1) * n + g.dr[k] - 1] = g.dv[k];
  }
  for (std::size_t k = 0; k < g.sv.size(); ++k) {
    if (g.sc[k] <= n)
      f[(g.sc[k] - 1) * n + g.sr[k] - 1] = -g.sv[k];
    else
      fu[(g.sc[k] - n - 1) * n + g.sr[k] - 1] = -g.sv[k];
  }
  std::vector<int> ipiv(n);
  int info = 0;
  const int lda = n;
  std::vector<double> a = f;
  dgesv_(&n, &n, e.data(), &lda, ipiv.data(), a.data(), &lda, &info);
  std::vector<double> minus_f(f.size());
  for (std::size_t k = 0; k < f.size(); ++k) minus_f[k] = -f[k];
  const int nrhs = kInputs;
  dgesv_(&n, &nrhs, minus_f.data(), &lda, ipiv.data(), fu.data(), &lda, &info);
  benchmark::DoNotOptimize(a.data());
  benchmark::DoNotOptimize(fu.data());
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_CdiComputeBesideDense(benchmark::State& state) {
  const Generated g;
  const CdiComputeInput in = g.Input();
  double sparse = 0.0, dense = 0.0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    CDIcomponent cdi;
    cdi.Compute(in);
    sparse += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    dense += DenseSeconds(g);
    state.ResumeTiming();
  }
  state.counters["sparse_s"] = sparse / state.iterations();
  state.counters["dense_s"] = dense / state.iterations();
  state.counters["ratio"] = dense / sparse;
}
BENCHMARK(BM_CdiComputeBesideDense)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
