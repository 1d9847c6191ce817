#include <cmath>
#include <string>

#include "daes/blocks/block_kinds.h"
#include "daes/problem/equivalence.h"
#include "daes/problem/solver_equation.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/integrator_proxy.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "foundation/messages/su_repeats.h"
#include "solve/groups/corrector_iteration.h"
#include "solve/methods/group_solvers.h"

namespace {

// Member i of the equivalence the variable stands for.
BvuNameable* MemberOf(DAESVarTableEntry* variable, std::int32_t i) {
  auto* equivalence = dynamic_cast<DAESEquivalence*>(variable);
  return equivalence != nullptr ? equivalence->Member(i) : nullptr;
}

constexpr std::int32_t kOptAbsTol = 1;
constexpr std::int32_t kOptRelTol = 2;
constexpr std::int32_t kOptWatchGroup = 79;

Status ReportBoundFailure(DAESVarTableEntry* entry, double value, const char* side, double bound,
                          std::int32_t group) {
  BvuNameable* variable = entry;
  if (group != 0) {
    SuPrint(kExplicitBoundFailure,
            "Variable @Ns (value %14.6e)\nis outside %s bound (%14.6e). Solution of group %d is "
            "infeasible.",
            &variable, &value, side, &bound, &group);
  } else {
    SuPrint(kExplicitBoundFailure,
            "Variable @Ns (value %14.6e)\nis outside %s bound (%14.6e). Solution of group is "
            "infeasible.",
            &variable, &value, side, &bound);
  }
  SuPrint(kExplicitBoundFailure, "@Ns is equivalenced to the following variables:", &variable);
  for (std::int32_t i = 0; i < entry->MemberCount(); ++i) {
    BvuNameable* member = MemberOf(entry, i);
    if (member != nullptr) SuPrint(kExplicitBoundFailure, "    @Ns", &member);
  }
  return kExplicitBoundFailure;
}

Status ResidualAt(QLNEquation* equation, std::uint32_t mode, double* r) {
  const Status s = equation->Evaluate(mode, nullptr);
  if (status::IsFailure(s)) return s;
  equation->ResidualValue(r);
  return s;
}

}  // namespace

Status ExplicitSolve::Solve(QLNGroup* group, std::uint8_t mode, std::uint32_t request,
                            std::uint32_t, Status* status_out) {
  if (status_out != nullptr) *status_out = 1;
  DAESSingleBlock* block = group != nullptr ? group->AsSingleBlock() : nullptr;
  QLNEquation* equation = block != nullptr ? block->EquationFace() : nullptr;
  DAESVarTableEntry* x_var = block != nullptr ? block->GetVariable(0) : nullptr;
  if (equation == nullptr || x_var == nullptr) return daes::kBlockUnsupported;
  SolverOptions* options = SolverOptions::Instance();
  const std::int32_t print_level = options->GetInt(kOptPrintLevel);
  std::int32_t number = static_cast<std::int32_t>(block->GetGroupNumber());
  UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();

  // In the corrector the derivative is taken at a set-up and kept, as IDA
  // keeps its matrix; the passes between evaluate the residual alone. The
  // partner's part is kept apart: a new step size needs no evaluation.
  const double step = request != 0 && integrator != nullptr ? integrator->GetServerValue() : 0.0;
  const bool corrector = step != 0.0 && CorrectorIterationScope::Active();
  double own = 0.0;
  double partner = 0.0;
  const bool kept =
      corrector && !CorrectorIterationScope::SetUp() && block->CorrectorParts(&own, &partner);

  const std::uint32_t evaluation = mode == 0 ? 7u : 6u;
  double r = 0.0;
  const Status evaluated =
      ResidualAt(equation, kept ? evaluation & ~daes::kEvalDerivatives : evaluation, &r);
  if (status::IsFailure(evaluated)) {
    if (print_level > 0) {
      const std::string line = "Evaluation error in explicit group " + std::to_string(number);
      if (SuTellReport(line, line)) SuPrint(0, "Evaluation error in explicit group %d", &number);
    }
    return evaluated;
  }
  double lower = 0.0;
  double upper = 0.0;
  x_var->GetBounds(&lower, &upper);
  const bool watched = (integrator != nullptr && integrator->IsVerbose()) || print_level >= 2 ||
                       (print_level >= 1 && options->GetInt(kOptWatchGroup) == number);

  // In the corrector a state's derivative is (x - predicted) / step: the
  // residual's derivative for x has the derivative partner's term too.
  double derivative = 0.0;
  if (kept) {
    derivative = own + partner / step;
  } else if (step != 0.0) {
    // The residual evaluation above also gave the derivatives.
    block->EvaluateCorrectorParts(&own, &partner, true);
    derivative = own + partner / step;
    if (corrector) block->KeepCorrectorParts(own, partner);
  } else {
    block->EvaluateJacobian(&derivative, 0);
  }
  double x = x_var->GetRealValue();
  const bool indeterminate = std::fabs(derivative) < kIndeterminateDerivative;
  BvuNameable* name = x_var;
  if (print_level >= 5) {
    BvuNameable* eq = equation;
    SuPrint(0, "Explicit group %d:\nEquation in this group is: @es", &number, &eq);
    SuPrint(0, "Variable in this group is: @Ns", &name);
    SuPrint(0, "        @Ns", &name);
    for (std::int32_t i = 0; i < x_var->MemberCount(); ++i) {
      BvuNameable* member = MemberOf(x_var, i);
      if (member != nullptr) SuPrint(0, "        @Ns", &member);
    }
    SuPrint(0, "   current value = %14.6e; residual = %14.6e; derivative = %14.6e", &x, &r,
            &derivative);
  }
  // The derivative is per unit of the scaled value; x is held unscaled.
  if (!indeterminate) x -= r / (derivative * x_var->GetScale());

  // The tolerances are read only on the paths that test against them.
  auto eqn_tol = [options] { return options->GetReal(kOptEqnTol); };
  const bool below = x < lower;
  const bool above = x > upper;
  if (below || above) {
    const double t = options->GetReal(kOptRelTol) * std::fabs(x) + options->GetReal(kOptAbsTol);
    const double bound = below ? lower : upper;
    const char* side = below ? "lower" : "upper";
    if ((below && x < lower - t) || (above && x > upper + t)) {
      return ReportBoundFailure(x_var, x, side, bound, number);
    }
    const double tried = x;
    x_var->SetValue(bound);
    double at_bound = 0.0;
    const Status s = ResidualAt(equation, 7, &at_bound);
    if (status::IsFailure(s) || std::fabs(at_bound) > eqn_tol()) {
      return ReportBoundFailure(x_var, tried, side, bound, number);
    }
    if (watched) {
      double b = bound;
      SuPrint(kBoundMessageStatus, "Clipping variable @Ns with value %14.6e to bound at %14.6e",
              &name, &tried, &b);
    }
    x = bound;
  }

  if (indeterminate) {
    double now = 0.0;
    const Status s = ResidualAt(equation, 7, &now);
    if (status::IsFailure(s)) return s;
    if (std::fabs(now) > eqn_tol()) {
      const char* text =
          "Explicit group %d is badly posed. There is no value of @Ns that can satisfy the "
          "equation in the group.";
      if (IsErrorReportingOn() != 0) {
        SuPrint(kExplicitBadlyPosed, text, &number, &name);
      } else if (print_level > 1) {
        SuPrint(0, text, &number, &name);
      }
      return kExplicitBadlyPosed;
    }
    const bool already = block->HasIndeterminate();
    if (print_level >= 2 && (watched || !already)) {
      std::int32_t torn = static_cast<std::int32_t>(CurrentTornGroup());
      if (torn != 0) {
        SuPrint(0,
                "Warning: explicit sub-group %d of torn group %d contains indeterminate "
                "variable @Ns.",
                &number, &torn, &name);
      } else {
        SuPrint(0, "Warning: explicit group %d contains indeterminate variable @Ns.", &number,
                &name);
      }
    }
    if (!already) block->AddIndeterminate(x_var);
    equation->SetFlags(daes::kHasIndeterminate);
  } else if (block->HasIndeterminate()) {
    if (watched) SuPrint(0, "Explicit group %d is no longer indeterminate", &number);
    block->RemoveIndeterminate(x_var);
  }

  if (print_level >= 4) SuPrint(0, "Solution of explicit group %d is %14.6e", &number, &x);
  if (!indeterminate) x_var->SetValue(x);
  if (request != 0 && (x_var->GetFlags() & daes::kState) != 0 && integrator != nullptr) {
    const Status handed = integrator->ExchangeGroupStates(static_cast<DAESBlock*>(block));
    block->SolveNotice(1);
    return handed;
  }
  block->SolveNotice(1);
  return evaluated;
}
