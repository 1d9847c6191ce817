// The context of the C++ code writers of the expression nodes: output
// streams, indentation, the names of the procedure call being written, the
// enclosing aggregate, the set iterators in scope, and the optional code
// builder, an outside COM component told of names and values while code is
// written. Code generation owns the writer state and fills it; the nodes
// only write into it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

#include "expr/tree/operator_table.h"
#include "foundation/values/typed_value.h"
#include "platform/bstr.h"
#include "platform/unknown.h"

class Expression;

// The code builder, in its designed slot order (the engine calls only these).
// Every operation hands back an object that the caller releases at once.
inline constexpr platform::IID IID_ICodeBuilder =
    platform::MakeGuid("{072CCDD1-5F1B-434E-B0C0-A4AC71A7D4B4}");

class ICodeBuilder : public platform::IUnknown {
 public:
  virtual Status LinkArgument(platform::BSTR name, platform::BSTR second,
                              platform::IUnknown** out) = 0;
  virtual Status AnnounceName(platform::BSTR name, std::int32_t kind, platform::BSTR second,
                              platform::IUnknown** out) = 0;
  virtual Status DescribeIntegerValue(platform::BSTR name, std::int32_t type, std::int32_t value,
                                      platform::IUnknown** out) = 0;
  virtual Status DescribeRealValue(platform::BSTR name, std::int32_t type, double value,
                                   platform::IUnknown** out) = 0;
  virtual Status DescribeLogicalValue(platform::BSTR name, std::int32_t type, std::int32_t flag,
                                      platform::IUnknown** out) = 0;
  virtual Status DescribeStringValue(platform::BSTR name, std::int32_t type, platform::BSTR text,
                                     platform::IUnknown** out) = 0;
  virtual Status AddIntegerSetElement(platform::BSTR name, std::int32_t type, std::int32_t value,
                                      platform::IUnknown** out) = 0;
  virtual Status AddStringSetElement(platform::BSTR name, std::int32_t type, platform::BSTR text,
                                     platform::IUnknown** out) = 0;

 protected:
  ~ICodeBuilder() = default;
};

// A failed builder call, raised to the generator that attached the builder.
class CodeBuilderError : public std::runtime_error {
 public:
  explicit CodeBuilderError(Status status);
  Status status() const { return status_; }
  const platform::IID& iid() const { return IID_ICodeBuilder; }

 private:
  Status status_;
};

// Builder kinds.
inline constexpr std::int32_t kBuilderOperator = 17;
inline constexpr std::int32_t kBuilderName = 20;
// Procedure registration (no designed kind; see ProcCallExpression code).
inline constexpr std::int32_t kBuilderProcedure = 21;
inline constexpr std::int32_t kBuilderComponentList = 22;
inline constexpr std::int32_t kEmptyIntegerSetMark = -999999;

// Output stream entries; any may be null.
namespace codestream {
inline constexpr int kValue = 0;
inline constexpr int kNonZero = 1;    // also pass 1 of procedure registration
inline constexpr int kOperation = 2;  // also pass 2
inline constexpr int kMirror = 6;     // messages and the declaration mirror
inline constexpr int kCount = 8;
}  // namespace codestream

struct CodeOutputs {
  std::ostream* stream[codestream::kCount] = {};
  std::ostream* operator[](int i) const { return stream[i]; }
};

// Writer flag bits.
namespace codeflag {
inline constexpr std::uint32_t kIndexChain = 0x0001;  // inside a Vec index chain
inline constexpr std::uint32_t kNoVecAccessor = 0x0002;
inline constexpr std::uint32_t kInputArgument = 0x0004;
inline constexpr std::uint32_t kOutputArgument = 0x0008;
inline constexpr std::uint32_t kPlainValue = 0x0010;  // no ".v()" accessor
inline constexpr std::uint32_t kMirror = 0x0080;      // also the mirror stream
inline constexpr std::uint32_t kValueOnly = 0x0100;
inline constexpr std::uint32_t kPrivateCode = 0x0200;
inline constexpr std::uint32_t kSetFunction = 0x0400;
inline constexpr std::uint32_t kNoDereference = 0x0800;  // no "(*" before a name
inline constexpr std::uint32_t kInTerm = 0x4000;
inline constexpr std::uint32_t kNoAddOp = 0x8000;
inline constexpr std::uint32_t kNoStructure = 0x10000;
}  // namespace codeflag

// The set iterators in scope: entry k (from 0) is iterator QV_VSI<k+1>, the
// set expression it runs over (one reference held) or null.
struct SetIterators {
  SetIterators() = default;
  SetIterators(const SetIterators&) = delete;
  SetIterators& operator=(const SetIterators&) = delete;
  ~SetIterators();
  // Grows to `count` entries, new ones null.
  void Resize(std::size_t count);
  // Puts `set` at entry k (a reference taken, the old one released).
  void Set(std::size_t k, Expression* set);
  std::size_t Count() const { return sets.size(); }
  // True when entry k iterates strings.
  bool IsString(std::size_t k) const;

  std::vector<Expression*> sets;
};

// The state of the compiled-equation generator that the tape writers read
// and mark: equations written so far, the current one and its nonlinear
// mark, the offset of its first Jacobian entry, and whether some row could
// not be written.
struct TapeCodeState {
  std::int32_t equation_count = 0;
  std::int32_t current_equation = 0;
  std::vector<bool> nonlinear;
  std::int32_t j_offset = 0;
  bool failed = false;
  void MarkNonlinear() {
    const auto k = static_cast<std::size_t>(current_equation < 0 ? 0 : current_equation);
    if (nonlinear.size() <= k) nonlinear.resize(k + 1, false);
    nonlinear[k] = true;
  }
};

struct ExprCodeWriter {
  std::uint32_t indent = 0;  // one level is 2 columns
  TapeCodeState tape;
  std::string procedure_name;
  std::string class_name;
  std::string argument_name;  // "IArg", "OArg", "CompList" and their suffixes
  std::uint16_t aggregate_op = kNop;
  ICodeBuilder* builder = nullptr;
  bool notify_builder = false;
  // "L" and "R" from the root to the node being written.
  std::string builder_path;
  // Upper-cased names of the name constants met under a marked dereference.
  std::vector<std::string> dereferenced_names;
  // The iterators of the loops open around the code being written.
  std::vector<std::uint16_t> loop_types;  // 2 integer, 5 string
  // Aggregate functions: numbered per generation, written into this folder
  // under their own names; the generator names its private build folder
  // (with none, no function is written and the writer fails).
  std::uint32_t aggregate_functions = 0;
  std::string function_folder;

  // Tells the builder of a name (kind 20 for names and variables) when a
  // builder is attached and notification is on.
  void NotifyBuilder(const std::string& name, std::int32_t kind, const std::string& second);
  void LinkArgument(const std::string& name, const std::string& second);
  // A typed value, element by element for sets; a name is announced.
  void DescribeValue(const std::string& name, const SUValue& value);
  bool Notifying() const { return builder != nullptr && notify_builder; }
};

// --- text utilities ---

// Writes 2 x level columns (nothing at level 0), then adds delta.
std::ostream& Indent(ExprCodeWriter& writer, std::ostream& out, std::int32_t delta = 0);
// Adds delta first, then writes the columns of the new level.
std::ostream& ChangeIndent(ExprCodeWriter& writer, std::int32_t delta, std::ostream& out);
void WriteStringLiteral(ExprCodeWriter& writer, std::ostream& out, const char* text,
                        const char* prefix = nullptr);
void WriteWideLiteral(std::ostream& out, const char* text, const char* prefix = nullptr);
// A model text as it may stand inside a C literal: a quote, backslash or
// line end must neither end the literal early nor break the line.
std::string EscapedText(const char* text);
// A typed value as a C++ expression; `name` makes sets declarations.
void WriteConstant(ExprCodeWriter& writer, std::ostream& out, const SUValue& value,
                   const char* name = nullptr);
// A real as "%#.17g" without trailing zeros ("1.", "0.5").
std::string RealLiteral(double value);
// A C identifier from a model name: the upper-cased name, or for an indexed
// name "_" first letter "_" index ("Blocks(\"b1\")" gives _B_B1).
std::string CIdentifier(ExprCodeWriter& writer, const char* name);
// "(QV_StringSetIter &QV_VSI1, int iTermToIgnore=-1, double dMinMax=0.0)"
// when declaring, "(QV_VSI1, iTerm++, dMinMax)" in a call.
void WriteSetIterParams(const std::vector<std::uint16_t>& iterator_types, std::ostream& out,
                        bool declare, bool term_counter, bool min_max);
// The file `name` in `folder`, with one separator between them.
std::string FolderFile(const std::string& folder, const std::string& name);
// Appends the file `name` in `folder` (at most 1023 characters together) to
// `text` and deletes it; a file that cannot be opened, a link, or a file
// that is not this user's changes nothing.
void AppendFileToText(std::string& text, const char* folder, const char* file_name);
// Opens loop `number` over a set: the iterator declaration and its
// "while (QV_VSI<n>.Next()) {".
void WriteSetIterationHeader(ExprCodeWriter& writer, std::ostream& out, bool string_set,
                             std::uint32_t number, const std::string& set_code);

// The name an operator row's C++ code gives the node's operator ("Sigma").
inline const char* OperatorName(std::uint16_t op) { return Row(op).name; }
