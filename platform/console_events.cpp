#include "platform/console_events.h"

#include <pthread.h>
#include <csignal>

#include "platform/thread_host.h"

namespace platform {

namespace {

sigset_t ConsoleSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) sigaddset(&set, signal);
  return set;
}

std::uint32_t EventOf(int signal) {
  switch (signal) {
    case SIGINT:
      return kCtrlCEvent;
    case SIGQUIT:
      return kCtrlBreakEvent;
    case SIGHUP:
      return kCloseEvent;
    default:
      return kShutdownEvent;
  }
}

[[noreturn]] void Listen(ConsoleEventHandler handler) {
  const sigset_t set = ConsoleSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    if (handler(EventOf(signal)) != 0) continue;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(signal);
  }
}

}  // namespace

bool StartConsoleEvents(ConsoleEventHandler handler) {
  if (handler == nullptr) return false;
  const sigset_t set = ConsoleSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // The listener runs for the life of the process.
  ThreadHost host;
  if (!host.Start([handler]() -> std::uint32_t { Listen(handler); })) return false;
  host.Detach();
  return true;
}

}  // namespace platform
