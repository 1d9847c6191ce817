#include "solve/open/nlp_eso.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "daes/model/var_table_entry.h"
#include "platform/com_status.h"
#include "solve/open/kvs_loader.h"

namespace {

constexpr std::uint32_t kFixedFlag = 0x80;
constexpr std::uint32_t kIndependentFlag = 0x8000;

struct Description {
  const char* name;
  const char* description;
  std::int64_t type;
};

constexpr Description kVariableAttributes[] = {
    {"Specification", "free=0,fix=1,indep=2,meas=3,param=4,optim=5,recon=6,initial=7", 0}};
constexpr Description kConstraintAttributes[] = {{"ConstraintStatus", "excluded=0,included=1", 0},
                                                 {"MathType", "0=,1<,2<=,3>,4>=", 0},
                                                 {"ConstraintScale", "Constraint scale factor", 1}};

// The records and every text in one services block each, the receiver's to
// free; nothing is handed out when an allocation fails.
template <std::size_t N>
Status Describe(const Description (&table)[N], std::int32_t* count,
                KVSAttributeDescription** records) {
  *count = 0;
  *records = nullptr;
  auto* out =
      static_cast<KVSAttributeDescription*>(KvsServicesAlloc(sizeof(KVSAttributeDescription) * N));
  if (out == nullptr) return kKvsValueFailed;
  for (std::size_t k = 0; k < N; ++k) {
    out[k].name = KvsServicesCopy(table[k].name);
    out[k].description = KvsServicesCopy(table[k].description);
    out[k].type = table[k].type;
    if (out[k].name == nullptr || out[k].description == nullptr) {
      for (std::size_t j = 0; j <= k; ++j) {
        KvsServicesFree(out[j].name);
        KvsServicesFree(out[j].description);
      }
      KvsServicesFree(out);
      return kKvsValueFailed;
    }
  }
  *count = static_cast<std::int32_t>(N);
  *records = out;
  return 0;
}

std::size_t Size(std::int32_t n) { return static_cast<std::size_t>(std::max(n, 0)); }

}  // namespace

QLNCNumericNLPESO::QLNCNumericNLPESO(std::int32_t equalities, std::int32_t inequalities,
                                     std::int32_t variables, bool sparse,
                                     QLNVariable* const* variable_list, std::int32_t columns,
                                     std::int32_t non_zeros, const std::int32_t* rows,
                                     const std::int32_t* cols)
    : variables_(std::max(variables, 0)), equalities_(std::max(equalities, 0)),
      inequalities_(std::max(inequalities, 0)) {
  const std::int32_t m = equalities_ + inequalities_;
  if (sparse && rows != nullptr && cols != nullptr) {
    non_zeros_ = std::max(non_zeros, 0);
    rows_.assign(rows, rows + non_zeros_);
    cols_.assign(cols, cols + non_zeros_);
    columns_ = std::max(columns, 0);
  } else {
    non_zeros_ = m * variables_;
    for (std::int32_t i = 1; i <= m; ++i) {
      for (std::int32_t j = 1; j <= variables_; ++j) {
        rows_.push_back(i);
        cols_.push_back(j);
      }
    }
    columns_ = variables_;
  }
  third_.assign(Size(non_zeros_), 0);
  for (std::int32_t c = 1; c <= columns_; ++c) column_numbers_.push_back(c);
  multipliers_.assign(Size(variables_ + m), 0.0);
  specification_.assign(Size(variables_), 0);
  if (variable_list != nullptr) {
    variable_list_.assign(variable_list, variable_list + variables_);
    for (std::int32_t j = 0; j < variables_; ++j) {
      QLNVariable* v = variable_list_[Size(j)];
      if (v == nullptr) continue;
      const std::uint32_t flags = v->GetFlags();
      if ((flags & kFixedFlag) != 0) {
        specification_[Size(j)] = 1;
      } else if ((flags & kIndependentFlag) != 0) {
        specification_[Size(j)] = 2;
      }
    }
  }
  values_.assign(Size(variables_), 0.0);
  lower_.assign(Size(variables_), -std::numeric_limits<double>::infinity());
  upper_.assign(Size(variables_), std::numeric_limits<double>::infinity());
  scales_.assign(Size(variables_), 1.0);
  constraint_values_.assign(Size(m), 0.0);
  gradient_.assign(Size(variables_), 0.0);
  jacobian_.assign(Size(non_zeros_), 0.0);
}

Status QLNCNumericNLPESO::QueryInterface(const platform::IID& iid, void** out) {
  if (out == nullptr) return platform::E_INVALIDARG;
  *out = nullptr;
  if (iid == platform::IID_IUnknown || iid == IID_KVSNumericNLPESO) {
    *out = static_cast<KVSNumericNLPESO*>(this);
  } else if (iid == IID_KVSNumericNLPESOExtended) {
    *out = static_cast<KVSNumericNLPESOExtended*>(this);
  } else if (iid == IID_KVSUtilityComponent || iid == IID_KVS) {
    *out = static_cast<KVSUtilityComponent*>(this);
  }
  if (*out == nullptr) return platform::E_NOINTERFACE;
  AddRef();
  return 0;
}

std::uint32_t QLNCNumericNLPESO::Release() {
  const std::uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

Status QLNCNumericNLPESO::CheckList(const KVSIndexList* list) const {
  if (list == nullptr) return 0;
  if (list->count < 0 || list->count > variables_ ||
      (list->count > 0 && list->indices == nullptr)) {
    return kKvsBadIndex;
  }
  for (std::int32_t k = 0; k < list->count; ++k) {
    if (list->indices[k] < 0 || list->indices[k] >= variables_) return kKvsBadIndex;
  }
  return 0;
}

namespace {

template <class F>
void EachIndex(const KVSIndexList* list, std::int32_t all, F f) {
  const std::int32_t n = list == nullptr ? all : list->count;
  for (std::int32_t k = 0; k < n; ++k) {
    f(static_cast<std::size_t>(k),
      static_cast<std::size_t>(list == nullptr ? k : list->indices[k]));
  }
}

}  // namespace

Status QLNCNumericNLPESO::GetNumVariables(std::int32_t* count) {
  *count = variables_;
  return 0;
}

Status QLNCNumericNLPESO::GetNumEqualities(std::int32_t* count) {
  *count = equalities_;
  return 0;
}

Status QLNCNumericNLPESO::GetNumInequalities(std::int32_t* count) {
  *count = inequalities_;
  return 0;
}

Status QLNCNumericNLPESO::GetVariableBounds(const KVSIndexList* list, double* lower,
                                            double* upper) {
  if (const Status s = CheckList(list); s != 0) return s;
  EachIndex(list, variables_, [&](std::size_t k, std::size_t i) {
    lower[k] = lower_[i];
    upper[k] = upper_[i];
  });
  return 0;
}

Status QLNCNumericNLPESO::SetVariableValues(const KVSIndexList* list, const double* values) {
  if (const Status s = CheckList(list); s != 0) return s;
  EachIndex(list, variables_, [&](std::size_t k, std::size_t i) { values_[i] = values[k]; });
  return 0;
}

Status QLNCNumericNLPESO::GetVariableValues(const KVSIndexList* list, double* values) {
  if (const Status s = CheckList(list); s != 0) return s;
  EachIndex(list, variables_, [&](std::size_t k, std::size_t i) { values[k] = values_[i]; });
  return 0;
}

Status QLNCNumericNLPESO::GetVariableName(std::int32_t index, char** text) {
  *text = nullptr;
  if (index < 0 || index >= variables_) return kKvsBadIndex;
  QLNVariable* v = variable_list_.empty() ? nullptr : variable_list_[Size(index)];
  if (v != nullptr) {
    *text = KvsServicesCopy(v->GetNameText());
  } else {
    char name[32];
    std::snprintf(name, sizeof(name), "QLN_Variable_%d", index + 1);
    *text = KvsServicesCopy(name);
  }
  return *text != nullptr ? 0 : kKvsValueFailed;
}

Status QLNCNumericNLPESO::GetVariableAttributeDescriptions(std::int32_t* count,
                                                           KVSAttributeDescription** records) {
  return Describe(kVariableAttributes, count, records);
}

Status QLNCNumericNLPESO::GetVariableAttribute(std::int32_t index, const char* name,
                                               double* value) {
  if (index < 0 || index >= variables_) return kKvsBadIndex;
  if (name == nullptr) return kKvsNotSupported4;
  const std::int32_t code = specification_[Size(index)];
  if (strcasecmp(name, "Specification") == 0) {
    *value = code;
  } else if (strcasecmp(name, "VarStatus") == 0) {
    *value = code == 1 || code == 2 ? code : 0;
  } else {
    return kKvsNotSupported4;
  }
  return 0;
}

Status QLNCNumericNLPESO::GetConstraintName(std::int32_t index, char** text) {
  *text = nullptr;
  if (index < 0 || index >= Constraints()) return kKvsBadIndex;
  auto* out = static_cast<char*>(KvsServicesAlloc(30));
  if (out == nullptr) return kKvsValueFailed;
  std::snprintf(out, 30, "QLN_Constraint_%d", index + 1);
  *text = out;
  return 0;
}

Status QLNCNumericNLPESO::GetConstraintVariablePairs(std::int32_t* count, std::int32_t* pairs) {
  *count = Constraints();
  if (pairs == nullptr) return 0;
  for (std::int32_t i = 0; i < *count; ++i) {
    pairs[2 * i] = i;
    pairs[2 * i + 1] = -1;
  }
  return 0;
}

Status QLNCNumericNLPESO::GetConstraintAttributeDescriptions(std::int32_t* count,
                                                             KVSAttributeDescription** records) {
  return Describe(kConstraintAttributes, count, records);
}

Status QLNCNumericNLPESO::GetConstraintAttribute(std::int32_t index, const char* name,
                                                 double* value) {
  if (index < 0 || index >= Constraints()) return kKvsBadIndex;
  if (name == nullptr) return kKvsNotSupported4;
  if (strcasecmp(name, "ConstraintStatus") == 0) {
    *value = 1.0;
  } else if (strcasecmp(name, "MathType") == 0) {
    *value = index < equalities_ ? 0.0 : 4.0;
  } else if (strcasecmp(name, "ConstraintScale") == 0) {
    *value = 1.0;
  } else if (strcasecmp(name, "Consistency") == 0) {
    return Consistency(index, value);
  } else {
    return kKvsNotSupported4;
  }
  return 0;
}

Status QLNCNumericNLPESO::GetNumExtraItems(std::int32_t* count) {
  *count = 0;
  return 0;
}

Status QLNCNumericNLPESO::GetJacobianSizes(std::int32_t* columns, std::int32_t* non_zeros) {
  *columns = columns_;
  *non_zeros = non_zeros_;
  return 0;
}

Status QLNCNumericNLPESO::GetJacobianStructure(std::int32_t* rows, std::int32_t* cols,
                                               std::int32_t* /*third*/) {
  if (rows != nullptr) std::copy(rows_.begin(), rows_.end(), rows);
  if (cols != nullptr) std::copy(cols_.begin(), cols_.end(), cols);
  return 0;
}

Status QLNCNumericNLPESO::GetColumnNumbers(std::int32_t* columns) {
  if (columns != nullptr) std::copy(column_numbers_.begin(), column_numbers_.end(), columns);
  return 0;
}

Status QLNCNumericNLPESO::GetObjectiveSense(std::int32_t* sense) {
  *sense = sense_ == 1 ? 1 : -1;
  return 0;
}

Status QLNCNumericNLPESO::SetMultipliers(const double* variables, const double* constraints) {
  if (variables != nullptr) std::copy(variables, variables + variables_, multipliers_.begin());
  if (constraints != nullptr) {
    std::copy(constraints, constraints + Constraints(), multipliers_.begin() + variables_);
  }
  return 0;
}

Status QLNCNumericNLPESO::GetRequest(std::uint32_t* flags) {
  *flags = request_;
  return 0;
}

Status QLNCNumericNLPESO::SetRequest(std::uint32_t flags) {
  request_ = flags;
  return 0;
}

Status QLNCNumericNLPESO::GetObjective(double* value) {
  *value = objective_;
  return 0;
}

Status QLNCNumericNLPESO::GetConstraints(double* values) {
  std::copy(constraint_values_.begin(), constraint_values_.end(), values);
  return 0;
}

Status QLNCNumericNLPESO::GetObjectiveGradient(double* values) {
  std::copy(gradient_.begin(), gradient_.end(), values);
  return 0;
}

Status QLNCNumericNLPESO::GetConstraintJacobian(double* values) {
  std::copy(jacobian_.begin(), jacobian_.end(), values);
  return 0;
}

Status QLNCNumericNLPESO::SetConstraintAttribute(std::int32_t index, const char* name,
                                                 double value) {
  if (name == nullptr || strcasecmp(name, "Consistency") != 0) return kKvsNotSupported4;
  if (index < 0 || index >= Constraints()) return kKvsBadIndex;
  if (consistency_.empty()) consistency_.assign(Size(Constraints()), 0.0);
  consistency_[Size(index)] = value;
  return 0;
}

Status QLNCNumericNLPESO::GetVersion(char** text) {
  *text = KvsServicesCopy("V12");
  return *text != nullptr ? 0 : kKvsValueFailed;
}

Status QLNCNumericNLPESO::GetProduct(char** text) {
  *text = KvsServicesCopy("QLN NLP");
  return *text != nullptr ? 0 : kKvsValueFailed;
}

Status QLNCNumericNLPESO::GetDescription(char** text) {
  *text = KvsServicesCopy("Quillon (TM) Version V12");
  return *text != nullptr ? 0 : kKvsValueFailed;
}

void QLNCNumericNLPESO::GetMultiplierArrays(const double** variables,
                                            const double** constraints) const {
  *variables = multipliers_.data();
  *constraints = multipliers_.data() + variables_;
}

void QLNCNumericNLPESO::SetPoint(const double* values) {
  if (values != nullptr) std::copy(values, values + variables_, values_.begin());
}

void QLNCNumericNLPESO::SetBounds(const double* bounds) {
  if (bounds == nullptr) return;
  std::copy(bounds, bounds + variables_, lower_.begin());
  std::copy(bounds + variables_, bounds + 2 * variables_, upper_.begin());
}

void QLNCNumericNLPESO::SetConstraints(const double* values) {
  if (values != nullptr) std::copy(values, values + Constraints(), constraint_values_.begin());
}

void QLNCNumericNLPESO::SetObjectiveGradient(const double* values) {
  if (values != nullptr) std::copy(values, values + variables_, gradient_.begin());
}

void QLNCNumericNLPESO::SetConstraintJacobian(const double* values) {
  if (values != nullptr) std::copy(values, values + non_zeros_, jacobian_.begin());
}

void QLNCNumericNLPESO::SetConstraintJacobianColumns(const double* gradients,
                                                     std::int32_t leading) {
  if (gradients == nullptr) return;
  for (std::size_t p = 0; p < jacobian_.size(); ++p) {
    const std::int64_t i = rows_[p] - 1;
    const std::int64_t j = cols_[p] - 1;
    // A structure entry outside the problem reads nothing.
    if (i < 0 || i >= Constraints() || j < 0 || j >= variables_) continue;
    jacobian_[p] = gradients[(1 + i) * leading + j];
  }
}

void QLNCNumericNLPESO::SetUnitScales() { std::fill(scales_.begin(), scales_.end(), 1.0); }

Status QLNCNumericNLPESO::Consistency(std::int32_t index, double* value) const {
  if (consistency_.empty()) return kKvsNotSupported4;
  if (index < 0 || index >= static_cast<std::int32_t>(consistency_.size())) return kKvsBadIndex;
  *value = consistency_[Size(index)];
  return 0;
}
