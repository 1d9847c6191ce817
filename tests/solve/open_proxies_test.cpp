// The open-solver proxies over the real framework libraries: linear and
// nonlinear groups against a dense Newton solve, singular and bound-violating
// groups, missing libraries, the parameters the libraries receive, and the
// equation-set adapter a nonlinear library works on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "foundation/interfaces/run_mode.h"
#include "framework/libraries/library_api.h"
#include "framework/messaging/message.h"
#include "solve/groups/corrector_iteration.h"
#include "solve/open/homotopy_parameters.h"
#include "solve/open/kvs_proxies.h"
#include "solve/open/solver_loaders.h"
#include "solve/options/option_descriptors.h"
#include "solve/options/solver_option_table.h"
#include "tests/framework/message_helpers.h"
#include "tests/solve/group_support.h"
#include "tests/support/integrator_stand_in.h"
#include "tests/support/capture_sink.h"

using namespace grouptest;
using daestest::Writer;
using daestest::mw::Add;
using daestest::mw::Mul;
using daestest::mw::Real;
using daestest::mw::Var;
using Expr = decltype(Real(0.0));

namespace {

#ifdef VANTOR_KVS_DIR
const bool kSearchPath = [] {
  AddDLLSearchPath(VANTOR_KVS_DIR);
  return true;
}();
#endif

// Variables x0..x(n-1) (start 1, lower bound `lower`) and one equation per
// expression over all of them.
Model System(std::uint32_t n, const std::vector<Expr>& equations, double lower = -1e9) {
  return Model([&](Writer& w) {
    const auto m = static_cast<std::uint32_t>(equations.size());
    w.List(n + m);
    for (std::uint32_t k = 0; k < n; ++k) {
      w.Item(daestest::mw::kRealVariable);
      w.Placement({{2, "B"}, {k + 1, ".x" + std::to_string(k)}});
      w.Value(1.0), w.Lower(lower), w.End();
    }
    for (std::uint32_t k = 0; k < m; ++k) {
      w.Item(daestest::mw::kInlineEquation), w.U32(0);
      w.Expression(equations[k]);
      w.Placement({{2, "B"}, {n + k + 1, ".e" + std::to_string(k)}});
      w.EquationHead(n);
      for (std::uint32_t j = 0; j < n; ++j) w.Reference({2, j + 1});
    }
  });
}

Expr Lin(double a, double b, double c) {
  return Add(Add(Mul(Real(a), Var(0)), Mul(Real(b), Var(1))), Real(c));
}

std::string Text(const testsupport::CaptureSink& sink) {
  std::string out;
  for (const std::string& line : sink.lines()) out += line + "\n";
  return out;
}

void ExpectClose(const std::vector<double>& a, const std::vector<double>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_NEAR(a[i], b[i], 1e-10 * std::max(1.0, std::fabs(b[i]))) << "entry " << i;
  }
}

std::vector<double> NewtonReference(Model& m) {
  const std::vector<double> start = m.Values();
  EXPECT_EQ(DenseNewton(*m.run, nullptr), 0u);
  std::vector<double> out = m.Values();
  m.SetValues(start);
  return out;
}

template <class Proxy>
void LinearEqualsNewton() {
  Options options;
  Model m = System(
      3, {Add(Lin(2.0, 1.0, -3.0), Mul(Real(0.5), Var(2))), Add(Lin(1.0, 3.0, -5.0), Real(0.0)),
          Add(Lin(0.0, -1.0, 4.0), Mul(Real(4.0), Var(2)))});
  const std::vector<double> expected = NewtonReference(m);
  Proxy proxy;
  EXPECT_EQ(proxy.Solve(m.run.get(), 0, 0, 0, nullptr), 0u);
  ExpectClose(m.Values(), expected);
  EXPECT_NE(m.run->GetEquationSetObject(), nullptr);
  // A second solve starts converged: nothing moves.
  EXPECT_EQ(proxy.Solve(m.run.get(), 0, 0, 0, nullptr), 0u);
  ExpectClose(m.Values(), expected);
}

template <class Proxy>
void NonlinearEqualsNewton() {
  Options options;
  options.Real(0, 1e-13);
  options.SetInt(24, 50);
  for (auto [n, v] : {std::pair{8, 0.1}, {9, 0.9}, {10, 1.0}, {12, 1e-14}, {13, 1e6}}) {
    options.Real(n, v);
  }
  // x0 * x1 = 6, x0 + x1 = 5 from (1, 1.5).
  Model m = System(2, {Add(Mul(Var(0), Var(1)), Real(-6.0)), Lin(1.0, 1.0, -5.0)});
  m.SetValues({1.0, 1.5});
  const std::vector<double> expected = NewtonReference(m);
  Proxy proxy;
  EXPECT_EQ(proxy.Solve(m.run.get(), 0, 0, 0, nullptr), 0u);
  ExpectClose(m.Values(), expected);
}

}  // namespace

#ifdef VANTOR_KVS_DIR

TEST(OpenLinearProxy, SluAndMflEqualADenseNewtonSolve) {
  LinearEqualsNewton<QLNKVSSluProxy>();
  LinearEqualsNewton<QLNKVSMflProxy>();
}

TEST(OpenNonlinearProxy, SparseAndSparseMflEqualADenseNewtonSolve) {
  NonlinearEqualsNewton<QLNKVSSparseProxy>();
  NonlinearEqualsNewton<QLNKVSSparseMflProxy>();
}

// x0 x1 = 6, x0 + x1 = 5: the Newton step from x with the Jacobian at j.
std::vector<double> ProductStep(const std::vector<double>& x, const std::vector<double>& j) {
  const double f0 = x[0] * x[1] - 6, f1 = x[0] + x[1] - 5;
  const double det = j[1] - j[0];  // | j1 j0 ; 1 1 |
  return {x[0] - (f0 - j[0] * f1) / det, x[1] - (j[1] * f1 - f0) / det};
}

// Inside a corrector iteration a group takes one step per solve: Newton's
// at a set-up, then steps on the factors held from it, whatever library
// solves the group.
template <class Proxy>
void CorrectorStepsKeepTheFactors() {
  Options options;
  options.SetInt(24, 50);
  for (auto [n, v] : {std::pair{8, 0.1}, {9, 0.9}, {10, 1.0}, {12, 1e-14}, {13, 1e6}}) {
    options.Real(n, v);
  }
  Model m = System(2, {Add(Mul(Var(0), Var(1)), Real(-6.0)), Lin(1.0, 1.0, -5.0)});
  const std::vector<double> start{2.2, 2.9};
  m.SetValues(start);
  Proxy proxy;
  {
    CorrectorIterationScope step(true, true);
    ASSERT_EQ(proxy.Solve(m.run.get(), 1, 0, 0, nullptr), 0u);
  }
  const std::vector<double> first = m.Values();
  ExpectClose(first, ProductStep(start, start));
  for (int k = 0; k < 2; ++k) {
    const std::vector<double> before = m.Values();
    CorrectorIterationScope step(true, false);
    ASSERT_EQ(proxy.Solve(m.run.get(), 1, 0, 0, nullptr), 0u);
    ExpectClose(m.Values(), ProductStep(before, start));
  }
  // A set-up takes the Jacobian where the group stands now.
  const std::vector<double> before = m.Values();
  {
    CorrectorIterationScope step(true, true);
    ASSERT_EQ(proxy.Solve(m.run.get(), 1, 0, 0, nullptr), 0u);
  }
  ExpectClose(m.Values(), ProductStep(before, before));
}

TEST(OpenLinearProxy, CorrectorStepsKeepTheFactorsOfTheirSetUp) {
  CorrectorStepsKeepTheFactors<QLNKVSSluProxy>();
  CorrectorStepsKeepTheFactors<QLNKVSMflProxy>();
}

TEST(OpenNonlinearProxy, CorrectorStepsKeepTheFactorsOfTheirSetUp) {
  CorrectorStepsKeepTheFactors<QLNKVSSparseProxy>();
  CorrectorStepsKeepTheFactors<QLNKVSSparseMflProxy>();
}

TEST(OpenLinearProxy, ConvergedGroupMakesNoSystem) {
  Options options;
  Model m = System(2, {Lin(1.0, 1.0, -2.0), Lin(1.0, -1.0, 0.0)});
  QLNKVSSluProxy proxy;
  EXPECT_EQ(proxy.Solve(m.run.get(), 0, 0, 0, nullptr), 0u);
  EXPECT_EQ(m.run->GetEquationSetObject(), nullptr);
}

TEST(OpenLinearProxy, SingularGroupMarksIndeterminateThenFailsWhenInconsistent) {
  Options options;
  options.SetInt(kOptPrintLevel, 2);
  {
    // Consistent: x0 + x1 = 3 twice over.
    testsupport::CaptureSink sink;
    Model m = System(2, {Lin(1.0, 1.0, -3.0), Lin(2.0, 2.0, -6.0)});
    QLNKVSSluProxy proxy;
    EXPECT_EQ(proxy.Solve(m.run.get(), 0, 0, 0, nullptr), 0u);
    EXPECT_TRUE(m.run->HasIndeterminate());
    EXPECT_EQ(m.run->GetIndeterminateCount(), 1u);
    const std::string text = Text(sink);
    EXPECT_NE(text.find("Indeterminate variable"), std::string::npos) << text;
    EXPECT_NE(text.find("Warning: linear group 0 is indeterminate"), std::string::npos) << text;
    const std::vector<double> x = m.Values();
    EXPECT_NEAR(x[0] + x[1], 3.0, 1e-12);
  }
  {
    testsupport::CaptureSink sink;
    Model m = System(2, {Lin(1.0, 1.0, -3.0), Lin(2.0, 2.0, -5.0)});
    QLNKVSSluProxy proxy;
    EXPECT_EQ(proxy.Solve(m.run.get(), 0, 0, 0, nullptr), kKvsLinearBadlyPosed);
    EXPECT_NE(Text(sink).find("Linear group is badly posed."), std::string::npos) << Text(sink);
  }
}

TEST(OpenLinearProxy, BoundViolationIsReportedAndNothingStored) {
  Options options;
  options.SetInt(kOptPrintLevel, 2);
  testsupport::CaptureSink sink;
  // x0 = -3 below its lower bound 0.
  Model m = System(2, {Lin(1.0, 0.0, 3.0), Lin(0.0, 1.0, -2.0)}, 0.0);
  QLNKVSSluProxy proxy;
  EXPECT_EQ(proxy.Solve(m.run.get(), 0, 0, 0, nullptr), kKvsLinearFailed);
  const std::string text = Text(sink);
  EXPECT_NE(text.find("is outside lower bound"), std::string::npos) << text;
  ExpectClose(m.Values(), {1.0, 1.0});
}

TEST(OpenLinearProxy, OptionsReachTheSystemAsParameters) {
  Options options;
  options.Real(0, 1e-9);
  options.Real(20, 0.5);
  Model m = System(2, {Lin(2.0, 1.0, -4.0), Lin(1.0, -1.0, 0.0)});
  QLNKVSSluProxy proxy;
  ASSERT_EQ(proxy.Solve(m.run.get(), 0, 0, 0, nullptr), 0u);
  const auto& p = proxy.Parameters();
  EXPECT_EQ(p.at("Triangularisation").text, "No");
  EXPECT_EQ(p.at("ErrorTol").real, 1e-9);
  EXPECT_EQ(p.at("PivotTolerance").real, 0.5);
  EXPECT_EQ(p.at("MaxRefineIter").integer, 0);
  // The system took them.
  void* raw = nullptr;
  ASSERT_EQ(m.run->GetEquationSetObject()->QueryInterface(IID_KVSParameters, &raw), 0u);
  auto* params = static_cast<KVSParameters*>(raw);
  std::int32_t kind = -1;
  double value = 0.0;
  EXPECT_EQ(params->GetValue("PivotTolerance", &kind, &value), 0u);
  EXPECT_EQ(kind, kKvsReal);
  EXPECT_EQ(value, 0.5);
  params->Release();
}

namespace {

// A real parameter of the block's system, read or written behind the
// proxy's back; NaN when there is none.
double SystemReal(DAESSolverBlock& block, const char* name, double set = NAN) {
  auto* system = block.GetEquationSetObject();
  void* raw = nullptr;
  if (system == nullptr || system->QueryInterface(IID_KVSParameters, &raw) != 0) return NAN;
  auto* params = static_cast<KVSParameters*>(raw);
  std::int32_t kind = -1;
  double value = NAN;
  if (!std::isnan(set)) params->Set(name, kKvsReal, &set);
  params->GetValue(name, &kind, &value);
  params->Release();
  return kind == kKvsReal ? value : NAN;
}

}  // namespace

// A system gets each setting once and then only what changed: an option
// written between solves reaches the system the block holds, an unchanged
// one is not sent again, and a new system, or one another proxy set up,
// gets everything.
TEST(OpenLinearProxy, SystemsGetWhatChangedAndNewSystemsEverything) {
  Options options;
  options.Real(20, 0.5);
  Model m = System(2, {Lin(2.0, 1.0, -4.0), Lin(1.0, -1.0, 0.0)});
  const std::vector<double> start = m.Values();
  QLNKVSSluProxy proxy;
  ASSERT_EQ(proxy.Solve(m.run.get(), 0, 0, 0, nullptr), 0u);
  EXPECT_EQ(SystemReal(*m.run, "PivotTolerance"), 0.5);

  options.Real(20, 0.25);
  m.SetValues(start);
  ASSERT_EQ(proxy.Solve(m.run.get(), 0, 0, 0, nullptr), 0u);
  EXPECT_EQ(SystemReal(*m.run, "PivotTolerance"), 0.25);
  // Writing the value it holds is no change.
  options.Real(20, 0.25);
  SystemReal(*m.run, "PivotTolerance", 0.75);
  m.SetValues(start);
  ASSERT_EQ(proxy.Solve(m.run.get(), 0, 0, 0, nullptr), 0u);
  EXPECT_EQ(SystemReal(*m.run, "PivotTolerance"), 0.75);

  QLNKVSSluProxy other;
  m.SetValues(start);
  ASSERT_EQ(other.Solve(m.run.get(), 0, 0, 0, nullptr), 0u);
  EXPECT_EQ(SystemReal(*m.run, "PivotTolerance"), 0.25);

  m.run->Reset();
  m.SetValues(start);
  ASSERT_EQ(proxy.Solve(m.run.get(), 0, 0, 0, nullptr), 0u);
  EXPECT_EQ(SystemReal(*m.run, "PivotTolerance"), 0.25);
}

// Changes made many times over between two blocks' solves (more than the
// proxy keeps in its record of changes) reach each block with their last
// values; what the proxy did not change since a block's mark is not sent.
TEST(OpenLinearProxy, ManyChangesReachEachBlockWithTheirLastValues) {
  Options options;
  Model a = System(2, {Lin(2.0, 1.0, -4.0), Lin(1.0, -1.0, 0.0)});
  Model b = System(2, {Lin(2.0, 1.0, -4.0), Lin(1.0, -1.0, 0.0)});
  QLNKVSSluProxy proxy;
  ASSERT_EQ(proxy.Solve(a.run.get(), 0, 0, 0, nullptr), 0u);
  ASSERT_EQ(proxy.Solve(b.run.get(), 0, 0, 0, nullptr), 0u);
  SystemReal(*a.run, "DropTolerance", 0.125);
  double pivot = 0.0, tolerance = 0.0;
  for (int k = 1; k <= 400; ++k) {
    pivot = 0.5 + 1e-3 * k;
    proxy.SetParameter("PivotTolerance", pivot);
    if (k % 3 == 0) proxy.SetParameter("ErrorTol", tolerance = 1e-10 * k);
    if (k == 7 || k == 150) {
      ASSERT_EQ(proxy.ApplyParameters(a.run.get()), 0u);
      EXPECT_EQ(SystemReal(*a.run, "PivotTolerance"), pivot);
    }
  }
  ASSERT_EQ(proxy.ApplyParameters(a.run.get()), 0u);
  ASSERT_EQ(proxy.ApplyParameters(b.run.get()), 0u);
  for (Model* m : {&a, &b}) {
    EXPECT_EQ(SystemReal(*m->run, "PivotTolerance"), pivot);
    EXPECT_EQ(SystemReal(*m->run, "ErrorTol"), tolerance);
  }
  EXPECT_EQ(SystemReal(*a.run, "DropTolerance"), 0.125);
}

#endif

class MissingSlu final : public QLNKVSLinearProxy {
 public:
  const char* LibraryName() const override { return "kvs_not_there.dll"; }
};

TEST(OpenLinearProxy, MissingLibrarySaysSoOnceAndEverySolveFails) {
  Options options;
  testsupport::CaptureSink sink;
  Model m = System(2, {Lin(1.0, 1.0, -3.0), Lin(1.0, -1.0, -1.0)});
  MissingSlu proxy;
  EXPECT_EQ(proxy.Solve(m.run.get(), 0, 0, 0, nullptr), kKvsProxyFailed);
  EXPECT_EQ(proxy.Solve(m.run.get(), 0, 0, 0, nullptr), kKvsProxyFailed);
  const std::string text = Text(sink);
  const std::string message = "Failed to load kvs_not_there.dll";
  ASSERT_NE(text.find(message), std::string::npos) << text;
  EXPECT_EQ(text.find(message, text.find(message) + 1), std::string::npos) << text;
}

TEST(OpenNonlinearProxy, PerSolveSettingsFollowThePhaseAndMixedNewton) {
  Options options;
  options.SetInt(38, 3);
  options.SetInt(24, 17);
  QLNKVSSparseProxy proxy;
  EXPECT_EQ(proxy.Parameters().at("SLU.Triangularisation").text, "No");
  const std::int32_t phase = GetSolutionPhase();
  SetSolutionPhase(1);
  proxy.PerSolveSettings(false);
  EXPECT_EQ(proxy.Parameters().at("NewtonMethod").text, "Newton");
  EXPECT_EQ(proxy.Parameters().at("MinimumIterations").integer, 0);
  EXPECT_EQ(proxy.Parameters().at("Iterations").integer, 17);
  SetSolutionPhase(0);
  options.SetInt(kOptIntegrator, 4);
  options.SetInt(137, 1);
  proxy.PerSolveSettings(true);
  EXPECT_EQ(proxy.Parameters().at("NewtonMethod").text, "Fast Newton");
  EXPECT_EQ(proxy.Parameters().at("MinimumIterations").integer, 1);
  EXPECT_EQ(proxy.Parameters().at("IpConvInfo").integer, 1);
  proxy.PerSolveSettings(false);
  EXPECT_EQ(proxy.Parameters().at("IpConvInfo").integer, 0);
  EXPECT_EQ(proxy.Parameters().at("IndetHandle").integer, 0) << "no integrator";
  // The integrator's auxiliary word and interpolation value reach the solver.
  struct Interpolating final : testsupport::IntegratorStandIn {
    std::uint32_t GetAuxWord() override { return 5; }
    std::int32_t GetInterpolation() override { return 3; }
  } integrator;
  SetCurrentIntegrator(&integrator);
  proxy.PerSolveSettings(false);
  EXPECT_EQ(proxy.Parameters().at("IndetHandle").integer, 5);
  EXPECT_EQ(proxy.Parameters().at("IpConvInfo").integer, 3);
  proxy.PerSolveSettings(true);
  EXPECT_EQ(proxy.Parameters().at("IpConvInfo").integer, 1) << "a watched group";
  SetCurrentIntegrator(nullptr);
  SetSolutionPhase(phase);
}

// Reads its options as any solve does.
class ReadingProxy final : public QLNKVSNonLinProxy {
 public:
  const char* LibraryName() const override { return "kvs_sparse.dll"; }
  using QLNKVSNonLinProxy::ReadOptions;
};

// Step reductions, divergent steps and the creep settings lie outside the
// typed getters' numbers: read through them, the solver got 0 and gave up
// at the first step that did not lower the residual.
TEST(OpenNonlinearProxy, OptionsOutsideTheTypedGettersKeepTheirValues) {
  // A table of its own, installed for the test and displaced after it.
  SolverOptionTable own;
  SolverOptionTable* table = &own;
  auto in_force = [&](std::int32_t number, std::uint32_t wire) {
    std::uint32_t type = 0;
    void* address = nullptr;
    EXPECT_EQ(table->ValueSlot(number, &type, &address), 0u);
    EXPECT_EQ(type, wire);
    double real = 0.0;
    std::int32_t integer = 0;
    if (wire == kOptionWireReal) std::memcpy(&real, address, sizeof real);
    if (wire == kOptionWireInteger) std::memcpy(&integer, address, sizeof integer);
    return wire == kOptionWireReal ? real : static_cast<double>(integer);
  };
  ReadingProxy proxy;
  proxy.ReadOptions();
  const auto& p = proxy.Parameters();
  EXPECT_EQ(p.at("MaxStepRed").integer, in_force(39, kOptionWireInteger));
  EXPECT_GE(p.at("MaxStepRed").integer, 1);
  EXPECT_EQ(p.at("MaxDivSteps").integer, in_force(40, kOptionWireInteger));
  EXPECT_EQ(p.at("HiVarSteps").integer, in_force(35, kOptionWireInteger));
  EXPECT_EQ(p.at("CreepSize").real, in_force(42, kOptionWireReal));
  EXPECT_GT(p.at("CreepSize").real, 0.0);
  // Numbers the getters answer read as before.
  EXPECT_EQ(p.at("ResTol").real, table->GetReal(0));
  EXPECT_EQ(p.at("PrintLevel").integer, table->GetInt(31));
}

TEST(NumericAlgebraicESO, EvaluateForAllAndForAListEqualsTheBlock) {
  Options options;
  Model m = System(2, {Add(Mul(Var(0), Var(1)), Real(-6.0)), Lin(1.0, 3.0, -5.0)});
  m.SetValues({2.0, 0.5});
  auto* eso = new QLNCNumericAlgebraicESO(m.run.get());
  eso->AddRef();
  std::int32_t nz = 0;
  ASSERT_EQ(eso->GetNumNonZeros(&nz), 0u);
  ASSERT_EQ(nz, 4);
  std::vector<double> r(2), jac(4);
  ASSERT_EQ(eso->Evaluate(nullptr, r.data(), jac.data(), kKvsResiduals | kKvsJacobian), 0u);
  EXPECT_DOUBLE_EQ(r[0], 2.0 * 0.5 - 6.0);
  EXPECT_DOUBLE_EQ(r[1], 2.0 + 1.5 - 5.0);
  std::vector<double> own(4);
  ASSERT_EQ(m.run->EvaluateJacobian(own.data(), 0), 0u);
  EXPECT_EQ(jac, own);
  std::vector<std::int32_t> rows(4), cols(4), kinds(4);
  ASSERT_EQ(eso->GetStructure(rows.data(), cols.data(), kinds.data()), 0u);
  // Equation 2 only: its residual and its entries in structure order.
  const std::int32_t second = 1;
  const KVSIndexList list{1, &second};
  std::vector<double> r1(1), j1(4, -7.0);
  ASSERT_EQ(eso->Evaluate(&list, r1.data(), j1.data(), kKvsResiduals | kKvsJacobian), 0u);
  EXPECT_EQ(r1[0], r[1]);
  std::size_t k = 0;
  for (std::size_t p = 0; p < 4; ++p) {
    if (rows[p] == 2) {
      EXPECT_EQ(j1[k++], own[p]);
    }
  }
  EXPECT_EQ(k, 2u);
  // A list longer than the count names too much: nothing is written.
  const std::int32_t three[] = {0, 1, 0};
  const KVSIndexList longer{3, three};
  std::vector<double> values(3, 42.0);
  EXPECT_EQ(eso->GetVariableValues(&longer, values.data()), kKvsBadIndex);
  EXPECT_EQ(values, std::vector<double>(3, 42.0));
  const std::int32_t outside = 2;
  const KVSIndexList bad{1, &outside};
  EXPECT_EQ(eso->SetVariableValues(&bad, values.data()), kKvsBadIndex);
  eso->Release();
}

// A library asks for the Jacobian of a list of equations through the
// interface it was given: each listed row follows the rows before it, in
// the list's order, whatever order the block keeps its entries in.
TEST(NumericAlgebraicESO, ListedRowsFollowOneAnotherInTheListsOrder) {
  Options options;
  // At (2, 0.5, 4) the rows' partials are (0.5, 2, 2), (3, 5, 7), (4, 11, 2).
  Model m = System(3, {Add(Add(Mul(Var(0), Var(1)), Mul(Real(2.0), Var(2))), Real(-1.0)),
                       Add(Lin(3.0, 5.0, -1.0), Mul(Real(7.0), Var(2))),
                       Add(Mul(Var(0), Var(2)), Mul(Real(11.0), Var(1)))});
  m.SetValues({2.0, 0.5, 4.0});
  auto* adapter = new QLNCNumericAlgebraicESO(m.run.get());
  adapter->AddRef();
  void* raw = nullptr;
  ASSERT_EQ(adapter->QueryInterface(IID_KVSNumericAlgebraicESO, &raw), 0u);
  auto* eso = static_cast<KVSNumericAlgebraicESO*>(raw);
  const std::vector<std::vector<double>> row = {{0.5, 2.0, 2.0}, {3.0, 5.0, 7.0}, {4.0, 11.0, 2.0}};
  for (const std::vector<std::int32_t>& order :
       {std::vector<std::int32_t>{0, 1}, {1, 0}, {2, 0, 1}, {1, 2, 0}}) {
    SCOPED_TRACE("list of " + std::to_string(order.size()) + " starting " +
                 std::to_string(order[0]));
    const KVSIndexList list{static_cast<std::int32_t>(order.size()), order.data()};
    std::vector<double> residuals(order.size()), jacobian(3 * order.size(), -7.0);
    ASSERT_EQ(eso->Evaluate(&list, residuals.data(), jacobian.data(),
                            kKvsResiduals | kKvsJacobian),
              0u);
    std::vector<double> expected;
    for (std::int32_t i : order) expected.insert(expected.end(), row[i].begin(), row[i].end());
    EXPECT_EQ(jacobian, expected);
    // The Jacobian alone, as a library asks for it between residuals.
    std::vector<double> alone(jacobian.size(), -7.0);
    ASSERT_EQ(eso->Evaluate(&list, nullptr, alone.data(), kKvsJacobianOnly), 0u);
    EXPECT_EQ(alone, expected);
  }
  eso->Release();
  adapter->Release();
}

TEST(NumericAlgebraicESO, StructureKindsAreConverted) {
  EXPECT_EQ(KvsStructureKind(0), 1);
  EXPECT_EQ(KvsStructureKind(2), 1);
  EXPECT_EQ(KvsStructureKind(3), 2);
  EXPECT_EQ(KvsStructureKind(7), 6);
  EXPECT_EQ(KvsStructureKind(8), 0);
  EXPECT_EQ(KvsStructureKind(11), 3);
}

TEST(NumericAlgebraicESO, AttributesSubSystemsAndUtilityTexts) {
  Options options;
#ifdef VANTOR_KVS_DIR
  AddDLLSearchPath(VANTOR_KVS_DIR);
#endif
  Model m = System(2, {Add(Mul(Var(0), Var(1)), Real(-6.0)), Lin(1.0, 3.0, -5.0)});
  m.SetValues({2.0, 0.5});
  auto* eso = new QLNCNumericAlgebraicESO(m.run.get());
  eso->AddRef();
  void* raw = nullptr;
  ASSERT_EQ(eso->QueryInterface(IID_KVSNumericESODecompExtension, &raw), 0u);
  auto* decomp = static_cast<KVSNumericESODecompExtension*>(raw);
  std::int32_t value = -1;
  EXPECT_EQ(decomp->SetEquationAttribute(1, "Indeterminate", 1), 0u);
  EXPECT_EQ(decomp->GetEquationAttribute(1, "Indeterminate", &value), 0u);
  EXPECT_EQ(value, 1);
  EXPECT_NE(m.run->GetRow(1)->GetFlags() & daes::kHasIndeterminate, 0u);
  EXPECT_EQ(decomp->SetEquationAttribute(1, "Indeterminate", 2), 0u);
  EXPECT_EQ(m.run->GetRow(1)->GetFlags() & daes::kHasIndeterminate, 0u);
  EXPECT_EQ(decomp->GetEquationAttribute(1, "Colour", &value), kKvsBadIndex);
  EXPECT_EQ(decomp->SetEquationAttribute(5, "Indeterminate", 1), kKvsBadIndex);
  EXPECT_EQ(decomp->SetGroupAttribute("Indeterminate", 1), 0u);
  EXPECT_TRUE(m.run->HasIndeterminate());
  EXPECT_EQ(decomp->SetGroupAttribute("Indeterminate", 0), 0u);
  EXPECT_FALSE(m.run->HasIndeterminate());

  // The entries (2,1) and (1,2), asked for out of row order.
  std::vector<std::int32_t> rows(4), cols(4), kinds(4);
  ASSERT_EQ(eso->GetStructure(rows.data(), cols.data(), kinds.data()), 0u);
  const std::int32_t sub_rows[] = {2, 1};
  const std::int32_t sub_cols[] = {1, 2};
  KVSSubSystem* sub = nullptr;
  std::int32_t* positions = nullptr;
  ASSERT_EQ(decomp->CreateSubSystem(2, sub_rows, sub_cols, &sub, &positions), 0u);
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(rows[static_cast<std::size_t>(positions[k])], sub_rows[k]);
    EXPECT_EQ(cols[static_cast<std::size_t>(positions[k])], sub_cols[k]);
  }
  std::vector<double> r(2), jac(2);
  ASSERT_EQ(decomp->EvaluateSubSystem(sub, r.data(), jac.data(), kKvsResiduals | kKvsJacobian), 0u);
  EXPECT_DOUBLE_EQ(r[0], 2.0 * 0.5 - 6.0);  // rows ascending
  EXPECT_DOUBLE_EQ(r[1], 2.0 + 1.5 - 5.0);
  EXPECT_DOUBLE_EQ(jac[0], 1.0);  // d e2 / d x0
  EXPECT_DOUBLE_EQ(jac[1], 2.0);  // d e1 / d x1 = x0
  EXPECT_EQ(decomp->DestroySubSystem(sub), 0u);
  const std::int32_t missing_col[] = {2};
  const std::int32_t none[] = {3};
  EXPECT_EQ(decomp->CreateSubSystem(1, none, missing_col, &sub, &positions), kKvsBadIndex);
  decomp->Release();

#ifdef VANTOR_KVS_DIR
  ASSERT_EQ(eso->QueryInterface(IID_KVSUtilityComponent, &raw), 0u);
  auto* utility = static_cast<KVSUtilityComponent*>(raw);
  char* text = nullptr;
  ASSERT_EQ(utility->GetDescription(&text), 0u);
  EXPECT_EQ(TakeKvsText(text), "Quillon (TM) Version V12");
  utility->Release();
#endif
  eso->Release();
}

namespace {

// Two parameters; the second refuses negative values.
class TwoParameters final : public QLNHomotopyParameters {
 public:
  std::int32_t Count() override { return 2; }
  Status SetValue(std::int32_t i, double v) override {
    if (i == 1 && v < 0) return 0x80000001u;
    values[static_cast<std::size_t>(i)] = v;
    return 0;
  }
  Status Evaluate() override { return ++evaluations > 1 ? 1u : 0u; }
  double Value(std::int32_t i) override { return values[static_cast<std::size_t>(i)]; }
  const char* Name(std::int32_t i) override { return i == 0 ? "lambda" : "mu"; }
  double values[2] = {0.0, 0.0};
  int evaluations = 0;
};

}  // namespace

TEST(NumericAlgebraicESO, HomotopyAndEquationTextsForwarded) {
  Options options;
#ifdef VANTOR_KVS_DIR
  AddDLLSearchPath(VANTOR_KVS_DIR);
#endif
  Model m = System(1, {Lin(1.0, 0.0, -5.0)});
  auto* without = new QLNCNumericAlgebraicESO(m.run.get());
  without->AddRef();
  TwoParameters parameters;
  SetProcessHomotopy(&parameters);
  auto* eso = new QLNCNumericAlgebraicESO(m.run.get());
  eso->AddRef();
  SetProcessHomotopy(nullptr);
  void* raw = nullptr;
  ASSERT_EQ(eso->QueryInterface(IID_KVSHomotopy, &raw), 0u);
  auto* homotopy = static_cast<KVSHomotopy*>(raw);
  std::int32_t count = 0;
  EXPECT_EQ(homotopy->GetCount(&count), 0u);
  EXPECT_EQ(count, 2);
  const double good[] = {0.5, 2.0};
  EXPECT_EQ(homotopy->SetValues(good), 0u);
  double back[2] = {};
  EXPECT_EQ(homotopy->GetValues(back), 0u);
  EXPECT_EQ(back[1], 2.0);
  const double refused[] = {0.25, -1.0};
  EXPECT_EQ(homotopy->SetValues(refused), kKvsValueFailed);
  EXPECT_EQ(parameters.values[0], 0.25);
  EXPECT_EQ(homotopy->Evaluate(), 0u);
  EXPECT_EQ(homotopy->Evaluate(), kKvsValueFailed);
  char* name = nullptr;
  ASSERT_EQ(homotopy->GetName(1, &name), 0u);
  EXPECT_EQ(TakeKvsText(name), "mu");
  EXPECT_EQ(homotopy->GetName(2, &name), kKvsBadIndex);
  homotopy->Release();
  // Made before any homotopy: none to move.
  ASSERT_EQ(without->QueryInterface(IID_KVSHomotopy, &raw), 0u);
  homotopy = static_cast<KVSHomotopy*>(raw);
  EXPECT_EQ(homotopy->GetCount(&count), 0u);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(homotopy->SetValues(good), kKvsValueFailed);
  homotopy->Release();

  // Without "ListEquivalenceVariables" an equation has no texts.
  ASSERT_EQ(eso->QueryInterface(IID_KVSNumericESOExtension3, &raw), 0u);
  auto* texts = static_cast<KVSNumericESOExtension3*>(raw);
  EXPECT_EQ(texts->GetEquationTextCount(0, &count), 0u);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(texts->GetEquationText(0, 0, &name), kKvsBadIndex);
  EXPECT_EQ(texts->GetEquationTextCount(1, &count), kKvsBadIndex);
  texts->Release();
  EXPECT_EQ(eso->Release(), 0u);
  EXPECT_EQ(without->Release(), 0u);
}

#ifdef VANTOR_KVS_DIR
namespace {

std::int32_t SystemInt(DAESSolverBlock& block, const char* name) {
  void* raw = nullptr;
  auto* system = static_cast<platform::IUnknown*>(block.GetEquationSetObject());
  if (system == nullptr || system->QueryInterface(IID_KVSParameters, &raw) != 0) return -1;
  auto* parameters = static_cast<KVSParameters*>(raw);
  std::int32_t kind = -1;
  std::int32_t value = -1;
  parameters->GetValue(name, &kind, &value);
  parameters->Release();
  return kind == kKvsInteger ? value : -1;
}

SUValue Integer(std::int32_t v) {
  SUValue out;
  out.SetType(SUValue::kInteger);
  out.SetInt(v);
  out.status = SUValue::kValid;
  return out;
}

}  // namespace

TEST(OpenLinearProxy, MflLibrariesPublishTheirParametersAsNamedOptions) {
  SolverOptionTable table;
  SUValue value;
  {
    Model m = System(2, {Lin(2.0, 1.0, -3.0), Lin(1.0, 3.0, -5.0)});
    QLNKVSMflProxy proxy;
    ASSERT_EQ(proxy.Solve(m.run.get(), 0, 0, 0, nullptr), 0u);
    // Every parameter, under the library's product text.
    EXPECT_EQ(table.GetNamedOption("MFL.PrintLevel", &value), 0u);
    EXPECT_EQ(table.GetNamedOption("MFL.DropTolerance", &value), 0u);
    EXPECT_EQ(table.SetNamedOption("MFL", "PrintLevel", Integer(-7)), 0u);
    m.SetValues({5.0, 5.0});
    ASSERT_EQ(proxy.Solve(m.run.get(), 0, 0, 0, nullptr), 0u);
    EXPECT_EQ(SystemInt(*m.run, "PrintLevel"), -7);
    m.run->Reset();
  }
  // Gone with its proxy: a change reaches nobody.
  EXPECT_EQ(table.SetNamedOption("MFL", "PrintLevel", Integer(3)), 0u);

  Model n = System(2, {Lin(2.0, 1.0, -3.0), Lin(1.0, 1.0, -5.0)});
  QLNKVSSparseMflProxy sparse;
  // Published when its first system is made, whatever the solve gives.
  sparse.Solve(n.run.get(), 0, 0, 0, nullptr);
  // Only the names with a point, which stand for themselves.
  EXPECT_EQ(table.GetNamedOption("SLU.PivotSearch", &value), 0u);
  EXPECT_NE(table.GetNamedOption("SPARSE_MFL.ResTol", &value), 0u);
  EXPECT_EQ(table.SetNamedOption("SPARSE_MFL", "SLU.PivotSearch", Integer(2)), 0u);
  EXPECT_EQ(sparse.Parameters().at("SLU.PivotSearch").integer, 2);
  sparse.Solve(n.run.get(), 0, 0, 0, nullptr);
  EXPECT_EQ(SystemInt(*n.run, "SLU.PivotSearch"), 2);
  n.run->Reset();
}
#endif

#ifdef VANTOR_KVS_DIR
// Options outside the table's getter lists (step reductions, divergence
// steps, the best-point flag, the creep size) reach the library with their
// values, not 0.
TEST(OpenNonlinearProxy, EveryMappedOptionReachesTheLibraryWithItsValue) {
  SolverOptionTable table;
  Model n = System(2, {Lin(2.0, 1.0, -3.0), Lin(1.0, 1.0, -5.0)});
  QLNKVSSparseMflProxy sparse;
  sparse.Solve(n.run.get(), 0, 0, 0, nullptr);
  const QLNKVSGenericProxy::ParameterMap& p = sparse.Parameters();
  EXPECT_EQ(p.at("MaxStepRed").integer, 10);
  EXPECT_EQ(p.at("MaxDivSteps").integer, 10);
  EXPECT_EQ(p.at("BestAfterFailure").text, "YES");
  EXPECT_EQ(p.at("CreepSize").real, 0.1);
  EXPECT_EQ(p.at("MaxFNIterations").integer, table.GetInt(102));
  n.run->Reset();
}
#endif

#ifdef VANTOR_KVS_DIR
// Nonlinear.SingPert reaches both nonlinear libraries as "SingulFactor",
// at its default and as the client sets it, as it stands.
template <class Proxy>
void SingPertReachesTheLibrary() {
  Options options;
  Model n = System(2, {Lin(2.0, 1.0, -3.0), Lin(1.0, 1.0, -5.0)});
  Proxy proxy;
  ASSERT_EQ(proxy.Solve(n.run.get(), 0, 0, 0, nullptr), 0u);
  EXPECT_EQ(proxy.Parameters().at("SingulFactor").real, 0.01);
  EXPECT_EQ(SystemReal(*n.run, "SingulFactor"), 0.01);
  for (double factor : {0.25, 0.0, 1.0}) {
    options.Real(12, factor);
    options.Table().ApplyPendingChanges();
    n.SetValues({5.0, 5.0});
    ASSERT_EQ(proxy.Solve(n.run.get(), 0, 0, 0, nullptr), 0u);
    EXPECT_EQ(proxy.Parameters().at("SingulFactor").real, factor);
    EXPECT_EQ(SystemReal(*n.run, "SingulFactor"), factor);
  }
  n.run->Reset();
}

TEST(OpenNonlinearProxy, SingPertReachesTheLibraryAsSingulFactor) {
  SingPertReachesTheLibrary<QLNKVSSparseProxy>();
  SingPertReachesTheLibrary<QLNKVSSparseMflProxy>();
}
#endif

#ifdef VANTOR_KVS_DIR
namespace {

class MissingLinear final : public QLNKVSLinearProxy {
 public:
  const char* LibraryName() const override { return "kvs_missing.dll"; }
};

}  // namespace

TEST(OpenLinearProxy, ParametersWrittenIntoAMessage) {
  QLNKVSSluProxy proxy;
  DseMessage out(1, DseMessage::kReply);
  // The operation takes the stream face of the message.
  BvuBinaryStream* stream = &out;
  ASSERT_EQ(proxy.Operation6(stream), 0u);
  const auto body = testsupport::BodyOf(out);
  const std::string text(body.begin(), body.end());
  // The prefix, then every parameter by name with its kind code.
  EXPECT_EQ(text.find("SLU"), 3u) << "after the prefix's length";
  for (const char* name : {"DropTolerance", "PivotSearch", "Triangularisation"}) {
    EXPECT_NE(text.find(name), std::string::npos) << name;
  }
  // Ten parameters after the prefix and its terminator.
  EXPECT_EQ(body[3 + 4], 10);
  EXPECT_EQ(proxy.Operation6(nullptr), kKvsProxyFailed);
  testsupport::CaptureSink sink;
  MissingLinear missing;
  EXPECT_EQ(missing.Operation6(stream), kKvsProxyFailed);
}
#endif

#ifdef VANTOR_KVS_DIR
namespace {

// A framework library behind a proxy that counts the groups handed to it.
template <class Proxy>
class Counting : public Proxy {
 public:
  explicit Counting(const char* library) : library_(library) {}
  const char* LibraryName() const override { return library_; }
  Status Solve(QLNGroup* group, std::uint8_t mode, std::uint32_t request, std::uint32_t word,
               Status* out) override {
    ++calls;
    return Proxy::Solve(group, mode, request, word, out);
  }
  int calls = 0;

 private:
  const char* library_;
};

struct CountingLinear final : Counting<QLNKVSLinearProxy> {
  CountingLinear() : Counting("kvs_slu.dll") {}
};
struct CountingNonlinear final : Counting<QLNKVSNonLinProxy> {
  CountingNonlinear() : Counting("kvs_sparse.dll") {}
};

// A decomposition of one group over the model's two rows and two
// variables, the proxy its kind's method; corrector passes through it.
template <class Proxy>
struct OneGroupCorrector {
  // `method`: the proxy is the kind's method (else the test hands the
  // group to a library itself).
  OneGroupCorrector(Model& m, std::uint8_t type, std::int32_t kind, bool method = true)
      : kind(method ? kind : -1) {
    if (method) ReplaceGroupMethod(kind, proxy = new Proxy());
    parent = new QLNESOGroup(m.run.get());
    parent->AddRef();
    platform::IUnknown* u = nullptr;
    EXPECT_EQ(CreateESOGroupObject(type, &u), 0u);
    group = dynamic_cast<QLNESOGroup*>(static_cast<IQLNESO*>(u));
    std::int32_t rows[] = {0, 1};
    std::int32_t vars[] = {0, 1};
    platform::IUnknown* p = static_cast<IQLNESO*>(parent);
    EXPECT_EQ(group->SetGroupStructure(p, 2, rows, 2, vars), 0u);
    for (std::int32_t e : rows) EXPECT_EQ(group->SetEquationVariables(p, e, 2, vars), 0u);
    group->SetGroupNumber(1);
    platform::IUnknown* d = nullptr;
    EXPECT_EQ(CreateDecompositionObject(&d), 0u);
    EXPECT_EQ(d->QueryInterface(IID_IQLNCorrectorIteration, reinterpret_cast<void**>(&iteration)),
              0u);
    decomposition = d;
    EXPECT_EQ(static_cast<IQLNDecomposition*>(d)->AddGroup(u), 0u);
    u->Release();
  }
  ~OneGroupCorrector() {
    iteration->Release();
    decomposition->Release();
    parent->Release();
    if (kind >= 0) ReplaceGroupMethod(kind, nullptr);
  }
  Status Pass(bool setup) { return iteration->IterateCorrector(setup ? 1 : 0); }
  DAESSolverBlock* Block() { return group->Block()->AsSolverBlock(); }

  std::int32_t kind;
  Proxy* proxy = nullptr;
  QLNESOGroup* parent;
  QLNESOGroup* group;
  platform::IUnknown* decomposition;
  IQLNCorrectorIteration* iteration = nullptr;
};

// Ties the derivative of the state of the group handed over to it, as an
// integrator would.
class TyingIntegrator final : public testsupport::IntegratorStandIn {
 public:
  double GetServerValue() override { return v; }
  std::uint32_t ExchangeGroupStates(void* block) override {
    for (auto [owner, x] : states) {
      if (owner == block) x->GetDerivative()->SetValue(dpred + (x->GetRealValue() - xpred) / v);
    }
    return 0;
  }
  std::vector<std::pair<void*, DAESVarTableEntry*>> states;
  double v = 0.05, xpred = 1.0, dpred = -0.5;
};

// x' + y = 0, y - x^2 = 0 with x a state.
Model StateAndSquare() {
  return Model([](Writer& w) {
    w.List(4);
    w.Item(daestest::mw::kStateVariable);
    w.Placement({{2, "B"}, {1, ".x"}});
    w.Value(1.0), w.End();
    w.Item(daestest::mw::kRealVariable);
    w.Placement({{2, "B"}, {2, ".y"}});
    w.Value(0.3), w.Lower(-1e9), w.End();
    w.Item(daestest::mw::kInlineEquation), w.U32(0);
    w.Expression(Add(Var(0), Var(1)));
    w.Placement({{2, "B"}, {3, ".e0"}});
    w.EquationHead(2), w.Reference({2, 1, 1}), w.Reference({2, 2});
    w.Item(daestest::mw::kInlineEquation), w.U32(0);
    w.Expression(Add(Var(0), Mul(Real(-1.0), Mul(Var(1), Var(1)))));
    w.Placement({{2, "B"}, {4, ".e1"}});
    w.EquationHead(2), w.Reference({2, 2}), w.Reference({2, 1});
  });
}

struct CurrentIntegrator {
  explicit CurrentIntegrator(UnifiedIntegratorProxy* i) { SetCurrentIntegrator(i); }
  ~CurrentIntegrator() { SetCurrentIntegrator(nullptr); }
};

}  // namespace

// A group pairing a state with its derivative: the steps equal the
// library's over set-ups, steps on old factors and a new step quantity
// between them (the step then scaled as the coefficient moved).
TEST(DirectCorrector, AStateGroupStepsAsTheLibraryAcrossANewStepQuantity) {
  Options options;
  TyingIntegrator integrator;
  CurrentIntegrator current(&integrator);
  Model m = StateAndSquare();
  Model twin = StateAndSquare();
  OneGroupCorrector<CountingNonlinear> c(m, kGroupTypeNonlinear, kGroupNonlinear);
  c.group->SetFlags(kGroupStatePairing);
  OneGroupCorrector<CountingNonlinear> library(twin, kGroupTypeNonlinear, kGroupNonlinear, false);
  library.group->SetFlags(kGroupStatePairing);
  for (auto [model, block] : {std::pair{&m, c.Block()}, {&twin, library.Block()}}) {
    DAESVarTableEntry* x = model->Named("B.x");
    ASSERT_TRUE(x != nullptr && x->GetDerivative() != nullptr);
    integrator.states.emplace_back(static_cast<DAESBlock*>(block), x);
    x->GetDerivative()->SetValue(integrator.dpred);
  }
  QLNKVSSparseProxy alone;
  int pass = 0;
  for (auto [setup, v] : {std::pair{true, 0.05}, {true, 0.05}, {false, 0.05}, {false, 0.08},
                          {true, 0.08}, {false, 0.03}}) {
    integrator.v = v;
    ASSERT_EQ(c.Pass(setup), 0u) << "pass " << pass;
    CorrectorIterationScope step(true, setup);
    ASSERT_EQ(alone.Solve(library.Block(), 1, 1, 0, nullptr), 0u);
    const std::vector<double> ours = m.Values(), theirs = twin.Values();
    ExpectClose(ours, theirs);
    EXPECT_NEAR(m.Named("B.x")->GetDerivative()->GetRealValue(),
                twin.Named("B.x")->GetDerivative()->GetRealValue(), 1e-10)
        << "pass " << pass;
    ++pass;
  }
  EXPECT_EQ(c.proxy->calls, 0);
}

// The same corrector group through a library chosen as the open NLA
// solver: its state moves its derivative with the integrator and the
// solution is the tied one, x' = -0.5 + (x - 1)/0.05 = -x^2, as the
// built-in proxy finds, not x = sqrt(0.5) of a frozen derivative.
TEST(OpenNLASolver, ACorrectorGroupTiesItsDerivativesAsTheBuiltInMethod) {
  Options options;
  options.Real(0, 1e-13);
  TyingIntegrator integrator;
  CurrentIntegrator current(&integrator);
  testsupport::CaptureSink sink;
  ASSERT_EQ(LoadOpenNLASolver("kvs_sparse.dll"), 0u);
  const double tied = (-20.0 + std::sqrt(400.0 + 82.0)) / 2.0;  // 0.977249...
  for (bool in_step : {false, true}) {
    Model open_model = StateAndSquare();
    Model built_in_model = StateAndSquare();
    OneGroupCorrector<CountingNonlinear> open(open_model, kGroupTypeNonlinear, kGroupNonlinear,
                                              false);
    OneGroupCorrector<CountingNonlinear> built_in(built_in_model, kGroupTypeNonlinear,
                                                  kGroupNonlinear, false);
    integrator.states.clear();
    for (auto [model, block] :
         {std::pair{&open_model, open.Block()}, {&built_in_model, built_in.Block()}}) {
      DAESVarTableEntry* x = model->Named("B.x");
      ASSERT_TRUE(x != nullptr && x->GetDerivative() != nullptr);
      integrator.states.emplace_back(static_cast<DAESBlock*>(block), x);
      x->GetDerivative()->SetValue(integrator.dpred);
    }
    QLNCOpenNLASolver method;
    {
      // Within a corrector pass the open solver still solves the group whole.
      std::unique_ptr<CorrectorIterationScope> step;
      if (in_step) step = std::make_unique<CorrectorIterationScope>(true, true);
      ASSERT_EQ(method.Solve(open.Block(), 1, 1, 0, nullptr), 0u) << Text(sink);
    }
    QLNKVSSparseProxy proxy;
    ASSERT_EQ(proxy.Solve(built_in.Block(), 1, 1, 0, nullptr), 0u);
    const double x = open_model.Named("B.x")->GetRealValue();
    EXPECT_NEAR(x, tied, 1e-9) << "in a corrector pass: " << in_step;
    EXPECT_NEAR(x, built_in_model.Named("B.x")->GetRealValue(), 1e-9);
    EXPECT_NEAR(open_model.Named("B.x")->GetDerivative()->GetRealValue(), -tied * tied, 1e-8);
    open.Block()->Reset();
    built_in.Block()->Reset();
  }
  ClearOpenSolvers();
}

// The decomposition steps a small group itself with the settings its
// library would be given: the same Newton step at a set-up and the same
// steps on the set-up's matrix after it, the library never called and no
// system of its made.
TEST(DirectCorrector, StepsAsTheLibraryWouldOnTheFactorsOfItsSetUp) {
  Options options;
  Model m = System(2, {Add(Mul(Var(0), Var(1)), Real(-6.0)), Lin(1.0, 1.0, -5.0)});
  OneGroupCorrector<CountingNonlinear> c(m, kGroupTypeNonlinear, kGroupNonlinear);
  const std::vector<double> set_at{2.2, 2.9};
  m.SetValues(set_at);
  ASSERT_EQ(c.Pass(true), 0u);
  ExpectClose(m.Values(), ProductStep(set_at, set_at));
  for (int k = 0; k < 2; ++k) {
    const std::vector<double> at = m.Values();
    ASSERT_EQ(c.Pass(false), 0u);
    ExpectClose(m.Values(), ProductStep(at, set_at));
  }
  EXPECT_EQ(c.proxy->calls, 0);
  EXPECT_EQ(c.Block()->GetEquationSetObject(), nullptr);
  EXPECT_TRUE(c.Block()->IsSolved());
}

TEST(DirectCorrector, ALinearGroupLandsOnItsSolutionAndStaysThere) {
  Options options;
  Model m = System(2, {Lin(2.0, 1.0, -4.0), Lin(1.0, -3.0, 5.0)});
  OneGroupCorrector<CountingLinear> c(m, kGroupTypeLinear, kGroupLinear);
  for (bool setup : {true, false, true, false}) ASSERT_EQ(c.Pass(setup), 0u);
  // 2 x0 + x1 = 4, x0 - 3 x1 = -5.
  ExpectClose(m.Values(), {1.0, 2.0});
  EXPECT_EQ(c.proxy->calls, 0) << "a linear group needs no system of the library's";
}

// A step the library would cut at a bound, and a matrix near singular, go
// to the library, with the matrix set up where the group stands.
TEST(DirectCorrector, BoundsAndSingularMatricesGoToTheLibrary) {
  Options options;
  {
    // x0 x1 = 6, x0 + x1 = 5 with every value at least 2.1: from (2.2, 2.9)
    // Newton's step takes x0 to about 2.02.
    Model m = System(2, {Add(Mul(Var(0), Var(1)), Real(-6.0)), Lin(1.0, 1.0, -5.0)}, 2.1);
    Model twin = System(2, {Add(Mul(Var(0), Var(1)), Real(-6.0)), Lin(1.0, 1.0, -5.0)}, 2.1);
    OneGroupCorrector<CountingNonlinear> c(m, kGroupTypeNonlinear, kGroupNonlinear);
    m.SetValues({2.2, 2.9});
    ASSERT_EQ(c.Pass(true), 0u);
    EXPECT_EQ(c.proxy->calls, 1);
    QLNKVSSparseProxy library;
    twin.SetValues({2.2, 2.9});
    CorrectorIterationScope step(true, true);
    ASSERT_EQ(library.Solve(twin.run.get(), 1, 0, 0, nullptr), 0u);
    ExpectClose(m.Values(), twin.Values());
    EXPECT_GE(m.Values()[0], 2.1);
  }
  {
    // x0 + x1 = 3 twice over: the library marks the group indeterminate.
    Model m = System(2, {Lin(1.0, 1.0, -3.0), Lin(2.0, 2.0, -6.0)});
    OneGroupCorrector<CountingLinear> c(m, kGroupTypeLinear, kGroupLinear);
    ASSERT_EQ(c.Pass(true), 0u);
    ASSERT_EQ(c.Pass(true), 0u);
    EXPECT_EQ(c.proxy->calls, 2);
    EXPECT_TRUE(c.Block()->HasIndeterminate());
    const std::vector<double> x = m.Values();
    EXPECT_NEAR(x[0] + x[1], 3.0, 1e-12);
  }
}
#endif
