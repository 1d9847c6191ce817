#include "tests/numerics/sparse_lu/kernel_lu.h"

#include <algorithm>

#include "numerics/sparse_lu/defaults.h"
#include "numerics/sparse_lu/kernel_analyse.h"
#include "numerics/sparse_lu/kernel_factorize.h"
#include "numerics/sparse_lu/kernel_solve.h"

namespace slu_test {

KernelControls::KernelControls() {
  SluKernelSetDefaults(cntl.data(), icntl.data());
  icntl[0] = icntl[1] = 0;
}

KernelLu::KernelLu(const SparseMatrix& a, const KernelControls& controls)
    : a_(a), controls_(controls) {}

std::int64_t KernelLu::AmpleLength() const {
  return a_.nnz() + 2 * a_.m * a_.n + 4 * (a_.m + a_.n) + 10;
}

const AnalyseResult& KernelLu::Analyse(std::int64_t la, const std::vector<std::int64_t>& given_rows,
                                       const std::vector<std::int64_t>& given_columns) {
  const std::int64_t m = a_.m, n = a_.n, ne = a_.nnz();
  if (la == 0) la = AmpleLength();
  // Room for the input even when LA is too short for it (the kernel refuses).
  const auto room = static_cast<std::size_t>(std::max(la, ne));
  std::vector<double> a(room);
  std::vector<std::int64_t> irn(room), jcn(room);
  std::copy(a_.values.begin(), a_.values.end(), a.begin());
  std::copy(a_.rows.begin(), a_.rows.end(), irn.begin());
  std::vector<std::int64_t> iq(a_.colptr.begin(), a_.colptr.end() - 1);
  std::vector<std::int64_t> ip(static_cast<std::size_t>(m)), ifirst(static_cast<std::size_t>(n));
  if (!given_rows.empty()) ip = given_rows;
  if (!given_columns.empty()) ifirst = given_columns;
  std::vector<std::int64_t> colhead(m), rowlen(m), rowprev(m), rownext(m), rowmark(m);
  std::vector<std::int64_t> collen(n), colprev(n), colnext(n);
  analysis_ = AnalyseResult{};
  SluKernelAnalyse(&m, &n, &ne, &la, a.data(), irn.data(), jcn.data(), iq.data(),
                   controls_.cntl.data(), controls_.icntl.data(), ip.data(), &analysis_.np,
                   colhead.data(), rowlen.data(), rowprev.data(), rownext.data(), rowmark.data(),
                   ifirst.data(), collen.data(), colprev.data(), colnext.data(),
                   analysis_.info.data(), &analysis_.rinfo);
  analysis_.ip = ip;
  analysis_.iq = iq;
  analysis_.colpos = colprev;
  return analysis_;
}

const FactorizeResult& KernelLu::Factorize(std::int64_t job, const std::vector<double>& values,
                                           std::int64_t lfact) {
  const std::int64_t m = a_.m, n = a_.n, ne = a_.nnz();
  if (lfact == 0) lfact = AmpleLength();
  if (job == 1 || factors_.empty()) {
    factors_.assign(static_cast<std::size_t>(lfact), 0.0);
    irnf_.assign(static_cast<std::size_t>(lfact), 0);
    iptrl_.assign(static_cast<std::size_t>(n), 0);
    iptru_.assign(static_cast<std::size_t>(n), 0);
  } else if (static_cast<std::int64_t>(factors_.size()) < lfact) {
    factors_.resize(static_cast<std::size_t>(lfact));
    irnf_.resize(static_cast<std::size_t>(lfact));
  }
  if (job == 1 || factor_ip_.empty()) factor_ip_ = analysis_.ip;
  const std::vector<double>& aval = values.empty() ? a_.values : values;
  std::vector<std::int64_t> colptr(a_.colptr.begin(), a_.colptr.end() - 1);
  std::vector<double> rwork(static_cast<std::size_t>(m));
  std::vector<std::int64_t> iwork(static_cast<std::size_t>(SluKernelFactorizeWorkLength(m, n)));
  factorization_ = FactorizeResult{};
  SluKernelFactorize(&m, &n, &ne, &job, aval.data(), a_.rows.data(), colptr.data(),
                     controls_.cntl.data(), controls_.icntl.data(), factor_ip_.data(),
                     analysis_.iq.data(), &analysis_.np, &lfact, factors_.data(), irnf_.data(),
                     iptrl_.data(), iptru_.data(), rwork.data(), iwork.data(),
                     factorization_.info.data(), &factorization_.rinfo);
  return factorization_;
}

std::vector<double> KernelLu::Solve(const std::vector<double>& b, bool trans,
                                    std::int64_t level) const {
  const std::int64_t m = a_.m, n = a_.n;
  std::array<std::int64_t, 7> icntl = controls_.icntl;
  if (level >= 0) icntl[4] = level;
  std::vector<double> x(static_cast<std::size_t>(trans ? m : n));
  std::vector<double> rwork(static_cast<std::size_t>(std::max(m, n)));
  const std::int64_t flag = trans ? 1 : 0;
  const auto lfact = static_cast<std::int64_t>(factors_.size());
  std::int64_t info[7] = {};
  SluKernelSolve(&m, &n, icntl.data(), analysis_.iq.data(), &analysis_.np, &flag, &lfact,
                 factors_.data(), irnf_.data(), iptrl_.data(), iptru_.data(), b.data(), x.data(),
                 rwork.data(), info);
  solve_info_ = info[0];
  return x;
}

}  // namespace slu_test
