#include "control/problem/run_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/files/file_utilities.h"
#include "framework/libraries/library_loader.h"
#include "platform/posix_file.h"
#include "platform/registry.h"

namespace SimWorkingFolder {

namespace {

constexpr char kSeparator = '/';

bool Exists(const std::string& path) { return platform::PathExists(path.c_str()); }

// What stands at the lock file's name when it is not a file of ours that
// a lock can be taken on: empty for such a file (or none).
std::string Unlockable(const struct stat& s) {
  if (S_ISLNK(s.st_mode)) return " is a symbolic link";
  if (S_ISDIR(s.st_mode)) return " is a folder";
  if (S_ISFIFO(s.st_mode)) return " is a named pipe";
  if (S_ISSOCK(s.st_mode)) return " is a socket";
  if (!S_ISREG(s.st_mode)) return " is a device";
  // Its owner could hold it for ever, or let another in beside us.
  if (s.st_uid != ::geteuid()) {
    return " belongs to another user (uid " + std::to_string(s.st_uid) + ")";
  }
  return {};
}

// Opens (creating when missing) the lock file `name` in the folder open as
// `folder` and takes its exclusive lock without waiting: the descriptor, or
// -1 when another process holds it (*busy) or no lock can be taken (*refused
// then says why after "its lock file NAME"). Only a plain file of ours is
// locked: anything else there would let engines in beside each other. A
// file unlinked by its last holder between our open and our lock is not a
// lock: the name is opened again.
int TakeLockIn(int folder, const char* name, bool* busy, std::string* refused) {
  *busy = false;
  refused->clear();
  for (int attempt = 0; attempt < 4; ++attempt) {
    struct stat named {};
    if (::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0) {
      *refused = Unlockable(named);
      if (!refused->empty()) return -1;
    }
    // Non-blocking: a pipe swapped in after the look does not hold us.
    const int fd =
        ::openat(folder, name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) {
      const int error = errno;
      const bool there = ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0;
      if (there) *refused = Unlockable(named);
      if (refused->empty()) {
        *refused = (there ? " cannot be opened: " : " cannot be made: ") +
                   std::string(std::strerror(error));
      }
      return -1;
    }
    struct stat held {};
    *refused = ::fstat(fd, &held) == 0 ? Unlockable(held)
                                       : std::string(" cannot be read: ") + std::strerror(errno);
    if (!refused->empty()) {
      ::close(fd);
      return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      *busy = error == EWOULDBLOCK;
      if (!*busy) *refused = std::string(" cannot be locked: ") + std::strerror(error);
      ::close(fd);
      return -1;
    }
    if (::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && held.st_ino == named.st_ino &&
        held.st_dev == named.st_dev) {
      return fd;
    }
    ::close(fd);
  }
  *refused = " keeps changing";
  return -1;
}

// Takes the lock file (made when missing) and deletes it: kOk; kFailure
// while another process holds it; kCannotCreate when no lock can be taken
// there (*why then names what stands at its name).
Status DeleteUnlessHeld(const std::string& path, std::string* why) {
  bool busy = false;
  std::string refused;
  const int fd = TakeLockIn(AT_FDCWD, path.c_str(), &busy, &refused);
  if (fd < 0) {
    if (busy) return kFailure;
    if (why != nullptr) *why = "its lock file " + path + refused;
    return kCannotCreate;
  }
  const bool removed = ::unlink(path.c_str()) == 0;
  ::close(fd);
  return removed ? kOk : kFailure;
}

// Creates the lock file when missing: false when it cannot be made.
bool MakeLockFile(const std::string& path) {
  if (Exists(path)) return true;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// A symbolic link whose owner is neither this process's user nor root.
bool IsOthersLink(const std::string& path) {
  std::string name = path;
  while (name.size() > 1 && name.back() == kSeparator) name.pop_back();
  struct stat s {};
  if (::lstat(name.c_str(), &s) != 0 || !S_ISLNK(s.st_mode)) return false;
  return s.st_uid != ::geteuid() && s.st_uid != 0;
}

bool Writable(const std::string& path) {
  std::uint32_t flags = 0;
  return QueryPath(path.c_str(), &flags) == kOk && (flags & kPathWritable) != 0;
}

// Copies over a target that may be read-only: 0 or 0x8000FFFF. Others may
// write in the run folder: a link planted under either name is neither read
// nor written through.
Status CopyOver(const char* source, const char* target) { return CopyOverName(source, target); }

}  // namespace

std::string WithSeparator(std::string folder) {
  if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') folder += kSeparator;
  return folder;
}

Status GetCurrentFolder(std::string* folder) {
  std::string path;
  if (!platform::CurrentDirectory(&path)) return kFailure;
  *folder = WithSeparator(path);
  return kOk;
}

Status RemoveFile(const char* path) {
  if (path == nullptr) return kFailure;
  return platform::RemoveFile(NativeFilePath(path).c_str()) ? kOk : kFailure;
}

Status CheckFolder(const char* folder, const char* name, std::string* why) {
  const bool has_folder = folder != nullptr && folder[0] != '\0';
  std::string path = has_folder ? WithSeparator(NativeFilePath(folder)) : std::string();
  path += NativeFilePath(name != nullptr ? name : "");
  std::uint32_t flags = 0;
  const bool exists = QueryPath(path.c_str(), &flags) == kOk;
  if (exists && (flags & kPathWritable) != 0) {
    // What keeps every engine from the lock (a link, a folder, another
    // user's file) keeps them all from the folder.
    return DeleteUnlessHeld(WithSeparator(path) + kLockFileName, why);
  }
  if (!exists) {
    if (!has_folder) return 0;
    const std::string parent = NativeFilePath(folder);
    if (!Writable(parent)) return kCannotCreate;
    // The folder itself may be some engine's run folder: its lock is left alone.
    const std::string lock = WithSeparator(parent) + kLockFileName;
    if (Exists(lock)) return 0;
    if (!MakeLockFile(lock)) return kCannotCreate;
    ::unlink(lock.c_str());
    return 0;
  }
  return kCannotCreate;
}

Status BackUpOrRestore(const std::function<void()>& restored) {
  if (!Exists("snapshot.bak")) {
    Status result = 0;
    if (Exists("snapshot.snp")) result = CopyOver("snapshot.snp", "snapshot.bak");
    if (Exists("PlotData.cpd")) result = CopyOver("PlotData.cpd", "PlotData.bak");
    return result;
  }
  // The last run did not end cleanly: its back-ups are the files to trust.
  Status result = CopyOver("snapshot.bak", "snapshot.snp");
  if (Exists("PlotData.bak")) {
    const Status plots = CopyOver("PlotData.bak", "PlotData.cpd");
    if (result == 0) result = plots;
  }
  // Only a restore that happened is announced.
  if (restored && result == 0) restored();
  return result;
}

Status DeleteResultFiles(int folder) {
  Status result = kFailure;
  if (folder < 0) return result;
  for (const char* name : {"snapshot.snp", "PlotData.cpd"}) {
    struct stat info {};
    if (::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    result = ::unlinkat(folder, name, 0) == 0 ? kOk : kFailure;
  }
  return result;
}

void DeleteTempFiles(int folder) {
  if (folder < 0) return;
  // The listing reads through its own descriptor, closed with it.
  const int listed = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
  if (dir == nullptr) {
    if (listed >= 0) ::close(listed);
    return;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    if (MatchFilePattern(entry->d_name, "*.tmp")) names.push_back(entry->d_name);
  }
  ::closedir(dir);
  for (const std::string& name : names) {
    // Removing a name needs no write bit on the file, and a link goes
    // itself: nothing it leads to is touched.
    struct stat info {};
    if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(info.st_mode))
      continue;
    ::unlinkat(folder, name.c_str(), 0);
  }
}

Folders::~Folders() {
  CloseLock();
  if (!search_path_.empty()) XosDynamicLibrary::RemoveSearchPath(search_path_.c_str());
  if (!working_.empty()) XosDynamicLibrary::RemoveSearchPath(working_.c_str());
}

Status Folders::SetWorkingFolder(const char* folder) {
  if (!working_.empty()) XosDynamicLibrary::RemoveSearchPath(working_.c_str());
  working_ = folder != nullptr && folder[0] != '\0' ? WithSeparator(NativeFilePath(folder)) : "";
  if (working_.empty()) return kFailure;
  // Kept absolute: the engine changes into the run folder later.
  std::string current;
  if (working_[0] != '/' && GetCurrentFolder(&current) == kOk) working_ = current + working_;
  // Behind the installations found at the first attach, which a later
  // naming does not look up again: a copy of an installed library in a
  // working folder must not take its place.
  return XosDynamicLibrary::AddSearchPath(working_.c_str(), true);
}

std::string Folders::RunFolder() const {
  return run_folder_.empty() ? working_ + "NULL" + kSeparator : run_folder_;
}

bool Folders::HoldsLockIn(int folder) const {
  struct stat held {};
  struct stat named {};
  return lock_fd_ >= 0 && ::fstat(lock_fd_, &held) == 0 &&
         ::fstatat(folder, kLockFileName, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         held.st_ino == named.st_ino && held.st_dev == named.st_dev;
}

void Folders::CloseLock() {
  if (lock_fd_ < 0) return;
  // Deleted while still locked, so that no one takes a lock on a dying file.
  ::unlink(lock_path_.c_str());
  ::close(lock_fd_);
  lock_fd_ = -1;
  lock_path_.clear();
}

Status Folders::OpenRunFolder(std::string* why) {
  if (why != nullptr) why->clear();
  if (pending_name_.empty()) return kNoPendingName;
  if (working_.empty()) {
    std::string current;
    if (GetCurrentFolder(&current) == kOk) working_ = current;
  } else {
    SetCurrentFolder(working_.c_str());
  }
  const std::string name = pending_name_;
  const std::string folder = working_ + NativeFilePath(name.c_str());
  tried_folder_ = WithSeparator(folder);
  int error = 0;
  Status made = kOk;
  if (!platform::MakeDirectory(folder.c_str(), &error) && error != EEXIST) made = kFailure;
  std::string refused;
  platform::FileDescriptor entered;
  if (made == kOk) {
    // Entered through a descriptor opened without following a link: a
    // link swapped in after a look at the name would not be followed.
    std::string path = folder;
    while (path.size() > 1 && path.back() == kSeparator) path.pop_back();
    entered = platform::FileDescriptor(
        ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    error = errno;
    if (entered.valid()) {
      // Opened as it is.
    } else if (IsOthersLink(folder)) {
      // Planted in a shared working folder, it would lead the engine to
      // clean and overwrite files somewhere else.
      made = kFailure;
      refused = "it is a symbolic link of another user";
    } else if (error == ELOOP || error == ENOTDIR) {
      entered = platform::FileDescriptor(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      error = errno;
      if (!entered.valid()) made = kFailure;
    } else {
      made = kFailure;
    }
  }
  // The lock comes before the folder is entered: nothing in a folder
  // another engine holds is reused, and a folder whose lock cannot be
  // taken is no engine's to enter.
  int lock = -1;
  const bool kept = made == kOk && HoldsLockIn(entered.get());
  if (made == kOk && !kept) {
    bool busy = false;
    lock = TakeLockIn(entered.get(), kLockFileName, &busy, &refused);
    if (busy) {
      made = kInUse;
      refused = "it is in use by another engine";
    } else if (lock < 0) {
      made = kCannotCreate;
      refused = "its lock file " + tried_folder_ + kLockFileName + refused;
    }
  }
  if (made == kOk && ::fchdir(entered.get()) != 0) {
    made = kFailure;
    error = errno;
  }
  pending_name_.clear();
  if (made != kOk && why != nullptr) *why = refused.empty() ? std::strerror(error) : refused;
  std::string here;
  if (made == kOk) {
    // From here on what the engine deletes in its run folder goes through
    // the folder it entered.
    run_name_ = name;
    run_folder_ = tried_folder_;
    run_fd_ = std::move(entered);
    if (!kept) {
      CloseLock();
      lock_fd_ = lock;
      if (lock >= 0 && GetCurrentFolder(&here) == kOk) lock_path_ = here + kLockFileName;
    }
  } else if (lock >= 0) {
    ::close(lock);
  }

  if (!search_path_.empty()) XosDynamicLibrary::RemoveSearchPath(search_path_.c_str());
  search_path_.clear();
  if (!pending_search_path_.empty()) {
    search_path_ = pending_search_path_;
    XosDynamicLibrary::AddSearchPath(search_path_.c_str());
    pending_search_path_.clear();
  }
  return made;
}

namespace {

constexpr char kVersion[] = "38.0";
constexpr Status kLookupFailure = 0xA032FFFFu;

std::string Format(const char* pattern, const char* value) {
  std::string text;
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      text += value;
      ++p;
    } else {
      text += *p;
    }
  }
  return text;
}

struct Installation {
  const char* compatibility;
  const char* product;
  const char* value;
  const char* sub_folder;
  const char* missing;  // null: nothing is said
  bool report_key;
};

// Searches the versions listed under the compatibility key; the first whose
// product key names a folder wins, and the folder goes on the search path.
std::int32_t Find(const Installation& what, bool user_first, const LookupReport& report) {
  const std::string key_name = Format(what.compatibility, kVersion);
  platform::HKEY compatibility = nullptr;
  bool opened = false;
  if (user_first) {
    opened = platform::RegOpenKeyExA(platform::HKEY_CURRENT_USER, key_name.c_str(), 0,
                                     platform::KEY_READ, &compatibility) == platform::ERROR_SUCCESS;
  }
  if (!opened) {
    opened = platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE, key_name.c_str(), 0,
                                     platform::KEY_READ, &compatibility) == platform::ERROR_SUCCESS;
  }
  if (!opened) {
    if (what.report_key && report && !platform::RegistryFileUnread()) {
      report(kLookupFailure, "Couldn't find registry key HKLM\\" + key_name);
    }
    return 1;
  }
  std::string found;
  for (const char* slot : {"1", "2", "3"}) {
    std::string version;
    if (!platform::RegQueryText(compatibility, slot, 0, &version)) break;
    platform::HKEY product = nullptr;
    const std::string product_name = Format(what.product, version.c_str());
    if (platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE, product_name.c_str(), 0,
                                platform::KEY_READ, &product) != platform::ERROR_SUCCESS) {
      continue;
    }
    const bool read = platform::RegQueryText(product, what.value, 0, &found);
    platform::RegCloseKey(product);
    if (read) break;
    found.clear();
  }
  platform::RegCloseKey(compatibility);
  if (found.empty()) {
    if (what.missing != nullptr && report) report(kLookupFailure, what.missing);
    return 1;
  }
  // dlopen does not read PATH: the engine's own library search list does.
  const std::string folder = WithSeparator(NativeFilePath(found.c_str())) + what.sub_folder;
  for (const std::string& known : XosDynamicLibrary::SearchPaths()) {
    if (known == folder) return 0;
  }
  XosDynamicLibrary::AddSearchPath(folder.c_str());
  return 0;
}

}  // namespace

std::int32_t FindSolverFramework(const LookupReport& report) {
  static const Installation kvs{
      "SOFTWARE\\Brunvald\\QVSystem\\%s\\Compatibility\\KVS",
      "SOFTWARE\\Brunvald\\KVS\\%s",
      "KVSTOP",
      "bin",
      "Failed to find a compatibile version of Orvel Open Solvers\nKVS is needed to run any "
      "simulations",
      true};
  return Find(kvs, false, report);
}

std::int32_t FindModellingFramework(const LookupReport& report) {
  static const Installation tanq{"SOFTWARE\\Brunvald\\QVSystem\\%s\\Compatibility\\TANQ",
                                 "SOFTWARE\\Brunvald\\TANQ\\%s",
                                 "tanqtop",
                                 "xeq",
                                 "Failed to find a compatibile version of TANQ",
                                 true};
  return Find(tanq, false, report);
}

std::int32_t FindPropertiesSystem(const LookupReport& report) {
  static const Installation lumet{"SOFTWARE\\Brunvald\\QVSystem\\%s\\Compatibility\\LumetSystem",
                                  "SOFTWARE\\Brunvald\\LumetSystem\\%s\\gravik",
                                  "orvtop",
                                  "xeq",
                                  nullptr,
                                  false};
  return Find(lumet, true, report);
}

}  // namespace SimWorkingFolder
