#include "results/manager/run_results.h"

#include "control/managers/instance_mgr.h"
#include "control/problem/control_loop.h"
#include "control/problem/problem_manager.h"
#include "daes/delays/delay_mgr.h"
#include "daes/events/implicit_event.h"
#include "daes/model/parameter.h"
#include "daes/model/var_table_entry.h"
#include "daes/model/variable.h"
#include "daes/problem/equivalence.h"
#include "daes/problem/problem.h"
#include "foundation/directory/id_path.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/interfaces/solver_options.h"
#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/servers/sending.h"
#include "results/plot/result_model.h"
#include "results/plot/value_dump.h"
#include "results/snapshots/snapshot_text.h"
#include "solve/options/solver_option_table.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string_view>
#include <unordered_map>

namespace {
constexpr std::int32_t kRunModeOption = 29;
constexpr std::uint32_t kCommandType = 55;
constexpr std::int32_t kInitialisationMode = 5;
constexpr std::uint32_t kTimeService = 95;
constexpr std::uint16_t kTimeKind = 58;
constexpr std::uint32_t kConfirmRestoreCommand = 59;
// "UseSavedSnapshotOnLoad": the first records of an attach take the last
// snapshot's values.
constexpr std::int32_t kReuseSnapshotOption = 155;
constexpr std::int32_t kScalingOption = 70;

// A scalar variable of the current problem's table as the results read it.
// Once its entry is gone it keeps the id and the last name it answered,
// and has no value.
class EntryVariable final : public ResultVariable {
 public:
  explicit EntryVariable(DAESVarTableEntry* e = nullptr) : entry(e) {
    if (entry != nullptr) FullName();
  }
  std::uint32_t Id() const override { return entry != nullptr ? entry->SequenceNumber() : id_; }
  std::string FullName() const override {
    if (entry == nullptr) return name_;
    const char* name = entry->GetNameText();
    name_ = name != nullptr ? name : "";
    return name_;
  }
  Status GetValue(double* value) const override {
    if (entry == nullptr) return status::kGeneralFailure;
    *value = entry->GetRealValue();
    return status::kOk;
  }
  std::uint32_t Flags() const override { return entry != nullptr ? entry->GetFlags() : 0; }
  std::int32_t ElementCount() const override { return 0; }
  ResultVariable* Element(std::int32_t) override { return nullptr; }
  // The entry is being destroyed: only its own fields may be read now.
  void Retire() {
    id_ = entry->SequenceNumber();
    entry = nullptr;
  }
  DAESVarTableEntry* entry;

 private:
  std::uint32_t id_ = 0;
  mutable std::string name_;
};
}  // namespace

// The current problem's variable table as the value dump reads it. Each
// place is looked up again on every read, so that nothing outlives a
// problem that went.
class SimRunResultsJoin::DumpModel final : public ResultModel {
 public:
  ResultVariable* FindVariable(const char* name, bool prefix) override {
    const std::string wanted = name != nullptr ? name : "";
    for (std::int32_t i = 0; i < VariableCount(); ++i) {
      ResultVariable* variable = VariableAt(i);
      const std::string full = variable->FullName();
      if (prefix ? full.compare(0, wanted.size(), wanted) == 0 : full == wanted) return variable;
    }
    return nullptr;
  }
  ResultVariable* ResolveIdPath(const BvuIdPath&) override { return nullptr; }
  std::int32_t VariableCount() override {
    DAESProblem* problem = Current();
    return problem != nullptr ? problem->VariableCount() : 0;
  }
  ResultVariable* VariableAt(std::int32_t index) override {
    DAESProblem* problem = Current();
    if (problem == nullptr || index < 0 || index >= problem->VariableCount()) return nullptr;
    DAESVarTableEntry* entry = problem->GetVariable(index);
    if (entry == nullptr) return nullptr;
    if (static_cast<std::size_t>(index) >= places_.size()) places_.resize(index + 1);
    places_[index].entry = entry;
    return &places_[index];
  }
  std::uint32_t Generation() override {
    Current();
    return generation_;
  }
  double ZeroThreshold() override { return SimProblemMgr::kEpsilon; }
  // A new problem is on its way: the names are built again.
  void Renew() {
    ++generation_;
    places_.clear();
  }

 private:
  using Place = EntryVariable;

  DAESProblem* Current() {
    DAESProblem* problem = GetCurrentProblem();
    if (problem != seen_) {
      seen_ = problem;
      Renew();
    }
    return problem;
  }

  DAESProblem* seen_ = nullptr;
  std::uint32_t generation_ = 0;
  std::vector<Place> places_;
};

// The current problem's variables for the plot history: by index, by full
// name and by the instance manager's id paths. A variable keeps its stand-in
// while it lives, and the history holds it: one whose entry goes is retired,
// never freed before the model.
class SimRunResultsJoin::PlotModel final : public ResultModel {
 public:
  explicit PlotModel(SimProblemMgr& manager) : manager_(manager) {}
  ResultVariable* FindVariable(const char* name, bool prefix) override {
    const std::string wanted = name != nullptr ? name : "";
    for (std::int32_t i = 0; i < VariableCount(); ++i) {
      ResultVariable* variable = VariableAt(i);
      if (variable == nullptr) continue;
      const std::string full = variable->FullName();
      if (prefix ? full.compare(0, wanted.size(), wanted) == 0 : full == wanted) return variable;
    }
    return nullptr;
  }
  ResultVariable* ResolveIdPath(const BvuIdPath& path) override {
    SimInstanceMgr* instances = manager_.Instances();
    if (instances == nullptr) return nullptr;
    BvuDirectoryNode* node = nullptr;
    if (status::IsFailure(instances->ResolveIdPath(path.ids(), &node)) || node == nullptr)
      return nullptr;
    return Of(static_cast<DAESVarTableEntry*>(node->AsValueEntry()));
  }
  std::int32_t VariableCount() override {
    DAESProblem* problem = Current();
    return problem != nullptr ? problem->VariableCount() : 0;
  }
  ResultVariable* VariableAt(std::int32_t index) override {
    DAESProblem* problem = Current();
    if (problem == nullptr || index < 0 || index >= problem->VariableCount()) return nullptr;
    return Of(problem->GetVariable(index));
  }
  std::uint32_t Generation() override {
    Current();
    return generation_;
  }
  double ZeroThreshold() override { return SimProblemMgr::kEpsilon; }

  // The entry's stand-in for the history; null for null.
  ResultVariable* Of(DAESVarTableEntry* entry) {
    if (entry == nullptr) return nullptr;
    Current();
    std::unique_ptr<Variable>& held = variables_[entry];
    if (held == nullptr) held = std::make_unique<Variable>(entry);
    return held.get();
  }
  // The entry is being destroyed: its stand-in, retired, or null for none.
  ResultVariable* Forget(DAESVarTableEntry* entry) {
    auto found = variables_.find(entry);
    if (found == variables_.end()) return nullptr;
    found->second->Retire();
    retired_.push_back(std::move(found->second));
    variables_.erase(found);
    return retired_.back().get();
  }

 private:
  using Variable = EntryVariable;

  DAESProblem* Current() {
    DAESProblem* problem = GetCurrentProblem();
    if (problem != seen_) {
      seen_ = problem;
      ++generation_;
    }
    return problem;
  }

  SimProblemMgr& manager_;
  DAESProblem* seen_ = nullptr;
  std::uint32_t generation_ = 0;
  std::map<DAESVarTableEntry*, std::unique_ptr<Variable>> variables_;
  std::vector<std::unique_ptr<Variable>> retired_;
};

ResultModel* SimRunResultsJoin::Model() { return plot_model_.get(); }

SimRunResultsJoin::SimRunResultsJoin(SimProblemMgr& manager, DseServerRegistry* registry,
                                     Status* result)
    : manager_(manager),
      plot_model_(new PlotModel(manager), [](PlotModel* model) { delete model; }),
      results_(std::make_unique<SimResultsMgr>(this)),
      server_thread_(std::this_thread::get_id()) {
  const Status registered = results_->RegisterServices(registry);
  if (result != nullptr) *result = registered;
  manager_.SetRunResults(this);
  daes::SetResultsServices(this);
}

SimRunResultsJoin::~SimRunResultsJoin() {
  // Neither the loop nor a variable going later may reach a manager that
  // is going.
  manager_.SetRunResults(nullptr);
  if (daes::ResultsServices() == this) daes::SetResultsServices(nullptr);
  for (DseMessage* message : held_) delete message;
}

// --- the value dump ---

ValueDumpFile* SimRunResultsJoin::Dump() {
  if (dump_ == nullptr && !dump_name_.empty()) {
    if (dump_model_ == nullptr) dump_model_ = std::make_unique<DumpModel>();
    dump_ = std::make_unique<ValueDumpFile>(dump_model_.get(), dump_name_, dump_excluded_);
  }
  return dump_.get();
}

Status SimRunResultsJoin::OpenValueDump(const char* file) {
  std::lock_guard<std::mutex> hold(dump_lock_);
  // A fresh file from its first write on, with the exclusions loaded next.
  dump_.reset();
  dump_name_ = file != nullptr ? file : "";
  return status::kOk;
}

Status SimRunResultsJoin::LoadDumpExclusions(const char* file) {
  std::ifstream in(file != nullptr ? file : "");
  if (!in) {
    const std::string text = std::string("The quality-control exclusions file \"") +
                             (file != nullptr ? file : "") + "\" could not be read";
    manager_.Report(status::kGeneralFailure, text);
    return status::kGeneralFailure;
  }
  std::vector<std::string> excluded = ValueDumpFile::ReadExclusions(in);
  std::lock_guard<std::mutex> hold(dump_lock_);
  dump_excluded_ = std::move(excluded);
  return status::kOk;
}

void SimRunResultsJoin::FreeDumpTables() {
  std::lock_guard<std::mutex> hold(dump_lock_);
  dump_excluded_.clear();
  if (dump_model_ != nullptr) dump_model_->Renew();
}

Status SimRunResultsJoin::WriteValues(const char* label, double time) {
  std::lock_guard<std::mutex> hold(dump_lock_);
  ValueDumpFile* dump = Dump();
  return dump != nullptr ? dump->WriteValues(label, time) : status::kOk;
}

Status SimRunResultsJoin::WriteDumpLine(const char* text) {
  std::lock_guard<std::mutex> hold(dump_lock_);
  ValueDumpFile* dump = Dump();
  return dump != nullptr ? dump->WriteLine(text) : status::kOk;
}

Status SimRunResultsJoin::WriteSensitivity(DAESVarTableEntry* y, DAESVarTableEntry* x,
                                           double value) {
  if (y == nullptr || x == nullptr) return status::kOk;
  std::lock_guard<std::mutex> hold(dump_lock_);
  ValueDumpFile* dump = Dump();
  if (dump == nullptr) return status::kOk;  // names are only made for a dump
  EntryVariable variable(y), parameter(x);
  return dump->WriteSensitivity(&variable, &parameter, value);
}

Status SimRunResultsJoin::WriteSwitchTimeSensitivity(DAESVarTableEntry* y, std::int32_t row,
                                                     double value) {
  if (y == nullptr) return status::kOk;
  std::lock_guard<std::mutex> hold(dump_lock_);
  ValueDumpFile* dump = Dump();
  if (dump == nullptr) return status::kOk;
  EntryVariable variable(y);
  return dump->WriteSwitchTimeSensitivity(&variable, row, value);
}

void SimRunResultsJoin::CloseValueDump() {
  std::lock_guard<std::mutex> hold(dump_lock_);
  dump_.reset();
  dump_name_.clear();
  dump_excluded_.clear();
}

std::size_t SimRunResultsJoin::HeldMessageCount() {
  std::lock_guard<std::mutex> hold(held_lock_);
  return held_.size();
}

void SimRunResultsJoin::SendHeldMessages() {
  if (std::this_thread::get_id() != server_thread_) return;
  std::vector<DseMessage*> messages;
  {
    std::lock_guard<std::mutex> hold(held_lock_);
    messages.swap(held_);
  }
  for (DseMessage* message : messages) Send(message);
}

Status SimRunResultsJoin::ApplyAssignments(bool* applied) {
  SendHeldMessages();
  bool restart = false;
  bool changed = false;
  const Status s = results_->ApplyAssignments(&restart, &changed, manager_.CurrentTime());
  // A value that changed is news to the integrator: the loop sends the run
  // through its initialisation, a re-initialisation away from time 0.
  if (applied != nullptr) *applied = changed;
  return s;
}

double SimRunResultsJoin::RunPosition() { return results_->Position().time; }

void SimRunResultsJoin::ResetStepClock() { results_->SetCommunicationTime(manager_.CurrentTime()); }

Status SimRunResultsJoin::SaveQueuedSnapshots() {
  SendHeldMessages();
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

Status SimRunResultsJoin::TakeInitialSpecificationSnapshot() {
  const RunStatusRecord& clock = manager_.Record();
  struct RunPosition at;
  at.time = clock.time;
  at.run = clock.counter;
  at.count = static_cast<std::int16_t>(clock.stops);
  const Status taken = results_->TakeInitialSpecificationSnapshot(&at);
  manager_.SetStopCounter(static_cast<std::uint16_t>(at.count));
  return taken;
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
  SendHeldMessages();
  // As the results manager sends it; here its status is the caller's (a
  // client that did not announce service 95 fails an initialisation run).
  auto* message = new DseMessage(kTimeService, DseMessage::kRequest);
  message->PutUInt16(kTimeKind);
  message->PutDouble(time);
  const Status sent = DseSendMessage(message, 0, nullptr, nullptr, nullptr, 0);
  // A controller takes the message even when it cannot route it; only
  // without one is it still ours.
  if (status::IsFailure(sent) && DseCurrentController() == nullptr) delete message;
  return sent;
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
  IndexRecords(problem, values.get());
  IndexEvents();
  // The folder's file is read again (re-mapped when the variables stand
  // in another order, started anew when they cannot be found in it): a
  // problem built again keeps its run's snapshots, an empty file is simply
  // started again. Only the first records
  // after an attach take the newest snapshot's values, and the run goes
  // on from its time; a rebuild keeps the run where it is.
  const bool first = !results_->Store().IsOpen();
  const bool keep = first || results_->Store().HeaderCount() > 0;
  SolverOptions* options = SolverOptions::Instance();
  const bool reuse = first && options != nullptr && options->GetBool(kReuseSnapshotOption);
  struct RunPosition at;
  const Status opened = results_->OpenSnapshotFile(count, std::move(values), &at, keep, reuse);
  // The clock counts the run position of the file it now writes: a file
  // started anew has counted nothing, so its initial specification is
  // taken (an edit's stopped run counted in the file it left behind).
  if (results_->Store().IsOpen()) manager_.SetStopCounter(static_cast<std::uint16_t>(at.count));
  if (results_->Reused()) {
    manager_.SetRestartTime(at.time);
  } else if (!first) {
    results_->MoveRunPosition(manager_.CurrentTime());
  }
  // A new file starts a new plot history beside it.
  SputPlotHistoryMgr* plot = results_->PlotHistory();
  if (status::IsSuccess(opened) && plot != nullptr && !plot->IsOpen())
    results_->RestartPlotHistory(true);
  queued_.clear();
  mark_ = false;
  return opened;
}

// The three fields are the live, notify and kept flags; the second text
// is the snapshot's description.
Status SimRunResultsJoin::TakeDescribedSnapshot(const char* text, std::int32_t live,
                                                std::int32_t notify, std::int32_t kept,
                                                const char* description) {
  return results_->TakeNamedSnapshot(text, nullptr, live != 0, kept != 0, notify != 0, false,
                                     description);
}

Status SimRunResultsJoin::TakeStepSnapshot(double time, std::uint16_t counter, bool pause) {
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
  // The run clock's counter (1 once a step reached its time) is the run
  // position's run number: what snapshots of converged steps carry.
  const struct RunPosition at = results_->Position();
  results_->AfterRunStep(time, counter, at.count, flags, event_time, tolerance, pause);
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

void SimRunResultsJoin::PostEvent(std::uint32_t number, const char* text) {
  // The number travels as the line's value, which the client's log keys
  // these lines by; through the collector, which any thread may fill.
  manager_.Report(number, text != nullptr ? text : "");
}

void SimRunResultsJoin::Send(DseMessage* message) {
  if (message == nullptr) return;
  // Only the server thread sends: the run thread's messages wait for it.
  if (std::this_thread::get_id() != server_thread_) {
    std::lock_guard<std::mutex> hold(held_lock_);
    held_.push_back(message);
    return;
  }
  const Status s = DseSendMessage(message, 0, nullptr, nullptr, nullptr, 0);
  // Without a controller the message is still ours; a controller took it.
  if (status::IsFailure(s) && DseCurrentController() == nullptr) delete message;
}

void SimRunResultsJoin::StorePosition(SUPackedValueTable* values) {
  DAESProblem* problem = GetCurrentProblem();
  if (problem != nullptr && values != nullptr) problem->StoreValues(values);
}

void SimRunResultsJoin::AddRequestBits(std::uint32_t bits) { manager_.SetStatusBits(bits); }

void SimRunResultsJoin::NotifyDelayManager() {
  // The values are about to be set: those before stay at this time.
  if (DelayMgr* delays = GetCurrentDelayMgr()) delays->RecordBeforeJump(GetSimulationTime());
}

Status SimRunResultsJoin::StoreRestoredValues(const SUPackedValueTable& values) {
  DAESProblem* problem = GetCurrentProblem();
  if (problem == nullptr) return status::kOk;
  return problem->RestoreValues(const_cast<SUPackedValueTable*>(&values));
}

double SimRunResultsJoin::Option(std::int32_t number) {
  // Flags and integers too (85, 146, 154, 155): not only the real getter's.
  return SolverOptionTable::Instance()->ValueInForce(number);
}

Status SimRunResultsJoin::ConfirmRestore(std::uint32_t id, std::int32_t wait_ms) {
  // Only the server thread talks to the client: a restore elsewhere goes on
  // unconfirmed.
  if (std::this_thread::get_id() != server_thread_ || DseCurrentController() == nullptr)
    return status::kOk;
  SendHeldMessages();
  const auto number = static_cast<std::int32_t>(id);
  auto* command =
      new DseCommand(kCommandType, kConfirmRestoreCommand, 0, nullptr, 1, &number, 0, nullptr);
  // The controller takes the command; a client that never completes it
  // holds the engine no longer than the waits. Edits that arrive meanwhile
  // wait: the restore goes on into the problem afterwards.
  manager_.HoldForClient(true);
  const Status waited = DseSendAndWait(command, 0, nullptr, nullptr, nullptr, wait_ms);
  manager_.HoldForClient(false);
  return waited;
}

void SimRunResultsJoin::Print(Status status, const std::string& text) {
  manager_.Report(status, text);
}

// --- item access ---

ResultObject* SimRunResultsJoin::ResolveObject(const BvuIdPath& path) {
  SimInstanceMgr* instances = manager_.Instances();
  if (instances == nullptr) return nullptr;
  BvuDirectoryNode* node = nullptr;
  if (status::IsFailure(instances->ResolveIdPath(path.ids(), &node)) || node == nullptr)
    return nullptr;
  auto* entry = static_cast<DAESVarTableEntry*>(node->AsValueEntry());
  return entry != nullptr ? ObjectOf(entry) : nullptr;
}

AssignableVariable* SimRunResultsJoin::Assignable(ResultObject* object) {
  if (object == nullptr) return nullptr;
  // Only objects this join made reach here.
  return AssignableOf(static_cast<SimEntryObject*>(object)->Entry());
}

bool SimRunResultsJoin::RunActive() { return manager_.StepScheduled(); }

Status SimRunResultsJoin::QueueSnapshot(const char* name, bool first, bool second, bool third,
                                        const char* description) {
  manager_.QueueSnapshot(name, first ? 1 : 0, second ? 1 : 0, third ? 1 : 0, description);
  return status::kOk;
}

void SimRunResultsJoin::SetRestored() {
  // The clock first: the monitors are given the time the run goes on from.
  manager_.SetRestartTime(results_->LastRestored().time);
  struct RunPosition at;
  const Status s = results_->RestoreSnapshotValues(results_->LastRestored(), &at);
  if (status::IsFailure(s)) manager_.Report(s, "The restored snapshot's values were not taken");
}

void SimRunResultsJoin::SetRestartTime(double time) { manager_.SetRestartTime(time); }

void SimRunResultsJoin::UpdateMonitors(double time) { manager_.UpdateMonitors(time); }

void SimRunResultsJoin::ResetRunHooks() { manager_.ResetActions(); }

// Kept requests refill once per collected step, and a restore tells the
// client by its one-shot bit (4096): nothing is left to do here.
void SimRunResultsJoin::SetValuesChanged() {}

bool SimRunResultsJoin::WantsSnapshotText() { return manager_.SnapshotTextWanted(); }

bool SimRunResultsJoin::RestartRequested() { return manager_.RestartPending(); }

void SimRunResultsJoin::NotifyIntegrator() { manager_.MarkReinitialisation(); }

void SimRunResultsJoin::SetStructureChanged() { manager_.MarkStructureChanged(); }

void SimRunResultsJoin::SetScalingSwitches() {
  if (SolverOptionTable* options = SolverOptionTable::Instance())
    options->SetInteger(kScalingOption, 1);
}

void SimRunResultsJoin::SpecificationChanged(std::int32_t) { manager_.RequestTimerPoll(); }

std::vector<std::uint8_t>* SimRunResultsJoin::ProblemBlock() {
  // Time (f64), counter and stops (u16 each), as the notification has them.
  const RunStatusRecord& record = manager_.Record();
  const double time = record.time;
  block_.resize(12);
  std::memcpy(block_.data(), &time, 8);
  std::memcpy(block_.data() + 8, &record.counter, 2);
  std::memcpy(block_.data() + 10, &record.stops, 2);
  return &block_;
}

std::int32_t SimRunResultsJoin::RecordOf(const DAESVarTableEntry* entry) const {
  auto found = record_of_.find(entry);
  return found != record_of_.end() ? found->second : -1;
}

AssignableVariable* SimRunResultsJoin::VariableAt(std::int32_t index) {
  if (index < 0 || static_cast<std::size_t>(index) >= records_.size()) return nullptr;
  DAESVarTableEntry* entry = records_[static_cast<std::size_t>(index)];
  return entry != nullptr ? AssignableOf(entry) : nullptr;
}

ResultObject* SimRunResultsJoin::ObjectAt(std::int32_t index) {
  if (index < 0 || static_cast<std::size_t>(index) >= records_.size()) return nullptr;
  DAESVarTableEntry* entry = records_[static_cast<std::size_t>(index)];
  if (entry == nullptr) return nullptr;
  // A merged variable's original is its problem's equivalence.
  DAESProblem* problem = GetCurrentProblem();
  DAESVarTableEntry* original = problem != nullptr ? problem->EntryFor(entry) : nullptr;
  return ObjectOf(original != nullptr ? original : entry);
}

std::int32_t SimRunResultsJoin::ValueIndex(const ResultVariable* variable) {
  const auto* plotted = dynamic_cast<const EntryVariable*>(variable);
  return plotted != nullptr ? RecordOf(plotted->entry) : -1;
}

ResultVariable* SimRunResultsJoin::PlotVariable(ResultObject* object) {
  if (object == nullptr) return nullptr;
  // Only objects this join made reach here.
  return plot_model_->Of(static_cast<SimEntryObject*>(object)->Entry());
}

std::vector<std::uint32_t>* SimRunResultsJoin::EventSchedule() {
  DAESEventSchedule* schedule = GetCurrentEventSchedule();
  if (schedule == nullptr) return nullptr;
  std::int32_t count = 0;
  std::int32_t* states = nullptr;
  schedule->GetStates(&count, &states);
  event_states_.assign(states, states + count);
  delete[] states;
  return &event_states_;
}

Status SimRunResultsJoin::RestoreEventSchedule(const std::vector<std::uint32_t>& entries) {
  DAESEventSchedule* schedule = GetCurrentEventSchedule();
  if (schedule == nullptr) return status::kOk;
  const std::vector<std::int32_t> states(entries.begin(), entries.end());
  return schedule->SetStates(static_cast<std::int32_t>(states.size()), states.data());
}

void SimRunResultsJoin::TreeDeleter::operator()(BvuDirectoryProper* tree) const {
  BvuDirectoryProper::DeleteBelow(tree);
  delete tree;
}

namespace {

// Builds a use-data tree from full names ("Model.tank.level", its nodes
// "Model", ".tank", ".level"). Every node made is found again by the part
// of the name that leads to it, so that a flat model of V names is placed
// in time linear in V rather than by a scan of each parent's children.
class UseTreeBuilder {
 public:
  explicit UseTreeBuilder(BvuDirectoryProper* root) : root_(root) {}

  // The use-data node at the name, made with its parents; null when the
  // place is taken or the name is empty.
  SimUseData* Place(const char* text) {
    const std::string_view name = text != nullptr ? text : "";
    if (name.empty()) return nullptr;
    BvuDirectoryNode* at = root_;
    std::size_t from = 0;
    while (from < name.size()) {
      std::size_t dot = name.find('.', from + 1);
      if (dot == std::string_view::npos) dot = name.size();
      const bool last = dot == name.size();
      const std::string_view up_to = name.substr(0, dot);
      // Most parts lead to a node made before: found without a copy.
      if (const auto found = made_.find(up_to); found != made_.end()) {
        if (last) return nullptr;
        at = found->second;
        from = dot;
        continue;
      }
      const std::string part(name.substr(from, dot - from));
      BvuDirectoryNode* made = last ? new SimUseData(at, part.c_str())
                                    : new BvuDirectoryProper(at, part.c_str());
      const std::int32_t index = at->HighIndex() < at->LowIndex() ? 1 : at->HighIndex() + 1;
      if (status::IsFailure(at->InsertChildAt(index, made))) {
        delete made;
        return nullptr;
      }
      made_.emplace(up_to, made);
      at = made;
      from = dot;
    }
    return static_cast<SimUseData*>(at);
  }

 private:
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };
  BvuDirectoryProper* root_;
  // By the name up to the node.
  std::unordered_map<std::string, BvuDirectoryNode*, NameHash, std::equal_to<>> made_;
};

}  // namespace

void SimRunResultsJoin::IndexRecords(DAESProblem* problem, SUPackedValueTable* values) {
  records_.assign(values != nullptr ? static_cast<std::size_t>(values->Count()) : 0, nullptr);
  record_of_.clear();
  variable_tree_.reset(new BvuDirectoryProper(nullptr, ""));
  // Snapshots of the run's own file compare against these variables.
  results_->UseMgr().SetModelRoot(variable_tree_.get());
  if (problem == nullptr) return;
  UseTreeBuilder tree(variable_tree_.get());
  auto place = [&](DAESVarTableEntry* entry, bool parameter) {
    const std::uint32_t stored = entry->StoredIndex();
    if (stored == 0 || stored > records_.size()) return;
    const std::int32_t index = static_cast<std::int32_t>(stored) - 1;
    records_[static_cast<std::size_t>(index)] = entry;
    record_of_[entry] = index;
    SUPackedValue& record = values->Record(index);
    // What snapshot use compares a record's specification with.
    record.attribute = static_cast<std::uint16_t>(
        !parameter ? entry->GetSpec()
                   : (entry->GetFlags() & daes::kStoredAsAttribute) != 0
                         ? daes::kStoredAttributeParameter
                         : daes::kStoredVariableAttribute);
    if (SimUseData* node = tree.Place(entry->GetNameText())) {
      node->variable_index = static_cast<std::uint32_t>(index);
      node->type = record.type;
      node->attribute = record.attribute;
    }
  };
  for (std::int32_t i = 0; i < problem->VariableCount(); ++i) {
    DAESVarTableEntry* variable = problem->GetVariable(i);
    if (auto* group = dynamic_cast<DAESEquivalence*>(variable)) {
      for (std::int32_t m = 0; m < group->MemberCount(); ++m) place(group->Member(m), false);
    } else {
      place(variable, false);
    }
  }
  for (DAESParameter* parameter : problem->Parameters()) place(parameter, true);
}

void SimRunResultsJoin::IndexEvents() {
  event_tree_.reset();
  DAESEventSchedule* schedule = GetCurrentEventSchedule();
  if (schedule == nullptr || schedule->Count() == 0) return;
  std::int32_t count = 0;
  DAESEquation** equations = nullptr;
  schedule->GetEquations(&count, &equations);
  event_tree_.reset(new BvuDirectoryProper(nullptr, ""));
  UseTreeBuilder tree(event_tree_.get());
  for (std::int32_t k = 0; k < count; ++k) {
    // An event without an equation of its own is known by its place.
    char place[24];
    std::snprintf(place, sizeof place, "#%d", k);
    const char* name = equations[k] != nullptr ? equations[k]->GetNameText() : nullptr;
    if (name == nullptr || name[0] == '\0') name = place;
    if (SimUseData* node = tree.Place(name)) {
      node->variable_index = static_cast<std::uint32_t>(k);
      node->type = SUValue::kInteger;
    }
  }
  delete[] equations;
}

SimEntryAssignable* SimRunResultsJoin::AssignableOf(DAESVarTableEntry* entry) {
  std::unique_ptr<SimEntryAssignable>& held = assignables_[entry];
  if (held == nullptr) held = std::make_unique<SimEntryAssignable>(entry, this);
  return held.get();
}

SimEntryObject* SimRunResultsJoin::ObjectOf(DAESVarTableEntry* entry) {
  std::unique_ptr<SimEntryObject>& held = objects_[entry];
  if (held == nullptr) held = std::make_unique<SimEntryObject>(entry, this);
  return held.get();
}

// --- the model's results services ---

void SimRunResultsJoin::AddVariable(DAESVarTableEntry* entry) {
  if (entry != nullptr) recorded_.insert(entry);
}

void SimRunResultsJoin::RemoveVariable(DAESVarTableEntry* entry) { recorded_.erase(entry); }

void SimRunResultsJoin::ForgetEntry(DAESVarTableEntry* entry) {
  recorded_.erase(entry);
  if (ResultVariable* plotted = plot_model_->Forget(entry)) results_->StopPlotVariable(plotted);
  auto object = objects_.find(entry);
  if (object != objects_.end()) {
    results_->ForgetObject(object->second.get());
    objects_.erase(object);
  }
  auto record = record_of_.find(entry);
  if (record != record_of_.end()) {
    records_[static_cast<std::size_t>(record->second)] = nullptr;
    record_of_.erase(record);
  }
  auto found = assignables_.find(entry);
  if (found == assignables_.end()) return;
  results_->ForgetVariable(found->second.get());
  assignables_.erase(found);
}

Status SimRunResultsJoin::AssignValue(DAESVarTableEntry* entry, double value, std::int32_t code,
                                      std::uint32_t flags) {
  if (entry == nullptr) return status::kBadArguments;
  return results_->AssignValue(24, nullptr, value, static_cast<std::uint32_t>(code),
                               AssignableOf(entry), false, flags, flags);
}

// --- a problem variable for assignments ---

DAESVarTableEntry* SimEntryAssignable::Target() const {
  if ((entry_->GetFlags() & daes::kMerged) == 0) return entry_;
  DAESProblem* problem = GetCurrentProblem();
  DAESVarTableEntry* group = problem != nullptr ? problem->EntryFor(entry_) : nullptr;
  return group != nullptr ? group : entry_;
}

// A merged entry's alias bit sends assignments to the problem's variable
// of its record: this same object, which stands for the group.
std::uint32_t SimEntryAssignable::Flags() const { return entry_->GetFlags(); }

void SimEntryAssignable::SetFlags(std::uint32_t flags) {
  entry_->ClearFlags(~flags);
  entry_->SetFlags(flags);
}

std::vector<AssignableVariable*> SimEntryAssignable::Group() {
  auto* group = dynamic_cast<DAESEquivalence*>(Target());
  if (group == nullptr) return {};
  std::vector<AssignableVariable*> members;
  for (std::int32_t m = 0; m < group->MemberCount(); ++m)
    if (DAESVarTableEntry* member = group->Member(m)) members.push_back(join_->AssignableOf(member));
  return members;
}

std::string SimEntryAssignable::Name() const {
  const char* name = entry_->GetNameText();
  return name != nullptr ? name : "";
}

std::int32_t SimEntryAssignable::Index() const { return join_->RecordOf(entry_); }

void SimEntryAssignable::Bounds(double* lower, double* upper) const {
  *lower = -SimProblemMgr::kLargestValue;
  *upper = SimProblemMgr::kLargestValue;
  Target()->GetBounds(lower, upper);
}

double SimEntryAssignable::Value() const { return Target()->GetRealValue(); }

void SimEntryAssignable::SetValue(double value) { Target()->SetValue(value); }

void SimEntryAssignable::SetValueMarked(double value, bool marked) {
  DAESVarTableEntry* target = Target();
  target->SetValue(value);
  target->SetAdvised(marked);
}

std::uint32_t SimEntryAssignable::Specification() const {
  return static_cast<std::uint32_t>(entry_->GetSpec());
}

Status SimEntryAssignable::SetSpecification(std::uint32_t code) {
  // A specification that changes the structure asks for a rebuild.
  return entry_->SetSpec(static_cast<std::int32_t>(code)) != 0 ? status::kGeneralFailure
                                                               : status::kOk;
}

bool SimEntryAssignable::HoldsTypedValue() const { return entry_->ValueType() != SUValue::kReal; }

void SimEntryAssignable::GetTypedValue(SUValue* value) const {
  // A copy in the variable's own type.
  value->SetType(SUValue::kNoType);
  value->Assign(entry_->TypedValue());
}

void SimEntryAssignable::SetTypedValue(const SUValue& value) { entry_->SetTypedValue(value); }

// --- a problem entry for result items ---

// Reals, states and derivatives are variables; parameters are value objects.
bool SimEntryObject::IsVariable() const { return dynamic_cast<DAESVariable*>(entry_) != nullptr; }

std::string SimEntryObject::Name() const {
  const char* name = entry_->GetNameText();
  return name != nullptr ? name : "";
}

std::uint16_t SimEntryObject::TypeCode() const { return entry_->ValueType(); }

std::uint32_t SimEntryObject::Flags() const { return entry_->GetFlags(); }

std::int32_t SimEntryObject::Index() const { return join_->RecordOf(entry_); }

double SimEntryObject::RealValue() const { return entry_->GetRealValue(); }

void SimEntryObject::GetTypedValue(SUValue* value) const {
  value->SetType(SUValue::kNoType);
  value->Assign(entry_->TypedValue());
}

void SimEntryObject::SetReal(double value) { entry_->SetValue(value); }

Status SimEntryObject::SetTypedValue(const SUValue& value) {
  entry_->SetTypedValue(value);
  return status::kOk;
}

void SimEntryObject::Bounds(double* lower, double* upper) const {
  *lower = -SimProblemMgr::kLargestValue;
  *upper = SimProblemMgr::kLargestValue;
  entry_->GetBounds(lower, upper);
}

void SimEntryObject::SetBounds(double lower, double upper) { entry_->SetBounds(lower, upper); }

void SimEntryObject::SetScale(double scale) {
  if (auto* variable = dynamic_cast<DAESVariable*>(entry_)) variable->SetScale(scale);
}

Status SimEntryObject::SetSpecification(std::uint32_t code) {
  return entry_->SetSpec(static_cast<std::int32_t>(code)) != 0 ? status::kGeneralFailure
                                                               : status::kOk;
}

std::uint32_t SimEntryObject::Specification() const {
  return static_cast<std::uint32_t>(entry_->GetSpec());
}

void SimEntryObject::SetFlagBits(std::uint32_t bits) { entry_->SetFlags(bits); }

ResultObject* SimEntryObject::Companion() {
  DAESVarTableEntry* partner = entry_->GetDerivative();
  if (DAESDotVariable* derivative = entry_->AsDotVariable()) partner = derivative->GetStateVariable();
  return partner != nullptr ? join_->ObjectOf(partner) : nullptr;
}

void SimEntryObject::SetFirstSwitch(bool on) {
  if (on)
    entry_->SetFlags(AssignableVariable::kBit19);
  else
    entry_->ClearFlags(AssignableVariable::kBit19);
}

void SimEntryObject::SetText(const char* text) { entry_->SetDescription(text); }
