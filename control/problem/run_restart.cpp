// What the results manager's restores and specification changes do to the
// run: the run clock, the simulation time and the integrator move to a
// restored snapshot's time, stale timed events go, and a changed
// specification sends the next step through a rebuild or an
// initialisation. Server thread, between steps.
#include "control/problem/problem_manager.h"
#include "foundation/interfaces/run_mode.h"

void SimProblemMgr::QueueSnapshot(const char* text, std::int32_t a, std::int32_t b, std::int32_t c,
                                  const char* second) {
  snapshot_queue_.push_back(SnapshotRequest{text != nullptr ? text : "", a, b, c,
                                            second != nullptr ? second : ""});
  RequestSnapshot();
}

std::vector<SimProblemMgr::SnapshotRequest> SimProblemMgr::TakeSnapshotQueue() {
  std::vector<SnapshotRequest> taken;
  taken.swap(snapshot_queue_);
  return taken;
}

void SimProblemMgr::SetRestartTime(double time) {
  record_.time = time;
  SetSimulationTime(time);
  // The integrator's own solution is of another time: it starts again from
  // the restored values at the next step.
  if (integrator_ != nullptr) integrator_->Finish();
  step_result_pending_ = false;
  reinitialise_ = 0;
  ClearStatusBits(run_bits::kStepPending);
  pending_event_time_ = -1.0;
  restart_pending_ = true;
}

void SimProblemMgr::UpdateMonitors(double time) { events_.DropBefore(time - events_.Tolerance()); }

void SimProblemMgr::MarkStructureChanged() {
  check_problem_ = true;
  step_result_pending_ = false;
  ClearStatusBits(run_bits::kStepPending);
}

void SimProblemMgr::MarkReinitialisation() {
  // At time 0 the next step initialises anyway.
  if (record_.time != 0.0) reinitialise_ = 1;
  step_result_pending_ = false;
  ClearStatusBits(run_bits::kStepPending);
}
