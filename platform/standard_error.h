// The engine's own lines on standard error, for paths that must go on
// whatever the stream does (the end of the process above all). Standard
// error is not relayed, so a reader that takes nothing fills it, and a
// thread stuck writing there (a user procedure) holds the stream's lock
// for good: these lines are written on the descriptor, past that lock and
// the stream's buffer, and wait for room only up to a bound.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

// How long one line waits for room at most.
inline constexpr std::uint32_t kStandardErrorWaitMs = 500;

// Writes `text` on standard error, in one write where the stream has room
// for it; true when all of it went within most_ms.
bool SayOnStandardError(std::string_view text, std::uint32_t most_ms = kStandardErrorWaitMs);

// Flushes what the stdio stream of standard error holds, unless another
// thread holds the stream: then it is left, not waited for.
void FlushStandardErrorIfFree();

}  // namespace platform
