#include "daes/problem/equation_code.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ostream>

#include "daes/equations/row_element.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "expr/tree/operator_table.h"
#include "foundation/interfaces/current_objects.h"

namespace {
constexpr const char* kNotImplemented = "/*Expression not yet implemented*/";
}

void DAESSolverEquation::BuildColumnPattern(daes::EquationCState& w) {
  ++w.equation;
  column_pattern_.clear();
  jacobian_ = CompiledJacobian{};
  DAESProblem* problem = GetCurrentProblem();
  for (std::int32_t i = 0; i < VariableCount(); ++i) {
    DAESVarTableEntry* v = GetVariable(i);
    if (problem != nullptr && v != nullptr) column_pattern_.push_back(problem->ColumnOf(v));
  }
  std::sort(column_pattern_.begin(), column_pattern_.end());
  column_pattern_.erase(std::unique(column_pattern_.begin(), column_pattern_.end()),
                        column_pattern_.end());
}

void DAESSolverEquation::WriteFunctionHead(daes::EquationCState& w, std::int32_t part) {
  if (part != 0) return;
  *w.out << "static void Eqn" << w.equation << "(int task){double *x=g_pX;switch(task){\n";
}

void DAESSolverEquation::WriteCaseLabel(daes::EquationCState& w, std::int32_t task) {
  // Resetting the state starts the residual's branches too; the label
  // keeps its own task, or the two cases would collide.
  TapeCodeState& t = w.expr.tape;
  if (task == daes::kTaskResidual || task == daes::kTaskResetState) {
    std::int32_t branches = 1;
    BranchCount(&branches);
    if (t.nonlinear.size() < static_cast<std::size_t>(branches)) {
      t.nonlinear.resize(static_cast<std::size_t>(branches));
    }
    std::fill(t.nonlinear.begin(), t.nonlinear.begin() + branches, false);
    t.current_equation = 0;
  } else if (task == daes::kTaskJacobian) {
    t.current_equation = 0;
  }
  *w.out << "  case " << task << ":";
}

Status DAESSolverEquation::WriteResidualCode(daes::EquationCState& w) {
  if (context_ == nullptr || !context_->HasTape()) {
    *w.out << kNotImplemented;
    w.success = false;
    return 0;
  }
  const Status s = context_->WriteValueCode(w.expr, *w.out);
  if (w.expr.tape.failed) w.success = false;
  ++w.expr.tape.current_equation;
  compiled_number_ = static_cast<std::uint32_t>(w.equation);
  return s;
}

Status DAESSolverEquation::WriteJacobianCode(daes::EquationCState& w,
                                             const std::vector<std::int32_t>& pattern) {
  if (context_ == nullptr || !context_->HasTape()) {
    *w.out << kNotImplemented;
    w.success = false;
    return 0;
  }
  TapeCodeState& t = w.expr.tape;
  const auto offset = static_cast<std::size_t>(t.j_offset);
  std::vector<std::int32_t> columns;
  for (std::int32_t c : pattern) columns.push_back(std::abs(c) - 1);
  const auto branch = static_cast<std::size_t>(t.current_equation);
  const bool numeric = branch < t.nonlinear.size() && t.nonlinear[branch];
  *w.out << "{double *J=g_pJ;";
  const Status s = context_->WriteDerivativeCode(w.expr, *w.out, columns);
  *w.out << "}";
  if (numeric) {
    // A discontinuous residual: difference quotients replace the entries.
    *w.out << "{double *J=g_pJ,dOldRes=res;";
    for (std::size_t k = 0; k < pattern.size(); ++k) {
      *w.out << "J[" << t.j_offset + static_cast<std::int32_t>(k) << "]=PD("
             << std::abs(pattern[k]) - 1 << ",dOldRes,Eqn" << w.equation << ");";
    }
    *w.out << "res=dOldRes;}";
  }
  if (t.failed) w.success = false;
  // A branch writes into its parent's pattern: only a row's own code counts.
  if (&pattern == &column_pattern_ && !numeric && w.success && status::IsSuccess(s)) {
    NoteJacobianCode(w, offset);
  }
  ++t.current_equation;
  compiled_number_ = static_cast<std::uint32_t>(w.equation);
  return s;
}

void DAESSolverEquation::NoteJacobianCode(const daes::EquationCState& w, std::size_t offset) {
  using namespace tapekind;
  if (context_ == nullptr || !context_->HasTape()) return;
  CompiledJacobian j;
  j.generation = w.generation;
  j.offset = offset;
  j.elements.assign(column_pattern_.size(), nullptr);
  for (std::int32_t k = 0; k < context_->ElementCount(); ++k) {
    DAESRowElement* e = context_->Element(k);
    if (e == nullptr || e->ElementKind() != daes::kScalarElement) return;
    const std::int32_t column = e->SolverIndex() + 1;
    const auto at = std::lower_bound(column_pattern_.begin(), column_pattern_.end(), column);
    if (column <= 0 || at == column_pattern_.end() || *at != column) return;
    DAESRowElement*& slot = j.elements[static_cast<std::size_t>(at - column_pattern_.begin())];
    if (slot != nullptr) return;  // two elements on one column: the entry is their sum
    slot = e;
  }
  // The operand of an instruction that the tape's pass checks.
  auto check = [&](std::uint8_t kind, std::uint64_t operand, OperandCheck::Test test) {
    OperandCheck c;
    c.test = test;
    switch (kind) {
      case kVarReal: {
        ExpressionVariable* v = context_->GetVariable(static_cast<std::int32_t>(operand));
        if (v == nullptr || v->SolverIndex() < 0) return false;
        c.source = OperandCheck::kUnknown;
        c.index = static_cast<std::size_t>(v->SolverIndex());
        break;
      }
      case kResReal:
        c.source = OperandCheck::kReal;
        c.index = static_cast<std::size_t>(operand);
        break;
      case kResInt:
      case kResIntAsReal:
        c.source = OperandCheck::kInteger;
        c.index = static_cast<std::size_t>(operand);
        break;
      case kConstReal:
        c.value = reinterpret_cast<const SUValue*>(operand)->payload.real;
        break;
      case kConstInt:
      case kConstIntAsReal:
        c.value = reinterpret_cast<const SUValue*>(operand)->GetIntAt(0);
        break;
      default:
        return false;
    }
    j.checks.push_back(c);
    return true;
  };
  for (const TapeInstruction& in : context_->Tape().code) {
    if (in.left_kind == kVarTyped || in.right_kind == kVarTyped) return;
    bool known = true;
    switch (in.op) {
      case kSqrt:
      case kPow:
        known = check(in.left_kind, in.left, OperandCheck::kPositive);
        break;
      case kDiv:
        known = check(in.right_kind, in.right, OperandCheck::kNonZeroSquare);
        break;
      case kLoge:
      case kLog10:
        known = check(in.left_kind, in.left, OperandCheck::kNonZero);
        break;
      case kASin:
      case kACos:
        known = check(in.left_kind, in.left, OperandCheck::kBelowOne);
        break;
      default:
        break;
    }
    if (!known) return;
  }
  jacobian_ = std::move(j);
}

void DAESSolverEquation::WriteBreak(daes::EquationCState& w) { *w.out << "break;\n"; }

void DAESSolverEquation::WriteColumnPattern(daes::EquationCState& w) {
  *w.out << "  case 2:{static int pC[]={" << column_pattern_.size();
  for (std::int32_t c : column_pattern_) *w.out << "," << c;
  *w.out << "};g_piCol=pC;}";
}

void DAESSolverEquation::WriteFunctionEnd(daes::EquationCState& w) {
  *w.out << "}}\n";
  // A wrapper closed by this function follows it.
  daes::EmitCodeSections(w, false);
  w.expr.tape.j_offset += static_cast<std::int32_t>(column_pattern_.size());
  if (w.equation - w.last_split >= 100) {
    if (w.split) w.split();
    w.last_split = w.equation;
  }
  w.state_base += w.state_count;
  w.state_count = 0;
  w.total_rows += w.function_rows;
  w.function_rows = 0;
  // Each function starts sound; the failures stay counted. A row whose
  // function could not be written whole is never evaluated through it.
  if (!w.success) {
    ++w.failed_functions;
    compiled_number_ = 0;
  }
  w.success = true;
  w.expr.tape.failed = false;
}

Status SolverEquationCodeWriter::Prepare() {
  equation_->BuildColumnPattern(state_);
  return 0;
}
Status SolverEquationCodeWriter::WriteHead(std::uint32_t) {
  equation_->WriteFunctionHead(state_, 0);
  return 0;
}
Status SolverEquationCodeWriter::WriteCaseLabel(std::int32_t task) {
  // The column pattern writes its own label.
  if (task != daes::kTaskColumns) equation_->WriteCaseLabel(state_, task);
  return 0;
}
Status SolverEquationCodeWriter::WriteResetState() { return equation_->WriteStateCode(state_); }
Status SolverEquationCodeWriter::WriteResidual() { return equation_->WriteResidualCode(state_); }
Status SolverEquationCodeWriter::WriteJacobian() { return equation_->WriteJacobianCode(state_); }
Status SolverEquationCodeWriter::WriteColumnPattern() {
  equation_->WriteColumnPattern(state_);
  return 0;
}
Status SolverEquationCodeWriter::WriteText(const char* text) {
  *state_.out << text;
  return 0;
}
Status SolverEquationCodeWriter::WriteEnd() {
  const bool written = state_.success;
  equation_->WriteFunctionEnd(state_);
  return written ? 0 : daes::kBlockUnsupported;
}

namespace daes {

std::uint64_t NextGeneration() {
  static std::atomic<std::uint64_t> next{0};
  return ++next;
}

std::int32_t OpenCodeSection(EquationCState& w, std::int32_t equations) {
  if (w.sections.size() == w.sections.capacity()) {
    const std::size_t grow = w.sections.empty() ? 4 : std::min<std::size_t>(equations, 256);
    w.sections.reserve(w.sections.size() + std::max<std::size_t>(grow, 1));
  }
  auto section = std::make_unique<EquationCState::Section>();
  section->text.precision(16);
  section->remaining = equations;
  w.sections.push_back(std::move(section));
  return static_cast<std::int32_t>(w.sections.size());
}

void EmitCodeSections(EquationCState& w, bool all) {
  for (auto& section : w.sections) {
    if (section->emitted) continue;
    if (!section->closed) {
      if (!all) continue;
      section->text << "  default: break;\n  }\n  return rc;\n}\n";
      section->closed = true;
    }
    *w.out << section->text.str();
    section->emitted = true;
  }
}

}  // namespace daes
