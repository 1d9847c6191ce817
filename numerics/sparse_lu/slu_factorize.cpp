// SluFactorize: places the new values through the map of SluAnalyse, checks
// the triangular diagonal blocks and factorizes every other diagonal block
// with the kernel, the factors of each behind those of the block before.
#include <algorithm>
#include <cmath>

#include "numerics/sparse_lu/kernel_factorize.h"
#include "numerics/sparse_lu/one_based.h"
#include "numerics/sparse_lu/slu_drivers.h"
#include "numerics/sparse_lu/slu_interface.h"

using slu::IntView;
using slu::KeepLayout;
using slu::RealView;

namespace {

using ConstInts = slu::OneBased<const std::int64_t>;

class BlockFactorizer {
 public:
  BlockFactorizer(const std::int64_t* M, const std::int64_t* N, const std::int64_t* NE,
                  const std::int64_t* JOB, const std::int64_t* LA, double* A, std::int64_t* IRN,
                  const std::int64_t* JCN, std::int64_t* KEEP, const double* CNTL,
                  const std::int64_t* ICNTL, double* W, std::int64_t* IW, std::int64_t* INFO,
                  double* RINFO)
      : m_(*M), n_(*N), ne_(*NE), job_(*JOB), la_(*LA), a_(A), irn_(IRN), jcn_(JCN), keep_(KEEP),
        iw_(IW), info_(INFO), w_(W), cntl_(CNTL), icntl_(ICNTL), rinfo_(RINFO), layout_(*M, *N) {}

  void Run();

 private:
  void PlaceValues();
  // Returns false when the call ends with an error.
  bool FactorizeBlock(std::int64_t b, std::int64_t k1, std::int64_t job);
  void EmptyBlock(std::int64_t k1, std::int64_t order, std::int64_t start, std::int64_t* kinfo);
  void Fail(slu::DriverError error);

  std::int64_t Diag(std::int64_t j) const { return keep_[layout_.iptrd + j]; }

  const std::int64_t m_, n_, ne_, job_, la_;
  const RealView a_;
  const IntView irn_;
  const ConstInts jcn_;
  const IntView keep_, iw_, info_;
  double* w_;
  const double* cntl_;  // CNTL(k) is cntl_[k-1]
  const ConstInts icntl_;
  double* rinfo_;
  const KeepLayout layout_;

  std::int64_t blocks_ = 0;
  std::int64_t free_ = 0;     // next free slot behind the factors
  bool short_ = false;        // a block did not fit
  std::int64_t counted_ = 0;  // the need summed from the first block that did not fit
};

void BlockFactorizer::Fail(slu::DriverError error) {
  slu::ErrorValues v;
  v.m = m_;
  v.n = n_;
  v.ne = ne_;
  v.job = job_;
  v.la = la_;
  v.need = info_[4];
  info_[1] = slu::ReportError(icntl_.From(1), slu::Driver::kFactorize, error, v);
}

void BlockFactorizer::PlaceValues() {
  for (std::int64_t k = 1; k <= ne_; ++k) a_[ne_ + k] = a_[k];
  if (jcn_[1] >= 1) {
    for (std::int64_t k = 1; k <= ne_; ++k) a_[jcn_[k]] = a_[ne_ + k];
    return;
  }
  // Duplicates share a place: sum them.
  for (std::int64_t k = 1; k <= ne_; ++k) a_[k] = 0.0;
  a_[-jcn_[1]] = a_[ne_ + 1];
  for (std::int64_t k = 2; k <= ne_; ++k) a_[jcn_[k]] += a_[ne_ + k];
}

// A block without entries in range: no pivot in any column, factors of the
// kernel's layout that say so.
void BlockFactorizer::EmptyBlock(std::int64_t k1, std::int64_t order, std::int64_t start,
                                 std::int64_t* kinfo) {
  if (la_ - start + 1 < 2) {
    kinfo[0] = -3;
    kinfo[3] = 2;
    return;
  }
  a_[start] = cntl_[2];
  a_[start + 1] = cntl_[3];
  irn_[start] = 0;
  irn_[start + 1] = 0;
  for (std::int64_t j = k1; j < k1 + order; ++j) {
    keep_[layout_.iptrl + j] = 2;
    keep_[layout_.iptru + j] = 2;
  }
  kinfo[3] = 2;
}

bool BlockFactorizer::FactorizeBlock(std::int64_t b, std::int64_t k1, std::int64_t job) {
  const std::int64_t order = keep_[layout_.BlockOrder(b)];
  const std::int64_t rows = blocks_ == 1 ? m_ : order;
  const std::int64_t first = Diag(k1);
  const std::int64_t e = Diag(k1 + order) - first;
  const std::int64_t np = keep_[layout_.BlockFlag(b)];
  const std::int64_t factors = keep_[layout_.iptro + n_ + 1];  // where the factors begin
  // The kernel would keep the factors of the columns before the changeable
  // ones on a refactorization, but here they are gone: the new values are
  // placed through A(NE+1..2NE) and A(1..NE) holds them on entry, where the
  // factors of the first blocks lie. So a refactorization recomputes every
  // column from the stored pattern (JOB = 2) or row order (JOB = 3).
  const std::int64_t changeable =
      icntl_[8] != 0 && job == 1 ? keep_[layout_.ChangedColumns(blocks_, b)] : 0;
  const std::int64_t kicntl[7] = {icntl_[1], icntl_[2], 0, icntl_[4], icntl_[5], changeable, 0};
  const IntView ip(iw_.From(k1)), colptr(iw_.From(4 * m_ + 4 * n_ + 1));
  const std::int64_t natural = 0;
  std::int64_t kinfo[7] = {0, 0, 0, 0, 0, 0, 0};
  double krinfo = 0.0;

  for (std::int64_t t = 0; t < e; ++t) irn_[first + t] -= k1 - 1;
  for (std::int64_t t = 1; t <= order; ++t) colptr[t] = Diag(k1 + t - 1) - first + 1;
  auto run = [&](std::int64_t start) {
    const std::int64_t lfact = la_ - start + 1;
    for (std::int64_t i = 1; i <= rows; ++i) ip[i] = i;
    if (e == 0) {
      EmptyBlock(k1, order, start, kinfo);
      return lfact;
    }
    SluKernelFactorize(&rows, &order, &e, &job, a_.From(first), irn_.From(first), colptr.From(1),
                       cntl_, kicntl, ip.From(1), &natural, &np, &lfact, a_.From(start),
                       irn_.From(start), keep_.From(layout_.iptrl + k1),
                       keep_.From(layout_.iptru + k1), w_, iw_.From(m_ + 1), kinfo, &krinfo);
    return lfact;
  };
  const std::int64_t start = short_ ? factors : free_;
  const std::int64_t lfact = run(start);
  // Refused at the door for want of room: count again where the factors
  // begin (nothing behind them is of use any more) to learn the real need.
  if (kinfo[0] == -3 && lfact < std::max(rows, e + 2) && start != factors) run(factors);
  for (std::int64_t t = 0; t < e; ++t) irn_[first + t] += k1 - 1;

  if (kinfo[0] == -6) {
    Fail(slu::DriverError::kDroppedBefore);
    return false;
  }
  if (kinfo[0] == -3) {
    if (!short_) {
      short_ = true;
      counted_ = free_ - 1;
      info_[1] = -3;
    }
    counted_ += kinfo[3];
    return true;
  }
  if (kinfo[0] < 0) {
    Fail(slu::DriverError::kIncompatible);
    return false;
  }
  if (short_) {
    counted_ += kinfo[3];
  } else {
    info_[4] = std::max(info_[4], free_ - 1 + kinfo[3]);
    if (b > 1) keep_[layout_.BlockStart(b)] = free_ - factors + 1;
    free_ += kinfo[3];
    if (kinfo[4] < std::min(rows, order)) info_[1] = 2;
  }
  info_[5] += kinfo[4];
  info_[6] += kinfo[5];
  *rinfo_ += krinfo;
  return true;
}

void BlockFactorizer::Run() {
  if (slu::CheckDriverArguments(slu::Driver::kFactorize, &m_, &n_, &ne_, &job_, &la_,
                                icntl_.From(1), info_.From(1)) != 0) {
    return;
  }
  info_[1] = 0;
  info_[4] = 0;
  info_[5] = info_[6] = 0;
  *rinfo_ = 0.0;
  const double tolerance = std::max(cntl_[3], 0.0);
  PlaceValues();

  blocks_ = keep_[layout_.BlockStart(1)];
  free_ = keep_[layout_.iptro + n_ + 1];
  std::int64_t k1 = 1;
  for (std::int64_t b = 1; b <= blocks_; ++b) {
    const std::int64_t order = keep_[layout_.BlockOrder(b)];
    std::int64_t job = job_;
    if (keep_[layout_.BlockFlag(b)] < 0) {
      bool regular = true;
      for (std::int64_t j = k1; j < k1 + order; ++j) {
        keep_[layout_.iptrl + j] = keep_[layout_.iptru + j] = 0;
        if (!(std::fabs(a_[Diag(j)]) > tolerance)) regular = false;
      }
      if (regular) {
        info_[5] += order;
        k1 += order;
        continue;
      }
      if (job_ == 2) {
        Fail(slu::DriverError::kIncompatible);
        return;
      }
      // No longer triangular: factorized afresh, as there are no factors of
      // it to start from whatever JOB asks.
      keep_[layout_.BlockFlag(b)] = order;
      job = 1;
    }
    if (!FactorizeBlock(b, k1, job)) return;
    k1 += order;
  }
  if (short_) info_[4] = std::max(info_[4], counted_);
  info_[4] = std::max(info_[4], 2 * ne_);
  if (short_) Fail(slu::DriverError::kShortStorage);
}

}  // namespace

void SluFactorize(const std::int64_t* M, const std::int64_t* N, const std::int64_t* NE,
                  const std::int64_t* JOB, const std::int64_t* LA, double* A, std::int64_t* IRN,
                  const std::int64_t* JCN, std::int64_t* KEEP, const double* CNTL,
                  const std::int64_t* ICNTL, double* W, std::int64_t* IW, std::int64_t* INFO,
                  double* RINFO) {
  BlockFactorizer factorizer(M, N, NE, JOB, LA, A, IRN, JCN, KEEP, CNTL, ICNTL, W, IW, INFO, RINFO);
  factorizer.Run();
}
