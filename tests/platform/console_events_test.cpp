#include "platform/console_events.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "platform/clock.h"
#include "tests/support/fault_tests.h"

namespace {

std::atomic<int> g_events_seen{0};

std::int32_t AcceptAndLog(std::uint32_t event) {
  std::fprintf(stderr, "event %u\n", event);
  ++g_events_seen;
  return 1;
}

// The process ending on an unhandled event is tested with the process entry.
TEST(ConsoleEvents, EachSignalArrivesAsItsEventAndHandledOnesKeepTheProcess) {
  testsupport::UseThreadsafeDeathTests();
  EXPECT_EXIT(
      {
        if (!platform::StartConsoleEvents(AcceptAndLog)) std::exit(3);
        int expected = 0;
        for (int signal : {SIGQUIT, SIGHUP, SIGTERM, SIGINT}) {
          kill(getpid(), signal);
          ++expected;
          while (g_events_seen < expected) platform::SleepMs(1);
        }
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "event 1\nevent 2\nevent 6\nevent 0\n");
}

}  // namespace
