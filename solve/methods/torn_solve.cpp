#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

#include "daes/blocks/block_kinds.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/integrator_proxy.h"
#include "foundation/interfaces/problem_manager_hooks.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "solve/groups/corrector_iteration.h"
#include "solve/methods/group_solvers.h"
#include "solve/options/option_descriptors.h"
#include "solve/proxies/decomposer_proxy.h"

namespace {

constexpr std::int32_t kOptRelTearTol = 3;
constexpr std::int32_t kOptAbsTearTol = 4;
constexpr std::int32_t kOptMinAcceleration = 56;
constexpr std::int32_t kOptMaxAcceleration = 57;
constexpr std::int32_t kOptWatchGroup = 79;
constexpr std::int32_t kOptMaxTearIter = 98;

std::atomic<std::uint32_t> g_torn_group{0};
std::atomic<std::uint32_t (*)()> g_first_pass_get{nullptr};
std::atomic<void (*)(std::uint32_t)> g_first_pass_set{nullptr};

bool IsVerbose() {
  UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();
  return integrator != nullptr && integrator->IsVerbose();
}

bool IsNested() {
  ProblemManagerHooks* hooks = GetProblemManagerHooks();
  return hooks != nullptr && hooks->IsNestedMode();
}

// The torn equations of the block in order, each with its torn variable.
struct TornEquation {
  DAESEqnRow* row;
  DAESVarTableEntry* variable;
};

std::vector<TornEquation> TornEquationsOf(DAESTornBlock* block) {
  std::vector<TornEquation> out;
  for (std::uint32_t i = 0; i < block->GetRowCount(); ++i) {
    QLNRow* row = block->GetRow(i);
    if ((row->GetFlags() & daes::kProcedureRow) == 0) continue;
    auto* eqn = dynamic_cast<DAESEqnRow*>(row);
    DAESVarTableEntry* v = eqn != nullptr ? eqn->OutputElement() : nullptr;
    if (v != nullptr) out.push_back({eqn, v});
  }
  return out;
}

// The block's history of `width` reals per torn variable.
double* HistoryOf(DAESTornBlock* block, std::size_t torn, std::uint32_t width) {
  if (block->TornValueCount() < torn * width) {
    if (status::IsFailure(block->AllocTornValues(width))) return nullptr;
    if (block->TornValueCount() < torn * width) return nullptr;
  }
  return block->GetTornValues();
}

}  // namespace

std::uint32_t CurrentTornGroup() { return g_torn_group.load(); }

bool TornSolve::SetUpCodes(std::int32_t phase, std::int32_t run_mode, TornSetUpCodes* out) {
  switch (phase) {
    case 0:
      *out = {3, 4, 128};
      return true;
    case 1:
      *out = {run_mode == kRunSteadyState ? 3u : 16u, 0, 128};
      return true;
    case 2:
      *out = {6, 0, 129};
      return true;
    default:
      return false;
  }
}

void SetFirstPassHook(FirstPassHook hook) {
  g_first_pass_get.store(hook.get);
  g_first_pass_set.store(hook.set);
}

Status TornSolve::SolveSubGroupsOnce(DAESTornBlock* block, std::uint32_t request,
                                     std::uint8_t mode) {
  UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();
  const bool verbose = IsVerbose();
  if (verbose) SuPrint(0, "Solving sub-groups in second level decomposition of torn group");
  auto* get = g_first_pass_get.load();
  auto* set = g_first_pass_set.load();
  const std::uint32_t first_pass = get != nullptr ? get() : 0;
  if (set != nullptr) set(0);
  g_torn_group.store(group_);
  const bool watch =
      integrator != nullptr && !verbose &&
      SolverOptions::Instance()->GetInt(kOptWatchGroup) == static_cast<std::int32_t>(group_);
  if (watch) integrator->SetVerbose(true);
  block->SetFlags(daes::kHasIndeterminate);
  Status s = daes::kNoInnerBlock;
  if (DAESSolverBlock* inner = block->InnerBlock()) {
    std::int32_t iterations = 0;
    s = inner->SolveSubGroups(mode, request >= 1 ? 1 : 0, &iterations);
    if (status::IsFailure(s)) {
      for (std::uint32_t i = 0; i < inner->GetRowCount(); ++i) {
        auto* sub = dynamic_cast<DAESBlock*>(inner->GetRow(i));
        if (sub != nullptr && !sub->IsSolved()) {
          failed_sub_group_ = sub->GetGroupNumber();
          break;
        }
      }
    }
  }
  if (watch) integrator->SetVerbose(false);
  g_torn_group.store(0);
  if (set != nullptr) set(first_pass);
  return s;
}

Status TornSolve::Solve(QLNGroup* group, std::uint8_t mode, std::uint32_t request, std::uint32_t,
                        Status* status_out) {
  if (status_out != nullptr) *status_out = 1;
  auto* block = dynamic_cast<DAESTornBlock*>(group);
  if (block == nullptr) return daes::kBlockUnsupported;
  // The tear iteration converges its inner groups whole, in a corrector
  // iteration too.
  CorrectorIterationScope whole(false, false);
  group_ = block->GetGroupNumber();
  iteration_ = 0;
  failed_sub_group_ = 0;
  SolverOptions* options = SolverOptions::Instance();
  const std::int32_t tearing = options->GetInt(kOptTearing);
  const std::int32_t phase = GetSolutionPhase();
  UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();
  bool iterate = false;
  if (tearing == 1) {
    iterate = phase == 1 || phase == 2 || (integrator != nullptr && integrator->HasCapability1());
  }
  // The second-level decomposition for this phase, made once and kept by
  // the block.
  TornSetUpCodes codes;
  if (SetUpCodes(phase, GetRunMode(), &codes)) {
    ExternalBlockDecomposer decomposer(codes.kind, codes.variant, codes.mode, 0, 0);
    Status set_up = 0;
    block->DecomposeExternally(&decomposer, &set_up);
    if (status::IsFailure(set_up)) return set_up;
  }
  const std::int32_t print_level = options->GetInt(kOptPrintLevel);
  std::int32_t number = static_cast<std::int32_t>(group_);
  Status last = 0;
  if (tearing == 1 || (tearing == 2 && phase == 1)) {
    if (IsVerbose()) SuPrint(0, "Updating torn output variables");
    last = UpdateTornVariables(block);
    if (status::IsFailure(last)) return last;
  }
  const double abs_tol = options->GetReal(kOptAbsTearTol);
  const double rel_tol = options->GetReal(kOptRelTearTol);
  std::int32_t max_iter = options->GetInt(kOptMaxTearIter);
  if (max_iter < 0) {
    TellOptionNotUsed("torn group solver", kOptMaxTearIter, max_iter, "0");
    max_iter = 0;
  }
  if (IsVerbose()) {
    if (iterate) {
      SuPrint(0, "Solving torn group %d: iterate until convergence", &number);
    } else {
      SuPrint(0, "Solving torn group %d: solve torn variables once only", &number);
    }
  }
  auto sub_group_failed = [&](Status s) {
    std::int32_t sub = static_cast<std::int32_t>(failed_sub_group_);
    const char* text = "Torn group %d failed to solve due to failure of solution of sub-group %d";
    if (IsErrorReportingOn() != 0) {
      SuPrint(kTornNotConverged, text, &number, &sub);
    } else if (print_level >= 1) {
      SuPrint(0, text, &number, &sub);
    }
    return s;
  };
  const bool report =
      IsVerbose() || (print_level >= 2 && (phase == 1 || phase == 2) && !IsNested());
  double norm = 0.0;
  if (!iterate) {
    last = SolveSubGroupsOnce(block, request, mode);
    if (status::IsFailure(last)) return sub_group_failed(last);
  } else {
    block->SolveNotice(0);
    const std::vector<TornEquation> torn = TornEquationsOf(block);
    std::vector<double> h0(torn.size());
    for (std::size_t i = 0; i < torn.size(); ++i) h0[i] = torn[i].variable->GetRealValue();
    // The tear norm takes each change over |x| + RelTearTol / AbsTearTol,
    // the measure that existing models' tolerances were tuned against.
    const double offset = abs_tol > 0.0 ? rel_tol / abs_tol : 0.0;
    for (;;) {
      const bool more = norm > rel_tol && static_cast<std::int32_t>(iteration_) < max_iter;
      if (!more && iteration_ > 1) break;
      ++iteration_;
      last = SolveSubGroupsOnce(block, request, mode);
      if (status::IsFailure(last)) return sub_group_failed(last);
      norm = 0.0;
      BvuNameable* worst = nullptr;
      double worst_value = 0.0;
      for (std::size_t i = 0; i < torn.size(); ++i) {
        const double x = torn[i].variable->GetRealValue();
        const double denominator = std::fabs(x) + offset;
        double change = std::fabs(x - h0[i]);
        if (denominator > 0.0) change /= denominator;
        if (change > norm || worst == nullptr) {
          norm = std::max(norm, change);
          worst = torn[i].variable;
          worst_value = x;
        }
        h0[i] = x;
      }
      if (norm > rel_tol || iteration_ == 1) {
        if (IsVerbose()) SuPrint(0, "Updating torn output variables");
        const Status u = UpdateTornVariables(block);
        if (status::IsFailure(u)) return u;
      }
      if (report && iteration_ >= 2) {
        std::int32_t k = static_cast<std::int32_t>(iteration_);
        if (norm > 0.0 && worst != nullptr) {
          SuPrint(0, "Tear iteration %d complete, variable @ns", &k, &worst);
          SuPrint(0, "is now %14.6e after a step causing a norm of %14.6e", &worst_value, &norm);
        } else if (norm == 0.0 && iteration_ >= 3) {
          SuPrint(0, "Tear iteration %d complete (tear norm is zero)", &k);
        }
      }
    }
  }
  // Judged by the last tear norm; the once-only path has nothing to judge.
  if (!iterate || norm <= rel_tol) {
    if (report) {
      double r = rel_tol;
      double a = abs_tol;
      SuPrint(0, "Torn variables converged to relative tolerance %g and absolute tolerance %g", &r,
              &a);
    }
    block->SolveNotice(1);
    return last;
  }
  std::int32_t limit = max_iter;
  const char* text = "Torn group %d failed to converge; exceeded maximum of %d tear iterations";
  if (IsErrorReportingOn() != 0) {
    SuPrint(kTornNotConverged, text, &number, &limit);
  } else if (print_level >= 2) {
    SuPrint(0, text, &number, &limit);
  }
  return kTornNotConverged;
}

Status TornSolve::UpdateTornVariables(DAESTornBlock* block) {
  const std::int32_t print_level = SolverOptions::Instance()->GetInt(kOptPrintLevel);
  if (print_level >= 3) SuPrint(0, "Using direct substitution to update torn output variables...");
  Status last = 0;
  DAESEqnRow* previous = nullptr;
  for (const TornEquation& t : TornEquationsOf(block)) {
    if (t.row->SharesEvaluation(previous)) {
      t.row->TakeSharedResult();
    } else {
      if (print_level >= 3) {
        BvuNameable* e = t.row;
        SuPrint(0, "Evaluating torn equation @es", &e);
      }
      last = t.row->Evaluate(131, nullptr);
      if (status::IsFailure(last)) return last;
    }
    previous = t.row;
    t.row->UpdateTornOutput();
    if (print_level >= 5) {
      double v = t.variable->GetRealValue();
      BvuNameable* n = t.variable;
      SuPrint(0, "Torn output value is %14.6e for @Ns", &v, &n);
    }
  }
  (void)reserve_;
  return last;
}

Status WegsteinStrategy::UpdateTornVariables(DAESTornBlock* block) {
  SolverOptions* options = SolverOptions::Instance();
  const std::int32_t print_level = options->GetInt(kOptPrintLevel);
  const std::vector<TornEquation> torn = TornEquationsOf(block);
  double* history = HistoryOf(block, torn.size(), 4);
  if (history == nullptr && !torn.empty()) return daes::kBlockOutOfMemory;
  const double qmin = options->GetReal(kOptMinAcceleration);
  const double qmax = options->GetReal(kOptMaxAcceleration);
  const std::uint32_t k = iteration_;
  double count = 0.0;
  double sum = 0.0;
  double squares = 0.0;
  Status last = 0;
  std::size_t done = 0;
  for (; done < torn.size(); ++done) {
    const TornEquation& t = torn[done];
    BvuNameable* name = t.variable;
    if (done > 0 && t.row->SharesEvaluation(torn[done - 1].row)) {
      t.row->TakeSharedResult();
    } else {
      if (print_level >= 4) {
        BvuNameable* e = t.row;
        SuPrint(0, "Evaluating torn equation @es", &e);
      }
      last = t.row->Evaluate(3, nullptr);
      if (status::IsFailure(last)) {
        if (print_level > 0)
          SuPrint(0, "Wegstein: evaluation error; cannot accelerate variable @ns", &name);
        break;
      }
    }
    double* h = history + 4 * done;
    const double x = t.variable->GetRealValue();
    double r = 0.0;
    t.row->ResidualValue(&r);
    const double g = x - r;
    const double d = g - x;
    if (k <= 1) {
      h[1] = x;
      h[2] = d;
      t.variable->SetValue(g);
      if (print_level >= 4) {
        SuPrint(0, "Wegstein: direct substitution applied to torn variable @ns", &name);
      }
      continue;
    }
    double q = qmin;
    if (std::fabs(g - h[1]) > 1e-10) {
      const double s = (d - h[2]) / (g - h[1]);
      if (std::fabs(s) > 0.05) q = (s + 1.0) / s;
    }
    if (std::fabs(d) > 1e-5 && q != 0.0) {
      count += 1.0;
      sum += q;
      squares += q * q;
    }
    h[3] = std::min(std::max(qmin, q), qmax);
    h[2] = d;
    h[1] = x;
  }
  if (k >= 2) {
    // Rounding can make the radicand slightly negative.
    spread_ = std::sqrt(std::max(0.0, count * squares - sum * sum)) / std::max(count, 1.0);
    if (print_level >= 5) SuPrint(0, "Wegstein: RMS Norm based on acceleration Q = %e", &spread_);
    const bool direct = spread_ > 0.05;
    if (print_level >= 3) {
      SuPrint(0, direct ? "Wegstein: Applying direct substitution"
                        : "Wegstein: Applying Wegstein acceleration...");
    }
    for (std::size_t i = 0; i < done; ++i) {
      double* h = history + 4 * i;
      double value = direct ? h[1] + h[2] : h[1] + (1.0 - h[3]) * h[2];
      torn[i].variable->SetValue(value);
      if (!direct && print_level >= 4) {
        BvuNameable* name = torn[i].variable;
        SuPrint(0, "Wegstein: update torn variable @ns", &name);
        SuPrint(0, "@3xPrevious=%14.6e; Wegstein=%14.6e (Acceleration=%g)", &h[1], &value, &h[3]);
      }
    }
  }
  return last;
}
