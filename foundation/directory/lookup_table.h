// An array of child pointers addressed by integer index between a low and a
// high index, as the directory nodes keep their children. The item at index
// i lives in slot i - low; a slot may be empty. The table holds the pointers
// only: its owner decides who deletes the items.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>

#include "platform/status.h"

class BvuDirectoryNode;

// The table found no memory to grow.
inline constexpr Status kBvuNoMemory = 0x80000007u;
// The highest index a child may have: ids travel as 24 bits and the two
// highest values mark a path's start and end.
inline constexpr std::int32_t kBvuHighestIndex = 0xFFFFFD;
// Any index is taken, however far from the others. A table whose slots
// would number more than kBvuFreeSpan and more than kBvuSlotsPerChild for
// each child keeps its children by index instead of in an array of slots,
// so that an index far from the others costs no huge, nearly empty array.
inline constexpr std::int32_t kBvuFreeSpan = 4096;
inline constexpr std::int32_t kBvuSlotsPerChild = 16;

class BvuLookupTable {
 public:
  BvuLookupTable() = default;
  virtual ~BvuLookupTable();
  BvuLookupTable(const BvuLookupTable&) = delete;
  BvuLookupTable& operator=(const BvuLookupTable&) = delete;

  // -2 while the table has never held an item.
  virtual std::int32_t HighIndex();
  // -1 while the table has never held an item.
  virtual std::int32_t LowIndex();
  // high - low + 1: empty slots count too.
  virtual std::int32_t Count();
  // Null outside the range or without storage.
  virtual BvuDirectoryNode* ItemAt(std::int32_t index);

  // Puts the item at the index, growing the table in either direction; an
  // item already there is overwritten. 0x8000020F for an index outside 0 to
  // kBvuHighestIndex, 0x80000007 when there is no memory to grow; the items
  // are unchanged after a failure.
  Status SetAt(std::int32_t index, BvuDirectoryNode* item);
  // Empties the slot and hands back what it held (null when empty or out of
  // range).
  BvuDirectoryNode* TakeAt(std::int32_t index);
  // The lowest index holding the item, or -1. The index an item was last
  // put at answers while no item is held twice; else a wide table answers
  // from an index of its items, built on first need and kept up by every
  // change from then on, so that finding a child costs no scan of its
  // siblings.
  std::int32_t IndexOf(const BvuDirectoryNode* item) const;
  // The first index from `from` on that holds an item, else high + 1.
  std::int32_t NextHeldIndex(std::int32_t from) const;
  // Frees the storage: low -1, high -2, capacity 0, step 4.
  void Reset();

  std::int32_t Capacity() const { return capacity_; }
  // Whether the items are kept by index rather than in an array of slots.
  bool IsSparse() const { return is_sparse_; }
  // Changes whenever an item is put, taken or the table reset.
  std::uint64_t Generation() const { return generation_; }

 protected:
  // Makes room for at least n slots, keeping the items at the front or
  // moving them to the back; false (and nothing changed) without memory.
  bool Resize(std::int32_t n, bool to_back);

 private:
  // Whether capacity slots would be mostly empty with the items held.
  bool TooSparseForSlots(std::int32_t capacity) const;
  // Moves the items between the two forms; low is the new array's.
  void MoveToSparse();
  void MoveToSlots(BvuDirectoryNode** slots, std::int32_t low);
  // Back to an array once the items held fill enough of the range.
  void DensifyWhenFull();
  // The lowest index holding the item, by a scan.
  std::int32_t ScanFor(const BvuDirectoryNode* item) const;
  // Keeps the item index, once built, up to date after `index` changed
  // from `before` to `after`.
  void NoteChange(std::int32_t index, BvuDirectoryNode* before, BvuDirectoryNode* after);

  // The items by slot (index - low) while the table is dense enough, else
  // by index in sparse_ and no array.
  BvuDirectoryNode** items_ = nullptr;
  std::map<std::int32_t, BvuDirectoryNode*> sparse_;
  bool is_sparse_ = false;
  std::int32_t capacity_ = 0;
  std::int32_t low_ = -1;
  std::int32_t high_ = -2;
  std::int32_t step_ = 4;
  // Slots that hold an item.
  std::int32_t held_ = 0;
  // Builds the item index from the items held.
  void BuildWhere() const;

  // Item to the lowest index holding it, on wide tables only; an item held
  // at several indices marks it ambiguous, and a removal then looks again.
  mutable std::unique_ptr<std::unordered_map<const BvuDirectoryNode*, std::int32_t>> where_;
  mutable bool where_ambiguous_ = false;
  // Set once an item may have been put where it was held already; the
  // index an item was put at then no longer answers alone.
  bool may_hold_twice_ = false;
  std::uint64_t generation_ = 0;
};
