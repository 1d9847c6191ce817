#include "analysis/estimation/estimation_problem.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "analysis/estimation/estimation_mgr.h"
#include "analysis/model/analysis_variable.h"
#include "analysis/services/report_text.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_repeats.h"
#include "foundation/persistence/binary_stream.h"
#include "solve/linear/lsi.h"
#include "solve/methods/open_solvers.h"
#include "solve/methods/solver_factories.h"
#include "solve/optimisers/dense_optimiser.h"
#include "solve/options/option_descriptors.h"

namespace eo = estimation_options;

namespace {

using analysis_text::Line;

constexpr double kTinyResidual = 1e-150;
constexpr double kPredictionFloor = 1e-10;
constexpr double kTinyA = 1e-16;
constexpr double kNoBound = 1e37;
const double kLn2PiPlus1 = std::log(6.283185308) + 1.0;

std::int32_t PrintLevel() { return eo::ReportLevel(); }

std::size_t Z(std::int32_t i) { return static_cast<std::size_t>(i); }

struct TRow {
  std::int32_t dof;
  double t;
};
constexpr TRow kTTable[] = {
    {1, 12.706},  {2, 4.303},  {3, 3.182},  {4, 2.776},   {5, 2.571},  {6, 2.447},   {7, 2.365},
    {8, 2.306},   {9, 2.262},  {10, 2.228}, {11, 2.201},  {12, 2.179}, {13, 2.16},   {14, 2.145},
    {15, 2.131},  {16, 2.12},  {17, 2.11},  {18, 2.101},  {19, 2.093}, {20, 2.086},  {21, 2.08},
    {22, 2.074},  {23, 2.069}, {24, 2.064}, {25, 2.06},   {26, 2.056}, {27, 2.052},  {28, 2.048},
    {29, 2.045},  {30, 2.042}, {35, 2.03},  {40, 2.021},  {45, 2.014}, {50, 2.009},  {60, 2.0},
    {70, 1.994},  {80, 1.99},  {90, 1.987}, {100, 1.984}, {120, 1.98}, {140, 1.977}, {160, 1.975},
    {180, 1.973}, {200, 1.972}};

}  // namespace

double EstimationTValue(std::int32_t dof) {
  if (dof < 1) return 0.0;
  if (dof > 200) return 1.96;
  double t = kTTable[0].t;
  for (const TRow& row : kTTable) {
    if (row.dof > dof) break;
    t = row.t;
  }
  return t;
}

EstimationProblem::EstimationProblem(std::vector<AnalysisVariable*> unknowns,
                                     std::int32_t measurements)
    : variables_(std::move(unknowns)), n_(static_cast<std::int32_t>(variables_.size())),
      m_(measurements) {}

EstimationProblem::~EstimationProblem() { Destroy(); }

std::unique_ptr<EstimationProblem> EstimationProblem::Create(Layout layout, PrintFn print,
                                                             EstimationResults* results,
                                                             OptimiserFactory factory) {
  std::vector<AnalysisVariable*> variables;
  for (const Unknown& u : layout.unknowns) variables.push_back(u.variable);
  auto problem = std::make_unique<EstimationProblem>(std::move(variables), layout.measurements);
  if (layout.objective_type == 2 && layout.solver_kind == 2) layout.solver_kind = 1;
  problem->layout_ = std::move(layout);
  problem->print_ = std::move(print);
  problem->results_ = results;
  const std::size_t n = Z(problem->n_);
  const std::size_t m = Z(problem->m_);
  problem->bounds_.assign(2 * n, 0.0);
  problem->jacobian_.assign(n * m, 0.0);
  problem->residuals_.assign(m, 0.0);
  problem->predicted_.assign(m, 0.0);
  problem->weights_.assign(m, 1.0);
  problem->x_.assign(n, 0.0);
  problem->previous_x_.assign(n, 0.0);
  problem->best_x_.assign(n, 0.0);
  problem->scales_.assign(n, 1.0);
  problem->gradient_.assign(n, 0.0);
  problem->likelihood_.assign(Z(problem->layout_.records), 0.0);
  problem->layout_.record_of.resize(m, 0);
  problem->layout_.experiment_of.resize(m, 0);
  const std::int32_t kind = problem->layout_.solver_kind;
  problem->residual_optimiser_ =
      SelectDenseOptimiser(kRunEstimation, kind) == DenseOptimiserClass::kNlsOptimiser;
  QLNDenseOptimiser* optimiser =
      factory
          ? factory(kind, problem->m_, problem->n_)
          : CreateDenseOptimiser(2, kind, problem->m_, 0, problem->n_,
                                 reinterpret_cast<QLNVariable* const*>(problem->variables_.data()));
  problem->optimiser_.reset(optimiser);
  return problem;
}

void EstimationProblem::Destroy() {
  if (lsi_ != nullptr) {
    const std::int64_t zero = 0;
    const std::int64_t destroy = kLsiDestroy;
    std::int64_t info = 0;
    LSISolve(nullptr, nullptr, nullptr, nullptr, nullptr, &zero, &zero, &lsi_, &destroy, &info,
             nullptr);
    lsi_ = nullptr;
  }
  optimiser_.reset();
}

std::int32_t EstimationProblem::ParameterCount() const {
  std::int32_t count = 0;
  for (const Unknown& u : layout_.unknowns) count += u.kind != Kind::kHeteroscedasticity;
  return count;
}

double EstimationProblem::Value(std::int32_t j) const { return x_[Z(j)] / scales_[Z(j)]; }

void EstimationProblem::Say(Status status, const std::string& text) const {
  if (print_) print_(status, text);
}

void EstimationProblem::LoadInitialPoint() {
  for (std::size_t j = 0; j < layout_.unknowns.size(); ++j) {
    Unknown& u = layout_.unknowns[j];
    if (u.kind == Kind::kHeteroscedasticity) {
      if (u.variable != nullptr) u.variable->GetValue(&u.value);
      scales_[j] = 1.0;
      x_[j] = u.value;
      continue;
    }
    if (u.kind != Kind::kEstimated) continue;
    double scale = u.scale;
    double value = u.value;
    if (u.variable != nullptr) {
      u.variable->GetScale(&scale);
      u.variable->GetValue(&value);
    }
    if (!(scale > 0.0)) scale = 1.0;
    scales_[j] = scale;
    x_[j] = value * scale;
  }
}

std::int32_t EstimationProblem::Gamma(std::int32_t record, double* gamma) const {
  *gamma = 0.0;
  for (std::size_t j = 0; j < layout_.unknowns.size(); ++j) {
    const Unknown& u = layout_.unknowns[j];
    if (u.kind == Kind::kHeteroscedasticity && u.record == record) {
      *gamma = x_[j] / scales_[j];
      return static_cast<std::int32_t>(j);
    }
  }
  return -1;
}

double EstimationProblem::Objective(const Pass& pass, std::int32_t print) {
  for (std::int32_t k = 0; k < m_; ++k) {
    double r = pass.residuals != nullptr ? pass.residuals[k] : 0.0;
    if (std::fabs(r) < kTinyResidual) r = 0.0;
    residuals_[Z(k)] = r;
    if (pass.predicted != nullptr) predicted_[Z(k)] = pass.predicted[k];
    if (pass.weights != nullptr) weights_[Z(k)] = pass.weights[k];
  }
  double s = 0.0;
  for (double r : residuals_) s += r * r;
  sum_squares_ = s;
  double f = s;
  if (layout_.objective_type == 2) {
    f = 0.0;
    for (std::int32_t i = 0; i < layout_.records; ++i) {
      double gamma = 0.0;
      Gamma(i, &gamma);
      double a = 0.0, b = 0.0;
      std::int32_t n = 0;
      for (std::int32_t k = 0; k < m_; ++k) {
        if (layout_.record_of[Z(k)] != i) continue;
        const double u = std::max(kPredictionFloor, std::fabs(predicted_[Z(k)]));
        a += residuals_[Z(k)] * residuals_[Z(k)] / std::pow(u, gamma);
        b += std::log(u);
        ++n;
      }
      if (std::fabs(a) <= kTinyA) a = kTinyA;
      double l = 0.0;
      if (n > 0) l = -0.5 * (gamma * b + n * std::log(a / n) + n * kLn2PiPlus1);
      likelihood_[Z(i)] = l;
      f -= l;
    }
  }
  if (print >= 4) {
    for (std::int32_t k = 0; k < m_; ++k) {
      Say(0, Line("Residual %d is %14.6e", k + 1, residuals_[Z(k)]));
    }
  }
  if (print >= 3 && layout_.experiment_names.size() >= 2) {
    Say(0, " ");
    Say(0, Line("Sum of squared weighted errors:\n  Total = %14.6e", s));
    for (std::size_t e = 0; e < layout_.experiment_names.size(); ++e) {
      double sum = 0.0;
      for (std::int32_t k = 0; k < m_; ++k) {
        if (Z(layout_.experiment_of[Z(k)]) == e) sum += residuals_[Z(k)] * residuals_[Z(k)];
      }
      Say(0, Line("  Experiment %s = %14.6e", layout_.experiment_names[e].c_str(), sum));
    }
    Say(0, " ");
  }
  return f;
}

void EstimationProblem::CopyJacobian(const Pass& pass, std::int32_t print) {
  const std::int32_t np = ParameterCount();
  if (pass.jacobian == nullptr) return;
  // The pass gives a row per measurement; the optimiser wants a column per
  // unknown.
  std::int32_t column = 0;
  for (std::int32_t j = 0; j < n_; ++j) {
    if (layout_.unknowns[Z(j)].kind == Kind::kHeteroscedasticity) continue;
    for (std::int32_t k = 0; k < m_; ++k) {
      // Sensitivities are per model value; the optimiser's coordinate is
      // value · scale.
      const double value = pass.jacobian[Z(k) * Z(np) + Z(column)] / scales_[Z(j)];
      jacobian_[Z(k) + Z(m_) * Z(j)] = value;
      if (print >= 4) {
        Say(0, Line("Sensitivity of measurement %d wrt %d = %14.6e", k + 1, j + 1, value));
      }
    }
    ++column;
  }
}

void EstimationProblem::Gradient(const Pass& pass, std::int32_t print) {
  CopyJacobian(pass, print);
  std::fill(gradient_.begin(), gradient_.end(), 0.0);
  const std::size_t m = Z(m_);
  if (layout_.objective_type != 2) {
    for (std::int32_t j = 0; j < n_; ++j) {
      double g = 0.0;
      for (std::size_t k = 0; k < m; ++k) g += jacobian_[k + m * Z(j)] * residuals_[k];
      gradient_[Z(j)] = 2.0 * g;
    }
    if (print >= 3 && layout_.experiment_names.size() >= 2) {
      Say(0, "Gradients of total and experiment squared weighted errors:");
      for (std::int32_t j = 0; j < n_; ++j) {
        const Unknown& u = layout_.unknowns[Z(j)];
        if (u.kind == Kind::kReconciled) {
          Say(0, Line("With respect to %s(%s):", u.name.c_str(), u.experiment.c_str()));
        } else {
          Say(0, Line("With respect to %s:", u.name.c_str()));
        }
        Say(0, Line("  Total = %14.6e", gradient_[Z(j)]));
        for (std::size_t e = 0; e < layout_.experiment_names.size(); ++e) {
          double g = 0.0;
          for (std::size_t k = 0; k < m; ++k) {
            if (Z(layout_.experiment_of[k]) == e) g += jacobian_[k + m * Z(j)] * residuals_[k];
          }
          Say(0, Line("  Experiment %s = %14.6e", layout_.experiment_names[e].c_str(), 2.0 * g));
        }
      }
    }
    return;
  }
  for (std::int32_t i = 0; i < layout_.records; ++i) {
    double gamma = 0.0;
    const std::int32_t h = Gamma(i, &gamma);
    double a = 0.0, b = 0.0, log_sum = 0.0;
    std::int32_t n = 0;
    for (std::size_t k = 0; k < m; ++k) {
      if (layout_.record_of[k] != i) continue;
      const double u = std::max(kPredictionFloor, std::fabs(predicted_[k]));
      const double r2 = residuals_[k] * residuals_[k];
      a += r2 / std::pow(u, gamma);
      b += std::log(u);
      log_sum += r2 * std::log(u) / std::pow(u, gamma);
      ++n;
    }
    const bool tiny = std::fabs(a) <= kTinyA;
    for (std::int32_t j = 0; j < n_; ++j) {
      if (layout_.unknowns[Z(j)].kind == Kind::kHeteroscedasticity) continue;
      double fit = 0.0, spread = 0.0;
      for (std::size_t k = 0; k < m; ++k) {
        if (layout_.record_of[k] != i) continue;
        const double yhat = predicted_[k];
        const double u = std::max(kPredictionFloor, std::fabs(yhat));
        // du/dp = -sign(yhat)·J/W_e, zero where the floor holds u.
        const double w = weights_[k] != 0.0 ? weights_[k] : 1.0;
        const double sign = std::fabs(yhat) < kPredictionFloor ? 0.0 : (yhat > 0.0 ? 1.0 : -1.0);
        const double jk = jacobian_[k + m * Z(j)];
        const double r = residuals_[k];
        fit += (2.0 * r + gamma * r * r * sign / (w * u)) * jk / std::pow(u, gamma);
        spread += sign * jk / (w * u);
      }
      gradient_[Z(j)] += 0.5 * ((tiny ? 0.0 : n / a * fit) - gamma * spread);
    }
    if (h >= 0) gradient_[Z(h)] = 0.5 * (b - (tiny ? 0.0 : n / a * log_sum));
  }
  if (print >= 3) {
    for (std::int32_t j = 0; j < n_; ++j) {
      if (layout_.unknowns[Z(j)].kind == Kind::kHeteroscedasticity) {
        Say(0, Line("Gradient of log likelihood wrt heteroscedasticity parameter %d = %14.6e",
                    j + 1, gradient_[Z(j)]));
      } else {
        Say(0, Line("Gradient of log likelihood wrt estimated variable %d = %14.6e", j + 1,
                    gradient_[Z(j)]));
      }
    }
  }
}

bool EstimationProblem::Better(double objective) const {
  return objective < best_objective_;  // F is minimised for both objective types
}

std::int32_t EstimationProblem::CallOptimiser(std::int32_t flag, const Pass& pass) {
  (void)pass;
  DenseOptimiserCall call;
  call.point = x_.data();
  call.objective = objective_;
  call.bounds = bounds_.data();
  call.max_iterations = max_iterations_;
  call.print_level = PrintLevel();
  call.tolerance = tolerance_;
  call.max_rel_step = max_rel_step_;
  call.max_abs_step = max_abs_step_;
  call.mode = flag;
  call.constraints = residuals_.data();
  // The least-squares optimiser works on the residuals and their Jacobian;
  // every other sees the objective and its gradient alone.
  if (layout_.objective_type != 2 && residual_optimiser_) {
    call.gradients = jacobian_.data();
    call.gradient_rows = m_;
  } else {
    call.gradients = gradient_.data();
    call.gradient_rows = n_;
  }
  const std::int32_t code = optimiser_ ? optimiser_->Run(call) : 2;
  accuracy_ = call.accuracy;
  ++calls_;
  return code;
}

void EstimationProblem::WriteBack() {
  if (results_ != nullptr) results_->estimates.clear();
  for (std::int32_t j = 0; j < n_; ++j) {
    Unknown& u = layout_.unknowns[Z(j)];
    const double value = Value(j);
    switch (u.kind) {
      case Kind::kEstimated:
        u.value = value;
        if (results_ != nullptr) results_->estimates.push_back(value);
        break;
      case Kind::kReconciled:
        u.value = value;
        if (u.variable != nullptr) u.variable->SetValue(value);
        break;
      case Kind::kHeteroscedasticity:
        u.value = value;
        if (u.variable != nullptr) u.variable->SetValue(value);
        break;
    }
  }
}

std::int32_t EstimationProblem::Run(std::int32_t mode, const Pass& pass,
                                    BvuBinaryStream* progress) {
  SolverOptions* options = SolverOptions::Instance();
  const std::int32_t p = PrintLevel();
  const bool likelihood = layout_.objective_type == 2;
  tolerance_ = max_rel_step_ = max_abs_step_ = 0.0;
  if (likelihood) {
    tolerance_ = options->GetReal(eo::kLogLikelihoodSolTol);
    if (options->GetInt(eo::kOptimizer) == 1) {
      max_rel_step_ = options->GetReal(eo::kFeasoptMaxRelStep);
      max_abs_step_ = options->GetReal(eo::kFeasoptMaxAbsStep);
    }
  }
  if (mode == kEstFirstPass) {
    steps_ = 0;
    calls_ = 0;
    result_ = 0;
    judge_later_ = false;
    failed_pass_ = false;
    const std::int32_t bound = likelihood ? eo::kLogLikelihoodMaxIter : eo::kNlsMaxIter;
    max_iterations_ = options->GetInt(bound);
    if (max_iterations_ < 0) {
      TellOptionNotUsed("estimator", bound, max_iterations_, "0");
      max_iterations_ = 0;
    }
    if (p >= 1) {
      if (max_iterations_ <= 0) {
        Say(0, "Estimated variables will not be moved (maximum iterations set to zero)");
      } else {
        Say(0, likelihood ? "Estimation using Maximum Log Likelihood:"
                          : "Estimation using Least Squares:");
      }
    }
  }
  if (p >= 4) Say(0, Line("Status code from experiments = %d", mode));
  if (mode == kEstFirstPass) {
    if (p >= 3 && !likelihood) {
      const double abs_tol = options->GetReal(eo::kNlsAbsFuncTol);
      Say(0, "NLS tolerances currently set to:");
      Say(0, Line("  Absolute function convergence = %14.6e", abs_tol == 0.0 ? 1e-20 : abs_tol));
      Say(0,
          Line("  Relative function convergence = %14.6e", options->GetReal(eo::kNlsRelFuncTol)));
      Say(0, Line("  Solution function convergence = %14.6e", options->GetReal(eo::kNlsSolTol)));
      const double false_tol = options->GetReal(eo::kNlsFalseConvTol);
      if (false_tol > 0.0) Say(0, Line("  False    function convergence = %14.6e", false_tol));
    }
    for (std::int32_t j = 0; j < n_; ++j) {
      Unknown& u = layout_.unknowns[Z(j)];
      double lower = u.lower, upper = u.upper, scale = u.scale;
      if (u.kind == Kind::kHeteroscedasticity) {
        lower = 0.0;
        upper = 2.0;
        scale = 1.0;
        if (u.variable != nullptr) u.variable->GetValue(&u.value);
        x_[Z(j)] = u.value;
      } else if (u.variable != nullptr) {
        u.variable->GetBounds(&lower, &upper);
        if (u.kind == Kind::kEstimated) u.variable->GetScale(&scale);
      }
      if (!(scale > 0.0)) scale = 1.0;
      if (u.kind == Kind::kReconciled) {
        // Reconciled unknowns are measured values: scale 1.
        scale = 1.0;
        if (u.variable != nullptr) u.variable->GetValue(&u.value);
        x_[Z(j)] = u.value;
      }
      scales_[Z(j)] = scale;
      // Bounds live in the optimiser's space, like x. An unbounded variable
      // says so with values near the largest double, which the optimiser's
      // step arithmetic would carry past it (a trap on the server thread):
      // it gets the engine's finite "no bound" instead.
      bounds_[Z(j)] = lower > -kNoBound ? std::max(lower * scale, -kNoBound) : -kNoBound;
      bounds_[Z(n_ + j)] = upper < kNoBound ? std::min(upper * scale, kNoBound) : kNoBound;
    }
    if (p >= 3) {
      Say(0, "The initial values of the estimated variables are:");
      for (std::int32_t j = 0; j < n_; ++j) {
        const Unknown& u = layout_.unknowns[Z(j)];
        const char* form = u.kind == Kind::kEstimated ? "Estimate:  (Scale=%14.6e) %14.6e  %s"
                           : u.kind == Kind::kReconciled
                               ? "Reconcile: (Scale=%14.6e) %14.6e  %s"
                               : "Heteroscedasticity: (Scale=%14.6e) %14.6e  %s";
        Say(0, Line(form, 1.0 / scales_[Z(j)], Value(j), u.name.c_str()));
      }
    }
    best_x_ = x_;
    objective_ = Objective(pass, 0);
    best_objective_ = objective_;
    if (results_ != nullptr) {
      results_->initial_objective = likelihood ? -objective_ : sum_squares_;
    }
    Gradient(pass, 0);
    code_ = CallOptimiser(kOptimiserStart, pass);
    if (p >= 4) Say(0, Line("Estimation: Call %d, return code is IV(1)=%d", calls_, code_));
  }
  const bool final_pass = mode != kEstFirstPass && mode != kEstFailedPass && mode != kEstNormalPass;
  if (mode == kEstFailedPass) {
    if (p >= 2) Say(0, "Experiment failed: cutting step in estimated variables");
    failed_pass_ = true;
  }
  if (final_pass) {
    if (optimiser_) iterations_ = optimiser_->Iterations();
    // A final pass only recomputes the statistics at the current point.
    objective_ = Objective(pass, 0);
    Gradient(pass, 0);
    if (judge_later_) {
      judge_later_ = false;
      code_ = Judge(pass, p);
      Outcome(p);
    }
    if (layout_.statistics) Statistics(pass, p);
    return result_;
  }
  const std::vector<double> evaluated = x_;
  bool moved = false;
  while (code_ <= 0 && !moved) {
    if (!failed_pass_) {
      if (code_ == -1 || code_ == 0) objective_ = Objective(pass, p);
      if (code_ == -2 || code_ == 0) Gradient(pass, p);
    }
    if (p >= 4) {
      Say(0, "Calling estimation step with the following data:");
      Say(0, Line("Number of estimated variables=%d; Number of residuals=%d", n_, m_));
      Say(0, "Current estimated variables:");
      for (std::int32_t j = 0; j < n_; ++j) Say(0, Line("%d  %14.6e", j + 1, Value(j)));
    }
    previous_x_ = x_;
    const std::int32_t flag = failed_pass_ ? kOptimiserPointFailed : 0;
    const bool was_failed = failed_pass_;
    failed_pass_ = false;
    code_ = CallOptimiser(flag, pass);
    if (p >= 4) Say(0, Line("Estimation: Call %d, return code is IV(1)=%d", calls_, code_));
    moved = x_ != previous_x_;
    if (moved && !was_failed) {
      // The pass's residuals belong to the point the experiments ran at.
      const double f = Objective(pass);
      if (Better(f)) {
        best_objective_ = f;
        best_x_ = evaluated;
      }
    }
    if (results_ != nullptr) results_->final_objective = likelihood ? -objective_ : objective_;
    if (optimiser_) iterations_ = optimiser_->Iterations();
    if (results_ != nullptr) results_->iterations = static_cast<std::uint32_t>(iterations_);
    if (moved) ++steps_;
  }
  if (progress != nullptr) {
    progress->PutUInt32(static_cast<std::uint32_t>(layout_.objective_type));
    progress->PutUInt32(static_cast<std::uint32_t>(iterations_));
    progress->PutDouble(likelihood ? -objective_ : objective_);
    progress->PutDouble(sum_squares_);
    std::uint32_t n_est = 0, n_rec = 0;
    for (const Unknown& u : layout_.unknowns) {
      n_est += u.kind == Kind::kEstimated;
      n_rec += u.kind == Kind::kReconciled;
    }
    progress->PutUInt32(n_est);
    for (std::int32_t j = 0; j < n_; ++j) {
      const Unknown& u = layout_.unknowns[Z(j)];
      if (u.kind != Kind::kEstimated) continue;
      progress->PutString(u.name.c_str());
      progress->PutDouble(Value(j));
      progress->PutDouble(previous_x_[Z(j)] / scales_[Z(j)]);
    }
    progress->PutUInt32(n_rec);
    for (std::int32_t j = 0; j < n_; ++j) {
      const Unknown& u = layout_.unknowns[Z(j)];
      if (u.kind != Kind::kReconciled) continue;
      progress->PutString(u.name.c_str());
      progress->PutString(u.experiment.c_str());
      progress->PutDouble(Value(j));
      progress->PutDouble(previous_x_[Z(j)] / scales_[Z(j)]);
    }
  }
  if (p >= 1) {
    if (likelihood) {
      Say(0, Line("Step %d: Likelihood=%14.6e, Accuracy=%9.2e (Sum of square errors=%14.6e)",
                  steps_, -objective_, accuracy_, sum_squares_));
    } else {
      Say(0, Line("Step %d: Sum of weighted squared errors = %14.6e", steps_, objective_));
    }
    if (code_ > 0 && optimiser_) {
      Say(0, Line("Estimation: Number of evaluations: function=%d; gradient=%d",
                  optimiser_->Evaluations(), optimiser_->SuccessfulSteps()));
    }
  }
  WriteBack();
  if (p >= 3 && code_ <= 0) {
    ListEstimates(false, p);
    Say(0, " ");
  }
  if (code_ <= 0) return result_ = 0;
  if (code_ == 1 && !layout_.statistics && layout_.solver_kind == kOptimiserDifferenced) {
    // The run had no sensitivities; the pass that brings them for the
    // statistics judges the end point first.
    judge_later_ = true;
    return result_ = 1;
  }
  if (code_ == 1 && layout_.statistics) code_ = Judge(pass, p);
  Outcome(p);
  if (layout_.statistics) Statistics(pass, p);
  return result_;
}

namespace {

// The least-squares step d that minimises |r + J d| over the columns of J
// (m rows, column j at m·j) marked in `use`, by Gram-Schmidt twice on the
// unit columns and back-substitution. A column that is zero or dependent on
// those before it at round-off takes no part (its step stays 0) and sets
// *dependent. *projected is |P r|², the most the step lowers |r|² by.
// False when a column is not finite.
bool GaussNewtonStep(const std::vector<double>& jac, std::size_t m, const std::vector<double>& r,
                     const std::vector<bool>& use, std::vector<double>* step, double* projected,
                     bool* dependent) {
  constexpr double kDependent = 1e-10;
  const std::size_t n = use.size();
  std::vector<std::vector<double>> basis;
  std::vector<std::size_t> column_of;
  std::vector<double> norm_of;
  // Column k of R: the coefficients of unit column k on q_0..q_k.
  std::vector<std::vector<double>> rk;
  for (std::size_t j = 0; j < n; ++j) {
    if (!use[j]) continue;
    std::vector<double> v(jac.begin() + static_cast<std::ptrdiff_t>(m * j),
                          jac.begin() + static_cast<std::ptrdiff_t>(m * (j + 1)));
    double norm = 0.0;
    for (double e : v) norm += e * e;
    norm = std::sqrt(norm);
    if (!std::isfinite(norm)) return false;
    if (norm == 0.0) {
      *dependent = true;
      continue;
    }
    for (double& e : v) e /= norm;
    std::vector<double> coefficients(basis.size() + 1, 0.0);
    for (int again = 0; again < 2; ++again) {
      for (std::size_t i = 0; i < basis.size(); ++i) {
        double d = 0.0;
        for (std::size_t k = 0; k < m; ++k) d += basis[i][k] * v[k];
        for (std::size_t k = 0; k < m; ++k) v[k] -= d * basis[i][k];
        coefficients[i] += d;
      }
    }
    double rest = 0.0;
    for (double e : v) rest += e * e;
    rest = std::sqrt(rest);
    if (rest <= kDependent) {
      *dependent = true;
      continue;
    }
    for (double& e : v) e /= rest;
    coefficients.back() = rest;
    basis.push_back(std::move(v));
    column_of.push_back(j);
    norm_of.push_back(norm);
    rk.push_back(std::move(coefficients));
  }
  const std::size_t kept = basis.size();
  std::vector<double> c(kept, 0.0);
  *projected = 0.0;
  for (std::size_t i = 0; i < kept; ++i) {
    for (std::size_t k = 0; k < m; ++k) c[i] -= basis[i][k] * r[k];
    *projected += c[i] * c[i];
  }
  step->assign(n, 0.0);
  std::vector<double> y(kept, 0.0);
  for (std::size_t i = kept; i-- > 0;) {
    double sum = c[i];
    for (std::size_t l = i + 1; l < kept; ++l) sum -= rk[l][i] * y[l];
    y[i] = sum / rk[i][i];
    (*step)[column_of[i]] = y[i] / norm_of[i];
  }
  return true;
}

}  // namespace

// A general NLP solver stops where its steps become small, which is not
// where the sum of squares is least: a stale quasi-Newton matrix, a flat
// stretch or a cut line search stop it as well. Its end point counts as
// converged only where the Gauss-Newton step from the pass's residuals and
// Jacobian, held inside the unknowns' bounds, would lower the sum by no
// more than the relative function tolerance of it (Nls.RelFuncTol; for
// maximum likelihood, its SolTol on the residuals weighted by each
// record's n / A), or the sum is below the absolute one. At an optimum on
// a bound the free step leaves the box and still lowers the sum: an unknown
// the step takes past a bound stops there, and the others step again from
// that point. Columns dependent at round-off make it singular convergence.
// Heteroscedasticity unknowns leave the verdict to the solver.
std::int32_t EstimationProblem::Judge(const Pass& pass, std::int32_t p) {
  const bool likelihood = layout_.objective_type == 2;
  if (residual_optimiser_ || pass.jacobian == nullptr || m_ <= 0) return code_;
  for (const Unknown& u : layout_.unknowns) {
    if (u.kind == Kind::kHeteroscedasticity) return code_;
  }
  Objective(pass, 0);
  CopyJacobian(pass, 0);
  const std::size_t m = Z(m_);
  const std::size_t n = Z(n_);
  // Maximum likelihood with every gamma 0 is least squares on each record
  // weighted by n_i / A_i.
  std::vector<double> weight(m, 1.0);
  if (likelihood) {
    std::vector<double> a(Z(layout_.records), 0.0), count(a.size(), 0.0);
    for (std::size_t k = 0; k < m; ++k) {
      const auto i = Z(layout_.record_of[k]);
      if (i >= a.size()) return code_;
      a[i] += residuals_[k] * residuals_[k];
      count[i] += 1.0;
    }
    for (std::size_t k = 0; k < m; ++k) {
      const auto i = Z(layout_.record_of[k]);
      weight[k] = std::sqrt(count[i] / std::max(a[i], kTinyA));
    }
  }
  std::vector<double> r(m), columns(m * n);
  double total = 0.0;
  for (std::size_t k = 0; k < m; ++k) {
    r[k] = residuals_[k] * weight[k];
    total += r[k] * r[k];
  }
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t k = 0; k < m; ++k) columns[k + m * j] = jacobian_[k + m * j] * weight[k];
  }
  std::vector<bool> use(n, true);
  std::vector<double> step;
  double projected = 0.0;
  bool dependent = false;
  if (!GaussNewtonStep(columns, m, r, use, &step, &projected, &dependent)) return code_;
  // Hold the step in the box. The residuals then start from the held
  // unknowns' moves: `moved` = J·(those moves), and the step lowers |r|²
  // by |r|² - |r + moved|² + |P (r + moved)|².
  std::vector<double> moved(m, 0.0);
  for (std::size_t round = 0; round < n; ++round) {
    bool held = false;
    for (std::size_t j = 0; j < n; ++j) {
      if (!use[j]) continue;
      const double to = x_[j] + step[j];
      const double bound = to > bounds_[n + j] ? bounds_[n + j] : to < bounds_[j] ? bounds_[j] : to;
      if (bound == to) continue;
      use[j] = false;
      held = true;
      const double move = bound - x_[j];
      for (std::size_t k = 0; k < m; ++k) moved[k] += columns[k + m * j] * move;
    }
    if (!held) break;
    std::vector<double> from(r);
    for (std::size_t k = 0; k < m; ++k) from[k] += moved[k];
    bool ignored = false;
    if (!GaussNewtonStep(columns, m, from, use, &step, &projected, &ignored)) return code_;
  }
  double reduction = projected;
  for (std::size_t k = 0; k < m; ++k) reduction -= 2.0 * r[k] * moved[k] + moved[k] * moved[k];
  reduction = std::max(reduction, 0.0);
  SolverOptions* options = SolverOptions::Instance();
  const double relative = likelihood ? tolerance_ : options->GetReal(eo::kNlsRelFuncTol);
  const double absolute = likelihood ? 0.0 : options->GetReal(eo::kNlsAbsFuncTol);
  const bool least = reduction <= relative * total || (!likelihood && total <= absolute);
  if (least) return dependent ? 17 : 1;
  if (p != 0) {
    Say(kEstOptimiserFailed,
        Line("The solver stopped where a Gauss-Newton step would still lower the objective by "
             "%9.2e of itself",
             total > 0.0 ? reduction / total : reduction));
  }
  return 3;
}

void EstimationProblem::Outcome(std::int32_t p) {
  const std::int32_t code = code_;
  const std::int32_t it = iterations_;
  std::uint32_t outcome = 8;
  Status status = 0;
  std::string text;
  bool message = true;
  switch (code) {
    case 1:
    case 13:
      outcome = 1, result_ = 1;
      text = Line("Estimated variables converged after %d iterations", it);
      break;
    case 14:
      outcome = 2, result_ = 2;
      text = Line("Least squares relative convergence after %d iterations", it);
      break;
    case 15:
      outcome = 3, result_ = 3;
      text =
          Line("Estimated variable and least squares relative convergence after %d iterations", it);
      break;
    case 16:
      outcome = 4, result_ = 4;
      text = Line("Least squares absolute convergence obtained after %d iterations", it);
      break;
    case 17:
      outcome = 5, result_ = 5, status = kEstSingularConvergence;
      text = Line(
          "Singular convergence obtained after %d iterations\nA solution has been found but may "
          "not be unique.\nIt may not be possible to estimate all of the parameters from the "
          "experimental data provided.\nTry removing some of the estimated variables.",
          it);
      break;
    case 18:
      outcome = 6, result_ = 6, status = kEstOptimiserFailed;
      text = Line(
          "False convergence obtained after %d iterations\nThe estimated variables are "
          "converging but the least squares function is not.\nThe experiments may not be being "
          "calculated to sufficient precision.\nTry reducing the Absolute Equation Tolerance, "
          "Absolute Variable Tolerance and Relative Tolerance (Solver Options, Tolerances tab)",
          it);
      break;
    case 2:
      result_ = -1, status = kEstConvergenceFailure;
      text = "Estimation Convergence failure";
      break;
    case 3:
    case 4:
      result_ = 5, status = kEstOptimiserFailed;
      text =
          "Convergence failure inside optimizer.\nTry tightening your equation and variable "
          "tolerances or\nre-scaling your problem or relaxing the optimization tolerance";
      break;
    case 5:
    case 6:
    case 7:
      result_ = 5, status = kEstOptimiserFailed;
      text =
          "The optimizer cannot cannot find a solution.\nCheck that your measured variable values "
          "depend on the estimation and reconciled variable values.";
      break;
    case 8:
      result_ = 5, status = kEstLineStepTooSmall;
      text =
          "Optimizer line step too small; \nCheck that you have a well-posed estimation problem.";
      break;
    case 19:
    case 20:
      if (max_iterations_ > 0) {
        outcome = 7, result_ = -1, status = kEstIterationLimit;
        text = code == 19
                   ? "Maximum number of function evaluations exceeded\nTry increasing the Maximum "
                     "Iterations (Solver Options, Estimator tab)"
                   : "Maximum number of iterations exceeded\n";
      } else {
        result_ = 5;
        message = false;
      }
      break;
    case 65:
      result_ = -1, status = kEstConvergenceFailure;
      text =
          "Estimator (NLS) could not compute a gradient at the current solution. Try re-scaling "
          "or re-posing your problem.";
      break;
    default:
      result_ = -1, status = kEstConvergenceFailure;
      text = Line("Unknown error in estimation solver. (code = %d)", code);
      break;
  }
  // What the passes repeated is told before the outcome can be read: a
  // client may close as soon as it reads it.
  SuTellRepeatsNow();
  if (results_ != nullptr) results_->outcome = outcome;
  const SuOutcomeLines outcome_lines;
  if (p != 0 && message) {
    Say(status, text);
    if (code == 17) {
      Say(status,
          "Gradients of the least squares function which are zero or close to zero indicate which "
          "estimated variables could be removed:");
      for (std::int32_t j = 0; j < n_; ++j) {
        const Unknown& u = layout_.unknowns[Z(j)];
        const char* form = u.kind == Kind::kHeteroscedasticity
                               ? "  %14.6e wrt heteroscedasticity of  %s"
                               : "  %14.6e wrt %s";
        Say(status, Line(form, gradient_[Z(j)], u.name.c_str()));
      }
    }
  }
  const bool converged = code == 1 || (code >= 13 && code <= 16);
  if (!converged && SolverOptions::Instance()->GetBool(eo::kReturnToBest) &&
      objective_ != best_objective_) {
    ReturnToBest(p);
    result_ = 10;
  }
}

void EstimationProblem::ReturnToBest(std::int32_t print) {
  if (print > 0) {
    if (layout_.objective_type == 2) {
      Say(0, Line("Returning to best point (with Likelihood = %14.6e)", -best_objective_));
    } else {
      Say(0, Line("Returning to best point (with sum of weighted squared errors = %14.6e)",
                  best_objective_));
    }
  }
  x_ = best_x_;
  WriteBack();
}

bool EstimationProblem::Covariance(bool client_units, double two_f, std::vector<double>* out) {
  const std::int32_t np = ParameterCount();
  const std::size_t m = Z(m_);
  std::vector<std::int32_t> columns;
  for (std::int32_t j = 0; j < n_; ++j) {
    if (layout_.unknowns[Z(j)].kind != Kind::kHeteroscedasticity) columns.push_back(j);
  }
  // J' in model units: the stored columns are per x = value · scale.
  std::vector<double> jp(m * Z(np));
  for (std::int32_t c = 0; c < np; ++c) {
    const std::int32_t j = columns[Z(c)];
    double factor = scales_[Z(j)];
    if (client_units) {
      const double a = layout_.unknowns[Z(j)].multiplier;
      // Shown value = A·v + B, so the shown covariance is A_i·A_j·C.
      factor /= a != 0.0 ? a : 1.0;
    }
    for (std::size_t k = 0; k < m; ++k) jp[k + m * Z(c)] = jacobian_[k + m * Z(j)] * factor;
  }
  std::vector<double> values;
  std::vector<std::int64_t> rows, cols;
  for (std::int32_t a = 0; a < np; ++a) {
    for (std::int32_t b = 0; b < np; ++b) {
      double sum = 0.0;
      for (std::size_t k = 0; k < m; ++k) sum += jp[k + m * Z(a)] * jp[k + m * Z(b)];
      values.push_back(sum);
      rows.push_back(a + 1);
      cols.push_back(b + 1);
    }
  }
  const std::int64_t ne = static_cast<std::int64_t>(values.size());
  const std::int64_t order = np;
  const std::int64_t kind = SolverOptions::Instance()->GetInt(eo::kLinearSolver);
  std::vector<double> inverse(Z(np) * Z(np));
  std::vector<double> unit(Z(np));
  for (std::int32_t c = 0; c < np; ++c) {
    std::fill(unit.begin(), unit.end(), 0.0);
    unit[Z(c)] = 1.0;
    const std::int64_t flags = c == 0 ? kLsiNewValues | kLsiSolve : kLsiSolve;
    std::int64_t info = 0;
    LSISolve(values.data(), rows.data(), cols.data(), inverse.data() + Z(c) * Z(np), unit.data(),
             &ne, &order, &lsi_, &flags, &info, &kind);
    if (info != kLsiOk) return false;
    for (std::int32_t r = 0; r < np; ++r) {
      if (!std::isfinite(inverse[Z(c) * Z(np) + Z(r)])) return false;
    }
  }
  const double factor = two_f / std::max(1, m_ - np);
  out->clear();
  for (std::int32_t r = 0; r < np; ++r) {
    for (std::int32_t c = 0; c <= r; ++c) out->push_back(factor * inverse[Z(c) * Z(np) + Z(r)]);
  }
  return true;
}

bool EstimationProblem::Correlation(const std::vector<double>& covariance, std::int32_t n,
                                    std::vector<double>* out) {
  auto at = [&](std::int32_t r, std::int32_t c) { return covariance[Z(r * (r + 1) / 2 + c)]; };
  for (std::int32_t j = 0; j < n; ++j) {
    if (!(at(j, j) > 0.0)) return false;
  }
  out->clear();
  for (std::int32_t r = 0; r < n; ++r) {
    for (std::int32_t c = 0; c <= r; ++c) {
      out->push_back(at(r, c) / std::sqrt(at(r, r) * at(c, c)));
    }
  }
  return true;
}

void EstimationProblem::StandardErrors(const std::vector<double>& covariance, double two_f,
                                       std::vector<double>* out) const {
  out->clear();
  std::int32_t c = 0;
  double variance = two_f / std::max(1, m_ - ParameterCount());
  if (variance == 0.0) variance = 1.0;
  for (const Unknown& u : layout_.unknowns) {
    if (u.kind == Kind::kHeteroscedasticity) continue;
    double v = std::fabs(covariance[Z(c * (c + 1) / 2 + c)]);
    if (u.kind == Kind::kReconciled) v /= variance;
    out->push_back(std::sqrt(v));
    ++c;
  }
}

void EstimationProblem::Statistics(const Pass& pass, std::int32_t p) {
  (void)pass;
  for (double& r : residuals_) {
    if (std::fabs(r) < kTinyResidual) r = 0.0;
  }
  double two_f = 0.0;
  for (double r : residuals_) two_f += r * r;
  const std::int32_t np = ParameterCount();
  dof_ = m_ - np;
  model_se_.clear();
  model_limits_.clear();
  statistics_kind_ = 0;
  std::vector<double> client_cov, client_se, correlation;
  const bool have = Covariance(false, two_f, &model_cov_);
  if (have) {
    statistics_kind_ = 1;
    if (!Covariance(true, two_f, &client_cov)) client_cov = model_cov_;
    if (Correlation(client_cov, np, &correlation)) {
      statistics_kind_ = 2;
    } else if (p >= 2) {
      Say(0,
          "No correlation information available (since the variance of one or more variables is "
          "zero or negative)");
    }
    StandardErrors(model_cov_, two_f, &model_se_);
    StandardErrors(client_cov, two_f, &client_se);
  } else {
    model_cov_.clear();
  }
  const double t = EstimationTValue(dof_);
  std::vector<double> client_limits;
  if (have && dof_ >= 1) {
    std::int32_t c = 0;
    for (std::int32_t j = 0; j < n_; ++j) {
      const Unknown& u = layout_.unknowns[Z(j)];
      if (u.kind == Kind::kHeteroscedasticity) continue;
      const double v = Value(j);
      const double centre = u.multiplier * v + u.offset;
      client_limits.push_back(centre - t * client_se[Z(c)]);
      client_limits.push_back(centre + t * client_se[Z(c)]);
      model_limits_.push_back(v - t * model_se_[Z(c)]);
      model_limits_.push_back(v + t * model_se_[Z(c)]);
      ++c;
    }
  }
  if (results_ != nullptr) {
    results_->statistics = static_cast<std::uint8_t>(statistics_kind_);
    results_->standard_errors = client_se;
    results_->covariance = client_cov;
    results_->correlation = statistics_kind_ == 2 ? correlation : std::vector<double>{};
    results_->confidence = client_limits;
  }
  if (dof_ < 1 && p >= 1) {
    Say(0, Line("Degrees of Freedom is %d and hence no confidence intervals available", dof_));
  }
  if (p >= 1) {
    ListEstimates(have, p);
    Say(0, " ");
    const double rms = m_ > 0 ? std::sqrt(two_f / m_) : 0.0;
    if (dof_ < 2) {
      Say(0, Line("Degrees of Freedom=%d; RMS error=%14.6e", dof_, rms));
    } else if (two_f > 0.0) {
      double predicted_squares = 0.0;
      for (double y : predicted_) predicted_squares += y * y;
      const double f_value = (predicted_squares / std::max(1, np)) / (two_f / dof_);
      Say(0, Line("Degrees of Freedom=%d; RMS Error=%14.6e; F-value=%14.6e", dof_, rms, f_value));
    } else {
      Say(0, Line("Degrees of Freedom=%d; RMS Error=%14.6e", dof_, rms));
    }
    Say(0, "");
  }
  if (!have) {
    Say(0, "No covariance or correlation information.");
    return;
  }
  if (p >= 2) {
    auto matrix = [&](const std::vector<double>& lower) {
      // Blocks of five columns keep the rows readable.
      constexpr std::int32_t kBlock = 5;
      for (std::int32_t first = 0; first < np; first += kBlock) {
        for (std::int32_t r = first; r < np; ++r) {
          std::string line;
          for (std::int32_t c = first; c <= r && c < first + kBlock; ++c) {
            if (!line.empty()) line += "  ";
            line += Line("%14.6e", lower[Z(r * (r + 1) / 2 + c)]);
          }
          Say(0, line);
        }
      }
    };
    Say(0, "\nCovariance Matrix:");
    matrix(model_cov_);
    Say(0, "");
    if (statistics_kind_ == 2) {
      Say(0, "Correlation Matrix:");
      matrix(correlation);
    }
  }
}

void EstimationProblem::ListEstimates(bool statistics, std::int32_t p) {
  (void)p;
  std::int32_t n_est = 0, n_rec = 0;
  for (const Unknown& u : layout_.unknowns) {
    n_est += u.kind == Kind::kEstimated;
    n_rec += u.kind == Kind::kReconciled;
  }
  Say(0, n_rec == 0   ? "Estimated variables:"
         : n_est == 0 ? "Reconciled variables:"
                      : "Estimated/Reconciled variables:");
  const bool limits = statistics && !model_limits_.empty();
  const bool errors = statistics && !model_se_.empty();
  if (statistics) {
    Say(0, limits ? "     Value          Standard Error   95% Confidence Interval     Name"
                  : "     Value          Standard Error   Name");
  }
  std::int32_t c = 0;
  for (std::int32_t j = 0; j < n_; ++j) {
    const Unknown& u = layout_.unknowns[Z(j)];
    const double v = Value(j);
    if (u.kind == Kind::kHeteroscedasticity) {
      Say(0, Line("Heteroscedasticity: %14.6e  %s", v, u.name.c_str()));
      continue;
    }
    std::string name = u.name;
    if (u.kind == Kind::kReconciled) name += "(" + u.experiment + ")";
    if (u.kind == Kind::kEstimated && u.initial) name += "(initial value)";
    const std::int32_t number = c + 1;
    if (limits) {
      Say(0, Line("%3d %14.6e %14.6e %14.6e,%14.6e  %s", number, v, model_se_[Z(c)],
                  model_limits_[Z(2 * c)], model_limits_[Z(2 * c + 1)], name.c_str()));
    } else if (errors) {
      Say(0, Line("%3d %14.6e %14.6e    %s", number, v, model_se_[Z(c)], name.c_str()));
    } else {
      Say(0, Line("%3d %14.6e  %s", number, v, name.c_str()));
    }
    ++c;
  }
}

std::int32_t eo::EstimationPrintLevel() {
  const std::int32_t stored = SolverOptions::Instance()->GetInt(kEstimationPrintLevel);
  const std::int32_t used = std::clamp(stored, 0, 4);
  if (used != stored) {
    TellOptionNotUsed("estimator", kEstimationPrintLevel, stored, std::to_string(used));
  }
  return used;
}

std::int32_t eo::ReportLevel() {
  return SolverOptions::Instance()->GetInt(kPrintLevel) != 0 ? EstimationPrintLevel() : 0;
}
