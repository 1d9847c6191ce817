// The snapshot-use manager: which snapshot file use requests read (the
// run's own store or another file in a store of its own), the current
// use-data tree with the value table restored beside it, and the tree of
// the event-schedule section. It lists, keeps and deletes snapshots of
// other files, sends one of their snapshots, and compares a snapshot's use
// data with the present problem, staging an assignment for every variable
// whose value or specification would change.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/directory/directory_node.h"
#include "foundation/values/packed_value.h"
#include "results/snapshots/snapshot_mgr.h"

class BvuBinaryStream;
class SimResultsMgr;

class SputUseMgr {
 public:
  // The mask the flag bytes select: bit 0 Fixed and Vary, bit 1 Free and
  // Objective, bit 2 Initial, bit 3 structural.
  static std::uint32_t MaskOf(std::uint32_t nibble);
  // The flag word of staged assignments made from a snapshot.
  static constexpr std::uint32_t kAssignMask = 0x20A3180u;
  static constexpr std::uint32_t kNoId = 0xFFFFFFFFu;
  static constexpr std::size_t kLongestName = 255;

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
  // The participants another file is read and restored with (the results
  // manager's sections).
  void SetParticipants(const SputSnapshotMgr::Participants& participants) {
    participants_ = participants;
  }
  // The use manager's store while it reads a file's structure, else null:
  // its records describe that file, not the run's.
  const SputSnapshotMgr* Reading() const { return reading_; }

  // --- use requests ---
  // Two strings (at most 255 characters each): either empty chooses the
  // run's own store; otherwise the second names the file, opened with
  // mapping when it is not the current one. With a reply: kind 30 and the
  // chosen store's snapshot list.
  Status SelectFile(BvuBinaryStream& request, BvuBinaryStream* reply);
  // A file name: kind 138 and that file's snapshot list; the file is closed
  // again.
  Status ListFile(BvuBinaryStream& request, BvuBinaryStream* reply);
  // A snapshot of the file (the current one when the name is null or
  // empty); the file's other snapshots stay.
  Status DeleteSnapshot(std::uint32_t id, const char* file);
  Status KeepSnapshot(std::uint32_t id, const char* file, const char* name);
  // 0 with the own-file flag set; else the file is deleted (0x8000FFFF
  // when that fails).
  Status DeleteFileUnlessOwn(const char* file);
  // The file as SelectFile, then a u16 id: kind 110, the snapshot's header
  // fields, its use-data tree and its value table. Nothing is deleted.
  Status SendSnapshot(BvuBinaryStream& request, BvuBinaryStream* reply);
  // Compares the snapshot's use data with the problem (values when
  // `values`, else specifications) and stages an assignment for each
  // difference in the manager: structural parameters as reply items.
  Status ApplyUseData(SimResultsMgr* manager, std::uint32_t id, std::uint16_t flags,
                      const char* snapshot_path, const char* filter, const char* model_path,
                      bool values);

  // Forgets the file name, drops the tree and the value table.
  void DropTree();
  // Closes the other file; it stays on disk, whatever it holds.
  void CloseStore() { store_.CloseFile(); }
  // After a snapshot was deleted from it: closes the other file, which goes
  // when that was its last snapshot.
  void CloseStoreAfterDelete() { store_.Clear(true); }
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
  // Lists another file without deleting it, however little it holds.
  class ListingStore final : public SputSnapshotMgr {
   public:
    Status ReadFile(const Participants& participants, bool map) override;
  };
  // Tells the use manager while it reads its file.
  class UseStore final : public SputSnapshotMgr {
   public:
    explicit UseStore(SputUseMgr* use) : use_(use) {}
    Status ReadFile(const Participants& participants, bool map) override;

   private:
    SputUseMgr* use_;
  };

  // Makes the file current (dropping the tree) and opens it unless it is
  // open already.
  Status OpenOther(const char* file, bool map);
  // The chosen store: the owner's or the use manager's.
  SputSnapshotMgr& Chosen() { return own_file_ != 0 ? *owner_ : store_; }

  std::uint32_t own_file_ = 1;
  UseStore store_{this};
  SputSnapshotMgr* owner_;
  std::string file_name_;
  BvuDirectoryNode* model_root_;
  BvuDirectoryProper* tree_ = nullptr;
  BvuDirectoryProper* event_tree_ = nullptr;
  SUPackedValueTable* values_ = nullptr;
  SputSnapshotMgr::Participants participants_;
  const SputSnapshotMgr* reading_ = nullptr;
};

// Files of versions 1 and 2 number their types otherwise: every node of
// the tree gets today's code, and in a version-1 tree every element index
// becomes -99.
void FixUseDataTypes(BvuDirectoryNode* root, std::uint32_t version);
