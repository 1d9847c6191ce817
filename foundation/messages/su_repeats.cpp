#include "foundation/messages/su_repeats.h"

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
};

// Never destroyed, so that a scope ending at exit still finds it.
Repeats& State() {
  static auto* state = new Repeats;
  return *state;
}

bool Tell(std::string key, const std::string& line) {
  Repeats& r = State();
  std::lock_guard<std::mutex> hold(r.lock);
  if (r.depth == 0) return true;
  auto at = r.told.find(key);
  if (at != r.told.end()) {
    ++at->second.second;
    return false;
  }
  if (r.told.size() >= SuRepeatScope::kMostKeys) return true;
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
  }
  // Told outside the lock: printing may report again.
  for (const auto& [line, held] : counts) {
    SuPrint(0, "The report \"%s\" was repeated %d more times", line.c_str(), &held);
  }
}

bool SuTellReport(const std::string& key, const std::string& line) { return Tell(key, line); }

bool SuTellLines(const std::vector<std::string>& lines) {
  if (lines.empty()) return true;
  // A leading NUL: no text of a line, and so no key of SuTellReport, has one.
  std::string key(1, '\0');
  for (const std::string& line : lines) key.append(line).push_back('\n');
  return Tell(std::move(key), lines.front());
}
