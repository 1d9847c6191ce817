#include "solve/groups/direct_corrector.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "daes/blocks/solver_block.h"
#include "daes/model/var_table_entry.h"
#include "daes/model/variable.h"
#include "daes/problem/solver_equation.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/integrator_proxy.h"
#include "solve/groups/corrector_iteration.h"
#include "solve/groups/eso_group.h"
#include "solve/ifaces/kvs_nonlinear.h"
#include "solve/open/kvs_proxies.h"
#include "solve/options/solver_option_table.h"

namespace {

// A scaled pivot below this is left to the framework, whose own rank test
// then decides at the same floor.
constexpr double kPivotFloor = kKvsRankFloor;

bool AllFinite(const std::vector<double>& v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

}  // namespace

bool FactoriseEquilibrated(std::int32_t n, double* a, std::int32_t* pivots, double* row_scale,
                           double* col_scale, double floor) {
  const auto at = [&](std::int32_t r, std::int32_t k) -> double& { return a[r * n + k]; };
  for (std::int32_t r = 0; r < n; ++r) {
    double m = 0.0;
    for (std::int32_t k = 0; k < n; ++k) m = std::max(m, std::fabs(at(r, k)));
    if (!(m > 0.0) || !std::isfinite(m)) return false;
    row_scale[r] = 1.0 / m;
    for (std::int32_t k = 0; k < n; ++k) at(r, k) *= row_scale[r];
  }
  for (std::int32_t k = 0; k < n; ++k) {
    double m = 0.0;
    for (std::int32_t r = 0; r < n; ++r) m = std::max(m, std::fabs(at(r, k)));
    if (!(m > 0.0)) return false;
    col_scale[k] = 1.0 / m;
    for (std::int32_t r = 0; r < n; ++r) at(r, k) *= col_scale[k];
  }
  for (std::int32_t k = 0; k < n; ++k) {
    std::int32_t p = k;
    for (std::int32_t r = k + 1; r < n; ++r)
      if (std::fabs(at(r, k)) > std::fabs(at(p, k))) p = r;
    if (!(std::fabs(at(p, k)) >= floor)) return false;
    pivots[k] = p;
    if (p != k)
      for (std::int32_t j = 0; j < n; ++j) std::swap(at(k, j), at(p, j));
    for (std::int32_t r = k + 1; r < n; ++r) {
      const double l = at(r, k) / at(k, k);
      at(r, k) = l;
      for (std::int32_t j = k + 1; j < n; ++j) at(r, j) -= l * at(k, j);
    }
  }
  return true;
}

void SolveEquilibrated(std::int32_t n, const double* lu, const std::int32_t* pivots,
                       const double* row_scale, const double* col_scale, const double* b,
                       double* x) {
  double t[DirectCorrector::kLargest];
  for (std::int32_t r = 0; r < n; ++r) t[r] = row_scale[r] * b[r];
  for (std::int32_t k = 0; k < n; ++k) std::swap(t[k], t[pivots[k]]);
  for (std::int32_t r = 1; r < n; ++r)
    for (std::int32_t k = 0; k < r; ++k) t[r] -= lu[r * n + k] * t[k];
  for (std::int32_t r = n - 1; r >= 0; --r) {
    for (std::int32_t k = r + 1; k < n; ++k) t[r] -= lu[r * n + k] * t[k];
    t[r] /= lu[r * n + r];
  }
  for (std::int32_t k = 0; k < n; ++k) x[k] = col_scale[k] * t[k];
}

void DirectCorrector::BeginPass(std::size_t count) {
  c_read_ = false;
  const SolverOptionTable* table = SolverOptionTable::Existing();
  generation_ = table != nullptr ? table->Generation() : 0;
  if (entries_.size() != count) {
    entries_.assign(count, Entry{});
    store_.clear();
    pivot_store_.clear();
    equations_.clear();
    variables_.clear();
  }
}

double DirectCorrector::Coefficient() {
  if (!c_read_) {
    c_read_ = true;
    c_ = 0.0;
    if (UnifiedIntegratorProxy* integrator = GetCurrentIntegrator()) {
      const double h = integrator->GetServerValue();
      c_ = h != 0.0 ? 1.0 / h : 1.0;
    }
  }
  return c_;
}

void DirectCorrector::FetchAhead(std::size_t i) const {
  // Fetched in stages, each from what the one before brought: three groups
  // ahead the objects, two ahead what they point to, one ahead the tapes.
  const auto whole = [](const void* p, std::size_t size) {
    const auto* bytes = static_cast<const char*>(p);
    for (std::size_t at = 0; at < size; at += 64) __builtin_prefetch(bytes + at);
    __builtin_prefetch(bytes + size - 1);
  };
  if (i + 3 < entries_.size() && entries_[i + 3].ready) {
    const Entry& e = entries_[i + 3];
    __builtin_prefetch(e.group);
    e.block->PrefetchVariables(0);
    for (std::size_t r = 0; r < static_cast<std::size_t>(e.n); ++r) {
      whole(equations_[e.rows_at + r], sizeof(DAESSolverEquation));
      whole(variables_[e.rows_at + r], sizeof(DAESVariable));
    }
  }
  if (i + 2 < entries_.size() && entries_[i + 2].ready) {
    const Entry& e = entries_[i + 2];
    e.block->PrefetchVariables(1);
    for (std::size_t r = 0; r < static_cast<std::size_t>(e.n); ++r)
      equations_[e.rows_at + r]->Prefetch(0);
  }
  if (i + 1 < entries_.size() && entries_[i + 1].ready) {
    const Entry& e = entries_[i + 1];
    for (std::size_t r = 0; r < static_cast<std::size_t>(e.n); ++r)
      equations_[e.rows_at + r]->Prefetch(2);
  }
}

DirectCorrector::Step DirectCorrector::Take(std::size_t i, IQLNESOSolve* group, bool setup,
                                            Status* status) {
  *status = 0;
  if (i >= entries_.size()) return Step::kPassed;
  FetchAhead(i);
  Entry& e = entries_[i];
  if (setup || e.group != group || (e.ready && e.generation != generation_)) {
    e.group = group;
    e.generation = generation_;
    // Groups the engine made are ours; a server's own objects have no block.
    e.ready = SetUp(e, dynamic_cast<QLNESOGroup*>(group));
    if (!e.ready) return e.kind == Kind::kNone ? Step::kPassed : Step::kDeclined;
    const Step s = StepWith(e, true, status);
    if (s == Step::kDeclined) e.ready = false;
    return s;
  }
  if (!e.ready) return Step::kPassed;
  const Step s = StepWith(e, false, status);
  if (s == Step::kDeclined) e.ready = false;
  return s;
}

bool DirectCorrector::Residuals(const Entry& e) {
  const auto size = static_cast<std::size_t>(e.n);
  residuals_.resize(size);
  const Status s = DAESSolverBlock::EvaluateEquations(equations_.data() + e.rows_at,
                                                      static_cast<std::uint32_t>(e.n),
                                                      daes::kEvalResidual, residuals_.data());
  return status::IsSuccess(s) && AllFinite(residuals_, size);
}

// The group's kind and settings, its residuals and Jacobian at the values
// the model holds, and the dense factors; false (the kind left set when
// the group was one to step here) when the framework is to step it.
bool DirectCorrector::SetUp(Entry& e, QLNESOGroup* group) {
  e.kind = Kind::kNone;
  e.block = nullptr;
  if (group == nullptr || group->Block() == nullptr) return false;
  DAESSolverBlock* block = group->Block()->AsSolverBlock();
  if (block == nullptr) return false;
  const auto n = static_cast<std::int32_t>(block->GetRowCount());
  if (block->InnerBlock() != nullptr || n < 1 || n > kLargest || block->VariableCount() != n)
    return false;
  QLNGroupMethod* method = GetGroupMethod(static_cast<std::int32_t>(block->GroupKind()));
  auto* linear = dynamic_cast<QLNKVSLinearProxy*>(method);
  auto* nonlinear = dynamic_cast<QLNKVSNonLinProxy*>(method);
  if (linear == nullptr && nonlinear == nullptr) return false;
  bool states = false;
  bool unscaled = true;
  for (std::int32_t j = 0; j < n; ++j) {
    DAESVarTableEntry* v = block->GetVariable(j);
    if (v == nullptr) return false;
    states = states || (v->GetFlags() & daes::kState) != 0;
    unscaled = unscaled && v->GetScale() == 1.0;
  }
  // As the group's method would: its states take the step quantity's
  // coefficient only in a group that pairs them with their derivatives.
  e.paired = (group->Flags() & kGroupStatePairing) != 0 && states;
  const double c = e.paired ? Coefficient() : 0.0;
  double min_non_zero = 0.0;
  if (linear != nullptr) {
    const QLNKVSLinearProxy::StepSettings settings = linear->CorrectorSettings();
    // From print level 4 on the method prints each step.
    if (settings.level >= 4) return false;
    e.kind = Kind::kLinear;
    e.abs_tol = settings.abs_tol;
    e.rel_tol = settings.rel_tol;
    e.exchange = e.paired && block->KnownCount() + block->LastCount() > 0;
  } else {
    // A scaled nonlinear group is left to the library, which steps the
    // scaled values.
    if (!unscaled) return false;
    QLNKVSNonLinProxy::StepLimits limits;
    if (!nonlinear->CorrectorLimits(block, &limits)) return false;
    e.kind = Kind::kNonlinear;
    e.max_var_step = limits.max_var_step;
    e.range_frac = limits.range_frac;
    min_non_zero = limits.min_non_zero;
    e.exchange = c != 0.0 && block->KnownCount() != 0;
  }
  const auto size = static_cast<std::size_t>(n);
  // A slot is kept for the group's life and grows only with it, so the
  // store stays bounded however often the group is set up.
  if (n > e.room) {
    e.room = n;
    e.at = store_.size();
    e.pivots_at = pivot_store_.size();
    e.rows_at = equations_.size();
    store_.resize(store_.size() + size * (size + 2));
    pivot_store_.resize(pivot_store_.size() + size);
    equations_.resize(equations_.size() + size);
    variables_.resize(variables_.size() + size);
  }
  e.n = n;
  e.block = block;
  // Taken afresh at every set-up; a row without an equation of its own is
  // left to the library.
  for (std::int32_t r = 0; r < n; ++r) {
    QLNEquation* equation = block->RowLink(static_cast<std::uint32_t>(r)).equation;
    if (equation == nullptr) return false;
    equations_[e.rows_at + static_cast<std::size_t>(r)] = equation;
    variables_[e.rows_at + static_cast<std::size_t>(r)] = block->GetVariable(r);
  }
  if (!Residuals(e)) return false;
  Status s = 0;
  const std::int64_t* rows = nullptr;
  const std::int64_t* cols = nullptr;
  if (status::IsFailure(block->BuildStructure(&rows, &cols, nullptr, 0))) return false;
  const std::uint32_t entries = block->StructureSize();
  values_.assign(entries, 0.0);
  if (e.kind == Kind::kLinear || c != 0.0) {
    s = block->EvaluateRows(12);
    if (status::IsSuccess(s)) {
      s = block->EvaluateJacobianEntries(entries, rows, cols, values_.data(), c != 0.0 ? 1u : 0u,
                                         c);
    }
  } else {
    s = block->EvaluateJacobian(values_.data(), 0);
  }
  if (status::IsFailure(s)) return false;
  double* row_scale = store_.data() + e.at;
  double* col_scale = row_scale + size;
  double* lu = col_scale + size;
  std::fill(lu, lu + size * size, 0.0);
  for (std::uint32_t p = 0; p < entries; ++p) {
    const std::int64_t r = rows[p] - 1;
    const std::int64_t k = cols[p] - 1;
    if (r < 0 || r >= n || k < 0 || k >= n) return false;
    double v = values_[p];
    if (!std::isfinite(v)) return false;
    if (std::fabs(v) < min_non_zero) v = 0.0;
    lu[r * n + k] += v;
  }
  if (!FactoriseEquilibrated(n, lu, pivot_store_.data() + e.pivots_at, row_scale, col_scale,
                             kPivotFloor))
    return false;
  e.made = c;
  return true;
}

// The step on the held factors, scaled when they were made at another
// coefficient; `evaluated` when the residuals were just evaluated here.
DirectCorrector::Step DirectCorrector::StepWith(Entry& e, bool evaluated, Status* status) {
  DAESSolverBlock* block = e.block;
  const std::int32_t n = e.n;
  const auto size = static_cast<std::size_t>(n);
  if (!evaluated && !Residuals(e)) return Step::kDeclined;
  x_.resize(size);
  for (std::size_t r = 0; r < size; ++r) x_[r] = -residuals_[r];
  const double* row_scale = store_.data() + e.at;
  SolveEquilibrated(n, row_scale + 2 * size, pivot_store_.data() + e.pivots_at, row_scale,
                    row_scale + size, x_.data(), x_.data());
  if (!AllFinite(x_, size)) return Step::kDeclined;
  const double c = e.paired ? Coefficient() : 0.0;
  const double scale = StaleMatrixScale(c, e.made);
  values_.resize(size);
  DAESVarTableEntry* const* variables = variables_.data() + e.rows_at;
  for (std::int32_t j = 0; j < n; ++j) {
    DAESVarTableEntry* v = variables[j];
    double lower = -std::numeric_limits<double>::infinity();
    double upper = std::numeric_limits<double>::infinity();
    v->GetBounds(&lower, &upper);
    const double value = v->GetRealValue();
    const double step = scale * x_[static_cast<std::size_t>(j)];
    double next = 0.0;
    if (e.kind == Kind::kLinear) {
      next = value + step / v->GetScale();
      const double t = e.rel_tol * std::fabs(next) + e.abs_tol;
      if (next < lower - t || next > upper + t) return Step::kDeclined;
    } else {
      // Where the library would move a value into its bounds or cut the
      // step, it takes the step itself.
      if (!std::isfinite(value) || value < lower || value > upper) return Step::kDeclined;
      const double a = std::fabs(step);
      if (a != 0.0) {
        if (e.max_var_step * std::max(1.0, std::fabs(value)) / a < 1.0) return Step::kDeclined;
        if (e.range_frac > 0.0 && std::isfinite(lower) && std::isfinite(upper) &&
            e.range_frac * (upper - lower) / a < 1.0)
          return Step::kDeclined;
      }
      next = value + step;
      if (next < lower || next > upper) return Step::kDeclined;
    }
    values_[static_cast<std::size_t>(j)] = next;
  }
  for (std::int32_t j = 0; j < n; ++j) {
    if (status::IsFailure(variables[j]->SetValue(values_[static_cast<std::size_t>(j)]))) {
      *status = kGroupSolveFailed;
      return Step::kFailed;
    }
  }
  block->SetSolved(true);
  if (e.exchange) {
    if (UnifiedIntegratorProxy* integrator = GetCurrentIntegrator()) {
      const Status s = integrator->ExchangeGroupStates(static_cast<DAESBlock*>(block));
      if (status::IsFailure(s)) {
        *status = s;
        return Step::kFailed;
      }
    }
  }
  return Step::kTaken;
}
