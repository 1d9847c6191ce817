// Queued value assignments: what the client, time monitors and snapshot use
// ask to change in the problem, held until the next run step applies them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/values/typed_value.h"
#include "platform/status.h"

class BvuBinaryStream;

// A problem variable as assignments see it.
class AssignableVariable {
 public:
  static constexpr std::uint32_t kFreeBit = 0x10;
  static constexpr std::uint32_t kFixedBit = 0x80;
  static constexpr std::uint32_t kAliasBit = 0x4000;
  static constexpr std::uint32_t kBit19 = 0x80000;
  static constexpr std::uint32_t kBit25 = 0x2000000;
  static constexpr std::uint32_t kRampedBit = 0x8000000;
  static constexpr std::uint32_t kStructuralBit = 0x10000000;

  virtual std::uint32_t Flags() const = 0;
  virtual void SetFlags(std::uint32_t flags) = 0;
  virtual std::string Name() const = 0;
  // The value-table record of the variable; -1 for none.
  virtual std::int32_t Index() const = 0;
  virtual void Bounds(double* lower, double* upper) const = 0;
  virtual double Value() const = 0;
  virtual void SetValue(double value) = 0;
  // The set-value operation that also takes bit 25 of the pattern.
  virtual void SetValueMarked(double value, bool marked) = 0;
  virtual std::uint32_t Specification() const = 0;
  // 0 when the structure stays as it was.
  virtual Status SetSpecification(std::uint32_t code) = 0;
  // The members of the variable's equivalence group (empty: itself alone).
  virtual std::vector<AssignableVariable*> Group() = 0;
  // A variable that holds a typed value (a parameter) rather than a real.
  virtual bool HoldsTypedValue() const = 0;
  virtual void GetTypedValue(SUValue* value) const = 0;
  virtual void SetTypedValue(const SUValue& value) = 0;

 protected:
  ~AssignableVariable() = default;
};

// One queued assignment. Kinds: 1 logical and 4 integer (typed values of
// types 3 and 2), 2 a specification code, 24 a real, 68 a string, 255 a
// copy of a typed value; any other kind is kept as 0 and never applied.
class SimAssignValue {
 public:
  SimAssignValue(std::uint32_t kind, const SUValue* typed, double real, std::uint32_t code,
                 AssignableVariable* variable, std::uint32_t pattern, std::uint32_t mask);

  // u8 kind; a real as f64, a typed value as its u16 type code and its
  // binary form, a specification as nothing; then u32 pattern and mask.
  Status WriteToMessage(BvuBinaryStream& out) const;

  std::uint64_t serial;
  AssignableVariable* variable;
  std::uint32_t word;  // read from the variable when made; the code for kind 2
  std::uint32_t kind;
  std::uint32_t pattern;
  std::uint32_t mask;
  double real = 0;
  SUValue typed;
};
