#include "daes/events/implicit_event.h"

#include <cmath>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "daes/events/condition_node.h"
#include "daes/events/switch_equation.h"
#include "daes/model/var_table_entry.h"
#include "expr/eval/expr_context.h"
#include "expr/tape/tape.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/integrator_proxy.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/interfaces/variable_drivers.h"
#include "foundation/messages/su_print.h"
#include "foundation/values/typed_value.h"

namespace {
DAESSwitchEquation* AsSwitch(DAESEquation* equation) {
  if (equation == nullptr || equation->EntryKind() != daes::kSwitchKind) return nullptr;
  return dynamic_cast<DAESSwitchEquation*>(equation);
}

const char* StateText(DAESEquation* equation, std::int32_t state, std::string* buffer) {
  if (DAESSwitchEquation* s = AsSwitch(equation)) {
    if (const char* name = s->StateName(state)) return name;
  }
  if (auto* c = dynamic_cast<DAESConditionalEquation*>(equation)) return c->StateName(state);
  *buffer = std::to_string(state);
  return buffer->c_str();
}
}  // namespace

// --- DAESImplicitEvent ---

DAESImplicitEvent::DAESImplicitEvent(DAESImplicitEvent* guard, std::uint32_t guard_state)
    : guard_(guard), guard_state_(guard_state) {
  if (guard_ != nullptr) guard_->AddRef();
}

DAESImplicitEvent::~DAESImplicitEvent() {
  if (schedule_ != nullptr) schedule_->RemoveEvent(this);
  delete condition_;
  if (guard_ != nullptr) guard_->Release();
}

void DAESImplicitEvent::Release() {
  if (--references_ == 0) delete this;
}

const char* DAESImplicitEvent::GetNameText(std::int32_t arg) {
  if (equation_ == nullptr) return "An external event";
  return equation_->GetNameText(arg);
}

void DAESImplicitEvent::SetCondition(ExprContext* condition, DAESEquation* equation) {
  if (condition != condition_) delete condition_;
  condition_ = condition;
  equation_ = equation;
}

void DAESImplicitEvent::AttachEquation(DAESSwitchEquation* equation) {
  equation_ = equation;
  if (equation != nullptr) state_ = equation->CurrentState();
}

bool DAESImplicitEvent::IsActive() const {
  // Iterative: a long chain of guards must not run deep.
  for (const DAESImplicitEvent* e = this; e->guard_ != nullptr; e = e->guard_) {
    if (e->guard_->state_ != static_cast<std::int32_t>(e->guard_state_)) return false;
  }
  return true;
}

Status DAESImplicitEvent::EvaluateContext(std::int32_t* value) {
  if (condition_ == nullptr) {
    *value = 0;
    return 0;
  }
  const Status s = condition_->Evaluate();
  if (status::IsFailure(s)) {
    std::ostringstream text;
    text << "Expression is: ";
    condition_->Print(text);
    auto* tape = dynamic_cast<ExprPCContext*>(condition_);
    const std::int32_t failing = TapeStateNow().failing;
    if (tape != nullptr && tape->HasTape() && (s & daes::kUnlocatedFault) == 0 && failing >= 0 &&
        failing < tape->InstructionCount()) {
      text << "\nSub-expression at fault: ";
      tape->PrintTape(-(failing + 1), text);
    }
    const std::string detail = text.str();
    const char* reason = ExprErrorText(static_cast<std::uint16_t>(s & 0xFFFFu));
    BvuNameable* self = this;
    SuPrint(IsErrorReportingOn() != 0 ? s : 0,
            "Evaluation of condition in equation @cs failed (%s)\n%s", &self, reason,
            detail.c_str());
    return s;
  }
  const SUValue& v = condition_->Result();
  if (v.type == SUValue::kReal) {
    const double t = std::trunc(v.payload.real);
    *value = std::isfinite(t) && std::fabs(t) < 2147483648.0 ? static_cast<std::int32_t>(t) : 0;
  } else {
    *value = v.payload.integer;
  }
  return s;
}

Status DAESImplicitEvent::NewState(std::int32_t* state) {
  if (DAESSwitchEquation* s = AsSwitch(equation_)) {
    *state = s->NextState(state_);
    return 0;
  }
  return EvaluateContext(state);
}

Status DAESImplicitEvent::EvaluateCondition(std::int32_t quiet) {
  if (!IsActive()) return 0;
  std::int32_t next = state_;
  const Status s = NewState(&next);
  if (status::IsFailure(s)) return s;
  const std::int32_t old = state_;
  state_ = next;
  if (next != old && quiet == 0) {
    UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();
    const bool reported = integrator == nullptr || integrator->GetCapabilityBit2() != 0;
    if (reported && equation_ != nullptr) {
      std::string a;
      std::string b;
      BvuNameable* self = this;
      SuPrint(0, "Equation @cs moved from %s to %s", &self, StateText(equation_, old, &a),
              StateText(equation_, next, &b));
    }
  }
  return s;
}

Status DAESImplicitEvent::HasChanged(std::int32_t* changed) {
  if (!IsActive()) return 0;
  std::int32_t next = state_;
  const Status s = NewState(&next);
  if (status::IsFailure(s)) return s;
  if (next != state_) *changed = 1;
  return s;
}

// --- SimExtImplicitEvent ---

SimExtImplicitEvent::SimExtImplicitEvent(const char* name) : DAESImplicitEvent(nullptr, 0) {
  if (name != nullptr && name[0] != '\0') {
    name_ = name;
    has_name_ = true;
  }
}

const char* SimExtImplicitEvent::GetNameText(std::int32_t) {
  return has_name_ ? name_.c_str() : "An Unnamed External Implicit event";
}

Status SimExtImplicitEvent::HasChanged(std::int32_t* changed) {
  std::int32_t value = 0;
  if (status::IsFailure(EvaluateContext(&value))) value = 0;
  last_value_ = value;
  if (first_) {
    first_ = false;
    *changed = value;
    fired_ = value != 0;
    return 0;
  }
  const bool differs = value != 0 && value != State();
  if (fired_) {
    *changed = 1;
    if (!differs) fired_ = false;
  } else if (differs) {
    *changed = 1;
    fired_ = true;
  }
  return 0;
}

// --- schedules ---

Status QLNEventSchedule::GetEquations(std::int32_t* count, DAESEquation*** equations) {
  *count = 0;
  *equations = nullptr;
  return daes::kNotImplemented;
}

Status QLNEventSchedule::GetStates(std::int32_t* count, std::int32_t**) {
  *count = 0;
  return daes::kNotImplemented;
}

DAESEventSchedule::~DAESEventSchedule() {
  for (DAESImplicitEvent* e = head_; e != nullptr;) {
    DAESImplicitEvent* next = e->next_;
    e->schedule_ = nullptr;
    e->next_ = nullptr;
    e = next;
  }
  count_ = 0;
  if (GetCurrentEventSchedule() == this) SetCurrentEventSchedule(nullptr);
}

std::int32_t DAESEventSchedule::HasExternalEvents() { return FirstExternal() != nullptr ? 1 : 0; }

Status DAESEventSchedule::ExternalEventsChanged() {
  for (DAESImplicitEvent* e = FirstExternal(); e != nullptr; e = e->next_) {
    std::int32_t changed = 0;
    const Status s = e->HasChanged(&changed);
    if (status::IsFailure(s)) return s;
    if (changed != 0) return 1;
  }
  return 0;
}

std::uint32_t DAESEventSchedule::FirstFiringCount() {
  for (DAESImplicitEvent* e = FirstExternal(); e != nullptr; e = e->next_) {
    if (e->FiringCount() != 0) return e->FiringCount();
  }
  return 0;
}

Status DAESEventSchedule::AnyEventChanged() {
  std::int32_t any = 0;
  for (DAESImplicitEvent* e = head_; e != nullptr; e = e->next_) {
    std::int32_t changed = 0;
    e->HasChanged(&changed);
    if (changed != 0) any = 1;
  }
  return static_cast<Status>(any);
}

Status DAESEventSchedule::EvaluateAll() {
  for (DAESImplicitEvent* e = head_; e != nullptr; e = e->next_) {
    const Status s = e->EvaluateCondition(0);
    if (status::IsFailure(s)) return s;
  }
  return 0;
}

Status DAESEventSchedule::ReportChanges(double now, double trial) {
  const bool drivers = VariableDrivers().count() > 0;
  SetSimulationTime(trial);
  if (drivers) ApplyVariableDrivers(trial);
  bool heading = false;
  for (DAESImplicitEvent* e = head_; e != nullptr; e = e->next_) {
    std::int32_t changed = 0;
    e->HasChanged(&changed);
    if (changed == 0) continue;
    if (!heading) {
      SuPrint(0, "The following event(s) have changed state:\n");
      heading = true;
    }
    BvuNameable* named = e;
    SuPrint(0, "@cs\n", &named);
  }
  SetSimulationTime(now);
  if (drivers) ApplyVariableDrivers(now);
  return 0;
}

void DAESEventSchedule::SaveStates() {
  for (DAESImplicitEvent* e = head_; e != nullptr; e = e->next_) e->SaveState();
  saved_ = 1;
}

void DAESEventSchedule::RestoreStates() {
  if (saved_ == 0) return;
  for (DAESImplicitEvent* e = head_; e != nullptr; e = e->next_) e->RestoreState();
}

Status DAESEventSchedule::GetEquations(std::int32_t* count, DAESEquation*** equations) {
  *count = count_;
  *equations = nullptr;
  if (count_ == 0) return 0;
  auto* out = new DAESEquation*[static_cast<std::size_t>(count_)];
  std::int32_t i = 0;
  for (DAESImplicitEvent* e = head_; e != nullptr; e = e->next_) out[i++] = e->equation_;
  *equations = out;
  return 0;
}

Status DAESEventSchedule::GetStates(std::int32_t* count, std::int32_t** states) {
  if (*count != count_ || *states == nullptr) {
    delete[] * states;
    *states = count_ != 0 ? new std::int32_t[static_cast<std::size_t>(count_)] : nullptr;
    *count = count_;
  }
  std::int32_t i = 0;
  for (DAESImplicitEvent* e = head_; e != nullptr; e = e->next_) (*states)[i++] = e->state_;
  return 0;
}

Status DAESEventSchedule::SetStates(std::int32_t count, const std::int32_t* states) {
  // A failure status: a refused restore must not read as success.
  if (count != count_ || (count != 0 && states == nullptr)) return daes::kWrongEventCount;
  std::int32_t i = 0;
  for (DAESImplicitEvent* e = head_; e != nullptr; e = e->next_) e->SetState(states[i++]);
  return 0;
}

Status DAESEventSchedule::RemoveEvent(DAESImplicitEvent* event) {
  DAESImplicitEvent* before = nullptr;
  DAESImplicitEvent* e = head_;
  while (e != nullptr && e != event) {
    before = e;
    e = e->next_;
  }
  if (e == nullptr) return daes::kNotImplemented;
  if (before == nullptr) {
    head_ = e->next_;
  } else {
    before->next_ = e->next_;
  }
  if (tail_ == e) tail_ = before;
  // The model event before the boundary becomes the boundary.
  if (boundary_ == e) boundary_ = before;
  if (e->IsExternal() && external_count_ > 0) --external_count_;
  e->next_ = nullptr;
  e->schedule_ = nullptr;
  --count_;
  return 0;
}

Status DAESEventSchedule::AddExternalEvent(DAESImplicitEvent* event) {
  if (event == nullptr || event->schedule_ != nullptr) return daes::kNotImplemented;
  event->sequence_ = count_;
  if (boundary_ == nullptr && tail_ != nullptr && tail_->IsModelEvent()) boundary_ = tail_;
  ++external_count_;
  event->next_ = nullptr;
  if (tail_ == nullptr) {
    head_ = event;
  } else {
    tail_->next_ = event;
  }
  tail_ = event;
  event->schedule_ = this;
  ++count_;
  return 0;
}

Status DAESEventSchedule::AddModelEvent(DAESImplicitEvent* event) {
  if (event == nullptr || event->schedule_ != nullptr) return daes::kNotImplemented;
  event->sequence_ = count_;
  if (boundary_ == nullptr) boundary_ = event;
  event->next_ = head_;
  head_ = event;
  if (tail_ == nullptr) tail_ = event;
  event->schedule_ = this;
  ++count_;
  return 0;
}

std::int32_t DAESEventSchedule::TakeNewStates() {
  for (DAESImplicitEvent* e = head_; e != nullptr; e = e->next_) {
    if (DAESSwitchEquation* s = AsSwitch(e->equation_)) {
      e->SetState(s->CurrentState());
    } else {
      e->EvaluateCondition(1);
    }
  }
  return count_;
}

void DAESEventSchedule::Print(std::ostream& out) {
  out << '\n';
  for (DAESImplicitEvent* e = head_; e != nullptr; e = e->next_) {
    std::string buffer;
    out << StateText(e->equation_, e->state_, &buffer) << ' ' << std::setw(15) << e->GetNameText()
        << '\n';
  }
}

DAESEventSchedule* DAESCreateEventSchedule() { return new DAESEventSchedule(); }

QLNImplicitEvent* DAESCreateExtImplicitEvent(std::int32_t kind, const char* name) {
  if (kind != daes::kExternalEventKind) return nullptr;
  return new SimExtImplicitEvent(name);
}
