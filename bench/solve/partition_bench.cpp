// The structural analysis kernel on the incidence of a generated flowsheet
// of 50,000 equations, beside btf_l_maxtrans plus btf_l_strongcomp on the
// same pattern in the same run. Each unit has flow and temperature in a
// 2x2 block fed by the unit before, a pressure and a root.
#include <benchmark/benchmark.h>
#include <btf.h>

#include <vector>

#include "solve/groups/partition.h"

namespace {

constexpr std::int32_t kUnits = 12500;  // 4 equations each

PartitionKernelInput Flowsheet() {
  PartitionKernelInput in;
  in.equations = 4 * kUnits;
  in.variables = 4 * kUnits;
  auto add = [&](std::int32_t e, std::int32_t v) {
    in.incidence_equation.push_back(e);
    in.incidence_variable.push_back(v);
  };
  for (std::int32_t k = 0; k < kUnits; ++k) {
    const std::int32_t f = 4 * k + 1, t = f + 1, p = f + 2, q = f + 3;
    add(f, f), add(f, t);
    if (k > 0) add(f, f - 4);
    add(t, t), add(t, f);
    if (k > 0) add(t, t - 4);
    add(p, p), add(p, t);
    add(q, q), add(q, p);
  }
  in.must_be_free.assign(static_cast<std::size_t>(in.variables), 0);
  in.partner.assign(static_cast<std::size_t>(in.variables), 0);
  return in;
}

void BM_PartitionKernel(benchmark::State& state) {
  const PartitionKernelInput in = Flowsheet();
  for (auto _ : state) {
    std::vector<std::int32_t> codes(static_cast<std::size_t>(in.variables), kCodeFree);
    PartitionKernelResult out;
    PartitionKernel(2, in, codes, &out);
    benchmark::DoNotOptimize(out.failure);
  }
}

void BM_BtfMaxtransStrongcomp(benchmark::State& state) {
  const PartitionKernelInput in = Flowsheet();
  const std::int64_t n = in.variables;
  std::vector<std::vector<std::int64_t>> columns(static_cast<std::size_t>(n));
  for (std::size_t k = 0; k < in.incidence_variable.size(); ++k) {
    columns[static_cast<std::size_t>(in.incidence_variable[k] - 1)].push_back(
        in.incidence_equation[k] - 1);
  }
  std::vector<std::int64_t> ap(static_cast<std::size_t>(n) + 1, 0), ai;
  for (std::int64_t j = 0; j < n; ++j) {
    ai.insert(ai.end(), columns[static_cast<std::size_t>(j)].begin(),
              columns[static_cast<std::size_t>(j)].end());
    ap[static_cast<std::size_t>(j) + 1] = static_cast<std::int64_t>(ai.size());
  }
  std::vector<std::int64_t> match(static_cast<std::size_t>(n)), q(static_cast<std::size_t>(n)),
      r(static_cast<std::size_t>(n) + 1), work(5 * static_cast<std::size_t>(n));
  for (auto _ : state) {
    double ops = 0.0;
    const std::int64_t rank =
        btf_l_maxtrans(n, n, ap.data(), ai.data(), 0.0, &ops, match.data(), work.data());
    for (std::int64_t j = 0; j < n; ++j)
      q[static_cast<std::size_t>(j)] = match[static_cast<std::size_t>(j)];
    const std::int64_t blocks =
        btf_l_strongcomp(n, ap.data(), ai.data(), q.data(), match.data(), r.data(), work.data());
    benchmark::DoNotOptimize(rank + blocks);
  }
}

}  // namespace

BENCHMARK(BM_PartitionKernel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BtfMaxtransStrongcomp)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
