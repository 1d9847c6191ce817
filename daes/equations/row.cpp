#include "daes/equations/row.h"

#include <algorithm>
#include <ostream>

std::int32_t DAESEqnRow::Search(std::uint32_t sequence) const {
  std::int32_t low = 0;
  std::int32_t high = count_ - 1;
  while (low <= high) {
    const std::int32_t middle = (low + high) / 2;
    const std::uint32_t at = variables_[middle]->SequenceNumber();
    if (at == sequence) return middle;
    if (at < sequence) {
      low = middle + 1;
    } else {
      high = middle - 1;
    }
  }
  return -low - 1;
}

std::int32_t DAESEqnRow::InsertVariable(DAESVarTableEntry* variable, std::int32_t* position) {
  const std::int32_t found = Search(variable->SequenceNumber());
  if (found >= 0) {
    *position = found;
    return found + 1;
  }
  const std::int32_t at = -found - 1;
  if (count_ % 8 == 0 && count_ == capacity_) {
    auto* grown = new DAESVarTableEntry*[static_cast<std::size_t>(capacity_) + 8];
    std::copy(variables_, variables_ + count_, grown);
    delete[] variables_;
    variables_ = grown;
    capacity_ += 8;
  }
  std::copy_backward(variables_ + at, variables_ + count_, variables_ + count_ + 1);
  variables_[at] = variable;
  ++count_;
  *position = at;
  return 0;
}

DAESVarTableEntry* DAESEqnRow::FindVariable(const DAESVarTableEntry* variable) const {
  const std::int32_t found = Search(variable->SequenceNumber());
  return found >= 0 ? variables_[found] : nullptr;
}

void QLNRow::Dump(std::ostream& out) {
  out << "[" << static_cast<const void*>(this) << "] QLNRow::Dump() ----\n";
  out.flush();
}

DAESDecompEquation::DAESDecompEquation(DAESEqnRow* row) : wrapped_(row) {
  flags_ = row->GetFlags();
  // A row that names an underlying equation is itself a wrapper: keep what
  // it wraps, so that evaluation reaches the model's equation.
  if (auto* underlying = dynamic_cast<DAESEqnRow*>(row->UnderlyingEquation())) {
    wrapped_ = underlying;
  }
}
