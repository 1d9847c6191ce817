// A makefile's text as the build reads it for the folders its recipes
// search (the user's include file is copied into it), then "NAME=value"
// environment entries, split at NUL bytes. A folder given back never
// holds text that only make or the shell could tell.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "codegen/build/make_search.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> parts = vantor_fuzz::SplitAtNul(data, size);
  const std::string text = parts.empty() ? std::string() : parts.front();
  const std::vector<std::string> environment(parts.begin() + (parts.empty() ? 0 : 1), parts.end());
  const codegen::MakeSearch search = codegen::MakefileSearchFolders(text, environment);
  for (const std::string& folder : search.folders) {
    if (folder.empty() || folder.find_first_of("\x01\x02") != std::string::npos) std::abort();
  }
  return 0;
}
