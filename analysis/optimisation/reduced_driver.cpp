#include "analysis/optimisation/reduced_driver.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "analysis/model/analysis_variable.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "foundation/persistence/binary_stream.h"
#include "solve/methods/open_solvers.h"
#include "solve/methods/solver_factories.h"
#include "solve/optimisers/dense_optimiser.h"
#include "solve/options/option_descriptors.h"

namespace oo = optimisation_options;
using optimisation::EntryKind;

namespace {

std::size_t Z(std::int32_t i) { return static_cast<std::size_t>(i); }

// An optimiser that asks for the same point over and over has stalled.
constexpr int kMaxCallsWithoutEvaluation = 200;

}  // namespace

namespace optimisation {

std::int32_t CountEntries(const Layout& layout, EntryKind kind) {
  return static_cast<std::int32_t>(
      std::count_if(layout.entries.begin(), layout.entries.end(),
                    [kind](const Entry& e) { return e.kind == kind; }));
}

}  // namespace optimisation

std::unique_ptr<ReducedSpaceDriver> ReducedSpaceDriver::Create(optimisation::Layout layout,
                                                               PrintFn print,
                                                               OptimiserFactory factory) {
  std::unique_ptr<ReducedSpaceDriver> d(new ReducedSpaceDriver());
  d->layout_ = std::move(layout);
  d->print_ = std::move(print);
  const optimisation::Layout& l = d->layout_;
  d->p_ = static_cast<std::int32_t>(l.entries.size());
  d->r_ = static_cast<std::int32_t>(l.constraints.size());
  d->k_ = static_cast<std::int32_t>(l.objectives.size());
  const bool fixed_sum = l.moving_elements && !l.final_time_free;
  std::int32_t moves = 0;
  for (std::size_t c = 0; c < l.controls.size(); ++c) {
    if (l.controls[c].max_move <= 0.0) continue;
    std::int32_t values = 0;
    for (const auto& e : l.entries) values += e.kind == EntryKind::kControl && Z(e.control) == c;
    moves += 2 * std::max(values - 1, 0);
  }
  d->constraint_count_ = d->r_ + moves + (l.final_time_free ? 2 : 0) + (fixed_sum ? 1 : 0);
  d->equality_count_ = std::clamp(l.equalities, 0, d->r_) + (fixed_sum ? 1 : 0);
  for (std::int32_t j = 0; j < d->p_; ++j) {
    if (l.entries[Z(j)].kind == EntryKind::kLength) {
      d->first_length_ = j;
      break;
    }
  }
  const std::size_t p = Z(d->p_);
  d->x_.assign(p, 0.0);
  d->scales_.assign(p, 1.0);
  d->bounds_.assign(2 * p, 0.0);
  d->c_.assign(Z(d->constraint_count_ + 2), 0.0);
  d->gradients_.assign((p + 1) * Z(d->constraint_count_ + 2), 0.0);
  d->multipliers_.assign(2 * p + Z(d->r_), 0.0);
  if (factory) {
    d->optimiser_.reset(factory(l.optimizer, d->equality_count_, d->constraint_count_, d->p_));
  } else {
    std::vector<QLNVariable*> list;
    for (const auto& e : l.entries) list.push_back(e.variable);
    const bool complete = std::all_of(list.begin(), list.end(), [](auto* v) { return v; });
    Status status = 0;
    d->optimiser_.reset(CreateDenseOptimiser(
        kRunOptimisation, l.optimizer, d->equality_count_, d->constraint_count_, d->p_,
        complete && !list.empty() ? list.data() : nullptr, &status));
  }
  if (d->optimiser_ == nullptr) return nullptr;
  return d;
}

ReducedSpaceDriver::~ReducedSpaceDriver() = default;

void ReducedSpaceDriver::Say(Status status, const std::string& text) const {
  if (print_) {
    print_(status, text);
  } else {
    SuPrint(status, "%s", text.c_str());
  }
}

std::int32_t oo::PrintLevel(SolverOptions* options) {
  const std::int32_t stored = options->GetInt(kPrintLevel);
  const std::int32_t used = std::clamp(stored, 0, 4);
  if (used != stored) TellOptionNotUsed("optimizer", kPrintLevel, stored, std::to_string(used));
  return used;
}

void ReducedSpaceDriver::ReadOptions(bool first) {
  SolverOptions* options = SolverOptions::Instance();
  print_level_ = oo::PrintLevel(options);
  if (!first) return;
  sign_ = options->GetInt(oo::kObjFun) == 1 ? -1.0 : 1.0;
  max_evaluations_ = options->GetInt(oo::kMaxEval);
  if (max_evaluations_ <= 0) {
    TellOptionNotUsed("optimizer", oo::kMaxEval, max_evaluations_, "100");
    max_evaluations_ = 100;
  }
  tolerance_ = options->GetReal(oo::kOptTol);
  if (!(tolerance_ > 0.0)) tolerance_ = 1.0e-4;
  max_abs_step_ = options->GetReal(oo::kMaxAbsStep);
  if (!(max_abs_step_ > 0.0)) max_abs_step_ = 10.0;
  max_rel_step_ = options->GetReal(oo::kMaxRelStep);
  if (!(max_rel_step_ > 0.0)) max_rel_step_ = 10.0;
}

void ReducedSpaceDriver::Fill() {
  for (std::int32_t j = 0; j < p_; ++j) {
    optimisation::Entry& e = layout_.entries[Z(j)];
    if (e.variable != nullptr) {
      e.variable->GetValue(&e.value);
      e.variable->GetBounds(&e.lower, &e.upper);
    }
    if (e.kind == EntryKind::kLength || !(e.scale != 0.0)) e.scale = 1.0;
    x_[Z(j)] = e.value;
    bounds_[Z(j)] = e.lower;
    bounds_[Z(p_ + j)] = e.upper;
    scales_[Z(j)] = e.scale;
  }
}

double ReducedSpaceDriver::FinalTime() const {
  if (first_length_ < 0 || layout_.element_lengths.empty()) return layout_.final_time;
  std::vector<double> lengths(layout_.element_lengths);
  for (std::int32_t j = first_length_; j < p_; ++j) {
    const optimisation::Entry& e = layout_.entries[Z(j)];
    if (e.kind == EntryKind::kLength && e.index >= 0 && Z(e.index) < lengths.size()) {
      lengths[Z(e.index)] = x_[Z(j)];
    }
  }
  double t = 0.0;
  for (double l : lengths) t += l;
  return t;
}

double ReducedSpaceDriver::ObjectiveValue(const Pass& pass) const {
  double f = 0.0;
  for (std::int32_t k = 0; k < k_ && pass.objectives != nullptr; ++k) f += pass.objectives[k];
  if (layout_.final_time_objective) f += FinalTime();
  return f;
}

void ReducedSpaceDriver::Assemble(const Pass& pass) {
  const std::size_t ld = Z(p_ + 1);
  std::fill(gradients_.begin(), gradients_.end(), 0.0);
  std::fill(c_.begin(), c_.end(), 0.0);
  auto column = [&](std::int32_t col) { return gradients_.data() + Z(col) * ld; };
  auto row = [&](std::int32_t r) -> const double* {
    return pass.gradients != nullptr ? pass.gradients + Z(r) * Z(p_) : nullptr;
  };
  // d(final time)/dx: one for each movable length.
  auto add_final_time = [&](double* g, double factor) {
    if (first_length_ < 0) return;
    for (std::int32_t j = first_length_; j < p_; ++j) {
      if (layout_.entries[Z(j)].kind == EntryKind::kLength) g[j] += factor;
    }
  };

  objective_ = ObjectiveValue(pass) * sign_;
  double* g0 = column(0);
  for (std::int32_t k = 0; k < k_; ++k) {
    if (const double* gk = row(k)) {
      for (std::int32_t j = 0; j < p_; ++j) g0[j] += gk[j];
    }
  }
  if (layout_.final_time_objective) add_final_time(g0, 1.0);
  for (std::int32_t j = 0; j < p_; ++j) g0[j] *= sign_;

  std::int32_t i = 0;
  const double t = FinalTime();
  if (layout_.moving_elements && !layout_.final_time_free) {
    c_[Z(i)] = layout_.final_time - t;
    add_final_time(column(1 + i), -1.0);
    ++i;
  }
  for (std::int32_t r = 0; r < r_; ++r, ++i) {
    const optimisation::Constraint& con = layout_.constraints[Z(r)];
    const double x = pass.constraints != nullptr ? pass.constraints[r] : 0.0;
    double factor = 1.0;
    switch (con.kind) {
      case 2:
        c_[Z(i)] = x - con.bound;
        break;
      case 3:
        c_[Z(i)] = con.bound - x;
        factor = -1.0;
        break;
      default:
        c_[Z(i)] = x;
        break;
    }
    if (const double* gr = row(k_ + r)) {
      double* g = column(1 + i);
      for (std::int32_t j = 0; j < p_; ++j) g[j] = factor * gr[j];
    }
  }
  if (layout_.final_time_free) {
    c_[Z(i)] = layout_.final_time_upper - t;
    add_final_time(column(1 + i), -1.0);
    ++i;
    c_[Z(i)] = t - layout_.final_time_lower;
    add_final_time(column(1 + i), 1.0);
    ++i;
  }
  for (std::size_t c = 0; c < layout_.controls.size(); ++c) {
    const double m = layout_.controls[c].max_move;
    if (m <= 0.0) continue;
    std::vector<std::int32_t> at;
    for (std::int32_t j = 0; j < p_; ++j) {
      const optimisation::Entry& e = layout_.entries[Z(j)];
      if (e.kind == EntryKind::kControl && Z(e.control) == c) at.push_back(j);
    }
    std::stable_sort(at.begin(), at.end(), [&](std::int32_t a, std::int32_t b) {
      return layout_.entries[Z(a)].index < layout_.entries[Z(b)].index;
    });
    for (std::size_t k = 0; k + 1 < at.size(); ++k) {
      const std::int32_t a = at[k], b = at[k + 1];
      const double move = x_[Z(b)] - x_[Z(a)];
      c_[Z(i)] = m - move;
      column(1 + i)[a] = 1.0;
      column(1 + i)[b] = -1.0;
      ++i;
      c_[Z(i)] = move + m;
      column(1 + i)[a] = -1.0;
      column(1 + i)[b] = 1.0;
      ++i;
    }
  }
}

bool ReducedSpaceDriver::LengthsFeasible() const {
  if (first_length_ < 0) return true;
  for (std::int32_t j = first_length_; j < p_; ++j) {
    if (layout_.entries[Z(j)].kind != EntryKind::kLength) continue;
    const double v = x_[Z(j)];
    if (v < 0.5 * bounds_[Z(j)] || v > 2.0 * bounds_[Z(p_ + j)]) return false;
  }
  return true;
}

std::int32_t ReducedSpaceDriver::CallOptimiser(std::int32_t mode) {
  if (print_level_ >= 4) DebugDump();
  DenseOptimiserCall call;
  call.point = x_.data();
  call.objective = objective_;
  call.constraints = c_.data();
  call.gradients = gradients_.data();
  call.gradient_rows = p_ + 1;
  call.bounds = bounds_.data();
  call.max_iterations = max_evaluations_;
  call.print_level = print_level_;
  call.tolerance = tolerance_;
  call.max_abs_step = max_abs_step_;
  call.max_rel_step = max_rel_step_;
  call.mode = mode;
  const std::int32_t answer = optimiser_->Run(call);
  accuracy_ = call.accuracy;
  if (answer == 0 || answer == -1) ++function_count_;
  if (answer == 0 || answer == -2) ++gradient_count_;
  return answer;
}

std::int32_t ReducedSpaceDriver::Run(std::int32_t code, const Pass& pass, bool* keep_reply,
                                     BvuBinaryStream* progress) {
  if (keep_reply != nullptr) *keep_reply = false;
  std::int32_t mode = state_;
  if (code == kOptFirstEvaluation) {
    ReadOptions(true);
    evaluations_ = function_count_ = gradient_count_ = steps_ = 0;
    result_available_ = false;
    failure_ = 0;
    std::fill(multipliers_.begin(), multipliers_.end(), 0.0);
    Fill();
    if (print_level_ >= 2) {
      Summary();
      Say(0, "Initial values of optimization variables: (unscaled)");
      VariableReport(true, false);
      if (layout_.final_time_free) {
        char line[96];
        std::snprintf(line, sizeof line, "The initial estimate of the final time is %g",
                      FinalTime());
        Say(0, line);
      }
    }
    mode = kOptimiserStart;
  } else {
    ReadOptions(false);
  }
  ++evaluations_;
  if (code == kOptEvaluationFailed) {
    have_values_ = false;
    mode = kOptimiserPointFailed;
  } else {
    Assemble(pass);
    have_values_ = true;
    evaluated_x_ = x_;
  }
  const std::int32_t answer = CallOptimiser(mode);
  state_ = 0;
  return Answer(answer, pass, keep_reply, progress);
}

std::int32_t ReducedSpaceDriver::Answer(std::int32_t answer, const Pass& pass, bool* keep_reply,
                                        BvuBinaryStream* progress) {
  for (int calls = 0; answer <= 0; ++calls) {
    if (calls >= kMaxCallsWithoutEvaluation) {
      answer = 2;
      break;
    }
    // The values at hand serve a request at the point just evaluated.
    if (have_values_ && (answer == -2 || x_ == evaluated_x_)) {
      answer = CallOptimiser(0);
      continue;
    }
    if (answer == -2) {
      // Derivatives wanted where nothing was evaluated: cut the step.
      answer = CallOptimiser(kOptimiserPointFailed);
      continue;
    }
    if (!LengthsFeasible()) {
      if (print_level_ >= 2) Say(0, "Infeasible solution point: cutting optimization step.");
      answer = CallOptimiser(kOptimiserPointFailed);
      continue;
    }
    ++steps_;
    if (print_level_ >= 1) {
      char line[160];
      if (accuracy_ >= 0.0) {
        std::snprintf(line, sizeof line,
                      "Optimization step %d: Objective = %14.6e (Accuracy =%14.6e)", steps_,
                      objective_, accuracy_);
      } else {
        std::snprintf(line, sizeof line, "Optimization step %d: Objective = %14.6e", steps_,
                      objective_);
      }
      Say(0, line);
    }
    if (print_level_ >= 3) {
      Say(0, "Computing solution of flowsheet at next optimization point...");
      Say(0, "Current values of optimization variables: (unscaled)");
      VariableReport(true, false);
      if (layout_.final_time_free) {
        char line[64];
        std::snprintf(line, sizeof line, "The final time is currently %g", FinalTime());
        Say(0, line);
      }
    }
    WritePoint();
    WriteProgress(kOptProgressPoint, pass, progress);
    return 0;
  }
  if (answer == 1) {
    Optimum(pass, keep_reply, progress);
    return 1;
  }
  Failure(answer, pass, progress);
  return std::max(answer, 2);
}

void ReducedSpaceDriver::WritePoint() {
  for (std::int32_t j = 0; j < p_; ++j) {
    optimisation::Entry& e = layout_.entries[Z(j)];
    e.value = x_[Z(j)];
    if (e.variable != nullptr) e.variable->SetValue(e.value);
  }
}

void ReducedSpaceDriver::Optimum(const Pass& pass, bool* keep_reply, BvuBinaryStream* progress) {
  result_available_ = true;
  optimum_objective_ = objective_ * sign_;
  WritePoint();
  // The optimiser's layout: constraint multipliers, then per variable
  // (upper, lower); the manager's: the pairs, then the records'.
  if (const double* work = optimiser_->WorkVector()) {
    const double* pairs = work + constraint_count_;
    std::copy(pairs, pairs + 2 * p_, multipliers_.begin());
    const std::int32_t first = layout_.moving_elements && !layout_.final_time_free ? 1 : 0;
    std::copy(work + first, work + first + r_, multipliers_.begin() + 2 * p_);
  }
  if (print_level_ >= 1) {
    char line[160];
    Say(0, "");
    std::snprintf(line, sizeof line, "Optimum found after %d evaluations", evaluations_);
    Say(0, line);
    if (accuracy_ >= 0.0) {
      std::snprintf(line, sizeof line, "Value of Objective Function = %14.6e (Accuracy=%14.6e)",
                    objective_, accuracy_);
    } else {
      std::snprintf(line, sizeof line, "Value of Objective Function = %14.6e", objective_);
    }
    Say(0, line);
    std::snprintf(line, sizeof line, "Required %d function and %d gradient evaluations",
                  function_count_, gradient_count_);
    Say(0, line);
    if (print_level_ >= 2) {
      ConstraintReport(pass, true);
      Say(0, "");
    }
    Say(0, "Optimization variables at optimum: (unscaled)");
    VariableReport(false, true);
    if (layout_.final_time_free) {
      std::snprintf(line, sizeof line, "\nThe final time is %g", FinalTime());
      Say(0, line);
    }
    if (print_level_ >= 3) {
      Say(0, "Computing final solution of flowsheet at optimum...");
      GradientReport(pass);
    }
  }
  if (keep_reply != nullptr) *keep_reply = true;
  WriteProgress(kOptProgressOptimum, pass, progress);
}

void ReducedSpaceDriver::Failure(std::int32_t code, const Pass& pass, BvuBinaryStream* progress) {
  result_available_ = false;
  switch (code) {
    case 2:
      failure_ = kOptNotConverged;
      Say(failure_, "Optimization failed to converge.");
      break;
    case 3:
      failure_ = kOptLineSearches;
      Say(failure_,
          "Maximum line searches (10) exceeded.\nA solution cannot be found to the required "
          "accuracy\nTry tightening the equation and variable or integrator tolerances or "
          "relaxing the Optimization Tolerance (Solver Options, Optimizer tab).");
      break;
    case 4:
      failure_ = kOptUphill;
      Say(failure_,
          "Uphill search direction.\nTry tightening your equation and variable tolerances or "
          "relaxing the optimization tolerance.\nIt is possible that discontinuities in your "
          "model are causing problems in the optimization.");
      break;
    case 5:
      failure_ = kOptInfeasible;
      Say(failure_,
          "No feasible point found. Try another simulation with different initial values or\n"
          "check the optimization problem you have posed.");
      Diagnosis();
      break;
    case 6:
      failure_ = kOptNotConverged;
      Say(failure_,
          "No optimum found. Please check the optimization problem you have posed.\nThe problem "
          "may be un-bounded or badly scaled");
      break;
    case 7:
      failure_ = kOptMaxEvaluations;
      Say(failure_,
          "Maximum number of evaluations exceeded.\n Try increasing the maximum number of "
          "iterations.");
      break;
    case 8:
      // Ended without a word.
      failure_ = 0;
      break;
    default:
      failure_ = kOptLineStepTooSmall;
      Say(failure_,
          "Line search step below minimum of 1E-6\nEvaluation of the objective function failed "
          "repeatedly.\nTry tighter bounds on the Control or Decision variables\nor do some "
          "steady state or dynamic runs to test the robustness of your model.");
      break;
  }
  WriteProgress(kOptProgressFailed, pass, progress);
  if (code == 8) return;
  Say(0, "");
  Say(0, "Current values of optimization variables: (unscaled)");
  VariableReport(true, false);
}

std::string ReducedSpaceDriver::ConstraintOrigin(std::int32_t index) const {
  char line[512];
  std::int32_t i = index;
  const bool fixed_sum = layout_.moving_elements && !layout_.final_time_free;
  if (fixed_sum) {
    if (i == 0) return "  The constraint fixing the final time for the moving element sizes";
    --i;
  }
  if (i < r_) {
    const optimisation::Constraint& con = layout_.constraints[Z(i)];
    const char* v = con.variable.c_str();
    const char* which = con.kind == 2 ? "lower bound " : con.kind == 3 ? "upper bound " : "";
    const auto n = static_cast<std::int32_t>(layout_.element_lengths.size());
    if (con.element <= 0 || n == 0) {
      std::snprintf(line, sizeof line, "  The %sconstraint for %s\n", which, v);
    } else if (con.element == n && con.position >= 1.0) {
      std::snprintf(line, sizeof line, "  The %sfinal time constraint for %s\n", which, v);
    } else {
      std::snprintf(line, sizeof line, "  The %sconstraint active %g along element %d for %s\n",
                    which, con.position, con.element, v);
    }
    return line;
  }
  i -= r_;
  if (layout_.final_time_free) {
    if (i < 2) return "  The final time constraint(s) are inconsistent";
    i -= 2;
  }
  for (std::size_t c = 0; c < layout_.controls.size(); ++c) {
    if (layout_.controls[c].max_move <= 0.0) continue;
    std::int32_t values = 0;
    for (const auto& e : layout_.entries)
      values += e.kind == EntryKind::kControl && Z(e.control) == c;
    const std::int32_t rows = 2 * std::max(values - 1, 0);
    if (i < rows) {
      std::snprintf(line, sizeof line, "  Maximum move constraint for control variable %s",
                    layout_.controls[c].name.c_str());
      return line;
    }
    i -= rows;
  }
  return {};
}

void ReducedSpaceDriver::Diagnosis() const {
  std::int32_t* list = nullptr;
  if (optimiser_->ConsistencyConstraints(&list) != 0 || list == nullptr) {
    std::free(list);
    Say(0, "Constraint information not available");
    return;
  }
  // 1-based numbers, ending at the first 0: constraints, then the upper and
  // the lower bounds of the optimisation variables.
  const std::int32_t total = constraint_count_ + 2 * p_;
  std::vector<std::int32_t> flagged;
  // The list has room for one number per constraint.
  const std::int32_t room = std::max(constraint_count_, 1);
  for (std::int32_t k = 0; k < room && list[k] > 0 && list[k] <= total; ++k) {
    flagged.push_back(list[k] - 1);
  }
  std::free(list);
  if (flagged.empty()) return;
  Say(0,
      "One or more of the constraints in your optimization problem may be inconsistent.\n"
      "Please check the following constraints:");
  for (std::int32_t f : flagged) {
    if (f < constraint_count_) {
      const std::string origin = ConstraintOrigin(f);
      if (!origin.empty()) Say(0, origin);
      continue;
    }
    const bool upper = f < constraint_count_ + p_;
    const std::int32_t j = upper ? f - constraint_count_ : f - constraint_count_ - p_;
    const optimisation::Entry& e = layout_.entries[Z(j)];
    char line[512];
    const char* n = e.name.c_str();
    switch (e.kind) {
      case EntryKind::kDecision:
        std::snprintf(line, sizeof line,
                      upper ? "  The upper bound on decision variable %s\n"
                            : "  The lower bound on decision variable %s\n",
                      n);
        break;
      case EntryKind::kInitial:
        std::snprintf(line, sizeof line,
                      upper ? "  The upper bound on initial variable %s\n"
                            : "  The lower bound on initial variable %s\n",
                      n);
        break;
      case EntryKind::kControl: {
        const std::string& control = e.control >= 0 && Z(e.control) < layout_.controls.size()
                                         ? layout_.controls[Z(e.control)].name
                                         : e.name;
        std::snprintf(line, sizeof line,
                      upper ? "  Upper bound %d on control variable %s\n"
                            : "  Lower bound %d on control variable %s\n",
                      e.index + 1, control.c_str());
        break;
      }
      case EntryKind::kLength:
        std::snprintf(line, sizeof line,
                      upper ? "  The upper bound on moving element size %d"
                            : "  The lower bound on moving element size %d",
                      e.index + 1);
        break;
    }
    Say(0, line);
  }
}

double ReducedSpaceDriver::ControlTime(std::int32_t index) const {
  std::vector<double> lengths(layout_.element_lengths);
  for (std::int32_t j = std::max(first_length_, 0); first_length_ >= 0 && j < p_; ++j) {
    const optimisation::Entry& e = layout_.entries[Z(j)];
    if (e.kind == EntryKind::kLength && e.index >= 0 && Z(e.index) < lengths.size()) {
      lengths[Z(e.index)] = x_[Z(j)];
    }
  }
  double t = 0.0;
  for (std::int32_t k = 0; k < index && Z(k) < lengths.size(); ++k) t += lengths[Z(k)];
  return t;
}

void ReducedSpaceDriver::WriteProgress(std::uint32_t state, const Pass& pass,
                                       BvuBinaryStream* progress) const {
  if (progress == nullptr) return;
  progress->PutUInt32(state);
  progress->PutUInt32(static_cast<std::uint32_t>(evaluations_));
  progress->PutDouble(state == kOptProgressFailed ? 0.0 : objective_);
  progress->PutDouble(accuracy_);
  progress->PutUInt32(layout_.final_time_free ? 1u : 0u);
  if (layout_.final_time_free) progress->PutDouble(FinalTime());
  for (EntryKind kind : {EntryKind::kInitial, EntryKind::kDecision}) {
    progress->PutUInt32(static_cast<std::uint32_t>(optimisation::CountEntries(layout_, kind)));
    for (std::int32_t j = 0; j < p_; ++j) {
      const optimisation::Entry& e = layout_.entries[Z(j)];
      if (e.kind != kind) continue;
      progress->PutString(e.name.c_str());
      progress->PutDouble(x_[Z(j)] / scales_[Z(j)]);
    }
  }
  progress->PutUInt32(static_cast<std::uint32_t>(layout_.controls.size()));
  for (std::size_t c = 0; c < layout_.controls.size(); ++c) {
    progress->PutString(layout_.controls[c].name.c_str());
    std::vector<std::int32_t> at;
    for (std::int32_t j = 0; j < p_; ++j) {
      const optimisation::Entry& e = layout_.entries[Z(j)];
      if (e.kind == EntryKind::kControl && Z(e.control) == c) at.push_back(j);
    }
    progress->PutUInt32(static_cast<std::uint32_t>(at.size()));
    for (std::int32_t j : at) {
      progress->PutDouble(x_[Z(j)] / scales_[Z(j)]);
      progress->PutDouble(ControlTime(layout_.entries[Z(j)].index));
    }
  }
  progress->PutUInt32(static_cast<std::uint32_t>(k_));
  for (std::int32_t k = 0; k < k_; ++k) {
    progress->PutString(layout_.objectives[Z(k)].c_str());
    progress->PutDouble(pass.objectives != nullptr ? pass.objectives[k] : 0.0);
  }
  progress->PutUInt32(static_cast<std::uint32_t>(layout_.constrained.size()));
  for (std::size_t q = 0; q < layout_.constrained.size(); ++q) {
    progress->PutString(layout_.constrained[q].c_str());
    progress->PutDouble(pass.constrained != nullptr ? pass.constrained[q] : 0.0);
  }
}
