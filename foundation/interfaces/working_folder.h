// The folder operations of the working-folder part of the problem manager that
// the file service and the build driver call without a problem manager at
// hand. Implemented here over the platform's file calls, so that the file
// service (framework/servers) and the problem manager (control/) share them.
// Paths from the client may use '\' as well as '/'.
#pragma once

#include <cstdint>

#include "platform/status.h"

namespace SimWorkingFolder {

inline constexpr Status kOk = 0x00320000u;
inline constexpr Status kFailure = 0x8032FFFFu;

// Path query flags, combined by or.
inline constexpr std::uint32_t kPathDirectory = 3;
inline constexpr std::uint32_t kPathWritable = 2;
inline constexpr std::uint32_t kPathReadable = 4;
inline constexpr std::uint32_t kPathExecutable = 8;

// Callers pass this instead of a path to go one folder up.
inline const char* const kParentFolder =
    reinterpret_cast<const char*>(static_cast<std::intptr_t>(-1));

// Makes the path the current directory; null means ".", kParentFolder "..",
// and a bare drive "X:" its root "X:\".
Status SetCurrentFolder(const char* path);

// kFailure when the path does not exist (flags 0); else kOk and, when
// `flags` is given, what this process may do with the path.
Status QueryPath(const char* path, std::uint32_t* flags);

}  // namespace SimWorkingFolder
