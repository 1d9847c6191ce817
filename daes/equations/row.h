// The solver-side row: the variables of one equation, kept sorted by
// sequence number so that lookups are binary searches.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "daes/model/var_table_entry.h"

namespace daes {
inline constexpr Status kRowNotImplemented = 0xA027FFFFu;
}

class DAESEqnRow : public QLNVariable {
 public:
  DAESEqnRow() { flags_ = 0x60; }
  ~DAESEqnRow() override { delete[] variables_; }
  DAESEqnRow(const DAESEqnRow&) = delete;
  DAESEqnRow& operator=(const DAESEqnRow&) = delete;

  std::int32_t VariableCount() const { return count_; }
  DAESVarTableEntry* GetVariable(std::int32_t i) const {
    return i >= 0 && i < count_ ? variables_[i] : nullptr;
  }
  // Null with the position of the new entry, or position + 1 (1-based) of
  // the variable with the same sequence number, which stays alone.
  std::int32_t InsertVariable(DAESVarTableEntry* variable, std::int32_t* position);
  DAESVarTableEntry* FindVariable(const DAESVarTableEntry* variable) const;
  // "[", the address, "] QLNRow::Dump() ----".
  void Dump(std::ostream& out);
  std::int32_t Capacity() const { return capacity_; }

 private:
  // The index of the sequence number, or -(insertion point) - 1.
  std::int32_t Search(std::uint32_t sequence) const;

  std::int32_t count_ = 0;
  std::int32_t capacity_ = 0;
  DAESVarTableEntry** variables_ = nullptr;
};
