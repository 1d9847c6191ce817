#include "analysis/services/report_text.h"

#include <cstdarg>
#include <cstdio>

namespace analysis_text {

std::string Line(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

}  // namespace analysis_text
