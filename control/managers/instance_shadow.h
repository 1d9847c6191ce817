// A stand-in copy of the instance tree on which an item list is read first:
// the same places, names and node classes as far as the item reader tells
// them apart (instances, variables with their derivatives and bounds,
// parameters of their types, switches with their states, equations), and
// none of the values, expressions or links. A list that reads cleanly on it
// reads the same on the tree; one that does not is refused before the tree
// changes.
#pragma once

#include <memory>

class BvuDirectoryNode;
class DAESInstanceNode;

class SimInstanceShadow {
 public:
  // Copies the whole tree of `root`; Target() is the copy of `target`
  // (null when it does not lie below root).
  SimInstanceShadow(BvuDirectoryNode* root, BvuDirectoryNode* target);
  ~SimInstanceShadow();
  SimInstanceShadow(const SimInstanceShadow&) = delete;
  SimInstanceShadow& operator=(const SimInstanceShadow&) = delete;

  DAESInstanceNode* Root() const { return root_; }
  BvuDirectoryNode* Target() const { return target_; }

 private:
  DAESInstanceNode* root_;
  BvuDirectoryNode* target_ = nullptr;
};
