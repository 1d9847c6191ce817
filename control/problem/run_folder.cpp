#include "control/problem/run_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// Beside the lock file: held by an engine while it replaces a lock file
// that others can open, so that of two engines replacing the same one
// neither removes the lock file the other has just made.
constexpr char kRenewalName[] = "OrvelQVLock.aml.renew";

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

// Said after what stands at the lock file's name and keeps every engine out.
constexpr char kRemoveIt[] = ": remove it to run there";

// A lock needs only a descriptor, and reading is enough for one: a lock
// file that anyone but its owner may open is one they could hold for ever.
// (With an access list, the group bits are its mask.)
bool OpenToOthers(const struct stat& s) { return (s.st_mode & (S_IRWXG | S_IRWXO)) != 0; }

std::string ModeText(const struct stat& s) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(s.st_mode & 07777));
  return text;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

int TakeLockIn(int folder, const char* name, bool* busy, std::string* refused, bool renew);

// Removes the lock file at `name` while it is still one of ours that others
// can open (an engine before this rule made it so, or the user did): false,
// with *refused, when it cannot be. Only an engine holding the renewal lock
// beside it removes such a file, and only such a file, so a closed lock file
// another engine made meanwhile stays.
bool RemoveOpenLockFile(int folder, const char* name, const struct stat& seen,
                        std::string* refused) {
  const std::string open = " can be opened by other users (mode " + ModeText(seen) + ")";
  bool busy = false;
  std::string why;
  const int renewal = TakeLockIn(folder, kRenewalName, &busy, &why, false);
  if (renewal < 0) {
    *refused =
        open + " and is not replaced (" + kRenewalName + " beside it" + why + ")" + kRemoveIt;
    return false;
  }
  bool removed = true;
  struct stat named {};
  if (::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && Unlockable(named).empty() &&
      OpenToOthers(named) && ::unlinkat(folder, name, 0) != 0) {
    *refused = open + " and cannot be replaced: " + std::strerror(errno) + kRemoveIt;
    removed = false;
  }
  // Kept: engines waiting for it would otherwise lock a file no longer there.
  ::close(renewal);
  return removed;
}

// Opens the lock file `name` in the folder open as `folder`, or makes it
// closed to everyone but us from its first moment, and takes its exclusive
// lock: the descriptor, or -1 when another process holds it (*busy) or no
// lock can be taken (*refused then says why after "its lock file NAME").
// Only a plain file of ours that no one else can open is locked: anything
// else there would let engines in beside each other or keep them all out.
// With `renew`, a file of ours that others can open is replaced; without,
// it is refused and the lock is waited for (the renewal lock, held briefly).
// A file unlinked by its last holder between our open and our lock is not
// a lock: the name is opened again.
int TakeLockIn(int folder, const char* name, bool* busy, std::string* refused, bool renew) {
  *busy = false;
  refused->clear();
  for (int attempt = 0; attempt < 8; ++attempt) {
    refused->clear();
    struct stat named {};
    int fd = -1;
    if (::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0) {
      *refused = Unlockable(named);
      if (!refused->empty()) {
        if (renew) *refused += kRemoveIt;
        return -1;
      }
      if (OpenToOthers(named)) {
        if (!renew) {
          *refused = " can be opened by other users (mode " + ModeText(named) + ")";
          return -1;
        }
        if (!RemoveOpenLockFile(folder, name, named, refused)) return -1;
        continue;
      }
      // Non-blocking: a pipe swapped in after the look does not hold us.
      fd = ::openat(folder, name, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
      if (fd < 0 && errno == ENOENT) continue;
    } else {
      fd = ::openat(folder, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                    0600);
      if (fd < 0 && errno == EEXIST) continue;
    }
    if (fd < 0) {
      const int error = errno;
      const bool there = ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0;
      if (there) *refused = Unlockable(named);
      if (!refused->empty() && renew) *refused += kRemoveIt;
      if (refused->empty()) {
        *refused = (there ? " cannot be opened: " : " cannot be made: ") +
                   std::string(std::strerror(error));
      }
      return -1;
    }
    struct stat held {};
    if (::fstat(fd, &held) != 0) {
      *refused = std::string(" cannot be read: ") + std::strerror(errno);
      ::close(fd);
      return -1;
    }
    *refused = Unlockable(held);
    if (!refused->empty()) {
      if (renew) *refused += kRemoveIt;
      ::close(fd);
      return -1;
    }
    if (OpenToOthers(held)) {
      // Changed since the look: looked at again.
      ::close(fd);
      continue;
    }
    if (::flock(fd, LOCK_EX | (renew ? LOCK_NB : 0)) != 0) {
      const int error = errno;
      *busy = error == EWOULDBLOCK;
      if (!*busy) *refused = std::string(" cannot be locked: ") + std::strerror(error);
      ::close(fd);
      return -1;
    }
    if (::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(held, named)) {
      return fd;
    }
    ::close(fd);
  }
  *refused = " keeps changing";
  return -1;
}

// Takes the lock file of `folder` (made when missing) and deletes it: kOk;
// kFailure while another process holds it; kCannotCreate when no lock can
// be taken there (*why then names what stands at its name).
Status DeleteUnlessHeld(const std::string& folder, std::string* why) {
  const std::string path = WithSeparator(folder) + kLockFileName;
  const platform::FileDescriptor opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  bool busy = false;
  std::string refused = std::string(" cannot be made: ") + std::strerror(errno);
  const int fd =
      opened.valid() ? TakeLockIn(opened.get(), kLockFileName, &busy, &refused, true) : -1;
  if (fd < 0) {
    if (busy) return kFailure;
    if (why != nullptr) *why = "its lock file " + path + refused;
    return kCannotCreate;
  }
  const bool removed = ::unlinkat(opened.get(), kLockFileName, 0) == 0;
  ::close(fd);
  return removed ? kOk : kFailure;
}

// Whether a lock file can be made at `path`: made closed, locked and
// deleted again; one already there is not ours to touch.
bool CanMakeLockFile(const std::string& path) {
  const int fd =
      ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) return errno == EEXIST;
  // Locked while it goes: an engine that opened it meanwhile finds it held,
  // or finds it gone once it has its lock.
  ::flock(fd, LOCK_EX | LOCK_NB);
  ::unlink(path.c_str());
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
    return DeleteUnlessHeld(path, why);
  }
  if (!exists) {
    if (!has_folder) return 0;
    const std::string parent = NativeFilePath(folder);
    if (!Writable(parent)) return kCannotCreate;
    // The folder itself may be some engine's run folder: its lock is left alone.
    return CanMakeLockFile(WithSeparator(parent) + kLockFileName) ? 0 : kCannotCreate;
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
    lock = TakeLockIn(entered.get(), kLockFileName, &busy, &refused, true);
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
