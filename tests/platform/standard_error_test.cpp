#include "platform/standard_error.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

// Standard error on `fd` while it lives; the test's own back after.
class StandardErrorOn {
 public:
  explicit StandardErrorOn(int fd) : kept_(::dup(2)) {
    std::fflush(stderr);
    ::dup2(fd, 2);
  }
  ~StandardErrorOn() {
    ::dup2(kept_, 2);
    ::close(kept_);
  }

 private:
  int kept_;
};

std::string ReadAll(int fd) {
  std::string got;
  int pending = 0;
  while (::ioctl(fd, FIONREAD, &pending) == 0 && pending > 0) {
    std::string piece(static_cast<std::size_t>(pending), '\0');
    const ssize_t n = ::read(fd, piece.data(), piece.size());
    if (n <= 0) break;
    got.append(piece, 0, static_cast<std::size_t>(n));
  }
  return got;
}

// A pipe nobody reads, filled to the last byte: the line gives up and the
// caller goes on. Once a page is read, the next line goes whole.
TEST(StandardError, ALineWaitsForAFullPipeOnlyForItsBound) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
  const std::string filler(4096, 'x');
  while (::write(ends[1], filler.data(), filler.size()) > 0) {
  }
  ::fcntl(ends[1], F_SETFL, 0);
  {
    const StandardErrorOn redirected(ends[1]);
    EXPECT_FALSE(platform::SayOnStandardError("nobody reads this\n", 50));
    char page[4096];
    ASSERT_EQ(::read(ends[0], page, sizeof page), static_cast<ssize_t>(sizeof page));
    EXPECT_TRUE(platform::SayOnStandardError("read at last\n", 50));
  }
  ::close(ends[1]);
  const std::string got = ReadAll(ends[0]);
  ::close(ends[0]);
  EXPECT_EQ(got.find("nobody reads this"), std::string::npos);
  EXPECT_EQ(got.substr(got.size() - 13), "read at last\n");
}

// A file is written where the stream stands, after what it holds, not from
// its start as a descriptor opened afresh would.
TEST(StandardError, AFileGetsTheLineAfterWhatItHolds) {
  testsupport::TempDir folder;
  const std::string path = folder.path().string() + "/err.txt";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "first\n", 6), 6);
  {
    const StandardErrorOn redirected(fd);
    EXPECT_TRUE(platform::SayOnStandardError("second\n"));
  }
  ::close(fd);
  const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(in, 0);
  char text[64] = {};
  EXPECT_EQ(::read(in, text, sizeof text), 13);
  ::close(in);
  EXPECT_STREQ(text, "first\nsecond\n");
}

}  // namespace
