// Writing files in folders that other users may also write to: nothing is
// written through a symbolic link, no one else's file is emptied, and no
// open waits on a FIFO put where a file was expected.
#pragma once

#include <deque>
#include <ostream>
#include <streambuf>
#include <string>

#include "platform/posix_file.h"

namespace platform {

// Opens a file of ours for writing from the start, emptied, or makes it:
// refused (no descriptor, *error set) when the name is a link (ELOOP), not
// a regular file (EINVAL), another user's file or one with further names
// (EPERM).
FileDescriptor OpenForReplace(const char* path, int* error);

// Makes a new, empty file under the name for writing, which neither group
// nor others can write to whatever the umask, and puts it in place of the
// file there (a rename: a descriptor someone opened on the old one writes
// nowhere that is read by this name again). What OpenForReplace refuses is
// refused here likewise (a folder with EISDIR), and nothing is opened under
// the name.
FileDescriptor ReplaceWithNewFile(const char* path, int* error);

// Makes a new file under the name with the bytes of an existing one; never
// replaces anything (EEXIST when the name is taken) and reads no link.
// The mode is the source's, less the umask.
bool CopyToNewFile(const char* from, const char* to, int* error);

// Makes a folder of this user's, mode 0700 and no ACL (none handed down
// to what is made in it), from a mkdtemp template, and gives its path with
// no link in it. Refused (EPERM, the folder removed)
// when a folder on that path is one the library loader would refuse
// (WhyFolderIsOpenToOthers): another user's (root aside), or one that
// anyone but its owner can write to without the sticky bit. They could
// move ours aside and put theirs in its place.
bool MakePrivateFolder(std::string* path_template, int* error);

// Whether the path is a regular file (a link not followed) that this
// process's user owns.
bool IsOwnRegularFile(const char* path);

// Takes the write permission of group and others from a file this process
// made (a library it built), whatever the umask was when it was made, so
// that the library check takes it. Refused, the mode left as it is, when
// the name is a link (ELOOP), not a regular file (EINVAL), or another
// user's file or one with further names (EPERM).
bool CloseToOthersWrites(const char* path, int* error);

// The names of a path, without the empty ones and ".".
std::deque<std::string> PathNames(const std::string& path);

// Opens a folder for what is then made in it: the path walked name by
// name from the root (a relative one from `from`, shown as `from_shown`,
// or from the current folder), each name opened without following a link;
// a link met on the way is followed only when it is this user's or root's.
// Refused (no descriptor) with *others_link set to the link as walked when
// it is another user's, else with *error set (ENOTDIR, ELOOP, ...). The
// descriptor (O_PATH) serves the *at calls: what is made through it lands
// where the walk ended, whatever becomes of the path.
FileDescriptor OpenFolderOnWay(const std::string& path, std::string* others_link, int* error);
FileDescriptor OpenFolderOnWay(int from, const std::string& from_shown, const std::string& path,
                               std::string* others_link, int* error);

// Why a name in the folder must not be replaced: 0 when nothing is there
// or it is a regular file of this user's with no further names, else
// ELOOP (a link), EISDIR, EINVAL (not a regular file), EPERM (another
// user's, or further names) or the errno of the look.
int RefusedReplacement(int folder, const char* name);

// A file made under a temporary name beside `name` in a folder held open
// (mode 0600, then readable by group and others as the umask allows), put
// in place of the name only once written whole: one dropped unplaced, or
// refused at Place, leaves what the name held as it was.
class NewFile {
 public:
  NewFile() = default;
  // Invalid, *error set, when RefusedReplacement refuses the name.
  static NewFile Make(int folder, const std::string& name, int* error);
  NewFile(NewFile&& other) noexcept { *this = std::move(other); }
  NewFile& operator=(NewFile&& other) noexcept;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() { Drop(); }

  bool valid() const { return !temporary_.empty(); }
  int fd() const { return file_.get(); }
  // The descriptor handed over (to a stream that closes it); the file is
  // still placed or dropped by name.
  FileDescriptor TakeDescriptor() { return std::move(file_); }
  // Renames it over the name, checked again just before; refused, the
  // file dropped, as Make refuses.
  bool Place(int* error);
  void Drop();

 private:
  FileDescriptor folder_;
  std::string name_, temporary_;
  FileDescriptor file_;
};

// An output stream over a descriptor it owns; good() turns false on the
// first failed write.
class FileOutStream : public std::ostream {
 public:
  explicit FileOutStream(FileDescriptor fd);
  // Over a new file, put in place by close() when every write succeeded.
  explicit FileOutStream(NewFile file);
  ~FileOutStream() override;
  bool is_open() const { return buffer_.fd.valid(); }
  // Writes what is held and closes; the stream fails when either fails.
  void close();

 private:
  NewFile placed_;
  struct Buffer : std::streambuf {
    FileDescriptor fd;
    char bytes[8192];
    Buffer() { setp(bytes, bytes + sizeof bytes); }
    int sync() override;
    int_type overflow(int_type c) override;
  };
  Buffer buffer_;
};

}  // namespace platform
