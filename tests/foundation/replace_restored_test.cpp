// An object that hands the restore a replacement while its body is read:
// the replacement takes its number, later references reach it, and a
// restore that fails afterwards disposes of it once.
#include <gtest/gtest.h>

#include <string>

#include "foundation/collections/factory.h"
#include "foundation/collections/ordered.h"
#include "foundation/persistence/guarded_restore.h"
#include "foundation/persistence/memory_stream.h"
#include "foundation/persistence/persistence.h"
#include "tests/foundation/test_collectables.h"

using namespace testobjects;

namespace {

constexpr std::uint16_t kStandInId = 0x7A10;
int g_live_stand_ins = 0;

// Stands for a Value ten times its own number.
class StandIn : public ClCollectable {
 public:
  StandIn() { ++g_live_stand_ins; }
  ~StandIn() override { --g_live_stand_ins; }
  ClCollectable* NewEmpty() const override { return new StandIn; }
  std::uint16_t ClassId() const override { return kStandInId; }
  void RestoreFromVStream(Clvistream& stream) override {
    std::int32_t v = 0;
    stream.GetI32(v);
    ReplaceRestoredObject(this, new Value(10 * v));
  }
};

ClCollectable* MakeStandIn() { return new StandIn; }
const ClassIdRegistrar g_stand_in(&MakeStandIn, kStandInId);

// An ordered collection of `count` items: a stand-in, then references to it.
std::string Collection(std::uint32_t count, std::uint32_t written) {
  ClMemoryOutStream out;
  out.PutChar(':');
  out.PutU16(ClOrdered().ClassId());
  out.PutChar('{');
  out.PutU32(count);
  out.PutChar(':');
  out.PutU16(kStandInId);
  out.PutChar('{');
  out.PutI32(4);
  out.PutChar('}');
  for (std::uint32_t i = 1; i < written; ++i) {
    out.PutChar('@');
    out.PutU32(2);
  }
  if (written == count) out.PutChar('}');
  return out.Text();
}

TEST(ReplaceRestored, TheReplacementTakesTheNumberOfTheObjectRead) {
  const int values = g_live_values;
  ClMemoryInStream in(Collection(3, 3));
  const ClRestoreOutcome outcome = GuardedRestore(in);
  ASSERT_EQ(outcome.status, 0u) << outcome.message;
  auto* ordered = dynamic_cast<ClOrdered*>(outcome.object);
  ASSERT_NE(ordered, nullptr);
  ASSERT_EQ(ordered->Entries(), 3u);
  auto* value = dynamic_cast<Value*>(ordered->ItemAt(0));
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->value, 40);
  EXPECT_EQ(ordered->ItemAt(1), value);
  EXPECT_EQ(ordered->ItemAt(2), value);
  EXPECT_EQ(g_live_stand_ins, 0);
  delete value;
  delete ordered;
  EXPECT_EQ(g_live_values, values);
}

TEST(ReplaceRestored, AFailureAfterTheReplacementDisposesOfItOnce) {
  const int values = g_live_values;
  ClMemoryInStream in(Collection(3, 2));
  const ClRestoreOutcome outcome = GuardedRestore(in);
  EXPECT_NE(outcome.status, 0u);
  EXPECT_EQ(outcome.object, nullptr);
  EXPECT_EQ(g_live_stand_ins, 0);
  EXPECT_EQ(g_live_values, values);
}

}  // namespace
