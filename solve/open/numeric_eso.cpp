#include <cstring>
#include <limits>
#include <vector>

#include "daes/blocks/solver_block.h"
#include "daes/model/var_table_entry.h"
#include "daes/problem/solver_equation.h"
#include "platform/com_status.h"
#include "solve/open/kvs_proxies.h"

std::int32_t KvsStructureKind(std::int64_t kind) {
  if (kind <= 2) return 1;
  if (kind <= 7) return static_cast<std::int32_t>(kind - 1);
  return static_cast<std::int32_t>(kind - 8);
}

QLNCNumericAlgebraicESO::QLNCNumericAlgebraicESO(DAESSolverBlock* block, std::uint8_t mode)
    : block_(block), mode_(mode) {}

Status QLNCNumericAlgebraicESO::QueryInterface(const platform::IID& iid, void** out) {
  if (out == nullptr) return platform::E_INVALIDARG;
  if (iid != platform::IID_IUnknown && iid != IID_KVSNumericAlgebraicESO) {
    *out = nullptr;
    return platform::E_NOINTERFACE;
  }
  *out = static_cast<KVSNumericAlgebraicESO*>(this);
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
    block_->GetVariable(i)->GetBounds(&lo, &hi);
    if (lower != nullptr) lower[k] = lo;
    if (upper != nullptr) upper[k] = hi;
  });
  return 0;
}

Status QLNCNumericAlgebraicESO::SetVariableValues(const KVSIndexList* list, const double* values) {
  const std::int32_t nv = block_->VariableCount();
  if (const Status s = CheckList(list, nv); s != 0) return s;
  Status result = 0;
  EachIndex(list, nv, [&](std::int32_t k, std::int32_t i) {
    if (status::IsFailure(block_->GetVariable(i)->SetValue(values[k]))) result = kKvsValueFailed;
  });
  return result;
}

Status QLNCNumericAlgebraicESO::GetVariableValues(const KVSIndexList* list, double* values) {
  const std::int32_t nv = block_->VariableCount();
  if (const Status s = CheckList(list, nv); s != 0) return s;
  EachIndex(list, nv, [&](std::int32_t k, std::int32_t i) {
    values[k] = block_->GetVariable(i)->GetRealValue();
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

Status QLNCNumericAlgebraicESO::Evaluate(const KVSIndexList* equations, double* residuals,
                                         double* jacobian, std::uint32_t flags) {
  const auto n = static_cast<std::int32_t>(block_->GetRowCount());
  if (const Status s = CheckList(equations, n); s != 0) return s;
  const bool want_jacobian = (flags & (kKvsJacobian | kKvsJacobianOnly)) != 0;
  if ((flags & kKvsResiduals) != 0 && residuals != nullptr) {
    std::vector<double> all(static_cast<std::size_t>(n), 0.0);
    const Status s = block_->EvaluateResiduals(mode_ != 0 ? 6u : 7u, all.data(), nullptr);
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
    std::vector<double> values(block_->StructureSize(), 0.0);
    const Status s = block_->EvaluateJacobian(values.data(), 0);
    if (status::IsSevere(s)) return kKvsSevere;
    if (status::IsFailure(s)) return kKvsEvaluationFailed;
    if (equations == nullptr) {
      std::memcpy(jacobian, values.data(), values.size() * sizeof(double));
    } else {
      // The listed equations' entries, in structure order.
      std::vector<bool> listed(static_cast<std::size_t>(n), false);
      for (std::int32_t k = 0; k < equations->count; ++k) {
        listed[static_cast<std::size_t>(equations->indices[k])] = true;
      }
      std::size_t out = 0;
      for (std::size_t p = 0; p < values.size(); ++p) {
        if (listed[static_cast<std::size_t>(rows[p] - 1)]) jacobian[out++] = values[p];
      }
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
