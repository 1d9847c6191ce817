#include "foundation/persistence/memory_stream.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Longest number text we accept: "%.16g " of any double is far shorter.
constexpr std::size_t kMaxToken = 64;

}  // namespace

// ---- output --------------------------------------------------------------

void ClMemoryOutStream::Write(const void* bytes, std::size_t count) {
  if (count > limit_ - text_.size()) {
    AddState(kBadBit);
    return;
  }
  text_.append(static_cast<const char*>(bytes), count);
}

// ---- input ---------------------------------------------------------------

bool ClMemoryInStream::Refuse(std::uint32_t bits) {
  AddState(bits);
  return false;
}

bool ClMemoryInStream::Read(void* bytes, std::size_t count) {
  if (!Good()) return false;
  if (count > text_.size() - pos_) {
    pos_ = text_.size();
    return Refuse(kEofBit | kFailBit);
  }
  if (count != 0) std::memcpy(bytes, text_.data() + pos_, count);
  pos_ += count;
  return true;
}

bool ClMemoryInStream::ReadToken(std::string& token) {
  if (!Good()) return false;
  token.clear();
  while (true) {
    if (pos_ == text_.size()) return Refuse(kEofBit | kFailBit);
    const char c = text_[pos_++];
    if (c == ' ') break;
    if (token.size() == kMaxToken) return Refuse(kFailBit);
    token.push_back(c);
  }
  if (token.empty()) return Refuse(kFailBit);
  return true;
}

bool ClMemoryInStream::ReadUnsigned(std::uint32_t max, std::uint32_t& value) {
  std::string token;
  if (!ReadToken(token)) return false;
  std::uint64_t v = 0;
  for (char c : token) {
    if (c < '0' || c > '9') return Refuse(kFailBit);
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > max) return Refuse(kFailBit);
  }
  value = static_cast<std::uint32_t>(v);
  return true;
}

bool ClMemoryInStream::ReadSigned(std::int32_t min, std::int32_t max, std::int32_t& value) {
  std::string token;
  if (!ReadToken(token)) return false;
  const bool negative = token[0] == '-';
  const std::size_t first = negative ? 1 : 0;
  if (first == token.size()) return Refuse(kFailBit);
  std::int64_t v = 0;
  for (std::size_t i = first; i < token.size(); ++i) {
    const char c = token[i];
    if (c < '0' || c > '9') return Refuse(kFailBit);
    v = v * 10 + (c - '0');
    if (v > static_cast<std::int64_t>(max) + 1) return Refuse(kFailBit);
  }
  if (negative) v = -v;
  if (v < min || v > max) return Refuse(kFailBit);
  value = static_cast<std::int32_t>(v);
  return true;
}

template <typename T>
bool ClMemoryInStream::ReadReal(T (*parse)(const char*, char**), T& value) {
  std::string token;
  if (!ReadToken(token)) return false;
  char* end = nullptr;
  const T v = parse(token.c_str(), &end);
  if (end != token.c_str() + token.size()) return Refuse(kFailBit);
  value = v;
  return true;
}

bool ClMemoryInStream::ReadDouble(double& value) { return ReadReal<double>(&std::strtod, value); }

bool ClMemoryInStream::ReadFloat(float& value) { return ReadReal<float>(&std::strtof, value); }

bool ClMemoryInStream::GetBytes(char* bytes, std::size_t count) { return Read(bytes, count); }

bool ClMemoryInStream::GetU16(std::uint16_t& value) {
  std::uint32_t v = 0;
  if (!ReadUnsigned(0xFFFF, v)) return false;
  value = static_cast<std::uint16_t>(v);
  return true;
}

bool ClMemoryInStream::GetI16(std::int16_t& value) {
  std::int32_t v = 0;
  if (!ReadSigned(-32768, 32767, v)) return false;
  value = static_cast<std::int16_t>(v);
  return true;
}

bool ClMemoryInStream::GetU32(std::uint32_t& value) { return ReadUnsigned(0xFFFFFFFFu, value); }

bool ClMemoryInStream::GetI32(std::int32_t& value) {
  return ReadSigned(std::numeric_limits<std::int32_t>::min(),
                    std::numeric_limits<std::int32_t>::max(), value);
}

bool ClMemoryInStream::GetULong(std::uint32_t& value) { return GetU32(value); }
bool ClMemoryInStream::GetLong(std::int32_t& value) { return GetI32(value); }
bool ClMemoryInStream::GetFloat(float& value) { return ReadFloat(value); }
bool ClMemoryInStream::GetDouble(double& value) { return ReadDouble(value); }
bool ClMemoryInStream::GetChar(char& value) { return Read(&value, 1); }
bool ClMemoryInStream::GetUChar(unsigned char& value) { return Read(&value, 1); }

bool ClMemoryInStream::GetString(char* text, std::size_t capacity) {
  if (capacity == 0) return Refuse(kFailBit);
  text[0] = '\0';
  if (!Good()) return false;
  std::size_t n = 0;
  bool fits = true;
  while (true) {
    if (pos_ == text_.size()) {
      text[n] = '\0';
      return Refuse(kEofBit | kFailBit);
    }
    const char c = text_[pos_++];
    if (c == '\0') break;
    if (n + 1 < capacity) {
      text[n++] = c;
    } else {
      fits = false;  // read on to the NUL so that the stream stays in step
    }
  }
  text[n] = '\0';
  return fits ? true : Refuse(kFailBit);
}

template <typename T, typename Get>
static bool GetEach(T* values, std::size_t count, Get get) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!get(values[i])) return false;
  }
  return true;
}

bool ClMemoryInStream::GetDoubles(double* values, std::size_t count) {
  return GetEach(values, count, [this](double& v) { return ReadDouble(v); });
}
bool ClMemoryInStream::GetFloats(float* values, std::size_t count) {
  return GetEach(values, count, [this](float& v) { return ReadFloat(v); });
}
bool ClMemoryInStream::GetU32s(std::uint32_t* values, std::size_t count) {
  return GetEach(values, count, [this](std::uint32_t& v) { return GetU32(v); });
}
bool ClMemoryInStream::GetI32s(std::int32_t* values, std::size_t count) {
  return GetEach(values, count, [this](std::int32_t& v) { return GetI32(v); });
}
bool ClMemoryInStream::GetULongs(std::uint32_t* values, std::size_t count) {
  return GetU32s(values, count);
}
bool ClMemoryInStream::GetLongs(std::int32_t* values, std::size_t count) {
  return GetI32s(values, count);
}
bool ClMemoryInStream::GetU16s(std::uint16_t* values, std::size_t count) {
  return GetEach(values, count, [this](std::uint16_t& v) { return GetU16(v); });
}
bool ClMemoryInStream::GetI16s(std::int16_t* values, std::size_t count) {
  return GetEach(values, count, [this](std::int16_t& v) { return GetI16(v); });
}
bool ClMemoryInStream::GetSignedBytes(signed char* bytes, std::size_t count) {
  return Read(bytes, count);
}
bool ClMemoryInStream::GetSignedChar(signed char& value) { return Read(&value, 1); }
bool ClMemoryInStream::GetUnsignedBytes(unsigned char* bytes, std::size_t count) {
  return Read(bytes, count);
}
bool ClMemoryInStream::GetByte(std::uint8_t& value) { return Read(&value, 1); }
