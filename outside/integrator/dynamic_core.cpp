// Time integration. IDAS predicts, tests the error, chooses step and order,
// interpolates and honours stop times; the corrector is the engine's: the
// predicted values go into the model and the corrector decomposition (kind
// 3, states paired with their derivatives) is solved pass after pass until
// IDA's own convergence rule holds on the displacement between passes. IDA
// has no linear solver attached, so IDACalcIC must never be called: the
// initialisation decomposition makes values consistent instead.
// Euler and RK4 take fixed steps over the explicit-stage decomposition.
// Sensitivities (implicit methods only): IDAS's staggered corrector for them
// is one engine call per step, at the converged point, through the
// executive's sensitivity manager; IDAS keeps predictor, error test and
// interpolant. Its own sensitivity residual must never be called.
#include <idas/idas.h>
#include <nvector/nvector_serial.h>
#include <sundials/sundials_context.h>
#include <sundials/sundials_nonlinearsolver.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "outside/integrator/integrator_server.h"
#include "outside/nvector/fast_serial.h"
#include "platform/com_status.h"
#include "solve/ifaces/decomposition.h"

namespace integrator {

namespace {

constexpr std::int32_t kTypeState = 0x1;
constexpr std::int32_t kTypeAlgebraic = 0x2;
constexpr std::int32_t kTypeFixed = 0x60;

enum class Method { kEuler = 1, kRK4 = 2, kImplicitEuler = 3, kGear12 = 4 };

Method MethodOf(double option) {
  switch (static_cast<int>(option)) {
    case 1:
      return Method::kEuler;
    case 2:
      return Method::kRK4;
    case 4:
    case 7:
      return Method::kGear12;
    default:  // 3, and the old implicit kinds the engine substitutes
      return Method::kImplicitEuler;
  }
}

// The vector IDAS hands a staggered sensitivity solver: one serial vector
// per sensitivity (SUNDIALS' sensitivity wrapper; its header is private).
struct SensWrapperContent {
  N_Vector* vecs;
  int nvecs;
  booleantype own_vecs;
};

// IDA's rule: new iteration matrices once cj/cj_setup leaves [0.6, 1/0.6].
constexpr double kSetUpBelow = 0.6;

// Steps between two measures of how the states' errors reach the algebraic
// unknowns; the first step of a leg is always measured.
constexpr int kStepsPerProjection = 8;
// The finest relative tolerance that grown weights may ask of a state, and
// how much they may grow from one measure to the next.
constexpr double kFinestStateTolerance = 1e-12;
constexpr double kBoostGrowth = 2.0;
constexpr double kLeastBoost = 2.0;
// After a restart at a break of a delayed value, IDA starts again at order
// 1 and doubles its steps: each errs by up to the tolerance, all of one
// sign, until order and step have climbed back, and a run lost up to six
// times the accuracy it had when its steps went across the break. The
// first steps are held to a share of the tolerance, never finer than the
// error test can still tell from rounding.
constexpr double kRestartToleranceShare = 0.1;
constexpr int kRestartHeldSteps = 50;
constexpr double kFinestRestartTolerance = 1e-10;
// A delayed value hands each step's error on to the steps a lag later,
// which integrate it again: errors of one sign, each within the
// tolerance, add up lag after lag, and a loop whose lag outgrows its time
// constant amplifies them (y' = -y(t - 1 - 0.1 t) at rtol 1e-8 ended 54
// tolerances off at t = 20 from steps that each kept to it). The steps
// of such a run are held to a share of the tolerance, as after a restart,
// down to the finest a state's weights may ask: floored at the restarts'
// 1e-10 it was lost at rtol 1e-10, where a short lag inline drifted 45
// tolerances in 690 steps and one held took 72,000 steps.
constexpr double kDelayedToleranceShare = 0.1;

// A variable's kind bit: a DELAY looks its values up.
constexpr std::uint32_t kKindDelayed = 0x800;
// A delay row closer to another than this share of the step, or than this
// many rounding units of the time, brings only rounding to the slopes.
constexpr double kCloseRowShare = 1e-6;
constexpr double kCloseRowUnits = 16.0;

// A group failure with bit 30 set (0xC0FE0002) is one the decomposition
// will not get past by retrying: no smaller step helps.
bool Fatal(Status s) { return status::IsSevere(s) || (s & 0xC0000000u) == 0xC0000000u; }

}  // namespace

class Stepper final : public DynamicCore {
 public:
  explicit Stepper(IntegratorServer* server) : s_(*server) {}
  ~Stepper() override { FreeIda(); }

  bool Prepare();

  Status IntegrateTo(double target, double* reached) override;
  void Restart(double time) override {
    // The derivatives before a leg ended here stay for a re-initialisation's
    // jump; from elsewhere they are stale.
    if (time != start_) before_yp_.clear();
    DropLeg();
    held_ = false;
    consistent_ = true;
    start_ = time;
    // Past the start, a leg from a snapshot or a re-initialisation begins as
    // at a break: its first steps are held as a restart's.
    hold_leg_ = time != 0.0;
  }
  // The next leg starts where the model was last placed.
  Status Finish() override {
    KeepDerivativesBefore();
    KeepSensitivities();
    DropLeg();
    held_ = false;
    consistent_ = false;
    return 0;
  }
  void Synchronise(double time) override {
    if (!leg_) start_ = time;
    held_ = false;
  }
  Status StepQuantity(double* value) override {
    if (cj_ <= 0.0) return kStatusNoStep;
    *value = 1.0 / cj_;
    return 0;
  }
  Status ExchangeStates(std::int32_t count, const std::int32_t* positions, double* values) override;
  std::uint32_t StepCount() const override { return steps_; }
  Status SensitivityRow(std::int32_t row, double* values) override;
  Status TimeDerivatives(double* values) override;
  Status ReadValues(std::vector<double>* values) override { return ReadAll(values); }
  long SensitivityResidualCalls() const override { return sens_residual_calls_; }

 private:
  // IDA glue.
  // IDA's own error (option 148) and warning (149) texts, posted to the
  // engine when asked for; silent otherwise.
  static void CoreMessage(int code, const char* module, const char* function, char* text,
                          void* data);
  static int NlsSolve(SUNNonlinearSolver nls, N_Vector y0, N_Vector ycor, N_Vector w, realtype tol,
                      booleantype, void* mem);
  static int NlsMaxIters(SUNNonlinearSolver nls, int max) {
    static_cast<Stepper*>(nls->content)->max_passes_ = max;
    return 0;
  }
  static int NlsIters(SUNNonlinearSolver nls, long* n) {
    *n = static_cast<Stepper*>(nls->content)->last_passes_;
    return 0;
  }
  static int NlsFails(SUNNonlinearSolver nls, long* n) {
    *n = static_cast<Stepper*>(nls->content)->last_failed_ ? 1 : 0;
    return 0;
  }
  // IDAS with staggered sensitivities evaluates the residual once at the
  // converged point, for its own sensitivity residual, which our corrector
  // never calls: the value goes nowhere. Any other call is a fault.
  static int NoResidual(realtype, N_Vector, N_Vector, N_Vector rr, void* user) {
    auto* self = static_cast<Stepper*>(user);
    if (self == nullptr || !self->sens_active_ || !self->after_corrector_) return -1;
    N_VConst(0.0, rr);
    return 0;
  }
  int Correct(N_Vector ycor, N_Vector w, realtype tol, void* mem);
  enum class Attempt { kConverged, kFailed, kFatal };
  Attempt Iterate(double t, bool setup, const double* weights, double tol);
  static int NlsSensSolve(SUNNonlinearSolver nls, N_Vector, N_Vector ycor, N_Vector, realtype,
                          booleantype, void* mem) {
    return static_cast<Stepper*>(nls->content)->CorrectSensitivities(ycor, mem);
  }
  static int CountingSensResidual(int, realtype, N_Vector, N_Vector, N_Vector, N_Vector*, N_Vector*,
                                  N_Vector*, void* user, N_Vector, N_Vector, N_Vector) {
    ++static_cast<Stepper*>(user)->sens_residual_calls_;
    return -1;
  }
  int CorrectSensitivities(N_Vector ycor, void* mem);
  // Tells IDA which unknowns are states and which algebraic.
  Status MarkAlgebraic();
  Status StartSensitivities();
  void FreeSensitivities();
  // The engine's rows kept by the server at the time reached, from the
  // interpolant, so that the next leg starts from them.
  void KeepSensitivities();
  // The derivatives where a leg carrying sensitivities ends, so that the
  // engine can start the rows of a switch there once the next leg's
  // derivatives are known.
  void KeepDerivativesBefore();

 public:
  Status JumpSensitivities() override;

 private:
  void FreeIda();
  void DropLeg() {
    leg_ = false;
    cj_ = 0.0;
    event_open_ = false;
    event_beyond_ = false;
    inputs_at_end_.clear();
  }
  Status Advance(double target, double* reached);
  // Says which bound ended the step after `steps` steps from `from`.
  Status TooMuchWork(long steps, double from, double target);
  // Says that the steps no longer move time, and what to try.
  Status TimeStandsStill(long steps, double from);
  // Steps of a fixed size: they cannot grow, and a run of them that stands
  // still calls for a larger size rather than other tolerances.
  bool FixedSize() const;
  // Whether a run of steps still moves time: it stands still once, over a
  // longer run, no step has moved t by more than a hundred of its rounding
  // units and the steps have stopped growing (a solution blowing up, a
  // tolerance finer than the model's rounding, a fixed or held step too
  // small for the time). Below that, t's rounding changes each step by
  // more than half a per cent. Steps that grow, as after a restart at a
  // late time, run on however little each moves time.
  class Headway {
   public:
    explicit Headway(bool fixed) : window_(fixed ? kFixedWindow : kWindow) {}
    // After each step from `before` to `tn` of size `hu`; true once the
    // steps stand still.
    bool StandsStill(double before, double tn, double hu);

   private:
    // Steps judged together. Variable steps may grow only slowly through a
    // fast transient; a fixed step is what it is.
    static constexpr int kWindow = 500, kFixedWindow = 10;
    static constexpr int kStillWindows = 2;  // that many in a row stand still
    static constexpr double kUnits = 100.0;  // a step moving t by more moves it
    static constexpr double kGrowth = 2.0;   // steps grown this much run on
    int window_;
    int steps_ = 0, still_ = 0;
    double most_units_ = 0.0, largest_ = 0.0, grown_ = 0.0;
  };
  Status RestartOnMovedInputs();
  Status StartLeg();
  Status StartIda();
  // No step passes `limit` (a delayed value's jump just after it).
  Status StepIda(double target, double limit);
  bool StartAgain(double target, bool exact, realtype* t, int* flag);
  Status StepFixed(double target);
  Status AfterStep(double t, bool* event);
  Status RecordLastStep();
  Status RecordTurns();
  // The times inside the last step at which a delayed unknown turns, in
  // order.
  Status FindTurns(std::vector<double>* turns);
  // Times inside the last step where rows keep the history's curve on the
  // interpolant, in order.
  Status FindFills(std::vector<double>* fills);
  // The turns and those, in order.
  Status StepRows(std::vector<double>* rows);
  // Rows at `times`, in order inside the last step; the model ends at tn_.
  Status RecordRows(const std::vector<double>& times);
  // The variables a DELAY looks up, from their kinds.
  void FindDelayed();
  // The first time after tn_ at which a delayed value jumps.
  bool NextDelayedJump(double* at);
  Status RestartAtJump(double at);
  // Whether the steps end on the jump at `at` and go on across it.
  bool GoesOnAt(double at);
  // The last step ended on such a jump: the history keeps it as a break.
  Status KeepGoneAcross();
  // The next steps held to a share of the tolerance, as after a restart.
  void HoldAsRestart();
  // The share of the tolerance the states are held to in a run with
  // delayed values.
  double StateShare() const;
  bool EventChanged();
  Status LocateOnInterpolant(double low, double high, double* reached);
  Status EventBetween(double low, double high, double* reached);
  Status PlaceAt(double t);
  Status Interpolate(double t, std::vector<double>* y, std::vector<double>* yp);

  // Model access.
  Status ReadUnknowns(std::vector<double>* y, std::vector<double>* yp);
  // Writes the unknowns (and the states' derivatives when `yp` is given);
  // while the model's values are held here, only those that differ.
  Status WriteUnknowns(const double* y, const double* yp);
  // The values of every problem variable.
  Status ReadAll(std::vector<double>* values);
  // The inputs' values, in the order of inputs_.
  Status ReadInputs(std::vector<double>* values);
  Status ReadVariables(const std::vector<QLNVariable*>& variables, double* values);
  Status SolveStages(double t, std::vector<double>* derivatives);
  Status Decomposition(std::uint32_t kind, std::int32_t slot, outside::Ref<IQLNDecomposition>* held,
                       IQLNDecomposition** out);

  IntegratorServer& s_;
  Method method_ = Method::kImplicitEuler;
  // Unknowns of the integration: states then algebraic variables, by problem
  // position; a state's derivative position, -1 for an algebraic variable.
  std::vector<std::int32_t> position_, derivative_;
  std::vector<std::int32_t> unknown_of_;  // problem position -> unknown, -1
  std::vector<QLNVariable*> variables_;   // by problem position
  std::size_t n_ = 0;
  // The unknowns' variables, by unknown; the states' derivatives and the
  // unknowns they belong to; the inputs' variables.
  std::vector<QLNVariable*> unknown_variables_, slope_variables_, input_variables_;
  std::vector<std::size_t> slope_unknowns_;
  outside::Ref<IQLNVariableValues> values_;
  // What the model holds of the unknowns and the states' derivatives, by
  // unknown, while held_: kept within one call of the engine, where only
  // this core and the corrector's groups (through ExchangeStates) set them.
  std::vector<double> held_y_, held_yp_;
  bool held_ = false;

  bool consistent_ = false;  // the model holds consistent values at start_
  bool leg_ = false;         // an integration history exists
  double start_ = 0.0;
  // IDA integrates each leg in its own time s = t - origin_, from 0: at a
  // late time its clock, tn + h rounded to units of t, would part from its
  // solution, which moves by h. The model, events, delays and the caller
  // see t = origin_ + s.
  double origin_ = 0.0;
  double stop_at_ = 0.0;  // the stop time last given to IDA, as t
  double leg_tn_ = 0.0;   // where IDA's last step ended, on its clock
  double LegTime(double t) const { return t - origin_; }
  double ClockTime(double s) const { return origin_ + s; }
  // A time inside the last step on the leg's own clock.
  double OnLeg(double t) const;
  void StopAt(double t) {
    IDASetStopTime(ida_, LegTime(t));
    stop_at_ = t;
  }
  double tn_ = 0.0, hu_ = 0.0;  // the last step [tn - hu, tn]
  double before_ = 0.0;         // its start as recorded, tn - hu but for rounding
  bool event_open_ = false;     // an event was reported in the last step
  // The last step passed the target and an event lies beyond it, between
  // start_ and tn_: the next call finds it before stepping on.
  bool event_beyond_ = false;
  bool stop_armed_ = false;  // IDA holds a stop time not yet reached
  bool limit_armed_ = false;  // that stop time is only a delayed jump's
  // The jump the steps now end on to go on across it, and the last one
  // gone across; -inf for none.
  double across_at_ = -HUGE_VAL;
  double across_from_ = -HUGE_VAL;
  // Problem positions of the values the integration only reads (fixed
  // variables, inputs), and those values where the last call ended when
  // its step had gone past it; empty otherwise.
  std::vector<std::int32_t> inputs_;
  std::vector<double> inputs_at_end_;
  // Inputs were set between two calls (a ramp, say): until they have
  // rested for a call, each target ends a step, so that the leg goes on
  // from it.
  bool inputs_moved_ = false;
  std::uint32_t steps_ = 0;

  // IDA.
  SUNContext ctx_ = nullptr;
  void* ida_ = nullptr;
  SUNNonlinearSolver nls_ = nullptr;
  N_Vector y_ = nullptr, yp_ = nullptr;
  std::vector<double> ypred_, yppred_;
  // The derivatives an explicit group's states give, kept between groups:
  // a group solved on its own calls once per corrector pass.
  std::vector<QLNVariable*> exchange_variables_;
  std::vector<double> exchange_derivatives_;
  // Room reused by the model reads and writes of every corrector pass.
  std::vector<double> read_values_;
  std::vector<QLNVariable*> write_variables_;
  std::vector<double> write_values_;
  double cj_ = 0.0, last_cj_ = 0.0, ss_ = 20.0;
  // The corrector's iteration through the decomposition last used, and the
  // cj its groups' matrices were last set up at (0: none since the leg began).
  outside::Ref<IQLNCorrectorIteration> iteration_;
  IQLNDecomposition* iterated_ = nullptr;
  double setup_cj_ = 0.0;
  // A corrector iteration's values before and after it.
  std::vector<double> previous_, current_;
  int max_passes_ = 4;
  long last_passes_ = 0;
  bool last_failed_ = false;
  Status corrector_status_ = 0;
  bool in_corrector_ = false;

  // Sensitivities: IDAS's vectors while a leg carries them.
  SUNNonlinearSolver nls_sens_ = nullptr;
  N_Vector* ys_ = nullptr;
  N_Vector* yps_ = nullptr;
  N_Vector id_ = nullptr;  // 1 for states, 0 for algebraic unknowns
  int sens_ns_ = 0;        // vectors allocated
  // By unknown: its column in the engine's first rows and its derivative's
  // in the second (-1: none); made at the first correction of a leg.
  std::vector<std::size_t> sens_value_col_;
  std::vector<std::ptrdiff_t> sens_slope_col_;
  bool sens_active_ = false;
  bool sens_inited_ = false;
  bool after_corrector_ = false;  // the state corrector converged this step
  // The leg's first step is still to come, from these values: the
  // algebraic unknowns have no derivatives yet (zero in IDA's history).
  bool first_step_ = false;
  std::vector<double> start_y_, start_yp_;
  // The derivatives before the restart, by unknown; empty when none.
  std::vector<double> before_yp_;
  // The algebraic unknowns' local errors as the states' errors reach them.
  // IDA's estimate for an algebraic unknown follows its own past values, so
  // where the model amplifies a state's error into it (a transistor stage)
  // that estimate sees only changes of the states' error from step to step:
  // any larger step or higher order then fails, and the steps lock small.
  // Every few steps one corrector pass maps the states' error estimate
  // through the iteration matrices; where what it puts on the algebraic
  // unknowns outweighs the states' own error twofold or more, the states'
  // weights grow by that much. The algebraic unknowns stay in the test.
  bool project_ = false;
  // The algebraic unknowns are left out of the error test (see StartLeg).
  bool suppress_algebraic_ = false;
  double boost_ = 1.0;
  double rtol_ = 0.0, atol_ = 0.0;
  // Our own weights are in IDA's error test; the share of the tolerance
  // the steps after a restart at a delayed value's break are held to, and
  // for how many steps yet.
  bool own_weights_ = false;
  double held_share_ = 1.0;
  int held_steps_ = 0;
  double state_share_ = 1.0;
  bool hold_leg_ = false;  // the next leg is held as after a restart

  int until_projection_ = 0;
  N_Vector local_error_ = nullptr;
  std::vector<double> projected_y_;
  static int ErrorWeights(N_Vector y, N_Vector ewt, void* user);
  void ProjectLocalError();
  bool PassFromAccepted(double cj, const double* shift, std::vector<double>* out);

  // IDA's error text of a first step that may yet be tried again.
  bool hold_error_ = false;
  int held_code_ = 0;
  std::string held_function_, held_text_;
  long sens_residual_calls_ = 0;

  // Fixed steps: the last step's ends for the cubic interpolant.
  std::vector<double> y0_, f0_, y1_, f1_;
  // Positions among the unknowns of the delayed variables; whether any
  // variable at all is delayed.
  std::vector<std::size_t> delayed_;
  bool any_delayed_ = false;
  // The targets served inside the last step from its interpolant.
  std::vector<double> served_;
};

std::unique_ptr<DynamicCore> MakeDynamicCore(IntegratorServer* server) {
  auto core = std::make_unique<Stepper>(server);
  if (!core->Prepare()) return nullptr;
  return core;
}

bool Stepper::Prepare() {
  const auto count = static_cast<std::size_t>(s_.variable_count_);
  unknown_of_.assign(count, -1);
  variables_.assign(count, nullptr);
  for (std::int32_t i = 0; i < s_.variable_count_; ++i) {
    if (s_.problem_->GetVariable(i, &variables_[static_cast<std::size_t>(i)]) != 0) return false;
  }
  for (const std::int32_t want : {kTypeState, kTypeAlgebraic}) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::int32_t type = s_.variable_types_[i];
      // A fixed state has a given initial value; it is integrated all the same.
      if ((type & kTypeFixed) == kTypeFixed && (type & kTypeState) == 0) continue;
      if (want == kTypeState ? (type & kTypeState) == 0
                             : (type & (kTypeState | kTypeAlgebraic)) != kTypeAlgebraic)
        continue;
      unknown_of_[i] = static_cast<std::int32_t>(position_.size());
      position_.push_back(static_cast<std::int32_t>(i));
      derivative_.push_back(want == kTypeState ? s_.partners_[i] : -1);
    }
  }
  n_ = position_.size();
  std::vector<bool> integrated(count, false);
  for (std::size_t k = 0; k < n_; ++k) {
    integrated[static_cast<std::size_t>(position_[k])] = true;
    if (derivative_[k] >= 0) integrated[static_cast<std::size_t>(derivative_[k])] = true;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (!integrated[i]) inputs_.push_back(static_cast<std::int32_t>(i));
  }
  for (std::size_t k = 0; k < n_; ++k) {
    unknown_variables_.push_back(variables_[static_cast<std::size_t>(position_[k])]);
    if (derivative_[k] < 0) continue;
    slope_variables_.push_back(variables_[static_cast<std::size_t>(derivative_[k])]);
    slope_unknowns_.push_back(k);
  }
  for (const std::int32_t i : inputs_)
    input_variables_.push_back(variables_[static_cast<std::size_t>(i)]);
  values_ = outside::QueryRef<IQLNVariableValues>(s_.problem_.get(), IID_IQLNVariableValues);
  FindDelayed();
  return static_cast<bool>(values_);
}

void Stepper::FindDelayed() {
  delayed_.clear();
  any_delayed_ = false;
  outside::Ref<platform::IUnknown> made;
  if (s_.problem_->EnumData(IID_IEnumQLN13VariableData, made.Out()) != 0 || !made) return;
  auto e = outside::QueryRef<IEnumQLN13VariableData>(made.get(), IID_IEnumQLN13VariableData);
  if (!e) return;
  const auto count = static_cast<std::uint32_t>(s_.variable_count_);
  std::vector<QLNVariableRecord> records(count, QLNVariableRecord{});
  std::uint32_t fetched = 0;
  if (status::IsFailure(e->Next(count, records.data(), &fetched)) || fetched > count) return;
  for (std::uint32_t k = 0; k < fetched; ++k) {
    const QLNVariableRecord& r = records[k];
    if ((r.kind & kKindDelayed) == 0 || r.index < 0 || r.index >= s_.variable_count_) continue;
    any_delayed_ = true;
    const std::int32_t unknown = unknown_of_[static_cast<std::size_t>(r.index)];
    if (unknown >= 0) delayed_.push_back(static_cast<std::size_t>(unknown));
  }
}

void Stepper::FreeSensitivities() {
  if (id_ != nullptr) N_VDestroy(id_);
  id_ = nullptr;
  if (ys_ != nullptr) N_VDestroyVectorArray(ys_, sens_ns_);
  if (yps_ != nullptr) N_VDestroyVectorArray(yps_, sens_ns_);
  ys_ = yps_ = nullptr;
  sens_ns_ = 0;
}

void Stepper::FreeIda() {
  if (ida_ != nullptr) IDAFree(&ida_);
  FreeSensitivities();
  sens_inited_ = false;
  sens_active_ = false;
  if (nls_sens_ != nullptr) {
    nls_sens_->content = nullptr;
    SUNNonlinSolFree(nls_sens_);
    nls_sens_ = nullptr;
  }
  if (nls_ != nullptr) {
    nls_->content = nullptr;  // without a free op SUNDIALS would free it
    SUNNonlinSolFree(nls_);
  }
  if (local_error_ != nullptr) N_VDestroy(local_error_);
  local_error_ = nullptr;
  if (y_ != nullptr) N_VDestroy(y_);
  if (yp_ != nullptr) N_VDestroy(yp_);
  if (ctx_ != nullptr) SUNContext_Free(&ctx_);
  ida_ = nullptr;
  nls_ = nullptr;
  y_ = yp_ = nullptr;
}

Status Stepper::ReadVariables(const std::vector<QLNVariable*>& variables, double* values) {
  if (variables.empty()) return 0;
  const Status st = values_->GetVariableValues(static_cast<std::int32_t>(variables.size()),
                                               variables.data(), values);
  return status::IsFailure(st) ? kStatusValuesUnreadable : 0;
}

Status Stepper::ReadInputs(std::vector<double>* values) {
  values->resize(inputs_.size());
  return ReadVariables(input_variables_, values->data());
}

Status Stepper::ReadAll(std::vector<double>* values) {
  outside::Ref<platform::IUnknown> made;
  if (s_.problem_->EnumData(IID_IEnumQLN13VariableData, made.Out()) != 0 || !made)
    return kStatusValuesUnreadable;
  auto e = outside::QueryRef<IEnumQLN13VariableData>(made.get(), IID_IEnumQLN13VariableData);
  if (!e) return kStatusValuesUnreadable;
  const auto count = static_cast<std::uint32_t>(s_.variable_count_);
  std::vector<QLNVariableRecord> records(count, QLNVariableRecord{});
  std::uint32_t fetched = 0;
  const Status st = e->Next(count, records.data(), &fetched);
  if (status::IsFailure(st) || fetched != count) return kStatusValuesUnreadable;
  values->assign(count, 0.0);
  for (const auto& r : records) {
    if (r.index < 0 || r.index >= s_.variable_count_) return kStatusValuesUnreadable;
    (*values)[static_cast<std::size_t>(r.index)] = r.scaled_value;
  }
  return 0;
}

Status Stepper::ReadUnknowns(std::vector<double>* y, std::vector<double>* yp) {
  y->resize(n_);
  Status st = ReadVariables(unknown_variables_, y->data());
  if (st == 0 && yp != nullptr) {
    yp->resize(n_);
    std::vector<double>& slopes = read_values_;
    slopes.resize(slope_variables_.size());
    st = ReadVariables(slope_variables_, slopes.data());
    for (std::size_t j = 0; st == 0 && j < slopes.size(); ++j) (*yp)[slope_unknowns_[j]] = slopes[j];
  }
  if (st != 0) held_ = false;
  return st;
}

Status Stepper::WriteUnknowns(const double* y, const double* yp) {
  std::vector<QLNVariable*>& vars = write_variables_;
  std::vector<double>& values = write_values_;
  vars.clear();
  values.clear();
  // Unchanged values are skipped only when both are held: a write of the
  // unknowns alone leaves the derivatives unknown here.
  const bool skip = held_ && yp != nullptr;
  for (std::size_t k = 0; k < n_; ++k) {
    if (!skip || y[k] != held_y_[k]) {
      vars.push_back(unknown_variables_[k]);
      values.push_back(y[k]);
    }
  }
  if (yp != nullptr) {
    for (std::size_t j = 0; j < slope_unknowns_.size(); ++j) {
      const std::size_t k = slope_unknowns_[j];
      if (!skip || yp[k] != held_yp_[k]) {
        vars.push_back(slope_variables_[j]);
        values.push_back(yp[k]);
      }
    }
  }
  Status st = 0;
  if (!vars.empty()) {
    st = s_.problem_->SetVariableValues(static_cast<std::int32_t>(vars.size()), vars.data(),
                                        values.data());
  }
  if (status::IsFailure(st) || yp == nullptr) {
    held_ = false;
  } else {
    held_y_.assign(y, y + n_);
    held_yp_.assign(yp, yp + n_);
    held_ = true;
  }
  return status::IsFailure(st) ? kStatusValuesUnreadable : 0;
}

Status Stepper::Decomposition(std::uint32_t kind, std::int32_t slot,
                              outside::Ref<IQLNDecomposition>* held, IQLNDecomposition** out) {
  return s_.DecompositionFor(kind, slot, held, out);
}

Status Stepper::ExchangeStates(std::int32_t count, const std::int32_t* positions, double* values) {
  if (!in_corrector_) return kStatusNoStep;
  std::vector<QLNVariable*>& vars = exchange_variables_;
  std::vector<double>& derivs = exchange_derivatives_;
  vars.clear();
  derivs.clear();
  for (std::int32_t i = 0; i < count; ++i) {
    const std::int32_t k = unknown_of_[static_cast<std::size_t>(positions[i])];
    if (k < 0 || derivative_[static_cast<std::size_t>(k)] < 0) continue;
    const auto u = static_cast<std::size_t>(k);
    vars.push_back(variables_[static_cast<std::size_t>(derivative_[u])]);
    derivs.push_back(yppred_[u] + cj_ * (values[i] - ypred_[u]));
    if (held_) held_yp_[u] = derivs.back();
  }
  if (vars.empty()) return 0;
  const Status st = s_.problem_->SetVariableValues(static_cast<std::int32_t>(vars.size()),
                                                   vars.data(), derivs.data());
  if (status::IsFailure(st)) held_ = false;
  return status::IsFailure(st) ? kStatusValuesUnreadable : 0;
}

// ---------------------------------------------------------------- IDA

Status Stepper::StartIda() {
  const auto n = static_cast<sunindextype>(n_);
  if (ctx_ == nullptr && SUNContext_Create(nullptr, &ctx_) != 0) return kStatusIntegrationFailed;
  if (ida_ == nullptr) {
    y_ = N_VNew_Serial(n, ctx_);
    yp_ = N_VNew_Serial(n, ctx_);
    ida_ = IDACreate(ctx_);
    if (y_ == nullptr || yp_ == nullptr || ida_ == nullptr) return kStatusIntegrationFailed;
    // Every vector IDA makes is a clone of these, and takes their operations.
    vantor_nvector::UseFastSerialOps(y_);
    vantor_nvector::UseFastSerialOps(yp_);
  }
  std::vector<double> y, yp(n_, 0.0);
  if (const Status st = ReadUnknowns(&y, &yp); st != 0) return st;
  std::copy(y.begin(), y.end(), NV_DATA_S(y_));
  std::copy(yp.begin(), yp.end(), NV_DATA_S(yp_));
  held_y_ = y;
  held_yp_ = yp;
  held_ = true;
  start_y_ = std::move(y);
  start_yp_ = std::move(yp);
  const OptionValues& o = s_.options_;
  if (nls_ == nullptr) {
    if (IDAInit(ida_, NoResidual, LegTime(start_), y_, yp_) != IDA_SUCCESS)
      return kStatusIntegrationFailed;
    nls_ = SUNNonlinSolNewEmpty(ctx_);
    if (nls_ == nullptr) return kStatusIntegrationFailed;
    nls_->content = this;
    nls_->ops->gettype = [](SUNNonlinearSolver) { return SUNNONLINEARSOLVER_ROOTFIND; };
    nls_->ops->solve = NlsSolve;
    nls_->ops->setsysfn = [](SUNNonlinearSolver, SUNNonlinSolSysFn) { return 0; };
    nls_->ops->setctestfn = [](SUNNonlinearSolver, SUNNonlinSolConvTestFn, void*) { return 0; };
    nls_->ops->setmaxiters = NlsMaxIters;
    nls_->ops->getnumiters = NlsIters;
    nls_->ops->getnumconvfails = NlsFails;
    if (IDASetNonlinearSolver(ida_, nls_) != IDA_SUCCESS) return kStatusIntegrationFailed;
    // Failures reach the engine as statuses with texts, never on stderr.
    IDASetErrHandlerFn(ida_, CoreMessage, this);
  } else if (IDAReInit(ida_, LegTime(start_), y_, yp_) != IDA_SUCCESS) {
    return kStatusIntegrationFailed;
  } else if (stop_armed_) {
    // A stop time IDA still holds stays where it was, on this leg's clock.
    StopAt(stop_at_);
  }
  // Tolerances hold for algebraic unknowns too: they are in IDA's weights.
  rtol_ = o.Get(kOptionRelErrorTol);
  atol_ = o.Get(kOptionAbsErrorTol);
  if (IDASStolerances(ida_, rtol_, atol_) != IDA_SUCCESS) return kStatusBadOptionValue;
  const bool sensitivities =
      s_.sens_on_ && s_.sens_count_ > 0 && method_ != Method::kEuler && method_ != Method::kRK4;
  const auto state = [](std::int32_t d) { return d >= 0; };
  project_ = !sensitivities && o.Get(kOptionStepSizeType) != 0 &&
             std::any_of(derivative_.begin(), derivative_.end(), state) &&
             !std::all_of(derivative_.begin(), derivative_.end(), state);
  boost_ = 1.0;
  until_projection_ = 0;
  held_share_ = 1.0;
  held_steps_ = 0;
  // IDA takes a weight function only before a leg's first step.
  own_weights_ = project_ || any_delayed_;
  state_share_ = StateShare();
  // An algebraic unknown that holds a delayed value gets it from the
  // history's rows, not from the step: its error test measures how rough
  // the history is (a kink at every sum of lags) and cut forty held lags'
  // steps to a low order, three times as many, each erring the same way.
  // The projection holds the other algebraic unknowns through the states.
  suppress_algebraic_ = any_delayed_ && project_;
  if (suppress_algebraic_) {
    if (Status st = MarkAlgebraic(); st != 0) return st;
  }
  IDASetSuppressAlg(ida_, suppress_algebraic_ ? SUNTRUE : SUNFALSE);
  if (own_weights_) {
    IDASetUserData(ida_, this);
    if (IDAWFtolerances(ida_, ErrorWeights) != IDA_SUCCESS) return kStatusBadOptionValue;
  }
  const int order = method_ == Method::kImplicitEuler
                        ? 1
                        : std::clamp(static_cast<int>(o.Get(kOptionMaxOrder)), 1, 5);
  IDASetMaxOrd(ida_, order);
  if (o.Get(kOptionStepSizeType) == 0) {
    // Fixed steps of StepSize; the error test may still cut one, since a
    // BDF step without error control would pass failures on silently.
    const double size = o.Get(kOptionStepSize);
    if (!(size > 0.0)) return kStatusBadOptionValue;
    // On the leg's own clock the steps keep their size wherever it starts.
    IDASetInitStep(ida_, size);
    IDASetMaxStep(ida_, size);
    IDASetMinStep(ida_, 0.0);
  } else {
    IDASetInitStep(ida_, o.Get(kOptionInitStepSize));
    IDASetMaxStep(ida_, o.Get(kOptionMaxStepSize));
    IDASetMinStep(ida_, o.Get(kOptionEnforceMinStep) != 0 ? o.Get(kOptionMinStepSize) : 0.0);
  }
  IDASetEtaConvFail(ida_, o.Get(kOptionStepRedFact));
  IDASetMaxNumSteps(ida_, -1);
  ss_ = 20.0;
  last_cj_ = 0.0;
  setup_cj_ = 0.0;
  first_step_ = true;
  return StartSensitivities();
}

Status Stepper::MarkAlgebraic() {
  if (id_ == nullptr) id_ = N_VClone(y_);
  if (id_ == nullptr) return kStatusIntegrationFailed;
  for (std::size_t k = 0; k < n_; ++k) NV_DATA_S(id_)[k] = derivative_[k] >= 0 ? 1.0 : 0.0;
  return IDASetId(ida_, id_) == IDA_SUCCESS ? 0 : kStatusIntegrationFailed;
}

Status Stepper::StartSensitivities() {
  const bool wanted =
      s_.sens_on_ && s_.sens_count_ > 0 && method_ != Method::kEuler && method_ != Method::kRK4;
  if (!wanted) {
    if (sens_active_) {
      IDASensToggleOff(ida_);
      IDASetSuppressAlg(ida_, suppress_algebraic_ ? SUNTRUE : SUNFALSE);
    }
    sens_active_ = false;
    return 0;
  }
  const int ns = s_.sens_count_;
  sens_value_col_.clear();  // the engine's columns are laid out again at every initialise
  if (ns != sens_ns_) {
    if (sens_inited_) IDASensFree(ida_);
    sens_inited_ = false;
    FreeSensitivities();
    ys_ = N_VCloneVectorArray(ns, y_);
    yps_ = N_VCloneVectorArray(ns, y_);
    if (ys_ == nullptr || yps_ == nullptr) return kStatusIntegrationFailed;
    sens_ns_ = ns;
  }
  const auto w1 = static_cast<std::size_t>(s_.sens_first_width_);
  const auto w2 = static_cast<std::size_t>(s_.sens_second_width_);
  for (int i = 0; i < ns; ++i) {
    double* y = NV_DATA_S(ys_[i]);
    double* yp = NV_DATA_S(yps_[i]);
    const auto row = static_cast<std::size_t>(i);
    for (std::size_t k = 0; k < n_; ++k) {
      y[k] =
          s_.sens_first_[row * w1 + static_cast<std::size_t>(
                                        s_.sens_column_[static_cast<std::size_t>(position_[k])])];
      yp[k] = derivative_[k] >= 0
                  ? s_.sens_second_[row * w2 +
                                    static_cast<std::size_t>(
                                        s_.sens_column_[static_cast<std::size_t>(derivative_[k])])]
                  : 0.0;
    }
  }
  IDASetUserData(ida_, this);
  if (!sens_inited_) {
    if (IDASensInit(ida_, ns, IDA_STAGGERED, CountingSensResidual, ys_, yps_) != IDA_SUCCESS)
      return kStatusIntegrationFailed;
    sens_inited_ = true;
    if (nls_sens_ == nullptr) {
      nls_sens_ = SUNNonlinSolNewEmpty(ctx_);
      if (nls_sens_ == nullptr) return kStatusIntegrationFailed;
      nls_sens_->content = this;
      nls_sens_->ops->gettype = [](SUNNonlinearSolver) { return SUNNONLINEARSOLVER_ROOTFIND; };
      nls_sens_->ops->solve = NlsSensSolve;
      nls_sens_->ops->setsysfn = [](SUNNonlinearSolver, SUNNonlinSolSysFn) { return 0; };
      nls_sens_->ops->setctestfn = [](SUNNonlinearSolver, SUNNonlinSolConvTestFn, void*) {
        return 0;
      };
      nls_sens_->ops->setmaxiters = [](SUNNonlinearSolver, int) { return 0; };
      nls_sens_->ops->getnumiters = [](SUNNonlinearSolver, long* n) {
        *n = 1;
        return 0;
      };
      nls_sens_->ops->getnumconvfails = [](SUNNonlinearSolver, long* n) {
        *n = 0;
        return 0;
      };
    }
    if (IDASetNonlinearSolverSensStg(ida_, nls_sens_) != IDA_SUCCESS)
      return kStatusIntegrationFailed;
  } else if (IDASensReInit(ida_, IDA_STAGGERED, ys_, yps_) != IDA_SUCCESS) {
    return kStatusIntegrationFailed;
  }
  const OptionValues& o = s_.options_;
  std::vector<double> absolute(static_cast<std::size_t>(ns), o.Get(kOptionAbsErrorTol));
  if (IDASensSStolerances(ida_, o.Get(kOptionRelErrorTol), absolute.data()) != IDA_SUCCESS)
    return kStatusBadOptionValue;
  IDASetSensErrCon(ida_, SUNTRUE);
  // The engine gives no derivatives for the sensitivities of algebraic
  // unknowns: predicted from a zero slope, their corrections are as large as
  // they are and no step would pass. The states' sensitivities carry the
  // error test; the algebraic unknowns follow them.
  if (Status st = MarkAlgebraic(); st != 0) return st;
  IDASetSuppressAlg(ida_, SUNTRUE);
  sens_active_ = true;
  return 0;
}

// One engine call: the predicted rows in, the corrected rows out.
int Stepper::CorrectSensitivities(N_Vector ycor, void* mem) {
  realtype t = 0, cj = 0;
  N_Vector *yspred = nullptr, *ypspred = nullptr, *ysn = nullptr, *ypsn = nullptr;
  void* user = nullptr;
  if (IDAGetNonlinearSystemDataSens(mem, &t, &yspred, &ypspred, &ysn, &ypsn, &cj, &user) !=
      IDA_SUCCESS)
    return SUN_NLS_EXT_FAIL;
  auto* content = static_cast<SensWrapperContent*>(ycor->content);
  if (content == nullptr || content->nvecs != sens_ns_ || !s_.sensitivity_) return SUN_NLS_EXT_FAIL;
  cj_ = cj;
  const auto w1 = static_cast<std::size_t>(s_.sens_first_width_);
  const auto w2 = static_cast<std::size_t>(s_.sens_second_width_);
  // Each unknown's column in the engine's rows, and its derivative's.
  if (sens_value_col_.size() != n_) {
    sens_value_col_.resize(n_);
    sens_slope_col_.resize(n_);
    for (std::size_t k = 0; k < n_; ++k) {
      sens_value_col_[k] = static_cast<std::size_t>(
          s_.sens_column_[static_cast<std::size_t>(position_[k])]);
      sens_slope_col_[k] =
          derivative_[k] >= 0
              ? static_cast<std::ptrdiff_t>(s_.sens_column_[static_cast<std::size_t>(derivative_[k])])
              : -1;
    }
  }
  for (int i = 0; i < sens_ns_; ++i) {
    const auto row = static_cast<std::size_t>(i);
    const double* y = NV_DATA_S(yspred[i]);
    const double* yp = NV_DATA_S(ypspred[i]);
    double* first = s_.sens_first_.data() + row * w1;
    double* second = s_.sens_second_.data() + row * w2;
    for (std::size_t k = 0; k < n_; ++k) {
      first[sens_value_col_[k]] = y[k];
      if (sens_slope_col_[k] >= 0) second[sens_slope_col_[k]] = yp[k];
    }
  }
  after_corrector_ = false;
  double at = ClockTime(t);
  // The engine works on the model for the rows: the next write gives every
  // value again rather than trusting the held copy.
  held_ = false;
  const Status st =
      s_.sensitivity_->SensitivityUpdate(s_.sens_first_.data(), s_.sens_second_.data(), &at);
  if (status::IsFailure(st)) {
    corrector_status_ = kStatusSensitivityFailed;
    return SUN_NLS_EXT_FAIL;
  }
  for (int i = 0; i < sens_ns_; ++i) {
    const double* first = s_.sens_first_.data() + static_cast<std::size_t>(i) * w1;
    double* c = NV_DATA_S(content->vecs[i]);
    const double* y = NV_DATA_S(yspred[i]);
    for (std::size_t k = 0; k < n_; ++k) c[k] = first[sens_value_col_[k]] - y[k];
  }
  return SUN_NLS_SUCCESS;
}

Status Stepper::SensitivityRow(std::int32_t row, double* values) {
  if (!leg_ || !sens_active_ || hu_ <= 0.0 || row < 0 || row >= sens_ns_) return kStatusNoStep;
  std::fill(values, values + s_.variable_count_, 0.0);
  N_Vector v = N_VClone(y_);
  if (v == nullptr) return kStatusIntegrationFailed;
  const double s = OnLeg(start_);
  int flag = IDAGetSensDky1(ida_, s, 0, row, v);
  if (flag == IDA_SUCCESS) {
    for (std::size_t k = 0; k < n_; ++k) values[position_[k]] = NV_DATA_S(v)[k];
    flag = IDAGetSensDky1(ida_, s, 1, row, v);
  }
  if (flag == IDA_SUCCESS) {
    for (std::size_t k = 0; k < n_; ++k) {
      if (derivative_[k] >= 0) values[derivative_[k]] = NV_DATA_S(v)[k];
    }
  }
  N_VDestroy(v);
  return flag == IDA_SUCCESS ? 0 : kStatusTargetBeforeStep;
}

Status Stepper::TimeDerivatives(double* values) {
  std::fill(values, values + s_.variable_count_, 0.0);
  std::vector<double> y, yp;
  if (!leg_) return kStatusNoStep;
  if (Status st = Interpolate(start_, &y, &yp); st != 0) return st;
  for (std::size_t k = 0; k < n_; ++k) values[position_[k]] = yp[k];
  return 0;
}

void Stepper::KeepSensitivities() {
  if (!leg_ || !sens_active_ || hu_ <= 0.0) return;
  std::vector<double> row(static_cast<std::size_t>(s_.variable_count_));
  const auto w1 = static_cast<std::size_t>(s_.sens_first_width_);
  const auto w2 = static_cast<std::size_t>(s_.sens_second_width_);
  for (int i = 0; i < sens_ns_; ++i) {
    if (SensitivityRow(i, row.data()) != 0) return;
    const auto r = static_cast<std::size_t>(i);
    for (std::size_t p = 0; p < row.size(); ++p) {
      const auto c = static_cast<std::size_t>(s_.sens_column_[p]);
      if (s_.sens_derivative_[p]) {
        s_.sens_second_[r * w2 + c] = row[p];
      } else {
        s_.sens_first_[r * w1 + c] = row[p];
      }
    }
  }
}

// A leg ended twice at one time (stopped at a boundary, then ended again
// once the controls switched there) keeps what its first end saw.
void Stepper::KeepDerivativesBefore() {
  if (!leg_ || !sens_active_ || hu_ <= 0.0) return;
  std::vector<double> y;
  if (Interpolate(start_, &y, &before_yp_) != 0) before_yp_.clear();
}

// Every restart hands the rows over: their slopes follow the equations as
// they now stand. Without a leg ended here the change is zero.
Status Stepper::JumpSensitivities() {
  if (!s_.sens_on_ || s_.sens_count_ == 0 || !s_.sensitivity_) {
    before_yp_.clear();
    return 0;
  }
  std::vector<double> change(static_cast<std::size_t>(s_.variable_count_), 0.0);
  if (before_yp_.size() == n_) {
    std::vector<double> y, yp(n_, 0.0);
    if (Status st = ReadUnknowns(&y, &yp); st != 0) return st;
    for (std::size_t k = 0; k < n_; ++k) {
      if (derivative_[k] >= 0)
        change[static_cast<std::size_t>(derivative_[k])] = before_yp_[k] - yp[k];
    }
  }
  before_yp_.clear();
  double t = start_;
  const Status st = s_.sensitivity_->SensitivityJump(s_.sens_first_.data(), s_.sens_second_.data(),
                                                     change.data(), &t);
  // An engine without the operation keeps its rows as they were.
  if (st == platform::E_NOTIMPL) return 0;
  return status::IsFailure(st) ? kStatusSensitivityFailed : 0;
}

void Stepper::CoreMessage(int code, const char*, const char* function, char* text, void* data) {
  auto* self = static_cast<Stepper*>(data);
  IntegratorServer& server = self->s_;
  const bool error = code < 0;
  if (error && self->hold_error_) {
    // Posted only if the first step is not tried again.
    self->held_code_ = code;
    self->held_function_ = function != nullptr ? function : "";
    self->held_text_ = text != nullptr ? text : "";
    return;
  }
  if (server.options_.Get(error ? kOptionShowHIErrors : kOptionShowHTIErrors) == 0) return;
  if (!server.executive_) return;
  std::string line = std::string("Integrator (") + (function != nullptr ? function : "") +
                     "): " + (text != nullptr ? text : "");
  if (self->origin_ != 0.0) {
    // IDA's times are the leg's own.
    char from[80];
    std::snprintf(from, sizeof from, " (times from the leg's start at t = %.17g)", self->origin_);
    line += from;
  }
  const char* texts[] = {line.c_str()};
  server.executive_->PostSolverMessage(error ? kStatusIntegrationFailed : 0, 1, texts, 0, nullptr);
}

int Stepper::NlsSolve(SUNNonlinearSolver nls, N_Vector, N_Vector ycor, N_Vector w, realtype tol,
                      booleantype, void* mem) {
  return static_cast<Stepper*>(nls->content)->Correct(ycor, w, tol, mem);
}

// IDA's Newton iteration, each iteration one corrector iteration of the
// decomposition (every group one step), judged by IDA's own test in its
// weighted norm. The groups' iteration matrices are set up at the predicted
// point when none is held or cj has left [0.6, 1/0.6] of the set-up's, and
// once more after a failure on old ones; ss is kept here since IDA keeps
// its own to itself.
int Stepper::Correct(N_Vector ycor, N_Vector w, realtype tol, void* mem) {
  realtype t = 0, cj = 0;
  N_Vector yypred = nullptr, yppred = nullptr, yyn = nullptr, ypn = nullptr, res = nullptr;
  void* user = nullptr;
  last_passes_ = 0;
  last_failed_ = true;
  after_corrector_ = false;
  if (IDAGetNonlinearSystemData(mem, &t, &yypred, &yppred, &yyn, &ypn, &res, &cj, &user) !=
      IDA_SUCCESS)
    return SUN_NLS_EXT_FAIL;
  cj_ = cj;
  if (last_cj_ != 0.0 && cj != last_cj_) ss_ = 100.0;
  last_cj_ = cj;
  ypred_.assign(NV_DATA_S(yypred), NV_DATA_S(yypred) + n_);
  yppred_.assign(NV_DATA_S(yppred), NV_DATA_S(yppred) + n_);
  IQLNDecomposition* d = nullptr;
  if ((corrector_status_ =
           Decomposition(kDecomposeCorrector, kSlotCorrector, &s_.corrector_, &d)) != 0)
    return SUN_NLS_EXT_FAIL;
  if (d != iterated_) {
    iteration_ = outside::QueryRef<IQLNCorrectorIteration>(d, IID_IQLNCorrectorIteration);
    iterated_ = d;
    setup_cj_ = 0.0;
  }
  if (!iteration_) {
    corrector_status_ = kStatusNoInterface;
    return SUN_NLS_EXT_FAIL;
  }
  const double ratio = setup_cj_ > 0.0 ? cj / setup_cj_ : 0.0;
  bool setup = ratio < kSetUpBelow || ratio > 1.0 / kSetUpBelow;
  for (;;) {
    const Attempt a = Iterate(ClockTime(t), setup, NV_DATA_S(w), tol);
    if (a == Attempt::kConverged) {
      double* c = NV_DATA_S(ycor);
      for (std::size_t k = 0; k < n_; ++k) c[k] = current_[k] - ypred_[k];
      after_corrector_ = true;
      last_failed_ = false;
      corrector_status_ = 0;
      return SUN_NLS_SUCCESS;
    }
    if (a == Attempt::kFatal) return SUN_NLS_EXT_FAIL;
    if (setup) break;
    setup = true;
  }
  if (corrector_status_ == 0) corrector_status_ = kStatusCorrectorFailed;
  return SUN_NLS_CONV_RECVR;
}

// One attempt from the predicted values: at most max_passes_ iterations,
// the first on matrices set up afresh when `setup`.
Stepper::Attempt Stepper::Iterate(double t, bool setup, const double* weights, double tol) {
  corrector_status_ = 0;
  if (status::IsFailure(s_.executive_->SetSimulationTime(t))) {
    corrector_status_ = kStatusBadArgument;
    return Attempt::kFatal;
  }
  if ((corrector_status_ = WriteUnknowns(ypred_.data(), yppred_.data())) != 0)
    return Attempt::kFatal;
  if (setup) {
    setup_cj_ = cj_;
    ss_ = 20.0;
  }
  previous_ = ypred_;
  double first = 0.0;
  in_corrector_ = true;
  for (int m = 0; m < max_passes_; ++m) {
    const Status st = iteration_->IterateCorrector(setup && m == 0 ? 1 : 0);
    ++last_passes_;
    if (status::IsFailure(st)) {
      // The groups may have stopped half-way: nothing written is known.
      held_ = false;
      in_corrector_ = false;
      corrector_status_ = st;
      return Fatal(st) ? Attempt::kFatal : Attempt::kFailed;
    }
    if ((corrector_status_ = ReadUnknowns(&current_, nullptr)) != 0) {
      in_corrector_ = false;
      return Attempt::kFatal;
    }
    if (held_) held_y_ = current_;
    double sum = 0.0;
    for (std::size_t k = 0; k < n_; ++k) {
      const double e = (current_[k] - previous_[k]) * weights[k];
      sum += e * e;
    }
    const double norm = n_ > 0 ? std::sqrt(sum / static_cast<double>(n_)) : 0.0;
    if (!std::isfinite(norm)) break;
    bool done = false;
    if (m == 0) {
      first = norm;
      done = norm <= 1e-8 * tol;
    } else {
      const double rate = std::pow(norm / first, 1.0 / m);
      if (rate > 0.9) break;
      ss_ = rate / (1.0 - rate);
    }
    if (done || ss_ * norm <= tol) {
      in_corrector_ = false;
      return Attempt::kConverged;
    }
    std::swap(previous_, current_);
  }
  in_corrector_ = false;
  return Attempt::kFailed;
}

// The leg's first step once more from its start, the algebraic unknowns
// left out of that step's error test; false when IDA cannot start again.
bool Stepper::StartAgain(double target, bool exact, realtype* t, int* flag) {
  std::copy(start_y_.begin(), start_y_.end(), NV_DATA_S(y_));
  std::copy(start_yp_.begin(), start_yp_.end(), NV_DATA_S(yp_));
  if (IDAReInit(ida_, LegTime(start_), y_, yp_) != IDA_SUCCESS) return false;
  ss_ = 20.0;
  last_cj_ = 0.0;
  setup_cj_ = 0.0;
  if (exact) StopAt(target);
  IDASetSuppressAlg(ida_, SUNTRUE);
  corrector_status_ = 0;
  *flag = IDASolve(ida_, LegTime(target), t, y_, yp_, IDA_ONE_STEP);
  IDASetSuppressAlg(ida_, suppress_algebraic_ || sens_active_ ? SUNTRUE : SUNFALSE);
  return true;
}

Status Stepper::StepIda(double target, double limit) {
  // Communication points are served from the interpolant unless asked
  // otherwise; then each ends a step. So they are with sensitivities, whose
  // leg leaves the algebraic unknowns out of the error test: their
  // interpolated values would not be held to the tolerance. A stop time once
  // set stays armed until reached, even across IDAReInit, so an armed one
  // is always set afresh (6.4.1 also leaves one equal to tout armed).
  const bool exact = s_.options_.Get(kOptionItplToComTime) == 0 ||
                     (stop_armed_ && !limit_armed_) || inputs_moved_ || sens_active_ ||
                     limit <= target;
  if (exact) {
    StopAt(std::min(target, limit));
    stop_armed_ = true;
    limit_armed_ = false;
  } else if (limit < HUGE_VAL) {
    // Steps may still go past the target, not past the jump.
    StopAt(limit);
    stop_armed_ = true;
    limit_armed_ = true;
  }
  realtype t = 0;
  corrector_status_ = 0;
  const bool may_retry = first_step_ && !sens_active_;
  hold_error_ = may_retry;
  held_code_ = 0;
  // The given first step may fail however often IDA cuts it (a tiny atol
  // on a fast start: the error test or the corrector's test, in weights
  // of 1/atol, never passes); a first step IDA estimates from the
  // tolerances then goes on, where the given one would only give up.
  const double given = s_.options_.Get(kOptionInitStepSize);
  const bool may_estimate = may_retry && s_.options_.Get(kOptionStepSizeType) != 0 && given > 0.0;
  const auto cut_out = [&](int f) {
    const bool not_converging =
        corrector_status_ == 0 || corrector_status_ == kStatusCorrectorFailed;
    return f == IDA_ERR_FAIL || (may_estimate && f == IDA_CONV_FAIL && not_converging);
  };
  int flag = IDASolve(ida_, LegTime(target), &t, y_, yp_, IDA_ONE_STEP);
  hold_error_ = false;
  if (held_code_ != 0 && !cut_out(flag)) {
    CoreMessage(held_code_, nullptr, held_function_.c_str(), held_text_.data(), this);
  }
  if (cut_out(flag) && may_retry) {
    // The algebraic unknowns start from a zero slope, so their first
    // correction is h times their true slope, which shrinks only as fast
    // as h: at tight tolerances the error test cuts the first step until
    // IDA gives up. The leg starts again with them left out of the first
    // step's test; that step's correction then gives IDA their first
    // difference.
    if (Status st = MarkAlgebraic(); st != 0) return st;
    hold_error_ = may_estimate;
    held_code_ = 0;
    if (!StartAgain(target, exact, &t, &flag)) return kStatusIntegrationFailed;
    hold_error_ = false;
    if (held_code_ != 0 && !(may_estimate && cut_out(flag))) {
      CoreMessage(held_code_, nullptr, held_function_.c_str(), held_text_.data(), this);
    }
    if (may_estimate && cut_out(flag)) {
      char line[160];
      std::snprintf(line, sizeof line,
                    "The initial step size %.3g failed from the start: the integrator estimates "
                    "its first step from the tolerances",
                    given);
      const char* texts[] = {line};
      if (s_.executive_) s_.executive_->PostSolverMessage(0, 1, texts, 0, nullptr);
      IDASetInitStep(ida_, 0.0);
      const bool started = StartAgain(target, exact, &t, &flag);
      IDASetInitStep(ida_, given);
      if (!started) return kStatusIntegrationFailed;
    }
  }
  if (flag == IDA_TSTOP_RETURN) stop_armed_ = limit_armed_ = false;
  if (flag >= 0) first_step_ = false;
  if (flag < 0 && corrector_status_ == kStatusSensitivityFailed) return corrector_status_;
  if (flag < 0) {
    switch (flag) {
      case IDA_CONV_FAIL:
        return kStatusCorrectorFailed;
      case IDA_NLS_FAIL:
        return corrector_status_ != 0 ? corrector_status_ : kStatusIntegrationFailed;
      case IDA_ERR_FAIL:
        return kStatusErrorTestFailed;
      case IDA_TOO_MUCH_WORK:
        return kStatusTooMuchWork;
      default:
        return kStatusIntegrationFailed;
    }
  }
  realtype hu = 0;
  IDAGetLastStep(ida_, &hu);
  before_ = tn_;
  // A stop time is reached as given, not as the leg's clock rounds it back.
  tn_ = flag == IDA_TSTOP_RETURN ? stop_at_ : ClockTime(t);
  leg_tn_ = t;
  hu_ = hu;
  if (Status st = WriteUnknowns(NV_DATA_S(y_), NV_DATA_S(yp_)); st != 0) return st;
  if (project_ && --until_projection_ <= 0) ProjectLocalError();
  return 0;
}

int Stepper::ErrorWeights(N_Vector y, N_Vector ewt, void* user) {
  const auto* self = static_cast<const Stepper*>(user);
  const double* v = NV_DATA_S(y);
  double* w = NV_DATA_S(ewt);
  for (std::size_t k = 0; k < self->n_; ++k) {
    const double scale = self->held_share_ * (self->rtol_ * std::fabs(v[k]) + self->atol_);
    if (!(scale > 0.0)) return -1;
    w[k] = (self->derivative_[k] >= 0 ? self->boost_ / self->state_share_ : 1.0) / scale;
  }
  return 0;
}

// One corrector pass from the accepted point with the states' derivatives
// moved by cj `shift`, read into `out`; the model holds the accepted point
// again afterwards.
bool Stepper::PassFromAccepted(double cj, const double* shift, std::vector<double>* out) {
  const double* y = NV_DATA_S(y_);
  const double* yp = NV_DATA_S(yp_);
  ypred_.assign(y, y + n_);
  yppred_.assign(yp, yp + n_);
  for (std::size_t k = 0; k < n_; ++k) {
    if (derivative_[k] >= 0) yppred_[k] += cj * shift[k];
  }
  const double saved_cj = cj_;
  cj_ = cj;
  bool done = WriteUnknowns(ypred_.data(), yppred_.data()) == 0;
  if (done) {
    in_corrector_ = true;
    done = !status::IsFailure(iteration_->IterateCorrector(0));
    in_corrector_ = false;
  }
  if (done) done = ReadUnknowns(out, nullptr) == 0;
  // What the pass left in the model is known only when it was read.
  if (done && held_) {
    held_y_ = *out;
  } else {
    held_ = false;
  }
  cj_ = saved_cj;
  return WriteUnknowns(y, yp) == 0 && done;
}

// With the step's error estimate e, a pass from the accepted point with the
// states' derivatives moved by cj s e takes one Newton step of the groups by
// J^-1 (cj dF/dy' s e) beyond the corrector's last increment: the states'
// error as the corrector carries it into every unknown. The scale s puts
// the move well above that increment while leaving it small against the
// values, where the model is as good as linear.
void Stepper::ProjectLocalError() {
  // A pass every few steps costs little against the corrector's own, and
  // one that cannot be made is not tried again at once.
  until_projection_ = kStepsPerProjection;
  if (!iteration_ || hu_ <= 0.0) return;
  if (local_error_ == nullptr && (local_error_ = N_VClone(y_)) == nullptr) return;
  realtype cj = 0;
  if (IDAGetEstLocalErrors(ida_, local_error_) != IDA_SUCCESS ||
      IDAGetCurrentCj(ida_, &cj) != IDA_SUCCESS || !(cj > 0.0))
    return;
  double* e = NV_DATA_S(local_error_);
  const double* y = NV_DATA_S(y_);
  double states = 0.0, count = 0.0;
  for (std::size_t k = 0; k < n_; ++k) {
    if (derivative_[k] < 0) continue;
    const double v = e[k] / (rtol_ * std::fabs(y[k]) + atol_);
    states += v * v;
    count += 1.0;
  }
  if (!(states > 0.0) || !std::isfinite(states)) return;
  const double target = std::clamp(rtol_ > 0.0 ? 1e-3 / rtol_ : 1.0, 1.0, 100.0);
  const double scale = target / std::sqrt(states / count);
  for (std::size_t k = 0; k < n_; ++k) e[k] *= scale;
  if (!PassFromAccepted(cj, e, &projected_y_)) return;
  double algebraic = 0.0;
  for (std::size_t k = 0; k < n_; ++k) {
    if (derivative_[k] >= 0) continue;
    const double v = (y[k] - projected_y_[k]) / scale / (rtol_ * std::fabs(y[k]) + atol_);
    algebraic += v * v;
  }
  if (!std::isfinite(algebraic)) return;
  // Grown at most twofold a measure: weights that jump many times over at
  // once send IDA down to order 1, where the lock was.
  boost_ = std::min(std::sqrt(1.0 + algebraic / states), kBoostGrowth * boost_);
  // Less than twofold is what an unknown much like the states gets (y = 2
  // x): IDA's own estimate of it holds it already, and the weights stay.
  if (boost_ < kLeastBoost) boost_ = 1.0;
  // States held finer than this stop converging cleanly (a run at rtol
  // 1e-12 lost digits): the boost never asks for it.
  if (rtol_ > 0.0)
    boost_ = std::min(boost_, std::max(1.0, state_share_ * rtol_ / kFinestStateTolerance));
}

// ---------------------------------------------------------------- Euler, RK4

// Derivatives of the states at t with the states as they stand in the model
// (the explicit-stage decomposition solves derivatives and algebraics).
Status Stepper::SolveStages(double t, std::vector<double>* derivatives) {
  if (status::IsFailure(s_.executive_->SetSimulationTime(t))) return kStatusBadArgument;
  IQLNDecomposition* d = nullptr;
  Status st = Decomposition(kDecomposeExplicitStage, kSlotExplicitStage, &s_.stages_, &d);
  if (st != 0) return st;
  std::int32_t iterations = 0;
  st = d->SolveGroups(0, 0, 0, &iterations);
  if (status::IsFailure(st))
    return status::Facility(st) == 0xFE ? st : kDecompositionGroupFailedSevere;
  std::vector<double> y, yp(n_, 0.0);
  if ((st = ReadUnknowns(&y, &yp)) != 0) return st;
  *derivatives = std::move(yp);
  return 0;
}

Status Stepper::StepFixed(double target) {
  const double size = s_.options_.Get(kOptionStepSize);
  if (!(size > 0.0)) return kStatusBadOptionValue;
  double h = size;
  // Shortened to land on the target; a sliver left over joins this step.
  const bool lands = tn_ + h >= target || target - (tn_ + h) < 1e-10 * size;
  const double t0 = tn_;
  // On the target itself: not a rounding past it, where a delayed value may
  // already jump.
  const double end = lands ? target : t0 + h;
  // The solution moves as far as time does: at a late time t0 + h rounds
  // to whole units of t, some per cent off the size.
  h = end - t0;
  std::vector<double> y(y1_), k1(f1_), next(n_);
  auto stage = [&](const std::vector<double>& at, double t, std::vector<double>* k) {
    const Status st = WriteUnknowns(at.data(), nullptr);
    return st != 0 ? st : SolveStages(t, k);
  };
  if (method_ == Method::kEuler) {
    for (std::size_t i = 0; i < n_; ++i) next[i] = derivative_[i] >= 0 ? y[i] + h * k1[i] : y[i];
  } else {
    std::vector<double> k2, k3, k4, at(n_);
    auto mid = [&](const std::vector<double>& k, double c) {
      for (std::size_t i = 0; i < n_; ++i) at[i] = derivative_[i] >= 0 ? y[i] + c * h * k[i] : y[i];
    };
    mid(k1, 0.5);
    if (Status st = stage(at, t0 + 0.5 * h, &k2); st != 0) return st;
    mid(k2, 0.5);
    if (Status st = stage(at, t0 + 0.5 * h, &k3); st != 0) return st;
    mid(k3, 1.0);
    if (Status st = stage(at, end, &k4); st != 0) return st;
    for (std::size_t i = 0; i < n_; ++i)
      next[i] = derivative_[i] >= 0 ? y[i] + h / 6 * (k1[i] + 2 * k2[i] + 2 * k3[i] + k4[i]) : y[i];
  }
  std::vector<double> f;
  if (Status st = stage(next, end, &f); st != 0) return st;
  y0_ = y1_;
  f0_ = f1_;
  if (Status st = ReadUnknowns(&y1_, nullptr); st != 0) return st;
  f1_ = f;
  before_ = tn_;
  tn_ = end;
  hu_ = h;
  return 0;
}

// ---------------------------------------------------------------- legs

Status Stepper::StartLeg() {
  method_ = MethodOf(s_.options_.Get(kOptionIntegrator));
  if (!consistent_) {
    // As re-initialisation does: algebraic unknowns and derivatives made
    // consistent with the states where the last leg ended.
    const Status st = s_.SolveInitialisation(start_, kDecomposeReinitialisation);
    if (st != 0) return st;
    consistent_ = true;
    // The values after a jump (an event, inputs set) hold from here.
    if (s_.delays_) s_.delays_->RecordTime();
    if (Status j = JumpSensitivities(); j != 0) return j;
  }
  before_yp_.clear();
  served_.clear();
  tn_ = before_ = start_;
  origin_ = start_;
  leg_tn_ = 0.0;
  hu_ = 0.0;
  across_at_ = across_from_ = -HUGE_VAL;
  event_open_ = false;
  if (method_ == Method::kEuler || method_ == Method::kRK4) {
    if (Status st = SolveStages(start_, &f1_); st != 0) return st;
    if (Status st = ReadUnknowns(&y1_, nullptr); st != 0) return st;
  } else if (Status st = StartIda(); st != 0) {
    return st;
  }
  leg_ = true;
  return 0;
}

Status Stepper::Interpolate(double t, std::vector<double>* y, std::vector<double>* yp) {
  y->assign(n_, 0.0);
  yp->assign(n_, 0.0);
  if (method_ == Method::kEuler || method_ == Method::kRK4) {
    if (hu_ <= 0.0) {
      *y = y1_;
      *yp = f1_;
      return 0;
    }
    // Cubic Hermite for states, straight line for algebraic unknowns.
    const double s = (t - (tn_ - hu_)) / hu_, h = hu_;
    const double h00 = 2 * s * s * s - 3 * s * s + 1, h10 = s * s * s - 2 * s * s + s,
                 h01 = -2 * s * s * s + 3 * s * s, h11 = s * s * s - s * s;
    const double d00 = (6 * s * s - 6 * s) / h, d10 = 3 * s * s - 4 * s + 1,
                 d01 = (-6 * s * s + 6 * s) / h, d11 = 3 * s * s - 2 * s;
    for (std::size_t i = 0; i < n_; ++i) {
      if (derivative_[i] >= 0) {
        (*y)[i] = h00 * y0_[i] + h10 * h * f0_[i] + h01 * y1_[i] + h11 * h * f1_[i];
        (*yp)[i] = d00 * y0_[i] + d10 * f0_[i] + d01 * y1_[i] + d11 * f1_[i];
      } else {
        (*y)[i] = (1 - s) * y0_[i] + s * y1_[i];
      }
    }
    return 0;
  }
  N_Vector v = N_VClone(y_);  // with y_'s operations
  if (v == nullptr) return kStatusIntegrationFailed;
  const double s = OnLeg(t);
  int flag = IDAGetDky(ida_, s, 0, v);
  if (flag == IDA_SUCCESS) std::copy(NV_DATA_S(v), NV_DATA_S(v) + n_, y->begin());
  if (flag == IDA_SUCCESS && (flag = IDAGetDky(ida_, s, 1, v)) == IDA_SUCCESS)
    std::copy(NV_DATA_S(v), NV_DATA_S(v) + n_, yp->begin());
  N_VDestroy(v);
  return flag == IDA_SUCCESS ? 0 : kStatusTargetBeforeStep;
}

// The step's start, as t rounds it, may lie a unit or so before the start
// IDA holds, where it refuses to interpolate: that is its start. Nothing
// IDA takes is moved.
double Stepper::OnLeg(double t) const {
  const double s = LegTime(t);
  realtype tn = 0, hh = 0, hu = 0;
  if (IDAGetCurrentTime(ida_, &tn) != IDA_SUCCESS || IDAGetCurrentStep(ida_, &hh) != IDA_SUCCESS ||
      IDAGetLastStep(ida_, &hu) != IDA_SUCCESS)
    return s;
  // IDA's own bound.
  const double fuzz = 100.0 * DBL_EPSILON * (std::fabs(tn) + std::fabs(hh));
  return s < tn - hu - fuzz ? tn - hu : s;
}

// The model at t inside the last step, from the interpolant alone: no
// residual is evaluated.
Status Stepper::PlaceAt(double t) {
  std::vector<double> y, yp;
  if (Status st = Interpolate(t, &y, &yp); st != 0) return st;
  if (Status st = WriteUnknowns(y.data(), yp.data()); st != 0) return st;
  return status::IsFailure(s_.executive_->SetSimulationTime(t)) ? kStatusBadArgument : 0;
}

Status Stepper::AfterStep(double t, bool* event) {
  *event = false;
  ++steps_;
  if (s_.delays_ && hu_ > 0.0) {
    if (Status st = RecordTurns(); st != 0) return st;
  }
  if (status::IsFailure(s_.executive_->SetSimulationTime(t))) return kStatusBadArgument;
  if (s_.delays_) s_.delays_->RecordTime();
  *event = EventChanged();
  return 0;
}

// The delay history's curve between two rows keeps to their range, so it
// is flat at the row next to a turn: over a long step the value a lag
// later is off by about a tenth of |y''| h^2, which no error test sees
// when the look-up sits inside an equation. The unknowns that turn inside
// the step by more than their tolerance get rows at their turns, from the
// interpolant, where the flat slope is the true one.
Status Stepper::FindTurns(std::vector<double>* turns) {
  turns->clear();
  if (delayed_.empty()) return 0;
  const double rtol = s_.options_.Get(kOptionRelErrorTol);
  const double atol = s_.options_.Get(kOptionAbsErrorTol);
  // Rows the interpolant cannot give are left out: the run goes on.
  std::vector<double> y0, yp0, y1, yp1;
  if (Interpolate(before_, &y0, &yp0) != 0 || Interpolate(tn_, &y1, &yp1) != 0) return 0;
  // The largest few, each found on the interpolant.
  constexpr std::size_t kMostTurns = 4;
  std::vector<std::pair<double, std::size_t>> turning;
  for (const std::size_t i : delayed_) {
    if (!(yp0[i] * yp1[i] < 0.0)) continue;
    const double flat = 0.1 * std::fabs(yp1[i] - yp0[i]) * hu_ / (rtol * std::fabs(y1[i]) + atol);
    if (flat > 1.0) turning.emplace_back(flat, i);
  }
  if (turning.empty()) return 0;
  const std::size_t kept = std::min(turning.size(), kMostTurns);
  std::partial_sort(turning.begin(), turning.begin() + static_cast<std::ptrdiff_t>(kept),
                    turning.end(), std::greater<>());
  std::vector<double> found, y, yp;
  for (std::size_t k = 0; k < kept; ++k) {
    const std::size_t i = turning[k].second;
    double lo = before_, hi = tn_;
    for (int n = 0; n < 20; ++n) {
      const double mid = 0.5 * (lo + hi);
      if (Status st = Interpolate(mid, &y, &yp); st != 0) return st;
      ((yp[i] < 0.0) == (yp0[i] < 0.0) ? lo : hi) = mid;
    }
    found.push_back(0.5 * (lo + hi));
  }
  std::sort(found.begin(), found.end());
  // Each where it is, however close to a row: a turn left out makes the
  // row beside it the history's extreme, flat where the value still moves.
  double last = before_;
  for (const double t : found) {
    if (t <= last || t >= tn_) continue;
    turns->push_back(t);
    last = t;
  }
  return 0;
}

// The delay history's curve between two rows is a cubic, fourth-order in
// their spacing: over a long step of a high order it strays from the
// integrator's own curve by more than the tolerance (two lags held at rtol
// 1e-10 read a value 440 tolerances off between steps of 0.1). Such a
// step gets rows at equal spacing, as many as bring a cubic through the
// step's ends within a fiftieth of the tolerance of the interpolant at its
// middle, in sixteen pieces at most.
Status Stepper::FindFills(std::vector<double>* fills) {
  fills->clear();
  if (delayed_.empty() || method_ == Method::kEuler || method_ == Method::kRK4) return 0;
  constexpr double kShare = 0.02;
  constexpr int kMostPieces = 16;
  // Five rows: slopes of the fourth order.
  constexpr int kPiecesBetweenBreaks = 4;
  const double rtol = s_.options_.Get(kOptionRelErrorTol);
  const double atol = s_.options_.Get(kOptionAbsErrorTol);
  const double h = tn_ - before_;
  const double middle = before_ + 0.5 * h;
  std::vector<double> y0, yp0, y1, yp1, ym, ypm;
  if (!(h > 0.0) || Interpolate(before_, &y0, &yp0) != 0 || Interpolate(tn_, &y1, &yp1) != 0 ||
      Interpolate(middle, &ym, &ypm) != 0) {
    return 0;
  }
  double worst = 0.0;
  for (const std::size_t i : delayed_) {
    const double cubic = 0.5 * (y0[i] + y1[i]) + 0.125 * h * (yp0[i] - yp1[i]);
    worst = std::max(worst, std::fabs(cubic - ym[i]) / (rtol * std::fabs(ym[i]) + atol));
  }
  // Between two breaks the curve's slopes come from the rows there alone:
  // a step from one gone across to the next would leave two, a straight
  // line, h^2 y''/8 off where a look-up falls inside the step.
  const bool between = before_ == across_from_ && tn_ == across_at_;
  if (!(worst > kShare) && !between) return 0;
  // A piece 1/m of the step strays m^4 times less.
  int pieces =
      static_cast<int>(std::min<double>(kMostPieces, std::ceil(std::pow(worst / kShare, 0.25))));
  if (between) pieces = std::max(pieces, kPiecesBetweenBreaks);
  for (int k = 1; k < pieces; ++k) fills->push_back(before_ + k * h / pieces);
  return 0;
}

Status Stepper::StepRows(std::vector<double>* rows) {
  if (Status st = FindTurns(rows); st != 0) return st;
  std::vector<double> fills;
  if (Status st = FindFills(&fills); st != 0) return st;
  if (fills.empty()) return 0;
  // A fill beside a turn adds nothing but rounding to the slopes there.
  const double apart = 0.25 * (fills[0] - before_);
  const auto turns = static_cast<std::ptrdiff_t>(rows->size());
  for (const double t : fills) {
    if (std::none_of(rows->begin(), rows->begin() + turns,
                     [&](double r) { return std::fabs(t - r) < apart; })) {
      rows->push_back(t);
    }
  }
  std::sort(rows->begin(), rows->end());
  return 0;
}

Status Stepper::RecordTurns() {
  std::vector<double> rows;
  if (Status st = StepRows(&rows); st != 0) return st;
  return RecordRows(rows);
}

Status Stepper::RecordRows(const std::vector<double>& times) {
  for (const double t : times) {
    if (Status st = PlaceAt(t); st != 0) return st;
    s_.delays_->RecordTime();
  }
  return times.empty() ? 0 : PlaceAt(tn_);
}

// A target served from the interpolant left the engine's row of delayed
// values there, which dropped the row of the step's end: the step's rows
// are recorded again before stepping on, its own, those of its turns and
// those of the targets served inside it, as accurate as the others. A
// target a rounding unit or so from another row (IDA may end a step that
// close short of a target) has a value all but equal to that row's, and
// the slope between them, rounding alone, flattened the history's curve
// on both sides: such a target keeps no row of its own.
Status Stepper::RecordLastStep() {
  std::vector<double> served;
  served.swap(served_);
  if (!s_.delays_ || !any_delayed_ || PlaceAt(before_) != 0) return 0;
  s_.delays_->RecordTime();
  std::vector<double> rows;
  if (Status st = StepRows(&rows); st != 0) return st;
  const double close =
      std::max(kCloseRowShare * hu_, kCloseRowUnits * DBL_EPSILON * std::fabs(tn_));
  const auto turns = static_cast<std::ptrdiff_t>(rows.size());  // a few
  const auto near = [&](double t, double row) { return std::fabs(t - row) <= close; };
  std::sort(served.begin(), served.end());
  double last = before_;
  for (const double t : served) {
    if (t <= before_ || t >= tn_ || near(t, last) || near(t, tn_) ||
        std::any_of(rows.begin(), rows.begin() + turns, [&](double r) { return near(t, r); })) {
      continue;
    }
    rows.push_back(t);
    last = t;
  }
  std::sort(rows.begin(), rows.end());
  if (Status st = RecordRows(rows); st != 0) return st;
  if (Status st = PlaceAt(tn_); st != 0) return st;
  s_.delays_->RecordTime();
  return 0;
}

bool Stepper::NextDelayedJump(double* at) {
  return s_.delay_jumps_ && s_.delay_jumps_->NextJump(tn_, HUGE_VAL, at) == 0;
}

// The leg ends where it stands, just before the jump: the values before it
// are kept at the jump's time, and the leg starts there with the values
// after it made consistent, as after an event.
Status Stepper::RestartAtJump(double at) {
  // The model may stand at an earlier target served from the interpolant.
  if (hu_ > 0.0) {
    if (Status st = PlaceAt(tn_); st != 0) return st;
  }
  start_ = tn_;
  if (Status st = Finish(); st != 0) return st;
  start_ = at;
  if (status::IsFailure(s_.executive_->SetSimulationTime(at))) return kStatusBadArgument;
  if (status::IsFailure(s_.delay_jumps_->KeepBeforeJump())) return kStatusIntegrationFailed;
  if (Status st = StartLeg(); st != 0) return st;
  HoldAsRestart();
  return 0;
}

bool Stepper::GoesOnAt(double at) {
  // Our own methods start each step afresh: starting again costs them
  // nothing.
  std::int32_t on = 0;
  return method_ != Method::kEuler && method_ != Method::kRK4 &&
         s_.delay_jumps_->GoesOnAt(at, &on) == 0 && on == 1;
}

Status Stepper::KeepGoneAcross() {
  if (!(hu_ > 0.0) || tn_ != across_at_) return 0;
  across_from_ = tn_;
  across_at_ = -HUGE_VAL;
  if (Status st = PlaceAt(tn_); st != 0) return st;
  return status::IsFailure(s_.delay_jumps_->KeepBeforeJump()) ? kStatusIntegrationFailed : 0;
}

double Stepper::StateShare() const {
  if (!any_delayed_ || !own_weights_ || FixedSize() || !(rtol_ > 0.0)) return 1.0;
  return std::min(1.0, std::max(kDelayedToleranceShare, kFinestStateTolerance / rtol_));
}

void Stepper::HoldAsRestart() {
  if (own_weights_ && !FixedSize() && rtol_ > 0.0) {
    held_share_ = std::min(1.0, std::max(kRestartToleranceShare, kFinestRestartTolerance / rtol_));
    held_steps_ = kRestartHeldSteps;
  }
}

// An event fired (an external one's firing count) or changed state (any
// event's condition at the model's values against its state).
bool Stepper::EventChanged() {
  if (!s_.implicit_events_) return false;
  std::int32_t fired = 0, changed = 0;
  return (s_.implicit_events_->QueryA(0, &fired) == 0 && fired == 1) ||
         (s_.implicit_events_->QueryB(0, &changed) == 0 && changed == 1);
}

// Bisection on the interpolant over [low, high] of the last step to the
// event tolerance, or to the integration's relative tolerance in time when
// that is finer; ends with the model at the first point found past the
// event.
Status Stepper::LocateOnInterpolant(double low, double high, double* reached) {
  const double tolerance =
      std::min(s_.options_.Get(kOptionDiscontinuityEventTol),
               s_.options_.Get(kOptionRelErrorTol) * std::max(1.0, std::fabs(high)));
  for (int i = 0; i < 200 && high - low > tolerance; ++i) {
    const double mid = 0.5 * (low + high);
    if (mid <= low || mid >= high) break;
    if (Status st = PlaceAt(mid); st != 0) return st;
    (EventChanged() ? high : low) = mid;
  }
  if (Status st = PlaceAt(high); st != 0) return st;
  *reached = high;
  return 0;
}

// An event between low and high inside the last step, the model at high.
Status Stepper::EventBetween(double low, double high, double* reached) {
  event_open_ = true;
  event_beyond_ = false;
  if (s_.options_.Get(kOptionLocateIEvents) != 0) {
    // The engine brackets the event itself with targets inside this step.
    *reached = low;
    return kIntegratorDiscontinuity;
  }
  if (Status l = LocateOnInterpolant(low, high, reached); l != 0) return l;
  // The history beyond the event is of no use: the next leg starts there.
  start_ = *reached;
  KeepSensitivities();
  DropLeg();
  consistent_ = false;
  return kIntegratorDiscontinuity;
}

// The values a call ends with hold from its target on; the last step went
// on past it with the inputs as they were. When something has set them
// since, that part is of no use: the leg starts again at the target.
Status Stepper::RestartOnMovedInputs() {
  if (!leg_ || inputs_at_end_.empty()) return 0;
  std::vector<double> now;
  if (Status st = ReadInputs(&now); st != 0) return st;
  if (now == inputs_at_end_) {
    // Left alone for a whole interval (a ramp has ended, say): steps may
    // go past the targets again.
    inputs_moved_ = false;
    return 0;
  }
  inputs_moved_ = true;
  // A leg that ended on its target goes on from there.
  return tn_ > start_ ? Finish() : 0;
}

Status Stepper::IntegrateTo(double target, double* reached) {
  // Between two calls the engine may have set anything.
  held_ = false;
  if (Status st = RestartOnMovedInputs(); st != 0) return st;
  const Status st = Advance(target, reached);
  if (st == 0 && leg_ && *reached > before_ && *reached < tn_) {
    // The last one noted of an earlier step: so were all before it.
    if (!served_.empty() && served_.back() <= before_) served_.clear();
    served_.push_back(*reached);
  }
  inputs_at_end_.clear();
  // Kept when the last step went past the target, and while inputs move,
  // to see when they come to rest.
  if (st == 0 && leg_ && (tn_ > start_ || inputs_moved_) && !inputs_.empty()) {
    if (Status r = ReadInputs(&inputs_at_end_); r != 0) return r;
  }
  return st;
}

Status Stepper::TooMuchWork(long steps, double from, double target) {
  char line[200];
  std::snprintf(line, sizeof line,
                "The integrator took %ld steps from t = %.6g to t = %.6g without reaching t = "
                "%.6g: Integration.MaxSteps (%ld) ends the step",
                steps, from, tn_, target, static_cast<long>(s_.options_.Get(kOptionMaxSteps)));
  const char* texts[] = {line};
  if (s_.executive_) s_.executive_->PostSolverMessage(0, 1, texts, 0, nullptr);
  return kStatusTooMuchWork;
}

bool Stepper::FixedSize() const {
  return method_ == Method::kEuler || method_ == Method::kRK4 ||
         s_.options_.Get(kOptionStepSizeType) == 0;
}

bool Stepper::Headway::StandsStill(double before, double tn, double hu) {
  const double unit = std::nextafter(std::fabs(tn), HUGE_VAL) - std::fabs(tn);
  // Not moving at all stands still too (a NaN as well).
  const double units = (tn - before) / unit;
  if (units > most_units_) most_units_ = units;
  largest_ = std::max(largest_, std::fabs(hu));
  if (++steps_ < window_) return false;
  if (most_units_ > kUnits || largest_ > kGrowth * grown_) {
    grown_ = largest_;
    still_ = 0;
  } else {
    ++still_;
  }
  steps_ = 0;
  most_units_ = largest_ = 0.0;
  return still_ >= kStillWindows;
}

Status Stepper::TimeStandsStill(long steps, double from) {
  char line[480];
  const double size = s_.options_.Get(kOptionStepSize);
  const bool ours = method_ == Method::kEuler || method_ == Method::kRK4;
  // Our own fixed steps as the user gave them, not the time they moved.
  const int said = std::snprintf(line, sizeof line,
                                 "The integration stands still at t = %.9g: steps of %.3g no "
                                 "longer move time there (%ld steps from t = %.6g). ",
                                 tn_, ours ? size : hu_, steps, from);
  char* advice = line + std::clamp(said, 0, static_cast<int>(sizeof line) - 1);
  const std::size_t room = sizeof line - static_cast<std::size_t>(advice - line);
  // IDA's steps of the fixed size, or at the user's bound on them, unless
  // its error test has cut them.
  const double bound = s_.options_.Get(kOptionMaxStepSize);
  if (ours || (FixedSize() && hu_ >= 0.5 * size)) {
    std::snprintf(advice, room, "Take a larger Integration.StepSize");
  } else if (!FixedSize() && bound > 0.0 && hu_ >= 0.5 * bound) {
    std::snprintf(advice, room,
                  "Integration.MaxStepSize (%.3g) holds them below what moves time there: "
                  "take a larger one",
                  bound);
  } else {
    std::snprintf(advice, room,
                  "The solution may grow without bound or change faster than the tolerances "
                  "allow: check the model near this time, or loosen Integration.RelErrorTol and "
                  "Integration.AbsErrorTol");
  }
  const char* texts[] = {line};
  if (s_.executive_) s_.executive_->PostSolverMessage(0, 1, texts, 0, nullptr);
  return kStatusStepTooSmall;
}

Status Stepper::Advance(double target, double* reached) {
  if (leg_ && target < tn_ - hu_) return kStatusTargetBeforeStep;
  if (!leg_ && target < start_) return kStatusTargetBeforeStep;
  if (n_ == 0) {
    // Nothing to integrate: time alone moves.
    if (status::IsFailure(s_.executive_->SetSimulationTime(target))) return kStatusBadArgument;
    *reached = start_ = target;
    return 0;
  }
  if (!leg_) {
    if (Status st = StartLeg(); st != 0) return st;
    if (hold_leg_ && any_delayed_) HoldAsRestart();
    hold_leg_ = false;
  }
  // Inside the last step (bisection, a re-evaluation, a communication
  // point already passed): served from the interpolant. An event the step
  // met past an earlier target may lie before this one.
  if (target <= tn_ && hu_ > 0.0) {
    if (Status st = PlaceAt(target); st != 0) return st;
    if (event_beyond_ && EventChanged()) return EventBetween(start_, target, reached);
    *reached = start_ = target;
    return 0;
  }
  if (target <= tn_) {
    *reached = tn_;
    return 0;
  }
  event_open_ = false;
  if (event_beyond_) {
    // It lies before the end of the last step: no step is taken.
    if (Status st = PlaceAt(tn_); st != 0) return st;
    return EventBetween(start_, tn_, reached);
  }
  if (start_ < tn_ && hu_ > 0.0) {
    if (Status st = RecordLastStep(); st != 0) return st;
  }
  // Guards a run of steps that never reaches its target: the user's bound
  // ends it with a line that names the bound.
  const auto most = static_cast<long>(s_.options_.Get(kOptionMaxSteps));
  const double from = tn_;
  Headway headway(FixedSize());
  for (long n = 0; tn_ < target; ++n) {
    if (n >= most) return TooMuchWork(n, from, target);
    // A target a few rounding units after a restart is no leg the
    // integrator would start: it is served from the state there.
    if (hu_ <= 0.0 && target - tn_ <= kCloseRowUnits * DBL_EPSILON * std::fabs(target)) {
      if (status::IsFailure(s_.executive_->SetSimulationTime(target))) return kStatusBadArgument;
      *reached = start_ = target;
      return 0;
    }
    // A delayed value that jumps ends the steps just before the jump, and
    // the leg starts again at it: no step could pass over it. One a few
    // rounding units ahead is here already.
    // Where only a higher derivative jumps among breaks close together,
    // the steps end on it and go on: the history keeps it as a break.
    if (Status k = KeepGoneAcross(); k != 0) return k;
    double jump = 0.0;
    const bool jumps = NextDelayedJump(&jump);
    const bool across = jumps && GoesOnAt(jump);
    const double limit = !jumps ? HUGE_VAL : across ? jump : std::nextafter(jump, -HUGE_VAL);
    across_at_ = across ? jump : -HUGE_VAL;
    if (jumps && (tn_ >= limit || jump - tn_ <= kCloseRowUnits * DBL_EPSILON * std::fabs(jump))) {
      // A target on the jump is served by the step that ended a rounding
      // unit short of it, and so are targets inside that step until the
      // run goes on.
      if (target - tn_ <= 4.0 * DBL_EPSILON * std::fabs(target)) {
        if (Status p = PlaceAt(target); p != 0) return p;
        *reached = start_ = target;
        return 0;
      }
      if (Status r = RestartAtJump(jump); r != 0) return r;
      continue;
    }
    const double before = tn_;
    const Status st = (method_ == Method::kEuler || method_ == Method::kRK4)
                          ? StepFixed(std::min(target, limit))
                          : StepIda(std::min(target, limit), limit);
    if (st != 0) return st;
    if (held_steps_ > 0 && --held_steps_ == 0) held_share_ = 1.0;
    // IDA goes on taking steps that barely move time and never says so.
    if (headway.StandsStill(before, tn_, hu_) && tn_ < target) return TimeStandsStill(n + 1, from);
    bool event = false;
    if (Status a = AfterStep(tn_, &event); a != 0) return a;
    if (!event) continue;
    if (tn_ <= target) return EventBetween(tn_ - hu_, tn_, reached);
    // The step went past the target: an event beyond it waits for the
    // next call, which may end before it.
    if (Status p = PlaceAt(target); p != 0) return p;
    if (EventChanged()) return EventBetween(tn_ - hu_, target, reached);
    event_beyond_ = true;
    *reached = start_ = target;
    return 0;
  }
  // Past the target, or on it only as t rounds the leg's clock, the model
  // is placed on it from the interpolant.
  const bool ida = method_ != Method::kEuler && method_ != Method::kRK4;
  if (tn_ > target || (ida && leg_tn_ != LegTime(target))) {
    if (Status p = PlaceAt(target); p != 0) return p;
    *reached = start_ = target;
    return 0;
  }
  *reached = tn_;
  start_ = tn_;
  return 0;
}

}  // namespace integrator
