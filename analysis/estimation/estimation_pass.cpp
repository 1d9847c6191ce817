// The end of each pass of the experiments: the pass gathered, the solver
// driver run, and when the estimation has finished the goodness-of-fit
// figures and the estimation report.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "analysis/estimation/data_rec_var.h"
#include "analysis/estimation/estimation_mgr.h"
#include "analysis/estimation/estimation_problem.h"
#include "analysis/estimation/estimation_run_services.h"
#include "analysis/model/analysis_variable.h"
#include "analysis/model/opt_variable.h"
#include "analysis/sensitivity/sensitivity_manager.h"
#include "analysis/services/analysis_services.h"
#include "analysis/services/report_text.h"
#include "foundation/interfaces/solver_options.h"
#include "framework/messaging/message.h"

namespace {

using analysis_text::Line;

using estimation_options::ReportLevel;

// The driver's progress message to the client.
constexpr std::uint32_t kProgressService = 87;
constexpr std::uint32_t kProgressSubtype = 12;
constexpr std::uint16_t kProgressKind = 157;
constexpr double kMachineEpsilon = 2.220446049250314e-16;
constexpr double kHugePercentage = 1.7976931348623158e303;

}  // namespace

void EstimationMgr::MakeProblem() {
  EstimationProblem::Layout layout;
  layout.objective_type = objective_;
  layout.solver_kind = services_.GetIntOption(analysis_options::kEstimationSolver);
  for (std::size_t j = 0; j < estimated_.size(); ++j) {
    EstimationProblem::Unknown u;
    u.kind = EstimationProblem::Kind::kEstimated;
    u.variable = estimated_[j];
    u.name = estimated_[j]->GetNameText(0);
    u.multiplier = j < est_a_.size() ? est_a_[j] : 1.0;
    u.offset = j < est_b_.size() ? est_b_[j] : 0.0;
    if (DAESVarTableEntry* entry = estimated_[j]->ModelEntry()) {
      u.initial = entry->GetSpec() == daes::kSpecInitial;
    }
    layout.unknowns.push_back(u);
  }
  for (std::size_t j = 0; j < reconciled_.size(); ++j) {
    EstimationProblem::Unknown u;
    u.kind = EstimationProblem::Kind::kReconciled;
    u.variable = reconciled_[j];
    u.name = reconciled_[j]->Measured()->GetNameText(0);
    const std::int32_t e = reconciled_[j]->Experiment();
    if (e >= 0 && e < NumExperiments()) u.experiment = Experiment(e)->Name();
    u.multiplier = j < rec_a_.size() ? rec_a_[j] : 1.0;
    u.offset = j < rec_b_.size() ? rec_b_[j] : 0.0;
    layout.unknowns.push_back(u);
  }
  if (objective_ == est_objective::kMaximumLikelihood && hetero_flag_ == 1) {
    for (std::size_t i = 0; i < hetero_.size(); ++i) {
      EstimationProblem::Unknown u;
      u.kind = EstimationProblem::Kind::kHeteroscedasticity;
      u.variable = hetero_[i].get();
      u.name = records_[i]->GetNameText(0);
      u.value = hetero_[i]->value();
      u.record = static_cast<std::int32_t>(i);
      layout.unknowns.push_back(u);
    }
  }
  layout.measurements = measurement_total_;
  layout.record_of = map_;
  for (std::int32_t e = 0; e < NumExperiments(); ++e) {
    layout.experiment_names.push_back(Experiment(e)->Name());
    for (std::size_t k = 0; k < Experiment(e)->Measurements().size(); ++k) {
      layout.experiment_of.push_back(e);
    }
  }
  layout.records = static_cast<std::int32_t>(records_.size());
  layout.statistics = sensitivities_ != 0;
  AnalysisServices* services = &services_;
  problem_ = EstimationProblem::Create(
      std::move(layout),
      [services](Status s, const std::string& text) { services->Print(s, text); }, &results_,
      optimiser_factory_);
  pass_counter_ = 0;
  done_ = false;
  last_result_ = 0;
}

Status EstimationMgr::CompletePass(std::int32_t reason) {
  const std::int32_t n = GetNumEstimated() + GetNumReconciled();
  if (measurement_total_ == 0 || n == 0 || problem_ == nullptr) {
    services_.Print(est_status::kFailure,
                    "Warning: You have requested an estimation simulation but\n"
                    "no measurements or estimated/reconciled variables.");
    return kRunAgain;
  }
  const std::size_t m = static_cast<std::size_t>(measurement_total_);
  pass_residuals_.assign(m, 0.0);
  pass_predicted_.assign(m, 0.0);
  pass_observed_.assign(m, 0.0);
  pass_weights_.assign(m, 1.0);
  pass_rows_.assign(m * static_cast<std::size_t>(n), 0.0);
  // The first measurement of each experiment, to name the one that failed.
  std::vector<std::size_t> experiment_start;
  std::size_t k = 0;
  predicted_squares_ = 0.0;
  for (auto& experiment : experiments_) {
    experiment_start.push_back(k);
    const auto& entries = experiment->Measurements();
    const auto& residuals = experiment->Residuals();
    const auto& predicted = experiment->Predicted();
    const auto& rows = experiment->SensitivityRows();
    const std::size_t columns = static_cast<std::size_t>(experiment->Columns());
    for (std::size_t i = 0; i < entries.size() && k < m; ++i, ++k) {
      pass_observed_[k] = entries[i].observed;
      if (i < residuals.size()) pass_residuals_[k] = residuals[i];
      if (i < predicted.size()) pass_predicted_[k] = predicted[i];
      pass_weights_[k] = experiment->Weight();
      if (sensitivities_ != 0) {
        for (std::size_t j = 0; j < columns && j < static_cast<std::size_t>(n); ++j) {
          if ((i + 1) * columns <= rows.size()) {
            pass_rows_[k * static_cast<std::size_t>(n) + j] = rows[i * columns + j];
          }
        }
      }
    }
  }
  // A model solved at wild estimates can give values that are not finite, or
  // whose squares and products overflow (a trap on the server thread); such a
  // pass counts as failed: the optimiser cuts its step, or, on the first
  // pass, the estimation ends. Its values are zeroed, since an ordered
  // comparison with NaN traps too.
  constexpr double kHugeValue = 1e150;
  // isfinite before the ordered compare: comparing NaN raises invalid.
  auto wild = [](double v) { return !std::isfinite(v) || std::fabs(v) >= kHugeValue; };
  auto huge = [&](const std::vector<double>& values) {
    return std::any_of(values.begin(), values.end(), wild);
  };
  auto clear = [&](std::vector<double>* values) {
    for (double& v : *values) {
      if (wild(v)) v = 0.0;
    }
  };
  std::string bad_experiment;
  if (huge(pass_residuals_) || huge(pass_predicted_) || huge(pass_rows_)) {
    reason = kPassFailed;
    const std::size_t columns = static_cast<std::size_t>(n);
    auto bad = [&](std::size_t at) {
      const auto row = pass_rows_.begin() + static_cast<std::ptrdiff_t>(at * columns);
      return wild(pass_residuals_[at]) || wild(pass_predicted_[at]) ||
             std::any_of(row, row + static_cast<std::ptrdiff_t>(columns), wild);
    };
    for (std::size_t at = 0; at < m && bad_experiment.empty(); ++at) {
      if (!bad(at)) continue;
      const auto after = std::upper_bound(experiment_start.begin(), experiment_start.end(), at);
      const auto e = static_cast<std::size_t>(after - experiment_start.begin()) - 1;
      if (e < experiments_.size()) bad_experiment = experiments_[e]->Name();
    }
    clear(&pass_residuals_);
    clear(&pass_predicted_);
    clear(&pass_rows_);
  }
  if (reason != kPassFailed) {
    for (double p : pass_predicted_) predicted_squares_ += p * p;
  }
  ++pass_counter_;
  if (pass_counter_ == 1 && reason == kPassFailed) {
    // Residuals that are not the model's would start the optimiser from a
    // point it never evaluated: the estimation ends here, with no outcome.
    pass_counter_ = 0;
    results_.outcome = 0;
    const std::string which =
        bad_experiment.empty()
            ? "values that are not finite or too large"
            : "experiment " + bad_experiment + " gives values that are not finite or too large";
    services_.Print(kNoExperiments,
                    "The estimation run cannot proceed: the model cannot be evaluated at the "
                    "initial values of the estimated variables (" +
                        which + ")");
    return kNoExperiments;
  }
  std::int32_t mode = last_result_;
  if (pass_counter_ == 1) {
    mode = kEstFirstPass;
    // The unknowns still hold their initial values on the first pass.
    if (snapshot_numbers_.empty()) problem_->LoadInitialPoint();
  } else if (reason == kPassFailed) {
    mode = kEstFailedPass;
  }
  EstimationProblem::Pass pass{pass_residuals_.data(), pass_rows_.data(), pass_predicted_.data(),
                               pass_weights_.data()};
  problem_->SetStatistics(sensitivities_ != 0);
  auto* progress = new DseMessage(kProgressService, kProgressSubtype);
  progress->PutUInt16(kProgressKind);
  const std::int32_t result = problem_->Run(mode, pass, progress);
  if (run_ != nullptr) {
    run_->SendProgress(progress);
  } else {
    delete progress;
  }
  last_result_ = result;
  bool finished = result < 0;
  if (result > 0) {
    finished = true;
    if (services_.GetIntOption(analysis_options::kEstimationSolver) == 3 && sensitivities_ == 0) {
      // The statistics need sensitivities: one more pass with them. Each
      // experiment switches them on as it starts (StartExperiment): a
      // dynamic run still going would carry them without an integrator
      // that began with them, and fail its next step.
      sensitivities_ = 1;
      finished = false;
    }
  }
  if (!finished) return kRunAgain;
  pass_counter_ = 0;
  done_ = true;
  if (QLNSensitivityManager* s = GetSensitivityManager()) s->Disable();
  for (auto& h : hetero_) {
    if (objective_ != est_objective::kMaximumLikelihood || h->value() < kMachineEpsilon) {
      h->SetValue(0.0);
    }
  }
  ComputeFigures();
  if (ReportLevel() >= 2) PrintReport();
  return kRunAgain;
}

void EstimationMgr::ComputeFigures() {
  const std::size_t m = pass_observed_.size();
  const std::size_t records = records_.size();
  results_.measurements.assign(m, {});
  results_.records.assign(records, {});
  std::vector<double> wrss(records, 0.0), wrs(records, 0.0), w(records, 0.0), v_sum(records, 0.0);
  std::vector<double> q(records, 0.0), y_sum(records, 0.0), z_sum(records, 0.0), tss(records, 0.0);
  auto gamma_of = [&](std::int32_t r) {
    return r >= 0 && static_cast<std::size_t>(r) < hetero_.size()
               ? hetero_[static_cast<std::size_t>(r)]->value()
               : 0.0;
  };
  auto u_of = [&](std::size_t k) {
    const double u = std::fabs(pass_predicted_[k]);
    return u == 0.0 ? 1.0 : u;
  };
  for (std::size_t k = 0; k < m; ++k) {
    const double y = pass_observed_[k], yhat = pass_predicted_[k], e = y - yhat;
    EstimationResults::Measurement& out = results_.measurements[k];
    out.observed = y;
    out.predicted = yhat;
    out.difference = e;
    double base = yhat != 0.0 ? yhat : (y != 0.0 ? y : 1.0);
    // The server thread traps overflow, so a tiny base must not divide.
    if (std::fabs(base) < 1.0 &&
        std::fabs(e * 1e7) > std::fabs(base * std::numeric_limits<double>::max())) {
      out.percentage_error = base * e > 0.0 ? kHugePercentage : -kHugePercentage;
    } else {
      out.percentage_error = 100.0 * e / base;
    }
    const std::int32_t r = k < map_.size() ? map_[k] : -1;
    if (r < 0) continue;
    const std::size_t i = static_cast<std::size_t>(r);
    const double gamma = gamma_of(r);
    const double u = u_of(k);
    const double c = i < rec_c_.size() ? rec_c_[i] : 1.0;
    const double d = i < rec_d_.size() ? rec_d_[i] : 0.0;
    double vk = std::fabs(u * c + d);
    if (vk == 0.0) vk = 1.0;
    wrss[i] += e * e / std::pow(u, gamma);
    wrs[i] += e / std::pow(u, gamma / 2.0);
    w[i] += 1.0 / std::pow(u, gamma);
    v_sum[i] += 1.0 / std::pow(vk, gamma);
    q[i] += (c * e) * (c * e) / std::pow(vk, gamma);
    y_sum[i] += y / std::pow(u, gamma / 2.0);
    z_sum[i] += 1.0 / std::pow(u, gamma / 2.0);
  }
  // Standardised residuals and TSS need the final sums, hence a second loop.
  for (std::size_t k = 0; k < m; ++k) {
    const std::int32_t r = k < map_.size() ? map_[k] : -1;
    if (r < 0) continue;
    const std::size_t i = static_cast<std::size_t>(r);
    const double gamma = gamma_of(r);
    const double u = u_of(k);
    const double n_i = i < per_record_.size() ? per_record_[i] : 1;
    const double sums = wrss[i] != 0.0 ? wrss[i] : 1.0;
    const double e = results_.measurements[k].difference;
    results_.measurements[k].standardised = e / std::sqrt(std::pow(u, gamma) / n_i * sums);
    const double mean = z_sum[i] != 0.0 ? y_sum[i] / z_sum[i] : 0.0;
    tss[i] += std::pow(pass_observed_[k] - mean, 2) / std::pow(u, gamma);
  }
  double dof = measurement_total_ - GetNumEstimated() - GetNumReconciled();
  if (dof <= 0) dof = 1.0;
  results_.sum_log_likelihood = results_.sum_wrss = results_.sum_wrs = 0.0;
  double sum_tss = 0.0;
  const auto& likelihoods =
      problem_ != nullptr ? problem_->LogLikelihoods() : std::vector<double>{};
  for (std::size_t i = 0; i < records; ++i) {
    EstimationResults::Record& out = results_.records[i];
    const double n_i = i < per_record_.size() && per_record_[i] > 0 ? per_record_[i] : 1;
    out.log_likelihood = objective_ == est_objective::kMaximumLikelihood && i < likelihoods.size()
                             ? likelihoods[i]
                             : 0.0;
    out.wrss = wrss[i];
    out.wrs = wrs[i];
    out.see = std::sqrt(wrss[i] / (dof / n_i * (w[i] != 0.0 ? w[i] : 1.0)));
    out.see_client = std::sqrt(q[i] / (dof / n_i * (v_sum[i] != 0.0 ? v_sum[i] : 1.0)));
    out.explained = tss[i] >= 1e-16 ? (1.0 - wrss[i] / tss[i]) * 100.0 : 100.0;
    results_.sum_log_likelihood += out.log_likelihood;
    results_.sum_wrss += wrss[i];
    results_.sum_wrs += wrs[i];
    sum_tss += tss[i];
  }
  results_.overall_explained = sum_tss > 0.0 ? (1.0 - results_.sum_wrss / sum_tss) * 100.0 : 100.0;
  results_.predicted_squares = predicted_squares_;
}

void EstimationMgr::ListEstimates(bool statistics) {
  if (problem_ != nullptr) problem_->ListEstimates(statistics, ReportLevel());
}

void EstimationMgr::PrintReport() {
  auto say = [this](const std::string& text) { services_.Print(0, text); };
  const bool likelihood = objective_ == est_objective::kMaximumLikelihood;
  if (likelihood) {
    say(" Maximized   Weighted    Weighted    Standard   Percentage  Heterosced-   Measured");
    say(" likelihood  residual    residual    error of   variation   asticity      variable");
    say(" function    sum of      sum         estimate   explained   parameter     name");
    say("             squares");
  } else {
    say(" Weighted    Weighted    Standard   Percentage  Measured");
    say(" residual    residual    error of   variation   variable");
    say(" sum of      sum         estimate   explained   name");
    say(" squares");
  }
  for (std::size_t i = 0; i < results_.records.size(); ++i) {
    const auto& r = results_.records[i];
    const char* name = records_[i]->GetNameText(0);
    if (likelihood) {
      say(Line("%11.3e %11.3e %11.3e %11.3e    %7.3f  %11.2f   %s", r.log_likelihood, r.wrss, r.wrs,
               r.see, r.explained, hetero_[i]->value(), name));
    } else {
      say(Line("%11.3e %11.3e %11.3e    %7.3f  %s", r.wrss, r.wrs, r.see, r.explained, name));
    }
  }
  if (results_.records.size() > 1) {
    if (likelihood) {
      say(Line("%11.3e %11.3e %11.3e%16s%7.3f%16sOverall", results_.sum_log_likelihood,
               results_.sum_wrss, results_.sum_wrs, "", results_.overall_explained, ""));
    } else {
      say(Line("%11.3e %11.3e%16s%7.3f%2sOverall", results_.sum_wrss, results_.sum_wrs, "",
               results_.overall_explained, ""));
    }
  }
  say(" ");
  say(" ");
  say("Observed versus Predicted:");
  say(" Time     Observed     Predicted       %Error  Standardized Absolute\n"
      "                                               Residual     Residual");
  std::size_t first = 0;
  for (auto& experiment : experiments_) {
    const auto& entries = experiment->Measurements();
    double sum = 0.0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const double r = first + i < pass_residuals_.size() ? pass_residuals_[first + i] : 0.0;
      sum += r * r;
    }
    auto* dynamic = dynamic_cast<EstDynExperiment*>(experiment.get());
    say(Line(dynamic == nullptr
                 ? "Steady state experiment %s: (sum of weighted squared errors=%14.6e)"
                 : "Dynamic experiment %s: (sum of weighted squared errors=%14.6e)",
             experiment->Name().c_str(), sum));
    for (std::size_t rec = 0; rec < records_.size(); ++rec) {
      bool header = false;
      for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::size_t k = first + i;
        if (k >= map_.size() || map_[k] != static_cast<std::int32_t>(rec)) continue;
        const auto& f = results_.measurements[k];
        const char* name = records_[rec]->GetNameText(0);
        if (dynamic == nullptr) {
          say(Line("%8s %12.4e %12.4e %10.2g %12.4e %12.4e  %s", "", f.observed, f.predicted,
                   f.percentage_error, f.standardised, f.difference, name));
        } else {
          if (!header) say(Line("  Variable %s:", name));
          header = true;
          say(Line("%8g %12.4e %12.4e %10.2g %12.4e %12.4e", entries[i].time, f.observed,
                   f.predicted, f.percentage_error, f.standardised, f.difference));
        }
      }
    }
    first += entries.size();
  }
  say(" ");
}
