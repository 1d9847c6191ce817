// POSIX ACLs as the folder rules read them: the kernel's bytes as setfacl
// leaves them, who an ACL lets write (the mask bounds every entry but the
// owner's and the other one), and a private folder that hands down none.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_trust.h"
#include "platform/posix_acl.h"
#include "platform/posix_file.h"
#include "platform/safe_write.h"
#include "tests/support/scoped_umask.h"
#include "tests/support/set_acl.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using platform::AclEntry;

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr std::uint32_t kOther = 65534;

class PosixAcl : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::canonical(work_.path()) / "shared";
    fs::create_directory(folder_);
    fs::permissions(folder_, fs::perms::owner_all);
  }
  // setfacl with the options on the folder; false (the test skipped) when
  // the machine keeps no ACLs there.
  bool Set(const std::string& options) {
    bool unsupported = false;
    const std::string failed = testsupport::SetAcl(options, folder_, &unsupported);
    if (unsupported) {
      skip_ = failed;
      return false;
    }
    EXPECT_EQ(failed, "");
    return failed.empty();
  }
  std::string Who() {
    struct stat s {};
    EXPECT_EQ(::lstat(folder_.c_str(), &s), 0);
    return platform::WhoElseMayWrite(folder_.string(), s);
  }

  testsupport::TempDir work_;
  fs::path folder_;
  std::string skip_;
};

TEST_F(PosixAcl, TheKernelsBytesReadAsSetfaclWroteThem) {
  if (!Set("-m u:65534:rwx,g:100:r-x") || !Set("-d -m u:65534:rw-")) GTEST_SKIP() << skip_;
  const std::vector<AclEntry> access = {
      {platform::kAclUserObj, 7, kNone},  {platform::kAclUser, 7, kOther},
      {platform::kAclGroupObj, 0, kNone}, {platform::kAclGroup, 5, 100},
      {platform::kAclMask, 7, kNone},     {platform::kAclOther, 0, kNone}};
  std::vector<AclEntry> read;
  int error = 0;
  ASSERT_TRUE(platform::ReadAcl(folder_.string(), -1, false, &read, &error)) << error;
  EXPECT_EQ(read, access);
  // Through a descriptor the same; the default ACL apart.
  const platform::FileDescriptor fd(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(platform::ReadAcl("", fd.get(), false, &read, &error)) << error;
  EXPECT_EQ(read, access);
  ASSERT_TRUE(platform::ReadAcl(folder_.string(), -1, true, &read, &error)) << error;
  ASSERT_EQ(read.size(), 5u);
  EXPECT_EQ(read[1], (AclEntry{platform::kAclUser, 6, kOther}));
  // What the kernel gives is what the writer writes.
  EXPECT_EQ(platform::AclBytes(access).size(), 4u + 8u * access.size());
  // A folder without an ACL has none; a missing one cannot be read.
  fs::create_directory(work_.path() / "plain");
  ASSERT_TRUE(platform::ReadAcl((work_.path() / "plain").string(), -1, false, &read, &error));
  EXPECT_TRUE(read.empty());
  EXPECT_FALSE(platform::ReadAcl((work_.path() / "missing").string(), -1, false, &read, &error));
  EXPECT_EQ(error, ENOENT);
}

TEST(PosixAclBytes, OnlyTheVersion2LayoutParses) {
  const std::string good =
      platform::AclBytes({{platform::kAclUserObj, 7, kNone}, {platform::kAclOther, 5, kNone}});
  const auto parse = [](const std::string& bytes) {
    std::vector<AclEntry> entries;
    return platform::ParseAcl(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                              &entries) &&
           platform::AclBytes(entries) == bytes;
  };
  EXPECT_TRUE(parse(good));
  EXPECT_TRUE(parse(good.substr(0, 4)));
  for (std::size_t cut = 1; cut < 8; ++cut) EXPECT_FALSE(parse(good.substr(0, good.size() - cut)));
  EXPECT_FALSE(parse(""));
  std::string version1 = good;
  version1[0] = 1;
  EXPECT_FALSE(parse(version1));
}

// Who may write, over the mask with and without write, for each kind of
// entry that grants it.
TEST(PosixAclBytes, TheMaskBoundsEveryEntryButTheOwnersAndOthers) {
  const uid_t owner = 1000;
  for (const std::uint16_t mask : {7, 5}) {
    SCOPED_TRACE(mask);
    const std::vector<AclEntry> acl = {
        {platform::kAclUserObj, 7, kNone},  {platform::kAclUser, 7, owner},
        {platform::kAclUser, 6, kOther},    {platform::kAclUser, 5, 1001},
        {platform::kAclGroupObj, 7, kNone}, {platform::kAclGroup, 2, 100},
        {platform::kAclMask, mask, kNone},  {platform::kAclOther, 2, kNone}};
    std::vector<AclEntry> expected;
    if (mask == 7) expected = {acl[2], acl[4], acl[5]};
    expected.push_back(acl[7]);
    EXPECT_EQ(platform::WritingEntries(acl, owner), expected);
  }
  // Without a mask (the minimal ACL) the group entry stands as it is.
  EXPECT_EQ(platform::WritingEntries({{platform::kAclGroupObj, 2, kNone}}, owner).size(), 1u);
}

// The folder rule over ACL layouts of a private folder of ours: write
// granted to another user or group counts, read or a mask without write
// does not; with the sticky bit write still lets them make names.
TEST_F(PosixAcl, TheFolderRuleCountsWriteAnAclGrants) {
  struct Layout {
    std::string options, who;
  };
  const std::vector<Layout> layouts = {{"-m u:65534:rwx", "user "},
                                       {"-m g:65534:rwx", "group "},
                                       {"-m u:65534:rwx,m::r-x", ""},
                                       {"-m u:65534:r-x", ""},
                                       {"-m u:" + std::to_string(::geteuid()) + ":rwx", ""},
                                       {"-m o::rwx", "others"}};
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.options);
    bool unsupported = false;
    ASSERT_EQ(testsupport::SetAcl("-b", folder_, &unsupported), "");
    fs::permissions(folder_, fs::perms::owner_all);
    if (!Set(layout.options)) GTEST_SKIP() << skip_;
    const std::string who = Who();
    EXPECT_EQ(who.substr(0, layout.who.size()), layout.who);
    EXPECT_EQ(who.empty(), layout.who.empty()) << who;
    if (layout.who.rfind("user ", 0) == 0 || layout.who.rfind("group ", 0) == 0) {
      EXPECT_NE(who.find("(by an ACL entry)"), std::string::npos) << who;
    }
    struct stat s {};
    ASSERT_EQ(::lstat(folder_.c_str(), &s), 0);
    EXPECT_EQ(platform::WhyFolderIsOpenToOthers(folder_.string(), s).empty(), who.empty());
  }
}

// A private build folder made under a folder whose default ACL lets
// another user write: it hands down nothing, and what is made in it is
// ours alone.
TEST_F(PosixAcl, APrivateFolderTakesNoDefaultAclFromAbove) {
  if (!Set("-d -m u:65534:rwx,o::rwx")) GTEST_SKIP() << skip_;
  std::string made = (folder_ / "build-XXXXXX").string();
  int error = 0;
  ASSERT_TRUE(platform::MakePrivateFolder(&made, &error)) << error;
  EXPECT_EQ(platform::WhyWhatIsMadeInIsOpenToOthers(made), "");
  EXPECT_NE(platform::WhyWhatIsMadeInIsOpenToOthers(folder_.string()).find("its default ACL lets "),
            std::string::npos);
  const fs::path file = fs::path(made) / "library.so";
  const testsupport::ScopedUmask usual(022);
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  ASSERT_GE(fd, 0);
  ::close(fd);
  struct stat s {};
  ASSERT_EQ(::stat(file.c_str(), &s), 0);
  EXPECT_EQ(s.st_mode & 022, 0u);
  std::vector<AclEntry> acl;
  ASSERT_TRUE(platform::ReadAcl(file.string(), -1, false, &acl, &error));
  EXPECT_TRUE(acl.empty());
}

}  // namespace
