#include "expr/codegen/code_text.h"

#include <sstream>
#include <vector>

#include "expr/tree/expression.h"
#include "platform/safe_write.h"

namespace codetext {

void Emit(const CodeOutputs& out, std::uint32_t flags, bool structure, std::string_view text) {
  if (out[codestream::kValue] != nullptr) *out[codestream::kValue] << text;
  if (structure) {
    if (out[codestream::kNonZero] != nullptr) *out[codestream::kNonZero] << text;
    if (out[codestream::kOperation] != nullptr) *out[codestream::kOperation] << text;
  }
  if ((flags & codeflag::kMirror) != 0 && out[codestream::kMirror] != nullptr) {
    *out[codestream::kMirror] << text;
  }
}

std::string ValueText(ExprCodeWriter& writer, Expression* node, std::uint32_t flags) {
  if (node == nullptr) return std::string();
  std::ostringstream text;
  CodeOutputs only;
  only.stream[codestream::kValue] = &text;
  const bool notify = writer.notify_builder;
  const std::string path = writer.builder_path;
  writer.notify_builder = false;
  std::uint32_t f = flags;
  try {
    node->WriteValueCode(writer, only, f);
  } catch (...) {
    writer.notify_builder = notify;
    throw;
  }
  writer.notify_builder = notify;
  writer.builder_path = path;
  return text.str();
}

std::string Factor(std::int32_t k) { return "factor" + std::to_string(k); }

void Statement(ExprCodeWriter& writer, const CodeOutputs& out, const std::string& text) {
  if (out[codestream::kValue] == nullptr) return;
  Indent(writer, *out[codestream::kValue]) << text << '\n';
}

std::string ModellingText(const Expression* node) {
  std::ostringstream text;
  Expression::PrintNode(text, node);
  return text.str();
}

Status NoDerivative(ExprCodeWriter& writer, const CodeOutputs& out, const Expression* node) {
  if (out[codestream::kValue] != nullptr) {
    std::ostream& s = *out[codestream::kValue];
    Indent(writer, s) << "#pragma message (\"Derivative generation is not supported for the "
                         "expression "
                      << EscapedText(ModellingText(node).c_str()) << "\")\n";
    Indent(writer, s) << "_export_failed_ ;\n";
  }
  return 1;
}

namespace {

bool IsSetAggregate(std::uint16_t op) {
  return op == kUnionFn || op == kDiffFn || op == kISectFn || op == kSymDiffFn;
}

const char* SetCombination(std::uint16_t op) {
  switch (op) {
    case kDiffFn:
      return "-=temp;";
    case kISectFn:
      return "*=temp;";
    case kSymDiffFn:
      return "/=temp;";
    default:
      return "+=temp;";
  }
}

// Opens one loop per link of the chain; the innermost item.
Expression* OpenLoops(ExprCodeWriter& writer, std::ostream& out, Expression* chain) {
  Expression* node = chain;
  while (node != nullptr && node->Op() == kForEach && node->Operand(2) != nullptr) {
    Expression* set = node->Operand(2);
    const bool strings = (set->GetResultType() & SUValue::kKindMask) == SUValue::kString;
    const std::string set_code = ValueText(writer, set, codeflag::kValueOnly);
    writer.loop_types.push_back(strings ? SUValue::kString : SUValue::kInteger);
    WriteSetIterationHeader(writer, out, strings,
                            static_cast<std::uint32_t>(writer.loop_types.size()), set_code);
    node = node->Operand(1);
  }
  return node;
}

}  // namespace

std::string WriteAggregateFunction(ExprCodeWriter& writer, Expression* chain, Status* status) {
  const std::uint16_t op = writer.aggregate_op;
  const std::string name = OperatorName(op) + std::to_string(++writer.aggregate_functions);
  const bool sets = IsSetAggregate(op);
  const bool extreme = op == kMaxList || op == kMinList;
  const bool term = op == kProd || extreme;

  std::ostringstream body;
  const std::vector<std::uint16_t> enclosing = writer.loop_types;
  const std::uint32_t indent = writer.indent;
  writer.indent = 0;
  body << (sets ? "QV_SetValue &" : "double ") << name;
  WriteSetIterParams(enclosing, body, true, term, extreme);
  body << " {\n";
  writer.indent = 1;
  if (sets) {
    Indent(writer, body) << "static QV_SetValue result;\n";
    Indent(writer, body) << "result.Clear();\n";
    Indent(writer, body) << "int iOperation = 0;\n";
  } else {
    const char* start = op == kProd      ? "double result=1.0;"
                        : op == kMinList ? "double result=DBL_MAX;"
                        : op == kMaxList ? "double result=-DBL_MAX;"
                                         : "double result=0.0;";
    Indent(writer, body) << start << '\n';
    if (extreme) Indent(writer, body) << "bool bDoingDiff = iTermToIgnore!=-1;\n";
  }
  const std::size_t outer_loops = writer.loop_types.size();
  Expression* item = OpenLoops(writer, body, chain);
  const std::string value = ValueText(writer, item, codeflag::kValueOnly);
  const char* lead = sets           ? "QV_SetValue temp = "
                     : op == kProd  ? "if (iTermToIgnore--) result*="
                     : op == kSigma ? "result+="
                     : extreme      ? "double dTemp="
                                    : "result=";
  Indent(writer, body) << lead << value << ";\n";
  if (sets) {
    Indent(writer, body) << "if (!iOperation++) result = temp;\n";
    Indent(writer, body) << "else result" << SetCombination(op) << '\n';
  } else if (extreme) {
    Indent(writer, body) << "if (bDoingDiff) {\n";
    Indent(writer, body) << "  if (!iTermToIgnore--) return (dTemp==dMinMax) ? 1.0 : 0.0;\n";
    Indent(writer, body) << "} else\n";
    Indent(writer, body) << "  result = " << (op == kMaxList ? "QV_max" : "QV_min")
                         << "(result,dTemp);\n";
  }
  while (writer.loop_types.size() > outer_loops) {
    writer.loop_types.pop_back();
    ChangeIndent(writer, -1, body) << "} //close inner loop in " << name << '\n';
  }
  Indent(writer, body) << "return result;\n";
  body << "} //end of " << name << '\n';
  writer.indent = indent;

  // Only into the folder the generator chose, its private build folder:
  // nothing is written through a link or over another user's file there.
  int error = 0;
  platform::FileOutStream file(
      writer.function_folder.empty()
          ? platform::FileDescriptor()
          : platform::ReplaceWithNewFile(FolderFile(writer.function_folder, name).c_str(), &error));
  if (!file.is_open()) {
    *status |= 1;
    return name;
  }
  file << body.str();
  file.close();
  if (!file) *status |= 1;
  return name;
}

}  // namespace codetext
