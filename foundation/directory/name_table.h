// The process-wide table of interned names: every directory node holds its
// name as a pointer to one shared, reference-counted record, so that equal
// names are stored once. Interning and removal cost the same however many
// names are held. Used by the directory tree only; unguarded, like
// the tree itself (the server thread, or the run thread while it waits).
#pragma once

#include <cstddef>
#include <cstdint>

// Reference count followed by the NUL-terminated text.
struct BvuNameRecord {
  std::uint32_t count;
  const char* text() const { return reinterpret_cast<const char*>(this + 1); }
};

namespace BvuNameTable {

// The record for the text (null counts as empty), its count raised by one;
// a new record when the text was not held yet.
BvuNameRecord* Intern(const char* text);

// Takes a record whose count reached 0 out of the table and frees it.
void Remove(BvuNameRecord* record);

// Drops one reference; the record goes at 0. Null does nothing.
void Release(BvuNameRecord* record);

// What the table holds, for checks: records in byte order of their texts.
std::size_t Count();
std::size_t Capacity();
const BvuNameRecord* At(std::size_t position);

}  // namespace BvuNameTable
