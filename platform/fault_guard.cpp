#include "platform/fault_guard.h"

#include <fenv.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <mutex>

#include "platform/exception_codes.h"
#include "platform/stream_relay.h"

namespace platform {

namespace {

// Reported for a signal that has no code of its own in the engine's table.
constexpr std::uint32_t kUnmappedSignal = 0xE0000001u;

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
constexpr int kFaultSignalCount = sizeof kFaultSignals / sizeof kFaultSignals[0];

// Lives in the frame of the guarded call; the signal handlers find it through
// the thread's chain of guards.
struct Guard {
  sigjmp_buf jump;
  Guard* outer = nullptr;
  fenv_t environment;
  Fault fault;
};

// Read by the signal handlers, so plain data in static TLS only.
#define VANTOR_SIGNAL_TLS thread_local __attribute__((tls_model("initial-exec")))
VANTOR_SIGNAL_TLS Guard* t_innermost = nullptr;
VANTOR_SIGNAL_TLS bool t_alt_stack_checked = false;

struct sigaction g_previous[kFaultSignalCount];

// The stack the handlers run on, so that a stack overflow can be reported.
struct AltStack {
  void* base = nullptr;
  std::size_t size = 0;
  ~AltStack() {
    if (base == nullptr) return;
    stack_t current;
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == base) {
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
    }
    munmap(base, size);
  }
};
thread_local AltStack t_alt_stack;

void EnsureAltStack() {
  if (t_alt_stack_checked) return;
  t_alt_stack_checked = true;
  stack_t current;
  // A sanitizer runtime may have given the thread one already; it frees
  // whatever is installed when the thread ends, so leave it be.
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return;
  const std::size_t size = 64 * 1024 + static_cast<std::size_t>(sysconf(_SC_MINSIGSTKSZ));
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return;
  stack_t stack{};
  stack.ss_sp = base;
  stack.ss_size = size;
  if (sigaltstack(&stack, nullptr) != 0) {
    munmap(base, size);
    return;
  }
  t_alt_stack.base = base;
  t_alt_stack.size = size;
}

void UnblockSignal(int signal) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void SetDefaultAction(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
}

std::uint32_t ExceptionCodeOf(int signal, int code) {
  switch (signal) {
    case SIGSEGV:
      // A stack overflow lands here too: the guard page is an access violation.
      return exception::kAccessViolation;
    case SIGBUS:
      return code == BUS_ADRALN ? exception::kDataMisalignment : exception::kAccessViolation;
    case SIGFPE:
      switch (code) {
        case FPE_FLTDIV:
          return exception::kFloatDivideByZero;
        case FPE_FLTINV:
          return exception::kFloatInvalidOperation;
        case FPE_FLTOVF:
          return exception::kFloatOverflow;
        case FPE_FLTUND:
          return exception::kFloatUnderflow;
        case FPE_FLTRES:
          return exception::kFloatInexactResult;
        case FPE_FLTSUB:
          return exception::kArrayBoundsExceeded;
        case FPE_INTDIV:
          return exception::kIntegerDivideByZero;
        case FPE_INTOVF:
          return exception::kIntegerOverflow;
        default:
          return kUnmappedSignal;
      }
    case SIGILL:
      return code == ILL_PRVOPC ? exception::kPrivilegedInstruction
                                : exception::kIllegalInstruction;
    case SIGTRAP:
      return code == TRAP_TRACE ? exception::kSingleStep : exception::kBreakpoint;
    default:
      return kUnmappedSignal;
  }
}

// Makes guard the place execution resumes, dropping every guard inside it.
[[noreturn]] void JumpTo(Guard* guard, const Fault& fault) {
  t_innermost = guard->outer;
  guard->fault = fault;
  siglongjmp(guard->jump, 1);
}

Guard* FindGuard() { return t_innermost; }

// No guard wants the fault: whoever handled the signal before us decides.
void ForwardUnguarded(int signal, siginfo_t* info, void* context) {
  int index = 0;
  while (kFaultSignals[index] != signal) ++index;
  const struct sigaction& previous = g_previous[index];
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal, info, context);
    return;
  }
  if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler != SIG_DFL &&
      previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  SetDefaultAction(signal);
  // A faulting instruction faults again on return; a sent signal is sent again.
  if (info->si_code <= 0) raise(signal);
}

void OnFault(int signal, siginfo_t* info, void* context) {
  Guard* guard = FindGuard();
  if (guard == nullptr) {
    ForwardUnguarded(signal, info, context);
    return;
  }
  Fault fault;
  fault.code = ExceptionCodeOf(signal, info->si_code);
  fault.signal = signal;
  fault.signal_code = info->si_code;
  fault.address = info->si_addr;
  JumpTo(guard, fault);
}

}  // namespace

void InstallFaultHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < kFaultSignalCount; ++i)
      sigaction(kFaultSignals[i], &action, &g_previous[i]);
  });
}

std::uint32_t RunGuardedCall(void (*call)(void*), void* context, Fault* fault) {
  InstallFaultHandlers();
  EnsureAltStack();
  Guard guard;
  guard.outer = t_innermost;
  fegetenv(&guard.environment);
  if (sigsetjmp(guard.jump, 0) != 0) {
    // The handler does not return, so neither the signal mask nor the
    // floating-point state it ran with are undone by the system.
    fesetenv(&guard.environment);
    UnblockSignal(guard.fault.signal);
    if (fault != nullptr) *fault = guard.fault;
    return guard.fault.code;
  }
  t_innermost = &guard;
  try {
    call(context);
  } catch (...) {
    t_innermost = guard.outer;
    throw;
  }
  t_innermost = guard.outer;
  return 0;
}

void PassFault(const Fault& fault) {
  if (Guard* guard = FindGuard()) JumpTo(guard, fault);
  // What was said about the fault reaches the streams before the end.
  SettleRelayedStreams();
  SetDefaultAction(fault.signal);
  UnblockSignal(fault.signal);
  raise(fault.signal);
  std::abort();
}

}  // namespace platform
