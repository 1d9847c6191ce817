#include "foundation/working_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class WorkingFolder : public ::testing::Test {
 protected:
  void TearDown() override { fs::current_path(start_); }
  fs::path start_ = fs::current_path();
  testsupport::TempDir dir_;
};

TEST_F(WorkingFolder, SetCurrentFolderChangesDirectoryAndNullMeansHere) {
  fs::create_directories(dir_ / "run" / "sub");
  const fs::path root = fs::canonical(dir_.path());

  EXPECT_EQ(SimWorkingFolder::SetCurrentFolder(root.c_str()), SimWorkingFolder::kOk);
  EXPECT_EQ(fs::current_path(), root);
  EXPECT_EQ(SimWorkingFolder::SetCurrentFolder(nullptr), SimWorkingFolder::kOk);
  EXPECT_EQ(fs::current_path(), root);

  // Client paths may use backslashes.
  EXPECT_EQ(SimWorkingFolder::SetCurrentFolder("run\\sub"), SimWorkingFolder::kOk);
  EXPECT_EQ(fs::current_path(), root / "run" / "sub");

  EXPECT_EQ(SimWorkingFolder::SetCurrentFolder("missing"), SimWorkingFolder::kFailure);
  EXPECT_EQ(SimWorkingFolder::SetCurrentFolder(""), SimWorkingFolder::kFailure);
  EXPECT_EQ(fs::current_path(), root / "run" / "sub") << "a failed change stays put";
}

TEST_F(WorkingFolder, QueryPathGivesWhatTheProcessMayDo) {
  using namespace SimWorkingFolder;
  const fs::path plain = dir_.WriteFile("plain.txt", "x");
  const fs::path tool = dir_.WriteFile("tool.sh", "#!/bin/sh\n");
  const fs::path locked = dir_.WriteFile("locked.txt", "x");
  ::chmod(plain.c_str(), 0644);
  ::chmod(tool.c_str(), 0755);
  ::chmod(locked.c_str(), 0444);

  std::uint32_t flags = 0xFFFF;
  EXPECT_EQ(QueryPath(dir_.path().c_str(), &flags), kOk);
  EXPECT_EQ(flags, kPathDirectory | kPathReadable | kPathWritable | kPathExecutable);
  EXPECT_EQ(QueryPath(plain.c_str(), &flags), kOk);
  EXPECT_EQ(flags, kPathReadable | kPathWritable);
  EXPECT_EQ(QueryPath(tool.c_str(), &flags), kOk);
  EXPECT_EQ(flags, kPathReadable | kPathWritable | kPathExecutable);
  if (::geteuid() != 0) {  // root may write anything
    EXPECT_EQ(QueryPath(locked.c_str(), &flags), kOk);
    EXPECT_EQ(flags, kPathReadable);
  }

  const std::string backslashed = dir_.path().string() + "\\plain.txt";
  EXPECT_EQ(QueryPath(backslashed.c_str(), &flags), kOk);
  EXPECT_EQ(QueryPath(plain.c_str(), nullptr), kOk);

  flags = 0xFFFF;
  EXPECT_EQ(QueryPath((dir_ / "absent").c_str(), &flags), kFailure);
  EXPECT_EQ(flags, 0u) << "no stale flags for a missing path";
  EXPECT_EQ(QueryPath(nullptr, &flags), kFailure);
}

}  // namespace
