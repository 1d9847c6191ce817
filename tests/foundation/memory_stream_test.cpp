#include "foundation/memory_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <tuple>

namespace {

TEST(MemoryStream, TextOfEachPrimitive) {
  ClMemoryOutStream out;
  out.PutU16(65535);
  out.PutI16(-32768);
  out.PutU32(4294967295u);
  out.PutI32(-7);
  out.PutDouble(1.0 / 3.0);
  out.PutFloat(1.0f / 3.0f);
  out.PutChar(':');
  out.PutString("abc");
  out.PutBytes("xy", 2);
  const std::int16_t shorts[] = {1, -2};
  out.PutI16s(shorts, 2);
  out.PutDoubles(nullptr, 0);
  static const char expected[] =
      "65535 -32768 4294967295 -7 0.3333333333333333 0.33333334 :abc\0xy1 -2 ";
  EXPECT_EQ(out.Text(), std::string(expected, sizeof expected - 1));
  EXPECT_TRUE(out.Good());
}

TEST(MemoryStream, EveryPrimitiveRoundTrips) {
  const double doubles[] = {0.0, -1.5e300, -0.1, std::numeric_limits<double>::infinity()};
  const float floats[] = {1.5f, -0.25f};
  const std::uint32_t u32s[] = {0, 4294967295u};
  const std::int32_t i32s[] = {std::numeric_limits<std::int32_t>::min(), 12};
  const std::uint16_t u16s[] = {7, 65535};
  const std::int16_t i16s[] = {-32768, 32767};
  const signed char sbytes[] = {-1, 0, ' '};
  const unsigned char ubytes[] = {0, 255, ' '};
  ClMemoryOutStream out;
  out.PutBytes("a b\0", 4);
  out.PutU16(12);
  out.PutI16(-12);
  out.PutULong(42);
  out.PutLong(-42);
  out.PutFloat(0.125f);
  out.PutUChar(200);
  out.PutString("with blank");
  out.PutDoubles(doubles, 4);
  out.PutFloats(floats, 2);
  out.PutU32s(u32s, 2);
  out.PutLongs(i32s, 2);
  out.PutU16s(u16s, 2);
  out.PutI16s(i16s, 2);
  out.PutSignedBytes(sbytes, 3);
  out.PutSignedChar(-5);
  out.PutUnsignedBytes(ubytes, 3);
  out.PutByte(0);
  ASSERT_TRUE(out.Good());

  ClMemoryInStream in(out.Text());
  char bytes[4], text[32];
  std::uint16_t u16 = 0, u16s_in[2];
  std::int16_t i16 = 0, i16s_in[2];
  std::uint32_t ulong = 0, u32s_in[2];
  std::int32_t slong = 0, i32s_in[2];
  float f = 0, floats_in[2];
  double doubles_in[4];
  unsigned char uc = 0, ubytes_in[3];
  signed char sc = 0, sbytes_in[3];
  std::uint8_t byte = 1;
  ASSERT_TRUE(in.GetBytes(bytes, 4) && in.GetU16(u16) && in.GetI16(i16) && in.GetULong(ulong) &&
              in.GetLong(slong) && in.GetFloat(f) && in.GetUChar(uc) &&
              in.GetString(text, sizeof text) && in.GetDoubles(doubles_in, 4) &&
              in.GetFloats(floats_in, 2) && in.GetU32s(u32s_in, 2) && in.GetLongs(i32s_in, 2) &&
              in.GetU16s(u16s_in, 2) && in.GetI16s(i16s_in, 2) && in.GetSignedBytes(sbytes_in, 3) &&
              in.GetSignedChar(sc) && in.GetUnsignedBytes(ubytes_in, 3) && in.GetByte(byte));
  EXPECT_EQ(std::string(bytes, 4), std::string("a b\0", 4));
  EXPECT_EQ(std::tie(u16, i16, ulong, slong, f, uc, sc, byte),
            std::make_tuple(std::uint16_t{12}, std::int16_t{-12}, 42u, -42, 0.125f,
                            static_cast<unsigned char>(200), static_cast<signed char>(-5),
                            std::uint8_t{0}));
  EXPECT_STREQ(text, "with blank");
  EXPECT_TRUE(std::equal(doubles, doubles + 4, doubles_in));
  EXPECT_TRUE(std::equal(floats, floats + 2, floats_in));
  EXPECT_TRUE(std::equal(u32s, u32s + 2, u32s_in));
  EXPECT_TRUE(std::equal(i32s, i32s + 2, i32s_in));
  EXPECT_TRUE(std::equal(u16s, u16s + 2, u16s_in));
  EXPECT_TRUE(std::equal(i16s, i16s + 2, i16s_in));
  EXPECT_TRUE(std::equal(sbytes, sbytes + 3, sbytes_in));
  EXPECT_TRUE(std::equal(ubytes, ubytes + 3, ubytes_in));
  EXPECT_EQ(in.Position(), out.Text().size());
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
  EXPECT_NE(out.Bad(), 0u);
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
