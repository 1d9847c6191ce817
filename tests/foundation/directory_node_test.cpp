#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/directory/directory_iterator.h"
#include "foundation/directory/directory_node.h"
#include "foundation/directory/id_path.h"
#include "foundation/directory/name_path.h"
#include "foundation/directory/name_table.h"
#include "tests/foundation/tree_samples.h"
#include "tests/support/capture_sink.h"
#include "tests/support/death.h"
#include "tests/support/fault_tests.h"

namespace {

using testsupport::AddChild;
using testsupport::Outline;
using testsupport::SampleTree;

TEST(NameTable, EqualNamesShareOneRecordInUnsignedByteOrderAndTheTableGoesWithTheLast) {
  ASSERT_EQ(BvuNameTable::Count(), 0u) << "another test left names behind";
  std::vector<BvuNameRecord*> held;
  for (const char* text : {"b", "\xC3\xA9t\xC3\xA9", "a", "B", "", "b"})
    held.push_back(BvuNameTable::Intern(text));
  EXPECT_EQ(held[5], held[0]);
  auto* node = new BvuDirectoryNode(nullptr, "b");
  EXPECT_EQ(held[0]->count, 3u);
  delete node;
  EXPECT_EQ(held[0]->count, 2u);
  std::vector<std::string> order;
  for (std::size_t at = 0; at < BvuNameTable::Count(); ++at)
    order.emplace_back(BvuNameTable::At(at)->text());
  EXPECT_EQ(order, (std::vector<std::string>{"", "B", "a", "b", "\xC3\xA9t\xC3\xA9"}));
  // The order follows every change.
  BvuNameRecord* late = BvuNameTable::Intern("A");
  EXPECT_STREQ(BvuNameTable::At(1)->text(), "A");
  BvuNameTable::Release(late);
  EXPECT_STREQ(BvuNameTable::At(1)->text(), "B");
  EXPECT_EQ(BvuNameTable::At(5), nullptr);
  for (int n = 0; n < 60; ++n)
    held.push_back(BvuNameTable::Intern(std::string("n").append(std::to_string(n)).c_str()));
  EXPECT_EQ(BvuNameTable::Capacity(), 128u);  // grows by 64
  for (BvuNameRecord* record : held) BvuNameTable::Release(record);
  EXPECT_EQ(BvuNameTable::Count(), 0u);
  EXPECT_EQ(BvuNameTable::Capacity(), 0u);
}

// A model's names come and go by the ten thousand, in any order: every name
// still held is found as its one record, every name let go is made anew.
TEST(NameTable, ManyNamesLetGoInAnyOrderLeaveTheOthersFound) {
  ASSERT_EQ(BvuNameTable::Count(), 0u) << "another test left names behind";
  constexpr int kNames = 20000;
  auto text = [](int n) { return ".unit" + std::to_string(n); };
  std::vector<BvuNameRecord*> held;
  for (int n = 0; n < kNames; ++n) held.push_back(BvuNameTable::Intern(text(n).c_str()));
  std::mt19937 random(7);
  std::vector<int> order(kNames);
  for (int n = 0; n < kNames; ++n) order[n] = n;
  std::shuffle(order.begin(), order.end(), random);
  for (int at = 0; at < kNames / 2; ++at) {
    BvuNameTable::Release(held[order[at]]);
    held[order[at]] = nullptr;
  }
  EXPECT_EQ(BvuNameTable::Count(), static_cast<std::size_t>(kNames - kNames / 2));
  for (int n = 0; n < kNames; ++n) {
    BvuNameRecord* again = BvuNameTable::Intern(text(n).c_str());
    ASSERT_STREQ(again->text(), text(n).c_str());
    if (held[n] != nullptr) {
      ASSERT_EQ(again, held[n]) << n;
      ASSERT_EQ(again->count, 2u);
      BvuNameTable::Release(again);
    } else {
      ASSERT_EQ(again->count, 1u) << n;
      held[n] = again;
    }
  }
  EXPECT_EQ(BvuNameTable::Count(), static_cast<std::size_t>(kNames));
  for (BvuNameRecord* record : held) BvuNameTable::Release(record);
  EXPECT_EQ(BvuNameTable::Count(), 0u);
}

// A node whose name record went missing.
class NamelessNode : public BvuDirectoryProper {
 public:
  explicit NamelessNode(BvuDirectoryNode* parent) : BvuDirectoryProper(parent, "gone") {
    BvuNameTable::Release(name_);
    name_ = nullptr;
  }
};

TEST(PathName, ConcatenatesNamesBelowTheRootOrStopNodeThenTheSuffix) {
  SampleTree tree("root");
  BvuDirectoryProper* plant = AddChild(tree.root(), 0, "Plant");
  BvuDirectoryProper* tank = AddChild(plant, 3, ".Tank");
  BvuDirectoryProper* one = AddChild(tank, 1, "(1)");
  std::int32_t length = -1;
  EXPECT_STREQ(one->BuildPathName(nullptr, ".Level", &length), "Plant.Tank(1).Level");
  EXPECT_EQ(length, 13);
  EXPECT_STREQ(one->BuildPathName(plant, nullptr, &length), ".Tank(1)");
  EXPECT_STREQ(tree.root()->BuildPathName(nullptr, nullptr, &length), "");
  auto* lost = new NamelessNode(tank);
  tank->InsertChildAt(2, lost);
  EXPECT_STREQ(lost->GetNameText(), "Plant.Tank.{Not Defined}");
  // Long names grow the buffer in front; a node's own text may be the suffix.
  const std::string a(30, 'a'), b = "." + std::string(70, 'b'), c = "." + std::string(200, 'c');
  BvuDirectoryNode* node =
      AddChild(AddChild(AddChild(tree.root(), 1, a.c_str()), 0, b.c_str()), 0, c.c_str());
  EXPECT_EQ(node->GetNameText(), a + b + c);
  EXPECT_EQ(std::string(node->BuildPathName(nullptr, node->GetNameText(), nullptr)),
            a + b + c + a + b + c);
}

TEST(IdPath, ResolvesFromTheRootAfterAbsAndRefusesMissingSteps) {
  SampleTree tree;
  BvuDirectoryProper* a = AddChild(tree.root(), 0, "A");
  BvuDirectoryProper* b = AddChild(a, 3, ".b");
  BvuDirectoryProper* c = AddChild(b, 7, ".c");
  AddChild(a, 5, ".e");
  BvuDirectoryNode* found = nullptr;
  const std::uint32_t absolute[] = {kIdPathRoot, 0, 3, 7, kIdPathEnd, 99};
  EXPECT_EQ(c->ResolveIdPath(absolute, &found), status::kOk);
  EXPECT_EQ(found, c);
  const std::uint32_t relative[] = {3, 7};
  EXPECT_EQ(a->ResolveIdPath(relative, &found), status::kOk);
  EXPECT_EQ(found, c);
  for (const std::uint32_t missing : {2u, 4u, 6u, 0xFFFFFDu}) {
    const std::uint32_t ids[] = {kIdPathRoot, 0, missing};
    EXPECT_EQ(c->ResolveIdPath(ids, &found), kBvuNoSuchChild) << missing;
    EXPECT_EQ(found, nullptr);
  }
}

// A node of another kind than the plain directory node.
class InstanceNode : public BvuDirectoryProper {
 public:
  using BvuDirectoryProper::BvuDirectoryProper;
  std::int32_t GetKind() override { return 15; }
};

TEST(InsertUnderPath, CreatesMissingComponentsAndANodeOfAnotherKindAdoptsTheChildren) {
  SampleTree tree;
  AddChild(tree.root(), 4, "Other");
  EXPECT_EQ(tree.root()->InsertUnderPath("Plant.Tank", new BvuDirectoryProper(nullptr, "x")),
            status::kOk);
  EXPECT_EQ(tree.root()->InsertUnderPath("Plant.Pump", new InstanceNode(nullptr, "y")),
            status::kOk);
  EXPECT_EQ(Outline(tree.root()), "4:Other 5:Plant{0:.Tank 1:.Pump}");
  BvuDirectoryNode* plant = tree.root()->ChildAt(5);
  BvuDirectoryProper* level = AddChild(plant->ChildAt(0), 7, ".Level");
  auto* instance = new InstanceNode(nullptr, "new");
  EXPECT_EQ(tree.root()->InsertUnderPath("Plant.Tank", instance), status::kOk);
  EXPECT_EQ(plant->ChildAt(0), instance);
  EXPECT_EQ(level->Parent(), instance);
  EXPECT_EQ(Outline(tree.root()), "4:Other 5:Plant{0:.Tank{7:.Level} 1:.Pump}");
  auto* same_kind = new InstanceNode(nullptr, "again");
  EXPECT_EQ(tree.root()->InsertUnderPath("Plant.Tank", same_kind), status::kGeneralFailure);
  EXPECT_EQ(plant->ChildAt(0), instance);
  delete same_kind;
  EXPECT_EQ(tree.root()->InsertUnderPath(nullptr, nullptr), status::kOk);
}

TEST(InsertUnderPath, ANodeThatCannotTakeTheChildrenIsRefusedAndTheTreeStays) {
  SampleTree tree;
  BvuDirectoryProper* tank = AddChild(AddChild(tree.root(), 0, "Plant"), 0, ".Tank");
  AddChild(tank, 3, ".Level");
  // A leaf of another kind holds no children.
  class Leaf : public BvuDirectoryNode {
   public:
    using BvuDirectoryNode::BvuDirectoryNode;
    std::int32_t GetKind() override { return 12; }
  };
  auto leaf = std::make_unique<Leaf>(nullptr, "leaf");
  EXPECT_EQ(tree.root()->InsertUnderPath("Plant.Tank", leaf.get()), status::kGeneralFailure);
  EXPECT_EQ(Outline(tree.root()), "0:Plant{0:.Tank{3:.Level}}");
  EXPECT_EQ(leaf->Parent(), nullptr);
  EXPECT_STREQ(leaf->Name(), "leaf");
  // An adopting node with a child of its own at a taken index is refused too.
  auto busy = std::make_unique<InstanceNode>(nullptr, "busy");
  auto* own = new BvuDirectoryProper(busy.get(), ".Own");
  busy->InsertChildAt(3, own);
  EXPECT_EQ(tree.root()->InsertUnderPath("Plant.Tank", busy.get()), status::kBadArguments);
  EXPECT_EQ(Outline(tree.root()), "0:Plant{0:.Tank{3:.Level}}");
  EXPECT_EQ(Outline(busy.get()), "3:.Own");
  busy->DeleteChildren();
}

TEST(DirectoryNode, ChildrenHandedBackForgetTheirParent) {
  auto* parent = new BvuDirectoryProper(nullptr, "P");
  BvuDirectoryProper* removed = AddChild(parent, 0, "a");
  BvuDirectoryProper* replaced = AddChild(parent, 1, "b");
  EXPECT_EQ(parent->RemoveChildAt(0, nullptr), status::kOk);
  EXPECT_EQ(parent->ReplaceChildAt(1, new BvuDirectoryProper(parent, "c")), replaced);
  parent->DeleteChildren();
  delete parent;
  // Neither reaches back into the deleted parent.
  for (BvuDirectoryProper* child : {removed, replaced}) {
    EXPECT_EQ(child->Parent(), nullptr);
    delete child;
  }
}

TEST(DirectoryNode, DeletingANodeTakesItOutOfItsParentAndOrphansItsChildren) {
  SampleTree tree;
  BvuDirectoryProper* a = AddChild(tree.root(), 0, "A");
  BvuDirectoryProper* b = AddChild(a, 0, ".b");
  AddChild(tree.root(), 1, "C");
  delete a;
  EXPECT_EQ(b->Parent(), nullptr);
  delete b;
  EXPECT_EQ(Outline(tree.root()), "1:C");
  tree.root()->DeleteChildren();
  EXPECT_EQ(tree.root()->HighIndex(), -2);
}

// Nodes without a parent: the table only holds their addresses.
std::vector<std::unique_ptr<BvuDirectoryNode>> MakeItems(int count) {
  std::vector<std::unique_ptr<BvuDirectoryNode>> items;
  for (int at = 0; at < count; ++at)
    items.push_back(std::make_unique<BvuDirectoryNode>(nullptr, "item"));
  return items;
}

void ExpectSameAsModel(BvuDirectoryProper& table, const std::map<int, BvuDirectoryNode*>& model,
                       int lowest_used, int highest_used) {
  ASSERT_EQ(table.HighIndex(), highest_used);
  if (highest_used < 0) {
    ASSERT_EQ(table.LowIndex(), -1);
    return;
  }
  // Growing to the back may leave empty slots below the lowest index used.
  ASSERT_GE(table.LowIndex(), 0);
  ASSERT_LE(table.LowIndex(), lowest_used);
  ASSERT_EQ(table.SlotCount(), table.HighIndex() - table.LowIndex() + 1);
  ASSERT_GE(table.Capacity(), table.SlotCount());
  // Every child, its neighbours and the ends (the span may be millions).
  std::vector<int> probes;
  for (int delta = -3; delta <= 3; ++delta) {
    probes.push_back(table.LowIndex() + delta);
    probes.push_back(table.HighIndex() + delta);
    for (const auto& entry : model) probes.push_back(entry.first + delta);
  }
  for (const int index : probes) {
    const auto found = model.find(index);
    ASSERT_EQ(table.ChildAt(index), found != model.end() ? found->second : nullptr)
        << "index " << index;
  }
  // Each item is found at the lowest index holding it, however many hold it.
  std::map<BvuDirectoryNode*, int> lowest;
  for (const auto& [index, item] : model) lowest.emplace(item, index);
  for (const auto& [item, index] : lowest) ASSERT_EQ(table.IndexOfChild(item), index);
}

TEST(LookupTable, FollowsAMapUnderRandomInsertReplaceAndRemove) {
  // Fewer items than a wide table holds: most are held at several indices.
  auto items = MakeItems(40);
  for (unsigned seed = 1; seed <= 8; ++seed) {
    std::mt19937 random(seed);
    BvuDirectoryProper table(nullptr, "table");
    // Indices no id can name are refused.
    EXPECT_EQ(table.InsertChildAt(-1, items[0].get()), status::kBadArguments);
    EXPECT_EQ(table.InsertChildAt(0xFFFFFE, items[0].get()), status::kBadArguments);
    std::map<int, BvuDirectoryNode*> model;
    int lowest = INT_MAX;
    int highest = -2;
    for (int step = 0; step < 800; ++step) {
      // Indices near the used range, well below it (growth to the back,
      // down to 0) and far above it (growth to the front).
      const int low = model.empty() ? 0 : std::max(lowest - 20, 0);
      const int span = model.empty() ? 100 : highest - low + 40;
      int index = low + static_cast<int>(random() % static_cast<unsigned>(span));
      if (random() % 10 == 0) index = static_cast<int>(random() % 3000);
      if (random() % 100 == 0) index = static_cast<int>(random() % (kBvuHighestIndex + 1));
      BvuDirectoryNode* item = items[random() % items.size()].get();
      switch (random() % 4) {
        case 0:
        case 1:
          ASSERT_EQ(table.InsertChildAt(index, item), status::kOk);
          model[index] = item;
          lowest = std::min(lowest, index);
          highest = std::max(highest, index);
          break;
        case 2: {
          if (model.empty()) break;
          const auto at = std::next(model.begin(), static_cast<long>(random() % model.size()));
          EXPECT_EQ(table.ReplaceChildAt(at->first, item), at->second);
          at->second = item;
          break;
        }
        default: {
          BvuDirectoryNode* removed = nullptr;
          const auto found = model.find(index);
          EXPECT_EQ(table.RemoveChildAt(index, &removed),
                    found != model.end() ? status::kOk : kBvuEmptySlot);
          EXPECT_EQ(removed, found != model.end() ? found->second : nullptr);
          if (found != model.end()) model.erase(found);
        }
      }
      ASSERT_NO_FATAL_FAILURE(ExpectSameAsModel(table, model, lowest, highest))
          << "seed " << seed << " step " << step;
    }
    table.Reset();
  }
}

// A wide table answers from the index a node was last put at: a node put in
// another table, then here again, must still be found at its lowest index.
TEST(LookupTable, FindsANodeHeldInTwoTablesAtItsLowestIndex) {
  auto items = MakeItems(40);
  BvuDirectoryNode* moved = items[5].get();
  BvuDirectoryProper first(nullptr, "first");
  BvuDirectoryProper second(nullptr, "second");
  for (int index = 0; index < 40; ++index) first.InsertChildAt(index, items[index].get());
  ASSERT_EQ(first.IndexOfChild(moved), 5);
  ASSERT_EQ(second.InsertChildAt(30, moved), status::kOk);
  EXPECT_EQ(second.IndexOfChild(moved), 30);
  ASSERT_EQ(first.InsertChildAt(30, moved), status::kOk);
  EXPECT_EQ(first.IndexOfChild(moved), 5);
  EXPECT_EQ(first.IndexOfChild(items[30].get()), -1);
  first.RemoveChildAt(5, nullptr);
  EXPECT_EQ(first.IndexOfChild(moved), 30);
  first.RemoveChildAt(30, nullptr);
  EXPECT_EQ(first.IndexOfChild(moved), -1);
  EXPECT_EQ(second.IndexOfChild(moved), 30);
  // Put back at the index it had: found there, its neighbours where they are.
  ASSERT_EQ(first.InsertChildAt(5, moved), status::kOk);
  EXPECT_EQ(first.IndexOfChild(moved), 5);
  EXPECT_EQ(first.IndexOfChild(items[6].get()), 6);
  first.Reset();
  second.Reset();
}

// Id paths from the root down, for nodes a few steps deep and for a chain
// deeper than most.
TEST(DirectoryNode, IdPathNamesEveryStepFromTheRoot) {
  BvuDirectoryProper root(nullptr, "root");
  std::vector<BvuDirectoryNode*> chain;
  BvuDirectoryNode* parent = &root;
  for (int depth = 1; depth <= 40; ++depth) {
    auto* node = new BvuDirectoryProper(parent, ".n");
    ASSERT_EQ(parent->InsertChildAt(depth + 2, node), status::kOk);
    chain.push_back(node);
    parent = node;
  }
  for (const int depth : {1, 3, 16, 17, 40}) {
    BvuIdPath path;
    ASSERT_EQ(chain[depth - 1]->GetIdPath(&path), status::kOk);
    std::vector<std::uint32_t> expected{kIdPathRoot};
    for (int step = 1; step <= depth; ++step) expected.push_back(step + 2);
    expected.push_back(kIdPathEnd);
    EXPECT_EQ(std::vector<std::uint32_t>(path.ids().begin(), path.ids().end()), expected) << depth;
  }
  // Appended to a path that ends: the end moves behind the new steps.
  BvuIdPath both;
  ASSERT_EQ(chain[0]->GetIdPath(&both), status::kOk);
  ASSERT_EQ(chain[1]->GetIdPath(&both), status::kOk);
  EXPECT_EQ(std::vector<std::uint32_t>(both.ids().begin(), both.ids().end()),
            (std::vector<std::uint32_t>{kIdPathRoot, 3, 3, 4, kIdPathEnd}));
  BvuDirectoryProper::DeleteBelow(&root);
}

// A model's node holds tens of thousands of children, written in any order:
// finding each child's index and placing the far ones first must not make
// the table slow for good.
TEST(LookupTable, AWideTableFindsItsChildrenAndFillsBackIntoSlots) {
  constexpr int kChildren = 20000;
  auto items = MakeItems(kChildren);
  BvuDirectoryProper table(nullptr, "t");
  // The last two first, as a model whose feed comes before its units.
  ASSERT_EQ(table.InsertChildAt(kChildren - 1, items[kChildren - 1].get()), status::kOk);
  ASSERT_EQ(table.InsertChildAt(kChildren - 2, items[kChildren - 2].get()), status::kOk);
  ASSERT_EQ(table.InsertChildAt(0, items[0].get()), status::kOk);
  EXPECT_TRUE(table.IsSparse());
  for (int index = 1; index < kChildren - 2; ++index) {
    ASSERT_EQ(table.InsertChildAt(index, items[index].get()), status::kOk);
  }
  EXPECT_FALSE(table.IsSparse());
  EXPECT_GE(table.Capacity(), kChildren);
  EXPECT_EQ(table.SlotCount(), kChildren);
  for (int index = 0; index < kChildren; ++index) {
    ASSERT_EQ(table.IndexOfChild(items[index].get()), index);
  }
  BvuDirectoryNode stranger(nullptr, "stranger");
  EXPECT_EQ(table.IndexOfChild(&stranger), -1);
  // Emptied from the front, as a tree is deleted.
  for (int index = 0; index < kChildren; ++index) {
    ASSERT_EQ(table.RemoveChildAt(index, nullptr), status::kOk);
    if (index + 1 < kChildren) {
      ASSERT_EQ(table.IndexOfChild(items[index + 1].get()), index + 1);
    }
    ASSERT_EQ(table.IndexOfChild(items[index].get()), -1);
  }
  table.Reset();
}

TEST(LookupTable, InsertingBelowAFullTableKeepsEveryChildAtItsIndex) {
  auto items = MakeItems(5);
  // Children at 2..5 fill four slots; index 1 or 0 below them needs a new
  // array with the children at its back.
  for (const int below : {1, 0}) {
    BvuDirectoryProper table(nullptr, "t");
    for (int index = 2; index <= 5; ++index) table.InsertChildAt(index, items[index - 1].get());
    ASSERT_EQ(table.Capacity(), 4);
    table.InsertChildAt(below, items[0].get());
    EXPECT_EQ(table.LowIndex(), 0);
    EXPECT_EQ(table.HighIndex(), 5);
    EXPECT_EQ(table.ChildAt(below), items[0].get());
    for (int index = 2; index <= 5; ++index)
      EXPECT_EQ(table.ChildAt(index), items[index - 1].get()) << index;
    table.Reset();
  }
}

TEST(LookupTable, TakesIndicesFarApartAndGrowsByItsStepsOnly) {
  auto items = MakeItems(1);
  BvuDirectoryNode* item = items[0].get();
  // Emptied, a table keeps its range: 3 and 4 taken, then 10 needs 8 slots.
  BvuDirectoryProper emptied(nullptr, "t");
  emptied.InsertChildAt(3, item);
  emptied.InsertChildAt(4, item);
  emptied.RemoveChildAt(3, nullptr);
  emptied.RemoveChildAt(4, nullptr);
  ASSERT_EQ(emptied.InsertChildAt(10, item), status::kOk);
  EXPECT_EQ(std::vector({emptied.LowIndex(), emptied.HighIndex(), emptied.Capacity()}),
            std::vector({3, 10, 8}));
  emptied.Reset();
  // Far indices are taken without an array across them; filling the gap
  // makes an array of slots again.
  BvuDirectoryProper table(nullptr, "t");
  for (const std::int32_t index : {0, 5000, kBvuHighestIndex, 5001}) {
    ASSERT_EQ(table.InsertChildAt(index, item), status::kOk) << index;
  }
  BvuDirectoryProper filled(nullptr, "t");
  for (std::int32_t index = 0; index < 400; ++index)
    filled.InsertChildAt(index * (index < 2 ? 5000 : 1), item);
  filled.InsertChildAt(5100, item);
  for (std::int32_t index = 0; index < 5200; ++index) {
    const bool held = (index >= 2 && index < 400) || index == 0 || index == 5000 || index == 5100;
    ASSERT_EQ(filled.ChildAt(index) != nullptr, held) << index;
  }
  EXPECT_EQ(table.ChildAt(kBvuHighestIndex), item);
  EXPECT_EQ(table.ChildAt(4999), nullptr);
  EXPECT_EQ(table.IndexOfChild(item), 0);
  table.Reset();
  filled.Reset();
}

// 7 when a growth refused for want of address space leaves the table as it was.
int GrowWithoutMemory() {
  testsupport::InDeathChild();
  auto items = MakeItems(1);
  BvuDirectoryProper table(nullptr, "t");
  for (std::int32_t index = 0; index < (1 << 16); ++index)
    table.InsertChildAt(index, items[0].get());
  const std::int32_t capacity = table.Capacity();
  std::size_t pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  rlimit address_space{};
  address_space.rlim_cur = address_space.rlim_max =
      pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (1 << 20);
  ::setrlimit(RLIMIT_AS, &address_space);
  const Status s = table.InsertChildAt(1000000, items[0].get());
  const bool unchanged = table.Capacity() == capacity && table.HighIndex() == (1 << 16) - 1;
  return s == kBvuNoMemory && unchanged ? 7 : 1;
}

TEST(LookupTable, GrowthWithoutMemoryIsAStatusAndChangesNothing) {
  if (testsupport::kUnderAddressSanitizer || testsupport::kUnderThreadSanitizer) {
    GTEST_SKIP() << "the sanitizer reserves more address space than a limit allows";
  }
  testsupport::UseThreadsafeDeathTests();
  EXPECT_EXIT(std::exit(GrowWithoutMemory()), ::testing::ExitedWithCode(7), "");
}

}  // namespace

namespace {

// A run's monitors look names up while the server thread does: the index,
// built lazily by whichever comes first, is shared safely.
TEST(DirectoryNameIndex, LookUpsFromTwoThreadsShareTheIndex) {
  BvuDirectoryProper root(nullptr, "root");
  std::vector<std::string> names;
  for (int i = 0; i < 64; ++i) names.push_back(".u" + std::to_string(i));
  for (int i = 0; i < 64; ++i) AddChild(&root, i + 1, names[i].c_str());
  auto look = [&root, &names](std::int32_t* wrong) {
    for (int round = 0; round < 200; ++round) {
      for (int i = 0; i < 64; ++i) {
        if (root.FirstIndexNamedAnyCase(names[i].c_str()) != i + 1) ++*wrong;
      }
    }
  };
  std::int32_t wrong_a = 0, wrong_b = 0;
  std::thread other(look, &wrong_b);
  look(&wrong_a);
  other.join();
  EXPECT_EQ(wrong_a + wrong_b, 0);
  BvuDirectoryProper::DeleteBelow(&root);
}

// A wide node answers name look-ups from an index; every change of its
// children or of a name must show in the next answer, as a scan would give.
TEST(DirectoryNameIndex, WideNodeAnswersLikeAScanAcrossEdits) {
  BvuDirectoryProper root(nullptr, "root");
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) names.push_back(".m" + std::to_string(i));
  for (int i = 0; i < 40; ++i) AddChild(&root, i + 3, names[i].c_str());
  auto scan = [&root](const char* text) {
    for (std::int32_t i = NextChildIndex(&root, root.LowIndex()); i <= root.HighIndex();
         i = NextChildIndex(&root, i + 1)) {
      BvuDirectoryNode* child = root.ChildAt(i);
      if (child != nullptr && SameNameAnyCase(child->Name(), text)) return i;
    }
    return -1;
  };
  auto agrees = [&](const char* text) {
    EXPECT_EQ(root.FirstIndexNamedAnyCase(text), scan(text)) << text;
  };
  EXPECT_EQ(root.FirstIndexNamedAnyCase(".M7"), 10);
  EXPECT_EQ(root.FirstIndexNamedAnyCase("m7"), -1);

  // Names differing only in case: the lowest index wins, wherever inserted.
  AddChild(&root, 60, ".Dup");
  AddChild(&root, 50, ".DUP");
  EXPECT_EQ(root.FirstIndexNamedAnyCase(".dup"), 50);
  AddChild(&root, 1, ".dUp");
  EXPECT_EQ(root.FirstIndexNamedAnyCase(".dup"), 1);

  BvuDirectoryNode* taken = nullptr;
  ASSERT_EQ(root.RemoveChildAt(1, &taken), status::kOk);
  delete taken;
  EXPECT_EQ(root.FirstIndexNamedAnyCase(".DUP"), 50);
  delete root.ChildAt(50);  // a deleted node leaves its parent
  EXPECT_EQ(root.FirstIndexNamedAnyCase(".DUP"), 60);

  // Renames move the name; replacing a child swaps it.
  root.ChildAt(10)->SetName(".renamed");
  agrees(".m7");
  EXPECT_EQ(root.FirstIndexNamedAnyCase(".RENAMED"), 10);
  delete root.ReplaceChildAt(20, new BvuDirectoryProper(&root, ".Renamed"));
  EXPECT_EQ(root.FirstIndexNamedAnyCase(".renamed"), 10);
  agrees(".m17");
  root.ChildAt(10)->SetName(".m7");
  EXPECT_EQ(root.FirstIndexNamedAnyCase(".renamed"), 20);
  for (const std::string& name : names) agrees(name.c_str());

  // Most children gone: the answers still follow.
  for (std::int32_t i = root.HighIndex(); i >= 10; --i) delete root.ChildAt(i);
  EXPECT_EQ(root.FirstIndexNamedAnyCase(".M6"), 9);
  EXPECT_EQ(root.FirstIndexNamedAnyCase(".m7"), -1);
  BvuDirectoryProper::DeleteBelow(&root);
}

}  // namespace
