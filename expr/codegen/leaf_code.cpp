// C++ code of the base node, constants and names, system functions,
// variable references, variables, lists and procedure calls.
#include <ostream>
#include <sstream>

#include "expr/codegen/code_text.h"
#include "expr/codegen/code_writer.h"
#include "expr/eval/expr_context.h"
#include "expr/tree/expression.h"
#include "expr/tree/list_expression.h"
#include "expr/tree/proc_call_expression.h"
#include "expr/tree/system_function.h"
#include "expr/tree/var_ref_expression.h"

using codetext::Emit;
using codetext::ValueText;

namespace {

void Line(ExprCodeWriter& writer, std::ostream* s, const std::string& text,
          std::int32_t delta = 0) {
  if (s != nullptr) Indent(writer, *s, delta) << text << '\n';
}

}  // namespace

// --- the base node ---

Status Expression::WriteValueCode(ExprCodeWriter& writer, CodeOutputs& out, std::uint32_t& flags) {
  if ((flags & 0x4280) == 0) {
    Line(writer, out[codestream::kOperation],
         "AddOp((EOp)" + std::to_string(op_) + ",eq_count-1);");
  }
  std::ostringstream printed;
  Print(printed);
  std::string text = printed.str();
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  const bool structure = (flags & 0x10100) == 0 || (flags & codeflag::kMirror) != 0;
  Emit(out, flags, structure, text);
  return 0;
}

Status Expression::WriteDerivativeCode(ExprCodeWriter&, CodeOutputs&, std::int32_t) { return 1; }

Status Expression::ExpandSetIndices(std::int32_t, SetIterators&, Expression*, std::int32_t&) {
  return 0;
}

Status Expression::AssignIteratorLevels(std::int32_t, std::vector<std::string>&, std::int32_t,
                                        bool) {
  return 0;
}

Status Expression::DescribeToBuilder(ExprCodeWriter&) { return 1; }

// --- constants and names ---

Status TerminalExpression::WriteValueCode(ExprCodeWriter& writer, CodeOutputs& out,
                                          std::uint32_t& flags) {
  if (value_.Kind() != SUValue::kName || value_.IsSet() || value_.IsArray()) {
    std::ostringstream constant;
    WriteConstant(writer, constant, value_);
    const bool structure = (flags & (codeflag::kNoStructure | codeflag::kValueOnly)) == 0 ||
                           (flags & (codeflag::kPrivateCode | codeflag::kMirror)) != 0;
    Emit(out, flags, structure, constant.str());
    if ((flags & (codeflag::kInTerm | codeflag::kPrivateCode | codeflag::kMirror)) == 0) {
      Line(writer, out[codestream::kOperation], "AddTerm(" + constant.str() + ", eq_count-1);");
    }
    DescribeToBuilder(writer);
    return 0;
  }

  const char* raw = value_.GetString() != nullptr ? value_.GetString() : "";
  std::string t = CIdentifier(writer, raw);
  bool access = false;
  bool iterator = false;
  if (CountFlag0800() == 0) {
    if (value_.name.third == 3) {
      t = "QV_VSI" + std::to_string(value_.name.second + 1);
      iterator = true;
    } else if ((flags & codeflag::kNoDereference) == 0) {
      // ")" closes only the "(*" it pairs with: alone it would not compile.
      t = "(*" + t + ")";
    }
  } else {
    access = t == "DERIVATIVE" || t == "VALUE";
    t += "()";
  }
  if (out[codestream::kValue] != nullptr) *out[codestream::kValue] << t;
  if (access) {
    for (int k : {codestream::kNonZero, codestream::kOperation}) {
      if (out[k] != nullptr) *out[k] << '.' << t;
    }
  } else if ((flags & 0x380) != codeflag::kValueOnly) {
    for (int k : {codestream::kNonZero, codestream::kOperation}) {
      if (out[k] != nullptr) *out[k] << t;
    }
    if ((flags & codeflag::kMirror) != 0 && out[codestream::kMirror] != nullptr) {
      *out[codestream::kMirror] << t;
    }
  }
  writer.NotifyBuilder(iterator ? t : std::string(raw), kBuilderName, writer.argument_name);
  return 0;
}

Status TerminalExpression::DescribeToBuilder(ExprCodeWriter& writer) {
  if (value_.Kind() == SUValue::kName && !value_.IsSet() && !value_.IsArray()) {
    writer.NotifyBuilder(writer.argument_name, kBuilderName,
                         value_.GetString() != nullptr ? value_.GetString() : "");
  } else {
    writer.DescribeValue(writer.argument_name, value_);
  }
  return 0;
}

// --- system functions ---

Status SysFunExpression::WriteValueCode(ExprCodeWriter& writer, CodeOutputs& out,
                                        std::uint32_t& flags) {
  const std::string name = function_ != nullptr ? function_->Name() : std::string("Time");
  // Names come from the instance descriptions: one that is no identifier
  // must not write code of its own.
  std::string identifier = name;
  for (char& c : identifier) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!word) c = '_';
  }
  Emit(out, flags, codetext::Structure(flags), "QV_" + identifier + "()");
  writer.NotifyBuilder(name, kBuilderName, writer.argument_name);
  return 0;
}

// --- variables ---

Status ExpressionVariable::WriteVariableCode(ExprCodeWriter&, CodeOutputs& out,
                                             std::uint32_t& flags) {
  const char* name = NameText();
  Emit(out, flags, codetext::Structure(flags), name != nullptr ? name : "");
  return 0;
}

Status ExpressionVariable::WriteVariableDerivativeCode(ExprCodeWriter& writer, CodeOutputs& out,
                                                       std::int32_t factor) {
  Line(writer, out[codestream::kValue],
       "jac[nz_count++]=" + (factor > 0 ? codetext::Factor(factor) : std::string("1.0")) + ";");
  return 0;
}

Status ExpressionVariable::AnnounceToBuilder(ExprCodeWriter& writer) {
  const char* name = NameText();
  writer.NotifyBuilder(name != nullptr ? name : "", kBuilderName, writer.argument_name);
  return 0;
}

Status VarRefExpression::WriteValueCode(ExprCodeWriter&, CodeOutputs& out, std::uint32_t& flags) {
  std::ostringstream text;
  Print(text);
  if ((flags & codeflag::kPlainValue) == 0) text << ".v()";
  if (out[codestream::kValue] != nullptr) *out[codestream::kValue] << text.str();
  return 0;
}

Status VarRefExpression::WriteDerivativeCode(ExprCodeWriter&, CodeOutputs& out, std::int32_t) {
  if (out[codestream::kMirror] != nullptr) {
    std::ostringstream name;
    Print(name);
    *out[codestream::kMirror] << "Derivatives not yet implemented in VarRefExpression "
                              << name.str() << '\n';
  }
  return 1;
}

Status VariableExpression::WriteValueCode(ExprCodeWriter& writer, CodeOutputs& out,
                                          std::uint32_t& flags) {
  if ((flags & codeflag::kNoAddOp) == 0) {
    Line(writer, out[codestream::kOperation], "AddOp(Terminal, eq_count-1);");
  }
  flags |= codeflag::kInTerm;
  if (variable_ == nullptr) return 1;
  return variable_->WriteVariableCode(writer, out, flags);
}

Status VariableExpression::WriteDerivativeCode(ExprCodeWriter& writer, CodeOutputs& out,
                                               std::int32_t factor) {
  if (variable_ == nullptr) return 1;
  return variable_->WriteVariableDerivativeCode(writer, out, factor);
}

// --- lists ---

Status ListExpression::WriteValueCode(ExprCodeWriter& writer, CodeOutputs& out,
                                      std::uint32_t& flags) {
  const std::uint16_t op = writer.aggregate_op;
  const bool structure = codetext::Structure(flags);
  const bool nested = op == kMaxList || op == kMinList;
  const char* join = (op == kSigma || op == kUnionFn)  ? "+"
                     : (op == kProd || op == kISectFn) ? "*"
                                                       : ",";
  Status result = 0;
  const std::int32_t n = ItemCount();
  for (std::int32_t i = 0; i < n; ++i) {
    if (nested && i + 1 < n) Emit(out, flags, structure, op == kMaxList ? "QV_max(" : "QV_min(");
    std::uint32_t f = flags;
    result |= list_->At(static_cast<std::size_t>(i))->WriteValueCode(writer, out, f);
    if (i + 1 < n) Emit(out, flags, structure, nested ? "," : join);
  }
  if (nested && n > 1)
    Emit(out, flags, structure, std::string(static_cast<std::size_t>(n - 1), ')'));
  return result;
}

Status ListExpression::WriteDerivativeCode(ExprCodeWriter& writer, CodeOutputs& out,
                                           std::int32_t factor) {
  Status result = 0;
  for (std::int32_t i = 0; i < ItemCount(); ++i) {
    result |= list_->At(static_cast<std::size_t>(i))->WriteDerivativeCode(writer, out, factor);
  }
  return result;
}

Status ListExpression::ExpandSetIndices(std::int32_t level_base, SetIterators& iterators,
                                        Expression* iterator, std::int32_t& count) {
  std::uint32_t nodes = 0;
  for (std::int32_t i = 0; i < ItemCount(); ++i) {
    Expression* item = list_->At(static_cast<std::size_t>(i));
    const Status s = item->ExpandSetIndices(level_base, iterators, iterator, count);
    if (status::IsFailure(s)) return s;
    nodes += item->NodeCount();
  }
  node_count_ = nodes;
  return 0;
}

Status ListExpression::AssignIteratorLevels(std::int32_t offset, std::vector<std::string>& names,
                                            std::int32_t level, bool in_loop) {
  for (std::int32_t i = 0; i < ItemCount(); ++i) {
    const Status s =
        list_->At(static_cast<std::size_t>(i))->AssignIteratorLevels(offset, names, level, in_loop);
    if (status::IsFailure(s)) return exprstatus::kItemFailed;
  }
  return 0;
}

Status ListExpression::DescribeToBuilder(ExprCodeWriter& writer) {
  const std::string name = writer.argument_name;
  Status result = 0;
  for (std::int32_t i = 0; i < ItemCount(); ++i) {
    writer.argument_name = name + "Arg" + std::to_string(i);
    try {
      result |= list_->At(static_cast<std::size_t>(i))->DescribeToBuilder(writer);
      writer.LinkArgument(writer.argument_name, name);
    } catch (...) {
      writer.argument_name = name;
      throw;
    }
  }
  writer.argument_name = name;
  return result;
}

// --- procedure calls ---

namespace {

// The procedure name in upper case; a character that cannot stand in an
// identifier becomes "_", so that a name cannot write code of its own.
std::string ClassSuffix(const char* text) {
  std::string s = text != nullptr ? text : "";
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) c = '_';
  }
  return s;
}

bool EndsWith(const std::string& s, const char* tail) {
  const std::size_t n = std::char_traits<char>::length(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Registers the arguments of one list into `pass`.
Status RegisterArguments(ExprCodeWriter& writer, std::ostream& pass, ProcIOListExpression* list,
                         const std::vector<std::uint8_t>& descriptions, std::uint32_t flags) {
  if (list == nullptr) return 0;
  CodeOutputs into;
  into.stream[codestream::kValue] = &pass;
  Status result = 0;
  const std::string name = writer.argument_name;
  for (std::int32_t i = 0; i < list->ItemCount(); ++i) {
    Expression* argument = list->ListElement(i + 1);
    // An argument the definition does not describe counts as a scalar of kind 0.
    const auto at = static_cast<std::size_t>(2 * i);
    const bool described = at + 1 < descriptions.size();
    const auto kind = described ? static_cast<std::int8_t>(descriptions[at]) : std::int8_t{0};
    const bool array = described && descriptions[at + 1] != 0;
    if (array) {
      Indent(writer, pass, 1) << "pQVProc->Argument(); { // register array elements\n";
      Indent(writer, pass) << "pQVProc->Argument(";
    } else {
      Indent(writer, pass) << "pQVProc->Argument(";
    }
    std::uint32_t f = flags;
    if (array || kind >= 0 || !argument->IsOperation()) f |= codeflag::kPlainValue;
    std::string prefix;
    if (name.size() > 4 && EndsWith(name, "IArg")) {
      f |= codeflag::kInputArgument;
      prefix = name.substr(0, name.size() - 4);
    } else if (name.size() > 4 && EndsWith(name, "OArg")) {
      f |= codeflag::kOutputArgument;
      prefix = name.substr(0, name.size() - 4);
    }
    writer.argument_name = name + std::to_string(i);
    f |= 0x50;
    try {
      result |= argument->WriteValueCode(writer, into, f);
      writer.LinkArgument(writer.argument_name, prefix);
    } catch (...) {
      writer.argument_name = name;
      throw;
    }
    writer.argument_name = name;
    if (array) {
      pass << ");\n";
      ChangeIndent(writer, -1, pass) << "}\n";
    } else {
      pass << ");\n";
    }
  }
  return result;
}

}  // namespace

Status ProcCallExpression::WriteValueCode(ExprCodeWriter& writer, CodeOutputs& out,
                                          std::uint32_t& flags) {
  const char* proc = GetProcName();
  const std::string class_name = "QVProc_" + ClassSuffix(proc);
  std::int32_t count = 0;
  if (size_ != nullptr && size_->IsConstant()) {
    SUValue size;
    PrepareValue(size, size_->GetResultType());
    if (!status::IsFailure(size_->Evaluate(size, nullptr)) && size.status == SUValue::kValid) {
      if (size.Kind() == SUValue::kReal) {
        count = static_cast<std::int32_t>(size.payload.real);
      } else if (size.Kind() == SUValue::kInteger) {
        count = size.payload.integer;
      }
    }
  }
  writer.procedure_name = proc != nullptr ? proc : "";
  writer.class_name = class_name;
  const std::int32_t interface_flag = definition_ != nullptr ? definition_->InterfaceFlag() : 0;
  const std::uint8_t options = definition_ != nullptr ? definition_->OptionByte() : 0;
  if (writer.Notifying()) {
    writer.NotifyBuilder(class_name, kBuilderProcedure, writer.procedure_name);
    SUValue flag = SUValue::ConstructInt(interface_flag == 1 ? 1 : 0, SUValue::kLogical);
    writer.DescribeValue(class_name, flag);
    if (count > 0)
      writer.DescribeValue(class_name, SUValue::ConstructInt(count, SUValue::kInteger));
  }
  if (definition_ != nullptr) definition_->WriteClassCode(writer, out, class_name);

  std::string components;
  if ((options & 0x08) != 0) {
    if (components_ != nullptr) {
      const std::string saved = writer.argument_name;
      writer.argument_name = "CompList";
      components = ValueText(writer, components_);
      writer.argument_name = saved;
      if (writer.Notifying()) writer.NotifyBuilder(components, kBuilderComponentList, "CompList");
    } else {
      components = "COMPONENTLIST";
    }
  }
  const std::uint32_t pass_flags =
      flags | (interface_flag == 1 ? codeflag::kOutputArgument : codeflag::kInputArgument);
  Status result = 0;
  for (int pass = 1; pass <= 2; ++pass) {
    std::ostream* s = out[pass == 1 ? codestream::kNonZero : codestream::kOperation];
    if (s == nullptr) continue;
    Indent(writer, *s) << class_name;
    if (pass == 1) {
      *s << " QVProc(true," << count;
    } else {
      *s << " *pQVProc = new " << class_name << "(false," << count;
    }
    if ((options & 0x08) != 0) *s << ", &" << components;
    *s << ");\n";
    if (pass == 1) {
      Indent(writer, *s) << class_name << " *pQVProc = &QVProc;\n";
    } else {
      Indent(writer, *s, 1) << "for (int iPass=0; iPass<2; iPass++) {\n";
    }
    const std::string saved = writer.argument_name;
    writer.argument_name = "IArg";
    RegisterArguments(writer, *s, inputs_,
                      definition_ != nullptr ? definition_->ArgumentDescriptions(false)
                                             : std::vector<std::uint8_t>(),
                      pass_flags);
    writer.argument_name = "OArg";
    result = RegisterArguments(writer, *s, outputs_,
                               definition_ != nullptr ? definition_->ArgumentDescriptions(true)
                                                      : std::vector<std::uint8_t>(),
                               pass_flags);
    writer.argument_name = saved;
    if (pass == 2) {
      Indent(writer, *s) << "pQVProc->LastArgument();\n";
      ChangeIndent(writer, -1, *s) << "}\n";
    }
  }
  return result;
}

Status ProcCallExpression::WriteDerivativeCode(ExprCodeWriter& writer, CodeOutputs& out,
                                               std::int32_t) {
  Line(writer, out[codestream::kValue],
       "QV_ProcedureType *pP=ProcedureEquation(); if (pP) { int rc = pP->Jacobian(jac, "
       "nz_count); if (rc<0) return rc; }");
  return 0;
}

Status ProcCallExpression::ExpandSetIndices(std::int32_t level_base, SetIterators& iterators,
                                            Expression* iterator, std::int32_t& count) {
  Status s = inputs_->ExpandSetIndices(level_base, iterators, iterator, count);
  if (status::IsFailure(s)) return s;
  s = outputs_->ExpandSetIndices(level_base, iterators, iterator, count);
  node_count_ = inputs_->NodeCount() + outputs_->NodeCount();
  return s;
}

Status ProcCallExpression::AssignIteratorLevels(std::int32_t offset,
                                                std::vector<std::string>& names, std::int32_t level,
                                                bool in_loop) {
  if (status::IsFailure(inputs_->AssignIteratorLevels(offset, names, level, in_loop))) {
    return 0x8030FFFFu;
  }
  return outputs_->AssignIteratorLevels(offset, names, level, in_loop);
}
