#include "foundation/collections/collectable.h"

#include <cstdint>

ClCollectable* ClCollectable::NewEmpty() const { return new ClCollectable; }

ClCollectable* ClCollectable::Copy() const { return new ClCollectable; }

std::uint16_t ClCollectable::ClassId() const { return kClCollectableId; }

ClCollectable::~ClCollectable() = default;

std::uint32_t ClCollectable::StoredSize() const { return 0; }

int ClCollectable::CompareTo(const ClCollectable* other) const {
  const auto self = reinterpret_cast<std::uintptr_t>(this);
  const auto that = reinterpret_cast<std::uintptr_t>(other);
  if (self == that) return 0;
  return self > that ? 1 : -1;
}

std::uint32_t ClCollectable::Hash() const { return AddressHash(this); }

bool ClCollectable::IsEqual(const ClCollectable* other) const { return other == this; }

void ClCollectable::RestoreFromVStream(Clvistream&) {}
void ClCollectable::RestoreFromFile(ClFileStream&) {}
void ClCollectable::SaveToVStream(Clvostream&) const {}
void ClCollectable::SaveToFile(ClFileStream&) const {}

std::uint32_t AddressHash(const void* p) {
  const auto v = reinterpret_cast<std::uintptr_t>(p);
  return static_cast<std::uint32_t>((v >> 3) ^ v);
}

ClCollectable* NilObject() {
  // Never deleted: saves and restores may run while the process ends.
  static ClCollectable* const nil = new ClCollectable;
  return nil;
}
