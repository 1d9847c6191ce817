#include "daes/events/condition_node.h"

#include <vector>

#include "daes/events/finite_state_equation.h"
#include "daes/events/implicit_event.h"
#include "daes/model/var_table_entry.h"
#include "daes/problem/solver_equation.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/messages/su_print.h"

namespace {
// Rows collected from a branch: kept here until they are paired; the
// finite-state rows attach them to the problem.
class BranchRows : public DAESSolverEquationList {
 public:
  Status AddEquation(DAESEqnRow* equation, void*) override {
    return DAESSolverEquationList::AddEquation(equation, nullptr);
  }
};

std::vector<DAESVarTableEntry*> RowVariables(DAESEqnRow* row) {
  std::vector<DAESVarTableEntry*> out;
  auto* solver = dynamic_cast<DAESSolverEquation*>(row);
  if (solver == nullptr || solver->ModelEquation() == nullptr) return out;
  for (DAESRowElement* e : solver->ModelEquation()->RowElements()) {
    if (e != nullptr && e->ElementVariable() != nullptr) out.push_back(e->ElementVariable());
  }
  return out;
}

// None of the ELSE row's variables occurs in the THEN row.
bool Mismatched(DAESEqnRow* then_row, DAESEqnRow* else_row) {
  const auto a = RowVariables(then_row);
  for (DAESVarTableEntry* v : RowVariables(else_row)) {
    for (DAESVarTableEntry* w : a) {
      if (v == w) return false;
    }
  }
  return true;
}
}  // namespace

DAESConditionalEquation::DAESConditionalEquation(Expression* condition)
    : DAESSimpleEquation(condition) {}

DAESConditionalEquation::~DAESConditionalEquation() { ForgetEvent(); }

void DAESConditionalEquation::ForgetEvent() {
  if (event_ != nullptr) {
    // The event names this equation: rows still holding it must not ask it.
    if (event_->Equation() == this) event_->SetCondition(nullptr, nullptr);
    event_->Release();
    event_ = nullptr;
  }
}

const char* DAESConditionalEquation::StateName(std::int32_t branch) const {
  return branch != 0 ? "THEN branch" : "ELSE branch";
}

std::int32_t DAESConditionalEquation::CurrentState() const {
  return event_ != nullptr ? event_->State() : -1;
}

Status DAESConditionalEquation::GetResidualExpression(Expression** expression) const {
  *expression = nullptr;
  return daes::kNotImplemented;
}

Status DAESConditionalEquation::EnsureEvent(DAESImplicitEvent* guard, std::uint32_t guard_state,
                                            DAESImplicitEvent** event) {
  *event = event_;
  if (event_ != nullptr) return 0;
  DAESEventSchedule* schedule = GetCurrentEventSchedule();
  if (schedule == nullptr) {
    BvuNameable* self = this;
    SuPrint(daes::kNotImplemented, "Equation @cs cannot be built: there is no event schedule",
            &self);
    return daes::kNotImplemented;
  }
  auto* made = new DAESImplicitEvent(guard, guard_state);
  made->SetCondition(new DAESEquationContext(ResidualExpression(), RowElements()), this);
  const Status s = schedule->AddModelEvent(made);
  if (status::IsFailure(s)) {
    made->SetCondition(nullptr, nullptr);
    made->Release();
    return s;
  }
  event_ = made;
  *event = made;
  return 0;
}

DAESFiniteStateEquation* DAESConditionalEquation::MakeSolverEquation(DAESImplicitEvent* guard,
                                                                     std::uint32_t guard_state) {
  DAESImplicitEvent* event = nullptr;
  if (status::IsFailure(EnsureEvent(guard, guard_state, &event))) return nullptr;
  // The branches' own solver equations check their bindings.
  RebindElements();
  return new DAESFiniteStateEquation(this, this, event, 2, 1);
}

DAESConditionNode::DAESConditionNode(BvuDirectoryNode* parent, const char* name,
                                     Expression* condition)
    : DAESConditionalEquation(condition), BvuDirectoryProper(parent, name) {}

Status DAESConditionNode::ReadItemBody(BvuBinaryStream& stream, void* context) {
  auto* instance = static_cast<BvuDirectoryNode*>(context);
  return ReadReferencesBody(stream, instance != nullptr ? instance : Root());
}

Status DAESConditionNode::ApplyToSubtree(void* list, void* guard, std::int32_t guard_state,
                                         std::int32_t, void* problem) {
  return CollectEquations(static_cast<QLNEquationList*>(list),
                          static_cast<DAESImplicitEvent*>(guard),
                          static_cast<std::uint32_t>(guard_state), problem);
}

std::int32_t DAESConditionNode::LeafCount() {
  BvuDirectoryNode* then_branch = ChildAt(1);
  return then_branch != nullptr ? then_branch->LeafCount() : 0;
}

Status DAESConditionNode::ClearMarks() {
  ForgetEvent();
  return BvuDirectoryProper::ClearMarks();
}

Status DAESConditionNode::CollectEquations(QLNEquationList* list, DAESImplicitEvent* guard,
                                           std::uint32_t guard_state, void* problem) {
  if (list == nullptr) return daes::kNoSolverEquation;
  DAESImplicitEvent* event = nullptr;
  Status s = EnsureEvent(guard, guard_state, &event);
  if (status::IsFailure(s)) return s;
  BranchRows then_rows;
  BranchRows else_rows;
  then_rows.CountProceduresWith(*list);
  else_rows.CountProceduresWith(*list);
  BvuDirectoryNode* then_branch = ChildAt(1);
  BvuDirectoryNode* else_branch = ChildAt(2);
  // Equations inside branches are never eliminated.
  if (then_branch != nullptr) s = then_branch->ApplyToSubtree(&then_rows, event, 1, 0, problem);
  if (status::IsFailure(s)) return s;
  if (else_branch != nullptr) s = else_branch->ApplyToSubtree(&else_rows, event, 0, 0, problem);
  if (status::IsFailure(s)) return s;
  const std::int32_t n = then_rows.EquationCount();
  if (n == 0) return daes::kReservedAnswer;
  const std::int32_t m = else_rows.EquationCount();
  if (m != n) {
    // Pairing would read past the shorter branch.
    const char* name = GetNameText();
    SuPrint(daes::kNotImplemented,
            "IF equation %s refused: its THEN branch has %d rows and its ELSE branch %d", name, &n,
            &m);
    return daes::kNotImplemented;
  }
  Status result = 0;
  std::int32_t mismatched = 0;
  std::int32_t torn_mismatch = 0;
  for (std::int32_t k = 1; k <= n; ++k) {
    DAESEqnRow* a = then_rows.GetEquation(k - 1);
    DAESEqnRow* b = else_rows.GetEquation(k - 1);
    auto* row = new DAESFiniteStateEquation(this, this, event, 2, static_cast<std::uint32_t>(k));
    row->AddBranch(b);
    row->AddBranch(a);
    const bool torn_a = (a->GetFlags() & 0x8) != 0;
    const bool torn_b = (b->GetFlags() & 0x8) != 0;
    if (torn_a != torn_b) {
      const char* name = GetNameText();
      SuPrint(0, "WARNING:\nThe eqaution %s.Row(%d) is TORN on one branch only", name, &k);
      ++torn_mismatch;
    }
    if (torn_a || torn_b) row->SetFlags(0x8);
    if (Mismatched(a, b)) ++mismatched;
    result = list->AddEquation(row, problem);
  }
  // The rows belong to the finite-state rows now.
  then_rows.ClearEquations();
  else_rows.ClearEquations();
  if (mismatched >= 2) {
    const char* name = GetNameText();
    SuPrint(0,
            "WARNING:\nThe equation %s has %d of its %d rows mismatched.\nThe robustness of the "
            "simulation may be improved by entering the equations in the same order in each of "
            "the branches.",
            name, &mismatched, &n);
  }
  if (torn_mismatch != 0) {
    const char* name = GetNameText();
    SuPrint(daes::kTornOnOneBranch,
            "There were %d mismatched torn branches in conditional equation %s\nThe simulation "
            "will be singular",
            &torn_mismatch, name);
    if (torn_mismatch >= 2) {
      SuPrint(daes::kTornOnOneBranch,
              "Check that the torn equation(s) occur on corresponding branches of the IF");
    }
    result = daes::kTornOnOneBranch;
  }
  return result;
}
