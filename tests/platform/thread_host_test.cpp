#include "platform/thread_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <memory>
#include <pthread.h>

#include "platform/clock.h"
#include "platform/fault_guard.h"

namespace {

// Polls until flag is set, at most about five seconds.
bool Eventually(const std::atomic<bool>& flag) {
  for (int i = 0; i < 5000 && !flag.load(); ++i) platform::SleepMs(1);
  return flag.load();
}

TEST(ThreadHost, EndWaitsUntilTheLastBlockerIsGone) {
  std::atomic<bool> holding{false};
  std::atomic<bool> release{false};
  std::atomic<bool> ran_past_blocker{false};
  std::atomic<int> inner_scopes_left{0};
  platform::ThreadHost host;
  ASSERT_TRUE(host.Start([&]() -> std::uint32_t {
    {
      platform::TerminationBlocker outer;
      {
        platform::TerminationBlocker inner;
        holding = true;
        while (!release) platform::SleepMs(1);
      }
      ++inner_scopes_left;  // still held by the outer blocker
    }
    ran_past_blocker = true;
    for (;;) platform::SleepMs(1);
  }));
  ASSERT_TRUE(Eventually(holding));

  std::atomic<bool> ended{false};
  platform::ThreadHost ender;
  ASSERT_TRUE(ender.Start([&]() -> std::uint32_t {
    ended = host.End(10000);
    return 0;
  }));
  EXPECT_FALSE(ender.WaitDone(50));  // deferred while the lock would be held
  release = true;
  ASSERT_TRUE(ender.WaitDone(platform::kWaitForever));
  EXPECT_TRUE(ended);
  EXPECT_EQ(inner_scopes_left, 1);
  EXPECT_FALSE(ran_past_blocker);
}

// Sets its flag when the thread's shared state is finally freed.
struct FreedMarker {
  explicit FreedMarker(std::atomic<bool>* flag) : freed(flag) {}
  ~FreedMarker() { *freed = true; }
  std::atomic<bool>* freed;
};

TEST(ThreadHost, DetachedThreadOutlivesItsHostSafely) {
  std::atomic<bool> holding{false};
  std::atomic<bool> release{false};
  std::atomic<bool> freed{false};
  {
    auto marker = std::make_shared<FreedMarker>(&freed);
    platform::ThreadHost host;
    ASSERT_TRUE(host.Start([&, marker]() -> std::uint32_t {
      platform::TerminationBlocker hold;
      holding = true;
      while (!release) platform::SleepMs(1);
      return 0;
    }));
    marker.reset();
    ASSERT_TRUE(Eventually(holding));
    EXPECT_FALSE(host.End(20));  // gave up and detached
  }
  EXPECT_FALSE(freed);
  release = true;  // the thread now ends and writes into its shared state
  EXPECT_TRUE(Eventually(freed));
}

TEST(ThreadHost, EndSignalThatNobodyAskedForIsIgnored) {
  std::atomic<bool> running{false};
  std::atomic<bool> release{false};
  pthread_t thread{};
  platform::ThreadHost host;
  ASSERT_TRUE(host.Start([&]() -> std::uint32_t {
    thread = pthread_self();
    running = true;
    while (!release) platform::SleepMs(1);
    return 5;
  }));
  ASSERT_TRUE(Eventually(running));
  pthread_kill(thread, platform::ThreadEndSignal());
  raise(platform::ThreadEndSignal());  // a thread with no host at all
  platform::SleepMs(10);
  release = true;
  ASSERT_TRUE(host.WaitDone(platform::kWaitForever));
  EXPECT_EQ(host.ExitCode(), 5u);
  EXPECT_FALSE(host.WasEnded());
}

}  // namespace
