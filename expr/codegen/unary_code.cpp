// C++ value and derivative code of unary nodes, set-index expansion and
// iterator levels, and the builder description.
#include <algorithm>
#include <cctype>
#include <ostream>
#include <sstream>

#include "expr/codegen/code_text.h"
#include "expr/codegen/code_writer.h"
#include "expr/tree/list_expression.h"
#include "expr/tree/unary_expression.h"

using codetext::Emit;
using codetext::Factor;
using codetext::Statement;
using codetext::ValueText;

namespace {

constexpr std::uint32_t kAnyOf0281 = 0x0281;

bool IsAggregateRow(std::uint16_t op) {
  return op == kSigma || op == kProd || op == kMaxList || op == kMinList || op == kUnionFn ||
         op == kDiffFn || op == kISectFn || op == kSymDiffFn;
}

bool IsSetFunction(std::uint16_t op) {
  return op == kUnionFn || op == kDiffFn || op == kISectFn || op == kSymDiffFn;
}

// The opening text of a plain unary row and whether ")" closes it; false
// for a row without value code.
bool OpeningText(std::uint16_t op, std::uint16_t type, std::string* open, bool* close) {
  *close = false;
  switch (op) {
    case kPlus:
      *open = "";
      return true;
    case kNot:
      *open = "QV_not(";
      *close = true;
      return true;
    case kMinus:
      *open = "(-";
      *close = true;
      return true;
    case kFloat:
      *open = "double";
      return true;
    case kRound:
      *open = "iround";
      return true;
    case kTruncate:
      *open = "itrunc";
      return true;
    case kSqr:
      *open = "sqr";
      return true;
    case kSize:
      *open = "QV_SizeOfSet";
      return true;
    case kConv2R:
    case kConv2I:
    case kConv2:
      *open =
          (type & SUValue::kKindMask) == SUValue::kReal ? "QV_ConvertToReal" : "QV_ConvertToInt";
      return true;
    default:
      break;
  }
  static const struct {
    std::uint16_t op;
    const char* text;
  } kFunctions[] = {
      {kSin, "sin(double"},     {kCos, "cos(double"},   {kTan, "tan(double"},
      {kASin, "asin(double"},   {kACos, "acos(double"}, {kATan, "atan(double"},
      {kSinh, "sinh(double"},   {kCosh, "cosh(double"}, {kTanh, "tanh(double"},
      {kSqrt, "sqrt(double"},   {kExp, "exp(double"},   {kLoge, "log(double"},
      {kLog10, "log10(double"}, {kAbs, "fabs(double"},
  };
  for (const auto& f : kFunctions) {
    if (f.op == op) {
      *open = f.text;
      *close = true;
      return true;
    }
  }
  return false;
}

// d(op x)/dx as text; false for a row without one.
bool DerivativeText(std::uint16_t op, const std::string& x, std::string* text) {
  switch (op) {
    case kMinus:
      *text = "-1.0";
      return true;
    case kRound:
    case kTruncate:
      *text = "0.0";
      return true;
    case kSin:
      *text = "cos(double(" + x + "))";
      return true;
    case kCos:
      *text = "-sin(double(" + x + "))";
      return true;
    case kTan:
      *text = "1.0/sqr(cos(double(" + x + ")))";
      return true;
    case kASin:
      *text = "1.0/sqrt(1.0-sqr(" + x + "))";
      return true;
    case kACos:
      *text = "-1.0/sqrt(1.0-sqr(" + x + "))";
      return true;
    case kATan:
      *text = "1.0/(1.0+sqr(" + x + "))";
      return true;
    case kSinh:
      *text = "cosh(double(" + x + "))";
      return true;
    case kCosh:
      *text = "sinh(double(" + x + "))";
      return true;
    case kTanh:
      *text = "1.0/sqr(cosh(double(" + x + ")))";
      return true;
    case kSqrt:
      *text = "1.0/(2.0*sqrt(double(" + x + ")))";
      return true;
    case kExp:
      *text = "exp(double(" + x + "))";
      return true;
    case kLoge:
      *text = "1.0/" + x;
      return true;
    case kLog10:
      *text = "1.0/(M_LN10*" + x + ")";
      return true;
    case kAbs:
      *text = "sign(" + x + ")";
      return true;
    case kSqr:
      *text = "2.0*" + x;
      return true;
    default:
      return false;
  }
}

void Line(ExprCodeWriter& writer, std::ostream* s, const std::string& text,
          std::int32_t delta = 0) {
  if (s != nullptr) Indent(writer, *s, delta) << text << '\n';
}

// The FOREACH chain that is an aggregate's only item, or null.
Expression* SingleForEach(Expression* operand) {
  if (operand == nullptr) return nullptr;
  if (operand->Op() == kForEach) return operand;
  auto* list = dynamic_cast<ListExpression*>(operand);
  if (list != nullptr && list->ItemCount() == 1 && list->ListElement(1)->Op() == kForEach) {
    return list->ListElement(1);
  }
  return nullptr;
}

std::vector<Expression*> Items(Expression* operand) {
  std::vector<Expression*> items;
  if (auto* list = dynamic_cast<ListExpression*>(operand)) {
    for (std::int32_t i = 1; i <= list->ItemCount(); ++i) items.push_back(list->ListElement(i));
  } else if (operand != nullptr) {
    items.push_back(operand);
  }
  return items;
}

}  // namespace

// --- value code ---

Status UnaryExpression::WriteValueCode(ExprCodeWriter& writer, CodeOutputs& out,
                                       std::uint32_t& flags) {
  const std::uint32_t incoming = flags;
  if (op_ != kNop && !IsDeRef())
    writer.NotifyBuilder(writer.builder_path, kBuilderOperator, std::to_string(op_));
  if (out[codestream::kOperation] != nullptr && (flags & 0x4280) == 0 && !IsDeRef()) {
    Line(writer, out[codestream::kOperation],
         "AddOp((EOp)" + std::to_string(op_) + ",eq_count-1);");
  }
  if (operand_ == nullptr) return 1;
  Status result = 0;
  const bool structure = codetext::Structure(flags);

  if (IsAggregateRow(op_)) {
    const std::uint16_t saved = writer.aggregate_op;
    writer.aggregate_op = op_;
    if (IsSetFunction(op_)) flags |= codeflag::kSetFunction;
    const bool mirror = (flags & codeflag::kMirror) != 0;
    // The parentheses belong to the value text; the structure streams get
    // the comment lines instead.
    Emit(out, flags, false, "(");
    if (!mirror) {
      const std::string head = std::string("{ // ") + OperatorName(op_);
      Line(writer, out[codestream::kNonZero], head);
      if (out[codestream::kOperation] != nullptr) Line(writer, out[codestream::kOperation], head);
      ++writer.indent;
    }
    {
      const codetext::PathStep step(writer, 'R');
      result = operand_->WriteValueCode(writer, out, flags);
    }
    writer.LinkArgument(writer.builder_path + "R", writer.builder_path);
    if (!mirror) {
      --writer.indent;
      const std::string tail = std::string("} // ") + OperatorName(op_);
      Line(writer, out[codestream::kNonZero], tail);
      Line(writer, out[codestream::kOperation], tail);
      Line(writer, out[codestream::kOperation], "AddOp(Noop, eq_count-1);");
    }
    Emit(out, flags, false, ")");
    writer.aggregate_op = saved;
  } else if (IsDeRef()) {
    std::uint32_t inner = flags & ~codeflag::kNoDereference;
    if ((flags & kAnyOf0281) != 0) {
      const codetext::PathStep step(writer, 'R');
      result = operand_->WriteValueCode(writer, out, inner);
      if ((Flags() & 0x0008) != 0 && operand_->IsConstant()) {
        SUValue name;
        if (!status::IsFailure(operand_->Evaluate(name, nullptr)) &&
            (name.Kind() == SUValue::kName || name.Kind() == SUValue::kString) &&
            name.GetString() != nullptr) {
          std::string upper = name.GetString();
          for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
          writer.dereferenced_names.push_back(upper);
        }
      }
    } else {
      if (out[codestream::kNonZero] != nullptr)
        Indent(writer, *out[codestream::kNonZero]) << "AddNonZero(";
      if (out[codestream::kOperation] != nullptr)
        Indent(writer, *out[codestream::kOperation]) << "AddTerm(";
      inner |= codeflag::kInTerm;
      {
        const codetext::PathStep step(writer, 'R');
        result = operand_->WriteValueCode(writer, out, inner);
      }
      if (out[codestream::kNonZero] != nullptr) *out[codestream::kNonZero] << ");\n";
      if (out[codestream::kOperation] != nullptr)
        *out[codestream::kOperation] << ", irow, icol, eq_count-1);\n";
    }
    if ((Flags() & 0x0040) != 0 && GetResultType() == SUValue::kStringSet) {
      writer.NotifyBuilder(writer.builder_path, kBuilderName, ".COMPONENTS");
      const bool to_structure = !((flags & codeflag::kValueOnly) != 0 && (flags & 0x0280) == 0);
      Emit(out, flags, to_structure, ".COMPONENTS");
    }
    if ((flags & 0x0681) != 0) Emit(out, flags, (flags & kAnyOf0281) != 0, ".v()");
  } else {
    std::string open;
    bool close = false;
    if (op_ == kConv2S || (op_ == kConv2 && (GetResultType() & 0x0F) == SUValue::kString)) {
      Emit(out, flags, structure, "SUValue(QV_ConvertToStr(");
      const codetext::PathStep step(writer, 'R');
      result = operand_->WriteValueCode(writer, out, flags);
      Emit(out, flags, structure, ")).String()");
    } else if (OpeningText(op_, GetResultType(), &open, &close)) {
      if (op_ == kTruncate) flags |= codeflag::kSetFunction;
      if (!open.empty()) Emit(out, flags, structure, open + "(");
      {
        const codetext::PathStep step(writer, 'R');
        result = operand_->WriteValueCode(writer, out, flags);
      }
      if (!open.empty()) Emit(out, flags, structure, close ? "))" : ")");
    } else {
      if (out[codestream::kValue] != nullptr) {
        *out[codestream::kValue] << "***NOT implemented unary operator" << op_ << "***";
      }
      result = 1;
    }
  }
  flags = (flags & ~codeflag::kValueOnly) | (incoming & codeflag::kValueOnly);
  return result;
}

// --- derivative code ---

Status UnaryExpression::WriteDerivativeCode(ExprCodeWriter& writer, CodeOutputs& out,
                                            std::int32_t d) {
  if (operand_ == nullptr) return 1;
  if (op_ == kPlus || op_ == kNop) return operand_->WriteDerivativeCode(writer, out, d);
  if (op_ == kFloat || op_ == kConv2 || op_ == kConv2R || op_ == kConv2I || op_ == kConv2S) {
    return 0;
  }
  if (IsDeRef()) {
    if ((operand_->GetResultType() & 0x0F) != SUValue::kName) {
      return operand_->WriteDerivativeCode(writer, out, d);
    }
    Statement(writer, out, "jac[nz_count++]=" + (d == 0 ? std::string("1.0") : Factor(d)) + ";");
    return 0;
  }
  std::string text;
  if (DerivativeText(op_, ValueText(writer, operand_), &text)) {
    if (d == 0) Statement(writer, out, "factor1=1.0;");
    Statement(writer, out,
              Factor(d + 1) + "=" + text + (d > 0 ? " * factor" + std::to_string(d) : "") + ";");
    return operand_->WriteDerivativeCode(writer, out, d + 1);
  }
  if (op_ != kSigma && op_ != kProd && op_ != kMaxList && op_ != kMinList) {
    return codetext::NoDerivative(writer, out, this);
  }

  // Aggregates.
  if (d == 0) Statement(writer, out, "factor1=1.0;");
  const std::uint16_t saved = writer.aggregate_op;
  writer.aggregate_op = op_;
  const std::string name = OperatorName(op_);
  Statement(writer, out, "{ // " + name + " diff");
  ++writer.indent;
  Status result = 0;
  Expression* chain = SingleForEach(operand_);
  if (chain != nullptr) {
    const bool extreme = op_ == kMaxList || op_ == kMinList;
    std::string function;
    if (op_ != kSigma) {
      function = codetext::WriteAggregateFunction(writer, chain, &result);
      Statement(writer, out, "int iTerm=0;");
      if (extreme) {
        std::ostringstream call;
        call << "double dMinMax=" << function;
        std::ostringstream args;
        WriteSetIterParams(writer.loop_types, args, false, false, false);
        std::string a = args.str();
        a.insert(a.size() - 1, writer.loop_types.empty() ? "-1" : ", -1");
        Statement(writer, out, call.str() + a + ";");
      }
    }
    const std::vector<std::uint16_t> enclosing = writer.loop_types;
    Expression* item = chain;
    while (item != nullptr && item->Op() == kForEach && item->Operand(2) != nullptr) {
      Expression* set = item->Operand(2);
      const bool strings = (set->GetResultType() & SUValue::kKindMask) == SUValue::kString;
      const std::string set_code = ValueText(writer, set, codeflag::kValueOnly);
      writer.loop_types.push_back(strings ? SUValue::kString : SUValue::kInteger);
      if (out[codestream::kValue] != nullptr) {
        WriteSetIterationHeader(writer, *out[codestream::kValue], strings,
                                static_cast<std::uint32_t>(writer.loop_types.size()), set_code);
      }
      item = item->Operand(1);
    }
    if (op_ != kSigma) {
      std::ostringstream args;
      WriteSetIterParams(enclosing, args, false, true, extreme);
      Statement(
          writer, out,
          Factor(d + 1) + "=" + function + args.str() + (d > 0 ? " * " + Factor(d) : "") + ";");
      if (item != nullptr) result |= item->WriteDerivativeCode(writer, out, d + 1);
    } else if (item != nullptr) {
      result |= item->WriteDerivativeCode(writer, out, d);
    }
    while (writer.loop_types.size() > enclosing.size()) {
      writer.loop_types.pop_back();
      --writer.indent;
      Statement(writer, out, "} // end of iterator vars loop in diff");
    }
  } else if (op_ == kSigma) {
    result = operand_->WriteDerivativeCode(writer, out, d);
  } else {
    // A plain list: each term's factor is written out here, as the aggregate
    // function would give it for that term.
    const std::vector<Expression*> items = Items(operand_);
    std::vector<std::string> values;
    for (Expression* item : items) values.push_back(ValueText(writer, item));
    std::string extreme;
    if (op_ != kProd && !values.empty()) {
      const char* fn = op_ == kMaxList ? "QV_max(" : "QV_min(";
      extreme = values.back();
      for (std::size_t i = values.size() - 1; i-- > 0;) {
        extreme = fn + values[i] + "," + extreme + ")";
      }
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
      std::string factor;
      if (op_ == kProd) {
        for (std::size_t j = 0; j < items.size(); ++j) {
          if (j == i) continue;
          factor += (factor.empty() ? "" : "*") + values[j];
        }
        if (factor.empty()) factor = "1.0";
      } else {
        // The first term that reaches the extreme takes the whole derivative.
        factor = "((" + values[i] + ")==(" + extreme + ")";
        for (std::size_t j = 0; j < i; ++j) {
          factor += " && !((" + values[j] + ")==(" + extreme + "))";
        }
        factor += " ? 1.0 : 0.0)";
      }
      Statement(writer, out, Factor(d + 1) + "=" + factor + (d > 0 ? " * " + Factor(d) : "") + ";");
      result |= items[i]->WriteDerivativeCode(writer, out, d + 1);
    }
  }
  --writer.indent;
  Statement(writer, out, "} // end of " + name + " diff");
  writer.aggregate_op = saved;
  return result;
}

// --- iterators ---

Status UnaryExpression::ExpandSetIndices(std::int32_t level_base, SetIterators& iterators,
                                         Expression* iterator, std::int32_t& count) {
  if (operand_ == nullptr) return 0;
  const Status s = operand_->ExpandSetIndices(level_base, iterators, iterator, count);
  node_count_ = operand_->NodeCount() + 1;
  return s;
}

Status UnaryExpression::AssignIteratorLevels(std::int32_t offset, std::vector<std::string>& names,
                                             std::int32_t level, bool in_loop) {
  if (operand_ == nullptr) return 0;
  auto* constant = dynamic_cast<TerminalExpression*>(operand_);
  if (!IsDeRef() || (Flags() & 0x0004) == 0 || constant == nullptr ||
      constant->Value().Kind() != SUValue::kName) {
    return operand_->AssignIteratorLevels(offset, names, level, in_loop);
  }
  if (!in_loop) return offset > 0 ? 0 : 0x8030FFFFu;
  SUValue& value = constant->Value();
  if (static_cast<std::int32_t>(value.name.second) + 1 > level && offset != 0) {
    const char* text = value.GetString() != nullptr ? value.GetString() : "";
    if (std::find(names.begin(), names.end(), text) == names.end()) names.emplace_back(text);
    value.name.third = 3;
    value.name.second = static_cast<std::uint8_t>(offset - 1 + level + 1);
  }
  return (offset > 0 || level + 1 >= 1) ? 0 : 0x8030FFFFu;
}

// --- builder ---

Status UnaryExpression::DescribeToBuilder(ExprCodeWriter& writer) {
  if (op_ != kNop) writer.NotifyBuilder(writer.builder_path, kBuilderOperator, std::to_string(op_));
  if (operand_ == nullptr || !(IsDeRef() || IsAggregateRow(op_))) return 0;
  Status s = 0;
  {
    const codetext::PathStep step(writer, 'R');
    s = operand_->DescribeToBuilder(writer);
  }
  writer.LinkArgument(writer.builder_path + "R", writer.builder_path);
  return s;
}
