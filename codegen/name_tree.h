// The libraries to build and the procedure sources of each: a two-level
// tree of names compared without regard to case, in insertion order. The
// tree neither copies nor frees the names, which must outlive it.
#pragma once

#include <cstdint>

class CNameTree {
 public:
  // With a child name, one child node of that name and the same data.
  CNameTree(const char* name, std::intptr_t data, const char* child_name);
  // Deletes the child list and the siblings behind this node.
  virtual ~CNameTree();
  CNameTree(const CNameTree&) = delete;
  CNameTree& operator=(const CNameTree&) = delete;

  // Called on the root: the node created, or null when nothing was added.
  CNameTree* Insert(const char* name, std::intptr_t data, const char* child_name);

  const char* Name() const { return name_; }
  std::intptr_t Data() const { return data_; }
  CNameTree* Child() const { return child_; }
  CNameTree* Next() const { return next_; }

 private:
  const char* name_;
  std::intptr_t data_;
  CNameTree* child_ = nullptr;
  CNameTree* next_ = nullptr;
};
