// Object references of client requests: an id path resolved in the
// instance tree to the variable of the object it names, with its column in
// the current problem.
#include <gtest/gtest.h>

#include "control/managers/instance_mgr.h"
#include "control/problem/problem_manager.h"
#include "daes/instance/instance_node.h"
#include "daes/model/variable.h"
#include "foundation/directory/id_path.h"
#include "foundation/interfaces/current_objects.h"
#include "framework/messaging/message.h"
#include "tests/framework/message_helpers.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"

namespace {

class ObjectReferenceTest : public ::testing::Test {
 protected:
  // The path's message form, read back from its first byte.
  std::unique_ptr<DseMessage> PathMessage(std::initializer_list<std::uint32_t> ids) {
    auto message = std::make_unique<DseMessage>(113, DseMessage::kRequest);
    BvuIdPath path;
    for (std::uint32_t id : ids) EXPECT_EQ(path.Append(id), 0u);
    EXPECT_EQ(path.Write(*message), 0u);
    testsupport::ReadAsWritten(*message);
    return message;
  }

  testsupport::TempDir folder;
  testsupport::ScopedCurrentFolder here{folder.path()};
  SimProblemMgr manager{nullptr};
};

TEST_F(ObjectReferenceTest, APathToAVariableGivesItAndAnythingElseGivesNone) {
  SimInstanceMgr* tree = manager.Instances();
  ASSERT_NE(tree, nullptr);
  auto* unit = new DAESInstanceNode(tree, nullptr);
  ASSERT_EQ(tree->InsertChildAt(40, unit), 0u);
  auto* level = new DAESRealVariable(unit, "level");
  ASSERT_EQ(unit->InsertChildAt(3, level), 0u);
  DAESProblem* current = GetCurrentProblem();
  SetCurrentProblem(nullptr);

  QLNVariable* variable = nullptr;
  std::int32_t index = -1;
  auto found = PathMessage({40, 3});
  ASSERT_EQ(manager.ReadObjectReference(*found, &variable, &index), 0u);
  EXPECT_EQ(variable, static_cast<QLNVariable*>(level));
  // Not in a problem: no column.
  EXPECT_EQ(index, 0);

  // The unit itself holds no variable; a missing step resolves to nothing.
  for (auto ids : {std::initializer_list<std::uint32_t>{40},
                   std::initializer_list<std::uint32_t>{40, 9}}) {
    auto message = PathMessage(ids);
    variable = level;
    EXPECT_EQ(manager.ReadObjectReference(*message, &variable, &index), 0u);
    EXPECT_EQ(variable, nullptr);
  }

  // A path cut short is the stream's failure.
  DseMessage empty(113, DseMessage::kRequest);
  testsupport::ReadAsWritten(empty);
  EXPECT_TRUE(status::IsFailure(manager.ReadObjectReference(empty, &variable, &index)));
  SetCurrentProblem(current);
}

}  // namespace
