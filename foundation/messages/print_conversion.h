// One conversion of a message printer format ("%-8.3f", "%I64d", "%ls"),
// parsed after its "%" or after the letter of a name placeholder, and its
// translation into a conversion for the C library's formatter. The formats
// were written for the Windows run-time, whose "l" reads 32 bits, whose "L"
// on reals means double and whose "%ls" takes 16-bit texts; the argument is
// fetched with the width its format names and the size is rebuilt for glibc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The texts that report a format fault inside the message itself.
namespace bad_format {
inline constexpr char kWidthTooLarge[] = "BAD FORMATTING (width exceeds 512 characters)>>>";
inline constexpr char kWidthDigits[] = "BAD FORMATTING (width digits expected)>>>";
inline constexpr char kPrecisionDigits[] = "BAD FORMATTING (precision digits expected)>>>";
inline constexpr char kUnknownType[] = "BAD FORMATTING (unrecognized type specifier)>>>";
inline constexpr char kTooMany[] = "BAD FORMATTING (too many format specifiers)>>>";
inline constexpr char kTooManyMaybe[] = "BAD FORMATTING (too many format specifiers?)>>>";
inline constexpr char kNotAPointer[] = "BAD FORMATTING (argument is not a valid pointer object)>>>";
inline constexpr char kNulName[] = "BAD FORMATTING (NUL name)>>>";
inline constexpr char kMissingX[] = "BAD FORMATTING (missing 'x' in @nnx formatting)>>>";
inline constexpr char kUnknownAt[] = "BAD FORMATTING (unknown @ formatter)>>>";
inline constexpr char kNameNotS[] = "BAD FORMATTING (name must use 's' format)>>>";
inline constexpr char kCheckFormat[] = "BAD FORMATTING (check format string)>>>";
}  // namespace bad_format

enum class FormatSize { kNone, kShort, kLong, kInt64 };

struct FormatSpec {
  std::string flags;            // any run of "-+0 #"
  std::int32_t width = -1;      // -1: none given
  std::int32_t precision = -1;  // -1: none given
  FormatSize size = FormatSize::kNone;
  char type = '\0';
  std::size_t length = 0;  // characters taken after the "%"
};

// Widths above this are refused; so are "@nnx" blank runs.
inline constexpr std::int32_t kMaxFormatWidth = 512;
// A larger precision makes the conversion fail: it would only ask the C
// library for an unbounded amount of memory.
inline constexpr std::int32_t kMaxFormatPrecision = 4096;

// Parses the specifier starting at `text` (just after the "%"). Returns null
// when it is well formed, else the BAD FORMATTING text that reports it.
const char* ParseFormatSpec(const char* text, FormatSpec* spec);

// "%" with the specifier's flags, width and (when keep_precision) precision, then
// `size` ("", "h" or "ll") and `type`: a conversion glibc reads as the format meant.
std::string GlibcConversion(const FormatSpec& spec, bool keep_precision, const char* size,
                            char type);
