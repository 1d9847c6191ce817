// The results reply of the estimation and the Open NLP estimation solver's
// selection and options.
#include <cstdio>

#include "analysis/estimation/data_rec_var.h"
#include "analysis/estimation/estimation_mgr.h"
#include "analysis/model/opt_variable.h"
#include "analysis/services/analysis_services.h"
#include "analysis/services/open_nlp_requests.h"
#include "framework/messaging/message.h"
#include "solve/methods/open_solvers.h"

namespace {
template <typename T>
T At(const std::vector<T>& values, std::size_t i) {
  return i < values.size() ? values[i] : T{};
}
}  // namespace

Status EstimationMgr::WriteResults(DseMessage& reply) {
  const std::uint32_t outcome = results_.outcome;
  reply.PutUInt32(outcome == 0 ? kNoOutcome : outcome);
  reply.PutUInt32(results_.iterations);
  reply.PutDouble(results_.initial_objective);
  reply.PutDouble(results_.final_objective);
  reply.PutUInt32(static_cast<std::uint32_t>(estimated_.size()));
  for (AnalysisVariable* v : estimated_) reply.PutString(v->GetNameText(0));
  reply.PutUInt32(static_cast<std::uint32_t>(reconciled_.size()));
  for (DataRecVar* v : reconciled_) reply.PutString(v->GetNameText(0));
  if (outcome < 1 || outcome > 9) return reply.PutUInt32(0);

  reply.PutUInt32(1);
  for (std::size_t j = 0; j < estimated_.size(); ++j) reply.PutDouble(At(results_.estimates, j));
  const std::uint8_t kind = results_.statistics;
  reply.PutInt8(static_cast<std::int8_t>(kind));
  const std::size_t n = estimated_.size() + reconciled_.size();
  const std::size_t triangle = n * (n + 1) / 2;
  if (kind >= 1) {
    for (std::size_t j = 0; j < n; ++j) reply.PutDouble(At(results_.standard_errors, j));
    for (std::size_t j = 0; j < triangle; ++j) reply.PutDouble(At(results_.covariance, j));
  }
  if (kind == 2) {
    for (std::size_t j = 0; j < triangle; ++j) reply.PutDouble(At(results_.correlation, j));
  }
  WriteExperimentResults(reply);

  reply.PutUInt32(static_cast<std::uint32_t>(records_.size()));
  reply.PutUInt32(static_cast<std::uint32_t>(hetero_flag_));
  if (hetero_flag_ == 1) {
    for (std::size_t r = 0; r < records_.size(); ++r) {
      reply.PutString(records_[r]->GetNameText(0));
      reply.PutDouble(hetero_[r]->value());
    }
  }
  if (objective_ != est_objective::kMaximumLikelihood) return reply.PutUInt32(0);
  reply.PutUInt32(1);
  reply.PutDouble(results_.sum_log_likelihood);
  reply.PutDouble(results_.sum_wrss);
  reply.PutDouble(results_.sum_wrs);
  for (std::size_t r = 0; r < records_.size(); ++r) {
    const EstimationResults::Record record = At(results_.records, r);
    reply.PutString(records_[r]->GetNameText(0));
    reply.PutDouble(record.log_likelihood);
    reply.PutDouble(record.wrss);
    reply.PutDouble(record.wrs);
    reply.PutDouble(record.see);
    reply.PutDouble(record.explained);
    reply.PutDouble(hetero_[r]->value());
  }
  return status::kOk;
}

void EstimationMgr::WriteMeasurement(DseMessage& reply, EstExperiment& experiment,
                                     std::size_t entry, std::size_t global) {
  const auto& measurement = experiment.Measurements()[entry];
  const EstimationResults::Measurement values = At(results_.measurements, global);
  reply.PutString(experiment.MeasuredVariableOf(measurement)->GetNameText(0));
  reply.PutDouble(values.observed);
  reply.PutDouble(values.predicted);
  reply.PutDouble(values.percentage_error);
  reply.PutDouble(values.difference);
  reply.PutDouble(values.standardised);
}

// The counts of a dynamic experiment are known before its time points are
// written, so they go out in place rather than patched afterwards.
void EstimationMgr::WriteExperimentResults(DseMessage& reply) {
  reply.PutUInt32(static_cast<std::uint32_t>(experiments_.size()));
  std::size_t first = 0;
  for (auto& experiment : experiments_) {
    reply.PutString(experiment->Name().c_str());
    auto* dynamic = dynamic_cast<EstDynExperiment*>(experiment.get());
    reply.PutUInt32(dynamic != nullptr ? 1 : 0);
    if (dynamic == nullptr) {
      const std::size_t count = experiment->Measurements().size();
      reply.PutUInt32(static_cast<std::uint32_t>(count));
      for (std::size_t i = 0; i < count; ++i) WriteMeasurement(reply, *experiment, i, first + i);
    } else {
      reply.PutUInt32(static_cast<std::uint32_t>(dynamic->TimePoints().size()));
      for (const auto& point : dynamic->TimePoints()) {
        reply.PutDouble(point.time);
        reply.PutUInt32(static_cast<std::uint32_t>(point.entries.size()));
        for (std::size_t e : point.entries) WriteMeasurement(reply, *experiment, e, first + e);
      }
    }
    first += experiment->Measurements().size();
  }
}

std::int32_t EstimationMgr::OpenNLPRunType() { return kRunEstimation; }

Status EstimationMgr::SelectOpenNLPSolver(const char* name, std::int32_t describe,
                                          DseMessage* reply) {
  Clear();
  if (solver_ != nullptr) UnloadOpenNLPSolver();
  if (name != nullptr && name[0] != '\0') {
    EstOpenNLPSolver* loaded = nullptr;
    const Status s = services_.LoadOpenNLPEstimationSolver(name, &loaded);
    if (status::IsFailure(s) || loaded == nullptr) return SetStatus(est_status::kFailure);
    solver_ = loaded;
    solver_name_ = name;
    if (describe != 0 && reply != nullptr && status::IsFailure(WriteOpenNLPOptions(*reply))) {
      UnloadOpenNLPSolver();
      return SetStatus(est_status::kFailure);
    }
  }
  return SetStatus(status::kOk);
}

Status EstimationMgr::WriteOpenNLPOptions(BvuBinaryStream& reply) {
  EstNLPOptions* options = solver_ != nullptr ? solver_->Options() : nullptr;
  if (options == nullptr) {
    reply.PutString("");
    return reply.PutUInt32(0);
  }
  reply.PutString(solver_->Name());
  const std::int32_t count = options->Count() < 0 ? 0 : options->Count();
  Status s = reply.PutUInt32(static_cast<std::uint32_t>(count));
  for (std::int32_t i = 0; i < count && status::IsSuccess(s); ++i) {
    EstNLPOption option;
    s = options->Describe(i, &option);
    if (status::IsFailure(s)) return s;
    reply.PutString(option.name.c_str());
    reply.PutString(option.description.c_str());
    s = reply.PutUInt16(option.tag);
    switch (option.tag) {
      case EstNLPOption::kInteger:
        for (std::int32_t v : option.integer) s = reply.PutUInt32(static_cast<std::uint32_t>(v));
        break;
      case EstNLPOption::kReal:
        for (double v : option.real) s = reply.PutDouble(v);
        break;
      case EstNLPOption::kString:
        reply.PutString(option.text[0].c_str());
        s = reply.PutString(option.text[1].c_str());
        break;
      default:
        break;
    }
  }
  return s;
}

Status EstimationMgr::SetOpenNLPSolverOption(const char* name, BvuBinaryStream& message) {
  return open_nlp::SetSolverOption(solver_, name, message, est_status::kFailure);
}

Status EstimationMgr::SetOpenNLPSolverOption(const char*, const char* option, DseMessage* request,
                                             DseMessage*) {
  if (request == nullptr) return est_status::kFailure;
  return SetOpenNLPSolverOption(option, *request);
}

void EstimationMgr::UnloadOpenNLPSolver() {
  char line[400];
  std::snprintf(line, sizeof line, "Open NLP Estimation Solver %s unloaded\n",
                solver_name_.c_str());
  services_.PrintOpenMessage(line);
  solver_name_.clear();
  if (solver_ != nullptr) services_.ReleaseOpenNLPSolver(solver_);
  solver_ = nullptr;
}
