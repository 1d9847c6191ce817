#include "foundation/persistence/file_stream.h"

#include <cstring>

#include "platform/byte_order.h"

bool ClFileStream::Write16(std::uint16_t value) {
  unsigned char bytes[2];
  platform::StoreLE16(bytes, value);
  return std::fwrite(bytes, 1, sizeof bytes, file_) == sizeof bytes;
}

bool ClFileStream::Read16(std::uint16_t& value) {
  unsigned char bytes[2];
  if (std::fread(bytes, 1, sizeof bytes, file_) != sizeof bytes) return false;
  value = platform::LoadLE16(bytes);
  return true;
}

bool ClFileStream::Write32(std::uint32_t value) {
  unsigned char bytes[4];
  platform::StoreLE32(bytes, value);
  return std::fwrite(bytes, 1, sizeof bytes, file_) == sizeof bytes;
}

bool ClFileStream::Read32(std::uint32_t& value) {
  unsigned char bytes[4];
  if (std::fread(bytes, 1, sizeof bytes, file_) != sizeof bytes) return false;
  value = platform::LoadLE32(bytes);
  return true;
}

bool ClFileStream::WriteString(const char* text) {
  if (text == nullptr) text = "";
  const std::size_t n = std::strlen(text) + 1;
  return std::fwrite(text, 1, n, file_) == n;
}

bool ClFileStream::ReadString(char* text, std::size_t capacity) {
  if (capacity == 0) return false;
  std::size_t n = 0;
  bool fits = true;
  for (int c = std::fgetc(file_); c != EOF && c != '\0'; c = std::fgetc(file_)) {
    if (n + 1 < capacity) {
      text[n++] = static_cast<char>(c);
    } else {
      fits = false;
    }
  }
  text[n] = '\0';
  return fits;
}

bool ClFileStream::WriteBytes(const void* bytes, std::size_t count) {
  return std::fwrite(bytes, 1, count, file_) == count;
}
