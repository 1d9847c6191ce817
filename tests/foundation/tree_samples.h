// Small directory trees for the tree tests: a root that deletes what hangs
// below it, and helpers that add children and read a tree back as text.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/directory/directory_node.h"

namespace testsupport {

// A root node that deletes its whole tree when it goes.
class SampleTree {
 public:
  explicit SampleTree(const char* name = "") : root_(new BvuDirectoryProper(nullptr, name)) {}
  ~SampleTree() {
    root_->DeleteChildren();
    delete root_;
  }
  SampleTree(const SampleTree&) = delete;
  SampleTree& operator=(const SampleTree&) = delete;
  BvuDirectoryProper* root() const { return root_; }

 private:
  BvuDirectoryProper* root_;
};

inline BvuDirectoryProper* AddChild(BvuDirectoryNode* parent, std::int32_t index,
                                    const char* name) {
  auto* child = new BvuDirectoryProper(parent, name);
  EXPECT_EQ(parent->InsertChildAt(index, child), status::kOk);
  return child;
}

// Every node below `node` as "index:name" in depth-first order, children
// in braces: "0:A{1:.b}" (so two trees compare as texts).
inline std::string Outline(BvuDirectoryNode* node) {
  std::string text;
  for (std::int32_t index = node->LowIndex(); index <= node->HighIndex(); ++index) {
    BvuDirectoryNode* child = node->ChildAt(index);
    if (child == nullptr) continue;
    if (!text.empty()) text += ' ';
    text += std::to_string(index) + ":" + (child->Name() != nullptr ? child->Name() : "?");
    const std::string below = Outline(child);
    if (!below.empty()) text += "{" + below + "}";
  }
  return text;
}

// The full path texts of the nodes, in order.
inline std::vector<std::string> Paths(const std::vector<BvuDirectoryNode*>& nodes) {
  std::vector<std::string> paths;
  for (BvuDirectoryNode* node : nodes) paths.emplace_back(node->GetNameText());
  return paths;
}

}  // namespace testsupport
