// The engine's handler of failed mathematical library calls, and the status it
// leaves for the expression evaluators and procedure equations, which test it
// after a call, take its text for their message and reset it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/math.h"
#include "platform/status.h"

namespace status {
inline constexpr Status kMathDomain = 0x8000027Fu;  // argument outside the function's domain
inline constexpr Status kMathRange = 0x80000275u;   // singularity, overflow or lost precision
inline constexpr Status kMathArgumentTooLarge = 0x80000289u;
}  // namespace status

// The status word and the text of the last failed call ("log(0)"). One
// evaluation runs at a time, but the handler may run on the run thread while
// the server thread reads, so both sit behind a lock.
class MathErrorState {
 public:
  Status status() const;
  std::string text() const;
  void Set(Status status, const char* text);
  // Readers call this once they have taken the status.
  void Reset();

 private:
  mutable std::mutex mutex_;
  Status status_ = 0;
  char text_[128] = {};
};

extern MathErrorState MathErrorStatus;

// Classifies the failure into MathErrorStatus, zeroes the result where the
// failure leaves no usable value, prints "_matherr(): " and the call on
// standard output (except for an underflow) and answers 1: the error counts as
// handled.
std::int32_t MathErrorHook(platform::MathErrorRecord* record);

// Makes MathErrorHook the handler of the platform's mathematical functions;
// done once when the engine starts.
void InstallMathErrorHook();
