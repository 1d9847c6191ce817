// A fixed-capacity list of watched variables, each with the caller's
// cookie. Changes are marked as they happen; Flush hands the sink the
// marked entries, the bounds batch before the value batch.
#pragma once

#include <cstdint>
#include <vector>

#include "daes/model/var_table_entry.h"

// The sink's operations after its first: reference counting and the batches.
class DAESAdviseSink {
 public:
  virtual void Reserved() {}
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;
  virtual Status ValuesChanged(std::int32_t count, const std::int32_t* cookies,
                               const double* values) = 0;
  virtual Status BoundsChanged(std::int32_t count, const std::int32_t* cookies, const double* lower,
                               const double* upper) = 0;

 protected:
  ~DAESAdviseSink() = default;
};

namespace daes {
inline constexpr Status kNothingPending = 0x31000Au;
inline constexpr Status kListFull = 0x8000020Fu;
}  // namespace daes

class DAESVariableAdviseList : public QLNVariableAdviseList {
 public:
  DAESVariableAdviseList(DAESAdviseSink* sink, std::int32_t capacity);
  // Unregisters from every variable still held, so none keeps a dangling sink.
  ~DAESVariableAdviseList() override;
  DAESVariableAdviseList(const DAESVariableAdviseList&) = delete;
  DAESVariableAdviseList& operator=(const DAESVariableAdviseList&) = delete;

  std::int32_t Count() override { return count_; }
  std::int32_t PendingValueCount() override { return pending_values_; }
  // The variable's index is the cookie it reports with; a slot emptied by
  // RemoveAt is taken first. Refused when the list is full.
  Status Add(DAESVarTableEntry* variable, std::int32_t cookie) override;
  // Empties the slot; later entries keep their indices.
  Status RemoveAt(std::int32_t index, DAESVarTableEntry* variable) override;
  Status RemoveVariable(DAESVarTableEntry* variable) override;
  void MarkValueChanged(std::int32_t index) override;
  void MarkBoundsChanged(std::int32_t index) override;
  Status Flush() override;

 private:
  struct Entry {
    std::uint16_t marks = 0;
    std::int32_t cookie = 0;
    DAESVarTableEntry* variable = nullptr;
  };
  std::int32_t count_ = 0;
  std::int32_t capacity_;
  std::int32_t pending_bounds_ = 0;
  std::int32_t pending_values_ = 0;
  std::vector<Entry> entries_;
  std::vector<std::int32_t> bound_cookies_;
  std::vector<std::int32_t> value_cookies_;
  std::vector<double> values_;
  std::vector<double> lower_;
  std::vector<double> upper_;
  DAESAdviseSink* sink_;
};
