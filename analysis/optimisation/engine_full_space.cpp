#include "analysis/optimisation/engine_full_space.h"

#include <algorithm>
#include <cmath>

#include "analysis/services/model_variable_ref.h"
#include "daes/equations/row.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"

namespace {

std::size_t Z(std::int32_t i) { return static_cast<std::size_t>(i); }

// The row's residual at the variables' current values.
double Residual(DAESEqnRow* row) {
  double value = 0.0;
  if (status::IsFailure(row->Evaluate(daes::kEvalResidual, nullptr))) return value;
  row->ResidualValue(&value);
  return value;
}

}  // namespace

EngineFullSpaceModel::EngineFullSpaceModel(DAESProblem* problem) {
  if (problem == nullptr) return;
  for (std::int32_t j = 0; j < problem->VariableCount(); ++j) {
    DAESVarTableEntry* entry = problem->GetVariable(j);
    entries_.push_back(entry);
    refs_.push_back(entry != nullptr ? std::make_unique<ModelVariableRef>(entry) : nullptr);
  }
  entries_of_column_.resize(entries_.size());
  for (std::int32_t i = 0; i < problem->EquationCount(); ++i) {
    DAESEqnRow* row = problem->GetEquation(i);
    if (row == nullptr) continue;
    const auto r = static_cast<std::int32_t>(rows_.size());
    rows_.push_back(row);
    std::vector<std::int32_t> seen;
    for (std::int32_t k = 0; k < row->VariableCount(); ++k) {
      DAESVarTableEntry* v = row->GetVariable(k);
      const std::int32_t column = v != nullptr ? problem->ColumnOf(v) - 1 : -1;
      if (!Valid(column) || std::find(seen.begin(), seen.end(), column) != seen.end()) continue;
      seen.push_back(column);
      entries_of_column_[Z(column)].push_back(static_cast<std::int32_t>(row_of_.size()));
      row_of_.push_back(r);
      column_of_.push_back(column);
    }
  }
}

EngineFullSpaceModel::~EngineFullSpaceModel() = default;

AnalysisVariable* EngineFullSpaceModel::Variable(std::int32_t column) {
  return Valid(column) ? refs_[Z(column)].get() : nullptr;
}

std::string EngineFullSpaceModel::Name(std::int32_t column) {
  const char* name = Valid(column) && entries_[Z(column)] != nullptr
                         ? entries_[Z(column)]->GetNameText()
                         : nullptr;
  return name != nullptr ? name : "";
}

double EngineFullSpaceModel::Value(std::int32_t column) {
  return Valid(column) && entries_[Z(column)] != nullptr ? entries_[Z(column)]->GetRealValue()
                                                         : 0.0;
}

void EngineFullSpaceModel::SetValue(std::int32_t column, double value) {
  if (Valid(column) && entries_[Z(column)] != nullptr) entries_[Z(column)]->SetValue(value);
}

void EngineFullSpaceModel::Bounds(std::int32_t column, double* lower, double* upper) {
  *lower = -1e30;
  *upper = 1e30;
  if (Valid(column) && entries_[Z(column)] != nullptr) entries_[Z(column)]->GetBounds(lower, upper);
}

bool EngineFullSpaceModel::Fixed(std::int32_t column) {
  if (!Valid(column) || entries_[Z(column)] == nullptr) return true;
  return entries_[Z(column)]->GetSpec() == daes::kSpecFixed;
}

void EngineFullSpaceModel::Structure(std::vector<std::int32_t>* rows,
                                     std::vector<std::int32_t>* columns) {
  *rows = row_of_;
  *columns = column_of_;
}

Status EngineFullSpaceModel::Evaluate(const double* point, double* residuals, double* jacobian) {
  for (std::size_t j = 0; j < entries_.size(); ++j) {
    if (entries_[j] != nullptr) entries_[j]->SetValue(point[j]);
  }
  std::vector<double> base(rows_.size());
  for (std::size_t i = 0; i < rows_.size(); ++i) base[i] = Residual(rows_[i]);
  if (residuals != nullptr) std::copy(base.begin(), base.end(), residuals);
  if (jacobian == nullptr) return 0;
  for (std::size_t j = 0; j < entries_.size(); ++j) {
    if (entries_[j] == nullptr || entries_of_column_[j].empty()) continue;
    const double h = 6e-6 * std::max(1.0, std::fabs(point[j]));
    entries_[j]->SetValue(point[j] + h);
    for (std::int32_t k : entries_of_column_[j]) {
      jacobian[k] = Residual(rows_[Z(row_of_[Z(k)])]);
    }
    entries_[j]->SetValue(point[j] - h);
    for (std::int32_t k : entries_of_column_[j]) {
      jacobian[k] = (jacobian[k] - Residual(rows_[Z(row_of_[Z(k)])])) / (2.0 * h);
    }
    entries_[j]->SetValue(point[j]);
  }
  return 0;
}
