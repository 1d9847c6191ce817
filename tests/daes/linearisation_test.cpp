// The problem's linearisation on the tank A*h' = F_in - F_out,
// F_out = k*SQRT(h): the column layout, the two Jacobians against the
// closed forms, and a problem that cannot be linearised.
#include "daes/problem/linearisation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <utility>

#include "daes/problem/problem.h"
#include "tests/daes/daes_helpers.h"

using namespace daestest;

namespace {

using Dense = std::map<std::pair<std::int64_t, std::int64_t>, double>;

Dense Collect(const std::vector<double>& values, const std::vector<std::int64_t>& rows,
              const std::vector<std::int64_t>& cols) {
  Dense out;
  for (std::size_t p = 0; p < values.size(); ++p) out[{rows[p], cols[p]}] += values[p];
  return out;
}

struct TankProblem {
  TankProblem() {
    EXPECT_EQ(tree.Read(Tank), 0u);
    problem.reset(DAESCreateProblem(tree.root, 0, nullptr));
  }
  DAESVarTableEntry* At(std::vector<std::uint32_t> ids) { return Entry(tree.At(ids)); }
  Tree tree;
  std::unique_ptr<DAESProblem> problem;
};

TEST(DAESLinearisation, TankColumnsAndBothJacobiansMatchTheClosedForm) {
  TankProblem t;
  ASSERT_NE(t.problem, nullptr);
  DAESVarTableEntry* h = t.At({2, 1});
  DAESVarTableEntry* f_in = t.At({2, 2});
  DAESVarTableEntry* f_out = t.At({2, 3});
  h->SetValue(2.25);
  f_out->SetValue(0.75);
  std::unique_ptr<DAESLinearisation> object;
  ASSERT_EQ(DAESLinearisation::Create(t.problem.get(), &object), 0u);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->NumStates(), 1);
  EXPECT_EQ(object->NumAlgebraic(), 1);
  EXPECT_EQ(object->NumVariables(), 2);
  // The state first, the algebraic variable next, then the inputs in use
  // (the inflow; the parameters are the equations' constants); a
  // derivative has no column.
  EXPECT_EQ(object->ColumnOf(h), 1);
  EXPECT_EQ(object->ColumnOf(f_out), 2);
  const std::int32_t in = object->ColumnOf(f_in);
  EXPECT_GT(in, 2);
  EXPECT_EQ(object->ColumnOf(t.At({2, 1, 1})), 0);
  EXPECT_EQ(object->ColumnOf(nullptr), 0);
  EXPECT_EQ(object->NumInputs(), 1);
  EXPECT_EQ(in, 3);
  const auto& pattern = object->PatternColumns();
  EXPECT_NE(std::find(pattern.begin(), pattern.end(), in), pattern.end());

  DAESLinearJacobian jacobian;
  ASSERT_EQ(object->Evaluate(&jacobian), 0u);
  // Rows in the problem's order: find the mass balance by its h' entry.
  const Dense dyn = Collect(jacobian.dyn_values, jacobian.dyn_rows, jacobian.dyn_cols);
  const Dense ss = Collect(jacobian.ss_values, jacobian.ss_rows, jacobian.ss_cols);
  std::int64_t balance = 0;
  for (const auto& [at, v] : dyn) {
    if (at.second == 1) balance = at.first;
  }
  ASSERT_NE(balance, 0);
  const std::int64_t outflow = balance == 1 ? 2 : 1;
  // Dynamic part: dF/dh' = A in the state's column; dF/dF_out in both rows.
  EXPECT_DOUBLE_EQ(dyn.at({balance, 1}), 2.0);
  EXPECT_DOUBLE_EQ(dyn.at({balance, 2}), 1.0);
  EXPECT_DOUBLE_EQ(dyn.at({outflow, 2}), 1.0);
  EXPECT_EQ(dyn.count({outflow, 1}), 0u);
  EXPECT_DOUBLE_EQ(dyn.at({balance, in}), -1.0);
  // Steady part: dF/dh = -k / (2 sqrt(h)) in the weir law only.
  EXPECT_NEAR(ss.at({outflow, 1}), -0.5 / (2 * 1.5), 1e-12);
  EXPECT_EQ(ss.count({balance, 1}), 0u);
  EXPECT_DOUBLE_EQ(ss.at({balance, 2}), 1.0);
  EXPECT_DOUBLE_EQ(ss.at({balance, in}), -1.0);
  // A second evaluation at a new point follows it.
  h->SetValue(4.0);
  ASSERT_EQ(object->Evaluate(&jacobian), 0u);
  const Dense again = Collect(jacobian.ss_values, jacobian.ss_rows, jacobian.ss_cols);
  EXPECT_NEAR(again.at({outflow, 1}), -0.5 / (2 * 2.0), 1e-12);
}

TEST(DAESLinearisation, NoProblemAndNonSquareModelsAreRefused) {
  std::unique_ptr<DAESLinearisation> object;
  EXPECT_EQ(DAESLinearisation::Create(nullptr, &object), DAESLinearisation::kNoProblem);
  EXPECT_EQ(object, nullptr);
  // Two free variables and one equation.
  Tree tree;
  ASSERT_EQ(tree.Read([](Writer& w) {
    w.List(3);
    w.Item(modelwriter::kRealVariable);
    w.Placement({modelwriter::T101(), {1, ".x"}});
    w.Value(1.0), w.End();
    w.Item(modelwriter::kRealVariable);
    w.Placement({modelwriter::T101(), {3, ".F_out"}});
    w.Value(0.0), w.End();
    w.Item(modelwriter::kInlineEquation);
    w.U32(0);
    w.Expression(modelwriter::Sub(modelwriter::Var(0),
                                  modelwriter::Mul(modelwriter::Real(2.0), modelwriter::Var(1))));
    w.Placement({modelwriter::T101(), {7, ".Outflow"}});
    w.EquationHead(2);
    w.Reference({2, 3});
    w.Reference({2, 1});
  }),
            0u);
  std::unique_ptr<DAESProblem> problem(DAESCreateProblem(tree.root, 0, nullptr));
  ASSERT_NE(problem, nullptr);
  EXPECT_EQ(DAESLinearisation::Create(problem.get(), &object), DAESLinearisation::kNotSquare);
  EXPECT_EQ(object, nullptr);
}

}  // namespace
