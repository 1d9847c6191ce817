// The snapshot as text in the modelling language's statement form: a header
// of comment-framed fields, then nested WITHIN blocks setting each
// variable's value and specification. The text is written from a record the
// client sends: the snapshot's header fields, a results-data tree of
// SimUseData nodes and the value table those nodes index.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/directory/directory_node.h"
#include "foundation/values/packed_value.h"
#include "platform/status.h"
#include "results/snapshots/snapshot_format.h"

class BvuBinaryStream;
class Clvostream;

// A node of the results-data tree: where the variable's value lies in the
// snapshot's value table, and how it is specified.
class SimUseData : public BvuDirectoryProper {
 public:
  static constexpr std::int32_t kKind = 219;
  // The variable index of an array, whose elements have their own indices.
  static constexpr std::uint32_t kArray = 0xFFFFFF9Du;
  // No extra number on the statement.
  static constexpr std::uint32_t kNoExtra = 0xFFFFFFFFu;

  SimUseData(BvuDirectoryNode* parent, const char* name);
  std::int32_t GetKind() override { return kKind; }

  std::uint32_t variable_index = kArray;
  std::vector<std::uint32_t> elements;
  std::uint16_t type = 0;
  std::uint32_t attribute = 0;
  std::uint32_t extra = kNoExtra;
  std::string text;
};

// A node in a structure record or message: a byte 1 and the node's fields
// (u32 index, u24 type, u8 attribute, u24 element count, u32 per element),
// or a byte 0 for a node of another kind.
Status WriteUseDataNode(BvuDirectoryNode* node, BvuBinaryStream& stream, void* argument);
// The whole tree of root (a tree's root) as WriteTree writes it, which
// ReadTree reads back: each node's byte and fields after its record.
Status WriteUseDataTree(BvuDirectoryNode* root, BvuBinaryStream& stream);
// The tree reader's hook: builds the SimUseData of a node flagged 1.
Status ReadUseDataNode(BvuBinaryStream& stream, BvuDirectoryNode* parent, std::int32_t index,
                       std::int32_t kind, const char* name, void* argument,
                       BvuDirectoryNode** node);

// The snapshot text record as the client sends it.
class SimSnapshotTextRecord {
 public:
  // The kind whose body is a text instead of a tree and value table.
  static constexpr std::uint16_t kTextKind = 140;

  // Date and time stamped from the local clock; an empty tree.
  SimSnapshotTextRecord();
  ~SimSnapshotTextRecord();
  SimSnapshotTextRecord(const SimSnapshotTextRecord&) = delete;
  SimSnapshotTextRecord& operator=(const SimSnapshotTextRecord&) = delete;

  // u16 kind, u32 id, name, description, u32 date, u32 time, f64 time, u16
  // run, u16 count; then the tree and the value table, or for kind 140 a
  // text. On failure the reader's status; the record is then incomplete.
  Status ReadFromMessage(BvuBinaryStream& stream);
  Status WriteToMessage(BvuBinaryStream& stream) const;

  BvuDirectoryProper* Tree() { return tree_; }
  SUPackedValueTable& Values() { return values_; }
  const SUPackedValueTable& Values() const { return values_; }
  // The snapshot's block header from the record's fields.
  void FillBlockHeader(SputSSBlockHeader* header) const;

  std::uint16_t kind = 0;
  std::uint32_t id = 0;
  std::string name;
  std::string description;
  std::string notes;
  std::string text;  // kind 140
  // Bytes: day, month, year % 100, century; second, minute, hour, 0.
  std::uint32_t date = 0;
  std::uint32_t time_of_day = 0;
  RunPosition position;
  bool has_header = true;

 private:
  BvuDirectoryProper* tree_;
  SUPackedValueTable values_;
};

// Writes the snapshot's text; the stream's state tells whether the sink
// took it.
void WriteSnapshotText(SimSnapshotTextRecord& record, Clvostream& out);
// The same into a string.
std::string SnapshotText(SimSnapshotTextRecord& record);
