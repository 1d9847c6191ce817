#include "control/messages/message_collector.h"

#include "control/managers/subsystem_manager.h"
#include "framework/servers/sending.h"

namespace {
SputMessageCollector* g_instance = nullptr;
}  // namespace

SputMessageCollector::SputMessageCollector(std::FILE* dialog) : dialog_(dialog) {
  g_instance = this;
  SetMessageCollector(this);
}

SputMessageCollector::~SputMessageCollector() {
  if (g_instance != this) return;
  g_instance = nullptr;
  // Waits for a message being printed, so no line arrives after this.
  SetMessageCollector(nullptr);
}

SputMessageCollector* SputMessageCollector::Instance() { return g_instance; }

std::uint32_t SputMessageCollector::AddText(const char* text) {
  platform::CriticalSectionLock hold(lock_);
  current_.emplace_back(text != nullptr ? text : "");
  return 0;
}

std::uint32_t SputMessageCollector::EndGroup(Status status) {
  // The count is read under the lock: another thread may be adding lines.
  platform::CriticalSectionLock hold(lock_);
  if (current_.empty()) return 0;
  // The master exists exactly while the problem manager does.
  if (status::IsFailure(status) && GetMasterManager() != nullptr && dialog_ != nullptr) {
    for (const std::string& text : current_) std::fprintf(dialog_, "Dialog: %s\n", text.c_str());
    std::fflush(dialog_);
  }
  finished_.push_back(Group{status, std::move(current_)});
  current_.clear();
  return 0;
}

Status SputMessageCollector::ClearGroups() {
  platform::CriticalSectionLock hold(lock_);
  finished_.clear();
  return status::kOk;
}

Status SputMessageCollector::SendGroups() {
  // Taken out under the lock and posted after it: the controller may print,
  // and printing comes back here.
  std::vector<Group> sending;
  {
    platform::CriticalSectionLock hold(lock_);
    sending.swap(finished_);
  }
  if (sending.empty()) return status::kOk;
  std::vector<std::uint32_t> statuses;
  std::vector<std::uint32_t> counts;
  std::vector<std::vector<const char*>> lines(sending.size());
  std::vector<const char* const*> groups;
  for (std::size_t i = 0; i < sending.size(); ++i) {
    statuses.push_back(sending[i].status);
    counts.push_back(static_cast<std::uint32_t>(sending[i].texts.size()));
    for (const std::string& text : sending[i].texts) lines[i].push_back(text.c_str());
    groups.push_back(lines[i].data());
  }
  // The controller queues what it cannot send yet; groups kept after a
  // failed post would only pile up, so they go either way.
  return DsePostEvent(kEventCode, static_cast<std::int32_t>(sending.size()), statuses.data(),
                      counts.data(), groups.data());
}

std::int32_t SputMessageCollector::GroupCount() {
  platform::CriticalSectionLock hold(lock_);
  return static_cast<std::int32_t>(finished_.size());
}
