// Model parameters: variable-table entries that are also leaves of the
// instance tree. The type of the value follows the item's tag.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "daes/model/var_table_entry.h"
#include "foundation/directory/directory_node.h"

namespace daes {
inline constexpr std::int32_t kParameterKind = 12;
// Parameters stored under the attribute code of parameters.
inline constexpr std::uint32_t kStoredAsAttribute = 0x10000000;
// Parameters kept out of the problem's stored values.
inline constexpr std::uint32_t kNotStoredWithState = 0x20000000;
}  // namespace daes

class DAESParameter : public DAESVarTableEntry, public BvuDirectoryNode {
 public:
  // Tags 16 integer, 17 string, 19 real, 23 logical, 26 string set,
  // 27 integer set; any other leaves the value untyped.
  DAESParameter(const char* name, BvuDirectoryNode* parent, std::int32_t tag);
  // The problem manager forgets it first.
  ~DAESParameter() override;

  std::int32_t EntryKind() override { return daes::kParameterKind; }
  std::int32_t GetKind() override { return daes::kParameterKind; }
  const char* GetNameText(std::int32_t arg = 0) override {
    return BvuDirectoryNode::GetNameText(arg);
  }
  // Integers take the truncated value; other kinds are refused.
  Status SetValue(double value) override;
  std::int32_t GetStateSpec() override { return daes::kSpecFixed; }
  Status FixAndSetValue(double value) override {
    SetRawValue(value);
    return 0;
  }
  // Tells the client of the new value.
  void ValueChanged() override { SendParameterValue(); }
  Status SendParameterValue();
  // The name right-aligned in 12, two blanks, the value.
  void PrintParameter(std::ostream& out);
  void* AsValueEntry() override { return static_cast<DAESVarTableEntry*>(this); }
  // Joins the parameters of the problem (a DAESProblem) unless marked to
  // stay out.
  Status ApplyToSubtree(void* list, void* guard, std::int32_t guard_state, std::int32_t eliminate,
                        void* problem) override;
  Status ReadItemBody(BvuBinaryStream& stream, void* context) override;
  Status NumberLeaves(std::uint32_t* counter) override;
};
