#include "solve/optimisers/differencing_optimiser.h"

#include <algorithm>
#include <cmath>

#include "foundation/interfaces/solver_options.h"

namespace {

std::size_t Z(std::int32_t i) { return static_cast<std::size_t>(i); }

}  // namespace

DifferencingOptimiser::DifferencingOptimiser(std::unique_ptr<QLNDenseOptimiser> inner,
                                             std::int32_t variables, std::int32_t constraints)
    : inner_(std::move(inner)), n_(std::max(variables, 0)), m_(std::max(constraints, 0)) {
  lower_.assign(Z(n_), -1e30);
  upper_.assign(Z(n_), 1e30);
  last_constraints_.assign(Z(m_), 0.0);
  centre_constraints_.assign(Z(m_), 0.0);
  upper_constraints_.assign(Z(m_), 0.0);
  gradients_.assign(Z(n_) * Z(m_ + 1), 0.0);
}

std::int32_t DifferencingOptimiser::Run(double* point, const double* residuals,
                                        const double* jacobian, const double* bounds,
                                        std::int32_t mode) {
  DenseOptimiserCall call = PlainOptimiserCall(point, residuals, jacobian, bounds, mode);
  return Run(call);
}

std::int32_t DifferencingOptimiser::Run(DenseOptimiserCall& call) {
  if (call.point == nullptr) return 2;
  if (call.mode == kOptimiserStart) {
    have_last_ = gradients_wanted_ = evaluated_anything_ = false;
    column_ = -1;
    held_answer_ = 0;
    difference_evaluations_ = 0;
    if (call.bounds != nullptr) {
      lower_.assign(call.bounds, call.bounds + n_);
      upper_.assign(call.bounds + n_, call.bounds + 2 * n_);
    }
    // A start promises no values: the solver asks for those it wants.
    return Handle(Step(call, kOptimiserStart, call.objective, call.constraints), call);
  }
  const bool failed = call.mode == kOptimiserPointFailed;
  evaluated_anything_ = true;
  if (failed) evaluated_.clear();
  if (held_answer_ != 0) {
    // The caller's values are the end point's again.
    const std::int32_t answer = held_answer_;
    held_answer_ = 0;
    if (!failed) Remember(call);
    return answer;
  }
  if (column_ >= 0) {
    if (!failed) Remember(call);
    return Take(call);
  }
  if (failed) {
    have_last_ = gradients_wanted_ = false;
    return Handle(Step(call, kOptimiserPointFailed, 0.0, nullptr), call);
  }
  Remember(call);
  if (gradients_wanted_) {
    gradients_wanted_ = false;
    return BeginDifferences(call);
  }
  return Handle(Step(call, 0, call.objective, call.constraints), call);
}

void DifferencingOptimiser::Remember(const DenseOptimiserCall& call) {
  have_last_ = true;
  last_point_.assign(call.point, call.point + n_);
  evaluated_ = last_point_;
  last_objective_ = call.objective;
  if (call.constraints != nullptr) {
    last_constraints_.assign(call.constraints, call.constraints + m_);
  } else {
    std::fill(last_constraints_.begin(), last_constraints_.end(), 0.0);
  }
}

std::int32_t DifferencingOptimiser::Step(DenseOptimiserCall& call, std::int32_t mode,
                                         double objective, const double* constraints) {
  DenseOptimiserCall inner = call;
  inner.mode = mode;
  inner.objective = objective;
  inner.constraints = constraints != nullptr ? constraints : last_constraints_.data();
  inner.gradients = gradients_.data();
  inner.gradient_rows = std::max(n_, 1);
  const std::int32_t answer = inner_->Run(inner);
  call.accuracy = inner.accuracy;
  return answer;
}

std::int32_t DifferencingOptimiser::Handle(std::int32_t answer, DenseOptimiserCall& call) {
  if (answer > 0) {
    // The run ends where the solver is; the caller's model holds the values
    // of the last point it evaluated, often a moved one: it evaluates the
    // end point once more before it hears the end.
    const bool there =
        !evaluated_.empty() && std::equal(evaluated_.begin(), evaluated_.end(), call.point);
    if (!evaluated_anything_ || there) return answer;
    held_answer_ = answer;
    return -1;
  }
  if (answer < -2) return answer;
  if (answer == -1) return -1;
  // Gradients (with values for 0): at hand when the point is the last one
  // evaluated, else the values come first.
  const bool here = have_last_ && std::equal(last_point_.begin(), last_point_.end(), call.point);
  if (here) return BeginDifferences(call);
  gradients_wanted_ = true;
  return -1;
}

double DifferencingOptimiser::StepOf(std::int32_t j) const {
  SolverOptions* options = SolverOptions::Instance();
  double relative = options != nullptr ? options->GetReal(kOptRelPerturb) : 0.0;
  double absolute = options != nullptr ? options->GetReal(kOptAbsPerturb) : 0.0;
  if (!(relative > 0.0)) relative = 1e-5;
  if (!(absolute > 0.0)) absolute = 1e-5;
  return std::max(relative * std::fabs(centre_[Z(j)]), absolute);
}

std::int32_t DifferencingOptimiser::BeginDifferences(DenseOptimiserCall& call) {
  centre_ = last_point_;
  centre_objective_ = last_objective_;
  centre_constraints_ = last_constraints_;
  std::fill(gradients_.begin(), gradients_.end(), 0.0);
  column_ = -1;
  return Move(call);
}

std::int32_t DifferencingOptimiser::Move(DenseOptimiserCall& call) {
  std::copy(centre_.begin(), centre_.end(), call.point);
  // The next variable that can move at all; a fixed one keeps gradient 0.
  while (++column_ < n_) {
    const std::size_t j = Z(column_);
    const double h = StepOf(column_);
    const double x = centre_[j];
    const bool up = x + h <= upper_[j];
    const bool down = x - h >= lower_[j];
    if (up && down) {
      side_ = 0;
      step_ = h;
    } else if (up || down) {
      side_ = 2;
      step_ = up ? h : -h;
    } else {
      // Bounds closer than the step: the larger room.
      side_ = 2;
      step_ = upper_[j] - x >= x - lower_[j] ? upper_[j] - x : lower_[j] - x;
      if (step_ == 0.0) continue;
    }
    call.point[j] = x + (side_ == 1 ? -step_ : step_);
    ++difference_evaluations_;
    return -1;
  }
  column_ = -1;
  // The values at hand are the centre's again.
  have_last_ = true;
  last_point_ = centre_;
  last_objective_ = centre_objective_;
  last_constraints_ = centre_constraints_;
  return Handle(Step(call, 0, centre_objective_, centre_constraints_.data()), call);
}

std::int32_t DifferencingOptimiser::Take(DenseOptimiserCall& call) {
  const std::size_t j = Z(column_);
  const bool failed = call.mode == kOptimiserPointFailed;
  auto column_of = [&](std::int32_t c) { return gradients_.data() + Z(c) * Z(n_); };
  auto difference = [&](double f_a, const double* c_a, double f_b, const double* c_b, double h) {
    column_of(0)[j] = (f_a - f_b) / h;
    for (std::int32_t i = 0; i < m_; ++i) column_of(1 + i)[j] = (c_a[i] - c_b[i]) / h;
  };
  switch (side_) {
    case 0:
      if (!failed) {
        upper_objective_ = last_objective_;
        upper_constraints_ = last_constraints_;
        side_ = 1;
        call.point[j] = centre_[j] - step_;
        ++difference_evaluations_;
        return -1;
      }
      // The other side alone.
      side_ = 2;
      step_ = -step_;
      call.point[j] = centre_[j] + step_;
      ++difference_evaluations_;
      return -1;
    case 1:
      if (failed) {
        difference(upper_objective_, upper_constraints_.data(), centre_objective_,
                   centre_constraints_.data(), step_);
      } else {
        difference(upper_objective_, upper_constraints_.data(), last_objective_,
                   last_constraints_.data(), 2.0 * step_);
      }
      break;
    default:
      if (failed) {
        // No side can be evaluated: the solver's point has no gradient.
        std::copy(centre_.begin(), centre_.end(), call.point);
        column_ = -1;
        have_last_ = false;
        return Handle(Step(call, kOptimiserPointFailed, 0.0, nullptr), call);
      }
      difference(last_objective_, last_constraints_.data(), centre_objective_,
                 centre_constraints_.data(), step_);
      break;
  }
  return Move(call);
}
