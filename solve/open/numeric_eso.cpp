#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "daes/blocks/solver_block.h"
#include "daes/model/var_table_entry.h"
#include "daes/model/variable.h"
#include "daes/problem/equivalence.h"
#include "daes/problem/solver_equation.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/integrator_proxy.h"
#include "foundation/interfaces/solver_options.h"
#include "framework/runtime/xos_thread.h"
#include "platform/com_status.h"
#include "solve/groups/corrector_iteration.h"
#include "solve/open/homotopy_parameters.h"
#include "solve/open/kvs_loader.h"
#include "solve/open/kvs_proxies.h"

std::int32_t KvsStructureKind(std::int64_t kind) {
  if (kind <= 2) return 1;
  if (kind <= 7) return static_cast<std::int32_t>(kind - 1);
  return static_cast<std::int32_t>(kind - 8);
}

namespace {

QLNHomotopyParameters* g_homotopy = nullptr;

}  // namespace

QLNHomotopyParameters* ProcessHomotopy() { return g_homotopy; }
void SetProcessHomotopy(QLNHomotopyParameters* homotopy) { g_homotopy = homotopy; }

QLNCNumericAlgebraicESO::QLNCNumericAlgebraicESO(DAESSolverBlock* block, std::uint8_t mode,
                                                 bool derivatives)
    : block_(block), mode_(mode), derivatives_(derivatives), homotopy_(ProcessHomotopy()) {}

double QLNCNumericAlgebraicESO::CorrectorFactor() const {
  if (!derivatives_) return 0.0;
  UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();
  if (integrator == nullptr) return 0.0;
  const double h = integrator->GetServerValue();
  return h != 0.0 ? 1.0 / h : 1.0;
}

// The block's states handed to the integrator, which sets their
// derivatives.
Status QLNCNumericAlgebraicESO::TieDerivatives() {
  if (CorrectorFactor() == 0.0 || block_->KnownCount() == 0) return 0;
  return GetCurrentIntegrator()->ExchangeGroupStates(static_cast<DAESBlock*>(block_));
}

// The block's Jacobian; with derivatives each state's column folded with
// its derivative's times the factor.
Status QLNCNumericAlgebraicESO::Jacobian(const std::int64_t* rows, const std::int64_t* cols,
                                         double* values) {
  const double c = CorrectorFactor();
  if (c == 0.0) return block_->EvaluateJacobian(values, 0);
  const Status s = block_->EvaluateRows(12);
  if (status::IsFailure(s)) return s;
  return block_->EvaluateJacobianEntries(block_->StructureSize(), rows, cols, values, 1, c);
}

Status QLNCNumericAlgebraicESO::QueryInterface(const platform::IID& iid, void** out) {
  if (out == nullptr) return platform::E_INVALIDARG;
  *out = nullptr;
  if (iid == platform::IID_IUnknown || iid == IID_KVSNumericAlgebraicESO) {
    *out = static_cast<KVSNumericAlgebraicESO*>(this);
  } else if (iid == IID_KVSNumericESODecompExtension) {
    *out = static_cast<KVSNumericESODecompExtension*>(this);
  } else if (iid == IID_KVSUtilityComponent || iid == IID_KVS) {
    *out = static_cast<KVSUtilityComponent*>(this);
  } else if (iid == IID_KVSNumericESOExtension3) {
    *out = static_cast<KVSNumericESOExtension3*>(this);
  } else if (iid == IID_KVSHomotopy) {
    *out = static_cast<KVSHomotopy*>(this);
  }
  if (*out == nullptr) return platform::E_NOINTERFACE;
  AddRef();
  return 0;
}

std::uint32_t QLNCNumericAlgebraicESO::Release() {
  const std::uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

Status QLNCNumericAlgebraicESO::CheckList(const KVSIndexList* list, std::int32_t limit) {
  if (list == nullptr) return 0;
  if (list->count < 0 || list->count > limit || (list->count > 0 && list->indices == nullptr)) {
    return kKvsBadIndex;
  }
  for (std::int32_t k = 0; k < list->count; ++k) {
    if (list->indices[k] < 0 || list->indices[k] >= limit) return kKvsBadIndex;
  }
  return 0;
}

Status QLNCNumericAlgebraicESO::GetNumVariables(std::int32_t* count) {
  *count = block_->VariableCount();
  return 0;
}

Status QLNCNumericAlgebraicESO::GetNumEquations(std::int32_t* count) {
  *count = static_cast<std::int32_t>(block_->GetRowCount());
  return 0;
}

namespace {

template <class F>
void EachIndex(const KVSIndexList* list, std::int32_t all, F f) {
  const std::int32_t n = list == nullptr ? all : list->count;
  for (std::int32_t k = 0; k < n; ++k) f(k, list == nullptr ? k : list->indices[k]);
}

}  // namespace

Status QLNCNumericAlgebraicESO::GetVariableBounds(const KVSIndexList* list, double* lower,
                                                  double* upper) {
  const std::int32_t nv = block_->VariableCount();
  if (const Status s = CheckList(list, nv); s != 0) return s;
  EachIndex(list, nv, [&](std::int32_t k, std::int32_t i) {
    double lo = -std::numeric_limits<double>::infinity();
    double hi = std::numeric_limits<double>::infinity();
    DAESVarTableEntry* v = block_->GetVariable(i);
    v->GetBounds(&lo, &hi);
    if (lower != nullptr) lower[k] = daes::ScaledBound(lo, v->GetScale());
    if (upper != nullptr) upper[k] = daes::ScaledBound(hi, v->GetScale());
  });
  return 0;
}

Status QLNCNumericAlgebraicESO::SetVariableValues(const KVSIndexList* list, const double* values) {
  const std::int32_t nv = block_->VariableCount();
  if (const Status s = CheckList(list, nv); s != 0) return s;
  Status result = 0;
  EachIndex(list, nv, [&](std::int32_t k, std::int32_t i) {
    DAESVarTableEntry* v = block_->GetVariable(i);
    if (status::IsFailure(v->SetValue(values[k] / v->GetScale()))) result = kKvsValueFailed;
  });
  if (result == 0 && status::IsFailure(TieDerivatives())) result = kKvsValueFailed;
  return result;
}

Status QLNCNumericAlgebraicESO::GetVariableValues(const KVSIndexList* list, double* values) {
  const std::int32_t nv = block_->VariableCount();
  if (const Status s = CheckList(list, nv); s != 0) return s;
  EachIndex(list, nv, [&](std::int32_t k, std::int32_t i) {
    values[k] = block_->GetVariable(i)->GetScaledValue();
  });
  return 0;
}

Status QLNCNumericAlgebraicESO::GetVariableName(std::int32_t index, char** text) {
  if (index < 0 || index >= block_->VariableCount()) return kKvsBadIndex;
  *text = KvsServicesCopy(block_->GetVariable(index)->GetNameText());
  return *text != nullptr ? 0 : kKvsValueFailed;
}

Status QLNCNumericAlgebraicESO::GetEquationName(std::int32_t index, char** text) {
  if (index < 0 || index >= static_cast<std::int32_t>(block_->GetRowCount())) return kKvsBadIndex;
  *text = KvsServicesCopy(block_->GetRow(static_cast<std::uint32_t>(index))->GetNameText());
  return *text != nullptr ? 0 : kKvsValueFailed;
}

Status QLNCNumericAlgebraicESO::GetEquationVariablePairs(std::int32_t* count, std::int32_t* pairs) {
  const auto n = static_cast<std::int32_t>(block_->GetRowCount());
  *count = n;
  if (pairs != nullptr) {
    for (std::int32_t i = 0; i < n; ++i) {
      pairs[2 * i] = i;
      pairs[2 * i + 1] = -1;
    }
  }
  return 0;
}

namespace {

// Each listed equation's row after the rows before it, in the list's order
// (a row's own entries in structure order): the library reads row by row.
void WriteListedRows(const KVSIndexList& equations, std::int32_t n, const std::int64_t* rows,
                     const std::vector<double>& values, double* out) {
  // The structure's entries grouped by row, by counting.
  const auto rows_n = static_cast<std::size_t>(n);
  auto in_block = [&](std::size_t p) { return rows[p] >= 1 && rows[p] <= n; };
  std::vector<std::size_t> start(rows_n + 1, 0);
  for (std::size_t p = 0; p < values.size(); ++p) {
    if (in_block(p)) ++start[static_cast<std::size_t>(rows[p])];
  }
  for (std::size_t i = 0; i < rows_n; ++i) start[i + 1] += start[i];
  std::vector<std::size_t> next(start.begin(), start.end() - 1);
  std::vector<std::size_t> by_row(start[rows_n]);
  for (std::size_t p = 0; p < values.size(); ++p) {
    if (in_block(p)) by_row[next[static_cast<std::size_t>(rows[p] - 1)]++] = p;
  }
  std::size_t written = 0;
  for (std::int32_t k = 0; k < equations.count; ++k) {
    const auto i = static_cast<std::size_t>(equations.indices[k]);
    for (std::size_t q = start[i]; q < start[i + 1]; ++q) out[written++] = values[by_row[q]];
  }
}

}  // namespace

Status QLNCNumericAlgebraicESO::Evaluate(const KVSIndexList* equations, double* residuals,
                                         double* jacobian, std::uint32_t flags) {
  // A run being stopped ends the solver's iterations here: severe, so no
  // solver tries again.
  if (XosStopRequested()) return kKvsSevere;
  const auto n = static_cast<std::int32_t>(block_->GetRowCount());
  if (const Status s = CheckList(equations, n); s != 0) return s;
  const bool want_jacobian = (flags & (kKvsJacobian | kKvsJacobianOnly)) != 0;
  if ((flags & kKvsResiduals) != 0 && residuals != nullptr) {
    std::vector<double>& all = residual_scratch_;
    all.assign(static_cast<std::size_t>(n), 0.0);
    // A corrector step's residuals carry no derivatives: its Jacobian, when
    // asked, is evaluated apart.
    const std::uint32_t evaluation =
        CorrectorIterationScope::Active() ? 2u : (mode_ != 0 ? 6u : 7u);
    const Status s = block_->EvaluateResiduals(evaluation, all.data(), nullptr);
    if (status::IsSevere(s)) return kKvsSevere;
    if (status::IsFailure(s)) return kKvsResidualFailed;
    EachIndex(equations, n, [&](std::int32_t k, std::int32_t i) {
      residuals[k] = all[static_cast<std::size_t>(i)];
    });
  }
  if (want_jacobian && jacobian != nullptr) {
    const std::int64_t* rows = nullptr;
    const std::int64_t* cols = nullptr;
    if (status::IsFailure(block_->BuildStructure(&rows, &cols, nullptr, 0))) {
      return kKvsEvaluationFailed;
    }
    std::vector<double>& values = jacobian_scratch_;
    values.assign(block_->StructureSize(), 0.0);
    const Status s = Jacobian(rows, cols, values.data());
    if (status::IsSevere(s)) return kKvsSevere;
    if (status::IsFailure(s)) return kKvsEvaluationFailed;
    if (equations == nullptr) {
      std::memcpy(jacobian, values.data(), values.size() * sizeof(double));
    } else {
      WriteListedRows(*equations, n, rows, values, jacobian);
    }
  }
  return 0;
}

Status QLNCNumericAlgebraicESO::GetNumNonZeros(std::int32_t* count) {
  const Status s = block_->BuildStructure(nullptr, nullptr, nullptr, 0);
  if (status::IsFailure(s)) return kKvsStructureFailed;
  *count = static_cast<std::int32_t>(block_->StructureSize());
  return 0;
}

Status QLNCNumericAlgebraicESO::GetStructure(std::int32_t* rows, std::int32_t* cols,
                                             std::int32_t* kinds) {
  const std::int64_t* r = nullptr;
  const std::int64_t* c = nullptr;
  const std::int64_t* k = nullptr;
  if (status::IsFailure(block_->BuildStructure(&r, &c, &k, 0))) return kKvsStructureFailed;
  for (std::uint32_t p = 0; p < block_->StructureSize(); ++p) {
    if (rows != nullptr) rows[p] = static_cast<std::int32_t>(r[p]);
    if (cols != nullptr) cols[p] = static_cast<std::int32_t>(c[p]);
    if (kinds != nullptr) kinds[p] = k != nullptr ? KvsStructureKind(k[p]) : 1;
  }
  return 0;
}

// --- decomposition extension ---

namespace {

constexpr std::uint32_t kTornFlag = 0x8;

}  // namespace

struct KVSSubSystem {
  std::vector<std::int32_t> rows;       // distinct, ascending, 1-based
  std::vector<std::int32_t> starts;     // one more than rows
  std::vector<std::int32_t> positions;  // per entry, in the kept structure
  std::vector<std::int32_t> order;      // entry index per grouped slot
};

Status QLNCNumericAlgebraicESO::GetEquationAttribute(std::int32_t equation, const char* name,
                                                     std::int32_t* value) {
  if (equation < 0 || equation >= static_cast<std::int32_t>(block_->GetRowCount()) ||
      name == nullptr) {
    return kKvsBadIndex;
  }
  const std::uint32_t flags = block_->GetRow(static_cast<std::uint32_t>(equation))->GetFlags();
  if (std::strcmp(name, "Indeterminate") == 0) {
    *value = (flags & daes::kHasIndeterminate) != 0 ? 1 : 0;
  } else if (std::strcmp(name, "Torn") == 0) {
    *value = (flags & kTornFlag) != 0 ? 1 : 0;
  } else {
    return kKvsBadIndex;
  }
  return 0;
}

Status QLNCNumericAlgebraicESO::SetEquationAttribute(std::int32_t equation, const char* name,
                                                     std::int32_t value) {
  if (equation < 0 || equation >= static_cast<std::int32_t>(block_->GetRowCount()) ||
      name == nullptr || std::strcmp(name, "Indeterminate") != 0) {
    return kKvsBadIndex;
  }
  QLNRow* row = block_->GetRow(static_cast<std::uint32_t>(equation));
  if (value == 1) {
    row->SetFlags(daes::kHasIndeterminate);
  } else {
    row->ClearFlags(daes::kHasIndeterminate);
  }
  return 0;
}

Status QLNCNumericAlgebraicESO::GetGroupAttribute(const char* name, std::int32_t* value) {
  if (name == nullptr) return kKvsBadIndex;
  if (std::strcmp(name, "Indeterminate") == 0) {
    *value = block_->HasIndeterminate() ? 1 : 0;
  } else if (std::strcmp(name, "Torn") == 0) {
    *value = (block_->GetFlags() & kTornFlag) != 0 ? 1 : 0;
  } else {
    return kKvsBadIndex;
  }
  return 0;
}

Status QLNCNumericAlgebraicESO::SetGroupAttribute(const char* name, std::int32_t value) {
  if (name == nullptr || std::strcmp(name, "Indeterminate") != 0) return kKvsBadIndex;
  if (value == 1) {
    block_->SetFlags(daes::kHasIndeterminate);
  } else {
    block_->ClearFlags(daes::kHasIndeterminate);
  }
  return 0;
}

Status QLNCNumericAlgebraicESO::CreateSubSystem(std::int32_t count, const std::int32_t* rows,
                                                const std::int32_t* cols, KVSSubSystem** sub,
                                                std::int32_t** positions) {
  if (sub == nullptr || count < 0 || (count > 0 && (rows == nullptr || cols == nullptr))) {
    return kKvsBadIndex;
  }
  const std::int64_t* r = nullptr;
  const std::int64_t* c = nullptr;
  if (status::IsFailure(block_->BuildStructure(&r, &c, nullptr, 0))) return kKvsEvaluationFailed;
  auto record = std::make_unique<KVSSubSystem>();
  const auto n = static_cast<std::size_t>(count);
  record->positions.assign(n, -1);
  for (std::size_t k = 0; k < n; ++k) {
    for (std::uint32_t p = 0; p < block_->StructureSize(); ++p) {
      if (r[p] == rows[k] && c[p] == cols[k]) {
        record->positions[k] = static_cast<std::int32_t>(p);
        break;
      }
    }
    if (record->positions[k] < 0) return kKvsBadIndex;
  }
  std::vector<std::int32_t> order(n);
  for (std::size_t k = 0; k < n; ++k) order[k] = static_cast<std::int32_t>(k);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::int32_t a, std::int32_t b) { return rows[a] < rows[b]; });
  for (std::size_t k = 0; k < n; ++k) {
    const std::int32_t row = rows[order[k]];
    if (record->rows.empty() || record->rows.back() != row) {
      record->rows.push_back(row);
      record->starts.push_back(static_cast<std::int32_t>(k));
    }
  }
  record->starts.push_back(count);
  record->order = std::move(order);
  if (positions != nullptr) *positions = record->positions.data();
  *sub = record.release();
  return 0;
}

Status QLNCNumericAlgebraicESO::EvaluateSubSystem(KVSSubSystem* sub, double* residuals,
                                                  double* jacobian, std::uint32_t flags) {
  if (sub == nullptr) return kKvsBadIndex;
  const auto n = static_cast<std::int32_t>(block_->GetRowCount());
  if ((flags & kKvsResiduals) != 0 && residuals != nullptr) {
    if (static_cast<std::int32_t>(sub->rows.size()) > n) return kKvsBadIndex;
    std::vector<double>& all = residual_scratch_;
    all.assign(static_cast<std::size_t>(n), 0.0);
    // A corrector step's residuals carry no derivatives: its Jacobian, when
    // asked, is evaluated apart.
    const std::uint32_t evaluation =
        CorrectorIterationScope::Active() ? 2u : (mode_ != 0 ? 6u : 7u);
    const Status s = block_->EvaluateResiduals(evaluation, all.data(), nullptr);
    if (status::IsFailure(s)) return kKvsEvaluationFailed;
    for (std::size_t i = 0; i < sub->rows.size(); ++i) {
      residuals[i] = all[static_cast<std::size_t>(sub->rows[i] - 1)];
    }
  }
  if ((flags & (kKvsJacobian | kKvsJacobianOnly)) != 0 && jacobian != nullptr) {
    const std::int64_t* rows = nullptr;
    const std::int64_t* cols = nullptr;
    if (status::IsFailure(block_->BuildStructure(&rows, &cols, nullptr, 0))) {
      return kKvsEvaluationFailed;
    }
    std::vector<double>& values = jacobian_scratch_;
    values.assign(block_->StructureSize(), 0.0);
    const Status s = Jacobian(rows, cols, values.data());
    if (status::IsFailure(s)) return kKvsEvaluationFailed;
    for (std::size_t k = 0; k < sub->positions.size(); ++k) {
      jacobian[k] = values[static_cast<std::size_t>(sub->positions[k])];
    }
  }
  return 0;
}

Status QLNCNumericAlgebraicESO::DestroySubSystem(KVSSubSystem* sub) {
  delete sub;
  return 0;
}

// --- utility component ---

Status QLNCNumericAlgebraicESO::GetVersion(char** text) {
  *text = KvsServicesCopy("V12");
  return *text != nullptr ? 0 : kKvsValueFailed;
}

Status QLNCNumericAlgebraicESO::GetProduct(char** text) {
  *text = KvsServicesCopy("Quillon");
  return *text != nullptr ? 0 : kKvsValueFailed;
}

Status QLNCNumericAlgebraicESO::GetDescription(char** text) {
  *text = KvsServicesCopy("Quillon (TM) Version V12");
  return *text != nullptr ? 0 : kKvsValueFailed;
}

Status QLNCNumericAlgebraicESO::GetName(char** text) { return GetProduct(text); }

// --- equation texts ---

std::vector<QLNVariable*> QLNCNumericAlgebraicESO::EquationTexts(std::int32_t equation) {
  std::vector<QLNVariable*> out;
  if (!SolverOptions::Instance()->GetBool(kOptListEquivalenceVariables)) return out;
  QLNRow* row = block_->GetRow(static_cast<std::uint32_t>(equation));
  if (row == nullptr) return out;
  for (std::int32_t k = 0; k < row->VariableCount(); ++k) {
    DAESVarTableEntry* v = row->GetVariable(k);
    if (v == nullptr || v->EntryKind() != daes::kEquivalenceKind) continue;
    auto* e = static_cast<DAESEquivalence*>(v);
    for (std::int32_t m = 0; m < e->MemberCount(); ++m) {
      if (DAESVarTableEntry* member = e->Member(m)) out.push_back(member);
    }
  }
  return out;
}

Status QLNCNumericAlgebraicESO::GetEquationTextCount(std::int32_t equation, std::int32_t* count) {
  *count = 0;
  if (equation < 0 || equation >= static_cast<std::int32_t>(block_->GetRowCount())) {
    return kKvsBadIndex;
  }
  *count = static_cast<std::int32_t>(EquationTexts(equation).size());
  return 0;
}

Status QLNCNumericAlgebraicESO::GetEquationText(std::int32_t equation, std::int32_t index,
                                                char** text) {
  *text = nullptr;
  if (equation < 0 || equation >= static_cast<std::int32_t>(block_->GetRowCount())) {
    return kKvsBadIndex;
  }
  const std::vector<QLNVariable*> texts = EquationTexts(equation);
  if (index < 0 || index >= static_cast<std::int32_t>(texts.size())) return kKvsBadIndex;
  *text = KvsServicesCopy(texts[static_cast<std::size_t>(index)]->GetNameText());
  return *text != nullptr ? 0 : kKvsValueFailed;
}

// --- homotopy ---

Status QLNCNumericAlgebraicESO::GetCount(std::int32_t* count) {
  *count = homotopy_ != nullptr ? std::max(homotopy_->Count(), 0) : 0;
  return 0;
}

Status QLNCNumericAlgebraicESO::SetValues(const double* values) {
  if (homotopy_ == nullptr) return kKvsValueFailed;
  Status result = 0;
  for (std::int32_t i = 0; i < homotopy_->Count(); ++i) {
    if (homotopy_->SetValue(i, values[i]) != 0) result = kKvsValueFailed;
  }
  return result;
}

Status QLNCNumericAlgebraicESO::Evaluate() {
  if (homotopy_ == nullptr) return kKvsValueFailed;
  const Status s = homotopy_->Evaluate();
  return static_cast<std::int32_t>(s) > 0 ? kKvsValueFailed : 0;
}

Status QLNCNumericAlgebraicESO::GetValues(double* values) {
  if (homotopy_ == nullptr) return kKvsValueFailed;
  for (std::int32_t i = 0; i < homotopy_->Count(); ++i) values[i] = homotopy_->Value(i);
  return 0;
}

Status QLNCNumericAlgebraicESO::GetName(std::int32_t index, char** text) {
  *text = nullptr;
  if (homotopy_ == nullptr) return kKvsValueFailed;
  if (index < 0 || index >= homotopy_->Count()) return kKvsBadIndex;
  *text = KvsServicesCopy(homotopy_->Name(index));
  return *text != nullptr ? 0 : kKvsValueFailed;
}
