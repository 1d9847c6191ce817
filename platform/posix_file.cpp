#include "platform/posix_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

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
  if (mode.create && mode.exclusive) flags |= O_EXCL;
  int fd;
  do {
    fd = ::open(path, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) *error = errno;
  return fd;
}

bool ReadFileAt(int fd, void* buffer, std::size_t count, std::uint64_t offset,
                std::size_t* done, int* error) {
  *done = 0;
  if (!OffsetFits(offset, error)) return false;
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (*done < count) {
    const ssize_t n = ::pread(fd, bytes + *done, count - *done,
                              static_cast<off_t>(offset + *done));
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
    const ssize_t n = ::pwrite(fd, bytes + *done, count - *done,
                               static_cast<off_t>(offset + *done));
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

}  // namespace platform

namespace platform {

bool SyncFile(int fd, int* error) {
  FaultPoint();
  if (::fsync(fd) == 0) return true;
  *error = errno;
  return false;
}

bool SyncFolderOf(const char* path, int* error) {
  std::string folder = path;
  const std::size_t slash = folder.find_last_of('/');
  folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : folder.substr(0, slash));
  FaultPoint();
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  const bool ok = ::fsync(fd) == 0;
  if (!ok) *error = errno;
  ::close(fd);
  return ok;
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

}  // namespace platform
