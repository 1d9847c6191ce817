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

std::int64_t KernelLu::AmpleLength() const {
  return a.nnz() + 2 * a.m * a.n + 4 * (a.m + a.n) + 10;
}

const AnalyseResult& KernelLu::Analyse(std::int64_t la, const std::vector<std::int64_t>& given_rows,
                                       const std::vector<std::int64_t>& given_columns) {
  const std::int64_t m = a.m, n = a.n, ne = a.nnz();
  if (la == 0) la = AmpleLength();
  // Room for the input even when LA is too short for it (the kernel refuses).
  const auto room = static_cast<std::size_t>(std::max(la, ne));
  std::vector<double> values(room);
  std::vector<std::int64_t> irn(room), jcn(room);
  std::copy(a.values.begin(), a.values.end(), values.begin());
  std::copy(a.rows.begin(), a.rows.end(), irn.begin());
  std::vector<std::int64_t> iq(a.colptr.begin(), a.colptr.end() - 1);
  std::vector<std::int64_t> ip(static_cast<std::size_t>(m)), ifirst(static_cast<std::size_t>(n));
  if (!given_rows.empty()) ip = given_rows;
  if (!given_columns.empty()) ifirst = given_columns;
  std::vector<std::int64_t> colhead(m), rowlen(m), rowprev(m), rownext(m), rowmark(m);
  std::vector<std::int64_t> collen(n), colprev(n), colnext(n);
  analysis = AnalyseResult{};
  SluKernelAnalyse(&m, &n, &ne, &la, values.data(), irn.data(), jcn.data(), iq.data(),
                   controls.cntl.data(), controls.icntl.data(), ip.data(), &analysis.np,
                   colhead.data(), rowlen.data(), rowprev.data(), rownext.data(), rowmark.data(),
                   ifirst.data(), collen.data(), colprev.data(), colnext.data(),
                   analysis.info.data(), &analysis.rinfo);
  analysis.ip = ip;
  analysis.iq = iq;
  analysis.colpos = colprev;
  return analysis;
}

const FactorizeResult& KernelLu::Factorize(std::int64_t job, const std::vector<double>& values,
                                           std::int64_t lfact) {
  const std::int64_t m = a.m, n = a.n, ne = a.nnz();
  if (lfact == 0) lfact = AmpleLength();
  if (job == 1 || factors.empty()) {
    factors.assign(static_cast<std::size_t>(lfact), 0.0);
    irnf.assign(static_cast<std::size_t>(lfact), 0);
    iptrl.assign(static_cast<std::size_t>(n), 0);
    iptru.assign(static_cast<std::size_t>(n), 0);
  } else if (static_cast<std::int64_t>(factors.size()) < lfact) {
    factors.resize(static_cast<std::size_t>(lfact));
    irnf.resize(static_cast<std::size_t>(lfact));
  }
  if (job == 1 || factor_ip.empty()) factor_ip = analysis.ip;
  const std::vector<double>& aval = values.empty() ? a.values : values;
  std::vector<std::int64_t> colptr(a.colptr.begin(), a.colptr.end() - 1);
  std::vector<double> rwork(static_cast<std::size_t>(m));
  std::vector<std::int64_t> iwork(static_cast<std::size_t>(SluKernelFactorizeWorkLength(m, n)));
  factorization = FactorizeResult{};
  SluKernelFactorize(&m, &n, &ne, &job, aval.data(), a.rows.data(), colptr.data(),
                     controls.cntl.data(), controls.icntl.data(), factor_ip.data(),
                     analysis.iq.data(), &analysis.np, &lfact, factors.data(), irnf.data(),
                     iptrl.data(), iptru.data(), rwork.data(), iwork.data(),
                     factorization.info.data(), &factorization.rinfo);
  return factorization;
}

std::vector<double> KernelLu::Solve(const std::vector<double>& b, bool trans,
                                    std::int64_t level) const {
  const std::int64_t m = a.m, n = a.n;
  std::array<std::int64_t, 7> icntl = controls.icntl;
  if (level >= 0) icntl[4] = level;
  std::vector<double> x(static_cast<std::size_t>(trans ? m : n));
  std::vector<double> rwork(static_cast<std::size_t>(std::max(m, n)));
  const std::int64_t flag = trans ? 1 : 0;
  const auto lfact = static_cast<std::int64_t>(factors.size());
  std::int64_t info[7] = {};
  SluKernelSolve(&m, &n, icntl.data(), analysis.iq.data(), &analysis.np, &flag, &lfact,
                 factors.data(), irnf.data(), iptrl.data(), iptru.data(), b.data(), x.data(),
                 rwork.data(), info);
  last_solve_info = info[0];
  return x;
}

}  // namespace slu_test
