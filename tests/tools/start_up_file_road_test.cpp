// The start-up file a top-level engine reads from the folder it starts in
// (its current folder, or -DefDir): it names programs the engine starts as
// its user, so one that another user could have put or changed there is
// skipped with a line that says why, and what it names never runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/hang_bound.h"
#include "tests/support/second_user.h"

namespace start_up_file_road {

namespace fs = std::filesystem;

// The engine started by hand in the folder with the arguments, as a user
// types it; what it printed. It ends by itself without a client; one still
// running after two minutes is stopped.
std::string RunByHand(const fs::path& folder, const std::vector<std::string>& arguments,
                      const fs::path& output) {
  const pid_t child = ::fork();
  if (child < 0) return "cannot fork";
  if (child == 0) {
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0 || ::chdir(folder.c_str()) != 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0)
      ::_exit(127);
    std::vector<char*> argv{const_cast<char*>(VANTOR_ENGINE)};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(VANTOR_ENGINE, argv.data());
    ::_exit(127);
  }
  const auto deadline =
      std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::minutes(2));
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::ifstream in(output);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(StartUpFileRoad, AFileOthersCouldHavePutIsSkipped) {
  const testsupport::SecondUser other;
  testsupport::ReachableFolder base(other);
  if (base.path().empty()) GTEST_SKIP() << base.why_not;
  // A folder all users share, sticky, as /tmp is.
  const fs::path shared = base / "shared";
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  const fs::path mark = base / "ran";
  const std::string script = (shared / "planted.sh").string();
  const std::string file = (shared / "vantor.cfg").string();
  ASSERT_EQ(other.Run([&] {
    std::ofstream(script) << "#!/bin/sh\ntouch '" << mark.string() << "'\n";
    // Quoted: the path keeps its case.
    std::ofstream(file) << "planted runs \"" << script << "\" on local hidden\n";
    return ::chmod(script.c_str(), 0755) == 0 && ::chmod(file.c_str(), 0644) == 0 ? 0 : 1;
  }),
            0);

  // Started in that folder, and from elsewhere with -DefDir.
  const std::string skipped = "vantor: configuration file vantor.cfg skipped: ";
  std::string printed = RunByHand(shared, {}, base / "printed");
  EXPECT_NE(printed.find(skipped + "it belongs to another user"), std::string::npos) << printed;
  EXPECT_FALSE(fs::exists(mark)) << "the engine ran another user's program";
  printed = RunByHand(base.path(), {"-DefDir=" + shared.string()}, base / "printed");
  EXPECT_NE(printed.find(skipped + "it belongs to another user"), std::string::npos) << printed;
  EXPECT_FALSE(fs::exists(mark)) << "the engine ran another user's program";

  // The user's own file, which their group can write: the line names the
  // chmod that mends it.
  const fs::path own = base / "own";
  fs::create_directories(own);
  std::ofstream(own / "vantor.cfg") << "planted runs \"" << script << "\" on local hidden\n";
  fs::permissions(own / "vantor.cfg", fs::perms::owner_read | fs::perms::owner_write |
                                          fs::perms::group_read | fs::perms::group_write |
                                          fs::perms::others_read);
  printed = RunByHand(own, {}, base / "printed");
  const std::string named = fs::canonical(own / "vantor.cfg").string();
  EXPECT_NE(printed.find(skipped + "its group or others can write to it (chmod g-w " + named +
                         " makes it usable)"),
            std::string::npos)
      << printed;
  EXPECT_FALSE(fs::exists(mark)) << "the engine ran what a file its group can write names";
}

}  // namespace start_up_file_road
