#include "framework/runtime/xos_translate.h"

#include <atomic>

#include "platform/console_events.h"
#include "platform/exception_codes.h"
#include "platform/floating_point.h"

namespace {

struct Translation {
  std::uint32_t from;
  Status status;
  const char* text;
};

namespace ex = platform::exception;

constexpr Translation kExceptions[] = {
    {ex::kAccessViolation, 0x800000F1u, "Access Violation"},
    {ex::kDataMisalignment, 0x800000F2u, "Data Misalignment"},
    {ex::kArrayBoundsExceeded, 0x800000F3u, "Array Bounds"},
    {ex::kBreakpoint, 0x800000F4u, "Breakpoint"},
    {ex::kSingleStep, 0x800000F5u, "SingleStep"},
    {ex::kFloatDenormalOperand, 0x800000F7u, "Floating Denormalized operand"},
    {ex::kFloatDivideByZero, 0x800000F8u, "Floating Divide by Zero"},
    {ex::kFloatInexactResult, 0x800000F9u, "Floating Inexact Result"},
    {ex::kFloatInvalidOperation, 0x800000FAu, "Floating Invalid Operation"},
    {ex::kFloatOverflow, 0x800000FBu, "Floating Overflow"},
    {ex::kFloatStackCheck, 0x800000FCu, "Floating Point Stack"},
    {ex::kFloatUnderflow, 0x800000FDu, "Floating Underflow"},
    {ex::kIntegerDivideByZero, 0x800000FEu, "Divide By Zero"},
    {ex::kIntegerOverflow, 0x800000FFu, "Integer OverFlow"},
    {ex::kPrivilegedInstruction, 0x80000100u, "Privileged Instruction"},
    {ex::kNoncontinuableException, 0x80000101u, "Non-continuable Exception"},
};
constexpr Translation kUnknownException = {0, 0x800000C8u, "Unknown exception"};

constexpr Translation kConsoleEvents[] = {
    {platform::kCtrlCEvent, 0x800000C9u, "Interrupt from terminal"},
    {platform::kCtrlBreakEvent, 0x800000CAu, "Ctrl-Break from terminal"},
    {platform::kCloseEvent, 0x800000CBu, "Close window detected"},
    {platform::kLogoffEvent, 0x800000CCu, "Logoff detected"},
    {platform::kShutdownEvent, 0x800000CDu, "System shutdown imminent"},
};
constexpr Translation kUnknownEvent = {0, 0x800000C8u, "Unknown asynchronous event"};

std::atomic<const char*> g_last_event_text{""};
std::atomic<XosAsyncHandler> g_async_handler{nullptr};

template <std::size_t N>
const Translation& Find(const Translation (&table)[N], std::uint32_t from,
                        const Translation& other) {
  for (const Translation& row : table)
    if (row.from == from) return row;
  return other;
}

bool IsFloatingPointCode(std::uint32_t code) {
  return code >= ex::kFloatDenormalOperand && code <= ex::kFloatUnderflow;
}

}  // namespace

Status XosTranslateException(std::uint32_t code) {
  const Translation& row = Find(kExceptions, code, kUnknownException);
  g_last_event_text.store(row.text);
  if (IsFloatingPointCode(code)) {
    platform::ClearFloatingPointStatus();
    platform::ResetFloatingPoint();
    XosSetFloatingPointTraps(1);
  }
  return row.status;
}

const char* XosLastEventText() { return g_last_event_text.load(); }

void XosSetFloatingPointTraps(std::int32_t on) { platform::SetFloatingPointTraps(on != 0); }

std::int32_t XosConsoleControlHandler(std::uint32_t event) {
  const Translation& row = Find(kConsoleEvents, event, kUnknownEvent);
  g_last_event_text.store(row.text);
  const XosAsyncHandler handler = g_async_handler.load();
  return handler != nullptr && handler(row.status) != 0 ? 1 : 0;
}

void XosSetAsyncHandler(XosAsyncHandler handler) { g_async_handler.store(handler); }
