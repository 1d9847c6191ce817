// The place an edit request names without changing the tree: the parent
// node and the child index of an id path's last step. Unlike the readers
// that create missing steps, a delete must not build what it removes.
#pragma once

#include <cstdint>

#include "platform/status.h"

class BvuBinaryStream;
class BvuDirectoryNode;

// Reads an id path and resolves all but its last step from `from`;
// 0x80000015 when a step has no child or the path names no place.
Status ReadTreePlace(BvuDirectoryNode* from, BvuBinaryStream& body, BvuDirectoryNode** parent,
                     std::int32_t* index);

// Deletes the node and everything below it.
void DestroyTreeNode(BvuDirectoryNode* node);
