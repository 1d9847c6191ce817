// Singly linked lists: ClSlist is the intrusive link chain (a head link, a
// tail sentinel whose next points to itself, the last link and a count);
// ClSlistCollectables (class id 0x8033) is a list of collectable pointers
// over it, one node per item; the buckets of the hash tables are such lists.
// The list owns its nodes, never its items.
#pragma once

#include <cstddef>

#include "foundation/collections/collection.h"

struct ClSlink {
  ClSlink* next = nullptr;
};

class ClSlist {
 public:
  ClSlist();
  ClSlist(const ClSlist&) = delete;
  ClSlist& operator=(const ClSlist&) = delete;

  std::size_t LinkCount() const { return count_; }
  ClSlink* HeadLink() { return &head_; }
  const ClSlink* HeadLink() const { return &head_; }
  bool IsTail(const ClSlink* link) const { return link == &tail_; }
  ClSlink* LastLink() const { return last_; }
  // Links `link` after `prev` (the head link for the front).
  void LinkAfter(ClSlink* prev, ClSlink* link);
  // Unlinks and returns the link after `prev`, which must not be the last.
  ClSlink* UnlinkAfter(ClSlink* prev);
  // Forgets all links without touching them.
  void ResetLinks();

 private:
  ClSlink head_;
  ClSlink tail_;
  ClSlink* last_;
  std::size_t count_ = 0;
};

class ClSlistCollectablesIterator;

class ClSlistCollectables : public ClSequenceable, private ClSlist {
 public:
  ClSlistCollectables() = default;
  ClSlistCollectables(const ClSlistCollectables& other);
  ClSlistCollectables& operator=(const ClSlistCollectables& other);
  ~ClSlistCollectables() override;

  ClCollectable* NewEmpty() const override;
  ClCollectable* Copy() const override;
  std::uint16_t ClassId() const override;
  bool IsEqual(const ClCollectable* other) const override;

  void Apply(ClApplyFunction function, void* data) const override;
  void Clear() override;
  std::size_t Entries() const override { return LinkCount(); }
  ClCollectable* Find(const ClCollectable* a) const override;
  ClCollectable* Insert(ClCollectable* a) override;
  std::size_t OccurrencesOf(const ClCollectable* a) const override;
  ClCollectable* Remove(const ClCollectable* a) override;

  ClCollectable* Append(ClCollectable* a) override;
  ClCollectable* ItemAt(std::size_t i) const override;
  ClCollectable*& ItemRefAt(std::size_t i) override;
  ClCollectable* First() const override;
  std::size_t Index(const ClCollectable* a) const override;
  ClCollectable* InsertAt(std::size_t i, ClCollectable* a) override;
  ClCollectable* Last() const override;
  ClCollectable* Prepend(ClCollectable* a) override;

  // The same item by address (identity sets).
  ClCollectable* FindReference(const ClCollectable* a) const;
  ClCollectable* RemoveReference(const ClCollectable* a);

 private:
  friend class ClSlistCollectablesIterator;
  struct Node : ClSlink {
    ClCollectable* item = nullptr;
  };
  static Node* AsNode(ClSlink* link) { return static_cast<Node*>(link); }
  static const Node* AsNode(const ClSlink* link) { return static_cast<const Node*>(link); }
  Node* NodeAt(std::size_t i) const;
  // Unlinks the first node after which `match` holds, returning its item.
  template <typename Match>
  ClCollectable* RemoveFirst(Match match);
  void AppendAll(const ClSlistCollectables& other);
  void FreeNodes();
};

// Walks a list; valid while the list is unchanged.
class ClSlistCollectablesIterator {
 public:
  explicit ClSlistCollectablesIterator(const ClSlistCollectables& list);

  // Steps to the next item equal to a; null at the end or at a null item.
  virtual ClCollectable* FindNext(const ClCollectable* a);
  // The current item; null before the first step and at the end.
  virtual ClCollectable* Key() const;
  // The next item, or null at the end.
  virtual ClCollectable* Next();
  virtual void Reset();

 private:
  const ClSlistCollectables* list_;
  const ClSlink* head_;
  const ClSlink* current_;
};
