#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "platform/com_memory_stream.h"
#include "results/manager/ascii_out_stream.h"
#include "results/snapshots/snapshot_text.h"
#include "tests/results/snapshot_text_fakes.h"

namespace {

using platform::IStream;

struct MemoryStream {
  explicit MemoryStream(std::size_t limit = std::numeric_limits<std::size_t>::max()) {
    EXPECT_EQ(platform::CreateMemoryStream(&stream, limit), platform::S_OK);
  }
  ~MemoryStream() { stream->Release(); }
  std::string Bytes() const {
    std::string bytes;
    EXPECT_EQ(platform::GetMemoryStreamBytes(stream, &bytes), platform::S_OK);
    return bytes;
  }
  IStream* stream = nullptr;
};

TEST(MemoryComStream, AnswersItsInterfacesAndCountsReferences) {
  MemoryStream memory;
  void* found = nullptr;
  EXPECT_EQ(memory.stream->QueryInterface(platform::IID_IStream, &found), platform::S_OK);
  EXPECT_EQ(found, memory.stream);
  EXPECT_EQ(memory.stream->Release(), 1u);
  EXPECT_EQ(memory.stream->QueryInterface(platform::IID_IClassFactory, &found),
            platform::E_NOINTERFACE);
  EXPECT_EQ(found, nullptr);
  std::uint32_t written = 9;
  EXPECT_EQ(memory.stream->Write("ab", 2, &written), platform::S_OK);
  EXPECT_EQ(written, 2u);
  EXPECT_EQ(memory.Bytes(), "ab");
  EXPECT_EQ(platform::CreateMemoryStream(nullptr), platform::E_POINTER);
}

TEST(AsciiOutStream, EverySlotWritesItsText) {
  MemoryStream memory;
  {
    CSUAsciiOutStream out(memory.stream);
    out.PutBytes("raw", 3);
    out.PutU16(65535);
    out.PutI16(-32768);
    out.PutU32(4294967295u);
    out.PutI32(std::numeric_limits<std::int32_t>::min());
    out.PutULong(7);
    out.PutLong(-7);
    out.PutFloat(1.0f / 3.0f);
    out.PutDouble(1.0 / 3.0);
    out.PutChar('c');
    out.PutUChar(0xE9);
    out.PutString("abc");
    const double doubles[] = {-0.5, 1e300, 2};
    out.PutDoubles(doubles, 3);
    out.PutDoubles(doubles, 0);
    const float floats[] = {0.1f, -2.0f, 3e38f};
    out.PutFloats(floats, 3);
    const std::uint32_t u32[] = {0, 4294967295u, 12};
    out.PutU32s(u32, 3);
    out.PutULongs(u32, 0);
    const std::int32_t i32[] = {-1, 2147483647, 0};
    out.PutI32s(i32, 3);
    out.PutLongs(i32, 1);
    const std::uint16_t u16[] = {0, 65535, 1};
    out.PutU16s(u16, 3);
    const std::int16_t i16[] = {-32768, 32767, -1};
    out.PutI16s(i16, 3);
    const signed char sbytes[] = {'x', 'y'};
    out.PutSignedBytes(sbytes, 2);
    out.PutSignedChar('z');
    const unsigned char ubytes[] = {0, 0xFF};
    out.PutUnsignedBytes(ubytes, 2);
    out.PutByte('!');
    EXPECT_TRUE(out.Good());
  }
  const std::string expected = std::string("raw65535 -32768 4294967295 -2147483648 7 -7 ") +
                               "0.33333334 0.3333333333333333 c\xE9" + std::string("abc\0", 4) +
                               "-0.5 1e+300 2 0.1 -2 3e+38 0 4294967295 12 " +
                               "-1 2147483647 0 -1 0 65535 1 -32768 32767 -1 xyz" +
                               std::string("\0\xFF!", 3);
  EXPECT_EQ(memory.Bytes(), expected);
}

TEST(AsciiOutStream, AFailedWriteMarksItBadUntilCleared) {
  MemoryStream memory(6);
  CSUAsciiOutStream out(memory.stream);
  out.PutU32(12345);  // "12345 " fits exactly
  EXPECT_TRUE(out.Good());
  out.PutU32(1);
  EXPECT_NE(out.Bad(), 0u);
  EXPECT_EQ(out.Fail(), 0u);
  EXPECT_FALSE(out.Good());
  out.PutString("");  // still taken as a write, and still failing
  EXPECT_EQ(out.ReadState(), Clvios::kBadBit);
  out.Clear();
  EXPECT_TRUE(out.Good());
  EXPECT_EQ(memory.Bytes(), "12345 ");

  CSUAsciiOutStream nowhere(nullptr);
  nowhere.PutChar('a');
  EXPECT_NE(nowhere.Bad(), 0u);
}

TEST(AsciiOutStream, SnapshotTextThroughItEqualsTheWrittenString) {
  SimSnapshotTextRecord record;
  record.description = "through memory";
  snaptext::AddUseData(record.Tree(), {"U", ".x"}, snaptext::AddReal(record.Values(), 1.25), 4);
  snaptext::AddUseData(record.Tree(), {"U", ".y"}, snaptext::AddReal(record.Values(), -3), 1);
  MemoryStream memory;
  {
    CSUAsciiOutStream out(memory.stream);
    WriteSnapshotText(record, out);
    EXPECT_TRUE(out.Good());
  }
  EXPECT_EQ(memory.Bytes(), SnapshotText(record));
}

}  // namespace
