#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace platform {

namespace {

// The object's path; names with a folder part cannot be objects.
bool ObjectPath(const std::string& name, std::string* path, std::string* why) {
  if (name.empty() || name.find('/') != std::string::npos) {
    *why = "not a mapping name: " + name;
    return false;
  }
  *path = "/" + name;
  return true;
}

std::string Failed(const char* what, const std::string& name) {
  return std::string(what) + " " + name + ": " + std::strerror(errno);
}

}  // namespace

SharedMemory::~SharedMemory() { Close(); }

bool SharedMemory::Open(const std::string& name, std::size_t size, std::string* why) {
  Close();
  std::string path;
  if (!ObjectPath(name, &path, why)) return false;
  if (size == 0) {
    *why = "empty mapping " + name;
    return false;
  }
  const int fd = ::shm_open(path.c_str(), O_RDONLY, 0);
  if (fd < 0) {
    *why = Failed("cannot open", name);
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || info.st_size < 0 ||
      static_cast<std::size_t>(info.st_size) < size) {
    ::close(fd);
    *why = "mapping " + name + " is smaller than announced";
    return false;
  }
  std::unique_ptr<unsigned char[]> copy(new (std::nothrow) unsigned char[size]);
  if (copy == nullptr) {
    ::close(fd);
    *why = "no memory for the " + std::to_string(size) + " bytes of mapping " + name;
    return false;
  }
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, copy.get() + got, size - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *why = n < 0 ? Failed("cannot read", name) : "mapping " + name + " is smaller than announced";
      ::close(fd);
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  copy_ = std::move(copy);
  data_ = copy_.get();
  size_ = size;
  return true;
}

bool SharedMemory::Create(const std::string& name, std::size_t size, std::string* why) {
  Close();
  std::string path;
  if (!ObjectPath(name, &path, why)) return false;
  const int fd = ::shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0) {
    *why = Failed("cannot create", name);
    return false;
  }
  created_ = path;
  if (size == 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    *why = Failed("cannot size", name);
    ::close(fd);
    Close();
    return false;
  }
  void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) *why = Failed("cannot map", name);
  ::close(fd);
  if (view == MAP_FAILED) {
    Close();
    return false;
  }
  data_ = static_cast<unsigned char*>(view);
  size_ = size;
  return true;
}

void SharedMemory::Close() {
  if (copy_ != nullptr) {
    copy_.reset();
  } else if (data_ != nullptr) {
    ::munmap(data_, size_);
  }
  data_ = nullptr;
  size_ = 0;
  if (!created_.empty()) ::shm_unlink(created_.c_str());
  created_.clear();
}

}  // namespace platform
