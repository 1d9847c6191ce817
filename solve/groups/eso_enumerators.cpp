// The model's enumerators over a group's block, and the row and variable
// lookups they share with the group.
#include <new>

#include "daes/blocks/block_kinds.h"
#include "daes/problem/enumerators.h"
#include "platform/com_status.h"

class DAESBlock;

std::int32_t BlockRowCount(DAESBlock* block) {
  if (auto* solver = dynamic_cast<DAESSolverBlock*>(block)) {
    return static_cast<std::int32_t>(solver->GetRowCount());
  }
  if (auto* single = dynamic_cast<DAESSingleBlock*>(block)) {
    return single->GetEquation() != nullptr ? 1 : 0;
  }
  return 0;
}

QLNRow* BlockRow(DAESBlock* block, std::int32_t i) {
  if (i < 0) return nullptr;
  if (auto* solver = dynamic_cast<DAESSolverBlock*>(block)) {
    return solver->GetRow(static_cast<std::uint32_t>(i));
  }
  if (auto* single = dynamic_cast<DAESSingleBlock*>(block)) {
    return i == 0 ? single->GetEquation() : nullptr;
  }
  return nullptr;
}

std::int32_t BlockPositionOf(DAESBlock* block, const DAESVarTableEntry* variable) {
  if (variable == nullptr) return 0;
  if (auto* solver = dynamic_cast<DAESSolverBlock*>(block)) return solver->FindVariable(variable);
  for (std::int32_t i = 0; i < block->VariableCount(); ++i) {
    if (block->GetVariable(i) == variable) return i + 1;
  }
  return 0;
}

namespace {
class GroupEnumSource final : public DAESEnumSource {
 public:
  explicit GroupEnumSource(DAESBlock* block) : block_(block) {}
  std::int32_t ActiveVariableCount() override { return block_->VariableCount(); }
  DAESVarTableEntry* GetVariable(std::int32_t i) override { return block_->GetVariable(i); }
  std::int32_t GroupColumnOf(DAESVarTableEntry* variable) override {
    return BlockPositionOf(block_, variable);
  }
  std::int32_t GroupRowCount() override { return BlockRowCount(block_); }
  QLNEquation* GroupRow(std::int32_t i) override {
    return dynamic_cast<QLNEquation*>(BlockRow(block_, i));
  }

 private:
  DAESBlock* block_;
};
}  // namespace

void* MakeBlockEnumSource(DAESBlock* block) { return new (std::nothrow) GroupEnumSource(block); }

void DeleteBlockEnumSource(void* source) { delete static_cast<GroupEnumSource*>(source); }

platform::IUnknown* MakeBlockEnumerator(void* source, std::int32_t kind, std::uint32_t options) {
  auto* s = static_cast<GroupEnumSource*>(source);
  const std::uint32_t form = options & daes::kEnumExcludeFixed;
  switch (kind) {
    case 12:
      return new (std::nothrow) DAESVarDataEnum(s, form);
    case 16:
      return new (std::nothrow) DAESVarData13Enum(s, form);
    case 13:
      return new (std::nothrow) DAESEqnDataEnum(s);
    default:
      return nullptr;
  }
}
