// What a solver block tells people and the client: its dump, its report,
// its sparsity pattern and the structure replies.
#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "daes/blocks/solver_block.h"
#include "daes/model/var_table_entry.h"
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

// The indeterminate variables of the rows, each once, by sequence number.
Status WriteIndeterminate(BvuBinaryStream& s, const std::vector<QLNRow*>& rows) {
  std::vector<DAESVarTableEntry*> found;
  for (QLNRow* row : rows) {
    if ((row->GetFlags() & daes::kLeftOutRow) != 0) continue;
    for (std::int32_t i = 0; i < row->VariableCount(); ++i) {
      DAESVarTableEntry* v = row->GetVariable(i);
      if (v != nullptr &&
          (v->IsMarkedIndeterminate() || (v->GetFlags() & daes::kHasIndeterminate) != 0)) {
        found.push_back(v);
      }
    }
  }
  std::sort(found.begin(), found.end(), [](DAESVarTableEntry* a, DAESVarTableEntry* b) {
    return a->SequenceNumber() < b->SequenceNumber();
  });
  found.erase(std::unique(found.begin(), found.end()), found.end());
  Status st = s.PutUInt24(static_cast<std::uint32_t>(found.size()));
  for (DAESVarTableEntry* v : found) st |= s.PutString(v->GetNameText());
  return st;
}

std::uint16_t Clip16(std::uint32_t n) {
  return n > 0xFFFF ? 0xFFFF : static_cast<std::uint16_t>(n);
}
}  // namespace

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
  for (std::uint32_t i = 0; i < vars_.Count(); ++i) {
    out << "Var " << i + 1 << ' ' << vars_.At(i)->GetNameText() << '\n';
  }
  out << "DAESSolverBlock::Dump Complete ----------------------------\n";
}

void DAESSolverBlock::Report(std::ostream& out) {
  out << " Block type : " << ReportKindName(GroupKind()) << '\n'
      << " Non zero entries    : " << NonZeroCount() << '\n'
      << " Number of variables : " << VariableCount() << '\n'
      << " Number of Equations : " << GetRowCount() << '\n'
      << " Variable list: \n";
  for (std::uint32_t i = 0; i < vars_.Count(); ++i) out << vars_.At(i)->GetNameText() << '\n';
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

Status DAESSolverBlock::WriteEquationList(BvuBinaryStream& s) {
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
    // Incidence details come with the decomposition; none are listed yet.
    st |= s.PatchUInt16(details, 0);
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

Status DAESSolverBlock::WriteItemIncidence(BvuBinaryStream& s, std::uint32_t item) {
  Status st = s.PutUInt16(131);
  QLNRow* row = item >= 1 ? GetRow(item - 1) : nullptr;
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
  if (HasIndeterminate() && (GetFlags() & daes::kProcedureRow) == 0) {
    st |= WriteIndeterminate(s, std::vector<QLNRow*>(GetRows(), GetRows() + GetRowCount()));
  } else {
    st |= s.PutUInt24(0);
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
