#include "platform/local_socket.h"

#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

constexpr char kPipePrefix[] = "\\\\.\\pipe\\";
constexpr char kMailslotPrefix[] = "\\\\.\\mailslot\\";

bool HasPrefix(const std::string& name, const char* prefix, std::size_t* length) {
  *length = std::strlen(prefix);
  return name.size() > *length && ::strncasecmp(name.c_str(), prefix, *length) == 0;
}

bool FillAddress(const std::string& path, sockaddr_un* address, int* error) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof(address->sun_path)) {
    *error = ENAMETOOLONG;
    return false;
  }
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

std::int64_t ChangeTime(const struct stat& info) {
  return static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
}

int MakeSocket(int type, int* error) {
  const int fd = ::socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) *error = errno;
  return fd;
}

int Fail(int fd, int* error) {
  *error = errno;
  ::close(fd);
  return -1;
}

// Binds the socket to the path, replacing a stale file left by a process
// that did not remove its own.
bool BindPath(int fd, const std::string& path, BoundFile* bound, int* error) {
  sockaddr_un address;
  if (!FillAddress(path, &address, error)) return false;
  struct stat info;
  if (::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::lstat(path.c_str(), &info) != 0) {
    *error = errno;
    return false;
  }
  bound->path = path;
  bound->device = info.st_dev;
  bound->inode = info.st_ino;
  bound->changed_ns = ChangeTime(info);
  return true;
}

int BoundSocket(int type, const std::string& path, BoundFile* bound, int* error) {
  const int fd = MakeSocket(type, error);
  if (fd < 0) return -1;
  if (!BindPath(fd, path, bound, error)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int ConnectPath(int type, const std::string& path, int* error) {
  sockaddr_un address;
  if (!FillAddress(path, &address, error)) return -1;
  const int fd = MakeSocket(type, error);
  if (fd < 0) return -1;
  for (;;) {
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
    if (errno != EINTR) return Fail(fd, error);
  }
}

}  // namespace

bool LocalEndpointFolder(std::string* folder, std::string* error) {
  const char* configured = std::getenv("VANTOR_PIPE_DIR");
  const bool own_default = configured == nullptr || *configured == '\0';
  *folder = own_default ? "/tmp/vantor-" + std::to_string(::getuid()) : configured;
  while (folder->size() > 1 && folder->back() == '/') folder->pop_back();
  if (::mkdir(folder->c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "Cannot make the pipe folder " + *folder + ": " + std::strerror(errno);
    return false;
  }
  struct stat info;
  const int found = own_default ? ::lstat(folder->c_str(), &info) : ::stat(folder->c_str(), &info);
  if (found != 0 || !S_ISDIR(info.st_mode)) {
    *error = "The pipe folder " + *folder + " is not a folder";
    return false;
  }
  // The default lies in a folder everybody may write to: use it only when
  // it is ours and closed to others.
  if (own_default && (info.st_uid != ::getuid() || (info.st_mode & 077) != 0)) {
    *error = "The pipe folder " + *folder + " belongs to another user or is open to others";
    return false;
  }
  return true;
}

bool LocalEndpointPath(const std::string& name, std::string* path, std::string* error) {
  std::size_t prefix = 0;
  std::string file;
  if (HasPrefix(name, kPipePrefix, &prefix)) {
    file = name.substr(prefix);
  } else if (HasPrefix(name, kMailslotPrefix, &prefix)) {
    file = "mailslot." + name.substr(prefix);
  } else {
    *error = "Not a pipe or mailslot name: " + name;
    return false;
  }
  if (file.find_first_of("/\\") != std::string::npos) {
    *error = "Pipe or mailslot names hold no folders: " + name;
    return false;
  }
  std::string folder;
  if (!LocalEndpointFolder(&folder, error)) return false;
  *path = folder + "/" + file;
  if (path->size() >= sizeof(sockaddr_un::sun_path)) {
    *error = "The socket path " + *path + " is longer than the " +
             std::to_string(sizeof(sockaddr_un::sun_path) - 1) +
             " characters a socket address holds; choose a shorter VANTOR_PIPE_DIR";
    return false;
  }
  return true;
}

int ListenLocal(const std::string& path, BoundFile* bound, int* error) {
  const int fd = BoundSocket(SOCK_STREAM, path, bound, error);
  if (fd < 0) return -1;
  if (::listen(fd, SOMAXCONN) != 0) {
    const int failure = errno;
    RemoveBoundFile(*bound);
    ::close(fd);
    *error = failure;
    return -1;
  }
  return fd;
}

int AcceptLocal(int listener, int* error) {
  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno != EINTR) {
      *error = errno;
      return -1;
    }
  }
}

int ConnectLocal(const std::string& path, int* error) {
  return ConnectPath(SOCK_STREAM, path, error);
}

int BindDatagram(const std::string& path, BoundFile* bound, int* error) {
  return BoundSocket(SOCK_DGRAM, path, bound, error);
}

int ConnectDatagram(const std::string& path, int* error) {
  return ConnectPath(SOCK_DGRAM, path, error);
}

void RemoveBoundFile(const BoundFile& bound) {
  if (bound.path.empty()) return;
  struct stat info;
  if (::lstat(bound.path.c_str(), &info) == 0 && info.st_dev == bound.device &&
      info.st_ino == bound.inode && ChangeTime(info) == bound.changed_ns) {
    ::unlink(bound.path.c_str());
  }
}

}  // namespace platform
