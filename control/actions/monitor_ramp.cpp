// The ramp monitor: drives a FIXED variable from its value to a target
// along a linear or cosine profile and tells the client when it ends.
#include <cmath>

#include "control/actions/monitor.h"
#include "daes/model/var_table_entry.h"
#include "foundation/messages/su_print.h"

namespace {

double Pi() { return std::acos(-1.0); }

constexpr char kNotFixed[] =
    "%s: Ramped variable (@ns) is not FIXED\nRamp ignored - simulation will continue";
constexpr char kAlreadyRamped[] =
    "%s: Ramped variable (@ns) is already being ramped\nRamp ignored - simulation will continue";
constexpr char kNoNamedVariable[] =
    "Failed to find variable %s (inactive variable/non-local parameter referenced by a task?)";

}  // namespace

double RampFunction::ValueAt(double t, double tolerance) const {
  if (t <= start_time) return start_value;
  if (t >= end_time || std::fabs(duration) < tolerance) return target;
  const double share = (t - start_time) / duration;
  if (linear) return start_value + share * (target - start_value);
  return start_value - (std::cos(Pi() * share) - 1.0) / 2.0 * (target - start_value);
}

double RampFunction::CosineStartThrough(double v, double now) const {
  const double c = std::cos(Pi() * (now - start_time) / duration);
  const double half = (c - 1.0) / 2.0;
  return (v + half * target) / (half + 1.0);
}

SimRampDriver::~SimRampDriver() {
  if (*slot_ == this) *slot_ = nullptr;
}

double SimRampDriver::ValueAt(double time, double current) {
  if (!ramp_->start_known) {
    ramp_->start_value = current;
    ramp_->start_known = true;
  }
  return ramp_->ValueAt(time, tolerance_);
}

SimRampMonitor::~SimRampMonitor() {
  // A ramp that goes away gives its variable back, if the variable is
  // still there: a detached problem's tree goes before its actions (and a
  // variable that goes leaves the drivers itself).
  if (variable_ == nullptr || state_ == kIdle) {
    delete driver_;
    return;
  }
  SimMonitorServices& services = MonitorServices();
  std::int32_t kind = 0;
  DAESVarTableEntry* now = by_name_ ? services.FindByName(variable_name_.c_str(), &kind)
                                    : services.FindById(variable_path_, &kind);
  if (now != variable_) {
    delete driver_;
    return;
  }
  variable_->ClearFlags(kRampedMark);
  StopDriving();
}

void SimRampMonitor::StopDriving() {
  MonitorServices().UnregisterRamped(variable_);
  delete driver_;
}

Status SimRampMonitor::ReadOwn(BvuBinaryStream& body) {
  std::uint8_t by_name = 0;
  Status read = body.GetUInt8(&by_name);
  if (status::IsFailure(read)) return read;
  by_name_ = by_name != 0;
  if (by_name_) {
    char* name = nullptr;
    if (status::IsFailure(read = body.GetStringNew(&name))) return read;
    variable_name_ = name != nullptr ? name : "";
    delete[] name;
  } else {
    BvuIdPath path(body, &read);
    if (status::IsFailure(read)) return read;
    variable_path_ = std::move(path);
  }
  if (status::IsFailure(read = body.GetUInt32(&value_type_))) return read;
  if (value_type_ != kIntegerType && value_type_ != kRealType) return monitor_status::kBadRamp;
  double end = 0.0;
  double duration = 0.0;
  if (body.TryGet8(&end) != 1 || body.TryGet8(&duration) != 1) return status::kUnhandled;
  if (!std::isfinite(end) || !std::isfinite(duration)) return status::kBadArguments;
  ramp_.end_time = end;
  ramp_.duration = duration;
  ramp_.start_time = end - duration;
  if (value_type_ == kIntegerType) {
    std::uint32_t target = 0;
    if (status::IsFailure(read = body.GetUInt32(&target))) return read;
    ramp_.target = static_cast<std::int32_t>(target);
  } else if (body.TryGet8(&ramp_.target) != 1) {
    return status::kUnhandled;
  }
  double unused = 0.0;
  if (body.TryGet8(&unused) != 1 || body.TryGet8(&unused) != 1) return status::kUnhandled;
  std::uint8_t linear = 0;
  std::uint8_t mode = 0;
  if (status::IsFailure(read = body.GetUInt8(&linear))) return read;
  if (status::IsFailure(read = body.GetUInt8(&mode))) return read;
  ramp_.linear = linear != 0;
  mode_ = mode;
  if (MonitorServices().CurrentTime() == ramp_.start_time) {
    std::int32_t request = 0;
    const Status checked = Begin(&request);
    if (status::IsFailure(checked)) return checked;
    MarkChecked();
  }
  return status::kOk;
}

Status SimRampMonitor::Bind() {
  SimMonitorServices& services = MonitorServices();
  std::int32_t kind = 0;
  if (by_name_) {
    variable_ = services.FindByName(variable_name_.c_str(), &kind);
    if (variable_ == nullptr) {
      SuPrint(monitor_status::kFailed, kNoNamedVariable, variable_name_.c_str());
      return monitor_status::kFailed;
    }
  } else if (variable_path_.count() > 0) {
    variable_ = services.FindById(variable_path_, &kind);
    if (variable_ == nullptr) {
      SuPrint(monitor_status::kFailed, kNoVariable);
      return monitor_status::kFailed;
    }
  } else {
    return monitor_status::kBadRamp;
  }
  return status::kOk;
}

Status SimRampMonitor::Check(std::int32_t* request, SimActionControl*, const SimExplicitEvent*) {
  const Status begun = Begin(request);
  // At a hook point a refused ramp only stays quiet: a failure there would
  // end the run that the message says goes on.
  return begun == monitor_status::kRampIgnored ? monitor_status::kQuiet : begun;
}

Status SimRampMonitor::Begin(std::int32_t* request) {
  if (state_ != kIdle || variable_ != nullptr) {
    if (mode_ != 1) *request = 2;
    return monitor_status::kQuiet;
  }
  const Status bound = Bind();
  if (status::IsFailure(bound)) return bound;
  SimMonitorServices& services = MonitorServices();
  const char* name = GetName();
  BvuNameable* named = variable_;
  if ((variable_->GetFlags() & daes::kFixed) == 0) {
    SuPrint(monitor_status::kRampIgnored, kNotFixed, name, &named);
    variable_ = nullptr;
    return monitor_status::kRampIgnored;
  }
  if ((variable_->GetFlags() & kRampedMark) != 0) {
    SuPrint(monitor_status::kRampIgnored, kAlreadyRamped, name, &named);
    variable_ = nullptr;
    return monitor_status::kRampIgnored;
  }
  variable_->SetFlags(kRampedMark);
  state_ = kActive;
  const bool real = variable_->ValueType() == SUValue::kReal;
  if (mode_ == 1) {
    ramp_.start_value = real ? variable_->GetRealValue() : 0.0;
    ramp_.start_known = true;
  } else {
    delete driver_;
    driver_ = new SimRampDriver(&ramp_, services.EventTolerance(), &driver_);
    services.RegisterRamped(variable_, driver_);
    *request = 2;
  }
  const double now = services.CurrentTime();
  if (std::fabs(now - ramp_.start_time) > kRestartGap) {
    if (ramp_.linear) {
      ramp_.start_time = now;
      ramp_.duration = ramp_.end_time - now;
    } else if (real && ramp_.duration != 0.0) {
      ramp_.start_value = ramp_.CosineStartThrough(variable_->GetRealValue(), now);
      ramp_.start_known = true;
    }
  }
  return services.ScheduleEvent(kEndEvent, ramp_.end_time, &end_event_);
}

Status SimRampMonitor::SetVariable(double value) {
  if (variable_ == nullptr) return status::kOk;
  SUValue typed;
  if (value_type_ == kIntegerType) {
    typed.SetType(SUValue::kInteger);
    typed.SetInt(static_cast<std::int32_t>(std::lround(value)));
  } else {
    typed.SetType(SUValue::kReal);
    typed.SetReal(value);
  }
  return MonitorServices().SetValue(variable_, typed, kSetterFlags);
}

Status SimRampMonitor::IsFiring(bool* fired, const SimExplicitEvent* event, std::int32_t* request) {
  *fired = false;
  if (event == nullptr || variable_ == nullptr) return status::kOk;
  if (end_event_ != 0 && event->id == end_event_) {
    *fired = true;
    if (mode_ != 1) {
      variable_->ClearFlags(kRampedMark);
      StopDriving();
      state_ = kIdle;
      *request = 2;
    }
    return SetVariable(ramp_.target);
  }
  if (mode_ == 2) {
    if (event->time == ramp_.start_time) *request = 2;
    return status::kOk;
  }
  if (mode_ == 1 && (event->kind & 1u) != 0) {
    if (!ramp_.start_known) {
      ramp_.start_value =
          variable_->ValueType() == SUValue::kReal ? variable_->GetRealValue() : 0.0;
      ramp_.start_known = true;
    }
    return SetVariable(ramp_.ValueAt(event->time, MonitorServices().EventTolerance()));
  }
  return status::kOk;
}

void SimRampMonitor::ForgetEntry(DAESVarTableEntry* entry) {
  SimMonitor::ForgetEntry(entry);
  if (entry != variable_) return;
  variable_ = nullptr;
  state_ = kIdle;
}

void SimRampMonitor::ExplicitEventNotice(std::uint64_t handle) {
  if (handle == end_event_) end_event_ = 0;
}
