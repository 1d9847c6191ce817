// Block numerics on the tank model and on a generated flowsheet: run
// selection, the Jacobian structure, entries against central differences,
// that every perturbation is undone, and the diagnostics.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "daes/blocks/block_kinds.h"
#include "daes/blocks/compiled_hooks.h"
#include "daes/equations/row_element.h"
#include "daes/model/variable.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "foundation/interfaces/solver_options.h"
#include "framework/messaging/message.h"
#include "tests/daes/daes_helpers.h"

using namespace daestest;
using mw::Add;
using mw::Mul;
using mw::Real;
using mw::Sqrt;
using mw::Sub;
using mw::Var;

namespace {

// A flowsheet of `units` units of four equations: mass, energy, pressure
// and valve, each unit fed by the one before; unit 0 is the fixed feed.
void Flowsheet(Writer& w, std::uint32_t units) {
  w.List(3 * (units + 1) + 4 * units);
  auto unit = [](std::uint32_t k) {
    std::string name = std::to_string(k);
    name.insert(name.begin(), 'U');
    return mw::Step{k + 2, name};
  };
  for (std::uint32_t k = 0; k <= units; ++k) {
    const char* names[] = {".F", ".T", ".P"};
    const double values[] = {10.0 + 0.001 * k, 350.0 - 0.01 * k, 0.0};
    for (std::uint32_t i = 0; i < 3; ++i) {
      w.Item(mw::kRealVariable);
      w.Placement({unit(k), {i + 1, names[i]}});
      const double t = 350.0 - 0.01 * k;
      w.Value(i == 2 ? 10.0 * t * t : values[i]);
      if (k == 0) w.Spec(4);
      w.End();
    }
  }
  for (std::uint32_t k = 1; k <= units; ++k) {
    auto ref = [&](std::uint32_t u, std::uint32_t i) { w.Reference({u + 2, i}); };
    w.Item(mw::kInlineEquation), w.U32(0);
    w.Expression(Sub(Sub(Var(0), Var(1)), Real(0.001)));
    w.Placement({unit(k), {4, ".m"}});
    w.EquationHead(2), ref(k, 1), ref(k - 1, 1);
    w.Item(mw::kInlineEquation), w.U32(0);
    w.Expression(Add(Sub(Mul(Var(0), Var(1)), Mul(Var(2), Var(3))), Mul(Real(0.1), Var(0))));
    w.Placement({unit(k), {5, ".h"}});
    w.EquationHead(4), ref(k, 1), ref(k, 2), ref(k - 1, 1), ref(k - 1, 2);
    w.Item(mw::kInlineEquation), w.U32(0);
    w.Expression(Sub(Var(0), Mul(Real(10.0), Mul(Var(1), Var(1)))));
    w.Placement({unit(k), {6, ".p"}});
    w.EquationHead(2), ref(k, 3), ref(k, 2);
    w.Item(mw::kInlineEquation), w.U32(0);
    w.Expression(Sub(Var(0), Mul(Real(0.5), Sqrt(Sub(Var(1), Var(2))))));
    w.Placement({unit(k), {7, ".v"}});
    w.EquationHead(3), ref(k, 1), ref(k - 1, 3), ref(k, 3);
  }
}

struct Model {
  explicit Model(const std::function<void(Writer&)>& write) {
    EXPECT_EQ(tree.Read(write), 0u);
    problem.reset(DAESCreateProblem(tree.root, 0, nullptr));
  }
  DAESSolverEquation* Eq(QLNRow* row) {
    auto* q = dynamic_cast<QLNEquation*>(row);
    return dynamic_cast<DAESSolverEquation*>(q->UnderlyingEquation());
  }
  // Every variable value and every row residual, bit for bit.
  std::vector<double> Snapshot(DAESSolverBlock& b) {
    std::vector<double> out;
    for (std::int32_t i = 0; i < problem->VariableCount(); ++i)
      out.push_back(problem->GetVariable(i)->GetRealValue());
    for (std::uint32_t i = 0; i < b.GetRowCount(); ++i) {
      double r = 0.0;
      Eq(b.GetRow(i))->ResidualValue(&r);
      out.push_back(r);
    }
    return out;
  }
  // Central difference of row r's residual in the value of v.
  double Central(QLNRow* row, DAESVarTableEntry* v) {
    const double x = v->GetRealValue();
    const double h = 1e-8 * std::max(1.0, std::fabs(x));
    double up = 0.0, down = 0.0;
    v->SetValue(x + h);
    Eq(row)->EvaluateResidualChecked(&up);
    v->SetValue(x - h);
    Eq(row)->EvaluateResidualChecked(&down);
    v->SetValue(x);
    double r = 0.0;
    Eq(row)->EvaluateResidualChecked(&r);
    return (up - down) / (2 * h);
  }
  // The one-sided quotient the block's rule gives with the default steps.
  double OneSided(QLNRow* row, DAESVarTableEntry* v) {
    const double x = v->GetRealValue();
    double perturbed = x, h = 0.0, r0 = 0.0, r1 = 0.0;
    v->PerturbationStep(x, &perturbed, 1e-5, &h, 1e-5);
    Eq(row)->EvaluateResidualChecked(&r0);
    v->SetValue(perturbed);
    Eq(row)->EvaluateResidualChecked(&r1);
    v->SetValue(x);
    Eq(row)->EvaluateResidualChecked(&r0);
    return (r1 - r0) / h;
  }
  void MarkForDifference(DAESSolverEquation* e, DAESVarTableEntry* v) {
    std::int32_t cursor = 0;
    while (DAESRowElement* el = e->FindNextElement(v->SequenceNumber(), &cursor)) {
      el->SetClassMark(-1, e->OutputIndex(), 0);
      el->SetClassMark(4, e->OutputIndex(), 0);
    }
  }
  DAESVarTableEntry* Named(const std::string& name) {
    for (std::int32_t i = 0; i < problem->VariableCount(); ++i) {
      if (name == problem->GetVariable(i)->GetNameText()) return problem->GetVariable(i);
    }
    return nullptr;
  }
  std::unique_ptr<DAESSolverBlock> Run(std::uint32_t mask) {
    DAESSolverBlock* raw = nullptr;
    EXPECT_EQ(problem->BuildSolverBlock(&raw, mask, 0, 0, 0, true), 0u);
    return std::unique_ptr<DAESSolverBlock>(raw);
  }
  Tree tree;
  std::unique_ptr<DAESProblem> problem;
};

std::vector<std::string> VariableNames(DAESSolverBlock& b) {
  std::vector<std::string> out;
  for (std::int32_t i = 0; i < b.VariableCount(); ++i)
    out.push_back(b.GetVariable(i)->GetNameText());
  return out;
}

constexpr std::uint32_t kFreeMask = daes::kFree;

TEST(BlockNumerics, TankRunBlockSelectsAndStructures) {
  Model m(Tank);
  ASSERT_NE(m.problem, nullptr);
  DAESSolverBlock* raw = nullptr;
  ASSERT_EQ(m.problem->BuildSolverBlock(&raw, kFreeMask, 0, 0, 0, true), 0u);
  std::unique_ptr<DAESSolverBlock> b(raw);
  EXPECT_NE(b->GetFlags() & daes::kEquationSetBlock, 0u);
  EXPECT_EQ(VariableNames(*b), (std::vector<std::string>{"T101.F_out", "T101.h.Derivative"}));
  EXPECT_EQ(b->GetRowCount(), 2u);
  EXPECT_EQ(b->NonZeroCount(), 3u);
  EXPECT_EQ(b->GetNetCount(), 3u);

  const std::int64_t *rows = nullptr, *cols = nullptr, *third = nullptr;
  ASSERT_EQ(b->BuildStructure(&rows, &cols, &third, 0), 0u);
  ASSERT_EQ(b->StructureSize(), 3u);
  EXPECT_EQ(std::vector<std::int64_t>(rows, rows + 3), (std::vector<std::int64_t>{1, 2, 1}));
  EXPECT_EQ(std::vector<std::int64_t>(cols, cols + 3), (std::vector<std::int64_t>{1, 1, 2}));
  const std::int64_t* again = nullptr;
  b->BuildStructure(&again, nullptr, nullptr, 0);
  EXPECT_EQ(again, rows);

  // Run bits take fixed candidates in a third round and count them apart.
  m.Named("T101.h")->SetFlags(0x100000);
  DAESSolverBlock* with_runs = nullptr;
  ASSERT_EQ(m.problem->BuildSolverBlock(&with_runs, kFreeMask, 0, 0, 1, true), 0u);
  std::unique_ptr<DAESSolverBlock> r(with_runs);
  EXPECT_EQ(r->VariableCount(), 3);
  EXPECT_EQ(r->SensitivityNonZeros(), 1u);
  EXPECT_EQ(r->NonZeroCount(), 4u);
  EXPECT_EQ(r->GetNetCount(), 3u);
}

// The exclusion mask keeps a variable out of the block and out of every
// row; the loose selection also leaves out procedure rows and the
// elements of torn variables.
TEST(BlockNumerics, ExclusionMaskAndLooseSelection) {
  Model m(Tank);
  auto build = [&](std::uint32_t exclude, bool strict) {
    DAESSolverBlock* raw = nullptr;
    EXPECT_EQ(m.problem->BuildSolverBlock(&raw, kFreeMask, 0, exclude, 0, strict), 0u);
    return std::unique_ptr<DAESSolverBlock>(raw);
  };
  auto without = build(daes::kDerivativeFlag, true);
  EXPECT_EQ(VariableNames(*without), (std::vector<std::string>{"T101.F_out"}));
  EXPECT_EQ(without->GetRowCount(), 2u);
  EXPECT_EQ(without->NonZeroCount(), 2u);

  // Bit 0x8 also marks every variable the problem took in, so it is cleared
  // first to see the loose rule on one torn variable.
  m.Named("T101.h.Derivative")->ClearFlags(daes::kTorn);
  m.Named("T101.F_out")->SetFlags(daes::kTorn);
  EXPECT_EQ(build(0, true)->NonZeroCount(), 3u);
  auto loose = build(0, false);
  EXPECT_EQ(loose->VariableCount(), 2);
  EXPECT_EQ(loose->NonZeroCount(), 1u);
  m.Named("T101.F_out")->ClearFlags(daes::kTorn);
  m.problem->GetRow(1)->SetFlags(daes::kProcedureRow);
  EXPECT_EQ(build(0, true)->GetRowCount(), 2u);
  EXPECT_EQ(build(0, false)->GetRowCount(), 1u);
}

// Entries of the whole structure, against central differences of each
// row; `difference` makes every element a finite-difference one first.
void CheckAgainstCentral(Model& m, DAESSolverBlock& b, bool difference) {
  ASSERT_EQ(b.EvaluateRows(daes::kEvalResidual | daes::kEvalDerivatives), 0u);
  const std::int64_t *rows = nullptr, *cols = nullptr;
  ASSERT_EQ(b.BuildStructure(&rows, &cols, nullptr, 0), 0u);
  if (difference) {
    for (std::uint32_t p = 0; p < b.StructureSize(); ++p) {
      m.MarkForDifference(m.Eq(b.GetRow(rows[p] - 1)), b.GetVariable(cols[p] - 1));
    }
  }
  const std::vector<double> before = m.Snapshot(b);
  std::vector<double> values(b.StructureSize(), -1.0);
  ASSERT_EQ(b.EvaluateJacobianEntries(b.StructureSize(), rows, cols, values.data(), 0, 0.0), 0u);
  EXPECT_EQ(m.Snapshot(b), before);
  const double tolerance = difference ? 1e-9 : 1e-6;
  for (std::uint32_t p = 0; p < b.StructureSize(); ++p) {
    DAESVarTableEntry* v = b.GetVariable(cols[p] - 1);
    QLNRow* row = b.GetRow(rows[p] - 1);
    const double expected = (difference ? m.OneSided(row, v) : m.Central(row, v)) / v->GetScale();
    EXPECT_NEAR(values[p], expected, tolerance * std::max(1.0, std::fabs(expected)))
        << b.GetRow(rows[p] - 1)->GetNameText() << " / " << v->GetNameText();
  }
}

TEST(BlockNumerics, TankEntriesMatchCentralDifferences) {
  Model m(Tank);
  m.Named("T101.h")->ClearFlags(daes::kFixed);
  m.Named("T101.h")->SetFlags(daes::kFree);
  auto b = m.Run(kFreeMask);
  ASSERT_EQ(b->VariableCount(), 3);
  CheckAgainstCentral(m, *b, false);
  CheckAgainstCentral(m, *b, true);
}

TEST(BlockNumerics, FlowsheetSelectsAndMatchesCentralDifferences) {
  constexpr std::uint32_t kUnits = 800;
  Model m([](Writer& w) { Flowsheet(w, kUnits); });
  ASSERT_NE(m.problem, nullptr);
  ASSERT_EQ(m.problem->EquationCount(), static_cast<std::int32_t>(4 * kUnits));
  auto b = m.Run(kFreeMask);
  EXPECT_EQ(b->VariableCount(), static_cast<std::int32_t>(3 * kUnits));
  EXPECT_EQ(b->GetRowCount(), 4 * kUnits);
  // Unit 1 refers to the fixed feed: 1 + 2 + 1 fewer non-zeros.
  EXPECT_EQ(b->NonZeroCount(), 11 * kUnits - 4);
  CheckAgainstCentral(m, *b, false);
  CheckAgainstCentral(m, *b, true);
}

// The block's own structure arrays take the elements found at the first
// call; any other arrays search the rows: both give the same entries, with
// and without the partner term and with a differenced element.
TEST(BlockNumerics, EntriesOfTheOwnStructureMatchASearchedCopy) {
  Model m(Tank);
  DAESVarTableEntry* h = m.Named("T101.h");
  h->ClearFlags(daes::kFixed);
  h->SetFlags(daes::kFree);
  // Derivatives stand for their states: the mass balance lists h.
  DAESSolverBlock* raw = nullptr;
  ASSERT_EQ(m.problem->BuildSolverBlock(&raw, kFreeMask, daes::kDerivativeFlag, 0, 0, true), 0u);
  std::unique_ptr<DAESSolverBlock> b(raw);
  ASSERT_EQ(b->EvaluateRows(daes::kEvalResidual | daes::kEvalDerivatives), 0u);
  const std::int64_t *rows = nullptr, *cols = nullptr;
  ASSERT_EQ(b->BuildStructure(&rows, &cols, nullptr, 0), 0u);
  const std::uint32_t n = b->StructureSize();
  const std::vector<std::int64_t> row_copy(rows, rows + n), col_copy(cols, cols + n);
  auto same = [&](const char* when) {
    for (int pass = 0; pass < 2; ++pass) {  // the second from the found elements
      std::vector<double> own(n, -1), own_partner(n, -1), searched(n, -2), searched_partner(n, -2);
      ASSERT_EQ(b->EvaluateJacobianParts(n, rows, cols, own.data(), own_partner.data(), 0), 0u);
      ASSERT_EQ(b->EvaluateJacobianParts(n, row_copy.data(), col_copy.data(), searched.data(),
                                         searched_partner.data(), 0),
                0u);
      EXPECT_EQ(own, searched) << when;
      EXPECT_EQ(own_partner, searched_partner) << when;
      ASSERT_EQ(b->EvaluateJacobianEntries(n, rows, cols, own.data(), 0x1, 10.0), 0u);
      ASSERT_EQ(b->EvaluateJacobianEntries(n, row_copy.data(), col_copy.data(), searched.data(),
                                           0x1, 10.0),
                0u);
      EXPECT_EQ(own, searched) << when;
    }
  };
  same("analytic");
  // dF/dh' of the mass balance (the area) is h's partner term there.
  std::vector<double> own(n), partner(n);
  ASSERT_EQ(b->EvaluateJacobianParts(n, rows, cols, own.data(), partner.data(), 0), 0u);
  EXPECT_NE(std::find(partner.begin(), partner.end(), 2.0), partner.end());
  m.MarkForDifference(m.Eq(b->GetRow(0)), m.Named("T101.F_out"));
  same("differenced");
}

TEST(BlockNumerics, DifferenceReplacesTheAnalyticSumInEveryForm) {
  // A differenced element: the quotient stands for the entry in the row
  // and column forms too.
  Model m(Tank);
  auto b = m.Run(kFreeMask);
  ASSERT_EQ(b->EvaluateRows(daes::kEvalResidual | daes::kEvalDerivatives), 0u);
  DAESSolverEquation* mass = m.Eq(b->GetRow(0));
  DAESVarTableEntry* out = m.Named("T101.F_out");
  m.MarkForDifference(mass, out);
  const std::vector<double> before = m.Snapshot(*b);
  std::uint32_t count = 0;
  double row_values[4] = {};
  b->EvaluateJacobianRow(1, &count, row_values, nullptr);
  ASSERT_EQ(count, 2u);
  EXPECT_NEAR(row_values[0], 1.0, 1e-6);
  double column[2] = {};
  b->EvaluateJacobianColumn(out, column, 0);
  EXPECT_NEAR(column[0], 1.0, 1e-6);
  EXPECT_NEAR(column[1], 1.0, 1e-12);
  EXPECT_EQ(m.Snapshot(*b), before);

  // A variable no row contains gives zeros.
  double none[2] = {5, 5};
  DAESRealVariable lone(nullptr, "lone");
  EXPECT_EQ(b->EvaluateJacobianColumn(&lone, none, 0), 0u);
  EXPECT_EQ(none[0], 0.0);
  EXPECT_EQ(none[1], 0.0);
}

TEST(BlockNumerics, PartnerTermAddsTheDerivativeColumn) {
  Model m(Tank);
  DAESVarTableEntry* h = m.Named("T101.h");
  h->ClearFlags(daes::kFixed);
  h->SetFlags(daes::kFree);
  auto b = m.Run(kFreeMask);
  ASSERT_EQ(b->EvaluateRows(daes::kEvalResidual | daes::kEvalDerivatives), 0u);
  const std::int32_t col = b->FindVariable(h);
  ASSERT_GT(col, 0);
  const std::int64_t rows[] = {1, 2};
  const std::int64_t cols[] = {col, col};
  double values[2] = {};
  ASSERT_EQ(b->EvaluateJacobianEntries(2, rows, cols, values, 0x1, 10.0), 0u);
  // d(mass)/dh = 0 plus 10 * A; d(outflow)/dh = -k / (2 sqrt(h)).
  EXPECT_NEAR(values[0], 20.0, 1e-12);
  EXPECT_NEAR(values[1], -0.25, 1e-12);

  // In two parts: the entries as with c = 0 and the partner's term alone;
  // a column without a partner has none.
  const std::int64_t rows3[] = {1, 2, 2};
  const std::int64_t cols3[] = {col, col, b->FindVariable(m.Named("T101.F_out"))};
  ASSERT_GT(cols3[2], 0);
  double own[3] = {-1, -1, -1}, partner[3] = {-1, -1, -1};
  ASSERT_EQ(b->EvaluateJacobianParts(3, rows3, cols3, own, partner, 0), 0u);
  double plain[3] = {};
  ASSERT_EQ(b->EvaluateJacobianEntries(3, rows3, cols3, plain, 0x1, 0.0), 0u);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(own[k], plain[k]) << k;
  EXPECT_NEAR(partner[0], 2.0, 1e-12);
  EXPECT_EQ(partner[1], 0.0);
  EXPECT_EQ(partner[2], 0.0);

  // With derivatives substituted by their states the mass balance lists
  // h; the state form gives dF/dh' in h's column, from count 0 each time.
  DAESSolverBlock* raw = nullptr;
  ASSERT_EQ(m.problem->BuildSolverBlock(&raw, kFreeMask, daes::kDerivativeFlag, 0, 0, true), 0u);
  std::unique_ptr<DAESSolverBlock> s(raw);
  EXPECT_EQ(s->FindVariable(m.Named("T101.h.Derivative")), 0);
  std::int64_t tr[4], tc[4], tk[4];
  double tv[4];
  std::int64_t n = 7;
  for (int pass = 0; pass < 2; ++pass) {
    ASSERT_EQ(s->EvaluateDerivativeTriplets(tr, tc, tk, tv, &n, 0x1), 0u);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(tr[0], 1);
    EXPECT_EQ(tc[0], s->FindVariable(h));
    EXPECT_EQ(tv[0], 2.0);
  }
}

// The sensitivity parameters as a manager would list them.
class Parameters final : public BlockSensitivityParameters {
 public:
  explicit Parameters(std::vector<DAESVarTableEntry*> p) : p_(std::move(p)) {
    SetBlockSensitivityParameters(this);
  }
  ~Parameters() override { SetBlockSensitivityParameters(nullptr); }
  std::int32_t ParameterCount() override { return static_cast<std::int32_t>(p_.size()); }
  DAESVarTableEntry* Parameter(std::int32_t j) override { return p_[static_cast<std::size_t>(j)]; }

 private:
  std::vector<DAESVarTableEntry*> p_;
};

TEST(BlockNumerics, ParameterColumnsFollowTheVariablesUnderFlagTwo) {
  Model m(Tank);
  DAESVarTableEntry* h = m.Named("T101.h");  // fixed: not a column of its own
  auto b = m.Run(kFreeMask);
  ASSERT_EQ(b->FindVariable(h), 0);
  // Only counted rows whose equation holds the parameter get an entry; a
  // parameter that no such row holds gives an empty column.
  for (std::uint32_t i = 0; i < b->GetRowCount(); ++i) b->GetRow(i)->SetFlags(daes::kCountedRow);
  DAESRealVariable unused(nullptr, "unused");
  Parameters parameters({h, &unused});
  const std::int64_t* rows = nullptr;
  const std::int64_t* cols = nullptr;
  ASSERT_EQ(b->BuildStructure(&rows, &cols, nullptr, 0x2), 0u);
  const std::uint32_t n = b->StructureSize();
  ASSERT_EQ(n, b->NonZeroCount() + 1);
  const auto vars = static_cast<std::int64_t>(b->VariableCount());
  EXPECT_EQ(cols[n - 1], vars + 1);
  EXPECT_EQ(std::string(b->GetRow(static_cast<std::uint32_t>(rows[n - 1] - 1))->GetNameText()),
            "T101.Outflow");
  EXPECT_EQ(b->ColumnVariable(vars + 1), h);
  EXPECT_EQ(b->ColumnVariable(vars + 2), &unused);
  EXPECT_EQ(b->ColumnVariable(vars + 3), nullptr);
  // d(outflow)/dh = -k / (2 sqrt(h)).
  std::vector<double> values(n);
  ASSERT_EQ(
      b->EvaluateJacobianValues(daes::kEvalResidual | daes::kEvalDerivatives, values.data(), 0x2),
      0u);
  EXPECT_NEAR(values[n - 1], -0.25, 1e-12);

  // As a sensitivity column: the same value in the row that holds it, zero
  // in the row that does not, and nothing left perturbed.
  h->SetFlags(0x100000);
  const std::vector<double> before = m.Snapshot(*b);
  double column[2] = {7.0, 7.0};
  ASSERT_EQ(b->EvaluateJacobianColumn(h, column, 0), 0u);
  EXPECT_EQ(column[0], 0.0);
  EXPECT_NEAR(column[1], -0.25, 1e-12);
  EXPECT_EQ(m.Snapshot(*b), before);
  h->ClearFlags(0x100000);
}

TEST(BlockNumerics, EarlyFailureStopsAndRestores) {
  // Equal pressures: perturbing the downstream one takes a square root of
  // a negative number.
  Model m([](Writer& w) { Flowsheet(w, 3); });
  auto b = m.Run(kFreeMask);
  DAESVarTableEntry* p1 = m.Named("U1.P");
  DAESVarTableEntry* p2 = m.Named("U2.P");
  p2->SetValue(p1->GetRealValue());
  ASSERT_EQ(b->EvaluateRows(daes::kEvalResidual), 0u);
  DAESSolverEquation* valve = nullptr;
  for (std::uint32_t i = 0; i < b->GetRowCount(); ++i) {
    if (std::string(b->GetRow(i)->GetNameText()) == "U2.v") valve = m.Eq(b->GetRow(i));
  }
  ASSERT_NE(valve, nullptr);
  m.MarkForDifference(valve, p2);
  const std::int64_t *rows = nullptr, *cols = nullptr;
  ASSERT_EQ(b->BuildStructure(&rows, &cols, nullptr, 0), 0u);
  std::vector<double> values(b->StructureSize(), -7.0);
  const std::vector<double> before = m.Snapshot(*b);
  const Status s = b->EvaluateJacobianEntries(b->StructureSize(), rows, cols, values.data(), 0, 0);
  EXPECT_NE(s & 0x80000000u, 0u);
  EXPECT_EQ(values.back(), -7.0);
  EXPECT_EQ(m.Snapshot(*b), before);
}

TEST(BlockNumerics, MissingVariableIsReported) {
  Model m(Tank);
  DAESSolverBlock block;
  block.AddVariable(m.Named("T101.F_out"));
  auto* row = new DAESDecompEquation(m.Eq(m.problem->GetRow(1)));
  std::int32_t at = 0;
  row->InsertVariable(m.Named("T101.F_out"), &at);
  row->InsertVariable(m.Named("T101.h"), &at);
  block.AddRow(row);
  EXPECT_EQ(block.BuildStructure(nullptr, nullptr, nullptr, 0), daes::kVariableNotActive);
}

// A column visits only the rows that hold its variable, found once; a row
// added after that is found too.
TEST(BlockNumerics, ColumnFindsRowsAddedAfterItWasAsked) {
  Model m(Tank);
  DAESVarTableEntry* out = m.Named("T101.F_out");
  DAESSolverBlock block;
  block.AddVariable(out);
  block.AddVariable(m.Named("T101.h.Derivative"));
  auto add = [&](std::int32_t i) {
    auto* row = new DAESDecompEquation(m.Eq(m.problem->GetRow(i)));
    std::int32_t at = 0;
    for (std::int32_t k = 0; k < block.VariableCount(); ++k) {
      row->InsertVariable(block.GetVariable(k), &at);
    }
    ASSERT_EQ(block.AddRow(row), 0u);
  };
  add(0);
  ASSERT_EQ(block.EvaluateRows(daes::kEvalResidual | daes::kEvalDerivatives), 0u);
  double column[2] = {-1.0, -1.0};
  ASSERT_EQ(block.EvaluateJacobianColumn(out, column, 0), 0u);
  EXPECT_NEAR(column[0], 1.0, 1e-12);
  add(1);
  ASSERT_EQ(block.EvaluateRows(daes::kEvalResidual | daes::kEvalDerivatives), 0u);
  ASSERT_EQ(block.EvaluateJacobianColumn(out, column, 0), 0u);
  EXPECT_NEAR(column[0], 1.0, 1e-12);
  EXPECT_NEAR(column[1], 1.0, 1e-12);
}

TEST(BlockNumerics, ValuesRoundTripInTableOrder) {
  Model m(Tank);
  auto b = m.Run(kFreeMask);
  double values[2] = {};
  b->GetValues(values);
  EXPECT_EQ(values[0], m.Named("T101.F_out")->GetRealValue());
  const double in[2] = {0.25, -1.5};
  EXPECT_EQ(b->PutValues(in), 0u);
  EXPECT_EQ(m.Named("T101.F_out")->GetRealValue(), 0.25);
  EXPECT_EQ(m.Named("T101.h.Derivative")->GetRealValue(), -1.5);
}

TEST(BlockNumerics, BoundedQuotient) {
  const double big = 1.7976931348623157e308;
  EXPECT_EQ(daes::BoundedQuotient(1e10, 1e-300, big), big);
  EXPECT_EQ(daes::BoundedQuotient(-1e10, 1e-300, big), -big);
  EXPECT_EQ(daes::BoundedQuotient(1.0, 1e-20, big), 1e20);
  EXPECT_EQ(daes::BoundedQuotient(3.0, 2.0, big), 1.5);
}

TEST(BlockNumerics, PerturbationSteps) {
  Model m(Tank);
  DAESVarTableEntry* v = m.Named("T101.F_out");
  double perturbed = 0, h = 0;
  v->PerturbationStep(1000.0, &perturbed, 1e-5, &h, 1e-5);
  EXPECT_DOUBLE_EQ(h, 0.01);
  v->PerturbationStep(0.0, &perturbed, 1e-5, &h, 1e-5);
  EXPECT_DOUBLE_EQ(h, 1e-5);
  v->SetBounds(0.0, 1.0);
  v->PerturbationStep(1.0, &perturbed, 1e-5, &h, 1e-5);
  EXPECT_LT(perturbed, 1.0);
}

}  // namespace
