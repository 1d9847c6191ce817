#include "platform/dynamic_library.h"

#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cerrno>
#include <cfenv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "platform/posix_file.h"

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

namespace {

bool OursOrRoots(const struct stat& s) { return s.st_uid == geteuid() || s.st_uid == 0; }

// The names of a path, without the empty ones and ".".
std::deque<std::string> PathNames(const std::string& path) {
  std::deque<std::string> names;
  std::size_t at = 0;
  while (at <= path.size()) {
    const std::size_t end = std::min(path.find('/', at), path.size());
    std::string name = path.substr(at, end - at);
    if (!name.empty() && name != ".") names.push_back(std::move(name));
    at = end + 1;
  }
  return names;
}

std::string WhyFolderIsUntrusted(const std::string& folder, const struct stat& s) {
  if (!S_ISDIR(s.st_mode)) return folder + " on its way is not a folder";
  if (!OursOrRoots(s)) return "the folder " + folder + " belongs to another user";
  if ((s.st_mode & S_IWOTH) != 0 && (s.st_mode & S_ISVTX) == 0)
    return "others can write to the folder " + folder + " and it is not sticky";
  return {};
}

std::string CannotExamine(const std::string& path) {
  return path + " cannot be examined: " + std::strerror(errno);
}

}  // namespace

std::string WhyLibraryIsUntrusted(const std::string& path, std::string* resolved) {
  if (path.empty()) return "it has no name";
  std::string start = path;
  if (start[0] != '/') {
    std::string here;
    if (!CurrentDirectory(&here)) return CannotExamine("the current folder");
    start = here + "/" + start;
  }
  // Walked name by name from the root, as the system would, so that every
  // folder and link the open passes is looked at; `at` is where the walk
  // stands ("" for the root).
  struct stat s {};
  if (lstat("/", &s) != 0) return CannotExamine("/");
  if (std::string why = WhyFolderIsUntrusted("/", s); !why.empty()) return why;
  std::deque<std::string> names = PathNames(start);
  std::string at;
  constexpr int kMostLinks = 40;
  int links = 0;
  while (!names.empty()) {
    const std::string name = names.front();
    names.pop_front();
    if (name == "..") {
      at.resize(at.rfind('/') == std::string::npos ? 0 : at.rfind('/'));
      continue;
    }
    const std::string next = at + "/" + name;
    if (lstat(next.c_str(), &s) != 0) return CannotExamine(next);
    if (S_ISLNK(s.st_mode)) {
      if (!OursOrRoots(s)) return "the symbolic link " + next + " belongs to another user";
      if (++links > kMostLinks) return "too many symbolic links on its way";
      char target[PATH_MAX];
      const ssize_t n = readlink(next.c_str(), target, sizeof target - 1);
      if (n <= 0) return CannotExamine(next);
      const std::string to(target, static_cast<std::size_t>(n));
      const std::deque<std::string> more = PathNames(to);
      names.insert(names.begin(), more.begin(), more.end());
      if (to[0] == '/') at.clear();
      continue;
    }
    if (!names.empty()) {
      if (std::string why = WhyFolderIsUntrusted(next, s); !why.empty()) return why;
    }
    at = next;
  }
  if (at.empty() || lstat(at.c_str(), &s) != 0 || !S_ISREG(s.st_mode))
    return "it is not a regular file";
  if (!OursOrRoots(s)) return "it belongs to another user";
  if ((s.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "its group or others can write to it";
  if (resolved != nullptr) *resolved = at;
  return {};
}

}  // namespace platform
