// Calls into the framework's libraries run inside a fault guard: a machine
// fault there ends the call, is reported with its exception text, and the
// engine goes on with the floating-point state it had before the call.
#pragma once

#include <cfenv>
#include <cstdint>
#include <string>

#include "platform/fault_guard.h"
#include "platform/status.h"

// "An exception (code 0xc0000005 - access violation) occurred"; codes without
// a name of their own get no suffix.
std::string KvsExceptionText(std::uint32_t code);

// Prints the text of a fault that ended a library call, at `status`.
void ReportKvsFault(std::uint32_t code, Status status);

// Runs fn (returning a Status) guarded: its result, or `failure` after a
// fault, which is reported at `failure`.
template <class F>
Status GuardedKvsCall(F&& fn, Status failure) {
  Status result = failure;
  const std::uint32_t fault = platform::RunGuarded([&] { result = fn(); });
  if (fault == 0) return result;
  std::feclearexcept(FE_ALL_EXCEPT);
  ReportKvsFault(fault, failure);
  return failure;
}
