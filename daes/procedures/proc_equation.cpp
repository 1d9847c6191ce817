#include "daes/procedures/proc_equation.h"

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <ostream>
#include <sstream>

#include "daes/blocks/solver_block.h"
#include "daes/equations/row_element.h"
#include "daes/equations/scalar_walk.h"
#include "daes/model/services.h"
#include "daes/model/variable.h"
#include "expr/tree/proc_call_expression.h"
#include "expr/tree/var_ref_expression.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "framework/libraries/library_failure.h"

namespace {

template <class F>
void EachScalar(DAESRowElement* element, F&& f) {
  daes::ForEachScalar(element, f);
}

DAESProcDef* DefinitionOf(DAESSimpleEquation* model) {
  Expression* e = model != nullptr ? model->ResidualExpression() : nullptr;
  if (e == nullptr || e->ClassId() != exprclass::kProcCall) return nullptr;
  return dynamic_cast<DAESProcDef*>(static_cast<ProcCallExpression*>(e)->Definition());
}

ProcCallExpression* CallOf(DAESSimpleEquation* model) {
  Expression* e = model != nullptr ? model->ResidualExpression() : nullptr;
  return e != nullptr && e->ClassId() == exprclass::kProcCall ? static_cast<ProcCallExpression*>(e)
                                                              : nullptr;
}

}  // namespace

// --- DAESProcContext ---

DAESProcContext::DAESProcContext(DAESSimpleEquation* model, DAESProcDef* definition)
    : DAESEquationContext(model->ResidualExpression(), model->RowElements()), model_(model),
      data_(CallOf(model), this, definition, model) {}

std::int32_t DAESProcContext::InputCount() const {
  ProcCallExpression* call = CallOf(model_);
  return call != nullptr && call->Inputs() != nullptr ? call->Inputs()->ItemCount() : 0;
}

std::int32_t DAESProcContext::MarkVariables(std::uint32_t n) {
  // Only the inputs take a derivative entry per output value; each output
  // is a column of its own row alone. Sized here, held once used.
  std::int32_t last = 0;
  for (std::int32_t k = 0; k < InputCount(); ++k) {
    EachScalar(ArgumentElement(false, k),
               [&](DAESRowElement* e, std::int32_t) { last = e->SetSize(n, false); });
  }
  return last;
}

Status DAESProcContext::PrepareDerivatives(std::int32_t i) {
  const auto entry = static_cast<std::uint32_t>(i);
  for (std::int32_t k = 0; k < InputCount(); ++k) {
    EachScalar(ArgumentElement(false, k), [&](DAESRowElement* e, std::int32_t) {
      e->EnsureEntries(entry + 1);
      e->SetElementValue(entry, 0.0);
    });
  }
  return 0;
}

Status DAESProcContext::ResetVariables(std::int32_t column, std::int32_t pass) {
  for (std::int32_t k = 0; k < InputCount(); ++k) {
    EachScalar(ArgumentElement(false, k),
               [&](DAESRowElement* e, std::int32_t) { e->SetClassMark(0, column, pass); });
  }
  return 0;
}

const std::vector<DAESRowElement*>& DAESProcContext::InputScalars() {
  if (input_scalars_found_) return input_scalars_;
  input_scalars_found_ = true;
  ProcCallExpression* call = CallOf(model_);
  const std::int32_t outputs =
      call != nullptr && call->Outputs() != nullptr ? call->Outputs()->ItemCount() : 0;
  for (std::int32_t i = 0; i < ElementCount(); ++i) {
    DAESRowElement* element = Element(i);
    bool output = false;
    for (std::int32_t k = 0; k < outputs && !output; ++k)
      output = ArgumentElement(true, k) == element;
    if (!output)
      EachScalar(element, [&](DAESRowElement* e, std::int32_t) { input_scalars_.push_back(e); });
  }
  return input_scalars_;
}

std::int64_t DAESProcContext::HeldEntries() const {
  std::int64_t held = data_.HeldEntries();
  for (std::int32_t k = 0; k < ElementCount(); ++k) {
    DAESRowElement* element = Element(k);
    if (element == nullptr) continue;
    if (element->ElementKind() != daes::kScalarElement) held += element->HeldEntries();
    EachScalar(element, [&](DAESRowElement* e, std::int32_t) { held += e->HeldEntries(); });
  }
  return held;
}

DAESRowElement* DAESProcContext::ArgumentElement(bool output, std::int32_t k) {
  ProcCallExpression* call = CallOf(model_);
  if (call == nullptr) return nullptr;
  ProcIOListExpression* list = output ? call->Outputs() : call->Inputs();
  Expression* argument = list != nullptr ? list->ListElement(k + 1) : nullptr;
  if (argument == nullptr || argument->ClassId() != exprclass::kVarRef) return nullptr;
  return Element(static_cast<std::int32_t>(static_cast<VarRefExpression*>(argument)->Offset()));
}

Status DAESProcContext::CallProcedure(std::int32_t mode) {
  const Status s = data_.Precall(mode);
  ShareOutputs();
  return s;
}

void DAESProcContext::ResetPropertiesCall() {
  if (data_.Definition() != nullptr &&
      (data_.Definition()->Options() & procdef::kPropertiesId) != 0) {
    data_.Reset();
  }
}

void DAESProcContext::ShareOutputs() {
  if (outputs_ == nullptr) return;
  for (std::int32_t i = 0; i < data_.OutputElementCount(); ++i) outputs_[i] = data_.Output(i);
}

void DAESProcContext::ShareOutput(std::int32_t slot, double value) {
  if (outputs_ != nullptr && slot >= 0 && slot < data_.OutputElementCount()) outputs_[slot] = value;
}

// --- DAESProcSolverEquation ---

DAESProcSolverEquation::DAESProcSolverEquation(DAESSimpleEquation* model, std::int32_t output0,
                                               std::shared_ptr<DAESProcContext> context)
    : DAESSolverEquation(model), context_(std::move(context)), output_number_(output0 + 1),
      output_position_(output0) {
  SetContext(context_);
  // The output variable: the output argument element that holds value
  // number output0 (arguments row-major, as packed).
  const ProcArgLayout& out = context_->Data().Outputs();
  std::int32_t start = 0;
  for (std::int32_t k = 0; k < out.ArgumentCount(); ++k) {
    const std::int32_t count = out.elements[static_cast<std::size_t>(k)];
    if (output0 < start + count) {
      DAESRowElement* element = context_->ArgumentElement(true, k);
      output_ = element != nullptr ? element->ElementAt(output0 - start) : nullptr;
      // Slots: a text output takes five.
      output_position_ = 0;
      for (std::int32_t j = 0; j < k; ++j) {
        output_position_ +=
            out.elements[static_cast<std::size_t>(j)] * out.kinds[static_cast<std::size_t>(j)];
      }
      output_position_ += (output0 - start) * out.kinds[static_cast<std::size_t>(k)];
      derivative_row_ = out.ElementNumber(k, output0 - start);
      break;
    }
    start += count;
  }
}

const char* DAESProcSolverEquation::GetNameText(std::int32_t arg) {
  char row[32];
  std::snprintf(row, sizeof row, ".Row(%d)", output_number_);
  name_ = std::string(DAESSolverEquation::GetNameText(arg)) + row;
  return name_.c_str();
}

void DAESProcSolverEquation::Dump(std::ostream& out) {
  if ((GetFlags() & 0x8) != 0) out << "Torn ";
  out << "Procedure Equation with";
  DAESVarTableEntry* v = OutputElement();
  const char* name = v != nullptr ? v->GetNameText(0) : nullptr;
  if (name != nullptr) {
    out << " output variable " << name;
  } else {
    out << " no output variable";
  }
  out << '\n';
  DAESSolverEquation::Dump(out);
}

std::int32_t DAESProcSolverEquation::ArgumentCount() const {
  ProcCallExpression* call = CallOf(ModelEquation());
  const std::int32_t inputs =
      call != nullptr && call->Inputs() != nullptr ? call->Inputs()->CountReferences() : 0;
  return inputs + RowNumber();
}

std::int32_t DAESProcSolverEquation::IsOutputVariable(DAESVarTableEntry* variable) {
  if (variable == nullptr) return 0;
  const ProcArgLayout& out = context_->Data().Outputs();
  for (std::int32_t k = 0; k < out.ArgumentCount(); ++k) {
    std::int32_t found = 0;
    EachScalar(context_->ArgumentElement(true, k), [&](DAESRowElement* e, std::int32_t) {
      DAESVarTableEntry* v = e->ElementVariable();
      if (v != nullptr && v->SequenceNumber() == variable->SequenceNumber()) found = 1;
    });
    if (found != 0) return 1;
  }
  return 0;
}

DAESVarTableEntry* DAESProcSolverEquation::OutputElement() {
  return output_ != nullptr ? output_->ElementVariable() : nullptr;
}

void DAESProcSolverEquation::ExtraEvalFlags(std::uint32_t* flags) {
  const DAESProcDef* d = context_->Data().Definition();
  if (d != nullptr && (d->Options() & procflag::kAlwaysCheck) != 0) {
    *flags |= 0x10;
    return;
  }
  const std::int32_t check = SolverOptions::Instance()->GetInt(kOptCheckProcDerivs);
  if (check == 1) *flags |= 0x10;
  if (check == 2) *flags |= 0x30;
}

double DAESProcSolverEquation::OutputVariableValue() const {
  if (output_ == nullptr) return 0.0;
  const SUValue* v = output_->ValuePointer();
  if (v == nullptr) return 0.0;
  if (v->type == SUValue::kReal) return v->payload.real;
  return v->type == SUValue::kInteger ? static_cast<double>(v->payload.integer) : 0.0;
}

bool DAESProcSolverEquation::LibraryEvaluates(std::uint32_t flags) const {
  if ((flags & daes::kEvalInterpreted) != 0 || CompiledNumber() == 0) return false;
  const daes::CompiledLibrary& library = daes::CurrentCompiledLibrary();
  if (!library.IsLoaded() || library.procoutput == nullptr || library.procderivs == nullptr)
    return false;
  return !context_->Data().KeptInterpreted();
}

double DAESProcSolverEquation::OutputValue(bool compiled) const {
  if (compiled) return daes::CurrentCompiledLibrary().procoutput(CompiledNumber());
  return context_->Data().Output(output_position_);
}

Status DAESProcSolverEquation::CompiledResidual() {
  libraries::TakeLibraryFailure();
  const double r = daes::CurrentCompiledLibrary().residual(CompiledNumber());
  const Status failure = libraries::TakeLibraryFailure();
  if (!std::isfinite(r)) {
    // A failed call (or an output that is no number) leaves the residual no
    // number; the library has said why, with its status. Calling the
    // procedure again would repeat what it does. The library tells fail
    // codes 3 and 4 alike, severe: taken as the interpreter takes code 3,
    // so that the solvers may still step back from where the call failed.
    SetResidualValue(r);
    if (failure == 0) return daes::kNonFiniteResidual;
    return status::IsSevere(failure) ? procstatus::kError : failure;
  }
  // The residual is the output variable less the output (older interface).
  SetResidualValue(r);
  context_->ShareOutput(output_position_, OutputValue(true));
  return 0;
}

Status DAESProcSolverEquation::EvaluateResidual(double* residual, std::uint32_t flags) {
  ProcCallData& data = context_->Data();
  DAESProcDef* d = data.Definition();
  const std::uint32_t options = d != nullptr ? d->Options() : 0;
  std::int32_t task = 0;
  if ((flags & (daes::kEvalDerivatives | daes::kEvalElementSteps)) != 0 &&
      (options & procdef::kAnalyticDerivatives) != 0) {
    task = (flags & daes::kEvalResidual) != 0 ? 4 : 3;
    if (SolverOptions::Instance()->GetInt(kOptCheckProcDerivs) == 1 ||
        (options & procflag::kAlwaysCheck) != 0) {
      task = 4;
    }
  }
  std::int32_t need = 0;
  Status s = data.CallProcedure(task, &need);
  if (status::IsFailure(s) && (status::IsSevere(s) || IsErrorReportingOn() != 0)) return s;
  if (need != 0) {
    const bool inputs = (options & procflag::kReturnsInputs) != 0;
    const Status checked = data.CheckCallResults(inputs);
    if (status::IsFailure(checked)) {
      BvuNameable* self = this;
      SuPrint(IsErrorReportingOn() != 0 ? checked : 0,
              inputs ? "Procedure %s returned indefinite input/output value(s) in equation @es"
                     : "Procedure %s returned indefinite output value(s) in equation @es",
              data.ProcedureName(), &self);
      return checked;
    }
    context_->ShareOutputs();
  } else if (status::IsFailure(s)) {
    s = procstatus::kWarning;
  }
  const double output = OutputValue(false);
  const double variable = OutputVariableValue();
  *residual = d != nullptr && d->InterfaceVersion() >= 3 ? output - variable : variable - output;
  SetResidualValue(*residual);
  return s;
}

Status DAESProcSolverEquation::EvaluateProcDerivatives(std::uint32_t flags) {
  ProcCallData& data = context_->Data();
  DAESProcDef* d = data.Definition();
  const auto column = static_cast<std::uint32_t>(OutputIndex());
  context_->PrepareDerivatives(OutputIndex());
  const bool v3 = d != nullptr && d->InterfaceVersion() >= 3;
  // The output's one entry: no other row of the call has it as a column.
  if (output_ != nullptr) {
    output_->EnsureEntries(1);
    output_->SetElementValue(0, v3 ? -1.0 : 1.0);
  }
  const bool compiled = LibraryEvaluates(flags);
  if (d == nullptr || (d->Options() & procdef::kAnalyticDerivatives) == 0) {
    if ((flags & (daes::kEvalDerivatives | daes::kEvalElementSteps)) == 0) return 0;
    double residual = 0.0;
    ResidualValue(&residual);
    return NumericDerivatives(residual, compiled);
  }
  // From the call just made: the library's own after its residual, else
  // the row's.
  const double* row = compiled ? daes::CurrentCompiledLibrary().procderivs(CompiledNumber())
                               : data.DerivativeRow(derivative_row_);
  if (row == nullptr) return 0;
  const ProcArgLayout& in = data.Inputs();
  for (std::int32_t k = 0; k < in.ArgumentCount(); ++k) {
    EachScalar(context_->ArgumentElement(false, k), [&](DAESRowElement* e, std::int32_t i) {
      if (e->IsParameter() == 0 && i < in.elements[static_cast<std::size_t>(k)]) {
        e->SetElementValue(column, row[in.ElementNumber(k, i)]);
      }
    });
  }
  return 0;
}

DAESRowElement* DAESProcSolverEquation::FindNextElement(std::uint32_t sequence,
                                                        std::int32_t* position) {
  const std::vector<DAESRowElement*>& inputs = context_->InputScalars();
  const auto count = static_cast<std::int32_t>(inputs.size());
  while (*position >= 0 && *position <= count) {
    DAESRowElement* e = *position < count ? inputs[static_cast<std::size_t>(*position)] : output_;
    ++*position;
    DAESVarTableEntry* v = e != nullptr ? e->ElementVariable() : nullptr;
    if (v != nullptr && v->SequenceNumber() == sequence) return e;
  }
  return nullptr;
}

double DAESProcSolverEquation::DerivativeFor(const DAESVarTableEntry* variable) const {
  if (variable == nullptr) return 0.0;
  const auto same = [&](DAESRowElement* e) {
    DAESVarTableEntry* v = e->ElementVariable();
    return v != nullptr && v->SequenceNumber() == variable->SequenceNumber();
  };
  double sum = output_ != nullptr && same(output_) ? output_->ElementValue(0) : 0.0;
  const auto column = static_cast<std::uint32_t>(OutputIndex());
  for (std::int32_t k = 0; k < context_->Data().Inputs().ArgumentCount(); ++k) {
    EachScalar(context_->ArgumentElement(false, k), [&](DAESRowElement* e, std::int32_t) {
      if (same(e)) sum += e->ElementValue(column);
    });
  }
  return sum;
}

Status DAESProcSolverEquation::ForEachDifference(
    double residual, bool compiled, const std::function<void(DAESRowElement*, double)>& take) {
  ProcCallData& data = context_->Data();
  const daes::CompiledLibrary& library = daes::CurrentCompiledLibrary();
  const ProcArgLayout& in = data.Inputs();
  Status s = 0;
  for (std::int32_t k = 0; k < in.ArgumentCount() && !status::IsFailure(s); ++k) {
    if (in.types[static_cast<std::size_t>(k)] != SUValue::kReal) continue;
    EachScalar(context_->ArgumentElement(false, k), [&](DAESRowElement* e, std::int32_t) {
      if (status::IsFailure(s) || e->IsParameter() != 0) return;
      SUValue* v = e->ValuePointer();
      if (v == nullptr || v->type != SUValue::kReal) return;
      const double x = v->payload.real;
      const double h =
          std::sqrt(std::numeric_limits<double>::epsilon()) * std::max(1.0, std::fabs(x));
      double moved = 0.0;
      if (compiled) {
        // The library reads the input from its own array of values.
        DAESVarTableEntry* variable = e->ElementVariable();
        if (variable == nullptr) return;
        variable->WriteCompiledValue(x + h);
        moved = library.residual(CompiledNumber());
        variable->WriteCompiledValue(x);
        if (!std::isfinite(moved)) s = daes::kNonFiniteResidual;
      } else {
        v->SetReal(x + h);
        std::int32_t need = 0;
        s = data.CallProcedure(0, &need);
        moved = data.Residual(OutputVariableValue(), output_position_);
        v->SetReal(x);
      }
      if (!status::IsFailure(s)) take(e, (moved - residual) / h);
    });
  }
  // Leave the outputs as they were at the unmoved inputs.
  Status back = 0;
  if (compiled) {
    library.residual(CompiledNumber());
  } else {
    std::int32_t need = 0;
    back = data.CallProcedure(0, &need);
  }
  SetResidualValue(residual);
  return status::IsFailure(s) ? s : back;
}

// Forward differences of the residual in each input variable.
Status DAESProcSolverEquation::NumericDerivatives(double residual, bool compiled) {
  const auto column = static_cast<std::uint32_t>(OutputIndex());
  return ForEachDifference(residual, compiled, [&](DAESRowElement* e, double quotient) {
    e->SetElementValue(column, quotient);
  });
}

// The procedure's own derivatives against differences, input by input;
// with 0x20 in the flags a failed check takes the difference.
Status DAESProcSolverEquation::CheckProcedureDerivatives(std::uint32_t flags) {
  double residual = 0.0;
  ResidualValue(&residual);
  const bool use_numeric = (flags & daes::kEvalCheckNumerics) != 0;
  return ForEachDifference(
      residual, LibraryEvaluates(flags), [&](DAESRowElement* e, double quotient) {
        CheckDerivativeValues(quotient, DerivativeFor(e->ElementVariable()), e, use_numeric);
      });
}

bool DAESProcSolverEquation::CheckDerivativeValues(double numeric, double analytic,
                                                   DAESRowElement* element, bool use_numeric) {
  SolverOptions* options = SolverOptions::Instance();
  double diff = std::fabs(numeric - analytic);
  if (std::fabs(numeric) > options->GetReal(kOptDerivAbsTol)) diff /= std::fabs(numeric);
  if (!(diff > options->GetReal(kOptDerivRelTol))) return true;
  const DAESProcDef* d = context_->Data().Definition();
  const bool old = d == nullptr || d->InterfaceVersion() < 3;
  std::string name = "the output variable";
  if (DAESVarTableEntry* v = OutputElement()) {
    const char* text = v->GetNameText(0);
    if (text != nullptr) name = text;
  }
  if (name.size() > 79) name.resize(79);
  BvuNameable* variable = element != nullptr ? element->ElementVariable() : nullptr;
  BvuNameable* self = this;
  double shown_analytic = old ? -analytic : analytic;
  double shown_numeric = old ? -numeric : numeric;
  if (variable != nullptr) {
    SuPrint(0, "Derivative check of %s\n    with respect to @ns\n        in equation @es",
            name.c_str(), &variable, &self);
  }
  SuPrint(0, "Failed: Analytical derivative: %11.5g, Numerical derivative: %11.5g", &shown_analytic,
          &shown_numeric);
  std::ostringstream text;
  if (Expression* e = ResidualExpression()) e->PrintModelling(text, context_.get());
  SuPrint(0, "Residual expression is %s", text.str().c_str());
  if (use_numeric && element != nullptr) {
    element->SetElementValue(static_cast<std::uint32_t>(OutputIndex()), numeric);
    SuPrint(0, "'Use numerics' option set, using numeric derivative (%g)", &numeric);
  }
  return false;
}

bool DAESProcContext::FirstToMarkInputsIn(const QLNRow* group) {
  if (inputs_marked_ && inputs_marked_in_ == group) return false;
  inputs_marked_ = true;
  inputs_marked_in_ = group;
  return true;
}

Status DAESProcSolverEquation::AttachToElements(QLNRow* group) {
  const ProcArgLayout& in = context_->Data().Inputs();
  // A call of n outputs would mark its inputs n times over: a wide call
  // made that the bulk of building the problem.
  const bool mark = context_->FirstToMarkInputsIn(group);
  for (std::int32_t k = 0; k < in.ArgumentCount(); ++k) {
    DAESRowElement* e = context_->ArgumentElement(false, k);
    if (e == nullptr || e->IsParameter() != 0) continue;
    const Status s = e->RegisterIn(this, group);
    if (s == daes::kBlockOutOfMemory) return s;
    if (!status::IsFailure(s) && mark) e->MarkUsed(group);
  }
  DAESVarTableEntry* output = output_ != nullptr ? output_->ElementVariable() : nullptr;
  if (output == nullptr) return 0;
  const Status s = output->RegisterIn(this, group);
  if (s == daes::kBlockOutOfMemory) return s;
  std::int32_t position = 0;
  if (DAESRowElement* first = FindNextElement(output->SequenceNumber(), &position)) {
    first->MarkUsed(group);
  }
  return 0;
}

Status DAESProcSolverEquation::CollectClasses(DAESClassCollector* collector, std::int32_t pass) {
  if (collector == nullptr) return 0;
  DAESMarkColumn(output_, collector, 0, true, pass, output_);
  const ProcArgLayout& in = context_->Data().Inputs();
  for (std::int32_t k = 0; k < in.ArgumentCount(); ++k) {
    DAESRowElement* e = context_->ArgumentElement(false, k);
    if (e != nullptr && e->IsParameter() == 0) {
      DAESMarkColumn(e, collector, OutputIndex(), false, pass, nullptr);
    }
  }
  return 0;
}

void DAESProcSolverEquation::UpdateTornOutput() {
  auto* variable = dynamic_cast<DAESVariable*>(OutputElement());
  if (variable == nullptr) return;
  double computed = OutputValue(LibraryEvaluates(0)) * variable->GetScale();
  const Status s = variable->SetScaledValueChecked(computed, 0.0);
  const Status code = s & 0xA000FFFFu;
  if ((code == (daes::kClippedLow & 0xA000FFFFu) || code == (daes::kClippedHigh & 0xA000FFFFu)) &&
      SolverOptions::Instance()->GetInt(kOptPrintLevel) > 0) {
    BvuNameable* named = variable;
    double stored = variable->GetScaledValue();
    SuPrint(0, "Torn output variable @ns was clipped from %g to %g", &named, &computed, &stored);
  }
}

bool DAESProcSolverEquation::SharesEvaluation(QLNEquation* previous) {
  QLNEquation* underlying = previous != nullptr ? previous->UnderlyingEquation() : nullptr;
  auto* other =
      dynamic_cast<DAESProcSolverEquation*>(underlying != nullptr ? underlying : previous);
  return other != nullptr && other != this && other->context_ == context_;
}

Status DAESProcSolverEquation::TakeSharedResult() {
  // The library calls again only when the inputs moved.
  if (LibraryEvaluates(0)) return CompiledResidual();
  residual_ = context_->Data().Residual(OutputVariableValue(), output_position_);
  return 0;
}

Status DAESProcSolverEquation::Evaluate(std::uint32_t flags, void* arg) {
  (void)arg;
  std::uint32_t extra = 0;
  if ((flags & daes::kEvalExtra) != 0) {
    ExtraEvalFlags(&extra);
    flags &= ~daes::kEvalExtra;
  }
  double residual = 0.0;
  const std::uint32_t d = flags & (daes::kEvalDerivatives | daes::kEvalElementSteps);
  if ((flags & daes::kEvalResidual) == 0 && d == 0) return 0;
  Status s = 0;
  if (!LibraryEvaluates(flags)) {
    s = EvaluateResidual(&residual, flags | extra);
  } else if ((flags & (daes::kEvalResidual | daes::kEvalDerivatives)) != 0) {
    // The library's residual first: its outputs and derivatives are those
    // of the call it makes there.
    s = CompiledResidual();
  }
  if (status::IsFailure(s) || d == 0) return s;
  Status derivatives = EvaluateProcDerivatives(flags | extra);
  // Derivative checks (CheckProcDerivs, or the definition's own flag).
  const DAESProcDef* definition = ProcedureDefinition();
  if (!status::IsFailure(derivatives) && ((flags | extra) & 0x10) != 0 && definition != nullptr &&
      (definition->Options() & procdef::kAnalyticDerivatives) != 0) {
    derivatives = CheckProcedureDerivatives(flags | extra);
  }
  return status::IsFailure(derivatives) ? derivatives : s;
}

// --- DAESProcedureNode ---

DAESProcedureNode::DAESProcedureNode(BvuDirectoryNode* parent, const char* name, Expression* call,
                                     std::uint32_t flags)
    : DAESEquationNode(parent, name, call), flags_(flags) {
  DAESSimpleEquation::SetFlags(flags);
}

ProcCallExpression* DAESProcedureNode::Call() const {
  Expression* e = ResidualExpression();
  return e != nullptr && e->ClassId() == exprclass::kProcCall ? static_cast<ProcCallExpression*>(e)
                                                              : nullptr;
}

Status DAESProcedureNode::CollectProcedureEquations(void* list, std::int32_t, void* problem) {
  // An element left without a variable refuses the call below.
  RebindElements();
  ProcCallExpression* call = Call();
  BvuNameable* named = this;
  if (call != nullptr && call->CallPath().count() > 0) {
    // Found again at every build: the library may have replaced it.
    if (DAESProcDefLibrary* library = daes::ProcDefLibrary()) {
      call->Bind(library->FindProcDef(call->CallPath()));
    }
    if (call->Definition() == nullptr) {
      std::ostringstream path;
      BvuIdPath shown = call->CallPath();
      shown.Print(path);
      std::string text = path.str();
      if (!text.empty() && text.back() == '\n') text.pop_back();
      SuPrint(0, "No procedure definition at library path %s for equation @es", text.c_str(),
              &named);
    }
  }
  DAESProcDef* definition = DefinitionOf(this);
  if (call == nullptr || call->Outputs() == nullptr || call->Outputs()->ItemCount() == 0 ||
      definition == nullptr || list == nullptr || !IsBound()) {
    const char* name = call != nullptr && call->GetProcName() != nullptr ? call->GetProcName() : "";
    SuPrint(0, "Error occured while processing procedure \"%s\" in equation @es", name, &named);
    return procstatus::kArguments;
  }
  auto context = std::make_shared<DAESProcContext>(this, definition);
  ProcCallData& data = context->Data();
  const Status laid =
      data.BuildCallLayouts((definition->Options() & procdef::kAnalyticDerivatives) != 0);
  if (status::IsFailure(laid)) {
    context->MarkVariables(1);
    SuPrint(0, "Error occured while processing procedure \"%s\" in equation @es",
            data.ProcedureName(), &named);
    return laid;
  }
  auto* equations = static_cast<QLNEquationList*>(list);
  const std::int64_t entries = data.EntryBound();
  if (equations->ProcedureEntries() + entries > kMaxModelProcDerivativeEntries) {
    // The call's variables go back to one entry each: a refused call keeps nothing.
    context->MarkVariables(1);
    // Both at most a call's bound past the model's: they fit.
    const auto total = static_cast<std::int32_t>(equations->ProcedureEntries() + entries);
    const auto most = static_cast<std::int32_t>(kMaxModelProcDerivativeEntries);
    SuPrint(procstatus::kArguments,
            "Procedure %s in equation @es would bring the derivative entries of the model's "
            "procedure calls to %d: more than the %d a model may have",
            data.ProcedureName(), &named, &total, &most);
    return procstatus::kArguments;
  }
  equations->AddProcedureEntries(entries);
  SetRowCount(data.OutputElementCount());
  Status result = 0;
  for (std::int32_t k = 0; k < data.OutputElementCount(); ++k) {
    const Status s = equations->AddEquation(new DAESProcSolverEquation(this, k, context), problem);
    if (status::IsFailure(s) && !status::IsFailure(result)) result = s;
  }
  if (auto* owner = dynamic_cast<DAESProblem*>(equations))
    owner->AddProcedureEquation(context.get());
  if ((definition->Options() & procdef::kPropertiesId) != 0) {
    const Status s = BindComponentList(context.get());
    if (status::IsFailure(s) && !status::IsFailure(result)) result = s;
  }
  return result;
}

Status DAESProcedureNode::BindComponentList(DAESProcContext* context) {
  if (component_list_.empty()) return daes::kNoComponentList;
  DAESPropertyServices* properties = daes::PropertyServices();
  Status result = 0;
  property_id_ = properties != nullptr ? properties->GetPropertyId(component_list_.c_str()) : 0;
  if (property_id_ == 0) {
    result = properties != nullptr && properties->PackageLoaded() ? daes::kNoComponentList : 0;
    const char* procedure = context->Data().ProcedureName();
    SuPrint(result, "Could not find a ComponentList called %s for procedure %s in equation %s",
            component_list_.c_str(), procedure != nullptr ? procedure : "", GetNameText());
  }
  context->ResetPropertiesCall();
  return result;
}

Status DAESProcedureNode::ReadItemBody(BvuBinaryStream& stream, void* context) {
  auto* instance = static_cast<BvuDirectoryNode*>(context);
  std::uint32_t value = 0;
  std::string text;
  const Status s =
      ReadReferencesBody(stream, instance != nullptr ? instance : Root(), &value, &text);
  body_value_ = value;
  if (!text.empty()) component_list_ = text;
  return s;
}
