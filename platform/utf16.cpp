#include "platform/utf16.h"

namespace platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf16(std::u16string* out, char32_t c) {
  if (c < 0x10000) {
    out->push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

void AppendUtf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

}  // namespace

std::u16string Utf16FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length;
    char32_t c;
    char32_t smallest;
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, c = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, c = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, c = lead & 0x07, smallest = 0x10000;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    std::size_t taken = 1;
    for (; taken < length && i + taken < text.size(); ++taken) {
      const auto next = static_cast<unsigned char>(text[i + taken]);
      if ((next & 0xC0) != 0x80) break;
      c = (c << 6) | (next & 0x3F);
    }
    // Short, overlong, surrogate or beyond U+10FFFF: one replacement for what
    // was taken, and the next sequence starts where this one stopped.
    if (taken < length || c < smallest || c > 0x10FFFF || IsSurrogate(c)) c = kReplacement;
    AppendUtf16(&out, c);
    i += taken;
  }
  return out;
}

std::string Utf8FromUtf16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (IsSurrogate(c)) {
      c = kReplacement;
    }
    AppendUtf8(&out, c);
  }
  return out;
}

}  // namespace platform
