// The POSIX side of loading libraries at run time: dlopen with the
// floating-point environment kept, symbol lookup, the check that a symbol
// belongs to the library itself and not to one of its dependencies, and the
// file-system questions of the search.
#pragma once

#include <string>
#include <vector>

#include "platform/posix_file.h"

namespace platform {

struct LibraryOpen {
  void* handle = nullptr;
  std::string error;                     // dlerror() text when handle is null
  bool floating_point_restored = false;  // the library changed it on load
};

// RTLD_NOW | RTLD_LOCAL. A library's initialisers may change the
// floating-point control settings (rounding, traps, flush-to-zero); they
// are put back as they were before the call.
LibraryOpen OpenLibrary(const std::string& path);

// The address of a symbol found through the handle (the library and its
// dependencies), or null.
void* LibrarySymbol(void* handle, const char* name);

// True when the address lies in the library of the handle itself.
bool SymbolIsInLibrary(void* handle, const void* address);

// True when closed; otherwise *error holds the dlerror() text.
bool CloseLibrary(void* handle, std::string* error);

// The absolute path of the file the handle was loaded from.
std::string LibraryPath(void* handle);

// The folder of the running executable, without a trailing separator.
std::string ExecutableFolder();

bool IsRegularFile(const std::string& path);

// Why a library file the search found must not be opened, or empty when it
// may be: the engine runs the code of what it loads, so it takes only what
// no one but its own user (or root) can have put or changed there. The file
// must be a regular file of this user's or root's that neither its group
// nor others can write to; every folder on its way this user's or root's,
// and either closed to others' writes or sticky; every symbolic link on its
// way this user's or root's. *resolved (may be null) gets the file's path
// with the links followed: the one to open.
std::string WhyLibraryIsUntrusted(const std::string& path, std::string* resolved);
// The same rule for any file whose bytes the engine runs or reads for what
// it names to run (a build's makefile and sources, the start-up file); a
// chmod that would help is named as making it `made` ("usable").
std::string WhyFileIsUntrusted(const std::string& path, std::string* resolved, const char* made);

// Why an LD_LIBRARY_PATH entry must not be searched, or empty: the
// folders on its way and the folder itself pass the folder rule, every link
// on its way is this user's or root's, and none lies in /proc (whose links
// follow the process: its current folder, its descriptors). The loader
// checks nothing it finds there, so the folder itself must be closed to
// others' writes, sticky or not; a missing entry is judged so by the
// nearest folder above it that exists (others could make it). So is every
// subfolder the loader looks in first (glibc-hwcaps/<level>, tls, ...).
// *resolved (may be null) gets the folder with the links followed.
std::string WhySearchFolderIsUntrusted(const std::string& path, std::string* resolved);

// The names the system loader reads from a library's dynamic section.
struct LibraryNames {
  std::vector<std::string> needed;
  std::string rpath, runpath;
  bool has_rpath = false, has_runpath = false;
};

// Reads them from the library file open at fd: false when it is no 64-bit
// ELF file whose dynamic section reads (the loader refuses such a file).
bool ReadLibraryNames(int fd, LibraryNames* names);

// The first symbolic link on the path's way (its own name included), as
// the system resolves it, that belongs to neither this user nor root; empty
// when there is none, or when the way ends before one (a name that is not
// there, a link that cannot be read, too many links). A relative path is
// taken from the current folder.
std::string OthersLinkOnWay(const std::string& path);

// A library file the trust check took, held open: its folder and the file
// itself. What OpenLibrary loads from it is the file that was checked,
// whatever becomes of its name meanwhile.
struct CheckedLibrary {
  std::string path;  // the file's path, links followed: the name in messages
  FileDescriptor folder;
  FileDescriptor file;
  // It names libraries beside it ($ORIGIN), each of which passed the check.
  bool beside = false;
};

// The trust check of WhyLibraryIsUntrusted, then the file opened once
// without following a link and checked again through its descriptor (owner,
// mode, type), and its folder likewise: empty with *checked filled, or why
// it must not be loaded. A library that finds others beside it ($ORIGIN
// in its search paths or dependencies) lies in a folder that no one but
// its owner can change (group write counted whatever the group file
// lists), reached through folders no one else can rename. The loader's
// tokens are read as it reads them ("$ORIGINX" is a name, not $ORIGIN)
// and taken only alone, before a '/' or at the end. Every library the
// loader would map for it is judged through its own names, level by level
// (at most 16 below it): every entry of its RUNPATH and RPATH, and the
// folder of every dependency named with a path, must be searchable (one
// through $ORIGIN as the folder beside is, any other by
// WhySearchEntryIsUntrusted, as an LD_LIBRARY_PATH entry at the start
// must be: an empty entry is the current folder to the loader), and every
// file the loader could take for a dependency there (the RPATHs of the
// libraries above it while it has no RUNPATH, LD_LIBRARY_PATH, its
// RUNPATH) must pass WhyLibraryIsUntrusted, and is judged in turn.
std::string CheckLibraryFile(const std::string& path, CheckedLibrary* checked);
// Its first part (the file and its folder, checked again through their
// descriptors) for any file that WhyFileIsUntrusted takes, held open to be
// read; no libraries beside it are looked for.
std::string CheckFile(const std::string& path, const char* made, CheckedLibrary* checked);

// Loads the checked file through its descriptor; the error text names
// checked.path. A library with libraries beside it is loaded by that
// name, while it still leads to the file checked (only its owner can
// change that), so that $ORIGIN is its real folder for as long as it is
// loaded and the loader takes the checked files beside it.
LibraryOpen OpenLibrary(const CheckedLibrary& checked);

// The name of an entry of the folder equal to name ignoring case, or empty.
std::string FindFileIgnoringCase(const std::string& folder, const std::string& name);

}  // namespace platform
