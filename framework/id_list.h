// DseIdList: one item's id path as id-path requests carry it: u8 names flag,
// u16 count, then count 24-bit child indices, each ordinary one followed by
// its name in the 16-bit-length form when the flag is set. 0xFFFFFF starts
// at the root, 0xFFFFFE ends the path. Servers resolve the ids against
// their own trees; the registry only reads and hands them on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

class BvuBinaryStream;

class DseIdList {
 public:
  static constexpr std::uint32_t kRoot = 0xFFFFFF;
  static constexpr std::uint32_t kEnd = 0xFFFFFE;

  // Replaces the contents with a path read from the stream; the read's
  // failure status when the body ends early.
  Status Read(BvuBinaryStream& stream);

  bool has_names = false;
  std::vector<std::uint32_t> ids;
  // One per id when has_names (empty for the root and end markers).
  std::vector<std::string> names;
};
