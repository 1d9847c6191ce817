#include "workloads/sparse_matrices.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <utility>

namespace slu_test {
namespace {

std::vector<std::int64_t> RandomPermutation(std::int64_t n, std::mt19937_64& rng) {
  std::vector<std::int64_t> p(static_cast<std::size_t>(n));
  std::iota(p.begin(), p.end(), 1);
  std::shuffle(p.begin(), p.end(), rng);
  return p;
}

void AddRandom(Triplets& t, std::int64_t m, std::int64_t n, double density, std::mt19937_64& rng) {
  std::bernoulli_distribution present(density);
  for (std::int64_t j = 1; j <= n; ++j) {
    for (std::int64_t i = 1; i <= m; ++i) {
      if (present(rng)) t.Add(i, j, Uniform(rng));
    }
  }
}

}  // namespace

double Uniform(std::mt19937_64& rng, double lo, double hi) {
  return std::uniform_real_distribution<double>(lo, hi)(rng);
}

std::vector<double> RandomVector(std::int64_t n, std::mt19937_64& rng) {
  std::vector<double> b(static_cast<std::size_t>(n));
  for (double& v : b) v = Uniform(rng);
  return b;
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
  std::partial_sum(a.colptr.begin(), a.colptr.end(), a.colptr.begin());
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

SparseMatrix RandomRectangular(std::int64_t m, std::int64_t n, double density,
                               std::mt19937_64& rng) {
  Triplets t;
  AddRandom(t, m, n, density, rng);
  return t.Build(m, n);
}

SparseMatrix RandomSparse(std::int64_t n, double density, std::mt19937_64& rng) {
  Triplets t;
  AddRandom(t, n, n, density, rng);
  const auto p = RandomPermutation(n, rng);
  for (std::int64_t j = 1; j <= n; ++j) {
    const double s = Uniform(rng) < 0 ? -1.0 : 1.0;
    t.Add(p[static_cast<std::size_t>(j - 1)], j, s * Uniform(rng, 1.0, 2.0));
  }
  return t.Build(n, n);
}

SparseMatrix Banded(std::int64_t n, std::int64_t w, std::mt19937_64& rng) {
  Triplets t;
  for (std::int64_t j = 1; j <= n; ++j) {
    for (std::int64_t i = std::max<std::int64_t>(1, j - w); i <= std::min(n, j + w); ++i) {
      t.Add(i, j,
            i == j ? 2.0 * static_cast<double>(w) + 1.0 + Uniform(rng, 0.0, 1.0) : Uniform(rng));
    }
  }
  return t.Build(n, n);
}

SparseMatrix PermutedBlockTriangular(const std::vector<std::int64_t>& orders, double coupling,
                                     std::mt19937_64& rng) {
  const std::int64_t n = std::accumulate(orders.begin(), orders.end(), std::int64_t{0});
  Triplets t;
  std::bernoulli_distribution couple(coupling);
  std::int64_t first = 1;
  for (auto order : orders) {
    for (std::int64_t j = first; j < first + order; ++j) {
      for (std::int64_t i = first; i < first + order; ++i) {
        t.Add(i, j, i == j ? 3.0 * static_cast<double>(order) : Uniform(rng));
      }
      for (std::int64_t i = 1; i < first; ++i) {
        if (couple(rng)) t.Add(i, j, Uniform(rng));
      }
    }
    first += order;
  }
  const auto pr = RandomPermutation(n, rng);
  const auto pc = RandomPermutation(n, rng);
  for (auto& i : t.rows) i = pr[static_cast<std::size_t>(i - 1)];
  for (auto& j : t.cols) j = pc[static_cast<std::size_t>(j - 1)];
  return t.Build(n, n);
}

SparseMatrix Arrow(std::int64_t n, std::mt19937_64& rng) {
  Triplets t;
  for (std::int64_t i = 1; i <= n; ++i) {
    t.Add(i, i, static_cast<double>(n) + Uniform(rng, 0.0, 1.0));
    if (i == 1) continue;
    t.Add(1, i, Uniform(rng));
    t.Add(i, 1, Uniform(rng));
  }
  return t.Build(n, n);
}

}  // namespace slu_test
