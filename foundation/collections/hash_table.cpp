#include "foundation/collections/hash_table.h"

#include "foundation/collections/set.h"

ClHashTable::ClHashTable(std::size_t buckets) : buckets_(buckets == 0 ? 2 : buckets, nullptr) {}

ClHashTable::ClHashTable(const ClHashTable& other)
    : ClCollection(other), buckets_(other.buckets_.size(), nullptr) {
  CopyBuckets(other);
}

ClHashTable& ClHashTable::operator=(const ClHashTable& other) {
  if (this != &other) {
    FreeBuckets();
    buckets_.assign(other.buckets_.size(), nullptr);
    CopyBuckets(other);
  }
  return *this;
}

ClHashTable::~ClHashTable() { FreeBuckets(); }

void ClHashTable::CopyBuckets(const ClHashTable& other) {
  for (std::size_t i = 0; i < other.buckets_.size(); ++i) {
    if (other.buckets_[i] != nullptr) buckets_[i] = new ClSlistCollectables(*other.buckets_[i]);
  }
  count_ = other.count_;
}

void ClHashTable::FreeBuckets() {
  for (ClSlistCollectables*& bucket : buckets_) {
    delete bucket;
    bucket = nullptr;
  }
  count_ = 0;
}

ClCollectable* ClHashTable::NewEmpty() const { return new ClHashTable; }

ClCollectable* ClHashTable::Copy() const { return new ClHashTable(*this); }

std::uint16_t ClHashTable::ClassId() const { return kClHashTableId; }

bool ClHashTable::IsEqual(const ClCollectable* other) const {
  if (other == this) return true;
  if (other == nullptr || other->ClassId() != ClassId()) return false;
  const auto* that = dynamic_cast<const ClCollection*>(other);
  if (that == nullptr || that->Entries() != count_) return false;
  ClEqualityLevel level(this, that);
  if (const int known = level.Known(); known >= 0) return known == 1;
  ClSet distinct(count_ / 2);
  Apply([](ClCollectable* item, void* data) { static_cast<ClSet*>(data)->Insert(item); },
        &distinct);
  ClSetIterator it(distinct);
  for (ClCollectable* item = it.Next(); item != nullptr; item = it.Next()) {
    if (OccurrencesOf(item) > that->OccurrencesOf(item)) return level.Decided(false);
  }
  return level.Decided(true);
}

void ClHashTable::Apply(ClApplyFunction function, void* data) const {
  for (const ClSlistCollectables* bucket : buckets_) {
    if (bucket != nullptr) bucket->Apply(function, data);
  }
}

void ClHashTable::Clear() { FreeBuckets(); }

ClCollectable* ClHashTable::Find(const ClCollectable* a) const {
  if (a == nullptr) return nullptr;
  const ClSlistCollectables* bucket = buckets_[HashBucket(a)];
  return bucket != nullptr ? bucket->Find(a) : nullptr;
}

ClCollectable* ClHashTable::Insert(ClCollectable* a) {
  if (a == nullptr) return nullptr;
  return AppendToBucket(HashBucket(a), a);
}

std::size_t ClHashTable::OccurrencesOf(const ClCollectable* a) const {
  if (a == nullptr) return 0;
  const ClSlistCollectables* bucket = buckets_[HashBucket(a)];
  return bucket != nullptr ? bucket->OccurrencesOf(a) : 0;
}

ClCollectable* ClHashTable::Remove(const ClCollectable* a) {
  if (a == nullptr) return nullptr;
  ClSlistCollectables* bucket = buckets_[HashBucket(a)];
  return bucket != nullptr ? Removed(bucket->Remove(a)) : nullptr;
}

void ClHashTable::Resize(std::size_t n) {
  if (n == 0) n = count_ < 12 ? 16 : count_ * 3 / 2;
  std::vector<ClSlistCollectables*> old(n, nullptr);
  old.swap(buckets_);
  count_ = 0;
  for (ClSlistCollectables* bucket : old) {
    if (bucket == nullptr) continue;
    bucket->Apply(
        [](ClCollectable* item, void* data) { static_cast<ClHashTable*>(data)->Insert(item); },
        this);
    delete bucket;
  }
}

std::size_t ClHashTable::AddressBucket(const ClCollectable* a) const {
  const auto p = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(a));
  return static_cast<std::size_t>(((p >> 3) ^ p) % buckets_.size());
}

ClCollectable* ClHashTable::AppendToBucket(std::size_t i, ClCollectable* a) {
  if (buckets_[i] == nullptr) buckets_[i] = new ClSlistCollectables;
  buckets_[i]->Append(a);
  ++count_;
  return a;
}

ClCollectable* ClHashTable::Removed(ClCollectable* item) {
  if (item != nullptr) --count_;
  return item;
}

// ---- iterator --------------------------------------------------------------

ClHashTableIterator::ClHashTableIterator(const ClHashTable& table) : table_(&table) {}

ClHashTableIterator::~ClHashTableIterator() = default;

bool ClHashTableIterator::NextBucket() {
  items_.reset();
  const auto n = static_cast<std::int64_t>(table_->buckets_.size());
  while (++bucket_ < n) {
    const ClSlistCollectables* bucket = table_->buckets_[static_cast<std::size_t>(bucket_)];
    if (bucket != nullptr && !bucket->IsEmpty()) {
      items_.emplace(*bucket);
      return true;
    }
  }
  bucket_ = n;
  return false;
}

ClCollectable* ClHashTableIterator::Next() {
  while (true) {
    if (items_.has_value()) {
      if (ClCollectable* item = items_->Next()) return item;
    }
    if (!NextBucket()) return nullptr;
  }
}

ClCollectable* ClHashTableIterator::FindNext(const ClCollectable* a) {
  while (true) {
    if (items_.has_value()) {
      if (ClCollectable* item = items_->FindNext(a)) return item;
    }
    if (!NextBucket()) return nullptr;
  }
}

ClCollectable* ClHashTableIterator::Key() const {
  return items_.has_value() ? items_->Key() : nullptr;
}

void ClHashTableIterator::Reset() {
  items_.reset();
  bucket_ = -1;
  NextBucket();
}
