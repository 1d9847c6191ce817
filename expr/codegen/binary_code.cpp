// C++ value and derivative code of binary nodes, set-index expansion and
// iterator levels, and the builder description.
#include <cstdio>
#include <ostream>
#include <sstream>

#include "expr/codegen/code_text.h"
#include "expr/codegen/code_writer.h"
#include "expr/tree/binary_expression.h"
#include "expr/tree/unary_expression.h"

using codetext::Cat;
using codetext::Emit;
using codetext::Factor;
using codetext::Statement;
using codetext::ValueText;

namespace {

constexpr Status kIteratorTypeMismatch = 0x80300237u;
constexpr Status kDimensionsLeft = 0x80300230u;

struct Texts {
  const char* open = "";
  const char* middle = "";
  const char* close = "";
  const char* marker = nullptr;  // a row without value code
};

const char* const kComparisons[] = {"==", ">", "<", ">=", "<=", "!="};
const char* const kTextComparisons[] = {")==0)", ")>0)", ")<0)", ")>=0)", ")<=0)", ")!=0)"};

bool IsString(const Expression* node) {
  return node != nullptr && (node->GetResultType() & 0x0F) == SUValue::kString;
}

const char* SetClass(std::uint16_t type) {
  if (type == SUValue::kIntSet || type == SUValue::kOrderedIntSet) return "QV_IntSetValue(";
  if (type == SUValue::kStringSet || type == SUValue::kOrderedStringSet) return "QV_StrSetValue(";
  return "QV_SetValue(";
}

Texts TextsFor(std::uint16_t op, const Expression* node, const Expression* first,
               const Expression* second, std::uint32_t* flags) {
  Texts t;
  auto infix = [&](const char* middle) {
    t.open = "(";
    t.middle = middle;
    t.close = ")";
  };
  auto call = [&](const char* open) {
    t.open = open;
    t.middle = ",";
    t.close = ")";
  };
  switch (op) {
    case kAnd:
      infix("&&");
      return t;
    case kOr:
      infix("||");
      return t;
    case kXor:
      infix("^");
      return t;
    case kAdd:
      infix("+");
      return t;
    case kSub:
      infix("-");
      return t;
    case kMul:
      infix("*");
      return t;
    case kMod:
      infix("%");
      return t;
    case kDiv:
      t.open = "(";
      t.middle = "/double(";
      t.close = "))";
      return t;
    case kPow:
      t.open = "pow(double(";
      t.middle = "),double(";
      t.close = "))";
      return t;
    case kSlice:
      *flags |= codeflag::kSetFunction;
      t.open = SetClass(node->GetResultType());
      t.middle = ",";
      t.close = ")";
      return t;
    case kUnion:
    case kDiff:
    case kIntSect:
    case kSymDiff: {
      static const char* const kMiddles[] = {"+=", "-=", "*=", "/="};
      t.open = SetClass(node->GetResultType());
      t.middle = kMiddles[op - kUnion];
      t.close = ")";
      return t;
    }
    case kIn:
      call("QV_In(");
      return t;
    case kDelay:
      call("QV_Delay(");
      return t;
    case kConcat:
      call("QV_Concat(");
      return t;
    case kMax:
      call("QV_max(");
      return t;
    case kMin:
      call("QV_min(");
      return t;
    case kMatmul:
      t.marker = " ***NotImplOperator Matmul *** ";
      return t;
    case kAssignment:
      t.marker = " ***NotImplOperator AssignOp *** ";
      return t;
    default:
      break;
  }
  const bool string_row = op >= kSEq && op <= kSNe;
  const bool number_row = (op >= kEq && op <= kNe) || (op >= kIEq && op <= kINe);
  if (string_row || number_row) {
    const int k = string_row ? op - kSEq : op >= kIEq ? op - kIEq : op - kEq;
    if (string_row || (IsString(first) && IsString(second))) {
      t.open = "(SUValue::CompareCI(";
      t.middle = ",";
      t.close = kTextComparisons[k];
    } else {
      infix(kComparisons[k]);
    }
    return t;
  }
  t.marker = " ***NotImplDefaultOperator*** ";
  return t;
}

void Link(ExprCodeWriter& writer, char step) {
  if (writer.Notifying()) writer.LinkArgument(Cat(writer.builder_path, step), writer.builder_path);
}

std::string Times(std::int32_t d, const char* sep = " * ") {
  return d > 0 ? Cat(sep, Factor(d)) : std::string();
}

std::string OrZero(std::int32_t d) { return d > 0 ? Cat(" || ", Factor(d), "==0") : std::string(); }

}  // namespace

// --- value code ---

Status BinaryExpression::WriteValueCode(ExprCodeWriter& writer, CodeOutputs& out,
                                        std::uint32_t& flags) {
  const std::uint32_t incoming = flags;
  const bool structure = codetext::Structure(flags);
  Status result = 0;
  auto restore = [&] {
    flags = (flags & ~codeflag::kValueOnly) | (incoming & codeflag::kValueOnly);
  };
  if (first_ == nullptr || second_ == nullptr) return 1;

  if (op_ == kForEach) {
    if (writer.aggregate_op == kNop) {
      Emit(out, flags, structure, " ***NotImplDefaultOperator*** ");
      return 1;
    }
    const std::string name = codetext::WriteAggregateFunction(writer, this, &result);
    std::ostringstream args;
    WriteSetIterParams(writer.loop_types, args, false, false, false);
    Emit(out, flags, structure, Cat(name, args.str()));
    restore();
    return result;
  }

  const char* open = "";
  const char* middle = "";
  const char* close = "";
  if (op_ == kVec) {
    middle = first_->Op() == kVec ? "," : "(";
    if ((Flags() & 0x0001) == 0) close = ")";
  } else if (op_ == kSubId) {
    const bool plain = second_->Op() == kTerm && (second_->Flags() & 0x0800) != 0;
    if (!plain) open = "(*";
    middle = plain ? "." : ").";
  } else if (op_ == kDeriv) {
    middle = ".DERIVATIVE()";
  } else {
    const Texts t = TextsFor(op_, this, first_, second_, &flags);
    if (t.marker != nullptr) {
      Emit(out, flags, structure, t.marker);
      return 1;
    }
    open = t.open;
    middle = t.middle;
    close = t.close;
  }

  if (*open != '\0') Emit(out, flags, structure, open);
  {
    const codetext::PathStep step(writer, 'L');
    std::uint32_t f = flags;
    if (op_ == kVec && first_->Op() == kVec) f |= codeflag::kIndexChain;
    result |= first_->WriteValueCode(writer, out, f);
    flags |= f & codeflag::kSetFunction;
  }
  Link(writer, 'L');
  if (first_->Op() == kVec && op_ != kVec && op_ != kSubId && op_ != kDeriv &&
      (flags & (codeflag::kNoVecAccessor | codeflag::kPlainValue)) == 0) {
    Emit(out, flags, structure, ".v()");
  }
  Emit(out, flags, structure, middle);
  if (op_ != kDeriv) {
    {
      const codetext::PathStep step(writer, 'R');
      std::uint32_t f = flags;
      result |= second_->WriteValueCode(writer, out, f);
    }
    Link(writer, 'R');
  }
  if (*close != '\0') Emit(out, flags, structure, close);
  restore();
  return result;
}

// --- derivative code ---

Status BinaryExpression::WriteDerivativeCode(ExprCodeWriter& writer, CodeOutputs& out,
                                             std::int32_t d) {
  if (first_ == nullptr || second_ == nullptr) return 1;
  std::ostream* s = out[codestream::kValue];
  auto write = [&](const std::string& text) {
    if (s != nullptr) *s << text;
  };
  if (op_ == kVec) {
    Statement(writer, out, Cat("jac[nz_count++]=", d == 0 ? std::string("1.0") : Factor(d), ";"));
    return 0;
  }
  if (op_ == kSubId) {
    Status r = 0;
    if (second_->Op() == kSubId) {
      r = second_->WriteDerivativeCode(writer, out, d);
    } else if (d == 0) {
      write("1.0;\n");
    }
    write(" /***NotImplOperator SubId ***/ ");
    return r;
  }
  if (op_ == kMod) {
    write(" ***NotImplOperator Mod *** ");
    return 1;
  }
  if (op_ == kAssignment) {
    write(" ***NotImplOperator AssignOp *** ");
    return 1;
  }
  if (op_ == kSlice) {
    write(",");
    return 0;
  }
  if (d == 0 && op_ != kForEach) Statement(writer, out, "factor1=1.0;");
  const std::string f1 = Factor(d + 1);
  switch (op_) {
    case kAdd:
      return first_->WriteDerivativeCode(writer, out, d) |
             second_->WriteDerivativeCode(writer, out, d);
    case kSub: {
      Status r = first_->WriteDerivativeCode(writer, out, d);
      Statement(writer, out, Cat(f1, "=-1.0", Times(d), ";"));
      return r | second_->WriteDerivativeCode(writer, out, d + 1);
    }
    case kMul: {
      Statement(writer, out, Cat(f1, "=", ValueText(writer, second_), Times(d), ";"));
      Status r = first_->WriteDerivativeCode(writer, out, d + 1);
      Statement(writer, out, Cat(f1, "=", ValueText(writer, first_), Times(d), ";"));
      return r | second_->WriteDerivativeCode(writer, out, d + 1);
    }
    case kDiv: {
      const std::string b = ValueText(writer, second_);
      Statement(writer, out, Cat(f1, "=1.0/", b, Times(d), ";"));
      Status r = first_->WriteDerivativeCode(writer, out, d + 1);
      Statement(writer, out,
                Cat(f1, "=-(", ValueText(writer, first_), "/sqr(", b, "))", Times(d), ";"));
      return r | second_->WriteDerivativeCode(writer, out, d + 1);
    }
    case kPow: {
      Status r = 0;
      Statement(writer, out, "{");
      ++writer.indent;
      Statement(writer, out, Cat("double left = ", ValueText(writer, first_), ";"));
      Statement(writer, out, Cat("double right = ", ValueText(writer, second_), ";"));
      Statement(writer, out, "double temp = pow(left, right);");
      auto message = [&](const char* text) {
        std::ostringstream literal;
        WriteStringLiteral(writer, literal, text);
        return literal.str();
      };
      if (!first_->IsConstant()) {
        Statement(writer, out,
                  Cat("if (left!=0) ", f1, " = right*(temp/left)", Times(d, "* "), ";"));
        Statement(writer, out,
                  Cat("else if (temp==0.0 || right==0.0", OrZero(d), ") ", f1, " = 0;"));
        Statement(writer, out,
                  Cat("else { ", f1, " = 0; QLN_Print(0, ",
                      message("Calculating analytic derivative: left of 'raise to power of' "
                              "must not be zero"),
                      "); }"));
        r |= first_->WriteDerivativeCode(writer, out, d + 1);
      }
      if (!second_->IsConstant()) {
        Statement(writer, out, Cat("if (temp==0.0", OrZero(d), ") ", f1, " = 0;"));
        Statement(writer, out,
                  Cat("else if (left>0) ", f1, " = log(left) * temp", Times(d, "  * "), ";"));
        Statement(writer, out, Cat("else if (left==0.0) ", f1, " = DBL_MAX;"));
        Statement(writer, out,
                  Cat("else { ", f1, " = 0; QLN_Print(0, ",
                      message("Calculating analytic derivative: left of 'raise to power of' "
                              "must not be negative"),
                      "); }"));
        r |= second_->WriteDerivativeCode(writer, out, d + 1);
      }
      --writer.indent;
      Statement(writer, out, "}");
      return r;
    }
    case kDeriv:
      Statement(writer, out, Cat(f1, "=1.0", Times(d), ";"));
      return first_->WriteDerivativeCode(writer, out, d + 1);
    case kDelay: {
      // At the head of a chain there is no factor yet: the delayed value
      // enters with 1.
      Statement(writer, out, Cat(f1, "=", d == 0 ? std::string("1.0") : Factor(d), ";"));
      Status r = first_->WriteDerivativeCode(writer, out, d + 1);
      Statement(writer, out, Cat(f1, "=0.0;"));
      return r | second_->WriteDerivativeCode(writer, out, d + 1);
    }
    case kForEach: {
      const std::size_t enclosing = writer.loop_types.size();
      Expression* item = this;
      while (item != nullptr && item->Op() == kForEach && item->Operand(2) != nullptr) {
        Expression* set = item->Operand(2);
        const bool strings = (set->GetResultType() & SUValue::kKindMask) == SUValue::kString;
        const std::string set_code = ValueText(writer, set, codeflag::kValueOnly);
        writer.loop_types.push_back(strings ? SUValue::kString : SUValue::kInteger);
        if (s != nullptr) {
          WriteSetIterationHeader(writer, *s, strings,
                                  static_cast<std::uint32_t>(writer.loop_types.size()), set_code);
        }
        item = item->Operand(1);
      }
      const Status r = item != nullptr ? item->WriteDerivativeCode(writer, out, d) : 1;
      while (writer.loop_types.size() > enclosing) {
        writer.loop_types.pop_back();
        --writer.indent;
        Statement(writer, out, "} // end of iterator vars loop in diff");
      }
      return r;
    }
    default: {
      write(Cat(" /* NotImplOp ", OperatorName(op_), " in differentiation */"));
      return 1;
    }
  }
}

// --- iterators ---

Status BinaryExpression::ExpandSetIndices(std::int32_t level_base, SetIterators& iterators,
                                          Expression* iterator, std::int32_t& count) {
  if (first_ == nullptr || second_ == nullptr) return 0;
  Status status = first_->ExpandSetIndices(level_base, iterators, iterator, count);
  std::uint16_t expanded = 0;
  if (op_ == kVec && IsPlainSetType(second_->GetResultType())) {
    ++count;
    iterators.Resize(static_cast<std::size_t>(count));
    Expression* set = second_;
    set->AddRef();
    if (iterator != nullptr) {
      if (set->HasImplicitReference()) {
        set->Release();
        set = iterator;
        set->AddRef();
      }
      if ((iterator->GetResultType() & 0x07) != (set->GetResultType() & 0x07)) {
        status = kIteratorTypeMismatch;
        Expression* both = MakeBinaryExpression(kIntSect, set, iterator);
        set->Release();
        set = both;
      }
    }
    iterators.Set(static_cast<std::size_t>(count - 1), set);
    char name[16];
    std::snprintf(name, sizeof name, "QV_VSI%d", count % 100);
    SUValue value;
    value.SetType(SUValue::kName);
    value.SetString(name);
    value.name.first = 0;
    value.name.second = static_cast<std::uint8_t>(level_base + count - 1);
    value.name.third = 3;
    auto* constant = new TerminalExpression(value, SUValue::kName);
    const auto type = static_cast<std::uint16_t>(set->GetResultType() & 0x07);
    auto* deref = new UnaryExpression(kDeRef, constant, type);
    deref->SetFlags(deref->Flags() | 0x0004);
    Operand(2, deref);
    set->Release();
    expanded = 0x100;
  } else {
    const Status s = second_->ExpandSetIndices(level_base, iterators, iterator, count);
    if (status == 0) status = s;
  }
  UpdateNodeCount();
  if (op_ == kVec || op_ == kSubId || op_ == kDeriv) {
    // The dimensions that remain once the set indices are iterators.
    std::uint32_t dims = first_->GetResultType() & 0xFF00u;
    if (op_ == kSubId) dims += second_->GetResultType() & 0xFF00u;
    if (op_ == kVec && expanded == 0 && IsPlainSetType(second_->GetResultType())) dims += 0x100;
    type_ = static_cast<std::uint16_t>((dims & 0xFF00u) | SUValue::kName);
    if ((dims & 0xFF00u) != 0) {
      type_ = SUValue::kName;
      return kDimensionsLeft;
    }
  }
  return status;
}

Status BinaryExpression::AssignIteratorLevels(std::int32_t offset, std::vector<std::string>& names,
                                              std::int32_t level, bool in_loop) {
  if (first_ == nullptr || second_ == nullptr) return 0;
  const Status s = first_->AssignIteratorLevels(offset, names, level, in_loop || op_ == kForEach);
  if (status::IsFailure(s)) return 0x8030FFFFu;
  return second_->AssignIteratorLevels(offset, names, level, in_loop);
}

// --- builder ---

Status BinaryExpression::DescribeToBuilder(ExprCodeWriter& writer) {
  if (op_ == kForEach) return 0;
  writer.NotifyBuilder(writer.builder_path, kBuilderOperator, std::to_string(op_));
  Status s = 0;
  if (first_ != nullptr) {
    {
      const codetext::PathStep step(writer, 'L');
      s |= first_->DescribeToBuilder(writer);
    }
    Link(writer, 'L');
  }
  if (op_ != kDeriv && second_ != nullptr) {
    {
      const codetext::PathStep step(writer, 'R');
      s |= second_->DescribeToBuilder(writer);
    }
    Link(writer, 'R');
  }
  return s;
}
