#include "foundation/collections/ordered.h"

#include <algorithm>

#include "foundation/collections/collection_errors.h"

ClOrdered::ClOrdered(std::size_t capacity)
    : capacity_(capacity), items_(new ClCollectable*[capacity]) {}

ClOrdered::ClOrdered(const ClOrdered& other)
    : ClSequenceable(other), count_(other.count_), capacity_(other.capacity_),
      items_(new ClCollectable*[other.capacity_]) {
  std::copy(other.items_, other.items_ + other.count_, items_);
}

ClOrdered& ClOrdered::operator=(const ClOrdered& other) {
  if (this != &other) {
    ClCollectable** items = new ClCollectable*[other.capacity_];
    std::copy(other.items_, other.items_ + other.count_, items);
    delete[] items_;
    items_ = items;
    count_ = other.count_;
    capacity_ = other.capacity_;
  }
  return *this;
}

ClOrdered::~ClOrdered() { delete[] items_; }

ClCollectable* ClOrdered::NewEmpty() const { return new ClOrdered; }

ClCollectable* ClOrdered::Copy() const { return new ClOrdered(*this); }

std::uint16_t ClOrdered::ClassId() const { return kClOrderedId; }

bool ClOrdered::IsEqual(const ClCollectable* other) const {
  if (other == this) return true;
  if (other == nullptr || other->ClassId() != kClOrderedId) return false;
  const auto* that = dynamic_cast<const ClOrdered*>(other);
  if (that == nullptr || that->count_ != count_) return false;
  ClEqualityLevel level(this, that);
  if (const int known = level.Known(); known >= 0) return known == 1;
  for (std::size_t i = 0; i < count_; ++i) {
    if (!ClItemsEqual(items_[i], that->items_[i])) return level.Decided(false);
  }
  return level.Decided(true);
}

void ClOrdered::Apply(ClApplyFunction function, void* data) const {
  for (std::size_t i = 0; i < count_; ++i) function(items_[i], data);
}

void ClOrdered::Clear() {
  count_ = 0;
  if (capacity_ > kDefaultCapacity) Reallocate(kDefaultCapacity);
}

ClCollectable* ClOrdered::Find(const ClCollectable* a) const {
  const std::size_t i = Index(a);
  return i == kClNoIndex ? nullptr : items_[i];
}

ClCollectable* ClOrdered::Insert(ClCollectable* a) { return Append(a); }

std::size_t ClOrdered::OccurrencesOf(const ClCollectable* a) const {
  std::size_t n = 0;
  for (std::size_t i = Index(a); i < count_; ++i) {
    if (ClItemsEqual(items_[i], a)) ++n;
  }
  return n;
}

ClCollectable* ClOrdered::Remove(const ClCollectable* a) {
  const std::size_t i = Index(a);
  return i == kClNoIndex ? nullptr : RemoveAt(i);
}

ClCollectable* ClOrdered::Append(ClCollectable* a) { return InsertAt(count_, a); }

ClCollectable* ClOrdered::ItemAt(std::size_t i) const {
  BoundsCheck(i);
  return items_[i];
}

ClCollectable*& ClOrdered::ItemRefAt(std::size_t i) {
  BoundsCheck(i);
  return items_[i];
}

ClCollectable* ClOrdered::First() const { return count_ == 0 ? nullptr : items_[0]; }

std::size_t ClOrdered::Index(const ClCollectable* a) const {
  for (std::size_t i = 0; i < count_; ++i) {
    if (ClItemsEqual(items_[i], a)) return i;
  }
  return kClNoIndex;
}

ClCollectable* ClOrdered::InsertAt(std::size_t i, ClCollectable* a) {
  if (i > count_) {
    ClRaiseError(ClErrorClass::kBounds, kClIndex, static_cast<unsigned>(i),
                 static_cast<unsigned>(count_));
  }
  if (count_ == capacity_) Reallocate(capacity_ + kGrowth);
  std::copy_backward(items_ + i, items_ + count_, items_ + count_ + 1);
  items_[i] = a;
  ++count_;
  return a;
}

ClCollectable* ClOrdered::Last() const { return count_ == 0 ? nullptr : items_[count_ - 1]; }

ClCollectable* ClOrdered::Prepend(ClCollectable* a) { return InsertAt(0, a); }

ClCollectable* ClOrdered::RemoveAt(std::size_t i) {
  BoundsCheck(i);
  ClCollectable* item = items_[i];
  std::copy(items_ + i + 1, items_ + count_, items_ + i);
  --count_;
  return item;
}

void ClOrdered::BoundsCheck(std::size_t i) const {
  if (i >= count_) {
    ClRaiseError(ClErrorClass::kBounds, kClIndexErr, static_cast<unsigned>(i),
                 static_cast<unsigned>(count_));
  }
}

void ClOrdered::Reallocate(std::size_t capacity) {
  ClCollectable** items = new ClCollectable*[capacity];
  std::copy(items_, items_ + count_, items);
  delete[] items_;
  items_ = items;
  capacity_ = capacity;
}
