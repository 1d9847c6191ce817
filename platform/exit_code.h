// How a 32-bit final status becomes an 8-bit process exit code.
#pragma once

#include "platform/status.h"

namespace platform {

// 0 when bit 31 is clear; otherwise the low byte of the status, or 1 when
// that byte is 0, so that no failure ever exits with 0.
int ExitCodeOf(Status final_status);

// Writes "vantor: exit status 0x%08X" to standard error for a failure
// (unless told not to: an end the caller knows to be the usual one) and ends
// the process with ExitCodeOf(final_status).
[[noreturn]] void ExitWithStatus(Status final_status, bool say_failure = true);

// The same message and exit code, but the process ends at once, without
// running destructors or exit handlers: for when a thread that could not
// be stopped still uses what they would free.
[[noreturn]] void AbandonWithStatus(Status final_status);

}  // namespace platform
