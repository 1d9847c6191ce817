#include "platform/exit_code.h"

#include <gtest/gtest.h>

namespace {

TEST(ExitCode, NoFailureEverExitsWithZero) {
  EXPECT_EQ(platform::ExitCodeOf(0), 0);
  EXPECT_EQ(platform::ExitCodeOf(0x00320005u), 0);
  EXPECT_EQ(platform::ExitCodeOf(0x80000035u), 0x35);
  // Low byte 0 would read as success to the parent.
  EXPECT_EQ(platform::ExitCodeOf(0xA0000000u), 1);
  EXPECT_EQ(platform::ExitCodeOf(0x80000100u), 1);
  EXPECT_EQ(platform::ExitCodeOf(0xA000FFFFu), 0xFF);
}

}  // namespace
