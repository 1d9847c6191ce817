#include "results/use/use_mgr.h"

#include <array>
#include <vector>

#include "results/snapshots/snapshot_text.h"

namespace {

void DeleteTree(BvuDirectoryProper** tree) {
  if (*tree == nullptr) return;
  BvuDirectoryProper::DeleteBelow(*tree);
  delete *tree;
  *tree = nullptr;
}

}  // namespace

SputUseMgr::SputUseMgr(SputSnapshotMgr* owner, BvuDirectoryNode* model_root)
    : owner_(owner), model_root_(model_root) {}

SputUseMgr::~SputUseMgr() {
  DeleteTree(&tree_);
  DeleteTree(&event_tree_);
  store_.Clear(true);
}

void SputUseMgr::SetTree(BvuDirectoryProper* tree) {
  if (tree == tree_) return;
  DeleteTree(&tree_);
  tree_ = tree;
}

BvuDirectoryNode* SputUseMgr::Root() const {
  return tree_ != nullptr ? static_cast<BvuDirectoryNode*>(tree_) : model_root_;
}

void SputUseMgr::SetEventTree(BvuDirectoryProper* tree) {
  if (tree == event_tree_) return;
  DeleteTree(&event_tree_);
  event_tree_ = tree;
}

void SputUseMgr::DropTree() {
  file_name_.clear();
  DeleteTree(&tree_);
  values_ = nullptr;
}

void SputUseMgr::SetFileName(const char* name) {
  file_name_ = name != nullptr ? name : "";
  DeleteTree(&tree_);
  values_ = nullptr;
}

void FixUseDataTypes(BvuDirectoryNode* root, std::uint32_t version) {
  if (root == nullptr || version < 1 || version > 2) return;
  static constexpr std::array<std::uint16_t, 16> kToday = {0, 1, 2, 4,  5, 6,  0,  3,
                                                           0, 7, 0, 16, 8, 13, 10, 0};
  struct Level {
    BvuDirectoryNode* node;
    std::int32_t next;
  };
  std::vector<Level> levels{{root, root->LowIndex()}};
  while (!levels.empty()) {
    Level& level = levels.back();
    BvuDirectoryNode* child = nullptr;
    while (child == nullptr && level.next <= level.node->HighIndex())
      child = level.node->ChildAt(level.next++);
    if (child == nullptr) {
      levels.pop_back();
      continue;
    }
    if (child->GetKind() == SimUseData::kKind) {
      auto* data = static_cast<SimUseData*>(child);
      data->type = data->type < kToday.size() ? kToday[data->type] : 0;
      if (version == 1)
        for (std::uint32_t& element : data->elements) element = SimUseData::kArray;
    }
    levels.push_back({child, child->LowIndex()});
  }
}
