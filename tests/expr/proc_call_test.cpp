// Procedure-call nodes: printing, forwarding, copies, and the tape that packs
// a call's arguments and notices when an input changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "expr/tree/proc_call_expression.h"
#include "foundation/directory/id_path.h"
#include "tests/expr/tape_helpers.h"
#include "tests/framework/message_helpers.h"

using namespace exprtest;
using namespace tapetest;

namespace {

struct FakeDefinition : ProcedureDefinition {
  const char* DisplayName() const override { return "flash_calc"; }
  const BvuIdPath* ArgumentPath() const override { return &path; }
  std::uint8_t OptionByte() const override { return option; }
  BvuIdPath path;
  std::uint8_t option = 0;
};

Ref IOList(std::initializer_list<const Ref*> items) {
  return ListOf<ProcIOListExpression>(items, 0);
}

Ref Call(const Ref& in, const Ref& out) {
  return Hold(new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                     static_cast<ProcIOListExpression*>(out.get())));
}

ProcCallExpression* AsCall(const Ref& r) { return static_cast<ProcCallExpression*>(r.get()); }

TEST(ProcCall, PrintsCountsAndCopies) {
  const Ref x = Var(0), y = Var(1), n = Var(2, SUValue::kInteger);
  const Ref in = IOList({&x, &n});
  const Ref out = IOList({&y});
  const Ref call = Call(in, out);
  FakeDefinition def;
  EXPECT_EQ(AsCall(call)->GetProcName(), nullptr);
  AsCall(call)->Bind(&def);
  EXPECT_STREQ(AsCall(call)->GetProcName(), "flash_calc");
  EXPECT_EQ(Printed(call.get()), "CALL (V2)=flash_calc(V1,V3)");
  EXPECT_EQ(call->CountReferences(), 3);
  EXPECT_EQ(call->NodeCount(), 1u + in->NodeCount() + out->NodeCount());

  // A copy shares the lists; a deep copy has its own.
  const Ref shared = Hold(static_cast<Expression*>(call->Copy()));
  EXPECT_EQ(shared->Operand(1), call->Operand(1));
  const Ref deep = Ref(call->DeepCopy());
  EXPECT_NE(deep->Operand(1), call->Operand(1));
  EXPECT_EQ(Printed(deep.get()), Printed(call.get()));
  call->SetPrivate(true);
  EXPECT_EQ(Printed(call.get()), "CALL PrivateExpression=flash_calc");
  EXPECT_EQ(Printed(deep.get()), "CALL (V2)=flash_calc(V1,V3)");

  // Inputs are visited before outputs, one count for the node.
  std::uint32_t counter = 0;
  TestContext context(deep.get());
  EXPECT_EQ(deep->VisitVariables(&context, &counter, 0), 0u);
  EXPECT_EQ(counter, 4u);
}

TEST(ProcCall, ArgumentsTakeTheClassOfTheDefinitionsOption) {
  for (std::uint8_t option : {std::uint8_t{0}, std::uint8_t{0x10}}) {
    const Ref x = Var(0), y = Var(1);
    const Ref call = Call(IOList({&x}), IOList({&y}));
    FakeDefinition def;
    def.option = option;
    AsCall(call)->Bind(&def);
    ADVar vx{"x", 1.0}, vy{"y", 2.0};
    vx.SetClassMark(-1, 0, 0);
    vy.SetClassMark(-1, 0, 0);
    TestContext context(call.get(), {&vx, &vy});
    EXPECT_EQ(call->NonlinearityClass(&context, 1, nullptr, 0, 0), 0u);
    EXPECT_EQ(vx.Marker(0), option != 0 ? 3 : 4);
    EXPECT_EQ(vy.Marker(0), option != 0 ? 3 : 4);
  }
}

TEST(ProcCall, MessageFormEndsWithTheArgumentPath) {
  const Ref x = Var(0);
  const Ref call = Call(IOList({&x}), IOList({&x}));
  FakeDefinition def;
  def.path.Append(kIdPathRoot);
  def.path.Append(42);
  def.path.Append(kIdPathEnd);
  auto body = [](auto write) {
    DseMessage message(60, DseMessage::kRequest);
    EXPECT_EQ(write(message), 0u);
    return testsupport::BodyOf(message);
  };
  const auto unbound = body([&](DseMessage& m) { return call->WriteCompactToMessage(m); });
  AsCall(call)->Bind(&def);
  const auto bound = body([&](DseMessage& m) { return call->WriteCompactToMessage(m); });
  const auto path = body([&](DseMessage& m) { return def.path.Write(m); });
  const auto empty = body([&](DseMessage& m) { return BvuIdPath().Write(m); });
  // The same lists, then the path (an empty one without a binding).
  ASSERT_GT(bound.size(), path.size());
  ASSERT_GT(unbound.size(), empty.size());
  const std::size_t head = bound.size() - path.size();
  EXPECT_EQ(head, unbound.size() - empty.size());
  EXPECT_TRUE(
      std::equal(path.begin(), path.end(), bound.begin() + static_cast<std::ptrdiff_t>(head)));
  EXPECT_TRUE(std::equal(bound.begin(), bound.begin() + static_cast<std::ptrdiff_t>(head),
                         unbound.begin()));
}

TEST(ProcCall, TapePacksInputsAndNoticesChanges) {
  ADVar x{"x", 1.5};
  ADVar y{"y", 7.0};
  ADVar n{"n", 4.0, false, SUValue::kInteger};
  TextVar s{"s", "water"};
  const Ref vx = Var(0), vy = Var(1), vn = Var(2, SUValue::kInteger), vs = Var(3, SUValue::kString);
  const Ref call = Call(IOList({&vx, &vn, &vs}), IOList({&vy}));
  Bound b(call.get(), {&x, &y, &n, &s});
  ExprADContext& c = *b.context;
  ASSERT_TRUE(c.HasTape());
  const std::uint32_t rows[] = {kInput, kIntInput, kStrInput, kInsEnd, kOutput, kOutsEnd};
  ASSERT_EQ(c.Tape().code.size(), std::size(rows));
  for (std::size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(c.Tape().code[i].op, rows[i]) << i;

  std::uint8_t input[8 + 4 + 40] = {};
  std::uint8_t output[8] = {};
  auto run = [&](std::size_t input_size = sizeof input) {
    bool changed = false;
    EXPECT_EQ(c.RunTapeWithIO({input, input_size, 0}, {output, sizeof output, 0}, &changed, 0), 0u);
    return changed;
  };
  EXPECT_TRUE(run());
  double packed = 0;
  std::memcpy(&packed, output, 8);
  EXPECT_EQ(packed, 7.0);  // the output's starting value
  EXPECT_FALSE(run());     // nothing differs now
  x.Set(2.5);
  EXPECT_TRUE(run());
  EXPECT_FALSE(run());
  s.ValuePointer()->SetString("a text of more than thirty-nine characters in all");
  EXPECT_TRUE(run());
  EXPECT_EQ(std::strlen(reinterpret_cast<char*>(input + 12)), 39u);
  EXPECT_FALSE(run());
  bool changed = false;
  EXPECT_EQ(c.RunTapeWithIO({input, 20, 0}, {output, 8, 0}, &changed, 0), tapestatus::Code(567));

  // A call without outputs does not compile.
  const Ref none = Call(IOList({&vx}), IOList({}));
  Bound nb(none.get(), {&x});
  EXPECT_FALSE(nb.context->HasTape());
}

}  // namespace

namespace {

testsupport::Bytes Sent(const Expression* e) {
  DseMessage message(60, DseMessage::kRequest);
  EXPECT_EQ(e->WriteCompactToMessage(message), 0u);
  return testsupport::BodyOf(message);
}

Ref ReadBack(const testsupport::Bytes& bytes) {
  const testsupport::MessagePtr message = testsupport::ReceivedBody(bytes);
  return Ref(Expression::ReadFromMessage(*message));
}

// A call reads back from its message form, and the bytes after it are read
// on: within a list, the item after the call is still there.
TEST(ProcCall, MessageFormReadsBack) {
  const Ref x = Var(0), y = Var(1), two = Real(2.0);
  const Ref call = Call(IOList({&x, &two}), IOList({&y}));
  const testsupport::Bytes bytes = Sent(call.get());
  const Ref back = ReadBack(bytes);
  ASSERT_NE(back, nullptr);
  ASSERT_EQ(back->ClassId(), exprclass::kProcCall);
  EXPECT_EQ(AsCall(back)->Inputs()->ItemCount(), 2);
  EXPECT_EQ(AsCall(back)->Outputs()->ItemCount(), 1);
  EXPECT_EQ(back->NodeCount(), call->NodeCount());
  EXPECT_TRUE(testsupport::SameBytes(Sent(back.get()), bytes));

  // A bound call carries its argument path; the read call is unbound until
  // its procedure equation binds it again.
  FakeDefinition def;
  def.path.Append(kIdPathRoot);
  def.path.Append(42);
  def.path.Append(kIdPathEnd);
  AsCall(call)->Bind(&def);
  const Ref list = ListOf({&call, &x});
  const Ref list_back = ReadBack(Sent(list.get()));
  ASSERT_NE(list_back, nullptr);
  ASSERT_EQ(list_back->ListElement(1)->ClassId(), exprclass::kProcCall);
  EXPECT_EQ(list_back->ListElement(2)->ClassId(), exprclass::kVarRef);
  AsCall(call)->Bind(nullptr);
  EXPECT_TRUE(testsupport::SameBytes(Sent(list_back.get()), Sent(list.get())));

  // Lists of another class, or a cut path, are refused.
  testsupport::Bytes other = bytes;
  const auto io = std::find(other.begin(), other.end(), exprclass::kProcIOList);
  ASSERT_NE(io, other.end());
  *io = exprclass::kHomList;
  EXPECT_EQ(ReadBack(other), nullptr);
  EXPECT_EQ(ReadBack(testsupport::Bytes(bytes.begin(), bytes.end() - 1)), nullptr);
}

}  // namespace
