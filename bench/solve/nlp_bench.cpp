// The NLP libraries' bridge: a Hock-Schittkowski problem solved through
// the optimiser proxy (engine thread and worker handing over at every
// evaluation) beside NLopt's SLSQP and Ipopt called directly on the same
// problem, same run. Time per problem and per evaluation; the ratio of the
// bridged to the direct time is the bridge's cost.
#include <benchmark/benchmark.h>
#include <coin/IpStdCInterface.h>
#include <nlopt.h>

#include <algorithm>
#include <vector>

#include "framework/libraries/library_api.h"
#include "solve/methods/open_solvers.h"
#include "solve/optimisers/kvs_optimisers.h"
#include "tests/solve/hs_problems.h"

namespace {

const hs::Problem& Pick(std::int64_t k) {
  static const std::vector<hs::Problem> all = hs::All();
  return all[static_cast<std::size_t>(k)];
}

// The whole Run loop of one optimisation; the number of evaluations.
int Drive(QLNDenseOptimiser& opt, const hs::Problem& p) {
  const auto n = static_cast<std::size_t>(p.n);
  const auto m = static_cast<std::size_t>(p.m());
  std::vector<double> x(p.start), bounds(p.lower), c(m), gradients((1 + m) * n), jac(m * n);
  bounds.insert(bounds.end(), p.upper.begin(), p.upper.end());
  DenseOptimiserCall call;
  call.point = x.data();
  call.bounds = bounds.data();
  call.constraints = c.data();
  call.gradients = gradients.data();
  call.gradient_rows = p.n;
  call.max_iterations = 2000;
  call.tolerance = 1e-10;
  call.mode = kOptimiserStart;
  int evaluations = 0;
  while (opt.Run(call) <= 0) {
    p.Evaluate(x.data(), &call.objective, c.data(), gradients.data(), jac.data());
    std::copy(jac.begin(), jac.end(), gradients.begin() + static_cast<std::ptrdiff_t>(n));
    call.mode = 0;
    ++evaluations;
  }
  return evaluations;
}

template <class Proxy>
void Bridged(benchmark::State& state) {
  AddDLLSearchPath(VANTOR_KVS_DIR);
  const hs::Problem& p = Pick(state.range(0));
  Proxy proxy(NlpProblemSizes{kRunOptimisation, p.equalities, p.m(), p.n, nullptr});
  if (proxy.Create() != 0) return state.SkipWithError("library not built");
  const double tol = 1e-10;
  proxy.PassSetting("OptTol", kKvsReal, &tol);
  int evaluations = 0;
  for (auto _ : state) evaluations += Drive(proxy, p);
  state.counters["evaluations"] = evaluations / static_cast<double>(state.iterations());
  state.counters["per_evaluation"] =
      benchmark::Counter(evaluations, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetLabel(p.name);
}

struct Counted {
  const hs::Problem* p;
  int evaluations = 0;
};

double Objective(unsigned n, const double* x, double* grad, void* data) {
  auto* c = static_cast<Counted*>(data);
  ++c->evaluations;
  double f = 0.0;
  std::vector<double> g(n), cv(static_cast<std::size_t>(c->p->m())), jac(cv.size() * n);
  c->p->Evaluate(x, &f, cv.data(), g.data(), jac.data());
  if (grad != nullptr) std::copy(g.begin(), g.end(), grad);
  return f;
}

void Rows(const hs::Problem& p, int first, double sign, unsigned m, double* r, unsigned n,
          const double* x, double* grad) {
  std::vector<double> c(static_cast<std::size_t>(p.m())), jac(c.size() * n);
  p.Evaluate(x, nullptr, c.data(), nullptr, jac.data());
  for (unsigned i = 0; i < m; ++i) {
    r[i] = sign * c[first + i];
    for (unsigned j = 0; j < n && grad != nullptr; ++j) {
      grad[i * n + j] = sign * jac[(first + i) * n + j];
    }
  }
}

void DirectSlsqp(benchmark::State& state) {
  const hs::Problem& p = Pick(state.range(0));
  int evaluations = 0;
  for (auto _ : state) {
    Counted data{&p};
    nlopt_opt opt = nlopt_create(NLOPT_LD_SLSQP, static_cast<unsigned>(p.n));
    nlopt_set_lower_bounds(opt, p.lower.data());
    nlopt_set_upper_bounds(opt, p.upper.data());
    nlopt_set_min_objective(opt, Objective, &data);
    const std::vector<double> tol(static_cast<std::size_t>(std::max(p.m(), 1)), 1e-8);
    auto eq = [](unsigned m, double* r, unsigned n, const double* x, double* g, void* d) {
      Rows(*static_cast<Counted*>(d)->p, 0, 1.0, m, r, n, x, g);
    };
    auto in = [](unsigned m, double* r, unsigned n, const double* x, double* g, void* d) {
      const hs::Problem& q = *static_cast<Counted*>(d)->p;
      Rows(q, q.equalities, -1.0, m, r, n, x, g);
    };
    if (p.equalities > 0) nlopt_add_equality_mconstraint(opt, p.equalities, eq, &data, tol.data());
    if (p.inequalities > 0) {
      nlopt_add_inequality_mconstraint(opt, p.inequalities, in, &data, tol.data());
    }
    nlopt_set_ftol_rel(opt, 1e-10);
    nlopt_set_xtol_rel(opt, 1e-10);
    nlopt_set_maxeval(opt, 2000);
    std::vector<double> x(p.start);
    double f = 0.0;
    nlopt_optimize(opt, x.data(), &f);
    nlopt_destroy(opt);
    evaluations += data.evaluations;
  }
  state.counters["evaluations"] = evaluations / static_cast<double>(state.iterations());
  state.counters["per_evaluation"] =
      benchmark::Counter(evaluations, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetLabel(p.name);
}

Bool IpF(Index, Number* x, Bool, Number* f, UserDataPtr d) {
  auto* c = static_cast<Counted*>(d);
  ++c->evaluations;
  c->p->Evaluate(x, f, nullptr, nullptr, nullptr);
  return TRUE;
}
Bool IpG(Index, Number* x, Bool, Index, Number* g, UserDataPtr d) {
  static_cast<Counted*>(d)->p->Evaluate(x, nullptr, g, nullptr, nullptr);
  return TRUE;
}
Bool IpGradF(Index, Number* x, Bool, Number* g, UserDataPtr d) {
  static_cast<Counted*>(d)->p->Evaluate(x, nullptr, nullptr, g, nullptr);
  return TRUE;
}
Bool IpJac(Index n, Number* x, Bool, Index m, Index, Index* r, Index* c, Number* v, UserDataPtr d) {
  if (v == nullptr) {
    for (Index i = 0; i < m; ++i) {
      for (Index j = 0; j < n; ++j) r[i * n + j] = i, c[i * n + j] = j;
    }
    return TRUE;
  }
  static_cast<Counted*>(d)->p->Evaluate(x, nullptr, nullptr, nullptr, v);
  return TRUE;
}
Bool IpH(Index, Number*, Bool, Number, Index, Number*, Bool, Index, Index*, Index*, Number*,
         UserDataPtr) {
  return FALSE;
}

void DirectIpopt(benchmark::State& state) {
  const hs::Problem& p = Pick(state.range(0));
  const int n = p.n, m = p.m();
  std::vector<double> lower(p.lower), upper(p.upper), gl(static_cast<std::size_t>(m), 0.0),
      gu(static_cast<std::size_t>(m), 0.0);
  for (double& v : lower) v = std::max(v, -1e20);
  for (double& v : upper) v = std::min(v, 1e20);
  for (int i = p.equalities; i < m; ++i) gu[static_cast<std::size_t>(i)] = 1e20;
  int evaluations = 0;
  for (auto _ : state) {
    Counted data{&p};
    IpoptProblem problem =
        CreateIpoptProblem(n, lower.data(), upper.data(), m, gl.data(), gu.data(), n * m, 0, 0, IpF,
                           IpG, IpGradF, IpJac, IpH);
    AddIpoptStrOption(problem, const_cast<char*>("hessian_approximation"),
                      const_cast<char*>("limited-memory"));
    AddIpoptStrOption(problem, const_cast<char*>("sb"), const_cast<char*>("yes"));
    AddIpoptIntOption(problem, const_cast<char*>("print_level"), 0);
    AddIpoptNumOption(problem, const_cast<char*>("tol"), 1e-10);
    AddIpoptIntOption(problem, const_cast<char*>("max_iter"), 100);
    std::vector<double> x(p.start);
    double f = 0.0;
    IpoptSolve(problem, x.data(), nullptr, &f, nullptr, nullptr, nullptr, &data);
    FreeIpoptProblem(problem);
    evaluations += data.evaluations;
  }
  state.counters["evaluations"] = evaluations / static_cast<double>(state.iterations());
  state.counters["per_evaluation"] =
      benchmark::Counter(evaluations, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetLabel(p.name);
}

// HS071 and HS076.
BENCHMARK(Bridged<QLNKVSSqpaProxy>)->Arg(10)->Arg(11)->Unit(benchmark::kMicrosecond);
BENCHMARK(DirectSlsqp)->Arg(10)->Arg(11)->Unit(benchmark::kMicrosecond);
BENCHMARK(Bridged<QLNKVSSqpbProxy>)->Arg(10)->Arg(11)->Unit(benchmark::kMicrosecond);
BENCHMARK(DirectIpopt)->Arg(10)->Arg(11)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
