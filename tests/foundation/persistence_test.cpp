#include "foundation/persistence.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "foundation/memory_stream.h"
#include "foundation/ordered.h"
#include "foundation/set.h"
#include "foundation/slist.h"
#include "tests/foundation/graph_files.h"
#include "tests/foundation/test_collectables.h"
#include "tests/support/death.h"
#include "tests/support/golden.h"

namespace {

using testobjects::DestroyGraph;
using testobjects::Link;
using testobjects::RestoreFromBytes;
using testobjects::SaveToBytes;
using testobjects::Value;
using testsupport::HexBytes;
using testsupport::SameBytes;
using testsupport::ToBytes;

// Top: an ordered pair of collections that both hold the same value 5.
struct SharedGraph {
  Value five{5};
  ClOrdered left;
  ClSlistCollectables right;
  ClOrdered top;
  SharedGraph() {
    left.Append(&five);
    right.Append(&five);
    top.Append(&left);
    top.Append(&right);
  }
};

std::string SaveToText(const ClCollectable* object) {
  ClMemoryOutStream out;
  StoreCollectable(out, object);
  EXPECT_TRUE(out.Good());
  return out.Text();
}

ClCollectable* RestoreFromText(const std::string& text, ClCollectable* target = nullptr) {
  ClMemoryInStream in(text);
  return RestoreCollectable(in, target);
}

TEST(BinaryForm, NullAtTopLevelIsMagicAndReferenceZero) {
  EXPECT_TRUE(SameBytes(HexBytes("88 88 00 00 FF FF 00 00 00 00"), ToBytes(SaveToBytes(nullptr))));
  EXPECT_EQ(RestoreFromBytes(SaveToBytes(nullptr)), nullptr);
}

TEST(BinaryForm, SelfReferenceIsWrittenOnceAndComesBackToItself) {
  Link link;
  link.tag = 7;
  link.target = &link;
  const std::string bytes = SaveToBytes(&link);
  EXPECT_TRUE(
      SameBytes(HexBytes("88 88 00 00  02 7A  07 00 00 00  FF FF 01 00 00 00"), ToBytes(bytes)));
  auto* back = dynamic_cast<Link*>(RestoreFromBytes(bytes));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->tag, 7u);
  EXPECT_EQ(back->target, back);
  delete back;
}

TEST(BinaryForm, SharedObjectIsWrittenOnceAndRestoredAsOne) {
  SharedGraph g;
  const std::string bytes = SaveToBytes(&g.top);
  EXPECT_TRUE(SameBytes(HexBytes("88 88 00 00"
                                 "28 80 02 00 00 00"    // top: ordered, 2 items
                                 "28 80 01 00 00 00"    // left (number 2)
                                 "01 7A 05 00 00 00"    // the value (number 3)
                                 "33 80 01 00 00 00"    // right (number 4)
                                 "FF FF 03 00 00 00"),  // the value again
                        ToBytes(bytes)));
  auto* top = dynamic_cast<ClOrdered*>(RestoreFromBytes(bytes));
  ASSERT_NE(top, nullptr);
  ASSERT_EQ(top->Entries(), 2u);
  auto* left = dynamic_cast<ClOrdered*>(top->ItemAt(0));
  auto* right = dynamic_cast<ClSlistCollectables*>(top->ItemAt(1));
  ASSERT_NE(left, nullptr);
  ASSERT_NE(right, nullptr);
  EXPECT_EQ(left->First(), right->First());
  EXPECT_TRUE(top->IsEqual(&g.top));
  DestroyGraph(top);
}

TEST(BinaryForm, TargetReceivesTheBodyAndReferencesMustResolveToIt) {
  SharedGraph g;
  ClOrdered target;
  EXPECT_EQ(RestoreFromBytes(SaveToBytes(&g.top), &target), &target);
  EXPECT_TRUE(target.IsEqual(&g.top));
  auto* left = target.ItemAt(0);
  auto* right = target.ItemAt(1);
  DestroyGraph(left);
  delete right;
}

TEST(VirtualStreamForm, SharedGraphText) {
  SharedGraph g;
  const std::string text = SaveToText(&g.top);
  EXPECT_EQ(text, ":32808 {2 :32808 {1 :31233 {5 }}:32819 {1 @3 }}");
  auto* top = dynamic_cast<ClOrdered*>(RestoreFromText(text));
  ASSERT_NE(top, nullptr);
  EXPECT_TRUE(top->IsEqual(&g.top));
  EXPECT_EQ(static_cast<ClSequenceable*>(top->ItemAt(0))->First(),
            static_cast<ClSequenceable*>(top->ItemAt(1))->First());
  DestroyGraph(top);
}

TEST(VirtualStreamForm, NullAndSelfReference) {
  EXPECT_EQ(SaveToText(nullptr), "@0 ");
  ClMemoryInStream in("@0 ");
  EXPECT_EQ(RestoreCollectable(in), nullptr);
  EXPECT_TRUE(in.Good());

  Link link;
  link.tag = 3;
  link.target = &link;
  EXPECT_EQ(SaveToText(&link), ":31234 {3 @1 }");
  auto* back = dynamic_cast<Link*>(RestoreFromText(SaveToText(&link)));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->target, back);
  delete back;
}

TEST(VirtualStreamForm, MalformedFramingSetsFailAndYieldsNull) {
  for (const char* text : {":32808 x", ":32808 ", "#", "", "@", "@x ", ":abc {"}) {
    ClMemoryInStream in(text);
    EXPECT_EQ(RestoreCollectable(in), nullptr) << text;
    EXPECT_NE(in.Fail(), 0u) << text;
  }
  ClMemoryInStream bad("@0 ");
  bad.Clear(Clvios::kBadBit);
  EXPECT_EQ(RestoreCollectable(bad), nullptr);
}

TEST(BothForms, EveryCollectionClassRoundTrips) {
  Value a{1}, b{2}, c{2};
  std::vector<ClCollection*> collections = {new ClOrdered, new ClSlistCollectables, new ClHashTable,
                                            new ClSet, new ClIdentitySet};
  for (ClCollection* collection : collections) {
    const bool by_address = collection->ClassId() == kClIdentitySetId;
    collection->Insert(&a);
    collection->Insert(&b);
    collection->Insert(&c);
    for (ClCollectable* back :
         {RestoreFromBytes(SaveToBytes(collection)), RestoreFromText(SaveToText(collection))}) {
      ASSERT_NE(back, nullptr);
      EXPECT_EQ(back->ClassId(), collection->ClassId());
      // An identity set equals only a set of the same objects; the restored
      // one holds new objects with the same values.
      EXPECT_EQ(back->IsEqual(collection), !by_address) << std::hex << collection->ClassId();
      EXPECT_EQ(collection->IsEqual(back), !by_address) << std::hex << collection->ClassId();
      auto* restored = dynamic_cast<ClCollection*>(back);
      ASSERT_NE(restored, nullptr);
      EXPECT_EQ(restored->Entries(), collection->Entries());
      Value two{2};
      EXPECT_EQ(restored->Contains(&two), !by_address);
      DestroyGraph(back);
    }
    delete collection;
  }
}

TEST(StoredSizeOf, CountsMagicFirstOccurrencesAndReferences) {
  EXPECT_EQ(StoredSizeOf(nullptr), 10u);
  Value v{9};
  EXPECT_EQ(StoredSizeOf(&v), SaveToBytes(&v).size());
  Link self;
  self.target = &self;
  EXPECT_EQ(StoredSizeOf(&self), SaveToBytes(&self).size());
  // A collection's body is counted as 8 bytes plus its items; a shared item
  // counts as a reference the second time.
  Link shared;
  ClOrdered twice;
  twice.Append(&shared);
  twice.Append(&shared);
  EXPECT_EQ(StoredSizeOf(&twice), 4u + 2 + 8 + (2 + 4 + 6) + 6);
}

TEST(Tables, TwoThreadsSaveAndRestoreDifferentGraphsAtOnce) {
  auto work = [](std::int32_t base, bool* ok) {
    for (int round = 0; round < 200; ++round) {
      Value shared{base + round};
      ClOrdered inner;
      inner.Append(&shared);
      ClOrdered top;
      for (int i = 0; i < 5; ++i)
        top.Append(i % 2 == 0 ? static_cast<ClCollectable*>(&shared) : &inner);
      const std::string bytes = SaveToBytes(&top);
      ClCollectable* back = RestoreFromBytes(bytes);
      const std::string text = SaveToText(&top);
      ClCollectable* back_text = RestoreFromText(text);
      if (back == nullptr || !back->IsEqual(&top) || back_text == nullptr ||
          !back_text->IsEqual(&top)) {
        *ok = false;
      }
      DestroyGraph(back);
      DestroyGraph(back_text);
    }
  };
  bool ok1 = true, ok2 = true;
  std::thread t1(work, 1000, &ok1);
  std::thread t2(work, 5000, &ok2);
  t1.join();
  t2.join();
  EXPECT_TRUE(ok1);
  EXPECT_TRUE(ok2);
}

using PersistenceDeathTest = ::testing::Test;

TEST(PersistenceDeathTest, DamagedFilesEndTheProcessWithTheirText) {
  using testsupport::ExpectLibraryDeath;
  ExpectLibraryDeath([] { RestoreFromBytes(std::string("\x34\x12\x00\x00\xFF\xFF\0\0\0\0", 10)); },
                     "[MAGIC] Bad magic number: 4660 (should be 34952)");
  ExpectLibraryDeath([] { RestoreFromBytes(std::string("\x88\x88\x00\x00\xFF\x7A", 6)); },
                     "[NOCREATE] ClFactory: no create function for class with ID 31487 (0x7aff)");
  // Nil plus the ordered itself: number 2 is one past the objects read.
  ExpectLibraryDeath(
      [] { RestoreFromBytes(std::string("\x88\x88\0\0\x28\x80\x01\0\0\0\xFF\xFF\x02\0\0\0", 16)); },
      "[REF] Bad persistence reference");
  // A file cut after the class id fails the same way, not on stale data.
  ExpectLibraryDeath([] { RestoreFromBytes(std::string("\x88\x88\0\0\x28\x80", 6)); },
                     "[REF] Bad persistence reference");
}

}  // namespace
