// A message collector for tests: keeps every line and every closed group so
// that a test can check what the printer handed on.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "foundation/messages/messages_handler.h"

namespace testsupport {

class CaptureSink : public QLNMessagesHandler {
 public:
  struct Group {
    Status status;
    std::vector<std::string> lines;
  };

  // Registers itself as the process-wide collector for its lifetime.
  CaptureSink() { SetMessageCollector(this); }
  ~CaptureSink() { SetMessageCollector(nullptr); }
  CaptureSink(const CaptureSink&) = delete;
  CaptureSink& operator=(const CaptureSink&) = delete;

  std::uint32_t AddText(const char* text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.emplace_back(text != nullptr ? text : "");
    all_lines_.emplace_back(text != nullptr ? text : "");
    return 0;
  }

  std::uint32_t EndGroup(Status s) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.empty()) return 0;  // a status with no text is dropped
    groups_.push_back({s, std::move(pending_)});
    pending_.clear();
    return 0;
  }

  std::vector<Group> groups() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return groups_;
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return all_lines_;
  }
  std::vector<std::string> pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    groups_.clear();
    pending_.clear();
    all_lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> pending_;
  std::vector<std::string> all_lines_;
  std::vector<Group> groups_;
};

}  // namespace testsupport
