#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "framework/messaging/message.h"
#include "results/snapshots/snapshot_text.h"
#include "tests/framework/message_helpers.h"
#include "tests/results/snapshot_text_fakes.h"

namespace {

using snaptext::AddReal;
using snaptext::AddTyped;
using snaptext::AddUseData;

void StampFixed(SimSnapshotTextRecord& record) {
  record.id = 7;
  record.date = 7u | 3u << 8 | 26u << 16 | 20u << 24;  // 7 March 2026
  record.time_of_day = 5u | 4u << 8 | 13u << 16;       // 13:04:05
  record.position = {2.5, 1, 3};
}

TEST(SnapshotText, GoldenTextOfATreeWithTwoParents) {
  SimSnapshotTextRecord record;
  StampFixed(record);
  auto& values = record.Values();
  BvuDirectoryProper* root = record.Tree();
  AddUseData(root, {"Plant", ".Tank1", ".Level"}, AddReal(values, 1.5), 4);
  AddUseData(root, {"Plant", ".Tank1", ".Level", ".Derivative"}, AddReal(values, 0.0), 8);
  AddUseData(root, {"Plant", ".Tank1", ".Label"},
             AddTyped(values, SUValue::kString, 0, "say \"hi\""), 1);
  AddUseData(root, {"Plant", ".Tank1", ".On"}, AddTyped(values, SUValue::kLogical, 1, nullptr), 1);
  AddUseData(root, {"Plant", ".Tank2", ".Level"}, AddReal(values, -2.0), 1);
  SimUseData* t = AddUseData(root, {"Plant", ".Tank2", ".T"}, SimUseData::kArray, 0);
  t->elements = {6, 7};
  AddUseData(root, {"Plant", ".Tank2", ".T", "(1)"}, AddReal(values, 3.0), 32);
  SimUseData* second = AddUseData(root, {"Plant", ".Tank2", ".T", "(2)"}, AddReal(values, 4.0), 16);
  second->extra = 12;
  AddUseData(root, {"Other", ".N"}, AddTyped(values, SUValue::kInteger, 7, nullptr), 4);

  EXPECT_EQ(SnapshotText(record),
            "Snapshot snap0007\r\n"
            "// Start of Snapshot Header Information. Please don't modify or move.\r\n"
            "description : \"None Supplied\";\r\n"
            "solution_date : \"07-03-2026 13:04:05\";\r\n"
            "Solution_Time : 2.5;\r\n"
            "Solution_Convergence : 3;\r\n"
            "Run_Number : 1;\r\n"
            "// End of Snapshot Header Information.\r\n"
            "WITHIN Plant\r\n"
            "WITHIN Tank1\r\n"
            "Level: 1.500000000000000, FIXED;\r\n"
            "$Level: 0.000000000000000, INITIAL;\r\n"
            "Label: TEXT say \"hi\"\r\nENDTEXT;\r\n"
            "On: True;\r\n"
            "ENDWITHIN;\r\n"
            "WITHIN Tank2\r\n"
            "Level: -2.000000000000000, FREE;\r\n"
            "T(1): 3.000000000000000, VARY;\r\n"
            "T(2): 4.000000000000000, OBJECTIVE, 12;\r\n"
            "ENDWITHIN;\r\n"
            "ENDWITHIN;\r\n"
            "WITHIN Other\r\n"
            "N: 7;\r\n"
            "ENDWITHIN;\r\n"
            "END\r\n");
}

TEST(SnapshotText, HeaderFieldsAndPlainValues) {
  SimSnapshotTextRecord record;
  StampFixed(record);
  record.has_header = false;
  record.description = "after start-up";
  record.notes = "checked";
  auto& values = record.Values();
  // At the top level: no block; a derivative of code 8 alone reads FREE.
  AddUseData(record.Tree(), {"x"}, AddReal(values, 0.1), 8);
  AddUseData(record.Tree(), {"s"}, AddTyped(values, SUValue::kString, 0, "plain"), 2);
  AddUseData(record.Tree(), {"gone"}, 99, 1);  // no record: no statement
  const std::string text = SnapshotText(record);
  EXPECT_EQ(text.substr(0, 19), "Snapshot snap0000\r\n");
  EXPECT_NE(text.find("description : \"after start-up\";\r\n"), std::string::npos);
  EXPECT_NE(text.find("user_notes : \"checked\";\r\n// End of"), std::string::npos);
  EXPECT_NE(text.find("\r\nx: 0.1000000000000000, FREE;\r\ns: \"plain\";\r\nEND\r\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("gone"), std::string::npos);
}

// The statements of a text with their full paths, read back through the
// WITHIN / ENDWITHIN nesting; "!" marks a nesting that does not close.
std::vector<std::string> PathsOfText(const std::string& text) {
  std::vector<std::string> paths;
  std::vector<std::string> open;
  std::istringstream in(text);
  std::string line;
  bool body = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "// End of Snapshot Header Information.") {
      body = true;
      continue;
    }
    if (!body) continue;
    if (line.rfind("WITHIN ", 0) == 0) {
      open.push_back(line.substr(7));
    } else if (line == "ENDWITHIN;") {
      if (open.empty()) return {"!"};
      open.pop_back();
    } else if (line == "END") {
      if (!open.empty()) paths.push_back("!");
    } else {
      std::string path;
      for (const std::string& block : open) path += block + ".";
      path += line.substr(0, line.find(':'));
      paths.push_back(path);
    }
  }
  return paths;
}

TEST(SnapshotText, SiblingUnitsWithTheSameInnerNamesCloseTheirBlocks) {
  SimSnapshotTextRecord record;
  auto& values = record.Values();
  AddUseData(record.Tree(), {"A", ".X", ".Y", ".v1"}, AddReal(values, 1), 1);
  AddUseData(record.Tree(), {"B", ".X", ".Y", ".v2"}, AddReal(values, 2), 1);
  EXPECT_EQ(PathsOfText(SnapshotText(record)), (std::vector<std::string>{"A.X.Y.v1", "B.X.Y.v2"}));
}

TEST(SnapshotText, NestingOfRandomTreesGivesEveryStatementItsPath) {
  std::mt19937 random(37);
  const char* names[] = {"A", "B", "X", "Y"};
  for (int round = 0; round < 200; ++round) {
    SimSnapshotTextRecord record;
    std::vector<std::string> expected;
    const int count = 1 + static_cast<int>(random() % 12);
    for (int i = 0; i < count; ++i) {
      std::vector<std::string> path;
      std::string full;
      const int depth = 1 + static_cast<int>(random() % 4);
      for (int d = 0; d < depth; ++d) {
        std::string name = names[random() % 4];
        full += (d == 0 ? "" : ".") + name;
        path.push_back((d == 0 ? "" : ".") + name);
      }
      // A leaf name of its own, so every statement is a new node.
      const std::string leaf = "v" + std::to_string(i);
      path.push_back("." + leaf);
      AddUseData(record.Tree(), path, AddReal(record.Values(), i), 1);
    }
    // The walk's order: pre-order over the tree as built.
    std::vector<std::pair<BvuDirectoryNode*, std::string>> stack{{record.Tree(), ""}};
    while (!stack.empty()) {
      auto [node, prefix] = stack.back();
      stack.pop_back();
      if (node->GetKind() == SimUseData::kKind) expected.push_back(prefix);
      for (std::int32_t c = node->HighIndex(); c >= node->LowIndex(); --c) {
        BvuDirectoryNode* child = node->ChildAt(c);
        if (child == nullptr) continue;
        std::string name = child->Name();
        if (name[0] == '.') name.erase(0, 1);
        stack.push_back({child, prefix.empty() ? name : prefix + "." + name});
      }
    }
    ASSERT_EQ(PathsOfText(SnapshotText(record)), expected) << "round " << round;
  }
}

TEST(SnapshotText, UseDataNodesKeepEveryFieldThroughAMessage) {
  auto* root = new BvuDirectoryProper(nullptr, "");
  SimUseData* array = AddUseData(root, {"U", ".A"}, SimUseData::kArray, 2);
  array->type = 0x104;
  array->elements = {SimUseData::kArray, 3, 0xFFFFFFFEu};
  SimUseData* scalar = AddUseData(root, {"U", ".s"}, 9, 64);
  scalar->type = SUValue::kReal;
  DseMessage sent(55, DseMessage::kRequest);
  ASSERT_EQ(WriteUseDataTree(root, sent), 0u);
  auto received = testsupport::Received(sent);
  auto* copy = new BvuDirectoryProper(nullptr, "");
  ASSERT_EQ(copy->ReadTree(*received, ReadUseDataNode, nullptr), 0u);

  auto* u = snaptext::ChildNamed(copy, "U");
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(u->GetKind(), kBvuDirectoryKind);
  auto* a = snaptext::ChildNamed(u, ".A");
  auto* s = snaptext::ChildNamed(u, ".s");
  ASSERT_TRUE(a != nullptr && a->GetKind() == SimUseData::kKind);
  ASSERT_TRUE(s != nullptr && s->GetKind() == SimUseData::kKind);
  const auto& read_array = *static_cast<SimUseData*>(a);
  EXPECT_EQ(read_array.variable_index, SimUseData::kArray);
  EXPECT_EQ(read_array.type, 0x104);
  EXPECT_EQ(read_array.attribute, 2u);
  EXPECT_EQ(read_array.elements, array->elements);
  EXPECT_EQ(static_cast<SimUseData*>(s)->variable_index, 9u);
  EXPECT_EQ(static_cast<SimUseData*>(s)->attribute, 64u);
  for (BvuDirectoryProper* tree : {root, copy}) {
    BvuDirectoryProper::DeleteBelow(tree);
    delete tree;
  }
}

// A record as the client sends it, with its tree and values.
testsupport::Bytes RecordBody(std::uint16_t kind) {
  SimSnapshotTextRecord record;
  StampFixed(record);
  record.kind = kind;
  record.name = "Steady State";
  record.description = "first";
  record.text = "Snapshot snap0001\r\n";
  AddUseData(record.Tree(), {"P", ".x"}, AddReal(record.Values(), 4.25), 4);
  AddUseData(record.Tree(), {"P", ".s"}, AddTyped(record.Values(), SUValue::kString, 0, "t"), 1);
  DseMessage sent(55, DseMessage::kRequest);
  EXPECT_EQ(record.WriteToMessage(sent), 0u);
  return testsupport::BodyOf(sent);
}

TEST(SnapshotTextRecord, ReadsWhatItsWriterSends) {
  for (std::uint16_t kind : {std::uint16_t{139}, SimSnapshotTextRecord::kTextKind}) {
    auto received = testsupport::ReceivedBody(RecordBody(kind));
    SimSnapshotTextRecord record;
    ASSERT_EQ(record.ReadFromMessage(*received), 0u);
    EXPECT_EQ(record.kind, kind);
    EXPECT_EQ(record.id, 7u);
    EXPECT_EQ(record.name, "Steady State");
    EXPECT_EQ(record.description, "first");
    EXPECT_EQ(record.position.time, 2.5);
    EXPECT_EQ(record.position.run, 1);
    EXPECT_EQ(record.position.count, 3);
    SputSSBlockHeader header;
    record.FillBlockHeader(&header);
    EXPECT_EQ(header.Id(), 7u);
    EXPECT_EQ(header.DateWord(), record.date);
    if (kind == SimSnapshotTextRecord::kTextKind) {
      EXPECT_EQ(record.text, "Snapshot snap0001\r\n");
      continue;
    }
    const std::string text = SnapshotText(record);
    EXPECT_NE(text.find("WITHIN P\r\nx: 4.250000000000000, FIXED;\r\ns: \"t\";\r\nENDWITHIN;"),
              std::string::npos)
        << text;
  }
}

TEST(SnapshotTextRecord, ACutOrScrambledMessageFailsWithoutHarm) {
  for (std::uint16_t kind : {std::uint16_t{139}, SimSnapshotTextRecord::kTextKind}) {
    const testsupport::Bytes body = RecordBody(kind);
    for (std::size_t cut = 0; cut < body.size(); ++cut) {
      auto received = testsupport::ReceivedBody({body.begin(), body.begin() + cut});
      SimSnapshotTextRecord record;
      EXPECT_TRUE(status::IsFailure(record.ReadFromMessage(*received))) << "cut at " << cut;
      SnapshotText(record);  // whatever was read still writes
    }
  }
  std::mt19937 random(1137);
  const testsupport::Bytes body = RecordBody(139);
  for (int round = 0; round < 2000; ++round) {
    testsupport::Bytes bytes = body;
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int f = 0; f < flips; ++f)
      bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
    auto received = testsupport::ReceivedBody(bytes);
    SimSnapshotTextRecord record;
    record.ReadFromMessage(*received);
    SnapshotText(record);
  }
}

}  // namespace
