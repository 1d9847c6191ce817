#include "analysis/control_design/cdi_component.h"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <complex>
#include <cstdio>
#include <limits>

#include "analysis/control_design/lapack_binding.h"
#include "foundation/messages/su_print.h"
#include "numerics/lsq/column_grouping.h"
#include "numerics/lsq/numeric_print.h"
#include "solve/linear/lsi.h"

namespace {

void Say(const char* text) { SuPrint(0, "%s", text); }

// One square sparse system factorised through the LSI; the handle lives as
// long as this object.
class SparseSystem {
 public:
  SparseSystem(std::int64_t n, std::int64_t kind) : n_(n), kind_(kind) {}
  ~SparseSystem() {
    if (handle_ != nullptr) {
      const std::int64_t flags = kLsiDestroy;
      std::int64_t info = 0;
      LSISolve(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &handle_, &flags,
               &info, &kind_);
    }
  }
  SparseSystem(const SparseSystem&) = delete;
  SparseSystem& operator=(const SparseSystem&) = delete;

  void Add(double v, std::int64_t r, std::int64_t c) {
    values_.push_back(v);
    rows_.push_back(r);
    cols_.push_back(c);
  }
  std::int64_t Entries() const { return static_cast<std::int64_t>(values_.size()); }
  const std::vector<double>& Values() const { return values_; }
  const std::vector<std::int64_t>& Rows() const { return rows_; }
  const std::vector<std::int64_t>& Cols() const { return cols_; }

  // LSI info: 0, or -2 with the rows beyond the rank to be zeroed in every
  // right-hand side, or a failure.
  std::int64_t Factorize() {
    const std::int64_t ne = Entries();
    if (ne < 1) return kLsiStructurallySingular;
    const std::int64_t flags = kLsiAnalyse | kLsiFactorize;
    std::int64_t info = 0;
    LSISolve(values_.data(), rows_.data(), cols_.data(), nullptr, nullptr, &ne, &n_, &handle_,
             &flags, &info, &kind_);
    zero_rows_.clear();
    if (info == kLsiRankDeficient && handle_ != nullptr) {
      const std::int64_t* list = handle_->FirstDeficiencyList();
      if (list != nullptr) {
        for (std::int64_t i = handle_->Rank(); i < n_; ++i) {
          if (list[i] >= 1 && list[i] <= n_) zero_rows_.push_back(list[i]);
        }
      }
    }
    return info;
  }

  // Solves in place (b becomes x); the LSI info.
  std::int64_t Solve(std::vector<double>& b) {
    for (std::int64_t r : zero_rows_) b[r - 1] = 0.0;
    x_.assign(n_, 0.0);
    const std::int64_t ne = Entries();
    const std::int64_t flags = kLsiSolve;
    std::int64_t info = 0;
    LSISolve(values_.data(), rows_.data(), cols_.data(), x_.data(), b.data(), &ne, &n_, &handle_,
             &flags, &info, &kind_);
    b.swap(x_);
    return info;
  }

  void Print() {
    std::vector<std::int64_t> idx(values_.size());
    const std::int64_t ne = Entries();
    PrintSparseTriplets(rows_.data(), cols_.data(), values_.data(), nullptr, idx.data(), ne);
  }

 private:
  std::int64_t n_;
  std::int64_t kind_;
  LSIBaseSolve* handle_ = nullptr;
  std::vector<double> values_;
  std::vector<std::int64_t> rows_, cols_;
  std::vector<std::int64_t> zero_rows_;
  std::vector<double> x_;
};

// The code a failed factorisation or solve gives; `singular` the code of a
// singular matrix in this place.
std::int32_t MapLsi(std::int64_t info, std::int32_t singular) {
  if (info == kLsiStructurallySingular) return singular;
  if (info == kLsiRankDeficient) return kCdiIndeterminate;
  if (info == kLsiOutOfMemory) return kCdiNoMemory;
  return kCdiLinearAlgebra;
}

bool DividesListed(std::int32_t n) {
  for (std::int32_t m = 30; m <= 120; m += 15) {
    if (n % m == 0) return true;
  }
  return false;
}

// The columns 1..n of a Jacobian part (its input columns left out).
void CopySquare(const double* v, const std::int64_t* r, const std::int64_t* c, std::int64_t ne,
                std::int64_t n, SparseSystem& to) {
  for (std::int64_t e = 0; e < ne; ++e) {
    if (r[e] >= 1 && r[e] <= n && c[e] >= 1 && c[e] <= n) to.Add(v[e], r[e], c[e]);
  }
}

// Minus the column `col` of a Jacobian part, as a dense right-hand side.
std::vector<double> MinusColumn(const double* v, const std::int64_t* r, const std::int64_t* c,
                                std::int64_t ne, std::int64_t n, std::int64_t col) {
  std::vector<double> b(n, 0.0);
  for (std::int64_t e = 0; e < ne; ++e) {
    if (c[e] == col && r[e] >= 1 && r[e] <= n) b[r[e] - 1] -= v[e];
  }
  return b;
}

// The solution of the linearised model is read at these columns.
bool Unknowns(const std::int32_t* cols, std::int32_t count, std::int64_t n) {
  for (std::int32_t k = 0; k < count && cols != nullptr; ++k) {
    if (cols[k] < 1 || cols[k] > n) return false;
  }
  return true;
}

const char* const kMatrixNames[] = {"A", "B", "C", "D", "G", "RGA", "STM"};

}  // namespace

const char* CdiErrorText(std::int32_t code) {
  switch (code) {
    case -2:
      return "   The Index of your model is >1";
    case -3:
      return "   The model is structually singular";
    case -4:
      return "   The model contained no state variables";
    case -5:
      return "   There is not enough free memory";
    case -6:
      return "   The G matrix is singular";
    case -7:
      return "   The G matrix is not square";
    case -8:
      return "   Unknown problem in the linear algebra";
    case -9:
      return "   The CDI component was called with bad input data";
    case -11:
      return "   The singular value decomposition could not be computed";
    case -12:
      return "   The problem contained no state variables";
    case -13:
      return "   The STM matrix entries are too big: the A matrix is unstable";
    default:
      return "";
  }
}

CdiTriplets::CdiTriplets(std::int32_t initial) : initial_(std::max(2, initial)) {
  values_.resize(initial_);
  rows_.resize(initial_);
  cols_.resize(initial_);
}

void CdiTriplets::Add(double value, std::int32_t row, std::int32_t col) {
  if (count_ == Capacity()) {
    const std::size_t grown = values_.size() + std::max(1, initial_ / 2);
    values_.resize(grown);
    rows_.resize(grown);
    cols_.resize(grown);
  }
  values_[count_] = value;
  rows_[count_] = row;
  cols_[count_] = col;
  ++count_;
}

void CdiTriplets::Clear() {
  count_ = 0;
  values_.assign(initial_, 0.0);
  rows_.assign(initial_, 0);
  cols_.assign(initial_, 0);
}

CDIcomponent::CDIcomponent() { Reset(); }
CDIcomponent::~CDIcomponent() = default;

void CDIcomponent::Reset() {
  for (int m = 0; m < kMatrices; ++m) {
    mats_[m].Clear();
    status_[m] = kCdiNotComputed;
  }
  mri_status_ = ni_status_ = kCdiNotComputed;
  mri_ = ni_ = 0.0;
  sr_status_ = kCdiNotComputed;
  sr_response_.clear();
  sr_ramp_flags_.clear();
  sr_intervals_ = 0;
  sr_final_time_ = 0.0;
}

int CDIcomponent::IndexOfBit(std::int32_t bit) {
  switch (bit) {
    case kCdiA:
      return kA;
    case kCdiB:
      return kB;
    case kCdiC:
      return kC;
    case kCdiD:
      return kD;
    case kCdiG:
      return kG;
    case kCdiRga:
      return kRga;
    case kCdiStm:
      return kStm;
    default:
      return -1;
  }
}

std::int32_t CDIcomponent::SetStepResponseOptions(std::int32_t steps_per_interval,
                                                  std::int32_t settled_required,
                                                  std::int32_t max_intervals, double interval,
                                                  double settle_tol, double second_tol,
                                                  double instability_bound, double ramp_tol,
                                                  double second_ramp) {
  std::int32_t mask = 0;
  if (steps_per_interval >= 1)
    sr_steps_ = steps_per_interval;
  else
    mask |= 1;
  if (settled_required >= 1)
    sr_settled_ = settled_required;
  else
    mask |= 2;
  if (max_intervals >= 1)
    sr_max_ = max_intervals;
  else
    mask |= 4;
  if (sr_settled_ > sr_max_) mask |= 4;
  if (interval > 0.0)
    sr_interval_ = interval;
  else
    mask |= 8;
  if (settle_tol > 0.0 && settle_tol <= 1.0)
    sr_tol_ = settle_tol;
  else
    mask |= 16;
  if (second_tol > 0.0 && second_tol <= 1.0)
    sr_tol2_ = second_tol;
  else
    mask |= 32;
  if (instability_bound > 0.0)
    sr_bound_ = instability_bound;
  else
    mask |= 64;
  if (ramp_tol > 0.0 && ramp_tol <= 1.0)
    sr_ramp_ = ramp_tol;
  else
    mask |= 128;
  if (second_ramp > 0.0 && second_ramp <= 1.0)
    sr_ramp2_ = second_ramp;
  else
    mask |= 256;
  return mask;
}

std::int32_t CDIcomponent::SetSTMOptions(double total_time, double step, double threshold,
                                         const std::int32_t* excluded, std::int32_t nexcluded) {
  std::int32_t code = 0;
  stm_t_ = total_time;
  if (total_time < 0.0) {
    stm_t_ = 10.0;
    code = -2;
  }
  stm_h_ = step;
  if (step < 0.0) {
    stm_h_ = stm_t_ / 10.0;
    code = -1;
  }
  stm_threshold_ = threshold;
  if (threshold < 0.0) {
    stm_threshold_ = 0.0;
    code = -4;
  }
  if (stm_h_ > stm_t_) code = -3;
  stm_excluded_.clear();
  if (excluded != nullptr && nexcluded > 0) stm_excluded_.assign(excluded, excluded + nexcluded);
  return code;
}

void CDIcomponent::Compute(const CdiComputeInput& in) {
  // An unstable response may overflow before the bound test; the caller's
  // thread may run with overflow traps armed.
  std::fenv_t saved;
  std::feholdexcept(&saved);
  ComputeInner(in);
  std::fesetenv(&saved);
}

void CDIcomponent::ComputeInner(const CdiComputeInput& in) {
  const std::int32_t pl = in.print_level;
  const std::int32_t opt = in.options;
  if (pl >= 2) Say("Control Design Interface:");
  Reset();
  if (in.new_pattern) {
    stm_grouping_held_ = false;
    stm_grouplist_.clear();
    stm_structure_.clear();
  }

  const std::int32_t ns = in.nstates, nin = in.ninputs, nout = in.noutputs;
  const std::int64_t n = in.nvars;
  const bool stm_alone = opt == kCdiStm;
  const bool bad =
      (!stm_alone && (nin <= 0 || nout <= 0 || (in.dyn_count <= 0 && in.ss_count <= 0))) ||
      ns < 0 || in.nalgebraic < 0 || ns + in.nalgebraic == 0 || n <= 0 ||
      (ns > 0 && in.state_cols == nullptr) || (nin > 0 && in.input_cols == nullptr) ||
      (nout > 0 && in.output_cols == nullptr) || (in.scaling && in.scale == nullptr) ||
      !Unknowns(in.state_cols, ns, n) || !Unknowns(in.output_cols, nout, n);
  if (bad) {
    for (int m = kA; m <= kRga; ++m) status_[m] = kCdiBadInput;
    return;
  }

  auto scale_of = [&](int kind, std::int32_t i) {
    // kind 0 state, 1 output, 2 input
    if (!in.scaling) return 1.0;
    const std::int32_t base = kind == 0 ? 0 : kind == 1 ? ns : ns + nout;
    return in.scale[base + i];
  };
  auto keep = [&](Matrix m, double v, std::int32_t r, std::int32_t c, bool unit = false) {
    if (unit || std::fabs(v) > in.drop_tolerance) mats_[m].Add(v, r, c);
  };

  // Where each state and output sits among the unknowns.
  std::vector<std::int32_t> output_state(nout, -1);
  for (std::int32_t k = 0; k < nout; ++k) {
    for (std::int32_t j = 0; j < ns; ++j) {
      if (in.output_cols[k] == in.state_cols[j]) output_state[k] = j;
    }
  }

  const bool want_ac = (opt & (kCdiA | kCdiC | kCdiStm | kCdiStepResponse)) != 0;
  const bool want_bd = (opt & (kCdiB | kCdiD | kCdiStepResponse)) != 0;
  const bool want_dyn = (opt & (kCdiA | kCdiB | kCdiC | kCdiD | kCdiStepResponse | kCdiStm)) != 0;
  if (want_dyn) {
    SparseSystem dyn(n, in.linear_solver);
    bool ok = true;
    if (in.dyn_count <= 0 || ns <= 0) {
      status_[kA] = status_[kB] = status_[kC] = status_[kD] = kCdiNoStates;
      ok = false;
    } else {
      CopySquare(in.dyn_values, in.dyn_rows, in.dyn_cols, in.dyn_count, n, dyn);
      if (pl >= 5) {
        Say("Dynamic jacobian for A,B,C,D matrices:");
        dyn.Print();
      }
      const std::int64_t info = dyn.Factorize();
      if (info != kLsiOk) {
        const std::int32_t code = MapLsi(info, kCdiIndexAboveOne);
        status_[kA] = status_[kB] = status_[kC] = status_[kD] = code;
        ok = info == kLsiRankDeficient;
      }
    }
    const std::int32_t failed_code = status_[kA];
    if (ok && want_ac) {
      if (pl >= 2) Say("Computing A and C matrices...");
      for (std::int32_t j = 0; j < ns && ok; ++j) {
        std::vector<double> b =
            MinusColumn(in.ss_values, in.ss_rows, in.ss_cols, in.ss_count, n, in.state_cols[j]);
        const std::int64_t info = dyn.Solve(b);
        if (info != kLsiOk && info != kLsiRankDeficient) {
          status_[kA] = status_[kC] = MapLsi(info, kCdiIndexAboveOne);
          ok = false;
          break;
        }
        for (std::int32_t i = 0; i < ns; ++i) {
          keep(kA, b[in.state_cols[i] - 1] * scale_of(0, i) / scale_of(0, j), i + 1, j + 1);
        }
        for (std::int32_t k = 0; k < nout; ++k) {
          if (output_state[k] >= 0) {
            if (output_state[k] == j) keep(kC, scale_of(1, k) / scale_of(0, j), k + 1, j + 1, true);
          } else {
            keep(kC, b[in.output_cols[k] - 1] * scale_of(1, k) / scale_of(0, j), k + 1, j + 1);
          }
        }
      }
      if (ok) {
        const std::int32_t code = failed_code == kCdiIndeterminate ? kCdiIndeterminate : 0;
        if (opt & (kCdiA | kCdiStepResponse | kCdiStm))
          status_[kA] = code;
        else
          status_[kA] = kCdiNotComputed;
        if (opt & (kCdiC | kCdiStepResponse))
          status_[kC] = code;
        else
          status_[kC] = kCdiNotComputed;
      }
    }
    if (ok && want_bd) {
      if (pl >= 2) Say("Computing B and D matrices...");
      for (std::int32_t j = 0; j < nin && ok; ++j) {
        std::vector<double> b =
            MinusColumn(in.dyn_values, in.dyn_rows, in.dyn_cols, in.dyn_count, n, in.input_cols[j]);
        const std::int64_t info = dyn.Solve(b);
        if (info != kLsiOk && info != kLsiRankDeficient) {
          status_[kB] = status_[kD] = MapLsi(info, kCdiIndexAboveOne);
          ok = false;
          break;
        }
        for (std::int32_t i = 0; i < ns; ++i) {
          keep(kB, b[in.state_cols[i] - 1] * scale_of(0, i) / scale_of(2, j), i + 1, j + 1);
        }
        for (std::int32_t k = 0; k < nout; ++k) {
          if (output_state[k] >= 0) continue;
          keep(kD, b[in.output_cols[k] - 1] * scale_of(1, k) / scale_of(2, j), k + 1, j + 1);
        }
      }
      if (ok) {
        const std::int32_t code = failed_code == kCdiIndeterminate ? kCdiIndeterminate : 0;
        if (opt & (kCdiB | kCdiStepResponse))
          status_[kB] = code;
        else
          status_[kB] = kCdiNotComputed;
        if (opt & (kCdiD | kCdiStepResponse))
          status_[kD] = code;
        else
          status_[kD] = kCdiNotComputed;
      }
    }
    if (!want_ac && ok) status_[kA] = status_[kC] = kCdiNotComputed;
    if (!want_bd && ok) status_[kB] = status_[kD] = kCdiNotComputed;
  }

  // Steady-state gain and what follows from it.
  std::vector<double> g_dense;  // column-major, outputs x inputs
  if (opt & (kCdiG | kCdiRga | kCdiMri | kCdiNi)) {
    if (pl >= 2) Say("Computing the steady state gain (G) matrix...");
    SparseSystem ss(n, in.linear_solver);
    CopySquare(in.ss_values, in.ss_rows, in.ss_cols, in.ss_count, n, ss);
    if (pl >= 5) {
      Say("Steady state jacobian for G matrix:");
      ss.Print();
    }
    std::int64_t info = ss.Factorize();
    std::int32_t g_code = 0;
    if (info != kLsiOk) g_code = MapLsi(info, kCdiStructurallySingular);
    if (info == kLsiOk || info == kLsiRankDeficient) {
      g_dense.assign(static_cast<std::size_t>(nout) * nin, 0.0);
      for (std::int32_t j = 0; j < nin; ++j) {
        std::vector<double> b =
            MinusColumn(in.ss_values, in.ss_rows, in.ss_cols, in.ss_count, n, in.input_cols[j]);
        info = ss.Solve(b);
        if (info != kLsiOk && info != kLsiRankDeficient) {
          g_code = MapLsi(info, kCdiStructurallySingular);
          g_dense.clear();
          mats_[kG].Clear();
          break;
        }
        for (std::int32_t k = 0; k < nout; ++k) {
          const double v = b[in.output_cols[k] - 1] * scale_of(1, k) / scale_of(2, j);
          g_dense[static_cast<std::size_t>(j) * nout + k] = v;
          keep(kG, v, k + 1, j + 1);
        }
      }
    }
    status_[kG] = (opt & kCdiG) ? g_code : kCdiNotComputed;
    if (g_code != 0 && g_code != kCdiIndeterminate) {
      if (opt & kCdiRga) status_[kRga] = g_code;
      if (opt & kCdiMri) mri_status_ = g_code;
      if (opt & kCdiNi) ni_status_ = g_code;
      g_dense.clear();
    }
  }
  const bool have_g = !g_dense.empty();
  const bool square = nout == nin;

  if ((opt & kCdiRga) && have_g) {
    if (pl >= 2) Say("Computing Relative Gain Array (RGA)...");
    if (!square) {
      status_[kRga] = kCdiGNotSquare;
    } else {
      SparseSystem gs(nin, in.linear_solver);
      for (std::int32_t c = 0; c < nin; ++c) {
        for (std::int32_t r = 0; r < nout; ++r) {
          const double v = g_dense[static_cast<std::size_t>(c) * nout + r];
          if (v != 0.0) gs.Add(v, r + 1, c + 1);
        }
      }
      if (gs.Entries() == 0) {
        status_[kRga] = kCdiGSingular;
      } else {
        std::int64_t info = gs.Factorize();
        std::int32_t code = info == kLsiOk ? 0 : MapLsi(info, kCdiGSingular);
        if (code == 0) {
          std::vector<double> inv(static_cast<std::size_t>(nin) * nin);  // column-major
          for (std::int32_t i = 0; i < nin && code == 0; ++i) {
            std::vector<double> e(nin, 0.0);
            e[i] = 1.0;
            info = gs.Solve(e);
            if (info != kLsiOk) code = MapLsi(info, kCdiGSingular);
            for (std::int32_t r = 0; r < nin; ++r)
              inv[static_cast<std::size_t>(i) * nin + r] = e[r];
          }
          if (code == 0) {
            for (std::int32_t c = 0; c < nin; ++c) {
              for (std::int32_t r = 0; r < nin; ++r) {
                const double v = g_dense[static_cast<std::size_t>(c) * nin + r] *
                                 inv[static_cast<std::size_t>(r) * nin + c];
                keep(kRga, v, r + 1, c + 1);
              }
            }
          }
        }
        status_[kRga] = code;
      }
    }
  }

  if ((opt & kCdiMri) && have_g) {
    if (!square) {
      mri_status_ = kCdiGNotSquare;
    } else {
      if (pl >= 2)
        Say("Computing the Morari resiliency index (MRI) of the steady state gain matrix...");
      std::vector<double> a = g_dense, s(nin);
      const std::int32_t info = LapackSingularValues(nin, a.data(), s.data());
      if (info != 0) {
        mri_status_ = kCdiSvdFailed;
      } else {
        mri_ = s[nin - 1];
        mri_status_ = 0;
      }
    }
  }

  if ((opt & kCdiNi) && have_g) {
    if (!square) {
      ni_status_ = kCdiGNotSquare;
    } else {
      if (pl >= 2) Say("Computing the Nierderlinski index (NI) of the steady state gain matrix...");
      std::vector<double> a = g_dense, wr(nin), wi(nin);
      const std::int32_t info = LapackEigenvalues(nin, a.data(), wr.data(), wi.data());
      if (info != 0) {
        ni_status_ = kCdiSvdFailed;
      } else {
        double det = 1.0;
        for (std::int32_t i = 0; i < nin; ++i) {
          if (wi[i] == 0.0) {
            det *= wr[i];
          } else if (i + 1 < nin) {
            det *= wr[i] * wr[i] + wi[i] * wi[i];
            ++i;
          }
        }
        double p = 1.0;
        for (std::int32_t i = 0; i < nin; ++i) p *= g_dense[static_cast<std::size_t>(i) * nin + i];
        if (std::fabs(p) > in.machine_precision) {
          ni_ = det / p;
          ni_status_ = 0;
        } else {
          ni_status_ = kCdiGSingular;
        }
      }
    }
  }

  if (opt & kCdiStepResponse) {
    if (status_[kA] == 0 && status_[kB] == 0 && status_[kC] == 0 && status_[kD] == 0) {
      if (pl >= 2) Say("Generating step response...");
      StepResponse(in);
    } else if (pl >= 2) {
      Say("Generation of step response not possible because a state-space model could not be "
          "generated");
    }
  }
  if (opt & kCdiStm) {
    if (status_[kA] == 0) {
      if (pl >= 2) Say("Generating state transition matrix...");
      StateTransition(in);
    } else if (pl >= 2) {
      Say("Generation of the state transition matrix is not possible because the A matrix of "
          "the state-space model could not be calculated");
    }
  }
  if (pl >= 2) {
    Summary(pl);
    Say("Control Design Interface computation completed.");
  }
}

void CDIcomponent::StepResponse(const CdiComputeInput& in) {
  const std::int32_t ns = in.nstates, nin = in.ninputs, nout = in.noutputs;
  const double h = sr_interval_ / sr_steps_;
  const std::int32_t pl = in.print_level;
  SparseSystem m(ns, in.linear_solver);
  std::vector<bool> has_diag(ns, false);
  const CdiTriplets& a = mats_[kA];
  for (std::int32_t e = 0; e < a.Count(); ++e) {
    const std::int32_t r = a.Rows()[e], c = a.Cols()[e];
    double v = -a.Values()[e];
    if (r == c) {
      v += 1.0 / h;
      has_diag[r - 1] = true;
    }
    m.Add(v, r, c);
  }
  for (std::int32_t i = 0; i < ns; ++i) {
    if (!has_diag[i]) m.Add(1.0 / h, i + 1, i + 1);
  }
  if (m.Factorize() != kLsiOk) {
    sr_status_ = -1;
    return;
  }
  // Dense copies of B, C, D: small beside the state count times the inputs.
  std::vector<double> bd(static_cast<std::size_t>(ns) * nin, 0.0);
  for (std::int32_t e = 0; e < mats_[kB].Count(); ++e)
    bd[static_cast<std::size_t>(mats_[kB].Cols()[e] - 1) * ns + mats_[kB].Rows()[e] - 1] =
        mats_[kB].Values()[e];
  std::vector<double> x(static_cast<std::size_t>(ns) * nin, 0.0), xprev = x;
  std::vector<double> deriv(x.size(), 0.0), deriv_prev(x.size(), 0.0);
  std::vector<std::vector<double>> out;  // per interval, outputs x inputs
  bool unstable = false;
  std::int32_t consecutive = 0, count = 0;
  bool all_settled = false;
  while (true) {
    ++count;
    std::vector<double> y(static_cast<std::size_t>(nout) * nin, 0.0);
    all_settled = true;
    for (std::int32_t step = 0; step < sr_steps_; ++step) {
      // Each step is a solve per input, and there may be 2^32 of them.
      if (in.stop && in.stop()) {
        if (pl >= 2) {
          char line[96];
          std::snprintf(line, sizeof line, "Step response stopped at time %g",
                        (count - 1) * sr_interval_ + step * h);
          Say(line);
        }
        sr_status_ = -1;
        return;
      }
      const bool last = step + 1 == sr_steps_;
      for (std::int32_t j = 0; j < nin; ++j) {
        std::vector<double> rhs(ns);
        double* xj = &x[static_cast<std::size_t>(j) * ns];
        double* pj = &xprev[static_cast<std::size_t>(j) * ns];
        for (std::int32_t i = 0; i < ns; ++i) {
          pj[i] = xj[i];
          rhs[i] = xj[i] / h + bd[static_cast<std::size_t>(j) * ns + i];
        }
        if (m.Solve(rhs) != kLsiOk) {
          sr_status_ = -1;
          return;
        }
        for (std::int32_t i = 0; i < ns; ++i) {
          xj[i] = rhs[i];
          if (!(std::fabs(rhs[i]) <= sr_bound_)) unstable = true;
        }
        if (!last) continue;
        for (std::int32_t e = 0; e < mats_[kC].Count(); ++e) {
          const std::int32_t k = mats_[kC].Rows()[e] - 1, i = mats_[kC].Cols()[e] - 1;
          y[static_cast<std::size_t>(k) * nin + j] += mats_[kC].Values()[e] * xj[i];
        }
        for (std::int32_t e = 0; e < mats_[kD].Count(); ++e) {
          if (mats_[kD].Cols()[e] - 1 != j) continue;
          y[static_cast<std::size_t>(mats_[kD].Rows()[e] - 1) * nin + j] += mats_[kD].Values()[e];
        }
        bool settled = true;
        for (std::int32_t i = 0; i < ns; ++i) {
          const std::size_t at = static_cast<std::size_t>(j) * ns + i;
          deriv[at] = (xj[i] - pj[i]) / h;
          if (std::fabs(deriv[at]) > sr_tol_ &&
              std::fabs(deriv[at] - deriv_prev[at]) > std::fabs(xj[i]) * sr_tol_ + sr_tol_) {
            settled = false;
          }
          deriv_prev[at] = deriv[at];
        }
        if (!settled) all_settled = false;
      }
    }
    out.push_back(std::move(y));
    consecutive = all_settled ? consecutive + 1 : 0;
    if (unstable) break;
    if (all_settled && consecutive >= sr_settled_ && DividesListed(count)) break;
    if (count >= sr_max_) break;
  }
  char line[160];
  if (unstable) {
    if (pl >= 2) {
      std::snprintf(line, sizeof line,
                    "Step response calculated terminated at time %g since model is unstable",
                    count * sr_interval_);
      Say(line);
    }
    if (count > 30) {
      while (count > 30 && !DividesListed(count)) --count;
    }
  } else if (!(all_settled && consecutive >= sr_settled_)) {
    if (pl >= 2) {
      std::snprintf(line, sizeof line, "Step response not reached steady state at time %g",
                    count * sr_interval_);
      Say(line);
    }
  } else if (pl >= 2) {
    std::snprintf(line, sizeof line, "Step response time to reach steady state = %g",
                  count * sr_interval_);
    Say(line);
  }
  sr_intervals_ = count;
  sr_final_time_ = count * sr_interval_;
  sr_ramp_flags_.assign(nout, 0);
  if (count >= 2) {
    for (std::int32_t k = 0; k < nout; ++k) {
      for (std::int32_t j = 0; j < nin; ++j) {
        const double y1 = out[count - 1][static_cast<std::size_t>(k) * nin + j];
        const double y0 = out[count - 2][static_cast<std::size_t>(k) * nin + j];
        if (std::fabs(y1 - y0) > std::fabs(y1) * sr_ramp_ + sr_ramp_) sr_ramp_flags_[k] = 1;
      }
    }
  }
  sr_response_.assign(static_cast<std::size_t>(nout) * nin * count, 0.0);
  for (std::int32_t k = 0; k < nout; ++k)
    for (std::int32_t j = 0; j < nin; ++j)
      for (std::int32_t t = 0; t < count; ++t)
        sr_response_[(static_cast<std::size_t>(k) * nin + j) * count + t] =
            out[t][static_cast<std::size_t>(k) * nin + j];
  if (pl >= 2) {
    std::snprintf(line, sizeof line, "Number of intervals produced = %d", count);
    Say(line);
  }
  sr_status_ = 0;
}

void CDIcomponent::StateTransition(const CdiComputeInput& in) {
  const std::int32_t ns = in.nstates;
  const std::int32_t pl = in.print_level;
  // Renumber the states that stay.
  std::vector<std::int32_t> newnum(ns, -1);
  std::int32_t nk = 0;
  for (std::int32_t i = 0; i < ns; ++i) {
    bool excluded = false;
    for (std::int32_t c : stm_excluded_) excluded = excluded || c == in.state_cols[i];
    if (!excluded) newnum[i] = nk++;
  }
  if (nk == 0) {
    status_[kStm] = kCdiProblemNoStates;
    return;
  }
  const double h = stm_h_;
  SparseSystem m(nk, in.linear_solver);
  std::vector<bool> has_diag(nk, false);
  const CdiTriplets& a = mats_[kA];
  for (std::int32_t e = 0; e < a.Count(); ++e) {
    const std::int32_t r = newnum[a.Rows()[e] - 1], c = newnum[a.Cols()[e] - 1];
    if (r < 0 || c < 0) continue;
    double v = -a.Values()[e];
    if (r == c) {
      v += 1.0 / h;
      has_diag[r] = true;
    }
    m.Add(v, r + 1, c + 1);
  }
  for (std::int32_t i = 0; i < nk; ++i) {
    if (!has_diag[i]) m.Add(1.0 / h, i + 1, i + 1);
  }
  if (pl >= 5) {
    Say("Implicit Euler integration matrix for STM calculation:");
    m.Print();
  }
  if (m.Factorize() != kLsiOk) {
    status_[kStm] = kCdiStructurallySingular;
    return;
  }
  if (!stm_grouping_held_ || static_cast<std::int32_t>(stm_structure_.size()) != nk) {
    stm_structure_.assign(nk, {});
    std::vector<std::int64_t> irow, jcol;
    for (std::int32_t j = 0; j < nk; ++j) {
      std::vector<double> e(nk, 0.0);
      e[j] = 1.0;
      if (m.Solve(e) != kLsiOk) {
        status_[kStm] = kCdiStmTooBig;
        return;
      }
      for (std::int32_t i = 0; i < nk; ++i) {
        if (e[i] != 0.0) stm_structure_[j].push_back(i);
      }
    }
    // Sorted by row for the grouping.
    for (std::int32_t i = 0; i < nk; ++i) {
      for (std::int32_t j = 0; j < nk; ++j) {
        const auto& col = stm_structure_[j];
        if (std::binary_search(col.begin(), col.end(), i)) {
          irow.push_back(i + 1);
          jcol.push_back(j + 1);
        }
      }
    }
    const std::int64_t ne = static_cast<std::int64_t>(irow.size());
    const std::int64_t mrows = nk, ncol = nk;
    std::int64_t ngrp = 0;
    std::vector<std::int64_t> grouplist(2 * nk + 1), group(nk), rowstart(nk + 1), colstart(nk + 1),
        mark(nk), order(std::max<std::int64_t>(ne, 1));
    GroupColumnsForPerturbation(mrows, ncol, ne, irow.data(), jcol.data(), grouplist.data(), ngrp,
                                group.data(), rowstart.data(), colstart.data(), mark.data(),
                                order.data());
    if (ngrp < 0) {
      status_[kStm] = kCdiLinearAlgebra;
      return;
    }
    grouplist.resize(ngrp + nk);
    stm_grouplist_ = grouplist;
    stm_groups_ = static_cast<std::int32_t>(ngrp);
    stm_grouping_held_ = true;
    if (pl >= 3) {
      char line[96];
      std::snprintf(line, sizeof line, "Number of integrations required to generate STM = %d",
                    stm_groups_);
      Say(line);
    }
  }
  // Column of a renumbered state back to the state's list position.
  std::vector<std::int32_t> original(nk);
  for (std::int32_t i = 0; i < ns; ++i)
    if (newnum[i] >= 0) original[newnum[i]] = i;
  std::size_t at = 0;
  for (std::int32_t g = 0; g < stm_groups_; ++g) {
    const std::int64_t size = stm_grouplist_[at++];
    std::vector<std::int32_t> cols;
    std::vector<double> x(nk, 0.0);
    for (std::int64_t c = 0; c < size; ++c) {
      const std::int32_t col = static_cast<std::int32_t>(stm_grouplist_[at++]) - 1;
      cols.push_back(col);
      x[col] = 1.0;
      if (pl >= 4) {
        char line[64];
        std::snprintf(line, sizeof line, "Group %d: perturb variable %d", g + 1, col + 1);
        Say(line);
      }
    }
    for (double t = 0.0; t < stm_t_; t += h) {
      // T over h is the request's to choose: 10^20 steps, or more than
      // t + h can count, must still end when the engine stops.
      if (in.stop && in.stop()) {
        if (pl >= 2) {
          char line[96];
          std::snprintf(line, sizeof line, "State transition matrix stopped at time %g", t);
          Say(line);
        }
        mats_[kStm].Clear();
        status_[kStm] = kCdiNotComputed;
        return;
      }
      bool overflow = false;
      for (double& v : x) {
        v /= h;
        if (!(std::fabs(v) <= 1e+50)) overflow = true;
      }
      if (overflow || m.Solve(x) != kLsiOk) {
        mats_[kStm].Clear();
        status_[kStm] = kCdiStmTooBig;
        return;
      }
    }
    for (std::int32_t col : cols) {
      auto add = [&](std::int32_t row) {
        if (std::fabs(x[row]) > stm_threshold_)
          mats_[kStm].Add(x[row], original[row] + 1, original[col] + 1);
      };
      if (cols.size() == 1) {
        for (std::int32_t row = 0; row < nk; ++row) add(row);
      } else {
        for (std::int32_t row : stm_structure_[col]) add(row);
      }
    }
  }
  status_[kStm] = 0;
}

void CDIcomponent::Summary(std::int32_t pl) const {
  Say("CDI summary of matrices computed:");
  bool indeterminate = false;
  char line[128];
  for (int m = 0; m < kMatrices; ++m) {
    if (status_[m] == kCdiNotComputed) continue;
    if (status_[m] == 0 || status_[m] == kCdiIndeterminate) {
      indeterminate = indeterminate || status_[m] == kCdiIndeterminate;
      std::snprintf(line, sizeof line, "%s matrix computed, number of non-zero elements = %d",
                    kMatrixNames[m], mats_[m].Count());
      Say(line);
      if (pl >= 3 && mats_[m].Count() > 0) {
        Say("Elements:");
        const std::int64_t ne = mats_[m].Count();
        std::vector<std::int64_t> r(ne), c(ne), idx(ne);
        for (std::int64_t e = 0; e < ne; ++e) {
          r[e] = mats_[m].Rows()[e];
          c[e] = mats_[m].Cols()[e];
        }
        PrintSparseTriplets(r.data(), c.data(), mats_[m].Values().data(), nullptr, idx.data(), ne);
      }
    } else {
      std::snprintf(line, sizeof line,
                    "%s matrix requested but unavailable due to error:", kMatrixNames[m]);
      Say(line);
      Say(CdiErrorText(status_[m]));
    }
  }
  if (indeterminate) Say("Warning: your model contained indeterminate variables");
  if (mri_status_ == 0) {
    std::snprintf(line, sizeof line, "MRI = %e", mri_);
    Say(line);
  } else {
    Say("MRI unavailable");
  }
  if (ni_status_ == 0) {
    std::snprintf(line, sizeof line, "NI = %e", ni_);
    Say(line);
  } else {
    Say("NI unavailable");
  }
}

std::int32_t CDIcomponent::GetStepResponse(std::vector<double>* responses, std::int32_t* intervals,
                                           double* final_time,
                                           std::vector<std::int32_t>* ramp_flags) const {
  if (sr_status_ == 0) {
    if (responses != nullptr) *responses = sr_response_;
    if (intervals != nullptr) *intervals = sr_intervals_;
    if (final_time != nullptr) *final_time = sr_final_time_;
    if (ramp_flags != nullptr) *ramp_flags = sr_ramp_flags_;
  }
  return sr_status_;
}

std::int32_t CDIcomponent::GetMatrix(std::int32_t bit, std::vector<double>* values,
                                     std::vector<std::int32_t>* rows,
                                     std::vector<std::int32_t>* cols, std::int32_t* count,
                                     std::int32_t* status) const {
  const int m = IndexOfBit(bit);
  if (m < 0) {
    if (status != nullptr) *status = kCdiBadInput;
    return kCdiBadInput;
  }
  if (status != nullptr) *status = status_[m];
  if (status_[m] != 0 && status_[m] != kCdiIndeterminate) return status_[m];
  const std::int32_t n = mats_[m].Count();
  if (values != nullptr) values->assign(mats_[m].Values().begin(), mats_[m].Values().begin() + n);
  if (rows != nullptr) rows->assign(mats_[m].Rows().begin(), mats_[m].Rows().begin() + n);
  if (cols != nullptr) cols->assign(mats_[m].Cols().begin(), mats_[m].Cols().begin() + n);
  if (count != nullptr) *count = n;
  return status_[m];
}

std::int32_t CDIcomponent::GetMRI(double* mri) const {
  if (mri_status_ == 0 && mri != nullptr) *mri = mri_;
  return mri_status_;
}

std::int32_t CDIcomponent::GetNI(double* ni) const {
  if (ni_status_ == 0 && ni != nullptr) *ni = ni_;
  return ni_status_;
}
