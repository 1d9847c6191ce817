#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/messages/status_and_msg.h"
#include "foundation/messages/su_print.h"
#include "tests/foundation/su_print_fixture.h"
#include "tests/support/capture_sink.h"
#include "tests/support/event_lines.h"
#include "tests/support/stdout_capture.h"

namespace printer_test {
namespace {

using Texts = std::vector<std::string>;
using testsupport::StdoutCapture;

// --- line protocol -----------------------------------------------------------

TEST_F(SuPrintTest, CallsEndTheirGroupUnlessContinuedAndBackslashNEndsALine) {
  const std::int32_t step = 4;
  SuPrint(0x80310007u, "");  // one empty line, then the status
  SuPrint(0, "step %d%&", &step);
  EXPECT_EQ(Groups().size(), 1u);
  SuPrint(7, " done");
  SuPrint(3, "one\\n%s\\n",
          "two\nthree");  // backslash and "n" in the format, a newline in the text
  SuPrint(0, "\\n\\n");
  EXPECT_EQ(Groups(), (Texts{"80310007:", "7:step 4 done", "3:one|two|three", "0:|"}));
}

TEST_F(SuPrintTest, QuietSwitchSilencesAndLeavesNoBridgeModeBehind) {
  std::int32_t v = 1;
  {
    platform::CriticalSectionLock lock(SuPrintCriticalSection());
    SetSuPrintQuiet(1);
  }
  SuPrint(0x80000001u, "lost %d", &v);
  Status s = 5;
  SuPrintNumeric(&s, "bridge %d", &v, &v, &v, &v, &v, 9);
  EXPECT_TRUE(Lines().empty());
  {
    platform::CriticalSectionLock lock(SuPrintCriticalSection());
    SetSuPrintQuiet(0);
  }
  SuPrint(2, "%d%d%d%d%d%d", &v, &v, &v, &v, &v, &v);  // six: ordinary mode again
  EXPECT_EQ(Groups(), Texts{"2:111111"});
}

TEST(SuPrintWithoutCollector, LinesGoToStandardOutput) {
  ASSERT_EQ(GetMessageCollector(), nullptr);
  StdoutCapture out;
  std::int32_t n = 42;
  SuPrint(0x80000001u, "answer %d\\nend", &n);
  EXPECT_EQ(out.Take(), "answer 42\nend\n");
}

// --- arguments by address ----------------------------------------------------

TEST_F(SuPrintTest, NumbersAreReadAtTheWidthsTheirFormatNames) {
  const std::int32_t twelve = 12;
  const std::int64_t wide = 0x700000005LL;  // "l" reads the low 32 bits only
  const std::int32_t halves = 0x0001FFFE;   // "h" reads the low 16 bits, signed
  const std::int64_t big = 0x123456789LL;
  const std::int32_t minus_one = -1;
  const double x = 1.5;  // "L" and "l" on reals still mean a double
  SuPrint(0, "%d|%ld|%Ld|%hd|%hu|%I64d|%I64X|%x|%u|%5d|%-4i|%o|%f|%Lf|%lf|%.2e|%G|%8.3f", &twelve,
          &wide, &wide, &halves, &minus_one, &big, &big, &minus_one, &minus_one, &twelve, &twelve,
          &twelve, &x, &x, &x, &x, &x, &x);
  EXPECT_EQ(OnlyLine(),
            "12|5|5|-2|65535|4886718345|123456789|ffffffff|4294967295|   12|12  |14|"
            "1.500000|1.500000|1.500000|1.50e+00|1.5|   1.500");
}

TEST_F(SuPrintTest, SixteenBitCharactersAndTextsBecomeUtf8) {
  const char16_t text[] = u"Gr\u00fc\u00dfe \U0001F600";
  const char16_t broken[] = {u'a', 0xD800, u'b', 0};
  const char16_t e_acute = u'\u00e9';
  SuPrint(0, "%ls|%lc|%Ls|%.2ls|%6ls|", text, &e_acute, broken, u"a\u00e9", u"\u00e9");
  // A lone surrogate becomes U+FFFD; a precision counts bytes and never cuts a character.
  EXPECT_EQ(OnlyLine(), "Gr\u00fc\u00dfe \U0001F600|\u00e9|a\uFFFDb|a|    \u00e9|");
}

TEST_F(SuPrintTest, TextsArePassedThemselvesAndPrecisionBoundsTheRead) {
  const std::vector<char> three = {'a', 'b', 'c'};  // not NUL-terminated
  const char nul = '\0';
  const char16_t wide_nul = 0;
  const char letter = 'q';
  int object = 0;
  SuPrint(0, "%s|%.3s|%-4s|%%|[%c][%lc][%s][%ls][%3c]|%p", "txt", three.data(), "ab", &nul,
          &wide_nul, "", u"", &letter, &object);
  char pointer[32];
  std::snprintf(pointer, sizeof pointer, "%p", static_cast<void*>(&object));
  EXPECT_EQ(OnlyLine(), "txt|abc|ab  |%|[][][][][  q]|" + std::string(pointer));
}

// --- format faults -----------------------------------------------------------

TEST_F(SuPrintTest, EveryFormatFaultPrintsItsTextThenTheRestLiterally) {
  const std::int32_t one = 1;
  const std::int32_t zero = 0;
  const std::pair<const char*, const char*> cases[] = {
      {"a %513d b", "a BAD FORMATTING (width exceeds 512 characters)>>>%513d b"},
      {"%99999999999999999999d",
       "BAD FORMATTING (width exceeds 512 characters)>>>%99999999999999999999d"},
      {"a %*d then %d\\n@@ @5x", "a BAD FORMATTING (width digits expected)>>>%*d then %d\\n@@ @5x"},
      {"%.*f", "BAD FORMATTING (precision digits expected)>>>%.*f"},
      {"%n", "BAD FORMATTING (unrecognized type specifier)>>>%n"},
      {"%lld", "BAD FORMATTING (unrecognized type specifier)>>>%lld"},
      {"100%", "100BAD FORMATTING (unrecognized type specifier)>>>%"},
      {"@600x", "BAD FORMATTING (width exceeds 512 characters)>>>@600x"},
      {"@q %d", "BAD FORMATTING (unknown @ formatter)>>>@q %d"},
      {"@nd", "BAD FORMATTING (name must use 's' format)>>>@nd"},
      {"%.5000f", "BAD FORMATTING (check format string)>>>%.5000f"},
      {"a@xb|@5x|@@|@0x|a @ b|mail@", "a b|     |@||a @ b|mail@"},  // no fault at all
  };
  for (const auto& [format, expected] : cases) {
    sink_.Clear();
    SuPrint(0, format, &zero, &one);
    EXPECT_EQ(OnlyLine(), expected) << format;
  }
  sink_.Clear();
  SuPrint(0, "[%512d]", &one);
  EXPECT_EQ(Joined(), std::string("[").append(511, ' ').append("1]"));
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
  alignas(8) char raw[16] = {};
  // An object pointer that is not a multiple of 4, and one that is a
  // multiple of 4 but not of the alignment the object needs.
  const std::uintptr_t odd = reinterpret_cast<std::uintptr_t>(&empty) + 2;
  std::memcpy(raw, &odd, sizeof odd);
  static_assert(alignof(BvuNameable) == 8);
  alignas(8) char half_aligned[16] = {};
  const std::uintptr_t four = reinterpret_cast<std::uintptr_t>(&empty) + 4;
  std::memcpy(half_aligned, &four, sizeof four);
  const std::pair<const void*, const char*> cases[] = {
      {&n, "[BAD FORMATTING (NUL name)>>>@ns]"},
      {raw, "[BAD FORMATTING (argument is not a valid pointer object)>>>@ns]"},
      {half_aligned, "[BAD FORMATTING (argument is not a valid pointer object)>>>@ns]"},
      {&e, "[]"},
      {raw + 1, "[BAD FORMATTING (too many format specifiers?)>>>@ns]"},  // a misaligned argument
  };
  StdoutCapture out;
  for (const auto& [argument, expected] : cases) {
    sink_.Clear();
    SuPrint(0, "[@ns]", argument);
    EXPECT_EQ(OnlyLine(), expected);
  }
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

// Reading address 0 is the fault the printer's guard turns into its
// exception text; nothing is read there, and the walk goes on.
TEST_F(SuPrintTest, NullArgumentsAreUnreadableAndTheMessageGoesOn) {
  const void* null = nullptr;
  BvuNameable* none = nullptr;
  const std::int32_t after = 9;
  StdoutCapture out;
  SuPrint(0, "%d|%I64d|%hd|%f|%c|%lc|%s|%ls|@ns|@ns|%d", null, null, null, null, null, null, null,
          null, null, &none, &after);
  std::string expected;
  for (int i = 0; i < 10; ++i) expected += "Exception in SuPrint()|";
  EXPECT_EQ(OnlyLine(), expected + "9");
  EXPECT_EQ(ExceptionDiagnostics(out.Take()), 10u);
}

// --- the numeric routines' bridge -------------------------------------------

TEST_F(SuPrintTest, BridgeTakesBlankPaddedFormatsOfGivenLength) {
  std::vector<char> record(80, ' ');  // no NUL anywhere
  const char text[] = "ITER %d  NORM %e";
  std::memcpy(record.data(), text, sizeof text - 1);
  const std::int32_t iter = 3;
  const double norm = 0.25;
  const Status s = 0x40000001u;
  SuPrintNumeric(&s, record.data(), &iter, &norm, nullptr, nullptr, nullptr, 80);
  EXPECT_EQ(Groups(), Texts{"40000001:ITER 3  NORM 2.500000e-01"});
}

TEST_F(SuPrintTest, BridgeAllowsFiveArgumentsAndCountsTextsTwice) {
  const std::int32_t v[] = {1, 2, 3, 4, 5};
  const char letter = 'A';
  const std::int32_t letter_length = 1;
  const char padded[] = "abc   ";
  StdoutCapture out;
  SuPrintNumeric(nullptr, "%d%d%d%d%d%d", &v[0], &v[1], &v[2], &v[3], &v[4], 12);
  EXPECT_EQ(out.Take().rfind("SuPrint() Bad format at line ", 0), 0u);
  // "c" takes the character and its length and costs two; "s" costs a second
  // unit after it is printed.
  SuPrintNumeric(nullptr, "%c=%d|%s", &letter, &letter_length, &v[4], padded, &v[0], 8);
  StdoutCapture more;
  SuPrintNumeric(nullptr, "%s%s%s%d", padded, padded, padded, &v[0], nullptr, 8);
  SuPrintNumeric(nullptr, "%c%d%d%d", &letter, &letter_length, &v[0], &v[1], &v[2], 8);
  EXPECT_EQ(Lines(), (Texts{"12345BAD FORMATTING (too many format specifiers)>>>%d", "A=5|abc",
                            "abcabcabcBAD FORMATTING (too many format specifiers)>>>%d", "A123"}));
}

TEST_F(SuPrintTest, BridgeReadsAtMost1023CharactersOfFormatAndText) {
  std::vector<char> long_format(3000, 'f');
  std::vector<char> long_text(1500, 't');  // no NUL: the bridge must not run past 1023
  std::vector<char> text_format = {'%', 's'};
  SuPrintNumeric(nullptr, long_format.data(), nullptr, nullptr, nullptr, nullptr, nullptr, 3000);
  EXPECT_EQ(Joined(), std::string(1023, 'f'));
  sink_.Clear();
  SuPrintNumeric(nullptr, text_format.data(), long_text.data(), nullptr, nullptr, nullptr, nullptr,
                 2);
  EXPECT_EQ(Joined(), std::string(1023, 't'));
  sink_.Clear();
  SuPrintNumeric(nullptr, long_format.data(), nullptr, nullptr, nullptr, nullptr, nullptr, -5);
  SuPrintNumeric(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 80);
  SuPrint(0, nullptr);
  EXPECT_EQ(Lines(), (Texts{"", "", ""}));
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
  EXPECT_EQ(Groups(), (Texts{"80320001:100% of @ns\\nfailed|at end", "4:"}));
  EXPECT_EQ(destroyed, 2);
}

// Two threads print continued lines while this one prints status-and-message
// objects: every message stays whole and each thread's stay in order.
TEST_F(SuPrintTest, ConcurrentMessagesStayWhole) {
  auto print = [](std::int32_t who) {
    for (std::int32_t i = 0; i < 300; ++i) SuPrint(who, "thread %d%& message %d", &who, &i);
  };
  std::thread a(print, 1);
  std::thread b(print, 2);
  for (int i = 0; i < 300; ++i) PrintStatusAndMsg(new BvuStatusAndMsg(3, "server message"));
  a.join();
  b.join();
  const auto groups = sink_.groups();
  ASSERT_EQ(groups.size(), 900u);
  std::int32_t next[3] = {0, 0, 0};
  for (const auto& g : groups) {
    ASSERT_EQ(g.lines.size(), 1u);
    ASSERT_TRUE(g.status >= 1 && g.status <= 3);
    const std::string expected = g.status == 3 ? "server message"
                                               : "thread " + std::to_string(g.status) +
                                                     " message " + std::to_string(next[g.status]++);
    EXPECT_EQ(g.lines[0], expected);
  }
}

// Holds the printing thread inside its one line until released.
struct HoldingSink : testsupport::CaptureSink {
  std::promise<void> entered, released;
  std::shared_future<void> release = released.get_future().share();
  std::uint32_t AddText(const char* text) override {
    entered.set_value();
    release.wait();
    return CaptureSink::AddText(text);
  }
};

TEST(SuPrintCollector, ClearingWaitsForTheMessageBeingPrinted) {
  HoldingSink sink;
  std::thread printer([] { SuPrint(6, "held"); });
  sink.entered.get_future().wait();
  auto cleared = std::async(std::launch::async, [] { SetMessageCollector(nullptr); });
  // A clear that does not wait would be done long before this.
  EXPECT_EQ(cleared.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  sink.released.set_value();
  printer.join();
  cleared.wait();
  ASSERT_EQ(sink.groups().size(), 1u);  // the line kept its status
  EXPECT_EQ(sink.groups()[0].status, 6u);
}

// --- wrapping at 256 characters -----------------------------------------------

// Words of four letters: "w000 w001 ...", 5 characters per word with its blank.
std::string Words(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    char word[16];
    std::snprintf(word, sizeof word, "%sw%03d", i == 0 ? "" : " ", i);
    text += word;
  }
  return text;
}

TEST_F(SuPrintTest, LongLinesBreakAtTheLastBlankOutsideQuotesElsePunctuationElseAt256) {
  const std::string words = Words(60);  // 299 characters
  const std::string letters(600, 'a');
  const std::string exact = Words(51) + "xy";  // exactly 256
  const std::string quoted =
      std::string("\"").append(Words(50)).append("\"");  // the only blank outside quotes is at 4
  const std::string punctuated = std::string(" ").append(200, 'a').append(",").append(99, 'b');
  std::string accented = "a";
  for (int i = 0; i < 200; ++i) accented += "\u00e9";  // two bytes each
  const std::pair<std::string, Texts> cases[] = {
      {words, {words.substr(0, 254), words.substr(254)}},  // the blank starts the next line
      {letters, {letters.substr(0, 256), letters.substr(256, 256), letters.substr(512)}},
      {exact, {exact}},
      {"name " + quoted + " end", {"name", " " + quoted + " end"}},
      {punctuated,
       {punctuated.substr(0, 201), punctuated.substr(201)}},        // a blank at 0 does not count
      {accented, {accented.substr(0, 255), accented.substr(255)}},  // never inside a character
  };
  for (const auto& [text, lines] : cases) {
    sink_.Clear();
    SuPrint(0, "%s", text.c_str());
    EXPECT_EQ(Lines(), lines) << text;
  }
  sink_.Clear();
  const std::string first(200, 'a');
  const std::string second = std::string(" ").append(100, 'b');
  SuPrint(0, "%s%&", first.c_str());
  SuPrint(0, "%s", second.c_str());
  EXPECT_EQ(Lines(), (Texts{first, second}));
}

// The road tests look for phrases holding temporary paths in the lines a
// client gets: joined again, the pieces of each wrapped line are the line
// the engine wrote, whatever the path's length, and lines that were
// separate stay so.
TEST_F(SuPrintTest, WrappedLinesJoinAgainIntoTheLinesWritten) {
  const std::string before = "A short line before";
  const std::string after = "Library file libx.so loaded";
  for (std::size_t length = 1; length <= 600; length += 7) {
    std::string folder = "/tmp";
    while (folder.size() < length) folder += "/d" + std::to_string(folder.size()) + "-x.y_z";
    const std::string line = "Library file " + folder + "/mine.so skipped: the library " + folder +
                             "/libdep.so beside it, which it needs, must not be loaded: its "
                             "group or others can write to it";
    sink_.Clear();
    SuPrint(0, "%s", before.c_str());
    SuPrint(0, "%s", line.c_str());
    SuPrint(0, "%s", after.c_str());
    EXPECT_EQ(testsupport::UnwrappedLines(Lines()), (Texts{before, line, after})) << length;
  }
}

}  // namespace
}  // namespace printer_test
