// Time to solution and evaluations of the least-squares optimiser: the
// classic test functions from their standard starts with the engine's
// absolute tolerance and the routine's other defaults, and the NIST StRD
// regressions from both starts with the tight tolerances (relative function
// 1e-14, absolute 1e-27, step 1e-10) and with the engine's defaults. Each
// NIST run also reports its correct digits and, beside them, the figures of
// the normal-equations iteration this one replaced (counters ending "_was").
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
#include <string>

#include "workloads/nist_problems.h"

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

// Figures of the normal-equations iteration: residual and Jacobian
// evaluations, final code, correct digits and microseconds per solve (the
// better of two runs on this machine, one of them beside this iteration's).
struct Was {
  double residual_evals, jacobian_evals, code, digits, micros;
};
const std::map<std::string, Was>& Earlier() {
  static const std::map<std::string, Was> table = {
      {"NlsNist/Tight/Chwirut1/1", {15, 15, 4, 9.22, 360}},
      {"NlsNist/Tight/Chwirut1/2", {11, 11, 4, 9.33, 268}},
      {"NlsNist/Engine/Chwirut1/1", {11, 11, 4, 1.90, 268}},
      {"NlsNist/Engine/Chwirut1/2", {9, 9, 4, 2.96, 221}},
      {"NlsNist/Tight/Chwirut2/1", {13, 13, 4, 9.27, 101}},
      {"NlsNist/Tight/Chwirut2/2", {11, 11, 4, 6.81, 89}},
      {"NlsNist/Engine/Chwirut2/1", {10, 10, 4, 2.76, 78}},
      {"NlsNist/Engine/Chwirut2/2", {9, 9, 4, 4.16, 71}},
      {"NlsNist/Tight/DanWood/1", {9, 9, 4, 9.86, 11}},
      {"NlsNist/Tight/DanWood/2", {6, 6, 4, 10.33, 8}},
      {"NlsNist/Engine/DanWood/1", {7, 7, 4, 4.73, 9}},
      {"NlsNist/Engine/DanWood/2", {4, 4, 5, 6.07, 5}},
      {"NlsNist/Tight/Gauss1/1", {11, 11, 4, 7.94, 1528}},
      {"NlsNist/Tight/Gauss1/2", {11, 11, 4, 7.86, 1545}},
      {"NlsNist/Engine/Gauss1/1", {9, 9, 4, 4.01, 1267}},
      {"NlsNist/Engine/Gauss1/2", {9, 9, 4, 3.59, 1262}},
      {"NlsNist/Tight/Gauss2/1", {13, 13, 4, 9.62, 1822}},
      {"NlsNist/Tight/Gauss2/2", {11, 11, 4, 8.06, 1551}},
      {"NlsNist/Engine/Gauss2/1", {10, 10, 4, 3.31, 1394}},
      {"NlsNist/Engine/Gauss2/2", {9, 9, 4, 3.83, 1271}},
      {"NlsNist/Tight/Lanczos3/1", {92, 70, 4, 8.45, 872}},
      {"NlsNist/Tight/Lanczos3/2", {187, 134, 4, 7.07, 1629}},
      {"NlsNist/Engine/Lanczos3/1", {50, 36, 9, 0.58, 462}},
      {"NlsNist/Engine/Lanczos3/2", {50, 35, 9, 0.00, 432}},
      {"NlsNist/Tight/Misra1a/1", {29, 26, 4, 9.90, 33}},
      {"NlsNist/Tight/Misra1a/2", {9, 9, 4, 9.41, 12}},
      {"NlsNist/Engine/Misra1a/1", {28, 25, 4, 7.33, 31}},
      {"NlsNist/Engine/Misra1a/2", {7, 7, 4, 4.33, 10}},
      {"NlsNist/Tight/Misra1b/1", {23, 21, 4, 9.54, 54}},
      {"NlsNist/Tight/Misra1b/2", {12, 12, 4, 9.56, 31}},
      {"NlsNist/Engine/Misra1b/1", {22, 20, 4, 6.81, 53}},
      {"NlsNist/Engine/Misra1b/2", {11, 11, 4, 6.29, 28}},
      {"NlsNist/Tight/ENSO/1", {16, 16, 4, 6.67, 3641}},
      {"NlsNist/Tight/ENSO/2", {13, 13, 4, 6.71, 2914}},
      {"NlsNist/Engine/ENSO/1", {10, 10, 4, 1.04, 2337}},
      {"NlsNist/Engine/ENSO/2", {6, 6, 4, 1.18, 1351}},
      {"NlsNist/Tight/Gauss3/1", {13, 13, 4, 8.40, 1910}},
      {"NlsNist/Tight/Gauss3/2", {13, 13, 4, 7.72, 1835}},
      {"NlsNist/Engine/Gauss3/1", {10, 10, 4, 3.12, 1415}},
      {"NlsNist/Engine/Gauss3/2", {11, 11, 4, 4.25, 1561}},
      {"NlsNist/Tight/Hahn1/1", {27, 24, 4, 7.13, 2622}},
      {"NlsNist/Tight/Hahn1/2", {20, 20, 4, 6.61, 2161}},
      {"NlsNist/Engine/Hahn1/1", {24, 21, 4, 2.26, 2303}},
      {"NlsNist/Engine/Hahn1/2", {17, 17, 4, 1.91, 1848}},
      {"NlsNist/Tight/Kirby2/1", {17, 17, 4, 10.50, 810}},
      {"NlsNist/Tight/Kirby2/2", {11, 11, 4, 9.45, 527}},
      {"NlsNist/Engine/Kirby2/1", {13, 13, 4, 2.88, 615}},
      {"NlsNist/Engine/Kirby2/2", {9, 9, 4, 3.58, 429}},
      {"NlsNist/Tight/Lanczos1/1", {79, 63, 3, 10.56, 802}},
      {"NlsNist/Tight/Lanczos1/2", {169, 120, 8, 10.56, 1475}},
      {"NlsNist/Engine/Lanczos1/1", {50, 39, 9, 0.66, 483}},
      {"NlsNist/Engine/Lanczos1/2", {50, 35, 9, 0.08, 436}},
      {"NlsNist/Tight/Lanczos2/1", {125, 87, 4, 9.39, 1060}},
      {"NlsNist/Tight/Lanczos2/2", {142, 104, 4, 8.69, 1266}},
      {"NlsNist/Engine/Lanczos2/1", {50, 33, 9, 0.40, 435}},
      {"NlsNist/Engine/Lanczos2/2", {50, 34, 9, 0.08, 436}},
      {"NlsNist/Tight/MGH17/1", {48, 30, 8, 0.00, 636}},
      {"NlsNist/Tight/MGH17/2", {29, 22, 4, 8.37, 421}},
      {"NlsNist/Engine/MGH17/1", {48, 30, 7, 0.00, 668}},
      {"NlsNist/Engine/MGH17/2", {26, 19, 4, 3.65, 369}},
      {"NlsNist/Tight/Misra1c/1", {12, 12, 4, 10.60, 33}},
      {"NlsNist/Tight/Misra1c/2", {10, 9, 4, 9.38, 26}},
      {"NlsNist/Engine/Misra1c/1", {10, 10, 4, 5.29, 28}},
      {"NlsNist/Engine/Misra1c/2", {8, 8, 5, 8.44, 23}},
      {"NlsNist/Tight/Misra1d/1", {18, 17, 4, 10.95, 42}},
      {"NlsNist/Tight/Misra1d/2", {7, 7, 4, 9.87, 19}},
      {"NlsNist/Engine/Misra1d/1", {16, 15, 4, 5.77, 38}},
      {"NlsNist/Engine/Misra1d/2", {6, 6, 5, 7.28, 16}},
      {"NlsNist/Tight/Bennett5/1", {220, 210, 4, 9.85, 15156}},
      {"NlsNist/Tight/Bennett5/2", {17, 16, 4, 9.15, 1100}},
      {"NlsNist/Engine/Bennett5/1", {50, 41, 9, 0.91, 2935}},
      {"NlsNist/Engine/Bennett5/2", {16, 15, 5, 6.31, 1040}},
      {"NlsNist/Tight/BoxBOD/1", {27, 22, 4, 11.00, 22}},
      {"NlsNist/Tight/BoxBOD/2", {17, 16, 4, 9.21, 14}},
      {"NlsNist/Engine/BoxBOD/1", {21, 16, 4, 2.64, 17}},
      {"NlsNist/Engine/BoxBOD/2", {14, 13, 4, 3.67, 11}},
      {"NlsNist/Tight/Eckerle4/1", {28, 22, 4, 9.09, 295}},
      {"NlsNist/Tight/Eckerle4/2", {7, 7, 4, 9.51, 89}},
      {"NlsNist/Engine/Eckerle4/1", {25, 19, 5, 3.54, 265}},
      {"NlsNist/Engine/Eckerle4/2", {4, 4, 5, 3.19, 51}},
      {"NlsNist/Tight/MGH09/1", {106, 78, 4, 8.00, 469}},
      {"NlsNist/Tight/MGH09/2", {12, 10, 4, 7.85, 56}},
      {"NlsNist/Engine/MGH09/1", {50, 35, 9, 0.00, 217}},
      {"NlsNist/Engine/MGH09/2", {8, 6, 4, 2.33, 36}},
      {"NlsNist/Tight/MGH10/1", {75, 33, 8, 0.00, 304}},
      {"NlsNist/Tight/MGH10/2", {134, 122, 4, 10.92, 856}},
      {"NlsNist/Engine/MGH10/1", {33, 33, 7, 0.00, 240}},
      {"NlsNist/Engine/MGH10/2", {50, 41, 9, 0.00, 302}},
      {"NlsNist/Tight/Rat42/1", {17, 15, 4, 9.38, 68}},
      {"NlsNist/Tight/Rat42/2", {9, 9, 4, 10.31, 41}},
      {"NlsNist/Engine/Rat42/1", {15, 13, 4, 4.13, 59}},
      {"NlsNist/Engine/Rat42/2", {5, 5, 4, 3.26, 24}},
      {"NlsNist/Tight/Rat43/1", {28, 25, 4, 7.04, 287}},
      {"NlsNist/Tight/Rat43/2", {12, 12, 4, 8.95, 138}},
      {"NlsNist/Engine/Rat43/1", {24, 21, 4, 1.94, 234}},
      {"NlsNist/Engine/Rat43/2", {8, 8, 4, 2.26, 89}},
      {"NlsNist/Tight/Thurber/1", {23, 22, 4, 8.73, 446}},
      {"NlsNist/Tight/Thurber/2", {26, 24, 4, 7.81, 488}},
      {"NlsNist/Engine/Thurber/1", {19, 18, 4, 3.17, 367}},
      {"NlsNist/Engine/Thurber/2", {22, 20, 4, 3.21, 412}},
  };
  return table;
}

void SolveNist(benchmark::State& state, const std::string& name, const testsupport::Certified& cert,
               int start, bool tight) {
  const auto pb = testsupport::NistProblem(cert, start);
  testsupport::RunResult run;
  for (auto _ : state) {
    testsupport::NlsCaller caller(pb.n, pb.p);
    caller.Start(pb.x0);
    if (tight) {
      testsupport::ApplyTightTolerances(caller);
    } else {
      caller.ApplyEngineOptions(0.0, 1e-4, 1e-4, 0.0, 50);
    }
    run = testsupport::Drive(caller, pb);
    benchmark::DoNotOptimize(run.f);
  }
  state.counters["residual_evals"] = static_cast<double>(run.residual_requests);
  state.counters["jacobian_evals"] = static_cast<double>(run.jacobian_requests);
  state.counters["final_code"] = static_cast<double>(run.code);
  state.counters["digits"] = testsupport::CorrectDigits(cert, run.x);
  const auto was = Earlier().find(name);
  if (was != Earlier().end()) {
    state.counters["residual_evals_was"] = was->second.residual_evals;
    state.counters["jacobian_evals_was"] = was->second.jacobian_evals;
    state.counters["final_code_was"] = was->second.code;
    state.counters["digits_was"] = was->second.digits;
    state.counters["us_was"] = was->second.micros;
  }
}

const bool kRegistered = [] {
  for (const auto& pb : testsupport::ClassicProblems())
    benchmark::RegisterBenchmark(("NlsSolve/" + pb.name).c_str(),
                                 [pb](benchmark::State& state) { SolveClassic(state, pb); });
  for (const auto& cert : testsupport::NistDatasets()) {
    for (bool tight : {true, false}) {
      for (int start = 0; start < 2; ++start) {
        const std::string name = std::string("NlsNist/") + (tight ? "Tight/" : "Engine/") +
                                 cert.name + "/" + std::to_string(start + 1);
        benchmark::RegisterBenchmark(name.c_str(), [name, cert, start,
                                                    tight](benchmark::State& state) {
          SolveNist(state, name, cert, start, tight);
        })->Unit(benchmark::kMicrosecond);
      }
    }
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
