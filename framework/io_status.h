// Statuses and progress codes of the file and framing layer.
#pragma once

#include "platform/status.h"

namespace status {

inline constexpr Status kOutOfMemory = 0x80000007u;
// A file (or module) that should exist does not.
inline constexpr Status kNotFound = 0x80000015u;
// A file that could not be opened, or a stream with no open file.
inline constexpr Status kOpenFailed = 0x8000000Bu;
// The other end of a connection is gone.
inline constexpr Status kPeerGone = 0x80000035u;
inline constexpr Status kPeerGoneMask = 0xA000FFFFu;

// Progress codes (successes that tell the caller to come back later).
inline constexpr Status kNothingRead = 5;
inline constexpr Status kPartlyWritten = 30;
inline constexpr Status kNothingWritten = 33;
inline constexpr Status kIncompleteFrame = 34;

}  // namespace status
