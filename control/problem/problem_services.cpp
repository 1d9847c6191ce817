#include "control/problem/problem_services.h"

#include <string>
#include <utility>
#include <vector>

#include "control/problem/problem_manager.h"
#include "daes/delays/delay_mgr.h"
#include "daes/equations/row.h"
#include "daes/events/implicit_event.h"
#include "daes/model/var_table_entry.h"
#include "foundation/collections/mixins.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/interfaces/variable_drivers.h"
#include "solve/groups/decomposition.h"
#include "solve/groups/eso_group.h"
#include "solve/proxies/decomposer_proxy.h"

namespace {
constexpr Status kInvalidArgument = 0x80070057u;
constexpr Status kCheckFailed = 0x80004005u;
}  // namespace

// --- timed events ---

Status SimExplicitEventService::QueryInterface(const platform::IID& iid, void** object) {
  return manager_.QueryInterface(iid, object);
}
std::uint32_t SimExplicitEventService::AddRef() { return manager_.AddRef(); }
std::uint32_t SimExplicitEventService::Release() { return manager_.Release(); }

Status SimExplicitEventService::AddEvent(std::uint32_t kind, double time, double tolerance,
                                         void** event) {
  std::uint64_t id = 0;
  const Status added = manager_.Events().Add(kind, time, tolerance, &id);
  if (event != nullptr) *event = const_cast<SimExplicitEvent*>(manager_.Events().Find(id));
  return added;
}

Status SimExplicitEventService::GetTolerance(double* tolerance) {
  if (tolerance == nullptr) return kInvalidArgument;
  *tolerance = manager_.Events().Tolerance();
  return status::kOk;
}

Status SimExplicitEventService::LowerTolerance(double tolerance) {
  return manager_.Events().LowerTolerance(tolerance);
}

Status SimExplicitEventService::FirstEvent(std::int32_t remove, void** event) {
  SimEventList& events = manager_.Events();
  if (events.Empty()) return SimEventList::kEmpty;
  if (remove == 0) {
    if (event != nullptr) *event = const_cast<SimExplicitEvent*>(events.Head());
    return status::kOk;
  }
  events.First(true, &removed_);
  if (event != nullptr) *event = &removed_;
  return status::kOk;
}

// --- implicit events ---

Status SimImplicitEventService::QueryInterface(const platform::IID& iid, void** object) {
  return manager_.QueryInterface(iid, object);
}
std::uint32_t SimImplicitEventService::AddRef() { return manager_.AddRef(); }
std::uint32_t SimImplicitEventService::Release() { return manager_.Release(); }

namespace {

Status Answer(bool yes, std::int32_t* answer) {
  *answer = yes ? 1 : 0;
  return yes ? 0 : 1;
}

DAESImplicitEvent* EngineEvent(void* event) {
  return dynamic_cast<DAESImplicitEvent*>(static_cast<QLNImplicitEvent*>(event));
}

constexpr Status kNoSchedule = 0x80004005u;

}  // namespace

Status SimImplicitEventService::QueryA(std::int32_t flag, std::int32_t* answer) {
  if (answer == nullptr) return kInvalidArgument;
  DAESEventSchedule* schedule = GetCurrentEventSchedule();
  if (schedule == nullptr) return Answer(false, answer);
  return Answer(flag == 0 ? schedule->FirstFiringCount() != 0 : schedule->HasExternalEvents() != 0,
                answer);
}

Status SimImplicitEventService::QueryB(std::int32_t flag, std::int32_t* answer) {
  if (answer == nullptr) return kInvalidArgument;
  DAESEventSchedule* schedule = GetCurrentEventSchedule();
  if (schedule == nullptr) return Answer(false, answer);
  // A failing question counts as no.
  const Status changed =
      flag == 0 ? schedule->AnyEventChanged() : schedule->ExternalEventsChanged();
  return Answer(changed == 1, answer);
}

Status SimImplicitEventService::RegisterEvent(void* event) {
  DAESEventSchedule* schedule = GetCurrentEventSchedule();
  DAESImplicitEvent* engine_event = event != nullptr ? EngineEvent(event) : nullptr;
  if (schedule == nullptr || engine_event == nullptr) return kNoSchedule;
  return schedule->AddExternalEvent(engine_event);
}

Status SimImplicitEventService::UnregisterEvent(void* event) {
  DAESEventSchedule* schedule = GetCurrentEventSchedule();
  DAESImplicitEvent* engine_event = event != nullptr ? EngineEvent(event) : nullptr;
  if (schedule == nullptr || engine_event == nullptr) return kNoSchedule;
  return schedule->RemoveEvent(engine_event);
}

// --- delays ---

Status SimDelayService::QueryInterface(const platform::IID& iid, void** object) {
  return manager_.QueryInterface(iid, object);
}
std::uint32_t SimDelayService::AddRef() { return manager_.AddRef(); }
std::uint32_t SimDelayService::Release() { return manager_.Release(); }

Status SimDelayService::RecordTime() {
  if (DelayMgr* delays = GetCurrentDelayMgr()) delays->RecordAll(GetSimulationTime());
  return status::kOk;
}

Status SimDelayJumpService::QueryInterface(const platform::IID& iid, void** object) {
  return manager_.QueryInterface(iid, object);
}
std::uint32_t SimDelayJumpService::AddRef() { return manager_.AddRef(); }
std::uint32_t SimDelayJumpService::Release() { return manager_.Release(); }

Status SimDelayJumpService::NextJump(double after, double until, double* at) {
  DelayMgr* delays = GetCurrentDelayMgr();
  if (at == nullptr) return kInvalidArgument;
  return delays != nullptr && delays->NextJump(after, until, at) ? status::kOk : 1;
}

Status SimDelayJumpService::KeepBeforeJump() {
  DelayMgr* delays = GetCurrentDelayMgr();
  return delays != nullptr ? delays->RecordBeforeBreak(GetSimulationTime()) : status::kOk;
}

Status SimDelayJumpService::GoesOnAt(double at, std::int32_t* on) {
  if (on == nullptr) return kInvalidArgument;
  DelayMgr* delays = GetCurrentDelayMgr();
  *on = delays != nullptr && delays->GoesOnAt(at) ? 1 : 0;
  return status::kOk;
}

// --- the executive ---

SimExecutiveService::~SimExecutiveService() { ReleaseAll(); }

Status SimExecutiveService::QueryInterface(const platform::IID& iid, void** object) {
  return manager_.QueryInterface(iid, object);
}
std::uint32_t SimExecutiveService::AddRef() { return manager_.AddRef(); }
std::uint32_t SimExecutiveService::Release() { return manager_.Release(); }

Status SimExecutiveService::SetSimulationTime(double time) {
  if (time < 0.0) return kInvalidArgument;
  ::SetSimulationTime(time);
  manager_.SetCurrentTime(time);
  ApplyVariableDrivers(time);
  return status::kOk;
}

std::string SimExecutiveService::Expand(const char* text, std::int32_t object_count,
                                        void* const* objects, std::int32_t* next) {
  std::string out;
  if (text == nullptr) return out;
  for (const char* at = text; *at != '\0'; ++at) {
    const char letter = at[1];
    const bool placeholder =
        at[0] == '@' && ((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'));
    if (!placeholder) {
      out += *at;
      continue;
    }
    // Every placeholder takes the next object: an equation for E (either
    // case), a variable for any other letter.
    const std::int32_t index = (*next)++;
    void* object = index < object_count && objects != nullptr ? objects[index] : nullptr;
    BvuNameable* named = nullptr;
    if (object != nullptr) {
      named = letter == 'E' || letter == 'e'
                  ? static_cast<BvuNameable*>(static_cast<DAESEqnRow*>(object))
                  : static_cast<BvuNameable*>(static_cast<QLNVariable*>(object));
    }
    const char* name = named != nullptr ? named->GetNameText(0) : nullptr;
    out += name != nullptr ? name : "?";
    ++at;
  }
  return out;
}

Status SimExecutiveService::PostSolverMessage(Status status, std::int32_t text_count,
                                              const char* const* texts, std::int32_t object_count,
                                              void* const* objects) {
  if (text_count > 0 && texts == nullptr) return kInvalidArgument;
  std::vector<std::string> lines;
  std::int32_t next = 0;
  for (std::int32_t i = 0; i < text_count; ++i) {
    lines.push_back(Expand(texts[i], object_count, objects, &next));
  }
  manager_.Collector().AddGroup(status, std::move(lines));
  return status::kOk;
}

Status SimExecutiveService::SetNestedMode(std::int32_t on) {
  SetErrorReportSwitch(on != 0 ? 0 : 1);
  return status::kOk;
}

Status SimExecutiveService::CreateGroupTable(std::int32_t count, const double* first,
                                             const double* second) {
  if (count < 0 || (count > 0 && (first == nullptr || second == nullptr))) {
    return kInvalidArgument;
  }
  group_first_.assign(first, first + count);
  group_second_.assign(second, second + count);
  group_values_.assign(static_cast<std::size_t>(count), 0.0);
  return status::kOk;
}

Status SimExecutiveService::SetGroupValues(std::int32_t count, const double* values) {
  if (count < 0 || static_cast<std::size_t>(count) > group_values_.size() ||
      (count > 0 && values == nullptr)) {
    return kInvalidArgument;
  }
  std::copy(values, values + count, group_values_.begin());
  return status::kOk;
}

Status SimExecutiveService::AttachSolverObject(platform::IUnknown* object, std::int32_t index) {
  if (index < 0 || index >= kSlots) return kInvalidArgument;
  if (object != nullptr) object->AddRef();
  if (slots_[index] != nullptr) slots_[index]->Release();
  slots_[index] = object;
  manager_.SetStatusBits(kSolversChanged);
  return status::kOk;
}

Status SimExecutiveService::CheckCompiledEquations() {
  return status::IsFailure(manager_.CheckCompiledEquations()) ? kCheckFailed : status::kOk;
}

Status SimExecutiveService::DetachSolverObject(std::int32_t index) {
  if (index < 0 || index >= kSlots) return kInvalidArgument;
  if (slots_[index] != nullptr) slots_[index]->Release();
  slots_[index] = nullptr;
  manager_.SetStatusBits(kSolversChanged);
  return status::kOk;
}

void SimExecutiveService::ReleaseAll() {
  for (platform::IUnknown*& slot : slots_) {
    if (slot != nullptr) slot->Release();
    slot = nullptr;
  }
}

Status SimExecutiveService::CreateDecomposerObject(platform::IUnknown** out) {
  if (out == nullptr) return kInvalidArgument;
  // A proxy without its server still answers, with E_FAIL, on use.
  *out = static_cast<IQLNDecomposer*>(new QLNDecomposerProxy());
  return status::kOk;
}

Status SimExecutiveService::CreateESOGroupObject(std::int32_t type, platform::IUnknown** out) {
  if (out == nullptr) return kInvalidArgument;
  return ::CreateESOGroupObject(type, out);
}

Status SimExecutiveService::CreateDecompositionObject(platform::IUnknown** out) {
  if (out == nullptr) return kInvalidArgument;
  return ::CreateDecompositionObject(out);
}

// --- the initial specification ---

SimInitSpecAction::SimInitSpecAction(SimProblemMgr& manager)
    : SimSingleAction(kName), manager_(manager) {
  hook_modes[0] = 0;
}

Status SimInitSpecAction::Execute(std::int32_t* request, SimActionControl*,
                                  const SimExplicitEvent*) {
  if (manager_.Record().stops != 0) return status::kOk;
  manager_.Handover().EnsureServerHoldsA();
  const Status taken = manager_.RunResults().TakeInitialSpecificationSnapshot();
  *request = 1;
  return status::IsFailure(taken) ? taken : status::kOk;
}
