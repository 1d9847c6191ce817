// The optimisation problem as an open NLP solver sees it: decision
// variables with bounds and values, equality constraints before the
// inequalities (each meaning value >= 0), the constraint Jacobian's
// structure, the objective sense and the solver's multipliers. The values
// the solver asks for between steps are stored here by the engine and read
// by the solver.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "solve/ifaces/kvs_nlp.h"

class QLNVariable;

class QLNCNumericNLPESO final : public KVSNumericNLPESO,
                                public KVSNumericNLPESOExtended,
                                public KVSUtilityComponent {
 public:
  // `variables` (may be null) give names and specification codes; a sparse
  // problem gives `non_zeros` 1-based (row, column) pairs, a dense one
  // numbers every (constraint, variable) pair row by row.
  QLNCNumericNLPESO(std::int32_t equalities, std::int32_t inequalities, std::int32_t variables,
                    bool sparse, QLNVariable* const* variable_list, std::int32_t columns,
                    std::int32_t non_zeros, const std::int32_t* rows, const std::int32_t* cols);

  Status QueryInterface(const platform::IID& iid, void** out) override;
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override;

  Status GetNumVariables(std::int32_t* count) override;
  Status GetNumEqualities(std::int32_t* count) override;
  Status GetNumInequalities(std::int32_t* count) override;
  Status GetVariableBounds(const KVSIndexList* list, double* lower, double* upper) override;
  Status SetVariableValues(const KVSIndexList* list, const double* values) override;
  Status GetVariableValues(const KVSIndexList* list, double* values) override;
  Status GetVariableName(std::int32_t index, char** text) override;
  Status GetVariableAttributeDescriptions(std::int32_t* count,
                                          KVSAttributeDescription** records) override;
  Status GetVariableAttribute(std::int32_t index, const char* name, double* value) override;
  Status GetConstraintName(std::int32_t index, char** text) override;
  Status GetConstraintVariablePairs(std::int32_t* count, std::int32_t* pairs) override;
  Status GetConstraintAttributeDescriptions(std::int32_t* count,
                                            KVSAttributeDescription** records) override;
  Status GetConstraintAttribute(std::int32_t index, const char* name, double* value) override;
  Status GetNumExtraItems(std::int32_t* count) override;
  Status Unsupported17() override { return kKvsNotSupported4; }
  Status Unsupported18() override { return kKvsNotSupported3; }
  Status GetJacobianSizes(std::int32_t* columns, std::int32_t* non_zeros) override;
  Status GetJacobianStructure(std::int32_t* rows, std::int32_t* cols, std::int32_t* third) override;
  Status GetColumnNumbers(std::int32_t* columns) override;
  Status GetObjectiveSense(std::int32_t* sense) override;
  Status SetMultipliers(const double* variables, const double* constraints) override;
  Status GetRequest(std::uint32_t* flags) override;
  Status SetRequest(std::uint32_t flags) override;
  Status GetObjective(double* value) override;
  Status GetConstraints(double* values) override;
  Status GetObjectiveGradient(double* values) override;
  Status GetConstraintJacobian(double* values) override;

  // Extended: only "Consistency" is taken.
  Status SetConstraintAttribute(std::int32_t index, const char* name, double value) override;

  // Utility component: "V12", "QLN NLP", "Quillon (TM) Version V12".
  Status GetVersion(char** text) override;
  Status GetProduct(char** text) override;
  Status GetDescription(char** text) override;
  Status DeleteThis() override { return 0; }
  Status GetName(char** text) override { return GetProduct(text); }

  // --- engine side ---
  std::int32_t Variables() const { return variables_; }
  std::int32_t Constraints() const { return equalities_ + inequalities_; }
  std::int32_t NonZeros() const { return non_zeros_; }
  // Variable part and constraint part of the multipliers.
  void GetMultiplierArrays(const double** variables, const double** constraints) const;
  void SetObjectiveSense(std::int32_t word) { sense_ = word; }
  std::uint32_t Request() const { return request_; }
  void ResetRequest() { request_ = 0; }
  void SetPoint(const double* values);
  const std::vector<double>& Point() const { return values_; }
  // All lower bounds, then all upper bounds.
  void SetBounds(const double* bounds);
  void SetObjective(double value) { objective_ = value; }
  void SetConstraints(const double* values);
  void SetObjectiveGradient(const double* values);
  // Jacobian values in structure order.
  void SetConstraintJacobian(const double* values);
  // Takes (row i, variable j) at gradients[(1 + i) * leading + j].
  void SetConstraintJacobianColumns(const double* gradients, std::int32_t leading);
  void SetUnitScales();
  const std::vector<double>& Scales() const { return scales_; }
  // -4 before any value was set.
  Status Consistency(std::int32_t index, double* value) const;

 private:
  ~QLNCNumericNLPESO() = default;
  Status CheckList(const KVSIndexList* list) const;

  std::atomic<std::uint32_t> refs_{0};
  std::int32_t variables_;
  std::vector<QLNVariable*> variable_list_;
  std::int32_t equalities_;
  std::int32_t inequalities_;
  std::int32_t non_zeros_;
  std::vector<std::int32_t> rows_;
  std::vector<std::int32_t> cols_;
  std::vector<std::int32_t> third_;
  std::int32_t columns_;
  std::vector<std::int32_t> column_numbers_;
  std::vector<double> multipliers_;
  std::int32_t sense_ = 1;
  std::vector<std::int32_t> specification_;
  std::vector<double> consistency_;
  // What crosses between steps.
  std::uint32_t request_ = 0;
  std::vector<double> values_, lower_, upper_, scales_;
  double objective_ = 0.0;
  std::vector<double> constraint_values_, gradient_, jacobian_;
};
