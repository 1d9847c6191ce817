// How the engine calls a property package on Linux: every argument by
// reference, integers 8 bytes wide, texts as 40-character fields padded with
// blanks and without a NUL, their lengths passed by value as size_t after
// all other arguments (gfortran's hidden character lengths).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace gppi {

inline constexpr std::size_t kTextField = 40;

using PackageInt = std::int64_t;
using SetupEntry = void (*)(PackageInt* level);
using IniEntry = void (*)(char* text1, char* text2, PackageInt* status, std::size_t length1,
                          std::size_t length2);
using QueryEntry = void (*)(PackageInt* request, PackageInt* index_or_count, char* a, char* b,
                            char* c, PackageInt* status, std::size_t length_a, std::size_t length_b,
                            std::size_t length_c);
using LoadEntry = void (*)(PackageInt* objects, PackageInt* components_per_object,
                           char* component_names, PackageInt* options_per_object,
                           char* option_groups, char* option_names, PackageInt* most_components,
                           PackageInt* most_options, PackageInt* load_flag,
                           std::size_t component_length, std::size_t group_length,
                           std::size_t option_length);
using UnloadEntry = void (*)(PackageInt* flag);
using EndEntry = void (*)();
using OptionsEntry = void (*)(PackageInt* first, PackageInt* second);

// The text in a field: blank padded, cut at the field's width.
inline void ToField(const std::string& text, char* field) {
  for (std::size_t i = 0; i < kTextField; ++i) field[i] = i < text.size() ? text[i] : ' ';
}

// A field read back: never past its width, trailing blanks and NULs removed.
inline std::string FromField(const char* field) {
  std::size_t end = kTextField;
  while (end > 0 && (field[end - 1] == ' ' || field[end - 1] == '\0')) --end;
  std::string text(field, end);
  // A package that wrote a NUL inside the field ends the text there.
  const std::size_t nul = text.find('\0');
  return nul == std::string::npos ? text : text.substr(0, nul);
}

}  // namespace gppi
