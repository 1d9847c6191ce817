// The search variables of the environment as the engine judges them: an
// LD_LIBRARY_PATH value at its start, and PATH, LD_PRELOAD, LD_AUDIT and
// GCONV_PATH for the programs of a build, the values split at NUL bytes.
// What is kept must never name a folder from anywhere but the root.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/loader_environment.h"

namespace {

// Every entry of a kept search value starts at the root and, where the
// loader searches it, holds no token the loader would expand.
void CheckKept(const std::string& kept, bool searched) {
  std::size_t begin = 0;
  while (begin < kept.size()) {
    const std::size_t end = std::min(kept.find(':', begin), kept.size());
    const std::string entry = kept.substr(begin, end - begin);
    if (entry.empty() || entry[0] != '/' || (searched && entry.find('$') != std::string::npos)) {
      std::abort();
    }
    begin = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const char* const kNames[] = {"PATH", "LD_PRELOAD", "LD_AUDIT", "GCONV_PATH"};
  const std::vector<std::string> values = vantor_fuzz::SplitAtNul(data, size);
  std::vector<std::string> dropped;
  CheckKept(platform::TrustedSearchEntries(values[0], &dropped), true);
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    if (i + 1 < values.size()) {
      ::setenv(kNames[i], values[i + 1].c_str(), 1);
    } else {
      ::unsetenv(kNames[i]);
    }
  }
  for (const std::string& setting : platform::ToolEnvironment(&dropped)) {
    if (setting.rfind("PATH=", 0) == 0) CheckKept(setting.substr(5), true);
    if (setting.rfind("GCONV_PATH=", 0) == 0) CheckKept(setting.substr(11), false);
  }
  return 0;
}
