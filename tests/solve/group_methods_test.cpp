// The explicit and torn group methods: bound clipping and failures,
// indeterminate and badly posed explicit groups, the integrator hand-over,
// and tear iterations with direct substitution and Wegstein updates.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include <string>
#include <tuple>

#include "foundation/interfaces/integrator_proxy.h"
#include "foundation/interfaces/run_mode.h"
#include "solve/groups/corrector_iteration.h"
#include "tests/solve/group_support.h"
#include "tests/support/capture_sink.h"
#include "tests/support/integrator_stand_in.h"

using namespace grouptest;
using daestest::Writer;
using daestest::mw::Add;
using daestest::mw::Mul;
using daestest::mw::Real;
using daestest::mw::Var;

namespace {

// One variable per equation a*x + c = 0, each with lower bound 0.
struct Line {
  double a;
  double c;
};

void Lines(Writer& w, const std::vector<Line>& lines) {
  const auto n = static_cast<std::uint32_t>(lines.size());
  w.List(2 * n);
  for (std::uint32_t k = 0; k < n; ++k) {
    w.Item(daestest::mw::kRealVariable);
    w.Placement({{2, "B"}, {k + 1, ".x" + std::to_string(k)}});
    w.Value(1.0), w.Lower(0.0), w.End();
  }
  for (std::uint32_t k = 0; k < n; ++k) {
    w.Item(daestest::mw::kInlineEquation), w.U32(0);
    w.Expression(Add(Mul(Real(lines[k].a), Var(0)), Real(lines[k].c)));
    w.Placement({{2, "B"}, {n + k + 1, ".e" + std::to_string(k)}});
    w.EquationHead(1), w.Reference({2, k + 1});
  }
}

// An explicit group over row `e` and run-block position `v`, under
// `parent`; numbered when `number` is positive.
QLNESOGroup* MakeExplicitGroup(QLNESOGroup* parent, std::int32_t e, std::int32_t v,
                               std::int32_t number) {
  platform::IUnknown* u = nullptr;
  EXPECT_EQ(CreateESOGroupObject(kGroupTypeExplicit, &u), 0u);
  auto* g = dynamic_cast<QLNESOGroup*>(static_cast<IQLNESO*>(u));
  platform::IUnknown* p = static_cast<IQLNESO*>(parent);
  EXPECT_EQ(g->SetGroupStructure(p, 1, &e, 1, &v), 0u);
  EXPECT_EQ(g->SetEquationVariables(p, e, 1, &v), 0u);
  if (number > 0) g->SetGroupNumber(number);
  return g;
}

// The one explicit group of a model's first row for `x`, with the model's
// run block as its parent; both released at the end.
struct SoleExplicitGroup {
  SoleExplicitGroup(Model& m, DAESVarTableEntry* x, std::int32_t number)
      : parent(new QLNESOGroup(m.run.get())) {
    parent->AddRef();
    group = MakeExplicitGroup(parent, 0, m.run->FindVariable(x) - 1, number);
  }
  ~SoleExplicitGroup() {
    group->Release();
    parent->Release();
  }
  QLNESOGroup* parent;
  QLNESOGroup* group;
};

// A state x with the one equation x' + rate x = 0.
void DecayingState(Writer& w, double rate) {
  w.List(2);
  w.Item(daestest::mw::kStateVariable);
  w.Placement({{2, "B"}, {1, ".x"}});
  w.Value(1.0), w.End();
  w.Item(daestest::mw::kInlineEquation), w.U32(0);
  w.Expression(Add(Var(0), Mul(Real(rate), Var(1))));
  w.Placement({{2, "B"}, {2, ".e"}});
  w.EquationHead(2), w.Reference({2, 1, 1}), w.Reference({2, 1});
}

// Explicit group k of the model: equation k for variable k.
struct ExplicitGroups {
  explicit ExplicitGroups(const std::vector<Line>& lines) : m([&](Writer& w) { Lines(w, lines); }) {
    parent = new QLNESOGroup(m.run.get());
    parent->AddRef();
  }
  ~ExplicitGroups() {
    for (QLNESOGroup* g : groups) g->Release();
    parent->Release();
  }
  QLNESOGroup* Group(std::int32_t k) {
    const std::string eq = "B.e" + std::to_string(k);
    const std::string var = "B.x" + std::to_string(k);
    std::int32_t e = -1;
    for (std::uint32_t i = 0; i < m.run->GetRowCount(); ++i) {
      if (eq == m.run->GetRow(i)->GetNameText()) e = static_cast<std::int32_t>(i);
    }
    QLNESOGroup* g = MakeExplicitGroup(parent, e, m.run->FindVariable(m.Named(var)) - 1, k + 1);
    groups.push_back(g);
    return g;
  }
  double Value(std::int32_t k) { return m.Named("B.x" + std::to_string(k))->GetRealValue(); }
  Model m;
  QLNESOGroup* parent;
  std::vector<QLNESOGroup*> groups;
};

std::string Text(const testsupport::CaptureSink& sink) {
  std::string out;
  for (const std::string& line : sink.lines()) out += line + "\n";
  return out;
}

TEST(ExplicitSolve, NewtonStepBoundsAndBadlyPosedGroups) {
  Options options;
  Methods methods;
  testsupport::CaptureSink sink;
  ExplicitGroups g({{2.0, -3.0}, {1.0, 1e-6}, {1.0, 1e-4}, {1e-51, 1.0}});
  std::int32_t it = 0;
  // Linear: exact in one step.
  EXPECT_EQ(g.Group(0)->SolveWithMode(0, 0, &it), 0u);
  EXPECT_EQ(g.Value(0), 1.5);
  // 1e-6 below the lower bound, residual 1e-6 at the bound: clipped.
  EXPECT_EQ(g.Group(1)->SolveWithMode(0, 0, &it), 0u);
  EXPECT_EQ(g.Value(1), 0.0);
  EXPECT_EQ(Text(sink).find("Clipping"), std::string::npos);  // not watched
  // 1e-4 below: beyond the tolerance.
  QLNESOGroup* far = g.Group(2);
  EXPECT_EQ(far->SolveWithMode(0, 0, &it), kGroupSolveFailed);
  Status last = 0;
  far->GetLastStatus(&last);
  EXPECT_EQ(last, kExplicitBoundFailure);
  EXPECT_NE(Text(sink).find("is outside lower bound"), std::string::npos) << Text(sink);
  EXPECT_NE(Text(sink).find("Solution of group 3 is infeasible."), std::string::npos);
  EXPECT_NE(Text(sink).find("B.x2 is equivalenced to the following variables:"), std::string::npos);
  EXPECT_EQ(g.Value(2), 1.0);  // untouched
  // No derivative and a residual: badly posed.
  QLNESOGroup* posed = g.Group(3);
  EXPECT_EQ(posed->SolveWithMode(0, 0, &it), kGroupSolveFailed);
  posed->GetLastStatus(&last);
  EXPECT_EQ(last, kExplicitBadlyPosed);
  EXPECT_NE(Text(sink).find("Explicit group 4 is badly posed. There is no value of B.x3"),
            std::string::npos);
}

TEST(ExplicitSolve, FailedClipLeavesTheBoundAndWatchedGroupsTellOfClipping) {
  Options options;
  Methods methods;
  options.Real(kOptEqnTol, 1e-7);
  options.SetInt(kOptPrintLevel, 1);
  options.SetInt(79, 2);
  testsupport::CaptureSink sink;
  ExplicitGroups g({{1.0, 1e-6}, {1.0, 1e-8}, {1.0, 1e-8}});
  std::int32_t it = 0;
  EXPECT_EQ(g.Group(0)->SolveWithMode(0, 0, &it), kGroupSolveFailed);
  EXPECT_EQ(g.Value(0), 0.0);  // the bound stays after a failed clip
  EXPECT_EQ(g.Group(1)->SolveWithMode(0, 0, &it), 0u);
  EXPECT_NE(Text(sink).find("Clipping variable B.x1 with value"), std::string::npos) << Text(sink);
  sink.Clear();
  EXPECT_EQ(g.Group(2)->SolveWithMode(0, 0, &it), 0u);  // group 3 is not watched
  EXPECT_EQ(Text(sink).find("Clipping"), std::string::npos);
}

TEST(ExplicitSolve, IndeterminateVariableIsWarnedOnceAndMarked) {
  Options options;
  Methods methods;
  options.SetInt(kOptPrintLevel, 2);
  testsupport::CaptureSink sink;
  ExplicitGroups g({{1e-51, 0.0}});
  QLNESOGroup* group = g.Group(0);
  std::int32_t it = 0;
  EXPECT_EQ(group->SolveWithMode(0, 0, &it), 0u);
  EXPECT_EQ(g.Value(0), 1.0);
  EXPECT_TRUE(group->Block()->HasIndeterminate());
  EXPECT_NE(group->Row(0)->GetFlags() & daes::kHasIndeterminate, 0u);
  const std::string warning = "Warning: explicit group 1 contains indeterminate variable B.x0.";
  EXPECT_NE(Text(sink).find(warning), std::string::npos) << Text(sink);
  // The header of the report comes once for calls that share the word.
  sink.Clear();
  std::int32_t header = 0;
  EXPECT_EQ(group->ReportIndeterminate(0, &header), 0u);
  EXPECT_EQ(group->ReportIndeterminate(0, &header), 0u);
  const std::string text = Text(sink);
  const std::string head = "Warning: the following variables are indeterminate:";
  ASSERT_NE(text.find(head), std::string::npos) << text;
  EXPECT_EQ(text.find(head, text.find(head) + 1), std::string::npos);
}

TEST(ExplicitSolve, BoundFailureListsTheEquivalencedVariables) {
  Options options;
  options.SetInt(kOptCompression, 1);
  Methods methods;
  testsupport::CaptureSink sink;
  // x = y folds into one equivalence; x + 1e-4 = 0 then lies beyond the
  // lower bound 0 of both.
  Model m([](Writer& w) {
    w.List(4);
    for (std::uint32_t k = 0; k < 2; ++k) {
      w.Item(daestest::mw::kRealVariable);
      w.Placement({{2, "B"}, {k + 1, k == 0 ? ".x" : ".y"}});
      w.Value(1.0), w.Lower(0.0), w.End();
    }
    w.Item(daestest::mw::kInlineEquation), w.U32(0);
    w.Expression(daestest::mw::Sub(Var(0), Var(1)));
    w.Placement({{2, "B"}, {3, ".same"}});
    w.EquationHead(2), w.Reference({2, 1}), w.Reference({2, 2});
    w.Item(daestest::mw::kInlineEquation), w.U32(0);
    w.Expression(Add(Var(0), Real(1e-4)));
    w.Placement({{2, "B"}, {4, ".e"}});
    w.EquationHead(1), w.Reference({2, 1});
  });
  ASSERT_EQ(m.run->GetRowCount(), 1u);
  ASSERT_EQ(m.run->VariableCount(), 1);
  SoleExplicitGroup g(m, m.run->GetVariable(0), 0);
  std::int32_t it = 0;
  EXPECT_EQ(g.group->SolveWithMode(0, 0, &it), kGroupSolveFailed);
  const std::string text = Text(sink);
  const std::size_t head = text.find("is equivalenced to the following variables:\n");
  ASSERT_NE(head, std::string::npos) << text;
  EXPECT_NE(text.find("    B.x\n", head), std::string::npos) << text;
  EXPECT_NE(text.find("    B.y\n", head), std::string::npos) << text;
}

// An integrator that is verbose on request and counts hand-overs.
class Integrator final : public testsupport::IntegratorStandIn {
 public:
  bool HasCapability1() override { return torn; }
  bool IsVerbose() override { return verbose; }
  void SetVerbose(bool on) override {
    verbose = on;
    ++verbosity_changes;
  }
  double GetServerValue() override { return step; }
  std::uint32_t ExchangeGroupStates(void*) override {
    ++handed;
    return 7;
  }
  bool torn = false;
  bool verbose = false;
  int verbosity_changes = 0;
  double step = 0.5;
  int handed = 0;
};

struct CurrentIntegrator {
  explicit CurrentIntegrator(UnifiedIntegratorProxy* i) { SetCurrentIntegrator(i); }
  ~CurrentIntegrator() { SetCurrentIntegrator(nullptr); }
};

TEST(ExplicitSolve, CorrectorSolveScalesTheDerivativeAndHandsStatesOver) {
  Options options;
  Methods methods;
  Integrator integrator;
  CurrentIntegrator current(&integrator);
  ExplicitGroups g({{2.0, -3.0}});
  QLNESOGroup* group = g.Group(0);
  std::int32_t it = 0;
  // Corrector solve (states present): a state without a derivative in
  // the equation keeps its own derivative.
  group->SetFlags(kGroupStatePairing);
  g.m.Named("B.x0")->SetFlags(daes::kState);
  EXPECT_EQ(group->SolveWithMode(0, 0, &it), 7u);
  EXPECT_EQ(integrator.handed, 1);
  // x = 1 - r / d = 1 - (-1) / 2.
  EXPECT_DOUBLE_EQ(g.Value(0), 1.5);
}

// x' + 0.3 x = 0 solved for the state x in the corrector, where x' moves
// by 1 / step with x: the derivative is 0.3 + 1 / step, not 0.3 / step,
// which sends the corrector away from the root.
TEST(ExplicitSolve, CorrectorDerivativeOfAStateTakesItsDerivativeTerm) {
  Options options;
  Methods methods;
  Integrator integrator;
  CurrentIntegrator current(&integrator);
  Model m([](Writer& w) { DecayingState(w, 0.3); });
  DAESVarTableEntry* x = m.Named("B.x");
  ASSERT_NE(x, nullptr);
  ASSERT_NE(x->GetDerivative(), nullptr);
  ASSERT_GT(m.run->FindVariable(x), 0);
  x->GetDerivative()->SetValue(0.0);
  SoleExplicitGroup g(m, x, 1);
  g.group->SetFlags(kGroupStatePairing);
  std::int32_t it = 0;
  EXPECT_EQ(g.group->SolveWithMode(0, 0, &it), 7u);
  // r = 0 + 0.3 at x = 1, step 0.5: x = 1 - 0.3 / (0.3 + 2).
  EXPECT_NEAR(x->GetRealValue(), 1.0 - 0.3 / 2.3, 1e-6);
}

// --- torn groups ---

// A plain variable whose value can be set.
class Variable final : public DAESVarTableEntry {
 public:
  Status SetValue(double v) override {
    SetRawValue(v);
    return 0;
  }
};

// A torn equation x = g(x) on a plain variable, counting evaluations.
class TornEquation final : public DAESEqnRow {
 public:
  TornEquation(DAESVarTableEntry* x, std::function<double(double)> g, int* evaluations)
      : x_(x), g_(std::move(g)), evaluations_(evaluations) {
    SetFlags(daes::kProcedureRow);
  }
  DAESVarTableEntry* OutputElement() override { return x_; }
  Status Evaluate(std::uint32_t, void*) override {
    ++*evaluations_;
    const double x = x_->GetRealValue();
    residual_ = x - g_(x);
    return 0;
  }
  Status ResidualValue(double* value) override {
    *value = residual_;
    return 0;
  }
  void UpdateTornOutput() override { x_->SetValue(x_->GetRealValue() - residual_); }
  // Another output of the call `shares_with` makes.
  bool SharesEvaluation(QLNEquation* previous) override {
    return previous != nullptr && previous == shares_with;
  }
  Status TakeSharedResult() override {
    ++shared;
    const double x = x_->GetRealValue();
    residual_ = x - g_(x);
    return 0;
  }
  QLNEquation* shares_with = nullptr;
  int shared = 0;

 private:
  DAESVarTableEntry* x_;
  std::function<double(double)> g_;
  int* evaluations_;
  double residual_ = 0.0;
};

class FailingSubGroup final : public DAESSolverBlock {
 public:
  Status Solve(std::uint8_t, std::uint32_t, std::uint32_t, Status*) override { return 0x80310005u; }
};

class InnerOf final : public BlockDecomposer {
 public:
  explicit InnerOf(DAESSolverBlock* inner) : inner_(inner) {}
  Status Decompose(DAESSolverBlock*, DAESSolverBlock** out) override {
    *out = inner_;
    return 0;
  }

 private:
  DAESSolverBlock* inner_;
};

// A torn block that records the method's start and finished notices.
class NoticedTornBlock final : public DAESTornBlock {
 public:
  void SolveNotice(std::int32_t stage) override { notices.push_back(stage); }
  std::vector<std::int32_t> notices;
};

struct TornCase {
  explicit TornCase(std::function<double(double)> g,
                    DAESSolverBlock* inner = new DAESSolverBlock()) {
    x.SetValue(0.0);
    block.AddRow(new TornEquation(&x, std::move(g), &evaluations));
    block.SetGroupNumber(4);
    InnerOf decomposer(inner);
    block.DecomposeExternally(&decomposer, nullptr);
    SetSolutionPhase(1);
  }
  ~TornCase() { SetSolutionPhase(0); }
  Status Solve(TornSolve& method) { return method.Solve(&block, 0, 0, 0, nullptr); }
  // A further torn variable from 0 with its own map; the case owns it.
  Variable* AlsoTear(std::function<double(double)> g) {
    more.push_back(std::make_unique<Variable>());
    more.back()->SetValue(0.0);
    block.AddRow(new TornEquation(more.back().get(), std::move(g), &further_evaluations));
    return more.back().get();
  }
  // Variables outlive the block whose rows refer to them.
  Variable x;
  std::vector<std::unique_ptr<Variable>> more;
  NoticedTornBlock block;
  int evaluations = 0;
  int further_evaluations = 0;
};

// The equation set a torn block shows for its inner groups: the output of
// its torn row is fixed (the tear iteration sets it), the other variables
// are as their flags say; seen for other ends, all are as their flags say.
TEST(TornSolve, InnerGroupsSeeTheTornOutputsFixed) {
  Variable x, y;
  x.SetFlags(0x2 | 0x10);
  y.SetFlags(0x2 | 0x10);
  DAESTornBlock block;
  ASSERT_EQ(block.AppendVariable(&x), 0u);
  ASSERT_EQ(block.AppendVariable(&y), 0u);
  int evaluations = 0;
  block.AddRow(new TornEquation(
      &y, [](double v) { return v; }, &evaluations));
  auto* group = new QLNESOGroup(&block);
  group->AddRef();
  std::vector<std::int32_t> types(2), partners(2);
  ASSERT_EQ(group->GetAllVariableTypes(types.data(), partners.data()), 0u);
  EXPECT_EQ(types, (std::vector<std::int32_t>{0x12, 0x12}));
  group->SetFlags(kGroupTornOutputsKnown);
  ASSERT_EQ(group->GetAllVariableTypes(types.data(), partners.data()), 0u);
  EXPECT_EQ(types, (std::vector<std::int32_t>{0x12, 0x62}));
  EXPECT_EQ(evaluations, 0);
  group->Release();
}

TEST(TornSolve, WegsteinNeedsFewerTearIterationsOnASlowMap) {
  Options options;
  options.SetInt(98, 1000);
  auto slow = [](double x) { return 0.95 * x + 1.0; };  // fixed point 20
  TornCase direct(slow);
  TornSolve ds;
  EXPECT_EQ(direct.Solve(ds), 0u);
  TornCase accelerated(slow);
  WegsteinStrategy ws;
  EXPECT_EQ(accelerated.Solve(ws), 0u);
  EXPECT_NEAR(accelerated.x.GetRealValue(), 20.0, 1e-3);
  EXPECT_NEAR(direct.x.GetRealValue(), 20.0, 1e-2);
  EXPECT_LT(ws.TearIterations(), ds.TearIterations());
  // The factor is held to [-5, 0]: each accelerated step contracts by 0.7
  // where direct substitution contracts by 0.95.
  EXPECT_LT(ws.TearIterations(), 40u);
  EXPECT_GT(ds.TearIterations(), 150u);
}

TEST(TornSolve, UnchangedTornValuesConvergeInTwoIterationsQuietly) {
  Options options;
  options.SetInt(kOptPrintLevel, 2);
  testsupport::CaptureSink sink;
  TornCase c([](double x) { return x; });
  TornSolve ds;
  EXPECT_EQ(c.Solve(ds), 0u);
  EXPECT_EQ(ds.TearIterations(), 2u);
  EXPECT_EQ(Text(sink).find("tear norm is zero"), std::string::npos);
  EXPECT_NE(Text(sink).find("Torn variables converged to relative tolerance"), std::string::npos);
}

TEST(TornSolve, WithoutTearingSubGroupsAreSolvedOnce) {
  Options options;
  options.SetInt(kOptTearing, 0);
  TornCase c([](double x) { return x + 1.0; });
  TornSolve ds;
  EXPECT_EQ(c.Solve(ds), 0u);
  EXPECT_EQ(c.evaluations, 0);
  EXPECT_EQ(ds.TearIterations(), 0u);
}

// The tear iterations of direct substitution from 0 on a one-variable
// map, with the change of a torn variable measured as
// |x - h0| / (|x| + offset): the solve's own loop, for a reference.
std::uint32_t TearIterationsOf(const std::function<double(double)>& g, double rel, double offset) {
  double x = g(0.0);  // the initial update
  double h0 = x;
  double norm = 0.0;
  std::uint32_t k = 0;
  while ((norm > rel && k < 100) || k <= 1) {
    ++k;
    norm = std::fabs(x - h0) / (std::fabs(x) + offset);
    h0 = x;
    if (norm > rel || k == 1) x = g(x);
  }
  return k;
}

TEST(TornSolve, TearNormAddsTheRatioOfRelativeToAbsoluteTolerance) {
  // RelTearTol 1e-2 and AbsTearTol 1e-4: the change is taken over |x| + 100.
  Options options;
  options.Real(3, 1e-2);
  options.Real(4, 1e-4);
  auto g = [](double x) { return 0.5 * x + 10.0; };
  const std::uint32_t expected = TearIterationsOf(g, 1e-2, 1e-2 / 1e-4);
  ASSERT_NE(expected, TearIterationsOf(g, 1e-2, 1e-4 / 1e-2));  // the two ratios differ here
  TornCase c(g);
  TornSolve ds;
  EXPECT_EQ(c.Solve(ds), 0u);
  EXPECT_EQ(ds.TearIterations(), expected);
}

TEST(TornSolve, IterationLimitAndSubGroupFailure) {
  Options options;
  options.SetInt(98, 3);
  options.SetInt(kOptPrintLevel, 2);
  testsupport::CaptureSink sink;
  TornCase c([](double x) { return 0.99 * x + 1.0; });
  TornSolve ds;
  EXPECT_EQ(c.Solve(ds), kTornNotConverged);
  EXPECT_NE(Text(sink).find("Torn group 4 failed to converge; exceeded maximum of 3 tear "
                            "iterations"),
            std::string::npos)
      << Text(sink);
  auto* inner = new DAESSolverBlock();
  auto* failing = new FailingSubGroup();
  failing->SetGroupNumber(2);
  inner->AddRow(failing);
  TornCase broken([](double x) { return x; }, inner);
  sink.Clear();
  EXPECT_EQ(broken.Solve(ds), 0x80310005u);
  EXPECT_EQ(ds.FailedSubGroup(), 2u);
  EXPECT_NE(Text(sink).find("Torn group 4 failed to solve due to failure of solution of "
                            "sub-group 2"),
            std::string::npos);
}

// Convergence is judged by the last tear norm, also when that iteration
// is the last one allowed, and with no iterations allowed at all.
TEST(TornSolve, ConvergedOnTheLastAllowedIterationIsConverged) {
  for (const std::int32_t limit : {0, 2}) {
    Options options;
    options.SetInt(98, limit);
    TornCase c([](double) { return 3.0; });
    TornSolve ds;
    EXPECT_EQ(c.Solve(ds), 0u) << limit;
    EXPECT_EQ(ds.TearIterations(), 2u) << limit;
    EXPECT_DOUBLE_EQ(c.x.GetRealValue(), 3.0);
  }
}

// Several torn variables accelerated by the same factor: the spread of
// the factors is zero, never the root of a rounding error below zero.
TEST(Wegstein, EqualFactorsHaveNoSpread) {
  for (const double a : {0.1, 0.35, 0.7, 0.9}) {
    for (int n = 2; n <= 9; ++n) {
      Options options;
      options.SetInt(98, 3);
      testsupport::CaptureSink sink;
      auto map = [a](double v) { return a * v + 1.0; };
      TornCase c(map);
      for (int i = 1; i < n; ++i) c.AlsoTear(map);
      WegsteinStrategy ws;
      c.Solve(ws);
      EXPECT_FALSE(std::isnan(ws.LastSpread())) << a << " " << n;
      EXPECT_LT(ws.LastSpread(), 1e-6) << a << " " << n;
    }
  }
}

TEST(TornSolve, SetUpCodesFollowThePhase) {
  TornSetUpCodes c;
  ASSERT_TRUE(TornSolve::SetUpCodes(0, kRunDynamic, &c));
  EXPECT_EQ(std::make_tuple(c.kind, c.variant, c.mode), std::make_tuple(3u, 4, 128u));
  ASSERT_TRUE(TornSolve::SetUpCodes(1, kRunSteadyState, &c));
  EXPECT_EQ(std::make_tuple(c.kind, c.variant, c.mode), std::make_tuple(3u, 0, 128u));
  ASSERT_TRUE(TornSolve::SetUpCodes(1, kRunInitialisation, &c));
  EXPECT_EQ(std::make_tuple(c.kind, c.variant, c.mode), std::make_tuple(16u, 0, 128u));
  ASSERT_TRUE(TornSolve::SetUpCodes(2, kRunReinitialisation, &c));
  EXPECT_EQ(std::make_tuple(c.kind, c.variant, c.mode), std::make_tuple(6u, 0, 129u));
  EXPECT_FALSE(TornSolve::SetUpCodes(3, kRunDynamic, &c));
}

// Two outputs of one call: the second torn equation takes the evaluation
// the first made, under both update rules; the block hears start and
// finished once per converged solve.
TEST(TornSolve, SharedEvaluationsAndNotices) {
  for (const bool wegstein : {false, true}) {
    Options options;
    TornCase c([](double x) { return 0.5 * x + 1.0; });
    Variable y;
    y.SetValue(0.0);
    int own = 0;
    auto* second = new TornEquation(
        &y, [](double v) { return 0.5 * v + 2.0; }, &own);
    second->shares_with = dynamic_cast<QLNEquation*>(c.block.GetRow(0));
    c.block.AddRow(second);
    TornSolve ds;
    WegsteinStrategy ws;
    EXPECT_EQ(c.Solve(wegstein ? ws : ds), 0u);
    EXPECT_EQ(own, 0);
    EXPECT_GT(second->shared, 0);
    EXPECT_EQ(second->shared, c.evaluations);
    EXPECT_NEAR(c.x.GetRealValue(), 2.0, 1e-3);
    EXPECT_NEAR(y.GetRealValue(), 4.0, 1e-3);
    EXPECT_EQ(c.block.notices, (std::vector<std::int32_t>{0, 1}));
  }
  // Once only: no start, but finished.
  Options once;
  once.SetInt(kOptTearing, 0);
  TornCase c([](double x) { return x; });
  TornSolve ds;
  EXPECT_EQ(c.Solve(ds), 0u);
  EXPECT_EQ(c.block.notices, (std::vector<std::int32_t>{1}));
}

TEST(Wegstein, FixedFactorAndFallBackToDirectSubstitution) {
  Options options;
  options.Real(56, -1.0);
  options.Real(57, -1.0);
  options.SetInt(98, 2);
  // Two updates by direct substitution, then x + 2d.
  TornCase c([](double x) { return 0.5 * x + 1.0; });
  WegsteinStrategy ws;
  c.Solve(ws);
  // x: 0 -> 1 (k 0) -> 1.5 (k 1) -> 1.5 + 2 * 0.25 (k 2).
  EXPECT_DOUBLE_EQ(c.x.GetRealValue(), 2.0);

  // Two torn variables with very different slopes: Q is large and every
  // variable takes the direct step.
  Options spread;
  spread.SetInt(98, 2);
  TornCase two([](double x) { return 0.5 * x + 1.0; });
  two.AlsoTear([](double v) { return -3.0 * v + 1.0; });
  WegsteinStrategy fallback;
  two.Solve(fallback);
  EXPECT_GT(fallback.LastSpread(), 0.05);
  EXPECT_DOUBLE_EQ(two.x.GetRealValue(), 1.75);  // 1.5 + 0.25
}

// The integrator's side of a corrector pass: the handed-over state's
// derivative follows it, x' = x'pred + (x - xpred) / v.
class TyingIntegrator final : public testsupport::IntegratorStandIn {
 public:
  double GetServerValue() override { return v; }
  std::uint32_t ExchangeGroupStates(void*) override {
    x->GetDerivative()->SetValue(dpred + (x->GetRealValue() - xpred) / v);
    return 0;
  }
  DAESVarTableEntry* x = nullptr;
  double v = 0.05, xpred = 1.0, dpred = -0.5;  // a predictor slope off the model
};

// x' + 0.7 x = 0 is linear in the corrector's unknown: one pass of its
// explicit group lands on the corrector's solution and a second moves
// nothing, as Newton with the exact derivative must.
TEST(ExplicitSolve, OneCorrectorPassSolvesALinearStateEquation) {
  Options options;
  Methods methods;
  TyingIntegrator integrator;
  CurrentIntegrator current(&integrator);
  Model m([](Writer& w) { DecayingState(w, 0.7); });
  DAESVarTableEntry* x = m.Named("B.x");
  ASSERT_TRUE(x != nullptr && x->GetDerivative() != nullptr);
  integrator.x = x;
  x->SetValue(integrator.xpred);
  x->GetDerivative()->SetValue(integrator.dpred);
  SoleExplicitGroup g(m, x, 1);
  g.group->SetFlags(kGroupStatePairing);
  const double c = 1.0 / integrator.v;
  const double exact = (c * integrator.xpred - integrator.dpred) / (c + 0.7);
  std::int32_t it = 0;
  EXPECT_EQ(g.group->SolveWithMode(0, 0, &it), 0u);
  EXPECT_NEAR(x->GetRealValue(), exact, 1e-14);
  EXPECT_NEAR(x->GetDerivative()->GetRealValue() + 0.7 * x->GetRealValue(), 0.0, 1e-13);
  EXPECT_EQ(g.group->SolveWithMode(0, 0, &it), 0u);
  EXPECT_NEAR(x->GetRealValue(), exact, 1e-14);
}

// x' + 2 x^2 = 0: a corrector set-up takes the derivative where the
// group stands and the passes after keep it, with the step's coefficient
// taken afresh; the next set-up takes it anew.
TEST(ExplicitSolve, CorrectorPassesKeepTheDerivativeOfTheirSetUp) {
  Options options;
  Methods methods;
  TyingIntegrator integrator;
  CurrentIntegrator current(&integrator);
  constexpr double a = 2.0;
  Model m([](Writer& w) {
    w.List(2);
    w.Item(daestest::mw::kStateVariable);
    w.Placement({{2, "B"}, {1, ".x"}});
    w.Value(1.0), w.End();
    w.Item(daestest::mw::kInlineEquation), w.U32(0);
    w.Expression(Add(Var(0), Mul(Real(a), Mul(Var(1), Var(1)))));
    w.Placement({{2, "B"}, {2, ".e"}});
    w.EquationHead(2), w.Reference({2, 1, 1}), w.Reference({2, 1});
  });
  DAESVarTableEntry* x = m.Named("B.x");
  ASSERT_TRUE(x != nullptr && x->GetDerivative() != nullptr);
  integrator.x = x;
  x->SetValue(integrator.xpred);
  x->GetDerivative()->SetValue(integrator.dpred);
  SoleExplicitGroup g(m, x, 1);
  g.group->SetFlags(kGroupStatePairing);
  // One pass from x: its residual over the derivative `slope` of x.
  auto pass = [&](bool setup) {
    CorrectorIterationScope scope(true, setup);
    std::int32_t it = 0;
    EXPECT_EQ(g.group->SolveWithMode(0, 0, &it), 0u);
  };
  // Newton's step from where the model stands with the derivative `slope`.
  auto after = [&](double slope) {
    const double at = x->GetRealValue();
    return at - (x->GetDerivative()->GetRealValue() + a * at * at) / slope;
  };
  const double set_at = integrator.xpred;
  double expected = after(2 * a * set_at + 1 / integrator.v);
  pass(true);
  EXPECT_NEAR(x->GetRealValue(), expected, 1e-13);
  expected = after(2 * a * set_at + 1 / integrator.v);
  const double fresh = after(2 * a * x->GetRealValue() + 1 / integrator.v);
  EXPECT_GT(std::fabs(expected - fresh), 1e-9);
  pass(false);
  EXPECT_NEAR(x->GetRealValue(), expected, 1e-13);
  // A new step size between set-ups: the kept parts, the new coefficient.
  integrator.v = 0.04;
  expected = after(2 * a * set_at + 1 / integrator.v);
  pass(false);
  EXPECT_NEAR(x->GetRealValue(), expected, 1e-13);
  expected = after(2 * a * x->GetRealValue() + 1 / integrator.v);
  pass(true);
  EXPECT_NEAR(x->GetRealValue(), expected, 1e-13);
}

}  // namespace
