#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include "expr/store/restore_helpers.h"
#include "expr/tree/proc_call_expression.h"
#include "expr/tree/system_function.h"
#include "foundation/collections/factory.h"
#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/guarded_restore.h"
#include "foundation/persistence/memory_stream.h"
#include "foundation/persistence/persistence.h"
#include "tests/expr/expr_builders.h"
#include "tests/framework/message_helpers.h"

using namespace exprtest;
using testsupport::Bytes;

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string SaveBinary(const Expression* e) {
  File f(std::tmpfile());
  ClFileStream stream(f.get());
  StoreCollectableToFile(stream, e);
  std::fflush(f.get());
  std::string out;
  std::rewind(f.get());
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f.get())) > 0;) out.append(buf, n);
  return out;
}

ClRestoreOutcome RestoreBinary(const std::string& bytes) {
  File f(std::tmpfile());
  std::fwrite(bytes.data(), 1, bytes.size(), f.get());
  std::rewind(f.get());
  ClFileStream stream(f.get());
  return GuardedRestoreFromFile(stream, nullptr, &DisposeRestoredExpression);
}

std::string SaveText(const Expression* e) {
  ClMemoryOutStream out;
  StoreCollectable(out, e);
  return out.Text();
}

ClRestoreOutcome RestoreText(const std::string& text) {
  ClMemoryInStream in(text);
  return GuardedRestore(in, nullptr, &DisposeRestoredExpression);
}

Ref Restored(const ClRestoreOutcome& outcome) {
  auto* e = dynamic_cast<Expression*>(outcome.object);
  return e != nullptr ? Hold(e) : Ref();
}

double Pressure(std::uint64_t value) { return static_cast<double>(value) / 2; }

Ref Sample(std::uint16_t id) {
  const Ref v = Var(3), r = Real(2.5);
  switch (id) {
    case exprclass::kSysFun:
      SystemFunction::Register("Pressure", 7, &Pressure, true);
      return Ref(NewSysFunExpression(SystemFunction::Find("pressure")));
    case exprclass::kExpression:
      return Hold(new Expression(kInsEnd, 0));
    case exprclass::kTerminal:
      return Text("abc");
    case exprclass::kUnary:
      return U(kSqrt, Var(0));
    case exprclass::kBinary:
      return B(kSub, Var(0), Real(1.5));
    case exprclass::kVarRef:
      return Var(9);
    case exprclass::kVariable:
      return Hold(
          new VariableExpression(new ExpressionVariable, VariableExpression::kOwnsVariable));
    case exprclass::kList:
      return ListOf<ListExpression>({&v, &r});
    case exprclass::kHomList:
      return ListOf({&v, &r});
    case exprclass::kProcIOList:
      return ListOf<ProcIOListExpression>({&v, &r}, 0);
    case exprclass::kProcCall: {
      const Ref in = ListOf<ProcIOListExpression>({&v, &r}, 0);
      const Ref out = ListOf<ProcIOListExpression>({&v}, 0);
      auto* call = new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                          static_cast<ProcIOListExpression*>(out.get()));
      call->SetSizeExpression(r.get());
      return Hold(call);
    }
    default:
      return Ref();
  }
}

const std::uint16_t kIds[] = {exprclass::kSysFun,   exprclass::kExpression, exprclass::kTerminal,
                              exprclass::kUnary,    exprclass::kBinary,     exprclass::kVarRef,
                              exprclass::kList,     exprclass::kHomList,    exprclass::kProcIOList,
                              exprclass::kVariable, exprclass::kProcCall};

TEST(StoredForm, FactoryMakesEveryExpressionClass) {
  EnsureExpressionClassesRegistered();
  for (std::uint16_t id : {109, 112, 113, 120, 121, 122, 123, 124, 125, 126, 127, 128, 129}) {
    std::unique_ptr<ClCollectable> made(CreateByClassId(id));
    ASSERT_NE(made, nullptr) << id;
    EXPECT_EQ(made->ClassId(), id);
  }
}

TEST(StoredForm, EveryClassRoundTripsThroughBinaryFilesAndVirtualStreams) {
  for (std::uint16_t id : kIds) {
    SCOPED_TRACE(id);
    const Ref original = Sample(id);
    for (bool binary : {true, false}) {
      const ClRestoreOutcome outcome = binary ? RestoreBinary(SaveBinary(original.get()))
                                              : RestoreText(SaveText(original.get()));
      ASSERT_EQ(outcome.status, 0u) << outcome.message;
      const Ref back = Restored(outcome);
      ASSERT_NE(back, nullptr);
      EXPECT_EQ(back->ClassId(), id);
      EXPECT_EQ(back->Op(), original->Op());
      EXPECT_EQ(back->NodeCount(), original->NodeCount());
      EXPECT_EQ(Printed(back.get()), Printed(original.get()));
      // The binary body carries no result type (a terminal keeps its own).
      if (!binary) {
        EXPECT_EQ(back->GetResultType(), original->GetResultType());
      }
    }
  }
}

Bytes SentCompact(const Expression* e) {
  DseMessage message(60, DseMessage::kRequest);
  EXPECT_EQ(e->WriteCompactToMessage(message), 0u);
  return testsupport::BodyOf(message);
}

Ref ReadCompact(const Bytes& bytes) {
  const testsupport::MessagePtr message = testsupport::ReceivedBody(bytes);
  return Ref(Expression::ReadFromMessage(*message));
}

// An operand of the row's kind: the list of an aggregate, a name where one
// is dereferenced, a variable otherwise.
Ref OperandFor(std::uint16_t op, std::uint32_t at) {
  const OperatorRow& row = OperatorTable[op];
  if ((row.flags & opflag::kAggregate) != 0) {
    const Ref a = Var(at), b = Var(at + 1);
    return ListOf({&a, &b});
  }
  if (row.operand_types[0] == SUValue::kName) return Text("x", SUValue::kName);
  return Var(at);
}

// A binary file carries no result types: a tree restored from one names
// none. Sent in the compact form, it reads back typed from its operands as
// the tree it was saved from, and in the form that one more round keeps.
TEST(StoredForm, RestoredTreesOfEveryOperatorReadBackFromTheCompactForm) {
  int read = 0;
  for (std::uint16_t op = 0; op < kEmptyRow; ++op) {
    const OperatorRow& row = OperatorTable[op];
    // A pure change of type is never sent; leaves have no operator to type.
    if (op == kNop || row.operands == 0) continue;
    SCOPED_TRACE(row.name);
    const Ref a = OperandFor(op, 0), b = OperandFor(op, 2);
    const Ref tree = row.operands == 1 ? U(op, a) : B(op, a, b);
    const ClRestoreOutcome outcome = RestoreBinary(SaveBinary(tree.get()));
    ASSERT_EQ(outcome.status, 0u) << outcome.message;
    const Ref restored = Restored(outcome);
    ASSERT_NE(restored, nullptr);
    const Bytes sent = SentCompact(restored.get());
    const Ref back = ReadCompact(sent);
    ASSERT_NE(back, nullptr) << Printed(tree.get());
    ++read;
    EXPECT_EQ(Printed(back.get()), Printed(tree.get()));
    EXPECT_EQ(back->GetResultType(), tree->GetResultType()) << Printed(tree.get());
    const Bytes once = SentCompact(back.get());
    const Ref again = ReadCompact(once);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(testsupport::SameBytes(once, SentCompact(again.get())));
  }
  EXPECT_GT(read, 90);
}

TEST(StoredForm, SystemFunctionKeepsItsBindingInEveryForm) {
  const Ref node = Sample(exprclass::kSysFun);
  for (const std::string& saved : {SaveBinary(node.get()), SaveText(node.get())}) {
    const bool binary = saved.size() >= 2 && static_cast<unsigned char>(saved[0]) == 0x88;
    const Ref back = Restored(binary ? RestoreBinary(saved) : RestoreText(saved));
    ASSERT_NE(back, nullptr);
    back->SetResultType(SUValue::kReal);
    const Outcome o = Eval(back.get());
    EXPECT_EQ(o.status, 0u);
    EXPECT_EQ(o.value.payload.real, 3.5);
  }
}

TEST(StoredForm, DamagedBodiesFailWithAStatusAndLeaveNothingBehind) {
  const Ref leaf = Var(1);
  const Ref tree = B(kAdd, U(kExp, Var(0)), U(kSigma, ListOf({&leaf, &leaf})));
  const std::string binary = SaveBinary(tree.get());
  const std::string text = SaveText(tree.get());
  for (std::size_t n = 0; n < binary.size(); ++n) {
    EXPECT_NE(RestoreBinary(binary.substr(0, n)).status, 0u) << "binary cut at " << n;
  }
  for (std::size_t n = 0; n + 1 < text.size(); ++n) {
    EXPECT_NE(RestoreText(text.substr(0, n)).status, 0u) << "text cut at " << n;
  }
  // A list whose item is not an expression is refused too.
  std::string foreign = text;
  const std::size_t at = foreign.find(":124");
  ASSERT_NE(at, std::string::npos);
  foreign.replace(at, 4, ":109");
  EXPECT_NE(RestoreText(foreign).status, 0u);
}

// Saved graphs with random bytes changed after the root's class id: every
// restore either gives an expression or fails with a status, and a failed
// one leaves nothing behind (the sanitizer tree checks).
TEST(StoredForm, SeededDamageToStoredGraphsIsRefusedOrRead) {
  const Ref leaf = Var(1);
  const Ref shared = U(kExp, Var(0));
  const Ref tree = B(kAdd, B(kMul, shared, shared), U(kSigma, ListOf({&leaf, &shared})));
  const std::string binary = SaveBinary(tree.get());
  const std::string text = SaveText(tree.get());
  const std::size_t text_body = text.find('{') + 1;
  std::mt19937 random(15);
  int refused = 0;
  for (int round = 0; round < 3000; ++round) {
    const bool use_binary = round % 2 == 0;
    std::string bytes = use_binary ? binary : text;
    const std::size_t from = use_binary ? 6 : text_body;
    for (int k = 0; k < 1 + round % 3; ++k) {
      bytes[from + random() % (bytes.size() - from)] = static_cast<char>(random());
    }
    const ClRestoreOutcome outcome = use_binary ? RestoreBinary(bytes) : RestoreText(bytes);
    if (outcome.status != 0) {
      ++refused;
      continue;
    }
    const Ref back = Restored(outcome);
    if (back == nullptr) continue;
    Printed(back.get());
    Eval(back.get());
  }
  EXPECT_GT(refused, 0);
}

// A long left-deep sum, as models write them, goes through both forms.
TEST(StoredForm, DeepTreesRoundTrip) {
  Ref sum = Var(0);
  for (int i = 1; i < 5000; ++i) sum = B(kAdd, sum, Var(static_cast<std::uint32_t>(i % 7)));
  for (bool binary : {true, false}) {
    const ClRestoreOutcome outcome =
        binary ? RestoreBinary(SaveBinary(sum.get())) : RestoreText(SaveText(sum.get()));
    ASSERT_EQ(outcome.status, 0u) << outcome.message;
    EXPECT_EQ(Restored(outcome)->NodeCount(), sum->NodeCount());
  }
}

// A node whose operand is one of its own ancestors is refused.
TEST(StoredForm, CyclesInAStoredGraphAreRefused) {
  const Ref tree = U(kMinus, U(kExp, Var(0)));
  std::string text = SaveText(tree.get());
  // The inner node (object 2) gets a reference to the root (object 1).
  const std::size_t inner = text.find(":122", 1);
  ASSERT_NE(inner, std::string::npos);
  const std::size_t operand = text.find(":124", inner);
  const std::size_t end = text.find('}', operand);
  text.replace(operand, end - operand + 1, "@1 ");
  EXPECT_NE(RestoreText(text).status, 0u);
  // A list whose item is a list expression over that same list: nothing
  // else claims the list, so only the ancestor check can see the cycle.
  EXPECT_NE(RestoreText(":109 {:32808 {1 :127 {260 0 0 @1 }}}").status, 0u);
  EXPECT_NE(RestoreText(":109 {:32808 {1 :122 { 4 0 0 :127 {260 0 0 @1 }}}}").status, 0u);
}

}  // namespace

namespace {

Ref StoredCall() {
  const Ref v = Var(3), r = Real(2.5);
  const Ref in = ListOf<ProcIOListExpression>({&v, &r}, 0);
  const Ref out = ListOf<ProcIOListExpression>({&v}, 0);
  return Hold(new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                     static_cast<ProcIOListExpression*>(out.get())));
}

// Replaces the n-th stored class id `from` (u16, in the binary form) by `to`.
std::string ReplaceBinaryClass(std::string bytes, std::uint16_t from, std::uint16_t to, int n) {
  const std::string old{static_cast<char>(from & 0xFF), static_cast<char>(from >> 8)};
  std::size_t at = 0;
  for (int i = 0; i <= n; ++i) {
    at = bytes.find(old, i == 0 ? 4 : at + 1);
    if (at == std::string::npos) return bytes;
  }
  bytes[at] = static_cast<char>(to & 0xFF);
  bytes[at + 1] = static_cast<char>(to >> 8);
  return bytes;
}

std::string ReplaceTextClass(std::string text, const std::string& from, const std::string& to,
                             int n) {
  std::size_t at = 0;
  for (int i = 0; i <= n; ++i) {
    at = text.find(from, i == 0 ? 0 : at + 1);
    if (at == std::string::npos) return text;
  }
  return text.replace(at, from.size(), to);
}

}  // namespace

// A call whose input or output operand is a node but no input/output list,
// and a call cut anywhere: the failed restore disposes of every object it
// made exactly once (the sanitizer tree checks for double frees and leaks).
TEST(StoredForm, DamagedProcedureCallsAreDisposedOfOnce) {
  const Ref call = StoredCall();
  const std::string binary = SaveBinary(call.get());
  const std::string text = SaveText(call.get());
  for (int list = 0; list < 2; ++list) {
    SCOPED_TRACE(list);
    const std::string wrong_binary =
        ReplaceBinaryClass(binary, exprclass::kProcIOList, exprclass::kHomList, list);
    ASSERT_NE(wrong_binary, binary);
    EXPECT_EQ(RestoreBinary(wrong_binary).status, status::kBadArguments);
    const std::string wrong_text = ReplaceTextClass(text, ":128", ":127", list);
    ASSERT_NE(wrong_text, text);
    EXPECT_EQ(RestoreText(wrong_text).status, status::kBadArguments);
    // A plain node in place of the list.
    EXPECT_NE(RestoreText(ReplaceTextClass(text, ":128", ":126", list)).status, 0u);
  }
  for (std::size_t n = 0; n < binary.size(); ++n) {
    EXPECT_NE(RestoreBinary(binary.substr(0, n)).status, 0u) << "binary cut at " << n;
  }
  for (std::size_t n = 0; n + 1 < text.size(); ++n) {
    EXPECT_NE(RestoreText(text.substr(0, n)).status, 0u) << "text cut at " << n;
  }
}

// A stored graph may name one node from several places. Doubling a node at
// every level makes a few hundred bytes stand for billions of nodes: such a
// graph is refused, while ordinary sharing restores as it was saved.
TEST(StoredForm, SharingIsBoundedByTheStoredSize) {
  auto doubled = [](int levels) {
    Ref node = Var(0);
    for (int i = 0; i < levels; ++i) {
      node = Hold(new BinaryExpression(i % 2 == 0 ? kAdd : kMul, node.get(), node.get(), 0));
    }
    return node;
  };
  const Ref small = doubled(4);
  const Ref huge = doubled(30);
  for (bool binary : {true, false}) {
    SCOPED_TRACE(binary);
    const ClRestoreOutcome ok =
        binary ? RestoreBinary(SaveBinary(small.get())) : RestoreText(SaveText(small.get()));
    ASSERT_EQ(ok.status, 0u) << ok.message;
    const Ref back = Restored(ok);
    EXPECT_EQ(back->NodeCount(), 31u);
    EXPECT_EQ(Printed(back.get()), Printed(small.get()));
    const std::string saved = binary ? SaveBinary(huge.get()) : SaveText(huge.get());
    EXPECT_LT(saved.size(), 1000u);
    EXPECT_EQ((binary ? RestoreBinary(saved) : RestoreText(saved)).status, status::kBadArguments);
  }
  // Through a list as well; a long list may name one constant many times.
  const Ref half = doubled(20);
  const Ref list = ListOf({&half, &half, &half});
  EXPECT_EQ(RestoreText(SaveText(list.get())).status, status::kBadArguments);
  const Ref zero = Real(0.0);
  auto* zeros = new ExpressionList;
  for (int i = 0; i < 20000; ++i) zeros->Append(zero.get());
  const Ref many = Hold(new HomListExpression(zeros, 0x100));
  const ClRestoreOutcome outcome = RestoreBinary(SaveBinary(many.get()));
  ASSERT_EQ(outcome.status, 0u) << outcome.message;
  EXPECT_EQ(Restored(outcome)->NodeCount(), many->NodeCount());
}

// What the compact reader accepts at the nesting limit is stored and
// restored again in both forms, and one level more is refused there too.
TEST(StoredForm, NestingLimitHoldsForStoredForms) {
  auto chain = [](int levels) {
    Ref node = Var(2);
    for (int i = 0; i < levels; ++i) {
      node = Hold(new BinaryExpression(i % 2 == 0 ? kAdd : kMul, Var(0).get(), node.get(), 0));
    }
    return node;
  };
  auto lists = [](int levels) {
    Ref node = Var(2);
    for (int i = 0; i < levels; ++i) node = ListOf({&node});
    return node;
  };
  for (const Ref& tree : {chain(kMaxExpressionDepth - 1), lists((kMaxExpressionDepth - 1) / 3)}) {
    for (bool binary : {true, false}) {
      const ClRestoreOutcome outcome =
          binary ? RestoreBinary(SaveBinary(tree.get())) : RestoreText(SaveText(tree.get()));
      ASSERT_EQ(outcome.status, 0u) << outcome.message;
      EXPECT_EQ(Restored(outcome)->NodeCount(), tree->NodeCount());
    }
  }
  const Ref deeper = chain(kMaxExpressionDepth);
  EXPECT_EQ(RestoreBinary(SaveBinary(deeper.get())).status, status::kBadArguments);
  EXPECT_EQ(RestoreText(SaveText(deeper.get())).status, status::kBadArguments);
}

// A stored node without the owning flag still carries its variable; the
// restored nodes naming it share it and the last one frees it, unless an
// owning node of the same graph takes it over (the sanitizer tree checks
// for leaks and double frees).
TEST(StoredForm, RestoredVariablesWithoutAnOwnerAreFreedOnce) {
  const std::unique_ptr<ExpressionVariable> outside(new ExpressionVariable);
  auto named = [&](std::uint16_t flags) {
    return Hold(new VariableExpression(flags != 0 ? new ExpressionVariable : outside.get(), flags));
  };
  const Ref alone = named(0);
  const Ref shared = named(0);
  const Ref twice = Hold(new BinaryExpression(kAdd, shared.get(), named(0).get(), 0));
  for (const Ref* tree : {&alone, &twice}) {
    for (bool binary : {true, false}) {
      const ClRestoreOutcome outcome =
          binary ? RestoreBinary(SaveBinary(tree->get())) : RestoreText(SaveText(tree->get()));
      ASSERT_EQ(outcome.status, 0u) << outcome.message;
      const Ref back = Restored(outcome);
      EXPECT_NE(back, nullptr);
      // A copy shares the variable as well.
      const Ref copy = Hold(static_cast<Expression*>(back->Copy()));
    }
  }
  // An owner and a node that does not own the same variable, in both orders.
  auto* owned = new ExpressionVariable;
  const Ref owner = Hold(new VariableExpression(owned, VariableExpression::kOwnsVariable));
  const Ref user = Hold(new VariableExpression(owned, 0));
  for (const Ref& tree : {B(kAdd, owner, user), B(kAdd, user, owner)}) {
    for (bool binary : {true, false}) {
      const ClRestoreOutcome outcome =
          binary ? RestoreBinary(SaveBinary(tree.get())) : RestoreText(SaveText(tree.get()));
      ASSERT_EQ(outcome.status, 0u) << outcome.message;
      Restored(outcome);
    }
  }
}
