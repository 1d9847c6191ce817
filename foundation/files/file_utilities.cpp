#include "foundation/files/file_utilities.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "foundation/directory/name_path.h"
#include "platform/exit_code.h"
#include "platform/posix_file.h"

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool SystemFreeSpace(const char* folder, std::uint64_t* free_bytes) {
  struct statvfs info {};
  if (::statvfs(folder, &info) != 0) return false;
  *free_bytes = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
  return true;
}

BvuFreeSpaceQuery g_free_space = SystemFreeSpace;

std::string Joined(const std::string& directory, const std::string& name) {
  return directory.empty() || directory.back() == '/' ? directory + name : directory + "/" + name;
}

// Case-insensitive order first, so that a listing reads as on the
// client's side; byte order breaks ties.
bool ListedBefore(const std::string& a, const std::string& b) {
  const std::string folded_a = FoldedName(a.c_str());
  const std::string folded_b = FoldedName(b.c_str());
  return folded_a != folded_b ? folded_a < folded_b : a < b;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool CopyContents(int in, int out) {
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (!WriteAll(out, buffer, static_cast<std::size_t>(got))) return false;
  }
}

// The folder part of a path: "." without one, "/" for a file at the top.
std::string FolderOf(const std::string& path) {
  const std::size_t cut = path.rfind('/');
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : path.substr(0, cut);
}

// Copies a regular file through a temporary file beside the target, which
// takes the target's place only when complete. `error` gets the errno of a
// failing step.
Status CopyRegularFile(const std::string& from, const std::string& to, std::int32_t mode, int* error) {
  const auto fail = [error](int code) {
    *error = code != 0 ? code : EIO;
    return status::kUnhandled;
  };
  // Checked before opening: opening a device may already act on it.
  struct stat checked {};
  if (::stat(from.c_str(), &checked) != 0) return fail(errno);
  if (!S_ISREG(checked.st_mode)) return fail(EINVAL);
  // Without blocking, should a pipe have taken the file's place meanwhile.
  const int in = ::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return fail(errno);
  struct stat source_info {};
  if (::fstat(in, &source_info) != 0 || !S_ISREG(source_info.st_mode)) {
    ::close(in);
    return fail(EINVAL);
  }
  std::string final_target = to;
  struct stat target_info {};
  const bool target_exists = ::stat(to.c_str(), &target_info) == 0;
  if (target_exists) {
    const bool same_file = target_info.st_dev == source_info.st_dev && target_info.st_ino == source_info.st_ino;
    if (same_file || (mode & kCopyOverwrite) == 0) {
      ::close(in);
      return fail(EEXIST);
    }
    // A link to the target keeps its place; the file it leads to is replaced.
    if (char* resolved = ::realpath(to.c_str(), nullptr)) {
      final_target = resolved;
      std::free(resolved);
    }
  }
  std::string temporary = FolderOf(final_target) + "/.vantor-copy-XXXXXX";
  const int out = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (out < 0) {
    const int code = errno;
    ::close(in);
    return fail(code);
  }
  mode_t permissions = source_info.st_mode & 07777;
  if ((mode & kCopyMakeWritable) != 0) permissions |= S_IRUSR | S_IWUSR;
  int code = CopyContents(in, out) ? 0 : errno;
  if (code == 0 && ::fchmod(out, permissions) != 0) code = errno;
  // The data reaches the device before the name does: after a crash the
  // target is the old file or the whole copy, never an empty one.
  if (code == 0) platform::SyncFile(out, &code);
  if (::close(out) != 0 && code == 0) code = errno;
  ::close(in);
  if (code == 0) {
    if ((mode & kCopyOverwrite) != 0) {
      if (::rename(temporary.c_str(), final_target.c_str()) != 0) code = errno;
    } else if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, final_target.c_str(), RENAME_NOREPLACE) != 0) {
      code = errno;
      // A file system without the exclusive rename: the target was missing above.
      if (code == EINVAL) code = ::rename(temporary.c_str(), final_target.c_str()) == 0 ? 0 : errno;
    }
    if (code == 0) platform::SyncFolder(FolderOf(final_target).c_str(), &code);
  }
  if (code == 0) return status::kOk;
  ::unlink(temporary.c_str());
  return fail(code);
}

// The text of a link; empty when the path is not one.
std::string LinkText(const std::string& path) {
  std::string text(PATH_MAX, '\0');
  const ssize_t length = ::readlink(path.c_str(), text.data(), text.size());
  text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
  return text;
}

// A linked directory is made again as a link with the same text.
Status CopyLink(const std::string& from, const std::string& to) {
  const std::string text = LinkText(from);
  if (text.empty()) return status::kUnhandled;
  if (::symlink(text.c_str(), to.c_str()) == 0) return status::kOk;
  // Copied before: the same link is already there.
  return errno == EEXIST && LinkText(to) == text ? status::kOk : status::kUnhandled;
}

using FileIdentity = std::pair<dev_t, ino_t>;

Status CopyTree(const std::string& source, const std::string& target, std::int32_t mode,
                bool create, std::set<FileIdentity>* targets) {
  if (::access(source.c_str(), R_OK) != 0) return status::kOk;
  struct stat info {};
  if (::stat(target.c_str(), &info) != 0) {
    if (!create) return status::kOk;
    if (::mkdir(target.c_str(), 0777) != 0 && errno != EEXIST) return status::kUnhandled;
    if (::stat(target.c_str(), &info) != 0) return status::kUnhandled;
  }
  if (!S_ISDIR(info.st_mode)) return status::kUnhandled;
  // A target inside the source must not be copied into itself.
  targets->insert({info.st_dev, info.st_ino});
  DIR* folder = ::opendir(source.c_str());
  if (folder == nullptr) return status::kUnhandled;
  std::vector<std::string> entries;
  while (const dirent* entry = ::readdir(folder)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      entries.emplace_back(entry->d_name);
    }
  }
  ::closedir(folder);
  Status result = status::kOk;
  for (const std::string& entry : entries) {
    const std::string from = Joined(source, entry);
    const std::string to = Joined(target, entry);
    struct stat link {};
    struct stat item {};
    if (::lstat(from.c_str(), &link) != 0 || ::stat(from.c_str(), &item) != 0) {
      result = status::kUnhandled;
      continue;
    }
    Status s = status::kOk;
    if (S_ISDIR(item.st_mode) && S_ISLNK(link.st_mode)) {
      // Followed, a link could lead back up or out of the tree.
      s = CopyLink(from, to);
    } else if (S_ISDIR(item.st_mode)) {
      if (targets->count({item.st_dev, item.st_ino}) > 0) continue;
      s = CopyTree(from, to, mode, true, targets);
    } else {
      s = CopyFileWithMode(from.c_str(), to.c_str(), mode);
    }
    if (status::IsFailure(s)) result = s;
  }
  return result;
}

}  // namespace

std::string NativeFilePath(const char* path) {
  std::string native(path != nullptr ? path : "");
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

Status MakeFilePath(const char*, const char* directory, const char* name, std::string* path) {
  path->clear();
  if (directory != nullptr && *directory != '\0') {
    path->assign(directory);
    if (!IsSeparator(path->back())) path->append(kDirectorySeparator);
  }
  if (name != nullptr) path->append(name);
  return status::kOk;
}

bool MatchFilePattern(const char* name, const char* pattern) {
  if (std::strcmp(pattern, "*.*") == 0) pattern = "*";
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '?' || (*pattern != '*' && *pattern != '\0' && FoldedLetter(*pattern) == FoldedLetter(*name))) {
      ++name;
      ++pattern;
    } else if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

Status ListDirectory(const char* pattern, BvuDirectoryListing* listing, std::int32_t mode) {
  listing->names.clear();
  listing->directory_flags.clear();
  if (mode == kListDrives) return status::kOk;
  const std::string native = NativeFilePath(pattern != nullptr && *pattern != '\0' ? pattern : "*");
  const std::size_t cut = native.rfind('/');
  std::string directory = ".";
  std::string names = native;
  if (cut != std::string::npos) {
    directory = cut == 0 ? "/" : native.substr(0, cut);
    names = native.substr(cut + 1);
  }
  if (names.empty()) names = "*";
  DIR* folder = ::opendir(directory.c_str());
  if (folder == nullptr) return status::kUnhandled;
  const bool want_directories = mode == 0 || (mode & kListDirectories) != 0;
  const bool want_files = mode == 0 || (mode & kListFiles) != 0;
  std::vector<std::pair<std::string, std::uint8_t>> found;
  while (const dirent* entry = ::readdir(folder)) {
    if (!MatchFilePattern(entry->d_name, names.c_str())) continue;
    struct stat info {};
    const bool is_directory =
        ::stat(Joined(directory, entry->d_name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    if (is_directory ? want_directories : want_files) found.emplace_back(entry->d_name, is_directory ? 1 : 0);
  }
  ::closedir(folder);
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return ListedBefore(a.first, b.first); });
  for (auto& [name, flag] : found) {
    listing->names.push_back(std::move(name));
    listing->directory_flags.push_back(flag);
  }
  return status::kOk;
}

Status CopyDirectoryTree(const char* source, const char* target, std::int32_t mode, bool create) {
  std::set<FileIdentity> targets;
  return CopyTree(NativeFilePath(source), NativeFilePath(target), mode, create, &targets);
}

Status CopyFileWithMode(const char* source, const char* target, std::int32_t mode, int* error) {
  int failure = 0;
  const Status s = CopyRegularFile(NativeFilePath(source), NativeFilePath(target), mode, &failure);
  if (error != nullptr) *error = failure;
  return s;
}

void CheckDiskFull(const char* first, const char* second, int error) {
  if (error != ENOSPC && error != EDQUOT) return;
  const bool two_files = second != nullptr && *second != '\0';
  const std::string written = NativeFilePath(two_files ? second : first);
  std::uint64_t free_bytes = 0;
  if (!g_free_space(FolderOf(written).c_str(), &free_bytes) || free_bytes > 0) return;
  const std::string text =
      two_files ? std::string("Disk full while copy file ") + (first != nullptr ? first : "") + " to file " + second
                : std::string("Disk full while accessing ") + (first != nullptr ? first : "");
  // The message box of a full disk, for a process without a desktop.
  std::fprintf(stderr, "Disk memory: %s\n", text.c_str());
  platform::ExitWithStatus(kDiskFullStatus);
}

BvuFreeSpaceQuery SetFreeSpaceQuery(BvuFreeSpaceQuery query) {
  const BvuFreeSpaceQuery previous = g_free_space;
  g_free_space = query != nullptr ? query : SystemFreeSpace;
  return previous;
}

Status CopyPrefix(const char* text, std::int32_t n, std::string* copy) {
  copy->clear();
  if (text == nullptr || n < 0 || static_cast<std::size_t>(n) > std::strlen(text)) {
    return status::kUnhandled;
  }
  copy->assign(text, static_cast<std::size_t>(n));
  return status::kOk;
}

Status ChangeDrive(std::int32_t* drive) {
  *drive = kOnlyDrive;
  return status::kOk;
}

void SplitFilePath(const char* path, std::string* drive, std::string* directory,
                   std::string* name) {
  const std::string text(path != nullptr ? path : "");
  drive->clear();
  std::size_t cut = text.size();
  while (cut > 0 && !IsSeparator(text[cut - 1])) --cut;
  directory->assign(text, 0, cut);
  name->assign(text, cut, std::string::npos);
}
