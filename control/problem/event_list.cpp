#include "control/problem/event_list.h"

#include <atomic>
#include <cmath>

namespace {
std::atomic<std::uint64_t> g_next_id{1};
}  // namespace

Status SimEventList::Add(std::uint32_t kind, double time, double tolerance, std::uint64_t* id) {
  if (tolerance > 0.0) LowerTolerance(tolerance);
  auto at = events_.begin();
  for (; at != events_.end(); ++at) {
    if (std::fabs(at->time - time) < tolerance_) {
      const std::uint32_t theirs = at->kind & kGroupMask;
      const std::uint32_t ours = kind & kGroupMask;
      if (theirs == ours) {
        at->kind |= kind;
        if (id != nullptr) *id = at->id;
        return kMerged;
      }
      if (theirs > ours) break;
    } else if (at->time > time) {
      break;
    }
  }
  SimExplicitEvent event;
  event.time = time;
  event.kind = kind;
  event.id = g_next_id.fetch_add(1);
  events_.insert(at, event);
  if (id != nullptr) *id = event.id;
  return status::kOk;
}

Status SimEventList::LowerTolerance(double tolerance) {
  if (tolerance_ > tolerance) {
    tolerance_ = tolerance;
    return 0;
  }
  return 1;
}

Status SimEventList::First(bool remove, SimExplicitEvent* out) {
  if (events_.empty()) return kEmpty;
  if (out != nullptr) *out = events_.front();
  if (remove) DeleteFirst();
  return status::kOk;
}

void SimEventList::DeleteFirst() {
  if (events_.empty()) return;
  const std::uint64_t id = events_.front().id;
  events_.pop_front();
  Notify(id);
}

void SimEventList::DropBefore(double time) {
  while (!events_.empty() && events_.front().time < time) DeleteFirst();
}

void SimEventList::Clear() {
  while (!events_.empty()) DeleteFirst();
}
