// The engine's only door to the POSIX file system: file descriptors owned by
// RAII, opening without ever truncating, positioned transfers that never move
// a shared offset, and the path operations (information, folders, links,
// renames) that the file utilities and the file service are built on. Calls
// interrupted by a signal are retried; failures give the errno through
// `error` where the caller needs to tell them apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// A descriptor owned by its holder and closed when the holder goes. Close()
// closes earlier and says whether the close succeeded (a delayed write
// error shows there).
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int Release();
  // Closes now; false with *error set when the close failed. The descriptor
  // is gone either way.
  bool Close(int* error);

 private:
  int fd_ = -1;
};

struct FileOpenMode {
  bool read = false;
  bool write = false;
  bool create = true;  // create a missing file; false: it must exist
  // Opening does not wait, should a FIFO stand where a file was expected.
  bool no_wait = false;
  bool exclusive = false;  // with create: fail with EEXIST when the name exists
  // A symbolic link under the name is not followed: the open fails (ELOOP).
  bool no_follow = false;
};

// A descriptor, or -1 with *error set to the errno of the failure.
int OpenFile(const char* path, const FileOpenMode& mode, int* error);

// Reads up to count bytes at the offset; fewer only at the end of the file.
// Returns false with *error set on failure. Interrupted calls are retried.
bool ReadFileAt(int fd, void* buffer, std::size_t count, std::uint64_t offset, std::size_t* done,
                int* error);

// Writes all count bytes at the offset unless a failure stops it; *done
// tells how many reached the file either way.
bool WriteFileAt(int fd, const void* buffer, std::size_t count, std::uint64_t offset,
                 std::size_t* done, int* error);

// Closes the descriptor; false with *error set when the close failed.
bool CloseFile(int fd, int* error);

bool RemoveFile(const char* path);

// Opens with OpenFile's rules, the descriptor owned.
FileDescriptor OpenOwnedFile(const char* path, const FileOpenMode& mode, int* error);

// Sequential transfers at the descriptor's own offset. ReadSome gives up to
// count bytes, 0 at the end; WriteAll writes everything or fails.
bool ReadSome(int fd, void* buffer, std::size_t count, std::size_t* got, int* error);
bool WriteAll(int fd, const void* buffer, std::size_t count, int* error);

struct FileInfo {
  bool is_directory = false;
  bool is_regular = false;
  bool is_link = false;  // only from GetLinkInfo
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint32_t permissions = 0;  // the mode bits 07777
};
// What the path leads to, following links.
bool GetFileInfo(const char* path, FileInfo* info, int* error);
// The path itself, a link not followed.
bool GetLinkInfo(const char* path, FileInfo* info, int* error);
bool GetOpenFileInfo(int fd, FileInfo* info, int* error);

enum class Access { kRead, kWrite, kExecute };
// Whether this process may do that with the path.
bool IsAccessible(const char* path, Access access);

bool SetPermissions(int fd, std::uint32_t permissions, int* error);

// A new file made from a template ending in "XXXXXX", which is replaced by
// the name chosen.
FileDescriptor MakeTemporaryFile(std::string* path_template, int* error);
// A new folder (mode 0700) made from such a template.
bool MakeTemporaryFolder(std::string* path_template, int* error);

// Renames only when the target does not exist; EINVAL where the file system
// cannot promise that.
bool RenameFileNoReplace(const char* from, const char* to, int* error);

// The absolute path with every link resolved; empty when it cannot be had.
std::string ResolvedPath(const char* path);
// The text of a symbolic link; empty when the path is not one.
std::string LinkText(const char* path);
bool MakeSymbolicLink(const char* text, const char* path, int* error);

// The process's file-creation mask, read without setting it (another
// thread may be making files meanwhile); 077 when it cannot be read.
std::uint32_t ReadUmask();

// Creates a folder (permissions 0777 less the umask).
bool MakeDirectory(const char* path, int* error);
bool RemoveDirectory(const char* path);
// Every name in the folder, "." and ".." included, in the order the
// system gives them.
bool ReadDirectoryNames(const char* path, std::vector<std::string>* names);

bool ChangeDirectory(const char* path);
// The current folder; false when it cannot be had.
bool CurrentDirectory(std::string* path);

// Bytes free to this process on the file system of the folder.
bool FreeDiskSpace(const char* folder, std::uint64_t* free_bytes);
// Durable storage for files that hold user data: the file's bytes reach the
// disk (fsync), and a rename or creation in a folder is made durable by
// syncing the folder. false with *error set on failure.
bool SyncFile(int fd, int* error);
bool SyncFolderOf(const char* path, int* error);

// Replaces `to` by `from` in one step (POSIX rename): a reader sees either
// the old file or the new one, never neither.
bool RenameFile(const char* from, const char* to, int* error);

// Size of an open file; false with *error set on failure.
bool FileSizeOf(int fd, std::uint64_t* size, int* error);

// Whether anything (file, folder, link) exists under the path.
bool PathExists(const char* path);

struct FolderEntry {
  std::string name;
  bool is_folder = false;
};

// The entries of a folder ("." and ".." left out) sorted by name ignoring
// letter case, so that code written for a listing in name order sees the
// same order here. false when the folder cannot be read.
bool ListFolderSorted(const char* folder, std::vector<FolderEntry>* entries);

// Fault injection for crash tests: with a countdown of n (1 or more) the
// n-th write, rename or sync from now on ends the process with
// _exit(kFileFaultExitCode) before it happens; 0 switches it off. Every such
// operation is counted either way, so that a test can learn how many an
// operation performs.
inline constexpr int kFileFaultExitCode = 87;
void SetFileFaultCountdown(std::uint64_t n);
std::uint64_t FileFaultPointCount();

// Descriptors this process may still open: its soft limit less those open.
std::uint32_t DescriptorRoom();

// Forces a folder's entries (a file created or renamed in it) to the device.
// File systems that cannot sync a folder count as done.
bool SyncFolder(const char* path, int* error);

}  // namespace platform
