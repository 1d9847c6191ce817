#include "platform/file_trust.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

namespace platform {

namespace {

bool OursOrRoots(const struct stat& s) { return s.st_uid == ::geteuid() || s.st_uid == 0; }

// The name of the user, or empty when the user database does not know it.
std::string UserName(uid_t uid, gid_t* own_group) {
  std::vector<char> buffer(16384);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int failed = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (failed == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (failed != 0 || found == nullptr) return {};
    *own_group = entry.pw_gid;
    return entry.pw_name;
  }
}

// Whether the group is named as the user and lists no one else.
bool GroupListsOnly(gid_t gid, const std::string& user) {
  std::vector<char> buffer(16384);
  for (;;) {
    group entry{};
    group* found = nullptr;
    const int failed = ::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found);
    if (failed == ERANGE && buffer.size() < (1u << 24)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (failed != 0 || found == nullptr || user != entry.gr_name) return false;
    for (char** member = entry.gr_mem; member != nullptr && *member != nullptr; ++member) {
      if (user != *member) return false;
    }
    return true;
  }
}

// Whether a user other than uid has the group as their own. The user
// database is walked under one lock: the walk's position is process-wide.
bool AnotherUserHasGroup(gid_t gid, uid_t uid) {
  static std::mutex walking;
  const std::lock_guard<std::mutex> hold(walking);
  std::vector<char> buffer(16384);
  bool other = false;
  ::setpwent();
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int failed = ::getpwent_r(&entry, buffer.data(), buffer.size(), &found);
    if (failed == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (failed != 0 || found == nullptr) break;
    if (entry.pw_gid == gid && entry.pw_uid != uid) {
      other = true;
      break;
    }
  }
  ::endpwent();
  return other;
}

}  // namespace

bool GroupIsOwnersAlone(gid_t group, uid_t owner) {
  gid_t own_group = 0;
  const std::string name = UserName(owner, &own_group);
  // A user's private group bears the user's name; the name guards where
  // the user database cannot be walked whole (a directory service).
  return !name.empty() && GroupListsOnly(group, name) && !AnotherUserHasGroup(group, owner);
}

std::string WhyFolderIsOpenToOthers(const std::string& folder, const struct stat& s) {
  if (!S_ISDIR(s.st_mode)) return folder + " on its way is not a folder";
  if (!OursOrRoots(s)) return "the folder " + folder + " belongs to another user";
  if ((s.st_mode & S_ISVTX) != 0) return {};
  if ((s.st_mode & S_IWOTH) != 0) return "others can write to the folder " + folder + " and it is not sticky";
  if ((s.st_mode & S_IWGRP) != 0 && !GroupIsOwnersAlone(s.st_gid, s.st_uid)) {
    std::string why = "members of its group can write to the folder " + folder + " and it is not sticky";
    if (s.st_uid == ::geteuid()) why += " (chmod g-w " + folder + " makes it usable)";
    return why;
  }
  return {};
}

std::string WhyFileIsOpenToOthers(const std::string& file, const struct stat& s,
                                  const struct stat* folder, const char* made) {
  if (!S_ISREG(s.st_mode)) return "it is not a regular file";
  if (!OursOrRoots(s)) return "it belongs to another user";
  if ((s.st_mode & (S_IWGRP | S_IWOTH)) == 0) return {};
  std::string why = "its group or others can write to it";
  // A file of the user's own written under umask 002: one chmod of theirs
  // makes it usable, and the line says which.
  const bool ours = s.st_uid == ::geteuid();
  if (ours && ((folder != nullptr && folder->st_uid == s.st_uid) ||
               GroupIsOwnersAlone(s.st_gid, s.st_uid))) {
    why += std::string(" (chmod ") + ((s.st_mode & S_IWOTH) != 0 ? "go-w " : "g-w ") + file +
           " makes it " + made + ")";
  }
  return why;
}

std::string WhyLibraryFileIsOpenToOthers(const std::string& file, const struct stat& s,
                                         const struct stat* folder) {
  return WhyFileIsOpenToOthers(file, s, folder, "loadable");
}

}  // namespace platform
