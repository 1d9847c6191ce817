#include "analysis/optimisation/opt_runs.h"

#include <algorithm>

#include "analysis/optimisation/engine_full_space.h"
#include "analysis/optimisation/opt_definition.h"
#include "analysis/optimisation/optimisation_manager.h"
#include "analysis/services/analysis_services.h"
#include "foundation/interfaces/current_objects.h"
#include "framework/messaging/message.h"

using optimisation::EntryKind;

namespace {

std::size_t Z(std::int32_t i) { return static_cast<std::size_t>(i); }

const char* NameOf(AnalysisVariable* v) {
  const char* name = v != nullptr ? v->GetNameText() : nullptr;
  return name != nullptr ? name : "";
}

double ScaleOf(OptVariable* v) {
  double scale = 1.0;
  if (v != nullptr) v->GetScale(&scale);
  return scale != 0.0 ? scale : 1.0;
}

}  // namespace

optimisation::Layout LayoutOf(const OptDefinition& d, std::int32_t optimizer) {
  optimisation::Layout l;
  auto add = [&](EntryKind kind, AnalysisVariable* v, double scale, std::int32_t control,
                 std::int32_t index) {
    optimisation::Entry e;
    e.kind = kind;
    e.variable = v;
    e.name = NameOf(v);
    if (v != nullptr) {
      v->GetValue(&e.value);
      v->GetBounds(&e.lower, &e.upper);
    }
    e.scale = scale;
    e.control = control;
    e.index = index;
    l.entries.push_back(std::move(e));
  };
  for (const auto& pair : d.initial) {
    add(EntryKind::kInitial, pair.variable.get(), ScaleOf(pair.variable.get()), -1, 0);
  }
  for (const auto& pair : d.decision) {
    add(EntryKind::kDecision, pair.variable.get(), ScaleOf(pair.variable.get()), -1, 0);
  }
  for (const auto& element : d.control_elements) {
    const auto at = std::find_if(d.controls.begin(), d.controls.end(),
                                 [&](const auto& c) { return c.get() == element->Control(); });
    const auto control = static_cast<std::int32_t>(at - d.controls.begin());
    const double scale = element->Control() != nullptr ? element->Control()->scale : 1.0;
    add(EntryKind::kControl, element.get(), scale != 0.0 ? scale : 1.0, control, element->Index());
  }
  for (std::int32_t k = 0; k < d.M() && Z(k) < d.lengths.size(); ++k) {
    add(EntryKind::kLength, d.lengths[Z(k)].get(), 1.0, -1, k);
  }
  for (const auto& c : d.controls) l.controls.push_back({NameOf(c->variable), c->max_move});
  l.piecewise_linear = d.piecewise_linear;
  for (const OptConstraint& c : d.constraints) {
    AnalysisVariable* v = c.variable < d.constrained.size() ? d.constrained[c.variable] : nullptr;
    l.constraints.push_back({static_cast<std::int32_t>(c.kind), c.bound,
                             static_cast<std::int32_t>(c.element), c.position, NameOf(v)});
  }
  l.equalities = d.E();
  for (AnalysisVariable* v : d.objectives) l.objectives.push_back(NameOf(v));
  for (AnalysisVariable* v : d.constrained) l.constrained.push_back(NameOf(v));
  l.final_time_objective = d.minimise_final_time;
  l.final_time_free = d.final_time_free;
  l.final_time_lower = d.final_lower;
  l.final_time_upper = d.final_upper;
  l.moving_elements = d.moving_elements;
  for (std::int32_t k = 1; k <= d.N(); ++k) l.element_lengths.push_back(d.ElementLength(k));
  l.final_time = d.final_time;
  l.optimizer = optimizer;
  return l;
}

// --- reduced space ---

std::unique_ptr<OptReducedSpaceRun> OptReducedSpaceRun::Make(
    OptRunHost& host, ReducedSpaceDriver::OptimiserFactory factory) {
  AnalysisServices& services = host.Services();
  auto driver = ReducedSpaceDriver::Create(
      LayoutOf(host.Definition(), services.GetIntOption(optimisation_options::kOptimizer)),
      [&services](Status s, const std::string& text) { services.Print(s, text); },
      std::move(factory));
  if (driver == nullptr) return nullptr;
  // The summary of Optimizer 10 states the tolerance SQPB runs with.
  driver->SetNamedTolerance([&services](double* tolerance) {
    return services.GetNamedReal("_KVS_SQPB.OptTol", tolerance);
  });
  return std::unique_ptr<OptReducedSpaceRun>(new OptReducedSpaceRun(host, std::move(driver)));
}

OptReducedSpaceRun::OptReducedSpaceRun(OptRunHost& host, std::unique_ptr<ReducedSpaceDriver> driver)
    : host_(host), driver_(std::move(driver)) {}

std::int32_t OptReducedSpaceRun::Step(std::int32_t code, const double* values,
                                      const double* gradients, std::int32_t* reply,
                                      DseMessage* progress) {
  const OptDefinition& d = host_.Definition();
  const auto k = Z(d.K());
  const auto r = Z(d.R());
  const auto p = Z(driver_->P());
  values_.assign(k + r, 0.0);
  gradients_.assign((k + r) * p, 0.0);
  if (values != nullptr) std::copy(values, values + k + r, values_.begin());
  if (gradients != nullptr) std::copy(gradients, gradients + (k + r) * p, gradients_.begin());
  // Back from c to the constrained value, and from dc to dx.
  for (std::size_t i = 0; i < r; ++i) {
    const OptConstraint& c = d.constraints[i];
    values_[k + i] = c.VariableValue(values_[k + i]);
    const double sign = c.Sign();
    for (std::size_t j = 0; j < p; ++j) gradients_[(k + i) * p + j] *= sign;
  }
  ReducedSpaceDriver::Pass pass{values_.data(), values_.data() + k, gradients_.data(), nullptr};
  bool keep = false;
  const std::int32_t result = driver_->Run(code, pass, &keep, progress);
  if (reply != nullptr) *reply = keep ? 1 : 0;
  if (result == 1) {
    std::vector<double>& m = host_.Multipliers();
    m = driver_->Multipliers();
    host_.SetResult(true, driver_->Evaluations(), driver_->OptimumObjective());
  } else if (result > 1) {
    host_.SetResult(false, driver_->Evaluations(), 0.0);
  }
  return result;
}

// --- full space ---

OptFullSpaceOptimisationRun::OptFullSpaceOptimisationRun(OptRunHost& host,
                                                         std::unique_ptr<FullSpaceModel> model)
    : host_(host), model_(std::move(model)) {}

std::int32_t OptFullSpaceOptimisationRun::ColumnOf(AnalysisVariable* variable) {
  if (variable == nullptr) return -1;
  const std::uint32_t id = variable->Id();
  for (std::int32_t j = 0; j < model_->Variables(); ++j) {
    AnalysisVariable* v = model_->Variable(j);
    if (v != nullptr && v->Id() == id) return j;
  }
  return -1;
}

Status OptFullSpaceOptimisationRun::Pass(std::int32_t code) {
  if (first_ || optimisation_ == nullptr) {
    const OptDefinition& d = host_.Definition();
    FullSpaceOptimisation::Definition def;
    for (AnalysisVariable* v : d.objectives) {
      const std::int32_t c = ColumnOf(v);
      if (c >= 0) def.objectives.push_back(c);
    }
    // Free within the definition's bounds, in model units.
    auto add_free = [&](const OptModelPair& pair) {
      const std::int32_t c = ColumnOf(pair.model);
      if (c < 0) return false;
      const double scale = ScaleOf(pair.variable.get());
      def.free.push_back(c);
      def.free_lower.push_back(pair.variable->lower() / scale);
      def.free_upper.push_back(pair.variable->upper() / scale);
      return true;
    };
    for (const auto& pair : d.initial) {
      if (add_free(pair)) def.initial.push_back(ColumnOf(pair.model));
    }
    for (const auto& pair : d.decision) add_free(pair);
    for (const OptConstraint& c : d.constraints) {
      AnalysisVariable* v = c.variable < d.constrained.size() ? d.constrained[c.variable] : nullptr;
      def.constraints.push_back({static_cast<std::int32_t>(c.kind), c.bound, ColumnOf(v)});
    }
    AnalysisServices& services = host_.Services();
    def.optimizer = services.GetIntOption(optimisation_options::kOptimizer);
    optimisation_ = std::make_unique<FullSpaceOptimisation>(
        model_.get(), std::move(def),
        [&services](Status s, const std::string& text) { services.Print(s, text); });
    first_ = false;
    code = kOptFirstEvaluation;
  }
  const std::int32_t answer = optimisation_->Pass(code, nullptr);
  if (answer == 1) {
    CopyMultipliers();
    // The objective with its sign undone.
    host_.SetResult(true, optimisation_->Iterations(),
                    optimisation_->Objective() * optimisation_->ObjectiveSign());
    return 0;
  }
  if (answer <= 0) return opt_status::kRunAgain;
  host_.SetResult(false, optimisation_->Iterations(), 0.0);
  return opt_status::kCannotProceed;
}

void OptFullSpaceOptimisationRun::CopyMultipliers() {
  const OptDefinition& d = host_.Definition();
  std::vector<double>& m = host_.Multipliers();
  const auto p = Z(d.P());
  m.assign(2 * p + Z(d.R()), 0.0);
  std::size_t j = 0;
  for (auto* pairs : {&d.initial, &d.decision}) {
    for (const auto& pair : *pairs) {
      double upper = 0.0, lower = 0.0;
      const std::int32_t c = ColumnOf(pair.model);
      if (c >= 0) optimisation_->Multipliers(c, &upper, &lower);
      // The optimum becomes the variables' value: the next run starts there.
      double value = 0.0;
      if (c >= 0 && pair.model->GetValue(&value) == 0) pair.variable->SetValue(value);
      if (2 * j + 1 < m.size()) {
        m[2 * j] = upper;
        m[2 * j + 1] = lower;
      }
      ++j;
    }
  }
  // A bounded constraint's multiplier is its slack's lower one, an
  // equality's that of its row.
  const auto& rows = optimisation_->Inequalities();
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const OptEquation& row = rows[k];
    const auto r = Z(row.Record());
    if (r >= d.constraints.size() || 2 * p + r >= m.size()) continue;
    double upper = 0.0, lower = 0.0;
    if (row.SlackColumn() >= 0) {
      optimisation_->Multipliers(row.SlackColumn(), &upper, &lower);
    } else {
      optimisation_->RowMultiplier(static_cast<std::int32_t>(k), &lower);
    }
    m[2 * p + r] = lower;
  }
}

Status OptFullSpaceOptimisationRun::GetMultipliers(AnalysisVariable* variable, double* upper,
                                                   double* lower) {
  const std::int32_t column = ColumnOf(variable);
  if (optimisation_ == nullptr || column < 0 || !optimisation_->Multipliers(column, upper, lower)) {
    return opt_status::kNoValue;
  }
  return 0;
}

// --- factory ---

std::unique_ptr<OptReducedRun> OptimisationRunFactory::MakeReduced(OptRunHost& host) {
  return OptReducedSpaceRun::Make(host);
}

std::unique_ptr<OptFullSpaceRun> OptimisationRunFactory::MakeFullSpace(OptRunHost& host) {
  std::unique_ptr<FullSpaceModel> model;
  if (maker_) {
    model = maker_(host);
  } else if (DAESProblem* problem = GetCurrentProblem()) {
    model = std::make_unique<EngineFullSpaceModel>(problem);
  }
  if (model == nullptr) return nullptr;
  return std::make_unique<OptFullSpaceOptimisationRun>(host, std::move(model));
}
