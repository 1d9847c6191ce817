#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/files/file_utilities.h"
#include "foundation/interfaces/working_folder.h"
#include "tests/support/death.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"

// Every fsync of this executable passes here (the libraries are linked in
// statically), so a test can see what was synced and when.
namespace {
struct SyncRecord {
  bool folder;
  std::string target_text;  // the watched target's bytes at that moment
};
const char* g_watched_target = nullptr;
std::vector<SyncRecord> g_syncs;
}  // namespace

extern "C" int fsync(int fd) {
  if (g_watched_target != nullptr) {
    struct stat info {};
    ::fstat(fd, &info);
    g_syncs.push_back({S_ISDIR(info.st_mode), testsupport::ReadFileBytes(g_watched_target)});
  }
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
using testsupport::ReadFileBytes;

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
  std::string drive = "x", directory, name;
  SplitFilePath("C:\\work/sub\\file.txt", &drive, &directory, &name);
  EXPECT_EQ(drive + "|" + directory + "|" + name, "|C:\\work/sub\\|file.txt");
  EXPECT_EQ(CopyPrefix("abc", 3, &path), status::kOk);
  EXPECT_EQ(CopyPrefix("abc", 4, &path), status::kUnhandled);
  EXPECT_EQ(CopyPrefix("abc", -1, &path), status::kUnhandled);
  for (const auto& [name_, pattern, matches] : {std::tuple{"Makefile", "*.*", true},
                                                {"a.b.txt", "*.txt", true},
                                                {"REPORT.TXT", "*.txt", true},
                                                {"snp0001.snp", "snp*.snp", true},
                                                {"a", "a?", false},
                                                {"a.txt.bak", "*.txt", false},
                                                {"", "*", true}}) {
    EXPECT_EQ(MatchFilePattern(name_, pattern), matches) << name_ << " " << pattern;
  }
}

class FileFolder : public ::testing::Test {
 protected:
  testsupport::TempDir dir_;
};

TEST_F(FileFolder, ListsMatchingEntriesSortedAndFilteredByMode) {
  dir_.WriteFile("b.txt", "b");
  dir_.WriteFile("A.TXT", "a");
  dir_.WriteFile("c.dat", "c");
  fs::create_directory(dir_ / "sub.txt");
  BvuDirectoryListing listing;
  const std::string pattern = (dir_ / "*.txt").string();
  ASSERT_EQ(ListDirectory(pattern.c_str(), &listing, 0), status::kOk);
  EXPECT_EQ(listing.names, (Names{"A.TXT", "b.txt", "sub.txt"}));
  EXPECT_EQ(listing.directory_flags, (std::vector<std::uint8_t>{0, 0, 1}));
  ListDirectory(pattern.c_str(), &listing, kListDirectories);
  EXPECT_EQ(listing.names, Names{"sub.txt"});
  const std::string backslashed = dir_.path().string() + "\\*.dat";
  ListDirectory(backslashed.c_str(), &listing, 0);
  EXPECT_EQ(listing.names, Names{"c.dat"});
  EXPECT_EQ(ListDirectory(pattern.c_str(), &listing, kListDrives), status::kOk);
  EXPECT_TRUE(listing.names.empty());
  testsupport::ScopedCurrentFolder here(dir_.path());
  ListDirectory("*.*", &listing, kListFiles);
  EXPECT_EQ(listing.names, (Names{"A.TXT", "b.txt", "c.dat"}));
}

TEST_F(FileFolder, CopyModesDecideOverwritingAndWritabilityAndNeverCopyAFileOntoItself) {
  const auto source = dir_.WriteFile("source", "new");
  const auto target = dir_.WriteFile("target", "old");
  ::chmod(target.c_str(), 0444);
  EXPECT_EQ(CopyFileWithMode(source.c_str(), target.c_str(), 0), status::kUnhandled);
  EXPECT_EQ(ReadFileBytes(target), "old");
  EXPECT_EQ(CopyFileWithMode(source.c_str(), target.c_str(), kCopyOverwrite), status::kOk);
  EXPECT_EQ(ReadFileBytes(target), "new");
  ::chmod(source.c_str(),
          0444);  // the copy carries the source's permissions unless asked otherwise
  const auto fresh = dir_ / "fresh";
  EXPECT_EQ(CopyFileWithMode(source.c_str(), fresh.c_str(), 0), status::kOk);
  EXPECT_EQ(PermissionsOf(fresh), 0444u);
  const auto writable = dir_ / "writable";
  EXPECT_EQ(CopyFileWithMode(source.c_str(), writable.c_str(), kCopyMakeWritable), status::kOk);
  EXPECT_EQ(PermissionsOf(writable) & 0600u, 0600u);
  EXPECT_EQ(CopyFileWithMode((dir_ / "missing").c_str(), fresh.c_str(), kCopyOverwrite),
            status::kUnhandled);
  const std::string other_spelling = dir_.path().string() + "/./target";
  EXPECT_EQ(CopyFileWithMode(target.c_str(), other_spelling.c_str(), kCopyOverwrite),
            status::kUnhandled);
  EXPECT_EQ(ReadFileBytes(target), "new");
}

// The file service copies onto the file a link leads to, as designed; the
// engine's own copies in a shared folder replace the link and never read a
// linked source.
TEST_F(FileFolder, CopiesOverANameReplaceItsLinkAndRefuseALinkedSource) {
  testsupport::TempDir outside;
  const auto victim = outside.WriteFile("victim", "victim");
  ::chmod(victim.c_str(), 0400);
  const auto source = dir_.WriteFile("source", "new");
  fs::create_symlink(victim, dir_ / "target");
  EXPECT_EQ(CopyOverName(source.c_str(), (dir_ / "target").c_str()), status::kOk);
  EXPECT_FALSE(fs::is_symlink(dir_ / "target"));
  EXPECT_EQ(ReadFileBytes(dir_ / "target"), "new");
  EXPECT_EQ(PermissionsOf(dir_ / "target") & 0600u, 0600u);
  EXPECT_EQ(ReadFileBytes(victim), "victim");
  EXPECT_EQ(PermissionsOf(victim), 0400u);
  // A link to the source itself is just another name to replace.
  fs::create_symlink(source, dir_ / "to_source");
  EXPECT_EQ(CopyOverName(source.c_str(), (dir_ / "to_source").c_str()), status::kOk);
  EXPECT_FALSE(fs::is_symlink(dir_ / "to_source"));
  // A linked source is not read.
  fs::create_symlink(victim, dir_ / "linked_source");
  int error = 0;
  EXPECT_EQ(CopyOverName((dir_ / "linked_source").c_str(), (dir_ / "copy").c_str(), &error),
            status::kUnhandled);
  EXPECT_EQ(error, ELOOP);
  EXPECT_FALSE(fs::exists(dir_ / "copy"));
  // The designed copy writes the file the link leads to.
  ::chmod(victim.c_str(), 0600);
  fs::create_symlink(victim, dir_ / "service_target");
  EXPECT_EQ(CopyFileWithMode(source.c_str(), (dir_ / "service_target").c_str(), kCopyOverwrite),
            status::kOk);
  EXPECT_TRUE(fs::is_symlink(dir_ / "service_target"));
  EXPECT_EQ(ReadFileBytes(victim), "new");
}

// A crash must leave the old target or the whole copy: the copy's data is
// synced before the rename, the folder's entry after it.
TEST_F(FileFolder, ACopyIsSyncedBeforeItReplacesTheTargetAndTheFolderAfter) {
  const auto source = dir_.WriteFile("source", "new");
  const auto target = dir_.WriteFile("target", "old");
  g_watched_target = target.c_str();
  g_syncs.clear();
  EXPECT_EQ(CopyFileWithMode(source.c_str(), target.c_str(), kCopyOverwrite), status::kOk);
  g_watched_target = nullptr;
  ASSERT_EQ(g_syncs.size(), 2u);
  EXPECT_FALSE(g_syncs[0].folder);
  EXPECT_EQ(g_syncs[0].target_text, "old");
  EXPECT_TRUE(g_syncs[1].folder);
  EXPECT_EQ(g_syncs[1].target_text, "new");
}

// What the folder holds, sorted: a copy leaves nothing of its own behind.
Names EntriesOf(const fs::path& folder) {
  Names names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(FileFolder, AFailedCopyLeavesTheExistingTargetAsItWas) {
  const auto target = dir_.WriteFile("target", "old");
  // Reading a process's memory from address 0 fails after the copy began.
  int error = 0;
  EXPECT_EQ(CopyFileWithMode("/proc/self/mem", target.c_str(), kCopyOverwrite, &error),
            status::kUnhandled);
  EXPECT_EQ(error, EIO);
  EXPECT_EQ(ReadFileBytes(target), "old");
  EXPECT_EQ(EntriesOf(dir_.path()), Names{"target"});
}

TEST_F(FileFolder, OnlyRegularFilesAreCopied) {
  ASSERT_EQ(::mkfifo((dir_ / "pipe").c_str(), 0600), 0);
  for (const fs::path& source : {dir_ / "pipe", fs::path("/dev/zero"), dir_.path()}) {
    EXPECT_EQ(CopyFileWithMode(source.c_str(), (dir_ / "copy").c_str(), 0), status::kUnhandled)
        << source;
  }
  EXPECT_FALSE(fs::exists(dir_ / "copy"));
  fs::create_directory(dir_ / "src");
  dir_.WriteFile("src/a", "A");
  ASSERT_EQ(::mkfifo((dir_ / "src" / "pipe").c_str(), 0600), 0);
  EXPECT_EQ(CopyDirectoryTree((dir_ / "src").c_str(), (dir_ / "dst").c_str(), 0, true),
            status::kUnhandled);
  EXPECT_EQ(EntriesOf(dir_ / "dst"), Names{"a"});
}

TEST_F(FileFolder, CopiesDirectoryTreesButNeverIntoThemselves) {
  fs::create_directories(dir_ / "src" / "deep");
  dir_.WriteFile("src/a", "A");
  dir_.WriteFile("src/deep/b", "B");
  const auto source = dir_ / "src";
  const auto target = dir_ / "dst";
  EXPECT_EQ(CopyDirectoryTree(source.c_str(), target.c_str(), 0, false), status::kOk);
  EXPECT_FALSE(fs::exists(target));
  // A linked folder is copied as the link; a linked file as its contents.
  fs::create_directory_symlink("deep", source / "folder_link");
  fs::create_symlink("a", source / "file_link");
  EXPECT_EQ(CopyDirectoryTree(source.c_str(), target.c_str(), 0, true), status::kOk);
  EXPECT_EQ(ReadFileBytes(target / "deep" / "b"), "B");
  EXPECT_EQ(fs::read_symlink(target / "folder_link"), "deep");
  EXPECT_FALSE(fs::is_symlink(target / "file_link"));
  EXPECT_EQ(ReadFileBytes(target / "file_link"), "A");
  const auto inside = source / "copy";
  EXPECT_EQ(CopyDirectoryTree(source.c_str(), inside.c_str(), 0, true), status::kOk);
  EXPECT_EQ(ReadFileBytes(inside / "a"), "A");
  EXPECT_FALSE(fs::exists(inside / "copy"));
  EXPECT_EQ(CopyDirectoryTree(source.c_str(), target.c_str(), 0, true), status::kUnhandled);
}

// Changing the folder and the answers to the client are checked through the
// file service's commands; here what the process may do with each path.
TEST_F(FileFolder, QueryPathGivesWhatTheProcessMayDo) {
  using namespace SimWorkingFolder;
  const fs::path tool = dir_.WriteFile("tool.sh", "#!/bin/sh\n");
  const fs::path locked = dir_.WriteFile("locked.txt", "x");
  ::chmod(tool.c_str(), 0755);
  ::chmod(locked.c_str(), 0444);
  std::uint32_t flags = 0;
  EXPECT_EQ(QueryPath(dir_.path().c_str(), &flags), kOk);
  EXPECT_EQ(flags, kPathDirectory | kPathReadable | kPathWritable | kPathExecutable);
  EXPECT_EQ(QueryPath((dir_.path().string() + "\\tool.sh").c_str(), &flags), kOk);
  EXPECT_EQ(flags, kPathReadable | kPathWritable | kPathExecutable);
  if (::geteuid() != 0) {  // root may write anything
    EXPECT_EQ(QueryPath(locked.c_str(), &flags), kOk);
    EXPECT_EQ(flags, kPathReadable);
  }
  EXPECT_EQ(QueryPath(nullptr, &flags), kFailure);
  EXPECT_EQ(flags, 0u);
}

TEST_F(FileFolder, CurrentFolderTakesTheParentMarkAndABareDrive) {
  using namespace SimWorkingFolder;
  const fs::path before = fs::current_path();
  fs::create_directories(dir_ / "inner");
  fs::create_directories(dir_ / "C:");
  ASSERT_EQ(SetCurrentFolder((dir_ / "inner").c_str()), kOk);
  EXPECT_EQ(SetCurrentFolder(kParentFolder), kOk);
  EXPECT_EQ(fs::current_path(), fs::canonical(dir_.path()));
  // Without drives, "C:" is taken as its root "C:\", here a folder.
  EXPECT_EQ(SetCurrentFolder("C:"), kOk);
  EXPECT_EQ(fs::current_path().filename(), "C:");
  EXPECT_EQ(SetCurrentFolder("no such folder"), kFailure);
  fs::current_path(before);
}

std::string g_asked_folder;
bool NoFreeSpace(const char*, std::uint64_t* free_bytes) {
  *free_bytes = 0;
  return true;
}
bool FreeSpaceLeft(const char* folder, std::uint64_t* free_bytes) {
  g_asked_folder = folder;
  *free_bytes = 4096;
  return true;
}
bool QueryFails(const char*, std::uint64_t*) { return false; }

TEST(DiskFull, EndsTheProcessWithTheMessageOnlyWhenAWriteFoundNoBytesFree) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const auto& [second, text] :
       {std::pair{"b.snp", "copy file a.snp to file b.snp"},
        std::pair<const char*, const char*>{nullptr, "accessing a.snp"}}) {
    EXPECT_EXIT(
        {
          testsupport::InDeathChild();
          SetFreeSpaceQuery(NoFreeSpace);
          CheckDiskFull("a.snp", second, ENOSPC);
        },
        ::testing::ExitedWithCode(0x70),
        testsupport::ExactRegex(std::string("Disk memory: Disk full while ") + text +
                                "\nvantor: exit status 0x80070070\n"));
  }
  // Other failures never end the process, whatever the disk answers.
  const BvuFreeSpaceQuery before = SetFreeSpaceQuery(NoFreeSpace);
  for (const int error : {EACCES, ENOENT, EIO, 0}) CheckDiskFull("a", "b", error);
  SetFreeSpaceQuery(QueryFails);
  CheckDiskFull("a", nullptr, ENOSPC);
  // The disk asked about is the one of the file written.
  SetFreeSpaceQuery(FreeSpaceLeft);
  for (const auto& [first, second, folder] :
       {std::tuple{"x/a", "/w\\out/b", "/w/out"}, {"/a", nullptr, "/"}, {"a", "", "."}}) {
    CheckDiskFull(first, second, EDQUOT);
    EXPECT_EQ(g_asked_folder, folder);
  }
  SetFreeSpaceQuery(before);
}

}  // namespace
