// A binary file stream over a C FILE, for the binary form of object graphs:
// little-endian words, NUL-terminated texts and raw bytes. It does not own
// the FILE; whoever opened it closes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

class ClFileStream {
 public:
  explicit ClFileStream(std::FILE* file) : file_(file) {}

  std::FILE* File() const { return file_; }

  // Each answers true on success.
  bool Write16(std::uint16_t value);
  bool Read16(std::uint16_t& value);
  bool Write32(std::uint32_t value);
  bool Read32(std::uint32_t& value);
  // The characters and the terminating NUL.
  bool WriteString(const char* text);
  // Characters up to a NUL or the end of the file into `text`, which holds
  // `capacity` bytes and is always terminated. A text longer than
  // capacity - 1 is cut there and answers false; the rest of it up to its
  // NUL is read and dropped so that the file stays in step.
  bool ReadString(char* text, std::size_t capacity);
  bool WriteBytes(const void* bytes, std::size_t count);

  // The FILE's error indicator.
  bool Error() const { return std::ferror(file_) != 0; }
  // The FILE's end-of-file indicator: a read ran past the end.
  bool AtEnd() const { return std::feof(file_) != 0; }

 private:
  std::FILE* file_;
};
