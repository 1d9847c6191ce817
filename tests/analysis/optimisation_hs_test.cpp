// The reduced-space driver through both SQP libraries, the test playing the
// model: Hock-Schittkowski problems reach their optima with the right
// active sets and multiplier signs, minimising f and maximising -f agree.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "analysis/optimisation/reduced_driver.h"
#include "framework/libraries/library_api.h"
#include "solve/ifaces/kvs_common.h"
#include "solve/methods/open_solvers.h"
#include "solve/methods/solver_factories.h"
#include "solve/optimisers/dense_optimiser.h"
#include "tests/analysis/optimisation_fakes.h"
#include "tests/solve/hs_problems.h"

#if defined(VANTOR_KVS_DIR) && defined(VANTOR_NLP_LIBRARIES)

namespace {

namespace oo = optimisation_options;
using optimisation_fakes::Printed;
using optimisation_fakes::TestOptions;

const bool kSearchPath = [] {
  AddDLLSearchPath(VANTOR_KVS_DIR);
  return true;
}();

// The published optimum: x*, and the multipliers of ∇f = Σλ∇c + z_lower -
// z_upper, constraints in the problem's order (equalities first).
struct Reference {
  std::string name;
  std::vector<double> x;
  double f;
  std::vector<double> constraint;
  std::vector<double> lower;
  std::vector<double> upper;
};

hs::Problem Hs014() {
  return {"HS014",
          2,
          1,
          1,
          {2, 2},
          hs::Free(2, -hs::kInf),
          hs::Free(2, hs::kInf),
          9.0 - 23.0 * std::sqrt(7.0) / 8.0,
          [](const hs::D* x, hs::D* f, hs::D* c) {
            *f = hs::sq(x[0] - hs::D(2)) + hs::sq(x[1] - hs::D(1));
            c[0] = x[0] - hs::D(2) * x[1] + hs::D(1);
            c[1] = hs::D(-0.25) * hs::sq(x[0]) - hs::sq(x[1]) + hs::D(1);
          }};
}

hs::Problem ByName(const std::string& name) {
  if (name == "HS014") return Hs014();
  for (const hs::Problem& p : hs::All()) {
    if (p.name == name) return p;
  }
  return {};
}

std::vector<Reference> References() {
  const double r7 = std::sqrt(7.0);
  return {
      {"HS071",
       {1.0, 4.7429996, 3.8211500, 1.3794083},
       17.0140172891563,
       {-0.16146857, 0.55229366},
       {1.08787123, 0, 0, 0},
       {0, 0, 0, 0}},
      {"HS035", {4.0 / 3, 7.0 / 9, 4.0 / 9}, 1.0 / 9, {2.0 / 9}, {0, 0, 0}, {0, 0, 0}},
      {"HS021", {2, 0}, -99.96, {0}, {0.04, 0}, {0, 0}},
      {"HS014",
       {(r7 - 1) / 2, (r7 + 1) / 4},
       9.0 - 23.0 * r7 / 8.0,
       {-1.5944911183, 1.8465914396},
       {0, 0},
       {0, 0}},
      {"HS076",
       {3.0 / 11, 23.0 / 11, 0, 6.0 / 11},
       -103.0 / 22,
       {5.0 / 11, 0, 0},
       {0, 0, 19.0 / 11, 0},
       {0, 0, 0, 0}},
  };
}

std::string Label(const char* prefix, std::size_t k) {
  char text[48];
  std::snprintf(text, sizeof text, "%s%zu", prefix, k);
  return text;
}

struct Outcome {
  std::int32_t result = 0;
  std::vector<double> x;
  double objective = 0.0;
  std::vector<double> multipliers;
  std::int32_t evaluations = 0;
  std::vector<std::string> printed;
};

// `tolerance` 0 leaves the optimisation tolerance at the engine's default.
Outcome Solve(const hs::Problem& p, std::int32_t optimizer, bool maximise,
              double tolerance = 1e-12, std::int32_t max_evaluations = 3000) {
  TestOptions options;
  options.ints[oo::kPrintLevel] = 0;
  options.ints[oo::kObjFun] = maximise ? 1 : 0;
  options.ints[oo::kMaxEval] = max_evaluations;
  if (tolerance > 0.0) options.reals[oo::kOptTol] = tolerance;
  optimisation::Layout l;
  for (int j = 0; j < p.n; ++j) {
    optimisation::Entry e;
    e.kind = optimisation::EntryKind::kDecision;
    e.name = Label("x", static_cast<std::size_t>(j + 1));
    e.value = p.start[static_cast<std::size_t>(j)];
    e.lower = p.lower[static_cast<std::size_t>(j)];
    e.upper = p.upper[static_cast<std::size_t>(j)];
    l.entries.push_back(e);
  }
  for (int i = 0; i < p.m(); ++i) {
    l.constraints.push_back(
        {i < p.equalities ? 0 : 1, 0.0, 0, 0.0, Label("c", static_cast<std::size_t>(i + 1))});
  }
  l.equalities = p.equalities;
  l.objectives = {"f"};
  l.optimizer = optimizer;
  Printed printed;
  auto factory = [tolerance, max_evaluations](std::int32_t kind, std::int32_t e, std::int32_t c,
                                              std::int32_t n) {
    Status status = 0;
    QLNDenseOptimiser* made =
        CreateDenseOptimiser(kRunOptimisation, kind, e, c, n, nullptr, &status);
    EXPECT_EQ(status, 0u);
    if (made != nullptr && kind == kOptimiserSqpb && tolerance > 0.0) {
      const double tight = 1e-10;
      const std::int32_t iterations = max_evaluations;
      made->PassSetting("OptTol", kKvsReal, &tight);
      made->PassSetting("MaxIterations", kKvsInteger, &iterations);
    }
    return made;
  };
  auto d = ReducedSpaceDriver::Create(l, printed.Fn(), factory);
  Outcome out;
  if (d == nullptr) return out;
  const auto n = static_cast<std::size_t>(p.n);
  const auto m = static_cast<std::size_t>(p.m());
  std::vector<double> c(m), rows((1 + m) * n), jac(m * n);
  double f = 0.0;
  const double s = maximise ? -1.0 : 1.0;
  auto evaluate = [&](const std::vector<double>& x) {
    p.Evaluate(x.data(), &f, c.data(), rows.data(), jac.data());
    // The model's objective variable holds s·f.
    f *= s;
    for (std::size_t j = 0; j < n; ++j) rows[j] *= s;
    std::copy(jac.begin(), jac.end(), rows.begin() + static_cast<std::ptrdiff_t>(n));
    return ReducedSpaceDriver::Pass{&f, c.data(), rows.data(), nullptr};
  };
  std::int32_t code = kOptFirstEvaluation;
  for (int k = 0; k < 5000; ++k) {
    std::vector<double> x(d->X());
    if (code == kOptFirstEvaluation) x = p.start;
    out.result = d->Run(code, evaluate(x), nullptr, nullptr);
    if (out.result != 0) break;
    code = kOptEvaluated;
  }
  out.x = d->X();
  out.objective = d->OptimumObjective();
  out.multipliers = d->Multipliers();
  out.evaluations = d->Evaluations();
  for (const auto& line : printed.lines) out.printed.push_back(line.second);
  return out;
}

void ExpectReference(const Reference& ref, const Outcome& o, double sign, const std::string& what) {
  const hs::Problem p = ByName(ref.name);
  ASSERT_EQ(o.result, 1) << what;
  const auto n = static_cast<std::size_t>(p.n);
  EXPECT_NEAR(o.objective, sign * ref.f, 1e-6 * std::fabs(ref.f)) << what;
  for (std::size_t j = 0; j < n; ++j) EXPECT_NEAR(o.x[j], ref.x[j], 1e-4) << what << " x" << j;
  ASSERT_EQ(o.multipliers.size(), 2 * n + ref.constraint.size());
  // Active where the reference is, with its sign; nothing elsewhere.
  auto expect = [&](double got, double want, const std::string& label) {
    EXPECT_NEAR(got, want, 1e-4 * (1.0 + std::fabs(want))) << what << " " << label;
    if (want != 0.0) {
      EXPECT_EQ(std::signbit(got), std::signbit(want)) << what << " " << label;
    }
  };
  for (std::size_t j = 0; j < n; ++j) {
    expect(o.multipliers[2 * j], ref.upper[j], Label("upper x", j + 1));
    expect(o.multipliers[2 * j + 1], ref.lower[j], Label("lower x", j + 1));
  }
  for (std::size_t i = 0; i < ref.constraint.size(); ++i) {
    expect(o.multipliers[2 * n + i], ref.constraint[i], Label("constraint ", i + 1));
  }
}

// HS071 as the engine's reduced space sees it: x4 is the model's, solved
// from x1² + x2² + x3² + x4² = 40 only to within the equation tolerance, so
// it is off by up to 1e-6 (a residual of 3e-6), one way or the other from
// point to point; its bounds are two rows.
hs::Problem Hs071SolvedByTheModel() {
  return {"HS071 reduced", 3, 0, 3, {1.0, 4.7, 3.8}, hs::Free(3, 1), hs::Free(3, 5), 17.0140173,
          [](const hs::D* x, hs::D* f, hs::D* c) {
            std::uint64_t bits = 0;
            for (int j = 0; j < 3; ++j) {
              std::uint64_t b = 0;
              std::memcpy(&b, &x[j].v, sizeof b);
              bits = (bits ^ b) * 0x100000001B3ull;
            }
            const double root = std::sqrt(40.0 - x[0].v * x[0].v - x[1].v * x[1].v - x[2].v * x[2].v);
            hs::D v(root + ((bits >> 29) & 1 ? 1e-6 : -1e-6));
            for (int j = 0; j < 3; ++j) v.d[j] = -x[j].v / root;
            *f = x[0] * v * (x[0] + x[1] + x[2]) + x[2];
            c[0] = x[0] * x[1] * x[2] * v - hs::D(25);
            c[1] = v - hs::D(1);
            c[2] = hs::D(5) - v;
          }};
}

}  // namespace

// At the default optimisation tolerance the values are only as good as the
// model's solve; the run must still end at the optimum, not at an earlier
// point that looked feasible, nor call the optimum infeasible.
TEST(ReducedDriverHs, ValuesSolvedToTheEquationToleranceReachTheOptimum) {
  for (std::int32_t optimizer : {kOptimiserSqpa, kOptimiserSqpb}) {
    const std::string what = optimizer == kOptimiserSqpa ? "sqpa" : "sqpb";
    const Outcome o = Solve(Hs071SolvedByTheModel(), optimizer, false, 0.0);
    ASSERT_EQ(o.result, 1) << what;
    // x4's error moves f by up to 6e-7 of itself, and Ipopt stops at its
    // own 1e-6.
    EXPECT_NEAR(o.objective, 17.0140172891563, 2e-6 * 17.0140172891563) << what;
    const double x[] = {1.0, 4.7429996, 3.8211500};
    ASSERT_EQ(o.x.size(), 3u) << what;
    for (std::size_t j = 0; j < 3; ++j) EXPECT_NEAR(o.x[j], x[j], 1e-4) << what << " x" << j;
    // x1 on its lower bound and g >= 25 active, x4's rows not.
    ASSERT_EQ(o.multipliers.size(), 9u) << what;
    EXPECT_NEAR(o.multipliers[1], 1.08787123, 1e-3) << what;
    EXPECT_NEAR(o.multipliers[6], 0.55229366, 1e-3) << what;
    EXPECT_NEAR(o.multipliers[7], 0.0, 1e-6) << what;
    EXPECT_NEAR(o.multipliers[8], 0.0, 1e-6) << what;
  }
}

TEST(ReducedDriverHs, BothSqpLibrariesReachTheOptimaWithTheirMultipliers) {
  for (const Reference& ref : References()) {
    const hs::Problem p = ByName(ref.name);
    for (std::int32_t optimizer : {kOptimiserSqpa, kOptimiserSqpb}) {
      const std::string what = ref.name + (optimizer == kOptimiserSqpa ? " sqpa" : " sqpb");
      const Outcome minimised = Solve(p, optimizer, false);
      ExpectReference(ref, minimised, 1.0, what + " minimising f");
      // Maximising -f: the same point and multipliers, the objective -f*.
      const Outcome maximised = Solve(p, optimizer, true);
      ExpectReference(ref, maximised, -1.0, what + " maximising -f");
    }
  }
}

// Where the libraries end without an optimum the user reads why, in the
// engine's words, whichever library ran.
TEST(ReducedDriverHs, InfeasibleUnboundedAndLimitedRunsEndWithTheirMessages) {
  struct Case {
    hs::Problem p;
    std::int32_t max_evaluations;
    std::int32_t outcome;
    const char* text;
  };
  const Case cases[] = {
      {hs::Infeasible(), 200, 5, "No feasible point found."},
      {hs::Unbounded(), 2000, 6, "No optimum found."},
      {hs::All()[0], 3, 7, "Maximum number of evaluations exceeded."},
  };
  for (const Case& c : cases) {
    for (std::int32_t optimizer : {kOptimiserSqpa, kOptimiserSqpb}) {
      const std::string what = c.p.name + (optimizer == kOptimiserSqpa ? " sqpa" : " sqpb");
      const Outcome o = Solve(c.p, optimizer, false, 1e-12, c.max_evaluations);
      EXPECT_EQ(o.result, c.outcome) << what;
      std::string log;
      bool said = false;
      for (const std::string& line : o.printed) {
        log += line + "\n";
        said = said || line.rfind(c.text, 0) == 0;
      }
      EXPECT_TRUE(said) << what << ":\n" << log;
    }
  }
}

#endif
