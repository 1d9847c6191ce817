#include "framework/xos_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cfenv>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "framework/xos_time.h"
#include "tests/support/fault_tests.h"

namespace {

std::uint32_t ReturnStatus(void* argument) {
  return *static_cast<const std::uint32_t*>(argument);
}

std::uint32_t Fault(void*) {
  testsupport::WriteThroughNull();
  return 0;
}

std::atomic<bool> g_interrupt_handled{false};

std::uint32_t InterruptMyself(void*) {
  kill(getpid(), SIGINT);
  for (int i = 0; i < 5000 && !g_interrupt_handled; ++i) XosSleep(1);
  return g_interrupt_handled ? 0u : 0x80000066u;
}

std::int32_t LogFailureAndPass(XosThread*, Status status, std::uint32_t) {
  std::fprintf(stderr, "failure 0x%08X %s\n", status, XosLastEventText());
  return XosThread::kPass;
}

std::int32_t LogEventAndRefuse(Status status) {
  std::fprintf(stderr, "event 0x%08X %s\n", status, XosLastEventText());
  return 0;
}

std::int32_t LogEventAndAccept(Status status) {
  std::fprintf(stderr, "event 0x%08X %s\n", status, XosLastEventText());
  g_interrupt_handled = true;
  return 1;
}

class XosProcessMainTest : public ::testing::Test {
 protected:
  void SetUp() override { testsupport::UseThreadsafeDeathTests(); }

  static void RunServerReturning(std::uint32_t status) {
    XosProcessMain(ReturnStatus, &status, nullptr, nullptr);
  }
};

TEST_F(XosProcessMainTest, ServerStatusBecomesTheExitCode) {
  EXPECT_EXIT(RunServerReturning(0), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(RunServerReturning(0x00320005u), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(RunServerReturning(0x80000105u), ::testing::ExitedWithCode(5),
              "exit status 0x80000105");
  // A low byte of 0 must not read as success.
  EXPECT_EXIT(RunServerReturning(0xA0000000u), ::testing::ExitedWithCode(1),
              "exit status 0xA0000000");
}

TEST_F(XosProcessMainTest, ServerFaultIsReportedThenEndsTheProcess) {
  VANTOR_SKIP_FAULTS_UNDER_ASAN();
  EXPECT_EXIT(XosProcessMain(Fault, nullptr, nullptr, LogFailureAndPass),
              ::testing::KilledBySignal(SIGSEGV), "failure 0x800000F1 Access Violation");
}

TEST_F(XosProcessMainTest, UnhandledInterruptEndsTheProcess) {
  EXPECT_EXIT(XosProcessMain(InterruptMyself, nullptr, LogEventAndRefuse, nullptr),
              ::testing::KilledBySignal(SIGINT), "event 0x800000C9 Interrupt from terminal");
}

TEST_F(XosProcessMainTest, HandledInterruptKeepsTheProcess) {
  EXPECT_EXIT(XosProcessMain(InterruptMyself, nullptr, LogEventAndAccept, nullptr),
              ::testing::ExitedWithCode(0), "event 0x800000C9 Interrupt from terminal");
}

}  // namespace
