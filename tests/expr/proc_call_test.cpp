// Procedure-call nodes: printing, forwarding, copies, and the tape that packs
// a call's arguments and notices when an input changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "expr/codegen/code_writer.h"
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
  std::int32_t InterfaceFlag() const override { return 0; }
  std::vector<std::uint8_t> ArgumentDescriptions(bool) const override { return {}; }
  void WriteClassCode(ExprCodeWriter&, CodeOutputs&, const std::string&) override {}
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
  const auto path =
      body([&](DseMessage& m) { return ProcCallExpression::WriteCallPath(m, def.path); });
  const auto empty =
      body([&](DseMessage& m) { return ProcCallExpression::WriteCallPath(m, BvuIdPath()); });
  // Flag, count, then 32-bit ids.
  EXPECT_EQ(path,
            (testsupport::Bytes{0, 3, 0, 0xFF, 0xFF, 0xFF, 0, 42, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0}));
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

  std::uint8_t input[8 + 8 + 40] = {};
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
  EXPECT_EQ(std::strlen(reinterpret_cast<char*>(input + 16)), 39u);
  EXPECT_FALSE(run());
  // The integer keeps a whole 8-byte slot as a 64-bit value.
  n.ValuePointer()->Assign(SUValue::ConstructInt(-3, SUValue::kInteger));
  EXPECT_TRUE(run());
  std::int64_t wide = 0;
  std::memcpy(&wide, input + 8, 8);
  EXPECT_EQ(wide, -3);
  bool changed = false;
  EXPECT_EQ(c.RunTapeWithIO({input, 12, 0}, {output, 8, 0}, &changed, 0), tapestatus::Code(567));
  EXPECT_EQ(c.RunTapeWithIO({input, 16 + 39, 0}, {output, 8, 0}, &changed, 0),
            tapestatus::Code(567));
  EXPECT_EQ(c.RunTapeWithIO({input, sizeof input, 0}, {output, 7, 0}, &changed, 0),
            tapestatus::Code(567));

  // Its derivatives come from the procedure, never from the tape.
  ASSERT_EQ(run(), false);
  EXPECT_EQ(c.ReversePass(0), tapestatus::kNoCallDerivative);
  double d = 0;
  EXPECT_EQ(c.DerivativeForVariable(&x, &d, 0), tapestatus::kNoCallDerivative);
  EXPECT_EQ(d, 0.0);

  // A call without outputs does not compile.
  const Ref none = Call(IOList({&vx}), IOList({}));
  Bound nb(none.get(), {&x});
  EXPECT_FALSE(nb.context->HasTape());
}

// A variable holding any value the test builds.
class HeldVar : public ExpressionVariable {
 public:
  explicit HeldVar(std::uint16_t type) { value.SetType(type); }
  SUValue* ValuePointer() override { return &value; }
  std::uint16_t ValueType() const override { return value.type; }
  SUValue value;
};

SUValue RealRow(std::initializer_list<double> values) {
  SUValue row;
  row.SetType(SUValue::kOneDimension | SUValue::kReal);
  std::int32_t i = 0;
  for (double v : values) {
    SUValue e;
    e.SetType(SUValue::kReal);
    e.SetReal(v);
    row.SetElement(i++, e);
  }
  return row;
}

TEST(ProcCall, TapeWritesItsPackingInC) {
  ADVar x{"x", 1.5};
  ADVar y{"y", 7.0};
  ADVar n{"n", 4.0, false, SUValue::kInteger};
  TextVar s{"s", "water"};
  const Ref vx = Var(0), vy = Var(1), vn = Var(2, SUValue::kInteger), vs = Var(3, SUValue::kString);
  // A string takes five input positions; without inputs the outputs wait for the first call.
  const Ref call = Call(IOList({&vs, &vx, &vn}), IOList({&vy}));
  Bound b(call.get(), {&x, &y, &n, &s});
  ASSERT_TRUE(b.context->HasTape());
  ExprCodeWriter writer;
  std::ostringstream c, fortran;
  ASSERT_EQ(b.context->WriteValueCode(writer, c), 0u);
  EXPECT_EQ(c.str(),
            "  PACKSTRINPUT(0,\"water\");\n  PACKREALINPUT(5,x[0]);\n  PACKINTINPUT(6, 4);\n"
            "  if (bInputsChanged) {\n    PACKREALOUTPUT(0,x[0]);\n  }\n\n");
  ASSERT_EQ(b.context->WriteValueCode(writer, fortran, 1), 0u);
  EXPECT_EQ(fortran.str().rfind("  PACKFTNSTRINPUT(0,\"water\");\n", 0), 0u) << fortran.str();
  EXPECT_FALSE(writer.tape.failed);

  const Ref none = IOList({});
  const Ref outputs_only = Call(none, IOList({&vy}));
  Bound o(outputs_only.get(), {&x, &y, &n, &s});
  ASSERT_TRUE(o.context->HasTape());
  std::ostringstream first;
  ASSERT_EQ(o.context->WriteValueCode(writer, first), 0u);
  EXPECT_EQ(first.str(), "  if (!(*pbCalled)) {\n    PACKREALOUTPUT(0,x[0]);\n  }\n\n");
}

TEST(ProcCall, ArrayArgumentsPackElementByElement) {
  HeldVar reals(SUValue::kOneDimension | SUValue::kReal);
  reals.value.Assign(RealRow({1.5, 2.5, 3.5}));
  HeldVar ints(SUValue::kOneDimension | SUValue::kInteger);
  ints.value.SetElement(0, SUValue::ConstructInt(7, SUValue::kInteger));
  ints.value.SetElement(1, SUValue::ConstructInt(-8, SUValue::kInteger));
  HeldVar texts(SUValue::kOneDimension | SUValue::kString);
  for (const char* t : {"ab", "cd"}) {
    SUValue e;
    e.SetType(SUValue::kString);
    e.SetString(t);
    texts.value.SetElement(texts.value.count, e);
  }
  HeldVar matrix(2 * SUValue::kOneDimension | SUValue::kReal);
  matrix.value.SetElement(0, RealRow({1, 2}));
  matrix.value.SetElement(1, RealRow({3, 4}));
  HeldVar out(SUValue::kOneDimension | SUValue::kReal);
  out.value.Assign(RealRow({-1, -2}));
  const Ref vr = Var(0, reals.value.type), vi = Var(1, ints.value.type),
            vt = Var(2, texts.value.type), vm = Var(3, matrix.value.type),
            vo = Var(4, out.value.type);
  const Ref call = Call(IOList({&vr, &vi, &vt, &vm}), IOList({&vo}));
  Bound b(call.get(), {&reals, &ints, &texts, &matrix, &out});
  ExprADContext& c = *b.context;
  ASSERT_TRUE(c.HasTape());
  const std::uint32_t rows[] = {kInput, kIntInput, kStrInput, kInput, kInsEnd, kOutput, kOutsEnd};
  ASSERT_EQ(c.Tape().code.size(), std::size(rows));
  for (std::size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(c.Tape().code[i].op, rows[i]) << i;
  EXPECT_EQ(c.Tape().code[0].left_kind, tapekind::kVarTyped);

  std::uint8_t input[3 * 8 + 2 * 8 + 2 * 40 + 4 * 8] = {};
  std::uint8_t output[2 * 8] = {};
  auto run = [&](std::size_t input_size, Status expected = 0) {
    bool changed = false;
    EXPECT_EQ(c.RunTapeWithIO({input, input_size, 0}, {output, sizeof output, 0}, &changed, 0),
              expected);
    return changed;
  };
  EXPECT_TRUE(run(sizeof input));
  auto real_at = [](const std::uint8_t* at) {
    double v;
    std::memcpy(&v, at, 8);
    return v;
  };
  EXPECT_EQ(real_at(input), 1.5);
  EXPECT_EQ(real_at(input + 16), 3.5);
  std::int64_t first = 0, second = 0;
  std::memcpy(&first, input + 24, 8);
  std::memcpy(&second, input + 32, 8);
  EXPECT_EQ(first, 7);
  EXPECT_EQ(second, -8);
  EXPECT_STREQ(reinterpret_cast<const char*>(input + 40), "ab");
  EXPECT_STREQ(reinterpret_cast<const char*>(input + 80), "cd");
  for (int k = 0; k < 4; ++k) EXPECT_EQ(real_at(input + 120 + 8 * k), k + 1.0);  // row by row
  EXPECT_EQ(real_at(output + 8), -2.0);

  EXPECT_FALSE(run(sizeof input));
  matrix.value.Elements()[1].Elements()[0].SetReal(30);
  EXPECT_TRUE(run(sizeof input));
  EXPECT_FALSE(run(sizeof input));

  // No room for the last element: refused, and the argument is not half written.
  const std::vector<std::uint8_t> before(input, input + sizeof input);
  matrix.value.Elements()[1].Elements()[1].SetReal(40);
  run(sizeof input - 1, tapestatus::Code(567));
  EXPECT_EQ(TapeStateNow().failing, 3);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), input));
  // An element the argument's type cannot take.
  SUValue half;
  half.SetType(SUValue::kReal);
  half.SetReal(0.5);
  ints.value.Elements()[1].Assign(SUValue());
  ints.value.Elements()[1].SetType(SUValue::kNoType);
  ints.value.Elements()[1].Assign(half);
  run(sizeof input, tapestatus::Code(565));
  EXPECT_EQ(TapeStateNow().failing, 1);

  // An array of sets is no argument.
  HeldVar sets(SUValue::kOneDimension | SUValue::kIntSet);
  const Ref vs = Var(0, sets.value.type);
  const Ref bad = Call(IOList({&vs}), IOList({&vo}));
  Bound nb(bad.get(), {&sets, &reals, &ints, &texts, &out});
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

  // A bound call carries its argument path; the read call keeps it, unbound
  // until its procedure equation finds the definition there.
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
  auto* read_call = static_cast<ProcCallExpression*>(list_back->ListElement(1));
  EXPECT_EQ(read_call->Definition(), nullptr);
  ASSERT_EQ(read_call->CallPath().count(), 3);
  EXPECT_EQ(read_call->CallPath().ids()[1], 42u);
  EXPECT_TRUE(testsupport::SameBytes(Sent(list_back.get()), Sent(list.get())));
  AsCall(call)->Bind(nullptr);

  // Lists of another class, or a cut path, are refused.
  testsupport::Bytes other = bytes;
  const auto io = std::find(other.begin(), other.end(), exprclass::kProcIOList);
  ASSERT_NE(io, other.end());
  *io = exprclass::kHomList;
  EXPECT_EQ(ReadBack(other), nullptr);
  EXPECT_EQ(ReadBack(testsupport::Bytes(bytes.begin(), bytes.end() - 1)), nullptr);
}

}  // namespace

// The argument path with names: a name after every ordinary id, none after
// ABS and END; ids beyond 24 bits and cut paths are refused.
TEST(ProcCall, ArgumentPathWithNamesAndItsRefusals) {
  BvuIdPath named(true);
  named.Append(kIdPathRoot);
  named.Append(3, "Procs");
  named.Append(7, ".flash");
  named.Append(kIdPathEnd);
  DseMessage message(60, DseMessage::kRequest);
  ASSERT_EQ(ProcCallExpression::WriteCallPath(message, named), 0u);
  const testsupport::Bytes bytes = testsupport::BodyOf(message);
  auto read = [](const testsupport::Bytes& b, Status* s) {
    auto m = testsupport::ReceivedBody(b);
    return ProcCallExpression::ReadCallPath(*m, s);
  };
  Status s = 1;
  const BvuIdPath back = read(bytes, &s);
  EXPECT_EQ(s, 0u);
  ASSERT_EQ(back.count(), 4);
  EXPECT_TRUE(back.with_names());
  EXPECT_EQ(back.ids()[2], 7u);
  EXPECT_EQ(back.NameAt(1), "Procs");
  EXPECT_EQ(back.NameAt(2), ".flash");
  // 1 + 2 + 4 ids of 4 bytes + two short strings of 2 + 6 and 2 + 7 bytes.
  EXPECT_EQ(bytes.size(), 3u + 16u + 8u + 9u);
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    read(testsupport::Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)), &s);
    EXPECT_TRUE(status::IsFailure(s)) << cut;
  }
  testsupport::Bytes wide = {0, 1, 0, 0, 0, 0, 1};  // id 0x01000000
  read(wide, &s);
  EXPECT_EQ(s, status::kBadArguments);
}

namespace {

// Stands for a value that substitution fills in: it answers a new constant.
class Placeholder : public Expression {
 public:
  explicit Placeholder(double value) : Expression(kNop, SUValue::kReal), value_(value) {}
  Expression* SubstituteInPlace(ExprSubstitutionVisitor&) override {
    ++asked;
    return new TerminalExpression(value_);
  }
  // Larger than its answer: the counts above must follow.
  std::uint32_t NodeCount() const override { return 3; }
  int asked = 0;

 private:
  double value_;
};

// An input list that answers something its call cannot hold.
class StrayList : public ProcIOListExpression {
 public:
  StrayList() = default;
  Expression* SubstituteInPlace(ExprSubstitutionVisitor&) override {
    return new TerminalExpression(1.0);
  }
};

struct SeenCalls : ExprSubstitutionVisitor {
  void See(Expression& node) override { seen.push_back(&node); }
  std::vector<Expression*> seen;
};

TEST(ProcCall, SubstitutionShowsEachCallAndPutsAnswersInPlace) {
  auto* p1 = new Placeholder(7.0);
  auto* p2 = new Placeholder(2.0);
  auto* p3 = new Placeholder(3.0);
  auto* p4 = new Placeholder(4.0);
  auto* kept = new Placeholder(9.0);
  const Ref h1 = Hold(p1), h2 = Hold(p2), h3 = Hold(p3), h4 = Hold(p4), hk = Hold(kept);
  const Ref x = Var(0), y = Var(1);
  const Ref scaled = B(kMul, h3, x);
  const Ref inner_in = IOList({&h4});
  const Ref inner_out = IOList({&y});
  const Ref inner = Call(inner_in, inner_out);
  const Ref in = IOList({&h1, &scaled, &inner});
  const Ref out = IOList({&hk});
  const Ref outer = Call(in, out);
  const Ref sum = U(kSigma, ListOf({&h2, &x}), SUValue::kReal);
  const Ref root = B(kAdd, U(kMinus, sum), outer);

  SeenCalls visitor;
  EXPECT_EQ(root->SubstituteInPlace(visitor), root.get());
  EXPECT_EQ(visitor.seen, (std::vector<Expression*>{outer.get(), inner.get()}));
  for (const Placeholder* p : {p1, p2, p3, p4}) EXPECT_EQ(p->asked, 1);
  EXPECT_EQ(kept->asked, 0);  // outputs are not substituted
  EXPECT_EQ(Printed(sum.get()), "SIGMA(2,V1)");
  EXPECT_EQ(Printed(in.get()), "(7,3*V1,CALL (V2)=(4))");
  EXPECT_EQ(outer->Operand(2)->ListElement(1), hk.get());
  // Node counts follow the new operands all the way up: 7, 3*V1 and a
  // call of one input and one output in the list; the kept placeholder
  // counts 3.
  EXPECT_EQ(in->NodeCount(), 1u + 3u + 3u);
  EXPECT_EQ(outer->NodeCount(), 1u + 7u + 3u);
  EXPECT_EQ(sum->NodeCount(), 4u);
  // The builder made the root call - SIGMA, the call under a change of type.
  EXPECT_EQ(root->NodeCount(), 1u + (1u + 11u) + 4u);

  // A node that is replaced itself hands its replacement to the caller.
  SeenCalls none;
  const Ref alone = Hold(new Placeholder(5.0));
  const Ref answer = Hold(alone->SubstituteInPlace(none));
  EXPECT_EQ(Printed(answer.get()), "5");
  EXPECT_TRUE(none.seen.empty());

  // An answer the call cannot hold leaves its inputs as they were.
  auto* stray = new StrayList;
  const Ref stray_in = Hold(stray);
  const Ref stray_out = IOList({&y});
  const Ref call = Call(stray_in, stray_out);
  EXPECT_EQ(call->SubstituteInPlace(none), call.get());
  EXPECT_EQ(call->Operand(1), stray);
}

}  // namespace
