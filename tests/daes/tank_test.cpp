#include <gtest/gtest.h>

#include <random>

#include "daes/equations/equation_node.h"
#include "daes/model/parameter.h"
#include "daes/model/variable.h"
#include "tests/daes/daes_helpers.h"

using namespace daestest;
namespace mw = modelwriter;

namespace {

TEST(TankModel, BuildsTheExpectedTree) {
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  struct Case {
    std::vector<std::uint32_t> at;
    std::int32_t kind;
    const char* name;
    double value;
    std::uint32_t flags;
    std::int32_t spec;
  };
  const Case cases[] = {
      {{2, 1}, 25, "T101.h", 1.0, 0x8081, 32}, {{2, 1, 1}, 26, "T101.h.Derivative", 0.0, 0x14, 1},
      {{2, 2}, 24, "T101.F_in", 0.5, 0x82, 4}, {{2, 3}, 24, "T101.F_out", 0.0, 0x12, 1},
      {{2, 4}, 12, "T101.k", 0.5, 0x180, 4},   {{2, 5}, 12, "T101.A", 2.0, 0x180, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BvuDirectoryNode* node = tree.At(c.at);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->GetKind(), c.kind);
    EXPECT_STREQ(node->GetNameText(), c.name);
    DAESVarTableEntry* e = Entry(node);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->GetRealValue(), c.value);
    EXPECT_EQ(e->GetFlags(), c.flags);
    EXPECT_EQ(e->GetStateSpec(), c.spec);
  }
  EXPECT_EQ(tree.At({2})->GetKind(), 3);
  double lower = 1.0, upper = 0.0;
  Entry(tree.At({2, 1}))->GetBounds(&lower, &upper);
  EXPECT_EQ(lower, 0.0);
  EXPECT_EQ(upper, daes::kUnboundedHigh);

  // Equations: kind, name, bound elements in reference order, residuals.
  struct Eq {
    std::uint32_t index;
    const char* name;
    std::vector<std::vector<std::uint32_t>> refs;
    double residual;
  };
  const Eq eqs[] = {
      {6, "T101.MassBalance", {{2, 5}, {2, 1, 1}, {2, 2}, {2, 3}}, -0.5},
      {7, "T101.Outflow", {{2, 3}, {2, 4}, {2, 1}}, -0.5},
  };
  for (const Eq& q : eqs) {
    SCOPED_TRACE(q.name);
    auto* eq = dynamic_cast<DAESEquationNode*>(tree.At({2, q.index}));
    ASSERT_NE(eq, nullptr);
    EXPECT_EQ(eq->GetKind(), daes::kEquationKind);
    EXPECT_STREQ(eq->GetNameText(), q.name);
    ASSERT_EQ(eq->RowElements().size(), q.refs.size());
    EXPECT_EQ(eq->ScalarCount(), static_cast<std::int32_t>(q.refs.size()));
    for (std::size_t k = 0; k < q.refs.size(); ++k) {
      EXPECT_EQ(eq->RowElements()[k]->ElementVariable(), Entry(tree.At(q.refs[k])));
    }
    double r = 0.0;
    EXPECT_EQ(eq->EvaluateResidual(&r), 0u);
    EXPECT_DOUBLE_EQ(r, q.residual);
  }
}

TEST(TankModel, ResentItemsUpdateInPlaceAndEquationsAreReplaced) {
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  BvuDirectoryNode* h = tree.At({2, 1});
  BvuDirectoryNode* outflow = tree.At({2, 7});
  ASSERT_EQ(tree.Read([](Writer& w) {
    w.List(2);
    w.Item(mw::kStateVariable);
    w.Placement({T101(), {1, ".h"}});
    w.Value(4.0), w.End();
    Outflow(w);
  }),
            0u);
  EXPECT_EQ(tree.At({2, 1}), h);
  EXPECT_EQ(Entry(h)->GetRealValue(), 4.0);
  auto* again = dynamic_cast<DAESEquationNode*>(tree.At({2, 7}));
  ASSERT_NE(again, nullptr);
  EXPECT_NE(again, outflow);  // the old node is destroyed (ASan checks it)
  double r = 0.0;
  EXPECT_EQ(again->EvaluateResidual(&r), 0u);
  EXPECT_DOUBLE_EQ(r, 0.0 - 0.5 * 2.0);
}

TEST(TankModel, ParameterChangeSendsItsNotice) {
  NoticeRecorder notices;
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  EXPECT_TRUE(NoticeRecorder::Sent().empty());  // the client's own values are not echoed
  DAESVarTableEntry* k = Entry(tree.At({2, 4}));
  EXPECT_EQ(k->SetValue(0.5), 0u);
  EXPECT_TRUE(NoticeRecorder::Sent().empty());
  EXPECT_EQ(k->SetRealAttribute(2, 0.75), 0u);
  ASSERT_EQ(NoticeRecorder::Sent().size(), 1u);
  // u16 11, the name, the value with its type first.
  EXPECT_TRUE(testsupport::SameBytes(
      testsupport::HexBytes("0B00 070000 54313031 2E6B00 0400 000000000000E83F"),
      NoticeRecorder::Sent()[0]));
}

// Every proper prefix of the tank body is refused, and reading it never
// leaves a half-read node behind.
TEST(TankModel, TruncatedBodiesAreRefused) {
  const testsupport::Bytes bytes = BytesOf(Tank);
  ASSERT_GT(bytes.size(), 100u);
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    const auto message =
        testsupport::ReceivedBody(testsupport::Bytes(bytes.begin(), bytes.begin() + cut));
    Tree tree;
    const Status s = tree.root->ReadFromMessage(*message, tree.root, nullptr, tree.root);
    EXPECT_TRUE(status::IsFailure(s));
  }
}

TEST(TankModel, SeededRandomBytesNeverCrashTheReader) {
  const testsupport::Bytes bytes = BytesOf(Tank);
  ASSERT_GT(bytes.size(), 100u);
  std::mt19937 random(1717);
  for (int round = 0; round < 2000; ++round) {
    testsupport::Bytes damaged = bytes;
    const int flips = 1 + static_cast<int>(random() % 6);
    for (int f = 0; f < flips; ++f) {
      damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
    }
    const auto message = testsupport::ReceivedBody(damaged);
    Tree tree;
    tree.root->ReadFromMessage(*message, tree.root, nullptr, tree.root);
  }
}

}  // namespace
