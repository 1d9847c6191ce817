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
  if (i < 0 || block == nullptr) return nullptr;
  if (auto* solver = block->AsSolverBlock()) {
    return solver->GetRow(static_cast<std::uint32_t>(i));
  }
  if (auto* single = block->AsSingleBlock()) {
    return i == 0 ? single->GetEquation() : nullptr;
  }
  return nullptr;
}

std::int32_t BlockPositionOf(DAESBlock* block, const DAESVarTableEntry* variable) {
  if (variable == nullptr) return 0;
  if (auto* solver = block->AsSolverBlock()) return solver->FindVariable(variable);
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
// An enumerator that keeps the group alive while a server holds it: the
// model's enumerators only point at their source.
#define GROUP_HELD_ENUMERATOR(Name, Interface, Record)                                  \
  class Name final : public Interface {                                                 \
   public:                                                                              \
    Name(Interface* inner, platform::IUnknown* group) : inner_(inner), group_(group) {  \
      group_->AddRef();                                                                 \
    }                                                                                   \
    Status QueryInterface(const platform::IID& iid, void** object) override {           \
      if (object == nullptr) return platform::E_INVALIDARG;                             \
      void* probe = nullptr;                                                            \
      const Status s = inner_->QueryInterface(iid, &probe);                             \
      if (status::IsFailure(s)) return s;                                               \
      static_cast<platform::IUnknown*>(probe)->Release();                               \
      *object = static_cast<Interface*>(this);                                          \
      AddRef();                                                                         \
      return 0;                                                                         \
    }                                                                                   \
    std::uint32_t AddRef() override { return ++refs_; }                                 \
    std::uint32_t Release() override {                                                  \
      const std::uint32_t left = --refs_;                                               \
      if (left == 0) {                                                                  \
        inner_->Release();                                                              \
        group_->Release();                                                              \
        delete this;                                                                    \
      }                                                                                 \
      return left;                                                                      \
    }                                                                                   \
    Status Next(std::uint32_t count, Record records, std::uint32_t* fetched) override { \
      return inner_->Next(count, records, fetched);                                     \
    }                                                                                   \
    Status Skip(std::uint32_t count) override { return inner_->Skip(count); }           \
    Status Reset() override { return inner_->Reset(); }                                 \
    Status Clone(Interface** out) override {                                            \
      if (out == nullptr) return platform::E_INVALIDARG;                                \
      Interface* copy = nullptr;                                                        \
      const Status s = inner_->Clone(&copy);                                            \
      if (status::IsFailure(s) || copy == nullptr) return s;                            \
      *out = new (std::nothrow) Name(copy, group_);                                     \
      if (*out == nullptr) {                                                            \
        copy->Release();                                                                \
        return platform::E_OUTOFMEMORY;                                                 \
      }                                                                                 \
      (*out)->AddRef();                                                                 \
      return s;                                                                         \
    }                                                                                   \
                                                                                        \
   private:                                                                             \
    Interface* inner_;                                                                  \
    platform::IUnknown* group_;                                                         \
    std::uint32_t refs_ = 0;                                                            \
  };

GROUP_HELD_ENUMERATOR(HeldVariableEnum, IEnumQLNVariableData, QLNVariableRecord**)
GROUP_HELD_ENUMERATOR(HeldVariable13Enum, IEnumQLN13VariableData, QLNVariableRecord*)
GROUP_HELD_ENUMERATOR(HeldEquationEnum, IEnumQLNEquationData, QLNEquationRecord*)
#undef GROUP_HELD_ENUMERATOR

template <class Held, class Inner, class Interface>
platform::IUnknown* Hold(Inner* inner, platform::IUnknown* group) {
  if (inner == nullptr) return nullptr;
  inner->AddRef();
  auto* held = new (std::nothrow) Held(static_cast<Interface*>(inner), group);
  if (held == nullptr) inner->Release();
  return held;
}
}  // namespace

void* MakeBlockEnumSource(DAESBlock* block) { return new (std::nothrow) GroupEnumSource(block); }

void DeleteBlockEnumSource(void* source) { delete static_cast<GroupEnumSource*>(source); }

platform::IUnknown* MakeBlockEnumerator(void* source, std::int32_t kind, std::uint32_t options,
                                        platform::IUnknown* group) {
  auto* s = static_cast<GroupEnumSource*>(source);
  const std::uint32_t form = options & daes::kEnumExcludeFixed;
  switch (kind) {
    case 12:
      return Hold<HeldVariableEnum, DAESVarDataEnum, IEnumQLNVariableData>(
          new (std::nothrow) DAESVarDataEnum(s, form), group);
    case 16:
      return Hold<HeldVariable13Enum, DAESVarData13Enum, IEnumQLN13VariableData>(
          new (std::nothrow) DAESVarData13Enum(s, form), group);
    case 13:
      return Hold<HeldEquationEnum, DAESEqnDataEnum, IEnumQLNEquationData>(
          new (std::nothrow) DAESEqnDataEnum(s), group);
    default:
      return nullptr;
  }
}
