// The printer that FORTRAN procedures' debug lines call as QLN_PRINT, under
// gfortran's name for it. The templates give five places after the format,
// a text taking two of them; gfortran passes the addresses of the other
// arguments there and appends the lengths: the format's, then one for each
// text. So 5 - c addresses, the format's length and c text lengths follow
// the format, c being the number of texts the format asks for. Addresses
// are never small and formats are, which tells the format's length apart.
// An object of its own, so that a program with its own printer links too.
#include <cstdint>
#include <cstring>
#include <string>

#include "foundation/messages/su_print.h"

namespace {

constexpr std::uintptr_t kLongestFormat = 1024;

// The conversion letters of a format in order.
std::string Conversions(const char* format, std::size_t length) {
  std::string letters;
  for (std::size_t i = 0; i < length; ++i) {
    if (format[i] != '%' || i + 1 >= length) continue;
    std::size_t j = i + 1;
    if (format[j] == '%' || format[j] == '&') {
      i = j;
      continue;
    }
    while (j < length && std::strchr("-+ #0123456789.lh", format[j]) != nullptr) ++j;
    if (j >= length) break;
    letters += format[j];
    i = j;
  }
  return letters;
}

bool IsText(char letter) { return letter == 's' || letter == 'c'; }

std::string WithoutTrailingBlanks(const char* text, std::size_t length) {
  std::string out(text, length);
  const std::size_t kept = out.find_last_not_of(' ');
  out.resize(kept == std::string::npos ? 0 : kept + 1);
  return out;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void qln_print_(
    const int* status, const char* format, std::uintptr_t s1, std::uintptr_t s2,
    std::uintptr_t s3, std::uintptr_t s4, std::uintptr_t s5, std::uintptr_t s6) {
  if (status == nullptr || format == nullptr) return;
  const std::uintptr_t slots[6] = {s1, s2, s3, s4, s5, s6};
  for (int texts = 2; texts >= 0; --texts) {
    const std::uintptr_t length = slots[5 - texts];
    if (length > kLongestFormat) continue;
    const std::string letters = Conversions(format, length);
    int asked = 0;
    for (const char letter : letters) asked += IsText(letter) ? 1 : 0;
    if (asked != texts || letters.size() > static_cast<std::size_t>(5 - texts)) continue;
    // A "%s" text as a NUL-ended copy of its own length; the rest by
    // address, a "%c" character too.
    std::string copies[2];
    const void* args[5] = {};
    int text = 0;
    for (std::size_t k = 0; k < letters.size(); ++k) {
      args[k] = reinterpret_cast<const void*>(slots[k]);
      if (!IsText(letters[k])) continue;
      const std::uintptr_t size = slots[6 - texts + text];
      if (letters[k] == 's' && args[k] != nullptr) {
        copies[text] = WithoutTrailingBlanks(static_cast<const char*>(args[k]),
                                             size < kLongestFormat ? size : kLongestFormat);
        args[k] = copies[text].c_str();
      }
      ++text;
    }
    const std::string shown = WithoutTrailingBlanks(format, length);
    SuPrint(static_cast<Status>(*status), shown.c_str(), args[0], args[1], args[2], args[3],
            args[4]);
    return;
  }
}
