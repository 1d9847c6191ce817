// Conversion between the engine's UTF-8 texts and the UTF-16 texts of COM
// (ProgIDs, BSTRs). Malformed input never stops a conversion: a bad UTF-8
// sequence or an unpaired surrogate becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace platform {

std::u16string Utf16FromUtf8(std::string_view text);
std::string Utf8FromUtf16(std::u16string_view text);

}  // namespace platform
