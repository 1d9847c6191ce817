#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "foundation/file_utilities.h"
#include "tests/support/death.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::TempDir;

unsigned PermissionsOf(const fs::path& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 0777;
}

TEST(FilePaths, ComposeWithSlashWithoutDrivesAndSplitAtEitherSeparator) {
  std::string path;
  EXPECT_EQ(MakeFilePath("C", "/work/dir", "a.txt", &path), status::kOk);
  EXPECT_EQ(path, "/work/dir/a.txt");
  MakeFilePath(nullptr, "dir\\", "a", &path);
  EXPECT_EQ(path, "dir\\a");
  MakeFilePath("", "", "a", &path);
  EXPECT_EQ(path, "a");
  std::string drive = "x";
  std::string directory;
  std::string name;
  SplitFilePath("C:\\work/sub\\file.txt", &drive, &directory, &name);
  EXPECT_EQ(drive + "|" + directory + "|" + name, "|C:\\work/sub\\|file.txt");
  SplitFilePath("/", &drive, &directory, &name);
  EXPECT_EQ(drive + "|" + directory + "|" + name, "|/|");
  EXPECT_EQ(CopyPrefix("abc", 3, &path), status::kOk);
  EXPECT_EQ(CopyPrefix("abc", 4, &path), status::kUnhandled);
  EXPECT_EQ(CopyPrefix("abc", -1, &path), status::kUnhandled);
}

TEST(FilePattern, MatchesLikeTheClientsFileDialog) {
  EXPECT_TRUE(MatchFilePattern("Makefile", "*.*"));
  EXPECT_TRUE(MatchFilePattern("a.b.txt", "*.txt"));
  EXPECT_TRUE(MatchFilePattern("REPORT.TXT", "*.txt"));
  EXPECT_TRUE(MatchFilePattern("snp0001.snp", "snp*.snp"));
  EXPECT_TRUE(MatchFilePattern("ab", "a?"));
  EXPECT_FALSE(MatchFilePattern("a", "a?"));
  EXPECT_FALSE(MatchFilePattern("a.txt.bak", "*.txt"));
  EXPECT_TRUE(MatchFilePattern("", "*"));
}

class FileFolder : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(FileFolder, ListsMatchingEntriesSortedAndFilteredByMode) {
  dir_.WriteFile("b.txt", "b");
  dir_.WriteFile("A.TXT", "a");
  dir_.WriteFile("c.dat", "c");
  fs::create_directory(dir_ / "sub.txt");
  BvuDirectoryListing listing;
  const std::string pattern = (dir_ / "*.txt").string();
  ASSERT_EQ(ListDirectory(pattern.c_str(), &listing, 0), status::kOk);
  EXPECT_EQ(listing.names, (std::vector<std::string>{"A.TXT", "b.txt", "sub.txt"}));
  EXPECT_EQ(listing.directory_flags, (std::vector<std::uint8_t>{0, 0, 1}));
  ListDirectory(pattern.c_str(), &listing, kListFiles);
  EXPECT_EQ(listing.names, (std::vector<std::string>{"A.TXT", "b.txt"}));
  ListDirectory(pattern.c_str(), &listing, kListDirectories);
  EXPECT_EQ(listing.names, (std::vector<std::string>{"sub.txt"}));
  const std::string backslashed = dir_.path().string() + "\\*.dat";
  ListDirectory(backslashed.c_str(), &listing, 0);
  EXPECT_EQ(listing.names, (std::vector<std::string>{"c.dat"}));
  EXPECT_EQ(ListDirectory(pattern.c_str(), &listing, kListDrives), status::kOk);
  EXPECT_TRUE(listing.names.empty());
  const std::string missing = (dir_ / "none" / "*").string();
  EXPECT_EQ(ListDirectory(missing.c_str(), &listing, 0), status::kUnhandled);
  testsupport::ScopedCurrentFolder here(dir_.path());
  ListDirectory("*.*", &listing, kListFiles);
  EXPECT_EQ(listing.names, (std::vector<std::string>{"A.TXT", "b.txt", "c.dat"}));
}

TEST_F(FileFolder, CopyModesDecideOverwritingAndWritability) {
  const auto source = dir_.WriteFile("source", "new");
  const auto target = dir_.WriteFile("target", "old");
  ::chmod(target.c_str(), 0444);
  EXPECT_EQ(CopyFileWithMode(source.c_str(), target.c_str(), 0), status::kUnhandled);
  EXPECT_EQ(ReadFileBytes(target), "old");
  EXPECT_EQ(CopyFileWithMode(source.c_str(), target.c_str(), kCopyOverwrite), status::kOk);
  EXPECT_EQ(ReadFileBytes(target), "new");
  // The copy carries the source's permissions unless asked otherwise.
  ::chmod(source.c_str(), 0444);
  const auto fresh = dir_ / "fresh";
  EXPECT_EQ(CopyFileWithMode(source.c_str(), fresh.c_str(), 0), status::kOk);
  EXPECT_EQ(PermissionsOf(fresh), 0444u);
  const auto writable = dir_ / "writable";
  EXPECT_EQ(CopyFileWithMode(source.c_str(), writable.c_str(), kCopyMakeWritable), status::kOk);
  EXPECT_EQ(PermissionsOf(writable) & 0600u, 0600u);
  EXPECT_EQ(CopyFileWithMode((dir_ / "missing").c_str(), fresh.c_str(), kCopyOverwrite), status::kUnhandled);
}

TEST_F(FileFolder, CopyOntoItselfKeepsTheFile) {
  const auto file = dir_.WriteFile("same", "content");
  EXPECT_EQ(CopyFileWithMode(file.c_str(), file.c_str(), kCopyOverwrite), status::kUnhandled);
  const std::string other_spelling = dir_.path().string() + "/./same";
  EXPECT_EQ(CopyFileWithMode(file.c_str(), other_spelling.c_str(), kCopyOverwrite), status::kUnhandled);
  EXPECT_EQ(ReadFileBytes(file), "content");
}

TEST_F(FileFolder, CopiesDirectoryTreesButNeverIntoThemselves) {
  fs::create_directories(dir_ / "src" / "deep");
  dir_.WriteFile("src/a", "A");
  dir_.WriteFile("src/deep/b", "B");
  const auto source = dir_ / "src";
  const auto target = dir_ / "dst";
  EXPECT_EQ(CopyDirectoryTree(source.c_str(), target.c_str(), 0, false), status::kOk);
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(CopyDirectoryTree(source.c_str(), target.c_str(), 0, true), status::kOk);
  EXPECT_EQ(ReadFileBytes(target / "deep" / "b"), "B");
  EXPECT_EQ(CopyDirectoryTree((dir_ / "none").c_str(), target.c_str(), 0, true), status::kOk);
  const auto inside = source / "copy";
  EXPECT_EQ(CopyDirectoryTree(source.c_str(), inside.c_str(), 0, true), status::kOk);
  EXPECT_EQ(ReadFileBytes(inside / "a"), "A");
  EXPECT_FALSE(fs::exists(inside / "copy"));
  EXPECT_EQ(CopyDirectoryTree(source.c_str(), target.c_str(), 0, true), status::kUnhandled);
}

bool NoFreeSpace(std::uint64_t* free_bytes) {
  *free_bytes = 0;
  return true;
}
bool FreeSpaceLeft(std::uint64_t* free_bytes) {
  *free_bytes = 4096;
  return true;
}
bool QueryFails(std::uint64_t*) { return false; }

TEST(DiskFull, EndsTheProcessWithTheMessageAndAFailureCode) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        testsupport::InDeathChild();
        SetFreeSpaceQuery(NoFreeSpace);
        CheckDiskFull("a.snp", "b.snp");
      },
      ::testing::ExitedWithCode(0x70),
      testsupport::ExactRegex("Disk memory: Disk full while copy file a.snp to file b.snp\n"
                              "vantor: exit status 0x80070070\n"));
  EXPECT_EXIT(
      {
        testsupport::InDeathChild();
        SetFreeSpaceQuery(NoFreeSpace);
        CheckDiskFull("PlotData.cpd", nullptr);
      },
      ::testing::ExitedWithCode(0x70),
      testsupport::ExactRegex("Disk memory: Disk full while accessing PlotData.cpd\n"
                              "vantor: exit status 0x80070070\n"));
}

TEST(DiskFull, ReturnsWhenBytesAreFreeOrTheQueryFails) {
  const BvuFreeSpaceQuery before = SetFreeSpaceQuery(FreeSpaceLeft);
  CheckDiskFull("a", "b");
  SetFreeSpaceQuery(QueryFails);
  CheckDiskFull("a", nullptr);
  SetFreeSpaceQuery(before);
  CheckDiskFull("a", "b");
  SUCCEED();
}

}  // namespace
