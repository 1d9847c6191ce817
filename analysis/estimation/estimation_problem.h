// EstimationProblem: the working record the estimation solver driver
// iterates, made from the manager's definition at the end of every
// definition message. The driver fills in the rest of it.
#pragma once

#include <cstdint>
#include <vector>

class AnalysisVariable;

class EstimationProblem {
 public:
  EstimationProblem(std::vector<AnalysisVariable*> unknowns, std::int32_t measurements)
      : unknowns_(std::move(unknowns)), measurements_(measurements) {}

  std::int32_t UnknownCount() const { return static_cast<std::int32_t>(unknowns_.size()); }
  std::int32_t MeasurementCount() const { return measurements_; }
  const std::vector<AnalysisVariable*>& Unknowns() const { return unknowns_; }

 private:
  std::vector<AnalysisVariable*> unknowns_;
  std::int32_t measurements_;
};
