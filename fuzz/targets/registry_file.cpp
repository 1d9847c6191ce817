// The registry file's text, parsed into a tree and then walked by name.
#include <string_view>

#include "platform/registry_tree.h"

namespace {

void Walk(const platform::RegistryKey& key, int depth) {
  if (depth > 64) return;
  for (const auto& [folded, subkey] : key.subkeys) {
    key.FindSubkey(subkey->name);
    Walk(*subkey, depth + 1);
  }
  for (const auto& [folded, value] : key.values) key.FindValue(folded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> problems;
  const auto tree = platform::RegistryTree::Parse(
      std::string_view(reinterpret_cast<const char*>(data), size), &problems);
  for (int i = 0; i < platform::RegistryTree::kRootCount; ++i) Walk(tree->Root(i), 0);
  return 0;
}
