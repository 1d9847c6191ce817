// The implicit monitor: its condition is an external implicit event in the
// problem's schedule, so the integrator locates the crossing and the run
// stops there for the monitor to fire.
#include "control/actions/monitor.h"
#include "control/actions/monitor_context.h"
#include "daes/events/implicit_event.h"

SimImplicitMonitor::~SimImplicitMonitor() {
  if (event_ == nullptr) return;
  Unregister();
  // The event deletes the context it was given.
  if (attached_) ForgetContext();
  event_->Release();
}

void SimImplicitMonitor::ForgetEntry(DAESVarTableEntry* entry) {
  SimMonitor::ForgetEntry(entry);
  if (!Reads(entry)) return;
  if (event_ != nullptr) {
    Unregister();
    // The event deletes the context it was given.
    if (attached_) ForgetContext();
    event_->Release();
    event_ = nullptr;
    attached_ = false;
  }
  DropContext();
}

bool SimImplicitMonitor::Registered() const {
  return event_ != nullptr && event_->Schedule() != nullptr;
}

void SimImplicitMonitor::Unregister() {
  if (!Registered()) return;
  MonitorServices().UnregisterImplicitEvent(event_);
  // Still listed: in a schedule that is no longer the current one.
  if (DAESEventSchedule* schedule = event_->Schedule()) schedule->RemoveEvent(event_);
}

Status SimImplicitMonitor::Check(std::int32_t* request, SimActionControl* element,
                                 const SimExplicitEvent* event) {
  if (event_ == nullptr) {
    QLNImplicitEvent* made = DAESCreateExtImplicitEvent(kEventKind, GetName());
    event_ = dynamic_cast<SimExtImplicitEvent*>(made);
    if (event_ == nullptr) {
      delete made;
      return monitor_status::kFailed;
    }
  }
  if (!attached_) {
    const Status built = SimExprMonitor::Check(request, element, event);
    if (status::IsFailure(built)) return built;
    event_->SetCondition(Context(), nullptr);
    attached_ = true;
  }
  // One evaluation: the first marks the event fired when already true; on
  // re-arming it settles the mark. The state becomes the value now, so only
  // a fresh rise counts as a crossing.
  std::int32_t changed = 0;
  event_->HasChanged(&changed);
  event_->AcceptValue();
  if (Registered()) return status::kOk;
  return MonitorServices().RegisterImplicitEvent(event_);
}

Status SimImplicitMonitor::IsFiring(bool* fired, const SimExplicitEvent*, std::int32_t*) {
  *fired = false;
  if (event_ == nullptr || !attached_) return monitor_status::kQuiet;
  bool occurred = event_->IsFired();
  if (!occurred) {
    std::int32_t changed = 0;
    event_->HasChanged(&changed);
    occurred = event_->IsFired();
  }
  event_->AcceptValue();
  event_->ClearFiring();
  // Out of the schedule until re-armed: the run waits for the client and
  // the integrator has nothing more to locate for this monitor.
  if (occurred) Unregister();
  *fired = occurred;
  return monitor_status::kQuiet;
}
