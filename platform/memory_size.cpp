#include "platform/memory_size.h"

#include <unistd.h>

namespace platform {

std::uint64_t PhysicalMemoryBytes() {
  const auto pages = ::sysconf(_SC_PHYS_PAGES);
  const auto page_size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

}  // namespace platform
