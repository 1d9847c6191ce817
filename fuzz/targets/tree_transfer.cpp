// Tree transfer: the client's description of a tree read into a directory
// tree, and id paths read against it.
#include <string>

#include "foundation/directory/directory_node.h"
#include "foundation/directory/id_path.h"
#include "fuzz/byte_stream.h"

namespace {

class ValueNode : public BvuDirectoryProper {
 public:
  explicit ValueNode(std::uint32_t value) : BvuDirectoryProper(nullptr, "made"), value(value) {}
  std::int32_t GetKind() override { return 12; }
  std::uint32_t value;
};

// Nodes of kind 12 carry a u32 and are made here; others are made plain.
Status BuildValueNode(BvuBinaryStream& stream, BvuDirectoryNode*, std::int32_t, std::int32_t kind,
                      const char*, void*, BvuDirectoryNode** node) {
  std::uint32_t value = 0;
  const Status s = stream.GetUInt32(&value);
  if (status::IsFailure(s)) return s;
  *node = kind == 12 ? new ValueNode(value) : nullptr;
  return status::kOk;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);
  auto* root = new BvuDirectoryProper(nullptr, "R");
  root->InsertChildAt(1, new BvuDirectoryProper(root, "A"));

  vantor_fuzz::ByteStream as_tree(bytes);
  root->ReadTree(as_tree, BuildValueNode, nullptr);
  vantor_fuzz::ByteStream as_path(bytes);
  Status s = 0;
  const BvuIdPath path(as_path, &s);
  vantor_fuzz::ByteStream as_named(bytes);
  BvuDirectoryNode* parent = nullptr;
  std::int32_t index = -1;
  std::string name;
  root->ReadIdPathWithNames(as_named, &parent, &index, &name, size % 2 == 0);
  vantor_fuzz::ByteStream as_id_path(bytes);
  root->ReadIdPath(as_id_path, &parent);

  root->DeleteChildren();
  delete root;
  return 0;
}
