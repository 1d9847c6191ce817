// The experiments of an estimation: one steady-state or dynamic simulation
// each, with its inputs, its measured variables and its measurements. The
// estimation manager reads them from the definition message, owns them and
// destroys them on a clear; the action runs them and the solver driver takes
// their residuals and sensitivity rows. Server thread and the action's
// execute; no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/estimation/time_profile.h"
#include "analysis/services/driver_link.h"
#include "platform/status.h"

class AnalysisServices;
class AnalysisVariable;
class BvuBinaryStream;

// The model fixes the variable's value. A state whose initial value is
// given carries the fixed bit too, but it is integrated: measured, it is
// predicted, never a reconciled unknown.
bool FixedByModel(AnalysisVariable* variable);

class EstExperiment {
 public:
  static constexpr Status kBadRecord = 0x8000020Fu;

  // One measurement in arrival order.
  struct Measurement {
    std::int32_t index = 0;  // into the measured variables
    double observed = 0.0;
    double weight = 1.0;
    std::int32_t reconciled = 0;
    double time = 0.0;  // dynamic experiments only
  };

  // One input's profile.
  struct Input {
    AnalysisVariable* variable = nullptr;
    std::vector<double> times;
    std::vector<double> values;
    double first_value = 0.0;
    // With more than one point; the variable-driver table holds a link.
    std::shared_ptr<TimeDependentVariable> profile;
    std::unique_ptr<InstalledDriver> link;
  };

  EstExperiment(std::string name, std::int32_t index, std::int32_t inputs, std::int32_t measured,
                std::int32_t measurements, double weight);
  virtual ~EstExperiment();
  EstExperiment(const EstExperiment&) = delete;
  EstExperiment& operator=(const EstExperiment&) = delete;

  // --- in the order of the design's dispatch table ---
  virtual Status RecordResiduals() = 0;
  virtual Status ReadFromMessage(BvuBinaryStream& body, AnalysisServices& services) = 0;
  virtual std::int32_t IsSteadyState() = 0;
  virtual Status RecordSensitivities() = 0;
  virtual void Reset() = 0;
  virtual Status ApplyMeasuredValues() = 0;

  const std::string& Name() const { return name_; }
  std::int32_t Index() const { return index_; }
  double Weight() const { return weight_; }
  std::int32_t MeasurementCount() const { return n_meas_; }
  const std::vector<AnalysisVariable*>& MeasuredVariables() const { return measured_; }
  const std::vector<Input>& Inputs() const { return inputs_; }
  const std::vector<Measurement>& Measurements() const { return entries_; }
  AnalysisVariable* MeasuredVariableOf(const Measurement& m) const {
    return measured_[static_cast<std::size_t>(m.index)];
  }
  const std::vector<double>& Residuals() const { return residuals_; }
  const std::vector<double>& Predicted() const { return predicted_; }
  // Row r, column c at r * Columns() + c.
  const std::vector<double>& SensitivityRows() const { return rows_; }
  std::int32_t Columns() const { return columns_; }
  std::int32_t ResidualCursor() const { return residual_cursor_; }
  std::int32_t SensitivityCursor() const { return sensitivity_cursor_; }
  const std::string& SnapshotName() const { return snapshot_name_; }
  bool HasSnapshotName() const { return !snapshot_name_.empty(); }
  std::int32_t SnapshotRequest() const { return snapshot_request_; }
  void SetSnapshotRequest(std::int32_t request) { snapshot_request_ = request; }
  void SetSnapshotName(std::string name) { snapshot_name_ = std::move(name); }

 protected:
  // Inputs and measured variables; measured variables that are neither
  // fixed nor sensitivity variables yet become sensitivity variables.
  Status ReadBase(BvuBinaryStream& body, AnalysisServices& services);
  // One measurement entry, dynamic ones with a time.
  Status ReadEntry(BvuBinaryStream& body, AnalysisServices& services, bool dynamic,
                   Measurement* entry);
  // The residual of entry i into slot `slot`; its predicted value is read
  // from the measured variable.
  Status RecordResidual(const Measurement& entry, std::size_t slot);
  // The rows of entry `entry` at row `row` for the estimated unknowns, and
  // for steady state the reconciled ones.
  Status RecordRow(const Measurement& entry, std::size_t row, bool reconciled);
  double FactorOf(const Measurement& entry) const;
  void PrepareRows();

  std::string name_;
  std::int32_t index_;
  double weight_;
  std::int32_t n_in_;
  std::int32_t n_mv_;
  std::int32_t n_meas_;
  std::vector<Input> inputs_;
  std::vector<AnalysisVariable*> measured_;
  std::vector<Measurement> entries_;
  std::vector<double> residuals_;
  std::vector<double> predicted_;
  std::vector<double> rows_;
  std::int32_t columns_ = 0;
  std::int32_t residual_cursor_ = 0;
  std::int32_t sensitivity_cursor_ = 0;
  std::string snapshot_name_;
  std::int32_t snapshot_request_ = -1;
};

class EstSSExperiment final : public EstExperiment {
 public:
  using EstExperiment::EstExperiment;

  Status RecordResiduals() override;
  Status ReadFromMessage(BvuBinaryStream& body, AnalysisServices& services) override;
  std::int32_t IsSteadyState() override { return 1; }
  Status RecordSensitivities() override;
  void Reset() override;
  Status ApplyMeasuredValues() override;

  std::size_t Cursor() const { return cursor_; }

 private:
  std::size_t cursor_ = 0;
};

class EstDynExperiment final : public EstExperiment {
 public:
  // An initial value or initial rate.
  struct Initial {
    AnalysisVariable* variable = nullptr;
    double value = 0.0;
  };
  // The entries (indices into the measurements) at one time.
  struct TimePoint {
    double time = 0.0;
    std::vector<std::size_t> entries;
  };

  EstDynExperiment(std::string name, std::int32_t index, std::int32_t inputs,
                   std::int32_t initial_values, std::int32_t initial_rates, std::int32_t measured,
                   std::int32_t measurements, double weight)
      : EstExperiment(std::move(name), index, inputs, measured, measurements, weight),
        n_initial_values_(initial_values), n_initial_rates_(initial_rates) {}

  // Appends the residuals of the current time point at the cursor, then
  // moves on to the next time point.
  Status RecordResiduals() override;
  Status ReadFromMessage(BvuBinaryStream& body, AnalysisServices& services) override;
  std::int32_t IsSteadyState() override { return 0; }
  // The rows of the time point whose residuals were recorded last.
  Status RecordSensitivities() override;
  void Reset() override;
  Status ApplyMeasuredValues() override { return 0; }

  // The inputs with a profile get it as their driver; and lose it again.
  void InstallDrivers(AnalysisServices& services);
  void RemoveDrivers(AnalysisServices& services);

  const std::vector<Initial>& InitialValues() const { return initial_values_; }
  const std::vector<Initial>& InitialRates() const { return initial_rates_; }
  const std::vector<TimePoint>& TimePoints() const { return points_; }
  std::size_t CurrentTimePoint() const { return current_point_; }

 private:
  Status ReadInitials(BvuBinaryStream& body, AnalysisServices& services, std::int32_t count,
                      std::vector<Initial>* list);

  std::int32_t n_initial_values_;
  std::int32_t n_initial_rates_;
  std::vector<Initial> initial_values_;
  std::vector<Initial> initial_rates_;
  std::vector<TimePoint> points_;
  std::size_t current_point_ = 0;
  std::size_t current_entry_ = 0;
  // The time point whose residuals were recorded last, or none.
  std::size_t recorded_point_ = static_cast<std::size_t>(-1);
};
