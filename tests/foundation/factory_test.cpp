#include "foundation/factory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "foundation/ordered.h"
#include "foundation/slist.h"
#include "tests/foundation/test_collectables.h"

namespace {

// Two distinguishable creators for the same id.
struct First : ClCollectable {
  std::uint16_t ClassId() const override { return 0x7B01; }
};
struct Second : ClCollectable {
  std::uint16_t ClassId() const override { return 0x7B01; }
};
ClCollectable* MakeFirst() { return new First; }
ClCollectable* MakeSecond() { return new Second; }

TEST(Factory, LibraryClassesAreRegisteredAndSequenceableIsNot) {
  for (std::uint16_t id : {kClCollectableId, kClIdentitySetId, kClOrderedId, kClSetId,
                           kClSlistCollectablesId, kClHashTableId}) {
    std::unique_ptr<ClCollectable> object(CreateByClassId(id));
    ASSERT_NE(object, nullptr) << std::hex << id;
    EXPECT_EQ(object->ClassId(), id);
  }
  EXPECT_EQ(CreateByClassId(kClSequenceableId), nullptr);
  EXPECT_EQ(CreateByClassId(0x7BFF), nullptr);
  EXPECT_EQ(GetFactory()->ClassId(), kClSetId);
}

TEST(Factory, FirstRegistrationWinsAndUnregisterRemoves) {
  EXPECT_EQ(RegisterClassId(&MakeFirst, 0x7B01), 1);
  const std::size_t entries = GetFactory()->Entries();
  EXPECT_EQ(RegisterClassId(&MakeSecond, 0x7B01), 1);
  EXPECT_EQ(GetFactory()->Entries(), entries);  // the second association went
  EXPECT_EQ(GetFactory()->FindCreator(0x7B01), &MakeFirst);
  std::unique_ptr<ClCollectable> made(CreateByClassId(0x7B01));
  EXPECT_NE(dynamic_cast<First*>(made.get()), nullptr);

  UnregisterClassId(0x7B01);
  EXPECT_EQ(CreateByClassId(0x7B01), nullptr);
  EXPECT_EQ(GetFactory()->Entries(), entries - 1);
  UnregisterClassId(0x7B01);  // nothing left to remove
  RegisterClassId(&MakeSecond, 0x7B01);
  made.reset(CreateByClassId(0x7B01));
  EXPECT_NE(dynamic_cast<Second*>(made.get()), nullptr);
  UnregisterClassId(0x7B01);
}

TEST(Factory, ConcurrentRegistrationKeepsOneCreatorPerId) {
  constexpr int kThreads = 8;
  constexpr std::uint16_t kBase = 0x7C00;
  constexpr int kIds = 200;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
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
  std::size_t found = 0;
  for (int i = 0; i < kIds; ++i) {
    const ClCreateFunction f = GetFactory()->FindCreator(static_cast<std::uint16_t>(kBase + i));
    if (f == &MakeFirst || f == &MakeSecond) ++found;
    ClFunctionAssociation key(static_cast<std::uint16_t>(kBase + i), nullptr);
    EXPECT_EQ(GetFactory()->OccurrencesOf(&key), 1u);
    UnregisterClassId(static_cast<std::uint16_t>(kBase + i));
  }
  EXPECT_EQ(found, static_cast<std::size_t>(kIds));
}

TEST(CollectableRoot, ComparesAndHashesByAddress) {
  ClCollectable objects[2];
  ClCollectable* low = &objects[0];
  ClCollectable* high = &objects[1];
  EXPECT_EQ(low->CompareTo(low), 0);
  EXPECT_EQ(low->CompareTo(high), -1);
  EXPECT_EQ(high->CompareTo(low), 1);
  EXPECT_TRUE(low->IsEqual(low));
  EXPECT_FALSE(low->IsEqual(high));
  const auto p = reinterpret_cast<std::uintptr_t>(low);
  EXPECT_EQ(low->Hash(), static_cast<std::uint32_t>((p >> 3) ^ p));
  EXPECT_EQ(low->ClassId(), 0x8007);
  EXPECT_EQ(low->StoredSize(), 0u);
  std::unique_ptr<ClCollectable> copy(low->Copy());
  EXPECT_FALSE(copy->IsEqual(low));
}

}  // namespace
