#include "control/managers/tree_place.h"

#include <span>

#include "foundation/directory/directory_node.h"
#include "foundation/directory/id_path.h"

Status ReadTreePlace(BvuDirectoryNode* from, BvuBinaryStream& body, BvuDirectoryNode** parent,
                     std::int32_t* index) {
  *parent = nullptr;
  *index = -1;
  Status read = status::kOk;
  const BvuIdPath path(body, &read);
  if (status::IsFailure(read)) return read;
  std::span<const std::uint32_t> ids = path.ids();
  std::size_t end = 0;
  while (end < ids.size() && ids[end] != kIdPathEnd) ++end;
  if (end == 0) return kBvuNoSuchChild;
  const std::uint32_t last = ids[end - 1];
  if (last == kIdPathRoot || last > static_cast<std::uint32_t>(kBvuHighestIndex)) {
    return kBvuNoSuchChild;
  }
  const Status resolved = from->ResolveIdPath(ids.first(end - 1), parent);
  if (status::IsFailure(resolved)) {
    *parent = nullptr;
    return resolved;
  }
  *index = static_cast<std::int32_t>(last);
  return resolved;
}

void DestroyTreeNode(BvuDirectoryNode* node) {
  if (node == nullptr) return;
  BvuDirectoryProper::DeleteBelow(node);
  node->SetParent(nullptr);
  delete node;
}
