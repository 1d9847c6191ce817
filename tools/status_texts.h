// What the engine's statuses mean, in words, for the client's output: the
// statuses of the framework and of the problem manager that a client meets,
// and the system's texts of the COM failures.
#pragma once

#include <string>

#include "platform/status.h"

namespace vantor_client {

// The engine's exit status when its client closed the connection.
inline constexpr Status kClientGone = 0xA0000037u;

// The meaning of a status; empty when none is known.
std::string StatusMeaning(Status status);
// "0x8000FFFF (not handled: ...)", or the hex alone when no meaning is known.
std::string StatusWithMeaning(Status status);
// How the engine ended, from its exit code: the normal end after the client
// closed the connection, an end of its own, or a failure.
std::string EngineEnd(int exit_code);

}  // namespace vantor_client
