// The solver-side rows. QLNRow is a row of the system as solvers and the
// decomposition see it, QLNEquation adds residual evaluation; DAESEqnRow
// keeps the row's variables sorted by sequence number so that lookups are
// binary searches; DAESDecompEquation wraps another row for the
// decomposition and forwards its evaluation to it.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "daes/model/var_table_entry.h"

class DAESProcDef;

namespace daes {
inline constexpr Status kRowNotImplemented = 0xA027FFFFu;
}

class QLNRow : public BvuNameable, public BvuFilterable {
 public:
  virtual std::int32_t VariableCount() const = 0;
  virtual std::int32_t ActiveVariableCount() = 0;
  virtual DAESVarTableEntry* GetVariable(std::int32_t i) const = 0;
  virtual std::int32_t ReservedQueryA() { return 0; }
  virtual std::int32_t ReservedQueryB() { return 0; }
  virtual std::int32_t NeedsResidualForDerivatives() { return 0; }
  virtual std::int32_t InterfaceVersion() { return 0; }
  virtual std::int32_t InsertVariable(DAESVarTableEntry* variable, std::int32_t* position) = 0;
  // "[", the address, "] QLNRow::Dump() ----".
  virtual void Dump(std::ostream& out);
};

class QLNEquation : public QLNRow {
 public:
  virtual Status MarkVariable(DAESVarTableEntry*) { return daes::kRowNotImplemented; }
  virtual DAESVarTableEntry* FindVariable(const DAESVarTableEntry*) const { return nullptr; }
  virtual std::int32_t IsSameModelEquation(QLNEquation*) { return 0; }
  virtual Status GetResidual(double* value) {
    *value = 0.0;
    return daes::kRowNotImplemented;
  }
  virtual Status ResidualValue(double* value) {
    *value = 0.0;
    return daes::kRowNotImplemented;
  }
  virtual Status TornVariable(double* value) {
    *value = 0.0;
    return daes::kRowNotImplemented;
  }
  virtual void UpdateTornOutput() {}
  virtual Status Evaluate(std::uint32_t, void*) { return daes::kRowNotImplemented; }
  virtual double ComputeResidual() {
    double value = 0.0;
    GetResidual(&value);
    return value;
  }
  virtual std::int32_t IsOutputVariable(DAESVarTableEntry*) { return 0; }
  virtual QLNEquation* UnderlyingEquation() { return nullptr; }
  // A hint before an evaluation that comes soon: asks for the memory it
  // reads, the row's own (stage 0) and then what that points to (stage 1,
  // a little later; stage 2, the code of its residual). Does nothing unless
  // a row knows better.
  virtual void Prefetch(std::int32_t /*stage*/) const {}
  virtual std::ostream& PrintResidual(std::ostream& out, std::int32_t, const char*) { return out; }
};

class DAESEqnRow : public QLNEquation {
 public:
  DAESEqnRow() { flags_ = 0x60; }
  ~DAESEqnRow() override { delete[] variables_; }
  DAESEqnRow(const DAESEqnRow&) = delete;
  DAESEqnRow& operator=(const DAESEqnRow&) = delete;

  std::int32_t VariableCount() const override { return count_; }
  std::int32_t ActiveVariableCount() override { return count_; }
  DAESVarTableEntry* GetVariable(std::int32_t i) const override {
    return i >= 0 && i < count_ ? variables_[i] : nullptr;
  }
  // Null (0) with the position of the new entry, or position + 1 (1-based)
  // of the variable with the same sequence number, which stays alone.
  std::int32_t InsertVariable(DAESVarTableEntry* variable, std::int32_t* position) override;
  DAESVarTableEntry* FindVariable(const DAESVarTableEntry* variable) const override;
  virtual DAESVarTableEntry* OutputElement() { return nullptr; }
  virtual DAESProcDef* ProcedureDefinition() { return nullptr; }
  // The kind code of the row's procedure call (0 for a plain equation):
  // below 3 the defined variable enters with +1, else with -1.
  virtual std::int32_t ProcedureKind() { return 0; }
  virtual Status SetResidualValue(double) { return daes::kRowNotImplemented; }
  // True when the evaluation `previous` made is also this row's (the
  // outputs of one procedure call); TakeSharedResult then reads the row's
  // residual from it without calling again.
  virtual bool SharesEvaluation(QLNEquation* /*previous*/) { return false; }
  virtual Status TakeSharedResult() { return daes::kRowNotImplemented; }
  std::int32_t Capacity() const { return capacity_; }
  // Forgets the row's variables (the room stays).
  void ClearRow() { count_ = 0; }

 private:
  // The index of the sequence number, or -(insertion point) - 1.
  std::int32_t Search(std::uint32_t sequence) const;

  std::int32_t count_ = 0;
  std::int32_t capacity_ = 0;
  DAESVarTableEntry** variables_ = nullptr;
};

// A decomposition row over the row's underlying equation; variables of its
// own, evaluation by the wrapped equation.
class DAESDecompEquation final : public DAESEqnRow {
 public:
  // `row` must name an underlying DAESEqnRow (its UnderlyingEquation).
  explicit DAESDecompEquation(DAESEqnRow* row);

  const char* GetNameText(std::int32_t arg = 0) override { return wrapped_->GetNameText(arg); }
  std::int32_t ActiveVariableCount() override { return wrapped_->ActiveVariableCount(); }
  void Dump(std::ostream& out) override { wrapped_->Dump(out); }
  Status MarkVariable(DAESVarTableEntry* v) override { return wrapped_->MarkVariable(v); }
  std::int32_t IsSameModelEquation(QLNEquation* row) override {
    return wrapped_->IsSameModelEquation(row);
  }
  Status GetResidual(double* value) override { return wrapped_->ResidualValue(value); }
  Status ResidualValue(double* value) override { return wrapped_->ResidualValue(value); }
  Status TornVariable(double* value) override { return wrapped_->TornVariable(value); }
  void UpdateTornOutput() override { wrapped_->UpdateTornOutput(); }
  Status Evaluate(std::uint32_t flags, void* arg) override {
    return wrapped_->Evaluate(flags, arg);
  }
  double ComputeResidual() override { return 0.0; }
  std::int32_t IsOutputVariable(DAESVarTableEntry* v) override {
    return wrapped_->IsOutputVariable(v);
  }
  QLNEquation* UnderlyingEquation() override { return wrapped_; }
  std::ostream& PrintResidual(std::ostream& out, std::int32_t width, const char* prefix) override {
    return wrapped_->PrintResidual(out, width, prefix);
  }
  DAESVarTableEntry* OutputElement() override { return wrapped_->OutputElement(); }
  std::int32_t ProcedureKind() override { return wrapped_->ProcedureKind(); }
  Status SetResidualValue(double value) override { return wrapped_->SetResidualValue(value); }
  bool SharesEvaluation(QLNEquation* previous) override {
    return wrapped_->SharesEvaluation(previous);
  }
  Status TakeSharedResult() override { return wrapped_->TakeSharedResult(); }
  // The wrapped equation's procedure definition (none for other rows).
  DAESProcDef* EvaluateWrapped() { return wrapped_->ProcedureDefinition(); }

 private:
  std::uint64_t reserved_ = 0;
  DAESEqnRow* wrapped_;
};
