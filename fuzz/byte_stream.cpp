#include "fuzz/byte_stream.h"

#include <algorithm>
#include <cstring>

namespace vantor_fuzz {
namespace {
constexpr Status kNoMemory = 0x80000007u;
constexpr Status kPastEnd = 0x8000FFFFu;
constexpr Status kDoesNotFit = 0xA000FFFFu;
constexpr Status kNoSegment = 0x80000015u;
}  // namespace

ByteStream::ByteStream(std::vector<std::uint8_t> body, std::size_t limit)
    : storage_(new std::uint8_t[std::max(limit, body.size())]),
      limit_(std::max(limit, body.size())) {
  data_ = storage_.get();
  if (!body.empty()) std::memcpy(data_, body.data(), body.size());
  size_ = body.size();
}

Status ByteStream::PutRaw(const void* bytes, std::size_t count) {
  std::uint8_t* place = Reserve(count);
  if (place == nullptr) return kNoMemory;
  std::memcpy(place, bytes, count);
  return 0;
}

std::uint8_t* ByteStream::Reserve(std::size_t count) {
  if (limit_ - size_ < count) return nullptr;
  std::uint8_t* place = data_ + size_;
  std::memset(place, 0, count);
  size_ += count;
  return place;
}

Status ByteStream::PutUInt8(std::uint8_t value) { return PutRaw(&value, 1); }
Status ByteStream::PutInt8(std::int8_t value) { return PutRaw(&value, 1); }
Status ByteStream::PutChar(char value) { return PutRaw(&value, 1); }

Status ByteStream::PatchUInt16(std::uint8_t* place, std::uint16_t value) {
  if (place == nullptr) return kPastEnd;
  place[0] = static_cast<std::uint8_t>(value);
  place[1] = static_cast<std::uint8_t>(value >> 8);
  return 0;
}

Status ByteStream::PutUInt16(std::uint16_t value) {
  return PatchUInt16(Reserve(2), value) == 0 ? 0 : kNoMemory;
}
std::uint8_t* ByteStream::ReserveUInt16() { return Reserve(2); }

Status ByteStream::PatchUInt24(std::uint8_t* place, std::uint32_t value) {
  if (place == nullptr) return kPastEnd;
  for (int at = 0; at < 3; ++at) place[at] = static_cast<std::uint8_t>(value >> (8 * at));
  return 0;
}

Status ByteStream::PutUInt24(std::uint32_t value) {
  return PatchUInt24(Reserve(3), value) == 0 ? 0 : kNoMemory;
}
std::uint8_t* ByteStream::ReserveUInt24() { return Reserve(3); }

Status ByteStream::PutUInt32(std::uint32_t value) {
  std::uint8_t bytes[4];
  for (int at = 0; at < 4; ++at) bytes[at] = static_cast<std::uint8_t>(value >> (8 * at));
  return PutRaw(bytes, 4);
}

Status ByteStream::PutUInt64(std::uint64_t value) {
  std::uint8_t bytes[8];
  for (int at = 0; at < 8; ++at) bytes[at] = static_cast<std::uint8_t>(value >> (8 * at));
  return PutRaw(bytes, 8);
}

Status ByteStream::PutFloat(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, 4);
  return PutUInt32(bits);
}

Status ByteStream::PutDouble(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, 8);
  return PutUInt64(bits);
}

Status ByteStream::PutString(const char* text) {
  if (text == nullptr) return PutUInt24(0);
  const std::size_t length = std::strlen(text) + 1;
  const Status s = PutUInt24(static_cast<std::uint32_t>(length));
  return s != 0 ? s : PutRaw(text, length);
}

Status ByteStream::PutCString(const char* text) {
  if (text == nullptr) return PutUInt16(0);
  const std::size_t length = std::strlen(text) + 1;
  if (length > 3980) return kNoMemory;
  Status s = PutUInt16(static_cast<std::uint16_t>(length));
  if (s == 0) s = PutRaw(text, length);
  return s != 0 ? s : static_cast<Status>(length);
}

bool ByteStream::GetRaw(void* bytes, std::size_t count) {
  if (Remaining() < count) return false;
  std::memcpy(bytes, data_ + read_at_, count);
  read_at_ += count;
  return true;
}

Status ByteStream::GetUInt8(std::uint8_t* value) { return GetRaw(value, 1) ? 0 : kPastEnd; }

Status ByteStream::GetByteAsUInt32(std::uint32_t* value) {
  std::uint8_t byte = 0;
  const Status s = GetUInt8(&byte);
  *value = byte;
  return s;
}

Status ByteStream::GetUInt16(std::uint16_t* value) {
  std::uint8_t bytes[2];
  if (!GetRaw(bytes, 2)) return kPastEnd;
  *value = static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
  return 0;
}

Status ByteStream::GetUInt24(std::uint32_t* value) {
  std::uint8_t bytes[3];
  if (!GetRaw(bytes, 3)) return kPastEnd;
  *value = bytes[0] | bytes[1] << 8 | static_cast<std::uint32_t>(bytes[2]) << 16;
  return 0;
}

Status ByteStream::GetUInt32(std::uint32_t* value) {
  std::uint8_t bytes[4];
  if (!GetRaw(bytes, 4)) return kPastEnd;
  *value = 0;
  for (int at = 3; at >= 0; --at) *value = *value << 8 | bytes[at];
  return 0;
}

Status ByteStream::GetUInt64(std::uint64_t* value) {
  std::uint8_t bytes[8];
  if (!GetRaw(bytes, 8)) return kPastEnd;
  *value = 0;
  for (int at = 7; at >= 0; --at) *value = *value << 8 | bytes[at];
  return 0;
}

Status ByteStream::GetFloatAsDouble(double* value) {
  float single = 0;
  const Status s = TryGet4(&single);
  *value = single;
  return s;
}

Status ByteStream::TryGet4(void* target) {
  if (Remaining() == 0) return kPastEnd;
  if (GetRaw(target, 4)) return 1;
  std::memset(target, 0, 4);
  return 0;
}

Status ByteStream::TryGet8(void* target) {
  if (Remaining() == 0) return kPastEnd;
  if (GetRaw(target, 8)) return 1;
  std::memset(target, 0, 8);
  return 0;
}

Status ByteStream::GetText(std::uint32_t length, char* buffer, std::uint32_t size) {
  if (length == 0) {
    if (size > 0) buffer[0] = '\0';
    return 0;
  }
  if (length > size) return kDoesNotFit;
  if (!GetRaw(buffer, length)) return kPastEnd;
  buffer[length - 1] = '\0';
  return length;
}

Status ByteStream::GetStringInto(char* buffer, std::uint32_t size) {
  std::uint32_t length = 0;
  const Status s = GetUInt24(&length);
  return s != 0 ? s : GetText(length, buffer, size);
}

Status ByteStream::GetShortStringInto(char* buffer, std::uint32_t size) {
  std::uint16_t length = 0;
  const Status s = GetUInt16(&length);
  return s != 0 ? s : GetText(length, buffer, size);
}

Status ByteStream::GetStringNew(char** text) {
  *text = nullptr;
  std::uint32_t length = 0;
  Status s = GetUInt24(&length);
  if (s != 0 || length == 0) return s;
  if (Remaining() < length) return kPastEnd;
  *text = new char[length];
  s = GetText(length, *text, length);
  return s;
}

Status ByteStream::GetShortStringNew(char** text) {
  *text = nullptr;
  std::uint16_t length = 0;
  Status s = GetUInt16(&length);
  if (s != 0 || length == 0) return s;
  if (Remaining() < length) return kPastEnd;
  *text = new char[length];
  return GetText(length, *text, length);
}

Status ByteStream::Seek(std::uint8_t* place) {
  if (place < data_ || place > data_ + size_) return kNoSegment;
  size_ = static_cast<std::size_t>(place - data_);
  if (read_at_ > size_) read_at_ = size_;
  return 0;
}

std::uint8_t* ByteStream::Tell() { return data_ + size_; }

}  // namespace vantor_fuzz
