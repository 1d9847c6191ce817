#include "daes/events/switch_equation.h"

#include <strings.h>

#include <cmath>

#include "expr/eval/expr_context.h"
#include "foundation/values/typed_value.h"

DAESFiniteStateTransition::DAESFiniteStateTransition(ExprContext* condition, std::int32_t target)
    : condition_(condition), target_(target) {}

DAESFiniteStateTransition::~DAESFiniteStateTransition() { delete condition_; }

void DAESFiniteStateTransition::SetCondition(ExprContext* condition) {
  if (condition == condition_) return;
  delete condition_;
  condition_ = condition;
}

bool DAESFiniteStateTransition::Holds() {
  if (condition_ == nullptr || status::IsFailure(condition_->Evaluate())) return false;
  const SUValue& v = condition_->Result();
  if (v.type == SUValue::kReal) return std::trunc(v.payload.real) != 0.0;
  if (v.type == SUValue::kInteger || v.type == SUValue::kLogical) return v.payload.integer != 0;
  return false;
}

DAESSwitchEquation::DAESSwitchEquation(std::int32_t states)
    : names_(static_cast<std::size_t>(states > 0 ? states : 0)), named_(names_.size(), false),
      transitions_(names_.size()) {}

const char* DAESSwitchEquation::StateName(std::int32_t state) const {
  if (state < 0 || state >= StateCount() || !named_[static_cast<std::size_t>(state)]) {
    return nullptr;
  }
  return names_[static_cast<std::size_t>(state)].c_str();
}

const char* DAESSwitchEquation::SetStateName(std::int32_t state, const char* name) {
  if (state < 0 || state >= StateCount()) return nullptr;
  names_[static_cast<std::size_t>(state)] = name != nullptr ? name : "";
  named_[static_cast<std::size_t>(state)] = true;
  return StateName(state);
}

std::int32_t DAESSwitchEquation::TransitionCount(std::int32_t state) const {
  if (state < 0 || state >= StateCount()) return 0;
  return static_cast<std::int32_t>(transitions_[static_cast<std::size_t>(state)].size());
}

DAESFiniteStateTransition* DAESSwitchEquation::GetTransition(std::int32_t state,
                                                             std::int32_t t) const {
  if (t < 0 || t >= TransitionCount(state)) return nullptr;
  return transitions_[static_cast<std::size_t>(state)][static_cast<std::size_t>(t)];
}

bool DAESSwitchEquation::AddTransition(std::int32_t state, DAESFiniteStateTransition* transition) {
  if (state < 0 || state >= StateCount() || transition == nullptr) return false;
  transitions_[static_cast<std::size_t>(state)].push_back(transition);
  return true;
}

std::int32_t DAESSwitchEquation::FindState(const char* name) const {
  if (name == nullptr) return -1;
  for (std::int32_t s = 0; s < StateCount(); ++s) {
    if (named_[static_cast<std::size_t>(s)] &&
        strcasecmp(names_[static_cast<std::size_t>(s)].c_str(), name) == 0) {
      return s;
    }
  }
  return -1;
}

std::int32_t DAESSwitchEquation::NextState(std::int32_t s) {
  for (std::int32_t t = 0; t < TransitionCount(s); ++t) {
    DAESFiniteStateTransition* transition = GetTransition(s, t);
    if (transition != nullptr && transition->Holds()) return transition->Target();
  }
  return s;
}
