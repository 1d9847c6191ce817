#include "framework/runtime/xos_thread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "framework/processes/xos_process.h"
#include "framework/runtime/xos_names.h"
#include "framework/runtime/xos_time.h"
#include "framework/runtime/xos_translate.h"
#include "platform/clock.h"
#include "tests/support/fault_tests.h"
#include "tests/support/wait_until.h"

namespace {

constexpr int kEngineTraps = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;

// What the failure handlers saw; one test at a time uses it.
struct Seen {
  std::vector<Status> statuses;
  std::vector<std::string> texts;
  bool on_failing_thread = true;
  std::vector<std::int32_t> verdicts;  // answered in turn, the last one repeated
  std::uint32_t exit_code = 0;
  std::size_t answered = 0;  // by the current thread's handler
};
Seen g_seen;

std::int32_t Recording(XosThread* thread, Status status, std::uint32_t reserved) {
  g_seen.statuses.push_back(status);
  g_seen.texts.push_back(XosLastEventText());
  g_seen.on_failing_thread = g_seen.on_failing_thread && thread == XosCurrentThread();
  EXPECT_EQ(reserved, 0u);
  ++g_seen.answered;
  return g_seen.verdicts[std::min(g_seen.answered, g_seen.verdicts.size()) - 1];
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

std::uint32_t StackOverflow(void*) {
  return static_cast<std::uint32_t>(testsupport::ExhaustStack(0));
}

std::uint32_t TrapsOfTheThread(void*) { return static_cast<std::uint32_t>(fegetexcept()); }

class XosThreadFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTOR_SKIP_FAULTS_UNDER_ASAN();
    testsupport::UseThreadsafeDeathTests();
    g_seen = Seen{};
  }
  // Runs the function on a guarded thread whose handler answers the
  // verdicts in turn; how the thread ended.
  static std::uint32_t RunGuarded(std::uint32_t (*function)(void*), void* argument,
                                  std::vector<std::int32_t> verdicts) {
    g_seen.verdicts = std::move(verdicts);
    g_seen.answered = 0;
    XosThread thread(function, argument, Recording, 0);
    const std::uint32_t ended = thread.Wait(XosThread::kInfinite);
    EXPECT_EQ(thread.GetState(), ended);
    g_seen.exit_code = thread.GetExitCode();
    return ended;
  }
};

TEST_F(XosThreadFailures, AccessViolationReachesTheHandlerWhoseVerdictDecides) {
  FaultingFunction once(1);
  EXPECT_EQ(RunGuarded(AccessViolationThenReturn, &once, {XosThread::kStop}), XosThread::kStopped);
  EXPECT_EQ(g_seen.exit_code,
            0x800000F1u);  // the fault, not the 0 of a function that never returned
  EXPECT_EQ(g_seen.statuses, std::vector<Status>{0x800000F1u});
  EXPECT_EQ(g_seen.texts, std::vector<std::string>{"Access Violation"});
  EXPECT_TRUE(g_seen.on_failing_thread);
  EXPECT_EQ(once.calls, 1);
  // Run again: the function from its start.
  FaultingFunction twice(2);
  EXPECT_EQ(RunGuarded(AccessViolationThenReturn, &twice, {XosThread::kRunAgain}),
            XosThread::kFinished);
  EXPECT_EQ(g_seen.exit_code, 3u);
  EXPECT_EQ(g_seen.statuses.size(), 3u);
  // A verdict that is none stops the thread, saying so.
  FaultingFunction bad(1);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RunGuarded(AccessViolationThenReturn, &bad, {7}), XosThread::kStopped);
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

TEST_F(XosThreadFailures, DivisionsByZeroAndStackOverflowAreReportedAndTrapsSurviveAReRun) {
  FaultingFunction function(0);
  EXPECT_EQ(RunGuarded(FloatingDivisionByZero, &function, {XosThread::kRunAgain, XosThread::kStop}),
            XosThread::kStopped);
  ASSERT_EQ(function.traps_at_call.size(), 2u);
  EXPECT_EQ(function.traps_at_call[0] & kEngineTraps, kEngineTraps);
  EXPECT_EQ(function.traps_at_call[1] & kEngineTraps, kEngineTraps);
  EXPECT_EQ(RunGuarded(IntegerDivisionByZero, nullptr, {XosThread::kStop}), XosThread::kStopped);
  EXPECT_EQ(RunGuarded(StackOverflow, nullptr, {XosThread::kStop}), XosThread::kStopped);
  EXPECT_EQ(g_seen.statuses,
            (std::vector<Status>{0x800000F8u, 0x800000F8u, 0x800000FEu, 0x800000F1u}));
  EXPECT_EQ(g_seen.texts[0], "Floating Divide by Zero");
  EXPECT_EQ(g_seen.texts[2], "Divide By Zero");
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

std::uint32_t LoopUntilAskedToStop(void* argument) {
  auto* gate = static_cast<Gate*>(argument);
  while (!XosStopRequested()) {
    ++gate->passes;
    XosSleep(1);
  }
  return 0;
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
  // A function returning the still-active code has finished all the same.
  gate.result = XosThread::kStillActive;
  XosNEHThread plain(WaitAtGate, &gate, nullptr, 0);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return plain.GetState() != XosThread::kRunning; }));
  EXPECT_EQ(plain.GetState(), XosThread::kFinished);
  EXPECT_EQ(plain.GetExitCode(), XosThread::kStillActive);
}

TEST(XosThreadStates, DestroyingARunningThreadAsksItToStopAndWaits) {
  Gate gate;
  EXPECT_FALSE(XosStopRequested());
  for (bool guarded : {true, false}) {
    const int before = gate.passes;
    XosThread* thread = guarded ? new XosThread(LoopUntilAskedToStop, &gate, nullptr, 0)
                                : new XosNEHThread(LoopUntilAskedToStop, &gate, nullptr, 0);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return gate.passes >= before + 3; }));
    delete thread;  // returns once the loop has seen the request and ended
    const int passes = gate.passes;
    XosSleep(30);
    EXPECT_EQ(gate.passes, passes);
  }
}

struct Lingering {
  std::atomic<bool> open{false};
  std::atomic<bool> done{false};
};

std::uint32_t LingerUntilOpened(void* argument) {
  auto* lingering = static_cast<Lingering*>(argument);
  while (!lingering->open) XosSleep(1);
  lingering->done = true;
  return 9;
}

TEST(XosThreadStates, AThreadThatDoesNotStopIsLeftRunningAndEndsSafelyLater) {
  Lingering lingering;
  auto* thread = new XosThread(LingerUntilOpened, &lingering, nullptr, 0);
  EXPECT_EQ(thread->Stop(0), 0x8000FFFFu);
  EXPECT_EQ(thread->GetState(), XosThread::kStateUnknown);
  delete thread;  // already left running: nothing more to wait for
  // The thread ends now, writing its result only into what it shares (the
  // sanitizer tree sees any write into the deleted object).
  lingering.open = true;
  EXPECT_TRUE(testsupport::WaitUntil([&] { return lingering.done.load(); }));
}

// Destroying the object of a thread that does not stop would free what the
// thread goes on using: the process ends instead, with the stop's status.
TEST(XosThreadStates, DestroyingAThreadThatDoesNotStopEndsTheProcessWithAStatus) {
  testsupport::UseThreadsafeDeathTests();
  auto destroy_deaf_thread = [] {
    Lingering lingering;
    { XosThread thread(LingerUntilOpened, &lingering, nullptr, 0); }
    std::exit(0);
  };
  EXPECT_EXIT(destroy_deaf_thread(), ::testing::ExitedWithCode(0xFF),
              "did not stop within 2000 ms \\(0x8000FFFF\\).*\n.*exit status 0x8000FFFF");
}

struct Row {
  std::uint32_t from;
  Status status;
  const char* text;
};

TEST(XosTranslateException, FloatingPointCodesResetTheUnitWithOnlyTheEngineTrapsArmed) {
  fenv_t saved;
  fegetenv(&saved);
  fesetround(FE_UPWARD);
  feraiseexcept(FE_DIVBYZERO | FE_INEXACT);
  XosTranslateException(0xC0000005u);  // not a floating-point fault: untouched
  EXPECT_EQ(fegetround(), FE_UPWARD);
  EXPECT_EQ(fetestexcept(FE_ALL_EXCEPT), FE_DIVBYZERO | FE_INEXACT);
  EXPECT_EQ(fegetexcept(), 0);
  XosTranslateException(0xC000008Eu);
  EXPECT_EQ(fegetround(), FE_TONEAREST);
  EXPECT_EQ(fetestexcept(FE_ALL_EXCEPT), 0);
  EXPECT_EQ(fegetexcept(), kEngineTraps);
  // Switching the traps leaves the others as they are.
  fedisableexcept(FE_ALL_EXCEPT);
  feenableexcept(FE_UNDERFLOW);
  XosSetFloatingPointTraps(1);
  EXPECT_EQ(fegetexcept(), FE_UNDERFLOW | kEngineTraps);
  XosSetFloatingPointTraps(0);
  EXPECT_EQ(fegetexcept(), FE_UNDERFLOW);
  fesetenv(&saved);
}

std::vector<Status> g_async_seen;
std::int32_t HandleOnlyInterrupts(Status status) {
  g_async_seen.push_back(status);
  return status == 0x800000C9u ? 1 : 0;
}

TEST(XosConsoleControlHandler, EventsReachTheAsyncHandlerAsStatuses) {
  XosSetAsyncHandler(HandleOnlyInterrupts);
  const Row rows[] = {{0, 0x800000C9u, "Interrupt from terminal"},
                      {2, 0x800000CBu, "Close window detected"},
                      {3, 0x800000C8u, "Unknown asynchronous event"}};
  for (const Row& row : rows) {
    g_async_seen.clear();
    EXPECT_EQ(XosConsoleControlHandler(row.from), row.status == 0x800000C9u ? 1 : 0);
    EXPECT_EQ(g_async_seen, std::vector<Status>{row.status});
    EXPECT_STREQ(XosLastEventText(), row.text);
  }
  XosSetAsyncHandler(nullptr);
  EXPECT_EQ(XosConsoleControlHandler(0), 0);  // nobody to handle it
}

TEST(XosTrimName, DropsTrailingBlanksAndNeverOverrunsItsBuffer) {
  EXPECT_STREQ(XosTrimName("PUMP01    ", 10), "PUMP01");
  EXPECT_STREQ(XosTrimName("ABC\0DEF  ", 9), "ABC");
  EXPECT_STREQ(XosTrimName("ABC", -5), "");
  EXPECT_STREQ(XosTrimName(nullptr, 3), "");

  const std::string long_name(5000, 'x');
  EXPECT_EQ(std::string(XosTrimName(long_name.c_str(), 5000)), std::string(1023, 'x'));
}

TEST(XosTickIntervalElapsed, ZeroIntervalAlwaysElapsesAndWrapIsHarmless) {
  std::uint32_t stamp = platform::TickCount() + 1000;  // even a stamp ahead of the clock
  EXPECT_EQ(XosTickIntervalElapsed(&stamp, 0), 1);

  // Just before the 32-bit wrap.
  const std::int64_t shift = 0x100000000LL - platform::TickCount() - 20;
  platform::ShiftTickCountForTesting(shift);
  stamp = platform::TickCount();
  const std::uint32_t before_wrap = stamp;
  EXPECT_EQ(XosTickIntervalElapsed(&stamp, 1000), 0);
  EXPECT_EQ(stamp, before_wrap);  // unchanged when not elapsed
  XosSleep(50);
  EXPECT_EQ(XosTickIntervalElapsed(&stamp, 1000), 0);
  EXPECT_EQ(XosTickIntervalElapsed(&stamp, 40), 1);
  EXPECT_LT(stamp, before_wrap);  // restarted after the wrap
  platform::ShiftTickCountForTesting(-shift);
}

std::uint32_t ReturnStatus(void* argument) { return *static_cast<const std::uint32_t*>(argument); }

std::uint32_t Fault(void*) {
  testsupport::WriteThroughNull();
  return 0;
}

std::atomic<bool> g_interrupt_handled{false};
bool g_accept_interrupts = false;

std::uint32_t InterruptMyself(void*) {
  kill(getpid(), SIGINT);
  return testsupport::WaitUntil([] { return g_interrupt_handled.load(); }) ? 0u : 0x80000066u;
}

std::int32_t LogFailureAndPass(XosThread*, Status status, std::uint32_t) {
  std::fprintf(stderr, "failure 0x%08X %s\n", status, XosLastEventText());
  return XosThread::kPass;
}

std::int32_t LogEvent(Status status) {
  std::fprintf(stderr, "event 0x%08X %s\n", status, XosLastEventText());
  g_interrupt_handled = g_accept_interrupts;
  return g_accept_interrupts ? 1 : 0;
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

std::int32_t LogFailureAndStop(XosThread*, Status status, std::uint32_t) {
  std::fprintf(stderr, "failure 0x%08X\n", status);
  return XosThread::kStop;
}

TEST_F(XosProcessMainTest, ServerStoppedByAFaultExitsWithTheFaultsStatus) {
  VANTOR_SKIP_FAULTS_UNDER_ASAN();
  EXPECT_EXIT(XosProcessMain(Fault, nullptr, nullptr, LogFailureAndStop),
              ::testing::ExitedWithCode(0xF1), "failure 0x800000F1\n.*exit status 0x800000F1");
}

TEST_F(XosProcessMainTest, AnInterruptEndsTheProcessUnlessItIsHandled) {
  EXPECT_EXIT(XosProcessMain(InterruptMyself, nullptr, LogEvent, nullptr),
              ::testing::KilledBySignal(SIGINT), "event 0x800000C9 Interrupt from terminal");
  g_accept_interrupts = true;
  EXPECT_EXIT(XosProcessMain(InterruptMyself, nullptr, LogEvent, nullptr),
              ::testing::ExitedWithCode(0), "event 0x800000C9 Interrupt from terminal");
  g_accept_interrupts = false;
}

}  // namespace
