#include "foundation/messages/su_repeats.h"

#include <algorithm>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "foundation/messages/su_print.h"

namespace {

using Group = std::vector<std::string>;

struct Repeats {
  std::mutex lock;
  // Open scopes, which count, and holds, which keep the counts between them.
  std::int32_t depth = 0;
  std::int32_t holds = 0;
  std::uint64_t work = 0;
  // By key: the report's first line and how often it was held back.
  std::map<std::string, std::pair<std::string, std::int32_t>> told;
  std::vector<std::string> order;
  // New reports held back once the keys were all taken, the newest of them
  // (they say how a flood ended), and the failures given keys beyond.
  std::int32_t unkept = 0;
  std::deque<Group> last_unkept;
  std::size_t failures_past = 0;
};

// This thread's open SuOutcomeLines, and whether it tells counts now: those
// lines are told outside the count.
thread_local std::int32_t t_outcome = 0;
thread_local bool t_telling_counts = false;

// Never destroyed, so that a scope ending at exit still finds it.
Repeats& State() {
  static auto* state = new Repeats;
  return *state;
}

void CountOne(std::int32_t* count) {
  if (*count < std::numeric_limits<std::int32_t>::max()) ++*count;
}

bool Blank(const std::string& line) {
  return std::all_of(line.begin(), line.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

void KeepNewest(std::deque<Group>& last, const Group& group) {
  const auto same = std::find(last.begin(), last.end(), group);
  if (same != last.end()) last.erase(same);
  last.push_back(group);
  if (last.size() > SuRepeatScope::kLastUnkept) last.pop_front();
}

// `group` is what the report says, kept when it is held back.
bool Tell(std::string key, const std::string& line, bool failure, const Group& group) {
  if (t_telling_counts) return true;
  Repeats& r = State();
  std::lock_guard<std::mutex> hold(r.lock);
  if (r.depth == 0) return true;
  auto at = r.told.find(key);
  if (at != r.told.end()) {
    CountOne(&at->second.second);
    return false;
  }
  // Beyond the keys a scope keeps, a new report cannot be told from a
  // repeat: all are held back and counted, so the lines stay bounded.
  // Failures, which say why the work ended, have keys of their own beyond,
  // and so has how the work ended, which is never held back: its lines are
  // few for the model (one for each indeterminate variable at most), and
  // work that solves many times tells them once, then counts them.
  if (r.told.size() >= SuRepeatScope::kMostKeys && t_outcome == 0) {
    if (!failure || r.failures_past >= SuRepeatScope::kMostFailureKeys) {
      CountOne(&r.unkept);
      KeepNewest(r.last_unkept, group);
      return false;
    }
    ++r.failures_past;
  }
  r.order.push_back(key);
  r.told.emplace(std::move(key), std::make_pair(line, 0));
  return true;
}

// What a piece of work repeated, taken from the state once nothing holds
// it any more, and told.
struct Ended {
  std::vector<std::pair<std::string, std::int32_t>> counts;
  std::int32_t unkept = 0;
  std::deque<Group> last;
};

// Under the lock.
Ended TakeEnded(Repeats& r) {
  Ended ended;
  for (const std::string& key : r.order) {
    const auto& [line, held] = r.told[key];
    if (held > 0) ended.counts.emplace_back(line, held);
  }
  r.told.clear();
  r.order.clear();
  ended.unkept = r.unkept;
  r.unkept = 0;
  ended.last.swap(r.last_unkept);
  r.failures_past = 0;
  return ended;
}

// Outside the lock: printing may report again.
void TellEnded(const Ended& ended) {
  for (const auto& [line, held] : ended.counts) {
    SuPrint(0, "The report \"%s\" was repeated %d more times", line.c_str(), &held);
  }
  if (ended.unkept == 0) return;
  const auto most = static_cast<std::int32_t>(SuRepeatScope::kMostKeys);
  SuPrint(0,
          "%d further reports were not told: beyond %d different reports a run tells only new "
          "failures. The last of them:",
          &ended.unkept, &most);
  for (const Group& group : ended.last) {
    std::string text;
    for (const std::string& line : group) text.append(text.empty() ? "" : "\n").append(line);
    SuPrint(0, "%s", text.c_str());
  }
}

}  // namespace

namespace {

void Enter(std::int32_t Repeats::*count) {
  Repeats& r = State();
  std::lock_guard<std::mutex> hold(r.lock);
  if (r.depth == 0 && r.holds == 0) ++r.work;
  ++(r.*count);
}

// The last scope or hold to go tells what was counted; a scope still open
// tells when it ends.
void Leave(std::int32_t Repeats::*count) {
  Ended ended;
  {
    Repeats& r = State();
    std::lock_guard<std::mutex> hold(r.lock);
    if (--(r.*count) > 0 || r.depth > 0 || r.holds > 0) return;
    ended = TakeEnded(r);
  }
  TellEnded(ended);
}

}  // namespace

SuRepeatScope::SuRepeatScope() { Enter(&Repeats::depth); }

SuRepeatScope::~SuRepeatScope() { Leave(&Repeats::depth); }

SuRepeatHold::SuRepeatHold() { Enter(&Repeats::holds); }

SuRepeatHold::~SuRepeatHold() { Leave(&Repeats::holds); }

SuOutcomeLines::SuOutcomeLines() { ++t_outcome; }

SuOutcomeLines::~SuOutcomeLines() { --t_outcome; }

bool SuOutcomeLines::Open() { return t_outcome > 0; }

std::uint64_t SuWorkNumber() {
  Repeats& r = State();
  std::lock_guard<std::mutex> hold(r.lock);
  return r.work;
}

void SuTellRepeatsNow() {
  Ended ended;
  {
    Repeats& r = State();
    std::lock_guard<std::mutex> hold(r.lock);
    if (r.depth == 0 && r.holds == 0) return;
    ended = TakeEnded(r);
  }
  t_telling_counts = true;
  TellEnded(ended);
  t_telling_counts = false;
}

bool SuTellReport(const std::string& key, const std::string& line) {
  if (Blank(line)) return true;
  return Tell(key, line, false, Group{line});
}

bool SuTellLines(const std::vector<std::string>& lines, bool failure) {
  // A blank line only spaces the lines around it: never a repeat, nor the
  // line that names a group's count.
  const auto named = std::find_if_not(lines.begin(), lines.end(), Blank);
  if (named == lines.end()) return true;
  // A leading NUL: no text of a line, and so no key of SuTellReport, has one.
  std::string key(1, '\0');
  for (const std::string& line : lines) key.append(line).push_back('\n');
  return Tell(std::move(key), *named, failure, lines);
}
