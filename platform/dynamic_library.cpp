#include "platform/dynamic_library.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cfenv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/file_trust.h"
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

LibraryOpen OpenNamed(const std::string& path) {
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

// A path that reaches what the descriptor holds, spelt as no earlier load
// was: glibc gives the library it once loaded under a name for that name
// again, without opening anything, and descriptor numbers come back. The
// serial's bits are written as "./" or "../fd/", which lead back to the
// same folder.
std::string ThroughDescriptor(int fd, const std::string& rest) {
  static std::atomic<std::uint64_t> serial{0};
  std::string path = "/proc/self/fd/";
  for (std::uint64_t n = ++serial; n != 0; n >>= 1) path += (n & 1) != 0 ? "../fd/" : "./";
  return path + std::to_string(fd) + rest;
}

std::string Renamed(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Gives the loaded library the name of its file, for dladdr, dlinfo and
// debuggers (a library that finds its siblings through its own file name
// would otherwise see a descriptor that is closed by then). The names it
// was loaded under stay glibc's own for matching later loads. glibc frees
// the name when the library goes; the old one is kept, not freed, since
// another thread may be reading it.
void NameAfterFile(void* handle, const std::string& path) {
  struct link_map* map = nullptr;
  if (handle == nullptr || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return;
  char* name = strdup(path.c_str());
  if (name == nullptr) return;
  // Never destroyed: the names must outlive every library still open at
  // exit, ours included (listed, so that they are no leak).
  static std::mutex retiring;
  static auto* const retired = new std::vector<char*>;
  static auto* const given = new std::vector<char*>;
  const std::lock_guard<std::mutex> hold(retiring);
  retired->push_back(map->l_name);
  given->push_back(name);
  map->l_name = name;
}

}  // namespace

LibraryOpen OpenLibrary(const std::string& path) { return OpenNamed(path); }

LibraryOpen OpenLibrary(const CheckedLibrary& checked) {
  std::string name = ThroughDescriptor(checked.file.get(), "");
  LibraryOpen result = OpenNamed(name);
  // Dependencies looked for beside the library ($ORIGIN) are not found
  // beside a descriptor. Then through its folder's descriptor, the name in
  // it still the file checked; only this user or root can change that.
  if (result.handle == nullptr &&
      result.error.find("cannot open shared object file") != std::string::npos) {
    const std::string file = checked.path.substr(checked.path.rfind('/') + 1);
    struct stat now {}, was {};
    if (fstatat(checked.folder.get(), file.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        fstat(checked.file.get(), &was) == 0 && now.st_dev == was.st_dev &&
        now.st_ino == was.st_ino) {
      name = ThroughDescriptor(checked.folder.get(), "/" + file);
      result = OpenNamed(name);
    }
  }
  result.error = Renamed(result.error, name, checked.path);
  NameAfterFile(result.handle, checked.path);
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

bool OursOrRoots(const struct stat& s) { return s.st_uid == geteuid() || s.st_uid == 0; }

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
  if (std::string why = WhyFolderIsOpenToOthers("/", s); !why.empty()) return why;
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
      if (std::string why = WhyFolderIsOpenToOthers(next, s); !why.empty()) return why;
    }
    at = next;
  }
  if (at.empty() || lstat(at.c_str(), &s) != 0) return "it is not a regular file";
  struct stat folder {};
  const std::string above = at.substr(0, std::max<std::size_t>(at.rfind('/'), 1));
  const bool has_folder = lstat(above.c_str(), &folder) == 0;
  if (std::string why = WhyLibraryFileIsOpenToOthers(at, s, has_folder ? &folder : nullptr);
      !why.empty()) {
    return why;
  }
  if (resolved != nullptr) *resolved = at;
  return {};
}

std::string CheckLibraryFile(const std::string& path, CheckedLibrary* checked) {
  std::string resolved;
  if (std::string why = WhyLibraryIsUntrusted(path, &resolved); !why.empty()) return why;
  // Checked again on what is held open: the walk looked at names, which
  // may lead elsewhere by now.
  const std::size_t slash = resolved.rfind('/');
  const std::string folder_path = slash == 0 ? std::string("/") : resolved.substr(0, slash);
  const std::string file_name = resolved.substr(slash + 1);
  FileDescriptor folder(open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat folder_stat {};
  if (!folder.valid() || fstat(folder.get(), &folder_stat) != 0) return CannotExamine(folder_path);
  if (std::string why = WhyFolderIsOpenToOthers(folder_path, folder_stat); !why.empty()) return why;
  // Not waiting should a FIFO have taken the file's place.
  FileDescriptor file(openat(folder.get(), file_name.c_str(),
                             O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat file_stat {};
  if (!file.valid() || fstat(file.get(), &file_stat) != 0) return CannotExamine(resolved);
  if (std::string why = WhyLibraryFileIsOpenToOthers(resolved, file_stat, &folder_stat);
      !why.empty()) {
    return why;
  }
  checked->path = resolved;
  checked->folder = std::move(folder);
  checked->file = std::move(file);
  return {};
}

}  // namespace platform
