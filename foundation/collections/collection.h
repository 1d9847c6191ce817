// Abstract containers of collectables. A container holds pointers and never
// owns its items, except that ClearAndDestroy and RemoveAndDestroy delete
// them. Items are compared with the stored item's IsEqual, the searched one
// as argument. A container is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/collections/collectable.h"

using ClApplyFunction = void (*)(ClCollectable* item, void* data);

// The all-ones position: no such item.
inline constexpr std::size_t kClNoIndex = static_cast<std::size_t>(-1);

class ClCollection : public ClCollectable {
 public:
  // Collections answer 8 plus the stored size of each item.
  std::uint32_t StoredSize() const override;
  // Body: the entry count, then each item as an object reference.
  void RestoreFromVStream(Clvistream& stream) override;
  void RestoreFromFile(ClFileStream& file) override;
  void SaveToVStream(Clvostream& stream) const override;
  void SaveToFile(ClFileStream& file) const override;

  // Calls function(item, data) for every item in the collection's order.
  virtual void Apply(ClApplyFunction function, void* data) const = 0;
  virtual void Clear() = 0;
  // Deletes every distinct item once, then forgets them all.
  virtual void ClearAndDestroy();
  virtual bool Contains(const ClCollectable* a) const;
  virtual std::size_t Entries() const = 0;
  // An item equal to a, or null.
  virtual ClCollectable* Find(const ClCollectable* a) const = 0;
  // Returns a, or the item kept in its place.
  virtual ClCollectable* Insert(ClCollectable* a) = 0;
  virtual bool IsEmpty() const;
  virtual std::size_t OccurrencesOf(const ClCollectable* a) const = 0;
  // Takes out one item equal to a and returns it, or null.
  virtual ClCollectable* Remove(const ClCollectable* a) = 0;
  virtual void RemoveAndDestroy(const ClCollectable* a);

 protected:
  // Deletes each distinct item once (items held twice are deleted once).
  void DestroyDistinctItems();
};

// Collections that hold themselves or one another would compare until the
// stack ran out; comparisons nested deeper than this on one thread raise
// "[NOTALLOW]" instead. As deep as a restore may nest (kMaxRestoreDepth), so
// that whatever restores can be compared.
inline constexpr int kMaxEqualityDepth = 10000;

// One level of a collection comparison of a with b on this thread, for its
// lifetime. Within the outermost comparison each pair is compared once: a
// collection holding the same item twice would otherwise compare each
// level of a chain twice, 2^depth times in all.
class ClEqualityLevel {
 public:
  ClEqualityLevel(const ClCollectable* a, const ClCollectable* b);
  ~ClEqualityLevel();
  ClEqualityLevel(const ClEqualityLevel&) = delete;
  ClEqualityLevel& operator=(const ClEqualityLevel&) = delete;

  // 1 or 0 when this pair was compared before, else -1.
  int Known() const;
  // Records the outcome of this comparison and returns it.
  bool Decided(bool equal);

 private:
  const ClCollectable* a_;
  const ClCollectable* b_;
};

// A collection with positions 0 .. Entries() - 1.
class ClSequenceable : public ClCollection {
 public:
  std::uint16_t ClassId() const override;

  virtual ClCollectable* Append(ClCollectable* a) = 0;
  virtual ClCollectable* ItemAt(std::size_t i) const = 0;
  virtual ClCollectable*& ItemRefAt(std::size_t i) = 0;
  virtual ClCollectable* First() const = 0;
  // Position of the first item equal to a, or kClNoIndex.
  virtual std::size_t Index(const ClCollectable* a) const = 0;
  virtual ClCollectable* InsertAt(std::size_t i, ClCollectable* a) = 0;
  virtual ClCollectable* Last() const = 0;
  virtual ClCollectable* Prepend(ClCollectable* a) = 0;
  virtual ClCollectable* InsertAfter(std::size_t i, ClCollectable* a);
};
