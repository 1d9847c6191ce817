#include "results/manager/results_mgr.h"

#include <strings.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "daes/delays/delay_mgr.h"
#include "foundation/directory/directory_node.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/values/snapshot_version.h"
#include "foundation/values/typed_value.h"
#include "framework/messaging/message.h"
#include "framework/servers/server_registry.h"
#include "platform/com_memory_stream.h"
#include "platform/posix_file.h"
#include "results/manager/ascii_out_stream.h"
#include "results/plot/plot_format.h"
#include "results/snapshots/snapshot_text.h"

namespace {

constexpr const char* kSnapshotFile = "snapshot.snp";
constexpr const char* kBackupFile = "snapshot.bak";
constexpr std::uint32_t kRecordSize = SUPackedValueTable::kRecordSize;
constexpr std::uint32_t kShortRecordSize = SUPackedValueTable::kShortRecordSize;
constexpr std::uint32_t kUnset = 0xFFFFFFFFu;
constexpr Status kNoSuchSection = 0x8000FFFFu;
constexpr Status kWrongLength = 0xA000FFFFu;
constexpr Status kCorruptedTree = 0xA000004Fu;
constexpr std::uint32_t kRenamedService = 82;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Every SimUseData node below root with its path (lower case), in walk order.
void CollectUseData(BvuDirectoryNode* root,
                    std::vector<std::pair<std::string, SimUseData*>>* nodes) {
  struct Level {
    BvuDirectoryNode* node;
    std::string path;
    std::int32_t next;
  };
  std::vector<Level> levels{{root, "", root->LowIndex()}};
  while (!levels.empty()) {
    Level& level = levels.back();
    BvuDirectoryNode* child = nullptr;
    std::int32_t index = NextChildIndex(level.node, level.next);
    while (child == nullptr && index <= level.node->HighIndex()) {
      child = level.node->ChildAt(index++);
      if (child == nullptr) index = NextChildIndex(level.node, index);
    }
    level.next = index;
    if (child == nullptr) {
      levels.pop_back();
      continue;
    }
    std::string path = level.path + Lower(child->Name() != nullptr ? child->Name() : "");
    if (child->GetKind() == SimUseData::kKind)
      nodes->emplace_back(path, static_cast<SimUseData*>(child));
    levels.push_back({child, std::move(path), child->LowIndex()});
  }
}

// Walks the snapshot's tree and the present one together by path: entry
// `now` of the map receives the snapshot's record index of the node whose
// present index is `now`. Every entry must be set (and, when bounded, below
// the count); *same stays true only while every entry is its own place.
Status BuildOrderMap(BvuDirectoryNode* old_tree, BvuDirectoryNode* new_tree, std::uint32_t count,
                     bool bounded, std::vector<std::uint32_t>* map, bool* same) {
  map->assign(count, kUnset);
  std::vector<std::pair<std::string, SimUseData*>> old_nodes;
  std::vector<std::pair<std::string, SimUseData*>> new_nodes;
  if (old_tree != nullptr) CollectUseData(old_tree, &old_nodes);
  if (new_tree != nullptr) CollectUseData(new_tree, &new_nodes);
  std::unordered_map<std::string, SimUseData*> present;
  for (auto& [path, node] : new_nodes) present.emplace(path, node);
  for (auto& [path, node] : old_nodes) {
    auto found = present.find(path);
    if (found == present.end() || node->variable_index == SimUseData::kArray) continue;
    const std::uint32_t now = found->second->variable_index;
    if (now < map->size()) (*map)[now] = node->variable_index;
  }
  *same = true;
  for (std::size_t i = 0; i < map->size(); ++i) {
    const std::uint32_t from = (*map)[i];
    if (from == kUnset || (bounded && from >= count)) return kNoSuchSection;
    if (from != i) *same = false;
  }
  return status::kOk;
}

std::uint32_t Truncated(double value) {
  if (!(value >= 0)) return 0;
  if (value >= 4294967295.0) return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(value);
}

}  // namespace

SimResultsMgr::SimResultsMgr(ResultsProblemSide* problem)
    : problem_(problem), finder_(this),
      use_(std::make_unique<SputUseMgr>(&store_, problem->VariableTree())) {
  // "snapshot.snp" and "snapshot.bak" sit in the run folder, which others
  // may write in.
  store_.SetFollowLinks(false);
  if (problem_->Model() != nullptr) {
    plot_ = std::make_unique<SputPlotHistoryMgr>(&finder_);
    plot_->SetTolerance(1e-5);
  }
  for (std::int32_t i = 0; i < kSectionCount; ++i) {
    store_.AddParticipant(this);
    registered_.push_back(this);
  }
  // The delay histories travel in every snapshot, so that a restore brings
  // back what delayed values read: participants 4 and 5, whose indices are
  // the delay manager's kinds (the history and the second history).
  if (DelayMgr* delays = GetCurrentDelayMgr()) {
    static_assert(kSectionCount == delays::kHistoryKind &&
                  delays::kSubHistoryKind == delays::kHistoryKind + 1);
    for (int k = 0; k < 2; ++k) {
      store_.AddParticipant(delays);
      registered_.push_back(delays);
    }
  }
  use_->SetParticipants(registered_);
  RunResultsSeam::SetCurrent(this);
}

SimResultsMgr::~SimResultsMgr() {
  // Kept templates may outlive the manager in their controller.
  {
    std::lock_guard<std::mutex> hold(responses_lock_);
    for (SimResultResponse* response : responses_) response->Detach();
  }
  if (RunResultsSeam::Current() == this) RunResultsSeam::SetCurrent(nullptr);
  if (plot_ != nullptr) plot_->Close();
  store_.Clear(true);
}

// --- client commands ---

Status SimResultsMgr::RegisterServices(DseServerRegistry* registry) {
  if (registry == nullptr) return status::kBadArguments;
  const Status s = registry->Register(kService, this);
  return status::IsFailure(s) ? s : registry->Register(kServiceToo, this);
}

Status SimResultsMgr::HandleCommand(std::uint32_t, std::uint32_t command,
                                    std::uint32_t string_count, const char* const* strings,
                                    std::uint32_t integer_count, const std::int32_t* integers,
                                    std::uint32_t real_count, const double* reals) {
  switch (command) {
    case kIntervalCommand:
      if (real_count < 1 || reals == nullptr) return status::kBadArguments;
      return SetCommunicationInterval(static_cast<float>(reals[0]));
    case kSnapshotIntervalCommand:
      if (integer_count < 1 || integer_count > 2 || integers == nullptr)
        return status::kBadArguments;
      return SetSnapshotFlags(
          static_cast<std::uint32_t>(integers[0]), integer_count >= 2 ? integers[1] : -1,
          real_count >= 1 && reals != nullptr,
          real_count >= 1 && reals != nullptr ? static_cast<float>(reals[0]) : 0.0f);
    default:
      // Restores and assignments write into the problem.
      if ((command == 1 || command == 21 || command == 23 || command == 24) &&
          problem_->RunActive())
        return kBusy;
      return ProtocolCommand(command, string_count, strings, integer_count, integers, real_count,
                             reals);
  }
}

// --- intervals ---

bool SimResultsMgr::ReadBackInterval(float requested, double* value) {
  // Wide enough for the largest float in "%f" (39 digits and six decimals):
  // nothing is cut, and a text that would not fit is refused all the same.
  char text[64];
  const int length = std::snprintf(text, sizeof text, "%f", static_cast<double>(requested));
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text) return false;
  const double read = std::strtod(text, nullptr);
  if (!(read > 0) || !std::isfinite(read)) return false;
  *value = read;
  return true;
}

Status SimResultsMgr::SetCommunicationInterval(float requested) {
  double value = 0;
  if (!ReadBackInterval(requested, &value)) return status::kBadArguments;
  requested_interval_ = value;
  if (interval_hold_ == 0) {
    interval_ = value;
    per_snapshot_ = Truncated(snapshot_interval_ / interval_);
  }
  return status::kOk;
}

Status SimResultsMgr::SetSnapshotFlags(std::uint32_t flags, std::int32_t maximum, bool has_interval,
                                       float interval) {
  const std::uint32_t new_flags = (snapshot_flags_ & 0x8) | flags;
  double value = 0;
  if (has_interval && ((new_flags & kTimedSnapshots) == 0 || !ReadBackInterval(interval, &value)))
    return status::kBadArguments;
  snapshot_flags_ = new_flags;
  store_.SetMaximumSnapshots(maximum >= 0 ? maximum : std::numeric_limits<std::int32_t>::max());
  if (has_interval) {
    snapshot_interval_ = value;
    per_snapshot_ = Truncated(snapshot_interval_ / interval_);
    timed_counter_ = Truncated(std::fmod(run_time_ + interval_ * 0.5, value) / interval_);
  }
  return status::kOk;
}

// --- the run loop's seam ---

double SimResultsMgr::NextCommunicationTime() {
  ++communications_since_;
  return last_communication_ + static_cast<double>(communications_since_) * interval_;
}

void SimResultsMgr::SetCommunicationTime(double time) {
  last_communication_ = time;
  communications_since_ = 0;
  interval_hold_ = 0;
}

Status SimResultsMgr::AssignValue(std::uint32_t kind, const SUValue* typed, double real,
                                  std::uint32_t code, AssignableVariable* variable,
                                  bool skip_ramp_check, std::uint32_t pattern, std::uint32_t mask) {
  if (variable == nullptr) return status::kBadArguments;
  const std::uint32_t flags = variable->Flags();
  if (!skip_ramp_check && (flags & AssignableVariable::kRampedBit) != 0) {
    problem_->Print(status::kGeneralFailure, "Cannot assign to ramped variable " +
                                                 variable->Name() +
                                                 "\nAssignment ignored - simulation will continue");
    return status::kGeneralFailure;
  }
  step_assignments_.push_back(
      std::make_unique<SimAssignValue>(kind, typed, real, code, variable, pattern, mask));
  if ((flags & AssignableVariable::kFixedBit) == 0 && problem_->Option(85) != 0 &&
      problem_->RunMode() == kDynamicRun) {
    problem_->Print(status::kOk,
                    std::string("Warning: Assignment to ") +
                        ((flags & AssignableVariable::kFreeBit) != 0 ? "Free" : "Initial") +
                        " variable " + variable->Name());
  }
  return status::kOk;
}

SimAssignValue* SimResultsMgr::FindQueuedItem(const AssignableVariable* variable) {
  for (auto& item : step_assignments_)
    if (item->variable == variable) return item.get();
  return nullptr;
}

SimAssignValue* SimResultsMgr::RemoveQueuedItem(const AssignableVariable* variable) {
  SimAssignValue* item = FindQueuedItem(variable);
  if (item != nullptr) item->variable = nullptr;
  return item;
}

void SimResultsMgr::ForgetVariable(const AssignableVariable* variable) {
  if (variable == nullptr) return;
  while (RemoveQueuedItem(variable) != nullptr) {
  }
  const auto names = [variable](const std::unique_ptr<SimAssignValue>& item) {
    return item->variable == variable;
  };
  std::erase_if(staged_, names);
  std::erase_if(reply_items_, names);
  std::erase_if(client_, names);
}

void SimResultsMgr::ForgetObject(const ResultObject* object) {
  if (object == nullptr) return;
  std::lock_guard<std::mutex> hold(responses_lock_);
  for (SimResultResponse* response : responses_) response->Forget(object);
}

void SimResultsMgr::AddResponse(SimResultResponse* response) {
  std::lock_guard<std::mutex> hold(responses_lock_);
  responses_.push_back(response);
}

void SimResultsMgr::RemoveResponse(SimResultResponse* response) {
  std::lock_guard<std::mutex> hold(responses_lock_);
  std::erase(responses_, response);
}

void SimResultsMgr::StoreReal(AssignableVariable* variable, double value, std::uint32_t pattern,
                              std::uint32_t mask) {
  if (values_ == nullptr) return;
  std::vector<AssignableVariable*> members = variable->Group();
  if (members.empty()) members.push_back(variable);
  for (AssignableVariable* member : members) {
    const std::int32_t index = member->Index();
    if (index < 0 || index >= values_->Count()) continue;
    SUPackedValue& record = values_->Record(index);
    record.attribute = static_cast<std::uint16_t>(member->Specification());
    record.type = SUValue::kReal;
    record.payload.real = value;
    record.flags = (record.flags & ~mask) | (pattern & mask);
  }
}

Status SimResultsMgr::ApplyAssignments(bool* restart, bool* changed, double time) {
  bool restart_out = false;
  bool changed_out = false;
  const bool may_restart = problem_->RestartRequested() && problem_->Option(146) != 0;
  const double tolerance = problem_->Option(74);
  const bool clip_messages = problem_->Option(31) != 0;
  std::int32_t applied = 0;
  auto mark_changed = [&] {
    changed_out = true;
    if (may_restart) restart_out = true;
    problem_->SetValuesChanged();
  };
  std::vector<std::unique_ptr<SimAssignValue>> items;
  items.swap(step_assignments_);
  if (!items.empty()) RecordPlot(time);
  for (auto& item : items) {
    AssignableVariable* variable = item->variable;
    if (variable == nullptr || item->kind == 0) continue;
    if ((variable->Flags() & AssignableVariable::kAliasBit) != 0) {
      variable = problem_->VariableAt(variable->Index());
      if (variable == nullptr) continue;
    }
    ++applied;
    const std::uint32_t mask = item->mask;
    const std::uint32_t pattern = item->pattern;
    if (item->kind == 2) {
      if (variable->SetSpecification(item->word) == status::kOk)
        problem_->NotifyIntegrator();
      else
        problem_->SetStructureChanged();
      auto* message = new DseMessage(86, DseMessage::kRequest);
      message->PutUInt16(11);
      message->PutString(variable->Name().c_str());
      message->PutUInt16(7);
      message->PutUInt16(static_cast<std::uint16_t>(item->word));
      problem_->Send(message);
      continue;
    }
    if (item->kind == 24) {
      double value = item->real;
      double lower = 0, upper = 0;
      variable->Bounds(&lower, &upper);
      char line[256];
      if (value < lower) {
        if (clip_messages) {
          std::snprintf(line, sizeof line, "Assignment (%g) to %s was clipped to lower bound (%g)",
                        value, variable->Name().c_str(), lower);
          problem_->Print(status::kOk, line);
        }
        value = lower;
      } else if (value > upper) {
        if (clip_messages) {
          std::snprintf(line, sizeof line, "Assignment (%g) to %s was clipped to upper bound (%g)",
                        value, variable->Name().c_str(), upper);
          problem_->Print(status::kOk, line);
        }
        value = upper;
      }
      const bool flag_change = mask != 0 && (variable->Flags() & mask) != (pattern & mask);
      double current = variable->Value();
      if (!std::isfinite(current)) current = static_cast<double>(1e28f);
      const double difference = std::fabs(current - value);
      const double size = std::fabs(value);
      const bool significant =
          size >= tolerance ? difference > tolerance * size : difference > tolerance;
      if (significant || flag_change) mark_changed();
      StoreReal(variable, value, pattern, mask);
      if ((mask & AssignableVariable::kBit25) != 0)
        variable->SetValueMarked(value, (pattern & AssignableVariable::kBit25) != 0);
      else
        variable->SetValue(value);
      if ((mask & AssignableVariable::kBit19) != 0) {
        const std::uint32_t flags = variable->Flags();
        variable->SetFlags((flags & ~AssignableVariable::kBit19) |
                           (pattern & AssignableVariable::kBit19));
      }
      continue;
    }
    // Kinds 1, 4, 68 and 255: a typed value in the variable's own type.
    SUValue current;
    variable->GetTypedValue(&current);
    SUValue converted;
    converted.SetType(current.type);
    converted.Assign(item->typed);
    if (converted.status != SUValue::kValid || !converted.IsNotEqual(current)) continue;
    mark_changed();
    const std::int32_t index = variable->Index();
    if (values_ != nullptr && index >= 0 && index < values_->Count()) {
      SUPackedValue& record = values_->Record(index);
      if (record.type == SUValue::kNoType) record.type = SUValue::kInteger;
      record.FromValue(converted, values_->Pool());
    }
    variable->SetFlags((variable->Flags() & ~mask) | (pattern & mask));
    if ((variable->Flags() & AssignableVariable::kStructuralBit) == 0)
      variable->SetTypedValue(converted);
  }
  if (applied > 0) run_number_ |= 0x8000;
  if (changed_out && !restart_out) RecordPlot(time);
  // A restart away from time 0 asks the next initialisation to re-initialise.
  if (restart_out && time != 0) reinitialise_ = true;
  if (restart != nullptr) *restart = restart_out;
  if (changed != nullptr) *changed = changed_out;
  return status::kOk;
}

bool SimResultsMgr::TakeReinitialisationMark() {
  const bool mark = reinitialise_;
  reinitialise_ = false;
  return mark;
}

bool SimResultsMgr::AfterRunStep(double time, std::uint16_t run, std::int16_t count,
                                 std::uint32_t step_flags, double step_time, double tolerance,
                                 bool pause) {
  last_requested_.clear();
  if (values_ == nullptr) return false;
  const bool suppressed = (snapshot_flags_ & kSuppress) != 0;
  const char* name = nullptr;
  bool event = (step_flags & kStepEvent) != 0;
  if (std::fabs(step_time - time) < tolerance) {
    if ((step_flags & kStepCommunication) != 0 && (step_flags & kStepRecorded) != 0) {
      event = true;
      if (++timed_counter_ >= per_snapshot_) {
        if ((snapshot_flags_ & kTimedSnapshots) != 0 && !suppressed) name = "Timed Snapshot";
        timed_counter_ = 0;
      }
    }
    if ((step_flags & kStepSteadyState) != 0) {
      event = true;
      // A timed snapshot on a steady-state step is named for the steady state.
      if (name != nullptr || ((snapshot_flags_ & kSteadyState) != 0 && !suppressed))
        name = "Steady State";
      if (plot_ != nullptr) plot_->Reset();
      plot_recording_ = true;
    }
    if ((step_flags & kStepInitialisationRun) != 0) {
      event = true;
      if ((snapshot_flags_ & kInitialisationRun) != 0 && !suppressed) name = "Initialization Run";
      if (plot_ != nullptr) plot_->Reset();
      plot_recording_ = true;
    }
    if ((step_flags & kStepInitialisation) != 0) {
      event = true;
      if (!suppressed) {
        if (time != 0) {
          if ((snapshot_flags_ & kDynamicInitialisation) != 0) name = "Dynamic Initialization";
        } else if ((snapshot_flags_ & kInitialisationAtZero) != 0) {
          name =
              (step_flags & kStepRewind) != 0 ? "Rewind Initialization" : "Dynamic Initialization";
        }
      }
    }
    if (step_time == 0) timed_counter_ = 0;
  }
  if (event) {
    SetRunPosition({time, run, count});
    if (problem_->RunMode() == kDynamicRun && run != 0 &&
        (step_flags & (kStepCommunication | kStepInitialisation)) != 0)
      plot_recording_ = true;
    if (run_time_ <= problem_->CurrentTime()) RecordPlot(run_time_);
  }
  if (name != nullptr) {
    last_requested_ = name;
    problem_->RequestSnapshot(name, true);
    if (count == 0) {
      ++snapshot_count_;
      count = 1;
    }
  }
  problem_->SetValuesChanged();
  // Paused where the step stopped: snapshots and restores of the pause are
  // taken there, not at the last communication point.
  if (pause && (step_flags & kStepCommunication) != 0) SetRunPosition({time, run, count});
  return event;
}

// --- run start ---

RunPosition SimResultsMgr::Position() const { return {run_time_, run_number_, snapshot_count_}; }

void SimResultsMgr::SetRunPosition(const RunPosition& at) {
  if (values_ != nullptr) problem_->StorePosition(values_.get());
  run_time_ = at.time;
  run_number_ = at.run;
  snapshot_count_ = at.count;
}

void SimResultsMgr::RebuildRestoreTable() {
  if (use_->Values() == restore_.get()) use_->SetValues(nullptr);
  restore_ = std::make_unique<SUPackedValueTable>();
  restore_->Resize(variable_count_);
}

void SimResultsMgr::DropRunState() {
  if (use_->Values() == restore_.get()) use_->SetValues(nullptr);
  restore_.reset();
  timed_counter_ = 0;
  problem_->ResetRunHooks();
}

void SimResultsMgr::ClearMaps() {
  variable_map_.clear();
  event_map_.clear();
  map_failed_ = false;
}

void SimResultsMgr::ReopenPlotHistory(bool anew) {
  if (plot_ == nullptr) return;
  if (anew) {
    if (plot_->IsOpen()) plot_->Reset();
    plot_->Open(true);
    return;
  }
  if (status::IsFailure(plot_->Open(false))) {
    plot_->Reset();
    plot_->Open(true);
  }
}

void SimResultsMgr::RecordPlot(double time) {
  if (plot_ != nullptr && plot_recording_) plot_->RecordValues(time, nullptr);
}

Status SimResultsMgr::RestartPlotHistory(bool reopen) {
  if (plot_ == nullptr) return status::kOk;
  // A closed history has nothing to empty.
  const Status s = plot_->IsOpen() ? plot_->Reset() : status::kOk;
  if (reopen && status::IsSuccess(s)) return plot_->Open(true);
  return s;
}

std::string SimResultsMgr::MoveSnapshotFileAside() {
  // Never over another file: the name is taken only when nothing has it,
  // and a name taken meanwhile sends us to the next one.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = store_.NextFileName();
    int error = 0;
    if (platform::RenameFileNoReplace(kSnapshotFile, name.c_str(), &error)) {
      platform::SyncFolderOf(name.c_str(), &error);
      return name;
    }
    if (error != EEXIST) return {};
  }
  return {};
}

void SimResultsMgr::SendRenamed(const std::string& name) {
  auto* message = new DseMessage(kRenamedService, DseMessage::kRequest);
  message->PutUInt32(0);
  message->PutString(name.c_str());
  problem_->Send(message);
}

Status SimResultsMgr::StartAnew(Status so_far, bool fallback, RunPosition* at) {
  store_.Clear(true);
  if (platform::PathExists(kSnapshotFile)) {
    const std::string moved = MoveSnapshotFileAside();
    // The old file stays where it is rather than be written over.
    if (moved.empty()) return snapshot::kIoFailed;
    SendRenamed(moved);
    platform::RemoveFile(kBackupFile);
  }
  run_time_ = problem_->CurrentTime();
  run_number_ = 0;
  snapshot_count_ = 0;
  if (at != nullptr) *at = Position();
  const Status created = store_.CreateFile(kSnapshotFile);
  if (status::IsFailure(created)) return created;
  if (so_far == status::kOk) problem_->PostEvent(kNewFileNumber, "Starting new snapshot file.");
  if (fallback) ReopenPlotHistory(true);
  SetCommunicationTime(run_time_);
  return so_far;
}

Status SimResultsMgr::Remap() {
  char temp[32] = {};
  bool found = false;
  for (char first = '0'; first <= '9' && !found; ++first) {
    for (char second = '0'; second <= '9' && !found; ++second) {
      std::snprintf(temp, sizeof temp, "snaptmp%c%c.snp", first, second);
      found = !platform::PathExists(temp);
    }
  }
  Status result = found ? store_.RewriteMapped(temp) : snapshot::kIoFailed;
  if (status::IsFailure(result)) {
    if (found) platform::RemoveFile(temp);
    problem_->PostEvent(0, "Unable to map old snapshot to current problem");
    store_.Clear(true);
    return status::IsFailure(result) ? result : snapshot::kIoFailed;
  }
  store_.Clear(true);
  // The re-mapped file was synced before it got its name; the rename puts
  // it over the old one in one step, so one of the two is always there.
  int error = 0;
  if (!platform::RenameFile(temp, kSnapshotFile, &error) ||
      !platform::SyncFolderOf(kSnapshotFile, &error))
    return snapshot::kIoFailed;
  use_->DropTree();
  ClearMaps();
  return store_.OpenFile(kSnapshotFile, &registered_, true);
}

Status SimResultsMgr::OpenSnapshotFile(std::int32_t variable_count,
                                       std::unique_ptr<SUPackedValueTable> values, RunPosition* at,
                                       bool open_existing, bool reuse) {
  reused_ = false;
  if (values_ != nullptr) DropRunState();
  timed_counter_ = 0;
  variable_count_ = variable_count < 0 ? 0 : variable_count;
  values_ = std::move(values);
  RebuildRestoreTable();
  use_->DropTree();
  ClearMaps();
  std::vector<std::uint32_t>* schedule = problem_->EventSchedule();
  event_count_ = schedule != nullptr ? static_cast<std::uint32_t>(schedule->size()) : 0;
  if (!open_existing || !platform::PathExists(kSnapshotFile))
    return StartAnew(status::kOk, false, at);

  Status result = store_.OpenFile(kSnapshotFile, &registered_, true);
  if (status::IsFailure(result) || status::Code(result) == 70) {
    problem_->PostEvent(kCannotOpenNumber,
                        "Unable to open existing snapshot file, starting new file.");
    return StartAnew(status::IsFailure(result) ? result : kNoSuchSection, true, at);
  }
  const std::int32_t ready = store_.AllParticipantsReady();
  if (map_failed_) {
    store_.Clear(true);
    problem_->PostEvent(kCannotMapNumber,
                        "Unable to map this simulation's variables with the current\n"
                        "snapshots from the simulation working folder, because they\n"
                        "were created with a different simulation structure.");
    return StartAnew(kNoSuchSection, true, at);
  }
  if (ready == 0) {
    result = Remap();
    if (status::IsFailure(result)) return StartAnew(result, true, at);
  }

  RunPosition latest;
  std::uint32_t id = 0;
  if (reuse) {
    ReopenPlotHistory(false);
    result = store_.GetLatestPosition(&latest, &id);
    if (status::IsSuccess(result))
      result = store_.RestoreSnapshot(id, &latest, SputSnapshotMgr::kAllParticipants, false);
    if (status::IsSuccess(result)) result = RestoreSnapshotValues(latest, at);
    if (status::IsFailure(result)) {
      // The file stays as it is; the run starts a new one beside it.
      store_.NotifyRestoreDone();
      if (plot_ != nullptr) plot_->Close();
      return StartAnew(result, true, at);
    }
    snapshot_count_ = latest.count;
    if (at != nullptr) at->count = latest.count;
    reused_ = true;
    problem_->PostEvent(kReusedNumber, "Successfully reused last snapshot.");
  } else {
    ReopenPlotHistory(true);
    result = store_.GetLatestPosition(&latest, &id);
    latest.time = 0;
    run_time_ = 0;
    run_number_ = latest.run;
    snapshot_count_ = latest.count;
    if (at != nullptr) *at = Position();
    SetCommunicationTime(0);
    problem_->PostEvent(status::Code(result), "Successfully opened snapshot file.");
  }
  store_.NotifyRestoreDone();
  use_->DropTree();
  return status::kOk;
}

Status SimResultsMgr::TakeInitialSpecificationSnapshot(RunPosition* at) {
  if (values_ == nullptr) return kNoSuchSection;
  if ((snapshot_flags_ & kInitialSpecification) == 0) return status::kOk;
  SetRunPosition(at != nullptr ? *at : Position());
  const Status s = TakeNamedSnapshot("Initial Specification", nullptr, true, false);
  if (at != nullptr && at->count == 0) {
    at->count = 1;
    ++snapshot_count_;
  }
  problem_->SetValuesChanged();
  return s;
}

Status SimResultsMgr::RestoreSnapshot(std::uint32_t id, RunPosition* at) {
  if (problem_->RunMode() == kDynamicRun) {
    // A client that never answers must not hold the engine.
    const Status waited = problem_->ConfirmRestore(id, kRestoreWaitMs);
    if (status::IsFailure(waited)) {
      char line[160];
      std::snprintf(line, sizeof line,
                    "The client did not confirm the restore of snapshot %u within 30 s; "
                    "the snapshot is restored all the same",
                    id);
      problem_->Print(waited, line);
    }
  }
  RunPosition restored;
  Status s = store_.RestoreSnapshot(id, &restored, SputSnapshotMgr::kAllParticipants, false);
  if (status::IsSuccess(s)) s = RestoreSnapshotValues(restored, at);
  return s;
}

void SimResultsMgr::SendTimeMessage(double time) {
  auto* message = new DseMessage(95, DseMessage::kRequest);
  message->PutUInt16(58);
  message->PutDouble(time);
  problem_->Send(message);
}

Status SimResultsMgr::TakeNamedSnapshot(const char* name, std::uint32_t* id, bool live, bool kept,
                                        bool notify, bool by_caller, const char* description) {
  // Before the first run only the initial specification is kept, when the
  // user asked for that.
  if (!notify && !kept && !by_caller && static_cast<std::int16_t>(run_number_) <= 0 &&
      problem_->Option(154) != 0 &&
      strcasecmp(name != nullptr ? name : "", "Initial Specification") != 0)
    return status::kOk;
  std::uint32_t taken = snapshot::kNewId;
  const Status s = store_.TakeSnapshot(Position(), name, live, &taken, kept, nullptr);
  if (s != status::kOk) return s;
  if (description != nullptr && description[0] != '\0')
    store_.SetSnapshotDescription(taken, description);
  // The client's list of snapshots learns of it.
  const char* strings[1] = {name != nullptr ? name : ""};
  const std::int32_t integers[5] = {static_cast<std::int32_t>(taken), live ? 1 : 0, kept ? 1 : 0,
                                    run_number_, snapshot_count_};
  const double reals[1] = {run_time_};
  problem_->Send(new DseCommand(kService, kTakenCommand, 1, strings, 5, integers, 1, reals));
  if (id != nullptr) *id = taken;
  if (!notify) return status::kOk;
  DseMessage* notice = nullptr;
  const Status built = BuildSnapshotNotice(taken, &notice);
  if (notice != nullptr) problem_->Send(notice);
  return built;
}

namespace {

// A copy of a use-data tree, SimUseData nodes with their fields.
void CopyUseDataTree(BvuDirectoryNode* from, BvuDirectoryNode* to) {
  struct Pair {
    BvuDirectoryNode* from;
    BvuDirectoryNode* to;
  };
  std::vector<Pair> pending{{from, to}};
  while (!pending.empty()) {
    const Pair at = pending.back();
    pending.pop_back();
    for (std::int32_t i = NextChildIndex(at.from, at.from->LowIndex()); i <= at.from->HighIndex();
         i = NextChildIndex(at.from, i + 1)) {
      BvuDirectoryNode* child = at.from->ChildAt(i);
      if (child == nullptr) continue;
      BvuDirectoryNode* copy = nullptr;
      if (child->GetKind() == SimUseData::kKind) {
        const auto& data = *static_cast<SimUseData*>(child);
        auto* node = new SimUseData(at.to, child->Name());
        node->variable_index = data.variable_index;
        node->elements = data.elements;
        node->type = data.type;
        node->attribute = data.attribute;
        node->extra = data.extra;
        node->text = data.text;
        copy = node;
      } else {
        copy = new BvuDirectoryProper(at.to, child->Name());
      }
      if (status::IsFailure(at.to->InsertChildAt(i, copy))) {
        delete copy;
        continue;
      }
      pending.push_back({child, copy});
    }
  }
}

void CopyValues(const SUPackedValueTable& from, SUPackedValueTable* to) {
  to->Resize(from.Count());
  for (std::int32_t i = 0; i < from.Count(); ++i) to->Record(i) = from.Record(i);
  to->Pool().LoadBytes(from.Pool().Data(), from.Pool().Used());
}

// The text into a new "RES*.tmp" file of the working folder; its name, or
// empty when it could not be written whole (no file is left then).
std::string WriteTextFile(const std::string& text) {
  // Made under a unique name, then given the ".tmp" ending that the
  // start-up clean-up removes; never over a file already there.
  std::string made = "RESXXXXXX";
  int error = 0;
  platform::FileDescriptor file = platform::MakeTemporaryFile(&made, &error);
  if (!file.valid()) return {};
  const std::string name = made + ".tmp";
  if (!platform::WriteAll(file.get(), text.data(), text.size(), &error) ||
      !platform::SyncFile(file.get(), &error) ||
      !platform::RenameFileNoReplace(made.c_str(), name.c_str(), &error)) {
    platform::RemoveFile(made.c_str());
    return {};
  }
  return name;
}

}  // namespace

Status SimResultsMgr::BuildSnapshotNotice(std::uint32_t id, DseMessage** notice) {
  *notice = nullptr;
  SimSnapshotTextRecord record;
  record.kind = problem_->WantsSnapshotText() ? kTextKind : kValuesKind;
  record.id = id;
  const char* text = nullptr;
  if (status::IsSuccess(store_.GetSnapshotName(id, &text)) && text != nullptr) record.name = text;
  if (status::IsSuccess(store_.GetSnapshotDescription(id, &text)) && text != nullptr)
    record.description = text;
  store_.GetSnapshotDateTime(id, &record.date, &record.time_of_day);
  record.position = Position();
  if (BvuDirectoryProper* tree = problem_->VariableTree()) CopyUseDataTree(tree, record.Tree());
  if (values_ != nullptr) CopyValues(*values_, &record.Values());

  auto message = std::make_unique<DseMessage>(kNoticeService, DseMessage::kRequest);
  if (record.kind == kTextKind) {
    // The text goes through the ASCII stream into memory, then to a file.
    platform::IStream* memory = nullptr;
    if (platform::CreateMemoryStream(&memory) != platform::S_OK) return platform::E_OUTOFMEMORY;
    bool written = false;
    {
      CSUAsciiOutStream out(memory);
      WriteSnapshotText(record, out);
      written = out.Good();
    }
    std::string bytes;
    platform::GetMemoryStreamBytes(memory, &bytes);
    memory->Release();
    record.text = written ? WriteTextFile(bytes) : std::string();
    if (record.text.empty()) return snapshot::kIoFailed;
  }
  const Status s = record.WriteToMessage(*message);
  if (status::IsFailure(s)) return s;
  *notice = message.release();
  return status::kOk;
}

Status SimResultsMgr::RestoreSnapshotValues(const RunPosition& restored, RunPosition* at) {
  if (restored.time == -1.0 && restored.run >= 65535) return kNoSuchSection;
  if (restore_ == nullptr || values_ == nullptr) return kNoSuchSection;
  const std::int32_t count = std::min(restore_->Count(), values_->Count());
  for (std::int32_t i = 0; i < count; ++i) {
    SUValue value;
    if (status::IsFailure(restore_->Record(i).ToValue(&value, restore_->Pool()))) continue;
    SUPackedValue& target = values_->Record(i);
    target.attribute = restore_->Record(i).attribute;
    if (target.type != restore_->Record(i).type) target.type = SUValue::kNoType;
    target.FromValue(value, values_->Pool());
  }
  const Status stored = problem_->StoreRestoredValues(*restore_);
  run_time_ = restored.time;
  run_number_ = restored.run;
  if (at != nullptr) {
    at->time = restored.time;
    at->run = restored.run;
  }
  SetCommunicationTime(restored.time);
  timed_counter_ =
      Truncated(std::fmod(restored.time + interval_ * 0.5, snapshot_interval_) / interval_);
  problem_->ResetRunHooks();
  problem_->SetValuesChanged();
  if (plot_ != nullptr) plot_->TruncateAt(restored.time, true);
  problem_->AddRequestBits(kRestartRequestBits);
  problem_->UpdateMonitors(problem_->CurrentTime());
  return stored;
}

// --- manager operations ---

Status SimResultsMgr::AttachProblem(const char*, const char*) {
  if (values_ != nullptr && problem_->RunMode() == kDynamicRun)
    TakeNamedSnapshot("End of Dynamic Run", nullptr, true, false);
  DropRunState();
  store_.Clear(true);
  snapshot_flags_ = 0;
  event_count_ = 0;
  event_map_.clear();
  return status::kOk;
}

Status SimResultsMgr::ProblemEdited() {
  if (values_ != nullptr && problem_->RunMode() == kDynamicRun &&
      (snapshot_flags_ & kProblemEditedSnapshot) != 0)
    TakeNamedSnapshot("Problem edited", nullptr, true, false);
  DropRunState();
  if (store_.IsOpen()) {
    store_.Clear(true);
    const std::string moved = MoveSnapshotFileAside();
    if (!moved.empty()) SendRenamed(moved);
  }
  return status::kOk;
}

Status SimResultsMgr::SaveFiles() {
  if (values_ != nullptr && (snapshot_flags_ & kFileSavedSnapshot) != 0)
    TakeNamedSnapshot("File saved", nullptr, true, false, false, true);
  Status last = store_.CopyLiveBlocks(kSnapshotFile, kBackupFile);
  bool plot_backed_up = false;
  if (status::IsSuccess(last) && problem_->Option(155) != 0 && plot_ != nullptr) {
    last = plot_->SaveAs(plot::kBackupName);
    plot_backed_up = status::IsSuccess(last);
  } else if (status::IsFailure(last)) {
    platform::RemoveFile(kBackupFile);
  }
  if (!plot_backed_up) platform::RemoveFile(plot::kBackupName);
  // The client hears that the run files are saved.
  const std::int32_t saved = 1;
  problem_->Send(
      new DseCommand(kFilesService, kFilesSavedCommand, 0, nullptr, 1, &saved, 0, nullptr));
  return last;
}

Status SimResultsMgr::SaveAs(const char*, const char*) {
  if (values_ != nullptr && (snapshot_flags_ & kFileSavedSnapshot) != 0)
    TakeNamedSnapshot("File saved", nullptr, true, false, false, true);
  store_.Clear(true);
  DropRunState();
  if (plot_ != nullptr) plot_->Close();
  return status::kOk;
}

Status SimResultsMgr::StartNewFiles(const char*, const char*) {
  timed_counter_ = 0;
  RebuildRestoreTable();
  use_->DropTree();
  ClearMaps();
  Status result = snapshot::kNotOpen;
  if (platform::PathExists(kSnapshotFile))
    result = store_.OpenFile(kSnapshotFile, &registered_, true);
  if (status::IsSuccess(result)) {
    use_->DropTree();
    ReopenPlotHistory(false);
    return result;
  }
  RunPosition at;
  return StartAnew(status::kOk, true, &at);
}

// --- snapshot participation ---

std::uint32_t SimResultsMgr::Id(std::int32_t index) {
  return index >= 0 && index < kSectionCount ? kFirstId + static_cast<std::uint32_t>(index) : 0;
}

Status SimResultsMgr::StructureRecord(std::int32_t index, DseMessage** message) {
  *message = nullptr;
  if (index < 0 || index >= kSectionCount) return kNoSuchSection;
  if (index != 0 && index != 3) return status::kOk;
  BvuDirectoryProper* tree = index == 0 ? problem_->VariableTree() : problem_->EventTree();
  if (tree == nullptr) return status::kOk;
  auto* record = new DseMessage(55, DseMessage::kRequest);
  const Status s = WriteUseDataTree(tree, *record);
  if (status::IsFailure(s)) {
    delete record;
    return s;
  }
  *message = record;
  return status::kOk;
}

Status SimResultsMgr::MapStructure(std::int32_t record_index, DseMessage* message) {
  // Every record carries an id of this manager: the record's place says
  // which section it describes.
  if (record_index != 0 && record_index != 3) return status::kOk;
  // Another file read for snapshot use: its tree is the use manager's, its
  // event records say nothing about the run's schedule.
  const SputSnapshotMgr* reading = use_->Reading();
  if (record_index == 3 && reading != nullptr) return status::kOk;
  auto* tree = new BvuDirectoryProper(nullptr, "");
  const Status s =
      message != nullptr ? tree->ReadTree(*message, ReadUseDataNode, nullptr) : status::kOk;
  if (record_index == 3) {
    use_->SetEventTree(tree);
    return s;
  }
  FixUseDataTypes(tree, reading != nullptr ? reading->Version() : store_.Version());
  use_->SetTree(tree);
  if ((s & 0xA000FFFFu) == kCorruptedTree)
    problem_->Print(s, "Snapshot file was corrupted or out of date and has been deleted");
  return s;
}

Status SimResultsMgr::SectionData(std::int32_t index, const std::uint8_t** data,
                                  std::uint32_t* length) {
  *data = nullptr;
  *length = 0;
  switch (index) {
    case 0: {
      if (values_ == nullptr) return status::kOk;
      image_ = values_->GetImage();
      // The owner field is an address of this process: files hold 0.
      for (std::size_t at = 0; at + kRecordSize <= image_.size(); at += kRecordSize)
        std::memset(image_.data() + at, 0, 8);
      *data = image_.data();
      *length = static_cast<std::uint32_t>(image_.size());
      return status::kOk;
    }
    case 2:
      if (values_ == nullptr) return status::kOk;
      *data = values_->Pool().Data();
      *length = values_->Pool().Used();
      return status::kOk;
    case 1:
      if (std::vector<std::uint8_t>* block = problem_->ProblemBlock()) {
        *data = block->data();
        *length = static_cast<std::uint32_t>(block->size());
      }
      return status::kOk;
    case 3: {
      std::vector<std::uint32_t>* schedule = problem_->EventSchedule();
      if (schedule == nullptr) return status::kOk;
      const std::size_t count = std::min<std::size_t>(schedule->size(), event_count_);
      events_image_.resize(count * 4);
      if (count > 0) std::memcpy(events_image_.data(), schedule->data(), count * 4);
      *data = events_image_.data();
      *length = static_cast<std::uint32_t>(events_image_.size());
      return status::kOk;
    }
    default:
      return kNoSuchSection;
  }
}

Status SimResultsMgr::RestoreSection(std::int32_t index, const std::uint8_t* data,
                                     std::uint32_t length) {
  if (index < 0 || index >= kSectionCount) return kNoSuchSection;
  if (restore_ == nullptr) RebuildRestoreTable();
  if (index == 0) {
    use_->SetValues(restore_.get());
    return restore_->LoadImage(data, length);
  }
  if (index == 3) {
    // Never more entries than the section holds.
    std::uint32_t count = event_count_ != 0 ? event_count_ : length / 4;
    count = std::min(count, length / 4);
    std::vector<std::uint32_t> entries(count);
    if (count > 0) std::memcpy(entries.data(), data, std::size_t{count} * 4);
    return problem_->RestoreEventSchedule(entries);
  }
  if (index == 2) restore_->Pool().LoadBytes(data, length);
  if (index == 1) {
    std::vector<std::uint8_t>* block = problem_->ProblemBlock();
    if (block != nullptr && block->size() == length && length > 0)
      std::memcpy(block->data(), data, length);
  }
  return status::kOk;
}

Status SimResultsMgr::SnapshotWritten(std::int32_t) { return status::kOk; }

Status SimResultsMgr::Ready(std::int32_t index, std::int32_t* ready) {
  switch (index) {
    case 0: {
      bool same = true;
      const Status s =
          BuildOrderMap(use_->Tree(), problem_->VariableTree(),
                        static_cast<std::uint32_t>(variable_count_), false, &variable_map_, &same);
      if (status::IsFailure(s)) {
        map_failed_ = true;
        return s;
      }
      if (!same) *ready = 0;
      return status::kOk;
    }
    case 1:
    case 2:
      *ready = 0;
      return status::kOk;
    case 3: {
      if (event_count_ == 0) return status::kOk;
      bool same = true;
      const Status s = BuildOrderMap(use_->EventTree(), problem_->EventTree(), event_count_, true,
                                     &event_map_, &same);
      if (status::IsFailure(s)) {
        map_failed_ = true;
        return s;
      }
      if (!same) *ready = 0;
      return status::kOk;
    }
    default:
      return kNoSuchSection;
  }
}

Status SimResultsMgr::ConvertSection(std::int32_t index, const std::uint8_t* data,
                                     std::uint32_t length, const std::uint8_t** converted,
                                     std::uint32_t* converted_length) {
  switch (index) {
    case 0: {
      const auto count = static_cast<std::uint32_t>(variable_count_);
      const std::uint32_t version = store_.Version();
      if (variable_map_.size() != count) return kWrongLength;
      std::uint32_t size = length;
      if (version >= 1 && version <= 6 &&
          std::uint64_t{length} == std::uint64_t{count} * kShortRecordSize) {
        // Older files hold 20-byte records: read in their layout first.
        SUPackedValueTable old;
        const std::uint32_t kept = SnapshotFileVersion;
        SnapshotFileVersion = version;
        const Status s = old.LoadImage(data, length);
        SnapshotFileVersion = kept;
        if (status::IsFailure(s)) return s;
        converted_ = old.GetImage();
        size = static_cast<std::uint32_t>(converted_.size());
      } else if (std::uint64_t{length} == std::uint64_t{count} * kRecordSize) {
        converted_.assign(data, data + length);
      } else {
        return kWrongLength;
      }
      SUPackedValueTable order;
      order.Resize(variable_count_);
      const Status s = order.Reorder(converted_.data(), size, variable_map_.data());
      if (status::IsFailure(s)) return s;
      *converted = converted_.data();
      *converted_length = size;
      return status::kOk;
    }
    case 1:
      *converted = nullptr;
      *converted_length = 0;
      return status::kOk;
    case 2:
      *converted = data;
      *converted_length = length;
      return status::kOk;
    case 3: {
      *converted = data;
      *converted_length = 0;
      if (length == 0) return status::kOk;
      if (std::uint64_t{length} != std::uint64_t{event_count_} * 4 ||
          event_map_.size() != event_count_)
        return kNoSuchSection;
      // Entry i of the present schedule is entry map[i] of the snapshot's.
      events_image_.resize(length);
      for (std::uint32_t i = 0; i < event_count_; ++i) {
        if (event_map_[i] >= event_count_) return kNoSuchSection;
        std::memcpy(events_image_.data() + std::size_t{i} * 4,
                    data + std::size_t{event_map_[i]} * 4, 4);
      }
      *converted = events_image_.data();
      *converted_length = length;
      return status::kOk;
    }
    default:
      return kNoSuchSection;
  }
}

Status SimResultsMgr::RestoreFinished(std::int32_t index) {
  if (index == 0) variable_map_.clear();
  if (index == 3) event_map_.clear();
  return status::kOk;
}

// --- the plot history's variables ---

Status SimResultsMgr::RemovePlotVariable(ResultVariable* variable) {
  if (plot_ == nullptr || variable == nullptr) return status::kOk;
  return plot_->RemoveVariable(finder_.Wrap(variable));
}

void SimResultsMgr::StopPlotVariable(ResultVariable* variable) {
  if (plot_ == nullptr || variable == nullptr || !plot_->IsOpen()) return;
  plot_->StopVariable(finder_.Wrap(variable));
}

Status SimResultsMgr::AddPlotVariable(ResultVariable* variable) {
  if (plot_ == nullptr || variable == nullptr) return status::kOk;
  return plot_->AddVariable(finder_.Wrap(variable));
}

// --- the finder ---

class SimResultsFinder::Variable final : public ResultVariable {
 public:
  Variable(SimResultsFinder* finder, ResultVariable* inner) : finder_(finder), inner_(inner) {}
  std::uint32_t Id() const override { return inner_->Id(); }
  std::string FullName() const override { return inner_->FullName(); }
  Status GetValue(double* value) const override {
    SimResultsMgr* manager = finder_->manager_;
    const std::int32_t index = manager->Problem()->ValueIndex(inner_);
    SUPackedValueTable* values = manager->Values();
    double read = 0;
    if (values != nullptr && index >= 0 && index < values->Count()) {
      const SUPackedValue& record = values->Record(index);
      if (record.type == SUValue::kReal) {
        read = record.payload.real;
      } else if (record.type == SUValue::kInteger || record.type == SUValue::kLogical) {
        read = record.payload.integer;
      } else {
        const Status s = inner_->GetValue(&read);
        if (status::IsFailure(s)) return s;
      }
    } else {
      const Status s = inner_->GetValue(&read);
      if (status::IsFailure(s)) return s;
    }
    *value = Clamp(read);
    return status::kOk;
  }
  std::uint32_t Flags() const override { return inner_->Flags(); }
  std::int32_t ElementCount() const override { return inner_->ElementCount(); }
  ResultVariable* Element(std::int32_t index) override {
    return finder_->Wrap(inner_->Element(index));
  }

 private:
  SimResultsFinder* finder_;
  ResultVariable* inner_;
};

SimResultsFinder::SimResultsFinder(SimResultsMgr* manager) : manager_(manager) {}
SimResultsFinder::~SimResultsFinder() = default;

double SimResultsFinder::Clamp(double value) {
  if (std::isnan(value)) return kStandIn;
  if (value > kLargest) return kStandIn;
  if (value < -kLargest) return -kStandIn;
  return value;
}

ResultVariable* SimResultsFinder::Wrap(ResultVariable* variable) {
  if (variable == nullptr) return nullptr;
  std::unique_ptr<Variable>& held = wrapped_[variable];
  if (held == nullptr) held = std::make_unique<Variable>(this, variable);
  return held.get();
}

ResultVariable* SimResultsFinder::FindVariable(const char* name, bool prefix) {
  ResultModel* model = manager_->Problem()->Model();
  return model != nullptr ? Wrap(model->FindVariable(name, prefix)) : nullptr;
}

ResultVariable* SimResultsFinder::ResolveIdPath(const BvuIdPath& path) {
  ResultModel* model = manager_->Problem()->Model();
  return model != nullptr ? Wrap(model->ResolveIdPath(path)) : nullptr;
}

std::int32_t SimResultsFinder::VariableCount() {
  ResultModel* model = manager_->Problem()->Model();
  return model != nullptr ? model->VariableCount() : 0;
}

ResultVariable* SimResultsFinder::VariableAt(std::int32_t index) {
  ResultModel* model = manager_->Problem()->Model();
  return model != nullptr ? Wrap(model->VariableAt(index)) : nullptr;
}

std::uint32_t SimResultsFinder::Generation() {
  ResultModel* model = manager_->Problem()->Model();
  return model != nullptr ? model->Generation() : 0;
}

double SimResultsFinder::ZeroThreshold() {
  ResultModel* model = manager_->Problem()->Model();
  return model != nullptr ? model->ZeroThreshold() : 0.0;
}
