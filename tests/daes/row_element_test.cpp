#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "daes/equations/equation_node.h"
#include "daes/model/parameter.h"
#include "daes/model/variable.h"
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

// A rows x cols array of parameters over `values` (column j of row i holds
// values[i * cols + j]); the caller owns the parameters.
DAESArray* Grid(std::vector<std::unique_ptr<DAESVarTableEntry>>* keep, std::int32_t rows,
                std::int32_t cols, std::int16_t tag, bool parameters = true) {
  auto* outer = new DAESArray(SUValue::kReal);
  for (std::int32_t i = 1; i <= rows; ++i) {
    auto* inner = new DAESArray(SUValue::kReal);
    for (std::int32_t j = 1; j <= cols; ++j) {
      char name[32];
      std::snprintf(name, sizeof name, ".g(%d)(%d)", i, j);
      DAESVarTableEntry* v =
          parameters ? static_cast<DAESVarTableEntry*>(new DAESParameter(name, nullptr, tag))
                     : new DAESRealVariable(nullptr, name);
      keep->emplace_back(v);
      if (tag == 17) {
        char text[16];
        std::snprintf(text, sizeof text, "s%d", 10 * i + j);
        v->SetStringValue(text);
      } else {
        v->SetValue(10.0 * i + j);
      }
      inner->SetMember(j, new DAESScalar(v));
    }
    outer->SetMember(i, inner);
  }
  return outer;
}

struct Holder : DAESArrayAdviseHolder {
  bool Changed() override { return changed; }
  void Update() override {
    changed = false;
    ++updates;
  }
  bool changed = false;
  int updates = 0;
};

TEST(ArrayElements, PackColumnMajorWithStrides) {
  std::vector<std::unique_ptr<DAESVarTableEntry>> keep;
  DAESArray* a = Grid(&keep, 2, 3, 19, false);
  EXPECT_EQ(a->TotalCount(), 6);
  // Flat index 4: member 2 (inner count 3), its element 2.
  EXPECT_EQ(a->ElementAt(4), a->Member(2)->ElementAt(1));
  EXPECT_EQ(a->ElementAt(6), nullptr);
  std::vector<double> slots(6, 0.0);
  std::int32_t position = 0;
  EXPECT_EQ(a->PackFortran(slots.data(), &position, 0, 1), 1);
  EXPECT_EQ(position, 6);
  // (i, j), 0-based, lands at i + 2j.
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 3; ++j) EXPECT_EQ(slots[i + 2 * j], 10.0 * (i + 1) + (j + 1));
  }
  // Unchanged values change no slot; a variable array packs every time.
  position = 0;
  EXPECT_EQ(a->PackFortran(slots.data(), &position, 0, 1), 0);
  keep[4]->SetValue(-1.0);  // (2)(2)
  position = 0;
  EXPECT_EQ(a->PackFortran(slots.data(), &position, 0, 1), 1);
  EXPECT_EQ(slots[1 + 2 * 1], -1.0);
  // Lookups reach through the dimensions; a parameter is not in a variable array.
  EXPECT_EQ(a->FindByVariable(keep[4].get()), a->Member(2)->ElementAt(1));
  EXPECT_EQ(a->FindBySequenceNumber(keep[5]->SequenceNumber()), a->Member(2)->ElementAt(2));
  DAESParameter p(".p", nullptr, 19);
  EXPECT_EQ(a->FindByVariable(&p), nullptr);
  // The C form keeps the members' own order.
  std::vector<double> c(6, 0.0);
  position = 0;
  EXPECT_EQ(a->PackC(c.data(), &position, 0), 1);
  EXPECT_EQ(c, (std::vector<double>{11, 12, 13, 21, -1, 23}));
  a->Release();
}

TEST(ArrayElements, ParameterArraysPackOnceUntilTheirHolderReportsAChange) {
  std::vector<std::unique_ptr<DAESVarTableEntry>> keep;
  DAESArray* a = Grid(&keep, 2, 2, 19);
  EXPECT_EQ(a->IsParameter(), 1);
  EXPECT_EQ(a->FindByVariable(keep[3].get()), a->Member(2)->ElementAt(1));
  EXPECT_EQ(a->FindBySequenceNumber(keep[3]->SequenceNumber()), nullptr);
  auto* holder = new Holder;
  a->SetAdviseHolder(holder);
  std::vector<double> slots(6, 0.0);
  std::int32_t position = 2;
  EXPECT_EQ(a->PackFortran(slots.data(), &position, 2, 1), 1);
  EXPECT_EQ(position, 6);
  EXPECT_EQ(slots[2 + 1], 21.0);
  keep[0]->SetValue(99.0);
  position = 2;
  EXPECT_EQ(a->PackFortran(slots.data(), &position, 2, 1), 0);
  EXPECT_EQ(position, 6);  // only the position moves on
  EXPECT_EQ(slots[2], 11.0);
  holder->changed = true;
  position = 2;
  EXPECT_EQ(a->PackFortran(slots.data(), &position, 2, 1), 1);
  EXPECT_EQ(holder->updates, 1);
  EXPECT_EQ(slots[2], 99.0);
  // Another value array is packed afresh.
  std::vector<double> other(6, 0.0);
  position = 2;
  EXPECT_EQ(a->PackFortran(other.data(), &position, 2, 1), 1);
  EXPECT_EQ(other[2], 99.0);
  a->Release();  // the holder goes with the array (ASan checks)
}

TEST(ArrayElements, StringsTakeFortyBytes) {
  std::vector<std::unique_ptr<DAESVarTableEntry>> keep;
  DAESArray* a = Grid(&keep, 1, 2, 17);
  keep[1]->SetStringValue(std::string(50, 'x').c_str());
  std::vector<double> slots(40, 0.0);
  std::int32_t position = 0;
  EXPECT_EQ(a->PackFortran(slots.data(), &position, 0, 1), 1);
  const char* bytes = reinterpret_cast<const char*>(slots.data());
  EXPECT_EQ(std::string(bytes, 40), "s11" + std::string(37, ' '));
  EXPECT_EQ(std::string(bytes + 40, 40), std::string(40, 'x'));
  std::vector<double> c(40, 0.0);
  position = 0;
  EXPECT_EQ(a->PackC(c.data(), &position, 10), 1);
  char* first = nullptr;
  char* second = nullptr;
  std::memcpy(&first, &c[0], sizeof first);
  std::memcpy(&second, &c[1], sizeof second);
  EXPECT_EQ(first, reinterpret_cast<char*>(c.data() + 10));
  EXPECT_STREQ(first, "s11");
  EXPECT_EQ(second, first + 40);
  EXPECT_EQ(std::strlen(second), 39u);  // cut, its 40th byte the end
  a->Release();
}

TEST(ArrayElements, CallbackFaceSharesTheReferenceCount) {
  std::vector<std::unique_ptr<DAESVarTableEntry>> keep;
  DAESArray* a = Grid(&keep, 1, 1, 19);
  EXPECT_EQ(a->QueryInterface(daes::IID_IQLNVariableCallback, nullptr), 0x80070057u);
  void* face = &keep;
  EXPECT_EQ(a->QueryInterface(platform::IID_IClassFactory, &face), 0x80004002u);
  EXPECT_EQ(face, nullptr);
  ASSERT_EQ(a->QueryInterface(platform::IID_IUnknown, &face), 0u);
  auto* callback = static_cast<IQLNVariableCallback*>(face);
  EXPECT_EQ(callback->ReservedCallbackA(), 0u);
  EXPECT_EQ(callback->ReservedCallbackB(), 0x80004001u);
  EXPECT_EQ(a->AddReference(), 3u);
  EXPECT_EQ(callback->Release(), 2u);
  EXPECT_EQ(static_cast<DAESRowElement*>(a)->Release(), 1u);
  EXPECT_EQ(callback->Release(), 0u);  // deleted through either face (ASan checks)
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
