#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "daes/equations/equation_node.h"
#include "daes/model/parameter.h"
#include "daes/model/services.h"
#include "daes/model/variable.h"
#include "daes/problem/solver_equation.h"
#include "foundation/directory/id_path.h"
#include "foundation/interfaces/run_mode.h"
#include "tests/daes/daes_helpers.h"
#include "tests/support/capture_sink.h"

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

// A scalar that counts how often its value is asked for.
struct CountingScalar : DAESScalar {
  using DAESScalar::DAESScalar;
  SUValue* ValuePointer() override {
    ++reads;
    return DAESScalar::ValuePointer();
  }
  long reads = 0;
};

// `depth` levels of `width` members each over the one leaf.
DAESArray* Nest(CountingScalar* leaf, int depth, int width) {
  std::vector<DAESRowElement*> members;
  for (int k = 1; k <= width; ++k) {
    if (depth > 1) {
      members.push_back(Nest(leaf, depth - 1, width));
    } else {
      leaf->AddReference();
      members.push_back(leaf);
    }
  }
  // Typed as the reader types it: one dimension more than its members.
  auto* array = new DAESArray(members[0]->ValueType());
  for (int k = 1; k <= width; ++k) array->SetMember(k, members[k - 1]);
  return array;
}

// Every level used to refresh its members and then refresh them again
// while asking their value: 2^d reads of the one leaf under a chain of d.
TEST(RowElements, NestedArraysReadEachScalarOncePerRefresh) {
  DAESRealVariable x(nullptr, "x");
  x.SetValue(2.5);
  for (const auto& [depth, width] : {std::pair{24, 1}, std::pair{8, 2}}) {
    auto* leaf = new CountingScalar(&x);
    DAESArray* top = Nest(leaf, depth, width);
    long leaves = 1;
    for (int d = 0; d < depth; ++d) leaves *= width;
    top->Refresh(1);
    EXPECT_LE(leaf->reads, leaves) << depth << " levels of " << width;
    leaf->reads = 0;
    const SUValue* v = top->ValuePointer();
    EXPECT_LE(leaf->reads, leaves) << depth << " levels of " << width;
    for (int d = 1; d < depth && v != nullptr; ++d) v = &v->Elements()[width - 1];
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->count, static_cast<std::uint32_t>(width));
    EXPECT_EQ(v->Elements()[0].payload.real, 2.5);
    top->Release();
    leaf->Release();
  }
}

// A chain of one-member arrays `depth` deep over T101.x(1) in an equation.
Status ReadChain(Tree& tree, std::uint8_t depth) {
  return tree.Read([&](Writer& w) {
    w.List(2);
    w.Item(mw::kRealVariable);
    w.Placement({T101(), {10, ".x"}, {1, "(1)"}});
    w.Value(1.0), w.End();
    w.Item(mw::kInlineEquation);
    w.U32(0);
    w.Expression(mw::Var(0));
    w.Placement({T101(), {8, ".E"}});
    w.EquationHead(1);
    w.ArrayReference(depth, 1);
    for (int d = 1; d < depth; ++d) w.SubArray(1);
    w.Member({2, 10, 1});
  });
}

TEST(RowElements, ArrayReferencesDeeperThanTheBoundAreRefusedNamingTheEquation) {
  Tree deepest;
  const auto most = static_cast<std::uint8_t>(daes::kMostArrayDimensions);
  ASSERT_EQ(ReadChain(deepest, most), 0u);
  auto* eq = dynamic_cast<DAESEquationNode*>(deepest.At({2, 8}));
  ASSERT_NE(eq, nullptr);
  EXPECT_EQ(eq->RowElements()[0]->ElementKind(), daes::kArrayElement);
  testsupport::CaptureSink sink;
  Tree deeper;
  EXPECT_EQ(ReadChain(deeper, most + 1), daes::kArrayTooDeep);
  std::string all;
  for (const std::string& line : sink.lines()) all += line + "\n";
  EXPECT_NE(all.find("An array reference of equation T101.E has more than the 16 dimensions"),
            std::string::npos)
      << all;
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

TEST(ArrayElements, MembersTakeSizesMarksAndValues) {
  std::vector<std::unique_ptr<DAESVarTableEntry>> keep;
  DAESArray* a = Grid(&keep, 2, 2, 19, false);
  EXPECT_EQ(a->SetSize(2, true), 0);
  EXPECT_EQ(a->ColumnClass(1, 0), 0);
  a->SetClassMark(-1, 1, 0);
  EXPECT_EQ(a->ElementAt(3)->ColumnClass(1, 0), -1);
  EXPECT_EQ(a->SetClassMark(3, 1, 0), 3);
  std::int32_t kind = 0;
  EXPECT_EQ(a->GetColumnClass(1, 0, &kind), 0u);
  EXPECT_EQ(kind, 3);
  a->SetElementValue(1, 2.5);
  a->AddToElement(1, 1.0);
  for (std::int32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(a->ElementAt(i)->ColumnClass(1, 0), 3);
    EXPECT_EQ(a->ElementAt(i)->ElementValue(1), 3.5);
    EXPECT_EQ(a->ElementAt(i)->ElementValue(0), 0.0);
  }
  // A parameter array keeps no derivative marks or values.
  DAESArray* p = Grid(&keep, 1, 2, 19);
  p->SetSize(1, true);
  EXPECT_EQ(p->SetClassMark(-1, 0, 0), 0);
  EXPECT_EQ(p->ElementAt(0)->ColumnClass(0, 0), 0);
  p->SetElementValue(0, 1.0);
  EXPECT_EQ(p->ElementAt(1)->ElementValue(0), 0.0);
  a->Release();
  p->Release();
}

TEST(ArrayElements, PrintEachMemberUnderTheArrayIndex) {
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
  DAESRowElement* a = eq->RowElements()[0];
  std::ostringstream value;
  a->PrintValue(value);
  EXPECT_EQ(value.str(), "T101.x=<T101.x(1) = 1.5>,<T101.x(2) = 3>");
  a->SetSize(1, true);
  a->ElementAt(1)->SetClassMark(-1, 0, 0);
  a->ElementAt(1)->SetClassMark(1, 0, 0);
  a->ElementAt(1)->SetElementValue(0, 0.25);
  std::ostringstream text;
  a->PrintLine(text, 2, 0, 18, false, nullptr, 0);
  std::vector<std::string> lines;
  std::istringstream in(text.str());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("A3[1] ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("inactive"), std::string::npos);
  EXPECT_EQ(lines[0].back(), 'I');  // kind 0: independent
  EXPECT_EQ(lines[1].rfind("A3[2] ", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find("T101.x(2)"), std::string::npos);
  EXPECT_NE(lines[1].find("0.25"), std::string::npos);
  EXPECT_EQ(lines[1].back(), 'C');  // kind 1: constant coefficient
}

TEST(ArrayElements, ClearedMembersAreReleased) {
  std::vector<std::unique_ptr<DAESVarTableEntry>> keep;
  DAESArray* a = Grid(&keep, 1, 3, 19, false);
  auto* inner = static_cast<DAESArray*>(a->Member(1));
  DAESRowElement* second = inner->Member(2);
  DAESRowElement* third = inner->Member(3);
  EXPECT_EQ(second->AddReference(), 2u);
  EXPECT_EQ(inner->ElementList()[1], second);
  EXPECT_EQ(inner->AsRowElement(1), second);
  EXPECT_FALSE(inner->IsSameElement(second));
  EXPECT_EQ(inner->Member(2), nullptr);
  EXPECT_EQ(inner->ElementList()[1], nullptr);
  EXPECT_EQ(inner->ElementList()[2], third);
  EXPECT_EQ(second->Release(), 0u);  // the array gave its own reference back
  // The caller's element is offered down the dimensions until one takes it.
  EXPECT_EQ(third->AddReference(), 2u);
  DAESRowElement* held = third;
  EXPECT_EQ(a->ReleaseIfSame(&held), 1u);
  EXPECT_EQ(held, nullptr);
  EXPECT_EQ(inner->Member(3), third);
  a->Release();
}

// The problem manager's table by full name.
struct NameTable : DAESVariableTable {
  NameTable() { daes::SetVariableTable(this); }
  ~NameTable() { daes::SetVariableTable(nullptr); }
  Status FindVariable(const char* name, DAESVarTableEntry** variable) override {
    auto it = names.find(name);
    *variable = it != names.end() ? it->second : nullptr;
    return it != names.end() ? 0u : 0xA031FFFFu;
  }
  std::map<std::string, DAESVarTableEntry*> names;
};

TEST(RowElements, SolverEquationsRebindToTheProblemManagersTable) {
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  DAESRealVariable replacement(nullptr, ".other");
  DAESEquationNode* eq = ReadEquation(tree, mw::Sub(mw::Var(0), mw::Var(1)), 2, [](Writer& w) {
    w.Reference({2, 3});
    w.Reference({2, 1});
  });
  ASSERT_NE(eq, nullptr);
  {
    NameTable table;
    table.names["T101.F_out"] = &replacement;
    table.names["T101.h"] = Entry(tree.At({2, 1}));
    std::unique_ptr<DAESSolverEquation> row(MakeSolverEquation(eq));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(eq->RowElements()[0]->ElementVariable(), &replacement);
    // A name the table lacks leaves the element unbound: no solver equation.
    table.names.erase("T101.h");
    EXPECT_EQ(MakeSolverEquation(eq), nullptr);
    EXPECT_EQ(eq->RowElements()[1]->ElementVariable(), nullptr);
    table.names["T101.h"] = Entry(tree.At({2, 1}));
  }
  // Without a table the binding stands.
  std::unique_ptr<DAESSolverEquation> row(MakeSolverEquation(eq));
  EXPECT_EQ(row, nullptr);
  EXPECT_EQ(eq->RowElements()[0]->ElementVariable(), &replacement);
}

TEST(RowElements, MarkUsedReachesTheStateBehindADerivative) {
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  DAESVarTableEntry* h = Entry(tree.At({2, 1}));
  DAESVarTableEntry* dot = Entry(tree.At({2, 1, 1}));
  ASSERT_NE(dot, nullptr);
  h->ClearFlags(daes::kReferenced);
  DAESScalar element(dot);
  EXPECT_EQ(element.MarkUsed(nullptr), 0u);
  EXPECT_NE(dot->GetFlags() & daes::kReferenced, 0u);
  EXPECT_NE(h->GetFlags() & daes::kReferenced, 0u);
  DAESScalar unbound(nullptr);
  EXPECT_EQ(unbound.MarkUsed(nullptr), daes::kNoVariableBound);
}

TEST(RowElements, RegisterInEntersGroupAndRowAndMarksTornOutputs) {
  struct TornRow : DAESEqnRow {
    DAESVarTableEntry* OutputElement() override { return output; }
    DAESVarTableEntry* output = nullptr;
  };
  DAESRealVariable x(nullptr, ".x");
  DAESRealVariable y(nullptr, ".y");
  TornRow row;
  row.SetFlags(daes::kTorn);
  row.output = &x;
  DAESEqnRow group;
  DAESScalar ex(&x);
  DAESScalar ey(&y);
  EXPECT_EQ(ey.RegisterIn(&row, &group), 0u);
  EXPECT_EQ(ex.RegisterIn(&row, &group), 0u);
  EXPECT_EQ(ex.RegisterIn(&row, &group), 0u);  // once in each
  EXPECT_EQ(group.VariableCount(), 2);
  EXPECT_EQ(row.VariableCount(), 2);
  EXPECT_NE(x.GetFlags() & daes::kTorn, 0u);
  EXPECT_EQ(y.GetFlags() & daes::kTorn, 0u);
  DAESScalar unbound(nullptr);
  EXPECT_EQ(unbound.RegisterIn(&row, &group), daes::kNoVariableBound);
  DAESParameter p(".p", nullptr, 19);
  DAESScalar parameter(&p);
  EXPECT_EQ(parameter.RegisterIn(&row, &group), daes::kNotImplemented);
  EXPECT_EQ(group.VariableCount(), 2);
}

TEST(ArrayElements, OccurrencesMarkEveryMemberAndParametersAreListed) {
  std::vector<std::unique_ptr<DAESVarTableEntry>> keep;
  DAESArray* a = Grid(&keep, 1, 3, 19, false);
  a->SetSize(1, true);
  std::int32_t counter = 0;
  EXPECT_EQ(a->MarkOccurrence(keep[1]->SequenceNumber(), 0, 0, &counter, nullptr), 1);
  EXPECT_EQ(a->ElementAt(1)->ColumnClass(0, 0), -1);
  EXPECT_EQ(a->ElementAt(0)->ColumnClass(0, 0), 0);
  EXPECT_EQ(a->MarkOccurrence(0xFFFFFFF0u, 0, 0, &counter, nullptr), 0);
  // Member k takes value k for the column.
  const double values[3] = {1.0, 2.0, 3.0};
  EXPECT_EQ(a->SetColumnDerivative(values, 0), 0u);
  EXPECT_EQ(a->SetColumnDerivative(values, 0), 0u);
  EXPECT_EQ(a->ElementAt(2)->ElementValue(0), 6.0);
  // Parameters go to the caller's list, or once to the array's own.
  DAESArray* p = Grid(&keep, 1, 2, 19);
  std::vector<DAESRowElement*> list;
  EXPECT_EQ(p->MarkOccurrence(keep[3]->SequenceNumber(), 0, 0, &counter, &list), 0);
  EXPECT_EQ(list, (std::vector<DAESRowElement*>{p->ElementAt(0), p->ElementAt(1)}));
  EXPECT_EQ(counter, 2);
  EXPECT_EQ(p->MarkOccurrence(1, 0, 0, &counter, nullptr), 0);
  EXPECT_EQ(p->MarkOccurrence(1, 0, 0, &counter, nullptr), 0);
  EXPECT_EQ(p->ParameterList().size(), 2u);
  EXPECT_EQ(counter, 4);
  a->Release();
  p->Release();
}

TEST(ArrayElements, UnpackColumnMajorAndClaimOutputs) {
  std::vector<std::unique_ptr<DAESVarTableEntry>> keep;
  DAESArray* a = Grid(&keep, 2, 3, 19, false);
  // (i, j) comes from slot i + 2j; a non-finite value fails, the rest arrive.
  std::vector<double> slots = {0, 1, 2, 3, 4, std::nan("")};
  std::int32_t position = 0;
  EXPECT_EQ(a->UnpackFortran(slots.data(), daes::kRealInput, &position, 0, 1),
            daes::kIndefiniteValue);
  EXPECT_EQ(position, 6);
  EXPECT_EQ(keep[1]->GetRealValue(), 2.0);   // (1)(2)
  EXPECT_EQ(keep[3]->GetRealValue(), 1.0);   // (2)(1)
  EXPECT_EQ(keep[5]->GetRealValue(), 23.0);  // kept
  // Outputs are counted across the members; the second is claimed.
  std::int32_t arguments = 0;
  std::int32_t outputs = 0;
  DAESVarTableEntry* claimed = nullptr;
  EXPECT_EQ(a->Member(1)->ClaimOutput(true, &arguments, &outputs, 2, &claimed, 10, 1), 12);
  EXPECT_EQ(claimed, keep[1].get());
  EXPECT_EQ(a->Member(2)->ClaimOutput(false, &arguments, &outputs, 2, &claimed, 10, 1), 0);
  EXPECT_EQ(arguments, 5);
  a->Release();
  // Texts: FORTRAN fields lose their blanks, C texts come through their address.
  DAESArray* t = Grid(&keep, 1, 2, 17);
  char fields[80];
  std::memset(fields, ' ', sizeof fields);
  std::memcpy(fields, "abc", 3);
  std::memcpy(fields + 40, "de f", 4);
  std::vector<double> text(10, 0.0);
  std::memcpy(text.data(), fields, sizeof fields);
  position = 0;
  EXPECT_EQ(t->UnpackFortran(text.data(), daes::kStringInput, &position, 0, 1), 0u);
  EXPECT_STREQ(keep[6]->TypedValue().GetString(), "abc");
  EXPECT_STREQ(keep[7]->TypedValue().GetString(), "de f");
  const char* addresses[2] = {"xyz", "uvw"};
  std::vector<double> c(2, 0.0);
  std::memcpy(c.data(), addresses, sizeof addresses);
  position = 0;
  EXPECT_EQ(t->UnpackC(c.data(), daes::kStringInput, &position), 0u);
  EXPECT_STREQ(keep[7]->TypedValue().GetString(), "uvw");
  t->Release();
}

// The sensitivity manager's values: `elapsed` ago times 10, plus the key.
struct Sensitivities : DAESSensitivityServices {
  Sensitivities() { daes::SetSensitivityServices(this); }
  ~Sensitivities() { daes::SetSensitivityServices(nullptr); }
  Status GetValueAtTime(DAESVarTableEntry*, std::int32_t key, double elapsed,
                        double* value) override {
    *value = 10.0 * elapsed + key;
    return 0;
  }
};

TEST(RowElements, ValuesAtEarlierTimesComeFromTheSensitivityManager) {
  DAESRealVariable x(nullptr, ".x");
  DAESScalar e(&x);
  const double time = GetSimulationTime();
  SetSimulationTime(2.0);
  double value = 5.0;
  EXPECT_EQ(e.ValueAtTime(1, 2.5, &value), daes::kLaterThanNow);
  EXPECT_EQ(value, 0.0);
  EXPECT_EQ(e.ValueAtTime(1, 1.5, &value), daes::kNotImplemented);  // no manager
  {
    Sensitivities sensitivities;
    EXPECT_EQ(e.ValueAtTime(3, 1.5, &value), 0u);
    EXPECT_DOUBLE_EQ(value, 8.0);
  }
  SetSimulationTime(time);
}

// Records the derivative checks instead of reporting them.
struct CheckingEquation : DAESSolverEquation {
  using DAESSolverEquation::DAESSolverEquation;
  void CheckDerivative(double numeric, double analytic, DAESRowElement* element,
                       std::uint32_t use_numeric) override {
    checks.push_back({numeric, analytic});
    checked = element;
    numerics = use_numeric;
  }
  std::vector<std::pair<double, double>> checks;
  DAESRowElement* checked = nullptr;
  std::uint32_t numerics = 0;
};

TEST(RowElements, DerivativeStepByKind) {
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  // F_in * h at F_in = 0.5, h = 1.
  DAESEquationNode* eq = ReadEquation(tree, mw::Mul(mw::Var(0), mw::Var(1)), 2, [](Writer& w) {
    w.Reference({2, 2});
    w.Reference({2, 1});
  });
  ASSERT_NE(eq, nullptr);
  CheckingEquation row(eq);
  row.MakeContext();
  ASSERT_EQ(row.Evaluate(daes::kEvalResidual | daes::kEvalDerivatives, nullptr), 0u);
  double r = 0.0;
  row.ResidualValue(&r);
  EXPECT_DOUBLE_EQ(r, 0.5);
  DAESRowElement* f_in = eq->RowElements()[0];
  DAESRowElement* h = eq->RowElements()[1];
  EXPECT_DOUBLE_EQ(h->ElementValue(0), 0.5);
  auto kind = [](DAESRowElement* e, std::int8_t k) {
    e->SetClassMark(-1, 0, 0);
    if (k != -1) e->SetClassMark(k, 0, 0);
  };
  std::int32_t counter = 0;
  double out[4] = {};
  kind(h, 0);
  EXPECT_EQ(h->DerivativeStep(0, &row, r, 0, 0, true, &counter, out), 0u);
  EXPECT_EQ(counter, 0);
  // Kind 4 without element steps only counts.
  kind(h, 4);
  h->SetElementValue(0, 7.0);
  EXPECT_EQ(h->DerivativeStep(0, &row, r, 0, 0, true, &counter, out), 0u);
  EXPECT_EQ(counter, 1);
  EXPECT_EQ(h->ElementValue(0), 7.0);
  // With them it takes a finite difference.
  EXPECT_EQ(h->DerivativeStep(daes::kEvalElementSteps, &row, r, 0, 0, false, &counter, out), 0u);
  EXPECT_NEAR(h->ElementValue(0), 0.5, 1e-6);
  EXPECT_EQ(counter, 2);
  EXPECT_TRUE(row.checks.empty());
  // Kinds 1 to 3 hand their value on; kind 3 is checked when asked.
  kind(f_in, 1);
  EXPECT_EQ(f_in->DerivativeStep(0, &row, r, 0, 0, true, &counter, out), 0u);
  EXPECT_EQ(out[2], 1.0);
  EXPECT_TRUE(row.checks.empty());
  kind(h, 3);
  h->SetElementValue(0, 0.5);
  EXPECT_EQ(h->DerivativeStep(daes::kEvalCheckNumerics, &row, r, 0, 0, true, &counter, out), 0u);
  EXPECT_EQ(counter, 4);
  EXPECT_EQ(out[3], 0.5);
  ASSERT_EQ(row.checks.size(), 1u);
  EXPECT_NEAR(row.checks[0].first, 0.5, 1e-6);
  EXPECT_DOUBLE_EQ(row.checks[0].second, 0.5);
  EXPECT_EQ(row.checked, h);
  EXPECT_EQ(row.numerics, daes::kEvalCheckNumerics);
  // The perturbation leaves the variable where it was.
  EXPECT_EQ(Entry(tree.At({2, 1}))->GetRealValue(), 1.0);
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

namespace {

TEST(RowElements, AResidualThatCannotBeCompiledMakesNoSolverEquation) {
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  // SIGN has no tape row: the residual compiles to nothing.
  DAESEquationNode* eq =
      ReadEquation(tree, mw::Sub(mw::Var(0), mw::Unary(58, mw::Var(1))), 2, [](Writer& w) {
        w.Reference({2, 3});
        w.Reference({2, 1});
      });
  ASSERT_NE(eq, nullptr);
  testsupport::CaptureSink sink;
  EXPECT_EQ(MakeSolverEquation(eq), nullptr);
  ASSERT_EQ(sink.lines().size(), 1u);
  EXPECT_NE(sink.lines()[0].find("cannot be evaluated"), std::string::npos);
  EXPECT_NE(sink.lines()[0].find("T101.E"), std::string::npos) << sink.lines()[0];
  // The same equation over a residual that compiles gives its row.
  Tree other;
  ASSERT_EQ(other.Read(Tank), 0u);
  DAESEquationNode* plain = ReadEquation(other, mw::Sub(mw::Var(0), mw::Var(1)), 2, [](Writer& w) {
    w.Reference({2, 3});
    w.Reference({2, 1});
  });
  ASSERT_NE(plain, nullptr);
  std::unique_ptr<DAESSolverEquation> row(MakeSolverEquation(plain));
  EXPECT_NE(row, nullptr);
}

TEST(RowElements, AVariableDeletedWithItsNodeLeavesReferencesOutsideUnbound) {
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  // P201.E = F_out - h, and an array over T101's h and F_in, outside T101.
  const auto outside = [&tree](mw::Expr residual, std::uint32_t index, std::uint32_t n,
                               const std::function<void(Writer&)>& references) {
    EXPECT_EQ(tree.Read([&](Writer& w) {
      w.List(1);
      w.Item(mw::kInlineEquation);
      w.U32(0);
      w.Expression(residual);
      w.Placement({{3, "P201"}, {index, ".E"}});
      w.EquationHead(n);
      references(w);
    }),
              0u);
    return dynamic_cast<DAESEquationNode*>(tree.At({3, index}));
  };
  DAESEquationNode* eq = outside(mw::Sub(mw::Var(0), mw::Var(1)), 8, 2, [](Writer& w) {
    w.Reference({2, 3});
    w.Reference({2, 1});
  });
  DAESEquationNode* over_array = outside(mw::Var(0), 9, 1, [](Writer& w) {
    w.ArrayReference(1, 2);
    w.Member({2, 1}), w.Member({2, 2});
  });
  ASSERT_NE(eq, nullptr);
  ASSERT_NE(over_array, nullptr);
  BvuDirectoryNode* node = nullptr;
  ASSERT_EQ(tree.root->RemoveChildAt(2, &node), 0u);
  BvuDirectoryProper::DeleteBelow(node);
  delete node;

  EXPECT_EQ(eq->RowElements()[0]->ElementVariable(), nullptr);
  EXPECT_EQ(over_array->RowElements()[0]->ElementAt(1)->ElementVariable(), nullptr);
  EXPECT_FALSE(eq->IsBound());
  {
    // Without a table (and with one that lacks the name) no row is made,
    // and the message names the equation and the variable it lost.
    testsupport::CaptureSink sink;
    EXPECT_EQ(MakeSolverEquation(eq), nullptr);
    NameTable table;
    EXPECT_EQ(MakeSolverEquation(over_array), nullptr);
    ASSERT_EQ(sink.lines().size(), 2u);
    EXPECT_NE(sink.lines()[0].find("P201.E"), std::string::npos) << sink.lines()[0];
    EXPECT_NE(sink.lines()[0].find("T101.F_out"), std::string::npos) << sink.lines()[0];
    EXPECT_NE(sink.lines()[1].find("T101.h"), std::string::npos) << sink.lines()[1];
  }
  // The node described again: the references find its new variables.
  ASSERT_EQ(tree.Read(Tank), 0u);
  NameTable table;
  for (std::uint32_t i : {1u, 2u, 3u})
    table.names[Entry(tree.At({2, i}))->GetNameText()] = Entry(tree.At({2, i}));
  std::unique_ptr<DAESSolverEquation> row(MakeSolverEquation(eq));
  EXPECT_NE(row, nullptr);
  EXPECT_EQ(eq->RowElements()[0]->ElementVariable(), Entry(tree.At({2, 3})));
  EXPECT_EQ(over_array->RebindElements(), 0u);
  EXPECT_TRUE(over_array->IsBound());
}

TEST(RowElements, ScalarsLetGoOfTheirVariableInAnyOrder) {
  auto x = std::make_unique<DAESRealVariable>(nullptr, ".x");
  DAESRealVariable y(nullptr, ".y");
  std::vector<DAESRowElement*> scalars;
  for (int i = 0; i < 5; ++i) scalars.push_back(new DAESScalar(x.get()));
  // The first and the middle go before the variable, one more is bound
  // elsewhere: the variable's end reaches only the two still on it.
  scalars[0]->Release();
  scalars[2]->Release();
  NameTable table;
  table.names[x->GetNameText()] = &y;
  EXPECT_EQ(scalars[4]->Rebind(&table), 0u);
  x.reset();
  EXPECT_EQ(scalars[1]->ElementVariable(), nullptr);
  EXPECT_EQ(scalars[3]->ElementVariable(), nullptr);
  EXPECT_EQ(scalars[4]->ElementVariable(), &y);
  for (int i : {1, 3, 4}) scalars[static_cast<std::size_t>(i)]->Release();
}

}  // namespace
