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
Status MakeFilePath(const char* drive, const char* directory, const char* name, std::string* path);

// The entries of the pattern's directory whose names match its last
// component ("*" and "?" in any letter case; "*.*" is every name), sorted,
// filtered by the mode. Mode 4 lists the drives: none here. 0, or
// 0x8000FFFF when the directory cannot be read.
Status ListDirectory(const char* pattern, BvuDirectoryListing* listing, std::int32_t mode);

// Windows-style file-name wildcards: "*" with backtracking, "?" one
// character, letters in any case, "*.*" every name.
bool MatchFilePattern(const char* name, const char* pattern);

// Copies every entry of the source directory into the target, directories
// recursively; a linked directory is copied as a link to the same place,
// never followed. Nothing happens (0) when the source is not readable or
// the target is missing and not to be created. The last failure, or 0; an
// entry that is neither a directory nor a regular file (a pipe, a device)
// is a failure and is left out.
Status CopyDirectoryTree(const char* source, const char* target, std::int32_t mode, bool create);

// Copies a regular file with its permission bits. Bit 0: overwrite an
// existing target, read-only or not (without it an existing target makes
// the copy fail); bit 1: make the target writable. The copy is written
// beside the target and takes its place only when complete, so a failed
// copy leaves an existing target as it was. A file is never copied onto
// itself. 0 or 0x8000FFFF; `error`, when given, gets the errno of the step
// that failed (0 on success).
Status CopyFileWithMode(const char* source, const char* target, std::int32_t mode,
                        int* error = nullptr);

// CopyFileWithMode with bits 0 and 1 for the files the engine keeps in a
// folder others may write in: no link is followed. A linked source is
// refused (ELOOP); a link under the target's name is replaced by the copy,
// and the file it leads to is left as it was.
Status CopyOverName(const char* source, const char* target, int* error = nullptr);

// After a failed write or copy whose errno (`error`) says the disk is full
// (ENOSPC, EDQUOT): when the disk of the written file's folder (the second
// file's, else the first's) has no free bytes, writes "Disk memory: Disk
// full while copy file <first> to file <second>" (or "... while accessing
// <first>" without a second file) to standard error and ends the process
// with kDiskFullStatus. Returns otherwise.
void CheckDiskFull(const char* first, const char* second, int error);

// How CheckDiskFull learns the free bytes of a folder's disk; false when
// the query fails.
using BvuFreeSpaceQuery = bool (*)(const char* folder, std::uint64_t* free_bytes);
// Installs a query (null puts back the system's); returns the previous one.
BvuFreeSpaceQuery SetFreeSpaceQuery(BvuFreeSpaceQuery query);

// The first n characters of the text; 0x8000FFFF when n is negative or
// longer than the text.
Status CopyPrefix(const char* text, std::int32_t n, std::string* copy);

// Answers the current drive number (always 3); 0.
Status ChangeDrive(std::int32_t* drive);

// Splits a path at its last '/' or '\' into the directory (with that
// separator) and the name; the drive is always empty.
void SplitFilePath(const char* path, std::string* drive, std::string* directory, std::string* name);
