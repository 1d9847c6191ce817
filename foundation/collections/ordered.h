// A growable vector of collectable pointers (class id 0x8028). Grows by a
// fixed step of 64 entries; Clear cuts a large vector back to 64. Does not
// own its items. The read table of a restore is one.
#pragma once

#include <cstddef>

#include "foundation/collections/collection.h"

class ClOrdered : public ClSequenceable {
 public:
  static constexpr std::size_t kDefaultCapacity = 64;
  static constexpr std::size_t kGrowth = 64;

  explicit ClOrdered(std::size_t capacity = kDefaultCapacity);
  ClOrdered(const ClOrdered& other);
  ClOrdered& operator=(const ClOrdered& other);
  ~ClOrdered() override;

  ClCollectable* NewEmpty() const override;
  ClCollectable* Copy() const override;
  std::uint16_t ClassId() const override;
  bool IsEqual(const ClCollectable* other) const override;

  void Apply(ClApplyFunction function, void* data) const override;
  void Clear() override;
  std::size_t Entries() const override { return count_; }
  ClCollectable* Find(const ClCollectable* a) const override;
  ClCollectable* Insert(ClCollectable* a) override;
  std::size_t OccurrencesOf(const ClCollectable* a) const override;
  ClCollectable* Remove(const ClCollectable* a) override;

  ClCollectable* Append(ClCollectable* a) override;
  ClCollectable* ItemAt(std::size_t i) const override;
  ClCollectable*& ItemRefAt(std::size_t i) override;
  ClCollectable* First() const override;
  std::size_t Index(const ClCollectable* a) const override;
  // i may equal the count (append); beyond it is a fatal index error.
  ClCollectable* InsertAt(std::size_t i, ClCollectable* a) override;
  ClCollectable* Last() const override;
  ClCollectable* Prepend(ClCollectable* a) override;

  // Takes out the item at i and moves the following ones down.
  ClCollectable* RemoveAt(std::size_t i);
  // A fatal index error unless i is below the count.
  void BoundsCheck(std::size_t i) const;
  std::size_t Capacity() const { return capacity_; }

 private:
  void Reallocate(std::size_t capacity);

  std::size_t count_ = 0;
  std::size_t capacity_ = 0;
  ClCollectable** items_ = nullptr;
};
