// The snapshot-use manager's state: which snapshot file use requests read
// (the run's own store or another file in a store of its own), the current
// use-data tree with the value table restored beside it, and the tree of
// the event-schedule section. The results manager hands it the trees its
// snapshot sections read.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/directory/directory_node.h"
#include "foundation/values/packed_value.h"
#include "results/snapshots/snapshot_mgr.h"

class SputUseMgr {
 public:
  // owner: the results manager's store; model_root: the problem's tree,
  // which stands in for "no use-data tree".
  SputUseMgr(SputSnapshotMgr* owner, BvuDirectoryNode* model_root);
  ~SputUseMgr();
  SputUseMgr(const SputUseMgr&) = delete;
  SputUseMgr& operator=(const SputUseMgr&) = delete;

  // Takes the tree; the previous one goes.
  void SetTree(BvuDirectoryProper* tree);
  // The current use-data tree, or null when none.
  BvuDirectoryProper* Tree() const { return tree_; }
  // The tree, or the model root when there is none.
  BvuDirectoryNode* Root() const;
  void SetEventTree(BvuDirectoryProper* tree);
  BvuDirectoryProper* EventTree() const { return event_tree_; }
  // Not owned: the results manager's restore table.
  void SetValues(SUPackedValueTable* values) { values_ = values; }
  SUPackedValueTable* Values() const { return values_; }

  // Forgets the file name, drops the tree and the value table.
  void DropTree();
  void CloseStore() { store_.Clear(true); }
  void SetFileName(const char* name);
  const std::string& FileName() const { return file_name_; }
  bool OwnFile() const { return own_file_ != 0; }
  void SetOwnFile(bool own) { own_file_ = own ? 1 : 0; }
  SputSnapshotMgr& Store() { return store_; }
  SputSnapshotMgr* Owner() { return owner_; }
  void SetModelRoot(BvuDirectoryNode* root) { model_root_ = root; }

  std::uint32_t snapshot_mask = 0;
  std::uint32_t current_mask = 0;

 private:
  std::uint32_t own_file_ = 1;
  SputSnapshotMgr store_;
  SputSnapshotMgr* owner_;
  std::string file_name_;
  BvuDirectoryNode* model_root_;
  BvuDirectoryProper* tree_ = nullptr;
  BvuDirectoryProper* event_tree_ = nullptr;
  SUPackedValueTable* values_ = nullptr;
};

// Files of versions 1 and 2 number their types otherwise: every node of
// the tree gets today's code, and in a version-1 tree every element index
// becomes -99.
void FixUseDataTypes(BvuDirectoryNode* root, std::uint32_t version);
