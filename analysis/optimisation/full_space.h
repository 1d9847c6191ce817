// The full-space steady-state optimisation: the model's equations and the
// optimisation as one large NLP. Every bounded constraint on a variable x
// (x >= b or x <= b) becomes a row x + t·s = b with a slack s >= 0 (t = -1
// or +1); constraints of the forms x = 0 and x >= 0 get no row. An outside
// NLP solver, loaded as the open NLP solver for optimisation, iterates on it
// one step per pass. Server thread (the run action's execute); no lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "analysis/model/analysis_variable.h"
#include "platform/status.h"

class BvuBinaryStream;
class KVSNLPSystem;
class KVSNLPResult;
class QLNCNumericNLPESO;

inline constexpr Status kFullSpaceNotSupported = 0xA027FFFFu;
inline constexpr Status kFullSpaceSolverFailed = 0x80270326u;
inline constexpr Status kFullSpaceNothingToOptimise = 0x8027FFFFu;
inline constexpr Status kFullSpacePassFailed = 0x8027025Du;

// The slack of one inequality row. Unlinked it keeps its own value and the
// bounds [0, 1e30]; linked it answers from the constrained variable.
class OptSlackVariable final : public AnalysisVariable {
 public:
  // t = +1 for x <= bound, -1 for x >= bound.
  OptSlackVariable(AnalysisVariable* model, const std::string& model_name, double bound,
                   std::int32_t type);

  const char* GetNameText(std::int32_t = 0) override { return name_.c_str(); }
  std::uint32_t Id() override { return id_; }
  Status GetValue(double* value) override;
  Status SetValue(double value) override;
  Status GetScaledValue(double*) override { return kFullSpaceNotSupported; }
  Status SetScaledValue(double) override { return kFullSpaceNotSupported; }
  Status GetBounds(double* lower, double* upper) override;
  Status SetBounds(double, double) override { return kFullSpaceNotSupported; }
  Status GetScale(double*) override { return kFullSpaceNotSupported; }
  Status GetValueFactor(double*) override { return kFullSpaceNotSupported; }
  std::int32_t ValueKind() override { return 4; }

  void SetLinked(bool linked) { linked_ = linked ? 1 : 0; }
  std::int32_t Type() const { return type_; }
  double Bound() const { return bound_; }

 private:
  double value_ = 0.0;
  double lower_ = 0.0;
  double upper_ = 1e30;
  double bound_;
  std::int32_t type_;
  AnalysisVariable* model_;
  std::int32_t linked_ = 0;
  std::string name_;
  std::uint32_t id_;
};

// One constraint row x + t·s - b = 0 (t = 0 and no slack for x = b); it
// computes its own residual.
class OptEquation {
 public:
  // `record`: the constraint's position in the definition.
  OptEquation(const std::string& model_name, double bound, std::int32_t type,
              std::int32_t variable_column, std::int32_t slack_column, std::int32_t record);
  const std::string& Name() const { return name_; }
  // True only for its constrained variable.
  bool Uses(std::int32_t column) const { return column == column_; }
  double Value(const double* point) const;
  // The first derivative operations of a model row are not its own.
  Status Derivative(std::int32_t, double* value) const {
    *value = 0.0;
    return kFullSpaceNotSupported;
  }
  std::string Dump(const double* point) const;
  std::int32_t Column() const { return column_; }
  // -1 for an equality row.
  std::int32_t SlackColumn() const { return slack_; }
  std::int32_t Type() const { return type_; }
  double Bound() const { return bound_; }
  std::int32_t Record() const { return record_; }
  // Its entries in the Jacobian: the variable's, then the slack's.
  std::int32_t Entries() const { return slack_ >= 0 ? 2 : 1; }

 private:
  std::string name_;
  double bound_;
  std::int32_t type_;
  std::int32_t column_;
  std::int32_t slack_;
  std::int32_t record_;
  Status status_ = 0;
};

// The whole steady-state model as the full space sees it. Columns and rows
// are 0-based.
class FullSpaceModel {
 public:
  virtual ~FullSpaceModel() = default;
  virtual std::int32_t Equations() = 0;
  virtual std::int32_t Variables() = 0;
  // Null for a column without an engine variable (driver-level use).
  virtual AnalysisVariable* Variable(std::int32_t column) = 0;
  virtual std::string Name(std::int32_t column) = 0;
  virtual double Value(std::int32_t column) = 0;
  virtual void SetValue(std::int32_t column, double value) = 0;
  virtual void Bounds(std::int32_t column, double* lower, double* upper) = 0;
  // The model fixes it (an assigned variable that is no decision or initial
  // variable of the optimisation).
  virtual bool Fixed(std::int32_t column) = 0;
  // The Jacobian's structure, one (row, column) pair per entry.
  virtual void Structure(std::vector<std::int32_t>* rows, std::vector<std::int32_t>* columns) = 0;
  // Residuals (Equations() values) and Jacobian values in structure order at
  // `point` (Variables() values); either output may be null.
  virtual Status Evaluate(const double* point, double* residuals, double* jacobian) = 0;
};

class FullSpaceOptimisation {
 public:
  // A bounded constraint on a model column (kinds 0-3 as the definition's).
  struct Constraint {
    std::int32_t kind = 2;
    double bound = 0.0;
    std::int32_t column = 0;
  };
  struct Definition {
    std::vector<std::int32_t> objectives;  // columns summed
    std::vector<std::int32_t> free;        // decision and initial columns
    // The optimisation's own bounds of the free columns (parallel to free);
    // the model's bounds stand when they are not given.
    std::vector<double> free_lower, free_upper;
    std::vector<std::int32_t> initial;  // get the optimisation flag
    std::vector<Constraint> constraints;
    // The option `Optimizer`: 4 says "Optimization failed to converge".
    std::int32_t optimizer = 4;
  };
  using PrintFn = std::function<void(Status, const std::string&)>;

  FullSpaceOptimisation(FullSpaceModel* model, Definition definition, PrintFn print = nullptr);
  ~FullSpaceOptimisation();
  FullSpaceOptimisation(const FullSpaceOptimisation&) = delete;
  FullSpaceOptimisation& operator=(const FullSpaceOptimisation&) = delete;

  // Sizes, slacks and rows; the NLP adapter over them. 0, or the status of
  // the pass (nothing to optimise).
  Status Formulate();
  // Makes the solver system from the loaded open NLP factory.
  Status Connect();
  // One pass: one solver step, evaluating first what it asked for. Answer:
  // 1 optimum, <= 0 another step, > 1 failure (the failure status is kept).
  std::int32_t Pass(std::int32_t code, BvuBinaryStream* progress);

  // After Formulate.
  std::int32_t N() const { return n_; }
  std::int32_t M() const { return m_; }
  // Slack count: the rows of bounded constraints.
  std::int32_t Q() const { return q_; }
  std::int32_t NonZeros() const { return static_cast<std::int32_t>(rows_.size()); }
  const std::vector<std::int32_t>& Rows() const { return rows_; }
  const std::vector<std::int32_t>& Columns() const { return columns_; }
  const std::vector<std::unique_ptr<OptSlackVariable>>& Slacks() const { return slacks_; }
  // Every constraint row, in the definition's order; row k is m0 + k.
  const std::vector<OptEquation>& Inequalities() const { return inequalities_; }
  // The point: the model's columns, then the slacks.
  const std::vector<double>& Point() const { return point_; }
  const std::vector<double>& Lower() const { return lower_; }
  const std::vector<double>& Upper() const { return upper_; }
  std::size_t FirstWorkSize() const { return work1_.size(); }
  std::size_t SecondWorkSize() const { return work2_.size(); }
  // Residuals of all m rows and the Jacobian in structure order at `point`.
  Status Residuals(const double* point, double* residuals, double* jacobian) const;
  double ObjectiveAt(const double* point) const;

  // After the optimum: lower multiplier of column i at i, upper at n + i.
  const std::vector<double>& Multipliers() const { return multipliers_; }
  bool Multipliers(std::int32_t column, double* upper, double* lower) const;
  // The solver's multiplier of constraint row `row` (0-based among them).
  bool RowMultiplier(std::int32_t row, double* value) const;
  Status FailureStatus() const { return failure_; }
  std::int32_t Iterations() const { return iterations_; }
  double Objective() const { return objective_; }
  double Accuracy() const { return accuracy_; }
  double ObjectiveSign() const { return sign_; }

 private:
  void Say(Status status, const std::string& text) const;
  void Evaluate(std::uint32_t request);
  void Progress(std::uint32_t state, BvuBinaryStream* progress) const;
  void ReadOptions();
  void RestoreStart();

  FullSpaceModel* model_;
  Definition def_;
  PrintFn print_;
  std::int32_t print_level_ = 2;
  double sign_ = 1.0;
  std::int32_t m0_ = 0, n0_ = 0, m_ = 0, n_ = 0, q_ = 0;
  // The model's Jacobian entries, before the constraint rows'.
  std::int32_t model_entries_ = 0;
  std::vector<std::int32_t> rows_, columns_;
  std::vector<std::unique_ptr<OptSlackVariable>> slacks_;
  std::vector<OptEquation> inequalities_;
  std::vector<double> point_, lower_, upper_, work1_, work2_, multipliers_, row_multipliers_;
  // The model columns' values when the optimisation was formulated.
  std::vector<double> start_;
  QLNCNumericNLPESO* eso_ = nullptr;
  KVSNLPSystem* system_ = nullptr;
  KVSNLPResult* result_ = nullptr;
  bool started_ = false;
  std::int32_t previous_ = 0;
  std::int32_t iterations_ = 0;
  std::int32_t reported_ = -1;
  std::int32_t functions_ = 0;
  std::int32_t gradients_ = 0;
  double objective_ = 0.0;
  double accuracy_ = -1.0;
  Status failure_ = 0;
};
