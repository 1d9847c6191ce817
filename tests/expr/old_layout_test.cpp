// Expression trees stored in earlier layouts restore into the current
// classes, save again in the current layouts, and damaged ones are refused.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <typeinfo>

#include "expr/store/old_layouts.h"
#include "expr/store/restore_helpers.h"
#include "foundation/persistence/guarded_restore.h"
#include "foundation/persistence/memory_stream.h"
#include "tests/expr/expr_builders.h"
#include "tests/expr/old_layout_streams.h"

using namespace exprtest;
using namespace oldlayout;

namespace {

ClRestoreOutcome RestoreText(const std::string& text) {
  ClMemoryInStream in(text);
  return GuardedRestore(in, nullptr, &DisposeRestoredExpression);
}

Ref Restored(const std::string& text) {
  const ClRestoreOutcome outcome = RestoreText(text);
  EXPECT_EQ(outcome.status, 0u) << outcome.message;
  auto* e = dynamic_cast<Expression*>(outcome.object);
  return e != nullptr ? Hold(e) : Ref();
}

std::string Printed(const Expression* e) {
  std::ostringstream out;
  Expression::PrintNode(out, e);
  return out.str();
}

std::string SavedAgain(const Expression* e) {
  ClMemoryOutStream out;
  StoreCollectable(out, e);
  return out.Text();
}

// The old code of a row.
std::int16_t Code(std::uint16_t op) { return static_cast<std::int16_t>(OperatorTable[op].code); }

struct Case {
  const char* name;
  Body body;
  std::uint16_t id;
  std::string printed;
};

std::vector<Case> EveryOldClass() {
  const Body x = VarRef(0), y = VarRef(1);
  const Body two = Terminal(RealValue(2.0));
  const Body items = ItemList({x, two});
  return {
      {"terminal", Terminal(RealValue(2.5)), exprclass::kTerminal, "2.5"},
      {"variable reference", VarRef(4), exprclass::kVarRef, "V5"},
      {"variable",
       Node(oldclass::kVariable, Code(kTerm), RealValue(0.0),
            [](Clvostream& s) {
              s.PutU32(2);
              WriteCollectable(nullptr, s);
            }),
       exprclass::kVariable, "unnamed"},
      {"unary", Unary(Code(kSin), Typed(SUValue::kReal), x, 2), exprclass::kUnary, "SIN(V1)"},
      {"binary", Binary(Code(kAdd), Typed(SUValue::kReal), x, y, 3), exprclass::kBinary, "V1+V2"},
      {"list", List(oldclass::kList, Typed(0x104), items, 3), exprclass::kList, "V1,2"},
      {"homogeneous list", List(oldclass::kHomList, Typed(0x104), items, 3), exprclass::kHomList,
       "V1,2"},
      {"procedure IO list", List(oldclass::kProcIOList, Typed(0), items, 2), exprclass::kProcIOList,
       "(V1,2)"},
      {"procedure call",
       ProcCall(List(oldclass::kProcIOList, Typed(0), ItemList({x}), 1),
                List(oldclass::kProcIOList, Typed(0), ItemList({y}), 1), Null(), Null(), "flash",
                3),
       exprclass::kProcCall, "CALL (V2)=flash(V1)"},
  };
}

TEST(OldLayouts, EveryOldClassRestoresIntoItsCurrentClassAndSavesCurrentIds) {
  for (const Case& c : EveryOldClass()) {
    SCOPED_TRACE(c.name);
    const Ref node = Restored(Text(c.body));
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->ClassId(), c.id);
    const Expression& object = *node;
    EXPECT_EQ(std::string(typeid(object).name()).find("Old"), std::string::npos);
    // Printing ignores the value's exact real form; compare by prefix.
    const std::string printed = Printed(node.get());
    EXPECT_EQ(printed.substr(0, c.printed.size()), c.printed) << printed;

    // Saved again: the current layout, which reads back as the same tree.
    const std::string again = SavedAgain(node.get());
    const Ref back = Restored(again);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->ClassId(), c.id);
    EXPECT_EQ(Printed(back.get()), printed);
    EXPECT_EQ(SavedAgain(back.get()), again);
  }
}

TEST(OldLayouts, HeaderFieldsAndBodiesCarryOver) {
  // A terminal keeps its value; its type is the value's.
  SUValue text;
  text.SetType(SUValue::kString);
  text.SetString("feed");
  const Ref terminal = Restored(Text(Node(oldclass::kTerminal, Code(kTerm), text, nullptr,
                                          /*flags=*/0x0200, /*error=*/626)));
  ASSERT_NE(terminal, nullptr);
  const auto* constant = dynamic_cast<TerminalExpression*>(terminal.get());
  ASSERT_NE(constant, nullptr);
  EXPECT_STREQ(constant->Value().GetString(), "feed");
  EXPECT_EQ(terminal->GetResultType(), SUValue::kString);
  EXPECT_EQ(terminal->Flags(), 0x0200);
  EXPECT_EQ(terminal->ErrorCode(), 626);

  // Operands, node counts and offsets.
  const Ref sum = Restored(Text(Binary(Code(kMul), Typed(SUValue::kReal), VarRef(6),
                                       Unary(Code(kExp), Typed(SUValue::kReal), VarRef(2), 2), 4)));
  ASSERT_NE(sum, nullptr);
  EXPECT_EQ(sum->Op(), kMul);
  EXPECT_EQ(sum->NodeCount(), 4u);
  EXPECT_EQ(Printed(sum.get()), "V7*EXP(V3)");
  EXPECT_EQ(sum->Operand(2)->ClassId(), exprclass::kUnary);
  EXPECT_EQ(sum->Operand(1)->RefCount(), 1u);
}

// Values as an old file may hold them for a constant: texts never set,
// statuses other than valid, an array whose elements are not of its kind.
SUValue ValueFrom(const std::string& text) {
  ClMemoryInStream in(text);
  SUValue value;
  value.RestoreFromVStream(in);
  EXPECT_TRUE(in.Good()) << text;
  return value;
}

TEST(OldLayouts, ATerminalKeepsItsValueAsStoredAndSavesItStably) {
  const std::string stored[] = {
      "5 1 0 ",                    // a string without its text
      "5 0 1 ",                    // the empty text
      "6 0 1 2 3 0 ",              // a name without its text
      "261 0 2 5 1 0 5 0 1 ",      // strings with and without a text
      "261 9 2 0 0 2 26 0 ",       // an untyped and an integer element
      "4 1 2.5 ",                  // a real not known yet
  };
  for (const std::string& text : stored) {
    SCOPED_TRACE(text);
    const Ref node = Restored(Text(Terminal(ValueFrom(text))));
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->ClassId(), exprclass::kTerminal);
    // The constant holds the value as it was stored, and takes its type.
    const SUValue& value = static_cast<TerminalExpression*>(node.get())->Value();
    ClMemoryOutStream held;
    value.SaveToVStream(held);
    EXPECT_EQ(held.Text(), text);
    EXPECT_EQ(node->GetResultType(), value.type);
    const std::string saved = SavedAgain(node.get());
    const Ref back = Restored(saved);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(SavedAgain(back.get()), saved);
  }
}

TEST(OldLayouts, AStoredVariableBelongsToItsNode) {
  ExpressionVariable variable;
  const Ref node =
      Restored(Text(Node(oldclass::kVariable, Code(kTerm), RealValue(0.0), [&](Clvostream& s) {
        s.PutU32(3);
        WriteCollectable(&variable, s);
      })));
  ASSERT_NE(node, nullptr);
  EXPECT_NE(node->BoundVariable(), nullptr);
  EXPECT_NE(node->BoundVariable(), &variable);
  EXPECT_EQ(node->Flags() & VariableExpression::kOwnsVariable, VariableExpression::kOwnsVariable);
  EXPECT_EQ(static_cast<VarRefExpression*>(node.get())->Offset(), 3u);
}

TEST(OldLayouts, OperatorCodesMatchAsSignedBytes) {
  EXPECT_EQ(RowForOldCode(static_cast<std::uint16_t>(Code(kPow))), kPow);
  // No row has these codes: the empty row stands for them.
  EXPECT_EQ(RowForOldCode(0x7FFF), kEmptyRow);
  EXPECT_EQ(RowForOldCode(0x0100 + Code(kAdd)), kEmptyRow);
  EXPECT_EQ(RowForOldCode(0xFFFF), kEmptyRow);
  const Ref node = Restored(Text(Binary(0x7FFF, Typed(SUValue::kReal), VarRef(0), VarRef(1), 3)));
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->Op(), kEmptyRow);
}

TEST(OldLayouts, DamagedAndTruncatedStreamsAreRefused) {
  for (const Case& c : EveryOldClass()) {
    SCOPED_TRACE(c.name);
    const std::string whole = Text(c.body);
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
      const ClRestoreOutcome outcome = RestoreText(whole.substr(0, cut));
      EXPECT_NE(outcome.status, 0u) << "cut at " << cut;
      EXPECT_EQ(outcome.object, nullptr);
    }
  }
  // A procedure call whose inputs are no argument list; a list that is not a
  // list; a variable that is no variable.
  const std::string damaged[] = {
      Text(ProcCall(VarRef(0), Null(), Null(), Null(), "p", 1)),
      Text(List(oldclass::kList, Typed(0x104), VarRef(0), 1)),
      Text(Node(oldclass::kVariable, Code(kTerm), RealValue(0.0),
                [](Clvostream& s) {
                  s.PutU32(0);
                  VarRef(1)(s);
                })),
  };
  for (const std::string& text : damaged) {
    const ClRestoreOutcome outcome = RestoreText(text);
    EXPECT_EQ(outcome.status, 0x8000020Fu);
    EXPECT_EQ(outcome.object, nullptr);
  }
}

}  // namespace
