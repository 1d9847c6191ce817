#include "foundation/hash_table.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <vector>

#include "foundation/set.h"
#include "tests/foundation/test_collectables.h"

namespace {

using testobjects::Value;

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

TEST(HashTables, BucketCountsAndResize) {
  EXPECT_EQ(ClHashTable().Buckets(), 64u);
  EXPECT_EQ(ClHashTable(0).Buckets(), 2u);
  std::vector<std::unique_ptr<Value>> values;
  for (int i = 0; i < 12; ++i) values.push_back(std::make_unique<Value>(i % 6));
  ClHashTable table(4);
  for (int i = 0; i < 11; ++i) table.Insert(values[i].get());
  EXPECT_EQ(table.Buckets(), 4u);  // insertion never resizes
  table.Resize(0);
  EXPECT_EQ(table.Buckets(), 16u);
  table.Insert(values[11].get());
  table.Resize(0);
  EXPECT_EQ(table.Buckets(), 18u);
  EXPECT_EQ(table.Entries(), 12u);
  // Equal items that reach a set (through a copy of a table's buckets)
  // are dropped again when the set is rebuilt through its own Insert.
  ClSet set(3);
  static_cast<ClHashTable&>(set) = table;
  EXPECT_EQ(set.Entries(), 12u);
  set.Resize(7);
  EXPECT_EQ(set.Buckets(), 7u);
  EXPECT_EQ(set.Entries(), 6u);
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

TEST(HashTables, ClearAndDestroyDeletesEachObjectOnce) {
  const int before = testobjects::g_live_values;
  auto* shared = new Value(1);
  ClHashTable table;
  for (Value* v : {shared, shared, new Value(2)}) table.Insert(v);
  table.ClearAndDestroy();
  EXPECT_TRUE(table.IsEmpty());
  ClSet set;
  set.Insert(new Value(3));
  set.ClearAndDestroy();
  EXPECT_EQ(testobjects::g_live_values, before);
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
