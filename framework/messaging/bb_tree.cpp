#include "framework/messaging/bb_tree.h"

#include <algorithm>
#include <ostream>

void DseBBTreeLeaf::PrintLeaf(std::ostream& out) {
  out << '[' << static_cast<const void*>(this) << "] id=" << GetId() << " (DseBBTreeLeaf)";
}

const char* DseBBTreeLeaf::GetNameText(std::int32_t) { return ""; }

DseBBTree::~DseBBTree() { Clear(); }

std::size_t DseBBTree::LowerBound(std::uint32_t id) const {
  return static_cast<std::size_t>(
      std::lower_bound(
          leaves_.begin(), leaves_.end(), id,
          [](const DseBBTreeLeaf* leaf, std::uint32_t key) { return leaf->GetId() < key; }) -
      leaves_.begin());
}

DseBBTreeLeaf* DseBBTree::Find(std::uint32_t id) const {
  const std::size_t at = LowerBound(id);
  return at < leaves_.size() && leaves_[at]->GetId() == id ? leaves_[at] : nullptr;
}

void DseBBTree::Insert(DseBBTreeLeaf* leaf) {
  const std::size_t at = LowerBound(leaf->GetId());
  if (at < leaves_.size() && leaves_[at]->GetId() == leaf->GetId()) {
    if (leaves_[at] != leaf) BvuCollectable::Destroy(leaves_[at]);
    leaves_[at] = leaf;
    return;
  }
  if (leaves_.size() == leaves_.capacity()) leaves_.reserve(leaves_.capacity() + 16);
  leaves_.insert(leaves_.begin() + static_cast<std::ptrdiff_t>(at), leaf);
}

DseBBTreeLeaf* DseBBTree::Remove(std::uint32_t id) {
  const std::size_t at = LowerBound(id);
  if (at >= leaves_.size() || leaves_[at]->GetId() != id) return nullptr;
  DseBBTreeLeaf* leaf = leaves_[at];
  leaves_.erase(leaves_.begin() + static_cast<std::ptrdiff_t>(at));
  return leaf;
}

void DseBBTree::Clear() {
  // Taken out first, so that a leaf whose destruction looks at the tree
  // finds it consistent.
  std::vector<DseBBTreeLeaf*> leaves;
  leaves.swap(leaves_);
  for (DseBBTreeLeaf* leaf : leaves) BvuCollectable::Destroy(leaf);
}

bool DseTokenList::Contains(std::uint32_t token) const {
  return std::find(tokens_.begin(), tokens_.end(), token) != tokens_.end();
}
