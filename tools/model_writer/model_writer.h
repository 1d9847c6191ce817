// The client side of instance descriptions: id paths, expressions in their
// compact form, item lists and item bodies, written straight into a message
// body so that values land whole in their segments. Shared by the
// end-to-end tests, the vantor client and sample models.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/status.h"

class BvuBinaryStream;

namespace modelwriter {

// A step of a placement path: child index and the name with its separator.
using Step = std::pair<std::uint32_t, std::string>;

// Item tags.
enum Tag : std::uint16_t {
  kEquation = 2,
  kIfEquation = 6,
  kNestedList = 9,
  kSwitchEquation = 13,
  kTransition = 14,
  kRealVariable = 15,
  kIntegerParameter = 16,
  kStringParameter = 17,
  kRealParameter = 19,
  kConnection = 21,
  kInlineEquation = 22,
  kLogicalParameter = 23,
  kStateVariable = 25,
};

// Expressions: codes as they travel (Term 2, Add 18, Sub 19, Mul 20, Div 21,
// Sqrt 31, ...); leaves are constants or references to the equation's
// variables by offset.
struct Node {
  std::uint8_t code = 2;
  std::uint16_t type = 4;
  std::uint8_t leaf_class = 0;  // 0 for an operator
  double real = 0.0;
  std::int32_t integer = 0;  // an integer or logical constant
  std::string text;          // a string constant
  std::uint32_t offset = 0;
  std::vector<std::shared_ptr<const Node>> operands;
};
using Expr = std::shared_ptr<const Node>;

Expr Real(double value);
// Integer (type 2), logical (3) and string (5) constants.
Expr Int(std::int32_t value);
Expr Logical(bool value);
Expr Str(const std::string& value);
Expr Var(std::uint32_t offset);
Expr Unary(std::uint8_t code, Expr operand);
Expr Binary(std::uint8_t code, Expr left, Expr right);
inline Expr Add(Expr a, Expr b) { return Binary(18, std::move(a), std::move(b)); }
inline Expr Sub(Expr a, Expr b) { return Binary(19, std::move(a), std::move(b)); }
inline Expr Mul(Expr a, Expr b) { return Binary(20, std::move(a), std::move(b)); }
inline Expr Div(Expr a, Expr b) { return Binary(21, std::move(a), std::move(b)); }
inline Expr Sqrt(Expr a) { return Unary(31, std::move(a)); }
// The argument list of an aggregate (a list of reals), and the sum over it.
Expr List(std::vector<Expr> items);
inline Expr Sigma(Expr list) { return Unary(42, std::move(list)); }
// A comparison: a logical result.
Expr Greater(Expr a, Expr b);
// The simulation time: an operator of its own that carries no leaf body.
Expr Time();
// The value of a variable reference `lag` time units ago.
inline Expr Delay(Expr variable, Expr lag) { return Binary(51, std::move(variable), std::move(lag)); }
// A reference of a given type: 0x104 a one-level real array, 0x204 two
// levels, 2 an integer, 5 a text.
Expr TypedVar(std::uint32_t offset, std::uint16_t type);
// The call of the procedure defined at library index `definition`: its
// input arguments, then the outputs it assigns (references).
Expr ProcCall(std::vector<Expr> inputs, std::vector<Expr> outputs, std::uint32_t definition);

// A procedure definition as the library service takes it: an argument's
// descriptor is its type code plus 0x100 per array level, and names each
// level's size.
struct ProcArgument {
  std::uint16_t descriptor = 4;
  std::string name;
  std::vector<std::string> sizes;
};
struct Procedure {
  std::string name;
  std::string implementation;  // the routine's name in the library
  std::string library;         // the library file
  std::uint32_t version = 2;   // calling interface
  std::uint32_t language = 2;  // 1 FORTRAN, 2 C
  std::uint32_t options = 0;   // 0x2 precall, 0x4 postcall, 0x10 derivatives, ...
  std::vector<ProcArgument> inputs, outputs;
};

class Writer {
 public:
  explicit Writer(BvuBinaryStream& stream) : stream_(stream) {}

  // The first failed write, else 0.
  Status status() const { return status_; }

  void U8(std::uint8_t v);
  void U16(std::uint16_t v);
  void U32(std::uint32_t v);
  void F64(double v);
  void Text(const char* text);

  // Names flag 1, ABS, the named steps, END.
  void Placement(const std::vector<Step>& steps);
  // Names flag 0, ABS, the ids, END.
  void IdPath(const std::vector<std::uint32_t>& ids);
  // A scalar reference to an existing node: depth 0, kind 18, the id path.
  void Reference(const std::vector<std::uint32_t>& ids);
  // A scalar literal parameter of the item tag (15, 16, 17, 19, 23) placed
  // by the path; its parameter body follows. Any other kind names no variable.
  void ParameterReference(std::uint16_t kind, const std::vector<Step>& placement);
  // An array reference of `depth` dimensions: the members of the outer level
  // follow, each a SubArray (depth above 1) or a Member.
  void ArrayReference(std::uint8_t depth, std::uint32_t members) { U8(depth), U32(members); }
  void SubArray(std::uint32_t members) { U32(members); }
  void Member(const std::vector<std::uint32_t>& ids) { U16(18), IdPath(ids); }
  void Expression(const Expr& e);

  // An item list starts with its count.
  void List(std::uint32_t count) { U32(count); }
  void Item(Tag tag) { U16(tag); }
  // Variable attributes; End closes any attribute body.
  void Value(double v) { Attr(1), F64(v); }
  // The value of an integer or logical, and of a string parameter.
  void IntValue(std::int32_t v) { Attr(1), U32(static_cast<std::uint32_t>(v)); }
  void TextValue(const char* text) { Attr(1), Text(text); }
  void Spec(std::uint16_t code) { Attr(11), U16(code); }
  void Lower(double v) { Attr(7), F64(v); }
  void Upper(double v) { Attr(8), F64(v); }
  void ScaleReciprocal(double v) { Attr(9), F64(v); }
  void Description(const char* text) { Attr(18), Text(text); }
  // Non-zero: the variable joins the results manager's set.
  void Record(std::uint16_t on) { Attr(15), U16(on); }
  void End() { U8(0); }

  // An IF item up to its body: the condition's library path and the node's
  // placement; the body and the THEN and ELSE lists follow.
  void IfHead(const std::vector<std::uint32_t>& condition, const std::vector<Step>& placement) {
    Item(kIfEquation), IdPath(condition), Placement(placement);
  }
  // A switch item up to its state lists; the lists and InitialState follow.
  void SwitchHead(const std::vector<Step>& placement, const std::vector<std::string>& states);
  void InitialState(const char* name) { Text(name); }
  // A transition item up to its body; the body and TargetState follow.
  void TransitionHead(const std::vector<std::uint32_t>& condition,
                      const std::vector<Step>& placement) {
    Item(kTransition), IdPath(condition), Placement(placement);
  }
  void TargetState(const char* name) { Text(name); }
  // An equation body: u32 0, an empty text, the reference count; the
  // references follow.
  void EquationHead(std::uint32_t references);
  // The body of a procedure definition (after its library placement).
  void Definition(const Procedure& procedure);

 private:
  void Attr(std::uint8_t tag) { U8(tag); }
  void Keep(Status s);

  BvuBinaryStream& stream_;
  Status status_ = 0;
};

}  // namespace modelwriter
