// Switch equations and their transitions in the instance tree. The switch
// node's child k is the node of state k; below it lie the state's equations
// and a group of its transitions.
#pragma once

#include <cstdint>

#include "daes/equations/equation_node.h"
#include "daes/events/switch_equation.h"

class DAESImplicitEvent;

class DAESSwitchNode : public DAESSwitchEquation, public BvuDirectoryProper {
 public:
  DAESSwitchNode(BvuDirectoryNode* parent, const char* name, std::int32_t states);
  ~DAESSwitchNode() override;

  std::int32_t GetKind() override { return daes::kSwitchKind; }
  const char* GetNameText(std::int32_t arg = 0) override {
    return BvuDirectoryNode::GetNameText(arg);
  }
  // The transitions of state s: the transition nodes among the children of
  // the children of state node s, in index order.
  std::int32_t TransitionCount(std::int32_t state) const override;
  DAESFiniteStateTransition* GetTransition(std::int32_t state, std::int32_t t) const override;
  Status ApplyToSubtree(void* list, void* guard, std::int32_t guard_state, std::int32_t eliminate,
                        void* problem) override;
  // An event for the switch, then one finite-state row per equation
  // position over the states.
  Status CollectEquations(QLNEquationList* list, DAESImplicitEvent* guard,
                          std::uint32_t guard_state, void* problem);
  Status ClearMarks() override;
  DAESImplicitEvent* Event() const { return event_; }

 private:
  DAESImplicitEvent* event_ = nullptr;
};

class DAESTransitionNode : public DAESFiniteStateTransition, public BvuDirectoryNode {
 public:
  // Takes a reference on the condition.
  DAESTransitionNode(BvuDirectoryNode* parent, const char* name, Expression* condition);
  ~DAESTransitionNode() override;

  std::int32_t GetKind() override { return daes::kTransitionKind; }
  // The condition's references (u32, a text of at most 40 bytes, u32 n, n
  // references), then the target state's name.
  Status ReadItemBody(BvuBinaryStream& stream, void* context) override;
  // Transitions add no equations.
  Status ApplyToSubtree(void*, void*, std::int32_t, std::int32_t, void*) override { return 0; }
  // Switch, state node, group, transition: the switch two levels up.
  DAESSwitchNode* OwningSwitch() const;
  DAESSimpleEquation& ConditionEquation() { return condition_; }

 private:
  DAESSimpleEquation condition_;
};
