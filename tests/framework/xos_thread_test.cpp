#include "framework/xos_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <csignal>
#include <string>
#include <vector>

#include "framework/xos_time.h"
#include "framework/xos_translate.h"
#include "tests/support/fault_tests.h"

namespace {

constexpr int kEngineTraps = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;

// What the failure handlers saw; one test at a time uses it.
struct Seen {
  std::vector<Status> statuses;
  std::vector<std::string> texts;
  bool on_failing_thread = true;
  std::vector<std::int32_t> verdicts;  // answered in turn, the last one repeated
};
Seen g_seen;

std::int32_t Recording(XosThread* thread, Status status, std::uint32_t reserved) {
  g_seen.statuses.push_back(status);
  g_seen.texts.push_back(XosLastEventText());
  g_seen.on_failing_thread = g_seen.on_failing_thread && thread == XosCurrentThread();
  EXPECT_EQ(reserved, 0u);
  const std::size_t i = std::min<std::size_t>(g_seen.statuses.size(), g_seen.verdicts.size()) - 1;
  return g_seen.verdicts[i];
}

// Faults on the calls numbered below faults, then returns the call count.
struct FaultingFunction {
  explicit FaultingFunction(int fault_count) : faults(fault_count) {}
  int faults;
  int calls = 0;
  std::vector<int> traps_at_call;
};

std::uint32_t AccessViolationThenReturn(void* argument) {
  auto* f = static_cast<FaultingFunction*>(argument);
  if (++f->calls <= f->faults) testsupport::WriteThroughNull();
  return static_cast<std::uint32_t>(f->calls);
}

std::uint32_t FloatingDivisionByZero(void* argument) {
  auto* f = static_cast<FaultingFunction*>(argument);
  ++f->calls;
  f->traps_at_call.push_back(fegetexcept());
  testsupport::DivideReals(1.0, 0.0);
  return 0;
}

std::uint32_t IntegerDivisionByZero(void*) {
  return static_cast<std::uint32_t>(testsupport::DivideIntegers(1, 0));
}

std::uint32_t StackOverflow(void*) { return static_cast<std::uint32_t>(testsupport::ExhaustStack(0)); }

std::uint32_t TrapsOfTheThread(void*) { return static_cast<std::uint32_t>(fegetexcept()); }

class XosThreadFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTOR_SKIP_FAULTS_UNDER_ASAN();
    testsupport::UseThreadsafeDeathTests();
    g_seen = Seen{};
  }
};

TEST_F(XosThreadFailures, AccessViolationReachesTheHandlerAndStopVerdictStopsTheThread) {
  g_seen.verdicts = {XosThread::kStop};
  FaultingFunction function(1);
  XosThread thread(AccessViolationThenReturn, &function, Recording, 0);
  EXPECT_EQ(thread.Wait(XosThread::kInfinite), XosThread::kStopped);
  EXPECT_EQ(thread.GetState(), XosThread::kStopped);
  EXPECT_EQ(g_seen.statuses, std::vector<Status>{0x800000F1u});
  EXPECT_EQ(g_seen.texts, std::vector<std::string>{"Access Violation"});
  EXPECT_TRUE(g_seen.on_failing_thread);
  EXPECT_EQ(function.calls, 1);
}

TEST_F(XosThreadFailures, RunAgainVerdictCallsTheFunctionFromItsStart) {
  g_seen.verdicts = {XosThread::kRunAgain};
  FaultingFunction function(2);
  XosThread thread(AccessViolationThenReturn, &function, Recording, 0);
  EXPECT_EQ(thread.Wait(XosThread::kInfinite), XosThread::kFinished);
  EXPECT_EQ(thread.GetExitCode(), 3u);
  EXPECT_EQ(g_seen.statuses.size(), 2u);
}

TEST_F(XosThreadFailures, BadVerdictIsReportedAndStopsTheThread) {
  g_seen.verdicts = {7};
  FaultingFunction function(1);
  ::testing::internal::CaptureStderr();
  XosThread thread(AccessViolationThenReturn, &function, Recording, 0);
  EXPECT_EQ(thread.Wait(XosThread::kInfinite), XosThread::kStopped);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "User exception handler returned bad value 7\n");
}

TEST_F(XosThreadFailures, PassVerdictEndsTheProcessAsTheFaultWould) {
  g_seen.verdicts = {XosThread::kPass};
  EXPECT_EXIT(
      {
        FaultingFunction function(1);
        XosThread thread(AccessViolationThenReturn, &function, Recording, 0);
        thread.Wait(XosThread::kInfinite);
      },
      ::testing::KilledBySignal(SIGSEGV), "");
  // Without a handler of its own or a process default the failure passes too.
  EXPECT_EXIT(
      {
        XosThread thread(IntegerDivisionByZero, nullptr, nullptr, 0);
        thread.Wait(XosThread::kInfinite);
      },
      ::testing::KilledBySignal(SIGFPE), "");
}

TEST_F(XosThreadFailures, FloatingDivisionByZeroTrapsAgainAfterARerun) {
  g_seen.verdicts = {XosThread::kRunAgain, XosThread::kStop};
  FaultingFunction function(0);
  XosThread thread(FloatingDivisionByZero, &function, Recording, 0);
  EXPECT_EQ(thread.Wait(XosThread::kInfinite), XosThread::kStopped);
  EXPECT_EQ(g_seen.statuses, (std::vector<Status>{0x800000F8u, 0x800000F8u}));
  EXPECT_EQ(g_seen.texts[0], "Floating Divide by Zero");
  ASSERT_EQ(function.traps_at_call.size(), 2u);
  EXPECT_EQ(function.traps_at_call[0] & kEngineTraps, kEngineTraps);
  EXPECT_EQ(function.traps_at_call[1] & kEngineTraps, kEngineTraps);
}

TEST_F(XosThreadFailures, IntegerDivisionByZeroAndStackOverflowAreReported) {
  g_seen.verdicts = {XosThread::kStop};
  {
    XosThread thread(IntegerDivisionByZero, nullptr, Recording, 0);
    EXPECT_EQ(thread.Wait(XosThread::kInfinite), XosThread::kStopped);
  }
  {
    XosThread thread(StackOverflow, nullptr, Recording, 0);
    EXPECT_EQ(thread.Wait(XosThread::kInfinite), XosThread::kStopped);
  }
  EXPECT_EQ(g_seen.statuses, (std::vector<Status>{0x800000FEu, 0x800000F1u}));
  EXPECT_EQ(g_seen.texts[0], "Divide By Zero");
}

TEST(XosThreadTraps, OnlyTheGuardedKindArmsTraps) {
  fenv_t saved;
  fegetenv(&saved);
  feenableexcept(kEngineTraps);  // a creator with traps on, as the server thread is
  XosNEHThread plain(TrapsOfTheThread, nullptr, nullptr, 0);
  plain.Wait(XosThread::kInfinite);
  EXPECT_EQ(plain.GetExitCode(), 0u);
  fedisableexcept(kEngineTraps);
  XosThread guarded(TrapsOfTheThread, nullptr, nullptr, 0);
  guarded.Wait(XosThread::kInfinite);
  EXPECT_EQ(guarded.GetExitCode() & kEngineTraps, static_cast<std::uint32_t>(kEngineTraps));
  fesetenv(&saved);
}

struct Gate {
  std::atomic<bool> open{false};
  std::atomic<int> passes{0};
  std::uint32_t result = 0;
};

std::uint32_t WaitAtGate(void* argument) {
  auto* gate = static_cast<Gate*>(argument);
  while (!gate->open) XosSleep(1);
  return gate->result;
}

std::uint32_t LoopForever(void* argument) {
  auto* gate = static_cast<Gate*>(argument);
  for (;;) {
    ++gate->passes;
    XosSleep(1);
  }
}

TEST(XosThreadStates, StateFollowsTheThreadThroughItsLife) {
  Gate gate;
  gate.result = 0x12345u;
  XosThread thread(WaitAtGate, &gate, nullptr, 1);
  EXPECT_EQ(XosCurrentThread(), nullptr);  // the test's own thread is none of ours
  EXPECT_EQ(thread.GetState(), XosThread::kRunning);
  EXPECT_EQ(thread.Wait(10), XosThread::kRunning);  // a time-out is not an end
  EXPECT_EQ(thread.GetExitCode(), static_cast<std::uint32_t>(XosThread::kRunning));
  gate.open = true;
  EXPECT_EQ(thread.Wait(XosThread::kInfinite), XosThread::kFinished);
  EXPECT_EQ(thread.GetExitCode(), 0x12345u);
  EXPECT_EQ(thread.Wait(0), XosThread::kFinished);
}

TEST(XosThreadStates, FunctionReturningTheStillActiveCodeHasFinished) {
  Gate gate;
  gate.open = true;
  gate.result = XosThread::kStillActive;
  XosNEHThread thread(WaitAtGate, &gate, nullptr, 0);
  while (thread.GetState() == XosThread::kRunning) XosSleep(1);
  EXPECT_EQ(thread.GetState(), XosThread::kFinished);
  EXPECT_EQ(thread.GetExitCode(), XosThread::kStillActive);
}

TEST(XosThreadStates, DestroyingARunningThreadEndsIt) {
  Gate gate;
  auto* thread = new XosThread(LoopForever, &gate, nullptr, 0);
  while (gate.passes < 3) XosSleep(1);
  delete thread;
  const int passes = gate.passes;
  XosSleep(30);
  EXPECT_EQ(gate.passes, passes);

  auto* plain = new XosNEHThread(LoopForever, &gate, nullptr, 0);
  while (gate.passes < passes + 3) XosSleep(1);
  delete plain;
  const int plain_passes = gate.passes;
  XosSleep(30);
  EXPECT_EQ(gate.passes, plain_passes);
}

}  // namespace
