// File utilities of the file service and of the managers that copy, list
// and delete files: path composition, directory listing, tree and file
// copies, and the disk-full check that ends the process. Linux has no
// drives: drive arguments are accepted and left out, the drive list is
// empty and the current drive is always 3 ("C"). Paths are composed with
// '/'; paths from the client may use '\' as well.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

// The separators the client is told to build paths with.
inline constexpr const char* kDriveSeparator = ":";
inline constexpr const char* kDirectorySeparator = "/";
// The drive number that stands for the one tree of the file system.
inline constexpr std::int32_t kOnlyDrive = 3;

// ListDirectory modes; 1 and 2 may be combined (0 means both).
inline constexpr std::int32_t kListDirectories = 1;
inline constexpr std::int32_t kListFiles = 2;
inline constexpr std::int32_t kListDrives = 4;

// CopyFileWithMode bits.
inline constexpr std::int32_t kCopyOverwrite = 1;
inline constexpr std::int32_t kCopyMakeWritable = 2;

// The status a full disk ends the process with.
inline constexpr Status kDiskFullStatus = 0x80070070u;

struct BvuDirectoryListing {
  std::vector<std::string> names;
  // 1 for a directory, 0 otherwise; parallel to the names.
  std::vector<std::uint8_t> directory_flags;
};

// The path with every '\' turned into '/'.
std::string NativeFilePath(const char* path);

// The directory (with a '/' added when it ends in neither '/' nor '\'),
// then the name. An empty directory adds nothing, so a bare name stays
// relative. Returns 0.
Status MakeFilePath(const char* drive, const char* directory, const char* name,
                    std::string* path);

// The entries of the pattern's directory whose names match its last
// component ("*" and "?" in any letter case; "*.*" is every name), sorted,
// filtered by the mode. Mode 4 lists the drives: none here. 0, or
// 0x8000FFFF when the directory cannot be read.
Status ListDirectory(const char* pattern, BvuDirectoryListing* listing, std::int32_t mode);

// Windows-style file-name wildcards: "*" with backtracking, "?" one
// character, letters in any case, "*.*" every name.
bool MatchFilePattern(const char* name, const char* pattern);

// Copies every entry of the source directory into the target, directories
// recursively. Nothing happens (0) when the source is not readable or the
// target is missing and not to be created. The last failure, or 0.
Status CopyDirectoryTree(const char* source, const char* target, std::int32_t mode, bool create);

// Copies a file with its permission bits. Bit 0: make an existing target
// writable first and overwrite it (without it an existing target makes the
// copy fail); bit 1: make the target writable afterwards. A file is never
// copied onto itself. 0 or 0x8000FFFF.
Status CopyFileWithMode(const char* source, const char* target, std::int32_t mode);

// After a failed write or copy: when the current disk has no free bytes,
// writes "Disk memory: Disk full while copy file <first> to file <second>"
// (or "... while accessing <first>" without a second file) to standard
// error and ends the process with kDiskFullStatus. Returns otherwise.
void CheckDiskFull(const char* first, const char* second);

// How CheckDiskFull learns the free bytes; false when the query fails.
using BvuFreeSpaceQuery = bool (*)(std::uint64_t* free_bytes);
// Installs a query (null puts back the system's); returns the previous one.
BvuFreeSpaceQuery SetFreeSpaceQuery(BvuFreeSpaceQuery query);

// The first n characters of the text; 0x8000FFFF when n is negative or
// longer than the text.
Status CopyPrefix(const char* text, std::int32_t n, std::string* copy);

// Answers the current drive number (always 3); 0.
Status ChangeDrive(std::int32_t* drive);

// Splits a path at its last '/' or '\' into the directory (with that
// separator) and the name; the drive is always empty.
void SplitFilePath(const char* path, std::string* drive, std::string* directory,
                   std::string* name);
