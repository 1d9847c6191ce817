// Failure translation: structured-exception codes and console events become
// the engine's status words with fixed texts; the last text is kept
// process-wide for messages. Also the floating-point trap switch, which the
// translation of a floating-point fault turns back on.
#pragma once

#include <cstdint>

#include "platform/status.h"

// The status of an exception code (0x800000C8 for a code not in the table).
// After a floating-point exception the status flags are cleared, the unit is
// reset and the traps are armed again.
Status XosTranslateException(std::uint32_t code);

// The text of the last exception or console event translated; "" before any.
const char* XosLastEventText();

// On: invalid operation, division by zero and overflow trap; off: they do not.
// The other floating-point settings are left alone.
void XosSetFloatingPointTraps(std::int32_t on);

// Answers non-zero when the console event is handled and the process goes on.
using XosAsyncHandler = std::int32_t (*)(Status status);

// The handler of console events: translates the event, keeps its text and
// asks the asynchronous handler; without one the event is not handled.
std::int32_t XosConsoleControlHandler(std::uint32_t event);

void XosSetAsyncHandler(XosAsyncHandler handler);
