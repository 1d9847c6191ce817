// DseMessageIdAllocator: the message ids of this process. An id is the
// process's prefix (its child number shifted left by 13) OR a value from 1 to
// 8,191; a use count per value keeps an id from being handed out again while
// a message, a reply made for it or a kept template still holds it. Ids of
// other prefixes are not counted. One per process, made by the I/O layer and
// published through SetCurrent; belongs to the server thread (no lock).
#pragma once

#include <array>
#include <cstdint>

class DseMessageIdAllocator {
 public:
  static constexpr std::uint32_t kValues = 8192;
  static constexpr std::uint32_t kValueMask = kValues - 1;

  explicit DseMessageIdAllocator(std::int32_t child_number = 0);

  // The first free value after the last one handed out (wrapping to 1),
  // marked in use; 0 when every value is in use.
  std::uint32_t Allocate();
  // One more or one fewer holder of an id; ids of other prefixes are ignored.
  void Raise(std::uint32_t id);
  void Lower(std::uint32_t id);
  // How many hold the id (0 for other prefixes).
  std::uint32_t UseCount(std::uint32_t id) const;
  std::uint32_t Prefix() const { return prefix_; }

  // The process's allocator: the one published by the I/O layer, or a
  // default one for child number 0 while none is.
  static DseMessageIdAllocator& Current();
  // Publishes an allocator (null goes back to the default); not owned.
  static void SetCurrent(DseMessageIdAllocator* allocator);

 private:
  bool Owns(std::uint32_t id) const { return (id & ~kValueMask) == prefix_; }

  std::uint32_t prefix_;
  std::uint32_t last_ = 0;
  std::array<std::uint8_t, kValues> counts_{};
};
