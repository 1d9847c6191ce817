// Structural analysis: reply bytes for a sound, an under- and an
// over-determined tank, refused requests, and the kernel's deficiency and
// surplus against SuiteSparse's maximum transversal on random patterns.
#include <btf.h>
#include <gtest/gtest.h>

#include <random>

#include "daes/procedures/proc_def.h"
#include "solve/groups/partition.h"
#include "tests/solve/group_support.h"
#include "tests/support/capture_sink.h"
#include "tests/support/golden.h"

using namespace grouptest;
using daestest::Writer;
using daestest::mw::Mul;
using daestest::mw::Sub;
using daestest::mw::Var;

namespace {

// The tank with the specification codes of F_in and F_out given.
void TankWith(Writer& w, std::uint16_t fin_spec, std::uint16_t fout_spec) {
  namespace mw = daestest::mw;
  w.List(7);
  w.Item(mw::kStateVariable);
  w.Placement({mw::T101(), {1, ".h"}});
  w.Value(1.0), w.Spec(32), w.Lower(0.0), w.End();
  w.Item(mw::kRealVariable);
  w.Placement({mw::T101(), {2, ".F_in"}});
  w.Value(0.5);
  if (fin_spec != 0) w.Spec(fin_spec);
  w.End();
  w.Item(mw::kRealVariable);
  w.Placement({mw::T101(), {3, ".F_out"}});
  w.Value(0.0);
  if (fout_spec != 0) w.Spec(fout_spec);
  w.End();
  w.Item(mw::kRealParameter);
  w.Placement({mw::T101(), {4, ".k"}});
  w.Value(0.5), w.End();
  w.Item(mw::kRealParameter);
  w.Placement({mw::T101(), {5, ".A"}});
  w.Value(2.0), w.End();
  w.Item(mw::kInlineEquation);
  w.U32(0);
  w.Expression(Sub(Mul(Var(0), Var(1)), Sub(Var(2), Var(3))));
  w.Placement({mw::T101(), {6, ".MassBalance"}});
  w.EquationHead(4);
  w.Reference({2, 5});
  w.Reference({2, 1, 1});
  w.Reference({2, 2});
  w.Reference({2, 3});
  mw::Outflow(w);
}

struct Reply {
  Status status = 0;
  testsupport::Bytes bytes;
};

Reply Analyse(Model& m, const std::vector<std::uint16_t>& request) {
  DseMessage sent(75, DseMessage::kRequest);
  for (std::uint16_t v : request) sent.PutUInt16(v);
  auto received = testsupport::Received(sent);
  DseMessage reply(75, DseMessage::kReply);
  Reply r;
  r.status = Partition(m.problem.get(), *received, m.tree.root, reply);
  r.bytes = testsupport::BodyOf(reply);
  return r;
}

TEST(Partition, SquareTankIsSound) {
  Options options;
  Model m([](Writer& w) { TankWith(w, 4, 0); });
  const Reply r = Analyse(m, {0, 0, 0, 0});
  EXPECT_EQ(r.status, 0u);
  // Status, count and six empty counts.
  EXPECT_TRUE(testsupport::SameBytes(
      testsupport::HexBytes("00000000 0000 0000 0000 0000 0000 0000"), r.bytes));
  // The iterate switch finds nothing either.
  EXPECT_EQ(Analyse(m, {0, 0, 1, 0}).status, 0u);
}

TEST(Partition, FreedInflowLeavesOneVariableWithoutEquation) {
  Options options;
  Model m([](Writer& w) { TankWith(w, 0, 0); });
  const Reply r = Analyse(m, {0, 0, 0, 0});
  EXPECT_EQ(r.status, 0u);
  ASSERT_GE(r.bytes.size(), 8u);
  // count E - F = 2 - 2 once the variable left over has code -3, then list
  // 1 with its name.
  EXPECT_EQ(r.bytes[4] | r.bytes[5] << 8, 0);
  EXPECT_EQ(r.bytes[6] | r.bytes[7] << 8, 1);
  const std::string text(r.bytes.begin(), r.bytes.end());
  EXPECT_TRUE(text.find("F_in") != std::string::npos || text.find("F_out") != std::string::npos);
}

// A requested must-be-free variable takes the first place in the matching:
// the freed inflow is served and the derivative is the one left over.
TEST(Partition, MustBeFreeRequestIsServedFirst) {
  Options options;
  Model m([](Writer& w) { TankWith(w, 0, 0); });
  DseMessage sent(75, DseMessage::kRequest);
  for (std::uint16_t v : {0, 0, 0, 1}) sent.PutUInt16(v);
  // The id path of T101.F_in, then the must-be-free switch.
  sent.PutUInt8(0);
  sent.PutUInt16(2);
  sent.PutUInt24(2);
  sent.PutUInt24(2);
  sent.PutUInt16(1);
  auto received = testsupport::Received(sent);
  DseMessage reply(75, DseMessage::kReply);
  EXPECT_EQ(Partition(m.problem.get(), *received, m.tree.root, reply), 0u);
  const std::string name = "T101.h.Derivative";
  testsupport::Bytes want = testsupport::HexBytes("00000000 0000 0100 120000");
  want.insert(want.end(), name.begin(), name.end());
  for (const char* rest : {"00", "0000", "0000", "0000", "0000"}) {
    const testsupport::Bytes more = testsupport::HexBytes(rest);
    want.insert(want.end(), more.begin(), more.end());
  }
  EXPECT_TRUE(testsupport::SameBytes(want, testsupport::BodyOf(reply)));
}

TEST(Partition, FixingBothFlowsOverSpecifiesOne) {
  Options options;
  Model m([](Writer& w) { TankWith(w, 4, 4); });
  const Reply r = Analyse(m, {0, 0, 0, 0});
  // The equation left over is involved; the second pass takes a fixed
  // flow back as an unknown and reports it in list 2.
  EXPECT_EQ(r.status, 0u);
  ASSERT_GE(r.bytes.size(), 10u);
  EXPECT_EQ(r.bytes[6] | r.bytes[7] << 8, 0);
  EXPECT_EQ(r.bytes[8] | r.bytes[9] << 8, 1);
  const std::string text(r.bytes.begin(), r.bytes.end());
  // One involved equation, by name.
  EXPECT_TRUE(text.find("T101.MassBalance") != std::string::npos ||
              text.find("T101.Outflow") != std::string::npos)
      << testsupport::HexDump(r.bytes);
}

testsupport::Bytes Golden(const std::string& hex_head, const std::string& text,
                          const std::string& hex_tail) {
  testsupport::Bytes out = testsupport::HexBytes(hex_head);
  out.insert(out.end(), text.begin(), text.end());
  const testsupport::Bytes tail = testsupport::HexBytes(hex_tail);
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

// Mode 4 refuses the known state with its initial flag: the kernel does not
// run, the count stays at minus the equation count and the state is listed
// in list 2, with or without the iterate switch.
TEST(Partition, ModeFourRefusesAnInitialKnownState) {
  Options options;
  Model m([](Writer& w) { TankWith(w, 4, 0); });
  for (std::uint16_t iterate : {0, 1}) {
    const Reply r = Analyse(m, {4, 0, iterate, 0});
    EXPECT_EQ(r.status, kPartitionInitialKnown);
    EXPECT_TRUE(testsupport::SameBytes(
        Golden("96023180 FEFF 0000 0100 070000", "T101.h", "00 0000 0000 0000"), r.bytes));
  }
}

// With one variable too many, the iterate switch finds the same variable as
// a single run; it was not requested, so the status stays 0.
TEST(Partition, IterateSwitchAgreesWithOneRun) {
  Options options;
  Model m([](Writer& w) { TankWith(w, 0, 0); });
  const testsupport::Bytes want =
      Golden("00000000 0000 0100 0A0000", "T101.F_in", "00 0000 0000 0000 0000");
  for (std::uint16_t mode : {0, 5}) {
    for (std::uint16_t iterate : {0, 1}) {
      const Reply r = Analyse(m, {mode, 0, iterate, 0});
      EXPECT_EQ(r.status, 0u);
      EXPECT_TRUE(testsupport::SameBytes(want, r.bytes)) << mode << " " << iterate;
    }
  }
}

// A procedure call whose output variable is fixed.
class FixedOutputCall final : public DAESEqnRow {
 public:
  FixedOutputCall(DAESVarTableEntry* output, DAESProcDef* definition)
      : output_(output), definition_(definition) {
    SetFlags(daes::kProcedureRow);
    std::int32_t at = 0;
    InsertVariable(output, &at);
  }
  const char* GetNameText(std::int32_t) override { return "T101.flash"; }
  DAESVarTableEntry* OutputElement() override { return output_; }
  DAESProcDef* ProcedureDefinition() override { return definition_; }
  QLNEquation* UnderlyingEquation() override { return this; }

 private:
  DAESVarTableEntry* output_;
  DAESProcDef* definition_;
};

TEST(Partition, FixedProcedureOutputUnderTearingIsSingular) {
  Options options;
  testsupport::CaptureSink sink;
  Model m([](Writer& w) { TankWith(w, 4, 0); });
  DAESProcDefWithExceptionHandler definition;
  definition.SetImplementationName("flash");
  DAESVarTableEntry* fixed = m.Named("T101.F_in");
  DAESSolverBlock block;
  block.AddVariable(fixed);
  block.AddRow(new FixedOutputCall(fixed, &definition));
  DseMessage sent(75, DseMessage::kRequest);
  for (std::uint16_t v : {0, 0, 0, 0}) sent.PutUInt16(v);
  auto received = testsupport::Received(sent);
  DseMessage reply(75, DseMessage::kReply);
  EXPECT_EQ(Partition(&block, *received, m.tree.root, reply), kPartitionFixedOutput);
  EXPECT_EQ(sink.lines(), (std::vector<std::string>{
                              "Your simulation is singular because the output variable T101.F_in",
                              "for procedure flash in equation T101.flash has been FIXED."}));
  // Without tearing the call is an ordinary row.
  options.SetInt(kOptTearing, 0);
  auto again = testsupport::Received(sent);
  DseMessage plain(75, DseMessage::kReply);
  EXPECT_NE(Partition(&block, *again, m.tree.root, plain), kPartitionFixedOutput);
}

TEST(Partition, TruncatedRequestsAreRefused) {
  Options options;
  Model m([](Writer& w) { TankWith(w, 4, 0); });
  for (const std::vector<std::uint16_t>& request : std::vector<std::vector<std::uint16_t>>{
           {}, {0}, {0, 0, 0}, {0, 0, 0, 1}, {0, 0, 0, 3, 0xFFFF}}) {
    const Reply r = Analyse(m, request);
    EXPECT_EQ(r.status, kPartitionBadRequest) << request.size();
    EXPECT_TRUE(r.bytes.empty());
  }
}

// A request naming variables of the tank by id path, each with its
// must-be-free switch.
Reply AnalyseNaming(Model& m, std::uint16_t mode,
                    const std::vector<std::vector<std::uint32_t>>& paths) {
  DseMessage sent(75, DseMessage::kRequest);
  for (std::uint16_t v : {mode, std::uint16_t{0}, std::uint16_t{0}}) sent.PutUInt16(v);
  sent.PutUInt16(static_cast<std::uint16_t>(paths.size()));
  for (const auto& path : paths) {
    sent.PutUInt8(0);
    sent.PutUInt16(static_cast<std::uint16_t>(path.size()));
    for (std::uint32_t id : path) sent.PutUInt24(id);
    sent.PutUInt16(1);
  }
  auto received = testsupport::Received(sent);
  DseMessage reply(75, DseMessage::kReply);
  Reply r;
  r.status = Partition(m.problem.get(), *received, m.tree.root, reply);
  r.bytes = testsupport::BodyOf(reply);
  return r;
}

// Both the inflow and the derivative must be free but only the mass
// balance can give one of them: the derivative goes to list 4, printed
// with the equation that contains it.
TEST(Partition, MustBeFreeVariableWithoutEquationIsListedFourth) {
  Options options;
  testsupport::CaptureSink sink;
  Model m([](Writer& w) { TankWith(w, 0, 0); });
  const Reply r = AnalyseNaming(m, 0, {{2, 2}, {2, 1, 1}});
  EXPECT_EQ(r.status, kPartitionRequestedUnder);
  const std::string text = "(T101.A*T101.h.Derivative)+(T101.F_out-T101.F_in)";
  testsupport::Bytes want = Golden("99023180 0000 0000 0000 0000 0100 120000",
                                   "T101.h.Derivative", "00 0100 110000");
  const testsupport::Bytes rest = Golden("", "T101.MassBalance", "00 320000");
  want.insert(want.end(), rest.begin(), rest.end());
  want.insert(want.end(), text.begin(), text.end());
  want.push_back(0);
  EXPECT_TRUE(testsupport::SameBytes(want, r.bytes)) << testsupport::HexDump(r.bytes);
  EXPECT_EQ(sink.lines(),
            (std::vector<std::string>{
                "Variable T101.h.Derivative ,must be free but there are not enough equations",
                "The following 1 equations contain the previous variables", "T101.MassBalance",
                text}));
}

// Mode 4 without an initial-known state: the derivative left over is of
// class 4, so it is counted and reported by status, not listed.
TEST(Partition, ModeFourCountsAClassFourVariableLeftOver) {
  Options options;
  Model m([](Writer& w) { TankWith(w, 0, 0); });
  m.Named("T101.h")->ClearFlags(daes::kFixed | daes::kInitial);
  const Reply r = AnalyseNaming(m, 4, {{2, 2}});
  EXPECT_EQ(r.status, kPartitionUnderClass4);
  EXPECT_TRUE(testsupport::SameBytes(
      testsupport::HexBytes("97023180 0100 0000 0000 0000 0000 0000"), r.bytes))
      << testsupport::HexDump(r.bytes);
}

// A row in nothing but a known state: no re-classification helps, so a
// single run is singular and the row is listed as involved.
class KnownOnlyRow final : public DAESEqnRow {
 public:
  explicit KnownOnlyRow(DAESVarTableEntry* v) {
    std::int32_t at = 0;
    InsertVariable(v, &at);
  }
  const char* GetNameText(std::int32_t) override { return "T101.lonely"; }
};

TEST(Partition, SurplusEquationIsInvolvedAndSingular) {
  Options options;
  Model m([](Writer& w) { TankWith(w, 4, 0); });
  DAESVarTableEntry* h = m.Named("T101.h");
  DAESSolverBlock block;
  block.AddVariable(h);
  block.AddRow(new KnownOnlyRow(h));
  DseMessage sent(75, DseMessage::kRequest);
  for (std::uint16_t v : {0, 0, 0, 0}) sent.PutUInt16(v);
  auto received = testsupport::Received(sent);
  DseMessage reply(75, DseMessage::kReply);
  EXPECT_EQ(Partition(&block, *received, m.tree.root, reply), kPartitionSingular);
  EXPECT_TRUE(testsupport::SameBytes(
      Golden("95023180 0100 0000 0000 0100 0C0000", "T101.lonely", "00 010000 00 0000 0000"),
      testsupport::BodyOf(reply)));
}

// A reply whose texts find no room: the analysis answers with the write's
// failure, not with what it found.
class FullReply final : public DseMessage {
 public:
  FullReply() : DseMessage(75, DseMessage::kReply) {}
  Status PutString(const char*) override { return DseMessage::kNoMemory; }
};

TEST(Partition, AReplyThatCannotBeWrittenIsAFailure) {
  Options options;
  Model m([](Writer& w) { TankWith(w, 0, 0); });
  DseMessage sent(75, DseMessage::kRequest);
  for (std::uint16_t v : {0, 0, 0, 0}) sent.PutUInt16(v);
  auto received = testsupport::Received(sent);
  FullReply reply;
  EXPECT_EQ(Partition(m.problem.get(), *received, m.tree.root, reply), DseMessage::kNoMemory);
}

// 70,000 rows in nothing but a known state: every one is involved, more
// than a 16-bit count can say. The reply is refused whole, with a message,
// rather than sent with a count that does not match its entries.
TEST(Partition, ListsLongerThanTheirCountsAreRefused) {
  Options options;
  testsupport::CaptureSink sink;
  Model m([](Writer& w) { TankWith(w, 4, 0); });
  DAESVarTableEntry* h = m.Named("T101.h");
  DAESSolverBlock block;
  block.AddVariable(h);
  for (int k = 0; k < 70000; ++k) block.AddRow(new KnownOnlyRow(h));
  DseMessage sent(75, DseMessage::kRequest);
  for (std::uint16_t v : {0, 0, 0, 0}) sent.PutUInt16(v);
  auto received = testsupport::Received(sent);
  DseMessage reply(75, DseMessage::kReply);
  EXPECT_EQ(Partition(&block, *received, m.tree.root, reply), kPartitionBadRequest);
  EXPECT_TRUE(testsupport::BodyOf(reply).empty());
  EXPECT_EQ(sink.lines(), std::vector<std::string>{"Structural analysis: a list of 70000 entries "
                                                   "does not fit the reply, which holds 65535"});
}

TEST(Partition, UnknownIdPathIsRefused) {
  Options options;
  Model m([](Writer& w) { TankWith(w, 4, 0); });
  for (const std::vector<std::uint32_t>& path :
       std::vector<std::vector<std::uint32_t>>{{2, 99}, {77}, {2}, {}}) {
    const Reply r = AnalyseNaming(m, 0, {path});
    EXPECT_EQ(r.status, kPartitionBadRequest) << path.size();
    EXPECT_TRUE(r.bytes.empty());
  }
}

// Random incidence patterns: structural rank from btf_l_maxtrans against
// what the kernel reports with every variable free.
TEST(PartitionKernel, DeficiencyAndSurplusAgreeWithMaxTrans) {
  std::mt19937 random(20261207);
  for (int trial = 0; trial < 300; ++trial) {
    const std::int32_t E = 1 + static_cast<std::int32_t>(random() % 12);
    const std::int32_t V = 1 + static_cast<std::int32_t>(random() % 12);
    PartitionKernelInput in;
    in.equations = E;
    in.variables = V;
    std::vector<std::vector<std::int64_t>> columns(static_cast<std::size_t>(V));
    for (std::int32_t e = 1; e <= E; ++e) {
      for (std::int32_t v = 1; v <= V; ++v) {
        if (random() % 4 != 0) continue;
        in.incidence_variable.push_back(v);
        in.incidence_equation.push_back(e);
        columns[static_cast<std::size_t>(v - 1)].push_back(e - 1);
      }
    }
    in.must_be_free.assign(static_cast<std::size_t>(V), 0);
    in.partner.assign(static_cast<std::size_t>(V), 0);
    // btf on the E x V pattern as a square matrix of the larger size.
    const std::int64_t n = std::max(E, V);
    std::vector<std::int64_t> ap(static_cast<std::size_t>(n) + 1, 0), ai;
    for (std::int64_t j = 0; j < n; ++j) {
      if (j < V) {
        ai.insert(ai.end(), columns[static_cast<std::size_t>(j)].begin(),
                  columns[static_cast<std::size_t>(j)].end());
      }
      ap[static_cast<std::size_t>(j) + 1] = static_cast<std::int64_t>(ai.size());
    }
    ai.push_back(0);
    std::vector<std::int64_t> match(static_cast<std::size_t>(n)),
        work(5 * static_cast<std::size_t>(n));
    double ops = 0.0;
    const std::int64_t rank =
        btf_l_maxtrans(n, n, ap.data(), ai.data(), 0.0, &ops, match.data(), work.data());
    std::vector<std::int32_t> codes(static_cast<std::size_t>(V), kCodeFree);
    PartitionKernelResult out;
    PartitionKernel(2, in, codes, &out);
    if (E > V) {
      std::int32_t involved = 0;
      for (std::uint8_t mark : out.involved) involved += mark;
      EXPECT_EQ(involved, E - rank) << trial;
      EXPECT_NE(out.failure, 0) << trial;
    } else if (rank == E) {
      EXPECT_EQ(out.failure, 0) << trial;
      EXPECT_EQ(std::count(codes.begin(), codes.end(), kCodeMustBeFree), V - E) << trial;
    } else {
      EXPECT_NE(out.failure, 0) << trial;
    }
  }
}

TEST(PartitionKernel, OnlyMethodTwoRuns) {
  PartitionKernelInput in;
  in.equations = 1;
  in.variables = 1;
  in.incidence_variable = {1};
  in.incidence_equation = {1};
  in.must_be_free = {0};
  in.partner = {0};
  std::vector<std::int32_t> codes = {kCodeFree};
  PartitionKernelResult out;
  out.failure = 77;
  PartitionKernel(1, in, codes, &out);
  EXPECT_EQ(out.failure, 77);
  PartitionKernel(2, in, codes, &out);
  EXPECT_EQ(out.failure, 0);
  EXPECT_EQ(out.count, 0);
}

}  // namespace
