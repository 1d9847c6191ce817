#include "daes/procedures/proc_call.h"

#include <cmath>
#include <cstring>
#include <iostream>

#include "expr/tree/operator_table.h"
#include "expr/tree/proc_call_expression.h"
#include "expr/tree/var_ref_expression.h"
#include "foundation/collections/mixins.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/math_error.h"
#include "foundation/messages/su_print.h"

namespace {

// Stands for the equation in messages of a call that has none.
class UnnamedEquation : public BvuNameable {
 public:
  const char* GetNameText(std::int32_t) override { return "<no equation>"; }
};
UnnamedEquation g_unnamed;

std::int32_t PrintLevel() { return SolverOptions::Instance()->GetInt(kOptPrintLevel); }

// The value an argument expression stands for: its variable's value.
const SUValue* ArgumentValue(Expression* argument, ExprContext* context) {
  ExpressionVariable* v = argument->BoundVariable();
  if (v == nullptr && argument->ClassId() == exprclass::kVarRef) {
    v = context->GetVariable(
        static_cast<std::int32_t>(static_cast<VarRefExpression*>(argument)->Offset()));
  }
  return v != nullptr ? v->ValuePointer() : nullptr;
}

// Process-wide scratch arrays: they only grow.
std::vector<double>& SavedOutputs() {
  static std::vector<double> saved;
  return saved;
}
std::vector<double>& TransposeArray() {
  static std::vector<double> transpose;
  return transpose;
}

}  // namespace

std::uint16_t ArrayElementCount(const SUValue& value, std::int32_t* count, std::int32_t* depth,
                                std::vector<ProcInt>* levels) {
  *count = 1;
  *depth = 0;
  const SUValue* level = &value;
  while (level->IsArray()) {
    ++*depth;
    if (level->Elements() == nullptr && level->count != 0) {
      std::cout << "FATAL ERROR: Empty array in procedure argument list!" << std::endl;
      SuPrint(0, "FATAL ERROR: Empty array in procedure argument list!");
      *count = 0;
      return 0;
    }
    *count *= level->count;
    if (levels != nullptr) levels->push_back(level->count);
    if (level->count == 0) break;
    level = &level->Elements()[0];
  }
  return static_cast<std::uint16_t>(level->type & 0x0F);
}

std::int32_t ProcArgLayout::Place(std::int32_t k, std::int32_t e) const {
  const std::vector<ProcInt>& d = dims[static_cast<std::size_t>(k)];
  if (!fortran || d.size() < 2) return e;
  // Row-major index digits, last level fastest; FORTRAN runs the first fastest.
  std::int32_t place = 0, stride = 1;
  std::int32_t rest = e;
  std::vector<std::int32_t> digits(d.size());
  for (std::size_t l = d.size(); l-- > 0;) {
    digits[l] = d[l] > 0 ? rest % d[l] : 0;
    rest = d[l] > 0 ? rest / d[l] : 0;
  }
  for (std::size_t l = 0; l < d.size(); ++l) {
    place += digits[l] * stride;
    stride *= d[l];
  }
  return place;
}

std::int32_t ProcArgLayout::SlotOf(std::int32_t k, std::int32_t e) const {
  std::int32_t slot = 0;
  for (std::int32_t j = 0; j < k; ++j) {
    slot += elements[static_cast<std::size_t>(j)] * kinds[static_cast<std::size_t>(j)];
  }
  return slot + Place(k, e) * kinds[static_cast<std::size_t>(k)];
}

std::int32_t ProcArgLayout::ElementNumber(std::int32_t k, std::int32_t e) const {
  std::int32_t n = 0;
  for (std::int32_t j = 0; j < k; ++j) n += elements[static_cast<std::size_t>(j)];
  return n + Place(k, e);
}

bool ProcArgLayout::NeedsArranging() const {
  if (!fortran) return false;
  for (std::size_t k = 0; k < kinds.size(); ++k) {
    if (kinds[k] == kTextSlots || dims[k].size() >= 2) return true;
  }
  return false;
}

void ProcArgLayout::Arrange(const std::vector<double>& packed, std::vector<double>* out) const {
  out->assign(packed.size(), 0.0);
  std::int32_t from = 0;
  for (std::int32_t k = 0; k < ArgumentCount(); ++k) {
    const std::int32_t kind = kinds[static_cast<std::size_t>(k)];
    for (std::int32_t e = 0; e < elements[static_cast<std::size_t>(k)]; ++e, from += kind) {
      const std::int32_t to = SlotOf(k, e);
      if (static_cast<std::size_t>(to + kind) > out->size()) continue;
      std::memcpy(out->data() + to, packed.data() + from, static_cast<std::size_t>(kind) * 8);
      if (kind == kTextSlots && fortran) {
        // FORTRAN texts are blank-padded to the whole field.
        char* text = reinterpret_cast<char*>(out->data() + to);
        for (std::size_t c = strnlen(text, kProcTextField); c < kProcTextField; ++c) text[c] = ' ';
      }
    }
  }
}

void ProcArgLayout::Restore(const std::vector<double>& arranged, std::vector<double>* out) const {
  out->assign(arranged.size(), 0.0);
  std::int32_t to = 0;
  for (std::int32_t k = 0; k < ArgumentCount(); ++k) {
    const std::int32_t kind = kinds[static_cast<std::size_t>(k)];
    for (std::int32_t e = 0; e < elements[static_cast<std::size_t>(k)]; ++e, to += kind) {
      const std::int32_t from = SlotOf(k, e);
      if (static_cast<std::size_t>(from + kind) > arranged.size()) continue;
      std::memcpy(out->data() + to, arranged.data() + from, static_cast<std::size_t>(kind) * 8);
      if (kind == kTextSlots && fortran) {
        char* text = reinterpret_cast<char*>(out->data() + to);
        std::size_t n = kProcTextField;
        while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\0')) --n;
        std::memset(text + n, 0, kProcTextField - n);
        text[kProcTextField - 1] = '\0';
      }
    }
  }
}

ProcCallData::ProcCallData(ProcCallExpression* call, ExprADContext* context,
                           DAESProcDef* definition, BvuNameable* equation)
    : call_(call), context_(context), definition_(definition),
      equation_(equation != nullptr ? equation : &g_unnamed) {
  if (definition_ != nullptr && definition_->Language() == procdef::kLanguageFortran) {
    flags_ |= kFortran;
  }
}

const char* ProcCallData::ProcedureName() const {
  if (definition_ == nullptr) return "<undefined>";
  const char* name = definition_->DisplayName();
  return name != nullptr ? name : definition_->ImplementationName().c_str();
}

Status ProcCallData::BuildLayout(ProcIOListExpression* list, ProcArgLayout* layout,
                                 std::int32_t outputs) {
  *layout = ProcArgLayout{};
  layout->fortran = Fortran();
  const std::int32_t n = list != nullptr ? list->ItemCount() : 0;
  std::int32_t slots = 0;
  Status result = 0;
  for (std::int32_t k = 1; k <= n; ++k) {
    Expression* argument = list->ListElement(k);
    const std::uint16_t declared = argument != nullptr ? argument->GetResultType() : 0;
    if ((declared & 0xFF08) == 8) {
      std::cerr << "USING SETS AS ARGUMENTS TO EXTERNAL SUBROUTINES NOT CURRENTLY SUPPORTED"
                << std::endl;
    }
    layout->offsets.push_back(slots + (Fortran() ? 1 : 0));
    std::int32_t count = 1;
    std::uint16_t type = declared & 0x0F;
    const SUValue* value = argument != nullptr ? ArgumentValue(argument, context_) : nullptr;
    std::vector<ProcInt> levels;
    if (value != nullptr && value->IsArray()) {
      std::int32_t depth = 0;
      type = ArrayElementCount(*value, &count, &depth, &levels);
      layout->sizes.insert(layout->sizes.end(), levels.begin(), levels.end());
      if (type == 0) result = procstatus::kArguments;
    } else if ((declared & 0xFF00) != 0) {
      result = procstatus::kArguments;  // an array argument without a value to lay out
      count = 0;
    }
    const std::int32_t kind = type == SUValue::kString ? kTextSlots : 1;
    layout->kinds.push_back(kind);
    layout->dims.push_back(std::move(levels));
    layout->elements.push_back(count);
    layout->types.push_back(type);
    if (outputs > 0) layout->output_starts.push_back(layout->element_count);
    layout->element_count += count;
    slots += count * kind;
  }
  layout->sizes.push_back(0);
  layout->values.assign(static_cast<std::size_t>(slots), 0.0);
  std::int32_t at = 0;
  for (std::int32_t k = 0; k < layout->ArgumentCount(); ++k) {
    for (std::int32_t e = 0; e < layout->elements[static_cast<std::size_t>(k)]; ++e) {
      layout->addresses.push_back(layout->values.data() + at);
      at += layout->kinds[static_cast<std::size_t>(k)];
    }
  }
  return result;
}

Status ProcCallData::BuildCallLayouts(bool with_derivatives) {
  if (call_ == nullptr) return procstatus::kArguments;
  const Status in = BuildLayout(call_->Inputs(), &input_, call_->Outputs()->ItemCount());
  const Status out = BuildLayout(call_->Outputs(), &output_, 0);
  derivatives_.clear();
  pattern_pairs_.clear();
  pattern_values_.clear();
  const std::int64_t entries = EntryBound();
  if (entries > kMaxProcDerivativeEntries) {
    std::int32_t inputs = input_.element_count;
    std::int32_t outputs = output_.element_count;
    // Input and output counts are 32-bit: the product of two stays in a double.
    double kept = static_cast<double>(entries);
    std::int32_t limit = static_cast<std::int32_t>(kMaxProcDerivativeEntries);
    SuPrint(procstatus::kArguments,
            "Procedure %s in equation @es has %d input and %d output values, which would keep "
            "%.0f derivative entries: more than the %d a call may have",
            ProcedureName(), &equation_, &inputs, &outputs, &kept, &limit);
    return procstatus::kArguments;
  }
  if (with_derivatives) {
    derivatives_.assign(static_cast<std::size_t>(input_.element_count) *
                            static_cast<std::size_t>(output_.element_count),
                        0.0);
    if (definition_ != nullptr && definition_->InterfaceVersion() >= 3) {
      // A dense pattern until the procedure asks for its own (task 7):
      // 1-based (output, input) pairs.
      for (std::int32_t o = 1; o <= output_.element_count; ++o) {
        for (std::int32_t i = 1; i <= input_.element_count; ++i) {
          pattern_pairs_.push_back(o);
          pattern_pairs_.push_back(i);
        }
      }
      pattern_values_.assign(pattern_pairs_.size() / 2, 0.0);
    }
  }
  if (context_ != nullptr)
    context_->MarkVariables(static_cast<std::uint32_t>(output_.element_count));
  return status::IsFailure(in) ? in : out;
}

// A pattern pair takes the room of one double.
static_assert(2 * sizeof(ProcInt) == sizeof(double));

std::int64_t ProcCallData::EntryBound() const {
  const auto inputs = static_cast<std::int64_t>(input_.element_count);
  const auto outputs = static_cast<std::int64_t>(output_.element_count);
  std::int64_t entries = inputs * outputs + outputs;
  if (definition_ != nullptr && (definition_->Options() & procdef::kAnalyticDerivatives) != 0) {
    entries += inputs * outputs;
    if (definition_->InterfaceVersion() >= 3) entries += 2 * inputs * outputs;
  }
  return entries;
}

double ProcCallData::Output(std::int32_t position) const {
  if (position < 0 || position >= output_.SlotCount()) return 0.0;
  return output_.values[static_cast<std::size_t>(position)];
}

const double* ProcCallData::DerivativeRow(std::int32_t output) const {
  if (derivatives_.empty() || output < 0 || output >= output_.element_count) return nullptr;
  return derivatives_.data() +
         static_cast<std::size_t>(output) * static_cast<std::size_t>(input_.element_count);
}

double ProcCallData::Residual(double variable, std::int32_t position) const {
  const double o = Output(position);
  return definition_ != nullptr && definition_->InterfaceVersion() >= 3 ? o - variable
                                                                        : variable - o;
}

Status ProcCallData::Report(const char* format, Status status) {
  last_status_ = status;
  if (IsErrorReportingOn() != 0) {
    const char* name = ProcedureName();
    SuPrint(status, format, name, &equation_);
  }
  return status;
}

Status ProcCallData::CallProcedure(std::int32_t task, std::int32_t* need_call) {
  std::int32_t need = 0;
  const std::uint32_t options = definition_ != nullptr ? definition_->Options() : 0;
  if ((flags_ & kCurrent) == 0) ++need;  // the inputs are not known to be current
  if (task != last_task_) ++need;
  if ((options & procflag::kEveryEvaluation) != 0) ++need;
  if (need_call != nullptr) *need_call = need;
  if (definition_ == nullptr) {
    return Report("Error loading procedure %s for equation @es", procstatus::kArguments);
  }
  if (last_task_ < 0) {
    const Status load = definition_->LoadProcedure();
    if (status::IsFailure(load)) return Report("Error loading procedure %s for equation @es", load);
  }
  const bool with_outputs = last_task_ < 0 || (options & procflag::kOutputsIn) != 0;
  const bool keep_outputs = (options & procflag::kOutputsIn) != 0 && task == 3;
  if (context_ == nullptr || !context_->HasTape()) {
    return Report("Error evaluating arguments to procedure %s in equation @es",
                  procstatus::kArguments);
  }
  // An array argument gathers its elements' values when asked for its value;
  // the tape holds on to the array itself. Outputs only when they go in.
  for (ProcIOListExpression* list :
       {call_ != nullptr ? call_->Inputs() : nullptr,
        call_ != nullptr && with_outputs ? call_->Outputs() : nullptr}) {
    for (std::int32_t k = 1; list != nullptr && k <= list->ItemCount(); ++k) {
      Expression* argument = list->ListElement(k);
      if (argument != nullptr && (argument->GetResultType() & 0xFF00) != 0) {
        ArgumentValue(argument, context_);
      }
    }
  }
  std::vector<double>& saved = SavedOutputs();
  if (keep_outputs) saved.assign(output_.values.begin(), output_.values.end());
  bool changed = need != 0;
  ProcArea in{reinterpret_cast<std::uint8_t*>(input_.values.data()),
              input_.values.size() * sizeof(double), 0};
  ProcArea out{with_outputs ? reinterpret_cast<std::uint8_t*>(output_.values.data()) : nullptr,
               with_outputs ? output_.values.size() * sizeof(double) : 0, 0};
  // Without the outputs the tape still walks them: give it a scratch area.
  std::vector<double> scratch;
  if (!with_outputs) {
    scratch = output_.values;
    out = ProcArea{reinterpret_cast<std::uint8_t*>(scratch.data()), scratch.size() * sizeof(double),
                   0};
  }
  const Status packed = context_->RunTapeWithIO(in, out, &changed, 0);
  if (status::IsFailure(packed)) {
    return Report("Error evaluating arguments to procedure %s in equation @es", packed);
  }
  if (changed && need == 0) need = 1;
  if (need_call != nullptr) *need_call = need;
  if (need == 0) {
    if (!status::IsFailure(last_status_)) return last_status_;
    return Report("Procedure %s failed again in equation @es", last_status_);
  }

  ProcInt fail = 1;
  ProcInt props = (options & procdef::kPropertiesId) != 0 ? properties_id_ : 0;
  ProcInt work_length = static_cast<ProcInt>(work_.size());
  ProcInt n_out = output_.element_count;
  ProcInt n_in = input_.element_count;
  ProcInt call_task = task;
  const bool derivative_task = (task == 3 || task == 4) && !derivatives_.empty();
  double* derivs = nullptr;
  if (derivative_task && definition_->InterfaceVersion() < 3) {
    if (Fortran()) {
      std::vector<double>& t = TransposeArray();
      if (t.size() < derivatives_.size()) t.resize(derivatives_.size(), 0.0);
      derivs = t.data();
    } else {
      derivs = derivatives_.data();
    }
  }
  ProcInt pattern_count = static_cast<ProcInt>(pattern_values_.size());
  ProcCallArguments a;
  const bool arrange_in = input_.NeedsArranging();
  const bool arrange_out = output_.NeedsArranging();
  if (arrange_in) input_.Arrange(input_.values, &call_inputs_);
  if (arrange_out) output_.Arrange(output_.values, &call_outputs_);
  a.inputs = arrange_in ? call_inputs_.data() : input_.values.data();
  a.input_sizes = input_.sizes.data();
  a.outputs = arrange_out ? call_outputs_.data() : output_.values.data();
  a.output_sizes = output_.sizes.data();
  a.input_offsets = input_.offsets.data();
  a.output_offsets = output_.offsets.data();
  a.fail_code = &fail;
  a.properties_id = &props;
  a.work = work_.data();
  a.work_length = &work_length;
  a.derivatives = derivs;
  a.output_count = &n_out;
  a.input_count = &n_in;
  a.task = &call_task;
  a.pattern_count = &pattern_count;
  a.pattern_pairs = pattern_pairs_.empty() ? nullptr : pattern_pairs_.data();
  a.pattern_values = pattern_values_.empty() ? nullptr : pattern_values_.data();
  const bool new_interface = definition_->InterfaceVersion() >= 3;
  Status st = new_interface ? definition_->CallNewInterface(a) : definition_->CallOldInterface(a);
  // Back into the tape's order, where the rows and the checks read them.
  if (arrange_in) input_.Restore(call_inputs_, &input_.values);
  if (arrange_out) output_.Restore(call_outputs_, &output_.values);
  if (new_interface && call_task == 7 && fail == 1) {
    // The procedure asks for a pattern of pattern_count entries; a count
    // outside inputs x outputs is refused and nothing is made.
    if (pattern_count < 0 || static_cast<std::int64_t>(pattern_count) >
                                 static_cast<std::int64_t>(input_.element_count) *
                                     static_cast<std::int64_t>(output_.element_count)) {
      fail = 4;
    } else {
      pattern_pairs_.assign(2 * static_cast<std::size_t>(pattern_count), 0);
      pattern_values_.assign(static_cast<std::size_t>(pattern_count), 0.0);
    }
  }
  last_task_ = new_interface ? call_task : task;
  if (last_task_ >= 0)
    flags_ |= kCurrent;
  else
    flags_ &= ~kCurrent;

  ProcInt shown = fail;
  switch (fail) {
    case 1:
      break;
    case 2:
      st = procstatus::kWarning;
      break;
    case 3:
      st = procstatus::kError;
      break;
    case 4:
      st = procstatus::kSevere;
      break;
    case 5:
      st = procstatus::kSevere;
      shown = 4;
      break;
    default:
      st = procstatus::kWarning;
      break;
  }
  bool math_failure = false;
  std::string math_text;
  const Status math = MathErrorStatus.status();
  if (status::IsFailure(math)) {
    if (fail < 2) st = math;
    math_failure = true;
    math_text = MathErrorStatus.text();
  }
  MathErrorStatus.Reset();

  if (status::IsFailure(st)) {
    if (!status::IsFailure(last_status_)) {
      const Status shown_status = fail == 5 || IsErrorReportingOn() == 0 ? 0 : st;
      const char* name = ProcedureName();
      if (math_failure) {
        SuPrint(shown_status,
                "Procedure %s failed in equation @es\nIllegal mathematical operation (%s) in user "
                "code.\nProcedure fail code %d",
                name, &equation_, math_text.c_str(), &shown);
      } else {
        SuPrint(shown_status, "Procedure %s failed in equation @es, fail code %d", name, &equation_,
                &shown);
      }
    }
    last_status_ = st;
    if (status::IsSevere(st) || IsErrorReportingOn() != 0) return st;
  }
  last_status_ = st;
  if (st != 0 && PrintLevel() != 0) {
    const char* name = ProcedureName();
    if (status::IsFailure(st)) {
      SuPrint(0, "Errors(s) issued by procedure %s in equation @es, return code=%d", name,
              &equation_, &shown);
    } else {
      SuPrint(st, "Warning(s) issued by procedure %s in equation @es, return code=%d", name,
              &equation_, &shown);
    }
  }
  if (derivative_task) {
    const std::size_t nin = static_cast<std::size_t>(input_.element_count);
    const std::size_t nout = static_cast<std::size_t>(output_.element_count);
    if (new_interface) {
      // The sparse pattern gives d(output)/d(input), which is the
      // residual's derivative at this version; entries out of range are
      // dropped.
      std::fill(derivatives_.begin(), derivatives_.end(), 0.0);
      for (std::size_t k = 0; k < pattern_values_.size(); ++k) {
        const ProcInt r = pattern_pairs_[2 * k], c = pattern_pairs_[2 * k + 1];
        if (r >= 1 && c >= 1 && static_cast<std::size_t>(r) <= nout &&
            static_cast<std::size_t>(c) <= nin) {
          derivatives_[static_cast<std::size_t>(r - 1) * nin + static_cast<std::size_t>(c - 1)] +=
              pattern_values_[k];
        }
      }
    } else if (Fortran()) {
      const std::vector<double>& t = TransposeArray();
      for (std::size_t o = 0; o < nout; ++o)
        for (std::size_t i = 0; i < nin; ++i) derivatives_[o * nin + i] = -t[o + i * nout];
    } else {
      for (double& d : derivatives_) d = -d;
    }
  }
  if (keep_outputs) std::copy(saved.begin(), saved.end(), output_.values.begin());
  return st;
}

bool ProcCallData::KeptInterpreted() const {
  return definition_ == nullptr || definition_->InterfaceVersion() >= 3 ||
         (definition_->Options() & procflag::kReturnsInputs) != 0;
}

void ProcCallData::TellPrecall() {
  const std::uint32_t options = definition_ != nullptr ? definition_->Options() : 0;
  if ((options & procdef::kPrecall) != 0 && PrintLevel() > 2) {
    SuPrint(0, "Precalling procedure %s in equation @es", ProcedureName(), &equation_);
  }
}

Status ProcCallData::Precall(std::int32_t mode) {
  const std::uint32_t options = definition_ != nullptr ? definition_->Options() : 0;
  std::int32_t task = -1;
  switch (mode) {
    case 1:
      if ((options & procdef::kPrecall) == 0) return 0;
      task = 1;
      TellPrecall();
      break;
    case 2:
      if ((options & procdef::kPostcall) == 0) return 0;
      task = 2;
      break;
    case 5:
    case 6:
      if ((options & procdef::kProblemCalls) == 0) return 0;
      task = mode;
      break;
    default:
      return 0;
  }
  Status st = CallProcedure(task, nullptr);
  if (mode == 2 || mode == 6) return st;
  if (!status::IsFailure(st) && (options & procflag::kReturnsInputs) != 0) {
    st = CheckCallResults(true);
  }
  Reset();
  return st;
}

Status ProcCallData::CheckCallResults(bool inputs) {
  Status result = 0;
  auto fail = [&](Status s) {
    if (!status::IsFailure(result)) result = s;
  };
  if (inputs && call_ != nullptr) {
    ProcIOListExpression* list = call_->Inputs();
    std::size_t at = 0;
    for (std::int32_t k = 0; k < input_.ArgumentCount(); ++k) {
      const std::size_t kk = static_cast<std::size_t>(k);
      const std::int32_t count = input_.elements[kk];
      const std::uint16_t type = input_.types[kk];
      Expression* argument = list->ListElement(k + 1);
      ExpressionVariable* v = argument != nullptr ? argument->BoundVariable() : nullptr;
      if (v == nullptr && argument != nullptr && argument->ClassId() == exprclass::kVarRef) {
        v = context_->GetVariable(
            static_cast<std::int32_t>(static_cast<VarRefExpression*>(argument)->Offset()));
      }
      SUValue* value = v != nullptr ? v->ValuePointer() : nullptr;
      const double* slot = input_.values.data() + at;
      if (value != nullptr && !value->IsArray() && count == 1) {
        if (type == SUValue::kReal) {
          if (!std::isfinite(slot[0])) {
            fail(procstatus::kIndefinite);
          } else {
            value->SetReal(slot[0]);
          }
        } else if (type == SUValue::kString) {
          char text[41] = {};
          std::memcpy(text, slot, 40);
          std::size_t n = strnlen(text, 40);
          if (Fortran()) {
            while (n > 0 && text[n - 1] == ' ') --n;
          }
          text[n] = '\0';
          value->SetString(text);
        } else if (type == SUValue::kInteger) {
          std::int64_t i = 0;
          std::memcpy(&i, slot, 8);
          value->Assign(SUValue::ConstructInt(static_cast<std::int32_t>(i), value->type));
        }
      } else if (type == SUValue::kReal) {
        for (std::int32_t e = 0; e < count; ++e) {
          if (!std::isfinite(slot[e])) fail(procstatus::kIndefinite);
        }
      }
      at += static_cast<std::size_t>(count * input_.kinds[kk]);
    }
  }
  std::size_t at = 0;
  for (std::int32_t k = 0; k < output_.ArgumentCount(); ++k) {
    const std::size_t kk = static_cast<std::size_t>(k);
    const std::int32_t count = output_.elements[kk];
    if (output_.types[kk] == SUValue::kReal) {
      for (std::int32_t e = 0; e < count; ++e) {
        if (!std::isfinite(output_.values[at + static_cast<std::size_t>(e)])) {
          fail(procstatus::kIndefinite);
        }
      }
    }
    at += static_cast<std::size_t>(count * output_.kinds[kk]);
  }
  return result;
}
