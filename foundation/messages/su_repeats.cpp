#include "foundation/messages/su_repeats.h"

#include <algorithm>
#include <limits>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "foundation/messages/su_print.h"

namespace {

struct Repeats {
  std::mutex lock;
  std::int32_t depth = 0;
  // By key: the report's first line and how often it was held back.
  std::map<std::string, std::pair<std::string, std::int32_t>> told;
  std::vector<std::string> order;
  // New reports held back once the keys were all taken.
  std::int32_t unkept = 0;
};

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

bool Tell(std::string key, const std::string& line) {
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
  if (r.told.size() >= SuRepeatScope::kMostKeys) {
    CountOne(&r.unkept);
    return false;
  }
  r.order.push_back(key);
  r.told.emplace(std::move(key), std::make_pair(line, 0));
  return true;
}

}  // namespace

SuRepeatScope::SuRepeatScope() {
  Repeats& r = State();
  std::lock_guard<std::mutex> hold(r.lock);
  ++r.depth;
}

SuRepeatScope::~SuRepeatScope() {
  std::vector<std::pair<std::string, std::int32_t>> counts;
  std::int32_t unkept = 0;
  {
    Repeats& r = State();
    std::lock_guard<std::mutex> hold(r.lock);
    if (--r.depth > 0) return;
    for (const std::string& key : r.order) {
      const auto& [line, held] = r.told[key];
      if (held > 0) counts.emplace_back(line, held);
    }
    r.told.clear();
    r.order.clear();
    unkept = r.unkept;
    r.unkept = 0;
  }
  // Told outside the lock: printing may report again.
  for (const auto& [line, held] : counts) {
    SuPrint(0, "The report \"%s\" was repeated %d more times", line.c_str(), &held);
  }
  if (unkept > 0) {
    const auto most = static_cast<std::int32_t>(kMostKeys);
    SuPrint(0, "%d further reports were not told: a run tells at most %d different reports",
            &unkept, &most);
  }
}

bool SuTellReport(const std::string& key, const std::string& line) {
  if (Blank(line)) return true;
  return Tell(key, line);
}

bool SuTellLines(const std::vector<std::string>& lines) {
  // A blank line only spaces the lines around it: never a repeat, nor the
  // line that names a group's count.
  const auto named = std::find_if_not(lines.begin(), lines.end(), Blank);
  if (named == lines.end()) return true;
  // A leading NUL: no text of a line, and so no key of SuTellReport, has one.
  std::string key(1, '\0');
  for (const std::string& line : lines) key.append(line).push_back('\n');
  return Tell(std::move(key), *named);
}
