// The named-object directory tree that holds model instances, library types
// and results objects. Every node has an interned name and a parent; a
// BvuDirectoryProper keeps its children in a lookup table addressed by
// index. Names carry their own leading separator ("." for members, "(" for
// indices), so a full path is the concatenation of the names from the top
// down. A parent owns its children: DeleteChildren deletes them, and
// deleting a node takes it out of its parent. The tree belongs to the server
// thread (the run thread uses it only while the server thread waits).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "foundation/collections/bvu_collectable.h"
#include "foundation/directory/lookup_table.h"
#include "foundation/directory/name_table.h"
#include "platform/status.h"

class BvuBinaryStream;
class BvuDirectoryIterator;
class BvuIdPath;

// Statuses of the tree.
inline constexpr Status kBvuEmptySlot = 21;  // nothing there / no more matches
inline constexpr Status kBvuNoSuchChild = 0x80000015u;
inline constexpr Status kBvuTreeStartWithData = 0xA000004Fu;
// Kind code of a plain directory node.
inline constexpr std::int32_t kBvuDirectoryKind = 3;

class BvuDirectoryNode;

// Called for every node of a walk; a negative (failing) status stops it.
using BvuWalkCallback = Status (*)(BvuDirectoryNode* node, void* argument);
// Writes the caller's part of one node after its record in WriteTree: the
// flag byte ReadTree reads (non-zero when data follows for its reader to
// build the node from, never for the root) and that data.
using BvuTreeWriter = Status (*)(BvuDirectoryNode* node, BvuBinaryStream& stream, void* argument);
// Builds the node of a flagged record in ReadTree, reading its own data
// from the stream; the tree reader places it.
using BvuTreeReader = Status (*)(BvuBinaryStream& stream, BvuDirectoryNode* parent,
                                 std::int32_t index, std::int32_t kind, const char* name,
                                 void* argument, BvuDirectoryNode** node);
// One pair of MatchPath.
using BvuPairCallback = Status (*)(void* argument, BvuDirectoryNode* first,
                                   BvuDirectoryNode* second);

class BvuDirectoryNode : public BvuCollectable {
 public:
  // Interns the name (null as the empty text). The node does not insert
  // itself: its creator calls the parent's InsertChildAt.
  BvuDirectoryNode(BvuDirectoryNode* parent, const char* name);
  // Takes the node out of its parent and releases its name.
  ~BvuDirectoryNode() override;
  BvuDirectoryNode(const BvuDirectoryNode&) = delete;
  BvuDirectoryNode& operator=(const BvuDirectoryNode&) = delete;

  std::int32_t GetKind() override { return kBvuDirectoryKind; }
  // The full path text (BuildPathName without stop node and suffix).
  const char* GetNameText(std::int32_t arg = 0) override;

  // Subsystem 4 collects its equations through this walk (equation list,
  // guard event, guard state, elimination switch, problem); here: every
  // child in index order, stopping at the first failure.
  virtual Status ApplyToSubtree(void* list, void* guard, std::int32_t guard_state,
                                std::int32_t eliminate, void* problem);
  // Moves every child of the other node here, at the same index; all or
  // none: a slot already taken here refuses the move (0x8000020F).
  virtual Status AdoptChildren(BvuDirectoryNode* other);
  virtual std::int32_t HighIndex();
  virtual std::int32_t LowIndex();
  // Null outside the range and for an empty slot.
  virtual BvuDirectoryNode* ChildAt(std::int32_t index);
  // -1 when the node is not a child here.
  virtual std::int32_t IndexOfChild(const BvuDirectoryNode* child);
  // Follows the ids from this node (from the root after 0xFFFFFF) up to
  // 0xFFFFFE or the end; 0x80000015 at a step without a child.
  virtual Status ResolveIdPath(std::span<const std::uint32_t> ids, BvuDirectoryNode** node);
  virtual Status InsertChildAt(std::int32_t index, BvuDirectoryNode* child);
  // Puts the child in place of the one at the index and returns that one,
  // its parent cleared; null also when the child could not be placed.
  virtual BvuDirectoryNode* ReplaceChildAt(std::int32_t index, BvuDirectoryNode* child);
  // 0 with the child handed back, its parent cleared; 21 (and null) for an
  // empty slot.
  virtual Status RemoveChildAt(std::int32_t index, BvuDirectoryNode** child);
  virtual std::int32_t SlotCount();
  virtual std::int32_t LeafCount();
  // Reads an item list (the instance node of subsystem 4 defines it).
  virtual Status ReadFromMessage(BvuBinaryStream& stream, BvuDirectoryNode* root,
                                 BvuDirectoryNode* expression_tree, void* extra);
  // Reads an id path with names from this node, creating the missing
  // intermediate nodes (renaming existing ones when asked), and hands back
  // the parent, index and name of the last step for the caller to fill. A
  // missing step without a name is 0x80000015; an empty name renames nothing.
  virtual Status ReadIdPathWithNames(BvuBinaryStream& stream, BvuDirectoryNode** parent,
                                     std::int32_t* index, std::string* name, bool rename);
  // Reads the node's own item body (the node classes of subsystem 4).
  virtual Status ReadItemBody(BvuBinaryStream& stream, void* context);
  // Deletes every child (and theirs) in index order.
  virtual Status DeleteChildren();
  // Queries of subsystem 4: an object the node holds, the node as a value
  // entry, the node as a switch or condition; null here.
  virtual void* LinkedObject();
  virtual void* AsValueEntry();
  virtual void* AsBranchingNode();
  // Arguments are passed on unchanged; subsystem 4 gives them their meaning.
  virtual Status WriteModelText(void* out, void* context, std::int32_t indent, std::int32_t flags);
  virtual bool IsSpecialNode();
  virtual Status ReservedOperation();
  // Places the node under a dotted path below this one, creating the
  // missing intermediate components. A last component that exists as a
  // node of another kind is replaced once the new node has taken over its
  // children; when it cannot, the tree stays as it was and the caller keeps
  // its node (also when the kinds are the same: 0xA000FFFF).
  virtual Status InsertUnderPath(const char* text, BvuDirectoryNode* node);
  // "." and "(".
  virtual bool IsPathSeparator(char c);
  virtual Status ClearMarks();
  virtual Status NumberLeaves(std::uint32_t* counter);

  // The names from below the stop node (or the root) down to this node,
  // then the suffix. Points into one process-wide buffer, valid until the
  // next call; `length` gets the length of the names part.
  const char* BuildPathName(BvuDirectoryNode* stop, const char* suffix, std::int32_t* length);
  // Appends this node's path from the root: 0xFFFFFF, the index of every
  // node below the root, 0xFFFFFE (a trailing 0xFFFFFE already there is
  // replaced).
  Status GetIdPath(BvuIdPath* path);
  // Reads an id path and resolves it from this node; 0xA000FFFF when a step
  // has no child.
  Status ReadIdPath(BvuBinaryStream& stream, BvuDirectoryNode** node);
  // Children (index order) before their parent; a failing child's walk
  // stops its remaining siblings. Returns this node's own result.
  Status WalkPostOrder(BvuWalkCallback callback, void* argument);
  // Writes the whole tree this node belongs to, from its root, depth first,
  // in the form ReadTree reads; without a writer every node is plain.
  Status WriteTree(BvuBinaryStream& stream, BvuTreeWriter writer, void* argument);
  // Reads a tree description into the tree below this node; a node sent
  // again replaces the one at its index, whose subtree is deleted.
  Status ReadTree(BvuBinaryStream& stream, BvuTreeReader reader, void* argument);
  // The first node below this one that matches the path (null when none);
  // the iterator, when asked for, gives the further matches and is freed
  // with DeleteDirectoryIterator.
  BvuDirectoryNode* FindFirstMatch(const char* path, BvuDirectoryIterator** iterator);
  // Calls the callback for every node below this one that matches the path,
  // paired with the node of the same names below `second_root` (letters in
  // any case), each pair once whatever the callback answers. With `flag`
  // non-zero a node without partner is passed too, with a null second node.
  // 0, or 21 for an empty path or no second root.
  Status MatchPath(const char* path, BvuDirectoryNode* second_root, void* argument,
                   BvuPairCallback callback, std::int32_t flag);

  BvuDirectoryNode* Parent() const { return parent_; }
  void SetParent(BvuDirectoryNode* parent) { parent_ = parent; }
  BvuDirectoryNode* Root();
  // The node's own name; null only when a subclass dropped the record.
  const char* Name() const { return name_ != nullptr ? name_->text() : nullptr; }
  // Interns the new name and releases the old one.
  void SetName(const char* name);
  // Changes with every rename anywhere: name indexes built before are stale.
  static std::uint64_t RenameCount();

 protected:
  BvuNameRecord* name_;
  BvuDirectoryNode* parent_;

 private:
  friend class BvuLookupTable;
  // The lookup table that last put the node somewhere, and the index: that
  // table answers from them while it holds no item twice.
  const BvuLookupTable* index_table_ = nullptr;
  std::int32_t index_hint_ = -1;
};

// A directory node that owns its children through its lookup table.
class BvuDirectoryProper : public BvuDirectoryNode, public BvuLookupTable {
 public:
  BvuDirectoryProper(BvuDirectoryNode* parent, const char* name);
  // Frees the table; children still held forget this parent.
  ~BvuDirectoryProper() override;

  Status AdoptChildren(BvuDirectoryNode* other) override;
  std::int32_t HighIndex() override;
  std::int32_t LowIndex() override;
  BvuDirectoryNode* ChildAt(std::int32_t index) override;
  std::int32_t IndexOfChild(const BvuDirectoryNode* child) override;
  // The lookup table's SetAt; a refused index or a growth without memory
  // is told in a message.
  Status InsertChildAt(std::int32_t index, BvuDirectoryNode* child) override;
  BvuDirectoryNode* ReplaceChildAt(std::int32_t index, BvuDirectoryNode* child) override;
  Status RemoveChildAt(std::int32_t index, BvuDirectoryNode** child) override;
  std::int32_t SlotCount() override;
  std::int32_t LeafCount() override;
  Status ReadIdPathWithNames(BvuBinaryStream& stream, BvuDirectoryNode** parent,
                             std::int32_t* index, std::string* name, bool rename) override;
  Status DeleteChildren() override;
  Status WriteModelText(void* out, void* context, std::int32_t indent, std::int32_t flags) override;
  Status InsertUnderPath(const char* text, BvuDirectoryNode* node) override;
  Status ClearMarks() override;
  Status NumberLeaves(std::uint32_t* counter) override;

  // Deletes every node below root, deepest first and without recursion (a
  // tree from outside may be a chain of any depth); each node's own
  // DeleteChildren still runs once nothing is left below it.
  static void DeleteBelow(BvuDirectoryNode* root);

  // The index of the first child (in index order) whose name equals the
  // text in any letter case, else -1. A wide node answers from a name index
  // built on first use and rebuilt after its children or any name changed.
  std::int32_t FirstIndexNamedAnyCase(const char* text);

 private:
  struct NameIndex;
  std::unique_ptr<NameIndex> name_index_;
  // The index whose child DeleteChildren is deleting: its destructor asks
  // for it, and a wide node is not searched once per child.
  std::int32_t deleting_at_ = -1;
};

// The first index from `from` on where the node may hold a child (else
// past its high index): walks over children skip the empty stretches of a
// sparse table instead of asking for every index between.
std::int32_t NextChildIndex(BvuDirectoryNode* node, std::int32_t from);

// A node with exactly one child, the base of the real variable of
// subsystem 4, which defines its index range and child access.
class BvuDirectoryOneChild : public BvuDirectoryNode {
 public:
  using BvuDirectoryNode::BvuDirectoryNode;
};
