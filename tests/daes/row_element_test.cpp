#include <gtest/gtest.h>

#include "daes/equations/equation_node.h"
#include "daes/model/parameter.h"
#include "foundation/directory/id_path.h"
#include "tests/daes/daes_helpers.h"

using namespace daestest;

namespace {

// Reads one in-line equation at T101 index 8 over the references written.
DAESEquationNode* ReadEquation(Tree& tree, mw::Expr residual, std::uint32_t n,
                               const std::function<void(Writer&)>& references) {
  const Status s = tree.Read([&](Writer& w) {
    w.List(1);
    w.Item(mw::kInlineEquation);
    w.U32(0);
    w.Expression(residual);
    w.Placement({T101(), {8, ".E"}});
    w.EquationHead(n);
    references(w);
  });
  EXPECT_EQ(s, 0u);
  return dynamic_cast<DAESEquationNode*>(tree.At({2, 8}));
}

TEST(RowElements, ScalarsLiteralParametersAndArrays) {
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  // F_out - 19-literal; the literal is placed as T101.c.
  DAESEquationNode* eq = ReadEquation(tree, mw::Sub(mw::Var(0), mw::Var(1)), 2, [](Writer& w) {
    w.Reference({2, 3});
    w.ParameterReference(19, {T101(), {9, ".c"}});
    w.Value(4.0), w.End();
  });
  ASSERT_NE(eq, nullptr);
  EXPECT_EQ(eq->ScalarCount(), 2);
  auto* literal = dynamic_cast<DAESParameter*>(tree.At({2, 9}));
  ASSERT_NE(literal, nullptr);
  EXPECT_EQ(literal->GetRealValue(), 4.0);
  EXPECT_EQ(eq->RowElements()[1]->ElementVariable(), literal);
  EXPECT_EQ(eq->RowElements()[1]->IsParameter(), 1);
  EXPECT_EQ(eq->RowElements()[0]->IsParameter(), 0);
  double r = 0;
  EXPECT_EQ(eq->EvaluateResidual(&r), 0u);
  EXPECT_DOUBLE_EQ(r, -4.0);

  // A one-dimensional array of three and a 2 x 3 array: one element each.
  eq = ReadEquation(tree, mw::Var(0), 2, [](Writer& w) {
    w.ArrayReference(1, 3);
    w.Member({2, 1}), w.Member({2, 2}), w.Member({2, 3});
    w.ArrayReference(2, 2);
    w.SubArray(3), w.Member({2, 1}), w.Member({2, 2}), w.Member({2, 3});
    w.SubArray(3), w.Member({2, 3}), w.Member({2, 2}), w.Member({2, 1});
  });
  ASSERT_NE(eq, nullptr);
  ASSERT_EQ(eq->RowElements().size(), 2u);
  EXPECT_EQ(eq->ScalarCount(), 9);
  DAESRowElement* one = eq->RowElements()[0];
  DAESRowElement* two = eq->RowElements()[1];
  EXPECT_EQ(one->ElementKind(), daes::kArrayElement);
  EXPECT_EQ(one->TotalCount(), 3);
  EXPECT_EQ(one->ElementAt(1)->ElementVariable(), Entry(tree.At({2, 2})));
  EXPECT_EQ(two->TotalCount(), 6);
  EXPECT_EQ(two->ElementAt(4)->ElementVariable(), Entry(tree.At({2, 2})));
  EXPECT_EQ(two->ElementAt(6), nullptr);
  EXPECT_TRUE(eq->IsBound());
}

TEST(RowElements, ArraysTakeTheirNameAndValuesFromTheirMembers) {
  Tree tree;
  ASSERT_EQ(tree.Read([](Writer& w) {
    w.List(2);
    for (std::uint32_t i : {1u, 2u}) {
      w.Item(mw::kRealVariable);
      w.Placement({T101(), {10, ".x"}, {i, i == 1 ? "(1)" : "(2)"}});
      w.Value(1.5 * i), w.End();
    }
  }),
            0u);
  DAESEquationNode* eq = ReadEquation(tree, mw::Var(0), 1, [](Writer& w) {
    w.ArrayReference(1, 2);
    w.Member({2, 10, 1}), w.Member({2, 10, 2});
  });
  ASSERT_NE(eq, nullptr);
  DAESRowElement* array = eq->RowElements()[0];
  EXPECT_STREQ(array->NameText(), "T101.x");
  EXPECT_EQ(array->IsParameter(), 0);
  EXPECT_EQ(array->ElementCount(), 2);
  EXPECT_EQ(array->ValueType(), 0x104);
  SUValue* value = array->ValuePointer();
  ASSERT_NE(value, nullptr);
  ASSERT_EQ(value->count, 2u);
  EXPECT_EQ(value->Elements()[1].payload.real, 3.0);
  Entry(tree.At({2, 10, 2}))->SetValue(4.0);
  EXPECT_EQ(array->ValuePointer()->Elements()[1].payload.real, 4.0);
}

TEST(RowElements, UnknownKindsLeaveTheEquationUnbound) {
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  DAESEquationNode* eq = ReadEquation(tree, mw::Sub(mw::Var(0), mw::Var(1)), 2, [](Writer& w) {
    w.ParameterReference(40, {});
    w.Reference({2, 3});
  });
  ASSERT_NE(eq, nullptr);
  EXPECT_EQ(eq->ScalarCount(), 1);
  EXPECT_EQ(eq->RowElements()[0]->ElementVariable(), nullptr);
  EXPECT_EQ(eq->RowElements()[1]->ElementVariable(), Entry(tree.At({2, 3})));
  EXPECT_FALSE(eq->IsBound());
  double r = 1;
  EXPECT_EQ(eq->EvaluateResidual(&r), daes::kNoSolverEquation);
}

TEST(RowElements, ReferencesOutliveTheirEquation) {
  DAESParameter p(".p", nullptr, 19);
  auto* scalar = new DAESScalar(&p);
  EXPECT_EQ(scalar->AddReference(), 2u);
  {
    DAESSimpleEquation eq(nullptr);
    eq.SetRowElements({scalar}, 1);
  }
  EXPECT_EQ(scalar->ElementVariable(), &p);  // still held here (ASan checks)
  DAESRowElement* held = scalar;
  DAESRowElement* other = nullptr;
  EXPECT_EQ(scalar->ReleaseIfSame(&other), 0u);
  EXPECT_EQ(scalar->ReleaseIfSame(&held), 0u);
  EXPECT_EQ(held, nullptr);
}

// The writer's placement is what the engine's own id path writes.
TEST(RowElements, PlacementMatchesTheEngineIdPath) {
  BvuIdPath path(true);
  path.Append(kIdPathRoot);
  path.Append(2, "T101");
  path.Append(1, ".h");
  path.Append(kIdPathEnd);
  DseMessage engine(62, DseMessage::kRequest);
  ASSERT_EQ(path.Write(engine), 0u);
  const testsupport::Bytes client = BytesOf([](Writer& w) { w.Placement({T101(), {1, ".h"}}); });
  EXPECT_TRUE(testsupport::SameBytes(testsupport::BodyOf(engine), client));
  // And the engine reads it back to the same steps.
  auto message = Body([](Writer& w) { w.Placement({T101(), {1, ".h"}}); });
  Status s = 0;
  BvuIdPath read(*message, &s);
  EXPECT_EQ(s, 0u);
  EXPECT_EQ(read.count(), 4);
  EXPECT_EQ(read.NameAt(1), "T101");
}

}  // namespace
