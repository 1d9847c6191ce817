#include "daes/events/switch_node.h"

#include <vector>

#include "daes/events/finite_state_equation.h"
#include "daes/events/implicit_event.h"
#include "daes/model/var_table_entry.h"
#include "daes/problem/solver_equation.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/messages/su_print.h"
#include "foundation/persistence/binary_stream.h"

namespace {
class StateRows : public DAESSolverEquationList {
 public:
  Status AddEquation(DAESEqnRow* equation, void*) override {
    return DAESSolverEquationList::AddEquation(equation, nullptr);
  }
};

constexpr std::uint32_t kStateNameSize = 127;
}  // namespace

DAESSwitchNode::DAESSwitchNode(BvuDirectoryNode* parent, const char* name, std::int32_t states)
    : DAESSwitchEquation(states), BvuDirectoryProper(parent, name) {}

DAESSwitchNode::~DAESSwitchNode() {
  if (event_ != nullptr) {
    event_->AttachEquation(nullptr);
    event_->Release();
  }
}

std::int32_t DAESSwitchNode::TransitionCount(std::int32_t state) const {
  std::int32_t count = 0;
  while (GetTransition(state, count) != nullptr) ++count;
  return count;
}

DAESFiniteStateTransition* DAESSwitchNode::GetTransition(std::int32_t state, std::int32_t t) const {
  auto* self = const_cast<DAESSwitchNode*>(this);
  if (state < 0 || state >= StateCount() || t < 0) return nullptr;
  BvuDirectoryNode* state_node = self->ChildAt(state);
  if (state_node == nullptr) return nullptr;
  std::int32_t seen = 0;
  for (std::int32_t i = NextChildIndex(state_node, state_node->LowIndex());
       i <= state_node->HighIndex(); i = NextChildIndex(state_node, i + 1)) {
    BvuDirectoryNode* group = state_node->ChildAt(i);
    if (group == nullptr || group->GetKind() == daes::kTransitionKind) continue;
    if (dynamic_cast<DAESEquation*>(group) != nullptr) continue;
    for (std::int32_t j = NextChildIndex(group, group->LowIndex()); j <= group->HighIndex();
         j = NextChildIndex(group, j + 1)) {
      auto* transition = dynamic_cast<DAESTransitionNode*>(group->ChildAt(j));
      if (transition != nullptr && seen++ == t) return transition;
    }
  }
  return nullptr;
}

Status DAESSwitchNode::ApplyToSubtree(void* list, void* guard, std::int32_t guard_state,
                                      std::int32_t, void* problem) {
  return CollectEquations(static_cast<QLNEquationList*>(list),
                          static_cast<DAESImplicitEvent*>(guard),
                          static_cast<std::uint32_t>(guard_state), problem);
}

Status DAESSwitchNode::ClearMarks() {
  if (event_ != nullptr) {
    event_->AttachEquation(nullptr);
    event_->Release();
    event_ = nullptr;
  }
  return BvuDirectoryProper::ClearMarks();
}

Status DAESSwitchNode::CollectEquations(QLNEquationList* list, DAESImplicitEvent* guard,
                                        std::uint32_t guard_state, void* problem) {
  if (list == nullptr) return daes::kNoSolverEquation;
  if (event_ == nullptr) {
    DAESEventSchedule* schedule = GetCurrentEventSchedule();
    if (schedule == nullptr) {
      BvuNameable* self = static_cast<DAESSwitchEquation*>(this);
      SuPrint(daes::kNotImplemented, "Equation @cs cannot be built: there is no event schedule",
              &self);
      return daes::kNotImplemented;
    }
    auto* made = new DAESImplicitEvent(guard, guard_state);
    made->AttachEquation(this);
    const Status s = schedule->AddModelEvent(made);
    if (status::IsFailure(s)) {
      made->Release();
      return s;
    }
    event_ = made;
  }
  const std::int32_t n = StateCount();
  std::vector<StateRows> rows(static_cast<std::size_t>(n));
  for (StateRows& state : rows) state.CountProceduresWith(*list);
  for (std::int32_t k = 0; k < n; ++k) {
    BvuDirectoryNode* state_node = ChildAt(k);
    if (state_node == nullptr) continue;
    for (std::int32_t i = NextChildIndex(state_node, state_node->LowIndex());
         i <= state_node->HighIndex(); i = NextChildIndex(state_node, i + 1)) {
      BvuDirectoryNode* child = state_node->ChildAt(i);
      if (child == nullptr || child->GetKind() == daes::kTransitionKind) continue;
      // Equations inside switch branches are never eliminated.
      const Status s =
          child->ApplyToSubtree(&rows[static_cast<std::size_t>(k)], event_, k, 0, problem);
      if (status::IsFailure(s)) return s;
    }
  }
  const std::int32_t m = n > 0 ? rows[0].EquationCount() : 0;
  for (std::int32_t k = 1; k < n; ++k) {
    const std::int32_t c = rows[static_cast<std::size_t>(k)].EquationCount();
    if (c != m) {
      // Pairing would read past the shorter state.
      const char* name = GetNameText();
      SuPrint(daes::kNotImplemented,
              "Switch %s refused: its state %d has %d equations and its first state %d", name, &k,
              &c, &m);
      return daes::kNotImplemented;
    }
  }
  Status result = daes::kReservedAnswer;
  for (std::int32_t j = 1; j <= m; ++j) {
    auto* row =
        new DAESFiniteStateEquation(nullptr, this, event_, n, static_cast<std::uint32_t>(j));
    for (std::int32_t k = 0; k < n; ++k) {
      row->AddBranch(rows[static_cast<std::size_t>(k)].GetEquation(j - 1));
    }
    result = list->AddEquation(row, problem);
  }
  for (StateRows& r : rows) r.ClearEquations();
  return result;
}

DAESTransitionNode::DAESTransitionNode(BvuDirectoryNode* parent, const char* name,
                                       Expression* condition)
    : DAESFiniteStateTransition(nullptr, -1), BvuDirectoryNode(parent, name),
      condition_(condition) {}

DAESTransitionNode::~DAESTransitionNode() {
  // The context reads the condition's elements: it goes first.
  SetCondition(nullptr);
}

DAESSwitchNode* DAESTransitionNode::OwningSwitch() const {
  BvuDirectoryNode* group = Parent();
  BvuDirectoryNode* state = group != nullptr ? group->Parent() : nullptr;
  return state != nullptr ? dynamic_cast<DAESSwitchNode*>(state->Parent()) : nullptr;
}

Status DAESTransitionNode::ReadItemBody(BvuBinaryStream& stream, void* context) {
  auto* instance = static_cast<BvuDirectoryNode*>(context);
  Status s = condition_.ReadReferencesBody(stream, instance != nullptr ? instance : Root());
  if (status::IsFailure(s)) return s;
  SetCondition(
      condition_.ResidualExpression() != nullptr
          ? new DAESEquationContext(condition_.ResidualExpression(), condition_.RowElements())
          : nullptr);
  char name[kStateNameSize] = {};
  s = stream.GetStringInto(name, kStateNameSize);
  if (status::IsFailure(s)) return s;
  DAESSwitchNode* owner = OwningSwitch();
  SetTarget(owner != nullptr ? owner->FindState(name) : -1);
  return 0;
}
