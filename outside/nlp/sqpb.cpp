// kvs_sqpb.so: Ipopt through its C interface by reverse communication,
// with the sparse constraint Jacobian from the adapter's structure and a
// limited-memory Hessian. "MaxIterations" is Ipopt's max_iter, "OptTol" its
// tol, "OBJCVG" its acceptable_obj_change_tol, "PrintLevel" above 2 its
// print_level; Ipopt has no step limit, so "MaxAbsStep" and "MaxRelStep"
// are kept but change nothing.
#include <coin/IpStdCInterface.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "outside/framework/export.h"
#include "outside/nlp/nlp_system.h"
#include "outside/nlp/step_tables.h"

namespace kvsnlp {
namespace {

// Ipopt reads bounds beyond these as none.
constexpr double kIpoptInfinity = 1e19;
// Ipopt's own default of max_iter.
constexpr std::int32_t kIpoptIterations = 3000;
// Below this the objective is taken for unbounded, as in kvs_sqpa.
constexpr double kUnboundedObjective = -1e20;

struct Context {
  ValueCache* cache;
  const Problem* problem;
  Bridge* bridge;
  std::int32_t iterations = 0;
  double dual_infeasibility = -1.0;
  bool unbounded = false;
};

const Values* Fetch(Context* c, const Number* x, bool derivatives) {
  return c->cache->At(x, derivatives);
}

Bool EvalF(Index, Number* x, Bool, Number* f, UserDataPtr data) {
  const Values* v = Fetch(static_cast<Context*>(data), x, false);
  if (v == nullptr) return FALSE;
  *f = v->f;
  return TRUE;
}

Bool EvalGradF(Index n, Number* x, Bool, Number* grad, UserDataPtr data) {
  const Values* v = Fetch(static_cast<Context*>(data), x, true);
  if (v == nullptr) return FALSE;
  std::copy(v->grad.begin(), v->grad.begin() + n, grad);
  return TRUE;
}

Bool EvalG(Index, Number* x, Bool, Index m, Number* g, UserDataPtr data) {
  const Values* v = Fetch(static_cast<Context*>(data), x, false);
  if (v == nullptr) return FALSE;
  std::copy(v->c.begin(), v->c.begin() + m, g);
  return TRUE;
}

Bool EvalJacG(Index, Number* x, Bool, Index, Index nele, Index* rows, Index* cols, Number* values,
              UserDataPtr data) {
  auto* c = static_cast<Context*>(data);
  if (values == nullptr) {
    std::copy(c->problem->rows.begin(), c->problem->rows.begin() + nele, rows);
    std::copy(c->problem->cols.begin(), c->problem->cols.begin() + nele, cols);
    return TRUE;
  }
  const Values* v = Fetch(c, x, true);
  if (v == nullptr) return FALSE;
  std::copy(v->jac.begin(), v->jac.begin() + nele, values);
  return TRUE;
}

// Never called with a limited-memory Hessian.
Bool EvalH(Index, Number*, Bool, Number, Index, Number*, Bool, Index, Index*, Index*, Number*,
           UserDataPtr) {
  return FALSE;
}

// Counts iterations; a false answer is Ipopt's own stop request.
Bool Intermediate(Index, Index iteration, Number objective, Number inf_pr, Number inf_du, Number,
                  Number, Number, Number, Number, Index, UserDataPtr data) {
  auto* c = static_cast<Context*>(data);
  c->iterations = iteration;
  c->dual_infeasibility = inf_du;
  // Falling without end while feasible: Ipopt itself would say so only
  // once the iterates pass its divergence limit.
  if (objective < kUnboundedObjective && inf_pr < 1e-6) c->unbounded = true;
  return c->bridge->Abandoning() || c->unbounded ? FALSE : TRUE;
}

double Finite(double bound) { return std::clamp(bound, -kIpoptInfinity * 10, kIpoptInfinity * 10); }

class IpoptDriver final : public Driver {
 public:
  Outcome Run(Bridge* bridge, const Problem& p, const Settings& s) override {
    Outcome out;
    ValueCache cache(bridge, &p);
    Context context{&cache, &p, bridge};
    std::vector<double> lower(p.lower), upper(p.upper);
    std::transform(lower.begin(), lower.end(), lower.begin(), Finite);
    std::transform(upper.begin(), upper.end(), upper.begin(), Finite);
    const auto m = static_cast<std::size_t>(p.m());
    std::vector<double> g_lower(m, 0.0), g_upper(m, 0.0);
    for (std::size_t i = static_cast<std::size_t>(p.equalities); i < m; ++i) {
      g_upper[i] = kIpoptInfinity * 10;
    }
    IpoptProblem problem = CreateIpoptProblem(
        p.n, lower.data(), upper.data(), p.m(), g_lower.data(), g_upper.data(),
        static_cast<Index>(p.rows.size()), 0, 0, EvalF, EvalG, EvalGradF, EvalJacG, EvalH);
    if (problem == nullptr) {
      out.result = kBadProblem;
      return out;
    }
    Configure(problem, s);
    SetIntermediateCallback(problem, Intermediate);
    std::vector<double> x(p.start), g(m), mult_g(m), z_lower(p.start.size()),
        z_upper(p.start.size());
    double f = 0.0;
    const int code = IpoptSolve(problem, x.data(), g.data(), &f, mult_g.data(), z_lower.data(),
                                z_upper.data(), &context);
    FreeIpoptProblem(problem);
    out.result = IpoptStepResult(code);
    if (context.unbounded) out.result = kUnbounded;
    if (bridge->Abandoning()) out.result = kStopped;
    out.iterations = context.iterations;
    out.message = std::string("Ipopt ended with ") + IpoptStatusName(code);
    out.measure = context.dual_infeasibility;
    out.constraint_multipliers.resize(m);
    out.variable_multipliers.resize(x.size());
    // Ipopt's Lagrangian adds g' mult_g; ours subtracts lambda' c.
    for (std::size_t i = 0; i < m; ++i) out.constraint_multipliers[i] = -mult_g[i];
    for (std::size_t j = 0; j < x.size(); ++j) {
      out.variable_multipliers[j] = z_lower[j] - z_upper[j];
    }
    if (out.result != kStopped) Finish(&cache, p, x, false, FeasibilityTolerance(s), &out);
    out.x = x;
    return out;
  }

  static void Configure(IpoptProblem problem, const Settings& s) {
    AddIpoptStrOption(problem, const_cast<char*>("hessian_approximation"),
                      const_cast<char*>("limited-memory"));
    // The first quasi-Newton matrix from s'y / s's, not y'y / s'y: where the
    // objective is one variable and all curvature sits in the model's
    // equations (the full space), the default start overshoots along
    // curved valleys (Rosenbrock's, Colville's) without end.
    AddIpoptStrOption(problem, const_cast<char*>("limited_memory_initialization"),
                      const_cast<char*>("scalar2"));
    AddIpoptStrOption(problem, const_cast<char*>("sb"), const_cast<char*>("yes"));
    AddIpoptIntOption(problem, const_cast<char*>("print_level"),
                      s.print_level > 2 ? std::min(s.print_level, 12) : 0);
    if (s.opt_tol > 0) AddIpoptNumOption(problem, const_cast<char*>("tol"), s.opt_tol);
    if (s.max_iterations > 0) {
      AddIpoptIntOption(problem, const_cast<char*>("max_iter"), s.max_iterations);
    }
    if (s.objcvg > 0) {
      AddIpoptNumOption(problem, const_cast<char*>("acceptable_obj_change_tol"), s.objcvg);
    }
  }
};

Driver* MakeIpopt() { return new IpoptDriver(); }

}  // namespace
}  // namespace kvsnlp

extern "C" KVS_EXPORT platform::IUnknown* GetFactoryNLPSystem() {
  static const kvs::LibraryTexts texts{
      "1.0", "_KVS_SQPB", "Interior point (Ipopt) by reverse communication", "_KVS_SQPB"};
  // Ipopt's own iteration limit: a quasi-Newton interior point needs more
  // iterations than the evaluations SLSQP's 100 stand for.
  kvsnlp::Settings defaults;
  defaults.max_iterations = kvsnlp::kIpoptIterations;
  return kvsnlp::MakeNlpFactory(texts, kvsnlp::MakeIpopt, defaults);
}
