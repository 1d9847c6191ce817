// Fault guards: a machine fault (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP,
// a stack overflow included) raised inside a guarded call ends that call and
// comes back to its guard as the engine's exception code, with the
// floating-point environment as it was when the guard was entered. Guards
// nest per thread; the innermost one catches. Any thread may use them.
//
// Guards are for machine faults only: threads are asked to stop, never
// jumped out of (see thread_host.h).
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

namespace platform {

struct Fault {
  std::uint32_t code = 0;  // platform/exception_codes.h
  int signal = 0;
  int signal_code = 0;  // si_code
  const void* address = nullptr;
};

// Calls call(context); 0 when it returns, else the exception code of the fault
// that ended it (described in *fault when given). C++ exceptions pass through.
std::uint32_t RunGuardedCall(void (*call)(void*), void* context, Fault* fault);

template <class F>
std::uint32_t RunGuarded(F&& fn, Fault* fault = nullptr) {
  using Fn = std::remove_reference_t<F>;
  return RunGuardedCall([](void* c) { (*static_cast<Fn*>(c))(); },
                        const_cast<void*>(static_cast<const void*>(std::addressof(fn))), fault);
}

// Hands a fault that a guard returned on to the next guard out, as if that
// guard had caught it. Without one, the signal's default action ends the
// process, as it would have ended it with no guard at all.
[[noreturn]] void PassFault(const Fault& fault);

// Installs the handlers of the fault signals (once).
void InstallFaultHandlers();

}  // namespace platform
