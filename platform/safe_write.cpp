#include "platform/safe_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/file_trust.h"
#include "platform/posix_acl.h"

namespace platform {
namespace {
bool Fail(int* error, int value) {
  if (error != nullptr) *error = value;
  return false;
}
}  // namespace

FileDescriptor OpenForReplace(const char* path, int* error) {
  // Non-blocking, so that a FIFO under the name cannot hold the open.
  FileDescriptor fd(
      ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666));
  if (!fd.valid()) {
    Fail(error, errno);
    return FileDescriptor();
  }
  struct stat s {};
  if (::fstat(fd.get(), &s) != 0) {
    Fail(error, errno);
    return FileDescriptor();
  }
  if (!S_ISREG(s.st_mode)) {
    Fail(error, EINVAL);
    return FileDescriptor();
  }
  // Another user's file in a shared folder, or a second name of a file
  // elsewhere, is not ours to empty.
  if (s.st_uid != ::geteuid() || s.st_nlink != 1) {
    Fail(error, EPERM);
    return FileDescriptor();
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0 ||
      ::ftruncate(fd.get(), 0) != 0) {
    Fail(error, errno);
    return FileDescriptor();
  }
  return fd;
}

FileDescriptor ReplaceWithNewFile(const char* path, int* error) {
  struct stat s {};
  if (::lstat(path, &s) == 0) {
    const int refused = S_ISLNK(s.st_mode)                           ? ELOOP
                        : S_ISDIR(s.st_mode)                         ? EISDIR
                        : !S_ISREG(s.st_mode)                        ? EINVAL
                        : s.st_uid != ::geteuid() || s.st_nlink != 1 ? EPERM
                                                                     : 0;
    if (refused != 0) {
      Fail(error, refused);
      return FileDescriptor();
    }
  } else if (errno != ENOENT) {
    Fail(error, errno);
    return FileDescriptor();
  }
  // Made beside it (mode 0600, exclusively: no link followed), opened to
  // group and others' reading as the umask allows, then renamed over it.
  std::string made = std::string(path) + ".XXXXXX";
  FileDescriptor fd(::mkostemp(made.data(), O_CLOEXEC));
  if (!fd.valid()) {
    Fail(error, errno);
    return FileDescriptor();
  }
  const mode_t mode = 0666 & ~static_cast<mode_t>(ReadUmask() | 022);
  if (::fchmod(fd.get(), mode) != 0 || ::rename(made.c_str(), path) != 0) {
    Fail(error, errno);
    ::unlink(made.c_str());
    return FileDescriptor();
  }
  return fd;
}

bool CopyToNewFile(const char* from, const char* to, int* error) {
  FileDescriptor in(::open(from, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!in.valid()) return Fail(error, errno);
  struct stat s {};
  if (::fstat(in.get(), &s) != 0) return Fail(error, errno);
  if (!S_ISREG(s.st_mode)) return Fail(error, EINVAL);
  // O_EXCL with O_CREAT follows no link and takes no existing name.
  FileDescriptor out(::open(to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                            s.st_mode & 0777));
  if (!out.valid()) return Fail(error, errno);
  char bytes[65536];
  for (;;) {
    std::size_t got = 0;
    if (!ReadSome(in.get(), bytes, sizeof bytes, &got, error)) break;
    if (got == 0) return out.Close(error);
    if (!WriteAll(out.get(), bytes, got, error)) break;
  }
  out.Close(nullptr);
  ::unlink(to);
  return false;
}

bool MakePrivateFolder(std::string* path_template, int* error) {
  if (::mkdtemp(path_template->data()) == nullptr) return Fail(error, errno);
  const std::unique_ptr<char, decltype(&std::free)> resolved(
      ::realpath(path_template->c_str(), nullptr), &std::free);
  if (resolved == nullptr) {
    const int why = errno;
    ::rmdir(path_template->c_str());
    return Fail(error, why);
  }
  const std::string made = resolved.get();
  const uid_t us = ::geteuid();
  // A default ACL of the folder above is handed down to it, and by it to
  // what is made in it, whatever the umask: the folder is made ours alone.
  int dropped = 0;
  bool safe = RemoveAcls(made, &dropped);
  struct stat s {};
  // The folder itself, then each folder above it up to the root.
  if (::lstat(made.c_str(), &s) != 0 || !S_ISDIR(s.st_mode) || s.st_uid != us ||
      (s.st_mode & 077) != 0) {
    safe = false;
  }
  for (std::size_t end = made.find_last_of('/'); safe && end != std::string::npos;
       end = end == 0 ? std::string::npos : made.find_last_of('/', end - 1)) {
    const std::string above = end == 0 ? std::string("/") : made.substr(0, end);
    // The rule of the folders on a loaded library's way: what is built
    // here is loaded from here.
    if (::lstat(above.c_str(), &s) != 0 || !WhyFolderIsOpenToOthers(above, s).empty()) {
      safe = false;
    }
  }
  if (!safe) {
    ::rmdir(made.c_str());
    return Fail(error, EPERM);
  }
  *path_template = made;
  return true;
}

bool IsOwnRegularFile(const char* path) {
  struct stat s {};
  return ::lstat(path, &s) == 0 && S_ISREG(s.st_mode) && s.st_uid == ::geteuid();
}

bool CloseToOthersWrites(const char* path, int* error) {
  // Looked at and changed through one descriptor: what the name leads to
  // cannot change between the two.
  FileDescriptor fd(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return Fail(error, errno);
  struct stat s {};
  if (::fstat(fd.get(), &s) != 0) return Fail(error, errno);
  if (!S_ISREG(s.st_mode)) return Fail(error, EINVAL);
  if (s.st_uid != ::geteuid() || s.st_nlink != 1) return Fail(error, EPERM);
  const mode_t closed = s.st_mode & 07777 & ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
  if (closed == (s.st_mode & 07777)) return true;
  return SetPermissions(fd.get(), closed, error);
}

FileOutStream::FileOutStream(FileDescriptor fd) : std::ostream(nullptr) {
  buffer_.fd = std::move(fd);
  rdbuf(&buffer_);
  if (!buffer_.fd.valid()) setstate(std::ios::badbit);
}

FileOutStream::~FileOutStream() { close(); }

void FileOutStream::close() {
  if (!buffer_.fd.valid()) return;
  if (buffer_.pubsync() != 0) setstate(std::ios::badbit);
  if (!buffer_.fd.Close(nullptr)) setstate(std::ios::badbit);
}

int FileOutStream::Buffer::sync() {
  const std::size_t count = static_cast<std::size_t>(pptr() - pbase());
  if (count == 0) return 0;
  int error = 0;
  const bool written = fd.valid() && WriteAll(fd.get(), pbase(), count, &error);
  setp(bytes, bytes + sizeof bytes);
  return written ? 0 : -1;
}

FileOutStream::Buffer::int_type FileOutStream::Buffer::overflow(int_type c) {
  if (sync() != 0) return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

}  // namespace platform
