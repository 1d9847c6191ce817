// The compiled equation library in C: every solver equation of a problem
// writes its "Eqn<N>" function, the source is compiled with the system C
// compiler against a stub run time (one compiler run per model), loaded
// through the library loader, and its residuals and Jacobian entries are
// compared with the interpreter and the reverse pass.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "daes/equations/equation_node.h"
#include "daes/equations/row_element.h"
#include "daes/events/finite_state_equation.h"
#include "daes/events/implicit_event.h"
#include "daes/instance/instance_node.h"
#include "daes/model/variable.h"
#include "daes/problem/equation_code.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "expr/tree/binary_expression.h"
#include "expr/tree/expression.h"
#include "expr/tree/system_function.h"
#include "expr/tree/unary_expression.h"
#include "expr/tree/var_ref_expression.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/messages/math_error.h"
#include "foundation/values/packed_value.h"
#include "platform/dynamic_library.h"
#include "tests/daes/compiled_c_helpers.h"
#include "tests/daes/daes_helpers.h"
#include "tests/support/capture_sink.h"
#include "tests/support/temp_dir.h"

using namespace daestest;
using namespace compiledtest;
namespace mw = modelwriter;

namespace {

TEST(CompiledEquations, TankFunctionGolden) {
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  SUPackedValueTable table;
  std::unique_ptr<DAESProblem> problem(DAESCreateProblem(tree.root, 0, &table));
  ASSERT_NE(problem, nullptr);
  DAESSolverEquation* outflow = nullptr;
  for (std::int32_t i = 0; i < problem->EquationCount(); ++i) {
    auto* row = static_cast<DAESSolverEquation*>(problem->GetEquation(i));
    if (std::string(row->GetNameText()) == "T101.Outflow") outflow = row;
  }
  ASSERT_NE(outflow, nullptr);
  std::ostringstream out;
  daes::EquationCState state(out);
  state.equation = 4;
  state.expr.tape.j_offset = 10;
  WriteEquation(outflow, state);
  const std::string code = out.str();
  EXPECT_EQ(
      code.rfind("static void Eqn5(int task){double *x=g_pX;switch(task){\n  case 3:  case 0:", 0),
      0u)
      << code;
  EXPECT_NE(code.find("break;\n  case 1:{double *J=g_pJ;{double c"), std::string::npos) << code;
  const std::vector<std::int32_t>& pattern = outflow->ColumnPattern();
  ASSERT_EQ(pattern.size(), 2u);
  EXPECT_LT(pattern[0], pattern[1]);
  const std::string columns = "  case 2:{static int pC[]={2," + std::to_string(pattern[0]) + "," +
                              std::to_string(pattern[1]) + "};g_piCol=pC;}break;\n}}\n";
  EXPECT_EQ(code.substr(code.size() - columns.size()), columns) << code;
  EXPECT_EQ(state.expr.tape.j_offset, 12);
  EXPECT_EQ(state.failed_functions, 0);
  EXPECT_EQ(outflow->CompiledNumber(), 5u);
}

TEST(CompiledEquationsBuild, TankEqualsTheInterpreter) {
  testsupport::TempDir dir;
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  SUPackedValueTable table;
  std::unique_ptr<DAESProblem> problem(DAESCreateProblem(tree.root, 0, &table));
  ASSERT_NE(problem, nullptr);
  Loaded library;
  std::int32_t entries = 0;
  ASSERT_TRUE(Build(*problem, dir.path(), &library, &entries));
  std::mt19937 rng(5);
  for (int point = 0; point < 5; ++point) {
    for (std::int32_t i = 0; i < problem->VariableCount(); ++i) {
      problem->GetVariable(i)->SetValue(std::uniform_real_distribution<double>(0.1, 3.0)(rng));
    }
    Compare(*problem, library, entries);
  }
}

// The IF's branches of the weir: W = 2 (h - 1.2) above the crest h = 1.2,
// W = 0 below.
void RaisedCrest(Writer& w) {
  w.List(1);
  w.Item(mw::kInlineEquation);
  w.U32(0);
  w.Expression(mw::Sub(mw::Var(0), mw::Mul(mw::Real(2.0), mw::Sub(mw::Var(1), mw::Real(1.2)))));
  w.Placement({T101(), {8, ".Weir"}, {1, ".Then"}, {1, ".Q"}});
  w.EquationHead(2);
  w.Reference({2, 9});
  w.Reference({2, 1});
  w.List(1);
  w.Item(mw::kInlineEquation);
  w.U32(0);
  w.Expression(mw::Sub(mw::Var(0), mw::Real(0.0)));
  w.Placement({T101(), {8, ".Weir"}, {2, ".Else"}, {1, ".Q"}});
  w.EquationHead(1);
  w.Reference({2, 9});
}

// The tank with an IF on the crest h > 1.2 over the weir flow Q; `branches`
// writes its THEN and ELSE lists.
struct Weir {
  explicit Weir(void (*branches)(Writer&) = RaisedCrest) : library(nullptr, nullptr) {
    SetCurrentEventSchedule(&schedule);
    auto stored = Body([&](Writer& w) { w.Expression(mw::Greater(mw::Var(0), mw::Real(1.2))); });
    library.InsertChildAt(1, new LibraryExpression(&library, Expression::ReadFromMessage(*stored)));
    EXPECT_EQ(tree.Read(Tank), 0u);
    EXPECT_EQ(tree.Read(WeirFlow), 0u);
    auto message = Body([branches](Writer& w) {
      w.List(1);
      w.IfHead({1}, {T101(), {8, ".Weir"}});
      w.EquationHead(1);
      w.Reference({2, 1});
      branches(w);
    });
    EXPECT_EQ(tree.root->ReadFromMessage(*message, tree.root, &library, tree.root), 0u);
  }
  // The IF's row in the built problem.
  DAESFiniteStateEquation* Row() const {
    DAESFiniteStateEquation* found = nullptr;
    for (std::int32_t i = 0; problem != nullptr && i < problem->EquationCount(); ++i) {
      if (auto* row = dynamic_cast<DAESFiniteStateEquation*>(problem->GetEquation(i))) found = row;
    }
    return found;
  }
  ~Weir() {
    problem.reset();
    library.DeleteChildren();
    SetCurrentEventSchedule(nullptr);
  }
  DAESEventSchedule schedule;
  Tree tree;
  BvuDirectoryProper library;
  std::unique_ptr<DAESProblem> problem;
};

TEST(CompiledEquationsBuild, IfRowsFollowTheStateCode) {
  testsupport::TempDir dir;
  Weir m;
  static_cast<DAESVariable*>(Entry(m.tree.At({2, 1})))->SetValue(1.0);
  m.problem.reset(DAESCreateProblem(m.tree.root, 0, nullptr));
  ASSERT_NE(m.problem, nullptr);
  DAESFiniteStateEquation* weir = m.Row();
  ASSERT_NE(weir, nullptr);
  Loaded library;
  std::int32_t entries = 0;
  ASSERT_TRUE(Build(*m.problem, dir.path(), &library, &entries));
  // ELSE below the crest, THEN above it once the event has moved.
  Compare(*m.problem, library, entries);
  EXPECT_EQ(library.level_state(weir->CompiledNumber(), 0), 0);
  static_cast<DAESVariable*>(Entry(m.tree.At({2, 1})))->SetValue(1.5);
  ASSERT_EQ(m.schedule.EvaluateAll(), 0u);
  Compare(*m.problem, library, entries);
  EXPECT_EQ(weir->CurrentState(), 1);
  EXPECT_EQ(library.level_state(weir->CompiledNumber(), 0), 1);
  // The discrete update on the compiled path takes the state from the
  // library's state code, not from the schedule.
  static_cast<DAESVariable*>(Entry(m.tree.At({2, 1})))->SetValue(1.0);
  ASSERT_EQ(weir->Evaluate(daes::kEvalDiscrete | daes::kEvalResidual, nullptr), 0u);
  EXPECT_EQ(weir->CurrentState(), 0);
  EXPECT_EQ(weir->Event()->State(), 0);
  double r = 0.0;
  ASSERT_EQ(weir->ResidualValue(&r), 0u);
  EXPECT_DOUBLE_EQ(r, 0.25);
}

// An IF whose ELSE branch takes a square root: below zero the compiled row
// answers what its branch's tape answers.
// The weir's IF with a square root of the level in its ELSE branch.
void RootBelowTheCrest(Writer& w) {
  w.List(1);
  w.Item(mw::kInlineEquation);
  w.U32(0);
  w.Expression(mw::Sub(mw::Var(0), mw::Real(0.5)));
  w.Placement({T101(), {8, ".Weir"}, {1, ".Then"}, {1, ".Q"}});
  w.EquationHead(1);
  w.Reference({2, 9});
  w.List(1);
  w.Item(mw::kInlineEquation);
  w.U32(0);
  w.Expression(mw::Sub(mw::Var(0), mw::Sqrt(mw::Var(1))));
  w.Placement({T101(), {8, ".Weir"}, {2, ".Else"}, {1, ".Q"}});
  w.EquationHead(2);
  w.Reference({2, 9});
  w.Reference({2, 1});
}

TEST(CompiledEquationsBuild, IfRowsAnswerTheTapesStatusWhereAGuardFires) {
  testsupport::TempDir dir;
  Weir m(RootBelowTheCrest);
  m.problem.reset(DAESCreateProblem(m.tree.root, 0, nullptr));
  DAESProblem* problem = m.problem.get();
  ASSERT_NE(problem, nullptr);
  DAESFiniteStateEquation* weir = m.Row();
  ASSERT_NE(weir, nullptr);
  Loaded built;
  std::int32_t entries = 0;
  ASSERT_TRUE(Build(*problem, dir.path(), &built, &entries));
  std::vector<double> x(static_cast<std::size_t>(problem->VariableCount()));
  testsupport::CaptureSink sink;
  for (const double h : {0.25, -1.0}) {
    SCOPED_TRACE(h);
    static_cast<DAESVariable*>(Entry(m.tree.At({2, 1})))->SetValue(h);
    for (std::int32_t i = 0; i < problem->VariableCount(); ++i) {
      DAESVarTableEntry* v = problem->GetVariable(i);
      x[static_cast<std::size_t>(problem->ColumnOf(v) - 1)] = v->GetRealValue();
    }
    built.setx(x.data());
    for (const std::uint32_t flags :
         {daes::kEvalResidual, daes::kEvalResidual | daes::kEvalDerivatives}) {
      MathErrorStatus.Reset();
      const Status interpreted = weir->Evaluate(flags | daes::kEvalInterpreted, nullptr);
      MathErrorStatus.Reset();
      const std::size_t reports = sink.groups().size();
      EXPECT_EQ(weir->Evaluate(flags, nullptr), interpreted) << flags;
      EXPECT_EQ(status::IsFailure(interpreted), h < 0.0) << flags;
      // One report for the compiled row's failure, as for the interpreted one.
      EXPECT_EQ(sink.groups().size() - reports, h < 0.0 ? 1u : 0u) << flags;
    }
    EXPECT_EQ(weir->CurrentState(), 0);
  }
}

TEST(CompiledEquations, IfFunctionGolden) {
  Weir m;
  m.problem.reset(DAESCreateProblem(m.tree.root, 0, nullptr));
  ASSERT_NE(m.problem, nullptr);
  DAESFiniteStateEquation* weir = m.Row();
  ASSERT_NE(weir, nullptr);
  std::ostringstream out;
  daes::EquationCState state(out);
  state.state_base = 5;
  WriteEquation(weir, state);
  const std::string code = out.str();
  const std::string head =
      "static void Eqn1(int task){double *x=g_pX;switch(task){\n"
      "  case 4:ires=g_pInstance->pStateData[5];break;\n  case 3:{";
  EXPECT_EQ(code.substr(0, head.size()), head) << code;
  EXPECT_NE(code.find("g_pInstance->pStateData[5]=ires;break;}\n  case 0:  case -1: case -2:"
                      "if (g_pInstance->pStateData[5]){\n"),
            std::string::npos)
      << code;
  EXPECT_NE(code.find("break;\n  case 1:if (g_pInstance->pStateData[5]){\n"), std::string::npos)
      << code;
  // The function's one state moves the base on.
  EXPECT_EQ(state.state_base, 6);
}

// A generated flowsheet: units of four equations (mass balance, enthalpy
// balance, vapour pressure, valve).
Expression* Held(Expression* e) {
  e->AddRef();
  return e;
}
Expression* V(std::uint32_t i) { return Held(new VarRefExpression(i)); }
Expression* C(double v) { return Held(new TerminalExpression(v)); }
Expression* Bin(std::uint16_t op, Expression* a, Expression* b) {
  Expression* e = MakeBinaryExpression(op, a, b);
  a->Release();
  b->Release();
  return e;
}
Expression* Un(std::uint16_t op, Expression* a) {
  Expression* e = MakeUnaryExpression(op, a);
  a->Release();
  return e;
}

struct Flowsheet {
  explicit Flowsheet(int units) : root(new DAESInstanceNode(nullptr, nullptr)) {
    std::int32_t next = 1;
    auto variable = [&](const std::string& name, double value) {
      auto* v = new DAESRealVariable(root, name.c_str());
      v->SetFlags(daes::kAlgebraic | daes::kFree);
      v->SetValue(value);
      root->InsertChildAt(next++, v);
      return v;
    };
    for (int k = 0; k <= units; ++k) {
      const std::string u = ".U" + std::to_string(k);
      F.push_back(variable(u + ".F", 10.0 + 0.001 * k));
      T.push_back(variable(u + ".T", 350.0 - 0.01 * k));
      P.push_back(variable(u + ".P", 5.0e5 - 100.0 * k));
    }
    auto equation = [&](const std::string& name, Expression* e,
                        std::vector<DAESVarTableEntry*> vars) {
      auto* node = new DAESEquationNode(root, name.c_str(), e);
      e->Release();
      std::vector<DAESRowElement*> elements;
      for (DAESVarTableEntry* v : vars) elements.push_back(new DAESScalar(v));
      node->SetRowElements(std::move(elements), static_cast<std::int32_t>(vars.size()));
      root->InsertChildAt(next++, node);
    };
    for (int k = 1; k <= units; ++k) {
      const std::string u = ".E" + std::to_string(k);
      equation(u + "m", Bin(kSub, Bin(kSub, V(0), V(1)), C(0.001)), {F[k], F[k - 1]});
      equation(u + "h",
               Bin(kAdd, Bin(kSub, Bin(kMul, V(0), V(1)), Bin(kMul, V(2), V(3))),
                   Bin(kMul, C(0.1), V(0))),
               {F[k], T[k], F[k - 1], T[k - 1]});
      equation(u + "p",
               Bin(kSub, V(0),
                   Un(kExp, Bin(kSub, C(20.0), Bin(kDiv, C(4000.0), Bin(kAdd, V(1), C(10.0)))))),
               {P[k], T[k]});
      equation(u + "v", Bin(kSub, V(0), Bin(kMul, C(0.5), Un(kSqrt, Bin(kSub, V(1), V(2))))),
               {F[k], P[k - 1], P[k]});
    }
    problem.reset(DAESCreateProblem(root, 0, nullptr));
  }
  ~Flowsheet() {
    problem.reset();
    BvuDirectoryProper::DeleteBelow(root);
    delete root;
  }
  DAESInstanceNode* root;
  std::vector<DAESVarTableEntry*> F, T, P;
  std::unique_ptr<DAESProblem> problem;
};

TEST(CompiledEquationsBuild, DiscontinuousRowsTakeDifferenceQuotients) {
  testsupport::TempDir dir;
  DAESInstanceNode* root = new DAESInstanceNode(nullptr, nullptr);
  auto* a = new DAESRealVariable(root, ".A");
  auto* b = new DAESRealVariable(root, ".B");
  for (auto* v : {a, b}) v->SetFlags(daes::kAlgebraic | daes::kFree);
  a->SetValue(2.0);
  b->SetValue(3.3);
  root->InsertChildAt(1, a);
  root->InsertChildAt(2, b);
  // A - 2 B + float(round(B)): the rounding marks the row.
  Expression* e = Bin(kAdd, Bin(kSub, V(0), Bin(kMul, C(2.0), V(1))), Un(kFloat, Un(kRound, V(1))));
  auto* node = new DAESEquationNode(root, ".R", e);
  e->Release();
  node->SetRowElements({new DAESScalar(a), new DAESScalar(b)}, 2);
  root->InsertChildAt(3, node);
  {
    std::unique_ptr<DAESProblem> problem(DAESCreateProblem(root, 0, nullptr));
    ASSERT_NE(problem, nullptr);
    ASSERT_EQ(problem->EquationCount(), 1);
    auto* row = static_cast<DAESSolverEquation*>(problem->GetEquation(0));
    std::ostringstream out;
    daes::EquationCState state(out);
    WriteEquation(row, state);
    EXPECT_NE(out.str().find("{double *J=g_pJ,dOldRes=res;J[0]=PD("), std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find(",dOldRes,Eqn1);res=dOldRes;}"), std::string::npos) << out.str();
    Loaded library;
    std::int32_t entries = 0;
    ASSERT_TRUE(Build(*problem, dir.path(), &library, &entries));
    ASSERT_EQ(entries, 2);
    // Quotients over a step that does not cross the rounding equal the
    // analytic entries to the step's accuracy.
    std::vector<double> x(2);
    for (std::int32_t i = 0; i < 2; ++i) {
      DAESVarTableEntry* v = problem->GetVariable(i);
      x[static_cast<std::size_t>(problem->ColumnOf(v) - 1)] = v->GetRealValue();
    }
    library.setx(x.data());
    double J[2] = {};
    daes::CurrentCompiledLibrary().residual(row->CompiledNumber());
    library.jacobian(row->CompiledNumber(), J);
    const int* pattern = library.columns(row->CompiledNumber());
    for (int k = 1; k <= 2; ++k) {
      DAESVarTableEntry* v = problem->GetVariable(pattern[k] - 1);
      EXPECT_NEAR(J[k - 1], v == a ? 1.0 : -2.0, 1e-6) << v->GetNameText();
    }
    EXPECT_DOUBLE_EQ(daes::CurrentCompiledLibrary().residual(row->CompiledNumber()),
                     2.0 - 6.6 + 3.0);
  }
  BvuDirectoryProper::DeleteBelow(root);
  delete root;
}

// Where the Sqrt and Pow guards fire (a negative radicand or base, a zero
// one for the derivatives), the compiled rows answer the interpreter's
// statuses; elsewhere their residuals equal its own.
TEST(CompiledEquationsBuild, GuardedRowsAnswerTheInterpretersStatuses) {
  testsupport::TempDir dir;
  DAESInstanceNode* root = new DAESInstanceNode(nullptr, nullptr);
  auto* a = new DAESRealVariable(root, ".A");
  auto* b = new DAESRealVariable(root, ".B");
  for (auto* v : {a, b}) v->SetFlags(daes::kAlgebraic | daes::kFree);
  a->SetValue(1.0);
  root->InsertChildAt(1, a);
  root->InsertChildAt(2, b);
  Expression* rows[] = {Bin(kSub, V(0), Un(kSqrt, V(1))), Bin(kSub, V(0), Bin(kPow, V(1), C(1.5)))};
  for (std::int32_t k = 0; k < 2; ++k) {
    auto* node = new DAESEquationNode(root, k == 0 ? ".S" : ".P", rows[k]);
    rows[k]->Release();
    node->SetRowElements({new DAESScalar(a), new DAESScalar(b)}, 2);
    root->InsertChildAt(3 + k, node);
  }
  {
    std::unique_ptr<DAESProblem> problem(DAESCreateProblem(root, 0, nullptr));
    ASSERT_NE(problem, nullptr);
    ASSERT_EQ(problem->EquationCount(), 2);
    Loaded library;
    std::int32_t entries = 0;
    ASSERT_TRUE(Build(*problem, dir.path(), &library, &entries));
    std::vector<double> x(2);
    for (const double at : {4.0, -1.0, 0.0}) {
      SCOPED_TRACE(at);
      b->SetValue(at);
      for (std::int32_t i = 0; i < 2; ++i) {
        DAESVarTableEntry* v = problem->GetVariable(i);
        x[static_cast<std::size_t>(problem->ColumnOf(v) - 1)] = v->GetRealValue();
      }
      library.setx(x.data());
      for (std::int32_t i = 0; i < 2; ++i) {
        auto* row = static_cast<DAESSolverEquation*>(problem->GetEquation(i));
        SCOPED_TRACE(row->GetNameText());
        testsupport::CaptureSink sink;
        for (const std::uint32_t flags : {daes::kEvalResidual, daes::kEvalDerivatives}) {
          MathErrorStatus.Reset();
          const Status interpreted = row->Evaluate(flags | daes::kEvalInterpreted, nullptr);
          double want = 0.0;
          row->ResidualValue(&want);
          MathErrorStatus.Reset();
          const Status compiled = row->Evaluate(flags, nullptr);
          EXPECT_EQ(compiled, interpreted) << flags;
          if (at < 0.0) {
            EXPECT_TRUE(status::IsFailure(compiled)) << flags;
          }
          double got = 0.0;
          row->ResidualValue(&got);
          if (!status::IsFailure(interpreted)) {
            EXPECT_NEAR(got, want, 1e-12);
          }
        }
      }
    }
  }
  BvuDirectoryProper::DeleteBelow(root);
  delete root;
}

// The tape's runs, counted by a system function that only the interpreter
// asks; the library asks its own, which answers the same.
int g_tape_runs = 0;
double CountedInTape(std::uint64_t) {
  ++g_tape_runs;
  return 2.0;
}
double AskedByLibrary(const char*) { return 2.0; }

TEST(CompiledEquationsBuild, DerivativesThroughTheLibraryRunNoTape) {
  ASSERT_EQ(SystemFunction::Register("CompiledTapeRuns", 0, &CountedInTape, true), 0u);
  testsupport::TempDir dir;
  DAESInstanceNode* root = new DAESInstanceNode(nullptr, nullptr);
  auto* a = new DAESRealVariable(root, ".A");
  auto* b = new DAESRealVariable(root, ".B");
  for (auto* v : {a, b}) v->SetFlags(daes::kAlgebraic | daes::kFree);
  a->SetValue(1.7);
  b->SetValue(0.4);
  root->InsertChildAt(1, a);
  root->InsertChildAt(2, b);
  // A exp(B) - sqrt(A) runs + B / A: saved results, a quotient, the count.
  Expression* runs = NewSysFunExpression(SystemFunction::Find("CompiledTapeRuns"));
  Expression* e =
      Bin(kAdd, Bin(kSub, Bin(kMul, V(0), Un(kExp, V(1))), Bin(kMul, Un(kSqrt, V(0)), runs)),
          Bin(kDiv, V(1), V(0)));
  auto* node = new DAESEquationNode(root, ".R", e);
  e->Release();
  node->SetRowElements({new DAESScalar(a), new DAESScalar(b)}, 2);
  root->InsertChildAt(3, node);
  {
    std::unique_ptr<DAESProblem> problem(DAESCreateProblem(root, 0, nullptr));
    ASSERT_NE(problem, nullptr);
    auto* row = static_cast<DAESSolverEquation*>(problem->GetEquation(0));
    Loaded library;
    std::int32_t entries = 0;
    ASSERT_TRUE(Build(*problem, dir.path(), &library, &entries));
    ASSERT_NE(library.set_sysfun, nullptr);
    library.set_sysfun(&AskedByLibrary);
    std::vector<double> x(2);
    for (DAESVarTableEntry* v :
         {static_cast<DAESVarTableEntry*>(a), static_cast<DAESVarTableEntry*>(b)}) {
      x[static_cast<std::size_t>(problem->ColumnOf(v) - 1)] = v->GetRealValue();
    }
    library.setx(x.data());
    auto derivatives = [&] {
      return std::vector<double>{row->DerivativeFor(problem->EntryFor(a)),
                                 row->DerivativeFor(problem->EntryFor(b))};
    };
    const std::uint32_t both = daes::kEvalResidual | daes::kEvalDerivatives;

    // Before the tape has ever run the pass cannot read the variables: it
    // runs the tape once.
    g_tape_runs = 0;
    ASSERT_EQ(row->Evaluate(both, nullptr), 0u);
    EXPECT_EQ(g_tape_runs, 1);
    const std::vector<double> first = derivatives();
    g_tape_runs = 0;
    ASSERT_EQ(row->Evaluate(both | daes::kEvalInterpreted, nullptr), 0u);
    EXPECT_EQ(g_tape_runs, 1);
    const std::vector<double> tape = derivatives();
    EXPECT_EQ(first, tape);
    EXPECT_DOUBLE_EQ(tape[0], std::exp(0.4) - 2.0 * 0.5 / std::sqrt(1.7) - 0.4 / (1.7 * 1.7));
    EXPECT_DOUBLE_EQ(tape[1], 1.7 * std::exp(0.4) + 1.0 / 1.7);

    // Residual and derivatives, or derivatives alone: the library's
    // residual feeds the pass, the tape does not run.
    for (std::uint32_t flags : {both, daes::kEvalDerivatives}) {
      SCOPED_TRACE(flags);
      g_tape_runs = 0;
      ASSERT_EQ(row->Evaluate(flags, nullptr), 0u);
      EXPECT_EQ(g_tape_runs, 0);
      EXPECT_EQ(derivatives(), tape);
      double r = 0.0;
      row->ResidualValue(&r);
      EXPECT_EQ(r, daes::CurrentCompiledLibrary().residual(row->CompiledNumber()));
    }
    // Element steps alone do not call the library: the pass runs the tape.
    g_tape_runs = 0;
    ASSERT_EQ(row->Evaluate(daes::kEvalElementSteps, nullptr), 0u);
    EXPECT_EQ(g_tape_runs, 1);
    EXPECT_EQ(derivatives(), tape);
    // A library that keeps its values to itself leaves the pass to the tape.
    daes::CurrentCompiledLibrary().reals = nullptr;
    g_tape_runs = 0;
    ASSERT_EQ(row->Evaluate(both, nullptr), 0u);
    EXPECT_EQ(g_tape_runs, 1);
    EXPECT_EQ(derivatives(), tape);
  }
  BvuDirectoryProper::DeleteBelow(root);
  delete root;
}

TEST(CompiledEquationsBuild, GeneratedFlowsheetEqualsTheInterpreter) {
  testsupport::TempDir dir;
  Flowsheet sheet(500);
  ASSERT_NE(sheet.problem, nullptr);
  ASSERT_EQ(sheet.problem->EquationCount(), 2000);
  Loaded library;
  std::int32_t entries = 0;
  ASSERT_TRUE(Build(*sheet.problem, dir.path(), &library, &entries));
  EXPECT_EQ(entries, 500 * (2 + 4 + 2 + 3));
  Compare(*sheet.problem, library, entries);
  // Elsewhere in the space.
  std::mt19937 rng(3);
  for (std::size_t k = 0; k < sheet.T.size(); ++k) {
    sheet.T[k]->SetValue(std::uniform_real_distribution<double>(300.0, 400.0)(rng));
    sheet.F[k]->SetValue(std::uniform_real_distribution<double>(1.0, 20.0)(rng));
  }
  Compare(*sheet.problem, library, entries);
}

}  // namespace
