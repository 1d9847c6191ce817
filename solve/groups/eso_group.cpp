#include "solve/groups/eso_group.h"

#include <algorithm>
#include <new>
#include <vector>

#include "daes/model/variable.h"
#include "daes/problem/solver_equation.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/messages/su_print.h"
#include "platform/com_status.h"

using platform::E_FAIL;
using platform::E_INVALIDARG;
using platform::E_NOINTERFACE;
using platform::E_NOTIMPL;
using platform::IID;
using platform::IUnknown;

namespace {

DAESSolverEquation* ModelEquationOf(QLNRow* row) {
  auto* q = dynamic_cast<QLNEquation*>(row);
  return q != nullptr ? dynamic_cast<DAESSolverEquation*>(q->UnderlyingEquation()) : nullptr;
}

// The partner of a state (its derivative) or of a derivative (its state).
DAESVarTableEntry* PartnerOf(DAESVarTableEntry* v) {
  const std::uint32_t f = v->GetFlags();
  if ((f & daes::kState) != 0) return v->GetDerivative();
  if ((f & daes::kDerivativeFlag) != 0) {
    if (auto* dot = v->AsDotVariable()) return dot->GetStateVariable();
  }
  return nullptr;
}

bool IsSevere(Status s) { return (s & status::kSevereMask) == status::kSevereMask; }

// The parent's equation and variable counts for checking indices. A group
// of ours answers without walking its rows and variables for the second
// counts, which a server filling groups one by one would pay each time.
Status ParentEquationCount(IQLNESO* p, std::int32_t* count) {
  if (auto* group = dynamic_cast<QLNESOGroup*>(p)) {
    *count = group->RowCount();
    return 0;
  }
  std::int32_t ignored = 0;
  return p->GetEquationCounts(count, &ignored);
}

Status ParentVariableCount(IQLNESO* p, std::int32_t* count) {
  if (auto* group = dynamic_cast<QLNESOGroup*>(p)) {
    *count = group->VariableCount();
    return 0;
  }
  std::int32_t ignored = 0;
  return p->GetVariableCounts(count, &ignored);
}

}  // namespace

// --- IUnknown ---

Status QLNESOGroup::QueryInterface(const IID& iid, void** object) {
  if (object == nullptr) return E_INVALIDARG;
  void* found = nullptr;
  if (iid == IID_IESO || iid == IID_IQLNESO || iid == platform::IID_IUnknown) {
    found = static_cast<IQLNESO*>(this);
  } else if (iid == IID_IESO12Ex) {
    found = static_cast<IESO12Ex*>(this);
  } else if (iid == IID_IESOSolve || iid == IID_IQLNESOSolve) {
    found = static_cast<IQLNESOSolve*>(this);
  } else if (iid == IID_IESOEdit) {
    found = static_cast<IESOEdit*>(this);
  } else if (iid == IID_IQLNESOSolve20) {
    found = static_cast<IQLNESOSolve20*>(this);
  } else if (iid == IID_IQLNVariableValues) {
    found = static_cast<IQLNVariableValues*>(this);
  } else {
    return E_NOINTERFACE;
  }
  *object = found;
  AddRef();
  return 0;
}

std::uint32_t QLNESOGroup::Release() {
  const std::uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

// --- block access ---

QLNESOGroup::QLNESOGroup(DAESBlock* block)
    : block_(block), solver_(dynamic_cast<DAESSolverBlock*>(block)),
      single_(solver_ == nullptr ? dynamic_cast<DAESSingleBlock*>(block) : nullptr) {}

QLNESOGroup::~QLNESOGroup() { DeleteBlockEnumSource(enum_source_); }

void* QLNESOGroup::EnumSource() {
  if (enum_source_ == nullptr) enum_source_ = MakeBlockEnumSource(block_);
  return enum_source_;
}

// The same answers as the shared lookups, without asking the block's kind
// each time.
std::int32_t QLNESOGroup::RowCount() const {
  if (solver_ != nullptr) return static_cast<std::int32_t>(solver_->GetRowCount());
  if (single_ != nullptr) return single_->GetEquation() != nullptr ? 1 : 0;
  return 0;
}

QLNRow* QLNESOGroup::Row(std::int32_t i) const {
  if (i < 0) return nullptr;
  if (solver_ != nullptr) return solver_->GetRow(static_cast<std::uint32_t>(i));
  if (single_ != nullptr) return i == 0 ? single_->GetEquation() : nullptr;
  return nullptr;
}

std::int32_t QLNESOGroup::PositionOf(const DAESVarTableEntry* variable) const {
  if (variable != nullptr && solver_ != nullptr) return solver_->FindVariable(variable);
  return BlockPositionOf(block_, variable);
}

Status QLNESOGroup::AddRowToBlock(QLNRow* row) {
  if (solver_ != nullptr) return solver_->AddRow(row);
  if (single_ != nullptr) return single_->AddRow(row);
  return daes::kBlockUnsupported;
}

Status QLNESOGroup::AddVariableToBlock(DAESVarTableEntry* variable) {
  if (solver_ != nullptr) {
    return variable == nullptr || solver_->HoldsVariable(variable) ? 0
                                                                    : solver_->AddVariable(variable);
  }
  if (PositionOf(variable) != 0) return 0;
  if (single_ != nullptr) return single_->AppendVariable(variable);
  return daes::kBlockUnsupported;
}

DAESEqnRow* QLNESOGroup::RowOverModel(const QLNEquation* model) {
  auto over = [model](QLNRow* r) {
    auto* candidate = dynamic_cast<DAESEqnRow*>(r);
    return candidate != nullptr && candidate->UnderlyingEquation() == model ? candidate : nullptr;
  };
  const std::int32_t n = RowCount();
  if (n < rows_indexed_) {
    row_of_model_.clear();
    rows_indexed_ = 0;
  }
  for (; rows_indexed_ < n; ++rows_indexed_) {
    auto* r = dynamic_cast<DAESEqnRow*>(Row(rows_indexed_));
    if (r != nullptr) row_of_model_.emplace(r->UnderlyingEquation(), rows_indexed_);
  }
  const auto found = row_of_model_.find(model);
  if (found != row_of_model_.end()) {
    if (DAESEqnRow* row = over(Row(found->second))) return row;
  }
  // Rows cleared and filled again since: look through them all.
  row_of_model_.clear();
  rows_indexed_ = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    if (DAESEqnRow* row = over(Row(i))) return row;
  }
  return nullptr;
}

IQLNESO* QLNESOGroup::ParentOf(IUnknown* parent) {
  void* out = nullptr;
  if (parent == nullptr || status::IsFailure(parent->QueryInterface(IID_IQLNESO, &out))) {
    return nullptr;
  }
  return static_cast<IQLNESO*>(out);
}

// --- IESO / IQLNESO ---

Status QLNESOGroup::GetEquationCounts(std::int32_t* equations, std::int32_t* flagged) {
  if (equations == nullptr || flagged == nullptr) return E_INVALIDARG;
  const std::int32_t n = RowCount();
  std::int32_t marked = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    if ((Row(i)->GetFlags() & kEquationTorn) != 0) ++marked;
  }
  *equations = n;
  *flagged = marked;
  return 0;
}

Status QLNESOGroup::GetNonZeroCount(std::int32_t* count) {
  if (count == nullptr) return E_INVALIDARG;
  *count = static_cast<std::int32_t>(solver_ != nullptr ? solver_->NonZeroCount() : own_non_zeros_);
  return 0;
}

Status QLNESOGroup::GetVariableCounts(std::int32_t* variables, std::int32_t* states) {
  if (variables == nullptr || states == nullptr) return E_INVALIDARG;
  std::int32_t n = VariableCount();
  std::int32_t k = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    if ((block_->GetVariable(i)->GetFlags() & daes::kState) != 0) ++k;
  }
  *variables = n;
  *states = k;
  return 0;
}

Status QLNESOGroup::GetMarkedVariableCount(std::int32_t* count) {
  if (count == nullptr) return E_INVALIDARG;
  if (cached_count_ < 0) {
    std::int32_t k = 0;
    for (std::int32_t i = 0; i < VariableCount(); ++i) {
      const std::uint32_t f = block_->GetVariable(i)->GetFlags();
      if ((f & daes::kFree) != 0 && (f & daes::kFixed) == 0) ++k;
    }
    cached_count_ = k;
  }
  *count = cached_count_;
  return 0;
}

Status QLNESOGroup::GetAllVariableTypes(std::int32_t* types, std::int32_t* partners) {
  return GetVariableTypes(VariableCount(), types, partners);
}

Status QLNESOGroup::GetVariableTypes(std::int32_t count, std::int32_t* types,
                                     std::int32_t* partners) {
  if (types == nullptr || partners == nullptr) return E_INVALIDARG;
  if (count > VariableCount()) return E_INVALIDARG;
  std::vector<const DAESVarTableEntry*> torn_outputs;
  if ((flags_ & kGroupTornOutputsKnown) != 0) {
    for (std::int32_t r = 0; r < RowCount(); ++r) {
      QLNRow* row = Row(r);
      auto* eqn = (row->GetFlags() & kEquationTorn) != 0 ? dynamic_cast<DAESEqnRow*>(row) : nullptr;
      if (eqn != nullptr && eqn->OutputElement() != nullptr)
        torn_outputs.push_back(eqn->OutputElement());
    }
  }
  for (std::int32_t i = 0; i < count; ++i) {
    DAESVarTableEntry* v = block_->GetVariable(i);
    const std::uint32_t f = v->GetFlags();
    std::int32_t type = static_cast<std::int32_t>(f & 0xF);
    const bool torn_output =
        std::find(torn_outputs.begin(), torn_outputs.end(), v) != torn_outputs.end();
    partners[i] = -1;
    if ((f & (daes::kState | daes::kDerivativeFlag)) != 0) {
      partners[i] = PositionOf(PartnerOf(v)) - 1;
    }
    if ((f & daes::kFixed) != 0 || torn_output) {
      type |= 0x60;
    } else if ((f & daes::kFree) != 0) {
      type |= 0x10;
    } else {
      type |= 0x20;
    }
    if ((f & kVariableFixedKind) != 0) type |= 0xA00;
    types[i] = type;
  }
  return 0;
}

Status QLNESOGroup::GetEquationTypes(std::int32_t* types) {
  if (types == nullptr) return E_INVALIDARG;
  for (std::int32_t i = 0; i < RowCount(); ++i) {
    types[i] = (Row(i)->GetFlags() & kEquationTorn) != 0 ? 8 : 0;
  }
  return 0;
}

Status QLNESOGroup::GetEquationStructure(std::int32_t equation, std::int32_t* count,
                                         std::int32_t* variables) {
  if (count == nullptr || variables == nullptr) return E_INVALIDARG;
  QLNRow* row = Row(equation);
  if (row == nullptr) return E_INVALIDARG;
  const std::int32_t n = row->VariableCount();
  for (std::int32_t k = 0; k < n; ++k) variables[k] = PositionOf(row->GetVariable(k)) - 1;
  *count = n;
  return 0;
}

Status QLNESOGroup::GetVariable(std::int32_t index, QLNVariable** variable) {
  if (variable == nullptr) return E_INVALIDARG;
  if (index < 0 || index >= VariableCount()) return E_INVALIDARG;
  *variable = block_->GetVariable(index);
  return 0;
}

Status QLNESOGroup::GetEquation(std::int32_t index, DAESEqnRow** row) {
  if (row == nullptr) return E_INVALIDARG;
  QLNRow* r = Row(index);
  if (r == nullptr) return E_INVALIDARG;
  *row = solver_ != nullptr ? solver_->RowLink(static_cast<std::uint32_t>(index)).eqn
                            : dynamic_cast<DAESEqnRow*>(r);
  return *row != nullptr ? 0 : E_FAIL;
}

Status QLNESOGroup::GetGroupType(std::uint8_t* type) {
  if (type == nullptr) return E_INVALIDARG;
  if (GroupType() == 0) return E_NOTIMPL;
  *type = GroupType();
  return 0;
}

Status QLNESOGroup::GetEquationDependence(std::int32_t equation, std::int32_t with_partners,
                                          std::int32_t mode_flag, std::int32_t count,
                                          std::int32_t* variables, std::int32_t* kinds) {
  if (variables == nullptr || kinds == nullptr) return E_INVALIDARG;
  return Dependence(equation, with_partners, mode_flag, &count, variables, kinds, false);
}

Status QLNESOGroup::GetEquationDependenceCompact(std::int32_t equation, std::int32_t with_partners,
                                                 std::int32_t mode_flag, std::int32_t* count,
                                                 std::int32_t* variables, std::int32_t* kinds) {
  if (count == nullptr || variables == nullptr || kinds == nullptr) return E_INVALIDARG;
  return Dependence(equation, with_partners, mode_flag, count, variables, kinds, true);
}

Status QLNESOGroup::Dependence(std::int32_t equation, std::int32_t with_partners,
                               std::int32_t mode_flag, std::int32_t* count, std::int32_t* variables,
                               std::int32_t* kinds, bool compact) {
  const std::int32_t n = *count;
  if (n < 0 || n > VariableCount()) return E_INVALIDARG;
  DAESSolverEquation* model = ModelEquationOf(Row(equation));
  if (model == nullptr) return Row(equation) == nullptr ? E_INVALIDARG : E_FAIL;
  for (std::int32_t i = 0; i < n; ++i) {
    if (variables[i] < 0 || variables[i] >= VariableCount()) return E_INVALIDARG;
  }
  // The tape keeps one analysis; the mode word names the phase it serves.
  const std::int32_t mode = (GetSolutionPhase() == 0 ? 1 : 0) + (mode_flag != 0 ? 2 : 0);
  (void)mode;
  model->ResetNonlinearityMarks(0);
  for (std::int32_t i = 0; i < n; ++i) {
    DAESVarTableEntry* v = block_->GetVariable(variables[i]);
    model->MarkVariable(v);
    if (with_partners != 0 && (v->GetFlags() & daes::kState) != 0 && v->GetDerivative()) {
      model->MarkVariable(v->GetDerivative());
    }
  }
  std::int32_t worst = 0;
  if (status::IsFailure(model->ClassifyNonlinearity(&worst, 0))) return E_FAIL;
  bool removed = false;
  for (std::int32_t i = 0; i < n; ++i) {
    DAESVarTableEntry* v = block_->GetVariable(variables[i]);
    std::int32_t kind = 0;
    std::int32_t occurs = model->VariableClass(v, 0, &kind);
    if (occurs == 0 && with_partners != 0 && (v->GetFlags() & daes::kState) != 0 &&
        v->GetDerivative() != nullptr) {
      kind = 0;
      occurs = model->VariableClass(v->GetDerivative(), 0, &kind);
    }
    if (occurs == 0 || kind <= 0) {
      kinds[i] = kNoDependence;
      removed = true;
    } else if (kind <= 4) {
      kinds[i] = kind;
    } else {
      model->ResetNonlinearityMarks(0);
      return E_FAIL;
    }
  }
  model->ResetNonlinearityMarks(0);
  if (compact && removed) {
    std::int32_t kept = 0;
    for (std::int32_t i = 0; i < n; ++i) {
      if (kinds[i] == kNoDependence) continue;
      variables[kept] = variables[i];
      kinds[kept] = kinds[i];
      ++kept;
    }
    *count = kept;
  }
  return 0;
}

Status QLNESOGroup::SetFlags(std::uint32_t bits) {
  flags_ |= bits;
  return 0;
}

Status QLNESOGroup::ClearFlags(std::uint32_t bits) {
  flags_ &= ~bits;
  return 0;
}

Status QLNESOGroup::GetFlags(std::uint32_t* flags) {
  if (flags == nullptr) return E_INVALIDARG;
  *flags = flags_;
  return 0;
}

Status QLNESOGroup::GetGroupNumber(std::int32_t* number) {
  if (number == nullptr) return E_INVALIDARG;
  *number = static_cast<std::int32_t>(block_->GetGroupNumber());
  return 0;
}

namespace {
Status HandOut(IUnknown* made, const IID& iid, IUnknown** out) {
  if (made == nullptr) return platform::E_OUTOFMEMORY;
  const Status s = made->QueryInterface(iid, reinterpret_cast<void**>(out));
  if (status::IsFailure(s)) {
    made->AddRef();
    made->Release();
  }
  return s;
}
}  // namespace

Status QLNESOGroup::EnumVariables(std::uint32_t, std::uint32_t options, const IID& iid,
                                  IUnknown** out) {
  if (out == nullptr) return E_INVALIDARG;
  std::int32_t kind = 0;
  if (iid == IID_IEnumQLNVariableData) {
    kind = 12;
  } else if (iid == IID_IEnumQLN13VariableData) {
    kind = 16;
  } else {
    return E_NOINTERFACE;
  }
  if (EnumSource() == nullptr) return platform::E_OUTOFMEMORY;
  return HandOut(MakeBlockEnumerator(enum_source_, kind, options, static_cast<IQLNESO*>(this)), iid,
                 out);
}

Status QLNESOGroup::EnumData(const IID& iid, IUnknown** out) {
  if (out == nullptr) return E_INVALIDARG;
  if (iid != IID_IEnumQLNEquationData) return EnumVariables(0, 0, iid, out);
  if (EnumSource() == nullptr) return platform::E_OUTOFMEMORY;
  return HandOut(MakeBlockEnumerator(enum_source_, 13, 0, static_cast<IQLNESO*>(this)), iid, out);
}

namespace {

// The integrator reads and writes every unknown once a pass; on a large
// model their objects lie far apart, so each is asked for a few ahead.
constexpr std::int32_t kFetchAhead = 8;
void FetchVariable(const QLNVariable* v) {
  const auto* bytes = reinterpret_cast<const char*>(v);
  for (std::size_t at = 0; at < sizeof(DAESVariable); at += 64) __builtin_prefetch(bytes + at);
  __builtin_prefetch(bytes + sizeof(DAESVariable) - 1);
}

}  // namespace

Status QLNESOGroup::SetVariableValues(std::int32_t count, QLNVariable* const* variables,
                                      const double* values) {
  if (count < 0 || (count > 0 && (variables == nullptr || values == nullptr))) {
    return E_INVALIDARG;
  }
  for (std::int32_t i = 0; i < count; ++i) {
    if (i + kFetchAhead < count) FetchVariable(variables[i + kFetchAhead]);
    DAESVarTableEntry* v = variables[i] != nullptr ? variables[i]->TableEntry() : nullptr;
    if (v == nullptr) return E_INVALIDARG;
    // Values come in the form GetVariableValues gives them: scaled.
    v->SetValue(values[i] / v->GetScale());
  }
  return 0;
}

Status QLNESOGroup::GetVariableValues(std::int32_t count, QLNVariable* const* variables,
                                      double* values) {
  if (count < 0 || (count > 0 && (variables == nullptr || values == nullptr))) {
    return E_INVALIDARG;
  }
  for (std::int32_t i = 0; i < count; ++i) {
    if (i + kFetchAhead < count) FetchVariable(variables[i + kFetchAhead]);
    DAESVarTableEntry* v = variables[i] != nullptr ? variables[i]->TableEntry() : nullptr;
    if (v == nullptr) return E_INVALIDARG;
    values[i] = v->GetScaledValue();
  }
  return 0;
}

Status QLNESOGroup::GroupNumber() { return block_->GetGroupNumber(); }

Status QLNESOGroup::AnnounceSolve() {
  block_->AnnounceSolve(block_);
  return 0;
}

// --- IESOEdit ---

Status QLNESOGroup::SetGroupStructure(IUnknown* parent, std::int32_t ne,
                                      const std::int32_t* equations, std::int32_t nv,
                                      const std::int32_t* variables) {
  if (ne < 1 || nv < 1 || equations == nullptr || variables == nullptr || parent == nullptr) {
    return E_INVALIDARG;
  }
  if (!AcceptsSize(ne, nv)) return E_INVALIDARG;
  IQLNESO* p = ParentOf(parent);
  if (p == nullptr) return E_NOINTERFACE;
  std::int32_t parent_rows = 0;
  std::int32_t parent_vars = 0;
  Status s = ParentEquationCount(p, &parent_rows);
  if (status::IsSuccess(s)) s = ParentVariableCount(p, &parent_vars);
  if (status::IsFailure(s)) {
    p->Release();
    return s;
  }
  // Indices come from outside: check all before the block changes.
  for (std::int32_t k = 0; k < ne; ++k) {
    if (equations[k] < 0 || equations[k] >= parent_rows) {
      p->Release();
      return E_INVALIDARG;
    }
  }
  for (std::int32_t k = 0; k < nv; ++k) {
    if (variables[k] < 0 || variables[k] >= parent_vars) {
      p->Release();
      return E_INVALIDARG;
    }
  }
  for (std::int32_t k = 0; k < ne && status::IsSuccess(s); ++k) {
    DAESEqnRow* row = nullptr;
    s = p->GetEquation(equations[k], &row);
    if (status::IsFailure(s)) break;
    auto* model = dynamic_cast<DAESEqnRow*>(row->UnderlyingEquation());
    auto* wrapped = new (std::nothrow) DAESDecompEquation(model != nullptr ? model : row);
    if (wrapped == nullptr) {
      s = daes::kBlockOutOfMemory;
      break;
    }
    if (status::IsFailure(AddRowToBlock(wrapped))) {
      delete wrapped;
      s = daes::kBlockOutOfMemory;
      break;
    }
    if (k < nv) {
      QLNVariable* v = nullptr;
      s = p->GetVariable(variables[k], &v);
      if (status::IsSuccess(s)) AddVariableToBlock(static_cast<DAESVarTableEntry*>(v));
    }
  }
  for (std::int32_t k = ne; k < nv && status::IsSuccess(s); ++k) {
    QLNVariable* v = nullptr;
    s = p->GetVariable(variables[k], &v);
    if (status::IsSuccess(s)) AddVariableToBlock(static_cast<DAESVarTableEntry*>(v));
  }
  p->Release();
  return s;
}

Status QLNESOGroup::SetEquationVariables(IUnknown* parent, std::int32_t equation,
                                         std::int32_t count, const std::int32_t* variables) {
  if (count == 0) return 1;
  if (count < 0 || variables == nullptr || parent == nullptr) return E_INVALIDARG;
  IQLNESO* p = ParentOf(parent);
  if (p == nullptr) return E_NOINTERFACE;
  // The equation is the parent's; its row here wraps the same model equation.
  DAESEqnRow* row = nullptr;
  DAESEqnRow* parent_row = nullptr;
  Status s = p->GetEquation(equation, &parent_row);
  if (status::IsSuccess(s) && parent_row != nullptr) {
    row = RowOverModel(parent_row->UnderlyingEquation());
  }
  if (row == nullptr) {
    p->Release();
    return E_INVALIDARG;
  }
  std::int32_t parent_vars = 0;
  s = ParentVariableCount(p, &parent_vars);
  for (std::int32_t k = 0; k < count && status::IsSuccess(s); ++k) {
    if (variables[k] < 0 || variables[k] >= parent_vars) s = E_INVALIDARG;
  }
  if (status::IsFailure(s)) {
    p->Release();
    return s;
  }
  std::uint32_t added = 0;
  std::uint32_t fixed = 0;
  for (std::int32_t k = 0; k < count; ++k) {
    QLNVariable* q = nullptr;
    if (status::IsFailure(p->GetVariable(variables[k], &q))) continue;
    auto* v = static_cast<DAESVarTableEntry*>(q);
    if ((flags_ & kGroupStatePairing) != 0 && (v->GetFlags() & daes::kDerivativeFlag) != 0) {
      if (DAESVarTableEntry* state = PartnerOf(v)) v = state;
    }
    std::int32_t position = 0;
    if (row->InsertVariable(v, &position) != 0) continue;  // already in the row
    ++added;
    const std::uint32_t f = v->GetFlags();
    if ((flags_ & kGroupCountFixed) != 0 && (f & kVariableFixedKind) != 0 &&
        (f & daes::kFixed) != 0) {
      ++fixed;
    }
  }
  p->Release();
  // Only the new elements count, so a repeated call does not count twice.
  if (solver_ != nullptr) {
    solver_->AddNonZeros(added);
    if (fixed != 0) solver_->AddSensitivityNonZeros(fixed);
  } else {
    own_non_zeros_ += added;
  }
  return 0;
}

Status QLNESOGroup::SetGroupNumber(std::int32_t number) {
  block_->SetGroupNumber(static_cast<std::uint32_t>(number));
  return 0;
}

// --- IQLNESOSolve ---

Status QLNESOGroup::Solve(std::int32_t mode, std::int32_t* iterations) {
  if (iterations == nullptr) return E_INVALIDARG;
  return SolveWithMode(mode, GetSolutionPhase() == 0 ? 1 : 0, iterations);
}

Status QLNESOGroup::SolveWithMode(std::int32_t a, std::int32_t b, std::int32_t* iterations) {
  std::int32_t n = 0;
  if ((flags_ & kGroupStatePairing) != 0) {
    std::int32_t variables = 0;
    GetVariableCounts(&variables, &n);
  }
  Status reported = 0;
  const Status s = block_->Solve(a != 0 ? 1 : 0, static_cast<std::uint32_t>(n),
                                 static_cast<std::uint32_t>(b), &reported);
  if (iterations != nullptr) *iterations = static_cast<std::int32_t>(reported);
  SetStatus(s);
  if (status::IsFailure(s)) return IsSevere(s) ? kGroupSolveFailedSevere : kGroupSolveFailed;
  return s;
}

Status QLNESOGroup::ReleaseSystem(double) {
  const Status s = block_->ReleaseWorkspace();
  return status::IsFailure(s) ? E_FAIL : s;
}

Status QLNESOGroup::ResetSystem() {
  block_->Reset();
  return 0;
}

Status QLNESOGroup::GetLastStatus(Status* s) {
  if (s == nullptr) return E_INVALIDARG;
  *s = GetStatus();
  return 0;
}

Status QLNESOGroup::ClearSolveFlag() {
  flags_ &= ~kGroupSolveFlag;
  return 0;
}

Status QLNESOGroup::SetSolveFlag() {
  flags_ |= kGroupSolveFlag;
  return 0;
}

// --- IQLNESOSolve20 ---

Status QLNESOGroup::ReportIndeterminate(std::int32_t, std::int32_t* header) {
  if (header == nullptr) return E_INVALIDARG;
  if (!block_->HasIndeterminate()) return 1;
  if (*header == 0) {
    SuPrint(0, " ");
    SuPrint(0, "Warning: the following variables are indeterminate:");
    *header = 1;
  }
  block_->PrintGroups(0, header);
  return 0;
}

Status QLNESOGroup::Diagnose(std::int32_t, std::int32_t*) {
  if (auto* solver = dynamic_cast<DAESSolverBlock*>(block_)) solver->CheckSingularity(1, 0);
  return 0;
}

// --- typed groups ---

namespace {
DAESSolverBlock* SolverBlockOfKind(std::uint32_t kind) {
  auto* b = new DAESSolverBlock();
  b->SetFlags(daes::kEquationSetBlock);
  b->SetKind(kind);
  return b;
}
DAESBlock* ExplicitBlock() {
  auto* b = new DAESExplicitBlock();
  b->SetFlags(daes::kEquationSetBlock);
  return b;
}
DAESBlock* TornBlock() {
  auto* b = new DAESTornBlock();
  b->SetFlags(daes::kEquationSetBlock | daes::kTorn);
  return b;
}
}  // namespace

QLNESOExplicitGroup::QLNESOExplicitGroup() : QLNESOOwningGroup(ExplicitBlock()) {}
QLNESOLinearGroup::QLNESOLinearGroup() : QLNESOOwningGroup(SolverBlockOfKind(0u)) {}
QLNESOSingleNLGroup::QLNESOSingleNLGroup() : QLNESOOwningGroup(SolverBlockOfKind(1u)) {}
QLNESONonLinearGroup::QLNESONonLinearGroup() : QLNESOOwningGroup(SolverBlockOfKind(1u)) {}
QLNESOTornGroup::QLNESOTornGroup() : QLNESOOwningGroup(TornBlock()) {}

Status QLNESOTornGroup::ReportIndeterminate(std::int32_t, std::int32_t* header) {
  std::int32_t printed = header != nullptr ? *header : 1;
  block_->PrintGroups(block_->GetGroupNumber(), &printed);
  return 0;
}

Status QLNESOTornGroup::Diagnose(std::int32_t, std::int32_t*) {
  if (auto* solver = dynamic_cast<DAESSolverBlock*>(block_)) {
    solver->CheckSingularity(block_->GetGroupNumber(), 0);
  }
  return 0;
}

Status CreateESOGroupObject(std::int32_t type, IUnknown** out) {
  if (out == nullptr) return E_INVALIDARG;
  QLNESOGroup* group = nullptr;
  try {
    switch (type) {
      case kGroupTypeExplicit:
        group = new QLNESOExplicitGroup();
        break;
      case kGroupTypeLinear:
        group = new QLNESOLinearGroup();
        break;
      case kGroupTypeSingleNonlinear:
        group = new QLNESOSingleNLGroup();
        break;
      case kGroupTypeNonlinear:
        group = new QLNESONonLinearGroup();
        break;
      case kGroupTypeTorn:
        group = new QLNESOTornGroup();
        break;
      default:
        return E_FAIL;
    }
  } catch (const std::bad_alloc&) {
    return platform::E_OUTOFMEMORY;
  }
  return group->QueryInterface(platform::IID_IUnknown, reinterpret_cast<void**>(out));
}
