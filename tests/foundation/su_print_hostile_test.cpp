// Formats and arguments chosen to overrun a fixed buffer; the sanitizer tree
// runs these too.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/su_print.h"
#include "tests/foundation/su_print_fixture.h"
#include "tests/support/stdout_capture.h"

namespace printer_test {
namespace {

using SuPrintHostileTest = SuPrintTest;

TEST_F(SuPrintHostileTest, LargeRealConversionsArePrintedWhole) {
  const double huge = 1e308;
  const double third = 1.0 / 3.0;
  const char* conversions[] = {"%f", "%.300e", "%512.300f", "%-512.4096f", "%#.4096g"};
  for (const char* conversion : conversions) {
    sink_.Clear();
    const double value = conversion[1] == '.' || conversion[1] == '#' ? third : huge;
    SuPrint(0, conversion, &value);
    std::string expected(8192, '\0');
    expected.resize(std::snprintf(expected.data(), expected.size(), conversion, value));
    EXPECT_EQ(Joined(), expected) << conversion;
    for (const std::string& line : Lines()) EXPECT_LE(line.size(), 256u);
  }
}

TEST_F(SuPrintHostileTest, LongTextsAndSpecifiersAreBounded) {
  const std::string text(100000, 'z');
  SuPrint(0, "%s", text.c_str());
  EXPECT_EQ(Joined(), text);

  sink_.Clear();
  const std::int32_t one = 1;
  const std::string many_flags = "%" + std::string(50000, '-') + "3d|";
  SuPrint(0, many_flags.c_str(), &one);
  EXPECT_EQ(Joined(), "1  |");

  sink_.Clear();
  const std::string long_precision = "%." + std::string(40, '9') + "d";
  SuPrint(0, long_precision.c_str(), &one);
  EXPECT_EQ(Joined(), "BAD FORMATTING (check format string)>>>" + long_precision);
}

// Every argument points at this block, which reads as a valid int, double,
// character, text (narrow and 16-bit) and as an object pointer that fails
// the alignment test.
struct AnyArgument {
  alignas(16) unsigned char bytes[64];
  AnyArgument() {
    std::memset(bytes, 'A', sizeof bytes);
    std::memset(bytes + 48, 0, 16);
  }
};

std::string RandomFormat(std::mt19937& random, std::size_t max_length) {
  static const char kAlphabet[] = "%%%%@@@@dsxcfeEgGpuiohlLI64.*-+0 #123456789nNex&\\\\\"ab ,q";
  std::uniform_int_distribution<std::size_t> length(0, max_length);
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
  std::string format(length(random), ' ');
  for (char& c : format) c = kAlphabet[pick(random)];
  return format;
}

std::size_t Items(const std::string& format) {
  std::size_t n = 0;
  for (char c : format) n += (c == '%' || c == '@') ? 1 : 0;
  return n;
}

TEST_F(SuPrintHostileTest, RandomFormatsNeverOverrunAndAlwaysEndTheirLine) {
  AnyArgument any;
  const void* a = any.bytes;
  std::mt19937 random(20240611);
  testsupport::StdoutCapture out;  // diagnostics of refused formats
  for (int round = 0; round < 3000; ++round) {
    sink_.Clear();
    const std::string format = RandomFormat(random, 40);
    if (round % 2 == 0) {
      // The bridge never reads past its five arguments.
      SuPrintFortran(nullptr, format.data(), a, a, a, a, a,
                     static_cast<std::int32_t>(format.size()));
    } else {
      if (Items(format) > 12) continue;  // an ordinary call trusts its caller's count
      SuPrint(1, format.c_str(), a, a, a, a, a, a, a, a, a, a, a, a);
    }
    const auto groups = sink_.groups();
    ASSERT_LE(groups.size(), 1u) << format;
    for (const std::string& line : Lines()) ASSERT_LE(line.size(), 256u) << format;
    // Whatever the format, the call leaves no partial line behind unless it asked to.
    if (!groups.empty()) {
      EXPECT_EQ(sink_.pending().size(), 0u) << format;
    }
    SuPrint(0, "");  // closes a line a "%&" left open
  }
}

}  // namespace
}  // namespace printer_test
