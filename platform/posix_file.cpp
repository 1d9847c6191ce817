#include "platform/posix_file.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace platform {

namespace {

// pread/pwrite take a signed offset; larger ones cannot be reached.
bool OffsetFits(std::uint64_t offset, int* error) {
  if (offset <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return true;
  *error = EINVAL;
  return false;
}

}  // namespace

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
  bool synced = SyncFile(fd, error);
  if (!synced && (*error == EINVAL || *error == ENOTSUP)) synced = true;
  ::close(fd);
  return synced;
}

}  // namespace platform
