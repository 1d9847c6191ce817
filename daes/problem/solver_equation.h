// Solver equations: the row of the system that solvers see for one model
// equation. It evaluates the residual and its partial derivatives through
// the equation's compiled tape (or the compiled equation library when one
// is loaded), reports failures with the residual and its variables' values,
// and keeps the row's variables (problem entries) sorted by sequence number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <vector>

#include "daes/equations/row.h"
#include "expr/tape/tape.h"

class DAESClassCollector;
class DAESSimpleEquation;
class DAESRowElement;
namespace daes {
struct EquationCState;
}

namespace daes {
inline constexpr Status kNonFiniteResidual = 0x80310226u;
inline constexpr Status kEvaluationException = 0xA0000000u;
inline constexpr double kLargestValue = 1.797693134862315e308;

// The flag word of Evaluate and EvaluateDerivatives.
inline constexpr std::uint32_t kEvalDiscrete = 0x01;
inline constexpr std::uint32_t kEvalResidual = 0x02;
inline constexpr std::uint32_t kEvalDerivatives = 0x04;
inline constexpr std::uint32_t kEvalElementSteps = 0x08;
// A failed derivative check takes the numeric value.
inline constexpr std::uint32_t kEvalCheckNumerics = 0x20;
inline constexpr std::uint32_t kEvalInterpreted = 0x40;
inline constexpr std::uint32_t kEvalExtra = 0x80;

// The compiled equation library as the equation system uses it; the code
// generator fills it when it loads a library. Null entries when none is.
struct CompiledLibrary {
  double (*residual)(std::uint32_t number) = nullptr;
  Status (*precall_procs)() = nullptr;
  Status (*postcall_procs)(std::int32_t) = nullptr;
  // The library's array of unknowns, one per column of the current problem.
  double* (*getx_address)() = nullptr;
  // Switch states: recompute equation N's states from the current values;
  // the state of its row at nesting level `level`.
  void (*eqn_reset_state)(std::uint32_t number) = nullptr;
  std::int32_t (*eqn_level_state)(std::uint32_t number, std::int32_t level) = nullptr;
  // Procedure equations: the output of equation N's call, and the first of
  // its residual derivatives (one per input element).
  double (*procoutput)(std::uint32_t number) = nullptr;
  double* (*procderivs)(std::uint32_t number) = nullptr;
  // The library's real and integer intermediates: its residual of a plain
  // row leaves instruction k's value at k + 1 and the saved results at
  // k + 1 + half, as the interpreter lays out its stacks. `size` entries;
  // null when the library does not share them.
  const double* reals = nullptr;
  const std::int32_t* ints = nullptr;
  std::size_t half = 0;
  std::size_t size = 0;
  // Equation N's residual, then its derivatives from the library's
  // Jacobian code into J at the equation's offset (the library's own
  // numbering of the entries); null when the library has no such code.
  // `jacobian` holds `jacobian_size` entries; `generation` names the
  // writer that wrote the library, which rows check their offsets against.
  double (*residual_jacobian)(std::uint32_t number, double* J) = nullptr;
  double* jacobian = nullptr;
  std::size_t jacobian_size = 0;
  std::uint64_t generation = 0;
  bool IsLoaded() const { return residual != nullptr; }
};
// Inline: every evaluation and every value written asks for it.
inline CompiledLibrary& CurrentCompiledLibrary() {
  static constinit CompiledLibrary library;
  return library;
}
}  // namespace daes

// The tape of one residual over the equation's row elements; derivatives
// land in each element's value entries.
class DAESEquationContext : private std::vector<ExpressionVariable*>, public ExprADContext {
 public:
  DAESEquationContext(Expression* expression, const std::vector<DAESRowElement*>& elements);
  // Entry i of every element (each array member) becomes 0.0.
  Status PrepareDerivatives(std::int32_t i) override;
  std::int32_t ElementCount() const { return static_cast<std::int32_t>(size()); }
  DAESRowElement* Element(std::int32_t i) const;
};

class DAESSolverEquation : public DAESEqnRow {
 public:
  explicit DAESSolverEquation(DAESSimpleEquation* model);
  ~DAESSolverEquation() override;

  // --- row ---
  const char* GetNameText(std::int32_t arg = 0) override;
  std::uint32_t GetFlags() override;
  std::int32_t ActiveVariableCount() override;
  void Dump(std::ostream& out) override { Dump(out, false, 0, false); }
  virtual void Dump(std::ostream& out, bool detail, std::int32_t indent, bool dynamic);
  Status MarkVariable(DAESVarTableEntry* variable) override;
  std::int32_t IsSameModelEquation(QLNEquation* row) override;
  Status GetResidual(double* value) override {
    *value = 0.0;
    return daes::kRowNotImplemented;
  }
  Status ResidualValue(double* value) override;
  Status Evaluate(std::uint32_t flags, void* arg) override;
  QLNEquation* UnderlyingEquation() override { return this; }
  void Prefetch(std::int32_t stage) const override;
  std::ostream& PrintResidual(std::ostream& out, std::int32_t width, const char* prefix) override;
  Status SetResidualValue(double value) override;

  // --- solver equation ---
  // Registers every row element's variable with the group (which may hand
  // back the entry that stands for it) and with this row; parameters stay
  // out. 0.
  virtual Status AttachToElements(QLNRow* group);
  // 0 when some occurrence of `from` in the row became `to`.
  Status ReplaceElement(DAESVarTableEntry* from, DAESVarTableEntry* to);
  virtual Status ClearDerivativeColumn();
  virtual std::int32_t OutputIndex() const { return 0; }
  virtual void ExtraEvalFlags(std::uint32_t*) {}
  // A finite-state equation answers its active branch.
  virtual DAESSolverEquation* ActiveEquation() { return this; }
  virtual std::int32_t ArgumentCount() const { return 0; }
  virtual std::int32_t RowNumber() const { return 0; }
  virtual void LevelState() {}
  // Takes the state of level *level of compiled equation `number` from the
  // library (finite-state rows; plain rows do nothing).
  virtual void LevelState(std::uint32_t, std::int32_t*) {}
  virtual void CheckDerivative(double, double, DAESRowElement*, std::uint32_t) {}
  virtual void BranchCount(std::int32_t*) {}
  // The next row element from *position on whose variable has the
  // sequence number; the position moves past it. Null at the end.
  virtual DAESRowElement* FindNextElement(std::uint32_t sequence, std::int32_t* position) {
    return FindNextElementInRow(sequence, position);
  }
  DAESRowElement* FindNextElementInRow(std::uint32_t sequence, std::int32_t* position);
  Status EvaluateResidualChecked(double* residual);
  // Hands the derivative pass the values the library's residual has just
  // left, so that the pass does not run the tape again. False when the
  // library does not share them; the pass then runs the tape.
  bool TakeCompiledValues(const daes::CompiledLibrary& library);
  Status EvaluateDerivativesChecked(void* arg);
  Status EvaluateDerivatives(std::uint32_t flags, void* arg);
  // The row's part, through its DELAYs, of its derivative by sensitivity
  // parameter `key`: each DELAY's partial times its variable's sensitivity
  // one lag back. 0 for a row without one.
  Status DelayedSensitivity(std::int32_t key, double* value);
  // After a derivative pass that answered `s`: the finite differences of
  // the elements whose derivative the pass cannot give (class 4), with 0x08
  // in the flags. The last step's status, or `s` when none ran.
  Status ElementSteps(std::uint32_t flags, Status s = 0);
  // The finite-difference derivative with respect to the element's variable.
  Status PerturbDerivative(DAESRowElement* element, double old_residual, double* derivative,
                           bool store);
  // The sum of the column derivatives of every element of the variable
  // (after a derivative pass).
  virtual double DerivativeFor(const DAESVarTableEntry* variable) const;
  double EvaluateDerivativeValue(ExpressionVariable* argument, std::int32_t index);
  void PrintVariableTable(std::ostream& out, bool dynamic);
  // Marks each element's class for the equation's column and the pass and
  // raises *out to the largest class found.
  virtual Status ClassifyNonlinearity(std::int32_t* out, std::int32_t pass);
  virtual Status ResetNonlinearityMarks(std::int32_t pass);
  // Raises *out to the class of the variable's elements; 1 when the
  // variable occurs in the row, else 0.
  virtual std::int32_t VariableClass(const DAESVarTableEntry* variable, std::int32_t pass,
                                     std::int32_t* out);
  Expression* ResidualExpression() const;
  // Records the variable of every element that is not a parameter with its
  // kind for the row's column and the pass (arrays: each member). 0.
  virtual Status CollectClasses(DAESClassCollector* collector, std::int32_t pass);

  DAESSimpleEquation* ModelEquation() const { return model_; }
  DAESEquationContext* Context() const { return context_.get(); }
  void SetContext(std::shared_ptr<DAESEquationContext> context);
  std::uint32_t CompiledNumber() const { return compiled_number_; }
  void SetCompiledNumber(std::uint32_t n) { compiled_number_ = n; }
  void MakeContext();

  // --- C of the compiled equation library ---
  // Advances N and collects the row's distinct columns in ascending order.
  void BuildColumnPattern(daes::EquationCState& w);
  const std::vector<std::int32_t>& ColumnPattern() const { return column_pattern_; }
  virtual void WriteFunctionHead(daes::EquationCState& w, std::int32_t part);
  virtual void WriteCaseLabel(daes::EquationCState& w, std::int32_t task);
  virtual Status WriteResidualCode(daes::EquationCState& w);
  virtual Status WriteStateCode(daes::EquationCState&) { return 0; }
  Status WriteJacobianCode(daes::EquationCState& w) {
    return WriteJacobianCode(w, column_pattern_);
  }
  // The entries of `pattern`, the columns of the function being written.
  virtual Status WriteJacobianCode(daes::EquationCState& w,
                                   const std::vector<std::int32_t>& pattern);
  void WriteBreak(daes::EquationCState& w);
  void WriteColumnPattern(daes::EquationCState& w);
  void WriteFunctionEnd(daes::EquationCState& w);
  // Whether the library written by generation `generation` computes this
  // row's derivatives (see CompiledJacobian below).
  bool HasCompiledJacobian(std::uint64_t generation) const {
    return jacobian_.generation != 0 && jacobian_.generation == generation;
  }

 private:
  // What the row needs to take its derivatives from the library's Jacobian
  // code instead of the tape's pass: the entries' offset in the library's
  // array, the element of each entry (one per pattern column, none where no
  // element reads the column), and the operands the tape's pass checks
  // before it differentiates (a square root's, a power's base, a divisor,
  // a logarithm's and an arcsine's or arccosine's argument): where one of
  // them is out of its domain the tape's pass runs and reports. Only for a
  // plain row whose elements are scalars, each on a column of its own, and
  // whose code the writer did not give up or difference.
  struct OperandCheck {
    enum Source : std::uint8_t { kReal, kInteger, kUnknown, kConstant };
    enum Test : std::uint8_t { kPositive, kNonZeroSquare, kNonZero, kBelowOne };
    Source source = kConstant;
    Test test = kPositive;
    std::size_t index = 0;  // slot of s or is, or the unknown's place
    double value = 0.0;     // a constant
  };
  struct CompiledJacobian {
    std::uint64_t generation = 0;
    std::size_t offset = 0;
    std::vector<DAESRowElement*> elements;
    std::vector<OperandCheck> checks;
  };
  void NoteJacobianCode(const daes::EquationCState& w, std::size_t offset);
  // The residual and derivatives through the library's Jacobian code, the
  // element steps after them into *status; false (nothing changed) when the
  // row has no such code for the loaded library, the residual or an entry
  // is not finite, or a checked operand is out of its domain.
  bool EvaluateCompiledJacobian(const daes::CompiledLibrary& library, std::uint32_t flags,
                                Status* status);
  void ComposeValues(std::ostream& out);
  Status ReportEvaluationFailure(Status s, std::ostringstream& text, const char* format,
                                 bool values_always);

  // Shared by the equations of one procedure call; the last owner frees it.
  std::shared_ptr<DAESEquationContext> context_;
  // Every variable operand of the tape knows its value's address.
  bool tape_bound_ = false;
  DAESSimpleEquation* model_;
  std::uint32_t compiled_number_ = 0;
  std::vector<std::int32_t> column_pattern_;
  CompiledJacobian jacobian_;
  // The row's scalar elements, the members of its variable arrays in
  // place of the array (by flat index), each with its variable's sequence
  // number (-1 for none), as of element layout `element_layout_` and
  // `element_count_` row elements: the element searches read it instead
  // of every element and variable.
  struct ScalarEntry {
    std::size_t element;
    std::int32_t member;  // -1: the element itself
    std::int64_t sequence;
  };
  std::vector<ScalarEntry> element_sequences_;
  std::size_t element_count_ = 0;
  std::uint64_t element_layout_ = 0;
};

// The solver equation of a model equation, or null when one of its
// elements names no variable or it has no residual.
DAESSolverEquation* MakeSolverEquation(DAESSimpleEquation* model);
