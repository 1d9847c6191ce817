// Keeps a process from blocking on its standard output and error. A reader
// that never reads (a full pipe, a terminal held with Ctrl-S) would block
// whichever thread writes next, holding the stream's lock, and then the
// process's end too. Relaying puts a pipe of the process's own in place of
// each such descriptor: one thread empties it at once into memory, up to a
// bound, and another writes that on to the real stream, where only it may
// wait. What does not fit is dropped, and a line says how much went once
// there is room again. Regular files are written as before: they never
// hold a writer back. Process-wide; what it keeps is never freed, so the
// threads may run on while the process ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

// Bytes held for one relayed stream at most.
inline constexpr std::size_t kMostRelayedBytes = std::size_t{1} << 20;

// Relays each descriptor that is open and not a regular file; descriptors
// that name one pipe or terminal share a relay, so that their lines keep
// their order. At most once for each descriptor; false when a relay could
// not be set up (that descriptor is left as it was). The first call also
// settles the relays when the process exits.
bool RelayStreams(const std::vector<int>& fds, std::size_t most_held = kMostRelayedBytes);
// Standard output alone: the engine's lines a client may leave unread.
// Standard error is left as it is, so that what is written there just
// before an abnormal end (a sanitizer's report, std::terminate, a failed
// heap check, all of which end at once) reaches it whole; the engine
// writes only a few lines there.
inline bool RelayStandardOutput() { return RelayStreams({1}); }

// Waits until the relays have passed on all that was written to them, for
// at most most_ms, and no longer than stall_ms while a real stream takes
// nothing (its writer asleep in a write); true when they have. A relay
// thread that a busy machine has not run yet is no stall: what it holds
// is waited for. Safe in a signal handler; true at once without a relay.
bool SettleRelayedStreams(std::uint32_t most_ms = 10000, std::uint32_t stall_ms = 500);

// Lines dropped by the relays so far.
std::uint64_t RelayedLinesDropped();

}  // namespace platform
