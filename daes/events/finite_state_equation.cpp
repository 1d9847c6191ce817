#include "daes/events/finite_state_equation.h"

#include <cmath>
#include <ostream>

#include "daes/blocks/solver_block.h"
#include "daes/equations/row_element.h"
#include "daes/events/implicit_event.h"
#include "daes/events/switch_equation.h"
#include "daes/model/var_table_entry.h"
#include "expr/eval/expr_context.h"
#include "expr/tree/expression.h"

DAESFiniteStateEquation::DAESFiniteStateEquation(DAESSimpleEquation* selector, DAESEquation* model,
                                                 DAESImplicitEvent* event, std::int32_t,
                                                 std::uint32_t row)
    : DAESSolverEquation(selector), selector_(selector), model_(model), event_(event), row_(row) {
  if (event_ != nullptr) event_->AddRef();
}

DAESFiniteStateEquation::~DAESFiniteStateEquation() {
  if (event_ != nullptr) event_->Release();
}

Status DAESFiniteStateEquation::AddBranch(DAESEqnRow* row) {
  return branches_.AddEquation(row, nullptr);
}

DAESSolverEquation* DAESFiniteStateEquation::Branch(std::int32_t i) const {
  return dynamic_cast<DAESSolverEquation*>(branches_.GetEquation(i));
}

std::int32_t DAESFiniteStateEquation::BranchOf(std::int32_t state) const {
  // An IF condition of any non-zero value selects THEN.
  if (selector_ != nullptr) return state != 0 ? 1 : 0;
  return state;
}

DAESSolverEquation* DAESFiniteStateEquation::CurrentBranch() const {
  return Branch(BranchOf(state_));
}

QLNImplicitEvent* DAESFiniteStateEquation::EventCondition() const { return event_; }

const char* DAESFiniteStateEquation::GetNameText(std::int32_t arg) {
  const char* base = model_ != nullptr ? model_->GetNameText(arg) : "";
  name_ = base != nullptr ? base : "";
  name_ += ".Row(" + std::to_string(row_) + ")";
  return name_.c_str();
}

void DAESFiniteStateEquation::FollowEvent() {
  const std::int32_t state = event_ != nullptr ? event_->State() : 0;
  if (state != state_) {
    ClearDerivativeColumn();
    state_ = state;
  }
}

Status DAESFiniteStateEquation::Evaluate(std::uint32_t flags, void* arg) {
  std::uint32_t extra = 0;
  if ((flags & daes::kEvalExtra) != 0) {
    ExtraEvalFlags(&extra);
    flags &= ~daes::kEvalExtra;
  }
  const daes::CompiledLibrary& library = daes::CurrentCompiledLibrary();
  if ((flags & daes::kEvalInterpreted) == 0 && library.IsLoaded() && CompiledNumber() != 0) {
    if ((flags & daes::kEvalDiscrete) != 0 && library.eqn_reset_state != nullptr) {
      library.eqn_reset_state(CompiledNumber());
      std::int32_t level = 0;
      LevelState(CompiledNumber(), &level);
    }
    FollowEvent();
    DAESSolverEquation* branch = CurrentBranch();
    if (branch == nullptr) return daes::kNotImplemented;
    Status s = 0;
    const bool derivatives = (flags & (daes::kEvalDerivatives | daes::kEvalElementSteps)) != 0;
    if ((flags & (daes::kEvalResidual | daes::kEvalDerivatives)) != 0) {
      const double r = library.residual(CompiledNumber());
      if (!std::isfinite(r) && !derivatives) {
        // A guard of the branch's tape that fires gives its status and
        // report (the derivative pass below runs the tape itself); any
        // other non-finite value is facility 0 here, unlike the plain rows.
        const Status tape = branch->Evaluate(daes::kEvalResidual | daes::kEvalInterpreted, arg);
        s = status::IsFailure(tape) ? tape : 0x80000226u;
      }
      branch->SetResidualValue(r);
    }
    if (derivatives) return branch->Evaluate(extra | flags | 0x4C, arg);
    return s;
  }
  if ((flags & daes::kEvalDiscrete) != 0) {
    ClearDerivativeColumn();
    if (event_ != nullptr) {
      const Status s = event_->EvaluateCondition(0);
      if (status::IsFailure(s)) return s;
    }
  }
  FollowEvent();
  DAESSolverEquation* branch = CurrentBranch();
  if (branch == nullptr) return daes::kNotImplemented;
  return branch->Evaluate(flags | extra | daes::kEvalInterpreted, arg);
}

void DAESFiniteStateEquation::LevelState(std::uint32_t number, std::int32_t* level) {
  const daes::CompiledLibrary& library = daes::CurrentCompiledLibrary();
  if (library.eqn_level_state == nullptr) return;
  const std::int32_t state = library.eqn_level_state(number, *level);
  if (event_ != nullptr) event_->SetState(state);
  FollowEvent();
  ++*level;
  if (DAESSolverEquation* branch = CurrentBranch()) branch->LevelState(number, level);
}

Status DAESFiniteStateEquation::ResidualValue(double* value) {
  DAESSolverEquation* branch = CurrentBranch();
  if (branch == nullptr) {
    *value = 0.0;
    return daes::kNotImplemented;
  }
  return branch->ResidualValue(value);
}

Status DAESFiniteStateEquation::TornVariable(double* value) {
  DAESSolverEquation* branch = CurrentBranch();
  return branch != nullptr ? branch->TornVariable(value) : daes::kNotImplemented;
}

Status DAESFiniteStateEquation::SetResidualValue(double value) {
  DAESSolverEquation* branch = CurrentBranch();
  return branch != nullptr ? branch->SetResidualValue(value) : daes::kNotImplemented;
}

Status DAESFiniteStateEquation::MarkVariable(DAESVarTableEntry* variable) {
  bool any = false;
  for (std::int32_t i = 0; i < BranchRows(); ++i) {
    if (DAESSolverEquation* b = Branch(i)) {
      if (status::IsSuccess(b->MarkVariable(variable))) any = true;
    }
  }
  return any ? 0 : daes::kReservedAnswer;
}

Status DAESFiniteStateEquation::ClassifyNonlinearity(std::int32_t* out, std::int32_t pass) {
  for (std::int32_t i = 0; i < BranchRows(); ++i) {
    DAESSolverEquation* b = Branch(i);
    if (b == nullptr) continue;
    const Status s = b->ClassifyNonlinearity(out, pass);
    if (status::IsFailure(s)) return s;
  }
  return 0;
}

Status DAESFiniteStateEquation::ResetNonlinearityMarks(std::int32_t pass) {
  bool any = false;
  for (std::int32_t i = 0; i < BranchRows(); ++i) {
    DAESSolverEquation* b = Branch(i);
    if (b != nullptr && status::IsSuccess(b->ResetNonlinearityMarks(pass))) any = true;
  }
  if (selector_ != nullptr) return DAESSolverEquation::ResetNonlinearityMarks(pass);
  return any ? 0 : daes::kReservedAnswer;
}

std::int32_t DAESFiniteStateEquation::VariableClass(const DAESVarTableEntry* variable,
                                                    std::int32_t pass, std::int32_t* out) {
  std::int32_t occurs = 0;
  for (std::int32_t i = 0; i < BranchRows(); ++i) {
    if (DAESSolverEquation* b = Branch(i)) occurs |= b->VariableClass(variable, pass, out);
  }
  return occurs;
}

std::int32_t DAESFiniteStateEquation::IsOutputVariable(DAESVarTableEntry* variable) {
  DAESSolverEquation* branch = CurrentBranch();
  return branch != nullptr ? branch->IsOutputVariable(variable) : 0;
}

DAESVarTableEntry* DAESFiniteStateEquation::OutputElement() {
  DAESSolverEquation* branch = CurrentBranch();
  return branch != nullptr ? branch->OutputElement() : nullptr;
}

Status DAESFiniteStateEquation::ClearDerivativeColumn() {
  for (std::int32_t i = 0; i < BranchRows(); ++i) {
    if (DAESSolverEquation* b = Branch(i)) b->ClearDerivativeColumn();
  }
  return 0;
}

Status DAESFiniteStateEquation::AttachToElements(QLNRow* group) {
  for (std::int32_t i = 0; i < BranchRows(); ++i) {
    DAESSolverEquation* b = Branch(i);
    if (b == nullptr) continue;
    const Status s = b->AttachToElements(group);
    if (status::IsFailure(s)) return s;
    for (std::int32_t j = 0; j < b->VariableCount(); ++j) {
      std::int32_t at = 0;
      if (InsertVariable(b->GetVariable(j), &at) < 0) return daes::kBlockOutOfMemory;
    }
  }
  // A variable read only by a transition's condition is still used.
  if (auto* sw = dynamic_cast<DAESSwitchEquation*>(model_)) {
    for (std::int32_t state = 0; state < sw->StateCount(); ++state) {
      for (std::int32_t t = 0; t < sw->TransitionCount(state); ++t) {
        DAESFiniteStateTransition* transition = sw->GetTransition(state, t);
        ExprContext* condition = transition != nullptr ? transition->Condition() : nullptr;
        if (condition == nullptr) continue;
        for (std::int32_t i = 0; i < condition->VariableCount(); ++i) {
          auto* element = dynamic_cast<DAESRowElement*>(condition->GetVariable(i));
          if (element != nullptr) element->MarkUsed(group);
        }
      }
    }
  }
  return DAESSolverEquation::AttachToElements(group);
}

Status DAESFiniteStateEquation::CollectClasses(DAESClassCollector* collector, std::int32_t pass) {
  Status s = 0;
  if (model_ == nullptr || model_->EntryKind() != daes::kSwitchKind) {
    s = DAESSolverEquation::CollectClasses(collector, pass);
    if (status::IsFailure(s)) return s;
  }
  for (std::int32_t i = 0; i < BranchRows(); ++i) {
    DAESSolverEquation* b = Branch(i);
    if (b == nullptr) continue;
    s = b->CollectClasses(collector, pass);
    if (status::IsFailure(s)) return s;
  }
  return s;
}

DAESSolverEquation* DAESFiniteStateEquation::ActiveEquation() {
  DAESSolverEquation* branch = CurrentBranch();
  return branch != nullptr ? branch->ActiveEquation() : this;
}

void DAESFiniteStateEquation::BranchCount(std::int32_t* count) {
  std::int32_t largest = 1;
  for (std::int32_t i = 0; i < BranchRows(); ++i) {
    std::int32_t c = 1;
    if (DAESSolverEquation* b = Branch(i)) b->BranchCount(&c);
    if (c > largest) largest = c;
  }
  *count += largest;
}

DAESRowElement* DAESFiniteStateEquation::FindNextElement(std::uint32_t sequence,
                                                         std::int32_t* position) {
  const std::int32_t n = BranchRows();
  const bool from_start = *position == 0;
  for (std::int32_t visited = 0; visited < n; ++visited) {
    if (cursor_ >= n) cursor_ = 0;
    if (DAESSolverEquation* b = Branch(cursor_)) {
      if (DAESRowElement* e = b->FindNextElementInRow(sequence, position)) return e;
    }
    ++cursor_;
    *position = 0;
    // Past the last branch the search wraps only when it began at 0.
    if (cursor_ >= n && !from_start) break;
  }
  cursor_ = 0;
  return nullptr;
}

std::ostream& DAESFiniteStateEquation::PrintResidual(std::ostream& out, std::int32_t width,
                                                     const char* prefix) {
  out << std::string(static_cast<std::size_t>(width > 0 ? width : 0), ' ')
      << (prefix != nullptr ? prefix : "");
  if (selector_ != nullptr) {
    out << "If ";
    if (Expression* e = selector_->ResidualExpression()) e->Print(out);
    out << '\n';
    if (DAESSolverEquation* t = Branch(1)) t->PrintResidual(out, width + 2, "Then ");
    out << '\n';
    if (DAESSolverEquation* f = Branch(0)) f->PrintResidual(out, width + 2, "Else ");
    return out << '\n';
  }
  out << "Switch\n";
  auto* sw = dynamic_cast<DAESSwitchEquation*>(model_);
  for (std::int32_t i = 0; i < BranchRows(); ++i) {
    const char* name = sw != nullptr ? sw->StateName(i) : nullptr;
    out << std::string(static_cast<std::size_t>(width + 2 > 0 ? width + 2 : 0), ' ') << " State "
        << (name != nullptr ? name : "") << ":\n";
    if (DAESSolverEquation* b = Branch(i)) b->PrintResidual(out, width + 4, "");
    out << '\n';
  }
  return out;
}

void DAESFiniteStateEquation::Dump(std::ostream& out, bool detail, std::int32_t indent,
                                   bool dynamic) {
  const std::string pad(static_cast<std::size_t>(2 * indent + 1), ' ');
  const char* name = GetNameText();
  out << pad << (selector_ != nullptr ? "Condition " : "Switch ")
      << (name != nullptr && *name != '\0' ? name : "noname") << " has " << ActiveVariableCount()
      << " Vars\n"
      << pad;
  if (selector_ != nullptr) {
    out << "Selector: ";
    if (Expression* e = selector_->ResidualExpression()) e->Print(out);
    out << ' ';
  }
  out << "[in state " << state_ << " of " << BranchRows() << "]\n";
  if (detail) PrintVariableTable(out, dynamic);
  auto* sw = dynamic_cast<DAESSwitchEquation*>(model_);
  for (std::int32_t j = 0; j < BranchRows(); ++j) {
    const char* state = nullptr;
    if (selector_ != nullptr) {
      state = j != 0 ? "THEN branch" : "ELSE branch";
    } else if (sw != nullptr) {
      state = sw->StateName(j);
    }
    out << pad << (state != nullptr ? state : "") << " [state " << j
        << (j == BranchOf(state_) ? " ACTIVE]" : "]") << '\n';
    if (DAESSolverEquation* b = Branch(j))
      b->Dump(out, detail, indent == 0 ? 0 : indent + 1, dynamic);
    for (std::int32_t t = 0; sw != nullptr && t < sw->TransitionCount(j); ++t) {
      DAESFiniteStateTransition* transition = sw->GetTransition(j, t);
      out << pad << "ON ";
      if (transition->Condition() != nullptr && transition->Condition()->Root() != nullptr) {
        transition->Condition()->Root()->Print(out);
      }
      const char* target = sw->StateName(transition->Target());
      out << " GOTO " << (target != nullptr ? target : "") << ";\n";
    }
  }
}
