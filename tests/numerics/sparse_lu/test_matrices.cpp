#include "tests/numerics/sparse_lu/test_matrices.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <utility>

namespace slu_test {

double Uniform(std::mt19937_64& rng, double lo, double hi) {
  return std::uniform_real_distribution<double>(lo, hi)(rng);
}

std::vector<std::int64_t> RandomPermutation(std::int64_t n, std::mt19937_64& rng) {
  std::vector<std::int64_t> p(static_cast<std::size_t>(n));
  std::iota(p.begin(), p.end(), 1);
  std::shuffle(p.begin(), p.end(), rng);
  return p;
}

SparseMatrix FromTriplets(std::int64_t m, std::int64_t n, std::vector<std::int64_t> rows,
                          std::vector<std::int64_t> cols, std::vector<double> values) {
  std::map<std::pair<std::int64_t, std::int64_t>, double> entries;
  for (std::size_t k = 0; k < rows.size(); ++k) entries[{cols[k], rows[k]}] += values[k];
  SparseMatrix a;
  a.m = m;
  a.n = n;
  a.colptr.assign(static_cast<std::size_t>(n + 1), 0);
  for (const auto& [key, value] : entries) {
    ++a.colptr[static_cast<std::size_t>(key.first)];
    a.rows.push_back(key.second);
    a.values.push_back(value);
  }
  a.colptr[0] = 1;
  for (std::int64_t j = 1; j <= n; ++j) {
    a.colptr[static_cast<std::size_t>(j)] += a.colptr[static_cast<std::size_t>(j - 1)];
  }
  return a;
}

std::vector<double> SparseMatrix::Dense() const {
  std::vector<double> d(static_cast<std::size_t>(m * n), 0.0);
  for (std::int64_t j = 1; j <= n; ++j) {
    for (std::int64_t e = colptr[j - 1]; e < colptr[j]; ++e) {
      d[static_cast<std::size_t>((rows[e - 1] - 1) + (j - 1) * m)] += values[e - 1];
    }
  }
  return d;
}

SparseMatrix SparseMatrix::WithNewValues(std::mt19937_64& rng) const {
  SparseMatrix b = *this;
  for (double& v : b.values) v = v * Uniform(rng, 0.5, 1.5) + 0.1 * Uniform(rng);
  return b;
}

SparseMatrix SparseMatrix::Transposed() const {
  std::vector<std::int64_t> r, c;
  for (std::int64_t j = 1; j <= n; ++j) {
    for (std::int64_t e = colptr[j - 1]; e < colptr[j]; ++e) {
      r.push_back(j);
      c.push_back(rows[e - 1]);
    }
  }
  return FromTriplets(n, m, r, c, values);
}

SparseMatrix RandomRectangular(std::int64_t m, std::int64_t n, double density,
                               std::mt19937_64& rng) {
  std::vector<std::int64_t> r, c;
  std::vector<double> v;
  std::bernoulli_distribution present(density);
  for (std::int64_t j = 1; j <= n; ++j) {
    for (std::int64_t i = 1; i <= m; ++i) {
      if (!present(rng)) continue;
      r.push_back(i);
      c.push_back(j);
      v.push_back(Uniform(rng));
    }
  }
  return FromTriplets(m, n, r, c, v);
}

SparseMatrix RandomSparse(std::int64_t n, double density, std::mt19937_64& rng) {
  SparseMatrix a = RandomRectangular(n, n, density, rng);
  std::vector<std::int64_t> r, c;
  std::vector<double> v;
  for (std::int64_t j = 1; j <= n; ++j) {
    for (std::int64_t e = a.colptr[j - 1]; e < a.colptr[j]; ++e) {
      r.push_back(a.rows[e - 1]);
      c.push_back(j);
      v.push_back(a.values[e - 1]);
    }
  }
  const auto p = RandomPermutation(n, rng);
  for (std::int64_t j = 1; j <= n; ++j) {
    r.push_back(p[static_cast<std::size_t>(j - 1)]);
    c.push_back(j);
    const double s = Uniform(rng) < 0 ? -1.0 : 1.0;
    v.push_back(s * Uniform(rng, 1.0, 2.0));
  }
  return FromTriplets(n, n, r, c, v);
}

SparseMatrix Banded(std::int64_t n, std::int64_t w, std::mt19937_64& rng) {
  std::vector<std::int64_t> r, c;
  std::vector<double> v;
  for (std::int64_t j = 1; j <= n; ++j) {
    for (std::int64_t i = std::max<std::int64_t>(1, j - w); i <= std::min(n, j + w); ++i) {
      r.push_back(i);
      c.push_back(j);
      v.push_back(i == j ? 2.0 * static_cast<double>(w) + 1.0 + Uniform(rng, 0.0, 1.0)
                         : Uniform(rng));
    }
  }
  return FromTriplets(n, n, r, c, v);
}

SparseMatrix PermutedBlockTriangular(const std::vector<std::int64_t>& orders, double coupling,
                                     std::mt19937_64& rng) {
  std::int64_t n = 0;
  for (auto o : orders) n += o;
  std::vector<std::int64_t> r, c;
  std::vector<double> v;
  std::bernoulli_distribution couple(coupling);
  std::int64_t first = 1;
  for (auto order : orders) {
    for (std::int64_t j = first; j < first + order; ++j) {
      for (std::int64_t i = first; i < first + order; ++i) {
        r.push_back(i);
        c.push_back(j);
        v.push_back(i == j ? 3.0 * static_cast<double>(order) : Uniform(rng));
      }
      for (std::int64_t i = 1; i < first; ++i) {
        if (!couple(rng)) continue;
        r.push_back(i);
        c.push_back(j);
        v.push_back(Uniform(rng));
      }
    }
    first += order;
  }
  const auto pr = RandomPermutation(n, rng);
  const auto pc = RandomPermutation(n, rng);
  for (auto& i : r) i = pr[static_cast<std::size_t>(i - 1)];
  for (auto& j : c) j = pc[static_cast<std::size_t>(j - 1)];
  return FromTriplets(n, n, r, c, v);
}

SparseMatrix Arrow(std::int64_t n, std::mt19937_64& rng) {
  std::vector<std::int64_t> r, c;
  std::vector<double> v;
  for (std::int64_t i = 1; i <= n; ++i) {
    r.push_back(i);
    c.push_back(i);
    v.push_back(static_cast<double>(n) + Uniform(rng, 0.0, 1.0));
    if (i == 1) continue;
    r.push_back(1);
    c.push_back(i);
    v.push_back(Uniform(rng));
    r.push_back(i);
    c.push_back(1);
    v.push_back(Uniform(rng));
  }
  return FromTriplets(n, n, r, c, v);
}

}  // namespace slu_test
