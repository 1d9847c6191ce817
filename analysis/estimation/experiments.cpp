#include "analysis/estimation/experiments.h"

#include "analysis/estimation/data_rec_var.h"
#include "analysis/estimation/estimation_manager.h"
#include "analysis/model/analysis_variable.h"
#include "analysis/sensitivity/sensitivity_manager.h"
#include "analysis/services/analysis_services.h"
#include "foundation/persistence/binary_stream.h"

namespace {
// The model entry's bit of a state given initially.
constexpr std::uint32_t kInitialState = 0x8000;

Status ReadDouble(BvuBinaryStream& body, double* value) {
  // Fewer than 8 bytes left: the record is cut short.
  return body.TryGet8(value) == 1 ? status::kOk : 0x8000FFFFu;
}
}  // namespace

bool FixedByModel(AnalysisVariable* variable) {
  const std::uint32_t flags = variable->GetFlags();
  return (flags & analysis_flags::kFixed) != 0 && (flags & kInitialState) == 0;
}

EstExperiment::EstExperiment(std::string name, std::int32_t index, std::int32_t inputs,
                             std::int32_t measured, std::int32_t measurements, double weight)
    : name_(std::move(name)), index_(index), weight_(weight), n_in_(inputs), n_mv_(measured),
      n_meas_(measurements) {}

EstExperiment::~EstExperiment() = default;

Status EstExperiment::ReadBase(BvuBinaryStream& body, AnalysisServices& services) {
  for (std::int32_t i = 0; i < n_in_; ++i) {
    Input input;
    Status s = services.ReadVariableReference(body, &input.variable);
    if (status::IsFailure(s)) return s;
    std::uint32_t points = 0;
    s = body.GetUInt32(&points);
    if (status::IsFailure(s)) return s;
    // The vectors grow with the bytes read, never with the count claimed.
    for (std::uint32_t k = 0; k < points; ++k) {
      double t = 0.0, v = 0.0;
      s = ReadDouble(body, &t);
      if (status::IsSuccess(s)) s = ReadDouble(body, &v);
      if (status::IsFailure(s)) return s;
      input.times.push_back(t);
      input.values.push_back(v);
    }
    if (!input.values.empty()) input.first_value = input.values[0];
    if (points > 1) {
      input.profile = std::make_shared<TimeDependentVariable>(
          static_cast<std::int32_t>(points), input.times.data(), input.values.data());
    }
    inputs_.push_back(std::move(input));
  }
  QLNSensitivityManager* sensitivities = GetSensitivityManager();
  for (std::int32_t i = 0; i < n_mv_; ++i) {
    AnalysisVariable* variable = nullptr;
    const Status s = services.ReadVariableReference(body, &variable);
    if (status::IsFailure(s)) return s;
    measured_.push_back(variable);
    if (sensitivities != nullptr && !FixedByModel(variable) &&
        (variable->GetFlags() & analysis_flags::kSensitivityVariable) == 0) {
      sensitivities->AddVariable(variable);
    }
  }
  return status::kOk;
}

Status EstExperiment::ReadEntry(BvuBinaryStream& body, AnalysisServices& services, bool dynamic,
                                Measurement* entry) {
  AnalysisVariable* variable = nullptr;
  Status s = services.ReadVariableReference(body, &variable);
  if (status::IsFailure(s)) return s;
  if (dynamic) {
    s = ReadDouble(body, &entry->time);
    if (status::IsFailure(s)) return s;
  }
  s = ReadDouble(body, &entry->observed);
  if (status::IsFailure(s)) return s;
  std::uint32_t has_weight = 0;
  s = body.GetByteAsUInt32(&has_weight);
  if (status::IsFailure(s)) return s;
  entry->weight = 1.0;
  if (has_weight != 0) {
    s = ReadDouble(body, &entry->weight);
    if (status::IsFailure(s)) return s;
  }
  // A measurement of a variable the experiment does not list would index
  // nothing: the record is refused.
  entry->index = -1;
  for (std::size_t i = 0; i < measured_.size(); ++i) {
    if (measured_[i] == variable) {
      entry->index = static_cast<std::int32_t>(i);
      break;
    }
  }
  if (entry->index < 0) {
    services.Print(kBadRecord, "Measured variable " + std::string(variable->GetNameText(0)) +
                                   " is not listed in experiment " + name_);
    return kBadRecord;
  }
  entry->reconciled = !dynamic && FixedByModel(variable) ? 1 : 0;
  return status::kOk;
}

double EstExperiment::FactorOf(const Measurement& entry) const {
  QLNEstimationManager* manager = GetEstimationManager();
  const bool least_squares =
      manager == nullptr || manager->GetObjectiveType() == est_objective::kLeastSquares;
  return least_squares ? entry.weight * weight_ : weight_;
}

Status EstExperiment::RecordResidual(const Measurement& entry, std::size_t slot) {
  double predicted = 0.0;
  const Status s = MeasuredVariableOf(entry)->GetValue(&predicted);
  if (status::IsFailure(s)) return s;
  if (residuals_.size() != entries_.size()) {
    residuals_.assign(entries_.size(), 0.0);
    predicted_.assign(entries_.size(), 0.0);
  }
  predicted_[slot] = predicted;
  residuals_[slot] = FactorOf(entry) * (entry.observed - predicted);
  return status::kOk;
}

void EstExperiment::PrepareRows() {
  QLNEstimationManager* manager = GetEstimationManager();
  const std::int32_t columns =
      manager == nullptr ? 0 : manager->GetNumEstimated() + manager->GetNumReconciled();
  if (columns != columns_ || rows_.size() != entries_.size() * static_cast<std::size_t>(columns)) {
    columns_ = columns;
    rows_.assign(entries_.size() * static_cast<std::size_t>(columns), 0.0);
  }
}

Status EstExperiment::RecordRow(const Measurement& entry, std::size_t row, bool reconciled) {
  QLNEstimationManager* manager = GetEstimationManager();
  QLNSensitivityManager* sensitivities = GetSensitivityManager();
  if (manager == nullptr || sensitivities == nullptr) return est_status::kFailure;
  AnalysisVariable* y = MeasuredVariableOf(entry);
  const double factor = FactorOf(entry);
  double* out = rows_.data() + row * static_cast<std::size_t>(columns_);
  const std::int32_t n_est = manager->GetNumEstimated();
  AnalysisVariable* const* estimated = manager->GetEstimatedVariables();
  for (std::int32_t j = 0; j < n_est; ++j) {
    double d = 0.0;
    const Status s = sensitivities->GetSensitivity(estimated[j], y, &d, 0, false, true);
    if (status::IsFailure(s)) return s;
    out[j] = -(factor * d);
  }
  if (!reconciled) return status::kOk;
  DataRecVar* const* unknowns = manager->GetReconciledVariables();
  for (std::int32_t j = 0; j < manager->GetNumReconciled(); ++j) {
    double d = 0.0;
    if (unknowns[j]->Experiment() == index_) {
      const Status s =
          sensitivities->GetSensitivity(unknowns[j]->Measured(), y, &d, 0, false, true);
      if (status::IsFailure(s)) return s;
      d = -(factor * d);
    }
    out[n_est + j] = d;
  }
  return status::kOk;
}

// --- steady state ---

Status EstSSExperiment::ReadFromMessage(BvuBinaryStream& body, AnalysisServices& services) {
  Status s = ReadBase(body, services);
  for (std::int32_t i = 0; status::IsSuccess(s) && i < n_meas_; ++i) {
    Measurement entry;
    s = ReadEntry(body, services, false, &entry);
    if (status::IsSuccess(s)) entries_.push_back(entry);
  }
  return s;
}

Status EstSSExperiment::RecordResiduals() {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const Status s = RecordResidual(entries_[i], i);
    if (status::IsFailure(s)) return s;
    residual_cursor_ = static_cast<std::int32_t>(i + 1);
  }
  return status::kOk;
}

Status EstSSExperiment::RecordSensitivities() {
  PrepareRows();
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const Status s = RecordRow(entries_[i], i, true);
    if (status::IsFailure(s)) return s;
    sensitivity_cursor_ = static_cast<std::int32_t>(i + 1);
  }
  return status::kOk;
}

void EstSSExperiment::Reset() {
  cursor_ = 0;
  residual_cursor_ = 0;
  sensitivity_cursor_ = 0;
}

Status EstSSExperiment::ApplyMeasuredValues() {
  for (const Measurement& entry : entries_) {
    if (entry.reconciled != 0) MeasuredVariableOf(entry)->SetValue(entry.observed);
  }
  return status::kOk;
}

// --- dynamic ---

Status EstDynExperiment::ReadInitials(BvuBinaryStream& body, AnalysisServices& services,
                                      std::int32_t count, std::vector<Initial>* list) {
  for (std::int32_t i = 0; i < count; ++i) {
    Initial initial;
    Status s = services.ReadVariableReference(body, &initial.variable);
    if (status::IsSuccess(s)) s = ReadDouble(body, &initial.value);
    if (status::IsFailure(s)) return s;
    list->push_back(initial);
  }
  return status::kOk;
}

Status EstDynExperiment::ReadFromMessage(BvuBinaryStream& body, AnalysisServices& services) {
  Status s = ReadInitials(body, services, n_initial_values_, &initial_values_);
  if (status::IsSuccess(s)) s = ReadInitials(body, services, n_initial_rates_, &initial_rates_);
  if (status::IsSuccess(s)) s = ReadBase(body, services);
  for (std::int32_t i = 0; status::IsSuccess(s) && i < n_meas_; ++i) {
    Measurement entry;
    s = ReadEntry(body, services, true, &entry);
    if (status::IsFailure(s)) break;
    entries_.push_back(entry);
    // Entries arrive grouped by time: a time equal to the last point's joins
    // it, any other opens a new point.
    if (points_.empty() || points_.back().time != entry.time) {
      points_.push_back(TimePoint{entry.time, {}});
    }
    points_.back().entries.push_back(entries_.size() - 1);
  }
  return s;
}

Status EstDynExperiment::RecordResiduals() {
  if (current_point_ >= points_.size()) return status::kOk;
  const TimePoint& point = points_[current_point_];
  for (current_entry_ = 0; current_entry_ < point.entries.size(); ++current_entry_) {
    const std::size_t slot = static_cast<std::size_t>(residual_cursor_);
    if (slot >= entries_.size()) return est_status::kFailure;
    const Status s = RecordResidual(entries_[point.entries[current_entry_]], slot);
    if (status::IsFailure(s)) return s;
    ++residual_cursor_;
  }
  recorded_point_ = current_point_;
  ++current_point_;
  current_entry_ = 0;
  return status::kOk;
}

Status EstDynExperiment::RecordSensitivities() {
  if (recorded_point_ >= points_.size()) return status::kOk;
  PrepareRows();
  for (std::size_t e : points_[recorded_point_].entries) {
    const std::size_t row = static_cast<std::size_t>(sensitivity_cursor_);
    if (row >= entries_.size()) return est_status::kFailure;
    const Status s = RecordRow(entries_[e], row, false);
    if (status::IsFailure(s)) return s;
    ++sensitivity_cursor_;
  }
  recorded_point_ = static_cast<std::size_t>(-1);
  return status::kOk;
}

void EstDynExperiment::Reset() {
  current_point_ = 0;
  current_entry_ = 0;
  recorded_point_ = static_cast<std::size_t>(-1);
  residual_cursor_ = 0;
  sensitivity_cursor_ = 0;
}

void EstDynExperiment::InstallDrivers(AnalysisServices& services) {
  for (Input& input : inputs_) {
    if (!input.profile) continue;
    if (!input.link) input.link = std::make_unique<InstalledDriver>();
    input.link->Install(services, input.variable, input.profile);
  }
}

void EstDynExperiment::RemoveDrivers(AnalysisServices& services) {
  for (Input& input : inputs_) {
    if (input.link) input.link->Remove(&services, input.variable);
  }
}
