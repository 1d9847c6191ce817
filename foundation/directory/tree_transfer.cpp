// The two tree transfers of the directory tree: the engine's whole tree
// written depth first into a message, and a tree description from the
// client read into the tree below a node (a node sent again replaces the
// one at its index).
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/directory/directory_node.h"
#include "foundation/messages/su_print.h"
#include "foundation/persistence/binary_stream.h"

namespace {

constexpr std::uint8_t kRootTag = 12;
constexpr std::uint8_t kChildTag = 1;
constexpr std::uint8_t kLevelUp = 255;
constexpr std::uint32_t kRootIndex = 0xFFFFFF;
// Deeper descriptions are refused: no model nests this far, and every walk
// of the tree would have to hold a chain of any length.
constexpr std::uint32_t kMostTreeDepth = 10000;

Status WriteRecord(BvuBinaryStream& stream, BvuDirectoryNode* node, std::uint8_t tag,
                   std::uint32_t index, BvuTreeWriter writer, void* argument) {
  Status s = stream.PutUInt8(tag);
  if (status::IsSuccess(s)) s = stream.PutUInt24(index);
  if (status::IsSuccess(s))
    s = stream.PutUInt24(static_cast<std::uint32_t>(node->GetKind()) & 0xFFFFFF);
  // The name in the form the reader takes (16-bit length, bytes, NUL).
  if (status::IsSuccess(s)) s = stream.PutCString(node->Name() != nullptr ? node->Name() : "");
  if (status::IsFailure(s)) return s;
  // The flag byte and the node's data are the writer's; without one every
  // node goes as a plain one.
  return writer != nullptr ? writer(node, stream, argument) : stream.PutUInt8(0);
}

}  // namespace

Status BvuDirectoryNode::WriteTree(BvuBinaryStream& stream, BvuTreeWriter writer, void* argument) {
  struct Level {
    BvuDirectoryNode* node;
    std::int32_t next;
  };
  BvuDirectoryNode* root = Root();
  Status s = WriteRecord(stream, root, kRootTag, kRootIndex, writer, argument);
  std::vector<Level> levels;
  levels.reserve(16);
  levels.push_back({root, root->LowIndex()});
  while (status::IsSuccess(s) && !levels.empty()) {
    Level& level = levels.back();
    BvuDirectoryNode* child = nullptr;
    std::int32_t index = NextChildIndex(level.node, level.next);
    while (child == nullptr && index <= level.node->HighIndex()) {
      child = level.node->ChildAt(index++);
      if (child == nullptr) index = NextChildIndex(level.node, index);
    }
    level.next = index;
    if (child == nullptr) {
      s = stream.PutUInt8(kLevelUp);
      levels.pop_back();
      continue;
    }
    s = WriteRecord(stream, child, kChildTag, static_cast<std::uint32_t>(index - 1), writer,
                    argument);
    levels.push_back({child, child->LowIndex()});
  }
  return status::IsFailure(s) ? s : status::kOk;
}

Status BvuDirectoryNode::ReadTree(BvuBinaryStream& stream, BvuTreeReader reader, void* argument) {
  BvuDirectoryNode* current = this;
  std::uint32_t depth = 0;  // of current below this
  for (;;) {
    std::uint8_t tag = 0;
    Status s = stream.GetUInt8(&tag);
    if (status::IsFailure(s)) return s;
    if (tag >= 0x80) {
      // Closing the start node ends the description; the walk never
      // climbs into the start node's ancestors.
      if (current == this) return status::kOk;
      current = current->Parent();
      --depth;
      continue;
    }
    std::uint32_t index = 0;
    std::uint32_t kind = 0;
    // A name of any length its 16-bit count carries: what WriteTree writes.
    char* read_name = nullptr;
    std::uint8_t flag = 0;
    s = stream.GetUInt24(&index);
    if (status::IsSuccess(s)) s = stream.GetUInt24(&kind);
    if (status::IsSuccess(s)) s = stream.GetShortStringNew(&read_name);
    const std::unique_ptr<char[]> owned(read_name);
    const char* name = read_name != nullptr ? read_name : "";
    if (status::IsSuccess(s)) s = stream.GetUInt8(&flag);
    if (status::IsFailure(s)) return s;
    if (tag == kRootTag) {
      if (flag != 0) return kBvuTreeStartWithData;
      continue;
    }
    if (depth == kMostTreeDepth) {
      SuPrint(status::kBadArguments, "Tree description refused: nodes nested more than 10000 deep");
      return status::kBadArguments;
    }
    const auto at = static_cast<std::int32_t>(index);
    BvuDirectoryNode* node = nullptr;
    if (flag != 0) {
      if (reader == nullptr) return status::kBadArguments;
      s = reader(stream, current, at, static_cast<std::int32_t>(kind), name, argument, &node);
      if (status::IsFailure(s)) return s;
      if (node == nullptr) return status::kGeneralFailure;
      node->SetParent(current);
      if (node->Name() == nullptr || std::strcmp(node->Name(), name) != 0) node->SetName(name);
    } else {
      node = new BvuDirectoryProper(current, name);
    }
    // A node sent again replaces the one at its index, subtree and all.
    BvuDirectoryNode* replaced = current->ChildAt(at);
    if (replaced == node) replaced = nullptr;
    s = current->InsertChildAt(at, node);
    if (status::IsFailure(s)) {
      node->SetParent(nullptr);
      BvuCollectable::Destroy(node);
      return s;
    }
    if (replaced != nullptr) {
      replaced->SetParent(nullptr);
      replaced->DeleteChildren();
      delete replaced;
    }
    current = node;
    ++depth;
  }
}
