// Little-endian request bodies for the analysis tests, and their replies
// read back.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>


namespace analysis_fakes {

class BodyWriter {
 public:
  BodyWriter& U8(std::uint8_t v) {
    bytes.push_back(v);
    return *this;
  }
  BodyWriter& U16(std::uint16_t v) { return Raw(&v, 2); }
  BodyWriter& U32(std::uint32_t v) { return Raw(&v, 4); }
  BodyWriter& F64(double v) { return Raw(&v, 8); }
  // 3-byte length counting the NUL, the characters and their NUL.
  BodyWriter& Str(const std::string& s) {
    const std::uint32_t n = static_cast<std::uint32_t>(s.size() + 1);
    Raw(&n, 3);
    Raw(s.data(), s.size());
    return U8(0);
  }
  BodyWriter& Raw(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + size);
    return *this;
  }
  std::vector<std::uint8_t> bytes;
};

}  // namespace analysis_fakes
