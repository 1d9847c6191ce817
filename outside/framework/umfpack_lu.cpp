// The UMFPACK adapter (umfpack_dl_*).
#include <suitesparse/umfpack.h>

#include <vector>

#include "outside/framework/sparse_lu.h"

namespace kvs {
namespace {

class UmfpackLu final : public SparseLu {
 public:
  ~UmfpackLu() override { Clear(); }

  bool Analyse(std::int64_t n, const std::int64_t* col_start, const std::int64_t* row_index,
               const LuSettings& settings) override {
    Clear();
    n_ = n;
    start_.assign(col_start, col_start + n + 1);
    index_.assign(row_index, row_index + start_[size_t(n)]);
    if (settings.transpose) Transpose();
    return Symbolic(settings);
  }

  LuResult Factorise(const double* values, const LuSettings& settings,
                     double singular_rcond) override {
    if (settings.repivot || symbolic_ == nullptr) {
      if (symbolic_ != nullptr) umfpack_dl_free_symbolic(&symbolic_);
      if (!Symbolic(settings)) return LuResult::kFailed;
    }
    if (numeric_ != nullptr) umfpack_dl_free_numeric(&numeric_);
    const double* v = values;
    if (transposed_) {
      tvalues_.resize(map_.size());
      for (size_t k = 0; k < map_.size(); ++k) tvalues_[map_[k]] = values[k];
      v = tvalues_.data();
    }
    double control[UMFPACK_CONTROL], info[UMFPACK_INFO];
    Controls(settings, control);
    const int status = static_cast<int>(
        umfpack_dl_numeric(start_.data(), index_.data(), v, symbolic_, &numeric_, control, info));
    if (status == UMFPACK_WARNING_singular_matrix) return LuResult::kSingular;
    if (status != UMFPACK_OK) return LuResult::kFailed;
    const double rcond = info[UMFPACK_RCOND];
    if (!(rcond >= singular_rcond)) return LuResult::kSingular;
    return LuResult::kOk;
  }

  bool Solve(const double* b, double* x) override {
    if (numeric_ == nullptr) return false;
    double control[UMFPACK_CONTROL];
    umfpack_dl_defaults(control);
    control[UMFPACK_IRSTEP] = 0;  // refinement is the library's own, against ErrorTol
    const double* v = transposed_ ? tvalues_.data() : nullptr;
    const int system = transposed_ ? UMFPACK_At : UMFPACK_A;
    return umfpack_dl_solve(system, start_.data(), index_.data(), v, x, b, numeric_, control,
                            nullptr) == UMFPACK_OK;
  }

  std::unique_ptr<SparseLu> Fresh() const override { return std::make_unique<UmfpackLu>(); }

 private:
  void Controls(const LuSettings& s, double* control) const {
    umfpack_dl_defaults(control);
    control[UMFPACK_PIVOT_TOLERANCE] = s.pivot_tolerance;
    control[UMFPACK_SYM_PIVOT_TOLERANCE] = s.pivot_tolerance;
    control[UMFPACK_DROPTOL] = s.drop_tolerance;
    control[UMFPACK_SCALE] = s.scale ? UMFPACK_SCALE_MAX : UMFPACK_SCALE_NONE;
    control[UMFPACK_STRATEGY] = s.strategy == 1   ? UMFPACK_STRATEGY_UNSYMMETRIC
                                : s.strategy == 2 ? UMFPACK_STRATEGY_SYMMETRIC
                                                  : UMFPACK_STRATEGY_AUTO;
  }

  bool Symbolic(const LuSettings& settings) {
    double control[UMFPACK_CONTROL];
    Controls(settings, control);
    return umfpack_dl_symbolic(n_, n_, start_.data(), index_.data(), nullptr, &symbolic_, control,
                               nullptr) == UMFPACK_OK;
  }

  // Keeps the pattern of A^T and where each entry of A lands in it.
  void Transpose() {
    const size_t nz = index_.size();
    std::vector<std::int64_t> start(size_t(n_) + 1, 0), index(nz);
    map_.resize(nz);
    for (size_t k = 0; k < nz; ++k) ++start[size_t(index_[k]) + 1];
    for (std::int64_t i = 0; i < n_; ++i) start[size_t(i) + 1] += start[size_t(i)];
    std::vector<std::int64_t> next(start.begin(), start.end() - 1);
    for (std::int64_t j = 0; j < n_; ++j)
      for (std::int64_t k = start_[size_t(j)]; k < start_[size_t(j) + 1]; ++k) {
        const std::int64_t at = next[size_t(index_[size_t(k)])]++;
        index[size_t(at)] = j;
        map_[size_t(k)] = at;
      }
    start_.swap(start);
    index_.swap(index);
    transposed_ = true;
  }

  void Clear() {
    if (numeric_ != nullptr) umfpack_dl_free_numeric(&numeric_);
    if (symbolic_ != nullptr) umfpack_dl_free_symbolic(&symbolic_);
    transposed_ = false;
  }

  std::int64_t n_ = 0;
  std::vector<std::int64_t> start_, index_, map_;
  std::vector<double> tvalues_;
  bool transposed_ = false;
  void* symbolic_ = nullptr;
  void* numeric_ = nullptr;
};

}  // namespace

std::unique_ptr<SparseLu> MakeUmfpackLu() { return std::make_unique<UmfpackLu>(); }

}  // namespace kvs
