// Walks of the directory tree by name path: the resumable iterator over the
// nodes that match a path (the walk of FindFirstMatch and of user
// patterns), the same walk paired with a second tree (MatchPath), and the
// plain parallel walk of two trees by name. The caller owns an iterator.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/status.h"

class BvuDirectoryNode;

class BvuDirectoryIterator {
 public:
  // The nodes below `root` that match the components as SplitNamePath
  // makes them (so only the first can be "~").
  BvuDirectoryIterator(BvuDirectoryNode* root, std::vector<std::string> components);
  // The same walk with a partner for every match: the node of the same
  // names below `second_root`, letters in any case. A match without a
  // partner is given with a null partner when `keep_unpartnered` is set
  // (and the walk goes on below it alone); otherwise it is skipped together
  // with everything below it.
  BvuDirectoryIterator(BvuDirectoryNode* root, BvuDirectoryNode* second_root,
                       std::vector<std::string> components, bool keep_unpartnered);
  ~BvuDirectoryIterator();
  BvuDirectoryIterator(const BvuDirectoryIterator&) = delete;
  BvuDirectoryIterator& operator=(const BvuDirectoryIterator&) = delete;

  // 0 with the next matching node (and its partner), 21 when none is left.
  Status NextMatch(BvuDirectoryNode** node, BvuDirectoryNode** partner = nullptr);

 private:
  struct Level;
  std::int32_t MatchComponent(const char* name, std::size_t component, std::size_t* used) const;
  BvuDirectoryNode* PartnerOf(Level& level, BvuDirectoryNode* child);
  void Descend(BvuDirectoryNode* node, BvuDirectoryNode* partner, std::size_t component);

  BvuDirectoryNode* root_;
  bool paired_;
  bool keep_unpartnered_;
  std::vector<std::string> components_;
  std::vector<Level> levels_;
};

// Frees an iterator that FindFirstMatch handed out; null does nothing.
void DeleteDirectoryIterator(BvuDirectoryIterator* iterator);

// A depth-first walk over two trees at once: every node below the first
// root, in index order, with the node of the second tree that has the same
// names (letters in any case), or null where there is none.
class BvuDirectoryPairIterator {
 public:
  BvuDirectoryPairIterator(BvuDirectoryNode* first_root, BvuDirectoryNode* second_root);
  // 0 with the next pair, 21 at the end.
  Status Next(BvuDirectoryNode** first, BvuDirectoryNode** second);

 private:
  BvuDirectoryIterator walk_;
};
