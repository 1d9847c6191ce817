#include "platform/console_events.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "platform/clock.h"
#include "tests/support/fault_tests.h"

namespace {

std::atomic<int> g_events_seen{0};

std::int32_t Refuse(std::uint32_t event) {
  std::fprintf(stderr, "event %u\n", event);
  return 0;
}

std::int32_t AcceptAndLog(std::uint32_t event) {
  std::fprintf(stderr, "event %u\n", event);
  ++g_events_seen;
  return 1;
}

class ConsoleEvents : public ::testing::Test {
 protected:
  void SetUp() override { testsupport::UseThreadsafeDeathTests(); }
};

TEST_F(ConsoleEvents, UnhandledInterruptEndsTheProcessWithTheSignal) {
  EXPECT_EXIT(
      {
        if (!platform::StartConsoleEvents(Refuse)) std::exit(3);
        kill(getpid(), SIGINT);
        for (;;) platform::SleepMs(10);
      },
      ::testing::KilledBySignal(SIGINT), "event 0");
  EXPECT_EXIT(
      {
        if (!platform::StartConsoleEvents(Refuse)) std::exit(3);
        kill(getpid(), SIGTERM);
        for (;;) platform::SleepMs(10);
      },
      ::testing::KilledBySignal(SIGTERM), "event 6");
}

TEST_F(ConsoleEvents, HandledEventsKeepTheProcessRunning) {
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
