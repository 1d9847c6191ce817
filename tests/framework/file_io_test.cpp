#include "framework/connections/file_io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/connections/io_status.h"
#include "framework/connections/segment.h"
#include "segment_helpers.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

class FileIOTest : public ::testing::Test {
 protected:
  Status Open(const fs::path& path, const char* mode) {
    Status result = 1;
    XosFileIO file(path.c_str(), mode, &result);
    EXPECT_EQ(file.IsOpen(), result == 0) << mode;
    return result;
  }
  TempDir dir_;
};

TEST_F(FileIOTest, ModesOpenWithoutTruncatingOrRefuseTouchingNothing) {
  const auto existing = dir_.WriteFile("snapshot.snp", "keep me");
  EXPECT_EQ(Open(existing, "RWN"), 0u);
  EXPECT_EQ(ReadFileBytes(existing), "keep me");
  EXPECT_EQ(Open(dir_ / "new.snp", "nwr"), 0u);  // letters in either case
  EXPECT_TRUE(fs::exists(dir_ / "new.snp"));
  const auto missing = dir_ / "missing.snp";
  EXPECT_EQ(Open(missing, "RE"), 0x80000015u);
  EXPECT_EQ(Open(missing, "RX"), 0x8000FFFFu);
  EXPECT_EQ(Open(missing, "NRE"), 0x80000015u);  // the last of "N" and "E" wins
  EXPECT_FALSE(fs::exists(missing));

  Status result = 0;
  XosFileIO no_folder((dir_ / "no" / "such.snp").c_str(), "RWN", &result);
  EXPECT_EQ(result, 0x8000000Bu);
  EXPECT_EQ(no_folder.LastSystemError(), static_cast<std::uint32_t>(ENOENT));
  std::uint32_t n = 9;
  char byte;
  EXPECT_EQ(no_folder.Read(&byte, 1, &n), 0x8000000Bu);
  EXPECT_EQ(n, 0u);
  XosFileIO write_only((dir_ / "w.snp").c_str(), "W", &result);
  EXPECT_EQ(write_only.Read(&byte, 1, &n), 0x8000FFFFu);
  EXPECT_EQ(write_only.LastSystemError(), static_cast<std::uint32_t>(EBADF));
  {
    XosFileIO scratch((dir_ / "scratch").c_str(), "nw", &result);
    scratch.SetDeleteOnClose(true);
    EXPECT_TRUE(fs::exists(dir_ / "scratch"));
  }
  EXPECT_FALSE(fs::exists(dir_ / "scratch"));
}

TEST_F(FileIOTest, PositionedTransfersMoveTheCurrentPosition) {
  Status result = 1;
  XosFileIO file((dir_ / "blocks.cpd").c_str(), "rw", &result);
  ASSERT_EQ(result, 0u);
  std::uint32_t n = 0;
  std::uint64_t position = 10;
  ASSERT_EQ(file.WriteAt("hello", 5, &n, &position), 0u);
  EXPECT_EQ(position, 15u);
  ASSERT_EQ(file.Write(" world", 6, &n), 0u);  // goes on where the last one ended
  EXPECT_EQ(file.Position(), 21u);
  EXPECT_EQ(ReadFileBytes(dir_ / "blocks.cpd"), std::string(10, '\0') + "hello world");
  char buffer[16] = {};
  position = 10;
  ASSERT_EQ(file.ReadAt(buffer, 3, &n, &position), 0u);
  EXPECT_EQ(position, 13u);
  ASSERT_EQ(file.Read(buffer + 3, 3, &n), 0u);  // the next bytes, no position given
  EXPECT_EQ(std::string(buffer, 6), "hello ");
  // Reads stop at the end of the file, which reads as nothing, successfully.
  for (const auto& [from, count] : {std::pair<std::uint64_t, std::uint32_t>{18, 3}, {21, 0}}) {
    position = from;
    EXPECT_EQ(file.ReadAt(buffer, sizeof buffer, &n, &position), 0u);
    EXPECT_EQ(n, count);
    EXPECT_EQ(position, 21u);
  }
}

// Framed records in a file, as snapshot files keep them: written frame by
// frame, read back and reassembled.
TEST_F(FileIOTest, FramesWrittenToAFileReadBackWhole) {
  const auto path = dir_ / "frames.snp";
  const std::vector<std::size_t> sizes = {0, 3980, 3981, 9000};
  Status result = 1;
  {
    XosFileIO file(path.c_str(), "NWR", &result);
    std::uint32_t id = 1;
    for (std::size_t size : sizes) {
      for (const auto& frame : PackedFrames(size, id++)) {
        std::uint32_t n = 0;
        ASSERT_EQ(file.Write(frame.data(), static_cast<std::uint32_t>(frame.size()), &n), 0u);
      }
    }
  }
  XosFileIO file(path.c_str(), "RE", &result);
  ASSERT_EQ(result, 0u);
  DseAssemblyList list;
  std::vector<std::vector<std::uint8_t>> messages;
  for (DseSegment* s = DseSegment::Make(nullptr);; s = DseSegment::Make(nullptr)) {
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
    messages.push_back(DataOf(complete));
    DseSegment::ReturnChain(complete);
  }
  ASSERT_EQ(messages.size(), sizes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(messages[i], Pattern(sizes[i]));
}

}  // namespace
