#include "platform/thread_host.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>

namespace platform {

struct ThreadControl {
  std::mutex mutex;
  std::condition_variable done_changed;
  bool done = false;
  std::uint32_t exit_code = 0;
  std::atomic<bool> stop_requested{false};
  ThreadHost::Body body;
};

namespace {

thread_local const std::atomic<bool>* t_stop_requested = nullptr;

void ThreadMain(std::shared_ptr<ThreadControl> control) {
  t_stop_requested = &control->stop_requested;
  const std::uint32_t exit_code = control->body();
  t_stop_requested = nullptr;
  {
    std::lock_guard<std::mutex> lock(control->mutex);
    control->done = true;
    control->exit_code = exit_code;
  }
  control->done_changed.notify_all();
}

}  // namespace

ThreadHost::ThreadHost() = default;

ThreadHost::~ThreadHost() { End(kEndLimitMs); }

bool ThreadHost::Start(Body body) {
  if (control_ != nullptr) return false;
  auto control = std::make_shared<ThreadControl>();
  control->body = std::move(body);
  try {
    thread_ = std::thread(ThreadMain, control);
  } catch (const std::system_error&) {
    return false;
  }
  control_ = std::move(control);
  return true;
}

bool ThreadHost::Started() const { return control_ != nullptr; }

bool ThreadHost::Done() const {
  if (control_ == nullptr) return false;
  std::lock_guard<std::mutex> lock(control_->mutex);
  return control_->done;
}

bool ThreadHost::WaitDone(std::uint32_t timeout_ms) const {
  if (control_ == nullptr) return false;
  std::unique_lock<std::mutex> lock(control_->mutex);
  const auto done = [this] { return control_->done; };
  if (timeout_ms == kWaitForever) {
    control_->done_changed.wait(lock, done);
    return true;
  }
  return control_->done_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
}

std::uint32_t ThreadHost::ExitCode() const {
  if (control_ == nullptr) return 0;
  std::lock_guard<std::mutex> lock(control_->mutex);
  return control_->exit_code;
}

void ThreadHost::RequestStop() {
  if (control_ != nullptr) control_->stop_requested.store(true);
}

bool ThreadHost::End(std::uint32_t limit_ms) {
  if (!thread_.joinable()) return true;
  RequestStop();
  if (thread_.get_id() == std::this_thread::get_id()) {
    // A thread cannot wait for itself; it ends when its body returns.
    thread_.detach();
    return false;
  }
  if (WaitDone(limit_ms)) {
    thread_.join();
    return true;
  }
  thread_.detach();
  return false;
}

void ThreadHost::Detach() {
  if (thread_.joinable()) thread_.detach();
}

bool ThreadHost::StopRequested() { return t_stop_requested != nullptr && t_stop_requested->load(); }

}  // namespace platform
