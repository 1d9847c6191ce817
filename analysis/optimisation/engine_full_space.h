// The engine's steady-state model as the full-space optimisation sees it:
// the rows and the variable table of the current problem. Residuals come
// from the rows themselves; the Jacobian from central differences, each
// column perturbed on its own and only its rows evaluated again. Server thread;
// the problem must stay as it is while the optimisation runs.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "analysis/optimisation/full_space.h"

class DAESEqnRow;
class DAESProblem;
class ModelVariableRef;

class EngineFullSpaceModel final : public FullSpaceModel {
 public:
  explicit EngineFullSpaceModel(DAESProblem* problem);
  ~EngineFullSpaceModel() override;

  std::int32_t Equations() override { return static_cast<std::int32_t>(rows_.size()); }
  std::int32_t Variables() override { return static_cast<std::int32_t>(entries_.size()); }
  AnalysisVariable* Variable(std::int32_t column) override;
  std::string Name(std::int32_t column) override;
  double Value(std::int32_t column) override;
  void SetValue(std::int32_t column, double value) override;
  void Bounds(std::int32_t column, double* lower, double* upper) override;
  bool Fixed(std::int32_t column) override;
  void Structure(std::vector<std::int32_t>* rows, std::vector<std::int32_t>* columns) override;
  Status Evaluate(const double* point, double* residuals, double* jacobian) override;

 private:
  bool Valid(std::int32_t column) const {
    return column >= 0 && static_cast<std::size_t>(column) < entries_.size();
  }

  std::vector<DAESEqnRow*> rows_;
  std::vector<DAESVarTableEntry*> entries_;
  std::vector<std::unique_ptr<ModelVariableRef>> refs_;
  // The structure, row by row; per column the structure entries it has.
  std::vector<std::int32_t> row_of_, column_of_;
  std::vector<std::vector<std::int32_t>> entries_of_column_;
};
