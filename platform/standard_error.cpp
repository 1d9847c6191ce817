#include "platform/standard_error.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform {
namespace {

std::uint64_t MilliNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

// Standard error as a descriptor whose writes never block, where it can be
// had: a pipe or device opened afresh, so that the flag is ours alone and
// not that of the parent or of a thread writing there; a socket is sent to
// without waiting.
struct Target {
  int fd = 2;
  bool own = false;
  bool socket = false;
  // Neither: a write may block, so it waits for room first.
  bool may_block = false;

  Target() {
    struct stat stream {};
    if (::fstat(2, &stream) != 0) return;
    socket = S_ISSOCK(stream.st_mode);
    if (!S_ISFIFO(stream.st_mode) && !S_ISCHR(stream.st_mode)) return;
    const int opened = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (opened >= 0) {
      fd = opened;
      own = true;
    } else {
      may_block = true;
    }
  }
  ~Target() {
    if (own) ::close(fd);
  }
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;

  ssize_t Write(const char* data, std::size_t count) const {
    return socket ? ::send(fd, data, count, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(fd, data, count);
  }
};

// Waits for room until the deadline; false when none came.
bool Room(int fd, std::uint64_t until) {
  for (;;) {
    const std::uint64_t now = MilliNow();
    if (now >= until) return false;
    pollfd ready{fd, POLLOUT, 0};
    const int got = ::poll(&ready, 1, static_cast<int>(until - now));
    if (got > 0) return (ready.revents & POLLOUT) != 0;
    if (got == 0 || errno != EINTR) return false;
  }
}

}  // namespace

bool SayOnStandardError(std::string_view text, std::uint32_t most_ms) {
  const std::uint64_t until = MilliNow() + most_ms;
  const Target target;
  std::size_t at = 0;
  while (at < text.size()) {
    if (target.may_block && !Room(target.fd, until)) break;
    const ssize_t n = target.Write(text.data() + at, text.size() - at);
    if (n > 0) {
      at += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || !Room(target.fd, until)) {
      break;
    }
  }
  return at == text.size();
}

void FlushStandardErrorIfFree() {
  if (::ftrylockfile(stderr) != 0) return;
  std::fflush(stderr);
  ::funlockfile(stderr);
}

}  // namespace platform
