#include <gtest/gtest.h>

#include <string>

#include "daes/model/parameter.h"
#include "daes/model/services.h"
#include "daes/model/variable.h"
#include "tests/daes/daes_helpers.h"

using namespace daestest;

namespace {

struct Results : DAESResultsServices {
  void AddVariable(DAESVarTableEntry*) override { ++added; }
  void RemoveVariable(DAESVarTableEntry*) override { ++removed; }
  void ForgetEntry(DAESVarTableEntry*) override {}
  Status AssignValue(DAESVarTableEntry*, double, std::int32_t, std::uint32_t) override { return 0; }
  int added = 0;
  int removed = 0;
};

// One variable item at T101 index 1, read into a fresh tree.
DAESRealVariable* ReadVariable(Tree& tree, const std::function<void(Writer&)>& body,
                               Status expected = 0) {
  EXPECT_EQ(tree.Read([&](Writer& w) {
    w.List(1);
    w.Item(mw::kRealVariable);
    w.Placement({T101(), {1, ".x"}});
    body(w);
  }),
            expected);
  return dynamic_cast<DAESRealVariable*>(tree.At({2, 1}));
}

TEST(VariableBody, EveryAttributeWithItsWidth) {
  Results results;
  daes::SetResultsServices(&results);
  Tree tree;
  DAESRealVariable* x = ReadVariable(tree, [](Writer& w) {
    w.Value(5.0);
    w.U8(6), w.U32(0x20);    // filter flags
    w.Upper(4.0);            // applied after the loop: clips 5 to 4
    w.ScaleReciprocal(0.5);  // scale 2
    w.U8(10), w.F64(1.5);    // makes the derivative
    w.U8(15), w.U16(1);      // into the results set
    w.U8(15), w.U16(0);      // and out again
    w.Description("level");
    w.U8(19), w.U32(0x40);  // flags on the derivative
    w.U8(20), w.U16(0);     // derivative not free
    w.End();
  });
  daes::SetResultsServices(nullptr);
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->GetKind(), daes::kStateVariableKind);
  EXPECT_EQ(x->GetRealValue(), 4.0);
  EXPECT_EQ(x->GetScale(), 2.0);
  double lo = 0, up = 0;
  x->GetBounds(&lo, &up);
  EXPECT_EQ(up, 4.0);
  EXPECT_EQ(x->GetFlags(), 0x31u);
  EXPECT_EQ(x->Description(), "level");
  EXPECT_EQ(results.added, 1);
  EXPECT_EQ(results.removed, 1);
  ASSERT_NE(x->Derivative(), nullptr);
  EXPECT_EQ(x->Derivative()->GetRealValue(), 1.5);
  EXPECT_EQ(x->Derivative()->GetFlags(), 0x44u);
  EXPECT_EQ(x->Derivative()->GetScale(), 2.0);
  EXPECT_STREQ(x->Derivative()->GetNameText(), "T101.x.Derivative");
}

TEST(VariableBody, SoftRefusalsReadOn) {
  struct Case {
    const char* what;
    std::function<void(Writer&)> body;
    Status status;
    double value;
  };
  const Case cases[] = {
      {"unknown tag", [](Writer& w) { w.U8(44), w.Value(2.0), w.End(); }, 0xA000FFFFu, 2.0},
      {"zero scale", [](Writer& w) { w.ScaleReciprocal(0.0), w.Value(3.0), w.End(); }, 0xA000FFFFu,
       3.0},
      {"inverted bounds", [](Writer& w) { w.Lower(2.0), w.Upper(1.0), w.End(); }, 0xA000FFFFu, 2.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Tree tree;
    DAESRealVariable* x = ReadVariable(tree, c.body, c.status);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->GetRealValue(), c.value);
    EXPECT_EQ(x->GetScale(), 1.0);
  }
}

TEST(ParameterBody, EachValueType) {
  struct Case {
    std::uint16_t tag;
    std::function<void(Writer&)> value;
    const char* printed;
  };
  const Case cases[] = {
      {16, [](Writer& w) { w.U32(7); }, "7"},
      {19, [](Writer& w) { w.F64(0.25); }, "0.25"},
      {17, [](Writer& w) { w.Text("abc"); }, "abc"},
      {23, [](Writer& w) { w.U32(1); }, "True"},
      {27, [](Writer& w) { w.U32(2), w.U32(2), w.U32(3), w.U32(5); }, "[3,5]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    Tree tree;
    ASSERT_EQ(tree.Read([&](Writer& w) {
      w.List(1);
      w.Item(mw::Tag(c.tag));
      w.Placement({T101(), {1, ".p"}});
      w.U8(1), c.value(w);
      w.U8(6), w.U32(0x1000);
      w.End();
    }),
              0u);
    auto* p = dynamic_cast<DAESParameter*>(tree.At({2, 1}));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->GetFlags(), 0x1180u);
    std::ostringstream out;
    p->TypedValue().Print(out);
    EXPECT_NE(out.str().find(c.printed), std::string::npos) << out.str();
  }
}

TEST(Entries, TornEntriesRefuseEverySpecificationButFree) {
  NoticeRecorder notices;
  Tree tree;
  DAESRealVariable* x = ReadVariable(tree, [](Writer& w) { w.End(); });
  ASSERT_NE(x, nullptr);
  x->SetFlags(daes::kTorn);
  EXPECT_EQ(x->SetSpec(daes::kSpecFixed), 0);
  EXPECT_EQ(x->GetFlags() & daes::kFixed, 0u);
  ASSERT_EQ(NoticeRecorder::Sent().size(), 1u);
  // u16 11, the name, u16 7, u16 1.
  EXPECT_TRUE(testsupport::SameBytes(testsupport::HexBytes("0B00 070000 543130312E7800 0700 0100"),
                                     NoticeRecorder::Sent()[0]));
  x->SetSpec(daes::kSpecFree);
  EXPECT_EQ(NoticeRecorder::Sent().size(), 1u);
}

TEST(Entries, ExternalAttributes) {
  DAESRealVariable v(nullptr, "v");
  v.SetBounds(0.0, 10.0);
  v.SetValue(5.0);
  struct Case {
    std::int32_t code;
    double value;
    Status status;
    double result;  // value afterwards
  };
  const Case cases[] = {
      {3, 20.0, daes::kNotImplemented, 5.0},  // above the upper bound
      {3, 6.0, 0, 6.0},                       // raises the value with the bound
      {4, 1.0, daes::kNotImplemented, 6.0},   // below the lower bound
      {4, 8.0, 0, 6.0},
      {2, 7.5, 0, 7.5},
      {12, 1.0, daes::kNotImplemented, 7.5},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(v.SetRealAttribute(c.code, c.value), c.status) << c.code;
    EXPECT_EQ(v.GetRealValue(), c.result) << c.code;
  }
  double out = 0;
  EXPECT_EQ(v.GetRealAttribute(4, &out), 0u);
  EXPECT_EQ(out, 8.0);
  std::int32_t n = 0;
  EXPECT_EQ(v.GetIntegerAttribute(2, &n), daes::kNotImplemented);  // a real, truncated
  EXPECT_EQ(n, 7);
  EXPECT_EQ(v.GetIntegerAttribute(5, &n), 0u);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(v.GetIntegerAttribute(7, &n), 0u);
  EXPECT_EQ(n, daes::kSpecFree);
}

}  // namespace
