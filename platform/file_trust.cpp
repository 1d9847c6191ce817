#include "platform/file_trust.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/posix_acl.h"

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

// The group file's entry for the group, its texts in *buffer; false when
// the group file does not know it.
bool GroupEntry(gid_t gid, group* entry, std::vector<char>* buffer) {
  buffer->resize(16384);
  for (;;) {
    group* found = nullptr;
    const int failed = ::getgrgid_r(gid, entry, buffer->data(), buffer->size(), &found);
    if (failed == ERANGE && buffer->size() < (1u << 24)) {
      buffer->resize(buffer->size() * 2);
      continue;
    }
    return failed == 0 && found != nullptr;
  }
}

// Whether the group is named as the user and lists no one else.
bool GroupListsOnly(gid_t gid, const std::string& user) {
  group entry{};
  std::vector<char> buffer;
  if (!GroupEntry(gid, &entry, &buffer) || user != entry.gr_name) return false;
  for (char** member = entry.gr_mem; member != nullptr && *member != nullptr; ++member) {
    if (user != *member) return false;
  }
  return true;
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

// The name of the group, or its number when the group file does not know it.
std::string GroupName(gid_t gid) {
  group entry{};
  std::vector<char> buffer;
  return GroupEntry(gid, &entry, &buffer) ? std::string(entry.gr_name) : std::to_string(gid);
}

// Who the writing ACL entry lets write besides the owner and root, or
// empty when no one: group stands for the group entry.
std::string AclWriter(const AclEntry& entry, uid_t owner, gid_t group) {
  switch (entry.tag) {
    case kAclUser: {
      if (entry.id == 0 || entry.id == ::geteuid()) return {};
      gid_t ignored = 0;
      const std::string name = UserName(entry.id, &ignored);
      return "user " + (name.empty() ? std::to_string(entry.id) : name) + " (by an ACL entry)";
    }
    case kAclGroup:
      if (GroupIsOwnersAlone(entry.id, owner)) return {};
      return "group " + GroupName(entry.id) + " (by an ACL entry)";
    case kAclGroupObj:
      return GroupIsOwnersAlone(group, owner) ? "" : "members of its group";
    default:
      return "others";
  }
}

}  // namespace

bool GroupIsOwnersAlone(gid_t group, uid_t owner) {
  gid_t own_group = 0;
  const std::string name = UserName(owner, &own_group);
  // A user's private group bears the user's name; the name guards where
  // the user database cannot be walked whole (a directory service).
  return !name.empty() && GroupListsOnly(group, name) && !AnotherUserHasGroup(group, owner);
}

std::string WhoElseMayWrite(const std::string& folder, const struct stat& s, int fd) {
  if ((s.st_mode & S_IWOTH) != 0) return "others";
  // With an ACL the group's bits are its mask: no entry grants more.
  if ((s.st_mode & S_IWGRP) == 0) return {};
  std::vector<AclEntry> acl;
  int error = 0;
  if (!ReadAcl(folder, fd, false, &acl, &error)) {
    return std::string("whoever its ACL names (it cannot be read: ") + std::strerror(error) + ")";
  }
  if (acl.empty()) return GroupIsOwnersAlone(s.st_gid, s.st_uid) ? "" : "members of its group";
  for (const AclEntry& entry : WritingEntries(acl, s.st_uid)) {
    if (std::string who = AclWriter(entry, s.st_uid, s.st_gid); !who.empty()) return who;
  }
  return {};
}

std::string WhyFolderIsOpenToOthers(const std::string& folder, const struct stat& s, int fd) {
  if (!S_ISDIR(s.st_mode)) return folder + " on its way is not a folder";
  if (!OursOrRoots(s)) return "the folder " + folder + " belongs to another user";
  if ((s.st_mode & S_ISVTX) != 0) return {};
  const std::string who = WhoElseMayWrite(folder, s, fd);
  if (who.empty()) return {};
  std::string why = who + " can write to the folder " + folder + " and it is not sticky";
  // Taking the group's write takes the mask's, and so every ACL entry's.
  if (who != "others" && s.st_uid == ::geteuid()) {
    why += " (chmod g-w " + folder + " makes it usable)";
  }
  return why;
}

std::string WhyWhatIsMadeInIsOpenToOthers(const std::string& folder) {
  struct stat s {};
  if (::lstat(folder.c_str(), &s) != 0) {
    return folder + " cannot be examined: " + std::strerror(errno);
  }
  std::vector<AclEntry> acl;
  int error = 0;
  if (!ReadAcl(folder, -1, true, &acl, &error)) {
    return "its default ACL cannot be read: " + std::string(std::strerror(error));
  }
  // What is made there is this user's, of their group or, in a folder
  // that hands its group down, of the folder's.
  const gid_t group = (s.st_mode & S_ISGID) != 0 ? s.st_gid : ::getegid();
  for (const AclEntry& entry : WritingEntries(acl, ::geteuid())) {
    if (std::string who = AclWriter(entry, ::geteuid(), group); !who.empty()) {
      return "its default ACL lets " + who + " write to what is made in it (setfacl -k " + folder +
             " makes it usable)";
    }
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
