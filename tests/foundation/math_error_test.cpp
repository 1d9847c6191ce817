#include "foundation/messages/math_error.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

struct HookCase {
  std::int32_t kind;
  const char* name;
  double arg1;
  double arg2;
  Status status;
  bool zeroes_result;
  const char* output;
};

TEST(MathErrorHook, KindDecidesStatusResultAndOutput) {
  const std::vector<HookCase> cases = {
      {33, "log", -2.5, 0.0, 0x8000027Fu, false, "_matherr(): log(-2.5)\n"},
      {2, "log", 0.0, 0.0, 0x80000275u, true, "_matherr(): log(0)\n"},
      {3, "exp", 1000.0, 0.0, 0x80000275u, true, "_matherr(): exp(1000)\n"},
      {5, "sin", 1e300, 0.0, 0x80000275u, true, "_matherr(): sin(1e+300)\n"},
      {6, "cos", 1e20, 0.0, 0x80000275u, true, "_matherr(): cos(1e+20)\n"},
      {34, "tan", 2.0, 0.0, 0x80000289u, false, "_matherr(): tan(2)\n"},
      {99, "cosh", 3.0, 0.0, 0x80000275u, false, "_matherr(): cosh(3)\n"},
      {1, "atan2", 0.5, -2.0, 0x8000027Fu, false, "_matherr(): atan2(0.5,-2)\n"},
      {2, "pow", 0.0, -1.0, 0x80000275u, true, "_matherr(): pow(0,-1)\n"},
      // Only atan2 and pow show their second argument.
      {1, "fmod", 1.0, 0.0, 0x8000027Fu, false, "_matherr(): fmod(1)\n"},
      {4, "exp", -1000.0, 0.0, 0u, true, ""},  // an underflow is silent
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " kind " + std::to_string(c.kind));
    MathErrorStatus.Reset();
    platform::MathErrorRecord record{c.kind, c.name, c.arg1, c.arg2, 7.5};
    CaptureStdout();
    const std::int32_t answer = MathErrorHook(&record);
    const std::string output = GetCapturedStdout();
    EXPECT_EQ(answer, 1);
    EXPECT_EQ(MathErrorStatus.status(), c.status);
    EXPECT_EQ(record.retval, c.zeroes_result ? 0.0 : 7.5);
    EXPECT_EQ(output, c.output);
    // The text the evaluators print after "Error while evaluating ".
    const std::string printed = c.output;
    EXPECT_EQ(MathErrorStatus.text(),
              printed.empty() ? "" : printed.substr(12, printed.size() - 13));
  }
  MathErrorStatus.Reset();
}

TEST(MathErrorHook, LibraryFailuresOnATrappingThreadLeaveTheirStatus) {
  auto* previous = platform::GetMathErrorHandler();
  InstallMathErrorHook();
  MathErrorStatus.Reset();

  double log_result = 1.0;
  bool sqrt_is_nan = false;
  Status after_log = 0;
  Status after_sqrt = 0;
  CaptureStdout();
  std::thread worker([&] {
    feenableexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
    log_result = platform::Log(0.0);
    after_log = MathErrorStatus.status();
    MathErrorStatus.Reset();
    sqrt_is_nan = std::isnan(platform::Sqrt(-4.0));
    after_sqrt = MathErrorStatus.status();
    fedisableexcept(FE_ALL_EXCEPT);
  });
  worker.join();
  EXPECT_EQ(GetCapturedStdout(), "_matherr(): log(0)\n_matherr(): sqrt(-4)\n");
  EXPECT_EQ(log_result, 0.0);
  EXPECT_EQ(after_log, 0x80000275u);
  EXPECT_TRUE(sqrt_is_nan);
  EXPECT_EQ(after_sqrt, 0x8000027Fu);

  MathErrorStatus.Reset();
  platform::SetMathErrorHandler(previous);
}

}  // namespace
