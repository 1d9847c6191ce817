// Who besides this user can change a file or a folder: the one rule that
// the library loader (what it runs) and the build folders (where the
// engine builds what it runs) share. Root and this user may; no one else.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace platform {

// Why the folder, a folder on the way to a file the engine runs or builds,
// must not be used, or empty when only this user or root can change what
// it holds: it is this user's or root's, and when its group or others may
// write to it, it is sticky (no one can then move or replace another's
// file), or the only one its group can stand for is its owner.
std::string WhyFolderIsOpenToOthers(const std::string& folder, const struct stat& s);

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
