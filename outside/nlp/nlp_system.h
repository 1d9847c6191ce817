// What the NLP solver libraries share: an optimiser that calls back for
// values runs on a worker thread, and each callback hands over to the
// engine's thread, which makes every adapter call inside Step and hands the
// values back. The worker never touches an engine object; abandoning a run
// asks the optimiser to stop and joins the worker.
#pragma once

#include <atomic>
#include <cfenv>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "outside/framework/component.h"
#include "solve/ifaces/kvs_nlp.h"

namespace kvsnlp {

// Step results the engine reads.
inline constexpr std::int32_t kConverged = 0;
inline constexpr std::int32_t kEvaluate = 1;
inline constexpr std::int32_t kAccuracyLimit = 2;
inline constexpr std::int32_t kUphill = 3;
inline constexpr std::int32_t kInfeasible = 4;
inline constexpr std::int32_t kLimit = 5;
inline constexpr std::int32_t kUnbounded = -8;
inline constexpr std::int32_t kFailed = -1;
inline constexpr std::int32_t kBadProblem = -2;
inline constexpr std::int32_t kNoRun = -3;
inline constexpr std::int32_t kStopped = -5;
inline constexpr std::int32_t kEvaluationFailed = -7;

inline constexpr std::uint32_t kFunctions = kNlpWantsObjective | kNlpWantsConstraints;
inline constexpr std::uint32_t kDerivatives = kNlpWantsGradient | kNlpWantsJacobian;

// The problem as the adapter gives it: constraints c(x) >= 0 (equalities
// first, = 0), the Jacobian's entries 0-based, minimisation.
struct Problem {
  std::int32_t n = 0;
  std::int32_t equalities = 0;
  std::int32_t inequalities = 0;
  std::int32_t m() const { return equalities + inequalities; }
  double sense = 1.0;  // -1 when the engine maximises
  std::vector<double> lower, upper, start;
  std::vector<std::int32_t> rows, cols;
};

// The optimiser's settings, as the parameters set them.
struct Settings {
  std::int32_t print_level = 0;
  std::int32_t max_iterations = 100;
  double max_abs_step = 0.0;  // 0: no limit
  double max_rel_step = 0.0;
  double opt_tol = 1e-6;
  double objcvg = 0.0;
};

// The values at one point, for the sense of the problem as minimised.
struct Values {
  std::vector<double> x;
  bool functions = false, derivatives = false;
  double f = 0.0;
  std::vector<double> c, grad, jac;  // jac in structure order
};

// How the run ended.
struct Outcome {
  std::int32_t result = kFailed;
  std::vector<double> x;
  std::vector<double> variable_multipliers;    // positive at a lower bound
  std::vector<double> constraint_multipliers;  // >= 0 for an active inequality
  double measure = -1.0;                       // "OPT_CVRG"
  std::int32_t iterations = 0;
  std::vector<double> inconsistent;  // 1.0 for a constraint violated at the end
  std::string message;
};

class Bridge {
 public:
  ~Bridge() { Abandon(); }
  // --- worker side ---
  // The values at x with what `flags` asks; null when the run is being
  // abandoned or the engine could not evaluate the point.
  const Values* Ask(const std::vector<double>& x, std::uint32_t flags);
  bool Abandoning() const;

  // --- engine side ---
  // Starts `body` on the worker and waits for its first hand-over.
  template <class Body>
  void Start(Body&& body);
  // Hands the values back and waits for the next hand-over.
  void Resume(bool failed);
  // Stops a running optimiser and joins the worker.
  void Abandon();
  bool Running() const { return worker_.joinable(); }
  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  // Valid while the engine holds the turn.
  const std::vector<double>& RequestPoint() const { return request_x_; }
  std::uint32_t RequestFlags() const { return request_flags_; }
  Values& Answer() { return values_; }
  Outcome& Result() { return outcome_; }
  // Joins a worker whose body has ended.
  void Join();

 private:
  // Gives the turn to the worker (true) or the engine (false).
  void Hand(bool worker);
  // Spins a little, as a hand-over is usually quick, then blocks.
  void Await(bool worker);

  std::mutex mutex_;
  std::condition_variable turn_changed_;
  std::atomic<bool> worker_turn_{false};
  std::atomic<bool> abandon_{false};
  std::atomic<bool> finished_{false};
  bool failed_ = false;  // written by the engine before it hands the turn over
  std::vector<double> request_x_;
  std::uint32_t request_flags_ = 0;
  Values values_;
  Outcome outcome_;
  std::thread worker_;
};

template <class Body>
void Bridge::Start(Body&& body) {
  Abandon();
  abandon_ = false;
  finished_ = false;
  failed_ = false;
  worker_turn_ = true;
  outcome_ = Outcome{};
  worker_ = std::thread([this, body = std::forward<Body>(body)]() mutable {
    // The optimiser computes with IEEE infinities (Ipopt's line search
    // raises huge values to powers); the engine's traps, inherited from the
    // starting thread, would end the process there.
    fedisableexcept(FE_ALL_EXCEPT);
    outcome_ = body();
    finished_.store(true, std::memory_order_release);
    Hand(false);
  });
  Await(false);
}

// The worker's view of the values: asks the engine only for what the last
// hand-over did not already give at the same point.
class ValueCache {
 public:
  ValueCache(Bridge* bridge, const Problem* problem) : bridge_(bridge), problem_(problem) {}
  // Null when the run stops or the point failed.
  const Values* At(const double* x, bool derivatives);
  const Values& Last() const { return values_; }
  std::int32_t Evaluations() const { return evaluations_; }

 private:
  Bridge* bridge_;
  const Problem* problem_;
  Values values_;
  std::int32_t evaluations_ = 0;
};

// An optimiser over the bridge.
class Driver {
 public:
  virtual ~Driver() = default;
  // Runs on the worker thread with copies of the problem and the settings.
  virtual Outcome Run(Bridge* bridge, const Problem& problem, const Settings& settings) = 0;
};

using DriverMaker = Driver* (*)();

// The library's factory for `texts`, making systems with `make`, their
// settings starting at `defaults`.
platform::IUnknown* MakeNlpFactory(const kvs::LibraryTexts& texts, DriverMaker make,
                                   const Settings& defaults);

// Multipliers at the final point from its gradients by least squares over
// the active constraints and bounds, and the largest stationarity residual.
void EstimateMultipliers(const Problem& p, const Values& v, double tolerance, Outcome* out);

// The larger of the largest constraint violation and the bound violation.
double Infeasibility(const Problem& p, const Values& v);

// The largest constraint or bound violation a point may show and still
// count as feasible. Values from a model solved to its equation tolerance
// carry that solve's error from point to point, so a fixed 1e-8 would call
// a converged point infeasible; the optimisation tolerance bounds the
// violation accepted at convergence, as the accuracy of an SQP does.
double FeasibilityTolerance(const Settings& s);

// Completes `out` at the final point x: its values with derivatives (asked
// for only when the optimiser's last ones were elsewhere), the multipliers
// when `estimate`, and an end infeasible beyond `feasibility` read as "no
// feasible point" with the violated constraints marked.
void Finish(ValueCache* cache, const Problem& p, const std::vector<double>& x, bool estimate,
            double feasibility, Outcome* out);

}  // namespace kvsnlp
