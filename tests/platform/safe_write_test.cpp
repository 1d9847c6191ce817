// Writing in a folder others write to: what they put under a name is
// neither written through, emptied nor waited on.
#include "platform/safe_write.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/second_user.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::string Replace(const fs::path& path, const std::string& text, int* error) {
  platform::FileDescriptor fd = platform::OpenForReplace(path.c_str(), error);
  if (!fd.valid()) return "refused";
  platform::FileOutStream out(std::move(fd));
  out << text;
  out.close();
  return out.good() ? "written" : "failed";
}

TEST(SafeWrite, OnlyOurOwnPlainFilesAreReplaced) {
  testsupport::TempDir work;
  int error = 0;
  // New, and our own old file emptied first.
  EXPECT_EQ(Replace(work / "new", "first, longer text", &error), "written");
  EXPECT_EQ(Replace(work / "new", "second", &error), "written");
  EXPECT_EQ(testsupport::ReadFileBytes(work / "new"), "second");

  // A link, dangling or not, is not followed.
  work.WriteFile("target", "kept");
  fs::create_symlink(work / "target", work / "link");
  fs::create_symlink(work / "missing", work / "dangling");
  EXPECT_EQ(Replace(work / "link", "x", &error), "refused");
  EXPECT_EQ(error, ELOOP);
  EXPECT_EQ(Replace(work / "dangling", "x", &error), "refused");
  EXPECT_FALSE(fs::exists(work / "missing"));
  // A second name of a file elsewhere is not emptied through.
  fs::create_hard_link(work / "target", work / "hard");
  EXPECT_EQ(Replace(work / "hard", "x", &error), "refused");
  EXPECT_EQ(error, EPERM);
  EXPECT_EQ(testsupport::ReadFileBytes(work / "target"), "kept");
  // A FIFO does not hold the open.
  ASSERT_EQ(::mkfifo((work / "fifo").c_str(), 0666), 0);
  EXPECT_EQ(Replace(work / "fifo", "x", &error), "refused");

  // A copy is a new file or nothing.
  EXPECT_TRUE(platform::CopyToNewFile((work / "target").c_str(), (work / "copy").c_str(), &error));
  EXPECT_EQ(testsupport::ReadFileBytes(work / "copy"), "kept");
  EXPECT_FALSE(platform::CopyToNewFile((work / "new").c_str(), (work / "copy").c_str(), &error));
  EXPECT_EQ(error, EEXIST);
  EXPECT_FALSE(
      platform::CopyToNewFile((work / "new").c_str(), (work / "dangling").c_str(), &error));
  EXPECT_FALSE(fs::exists(work / "missing"));
  EXPECT_FALSE(platform::CopyToNewFile((work / "link").c_str(), (work / "copy2").c_str(), &error));
  EXPECT_FALSE(fs::exists(work / "copy2"));
}

std::uint32_t Mode(const fs::path& path) {
  struct stat s {};
  return ::lstat(path.c_str(), &s) == 0 ? s.st_mode & 07777 : 0xFFFFFFFFu;
}

// A library built under umask 002 comes out group-writable; what the engine
// built loses that, and nothing else is changed through the call.
TEST(SafeWrite, BuiltFilesAreClosedToOthersWritesAndNothingElse) {
  testsupport::TempDir work;
  int error = 0;
  const fs::path built = work.WriteFile("built.so", "bytes");
  ASSERT_EQ(::chmod(built.c_str(), 04777), 0);
  EXPECT_TRUE(platform::CloseToOthersWrites(built.c_str(), &error)) << std::strerror(error);
  EXPECT_EQ(Mode(built), 04755u);
  const fs::path kept = work.WriteFile("kept.so", "bytes");
  ASSERT_EQ(::chmod(kept.c_str(), 0500), 0);
  EXPECT_TRUE(platform::CloseToOthersWrites(kept.c_str(), &error));
  EXPECT_EQ(Mode(kept), 0500u);

  const fs::path target = work.WriteFile("target", "bytes");
  ASSERT_EQ(::chmod(target.c_str(), 0666), 0);
  fs::create_symlink(target, work / "link.so");
  EXPECT_FALSE(platform::CloseToOthersWrites((work / "link.so").c_str(), &error));
  EXPECT_EQ(error, ELOOP);
  fs::create_hard_link(target, work / "hard.so");
  EXPECT_FALSE(platform::CloseToOthersWrites((work / "hard.so").c_str(), &error));
  EXPECT_EQ(error, EPERM);
  EXPECT_EQ(Mode(target), 0666u);
  fs::create_directory(work / "folder.so");
  ASSERT_EQ(::chmod((work / "folder.so").c_str(), 0777), 0);
  EXPECT_FALSE(platform::CloseToOthersWrites((work / "folder.so").c_str(), &error));
  EXPECT_EQ(error, EINVAL);
  EXPECT_EQ(Mode(work / "folder.so"), 0777u);
  ASSERT_EQ(::mkfifo((work / "fifo.so").c_str(), 0666), 0);
  EXPECT_FALSE(platform::CloseToOthersWrites((work / "fifo.so").c_str(), &error));
  EXPECT_EQ(error, EINVAL);
  EXPECT_FALSE(platform::CloseToOthersWrites((work / "missing.so").c_str(), &error));
  EXPECT_EQ(error, ENOENT);
}

// A file written for a build: a new one, closed to group and others'
// writes under umask 002, put in place of the old one, so that what a
// descriptor opened on the old one writes is never read by the name.
TEST(SafeWrite, ANewFileTakesTheNameFromOneHeldOpen) {
  testsupport::TempDir work;
  const fs::path made = work / "MakeLib";
  work.WriteFile("MakeLib", "old");
  ::chmod(made.c_str(), 0664);
  const int held = ::open(made.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  const mode_t old_mask = ::umask(002);
  int error = 0;
  platform::FileDescriptor fd = platform::ReplaceWithNewFile(made.c_str(), &error);
  ::umask(old_mask);
  ASSERT_TRUE(fd.valid()) << std::strerror(error);
  ASSERT_TRUE(platform::WriteAll(fd.get(), "new", 3, &error));
  ASSERT_TRUE(fd.Close(&error));
  EXPECT_EQ(::pwrite(held, "held", 4, 0), 4);
  ::close(held);
  EXPECT_EQ(testsupport::ReadFileBytes(made), "new");
  struct stat s {};
  ASSERT_EQ(::stat(made.c_str(), &s), 0);
  EXPECT_EQ(s.st_mode & 0777, 0644u);

  // What OpenForReplace refuses, refused alike; nothing left beside.
  work.WriteFile("target", "kept");
  fs::create_symlink(work / "target", work / "link");
  fs::create_hard_link(work / "target", work / "hard");
  ASSERT_EQ(::mkfifo((work / "fifo").c_str(), 0666), 0);
  for (const auto& [name, refused] :
       {std::pair<const char*, int>{"link", ELOOP}, {"hard", EPERM}, {"fifo", EINVAL}}) {
    error = 0;
    EXPECT_FALSE(platform::ReplaceWithNewFile((work / name).c_str(), &error).valid()) << name;
    EXPECT_EQ(error, refused) << name;
  }
  EXPECT_EQ(testsupport::ReadFileBytes(work / "target"), "kept");
  const auto names = std::distance(fs::directory_iterator(work.path()), fs::directory_iterator());
  EXPECT_EQ(names, 5);
}

TEST(SafeWrite, AnotherUsersFileIsNotEmptied) {
  const testsupport::SecondUser other;
  const testsupport::ReachableFolder work(other);
  if (work.path().empty()) GTEST_SKIP() << work.why_not;
  fs::permissions(work.path(), fs::perms::all | fs::perms::sticky_bit);
  const std::string theirs = (work / "theirs").string();
  ASSERT_EQ(other.Run([&] {
    const int fd = ::open(theirs.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    return fd >= 0 && ::write(fd, "theirs", 6) == 6 && ::close(fd) == 0 ? 0 : 1;
  }),
            0);
  int error = 0;
  EXPECT_EQ(Replace(theirs, "ours", &error), "refused");
  EXPECT_EQ(error, EPERM);
  EXPECT_EQ(testsupport::ReadFileBytes(theirs), "theirs");
  EXPECT_FALSE(platform::IsOwnRegularFile(theirs.c_str()));
  // Nor are its permissions changed, though root could.
  ASSERT_EQ(::chmod(theirs.c_str(), 0666), 0);
  EXPECT_FALSE(platform::CloseToOthersWrites(theirs.c_str(), &error));
  EXPECT_EQ(error, EPERM);
  EXPECT_EQ(Mode(theirs), 0666u);
}

// A private folder is made only where no one else can move it aside and
// put theirs under its name: not below a folder others write to without the
// sticky bit, nor below another user's folder; its path holds no link.
TEST(SafeWrite, PrivateFoldersStandOnlyWhereNoOneElseCanSwapThem) {
  testsupport::TempDir work;
  int error = 0;
  fs::create_directory(work / "open");
  fs::permissions(work / "open", fs::perms::all);
  std::string path = (work / "open" / "build-XXXXXX").string();
  EXPECT_FALSE(platform::MakePrivateFolder(&path, &error));
  EXPECT_EQ(error, EPERM);
  EXPECT_TRUE(fs::is_empty(work / "open"));

  fs::create_directory(work / "sticky");
  fs::permissions(work / "sticky", fs::perms::all | fs::perms::sticky_bit);
  fs::create_directory_symlink(work / "sticky", work / "via");
  path = (work / "via" / "build-XXXXXX").string();
  ASSERT_TRUE(platform::MakePrivateFolder(&path, &error)) << std::strerror(error);
  EXPECT_EQ(fs::path(path).parent_path(), fs::canonical(work / "sticky"));
  struct stat made {};
  ASSERT_EQ(::lstat(path.c_str(), &made), 0);
  EXPECT_TRUE(S_ISDIR(made.st_mode));
  EXPECT_EQ(made.st_mode & 0777, 0700u);
  EXPECT_EQ(made.st_uid, ::geteuid());

  const testsupport::SecondUser other;
  if (!other.Available()) GTEST_SKIP() << other.why_not;
  fs::create_directory(work / "theirs");
  ASSERT_EQ(::chown((work / "theirs").c_str(), other.uid, other.gid), 0);
  path = (work / "theirs" / "build-XXXXXX").string();
  EXPECT_FALSE(platform::MakePrivateFolder(&path, &error));
  EXPECT_EQ(error, EPERM);
  EXPECT_TRUE(fs::is_empty(work / "theirs"));
}

}  // namespace

namespace {

// The text written through a new file in the folder: "placed", or why not.
std::string Place(int folder, const std::string& name, const std::string& text, bool whole) {
  int error = 0;
  platform::NewFile file = platform::NewFile::Make(folder, name, &error);
  if (!file.valid()) return "refused: " + std::string(std::strerror(error));
  platform::FileOutStream out(std::move(file));
  out << text;
  if (!whole) out.setstate(std::ios::badbit);
  out.close();
  return out.good() ? "placed" : "dropped";
}

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A new file takes its name only when written whole: the old bytes stay
// until then, and a file dropped leaves neither a change nor a temporary
// behind. What a replacement refuses is refused here too.
TEST(SafeWrite, ANewFileTakesItsNameOnlyWhenWrittenWhole) {
  testsupport::TempDir work;
  work.WriteFile("kept", "old bytes");
  platform::FileDescriptor folder(::open(work.path().c_str(), O_RDONLY | O_DIRECTORY));
  ASSERT_TRUE(folder.valid());
  EXPECT_EQ(Place(folder.get(), "kept", "cut short", false), "dropped");
  EXPECT_EQ(testsupport::ReadFileBytes(work / "kept"), "old bytes");
  EXPECT_EQ(Names(work.path()), std::vector<std::string>{"kept"});
  EXPECT_EQ(Place(folder.get(), "kept", "new bytes", true), "placed");
  EXPECT_EQ(testsupport::ReadFileBytes(work / "kept"), "new bytes");
  EXPECT_EQ(Place(folder.get(), "made", "made", true), "placed");

  fs::create_symlink(work / "kept", work / "link");
  fs::create_hard_link(work / "kept", work / "hard");
  fs::create_directory(work / "sub");
  EXPECT_EQ(Place(folder.get(), "link", "x", true), "refused: " + std::string(strerror(ELOOP)));
  EXPECT_EQ(Place(folder.get(), "hard", "x", true), "refused: " + std::string(strerror(EPERM)));
  EXPECT_EQ(Place(folder.get(), "sub", "x", true), "refused: " + std::string(strerror(EISDIR)));
  EXPECT_EQ(Place(folder.get(), "sub/x", "x", true), "refused: " + std::string(strerror(EINVAL)));
  EXPECT_EQ(testsupport::ReadFileBytes(work / "kept"), "new bytes");

  // A link put under the name while the file is written is replaced, not
  // followed; the file it leads to keeps its bytes.
  int error = 0;
  platform::NewFile late = platform::NewFile::Make(folder.get(), "late", &error);
  ASSERT_TRUE(late.valid());
  fs::create_symlink(work / "kept", work / "late");
  EXPECT_FALSE(late.Place(&error));
  EXPECT_EQ(error, ELOOP);
  EXPECT_EQ(testsupport::ReadFileBytes(work / "kept"), "new bytes");
  EXPECT_EQ(Names(work.path()),
            (std::vector<std::string>{"hard", "kept", "late", "link", "made", "sub"}));
}

// A folder is opened name by name through links of this user's only, and
// what is made through its descriptor lands there, whatever its path
// leads to by then.
TEST(SafeWrite, AFolderOpenedOnceKeepsWhatIsMadeThroughIt) {
  const testsupport::SecondUser other;
  const testsupport::ReachableFolder work(other);
  if (work.path().empty()) GTEST_SKIP() << work.why_not;
  const fs::path base = fs::canonical(work.path());
  fs::permissions(base, fs::perms::all | fs::perms::sticky_bit);
  fs::create_directories(base / "real" / "deep");
  fs::create_symlink("real", base / "relative");
  fs::create_symlink(base / "real" / "deep", base / "absolute");
  std::string link;
  int error = 0;
  for (const fs::path& way : {base / "real", base / "relative" / "deep" / "..",
                              base / "absolute" / "..", base / "absolute"}) {
    SCOPED_TRACE(way.string());
    EXPECT_TRUE(platform::OpenFolderOnWay(way.string(), &link, &error).valid());
    EXPECT_TRUE(link.empty());
  }
  std::ofstream(base / "file") << "x";
  EXPECT_FALSE(platform::OpenFolderOnWay((base / "file" / "x").string(), &link, &error).valid());
  EXPECT_EQ(error, ENOTDIR);

  const std::string theirs = (base / "theirs").string(), target = (base / "real").string();
  ASSERT_EQ(other.Run([&] { return ::symlink(target.c_str(), theirs.c_str()) == 0 ? 0 : 1; }), 0);
  fs::create_symlink(base / "theirs", base / "ours");
  EXPECT_FALSE(platform::OpenFolderOnWay((base / "ours" / "deep").string(), &link, &error).valid());
  EXPECT_EQ(link, theirs);
  EXPECT_EQ(error, EPERM);

  platform::FileDescriptor held = platform::OpenFolderOnWay(target, &link, &error);
  ASSERT_TRUE(held.valid());
  fs::rename(base / "real", base / "moved");
  fs::create_directory(base / "real");
  EXPECT_EQ(Place(held.get(), "made", "through the descriptor", true), "placed");
  EXPECT_EQ(testsupport::ReadFileBytes(base / "moved" / "made"), "through the descriptor");
  EXPECT_FALSE(fs::exists(base / "real" / "made"));
}

}  // namespace
