#include "framework/file_io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/io_status.h"
#include "framework/segment.h"
#include "segment_helpers.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::TempDir;

namespace {

TEST(FileIOTest, OpenOrCreateNeverTruncates) {
  TempDir dir;
  const auto existing = dir.WriteFile("snapshot.snp", "keep me");
  Status result = 1;
  {
    XosFileIO file(existing.c_str(), "RWN", &result);
    EXPECT_EQ(result, 0u);
    EXPECT_TRUE(file.IsOpen());
  }
  EXPECT_EQ(ReadFileBytes(existing), "keep me");
  {
    XosFileIO file((dir / "new.snp").c_str(), "nwr", &result);  // letters in either case
    EXPECT_EQ(result, 0u);
  }
  EXPECT_TRUE(fs::exists(dir / "new.snp"));
}

TEST(FileIOTest, ModeRefusalsTouchNothing) {
  TempDir dir;
  const auto missing = dir / "missing.snp";
  Status result = 0;
  XosFileIO must_exist(missing.c_str(), "RE", &result);
  EXPECT_EQ(result, 0x80000015u);
  EXPECT_FALSE(must_exist.IsOpen());
  XosFileIO unknown(missing.c_str(), "RX", &result);
  EXPECT_EQ(result, 0x8000FFFFu);
  // "N" after "E" wins, and "E" after "N".
  XosFileIO last_wins(missing.c_str(), "NRE", &result);
  EXPECT_EQ(result, 0x80000015u);
  EXPECT_FALSE(fs::exists(missing));
  XosFileIO no_folder((dir / "no" / "such.snp").c_str(), "RWN", &result);
  EXPECT_EQ(result, 0x8000000Bu);
  EXPECT_EQ(no_folder.LastSystemError(), static_cast<std::uint32_t>(ENOENT));
  std::uint32_t n = 9;
  char byte;
  EXPECT_EQ(no_folder.Read(&byte, 1, &n), 0x8000000Bu);
  EXPECT_EQ(n, 0u);
}

TEST(FileIOTest, PositionedTransfersMoveTheCurrentPosition) {
  TempDir dir;
  Status result = 1;
  XosFileIO file((dir / "blocks.cpd").c_str(), "rw", &result);
  ASSERT_EQ(result, 0u);
  std::uint32_t n = 0;
  std::uint64_t position = 10;
  ASSERT_EQ(file.WriteAt("hello", 5, &n, &position), 0u);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(position, 15u);
  ASSERT_EQ(file.Write(" world", 6, &n), 0u);  // goes on where the last one ended
  EXPECT_EQ(file.Position(), 21u);
  EXPECT_EQ(ReadFileBytes(dir / "blocks.cpd"), std::string(10, '\0') + "hello world");

  char buffer[16] = {};
  position = 10;
  ASSERT_EQ(file.ReadAt(buffer, 3, &n, &position), 0u);
  EXPECT_EQ(position, 13u);
  ASSERT_EQ(file.Read(buffer + 3, 3, &n), 0u);  // the next bytes, no position given
  EXPECT_EQ(std::string(buffer, 6), "hello ");
  // The end of the file reads as nothing, successfully.
  position = 21;
  EXPECT_EQ(file.ReadAt(buffer, sizeof buffer, &n, &position), 0u);
  EXPECT_EQ(n, 0u);
  position = 18;
  EXPECT_EQ(file.ReadAt(buffer, sizeof buffer, &n, &position), 0u);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(position, 21u);
}

TEST(FileIOTest, ReadingAFileOpenedOnlyForWritingFails) {
  TempDir dir;
  Status result = 1;
  XosFileIO file((dir / "w.snp").c_str(), "W", &result);
  ASSERT_EQ(result, 0u);
  char byte;
  std::uint32_t n = 0;
  EXPECT_EQ(file.Read(&byte, 1, &n), 0x8000FFFFu);
  EXPECT_EQ(file.LastSystemError(), static_cast<std::uint32_t>(EBADF));
}

TEST(FileIOTest, DeleteOnCloseRemovesTheFile) {
  TempDir dir;
  Status result = 1;
  {
    XosFileIO kept((dir / "kept").c_str(), "nw", &result);
    XosFileIO scratch((dir / "scratch").c_str(), "nw", &result);
    scratch.SetDeleteOnClose(true);
    EXPECT_TRUE(fs::exists(dir / "scratch"));
  }
  EXPECT_FALSE(fs::exists(dir / "scratch"));
  EXPECT_TRUE(fs::exists(dir / "kept"));
}

// Framed records in a file, as snapshot files keep them: written frame by
// frame, read back and reassembled.
TEST(FileIOTest, FramesWrittenToAFileReadBackWhole) {
  TempDir dir;
  const auto path = dir / "frames.snp";
  const std::vector<std::size_t> sizes = {0, 3980, 3981, 9000};
  {
    Status result = 1;
    XosFileIO file(path.c_str(), "NWR", &result);
    ASSERT_EQ(result, 0u);
    std::uint32_t id = 1;
    for (std::size_t size : sizes) {
      DseSegment* chain = testsupport::BuildChain(testsupport::Pattern(size), id++);
      DseSegment::PackHeaders(chain, 3, 55, 12, nullptr);
      for (DseSegment* s = chain; s != nullptr; s = s->next) ASSERT_EQ(DseSegment::Write(s, &file), 0u);
      DseSegment::ReturnChain(chain);
    }
  }
  Status result = 1;
  XosFileIO file(path.c_str(), "RE", &result);
  ASSERT_EQ(result, 0u);
  DseAssemblyList list;
  std::vector<std::vector<std::uint8_t>> messages;
  for (;;) {
    DseSegment* s = DseSegment::Make(nullptr);
    const Status read = DseSegment::Read(s, &file);
    if (read != 0) {
      EXPECT_EQ(read, status::kIncompleteFrame);  // the end of the file
      DseSegment::ReturnToPool(s);
      break;
    }
    DseSegment* complete = nullptr;
    ASSERT_EQ(DseSegment::Assemble(s, &list, &complete), 0u);
    if (complete == nullptr) continue;
    EXPECT_EQ(complete->message_id, messages.size() + 1);
    messages.push_back(testsupport::DataOf(complete));
    DseSegment::ReturnChain(complete);
  }
  ASSERT_EQ(messages.size(), sizes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(messages[i], testsupport::Pattern(sizes[i]));
}

}  // namespace
