// A POSIX ACL's extended-attribute bytes, read as the folder rules read a
// folder's access and default ACLs. What parses is written back the same,
// and the entries that let others write are some of the entries.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix_acl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<platform::AclEntry> entries;
  if (!platform::ParseAcl(data, size, &entries)) return 0;
  if (platform::AclBytes(entries) != std::string(reinterpret_cast<const char*>(data), size)) {
    std::abort();
  }
  if (platform::WritingEntries(entries, 0).size() > entries.size()) std::abort();
  return 0;
}
