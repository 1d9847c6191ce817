// Formats and arguments chosen to overrun a fixed buffer; the sanitizer tree
// runs these too.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "foundation/messages/su_print.h"
#include "platform/thread_host.h"
#include "tests/foundation/su_print_fixture.h"
#include "tests/support/fault_tests.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/wait_until.h"

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

// Readable as any argument kind; as an object pointer it fails the alignment test.
struct AnyArgument {
  alignas(16) unsigned char bytes[64];
  AnyArgument() {
    std::memset(bytes, 'A', sizeof bytes);
    std::memset(bytes + 48, 0, 16);
  }
};

TEST_F(SuPrintHostileTest, RandomFormatsNeverOverrunAndAlwaysEndTheirLine) {
  static const char kAlphabet[] = "%%%%@@@@dsxcfeEgGpuiohlLI64.*-+0 #123456789nNex&\\\\\"ab ,q";
  AnyArgument any;
  const void* a = any.bytes;
  std::mt19937 random(20240611);
  testsupport::StdoutCapture out;  // diagnostics of refused formats
  for (int round = 0; round < 3000; ++round) {
    sink_.Clear();
    std::string format(random() % 41, ' ');
    for (char& c : format) c = kAlphabet[random() % (sizeof kAlphabet - 1)];
    if (round % 2 == 0) {
      // The bridge never reads past its five arguments.
      SuPrintNumeric(nullptr, format.data(), a, a, a, a, a,
                     static_cast<std::int32_t>(format.size()));
    } else {
      // An ordinary call trusts its caller's count.
      if (std::count_if(format.begin(), format.end(), [](char c) { return c == '%' || c == '@'; }) >
          12)
        continue;
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

class SuPrintFaultTest : public SuPrintTest {
 protected:
  void SetUp() override { VANTOR_SKIP_FAULTS_UNDER_ASAN(); }
  void TearDown() override {
    if (pages_ != nullptr) munmap(pages_, 2 * kPage);
  }
  // Two pages: the first readable, the second not.
  char* Pages() {
    void* p = mmap(nullptr, 2 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(p, MAP_FAILED);
    pages_ = static_cast<char*>(p);
    mprotect(pages_ + kPage, kPage, PROT_NONE);
    return pages_;
  }
  static constexpr std::size_t kPage = 4096;
  char* pages_ = nullptr;
};

TEST_F(SuPrintFaultTest, UnreadableArgumentsBecomeExceptionTextsAndTheMessageGoesOn) {
  char* pages = Pages();
  char* unreadable = pages + kPage;
  // A text that runs into the unreadable page without a NUL.
  std::memset(unreadable - 3, 'a', 3);
  // An "object" whose virtual table lies in the unreadable page.
  void* fake_object[2] = {unreadable, nullptr};
  auto* fake = reinterpret_cast<BvuNameable*>(fake_object);
  const std::int32_t seven = 7;
  testsupport::StdoutCapture out;
  SuPrint(0, "%d|%s|%ls|%f|@ns|@ns|%d", unreadable, unreadable - 3, unreadable, unreadable, &fake,
          unreadable, &seven);
  std::string expected;
  for (int i = 0; i < 6; ++i) expected += "Exception in SuPrint()|";
  EXPECT_EQ(OnlyLine(), expected + "7");
  EXPECT_EQ(ExceptionDiagnostics(out.Take()), 6u);
}

// Sleeps inside the printer's lock, so that the stop request arrives there.
class SlowName : public BvuNameable {
 public:
  const char* GetNameText(std::int32_t) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return "slow";
  }
};

TEST_F(SuPrintHostileTest, EndingAPrintingThreadLeavesThePrinterUsable) {
  SlowName slow;
  BvuNameable* name = &slow;
  std::atomic<bool> printing{false};
  platform::ThreadHost host;
  ASSERT_TRUE(host.Start([&]() -> std::uint32_t {
    while (!platform::ThreadHost::StopRequested()) {
      SuPrint(0, "@ns%&", &name);
      printing = true;
      SuPrint(0, " done");
    }
    return 0;
  }));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return printing.load(); }));
  ASSERT_TRUE(host.End(platform::kWaitForever));
  ASSERT_TRUE(SuPrintCriticalSection().TryEnter()) << "the ended thread kept the printer locked";
  SuPrintCriticalSection().Leave();
  SuPrint(5, "after");
  const auto groups = sink_.groups();
  ASSERT_FALSE(groups.empty());
  EXPECT_EQ(groups.back().status, 5u);
  // A thread ended between the two calls leaves its half line for the next.
  const std::string last = groups.back().lines.back();
  EXPECT_TRUE(last == "after" || last == "slowafter") << last;
}

}  // namespace
}  // namespace printer_test
