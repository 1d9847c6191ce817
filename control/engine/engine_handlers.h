// The engine's process-wide handlers: what a console event does, what a
// machine fault on the server thread or the run thread prints before the
// process ends, and the last fatal error text the control loop reports when
// it finds the run thread dead.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/status.h"

class XosThread;

namespace Vantor {
// 1 for the handled codes (the process goes on), else prints the abort lines
// and answers 0 so that the default handling ends the process.
std::int32_t async_signal_handler(Status status);
}  // namespace Vantor

// Both print their lines, keep the fault text as the last fatal error text
// and answer 3: the failure goes on and the process ends.
std::int32_t sync_server_handler(XosThread* thread, Status status, std::uint32_t kind);
std::int32_t sync_solver_handler(XosThread* thread, Status status, std::uint32_t kind);

// The cause of a translated fault status ("Access Violation", ...).
const char* FaultCause(Status status);

// Set by the fault handlers on the failing thread, read by the server
// thread; null until a fault happened.
const char* LastFatalErrorText();
void ClearLastFatalErrorText();

// Where the handlers write; standard output and error unless a test
// redirects them.
void SetEngineHandlerStreams(std::FILE* out, std::FILE* err);
