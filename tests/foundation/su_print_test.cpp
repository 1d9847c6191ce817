#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/status_and_msg.h"
#include "foundation/su_print.h"
#include "tests/foundation/su_print_fixture.h"
#include "tests/support/stdout_capture.h"

namespace printer_test {
namespace {

using testsupport::CaptureSink;
using testsupport::StdoutCapture;

// --- line protocol -----------------------------------------------------------

TEST_F(SuPrintTest, EmptyFormatHandsOnOneEmptyLineThenTheStatus) {
  SuPrint(0x80310007u, "");
  const auto groups = sink_.groups();
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].status, 0x80310007u);
  EXPECT_EQ(groups[0].lines, std::vector<std::string>{""});
}

TEST_F(SuPrintTest, ContinuationJoinsTwoCallsIntoOneLine) {
  std::int32_t step = 4;
  SuPrint(0, "step %d%&", &step);
  EXPECT_TRUE(Lines().empty());
  SuPrint(7, " done");
  const auto groups = sink_.groups();
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].status, 7u);
  EXPECT_EQ(groups[0].lines, std::vector<std::string>{"step 4 done"});
}

TEST_F(SuPrintTest, NewlinesEndLinesInsideOneGroup) {
  const char* text = "two\nthree";
  SuPrint(3, "one\\n%s\\n", text);  // a backslash and "n" in the format, a real newline in the text
  const auto groups = sink_.groups();
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].lines, (std::vector<std::string>{"one", "two", "three"}));
  SuPrint(0, "\\n\\n");
  EXPECT_EQ(sink_.groups().back().lines, (std::vector<std::string>{"", ""}));
}

TEST_F(SuPrintTest, QuietSwitchSilencesAndLeavesNoBridgeModeBehind) {
  std::int32_t v = 1;
  {
    platform::CriticalSectionLock lock(SuPrintCriticalSection());
    SetSuPrintQuiet(1);
  }
  SuPrint(0x80000001u, "lost %d", &v);
  Status s = 5;
  SuPrintFortran(&s, "bridge %d", &v, &v, &v, &v, &v, 9);
  EXPECT_TRUE(Lines().empty());
  EXPECT_TRUE(sink_.groups().empty());
  {
    platform::CriticalSectionLock lock(SuPrintCriticalSection());
    SetSuPrintQuiet(0);
  }
  SuPrint(2, "%d%d%d%d%d%d", &v, &v, &v, &v, &v, &v);  // six: ordinary mode again
  EXPECT_EQ(OnlyLine(), "111111");
  EXPECT_EQ(sink_.groups().at(0).status, 2u);
}

TEST(SuPrintWithoutCollector, LinesGoToStandardOutput) {
  ASSERT_EQ(GetMessageCollector(), nullptr);
  StdoutCapture out;
  std::int32_t n = 42;
  SuPrint(0x80000001u, "answer %d\\nend", &n);
  EXPECT_EQ(out.Take(), "answer 42\nend\n");
}

// --- arguments by address ----------------------------------------------------

TEST_F(SuPrintTest, IntegersAreReadAtTheirDesignedWidths) {
  const std::int32_t twelve = 12;
  const std::int64_t wide = 0x700000005LL;  // "l" reads the low 32 bits only
  const std::int32_t halves = 0x0001FFFE;   // "h" reads the low 16 bits, signed
  const std::int64_t big = 0x123456789LL;
  const std::int32_t minus_one = -1;
  SuPrint(0, "%d|%ld|%Ld|%hd|%hu|%I64d|%I64X|%x|%u|%5d|%-4i|%o", &twelve, &wide, &wide, &halves,
          &minus_one, &big, &big, &minus_one, &minus_one, &twelve, &twelve, &twelve);
  EXPECT_EQ(OnlyLine(), "12|5|5|-2|65535|4886718345|123456789|ffffffff|4294967295|   12|12  |14");
}

TEST_F(SuPrintTest, RealsAreDoublesWhateverTheSize) {
  const double x = 1.5;
  SuPrint(0, "%f|%Lf|%lf|%.2e|%G|%8.3f", &x, &x, &x, &x, &x, &x);
  EXPECT_EQ(OnlyLine(), "1.500000|1.500000|1.500000|1.50e+00|1.5|   1.500");
}

TEST_F(SuPrintTest, SixteenBitCharactersAndTextsBecomeUtf8) {
  const char16_t text[] = u"Gr\u00fc\u00dfe \U0001F600";
  const char16_t broken[] = {u'a', 0xD800, u'b', 0};
  const char16_t e_acute = u'\u00e9';
  SuPrint(0, "%ls|%lc|%Ls|%.2ls|%6ls|", text, &e_acute, broken, u"a\u00e9", u"\u00e9");
  // A lone surrogate becomes U+FFFD; a precision counts bytes and never cuts a character.
  EXPECT_EQ(OnlyLine(), "Gr\u00fc\u00dfe \U0001F600|\u00e9|a\uFFFDb|a|    \u00e9|");
}

TEST_F(SuPrintTest, NulCharacterAndEmptyTextCountAsPrinted) {
  const char nul = '\0';
  const char16_t wide_nul = 0;
  const char letter = 'q';
  SuPrint(0, "[%c][%lc][%s][%ls][%c][%3c]", &nul, &wide_nul, "", u"", &letter, &letter);
  EXPECT_EQ(OnlyLine(), "[][][][][q][  q]");
}

TEST_F(SuPrintTest, TextsArePassedThemselvesAndPrecisionBoundsTheRead) {
  // Not NUL-terminated: the precision is all that may be read.
  std::vector<char> three = {'a', 'b', 'c'};
  SuPrint(0, "%s|%.3s|%-4s|%s|%%", "txt", three.data(), "ab", static_cast<const char*>(nullptr));
  EXPECT_EQ(OnlyLine(), "txt|abc|ab  |(null)|%");
}

TEST_F(SuPrintTest, PointerIsPrintedFromTheArgumentItself) {
  int object = 0;
  SuPrint(0, "at %p", &object);
  const std::string line = OnlyLine();
  EXPECT_GT(line.size(), 3u);
  EXPECT_EQ(line.find("BAD"), std::string::npos);
}

// --- format faults -----------------------------------------------------------

struct FaultCase {
  const char* format;
  const char* expected;
};

TEST_F(SuPrintTest, EveryFormatFaultPrintsItsTextThenTheRestLiterally) {
  const std::int32_t one = 1;
  const std::int32_t zero = 0;
  const FaultCase cases[] = {
      {"a %513d b", "a BAD FORMATTING (width exceeds 512 characters)>>>%513d b"},
      {"%99999999999999999999d", "BAD FORMATTING (width exceeds 512 characters)>>>%99999999999999999999d"},
      {"a %*d then %d\\n@@ @5x", "a BAD FORMATTING (width digits expected)>>>%*d then %d\\n@@ @5x"},
      {"%8.f", "BAD FORMATTING (precision digits expected)>>>%8.f"},
      {"%.*f", "BAD FORMATTING (precision digits expected)>>>%.*f"},
      {"%y!", "BAD FORMATTING (unrecognized type specifier)>>>%y!"},
      {"%n", "BAD FORMATTING (unrecognized type specifier)>>>%n"},
      {"%lld", "BAD FORMATTING (unrecognized type specifier)>>>%lld"},
      {"%I32d", "BAD FORMATTING (unrecognized type specifier)>>>%I32d"},
      {"100%", "100BAD FORMATTING (unrecognized type specifier)>>>%"},
      {"x@5 y", "xBAD FORMATTING (missing 'x' in @nnx formatting)>>>@5 y"},
      {"@600x", "BAD FORMATTING (width exceeds 512 characters)>>>@600x"},
      {"@q %d", "BAD FORMATTING (unknown @ formatter)>>>@q %d"},
      {"@X", "BAD FORMATTING (unknown @ formatter)>>>@X"},
      {"@nd", "BAD FORMATTING (name must use 's' format)>>>@nd"},
      {"@n*s", "BAD FORMATTING (width digits expected)>>>@n*s"},
      {"%.0d", "BAD FORMATTING (check format string)>>>%.0d"},
      {"%.5000f", "BAD FORMATTING (check format string)>>>%.5000f"},
  };
  for (const FaultCase& c : cases) {
    sink_.Clear();
    SuPrint(0, c.format, &zero, &one);
    EXPECT_EQ(OnlyLine(), c.expected) << c.format;
  }
}

TEST_F(SuPrintTest, WidthOf512IsAccepted) {
  const std::int32_t seven = 7;
  SuPrint(0, "[%512d]", &seven);
  EXPECT_EQ(Joined(), "[" + std::string(511, ' ') + "7]");
}

TEST_F(SuPrintTest, NullArgumentFailsTheConversionInsteadOfCrashing) {
  SuPrint(0, "v=%d", static_cast<const std::int32_t*>(nullptr));
  EXPECT_EQ(OnlyLine(), "v=BAD FORMATTING (check format string)>>>%d");
}

TEST_F(SuPrintTest, BlanksAndAtSigns) {
  SuPrint(0, "a@xb|@5x|@@|@0x|a @ b|mail@");
  EXPECT_EQ(OnlyLine(), "a b|     |@||a @ b|mail@");
}

// --- name placeholders -------------------------------------------------------

TEST_F(SuPrintTest, NamePlaceholdersPrintTheObjectsName) {
  Named reactor("Plant.Reactor");
  Named pump("P1");
  BvuNameable* r = &reactor;
  BvuNameable* p = &pump;
  SuPrint(0, "@ns|@Ns|@e-4s|@c4s|@n.5s", &r, &p, &p, &p, &r);
  EXPECT_EQ(OnlyLine(), "Plant.Reactor|P1|P1  |  P1|Plant");
}

TEST_F(SuPrintTest, BadNameArgumentsAreReportedNotFollowed) {
  Named nameless(nullptr);
  Named empty("");
  BvuNameable* n = &nameless;
  BvuNameable* e = &empty;
  BvuNameable* none = nullptr;
  alignas(8) char raw[16] = {};
  // An object pointer that is not a multiple of 4.
  const std::uintptr_t odd = reinterpret_cast<std::uintptr_t>(&empty) + 2;
  std::memcpy(raw, &odd, sizeof odd);
  const FaultCase cases[] = {
      {"[@ns]", "[BAD FORMATTING (NUL name)>>>@ns]"},
      {"[@ns]", "[BAD FORMATTING (argument is not a valid pointer object)>>>@ns]"},
      {"[@ns]", "[BAD FORMATTING (argument is not a valid pointer object)>>>@ns]"},
      {"[@ns]", "[]"},
  };
  const void* args[] = {&n, &none, raw, &e};
  for (int i = 0; i < 4; ++i) {
    sink_.Clear();
    SuPrint(0, cases[i].format, args[i]);
    EXPECT_EQ(OnlyLine(), cases[i].expected) << i;
  }
}

TEST_F(SuPrintTest, MisalignedNameArgumentSuggestsTooManySpecifiers) {
  alignas(8) char raw[16] = {};
  StdoutCapture out;
  SuPrint(0, "x @ns y", raw + 1);
  EXPECT_EQ(OnlyLine(), "x BAD FORMATTING (too many format specifiers?)>>>@ns y");
  EXPECT_EQ(out.Take().rfind("SuPrint() Bad format at line ", 0), 0u);
}

class Throwing : public BvuNameable {
 public:
  const char* GetNameText(std::int32_t) override { throw std::runtime_error("no name"); }
};

TEST_F(SuPrintTest, NameThatThrowsIsReplacedAndTheMessageGoesOn) {
  Throwing bad;
  BvuNameable* b = &bad;
  const std::int32_t after = 9;
  StdoutCapture out;
  SuPrint(0, "<@ns> %d", &b, &after);
  EXPECT_EQ(OnlyLine(), "<Exception in SuPrint()> 9");
  EXPECT_EQ(out.Take().rfind("SuPrint() Exception caught at line ", 0), 0u);
}

// --- the numeric routines' bridge -------------------------------------------

TEST_F(SuPrintTest, BridgeTakesBlankPaddedFormatsOfGivenLength) {
  // An 80-character record with no NUL anywhere.
  std::vector<char> record(80, ' ');
  const char text[] = "ITER %d  NORM %e";
  std::memcpy(record.data(), text, sizeof text - 1);
  const std::int32_t iter = 3;
  const double norm = 0.25;
  const Status s = 0x40000001u;
  SuPrintFortran(&s, record.data(), &iter, &norm, nullptr, nullptr, nullptr, 80);
  const auto groups = sink_.groups();
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].status, s);
  EXPECT_EQ(groups[0].lines, std::vector<std::string>{"ITER 3  NORM 2.500000e-01"});
}

TEST_F(SuPrintTest, BridgeAllowsFiveArgumentsAndCountsTextsTwice) {
  const std::int32_t v[] = {1, 2, 3, 4, 5};
  const char letter = 'A';
  const std::int32_t letter_length = 1;
  const char padded[] = "abc   ";
  StdoutCapture out;
  SuPrintFortran(nullptr, "%d%d%d%d%d%d", &v[0], &v[1], &v[2], &v[3], &v[4], 12);
  EXPECT_EQ(out.Take().rfind("SuPrint() Bad format at line ", 0), 0u);
  // "c" takes the character and its length; "c" and "s" cost two each.
  SuPrintFortran(nullptr, "%c=%d|%s", &letter, &letter_length, &v[4], padded, &v[0], 8);
  StdoutCapture more;
  SuPrintFortran(nullptr, "%s%s%s", padded, padded, padded, nullptr, nullptr, 6);
  SuPrintFortran(nullptr, "%c%d%d%d", &letter, &letter_length, &v[0], &v[1], &v[2], 8);
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "12345BAD FORMATTING (too many format specifiers)>>>%d",
                         "A=5|abc",
                         "abcabcBAD FORMATTING (too many format specifiers)>>>%s",
                         "A123"}));
}

TEST_F(SuPrintTest, BridgeReadsAtMost1023CharactersOfFormatAndText) {
  std::vector<char> long_format(3000, 'f');
  std::vector<char> long_text(1500, 't');  // no NUL: the bridge must not run past 1023
  std::vector<char> text_format = {'%', 's'};
  SuPrintFortran(nullptr, long_format.data(), nullptr, nullptr, nullptr, nullptr, nullptr, 3000);
  EXPECT_EQ(Joined(), std::string(1023, 'f'));
  sink_.Clear();
  SuPrintFortran(nullptr, text_format.data(), long_text.data(), nullptr, nullptr, nullptr,
                 nullptr, 2);
  EXPECT_EQ(Joined(), std::string(1023, 't'));
  sink_.Clear();
  SuPrintFortran(nullptr, long_format.data(), nullptr, nullptr, nullptr, nullptr, nullptr, -5);
  SuPrintFortran(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 80);
  SuPrint(0, nullptr);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"", "", ""}));
}

// --- status-and-message objects ----------------------------------------------

class CountedMessage : public BvuStatusAndMsg {
 public:
  CountedMessage(Status s, const char* text, int* destroyed)
      : BvuStatusAndMsg(s, text), destroyed_(destroyed) {}
  ~CountedMessage() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST_F(SuPrintTest, StatusAndMessageIsPrintedLiterallyThenDestroyed) {
  int destroyed = 0;
  PrintStatusAndMsg(new CountedMessage(0x80320001u, "100% of @ns\\nfailed\nat end", &destroyed));
  EXPECT_EQ(destroyed, 1);
  PrintStatusAndMsg(new CountedMessage(4, "", &destroyed));
  PrintStatusAndMsg(nullptr);
  const auto groups = sink_.groups();
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].status, 0x80320001u);
  EXPECT_EQ(groups[0].lines, (std::vector<std::string>{"100% of @ns\\nfailed", "at end"}));
  EXPECT_EQ(groups[1].lines, std::vector<std::string>{""});
  EXPECT_EQ(destroyed, 2);
}

// --- threads -----------------------------------------------------------------

TEST_F(SuPrintTest, ConcurrentCallsKeepTheirMessagesWhole) {
  auto print = [](std::int32_t who) {
    for (std::int32_t i = 0; i < 300; ++i) SuPrint(who, "thread %d%& message %d", &who, &i);
  };
  std::thread a(print, 1);
  std::thread b(print, 2);
  a.join();
  b.join();
  const auto groups = sink_.groups();
  ASSERT_EQ(groups.size(), 600u);
  std::int32_t next[3] = {0, 0, 0};
  for (const auto& g : groups) {
    ASSERT_EQ(g.lines.size(), 1u);
    ASSERT_TRUE(g.status == 1 || g.status == 2);
    EXPECT_EQ(g.lines[0], "thread " + std::to_string(g.status) + " message " +
                              std::to_string(next[g.status]++));
  }
}

TEST_F(SuPrintTest, StatusAndMessageDoesNotMixWithAPrintingThread) {
  std::thread run([] {
    for (std::int32_t i = 0; i < 300; ++i) SuPrint(1, "run %d%& step", &i);
  });
  for (int i = 0; i < 300; ++i) PrintStatusAndMsg(new BvuStatusAndMsg(2, "server message"));
  run.join();
  const auto groups = sink_.groups();
  ASSERT_EQ(groups.size(), 600u);
  for (const auto& g : groups) {
    ASSERT_EQ(g.lines.size(), 1u);
    if (g.status == 2) {
      EXPECT_EQ(g.lines[0], "server message");
    } else {
      EXPECT_EQ(g.lines[0].rfind("run ", 0), 0u);
      EXPECT_EQ(g.lines[0].substr(g.lines[0].size() - 5), " step");
    }
  }
}

}  // namespace
}  // namespace printer_test
