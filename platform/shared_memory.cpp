#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

bool SharedMemory::Map(int fd, std::size_t size, int protection, const std::string& name,
                       std::string* why) {
  void* view = ::mmap(nullptr, size, protection, MAP_SHARED, fd, 0);
  ::close(fd);
  if (view == MAP_FAILED) {
    *why = Failed("cannot map", name);
    return false;
  }
  data_ = static_cast<unsigned char*>(view);
  size_ = size;
  return true;
}

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
  return Map(fd, size, PROT_READ, name, why);
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
  if (!Map(fd, size, PROT_READ | PROT_WRITE, name, why)) {
    Close();
    return false;
  }
  return true;
}

void SharedMemory::Close() {
  if (data_ != nullptr) ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
  if (!created_.empty()) ::shm_unlink(created_.c_str());
  created_.clear();
}

}  // namespace platform
