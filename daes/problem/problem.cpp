#include "daes/problem/problem.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <new>
#include <sstream>

#include "daes/delays/delay_mgr.h"
#include "daes/model/parameter.h"
#include "daes/model/variable.h"
#include "daes/problem/equivalence.h"
#include "daes/problem/solver_equation.h"
#include "foundation/directory/directory_node.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/problem_manager_hooks.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "foundation/values/packed_value.h"
#include "framework/runtime/cqln_exception.h"

namespace {
bool IsNested() {
  ProblemManagerHooks* hooks = GetProblemManagerHooks();
  return hooks != nullptr && hooks->IsNestedMode();
}

std::int32_t PrintLevel() { return SolverOptions::Instance()->GetInt(kOptPrintLevel); }

bool IsEquivalence(DAESVarTableEntry* e) { return e->EntryKind() == daes::kEquivalenceKind; }

// Sorted by address, without duplicates.
void InsertSorted(std::vector<DAESSolverEquation*>* list, DAESSolverEquation* equation) {
  auto at = std::lower_bound(list->begin(), list->end(), equation);
  if (at == list->end() || *at != equation) list->insert(at, equation);
}

}  // namespace

namespace {
DAESCompiledCode* g_compiled_code = nullptr;
}  // namespace

DAESCompiledCode* daes::CompiledCode() { return g_compiled_code; }
void daes::SetCompiledCode(DAESCompiledCode* code) { g_compiled_code = code; }

std::uint32_t& daes::ProcedureCallWord() {
  static std::uint32_t word = 0;
  return word;
}

DAESProblem::DAESProblem(BvuDirectoryNode* root, std::uint64_t second_value,
                         SUPackedValueTable* table)
    : second_value_(second_value) {
  eliminate_ = SolverOptions::Instance()->GetBool(kOptCompression);
  std::uint32_t& word = daes::ProcedureCallWord();
  const std::uint32_t saved = word;
  word = 0;
  Status s = 0;
  if (root != nullptr) {
    try {
      BeginBulkInsert();
      s = root->ApplyToSubtree(static_cast<QLNEquationList*>(this), nullptr, 0, eliminate_ ? 1 : 0,
                               this);
      EndBulkInsert();
    } catch (...) {
      // No destructor runs for a throwing constructor: the merged members
      // and the rows made so far are given back here.
      EndBulkInsert();
      word = saved;
      Dismantle();
      throw;
    }
  }
  SetStatus(s);
  if (saved != 0) word = saved;
  Report();
  index_.clear();
  // The structure's entries: each row's variables, as folded by now.
  std::uint32_t entries = 0;
  for (std::int32_t i = 0; i < EquationCount(); ++i) {
    if (const DAESEqnRow* row = GetEquation(i))
      entries += static_cast<std::uint32_t>(row->VariableCount());
  }
  AddNonZeros(entries);
  if (!status::IsFailure(GetStatus())) {
    SetStatus(BuildStoredValues(table));
    if (!status::IsFailure(GetStatus())) SetStatus(ShareOutputs());
    // The collection registered the delayed variables: their history
    // takes one column each.
    if (DelayMgr* delays = GetCurrentDelayMgr();
        delays != nullptr && !status::IsFailure(GetStatus())) {
      SetStatus(delays->InitHistory());
    }
  }
  SetCurrentProblem(this);
}

DAESProblem::~DAESProblem() { Dismantle(); }

void DAESProblem::Dismantle() {
  // A compiled library bound to this problem goes with it: it holds the
  // problem as its callbacks' block.
  if (DAESSolverBlock::CompiledEvaluationWord() != 0) SetCompiledEvaluation(0, nullptr);
  FreeOutputs();
  for (std::int32_t i = 0; i < VariableCount(); ++i) {
    DAESVarTableEntry* v = GetVariable(i);
    if (IsEquivalence(v)) {
      auto* e = static_cast<DAESEquivalence*>(v);
      for (std::int32_t m = 0; m < e->MemberCount(); ++m)
        e->Member(m)->ClearFlags(daes::kInProblem);
    }
    v->ClearFlags(daes::kInProblem);
    if (!IsEquivalence(v)) v->DAESVarTableEntry::SetStoredIndex(0);
  }
  // The rows go before the equivalences they hold.
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) delete GetRow(i);
  ClearRows();
  for (std::int32_t i = 0; i < VariableCount(); ++i) {
    if (IsEquivalence(GetVariable(i))) delete GetVariable(i);
  }
  daes::ResetEquivalenceNumbers();
  if (GetCurrentProblem() == this) SetCurrentProblem(nullptr);
}

// --- equation list ---

Status DAESProblem::AddEquation(DAESEqnRow* equation, void*) {
  if (equation == nullptr) return daes::kNoSolverEquation;
  auto* solver = dynamic_cast<DAESSolverEquation*>(equation);
  if (solver != nullptr) {
    const Status attached = solver->AttachToElements(this);
    if (status::IsFailure(attached)) {
      delete equation;
      return attached;
    }
  }
  if (eliminate_ && solver != nullptr) {
    try {
      for (std::int32_t i = 0; i < equation->VariableCount(); ++i) {
        InsertSorted(&index_[equation->GetVariable(i)], solver);
      }
    } catch (const std::bad_alloc&) {
      delete equation;
      ThrowCQLNException(daes::kBlockOutOfMemory, "Out of Memory");
    }
  }
  const Status s = AddRow(equation);
  if (status::IsFailure(s)) delete equation;
  return s;
}

DAESEqnRow* DAESProblem::GetEquation(std::int32_t i) const {
  return i < 0 ? nullptr : dynamic_cast<DAESEqnRow*>(GetRow(static_cast<std::uint32_t>(i)));
}

// --- variable table ---

std::int32_t DAESProblem::InsertVariable(DAESVarTableEntry* variable, std::int32_t* position) {
  if ((variable->GetFlags() & daes::kMerged) != 0) {
    const std::int32_t at = FindBySequence(variable->SequenceNumber());
    if (at >= 0) {
      *position = at;
      return at + 1;
    }
  }
  const std::int32_t result = DAESSolverBlock::InsertVariable(variable, position);
  if (result < 0) return result;
  variable->SetFlags(daes::kInProblemReferenced);
  if (result != 0) return result;
  if (auto* dot = dynamic_cast<DAESDotVariable*>(variable)) {
    DAESVarTableEntry* state = dot->GetStateVariable();
    if (state != nullptr && (state->GetFlags() & daes::kMerged) == 0) {
      std::int32_t at = 0;
      const std::int32_t added = DAESSolverBlock::InsertVariable(state, &at);
      if (added < 0) return added;
      state->SetFlags(daes::kInProblemReferenced);
      if (added == 0 && at <= *position) ++*position;
    }
  }
  return 0;
}

Status DAESProblem::AddTreeVariable(DAESVarTableEntry* variable) {
  std::int32_t position = 0;
  const std::int32_t result = DAESSolverBlock::InsertVariable(variable, &position);
  if (result < 0) return daes::kBlockOutOfMemory;
  if (result == 0) {
    // Referenced again only by this problem's equations: a mark left by
    // an earlier problem of the tree must not keep a variable.
    variable->ClearFlags(daes::kReferenced);
    variable->SetFlags(daes::kInProblem);
  }
  return 0;
}

DAESVarTableEntry* DAESProblem::EntryFor(const DAESVarTableEntry* variable) const {
  const std::int32_t at = FindBySequence(variable->SequenceNumber());
  return at >= 0 ? GetVariable(at) : nullptr;
}

void DAESProblem::WriteCompiledValues() {
  if (!daes::CurrentCompiledLibrary().IsLoaded()) return;
  for (std::int32_t i = 0; i < VariableCount(); ++i) {
    if (DAESVarTableEntry* v = GetVariable(i)) v->WriteCompiledValue(v->GetRealValue());
  }
}

std::int32_t DAESProblem::ColumnOf(const DAESVarTableEntry* variable) const {
  // Compiled evaluation asks at every value set: the entry itself is found
  // in constant time, a search by sequence number walks the table.
  if (const std::int32_t at = FindVariable(variable); at != 0) return at;
  return FindBySequence(variable->SequenceNumber()) + 1;
}

void DAESProblem::Detach(DAESVarTableEntry* entry) {
  const std::int32_t at = FindBySequence(entry->SequenceNumber());
  if (at >= 0 && GetVariable(at) == entry) RemoveVariableAt(static_cast<std::uint32_t>(at));
}

void DAESProblem::MoveEquations(DAESVarTableEntry* from, DAESVarTableEntry* to) {
  auto found = index_.find(from);
  if (found == index_.end()) return;
  std::vector<DAESSolverEquation*> moved = std::move(found->second);
  index_.erase(found);
  std::vector<DAESSolverEquation*>& target = index_[to];
  for (DAESSolverEquation* equation : moved) {
    equation->ReplaceElement(from, to);
    InsertSorted(&target, equation);
  }
}

// --- x = y ---

bool DAESProblem::RefusedForValues(DAESVarTableEntry* a, DAESVarTableEntry* b) {
  const std::uint32_t mark = daes::kEliminationMark;
  if ((a->GetFlags() & mark) == 0 || (b->GetFlags() & mark) == 0) return false;
  const double va = a->GetRealValue();
  const double vb = b->GetRealValue();
  const double tolerance = SolverOptions::Instance()->GetReal(kOptEqnTol);
  if (!(std::fabs(va - vb) >= tolerance)) return false;
  if (PrintLevel() > 2) {
    SuPrint(0,
            "Equation @ns was not eliminated because\nthe values of its variables differ by more "
            "than the residual tolerance (%g)",
            &eliminating_, &tolerance);
    const bool list = SolverOptions::Instance()->GetBool(kOptListEquivalenceVariables);
    for (DAESVarTableEntry* side : {a, b}) {
      BvuNameable* named = side;
      const double value = side->GetRealValue();
      SuPrint(0, "    @ns = %g", &named, &value);
      if (!list || !IsEquivalence(side)) continue;
      auto* e = static_cast<DAESEquivalence*>(side);
      for (std::int32_t m = 0; m < e->MemberCount(); ++m) {
        BvuNameable* member = e->Member(m);
        const double mv = e->Member(m)->GetRealValue();
        SuPrint(0, "        @ns = %g", &member, &mv);
      }
    }
    SuPrint(0,
            "Either ensure both variables are assigned the same value, or remove one assignment");
  }
  ++refused_;
  return true;
}

Status DAESProblem::EliminateEquivalence(DAESSimpleEquation* model) {
  const std::vector<DAESRowElement*>& elements = model->RowElements();
  if (elements.size() < 2) return daes::kNotImplemented;
  DAESVarTableEntry* a = elements[0]->ElementVariable();
  DAESVarTableEntry* b = elements[1]->ElementVariable();
  if (a == nullptr || b == nullptr) return daes::kNotImplemented;
  eliminating_ = model;
  if (a->SequenceNumber() == b->SequenceNumber()) {
    BvuNameable* named_a = a;
    BvuNameable* named_b = b;
    SuPrint(0, "Equation @ns is redundant; it equates variables already equated.", &eliminating_);
    SuPrint(0, "It contains the variables @ns and @ns", &named_a, &named_b);
    if ((a->GetFlags() & daes::kMerged) != 0 && (b->GetFlags() & daes::kMerged) != 0) {
      BvuNameable* equivalence = EntryFor(a);
      if (equivalence != nullptr) {
        SuPrint(0, "Variables are already equivalenced in @ns", &equivalence);
      }
    }
    ++redundant_;
    return daes::kNotImplemented;
  }
  for (DAESVarTableEntry** side : {&a, &b}) {
    if (((*side)->GetFlags() & daes::kMerged) == 0) continue;
    DAESVarTableEntry* entry = EntryFor(*side);
    if (entry == nullptr || !IsEquivalence(entry)) continue;
    *side = entry;
    if ((entry->GetFlags() & daes::kEliminationMark) != 0) {
      static_cast<DAESEquivalence*>(entry)->MergeMembers(true);
    }
  }
  if (RefusedForValues(a, b)) return daes::kNotImplemented;
  const bool a_is = IsEquivalence(a);
  const bool b_is = IsEquivalence(b);
  // Out of the table first, while each still has its own sequence number
  // and class; the equivalence goes back in with its new class.
  Detach(a);
  Detach(b);
  DAESEquivalence* kept = nullptr;
  if (!a_is && !b_is) {
    kept = new DAESEquivalence;
    kept->AddMember(a);
    kept->AddMember(b);
    MoveEquations(a, kept);
    MoveEquations(b, kept);
  } else if (b_is && !a_is) {
    kept = static_cast<DAESEquivalence*>(b);
    kept->AddMember(a);
    MoveEquations(a, kept);
  } else if (a_is && !b_is) {
    kept = static_cast<DAESEquivalence*>(a);
    kept->AddMember(b);
    MoveEquations(b, kept);
  } else {
    kept = static_cast<DAESEquivalence*>(a);
    auto* other = static_cast<DAESEquivalence*>(b);
    kept->TakeOverMembers(other);
    MoveEquations(other, kept);
    delete other;
  }
  std::int32_t position = 0;
  if (InsertVariable(kept, &position) < 0) {
    ThrowCQLNException(daes::kBlockOutOfMemory, "Out of Memory");
  }
  ++eliminated_;
  return 0;
}

void DAESProblem::Report() {
  const std::int32_t level = PrintLevel();
  const bool nested = IsNested();
  if (eliminated_ > 0 && (level == 5 || (level == 4 && !nested))) {
    for (std::int32_t i = 0; i < VariableCount(); ++i) {
      DAESVarTableEntry* v = GetVariable(i);
      const std::int32_t members = v->MemberCount();
      if (members == 0) continue;
      BvuNameable* named = v;
      SuPrint(0, "@ns contains the following %d variables:", &named, &members);
      auto* e = static_cast<DAESEquivalence*>(v);
      for (std::int32_t m = 0; m < members; ++m) {
        BvuNameable* member = e->Member(m);
        SuPrint(0, "      @ns", &member);
      }
    }
  }
  if (level >= 2 || (level == 1 && !nested)) {
    double tolerance = SolverOptions::Instance()->GetReal(kOptEqnTol);
    if (refused_ >= 2) {
      SuPrint(0, "%d equations were not eliminated because they had residuals over %g", &refused_,
              &tolerance);
    } else if (refused_ == 1) {
      SuPrint(0, "1 equation was not eliminated because it had a residual over %g", &tolerance);
    }
    if (eliminated_ > 0) {
      const double percent =
          eliminated_ * 100.0 / (static_cast<double>(GetRowCount()) + eliminated_);
      SuPrint(0, "A total of %d equations (%4.1f%%) were eliminated", &eliminated_, &percent);
    }
  }
  if (redundant_ > 0) {
    SuPrint(daes::kNotImplemented, "A total of %d equations were redundant", &redundant_);
  }
}

void DAESProblem::ListEquivalences() {
  for (std::int32_t i = 0; i < VariableCount(); ++i) {
    DAESVarTableEntry* v = GetVariable(i);
    const std::int32_t members = v->MemberCount();
    if (!IsEquivalence(v) || members == 0) continue;
    BvuNameable* named = v;
    SuPrint(0, "@ns contains the following %d variables:", &named, &members);
    auto* e = static_cast<DAESEquivalence*>(v);
    for (std::int32_t m = 0; m < members; ++m) {
      BvuNameable* member = e->Member(m);
      SuPrint(0, "      @ns", &member);
    }
  }
}

// --- stored values ---

Status DAESProblem::BuildStoredValues(SUPackedValueTable* table) {
  // Unreferenced variables leave; a state whose derivative no equation
  // reads is algebraic. Both change the table, so walk a copy.
  const std::vector<DAESVarTableEntry*> entries(GetVariables(), GetVariables() + VariableCount());
  for (DAESVarTableEntry* v : entries) {
    if (FindBySequence(v->SequenceNumber()) < 0) continue;  // dropped with its state's derivative
    const std::uint32_t f = v->GetFlags();
    if ((f & (daes::kReferenced | daes::kFixed)) == 0) {
      if (IsEquivalence(v)) continue;
      v->SetStoredIndex(0);
      Detach(v);
      v->ClearFlags(daes::kInProblem);
      if (auto* dot = dynamic_cast<DAESDotVariable*>(v)) {
        DAESRealVariable* state = dot->GetStateVariable();
        if (state != nullptr && (state->GetFlags() & daes::kReferenced) != 0) {
          state->SetDerivative(nullptr);
        }
      }
      continue;
    }
    if (IsEquivalence(v)) continue;
    if ((f & daes::kFixed) != 0 && (f & daes::kReferenced) == 0) {
      BvuNameable* named = v;
      SuPrint(0, "Fixed variable @ns was not referenced by any equation.", &named);
    }
    DAESVarTableEntry* d = v->GetDerivative();
    if ((f & daes::kState) != 0 && (d == nullptr || (d->GetFlags() & daes::kReferenced) == 0)) {
      // Moves from the known to the unknown segment.
      Detach(v);
      v->ClearFlags(daes::kState);
      v->SetFlags(daes::kAlgebraic);
      std::int32_t at = 0;
      DAESSolverBlock::InsertVariable(v, &at);
    }
  }
  stored_.clear();
  stored_parameter_.clear();
  for (std::int32_t i = 0; i < VariableCount(); ++i) {
    DAESVarTableEntry* v = GetVariable(i);
    if (IsEquivalence(v)) {
      auto* e = static_cast<DAESEquivalence*>(v);
      e->MergeMembers(false);
      for (std::int32_t m = 0; m < e->MemberCount(); ++m) {
        stored_.push_back(e->Member(m));
        e->Member(m)->DAESVarTableEntry::SetStoredIndex(static_cast<std::uint32_t>(stored_.size()));
      }
    } else {
      stored_.push_back(v);
      v->SetStoredIndex(static_cast<std::uint32_t>(stored_.size()));
    }
  }
  if (VariableCount() == 0) return daes::kNoVariablesLeft;
  const std::size_t variables = stored_.size();
  for (DAESParameter* p : parameters_) {
    stored_.push_back(p);
    p->SetStoredIndex(static_cast<std::uint32_t>(stored_.size()));
  }
  // Which entries are parameters, found once here rather than at each store.
  stored_parameter_.resize(stored_.size());
  for (std::size_t i = 0; i < stored_.size(); ++i) {
    stored_parameter_[i] = dynamic_cast<DAESParameter*>(stored_[i]) != nullptr ? 1 : 0;
  }
  if (table == nullptr) return 0;
  table->Resize(static_cast<std::int32_t>(stored_.size()));
  // Every variable once a record: their objects lie far apart on a large
  // model, so each is asked for a few ahead.
  constexpr std::size_t kAhead = 8;
  for (std::size_t i = 0; i < stored_.size(); ++i) {
    if (i + kAhead < stored_.size()) {
      __builtin_prefetch(stored_[i + kAhead]);
      __builtin_prefetch(stored_[i + kAhead]->ValuePointer());
    }
    SUPackedValue& record = table->Record(static_cast<std::int32_t>(i));
    DAESVarTableEntry* owner = stored_[i];
    record.owner = owner;
    if (i < variables) {
      record.attribute = daes::kStoredVariableAttribute;
      record.type = SUValue::kReal;
      record.payload.real = owner->GetRealValue();
    } else {
      record.attribute = (owner->GetFlags() & daes::kStoredAsAttribute) != 0
                             ? daes::kStoredAttributeParameter
                             : daes::kStoredVariableAttribute;
      record.type = 0;
      record.FromValue(owner->TypedValue(), table->Pool());
    }
    record.flags = owner->GetFlags() & daes::kStoredMask;
  }
  return 0;
}

Status DAESProblem::StoreValues(SUPackedValueTable* table) {
  if (table == nullptr || table->Count() != static_cast<std::int32_t>(stored_.size())) {
    return daes::kNotImplemented;
  }
  // Every variable once a record: their objects lie far apart on a large
  // model, so each is asked for a few ahead.
  constexpr std::size_t kAhead = 8;
  for (std::size_t i = 0; i < stored_.size(); ++i) {
    if (i + kAhead < stored_.size()) {
      __builtin_prefetch(stored_[i + kAhead]);
      __builtin_prefetch(stored_[i + kAhead]->ValuePointer());
    }
    SUPackedValue& record = table->Record(static_cast<std::int32_t>(i));
    DAESVarTableEntry* owner = stored_[i];
    record.owner = owner;
    if (stored_parameter_[i] != 0) {
      record.FromValue(owner->TypedValue(), table->Pool());
    } else {
      record.type = SUValue::kReal;
      record.payload.real = owner->GetRealValue();
    }
    record.flags = owner->GetFlags() & daes::kStoredMask;
  }
  return 0;
}

Status DAESProblem::RestoreValues(SUPackedValueTable* table) {
  if (table == nullptr || table->Count() != static_cast<std::int32_t>(stored_.size())) {
    return daes::kNotImplemented;
  }
  auto real_of = [&](std::int32_t i) {
    const SUPackedValue& r = table->Record(i);
    return r.type == 0 || r.type == SUValue::kReal ? r.payload.real : 0.0;
  };
  std::int32_t at = 0;
  for (std::int32_t i = 0; i < VariableCount(); ++i) {
    DAESVarTableEntry* v = GetVariable(i);
    if (IsEquivalence(v)) {
      const std::int32_t m = v->MemberCount();
      if (m == 0) continue;
      double sum = 0.0;
      for (std::int32_t k = 0; k < m; ++k) sum += real_of(at++);
      v->SetValue(sum / m);
    } else {
      v->SetValue(real_of(at++));
    }
  }
  for (DAESParameter* p : parameters_) {
    const SUPackedValue& r = table->Record(at++);
    if (r.type < 2 || r.type > 13) continue;
    SUValue value;
    if (status::IsSuccess(r.ToValue(&value, table->Pool()))) p->SetTypedValue(value);
  }
  return 0;
}

Status DAESProblem::SaveValues(std::vector<double>* out) {
  out->clear();
  for (std::int32_t i = 0; i < VariableCount(); ++i) out->push_back(GetVariable(i)->GetRealValue());
  return 0;
}

Status DAESProblem::RestoreSavedValues(std::vector<double> values) {
  const auto n = std::min<std::size_t>(values.size(), static_cast<std::size_t>(VariableCount()));
  for (std::size_t i = 0; i < n; ++i)
    GetVariable(static_cast<std::int32_t>(i))->SetValue(values[i]);
  return 0;
}

std::int32_t DAESProblem::StoredValueCount() {
  return VariableCount() + eliminated_ + static_cast<std::int32_t>(parameters_.size());
}

// --- procedures ---

Status DAESProblem::AddProcedureEquation(DAESProcedureEquation* equation) {
  procedures_.push_back(equation);
  output_total_ += equation->OutputCount();
  return 0;
}

Status DAESProblem::ShareOutputs() {
  if (output_total_ <= 0) return 0;
  outputs_.assign(static_cast<std::size_t>(output_total_), 0.0);
  std::size_t next = 0;
  for (DAESProcedureEquation* p : procedures_) {
    p->SetOutputBuffer(outputs_.data() + next);
    next += static_cast<std::size_t>(std::max(0, p->OutputCount()));
  }
  return 0;
}

void DAESProblem::FreeOutputs() {
  if (outputs_.empty()) return;
  for (DAESProcedureEquation* p : procedures_) p->SetOutputBuffer(nullptr);
  outputs_.clear();
}

void DAESProblem::GetProcedureOutputs(double** buffer, std::uint32_t* bytes) {
  *buffer = outputs_.empty() ? nullptr : outputs_.data();
  *bytes = static_cast<std::uint32_t>(outputs_.size() * sizeof(double));
}

void DAESProblem::ResetProcedures() {
  for (DAESProcedureEquation* p : procedures_) p->ResetPropertiesCall();
}

Status DAESProblem::OpenProcedures() {
  opened_ = true;
  return RunProcedureCalls(5);
}

Status DAESProblem::CloseProcedures() {
  Status result = 0;
  if (precalled_) result = RunProcedureCalls(2);
  if (opened_) {
    opened_ = false;
    const Status closed = RunProcedureCalls(6);
    if (!status::IsFailure(result)) result = closed;
  }
  return status::IsFailure(result) ? result : 0;
}

Status DAESProblem::RunProcedureCalls(std::int32_t mode) {
  std::uint32_t& word = daes::ProcedureCallWord();
  const std::uint32_t entry = word;
  word = 0;
  const daes::CompiledLibrary& library = daes::CurrentCompiledLibrary();
  Status result = 0;
  if (mode == 1) {
    if (library.IsLoaded() && library.precall_procs != nullptr) {
      // The library keeps its own mark; this one says its post-calls are due.
      const bool first = !precalled_;
      if (first) {
        for (DAESProcedureEquation* p : procedures_) {
          if (p->CalledByLibrary()) p->TellPrecall();
        }
      }
      result = library.precall_procs();
      if (!status::IsFailure(result) && first) {
        const Status own = PrecallProcedures(true);
        if (status::IsFailure(own)) {
          // Undo the library's pre-calls, as a failed pre-call undoes those before it.
          if (library.postcall_procs != nullptr) library.postcall_procs(0x7FFFFFFF);
          result = own;
        }
      }
      if (!status::IsFailure(result)) {
        precalled_ = true;
        // The rows call the procedures themselves, and must not take their
        // outputs from before the pre-call, as after their own.
        for (DAESProcedureEquation* p : procedures_) p->ForgetLastCall();
      }
    } else if (precalled_) {
      result = daes::kProcedureCallsUnchanged;
    } else {
      result = PrecallProcedures(false);
      precalled_ = !status::IsFailure(result);
    }
  } else if (mode == 2) {
    if (!precalled_) {
      result = daes::kProcedureCallsUnchanged;
    } else {
      precalled_ = false;
      const bool by_library = library.IsLoaded() && library.postcall_procs != nullptr;
      // The library's calls stand for the procedures' own, as its pre-calls did.
      if (by_library) result = library.postcall_procs(0x7FFFFFFF);
      const Status own = CallEachProcedure(2, by_library, "postcall");
      if (status::IsFailure(own) && !status::IsFailure(result)) result = own;
    }
  } else if (mode == 5 || mode == 6) {
    result = CallEachProcedure(mode, false, "call");
  }
  if (entry != 0) word = entry;
  return result;
}

// The pre-calls the engine makes itself (without those of the loaded
// library's procedures when `besides_library`); a failure post-calls those
// made before it.
Status DAESProblem::PrecallProcedures(bool besides_library) {
  for (std::size_t i = 0; i < procedures_.size(); ++i) {
    if (besides_library && procedures_[i]->CalledByLibrary()) continue;
    if (!status::IsFailure(procedures_[i]->CallProcedure(1))) continue;
    const std::string name = procedures_[i]->ProcedureName();
    for (std::size_t k = 0; k < i; ++k) {
      if (!besides_library || !procedures_[k]->CalledByLibrary()) procedures_[k]->CallProcedure(2);
    }
    SuPrint(daes::kNotImplemented, "procedure precall failed for %s", name.c_str());
    return daes::kNotImplemented;
  }
  return 0;
}

// Calls every procedure with `task`, each whatever the others answer; one
// message names the first failure and how many there were.
Status DAESProblem::CallEachProcedure(std::int32_t task, bool besides_library, const char* what) {
  std::int32_t failures = 0;
  std::string first;
  for (DAESProcedureEquation* p : procedures_) {
    if (besides_library && p->CalledByLibrary()) continue;
    if (!status::IsFailure(p->CallProcedure(task))) continue;
    if (failures++ == 0) first = p->ProcedureName();
  }
  if (failures == 1) {
    SuPrint(daes::kNotImplemented, "procedure %s failed for %s", what, first.c_str());
  } else if (failures > 1) {
    SuPrint(daes::kNotImplemented, "%d procedure %s failures (first was %s)", &failures, what,
            first.c_str());
  }
  return failures > 0 ? daes::kNotImplemented : 0;
}

DAESProblem* DAESCreateProblem(BvuDirectoryNode* root, std::uint64_t second_value,
                               SUPackedValueTable* table) {
  try {
    return new DAESProblem(root, second_value, table);
  } catch (const CQLNException& e) {
    std::cerr << "QLNInstanceFactory::CreateProblem() Caught QLNException: 0x" << std::hex
              << e.Code() << std::dec << ' ' << e.Text() << '\n';
    SuPrint(e.Code(), "Exception (%s) during construction of runnable simulation", e.Text());
    return nullptr;
  }
}

// --- compiled equations ---

Status DAESProblem::LoadCompiledLibrary(const char* library) {
  DAESCompiledCode* code = daes::CompiledCode();
  return code != nullptr ? code->Load(this, library)
                         : DAESSolverBlock::LoadCompiledLibrary(library);
}

Status DAESProblem::BuildCompiledEquations(std::int32_t a, std::int32_t b) {
  DAESCompiledCode* code = daes::CompiledCode();
  if (code == nullptr) return DAESSolverBlock::LoadCompiledLibrary(nullptr);
  std::string library;
  const Status s = code->Generate(this, a, b, second_value_, &library);
  if (status::IsFailure(s)) return s;
  // Nothing generated: the library named already stays.
  if (!library.empty()) SetCompiledLibraryName(library.c_str());
  return LoadCompiledLibrary(GetCompiledLibraryName());
}
