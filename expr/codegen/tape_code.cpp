// C from the tape: the value code writes one statement per instruction into
// the local arrays s, is and ss (slot k+1 for instruction k), the derivative
// code the reverse sweep as straight-line code over adjoint locals "c<slot>"
// that assigns the Jacobian array J. Both follow the interpreter row by row,
// so compiled residuals and derivatives equal the interpreted ones.
#include <cinttypes>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "expr/codegen/code_writer.h"
#include "expr/tape/tape.h"
#include "expr/tree/system_function.h"

using namespace tapekind;

namespace {

constexpr const char* kNotImplemented = "/*Expression not yet implemented*/";
constexpr const char* kDivideByZero = "\nERROR: generating a divide by zero\n";

std::string Format(const char* format, double value) {
  char text[40];
  std::snprintf(text, sizeof text, format, value);
  return text;
}
std::string Slot(const char* array, std::uint64_t index) {
  return std::string(array) + "[" + std::to_string(index) + "]";
}

std::string Spaced(std::int64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, " %" PRId64, value);
  return text;
}
std::string Named(const char* prefix, std::uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%" PRIu64, prefix, value);
  return text;
}

bool IsResultKind(std::uint8_t kind) {
  return kind == kResReal || kind == kResInt || kind == kResIntAsReal;
}

// Rows that make a residual nonlinear or discontinuous.
bool MarksNonlinear(std::uint32_t op) {
  switch (op) {
    case kNot:
    case kAnd:
    case kOr:
    case kXor:
    case kRound:
    case kTruncate:
    case kMod:
    case kDelay:
    case kConcat:
    case kMaxList:
    case kMinList:
      return true;
    default:
      return (op >= kSEq && op <= kSNe) || (op >= kIEq && op <= kINe);
  }
}

// A one-operand row written as a function call.
const char* UnaryFunction(std::uint32_t op) {
  switch (op) {
    case kSin:
      return "sin(";
    case kCos:
      return "cos(";
    case kTan:
      return "tan(";
    case kASin:
      return "asin(";
    case kACos:
      return "acos(";
    case kATan:
      return "atan(";
    case kSinh:
      return "sinh(";
    case kCosh:
      return "cosh(";
    case kTanh:
      return "tanh(";
    case kSqrt:
      return "sqrt(";
    case kExp:
      return "exp(";
    case kLoge:
      return "log(";
    case kLog10:
      return "log10((double)";
    case kAbs:
      return "bv_fabs(";
    case kSqr:
      return "bv_sqr(";
    case kFloat:
    case kPlus:
    case kTerm:
    case kTermI:
    case kIPlus:
      return "(";
    case kIAbs:
      return "abs(";
    case kISqr:
      return "bv_isqr(";
    case kRound:
      return "bv_round(";
    case kTruncate:
      return "(int)(";
    case kNot:
      return "!(";
    case kMinus:
    case kIMinus:
      return "-(";
    default:
      return nullptr;
  }
}

// A two-operand row written infix.
const char* Infix(std::uint32_t op) {
  switch (op) {
    case kAdd:
    case kIAdd:
      return "+";
    case kSub:
    case kISub:
      return "-";
    case kMul:
    case kIMul:
      return "*";
    case kDiv:
      return "/";
    case kEq:
    case kIEq:
      return "==";
    case kGt:
    case kIGt:
      return ">";
    case kLt:
    case kILt:
      return "<";
    case kGe:
    case kIGe:
      return ">=";
    case kLe:
    case kILe:
      return "<=";
    case kNe:
    case kINe:
      return "!=";
    case kAnd:
      return "&&";
    case kOr:
      return "||";
    case kSigma:
      return "+";
    case kProd:
      return "*";
    default:
      return nullptr;
  }
}

// How an operand is read, as the interpreter reads it.
bool ReadsTextOperand(std::uint8_t kind, std::uint64_t operand) {
  return kind == kResText || kind == kConstText || kind == kVarText || kind == kVarName ||
         (kind == kVarTyped && (OperandType(operand) == SUValue::kString ||
                                OperandType(operand) == SUValue::kName));
}
bool ReadsIntOperand(std::uint8_t kind, std::uint64_t operand) {
  return kind == kResInt || kind == kResIntAsReal || kind == kConstInt ||
         kind == kConstIntAsReal || kind == kVarInt || kind == kVarIntAsReal ||
         (kind == kVarTyped && (OperandType(operand) == SUValue::kInteger ||
                                OperandType(operand) == SUValue::kLogical));
}

// A conversion row over operand text a: the run-time helper that converts
// as the interpreter does, by the operand's kind.
std::string Conversion(std::uint32_t op, const TapeInstruction& in, const std::string& a) {
  const bool text = ReadsTextOperand(in.left_kind, in.left);
  const bool integer = !text && ReadsIntOperand(in.left_kind, in.left);
  switch (op) {
    case kConv2R:
      return text ? "atof(" + a + ")" : "(double)(" + a + ")";
    case kConv2I:
      return text ? "atoi(" + a + ")" : integer ? "(int)(" + a + ")" : "bv_saturate(" + a + ")";
    default:
      return text      ? "bv_text40(" + a + ")"
             : integer ? "bv_int40(" + a + ")"
                       : "bv_real40((double)(" + a + "))";
  }
}

bool IsFold(std::uint32_t op) {
  return op == kSigma || op == kProd || op == kMaxList || op == kMinList;
}

// The case-insensitive comparison function of a text comparison row.
const char* TextComparison(std::uint32_t op) {
  switch (op) {
    case kSEq:
      return "bv_strcmpEQ(";
    case kSGt:
      return "bv_strcmpGT(";
    case kSLt:
      return "bv_strcmpLT(";
    case kSGe:
      return "bv_strcmpGE(";
    case kSLe:
      return "bv_strcmpLE(";
    case kSNe:
      return "bv_strcmpNE(";
    default:
      return nullptr;
  }
}

bool IsConstZero(const TapeInstruction& in) {
  if (in.right_kind == kConstReal) {
    return reinterpret_cast<const SUValue*>(in.right)->payload.real == 0.0;
  }
  if (in.right_kind == kConstInt || in.right_kind == kConstIntAsReal) {
    return reinterpret_cast<const SUValue*>(in.right)->GetIntAt(0) == 0;
  }
  return false;
}

}  // namespace

std::string ExprPCContext::OperandCode(const TapeInstruction& in, bool left,
                                       const char* real_format) {
  const std::uint8_t kind = left ? in.left_kind : in.right_kind;
  const std::uint64_t x = left ? in.left : in.right;
  switch (kind) {
    case kVarReal:
    case kVarTyped: {
      ExpressionVariable* v = GetVariable(OperandIndex(x));
      if (v == nullptr) return {};
      const SUValue* value = v->CurrentValue();
      if (kind == kVarTyped && (value == nullptr || value->IsArray())) return {};
      if (v->SolverIndex() >= 0 && (value == nullptr || value->type == SUValue::kReal)) {
        return Slot("x", static_cast<std::uint64_t>(v->SolverIndex()));
      }
      if (value != nullptr && value->type == SUValue::kReal) {
        return Format(real_format, value->payload.real);
      }
      if (value != nullptr && value->type != SUValue::kNoType && !value->IsArray()) {
        return Spaced(value->GetIntAt(0));
      }
      return {};
    }
    case kVarInt:
    case kVarIntAsReal: {
      ExpressionVariable* v = GetVariable(static_cast<std::int32_t>(x));
      const SUValue* value = v != nullptr ? v->CurrentValue() : nullptr;
      if (value == nullptr || value->type == SUValue::kNoType) return {};
      return Spaced(value->GetIntAt(0));
    }
    case kConstReal:
      return Format(real_format, reinterpret_cast<const SUValue*>(x)->payload.real);
    case kConstInt:
    case kConstIntAsReal:
      return Spaced(reinterpret_cast<const SUValue*>(x)->GetIntAt(0));
    case kResReal:
      return Slot("s", x);
    case kResInt:
      return Slot("is", x);
    case kResIntAsReal:
      return std::string("(double)") + Slot("is", x);
    case kResText:
      return Slot("ss", x);
    case kConstText:
    case kVarText:
    case kVarName: {
      const SUValue* value = reinterpret_cast<const SUValue*>(x);
      if (kind != kConstText) {
        ExpressionVariable* v = GetVariable(static_cast<std::int32_t>(x));
        value = v != nullptr ? v->CurrentValue() : nullptr;
      }
      const char* text = value != nullptr ? value->GetString() : nullptr;
      if (text == nullptr) return {};
      std::string quoted = EscapedText(text);
      quoted.insert(quoted.begin(), '"');
      quoted.push_back('"');
      return quoted;
    }
    default:
      return {};
  }
}

std::vector<std::string> ExprPCContext::ArrayElementCode(
    const TapeInstruction& in, const char* real_format, std::vector<ExpressionVariable*>* columns) {
  std::vector<std::string> texts;
  ExpressionVariable* v = GetVariable(static_cast<std::int32_t>(in.left));
  const SUValue* array = v != nullptr ? v->CurrentValue() : nullptr;
  if (v == nullptr || array == nullptr || !array->IsArray()) return texts;
  const std::int32_t n = array->Elements() != nullptr ? array->count : 0;
  for (std::int32_t e = 0; e < n; ++e) {
    const SUValue& x = array->Elements()[e];
    ExpressionVariable* element = e < v->ElementCount() ? v->ElementOfList(e) : nullptr;
    if (x.type == SUValue::kReal && element != nullptr && element->SolverIndex() >= 0) {
      texts.push_back(Slot("x", static_cast<std::uint64_t>(element->SolverIndex())));
      if (columns != nullptr) columns->push_back(element);
      continue;
    }
    if (x.type == SUValue::kReal) {
      texts.push_back(Format(real_format, x.payload.real));
    } else if (x.type == SUValue::kInteger || x.type == SUValue::kLogical) {
      texts.push_back(Spaced(x.GetIntAt(0)));
    } else {
      return {};  // the fold refuses it too
    }
    if (columns != nullptr) columns->push_back(nullptr);
  }
  if (texts.empty()) texts.push_back(std::string());  // an empty array
  return texts;
}

Status ExprPCContext::WriteValueCode(ExprCodeWriter& writer, std::ostream& out,
                                     std::int32_t string_mode) {
  const std::int32_t n = count_ < 0 ? -count_ : count_;
  if (n == 0) {
    writer.tape.failed = true;
    out << kNotImplemented;
    return tapestatus::kNoTape;
  }
  const std::size_t half = TapeStateNow().capacity / 2;
  std::int32_t input = 0;
  std::int32_t output = 0;
  std::int32_t input_argument = 0;
  std::int32_t output_argument = 0;
  bool procedure = false;
  bool inputs_written = false;
  for (std::int32_t k = 0; k < n; ++k) {
    TapeInstruction& in = tape_.code[static_cast<std::size_t>(k)];
    const std::uint64_t slot = static_cast<std::uint64_t>(k) + 1;
    const std::uint32_t op = in.op;
    if (MarksNonlinear(op)) writer.tape.MarkNonlinear();
    // Procedure rows: the packing of the call's arguments.
    if (op >= kInput && op <= kOutsEnd) {
      procedure = true;
      if (op == kInsEnd) {
        out << (inputs_written ? "  if (bInputsChanged) {\n" : "  if (!(*pbCalled)) {\n");
        continue;
      }
      if (op == kOutsEnd) {
        out << "  }\n";
        continue;
      }
      const bool is_input = op <= kIntInput;
      const std::int32_t argument = is_input ? input_argument++ : output_argument++;
      if (in.left_kind == kVarTyped && OperandType(in.left) == 0) {
        // An array: its elements in the call's layout.
        if (!WriteArrayArgumentCode(writer, out, is_input, argument, is_input ? &input : &output,
                                    string_mode)) {
          out << kNotImplemented << "\n";
          writer.tape.failed = true;
        }
        inputs_written = inputs_written || is_input;
        continue;
      }
      const std::string operand = OperandCode(in, true, " %.17g");
      if (op == kInput || op == kIntInput) {
        out << (op == kInput ? "  PACKREALINPUT(" : "  PACKINTINPUT(") << input << "," << operand
            << ");\n";
        input += 1;
      } else if (op == kStrInput) {
        out << (string_mode == 1 ? "  PACKFTNSTRINPUT(" : "  PACKSTRINPUT(") << input << ","
            << operand << ");\n";
        input += 5;
      } else {
        out << "    PACKREALOUTPUT(" << output << "," << operand << ");\n";
        output += 1;
      }
      inputs_written = inputs_written || is_input;
      continue;
    }
    if (op == kSysFun || op == kTime) {
      auto* f = static_cast<SystemFunction*>(in.left_value);
      const bool time = op == kTime || (f != nullptr && f->Name() == "Time");
      out << Slot("s", slot) << "=";
      if (time) {
        out << "bv_time();";
      } else if (f != nullptr) {
        out << "bv_sysfun(\"" << EscapedText(f->Name().c_str()) << "\");";
      } else {
        out << kNotImplemented << ";";
        writer.tape.failed = true;
      }
    } else {
      const char* target = in.result == 1 ? "is" : in.result == 2 ? "ss" : "s";
      out << Slot(target, slot) << "=";
      const bool array = IsFold(op) && in.left_kind == kVarTyped && OperandType(in.left) == 0;
      const std::string a = array ? std::string() : OperandCode(in, true, " %.17g");
      const std::string b = in.right_kind != kNone ? OperandCode(in, false, " %.17g") : "";
      // Texts: a concatenation or a plain copy of a text operand.
      const bool texts = in.result == 2 && op != kConcat && op != kConv2S &&
                         !((op == kTerm || op == kPlus) && in.right_kind == kNone);
      const std::vector<std::string> elements =
          array ? ArrayElementCode(in, " %.17g", nullptr) : std::vector<std::string>();
      if (op == kNoOperatorRow) {
        out << "0.0;";
      } else if (array && elements.empty()) {
        out << kNotImplemented << ";";
        writer.tape.failed = true;
      } else if (array) {
        // The fold of the interpreter, element by element; an empty array is 0.
        const bool empty = elements.size() == 1 && elements[0].empty();
        if (empty) {
          out << "0.0;";
        } else if (op == kSigma || op == kProd) {
          for (std::size_t e = 0; e < elements.size(); ++e) {
            out << (e > 0 ? (op == kSigma ? "+" : "*") : "") << elements[e];
          }
          out << ";";
        } else {
          const char* test = op == kMaxList ? ">" : "<";
          out << elements[0] << ";";
          for (std::size_t e = 1; e < elements.size(); ++e) {
            out << "if(" << elements[e] << test << Slot("s", slot) << ") " << Slot("s", slot) << "="
                << elements[e] << ";";
          }
        }
      } else if (a.empty() || (in.right_kind != kNone && b.empty()) || texts) {
        out << kNotImplemented << ";";
        writer.tape.failed = true;
      } else if (op == kDiv && IsConstZero(in)) {
        out << kDivideByZero;
      } else if (op == kPow) {
        out << "pow((double)" << a << "," << b << ");";
      } else if (op == kMax || op == kMin || op == kMaxList || op == kMinList) {
        if (in.right_kind == kNone) {
          out << a << ";";
        } else {
          // As the interpreter: the right operand wins only strictly.
          const char* test = op == kMax || op == kMaxList ? ">" : "<";
          out << a << ";temp=" << b << ";if(temp" << test << Slot("s", slot) << ") "
              << Slot("s", slot) << "=temp;";
        }
      } else if (op == kXor) {
        out << "(" << a << "!=0)!=(" << b << "!=0);";
      } else if (op == kMod) {
        out << "bv_mod(" << a << "," << b << ");";
      } else if (op == kConcat) {
        out << "bv_concat(" << a << "," << b << ");";
      } else if (op == kConv2R || op == kConv2I || op == kConv2S) {
        out << Conversion(op, in, a) << ";";
      } else if (op == kURnd || op == kNRnd) {
        out << (op == kURnd ? "bv_urnd(" : "bv_nrnd(") << a << "," << b << ");";
      } else if (in.result == 2) {
        out << a << ";";
      } else if (const char* compare = TextComparison(op)) {
        out << compare << a << "," << b << ");";
      } else if (const char* infix = Infix(op); infix != nullptr && in.right_kind != kNone) {
        out << a << infix << b << ";";
      } else if (const char* call = UnaryFunction(op); call != nullptr && in.right_kind == kNone) {
        out << call << a << ");";
      } else if ((op == kMul || op == kAdd || op == kSigma || op == kProd) &&
                 in.right_kind == kNone) {
        out << a << ";";
      } else {
        out << kNotImplemented << ";";
        writer.tape.failed = true;
      }
    }
    if (op == kPow || op == kSqrt || op == kExp || op == kProd) {
      out << Slot("s", slot + half) << "=" << Slot("s", slot) << ";";
    }
    if ((k + 1) % 3 == 0) out << "\n";
  }
  if (!procedure) {
    const TapeInstruction& last = tape_.code[static_cast<std::size_t>(n) - 1];
    if (last.result == 1) {
      out << "ires=is[" << n << "];";
    } else {
      out << "res=s[" << n << "];";
    }
  }
  out << "\n";
  return 0;
}

void ExprADContext::WriteFoldEntries(ExprCodeWriter& writer, const TapeInstruction& in,
                                     const std::string& c, const std::string& r,
                                     const std::vector<std::int32_t>& columns,
                                     std::vector<bool>* written, std::string* line) {
  std::vector<ExpressionVariable*> variables;
  const std::vector<std::string> elements = ArrayElementCode(in, " %.16g", &variables);
  if (elements.empty()) {
    writer.tape.failed = true;
    return;
  }
  if (elements.size() == 1 && elements[0].empty()) return;  // an empty array
  auto entry = [&](std::size_t e) -> std::string {
    if (variables[e] == nullptr) return {};
    for (std::size_t p = 0; p < columns.size(); ++p) {
      if (columns[p] != variables[e]->SolverIndex()) continue;
      std::string text = "J[" + std::to_string(writer.tape.j_offset + static_cast<std::int32_t>(p));
      text += (*written)[p] ? "]+=" : "]=";
      (*written)[p] = true;
      return text;
    }
    return {};
  };
  if (in.op == kMaxList || in.op == kMinList) {
    // The whole to the first element that is the extreme, as the reverse pass.
    *line += "{int h=0;";
    for (std::size_t e = 0; e < elements.size(); ++e) {
      std::string target = entry(e);
      const std::string test = "if(!h&&" + elements[e] + "==" + r + ")";
      if (target.empty()) {
        *line += test + "h=1;";
        continue;
      }
      if (target.back() == '=' && target[target.size() - 2] != '+') {
        // First entry of the column: cleared, then added to when chosen.
        *line += target + "0;";
        target.insert(target.size() - 1, "+");
      }
      *line += test + "{" + target + c + ";h=1;}";
    }
    *line += "}";
    return;
  }
  for (std::size_t e = 0; e < elements.size(); ++e) {
    const std::string target = entry(e);
    if (target.empty()) continue;
    std::string term = c;
    if (in.op == kProd) {
      // The product of the other elements: sound where one of them is 0.
      std::string others;
      for (std::size_t o = 0; o < elements.size(); ++o) {
        if (o != e) others += (others.empty() ? "" : "*") + elements[o];
      }
      term += "*(" + (others.empty() ? std::string("1.0") : others) + ")";
    }
    *line += target + term + ";";
  }
}

Status ExprADContext::WriteDerivativeCode(ExprCodeWriter& writer, std::ostream& out,
                                          const std::vector<std::int32_t>& columns) {
  const std::int32_t n = count_ < 0 ? -count_ : count_;
  if (n == 0) {
    writer.tape.failed = true;
    out << kNotImplemented;
    return tapestatus::kNoTape;
  }
  std::vector<bool> written(columns.size(), false);
  std::string line;
  auto flush = [&](bool force) {
    if (force || line.size() > 200) {
      out << line << "\n";
      line.clear();
    }
  };
  auto adjoint = [](std::uint64_t slot) {
    std::string name = std::to_string(slot);
    name.insert(name.begin(), 'c');
    return name;
  };
  line = std::string("{double ") + adjoint(static_cast<std::uint64_t>(n)) + "=1.0;";
  for (std::int32_t k = n - 1; k >= 0; --k) {
    const TapeInstruction& in = tape_.code[static_cast<std::size_t>(k)];
    const std::uint64_t slot = static_cast<std::uint64_t>(k) + 1;
    const std::string c = adjoint(slot);
    const std::string a = OperandCode(in, true, " %.16g");
    const std::string b = in.right_kind != kNone ? OperandCode(in, false, " %.16g") : "";
    const std::string r = Slot("s", slot);
    std::string dl = "1.0";
    std::string dr = "1.0";
    switch (in.op) {
      case kMinus:
      case kIMinus:
        dl = "-1.0";
        break;
      case kSub:
      case kISub:
        dr = "-1.0";
        break;
      case kMul:
      case kIMul:
      case kProd:
        if (in.right_kind != kNone) {
          dl = b;
          dr = a;
        }
        break;
      case kDiv:
        if (IsConstZero(in)) {
          line += kDivideByZero;
          dl = dr = "0.0";
          break;
        }
        dl = std::string("(1.0/") + b + ")";
        dr = in.right_kind == kConstReal ? "0.0" : std::string("(-") + a + "/bv_sqr(" + b + "))";
        break;
      case kPow: {
        // Both partials 0 for a base that is not positive, but the base's
        // own partial where the exponent is whole.
        const std::string ld = Named("ld", slot);
        const std::string rd = Named("rd", slot);
        line += std::string("double ") + ld + "=0.0," + rd + "=0.0;if (" + a + ">0.0){" + ld + "=" +
                b + "*" + r + "/" + a + ";" + rd + "=" + r + "*log((double)" + a + ");}else if (" +
                a + std::string("<0.0){") + ld + "=" + b + "*" + r + "/" + a + ";}";
        dl = ld;
        dr = rd;
        break;
      }
      case kSqrt: {
        const std::string ld = Named("ld", slot);
        line += std::string("double ") + ld + "=0.0;if (" + a + ">0.0) " + ld + "=0.5/" + r + ";";
        dl = ld;
        break;
      }
      case kSin:
        dl = std::string("cos(") + a + ")";
        break;
      case kCos:
        dl = std::string("(-sin(") + a + "))";
        break;
      case kTan:
        dl = std::string("(1.0/bv_sqr(cos(") + a + ")))";
        break;
      case kASin:
        dl = std::string("(1.0/sqrt(1.0-bv_sqr(") + a + ")))";
        break;
      case kACos:
        dl = std::string("(-1.0/sqrt(1.0-bv_sqr(") + a + ")))";
        break;
      case kATan:
        dl = std::string("(1.0/(1.0+bv_sqr(") + a + ")))";
        break;
      case kSinh:
        dl = std::string("cosh(") + a + ")";
        break;
      case kCosh:
        dl = std::string("sinh(") + a + ")";
        break;
      case kTanh:
        dl = std::string("(1.0/bv_sqr(cosh(") + a + ")))";
        break;
      case kExp:
        dl = r;
        break;
      case kLoge:
        dl = std::string("(1.0/") + a + ")";
        break;
      case kLog10:
        dl = std::string("(1.0/(2.302585092994046*") + a + "))";
        break;
      case kAbs:
      case kIAbs:
        dl = std::string("((") + a + "<0.0)?-1:1)";
        break;
      case kSqr:
      case kISqr:
        dl = std::string("(2*") + a + ")";
        break;
      case kMax:
      case kMin:
      case kMaxList:
      case kMinList:
        if (in.right_kind != kNone) {
          const char* test = in.op == kMax || in.op == kMaxList ? ">=" : "<=";
          dl = std::string("((") + a + test + b + ")?1.0:0.0)";
          dr = std::string("((") + a + test + b + ")?0.0:1.0)";
        }
        break;
      case kAdd:
      case kIAdd:
      case kPlus:
      case kIPlus:
      case kFloat:
      case kTerm:
      case kTermI:
      case kSigma:
        break;
      default:
        dl = dr = "0.0";
        break;
    }
    auto push = [&](bool left, const std::string& partial) {
      const std::uint8_t kind = left ? in.left_kind : in.right_kind;
      const std::uint64_t operand = left ? in.left : in.right;
      const std::string term = partial == "1.0"    ? c
                               : partial == "-1.0" ? std::string("-") + c
                               : partial == "0.0"  ? "0.0"
                                                   : c + "*" + partial;
      if (IsResultKind(kind)) {
        line += std::string("double ") + adjoint(operand) + "=" + term + ";";
      } else if (kind == kVarReal || (kind == kVarTyped && OperandType(operand) != 0)) {
        ExpressionVariable* v = GetVariable(OperandIndex(operand));
        const SUValue* value = v != nullptr ? v->CurrentValue() : nullptr;
        if (v == nullptr || v->SolverIndex() < 0 || term == "0.0" ||
            (value != nullptr && value->type != SUValue::kReal)) {
          return;
        }
        for (std::size_t p = 0; p < columns.size(); ++p) {
          if (columns[p] != v->SolverIndex()) continue;
          line += std::string("J[") +
                  std::to_string(writer.tape.j_offset + static_cast<std::int32_t>(p)) +
                  (written[p] ? "]+=" : "]=") + term + ";";
          written[p] = true;
          break;
        }
      } else if (kind == kVarTyped && left && IsFold(in.op)) {
        WriteFoldEntries(writer, in, c, r, columns, &written, &line);
      } else if (kind == kVarTyped) {
        writer.tape.failed = true;
      }
      flush(false);
    };
    push(true, dl);
    if (in.right_kind != kNone) push(false, dr);
  }
  std::string zeros;
  for (std::size_t p = 0; p < columns.size(); ++p) {
    if (!written[p]) {
      zeros += std::string("J[") +
               std::to_string(writer.tape.j_offset + static_cast<std::int32_t>(p)) + "]=";
    }
  }
  if (!zeros.empty()) line += zeros + "0;";
  line += "}";
  flush(true);
  return 0;
}
