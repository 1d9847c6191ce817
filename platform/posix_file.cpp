#include "platform/posix_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <algorithm>
#include <atomic>

#include <strings.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>

#include <climits>
#include <cstdlib>
#include <memory>

namespace platform {

namespace {

// pread/pwrite take a signed offset; larger ones cannot be reached.
bool OffsetFits(std::uint64_t offset, int* error) {
  if (offset <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return true;
  *error = EINVAL;
  return false;
}

std::atomic<std::uint64_t> g_fault_countdown{0};
std::atomic<std::uint64_t> g_fault_points{0};

// Called before every write, rename and sync.
void FaultPoint() {
  g_fault_points.fetch_add(1, std::memory_order_relaxed);
  const std::uint64_t left = g_fault_countdown.load(std::memory_order_relaxed);
  if (left == 0) return;
  if (left == 1) ::_exit(kFileFaultExitCode);
  g_fault_countdown.store(left - 1, std::memory_order_relaxed);
}

}  // namespace

void SetFileFaultCountdown(std::uint64_t n) { g_fault_countdown.store(n); }

std::uint64_t FileFaultPointCount() { return g_fault_points.load(); }

int OpenFile(const char* path, const FileOpenMode& mode, int* error) {
  int flags = O_CLOEXEC;
  if (mode.read && mode.write) {
    flags |= O_RDWR;
  } else if (mode.write) {
    flags |= O_WRONLY;
  } else {
    flags |= O_RDONLY;
  }
  if (mode.create) flags |= O_CREAT;
  if (mode.no_wait) flags |= O_NONBLOCK;
  if (mode.create && mode.exclusive) flags |= O_EXCL;
  if (mode.no_follow) flags |= O_NOFOLLOW;
  int fd;
  do {
    fd = ::open(path, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) *error = errno;
  return fd;
}

bool ReadFileAt(int fd, void* buffer, std::size_t count, std::uint64_t offset, std::size_t* done,
                int* error) {
  *done = 0;
  if (!OffsetFits(offset, error)) return false;
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (*done < count) {
    const ssize_t n = ::pread(fd, bytes + *done, count - *done, static_cast<off_t>(offset + *done));
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return false;
    }
    if (n == 0) break;  // end of file
    *done += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteFileAt(int fd, const void* buffer, std::size_t count, std::uint64_t offset,
                 std::size_t* done, int* error) {
  *done = 0;
  if (!OffsetFits(offset, error)) return false;
  FaultPoint();
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  while (*done < count) {
    const ssize_t n =
        ::pwrite(fd, bytes + *done, count - *done, static_cast<off_t>(offset + *done));
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return false;
    }
    if (n == 0) {  // a full device that does not say so
      *error = ENOSPC;
      return false;
    }
    *done += static_cast<std::size_t>(n);
  }
  return true;
}

bool CloseFile(int fd, int* error) {
  // Linux releases the descriptor even when close reports EINTR: no retry.
  if (::close(fd) == 0) return true;
  *error = errno;
  return false;
}

bool RemoveFile(const char* path) { return ::unlink(path) == 0; }

FileDescriptor::~FileDescriptor() {
  int ignored = 0;
  if (valid()) Close(&ignored);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    int ignored = 0;
    if (valid()) Close(&ignored);
    fd_ = other.Release();
  }
  return *this;
}

int FileDescriptor::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

bool FileDescriptor::Close(int* error) {
  if (!valid()) return true;
  return CloseFile(Release(), error);
}

FileDescriptor OpenOwnedFile(const char* path, const FileOpenMode& mode, int* error) {
  return FileDescriptor(OpenFile(path, mode, error));
}

bool ReadSome(int fd, void* buffer, std::size_t count, std::size_t* got, int* error) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer, count);
    if (n >= 0) {
      *got = static_cast<std::size_t>(n);
      return true;
    }
    if (errno != EINTR) {
      *error = errno;
      return false;
    }
  }
}

bool WriteAll(int fd, const void* buffer, std::size_t count, int* error) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  while (count > 0) {
    const ssize_t n = ::write(fd, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? errno : ENOSPC;  // a full device that does not say so
      return false;
    }
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

namespace {

void Describe(const struct stat& s, FileInfo* info) {
  info->is_directory = S_ISDIR(s.st_mode);
  info->is_regular = S_ISREG(s.st_mode);
  info->is_link = S_ISLNK(s.st_mode);
  info->device = static_cast<std::uint64_t>(s.st_dev);
  info->inode = static_cast<std::uint64_t>(s.st_ino);
  info->permissions = static_cast<std::uint32_t>(s.st_mode & 07777);
}

// Keeps *error when the caller passes none.
bool Failed(int* error) {
  if (error != nullptr) *error = errno;
  return false;
}

}  // namespace

bool GetFileInfo(const char* path, FileInfo* info, int* error) {
  struct stat s {};
  if (::stat(path, &s) != 0) return Failed(error);
  Describe(s, info);
  return true;
}

bool GetLinkInfo(const char* path, FileInfo* info, int* error) {
  struct stat s {};
  if (::lstat(path, &s) != 0) return Failed(error);
  Describe(s, info);
  return true;
}

bool GetOpenFileInfo(int fd, FileInfo* info, int* error) {
  struct stat s {};
  if (::fstat(fd, &s) != 0) return Failed(error);
  Describe(s, info);
  return true;
}

bool IsAccessible(const char* path, Access access) {
  const int how = access == Access::kRead ? R_OK : access == Access::kWrite ? W_OK : X_OK;
  return ::access(path, how) == 0;
}

bool SetPermissions(int fd, std::uint32_t permissions, int* error) {
  if (::fchmod(fd, static_cast<mode_t>(permissions)) != 0) return Failed(error);
  return true;
}

FileDescriptor MakeTemporaryFile(std::string* path_template, int* error) {
  const int fd = ::mkostemp(path_template->data(), O_CLOEXEC);
  if (fd < 0) Failed(error);
  return FileDescriptor(fd);
}

bool MakeTemporaryFolder(std::string* path_template, int* error) {
  if (::mkdtemp(path_template->data()) == nullptr) return Failed(error);
  return true;
}

bool RenameFileNoReplace(const char* from, const char* to, int* error) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) != 0) return Failed(error);
  return true;
}

std::string ResolvedPath(const char* path) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path, nullptr), &std::free);
  return resolved != nullptr ? std::string(resolved.get()) : std::string();
}

std::string LinkText(const char* path) {
  std::string text(PATH_MAX, '\0');
  const ssize_t length = ::readlink(path, text.data(), text.size());
  text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
  return text;
}

bool MakeSymbolicLink(const char* text, const char* path, int* error) {
  if (::symlink(text, path) != 0) return Failed(error);
  return true;
}

bool MakeDirectory(const char* path, int* error) {
  if (::mkdir(path, 0777) != 0) return Failed(error);
  return true;
}

bool RemoveDirectory(const char* path) { return ::rmdir(path) == 0; }

bool ReadDirectoryNames(const char* path, std::vector<std::string>* names) {
  names->clear();
  struct Closer {
    void operator()(DIR* folder) const { ::closedir(folder); }
  };
  const std::unique_ptr<DIR, Closer> folder(::opendir(path));
  if (folder == nullptr) return false;
  while (const dirent* entry = ::readdir(folder.get())) names->emplace_back(entry->d_name);
  return true;
}

bool ChangeDirectory(const char* path) { return ::chdir(path) == 0; }

bool CurrentDirectory(std::string* path) {
  const std::unique_ptr<char, decltype(&std::free)> current(::getcwd(nullptr, 0), &std::free);
  path->assign(current != nullptr ? current.get() : "");
  return current != nullptr;
}

bool FreeDiskSpace(const char* folder, std::uint64_t* free_bytes) {
  struct statvfs info {};
  if (::statvfs(folder, &info) != 0) return false;
  *free_bytes = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
  return true;
}

}  // namespace platform

namespace platform {

std::uint32_t DescriptorRoom() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  std::uint64_t open = 0;
  if (DIR* listing = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(listing)) open += entry->d_name[0] != '.';
    ::closedir(listing);
    --open;  // the listing's own
  }
  const std::uint64_t most = std::min<std::uint64_t>(limit.rlim_cur, 0xFFFFFFFFu);
  return static_cast<std::uint32_t>(most > open ? most - open : 0);
}

bool SyncFile(int fd, int* error) {
  FaultPoint();
  while (::fsync(fd) != 0) {
    if (errno == EINTR) continue;
    *error = errno;
    return false;
  }
  return true;
}

bool SyncFolder(const char* path, int* error) {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  bool synced = true;
  while (::fsync(fd) != 0) {
    if (errno == EINTR) continue;
    // File systems that cannot sync a folder count as done.
    synced = errno == EINVAL || errno == ENOTSUP;
    if (!synced) *error = errno;
    break;
  }
  ::close(fd);
  return synced;
}

bool SyncFolderOf(const char* path, int* error) {
  std::string folder = path;
  const std::size_t slash = folder.find_last_of('/');
  folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : folder.substr(0, slash));
  FaultPoint();
  return SyncFolder(folder.c_str(), error);
}

bool RenameFile(const char* from, const char* to, int* error) {
  FaultPoint();
  if (::rename(from, to) == 0) return true;
  *error = errno;
  return false;
}

bool FileSizeOf(int fd, std::uint64_t* size, int* error) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    *error = errno;
    return false;
  }
  *size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

bool PathExists(const char* path) {
  struct stat info {};
  return ::lstat(path, &info) == 0;
}

bool ListFolderSorted(const char* folder, std::vector<FolderEntry>* entries) {
  entries->clear();
  DIR* dir = ::opendir(folder);
  if (dir == nullptr) return false;
  const std::string base = folder;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info {};
    const bool is_folder = ::stat((base + "/" + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    entries->push_back({name, is_folder});
  }
  ::closedir(dir);
  // Names equal but for case keep a fixed order among themselves.
  std::sort(entries->begin(), entries->end(), [](const FolderEntry& a, const FolderEntry& b) {
    const int folded = ::strcasecmp(a.name.c_str(), b.name.c_str());
    return folded != 0 ? folded < 0 : a.name < b.name;
  });
  return true;
}

std::uint32_t ReadUmask() {
  // umask() can only be read by setting it, which would race with files
  // made on other threads; the kernel tells it in the status file.
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) return 077;
  char line[256];
  std::uint32_t mask = 077;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    unsigned value = 0;
    if (std::sscanf(line, "Umask: %o", &value) == 1) {
      mask = value & 0777u;
      break;
    }
  }
  std::fclose(status);
  return mask;
}

}  // namespace platform
