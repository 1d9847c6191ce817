// DseBBTree: the id-keyed tables of the messaging layer (servers by service
// type, requests waiting for replies, kept templates): an array of leaf
// pointers sorted by id, grown 16 entries at a time. The tree owns its
// leaves: a leaf replaced by one of the same id, or still held when the tree
// goes, is destroyed.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <vector>

#include "foundation/collections/bvu_collectable.h"

// A collectable that can sit in a DseBBTree, keyed by its id.
class DseBBTreeLeaf : public BvuCollectable {
 public:
  virtual std::uint32_t GetId() const = 0;
  // "[" address "] id=" id " (DseBBTreeLeaf)".
  virtual void PrintLeaf(std::ostream& out);
  const char* GetNameText(std::int32_t arg = 0) override;
};

class DseBBTree {
 public:
  DseBBTree() = default;
  ~DseBBTree();
  DseBBTree(const DseBBTree&) = delete;
  DseBBTree& operator=(const DseBBTree&) = delete;

  DseBBTreeLeaf* Find(std::uint32_t id) const;
  // Puts the leaf at its sorted place; a leaf with the same id is destroyed
  // and replaced in place.
  void Insert(DseBBTreeLeaf* leaf);
  // Takes the leaf with this id out and hands it to the caller; null when
  // there is none.
  DseBBTreeLeaf* Remove(std::uint32_t id);
  // Destroys every leaf.
  void Clear();

  std::uint32_t Count() const { return static_cast<std::uint32_t>(leaves_.size()); }
  DseBBTreeLeaf* At(std::uint32_t i) const { return leaves_[i]; }

 private:
  // Index of the first leaf whose id is not below id.
  std::size_t LowerBound(std::uint32_t id) const;

  std::vector<DseBBTreeLeaf*> leaves_;
};

// The service types a registry offers, in the order they were registered.
class DseTokenList {
 public:
  void Append(std::uint32_t token) { tokens_.push_back(token); }
  bool Contains(std::uint32_t token) const;
  std::uint32_t Count() const { return static_cast<std::uint32_t>(tokens_.size()); }
  std::uint32_t At(std::uint32_t i) const { return tokens_[i]; }
  void Clear() { tokens_.clear(); }

 private:
  std::vector<std::uint32_t> tokens_;
};
