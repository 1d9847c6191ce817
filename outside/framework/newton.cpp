#include "outside/framework/newton.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "outside/framework/linear_core.h"
#include "solve/ifaces/kvs_linear.h"

namespace kvs {
namespace {

constexpr Status kNoInterface = 0x80004002u;
constexpr double kInf = std::numeric_limits<double>::infinity();

enum Method : std::int32_t { kHybrid = 0, kNewton = 1, kFastNewton = 2 };

struct Settings {
  std::int32_t method = kHybrid;
  bool dogleg = true;
  double res_tol = 1e-8, abs_tol = 1e-8, rel_tol = 1e-8;
  std::int32_t conv_test = 0, iterations = 100, min_iterations = 0;
  double max_var_step = 1e6;
  std::int32_t hi_var_steps = 20;
  double range_frac = 1.0, bound_frac = 0.9, clip_factor = 0.1;
  double min_non_zero = 0.0, singul_factor = 0.01;
  std::int32_t indet_handle = 0, max_div_steps = 10;
  double hi_res = 1e20;
  std::int32_t creep_iter = 0;
  double creep_size = 0.1;
  std::int32_t max_step_red = 10, max_fn_iterations = 5;
  bool best_after_failure = true;
  std::int32_t print_level = 0, mprint = 1, ip_conv_info = 0;
  std::int32_t triangularise = 0;
  std::int32_t corrector_step = 0;
  double corrector_coefficient = 0.0;
  LinearSettings linear;
};

double Norm2(const std::vector<double>& v) {
  double s = 0;
  for (double e : v) s += e * e;
  return std::sqrt(s);
}
double MaxAbs(const std::vector<double>& v) {
  double m = 0;
  for (double e : v) m = std::max(m, std::fabs(e));
  return m;
}
bool Finite(const std::vector<double>& v) {
  for (double e : v)
    if (!std::isfinite(e)) return false;
  return true;
}

enum class Eval { kOk, kBad, kSevere };

class NonlinearSystem final : public KVSNLASystem,
                              public KVSParameters,
                              public KVSLinearDependency,
                              RefCounted {
 public:
  NonlinearSystem(KVSNumericAlgebraicESO* eso, KVSMessagesHandler* handler,
                  std::unique_ptr<SparseLu> lu)
      : eso_(eso), handler_(handler), core_(std::move(lu)), print_(handler, &s_.print_level) {
    eso_->AddRef();
    auto& p = params_;
    p.AddChoice("NewtonMethod", &s_.method, {"Hybrid", "Newton", "Fast Newton"});
    p.AddBool("DogLeg", &s_.dogleg);
    p.AddReal("ResTol", &s_.res_tol, 0, kInf);
    p.AddReal("AbsTol", &s_.abs_tol, 0, kInf);
    p.AddReal("RelTol", &s_.rel_tol, 0, kInf);
    p.AddInt("ConvTest", &s_.conv_test, 0, 3);
    p.AddInt("Iterations", &s_.iterations, 0, 1 << 30);
    p.AddInt("MinimumIterations", &s_.min_iterations, 0, 1 << 30);
    p.AddReal("MaxVarStep", &s_.max_var_step, 0, kInf);
    p.AddInt("HiVarSteps", &s_.hi_var_steps, 0, 1 << 30);
    p.AddReal("RangeFrac", &s_.range_frac, 0, kInf);
    p.AddReal("BoundFrac", &s_.bound_frac, 0, 1);
    p.AddReal("ClipFactor", &s_.clip_factor, 0, 1);
    p.AddReal("MinNonZero", &s_.min_non_zero, 0, kInf);
    p.AddReal("SingulFactor", &s_.singul_factor, 0, 1);
    p.AddInt("IndetHandle", &s_.indet_handle, 0, 1 << 30);
    p.AddInt("MaxDivSteps", &s_.max_div_steps, 0, 1 << 30);
    p.AddReal("HiRes", &s_.hi_res, 0, kInf);
    p.AddInt("CreepIter", &s_.creep_iter, 0, 1 << 30);
    p.AddReal("CreepSize", &s_.creep_size, 0, 1);
    p.AddInt("MaxStepRed", &s_.max_step_red, 0, 200);
    p.AddInt("MaxFNIterations", &s_.max_fn_iterations, 1, 1 << 30);
    p.AddBool("BestAfterFailure", &s_.best_after_failure);
    p.AddInt("PrintLevel", &s_.print_level, -100, 100);
    p.AddInt("MPrint", &s_.mprint, 1, 1 << 30);
    p.AddInt("IpConvInfo", &s_.ip_conv_info, -(1 << 30), 1 << 30);
    p.AddReal("SLU.DropTolerance", &s_.linear.lu.drop_tolerance, 0, kInf);
    p.AddReal("SLU.PivotTolerance", &s_.linear.lu.pivot_tolerance, 0, 1);
    p.AddBool("SLU.UseTranspose", &s_.linear.lu.transpose);
    p.AddBool("SLU.ScaleMatrix", &s_.linear.lu.scale);
    p.AddBool("SLU.RePivot", &s_.linear.lu.repivot);
    p.AddInt("SLU.PivotSearch", &s_.linear.lu.strategy, 0, 2);
    p.AddChoice("SLU.Triangularisation", &s_.triangularise, {"Yes", "No"});
    p.AddInt("CorrectorStep", &s_.corrector_step, 0, 2);
    p.AddReal("CorrectorCoefficient", &s_.corrector_coefficient, 0, kInf);
  }

  // False when the equation set's sizes or structure are unusable.
  bool ReadProblem() {
    std::int32_t nv = 0, ne = 0, nz = 0;
    if (eso_->GetNumVariables(&nv) != 0 || eso_->GetNumEquations(&ne) != 0 ||
        eso_->GetNumNonZeros(&nz) != 0 || nv < 1 || nv != ne || nz < 0)
      return false;
    n_ = nv;
    marked_rank_ = nv;
    std::vector<std::int32_t> rows(static_cast<size_t>(nz)), cols(static_cast<size_t>(nz)),
        kinds(static_cast<size_t>(nz));
    if (nz > 0 && eso_->GetStructure(rows.data(), cols.data(), kinds.data()) != 0) return false;
    rows_.assign(rows.begin(), rows.end());
    cols_.assign(cols.begin(), cols.end());
    jac_.assign(size_t(nz), 0.0);
    lower_.assign(size_t(n_), -kInf);
    upper_.assign(size_t(n_), kInf);
    if (eso_->GetVariableBounds(nullptr, lower_.data(), upper_.data()) != 0) return false;
    for (size_t i = 0; i < size_t(n_); ++i)
      if (std::isnan(lower_[i]) || std::isnan(upper_[i]) || lower_[i] > upper_[i]) return false;
    return core_.SetPattern(n_, nz, rows_.data(), cols_.data());
  }

  Status QueryInterface(const platform::IID& iid, void** out) override {
    if (out == nullptr) return kNoInterface;
    if (iid == platform::IID_IUnknown || iid == IID_KVSParameters)
      *out = static_cast<KVSParameters*>(this);
    else if (iid == IID_KVSLinearDependency)
      *out = static_cast<KVSLinearDependency*>(this);
    else {
      *out = nullptr;
      return kNoInterface;
    }
    AddRefImpl();
    return 0;
  }
  std::uint32_t AddRef() override { return AddRefImpl(); }
  std::uint32_t Release() override { return ReleaseImpl(); }

  Status GetCount(std::int32_t* count) override {
    if (count == nullptr) return kParamBadArgument;
    *count = params_.Count();
    return 0;
  }
  Status GetNames(char*** names) override { return params_.Names(names); }
  Status GetValue(const char* name, std::int32_t* kind, void* value) override {
    return params_.Get(name, kind, value);
  }
  Status Set(const char* name, std::int32_t kind, const void* value) override {
    return params_.Set(name, kind, value);
  }

  // The Jacobian whose dependent equations the last solve marked: its rank
  // (the order when none were marked) and the 1-based rows and columns,
  // the dependent pairs from the rank on.
  Status GetRank(std::int32_t* rank) override {
    if (rank == nullptr) return kNlaBadProblem;
    *rank = marked_rank_;
    return 0;
  }
  Status GetDependentRows(std::int32_t* rows) override { return Marked(marked_rows_, rows); }
  Status GetDependentCols(std::int32_t* cols) override { return Marked(marked_cols_, cols); }

  Status Solve(std::int32_t, Status* detail) override {
    last_status_ = 0;
    marked_rank_ = n_;
    const Status result = Run();
    if (detail != nullptr) *detail = last_status_;
    if (s_.ip_conv_info != 0 && handler_ != nullptr) {
      char text[160];
      std::snprintf(text, sizeof text, "%s after %d iterations, largest residual %.6e",
                    result == 0 ? "Converged" : "Failed", iteration_, MaxAbs(f_));
      handler_->Print(text, 0, 0);
    }
    return result;
  }

 private:
  ~NonlinearSystem() override { eso_->Release(); }

  // Sets x in the equation set (unless it holds x already) and evaluates there.
  Eval Evaluate(const std::vector<double>& x, std::vector<double>& f, bool jacobian,
                bool set = true) {
    Status s = set ? eso_->SetVariableValues(nullptr, x.data()) : 0;
    if (s == 0) {
      const std::uint32_t flags = kKvsResiduals | (jacobian ? kKvsJacobian : 0u);
      s = eso_->Evaluate(nullptr, f.data(), jacobian ? jac_.data() : nullptr, flags);
    }
    if (s == kKvsSevere || status::IsSevere(s)) {
      last_status_ = s;
      return Eval::kSevere;
    }
    if (s != 0) {
      last_status_ = s;
      return Eval::kBad;
    }
    if (!Finite(f) || (jacobian && !Finite(jac_))) return Eval::kBad;
    if (jacobian) {
      ++jacobians_;
      for (double& v : jac_)
        if (std::fabs(v) < s_.min_non_zero) v = 0.0;
    }
    return Eval::kOk;
  }

  // Factorises the Jacobian last evaluated; false when the solver fails.
  // The rank is decided at round-off. Within a solve a singular Jacobian
  // then has its dependent pivots perturbed by SingulFactor, so that a
  // step can still be taken: a group singular only where it starts
  // converges, and its singularity is reported only should it fail.
  bool Factorise(bool perturb) {
    s_.linear.singular_rcond = kKvsRankFloor;
    const FactorResult r = core_.Factorise(jac_.data(), s_.linear);
    if (r == FactorResult::kFailed) return false;
    full_rank_ = r == FactorResult::kOk;
    if (full_rank_) return true;
    singular_rank_ = core_.rank();
    if (perturb && core_.Perturb(s_.singul_factor, s_.linear)) {
      pending_singular_ = true;
      return true;
    }
    ReportSingular();
    if (s_.indet_handle != 0) MarkIndeterminate();
    return true;
  }

  // A warning once per solve: a singular Jacobian usually stays so for
  // every iteration.
  void ReportSingular() {
    pending_singular_ = false;
    if (!warned_singular_) {
      print_(2, "Jacobian is singular: rank %lld of %d", static_cast<long long>(singular_rank_),
             n_);
    }
    warned_singular_ = true;
  }

  // A solve that met a singular Jacobian on its way and converged, or
  // started at its root and made no factors: its dependent equations are
  // marked only when the root itself is singular (the factors at hand may
  // be of an earlier iterate), and then at every solve.
  void MarkIfSingularAtRoot() {
    std::vector<double> f(f_.size());
    if (Evaluate(x_, f, true) != Eval::kOk) return;
    s_.linear.singular_rcond = kKvsRankFloor;
    full_rank_ = core_.Factorise(jac_.data(), s_.linear) != FactorResult::kSingular;
    if (!full_rank_) MarkIndeterminate();
  }

  void MarkIndeterminate() {
    if (core_.row_order().size() == size_t(n_) && core_.col_order().size() == size_t(n_)) {
      marked_rank_ = std::int32_t(core_.rank());
      marked_rows_.clear();
      marked_cols_.clear();
      for (std::int64_t r : core_.row_order()) marked_rows_.push_back(std::int32_t(r + 1));
      for (std::int64_t c : core_.col_order()) marked_cols_.push_back(std::int32_t(c + 1));
    }
    void* ext = nullptr;
    if (eso_->QueryInterface(IID_KVSNumericESODecompExtension, &ext) != 0 || ext == nullptr) return;
    auto* decomp = static_cast<KVSNumericESODecompExtension*>(ext);
    const auto& rows = core_.row_order();
    for (size_t k = size_t(core_.rank()); k < rows.size(); ++k)
      decomp->SetEquationAttribute(std::int32_t(rows[k]), "Indeterminate", 1);
    decomp->Release();
  }

  // The Newton step -J^-1 F with the factors held.
  bool NewtonStep(std::vector<double>& step) {
    std::vector<double> rhs(f_.size());
    for (size_t i = 0; i < f_.size(); ++i) rhs[i] = -f_[i];
    return core_.Solve(rhs.data(), step.data(), s_.linear) != SolveResult::kFailed && Finite(step);
  }

  // Shortens `step` for MaxVarStep, RangeFrac and the bounds; true when
  // anything was cut.
  bool Clip(std::vector<double>& step) {
    const size_t n = step.size();
    double t = 1.0;
    for (size_t i = 0; i < n; ++i) {
      const double a = std::fabs(step[i]);
      if (a == 0) continue;
      t = std::min(t, s_.max_var_step * std::max(1.0, std::fabs(x_[i])) / a);
      // A range fraction of 0 sets no limit: the engine's default would
      // otherwise freeze every variable bounded on both sides.
      if (s_.range_frac > 0 && std::isfinite(lower_[i]) && std::isfinite(upper_[i]))
        t = std::min(t, s_.range_frac * (upper_[i] - lower_[i]) / a);
    }
    bool cut = false;
    var_limited_ = t < 1.0;
    if (t < 1.0) {
      for (double& e : step) e *= t;
      cut = true;
    }
    double alpha = 1.0;
    for (size_t i = 0; i < n; ++i) {
      const double to = x_[i] + step[i];
      if (to < lower_[i]) alpha = std::min(alpha, s_.bound_frac * (x_[i] - lower_[i]) / -step[i]);
      if (to > upper_[i]) alpha = std::min(alpha, s_.bound_frac * (upper_[i] - x_[i]) / step[i]);
    }
    if (alpha >= 1.0) return cut;
    print_(3, "Step cut to %.3g of its length by the bounds", alpha);
    if (alpha >= s_.clip_factor) {
      for (double& e : step) e *= alpha;
    } else {
      for (size_t i = 0; i < n; ++i) {
        const double to = x_[i] + step[i];
        if (to < lower_[i]) step[i] = s_.bound_frac * (lower_[i] - x_[i]);
        if (to > upper_[i]) step[i] = s_.bound_frac * (upper_[i] - x_[i]);
      }
    }
    return true;
  }

  bool SmallStep(const std::vector<double>& step) const {
    for (size_t i = 0; i < step.size(); ++i)
      if (std::fabs(step[i]) > s_.abs_tol + s_.rel_tol * std::fabs(x_[i])) return false;
    return true;
  }

  bool Converged() const {
    if (iteration_ < s_.min_iterations) return false;
    const bool res = MaxAbs(f_) <= s_.res_tol;
    switch (s_.conv_test) {
      case 0:
        return res;
      case 1:
        return var_ok_;
      case 2:
        return res && var_ok_;
      default:
        return res || var_ok_;
    }
  }

  void Accept(const std::vector<double>& x, const std::vector<double>& f) {
    x_ = x;
    f_ = f;
    const double norm = Norm2(f_);
    if (norm < best_norm_) {
      best_norm_ = norm;
      best_x_ = x_;
    }
  }

  Status Fail(Status code, const char* why) {
    // The perturbed steps did not lead to a root: the singularity was real.
    if (pending_singular_) {
      ReportSingular();
      if (s_.indet_handle != 0 && !full_rank_) MarkIndeterminate();
    }
    print_(1, "Nonlinear solver failed: %s", why);
    const std::vector<double>& keep = s_.best_after_failure && !best_x_.empty() ? best_x_ : x_;
    std::vector<double> f(f_.size());
    if (Evaluate(keep, f, false) == Eval::kSevere) return kKvsSevere;
    if (&keep != &x_) f_ = f;
    return code;
  }

  Status Run() {
    if (s_.corrector_step != 0) return CorrectorStep();
    corrector_factors_ = -1.0;
    iteration_ = 0;
    jacobians_ = 0;
    const size_t n = size_t(n_);
    x_.assign(n, 0.0);
    f_.assign(n, 0.0);
    if (eso_->GetVariableValues(nullptr, x_.data()) != 0 || !Finite(x_)) return kNlaBadStart;
    for (size_t i = 0; i < n; ++i) x_[i] = std::clamp(x_[i], lower_[i], upper_[i]);
    switch (Evaluate(x_, f_, false)) {
      case Eval::kSevere:
        return kKvsSevere;
      case Eval::kBad:
        return kNlaBadStart;
      case Eval::kOk:
        break;
    }
    best_x_ = x_;
    best_norm_ = Norm2(f_);
    warned_singular_ = pending_singular_ = false;
    var_ok_ = false;
    have_factors_ = false;
    div_steps_ = creeps_ = var_limited_steps_ = reuse_ = 0;
    delta_ = 0;
    scale_.assign(n, 0.0);
    for (;;) {
      // A line per iteration is for watching a solve: a dynamic run makes
      // millions of them.
      if (iteration_ % s_.mprint == 0)
        print_(3, "Iteration %d: largest residual %.6e", iteration_, MaxAbs(f_));
      if (Converged()) {
        if ((pending_singular_ || iteration_ == 0) && s_.indet_handle != 0) MarkIfSingularAtRoot();
        return 0;
      }
      if (iteration_ >= s_.iterations) return Fail(kNlaIterationLimit, "iteration limit reached");
      ++iteration_;
      Status r = 0;
      switch (s_.method) {
        case kHybrid:
          r = HybridStep();
          break;
        case kNewton:
          r = NewtonIteration(false);
          break;
        default:
          r = NewtonIteration(true);
          break;
      }
      if (r != 0) return r;
      // A step on perturbed pivots has the length the perturbation gives
      // it: its cut says nothing of the iteration running away.
      var_limited_steps_ = var_limited_ && full_rank_ ? var_limited_steps_ + 1 : 0;
      // 0 sets no bound, as HiRes reads 0: the engine's reset value is 0.
      if (s_.hi_var_steps > 0 && var_limited_steps_ > s_.hi_var_steps)
        return Fail(kNlaNoProgress, "steps keep hitting the largest variable step");
    }
  }

  // One step of a corrector iteration: the residuals once, the Jacobian
  // only at a set-up or without factors, the step on factors made at
  // another coefficient scaled by 2 / (1 + c / c_factors). No test of
  // convergence: the integrator judges the whole iteration.
  Status CorrectorStep() {
    iteration_ = 0;
    const size_t n = size_t(n_);
    x_.assign(n, 0.0);
    f_.assign(n, 0.0);
    if (eso_->GetVariableValues(nullptr, x_.data()) != 0 || !Finite(x_)) return kNlaBadStart;
    bool moved = false;
    for (size_t i = 0; i < n; ++i) {
      const double within = std::clamp(x_[i], lower_[i], upper_[i]);
      moved = moved || within != x_[i];
      x_[i] = within;
    }
    const double c = s_.corrector_coefficient;
    const bool refresh = s_.corrector_step == 2 || corrector_factors_ < 0.0;
    // The equation set holds these values already (and, in a corrector,
    // the derivatives that go with them): they are set again only when a
    // bound moved one.
    switch (Evaluate(x_, f_, refresh, moved)) {
      case Eval::kSevere:
        return kKvsSevere;
      case Eval::kBad:
        return kNlaBadStart;
      case Eval::kOk:
        break;
    }
    if (refresh) {
      corrector_factors_ = -1.0;
      // The integrator answers a singular corrector matrix with a shorter
      // step, which changes the matrix: no perturbation here.
      if (!Factorise(false)) return kNlaLinearFailed;
      if (!full_rank_) return kNlaLinearFailed;
      corrector_factors_ = c;
    }
    std::vector<double>& step = corrector_room_;  // kept: a step per pass per group
    step.assign(n, 0.0);
    if (!NewtonStep(step)) return kNlaLinearFailed;
    double scale = 1.0;
    if (c > 0.0 && corrector_factors_ > 0.0 && c != corrector_factors_)
      scale = 2.0 / (1.0 + c / corrector_factors_);
    for (double& e : step) e *= scale;
    Clip(step);
    iteration_ = 1;
    for (size_t i = 0; i < n; ++i) x_[i] += step[i];
    if (eso_->SetVariableValues(nullptr, x_.data()) != 0) return kNlaBadStart;
    return 0;
  }

  // Returns 0 to go on, else the solve's result.
  Status NewtonIteration(bool fast) {
    const size_t n = size_t(n_);
    std::vector<double> step(n), trial(n), ft(n);
    const double norm = Norm2(f_);
    bool fresh = false;
    if (!fast || !have_factors_ || reuse_ >= s_.max_fn_iterations) {
      if (Status s = Refresh(); s != 0) return s;
      fresh = true;
    }
    if (!NewtonStep(step)) return Fail(kNlaLinearFailed, "the linear solver failed");
    bool newton_step = !Clip(step) && full_rank_;
    if (fast && !fresh) {
      // Old factors: keep the step only when it contracts well.
      for (size_t i = 0; i < n; ++i) trial[i] = x_[i] + step[i];
      const Eval e = Evaluate(trial, ft, false);
      if (e == Eval::kSevere) return kKvsSevere;
      if (e == Eval::kOk && Norm2(ft) <= 0.5 * norm) {
        ++reuse_;
        var_ok_ = false;  // the factors are not of this point
        Accept(trial, ft);
        return 0;
      }
      if (Status s = Refresh(); s != 0) return s;
      if (!NewtonStep(step)) return Fail(kNlaLinearFailed, "the linear solver failed");
      newton_step = !Clip(step) && full_rank_;
    }
    reuse_ = 1;
    double lambda = 1.0;
    for (int halvings = 0;; ++halvings) {
      for (size_t i = 0; i < n; ++i) trial[i] = x_[i] + lambda * step[i];
      const Eval e = Evaluate(trial, ft, false);
      if (e == Eval::kSevere) return kKvsSevere;
      // At the tolerance already (a forced step at the root) no fall is needed.
      if (e == Eval::kOk && (Norm2(ft) <= (1 - 1e-4 * lambda) * norm || MaxAbs(ft) <= s_.res_tol))
        break;
      if (halvings >= s_.max_step_red) {
        if (creeps_ >= s_.creep_iter) return Fail(kNlaNoProgress, "no step lowers the residual");
        ++creeps_;
        lambda = s_.creep_size;
        for (size_t i = 0; i < n; ++i) trial[i] = x_[i] + lambda * step[i];
        const Eval c = Evaluate(trial, ft, false);
        if (c == Eval::kSevere) return kKvsSevere;
        if (c != Eval::kOk) return Fail(kNlaNoProgress, "no step lowers the residual");
        break;
      }
      lambda *= 0.5;
    }
    var_ok_ = newton_step && lambda == 1.0 && SmallStep(step);
    const double new_norm = Norm2(ft);
    // The engine's HiResidual is 0 unless the user sets a bound.
    div_steps_ = (new_norm > norm || (s_.hi_res > 0 && new_norm > s_.hi_res)) ? div_steps_ + 1 : 0;
    Accept(trial, ft);
    if (div_steps_ > s_.max_div_steps) return Fail(kNlaNoProgress, "the iteration diverges");
    return 0;
  }

  // A Jacobian at x and its factors.
  Status Refresh() {
    std::vector<double> f(f_.size());
    const Eval e = Evaluate(x_, f, true);
    if (e == Eval::kSevere) return kKvsSevere;
    if (e == Eval::kBad) return Fail(kNlaNoProgress, "the Jacobian cannot be evaluated");
    if (!Factorise(true)) return Fail(kNlaLinearFailed, "the linear solver failed");
    have_factors_ = true;
    return 0;
  }

  double ScaledNorm(const std::vector<double>& v) const {
    double s = 0;
    for (size_t i = 0; i < v.size(); ++i) s += (scale_[i] * v[i]) * (scale_[i] * v[i]);
    return std::sqrt(s);
  }

  // One Jacobian, then trial steps in a shrinking trust region until one
  // lowers the residual norm enough.
  Status HybridStep() {
    const size_t n = size_t(n_);
    if (Status s = Refresh(); s != 0) return s;
    // Column norms scale the variables; they only grow, as in Powell's method.
    std::vector<double> col(n, 0.0);
    for (size_t k = 0; k < jac_.size(); ++k) col[size_t(cols_[k] - 1)] += jac_[k] * jac_[k];
    for (size_t j = 0; j < n; ++j) {
      scale_[j] = std::max(scale_[j], std::sqrt(col[j]));
      if (scale_[j] == 0) scale_[j] = 1.0;
    }
    if (delta_ == 0) {
      delta_ = 100.0 * ScaledNorm(x_);
      if (delta_ == 0) delta_ = 100.0;
    }
    std::vector<double> newton(n), grad(n), dir(n), jd(n), step(n), trial(n), ft(n), jf(n);
    if (!NewtonStep(newton)) return Fail(kNlaLinearFailed, "the linear solver failed");
    core_.MultiplyTransposed(f_.data(), grad.data());
    double g2 = 0;
    for (size_t j = 0; j < n; ++j) {
      dir[j] = -grad[j] / (scale_[j] * scale_[j]);
      g2 += grad[j] * grad[j] / (scale_[j] * scale_[j]);
    }
    core_.Multiply(dir.data(), jd.data());
    const double jd2 = Norm2(jd) * Norm2(jd);
    const double norm = Norm2(f_);
    const double newton_length = ScaledNorm(newton);
    for (int trials = 0;; ++trials) {
      bool is_newton = false;
      if (newton_length <= delta_) {
        step = newton;
        is_newton = true;
      } else if (!s_.dogleg || jd2 == 0 || g2 == 0) {
        for (size_t j = 0; j < n; ++j) step[j] = newton[j] * delta_ / newton_length;
      } else {
        const double t = g2 / jd2;
        std::vector<double> cauchy(n);
        for (size_t j = 0; j < n; ++j) cauchy[j] = t * dir[j];
        const double cauchy_length = ScaledNorm(cauchy);
        if (cauchy_length >= delta_) {
          const double d = ScaledNorm(dir);
          for (size_t j = 0; j < n; ++j) step[j] = dir[j] * delta_ / d;
        } else {
          double a = 0, b = 0;
          for (size_t j = 0; j < n; ++j) {
            const double dj = scale_[j] * (newton[j] - cauchy[j]), cj = scale_[j] * cauchy[j];
            a += dj * dj;
            b += cj * dj;
          }
          const double c = cauchy_length * cauchy_length - delta_ * delta_;
          const double tau = a > 0 ? (-b + std::sqrt(std::max(0.0, b * b - a * c))) / a : 0.0;
          for (size_t j = 0; j < n; ++j) step[j] = cauchy[j] + tau * (newton[j] - cauchy[j]);
        }
      }
      const bool clipped = Clip(step);
      const double length = ScaledNorm(step);
      core_.Multiply(step.data(), jf.data());
      for (size_t i = 0; i < n; ++i) jf[i] += f_[i];
      const double predicted = norm * norm - Norm2(jf) * Norm2(jf);
      for (size_t i = 0; i < n; ++i) trial[i] = x_[i] + step[i];
      const Eval e = Evaluate(trial, ft, false);
      if (e == Eval::kSevere) return kKvsSevere;
      double ratio = -1;
      if (e == Eval::kOk && predicted > 0) {
        const double new_norm = Norm2(ft);
        ratio = (norm * norm - new_norm * new_norm) / predicted;
      }
      if (ratio < 0.1)
        delta_ = 0.5 * std::min(delta_, length);
      else if (ratio >= 0.75)
        delta_ = std::max(delta_, 2.0 * length);
      if (ratio >= 1e-4 || (e == Eval::kOk && MaxAbs(ft) <= s_.res_tol)) {
        var_ok_ = is_newton && !clipped && full_rank_ && SmallStep(step);
        Accept(trial, ft);
        return 0;
      }
      if (!(delta_ > 1e-15 * (ScaledNorm(x_) + 1e-300)) || trials > 200)
        return Fail(kNlaNoProgress, "the trust region collapsed without a lower residual");
    }
  }

  Status Marked(const std::vector<std::int32_t>& order, std::int32_t* out) const {
    if (out == nullptr) return kNlaBadProblem;
    for (std::int32_t k = 0; k < n_; ++k) out[k] = marked_rank_ < n_ ? order[size_t(k)] : k + 1;
    return 0;
  }

  KVSNumericAlgebraicESO* eso_;
  KVSMessagesHandler* handler_;
  LinearCore core_;
  Settings s_;
  ParameterTable params_;
  Printer print_;
  std::int32_t n_ = 0;
  std::vector<std::int64_t> rows_, cols_;
  std::vector<double> jac_, lower_, upper_, x_, f_, best_x_, scale_;
  double best_norm_ = kInf, delta_ = 0;
  // The coefficient the corrector's factors were made with; -1 for none.
  double corrector_factors_ = -1.0;
  std::vector<double> corrector_room_;
  bool var_ok_ = false, full_rank_ = true, have_factors_ = false, var_limited_ = false,
       warned_singular_ = false;
  // A singular Jacobian met and perturbed, not yet reported; its rank.
  bool pending_singular_ = false;
  std::int64_t singular_rank_ = 0;
  std::int32_t iteration_ = 0, jacobians_ = 0, div_steps_ = 0, creeps_ = 0, reuse_ = 0,
               var_limited_steps_ = 0;
  Status last_status_ = 0;
  std::int32_t marked_rank_ = 0;
  std::vector<std::int32_t> marked_rows_, marked_cols_;
};

class NonlinearFactory final : public KVSNLASystemFactory, public KVSUtilityComponent, RefCounted {
 public:
  NonlinearFactory(const LibraryTexts& texts, LuMaker lu) : texts_(texts), lu_(std::move(lu)) {}

  Status QueryInterface(const platform::IID& iid, void** out) override {
    if (out == nullptr) return kNoInterface;
    if (iid == platform::IID_IUnknown || iid == IID_KVSNLASystemFactory)
      *out = static_cast<KVSNLASystemFactory*>(this);
    else if (iid == IID_KVSUtilityComponent)
      *out = static_cast<KVSUtilityComponent*>(this);
    else {
      *out = nullptr;
      return kNoInterface;
    }
    AddRefImpl();
    return 0;
  }
  std::uint32_t AddRef() override { return AddRefImpl(); }
  std::uint32_t Release() override { return ReleaseImpl(); }

  Status CreateSystem(KVSNumericAlgebraicESO* eso, KVSMessagesHandler* handler,
                      KVSNLASystem** out) override {
    if (out == nullptr) return kNlaBadProblem;
    *out = nullptr;
    if (eso == nullptr) return kNlaBadProblem;
    auto* system = new NonlinearSystem(eso, handler, lu_());
    if (!system->ReadProblem()) {
      system->Release();
      return kNlaBadProblem;
    }
    *out = system;
    return 0;
  }

  Status GetVersion(char** text) override { return AnswerText(texts_.version, text); }
  Status GetProduct(char** text) override { return AnswerText(texts_.product, text); }
  Status GetDescription(char** text) override { return AnswerText(texts_.description, text); }
  Status DeleteThis() override {
    delete this;
    return 0;
  }
  Status GetName(char** text) override { return AnswerText(texts_.name, text); }

 private:
  LibraryTexts texts_;
  LuMaker lu_;
};

}  // namespace

platform::IUnknown* MakeNonlinearFactory(const LibraryTexts& texts, LuMaker lu) {
  return static_cast<KVSNLASystemFactory*>(new NonlinearFactory(texts, std::move(lu)));
}

}  // namespace kvs
