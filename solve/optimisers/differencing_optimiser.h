// A dense optimiser for runs that compute no derivatives (the open NLP
// solver chosen as kind 3, for which no sensitivities are computed): it
// stands between the caller and the solver, and each time the solver asks
// for gradients it asks the caller for values at points moved one variable
// at a time, and hands the solver central differences (forward ones where
// a bound is too close) of the objective and the constraints. The caller
// sees only requests for values; every one of them is a run.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "solve/optimisers/dense_optimiser.h"

class DifferencingOptimiser final : public QLNDenseOptimiser {
 public:
  // `constraints`: how many constraint values each evaluation gives (0 for
  // an estimation, whose solver sees only the objective).
  DifferencingOptimiser(std::unique_ptr<QLNDenseOptimiser> inner, std::int32_t variables,
                        std::int32_t constraints);

  std::int32_t Run(double* point, const double* residuals, const double* jacobian,
                   const double* bounds, std::int32_t mode) override;
  std::int32_t Run(DenseOptimiserCall& call) override;
  std::int32_t Iterations() override { return inner_->Iterations(); }
  std::int32_t Evaluations() override { return inner_->Evaluations(); }
  std::int32_t SuccessfulSteps() override { return inner_->SuccessfulSteps(); }
  double* SecondWorkPart() override { return inner_->SecondWorkPart(); }
  double* WorkVector() override { return inner_->WorkVector(); }
  Status ConsistencyConstraints(std::int32_t** list) override {
    return inner_->ConsistencyConstraints(list);
  }
  Status PassSetting(const char* name, std::int32_t kind, const void* value) override {
    return inner_->PassSetting(name, kind, value);
  }

  // Values asked for so far only to form differences.
  std::int32_t DifferenceEvaluations() const { return difference_evaluations_; }

 private:
  // What the solver's answer asks of the caller.
  std::int32_t Handle(std::int32_t answer, DenseOptimiserCall& call);
  // The solver's next step with `objective`, `constraints` and the gradients
  // formed so far (mode 0), or the failure of its last point.
  std::int32_t Step(DenseOptimiserCall& call, std::int32_t mode, double objective,
                    const double* constraints);
  // Starts the differences about `point`, whose values are the last ones.
  std::int32_t BeginDifferences(DenseOptimiserCall& call);
  // Moves variable column_ to its next side; -1 asks for the values there.
  std::int32_t Move(DenseOptimiserCall& call);
  // Takes the values at the moved point; the next request or the solver's.
  std::int32_t Take(DenseOptimiserCall& call);
  void Remember(const DenseOptimiserCall& call);
  double StepOf(std::int32_t j) const;

  std::unique_ptr<QLNDenseOptimiser> inner_;
  std::int32_t n_;
  std::int32_t m_;
  std::vector<double> lower_, upper_;
  // The last values the caller gave, at last_point_.
  bool have_last_ = false;
  std::vector<double> last_point_;
  double last_objective_ = 0.0;
  std::vector<double> last_constraints_;
  // The solver asked for values with gradients at the point it gave.
  bool gradients_wanted_ = false;
  // Where the caller last evaluated (empty after a failure), whether it
  // evaluated anything since the start, and the solver's final answer held
  // back while the caller evaluates its end point.
  std::vector<double> evaluated_;
  bool evaluated_anything_ = false;
  std::int32_t held_answer_ = 0;
  // The differences under way: the centre and its values, the variable
  // being moved (-1 none), its step and which side is being evaluated.
  std::int32_t column_ = -1;
  std::vector<double> centre_;
  double centre_objective_ = 0.0;
  std::vector<double> centre_constraints_;
  double step_ = 0.0;
  // 0 the upper side, 1 the lower side, 2 a forward difference (one side
  // failed or lies beyond a bound).
  std::int32_t side_ = 0;
  double upper_objective_ = 0.0;
  std::vector<double> upper_constraints_;
  // Column 0 the objective's gradient, column 1 + i constraint i's, n apart.
  std::vector<double> gradients_;
  std::int32_t difference_evaluations_ = 0;
};
