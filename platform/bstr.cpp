#include "platform/bstr.h"

#include <cstdlib>
#include <limits>

#include "platform/utf16.h"

namespace platform {

namespace {

constexpr std::uint32_t kPrefix = sizeof(std::uint32_t);
// The byte count and the allocation (prefix and terminator) stay in 32 bits.
constexpr std::uint32_t kMaxLength =
    (std::numeric_limits<std::uint32_t>::max() - kPrefix - sizeof(OLECHAR)) / sizeof(OLECHAR);

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  return SysAllocStringLen(text,
                           static_cast<std::uint32_t>(std::char_traits<char16_t>::length(text)));
}

BSTR SysAllocStringLen(const OLECHAR* text, std::uint32_t length) {
  if (length > kMaxLength) return nullptr;
  const std::uint32_t bytes = length * sizeof(OLECHAR);
  auto* block = static_cast<char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &bytes, kPrefix);
  auto* units = reinterpret_cast<OLECHAR*>(block + kPrefix);
  if (text != nullptr) {
    std::memcpy(units, text, bytes);
  } else {
    std::memset(units, 0, bytes);
  }
  units[length] = u'\0';
  return units;
}

void SysFreeString(BSTR text) {
  if (text != nullptr) std::free(reinterpret_cast<char*>(text) - kPrefix);
}

BSTR BstrFromUtf8(std::string_view text) {
  const std::u16string wide = Utf16FromUtf8(text);
  if (wide.size() > kMaxLength) return nullptr;
  return SysAllocStringLen(wide.data(), static_cast<std::uint32_t>(wide.size()));
}

std::string Utf8FromBstr(BSTR text) {
  return Utf8FromUtf16(std::u16string_view(text, SysStringLen(text)));
}

}  // namespace platform
