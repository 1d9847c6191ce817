// Saving and restoring graphs of collectables, in a binary file form and a
// virtual-stream form. An object met the first time is written with its
// class id and body; met again (and null) it is written as a reference to
// its sequence number, so shared objects are written once and come back as
// one object, and an object may refer to itself.
//
//   binary:  magic u32 0x8888 once per top-level save; first time u16 class
//            id + body; again u16 0xFFFF + u32 number (0 is null)
//   stream:  first time ':' u16 id '{' body '}'; again '@' u32 number
//
// The tables that number the objects live per thread for the length of one
// top-level save or restore; nested calls from body operations share them.
// Errors go through the library's error path (collection_errors.h); outside
// data is restored through guarded_restore.h, which turns them into a status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/collections/collectable.h"
#include "foundation/collections/ordered.h"
#include "foundation/collections/set.h"

class ClFileStream;
class Clvistream;
class Clvostream;

inline constexpr std::uint32_t kCollectableMagic = 0x8888;
inline constexpr std::uint16_t kReferenceMark = 0xFFFF;
// Nesting of object bodies beyond this is refused as damaged input rather
// than run into the end of the stack.
inline constexpr int kMaxRestoreDepth = 10000;

// Binary form; null is written as the nil object.
void WriteCollectableToFile(const ClCollectable* object, ClFileStream& file);
void StoreCollectableToFile(ClFileStream& file, const ClCollectable* object);
// Virtual-stream form; null is written as the nil object.
void WriteCollectable(const ClCollectable* object, Clvostream& stream);
void StoreCollectable(Clvostream& stream, const ClCollectable* object);

// Read one object reference: the object, or null for a saved null. With a
// target, a first occurrence is read into the target (its class id must
// match) and a reference must resolve to it.
ClCollectable* RestoreCollectableFromFile(ClFileStream& file, ClCollectable* target = nullptr);
// As above; a malformed stream sets the fail bit and yields null.
ClCollectable* RestoreCollectable(Clvistream& stream, ClCollectable* target = nullptr);

// Called by a body while it is being restored: `replacement`, made by that
// body, takes the place of `object` in this restore (its number, the record
// of objects made), and `object` is deleted as soon as its body returns.
// Readers of older layouts use it to hand back an object of the current
// class; the body must raise nothing after the call.
void ReplaceRestoredObject(ClCollectable* object, ClCollectable* replacement);

// What the restores of this thread record while one is installed: the
// objects the factory made, in the order made, and the objects restored in
// place as targets. The guarded restore uses it to dispose of a graph whose
// restore failed without touching what it does not own.
struct ClRestoreRecord {
  std::vector<ClCollectable*> made;
  std::vector<ClCollectable*> targets;
};
// Installs `record` (null for none) and returns the previous one.
ClRestoreRecord* ExchangeRestoreRecord(ClRestoreRecord* record);

// Told by a collection whose restore did not keep an item (a set that
// already held an equal one). When the top-level restore ends, an item that
// the graph names nowhere else is deleted, and so, in turn, are the items
// of a collection deleted so; collections do not own their items.
void NoteDroppedItem(ClCollectable* item);

// Bytes the object takes in the binary form at this point of a save: the
// magic at top level, then 2 plus its StoredSize the first time, else 6.
std::uint32_t StoredSizeOf(const ClCollectable* object);

// One object per thread behind a thread-local slot, made at the start of a
// top-level save or restore and deleted at its end.
class ClInstanceManager {
 public:
  ClInstanceManager();
  ClInstanceManager(const ClInstanceManager&) = delete;
  ClInstanceManager& operator=(const ClInstanceManager&) = delete;

  virtual ClCollectable* CreateInstance() = 0;
  virtual void DeleteInstance(ClCollectable* instance) = 0;

  // This thread's object, or null.
  ClCollectable* CurrentInstance() const;
  ClCollectable* MakeCurrentInstance();
  void FreeCurrentInstance();
  // Puts `instance` in this thread's slot and returns what was there.
  ClCollectable* ExchangeCurrentInstance(ClCollectable* instance);

 protected:
  ~ClInstanceManager() = default;

 private:
  std::size_t slot_;
};

// One entry of a store table: an object written and its sequence number.
class ClStoreEntry : public ClCollectable {
 public:
  ClStoreEntry(const ClCollectable* object, std::uint32_t number)
      : object_(object), number_(number) {}
  std::uint32_t Hash() const override { return AddressHash(object_); }
  bool IsEqual(const ClCollectable* other) const override;
  std::uint32_t Number() const { return number_; }

 private:
  const ClCollectable* object_;
  std::uint32_t number_;
};

// The objects written so far in one top-level save; owns its entries. A new
// table holds the nil object as number 0.
class ClStoreTable : public ClSet {
 public:
  ClStoreTable();
  ~ClStoreTable() override;
  ClStoreTable(const ClStoreTable&) = delete;
  ClStoreTable& operator=(const ClStoreTable&) = delete;

  // True with the object's number when it has been written.
  bool FindNumber(const ClCollectable* object, std::uint32_t& number) const;
  // Numbers the object with the count before insertion.
  std::uint32_t Add(const ClCollectable* object);
};

class ClStoreManager : public ClInstanceManager {
 public:
  ClCollectable* CreateInstance() override { return new ClStoreTable; }
  void DeleteInstance(ClCollectable* instance) override { delete instance; }
  ClStoreTable* Table() const { return static_cast<ClStoreTable*>(CurrentInstance()); }
};

// The read table: the objects read so far in one top-level restore, in the
// order made; index 0 holds the nil object.
class ClReadManager : public ClInstanceManager {
 public:
  ClCollectable* CreateInstance() override { return new ClOrdered(ClOrdered::kDefaultCapacity); }
  void DeleteInstance(ClCollectable* instance) override { delete instance; }
  ClOrdered* Table() const { return static_cast<ClOrdered*>(CurrentInstance()); }
};

ClStoreManager& StoreManager();
ClReadManager& ReadManager();
