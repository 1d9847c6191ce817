#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "framework/message.h"
#include "framework/segment.h"
#include "message_helpers.h"
#include "tests/support/golden.h"

using testsupport::BodyOf;
using testsupport::HexBytes;
using testsupport::Received;
using testsupport::ReceivedBody;
using testsupport::SameBytes;
using testsupport::ToBytes;

namespace {

std::string Taken(char* text) { return std::unique_ptr<char[]>(text) ? std::string(text) : "<null>"; }

TEST(MessageStreamTest, FixedSizeValuesAreLittleEndianAndReadBack) {
  DseMessage m(60, DseMessage::kRequest);
  std::uint8_t* two = m.ReserveUInt16();
  std::uint8_t* three = m.ReserveUInt24();
  for (Status put : {m.PutUInt8(0xAB), m.PutInt8(-2), m.PutChar('z'), m.PutUInt16(0x1234), m.PutUInt24(0xFFFFFE),
                     m.PutUInt32(0x89ABCDEF), m.PutUInt64(0x0102030405060708ull), m.PutFloat(1.5f),
                     m.PutDouble(-2.0), m.PutUInt32(7), m.PatchUInt16(two, 0xBEEF), m.PatchUInt24(three, 0x123456)}) {
    EXPECT_EQ(put, 0u);
  }
  EXPECT_EQ(m.PatchUInt16(nullptr, 1), 0x8000FFFFu);
  EXPECT_TRUE(SameBytes(HexBytes("EF BE 56 34 12 AB FE 7A 34 12 FE FF FF EF CD AB 89 08 07 06 05 04 03 02 01"
                                 "00 00 C0 3F 00 00 00 00 00 00 00 C0 07 00 00 00"),
                        BodyOf(m)));
  auto in = Received(m);
  std::uint8_t u8 = 0;
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0, u24 = 0, byte = 0;
  std::uint64_t u64 = 0;
  double real = 0;
  unsigned char raw[8];
  in->GetUInt16(&u16);  // the patched places
  in->GetUInt24(&u24);
  for (Status got : {in->GetUInt8(&u8), in->GetByteAsUInt32(&byte), in->GetUInt8(&u8), in->GetUInt16(&u16),
                     in->GetUInt24(&u24), in->GetUInt32(&u32), in->GetUInt64(&u64)}) {
    EXPECT_EQ(got, 0u);
  }
  EXPECT_EQ(byte, 0xFEu);
  EXPECT_EQ(u8, 'z');
  EXPECT_EQ(u16, 0x1234);
  EXPECT_EQ(u24, 0xFFFFFEu);
  EXPECT_EQ(u32, 0x89ABCDEFu);
  EXPECT_EQ(u64, 0x0102030405060708ull);
  EXPECT_EQ(in->GetFloatAsDouble(&real), 1u);  // 1, not 0, when read
  EXPECT_EQ(real, 1.5);
  EXPECT_EQ(in->TryGet8(raw), 1u);
  EXPECT_TRUE(SameBytes(HexBytes("00 00 00 00 00 00 00 C0"), ToBytes(raw, 8)));
  EXPECT_EQ(in->TryGet4(raw), 1u);
  EXPECT_EQ(in->GetUInt8(&u8), 0x8000FFFFu);
}

TEST(MessageStreamTest, TryReadsTellAShortRestFromAnEmptyBody) {
  auto in = ReceivedBody(HexBytes("01 02 03"));
  unsigned char raw[8] = {9, 9, 9, 9};
  EXPECT_EQ(in->TryGet4(raw), 0u);  // three bytes are not enough
  EXPECT_TRUE(SameBytes(HexBytes("00 00 00 00"), ToBytes(raw, 4)));
  EXPECT_EQ(in->RemainingBytes(), 0u);  // the short rest is used up
  double real = 5;
  EXPECT_EQ(in->GetFloatAsDouble(&real), 0x8000FFFFu);
  EXPECT_EQ(real, 0.0);
  EXPECT_EQ(in->TryGet8(raw), 0x8000FFFFu);
}

// The server thread runs with the invalid-operation trap armed; a peer's
// signalling NaN must neither trap nor leave a raised flag behind.
TEST(MessageStreamTest, SignallingNaNReadsAsAQuietNaNWithoutRaisingAFlag) {
  auto in = ReceivedBody(HexBytes("01 00 80 FF  00 00 C0 7F"));
  std::feclearexcept(FE_ALL_EXCEPT);
  double real = 0;
  EXPECT_EQ(in->GetFloatAsDouble(&real), 1u);
  EXPECT_TRUE(std::isnan(real) && std::signbit(real));
  EXPECT_EQ(in->GetFloatAsDouble(&real), 1u);
  EXPECT_TRUE(std::isnan(real) && !std::signbit(real));
  EXPECT_EQ(std::fetestexcept(FE_INVALID), 0);
}

TEST(MessageStreamTest, StringFormsMatchTheirGoldenBytesAndReadBack) {
  DseMessage m(60, DseMessage::kRequest);
  EXPECT_EQ(m.PutString("abc"), 0u);
  EXPECT_EQ(m.PutCString("abc"), 4u);  // bytes after the length
  EXPECT_EQ(m.PutString(nullptr), 0u);
  EXPECT_EQ(m.PutCString(nullptr), 0u);
  EXPECT_EQ(m.PutString(""), 0u);
  EXPECT_TRUE(SameBytes(HexBytes("04 00 00 61 62 63 00  04 00 61 62 63 00  00 00 00  00 00  01 00 00 00"), BodyOf(m)));
  auto in = Received(m);
  char buffer[8];
  char* text = nullptr;
  EXPECT_EQ(in->GetStringInto(buffer, sizeof buffer), 4u);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(in->GetShortStringNew(&text), 4u);
  EXPECT_EQ(Taken(text), "abc");
  EXPECT_EQ(in->GetStringNew(&text), 0u);
  EXPECT_EQ(Taken(text), "<null>");  // null travels as null
  EXPECT_EQ(in->GetShortStringInto(buffer, sizeof buffer), 0u);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(in->GetStringNew(&text), 1u);
  EXPECT_EQ(Taken(text), "");
}

TEST(MessageStreamTest, ValuesNeverSplitAcrossSegmentsAndTheReaderFollows) {
  DseMessage m(60, DseMessage::kRequest);
  for (int i = 0; i < 3978; ++i) m.PutUInt8(static_cast<std::uint8_t>(i));
  m.PutUInt32(0xCAFEF00D);
  DseSegment* second = m.FirstSegment()->next;
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(SameBytes(HexBytes("0D F0 FE CA"), ToBytes(second->DataStart(), 4)));
  for (int i = 0; i < 3966; ++i) m.PutUInt8(1);
  EXPECT_EQ(m.PutCString("twelve chars"), 13u);  // 8 bytes left after the length: moves on
  EXPECT_NE(second->next, nullptr);
  EXPECT_EQ(m.PutCString(std::string(3979, 'f').c_str()), 3980u);
  EXPECT_EQ(m.PutCString(std::string(3980, 'g').c_str()), status::kBadArguments);
  // The long form runs across segments, filling each to the brim.
  std::string long_text(4999, 'x');
  for (std::size_t i = 0; i < long_text.size(); ++i) long_text[i] = static_cast<char>('a' + i % 26);
  ASSERT_EQ(m.PutString(long_text.c_str()), 0u);

  auto in = Received(m);
  std::uint8_t byte = 0;
  for (int i = 0; i < 3978; ++i) in->GetUInt8(&byte);
  std::uint32_t value = 0;
  EXPECT_EQ(in->GetUInt32(&value), 0u);
  EXPECT_EQ(value, 0xCAFEF00Du);
  for (int i = 0; i < 3966; ++i) in->GetUInt8(&byte);
  char buffer[32];
  char* text = nullptr;
  EXPECT_EQ(in->GetShortStringInto(buffer, sizeof buffer), 13u);
  EXPECT_STREQ(buffer, "twelve chars");
  EXPECT_EQ(in->GetShortStringNew(&text), 3980u);
  EXPECT_EQ(Taken(text), std::string(3979, 'f'));
  EXPECT_EQ(in->GetStringNew(&text), 5000u);
  EXPECT_EQ(Taken(text), long_text);
}

TEST(MessageStreamTest, ReceivedTextIsBoundedByTheBufferAndTheBodyAndAlwaysTerminated) {
  // "0123456789" twice for too small a buffer; "abcd" and "wxyz" sent
  // without the NUL their lengths count; "a\0b"; a length beyond the body.
  auto in = ReceivedBody(HexBytes("0B 00 00 30 31 32 33 34 35 36 37 38 39 00  0B 00 30 31 32 33 34 35 36 37 38 39 00"
                                  "04 00 00 61 62 63 64  04 00 77 78 79 7A  03 00 00 61 00 62  FF FF FF 61"));
  char small[5] = "kept";
  EXPECT_EQ(in->GetStringInto(small, sizeof small), 0xA000FFFFu);
  EXPECT_STREQ(small, "");
  std::strcpy(small, "kept");
  EXPECT_EQ(in->GetShortStringInto(small, sizeof small), 0xA000FFFFu);
  EXPECT_STREQ(small, "");
  char buffer[16];
  std::memset(buffer, 'Q', sizeof buffer);
  char* text = nullptr;
  EXPECT_EQ(in->GetStringInto(buffer, sizeof buffer), 4u);  // the reader stayed in step
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(in->GetShortStringNew(&text), 4u);
  EXPECT_EQ(Taken(text), "wxy");
  EXPECT_EQ(in->GetStringNew(&text), 3u);
  EXPECT_EQ(Taken(text), "a");
  EXPECT_EQ(in->GetStringNew(&text), 0x8000FFFFu);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(ReceivedBody(HexBytes("10 00 61 62"))->GetShortStringInto(buffer, sizeof buffer), 0x8000FFFFu);
}

TEST(MessageStreamTest, SeekTruncatesAndReturnsLaterSegmentsToThePool) {
  DseMessage m(60, DseMessage::kRequest);
  m.PutUInt32(1);
  std::uint8_t* mark = m.Tell();
  for (int i = 0; i < 9000; ++i) m.PutUInt8(2);
  const std::uint32_t free_before = DseSegment::PoolFreeCount();
  EXPECT_EQ(m.Seek(mark), 0u);
  EXPECT_EQ(m.FirstSegment()->next, nullptr);
  EXPECT_EQ(DseSegment::PoolFreeCount(), free_before + 2);
  m.PutUInt16(0x0303);
  EXPECT_TRUE(SameBytes(HexBytes("01 00 00 00 03 03"), BodyOf(m)));
  std::uint8_t elsewhere[4];
  EXPECT_EQ(m.Seek(elsewhere), 0x80000015u);
}

}  // namespace
