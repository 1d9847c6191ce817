#include "framework/xos_translate.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <string>
#include <vector>

#include "framework/xos_names.h"
#include "framework/xos_time.h"
#include "platform/clock.h"

namespace {

struct Row {
  std::uint32_t from;
  Status status;
  const char* text;
};

TEST(XosTranslateException, EveryCodeHasItsStatusAndText) {
  const Row rows[] = {
      {0xC0000005u, 0x800000F1u, "Access Violation"},
      {0x80000002u, 0x800000F2u, "Data Misalignment"},
      {0xC000008Cu, 0x800000F3u, "Array Bounds"},
      {0x80000003u, 0x800000F4u, "Breakpoint"},
      {0x80000004u, 0x800000F5u, "SingleStep"},
      {0xC000008Du, 0x800000F7u, "Floating Denormalized operand"},
      {0xC000008Eu, 0x800000F8u, "Floating Divide by Zero"},
      {0xC000008Fu, 0x800000F9u, "Floating Inexact Result"},
      {0xC0000090u, 0x800000FAu, "Floating Invalid Operation"},
      {0xC0000091u, 0x800000FBu, "Floating Overflow"},
      {0xC0000092u, 0x800000FCu, "Floating Point Stack"},
      {0xC0000093u, 0x800000FDu, "Floating Underflow"},
      {0xC0000094u, 0x800000FEu, "Divide By Zero"},
      {0xC0000095u, 0x800000FFu, "Integer OverFlow"},
      {0xC0000096u, 0x80000100u, "Privileged Instruction"},
      {0xC0000025u, 0x80000101u, "Non-continuable Exception"},
      {0xC00000FDu, 0x800000C8u, "Unknown exception"},  // a stack overflow on Windows
      {0u, 0x800000C8u, "Unknown exception"},
  };
  fenv_t saved;
  fegetenv(&saved);
  for (const Row& row : rows) {
    EXPECT_EQ(XosTranslateException(row.from), row.status) << std::hex << row.from;
    EXPECT_STREQ(XosLastEventText(), row.text);
  }
  fesetenv(&saved);
}

TEST(XosTranslateException, FloatingPointCodesResetTheUnitWithTrapsArmed) {
  constexpr int kEngineTraps = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;
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
  fesetenv(&saved);
}

TEST(XosSetFloatingPointTraps, SwitchesOnlyTheThreeEngineTraps) {
  fenv_t saved;
  fegetenv(&saved);
  fedisableexcept(FE_ALL_EXCEPT);
  feenableexcept(FE_UNDERFLOW);
  XosSetFloatingPointTraps(1);
  EXPECT_EQ(fegetexcept(), FE_UNDERFLOW | FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
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
  const Row rows[] = {
      {0, 0x800000C9u, "Interrupt from terminal"},
      {1, 0x800000CAu, "Ctrl-Break from terminal"},
      {2, 0x800000CBu, "Close window detected"},
      {5, 0x800000CCu, "Logoff detected"},
      {6, 0x800000CDu, "System shutdown imminent"},
      {3, 0x800000C8u, "Unknown asynchronous event"},
  };
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
  EXPECT_STREQ(XosTrimName("A B  C", 4), "A B");
  EXPECT_STREQ(XosTrimName("ABC\0DEF  ", 9), "ABC");
  EXPECT_STREQ(XosTrimName("    ", 4), "");
  EXPECT_STREQ(XosTrimName("ABC", 0), "");
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

}  // namespace
