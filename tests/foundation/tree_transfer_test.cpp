#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/directory/directory_node.h"
#include "foundation/directory/id_path.h"
#include "tests/foundation/tree_samples.h"
#include "tests/support/golden.h"
#include "tests/support/memory_binary_stream.h"

namespace {

using testsupport::AddChild;
using testsupport::HexBytes;
using testsupport::MemoryBinaryStream;
using testsupport::Outline;
using testsupport::SameBytes;
using testsupport::SampleTree;

Status MarkNode(BvuDirectoryNode*, BvuBinaryStream& stream, void*) { return stream.PutUInt8(0x7E); }

// The plain form's bytes are checked in a message by the framework's tests.
TEST(WriteTree, WritesTheWholeTreeFromAnyNodeWithTheCallbacksBytesAfterEachRecord) {
  SampleTree tree("R");
  AddChild(tree.root(), 0, "a");
  BvuDirectoryProper* b = AddChild(tree.root(), 2, ".b");
  MemoryBinaryStream marked;
  ASSERT_EQ(b->WriteTree(marked, MarkNode, nullptr), status::kOk);
  EXPECT_TRUE(SameBytes(HexBytes("0C FFFFFF 030000 5200 7E"
                                 "01 000000 030000 6100 7E FF"
                                 "01 020000 030000 2E6200 7E FF"
                                 "FF"),
                        marked.Bytes()));
  MemoryBinaryStream full({}, 10);
  EXPECT_EQ(tree.root()->WriteTree(full, nullptr, nullptr), 0x80000007u);
}

// The client's form of a tree description.
class Description {
 public:
  Description& Node(std::uint8_t tag, std::uint32_t index, const std::string& name, std::uint8_t flag = 0,
                    std::uint32_t kind = 3) {
    stream_.PutUInt8(tag);
    stream_.PutUInt24(index);
    stream_.PutUInt24(kind);
    stream_.PutCString(name.c_str());
    stream_.PutUInt8(flag);
    return *this;
  }
  Description& Data(std::uint32_t value) {
    stream_.PutUInt32(value);
    return *this;
  }
  Description& Up() {
    stream_.PutUInt8(0xFF);
    return *this;
  }
  MemoryBinaryStream& stream() { return stream_; }

 private:
  MemoryBinaryStream stream_;
};

class ValueNode : public BvuDirectoryProper {
 public:
  ValueNode(BvuDirectoryNode* parent, std::uint32_t value) : BvuDirectoryProper(parent, "made"), value(value) {}
  std::int32_t GetKind() override { return 12; }
  std::uint32_t value;
};

Status BuildValueNode(BvuBinaryStream& stream, BvuDirectoryNode* parent, std::int32_t, std::int32_t kind,
                      const char*, void* argument, BvuDirectoryNode** node) {
  ++*static_cast<int*>(argument);
  std::uint32_t value = 0;
  const Status s = stream.GetUInt32(&value);
  if (status::IsFailure(s)) return s;
  *node = kind == 12 ? new ValueNode(nullptr, value) : nullptr;
  (void)parent;
  return status::kOk;
}

TEST(ReadTree, FlaggedRecordsAreBuiltByTheCallbackAndNamedAsRead) {
  Description description;
  description.Node(12, 0xFFFFFF, "").Node(1, 2, "P", 1, 12).Data(41).Node(1, 0, ".q").Up().Up().Up();
  SampleTree tree;
  int calls = 0;
  ASSERT_EQ(tree.root()->ReadTree(description.stream(), BuildValueNode, &calls), status::kOk);
  EXPECT_EQ(calls, 1);
  auto* made = dynamic_cast<ValueNode*>(tree.root()->ChildAt(2));
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->value, 41u);
  EXPECT_STREQ(made->Name(), "P");
  EXPECT_EQ(made->Parent(), tree.root());
  EXPECT_EQ(Outline(tree.root()), "2:P{0:.q}");
}

TEST(ReadTree, EndsWhenTheWalkLeavesTheStartNode) {
  SampleTree tree;
  BvuDirectoryProper* start = AddChild(tree.root(), 0, "S");
  Description description;
  description.Node(1, 5, ".x").Up().Up().Node(1, 1, "Stray").Up();
  ASSERT_EQ(start->ReadTree(description.stream(), nullptr, nullptr), status::kOk);
  EXPECT_EQ(Outline(tree.root()), "0:S{5:.x}");
  EXPECT_EQ(description.stream().Remaining(), 17u);
}

TEST(ReadTree, ANodeSentAgainReplacesTheOneAtItsIndexWithItsSubtree) {
  SampleTree tree;
  Description first;
  first.Node(1, 3, "first").Node(1, 0, ".old").Up().Up().Node(1, 4, "kept").Up().Up();
  ASSERT_EQ(tree.root()->ReadTree(first.stream(), nullptr, nullptr), status::kOk);
  Description again;
  again.Node(1, 3, "second", 1, 12).Data(7).Node(1, 1, ".new").Up().Up().Node(1, 3, "third").Up().Up();
  int calls = 0;
  ASSERT_EQ(tree.root()->ReadTree(again.stream(), BuildValueNode, &calls), status::kOk);
  EXPECT_EQ(Outline(tree.root()), "3:third 4:kept");
  // A node the reader fails to build leaves the one there in place.
  Description broken;
  broken.Node(1, 3, "fourth", 1, 12);
  EXPECT_EQ(tree.root()->ReadTree(broken.stream(), BuildValueNode, &calls), 0x8000FFFFu);
  EXPECT_EQ(Outline(tree.root()), "3:third 4:kept");
}

TEST(ReadTree, RefusesAFlaggedStartRecordLongNamesAndTruncation) {
  SampleTree tree;
  Description flagged;
  flagged.Node(12, 0xFFFFFF, "", 1).Up();
  EXPECT_EQ(tree.root()->ReadTree(flagged.stream(), nullptr, nullptr), kBvuTreeStartWithData);
  Description longest;
  longest.Node(1, 4, std::string(254, 'n')).Up().Up();
  EXPECT_EQ(tree.root()->ReadTree(longest.stream(), nullptr, nullptr), status::kOk);
  Description too_long;
  too_long.Node(1, 5, std::string(255, 'n')).Up().Up();
  EXPECT_EQ(tree.root()->ReadTree(too_long.stream(), nullptr, nullptr), status::kBadArguments);
  Description whole;
  whole.Node(1, 6, "a").Node(1, 0, ".b").Up().Up().Up();
  const auto bytes = whole.stream().Bytes();
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    SampleTree fresh;
    MemoryBinaryStream truncated(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(cut)));
    EXPECT_EQ(fresh.root()->ReadTree(truncated, nullptr, nullptr), 0x8000FFFFu) << cut;
  }
}

// A chain deeper than any model is refused; one built otherwise is deleted
// without a stack frame per level (300,000 levels overflowed the stack).
TEST(ReadTree, RefusesTooDeepAChainAndDeepTreesAreDeletedWithoutRecursion) {
  SampleTree tree;
  Description deep;
  for (int level = 0; level <= 10000; ++level) deep.Node(1, 0, "");
  EXPECT_EQ(tree.root()->ReadTree(deep.stream(), nullptr, nullptr), status::kBadArguments);
  SampleTree chain;
  BvuDirectoryNode* bottom = chain.root();
  for (int level = 0; level < 300000; ++level) bottom = AddChild(bottom, 0, "");
  AddChild(chain.root(), 1, "kept");
  chain.root()->ChildAt(0)->DeleteChildren();
  EXPECT_EQ(Outline(chain.root()), "0: 1:kept");
}

// Readers of client input meet damaged bytes: each must end with a status,
// never crash or leak (the sanitizer tree checks).
TEST(MessageReaders, SurviveRandomBytes) {
  std::mt19937 random(20240917);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> bytes(random() % 40);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    // Small ids and lengths now and then, so that reads get past the first
    // fields more often than pure noise would.
    if (bytes.size() > 6 && random() % 2 == 0) {
      bytes[1] = static_cast<std::uint8_t>(random() % 6);
      bytes[2] = 0;
      bytes[5] = 0;
      bytes[6] = 0;
    }
    SampleTree tree;
    AddChild(tree.root(), 1, "A");
    MemoryBinaryStream as_path(bytes);
    Status s = 0;
    const BvuIdPath path(as_path, &s);
    MemoryBinaryStream as_named(bytes);
    BvuDirectoryNode* parent = nullptr;
    std::int32_t index = -1;
    std::string name;
    s = tree.root()->ReadIdPathWithNames(as_named, &parent, &index, &name, round % 2 == 0);
    if (status::IsSuccess(s)) {
      EXPECT_NE(parent, nullptr);
    }
    MemoryBinaryStream as_tree(bytes);
    int calls = 0;
    tree.root()->ReadTree(as_tree, BuildValueNode, &calls);
    MemoryBinaryStream as_id_path(bytes);
    tree.root()->ReadIdPath(as_id_path, &parent);
  }
}

}  // namespace
