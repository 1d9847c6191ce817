// Hash tables without duplicates. ClSet (class id 0x802B) keeps no two equal
// items: inserting an item equal to a member returns the member.
// ClIdentitySet (class id 0x8025) keeps no object twice, placing and
// comparing items by address only, so equal but distinct objects are both
// kept. Neither owns its items.
#pragma once

#include <cstddef>

#include "foundation/collections/hash_table.h"

class ClSet : public ClHashTable {
 public:
  explicit ClSet(std::size_t buckets = kDefaultBuckets) : ClHashTable(buckets) {}

  ClCollectable* NewEmpty() const override;
  ClCollectable* Copy() const override;
  std::uint16_t ClassId() const override;

  // Deletes each item directly (a set holds no object twice).
  void ClearAndDestroy() override;
  ClCollectable* Insert(ClCollectable* a) override;
  // 1 when an equal item is held, else 0.
  std::size_t OccurrencesOf(const ClCollectable* a) const override;
};

class ClIdentitySet : public ClSet {
 public:
  explicit ClIdentitySet(std::size_t buckets = kDefaultBuckets) : ClSet(buckets) {}

  ClCollectable* NewEmpty() const override;
  ClCollectable* Copy() const override;
  std::uint16_t ClassId() const override;

  ClCollectable* Find(const ClCollectable* a) const override;
  ClCollectable* Insert(ClCollectable* a) override;
  ClCollectable* Remove(const ClCollectable* a) override;
};

class ClSetIterator : public ClHashTableIterator {
 public:
  explicit ClSetIterator(const ClSet& set) : ClHashTableIterator(set) {}
};
