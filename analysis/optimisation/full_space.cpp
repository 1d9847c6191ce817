#include "analysis/optimisation/full_space.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "analysis/optimisation/reduced_driver.h"
#include "analysis/services/report_text.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "foundation/persistence/binary_stream.h"
#include "solve/ifaces/kvs_nlp.h"
#include "solve/methods/open_solvers.h"
#include "solve/open/kvs_guard.h"
#include "solve/open/kvs_proxies.h"
#include "solve/open/nlp_eso.h"
#include "solve/open/solver_loaders.h"
#include "solve/optimisers/kvs_optimisers.h"
#include "solve/optimisers/nlp_step.h"

namespace oo = optimisation_options;

namespace {

std::size_t Z(std::int32_t i) { return static_cast<std::size_t>(i); }

using analysis_text::Line;

// Names are at most 255 characters.
std::string Clip(std::string text) {
  if (text.size() > 255) text.resize(255);
  return text;
}

std::atomic<std::uint32_t> next_slack_id{0xF0000000u};

}  // namespace

// --- OptSlackVariable ---

OptSlackVariable::OptSlackVariable(AnalysisVariable* model, const std::string& model_name,
                                   double bound, std::int32_t type)
    : bound_(bound), type_(type), model_(model), id_(next_slack_id.fetch_sub(1)) {
  if (type == 1) {
    name_ = Clip(Line(".Slack_%s<=%14.6e", model_name.c_str(), bound));
  } else if (type == -1) {
    name_ = Clip(Line(".Slack_%s>=%14.6e", model_name.c_str(), bound));
  } else {
    name_ = Clip(model_name);
  }
}

Status OptSlackVariable::GetValue(double* value) {
  if (linked_ != 0 && model_ != nullptr) return model_->GetValue(value);
  *value = value_;
  return 0;
}

Status OptSlackVariable::SetValue(double value) {
  if (linked_ != 0 && model_ != nullptr) return model_->SetValue(value);
  value_ = value;
  return 0;
}

Status OptSlackVariable::GetBounds(double* lower, double* upper) {
  if (linked_ != 0 && model_ != nullptr) return model_->GetBounds(lower, upper);
  *lower = lower_;
  *upper = upper_;
  return 0;
}

// --- OptEquation ---

OptEquation::OptEquation(const std::string& model_name, double bound, std::int32_t type,
                         std::int32_t variable_column, std::int32_t slack_column,
                         std::int32_t record)
    : bound_(bound), type_(type), column_(variable_column), slack_(slack_column), record_(record) {
  const char* form = type == 1    ? ".Inequality_%s<=%14.6e"
                     : type == -1 ? ".Inequality_%s>=%14.6e"
                                  : ".Equality_%s==%14.6e";
  name_ = Clip(Line(form, model_name.c_str(), bound));
}

double OptEquation::Value(const double* point) const {
  const double slack = slack_ >= 0 ? type_ * point[slack_] : 0.0;
  return point[column_] + slack - bound_;
}

std::string OptEquation::Dump(const double* point) const {
  if (slack_ < 0) {
    return Line("---- %s [x(%d) - %.15g = %.15g] QLNRow::Dump() ----\n", name_.c_str(), column_ + 1,
                bound_, point != nullptr ? Value(point) : 0.0);
  }
  return Line("---- %s [x(%d) + %d*s(%d) - %.15g = %.15g] QLNRow::Dump() ----\n", name_.c_str(),
              column_ + 1, type_, slack_ + 1, bound_, point != nullptr ? Value(point) : 0.0);
}

// --- FullSpaceOptimisation ---

FullSpaceOptimisation::FullSpaceOptimisation(FullSpaceModel* model, Definition definition,
                                             PrintFn print)
    : model_(model), def_(std::move(definition)), print_(std::move(print)) {}

FullSpaceOptimisation::~FullSpaceOptimisation() {
  if (result_ != nullptr) result_->Release();
  if (system_ != nullptr) system_->Release();
  if (eso_ != nullptr) eso_->Release();
}

void FullSpaceOptimisation::Say(Status status, const std::string& text) const {
  if (print_) {
    print_(status, text);
  } else {
    SuPrint(status, "%s", text.c_str());
  }
}

void FullSpaceOptimisation::ReadOptions() {
  SolverOptions* options = SolverOptions::Instance();
  print_level_ = oo::PrintLevel(options);
  sign_ = options->GetInt(oo::kObjFun) == 1 ? -1.0 : 1.0;
}

Status FullSpaceOptimisation::Formulate() {
  ReadOptions();
  for (std::int32_t c : def_.initial) {
    if (AnalysisVariable* v = model_->Variable(c))
      v->SetFlags(analysis_flags::kOptimisationVariable);
  }
  if (def_.free.empty() || def_.objectives.empty()) {
    Say(kFullSpaceNothingToOptimise,
        "Warning: You have requested an optimization simulation but not defined\nan objective "
        "function and/or at least one VARY/control/initial variable.");
    failure_ = kFullSpacePassFailed;
    return kFullSpacePassFailed;
  }
  m0_ = std::max(model_->Equations(), 0);
  n0_ = std::max(model_->Variables(), 0);
  model_->Structure(&rows_, &columns_);
  const std::size_t structure = std::min(rows_.size(), columns_.size());
  rows_.resize(structure);
  columns_.resize(structure);
  model_entries_ = static_cast<std::int32_t>(structure);
  for (std::size_t k = 0; k < structure; ++k) {
    if (rows_[k] < 0 || rows_[k] >= m0_ || columns_[k] < 0 || columns_[k] >= n0_) {
      Say(kFullSpaceNothingToOptimise, "Full space optimization: model structure out of range");
      failure_ = kFullSpacePassFailed;
      return kFullSpacePassFailed;
    }
  }
  point_.assign(Z(n0_), 0.0);
  lower_.assign(Z(n0_), 0.0);
  upper_.assign(Z(n0_), 0.0);
  std::vector<bool> is_free(Z(n0_), false);
  for (std::int32_t c : def_.free) {
    if (c >= 0 && c < n0_) is_free[Z(c)] = true;
  }
  for (std::int32_t j = 0; j < n0_; ++j) {
    point_[Z(j)] = model_->Value(j);
    model_->Bounds(j, &lower_[Z(j)], &upper_[Z(j)]);
    // A variable the model fixes stays where it is.
    if (!is_free[Z(j)] && model_->Fixed(j)) lower_[Z(j)] = upper_[Z(j)] = point_[Z(j)];
  }
  const bool own_bounds =
      def_.free_lower.size() == def_.free.size() && def_.free_upper.size() == def_.free.size();
  for (std::size_t k = 0; own_bounds && k < def_.free.size(); ++k) {
    const std::int32_t c = def_.free[k];
    if (c < 0 || c >= n0_) continue;
    lower_[Z(c)] = def_.free_lower[k];
    upper_[Z(c)] = def_.free_upper[k];
  }
  slacks_.clear();
  inequalities_.clear();
  for (std::size_t record = 0; record < def_.constraints.size(); ++record) {
    const Constraint& c = def_.constraints[record];
    if (c.kind < 0 || c.kind > 3 || c.column < 0 || c.column >= n0_) continue;
    const std::int32_t row = m0_ + static_cast<std::int32_t>(inequalities_.size());
    const std::string name = model_->Name(c.column);
    // x >= 0 and x = 0 carry no bound of their own.
    const double bound = c.kind >= 2 ? c.bound : 0.0;
    rows_.push_back(row);
    columns_.push_back(c.column);
    if (c.kind == 0) {
      inequalities_.emplace_back(name, bound, 0, c.column, -1, static_cast<std::int32_t>(record));
      continue;
    }
    const std::int32_t t = c.kind == 3 ? 1 : -1;
    const std::int32_t slack = n0_ + static_cast<std::int32_t>(slacks_.size());
    auto s = std::make_unique<OptSlackVariable>(model_->Variable(c.column), name, bound, t);
    const double start = t * (bound - point_[Z(c.column)]);
    s->SetValue(start);
    s->SetFlags(analysis_flags::kSlack);
    inequalities_.emplace_back(name, bound, t, c.column, slack, static_cast<std::int32_t>(record));
    rows_.push_back(row);
    columns_.push_back(slack);
    point_.push_back(start);
    lower_.push_back(0.0);
    upper_.push_back(1e30);
    slacks_.push_back(std::move(s));
  }
  start_.assign(point_.begin(), point_.begin() + n0_);
  q_ = static_cast<std::int32_t>(slacks_.size());
  m_ = m0_ + static_cast<std::int32_t>(inequalities_.size());
  n_ = n0_ + q_;
  work1_.assign(Z(n_ + 2 * q_), 0.0);
  work2_.assign(Z(q_ + n_ + m_), 0.0);
  multipliers_.assign(Z(2 * n_), 0.0);
  if (print_level_ >= 2) {
    Say(0, "Full space steady state optimization solution:");
    Say(0, Line("%d equalities, %d variables and %d non-zeros", m_, n_, NonZeros()));
    Say(0, "");
    Say(0, "Initial values of decision variables: (unscaled)");
    Say(0, "         Value   Name");
    for (std::int32_t c : def_.free) {
      if (c >= 0 && c < n0_) Say(0, Line("%14.6e   %s", point_[Z(c)], model_->Name(c).c_str()));
    }
  }
  return 0;
}

Status FullSpaceOptimisation::Connect() {
  platform::IUnknown* factory = OpenNLPFactory(kRunOptimisation);
  if (factory == nullptr) return kKvsNotLoadable;
  std::vector<std::int32_t> rows(rows_.size()), cols(columns_.size());
  for (std::size_t k = 0; k < rows_.size(); ++k) {
    rows[k] = rows_[k] + 1;
    cols[k] = columns_[k] + 1;
  }
  std::vector<QLNVariable*> variables;
  bool complete = true;
  for (std::int32_t j = 0; j < n0_ && complete; ++j) {
    AnalysisVariable* v = model_->Variable(j);
    complete = v != nullptr;
    variables.push_back(v);
  }
  for (auto& s : slacks_) variables.push_back(s.get());
  eso_ = new QLNCNumericNLPESO(m_, 0, n_, true, complete ? variables.data() : nullptr, n_,
                               NonZeros(), rows.data(), cols.data());
  eso_->AddRef();
  auto* nlp_factory = static_cast<KVSNLPSystemFactory*>(factory);
  KVSNLPSystem* system = nullptr;
  const Status s = GuardedKvsCall(
      [&] { return nlp_factory->CreateSystem(eso_, QLNCOpenMessagesHandler::Instance(), &system); },
      kFullSpaceNotSupported);
  if (s != 0 || system == nullptr) {
    factory->Release();
    if (system != nullptr) system->Release();
    return s != 0 ? s : kFullSpaceNotSupported;
  }
  system_ = system;
  // The settings a client gave the library as named options: no proxy
  // stands between it and this system.
  ApplyNamedOptions(factory, system_);
  factory->Release();
  void* raw = nullptr;
  if (system_->QueryInterface(IID_KVSNLPResult, &raw) == 0)
    result_ = static_cast<KVSNLPResult*>(raw);
  return 0;
}

double FullSpaceOptimisation::ObjectiveAt(const double* point) const {
  double f = 0.0;
  for (std::int32_t c : def_.objectives) {
    if (c >= 0 && c < n0_) f += point[c];
  }
  return sign_ * f;
}

Status FullSpaceOptimisation::Residuals(const double* point, double* residuals,
                                        double* jacobian) const {
  const Status s = model_->Evaluate(point, residuals, jacobian);
  if (residuals != nullptr) {
    for (std::size_t k = 0; k < inequalities_.size(); ++k) {
      residuals[Z(m0_) + k] = inequalities_[k].Value(point);
    }
  }
  if (jacobian != nullptr) {
    // Each constraint row's entries follow the model's: 1.0, then t for a slack.
    std::size_t at = Z(model_entries_);
    for (const OptEquation& row : inequalities_) {
      jacobian[at++] = 1.0;
      if (row.SlackColumn() >= 0) jacobian[at++] = row.Type();
    }
  }
  return s;
}

void FullSpaceOptimisation::Evaluate(std::uint32_t request) {
  const std::vector<double>& at = eso_->Point();
  std::copy(at.begin(), at.end(), point_.begin());
  const bool residuals = (request & kNlpWantsConstraints) != 0;
  const bool jacobian = (request & kNlpWantsJacobian) != 0;
  if (residuals || jacobian) {
    // Residuals in the second work array (q + n + m >= m).
    std::vector<double> j(jacobian ? rows_.size() : 0);
    Residuals(point_.data(), residuals ? work2_.data() : nullptr, jacobian ? j.data() : nullptr);
    if (residuals) eso_->SetConstraints(work2_.data());
    if (jacobian) eso_->SetConstraintJacobian(j.data());
    if (residuals) ++functions_;
    if (jacobian) ++gradients_;
  }
  objective_ = ObjectiveAt(point_.data());
  if ((request & kNlpWantsObjective) != 0) eso_->SetObjective(objective_);
  if ((request & kNlpWantsGradient) != 0) {
    std::fill(work1_.begin(), work1_.end(), 0.0);
    for (std::int32_t c : def_.objectives) {
      if (c >= 0 && c < n0_) work1_[Z(c)] += sign_;
    }
    eso_->SetObjectiveGradient(work1_.data());
  }
  if ((request & kNlpGivesPoint) != 0) eso_->SetPoint(point_.data());
  if ((request & kNlpUnitScales) != 0) eso_->SetUnitScales();
}

void FullSpaceOptimisation::Progress(std::uint32_t state, BvuBinaryStream* progress) const {
  if (progress == nullptr) return;
  progress->PutUInt32(state);
  progress->PutUInt32(static_cast<std::uint32_t>(iterations_));
  progress->PutDouble(objective_);
  progress->PutDouble(accuracy_);
  progress->PutUInt32(0);
  if (state != kOptProgressOptimum) return;
  auto column_list = [&](const std::vector<std::int32_t>& columns) {
    progress->PutUInt32(static_cast<std::uint32_t>(columns.size()));
    for (std::int32_t c : columns) {
      progress->PutString(model_->Name(c).c_str());
      progress->PutDouble(c >= 0 && c < n0_ ? point_[Z(c)] : 0.0);
    }
  };
  std::vector<std::int32_t> decision;
  for (std::int32_t c : def_.free) {
    if (std::find(def_.initial.begin(), def_.initial.end(), c) == def_.initial.end()) {
      decision.push_back(c);
    }
  }
  column_list(def_.initial);
  column_list(decision);
  progress->PutUInt32(0);  // no controls in a steady state
  column_list(def_.objectives);
  std::vector<std::int32_t> constrained;
  for (const Constraint& c : def_.constraints) {
    if (std::find(constrained.begin(), constrained.end(), c.column) == constrained.end()) {
      constrained.push_back(c.column);
    }
  }
  column_list(constrained);
}

// The solver's last iterate breaks the model's equations wherever it
// stopped short: the model goes back to the solved steady state it started
// from, whichever library failed.
void FullSpaceOptimisation::RestoreStart() {
  for (std::size_t j = 0; j < start_.size(); ++j) {
    model_->SetValue(static_cast<std::int32_t>(j), start_[j]);
  }
}

bool FullSpaceOptimisation::Multipliers(std::int32_t column, double* upper, double* lower) const {
  if (column < 0 || column >= n_ || multipliers_.size() != Z(2 * n_)) return false;
  *lower = multipliers_[Z(column)];
  *upper = multipliers_[Z(n_ + column)];
  return true;
}

bool FullSpaceOptimisation::RowMultiplier(std::int32_t row, double* value) const {
  if (row < 0 || Z(row) >= row_multipliers_.size()) return false;
  *value = row_multipliers_[Z(row)];
  return true;
}

std::int32_t FullSpaceOptimisation::Pass(std::int32_t code, BvuBinaryStream* progress) {
  std::int32_t mode = 0;
  if (code == kOptFirstEvaluation || !started_) {
    failure_ = 0;
    row_multipliers_.clear();
    iterations_ = functions_ = gradients_ = 0;
    reported_ = -1;
    previous_ = 0;
    if (eso_ == nullptr) {
      if (Formulate() != 0) return 2;
      const Status s = Connect();
      if (s != 0) {
        failure_ = kFullSpaceSolverFailed;
        Say(failure_, def_.optimizer == 4 ? "Optimization failed to converge"
                                          : "Solution failure in external solver.");
        Progress(kOptProgressFailed, progress);
        return 2;
      }
    }
    std::vector<double> bounds(lower_);
    bounds.insert(bounds.end(), upper_.begin(), upper_.end());
    eso_->ResetRequest();
    eso_->SetPoint(point_.data());
    eso_->SetBounds(bounds.data());
    started_ = true;
    mode = kOptimiserStart;
  } else {
    print_level_ = oo::PrintLevel(SolverOptions::Instance());
    Evaluate(eso_->Request());
  }
  if (print_level_ >= 4) {
    Say(0, "Calling large scale optimizer with the following data:");
    Say(0, Line("Objective = %14.6e", objective_));
    Say(0, "Solution:");
    for (std::int32_t j = 0; j < n_; ++j) Say(0, Line("%d  %14.6e", j + 1, point_[Z(j)]));
    std::vector<double> r(Z(m_)), jac(rows_.size());
    Residuals(point_.data(), r.data(), jac.data());
    Say(0, "Residuals:");
    for (std::int32_t i = 0; i < m_; ++i) Say(0, Line("%d  %14.6e", i + 1, r[Z(i)]));
    Say(0, "Gradient:");
    for (std::int32_t c : def_.objectives) Say(0, Line("%d  %14.6e", c + 1, sign_));
    Say(0, "Jacobian:");
    for (std::size_t k = 0; k < jac.size(); ++k) {
      Say(0, Line("%d %d  %14.6e", rows_[k] + 1, columns_[k] + 1, jac[k]));
    }
    Say(0, "Equation and variable names:");
    for (std::size_t k = 0; k < inequalities_.size(); ++k) {
      Say(0, Line("Equation %d is %s", m0_ + static_cast<std::int32_t>(k) + 1,
                  inequalities_[k].Name().c_str()));
    }
    for (std::int32_t j = 0; j < n_; ++j) {
      const std::string name =
          j < n0_ ? model_->Name(j) : std::string(slacks_[Z(j - n0_)]->GetNameText());
      Say(0, Line("Variable %d is %s", j + 1, name.c_str()));
    }
    Say(0, "VARY variables are:");
    for (std::int32_t c : def_.free) Say(0, model_->Name(c));
  }
  const std::int32_t step = GuardedNlpStep(system_, mode);
  const std::int32_t answer = NlpStepAnswer(step, eso_->Request(), previous_);
  previous_ = answer;
  if (answer == 0 || answer == -2) ++iterations_;
  accuracy_ = -1.0;
  if (result_ != nullptr && result_->GetResult("OPT_CVRG", &accuracy_) != 0) accuracy_ = -1.0;
  if (print_level_ >= 4) Say(0, Line("Return code from optimiser is %d", answer));

  if (answer == 1) {
    const std::vector<double>& at = eso_->Point();
    std::copy(at.begin(), at.end(), point_.begin());
    objective_ = ObjectiveAt(point_.data());
    for (std::int32_t j = 0; j < n0_; ++j) model_->SetValue(j, point_[Z(j)]);
    for (std::int32_t k = 0; k < q_; ++k) slacks_[Z(k)]->SetValue(point_[Z(n0_ + k)]);
    const double* variables = nullptr;
    const double* constraints = nullptr;
    eso_->GetMultiplierArrays(&variables, &constraints);
    // Positive at a lower bound, negative at an upper one.
    for (std::int32_t j = 0; j < n_; ++j) {
      multipliers_[Z(j)] = std::max(variables[j], 0.0);
      multipliers_[Z(n_ + j)] = std::max(-variables[j], 0.0);
    }
    row_multipliers_.assign(constraints + m0_, constraints + m_);
    Progress(kOptProgressOptimum, progress);
    if (print_level_ >= 1) {
      Say(0, Line("Optimum found after %d iterations", iterations_));
      Say(0, Line("Value of Objective Function = %14.6e", objective_));
      Say(0, Line("Required %d function and %d gradient evalutions", functions_, gradients_));
    }
  } else if (answer <= 0) {
    if (print_level_ >= 2 && iterations_ != reported_) {
      reported_ = iterations_;
      Say(0, accuracy_ >= 0.0
                 ? Line("Optimization step %d: Objective = %14.6e (Accuracy =%14.6e)", iterations_,
                        objective_, accuracy_)
                 : Line("Optimization step %d: Objective = %14.6e", iterations_, objective_));
    }
    Progress(kOptProgressPoint, progress);
  } else {
    failure_ = kFullSpaceSolverFailed;
    Say(failure_, def_.optimizer == 4 ? "Optimization failed to converge"
                                      : "Solution failure in external solver.");
    Progress(kOptProgressFailed, progress);
    RestoreStart();
  }
  if (print_level_ >= 3) {
    Say(0, "Current values of decision variables: (unscaled)");
    Say(0, "         Value   Name");
    for (std::int32_t c : def_.free)
      Say(0, Line("%14.6e   %s", point_[Z(c)], model_->Name(c).c_str()));
  }
  if (print_level_ >= 2 && answer == 1) {
    Say(0, "");
    Say(0,
        "Values of slack and (unscaled) vary variables and corresponding upper and lower "
        "Lagrange multipliers:");
    Say(0, "         Value   Lower Lagrange Mult.   Upper Lagrange Mult.  Name");
    auto row = [&](std::int32_t j, const std::string& name) {
      Say(0, Line("%14.6e         %14.6e         %14.6e  %s", point_[Z(j)], multipliers_[Z(j)],
                  multipliers_[Z(n_ + j)], name.c_str()));
    };
    for (std::int32_t k = 0; k < q_; ++k) row(n0_ + k, slacks_[Z(k)]->GetNameText());
    for (std::int32_t c : def_.free) row(c, model_->Name(c));
  }
  return answer;
}
