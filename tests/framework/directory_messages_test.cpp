// The directory tree's id paths and tree transfers through real messages,
// including bodies that span several segments.
#include <gtest/gtest.h>

#include <string>

#include "foundation/directory_node.h"
#include "foundation/id_path.h"
#include "framework/message.h"
#include "tests/foundation/tree_samples.h"
#include "tests/framework/message_helpers.h"

namespace {

using testsupport::AddChild;
using testsupport::BodyOf;
using testsupport::HexBytes;
using testsupport::MessagePtr;
using testsupport::Outline;
using testsupport::Received;
using testsupport::SameBytes;
using testsupport::SampleTree;

TEST(DirectoryMessages, IdPathsGoOutAndComeBackToTheSameNode) {
  SampleTree tree;
  BvuDirectoryProper* b = AddChild(AddChild(tree.root(), 4, "A"), 2, ".b");
  BvuIdPath path;
  ASSERT_EQ(b->GetIdPath(&path), status::kOk);
  DseMessage sent(60, DseMessage::kRequest);
  ASSERT_EQ(path.Write(sent), status::kOk);
  MessagePtr received = Received(sent);
  BvuDirectoryNode* found = nullptr;
  EXPECT_EQ(tree.root()->ChildAt(4)->ReadIdPath(*received, &found), status::kOk);
  EXPECT_EQ(found, b);
}

TEST(DirectoryMessages, NamedIdPathsCreateTheirIntermediateNodes) {
  BvuIdPath path(true);
  path.Append(kIdPathRoot);
  path.Append(3, "Unit");
  path.Append(1, ".Tank");
  path.Append(7, ".Level");
  DseMessage sent(60, DseMessage::kRequest);
  ASSERT_EQ(path.Write(sent), status::kOk);
  MessagePtr received = Received(sent);
  SampleTree tree;
  BvuDirectoryNode* parent = nullptr;
  std::int32_t index = -1;
  std::string name;
  ASSERT_EQ(tree.root()->ReadIdPathWithNames(*received, &parent, &index, &name, false), status::kOk);
  EXPECT_EQ(Outline(tree.root()), "3:Unit{1:.Tank}");
  EXPECT_EQ(index, 7);
  EXPECT_EQ(name, ".Level");
}

TEST(DirectoryMessages, WrittenTreeIsByteExactInAMessage) {
  SampleTree tree("R");
  AddChild(tree.root(), 0, "a");
  AddChild(tree.root(), 2, ".b");
  DseMessage sent(60, DseMessage::kRequest);
  ASSERT_EQ(tree.root()->WriteTree(sent, nullptr, nullptr), status::kOk);
  EXPECT_TRUE(SameBytes(HexBytes("0C FFFFFF 030000 5200 01 000000 030000 6100 FF"
                                 "01 020000 030000 2E6200 FF FF"),
                        BodyOf(sent)));
}

TEST(DirectoryMessages, TreeDescriptionsReadAcrossSegments) {
  // About 300 records of 40 bytes: the body runs over several 4 KB segments.
  DseMessage sent(60, DseMessage::kRequest);
  SampleTree original;
  std::string expected;
  auto record = [&sent](std::uint32_t index, const std::string& name) {
    sent.PutUInt8(1);
    sent.PutUInt24(index);
    sent.PutUInt24(3);
    sent.PutCString(name.c_str());
    sent.PutUInt8(0);
  };
  for (std::uint32_t unit = 0; unit < 30; ++unit) {
    const std::string unit_name = "Unit_with_a_rather_long_name_" + std::to_string(unit);
    record(unit, unit_name);
    BvuDirectoryProper* made = AddChild(original.root(), static_cast<std::int32_t>(unit), unit_name.c_str());
    for (std::uint32_t leaf = 0; leaf < 10; ++leaf) {
      const std::string leaf_name = ".variable_number_" + std::to_string(leaf);
      record(leaf, leaf_name);
      sent.PutUInt8(0xFF);
      AddChild(made, static_cast<std::int32_t>(leaf), leaf_name.c_str());
    }
    sent.PutUInt8(0xFF);
  }
  sent.PutUInt8(0xFF);
  ASSERT_GT(BodyOf(sent).size(), 8000u);
  MessagePtr received = Received(sent);
  SampleTree copy;
  ASSERT_EQ(copy.root()->ReadTree(*received, nullptr, nullptr), status::kOk);
  EXPECT_EQ(Outline(copy.root()), Outline(original.root()));
}

}  // namespace
