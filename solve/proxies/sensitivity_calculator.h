// QLNSensitivityCalculator: sensitivities of a steady-state or
// initialisation solution with respect to the sensitivity parameters. The
// system is the one group of a decomposition our decomposition server makes
// for the case; one linear solve per parameter element with the group's
// Jacobian, the right-hand side being the negated Jacobian column of the
// parameter. Results go to the sensitivity manager.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/status.h"

class DAESProblem;
class DAESSolverBlock;
class DAESVarTableEntry;
class LSIBaseSolve;
class QLNDecomposition;

inline constexpr Status kSensitivityFailed = 0x8000022Eu;

// What the calculator asks of the sensitivity manager, which lives above
// the solvers.
class SensitivityManagerFace {
 public:
  virtual ~SensitivityManagerFace() = default;
  virtual Status PrepareStorage() = 0;
  virtual std::int32_t VariableCount() = 0;
  virtual DAESVarTableEntry* Variable(std::int32_t i) = 0;
  virtual std::int32_t EntryCount() = 0;
  virtual DAESVarTableEntry* Entry(std::int32_t j) = 0;
  // Control elements of an array parameter and the current interval (from 1).
  virtual std::int32_t ControlElements() { return 1; }
  virtual std::int32_t CurrentInterval() { return 1; }
  virtual Status Store(std::int32_t entry, DAESVarTableEntry* variable, double value,
                       std::int32_t element) = 0;
  // A delayed variable's sensitivity in row `row` (a parameter element's)
  // at `time`, kept for that row's solves a lag later.
  virtual Status RecordDelayed(std::int32_t row, DAESVarTableEntry* variable, double time,
                               double value) = 0;

  // Rows of the parameter elements: one per entry, an array entry one per
  // control element.
  virtual std::int32_t MatrixRowCount();
  // Rows past the parameter elements: switching times and, last, the
  // final-time row when FinalTimeRow() answers true.
  virtual std::int32_t SwitchingRowCount() { return 0; }
  virtual bool FinalTimeRow() { return false; }
  // The first switching rows that belong to switch times, one per time in
  // order: the interior ones, and the final time when the controls are
  // ramps. With piecewise constant controls a row is zero until its switch
  // is passed (the current interval is the one after it), then follows the
  // homogeneous linearised system from the jump the switch gives; a ramp's
  // rows are forced through the intervals either side of their time.
  virtual std::int32_t SwitchTimeRows() { return 0; }
  virtual Status StoreRow(std::int32_t /*row*/, DAESVarTableEntry* /*variable*/, double /*value*/) {
    return 0;
  }
  // The optimisation manager's controls: switching-time elements, the
  // interpolation kind (1 linear), the current interval's ends and an array
  // parameter's control values at them.
  virtual std::int32_t SwitchingElements() { return 0; }
  virtual std::int32_t InterpolationKind() { return 0; }
  virtual void IntervalTimes(double* start, double* end) {
    *start = 0.0;
    *end = 1.0;
  }
  virtual void ControlValues(std::int32_t /*entry*/, double* start, double* end) {
    *start = 0.0;
    *end = 0.0;
  }
};

SensitivityManagerFace* GetSensitivityManagerFace();
void SetSensitivityManagerFace(SensitivityManagerFace* manager);

class QLNSensitivityCalculator {
 public:
  QLNSensitivityCalculator() = default;
  virtual ~QLNSensitivityCalculator() { Release(); }
  QLNSensitivityCalculator(const QLNSensitivityCalculator&) = delete;
  QLNSensitivityCalculator& operator=(const QLNSensitivityCalculator&) = delete;

  // Filled by the integrator proxy from its server's sensitivity data: one
  // value per problem variable.
  virtual Status ServerRow(double* values, std::int32_t row) = 0;
  virtual Status ServerInitialRow(double* values) = 0;
  virtual Status ServerExtraRow(double* values) = 0;
  virtual Status ServerInterface(const void* iid, void** out) = 0;
  // The integrator's kind (explicit Euler or RK4) and its step quantity v:
  // a derivative moves by 1/v times its state's correction.
  virtual bool ExplicitIntegrator() { return false; }
  virtual double StepQuantity() { return 1.0; }

  // Steady-state and initialisation run kinds (1, 5, 6); the phase word is
  // 0 dynamic, 1 initialisation, 2 re-initialisation. Others do nothing.
  Status Compute(double time, std::int32_t run_kind, std::int32_t phase);

  // The caller's matrices have SensitivityRows() rows, row-major: `first`
  // one column per problem variable without flag 4, `second` one per
  // variable with it, in problem order. A column nobody fills is left as
  // it was.
  Status ComputeInto(double* first, double* second, double time, std::int32_t run_kind,
                     std::int32_t phase);
  // Dynamic sensitivities at the time reached: on entry the matrices hold
  // the predicted rows, on return the corrected ones.
  Status DynamicAt(double time, double* first, double* second);
  // Where the integration restarts at `time` after the controls switched:
  // `change` (by problem variable) holds each derivative's value before the
  // switch less its value after. The switch-time row of the switch just
  // passed starts there, its states taking the change of their derivatives;
  // every row's algebraic unknowns and derivatives are then the linearised
  // equations' answer under the new controls.
  Status SwitchJump(double* first, double* second, const double* change, double time);
  std::int32_t SensitivityRows() const;

  void Release();

  // For tests: the system solved and the solution rows.
  DAESSolverBlock* System() const;
  DAESSolverBlock* DynamicSystem() const;
  const std::vector<std::vector<double>>& Matrix() const { return matrix_; }
  const std::vector<double>& InitialValues() const { return initial_values_; }
  const QLNDecomposition* SteadyDecomposition() const { return steady_; }
  const QLNDecomposition* AuxiliaryDecomposition() const { return auxiliary_; }
  const LSIBaseSolve* SteadyHandle() const { return steady_handle_; }

 private:
  Status SteadyState(double time, std::int32_t phase, std::uint32_t m, std::int32_t v,
                     std::uint32_t k);
  // The delayed variables' sensitivities in the caller's rows at `time`
  // into the delay manager's second history.
  Status RecordDelayed(double time, const double* first, const double* second);
  Status HandOver();
  void DropSteady();
  Status AuxiliaryProduct(const std::vector<double>& w, std::vector<double>* out);
  // Where the dynamic system's variables and derivatives stand in the
  // caller's rows, for the system and table it was made for.
  struct DynamicLayout {
    const DAESSolverBlock* system = nullptr;
    const DAESProblem* problem = nullptr;
    std::int32_t variables = -1;
    bool explicit_kind = false;
    std::vector<std::int32_t> value_col, derivative_col;
    std::vector<char> in_second;
    // Explicit kinds: the states outside the system and their columns.
    std::vector<DAESVarTableEntry*> known_states;
    std::vector<std::int32_t> known_columns;
    std::int32_t first_count = 0, second_count = 0;
  };
  void LayOut(DAESSolverBlock* system, DAESProblem* problem, bool explicit_kind);

  QLNDecomposition* dynamic_ = nullptr;
  QLNDecomposition* steady_ = nullptr;
  QLNDecomposition* auxiliary_ = nullptr;
  QLNDecomposition* jump_ = nullptr;  // derivatives and algebraics, states known
  LSIBaseSolve* jump_handle_ = nullptr;
  LSIBaseSolve* dynamic_handle_ = nullptr;
  LSIBaseSolve* steady_handle_ = nullptr;
  LSIBaseSolve* auxiliary_handle_ = nullptr;
  std::int32_t built_phase_ = -1;
  std::uint32_t built_m_ = 0;
  std::uint32_t built_k_ = 0;
  std::vector<std::vector<double>> matrix_;
  DynamicLayout layout_;
  // The dynamic Jacobian's parts and sum, kept between time points.
  std::vector<double> dynamic_a0_, dynamic_d_, dynamic_matrix_;
  // One value per problem variable.
  std::vector<double> initial_values_;
  // A re-initialisation's rows as the integrator handed them over, by
  // problem variable: the known states' part of matrix_'s rows.
  std::vector<std::vector<double>> known_rows_;
  bool zeroed_ = false;
};
