#include "platform/posix_acl.h"

#include <sys/xattr.h>

#include <cerrno>

#include "platform/byte_order.h"

namespace platform {

namespace {

constexpr std::uint32_t kAclVersion = 2;
constexpr std::size_t kHeaderSize = 4, kEntrySize = 8;
// The kernel keeps no attribute longer.
constexpr std::size_t kMostBytes = 65536;

bool Fail(int* error, int code) {
  *error = code;
  return false;
}

}  // namespace

bool ParseAcl(const unsigned char* bytes, std::size_t size, std::vector<AclEntry>* entries) {
  entries->clear();
  if (size < kHeaderSize || (size - kHeaderSize) % kEntrySize != 0 || size > kMostBytes ||
      LoadLE32(bytes) != kAclVersion) {
    return false;
  }
  for (std::size_t at = kHeaderSize; at < size; at += kEntrySize) {
    entries->push_back({LoadLE16(bytes + at), LoadLE16(bytes + at + 2), LoadLE32(bytes + at + 4)});
  }
  return true;
}

std::string AclBytes(const std::vector<AclEntry>& entries) {
  std::string bytes(kHeaderSize + kEntrySize * entries.size(), '\0');
  auto* out = reinterpret_cast<unsigned char*>(bytes.data());
  StoreLE32(out, kAclVersion);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    unsigned char* at = out + kHeaderSize + kEntrySize * i;
    StoreLE16(at, entries[i].tag);
    StoreLE16(at + 2, entries[i].perm);
    StoreLE32(at + 4, entries[i].id);
  }
  return bytes;
}

bool ReadAcl(const std::string& path, int fd, bool default_acl, std::vector<AclEntry>* entries,
             int* error) {
  entries->clear();
  const char* name = default_acl ? "system.posix_acl_default" : "system.posix_acl_access";
  std::vector<unsigned char> bytes(kMostBytes);
  const ssize_t got = fd >= 0 ? ::fgetxattr(fd, name, bytes.data(), bytes.size())
                              : ::lgetxattr(path.c_str(), name, bytes.data(), bytes.size());
  if (got < 0) {
    if (errno == ENODATA || errno == EOPNOTSUPP) return true;
    return Fail(error, errno);
  }
  return ParseAcl(bytes.data(), static_cast<std::size_t>(got), entries) || Fail(error, EINVAL);
}

bool RemoveAcls(const std::string& path, int* error) {
  for (const char* name : {"system.posix_acl_access", "system.posix_acl_default"}) {
    if (::lremovexattr(path.c_str(), name) != 0 && errno != ENODATA && errno != EOPNOTSUPP) {
      return Fail(error, errno);
    }
  }
  return true;
}

std::vector<AclEntry> WritingEntries(const std::vector<AclEntry>& entries, uid_t owner) {
  bool masked = false;
  for (const AclEntry& entry : entries) {
    if (entry.tag == kAclMask) masked = (entry.perm & kAclWrite) == 0;
  }
  std::vector<AclEntry> writing;
  for (const AclEntry& entry : entries) {
    if ((entry.perm & kAclWrite) == 0) continue;
    const bool group_class =
        entry.tag == kAclUser || entry.tag == kAclGroup || entry.tag == kAclGroupObj;
    // The owner's own named entry is never consulted: the owner entry is.
    if ((group_class && !masked && !(entry.tag == kAclUser && entry.id == owner)) ||
        entry.tag == kAclOther) {
      writing.push_back(entry);
    }
  }
  return writing;
}

}  // namespace platform
