#include "foundation/collections/set.h"

ClCollectable* ClSet::NewEmpty() const { return new ClSet; }

ClCollectable* ClSet::Copy() const { return new ClSet(*this); }

std::uint16_t ClSet::ClassId() const { return kClSetId; }

void ClSet::ClearAndDestroy() {
  Apply([](ClCollectable* item, void*) { delete item; }, nullptr);
  Clear();
}

ClCollectable* ClSet::Insert(ClCollectable* a) {
  if (ClCollectable* member = Find(a)) return member;
  return ClHashTable::Insert(a);
}

std::size_t ClSet::OccurrencesOf(const ClCollectable* a) const {
  return Find(a) != nullptr ? 1 : 0;
}

ClCollectable* ClIdentitySet::NewEmpty() const { return new ClIdentitySet; }

ClCollectable* ClIdentitySet::Copy() const { return new ClIdentitySet(*this); }

std::uint16_t ClIdentitySet::ClassId() const { return kClIdentitySetId; }

ClCollectable* ClIdentitySet::Find(const ClCollectable* a) const {
  if (a == nullptr) return nullptr;
  const ClSlistCollectables* bucket = BucketAt(AddressBucket(a));
  return bucket != nullptr ? bucket->FindReference(a) : nullptr;
}

ClCollectable* ClIdentitySet::Insert(ClCollectable* a) {
  if (a == nullptr) return nullptr;
  if (ClCollectable* member = Find(a)) return member;
  return AppendToBucket(AddressBucket(a), a);
}

ClCollectable* ClIdentitySet::Remove(const ClCollectable* a) {
  if (a == nullptr) return nullptr;
  ClSlistCollectables* bucket = BucketAt(AddressBucket(a));
  return bucket != nullptr ? Removed(bucket->RemoveReference(a)) : nullptr;
}
