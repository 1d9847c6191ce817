#include "platform/thread_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/clock.h"
#include "tests/support/wait_until.h"

namespace {

bool Eventually(const std::atomic<bool>& flag) {
  return testsupport::WaitUntil([&] { return flag.load(); });
}

// Ending a thread asks it: its loop sees the request, leaves its locks and
// returns, and every destructor on the way runs.
TEST(ThreadHost, EndAsksTheBodyWhichReturnsThroughItsDestructors) {
  std::mutex lock;
  std::atomic<bool> running{false};
  std::atomic<int> unwound{0};
  struct Unwinds {
    std::atomic<int>* count;
    ~Unwinds() { ++*count; }
  };
  EXPECT_FALSE(platform::ThreadHost::StopRequested());  // not a hosted thread
  platform::ThreadHost host;
  ASSERT_TRUE(host.Start([&]() -> std::uint32_t {
    Unwinds unwinds{&unwound};
    while (!platform::ThreadHost::StopRequested()) {
      std::lock_guard<std::mutex> hold(lock);
      running = true;
    }
    return 7;
  }));
  ASSERT_TRUE(Eventually(running));
  ASSERT_TRUE(host.End(platform::kWaitForever));
  EXPECT_EQ(host.ExitCode(), 7u);
  EXPECT_EQ(unwound, 1);
  EXPECT_TRUE(lock.try_lock()) << "the ended thread kept its lock";
  lock.unlock();
}

// Sets its flag when the thread's shared state is finally freed.
struct FreedMarker {
  explicit FreedMarker(std::atomic<bool>* flag) : freed(flag) {}
  ~FreedMarker() { *freed = true; }
  std::atomic<bool>* freed;
};

TEST(ThreadHost, AThreadThatDoesNotStopIsDetachedAndOutlivesItsHostSafely) {
  std::atomic<bool> holding{false};
  std::atomic<bool> release{false};
  std::atomic<bool> saw_request{false};
  std::atomic<bool> freed{false};
  {
    auto marker = std::make_shared<FreedMarker>(&freed);
    platform::ThreadHost host;
    ASSERT_TRUE(host.Start([&, marker]() -> std::uint32_t {
      holding = true;
      while (!release) platform::SleepMs(1);
      saw_request = platform::ThreadHost::StopRequested();
      return 0;
    }));
    marker.reset();
    ASSERT_TRUE(Eventually(holding));
    EXPECT_FALSE(host.End(0));  // gave up and detached
  }
  EXPECT_FALSE(freed);
  release = true;  // the thread now ends and writes into its shared state
  EXPECT_TRUE(Eventually(freed));
  EXPECT_TRUE(saw_request);
}

}  // namespace
