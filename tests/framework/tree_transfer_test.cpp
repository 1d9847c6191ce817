// Trees and id paths written into and read from a message body.
#include <gtest/gtest.h>

#include "foundation/directory/directory_iterator.h"

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/directory/directory_node.h"
#include "foundation/directory/id_path.h"
#include "message_helpers.h"
#include "tests/foundation/tree_samples.h"
#include "tests/support/capture_sink.h"
#include "tests/support/golden.h"

namespace {

using testsupport::AddChild;
using testsupport::BodyOf;
using testsupport::HexBytes;
using testsupport::MessagePtr;
using testsupport::Outline;
using testsupport::Received;
using testsupport::ReceivedBody;
using testsupport::SameBytes;
using testsupport::SampleTree;

Status MarkNode(BvuDirectoryNode*, BvuBinaryStream& stream, void*) { return stream.PutUInt8(0x7E); }

TEST(WriteTree, WritesTheWholeTreeFromAnyNodeWithTheCallbacksBytesAfterEachRecord) {
  SampleTree tree("R");
  AddChild(tree.root(), 0, "a");
  BvuDirectoryProper* b = AddChild(tree.root(), 2, ".b");
  const std::pair<BvuTreeWriter, const char*> cases[] = {
      // Tag, index, kind, the name with its 16-bit length, and a plain flag.
      {nullptr,
       "0C FFFFFF 030000 0200 5200 00 01 000000 030000 0200 6100 00 FF "
       "01 020000 030000 0300 2E6200 00 FF FF"},
      {MarkNode,
       "0C FFFFFF 030000 0200 5200 7E 01 000000 030000 0200 6100 7E FF "
       "01 020000 030000 0300 2E6200 7E FF FF"},
  };
  for (const auto& [callback, bytes] : cases) {
    DseMessage sent(60, DseMessage::kRequest);
    ASSERT_EQ(b->WriteTree(sent, callback, nullptr), status::kOk);
    EXPECT_TRUE(SameBytes(HexBytes(bytes), BodyOf(sent)));
  }
  // A failed write ends the walk with its status.
  DseMessage refused(60, DseMessage::kRequest);
  const BvuTreeWriter full = [](BvuDirectoryNode*, BvuBinaryStream&, void*) -> Status {
    return 0x80000007u;
  };
  EXPECT_EQ(tree.root()->WriteTree(refused, full, nullptr), 0x80000007u);
}

// The client's form of a tree description.
class Description {
 public:
  Description& Node(std::uint8_t tag, std::uint32_t index, const std::string& name,
                    std::uint8_t flag = 0, std::uint32_t kind = 3) {
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
  // The description as its reader receives it; each call a fresh copy.
  MessagePtr stream() { return Received(stream_); }
  testsupport::Bytes Bytes() const { return BodyOf(stream_); }

 private:
  DseMessage stream_{60, DseMessage::kRequest};
};

class ValueNode : public BvuDirectoryProper {
 public:
  ValueNode(BvuDirectoryNode* parent, std::uint32_t value)
      : BvuDirectoryProper(parent, "made"), value(value) {}
  std::int32_t GetKind() override { return 12; }
  std::uint32_t value;
};

Status BuildValueNode(BvuBinaryStream& stream, BvuDirectoryNode* parent, std::int32_t,
                      std::int32_t kind, const char*, void* argument, BvuDirectoryNode** node) {
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
  description.Node(12, 0xFFFFFF, "")
      .Node(1, 2, "P", 1, 12)
      .Data(41)
      .Node(1, 0, ".q")
      .Up()
      .Up()
      .Up();
  SampleTree tree;
  int calls = 0;
  ASSERT_EQ(tree.root()->ReadTree(*description.stream(), BuildValueNode, &calls), status::kOk);
  EXPECT_EQ(calls, 1);
  auto* made = dynamic_cast<ValueNode*>(tree.root()->ChildAt(2));
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->value, 41u);
  EXPECT_STREQ(made->Name(), "P");
  EXPECT_EQ(made->Parent(), tree.root());
  EXPECT_EQ(Outline(tree.root()), "2:P{0:.q}");
}

// A value node as BuildValueNode reads it back; any other node plain.
Status WriteValueNode(BvuDirectoryNode* node, BvuBinaryStream& stream, void*) {
  auto* made = dynamic_cast<ValueNode*>(node);
  if (made == nullptr) return stream.PutUInt8(0);
  const Status s = stream.PutUInt8(1);
  return status::IsSuccess(s) ? stream.PutUInt32(made->value) : s;
}

TEST(WriteTree, WhatItWritesReadsBackWhole) {
  SampleTree tree("R");
  BvuDirectoryProper* unit = AddChild(tree.root(), 0, "Unit");
  AddChild(AddChild(unit, 3, ".x"), 1, "(1)");
  auto* made = new ValueNode(unit, 41);
  ASSERT_EQ(unit->InsertChildAt(7, made), status::kOk);
  // Names about the old reader's limit of 254 bytes, the instance reader's
  // 255, and the longest a message carries in one piece.
  for (std::size_t length : {254u, 255u, 256u, 3979u})
    AddChild(tree.root(), static_cast<std::int32_t>(length), std::string(length, 'n').c_str());
  for (BvuTreeWriter writer : {static_cast<BvuTreeWriter>(nullptr), &WriteValueNode}) {
    DseMessage sent(60, DseMessage::kRequest);
    ASSERT_EQ(made->WriteTree(sent, writer, nullptr), status::kOk);
    const MessagePtr received = Received(sent);
    SampleTree copy;
    int calls = 0;
    ASSERT_EQ(copy.root()->ReadTree(*received, BuildValueNode, &calls), status::kOk);
    EXPECT_EQ(Outline(copy.root()), Outline(tree.root()));
    EXPECT_EQ(received->RemainingBytes(), 0u);
    // The value node is rebuilt by the reader only when its data was written.
    EXPECT_EQ(calls, writer != nullptr ? 1 : 0);
    auto* again = dynamic_cast<ValueNode*>(copy.root()->ChildAt(0)->ChildAt(7));
    EXPECT_EQ(again != nullptr, writer != nullptr);
    if (again != nullptr) {
      EXPECT_EQ(again->value, 41u);
    }
  }
}

TEST(ReadTree, EndsWhenTheWalkLeavesTheStartNode) {
  SampleTree tree;
  BvuDirectoryProper* start = AddChild(tree.root(), 0, "S");
  Description description;
  description.Node(1, 5, ".x").Up().Up().Node(1, 1, "Stray").Up();
  const MessagePtr message = description.stream();
  ASSERT_EQ(start->ReadTree(*message, nullptr, nullptr), status::kOk);
  EXPECT_EQ(Outline(tree.root()), "0:S{5:.x}");
  EXPECT_EQ(message->RemainingBytes(), 17u);
}

TEST(ReadTree, ANodeSentAgainReplacesTheOneAtItsIndexWithItsSubtree) {
  SampleTree tree;
  Description first;
  first.Node(1, 3, "first").Node(1, 0, ".old").Up().Up().Node(1, 4, "kept").Up().Up();
  ASSERT_EQ(tree.root()->ReadTree(*first.stream(), nullptr, nullptr), status::kOk);
  Description again;
  again.Node(1, 3, "second", 1, 12)
      .Data(7)
      .Node(1, 1, ".new")
      .Up()
      .Up()
      .Node(1, 3, "third")
      .Up()
      .Up();
  int calls = 0;
  ASSERT_EQ(tree.root()->ReadTree(*again.stream(), BuildValueNode, &calls), status::kOk);
  EXPECT_EQ(Outline(tree.root()), "3:third 4:kept");
  // A node the reader fails to build leaves the one there in place.
  Description broken;
  broken.Node(1, 3, "fourth", 1, 12);
  EXPECT_EQ(tree.root()->ReadTree(*broken.stream(), BuildValueNode, &calls), 0x8000FFFFu);
  EXPECT_EQ(Outline(tree.root()), "3:third 4:kept");
}

TEST(ReadTree, RefusesAFlaggedStartRecordAndTruncation) {
  SampleTree tree;
  Description flagged;
  flagged.Node(12, 0xFFFFFF, "", 1).Up();
  EXPECT_EQ(tree.root()->ReadTree(*flagged.stream(), nullptr, nullptr), kBvuTreeStartWithData);
  Description longer;
  longer.Node(1, 5, std::string(255, 'n')).Up().Up();
  EXPECT_EQ(tree.root()->ReadTree(*longer.stream(), nullptr, nullptr), status::kOk);
  EXPECT_EQ(std::string(tree.root()->ChildAt(5)->Name()), std::string(255, 'n'));
  Description whole;
  whole.Node(1, 6, "a").Node(1, 0, ".b").Up().Up().Up();
  const auto bytes = whole.Bytes();
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    SampleTree fresh;
    const MessagePtr truncated =
        ReceivedBody({bytes.begin(), bytes.begin() + static_cast<long>(cut)});
    EXPECT_EQ(fresh.root()->ReadTree(*truncated, nullptr, nullptr), 0x8000FFFFu) << cut;
  }
}

// A chain deeper than any model is refused; one built otherwise is deleted
// without a stack frame per level (300,000 levels overflowed the stack).
TEST(ReadTree, RefusesTooDeepAChainAndDeepTreesAreDeletedWithoutRecursion) {
  SampleTree tree;
  Description deep;
  for (int level = 0; level <= 10000; ++level) deep.Node(1, 0, "");
  EXPECT_EQ(tree.root()->ReadTree(*deep.stream(), nullptr, nullptr), status::kBadArguments);
  SampleTree chain;
  BvuDirectoryNode* bottom = chain.root();
  for (int level = 0; level < 300000; ++level) bottom = AddChild(bottom, 0, "");
  AddChild(chain.root(), 1, "kept");
  chain.root()->ChildAt(0)->DeleteChildren();
  EXPECT_EQ(Outline(chain.root()), "0: 1:kept");
}

// A node that counts the children asked of it.
class CountingNode : public BvuDirectoryProper {
 public:
  CountingNode(BvuDirectoryNode* parent, int* asked)
      : BvuDirectoryProper(parent, "n"), asked_(asked) {}
  BvuDirectoryNode* ChildAt(std::int32_t index) override {
    ++*asked_;
    return BvuDirectoryProper::ChildAt(index);
  }

 private:
  int* asked_;
};

// Children at the ends of the index range: every walk asks only for the
// children there, not for the sixteen million indices between.
TEST(LookupTable, WalksAskOnlyForTheChildrenHeld) {
  int asked = 0;
  SampleTree tree;
  BvuDirectoryNode* parent = tree.root();
  for (int level = 0; level < 3; ++level) {
    auto* node = new CountingNode(parent, &asked);
    ASSERT_EQ(parent->InsertChildAt(level == 0 ? 0 : kBvuHighestIndex, node), status::kOk);
    AddChild(node, 0, ".low");
    parent = node;
  }
  EXPECT_EQ(tree.root()->WalkPostOrder(
                [](BvuDirectoryNode*, void*) -> Status { return status::kOk; }, nullptr),
            status::kOk);
  DseMessage written(60, DseMessage::kRequest);
  EXPECT_EQ(tree.root()->WriteTree(written, nullptr, nullptr), status::kOk);
  BvuDirectoryIterator* iterator = nullptr;
  int found = 0;
  for (BvuDirectoryNode* node = tree.root()->FindFirstMatch(nullptr, &iterator); node != nullptr;
       ++found) {
    if (iterator->NextMatch(&node) != status::kOk) node = nullptr;
  }
  DeleteDirectoryIterator(iterator);
  EXPECT_EQ(found, 6);
  tree.root()->ChildAt(0)->DeleteChildren();
  EXPECT_LT(asked, 100);
}

// An id path with names in its message form; steps without a name are the
// markers.
MessagePtr IdPathMessage(bool named,
                         std::initializer_list<std::pair<std::uint32_t, const char*>> steps) {
  DseMessage stream(60, DseMessage::kRequest);
  stream.PutUInt8(named ? 1 : 0);
  stream.PutUInt16(static_cast<std::uint16_t>(steps.size()));
  for (const auto& [id, name] : steps) {
    stream.PutUInt24(id);
    if (named && name != nullptr) stream.PutCString(name);
  }
  return Received(stream);
}

TEST(IdPath, TravelsThroughAMessageAndResolvesFromAnyNode) {
  SampleTree tree;
  BvuDirectoryProper* a = AddChild(tree.root(), 2, "A");
  BvuDirectoryProper* b = AddChild(a, 0, ".b");
  // A path made with both markers is filled between them.
  BvuIdPath path(true);
  path.Append(kIdPathRoot);
  path.Append(kIdPathEnd);
  ASSERT_EQ(b->GetIdPath(&path), status::kOk);
  std::ostringstream printed;
  path.Print(printed);
  EXPECT_EQ(printed.str(), "ABS.2.0.END\n");
  DseMessage message(60, DseMessage::kRequest);
  ASSERT_EQ(path.Write(message), status::kOk);
  EXPECT_TRUE(testsupport::SameBytes(
      testsupport::HexBytes("01 04 00 FFFFFF 020000 0100 00 000000 0100 00 FEFFFF"),
      BodyOf(message)));
  BvuDirectoryNode* found = nullptr;
  EXPECT_EQ(tree.root()->ChildAt(2)->ReadIdPath(*Received(message), &found), status::kOk);
  EXPECT_EQ(found, b);
  a->DeleteChildren();
  EXPECT_EQ(tree.root()->ReadIdPath(*Received(message), &found), status::kGeneralFailure);
}

// Reads a path with names from the message made of `steps`, from `start`.
struct NamedRead {
  Status status;
  BvuDirectoryNode* parent = nullptr;
  std::int32_t index = -1;
  std::string name;
};

NamedRead ReadNamed(BvuDirectoryNode* start, const MessagePtr& message, bool rename) {
  NamedRead r;
  r.status = start->ReadIdPathWithNames(*message, &r.parent, &r.index, &r.name, rename);
  return r;
}

TEST(IdPathWithNames, CreatesIntermediateNodesAndHandsBackTheLastStep) {
  SampleTree tree;
  BvuDirectoryProper* other = AddChild(tree.root(), 9, "Other");
  const NamedRead r = ReadNamed(
      other,
      IdPathMessage(true, {{kIdPathRoot, nullptr}, {2, "Unit"}, {4, ".Tank"}, {5, ".Level"}}),
      false);
  ASSERT_EQ(r.status, status::kOk);
  EXPECT_EQ(Outline(tree.root()), "2:Unit{4:.Tank} 9:Other");
  EXPECT_STREQ(r.parent->GetNameText(), "Unit.Tank");
  EXPECT_EQ(r.index, 5);
  EXPECT_EQ(r.name, ".Level");
  // Renames only when asked and the names differ in more than letter case;
  // then a missing step is refused instead of made.
  EXPECT_EQ(ReadNamed(tree.root(), IdPathMessage(true, {{2, "UNIT"}, {1, ".x"}}), true).status,
            status::kOk);
  EXPECT_STREQ(tree.root()->ChildAt(2)->Name(), "Unit");
  EXPECT_EQ(ReadNamed(tree.root(), IdPathMessage(true, {{2, "Mixer"}, {1, ".x"}}), true).parent,
            tree.root()->ChildAt(2));
  EXPECT_EQ(ReadNamed(tree.root(), IdPathMessage(true, {{3, "New"}, {1, ".x"}}), true).status,
            kBvuNoSuchChild);
  EXPECT_EQ(Outline(tree.root()), "2:Mixer{4:.Tank} 9:Other");
}

TEST(IdPathWithNames, RefusesMissingStepsWithoutNamesOverlongNamesAndTruncation) {
  SampleTree tree;
  EXPECT_EQ(
      ReadNamed(tree.root(), IdPathMessage(false, {{2, nullptr}, {1, nullptr}}), false).status,
      kBvuNoSuchChild);
  EXPECT_EQ(ReadNamed(tree.root(), IdPathMessage(true, {{2, ""}, {1, ".x"}}), false).status,
            kBvuNoSuchChild);
  EXPECT_EQ(Outline(tree.root()), "");
  testsupport::CaptureSink sink;
  const std::string long_name(256, 'n');
  EXPECT_EQ(ReadNamed(tree.root(), IdPathMessage(true, {{2, long_name.c_str()}, {1, ".x"}}), false)
                .status,
            status::kBadArguments);
  EXPECT_EQ(sink.groups().size(), 1u);
  const std::string longest(255, 'n');
  EXPECT_EQ(
      ReadNamed(tree.root(), IdPathMessage(true, {{2, longest.c_str()}, {1, ".x"}}), false).status,
      status::kOk);
  EXPECT_EQ(Outline(tree.root()), "2:" + longest);
  DseMessage whole(60, DseMessage::kRequest);
  whole.PutUInt8(1);
  whole.PutUInt16(2);
  whole.PutUInt24(2);
  whole.PutCString("A");
  whole.PutUInt24(1);
  whole.PutCString(".x");
  auto bytes = BodyOf(whole);
  bytes.pop_back();
  EXPECT_EQ(ReadNamed(tree.root(), ReceivedBody(bytes), false).status, 0x8000FFFFu);
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
    Status s = 0;
    const BvuIdPath path(*ReceivedBody(bytes), &s);
    BvuDirectoryNode* parent = nullptr;
    std::int32_t index = -1;
    std::string name;
    s = tree.root()->ReadIdPathWithNames(*ReceivedBody(bytes), &parent, &index, &name,
                                         round % 2 == 0);
    if (status::IsSuccess(s)) {
      EXPECT_NE(parent, nullptr);
    }
    int calls = 0;
    tree.root()->ReadTree(*ReceivedBody(bytes), BuildValueNode, &calls);
    tree.root()->ReadIdPath(*ReceivedBody(bytes), &parent);
  }
}

}  // namespace
