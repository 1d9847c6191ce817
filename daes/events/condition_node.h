// IF equations: the model-side conditional equation (its condition and the
// implicit event made for it) and its node in the instance tree, whose
// children 1 and 2 are the THEN and ELSE branches.
#pragma once

#include <cstdint>

#include "daes/equations/equation_node.h"

class DAESFiniteStateEquation;
class DAESImplicitEvent;

namespace daes {
inline constexpr std::int32_t kConditionKind = 17;
inline constexpr Status kTornOnOneBranch = 0xA0000269u;
}  // namespace daes

class DAESConditionalEquation : public DAESSimpleEquation {
 public:
  // Takes a reference on the condition.
  explicit DAESConditionalEquation(Expression* condition);
  // Gives back its reference on the event.
  ~DAESConditionalEquation() override;

  std::int32_t EntryKind() override { return daes::kConditionKind; }
  // "THEN branch" for a non-zero branch, "ELSE branch" for 0.
  const char* StateName(std::int32_t branch) const;
  // The event's state, or -1 without an event.
  std::int32_t CurrentState() const;
  // It has no single residual: none and 0xA031FFFF.
  Status GetResidualExpression(Expression** expression) const;
  // The event of the condition, made (under the guard) and scheduled on the
  // first call; 0xA031FFFF with a message when no schedule is current.
  Status EnsureEvent(DAESImplicitEvent* guard, std::uint32_t guard_state,
                     DAESImplicitEvent** event);
  // A new two-state row over the event (made first when needed).
  DAESFiniteStateEquation* MakeSolverEquation(DAESImplicitEvent* guard = nullptr,
                                              std::uint32_t guard_state = 0);
  DAESImplicitEvent* Event() const { return event_; }
  // Lets go of the event; rows built with it keep their own references.
  void ForgetEvent();

 private:
  DAESImplicitEvent* event_ = nullptr;
};

class DAESConditionNode : public DAESConditionalEquation, public BvuDirectoryProper {
 public:
  DAESConditionNode(BvuDirectoryNode* parent, const char* name, Expression* condition);

  std::int32_t GetKind() override { return daes::kConditionKind; }
  const char* GetNameText(std::int32_t arg = 0) override {
    return BvuDirectoryNode::GetNameText(arg);
  }
  // u32, a text of at most 40 bytes, u32 n, n references of the condition.
  Status ReadItemBody(BvuBinaryStream& stream, void* context) override;
  Status ApplyToSubtree(void* list, void* guard, std::int32_t guard_state, std::int32_t eliminate,
                        void* problem) override;
  // One finite-state row per pair of THEN and ELSE rows.
  Status CollectEquations(QLNEquationList* list, DAESImplicitEvent* guard,
                          std::uint32_t guard_state, void* problem);
  std::int32_t LeafCount() override;
  void* AsBranchingNode() override { return static_cast<DAESConditionalEquation*>(this); }
  Status ClearMarks() override;
};
