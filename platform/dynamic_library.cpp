#include "platform/dynamic_library.h"

#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <linux/magic.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/vfs.h>
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
  if (checked.beside) {
    // Through the folder, whose name for the file must still be the file.
    const std::string file = checked.path.substr(checked.path.rfind('/') + 1);
    struct stat now {
    }, was{};
    if (fstatat(checked.folder.get(), file.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        fstat(checked.file.get(), &was) != 0 || now.st_dev != was.st_dev ||
        now.st_ino != was.st_ino) {
      LibraryOpen moved;
      moved.error = checked.path + ": another file has taken its name since it was checked";
      return moved;
    }
    name = ThroughDescriptor(checked.folder.get(), "/" + file);
  }
  LibraryOpen result = OpenNamed(name);
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

// Walks the path name by name from the root, as the system would, so that
// every folder and link the open passes is looked at: each folder on the
// way passes the folder rule, each link is this user's or root's. *end
// gets where the walk stops, links followed ("" for the root), and *s its
// lstat. For a search folder (search) a link in /proc is refused, and a
// missing name ends the walk with *missing set, *end the folder above it.
std::string Walk(const std::string& path, bool search, std::string* end, struct stat* s,
                 bool* missing) {
  if (path.empty()) return "it has no name";
  std::string start = path;
  if (start[0] != '/') {
    std::string here;
    if (!CurrentDirectory(&here)) return CannotExamine("the current folder");
    start = here + "/" + start;
  }
  if (lstat("/", s) != 0) return CannotExamine("/");
  if (std::string why = WhyFolderIsOpenToOthers("/", *s); !why.empty()) return why;
  std::deque<std::string> names = PathNames(start);
  std::string at;  // where the walk stands
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
    if (lstat(next.c_str(), s) != 0) {
      if (!search || errno != ENOENT) return CannotExamine(next);
      *missing = true;
      *end = at;
      return lstat(at.empty() ? "/" : at.c_str(), s) == 0 ? std::string() : CannotExamine(at);
    }
    if (S_ISLNK(s->st_mode)) {
      if (!OursOrRoots(*s)) return "the symbolic link " + next + " belongs to another user";
      // Its links lead where the process stands when the loader looks.
      struct statfs holder {};
      if (search && statfs(at.empty() ? "/" : at.c_str(), &holder) == 0 &&
          holder.f_type == PROC_SUPER_MAGIC) {
        return "it leads through " + next + ", which follows the process";
      }
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
      if (std::string why = WhyFolderIsOpenToOthers(next, *s); !why.empty()) return why;
    }
    at = next;
  }
  *end = at;
  if (at.empty() && lstat("/", s) != 0) return CannotExamine("/");
  return {};
}

}  // namespace

std::string WhyFileIsUntrusted(const std::string& path, std::string* resolved, const char* made) {
  std::string at;
  struct stat s {};
  bool missing = false;
  if (std::string why = Walk(path, false, &at, &s, &missing); !why.empty()) return why;
  if (at.empty()) return "it is not a regular file";
  struct stat folder {};
  const std::string above = at.substr(0, std::max<std::size_t>(at.rfind('/'), 1));
  const bool has_folder = lstat(above.c_str(), &folder) == 0;
  if (std::string why = WhyFileIsOpenToOthers(at, s, has_folder ? &folder : nullptr, made);
      !why.empty()) {
    return why;
  }
  if (resolved != nullptr) *resolved = at;
  return {};
}

std::string WhyLibraryIsUntrusted(const std::string& path, std::string* resolved) {
  return WhyFileIsUntrusted(path, resolved, "loadable");
}

std::string WhySearchFolderIsUntrusted(const std::string& path, std::string* resolved) {
  std::string at;
  struct stat s {};
  bool missing = false;
  if (std::string why = Walk(path, true, &at, &s, &missing); !why.empty()) return why;
  const std::string shown = at.empty() ? std::string("/") : at;
  if (!missing) {
    if (std::string why = WhyFolderIsOpenToOthers(shown, s); !why.empty()) return why;
  }
  // The loader checks nothing it finds there: sticky is not enough, since
  // others may make new names in it.
  if ((s.st_mode & S_IWOTH) != 0 ||
      ((s.st_mode & S_IWGRP) != 0 && !GroupIsOwnersAlone(s.st_gid, s.st_uid))) {
    return missing ? "it does not exist, and others can make it in " + shown
                   : "others can make files in the folder " + shown + ", sticky as it is";
  }
  if (resolved != nullptr) *resolved = missing ? std::string() : shown;
  return {};
}

namespace {

template <typename T>
bool ReadAt(int fd, T* item, std::uint64_t offset) {
  std::size_t done = 0;
  int error = 0;
  return ReadFileAt(fd, item, sizeof *item, offset, &done, &error) && done == sizeof *item;
}

}  // namespace

bool ReadLibraryNames(int fd, LibraryNames* names) {
  Elf64_Ehdr header{};
  if (!ReadAt(fd, &header, 0) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr)) {
    return false;
  }
  std::vector<Elf64_Phdr> loads;
  Elf64_Phdr dynamic{};
  bool has_dynamic = false;
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr entry{};
    if (!ReadAt(fd, &entry, header.e_phoff + std::uint64_t{i} * sizeof entry)) return false;
    if (entry.p_type == PT_LOAD) loads.push_back(entry);
    if (entry.p_type == PT_DYNAMIC) {
      dynamic = entry;
      has_dynamic = true;
    }
  }
  if (!has_dynamic) return true;
  std::vector<std::uint64_t> needed;
  std::uint64_t strtab = 0, strsz = 0, rpath = 0, runpath = 0;
  bool has_rpath = false;
  constexpr std::uint64_t kMostEntries = 1 << 16;
  for (std::uint64_t i = 0; i < dynamic.p_filesz / sizeof(Elf64_Dyn) && i < kMostEntries; ++i) {
    Elf64_Dyn entry{};
    if (!ReadAt(fd, &entry, dynamic.p_offset + i * sizeof entry)) return false;
    if (entry.d_tag == DT_NULL) break;
    if (entry.d_tag == DT_NEEDED) needed.push_back(entry.d_un.d_val);
    if (entry.d_tag == DT_STRTAB) strtab = entry.d_un.d_ptr;
    if (entry.d_tag == DT_STRSZ) strsz = entry.d_un.d_val;
    if (entry.d_tag == DT_RPATH) {
      rpath = entry.d_un.d_val;
      has_rpath = true;
    }
    if (entry.d_tag == DT_RUNPATH) {
      runpath = entry.d_un.d_val;
      names->has_runpath = true;
    }
  }
  // The string table is named by its address once loaded.
  std::uint64_t offset = 0;
  bool placed = false;
  for (const Elf64_Phdr& load : loads) {
    if (strtab >= load.p_vaddr && strtab - load.p_vaddr < load.p_filesz) {
      offset = strtab - load.p_vaddr + load.p_offset;
      placed = true;
    }
  }
  constexpr std::uint64_t kMostText = 1 << 24;
  if (!placed || strsz == 0 || strsz > kMostText)
    return needed.empty() && !has_rpath && !names->has_runpath;
  std::string text(strsz, '\0');
  std::size_t done = 0;
  int error = 0;
  if (!ReadFileAt(fd, text.data(), text.size(), offset, &done, &error) || done != text.size()) {
    return false;
  }
  const auto at = [&](std::uint64_t index) {
    return index < text.size() ? std::string(text.c_str() + index) : std::string();
  };
  for (const std::uint64_t index : needed) names->needed.push_back(at(index));
  if (has_rpath) names->rpath = at(rpath);
  if (names->has_runpath) names->runpath = at(runpath);
  return true;
}

namespace {

// The text with $ORIGIN (or ${ORIGIN}) replaced by the folder; false when
// it has none.
bool WithOrigin(std::string text, const std::string& folder, std::string* out) {
  bool found = false;
  for (const char* token : {"${ORIGIN}", "$ORIGIN"}) {
    const std::string name = token;
    for (std::size_t at = text.find(name); at != std::string::npos;
         at = text.find(name, at + folder.size())) {
      text.replace(at, name.size(), folder);
      found = true;
    }
  }
  *out = text;
  return found;
}

// The folders of a search path that lie by the library ($ORIGIN), with its
// folder put in.
std::vector<std::string> FoldersBeside(const std::string& search, const std::string& origin) {
  std::vector<std::string> folders;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = search.find(':', begin);
    std::string folder;
    if (WithOrigin(search.substr(begin, end == std::string::npos ? end : end - begin), origin,
                   &folder)) {
      folders.push_back(folder);
    }
    if (end == std::string::npos) return folders;
    begin = end + 1;
  }
}

bool NamesOrigin(const LibraryNames& names) {
  std::string ignored;
  for (const std::string& name : names.needed) {
    if (WithOrigin(name, "", &ignored)) return true;
  }
  return WithOrigin(names.rpath, "", &ignored) || WithOrigin(names.runpath, "", &ignored);
}

// Why a library the loader could take from beside the one whose names
// these are (in origin, its folder) must not be loaded, or empty. Each
// file there that answers a dependency's name passes the file check, and
// so, in turn, do the ones beside it. inherited: the folders beside of the
// RPATHs of the libraries that need this one, searched for its needs too
// while it has no RUNPATH. seen: the files looked at already.
std::string WhyBesideIsUntrusted(const LibraryNames& names, const std::string& origin,
                                 std::vector<std::string> inherited,
                                 std::vector<std::string>* seen) {
  constexpr std::size_t kMostFiles = 256;
  std::vector<std::string> folders;
  if (names.has_runpath) {
    folders = FoldersBeside(names.runpath, origin);
  } else {
    const std::vector<std::string> own = FoldersBeside(names.rpath, origin);
    inherited.insert(inherited.begin(), own.begin(), own.end());
    folders = inherited;
  }
  for (const std::string& name : names.needed) {
    std::vector<std::string> files;
    std::string named;
    if (name.find('/') != std::string::npos) {
      if (WithOrigin(name, origin, &named)) files.push_back(named);
    } else {
      for (const std::string& folder : folders) files.push_back(folder + "/" + name);
    }
    for (const std::string& file : files) {
      struct stat s {};
      if (lstat(file.c_str(), &s) != 0 && errno == ENOENT) continue;
      std::string resolved;
      if (std::string why = WhyLibraryIsUntrusted(file, &resolved); !why.empty()) {
        return "the library " + file + " beside it, which it needs, must not be loaded: " + why;
      }
      if (std::find(seen->begin(), seen->end(), resolved) != seen->end()) continue;
      if (seen->size() >= kMostFiles) return "it needs too many libraries beside it";
      seen->push_back(resolved);
      FileDescriptor held(open(resolved.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      LibraryNames more;
      if (!held.valid() || !ReadLibraryNames(held.get(), &more)) continue;
      const std::string folder = resolved.substr(0, std::max<std::size_t>(resolved.rfind('/'), 1));
      if (std::string why = WhyBesideIsUntrusted(
              more, folder, names.has_runpath ? std::vector<std::string>{} : inherited, seen);
          !why.empty()) {
        return why;
      }
    }
  }
  return {};
}

}  // namespace

std::string CheckFile(const std::string& path, const char* made, CheckedLibrary* checked) {
  std::string resolved;
  if (std::string why = WhyFileIsUntrusted(path, &resolved, made); !why.empty()) return why;
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
  if (std::string why = WhyFileIsOpenToOthers(resolved, file_stat, &folder_stat, made);
      !why.empty()) {
    return why;
  }
  checked->path = resolved;
  checked->folder = std::move(folder);
  checked->file = std::move(file);
  return {};
}

std::string CheckLibraryFile(const std::string& path, CheckedLibrary* checked) {
  CheckedLibrary opened;
  if (std::string why = CheckFile(path, "loadable", &opened); !why.empty()) return why;
  LibraryNames names;
  if (ReadLibraryNames(opened.file.get(), &names) && NamesOrigin(names)) {
    const std::size_t slash = opened.path.rfind('/');
    const std::string folder_path = slash == 0 ? std::string("/") : opened.path.substr(0, slash);
    std::vector<std::string> seen{opened.path};
    if (std::string why = WhyBesideIsUntrusted(names, folder_path, {}, &seen); !why.empty()) {
      return why;
    }
    opened.beside = true;
  }
  *checked = std::move(opened);
  return {};
}

}  // namespace platform
