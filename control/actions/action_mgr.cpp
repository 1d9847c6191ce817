#include "control/actions/action_mgr.h"

#include <strings.h>
#include <algorithm>
#include <cmath>

#include "framework/messaging/message.h"

namespace {
SimActionMgr* g_action_mgr = nullptr;
constexpr Status kNothingHooked = 0x8000FFFFu;
constexpr std::uint32_t kNameRoom = 1024;

void GrowByChunks(std::size_t size, std::size_t capacity, auto& table) {
  if (size < capacity) return;
  const std::size_t chunks = (size + 1 + SimActionMgr::kChunk - 1) / SimActionMgr::kChunk;
  table.reserve(chunks * SimActionMgr::kChunk);
}
}  // namespace

SimActionFactory::~SimActionFactory() {
  if (SimActionMgr* manager = SimActionMgr::Existing()) manager->ForgetFactory(this);
}

void SimActionFactory::ActionDeleted(NewSimAction* action) {
  if (instances_ > 0) --instances_;
  delete action;
}

void SimActionFactory::ActionCreated(NewSimAction*) { ++instances_; }

NewSimAction::NewSimAction(const char* name, SimActionFactory* factory)
    : action_name_(name != nullptr ? name : ""), factory_(factory) {
  hook_modes.fill(kNotHooked);
}

NewSimAction::~NewSimAction() {
  // An action going on its own leaves no element behind.
  if (SimActionMgr* manager = SimActionMgr::Existing()) manager->UnhookAction(this);
}

void NewSimAction::ExplicitEventNotice(std::uint64_t) {}

void SimSingleAction::ActionDeleted(NewSimAction*) {
  if (instances_ > 0) --instances_;
}

Status SimSingleAction::Create(DseMessage*, DseMessage**, NewSimAction** action) {
  *action = this;
  return status::kOk;
}

SimActionMgr* SimActionMgr::Instance() {
  if (g_action_mgr == nullptr) g_action_mgr = new SimActionMgr();
  return g_action_mgr;
}

SimActionMgr* SimActionMgr::Existing() { return g_action_mgr; }

void SimActionMgr::Destroy() { delete g_action_mgr; }

SimActionMgr::~SimActionMgr() {
  ClearAll(false);
  if (g_action_mgr == this) g_action_mgr = nullptr;
}

Status SimActionMgr::RegisterFactory(SimActionFactory* factory) {
  if (factory == nullptr) return status::kBadArguments;
  if (std::find(factories_.begin(), factories_.end(), factory) != factories_.end()) {
    return kActionRefused;
  }
  GrowByChunks(factories_.size(), factories_.capacity(), factories_);
  factories_.push_back(factory);
  return status::kOk;
}

void SimActionMgr::UnregisterFactory(SimActionFactory* factory) {
  // Its live actions go first: nothing may call into a factory that is gone.
  for (auto it = live_.begin(); it != live_.end();) {
    NewSimAction* action = it->second;
    ++it;
    if (action->Factory() == factory) {
      Unhook(action);
      live_.erase(action->handle_);
      if (action != dynamic_cast<NewSimAction*>(factory)) factory->ActionDeleted(action);
    }
  }
  factories_.erase(std::remove(factories_.begin(), factories_.end(), factory), factories_.end());
}

void SimActionMgr::ForgetFactory(SimActionFactory* factory) {
  for (auto it = live_.begin(); it != live_.end();) {
    NewSimAction* action = it->second;
    if (action->Factory() == factory) {
      Unhook(action);
      action->factory_ = nullptr;
      it = live_.erase(it);
    } else {
      ++it;
    }
  }
  factories_.erase(std::remove(factories_.begin(), factories_.end(), factory), factories_.end());
}

Status SimActionMgr::Hook(SimActionFactory* factory, NewSimAction* action) {
  factory->ActionCreated(action);
  action->handle_ = next_handle_++;
  live_[action->handle_] = action;
  bool hooked = false;
  for (std::int32_t point = 0; point < kHookPointCount; ++point) {
    const std::uint32_t mode = action->hook_modes[point];
    if (mode == kNotHooked) continue;
    if (mode >= kNotHooked) return status::kBadArguments;
    points_[point].lists[mode].push_back(SimActionControl{SimActionControl::kWaiting, action});
    hooked = true;
  }
  return hooked ? 1 : kNothingHooked;
}

Status SimActionMgr::CreateAction(const char* name, DseMessage* request, DseMessage** reply) {
  if (factories_.empty() || name == nullptr) return kActionRefused;
  SimActionFactory* factory = nullptr;
  for (SimActionFactory* candidate : factories_) {
    if (strcasecmp(candidate->GetName(), name) == 0) {
      factory = candidate;
      break;
    }
  }
  if (factory == nullptr) return kActionRefused;
  if (factory->IsSingleInstance() != 0 && factory->InstanceCount() != 0) return kActionRefused;
  NewSimAction* action = nullptr;
  const Status created = factory->Create(request, reply, &action);
  if (status::IsFailure(created) || action == nullptr) {
    if (action != nullptr && action != dynamic_cast<NewSimAction*>(factory)) delete action;
    return status::IsFailure(created) ? created : status::kUnhandled;
  }
  const Status hooked = Hook(factory, action);
  if (reply != nullptr && *reply != nullptr) (*reply)->PutUInt64(action->handle_);
  return hooked;
}

Status SimActionMgr::CreateAction(const char* name, std::uint32_t, NewSimAction** action) {
  DseMessage* reply = nullptr;
  const std::uint64_t before = next_handle_;
  const Status result = CreateAction(name, nullptr, &reply);
  delete reply;
  if (action != nullptr) *action = next_handle_ != before ? FindAction(next_handle_ - 1) : nullptr;
  return result;
}

NewSimAction* SimActionMgr::FindAction(std::uint64_t handle) const {
  auto found = live_.find(handle);
  return found != live_.end() ? found->second : nullptr;
}

bool SimActionMgr::Unhook(NewSimAction* action) {
  bool found = false;
  for (HookPoint& point : points_) {
    for (auto& list : point.lists) {
      if (walking_ > 0) {
        for (SimActionControl& control : list) {
          if (control.action != action) continue;
          control.action = nullptr;
          control.state = SimActionControl::kDone;
          found = sweep_ = true;
        }
        continue;
      }
      const std::size_t before = list.size();
      list.remove_if([action](const SimActionControl& c) { return c.action == action; });
      found = found || list.size() != before;
    }
  }
  return found;
}

Status SimActionMgr::UnhookSelf(NewSimAction* action) {
  if (action == nullptr || !Unhook(action)) return kActionRefused;
  GrowByChunks(pending_.size(), pending_.capacity(), pending_);
  pending_.push_back(action->handle_);
  return status::kOk;
}

Status SimActionMgr::RemoveAction(NewSimAction* action) {
  if (action == nullptr) return kActionRefused;
  const bool hooked = Unhook(action);
  const bool live = live_.erase(action->handle_) > 0;
  // An action hooked nowhere is still freed once: nothing else would.
  if (!hooked && !live) return kActionRefused;
  if (action->Factory() != nullptr) action->Factory()->ActionDeleted(action);
  return hooked ? status::kOk : kActionRefused;
}

Status SimActionMgr::UnhookAction(NewSimAction* action) {
  const bool hooked = Unhook(action);
  if (action != nullptr) live_.erase(action->handle_);
  return hooked ? status::kOk : kActionRefused;
}

void SimActionMgr::ResetPoint(HookPoint& point) {
  for (std::int32_t list = 0; list < kHookListCount; ++list) {
    for (SimActionControl& control : point.lists[list]) {
      if (control.action == nullptr) continue;
      control.state = SimActionControl::kWaiting;
      control.action->Reset();
    }
    point.status[list] = kCallAgain;
  }
}

Status SimActionMgr::RunHookPoint(HookPoint& point, std::int32_t* request,
                                  const SimExplicitEvent* event) {
  ++walking_;
  const Status result = WalkHookPoint(point, request, event);
  if (--walking_ == 0 && sweep_) {
    sweep_ = false;
    for (HookPoint& each : points_) {
      for (auto& list : each.lists) {
        list.remove_if([](const SimActionControl& c) { return c.action == nullptr; });
      }
    }
  }
  return result;
}

Status SimActionMgr::WalkHookPoint(HookPoint& point, std::int32_t* request,
                                   const SimExplicitEvent* event) {
  Status result = status::kOk;
  for (std::int32_t index = 0; index < kHookListCount; ++index) {
    // A list runs only once every list before it has finished this pass.
    if ((result & kCodeMask) != 0) break;
    auto& list = point.lists[index];
    if (list.empty() || !AsksToBeCalledAgain(point.status[index])) continue;
    std::int32_t highest = 0;
    bool again = false;
    Status walk = status::kOk;
    for (SimActionControl& control : list) {
      if (control.state == SimActionControl::kDone || control.action == nullptr) continue;
      std::int32_t asked = 0;
      const Status executed = control.action->Execute(&asked, &control, event);
      highest = std::max(highest, asked);
      if (status::IsFailure(executed)) {
        control.state = SimActionControl::kDone;
        walk = executed;
        break;
      }
      if (AsksToBeCalledAgain(executed)) {
        again = true;
      } else {
        control.state = SimActionControl::kDone;
      }
    }
    result = status::IsFailure(walk) ? walk : (again ? kCallAgain : status::kOk);
    if ((result & kCodeMask) == 0) point.status[index] = status::kOk;
    if (highest > *request) *request = highest;
  }
  if ((result & kCodeMask) == 0 || status::IsFailure(result)) ResetPoint(point);
  return result;
}

Status SimActionMgr::Dispatch(std::int32_t* request) {
  if (hook_point_ < 0 || hook_point_ >= kHookPointCount) return status::kBadArguments;
  const SimExplicitEvent* event = nullptr;
  if (events_ != nullptr) {
    const SimExplicitEvent* first = events_->FirstEvent();
    if (first != nullptr &&
        events_->EventTolerance() > std::fabs(first->time - events_->CurrentTime())) {
      event = first;
    }
  }
  Status result = RunHookPoint(points_[hook_point_], request, event);
  if (AsksToBeCalledAgain(result)) return result;
  if (!status::IsFailure(result)) {
    if (!status::IsFailure(reply_status_)) {
      if (reply_request_ > *request) *request = reply_request_;
    } else {
      result = reply_status_;
    }
  }
  reply_request_ = 0;
  reply_status_ = status::kOk;
  return result;
}

Status SimActionMgr::FlushPendingRemovals() {
  Status result = status::kOk;
  std::vector<std::uint64_t> pending;
  pending.swap(pending_);
  for (std::uint64_t handle : pending) {
    NewSimAction* action = FindAction(handle);
    result = action != nullptr ? RemoveAction(action) : kActionRefused;
  }
  return result;
}

void SimActionMgr::ResetAll() {
  for (HookPoint& point : points_) ResetPoint(point);
}

Status SimActionMgr::ClearAll(bool carry_out_pending) {
  for (HookPoint& point : points_) {
    for (std::int32_t list = 0; list < kHookListCount; ++list) {
      point.lists[list].clear();
      point.status[list] = kCallAgain;
    }
  }
  // Plain actions are freed by their factories here; left alone they would
  // outlive every list that knew them.
  std::map<std::uint64_t, NewSimAction*> live;
  live.swap(live_);
  for (auto& [handle, action] : live) {
    SimActionFactory* factory = action->Factory();
    if (factory != nullptr && factory->IsSingleInstance() == 0) factory->ActionDeleted(action);
  }
  for (SimActionFactory* factory : factories_) {
    if (factory->IsSingleInstance() != 0) factory->ActionDeleted(nullptr);
  }
  if (carry_out_pending) {
    // Every action is gone already: the handles only need forgetting.
    pending_.clear();
  }
  return status::kOk;
}

void SimActionMgr::ExplicitEventNotice(std::uint64_t handle) {
  for (HookPoint& point : points_) {
    for (auto& list : point.lists) {
      for (SimActionControl& control : list) {
        if (control.action != nullptr) control.action->ExplicitEventNotice(handle);
      }
    }
  }
}

Status SimActionMgr::HandleRequest(std::uint32_t, DseMessage* request, DseMessage** reply,
                                   DseTemplate**) {
  return ServeRequest(*request, request, reply);
}

Status SimActionMgr::ServeRequest(BvuBinaryStream& body, DseMessage* request, DseMessage** reply) {
  std::vector<char> name(kNameRoom, '\0');
  Status read = body.GetStringInto(name.data(), kNameRoom);
  if (status::IsFailure(read)) return read;
  std::uint32_t kind = 0;
  read = body.GetUInt32(&kind);
  if (status::IsFailure(read)) return read;
  if (kind == kCreate) return CreateAction(name.data(), request, reply);
  if (kind != kRemove) return status::kOk;
  std::uint8_t now = 0;
  std::uint16_t count = 0;
  if (status::IsFailure(read = body.GetUInt8(&now))) return read;
  if (status::IsFailure(read = body.GetUInt16(&count))) return read;
  Status result = status::kOk;
  for (std::uint16_t i = 0; i < count; ++i) {
    std::uint64_t handle = 0;
    if (status::IsFailure(read = body.GetUInt64(&handle))) return read;
    if (now != 0) {
      NewSimAction* action = FindAction(handle);
      result = action != nullptr ? RemoveAction(action) : kActionRefused;
    } else {
      GrowByChunks(pending_.size(), pending_.capacity(), pending_);
      pending_.push_back(handle);
    }
  }
  return result;
}

Status SimActionMgr::HandleReply(std::uint32_t type, DseMessage* reply, void* context) {
  std::uint64_t handle = 0;
  const Status read = reply->GetUInt64(&handle);
  if (status::IsFailure(read)) return read;
  NewSimAction* action = FindAction(handle);
  if (action == nullptr) return kActionRefused;
  const Status result = action->HandleReply(type, reply, context);
  if (status::IsFailure(result)) {
    reply_status_ = result;
    reply_request_ = 0;
    return result;
  }
  // A failure already kept stays the outcome of the next dispatch.
  if (!status::IsFailure(reply_status_)) {
    reply_request_ = std::max(reply_request_, static_cast<std::int32_t>(result));
  }
  return status::kOk;
}

Status SimActionMgr::RequestComplete(Status result, void* context) {
  if (context == nullptr) return kActionRefused;
  return static_cast<NewSimAction*>(context)->RequestComplete(result, nullptr);
}

Status SimActionMgr::ProblemEdited() { return ClearAll(false); }

Status SimActionMgr::DetachProblem(const char*, const char*) { return ClearAll(true); }
