// SuPrint: the one message printer of the engine. Formats a printf-like
// format whose arguments are passed by address, prints model objects by name
// through "@" placeholders, wraps lines at 256 characters and hands each
// finished line to the message collector (standard output when none exists).
#pragma once

#include <cstdarg>
#include <cstdint>

#include "platform/critical_section.h"
#include "platform/status.h"

class BvuStatusAndMsg;

// Every numeric or character argument is a pointer to the value; "%s" takes
// the text itself, "@ns" the address of a pointer to a BvuNameable.
void SuPrint(Status status, const char* format, ...);
// The same with the argument addresses in a va_list.
void SuPrintV(Status status, const char* format, va_list args);

// Entry of the numeric routines: status by reference, a blank-padded format
// of format_length characters, up to five argument addresses.
void SuPrintNumeric(const Status* status, const char* format, const void* a1, const void* a2,
                    const void* a3, const void* a4, const void* a5, std::int32_t format_length);

// Callers hold SuPrintCriticalSection() around it.
void SetSuPrintQuiet(std::int32_t quiet);

// The printer's one critical section.
platform::CriticalSection& SuPrintCriticalSection();

// Prints the object's text as one message, passes its status to the
// collector's EndGroup and destroys it. Null does nothing.
void PrintStatusAndMsg(BvuStatusAndMsg* message);
