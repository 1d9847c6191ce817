#include "foundation/persistence/persistence.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/collections/collection_errors.h"
#include "foundation/collections/factory.h"
#include "foundation/collections/ordered.h"
#include "foundation/collections/set.h"
#include "foundation/collections/slist.h"
#include "foundation/persistence/memory_stream.h"
#include "tests/foundation/graph_files.h"
#include "tests/foundation/test_collectables.h"
#include "tests/support/death.h"
#include "tests/support/golden.h"

namespace {

using testobjects::DestroyGraph;
using testobjects::Link;
using testobjects::RestoreFromBytes;
using testobjects::RestoreFromText;
using testobjects::SaveToBytes;
using testobjects::SaveToText;
using testobjects::Value;
using testsupport::HexBytes;
using testsupport::SameBytes;
using testsupport::ToBytes;

TEST(FileStream, WordsAreLittleEndianAndTextsEndWithNul) {
  testobjects::File f(std::tmpfile());
  ClFileStream s(f.get());
  EXPECT_TRUE(s.Write16(0x1234) && s.Write32(0x89ABCDEF) && s.WriteString("hi") &&
              s.WriteBytes("\x01\x02", 2));
  std::fflush(f.get());
  EXPECT_TRUE(SameBytes(HexBytes("34 12 EF CD AB 89 68 69 00 01 02"),
                        ToBytes(testobjects::AllBytes(f.get()))));
  std::rewind(f.get());
  std::uint16_t w = 0;
  std::uint32_t d = 0;
  EXPECT_TRUE(s.Read16(w) && s.Read32(d));
  EXPECT_EQ(w, 0x1234);
  EXPECT_EQ(d, 0x89ABCDEFu);
}

TEST(FileStream, ReadsStopAtTheCapacityOrTheEndOfTheFile) {
  testobjects::File f = testobjects::FileWithBytes(std::string("abcdefgh\0xy\0\x01\x02\x03", 15));
  ClFileStream s(f.get());
  char buf[4] = {'?', '?', '?', '?'};
  EXPECT_FALSE(s.ReadString(buf, sizeof buf));
  EXPECT_STREQ(buf, "abc");
  EXPECT_TRUE(s.ReadString(buf, sizeof buf));  // in step after the cut text
  EXPECT_STREQ(buf, "xy");
  EXPECT_FALSE(s.ReadString(buf, 0));
  std::uint32_t d = 7;
  EXPECT_FALSE(s.Read32(d));  // three bytes left
  EXPECT_EQ(d, 7u);
  EXPECT_TRUE(s.AtEnd());
  EXPECT_FALSE(s.Error());
  EXPECT_TRUE(s.ReadString(buf, sizeof buf));  // the end of the file ends a text
  EXPECT_STREQ(buf, "");
}

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

TEST(BothForms, NullAndSelfReferenceAreWrittenAsReferences) {
  EXPECT_TRUE(SameBytes(HexBytes("88 88 00 00 FF FF 00 00 00 00"), ToBytes(SaveToBytes(nullptr))));
  EXPECT_EQ(RestoreFromBytes(SaveToBytes(nullptr)), nullptr);
  EXPECT_EQ(SaveToText(nullptr), "@0 ");
  ClMemoryInStream in("@0 ");
  EXPECT_EQ(RestoreCollectable(in), nullptr);
  EXPECT_TRUE(in.Good());

  Link link;
  link.tag = 7;
  link.target = &link;
  const std::string bytes = SaveToBytes(&link);
  EXPECT_TRUE(
      SameBytes(HexBytes("88 88 00 00  02 7A  07 00 00 00  FF FF 01 00 00 00"), ToBytes(bytes)));
  EXPECT_EQ(SaveToText(&link), ":31234 {7 @1 }");
  for (ClCollectable* restored : {RestoreFromBytes(bytes), RestoreFromText(SaveToText(&link))}) {
    auto* back = dynamic_cast<Link*>(restored);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->tag, 7u);
    EXPECT_EQ(back->target, back);
    delete back;
  }
}

TEST(BothForms, SharedObjectIsWrittenOnceAndRestoredAsOne) {
  SharedGraph g;
  const std::string bytes = SaveToBytes(&g.top);
  EXPECT_TRUE(SameBytes(HexBytes("88 88 00 00"
                                 "28 80 02 00 00 00"    // top: ordered, 2 items
                                 "28 80 01 00 00 00"    // left (number 2)
                                 "01 7A 05 00 00 00"    // the value (number 3)
                                 "33 80 01 00 00 00"    // right (number 4)
                                 "FF FF 03 00 00 00"),  // the value again
                        ToBytes(bytes)));
  const std::string text = SaveToText(&g.top);
  EXPECT_EQ(text, ":32808 {2 :32808 {1 :31233 {5 }}:32819 {1 @3 }}");
  for (ClCollectable* restored : {RestoreFromBytes(bytes), RestoreFromText(text)}) {
    auto* top = dynamic_cast<ClOrdered*>(restored);
    ASSERT_NE(top, nullptr);
    EXPECT_TRUE(top->IsEqual(&g.top));
    EXPECT_EQ(static_cast<ClSequenceable*>(top->ItemAt(0))->First(),
              static_cast<ClSequenceable*>(top->ItemAt(1))->First());
    DestroyGraph(top);
  }
  ClOrdered target;  // receives the body; references to the top resolve to it
  EXPECT_EQ(RestoreFromBytes(bytes, &target), &target);
  EXPECT_TRUE(target.IsEqual(&g.top));
  ClCollectable* right = target.ItemAt(1);
  DestroyGraph(target.ItemAt(0));
  delete right;
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
    // An identity set equals only a set of the same objects; the restored
    // one holds new objects with the same values.
    const bool by_value = collection->ClassId() != kClIdentitySetId;
    for (Value* v : {&a, &b, &c}) collection->Insert(v);
    for (ClCollectable* back :
         {RestoreFromBytes(SaveToBytes(collection)), RestoreFromText(SaveToText(collection))}) {
      auto* restored = dynamic_cast<ClCollection*>(back);
      ASSERT_NE(restored, nullptr);
      EXPECT_EQ(restored->ClassId(), collection->ClassId());
      EXPECT_EQ(restored->IsEqual(collection), by_value) << std::hex << collection->ClassId();
      EXPECT_EQ(collection->IsEqual(restored), by_value) << std::hex << collection->ClassId();
      EXPECT_EQ(restored->Entries(), collection->Entries());
      Value two{2};
      EXPECT_EQ(restored->Contains(&two), by_value);
      DestroyGraph(back);
    }
    delete collection;
  }
}

// Records the stored size of its target as seen while it is being saved.
struct SizeProbe : ClCollectable {
  ClCollectable* target = nullptr;
  mutable std::uint32_t seen = 0;
  void SaveToFile(ClFileStream&) const override { seen = StoredSizeOf(target); }
};

TEST(StoredSizeOf, CountsMagicFirstOccurrencesAndReferencesAndSeesWhatIsWrittenAlready) {
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

  Link written, unwritten;
  SizeProbe after_written, before_unwritten;
  after_written.target = &written;
  before_unwritten.target = &unwritten;
  ClOrdered top;
  for (ClCollectable* c : std::initializer_list<ClCollectable*>{&written, &after_written,
                                                                &before_unwritten, &unwritten}) {
    top.Append(c);
  }
  SaveToBytes(&top);
  EXPECT_EQ(after_written.seen, 6u);
  EXPECT_EQ(before_unwritten.seen, 2u + 4 + 6);
}

TEST(StoredSizeOf, StartsAfreshAfterANestedSizeRaised) {
  struct Raising : ClCollectable {
    std::uint32_t StoredSize() const override { ClRaiseError(ClErrorClass::kInternal, kClRef); }
  } raising;
  ClOrdered holder;
  holder.Append(&raising);
  {
    const ClLibraryErrorGuard guard;
    EXPECT_THROW(StoredSizeOf(&holder), ClLibraryFailure);
  }
  EXPECT_EQ(StoredSizeOf(nullptr), 10u);
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
      for (ClCollectable* back :
           {RestoreFromBytes(SaveToBytes(&top)), RestoreFromText(SaveToText(&top))}) {
        if (back == nullptr || !back->IsEqual(&top)) *ok = false;
        DestroyGraph(back);
      }
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

// Two distinguishable creators for the same id.
struct First : ClCollectable {
  std::uint16_t ClassId() const override { return 0x7B01; }
};
struct Second : ClCollectable {
  std::uint16_t ClassId() const override { return 0x7B01; }
};
ClCollectable* MakeFirst() { return new First; }
ClCollectable* MakeSecond() { return new Second; }

TEST(Factory, FirstRegistrationWinsAndUnregisterRemoves) {
  EXPECT_EQ(RegisterClassId(&MakeFirst, 0x7B01), 1);
  const std::size_t entries = GetFactory()->Entries();
  EXPECT_EQ(RegisterClassId(&MakeSecond, 0x7B01), 1);
  EXPECT_EQ(GetFactory()->Entries(), entries);  // the second association went
  std::unique_ptr<ClCollectable> made(CreateByClassId(0x7B01));
  EXPECT_NE(dynamic_cast<First*>(made.get()), nullptr);
  UnregisterClassId(0x7B01);
  EXPECT_EQ(CreateByClassId(0x7B01), nullptr);
  UnregisterClassId(0x7B01);  // nothing left to remove
  EXPECT_EQ(GetFactory()->Entries(), entries - 1);
  RegisterClassId(&MakeSecond, 0x7B01);
  made.reset(CreateByClassId(0x7B01));
  EXPECT_NE(dynamic_cast<Second*>(made.get()), nullptr);
  UnregisterClassId(0x7B01);
}

TEST(Factory, ConcurrentRegistrationKeepsOneCreatorPerId) {
  constexpr std::uint16_t kBase = 0x7C00;
  constexpr int kIds = 200;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kIds; ++i) {
        RegisterClassId(t % 2 == 0 ? &MakeFirst : &MakeSecond,
                        static_cast<std::uint16_t>(kBase + i));
        delete CreateByClassId(static_cast<std::uint16_t>(kBase + (i * 7) % kIds));
      }
    });
  }
  go = true;
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kIds; ++i) {
    const auto id = static_cast<std::uint16_t>(kBase + i);
    const ClCreateFunction f = GetFactory()->FindCreator(id);
    EXPECT_TRUE(f == &MakeFirst || f == &MakeSecond);
    ClFunctionAssociation key(id, nullptr);
    EXPECT_EQ(GetFactory()->OccurrencesOf(&key), 1u);
    UnregisterClassId(id);
  }
}

}  // namespace
