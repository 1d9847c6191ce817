#include "foundation/files/file_utilities.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "foundation/directory/name_path.h"
#include "platform/exit_code.h"
#include "platform/posix_file.h"
#include "platform/standard_error.h"

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

constexpr std::uint32_t kOwnerReadWrite = 0600;

BvuFreeSpaceQuery g_free_space = platform::FreeDiskSpace;

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

bool CopyContents(int in, int out, int* error) {
  char buffer[1 << 16];
  for (;;) {
    std::size_t got = 0;
    if (!platform::ReadSome(in, buffer, sizeof buffer, &got, error)) return false;
    if (got == 0) return true;
    if (!platform::WriteAll(out, buffer, got, error)) return false;
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
// failing step. Without follow_links a linked source is refused and a link
// under the target's name is replaced, never written through.
Status CopyRegularFile(const std::string& from, const std::string& to, std::int32_t mode,
                       int* error, bool follow_links = true) {
  const auto fail = [error](int code) {
    *error = code != 0 ? code : EIO;
    return status::kUnhandled;
  };
  int code = 0;
  // Checked before opening: opening a device may already act on it.
  platform::FileInfo checked;
  const bool got = follow_links ? platform::GetFileInfo(from.c_str(), &checked, &code)
                                : platform::GetLinkInfo(from.c_str(), &checked, &code);
  if (!got) return fail(code);
  if (checked.is_link) return fail(ELOOP);
  if (!checked.is_regular) return fail(EINVAL);
  // Without blocking, should a pipe have taken the file's place meanwhile.
  platform::FileOpenMode reading;
  reading.read = true;
  reading.create = false;
  reading.no_wait = true;
  reading.no_follow = !follow_links;
  platform::FileDescriptor in = platform::OpenOwnedFile(from.c_str(), reading, &code);
  if (!in.valid()) return fail(code);
  platform::FileInfo source_info;
  if (!platform::GetOpenFileInfo(in.get(), &source_info, nullptr) || !source_info.is_regular) {
    return fail(EINVAL);
  }
  std::string final_target = to;
  platform::FileInfo target_info;
  if (follow_links ? platform::GetFileInfo(to.c_str(), &target_info, nullptr)
                   : platform::GetLinkInfo(to.c_str(), &target_info, nullptr)) {
    const bool same_file =
        target_info.device == source_info.device && target_info.inode == source_info.inode;
    if (same_file || (mode & kCopyOverwrite) == 0) return fail(EEXIST);
    // A link to the target keeps its place; the file it leads to is replaced.
    const std::string resolved = follow_links ? platform::ResolvedPath(to.c_str()) : "";
    if (!resolved.empty()) final_target = resolved;
  }
  std::string temporary = FolderOf(final_target) + "/.vantor-copy-XXXXXX";
  platform::FileDescriptor out = platform::MakeTemporaryFile(&temporary, &code);
  if (!out.valid()) return fail(code);
  std::uint32_t permissions = source_info.permissions;
  if ((mode & kCopyMakeWritable) != 0) permissions |= kOwnerReadWrite;
  code = 0;
  if (CopyContents(in.get(), out.get(), &code))
    platform::SetPermissions(out.get(), permissions, &code);
  // The data reaches the device before the name does: after a crash the
  // target is the old file or the whole copy, never an empty one.
  if (code == 0) platform::SyncFile(out.get(), &code);
  int close_error = 0;
  if (!out.Close(&close_error) && code == 0) code = close_error;
  in.Close(&close_error);
  if (code == 0) {
    if ((mode & kCopyOverwrite) != 0) {
      platform::RenameFile(temporary.c_str(), final_target.c_str(), &code);
    } else if (!platform::RenameFileNoReplace(temporary.c_str(), final_target.c_str(), &code) &&
               code == EINVAL) {
      // A file system without the exclusive rename: the target was missing above.
      code = 0;
      platform::RenameFile(temporary.c_str(), final_target.c_str(), &code);
    }
    if (code == 0) platform::SyncFolder(FolderOf(final_target).c_str(), &code);
  }
  if (code == 0) return status::kOk;
  platform::RemoveFile(temporary.c_str());
  return fail(code);
}

// A linked directory is made again as a link with the same text.
Status CopyLink(const std::string& from, const std::string& to) {
  const std::string text = platform::LinkText(from.c_str());
  if (text.empty()) return status::kUnhandled;
  int code = 0;
  if (platform::MakeSymbolicLink(text.c_str(), to.c_str(), &code)) return status::kOk;
  // Copied before: the same link is already there.
  return code == EEXIST && platform::LinkText(to.c_str()) == text ? status::kOk
                                                                  : status::kUnhandled;
}

using FileIdentity = std::pair<std::uint64_t, std::uint64_t>;  // device, inode

Status CopyTree(const std::string& source, const std::string& target, std::int32_t mode,
                bool create, std::set<FileIdentity>* targets) {
  if (!platform::IsAccessible(source.c_str(), platform::Access::kRead)) return status::kOk;
  platform::FileInfo info;
  if (!platform::GetFileInfo(target.c_str(), &info, nullptr)) {
    if (!create) return status::kOk;
    int code = 0;
    if (!platform::MakeDirectory(target.c_str(), &code) && code != EEXIST)
      return status::kUnhandled;
    if (!platform::GetFileInfo(target.c_str(), &info, nullptr)) return status::kUnhandled;
  }
  if (!info.is_directory) return status::kUnhandled;
  // A target inside the source must not be copied into itself.
  targets->insert({info.device, info.inode});
  std::vector<std::string> entries;
  if (!platform::ReadDirectoryNames(source.c_str(), &entries)) return status::kUnhandled;
  Status result = status::kOk;
  for (const std::string& entry : entries) {
    if (entry == "." || entry == "..") continue;
    const std::string from = Joined(source, entry);
    const std::string to = Joined(target, entry);
    platform::FileInfo link;
    platform::FileInfo item;
    if (!platform::GetLinkInfo(from.c_str(), &link, nullptr) ||
        !platform::GetFileInfo(from.c_str(), &item, nullptr)) {
      result = status::kUnhandled;
      continue;
    }
    Status s = status::kOk;
    if (item.is_directory && link.is_link) {
      // Followed, a link could lead back up or out of the tree.
      s = CopyLink(from, to);
    } else if (item.is_directory) {
      if (targets->count({item.device, item.inode}) > 0) continue;
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
    if (*pattern == '?' ||
        (*pattern != '*' && *pattern != '\0' && FoldedLetter(*pattern) == FoldedLetter(*name))) {
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
  const std::string directory =
      cut == std::string::npos ? "." : native.substr(0, cut == 0 ? 1 : cut);
  const std::string last = cut == std::string::npos ? native : native.substr(cut + 1);
  const std::string names = last.empty() ? std::string(1, '*') : last;
  std::vector<std::string> entries;
  if (!platform::ReadDirectoryNames(directory.c_str(), &entries)) return status::kUnhandled;
  const bool want_directories = mode == 0 || (mode & kListDirectories) != 0;
  const bool want_files = mode == 0 || (mode & kListFiles) != 0;
  std::vector<std::pair<std::string, std::uint8_t>> found;
  for (std::string& entry : entries) {
    if (!MatchFilePattern(entry.c_str(), names.c_str())) continue;
    platform::FileInfo info;
    const bool is_directory =
        platform::GetFileInfo(Joined(directory, entry).c_str(), &info, nullptr) &&
        info.is_directory;
    if (is_directory ? want_directories : want_files) {
      found.emplace_back(std::move(entry), is_directory ? 1 : 0);
    }
  }
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

Status CopyOverName(const char* source, const char* target, int* error) {
  int failure = 0;
  const Status s = CopyRegularFile(NativeFilePath(source), NativeFilePath(target),
                                   kCopyOverwrite | kCopyMakeWritable, &failure, false);
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
      two_files ? std::string("Disk full while copy file ") + (first != nullptr ? first : "") +
                      " to file " + second
                : std::string("Disk full while accessing ") + (first != nullptr ? first : "");
  // The message box of a full disk, for a process without a desktop.
  platform::SayOnStandardError("Disk memory: " + text + "\n");
  platform::ExitWithStatus(kDiskFullStatus);
}

BvuFreeSpaceQuery SetFreeSpaceQuery(BvuFreeSpaceQuery query) {
  const BvuFreeSpaceQuery previous = g_free_space;
  g_free_space = query != nullptr ? query : platform::FreeDiskSpace;
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
