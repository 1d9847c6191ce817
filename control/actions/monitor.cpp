// The monitor factory, the firing protocol every monitor shares, and the
// time and step monitors.
#include "control/actions/monitor.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "control/actions/action_sending.h"
#include "daes/model/parameter.h"
#include "daes/model/var_table_entry.h"
#include "daes/model/variable.h"
#include "foundation/messages/su_print.h"
#include "framework/messaging/message.h"
#include "platform/unknown.h"

namespace {

constexpr std::uint16_t kCreatedMark = 0;
// Hook points and tags a request may name: more than there are hook
// points, or tags than fit a message, is damage.
constexpr std::uint32_t kMostTags = 1u << 16;
constexpr std::uint32_t kMostReported = 1u << 16;

Status ReadWords(BvuBinaryStream& body, std::uint32_t most, std::vector<std::uint32_t>* words) {
  std::uint32_t count = 0;
  Status read = body.GetUInt32(&count);
  if (status::IsFailure(read)) return read;
  if (count > most) return status::kBadArguments;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t word = 0;
    if (status::IsFailure(read = body.GetUInt32(&word))) return read;
    words->push_back(word);
  }
  return status::kOk;
}

SimMonitor* MakeMonitor(std::uint16_t kind, const char* name, SimActionFactory* factory,
                        std::unique_ptr<DseMessage> request) {
  switch (kind) {
    case SimMonitor::kPlain:
      return new (std::nothrow) SimMonitor(name, factory, std::move(request));
    case SimMonitor::kTime:
      return new (std::nothrow) SimTimeMonitor(name, factory, std::move(request));
    case SimMonitor::kStep:
      return new (std::nothrow) SimStepMonitor(name, factory, std::move(request));
    case SimMonitor::kExpression:
      return new (std::nothrow) SimExprMonitor(name, factory, std::move(request));
    case SimMonitor::kRamp:
      return new (std::nothrow) SimRampMonitor(name, factory, std::move(request));
    case SimMonitor::kImplicit:
      return new (std::nothrow) SimImplicitMonitor(name, factory, std::move(request));
    default:
      return nullptr;
  }
}

}  // namespace

// --- the factory ---

Status SimMonitorMgr::Create(DseMessage* request, DseMessage** reply, NewSimAction** action) {
  if (request == nullptr) return status::kBadArguments;
  std::vector<char> name(kNameRoom, '\0');
  Status read = request->GetStringInto(name.data(), kNameRoom);
  if (status::IsFailure(read)) return read;
  std::uint16_t kind = 0;
  if (status::IsFailure(read = request->GetUInt16(&kind))) return read;
  std::unique_ptr<DseMessage> copy(DseMessage::DseMessageCopy(*request));
  if (copy == nullptr) return DseMessage::kNoMemory;
  std::unique_ptr<SimMonitor> made(MakeMonitor(kind, name.data(), this, std::move(copy)));
  if (made == nullptr) return monitor_status::kFailed;
  if (status::IsFailure(read = made->ReadCommon(*request))) return read;
  if (status::IsFailure(read = made->ReadOwn(*request))) return read;
  if (reply != nullptr) {
    std::unique_ptr<DseMessage> answer(DseMessage::DseMessageCopy(*made->Request()));
    if (answer == nullptr) return DseMessage::kNoMemory;
    Status put = answer->PutUInt16(kCreatedMark);
    if (status::IsSuccess(put))
      put = answer->PutUInt32(static_cast<std::uint32_t>(made->Tags().size()));
    for (std::uint32_t tag : made->Tags()) {
      if (status::IsSuccess(put)) put = answer->PutUInt32(tag);
    }
    if (status::IsFailure(put)) return put;
    delete *reply;
    *reply = answer.release();
  }
  *action = made.release();
  return status::kOk;
}

SimMonitorMgr::~SimMonitorMgr() {
  for (SimMonitor* monitor : monitors_) monitor->LeaveManager();
}

void SimMonitorMgr::Delist(SimMonitor* monitor) {
  monitors_.erase(std::remove(monitors_.begin(), monitors_.end(), monitor), monitors_.end());
}

void SimMonitorMgr::ForgetEntry(DAESVarTableEntry* entry) {
  for (SimMonitor* monitor : monitors_) monitor->ForgetEntry(entry);
}

// --- the services of the problem manager ---

namespace {
SimMonitorServices* g_services = nullptr;
}  // namespace

SimMonitorServices& DefaultMonitorServices();

SimMonitorServices& MonitorServices() {
  return g_services != nullptr ? *g_services : DefaultMonitorServices();
}

void SetMonitorServices(SimMonitorServices* services) { g_services = services; }

// --- the shared protocol ---

SimMonitor::SimMonitor(const char* name, SimActionFactory* factory,
                       std::unique_ptr<DseMessage> request)
    : NewSimAction(name, factory), request_(std::move(request)),
      manager_(dynamic_cast<SimMonitorMgr*>(factory)) {
  if (manager_ != nullptr) manager_->Enlist(this);
}

SimMonitor::~SimMonitor() {
  if (manager_ != nullptr) manager_->Delist(this);
  if (fired_ && !reply_arrived_) ActionSender().Cancel(pending_id_);
  if (checked_ && !fired_ && request_ != nullptr) {
    DseMessage* ended = DseMessage::DseMessageCopy(*request_);
    if (ended != nullptr && status::IsSuccess(ended->PutUInt16(kEndedMark))) {
      ActionSender().Send(ended, nullptr, nullptr, nullptr);
    } else {
      delete ended;
    }
  }
}

Status SimMonitor::ReadCommon(BvuBinaryStream& body) {
  std::vector<std::uint32_t> points;
  Status read = ReadWords(body, kHookPointCount, &points);
  if (status::IsFailure(read)) return read;
  std::uint32_t list = 0;
  if (status::IsFailure(read = body.GetUInt32(&list))) return read;
  // A list the hook points cannot take would hook nothing anywhere.
  if (list >= kNotHooked) return status::kBadArguments;
  for (std::uint32_t point : points) {
    if (point >= static_cast<std::uint32_t>(kHookPointCount)) return status::kBadArguments;
    hook_modes[point] = list;
  }
  if (status::IsFailure(read = ReadWords(body, kMostTags, &tags_))) return read;
  std::uint8_t byte = 0;
  if (status::IsFailure(read = body.GetUInt8(&byte))) return read;
  send_values_ = byte != 0;
  if (status::IsFailure(read = body.GetUInt8(&byte))) return read;
  delay_ = byte;
  if (!send_values_) return status::kOk;
  std::uint32_t count = 0;
  if (status::IsFailure(read = body.GetUInt32(&count))) return read;
  if (count > kMostReported) return status::kBadArguments;
  for (std::uint32_t i = 0; i < count; ++i) {
    BvuIdPath path(body, &read);
    if (status::IsFailure(read)) return read;
    reported_.push_back(std::move(path));
  }
  return status::kOk;
}

Status SimMonitor::Check(std::int32_t*, SimActionControl*, const SimExplicitEvent*) {
  return status::kOk;
}

Status SimMonitor::IsFiring(bool* fired, const SimExplicitEvent*, std::int32_t*) {
  *fired = true;
  return status::kOk;
}

DAESVarTableEntry* SimMonitor::VariableAt(const BvuIdPath& path) {
  std::int32_t kind = 0;
  DAESVarTableEntry* entry = MonitorServices().FindById(path, &kind);
  const bool readable = kind == daes::kParameterKind ||
                        (kind >= daes::kRealVariableKind && kind <= daes::kDerivativeKind);
  if (entry == nullptr || !readable) {
    SuPrint(monitor_status::kFailed, kNoVariable);
    return nullptr;
  }
  return entry;
}

Status SimMonitor::Execute(std::int32_t* request, SimActionControl* element,
                           const SimExplicitEvent* event) {
  *request = 1;
  Status result = status::kOk;
  if (delay_ == 0 && !checked_) {
    checked_ = true;
    result = Check(request, element, event);
  }
  if (request_ == nullptr) result = monitor_status::kFailed;
  if (checked_ && !fired_ && !status::IsFailure(result)) {
    bool fired = false;
    const Status firing = IsFiring(&fired, event, request);
    if (status::IsFailure(firing)) result = firing;
    if (fired && !status::IsFailure(result)) {
      fired_ = true;
      const Status sent = Fire(event);
      if (status::IsFailure(sent)) result = sent;
    }
  }
  if (fired_) {
    if (status::IsFailure(result)) {
      stored_status_ = result;
      return result;
    }
    if (reply_arrived_) {
      *request = static_cast<std::int32_t>(follow_on_);
      if (rearm_ == 1) {
        checked_ = fired_ = reply_arrived_ = false;
        stored_status_ = status::kOk;
      }
    } else if (!status::IsFailure(stored_status_)) {
      return kCallAgain;
    } else {
      reply_arrived_ = true;
      *request = kAbandon;
    }
    return result;
  }
  if (status::IsFailure(result)) stored_status_ = result;
  return result;
}

Status SimMonitor::Fire(const SimExplicitEvent* event) {
  std::unique_ptr<DseMessage> message(DseMessage::DseMessageCopy(*request_));
  if (message == nullptr) return DseMessage::kNoMemory;
  Status put = message->PutUInt16(kFiredMark);
  if (status::IsSuccess(put)) put = message->PutUInt64(Handle());
  if (status::IsSuccess(put)) put = message->PutUInt32(static_cast<std::uint32_t>(tags_.size()));
  for (std::uint32_t tag : tags_) {
    if (status::IsSuccess(put)) put = message->PutUInt32(tag);
  }
  if (status::IsFailure(put)) return put;
  resolved_.clear();
  resolved_types_.clear();
  for (const BvuIdPath& path : reported_) {
    DAESVarTableEntry* entry = VariableAt(path);
    if (entry == nullptr) return monitor_status::kFailed;
    std::int32_t kind = 0;
    MonitorServices().FindById(path, &kind);
    resolved_types_.push_back(kind == daes::kParameterKind ? std::uint32_t{SUValue::kReal}
                                                           : entry->ValueType());
    resolved_.push_back(entry);
  }
  if (send_values_ && status::IsFailure(put = WriteValues(*message, event))) return put;
  // The replies come through the manager, which hands them to this monitor
  // by its handle.
  const Status sent =
      ActionSender().Send(message.release(), SimActionMgr::Instance(), this, &pending_id_);
  stored_status_ = sent;
  return sent;
}

void SimMonitor::ForgetEntry(DAESVarTableEntry* entry) {
  for (std::size_t k = resolved_.size(); k-- > 0;) {
    if (resolved_[k] != entry) continue;
    resolved_.erase(resolved_.begin() + static_cast<std::ptrdiff_t>(k));
    resolved_types_.erase(resolved_types_.begin() + static_cast<std::ptrdiff_t>(k));
  }
}

Status SimMonitor::WriteValues(DseMessage& message, const SimExplicitEvent* event) {
  const bool own = event != nullptr && EventHandle() != 0 && event->id == EventHandle();
  std::vector<SUValue> values;
  values.reserve(resolved_.size());
  for (std::size_t i = 0; i < resolved_.size(); ++i) {
    const SUValue& held = resolved_[i]->TypedValue();
    if (resolved_types_[i] == SUValue::kReal && held.Kind() != SUValue::kReal) {
      // A parameter is reported as the real it evaluates to.
      SUValue real;
      real.SetType(SUValue::kReal);
      real.SetReal(resolved_[i]->GetRealValue());
      values.push_back(std::move(real));
    } else {
      values.push_back(SUValue::CopyConstruct(held));
    }
  }
  // Each value is tagged with the type it is reported as.
  return WriteMonitorValues(message, own ? event->time : MonitorServices().CurrentTime(),
                            static_cast<std::uint32_t>(values.size()), values.data(),
                            resolved_types_.data());
}

Status SimMonitor::HandleReply(std::uint32_t, DseMessage* reply, void*) {
  std::uint32_t rearm = 0;
  std::uint32_t follow_on = 0;
  Status read = reply->GetUInt32(&rearm);
  if (status::IsSuccess(read)) read = reply->GetUInt32(&follow_on);
  if (status::IsFailure(read)) return read;
  rearm_ = rearm;
  follow_on_ = follow_on;
  if (reply_arrived_ && rearm_ == 1) checked_ = reply_arrived_ = false;
  return status::kOk;
}

Status SimMonitor::RequestComplete(Status result, void*) {
  reply_arrived_ = true;
  pending_id_ = 0;
  return result;
}

Status SimMonitor::Reset() {
  if (delay_ > 0) --delay_;
  return status::kOk;
}

// --- time monitor ---

Status SimTimeMonitor::ReadOwn(BvuBinaryStream& body) {
  Status read = body.TryGet8(&time_);
  if (read != 1) return status::IsFailure(read) ? read : status::kUnhandled;
  if (!std::isfinite(time_)) return status::kBadArguments;
  std::uint8_t now = 0;
  if (status::IsFailure(read = body.GetUInt8(&now))) return read;
  schedule_now_ = now != 0;
  if (schedule_now_) {
    std::int32_t request = 0;
    const Status checked = Check(&request, nullptr, nullptr);
    if (status::IsFailure(checked)) return checked;
    if (handle_ != 0) MarkChecked();
  }
  return status::kOk;
}

Status SimTimeMonitor::Schedule() {
  const std::uint32_t kind = time_ == 0.0 ? kAtZero : kLater;
  return MonitorServices().ScheduleEvent(kind, time_, &handle_);
}

Status SimTimeMonitor::Check(std::int32_t*, SimActionControl*, const SimExplicitEvent*) {
  if (handle_ != 0) return status::kOk;  // scheduled at creation
  SimMonitorServices& services = MonitorServices();
  const double now = services.CurrentTime();
  if (time_ < now) {
    if (time_ < services.LowerTimeBound()) return monitor_status::kTimePassed;
    time_ = now;
  }
  const Status scheduled = Schedule();
  if (status::IsFailure(scheduled)) return scheduled;
  return status::kOk;
}

Status SimTimeMonitor::IsFiring(bool* fired, const SimExplicitEvent* event, std::int32_t*) {
  *fired = false;
  SimMonitorServices& services = MonitorServices();
  const double tolerance = services.EventTolerance();
  const double now = services.CurrentTime();
  if (handle_ == 0 && time_ > now - tolerance) {
    const Status scheduled = Schedule();
    if (status::IsFailure(scheduled)) return scheduled;
  }
  *fired = event != nullptr && handle_ != 0 && event->id == handle_ &&
           std::fabs(event->time - now) < tolerance;
  return status::kOk;
}

void SimTimeMonitor::ExplicitEventNotice(std::uint64_t handle) {
  if (handle == handle_) handle_ = 0;
}

Status SimTimeMonitor::QueryInterface(const platform::IID& iid, void** object) {
  if (object == nullptr) return 0x80070057u;
  if (iid != platform::IID_IUnknown) return kNoInterface;
  *object = this;
  AddRef();
  return status::kOk;
}

// --- step monitor ---

Status SimStepMonitor::ReadOwn(BvuBinaryStream& body) {
  std::uint16_t steps = 0;
  const Status read = body.GetUInt16(&steps);
  if (status::IsFailure(read)) return read;
  steps_ = steps;
  return status::kOk;
}

Status SimStepMonitor::Check(std::int32_t*, SimActionControl*, const SimExplicitEvent*) {
  count_ = 0;
  return monitor_status::kQuiet;
}

Status SimStepMonitor::IsFiring(bool* fired, const SimExplicitEvent* event, std::int32_t*) {
  *fired = false;
  if (event != nullptr && (event->kind & 1u) != 0) ++count_;
  if (count_ == steps_) {
    *fired = true;
    count_ = 0;
  }
  return status::kOk;
}
