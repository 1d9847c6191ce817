// Variable-table entries: every quantity that solvers, results and outside
// components see as a variable (real variables and derivatives, parameters,
// equivalences). An entry is a typed value with a flag word that carries its
// specification, a sequence number from one process-wide counter, and the
// advise lists that hear of its changes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "foundation/collections/mixins.h"
#include "foundation/values/typed_value.h"
#include "platform/status.h"

class BvuBinaryStream;
class DAESEqnRow;
class DAESVarTableEntry;
class QLNRow;

namespace daes {
// Flag bits of entries and variables.
inline constexpr std::uint32_t kState = 0x1;
inline constexpr std::uint32_t kAlgebraic = 0x2;
inline constexpr std::uint32_t kDerivativeFlag = 0x4;
inline constexpr std::uint32_t kTorn = 0x8;
inline constexpr std::uint32_t kFree = 0x10;
inline constexpr std::uint32_t kFixed = 0x80;
inline constexpr std::uint32_t kParameterFlag = 0x100;
inline constexpr std::uint32_t kDelayed = 0x800;
inline constexpr std::uint32_t kMerged = 0x4000;
inline constexpr std::uint32_t kInitial = 0x8000;
inline constexpr std::uint32_t kRateInitial = 0x10000;
inline constexpr std::uint32_t kReferenced = 0x40000;
inline constexpr std::uint32_t kEliminationMark = 0x80000;
inline constexpr std::uint32_t kAdvised = 0x2000000;
inline constexpr std::uint32_t kInUse = 0x4000000;
inline constexpr std::uint32_t kStoredMask = 0x20A3180;
inline constexpr std::uint32_t kSpecMask = 0x18090;
inline constexpr std::uint32_t kSpecBitsMask = 0x23000;

// Specification codes.
inline constexpr std::int32_t kSpecFree = 1;
inline constexpr std::int32_t kSpecNotFree = 2;
inline constexpr std::int32_t kSpecFixed = 4;
inline constexpr std::int32_t kSpecStateInitial = 8;
inline constexpr std::int32_t kSpecRateInitial = 16;
inline constexpr std::int32_t kSpecInitial = 32;

// Statuses of the equation system.
inline constexpr Status kNotImplemented = 0xA031FFFFu;
inline constexpr Status kNoVariableOperation = 0xA028FFFFu;
inline constexpr Status kReservedAnswer = 0xA000FFFFu;
inline constexpr Status kNoDerivative = 0x8000FFFFu;

// A string of at most `size` bytes with its NUL: its length, or 0x8000020F
// (with a message) for a longer one, which is refused rather than cut.
Status ReadBoundedText(BvuBinaryStream& stream, char* buffer, std::uint32_t size);

// The process-wide sequence counter: each new entry takes counter + 1.
std::uint32_t NextSequenceNumber();
std::uint32_t SequenceCounter();
void SetSequenceCounter(std::uint32_t value);

// A count that moves whenever an equation's elements, an element's variable
// or a variable's sequence number change: what rows keep of their elements'
// variables stays good while it stands still.
std::uint64_t ElementLayout();
void ElementLayoutChanged();
}  // namespace daes

// What a variable advise list offers the variables it watches.
class QLNVariableAdviseList {
 public:
  virtual ~QLNVariableAdviseList() = default;
  virtual std::int32_t Count() = 0;
  virtual std::int32_t PendingValueCount() = 0;
  virtual Status Add(DAESVarTableEntry* variable, std::int32_t cookie) = 0;
  virtual Status RemoveAt(std::int32_t index, DAESVarTableEntry* variable) = 0;
  virtual Status RemoveVariable(DAESVarTableEntry* variable) = 0;
  virtual void MarkValueChanged(std::int32_t index) = 0;
  virtual void MarkBoundsChanged(std::int32_t index) = 0;
  virtual Status Flush() = 0;
};

class DAESDotVariable;

// What holds an entry by its address outside the tree (an equation's
// reference to its variable) and must let go of it when the entry ends.
class DAESEntryReferrer {
 public:
  virtual void EntryGone(DAESVarTableEntry* entry) = 0;

 protected:
  ~DAESEntryReferrer() = default;

 private:
  friend class DAESVarTableEntry;
  // Its place among the entry's referrers: a common parameter may have
  // very many, and each goes without a search.
  std::size_t referrer_slot_ = 0;
};

// The variable as solvers see it.
class QLNVariable : public BvuNameable, public BvuFilterable {
 public:
  // The engine's own entry behind it, or null; a cast through the class
  // graph costs too much on the solvers' every value write.
  virtual DAESVarTableEntry* TableEntry() { return nullptr; }
};

// Attributes by numeric code, for outside components.
class QLNExternal {
 public:
  virtual ~QLNExternal() = default;
  virtual Status ReservedExternalA() { return 0xFFFFFFFFu; }
  virtual Status SetRealAttribute(std::int32_t code, double value) = 0;
  virtual Status ReservedExternalB() { return 0xFFFFFFFFu; }
  virtual Status GetIntegerAttribute(std::int32_t code, std::int32_t* out) = 0;
  virtual Status GetRealAttribute(std::int32_t code, double* out) = 0;
  virtual Status GetTextAttribute(std::int32_t code, const char** out) = 0;
};

class DAESVarTableEntry : public QLNVariable, public QLNExternal {
 public:
  DAESVarTableEntry();
  ~DAESVarTableEntry() override;
  DAESVarTableEntry(const DAESVarTableEntry&) = delete;
  DAESVarTableEntry& operator=(const DAESVarTableEntry&) = delete;

  // --- entry operations ---
  std::int32_t EntryKind() override { return 0; }
  DAESVarTableEntry* TableEntry() override { return this; }
  // The entry as a derivative, or null: asked for every variable of every
  // group on the integrator's every call.
  virtual DAESDotVariable* AsDotVariable() { return nullptr; }
  // A perturbation of x inside the entry's bounds.
  Status PerturbationStep(double x, double* perturbed, double relative, double* step,
                          double absolute);
  virtual Status SetValue(double value);
  virtual double GetRealValue() const;
  virtual std::uint16_t ValueType() const { return value_.type; }
  std::uint32_t SequenceNumber() const { return sequence_; }
  void SetSequenceNumber(std::uint32_t n) {
    sequence_ = n;
    daes::ElementLayoutChanged();
  }
  virtual double GetScale() const { return 1.0; }
  virtual double GetScaledValue() const { return GetRealValue(); }
  std::uint32_t StoredIndex() const { return stored_index_; }
  // Where a large block last found the entry among its variables: a hint
  // the block checks before its index.
  std::int32_t PositionHint() const { return position_hint_.load(std::memory_order_relaxed); }
  void SetPositionHint(std::int32_t at) const {
    position_hint_.store(at, std::memory_order_relaxed);
  }
  virtual void SetStoredIndex(std::uint32_t index) { stored_index_ = index; }
  virtual std::int32_t IsStored() const { return 1; }
  // Unscaled bounds, and the bounds as stored (scaled).
  virtual Status GetBounds(double* lower, double* upper);
  virtual Status GetStoredBounds(double* lower, double* upper) { return GetBounds(lower, upper); }
  virtual Status SetBounds(double lower, double upper);
  // Assigns the value when it differs (typed comparison) and tells every sink.
  const SUValue& SetTypedValue(const SUValue& value);
  const SUValue& TypedValue() const { return value_; }
  SUValue* ValuePointer() { return &value_; }
  virtual std::int32_t GetStateSpec();
  virtual std::int32_t GetSpec();
  // 1 when the specification changed something the caller should redo.
  virtual std::int32_t SetSpec(std::int32_t code);
  void SetSpecBits(std::uint32_t bits);
  void SetEliminationMark(bool on);
  void SetAdvised(bool on);
  void SetDescription(const char* text);
  const std::string& Description() const { return description_; }
  virtual Status SetValueKeepSpec(double) { return daes::kNoVariableOperation; }
  virtual Status ClearSpecAndSetValue(double) { return daes::kNoVariableOperation; }
  virtual Status FixAndSetValue(double) { return daes::kNoVariableOperation; }
  virtual std::int32_t MemberCount() { return 0; }
  QLNExternal* ExternalFace() { return this; }
  // Newest first.
  Status AddAdvise(QLNVariableAdviseList* sink, std::int32_t cookie);
  // Removes the pair of that sink and cookie: a list may hold the entry
  // more than once, each time under another cookie. 0 also when none.
  Status RemoveAdvise(QLNVariableAdviseList* sink, std::int32_t cookie);
  virtual void ValueChanged() {}
  // A referrer is told once, when the entry ends, unless it was removed
  // before.
  // One entry at a time per referrer.
  void AddReferrer(DAESEntryReferrer* referrer);
  void RemoveReferrer(DAESEntryReferrer* referrer);
  void Use(bool acquire);
  std::uint16_t UseCount() const { return use_count_; }
  // Set while a block lists the variable as indeterminate.
  void MarkIndeterminate(bool on) { indeterminate_ = on; }
  bool IsMarkedIndeterminate() const { return indeterminate_; }
  const SUValue& SetStringValue(const char* text);
  virtual const SUValue& SetValueFromInteger(std::int32_t value);
  // Stores a real value when it differs and tells every sink; a loaded
  // compiled library's unknowns take it first, changed or not.
  virtual const SUValue& SetRawValue(double value);
  void WriteCompiledValue(double value);
  virtual Status DelayedValue(double, double* value) {
    *value = 0.0;
    return daes::kNotImplemented;
  }
  virtual Status DelayedValueWeight(double, double* weight) {
    *weight = 1.0;
    return daes::kNotImplemented;
  }
  virtual Status RegisterDelay() { return daes::kNotImplemented; }
  // Enters the variable in the group (source) and the group's entry for it
  // in the row (target); only variables do.
  virtual Status RegisterIn(DAESEqnRow*, QLNRow*) { return daes::kNotImplemented; }
  // The derivative of a state variable (none here), made on demand for
  // specification 8.
  virtual DAESVarTableEntry* GetDerivative() { return nullptr; }
  virtual DAESVarTableEntry* MakeDerivative() { return nullptr; }
  virtual std::int32_t AttributeEleven() { return 0; }

  // --- QLNExternal ---
  Status SetRealAttribute(std::int32_t code, double value) override;
  Status GetIntegerAttribute(std::int32_t code, std::int32_t* out) override;
  Status GetRealAttribute(std::int32_t code, double* out) override;
  Status GetTextAttribute(std::int32_t code, const char** out) override;

 protected:
  void NotifyValueChanged();
  void NotifyBoundsChanged();

  std::uint32_t sequence_;
  std::string description_;
  std::uint32_t stored_index_ = 0;
  // Atomic: any thread may ask a block while the hint is written.
  mutable std::atomic<std::int32_t> position_hint_{-1};
  SUValue value_;
  std::uint16_t use_count_ = 0;
  bool indeterminate_ = false;

 private:
  struct Advise {
    QLNVariableAdviseList* sink;
    std::int32_t cookie;
    Advise* next;
  };
  Advise* advise_ = nullptr;
  std::vector<DAESEntryReferrer*> referrers_;
};
