#include "tests/numerics/sparse_lu/driver_lu.h"

#include <algorithm>
#include <utility>

#include "numerics/sparse_lu/defaults.h"
#include "numerics/sparse_lu/slu_drivers.h"
#include "numerics/sparse_lu/slu_interface.h"

namespace slu_test {

Coordinate ToCoordinate(const SparseMatrix& a) {
  Coordinate c;
  c.m = a.m;
  c.n = a.n;
  for (std::int64_t j = 1; j <= a.n; ++j) {
    for (std::int64_t e = a.colptr[j - 1]; e < a.colptr[j]; ++e) {
      c.rows.push_back(a.rows[e - 1]);
      c.cols.push_back(j);
      c.values.push_back(a.values[e - 1]);
    }
  }
  return c;
}

DriverLu::DriverLu(Coordinate matrix) : a(std::move(matrix)) {
  SluSetDefaults(cntl.data(), icntl.data());
  icntl[0] = icntl[1] = 0;
  const std::int64_t m = a.m, n = a.n, big = std::max(m, n);
  keep.assign(static_cast<std::size_t>(std::max(10 * n + 7, m + 8 * n + 7)), 0);
  iw.assign(static_cast<std::size_t>(6 * m + 6 * n + 2 * big), 0);
  w.assign(static_cast<std::size_t>(5 * big), 0.0);
}

std::int64_t DriverLu::Analyse(std::int64_t length, std::int64_t job) {
  la = length;
  const std::int64_t m = a.m, n = a.n, ne = a.ne();
  const auto room = static_cast<std::size_t>(std::max(la, ne));
  values.assign(room, 0.0);
  irn.assign(room, 0);
  std::copy(a.values.begin(), a.values.end(), values.begin());
  std::copy(a.rows.begin(), a.rows.end(), irn.begin());
  jcn = a.cols;
  if (jcn.empty()) jcn.push_back(0);
  SluAnalyse(&m, &n, &ne, &job, &la, values.data(), irn.data(), jcn.data(), keep.data(),
             cntl.data(), icntl.data(), iw.data(), info.data(), &rinfo);
  return info[0];
}

std::int64_t DriverLu::Factorize(std::int64_t job, const std::vector<double>& new_values,
                                 std::int64_t length) {
  if (length > 0) la = length;
  if (static_cast<std::int64_t>(values.size()) < la) {
    values.resize(static_cast<std::size_t>(la));
    irn.resize(static_cast<std::size_t>(la));
  }
  const std::vector<double>& v = new_values.empty() ? a.values : new_values;
  std::copy(v.begin(), v.end(), values.begin());
  const std::int64_t m = a.m, n = a.n, ne = a.ne();
  SluFactorize(&m, &n, &ne, &job, &la, values.data(), irn.data(), jcn.data(), keep.data(),
               cntl.data(), icntl.data(), w.data(), iw.data(), info.data(), &rinfo);
  return info[0];
}

std::int64_t DriverLu::AnalyseAndFactorize(int* analyse_retries, int* factorize_retries) {
  int analysed_again = 0, factorized_again = 0;
  if (Analyse(2 * a.ne()) == -3) {
    ++analysed_again;
    Analyse(info[2]);
  }
  if (analyse_retries != nullptr) *analyse_retries = analysed_again;
  if (info[0] < 0) return info[0];
  const std::int64_t need = std::max(info[2], info[3]);
  if (Factorize(1, {}, need) == -3) {
    ++factorized_again;
    Factorize(1, {}, info[3]);
  }
  if (factorize_retries != nullptr) *factorize_retries = factorized_again;
  return info[0];
}

std::vector<double> DriverLu::Solve(std::vector<double> rhs, bool trans, std::int64_t job) {
  const std::int64_t m = a.m, n = a.n, flag = trans ? 1 : 0;
  std::vector<double> x(static_cast<std::size_t>(trans ? m : n), -1.0);
  rhs.resize(static_cast<std::size_t>(std::max(m, n)));
  error = {-1.0, -1.0, -1.0};
  SluSolve(&m, &n, &flag, &job, &la, values.data(), irn.data(), keep.data(), cntl.data(),
           icntl.data(), rhs.data(), x.data(), error.data(), w.data(), iw.data(),
           solve_info.data());
  permuted_rhs = rhs;
  return x;
}

std::int64_t DriverLu::Blocks() const {
  const slu::KeepLayout layout(a.m, a.n);
  return keep[static_cast<std::size_t>(layout.BlockStart(1) - 1)];
}

std::vector<std::int64_t> DriverLu::BlockOrders() const {
  const slu::KeepLayout layout(a.m, a.n);
  std::vector<std::int64_t> orders;
  for (std::int64_t b = 1; b <= Blocks(); ++b) {
    const std::int64_t order = keep[static_cast<std::size_t>(layout.BlockOrder(b) - 1)];
    const bool triangular = keep[static_cast<std::size_t>(layout.BlockFlag(b) - 1)] < 0;
    for (std::int64_t k = 0; k < (triangular ? order : 1); ++k) {
      orders.push_back(triangular ? 1 : order);
    }
  }
  std::sort(orders.begin(), orders.end());
  return orders;
}

}  // namespace slu_test
