// printf-style text for the analysis reports and messages.
#pragma once

#include <string>

namespace analysis_text {

// The formatted text, cut at 1023 characters.
std::string Line(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace analysis_text
