#include "platform/child_process.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

using testsupport::ReadFileBytes;
using testsupport::TempDir;
using Words = std::vector<std::string>;

namespace {

TEST(CommandLineTest, SplitsAsWindowsDoes) {
  const struct {
    const char* line;
    Words words;
  } cases[] = {
      {"", {}},
      {"  \t ", {}},
      {"prog a  b\tc", {"prog", "a", "b", "c"}},
      {"\"C:\\Program Files\\x.exe\" -ChildNo=1", {"C:\\Program Files\\x.exe", "-ChildNo=1"}},
      // The program word knows no backslash escapes.
      {"C:\\dir\\\"x y\" a", {"C:\\dir\\x y", "a"}},
      {"p \"a b\" c", {"p", "a b", "c"}},
      {"p -DefDir=\"/tmp/a b\"", {"p", "-DefDir=/tmp/a b"}},
      {"p a\\\\b", {"p", "a\\\\b"}},        // backslashes alone are literal
      {"p a\\\"b", {"p", "a\"b"}},          // odd count: literal quote
      {"p a\\\\\"b c\"", {"p", "a\\b c"}},  // even count: quote groups
      {"p \"a\"\"b\"", {"p", "a\"b"}},      // "" inside quotes
      {"p \"\"", {"p", ""}},                // an empty word
      {"p \"unclosed tail", {"p", "unclosed tail"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::SplitCommandLine(c.line), c.words) << c.line;
  }
}

TEST(ChildProcessTest, LocatesProgramsAndTheirFolders) {
  EXPECT_EQ(platform::LocateProgram("/bin/sh"), "/bin/sh");
  const std::string sh = platform::LocateProgram("sh");
  EXPECT_EQ(sh.front(), '/');
  EXPECT_EQ(sh.substr(sh.size() - 3), "/sh");
  EXPECT_EQ(platform::LocateProgram("no-such-program-here"), "no-such-program-here");
  const std::string relative = platform::LocateProgram("sub/prog");
  EXPECT_EQ(relative, std::filesystem::current_path().string() + "/sub/prog");
  EXPECT_EQ(platform::FolderOf("/a/b/prog"), "/a/b");
  EXPECT_EQ(platform::FolderOf("C:\\x\\prog.exe"), "C:\\x");
  EXPECT_EQ(platform::FolderOf("/prog"), "/");
  EXPECT_EQ(platform::FolderOf("prog"), "");
}

// A program of the current folder that is not on PATH is never found by
// its bare name, nor through an empty or relative PATH entry, so a folder
// others write in cannot put a program in the engine's place.
TEST(ChildProcessTest, ABareNameIsLookedForAlongPathOnly) {
  TempDir dir;
  const auto program = dir.WriteFile("vantor-lookalike", "#!/bin/sh\ntouch ran\n");
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const char* old_path = std::getenv("PATH");
  const std::string kept = old_path != nullptr ? old_path : "";
  ::setenv("PATH", ("/usr/bin::/bin:.:" + kept).c_str(), 1);
  EXPECT_EQ(platform::LocateProgram("vantor-lookalike"), "vantor-lookalike");
  int error = 0;
  EXPECT_EQ(platform::SpawnProcess({"vantor-lookalike"}, "", &error), -1);
  EXPECT_EQ(error, ENOENT);
  // Named with its folder it runs.
  const int pid = platform::SpawnProcess({"./vantor-lookalike"}, "", &error);
  ASSERT_GT(pid, 0) << error;
  int exit_code = -1;
  while (!platform::ChildHasEnded(pid, &exit_code)) usleep(1000);
  EXPECT_EQ(exit_code, 0);
  ::setenv("PATH", kept.c_str(), 1);
  std::filesystem::current_path(before);
  EXPECT_TRUE(std::filesystem::exists(dir / "ran"));
}

TEST(ChildProcessTest, StartsInTheGivenFolderAndIsWatchedToItsEnd) {
  TempDir dir;
  int error = 0;
  const int pid =
      platform::SpawnProcess({"sh", "-c", "pwd > where; exit 3"}, dir.path().string(), &error);
  ASSERT_GT(pid, 0) << error;
  int exit_code = 0;
  ASSERT_TRUE(testsupport::WaitUntil([&] { return platform::ChildHasEnded(pid, &exit_code); }));
  EXPECT_EQ(exit_code, 3);
  EXPECT_EQ(ReadFileBytes(dir / "where"), std::filesystem::canonical(dir.path()).string() + "\n");
  // Asking again about a collected child does not hang or claim it runs.
  EXPECT_TRUE(platform::ChildHasEnded(pid, &exit_code));
}

TEST(ChildProcessTest, AMissingProgramOrFolderIsReported) {
  int error = 0;
  EXPECT_EQ(platform::SpawnProcess({"/no/such/program"}, "", &error), -1);
  EXPECT_EQ(error, ENOENT);
  error = 0;
  EXPECT_EQ(platform::SpawnProcess({"sh", "-c", "true"}, "/no/such/folder", &error), -1);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(platform::SpawnProcess({}, "", &error), -1);
}

// Running and not a zombie waiting for its parent.
bool Runs(int pid) {
  const std::string stat = ReadFileBytes("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t end = stat.rfind(')');
  return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z';
}

// Killing a child also ends what it started, as a debugger starts the
// engine it debugs.
TEST(ChildProcessTest, KillingEndsARunningChildAndWhatItStarted) {
  TempDir dir;
  int error = 0;
  const int pid = platform::SpawnProcess(
      {"sh", "-c", "sleep 30 & echo $! > started.part; mv started.part started; wait"},
      dir.path().string(), &error);
  ASSERT_GT(pid, 0) << error;
  std::string started;
  ASSERT_TRUE(testsupport::WaitUntil([&] {
    started = ReadFileBytes(dir / "started");
    return !started.empty();
  }));
  const int grandchild = std::stoi(started);
  int exit_code = 0;
  EXPECT_FALSE(platform::ChildHasEnded(pid, &exit_code));
  platform::KillChild(pid, &exit_code);
  EXPECT_EQ(exit_code, 128 + SIGKILL);
  EXPECT_TRUE(testsupport::WaitUntil([&] { return !Runs(grandchild); }));
}

TEST(ChildProcessTest, ChildrenDoNotInheritBlockedOrIgnoredSignals) {
  // The engine blocks its console signals and ignores SIGPIPE; a child that
  // kept them could not be stopped with SIGTERM.
  sigset_t blocked, old_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, &old_mask);
  const auto old_pipe = std::signal(SIGPIPE, SIG_IGN);
  int error = 0;
  const int pid = platform::SpawnProcess({"sh", "-c", "kill -TERM $$; sleep 5"}, "", &error);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  std::signal(SIGPIPE, old_pipe);
  ASSERT_GT(pid, 0) << error;
  int exit_code = 0;
  ASSERT_TRUE(testsupport::WaitUntil([&] { return platform::ChildHasEnded(pid, &exit_code); }));
  EXPECT_EQ(exit_code, 128 + SIGTERM);
}

}  // namespace
