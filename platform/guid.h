// The 16-byte identifiers of COM classes and interfaces, with their braced
// text form "{072CCDD1-5F1B-434E-B0C0-A4AC71A7D4B4}": parsed in either case,
// printed in upper case as the registry and the engine's texts write them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];

  friend constexpr bool operator==(const GUID&, const GUID&) = default;
};
static_assert(sizeof(GUID) == 16);

using IID = GUID;
using CLSID = GUID;

constexpr bool IsEqualGUID(const GUID& a, const GUID& b) { return a == b; }

// The braced form only: 38 characters, hexadecimal digits in groups of 8, 4,
// 4, 4 and 12. *out is untouched when text is not such a form.
constexpr bool ParseGuid(std::string_view text, GUID* out) {
  if (text.size() != 38 || text[0] != '{' || text[37] != '}') return false;
  std::uint8_t bytes[16] = {};
  std::size_t pos = 1;
  int byte = 0;
  for (const int group : {4, 2, 2, 2, 6}) {
    if (pos != 1 && text[pos++] != '-') return false;
    for (int i = 0; i < group; ++i, ++byte) {
      int value = 0;
      for (int half = 0; half < 2; ++half) {
        const char c = text[pos++];
        int digit;
        if (c >= '0' && c <= '9') {
          digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
          digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
          digit = c - 'A' + 10;
        } else {
          return false;
        }
        value = value * 16 + digit;
      }
      bytes[byte] = static_cast<std::uint8_t>(value);
    }
  }
  if (pos != 37) return false;
  GUID g{};
  g.Data1 = static_cast<std::uint32_t>(bytes[0]) << 24 |
            static_cast<std::uint32_t>(bytes[1]) << 16 | static_cast<std::uint32_t>(bytes[2]) << 8 |
            bytes[3];
  g.Data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
  g.Data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
  for (int i = 0; i < 8; ++i) g.Data4[i] = bytes[8 + i];
  *out = g;
  return true;
}

// For identifiers written in the code: a bad text does not compile.
consteval GUID MakeGuid(std::string_view text) {
  GUID g{};
  if (!ParseGuid(text, &g)) throw "not a braced GUID text";
  return g;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case.
std::string GuidText(const GUID& guid);

}  // namespace platform
