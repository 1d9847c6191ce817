// Real, state and derivative variables. The entry's value holds the
// unscaled value r; the solvers see r*s. Bounds are stored scaled. A real
// variable is a tree leaf whose only child is its time derivative.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "daes/model/var_table_entry.h"
#include "foundation/directory/directory_node.h"
#include "foundation/interfaces/variable_drivers.h"

namespace daes {
inline constexpr double kUnboundedLow = -1.5e308;
inline constexpr double kUnboundedHigh = 1.5e308;
inline constexpr double kDerivativeBound = 1e37;
// A bound in the scaled units and back. An unbounded side stays unbounded
// whatever the scale, and a product past the unbounded marker stops at it:
// the engine traps overflow.
double ScaledBound(double bound, double scale);
double UnscaledBound(double bound, double scale);
// Clip statuses: informational, the value moved or stayed near a bound.
inline constexpr Status kClippedLow = 0x40310239u;
inline constexpr Status kNearLow = 0x4031023Au;
inline constexpr Status kClippedHigh = 0x4031023Bu;
inline constexpr Status kNearHigh = 0x4031023Cu;
inline constexpr Status kNegativeDelay = 0xA0310267u;
// Kind codes of the tree faces.
inline constexpr std::int32_t kRealVariableKind = 24;
inline constexpr std::int32_t kStateVariableKind = 25;
inline constexpr std::int32_t kDerivativeKind = 26;
}  // namespace daes

class DAESEquivalence;

class DAESVariable : public DAESVarTableEntry, public DrivenVariable {
 public:
  DAESVariable();
  // Leaves the driver table, so that no profile drives a freed variable.
  ~DAESVariable() override;
  DAESVariable(const DAESVariable&) = delete;
  DAESVariable& operator=(const DAESVariable&) = delete;

  // --- as a driven variable ---
  double GetDrivenValue() override { return GetRealValue(); }
  void SetDrivenValue(double value) override { SetValue(value); }

  double GetScaledValue() const override;
  Status SetScaledValueAdvised(double value, bool advise);
  Status SetScaledValue(double value);
  Status SetDerivativeScaledValue(double value);
  Status SetScaledValueChecked(double value, double tolerance);
  Status GetStoredBounds(double* lower, double* upper) override;
  Status SetValue(double value) override;
  Status SetDerivativeValue(double value);
  double GetScale() const override { return scale_; }
  Status SetScale(double scale);
  Status GetBounds(double* lower, double* upper) override;
  Status SetBounds(double lower, double upper) override;
  // A merged variable passes flag changes on to its equivalence's entry.
  void SetFlags(std::uint32_t flags) override;
  void ClearFlags(std::uint32_t flags) override;
  std::int32_t IsStored() const override { return 0; }
  Status SetValueKeepSpec(double value) override { return SetValue(value); }
  Status ClearSpecAndSetValue(double value) override;
  Status FixAndSetValue(double value) override;
  bool IsFreeVariable();
  const SUValue& SetValueFromInteger(std::int32_t value) override {
    return SetRawValue(static_cast<double>(value));
  }

  // --- services ---
  Status GetDerivativeScaledValue(double* out);
  Status GetDerivativeRealValue(double* out);
  // Kind, torn and specification letters, the value in a field of 16, the name.
  void PrintFlags(std::ostream& out, bool detail);
  Status DelayedValue(double delay, double* value) override;
  Status DelayedValueWeight(double delay, double* weight) override;
  Status RegisterDelay() override;
  // The output variable of a torn row becomes torn.
  Status RegisterIn(DAESEqnRow* target, QLNRow* source) override;
  Status SetDelayIndex(std::int32_t index);
  std::int32_t DelayIndex() const { return delay_index_; }
  // Moves the value onto a bound it passes by more than the tolerance.
  Status ClipToBounds(double* value, double tolerance);

 protected:
  // The equivalence standing for this variable in the current problem, when
  // the variable is merged into one.
  DAESEquivalence* MergedInto();

  std::int32_t delay_index_ = 0;
  double lower_ = daes::kUnboundedLow;
  double upper_ = daes::kUnboundedHigh;
  double scale_ = 1.0;
};

class DAESRealVariable;

class DAESDotVariable : public DAESVariable, public BvuDirectoryNode {
 public:
  explicit DAESDotVariable(DAESRealVariable* state);

  std::int32_t EntryKind() override { return daes::kDerivativeKind; }
  std::int32_t GetKind() override { return daes::kDerivativeKind; }
  const char* GetNameText(std::int32_t arg = 0) override {
    return BvuDirectoryNode::GetNameText(arg);
  }
  Status GetStoredBounds(double* lower, double* upper) override;
  Status GetBounds(double* lower, double* upper) override { return GetStoredBounds(lower, upper); }
  Status SetBounds(double, double) override { return 10; }
  DAESRealVariable* GetStateVariable();
  void* AsValueEntry() override { return static_cast<DAESVarTableEntry*>(this); }
  DAESDotVariable* AsDotVariable() override { return this; }

 private:
  // The state it was made for, the parent unless it was moved.
  DAESRealVariable* state_;
};

class DAESRealVariable : public DAESVariable, public BvuDirectoryOneChild {
 public:
  DAESRealVariable(BvuDirectoryNode* parent, const char* name);
  ~DAESRealVariable() override;

  std::int32_t EntryKind() override { return GetKind(); }
  std::int32_t GetKind() override {
    return derivative_ != nullptr ? daes::kStateVariableKind : daes::kRealVariableKind;
  }
  const char* GetNameText(std::int32_t arg = 0) override {
    return BvuDirectoryNode::GetNameText(arg);
  }
  DAESVarTableEntry* GetDerivative() override { return derivative_; }
  DAESVarTableEntry* MakeDerivative() override;
  DAESDotVariable* Derivative() const { return derivative_; }
  // Deletes the current derivative and keeps d (none makes an algebraic).
  void SetDerivative(DAESDotVariable* d);

  // --- directory face: one child, at index 1 ---
  std::int32_t HighIndex() override { return 1; }
  std::int32_t LowIndex() override { return 1; }
  BvuDirectoryNode* ChildAt(std::int32_t index) override;
  std::int32_t IndexOfChild(const BvuDirectoryNode* child) override;
  Status InsertChildAt(std::int32_t index, BvuDirectoryNode* child) override;
  Status RemoveChildAt(std::int32_t index, BvuDirectoryNode** child) override;
  std::int32_t SlotCount() override { return derivative_ != nullptr ? 1 : 0; }
  Status ReadItemBody(BvuBinaryStream& stream, void* context) override;
  // Adds the variable and its derivative to the problem (a DAESProblem),
  // unless an equivalence stands for it.
  Status ApplyToSubtree(void* list, void* guard, std::int32_t guard_state, std::int32_t eliminate,
                        void* problem) override;
  Status DeleteChildren() override;
  void* AsValueEntry() override { return static_cast<DAESVarTableEntry*>(this); }
  Status NumberLeaves(std::uint32_t* counter) override;

 private:
  DAESDotVariable* derivative_ = nullptr;
};
