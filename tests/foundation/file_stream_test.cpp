#include "foundation/file_stream.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/ordered.h"
#include "tests/foundation/graph_files.h"
#include "tests/support/golden.h"

namespace {

using testobjects::File;
using testobjects::FileWithBytes;

TEST(FileStream, WordsAreLittleEndianAndTextsEndWithNul) {
  File f(std::tmpfile());
  ClFileStream s(f.get());
  EXPECT_TRUE(s.Write16(0x1234) && s.Write32(0x89ABCDEF) && s.WriteString("hi") && s.WriteBytes("\x01\x02", 2));
  std::fflush(f.get());
  EXPECT_TRUE(testsupport::SameBytes(testsupport::HexBytes("34 12 EF CD AB 89 68 69 00 01 02"),
                                     testsupport::ToBytes(testobjects::AllBytes(f.get()))));
  std::rewind(f.get());
  std::uint16_t w = 0;
  std::uint32_t d = 0;
  EXPECT_TRUE(s.Read16(w) && s.Read32(d));
  EXPECT_EQ(w, 0x1234);
  EXPECT_EQ(d, 0x89ABCDEFu);
}

TEST(FileStream, ReadsStopAtTheCapacityOrTheEndOfTheFile) {
  File f = FileWithBytes(std::string("abcdefgh\0xy\0\x01\x02\x03", 15));
  ClFileStream s(f.get());
  char buf[4] = {'?', '?', '?', '?'};
  EXPECT_FALSE(s.ReadString(buf, sizeof buf));
  EXPECT_STREQ(buf, "abc");
  EXPECT_TRUE(s.ReadString(buf, sizeof buf));  // in step after the cut text
  EXPECT_STREQ(buf, "xy");
  EXPECT_FALSE(s.ReadString(buf, 0));
  std::uint32_t d = 7;
  EXPECT_FALSE(s.Read32(d));  // three bytes left
  EXPECT_EQ(d, 7u);
  EXPECT_TRUE(s.AtEnd());
  EXPECT_FALSE(s.Error());
  EXPECT_TRUE(s.ReadString(buf, sizeof buf));  // the end of the file ends a text
  EXPECT_STREQ(buf, "");
}

// Records the stored size of its target as seen while it is being saved.
struct SizeProbe : ClCollectable {
  ClCollectable* target = nullptr;
  mutable std::uint32_t seen = 0;
  void SaveToFile(ClFileStream&) const override { seen = StoredSizeOf(target); }
};

TEST(StoredSizeOf, InsideASaveSeesWhatIsWrittenAlready) {
  testobjects::Link written, unwritten;
  SizeProbe after_written, before_unwritten;
  after_written.target = &written;
  before_unwritten.target = &unwritten;
  ClOrdered top;
  for (ClCollectable* c : std::initializer_list<ClCollectable*>{&written, &after_written, &before_unwritten, &unwritten}) {
    top.Append(c);
  }
  testobjects::SaveToBytes(&top);
  EXPECT_EQ(after_written.seen, 6u);
  EXPECT_EQ(before_unwritten.seen, 2u + 4 + 6);
}

}  // namespace
