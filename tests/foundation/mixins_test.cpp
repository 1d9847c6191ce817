#include "foundation/messages_handler.h"
#include "foundation/mixins.h"
#include "tests/support/capture_sink.h"

#include <gtest/gtest.h>

namespace {

struct Flagged : BvuFilterable {};
struct Failing : BvuError {
  Failing() : BvuError(2) {}
};

TEST(Mixins, FlagsSetThenClear) {
  Flagged f;
  f.SetFlags(0x5);
  f.ClearFlags(0x4);
  EXPECT_EQ(f.GetFlags(), 0x1u);
}

TEST(Mixins, ErrorStatusStartsAtInitialValue) {
  Failing e;
  EXPECT_EQ(e.GetStatus(), 2u);
  EXPECT_EQ(e.SetStatus(0x80000007u), 0x80000007u);
  EXPECT_EQ(e.GetStatus(), 0x80000007u);
}

TEST(Mixins, NameableDefaultsToEmptyName) {
  BvuNameable n;
  EXPECT_STREQ(n.GetNameText(), "");
  EXPECT_EQ(n.EntryKind(), 0);
}

TEST(MessagesHandler, CollectorRegistersForItsLifetime) {
  EXPECT_EQ(GetMessageCollector(), nullptr);
  {
    testsupport::CaptureSink sink;
    EXPECT_EQ(GetMessageCollector(), &sink);
    GetMessageCollector()->EndGroup(0x80000001u);  // no text: dropped
    GetMessageCollector()->AddText("one");
    GetMessageCollector()->EndGroup(5);
    ASSERT_EQ(sink.groups().size(), 1u);
    EXPECT_EQ(sink.groups()[0].status, 5u);
  }
  EXPECT_EQ(GetMessageCollector(), nullptr);
}

}  // namespace
