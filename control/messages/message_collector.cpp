#include "control/messages/message_collector.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "control/managers/subsystem_manager.h"
#include "foundation/messages/su_repeats.h"
#include "framework/servers/sending.h"

namespace {

SputMessageCollector* g_instance = nullptr;

// A line's length prefix (24 bits) and closing NUL come with it.
constexpr std::size_t kLineOverhead = 4;
// Lines one event may carry (a 16-bit count).
constexpr std::size_t kMostEventLines = 0xFFFF;

std::size_t WireBytes(const std::vector<std::string>& texts) {
  std::size_t bytes = 0;
  for (const std::string& text : texts) bytes += text.size() + kLineOverhead;
  return bytes;
}

}  // namespace

void SputMessageCollector::TellCount(std::vector<Group>* into, std::string line) {
  std::vector<std::string> told = {std::move(line)};
  const std::size_t bytes = WireBytes(told);
  into->push_back(Group{status::kOk, bytes, std::move(told), 0});
}

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
  std::vector<std::string> texts;
  bool shown = false;
  {
    // The lines are taken under the lock: another thread may be adding.
    platform::CriticalSectionLock hold(lock_);
    if (current_.empty()) return 0;
    texts.swap(current_);
    shown = Keep(status, texts);
  }
  if (shown) ShowInDialog(texts);
  return 0;
}

void SputMessageCollector::AddGroup(Status status, std::vector<std::string> texts) {
  bool shown = false;
  {
    platform::CriticalSectionLock hold(lock_);
    if (texts.empty()) return;
    shown = Keep(status, texts);
  }
  if (shown) ShowInDialog(texts);
}

bool SputMessageCollector::Keep(Status status, std::vector<std::string>& texts) {
  const bool failure = status::IsFailure(status);
  if (!SuTellLines(texts, failure)) return false;
  const std::size_t bytes = WireBytes(texts);
  // How a piece of work ended is held with the failures, and never dropped:
  // its lines are few for the model, each told once a command.
  const bool outcome = SuOutcomeLines::Open();
  Held& held = failure || outcome ? failed_ : ordinary_;
  if (failure && !outcome) {
    // Only the memory bounds them. A group alone may pass a bound: its
    // lines come from one report.
    if (held.bytes > 0 && held.bytes + bytes > kMostHeldBytes) {
      dropped_lines_ += texts.size();
      return false;
    }
  } else if (!outcome) {
    // The oldest give way: the newest say how a flood ended.
    const std::size_t most = waiting_ ? kMostHeldWhileWaiting : kMostHeldBytes;
    while (!held.groups.empty() && held.bytes + bytes > most) {
      dropped_lines_ += held.groups.front().texts.size();
      held.bytes -= held.groups.front().bytes;
      held.groups.pop_front();
    }
  }
  held.bytes += bytes;
  // The master exists exactly while the problem manager does.
  const bool shown = failure && GetMasterManager() != nullptr && dialog_ != nullptr;
  held.groups.push_back(Group{status, bytes, shown ? texts : std::move(texts), finished_count_++,
                              outcome, outcome ? SuWorkNumber() : 0});
  return shown;
}

void SputMessageCollector::ShowInDialog(const std::vector<std::string>& texts) {
  // Outside the lock: a dialog nobody reads may block its writer, never
  // the server thread that sends the groups.
  for (const std::string& text : texts) std::fprintf(dialog_, "Dialog: %s\n", text.c_str());
  std::fflush(dialog_);
}

Status SputMessageCollector::ClearGroups() {
  platform::CriticalSectionLock hold(lock_);
  ordinary_ = Held{};
  failed_ = Held{};
  later_ = Held{};
  dropped_lines_ = 0;
  replaced_lines_ = 0;
  return status::kOk;
}

Status SputMessageCollector::SendGroups() { return Send(false, false); }

Status SputMessageCollector::SendGroupsNow() { return Send(true, false); }

Status SputMessageCollector::SendGroupsAtEnd() { return Send(true, true); }

void SputMessageCollector::HoldLaterOutcomes() {
  for (auto at = failed_.groups.begin(); at != failed_.groups.end();) {
    if (!at->outcome || at->work == posted_work_) {
      ++at;
      continue;
    }
    if (!later_.groups.empty() && later_.groups.front().work != at->work) {
      for (const Group& replaced : later_.groups) replaced_lines_ += replaced.texts.size();
      later_ = Held{};
    }
    failed_.bytes -= at->bytes;
    later_.bytes += at->bytes;
    later_.groups.push_back(std::move(*at));
    at = failed_.groups.erase(at);
  }
}

void SputMessageCollector::ReleaseLaterOutcomes() {
  if (later_.groups.empty()) return;
  std::deque<Group> merged;
  std::merge(std::make_move_iterator(later_.groups.begin()),
             std::make_move_iterator(later_.groups.end()),
             std::make_move_iterator(failed_.groups.begin()),
             std::make_move_iterator(failed_.groups.end()), std::back_inserter(merged),
             [](const Group& a, const Group& b) { return a.order < b.order; });
  failed_.groups.swap(merged);
  failed_.bytes += later_.bytes;
  later_ = Held{};
}

void SputMessageCollector::TakeOldest(bool all, std::vector<Group>* into) {
  std::size_t bytes = 0;
  for (std::size_t taken = 0;; ++taken) {
    Held* from = ordinary_.groups.empty() ? nullptr : &ordinary_;
    if (!failed_.groups.empty() &&
        (from == nullptr || failed_.groups.front().order < from->groups.front().order))
      from = &failed_;
    if (from == nullptr) return;
    Group& next = from->groups.front();
    if (!all && taken > 0 && bytes + next.bytes > kMostSentAtOnce) return;
    bytes += next.bytes;
    from->bytes -= next.bytes;
    into->push_back(std::move(next));
    from->groups.pop_front();
  }
}

Status SputMessageCollector::Send(bool all, bool held_too) {
  {
    platform::CriticalSectionLock hold(lock_);
    if (ordinary_.groups.empty() && failed_.groups.empty() && later_.groups.empty() &&
        dropped_lines_ == 0)
      return status::kOk;
  }
  // Lines behind output the client has not taken would only lengthen the
  // wait of everything after them (a reply, a stop): they stay here, and
  // no more go at once than the connection of a reader takes in one read.
  const bool waiting = DseOutputWaiting();
  // Nothing waiting for the client: it has taken them, whatever a peer
  // that keeps no pace (a monitor that stopped reading) still holds.
  const bool outcome_taken = held_too || !waiting || posted_mark_.Left();
  // Taken out under the lock and posted after it: the controller may print,
  // and printing comes back here.
  std::vector<Group> finished;
  {
    platform::CriticalSectionLock hold(lock_);
    // Also while output waits: a later command's list replaces the one held.
    HoldLaterOutcomes();
    if (outcome_taken) ReleaseLaterOutcomes();
    if (!all && waiting) {
      waiting_ = true;
      return status::kOk;
    }
    // The lines dropped or replaced were older than those held: they are
    // told first.
    if (dropped_lines_ > 0) {
      TellCount(&finished, std::to_string(dropped_lines_) +
                               " message lines were dropped: they came faster than the client "
                               "took them");
      dropped_lines_ = 0;
    }
    if (outcome_taken && replaced_lines_ > 0) {
      TellCount(&finished, std::to_string(replaced_lines_) +
                               " outcome lines were replaced by those of a later command: the "
                               "client had not taken the ones before them");
      replaced_lines_ = 0;
    }
    TakeOldest(all, &finished);
  }
  if (finished.empty()) return status::kOk;
  return Post(std::move(finished));
}

Status SputMessageCollector::Post(std::vector<Group> finished) {
  // The piece of work of the last outcome lines posted.
  bool outcome = false;
  for (const Group& group : finished) {
    if (!group.outcome) continue;
    outcome = true;
    posted_work_ = group.work;
  }
  std::vector<Group> sending;
  for (Group& group : finished) {
    Group* last = sending.empty() ? nullptr : &sending.back();
    if (last != nullptr && last->status == group.status &&
        last->texts.size() + group.texts.size() <= kMostEventLines) {
      for (std::string& text : group.texts) last->texts.push_back(std::move(text));
    } else {
      sending.push_back(std::move(group));
    }
  }
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
  // failed post would only pile up, so they go either way. The client has
  // taken the outcome lines once the post has left.
  DseSentMark mark;
  const Status posted = DsePostEvent(kEventCode, static_cast<std::int32_t>(sending.size()),
                                     statuses.data(), counts.data(), groups.data(), &mark);
  if (outcome) posted_mark_ = std::move(mark);
  // Output the post left waiting bounds what is held from now on.
  const bool left = DseOutputWaiting();
  platform::CriticalSectionLock hold(lock_);
  waiting_ = left;
  return posted;
}

std::int32_t SputMessageCollector::GroupCount() {
  platform::CriticalSectionLock hold(lock_);
  return static_cast<std::int32_t>(ordinary_.groups.size() + failed_.groups.size() +
                                   later_.groups.size());
}

std::size_t SputMessageCollector::HeldBytes() {
  platform::CriticalSectionLock hold(lock_);
  return ordinary_.bytes + failed_.bytes + later_.bytes;
}
