#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "expr/tree/system_function.h"
#include "tests/expr/expr_builders.h"
#include "tests/framework/message_helpers.h"
#include "tests/support/golden.h"

using namespace exprtest;
using testsupport::Bytes;
using testsupport::HexBytes;
using testsupport::SameBytes;

namespace {

Bytes Written(const Expression* e) {
  DseMessage message(60, DseMessage::kRequest);
  EXPECT_EQ(e->WriteCompactToMessage(message), 0u);
  return testsupport::BodyOf(message);
}

Ref Read(const Bytes& bytes) {
  const testsupport::MessagePtr message = testsupport::ReceivedBody(bytes);
  return Ref(Expression::ReadFromMessage(*message));
}

Ref TimeLeaf() { return Ref(NewSysFunExpression(FindOrRegisterSystemFunction("Time"))); }

// Each node: code u8, flags u16, type u16, children, then for a leaf the
// class id u8 and its body (real 8 bytes, integer 4, string 24-bit length
// with the NUL, offset 4, list count 4 and the items).
TEST(CompactForm, GoldenBytesForEveryLeafClassAndOperatorGroup) {
  const Ref v1 = Var(0);
  const Ref two = Real(2.0);
  struct Case {
    const char* what;
    Ref tree;
    const char* hex;
  };
  Case cases[] = {
      {"1+V1", B(kAdd, Real(1.0), Var(0)),
       "12 0000 0400  02 0000 0400 79 000000000000F03F  02 0000 0400 7C 00000000"},
      {"-V1", U(kMinus, Var(0)), "10 0000 0400  02 0000 0400 7C 00000000"},
      {"V1>V2", B(kGt, Var(0), Var(1)),
       "0A 0000 0300  02 0000 0400 7C 00000000  02 0000 0400 7C 01000000"},
      {"integer 7", Int(7), "02 0000 0200 79 07000000"},
      {"string ab", Text("ab"), "02 0000 0500 79 030000 616200"},
      {"Time", TimeLeaf(), "02 0000 0400 71 050000 54696D6500"},
      {"list", ListOf({&v1, &two}),
       "02 0000 0401 7F 02000000  02 0000 0400 7C 00000000"
       "  02 0000 0400 79 0000000000000040"},
      {"SIN V1", U(kSin, Var(0)), "19 0000 0400  02 0000 0400 7C 00000000"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes bytes = Written(c.tree.get());
    EXPECT_TRUE(SameBytes(HexBytes(c.hex), bytes));
    const Ref again = Read(bytes);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(SameBytes(bytes, Written(again.get())));
    EXPECT_EQ(Printed(again.get()), Printed(c.tree.get()));
    EXPECT_EQ(again->GetResultType(), c.tree->GetResultType());
  }
}

TEST(CompactForm, TimeRowReadsAsSystemFunctionSharingOneEntry) {
  const Ref a = Read(HexBytes("39 0000 0400"));
  const Ref b = Read(HexBytes("39 0000 0400"));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  auto* fa = dynamic_cast<SysFunExpression*>(a.get());
  auto* fb = dynamic_cast<SysFunExpression*>(b.get());
  ASSERT_TRUE(fa != nullptr && fb != nullptr);
  EXPECT_EQ(fa->Function(), fb->Function());
  // An unknown name is entered without a callback.
  const Ref unknown = Read(HexBytes("02 0000 0400 71 090000 466C6F775261746500"));
  ASSERT_NE(unknown, nullptr);
  ASSERT_NE(SystemFunction::Find("flowrate"), nullptr);
  EXPECT_FALSE(SystemFunction::Find("FlowRate")->HasCallback());
}

TEST(CompactForm, FlagsLandOnTheFinalSimplifiedNode) {
  // +V1 with flags 0x0804 simplifies to V1, which takes the flags.
  const Ref read = Read(HexBytes("0F 0408 0400  02 0000 0400 7C 00000000"));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->ClassId(), exprclass::kVarRef);
  EXPECT_EQ(read->Flags(), 0x0804);
}

TEST(CompactForm, MalformedInputGivesNull) {
  const Bytes good =
      HexBytes("12 0000 0400  02 0000 0400 79 000000000000F03F  02 0000 0400 7C 00000000");
  for (std::size_t n = 0; n < good.size(); ++n) {
    EXPECT_EQ(Read(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n))), nullptr)
        << "cut at " << n;
  }
  const char* bad[] = {
      "02 0000 0400 63",                                          // unknown class id
      "10 0000 0400  02 0000 0400 63",                            // unary over a child that fails
      "12 0000 0400  02 0000 0400 7C 00000000  02 0000 0400 81",  // right child fails
      "02 0000 0400 71 000000",                                   // system function without a name
      "02 0000 0401 7F 05000000 02 0000 0400 7C 00000000",        // list shorter than its count
  };
  for (const char* hex : bad) EXPECT_EQ(Read(HexBytes(hex)), nullptr) << hex;
}

// Add and Mul alternate down the right side over variables: no rule
// regroups them, so the tree read is as deep as the bytes say.
Bytes AlternatingChain(int levels) {
  Bytes bytes;
  const Bytes add = HexBytes("12 0000 0400  02 0000 0400 7C 00000000");
  const Bytes mul = HexBytes("14 0000 0400  02 0000 0400 7C 01000000");
  for (int i = 0; i < levels; ++i) {
    const Bytes& level = i % 2 == 0 ? add : mul;
    bytes.insert(bytes.end(), level.begin(), level.end());
  }
  const Bytes leaf = HexBytes("02 0000 0400 7C 02000000");
  bytes.insert(bytes.end(), leaf.begin(), leaf.end());
  return bytes;
}

TEST(CompactForm, NestingBeyondTheLimitIsRefused) {
  // Levels of operators and the leaf below them.
  const int deepest_chain = kMaxExpressionDepth - 1;
  const Ref deepest = Read(AlternatingChain(deepest_chain));
  ASSERT_NE(deepest, nullptr);
  EXPECT_EQ(deepest->NodeCount(), 2u * deepest_chain + 1);
  EXPECT_TRUE(SameBytes(Written(deepest.get()), AlternatingChain(deepest_chain)));
  EXPECT_EQ(Read(AlternatingChain(deepest_chain + 1)), nullptr);
}

// A list level counts three, as its stored form nests three objects.
TEST(CompactForm, NestedListsCountAsTheirStoredFormNests) {
  auto nested = [](int levels) {
    Bytes bytes;
    const Bytes list = HexBytes("02 0000 0401 7F 01000000");
    for (int i = 0; i < levels; ++i) bytes.insert(bytes.end(), list.begin(), list.end());
    const Bytes leaf = HexBytes("02 0000 0400 7C 00000000");
    bytes.insert(bytes.end(), leaf.begin(), leaf.end());
    return bytes;
  };
  EXPECT_NE(Read(nested((kMaxExpressionDepth - 1) / 3)), nullptr);
  EXPECT_EQ(Read(nested((kMaxExpressionDepth - 1) / 3 + 1)), nullptr);
}

// Slices fold into sets while they are read; all the folds of one read
// share one budget, so a short message cannot make gigabytes of sets.
TEST(CompactForm, FoldingIsBoundedPerRead) {
  auto slice = [](std::int32_t to) {
    return Hold(new BinaryExpression(kSlice, Int(1).get(), Int(to).get(), SUValue::kIntSet));
  };
  auto unions = [&](int count, std::int32_t to) {
    Ref tree = slice(to);
    for (int i = 1; i < count; ++i) {
      tree = Hold(new BinaryExpression(kUnion, slice(to).get(), tree.get(), SUValue::kIntSet));
    }
    return Written(tree.get());
  };
  const Ref one = Read(unions(1, 4000000));
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->ClassId(), exprclass::kTerminal);
  EXPECT_NE(Read(unions(40, 1000)), nullptr);
  EXPECT_EQ(Read(unions(2, 3000000)), nullptr);
  EXPECT_EQ(Read(unions(60, 4000000)), nullptr);
  // The budget is per read: the next one starts afresh.
  EXPECT_NE(Read(unions(1, 4000000)), nullptr);
}

// A node whose declared type no constant can be sent in is not folded: a
// tree that reads and sends must send again after a second read.
TEST(CompactForm, FoldingKeepsSendableTypes) {
  for (std::uint16_t op : {kSub, kAdd, kMinus}) {
    SCOPED_TRACE(op);
    const Ref node =
        Row(op).operands == 1 ? U(op, Real(1.0), 0x29) : B(op, Real(1.0), Real(2.0), 0x29);
    DseMessage out(60, DseMessage::kRequest);
    ASSERT_EQ(node->WriteCompactToMessage(out), 0u);
    const Bytes sent = testsupport::BodyOf(out);
    const Ref again = Read(sent);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(SameBytes(Written(again.get()), sent));
  }
  // Folds to a sendable type go on as before.
  EXPECT_EQ(B(kSub, Real(1.0), Real(2.0))->ClassId(), exprclass::kTerminal);
}

// Sums of many terms as the bytes of either shape nest them: Add headers
// and variable leaves, left-deep (all headers first) or right-deep (a
// header and a leaf in turn).
Bytes LongSum(int terms, bool left_deep) {
  const Bytes add = HexBytes("12 0000 0400");
  auto leaf = [](int i) {
    Bytes bytes = HexBytes("02 0000 0400 7C 00000000");
    bytes[6] = static_cast<std::uint8_t>(i % 7);
    return bytes;
  };
  Bytes bytes;
  auto append = [&](const Bytes& part) { bytes.insert(bytes.end(), part.begin(), part.end()); };
  for (int i = 0; i + 1 < terms; ++i) {
    append(add);
    if (!left_deep) append(leaf(i));
  }
  for (int i = left_deep ? 0 : terms - 1; i < terms; ++i) append(leaf(i));
  return bytes;
}

// 100,000 terms read, print, send and free on a thread with the stack of the
// server thread, in every build: the tree comes back balanced, and what it
// sends reads back to the same bytes.
TEST(CompactForm, LongSumsOfEitherShapeReadInLinearTimeAndBoundedStack) {
  for (bool left_deep : {true, false}) {
    SCOPED_TRACE(left_deep);
    std::thread reader([&] {
      const Ref sum = Read(LongSum(100000, left_deep));
      ASSERT_NE(sum, nullptr);
      EXPECT_EQ(sum->NodeCount(), 199999u);
      EXPECT_EQ(sum->Op(), kAdd);
      const std::string printed = Printed(sum.get());
      EXPECT_EQ(std::count(printed.begin(), printed.end(), 'V'), 100000);
      const Bytes sent = Written(sum.get());
      const Ref again = Read(sent);
      ASSERT_NE(again, nullptr);
      EXPECT_TRUE(SameBytes(Written(again.get()), sent));
    });
    reader.join();
  }
  // A short chain is built as before, through the simplifier.
  const Ref short_sum = Read(LongSum(3, true));
  ASSERT_NE(short_sum, nullptr);
  EXPECT_EQ(Printed(short_sum.get()), Printed(B(kAdd, B(kAdd, Var(0), Var(1)), Var(2)).get()));
}

// Levels of the tree (lists count one), walked with a stack of its own.
int Height(Expression* root) {
  int tallest = 0;
  std::vector<std::pair<Expression*, int>> pending{{root, 1}};
  while (!pending.empty()) {
    const auto [node, level] = pending.back();
    pending.pop_back();
    tallest = std::max(tallest, level);
    for (std::int32_t i = 1; i <= node->OperandCount(); ++i) {
      if (Expression* operand = node->Operand(i)) pending.emplace_back(operand, level + 1);
    }
  }
  return tallest;
}

// A long sum below one node of other flags: that node's regrouping may not
// rebuild the whole sum (it took a frame per term and overflowed the stack
// near 60,000 terms), and the tree stays shallow.
TEST(CompactForm, RegroupingAboveALongSumStaysShallow) {
  std::thread reader([] {
    Bytes bytes = HexBytes("12 0001 0400  02 0000 0400 7C 09000000");
    const Bytes sum = LongSum(80000, false);
    bytes.insert(bytes.end(), sum.begin(), sum.end());
    const Ref read = Read(bytes);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->NodeCount(), 160001u);
    EXPECT_LT(Height(read.get()), 2 * kMaxNestedSimplifications);
    const std::string printed = Printed(read.get());
    EXPECT_EQ(std::count(printed.begin(), printed.end(), 'V'), 80001);
    const Ref again = Read(Written(read.get()));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->NodeCount(), 160001u);
  });
  reader.join();
}

// Many such sums nested in each other, each below a node of other flags:
// every level's regrouping makes the tree a little taller than its bytes
// nest it. What the reader accepts stays within the nesting limit.
TEST(CompactForm, RegroupedTreesTallerThanTheLimitAreRefused) {
  auto nested = [](int levels) {
    Bytes bytes;
    auto header = [&](std::uint16_t flags) {
      const std::uint8_t h[] = {0x12, static_cast<std::uint8_t>(flags),
                                static_cast<std::uint8_t>(flags >> 8), 0x04, 0x00};
      bytes.insert(bytes.end(), std::begin(h), std::end(h));
    };
    auto leaf = [&](int i) {
      const std::uint8_t l[] = {0x02, 0, 0, 0x04, 0, 0x7C, static_cast<std::uint8_t>(i % 16),
                                0,    0, 0};
      bytes.insert(bytes.end(), std::begin(l), std::end(l));
    };
    for (int level = 0; level < levels; ++level) {
      header(static_cast<std::uint16_t>(0x0010 + level % 2));
      leaf(99);
      for (int term = 0; term < 99; ++term) {
        header(static_cast<std::uint16_t>((level % 2) << 8));
        leaf(term);
      }
    }
    leaf(7);
    return bytes;
  };
  std::thread reader([&] {
    const Ref read = Read(nested(500));
    if (read != nullptr) {
      EXPECT_LE(Height(read.get()), kMaxExpressionDepth);
    }
    // Fewer levels stay within it and read.
    const Ref fewer = Read(nested(100));
    ASSERT_NE(fewer, nullptr);
    EXPECT_LE(Height(fewer.get()), kMaxExpressionDepth);
  });
  reader.join();
}

// Nodes above a constant whose evaluation fails (1/0) cannot fold either;
// each level learns that from the level below instead of evaluating the
// whole term again (9,990 levels took seconds to build and again to read,
// minutes under the sanitizers). Alternating flags keep the sums from
// reading as one chain.
TEST(CompactForm, TermsAboveAFailedFoldReadInLinearTime) {
  std::thread reader([] {
    constexpr int kLevels = 9990;
    Ref term = B(kDiv, Real(1.0), Real(0.0));
    for (int level = 0; level < kLevels; ++level) {
      term = B(kAdd, term, Real(1.0));
      term->SetFlags(static_cast<std::uint16_t>(0x0010 + level % 2));
    }
    ASSERT_EQ(term->NodeCount(), 2u * kLevels + 3u);
    // Sent as the writer segments it: the reals must not straddle segments.
    DseMessage message(60, DseMessage::kRequest);
    ASSERT_EQ(term->WriteCompactToMessage(message), 0u);
    const Ref read = Ref(Expression::ReadFromMessage(*testsupport::Received(message)));
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->NodeCount(), 2u * kLevels + 3u);
    EXPECT_TRUE(read->IsTerm());
  });
  reader.join();
  // Short ones keep their form, and a node whose divisor is mended folds.
  const Ref sum = B(kAdd, B(kDiv, Real(1.0), Real(0.0)), Real(1.0));
  EXPECT_EQ(Printed(sum.get()), "(1/0)+1");
  Expression* quotient = sum->Operand(1);
  quotient->Operand(2, Real(4.0).get());
  quotient->AddRef();
  const Ref folded = Ref(SimplifyFully(quotient));
  EXPECT_EQ(Printed(folded.get()), "0.25");
}

// Sums and differences that name no type over a term whose fold fails, each
// level over a term of a larger type: the term is changed to the type of
// every level above it, and each change learns that it fails from the level
// below instead of evaluating it all again (9,000 levels took seconds to
// read, minutes under the sanitizers).
TEST(CompactForm, UntypedLevelsAboveAFailedFoldReadInLinearTime) {
  for (const std::uint16_t op : {kAdd, kSub}) {
    SCOPED_TRACE(op);
    std::thread reader([op] {
      constexpr int kLevels = 9000;
      constexpr std::uint16_t kFirstType = 300;
      DseMessage message(60, DseMessage::kRequest);
      for (int level = 0; level < kLevels; ++level) {
        ASSERT_EQ(message.PutUInt8(OperatorTable[op].code), 0u);
        ASSERT_EQ(message.PutUInt16(0), 0u);
        ASSERT_EQ(message.PutUInt16(0), 0u);
      }
      ASSERT_EQ(B(kDiv, Real(1.0), Real(0.0))->WriteCompactToMessage(message), 0u);
      for (int level = 0; level < kLevels; ++level) {
        const auto type = static_cast<std::uint16_t>(kFirstType + level);
        ASSERT_EQ(U(kMinus, Real(1.0), type)->WriteCompactToMessage(message), 0u);
      }
      const Ref read = Ref(Expression::ReadFromMessage(*testsupport::Received(message)));
      ASSERT_NE(read, nullptr);
      EXPECT_EQ(read->GetResultType(), kFirstType + kLevels - 1);
      EXPECT_EQ(read->NodeCount(), 3u * kLevels + 3u);
    });
    reader.join();
  }
}

// Random bytes, and random mutations of valid trees, are refused with null
// or read as some tree; nothing is read out of bounds (the sanitizer tree
// checks) and nothing leaks.
// A set difference of an ordered and an unordered empty set, sent without
// a type: the unordered one is changed to the ordered kind, a change that
// is not sent. Made on the constant at once, the difference folds on the
// first read as on every later one, so one round reaches the stable form.
TEST(CompactForm, ADifferenceOfSetConstantsOfTwoKindsSettlesInOneRound) {
  const Bytes sent = HexBytes("13 0000 0000  02 0000 2800 79  02 0000 0800 79");
  const Ref first = Read(sent);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->ClassId(), exprclass::kTerminal);
  const Bytes once = Written(first.get());
  const Ref second = Read(once);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(SameBytes(once, Written(second.get())));
  EXPECT_TRUE(SameBytes(HexBytes("02 0000 2800 79"), once));
}

// What a tree read sends reads back to a tree that sends the same bytes.
// The second read takes the message as sent: its reals do not straddle
// segments, as they might in bytes put into a message one by one.
::testing::AssertionResult SettlesInOneRound(const Bytes& bytes) {
  const Ref first = Read(bytes);
  if (first == nullptr) return ::testing::AssertionSuccess() << "refused";
  DseMessage sent(60, DseMessage::kRequest);
  if (first->WriteCompactToMessage(sent) != 0u) return ::testing::AssertionFailure() << "not sent";
  const Bytes once = testsupport::BodyOf(sent);
  const Ref second = Ref(Expression::ReadFromMessage(*testsupport::Received(sent)));
  if (second == nullptr) return ::testing::AssertionFailure() << "what it sent did not read";
  return SameBytes(once, Written(second.get()));
}

// Random sums and products whose headers differ in type (some no type a
// value has) and flags, nested in each other, short and long, with
// constants that vanish and unary nodes over them.
class MixedSums {
 public:
  explicit MixedSums(std::uint32_t seed) : random_(seed) {}

  Bytes Tree() {
    Bytes bytes;
    Node(bytes, 0);
    return bytes;
  }

 private:
  void Header(Bytes& bytes, std::uint8_t code, std::uint16_t flags, std::uint16_t type) {
    const std::uint8_t h[] = {
        code, static_cast<std::uint8_t>(flags), static_cast<std::uint8_t>(flags >> 8),
        static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(type >> 8)};
    bytes.insert(bytes.end(), std::begin(h), std::end(h));
  }
  std::uint16_t Pick(std::initializer_list<std::uint16_t> choices) {
    return choices.begin()[random_() % choices.size()];
  }
  void Leaf(Bytes& bytes) {
    if (random_() % 5 == 0) {
      // 0 or 1: an identity of one row or the other.
      bytes.insert(bytes.end(), {0x02, 0, 0, 0x04, 0, 0x79, 0, 0, 0, 0, 0, 0});
      bytes.push_back(0);
      bytes.push_back(random_() % 2 == 0 ? 0 : 0x3F);
      if (bytes.back() == 0x3F) bytes[bytes.size() - 2] = 0xF0;
      return;
    }
    Header(bytes, 0x02, Pick({0, 0, 0x10}),
           Pick({SUValue::kReal, SUValue::kReal, SUValue::kInteger}));
    bytes.insert(bytes.end(), {0x7C, static_cast<std::uint8_t>(random_() % 16), 0, 0, 0});
  }
  void Node(Bytes& bytes, int depth) {
    const std::uint32_t pick = random_() % 8;
    if (depth > 4 || pick == 0 || --nodes_left_ < 0) return Leaf(bytes);
    if (pick == 1) {
      Header(bytes, Pick({0x0F, 0x0F, 0x10}), Pick({0, 0x10, 0x200}), Pick({0, 4}));
      return Node(bytes, depth + 1);
    }
    const std::uint8_t code = random_() % 3 == 0 ? 0x14 : 0x12;
    const std::uint16_t flags = Pick({0, 0, 0x10, 0x200});
    const std::uint16_t type = Pick({0, 0, 4, 4, 4, 0x5B, 0x104, 0x2E04});
    const int terms = random_() % 3 == 0 ? 60 + static_cast<int>(random_() % 20)
                                         : 2 + static_cast<int>(random_() % 6);
    Chain(bytes, code, flags, type, terms, depth);
  }
  // A chain of `terms` terms split at random points.
  void Chain(Bytes& bytes, std::uint8_t code, std::uint16_t flags, std::uint16_t type, int terms,
             int depth) {
    if (terms == 1) return Node(bytes, depth + 1);
    Header(bytes, code, flags, type);
    const int left = 1 + static_cast<int>(random_() % static_cast<std::uint32_t>(terms - 1));
    Chain(bytes, code, flags, type, left, depth);
    Chain(bytes, code, flags, type, terms - left, depth);
  }

  std::mt19937 random_;
  int nodes_left_ = 12;  // inner nodes and chains, so that a tree stays small
};

// One read-write round reaches the stable form: the simplifier regroups a
// chain only with nodes of its own type and flags (others are terms of it,
// as the reader takes them), a leaf of no type reads as the real it is
// sent as, and a chain that its head's new flags or a join changed is made
// again as it would read.
TEST(CompactForm, OneRoundReachesTheStableForm) {
  // -V1 with the leaf sent without a type: the minus takes its type at once.
  const Ref minus = Read(HexBytes("10 0000 0000  02 0000 0000 7C 05000000"));
  ASSERT_NE(minus, nullptr);
  EXPECT_EQ(minus->GetResultType(), SUValue::kReal);
  // The fuzzed 17 bytes that took three reads: a minus over a corrupt
  // header whose leaf is sent untyped.
  EXPECT_TRUE(SettlesInOneRound(HexBytes("10 0000 0000  00 2614 0000 7C 3F000200 1400")));
  // +(long sum) with other flags: the head of the balanced sum takes them.
  Bytes plus = HexBytes("0F 1000 0400");
  const Bytes sum = LongSum(100, true);
  plus.insert(plus.end(), sum.begin(), sum.end());
  EXPECT_TRUE(SettlesInOneRound(plus));
  const Ref read = Read(plus);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->Flags(), 0x0010);
  for (std::uint32_t seed = 1; seed <= 2000; ++seed) {
    EXPECT_TRUE(SettlesInOneRound(MixedSums(seed).Tree())) << "seed " << seed;
  }
}

// A node that names no type takes one from its operands, and reads as it
// does once sent with that type: a change to real is sent as Float, a change
// that is not sent is left out, and a sum whose terms differ in type is a
// sum of the smaller type's terms within one of the larger type.
TEST(CompactForm, ANodeThatNamesNoTypeReadsAsItsTypedForm) {
  struct Case {
    const char* what;
    const char* untyped;
    const char* typed;
  };
  const Case cases[] = {
      {"V1+V2", "12 0000 0000  02 0000 0400 7C 00000000  02 0000 0400 7C 01000000",
       "12 0000 0400  02 0000 0400 7C 00000000  02 0000 0400 7C 01000000"},
      {"V1*V2", "14 1000 0000  02 0000 0400 7C 00000000  02 0000 0400 7C 01000000",
       "14 1000 0400  02 0000 0400 7C 00000000  02 0000 0400 7C 01000000"},
      {"integer I1 + V2", "12 0000 0000  02 0000 0200 7C 00000000  02 0000 0400 7C 01000000",
       "12 0000 0400  11 0000 0400 02 0000 0200 7C 00000000  02 0000 0400 7C 01000000"},
      {"(I1+I2)+V3",
       "12 0000 0000  12 0000 0000 02 0000 0200 7C 00000000 02 0000 0200 7C 01000000"
       "  02 0000 0400 7C 02000000",
       "12 0000 0400  11 0000 0400 12 0000 0200 02 0000 0200 7C 00000000"
       " 02 0000 0200 7C 01000000  02 0000 0400 7C 02000000"},
      {"V1-V2", "13 0000 0000  02 0000 0400 7C 00000000  02 0000 0400 7C 01000000",
       "13 0000 0400  02 0000 0400 7C 00000000  02 0000 0400 7C 01000000"},
      // A plain leaf of some array type less the empty set: the change of
      // the set to that type is not sent.
      {"leaf less the empty set", "13 1200 0000  00 0800 28FB 78  02 0000 0800 79",
       "13 1200 28FB  00 0800 28FB 78  02 0000 0800 79"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Ref untyped = Read(HexBytes(c.untyped));
    const Ref typed = Read(HexBytes(c.typed));
    ASSERT_NE(untyped, nullptr);
    ASSERT_NE(typed, nullptr);
    EXPECT_TRUE(SameBytes(Written(typed.get()), Written(untyped.get())));
    EXPECT_EQ(Printed(untyped.get()), Printed(typed.get()));
    EXPECT_TRUE(SettlesInOneRound(HexBytes(c.untyped)));
  }
  // A long sum that names no type is balanced as a typed one is: its 99
  // headers, five bytes each, come first.
  Bytes sum = LongSum(100, true);
  for (std::size_t node = 0; node < 99; ++node) sum[node * 5 + 3] = 0;
  const Ref balanced = Read(sum);
  ASSERT_NE(balanced, nullptr);
  EXPECT_TRUE(SameBytes(Written(Read(LongSum(100, true)).get()), Written(balanced.get())));
}

// 0*V1 folds to the simplifier's shared zero; the flags read for the
// product go on a copy of it, not on the zero every later fold hands out.
TEST(CompactForm, FlagsOfAFoldedNodeLeaveTheSharedConstantsAlone) {
  const Ref read =
      Read(HexBytes("14 1000 0400  02 0000 0400 79 0000000000000000  02 0000 0400 7C 00000000"));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->ClassId(), exprclass::kTerminal);
  EXPECT_EQ(read->Flags(), 0x0010);
  EXPECT_NE(read.get(), Constants().real0);
  EXPECT_EQ(Constants().real0->Flags(), 0);
}

// A short sum whose bytes nest beyond the limit is refused as any other
// nesting is; balanced, it would read back through the simplifier.
TEST(CompactForm, AShortSumNestedBeyondTheLimitIsRefused) {
  auto sum_over_deep_term = [](int levels) {
    Bytes bytes;
    const Bytes add = HexBytes("12 0000 0400  02 0000 0400 7C 00000000");
    for (int i = 0; i < 8; ++i) bytes.insert(bytes.end(), add.begin(), add.end());
    const Bytes minus = HexBytes("10 0000 0400");
    for (int i = 0; i < levels; ++i) bytes.insert(bytes.end(), minus.begin(), minus.end());
    const Bytes leaf = HexBytes("02 0000 0400 7C 01000000");
    bytes.insert(bytes.end(), leaf.begin(), leaf.end());
    return bytes;
  };
  std::thread reader([&] {
    EXPECT_NE(Read(sum_over_deep_term(kMaxExpressionDepth - 20)), nullptr);
    EXPECT_EQ(Read(sum_over_deep_term(kMaxExpressionDepth - 5)), nullptr);
  });
  reader.join();
}

TEST(CompactForm, SeededRandomBytesNeverBreakTheReader) {
  std::mt19937 random(20261207);
  const Bytes seed = HexBytes(
      "12 0000 0400  10 0000 0400 02 0000 0401 7F 02000000 02 0000 0400 79 000000000000F03F"
      " 02 0000 0400 7C 00000000  02 0000 0500 79 030000 616200");
  int read = 0;
  for (int round = 0; round < 4000; ++round) {
    Bytes bytes;
    if (round % 2 == 0) {
      bytes.resize(random() % 48);
      for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
      // Start with a real code often enough to get past the first byte.
      if (!bytes.empty() && round % 4 == 0) bytes[0] = OperatorTable[random() % kOperatorRows].code;
    } else {
      bytes = seed;
      for (int k = 0; k < 3; ++k)
        bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
      bytes.resize(random() % (bytes.size() + 1));
    }
    const Ref tree = Read(bytes);
    if (tree != nullptr) {
      ++read;
      DseMessage out(60, DseMessage::kRequest);
      tree->WriteCompactToMessage(out);
      Printed(tree.get());
    }
  }
  EXPECT_GT(read, 0);
}

}  // namespace
