// Block diagnostics and reports: singularity warnings, the sensitivity
// report, the client structure replies, compiled-evaluation hooks, torn
// blocks over a fake decomposition server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "daes/blocks/block_kinds.h"
#include "daes/blocks/compiled_hooks.h"
#include "daes/model/variable.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "foundation/interfaces/solver_options.h"
#include "framework/messaging/message.h"
#include "tests/daes/daes_helpers.h"
#include "tests/support/numbered_options.h"

using namespace daestest;

namespace {

struct Options : testsupport::NumberedOptions {
  std::int32_t GetInt(std::int32_t) override { return 0; }
  Status SetInt(std::int32_t, std::int32_t) override { return status::kNotSupported; }
  double GetReal(std::int32_t n) override {
    switch (n) {
      case kOptEqnTol:
        return 1e-5;
      case kOptEquationSensTol:
        return sens_tol;
      case kOptRelativeSingularityTol:
        return 1e-2;
      case kOptAbsoluteSingularityTol:
        return 1e-4;
      default:
        return 1e-5;
    }
  }
  bool GetBool(std::int32_t n) override {
    return n == kOptEquationSensCheck ? sens : n == kOptKeepCompiledEvaluationFiles && keep;
  }
  Options() { previous = SolverOptions::Install(this); }
  ~Options() override { SolverOptions::Install(previous); }
  SolverOptions* previous;
  bool sens = false;
  bool keep = false;
  double sens_tol = 1e10;
};

struct TankBlock {
  TankBlock() {
    EXPECT_EQ(tree.Read(Tank), 0u);
    problem.reset(DAESCreateProblem(tree.root, 0, nullptr));
    DAESSolverBlock* raw = nullptr;
    EXPECT_EQ(problem->BuildSolverBlock(&raw, daes::kFree, 0, 0, 0, true), 0u);
    block.reset(raw);
  }
  DAESVarTableEntry* Named(const std::string& name) {
    for (std::int32_t i = 0; i < problem->VariableCount(); ++i) {
      if (name == problem->GetVariable(i)->GetNameText()) return problem->GetVariable(i);
    }
    return nullptr;
  }
  Tree tree;
  std::unique_ptr<DAESProblem> problem;
  std::unique_ptr<DAESSolverBlock> block;
};

std::string Printed(const std::function<void()>& f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

TEST(BlockDiagnostics, SingularAndNearSingularColumns) {
  Options o;
  TankBlock t;
  // Columns: F_out (entries 1, 1), h' (entry A = 2): nothing to say.
  EXPECT_EQ(Printed([&] { t.block->CheckSingularity(0, 0); }).find("Warning"), std::string::npos);
  // A = 0: h' is in no equation's value.
  DAESVarTableEntry* a = Entry(t.tree.At({2, 5}));
  a->SetValue(0.0);
  std::string out = Printed([&] { t.block->CheckSingularity(0, 0); });
  EXPECT_NE(out.find("Warning: Variable T101.h.Derivative is singular. Any value will satisfy"),
            std::string::npos);
  EXPECT_EQ(out.find("near singular"), std::string::npos);
  // Column maximum 1e-3 at value 0: e = 1e-2 > 1e-4.
  a->SetValue(1e-3);
  out = Printed([&] { t.block->CheckSingularity(0, 0); });
  EXPECT_NE(out.find("Warning: T101.h.Derivative is near singular; current value: 0. Estimated "
                     "error: 0.01"),
            std::string::npos);
  EXPECT_EQ(out.find("is singular"), std::string::npos);
}

TEST(BlockDiagnostics, SensitivityReportHeaderOnceAndEquality) {
  Options o;
  o.sens = true;
  TankBlock t;
  std::vector<double> values(3);
  o.sens_tol = 5.0;
  EXPECT_EQ(Printed([&] { t.block->EvaluateJacobian(values.data(), 0); }), "");
  o.sens_tol = 1.0;  // the two unit entries equal it; A = 2 exceeds it
  const std::string out = Printed([&] { t.block->EvaluateJacobian(values.data(), 0); });
  EXPECT_EQ(out.find("Equation sensitivities with absolute value greater than 1:"),
            out.rfind("Equation sensitivities"));
  std::size_t entries = 0;
  for (std::size_t at = out.find("  Derivative of Equation "); at != std::string::npos;
       at = out.find("  Derivative of Equation ", at + 1)) {
    ++entries;
  }
  EXPECT_EQ(entries, 3u);
  EXPECT_NE(out.find("  Derivative of Equation T101.MassBalance\n    with respect to Variable "
                     "T101.h.Derivative\n    is 2\n"),
            std::string::npos);
}

TEST(BlockDiagnostics, SingleBlockDerivative) {
  Options o;
  o.sens = true;
  o.sens_tol = 0.1;
  TankBlock t;
  // The outflow law alone, solved for h: -k / (2 sqrt(h)) = -0.25.
  DAESSingleBlock single;
  std::int32_t at = 0;
  single.InsertVariable(t.Named("T101.h"), &at);
  single.AddRow(new DAESDecompEquation(dynamic_cast<DAESEqnRow*>(t.problem->GetRow(1))));
  double d = 0.0;
  const std::string out = Printed([&] { EXPECT_EQ(single.EvaluateJacobian(&d, 0), 0u); });
  EXPECT_DOUBLE_EQ(d, -0.25);
  EXPECT_NE(out.find("  Derivative of Equation T101.Outflow\n    with respect to Variable "
                     "T101.h\n    is -0.25\n"),
            std::string::npos);
}

testsupport::Bytes Written(const std::function<void(BvuBinaryStream&)>& write) {
  DseMessage m(62, DseMessage::kRequest);
  write(m);
  return testsupport::BodyOf(m);
}

// A string as the message writes it: u24 length with the terminator.
void Text(testsupport::Bytes* b, const std::string& s) {
  const auto n = static_cast<std::uint32_t>(s.size() + 1);
  b->insert(b->end(), {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                       static_cast<std::uint8_t>(n >> 16)});
  b->insert(b->end(), s.begin(), s.end());
  b->push_back(0);
}

// An incidence detail: name, code and its group numbers, the u24 0 of a
// variable that is no equivalence member.
void Detail(testsupport::Bytes* b, const std::string& name,
            std::initializer_list<std::uint8_t> code) {
  Text(b, name);
  b->insert(b->end(), code);
  b->insert(b->end(), {0, 0, 0});
}

TEST(BlockReports, GoldenStructureReplies) {
  TankBlock t;
  t.block->EvaluateRows(daes::kEvalResidual);
  // Residuals: mass balance 2*0 - (0.5 - 0) = -0.5, outflow 0 - 0.5*1 = -0.5.
  testsupport::Bytes expected = {133, 0, 2, 0, 0, 1, 0, 0};
  const double r = -0.5;
  std::uint8_t raw[8];
  std::memcpy(raw, &r, 8);
  expected.insert(expected.end(), raw, raw + 8);
  expected.insert(expected.end(), {2, 0, 0});
  expected.insert(expected.end(), raw, raw + 8);
  expected.insert(expected.end(), {0xFF, 0xFF});
  EXPECT_EQ(Written([&](BvuBinaryStream& s) { t.block->WriteResiduals(s); }), expected);

  // Equation list: name, number, variable count, patched detail count,
  // instance name, then per variable of the model equation (by index) its
  // name, code (1 solved here, 0 known) and a u24 0.
  testsupport::Bytes list = {36, 0, 2, 0, 0};
  Text(&list, "T101.MassBalance");
  list.insert(list.end(), {1, 0, 0, 2, 0, 3, 0});
  Text(&list, "T101");
  Detail(&list, "T101.h.Derivative", {1});
  Detail(&list, "T101.F_in", {0});
  Detail(&list, "T101.F_out", {1});
  Text(&list, "T101.Outflow");
  list.insert(list.end(), {2, 0, 0, 1, 0, 2, 0});
  Text(&list, "T101");
  Detail(&list, "T101.h", {0});
  Detail(&list, "T101.F_out", {1});
  list.insert(list.end(), {0xFF, 0xFF});
  EXPECT_EQ(Written([&](BvuBinaryStream& s) { t.block->WriteEquationList(s); }), list);

  // Group list of a block of two sub-groups.
  DAESSolverBlock outer;
  auto* g1 = new DAESSolverBlock;
  g1->SetKind(1);
  g1->SetSolved(true);
  g1->AddNonZeros(3);
  outer.AddRow(g1);
  outer.AddRow(new DAESExplicitBlock);
  const testsupport::Bytes groups = {35, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 0,    0,
                                     3,  0, 2, 0, 0, 0, 3, 0, 1, 0, 1, 0, 1, 0, 0xFF, 0xFF};
  EXPECT_EQ(Written([&](BvuBinaryStream& s) { outer.WriteGroupList(s, 1, nullptr, 0); }), groups);
  const std::uint32_t path[] = {1, 1};
  DseMessage m(62, DseMessage::kRequest);
  EXPECT_EQ(outer.WriteGroupList(m, 2, path, 2), daes::kNoInnerBlock);
  // Equations are not sub-groups: the count promises only what follows.
  EXPECT_EQ(Written([&](BvuBinaryStream& s) { t.block->WriteGroupList(s, 1, nullptr, 0); }),
            (testsupport::Bytes{35, 0, 0, 0, 0, 0, 0xFF, 0xFF}));
}

TEST(BlockReports, IncidenceListsIndeterminateVariablesOnce) {
  TankBlock t;
  const testsupport::Bytes none131 = {131, 0, 0, 0, 0, 0xFF, 0xFF};
  EXPECT_EQ(Written([&](BvuBinaryStream& s) { t.block->WriteRowIncidence(s, 0); }), none131);
  DAESVarTableEntry* shared = t.block->GetRow(1)->GetVariable(0);
  ASSERT_NE(shared, nullptr);
  ASSERT_EQ(t.block->AddIndeterminate(shared), 0u);
  auto listed = [&](std::uint8_t kind) {
    testsupport::Bytes b = {kind, 0, 1, 0, 0};
    const std::string name = shared->GetNameText();
    b.insert(b.end(), {static_cast<std::uint8_t>(name.size() + 1), 0, 0});
    b.insert(b.end(), name.begin(), name.end());
    b.insert(b.end(), {0, 0xFF, 0xFF});
    return b;
  };
  EXPECT_EQ(Written([&](BvuBinaryStream& s) { t.block->WriteRowIncidence(s, 0); }), listed(131));
  // Both rows hold the variable; it is listed once.
  EXPECT_EQ(Written([&](BvuBinaryStream& s) { t.block->WriteIncidence(s); }), listed(132));
  // A row that does not exist lists nothing.
  EXPECT_EQ(Written([&](BvuBinaryStream& s) { t.block->WriteRowIncidence(s, 8); }), none131);
  t.block->RemoveIndeterminate(shared);
}

// The tank decomposed: the outflow law solves F_out (group 1), the mass
// balance h' (group 2); group 1 also as the sub-group of a torn group.
TEST(BlockReports, IncidenceNamesTheEarlierGroup) {
  TankBlock t;
  std::int32_t at = 0;
  auto row = [&](std::uint32_t i, const char* solved) {
    auto* r = new DAESDecompEquation(dynamic_cast<DAESEqnRow*>(t.problem->GetRow(i)));
    r->InsertVariable(t.Named(solved), &at);
    return r;
  };
  auto* outflow = new DAESSingleBlock;
  outflow->InsertVariable(t.Named("T101.F_out"), &at);
  outflow->AddRow(row(1, "T101.F_out"));
  DAESSolverBlock mass;
  mass.AddVariable(t.Named("T101.h.Derivative"));
  mass.AddRow(row(0, "T101.h.Derivative"));
  std::vector<DAESBlock*> groups = {outflow, &mass};
  testsupport::Bytes expected = {36, 0, 1, 0, 0};
  Text(&expected, "T101.MassBalance");
  expected.insert(expected.end(), {1, 0, 0, 1, 0, 3, 0});
  Text(&expected, "T101");
  Detail(&expected, "T101.h.Derivative", {1});
  Detail(&expected, "T101.F_in", {0});
  const testsupport::Bytes head = expected;
  Detail(&expected, "T101.F_out", {2, 1, 0, 0});
  expected.insert(expected.end(), {0xFF, 0xFF});
  EXPECT_EQ(Written([&](BvuBinaryStream& s) { mass.WriteEquationList(s, &groups); }), expected);

  // Inside a torn group: group and sub-group.
  struct Inner : BlockDecomposer {
    Status Decompose(DAESSolverBlock*, DAESSolverBlock** out) override {
      *out = new DAESSolverBlock;
      (*out)->AddRow(sub);
      return 0;
    }
    DAESBlock* sub = nullptr;
  } inner;
  inner.sub = outflow;
  DAESTornBlock torn;
  ASSERT_NE(torn.DecomposeExternally(&inner, nullptr), nullptr);
  groups = {&torn, &mass};
  expected = head;
  Detail(&expected, "T101.F_out", {3, 1, 0, 0, 1, 0, 0});
  expected.insert(expected.end(), {0xFF, 0xFF});
  EXPECT_EQ(Written([&](BvuBinaryStream& s) { mass.WriteEquationList(s, &groups); }), expected);
}

TEST(BlockReports, IndeterminateIncidence) {
  TankBlock t;
  DAESVarTableEntry* out = t.Named("T101.F_out");
  const testsupport::Bytes none = {131, 0, 0, 0, 0, 0xFF, 0xFF};
  EXPECT_EQ(Written([&](BvuBinaryStream& s) { t.block->WriteRowIncidence(s, 1); }), none);
  ASSERT_EQ(t.block->AddIndeterminate(out), 0u);
  // Row 2 (the outflow law) holds F_out; every row lists it once.
  testsupport::Bytes one = {131, 0, 1, 0, 0};
  Text(&one, "T101.F_out");
  one.insert(one.end(), {0xFF, 0xFF});
  EXPECT_EQ(Written([&](BvuBinaryStream& s) { t.block->WriteRowIncidence(s, 1); }), one);
  one[0] = 132;
  EXPECT_EQ(Written([&](BvuBinaryStream& s) { t.block->WriteIncidence(s); }), one);
  // A torn block lists none.
  DAESTornBlock torn;
  torn.AddIndeterminate(out);
  const testsupport::Bytes empty = {132, 0, 0, 0, 0, 0xFF, 0xFF};
  EXPECT_EQ(Written([&](BvuBinaryStream& s) { torn.WriteIncidence(s); }), empty);
  torn.RemoveIndeterminate(out);
  t.block->RemoveIndeterminate(out);
}

TEST(BlockReports, DumpAndSparsity) {
  TankBlock t;
  t.block->SetGroupNumber(4);
  t.block->BuildStructure(nullptr, nullptr, nullptr, 0);
  std::ostringstream s;
  t.block->PrintSparsity(s);
  EXPECT_EQ(s.str(), "==== Sparsity pattern [row,col] for group 4\n[1,1]\n[2,1]\n[1,2]\n");
  std::ostringstream d;
  t.block->Dump(d);
  EXPECT_EQ(d.str().rfind("DAESSolverBlock::Dump:-----------------------\nId=4 Type=4294967295 "
                          "2 rows, 2 active vars and 3 non-zeros\n------ Equation List:\n",
                          0),
            0u);
}

struct FakeDecomposer : BlockDecomposer {
  Status Decompose(DAESSolverBlock*, DAESSolverBlock** out) override {
    ++calls;
    *out = new DAESSolverBlock;
    return status;
  }
  int calls = 0;
  Status status = 0;
};

TEST(TornBlock, DecomposesOnceAndDropsFailures) {
  FakeDecomposer fake;
  DAESTornBlock failing;
  fake.status = 0xA0310001u;
  Status s = 0;
  EXPECT_EQ(failing.DecomposeExternally(&fake, &s), nullptr);
  EXPECT_EQ(s, 0xA0310001u);
  fake.status = 0;
  DAESTornBlock torn;
  DAESSolverBlock* inner = torn.DecomposeExternally(&fake, &s);
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(torn.DecomposeExternally(&fake, &s), inner);
  EXPECT_EQ(fake.calls, 2);
  EXPECT_EQ(torn.GetFlags() & 0x9u, 0x9u);
  EXPECT_EQ(torn.GroupKind(), 2u);
  EXPECT_EQ(torn.InnerBlock(), inner);
}

TEST(SingleBlock, TakesOneVariable) {
  DAESRealVariable a(nullptr, "a"), b(nullptr, "b");
  DAESSingleBlock single;
  std::int32_t at = 0;
  EXPECT_EQ(single.InsertVariable(&a, &at), 0);
  EXPECT_EQ(single.InsertVariable(&a, &at), 1);
  EXPECT_EQ(single.InsertVariable(&b, &at), -1);
  EXPECT_EQ(single.GetVariable(0), &a);
}

struct Recorder : EquationCodeWriter {
  Status Prepare() override { return Log("prepare"); }
  Status WriteHead(std::uint32_t n) override { return Log("head " + std::to_string(n)); }
  Status WriteCaseLabel(std::int32_t t) override { return Log("case " + std::to_string(t)); }
  Status WriteResetState() override { return Log("reset"); }
  Status WriteResidual() override { return Log("residual"); }
  Status WriteJacobian() override { return Log("jacobian"); }
  Status WriteColumnPattern() override { return Log("pattern"); }
  Status WriteText(const char* text) override { return Log(text); }
  Status WriteEnd() override { return Log("end"), 7; }
  Status Log(const std::string& s) {
    calls.push_back(s);
    return 0;
  }
  std::vector<std::string> calls;
};

TEST(CompiledHooks, WriterCallOrder) {
  DAESSingleBlock single;
  single.SetGroupNumber(5);
  single.AddRow(new DAESEqnRow);
  Recorder r;
  CodeWriterContext c;
  c.writer_of = [&](QLNRow*) { return &r; };
  EXPECT_EQ(single.WriteEquationFunction(c), 7u);
  EXPECT_EQ(r.calls,
            (std::vector<std::string>{"prepare", "head 5", "case 3", "reset", "case 0", "residual",
                                      "break;\n", "case 1", "jacobian", "break;\n", "case 2",
                                      "pattern", "break;\n", "end"}));
  r.calls.clear();
  c.residual_label = false;
  c.no_jacobian = true;
  single.WriteEquationFunction(c);
  EXPECT_EQ(r.calls, (std::vector<std::string>{"prepare", "head 5", "case 3", "reset", "residual",
                                               "break;\n", "end"}));
}

TEST(CompiledHooks, KeepFilesAndStartRecord) {
  Options o;
  o.keep = true;
  const char* previous = std::getenv("QLN_CE_KEEP");
  const std::string saved = previous != nullptr ? previous : "";
  setenv("QLN_CE_KEEP", "0", 1);
  EXPECT_FALSE(KeepCompiledFiles(&o));
  setenv("QLN_CE_KEEP", "no", 1);
  EXPECT_TRUE(KeepCompiledFiles(&o));
  setenv("QLN_CE_KEEP", "012345678901", 1);
  EXPECT_TRUE(KeepCompiledFiles(&o));
  o.keep = false;
  EXPECT_FALSE(KeepCompiledFiles(&o));
  unsetenv("QLN_CE_KEEP");
  EXPECT_FALSE(KeepCompiledFiles(&o));
  if (previous != nullptr) setenv("QLN_CE_KEEP", saved.c_str(), 1);

  CompiledCodeStart* first = GetCompiledCodeInitData();
  SolverOptions* options = first->options;
  EXPECT_EQ(first->initialised, 1u);
  EXPECT_EQ(GetCompiledCodeInitData(), first);
  EXPECT_EQ(first->options, options);
}

// The delayed-value hook a compiled flowsheet calls with a block position.
TEST(CompiledHooks, DelayedValueByBlockPosition) {
  DAESRealVariable x(nullptr, "x");
  x.SetValue(2.5);
  DAESSolverBlock block;
  ASSERT_EQ(block.AddVariable(&x), 0u);
  double out = -1.0;
  // A negative delay still gives the present value.
  EXPECT_EQ(CompiledCodeGetDelayedValue(&block, 0, -1.0, &out), daes::kNegativeDelay);
  EXPECT_EQ(out, 2.5);
  for (std::int32_t i : {-1, 1, 1 << 30}) {
    out = -1.0;
    EXPECT_EQ(CompiledCodeGetDelayedValue(&block, i, 1.0, &out), daes::kBlockUnsupported) << i;
    EXPECT_EQ(out, 0.0);
  }
  EXPECT_EQ(CompiledCodeGetDelayedValue(nullptr, 0, 1.0, &out), daes::kBlockUnsupported);
  EXPECT_EQ(CompiledCodeGetDelayedValue(&block, 0, 1.0, nullptr), daes::kBlockUnsupported);
}

}  // namespace
