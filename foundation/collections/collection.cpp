#include "foundation/collections/collection.h"

#include "foundation/collections/collection_errors.h"
#include "foundation/collections/set.h"
#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/persistence.h"
#include "foundation/persistence/virtual_stream.h"

#include <functional>
#include <unordered_map>
#include <utility>

namespace {

// A count read from a short file stays all-ones, so that the first item read
// after it fails the reference check instead of yielding an empty body.
constexpr std::uint32_t kUnreadCount = 0xFFFFFFFFu;

thread_local int t_equality_depth = 0;

struct PairHash {
  std::size_t operator()(const std::pair<const void*, const void*>& p) const {
    return std::hash<const void*>()(p.first) * 31u ^ std::hash<const void*>()(p.second);
  }
};
// Outcomes of the pairs compared within the outermost comparison on this
// thread; emptied when it ends.
thread_local std::unordered_map<std::pair<const void*, const void*>, bool, PairHash> t_compared;

}  // namespace

std::uint32_t ClCollection::StoredSize() const {
  std::uint32_t size = 8;
  auto add = [](ClCollectable* item, void* data) {
    *static_cast<std::uint32_t*>(data) += StoredSizeOf(item);
  };
  Apply(add, &size);
  return size;
}

void ClCollection::SaveToFile(ClFileStream& file) const {
  file.Write32(static_cast<std::uint32_t>(Entries()));
  Apply(
      [](ClCollectable* item, void* data) {
        auto& f = *static_cast<ClFileStream*>(data);
        if (!f.Error()) WriteCollectableToFile(item, f);
      },
      &file);
}

void ClCollection::SaveToVStream(Clvostream& stream) const {
  stream.PutU32(static_cast<std::uint32_t>(Entries()));
  if (!stream.Good()) return;
  Apply(
      [](ClCollectable* item, void* data) {
        auto& s = *static_cast<Clvostream*>(data);
        if (s.Good()) WriteCollectable(item, s);
      },
      &stream);
}

void ClCollection::RestoreFromFile(ClFileStream& file) {
  Clear();
  std::uint32_t count = kUnreadCount;
  file.Read32(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    ClCollectable* item = RestoreCollectableFromFile(file);
    if (file.Error()) break;
    if (Insert(item) != item) NoteDroppedItem(item);
  }
}

void ClCollection::RestoreFromVStream(Clvistream& stream) {
  Clear();
  std::uint32_t count = 0;
  stream.GetU32(count);
  if (!stream.Good()) return;
  for (std::uint32_t i = 0; i < count; ++i) {
    ClCollectable* item = RestoreCollectable(stream);
    if (!stream.Good()) break;
    if (Insert(item) != item) NoteDroppedItem(item);
  }
}

void ClCollection::ClearAndDestroy() {
  DestroyDistinctItems();
  Clear();
}

void ClCollection::DestroyDistinctItems() {
  ClIdentitySet distinct(Entries() / 4);
  Apply([](ClCollectable* item, void* data) { static_cast<ClIdentitySet*>(data)->Insert(item); },
        &distinct);
  distinct.Apply([](ClCollectable* item, void*) { delete item; }, nullptr);
}

bool ClCollection::Contains(const ClCollectable* a) const { return Find(a) != nullptr; }

bool ClCollection::IsEmpty() const { return Entries() == 0; }

void ClCollection::RemoveAndDestroy(const ClCollectable* a) { delete Remove(a); }

ClEqualityLevel::ClEqualityLevel(const ClCollectable* a, const ClCollectable* b) : a_(a), b_(b) {
  if (t_equality_depth >= kMaxEqualityDepth) ClRaiseError(ClErrorClass::kInternal, kClNotAllow);
  ++t_equality_depth;
}

ClEqualityLevel::~ClEqualityLevel() {
  if (--t_equality_depth == 0) t_compared.clear();
}

int ClEqualityLevel::Known() const {
  const auto found = t_compared.find({a_, b_});
  return found == t_compared.end() ? -1 : found->second ? 1 : 0;
}

bool ClEqualityLevel::Decided(bool equal) {
  t_compared[{a_, b_}] = equal;
  return equal;
}

std::uint16_t ClSequenceable::ClassId() const { return kClSequenceableId; }

ClCollectable* ClSequenceable::InsertAfter(std::size_t i, ClCollectable* a) {
  return InsertAt(i + 1, a);
}
