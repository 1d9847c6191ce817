#include "platform/loader_environment.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char** environ;

namespace platform {

namespace {
constexpr char kVariable[] = "LD_LIBRARY_PATH";
}  // namespace

std::string AbsoluteSearchEntries(const std::string& value, bool* dropped) {
  std::string kept;
  bool left_out = false;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = value.find_first_of(":;", begin);
    const std::string entry = value.substr(begin, end == std::string::npos ? end : end - begin);
    if (!entry.empty() && entry[0] == '/') {
      if (!kept.empty()) kept += ':';
      kept += entry;
    } else {
      left_out = true;
    }
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  if (dropped != nullptr) *dropped = left_out;
  return kept;
}

void RestartWithoutRelativeSearchEntries(char** argv) {
  const char* value = std::getenv(kVariable);
  // An empty value names no folder at all.
  if (value == nullptr || *value == '\0') return;
  bool dropped = false;
  const std::string kept = AbsoluteSearchEntries(value, &dropped);
  if (!dropped) return;
  const std::string again = kept.empty() ? "without it" : "with \"" + kept + "\"";
  std::fprintf(stderr,
               "vantor: LD_LIBRARY_PATH \"%s\" has an empty or relative entry, which would load "
               "libraries from the current folder; starting again %s\n",
               value, again.c_str());
  std::fflush(stderr);
  // The environment as it is, the variable replaced (or left out when
  // nothing is kept).
  const std::string setting = std::string(kVariable) + "=" + kept;
  std::vector<char*> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, kVariable, sizeof kVariable - 1) == 0 &&
        (*entry)[sizeof kVariable - 1] == '=') {
      continue;
    }
    environment.push_back(*entry);
  }
  if (!kept.empty()) environment.push_back(const_cast<char*>(setting.c_str()));
  environment.push_back(nullptr);
  ::execve("/proc/self/exe", argv, environment.data());
  std::fprintf(stderr, "vantor: cannot start again without those entries (%s); not starting\n",
               std::strerror(errno));
  std::exit(1);
}

}  // namespace platform
