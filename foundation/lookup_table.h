// An array of child pointers addressed by integer index between a low and a
// high index, as the directory nodes keep their children. The item at index
// i lives in slot i - low; a slot may be empty. The table holds the pointers
// only: its owner decides who deletes the items.
#pragma once

#include <cstdint>

class BvuDirectoryNode;

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
  // item already there is overwritten. The index must not be negative.
  void SetAt(std::int32_t index, BvuDirectoryNode* item);
  // Empties the slot and hands back what it held (null when empty or out of
  // range).
  BvuDirectoryNode* TakeAt(std::int32_t index);
  // low + slot of the item, or -1.
  std::int32_t IndexOf(const BvuDirectoryNode* item) const;
  // Frees the storage: low -1, high -2, capacity 0, step 4.
  void Reset();

  std::int32_t Capacity() const { return capacity_; }

 protected:
  // Makes room for at least n slots, keeping the items at the front or
  // moving them to the back.
  void Resize(std::int32_t n, bool to_back);

 private:
  BvuDirectoryNode** items_ = nullptr;
  std::int32_t capacity_ = 0;
  std::int32_t low_ = -1;
  std::int32_t high_ = -2;
  std::int32_t step_ = 4;
};
