// The incidence marks of a model equation's variables: sorted by the
// variable's index, one signed mark each; raising a listed variable keeps
// the larger mark.
#pragma once

#include <cstdint>
#include <vector>

#include "daes/model/var_table_entry.h"

class VariableMarkList {
 public:
  // 0; room grows by 4 entries when the count is a multiple of 4.
  Status Raise(DAESVarTableEntry* variable, std::int32_t mark);
  std::uint32_t Count() const { return static_cast<std::uint32_t>(variables_.size()); }
  std::uint32_t Capacity() const { return static_cast<std::uint32_t>(variables_.capacity()); }
  DAESVarTableEntry* Variable(std::uint32_t i) const { return variables_[i]; }
  std::int32_t Mark(std::uint32_t i) const { return marks_[i]; }

 private:
  std::vector<DAESVarTableEntry*> variables_;
  std::vector<std::int32_t> marks_;
};
