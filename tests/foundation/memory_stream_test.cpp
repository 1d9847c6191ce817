#include "foundation/persistence/memory_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <tuple>

namespace {

// Numbers as decimal text each ended by a blank, texts with their NUL,
// bytes as they are; read back to the same values.
TEST(MemoryStream, PrimitivesHaveTheirTextAndRoundTrip) {
  const double doubles[] = {1.0 / 3.0, -1.5e300, std::numeric_limits<double>::infinity()};
  const float floats[] = {1.0f / 3.0f, -0.25f};
  const std::int32_t longs[] = {std::numeric_limits<std::int32_t>::min(), -7};
  ClMemoryOutStream out;
  out.PutU16(65535);
  out.PutI16(-32768);
  out.PutULong(4294967295u);
  out.PutLongs(longs, 2);
  out.PutDoubles(doubles, 3);
  out.PutFloats(floats, 2);
  out.PutSignedChar(':');
  out.PutString("a b");
  out.PutBytes("x\0", 2);
  static const char expected[] =
      "65535 -32768 4294967295 -2147483648 -7 0.3333333333333333 -1.5e+300 inf 0.33333334 -0.25 "
      ":a b\0x\0";
  ASSERT_EQ(out.Text(), std::string(expected, sizeof expected - 1));

  ClMemoryInStream in(out.Text());
  std::uint16_t u16 = 0;
  std::int16_t i16 = 0;
  std::uint32_t u32 = 0;
  std::int32_t longs_in[2];
  double doubles_in[3];
  float floats_in[2];
  signed char sc = 0;
  char text[8], bytes[2];
  ASSERT_TRUE(in.GetU16(u16) && in.GetI16(i16) && in.GetULong(u32) && in.GetLongs(longs_in, 2) &&
              in.GetDoubles(doubles_in, 3) && in.GetFloats(floats_in, 2) && in.GetSignedChar(sc) &&
              in.GetString(text, sizeof text) && in.GetBytes(bytes, 2));
  EXPECT_EQ(std::tie(u16, i16, u32, sc, bytes[1]),
            std::make_tuple(std::uint16_t{65535}, std::int16_t{-32768}, 4294967295u,
                            static_cast<signed char>(':'), '\0'));
  EXPECT_TRUE(std::equal(longs, longs + 2, longs_in));
  EXPECT_TRUE(std::equal(doubles, doubles + 3, doubles_in));
  EXPECT_TRUE(std::equal(floats, floats + 2, floats_in));
  EXPECT_STREQ(text, "a b");
  char c;
  EXPECT_FALSE(in.GetChar(c));
  EXPECT_EQ(in.ReadState(), Clvios::kEofBit | Clvios::kFailBit);
}

TEST(MemoryStream, FailingSinkSetsBadAndLaterPutsGoOn) {
  ClMemoryOutStream out(6);
  out.PutU16(1234);  // "1234 "
  EXPECT_TRUE(out.Good());
  out.PutU16(99);  // "99 " does not fit
  EXPECT_NE(out.Bad(), 0u);
  EXPECT_FALSE(out.Good());
  out.PutChar('!');  // still accepted
  EXPECT_EQ(out.Text(), "1234 !");
  out.Clear();
  EXPECT_TRUE(out.Good());
}

TEST(MemoryStream, MalformedNumbersFailAndKeepTheTarget) {
  for (const char* text : {"70000 ", "-1 ", "12", "1x ", " 5 ", "", "99999999999999999999 "}) {
    ClMemoryInStream in(text);
    std::uint16_t v = 7;
    EXPECT_FALSE(in.GetU16(v)) << text;
    EXPECT_EQ(v, 7) << text;
    EXPECT_NE(in.Fail(), 0u) << text;
    EXPECT_FALSE(in.GetU16(v)) << "a failed stream stays failed";
  }
  for (const char* text : {"-32769 ", "40000 ", "- ", "--1 "}) {
    std::int16_t v = 3;
    EXPECT_FALSE(ClMemoryInStream(text).GetI16(v)) << text;
  }
  ClMemoryInStream d("1.5.2 ");
  double x = 0;
  EXPECT_FALSE(d.GetDouble(x));
}

TEST(MemoryStream, StringsLongerThanTheBufferFail) {
  ClMemoryInStream in(std::string("abcdef\0gh\0", 10));
  char small[4];
  EXPECT_FALSE(in.GetString(small, sizeof small));
  EXPECT_STREQ(small, "abc");
  EXPECT_NE(in.Fail(), 0u);
  in.Clear();
  EXPECT_TRUE(in.GetString(small, sizeof small));  // in step after the cut text
  EXPECT_STREQ(small, "gh");
  ClMemoryInStream unterminated("abc");
  EXPECT_FALSE(unterminated.GetString(small, sizeof small));
  EXPECT_NE(unterminated.Eof(), 0u);
}

TEST(MemoryStream, SeededRandomInputNeverReadsOutOfBounds) {
  std::mt19937 rng(99);
  const std::string alphabet = "0123456789- .e+inf:{}@\0abc";
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const std::size_t n = rng() % 40;
    for (std::size_t i = 0; i < n; ++i) text += alphabet[rng() % alphabet.size()];
    ClMemoryInStream in(text);
    for (int op = 0; op < 20 && in.Good(); ++op) {
      std::uint16_t u16;
      std::int32_t i32;
      double d;
      char buf[8];
      switch (rng() % 5) {
        case 0:
          in.GetU16(u16);
          break;
        case 1:
          in.GetI32(i32);
          break;
        case 2:
          in.GetDouble(d);
          break;
        case 3:
          in.GetString(buf, sizeof buf);
          break;
        case 4:
          in.GetBytes(buf, rng() % 9);
          break;
      }
      ASSERT_LE(in.Position(), text.size());
    }
  }
}

}  // namespace
