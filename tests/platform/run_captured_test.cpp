// The captured process runner: line splitting, exit codes, the child's
// folder and signal mask.
#include "platform/run_captured.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<std::string> Split(const std::vector<std::string>& chunks) {
  std::vector<std::string> lines;
  platform::OutputLines splitter;
  auto sink = [&](const std::string& line) { lines.push_back(line); };
  for (const auto& chunk : chunks) splitter.Feed(chunk, sink);
  splitter.Finish(sink);
  return lines;
}

TEST(OutputLines, BreaksAtLineEndsAndLongLines) {
  EXPECT_EQ(Split({"a\nb", "c\n", "tail"}), (std::vector<std::string>{"a\n", "bc\n", "tail"}));
  const std::string long_line(2500, 'x');
  const auto lines = Split({long_line + "\n"});
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].size(), 1023u);
  EXPECT_EQ(lines[1].size(), 1023u);
  EXPECT_EQ(lines[2], std::string(454, 'x') + "\n");
  EXPECT_TRUE(Split({""}).empty());
}

TEST(OutputLines, RandomBytesInRandomChunksKeepEveryByte) {
  std::mt19937 random(51);
  for (int round = 0; round < 200; ++round) {
    std::string text;
    const int length = static_cast<int>(random() % 5000);
    for (int i = 0; i < length; ++i) {
      text.push_back(random() % 50 == 0 ? '\n' : static_cast<char>(random() % 256));
    }
    std::vector<std::string> chunks;
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t size = std::min<std::size_t>(text.size() - at, random() % 1500);
      chunks.push_back(text.substr(at, size));
      at += size;
    }
    std::string joined;
    const auto lines = Split(chunks);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      ASSERT_FALSE(lines[i].empty());
      ASSERT_LE(lines[i].size(), platform::OutputLines::kMaxLine);
      // Only the last piece may end short of a break.
      if (i + 1 < lines.size() && lines[i].size() < platform::OutputLines::kMaxLine) {
        ASSERT_EQ(lines[i].back(), '\n');
      }
      joined += lines[i];
    }
    ASSERT_EQ(joined, text);
  }
}

TEST(RunCaptured, ExitCodesOutputAndFolder) {
  std::vector<std::string> lines;
  auto sink = [&](const std::string& line) { lines.push_back(line); };
  int code = 0, error = 0;
  const std::string folder = std::filesystem::temp_directory_path().string();
  ASSERT_TRUE(platform::RunCaptured({"/bin/sh", "-c", "pwd; echo two; exit 3"}, folder, sink, &code,
                                    &error));
  EXPECT_EQ(code, 3);
  EXPECT_EQ(lines, (std::vector<std::string>{std::filesystem::canonical(folder).string() + "\n",
                                             "two\n"}));
  // This process's folder is left alone.
  EXPECT_NE(std::filesystem::current_path(), std::filesystem::path(folder));

  ASSERT_TRUE(platform::RunCaptured({"/bin/sh", "-c", "kill -9 $$"}, "", sink, &code, &error));
  EXPECT_EQ(code, 128 + 9);

  EXPECT_FALSE(platform::RunCaptured({"/no/such/program"}, "", sink, &code, &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(platform::RunCaptured({"/bin/sh"}, "/no/such/folder", sink, &code, &error));
  EXPECT_NE(error, 0);
}

// The shell reads the script made through the descriptor, from its start,
// even when another file has taken the script's name since.
TEST(RunCaptured, AScriptIsReadThroughTheDescriptorGiven) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("vantor_run_input_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::filesystem::path script = folder / "domake_0.sh";
  const int fd = ::open(script.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  const std::string text = "echo made here\nexec echo and ended\n";
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  {
    std::ofstream other(folder / "other.sh");
    other << "echo planted\n";
  }
  std::filesystem::rename(folder / "other.sh", script);
  std::vector<std::string> lines;
  int code = -1, error = 0;
  ASSERT_TRUE(platform::RunCaptured(
      {"/bin/sh", "-s"}, folder.string(), [&](const std::string& line) { lines.push_back(line); },
      &code, &error, fd));
  EXPECT_EQ(code, 0);
  EXPECT_EQ(lines, (std::vector<std::string>{"made here\n", "and ended\n"}));
  ::close(fd);
  std::filesystem::remove_all(folder);
}

TEST(RunCaptured, ChildStartsWithAnEmptySignalMask) {
  sigset_t blocked, old;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &old), 0);
  std::vector<std::string> lines;
  int code = 0, error = 0;
  const bool ran = platform::RunCaptured(
      {"grep", "SigBlk", "/proc/self/status"}, "",
      [&](const std::string& line) { lines.push_back(line); }, &code, &error);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ASSERT_TRUE(ran);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "SigBlk:\t0000000000000000\n");
}

}  // namespace
