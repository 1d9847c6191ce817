#include "foundation/persistence/guarded_restore.h"

#include <gtest/gtest.h>

#include <new>
#include <random>
#include <string>

#include "foundation/collections/collection_errors.h"
#include "foundation/collections/ordered.h"
#include "foundation/collections/set.h"
#include "foundation/collections/slist.h"
#include "foundation/persistence/memory_stream.h"
#include "tests/foundation/graph_files.h"
#include "tests/foundation/test_collectables.h"
#include "tests/support/death.h"
#include "tests/support/fault_tests.h"

namespace {

using testobjects::DestroyGraph;
using testobjects::FileWithBytes;
using testobjects::Link;
using testobjects::SaveToBytes;
using testobjects::SaveToText;
using testobjects::Value;

// A graph with sharing, a cycle, nulls and every collection class.
struct RichGraph {
  Value one{1}, two{2}, three{3};
  Link cycle_a, cycle_b;
  ClSlistCollectables list;
  ClHashTable table;
  ClSet set;
  ClIdentitySet identity;
  ClOrdered top;
  RichGraph() {
    cycle_a.target = &cycle_b;
    cycle_b.target = &cycle_a;
    cycle_a.tag = 0x41424344;
    list.Append(&one);
    list.Append(nullptr);
    list.Append(&two);
    table.Insert(&two);
    table.Insert(&two);
    set.Insert(&three);
    set.Insert(&list);
    identity.Insert(&one);
    identity.Insert(&cycle_a);
    for (ClCollectable* c : std::initializer_list<ClCollectable*>{&list, &table, &set, &identity,
                                                                  &cycle_b, nullptr, &top}) {
      top.Append(c);
    }
  }
};

ClRestoreOutcome RestoreBytes(const std::string& bytes, ClCollectable* target = nullptr) {
  testobjects::File f = FileWithBytes(bytes);
  ClFileStream stream(f.get());
  return GuardedRestoreFromFile(stream, target);
}

ClRestoreOutcome RestoreText(const std::string& text, ClCollectable* target = nullptr) {
  ClMemoryInStream in(text);
  return GuardedRestore(in, target);
}

int LiveObjects() { return testobjects::g_live_values + testobjects::g_live_links; }

bool IsLibraryMessage(const std::string& m) {
  for (const char* start :
       {"[READERR] Read error", "[STREAM] Bad input stream", "[REF] Bad persistence reference",
        "[MAGIC] ", "[NOCREATE] ", "[INDEX"}) {
    if (m.rfind(start, 0) == 0) return true;
  }
  return false;
}

TEST(GuardedRestore, GoodGraphComesBackWhole) {
  RichGraph g;
  for (const ClRestoreOutcome& r :
       {RestoreBytes(SaveToBytes(&g.top)), RestoreText(SaveToText(&g.top))}) {
    ASSERT_EQ(r.status, status::kOk) << r.message;
    auto* top = dynamic_cast<ClOrdered*>(r.object);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->Entries(), g.top.Entries());
    EXPECT_EQ(top->ItemAt(6), top);  // the graph holds itself
    EXPECT_EQ(top->ItemAt(5), nullptr);
    DestroyGraph(top);
  }
}

// A set keeps one of equal items; the others go unless the graph names
// them elsewhere.
TEST(GuardedRestore, ItemsASetDidNotKeepAreDisposedUnlessNamedElsewhere) {
  const std::string seven("\x01\x7A\x07\0\0\0", 6);  // a Value 7
  const std::string magic("\x88\x88\0\0", 4);
  const struct {
    std::string bytes;
    int live;
  } cases[] = {
      // A set of three equal values.
      {magic + std::string("\x2B\x80\x03\0\0\0", 6) + seven + seven + seven, 1},
      // An ordered collection of that set (two values, objects 3 and 4) and object 4 again.
      {magic + std::string("\x28\x80\x02\0\0\0\x2B\x80\x02\0\0\0", 12) + seven + seven +
           std::string("\xFF\xFF\x04\0\0\0", 6),
       2},
  };
  for (const auto& c : cases) {
    const ClRestoreOutcome r = RestoreBytes(c.bytes);
    ASSERT_EQ(r.status, status::kOk) << r.message;
    EXPECT_EQ(testobjects::g_live_values, c.live);
    DestroyGraph(r.object);
  }
  EXPECT_EQ(testobjects::g_live_values, 0);
}

TEST(GuardedRestore, EveryTruncationFailsWithStatusAndLeavesNothing) {
  RichGraph g;
  const int live = LiveObjects();
  const std::string bytes = SaveToBytes(&g.top);
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    const ClRestoreOutcome r = RestoreBytes(bytes.substr(0, n));
    EXPECT_EQ(r.status, status::kBadArguments) << "cut at " << n;
    EXPECT_EQ(r.object, nullptr);
    EXPECT_TRUE(IsLibraryMessage(r.message)) << r.message;
    EXPECT_EQ(LiveObjects(), live) << "cut at " << n;
  }
  const std::string text = SaveToText(&g.top);
  for (std::size_t n = 0; n < text.size(); ++n) {
    const ClRestoreOutcome r = RestoreText(text.substr(0, n));
    EXPECT_EQ(r.status, status::kBadArguments) << "cut at " << n << ": " << text.substr(0, n);
    EXPECT_EQ(LiveObjects(), live) << "cut at " << n;
  }
}

TEST(GuardedRestore, SeededCorruptionNeverEndsTheProcess) {
  RichGraph g;
  const int live = LiveObjects();
  const std::string bytes = SaveToBytes(&g.top);
  const std::string text = SaveToText(&g.top);
  std::mt19937 rng(20240611);
  int failures = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string damaged = round % 2 == 0 ? bytes : text;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips; ++i) {
      damaged[rng() % damaged.size()] = static_cast<char>(rng() % 256);
    }
    if (rng() % 4 == 0) damaged.resize(rng() % damaged.size());
    const ClRestoreOutcome r = round % 2 == 0 ? RestoreBytes(damaged) : RestoreText(damaged);
    if (r.status == status::kOk) {
      DestroyGraph(r.object);
    } else {
      ++failures;
      EXPECT_EQ(r.status, status::kBadArguments);
      EXPECT_FALSE(r.message.empty());
      EXPECT_EQ(r.object, nullptr);
    }
    ASSERT_EQ(LiveObjects(), live) << "round " << round;
  }
  EXPECT_GT(failures, 0);
}

TEST(GuardedRestore, TargetOfAnotherClassIsRefused) {
  ClOrdered ordered;
  Value v{4};
  ordered.Append(&v);
  ClSet target;
  for (const ClRestoreOutcome& r :
       {RestoreBytes(SaveToBytes(&ordered), &target), RestoreText(SaveToText(&ordered), &target)}) {
    EXPECT_EQ(r.status, status::kBadArguments);
    EXPECT_EQ(r.message, "[ID] Unexpected class ID 32808; should be 32811");
  }
  EXPECT_TRUE(target.IsEmpty());
}

// Holds a collection by value and restores it in place, as a target.
struct Holder : ClCollectable {
  ClOrdered inner;
  void SaveToFile(ClFileStream& file) const override { WriteCollectableToFile(&inner, file); }
  void RestoreFromFile(ClFileStream& file) override { RestoreCollectableFromFile(file, &inner); }
  void SaveToVStream(Clvostream& stream) const override { WriteCollectable(&inner, stream); }
  void RestoreFromVStream(Clvistream& stream) override { RestoreCollectable(stream, &inner); }
};

TEST(GuardedRestore, FailureDisposesOnlyWhatItMadeAndEmptiesCollectionTargets) {
  Value a{1}, b{2};
  Holder saved;
  saved.inner.Append(&a);
  saved.inner.Append(&b);
  const int live = LiveObjects();
  const std::string bytes = SaveToBytes(&saved), text = SaveToText(&saved);
  for (bool binary : {true, false}) {
    SCOPED_TRACE(binary ? "binary" : "stream");
    auto cut = [&](const std::string& s) { return s.substr(0, s.size() - 3); };
    auto restore = [&](ClCollectable* target) {
      return binary ? RestoreBytes(cut(bytes), target) : RestoreText(cut(text), target);
    };
    Holder holder;  // the inner target is a member: never to be deleted
    EXPECT_EQ(restore(&holder).status, status::kBadArguments);
    EXPECT_TRUE(holder.inner.IsEmpty());
    ClOrdered ordered;  // a top-level collection target
    EXPECT_EQ(restore(&ordered).status, status::kBadArguments);
    EXPECT_TRUE(ordered.IsEmpty());
    EXPECT_EQ(LiveObjects(), live);
  }
  const ClRestoreOutcome r =
      RestoreBytes(SaveToBytes(&saved.inner) + "more");  // trailing data is no failure
  ASSERT_EQ(r.status, status::kOk);
  DestroyGraph(r.object);
}

// A body sized by a count it reads, whose allocation fails for a damaged one.
struct Sized : ClCollectable {
  std::uint16_t ClassId() const override { return 0x7A03; }
  void SaveToFile(ClFileStream& file) const override { file.Write32(1); }
  void RestoreFromFile(ClFileStream& file) override {
    std::uint32_t n = 0;
    file.Read32(n);
    if (n > 1000) throw std::bad_alloc();
  }
};
ClassIdRegistrar g_sized_registrar([]() -> ClCollectable* { return new Sized; }, 0x7A03);

TEST(GuardedRestore, AllocationFailureInABodyIsAFailureAndLeavesNothing) {
  Value a{1};
  Sized sized;
  ClOrdered top;
  top.Append(&a);
  top.Append(&sized);
  std::string bytes = SaveToBytes(&top);
  const int live = LiveObjects();
  bytes[bytes.size() - 1] = '\x7F';
  const ClRestoreOutcome r = RestoreBytes(bytes);
  EXPECT_EQ(r.status, status::kBadArguments);
  EXPECT_EQ(r.message, "[READERR] Read error");
  EXPECT_EQ(LiveObjects(), live);
}

TEST(GuardedRestore, UnknownClassAndBadMagicGiveTheirMessages) {
  EXPECT_EQ(RestoreBytes(std::string("\x88\x88\x00\x00\xFF\x7A", 6)).message,
            "[NOCREATE] ClFactory: no create function for class with ID 31487 (0x7aff)");
  EXPECT_EQ(RestoreBytes("").message, "[MAGIC] Bad magic number: 0 (should be 34952)");
  EXPECT_EQ(RestoreBytes("\xFF\xFF\xFF\xFF").message,
            "[MAGIC] Bad magic number: -1 (should be 34952)");
  EXPECT_EQ(RestoreText("@1 ").message, "[REF] Bad persistence reference");
}

// A chain of ordered collections each holding the next.
std::string NestedOrderedBytes(int depth) {
  std::string bytes("\x88\x88\x00\x00", 4);
  for (int i = 0; i < depth; ++i) bytes += std::string("\x28\x80\x01\x00\x00\x00", 6);
  bytes += std::string("\xFF\xFF\x00\x00\x00\x00", 6);
  return bytes;
}

TEST(GuardedRestore, NestingIsBoundedInsteadOfOverflowingTheStack) {
  if (testsupport::kUnderThreadSanitizer) {
    GTEST_SKIP() << "one thread ten thousand levels deep: minutes under the thread sanitizer";
  }
  const ClRestoreOutcome deep = RestoreBytes(NestedOrderedBytes(kMaxRestoreDepth - 1));
  ASSERT_EQ(deep.status, status::kOk) << deep.message;
  const ClRestoreOutcome again = RestoreBytes(NestedOrderedBytes(kMaxRestoreDepth - 1));
  EXPECT_TRUE(deep.object->IsEqual(again.object));  // what restores also compares
  DestroyGraph(deep.object);
  DestroyGraph(again.object);

  const ClRestoreOutcome too_deep = RestoreBytes(NestedOrderedBytes(1000000));
  EXPECT_EQ(too_deep.status, status::kBadArguments);
  EXPECT_EQ(too_deep.message, "[READERR] Read error");

  std::string text;
  for (int i = 0; i < 100000; ++i) text += ":32808 {1 ";
  EXPECT_EQ(RestoreText(text).message, "[STREAM] Bad input stream");
}

TEST(GuardedRestore, SetOfCollectionsHoldingThemselvesIsRefusedNotUnending) {
  // A set of 200 ordered collections, each holding itself (object 2 + i).
  std::string bytes("\x88\x88\0\0\x2B\x80\xC8\0\0\0", 10);
  for (int i = 0; i < 200; ++i) {
    bytes += std::string("\x28\x80\x01\0\0\0\xFF\xFF", 8) + static_cast<char>(2 + i) +
             std::string(3, '\0');
  }
  const ClRestoreOutcome r = RestoreBytes(bytes);
  EXPECT_EQ(r.status, status::kBadArguments);
  EXPECT_EQ(r.message, "[NOTALLOW] Function not allowed for derived class");
}

TEST(GuardedRestore, LeavesTheProcessHandlerInPlace) {
  testsupport::ExpectLibraryDeath(
      [] {
        RestoreBytes("broken");
        ClOrdered empty;
        empty.ItemAt(0);
      },
      "[INDEXERR] Illegal Index (0) for collection with 0 elements");
}

TEST(GuardedRestore, CalledFromInsideAnotherRestoreStartsItsOwnGraph) {
  // A body that restores an embedded, separately framed graph.
  struct Embedding : ClCollectable {
    ClRestoreOutcome inner;
    void RestoreFromVStream(Clvistream&) override {
      const Value v{8};
      inner = RestoreText(SaveToText(&v));
    }
  } outer;
  ClMemoryInStream in(":32775 {}");
  EXPECT_EQ(RestoreCollectable(in, &outer), &outer);
  ASSERT_EQ(outer.inner.status, status::kOk) << outer.inner.message;
  auto* inner = dynamic_cast<Value*>(outer.inner.object);
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->value, 8);
  delete inner;
  EXPECT_EQ(ReadManager().Table(), nullptr);
}

}  // namespace
