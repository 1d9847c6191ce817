// Time to solution and evaluations of the least-squares optimiser on the
// classic test functions from their standard starts, with the engine's
// absolute tolerance and the routine's other defaults.
#include <benchmark/benchmark.h>

#include <string>

#include "workloads/least_squares_problems.h"

namespace {

void SolveClassic(benchmark::State& state, const testsupport::LeastSquaresProblem& pb) {
  testsupport::RunResult run;
  std::int64_t iterations = 0;
  for (auto _ : state) {
    testsupport::NlsCaller caller(pb.n, pb.p);
    caller.Start(pb.x0);
    caller.V(nls::kAfctol) = 1e-20;
    run = testsupport::Drive(caller, pb);
    iterations = caller.IV(nls::kNiter);
    benchmark::DoNotOptimize(run.f);
  }
  state.counters["residual_evals"] = static_cast<double>(run.residual_requests);
  state.counters["jacobian_evals"] = static_cast<double>(run.jacobian_requests);
  state.counters["iterations"] = static_cast<double>(iterations);
  state.counters["final_code"] = static_cast<double>(run.code);
  state.counters["sum_of_squares"] = 2.0 * run.f;
}

const bool kRegistered = [] {
  for (const auto& pb : testsupport::ClassicProblems())
    benchmark::RegisterBenchmark(("NlsSolve/" + pb.name).c_str(),
                                 [pb](benchmark::State& state) { SolveClassic(state, pb); });
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
