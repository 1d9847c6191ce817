// Which library files the loader may open: only what no one but this user
// (or root) could have put or changed, on a way no one else controls.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/dynamic_library.h"
#include "platform/file_trust.h"
#include "platform/safe_write.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/second_user.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using platform::WhyLibraryIsUntrusted;

std::string Why(const fs::path& path, std::string* resolved = nullptr) {
  return WhyLibraryIsUntrusted(path.string(), resolved);
}

class LibraryTrust : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::canonical(work_.path());
    fs::create_directory(base_ / "lib");
    lib_ = work_.WriteFile("lib/own.so", "bytes");
    fs::permissions(lib_, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  }
  testsupport::TempDir work_;
  fs::path base_, lib_;
};

TEST_F(LibraryTrust, OwnFilesOnAnOwnWayAreTakenWithTheirLinksFollowed) {
  std::string resolved;
  EXPECT_EQ(Why(lib_, &resolved), "");
  EXPECT_EQ(resolved, lib_.string());
  // Relative, through "..", and through our own links to the folder and file.
  testsupport::ScopedCurrentFolder here(base_ / "lib");
  EXPECT_EQ(Why("own.so", &resolved), "");
  EXPECT_EQ(resolved, lib_.string());
  EXPECT_EQ(Why("../lib/./own.so"), "");
  fs::create_directory_symlink("lib", base_ / "via");
  fs::create_symlink("../lib/own.so", base_ / "lib" / "alias.so");
  EXPECT_EQ(Why(base_ / "via" / "alias.so", &resolved), "");
  EXPECT_EQ(resolved, lib_.string());
  // A sticky folder others write to: they cannot replace what is ours.
  fs::permissions(base_ / "lib", fs::perms::all | fs::perms::sticky_bit);
  EXPECT_EQ(Why(lib_), "");
}

TEST_F(LibraryTrust, WhatOthersCouldHaveChangedIsRefusedWithTheReason) {
  // Ours in a folder of ours (as gcc writes it under umask 002): the line
  // says how to make it loadable.
  fs::permissions(lib_, fs::perms::group_write, fs::perm_options::add);
  EXPECT_EQ(Why(lib_),
            "its group or others can write to it (chmod g-w " + lib_.string() + " makes it loadable)");
  fs::permissions(lib_, fs::perms::others_write, fs::perm_options::add);
  EXPECT_EQ(Why(lib_), "its group or others can write to it (chmod go-w " + lib_.string() +
                           " makes it loadable)");
  fs::permissions(lib_, fs::perms::group_write, fs::perm_options::remove);
  fs::permissions(lib_, fs::perms::others_write, fs::perm_options::remove);

  fs::permissions(base_ / "lib", fs::perms::all);
  EXPECT_EQ(Why(lib_),
            "others can write to the folder " + (base_ / "lib").string() + " and it is not sticky");
  // The folder of a link counts too, not only where it leads.
  fs::permissions(base_ / "lib", fs::perms::owner_all);
  fs::create_directory(base_ / "open");
  fs::permissions(base_ / "open", fs::perms::all);
  fs::create_symlink(lib_, base_ / "open" / "link.so");
  EXPECT_NE(Why(base_ / "open" / "link.so").find("others can write to the folder"),
            std::string::npos);

  EXPECT_EQ(Why(base_ / "lib"), "it is not a regular file");
  EXPECT_EQ(Why(base_ / "lib" / ".." / "lib" / ".."), "it is not a regular file");
  EXPECT_EQ(Why(base_ / "lib" / "own.so" / ".." / "own.so"),
            lib_.string() + " on its way is not a folder");
  EXPECT_NE(Why(base_ / "lib" / "missing.so").find("cannot be examined"), std::string::npos);
  fs::create_symlink("loop.so", base_ / "lib" / "loop.so");
  EXPECT_EQ(Why(base_ / "lib" / "loop.so"), "too many symbolic links on its way");
}

TEST_F(LibraryTrust, AnotherUsersFileFolderOrLinkIsRefused) {
  const testsupport::SecondUser other;
  if (!other.Available()) GTEST_SKIP() << other.why_not;
  ASSERT_EQ(::chown(lib_.c_str(), other.uid, other.gid), 0);
  EXPECT_EQ(Why(lib_), "it belongs to another user");
  ASSERT_EQ(::chown(lib_.c_str(), ::geteuid(), ::getegid()), 0);

  ASSERT_EQ(::chown((base_ / "lib").c_str(), other.uid, other.gid), 0);
  EXPECT_EQ(Why(lib_), "the folder " + (base_ / "lib").string() + " belongs to another user");
  ASSERT_EQ(::chown((base_ / "lib").c_str(), ::geteuid(), ::getegid()), 0);

  // Even a link that leads to our own file: its owner chose where.
  const fs::path link = base_ / "theirs.so";
  fs::create_symlink(lib_, link);
  ASSERT_EQ(::lchown(link.c_str(), other.uid, other.gid), 0);
  EXPECT_EQ(Why(link), "the symbolic link " + link.string() + " belongs to another user");
}

// The loader and the build folders follow one rule: a folder that members
// of its group can write to is refused unless it is sticky, or the group is
// its owner's alone (a private user group, as umask 002 goes with).
TEST_F(LibraryTrust, AFolderItsGroupCanWriteIsRefusedByTheLoaderAndTheBuildAlike) {
  const testsupport::SecondUser other;
  if (!other.Available()) GTEST_SKIP() << other.why_not;
  const fs::path lib = base_ / "lib";
  const auto build_here = [&] {
    std::string made = (lib / "build-XXXXXX").string();
    int error = 0;
    const bool done = platform::MakePrivateFolder(&made, &error);
    if (done) fs::remove(made);
    return done;
  };
  // The second user's group, which is not ours alone.
  ASSERT_EQ(::chown(lib.c_str(), ::geteuid(), other.gid), 0);
  fs::permissions(lib, fs::perms::owner_all | fs::perms::group_all);
  EXPECT_EQ(Why(lib_), "members of its group can write to the folder " + lib.string() +
                           " and it is not sticky (chmod g-w " + lib.string() +
                           " makes it usable)");
  // Several such folders on the way are named in one line, to be mended
  // at once.
  const fs::path below = lib / "below";
  fs::create_directory(below);
  const fs::path deep = below / "deep.so";
  fs::copy_file(lib_, deep);
  ASSERT_EQ(::chown(below.c_str(), ::geteuid(), other.gid), 0);
  fs::permissions(below, fs::perms::owner_all | fs::perms::group_all);
  EXPECT_EQ(Why(deep), "members of their groups can write to the folders " + lib.string() +
                           " and " + below.string() + ", which are not sticky (chmod g-w " +
                           lib.string() + " " + below.string() + " makes them usable)");
  fs::remove_all(below);
  platform::CheckedLibrary checked;
  EXPECT_NE(platform::CheckLibraryFile(lib_.string(), &checked), "");
  EXPECT_FALSE(build_here());
  fs::permissions(lib, fs::perms::sticky_bit, fs::perm_options::add);
  EXPECT_EQ(Why(lib_), "");
  EXPECT_TRUE(build_here());
  fs::permissions(lib, fs::perms::sticky_bit, fs::perm_options::remove);

  // A group of the owner's own: no one else can write.
  const gid_t own_group = ::getpwuid(::geteuid())->pw_gid;
  if (!platform::GroupIsOwnersAlone(own_group, ::geteuid())) GTEST_SKIP() << "no private group";
  ASSERT_EQ(::chown(lib.c_str(), ::geteuid(), own_group), 0);
  EXPECT_EQ(Why(lib_), "");
  EXPECT_EQ(platform::CheckLibraryFile(lib_.string(), &checked), "");
  EXPECT_EQ(checked.path, lib_.string());
  EXPECT_TRUE(build_here());
  EXPECT_FALSE(platform::GroupIsOwnersAlone(other.gid, ::geteuid()));
}

}  // namespace
