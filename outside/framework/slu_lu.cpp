// The adapter over our own sparse LU drivers. SluAnalyse chooses its pivots
// from values, so the analysis waits for the first set of values and is
// kept for the pattern's life; later sets are factorised with the kept
// pivots (JOB = 2), falling back to a factorisation in the analysed order
// (JOB = 1) and, should that come out singular, to one fresh analysis on
// the new values before the matrix is called singular. The row scaling is
// found with the analysis and kept for the refactorisations, so that a set
// of values costs one pass over the entries before the drivers; a fallback
// finds it afresh.
#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "numerics/sparse_lu/defaults.h"
#include "numerics/sparse_lu/slu_drivers.h"
#include "numerics/sparse_lu/slu_interface.h"
#include "outside/framework/recycle.h"
#include "outside/framework/sparse_lu.h"

namespace kvs {
namespace {

class SluLu final : public SparseLu {
 public:
  ~SluLu() override { GiveBack(rows_, cols_, row0_, irn_, jcn_, keep_, iw_, a_, w_, scale_, rhs_); }

  // With `transpose` the matrix kept is A^T (its rows are A's columns) and
  // A is solved through its transpose.
  bool Analyse(std::int64_t n, const std::int64_t* col_start, const std::int64_t* row_index,
               const LuSettings& settings) override {
    if (n < 1 || !Prepare(n, col_start[n], settings)) return false;
    for (std::int64_t j = 0; j < n; ++j)
      for (std::int64_t e = col_start[j]; e < col_start[j + 1]; ++e) {
        const std::int64_t i = row_index[e];
        if (i < 0 || i >= n) return false;
        Put(e, i, j);
      }
    return true;
  }

  bool TakesPairs() const override { return true; }
  bool AnalysePairs(std::int64_t n, std::int64_t count, const std::int32_t* rows,
                    const std::int32_t* cols, const LuSettings& settings) override {
    if (n < 1 || !Prepare(n, count, settings)) return false;
    const auto un = std::uint64_t(n);  // a negative index turns huge
    for (std::int64_t k = 0; k < count; ++k) {
      if (std::uint64_t(std::int64_t(rows[k])) >= un || std::uint64_t(std::int64_t(cols[k])) >= un)
        return false;
      Put(k, rows[k], cols[k]);
    }
    return true;
  }

  LuResult Factorise(const double* values, const LuSettings& settings,
                     double singular_rcond) override {
    factorised_ = false;
    if (n_ < 1) return LuResult::kFailed;
    // The analysis chooses the pivots, so new pivoting settings need a new
    // one; dropped entries leave no kept pivots to refactorise with.
    const bool fresh = !analysed_ || settings.repivot || settings.drop_tolerance > 0.0 ||
                       settings.pivot_tolerance != analysed_with_.pivot_tolerance ||
                       settings.scale != analysed_with_.scale;
    analysed_with_ = settings;
    singular_rcond_ = singular_rcond;
    Controls(settings);
    std::int64_t status = 0;
    if (fresh) {
      FindScaling(values, settings.scale);
      status = AnalyseAndFactorise(values);
    } else {
      status = FactorizeWith(2, values);
      if (status < 0 || Deficient(status)) {
        // The kept scaling may no longer suit these values.
        FindScaling(values, settings.scale);
        status = FactorizeWith(2, values);
        if (status < 0) status = FactorizeWith(1, values);
        if (status < 0 || Deficient(status)) status = AnalyseAndFactorise(values);
      }
    }
    if (status < 0) return LuResult::kFailed;
    if (Deficient(status)) return LuResult::kSingular;
    factorised_ = true;
    return LuResult::kOk;
  }

  bool Solve(const double* b, double* x) override { return Solve(b, x, 0); }

  // SluSolve refines against its componentwise backward error; running out
  // of passes (-8) still leaves its best solution, for the caller to judge.
  bool Solve(const double* b, double* x, std::int32_t refine_steps) override {
    if (!factorised_) return false;
    const size_t n = size_t(n_);
    std::vector<double>& rhs = rhs_;
    rhs.resize(n);
    // Kept S = D B with D the row scaling. B = A: S x = D b. B = A^T:
    // S^T y = b and x = D y.
    if (transposed_) {
      std::copy(b, b + n, rhs.begin());
    } else {
      for (size_t i = 0; i < n; ++i) rhs[i] = scale_[i] * b[i];
    }
    const std::int64_t trans = transposed_ ? 1 : 0, job = refine_steps > 0 ? 3 : 1;
    icntl_[8] = std::int64_t(refine_steps) + 1;
    std::array<double, 3> error{};
    std::array<std::int64_t, slu::kInfoLength> info{};
    SluSolve(&n_, &n_, &trans, &job, &la_, a_.data(), irn_.data(), keep_.data(), cntl_.data(),
             icntl_.data(), rhs.data(), x, error.data(), w_.data(), iw_.data(), info.data());
    if (info[0] < 0 && info[0] != -8) return false;
    if (transposed_)
      for (size_t j = 0; j < n; ++j) x[j] *= scale_[j];
    return true;
  }

  // SluRankInfo names the rows and columns of the kept matrix; for A^T
  // they trade places.
  bool RankInfo(std::int64_t* rank, std::int64_t* rows, std::int64_t* cols) override {
    if (!analysed_) return false;
    const size_t n = size_t(n_);
    std::vector<std::int64_t> r(n), c(n), work(n);
    SluRankInfo(&n_, &n_, &la_, irn_.data(), keep_.data(), rank, r.data(), c.data(), work.data());
    for (size_t k = 0; k < n; ++k) {
      (transposed_ ? cols : rows)[k] = r[k] - 1;
      (transposed_ ? rows : cols)[k] = c[k] - 1;
    }
    return true;
  }

  std::unique_ptr<SparseLu> Fresh() const override { return std::make_unique<SluLu>(); }

 private:
  bool Prepare(std::int64_t n, std::int64_t ne, const LuSettings& settings) {
    n_ = n;
    ne_ = ne;
    transposed_ = settings.transpose;
    analysed_ = factorised_ = false;
    if (ne_ < 1) return false;
    const size_t une = size_t(ne_), un = size_t(n);
    for (auto* v : {&rows_, &cols_, &jcn_}) Reuse(*v, une);
    Reuse(row0_, une);
    Reuse(irn_, 3 * une), Reuse(a_, 3 * une);
    Reuse(keep_, 10 * un + 7), Reuse(iw_, 9 * un), Reuse(w_, 5 * un), Reuse(scale_, un);
    rows_.resize(une), cols_.resize(une), row0_.resize(une);
    // Work arrays and KEEP are written by the drivers before they are read.
    keep_.resize(10 * un + 7), iw_.resize(9 * un), w_.resize(5 * un);
    scale_.assign(un, 1.0);
    return true;
  }

  // Entry e of the kept matrix is A's (i, j), 0-based.
  void Put(std::int64_t e, std::int64_t i, std::int64_t j) {
    row0_[size_t(e)] = std::int32_t(transposed_ ? j : i);
    rows_[size_t(e)] = row0_[size_t(e)] + 1;
    cols_[size_t(e)] = (transposed_ ? i : j) + 1;
  }

  void Controls(const LuSettings& settings) {
    SluSetDefaults(cntl_.data(), icntl_.data());
    icntl_[0] = icntl_[1] = 0;  // no output: messages go through the engine
    icntl_[2] = 0;
    icntl_[6] = 0;  // a structurally singular matrix gets its rank, not an error
    cntl_[1] = settings.pivot_tolerance;
    cntl_[2] = settings.drop_tolerance;
  }

  // The drivers do not scale: rows are scaled here by their largest entry.
  void FindScaling(const double* values, bool scale) {
    if (!scale) {
      std::fill(scale_.begin(), scale_.end(), 1.0);
      return;
    }
    std::fill(scale_.begin(), scale_.end(), 0.0);
    for (std::int64_t k = 0; k < ne_; ++k) {
      double& s = scale_[size_t(row0_[size_t(k)])];
      s = std::max(s, std::fabs(values[k]));
    }
    for (double& s : scale_) s = s > 0.0 ? 1.0 / s : 1.0;
  }

  // INFO(1) warns of a rank deficiency; INFO(5) is the rank found.
  bool Deficient(std::int64_t status) const { return (status & 2) != 0 || info_[4] < n_; }

  // The scaled values into the drivers' array. A pivot below
  // `singular_rcond_` of the largest scaled entry counts as zero, which is
  // how a near singular matrix shows up as rank deficient.
  void Place(const double* values) {
    double largest = 0.0, second = 0.0;
    const double* scale = scale_.data();
    const std::int32_t* row = row0_.data();
    double* a = a_.data();
    std::int64_t k = 0;
    for (; k + 4 <= ne_; k += 4) {
      a[k] = values[k] * scale[row[k]];
      a[k + 1] = values[k + 1] * scale[row[k + 1]];
      a[k + 2] = values[k + 2] * scale[row[k + 2]];
      a[k + 3] = values[k + 3] * scale[row[k + 3]];
      largest = std::max(largest, std::max(std::fabs(a[k]), std::fabs(a[k + 2])));
      second = std::max(second, std::max(std::fabs(a[k + 1]), std::fabs(a[k + 3])));
    }
    for (; k < ne_; ++k) largest = std::max(largest, std::fabs(a[k] = values[k] * scale[row[k]]));
    cntl_[3] = singular_rcond_ * std::max(largest, second);
  }

  void Grow(std::int64_t la) {
    la_ = std::max(la_, la);
    a_.resize(size_t(la_));
    irn_.resize(size_t(la_));
  }

  // Analysis on these values, then the factorisation; each repeated once
  // at the length the driver asks for. Returns INFO(1).
  std::int64_t AnalyseAndFactorise(const double* values) {
    analysed_ = false;
    la_ = 0;
    Grow(3 * ne_);
    for (int attempt = 0; attempt < 2; ++attempt) {
      Place(values);
      std::copy(rows_.begin(), rows_.end(), irn_.begin());
      jcn_ = cols_;
      const std::int64_t job = 1;
      SluAnalyse(&n_, &n_, &ne_, &job, &la_, a_.data(), irn_.data(), jcn_.data(), keep_.data(),
                 cntl_.data(), icntl_.data(), iw_.data(), info_.data(), &rinfo_);
      if (info_[0] != -3) break;
      Grow(info_[2]);
    }
    if (info_[0] < 0) return info_[0];
    analysed_ = true;
    Grow(std::max(info_[2], info_[3]));
    return FactorizeWith(1, values);
  }

  std::int64_t FactorizeWith(std::int64_t job, const double* values) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      Place(values);
      SluFactorize(&n_, &n_, &ne_, &job, &la_, a_.data(), irn_.data(), jcn_.data(), keep_.data(),
                   cntl_.data(), icntl_.data(), w_.data(), iw_.data(), info_.data(), &rinfo_);
      if (info_[0] != -3) break;
      Grow(info_[3]);
    }
    return info_[0];
  }

  std::int64_t n_ = 0, ne_ = 0, la_ = 0;
  bool transposed_ = false, analysed_ = false, factorised_ = false;
  LuSettings analysed_with_;
  std::vector<std::int64_t> rows_, cols_, irn_, jcn_, keep_, iw_;
  std::vector<std::int32_t> row0_;  // narrow: read with every set of values
  std::vector<double> a_, w_, scale_, rhs_;
  std::array<double, slu::kCntlLength> cntl_{};
  std::array<std::int64_t, slu::kIcntlLength> icntl_{};
  std::array<std::int64_t, slu::kInfoLength> info_{};
  double rinfo_ = 0.0;
  double singular_rcond_ = 0.0;
};

}  // namespace

std::unique_ptr<SparseLu> MakeSluLu() { return std::make_unique<SluLu>(); }

}  // namespace kvs
