#include "foundation/directory/lookup_table.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "foundation/directory/directory_node.h"

namespace {
constexpr std::int32_t kFirstStep = 4;
constexpr std::int32_t kLargestStep = 4096;
// From this many items on a table keeps an index of where each one is.
constexpr std::int32_t kIndexedFrom = 32;
}  // namespace

BvuLookupTable::~BvuLookupTable() { delete[] items_; }

std::int32_t BvuLookupTable::HighIndex() { return high_; }
std::int32_t BvuLookupTable::LowIndex() { return low_; }
std::int32_t BvuLookupTable::Count() { return high_ - low_ + 1; }

BvuDirectoryNode* BvuLookupTable::ItemAt(std::int32_t index) {
  if (index < low_ || index > high_) return nullptr;
  if (is_sparse_) {
    const auto found = sparse_.find(index);
    return found != sparse_.end() ? found->second : nullptr;
  }
  return items_ != nullptr ? items_[index - low_] : nullptr;
}

Status BvuLookupTable::SetAt(std::int32_t index, BvuDirectoryNode* item) {
  if (index < 0 || index > kBvuHighestIndex) return status::kBadArguments;
  ++generation_;
  const std::int32_t old_low = low_;
  const std::int32_t old_high = high_;
  if (low_ == -1) {
    low_ = index;
    high_ = index - 1;
  }
  bool grown = true;
  if (index + 1 > capacity_ + low_) {
    grown = Resize(index - low_ + 1, false);
  } else if (index < low_) {
    const std::int32_t shift = low_ - index;
    const std::int32_t count = high_ - low_ + 1;
    if (count + shift <= capacity_) {
      if (!is_sparse_) {
        std::memmove(items_ + shift, items_, sizeof(BvuDirectoryNode*) * count);
        std::fill(items_, items_ + shift, nullptr);
      }
      low_ = index;
    } else {
      // The re-allocation has already placed low at or below the index (at
      // the back of a rounded-up capacity low lies below it); moving low up
      // to the index afterwards would misplace every item.
      grown = Resize(count + shift, true);
    }
  }
  if (!grown) {
    low_ = old_low;
    high_ = old_high;
    return kBvuNoMemory;
  }
  if (index > high_) high_ = index;
  BvuDirectoryNode* previous = nullptr;
  if (is_sparse_) {
    const auto found = sparse_.find(index);
    if (found != sparse_.end()) previous = found->second;
    if (item != nullptr) {
      sparse_[index] = item;
    } else if (found != sparse_.end()) {
      sparse_.erase(found);
    }
  } else {
    BvuDirectoryNode*& slot = items_[index - low_];
    previous = slot;
    slot = item;
  }
  held_ += (item != nullptr) - (previous != nullptr);
  if (item != nullptr) {
    // Put before, elsewhere in this table or in another: this table may
    // hold it twice now.
    if (item->index_table_ != nullptr && (item->index_table_ != this || item->index_hint_ != index)) {
      may_hold_twice_ = true;
    }
    item->index_table_ = this;
    item->index_hint_ = index;
  }
  NoteChange(index, previous, item);
  if (is_sparse_) DensifyWhenFull();
  return status::kOk;
}

void BvuLookupTable::DensifyWhenFull() {
  if (TooSparseForSlots(capacity_)) return;
  auto** slots = new (std::nothrow) BvuDirectoryNode*[capacity_]();
  // Without memory the items simply stay where they are.
  if (slots == nullptr) return;
  MoveToSlots(slots, low_);
  items_ = slots;
}

std::int32_t BvuLookupTable::ScanFor(const BvuDirectoryNode* item) const {
  if (is_sparse_) {
    for (const auto& [index, held] : sparse_) {
      if (held == item) return index;
    }
    return -1;
  }
  if (items_ == nullptr) return -1;
  for (std::int32_t slot = 0; slot <= high_ - low_; ++slot) {
    if (items_[slot] == item) return low_ + slot;
  }
  return -1;
}

void BvuLookupTable::NoteChange(std::int32_t index, BvuDirectoryNode* before,
                                BvuDirectoryNode* after) {
  if (before == after || where_ == nullptr) return;
  if (before != nullptr) {
    const auto found = where_->find(before);
    if (found != where_->end() && found->second == index) {
      where_->erase(found);
      // Held at another index as well: that one is its index now.
      if (where_ambiguous_) {
        const std::int32_t other = ScanFor(before);
        if (other != -1) where_->emplace(before, other);
      }
    }
  }
  if (after != nullptr) {
    const auto [found, added] = where_->emplace(after, index);
    if (!added) {
      where_ambiguous_ = true;
      found->second = std::min(found->second, index);
    }
  }
}

void BvuLookupTable::BuildWhere() const {
  where_ = std::make_unique<std::unordered_map<const BvuDirectoryNode*, std::int32_t>>();
  where_->reserve(static_cast<std::size_t>(held_) * 2);
  where_ambiguous_ = false;
  for (std::int32_t at = NextHeldIndex(low_); at <= high_; at = NextHeldIndex(at + 1)) {
    BvuDirectoryNode* held = const_cast<BvuLookupTable*>(this)->ItemAt(at);
    if (held == nullptr) continue;
    if (!where_->emplace(held, at).second) where_ambiguous_ = true;
  }
}

bool BvuLookupTable::TooSparseForSlots(std::int32_t capacity) const {
  return capacity > kBvuFreeSpan && capacity > std::int64_t{kBvuSlotsPerChild} * (held_ + 1);
}

void BvuLookupTable::MoveToSparse() {
  for (std::int32_t slot = 0; items_ != nullptr && slot <= high_ - low_; ++slot) {
    if (items_[slot] != nullptr) sparse_[low_ + slot] = items_[slot];
  }
  delete[] items_;
  items_ = nullptr;
  is_sparse_ = true;
}

void BvuLookupTable::MoveToSlots(BvuDirectoryNode** slots, std::int32_t low) {
  for (const auto& [index, item] : sparse_) slots[index - low] = item;
  sparse_.clear();
  is_sparse_ = false;
}

bool BvuLookupTable::Resize(std::int32_t n, bool to_back) {
  const std::int32_t count = std::max(high_ - low_ + 1, 0);
  if (n > capacity_) {
    const std::int32_t step = step_ < kLargestStep && step_ < capacity_ / 2 ? 2 * step_ : step_;
    const std::int32_t capacity = (n + step - 1) / step * step;
    std::int32_t low = low_;
    std::int32_t first = 0;
    if (to_back) {
      low = high_ - capacity + 1;
      first = capacity - count;
      if (low < 0) {
        low = 0;
        first = high_ + 1 - count;
      }
    }
    if (TooSparseForSlots(capacity)) {
      if (!is_sparse_) MoveToSparse();
    } else {
      auto** grown = new (std::nothrow) BvuDirectoryNode*[capacity]();
      if (grown == nullptr) return false;
      if (is_sparse_) {
        MoveToSlots(grown, low);
      } else if (count > 0) {
        std::memcpy(grown + first, items_, sizeof(BvuDirectoryNode*) * count);
      }
      delete[] items_;
      items_ = grown;
    }
    step_ = step;
    low_ = low;
    capacity_ = capacity;
    return true;
  }
  if (to_back && count > 0) {
    const std::int32_t shift = std::min(capacity_ - count, low_);
    if (shift <= 0) return true;
    if (!is_sparse_) {
      std::memmove(items_ + shift, items_, sizeof(BvuDirectoryNode*) * count);
      std::fill(items_, items_ + shift, nullptr);
    }
    low_ -= shift;
  }
  return true;
}

BvuDirectoryNode* BvuLookupTable::TakeAt(std::int32_t index) {
  if (index < low_ || index > high_) return nullptr;
  ++generation_;
  BvuDirectoryNode* item = nullptr;
  if (is_sparse_) {
    const auto found = sparse_.find(index);
    if (found == sparse_.end()) return nullptr;
    item = found->second;
    sparse_.erase(found);
  } else {
    if (items_ == nullptr) return nullptr;
    item = items_[index - low_];
    items_[index - low_] = nullptr;
  }
  if (item != nullptr) --held_;
  NoteChange(index, item, nullptr);
  return item;
}

std::int32_t BvuLookupTable::IndexOf(const BvuDirectoryNode* item) const {
  if (item == nullptr) return -1;
  // While no item is held twice, the slot the item was put in is its only one.
  const std::int32_t hint = item->index_hint_;
  if (!may_hold_twice_ && item->index_table_ == this &&
      const_cast<BvuLookupTable*>(this)->ItemAt(hint) == item) {
    return hint;
  }
  if (where_ == nullptr) {
    if (held_ < kIndexedFrom) return ScanFor(item);
    BuildWhere();
  }
  const auto found = where_->find(item);
  return found != where_->end() ? found->second : -1;
}

std::int32_t BvuLookupTable::NextHeldIndex(std::int32_t from) const {
  if (from < low_) from = low_;
  if (is_sparse_) {
    const auto found = sparse_.lower_bound(from);
    return found != sparse_.end() ? found->first : high_ + 1;
  }
  while (items_ != nullptr && from <= high_ && items_[from - low_] == nullptr) ++from;
  return items_ != nullptr ? std::min(from, high_ + 1) : high_ + 1;
}

void BvuLookupTable::Reset() {
  ++generation_;
  delete[] items_;
  items_ = nullptr;
  sparse_.clear();
  is_sparse_ = false;
  capacity_ = 0;
  low_ = -1;
  high_ = -2;
  step_ = kFirstStep;
  held_ = 0;
  where_.reset();
  where_ambiguous_ = false;
  may_hold_twice_ = false;
}
