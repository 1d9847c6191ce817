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
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/file_trust.h"
#include "platform/loader_environment.h"
#include "platform/posix_file.h"
#include "platform/safe_write.h"

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
  if (checked.beside) {
    // By its own name, so that $ORIGIN stays its folder for as long as it is
    // loaded; the check found that only its owner can change that folder,
    // the ones on its way and the ones searched beside it.
    struct stat now {
    }, was{};
    if (stat(checked.path.c_str(), &now) != 0 || fstat(checked.file.get(), &was) != 0 ||
        now.st_dev != was.st_dev || now.st_ino != was.st_ino) {
      LibraryOpen moved;
      moved.error = checked.path + ": another file has taken its name since it was checked";
      return moved;
    }
    return OpenNamed(checked.path);
  }
  const std::string name = ThroughDescriptor(checked.file.get(), "");
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

bool OursOrRoots(const struct stat& s) { return s.st_uid == geteuid() || s.st_uid == 0; }

std::string CannotExamine(const std::string& path) {
  return path + " cannot be examined: " + std::strerror(errno);
}

// As many as the system follows on one path.
constexpr int kMostLinks = 40;

// ".." on the way: one name back.
void StepUp(std::string* at) {
  const std::size_t cut = at->rfind('/');
  at->resize(cut == std::string::npos ? 0 : cut);
}

// The link met on the way: its target's names come before those left, and
// an absolute target starts again at the root. False when it cannot be
// read.
bool FollowLink(const std::string& link, std::deque<std::string>* names, std::string* at) {
  char target[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return false;
  const std::string to(target, static_cast<std::size_t>(n));
  const std::deque<std::string> more = PathNames(to);
  names->insert(names->begin(), more.begin(), more.end());
  if (to[0] == '/') at->clear();
  return true;
}

// The folder rule; when closed, group write also counts whatever the group
// file lists (a process may hold a group without being listed in it), so
// that only the folder's owner can move or replace what it holds.
std::string FolderRule(const std::string& folder, const struct stat& s, bool closed) {
  std::string why = WhyFolderIsOpenToOthers(folder, s);
  if (!why.empty() || !closed || (s.st_mode & S_ISVTX) != 0 || (s.st_mode & S_IWGRP) == 0) {
    return why;
  }
  why = "members of its group can write to the folder " + folder + " and it is not sticky";
  if (s.st_uid == geteuid()) why += " (chmod g-w " + folder + " makes it usable)";
  return why;
}

// A refusal that a chmod of the user's mends for one folder names, in one
// line, every folder on the way to path that the same rule refuses so:
// mended one at a time, each run would show only the next.
std::string WithEveryFolderToMend(const std::string& why, const std::string& path, bool closed) {
  const std::string hint = "(chmod g-w ";
  char resolved[PATH_MAX];
  if (why.find(hint) == std::string::npos || realpath(path.c_str(), resolved) == nullptr) {
    return why;
  }
  std::vector<std::string> folders;
  std::string at;
  for (const std::string& name : PathNames(resolved)) {
    at += "/" + name;
    struct stat s {};
    if (lstat(at.c_str(), &s) == 0 && FolderRule(at, s, closed).find(hint) != std::string::npos)
      folders.push_back(at);
  }
  if (folders.size() < 2) return why;
  std::string named;
  std::string command;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    named += (i == 0 ? "" : i + 1 == folders.size() ? " and " : ", ") + folders[i];
    command += " " + folders[i];
  }
  return "members of their groups can write to the folders " + named +
         ", which are not sticky (chmod g-w" + command + " makes them usable)";
}

// Walks the path name by name from the root, as the system would, so that
// every folder and link the open passes is looked at: each folder on the
// way passes the folder rule (closed: FolderRule's), each link is this
// user's or root's. *end gets where the walk stops, links followed (""
// for the root), and *s its lstat. For a search folder (search) a link in
// /proc is refused, and a missing name ends the walk with *missing set,
// *end the folder above it.
std::string Walk(const std::string& path, bool search, bool closed, std::string* end,
                 struct stat* s, bool* missing) {
  if (path.empty()) return "it has no name";
  std::string start = path;
  if (start[0] != '/') {
    std::string here;
    if (!CurrentDirectory(&here)) return CannotExamine("the current folder");
    start = here + "/" + start;
  }
  if (lstat("/", s) != 0) return CannotExamine("/");
  if (std::string why = FolderRule("/", *s, closed); !why.empty()) return why;
  std::deque<std::string> names = PathNames(start);
  std::string at;  // where the walk stands
  int links = 0;
  while (!names.empty()) {
    const std::string name = names.front();
    names.pop_front();
    if (name == "..") {
      StepUp(&at);
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
      if (!FollowLink(next, &names, &at)) return CannotExamine(next);
      continue;
    }
    if (!names.empty()) {
      if (std::string why = FolderRule(next, *s, closed); !why.empty()) return why;
    }
    at = next;
  }
  *end = at;
  if (at.empty() && lstat("/", s) != 0) return CannotExamine("/");
  return {};
}

std::string FileRule(const std::string& path, std::string* resolved, const char* made,
                     bool closed) {
  std::string at;
  struct stat s {};
  bool missing = false;
  if (std::string why = Walk(path, false, closed, &at, &s, &missing); !why.empty()) {
    return WithEveryFolderToMend(why, path, closed);
  }
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

// The folders the loader looks in below each folder it searches, before
// the folder itself: glibc-hwcaps/<level>, and the older hardware
// subfolders (tls, the platform, ...) nested in any order.
constexpr const char* kLoaderSubfolders[] = {"glibc-hwcaps", "x86-64-v2", "x86-64-v3",
                                             "x86-64-v4",    "tls",       "x86_64",
                                             "haswell",      "xeon_phi",  "avx512_1"};
constexpr int kSubfolderDepth = 4;

// Why the loader must not search the folder, or empty; *searched (may be
// null) gets it and every subfolder of it that the loader looks in, links
// followed. The loader checks nothing it finds there: sticky is not
// enough, since others may make new names in it. A missing folder is
// judged by the nearest folder above it. closed: FolderRule's.
std::string SearchRule(const std::string& path, bool closed, std::vector<std::string>* searched,
                       int depth = 0) {
  std::string at;
  struct stat s {};
  bool missing = false;
  if (std::string why = Walk(path, true, closed, &at, &s, &missing); !why.empty()) return why;
  const std::string shown = at.empty() ? std::string("/") : at;
  if (!missing) {
    if (std::string why = FolderRule(shown, s, closed); !why.empty()) return why;
  }
  if (closed ? (s.st_mode & (S_IWOTH | S_IWGRP)) != 0 : !WhoElseMayWrite(shown, s).empty()) {
    return missing ? "it does not exist, and others can make it in " + shown
                   : "others can make files in the folder " + shown + ", sticky as it is";
  }
  if (missing) return {};
  if (searched != nullptr) searched->push_back(shown);
  if (depth == kSubfolderDepth) return {};
  for (const char* name : kLoaderSubfolders) {
    const std::string below = (at.empty() ? std::string() : at) + "/" + name;
    struct stat there {};
    // Only a folder is searched below: /usr/bin/x86_64, say, is a program.
    if (lstat(below.c_str(), &there) != 0) continue;
    struct stat target {};
    if (stat(below.c_str(), &target) == 0 && !S_ISDIR(target.st_mode)) continue;
    if (std::string why = SearchRule(below, closed, searched, depth + 1); !why.empty()) return why;
  }
  return {};
}

}  // namespace

std::string WhyFileIsUntrusted(const std::string& path, std::string* resolved, const char* made) {
  return FileRule(path, resolved, made, false);
}

std::string WhyLibraryIsUntrusted(const std::string& path, std::string* resolved) {
  return WhyFileIsUntrusted(path, resolved, "loadable");
}

std::string WhySearchFolderIsUntrusted(const std::string& path, std::string* resolved) {
  std::vector<std::string> searched;
  if (std::string why = SearchRule(path, false, &searched); !why.empty()) {
    return WithEveryFolderToMend(why, path, false);
  }
  if (resolved != nullptr) *resolved = searched.empty() ? std::string() : searched.front();
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
      names->has_rpath = true;
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
    return needed.empty() && !names->has_rpath && !names->has_runpath;
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
  if (names->has_rpath) names->rpath = at(rpath);
  if (names->has_runpath) names->runpath = at(runpath);
  return true;
}

namespace {

bool NameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The text as the loader makes it with $LIB and $PLATFORM standing for lib
// and platform, and $ORIGIN for origin: "$NAME" is a token where no
// letter, digit or '_' follows, "${NAME}" always; any other '$' stays as
// it is. Taken only where a token stands alone, before a '/' or at the
// end: elsewhere the loader's versions read it differently. Empty, or
// why it is refused; *beside tells whether $ORIGIN was in it.
std::string ExpandOnce(const std::string& text, const std::string& origin, const std::string& lib,
                       const std::string& platform, std::string* out, bool* beside) {
  const std::pair<const char*, const std::string*> tokens[] = {
      {"ORIGIN", &origin}, {"LIB", &lib}, {"PLATFORM", &platform}};
  out->clear();
  for (std::size_t i = 0; i < text.size();) {
    const std::string* value = nullptr;
    std::size_t end = i;
    if (text[i] == '$') {
      const bool curly = i + 1 < text.size() && text[i + 1] == '{';
      for (const auto& [name, stands] : tokens) {
        const std::size_t from = i + (curly ? 2 : 1), length = std::strlen(name);
        if (text.compare(from, length, name) != 0) continue;
        std::size_t after = from + length;
        if (curly) {
          if (after >= text.size() || text[after] != '}') continue;
          ++after;
        } else if (after < text.size() && NameChar(text[after])) {
          continue;
        }
        value = stands;
        end = after;
        if (stands == &origin) *beside = true;
        break;
      }
    }
    if (value == nullptr) {
      *out += text[i++];
      continue;
    }
    if (end < text.size() && text[end] != '/') {
      return "\"" + text.substr(i, end - i) + "\" is followed by \"" + text.substr(end, 1) +
             "\" (a token of the loader's must stand alone, before a / or at the end)";
    }
    *out += *value;
    i = end;
  }
  return {};
}

// Every name the loader may make of the text, one for each thing its
// tokens may stand for ($LIB is fixed when the C library is built,
// $PLATFORM is the processor's kind, $ORIGIN is the folder): empty, or why
// it is refused. *beside tells whether it holds $ORIGIN.
std::string Expanded(const std::string& text, const std::string& origin,
                     std::vector<std::string>* out, bool* beside) {
  static const char* const kLib[] = {"lib/x86_64-linux-gnu", "lib64", "lib"};
  static const char* const kPlatform[] = {"x86_64", "haswell", "xeon_phi"};
  out->clear();
  *beside = false;
  for (const char* lib : kLib) {
    for (const char* platform : kPlatform) {
      std::string name;
      if (std::string why = ExpandOnce(text, origin, lib, platform, &name, beside); !why.empty()) {
        return why;
      }
      if (std::find(out->begin(), out->end(), name) == out->end()) out->push_back(name);
    }
  }
  return {};
}

bool NamesOrigin(const LibraryNames& names) {
  std::vector<std::string> named = names.needed;
  for (const auto& [has, path] :
       {std::pair(names.has_rpath, &names.rpath), std::pair(names.has_runpath, &names.runpath)}) {
    if (!has) continue;
    const std::vector<std::string> entries = SearchPathEntries(*path, ":");
    named.insert(named.end(), entries.begin(), entries.end());
  }
  std::vector<std::string> ignored;
  bool beside = false;
  for (const std::string& name : named) {
    if (Expanded(name, "", &ignored, &beside).empty() && beside) return true;
  }
  return false;
}

std::string FolderOf(const std::string& file) {
  const std::size_t slash = file.rfind('/');
  return slash == 0 || slash == std::string::npos ? std::string("/") : file.substr(0, slash);
}

// Why a name the loader would take from the current folder must not be
// searched.
std::string WhyRelative(const std::string& name) {
  if (name.find('$') == std::string::npos) return "it is empty or relative";
  return "it is relative: the loader reads no token in it ($ORIGIN, $LIB and $PLATFORM stand "
         "alone, before a / or at the end), so it names a folder in the current one";
}

// Why the loader must not take libraries from the folder beside a library
// (or from the folder holding it): no one but the folder's owner may
// change it, or the ones on its way, or add a name the loader would take
// at the load or at a later one.
std::string WhyFolderBesideIsUntrusted(const std::string& folder,
                                       std::vector<std::string>* searched) {
  std::string why = WithEveryFolderToMend(SearchRule(folder, true, searched), folder, true);
  if (why.empty()) return why;
  if (why.rfind("it ", 0) == 0) why = folder + why.substr(2);
  return "it finds libraries beside it: " + why;
}

// A folder the loader searches for a library's dependencies; beside: it
// was named through $ORIGIN, so the folder rule for what lies beside holds.
struct SearchedFolder {
  std::string path;
  bool beside = false;
  bool operator==(const SearchedFolder&) const = default;
};

void AddOnce(const std::vector<SearchedFolder>& more, std::vector<SearchedFolder>* to) {
  for (const SearchedFolder& folder : more) {
    if (std::find(to->begin(), to->end(), folder) == to->end()) to->push_back(folder);
  }
}

// Why the loader must not search the folder a name (of a search path, or
// of a dependency named with a path) leads to, once expanded; *searched
// (may be null) gets it and the subfolders the loader looks in first.
std::string WhyNamedFolderIsUntrusted(const std::string& folder, bool beside,
                                      std::vector<SearchedFolder>* searched) {
  if (folder.empty() || folder[0] != '/') {
    return beside ? std::string("it is empty or relative") : WhyRelative(folder);
  }
  std::vector<std::string> found;
  if (beside) {
    if (std::string why = WhyFolderBesideIsUntrusted(folder, &found); !why.empty()) return why;
  } else {
    if (std::string why = WhySearchEntryIsUntrusted(folder); !why.empty()) return why;
    SearchRule(folder, false, &found);
  }
  if (searched != nullptr) {
    for (const std::string& path : found) AddOnce({{path, beside}}, searched);
  }
  return {};
}

// Why the loader must not search an entry of a search path of a library
// in the folder origin, or empty; *searched gets the folders it searches.
std::string WhyEntryIsUntrusted(const std::string& entry, const std::string& origin,
                                std::vector<SearchedFolder>* searched) {
  std::vector<std::string> expanded;
  bool beside = false;
  std::string why = Expanded(entry, origin, &expanded, &beside);
  for (std::size_t i = 0; why.empty() && i < expanded.size(); ++i) {
    why = WhyNamedFolderIsUntrusted(expanded[i], beside, searched);
  }
  return why;
}

// How deep the loader's libraries are judged (the one loaded is level 0),
// how many are judged for one load, and how many names looked for.
constexpr int kMostLevels = 16;
constexpr std::size_t kMostFiles = 256;
constexpr std::size_t kMostLookups = 1 << 16;

// The walk over every library the loader will map for one load: what it
// has judged, and the folders of LD_LIBRARY_PATH (read once).
struct MapWalk {
  std::vector<std::string> seen;
  std::size_t looked = 0;
  std::vector<SearchedFolder> environment;
  bool environment_read = false;
};

// Why a folder of LD_LIBRARY_PATH, which the loader searches for every
// dependency named without a path, must not be searched.
std::string ReadEnvironment(MapWalk* walk) {
  if (walk->environment_read) return {};
  walk->environment_read = true;
  const char* value = std::getenv("LD_LIBRARY_PATH");
  if (value == nullptr) return {};
  for (const std::string& entry : SearchPathEntries(value, ":;")) {
    if (std::string why = WhyNamedFolderIsUntrusted(entry, false, &walk->environment);
        !why.empty()) {
      return "LD_LIBRARY_PATH names \"" + entry + "\", which must not be searched: " + why;
    }
  }
  return {};
}

// One library the loader maps: its names, the folder it was found in
// (its $ORIGIN), how the lines name it, and the RPATH folders of the ones
// that led to it, nearest first (searched for its dependencies too while
// it has no RUNPATH).
struct Mapped {
  const LibraryNames* names;
  std::string folder;
  std::string name;    // "it" for the one loaded, else its path
  std::string prefix;  // before a line about its own names
  std::vector<SearchedFolder> above;
  int level = 0;
};

std::string WhyMappedIsUntrusted(const Mapped& library, MapWalk* walk);

// Why an entry of the library's RUNPATH or RPATH must not be searched (one
// through $ORIGIN by the folder rule for what lies beside, any other as an
// LD_LIBRARY_PATH entry at the start must be), or empty; *runpath and
// *rpath get the folders searched.
std::string WhyEntriesAreUntrusted(const Mapped& library, std::vector<SearchedFolder>* runpath,
                                   std::vector<SearchedFolder>* rpath) {
  const LibraryNames& names = *library.names;
  const std::tuple<const char*, const std::string*, std::vector<SearchedFolder>*> paths[] = {
      {names.has_runpath ? "RUNPATH" : nullptr, &names.runpath, runpath},
      {names.has_rpath ? "RPATH" : nullptr, &names.rpath, rpath}};
  for (const auto& [kind, path, folders] : paths) {
    if (kind == nullptr) continue;
    // The loader splits these at ':' alone.
    for (const std::string& entry : SearchPathEntries(*path, ":")) {
      if (std::string why = WhyEntryIsUntrusted(entry, library.folder, folders); !why.empty()) {
        return library.prefix + "its " + kind + " \"" + *path + "\" names \"" + entry +
               "\", which must not be searched: " + why;
      }
    }
  }
  return {};
}

// Why a file the loader could take for a dependency of the library must
// not be loaded, or empty: the file rule, then its own names, one level
// down. chain: the RPATH folders its dependencies inherit. about: the
// start of a line about it; refused: of one about the file itself.
std::string WhyFileBelowIsUntrusted(const Mapped& library, const SearchedFolder& file,
                                    const std::vector<SearchedFolder>& chain,
                                    const std::string& about, const std::string& refused,
                                    MapWalk* walk) {
  std::string resolved;
  if (std::string why = FileRule(file.path, &resolved, "loadable", file.beside); !why.empty()) {
    return refused + why;
  }
  std::string key = resolved;
  for (const SearchedFolder& folder : chain) key += '\n' + folder.path;
  if (std::find(walk->seen.begin(), walk->seen.end(), key) != walk->seen.end()) return {};
  if (walk->seen.size() >= kMostFiles) {
    return about + "the load needs more than " + std::to_string(kMostFiles) +
           " libraries, more than the engine judges";
  }
  if (library.level + 1 > kMostLevels) {
    return about + "it lies more than " + std::to_string(kMostLevels) +
           " levels of dependencies below the library loaded, deeper than the engine judges";
  }
  walk->seen.push_back(key);
  FileDescriptor held(open(resolved.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  LibraryNames names;
  // What does not read is no library the loader takes.
  if (!held.valid() || !ReadLibraryNames(held.get(), &names)) return {};
  const Mapped below{&names, FolderOf(file.path), file.path, about, chain, library.level + 1};
  return WhyMappedIsUntrusted(below, walk);
}

// Why the library, or one the loader would map for it at any level below,
// must not be loaded, or empty. Its entries must be searchable, the folder
// of each dependency named with a path too, and each file the loader
// could take for a dependency, by its path or in the folders it searches
// in its order (the RPATHs up the chain unless the library has a RUNPATH,
// then LD_LIBRARY_PATH, then its RUNPATH; the system's own folders are
// root's), must pass the file rule and is judged in turn.
std::string WhyMappedIsUntrusted(const Mapped& library, MapWalk* walk) {
  std::vector<SearchedFolder> rpath, runpath;
  if (std::string why = WhyEntriesAreUntrusted(library, &runpath, &rpath); !why.empty()) {
    return why;
  }
  const LibraryNames& names = *library.names;
  // A RUNPATH puts the RPATHs out of its own search, and its own RPATH out
  // of its dependencies' (the loader drops an RPATH beside a RUNPATH).
  std::vector<SearchedFolder> chain;
  if (!names.has_runpath) AddOnce(rpath, &chain);
  AddOnce(library.above, &chain);
  std::vector<SearchedFolder> order;
  if (!names.has_runpath) order = chain;
  bool order_made = false;
  const std::string& who = library.name;
  for (const std::string& name : names.needed) {
    std::vector<std::string> expanded;
    bool beside = false;
    if (std::string why = Expanded(name, library.folder, &expanded, &beside); !why.empty()) {
      return library.prefix + "it needs \"" + name + "\", a name the engine refuses: " + why;
    }
    for (const std::string& file_name : expanded) {
      std::vector<SearchedFolder> files;
      const bool by_path = file_name.find('/') != std::string::npos;
      if (by_path) {
        if (std::string why = WhyNamedFolderIsUntrusted(FolderOf(file_name), beside, nullptr);
            !why.empty()) {
          return library.prefix + "it needs \"" + name +
                 "\", whose folder must not be searched: " + why;
        }
        files.push_back({file_name, beside});
      } else {
        if (!order_made) {
          if (std::string why = ReadEnvironment(walk); !why.empty()) return why;
          AddOnce(walk->environment, &order);
          AddOnce(runpath, &order);
          order_made = true;
        }
        for (const SearchedFolder& folder : order) {
          files.push_back({folder.path + "/" + file_name, folder.beside});
        }
      }
      for (const SearchedFolder& file : files) {
        if (++walk->looked > kMostLookups) {
          return library.prefix + "it has the loader look for more than " +
                 std::to_string(kMostLookups) + " files, more than the engine judges";
        }
        struct stat s {};
        if (lstat(file.path.c_str(), &s) != 0 && errno == ENOENT) continue;
        const std::string about =
            "the library " + file.path +
            (file.beside && !by_path && library.level == 0 ? " beside it" : "") + ", which " + who +
            " needs, must not be loaded: ";
        const std::string refused =
            by_path ? who + " needs " + file.path + ", which must not be loaded: " : about;
        if (std::string why = WhyFileBelowIsUntrusted(library, file, chain, about, refused, walk);
            !why.empty()) {
          return why;
        }
      }
    }
  }
  return {};
}

// The RPATH folders the loader searches for the dependencies of every
// library this process loads that has no RUNPATH: the program's, unless it
// has a RUNPATH (the loader drops an RPATH beside one). The program asks
// for every load itself: this code is linked into it.
std::string WhyProgramsSearchIsUntrusted(std::vector<SearchedFolder>* above) {
  // Read once: the program mapped does not change while it runs.
  static const std::pair<LibraryNames, std::string> kProgram = [] {
    const char* const program = "/proc/self/exe";
    FileDescriptor held(open(program, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    LibraryNames names;
    if (!held.valid() || !ReadLibraryNames(held.get(), &names)) names = {};
    char path[PATH_MAX];
    return std::pair(names, FolderOf(realpath(program, path) != nullptr ? path : program));
  }();
  const auto& [names, folder] = kProgram;
  if (!names.has_rpath || names.has_runpath) return {};
  for (const std::string& entry : SearchPathEntries(names.rpath, ":")) {
    if (std::string why = WhyEntryIsUntrusted(entry, folder, above); !why.empty()) {
      return "the program's RPATH \"" + names.rpath + "\", searched for its needs too, names \"" +
             entry + "\", which must not be searched: " + why;
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
  if (std::string why = WhyFolderIsOpenToOthers(folder_path, folder_stat, folder.get());
      !why.empty()) {
    return why;
  }
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
  const std::string folder_path = FolderOf(opened.path);
  if (!ReadLibraryNames(opened.file.get(), &names)) names = {};
  const bool beside = NamesOrigin(names);
  // It is loaded by its name, for $ORIGIN: its own folder is judged as
  // one the loader searches.
  if (beside) {
    if (std::string why = WhyFolderBesideIsUntrusted(folder_path, nullptr); !why.empty()) {
      return why;
    }
  }
  Mapped loaded{&names, folder_path, "it", "", {}, 0};
  if (std::string why = WhyProgramsSearchIsUntrusted(&loaded.above); !why.empty()) return why;
  MapWalk walk;
  walk.seen.push_back(opened.path);
  if (std::string why = WhyMappedIsUntrusted(loaded, &walk); !why.empty()) return why;
  opened.beside = beside;
  *checked = std::move(opened);
  return {};
}

std::string OthersLinkOnWay(const std::string& path) {
  // The walk that opens a folder for writes: one rule for both.
  std::string link;
  int error = 0;
  OpenFolderOnWay(path.empty() ? std::string(".") : path, &link, &error);
  return link;
}

}  // namespace platform
