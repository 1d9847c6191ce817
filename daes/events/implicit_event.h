// Implicit events: discrete conditions whose integer state can change while
// the equations are integrated (the branch of an IF, the state of a switch,
// a condition registered from outside the model), and the schedule that
// holds the events of the current problem and answers the integrator.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "foundation/collections/mixins.h"
#include "platform/status.h"

class DAESEquation;
class DAESEventSchedule;
class DAESSwitchEquation;
class ExprContext;

namespace daes {
// A refused SetStates: the count is not the number of events.
inline constexpr Status kWrongEventCount = 0x8031000Au;
inline constexpr std::int32_t kExternalEventKind = 24;
inline constexpr std::uint32_t kUnlocatedFault = 0x200;
}  // namespace daes

class QLNImplicitEvent {
 public:
  virtual ~QLNImplicitEvent() = default;
  // Takes the context (the old one is deleted) and the equation.
  virtual void SetCondition(ExprContext* condition, DAESEquation* equation) = 0;
  virtual Status EvaluateCondition(std::int32_t quiet) = 0;
  virtual std::uint32_t FiringCount() { return 0; }
  virtual void ClearFiring() {}
  virtual void CountFiring() {}
  virtual Status HasChanged(std::int32_t* changed) = 0;
};

// Made with one reference: the owner's. Each holder that keeps a pointer
// takes a reference (AddRef) and gives it back (Release); the last Release
// deletes the event, which then leaves the schedule it was added to.
class DAESImplicitEvent : public BvuNameable, public QLNImplicitEvent {
 public:
  // An unscheduled event without equation.
  DAESImplicitEvent(DAESImplicitEvent* guard, std::uint32_t guard_state);
  DAESImplicitEvent(const DAESImplicitEvent&) = delete;
  DAESImplicitEvent& operator=(const DAESImplicitEvent&) = delete;

  void AddRef() { ++references_; }
  void Release();

  // The equation's name, or "An external event" without one.
  const char* GetNameText(std::int32_t arg = 0) override;
  void SetCondition(ExprContext* condition, DAESEquation* equation) override;
  Status EvaluateCondition(std::int32_t quiet) override;
  Status HasChanged(std::int32_t* changed) override;
  virtual void SetState(std::int32_t state) { state_ = state; }
  virtual bool IsExternal() const { return false; }
  virtual bool IsModelEvent() const { return true; }

  // The event follows the switch and takes its current state.
  void AttachEquation(DAESSwitchEquation* equation);
  // Active without guard, or when the guard is active and in the guard state.
  bool IsActive() const;

  std::int32_t State() const { return state_; }
  std::int32_t SavedState() const { return saved_; }
  void SaveState() { saved_ = state_; }
  void RestoreState() { state_ = saved_; }
  std::int32_t SequenceNumber() const { return sequence_; }
  DAESEquation* Equation() const { return equation_; }
  ExprContext* Condition() const { return condition_; }
  DAESImplicitEvent* Guard() const { return guard_; }
  std::uint32_t GuardState() const { return guard_state_; }
  DAESEventSchedule* Schedule() const { return schedule_; }

 protected:
  // Leaves its schedule and deletes its context.
  ~DAESImplicitEvent() override;
  // The new state the condition gives now, without taking it.
  Status NewState(std::int32_t* state);
  // Evaluates the condition context into *value; prints the failure.
  Status EvaluateContext(std::int32_t* value);

 private:
  friend class DAESEventSchedule;

  DAESImplicitEvent* guard_;
  std::uint32_t guard_state_;
  std::int32_t state_ = 0;
  std::int32_t saved_ = 0;
  std::int32_t sequence_ = -1;
  ExprContext* condition_ = nullptr;
  DAESEquation* equation_ = nullptr;
  DAESEventSchedule* schedule_ = nullptr;
  DAESImplicitEvent* next_ = nullptr;
  std::int32_t references_ = 1;
};

// A condition registered from outside the model; it fires when its value
// becomes non-zero and differs from its state.
class SimExtImplicitEvent : public DAESImplicitEvent {
 public:
  // A copy of the name when it is not empty.
  explicit SimExtImplicitEvent(const char* name);

  const char* GetNameText(std::int32_t arg = 0) override;
  Status HasChanged(std::int32_t* changed) override;
  std::uint32_t FiringCount() override { return firings_; }
  void ClearFiring() override { firings_ = 0; }
  void CountFiring() override { ++firings_; }
  bool IsExternal() const override { return true; }
  bool IsModelEvent() const override { return false; }
  // The state becomes the last value evaluated.
  void AcceptValue() { SetState(last_value_); }
  bool IsFired() const { return fired_; }

 private:
  std::uint32_t firings_ = 0;
  std::int32_t last_value_ = 0;
  bool first_ = true;
  bool fired_ = false;
  bool has_name_ = false;
  std::string name_;
};

class QLNEventSchedule {
 public:
  /* 1 */ virtual ~QLNEventSchedule() = default;
  /* 2 */ virtual std::int32_t HasExternalEvents() = 0;
  /* 3 */ virtual Status ExternalEventsChanged() = 0;
  /* 4 */ virtual std::uint32_t FirstFiringCount() = 0;
  /* 5 */ virtual Status AnyEventChanged() = 0;
  /* 6 */ virtual std::int32_t ReservedScheduleQuery() { return 0; }
  /* 7 */ virtual Status EvaluateAll() = 0;
  virtual Status ReportChanges(double now, double trial) = 0;
  virtual void SaveStates() = 0;
  virtual void RestoreStates() = 0;
  // A new array (delete[]) of the events' equations; count 0 and
  // 0xA031FFFF here.
  virtual Status GetEquations(std::int32_t* count, DAESEquation*** equations);
  // The states into *states (made anew when *count differs); count 0 and
  // 0xA031FFFF here.
  virtual Status GetStates(std::int32_t* count, std::int32_t** states);
  virtual Status SetStates(std::int32_t count, const std::int32_t* states) = 0;
  virtual Status RemoveEvent(DAESImplicitEvent* event) = 0;
  virtual Status AddExternalEvent(DAESImplicitEvent* event) = 0;
  virtual std::int32_t TakeNewStates() = 0;
  virtual double NextEventTime() { return -1.0; }
  virtual void Print(std::ostream& out) = 0;
};

// Model events at the head, newest first, down to the boundary event (the
// last model event); external events after it in the order they came.
class DAESEventSchedule : public QLNEventSchedule {
 public:
  DAESEventSchedule() = default;
  // Detaches the events it still lists; it never deletes them.
  ~DAESEventSchedule() override;
  DAESEventSchedule(const DAESEventSchedule&) = delete;
  DAESEventSchedule& operator=(const DAESEventSchedule&) = delete;

  std::int32_t HasExternalEvents() override;
  // 1 when an external event has changed.
  Status ExternalEventsChanged() override;
  std::uint32_t FirstFiringCount() override;
  // 1 when any event has changed; every event is still asked.
  Status AnyEventChanged() override;
  Status EvaluateAll() override;
  Status ReportChanges(double now, double trial) override;
  void SaveStates() override;
  void RestoreStates() override;
  Status GetEquations(std::int32_t* count, DAESEquation*** equations) override;
  Status GetStates(std::int32_t* count, std::int32_t** states) override;
  // A wrong count is refused with 0x8031000A and sets nothing.
  Status SetStates(std::int32_t count, const std::int32_t* states) override;
  Status RemoveEvent(DAESImplicitEvent* event) override;
  Status AddExternalEvent(DAESImplicitEvent* event) override;
  // Model events go to the head; 0xA031FFFF for an event already scheduled.
  Status AddModelEvent(DAESImplicitEvent* event);
  std::int32_t TakeNewStates() override;
  void Print(std::ostream& out) override;

  std::int32_t Count() const { return count_; }
  std::uint32_t ExternalCount() const { return external_count_; }
  DAESImplicitEvent* Head() const { return head_; }
  DAESImplicitEvent* Tail() const { return tail_; }
  DAESImplicitEvent* Boundary() const { return boundary_; }
  static DAESImplicitEvent* Next(const DAESImplicitEvent* event) { return event->next_; }

 private:
  // The first event after the boundary (every event without one).
  DAESImplicitEvent* FirstExternal() const {
    return boundary_ != nullptr ? boundary_->next_ : head_;
  }

  std::int32_t count_ = 0;
  DAESImplicitEvent* head_ = nullptr;
  DAESImplicitEvent* tail_ = nullptr;
  DAESImplicitEvent* boundary_ = nullptr;
  std::uint32_t saved_ = 0;
  std::uint32_t external_count_ = 0;
};

DAESEventSchedule* DAESCreateEventSchedule();
// Kind 24 only: an external event named by a copy of `name` when it is not
// empty; any other kind: null.
QLNImplicitEvent* DAESCreateExtImplicitEvent(std::int32_t kind, const char* name);
