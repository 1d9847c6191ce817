// HS071 as a steady-state model optimised in the full space through the
// engine (slack rows, the NLP adapter, Ipopt behind the open-solver
// interface, one step per pass) beside Ipopt solving the same NLP through
// its C interface, same run. The "ratio" counter is engine time over direct
// time.
#include <benchmark/benchmark.h>
#include <coin/IpStdCInterface.h>

#include <chrono>
#include <vector>

#include "analysis/optimisation/full_space.h"
#include "analysis/optimisation/reduced_driver.h"
#include "framework/libraries/library_api.h"
#include "solve/open/solver_loaders.h"
#include "tests/analysis/hs071_model.h"

namespace {

using optimisation_fakes::Hs071Model;

FullSpaceOptimisation::Definition Definition() {
  FullSpaceOptimisation::Definition d;
  d.objectives = {5};
  d.free = {0, 1, 2};
  d.constraints = {{2, 25.0, 4}};
  return d;
}

// One engine optimisation; the objective at its end (0 on failure).
double Engine() {
  Hs071Model model;
  FullSpaceOptimisation fs(&model, Definition(), [](Status, const std::string&) {});
  std::int32_t answer = 0;
  for (int pass = 0; pass < 5000 && answer <= 0; ++pass) {
    answer = fs.Pass(pass == 0 ? kOptFirstEvaluation : kOptEvaluated, nullptr);
  }
  return answer == 1 ? fs.Objective() : 0.0;
}

// The same NLP for Ipopt: the model's columns and one slack, the three
// model rows and the slack row g - s = 25.
struct Direct {
  Hs071Model model;
  std::vector<std::int32_t> rows, cols;
};

Bool F(Index, Number* x, Bool, Number* f, UserDataPtr) {
  *f = x[5];
  return TRUE;
}
Bool G(Index, Number* x, Bool, Index, Number* g, UserDataPtr d) {
  static_cast<Direct*>(d)->model.Evaluate(x, g, nullptr);
  g[3] = x[4] - x[6] - 25.0;
  return TRUE;
}
Bool GradF(Index n, Number*, Bool, Number* g, UserDataPtr) {
  for (Index j = 0; j < n; ++j) g[j] = j == 5 ? 1.0 : 0.0;
  return TRUE;
}
Bool Jac(Index, Number* x, Bool, Index, Index nz, Index* r, Index* c, Number* v, UserDataPtr d) {
  auto* direct = static_cast<Direct*>(d);
  if (v == nullptr) {
    for (Index k = 0; k < nz; ++k) r[k] = direct->rows[k], c[k] = direct->cols[k];
    return TRUE;
  }
  direct->model.Evaluate(x, nullptr, v);
  v[nz - 2] = 1.0;
  v[nz - 1] = -1.0;
  return TRUE;
}
Bool H(Index, Number*, Bool, Number, Index, Number*, Bool, Index, Index*, Index*, Number*,
       UserDataPtr) {
  return FALSE;
}

double Ipopt() {
  Direct d;
  d.model.Structure(&d.rows, &d.cols);
  d.rows.insert(d.rows.end(), {3, 3});
  d.cols.insert(d.cols.end(), {4, 6});
  std::vector<double> lower = {1, 1, 1, 1, -1e20, -1e20, 0};
  std::vector<double> upper = {5, 5, 5, 5, 1e20, 1e20, 1e20};
  std::vector<double> gl(4, 0.0), gu(4, 0.0);
  IpoptProblem problem =
      CreateIpoptProblem(7, lower.data(), upper.data(), 4, gl.data(), gu.data(),
                         static_cast<Index>(d.rows.size()), 0, 0, F, G, GradF, Jac, H);
  AddIpoptStrOption(problem, const_cast<char*>("hessian_approximation"),
                    const_cast<char*>("limited-memory"));
  AddIpoptStrOption(problem, const_cast<char*>("sb"), const_cast<char*>("yes"));
  AddIpoptIntOption(problem, const_cast<char*>("print_level"), 0);
  std::vector<double> x = {1, 5, 5, 1, 30, 16, 5};
  double f = 0.0;
  IpoptSolve(problem, x.data(), nullptr, &f, nullptr, nullptr, nullptr, &d);
  FreeIpoptProblem(problem);
  return f;
}

double Seconds(double (*run)(), double* objective) {
  const auto start = std::chrono::steady_clock::now();
  *objective = run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_FullSpaceHs071BesideIpopt(benchmark::State& state) {
  AddDLLSearchPath(VANTOR_KVS_DIR);
  if (LoadOpenNLPSolverForOptimisation("kvs_sqpb.dll") != 0) {
    return state.SkipWithError("kvs_sqpb not built");
  }
  double engine = 0.0, direct = 0.0, f_engine = 0.0, f_direct = 0.0;
  for (auto _ : state) {
    engine += Seconds(Engine, &f_engine);
    direct += Seconds(Ipopt, &f_direct);
  }
  ClearOpenSolvers();
  state.counters["engine_s"] = engine / static_cast<double>(state.iterations());
  state.counters["ipopt_s"] = direct / static_cast<double>(state.iterations());
  state.counters["ratio"] = engine / direct;
  state.counters["f_engine"] = f_engine;
  state.counters["f_ipopt"] = f_direct;
}
BENCHMARK(BM_FullSpaceHs071BesideIpopt)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
