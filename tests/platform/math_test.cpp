#include "platform/math.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cfenv>
#include <cmath>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Report {
  std::int32_t kind;
  std::string name;
  double arg1;
  double arg2;
  double library_result;
};

std::vector<Report> g_reports;

std::int32_t Recorder(platform::MathErrorRecord* record) {
  g_reports.push_back({record->kind, record->name, record->arg1, record->arg2, record->retval});
  record->retval = 42.0;  // the wrapper must return what the handler chose
  return 1;
}

class MathWrappers : public ::testing::Test {
 protected:
  void SetUp() override {
    g_reports.clear();
    previous_ = platform::SetMathErrorHandler(&Recorder);
  }
  void TearDown() override { platform::SetMathErrorHandler(previous_); }

 private:
  platform::MathErrorHandler previous_ = nullptr;
};

constexpr int kTraps = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;

TEST_F(MathWrappers, FailuresOnATrappingThreadReportInsteadOfRaising) {
  struct Case {
    const char* name;
    std::function<double()> call;
    std::int32_t kind;
  };
  const std::vector<Case> cases = {
      {"log", [] { return platform::Log(-1.0); }, platform::kMathDomain},
      {"log", [] { return platform::Log(0.0); }, platform::kMathSingularity},
      {"exp", [] { return platform::Exp(1000.0); }, platform::kMathOverflow},
      {"pow", [] { return platform::Pow(0.0, -1.0); }, platform::kMathSingularity},
      {"asin", [] { return platform::Asin(2.0); }, platform::kMathDomain},
      {"fmod", [] { return platform::Fmod(1.0, 0.0); }, platform::kMathDomain},
      {"sqrt", [] { return platform::Sqrt(-1.0); }, platform::kMathDomain},
      {"log10", [] { return platform::Log10(0.0); }, platform::kMathSingularity},
      {"cosh", [] { return platform::Cosh(1000.0); }, platform::kMathOverflow},
      {"acos", [] { return platform::Acos(-3.0); }, platform::kMathDomain},
  };

  // The floating-point environment is per thread: arm the traps on a thread of
  // our own, as the engine's server thread runs, and compare afterwards.
  int mask_after = -1;
  std::vector<int> flags_after;
  std::vector<double> results;
  std::thread worker([&] {
    feclearexcept(FE_ALL_EXCEPT);
    feenableexcept(kTraps);
    for (const auto& c : cases) {
      results.push_back(c.call());
      flags_after.push_back(fetestexcept(kTraps | FE_UNDERFLOW));
    }
    mask_after = fegetexcept();
    fedisableexcept(FE_ALL_EXCEPT);
  });
  worker.join();

  EXPECT_EQ(mask_after, kTraps);
  ASSERT_EQ(g_reports.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(g_reports[i].name, cases[i].name);
    EXPECT_EQ(g_reports[i].kind, cases[i].kind);
    EXPECT_EQ(flags_after[i], 0) << "held flags leaked back to the caller";
    EXPECT_EQ(results[i], 42.0);
  }
  EXPECT_EQ(g_reports[3].arg1, 0.0);
  EXPECT_EQ(g_reports[3].arg2, -1.0);
  EXPECT_EQ(g_reports[2].library_result, HUGE_VAL);
}

TEST_F(MathWrappers, UnderflowIsReportedOnlyWhenTheResultIsLost) {
  platform::Exp(-1000.0);  // rounds to zero
  platform::Exp(-709.0);   // subnormal
  platform::Exp(-700.0);   // small but normal
  ASSERT_EQ(g_reports.size(), 2u);
  EXPECT_EQ(g_reports[0].kind, platform::kMathUnderflow);
  EXPECT_EQ(g_reports[1].kind, platform::kMathUnderflow);
}

TEST_F(MathWrappers, CallsLeaveErrnoAndTheCallersFlagsAlone) {
  errno = 1234;
  EXPECT_DOUBLE_EQ(platform::Atan2(1.0, 1.0), std::atan(1.0));
  EXPECT_DOUBLE_EQ(platform::Pow(2.0, 10.0), 1024.0);
  EXPECT_DOUBLE_EQ(platform::Fmod(7.0, 4.0), 3.0);
  EXPECT_DOUBLE_EQ(platform::Tanh(0.0), 0.0);
  EXPECT_TRUE(g_reports.empty());
  feclearexcept(FE_ALL_EXCEPT);
  feraiseexcept(FE_INEXACT);
  platform::Log(0.0);
  EXPECT_NE(fetestexcept(FE_INEXACT), 0);
  EXPECT_EQ(fetestexcept(FE_DIVBYZERO), 0);
  EXPECT_EQ(errno, 1234) << "a handled failure leaves errno alone too";
  feclearexcept(FE_ALL_EXCEPT);
}

TEST(MathWrappersWithoutHandler, FailureKeepsTheLibraryResultAndErrno) {
  auto* previous = platform::SetMathErrorHandler(nullptr);
  errno = 0;
  EXPECT_EQ(platform::Log(0.0), -HUGE_VAL);
  EXPECT_EQ(errno, ERANGE);
  errno = 0;
  EXPECT_TRUE(std::isnan(platform::Sqrt(-1.0)));
  EXPECT_EQ(errno, EDOM);
  platform::SetMathErrorHandler(previous);
}

}  // namespace
