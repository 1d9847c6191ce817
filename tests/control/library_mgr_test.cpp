// The library manager: the nodes its set requests make and replace, what a
// replaced condition hands on, the further data of a procedure definition,
// and an expression that does not read.
#include "control/managers/library_mgr.h"
#include "foundation/directory/id_path.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "control/managers/instance_mgr.h"
#include "control/problem/problem_manager.h"
#include "daes/problem/problem.h"
#include "daes/procedures/proc_def.h"
#include "foundation/interfaces/current_objects.h"
#include "framework/servers/server_registry.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"
#include "expr/tree/expression.h"
#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "tools/model_writer/model_writer.h"
#include "tests/framework/message_helpers.h"

namespace {

using modelwriter::Step;
using modelwriter::Writer;
using MessagePtr = std::unique_ptr<DseMessage>;

MessagePtr Request(std::uint16_t kind, std::uint16_t item) {
  auto message = std::make_unique<DseMessage>(SimLibraryMgr::kService, DseMessage::kRequest);
  message->PutUInt16(kind);
  message->PutUInt16(item);
  return message;
}

void WriteDefinition(DseMessage& message, const char* name) {
  SUProcDef d;
  d.SetImplementationName(name);
  d.SetLibrary("userlib");
  d.SetArgumentCounts(1, 1);
  d.WriteDefinition(message);
}

class LibraryMgrTest : public ::testing::Test {
 protected:
  Status Serve(DseMessage& request) {
    testsupport::ReadAsWritten(request);
    DseMessage* reply = nullptr;
    const Status result = manager.HandleRequest(61, &request, &reply, nullptr);
    EXPECT_EQ(reply, nullptr);
    delete reply;
    return result;
  }

  // Sets an expression (item 2) or condition (item 6) node; a set of kind 5.
  Status SetExpression(std::uint16_t kind, std::uint16_t item, const std::vector<Step>& place,
                       double constant) {
    MessagePtr request = Request(kind, item);
    Writer w(*request);
    w.Placement(place);
    w.Expression(modelwriter::Sub(modelwriter::Var(0), modelwriter::Real(constant)));
    return Serve(*request);
  }

  Status Delete(std::uint32_t index) {
    MessagePtr request = Request(SimLibraryMgr::kDelete, 2);
    Writer(*request).IdPath({index});
    return Serve(*request);
  }

  SimLibraryMgr manager;
};

TEST_F(LibraryMgrTest, ReplacedConditionHandsOnItsChildren) {
  ASSERT_EQ(SetExpression(SimLibraryMgr::kSet, SimLibraryMgr::kConditionItem, {{1, "C"}}, 1.0), 0u);
  auto* first = dynamic_cast<LibCondNode*>(manager.ChildAt(1));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(first->GetExpression(), nullptr);
  EXPECT_EQ(first->GetKind(), 17);
  ASSERT_EQ(SetExpression(SimLibraryMgr::kSet, SimLibraryMgr::kExpressionItem,
                          {{1, "C"}, {3, ".e"}}, 2.0),
            0u);
  BvuDirectoryNode* child = first->ChildAt(3);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(child->GetKind(), 27);

  ASSERT_EQ(SetExpression(SimLibraryMgr::kReplace, SimLibraryMgr::kConditionItem, {{1, "C"}}, 3.0),
            0u);
  auto* second = dynamic_cast<LibCondNode*>(manager.ChildAt(1));
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(second->ChildAt(3), child);
  EXPECT_EQ(child->Parent(), second);

  // What a path made below a plain node stays under the condition set there.
  ASSERT_EQ(SetExpression(SimLibraryMgr::kSet, SimLibraryMgr::kExpressionItem,
                          {{5, "P"}, {1, ".x"}}, 1.0),
            0u);
  BvuDirectoryNode* below = manager.ChildAt(5)->ChildAt(1);
  ASSERT_EQ(SetExpression(SimLibraryMgr::kSet, SimLibraryMgr::kConditionItem, {{5, "P"}}, 1.0), 0u);
  ASSERT_NE(dynamic_cast<LibCondNode*>(manager.ChildAt(5)), nullptr);
  EXPECT_EQ(manager.ChildAt(5)->ChildAt(1), below);
}

TEST_F(LibraryMgrTest, SetWithoutNameKeepsTheOldName) {
  ASSERT_EQ(SetExpression(SimLibraryMgr::kSet, SimLibraryMgr::kExpressionItem, {{2, "Flow"}}, 1.0),
            0u);
  BvuDirectoryNode* old = manager.ChildAt(2);
  ASSERT_EQ(SetExpression(SimLibraryMgr::kSet, SimLibraryMgr::kExpressionItem, {{2, ""}}, 2.0), 0u);
  ASSERT_NE(manager.ChildAt(2), nullptr);
  EXPECT_NE(manager.ChildAt(2), old);
  EXPECT_STREQ(manager.ChildAt(2)->Name(), "Flow");
  // A replace takes the name the path gives, even none.
  ASSERT_EQ(SetExpression(SimLibraryMgr::kReplace, SimLibraryMgr::kExpressionItem, {{2, ""}}, 2.0),
            0u);
  EXPECT_STREQ(manager.ChildAt(2)->Name(), "");
}

TEST_F(LibraryMgrTest, DetachEmptiesTheTreeAndDeletesFindNothing) {
  ASSERT_EQ(SetExpression(SimLibraryMgr::kSet, SimLibraryMgr::kExpressionItem, {{1, "A"}}, 1.0),
            0u);
  ASSERT_EQ(SetExpression(SimLibraryMgr::kSet, SimLibraryMgr::kConditionItem, {{2, "B"}}, 1.0), 0u);
  EXPECT_EQ(Delete(1), 0u);
  EXPECT_EQ(manager.ChildAt(1), nullptr);
  EXPECT_EQ(manager.DetachProblem("w", "NULL"), 0u);
  EXPECT_EQ(manager.ChildAt(2), nullptr);
  for (std::uint32_t index : {0u, 1u, 2u, 77u}) EXPECT_EQ(Delete(index), 10u) << index;
  MessagePtr deep = Request(SimLibraryMgr::kDelete, 2);
  Writer(*deep).IdPath({4, 1});
  EXPECT_EQ(Serve(*deep), 10u);

  MessagePtr seven = Request(SimLibraryMgr::kSet, 7);
  Writer(*seven).Placement({{1, "X"}});
  EXPECT_EQ(Serve(*seven), SimLibraryMgr::kUnknownRequest);
  EXPECT_EQ(Serve(*Request(9, 2)), SimLibraryMgr::kUnknownRequest);
}

TEST_F(LibraryMgrTest, FurtherDataGoesToTheProcedureDefinition) {
  MessagePtr set = Request(SimLibraryMgr::kSet, SimLibraryMgr::kProcedureItem);
  Writer(*set).Placement({{1, "Flash"}});
  WriteDefinition(*set, "flash");
  ASSERT_EQ(Serve(*set), 0u);
  auto* node = dynamic_cast<LibProcNode*>(manager.ChildAt(1));
  ASSERT_NE(node, nullptr);
  ASSERT_NE(node->Definition(), nullptr);
  EXPECT_EQ(node->LinkedObject(), node->Definition());
  EXPECT_EQ(node->Definition()->ImplementationName(), "flash");

  MessagePtr more = Request(SimLibraryMgr::kAddData, SimLibraryMgr::kProcedureItem);
  Writer(*more).IdPath({1});
  WriteDefinition(*more, "flash2");
  EXPECT_EQ(Serve(*more), 0u);
  EXPECT_EQ(node->Definition()->ImplementationName(), "flash2");

  // Items 2 and 6 take no further data.
  for (std::uint16_t item : {SimLibraryMgr::kExpressionItem, SimLibraryMgr::kConditionItem}) {
    MessagePtr other = Request(SimLibraryMgr::kAddData, item);
    Writer(*other).IdPath({1});
    WriteDefinition(*other, "ignored");
    EXPECT_EQ(Serve(*other), 0u);
  }
  EXPECT_EQ(node->Definition()->ImplementationName(), "flash2");
  MessagePtr odd = Request(SimLibraryMgr::kAddData, 4);
  Writer(*odd).IdPath({1});
  EXPECT_EQ(Serve(*odd), SimLibraryMgr::kUnknownRequest);
}

TEST_F(LibraryMgrTest, ProcedureCallsFindTheirDefinitionsByPath) {
  EXPECT_EQ(daes::ProcDefLibrary(), &manager);
  MessagePtr set = Request(SimLibraryMgr::kSet, SimLibraryMgr::kProcedureItem);
  Writer(*set).Placement({{4, "Props"}, {2, "Flash"}});
  WriteDefinition(*set, "flash");
  ASSERT_EQ(Serve(*set), 0u);
  BvuIdPath path;
  path.Append(4);
  path.Append(2);
  DAESProcDef* found = daes::ProcDefLibrary()->FindProcDef(path);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->ImplementationName(), "flash");
  // A folder, a missing place and an expression are no definitions.
  path.DropLast();
  EXPECT_EQ(manager.FindProcDef(path), nullptr);
  path.Append(7);
  EXPECT_EQ(manager.FindProcDef(path), nullptr);
  ASSERT_EQ(SetExpression(SimLibraryMgr::kSet, SimLibraryMgr::kExpressionItem, {{5, "e"}}, 1.0),
            0u);
  BvuIdPath expression;
  expression.Append(5);
  EXPECT_EQ(manager.FindProcDef(expression), nullptr);
  {
    SimLibraryMgr second;
    EXPECT_EQ(daes::ProcDefLibrary(), &second);
  }
  EXPECT_EQ(daes::ProcDefLibrary(), nullptr);
  daes::SetProcDefLibrary(&manager);
}

TEST_F(LibraryMgrTest, AnExpressionThatDoesNotReadLeavesTheNodeEmpty) {
  MessagePtr request = Request(SimLibraryMgr::kSet, SimLibraryMgr::kExpressionItem);
  Writer w(*request);
  w.Placement({{1, "Broken"}});
  w.U8(0xEE), w.U8(0xEE), w.U8(0xEE);
  EXPECT_TRUE(status::IsFailure(Serve(*request)));
  auto* node = dynamic_cast<LibExprNode*>(manager.ChildAt(1));
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->GetExpression(), nullptr);
  EXPECT_EQ(node->LinkedObject(), nullptr);

  // A good expression held by an equation outlives its node.
  ASSERT_EQ(SetExpression(SimLibraryMgr::kSet, SimLibraryMgr::kExpressionItem, {{2, "Good"}}, 1.0),
            0u);
  auto* held = static_cast<Expression*>(manager.ChildAt(2)->LinkedObject());
  ASSERT_NE(held, nullptr);
  held->AddRef();
  EXPECT_EQ(Delete(2), 0u);
  held->Release();
}

// A built problem is bound to the library's procedure definitions: a library
// edit gives it up, as an instance edit does, so that nothing freed by the
// edit is evaluated and the next preparation binds afresh.
TEST(LibraryMgrProblem, AnEditGivesUpTheBuiltProblem) {
  testsupport::TempDir folder;
  testsupport::ScopedCurrentFolder here{folder.path()};
  DseServerRegistry registry;
  SimProblemMgr problem_manager(&registry);
  SimLibraryMgr* library = problem_manager.Library();
  ASSERT_EQ(registry.FindServer(SimLibraryMgr::kService), library);
  MessagePtr set = Request(SimLibraryMgr::kSet, SimLibraryMgr::kProcedureItem);
  Writer(*set).Placement({{4, "Props"}, {2, "Flash"}});
  WriteDefinition(*set, "flash");
  testsupport::ReadAsWritten(*set);
  DseMessage* reply = nullptr;
  ASSERT_EQ(library->HandleRequest(61, set.get(), &reply, nullptr), 0u);
  EXPECT_EQ(GetCurrentProblem(), nullptr);  // nothing was built to give up

  DAESCreateProblem(problem_manager.Instances(), 0, nullptr);
  ASSERT_NE(GetCurrentProblem(), nullptr);
  problem_manager.SetStatusBits(run_bits::kPrepared);
  MessagePtr replace = Request(SimLibraryMgr::kReplace, SimLibraryMgr::kProcedureItem);
  Writer(*replace).Placement({{4, "Props"}, {2, "Flash"}});
  WriteDefinition(*replace, "flash2");
  testsupport::ReadAsWritten(*replace);
  EXPECT_EQ(library->HandleRequest(61, replace.get(), &reply, nullptr), 0u);
  EXPECT_EQ(reply, nullptr);
  EXPECT_EQ(GetCurrentProblem(), nullptr);
  EXPECT_TRUE(problem_manager.CheckProblemMarked());
  EXPECT_EQ(problem_manager.StatusBits() & run_bits::kPrepared, 0u);
}

// While the server thread waits on the client inside an operation (a restore
// asking for confirmation), edits wait as they do for a computing step.
TEST(LibraryMgrProblem, EditsWaitWhileTheEngineWaitsOnTheClient) {
  testsupport::TempDir folder;
  testsupport::ScopedCurrentFolder here{folder.path()};
  DseServerRegistry registry;
  SimProblemMgr problem_manager(&registry);
  SimLibraryMgr* library = problem_manager.Library();
  DAESCreateProblem(problem_manager.Instances(), 0, nullptr);
  ASSERT_NE(GetCurrentProblem(), nullptr);
  auto edit = [&] {
    MessagePtr set = Request(SimLibraryMgr::kSet, SimLibraryMgr::kProcedureItem);
    Writer(*set).Placement({{4, "Props"}, {2, "Flash"}});
    WriteDefinition(*set, "flash");
    testsupport::ReadAsWritten(*set);
    DseMessage* reply = nullptr;
    const Status s = library->HandleRequest(61, set.get(), &reply, nullptr);
    delete reply;
    return s;
  };
  problem_manager.HoldForClient(true);
  EXPECT_EQ(edit(), 0x0032000Au);
  EXPECT_NE(GetCurrentProblem(), nullptr);  // the operation's problem stays
  EXPECT_EQ(problem_manager.HandleCommand(50, 6, 0, nullptr, 0, nullptr, 0, nullptr), 0x0032000Au);
  problem_manager.HoldForClient(false);
  EXPECT_EQ(edit(), 0u);
  EXPECT_EQ(GetCurrentProblem(), nullptr);
}

}  // namespace
