// What a solver block tells people and the client: its dump, its report,
// its sparsity pattern and the structure replies.
#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "daes/blocks/block_kinds.h"
#include "daes/blocks/solver_block.h"
#include "daes/blocks/variable_marks.h"
#include "daes/model/var_table_entry.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "expr/tree/expression.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/persistence/binary_stream.h"

namespace {
const char* ReportKindName(std::uint32_t kind) {
  switch (kind) {
    case 0:
      return "Linear ";
    case 1:
      return "Non-Linear ";
    case 2:
      return "Torn ";
    case 3:
      return "Explicit - single linear ";
    default:
      return "Unknown block type ";
  }
}

std::uint16_t Clip16(std::uint32_t n) {
  return n > 0xFFFF ? 0xFFFF : static_cast<std::uint16_t>(n);
}

DAESSolverEquation* ModelOf(QLNRow* row) {
  auto* q = dynamic_cast<QLNEquation*>(row);
  return q != nullptr ? dynamic_cast<DAESSolverEquation*>(q->UnderlyingEquation()) : nullptr;
}

// A model equation whose residual is private lists no details.
bool Proprietary(DAESSolverEquation* model) {
  Expression* e = model->ResidualExpression();
  return e != nullptr && e->IsPrivate();
}

// The model equations under a row: its own, a single block's, or those of
// a block's rows.
void ModelsUnder(QLNRow* row, std::vector<DAESSolverEquation*>* out) {
  if (DAESSolverEquation* model = ModelOf(row)) {
    out->push_back(model);
  } else if (auto* single = dynamic_cast<DAESSingleBlock*>(row)) {
    if (DAESSolverEquation* model = ModelOf(single->GetEquation())) out->push_back(model);
  } else if (auto* block = dynamic_cast<DAESSolverBlock*>(row)) {
    for (std::uint32_t i = 0; i < block->GetRowCount(); ++i) ModelsUnder(block->GetRow(i), out);
  }
}

bool GroupSolves(DAESBlock* group, const DAESVarTableEntry* v) {
  if (auto* solver = dynamic_cast<DAESSolverBlock*>(group)) return solver->Solves(v);
  return group != nullptr && group->GetVariable(0) == v;
}

// The names of the indeterminate variables under the rows, each once by
// index: u24 count and the names.
Status WriteIndeterminate(BvuBinaryStream& s, const std::vector<QLNRow*>& rows) {
  VariableMarkList marks;
  for (QLNRow* row : rows) {
    std::vector<DAESSolverEquation*> models;
    ModelsUnder(row, &models);
    for (DAESSolverEquation* model : models) {
      if (Proprietary(model)) continue;
      for (std::int32_t j = 0; j < model->VariableCount(); ++j) {
        DAESVarTableEntry* v = model->GetVariable(j);
        if (v != nullptr && v->IsMarkedIndeterminate()) marks.Raise(v, 0);
      }
    }
  }
  Status st = s.PutUInt24(marks.Count());
  for (std::uint32_t i = 0; i < marks.Count(); ++i)
    st |= s.PutString(marks.Variable(i)->GetNameText());
  return st;
}

// One incidence detail of an equation-list row: the variable, where it is
// computed, and for an equivalence member the problem column it reads.
// Every variable of the problem carries flag 0x8, so a torn variable is
// told by its torn row: the output of a row with flag 0x8.
Status WriteDetail(BvuBinaryStream& s, DAESVarTableEntry* v, std::int32_t mark, bool torn,
                   const std::vector<DAESBlock*>* groups, std::size_t own) {
  Status st = s.PutString(v->GetNameText());
  const std::size_t n = groups != nullptr ? groups->size() : 0;
  if (torn) {
    std::uint32_t found = 0;
    for (std::size_t g = 0; g < n && found == 0; ++g) {
      DAESBlock* group = (*groups)[g];
      const std::uint32_t kind = group->GroupKind();
      if ((kind == 2 || kind == 3) && GroupSolves(group, v))
        found = static_cast<std::uint32_t>(g + 1);
    }
    st |= s.PutUInt8(4);
    st |= s.PutUInt24(found);
  } else if (mark > 0) {
    st |= s.PutUInt8(1);
  } else {
    std::uint32_t group_number = 0;
    std::uint32_t sub_group = 0;
    for (std::size_t g = std::min(own, n); g-- > 0 && group_number == 0;) {
      DAESBlock* group = (*groups)[g];
      auto* solver = dynamic_cast<DAESSolverBlock*>(group);
      DAESSolverBlock* inner = solver != nullptr ? solver->InnerBlock() : nullptr;
      for (std::uint32_t k = inner != nullptr ? inner->GetRowCount() : 0; k-- > 0;) {
        if (GroupSolves(dynamic_cast<DAESBlock*>(inner->GetRow(k)), v)) {
          group_number = static_cast<std::uint32_t>(g + 1);
          sub_group = k + 1;
          break;
        }
      }
      if (group_number == 0 && GroupSolves(group, v))
        group_number = static_cast<std::uint32_t>(g + 1);
    }
    if (sub_group != 0) {
      st |= s.PutUInt8(3);
      st |= s.PutUInt24(group_number);
      st |= s.PutUInt24(sub_group);
    } else if (group_number != 0) {
      st |= s.PutUInt8(2);
      st |= s.PutUInt24(group_number);
    } else {
      st |= s.PutUInt8(0);
    }
  }
  DAESProblem* problem = GetCurrentProblem();
  std::int32_t column = 0;
  if ((v->GetFlags() & daes::kMerged) != 0 && problem != nullptr) column = problem->ColumnOf(v);
  st |= s.PutUInt24(column > 0 ? static_cast<std::uint32_t>(column) : 0);
  return st;
}
}  // namespace

bool DAESSolverBlock::Solves(const DAESVarTableEntry* variable) const {
  const std::int32_t at = FindVariable(variable);
  return at > static_cast<std::int32_t>(KnownCount());
}

Status DAESSolverBlock::IncidenceDetails(QLNRow* row, VariableMarkList* out) {
  std::vector<DAESSolverEquation*> models;
  ModelsUnder(row, &models);
  for (DAESSolverEquation* model : models) {
    for (std::int32_t j = 0; j < model->VariableCount(); ++j) {
      DAESVarTableEntry* v = model->GetVariable(j);
      if (v == nullptr) continue;
      const Status st = out->Raise(v, Solves(v) ? 1 : 0);
      if (status::IsFailure(st)) return st;
    }
  }
  return 0;
}

Status DAESSolverBlock::WriteRowIncidence(BvuBinaryStream& s, std::uint32_t i) {
  Status st = s.PutUInt16(131);
  QLNRow* row = GetRow(i);
  if (HasIndeterminate() && row != nullptr) {
    st |= WriteIndeterminate(s, {row});
  } else {
    st |= s.PutUInt24(0);
  }
  st |= s.PutUInt16(daes::kListEnd);
  return st;
}

Status DAESSolverBlock::WriteIncidence(BvuBinaryStream& s) {
  Status st = s.PutUInt16(132);
  if ((GetFlags() & daes::kTorn) == 0 && HasIndeterminate()) {
    st |= WriteIndeterminate(s, std::vector<QLNRow*>(GetRows(), GetRows() + GetRowCount()));
  } else {
    st |= s.PutUInt24(0);
  }
  st |= s.PutUInt16(daes::kListEnd);
  return st;
}

void DAESSolverBlock::Dump(std::ostream& out) {
  out << "DAESSolverBlock::Dump:-----------------------\n"
      << "Id=" << GetGroupNumber() << " Type=" << GroupKind() << ' ' << GetRowCount() << " rows, "
      << VariableCount() << " active vars and " << NonZeroCount() << " non-zeros\n";
  const bool groups = GetRowCount() > 0 && (GetRow(0)->GetFlags() & daes::kGroupRow) != 0;
  out << (groups ? "------ Sub-Group list:\n" : "------ Equation List:\n");
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) {
    out << "Row #" << i + 1 << '\n';
    GetRow(i)->Dump(out);
    out << '\n';
  }
  out << "------ Variable Table:\n";
  for (std::uint32_t i = 0; i < Table().Count(); ++i) {
    out << "Var " << i + 1 << ' ' << Table().At(i)->GetNameText() << '\n';
  }
  out << "DAESSolverBlock::Dump Complete ----------------------------\n";
}

void DAESSolverBlock::Report(std::ostream& out) {
  out << " Block type : " << ReportKindName(GroupKind()) << '\n'
      << " Non zero entries    : " << NonZeroCount() << '\n'
      << " Number of variables : " << VariableCount() << '\n'
      << " Number of Equations : " << GetRowCount() << '\n'
      << " Variable list: \n";
  for (std::uint32_t i = 0; i < Table().Count(); ++i) out << Table().At(i)->GetNameText() << '\n';
  out << " Equation list: \n";
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) {
    if ((GetRow(i)->GetFlags() & daes::kLeftOutRow) != 0) continue;
    out << GetRow(i)->GetNameText() << '\n';
  }
}

void DAESSolverBlock::PrintSparsity(std::ostream& out) {
  out << "==== Sparsity pattern [row,col] for group " << GetGroupNumber() << '\n';
  for (std::uint32_t p = 0; p < StructureSize(); ++p) {
    out << '[' << struct_rows_[p] << ',' << struct_cols_[p] << "]\n";
  }
}

Status DAESSolverBlock::WriteGroupList(BvuBinaryStream& s, std::uint32_t level,
                                       const std::uint32_t* path, std::uint32_t path_length) {
  if (level >= 2) {
    const std::uint32_t n = path_length >= 2 ? path[1] : 0;
    auto* sub = n >= 1 ? dynamic_cast<DAESSolverBlock*>(GetRow(n - 1)) : nullptr;
    DAESSolverBlock* inner = sub != nullptr ? sub->InnerBlock() : nullptr;
    if (inner == nullptr) return daes::kNoInnerBlock;
    return inner->WriteGroupList(s, level - 1, path_length >= 2 ? path + 1 : path,
                                 path_length >= 2 ? path_length - 1 : 0);
  }
  // Only sub-groups are listed, so only they are counted: a plain group's
  // equations would leave the count promising entries that never come.
  std::uint32_t groups = 0;
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) {
    groups += dynamic_cast<DAESBlock*>(GetRow(i)) != nullptr ? 1 : 0;
  }
  Status st = s.PutUInt16(35);
  st |= s.PutUInt32(groups);
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) {
    auto* group = dynamic_cast<DAESBlock*>(GetRow(i));
    if (group == nullptr) continue;
    st |= s.PutUInt32(i + 1);
    st |= s.PutUInt8(static_cast<std::uint8_t>(group->GroupKind()));
    st |= s.PutUInt8(group->IsSolved() ? 1 : 0);
    st |= s.PutUInt16(Clip16(group->GroupRowCount()));
    st |= s.PutUInt16(Clip16(static_cast<std::uint32_t>(group->VariableCount())));
    auto* solver = dynamic_cast<DAESSolverBlock*>(group);
    st |= s.PutUInt16(Clip16(solver != nullptr ? solver->NonZeroCount() : 1));
  }
  st |= s.PutUInt16(daes::kListEnd);
  return st;
}

Status DAESSolverBlock::WriteEquationList(BvuBinaryStream& s,
                                          const std::vector<DAESBlock*>* groups) {
  // The row's own group: this block's place among the groups, else after
  // all of them.
  std::size_t own = 0;
  if (groups != nullptr) {
    own =
        static_cast<std::size_t>(std::find(groups->begin(), groups->end(), this) - groups->begin());
  }
  Status st = s.PutUInt16(36);
  std::uint32_t count = 0;
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) count += ReportsRow(GetRow(i)) ? 1 : 0;
  st |= s.PutUInt24(count);
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) {
    QLNRow* row = GetRow(i);
    if (!ReportsRow(row)) continue;
    st |= s.PutString(row->GetNameText());
    st |= s.PutUInt24(i + 1);
    st |= s.PutUInt16(Clip16(static_cast<std::uint32_t>(row->VariableCount())));
    std::uint8_t* details = s.ReserveUInt16();
    // The instance name: the row's name up to its last dot.
    std::string name = row->GetNameText();
    const std::size_t dot = name.rfind('.');
    st |= s.PutString(dot == std::string::npos ? "" : name.substr(0, dot).c_str());
    std::uint32_t listed = 0;
    DAESSolverEquation* model = ModelOf(row);
    if (model == nullptr || !Proprietary(model)) {
      VariableMarkList marks;
      st |= IncidenceDetails(row, &marks);
      auto* eqn = dynamic_cast<DAESEqnRow*>(row);
      DAESVarTableEntry* output = (row->GetFlags() & daes::kProcedureRow) != 0 && eqn != nullptr
                                      ? eqn->OutputElement()
                                      : nullptr;
      for (std::uint32_t k = 0; k < marks.Count(); ++k) {
        DAESVarTableEntry* v = marks.Variable(k);
        st |= WriteDetail(s, v, marks.Mark(k), output != nullptr && output == v, groups, own);
      }
      listed = marks.Count();
    }
    st |= s.PatchUInt16(details, Clip16(listed));
  }
  st |= s.PutUInt16(daes::kListEnd);
  return st;
}

Status DAESSolverBlock::WriteResiduals(BvuBinaryStream& s) {
  Status st = s.PutUInt16(133);
  std::uint32_t count = 0;
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) count += ReportsRow(GetRow(i)) ? 1 : 0;
  st |= s.PutUInt24(count);
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) {
    auto* row = dynamic_cast<QLNEquation*>(GetRow(i));
    if (!ReportsRow(GetRow(i))) continue;
    double r = 0.0;
    if (row != nullptr) row->ResidualValue(&r);
    st |= s.PutUInt24(i + 1);
    st |= s.PutDouble(r);
  }
  st |= s.PutUInt16(daes::kListEnd);
  return st;
}

Status DAESSolverBlock::WriteStatistics(BvuBinaryStream& s, std::uint8_t a, std::uint32_t b) {
  Status st = s.PutUInt8(a);
  st |= s.PutUInt32(b);
  st |= s.PutUInt32(GetRowCount());
  st |= s.PutUInt32(static_cast<std::uint32_t>(VariableCount()));
  st |= s.PutUInt32(NonZeroCount());
  st |= s.PutUInt32(GetValueA());
  st |= s.PutUInt32(GetValueB());
  st |= s.PutUInt32(ElementCount());
  st |= s.PutUInt32(KnownCount());
  st |= s.PutUInt8(IsSolved() ? 1 : 0);
  return st;
}
