// Statuses and progress codes of the file, framing and connection layer.
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
// A socket whose peer ended the connection in order.
inline constexpr Status kConnectionClosed = 0x80000042u;
// Any further read of a connection its peer has closed.
inline constexpr Status kClosedConnection = 0xA0000035u;
// The remote-execution service of a host could not be reached.
inline constexpr Status kNetworkFailure = 0x8000004Eu;
// A child on another host needs a password and nobody can be asked.
inline constexpr Status kNoPassword = 0x80000041u;
// The process manager has no child to start.
inline constexpr Status kNoProcesses = 0x80000040u;

// Progress codes (successes that tell the caller to come back later).
inline constexpr Status kNothingRead = 5;
inline constexpr Status kPartlyWritten = 30;
inline constexpr Status kNothingWritten = 33;
inline constexpr Status kIncompleteFrame = 34;
// The connection could not be opened yet; nothing moved.
inline constexpr Status kNotYetOpen = 37;
// A write on a connection its peer has closed; nothing moved.
inline constexpr Status kWriteOnClosed = 66;

}  // namespace status
