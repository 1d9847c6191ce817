// The optimisation problem as the client defines it (service 112, kind 76):
// time elements and their lengths, decision, initial and control variables,
// objective variables and constraints, and the optimisation-variable list
// the optimisers work on. A definition is read whole or not at all: a
// truncated body, a path that does not resolve or elements without a final
// time refuse it and nothing is built or registered.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/model/analysis_variable.h"
#include "analysis/model/opt_variable.h"
#include "analysis/services/driver_link.h"
#include "foundation/interfaces/variable_drivers.h"
#include "platform/status.h"

class AnalysisServices;
class BvuBinaryStream;
class QLNSensitivityManager;

// Constraint kinds: c is what the optimiser keeps >= 0 (kind 0: = 0).
namespace opt_constraint {
inline constexpr std::uint32_t kZero = 0;         // x = 0, c = x
inline constexpr std::uint32_t kNonNegative = 1;  // x >= 0, c = x
inline constexpr std::uint32_t kLower = 2;        // x >= bound, c = x - bound
inline constexpr std::uint32_t kUpper = 3;        // x <= bound, c = bound - x
}  // namespace opt_constraint

struct OptConstraint {
  std::uint32_t variable = 0;  // position in the constrained-variable list
  std::uint32_t element = 0;   // 1-based; 0 = not tied to an element
  std::uint32_t kind = 0;
  double bound = 0.0;
  double position = 0.0;  // fraction of the element's length

  double Value(double x) const;
  // The constrained variable's value that gives c.
  double VariableValue(double c) const;
  // Sign of the gradient row: -1 for kind 3.
  double Sign() const { return kind == opt_constraint::kUpper ? -1.0 : 1.0; }
  const char* Symbol() const;
};

// One control variable: its V values and bounds (bounds scaled), owned by
// the definition.
struct OptControlRecord {
  AnalysisVariable* variable = nullptr;
  std::int32_t count = 0;  // V
  double max_move = 0.0;
  double scale = 1.0;
  std::vector<double> values;
  std::vector<double> work;  // 2V
  std::vector<double> lower;
  std::vector<double> upper;
};

// One value of one control, a view on its record.
class OptControlElement final : public AnalysisVariable {
 public:
  static constexpr Status kNotAModelVariable = 0xA020FFFFu;

  OptControlElement(OptControlRecord* control, std::int32_t index);

  const char* GetNameText(std::int32_t = 0) override { return name_.c_str(); }
  std::uint32_t Id() override { return id_; }
  // values[index] x scale.
  Status GetValue(double* value) override;
  // Stores value / scale.
  Status SetValue(double value) override;
  Status GetScaledValue(double* value) override;
  Status SetScaledValue(double value) override;
  // lower[index], upper[index]; outputs untouched past the record's count.
  Status GetBounds(double* lower, double* upper) override;
  Status SetBounds(double, double) override { return kNotAModelVariable; }
  Status GetScale(double* scale) override;
  Status GetValueFactor(double* factor) override;
  std::int32_t ValueKind() override { return 4; }

  OptControlRecord* Control() const { return control_; }
  std::int32_t Index() const { return index_; }

 private:
  OptControlRecord* control_;
  std::int32_t index_;
  std::string name_;
  std::uint32_t id_;
};

// Drives a piecewise linear control inside an element.
class ControlRamp final : public VariableDriver {
 public:
  // From (t0, v0) to (t1, v1); a zero-length span has slope 0.
  void Set(double t0, double v0, double t1, double v1);
  double ValueAt(double time) const { return (time - start_time) * slope + start_value; }
  double ValueAt(double time, double) override { return ValueAt(time); }

  double start_value = 0.0;
  double end_value = 0.0;
  double start_time = 0.0;
  double end_time = 0.0;
  double slope = 0.0;
};

// The constraints of one element (all of them when there are no elements),
// in order of |position|, with their times.
struct OptScheduleGroup {
  std::int32_t element = 0;
  std::vector<std::int32_t> constraints;  // indices into the constraint records
  std::vector<double> times;
};

// An optimisation variable standing beside a model variable.
struct OptModelPair {
  std::unique_ptr<OptVariable> variable;
  AnalysisVariable* model = nullptr;
};

class OptDefinition {
 public:
  static constexpr std::uint32_t kControlFlag = analysis_flags::kControl;
  static constexpr std::uint32_t kListFlag = analysis_flags::kOptimisationVariable;

  OptDefinition() = default;
  ~OptDefinition();
  OptDefinition(const OptDefinition&) = delete;
  OptDefinition& operator=(const OptDefinition&) = delete;

  // Reads a kind-76 body into this (empty) definition. *dynamic_read is set
  // once the dynamic byte has been read. On success registers the
  // sensitivity parameters and variables and installs the ramps; on
  // failure leaves the definition empty.
  Status Read(BvuBinaryStream& body, AnalysisServices& services,
              QLNSensitivityManager* sensitivities, bool* dynamic_read);
  // Removes the control drivers and frees everything but the dynamic flag,
  // which the client switches on its own.
  void Clear(AnalysisServices* services);
  // Whether the model variable is among the definition's.
  bool Names(AnalysisVariable* variable) const;

  // --- counts ---
  std::int32_t N() const { return elements_; }
  std::int32_t M() const { return movable_; }
  std::int32_t V() const { return values_per_control_; }
  std::int32_t C() const { return static_cast<std::int32_t>(controls.size()); }
  std::int32_t D() const { return static_cast<std::int32_t>(decision.size()); }
  std::int32_t I() const { return static_cast<std::int32_t>(initial.size()); }
  std::int32_t K() const { return static_cast<std::int32_t>(objectives.size()); }
  std::int32_t Q() const { return static_cast<std::int32_t>(constrained.size()); }
  std::int32_t E() const { return equalities_; }
  std::int32_t R() const { return static_cast<std::int32_t>(constraints.size()); }
  // Optimisation variables: I + D + V x C + M.
  std::int32_t P() const { return static_cast<std::int32_t>(list.size()); }
  // Controls with a maximum move above 0.
  std::int32_t MaxMoveCount() const;
  // The most entries a definition may give the run's dense gradient arrays
  // (optimisation variables + 1 times objective and constraint rows + 2).
  static constexpr std::uint64_t kMaxDenseEntries = std::uint64_t{1} << 26;

  // --- times ---
  // Start of the 1-based element k (0.0 for k < 1 or without elements).
  double ElementStart(std::int32_t k) const;
  double ElementLength(std::int32_t k) const;
  double ConstraintTime(const OptConstraint& constraint) const;
  // Times from the current lengths: time k+1 = time k + length k.
  void RebuildTimesFromLengths();

  // --- the definition ---
  bool dynamic = false;
  double final_time = 0.0;
  bool final_time_free = false;
  bool moving_elements = false;
  bool individual_lengths = false;
  bool minimise_final_time = false;
  bool piecewise_linear = false;
  double final_lower = 0.0;
  double final_upper = 0.0;
  std::vector<double> times;                          // N + 1 boundaries
  std::vector<std::unique_ptr<OptVariable>> lengths;  // N
  std::vector<OptModelPair> decision;
  std::vector<OptModelPair> initial;
  std::vector<std::unique_ptr<OptControlRecord>> controls;
  std::vector<std::unique_ptr<OptControlElement>> control_elements;  // C x V, control by control
  // One per control when piecewise linear; the variable-driver table holds
  // links to them.
  std::vector<std::shared_ptr<ControlRamp>> ramps;
  std::vector<AnalysisVariable*> objectives;
  std::vector<AnalysisVariable*> constrained;
  std::vector<OptConstraint> constraints;
  std::vector<OptScheduleGroup> schedule;
  // Initial, decision, control elements, the first M element lengths.
  std::vector<AnalysisVariable*> list;

 private:
  Status ReadBody(BvuBinaryStream& body, AnalysisServices& services, bool* dynamic_read);
  Status ReadPaired(BvuBinaryStream& body, AnalysisServices& services,
                    std::vector<OptModelPair>* into);
  Status CheckDenseSize(AnalysisServices& services) const;
  void BuildList();
  void BuildSchedule();
  void Register(AnalysisServices& services, QLNSensitivityManager* sensitivities);

  std::int32_t elements_ = 0;
  std::int32_t movable_ = 0;
  std::int32_t values_per_control_ = 0;
  std::int32_t equalities_ = 0;
  std::vector<std::unique_ptr<InstalledDriver>> links_;  // one per ramp
};
