// kvs_sqpa.so: NLopt's SLSQP by reverse communication. "MaxIterations"
// bounds the evaluations, "OptTol" is the relative tolerance on the
// objective and the point and (not below 1e-6) the constraint violation a
// converged point may keep, "OBJCVG" the absolute one on the objective;
// SLSQP has no step limit, so "MaxAbsStep" and "MaxRelStep" are kept but
// change nothing. NLopt gives no multipliers: they are estimated at the
// end from the active constraints and bounds. A point the engine cannot
// evaluate cuts the step, as a failed evaluation does in SQPB.
#include <nlopt.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "outside/framework/export.h"
#include "outside/nlp/nlp_system.h"
#include "outside/nlp/step_tables.h"

namespace kvsnlp {
namespace {

// Below this the objective is taken for unbounded.
constexpr double kUnboundedObjective = -1e20;

// A bound beyond this is none, as Ipopt reads it in kvs_sqpb.
constexpr double kNoBound = 1e19;

// Runs from the last iterate after a stop short of the constraints.
constexpr int kRestarts = 5;

// The least stationarity a point is held to, absolute: SLSQP's steps end
// about there where the objective's minimum is 0 (its small-change stop is
// relative), and gradients from values solved to a model's tolerance carry
// errors of that order.
constexpr double kStationaryFloor = 1e-3;

// Points in a row the engine may fail to evaluate before the run gives up.
constexpr int kMaxFailedPoints = 20;

struct Context {
  Bridge* bridge;
  ValueCache* cache;
  const Problem* problem;
  nlopt_opt opt;
  bool stopped = false;
  int failures = 0;
  bool evaluated = false;      // some point had values
  std::vector<double> failed;  // the last point the engine could not evaluate
};

// Null where there are no values. A point the engine could not evaluate
// (its model has no solution there) has an infinite objective, on which
// SLSQP's line search cuts the step; an abandoned run, or one failing
// point after point, stops.
const Values* Fetch(Context* c, const double* x, bool derivatives) {
  if (c->stopped) return nullptr;
  const auto n = static_cast<std::size_t>(c->problem->n);
  if (!c->failed.empty() && std::equal(x, x + n, c->failed.begin())) return nullptr;
  const Values* v = c->cache->At(x, derivatives);
  if (v != nullptr) {
    c->failures = 0;
    c->evaluated = true;
    return v;
  }
  if (c->bridge->Abandoning() || ++c->failures > kMaxFailedPoints) {
    c->stopped = true;
    nlopt_force_stop(c->opt);
  } else {
    c->failed.assign(x, x + n);
  }
  return nullptr;
}

double Objective(unsigned n, const double* x, double* grad, void* data) {
  auto* c = static_cast<Context*>(data);
  const Values* v = Fetch(c, x, grad != nullptr);
  if (v == nullptr) return HUGE_VAL;
  if (grad != nullptr) std::copy(v->grad.begin(), v->grad.begin() + n, grad);
  return v->f;
}

// Rows [first, first + m) of c(x) >= 0 as NLopt wants them: equalities
// h = c, inequalities fc = -c <= 0.
void Rows(Context* c, std::int32_t first, double sign, unsigned m, double* result, unsigned n,
          const double* x, double* grad) {
  const Values* v = Fetch(c, x, grad != nullptr);
  if (v == nullptr) {
    std::fill(result, result + m, 0.0);
    return;
  }
  for (unsigned i = 0; i < m; ++i) result[i] = sign * v->c[first + i];
  if (grad == nullptr) return;
  std::fill(grad, grad + std::size_t(m) * n, 0.0);
  const Problem& p = *c->problem;
  for (std::size_t k = 0; k < p.rows.size(); ++k) {
    const std::int32_t row = p.rows[k] - first;
    if (row < 0 || row >= static_cast<std::int32_t>(m)) continue;
    grad[std::size_t(row) * n + std::size_t(p.cols[k])] += sign * v->jac[k];
  }
}

void Equalities(unsigned m, double* result, unsigned n, const double* x, double* grad, void* data) {
  Rows(static_cast<Context*>(data), 0, 1.0, m, result, n, x, grad);
}

void Inequalities(unsigned m, double* result, unsigned n, const double* x, double* grad,
                  void* data) {
  auto* c = static_cast<Context*>(data);
  Rows(c, c->problem->equalities, -1.0, m, result, n, x, grad);
}

class SlsqpDriver final : public Driver {
 public:
  Outcome Run(Bridge* bridge, const Problem& p, const Settings& s) override {
    Outcome out;
    ValueCache cache(bridge, &p);
    nlopt_opt opt = nlopt_create(NLOPT_LD_SLSQP, static_cast<unsigned>(p.n));
    if (opt == nullptr) {
      out.result = kFailed;
      return out;
    }
    Context context{bridge, &cache, &p, opt, false, 0, false, {}};
    Configure(opt, p, s, &context);
    std::vector<double> x(p.start);
    double f = 0.0;
    nlopt_result code = nlopt_optimize(opt, x.data(), &f);
    int evaluations = nlopt_get_numevals(opt);
    const double feasibility = FeasibilityTolerance(s);
    // NLopt stops on a small change of objective or point whether or not
    // the point is feasible, and at a loose tolerance SLSQP's iterates can
    // still be closing on the constraints from outside: an SQP has not
    // converged there, so it goes on from its last iterate.
    // A stop on a small change of objective or point says only that the
    // last steps were small: a stale quasi-Newton matrix or a cut line
    // search stops SLSQP as well, the start point included, and so does a
    // crawl along a curved valley. The run goes on afresh from there while
    // the point is not stationary.
    for (int again = 0;
         again < kRestarts && (StoppedShort(p, cache.Last(), code, feasibility) ||
                               (SmallChange(code) && !Stationary(p, cache.Last(), s)));
         ++again) {
      if (s.max_iterations > 0) {
        if (evaluations >= s.max_iterations) break;
        nlopt_set_maxeval(opt, s.max_iterations - evaluations);
      }
      x = cache.Last().x;
      // The same small change would end the new run after a step or two
      // (an objective far from 0 makes a relative change small whatever
      // the step did): it goes on until its steps are small.
      nlopt_set_ftol_rel(opt, 0.0);
      code = nlopt_optimize(opt, x.data(), &f);
      evaluations += nlopt_get_numevals(opt);
    }
    TakeLastIterate(p, cache.Last(), code, f, feasibility, &x);
    out.result = SlsqpStepResult(code, nlopt_get_errmsg(opt));
    if (code == NLOPT_FORCED_STOP && !bridge->Abandoning()) out.result = kEvaluationFailed;
    // No end at a point without values, whatever NLopt says of it.
    if (out.result != kStopped && (!context.evaluated || x == context.failed)) {
      out.result = kEvaluationFailed;
    }
    const char* said = nlopt_get_errmsg(opt);
    out.message = std::string("SLSQP ended with ") + nlopt_result_to_string(code) +
                  (said != nullptr ? std::string(": ") + said : std::string());
    out.iterations = evaluations;
    nlopt_destroy(opt);
    if (out.result != kStopped && out.result != kEvaluationFailed) {
      Finish(&cache, p, x, true, feasibility, &out);
      if (out.result == kConverged && SmallChange(code) &&
          out.measure > StationaryTolerance(s, cache.Last().f)) {
        out.result = kAccuracyLimit;
        out.message = "SLSQP stopped on a small change away from a stationary point";
      }
    } else {
      out.x = x;
    }
    return out;
  }

  static bool Converged(nlopt_result code) {
    return code == NLOPT_SUCCESS || code == NLOPT_FTOL_REACHED || code == NLOPT_XTOL_REACHED;
  }

  static bool SmallChange(nlopt_result code) {
    return code == NLOPT_FTOL_REACHED || code == NLOPT_XTOL_REACHED;
  }

  // The largest first-order optimality residual (projected on the active
  // bounds and constraints) a point may keep and count as stationary: OptTol
  // of the objective's size there (at least 1), or the floor. Nothing
  // from elsewhere enters: a steep start, or a root of OptTol, would excuse
  // a point where the run only crawls, as along a curved valley past a
  // saddle, where no step lowers the objective by OptTol of itself. Nor is
  // the floor scaled: by HS038's saddle, f = 7.9, it would pass a gradient
  // of 3.5e-3 where a descent goes on to f = 0.
  static double StationaryTolerance(const Settings& s, double f) {
    return std::max(s.opt_tol * std::max(1.0, std::fabs(f)), kStationaryFloor);
  }

  // True also where there is nothing to judge by.
  static bool Stationary(const Problem& p, const Values& last, const Settings& s) {
    if (!last.derivatives || last.x.size() != static_cast<std::size_t>(p.n)) return true;
    Outcome probe;
    EstimateMultipliers(p, last, FeasibilityTolerance(s), &probe);
    return probe.measure <= StationaryTolerance(s, last.f);
  }

  static bool StoppedShort(const Problem& p, const Values& last, nlopt_result code,
                           double feasibility) {
    return Converged(code) && last.functions && last.x.size() == static_cast<std::size_t>(p.n) &&
           std::isfinite(last.f) && Infeasibility(p, last) > feasibility;
  }

  // NLopt hands back the best point it found feasible to its constraint
  // tolerance (1e-8). An iterate that closes on an active constraint from
  // outside stays a shade outside it, and values solved only to the
  // model's equation tolerance scatter about it, so on convergence that
  // can be the start point. The last iterate, feasible to `feasibility`
  // and better, is the optimum SLSQP converged to.
  static void TakeLastIterate(const Problem& p, const Values& last, nlopt_result code, double f,
                              double feasibility, std::vector<double>* x) {
    if (code <= 0 || code == NLOPT_MAXEVAL_REACHED || code == NLOPT_MAXTIME_REACHED) return;
    if (!last.functions || last.x.size() != x->size() || last.x == *x) return;
    if (!std::isfinite(last.f) || Infeasibility(p, last) > feasibility) return;
    if (last.f < f) *x = last.x;
  }

  // The same settings for a direct run in the tests.
  static void Configure(nlopt_opt opt, const Problem& p, const Settings& s, void* data) {
    // An engine variable without bounds reports +-1.5e308: as finite bounds
    // they overflow SLSQP's subproblem, whose steps then go nowhere.
    std::vector<double> lower(p.lower), upper(p.upper);
    for (double& b : lower) b = b <= -kNoBound ? -HUGE_VAL : b;
    for (double& b : upper) b = b >= kNoBound ? HUGE_VAL : b;
    nlopt_set_lower_bounds(opt, lower.data());
    nlopt_set_upper_bounds(opt, upper.data());
    nlopt_set_min_objective(opt, Objective, data);
    const std::vector<double> tol(static_cast<std::size_t>(std::max(p.m(), 1)), 1e-8);
    if (p.equalities > 0) {
      nlopt_add_equality_mconstraint(opt, static_cast<unsigned>(p.equalities), Equalities, data,
                                     tol.data());
    }
    if (p.inequalities > 0) {
      nlopt_add_inequality_mconstraint(opt, static_cast<unsigned>(p.inequalities), Inequalities,
                                       data, tol.data());
    }
    if (s.opt_tol > 0) {
      nlopt_set_ftol_rel(opt, s.opt_tol);
      nlopt_set_xtol_rel(opt, s.opt_tol);
    }
    if (s.objcvg > 0) nlopt_set_ftol_abs(opt, s.objcvg);
    if (s.max_iterations > 0) nlopt_set_maxeval(opt, s.max_iterations);
    nlopt_set_stopval(opt, kUnboundedObjective);
  }
};

Driver* MakeSlsqp() { return new SlsqpDriver(); }

}  // namespace
}  // namespace kvsnlp

extern "C" KVS_EXPORT platform::IUnknown* GetFactoryNLPSystem() {
  static const kvs::LibraryTexts texts{"1.0", "_KVS_SQPA",
                                       "SQP (NLopt SLSQP) by reverse communication", "_KVS_SQPA"};
  return kvsnlp::MakeNlpFactory(texts, kvsnlp::MakeSlsqp, kvsnlp::Settings{});
}
