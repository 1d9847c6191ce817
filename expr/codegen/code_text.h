// Pieces shared by the node code writers.
#pragma once

#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

#include "expr/codegen/code_writer.h"

class Expression;

namespace codetext {

// Writes `text` to the value stream, to the two structure streams when
// `structure` holds, and to the mirror under flag 0x80.
void Emit(const CodeOutputs& out, std::uint32_t flags, bool structure, std::string_view text);

// The structure streams follow the value text unless 0x100 or 0x10000 is set.
inline bool Structure(std::uint32_t flags) {
  return (flags & (codeflag::kValueOnly | codeflag::kNoStructure)) == 0;
}

// The value text of `node` alone: no other stream, no builder calls.
std::string ValueText(ExprCodeWriter& writer, Expression* node, std::uint32_t flags = 0);

// The parts streamed one after the other (g++ 12 warns falsely on long
// chains of string additions).
template <typename... Parts>
std::string Cat(const Parts&... parts) {
  std::ostringstream text;
  (text << ... << parts);
  return text.str();
}

// "factor%d".
std::string Factor(std::int32_t k);

// One derivative statement at the current indentation into the value stream.
void Statement(ExprCodeWriter& writer, const CodeOutputs& out, const std::string& text);

// The node's modelling text.
std::string ModellingText(const Expression* node);

// Keeps the builder path with one more step for the life of the object.
class PathStep {
 public:
  PathStep(ExprCodeWriter& writer, char step) : writer_(writer) { writer_.builder_path += step; }
  ~PathStep() { writer_.builder_path.pop_back(); }
  PathStep(const PathStep&) = delete;
  PathStep& operator=(const PathStep&) = delete;

 private:
  ExprCodeWriter& writer_;
};

// Writes the aggregate function of a FOREACH chain under the writer's
// current aggregate operator; its name.
std::string WriteAggregateFunction(ExprCodeWriter& writer, Expression* chain, Status* status);

// The "#pragma message" marker of a node without derivative code; 1.
Status NoDerivative(ExprCodeWriter& writer, const CodeOutputs& out, const Expression* node);

}  // namespace codetext
