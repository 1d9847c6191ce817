// The UMFPACK adapter (umfpack_dl_*). The matrix is first put in block
// triangular form: a flowsheet's Jacobian falls apart into many small
// blocks, which UMFPACK alone would merge into large fronts. Small blocks
// go to LAPACK's dense LU, larger ones to UMFPACK; the coupling entries
// only enter the block substitution.
#include <suitesparse/btf.h>
#include <suitesparse/umfpack.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "outside/framework/sparse_lu.h"

extern "C" {
void dgetrf_(const int* m, const int* n, double* a, const int* lda, int* ipiv, int* info);
void dgetrs_(const char* trans, const int* n, const int* nrhs, const double* a, const int* lda,
             const int* ipiv, double* b, const int* ldb, int* info);
}

namespace kvs {
namespace {

// Blocks up to this order are factorised dense.
constexpr std::int64_t kDenseLimit = 32;

struct Block {
  std::int64_t first = 0, size = 0;
  // Dense: column-major values and pivots. Sparse: local CSC and UMFPACK.
  std::vector<double> dense;
  std::vector<int> pivots;
  std::vector<std::int64_t> start, index, slots;  // slots: positions in the permuted values
  std::vector<double> values;
  void* symbolic = nullptr;
  void* numeric = nullptr;
};

void Controls(const LuSettings& s, double* control) {
  umfpack_dl_defaults(control);
  control[UMFPACK_PIVOT_TOLERANCE] = s.pivot_tolerance;
  control[UMFPACK_SYM_PIVOT_TOLERANCE] = s.pivot_tolerance;
  control[UMFPACK_DROPTOL] = s.drop_tolerance;
  control[UMFPACK_SCALE] = s.scale ? UMFPACK_SCALE_MAX : UMFPACK_SCALE_NONE;
  control[UMFPACK_STRATEGY] = s.strategy == 1   ? UMFPACK_STRATEGY_UNSYMMETRIC
                              : s.strategy == 2 ? UMFPACK_STRATEGY_SYMMETRIC
                                                : UMFPACK_STRATEGY_AUTO;
  control[UMFPACK_IRSTEP] = 0;  // refinement is the library's own, against ErrorTol
}

class UmfpackLu final : public SparseLu {
 public:
  using SparseLu::Solve;  // takes no refinement steps of its own
  ~UmfpackLu() override { Clear(); }

  // With `transpose` the pattern kept is that of A^T: its factors then
  // solve with the transposed blocks.
  bool Analyse(std::int64_t n, const std::int64_t* col_start, const std::int64_t* row_index,
               const LuSettings& settings) override {
    Clear();
    n_ = n;
    transposed_ = settings.transpose;
    std::vector<std::int64_t> start(col_start, col_start + n + 1);
    std::vector<std::int64_t> index(row_index, row_index + start[size_t(n)]);
    const size_t nz = index.size();
    std::vector<std::int64_t> slot(nz);  // input slot -> slot of the kept matrix
    for (size_t k = 0; k < nz; ++k) slot[k] = std::int64_t(k);
    if (transposed_) Transpose(start, index, slot);
    // Block triangular form: C = M(p, q), upper block triangular.
    p_.resize(static_cast<size_t>(n));
    q_.resize(static_cast<size_t>(n));
    std::vector<std::int64_t> r(size_t(n) + 1), work(5 * size_t(n));
    std::int64_t nmatch = 0;
    double work_done = 0;
    const std::int64_t blocks = btf_l_order(n, start.data(), index.data(), -1.0, &work_done,
                                            p_.data(), q_.data(), r.data(), &nmatch, work.data());
    if (blocks < 1) return false;
    for (auto& j : q_) j = BTF_UNFLIP(j);
    std::vector<std::int64_t> row_at(static_cast<size_t>(n));
    for (std::int64_t k = 0; k < n; ++k) row_at[size_t(p_[size_t(k)])] = k;
    // The permuted matrix by columns, and where each input value goes.
    c_start_.assign(size_t(n) + 1, 0);
    c_index_.clear();
    std::vector<std::int64_t> kept_to_c(nz);
    for (std::int64_t c = 0; c < n; ++c) {
      const std::int64_t j = q_[size_t(c)];
      std::vector<std::pair<std::int64_t, std::int64_t>> col;
      for (std::int64_t e = start[size_t(j)]; e < start[size_t(j) + 1]; ++e)
        col.emplace_back(row_at[size_t(index[size_t(e)])], e);
      std::sort(col.begin(), col.end());
      for (auto [row, e] : col) {
        kept_to_c[size_t(e)] = std::int64_t(c_index_.size());
        c_index_.push_back(row);
      }
      c_start_[size_t(c) + 1] = std::int64_t(c_index_.size());
    }
    input_to_c_.resize(nz);
    for (size_t k = 0; k < nz; ++k) input_to_c_[k] = kept_to_c[size_t(slot[k])];
    c_values_.assign(c_index_.size(), 0.0);
    blocks_.resize(static_cast<size_t>(blocks));
    for (std::int64_t b = 0; b < blocks; ++b) {
      Block& blk = blocks_[size_t(b)];
      blk.first = r[size_t(b)];
      blk.size = r[size_t(b) + 1] - blk.first;
      if (blk.size <= kDenseLimit) continue;
      blk.start.assign(size_t(blk.size) + 1, 0);
      for (std::int64_t c = 0; c < blk.size; ++c) {
        for (std::int64_t e = c_start_[size_t(blk.first + c)];
             e < c_start_[size_t(blk.first + c) + 1]; ++e) {
          const std::int64_t row = c_index_[size_t(e)];
          if (row < blk.first) continue;
          blk.index.push_back(row - blk.first);
          blk.slots.push_back(e);
        }
        blk.start[size_t(c) + 1] = std::int64_t(blk.index.size());
      }
      blk.values.resize(blk.index.size());
    }
    return true;
  }

  LuResult Factorise(const double* values, const LuSettings& settings,
                     double singular_rcond) override {
    std::fill(c_values_.begin(), c_values_.end(), 0.0);
    for (size_t k = 0; k < input_to_c_.size(); ++k) c_values_[size_t(input_to_c_[k])] += values[k];
    factorised_ = false;
    LuResult result = LuResult::kOk;
    for (Block& blk : blocks_) {
      const LuResult r = blk.size <= kDenseLimit ? FactoriseDense(blk, singular_rcond)
                                                 : FactoriseSparse(blk, settings, singular_rcond);
      if (r == LuResult::kFailed) return r;
      if (r == LuResult::kSingular) result = r;
    }
    factorised_ = result == LuResult::kOk;
    return result;
  }

  bool Solve(const double* b, double* x) override {
    if (!factorised_) return false;
    const size_t n = size_t(n_);
    std::vector<double> y(n), z;
    if (!transposed_) {
      // C x' = b(p), upper block triangular: from the last block back.
      for (size_t k = 0; k < n; ++k) y[k] = b[p_[k]];
      for (size_t bi = blocks_.size(); bi-- > 0;) {
        Block& blk = blocks_[bi];
        if (!SolveBlock(blk, y.data() + blk.first, false, z)) return false;
        for (std::int64_t c = blk.first; c < blk.first + blk.size; ++c)
          for (std::int64_t e = c_start_[size_t(c)]; e < c_start_[size_t(c) + 1]; ++e)
            if (c_index_[size_t(e)] < blk.first)
              y[size_t(c_index_[size_t(e)])] -= c_values_[size_t(e)] * y[size_t(c)];
      }
      for (size_t c = 0; c < n; ++c) x[q_[c]] = y[c];
    } else {
      // The kept matrix is A^T: C^T u = b(q), lower block triangular.
      for (size_t c = 0; c < n; ++c) y[c] = b[q_[c]];
      for (Block& blk : blocks_) {
        for (std::int64_t c = blk.first; c < blk.first + blk.size; ++c)
          for (std::int64_t e = c_start_[size_t(c)]; e < c_start_[size_t(c) + 1]; ++e)
            if (c_index_[size_t(e)] < blk.first)
              y[size_t(c)] -= c_values_[size_t(e)] * y[size_t(c_index_[size_t(e)])];
        if (!SolveBlock(blk, y.data() + blk.first, true, z)) return false;
      }
      for (size_t k = 0; k < n; ++k) x[p_[k]] = y[k];
    }
    return true;
  }

  std::unique_ptr<SparseLu> Fresh() const override { return std::make_unique<UmfpackLu>(); }

 private:
  LuResult FactoriseDense(Block& blk, double singular_rcond) {
    const std::int64_t s = blk.size;
    blk.dense.assign(size_t(s * s), 0.0);
    for (std::int64_t c = 0; c < s; ++c)
      for (std::int64_t e = c_start_[size_t(blk.first + c)];
           e < c_start_[size_t(blk.first + c) + 1]; ++e) {
        const std::int64_t row = c_index_[size_t(e)] - blk.first;
        if (row >= 0) blk.dense[size_t(c * s + row)] = c_values_[size_t(e)];
      }
    const int m = int(s);
    int info = 0;
    blk.pivots.resize(static_cast<size_t>(s));
    dgetrf_(&m, &m, blk.dense.data(), &m, blk.pivots.data(), &info);
    if (info < 0) return LuResult::kFailed;
    if (info > 0) return LuResult::kSingular;
    double low = INFINITY, high = 0;
    for (std::int64_t i = 0; i < s; ++i) {
      const double d = std::fabs(blk.dense[size_t(i * s + i)]);
      low = std::min(low, d);
      high = std::max(high, d);
    }
    return low >= singular_rcond * high ? LuResult::kOk : LuResult::kSingular;
  }

  LuResult FactoriseSparse(Block& blk, const LuSettings& settings, double singular_rcond) {
    for (size_t k = 0; k < blk.slots.size(); ++k) blk.values[k] = c_values_[size_t(blk.slots[k])];
    // The analysis waits for the first values: without them UMFPACK cannot
    // see a strong diagonal, takes its unsymmetric strategy on an
    // unsymmetric pattern, and its pivots then grow the factors by orders.
    if (settings.repivot || blk.symbolic == nullptr) {
      if (blk.symbolic != nullptr) umfpack_dl_free_symbolic(&blk.symbolic);
      if (!Symbolic(blk, settings)) return LuResult::kFailed;
    }
    if (blk.numeric != nullptr) umfpack_dl_free_numeric(&blk.numeric);
    double control[UMFPACK_CONTROL], info[UMFPACK_INFO];
    Controls(settings, control);
    const int status = int(umfpack_dl_numeric(blk.start.data(), blk.index.data(), blk.values.data(),
                                              blk.symbolic, &blk.numeric, control, info));
    if (status == UMFPACK_WARNING_singular_matrix) return LuResult::kSingular;
    if (status != UMFPACK_OK) return LuResult::kFailed;
    return info[UMFPACK_RCOND] >= singular_rcond ? LuResult::kOk : LuResult::kSingular;
  }

  bool SolveBlock(Block& blk, double* y, bool transpose, std::vector<double>& z) {
    const int s = int(blk.size);
    if (blk.size <= kDenseLimit) {
      int one = 1, info = 0;
      dgetrs_(transpose ? "T" : "N", &s, &one, blk.dense.data(), &s, blk.pivots.data(), y, &s,
              &info);
      return info == 0;
    }
    z.assign(y, y + s);
    double control[UMFPACK_CONTROL];
    umfpack_dl_defaults(control);
    control[UMFPACK_IRSTEP] = 0;
    return umfpack_dl_solve(transpose ? UMFPACK_At : UMFPACK_A, blk.start.data(), blk.index.data(),
                            blk.values.data(), y, z.data(), blk.numeric, control,
                            nullptr) == UMFPACK_OK;
  }

  bool Symbolic(Block& blk, const LuSettings& settings) {
    double control[UMFPACK_CONTROL];
    Controls(settings, control);
    return umfpack_dl_symbolic(blk.size, blk.size, blk.start.data(), blk.index.data(),
                               blk.values.data(), &blk.symbolic, control, nullptr) == UMFPACK_OK;
  }

  // The pattern of the transpose, and where each input slot lands in it.
  static void Transpose(std::vector<std::int64_t>& start, std::vector<std::int64_t>& index,
                        std::vector<std::int64_t>& slot) {
    const size_t n = start.size() - 1, nz = index.size();
    std::vector<std::int64_t> t_start(n + 1, 0), t_index(nz);
    for (size_t k = 0; k < nz; ++k) ++t_start[size_t(index[k]) + 1];
    for (size_t i = 0; i < n; ++i) t_start[i + 1] += t_start[i];
    std::vector<std::int64_t> next(t_start.begin(), t_start.end() - 1);
    for (size_t j = 0; j < n; ++j)
      for (std::int64_t k = start[j]; k < start[j + 1]; ++k) {
        const std::int64_t at = next[size_t(index[size_t(k)])]++;
        t_index[size_t(at)] = std::int64_t(j);
        slot[size_t(k)] = at;
      }
    start.swap(t_start);
    index.swap(t_index);
  }

  void Clear() {
    for (Block& blk : blocks_) {
      if (blk.numeric != nullptr) umfpack_dl_free_numeric(&blk.numeric);
      if (blk.symbolic != nullptr) umfpack_dl_free_symbolic(&blk.symbolic);
    }
    blocks_.clear();
    factorised_ = false;
  }

  std::int64_t n_ = 0;
  bool transposed_ = false, factorised_ = false;
  std::vector<std::int64_t> p_, q_, c_start_, c_index_, input_to_c_;
  std::vector<double> c_values_;
  std::vector<Block> blocks_;
};

}  // namespace

std::unique_ptr<SparseLu> MakeUmfpackLu() { return std::make_unique<UmfpackLu>(); }

}  // namespace kvs
