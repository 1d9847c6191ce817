// BSTR, the counted text of COM: a 32-bit byte length, the UTF-16 code units
// and a terminating zero, with the pointer at the first code unit. The length
// counts every unit, embedded zeros too. A null BSTR is the empty text. Memory
// comes from malloc, so a BSTR made by another library of the process may be
// freed here.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace platform {

using OLECHAR = char16_t;
using BSTR = OLECHAR*;

// Null for a null text.
BSTR SysAllocString(const OLECHAR* text);
// length units of text, or zeros when text is null; null when out of memory
// or when the length does not fit the 32-bit byte count.
BSTR SysAllocStringLen(const OLECHAR* text, std::uint32_t length);
void SysFreeString(BSTR text);

// Code units, without the terminating zero.
inline std::uint32_t SysStringLen(BSTR text) {
  if (text == nullptr) return 0;
  std::uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const char*>(text) - sizeof bytes, sizeof bytes);
  return bytes / sizeof(OLECHAR);
}

// The engine's texts across COM calls; the caller frees with SysFreeString.
BSTR BstrFromUtf8(std::string_view text);
// The whole counted text, embedded zeros included.
std::string Utf8FromBstr(BSTR text);

}  // namespace platform
