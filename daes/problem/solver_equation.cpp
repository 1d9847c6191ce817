#include "daes/problem/solver_equation.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <string>

#include "daes/blocks/solver_block.h"
#include "daes/equations/equation_node.h"
#include "daes/equations/row_element.h"
#include "daes/equations/scalar_walk.h"
#include "daes/model/variable.h"
#include "daes/problem/problem.h"
#include "expr/tree/expression.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/math_error.h"
#include "foundation/messages/su_print.h"
#include "foundation/messages/su_repeats.h"

namespace {
constexpr std::uint16_t kProcedureCallClass = 129;

// The one procedure-call context shared by the solver equations made in a
// row from one model equation. Held weakly: it goes with its last equation
// and a model equation made later at the same address never finds it.
struct RememberedContext {
  const DAESSimpleEquation* model = nullptr;
  std::weak_ptr<DAESEquationContext> context;
};
RememberedContext& Remembered() {
  static RememberedContext remembered;
  return remembered;
}

bool IsSevere(Status s) { return (s & 0xA0000000u) == 0xA0000000u; }

// What the evaluator could not take in a residual: "the operator SIGN in
// SIGN(p)", or "the term p" for a leaf it cannot read.
std::string RefusedPart(DAESEquationContext& context) {
  Expression* node = context.RefusedNode();
  if (node == nullptr) return "the residual";
  std::ostringstream printed;
  Expression::PrintNode(printed, node, &context);
  const char* name = Row(node->Op()).modelling;
  if (node->Op() == kTerm || name == nullptr || *name == '\0') return "the term " + printed.str();
  std::string op = name;
  // Infix rows are spelled with their blanks (" AND ").
  op.erase(0, op.find_first_not_of(' '));
  op.erase(op.find_last_not_of(' ') + 1);
  return "the operator " + op + " in " + printed.str();
}

double ResultAsDouble(const SUValue& r) {
  return r.Kind() == SUValue::kReal ? r.payload.real : static_cast<double>(r.payload.integer);
}

// Every scalar under an element (the element itself for a scalar).
template <typename F>
void ForEachScalar(DAESRowElement* element, F&& f) {
  daes::ForEachScalar(element, [&](DAESRowElement* e, std::int32_t) { f(e); });
}
}  // namespace

// --- DAESEquationContext ---

DAESEquationContext::DAESEquationContext(Expression* expression,
                                         const std::vector<DAESRowElement*>& elements)
    : std::vector<ExpressionVariable*>(elements.begin(), elements.end()),
      ExprADContext(expression, data(), static_cast<std::int32_t>(elements.size())) {}

DAESRowElement* DAESEquationContext::Element(std::int32_t i) const {
  return i >= 0 && i < ElementCount() ? static_cast<DAESRowElement*>((*this)[i]) : nullptr;
}

Status DAESEquationContext::PrepareDerivatives(std::int32_t i) {
  const auto entry = static_cast<std::uint32_t>(i);
  for (std::int32_t k = 0; k < ElementCount(); ++k) {
    ForEachScalar(Element(k), [&](DAESRowElement* e) {
      e->EnsureEntries(entry + 1);
      e->SetElementValue(entry, 0.0);
    });
  }
  return 0;
}

// --- DAESSolverEquation ---

DAESSolverEquation::DAESSolverEquation(DAESSimpleEquation* model) : model_(model) { flags_ = 0x60; }

DAESSolverEquation::~DAESSolverEquation() { SetContext(nullptr); }

void DAESSolverEquation::SetContext(std::shared_ptr<DAESEquationContext> context) {
  RememberedContext& r = Remembered();
  if (context == nullptr && context_ != nullptr && r.context.lock() == context_ &&
      context_.use_count() == 1) {
    r.model = nullptr;
    r.context.reset();
  }
  context_ = std::move(context);
  tape_bound_ = false;
}

void DAESSolverEquation::MakeContext() {
  Expression* e = ResidualExpression();
  if (e == nullptr) return;
  const std::vector<DAESRowElement*>& elements = model_->RowElements();
  if (e->ClassId() != kProcedureCallClass) {
    SetContext(std::make_shared<DAESEquationContext>(e, elements));
    return;
  }
  RememberedContext& r = Remembered();
  std::shared_ptr<DAESEquationContext> shared = r.context.lock();
  if (shared == nullptr || r.model != model_) {
    shared = std::make_shared<DAESEquationContext>(e, elements);
    r.model = model_;
    r.context = shared;
  }
  SetContext(shared);
}

DAESSolverEquation* MakeSolverEquation(DAESSimpleEquation* model) {
  if (model == nullptr) return nullptr;
  if (status::IsFailure(model->RebindElements()) || !model->IsBound()) {
    // A variable deleted by an edit: the client hears which equation lost
    // which variable.
    const std::string lost = model->LostVariableName();
    if (!lost.empty()) {
      BvuNameable* self = model;
      SuPrint(daes::kNoVariableBound,
              "Equation @es refers to %s, which the model no longer holds; it is left out\n", &self,
              lost.c_str());
    }
    return nullptr;
  }
  auto* equation = new DAESSolverEquation(model);
  equation->MakeContext();
  // A residual that could not be compiled has no value to give: a row over
  // it would fail at every evaluation, so none is made. (A procedure call's
  // shared context is run by its procedure equation, which refuses a call
  // without a tape itself.)
  const bool call = equation->ResidualExpression() != nullptr &&
                    equation->ResidualExpression()->ClassId() == kProcedureCallClass;
  if (!call && (equation->Context() == nullptr || !equation->Context()->HasTape())) {
    BvuNameable* self = equation;
    const std::string part =
        equation->Context() != nullptr ? RefusedPart(*equation->Context()) : "the residual";
    SuPrint(0, "Equation @es has a residual that cannot be evaluated (%s); it is left out\n",
            &self, part.c_str());
    delete equation;
    return nullptr;
  }
  return equation;
}

Expression* DAESSolverEquation::ResidualExpression() const {
  return model_ != nullptr ? model_->ResidualExpression() : nullptr;
}

const char* DAESSolverEquation::GetNameText(std::int32_t arg) {
  return model_ != nullptr ? model_->GetNameText(arg) : "";
}

std::uint32_t DAESSolverEquation::GetFlags() {
  return model_ != nullptr ? flags_ | model_->GetFlags() : flags_;
}

std::int32_t DAESSolverEquation::ActiveVariableCount() {
  return model_ != nullptr ? model_->ActiveVariableCount() : 0;
}

Status DAESSolverEquation::AttachToElements(QLNRow* group) {
  if (model_ == nullptr) return 0;
  const std::vector<DAESRowElement*>& elements = model_->RowElements();
  const auto n =
      std::min<std::size_t>(elements.size(), static_cast<std::size_t>(ActiveVariableCount()));
  for (std::size_t i = 0; i < n; ++i) {
    DAESRowElement* e = elements[i];
    // Parameters are no columns.
    if (e->IsParameter() != 0) continue;
    const Status s = e->RegisterIn(this, group);
    if (s == daes::kBlockOutOfMemory) return s;
    if (!status::IsFailure(s)) e->MarkUsed(group);
  }
  return 0;
}

Status DAESSolverEquation::ReplaceElement(DAESVarTableEntry* from, DAESVarTableEntry* to) {
  bool replaced = false;
  for (std::int32_t i = 0; i < VariableCount(); ++i) {
    if (GetVariable(i) == from) replaced = true;
  }
  if (!replaced) return daes::kNotImplemented;
  // The row stays sorted by sequence number: rebuild it without `from`.
  std::vector<DAESVarTableEntry*> keep;
  for (std::int32_t i = 0; i < VariableCount(); ++i) {
    DAESVarTableEntry* v = GetVariable(i);
    keep.push_back(v == from ? to : v);
  }
  ClearRow();
  for (DAESVarTableEntry* v : keep) {
    std::int32_t at = 0;
    InsertVariable(v, &at);
  }
  return 0;
}

DAESRowElement* DAESSolverEquation::FindNextElementInRow(std::uint32_t sequence,
                                                         std::int32_t* position) {
  if (model_ == nullptr) return nullptr;
  const std::vector<DAESRowElement*>& elements = model_->RowElements();
  const std::uint64_t layout = daes::ElementLayout();
  if (element_layout_ != layout || element_count_ != elements.size()) {
    element_sequences_.clear();
    const auto add = [&](std::size_t i, std::int32_t member, DAESRowElement* e) {
      DAESVarTableEntry* v = e != nullptr ? e->ElementVariable() : nullptr;
      element_sequences_.push_back(
          {i, member, v != nullptr ? std::int64_t{v->SequenceNumber()} : -1});
    };
    for (std::size_t i = 0; i < elements.size(); ++i) {
      DAESRowElement* e = elements[i];
      // A variable array's members are the row's elements of their
      // variables: an aggregate over the array hands each its derivative.
      if (e->ElementKind() == daes::kArrayElement && e->IsParameter() == 0) {
        for (std::int32_t m = 0; m < e->TotalCount(); ++m) add(i, m, e->ElementAt(m));
      } else {
        add(i, -1, e);
      }
    }
    element_count_ = elements.size();
    element_layout_ = layout;
  }
  while (*position >= 0 && static_cast<std::size_t>(*position) < element_sequences_.size()) {
    const ScalarEntry& entry = element_sequences_[static_cast<std::size_t>((*position)++)];
    if (entry.sequence != std::int64_t{sequence}) continue;
    DAESRowElement* e = elements[entry.element];
    return entry.member < 0 ? e : e->ElementAt(entry.member);
  }
  return nullptr;
}

Status DAESSolverEquation::MarkVariable(DAESVarTableEntry* variable) {
  if (context_ == nullptr || context_->ElementCount() == 0) return daes::kNotImplemented;
  bool taken = false;
  std::int32_t counter = 0;
  for (std::int32_t k = 0; k < context_->ElementCount(); ++k) {
    DAESRowElement* e = context_->Element(k);
    if (e != nullptr &&
        e->MarkOccurrence(variable->SequenceNumber(), OutputIndex(), 0, &counter, nullptr) == 1) {
      taken = true;
    }
  }
  return taken ? 0 : daes::kNotImplemented;
}

std::int32_t DAESSolverEquation::IsSameModelEquation(QLNEquation* row) {
  if (row == nullptr) return 0;
  auto* other = dynamic_cast<DAESSolverEquation*>(row->UnderlyingEquation());
  return other != nullptr && other->model_ == model_ ? 1 : 0;
}

Status DAESSolverEquation::ResidualValue(double* value) {
  *value = context_ != nullptr ? ResultAsDouble(context_->Result()) : 0.0;
  return 0;
}

Status DAESSolverEquation::SetResidualValue(double value) {
  if (context_ != nullptr) {
    context_->Result().SetType(SUValue::kReal);
    context_->Result().SetReal(value);
  }
  return 0;
}

Status DAESSolverEquation::ClearDerivativeColumn() {
  return context_ != nullptr ? context_->PrepareDerivatives(OutputIndex()) : 0;
}

Status DAESSolverEquation::Evaluate(std::uint32_t flags, void* arg) {
  std::uint32_t extra = 0;
  if ((flags & daes::kEvalExtra) != 0) {
    ExtraEvalFlags(&extra);
    flags &= ~daes::kEvalExtra;
  }
  const daes::CompiledLibrary& library = daes::CurrentCompiledLibrary();
  if ((flags & daes::kEvalInterpreted) == 0 && library.IsLoaded() && compiled_number_ != 0) {
    Status s = 0;
    if ((flags & (daes::kEvalResidual | daes::kEvalDerivatives)) != 0 &&
        (flags & (daes::kEvalDerivatives | daes::kEvalElementSteps)) != 0 &&
        EvaluateCompiledJacobian(library, extra | flags | 0x4C, &s)) {
      return s;
    }
    if ((flags & (daes::kEvalResidual | daes::kEvalDerivatives)) != 0) {
      const double r = library.residual(compiled_number_);
      if (!std::isfinite(r)) {
        // The generated code has no statuses: where a guard of the tape
        // fires (a square root or power out of its domain, an overflow),
        // the tape's run gives its status and report.
        double checked = 0.0;
        const Status tape = context_ != nullptr ? EvaluateResidualChecked(&checked) : 0;
        s = status::IsFailure(tape) ? tape : daes::kNonFiniteResidual;
      }
      SetResidualValue(r);
      if (status::IsFailure(s)) return s;
    }
    if ((flags & (daes::kEvalDerivatives | daes::kEvalElementSteps)) != 0) {
      if ((flags & (daes::kEvalResidual | daes::kEvalDerivatives)) != 0) {
        TakeCompiledValues(library);
      }
      return EvaluateDerivatives(extra | flags | 0x4C, arg);
    }
    return s;
  }
  const std::uint32_t d = flags & (daes::kEvalDerivatives | daes::kEvalElementSteps);
  if ((flags & daes::kEvalResidual) != 0 || (NeedsResidualForDerivatives() != 0 && d != 0)) {
    double residual = 0.0;
    const Status s = EvaluateResidualChecked(&residual);
    if (status::IsFailure(s)) return s;
    return d != 0 ? EvaluateDerivatives(extra | flags, arg) : s;
  }
  if (d == 0) return 0;
  if (context_ != nullptr) context_->MarkStale();
  return EvaluateDerivatives(extra | flags, arg);
}

void DAESSolverEquation::Prefetch(std::int32_t stage) const {
  // The residual's place and the list of the elements the library's
  // derivatives go to; then those elements.
  if (stage == 0) {
    if (context_ != nullptr) __builtin_prefetch(context_.get());
    if (!jacobian_.elements.empty()) __builtin_prefetch(jacobian_.elements.data());
    return;
  }
  if (stage == 2) {
    // The residual's tape, once its context has come.
    if (context_ != nullptr) __builtin_prefetch(context_->Tape().code.data());
    return;
  }
  for (const DAESRowElement* e : jacobian_.elements) {
    if (e != nullptr) __builtin_prefetch(e);
  }
}

bool DAESSolverEquation::EvaluateCompiledJacobian(const daes::CompiledLibrary& library,
                                                  std::uint32_t flags, Status* status) {
  const CompiledJacobian& j = jacobian_;
  if (library.residual_jacobian == nullptr || !HasCompiledJacobian(library.generation) ||
      library.jacobian == nullptr || j.offset + j.elements.size() > library.jacobian_size) {
    return false;
  }
  const double r = library.residual_jacobian(compiled_number_, library.jacobian);
  if (!std::isfinite(r)) return false;
  for (const OperandCheck& c : j.checks) {
    double v = c.value;
    if (c.source == OperandCheck::kReal || c.source == OperandCheck::kInteger) {
      if (library.reals == nullptr || library.ints == nullptr || c.index >= library.size) {
        return false;
      }
      v = c.source == OperandCheck::kReal ? library.reals[c.index] : library.ints[c.index];
    } else if (c.source == OperandCheck::kUnknown) {
      const double* x = library.getx_address != nullptr ? library.getx_address() : nullptr;
      if (x == nullptr) return false;
      v = x[c.index];
    }
    const bool inside = c.test == OperandCheck::kPositive        ? v > 0.0
                        : c.test == OperandCheck::kNonZeroSquare ? v * v != 0.0
                        : c.test == OperandCheck::kNonZero       ? v != 0.0
                                                                 : std::fabs(v) < 1.0;
    if (!inside) return false;
  }
  const double* entries = library.jacobian + j.offset;
  for (std::size_t p = 0; p < j.elements.size(); ++p) {
    if (!std::isfinite(entries[p])) return false;
  }
  SetResidualValue(r);
  // The tape's pass leaves entry 0 of every element, as here. Without an
  // element of class 4 the steps would only read and put back the residual.
  bool steps = false;
  const std::int32_t column = OutputIndex();
  for (std::size_t p = 0; p < j.elements.size(); ++p) {
    DAESRowElement* e = j.elements[p];
    if (e == nullptr) continue;
    if (!e->HasEntries()) e->SetSize(1, true);
    e->SetElementValue(0, entries[p]);
    steps = steps || e->ColumnClass(column, 0) == 4;
  }
  *status = steps ? ElementSteps(flags) : 0;
  return true;
}

bool DAESSolverEquation::TakeCompiledValues(const daes::CompiledLibrary& library) {
  if (library.reals == nullptr || library.ints == nullptr || context_ == nullptr) return false;
  // A stale tape runs again in the pass anyway.
  const std::int32_t n = context_->InstructionCount();
  if (n <= 0 || context_->Tape().code.back().result == 3) return false;
  const auto count = static_cast<std::size_t>(n);
  if (!tape_bound_) {
    // The pass reads variables through the addresses a run of the tape
    // looks up: until one has, the pass runs it.
    using namespace tapekind;
    auto bound = [](std::uint8_t kind, const void* value) {
      const bool variable = kind == kVarReal || kind == kVarIntAsReal || kind == kVarInt ||
                            kind == kVarIntText || kind == kVarTyped || kind == kVarText ||
                            kind == kVarName;
      return !variable || value != nullptr;
    };
    for (const TapeInstruction& in : context_->Tape().code) {
      if (!bound(in.left_kind, in.left_value) || !bound(in.right_kind, in.right_value)) {
        return false;
      }
    }
    tape_bound_ = true;
  }
  TapeState& s = TapeStateNow();
  const std::size_t half = s.capacity / 2;
  if (count >= library.half || library.half + count >= library.size || count >= half ||
      half + count >= s.reals.size() || count >= s.ints.size()) {
    return false;
  }
  std::copy(library.reals + 1, library.reals + 1 + count, s.reals.begin() + 1);
  std::copy(library.reals + library.half + 1, library.reals + library.half + 1 + count,
            s.reals.begin() + static_cast<std::ptrdiff_t>(half) + 1);
  std::copy(library.ints + 1, library.ints + 1 + count, s.ints.begin() + 1);
  s.failing = n;
  s.values_current = true;
  s.owner = static_cast<const ExprPCContext*>(context_.get());
  return true;
}

void DAESSolverEquation::ComposeValues(std::ostream& out) {
  out << "Active Variable Values:\n";
  for (std::int32_t i = 0; i < VariableCount(); ++i) {
    DAESVarTableEntry* v = GetVariable(i);
    out << v->GetNameText() << " = " << v->GetRealValue() << '\n';
  }
}

Status DAESSolverEquation::EvaluateResidualChecked(double* residual) {
  if (context_ == nullptr) return daes::kNoSolverEquation;
  Status s = 0;
  try {
    s = context_->Evaluate();
  } catch (...) {
    s = daes::kEvaluationException;
  }
  if (status::IsSuccess(s)) {
    *residual = ResultAsDouble(context_->Result());
    return s;
  }
  std::ostringstream text;
  const std::string math = MathErrorStatus.text();
  if (!math.empty()) {
    text << "Error while evaluating " << math << '\n';
    MathErrorStatus.Reset();
  }
  return ReportEvaluationFailure(s, text, "Error (%s) evaluating residual in equation @es\n%s",
                                 false);
}

Status DAESSolverEquation::EvaluateDerivativesChecked(void*) {
  if (context_ == nullptr) return daes::kNoSolverEquation;
  Status s = 0;
  try {
    s = context_->EvaluateJacobian(0);
  } catch (...) {
    s = daes::kEvaluationException;
  }
  if (status::IsSuccess(s)) return s;
  std::ostringstream text;
  return ReportEvaluationFailure(s, text, "Error (%s) evaluating derivative(s) in equation @es\n%s",
                                 true);
}

Status DAESSolverEquation::DelayedSensitivity(std::int32_t key, double* value) {
  *value = 0.0;
  if (context_ == nullptr || !context_->HasDelay()) return 0;
  try {
    return context_->DelayedSensitivity(key, value);
  } catch (...) {
    return daes::kEvaluationException;
  }
}

// The residual expression after what text holds, the sub-expression at fault
// unless the expression is private, the values (always when values_always),
// reported with the format.
Status DAESSolverEquation::ReportEvaluationFailure(Status s, std::ostringstream& text,
                                                   const char* format, bool values_always) {
  const char* error = ExprErrorText(static_cast<std::uint16_t>(s & 0xFFFF));
  if (!IsSevere(s)) {
    // A failing step evaluates the equation again and again: its report is
    // told once, then counted (keyed by the first line, values aside).
    std::string first(format, std::strcspn(format, "\n"));
    const char* name = GetNameText(0);
    if (const auto at = first.find("%s"); at != std::string::npos) first.replace(at, 2, error);
    if (const auto at = first.find("@es"); at != std::string::npos)
      first.replace(at, 3, name != nullptr ? name : "");
    if (!SuTellReport(first, first)) return s;
  }
  Expression* e = ResidualExpression();
  text << "Residual expression : ";
  if (e != nullptr) e->PrintModelling(text, context_.get());
  text << '\n';
  const bool fault_shown = e == nullptr || !e->IsPrivate();
  if (fault_shown) {
    text << "Sub-expression at fault: ";
    context_->Print(text);  // ends its line
  }
  if (fault_shown || values_always) ComposeValues(text);
  const std::string composed = text.str();
  BvuNameable* self = this;
  SuPrint(IsSevere(s) ? s : 0, format, error, &self, composed.c_str());
  return s;
}

Status DAESSolverEquation::EvaluateDerivatives(std::uint32_t flags, void* arg) {
  const Status s = EvaluateDerivativesChecked(arg);
  if (status::IsFailure(s)) return s;
  return ElementSteps(flags, s);
}

Status DAESSolverEquation::ElementSteps(std::uint32_t flags, Status s) {
  if ((flags & daes::kEvalElementSteps) == 0) return s;
  double residual = 0.0;
  ResidualValue(&residual);
  const std::vector<DAESRowElement*>& elements = model_->RowElements();
  const auto n =
      std::min<std::size_t>(elements.size(), static_cast<std::size_t>(ActiveVariableCount()));
  // Elements whose derivative the tape cannot give (class 4) take a
  // finite difference.
  std::int32_t counter = 0;
  const std::int32_t column = OutputIndex();
  for (std::size_t i = 0; i < n && !status::IsFailure(s); ++i) {
    DAESRowElement* e = elements[i];
    // A scalar of any other class takes no step: its step would answer 0.
    if (e->ElementKind() == daes::kScalarElement && e->ColumnClass(column, 0) != 4) {
      s = 0;
      continue;
    }
    s = e->DerivativeStep(flags, this, residual, column, 0, false, &counter, nullptr);
  }
  SetResidualValue(residual);
  return s;
}

Status DAESSolverEquation::PerturbDerivative(DAESRowElement* element, double old_residual,
                                             double* derivative, bool store) {
  *derivative = 0.0;
  SolverOptions* options = SolverOptions::Instance();
  DAESVarTableEntry* variable = element->ElementVariable();
  if (variable == nullptr) return daes::kNotImplemented;
  // The problem's entry for it: an equivalence for a member.
  if (DAESProblem* problem = GetCurrentProblem()) {
    if (DAESVarTableEntry* entry = problem->EntryFor(variable)) variable = entry;
  }
  const double x = variable->GetRealValue();
  double perturbed = x;
  double h = 0.0;
  variable->PerturbationStep(x, &perturbed, options->GetReal(kOptRelPerturb), &h,
                             options->GetReal(kOptAbsPerturb));
  // A zero step (equal bounds at a zero value) has no difference quotient.
  if (h == 0.0) return daes::kNotImplemented;
  variable->SetValue(perturbed);
  double residual = 0.0;
  const Status s = EvaluateResidualChecked(&residual);
  variable->SetValue(x);
  const double diff = residual - old_residual;
  const double big = daes::kLargestValue;
  if (std::fabs(h) <= 1.0 && std::fabs(h) * big < std::fabs(diff)) {
    *derivative = (diff * h < 0.0) ? -big : big;
  } else {
    *derivative = diff / h;
  }
  if (store) {
    const auto column = static_cast<std::uint32_t>(OutputIndex());
    element->EnsureEntries(column + 1);
    element->SetElementValue(column, *derivative);
  }
  return s;
}

double DAESSolverEquation::DerivativeFor(const DAESVarTableEntry* variable) const {
  double sum = 0.0;
  if (context_ == nullptr || variable == nullptr) return sum;
  for (std::int32_t k = 0; k < context_->ElementCount(); ++k) {
    ForEachScalar(context_->Element(k), [&](DAESRowElement* e) {
      DAESVarTableEntry* v = e->ElementVariable();
      if (v != nullptr && v->SequenceNumber() == variable->SequenceNumber()) {
        sum += e->ElementValue(static_cast<std::uint32_t>(OutputIndex()));
      }
    });
  }
  return sum;
}

Status DAESSolverEquation::ClassifyNonlinearity(std::int32_t* out, std::int32_t pass) {
  if (context_ == nullptr) return daes::kNotImplemented;
  std::int32_t found = 0;
  const Status s = context_->ClassifyNonlinearity(&found, OutputIndex(), pass, OutputIndex());
  if (found > *out) *out = found;
  return s;
}

Status DAESSolverEquation::ResetNonlinearityMarks(std::int32_t pass) {
  return context_ != nullptr ? context_->ResetVariables(OutputIndex(), pass) : 0;
}

std::int32_t DAESSolverEquation::VariableClass(const DAESVarTableEntry* variable, std::int32_t pass,
                                               std::int32_t* out) {
  std::int32_t occurs = 0;
  if (context_ == nullptr || variable == nullptr) return occurs;
  for (std::int32_t k = 0; k < context_->ElementCount(); ++k) {
    ForEachScalar(context_->Element(k), [&](DAESRowElement* e) {
      DAESVarTableEntry* v = e->ElementVariable();
      if (v == nullptr || v->SequenceNumber() != variable->SequenceNumber()) return;
      occurs = 1;
      const std::int32_t c = e->ColumnClass(OutputIndex(), pass);
      if (c > *out) *out = c;
    });
  }
  return occurs;
}

Status DAESSolverEquation::CollectClasses(DAESClassCollector* collector, std::int32_t pass) {
  if (model_ == nullptr || collector == nullptr) return 0;
  const std::vector<DAESRowElement*>& elements = model_->RowElements();
  const auto n =
      std::min<std::size_t>(elements.size(), static_cast<std::size_t>(ActiveVariableCount()));
  for (std::size_t i = 0; i < n; ++i) {
    if (elements[i]->IsParameter() != 0) continue;
    DAESMarkColumn(elements[i], collector, OutputIndex(), false, pass, nullptr);
  }
  return 0;
}

double DAESSolverEquation::EvaluateDerivativeValue(ExpressionVariable* argument, std::int32_t) {
  double value = 0.0;
  if (context_ == nullptr) return value;
  context_->EvaluateDerivative(argument, &value, 0);
  return value;
}

std::ostream& DAESSolverEquation::PrintResidual(std::ostream& out, std::int32_t width,
                                                const char* prefix) {
  if (width != 0) out << std::setw(width) << "" << ' ';
  if (prefix != nullptr) out << prefix;
  Expression* e = ResidualExpression();
  if (e == nullptr) {
    out << "This equation does not have a residual";
  } else if (e->IsPrivate()) {
    out << "The residual for this equation is proprietary.";
  } else {
    e->PrintModelling(out, context_.get());
  }
  return out;
}

void DAESSolverEquation::Dump(std::ostream& out, bool detail, std::int32_t indent, bool dynamic) {
  const std::string pad(static_cast<std::size_t>(2 * indent + 1), ' ');
  const char* name = GetNameText();
  out << pad << "Equation " << (name != nullptr && *name != '\0' ? name : "unnamed");
  if (RowNumber() != 0) out << " row " << RowNumber();
  out << " has " << ActiveVariableCount() << " Vars and " << VariableCount() << " non-zeros";
  if ((flags_ & daes::kTorn) != 0) out << " TORN Variable NONE";
  out << '\n' << pad << (dynamic ? "DYN " : "") << "Residual is ";
  if (Expression* e = ResidualExpression()) e->PrintModelling(out, context_.get());
  out << " [=  ";
  if (context_ != nullptr) context_->Result().Print(out);
  out << "]\n";
  if (detail) PrintVariableTable(out, dynamic);
}

void DAESSolverEquation::PrintVariableTable(std::ostream& out, bool dynamic) {
  out << std::setw(9) << "Local  " << std::setw(18) << "Global  " << std::setw(18) << "Current  "
      << std::setw(18) << "Deriv  " << std::setw(9) << "Deriv" << '\n';
  out << std::setw(9) << "Name  " << std::setw(18) << "Name  " << std::setw(18) << "Value  "
      << std::setw(18) << "Value  " << std::setw(9) << "Type" << '\n';
  if (context_ == nullptr) return;
  const std::int32_t column = OutputIndex();
  for (std::int32_t k = 0; k < context_->ElementCount(); ++k) {
    if (DAESRowElement* e = context_->Element(k)) {
      e->PrintLine(out, k, column, 18, dynamic, nullptr, 0);
    }
  }
}
