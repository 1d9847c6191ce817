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

// Every name the loader may make of the text: its other tokens replaced
// by each thing they may stand for ($LIB is fixed when the C library is
// built, $PLATFORM is the processor's kind), then $ORIGIN by the folder.
// False when it has no $ORIGIN.
bool Expanded(const std::string& text, const std::string& origin, std::vector<std::string>* out) {
  struct Token {
    const char* spellings[2];
    std::vector<std::string> values;
  };
  static const Token kTokens[] = {
      {{"${LIB}", "$LIB"}, {"lib/x86_64-linux-gnu", "lib64", "lib"}},
      {{"${PLATFORM}", "$PLATFORM"}, {"x86_64", "haswell", "xeon_phi"}}};
  std::vector<std::string> names{text};
  for (const Token& token : kTokens) {
    std::vector<std::string> next;
    for (const std::string& name : names) {
      if (name.find(token.spellings[0]) == std::string::npos &&
          name.find(token.spellings[1]) == std::string::npos) {
        next.push_back(name);
        continue;
      }
      for (const std::string& value : token.values) {
        next.push_back(
            Renamed(Renamed(name, token.spellings[0], value), token.spellings[1], value));
      }
    }
    names = std::move(next);
  }
  bool found = false;
  out->clear();
  for (const std::string& name : names) {
    std::string with;
    found = WithOrigin(name, origin, &with) || found;
    out->push_back(with);
  }
  return found;
}

// The folders of a search path that lie by the library ($ORIGIN), with its
// folder put in.
std::vector<std::string> FoldersBeside(const std::string& search, const std::string& origin) {
  std::vector<std::string> folders;
  for (const std::string& entry : SearchPathEntries(search, ":")) {
    std::vector<std::string> expanded;
    if (Expanded(entry, origin, &expanded)) {
      folders.insert(folders.end(), expanded.begin(), expanded.end());
    }
  }
  return folders;
}

bool NamesOrigin(const LibraryNames& names) {
  std::string ignored;
  for (const std::string& name : names.needed) {
    if (WithOrigin(name, "", &ignored)) return true;
  }
  return WithOrigin(names.rpath, "", &ignored) || WithOrigin(names.runpath, "", &ignored);
}

// Why the loader must not take what the library names as written, or
// empty: an entry of its RUNPATH or RPATH without $ORIGIN, or the folder
// of a dependency named with a path, that WhySearchEntryIsUntrusted
// refuses ($LIB and $PLATFORM stand for each of their values), such a
// dependency that WhyLibraryIsUntrusted refuses, and one with $ORIGIN
// that would not start at the root. What lies beside it (in origin, its
// folder) WhyBesideIsUntrusted judges.
std::string WhyNamedFoldersAreUntrusted(const LibraryNames& names, const std::string& origin) {
  // Every folder the name may stand for: "" when it may be searched.
  const auto judged = [&](const std::string& name) {
    std::vector<std::string> folders;
    const bool beside = Expanded(name, origin, &folders);
    for (const std::string& folder : folders) {
      if (!beside) {
        if (std::string why = WhySearchEntryIsUntrusted(folder); !why.empty()) return why;
      } else if (folder.empty() || folder[0] != '/') {
        return std::string("it is empty or relative");
      }
    }
    return std::string();
  };
  const std::pair<const char*, const std::string*> paths[] = {
      {names.has_runpath ? "RUNPATH" : nullptr, &names.runpath},
      {names.has_rpath ? "RPATH" : nullptr, &names.rpath}};
  for (const auto& [kind, path] : paths) {
    if (kind == nullptr) continue;
    // The loader splits these at ':' alone.
    for (const std::string& entry : SearchPathEntries(*path, ":")) {
      if (std::string why = judged(entry); !why.empty()) {
        return std::string("its ") + kind + " \"" + *path + "\" names \"" + entry +
               "\", which must not be searched: " + why;
      }
    }
  }
  for (const std::string& name : names.needed) {
    const std::size_t slash = name.rfind('/');
    if (slash == std::string::npos) continue;
    const std::string folder = slash == 0 ? std::string("/") : name.substr(0, slash);
    if (std::string why = judged(folder); !why.empty()) {
      return "it needs \"" + name + "\", whose folder must not be searched: " + why;
    }
    std::vector<std::string> files;
    if (Expanded(name, origin, &files)) continue;
    for (const std::string& file : files) {
      struct stat s {};
      if (lstat(file.c_str(), &s) != 0 && errno == ENOENT) continue;
      if (std::string why = FileRule(file, nullptr, "loadable", false); !why.empty()) {
        return "it needs " + file + ", which must not be loaded: " + why;
      }
    }
  }
  return {};
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

// Why a library the loader could take from beside the one whose names
// these are (in origin, its folder) must not be loaded, or empty. Each
// folder searched there passes WhyFolderBesideIsUntrusted, and each file
// in them that answers a dependency's name passes the file check, and so,
// in turn, do the ones beside it. inherited: the folders beside of the
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
  std::vector<std::string> searched;
  for (const std::string& folder : folders) {
    if (std::string why = WhyFolderBesideIsUntrusted(folder, &searched); !why.empty()) return why;
  }
  for (const std::string& name : names.needed) {
    std::vector<std::string> files;
    if (name.find('/') != std::string::npos) {
      std::vector<std::string> named;
      if (Expanded(name, origin, &named)) files = named;
      for (const std::string& file : files) {
        const std::string folder = file.substr(0, std::max<std::size_t>(file.rfind('/'), 1));
        if (std::string why = WhyFolderBesideIsUntrusted(folder, nullptr); !why.empty()) {
          return why;
        }
      }
    } else {
      for (const std::string& folder : searched) files.push_back(folder + "/" + name);
    }
    for (const std::string& file : files) {
      struct stat s {};
      if (lstat(file.c_str(), &s) != 0 && errno == ENOENT) continue;
      std::string resolved;
      if (std::string why = FileRule(file, &resolved, "loadable", true); !why.empty()) {
        return "the library " + file + " beside it, which it needs, must not be loaded: " + why;
      }
      if (std::find(seen->begin(), seen->end(), resolved) != seen->end()) continue;
      if (seen->size() >= kMostFiles) return "it needs too many libraries beside it";
      seen->push_back(resolved);
      FileDescriptor held(open(resolved.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      LibraryNames more;
      if (!held.valid() || !ReadLibraryNames(held.get(), &more)) continue;
      // The loader's $ORIGIN for it is the folder it was found in.
      const std::string folder = file.substr(0, std::max<std::size_t>(file.rfind('/'), 1));
      if (std::string why = WhyNamedFoldersAreUntrusted(more, folder); !why.empty()) {
        return "the library " + file + " beside it, which it needs, must not be loaded: " + why;
      }
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
  const std::size_t slash = opened.path.rfind('/');
  const std::string folder_path = slash == 0 ? std::string("/") : opened.path.substr(0, slash);
  if (!ReadLibraryNames(opened.file.get(), &names)) names = {};
  if (std::string why = WhyNamedFoldersAreUntrusted(names, folder_path); !why.empty()) return why;
  if (NamesOrigin(names)) {
    // It is loaded by its name, for $ORIGIN: its own folder is judged as
    // one the loader searches.
    if (std::string why = WhyFolderBesideIsUntrusted(folder_path, nullptr); !why.empty()) {
      return why;
    }
    std::vector<std::string> seen{opened.path};
    if (std::string why = WhyBesideIsUntrusted(names, folder_path, {}, &seen); !why.empty()) {
      return why;
    }
    opened.beside = true;
  }
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
