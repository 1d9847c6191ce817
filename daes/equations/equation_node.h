// Model equations in the instance tree: a plain equation holds its residual
// expression and its row elements (reference k is the variable that offset
// k of the residual reads); a connection equates two variables.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "daes/equations/row.h"
#include "daes/equations/row_element.h"
#include "foundation/collections/mixins.h"
#include "foundation/directory/directory_node.h"

class Expression;

namespace daes {
inline constexpr std::int32_t kEquationKind = 16;
inline constexpr std::int32_t kConnectionKind = 3;
inline constexpr Status kNoSolverEquation = 0x80000052u;
}  // namespace daes

// The model-side instance: a name, the equation flag word and a status.
class QLNInstance : public BvuNameable, public BvuFilterable, public BvuError {};
class QLNEquationInstance : public QLNInstance {};

// Adds the two numbers of the block layer.
class DAESEquation : public QLNEquationInstance {
 public:
  std::int32_t BlockNumberA() const { return block_a_; }
  std::int32_t SetBlockNumberA(std::int32_t n) {
    block_a_ = n;
    return BlockNumberA();
  }
  std::int32_t BlockNumberB() const { return block_b_; }
  std::int32_t SetBlockNumberB(std::int32_t n) {
    block_b_ = n;
    return BlockNumberB();
  }

 private:
  std::int32_t block_a_ = 0;
  std::int32_t block_b_ = 0;
};

class DAESSimpleEquation : public DAESEquation {
 public:
  // Takes a reference on the expression (null allowed).
  explicit DAESSimpleEquation(Expression* expression);
  // Releases the elements from the last to the first, then the expression.
  ~DAESSimpleEquation() override;
  DAESSimpleEquation(const DAESSimpleEquation&) = delete;
  DAESSimpleEquation& operator=(const DAESSimpleEquation&) = delete;

  std::int32_t EntryKind() override { return daes::kEquationKind; }
  Expression* ResidualExpression() const { return expression_; }
  // Takes the elements (one reference each).
  void SetRowElements(std::vector<DAESRowElement*> elements, std::int32_t scalars);
  const std::vector<DAESRowElement*>& RowElements() const { return elements_; }
  std::int32_t ActiveVariableCount() const { return static_cast<std::int32_t>(elements_.size()); }
  std::int32_t ScalarCount() const { return scalars_; }
  // The rows the equation makes: one, or one per output of a procedure call.
  std::int32_t RowCount() const { return rows_; }
  void SetRowCount(std::int32_t rows) { rows_ = rows; }
  // The residual at the variables' current values, walking the tree.
  Status EvaluateResidual(double* residual);
  // Whether a solver equation may be made: an expression, and a variable
  // behind every element.
  bool IsBound() const;
  // The full name of the first variable an element was made for and has
  // lost (an edit deleted it and no variable of the name stands); empty
  // when none.
  std::string LostVariableName() const;
  // Binds each element (up to the active count) again to the problem
  // manager's variable table; the first failure stops and is the result.
  Status RebindElements();
  // Reads the body: u32, a text of at most 40 bytes, u32 n, n references.
  // u32, a text of at most 40 bytes, u32 n, n references; the u32 and the
  // text go to the caller when it asks for them.
  Status ReadReferencesBody(BvuBinaryStream& stream, BvuDirectoryNode* instance,
                            std::uint32_t* value = nullptr, std::string* text = nullptr);
  // Exactly two references, without head.
  Status ReadPairBody(BvuBinaryStream& stream, BvuDirectoryNode* instance);

  // An x = y equation: a subtraction of two free variables.
  bool IsVariableEquality() const;
  // Folds an x = y equation into an equivalence of the problem (a
  // DAESProblem); 0xA031FFFF when it is not one or was not folded.
  Status EliminateAsEquivalence(void* problem, std::int32_t enabled);
  // Folds the equation, or makes its solver equation and adds it to the
  // list (a QLNEquationList): the collection of one equation node.
  Status CollectEquations(void* list, std::int32_t eliminate, void* problem);

 private:
  void ReleaseElements();
  // A reference too deep to read is told with the equation's name.
  Status ReportTooDeep(Status s);

  Expression* expression_;
  std::vector<DAESRowElement*> elements_;
  std::int32_t scalars_ = 0;
  std::int32_t rows_ = 1;
};

class DAESEquationNode : public DAESSimpleEquation, public BvuDirectoryProper {
 public:
  DAESEquationNode(BvuDirectoryNode* parent, const char* name, Expression* expression);

  std::int32_t GetKind() override { return daes::kEquationKind; }
  const char* GetNameText(std::int32_t arg = 0) override {
    return BvuDirectoryNode::GetNameText(arg);
  }
  // The context is the instance node that resolves references.
  Status ReadItemBody(BvuBinaryStream& stream, void* context) override;
  Status ApplyToSubtree(void* list, void*, std::int32_t, std::int32_t eliminate,
                        void* problem) override {
    return CollectEquations(list, eliminate, problem);
  }
};

class DAESConnectionNode : public DAESSimpleEquation, public BvuDirectoryNode {
 public:
  // The residual is the one shared x - y expression.
  DAESConnectionNode(BvuDirectoryNode* parent, const char* name);

  std::int32_t GetKind() override { return daes::kConnectionKind; }
  const char* GetNameText(std::int32_t arg = 0) override {
    return BvuDirectoryNode::GetNameText(arg);
  }
  Status ReadItemBody(BvuBinaryStream& stream, void* context) override;
  Status ApplyToSubtree(void* list, void*, std::int32_t, std::int32_t eliminate,
                        void* problem) override {
    return CollectEquations(list, eliminate, problem);
  }
};

// Where the equation collection puts the solver equations it makes.
class QLNEquationList {
 public:
  QLNEquationList() = default;
  virtual ~QLNEquationList() = default;
  QLNEquationList(const QLNEquationList&) = delete;
  QLNEquationList& operator=(const QLNEquationList&) = delete;
  // `problem` is the group the equation's variables register in.
  virtual Status AddEquation(DAESEqnRow* equation, void* problem) = 0;
  virtual std::int32_t EquationCount() const = 0;
  virtual DAESEqnRow* GetEquation(std::int32_t i) const = 0;
  // Forgets the rows without deleting them (their new owner has them).
  virtual void ClearEquations() = 0;
  // i in a field of 4, ": ", the name.
  void PrintEquations(std::ostream& out);
  // The derivative entries (inputs times outputs) of the procedure calls
  // collected so far: what one model may keep is bounded in all.
  std::int64_t ProcedureEntries() const { return counted_in_->procedure_entries_; }
  void AddProcedureEntries(std::int64_t entries) { counted_in_->procedure_entries_ += entries; }
  // A list collecting the rows of a branch counts its calls with the list
  // the branch is collected for, so that branches share the model's bound.
  void CountProceduresWith(QLNEquationList& outer) { counted_in_ = outer.counted_in_; }

 private:
  std::int64_t procedure_entries_ = 0;
  QLNEquationList* counted_in_ = this;
};

// A growable list of solver rows that owns them.
class DAESSolverEquationList : public QLNEquationList {
 public:
  DAESSolverEquationList() = default;
  ~DAESSolverEquationList() override;
  DAESSolverEquationList(const DAESSolverEquationList&) = delete;
  DAESSolverEquationList& operator=(const DAESSolverEquationList&) = delete;

  // Appends; a solver equation then registers its variables in the group
  // (the problem), when one is given.
  Status AddEquation(DAESEqnRow* equation, void* problem) override;
  std::int32_t EquationCount() const override { return static_cast<std::int32_t>(rows_.size()); }
  DAESEqnRow* GetEquation(std::int32_t i) const override;
  void ClearEquations() override { rows_.clear(); }

 private:
  std::vector<DAESEqnRow*> rows_;
};
