// The drivers end to end on seeded matrix families, against LAPACK and
// SuiteSparse BTF as independent references.
#include <gtest/gtest.h>

#include <btf.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "numerics/sparse_lu/slu_drivers.h"
#include "numerics/sparse_lu/slu_interface.h"
#include "tests/numerics/sparse_lu/driver_lu.h"
#include "tests/numerics/sparse_lu/reference.h"

namespace {

using slu_test::Coordinate;
using slu_test::DriverLu;
using slu_test::SparseMatrix;

// A few dense rows and columns over a sparse diagonal-dominant base.
SparseMatrix DenseLines(std::int64_t n, std::mt19937_64& rng) {
  slu_test::Triplets t;
  for (std::int64_t i = 1; i <= n; ++i) {
    t.Add(i, i, 4.0 + slu_test::Uniform(rng, 0.0, 1.0));
    if (i > 1) t.Add(i, i - 1, slu_test::Uniform(rng));
  }
  for (std::int64_t line : {std::int64_t{2}, n / 2, n - 1}) {
    for (std::int64_t k = 1; k <= n; ++k) {
      if (k == line) continue;
      t.Add(line, k, 0.1 * slu_test::Uniform(rng));
      t.Add(k, line, 0.1 * slu_test::Uniform(rng));
    }
  }
  return t.Build(n, n);
}

// Block upper triangular with blocks of order 1 to 4 (runs of order 1
// included), permuted.
SparseMatrix BlockChain(std::int64_t blocks, std::mt19937_64& rng) {
  std::vector<std::int64_t> orders;
  std::uniform_int_distribution<std::int64_t> order(1, 4);
  for (std::int64_t b = 0; b < blocks; ++b) orders.push_back(order(rng));
  return slu_test::PermutedBlockTriangular(orders, 0.05, rng);
}

struct Family {
  std::string name;
  std::function<SparseMatrix(std::mt19937_64&)> make;
};

std::vector<Family> Families() {
  using namespace slu_test;
  return {
      {"random", [](std::mt19937_64& r) { return RandomSparse(150, 0.03, r); }},
      {"random dense", [](std::mt19937_64& r) { return RandomSparse(60, 0.3, r); }},
      {"block chain", [](std::mt19937_64& r) { return BlockChain(60, r); }},
      {"known blocks",
       [](std::mt19937_64& r) {
         return PermutedBlockTriangular({5, 1, 1, 7, 2, 1, 9}, 0.3, r);
       }},
      {"arrow", [](std::mt19937_64& r) { return Arrow(80, r); }},
      {"banded", [](std::mt19937_64& r) { return Banded(120, 3, r); }},
      {"dense lines", [](std::mt19937_64& r) { return DenseLines(90, r); }},
  };
}

// Block orders by btf_l_maxtrans and btf_l_strongcomp, sorted.
std::vector<std::int64_t> BtfOrders(const SparseMatrix& a) {
  std::vector<SuiteSparse_long> ap, ai;
  for (auto p : a.colptr) ap.push_back(p - 1);
  for (auto i : a.rows) ai.push_back(i - 1);
  const auto n = static_cast<std::size_t>(a.n);
  std::vector<SuiteSparse_long> match(n), perm(n), r(n + 1), work(5 * n);
  double done = 0.0;
  btf_l_maxtrans(a.n, a.n, ap.data(), ai.data(), 0.0, &done, match.data(), work.data());
  const auto blocks =
      btf_l_strongcomp(a.n, ap.data(), ai.data(), match.data(), perm.data(), r.data(), work.data());
  std::vector<std::int64_t> orders;
  for (SuiteSparse_long b = 0; b < blocks; ++b) orders.push_back(r[b + 1] - r[b]);
  std::sort(orders.begin(), orders.end());
  return orders;
}

// Solves both ways and compares with LAPACK; returns the worst backward
// error scaled by the condition-free bound of the normwise measure.
void ExpectSolvesLikeLapack(DriverLu& lu, const SparseMatrix& a, std::mt19937_64& rng,
                            const std::string& what) {
  for (bool trans : {false, true}) {
    const std::vector<double> b = slu_test::RandomVector(a.n, rng);
    const std::vector<double> x = lu.Solve(b, trans);
    EXPECT_EQ(lu.solve_info[0], 0) << what;
    EXPECT_LE(slu_test::BackwardError(a, x, b, trans), 1e-14) << what << " trans " << trans;
    const std::vector<double> reference = slu_test::LapackSolve(a, b, trans);
    EXPECT_LE(slu_test::MaxAbsDifference(x, reference),
              1e-10 * std::max(1.0, slu_test::MaxAbs(reference)))
        << what << " trans " << trans;
  }
}

TEST(SluDrivers, FamiliesSolveLikeLapackWithTheBlocksOfBtf) {
  for (const Family& family : Families()) {
    for (int seed = 1; seed <= 3; ++seed) {
      std::mt19937_64 rng(static_cast<unsigned>(100 * seed));
      const SparseMatrix a = family.make(rng);
      const std::string what = family.name + " seed " + std::to_string(seed);
      DriverLu lu(slu_test::ToCoordinate(a));
      int analyse_retries = 0, factorize_retries = 0;
      ASSERT_EQ(lu.AnalyseAndFactorize(&analyse_retries, &factorize_retries), 0) << what;
      EXPECT_EQ(factorize_retries, 0) << what;  // the estimate INFO(4) suffices
      EXPECT_EQ(lu.BlockOrders(), BtfOrders(a)) << what;
      ExpectSolvesLikeLapack(lu, a, rng, what);
      // New values on the same pattern, refactorized fast.
      const SparseMatrix fresh = a.WithNewValues(rng);
      ASSERT_EQ(lu.Factorize(2, slu_test::ToCoordinate(fresh).values), 0) << what;
      ExpectSolvesLikeLapack(lu, fresh, rng, what + " refactorized");
    }
  }
}

// Each entry split into two duplicates, plus entries out of range: summed,
// counted, ignored, and the same solution.
TEST(SluDrivers, DuplicatesAreSummedAndOutOfRangeIgnored) {
  std::mt19937_64 rng(7);
  for (const SparseMatrix& a : {slu_test::RandomSparse(40, 0.1, rng), slu_test::Arrow(30, rng),
                                slu_test::RandomRectangular(30, 20, 0.2, rng)}) {
    Coordinate c = slu_test::ToCoordinate(a);
    const std::int64_t ne = c.ne();
    for (std::int64_t k = 0; k < ne; k += 3) {
      const double part = slu_test::Uniform(rng);
      c.values[static_cast<std::size_t>(k)] -= part;
      c.rows.push_back(c.rows[static_cast<std::size_t>(k)]);
      c.cols.push_back(c.cols[static_cast<std::size_t>(k)]);
      c.values.push_back(part);
    }
    const std::int64_t duplicates = c.ne() - ne;
    for (auto [i, j] :
         {std::pair<std::int64_t, std::int64_t>{0, 1}, {a.m + 1, 1}, {1, -2}, {1, a.n + 1}}) {
      c.rows.insert(c.rows.begin(), i);
      c.cols.insert(c.cols.begin(), j);
      c.values.insert(c.values.begin(), 1e6);
    }
    DriverLu lu(c);
    ASSERT_GE(lu.Analyse(10 * c.ne()), 0);
    EXPECT_EQ(lu.info[0] & 1, 1);
    EXPECT_EQ(lu.info[10], duplicates);
    EXPECT_EQ(lu.info[11], 4);
    EXPECT_EQ(lu.jcn[1], c.ne());  // an out-of-range entry maps outside the matrix
    EXPECT_LT(lu.jcn[0], 0);       // duplicates: the map starts negated
    ASSERT_GE(lu.Factorize(1, {}, std::max(lu.info[2], lu.info[3])), 0);
    // A consistent system: x0 comes back.
    const std::vector<double> x0 = slu_test::RandomVector(a.n, rng);
    const std::vector<double> x = lu.Solve(slu_test::Multiply(a, x0, false), false);
    EXPECT_LE(slu_test::MaxAbsDifference(x, x0), 1e-10);
  }
}

// One retry with the reported lengths always succeeds, also on large
// systems where the first attempt falls far short.
TEST(SluDrivers, OneRetryWithTheReportedLengthSucceeds) {
  std::mt19937_64 rng(11);
  const std::vector<SparseMatrix> cases = {slu_test::RandomSparse(1000, 0.008, rng),
                                           BlockChain(2000, rng), slu_test::Banded(100000, 3, rng)};
  for (const SparseMatrix& a : cases) {
    DriverLu lu(slu_test::ToCoordinate(a));
    ASSERT_EQ(lu.AnalyseAndFactorize(), 0) << a.n;
    const std::vector<double> b = slu_test::RandomVector(a.n, rng);
    EXPECT_LE(slu_test::BackwardError(a, lu.Solve(b, false), b, false), 1e-14) << a.n;
  }
}

// Lower triangular: one triangular block, no kernel. A diagonal value of 0
// only lowers the rank estimate; the factorization then factorizes the
// block (JOB = 1) or refuses it (JOB = 2); an absent diagonal entry is a
// structural singularity.
TEST(SluDrivers, TriangularMatrixIsOneTriangularBlock) {
  constexpr std::int64_t n = 6;
  auto lower = [](double diagonal_of_3, bool with_3) {
    Coordinate c;
    c.m = c.n = n;
    for (std::int64_t j = 1; j <= n; ++j) {
      for (std::int64_t i = j; i <= n; ++i) {
        if (i == j && j == 3 && !with_3) continue;
        c.rows.push_back(i);
        c.cols.push_back(j);
        c.values.push_back(i == j ? (j == 3 ? diagonal_of_3 : 2.0) : 0.5);
      }
    }
    return c;
  };
  DriverLu regular(lower(2.0, true));
  ASSERT_EQ(regular.AnalyseAndFactorize(), 0);
  EXPECT_EQ(regular.Blocks(), 1);
  EXPECT_EQ(regular.keep[static_cast<std::size_t>(slu::KeepLayout(n, n).BlockFlag(1) - 1)], -1);
  EXPECT_EQ(slu_test::Joined(
                std::vector<std::int64_t>(regular.info.begin() + 4, regular.info.begin() + 9)),
            "6 0 0 0 0");
  const std::vector<double> x = regular.Solve({2, 3, 4, 5, 6, 7}, true);
  const std::vector<double> y = regular.Solve({2, 3, 4, 5, 6, 7}, false);
  EXPECT_DOUBLE_EQ(y[0], 1.0);
  EXPECT_DOUBLE_EQ(x[5], 3.5);

  DriverLu zero(lower(0.0, true));
  ASSERT_EQ(zero.Analyse(100), 0);
  EXPECT_EQ(zero.info[4], n - 1);
  EXPECT_EQ(zero.Factorize(2), -7);
  // JOB = 3 has no earlier factors of the block to start from: it is
  // factorized afresh like JOB = 1.
  EXPECT_EQ(zero.Factorize(3), 2);
  EXPECT_EQ(zero.info[4], n - 1);
  ASSERT_EQ(zero.Analyse(100), 0);
  EXPECT_EQ(zero.Factorize(1), 2);
  EXPECT_EQ(zero.info[4], n - 1);
  EXPECT_EQ(zero.Factorize(2), 2);  // now a factorized block: its pivots are reused

  DriverLu absent(lower(0.0, false));
  EXPECT_EQ(absent.Analyse(100), -4);
  absent.icntl[6] = 0;
  EXPECT_EQ(absent.Analyse(100), 2);
  EXPECT_EQ(absent.info[9], n - 1);
  EXPECT_EQ(absent.Blocks(), 1);
}

struct ErrorCase {
  std::string name;
  std::function<std::int64_t(DriverLu&)> call;
  std::int64_t code;
};

TEST(SluDrivers, ArgumentAndStateErrors) {
  std::mt19937_64 rng(3);
  const SparseMatrix a = slu_test::RandomSparse(20, 0.2, rng);
  const std::int64_t ne = a.nnz();
  auto analysed = [](DriverLu& lu) { return lu.Analyse(20 * lu.a.ne()); };
  const std::vector<ErrorCase> cases = {
      {"analyse M",
       [](DriverLu& lu) {
         lu.a.m = 0;
         return lu.Analyse(100);
       },
       -1},
      {"analyse NE",
       [](DriverLu& lu) {
         lu.a.rows.clear();
         lu.a.cols.clear();
         lu.a.values.clear();
         return lu.Analyse(100);
       },
       -2},
      {"analyse LA",
       [&](DriverLu& lu) {
         lu.Analyse(2 * ne - 1);
         return lu.info[2] == 2 * ne ? lu.info[0] : 0;
       },
       -3},
      {"analyse JOB", [](DriverLu& lu) { return lu.Analyse(1000, 4); }, -6},
      {"analyse given repeat",
       [](DriverLu& lu) {
         for (std::int64_t k = 0; k < 40; ++k) lu.keep[static_cast<std::size_t>(k)] = k % 20 + 1;
         lu.keep[25] = 1;
         return lu.Analyse(1000, 2);
       },
       -5},
      {"factorize LA",
       [&](DriverLu& lu) {
         analysed(lu);
         lu.la = 2 * ne - 1;
         lu.Factorize(1);
         return lu.info[3] == 2 * ne ? lu.info[0] : 0;
       },
       -3},
      {"factorize JOB",
       [&](DriverLu& lu) {
         analysed(lu);
         return lu.Factorize(4);
       },
       -6},
      {"factorize after drops",
       [&](DriverLu& lu) {
         lu.cntl[2] = 0.3;
         analysed(lu);
         lu.Factorize(1);
         return lu.info[5] > 0 ? lu.Factorize(2) : 0;
       },
       -6},
      {"solve JOB",
       [&](DriverLu& lu) {
         analysed(lu);
         lu.Factorize(1);
         lu.Solve(std::vector<double>(20, 1.0), false, 5);
         return lu.solve_info[0];
       },
       -6},
  };
  for (const ErrorCase& c : cases) {
    DriverLu lu(slu_test::ToCoordinate(a));
    EXPECT_EQ(c.call(lu), c.code) << c.name;
  }
}

// Warning arithmetic: duplicates (1) with rank deficiency (2); the pivot
// search finding no diagonal pivot (4).
TEST(SluDrivers, WarningsAddUp) {
  Coordinate c;
  c.m = c.n = 3;
  c.rows = {1, 1, 2, 3, 2, 3};
  c.cols = {1, 1, 2, 2, 3, 3};
  c.values = {1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
  DriverLu numeric(c);  // rows 2 and 3 equal: the factorization finds rank 2
  EXPECT_EQ(numeric.Analyse(100), 1);
  EXPECT_EQ(numeric.Factorize(1), 2);
  EXPECT_EQ(numeric.info[4], 2);
  c.cols = {1, 1, 2, 2, 2, 1};  // column 3 empty: structural rank 2
  DriverLu structural(c);
  structural.icntl[6] = 0;
  EXPECT_EQ(structural.Analyse(100), 3);
  EXPECT_EQ(structural.info[4], 2);

  Coordinate d;
  d.m = d.n = 4;
  d.rows = {1, 2, 1, 2, 3, 4, 3, 4};
  d.cols = {1, 1, 2, 2, 3, 3, 4, 4};
  d.values = {1e-9, 1.0, 1.0, 1e-9, 1e-9, 1.0, 1.0, 1e-9};
  DriverLu diagonal(d);
  diagonal.cntl[0] = 1.0;  // stay sparse as long as possible
  const std::int64_t code = diagonal.Analyse(100, 3);
  EXPECT_EQ(code & 4, 4);
  EXPECT_LE(code, 7);
}

// The given order of JOB = 2 is honoured where its pivots pass the
// threshold; a rectangular matrix is one block.
TEST(SluDrivers, GivenOrderAndRectangular) {
  std::mt19937_64 rng(5);
  const SparseMatrix a = slu_test::Banded(12, 2, rng);
  DriverLu lu(slu_test::ToCoordinate(a));
  for (std::int64_t i = 1; i <= 12; ++i) {
    lu.keep[static_cast<std::size_t>(i - 1)] = 13 - i;
    lu.keep[static_cast<std::size_t>(12 + i - 1)] = 13 - i;
  }
  ASSERT_EQ(lu.Analyse(1000, 2), 0);
  EXPECT_EQ(lu.Blocks(), 1);
  EXPECT_EQ(lu.keep[12], 12);  // column 12 first
  EXPECT_EQ(lu.keep[11], 1);   // row 12 first
  ASSERT_EQ(lu.Factorize(1), 0);
  ExpectSolvesLikeLapack(lu, a, rng, "given order");

  const SparseMatrix tall = slu_test::RandomRectangular(30, 12, 0.3, rng);
  DriverLu rect(slu_test::ToCoordinate(tall));
  ASSERT_GE(rect.Analyse(5000), 0);
  EXPECT_EQ(rect.Blocks(), 1);
  EXPECT_EQ(rect.info[9], 12);
  EXPECT_EQ(rect.info[6], 30);
  ASSERT_GE(rect.Factorize(1, {}, std::max(rect.info[2], rect.info[3])), 0);
  if (rect.info[4] == 12) {
    const std::vector<double> x0 = slu_test::RandomVector(12, rng);
    const std::vector<double> x = rect.Solve(slu_test::Multiply(tall, x0, false), false);
    EXPECT_LE(slu_test::MaxAbsDifference(x, x0), 1e-10);
  }
}

// Changeable columns go last in their block and are counted.
TEST(SluDrivers, ChangeableColumnsLast) {
  std::mt19937_64 rng(9);
  const SparseMatrix a = slu_test::RandomSparse(10, 0.5, rng);
  DriverLu lu(slu_test::ToCoordinate(a));
  lu.icntl[7] = 1;
  for (std::int64_t j = 0; j < 10; ++j)
    lu.iw[static_cast<std::size_t>(j)] = j == 2 || j == 6 ? 0 : 1;
  ASSERT_EQ(lu.Analyse(1000), 0);
  ASSERT_EQ(lu.Factorize(1), 0);
  ASSERT_EQ(lu.Blocks(), 1);
  const slu::KeepLayout layout(10, 10);
  EXPECT_EQ(lu.keep[static_cast<std::size_t>(layout.ChangedColumns(1, 1) - 1)], 2);
  std::vector<std::int64_t> last = {lu.keep[18], lu.keep[19]};
  std::sort(last.begin(), last.end());
  EXPECT_EQ(slu_test::Joined(last), "3 7");
  ExpectSolvesLikeLapack(lu, a, rng, "changeable");
  ASSERT_EQ(lu.Factorize(2, slu_test::ToCoordinate(a.WithNewValues(rng)).values), 0);
}

// Refactorizing with changeable columns, JOB 2 (fast) and 3 (pivoting
// again), keeps the factors of the fixed columns and recomputes the rest:
// the solution must stay right with the same values and with new values
// in the changeable columns, on small seeded matrices of every shape.
TEST(SluDrivers, ChangeableColumnsRefactorizeToTheRightSolution) {
  std::mt19937_64 rng(4242);
  std::uniform_int_distribution<std::int64_t> order(2, 9);
  int solved = 0;
  for (int trial = 0; trial < 1500; ++trial) {
    const std::int64_t n = order(rng);
    const SparseMatrix a = trial % 4 == 0   ? slu_test::Banded(n, 1 + trial % 2, rng)
                           : trial % 4 == 1 ? slu_test::RandomSparse(n, 0.4, rng)
                           : trial % 4 == 2
                               ? slu_test::Arrow(n, rng)
                               : slu_test::PermutedBlockTriangular({n / 2, n - n / 2}, 0.3, rng);
    DriverLu lu(slu_test::ToCoordinate(a));
    lu.icntl[7] = 1;
    std::vector<bool> changeable(static_cast<std::size_t>(n));
    for (std::int64_t j = 0; j < n; ++j) {
      changeable[static_cast<std::size_t>(j)] = rng() % 3 == 0;
      lu.iw[static_cast<std::size_t>(j)] = changeable[static_cast<std::size_t>(j)] ? 0 : 1;
    }
    if (trial % 2 == 0) lu.cntl[0] = 1.0;  // a long sparse phase
    ASSERT_GE(lu.Analyse(40 * a.nnz() + 100), 0) << trial;
    if (lu.Factorize(1, {}, 40 * a.nnz() + 100) != 0) continue;
    // New values in the changeable columns only.
    SparseMatrix changed = a;
    for (std::int64_t j = 0; j < n; ++j) {
      if (!changeable[static_cast<std::size_t>(j)]) continue;
      for (std::int64_t e = a.colptr[static_cast<std::size_t>(j)];
           e < a.colptr[static_cast<std::size_t>(j) + 1]; ++e) {
        changed.values[static_cast<std::size_t>(e - 1)] *= 1.0 + 0.25 * slu_test::Uniform(rng);
      }
    }
    for (std::int64_t job : {2, 3}) {
      for (const SparseMatrix* m : {&a, static_cast<const SparseMatrix*>(&changed)}) {
        if (lu.Factorize(job, slu_test::ToCoordinate(*m).values) != 0) continue;
        for (bool trans : {false, true}) {
          const std::vector<double> b = slu_test::RandomVector(n, rng);
          const std::vector<double> x = lu.Solve(b, trans);
          ASSERT_LE(slu_test::BackwardError(*m, x, b, trans), 1e-12)
              << "trial " << trial << " job " << job << " trans " << trans
              << (m == &a ? " same values" : " new values");
          ++solved;
        }
      }
    }
  }
  EXPECT_GT(solved, 4000);
}

// Room for the first block's factors only: -3, and INFO(4) counts what
// every block needs, so one retry succeeds.
TEST(SluDrivers, ShortFactorStorageCountsEveryBlock) {
  std::mt19937_64 rng(17);
  const SparseMatrix a = slu_test::PermutedBlockTriangular({20, 20, 20}, 0.1, rng);
  DriverLu lu(slu_test::ToCoordinate(a));
  ASSERT_EQ(lu.Analyse(100000), 0);
  ASSERT_EQ(lu.Factorize(1), 0);
  const slu::KeepLayout layout(a.n, a.n);
  auto at = [&](std::int64_t position) { return lu.keep[static_cast<std::size_t>(position - 1)]; };
  ASSERT_EQ(lu.Blocks(), 3);
  const std::int64_t factors = at(layout.kblock);
  const std::int64_t second = at(layout.BlockStart(2)), third = at(layout.BlockStart(3));
  const std::int64_t whole = lu.info[3];

  EXPECT_EQ(lu.Factorize(1, {}, factors + second + (third - second) / 2), -3);
  EXPECT_GE(lu.info[3], whole);
  EXPECT_EQ(lu.Factorize(1, {}, lu.info[3]), 0);
  ExpectSolvesLikeLapack(lu, a, rng, "after the retry");
}

// Seeded garbage: any dimensions, indices, lengths and jobs end with a
// code, never a crash, and a successful analysis factorizes and solves.
TEST(SluDrivers, RandomInputNeverCrashes) {
  std::mt19937_64 rng(2024);
  std::uniform_int_distribution<std::int64_t> size(1, 12);
  for (int trial = 0; trial < 400; ++trial) {
    Coordinate c;
    c.m = size(rng);
    c.n = trial % 3 == 0 ? c.m : size(rng);
    std::uniform_int_distribution<std::int64_t> row(-1, c.m + 1), col(-1, c.n + 1);
    for (std::int64_t k = size(rng) * 3; k > 0; --k) {
      c.rows.push_back(row(rng));
      c.cols.push_back(col(rng));
      c.values.push_back(slu_test::Uniform(rng));
    }
    DriverLu lu(c);
    lu.icntl[6] = trial % 2;
    lu.icntl[5] = trial % 5;
    const std::int64_t analyse_job = 1 + trial % 3;
    if (analyse_job == 2) {
      // Valid given orders: the identity.
      for (std::int64_t i = 1; i <= c.m; ++i) lu.keep[static_cast<std::size_t>(i - 1)] = i;
      for (std::int64_t j = 1; j <= c.n; ++j) lu.keep[static_cast<std::size_t>(c.m + j - 1)] = j;
    }
    std::uniform_int_distribution<std::int64_t> length(c.ne(), 12 * c.ne());
    const std::int64_t code = lu.Analyse(length(rng), analyse_job);
    ASSERT_GE(code, -6) << trial;
    ASSERT_LE(code, 7) << trial;
    if (code < 0) continue;
    const std::int64_t f = lu.Factorize(1, {}, 2 * std::max(lu.info[2], lu.info[3]));
    ASSERT_TRUE(f == 0 || f == 2) << trial << " " << f;
    for (std::int64_t j = 1; j <= 4; ++j) {
      lu.Solve(slu_test::RandomVector(c.m + c.n, rng), j % 2 == 0, j);
      const std::int64_t s = lu.solve_info[0];
      ASSERT_TRUE(s == 0 || s == -8 || s == -9) << trial;
    }
  }
}

}  // namespace
