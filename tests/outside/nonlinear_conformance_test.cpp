// The nonlinear framework libraries through their declared interfaces, on
// an in-test algebraic equation set: classic test functions, bounds, a
// singular Jacobian, each convergence test and limit, MINPACK's hybrj as
// the yardstick of Hybrid, and bad input.
#include <gtest/gtest.h>
#include <minpack.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "tests/outside/kvs_harness.h"

namespace {

using namespace kvs_test;

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Problem {
  const char* name;
  int n;
  std::function<double(int)> start;
  std::vector<std::pair<int, int>> pattern;  // 1-based
  std::function<void(const double*, double*)> f;
  std::function<void(const double*, double*)> jac;  // values in pattern order
  double lower = -kInf, upper = kInf;
};

Problem Dense2(const char* name, double x1, double x2,
               std::function<void(const double*, double*)> f,
               std::function<void(const double*, double*)> jac) {
  return {name,
          2,
          [=](int i) { return i == 0 ? x1 : x2; },
          {{1, 1}, {1, 2}, {2, 1}, {2, 2}},
          std::move(f),
          std::move(jac)};
}

Problem Broyden(int n) {
  Problem p{"Broyden tridiagonal", n, [](int) { return -1.0; }, {}, nullptr, nullptr};
  for (int i = 1; i <= n; ++i) {
    if (i > 1) p.pattern.emplace_back(i, i - 1);
    p.pattern.emplace_back(i, i);
    if (i < n) p.pattern.emplace_back(i, i + 1);
  }
  p.f = [n](const double* x, double* f) {
    for (int i = 0; i < n; ++i)
      f[i] = (3 - 2 * x[i]) * x[i] - (i > 0 ? x[i - 1] : 0) - 2 * (i < n - 1 ? x[i + 1] : 0) + 1;
  };
  p.jac = [n](const double* x, double* j) {
    for (int i = 0; i < n; ++i) {
      if (i > 0) *j++ = -1;
      *j++ = 3 - 4 * x[i];
      if (i < n - 1) *j++ = -2;
    }
  };
  return p;
}

std::vector<Problem> Classics() {
  std::vector<Problem> all;
  all.push_back(Dense2(
      "Powell badly scaled", 0, 1,
      [](const double* x, double* f) {
        f[0] = 1e4 * x[0] * x[1] - 1;
        f[1] = std::exp(-x[0]) + std::exp(-x[1]) - 1.0001;
      },
      [](const double* x, double* j) {
        j[0] = 1e4 * x[1], j[1] = 1e4 * x[0], j[2] = -std::exp(-x[0]), j[3] = -std::exp(-x[1]);
      }));
  all.push_back(Dense2(
      "Rosenbrock", -1.2, 1,
      [](const double* x, double* f) { f[0] = 10 * (x[1] - x[0] * x[0]), f[1] = 1 - x[0]; },
      [](const double* x, double* j) { j[0] = -20 * x[0], j[1] = 10, j[2] = -1, j[3] = 0; }));
  all.push_back(Dense2(
      "Freudenstein-Roth", 0.5, -2,
      [](const double* x, double* f) {
        f[0] = -13 + x[0] + ((5 - x[1]) * x[1] - 2) * x[1];
        f[1] = -29 + x[0] + ((x[1] + 1) * x[1] - 14) * x[1];
      },
      [](const double* x, double* j) {
        j[0] = 1, j[1] = 10 * x[1] - 3 * x[1] * x[1] - 2, j[2] = 1,
        j[3] = 3 * x[1] * x[1] + 2 * x[1] - 14;
      }));
  // The Newton step from 0.5 lands at 4.25, beyond the upper bound 3; the
  // root -2 lies below the lower bound.
  Problem bounded = Dense2(
      "bounded", 0.5, 0.5,
      [](const double* x, double* f) { f[0] = x[0] * x[0] - 4, f[1] = x[1] - x[0]; },
      [](const double* x, double* j) { j[0] = 2 * x[0], j[1] = 0, j[2] = -1, j[3] = 1; });
  bounded.lower = 0, bounded.upper = 3;
  all.push_back(bounded);
  all.push_back(Dense2(
      "singular, consistent", 0, 0,
      [](const double* x, double* f) { f[0] = x[0] + x[1] - 2, f[1] = 2 * x[0] + 2 * x[1] - 4; },
      [](const double*, double* j) { j[0] = 1, j[1] = 1, j[2] = 2, j[3] = 2; }));
  all.push_back(Dense2(
      "singular at the root", 1, 0,
      [](const double* x, double* f) { f[0] = x[0] * x[0], f[1] = x[1] - 1; },
      [](const double* x, double* j) { j[0] = 2 * x[0], j[1] = 0, j[2] = 0, j[3] = 1; }));
  all.push_back(Dense2(
      "singular, no root", 0, 0,
      [](const double* x, double* f) { f[0] = x[0] + x[1] - 2, f[1] = x[0] + x[1] - 3; },
      [](const double*, double* j) { j[0] = 1, j[1] = 1, j[2] = 1, j[3] = 1; }));
  all.push_back(Broyden(10));
  return all;
}

// The decomposition extension as far as a library's marks go: the
// equations marked "Indeterminate".
class Marks final : public KVSNumericESODecompExtension {
 public:
  Status QueryInterface(const platform::IID&, void** out) override {
    *out = nullptr;
    return 0x80004002u;
  }
  std::uint32_t AddRef() override { return ++refs; }
  std::uint32_t Release() override { return --refs; }
  Status GetEquationAttribute(std::int32_t, const char*, std::int32_t*) override {
    return kKvsNotSupported4;
  }
  Status SetEquationAttribute(std::int32_t equation, const char* name,
                              std::int32_t value) override {
    if (std::string(name) == "Indeterminate" && value != 0) marked.push_back(equation);
    return 0;
  }
  Status GetGroupAttribute(const char*, std::int32_t*) override { return kKvsNotSupported4; }
  Status SetGroupAttribute(const char*, std::int32_t) override { return kKvsNotSupported4; }
  Status CreateSubSystem(std::int32_t, const std::int32_t*, const std::int32_t*, KVSSubSystem**,
                         std::int32_t**) override {
    return kKvsNotSupported4;
  }
  Status EvaluateSubSystem(KVSSubSystem*, double*, double*, std::uint32_t) override {
    return kKvsNotSupported4;
  }
  Status DestroySubSystem(KVSSubSystem*) override { return kKvsNotSupported4; }
  std::vector<std::int32_t> marked;
  int refs = 1;
};

// The equation set a nonlinear system works through.
class TestEso final : public KVSNumericAlgebraicESO {
 public:
  explicit TestEso(Problem p) : p_(std::move(p)), x_(static_cast<size_t>(p_.n)) {
    for (int i = 0; i < p_.n; ++i) x_[size_t(i)] = p_.start(i);
  }
  Status QueryInterface(const platform::IID& iid, void** out) override {
    if (iid == IID_KVSNumericAlgebraicESO || iid == platform::IID_IUnknown) {
      *out = this;
      return 0;
    }
    if (iid == IID_KVSNumericESODecompExtension && marks != nullptr) {
      marks->AddRef();
      *out = marks;
      return 0;
    }
    *out = nullptr;
    return 0x80004002u;
  }
  std::uint32_t AddRef() override { return ++refs; }
  std::uint32_t Release() override { return --refs; }
  Status GetNumVariables(std::int32_t* c) override { return *c = p_.n, 0; }
  Status GetNumEquations(std::int32_t* c) override { return *c = p_.n, 0; }
  Status GetVariableBounds(const KVSIndexList*, double* lo, double* hi) override {
    std::fill(lo, lo + p_.n, p_.lower);
    std::fill(hi, hi + p_.n, p_.upper);
    return 0;
  }
  Status SetVariableValues(const KVSIndexList*, const double* v) override {
    x_.assign(v, v + p_.n);
    ++sets;
    return 0;
  }
  Status GetVariableValues(const KVSIndexList*, double* v) override {
    std::copy(x_.begin(), x_.end(), v);
    return 0;
  }
  Status GetVariableName(std::int32_t, char**) override { return kKvsNotSupported4; }
  Status GetEquationName(std::int32_t, char**) override { return kKvsNotSupported4; }
  Status GetEquationVariablePairs(std::int32_t*, std::int32_t*) override {
    return kKvsNotSupported4;
  }
  Status Evaluate(const KVSIndexList*, double* f, double* j, std::uint32_t flags) override {
    if (severe) return kKvsSevere;
    if (flags & kKvsResiduals) {
      evaluated_at.push_back(x_);
      p_.f(x_.data(), f);
      if (nan_residuals) f[0] = std::nan("");
    }
    if (flags & (kKvsJacobian | kKvsJacobianOnly)) {
      p_.jac(x_.data(), j);
      ++jacobians;
    }
    return 0;
  }
  Status GetNumNonZeros(std::int32_t* c) override { return *c = int(p_.pattern.size()), 0; }
  Status GetStructure(std::int32_t* rows, std::int32_t* cols, std::int32_t* kinds) override {
    for (size_t k = 0; k < p_.pattern.size(); ++k)
      rows[k] = p_.pattern[k].first + row_shift, cols[k] = p_.pattern[k].second, kinds[k] = 1;
    return 0;
  }

  double Residual() {
    std::vector<double> f(static_cast<size_t>(p_.n));
    p_.f(x_.data(), f.data());
    double m = 0;
    for (double e : f) m = std::max(m, std::fabs(e));
    return m;
  }

  Problem p_;
  std::vector<double> x_;
  int refs = 1, jacobians = 0, row_shift = 0, sets = 0;
  std::vector<std::vector<double>> evaluated_at;
  bool nan_residuals = false, severe = false;
  Marks* marks = nullptr;  // the decomposition extension, when offered
};

struct Options {
  const char* method = "Hybrid";
  std::vector<std::pair<const char*, double>> reals;
  std::vector<std::pair<const char*, std::int32_t>> ints;
  std::vector<std::pair<const char*, const char*>> texts;
};

class NonlinearLibrary : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    factory_ =
        LoadFactory<KVSNLASystemFactory>(GetParam(), kGetFactoryNLASystem, IID_KVSNLASystemFactory);
    ASSERT_NE(factory_, nullptr);
  }
  void TearDown() override {
    if (factory_ != nullptr) factory_->Release();
  }
  // Solves on `eso`; the library's result. `after` sees the system before
  // it goes.
  Status Run(TestEso& eso, const Options& o = {},
             const std::function<void(KVSNLASystem*)>& after = nullptr) {
    KVSNLASystem* s = nullptr;
    EXPECT_EQ(factory_->CreateSystem(&eso, &handler_, &s), 0u);
    if (s == nullptr) return 0xFFFFFFFFu;
    EXPECT_EQ(SetText(s, "NewtonMethod", o.method), 0u);
    EXPECT_EQ(SetInt(s, "Iterations", 200), 0u);
    for (auto [n, v] : o.reals) EXPECT_EQ(SetReal(s, n, v), 0u) << n;
    for (auto [n, v] : o.ints) EXPECT_EQ(SetInt(s, n, v), 0u) << n;
    for (auto [n, v] : o.texts) EXPECT_EQ(SetText(s, n, v), 0u) << n;
    Status detail = 0, r = s->Solve(0, &detail);
    while (r == kKvsCallAgain) r = s->Solve(1, &detail);
    if (after) after(s);
    s->Release();
    return r;
  }
  KVSNLASystemFactory* factory_ = nullptr;
  RecordingHandler handler_;
};

// hybrj from the same start: true when it reaches a root.
bool HybrjSolves(const Problem& p) {
  static const Problem* current;
  current = &p;
  int n = p.n, ldfjac = n, maxfev = 2000, mode = 1, nprint = 0, info = 0, nfev = 0, njev = 0;
  int lr = n * (n + 1) / 2;
  double xtol = 1e-12, factor = 100;
  std::vector<double> x(static_cast<size_t>(n)), f(static_cast<size_t>(n)),
      fjac(static_cast<size_t>(n * n)), diag(static_cast<size_t>(n)), r(static_cast<size_t>(lr)),
      qtf(static_cast<size_t>(n)), w1(static_cast<size_t>(n)), w2(static_cast<size_t>(n)),
      w3(static_cast<size_t>(n)), w4(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) x[size_t(i)] = p.start(i);
  auto fcn = [](int* n, double* x, double* f, double* j, int* ld, int* flag) {
    if (*flag == 1) return current->f(x, f);
    std::vector<double> v(current->pattern.size());
    current->jac(x, v.data());
    std::fill(j, j + *ld * *n, 0.0);
    for (size_t k = 0; k < v.size(); ++k)
      j[(current->pattern[k].second - 1) * *ld + current->pattern[k].first - 1] += v[k];
  };
  hybrj_(fcn, &n, x.data(), f.data(), fjac.data(), &ldfjac, &xtol, &maxfev, diag.data(), &mode,
         &factor, &nprint, &info, &nfev, &njev, r.data(), &lr, qtf.data(), w1.data(), w2.data(),
         w3.data(), w4.data());
  double m = 0;
  p.f(x.data(), f.data());
  for (double e : f) m = std::max(m, std::fabs(e));
  return info == 1 && m <= 1e-8;
}

// Every method converges to a root or says it failed; Hybrid succeeds
// wherever hybrj does, and inside the bounds.
TEST_P(NonlinearLibrary, ClassicsConvergeToARootOrFail) {
  for (const Problem& p : Classics()) {
    const bool hybrj = p.lower == -kInf ? HybrjSolves(p) : false;
    for (const char* method : {"Hybrid", "Newton", "Fast Newton"}) {
      TestEso eso(p);
      const Status r = Run(eso, {method, {{"ResTol", 1e-10}}, {}, {}});
      SCOPED_TRACE(std::string(p.name) + " / " + method);
      if (r == 0) {
        EXPECT_LE(eso.Residual(), 1e-10);
      } else {
        EXPECT_NE(r, kKvsSevere);
        EXPECT_TRUE(std::string(method) != "Hybrid" || !hybrj) << "hybrj succeeds";
      }
      for (double v : eso.x_) EXPECT_TRUE(v >= p.lower && v <= p.upper);
    }
  }
  // The ones that must succeed whatever hybrj does.
  for (const char* name : {"bounded", "singular, consistent", "singular at the root"}) {
    for (const Problem& p : Classics())
      if (std::string(p.name) == name) {
        TestEso eso(p);
        EXPECT_EQ(Run(eso), 0u) << name;
      }
  }
  TestEso none(Classics()[6]);
  EXPECT_NE(Run(none), 0u);  // no root: failure, never convergence
}

// Badly scaled but well-posed systems at the engine's singularity share
// (Nonlinear.SingPert 0.01) and without the matrix scaling option, as the
// engine runs them: never declared singular, they converge wherever hybrj
// does. A truly singular one is still reported with its rank, and a
// failure says why.
TEST_P(NonlinearLibrary, BadlyScaledSystemsAreNotSingular) {
  std::vector<Problem> scaled;
  for (const Problem& p : Classics()) {
    if (std::string(p.name) == "Powell badly scaled") scaled.push_back(p);
  }
  // x in plain units, y in millionths: row scaling alone leaves a pivot of 3e-6.
  scaled.push_back(Dense2(
      "column units", 0, 0,
      [](const double* x, double* f) { f[0] = x[0] + 1e-6 * x[1] - 3, f[1] = x[0] - 2e-6 * x[1]; },
      [](const double*, double* j) { j[0] = 1, j[1] = 1e-6, j[2] = 1, j[3] = -2e-6; }));
  // Rosenbrock's function with its second variable in units 1e6 apart.
  scaled.push_back(Dense2(
      "Rosenbrock in mixed units", -1.2, 1e6,
      [](const double* x, double* f) { f[0] = 10 * (1e-6 * x[1] - x[0] * x[0]), f[1] = 1 - x[0]; },
      [](const double* x, double* j) { j[0] = -20 * x[0], j[1] = 1e-5, j[2] = -1, j[3] = 0; }));
  const Options engine{"Hybrid",
                       {{"ResTol", 1e-10}, {"SingulFactor", 0.01}},
                       {{"PrintLevel", 2}},
                       {{"SLU.ScaleMatrix", "NO"}}};
  for (const Problem& p : scaled) {
    SCOPED_TRACE(p.name);
    ASSERT_TRUE(HybrjSolves(p));
    handler_.lines.clear();
    TestEso eso(p);
    EXPECT_EQ(Run(eso, engine), 0u);
    EXPECT_LE(eso.Residual(), 1e-10);
    for (const std::string& line : handler_.lines) {
      EXPECT_EQ(line.find("singular"), std::string::npos) << line;
    }
  }
  handler_.lines.clear();
  TestEso none(Classics()[6]);
  EXPECT_NE(Run(none, engine), 0u);
  bool rank = false, why = false;
  for (const std::string& line : handler_.lines) {
    rank = rank || line == "Jacobian is singular: rank 1 of 2";
    why = why || line.rfind("Nonlinear solver failed: ", 0) == 0;
  }
  EXPECT_TRUE(rank && why);
}

// x^2 = 1 from 0, and x0^2 = 1, x1 = x0 from (0, 0): singular where they
// start, regular at their roots.
Problem SquareOne() {
  return {"x^2 = 1",
          1,
          [](int) { return 0.0; },
          {{1, 1}},
          [](const double* x, double* f) { f[0] = x[0] * x[0] - 1; },
          [](const double* x, double* j) { j[0] = 2 * x[0]; }};
}
Problem SquarePair() {
  return {"x0^2 = 1, x1 = x0",
          2,
          [](int) { return 0.0; },
          {{1, 1}, {2, 1}, {2, 2}},
          [](const double* x, double* f) { f[0] = x[0] * x[0] - 1, f[1] = x[1] - x[0]; },
          [](const double* x, double* j) { j[0] = 2 * x[0], j[1] = -1, j[2] = 1; }};
}

bool SaysSingular(const std::vector<std::string>& lines) {
  for (const std::string& line : lines)
    if (line.find("singular") != std::string::npos) return true;
  return false;
}

// A Jacobian singular at the start only: every method steps off it on
// pivots perturbed by SingulFactor, converges and says nothing of
// singularity. Without the perturbation the dependent variable
// is held, and the solve fails as singular.
TEST_P(NonlinearLibrary, SingularOnlyAtTheStartConvergesOnPerturbedPivots) {
  for (const Problem& p : {SquareOne(), SquarePair()}) {
    for (const char* method : {"Hybrid", "Newton", "Fast Newton"}) {
      for (double factor : {0.01, 0.3, 1e-6}) {
        // A step of 1e6 is beyond Newton's ten halvings; Hybrid's trust
        // region takes it.
        if (factor < 1e-3 && std::string(method) != "Hybrid") continue;
        SCOPED_TRACE(std::string(p.name) + " / " + method + " / " + std::to_string(factor));
        handler_.lines.clear();
        TestEso eso(p);
        EXPECT_EQ(Run(eso, {method,
                            {{"ResTol", 1e-10}, {"SingulFactor", factor}},
                            {{"PrintLevel", 2}},
                            {}}),
                  0u);
        for (double v : eso.x_) EXPECT_NEAR(v, 1.0, 1e-9);
        EXPECT_FALSE(SaysSingular(handler_.lines)) << handler_.lines.front();
      }
    }
    // At the engine's step limits (MaxVarStep 50, HiVarSteps 0: shortened
    // steps without bound) the perturbed first step is cut, and that is no
    // failure.
    TestEso limited(p);
    EXPECT_EQ(Run(limited, {"Newton", {{"MaxVarStep", 50.0}}, {{"HiVarSteps", 0}}, {}}), 0u);
    for (double v : limited.x_) EXPECT_NEAR(v, 1.0, 1e-7);
    handler_.lines.clear();
    TestEso held(p);
    EXPECT_NE(Run(held, {"Newton", {{"SingulFactor", 0.0}}, {{"PrintLevel", 2}}, {}}), 0u);
    EXPECT_TRUE(SaysSingular(handler_.lines)) << p.name;
  }
}

// With IndetHandle the dependent equations of a Jacobian singular at the
// root are marked "Indeterminate"; a group singular only where it started
// marks none.
TEST_P(NonlinearLibrary, OnlyASingularRootMarksItsEquationsIndeterminate) {
  for (const char* method : {"Hybrid", "Newton"}) {
    for (const Problem& p : {Classics()[4], SquarePair(), SquareOne()}) {
      SCOPED_TRACE(std::string(p.name) + " / " + method);
      const bool singular_root = std::string(p.name) == "singular, consistent";
      Marks marks;
      TestEso eso(p);
      eso.marks = &marks;
      // The rank report names the marked equation with the variable it
      // leaves undetermined.
      std::int32_t rank = -1;
      std::vector<std::int32_t> rows(size_t(p.n)), cols(size_t(p.n));
      const auto dependency = [&](KVSNLASystem* s) {
        void* raw = nullptr;
        ASSERT_EQ(s->QueryInterface(IID_KVSLinearDependency, &raw), 0u);
        auto* d = static_cast<KVSLinearDependency*>(raw);
        EXPECT_EQ(d->GetRank(&rank), 0u);
        EXPECT_EQ(d->GetDependentRows(rows.data()), 0u);
        EXPECT_EQ(d->GetDependentCols(cols.data()), 0u);
        d->Release();
      };
      EXPECT_EQ(Run(eso, {method, {{"ResTol", 1e-10}}, {{"IndetHandle", 1}}, {}}, dependency), 0u);
      EXPECT_EQ(marks.marked.size(), singular_root ? 1u : 0u);
      EXPECT_EQ(marks.refs, 1);
      EXPECT_EQ(rank, singular_root ? p.n - 1 : p.n);
      if (singular_root) {
        EXPECT_EQ(rows.back() - 1, marks.marked[0]);
        EXPECT_TRUE(cols.back() == 1 || cols.back() == 2);
      } else {
        for (int k = 0; k < p.n; ++k) EXPECT_EQ(rows[size_t(k)], k + 1);
      }
      // Without IndetHandle nothing is marked and nothing reported.
      TestEso quiet(p);
      EXPECT_EQ(Run(quiet, {method, {{"ResTol", 1e-10}}, {}, {}}, dependency), 0u);
      EXPECT_EQ(rank, p.n);
    }
  }
}

// x^3 = 1e9 from 0.5 at the engine's largest variable step (50): the first
// Newton steps are all cut. HiVarSteps 0 bounds them not, and the root
// 1000 is reached; a bound of 1 ends the solve at the second cut step.
TEST_P(NonlinearLibrary, AFarRootIsReachedWhenShortenedStepsAreNotBounded) {
  const Problem cube{"x^3 = 1e9",
                     1,
                     [](int) { return 0.5; },
                     {{1, 1}},
                     [](const double* x, double* f) { f[0] = x[0] * x[0] * x[0] - 1e9; },
                     [](const double* x, double* j) { j[0] = 3 * x[0] * x[0]; }};
  for (const char* method : {"Hybrid", "Newton", "Fast Newton"}) {
    SCOPED_TRACE(method);
    TestEso far(cube);
    EXPECT_EQ(Run(far, {method, {{"MaxVarStep", 50.0}, {"ResTol", 1e-6}}, {{"HiVarSteps", 0}}, {}}),
              0u);
    EXPECT_NEAR(far.x_[0], 1000.0, 1e-9);
    // Hybrid's trust region keeps inside the limit without cutting.
    if (std::string(method) == "Hybrid") continue;
    handler_.lines.clear();
    TestEso bounded(cube);
    EXPECT_EQ(
        Run(bounded, {method, {{"MaxVarStep", 50.0}}, {{"HiVarSteps", 1}, {"PrintLevel", 1}}, {}}),
        4u);  // no progress
    ASSERT_FALSE(handler_.lines.empty());
    EXPECT_NE(handler_.lines.back().find("steps keep hitting the largest variable step"),
              std::string::npos);
  }
}

// The first Newton step from the singular start is -f / SingulFactor on
// the perturbed pivot: 1 / SingulFactor, halved until the residual falls.
TEST_P(NonlinearLibrary, SingulFactorSizesTheFirstStepFromASingularStart) {
  for (double factor : {0.5, 0.3, 0.01}) {
    TestEso eso(SquareOne());
    Run(eso, {"Newton", {{"SingulFactor", factor}}, {{"Iterations", 1}},
              {{"BestAfterFailure", "NO"}}});
    double first = 0;
    for (const std::vector<double>& x : eso.evaluated_at) {
      if (x[0] != 0.0) {
        first = x[0];
        break;
      }
    }
    EXPECT_DOUBLE_EQ(first, 1.0 / factor);
    double landed = 1.0 / factor;
    while (std::fabs(landed * landed - 1) >= 1) landed /= 2;
    EXPECT_DOUBLE_EQ(eso.x_[0], landed) << factor;
  }
  // At 0.5 the halved step is the root itself: one Jacobian.
  TestEso half(SquareOne());
  EXPECT_EQ(Run(half, {"Newton", {{"SingulFactor", 0.5}}, {}, {}}), 0u);
  EXPECT_EQ(half.x_[0], 1.0);
  EXPECT_EQ(half.jacobians, 1);
}

TEST_P(NonlinearLibrary, BroydenTridiagonalAtEveryOrder) {
  for (int n : {10, 1000, 100000})
    for (const char* method : {"Hybrid", "Newton", "Fast Newton"}) {
      TestEso eso(Broyden(n));
      ASSERT_EQ(Run(eso, {method, {{"ResTol", 1e-9}}, {}, {}}), 0u) << n << method;
      EXPECT_LE(eso.Residual(), 1e-9);
    }
}

// Messages reach the engine's handler only, more of them at a higher
// "PrintLevel", and none at 0; nothing is written to standard output.
TEST_P(NonlinearLibrary, MessagesGoOnlyToTheHandlerByPrintLevel) {
  std::vector<std::size_t> counts;
  for (std::int32_t level : {0, 1, 3}) {
    for (const char* method : {"Hybrid", "Newton"}) {
      handler_.lines.clear();
      TestEso eso(Broyden(10));
      testing::internal::CaptureStdout();
      const Status r = Run(eso, {method, {}, {{"PrintLevel", level}}, {}});
      EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << level << method;
      EXPECT_EQ(r, 0u);
      if (level == 0) {
        EXPECT_TRUE(handler_.lines.empty()) << method;
      }
      if (std::string(method) == "Newton") counts.push_back(handler_.lines.size());
    }
  }
  EXPECT_LE(counts[0], counts[1]);
  EXPECT_LT(counts[1], counts[2]);
}

// At the engine's default "PrintLevel" of 2 a solve posts its warnings and
// failure, not a line per iteration: a dynamic run makes millions of
// solves. The iterations show from 3 on.
TEST_P(NonlinearLibrary, TheDefaultPrintLevelPostsAFewLinesASolve) {
  for (const char* method : {"Hybrid", "Newton", "Fast Newton"}) {
    handler_.lines.clear();
    TestEso converges(Broyden(10));
    EXPECT_EQ(Run(converges, {method, {}, {{"PrintLevel", 2}}, {}}), 0u);
    EXPECT_TRUE(handler_.lines.empty()) << method << ": " << handler_.lines.front();
    TestEso watched(Broyden(10));
    EXPECT_EQ(Run(watched, {method, {}, {{"PrintLevel", 3}}, {}}), 0u);
    EXPECT_GE(handler_.lines.size(), 2u) << method;
    // Singular at every iteration, and no root: one warning, one failure.
    handler_.lines.clear();
    TestEso singular(Classics()[6]);
    EXPECT_NE(Run(singular, {method, {}, {{"PrintLevel", 2}}, {}}), 0u);
    EXPECT_LE(handler_.lines.size(), 2u) << method;
  }
}

TEST_P(NonlinearLibrary, ConvergenceTests) {
  struct Case {
    std::int32_t test;
    double res_tol, abs_tol;
    bool converges;
  };
  // 1e-30 is out of reach of the residual; 1e-6 of the steps is not.
  const Case cases[] = {{0, 1e-30, 1e-6, false}, {1, 1e-30, 1e-6, true}, {2, 1e-30, 1e-6, false},
                        {3, 1e-30, 1e-6, true},  {2, 1e-8, 1e-6, true},  {0, 1e-8, 0, true}};
  for (const Case& c : cases)
    for (const char* method : {"Hybrid", "Newton"}) {
      TestEso eso(Broyden(10));
      const Status r = Run(eso, {method,
                                 {{"ResTol", c.res_tol}, {"AbsTol", c.abs_tol}, {"RelTol", 0}},
                                 {{"ConvTest", c.test}, {"Iterations", 30}},
                                 {}});
      EXPECT_EQ(r == 0, c.converges) << c.test << " " << c.res_tol << " " << method;
      if (r == 0) {
        EXPECT_LE(eso.Residual(), 1e-6);
      }
    }
}

TEST_P(NonlinearLibrary, IterationLimitsAndMinimumIterations) {
  TestEso limited(Broyden(50));
  EXPECT_EQ(Run(limited, {"Newton", {}, {{"Iterations", 1}}, {}}), 2u);
  EXPECT_EQ(limited.jacobians, 1);

  Problem at_root = Broyden(10);
  TestEso solved(at_root);
  ASSERT_EQ(Run(solved, {"Newton", {{"ResTol", 1e-12}}, {}, {}}), 0u);
  at_root.start = [x = solved.x_](int i) { return x[size_t(i)]; };
  TestEso again(at_root);
  EXPECT_EQ(Run(again, {"Newton", {{"ResTol", 1e-8}}, {}, {}}), 0u);
  EXPECT_EQ(again.jacobians, 0);
  TestEso forced(at_root);
  EXPECT_EQ(Run(forced, {"Newton", {{"ResTol", 1e-8}}, {{"MinimumIterations", 2}}, {}}), 0u);
  EXPECT_EQ(forced.jacobians, 2);
}

// Fast Newton keeps its factors: fewer Jacobians than Newton, the same
// number when it may keep them for one step only.
TEST_P(NonlinearLibrary, FastNewtonReusesItsFactors) {
  auto jacobians = [&](const char* method, std::int32_t keep) {
    TestEso eso(Broyden(1000));
    EXPECT_EQ(Run(eso, {method, {{"ResTol", 1e-10}}, {{"MaxFNIterations", keep}}, {}}), 0u);
    return eso.jacobians;
  };
  const int newton = jacobians("Newton", 5);
  EXPECT_LT(jacobians("Fast Newton", 5), newton);
  EXPECT_EQ(jacobians("Fast Newton", 1), newton);
}

// A corrector step evaluates where the equation set stands, within the
// bounds: values inside them are not set again before the evaluation, a
// value beyond one is set at the bound first; the step is then set.
TEST_P(NonlinearLibrary, CorrectorStepSetsValuesOnlyWhenTheyMove) {
  auto linear = [](double x1, double x2) {
    return Dense2(
        "x + y = 3, x - y = 1", x1, x2, [](const double* x, double* f) {
          f[0] = x[0] + x[1] - 3.0, f[1] = x[0] - x[1] - 1.0;
        },
        [](const double*, double* j) { j[0] = 1.0, j[1] = 1.0, j[2] = 1.0, j[3] = -1.0; });
  };
  const Options step{"Newton", {}, {{"CorrectorStep", 2}}, {}};
  TestEso inside(linear(0.75, 0.75));
  ASSERT_EQ(Run(inside, step), 0u);
  EXPECT_EQ(inside.sets, 1);
  ASSERT_EQ(inside.evaluated_at.size(), 1u);
  EXPECT_EQ(inside.evaluated_at[0], (std::vector<double>{0.75, 0.75}));
  EXPECT_NEAR(inside.x_[0], 2.0, 1e-12);
  EXPECT_NEAR(inside.x_[1], 1.0, 1e-12);

  Problem bounded = linear(0.0, 0.75);
  bounded.lower = 0.5;
  TestEso beyond(bounded);
  ASSERT_EQ(Run(beyond, step), 0u);
  EXPECT_EQ(beyond.sets, 2);
  ASSERT_EQ(beyond.evaluated_at.size(), 1u);
  EXPECT_EQ(beyond.evaluated_at[0], (std::vector<double>{0.5, 0.75}));
  EXPECT_NEAR(beyond.x_[0], 2.0, 1e-12);
  EXPECT_NEAR(beyond.x_[1], 1.0, 1e-12);
}

// atan from 2: the full Newton step overshoots to a larger residual.
TEST_P(NonlinearLibrary, BestAfterFailureRestoresTheBestPoint) {
  Problem p{"atan",
            1,
            [](int) { return 2.0; },
            {{1, 1}},
            [](const double* x, double* f) { f[0] = std::atan(x[0]); },
            [](const double* x, double* j) { j[0] = 1 / (1 + x[0] * x[0]); }};
  for (const char* best : {"YES", "NO"}) {
    TestEso eso(p);
    const Status r = Run(eso, {"Newton",
                               {{"CreepSize", 1.0}, {"MaxVarStep", 1e9}},
                               {{"MaxStepRed", 0}, {"CreepIter", 1}, {"MaxDivSteps", 0}},
                               {{"BestAfterFailure", best}}});
    EXPECT_EQ(r, 4u) << best;
    EXPECT_EQ(eso.x_[0] == 2.0, std::string(best) == "YES");
  }
}

// x^3 + x = 2 from 0.5: the residual falls only after a halving. A HiRes of
// 0 (the engine's default HiResidual) bounds nothing; a positive one counts
// every step above it as divergence.
TEST_P(NonlinearLibrary, AZeroHiResBoundsNothing) {
  Problem p{"cubic",
            1,
            [](int) { return 0.5; },
            {{1, 1}},
            [](const double* x, double* f) { f[0] = x[0] * x[0] * x[0] + x[0] - 2; },
            [](const double* x, double* j) { j[0] = 3 * x[0] * x[0] + 1; }};
  for (const double bound : {0.0, 1e-3}) {
    TestEso eso(p);
    const Status r =
        Run(eso, {"Newton", {{"HiRes", bound}}, {{"MaxDivSteps", 0}, {"MaxStepRed", 10}}, {}});
    EXPECT_EQ(r == 0u, bound == 0.0) << bound << " " << r;
    if (bound == 0.0) {
      EXPECT_NEAR(eso.x_[0], 1.0, 1e-8);
    }
  }
}

// The engine passes a range fraction of 0 by default: no limit, so that a
// variable bounded on both sides still moves.
TEST_P(NonlinearLibrary, RangeFractionZeroLimitsNoStep) {
  Problem p{"square",
            1,
            [](int) { return 1.0; },
            {{1, 1}},
            [](const double* x, double* f) { f[0] = x[0] * x[0] - 4.0; },
            [](const double* x, double* j) { j[0] = 2 * x[0]; }};
  p.lower = 0.0;
  p.upper = 1e6;
  for (const char* method : {"Newton", "Fast Newton"}) {
    TestEso eso(p);
    EXPECT_EQ(Run(eso, {method, {{"RangeFrac", 0.0}, {"ResTol", 1e-10}}, {}, {}}), 0u) << method;
    EXPECT_NEAR(eso.x_[0], 2.0, 1e-8) << method;
  }
}

TEST_P(NonlinearLibrary, BadInputFailsWithoutACrash) {
  KVSNLASystem* s = nullptr;
  EXPECT_GT(factory_->CreateSystem(nullptr, &handler_, &s), 0u);
  TestEso ok(Broyden(3));
  EXPECT_GT(factory_->CreateSystem(&ok, &handler_, nullptr), 0u);
  for (int shift : {-1, 3}) {  // rows 0 and n+1
    TestEso bad(Broyden(3));
    bad.row_shift = shift;
    EXPECT_GT(factory_->CreateSystem(&bad, &handler_, &s), 0u);
    EXPECT_EQ(s, nullptr);
  }
  TestEso empty(Broyden(3));
  empty.p_.n = 0;
  EXPECT_GT(factory_->CreateSystem(&empty, &handler_, &s), 0u);

  TestEso nan(Broyden(3));
  nan.nan_residuals = true;
  const Status r = Run(nan);
  EXPECT_NE(r, 0u);
  EXPECT_NE(r, kKvsCallAgain);
  TestEso severe(Broyden(3));
  severe.severe = true;
  EXPECT_EQ(Run(severe), kKvsSevere);

  ASSERT_EQ(factory_->CreateSystem(&ok, &handler_, &s), 0u);
  EXPECT_GT(SetReal(s, "NoSuchParameter", 1), 0u);
  EXPECT_GT(SetText(s, "NewtonMethod", "Secant"), 0u);
  EXPECT_GT(SetInt(s, "ConvTest", 4), 0u);
  EXPECT_GT(SetReal(s, "ResTol", std::nan("")), 0u);
  EXPECT_EQ(s->Solve(0, nullptr), 0u);  // no detail word wanted
  s->Release();
  EXPECT_EQ(ok.refs, 1);  // the system let go of the equation set
}

TEST_P(NonlinearLibrary, EveryListedParameterIsAccepted) {
  TestEso eso(Broyden(3));
  KVSNLASystem* s = nullptr;
  ASSERT_EQ(factory_->CreateSystem(&eso, &handler_, &s), 0u);
  for (const char* real : {"ResTol", "AbsTol", "RelTol", "ClipFactor", "BoundFrac", "RangeFrac",
                           "MinNonZero", "SingulFactor", "MaxVarStep", "HiRes", "CreepSize",
                           "SLU.DropTolerance", "SLU.PivotTolerance", "CorrectorCoefficient"})
    EXPECT_EQ(SetReal(s, real, 0.5), 0u) << real;
  for (const char* integer :
       {"PrintLevel", "MPrint", "HiVarSteps", "ConvTest", "MaxStepRed", "MaxDivSteps", "CreepIter",
        "MaxFNIterations", "Iterations", "MinimumIterations", "IpConvInfo", "IndetHandle",
        "SLU.PivotSearch", "CorrectorStep"})
    EXPECT_EQ(SetInt(s, integer, 1), 0u) << integer;
  for (auto [name, text] : {std::pair{"DogLeg", "NO"},
                            {"BestAfterFailure", "YES"},
                            {"NewtonMethod", "Fast Newton"},
                            {"SLU.UseTranspose", "NO"},
                            {"SLU.ScaleMatrix", "YES"},
                            {"SLU.RePivot", "NO"},
                            {"SLU.Triangularisation", "No"}})
    EXPECT_EQ(SetText(s, name, text), 0u) << name;
  s->Release();
}

// Names are found in any case, whole names only; the value set under one
// spelling is the one read under another.
TEST_P(NonlinearLibrary, ParameterNamesMatchInAnyCaseAndOnlyWhole) {
  TestEso eso(Broyden(3));
  KVSNLASystem* s = nullptr;
  ASSERT_EQ(factory_->CreateSystem(&eso, &handler_, &s), 0u);
  void* raw = nullptr;
  ASSERT_EQ(s->QueryInterface(IID_KVSParameters, &raw), 0u);
  auto* params = static_cast<KVSParameters*>(raw);
  EXPECT_EQ(SetReal(s, "restol", 0.25), 0u);
  EXPECT_EQ(SetReal(s, "SLU.PIVOTTOLERANCE", 0.125), 0u);
  EXPECT_EQ(SetInt(s, "mAxStEpReD", 7), 0u);
  std::int32_t kind = -1;
  double real = 0.0;
  ASSERT_EQ(params->GetValue("RESTOL", &kind, &real), 0u);
  EXPECT_EQ(kind, kKvsReal);
  EXPECT_EQ(real, 0.25);
  ASSERT_EQ(params->GetValue("slu.pivottolerance", &kind, &real), 0u);
  EXPECT_EQ(real, 0.125);
  std::int32_t integer = 0;
  ASSERT_EQ(params->GetValue("MaxStepRed", &kind, &integer), 0u);
  EXPECT_EQ(integer, 7);
  // The neighbours of a name and the empty name are no names.
  for (const char* name : {"ResTo", "ResTolX", "SLU.", "PivotTolerance", ""})
    EXPECT_GT(SetReal(s, name, 0.5), 0u) << '"' << name << '"';
  params->Release();
  s->Release();
}

INSTANTIATE_TEST_SUITE_P(Libraries, NonlinearLibrary,
                         ::testing::Values("kvs_sparse", "kvs_sparse_mfl"));

}  // namespace
