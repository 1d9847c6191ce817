#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>

#include "daes/blocks/block_kinds.h"
#include "daes/equations/equation_node.h"
#include "daes/model/parameter.h"
#include "daes/model/variable.h"
#include "daes/problem/equivalence.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "expr/tree/expression.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/group_method.h"
#include "foundation/interfaces/problem_manager_hooks.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/values/packed_value.h"
#include "framework/runtime/cqln_exception.h"
#include "tests/daes/daes_helpers.h"
#include "tests/support/capture_sink.h"
#include "tests/support/numbered_options.h"
#include "tests/support/quiet_group_method.h"

using namespace daestest;

namespace {

// Options a test sets; the rest keep their defaults.
struct Options : testsupport::NumberedOptions {
  Options() : previous(SolverOptions::Install(nullptr)) {
    defaults = SolverOptions::Instance();
    SolverOptions::Install(this);
  }
  ~Options() override { SolverOptions::Install(previous); }
  std::int32_t GetInt(std::int32_t n) override {
    return n == kOptPrintLevel ? print_level : defaults->GetInt(n);
  }
  double GetReal(std::int32_t n) override { return defaults->GetReal(n); }
  bool GetBool(std::int32_t n) override {
    return n == kOptCompression ? compression : defaults->GetBool(n);
  }
  Status SetInt(std::int32_t n, std::int32_t value) override { return defaults->SetInt(n, value); }
  SolverOptions* previous;
  SolverOptions* defaults;
  std::int32_t print_level = 2;
  bool compression = true;
};

struct Nested : ProblemManagerHooks {
  explicit Nested(bool on) : on(on) { SetProblemManagerHooks(this); }
  ~Nested() { SetProblemManagerHooks(nullptr); }
  bool IsNestedMode() override { return on; }
  bool on;
};

DAESSolverEquation* Row(DAESProblem& p, const char* name) {
  for (std::int32_t i = 0; i < p.EquationCount(); ++i) {
    auto* e = dynamic_cast<DAESSolverEquation*>(p.GetEquation(i));
    if (e != nullptr && std::string(e->GetNameText()) == name) return e;
  }
  return nullptr;
}

std::vector<std::string> Names(DAESProblem& p) {
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < p.VariableCount(); ++i)
    names.push_back(p.GetVariable(i)->GetNameText());
  std::sort(names.begin(), names.end());
  return names;
}

struct TankProblem {
  TankProblem() {
    EXPECT_EQ(tree.Read(Tank), 0u);
    problem.reset(DAESCreateProblem(tree.root, 0, &table));
  }
  DAESVarTableEntry* At(std::vector<std::uint32_t> ids) { return Entry(tree.At(std::move(ids))); }
  Tree tree;
  SUPackedValueTable table;
  std::unique_ptr<DAESProblem> problem;
};

TEST(ProblemTank, CollectsRowsVariablesAndParameters) {
  TankProblem t;
  ASSERT_NE(t.problem, nullptr);
  DAESProblem& p = *t.problem;
  EXPECT_EQ(p.IsGood(), 1);
  EXPECT_EQ(GetCurrentProblem(), &p);
  EXPECT_EQ(p.EquationCount(), 2);
  EXPECT_EQ(Names(p),
            (std::vector<std::string>{"T101.F_in", "T101.F_out", "T101.h", "T101.h.Derivative"}));
  EXPECT_EQ(p.KnownCount(), 1u);
  EXPECT_EQ(p.UnknownCount(), 2u);
  EXPECT_EQ(p.OtherCount(), 1u);
  EXPECT_EQ(p.Parameters().size(), 2u);
  EXPECT_EQ(p.StoredValueCount(), 6);
  ASSERT_EQ(t.table.Count(), 6);
  for (std::int32_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const SUPackedValue& r = t.table.Record(i);
    auto* owner = static_cast<DAESVarTableEntry*>(r.owner);
    EXPECT_EQ(r.attribute, 4);
    EXPECT_EQ(r.type, SUValue::kReal);
    EXPECT_EQ(r.payload.real, owner->GetRealValue());
    EXPECT_EQ(r.flags, owner->GetFlags() & daes::kStoredMask);
    EXPECT_EQ(owner->StoredIndex(), static_cast<std::uint32_t>(i + 1));
  }
  // The parameters are no columns: the rows hold only variables.
  EXPECT_EQ(Row(p, "T101.MassBalance")->VariableCount(), 3);
  EXPECT_EQ(Row(p, "T101.Outflow")->VariableCount(), 2);
  // The problem's structure holds the rows' variables.
  EXPECT_EQ(p.NonZeroCount(), 5u);
  t.problem.reset();
  EXPECT_EQ(GetCurrentProblem(), nullptr);
}

TEST(ProblemTank, ResidualsAndJacobianAtTheInitialValues) {
  TankProblem t;
  DAESSolverEquation* mass = Row(*t.problem, "T101.MassBalance");
  DAESSolverEquation* outflow = Row(*t.problem, "T101.Outflow");
  ASSERT_NE(mass, nullptr);
  ASSERT_NE(outflow, nullptr);
  DAESVarTableEntry* h = t.At({2, 1});
  DAESVarTableEntry* hdot = t.At({2, 1, 1});
  DAESVarTableEntry* f_in = t.At({2, 2});
  DAESVarTableEntry* f_out = t.At({2, 3});
  f_out->SetValue(0.25);
  for (std::uint32_t flags : {daes::kEvalResidual | daes::kEvalDerivatives, daes::kEvalDerivatives,
                              daes::kEvalDerivatives | daes::kEvalElementSteps}) {
    SCOPED_TRACE(flags);
    double r = 0.0;
    ASSERT_EQ(mass->Evaluate(flags, nullptr), 0u);
    ASSERT_EQ(outflow->Evaluate(flags, nullptr), 0u);
    mass->ResidualValue(&r);
    EXPECT_DOUBLE_EQ(r, 2.0 * 0.0 - (0.5 - 0.25));
    outflow->ResidualValue(&r);
    EXPECT_DOUBLE_EQ(r, 0.25 - 0.5 * std::sqrt(1.0));
    EXPECT_DOUBLE_EQ(mass->DerivativeFor(hdot), 2.0);
    EXPECT_DOUBLE_EQ(mass->DerivativeFor(f_in), -1.0);
    EXPECT_DOUBLE_EQ(mass->DerivativeFor(f_out), 1.0);
    EXPECT_DOUBLE_EQ(outflow->DerivativeFor(f_out), 1.0);
    EXPECT_DOUBLE_EQ(outflow->DerivativeFor(h), -0.5 * 0.5 / std::sqrt(1.0));
  }
  // The elements of one variable, in row order.
  std::int32_t position = 0;
  EXPECT_EQ(outflow->FindNextElement(h->SequenceNumber(), &position),
            outflow->Context()->Element(2));
  EXPECT_EQ(position, 3);
  EXPECT_EQ(outflow->FindNextElement(h->SequenceNumber(), &position), nullptr);
  // One argument's derivative alone.
  DAESRowElement* h_element = outflow->Context()->Element(2);
  EXPECT_DOUBLE_EQ(outflow->EvaluateDerivativeValue(h_element, 0), -0.25);
  // Residual only: the derivative entries stay.
  h->SetValue(4.0);
  ASSERT_EQ(outflow->Evaluate(daes::kEvalResidual, nullptr), 0u);
  EXPECT_DOUBLE_EQ(outflow->DerivativeFor(h), -0.25);
  double r = 0.0;
  outflow->ResidualValue(&r);
  EXPECT_DOUBLE_EQ(r, 0.25 - 0.5 * 2.0);
}

TEST(ProblemTank, FiniteDifferencesAndTheirLimits) {
  TankProblem t;
  DAESSolverEquation* outflow = Row(*t.problem, "T101.Outflow");
  DAESRowElement* h_element = outflow->Context()->Element(2);
  double r0 = 0.0;
  ASSERT_EQ(outflow->Evaluate(daes::kEvalResidual, nullptr), 0u);
  outflow->ResidualValue(&r0);
  double d = 0.0;
  EXPECT_EQ(outflow->PerturbDerivative(h_element, r0, &d, true), 0u);
  EXPECT_NEAR(d, -0.25, 1e-5);
  EXPECT_EQ(h_element->ElementValue(0), d);
  EXPECT_EQ(t.At({2, 1})->GetRealValue(), 1.0);  // put back

  // A step of zero (equal bounds at the value) is refused, not divided by.
  auto* h = static_cast<DAESVariable*>(t.At({2, 1}));
  h->SetBounds(1.0, 1.0);
  d = 7.0;
  EXPECT_EQ(outflow->PerturbDerivative(h_element, r0, &d, false), daes::kNotImplemented);
  EXPECT_EQ(d, 0.0);
}

TEST(ProblemTank, OverflowingDifferenceQuotientIsClamped) {
  Tree tree;
  ASSERT_EQ(tree.Read([](Writer& w) {
    w.List(2);
    w.Item(mw::kRealVariable);
    w.Placement({T101(), {1, ".x"}});
    w.Value(0.0), w.End();
    w.Item(mw::kInlineEquation);
    w.U32(0);
    for (double sign : {1.0}) {
      w.Expression(mw::Mul(mw::Real(sign * 1e308), mw::Mul(mw::Var(0), mw::Real(1e5))));
    }
    w.Placement({T101(), {2, ".Steep"}});
    w.EquationHead(1);
    w.Reference({2, 1});
  }),
            0u);
  std::unique_ptr<DAESProblem> p(DAESCreateProblem(tree.root, 0, nullptr));
  DAESSolverEquation* steep = Row(*p, "T101.Steep");
  ASSERT_NE(steep, nullptr);
  double d = 0.0;
  EXPECT_EQ(steep->PerturbDerivative(steep->Context()->Element(0), 0.0, &d, false), 0u);
  EXPECT_EQ(d, daes::kLargestValue);
}

TEST(ProblemTank, FailingResidualIsReportedWithItsValues) {
  TankProblem t;
  testsupport::CaptureSink sink;
  DAESSolverEquation* outflow = Row(*t.problem, "T101.Outflow");
  t.At({2, 1})->SetValue(-1.0);
  const Status s = outflow->Evaluate(daes::kEvalResidual, nullptr);
  EXPECT_TRUE(status::IsFailure(s));
  const auto groups = sink.groups();
  ASSERT_FALSE(groups.empty());
  std::string text;
  for (const std::string& line : groups.back().lines) text += line + "\n";
  EXPECT_NE(text.find("evaluating residual in equation T101.Outflow"), std::string::npos) << text;
  EXPECT_NE(text.find("Residual expression : "), std::string::npos) << text;
  EXPECT_NE(text.find("Residual expression : T101.F_out-(T101.k*SQRT(T101.h))\n"
                      "Sub-expression at fault: T101.h\n"
                      "Active Variable Values:\n"
                      "T101.h = -1\n"
                      "T101.F_out = 0\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(groups.back().status, (s & 0xA0000000u) == 0xA0000000u ? s : 0u);

  // A proprietary residual keeps its sub-expression and values to itself.
  sink.Clear();
  outflow->ResidualExpression()->SetPrivate(true);
  EXPECT_TRUE(status::IsFailure(outflow->Evaluate(daes::kEvalResidual, nullptr)));
  text.clear();
  for (const std::string& line : sink.lines()) text += line + "\n";
  EXPECT_EQ(text.find("Sub-expression at fault"), std::string::npos) << text;
  EXPECT_EQ(text.find("Active Variable Values:"), std::string::npos) << text;
  // A derivative failure lists the values even then (the slope of the
  // root at zero).
  sink.Clear();
  t.At({2, 1})->SetValue(0.0);
  std::int32_t worst = 0;
  ASSERT_EQ(outflow->MarkVariable(t.At({2, 1})), 0u);
  ASSERT_EQ(outflow->ClassifyNonlinearity(&worst, 0), 0u);
  EXPECT_EQ(worst, 3);
  std::int32_t h_class = 0;
  EXPECT_EQ(outflow->VariableClass(t.At({2, 1}), 0, &h_class), 1);
  EXPECT_EQ(h_class, 3);
  const Status d = outflow->Evaluate(daes::kEvalDerivatives, nullptr);
  EXPECT_TRUE(status::IsFailure(d));
  text.clear();
  for (const std::string& line : sink.lines()) text += line + "\n";
  EXPECT_NE(text.find("evaluating derivative(s) in equation T101.Outflow"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("Sub-expression at fault"), std::string::npos) << text;
  EXPECT_NE(text.find("Active Variable Values:\nT101.h = 0\n"), std::string::npos) << text;
  std::ostringstream printed;
  outflow->PrintResidual(printed, 0, nullptr);
  EXPECT_EQ(printed.str(), "The residual for this equation is proprietary.");
}

// A compiled library that counts its calls.
struct FakeLibrary {
  FakeLibrary() {
    daes::CurrentCompiledLibrary().residual = &Residual;
    calls = 0;
  }
  ~FakeLibrary() { daes::CurrentCompiledLibrary() = daes::CompiledLibrary{}; }
  static double Residual(std::uint32_t) {
    ++calls;
    return value;
  }
  static inline int calls = 0;
  static inline double value = 3.0;
};

TEST(ProblemTank, CompiledPathCallsTheLibraryOnlyForResiduals) {
  TankProblem t;
  FakeLibrary library;
  DAESSolverEquation* outflow = Row(*t.problem, "T101.Outflow");
  outflow->SetCompiledNumber(2);
  double r = 0.0;
  EXPECT_EQ(outflow->Evaluate(daes::kEvalElementSteps, nullptr), 0u);
  EXPECT_EQ(FakeLibrary::calls, 0);
  EXPECT_EQ(outflow->Evaluate(daes::kEvalResidual, nullptr), 0u);
  EXPECT_EQ(FakeLibrary::calls, 1);
  outflow->ResidualValue(&r);
  EXPECT_EQ(r, 3.0);
  // Derivatives always come from the tape.
  EXPECT_EQ(outflow->Evaluate(daes::kEvalDerivatives, nullptr), 0u);
  EXPECT_EQ(FakeLibrary::calls, 2);
  EXPECT_DOUBLE_EQ(outflow->DerivativeFor(t.At({2, 1})), -0.25);
  FakeLibrary::value = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(outflow->Evaluate(daes::kEvalResidual, nullptr), daes::kNonFiniteResidual);
  outflow->ResidualValue(&r);
  EXPECT_TRUE(std::isnan(r));
  // Interpreted on request.
  EXPECT_EQ(outflow->Evaluate(daes::kEvalResidual | daes::kEvalInterpreted, nullptr), 0u);
  EXPECT_EQ(FakeLibrary::calls, 3);
  FakeLibrary::value = 3.0;
}

TEST(ProblemTank, ValuesReachTheCompiledLibrarysUnknowns) {
  TankProblem t;
  FakeLibrary library;
  static std::vector<double> x;
  x.assign(static_cast<std::size_t>(t.problem->VariableCount()), -7.0);
  daes::CurrentCompiledLibrary().getx_address = [] { return x.data(); };
  DAESVarTableEntry* h = t.At({2, 1});
  const std::int32_t column = t.problem->ColumnOf(h);
  ASSERT_GE(column, 1);
  h->SetValue(h->GetRealValue());  // unchanged values still reach the array
  EXPECT_EQ(x[static_cast<std::size_t>(column - 1)], h->GetRealValue());
  h->SetValue(2.5);
  EXPECT_EQ(x[static_cast<std::size_t>(column - 1)], 2.5);
  // A variable outside the problem has no slot to write.
  DAESRealVariable loose(nullptr, "loose");
  const std::vector<double> before = x;
  loose.SetValue(9.0);
  EXPECT_EQ(x, before);
}

// A typed write (the results manager's set-item of a fixed input) and the
// whole-array write before a step both reach the library's copy.
TEST(ProblemTank, TypedWritesAndTheStepsRefreshReachTheCompiledLibrary) {
  TankProblem t;
  FakeLibrary library;
  static std::vector<double> x;
  x.assign(static_cast<std::size_t>(t.problem->VariableCount()), -7.0);
  daes::CurrentCompiledLibrary().getx_address = [] { return x.data(); };
  DAESVarTableEntry* h = t.At({2, 1});
  const auto column = static_cast<std::size_t>(t.problem->ColumnOf(h) - 1);
  SUValue typed;
  typed.SetType(SUValue::kReal);
  typed.SetReal(1.75);
  h->SetTypedValue(typed);
  EXPECT_EQ(x[column], 1.75);
  // A value that changed behind the library's back comes with the refresh.
  x.assign(x.size(), -7.0);
  t.problem->WriteCompiledValues();
  for (std::int32_t i = 0; i < t.problem->VariableCount(); ++i) {
    EXPECT_EQ(x[static_cast<std::size_t>(i)], t.problem->GetVariable(i)->GetRealValue()) << i;
  }
}

TEST(ProblemTank, ExplicitBlocksPassTheirValueToTheCompiledLibrary) {
  TankProblem t;
  FakeLibrary library;
  static std::vector<double> x;
  x.assign(static_cast<std::size_t>(t.problem->VariableCount()), -7.0);
  daes::CurrentCompiledLibrary().getx_address = [] { return x.data(); };
  // A method that leaves the value as it is (an indeterminate variable).
  class Keep final : public QuietGroupMethod {
   public:
    Status Solve(QLNGroup*, std::uint8_t, std::uint32_t, std::uint32_t, Status*) override {
      return 0;
    }
  };
  ASSERT_EQ(ReplaceGroupMethod(kGroupExplicit, new Keep), 0u);
  DAESVarTableEntry* h = t.At({2, 1});
  DAESExplicitBlock block;
  block.AppendVariable(h);
  EXPECT_EQ(block.Solve(0, 0, 0, nullptr), 0u);
  EXPECT_TRUE(block.IsSolved());
  EXPECT_EQ(x[static_cast<std::size_t>(t.problem->ColumnOf(h) - 1)], h->GetRealValue());
  ReplaceGroupMethod(kGroupExplicit, nullptr);
}

TEST(ProblemTank, CompiledEvaluationLoadsTheNamedLibrary) {
  TankProblem t;
  Status load = 7;
  // Nothing named: nothing to load.
  t.problem->SetCompiledEvaluation(2, &load);
  EXPECT_EQ(load, 7u);
  t.problem->SetCompiledEvaluation(0, nullptr);
  t.problem->SetCompiledLibraryName("flowsheet");
  // The loader belongs to code generation; the plain block refuses.
  t.problem->SetCompiledEvaluation(2, &load);
  EXPECT_EQ(load, 0x8000FFFFu);
  t.problem->SetCompiledEvaluation(0, nullptr);
}

// --- x = y elimination ---

// Free variables 1..n under T101 and equations over them.
struct Model {
  struct Eq {
    std::uint32_t a, b;
    bool equality;
  };
  std::vector<double> values;
  std::vector<Eq> equations;
  void operator()(Writer& w) const {
    w.List(static_cast<std::uint32_t>(values.size() + equations.size()));
    for (std::size_t k = 0; k < values.size(); ++k) {
      w.Item(mw::kRealVariable);
      std::string name = ".";
      name += static_cast<char>('a' + k);
      w.Placement({T101(), {static_cast<std::uint32_t>(k + 1), name}});
      w.Value(values[k]), w.End();
    }
    for (std::size_t k = 0; k < equations.size(); ++k) {
      const Eq& e = equations[k];
      w.Item(mw::kInlineEquation);
      w.U32(0);
      w.Expression(e.equality ? mw::Sub(mw::Var(0), mw::Var(1))
                              : mw::Sub(mw::Add(mw::Var(0), mw::Var(1)), mw::Real(1.0)));
      const auto index = static_cast<std::uint32_t>(values.size() + k + 1);
      std::string name = ".E";
      name += std::to_string(k + 1);
      w.Placement({T101(), {index, name}});
      w.EquationHead(2);
      w.Reference({2, e.a});
      w.Reference({2, e.b});
    }
  }
};

TEST(ProblemElimination, ChainsJoinAndRedundantEquationsStay) {
  Options options;
  testsupport::CaptureSink sink;
  Tree tree;
  // a+b=1 first, so that its row must move to the equivalence; then a=b,
  // c=d (two equivalences), b=c (joins them), a=d (redundant).
  Model m{{1.0, 2.0, 3.0, 6.0},
          {{1, 2, false}, {1, 2, true}, {3, 4, true}, {2, 3, true}, {1, 4, true}}};
  ASSERT_EQ(tree.Read(m), 0u);
  std::unique_ptr<DAESProblem> p(DAESCreateProblem(tree.root, 0, nullptr));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->EliminatedCount(), 3);
  EXPECT_EQ(p->RedundantCount(), 1);
  EXPECT_EQ(p->EquationCount(), 2);  // the sum and the redundant a = d
  ASSERT_EQ(p->VariableCount(), 1);
  auto* e = dynamic_cast<DAESEquivalence*>(p->GetVariable(0));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->MemberCount(), 4);
  for (std::int32_t k = 0; k < 4; ++k) {
    EXPECT_EQ(e->Member(k)->SequenceNumber(), e->SequenceNumber());
    EXPECT_NE(e->Member(k)->GetFlags() & daes::kMerged, 0u);
  }
  // Every row now reads the equivalence.
  for (std::int32_t i = 0; i < p->EquationCount(); ++i) {
    ASSERT_EQ(p->GetEquation(i)->VariableCount(), 1);
    EXPECT_EQ(p->GetEquation(i)->GetVariable(0), e);
  }
  // Equal ranks average: (1 + 2 + 3 + 6) / 4, given to every member.
  EXPECT_DOUBLE_EQ(e->GetRealValue(), 3.0);
  EXPECT_DOUBLE_EQ(Entry(tree.At({2, 4}))->GetRealValue(), 3.0);
  std::string text;
  for (const std::string& line : sink.lines()) text += line + "\n";
  EXPECT_NE(text.find("Equation T101.E5 is redundant; it equates variables already equated."),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("It contains the variables T101.a and T101.d"), std::string::npos);
  EXPECT_NE(text.find("Variables are already equivalenced in QV_Equivalence_"), std::string::npos)
      << text;
  EXPECT_NE(text.find("A total of 3 equations (60.0%) were eliminated"), std::string::npos);
  bool redundant_failed = false;
  for (const auto& g : sink.groups()) {
    for (const std::string& line : g.lines) {
      if (line.find("A total of 1 equations were redundant") != std::string::npos) {
        redundant_failed = g.status == daes::kNotImplemented;
      }
    }
  }
  EXPECT_TRUE(redundant_failed);
  sink.Clear();
  p->ListEquivalences();
  const auto listed = sink.lines();
  ASSERT_EQ(listed.size(), 5u);
  EXPECT_EQ(listed[0].substr(listed[0].find(" contains")), " contains the following 4 variables:");
  EXPECT_EQ(listed[1], "      T101.a");
  // Columns of the current problem: a member reads its equivalence's.
  auto* element = static_cast<DAESScalar*>(
      dynamic_cast<DAESSimpleEquation*>(tree.At({2, 6}))->RowElements()[0]);
  EXPECT_EQ(element->SolverIndex(), 0);
  // The members get their own numbers back when the problem goes.
  const std::uint32_t eq_number = e->SequenceNumber();
  p.reset();
  for (std::uint32_t k = 1; k <= 4; ++k) {
    EXPECT_NE(Entry(tree.At({2, k}))->SequenceNumber(), eq_number);
    EXPECT_EQ(Entry(tree.At({2, k}))->GetFlags() & daes::kMerged, 0u);
  }
}

TEST(ProblemElimination, MergedMembersPassFlagsBoundsAndScaleToTheirEquivalence) {
  Options options;
  testsupport::CaptureSink sink;
  Tree tree;
  ASSERT_EQ(tree.Read(Model{{1.0, 2.0}, {{1, 2, true}}}), 0u);
  std::unique_ptr<DAESProblem> p(DAESCreateProblem(tree.root, 0, nullptr));
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(GetCurrentProblem(), p.get());
  auto* e = dynamic_cast<DAESEquivalence*>(p->GetVariable(0));
  ASSERT_NE(e, nullptr);
  auto* a = static_cast<DAESRealVariable*>(Entry(tree.At({2, 1})));
  auto* b = static_cast<DAESRealVariable*>(Entry(tree.At({2, 2})));
  ASSERT_NE(a->GetFlags() & daes::kMerged, 0u);

  constexpr std::uint32_t kMark = 0x20;
  ASSERT_EQ((a->GetFlags() | b->GetFlags() | e->GetFlags()) & kMark, 0u);
  a->SetFlags(kMark);
  EXPECT_NE(e->GetFlags() & kMark, 0u);
  EXPECT_EQ(b->GetFlags() & kMark, 0u);
  b->ClearFlags(kMark);
  EXPECT_EQ(e->GetFlags() & kMark, 0u);
  EXPECT_NE(a->GetFlags() & kMark, 0u);  // only the equivalence's entry follows

  // The equivalence takes the intersection, and its value is clipped into it.
  ASSERT_DOUBLE_EQ(e->GetRealValue(), 1.5);
  a->SetBounds(2.0, 10.0);
  double lower = 0.0, upper = 0.0;
  e->GetBounds(&lower, &upper);
  EXPECT_EQ(lower, 2.0);
  EXPECT_EQ(upper, 10.0);
  EXPECT_EQ(e->GetRealValue(), 2.0);
  EXPECT_EQ(b->GetRealValue(), 2.0);
  // Wider bounds on the other member leave the intersection, and the value, alone.
  e->SetValue(5.0);
  b->SetBounds(-5.0, 20.0);
  e->GetBounds(&lower, &upper);
  EXPECT_EQ(lower, 2.0);
  EXPECT_EQ(upper, 10.0);
  b->SetBounds(-5.0, 4.0);
  e->GetBounds(&lower, &upper);
  EXPECT_EQ(upper, 4.0);
  EXPECT_EQ(e->GetRealValue(), 4.0);

  // A new scale re-expresses the equivalence's bounds, not their unscaled values.
  a->SetScale(0.5);
  b->SetScale(0.5);
  EXPECT_EQ(e->GetScale(), 0.5);
  e->GetBounds(&lower, &upper);
  EXPECT_DOUBLE_EQ(lower, 2.0);
  EXPECT_DOUBLE_EQ(upper, 4.0);
  p.reset();
  // Without a problem a member keeps its changes to itself.
  a->ClearFlags(0x20);
  EXPECT_EQ(a->GetFlags() & 0x20, 0u);
}

TEST(ProblemElimination, AStateJoiningMovesTheEquivalenceToTheStates) {
  Options options;
  Tree tree;
  ASSERT_EQ(tree.Read([](Writer& w) {
    w.List(5);
    for (std::uint32_t k : {1u, 2u}) {
      w.Item(mw::kRealVariable);
      w.Placement({T101(), {k, k == 1 ? ".a" : ".b"}});
      w.Value(1.0), w.End();
    }
    w.Item(mw::kStateVariable);
    w.Placement({T101(), {3, ".s"}});
    w.Value(3.0), w.End();
    for (std::uint32_t k : {4u, 5u}) {
      w.Item(mw::kInlineEquation);
      w.U32(0);
      w.Expression(mw::Sub(mw::Var(0), mw::Var(1)));
      w.Placement({T101(), {k, k == 4 ? ".E1" : ".E2"}});
      w.EquationHead(2);
      w.Reference({2, k - 3});
      w.Reference({2, k - 2});
    }
  }),
            0u);
  auto* s = dynamic_cast<DAESRealVariable*>(tree.At({2, 3}));
  ASSERT_NE(s, nullptr);
  ASSERT_NE(s->Derivative(), nullptr);
  ASSERT_TRUE(s->IsFreeVariable()) << std::hex << s->GetFlags();
  std::unique_ptr<DAESProblem> p(DAESCreateProblem(tree.root, 0, nullptr));
  EXPECT_EQ(p->EliminatedCount(), 2);
  // The equivalence (a state now) and the derivative it took over.
  EXPECT_EQ(p->KnownCount(), 1u);
  EXPECT_EQ(p->UnknownCount(), 0u);
  auto* e = dynamic_cast<DAESEquivalence*>(p->GetVariable(0));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->GetDerivative(), s->Derivative());
  EXPECT_EQ(p->FindBySequence(e->SequenceNumber()), 0);
}

TEST(ProblemElimination, OffWithTheCompressionOption) {
  Options options;
  options.compression = false;
  Tree tree;
  ASSERT_EQ(tree.Read(Model{{1.0, 2.0}, {{1, 2, true}}}), 0u);
  std::unique_ptr<DAESProblem> p(DAESCreateProblem(tree.root, 0, nullptr));
  EXPECT_EQ(p->EliminatedCount(), 0);
  EXPECT_EQ(p->EquationCount(), 1);
  EXPECT_EQ(p->VariableCount(), 2);
}

TEST(ProblemElimination, SpecifiedValuesThatDifferAreRefusedAtTheTolerance) {
  Options options;
  options.print_level = 3;
  testsupport::CaptureSink sink;
  for (double gap : {1e-5, 0.5e-5}) {
    SCOPED_TRACE(gap);
    Tree tree;
    ASSERT_EQ(tree.Read(Model{{0.0, gap}, {{1, 2, true}}}), 0u);
    Entry(tree.At({2, 1}))->SetEliminationMark(true);
    Entry(tree.At({2, 2}))->SetEliminationMark(true);
    std::unique_ptr<DAESProblem> p(DAESCreateProblem(tree.root, 0, nullptr));
    const bool refused = gap >= 1e-5;
    EXPECT_EQ(p->RefusedCount(), refused ? 1 : 0);
    EXPECT_EQ(p->EliminatedCount(), refused ? 0 : 1);
    EXPECT_EQ(p->EquationCount(), refused ? 1 : 0);
  }
  std::string text;
  for (const std::string& line : sink.lines()) text += line + "\n";
  EXPECT_NE(text.find("Equation T101.E1 was not eliminated because"), std::string::npos) << text;
  EXPECT_NE(text.find("1 equation was not eliminated because it had a residual over 1e-05"),
            std::string::npos)
      << text;
}

TEST(ProblemReports, FollowPrintLevelAndNestedMode) {
  struct Case {
    std::int32_t level;
    bool nested;
    bool total;
    bool listing;
  };
  const Case cases[] = {{0, false, false, false}, {1, false, true, false}, {1, true, false, false},
                        {2, true, true, false},   {4, false, true, true},  {4, true, true, false},
                        {5, true, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.level << " " << c.nested);
    Options options;
    options.print_level = c.level;
    Nested nested(c.nested);
    testsupport::CaptureSink sink;
    Tree tree;
    ASSERT_EQ(tree.Read(Model{{1.0, 1.0}, {{1, 2, true}, {1, 2, true}}}), 0u);
    std::unique_ptr<DAESProblem> p(DAESCreateProblem(tree.root, 0, nullptr));
    std::string text;
    for (const std::string& line : sink.lines()) text += line + "\n";
    EXPECT_EQ(text.find("were eliminated") != std::string::npos, c.total) << text;
    EXPECT_EQ(text.find("contains the following 2 variables:") != std::string::npos, c.listing)
        << text;
    EXPECT_NE(text.find("A total of 1 equations were redundant"), std::string::npos) << text;
  }
}

// --- stored values ---

TEST(ProblemStoredValues, RoundTripTakesTheMeanOfMembers) {
  Options options;
  Tree tree;
  ASSERT_EQ(tree.Read(Model{{1.0, 1.0, 5.0}, {{1, 2, true}, {1, 3, false}}}), 0u);
  SUPackedValueTable table;
  std::unique_ptr<DAESProblem> p(DAESCreateProblem(tree.root, 0, &table));
  ASSERT_EQ(p->IsGood(), 1);
  ASSERT_EQ(table.Count(), 3);  // two members and c
  EXPECT_EQ(p->StoredValueCount(), 3);
  DAESVarTableEntry* c = Entry(tree.At({2, 3}));
  c->SetValue(7.0);
  ASSERT_EQ(p->StoreValues(&table), 0u);
  const std::int32_t at_c = static_cast<std::int32_t>(c->StoredIndex()) - 1;
  const std::int32_t at_a = static_cast<std::int32_t>(Entry(tree.At({2, 1}))->StoredIndex()) - 1;
  const std::int32_t at_b = static_cast<std::int32_t>(Entry(tree.At({2, 2}))->StoredIndex()) - 1;
  EXPECT_EQ(table.Record(at_c).payload.real, 7.0);
  EXPECT_EQ(table.Record(at_a).owner, Entry(tree.At({2, 1})));
  EXPECT_EQ(at_b, at_a + 1);
  c->SetValue(0.0);
  // Members 1.0 and a string record: (1.0 + 0.0) / 2.
  table.Record(at_a).payload.real = 1.0;
  table.Record(at_b).SetString("text", table.Pool());
  ASSERT_EQ(p->RestoreValues(&table), 0u);
  EXPECT_EQ(c->GetRealValue(), 7.0);
  EXPECT_DOUBLE_EQ(Entry(tree.At({2, 1}))->GetRealValue(), 0.5);
  EXPECT_DOUBLE_EQ(Entry(tree.At({2, 2}))->GetRealValue(), 0.5);

  std::vector<double> saved;
  p->SaveValues(&saved);
  c->SetValue(9.0);
  p->RestoreSavedValues(saved);
  EXPECT_EQ(c->GetRealValue(), 7.0);
}

TEST(ProblemStoredValues, UnreferencedVariablesLeaveAndParametersFollow) {
  Options options;
  testsupport::CaptureSink sink;
  TankProblem t;  // for parameter records
  EXPECT_EQ(t.table.Record(4).attribute, 4);
  EXPECT_EQ(t.table.Record(4).type, SUValue::kReal);
  EXPECT_EQ(t.table.Record(4).payload.real, 0.5);

  Tree tree;
  ASSERT_EQ(tree.Read(Model{{1.0, 1.0, 5.0, 2.0}, {{1, 3, false}}}), 0u);
  Entry(tree.At({2, 4}))->FixAndSetValue(2.0);
  SUPackedValueTable table;
  std::unique_ptr<DAESProblem> p(DAESCreateProblem(tree.root, 0, &table));
  // b leaves; d is fixed and stays, with a message.
  EXPECT_EQ(Names(*p), (std::vector<std::string>{"T101.a", "T101.c", "T101.d"}));
  EXPECT_EQ(Entry(tree.At({2, 2}))->StoredIndex(), 0u);
  std::string text;
  for (const std::string& line : sink.lines()) text += line + "\n";
  EXPECT_NE(text.find("Fixed variable T101.d was not referenced by any equation."),
            std::string::npos)
      << text;
}

TEST(ProblemStoredValues, ARebuildDropsWhatNoEquationReadsAnyMore) {
  Tree tree;
  ASSERT_EQ(tree.Read(Model{{1.0, 1.0, 5.0}, {{1, 3, false}, {2, 3, false}}}), 0u);
  std::unique_ptr<DAESProblem> p(DAESCreateProblem(tree.root, 0, nullptr));
  EXPECT_EQ(p->VariableCount(), 3);
  p.reset();
  // The second equation leaves the tree; b goes with it.
  BvuDirectoryNode* removed = nullptr;
  ASSERT_EQ(tree.At({2})->RemoveChildAt(5, &removed), 0u);
  delete removed;
  p.reset(DAESCreateProblem(tree.root, 0, nullptr));
  EXPECT_EQ(Names(*p), (std::vector<std::string>{"T101.a", "T101.c"}));
}

TEST(ProblemStoredValues, NoVariableLeftIsAnError) {
  Tree tree;
  ASSERT_EQ(tree.Read(Model{{1.0}, {}}), 0u);
  std::unique_ptr<DAESProblem> p(DAESCreateProblem(tree.root, 0, nullptr));
  EXPECT_EQ(p->GetStatus(), daes::kNoVariablesLeft);
  EXPECT_EQ(p->IsGood(), 0);
}

// A node whose collection throws, as running out of memory while growing
// the variable-equation index does.
struct ThrowingNode : BvuDirectoryProper {
  using BvuDirectoryProper::BvuDirectoryProper;
  Status ApplyToSubtree(void*, void*, std::int32_t, std::int32_t, void*) override {
    ThrowCQLNException(daes::kBlockOutOfMemory, "Out of Memory");
  }
};

TEST(ProblemBuild, AThrowDuringCollectionIsReportedAndGivesTheVariablesBack) {
  Options options;
  Tree tree;
  ASSERT_EQ(tree.Read(Model{{1.0, 3.0}, {{1, 2, true}}}), 0u);
  BvuDirectoryNode* t101 = tree.At({2});
  ASSERT_EQ(t101->InsertChildAt(9, new ThrowingNode(t101, ".Z")), 0u);
  DAESVarTableEntry* a = Entry(tree.At({2, 1}));
  DAESVarTableEntry* b = Entry(tree.At({2, 2}));
  const std::uint32_t a_number = a->SequenceNumber();
  const std::uint32_t b_number = b->SequenceNumber();
  testsupport::CaptureSink sink;
  testing::internal::CaptureStderr();
  DAESProblem* p = DAESCreateProblem(tree.root, 0, nullptr);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(err,
            "QLNInstanceFactory::CreateProblem() Caught QLNException: 0xa0310213 Out of Memory\n");
  ASSERT_EQ(sink.groups().size(), 1u);
  EXPECT_EQ(sink.groups()[0].status, daes::kBlockOutOfMemory);
  EXPECT_EQ(sink.groups()[0].lines,
            std::vector<std::string>{"Exception (Out of Memory) during construction of runnable "
                                     "simulation"});
  // The equivalence a = b made before the throw is undone.
  for (DAESVarTableEntry* v : {a, b}) {
    EXPECT_EQ(v->GetFlags() & (daes::kMerged | daes::kInProblem), 0u) << v->GetNameText();
  }
  EXPECT_EQ(a->SequenceNumber(), a_number);
  EXPECT_EQ(b->SequenceNumber(), b_number);
  EXPECT_EQ(GetCurrentProblem(), nullptr);
  // Without the node the model builds as before.
  BvuDirectoryNode* removed = nullptr;
  ASSERT_EQ(t101->RemoveChildAt(9, &removed), 0u);
  delete removed;
  std::unique_ptr<DAESProblem> q(DAESCreateProblem(tree.root, 0, nullptr));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(q->EliminatedCount(), 1);
  EXPECT_EQ(q->VariableCount(), 1);
}

// --- procedures ---

struct FakeProcedure : DAESProcedureEquation {
  FakeProcedure(const char* name, Status fail_on_pre, std::vector<std::string>* log)
      : name(name), fail(fail_on_pre), log(log) {}
  Status CallProcedure(std::int32_t mode) override {
    std::string entry = name;
    entry += ':';
    entry += std::to_string(mode);
    log->push_back(entry);
    return mode == 1 ? fail : 0;
  }
  const char* ProcedureName() override { return name.c_str(); }
  std::int32_t OutputCount() override { return 2; }
  void SetOutputBuffer(double* o) override { outputs = o; }
  void ResetPropertiesCall() override { ++properties_resets; }
  void ForgetLastCall() override { ++forgotten; }
  void TellPrecall() override { ++told; }
  bool CalledByLibrary() override { return by_library; }
  std::string name;
  Status fail;
  std::vector<std::string>* log;
  double* outputs = nullptr;
  int properties_resets = 0;
  int forgotten = 0;
  int told = 0;
  bool by_library = true;
};

TEST(ProblemProcedures, PrecallsUndoOnFailureAndAnswerOnceOnly) {
  TankProblem t;
  DAESProblem& p = *t.problem;
  std::vector<std::string> log;
  FakeProcedure first("first", 0, &log), second("second", 0xA0000001u, &log);
  p.AddProcedureEquation(&first);
  p.AddProcedureEquation(&second);
  testsupport::CaptureSink sink;
  EXPECT_EQ(p.RunProcedureCalls(1), daes::kNotImplemented);
  EXPECT_EQ(log, (std::vector<std::string>{"first:1", "second:1", "first:2"}));
  EXPECT_FALSE(p.PrecallsRun());
  EXPECT_EQ(sink.lines().back(), "procedure precall failed for second");
  EXPECT_EQ(p.RunProcedureCalls(2), daes::kProcedureCallsUnchanged);

  second.fail = 0;
  log.clear();
  EXPECT_EQ(p.RunProcedureCalls(1), 0u);
  EXPECT_EQ(p.RunProcedureCalls(1), daes::kProcedureCallsUnchanged);
  EXPECT_EQ(log.size(), 2u);
  EXPECT_EQ(p.RunProcedureCalls(2), 0u);
  EXPECT_FALSE(p.PrecallsRun());
}

// The problem's going tells its procedures: the post-calls of a run still
// open come first, then the close of an opened problem; a problem never
// opened, or whose run has ended, hears only what is due.
TEST(ProblemProcedures, ClosingRunsThePostCallsDueThenTheCloseCalls) {
  TankProblem t;
  DAESProblem& p = *t.problem;
  std::vector<std::string> log;
  FakeProcedure first("first", 0, &log), second("second", 0, &log);
  p.AddProcedureEquation(&first);
  p.AddProcedureEquation(&second);
  EXPECT_EQ(p.CloseProcedures(), 0u);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(p.OpenProcedures(), 0u);
  EXPECT_TRUE(p.ProceduresOpened());
  EXPECT_EQ(p.RunProcedureCalls(1), 0u);
  EXPECT_EQ(p.CloseProcedures(), 0u);
  EXPECT_EQ(log, (std::vector<std::string>{"first:5", "second:5", "first:1", "second:1", "first:2",
                                           "second:2", "first:6", "second:6"}));
  EXPECT_FALSE(p.PrecallsRun());
  EXPECT_FALSE(p.ProceduresOpened());
  log.clear();
  EXPECT_EQ(p.CloseProcedures(), 0u);
  EXPECT_TRUE(log.empty());
}

// With a compiled library loaded its PrecallProcs and PostcallProcs stand
// for the procedures' own calls, one of each per run: the post-call is not
// made twice, once by the engine and once by the library. The procedures
// forget their last call, as their own pre-call makes them. A procedure
// the library leaves to the engine gets its calls from the engine, once.
TEST(ProblemProcedures, ACompiledLibraryMakesTheRunsCallsInTheirPlace) {
  TankProblem t;
  DAESProblem& p = *t.problem;
  std::vector<std::string> log;
  FakeProcedure only("only", 0, &log), kept("kept", 0, &log);
  kept.by_library = false;
  p.AddProcedureEquation(&only);
  p.AddProcedureEquation(&kept);
  static int precalls = 0, postcalls = 0;
  static std::int32_t last = 0;
  precalls = postcalls = 0;
  daes::CompiledLibrary& library = daes::CurrentCompiledLibrary();
  const daes::CompiledLibrary saved = library;
  library.residual = [](std::uint32_t) { return 0.0; };
  library.precall_procs = []() -> Status { return ++precalls, 0u; };
  library.postcall_procs = [](std::int32_t l) -> Status { return ++postcalls, last = l, 0u; };
  EXPECT_EQ(p.RunProcedureCalls(1), 0u);
  EXPECT_TRUE(p.PrecallsRun());
  EXPECT_EQ(only.forgotten, 1);
  // Told as its own pre-call is, once per run.
  EXPECT_EQ(only.told, 1);
  EXPECT_EQ(p.RunProcedureCalls(1), 0u);
  EXPECT_EQ(only.told, 1);
  EXPECT_EQ(p.RunProcedureCalls(2), 0u);
  EXPECT_EQ(p.RunProcedureCalls(2), daes::kProcedureCallsUnchanged);
  library = saved;
  EXPECT_EQ(precalls, 2);  // the library itself answers a second one as done
  EXPECT_EQ(postcalls, 1);
  EXPECT_EQ(last, 0x7FFFFFFF);
  EXPECT_EQ(log, (std::vector<std::string>{"kept:1", "kept:2"}));
  EXPECT_EQ(kept.told, 0);  // its own pre-call tells it
}

}  // namespace

namespace {

TEST(ProblemTank, DumpShowsTheRowAndItsVariables) {
  TankProblem t;
  DAESSolverEquation* outflow = Row(*t.problem, "T101.Outflow");
  ASSERT_EQ(outflow->Evaluate(daes::kEvalResidual | daes::kEvalDerivatives, nullptr), 0u);
  std::ostringstream out;
  outflow->Dump(out, true, 1, true);
  const std::string text = out.str();
  EXPECT_EQ(text.substr(0, text.find("  Local")),
            "   Equation T101.Outflow has 3 Vars and 2 non-zeros\n"
            "   DYN Residual is T101.F_out-(T101.k*SQRT(T101.h)) [=  -0.5]\n");
  EXPECT_NE(text.find("\nV3    T101.h"), std::string::npos) << text;
}

}  // namespace

namespace {

// Elements the tape cannot differentiate (class 4) take a finite
// difference when the element steps are asked for.
TEST(ProblemTank, ElementStepsDifferenceNumericClasses) {
  Tree tree;
  ASSERT_EQ(tree.Read([](Writer& w) {
    w.List(3);
    w.Item(mw::kRealVariable);
    w.Placement({T101(), {1, ".x"}});
    w.Value(0.0), w.End();
    w.Item(mw::kRealVariable);
    w.Placement({T101(), {2, ".y"}});
    w.Value(0.4999999), w.End();
    w.Item(mw::kInlineEquation);
    w.U32(0);
    w.Expression(mw::Sub(mw::Var(0), mw::Unary(17, mw::Unary(60, mw::Var(1)))));
    w.Placement({T101(), {3, ".Stepped"}});
    w.EquationHead(2);
    w.Reference({2, 1});
    w.Reference({2, 2});
  }),
            0u);
  std::unique_ptr<DAESProblem> p(DAESCreateProblem(tree.root, 0, nullptr));
  DAESSolverEquation* row = Row(*p, "T101.Stepped");
  ASSERT_NE(row, nullptr);
  DAESVarTableEntry* x = Entry(tree.At({2, 1}));
  DAESVarTableEntry* y = Entry(tree.At({2, 2}));
  ASSERT_EQ(row->MarkVariable(x), 0u);
  ASSERT_EQ(row->MarkVariable(y), 0u);
  std::int32_t worst = 0;
  row->ClassifyNonlinearity(&worst, 0);
  EXPECT_EQ(worst, 4);
  ASSERT_EQ(row->Evaluate(daes::kEvalResidual | daes::kEvalDerivatives, nullptr), 0u);
  EXPECT_EQ(row->DerivativeFor(y), 0.0);
  ASSERT_EQ(row->Evaluate(daes::kEvalResidual | daes::kEvalElementSteps, nullptr), 0u);
  EXPECT_DOUBLE_EQ(row->DerivativeFor(x), 1.0);
  EXPECT_NEAR(row->DerivativeFor(y), -1e5, 1.0);
  double r = 1.0;
  row->ResidualValue(&r);
  EXPECT_EQ(r, 0.0);  // the residual at the point, not a perturbed one
}

}  // namespace

namespace {

// The code generator as the problem sees it: records what it is asked.
struct FakeCompiledCode : DAESCompiledCode {
  FakeCompiledCode() { daes::SetCompiledCode(this); }
  ~FakeCompiledCode() { daes::SetCompiledCode(nullptr); }
  Status Generate(DAESProblem* problem, std::int32_t a, std::int32_t b, std::uint64_t second,
                  std::string* library) override {
    generated.push_back({a, b, static_cast<std::int64_t>(second)});
    EXPECT_NE(problem, nullptr);
    *library = name;
    return generate_status;
  }
  Status Load(DAESProblem*, const char* library) override {
    loads.push_back(library != nullptr ? library : "<none>");
    return 0;
  }
  void SetBuildFolder(const char*) override {}
  std::vector<std::vector<std::int64_t>> generated;
  std::vector<std::string> loads;
  std::string name = "flowsheet1";
  Status generate_status = 0;
};

TEST(ProblemCompiledEquations, BuildWritesThenLoadsTheLibrary) {
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  std::unique_ptr<DAESProblem> problem(DAESCreateProblem(tree.root, 77, nullptr));
  ASSERT_NE(problem, nullptr);
  // Without a code generator nothing can be built.
  EXPECT_EQ(problem->BuildCompiledEquations(1, 2), 0x8000FFFFu);
  FakeCompiledCode code;
  ASSERT_EQ(problem->BuildCompiledEquations(1, 2), 0u);
  ASSERT_EQ(code.generated.size(), 1u);
  EXPECT_EQ(code.generated[0], (std::vector<std::int64_t>{1, 2, 77}));
  EXPECT_EQ(code.loads, (std::vector<std::string>{"flowsheet1"}));
  EXPECT_STREQ(problem->CompiledLibraryName(), "flowsheet1");
  // Nothing generated: the named library is loaded again.
  code.name.clear();
  ASSERT_EQ(problem->BuildCompiledEquations(0, 0), 0u);
  EXPECT_EQ(code.loads.back(), "flowsheet1");
  // A failed generation loads nothing.
  code.generate_status = 0xA031FFFFu;
  EXPECT_EQ(problem->BuildCompiledEquations(0, 0), 0xA031FFFFu);
  EXPECT_EQ(code.loads.size(), 2u);
  // Compiled evaluation loads the problem's library and unloads it again.
  Status loaded = 1;
  problem->SetCompiledEvaluation(2, &loaded);
  EXPECT_EQ(loaded, 0u);
  problem->SetCompiledEvaluation(0, nullptr);
  EXPECT_EQ(code.loads,
            (std::vector<std::string>{"flowsheet1", "flowsheet1", "flowsheet1", "<none>"}));
}

}  // namespace
