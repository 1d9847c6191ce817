// A hash table of collectable pointers (class id 0x805E): a fixed number of
// buckets, each a list made on first insertion into it; duplicates are kept.
// An item's bucket is its Hash() modulo the bucket count; the bucket count
// changes only through Resize. Does not own its items.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "foundation/collections/collection.h"
#include "foundation/collections/slist.h"

class ClHashTable : public ClCollection {
 public:
  static constexpr std::size_t kDefaultBuckets = 64;

  // A request for 0 buckets gives 2.
  explicit ClHashTable(std::size_t buckets = kDefaultBuckets);
  ClHashTable(const ClHashTable& other);
  ClHashTable& operator=(const ClHashTable& other);
  ~ClHashTable() override;

  ClCollectable* NewEmpty() const override;
  ClCollectable* Copy() const override;
  std::uint16_t ClassId() const override;
  // Same class id and count, and no distinct item occurs more often here
  // than in the other table.
  bool IsEqual(const ClCollectable* other) const override;

  void Apply(ClApplyFunction function, void* data) const override;
  void Clear() override;
  std::size_t Entries() const override { return count_; }
  ClCollectable* Find(const ClCollectable* a) const override;
  // A null item is refused (null answered, nothing inserted): it has no hash.
  ClCollectable* Insert(ClCollectable* a) override;
  std::size_t OccurrencesOf(const ClCollectable* a) const override;
  ClCollectable* Remove(const ClCollectable* a) override;

  // Rebuilds with n buckets (0: 16 below 12 entries, else 3/2 of the count),
  // inserting every item again through Insert.
  virtual void Resize(std::size_t n);

  std::size_t Buckets() const { return buckets_.size(); }

 protected:
  std::size_t HashBucket(const ClCollectable* a) const { return a->Hash() % buckets_.size(); }
  // Placement by address, on the full 64-bit value.
  std::size_t AddressBucket(const ClCollectable* a) const;
  ClSlistCollectables* BucketAt(std::size_t i) const { return buckets_[i]; }
  ClCollectable* AppendToBucket(std::size_t i, ClCollectable* a);
  // Counts a found item out of the table.
  ClCollectable* Removed(ClCollectable* item);
  void FreeBuckets();

 private:
  friend class ClHashTableIterator;
  void CopyBuckets(const ClHashTable& other);

  std::vector<ClSlistCollectables*> buckets_;
  std::size_t count_ = 0;
};

// Walks a hash table bucket by bucket; valid while the table is unchanged.
class ClHashTableIterator {
 public:
  explicit ClHashTableIterator(const ClHashTable& table);

  // Steps to the next item equal to a, or null when the buckets run out.
  virtual ClCollectable* FindNext(const ClCollectable* a);
  // The current item, or null.
  virtual ClCollectable* Key() const;
  virtual ClCollectable* Next();
  virtual void Reset();
  virtual ~ClHashTableIterator();

 private:
  // Moves to the next non-empty bucket and walks it; false when none is left.
  bool NextBucket();

  const ClHashTable* table_;
  std::int64_t bucket_ = -1;
  std::optional<ClSlistCollectablesIterator> items_;
};
