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
}

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
        RegisterClassId(t % 2 == 0 ? &MakeFirst : &MakeSecond, static_cast<std::uint16_t>(kBase + i));
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

TEST(CollectableRoot, ComparesAndHashesByAddress) {
  ClCollectable objects[2];
  EXPECT_EQ(objects[0].CompareTo(&objects[0]), 0);
  EXPECT_EQ(objects[0].CompareTo(&objects[1]), -1);
  EXPECT_EQ(objects[1].CompareTo(&objects[0]), 1);
  EXPECT_FALSE(objects[0].IsEqual(&objects[1]));
  const auto p = reinterpret_cast<std::uintptr_t>(&objects[0]);
  EXPECT_EQ(objects[0].Hash(), static_cast<std::uint32_t>((p >> 3) ^ p));
  std::unique_ptr<ClCollectable> copy(objects[0].Copy());
  EXPECT_FALSE(copy->IsEqual(&objects[0]));
}

}  // namespace
