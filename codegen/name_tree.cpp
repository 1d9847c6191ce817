#include "codegen/name_tree.h"

#include <strings.h>

#include <new>

CNameTree::CNameTree(const char* name, std::intptr_t data, const char* child_name)
    : name_(name), data_(data) {
  if (child_name != nullptr) child_ = new (std::nothrow) CNameTree(child_name, data, nullptr);
}

CNameTree::~CNameTree() {
  delete child_;
  // Iteratively, so a long library list cannot exhaust the stack.
  CNameTree* node = next_;
  while (node != nullptr) {
    CNameTree* after = node->next_;
    node->next_ = nullptr;
    delete node;
    node = after;
  }
}

namespace {
bool Same(const char* a, const char* b) {
  return a != nullptr && b != nullptr && strcasecmp(a, b) == 0;
}
}  // namespace

CNameTree* CNameTree::Insert(const char* name, std::intptr_t data, const char* child_name) {
  CNameTree* node = this;
  for (;;) {
    if (Same(node->name_, name)) break;
    if (node->next_ == nullptr) {
      node->next_ = new (std::nothrow) CNameTree(name, data, child_name);
      return node->next_;
    }
    node = node->next_;
  }
  if (child_name == nullptr) return nullptr;
  if (node->child_ == nullptr) {
    node->child_ = new (std::nothrow) CNameTree(child_name, data, nullptr);
    return node->child_;
  }
  return node->child_->Insert(child_name, data, nullptr);
}
