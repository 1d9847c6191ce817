// A multi-state (switch) equation: named states, each with an ordered list
// of transitions (a condition and a target state), and the current state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "daes/equations/equation_node.h"

class ExprContext;

namespace daes {
struct EquationCState;
inline constexpr std::int32_t kSwitchKind = 18;
inline constexpr std::int32_t kTransitionKind = 19;
}  // namespace daes

// A transition out of a state: its condition and the state it leads to.
class DAESFiniteStateTransition {
 public:
  // Takes the context (null: the condition never holds).
  DAESFiniteStateTransition(ExprContext* condition, std::int32_t target);
  virtual ~DAESFiniteStateTransition();
  DAESFiniteStateTransition(const DAESFiniteStateTransition&) = delete;
  DAESFiniteStateTransition& operator=(const DAESFiniteStateTransition&) = delete;

  ExprContext* Condition() const { return condition_; }
  void SetCondition(ExprContext* condition);
  std::int32_t Target() const { return target_; }
  void SetTarget(std::int32_t target) { target_ = target; }
  // Whether the condition holds now: its value, an integer or a real taken
  // as an integer, is not 0. A failed evaluation does not hold.
  bool Holds();

 private:
  ExprContext* condition_;
  std::int32_t target_;
};

class DAESSwitchEquation : public DAESEquation {
 public:
  explicit DAESSwitchEquation(std::int32_t states);

  std::int32_t EntryKind() override { return daes::kSwitchKind; }
  std::int32_t StateCount() const { return static_cast<std::int32_t>(names_.size()); }
  std::int32_t CurrentState() const { return current_; }
  void SetCurrentState(std::int32_t state) { current_ = state; }
  // Null for a state out of range or not named yet.
  virtual const char* StateName(std::int32_t state) const;
  const char* SetStateName(std::int32_t state, const char* name);
  virtual std::int32_t TransitionCount(std::int32_t state) const;
  // Transition t (0-based) of a state; null when there is none. The
  // transitions belong to the switch's nodes.
  virtual DAESFiniteStateTransition* GetTransition(std::int32_t state, std::int32_t t) const;
  // Appends a transition to a state; false for a state out of range.
  bool AddTransition(std::int32_t state, DAESFiniteStateTransition* transition);
  // The first state whose name equals `name` ignoring case, or -1.
  std::int32_t FindState(const char* name) const;
  // The target of the first transition of s whose condition holds, else s.
  std::int32_t NextState(std::int32_t s);
  // C: per state its case label and the transitions, each condition's
  // value code followed by a jump to its target when it holds.
  Status WriteSwitchCode(daes::EquationCState& w);

 private:
  std::int32_t current_ = -1;
  std::vector<std::string> names_;
  std::vector<bool> named_;
  std::vector<std::vector<DAESFiniteStateTransition*>> transitions_;
};
