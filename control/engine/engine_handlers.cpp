#include "control/engine/engine_handlers.h"

#include <array>
#include <atomic>
#include <cstdarg>
#include <string>

#include "platform/standard_error.h"

namespace {

std::atomic<const char*> g_last_fatal{nullptr};
std::atomic<std::FILE*> g_out{nullptr};
std::atomic<std::FILE*> g_err{nullptr};

std::FILE* Out() {
  std::FILE* out = g_out.load();
  return out != nullptr ? out : stdout;
}
std::FILE* Err() {
  std::FILE* err = g_err.load();
  return err != nullptr ? err : stderr;
}

// One line of a handler. Standard error is written past its lock and
// waits for room only so long: a procedure stuck writing there must not
// hold the end the line announces. No allocation: a fault may have left
// the heap damaged.
[[gnu::format(printf, 2, 3)]] void Say(std::FILE* to, const char* format, ...) {
  char line[256];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (to == stderr) {
    platform::SayOnStandardError(line);
    return;
  }
  std::fputs(line, to);
  std::fflush(to);
}

struct Cause {
  Status status;
  const char* text;
};

// The texts are kept exactly, misspellings included: clients match them.
constexpr std::array<Cause, 29> kCauses = {{
    {0x800000F1u, "Access Violation"},
    {0x800000F2u, "Data Alignment"},
    {0x800000F3u, "Bounds Error"},
    {0x800000F4u, "Break Point signal"},
    {0x800000F5u, "Single Step signal"},
    {0x800000F6u, "Floating Point Error"},
    {0x800000F7u, "Floating Point Denormal Operand"},
    {0x800000F8u, "Floating Point Divide By Zero"},
    {0x800000F9u, "Floating Point Inexact Result"},
    {0x800000FAu, "Floating Point Invalid Operation"},
    {0x800000FBu, "Floating Point Overflow"},
    {0x800000FCu, "Floating Point Stack Check"},
    {0x800000FDu, "Floating Point Underflow"},
    {0x800000FEu, "Integer Divide By Zero"},
    {0x800000FFu, "Integer Overflow"},
    {0x80000100u, "Priveledged Instruction"},
    {0x80000101u, "Non Continuable Exception"},
    {0x80000102u, "Illegal Instruction"},
    {0x80000103u, "I/O Trap"},
    {0x80000104u, "Hardware Fault"},
    {0x80000105u, "Bad Argument"},
    {0x80000106u, "Pipe Write"},
    {0x80000107u, "CPU Time Limit"},
    {0x80000108u, "File Size Limit"},
    {0x80000109u, "UnCorrectable Memory Fault"},
    {0x8000010Au, "Dead Lock"},
    {0x8000010Bu, "Register Parity Error"},
    {0x80000119u, "Recovery Signal"},
    {0x8000011Au, "NoBirdirectional"},
}};
constexpr const char* kUnknownCause = "Unknown Exception";

// The full texts are made before any fault, so that a handler only picks one.
struct FaultTexts {
  explicit FaultTexts(const char* prefix) {
    for (std::size_t i = 0; i < kCauses.size(); ++i)
      texts[i] = prefix + std::string(kCauses[i].text);
    unknown = prefix + std::string(kUnknownCause);
  }
  const char* Of(Status status) const {
    for (std::size_t i = 0; i < kCauses.size(); ++i) {
      if (kCauses[i].status == status) return texts[i].c_str();
    }
    return unknown.c_str();
  }
  std::array<std::string, kCauses.size()> texts;
  std::string unknown;
};

const FaultTexts& ServerTexts() {
  static const FaultTexts texts("Server failed due to ");
  return texts;
}
const FaultTexts& SolverTexts() {
  static const FaultTexts texts("Solver failed due to ");
  return texts;
}
// Made at start-up, not in the middle of a fault.
[[maybe_unused]] const bool g_texts_made = (ServerTexts(), SolverTexts(), true);

}  // namespace

namespace Vantor {

std::int32_t async_signal_handler(Status status) {
  const int number = static_cast<std::int32_t>(status);
  Say(Err(), "Vantor::async_signal_handler, Being called with status code :%d\n", number);
  if ((status >= 0x800000D2u && status <= 0x800000D6u) ||
      (status >= 0x800000D8u && status <= 0x800000DBu)) {
    return 1;
  }
  Say(Err(), "Vantor::async_signal_handler, Aborting due to status code :%d\n", number);
  Say(Out(), "Vantor::async_signal_handler, Aborting due to status code :%d\n", number);
  return 0;
}

}  // namespace Vantor

const char* FaultCause(Status status) {
  for (const Cause& cause : kCauses) {
    if (cause.status == status) return cause.text;
  }
  return kUnknownCause;
}

std::int32_t sync_server_handler(XosThread*, Status status, std::uint32_t) {
  Say(Err(), "\n\nsync_server_handler, Aborting due to status code :%x\n", status);
  const char* text = ServerTexts().Of(status);
  g_last_fatal.store(text);
  Say(Err(), "sync_server_handler, Error was: %s\n", text);
  return 3;
}

std::int32_t sync_solver_handler(XosThread*, Status status, std::uint32_t) {
  Say(Err(), "\n\nsync_solver_handler, Aborting due to status code :%x\n", status);
  const char* text = SolverTexts().Of(status);
  g_last_fatal.store(text);
  Say(Err(), "sync_solver_handler: Error was: %s\n", text);
  return 3;
}

const char* LastFatalErrorText() { return g_last_fatal.load(); }
void ClearLastFatalErrorText() { g_last_fatal.store(nullptr); }

void SetEngineHandlerStreams(std::FILE* out, std::FILE* err) {
  g_out.store(out);
  g_err.store(err);
}
