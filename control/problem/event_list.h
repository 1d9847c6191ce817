// The problem manager's timed events in time order. Events closer than the
// tolerance whose group bits match merge into one. Every event that leaves
// the list, by whatever path, is announced by its id to the notice, so that
// no monitor keeps a handle of an event that is gone; ids are never reused.
#pragma once

#include <cstdint>
#include <functional>
#include <list>

#include "control/actions/action_mgr.h"
#include "platform/status.h"

class SimEventList {
 public:
  static constexpr std::uint32_t kGroupMask = 0xF0;
  static constexpr Status kMerged = 0x00320000u;
  static constexpr Status kEmpty = 0x80004005u;
  static constexpr double kInitialTolerance = 0.0001;

  using Notice = std::function<void(std::uint64_t id)>;

  explicit SimEventList(Notice notice = nullptr) : notice_(std::move(notice)) {}
  ~SimEventList() { Clear(); }
  SimEventList(const SimEventList&) = delete;
  SimEventList& operator=(const SimEventList&) = delete;

  void SetNotice(Notice notice) { notice_ = std::move(notice); }

  // Adds an event; a tolerance above 0 lowers the list's. *id (may be null)
  // gets the handle of the event that holds it: 0, or kMerged when an
  // existing event took it.
  Status Add(std::uint32_t kind, double time, double tolerance, std::uint64_t* id);
  double Tolerance() const { return tolerance_; }
  void SetTolerance(double tolerance) { tolerance_ = tolerance; }
  // 0 when taken, 1 when the tolerance was already at most `tolerance`.
  Status LowerTolerance(double tolerance);
  // The head, copied to *out; unlinked (with its notice) when `remove`.
  Status First(bool remove, SimExplicitEvent* out);
  // The head, or null; valid until the list changes.
  const SimExplicitEvent* Head() const { return events_.empty() ? nullptr : &events_.front(); }
  // The event with the handle, or null once it has left the list.
  const SimExplicitEvent* Find(std::uint64_t id) const {
    for (const SimExplicitEvent& event : events_) {
      if (event.id == id) return &event;
    }
    return nullptr;
  }
  bool Empty() const { return events_.empty(); }
  std::size_t Size() const { return events_.size(); }
  void DeleteFirst();
  // Drops every event earlier than the time: the run moved past them.
  void DropBefore(double time);
  void Clear();

 private:
  void Notify(std::uint64_t id) {
    if (notice_) notice_(id);
  }

  std::list<SimExplicitEvent> events_;
  double tolerance_ = kInitialTolerance;
  Notice notice_;
};
