#include "foundation/messages/print_conversion.h"

#include <cstring>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a run of digits; the value saturates just above `limit`, so that any
// number of digits is safe and "too large" stays visible.
std::int32_t ReadDigits(const char*& p, std::int32_t limit) {
  std::int32_t value = 0;
  while (IsDigit(*p)) {
    if (value <= limit) value = value * 10 + (*p - '0');
    ++p;
  }
  return value > limit ? limit + 1 : value;
}

}  // namespace

const char* ParseFormatSpec(const char* text, FormatSpec* spec) {
  *spec = FormatSpec{};
  const char* p = text;
  while (*p != '\0' && std::strchr("-+0 #", *p) != nullptr) spec->flags += *p++;

  if (*p == '*') return bad_format::kWidthDigits;
  if (IsDigit(*p)) {
    spec->width = ReadDigits(p, kMaxFormatWidth);
    if (spec->width > kMaxFormatWidth) return bad_format::kWidthTooLarge;
  }

  if (*p == '.') {
    ++p;
    if (!IsDigit(*p)) return bad_format::kPrecisionDigits;
    spec->precision = ReadDigits(p, kMaxFormatPrecision);
  }

  if (*p == 'h') {
    spec->size = FormatSize::kShort;
    ++p;
  } else if (*p == 'l' || *p == 'L') {
    spec->size = FormatSize::kLong;
    ++p;
  } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
    spec->size = FormatSize::kInt64;
    p += 3;
  }

  if (*p == '\0' || std::strchr("cdiouxXfeEgGps&", *p) == nullptr) {
    return bad_format::kUnknownType;
  }
  spec->type = *p++;
  spec->length = static_cast<std::size_t>(p - text);
  return nullptr;
}

std::string GlibcConversion(const FormatSpec& spec, bool keep_precision, const char* size,
                            char type) {
  std::string conversion = "%";
  for (char flag : {'-', '+', '0', ' ', '#'}) {  // repeats add nothing
    if (spec.flags.find(flag) != std::string::npos) conversion += flag;
  }
  if (spec.width >= 0) conversion += std::to_string(spec.width);
  if (keep_precision && spec.precision >= 0) {
    conversion += '.';
    conversion += std::to_string(spec.precision);
  }
  conversion += size;
  conversion += type;
  return conversion;
}
