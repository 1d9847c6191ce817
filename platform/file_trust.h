// Who besides this user can change a file or a folder: the one rule that
// the library loader (what it runs) and the build folders (where the
// engine builds what it runs) share. Root and this user may; no one else.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace platform {

// Who besides the folder's owner and root may write to it, or empty: by
// its mode "others", or "members of its group" unless the only one the
// group can stand for is its owner; by its access ACL a named user or
// group too ("user NAME (by an ACL entry)"). The ACL is read through fd
// unless it is -1, else by the name.
std::string WhoElseMayWrite(const std::string& folder, const struct stat& s, int fd = -1);

// Why the folder, a folder on the way to a file the engine runs or builds,
// must not be used, or empty when only this user or root can change what
// it holds: it is this user's or root's, and when anyone else may write to
// it (WhoElseMayWrite), it is sticky (no one can then move or replace
// another's file).
std::string WhyFolderIsOpenToOthers(const std::string& folder, const struct stat& s, int fd = -1);

// Why what this user makes in the folder (a build's outputs) would be open
// to others' writes whatever the umask, or empty: the folder's default
// ACL grants write to someone besides this user and root.
std::string WhyWhatIsMadeInIsOpenToOthers(const std::string& folder);

// Why the file must not be used (run, loaded, built or read for what it
// names to run), or empty: a regular file of this user's or root's that
// neither its group nor others can write to. When a chmod of this user's
// would make it usable (the group is the owner's alone, or the file is ours
// in a folder of ours), the reason says so: "(chmod g-w FILE makes it
// <made>)". folder (may be null) is the folder it lies in.
std::string WhyFileIsOpenToOthers(const std::string& file, const struct stat& s,
                                  const struct stat* folder, const char* made);
// The same for a library file: "makes it loadable".
std::string WhyLibraryFileIsOpenToOthers(const std::string& file, const struct stat& s,
                                         const struct stat* folder);

// True when the group has no member but the user: a group of that name,
// listing no one else, that no other user has as their own group.
bool GroupIsOwnersAlone(gid_t group, uid_t owner);

}  // namespace platform
