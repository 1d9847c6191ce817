#include "platform/safe_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <memory>
#include <random>

#include "platform/file_trust.h"
#include "platform/posix_acl.h"

namespace platform {
namespace {
bool Fail(int* error, int value) {
  if (error != nullptr) *error = value;
  return false;
}

// As many as the system follows on one path.
constexpr int kMostLinks = 40;

FileDescriptor Refused(int* error, int value) {
  Fail(error, value);
  return FileDescriptor();
}
}  // namespace

std::deque<std::string> PathNames(const std::string& path) {
  std::deque<std::string> names;
  std::size_t at = 0;
  while (at <= path.size()) {
    const std::size_t end = std::min(path.find('/', at), path.size());
    std::string name = path.substr(at, end - at);
    if (!name.empty() && name != ".") names.push_back(std::move(name));
    at = end + 1;
  }
  return names;
}

FileDescriptor OpenFolderOnWay(const std::string& path, std::string* others_link, int* error) {
  std::string here;
  if (path.empty() || path[0] != '/') {
    if (!CurrentDirectory(&here)) return Refused(error, errno);
  }
  return OpenFolderOnWay(AT_FDCWD, here, path, others_link, error);
}

FileDescriptor OpenFolderOnWay(int from, const std::string& from_shown, const std::string& path,
                               std::string* others_link, int* error) {
  // Every step is opened without following, and judged through what was
  // opened: a name swapped after the look leads nowhere else.
  FileDescriptor here(::openat(from, !path.empty() && path[0] == '/' ? "/" : ".",
                               O_PATH | O_DIRECTORY | O_CLOEXEC));
  std::string at = !path.empty() && path[0] == '/' ? std::string() : from_shown;
  if (!here.valid()) return Refused(error, errno);
  std::deque<std::string> names = PathNames(path);
  for (int links = 0; !names.empty();) {
    const std::string name = names.front();
    names.pop_front();
    FileDescriptor next(::openat(here.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) return Refused(error, errno);
    struct stat s {};
    if (::fstat(next.get(), &s) != 0) return Refused(error, errno);
    std::string shown = at + "/" + name;
    if (name == "..") {
      const std::size_t cut = at.rfind('/');
      shown = at.substr(0, cut == std::string::npos ? 0 : cut);
    }
    if (S_ISLNK(s.st_mode)) {
      if (s.st_uid != ::geteuid() && s.st_uid != 0) {
        if (others_link != nullptr) *others_link = shown;
        return Refused(error, EPERM);
      }
      // The link read through what was judged, not by its name again.
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(next.get(), "", target, sizeof target - 1);
      if (++links > kMostLinks) return Refused(error, ELOOP);
      if (n <= 0) return Refused(error, n < 0 ? errno : ENOENT);
      const std::string to(target, static_cast<std::size_t>(n));
      const std::deque<std::string> more = PathNames(to);
      names.insert(names.begin(), more.begin(), more.end());
      if (to[0] == '/') {
        here = FileDescriptor(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        at.clear();
        if (!here.valid()) return Refused(error, errno);
      }
      continue;
    }
    if (!S_ISDIR(s.st_mode)) return Refused(error, ENOTDIR);
    here = std::move(next);
    at = shown;
  }
  // Held as a path: enough to make, look at and rename what is in it,
  // and a folder we may write to but not list is still one.
  return here;
}

int RefusedReplacement(int folder, const char* name) {
  struct stat s {};
  if (::fstatat(folder, name, &s, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
  return S_ISLNK(s.st_mode)                           ? ELOOP
         : S_ISDIR(s.st_mode)                         ? EISDIR
         : !S_ISREG(s.st_mode)                        ? EINVAL
         : s.st_uid != ::geteuid() || s.st_nlink != 1 ? EPERM
                                                      : 0;
}

NewFile NewFile::Make(int folder, const std::string& name, int* error) {
  NewFile made;
  if (name.empty() || name.find('/') != std::string::npos) {
    Fail(error, EINVAL);
    return made;
  }
  if (const int refused = RefusedReplacement(folder, name.c_str()); refused != 0) {
    Fail(error, refused);
    return made;
  }
  made.folder_ = FileDescriptor(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
  if (!made.folder_.valid()) {
    Fail(error, errno);
    return made;
  }
  std::random_device seed;
  std::mt19937_64 draw(seed());
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temporary = name + ".";
    for (int i = 0; i < 6; ++i) temporary += kLetters[draw() % (sizeof kLetters - 1)];
    // Exclusively: no link followed, nothing there replaced.
    FileDescriptor fd(::openat(made.folder_.get(), temporary.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                               0600));
    if (!fd.valid()) {
      if (errno == EEXIST) continue;
      Fail(error, errno);
      return NewFile();
    }
    made.name_ = name;
    made.temporary_ = temporary;
    made.file_ = std::move(fd);
    const mode_t mode = 0666 & ~static_cast<mode_t>(ReadUmask() | 022);
    if (::fchmod(made.file_.get(), mode) != 0) {
      Fail(error, errno);
      return NewFile();
    }
    return made;
  }
  Fail(error, EEXIST);
  return NewFile();
}

NewFile& NewFile::operator=(NewFile&& other) noexcept {
  if (this != &other) {
    Drop();
    folder_ = std::move(other.folder_);
    name_ = std::move(other.name_);
    temporary_ = std::move(other.temporary_);
    other.temporary_.clear();
    file_ = std::move(other.file_);
  }
  return *this;
}

bool NewFile::Place(int* error) {
  if (!valid()) return Fail(error, EBADF);
  if (const int refused = RefusedReplacement(folder_.get(), name_.c_str()); refused != 0) {
    Drop();
    return Fail(error, refused);
  }
  if (::renameat(folder_.get(), temporary_.c_str(), folder_.get(), name_.c_str()) != 0) {
    const int why = errno;
    Drop();
    return Fail(error, why);
  }
  temporary_.clear();
  return true;
}

void NewFile::Drop() {
  if (temporary_.empty()) return;
  ::unlinkat(folder_.get(), temporary_.c_str(), 0);
  temporary_.clear();
}

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

FileOutStream::FileOutStream(NewFile file) : FileOutStream(file.TakeDescriptor()) {
  placed_ = std::move(file);
}

FileOutStream::~FileOutStream() { close(); }

void FileOutStream::close() {
  if (!buffer_.fd.valid()) return;
  if (buffer_.pubsync() != 0) setstate(std::ios::badbit);
  if (!buffer_.fd.Close(nullptr)) setstate(std::ios::badbit);
  if (!placed_.valid()) return;
  // Only a whole file takes the name.
  if (!good() || !placed_.Place(nullptr)) {
    placed_.Drop();
    setstate(std::ios::badbit);
  }
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
