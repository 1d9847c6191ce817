#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "daes/equations/equation_node.h"
#include "daes/model/variable.h"
#include "daes/problem/equivalence.h"
#include "daes/problem/solver_equation.h"
#include "expr/tree/proc_call_expression.h"
#include "foundation/interfaces/solver_options.h"
#include "tests/daes/daes_helpers.h"
#include "tests/support/capture_sink.h"
#include "tests/support/numbered_options.h"

namespace {

struct Level : testsupport::NumberedOptions {
  explicit Level(std::int32_t level) : level(level), previous(SolverOptions::Install(nullptr)) {
    defaults = SolverOptions::Instance();
    SolverOptions::Install(this);
  }
  ~Level() override { SolverOptions::Install(previous); }
  std::int32_t GetInt(std::int32_t n) override {
    return n == kOptPrintLevel ? level : defaults->GetInt(n);
  }
  double GetReal(std::int32_t n) override { return defaults->GetReal(n); }
  bool GetBool(std::int32_t n) override { return defaults->GetBool(n); }
  Status SetInt(std::int32_t n, std::int32_t value) override { return defaults->SetInt(n, value); }
  std::int32_t level;
  SolverOptions* previous;
  SolverOptions* defaults = nullptr;
};

struct Vars {
  DAESRealVariable* Make(const std::string& name, double value = 0.0) {
    all.push_back(std::make_unique<DAESRealVariable>(tree.root, name.c_str()));
    all.back()->SetValue(value);
    return all.back().get();
  }
  ~Vars() {
    for (auto& v : all) v->SetParent(nullptr);
  }
  // Names are built from the parent.
  daestest::Tree tree;
  std::vector<std::unique_ptr<DAESRealVariable>> all;
};

struct Quiet {
  daestest::NoticeRecorder notices;
  testsupport::CaptureSink sink;
  std::string Text() const {
    std::string text;
    for (const std::string& line : sink.lines()) text += line + "\n";
    return text;
  }
};

TEST(EquivalenceMembers, ArraysGrowByFourAndNumbersComeBack) {
  Vars vars;
  std::vector<std::uint32_t> own;
  {
    DAESEquivalence e;
    for (int k = 0; k < 5; ++k) {
      std::string name = "v";
      name += std::to_string(k);
      DAESRealVariable* v = vars.Make(name);
      own.push_back(v->SequenceNumber());
      ASSERT_EQ(e.AddMember(v), 0u);
      EXPECT_EQ(v->SequenceNumber(), e.SequenceNumber());
      EXPECT_NE(v->GetFlags() & daes::kMerged, 0u);
      EXPECT_EQ(e.MemberCapacity(), k < 4 ? 4u : 8u);
    }
  }
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(vars.all[k]->SequenceNumber(), own[k]);
    EXPECT_EQ(vars.all[k]->GetFlags() & daes::kMerged, 0u);
  }
}

TEST(EquivalenceMembers, TwoMergesKeepTheFirstOwnNumber) {
  Vars vars;
  DAESRealVariable* x = vars.Make("x");
  const std::uint32_t own = x->SequenceNumber();
  auto first = std::make_unique<DAESEquivalence>();
  DAESEquivalence second;
  DAESEquivalence third;
  first->AddMember(x);
  second.TakeOverMembers(first.get());
  third.TakeOverMembers(&second);
  EXPECT_EQ(x->SequenceNumber(), third.SequenceNumber());
  EXPECT_EQ(third.PreviousSequence(0), own);
  first.reset();  // a taken-over equivalence gives nothing back
  EXPECT_EQ(x->SequenceNumber(), third.SequenceNumber());
}

TEST(EquivalenceMembers, TheStateBringsItsDerivativeWhicheverCameFirst) {
  for (bool state_first : {true, false}) {
    Vars vars;
    DAESRealVariable* algebraic = vars.Make("y");
    DAESRealVariable* state = vars.Make("x");
    DAESVarTableEntry* derivative = state->MakeDerivative();
    DAESEquivalence e;
    e.AddMember(state_first ? state : algebraic);
    e.AddMember(state_first ? algebraic : state);
    EXPECT_EQ(e.GetDerivative(), derivative);
    EXPECT_EQ(e.SetDerivativeValue(3.0), 0u);
    EXPECT_EQ(derivative->GetRealValue(), 3.0);
  }
  DAESEquivalence none;
  EXPECT_EQ(none.SetDerivativeValue(1.0), daes::kNotImplemented);
}

TEST(EquivalenceMerge, IntersectsBoundsAndWarnsAbovePrintLevelTwo) {
  for (std::int32_t level : {2, 3}) {
    Level options(level);
    Quiet quiet;
    Vars vars;
    DAESRealVariable* a = vars.Make("a", 1.0);
    DAESRealVariable* b = vars.Make("b", 7.0);
    a->SetBounds(0.0, 10.0);
    b->SetBounds(5.0, 20.0);
    DAESEquivalence e;
    e.AddMember(a);
    e.AddMember(b);
    e.MergeMembers(false);
    double lower = 0.0, upper = 0.0;
    e.GetBounds(&lower, &upper);
    EXPECT_EQ(lower, 5.0);
    EXPECT_EQ(upper, 10.0);
    // Equal ranks average (4.0), inside the common bounds; members follow.
    EXPECT_EQ(e.GetRealValue(), 5.0 > 4.0 ? 5.0 : 4.0);
    EXPECT_EQ(a->GetRealValue(), e.GetRealValue());
    EXPECT_EQ(quiet.notices.Sent().size(), 2u);
    const std::string text = quiet.Text();
    EXPECT_EQ(text.find("Warning: Equivalenced variables have inconsistent bounds. Using common "
                        "(scaled) bounds lower:5, upper:10") != std::string::npos,
              level > 2)
        << text;
    EXPECT_EQ(text.find("         a lower:0, upper:10") != std::string::npos, level > 2) << text;
  }
}

TEST(EquivalenceMerge, InfeasibleBoundsAreAnErrorAtAnyLevel) {
  Level options(0);
  Quiet quiet;
  Vars vars;
  DAESRealVariable* a = vars.Make("a");
  DAESRealVariable* b = vars.Make("b");
  a->SetBounds(0.0, 1.0);
  b->SetBounds(2.0, 3.0);
  DAESEquivalence e;
  e.AddMember(a);
  e.AddMember(b);
  e.MergeMembers(false);
  EXPECT_NE(quiet.Text().find("Error: Infeasible bounds for equivalenced variables.The variables "
                              "are:\n         a lower:0, upper:1\n         b lower:2, upper:3"),
            std::string::npos)
      << quiet.Text();
}

TEST(EquivalenceMerge, TheSpecifiedMemberRulesAndTheShortestNameWins) {
  Quiet quiet;
  Vars vars;
  DAESRealVariable* advised = vars.Make("advised", 1.0);
  DAESRealVariable* given = vars.Make("given", 9.0);
  DAESRealVariable* plain = vars.Make("p2", 4.0);
  DAESRealVariable* other = vars.Make("p3", 4.0);
  advised->SetFlags(daes::kAdvised);
  given->SetEliminationMark(true);
  DAESEquivalence e;
  for (DAESRealVariable* v : {advised, given, plain, other}) e.AddMember(v);
  e.MergeMembers(false);
  EXPECT_EQ(e.GetRealValue(), 9.0);
  EXPECT_EQ(plain->GetRealValue(), 9.0);
  char expected[32];
  std::snprintf(expected, sizeof expected, "EQ_%04u_p2", e.Number());
  EXPECT_STREQ(e.GetNameText(), expected);
  // The representative by specification priority.
  EXPECT_EQ(e.RepresentativeMember(~0), given);

  // Names of 128 characters or more: the first member's.
  DAESEquivalence long_names;
  DAESRealVariable* first = vars.Make(std::string(130, 'x'));
  DAESRealVariable* second = vars.Make(std::string(129, 'y'));
  long_names.AddMember(first);
  long_names.AddMember(second);
  long_names.MergeMembers(false);
  const std::string name = long_names.GetNameText();
  EXPECT_EQ(name.size(), 3u + 4u + 1u + 130u);
  EXPECT_EQ(name.substr(name.size() - 130), std::string(130, 'x'));
}

TEST(EquivalenceValues, SettersReachEveryMemberAndScaleReexpressesBounds) {
  Quiet quiet;
  Vars vars;
  DAESRealVariable* a = vars.Make("a");
  DAESRealVariable* b = vars.Make("b");
  a->SetScale(2.0);
  b->SetScale(4.0);
  a->SetBounds(0.0, 10.0);
  b->SetBounds(0.0, 10.0);
  DAESEquivalence e;
  e.AddMember(a);
  e.AddMember(b);
  e.MergeMembers(false);
  EXPECT_EQ(e.GetScale(), 2.0);
  EXPECT_EQ(e.SetScaledValue(6.0), 0u);
  EXPECT_EQ(a->GetRealValue(), 3.0);
  EXPECT_EQ(b->GetRealValue(), 3.0);
  EXPECT_EQ(e.SetValueAdvised(1.5, true), 0u);
  EXPECT_NE(b->GetFlags() & daes::kAdvised, 0u);
  EXPECT_EQ(e.SetScaledValueChecked(100.0, 0.0), daes::kEquivalenceClippedHigh);
  EXPECT_EQ(a->GetRealValue(), 10.0);
  double lower = 0.0, upper = 0.0;
  e.GetBounds(&lower, &upper);
  a->ClearFlags(daes::kAdvised);
  b->ClearFlags(daes::kAdvised);
  a->SetScale(8.0);
  EXPECT_EQ(e.RecomputeScale(), 0u);
  EXPECT_EQ(e.GetScale(), 4.0);
  double lower2 = 0.0, upper2 = 0.0;
  e.GetBounds(&lower2, &upper2);
  EXPECT_DOUBLE_EQ(lower2, lower);
  EXPECT_DOUBLE_EQ(upper2, upper);

  std::ostringstream line;
  e.PrintFlags(line, false);
  EXPECT_EQ(line.str().substr(0, 4), "A-U ");
  EXPECT_NE(line.str().find("\n    #  1 A-U "), std::string::npos) << line.str();
}

// Solver equations of one procedure call share one context; the context
// goes with the last of them.
TEST(SolverEquationContext, ProcedureEquationsShareTheirContext) {
  auto* call = new ProcCallExpression();
  DAESSimpleEquation model(call);
  DAESSimpleEquation other(call);
  std::unique_ptr<DAESSolverEquation> first(MakeSolverEquation(&model));
  std::unique_ptr<DAESSolverEquation> second(MakeSolverEquation(&model));
  std::unique_ptr<DAESSolverEquation> third(MakeSolverEquation(&other));
  ASSERT_NE(first->Context(), nullptr);
  EXPECT_EQ(first->Context(), second->Context());
  EXPECT_NE(third->Context(), first->Context());
  first.reset();
  second.reset();
  third.reset();
  // Nothing remembered outlives its equations: a new one gets a fresh context.
  std::unique_ptr<DAESSolverEquation> again(MakeSolverEquation(&model));
  EXPECT_NE(again->Context(), nullptr);
}

}  // namespace
