#include "results/manager/run_results.h"

#include "control/problem/control_loop.h"
#include "control/problem/problem_manager.h"
#include "daes/problem/problem.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/solver_options.h"
#include "framework/messaging/message.h"
#include "framework/servers/sending.h"

namespace {
constexpr std::int32_t kRunModeOption = 29;
constexpr std::uint32_t kCommandType = 55;
constexpr std::int32_t kInitialisationMode = 5;
}  // namespace

SimRunResultsJoin::SimRunResultsJoin(SimProblemMgr& manager, DseServerRegistry* registry,
                                     Status* result)
    : manager_(manager), results_(std::make_unique<SimResultsMgr>(this)) {
  const Status registered = results_->RegisterServices(registry);
  if (result != nullptr) *result = registered;
  manager_.SetRunResults(this);
}

SimRunResultsJoin::~SimRunResultsJoin() {
  // The loop must not reach a manager that is going.
  manager_.SetRunResults(nullptr);
}

Status SimRunResultsJoin::ApplyAssignments(bool* applied) {
  bool restart = false;
  bool changed = false;
  const Status s = results_->ApplyAssignments(&restart, &changed, manager_.CurrentTime());
  // Only an assignment that asks the solution to restart sends the loop
  // back to initialisation; plain value changes are taken by the next step.
  if (applied != nullptr) *applied = restart;
  return s;
}

double SimRunResultsJoin::RunPosition() { return results_->Position().time; }

void SimRunResultsJoin::ResetStepClock() { results_->SetCommunicationTime(manager_.CurrentTime()); }

Status SimRunResultsJoin::SaveQueuedSnapshots() {
  std::vector<std::string> names;
  names.swap(queued_);
  Status last = status::kOk;
  for (const std::string& name : names) {
    const Status s = results_->TakeNamedSnapshot(name.c_str(), nullptr, true, false);
    if (status::IsFailure(s)) return s;
    last = s;
  }
  return last;
}

Status SimRunResultsJoin::TakeSnapshot(const char* description) {
  return results_->TakeNamedSnapshot(description, nullptr, true, false);
}

void SimRunResultsJoin::RecordRunClock() { results_->MoveRunPosition(manager_.CurrentTime()); }

bool SimRunResultsJoin::ReinitialisationMark() {
  if (results_->TakeReinitialisationMark()) mark_ = true;
  return mark_;
}

double SimRunResultsJoin::LastPlottedTime() {
  SputPlotHistoryMgr* plot = results_->PlotHistory();
  return plot != nullptr ? plot->LastTime() : 0.0;
}

void SimRunResultsJoin::ExtendPlotHistory(double time) {
  if (SputPlotHistoryMgr* plot = results_->PlotHistory()) plot->RecordValues(time, nullptr);
}

Status SimRunResultsJoin::HandleCommand(std::uint32_t string_count, const char* const* strings,
                                        std::uint32_t integer_count, const std::int32_t* integers,
                                        std::uint32_t real_count, const double* reals) {
  return results_->HandleCommand(kCommandType, SimResultsMgr::kIntervalCommand, string_count,
                                 strings, integer_count, integers, real_count, reals);
}

Status SimRunResultsJoin::EndOfDynamicRun() {
  if (results_->Values() == nullptr) return status::kOk;
  return results_->TakeNamedSnapshot("End of Dynamic Run", nullptr, true, false);
}

void SimRunResultsJoin::MoveTo(double time) { results_->MoveRunPosition(time); }

Status SimRunResultsJoin::SendTimeMessage(double time) {
  results_->SendTimeMessage(time);
  return status::kOk;
}

Status SimRunResultsJoin::OpenRecords() {
  DAESProblem* problem = GetCurrentProblem();
  auto values = std::make_unique<SUPackedValueTable>();
  std::int32_t count = 0;
  if (problem != nullptr) {
    count = problem->StoredValueCount();
    values->Resize(count);
    // A table the problem cannot fill still gives the run its file.
    problem->StoreValues(values.get());
  }
  struct RunPosition at;
  const Status opened = results_->OpenSnapshotFile(count, std::move(values), &at, false, false);
  queued_.clear();
  mark_ = false;
  return opened;
}

Status SimRunResultsJoin::TakeDescribedSnapshot(const char* text, std::int32_t, std::int32_t,
                                                std::int32_t, const char*) {
  return results_->TakeNamedSnapshot(text, nullptr, true, false);
}

Status SimRunResultsJoin::TakeStepSnapshot(double time, std::uint16_t, bool) {
  SimEventList& events = manager_.Events();
  const SimExplicitEvent* head = events.Head();
  if (head == nullptr) return status::kOk;
  const std::uint32_t kind = head->kind;
  const double event_time = head->time;
  std::uint32_t flags = RunResultsSeam::kStepRecorded;
  if ((kind & step_event::kSteadyState) != 0) flags |= RunResultsSeam::kStepSteadyState;
  if ((kind & (step_event::kInitialisation | step_event::kDynamicStart)) != 0) {
    flags |= RunMode() == kInitialisationMode ? RunResultsSeam::kStepInitialisationRun
                                              : RunResultsSeam::kStepInitialisation;
  }
  if ((kind & step_event::kCommunication) == step_event::kCommunication)
    flags |= RunResultsSeam::kStepCommunication;
  // Other kinds are explicit events of actions and monitors.
  if ((kind & 0xF) > 1) flags |= RunResultsSeam::kStepEvent;
  const double tolerance = events.Tolerance();
  const struct RunPosition at = results_->Position();
  results_->AfterRunStep(time, at.run, at.count, flags, event_time, tolerance);
  // Handled: the reached event leaves the list.
  if (time + tolerance >= event_time) events.DeleteFirst();
  return status::kOk;
}

Status SimRunResultsJoin::RestoreSnapshotValues(double* time, std::uint16_t* counter,
                                                std::int32_t) {
  struct RunPosition latest;
  std::uint32_t id = 0;
  Status s = results_->Store().GetLatestPosition(&latest, &id);
  if (status::IsFailure(s)) return s;
  struct RunPosition at;
  s = results_->RestoreSnapshot(id, &at);
  if (status::IsFailure(s)) return s;
  if (time != nullptr) *time = at.time;
  if (counter != nullptr) *counter = at.run;
  return s;
}

void SimRunResultsJoin::SetCommunicationInterval(double interval) {
  results_->SetCommunicationInterval(static_cast<float>(interval));
}

// --- the problem side ---

double SimRunResultsJoin::CurrentTime() { return manager_.CurrentTime(); }

std::int32_t SimRunResultsJoin::RunMode() {
  SolverOptions* options = SolverOptions::Instance();
  return options != nullptr ? options->GetInt(kRunModeOption) : 0;
}

Status SimRunResultsJoin::RequestSnapshot(const char* name, bool) {
  queued_.emplace_back(name != nullptr ? name : "");
  return status::kOk;
}

void SimRunResultsJoin::PostEvent(std::uint32_t, const char* text) {
  manager_.Report(status::kOk, text != nullptr ? text : "");
}

void SimRunResultsJoin::Send(DseMessage* message) {
  if (message == nullptr) return;
  const Status s = DseSendMessage(message, 0, nullptr, nullptr, nullptr, 0);
  // Without a controller the message is still ours.
  if (status::IsFailure(s)) delete message;
}

Status SimRunResultsJoin::StoreRestoredValues(const SUPackedValueTable& values) {
  DAESProblem* problem = GetCurrentProblem();
  if (problem == nullptr) return status::kOk;
  return problem->RestoreValues(const_cast<SUPackedValueTable*>(&values));
}

void SimRunResultsJoin::SnapshotTaken(const char*, std::uint32_t, bool, bool, std::uint16_t,
                                      std::int16_t, double) {}

double SimRunResultsJoin::Option(std::int32_t number) {
  SolverOptions* options = SolverOptions::Instance();
  return options != nullptr ? options->GetReal(number) : 0.0;
}

void SimRunResultsJoin::Print(Status status, const std::string& text) {
  manager_.Report(status, text);
}
