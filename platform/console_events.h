// Console events from signals: SIGINT is Ctrl-C (event 0), SIGQUIT Ctrl-Break
// (1), SIGHUP the console closing (2), SIGTERM a shutdown (6). One listener
// thread receives them with sigwait and calls the handler, as the system
// calls a console handler on a thread of its own.
#pragma once

#include <cstdint>

namespace platform {

inline constexpr std::uint32_t kCtrlCEvent = 0;
inline constexpr std::uint32_t kCtrlBreakEvent = 1;
inline constexpr std::uint32_t kCloseEvent = 2;
inline constexpr std::uint32_t kLogoffEvent = 5;
inline constexpr std::uint32_t kShutdownEvent = 6;

// Non-zero: the event is handled and the process goes on. Zero: the signal's
// default action follows (the process ends).
using ConsoleEventHandler = std::int32_t (*)(std::uint32_t event);

// Blocks the four signals in the calling thread, and so in every thread it
// creates afterwards, and starts the listener; false when it cannot be
// started. Call it before any other thread exists, or a thread that does not
// block the signals would take their default action in the listener's place.
bool StartConsoleEvents(ConsoleEventHandler handler);

}  // namespace platform
