#include "platform/stream_relay.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

// Bounds on waiting for what a relay's threads do; a healthy run takes
// milliseconds.
constexpr auto kPatience = std::chrono::seconds(30);

struct Pipe {
  Pipe() { EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0); }
  ~Pipe() {
    for (int end : ends) {
      if (end >= 0) ::close(end);
    }
  }
  int ends[2] = {-1, -1};
};

ino_t InodeOf(int fd) {
  struct stat st {};
  EXPECT_EQ(::fstat(fd, &st), 0);
  return st.st_ino;
}

void WriteLine(int fd, const std::string& line) {
  const std::string text = line + "\n";
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

// Reads what the pipe holds until `text` has come (or the patience ran out).
std::string ReadUntil(int fd, const std::string& text) {
  std::string got;
  const auto until = std::chrono::steady_clock::now() + kPatience;
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  char piece[4096];
  while (got.find(text) == std::string::npos && std::chrono::steady_clock::now() < until) {
    const ssize_t n = ::read(fd, piece, sizeof piece);
    if (n > 0) {
      got.append(piece, static_cast<std::size_t>(n));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ::fcntl(fd, F_SETFL, flags);
  return got;
}

std::uint32_t PatienceMs() {
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(kPatience).count());
}

std::string Numbered(int n) {
  char line[128];
  std::snprintf(line, sizeof line, "line %06d %s", n, std::string(80, 'x').c_str());
  return line;
}

// A reader that takes nothing: the writer goes on, what does not fit is
// dropped, the process's end does not wait for ever, and once the reader
// reads, the lines come in order with one line telling how many went.
TEST(StreamRelay, AStreamNobodyReadsNeverHoldsTheWriterAndSaysWhatItDropped) {
  Pipe real;
  ::fcntl(real.ends[1], F_SETPIPE_SZ, 4096);
  const int fd = ::fcntl(real.ends[1], F_DUPFD_CLOEXEC, 3);
  ASSERT_GE(fd, 0);
  const ino_t real_inode = InodeOf(fd);
  ASSERT_TRUE(platform::RelayStreams({fd}, 64 * 1024));
  EXPECT_NE(InodeOf(fd), real_inode);

  // Far more than the relay, both pipes and the piece being written hold.
  constexpr int kLines = 8000;
  const std::uint64_t dropped_before = platform::RelayedLinesDropped();
  for (int n = 0; n < kLines; ++n) WriteLine(fd, Numbered(n));
  const auto until = std::chrono::steady_clock::now() + kPatience;
  while (platform::RelayedLinesDropped() == dropped_before &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GT(platform::RelayedLinesDropped(), dropped_before) << "the relay did not back up";
  // Returns once the stream has taken nothing for the stall's span, long
  // before its bound, though the relay holds lines.
  const auto settling = std::chrono::steady_clock::now();
  EXPECT_FALSE(platform::SettleRelayedStreams(PatienceMs(), 50));
  EXPECT_LT(std::chrono::steady_clock::now() - settling, kPatience / 2);

  // The reader comes back.
  std::string got;
  std::atomic<bool> enough{false};
  ::fcntl(real.ends[0], F_SETFL, O_NONBLOCK);
  std::thread reader([&] {
    char piece[4096];
    // Once told enough, it still takes what the relay already passed on.
    for (;;) {
      const bool last = enough.load();  // before the read: all is in the pipe
      const ssize_t n = ::read(real.ends[0], piece, sizeof piece);
      if (n > 0) {
        got.append(piece, static_cast<std::size_t>(n));
      } else if (last) {
        break;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  });
  const auto settled = [] { return platform::SettleRelayedStreams(PatienceMs(), PatienceMs()); };
  EXPECT_TRUE(settled());
  WriteLine(fd, "the last line");
  EXPECT_TRUE(settled());
  enough.store(true);
  reader.join();
  ::close(fd);

  // Lines whole and in order, with notices of those that went between
  // them; all told, as many as were written.
  std::istringstream lines(got);
  std::vector<std::string> told;
  for (std::string line; std::getline(lines, line);) told.push_back(line);
  ASSERT_GE(told.size(), 3u) << got.substr(0, 2000);
  EXPECT_EQ(told.back(), "the last line");
  const std::string said =
      " lines written to standard output were dropped: its reader did not "
      "take them in time";
  long went = 0;
  int notices = 0;
  int whole = 0;
  int next = 0;
  for (std::size_t i = 0; i + 1 < told.size(); ++i) {
    const std::string& line = told[i];
    if (line.rfind("vantor: ", 0) == 0 && line.find(said) != std::string::npos) {
      went += std::stol(line.substr(8));
      ++notices;
      continue;
    }
    // A line cut where a drop began is ended before the notice.
    if (line.rfind("line ", 0) != 0 || line.size() != Numbered(0).size()) continue;
    const int n = std::stoi(line.substr(5));
    EXPECT_GE(n, next) << line;
    EXPECT_EQ(line, Numbered(n));
    next = n + 1;
    ++whole;
  }
  // Before the last line: the notice of the last drop or, when the relay
  // had room again by the end (the scheduler's choice), the last line written.
  const std::string& before = told[told.size() - 2];
  EXPECT_TRUE(before.find(said) != std::string::npos || before == Numbered(kLines - 1)) << before;
  EXPECT_GT(whole, 0);
  EXPECT_GT(notices, 0);
  EXPECT_GE(whole + went, kLines - notices);
  EXPECT_LE(whole + went, kLines);
}

int Queued(int fd) {
  int queued = -1;
  return ::ioctl(fd, FIONREAD, &queued) == 0 ? queued : -1;
}

// A reader that has stopped: the lines that came at once, more than the
// room left in its pipe, go on as far as whole lines fit, not all held
// back; once it reads again, the rest come whole and in order.
TEST(StreamRelay, AStalledStreamTakesTheLinesThatFitOfMoreThanItHasRoomFor) {
  Pipe real;
  ::fcntl(real.ends[1], F_SETPIPE_SZ, 4096);
  const int capacity = ::fcntl(real.ends[1], F_GETPIPE_SZ);
  const int fd = ::fcntl(real.ends[1], F_DUPFD_CLOEXEC, 3);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(platform::RelayStreams({fd}));
  std::string first;
  std::string burst;
  for (int n = 0; n < 11; ++n) first += Numbered(n) + "\n";
  for (int n = 11; n < 34 + 11; ++n) burst += Numbered(n) + "\n";
  const auto line = static_cast<int>(Numbered(0).size() + 1);
  ASSERT_GT(static_cast<int>(first.size() + burst.size()), capacity);
  ASSERT_LT(burst.size(), std::size_t{PIPE_BUF});  // one piece for the relay

  const auto wait_until_queued = [&](int least) {
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (Queued(real.ends[0]) < least && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return Queued(real.ends[0]);
  };
  ASSERT_EQ(::write(fd, first.data(), first.size()), static_cast<ssize_t>(first.size()));
  ASSERT_EQ(wait_until_queued(static_cast<int>(first.size())), static_cast<int>(first.size()));
  ASSERT_EQ(::write(fd, burst.data(), burst.size()), static_cast<ssize_t>(burst.size()));
  EXPECT_GE(wait_until_queued(capacity - line), capacity - line);

  EXPECT_EQ(ReadUntil(real.ends[0], Numbered(44) + "\n"), first + burst);
  ::close(fd);
}

// A stream that takes all it is given, and relay threads a busy machine
// runs late: a settle that allows no stall at all still waits for them
// and returns once every byte has been passed on, round after round.
TEST(StreamRelay, ASettleWaitsForTheRelaysOwnThreadsWhileTheStreamTakes) {
  constexpr int kRoom = 256 * 1024;
  Pipe real;
  ASSERT_GE(::fcntl(real.ends[1], F_SETPIPE_SZ, kRoom), kRoom);
  const int fd = ::fcntl(real.ends[1], F_DUPFD_CLOEXEC, 3);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(platform::RelayStreams({fd}));
  std::string lines;
  for (int n = 0; static_cast<int>(lines.size()) < kRoom / 2; ++n) lines += Numbered(n) + "\n";
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(::write(fd, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    ASSERT_TRUE(platform::SettleRelayedStreams(PatienceMs(), 0));
    ASSERT_EQ(Queued(real.ends[0]), static_cast<int>(lines.size()));
    std::string got(lines.size(), '\0');
    ASSERT_EQ(::read(real.ends[0], got.data(), got.size()), static_cast<ssize_t>(got.size()));
    EXPECT_EQ(got, lines);
  }
  ::close(fd);
}

// Descriptors naming one pipe share a relay and keep the order of their
// lines; a regular file is written as it was; a descriptor is relayed once.
TEST(StreamRelay, DescriptorsOfOnePipeShareARelayAndFilesAreLeftAlone) {
  Pipe real;
  const int out = ::fcntl(real.ends[1], F_DUPFD_CLOEXEC, 3);
  const int err = ::fcntl(real.ends[1], F_DUPFD_CLOEXEC, 3);
  testsupport::TempDir folder;
  const std::string path = folder.path().string() + "/log";
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(file, 0);
  const ino_t file_inode = InodeOf(file);
  ASSERT_TRUE(platform::RelayStreams({out, err, file}));
  EXPECT_EQ(InodeOf(out), InodeOf(err));
  EXPECT_EQ(InodeOf(file), file_inode);
  const ino_t relayed = InodeOf(out);
  ASSERT_TRUE(platform::RelayStreams({out}));
  EXPECT_EQ(InodeOf(out), relayed);

  WriteLine(out, "one");
  WriteLine(err, "two");
  WriteLine(out, "three");
  EXPECT_EQ(ReadUntil(real.ends[0], "three\n"), "one\ntwo\nthree\n");
  platform::SettleRelayedStreams();
  for (int fd : {out, err, file}) ::close(fd);
}

}  // namespace
