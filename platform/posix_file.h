// Plain file descriptors for the engine's file streams: opening without ever
// truncating, and positioned transfers that never move a shared offset.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

struct FileOpenMode {
  bool read = false;
  bool write = false;
  bool create = true;  // create a missing file; false: it must exist
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

// Descriptors this process may still open: its soft limit less those open.
std::uint32_t DescriptorRoom();

// Forces the file's data and size to the device; false with *error set.
bool SyncFile(int fd, int* error);

// Forces a folder's entries (a file created or renamed in it) to the device.
// File systems that cannot sync a folder count as done.
bool SyncFolder(const char* path, int* error);

}  // namespace platform
