// POSIX ACLs as Linux keeps them, in the extended attributes
// "system.posix_acl_access" (who may use the file) and
// "system.posix_acl_default" (the ACL a folder gives what is made in it):
// a 4-byte version (2), then 8-byte entries of tag, permissions and id,
// all little-endian. The trust rules read them because write an ACL grants
// shows in the mode only as the group's (the mask).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct AclEntry {
  std::uint16_t tag = 0;   // one of the kAcl tags below
  std::uint16_t perm = 0;  // 4 read, 2 write, 1 execute or search
  std::uint32_t id = 0;    // the user or group of a named entry
  bool operator==(const AclEntry&) const = default;
};

constexpr std::uint16_t kAclUserObj = 0x01, kAclUser = 0x02, kAclGroupObj = 0x04, kAclGroup = 0x08,
                        kAclMask = 0x10, kAclOther = 0x20;
constexpr std::uint16_t kAclWrite = 2;

// The entries of an attribute's bytes; false when they are not an ACL of
// this layout (another version, a torn entry).
bool ParseAcl(const unsigned char* bytes, std::size_t size, std::vector<AclEntry>* entries);

// The attribute's bytes for the entries.
std::string AclBytes(const std::vector<AclEntry>& entries);

// The file's access ACL (or its default ACL), read through fd unless it is
// -1, else by the path, whose last name is not followed. No entries when it
// has none or its file system keeps none; false, *error set, when it
// cannot be read or does not parse (EINVAL).
bool ReadAcl(const std::string& path, int fd, bool default_acl, std::vector<AclEntry>* entries,
             int* error);

// Takes the file's access and default ACLs away (its mode stays), by the
// path, whose last name is not followed; false, *error set, when one
// cannot be taken.
bool RemoveAcls(const std::string& path, int* error);

// The entries through which anyone but the owner may write: named users
// other than the owner, named groups, the group entry (these three only
// when the mask, if there is one, grants write too) and the other entry.
std::vector<AclEntry> WritingEntries(const std::vector<AclEntry>& entries, uid_t owner);

}  // namespace platform
