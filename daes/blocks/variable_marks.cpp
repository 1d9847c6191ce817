#include "daes/blocks/variable_marks.h"

#include <algorithm>

Status VariableMarkList::Raise(DAESVarTableEntry* variable, std::int32_t mark) {
  const std::uint32_t index = variable->SequenceNumber();
  const auto at = std::lower_bound(
      variables_.begin(), variables_.end(), index,
      [](const DAESVarTableEntry* v, std::uint32_t n) { return v->SequenceNumber() < n; });
  const auto i = static_cast<std::size_t>(at - variables_.begin());
  if (at != variables_.end() && (*at)->SequenceNumber() == index) {
    marks_[i] = std::max(marks_[i], mark);
    return 0;
  }
  if (variables_.size() % 4 == 0) {
    variables_.reserve(variables_.size() + 4);
    marks_.reserve(variables_.size() + 4);
  }
  variables_.insert(variables_.begin() + static_cast<std::ptrdiff_t>(i), variable);
  marks_.insert(marks_.begin() + static_cast<std::ptrdiff_t>(i), mark);
  return 0;
}
