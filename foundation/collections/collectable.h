// The root of every persistent or listed object: a class id, comparison and
// hashing, and four body operations that save and restore the object's own
// fields. The framing around a body (class ids, references to objects
// already written) belongs to persistence.h. Objects are made with new and
// deleted through the virtual destructor by their owner.
#pragma once

#include <cstdint>

class ClFileStream;
class Clvistream;
class Clvostream;

// Class ids of this library; 0xFFFF is never a class id.
inline constexpr std::uint16_t kClCollectableId = 0x8007;
inline constexpr std::uint16_t kClSequenceableId = 0x801D;
inline constexpr std::uint16_t kClIdentitySetId = 0x8025;
inline constexpr std::uint16_t kClOrderedId = 0x8028;
inline constexpr std::uint16_t kClSetId = 0x802B;
inline constexpr std::uint16_t kClSlistCollectablesId = 0x8033;
inline constexpr std::uint16_t kClHashTableId = 0x805E;

class ClCollectable {
 public:
  ClCollectable() = default;
  ClCollectable(const ClCollectable&) = default;
  ClCollectable& operator=(const ClCollectable&) = default;

  // A new default object of the same class.
  virtual ClCollectable* NewEmpty() const;
  // A new object copied from this one.
  virtual ClCollectable* Copy() const;
  virtual std::uint16_t ClassId() const;
  virtual ~ClCollectable();
  // Bytes of the body in the binary file form.
  virtual std::uint32_t StoredSize() const;
  // -1, 0 or 1; the root orders by address.
  virtual int CompareTo(const ClCollectable* other) const;
  virtual std::uint32_t Hash() const;
  // The root: only the same object.
  virtual bool IsEqual(const ClCollectable* other) const;
  virtual void RestoreFromVStream(Clvistream& stream);
  virtual void RestoreFromFile(ClFileStream& file);
  virtual void SaveToVStream(Clvostream& stream) const;
  virtual void SaveToFile(ClFileStream& file) const;
};

// The address hash of the root class: ((p >> 3) ^ p), low 32 bits.
std::uint32_t AddressHash(const void* p);

// The object that stands for a null pointer in every saved graph. Made on
// first use and never deleted.
ClCollectable* NilObject();

// Equality as the collections use it: the stored item's IsEqual with the
// searched one; a null stored item matches only null.
inline bool ClItemsEqual(const ClCollectable* stored, const ClCollectable* searched) {
  return stored != nullptr ? stored->IsEqual(searched) : searched == nullptr;
}
