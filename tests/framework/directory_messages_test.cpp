// Tree transfers through real messages, including bodies that span several
// segments; the id paths and the readers' refusals are the directory tree's
// own tests.
#include <gtest/gtest.h>

#include <string>

#include "foundation/directory_node.h"
#include "framework/message.h"
#include "tests/foundation/tree_samples.h"
#include "tests/framework/message_helpers.h"

namespace {

using testsupport::AddChild;
using testsupport::BodyOf;
using testsupport::Outline;
using testsupport::SampleTree;

TEST(DirectoryMessages, WrittenTreeIsByteExactInAMessage) {
  SampleTree tree("R");
  AddChild(tree.root(), 0, "a");
  AddChild(tree.root(), 2, ".b");
  DseMessage sent(60, DseMessage::kRequest);
  ASSERT_EQ(tree.root()->WriteTree(sent, nullptr, nullptr), status::kOk);
  EXPECT_TRUE(testsupport::SameBytes(
      testsupport::HexBytes("0C FFFFFF 030000 5200 01 000000 030000 6100 FF 01 020000 030000 2E6200 FF FF"),
      BodyOf(sent)));
}

TEST(DirectoryMessages, TreeDescriptionsReadAcrossSegments) {
  // 330 records of about 30 bytes: the body runs over several 4 KB segments.
  DseMessage sent(60, DseMessage::kRequest);
  SampleTree original;
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
  SampleTree copy;
  ASSERT_EQ(copy.root()->ReadTree(*testsupport::Received(sent), nullptr, nullptr), status::kOk);
  EXPECT_EQ(Outline(copy.root()), Outline(original.root()));
}

}  // namespace
