// Plain file descriptors for the engine's file streams: opening without ever
// truncating, and positioned transfers that never move a shared offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct FileOpenMode {
  bool read = false;
  bool write = false;
  bool create = true;  // create a missing file; false: it must exist
  bool exclusive = false;  // with create: fail with EEXIST when the name exists
};

// A descriptor, or -1 with *error set to the errno of the failure.
int OpenFile(const char* path, const FileOpenMode& mode, int* error);

// Reads up to count bytes at the offset; fewer only at the end of the file.
// Returns false with *error set on failure. Interrupted calls are retried.
bool ReadFileAt(int fd, void* buffer, std::size_t count, std::uint64_t offset,
                std::size_t* done, int* error);

// Writes all count bytes at the offset unless a failure stops it; *done
// tells how many reached the file either way.
bool WriteFileAt(int fd, const void* buffer, std::size_t count, std::uint64_t offset,
                 std::size_t* done, int* error);

// Closes the descriptor; false with *error set when the close failed.
bool CloseFile(int fd, int* error);

bool RemoveFile(const char* path);

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

}  // namespace platform
