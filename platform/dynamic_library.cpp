#include "platform/dynamic_library.h"

#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <cfenv>
#include <climits>
#include <cstdint>
#include <cstdlib>

namespace platform {

namespace {

// The control parts of the x87 and SSE units: masks, rounding, precision,
// flush-to-zero and denormals-are-zero; the sticky flags are left out.
struct FloatingPointControl {
  std::uint16_t x87 = 0;
  std::uint32_t sse = 0;
  bool operator==(const FloatingPointControl&) const = default;
};

constexpr std::uint32_t kSseFlagBits = 0x3F;

FloatingPointControl CurrentControl() {
  FloatingPointControl c;
  __asm__ volatile("fnstcw %0" : "=m"(c.x87));
  c.sse = _mm_getcsr() & ~kSseFlagBits;
  return c;
}

std::string TakeDlError() {
  const char* text = dlerror();
  return text != nullptr ? text : "unknown dynamic loader error";
}

}  // namespace

LibraryOpen OpenLibrary(const std::string& path) {
  LibraryOpen result;
  std::fenv_t saved;
  std::fegetenv(&saved);
  const FloatingPointControl before = CurrentControl();
  dlerror();
  result.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (result.handle == nullptr) result.error = TakeDlError();
  if (!(CurrentControl() == before)) {
    std::fesetenv(&saved);
    result.floating_point_restored = result.handle != nullptr;
  }
  return result;
}

void* LibrarySymbol(void* handle, const char* name) {
  if (handle == nullptr || name == nullptr) return nullptr;
  return dlsym(handle, name);
}

bool SymbolIsInLibrary(void* handle, const void* address) {
  if (handle == nullptr || address == nullptr) return false;
  struct link_map* own = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &own) != 0 || own == nullptr) return false;
  Dl_info info;
  void* found = nullptr;
  if (dladdr1(address, &info, &found, RTLD_DL_LINKMAP) == 0) return false;
  return found == own;
}

bool CloseLibrary(void* handle, std::string* error) {
  dlerror();
  if (dlclose(handle) == 0) return true;
  if (error != nullptr) *error = TakeDlError();
  return false;
}

std::string LibraryPath(void* handle) {
  struct link_map* map = nullptr;
  if (handle == nullptr || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
      map->l_name == nullptr) {
    return {};
  }
  char resolved[PATH_MAX];
  if (realpath(map->l_name, resolved) != nullptr) return resolved;
  return map->l_name;
}

std::string ExecutableFolder() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string FindFileIgnoringCase(const std::string& folder, const std::string& name) {
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return {};
  std::string found;
  while (const dirent* entry = readdir(dir)) {
    if (strcasecmp(entry->d_name, name.c_str()) == 0) {
      found = entry->d_name;
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace platform
