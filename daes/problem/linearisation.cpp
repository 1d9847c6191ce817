#include "daes/problem/linearisation.h"

#include <algorithm>

#include "daes/model/var_table_entry.h"
#include "daes/model/variable.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "foundation/messages/su_print.h"

namespace {

// Forces the rows of procedure calls into the derivatives, whatever the
// integrator says of tearing.
constexpr std::uint32_t kWithProcedureRows = 0x4;

enum class Kind { kNone, kState, kAlgebraic, kDerivative, kInput };

Kind KindOf(DAESVarTableEntry* v) {
  if (v == nullptr) return Kind::kNone;
  const std::uint32_t flags = v->GetFlags();
  if ((flags & daes::kDerivativeFlag) != 0 || dynamic_cast<DAESDotVariable*>(v) != nullptr) {
    return Kind::kDerivative;
  }
  if ((flags & daes::kState) != 0) return Kind::kState;
  if ((flags & (daes::kFixed | daes::kParameterFlag)) != 0) return Kind::kInput;
  return Kind::kAlgebraic;
}

}  // namespace

Status DAESLinearisation::Create(DAESProblem* problem, std::unique_ptr<DAESLinearisation>* out) {
  out->reset();
  if (problem == nullptr) return kNoProblem;
  std::unique_ptr<DAESLinearisation> made(new DAESLinearisation(problem));
  const Status built = problem->BuildStructure(&made->rows_, &made->cols_, nullptr, 0);
  if (status::IsFailure(built)) return built;
  made->entries_ = problem->StructureSize();

  const std::int32_t count = problem->VariableCount();
  std::vector<Kind> kinds(static_cast<std::size_t>(count));
  std::vector<bool> used(static_cast<std::size_t>(count), false);
  for (std::int64_t p = 0; p < made->entries_; ++p) {
    const std::int64_t c = made->cols_[p];
    if (c >= 1 && c <= count) used[static_cast<std::size_t>(c - 1)] = true;
  }
  for (std::int32_t i = 0; i < count; ++i) {
    kinds[static_cast<std::size_t>(i)] = KindOf(problem->GetVariable(i));
    if (kinds[static_cast<std::size_t>(i)] == Kind::kState) ++made->states_;
    if (kinds[static_cast<std::size_t>(i)] == Kind::kAlgebraic) ++made->algebraic_;
  }
  const std::int32_t rows = static_cast<std::int32_t>(problem->GetRowCount());
  if (made->NumVariables() != rows) {
    std::int32_t unknowns = made->NumVariables();
    std::int32_t equations = rows;
    SuPrint(kNotSquare,
            "The model cannot be linearised: it has %d equations and %d states and algebraic "
            "variables",
            &equations, &unknowns);
    return kNotSquare;
  }

  // States first, then algebraic variables, then the inputs in use.
  made->column_of_.assign(static_cast<std::size_t>(count), 0);
  std::int32_t next_state = 0, next_algebraic = made->states_, next_input = made->NumVariables();
  for (std::int32_t i = 0; i < count; ++i) {
    std::int32_t& column = made->column_of_[static_cast<std::size_t>(i)];
    switch (kinds[static_cast<std::size_t>(i)]) {
      case Kind::kState:
        column = ++next_state;
        break;
      case Kind::kAlgebraic:
        column = ++next_algebraic;
        break;
      case Kind::kInput:
        if (used[static_cast<std::size_t>(i)]) column = ++next_input;
        break;
      default:
        break;
    }
  }
  made->inputs_ = next_input - made->NumVariables();

  // A derivative's entries go to its state's column of the dynamic part.
  made->places_.resize(static_cast<std::size_t>(made->entries_));
  for (std::int64_t p = 0; p < made->entries_; ++p) {
    Place& place = made->places_[static_cast<std::size_t>(p)];
    const std::int64_t c = made->cols_[p];
    if (c < 1 || c > count) continue;
    place.row = made->rows_[p];
    const Kind kind = kinds[static_cast<std::size_t>(c - 1)];
    if (kind == Kind::kDerivative) {
      auto* dot =
          dynamic_cast<DAESDotVariable*>(problem->GetVariable(static_cast<std::int32_t>(c - 1)));
      DAESVarTableEntry* state = dot != nullptr ? dot->GetStateVariable() : nullptr;
      place.column = made->ColumnOf(state);
      place.dynamic = place.column >= 1 && place.column <= made->states_;
      continue;
    }
    place.column = made->column_of_[static_cast<std::size_t>(c - 1)];
    if (place.column == 0) continue;
    place.steady = true;
    place.dynamic = kind != Kind::kState;
  }
  for (const Place& place : made->places_) {
    if (place.dynamic || place.steady) made->pattern_.push_back(place.column);
  }
  std::sort(made->pattern_.begin(), made->pattern_.end());
  made->pattern_.erase(std::unique(made->pattern_.begin(), made->pattern_.end()),
                       made->pattern_.end());
  *out = std::move(made);
  return status::kOk;
}

std::int32_t DAESLinearisation::ColumnOf(const DAESVarTableEntry* variable) const {
  if (variable == nullptr) return 0;
  // A member of an equivalence is found through its entry.
  const DAESVarTableEntry* entry = problem_->EntryFor(variable);
  if (entry == nullptr) entry = variable;
  const std::int32_t at = problem_->ColumnOf(entry);
  if (at < 1 || static_cast<std::size_t>(at) > column_of_.size() ||
      problem_->GetVariable(at - 1) != entry) {
    return 0;
  }
  return column_of_[static_cast<std::size_t>(at - 1)];
}

Status DAESLinearisation::Evaluate(DAESLinearJacobian* jacobian) {
  *jacobian = DAESLinearJacobian();
  Status s = problem_->EvaluateRows(daes::kEvalResidual | daes::kEvalDerivatives);
  if (status::IsFailure(s)) return s;
  std::vector<double> values(static_cast<std::size_t>(entries_), 0.0);
  s = problem_->EvaluateJacobianEntries(static_cast<std::uint32_t>(entries_), rows_, cols_,
                                        values.data(), kWithProcedureRows, 0.0);
  if (status::IsFailure(s)) return s;
  for (std::size_t p = 0; p < places_.size(); ++p) {
    const Place& place = places_[p];
    if (place.dynamic) {
      jacobian->dyn_values.push_back(values[p]);
      jacobian->dyn_rows.push_back(place.row);
      jacobian->dyn_cols.push_back(place.column);
    }
    if (place.steady) {
      jacobian->ss_values.push_back(values[p]);
      jacobian->ss_rows.push_back(place.row);
      jacobian->ss_cols.push_back(place.column);
    }
  }
  return status::kOk;
}
