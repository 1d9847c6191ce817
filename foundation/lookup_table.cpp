#include "foundation/lookup_table.h"

#include <algorithm>
#include <cstring>

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

void BvuLookupTable::SetAt(std::int32_t index, BvuDirectoryNode* item) {
  if (low_ == -1) {
    low_ = index;
    high_ = index - 1;
  }
  if (index + 1 > capacity_ + low_) {
    Resize(index - low_ + 1, false);
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
      Resize(count + shift, true);
    }
  }
  if (index > high_) high_ = index;
  items_[index - low_] = item;
}

void BvuLookupTable::Resize(std::int32_t n, bool to_back) {
  const std::int32_t count = std::max(high_ - low_ + 1, 0);
  if (n > capacity_) {
    if (step_ < kLargestStep && step_ < capacity_ / 2) step_ *= 2;
    const std::int32_t capacity = (n + step_ - 1) / step_ * step_;
    auto** grown = new BvuDirectoryNode*[capacity]();
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
    return;
  }
  if (to_back && count > 0) {
    const std::int32_t shift = std::min(capacity_ - count, low_);
    if (shift <= 0) return;
    std::memmove(items_ + shift, items_, sizeof(BvuDirectoryNode*) * count);
    std::fill(items_, items_ + shift, nullptr);
    low_ -= shift;
  }
}

BvuDirectoryNode* BvuLookupTable::TakeAt(std::int32_t index) {
  if (items_ == nullptr || index < low_ || index > high_) return nullptr;
  BvuDirectoryNode* item = items_[index - low_];
  items_[index - low_] = nullptr;
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
}
