#include "platform/stream_relay.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/thread_host.h"

namespace platform {
namespace {

// What one read or write moves at most.
constexpr std::size_t kPiece = 64 * 1024;
constexpr int kMostRelays = 4;

struct Relay {
  int from = -1;       // the read end of the process's own pipe
  int write_end = -1;  // its write end, kept for descriptors that share it
  int to = -1;         // the real stream
  int pipe_size = 0;   // its capacity when it is a pipe
  dev_t device = 0;    // and what it is, to find descriptors that share it
  ino_t inode = 0;
  const char* name = "";
  std::size_t most = 0;

  std::mutex mutex;
  std::condition_variable filled;
  // Taken from the pipe and not yet written on: held[held_from, end).
  std::string held;
  std::size_t held_from = 0;
  bool ends_line = true;
  std::uint64_t lines_dropped = 0;
  std::uint64_t bytes_dropped = 0;
  // The real stream failed: what comes is dropped.
  bool broken = false;

  // For SettleRelayedStreams, which may not lock: bytes read from the pipe
  // and not yet held, held or being written, and the bytes moved so far.
  std::atomic<std::size_t> in_hand{0};
  std::atomic<std::size_t> unwritten{0};
  std::atomic<std::uint64_t> moved{0};
  // The writer's thread, and whether it is inside a write to the stream:
  // only a writer asleep there waits on the stream's reader.
  std::atomic<long> writer_tid{0};
  std::atomic<bool> writing{false};

  ThreadHost reader;
  ThreadHost writer;
};

// Relays are never freed: their threads run until the process ends.
Relay* g_relays[kMostRelays] = {};
std::atomic<int> g_relay_count{0};
std::atomic<std::uint64_t> g_lines_dropped{0};
std::mutex g_setup;

std::uint64_t LinesIn(const char* data, std::size_t count) {
  const auto lines = static_cast<std::uint64_t>(std::count(data, data + count, '\n'));
  return std::max<std::uint64_t>(lines, 1);
}

// Under the relay's lock: keeps what was read, or drops it when it does
// not fit; the line telling of a drop goes first once there is room.
void Hold(Relay& relay, const char* data, std::size_t count) {
  std::size_t held = relay.held.size() - relay.held_from;
  auto drop = [&] {
    const std::uint64_t lines = LinesIn(data, count);
    relay.lines_dropped += lines;
    relay.bytes_dropped += count;
    g_lines_dropped.fetch_add(lines);
  };
  if (relay.broken) return drop();
  std::string told;
  if (relay.bytes_dropped > 0) {
    told = std::string(relay.ends_line ? "" : "\n") +
           "vantor: " + std::to_string(relay.lines_dropped) + " lines written to " + relay.name +
           " were dropped: its reader did not take them in time\n";
  }
  if (held + told.size() + count > relay.most) return drop();
  if (!told.empty()) {
    relay.lines_dropped = relay.bytes_dropped = 0;
    relay.held += told;
    held += told.size();
  }
  if (relay.held_from > relay.most) {
    relay.held.erase(0, relay.held_from);
    relay.held_from = 0;
  }
  relay.held.append(data, count);
  relay.ends_line = data[count - 1] == '\n';
  relay.unwritten.fetch_add(told.size() + count);
  relay.filled.notify_one();
}

std::uint32_t ReadOn(Relay& relay) {
  std::string piece(kPiece, '\0');
  for (;;) {
    const ssize_t n = ::read(relay.from, piece.data(), piece.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    const auto count = static_cast<std::size_t>(n);
    relay.in_hand.store(count);
    {
      std::lock_guard<std::mutex> lock(relay.mutex);
      Hold(relay, piece.data(), count);
    }
    relay.moved.fetch_add(count);
    relay.in_hand.store(0);
  }
}

// How much of `size` bytes at `data` to write at once: a pipe whose reader
// has stopped takes a write only whole while its last page has room for
// it, so a piece larger than the room left would wait with all its lines
// although most of them fit. Such a piece goes in whole lines that fit.
std::size_t FittingPart(const Relay& relay, const char* data, std::size_t size) {
  if (relay.pipe_size <= 0) return size;
  int queued = 0;
  if (::ioctl(relay.to, FIONREAD, &queued) != 0 || queued >= relay.pipe_size) return size;
  const auto room = static_cast<std::size_t>(relay.pipe_size - queued);
  if (size <= room) return size;
  const std::size_t last = std::string_view(data, room).rfind('\n');
  return last != std::string_view::npos ? last + 1 : size;
}

// Writes all of it; false when the stream fails.
bool WriteAll(Relay& relay, const std::string& piece) {
  for (std::size_t at = 0; at < piece.size();) {
    const std::size_t part = FittingPart(relay, piece.data() + at, piece.size() - at);
    relay.writing.store(true);
    const ssize_t n = ::write(relay.to, piece.data() + at, part);
    relay.writing.store(false);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    const auto count = static_cast<std::size_t>(n);
    at += count;
    relay.moved.fetch_add(count);
    relay.unwritten.fetch_sub(count);
  }
  return true;
}

std::uint32_t WriteOn(Relay& relay) {
  relay.writer_tid.store(static_cast<long>(::syscall(SYS_gettid)));
  std::string piece;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(relay.mutex);
      relay.filled.wait(lock, [&] { return relay.held.size() > relay.held_from; });
      const std::size_t count = std::min(relay.held.size() - relay.held_from, kPiece);
      piece.assign(relay.held, relay.held_from, count);
      relay.held_from += count;
      if (relay.held_from == relay.held.size()) {
        relay.held.clear();
        relay.held_from = 0;
      }
    }
    // Only here may the process wait on the stream.
    if (WriteAll(relay, piece)) continue;
    std::lock_guard<std::mutex> lock(relay.mutex);
    relay.broken = true;
    relay.held.clear();
    relay.held_from = 0;
    relay.unwritten.store(0);
    return 1;
  }
}

// Starts a thread with every signal blocked: the signals the process
// handles go to the threads that wait for them.
bool StartQuiet(ThreadHost& host, ThreadHost::Body body) {
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  const bool started = host.Start(std::move(body));
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (started) host.Detach();
  return started;
}

Relay* Sharing(const struct stat& stream) {
  for (int i = 0; i < g_relay_count.load(); ++i) {
    Relay* relay = g_relays[i];
    if (relay->device == stream.st_dev && relay->inode == stream.st_ino) return relay;
  }
  return nullptr;
}

bool Relayed(int fd) {
  struct stat now {};
  if (::fstat(fd, &now) != 0) return false;
  for (int i = 0; i < g_relay_count.load(); ++i) {
    struct stat pipe {};
    if (::fstat(g_relays[i]->write_end, &pipe) == 0 && pipe.st_dev == now.st_dev &&
        pipe.st_ino == now.st_ino)
      return true;
  }
  return false;
}

Relay* MakeRelay(int fd, const struct stat& stream, std::size_t most) {
  if (g_relay_count.load() == kMostRelays) return nullptr;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return nullptr;
  const int to = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (to < 0) {
    ::close(ends[0]);
    ::close(ends[1]);
    return nullptr;
  }
  auto* relay = new Relay;
  relay->from = ends[0];
  relay->write_end = ends[1];
  relay->to = to;
  relay->pipe_size = S_ISFIFO(stream.st_mode) ? ::fcntl(to, F_GETPIPE_SZ) : 0;
  relay->device = stream.st_dev;
  relay->inode = stream.st_ino;
  relay->name = fd == 2 ? "standard error" : "standard output";
  relay->most = most;
  if (!StartQuiet(relay->writer, [relay] { return WriteOn(*relay); })) {
    ::close(ends[0]);
    ::close(ends[1]);
    ::close(to);
    delete relay;
    return nullptr;
  }
  if (!StartQuiet(relay->reader, [relay] { return ReadOn(*relay); })) {
    // The writer waits on for ever for bytes that never come: it and the
    // relay stay.
    ::close(ends[0]);
    ::close(ends[1]);
    return nullptr;
  }
  g_relays[g_relay_count.load()] = relay;
  g_relay_count.fetch_add(1);
  return relay;
}

void SettleAtExit() {
  std::fflush(stdout);
  std::fflush(stderr);
  SettleRelayedStreams();
}

std::uint64_t MilliNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

// The writer sleeps inside a write to the stream: the stream's reader, not
// the scheduler, holds it. Only what a signal handler may call. Without
// /proc a writer inside a write counts as held.
bool HeldBackByItsStream(const Relay& relay) {
  if (!relay.writing.load()) return false;
  const long tid = relay.writer_tid.load();
  if (tid <= 0) return true;
  char path[48] = "/proc/self/task/";
  std::size_t at = std::strlen(path);
  char digits[24];
  std::size_t n = 0;
  for (long rest = tid; rest > 0 && n < sizeof digits; rest /= 10)
    digits[n++] = static_cast<char>('0' + rest % 10);
  while (n > 0) path[at++] = digits[--n];
  std::memcpy(path + at, "/stat", 6);
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  char stat[512];
  const ssize_t got = ::read(fd, stat, sizeof stat - 1);
  ::close(fd);
  if (got <= 0) return true;
  stat[got] = '\0';
  // "tid (name) S ...": the name may hold spaces and parentheses.
  const char* close = std::strrchr(stat, ')');
  if (close == nullptr || close[1] != ' ' || close[2] == '\0') return true;
  return close[2] == 'S' || close[2] == 'D';
}

}  // namespace

bool RelayStreams(const std::vector<int>& fds, std::size_t most_held) {
  std::lock_guard<std::mutex> lock(g_setup);
  const bool first = g_relay_count.load() == 0;
  bool all = true;
  for (const int fd : fds) {
    struct stat stream {};
    if (::fstat(fd, &stream) != 0 || S_ISREG(stream.st_mode) || Relayed(fd)) continue;
    const bool terminal = ::isatty(fd) != 0;
    Relay* relay = Sharing(stream);
    if (relay == nullptr) relay = MakeRelay(fd, stream, most_held);
    if (relay == nullptr || ::dup2(relay->write_end, fd) < 0) {
      all = false;
      continue;
    }
    // A pipe in its place would make standard output fully buffered.
    if (terminal && fd == 1) std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  }
  if (first && g_relay_count.load() > 0) std::atexit(SettleAtExit);
  return all;
}

bool SettleRelayedStreams(std::uint32_t most_ms, std::uint32_t stall_ms) {
  const int count = g_relay_count.load();
  if (count == 0) return true;
  const std::uint64_t start = MilliNow();
  std::uint64_t stalled_since = start;
  std::uint64_t moved = 0;
  int quiet = 0;
  for (;;) {
    bool idle = true;
    bool held_back = true;
    std::uint64_t now_moved = 0;
    for (int i = 0; i < count; ++i) {
      const Relay& relay = *g_relays[i];
      int pending = 0;
      if (::ioctl(relay.from, FIONREAD, &pending) != 0) pending = 0;
      if (pending > 0 || relay.in_hand.load() > 0 || relay.unwritten.load() > 0) {
        idle = false;
        held_back = held_back && HeldBackByItsStream(relay);
      }
      now_moved += relay.moved.load();
    }
    // Twice in a row: a piece just read may not be counted in hand yet.
    quiet = idle ? quiet + 1 : 0;
    if (quiet == 2) return true;
    const std::uint64_t now = MilliNow();
    // Only a stream that takes nothing stalls: a relay thread the
    // scheduler has not run yet is waited for, up to most_ms.
    const bool stalled = !idle && held_back && now_moved == moved;
    if (!stalled) stalled_since = now;
    moved = now_moved;
    if (now - start >= most_ms || (stalled && now - stalled_since >= stall_ms)) return false;
    const timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
}

std::uint64_t RelayedLinesDropped() { return g_lines_dropped.load(); }

}  // namespace platform
