// DAESLinearisation: the problem's equations linearised around the current
// values, for control design. The unknowns are the states and the algebraic
// variables (states first, each class in table order); the fixed variables
// that occur in an equation follow as input columns. Two Jacobians share
// that column layout: the dynamic one holds dF/dx' in a state's column, the
// steady-state one dF/dx; algebraic and input columns are the same in both.
// Rows and columns are 1-based. Server thread, between runs.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/status.h"

class DAESProblem;
class DAESVarTableEntry;

struct DAESLinearJacobian {
  std::vector<double> dyn_values, ss_values;
  std::vector<std::int64_t> dyn_rows, dyn_cols, ss_rows, ss_cols;
};

class DAESLinearisation {
 public:
  static constexpr Status kNoProblem = 0x8032FFFFu;
  static constexpr Status kNotSquare = 0x8031FFFFu;

  // Over the problem's rows and variable table; kNotSquare (with a line)
  // when the unknowns do not match the equations.
  static Status Create(DAESProblem* problem, std::unique_ptr<DAESLinearisation>* out);

  std::int32_t NumVariables() const { return states_ + algebraic_; }
  std::int32_t NumStates() const { return states_; }
  std::int32_t NumAlgebraic() const { return algebraic_; }
  std::int32_t NumInputs() const { return inputs_; }
  // Every column that holds an entry in either Jacobian.
  const std::vector<std::int64_t>& PatternColumns() const { return pattern_; }
  // The column of a state, algebraic or input variable; 0 for any other.
  std::int32_t ColumnOf(const DAESVarTableEntry* variable) const;
  // Both Jacobians at the current values.
  Status Evaluate(DAESLinearJacobian* jacobian);

 private:
  // Where one entry of the problem's structure goes.
  struct Place {
    std::int64_t row = 0;
    std::int64_t column = 0;
    bool dynamic = false;
    bool steady = false;
  };
  explicit DAESLinearisation(DAESProblem* problem) : problem_(problem) {}

  DAESProblem* problem_;
  const std::int64_t* rows_ = nullptr;
  const std::int64_t* cols_ = nullptr;
  std::int64_t entries_ = 0;
  std::int32_t states_ = 0, algebraic_ = 0, inputs_ = 0;
  // By the problem's 0-based table position: the column, 0 for none.
  std::vector<std::int32_t> column_of_;
  std::vector<Place> places_;
  std::vector<std::int64_t> pattern_;
};
