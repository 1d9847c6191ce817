// Compiled expressions: an ExprPCContext turns its tree into a flat tape of
// instructions in evaluation order once, when it is made, and evaluates by
// stepping through the tape; ExprADContext adds the reverse pass that gives
// every variable its partial derivative.
//
// The value stacks, the failing-instruction index and the error text are
// process-wide: one compilation or evaluation runs at a time, and a
// derivative pass must follow the run of its own context (a context whose
// values may be stale carries a negative instruction count).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "expr/eval/expr_context.h"

// Operand kinds of an instruction.
namespace tapekind {
inline constexpr std::uint8_t kVarReal = 0;
inline constexpr std::uint8_t kConstReal = 1;
inline constexpr std::uint8_t kResReal = 2;
inline constexpr std::uint8_t kVarIntAsReal = 3;
inline constexpr std::uint8_t kConstIntAsReal = 4;
inline constexpr std::uint8_t kVarInt = 5;
inline constexpr std::uint8_t kVarIntText = 6;
inline constexpr std::uint8_t kConstInt = 7;
inline constexpr std::uint8_t kResInt = 8;
inline constexpr std::uint8_t kResIntAsReal = 9;
inline constexpr std::uint8_t kVarTyped = 10;
inline constexpr std::uint8_t kConstText = 11;
inline constexpr std::uint8_t kVarText = 12;
inline constexpr std::uint8_t kVarName = 13;
inline constexpr std::uint8_t kResText = 14;
inline constexpr std::uint8_t kNone = 15;
}  // namespace tapekind

// A typed operand (kind 10) names its variable in the low 32 bits; a
// scalar also carries, above them, the type the tree gave it, into which
// the variable's value is converted at run time. An array carries none: the
// aggregates fold it, procedure arguments pack it element by element.
inline constexpr std::uint64_t TypedOperand(std::int32_t index, std::uint16_t type) {
  return static_cast<std::uint32_t>(index) | static_cast<std::uint64_t>(type) << 32;
}
inline constexpr std::int32_t OperandIndex(std::uint64_t operand) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(operand));
}
inline constexpr std::uint16_t OperandType(std::uint64_t operand) {
  return static_cast<std::uint16_t>(operand >> 32);
}

// Rows that exist only on the tape.
inline constexpr std::uint32_t kNoOperatorRow = 999;

struct TapeInstruction {
  std::uint32_t op = kNoOperatorRow;
  std::uint8_t left_kind = tapekind::kNone;
  std::uint8_t left_flag = 0;
  std::uint8_t right_kind = tapekind::kNone;
  std::uint8_t right_flag = 0;
  // A variable's index in the context, a constant's value, or the result
  // slot (index + 1) of an earlier instruction.
  std::uint64_t left = 0;
  std::uint64_t right = 0;
  // Filled on first use: the variables' current values; for a system
  // function the registry entry. A real constant's value is copied here when
  // the tape is made: read in place, it spares a load from the tree's node.
  union {
    void* left_value = nullptr;
    double left_real;
  };
  union {
    void* right_value = nullptr;
    double right_real;
  };
  // 0 real, 1 integer, 2 text, 3 none.
  std::uint8_t result = 0;
};

struct OpCodeTape {
  std::vector<TapeInstruction> code;
};

// Evaluation failures: 0x80000000 + code.
namespace tapestatus {
inline constexpr Status Code(std::uint16_t code) { return 0x80000000u + code; }
inline constexpr Status kNoTape = 0xA030FFFFu;
// A derivative pass over a tape that packs a procedure call: the procedure
// gives its own derivatives.
inline constexpr Status kNoCallDerivative = Code(626);
}  // namespace tapestatus

// An array operand of an aggregate row, folded by that row: the sum,
// product, largest or smallest element (0.0 when empty). False when an
// element is not a number.
bool FoldArray(std::uint32_t op, const SUValue& array, double* out);

// The text of an evaluation error code ("unknown error code %d" otherwise).
const char* ExprErrorText(std::uint16_t code);

// One packed argument area of a procedure call and its cursor.
struct ProcArea {
  std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t cursor = 0;
};
inline constexpr std::size_t kProcTextField = 40;

// The process-wide evaluation state the interpreter leaves behind.
struct TapeState {
  std::vector<double> reals;
  std::vector<std::int32_t> ints;
  std::vector<std::string> texts;
  std::size_t capacity = 0;
  // The operand values a derivative sweep reads, taken before it starts.
  std::vector<double> sweep_left;
  std::vector<double> sweep_right;
  std::int32_t failing = 0;  // the failed instruction; after success the count
  char error_text[81] = {};
  // The stacks hold the values of the last successful run of `owner`.
  bool values_current = false;
  const void* owner = nullptr;
  // The argument areas of the procedure call a tape packs: a real or an
  // integer takes an 8-byte slot (an integer as 64 bits, so a user library
  // sees the same bytes as from compiled code), a text a 40-byte field.
  ProcArea input;
  ProcArea output;
  bool inputs_changed = false;
  std::int32_t derivative_mode = 0;
  // Set while a sensitivity system is formed (HeldDelays).
  bool delays_held = false;
};
TapeState& TapeStateNow();

// While one lives, a DELAY with a positive lag counts as a value of the
// history: its partial by the delayed variable is 0, and the history's
// part of a sensitivity comes from ExprADContext::DelayedSensitivity.
class HeldDelays {
 public:
  HeldDelays() : was_(TapeStateNow().delays_held) { TapeStateNow().delays_held = true; }
  ~HeldDelays() { TapeStateNow().delays_held = was_; }
  HeldDelays(const HeldDelays&) = delete;
  HeldDelays& operator=(const HeldDelays&) = delete;

 private:
  bool was_;
};

// Finds variables by name for name-typed leaves (monitors).
class ExprVariableFinder {
 public:
  virtual ExpressionVariable* FindVariable(const char* name) = 0;

 protected:
  ~ExprVariableFinder() = default;
};

class ExprPCContext : public ExprContext {
 public:
  // Compiles at once; an expression that cannot be compiled leaves no tape,
  // and evaluating the context then fails.
  ExprPCContext(Expression* expression, ExpressionVariable** variables, std::int32_t count,
                ExprVariableFinder* finder = nullptr, std::int32_t capacity = -1);
  // Forgets that the stacks hold its values: a later context made at the
  // same address must not take them for its own.
  ~ExprPCContext() override;

  Status VisitVariables() override { return 0; }
  void Print(std::ostream& out) override;
  Status Evaluate() override { return RunTape(); }

  Status RunTape();
  std::int32_t InstructionCount() const { return count_; }
  bool HasTape() const { return count_ != 0; }
  // Without a tape: the innermost node the compiler could not take (its
  // operator, or a leaf of a type it cannot read); null when there was no
  // expression.
  Expression* RefusedNode() const { return refused_; }
  // Marks the stored values stale: the next derivative pass runs the tape.
  void MarkStale() {
    if (count_ > 0) count_ = -count_;
  }
  const OpCodeTape& Tape() const { return tape_; }
  // One instruction and those its operands come from, in modelling form;
  // -(k + 1) prints only the part of instruction k that can fail.
  void PrintTape(std::int32_t instruction, std::ostream& out);
  // C for the residual: one assignment per instruction into s (reals), is
  // (integers) and ss (texts), then "res=" or "ires=". `string_mode` 1
  // packs texts the FORTRAN way. Rows that cannot be written leave a marker
  // and set writer.tape.failed.
  Status WriteValueCode(ExprCodeWriter& writer, std::ostream& out, std::int32_t string_mode = 0);
  // The packing of an array argument of a procedure call (argument k of
  // the inputs or outputs, its first slot at *position, which it advances),
  // element by element in the call's layout. False when the context cannot:
  // the row is then written as not implemented.
  virtual bool WriteArrayArgumentCode(ExprCodeWriter&, std::ostream&, bool /*input*/,
                                      std::int32_t /*k*/, std::int32_t* /*position*/,
                                      std::int32_t /*string_mode*/) {
    return false;
  }

 protected:
  // The C text of an operand of instruction k; `as_double` for a real slot.
  std::string OperandCode(const TapeInstruction& in, bool left, const char* real_format);
  // The element texts of the array an aggregate row folds ("x[i]" for an
  // element in the solver's vector, else its value), with each element's
  // variable (null for a value) in *columns; one empty text for an empty
  // array, none when an element cannot be folded.
  std::vector<std::string> ArrayElementCode(const TapeInstruction& in, const char* real_format,
                                            std::vector<ExpressionVariable*>* columns);
  std::int32_t count_ = 0;
  OpCodeTape tape_;

 private:
  struct Operand;
  void Compile();
  bool Emit(Expression* node, std::uint16_t wanted, Operand* out);
  bool EmitNode(Expression* node, std::uint16_t wanted, Operand* out);
  bool EmitLeaf(Expression* node, std::uint16_t wanted, Operand* out);
  bool EmitAggregate(Expression* node, Operand* out);
  bool EmitCall(Expression* node, Operand* out);
  Operand Push(std::uint32_t op, const Operand& left, const Operand& right, std::uint8_t result);
  SUValue* ValueOf(TapeInstruction& in, bool left);
  // The run of a plain tape (real operands and arithmetic only); false,
  // with nothing but the value stacks touched, where an instruction could
  // fail or the result is not a real: the full run then does it again.
  bool RunPlain(TapeState& s);
  // Every other run, and a plain one RunPlain gave back.
  Status RunFull(TapeState& s);
  // A variable or constant operand.
  void PrintLeaf(std::uint8_t kind, std::uint64_t operand, std::ostream& out);

  ExprVariableFinder* finder_;
  Expression* refused_ = nullptr;
  // Every instruction reads reals and does arithmetic on them: RunPlain
  // may run the tape.
  bool plain_ = false;
};

class ExprADContext : public ExprPCContext {
 public:
  ExprADContext(Expression* expression, ExpressionVariable** variables, std::int32_t count,
                std::int32_t capacity = -1)
      : ExprPCContext(expression, variables, count, nullptr, capacity) {}

  virtual Status PrepareDerivatives(std::int32_t) { return 0; }
  virtual double VariableDerivativeFlag(std::int32_t index, std::int32_t mode);
  // Adds d(result)/d(variable) into *value (the caller clears it).
  virtual Status EvaluateDerivative(ExpressionVariable* variable, double* value, std::int32_t mode);
  // Hands each variable its partial derivative through AddToElement.
  virtual Status EvaluateJacobian(std::int32_t mode);
  virtual std::int32_t MarkVariables(std::uint32_t n);
  // The Jacobian entries of an aggregate row folding an array: each element
  // in a column gets its share of adjoint c (r the row's value slot).
  void WriteFoldEntries(ExprCodeWriter& writer, const TapeInstruction& in, const std::string& c,
                        const std::string& r, const std::vector<std::int32_t>& columns,
                        std::vector<bool>* written, std::string* line);
  virtual Status ResetVariables(std::int32_t a, std::int32_t b);
  // Packs the call's inputs (flagging a change) and the outputs' starting
  // values by running the tape; *changed comes back set when an input differed.
  Status RunTapeWithIO(ProcArea input, ProcArea output, bool* changed, std::int32_t mode);
  Status ClassifyNonlinearity(std::int32_t* out, std::int32_t a, std::int32_t b, std::int32_t mode);

  Status ReversePass(std::int32_t mode) { return Sweep(mode, nullptr, nullptr); }
  // C for the reverse sweep after the value code: J[j_offset + p] for the
  // variable with solver index columns[p]; a listed column the residual
  // does not reach gets 0.
  Status WriteDerivativeCode(ExprCodeWriter& writer, std::ostream& out,
                             const std::vector<std::int32_t>& columns);
  Status DerivativeForVariable(ExpressionVariable* chosen, double* value, std::int32_t mode) {
    return Sweep(mode, chosen, value);
  }
  // Adds into *value, for each DELAY with a positive lag, d(result)/d(its
  // value) times its variable's sensitivity by parameter `key` one lag ago
  // (the variable's ValueAtTime); nothing reaches the variables.
  Status DelayedSensitivity(std::int32_t key, double* value) {
    return Sweep(0, nullptr, value, key);
  }
  bool HasDelay() const;

 private:
  // A key of 0 or more sweeps for DelayedSensitivity.
  Status Sweep(std::int32_t mode, ExpressionVariable* chosen, double* value, std::int32_t key = -1);
  bool IsActive(std::uint8_t kind, std::uint64_t operand, std::int32_t mode);
};
