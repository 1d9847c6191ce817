#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>

#include "daes/equations/equation_node.h"
#include "daes/model/parameter.h"
#include "daes/model/variable.h"
#include "expr/tree/expression.h"
#include "tests/daes/daes_helpers.h"

using namespace daestest;

namespace {

// Every node below `node`: index, kind, full name, value, flags and the
// number of row elements, one line each.
void Snapshot(BvuDirectoryNode* node, std::ostringstream& out) {
  for (std::int32_t i = node->LowIndex(); i <= node->HighIndex(); ++i) {
    BvuDirectoryNode* c = node->ChildAt(i);
    if (c == nullptr) continue;
    out << i << ' ' << c->GetKind() << ' ' << c->GetNameText();
    if (DAESVarTableEntry* e = Entry(c)) out << " = " << e->GetRealValue() << " f" << e->GetFlags();
    if (auto* q = dynamic_cast<DAESSimpleEquation*>(c)) out << " n" << q->ActiveVariableCount();
    out << '\n';
    Snapshot(c, out);
  }
}

std::string Snapshot(Tree& tree) {
  std::ostringstream out;
  Snapshot(tree.root, out);
  return out.str();
}

void NewVariable(Writer& w, std::uint32_t index, const char* name) {
  w.Item(mw::kRealVariable);
  w.Placement({T101(), {index, name}});
}

// Messages that must be refused with the tree left as it was.
TEST(InstanceMessages, MalformedItemsAreRefusedAndChangeNothing) {
  const std::string long_name(300, 'x');
  const std::string long_text(300, 'y');
  struct Case {
    const char* what;
    std::function<void(Writer&)> write;
    Status status;  // 0: any failure
  };
  const Case cases[] = {
      {"truncated variable body",
       [](Writer& w) {
         w.List(1);
         NewVariable(w, 9, ".x");
         w.U8(1);  // a value tag without its value
       },
       0x8000FFFFu},
      {"step name of 300 bytes",
       [&](Writer& w) {
         w.List(1);
         NewVariable(w, 9, ("." + long_name).c_str());
         w.End();
       },
       0x8000020Fu},
      {"description of 300 bytes",
       [&](Writer& w) {
         w.List(1);
         NewVariable(w, 9, ".x");
         w.Description(long_text.c_str()), w.End();
       },
       0x8000020Fu},
      {"missing intermediate step without a name",
       [](Writer& w) {
         w.List(1);
         w.Item(mw::kRealVariable);
         w.Placement({T101(), {40, ""}, {1, ".x"}});
         w.End();
       },
       kBvuNoSuchChild},
      {"reference to a node that does not exist",
       [](Writer& w) {
         w.List(1);
         w.Item(mw::kInlineEquation);
         w.U32(0);
         w.Expression(mw::Var(0));
         w.Placement({T101(), {8, ".E"}});
         w.EquationHead(2);
         w.Reference({2, 3});
         w.Reference({2, 99});
       },
       kBvuNoSuchChild},
      {"equation text of 300 bytes",
       [&](Writer& w) {
         w.List(1);
         w.Item(mw::kInlineEquation);
         w.U32(0);
         w.Expression(mw::Var(0));
         w.Placement({T101(), {8, ".E"}});
         w.U32(0), w.Text(long_text.c_str()), w.U32(0);
       },
       0x8000020Fu},
      {"equation placed over a variable",
       [](Writer& w) {
         w.List(1);
         w.Item(mw::kInlineEquation);
         w.U32(0);
         w.Expression(mw::Var(0));
         w.Placement({T101(), {1, ".h"}});
         w.EquationHead(1);
         w.Reference({2, 3});
       },
       daes::kItemRefused},
      {"variable placed over an equation",
       [](Writer& w) {
         w.List(1);
         NewVariable(w, 6, ".MassBalance");
         w.End();
       },
       daes::kItemRefused},
      {"in-line expression that does not read",
       [](Writer& w) {
         w.List(2);
         w.Item(mw::kInlineEquation);
         w.U32(0);
         w.U8(2), w.U16(0), w.U16(4), w.U8(0x55);  // an unknown leaf class
         NewVariable(w, 9, ".x"), w.End();         // not read: the list is lost
       },
       0x8000020Fu},
      {"library equation without a library",
       [](Writer& w) {
         w.List(1);
         w.Item(mw::kEquation);
         w.U32(0);
         w.IdPath({1});
         w.Placement({T101(), {8, ".E"}});
         w.EquationHead(0);
       },
       daes::kItemRefused},
      {"IF equation cut short", [](Writer& w) { w.List(1), w.Item(mw::Tag(6)); }, 0x8000FFFFu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Tree tree;
    ASSERT_EQ(tree.Read(Tank), 0u);
    const std::string before = Snapshot(tree);
    const Status s = tree.Read(c.write);
    EXPECT_TRUE(status::IsFailure(s));
    if (c.status != 0) {
      EXPECT_EQ(s, c.status);
    }
    EXPECT_EQ(Snapshot(tree), before);
  }
}

// Reading goes on after a failed item that was read to its end, and the
// first failure is what the list answers.
TEST(InstanceMessages, ListsReportTheFirstFailureAndReadOn) {
  struct Case {
    const char* what;
    std::function<void(Writer&)> write;
    Status status;
    std::vector<std::uint32_t> made;
  };
  const Case cases[] = {
      {"empty list", [](Writer& w) { w.List(0); }, 0, {}},
      {"negative count", [](Writer& w) { w.List(0xFFFFFFFF), NewVariable(w, 1, ".a"); }, 0, {}},
      {"unknown tag between items",
       [](Writer& w) {
         w.List(3);
         NewVariable(w, 1, ".a"), w.End();
         w.Item(mw::Tag(5));
         NewVariable(w, 2, ".b"), w.End();
       },
       0,
       {1, 2}},
      {"refused item in the middle",
       [](Writer& w) {
         w.List(3);
         NewVariable(w, 1, ".a"), w.End();
         w.Item(mw::kRealParameter);
         w.Placement({T101(), {1, ".a"}});  // a parameter over a variable
         w.Value(1.0), w.End();
         NewVariable(w, 2, ".b"), w.End();
       },
       daes::kItemRefused,
       {1, 2}},
      {"unknown attribute keeps the variable",
       [](Writer& w) {
         w.List(2);
         NewVariable(w, 1, ".a"), w.U8(77), w.Value(3.0), w.End();
         NewVariable(w, 2, ".b"), w.End();
       },
       daes::kReservedAnswer,
       {1, 2}},
      {"nested lists",
       [](Writer& w) {
         w.List(2);
         w.Item(mw::kNestedList), w.List(1), NewVariable(w, 1, ".a"), w.End();
         w.Item(mw::Tag(12)), w.List(1), NewVariable(w, 2, ".b"), w.End();
       },
       0,
       {1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Tree tree;
    EXPECT_EQ(tree.Read(c.write), c.status);
    for (std::uint32_t index : c.made) {
      EXPECT_EQ(tree.At({2, index}) != nullptr ? tree.At({2, index})->GetKind() : 0, 24) << index;
    }
  }
}

TEST(InstanceMessages, LibraryEquationsCarryTheirFlagWord) {
  BvuDirectoryProper library(nullptr, nullptr);
  auto stored = Body([](Writer& w) { w.Expression(mw::Sub(mw::Var(0), mw::Real(3.0))); });
  auto* node = new LibraryExpression(&library, Expression::ReadFromMessage(*stored));
  ASSERT_NE(node->expression, nullptr);
  ASSERT_EQ(library.InsertChildAt(1, node), 0u);
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  auto message = Body([](Writer& w) {
    w.List(1);
    w.Item(mw::kEquation);
    w.U32(0x40);
    w.IdPath({1});
    w.Placement({T101(), {8, ".Fixed"}});
    w.EquationHead(1);
    w.Reference({2, 2});
  });
  ASSERT_EQ(tree.root->ReadFromMessage(*message, tree.root, &library, tree.root), 0u);
  auto* eq = dynamic_cast<DAESEquationNode*>(tree.At({2, 8}));
  ASSERT_NE(eq, nullptr);
  EXPECT_EQ(eq->DAESSimpleEquation::GetFlags(), 0x40u);
  EXPECT_EQ(eq->ResidualExpression(), node->expression);
  double r = 0;
  EXPECT_EQ(eq->EvaluateResidual(&r), 0u);
  EXPECT_DOUBLE_EQ(r, 0.5 - 3.0);
  library.DeleteChildren();
}

TEST(InstanceMessages, ConnectionsEquateTwoVariables) {
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  ASSERT_EQ(tree.Read([](Writer& w) {
    w.List(1);
    w.Item(mw::kConnection);
    w.Placement({T101(), {8, ".Link"}});
    w.Reference({2, 2});
    w.Reference({2, 3});
  }),
            0u);
  auto* link = dynamic_cast<DAESConnectionNode*>(tree.At({2, 8}));
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->GetKind(), 3);
  double r = 0;
  EXPECT_EQ(link->EvaluateResidual(&r), 0u);
  EXPECT_DOUBLE_EQ(r, 0.5);
}

}  // namespace

// Nested item lists are read one frame a level; the limit keeps that inside
// the stack of the thread that reads client messages, in every build.
TEST(InstanceMessages, NestedListsAreBoundedByTheNestingLimit) {
  auto nested = [](int levels) {
    return [levels](Writer& w) {
      w.List(1);
      for (int i = 0; i < levels; ++i) w.Item(mw::kNestedList), w.List(1);
      NewVariable(w, 1, ".a"), w.End();
    };
  };
  struct Outcome {
    Status status = 0;
    bool made = false;
  };
  auto read_on_thread = [](const std::function<void(Writer&)>& write) {
    Outcome outcome;
    std::thread reader([&] {
      Tree tree;
      outcome.status = tree.Read(write);
      outcome.made = tree.At({2, 1}) != nullptr;
    });
    reader.join();
    return outcome;
  };
  const Outcome at_limit = read_on_thread(nested(kMaxExpressionDepth - 1));
  EXPECT_EQ(at_limit.status, 0u);
  EXPECT_TRUE(at_limit.made);
  const Outcome past = read_on_thread(nested(kMaxExpressionDepth));
  EXPECT_EQ(past.status, status::kBadArguments);
  EXPECT_FALSE(past.made);
  // As deep as a 450 KB body makes it.
  EXPECT_EQ(read_on_thread(nested(75000)).status, status::kBadArguments);
}
