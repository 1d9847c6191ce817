// An equivalence: one variable-table entry standing for a set of variables
// that x = y equations made equal. The members keep their own entries but
// carry the equivalence's sequence number while they belong to it, so that
// lookups by sequence number find the equivalence; it remembers each
// member's own number to give it back.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "daes/model/var_table_entry.h"

namespace daes {
inline constexpr std::int32_t kEquivalenceKind = 22;
inline constexpr std::uint32_t kEquivalenceInitialFlags = 0x40000;
// Bound clipping of an equivalence's checked setters.
inline constexpr Status kEquivalenceClippedLow = 0x40000239u;
inline constexpr Status kEquivalenceNearLow = 0x4000023Au;
inline constexpr Status kEquivalenceClippedHigh = 0x4000023Bu;
inline constexpr Status kEquivalenceNearHigh = 0x4000023Cu;
// Member rank flags.
inline constexpr std::uint32_t kRankSpecified = 0x80000;
inline constexpr std::uint32_t kRankLow = 0x1000;
inline constexpr std::uint32_t kRankMiddle = 0x2000;

// The equivalence numbers of the names: the next is counter + 1; a
// destroyed problem resets the counter to 0.
std::uint32_t NextEquivalenceNumber();
void ResetEquivalenceNumbers();
}  // namespace daes

class DAESEquivalence : public DAESVarTableEntry {
 public:
  DAESEquivalence();
  // Gives every member still carrying this equivalence's number its own
  // number back and clears its member flag.
  ~DAESEquivalence() override;

  std::int32_t EntryKind() override { return daes::kEquivalenceKind; }
  const char* GetNameText(std::int32_t arg = 0) override;
  std::uint32_t Number() const { return number_; }
  void SetNameText(const char* text);

  // --- membership ---
  Status AddMember(DAESVarTableEntry* variable);
  Status TakeOverMembers(DAESEquivalence* other);
  std::int32_t MemberCount() override { return static_cast<std::int32_t>(members_.size()); }
  DAESVarTableEntry* Member(std::int32_t i) const;
  std::uint32_t PreviousSequence(std::int32_t i) const;
  std::size_t MemberCapacity() const { return members_.capacity(); }
  // The member whose specification matches the mask with the highest
  // priority (0x80000, 0x2000000, none, 0x2000, 0x1000); the first wins.
  DAESVarTableEntry* RepresentativeMember(std::int32_t spec_mask);

  // --- values ---
  double GetScale() const override { return scale_; }
  double GetScaledValue() const override { return GetRealValue() * scale_; }
  Status GetBounds(double* lower, double* upper) override;
  Status GetStoredBounds(double* lower, double* upper) override;
  Status SetBounds(double lower, double upper) override;
  Status SetValue(double internal) override;
  Status SetValueAdvised(double internal, bool changed);
  Status SetScaledValue(double value);
  Status SetScaledValueAdvised(double value, bool changed);
  Status SetScaledValueChecked(double value, double tolerance);
  Status SetScaledValueCheckedAdvised(double value, double tolerance, bool changed);
  Status ClipToBounds(double* value, double tolerance);
  // Takes no scale from outside: recomputes it from the members.
  Status SetScale(double) { return RecomputeScale(); }
  Status RecomputeScale();
  void SetStoredIndex(std::uint32_t) override { MergeMembers(true); }
  // Brings value (and unless valueOnly, bounds, scale, name and the
  // members' values) in line with the ruling members.
  void MergeMembers(bool value_only);
  std::int32_t DelayIndex() const { return delay_index_; }

  // --- the derivative taken from a member ---
  DAESVarTableEntry* GetDerivative() override { return derivative_; }
  Status SetDerivativeValue(double value);
  Status SetDerivativeScaledValue(double value);
  Status GetDerivativeScaledValue(double* out);
  Status GetDerivativeRealValue(double* out);

  // Letters, value, name; then each member's line under "    #n ".
  void PrintFlags(std::ostream& out, bool detail);

 private:
  static void PrintMemberLine(std::ostream& out, DAESVarTableEntry* member, bool detail);

  std::string name_;
  bool has_name_ = false;
  std::string text_;
  std::uint32_t number_;
  double lower_ = -1e37;
  double upper_ = 1e37;
  double scale_ = 1.0;
  std::int32_t delay_index_ = 0;
  DAESVarTableEntry* derivative_ = nullptr;
  std::vector<DAESVarTableEntry*> members_;
  std::vector<std::uint32_t> previous_;
};
