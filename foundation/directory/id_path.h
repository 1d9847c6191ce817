// A position in the directory tree as the child index of every step from a
// start node: how the client and the engine name one object in messages.
// Owned by whoever made it (a scalar of a row, a server item, a report).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

#include "foundation/collections/bvu_collectable.h"
#include "platform/status.h"

class BvuBinaryStream;

// Start at the root of the tree ("ABS") and end of the path ("END").
inline constexpr std::uint32_t kIdPathRoot = 0xFFFFFF;
inline constexpr std::uint32_t kIdPathEnd = 0xFFFFFE;

class BvuIdPath : public BvuCollectable {
 public:
  // An empty path; with names, every id carries a name.
  explicit BvuIdPath(bool with_names = false) : with_names_(with_names) {}
  // Reads the message form: names flag (byte), count (16-bit), the 24-bit
  // ids, and with the flag a short string after every ordinary id. A read
  // failure leaves its status in `status` and the path as far as it got.
  BvuIdPath(BvuBinaryStream& stream, Status* status);
  BvuIdPath(const BvuIdPath&) = default;
  BvuIdPath& operator=(const BvuIdPath&) = default;

  const char* GetNameText(std::int32_t arg = 0) override;
  // The ids joined by ".", the special ones as "ABS" and "END"; ends the line.
  void Print(std::ostream& out) override;

  // 0, or 0x8000020F when the path already holds 65,535 ids.
  Status Append(std::uint32_t id, const char* name = nullptr);
  // Room for n ids in all, so that appending them allocates once.
  void Reserve(std::size_t n) { ids_.reserve(n); }
  // Drops the last id (and its name); nothing when empty.
  void DropLast();
  // Writes the message form that the reading constructor reads.
  Status Write(BvuBinaryStream& stream) const;

  std::uint16_t count() const { return static_cast<std::uint16_t>(ids_.size()); }
  std::span<const std::uint32_t> ids() const { return ids_; }
  bool with_names() const { return with_names_; }
  // The name of step `at`; empty without names.
  const std::string& NameAt(std::size_t at) const;

 private:
  bool with_names_;
  std::vector<std::uint32_t> ids_;
  std::vector<std::string> names_;
};
