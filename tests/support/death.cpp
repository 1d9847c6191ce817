#include "tests/support/death.h"

#include <gtest/gtest.h>

namespace {
bool g_in_death_child = false;
}  // namespace

// LeakSanitizer asks this before its check at exit.
extern "C" int __lsan_is_turned_off() { return g_in_death_child ? 1 : 0; }

namespace testsupport {

std::string ExactRegex(const std::string& text) {
  std::string out = "^";
  for (char c : text) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  out += '$';
  return out;
}

void InDeathChild() { g_in_death_child = true; }

void ExpectLibraryDeath(const std::function<void()>& statement, const std::string& text) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        InDeathChild();
        statement();
      },
      ::testing::ExitedWithCode(1), ExactRegex("** " + text + "\n** Processing terminated.\n"));
}

}  // namespace testsupport
