#include "foundation/collections/ordered.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "foundation/collections/collection_errors.h"
#include "foundation/collections/hash_table.h"
#include "foundation/collections/set.h"
#include "foundation/collections/slist.h"
#include "tests/foundation/test_collectables.h"
#include "tests/support/death.h"
#include "tests/support/fault_tests.h"

namespace {

using testobjects::Value;

// Three values 0, 1, 2 owned by the fixture.
class Sequences : public ::testing::Test {
 protected:
  Value v0{0}, v1{1}, v2{2};
};

TEST(Collections, ClearAndDestroyDeletesAnObjectHeldTwiceOnce) {
  const int before = testobjects::g_live_values;
  ClOrdered o;
  ClSlistCollectables l;
  ClHashTable table;
  ClSet set;
  for (ClCollection* c : std::initializer_list<ClCollection*>{&o, &l, &table, &set}) {
    auto* shared = new Value(5);
    for (Value* v : {shared, new Value(6), shared}) c->Insert(v);
    if (c == &o) o.Append(nullptr);
    c->ClearAndDestroy();
    EXPECT_TRUE(c->IsEmpty());
  }
  EXPECT_EQ(testobjects::g_live_values.load(), before);
  l.Append(new Value(3));
  const Value key{3};
  l.RemoveAndDestroy(&key);
  EXPECT_EQ(testobjects::g_live_values.load(), before + 1);  // the key only
  EXPECT_TRUE(l.IsEmpty());
}

// A collection of kind T whose members all share one bucket, so that
// comparisons of hash tables reach their items.
template <typename T>
struct OneBucket : T {
  std::uint32_t Hash() const override { return 0; }
};
using MakeCollection = std::unique_ptr<ClCollection> (*)();
template <typename T>
std::unique_ptr<ClCollection> Make() {
  return std::make_unique<OneBucket<T>>();
}
const MakeCollection kEveryKind[] = {&Make<ClOrdered>, &Make<ClSlistCollectables>,
                                     &Make<ClHashTable>, &Make<ClSet>};

TEST(Collections, EqualityOfCollectionsHoldingThemselvesIsBoundedNotUnending) {
  if (testsupport::kUnderThreadSanitizer) {
    GTEST_SKIP() << "one thread ten thousand levels deep: minutes under the thread sanitizer";
  }
  for (MakeCollection make : kEveryKind) {
    const std::unique_ptr<ClCollection> x = make(), y = make();
    x->Insert(x.get());
    y->Insert(y.get());
    EXPECT_TRUE(x->IsEqual(x.get()));
    {
      const ClLibraryErrorGuard guard;
      try {
        x->IsEqual(y.get());
        ADD_FAILURE() << "no error raised";
      } catch (const ClLibraryFailure& failure) {
        EXPECT_STREQ(failure.what(), "[NOTALLOW] Function not allowed for derived class");
      }
    }
    // The levels were given back: chains as deep as the bound still compare.
    auto chain = [make] {
      std::vector<std::unique_ptr<ClCollection>> c;
      for (int i = 0; i < kMaxEqualityDepth; ++i) {
        c.push_back(make());
        if (i > 0) c[i - 1]->Insert(c[i].get());
      }
      return c;
    };
    const auto a = chain(), b = chain();
    EXPECT_TRUE(a[0]->IsEqual(b[0].get()));
  }
}

// Each level holds the level below twice: compared afresh every time, two
// such chains 40 deep took 2^40 comparisons.
TEST(Collections, EqualityComparesEachPairOnce) {
  for (MakeCollection make : kEveryKind) {
    auto chain = [make](int bottom) {
      std::vector<std::unique_ptr<ClCollection>> c;
      c.push_back(make());
      c.back()->Insert(new Value(bottom));
      for (int i = 1; i < 40; ++i) {
        c.push_back(make());
        c[i]->Insert(c[i - 1].get());
        c[i]->Insert(c[i - 1].get());
      }
      return c;
    };
    const auto a = chain(1), b = chain(1), c = chain(2);
    EXPECT_TRUE(a.back()->IsEqual(b.back().get()));
    EXPECT_FALSE(a.back()->IsEqual(c.back().get()));
    for (const auto* bottoms : {&a, &b, &c}) bottoms->front()->ClearAndDestroy();
  }
}

TEST_F(Sequences, CopyAndEqualityCompareItemsPairwise) {
  ClOrdered o;
  ClSlistCollectables l;
  for (ClSequenceable* s : std::initializer_list<ClSequenceable*>{&o, &l}) {
    s->Append(&v0);
    s->Append(&v1);
    std::unique_ptr<ClCollectable> copy(s->Copy());
    auto* c = dynamic_cast<ClSequenceable*>(copy.get());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->ClassId(), s->ClassId());
    EXPECT_TRUE(s->IsEqual(c));
    c->Remove(&v1);
    EXPECT_EQ(c->Last(), &v0);
    Value one{1};
    c->Append(&one);  // equal, not the same
    EXPECT_TRUE(s->IsEqual(c));
    c->Append(&v2);
    EXPECT_FALSE(s->IsEqual(c));
  }
  EXPECT_FALSE(o.IsEqual(&l));  // another class id
}

TEST_F(Sequences, ListIteratorWalksFindsAndResets) {
  ClSlistCollectables l;
  Value again{1};
  for (Value* c : {&v0, &v1, &v2, &again}) l.Append(c);
  ClSlistCollectablesIterator it(l);
  EXPECT_EQ(it.Key(), nullptr);
  EXPECT_EQ(it.Next(), &v0);
  EXPECT_EQ(it.FindNext(&again), &v1);
  EXPECT_EQ(it.FindNext(&again), &again);
  EXPECT_EQ(it.FindNext(&again), nullptr);
  EXPECT_EQ(it.Next(), nullptr);  // stays at the end
  it.Reset();
  EXPECT_EQ(it.Next(), &v0);
}

// Random operations on both sequences against std::vector.
TEST(SequenceModel, RandomOperationsMatchAVector) {
  std::vector<std::unique_ptr<Value>> pool;
  for (int i = 0; i < 10; ++i) pool.push_back(std::make_unique<Value>(i % 6));
  std::mt19937 rng(77);
  ClOrdered ordered;
  ClSlistCollectables list;
  std::vector<ClCollectable*> model;
  for (int step = 0; step < 5000; ++step) {
    Value* v = pool[rng() % pool.size()].get();
    switch (rng() % 5) {
      case 0:
      case 1: {
        const std::size_t at = rng() % (model.size() + 1);
        ordered.InsertAt(at, v);
        list.InsertAt(at, v);
        model.insert(model.begin() + static_cast<std::ptrdiff_t>(at), v);
        break;
      }
      case 2: {
        auto it = std::find_if(model.begin(), model.end(),
                               [v](ClCollectable* c) { return c->IsEqual(v); });
        ClCollectable* expected = it == model.end() ? nullptr : *it;
        if (it != model.end()) model.erase(it);
        ASSERT_EQ(ordered.Remove(v), expected);
        ASSERT_EQ(list.Remove(v), expected);
        break;
      }
      case 3:
        if (!model.empty()) {
          const std::size_t at = rng() % model.size();
          ASSERT_EQ(ordered.RemoveAt(at), model[at]);
          model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
          list.Clear();  // the list has no removal by position
          for (ClCollectable* c : model) list.Append(c);
        }
        break;
      case 4:
        ASSERT_EQ(ordered.OccurrencesOf(v), static_cast<std::size_t>(std::count_if(
                                                model.begin(), model.end(),
                                                [v](ClCollectable* c) { return c->IsEqual(v); })));
        break;
    }
    ASSERT_EQ(ordered.Entries(), model.size());
    ASSERT_EQ(list.Entries(), model.size());
    if (!model.empty()) {
      const std::size_t at = rng() % model.size();
      ASSERT_EQ(ordered.ItemAt(at), model[at]);
      ASSERT_EQ(list.ItemAt(at), model[at]);
      ASSERT_EQ(ordered.Last(), model.back());
      ASSERT_EQ(list.Last(), model.back());
    }
  }
}

using SequencesDeathTest = Sequences;

TEST_F(SequencesDeathTest, IndexErrorsEndTheProcessWithTheirText) {
  ClOrdered o;
  for (Value* v : {&v0, &v1, &v2}) o.Append(v);
  ClSlistCollectables l;
  l.Append(&v0);
  using testsupport::ExpectLibraryDeath;
  ExpectLibraryDeath([&] { o.ItemAt(5); },
                     "[INDEXERR] Illegal Index (5) for collection with 3 elements");
  ExpectLibraryDeath([&] { o.ItemRefAt(3); },
                     "[INDEXERR] Illegal Index (3) for collection with 3 elements");
  ExpectLibraryDeath([&] { o.InsertAt(4, &v0); }, "[INDEX] Index (4) out of range [0->3]");
  ExpectLibraryDeath([&] { l.InsertAt(2, &v1); },
                     "[INDEXERR] Illegal Index (2) for collection with 1 elements");
}

std::vector<std::int32_t> ValuesByIteration(const ClHashTable& table) {
  std::vector<std::int32_t> out;
  ClHashTableIterator it(table);
  for (ClCollectable* item = it.Next(); item != nullptr; item = it.Next()) {
    out.push_back(static_cast<Value*>(item)->value);
  }
  return out;
}

TEST(HashTables, SetAnswersTheMemberIdentitySetKeepsEqualObjectsAndNullIsRefused) {
  Value a{5}, b{5}, c{5};
  ClSet set;
  EXPECT_EQ(set.Insert(&a), &a);
  EXPECT_EQ(set.Insert(&b), &a);
  EXPECT_EQ(set.Find(&b), &a);
  ClIdentitySet identity;
  for (Value* v : {&a, &b, &a}) EXPECT_EQ(identity.Insert(v), v);
  EXPECT_EQ(identity.Entries(), 2u);
  EXPECT_EQ(identity.Find(&c), nullptr);
  EXPECT_EQ(identity.Remove(&c), nullptr);
  EXPECT_EQ(identity.Remove(&b), &b);
  ClHashTable table;
  for (ClHashTable* t : std::initializer_list<ClHashTable*>{&table, &set, &identity}) {
    const std::size_t entries = t->Entries();
    EXPECT_EQ(t->Insert(nullptr), nullptr);
    EXPECT_EQ(t->Entries(), entries);
    EXPECT_EQ(t->Find(nullptr), nullptr);
  }
}

TEST(HashTables, IteratorSkipsEmptyBucketsFindsAndResets) {
  Value a{3}, b{40}, c{3}, d{77};
  ClHashTable table(100);  // mostly empty buckets
  for (Value* v : {&a, &b, &c, &d}) table.Insert(v);
  EXPECT_EQ(ValuesByIteration(table), (std::vector<std::int32_t>{3, 3, 40, 77}));
  ClHashTableIterator it(table);
  EXPECT_EQ(it.FindNext(&c), &a);
  EXPECT_EQ(it.Key(), &a);
  EXPECT_EQ(it.FindNext(&a), &c);
  EXPECT_EQ(it.FindNext(&a), nullptr);
  EXPECT_EQ(it.Key(), nullptr);
  EXPECT_EQ(it.Next(), nullptr);
  it.Reset();
  EXPECT_EQ(it.Next(), &a);
  EXPECT_TRUE(ValuesByIteration(ClHashTable()).empty());
}

TEST(HashTables, EqualityCountsMultiplicitiesAndCopiesKeepClassAndBuckets) {
  Value a{1}, a2{1}, b{2};
  ClHashTable x, y;
  for (Value* v : {&a, &a, &b}) x.Insert(v);
  for (Value* v : {&a2, &b, &b}) y.Insert(v);
  EXPECT_FALSE(x.IsEqual(&y));  // same count, but 1 occurs twice in x
  y.Remove(&b);
  y.Insert(&a2);
  EXPECT_TRUE(x.IsEqual(&y));
  EXPECT_TRUE(y.IsEqual(&x));
  EXPECT_FALSE(x.IsEqual(nullptr));
  ClHashTable table(5);
  ClSet set(6);
  ClIdentitySet identity(7);
  for (ClHashTable* t : std::initializer_list<ClHashTable*>{&table, &set, &identity}) {
    t->Insert(&a);
    t->Insert(&b);
    EXPECT_EQ(t->IsEqual(&x), false) << "another class id or count";
    std::unique_ptr<ClCollectable> copy(t->Copy());
    auto* c = dynamic_cast<ClHashTable*>(copy.get());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->ClassId(), t->ClassId());
    EXPECT_EQ(c->Buckets(), t->Buckets());
    EXPECT_TRUE(c->IsEqual(t));
    c->Remove(&a);  // the copy has buckets of its own
    EXPECT_EQ(t->Find(&a), &a);
  }
}

// Random operations on each kind of table against a count of each value.
TEST(HashTableModel, RandomOperationsMatchAMultiset) {
  std::vector<std::unique_ptr<Value>> pool;
  for (int i = 0; i < 40; ++i) pool.push_back(std::make_unique<Value>(i % 13));
  std::mt19937 rng(5);
  ClHashTable table(3);
  ClSet set(5);
  std::map<std::int32_t, std::size_t> model;
  for (int step = 0; step < 4000; ++step) {
    Value* v = pool[rng() % pool.size()].get();
    switch (rng() % 4) {
      case 0:
      case 1:
        table.Insert(v);
        set.Insert(v);
        ++model[v->value];
        break;
      case 2: {
        const bool present = model[v->value] > 0;
        ASSERT_EQ(table.Remove(v) != nullptr, present);
        if (present) --model[v->value];
        if (present && model[v->value] == 0) {
          ASSERT_NE(set.Remove(v), nullptr);
        }
        break;
      }
      case 3:
        table.Resize(rng() % 3 == 0 ? 0 : 1 + rng() % 50);
        set.Resize(rng() % 50);
        break;
    }
    std::size_t total = 0, distinct = 0;
    for (const auto& [value, n] : model) {
      total += n;
      distinct += n > 0 ? 1 : 0;
    }
    ASSERT_EQ(table.Entries(), total);
    ASSERT_EQ(set.Entries(), distinct);
    ASSERT_EQ(table.OccurrencesOf(v), model[v->value]);
    ASSERT_EQ(set.Contains(v), model[v->value] > 0);
    ASSERT_EQ(ValuesByIteration(table).size(), total);
  }
}

}  // namespace
