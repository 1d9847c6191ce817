// The corrector step of a decomposition's small linear and nonlinear groups
// taken here instead of through the open solver framework: per iteration
// the group's residuals once and a solve with dense factors of its
// iteration matrix, made only at a set-up and kept across iterations and
// steps. A group of 2 took some 4 µs through the framework's generic
// interfaces, most of a corrector pass on a model of many small groups.
// Wherever the framework's step would differ (a nearly singular matrix, a
// bound, a step limit, a value that is not finite, a failed evaluation,
// lines to print) the group is handed back to its method, which then sets
// up its own matrix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/status.h"

class DAESSolverBlock;
class DAESVarTableEntry;
class QLNEquation;
class IQLNESOSolve;
class QLNESOGroup;

class DirectCorrector {
 public:
  // The largest group stepped here; larger ones gain nothing over the
  // framework's sparse factors.
  static constexpr std::int32_t kLargest = 8;

  enum class Step {
    kPassed,    // not one to step here: its method steps it as ever
    kTaken,     // the group took its step
    kDeclined,  // its method is to step it, with its matrix set up afresh
    kFailed,    // the step's values could not be handed on: *status says
  };

  // A pass over `count` groups begins; c is read from the integrator when
  // the first paired group asks for it.
  void BeginPass(std::size_t count);
  // One corrector step of group i, setting up its matrix when `setup`.
  Step Take(std::size_t i, IQLNESOSolve* group, bool setup, Status* status);

 private:
  enum class Kind : std::uint8_t { kNone, kLinear, kNonlinear };
  struct Entry {
    IQLNESOSolve* group = nullptr;  // as set up; another object is stepped afresh
    DAESSolverBlock* block = nullptr;
    Kind kind = Kind::kNone;  // as found at the last set-up
    bool ready = false;       // factors held for steps taken here
    bool exchange = false;    // hands its states to the integrator after a step
    bool paired = false;      // its Jacobian carries the step quantity's c
    std::int32_t n = 0;
    std::int32_t room = 0;  // the largest n its slots were made for
    std::size_t at = 0;     // its factors in store_: row scales, column scales, LU
    std::size_t pivots_at = 0;
    std::size_t rows_at = 0;  // its rows' equations in equations_, its variables in variables_
    std::uint64_t generation = 0;  // of the option table at the set-up
    double made = 0.0;             // the c its factors were made with
    // Linear groups: the bounds tolerances of a step. Nonlinear groups:
    // the library's step limits.
    double abs_tol = 0.0, rel_tol = 0.0;
    double max_var_step = 0.0, range_frac = 0.0;
  };

  bool SetUp(Entry& e, QLNESOGroup* group);
  Step StepWith(Entry& e, bool evaluated, Status* status);
  // The group's residuals into residuals_; false when they are not all there
  // and finite.
  bool Residuals(const Entry& e);
  double Coefficient();
  // The next groups' objects fetched while this one steps: on a large
  // model each group's equations and variables lie far from the last's.
  void FetchAhead(std::size_t i) const;

  std::vector<Entry> entries_;
  // Every group's factors side by side in pass order: a pass reads them
  // one after the other.
  std::vector<double> store_;
  std::vector<std::int32_t> pivot_store_;
  std::vector<QLNEquation*> equations_;
  std::vector<DAESVarTableEntry*> variables_;
  double c_ = 0.0;
  bool c_read_ = false;
  // Options written between steps (a watched group, a tolerance) reach a
  // group at its next step: it is set up again.
  std::uint64_t generation_ = 0;
  std::vector<double> residuals_, x_, values_;
};

// LU factors with partial pivoting of the n x n row-major matrix `a`, in
// place, after scaling its rows and then its columns to a largest entry of
// 1 (scales into row_scale and col_scale); false when a pivot falls below
// `floor` or an entry is not finite.
bool FactoriseEquilibrated(std::int32_t n, double* a, std::int32_t* pivots, double* row_scale,
                           double* col_scale, double floor);
// Solves with those factors: x = A^-1 b (b and x may be the same).
void SolveEquilibrated(std::int32_t n, const double* lu, const std::int32_t* pivots,
                       const double* row_scale, const double* col_scale, const double* b,
                       double* x);
