// The group kinds a decomposition is made of besides plain solver blocks:
// torn blocks (with the inner decomposition of their sub-groups), single
// blocks (one equation, one variable) and explicit blocks. Also the
// narrow faces these blocks use of layers built on top: the decomposition
// server and the code generator.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "daes/blocks/solver_block.h"

class QLNEquation;

// The decomposition server as a torn block sees it (the decomposer proxy
// implements it).
class BlockDecomposer {
 public:
  virtual ~BlockDecomposer() = default;
  // The group part of the block's decomposition, made for the caller; on
  // failure *out may still hold an object, which the caller deletes.
  virtual Status Decompose(DAESSolverBlock* block, DAESSolverBlock** out) = 0;
};

class DAESTornBlock : public DAESSolverBlock {
 public:
  DAESTornBlock() = default;
  ~DAESTornBlock() override { delete inner_; }

  std::uint32_t GetFlags() override { return flags_ | daes::kGroupRow | daes::kTorn; }
  std::uint32_t GroupKind() const override { return 2; }
  DAESSolverBlock* InnerBlock() override { return inner_; }
  // Rows with the torn bit carry the torn values.
  bool ReportsRow(QLNRow* row) override { return (row->GetFlags() & daes::kTorn) != 0; }

  // The inner block when there is one; else the server's decomposition,
  // kept as the inner block. Null on failure.
  DAESSolverBlock* DecomposeExternally(BlockDecomposer* decomposer, Status* status);

  void PrintGroups(std::uint32_t torn_group, std::int32_t* printed) override;
  void AnnounceSolve(DAESBlock* sub_group) override;
  Status ReleaseWorkspace() override;
  void Reset() override;
  void ResetTree() override;

  // (procedure rows) x k values; k = 0 releases them.
  Status AllocTornValues(std::uint32_t k);
  double* GetTornValues() { return torn_values_.empty() ? nullptr : torn_values_.data(); }
  std::size_t TornValueCount() const { return torn_values_.size(); }

 private:
  DAESSolverBlock* inner_ = nullptr;
  std::vector<double> torn_values_;
};

// What the code generator gives a single block to write its equation
// function with (the generator implements the writer).
class EquationCodeWriter {
 public:
  virtual ~EquationCodeWriter() = default;
  virtual Status Prepare() = 0;
  // "static void Eqn" and the number.
  virtual Status WriteHead(std::uint32_t number) = 0;
  virtual Status WriteCaseLabel(std::int32_t task) = 0;
  virtual Status WriteResetState() = 0;
  virtual Status WriteResidual() = 0;
  virtual Status WriteJacobian() = 0;
  virtual Status WriteColumnPattern() = 0;
  virtual Status WriteText(const char* text) = 0;
  virtual Status WriteEnd() = 0;
};

struct CodeWriterContext {
  bool residual_label = true;
  bool no_jacobian = false;
  // The writer of an equation's evaluation object.
  std::function<EquationCodeWriter*(QLNRow*)> writer_of;
};

class DAESSingleBlock : public DAESBlock {
 public:
  DAESSingleBlock() : DAESBlock(1) {}
  ~DAESSingleBlock() override { delete equation_; }

  std::int32_t VariableCount() const override { return 1; }
  std::int32_t ActiveVariableCount() override { return 1; }
  DAESVarTableEntry* GetVariable(std::int32_t i) const override {
    return i == 0 ? variable_ : nullptr;
  }
  // Takes the first variable offered; later only the same one (0 with its
  // position), anything else is refused (-1).
  std::int32_t InsertVariable(DAESVarTableEntry* variable, std::int32_t* position) override;
  Status AppendVariable(DAESVarTableEntry* variable) {
    variable_ = variable;
    return 0;
  }
  // The row becomes the block's equation, which it owns.
  Status AddRow(QLNRow* row);
  QLNRow* GetEquation() const { return equation_; }
  DAESSingleBlock* AsSingleBlock() override { return this; }
  // The equation's row, model and solver faces, found once per equation.
  const daes::BlockRowLink& EquationLink();
  QLNEquation* EquationFace();

  std::uint32_t GroupKind() const override { return 1; }
  std::uint32_t GroupRowCount() const override { return 1; }
  std::uint32_t GroupKnownCount() const override {
    return variable_ != nullptr ? variable_->GetFlags() & daes::kState : 0;
  }
  std::uint32_t GetValueB() const override { return GroupKind() != 3 ? 1 : 0; }

  // The one derivative of the equation for the variable, per unit of its
  // scaled value, with the sensitivity report of a solver block.
  Status EvaluateJacobian(double* value, std::uint32_t flags);
  // In an integrator's corrector, where a state's derivative moves with
  // it: the derivative for the variable plus `coefficient` times that for
  // its derivative partner, per unit of its scaled value. `evaluated`: the
  // caller has just evaluated the residual and derivatives at this point.
  Status EvaluateCorrectorJacobian(double coefficient, double* value, bool evaluated = false);
  // The same in its two parts: the derivative for the variable and that
  // for its derivative partner (0 without one), each per unit of its
  // scaled value.
  Status EvaluateCorrectorParts(double* own, double* partner, bool evaluated = false);
  // The parts a corrector set-up found, kept for the passes until the
  // next set-up; false while none are kept.
  bool CorrectorParts(double* own, double* partner) const {
    if (!parts_kept_) return false;
    *own = kept_own_;
    *partner = kept_partner_;
    return true;
  }
  void KeepCorrectorParts(double own, double partner) {
    kept_own_ = own;
    kept_partner_ = partner;
    parts_kept_ = true;
  }

  // Writes the equation function; the result of the writer's last step.
  virtual Status WriteEquationFunction(CodeWriterContext& context);

 private:
  DAESVarTableEntry* variable_ = nullptr;
  QLNRow* equation_ = nullptr;
  daes::BlockRowLink link_;
  QLNRow* face_of_ = nullptr;
  QLNEquation* face_ = nullptr;
  double kept_own_ = 0.0;
  double kept_partner_ = 0.0;
  bool parts_kept_ = false;
};

class DAESExplicitBlock : public DAESSingleBlock {
 public:
  std::uint32_t GroupKind() const override { return 3; }
  // Always the explicit method.
  Status Solve(std::uint8_t flags, std::uint32_t mode, std::uint32_t count,
               Status* options) override;
  // Plain entries kept for the servers; room grows by 4.
  Status AddEntry(void* entry);
  std::size_t EntryCount() const { return entries_.size(); }

 private:
  std::vector<void*> entries_;
};
