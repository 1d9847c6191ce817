#include "platform/fault_guard.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <csignal>
#include <stdexcept>

#include "platform/exception_codes.h"
#include "platform/floating_point.h"
#include "tests/support/fault_tests.h"

namespace {

namespace ex = platform::exception;
using testsupport::DivideIntegers;
using testsupport::DivideReals;
using testsupport::WriteThroughNull;

class FaultGuard : public ::testing::Test {
 protected:
  void SetUp() override {
    fegetenv(&saved_);
    VANTOR_SKIP_FAULTS_UNDER_ASAN();
    testsupport::UseThreadsafeDeathTests();
  }
  void TearDown() override { fesetenv(&saved_); }
  fenv_t saved_;
};

// Runs under the sanitizer too: every guarded call that does not fault.
TEST(GuardedCall, CallThatReturnsReportsZeroAndKeepsItsEffects) {
  int value = 0;
  EXPECT_EQ(platform::RunGuarded([&] { value = 42; }), 0u);
  EXPECT_EQ(value, 42);
  platform::RunGuarded([&] { EXPECT_EQ(platform::RunGuarded([&] { ++value; }), 0u); });
  EXPECT_EQ(value, 43);
}

TEST_F(FaultGuard, MachineFaultsComeBackAsTheirExceptionCodes) {
  platform::Fault fault;
  EXPECT_EQ(platform::RunGuarded([] { WriteThroughNull(); }, &fault), ex::kAccessViolation);
  EXPECT_EQ(fault.signal, SIGSEGV);
  EXPECT_EQ(fault.address, nullptr);

  EXPECT_EQ(platform::RunGuarded([] { DivideIntegers(1, 0); }, &fault), ex::kIntegerDivideByZero);
  EXPECT_EQ(fault.signal, SIGFPE);

  // The same signal again: the first landing must have unblocked it.
  EXPECT_EQ(platform::RunGuarded([] { WriteThroughNull(); }), ex::kAccessViolation);
  EXPECT_EQ(platform::RunGuarded([] { DivideIntegers(7, 0); }), ex::kIntegerDivideByZero);
}

TEST_F(FaultGuard, FloatingTrapsAreCaughtAndTheEnvironmentOfTheGuardComesBack) {
  fesetround(FE_DOWNWARD);
  platform::SetFloatingPointTraps(true);
  const int traps = fegetexcept();

  EXPECT_EQ(platform::RunGuarded([] { DivideReals(1.0, 0.0); }), ex::kFloatDivideByZero);
  // The handler ran with a fresh unit; the guard must not leave that behind.
  EXPECT_EQ(fegetexcept(), traps);
  EXPECT_EQ(fegetround(), FE_DOWNWARD);

  EXPECT_EQ(platform::RunGuarded([] { DivideReals(0.0, 0.0); }), ex::kFloatInvalidOperation);
  EXPECT_EQ(platform::RunGuarded([] { DivideReals(1e308, 1e-308); }), ex::kFloatOverflow);
  EXPECT_EQ(fegetexcept(), traps);

  platform::SetFloatingPointTraps(false);
  double quotient = 0;
  EXPECT_EQ(platform::RunGuarded([&] { quotient = DivideReals(1.0, 0.0); }), 0u);
  EXPECT_TRUE(std::isinf(quotient));
}

TEST_F(FaultGuard, InnermostGuardCatchesAndPassFaultReachesTheNextOut) {
  std::uint32_t inner_code = 0;
  bool after_pass = false;
  platform::Fault outer_fault;
  const std::uint32_t outer_code = platform::RunGuarded(
      [&] {
        platform::Fault fault;
        inner_code = platform::RunGuarded([] { WriteThroughNull(); }, &fault);
        platform::PassFault(fault);
        after_pass = true;
      },
      &outer_fault);
  EXPECT_EQ(inner_code, ex::kAccessViolation);
  EXPECT_EQ(outer_code, ex::kAccessViolation);
  EXPECT_EQ(outer_fault.signal, SIGSEGV);
  EXPECT_FALSE(after_pass);
}

TEST_F(FaultGuard, ExceptionLeavingAGuardDoesNotLeaveItBehind) {
  // A guard left on the chain would receive the later fault in a dead frame.
  const std::uint32_t code = platform::RunGuarded([] {
    try {
      platform::RunGuarded([] { throw std::runtime_error("out"); });
    } catch (const std::runtime_error&) {
    }
    WriteThroughNull();
  });
  EXPECT_EQ(code, ex::kAccessViolation);
}

TEST_F(FaultGuard, FaultsNoGuardTakesStillEndTheProcess) {
  platform::RunGuarded([] {});  // handlers installed
  EXPECT_EXIT(WriteThroughNull(), ::testing::KilledBySignal(SIGSEGV), "");
  EXPECT_EXIT(
      {
        platform::Fault fault;
        platform::RunGuarded([] { DivideIntegers(1, 0); }, &fault);
        platform::PassFault(fault);  // no guard left outside
      },
      ::testing::KilledBySignal(SIGFPE), "");
}

}  // namespace
