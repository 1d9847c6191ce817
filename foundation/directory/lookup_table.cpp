#include "foundation/directory/lookup_table.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {
constexpr std::int32_t kFirstStep = 4;
constexpr std::int32_t kLargestStep = 4096;
}  // namespace

BvuLookupTable::~BvuLookupTable() { delete[] items_; }

std::int32_t BvuLookupTable::HighIndex() { return high_; }
std::int32_t BvuLookupTable::LowIndex() { return low_; }
std::int32_t BvuLookupTable::Count() { return high_ - low_ + 1; }

BvuDirectoryNode* BvuLookupTable::ItemAt(std::int32_t index) {
  if (items_ == nullptr || index < low_ || index > high_) return nullptr;
  return items_[index - low_];
}

bool BvuLookupTable::KeepsTableDense(std::int32_t index) const {
  if (low_ == -1 || (index >= low_ - 1 && index <= high_ + 1)) return true;
  const std::int64_t span = std::int64_t{std::max(high_, index)} - std::min(low_, index) + 1;
  return span <= kBvuFreeSpan || span <= std::int64_t{kBvuSlotsPerChild} * (held_ + 1);
}

Status BvuLookupTable::SetAt(std::int32_t index, BvuDirectoryNode* item) {
  // An emptied table starts afresh: the range it had holds nothing.
  if (held_ == 0 && low_ != -1 && (index < low_ || index > high_)) Reset();
  if (index < 0 || index > kBvuHighestIndex || !KeepsTableDense(index)) return status::kBadArguments;
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
      std::memmove(items_ + shift, items_, sizeof(BvuDirectoryNode*) * count);
      std::fill(items_, items_ + shift, nullptr);
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
  BvuDirectoryNode*& slot = items_[index - low_];
  held_ += (item != nullptr) - (slot != nullptr);
  slot = item;
  return status::kOk;
}

bool BvuLookupTable::Resize(std::int32_t n, bool to_back) {
  const std::int32_t count = std::max(high_ - low_ + 1, 0);
  if (n > capacity_) {
    const std::int32_t step = step_ < kLargestStep && step_ < capacity_ / 2 ? 2 * step_ : step_;
    const std::int32_t capacity = (n + step - 1) / step * step;
    auto** grown = new (std::nothrow) BvuDirectoryNode*[capacity]();
    if (grown == nullptr) return false;
    step_ = step;
    std::int32_t first = 0;
    if (to_back) {
      low_ = high_ - capacity + 1;
      first = capacity - count;
      if (low_ < 0) {
        low_ = 0;
        first = high_ + 1 - count;
      }
    }
    if (count > 0) std::memcpy(grown + first, items_, sizeof(BvuDirectoryNode*) * count);
    delete[] items_;
    items_ = grown;
    capacity_ = capacity;
    return true;
  }
  if (to_back && count > 0) {
    const std::int32_t shift = std::min(capacity_ - count, low_);
    if (shift <= 0) return true;
    std::memmove(items_ + shift, items_, sizeof(BvuDirectoryNode*) * count);
    std::fill(items_, items_ + shift, nullptr);
    low_ -= shift;
  }
  return true;
}

BvuDirectoryNode* BvuLookupTable::TakeAt(std::int32_t index) {
  if (items_ == nullptr || index < low_ || index > high_) return nullptr;
  BvuDirectoryNode* item = items_[index - low_];
  items_[index - low_] = nullptr;
  if (item != nullptr) --held_;
  return item;
}

std::int32_t BvuLookupTable::IndexOf(const BvuDirectoryNode* item) const {
  if (items_ == nullptr || item == nullptr) return -1;
  for (std::int32_t slot = 0; slot <= high_ - low_; ++slot) {
    if (items_[slot] == item) return low_ + slot;
  }
  return -1;
}

void BvuLookupTable::Reset() {
  delete[] items_;
  items_ = nullptr;
  capacity_ = 0;
  low_ = -1;
  high_ = -2;
  step_ = kFirstStep;
  held_ = 0;
}
