#include <gtest/gtest.h>

#include <string>

#include "foundation/su_print.h"
#include "tests/foundation/su_print_fixture.h"

namespace printer_test {
namespace {

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

using MessageLineTest = SuPrintTest;

TEST_F(MessageLineTest, LongTextBreaksAtTheLastBlankAndTheBlankStartsTheNextLine) {
  const std::string text = Words(60);  // 299 characters
  SuPrint(0, "%s", text.c_str());
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], text.substr(0, 254));  // 51 words minus one blank
  EXPECT_EQ(lines[1], text.substr(254));
  EXPECT_EQ(lines[1][0], ' ');
}

TEST_F(MessageLineTest, TextWithoutSeparatorsBreaksAtExactly256) {
  const std::string text(600, 'a');
  SuPrint(0, "%s", text.c_str());
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].size(), 256u);
  EXPECT_EQ(lines[1].size(), 256u);
  EXPECT_EQ(Joined(), text);
}

TEST_F(MessageLineTest, LineOfExactly256IsNotWrapped) {
  const std::string text = Words(51) + "x";  // 254 + 1 ... padded to 256 below
  const std::string exact = text + std::string(256 - text.size(), 'y');
  SuPrint(0, "%s", exact.c_str());
  EXPECT_EQ(Lines(), std::vector<std::string>{exact});
}

TEST_F(MessageLineTest, QuotedStretchIsNeverBroken) {
  // The only blank outside quotes is at 4; the quoted text ends at 255.
  const std::string quoted = "\"" + Words(50) + "\"";
  const std::string text = "name " + quoted + " end";
  SuPrint(0, "%s", text.c_str());
  EXPECT_EQ(Lines(), (std::vector<std::string>{"name", " " + quoted + " end"}));
}

TEST_F(MessageLineTest, PunctuationIsTheFallbackAndBlankAtStartDoesNotCount) {
  std::string text = " " + std::string(200, 'a') + "," + std::string(99, 'b');
  SuPrint(0, "%s", text.c_str());
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], text.substr(0, 201));
  EXPECT_EQ(lines[1], text.substr(201));
}

TEST_F(MessageLineTest, HardBreakNeverSplitsAUtf8Character) {
  std::string text = "a";
  for (int i = 0; i < 200; ++i) text += "\u00e9";  // two bytes each
  SuPrint(0, "%s", text.c_str());
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 255u);
  EXPECT_EQ(static_cast<unsigned char>(lines[1][0]), 0xC3u);
  EXPECT_EQ(Joined(), text);
}

TEST_F(MessageLineTest, ContinuedLineWrapsAcrossCalls) {
  const std::string first(200, 'a');
  const std::string second = " " + std::string(100, 'b');
  SuPrint(0, "%s%&", first.c_str());
  SuPrint(0, "%s", second.c_str());
  EXPECT_EQ(Lines(), (std::vector<std::string>{first, second}));
}

}  // namespace
}  // namespace printer_test
