// IF and switch equations read through the model writer: the tree they
// build, the finite-state rows of the problem and how the rows follow the
// events of the schedule.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <sstream>
#include <string>

#include "daes/delays/delay_mgr.h"
#include "daes/equations/row_element.h"
#include "daes/events/condition_node.h"
#include "daes/events/finite_state_equation.h"
#include "daes/events/implicit_event.h"
#include "daes/events/switch_node.h"
#include "daes/model/variable.h"
#include "daes/problem/problem.h"
#include "expr/tree/expression.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "tests/daes/compiled_c_helpers.h"
#include "tests/daes/daes_helpers.h"
#include "tests/support/capture_sink.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace daestest;

// The tank with a weir flow W (index 9), a library of conditions (1: h > 1.2,
// 2: 1.0 > h), a current event schedule.
struct Hybrid {
  Hybrid() : library(nullptr, nullptr) {
    SetCurrentEventSchedule(&schedule);
    Add(1, mw::Greater(mw::Var(0), mw::Real(1.2)));
    Add(2, mw::Greater(mw::Real(1.0), mw::Var(0)));
    EXPECT_EQ(tree.Read(Tank), 0u);
    EXPECT_EQ(tree.Read(WeirFlow), 0u);
  }
  ~Hybrid() {
    problem.reset();
    library.DeleteChildren();
    SetCurrentEventSchedule(nullptr);
  }
  void Add(std::int32_t index, const mw::Expr& e,
           std::int32_t kind = daes::kLibraryExpressionKind) {
    auto stored = Body([&](Writer& w) { w.Expression(e); });
    library.InsertChildAt(
        index, new LibraryExpression(&library, Expression::ReadFromMessage(*stored), kind));
  }
  Status Read(const std::function<void(Writer&)>& write) {
    auto message = Body(write);
    return tree.root->ReadFromMessage(*message, tree.root, &library, tree.root);
  }
  DAESFiniteStateEquation* Build() {
    problem.reset(DAESCreateProblem(tree.root, 0, nullptr));
    for (std::int32_t i = 0; problem != nullptr && i < problem->EquationCount(); ++i) {
      if (auto* row = dynamic_cast<DAESFiniteStateEquation*>(problem->GetEquation(i))) return row;
    }
    return nullptr;
  }
  void SetH(double h) { static_cast<DAESVariable*>(Entry(tree.At({2, 1})))->SetValue(h); }
  double Residual(DAESFiniteStateEquation* row) {
    EXPECT_EQ(row->Evaluate(daes::kEvalResidual, nullptr), 0u);
    double r = 0.0;
    EXPECT_EQ(row->ResidualValue(&r), 0u);
    return r;
  }

  DAESEventSchedule schedule;
  Tree tree;
  BvuDirectoryProper library;
  std::unique_ptr<DAESProblem> problem;
};

// W = 0 below the crest, W = 2 (h - 1.2) above it; `nested` puts a second
// IF (on 1.0 > h) as the THEN branch's second row.
void Weir(Writer& w, std::uint32_t then_rows = 1, std::uint32_t condition = 1) {
  w.List(1);
  w.IfHead({condition}, {T101(), {8, ".Weir"}});
  w.EquationHead(1);
  w.Reference({2, 1});
  w.List(then_rows);
  w.Item(mw::kInlineEquation);
  w.U32(0);
  w.Expression(mw::Sub(mw::Var(0), mw::Mul(mw::Real(2.0), mw::Sub(mw::Var(1), mw::Real(1.2)))));
  w.Placement({T101(), {8, ".Weir"}, {1, ".Then"}, {1, ".Q"}});
  w.EquationHead(2);
  w.Reference({2, 9});
  w.Reference({2, 1});
  if (then_rows == 2) {
    w.Item(mw::kInlineEquation);
    w.U32(0);
    w.Expression(mw::Sub(mw::Var(0), mw::Real(7.0)));
    w.Placement({T101(), {8, ".Weir"}, {1, ".Then"}, {2, ".Extra"}});
    w.EquationHead(1);
    w.Reference({2, 9});
  }
  w.List(1);
  w.Item(mw::kInlineEquation);
  w.U32(0);
  w.Expression(mw::Sub(mw::Var(0), mw::Real(0.0)));
  w.Placement({T101(), {8, ".Weir"}, {2, ".Else"}, {1, ".Q"}});
  w.EquationHead(1);
  w.Reference({2, 9});
}

TEST(HybridModels, AnOverflowWeirFollowsItsCondition) {
  Hybrid m;
  ASSERT_EQ(m.Read([](Writer& w) { Weir(w); }), 0u);
  auto* node = dynamic_cast<DAESConditionNode*>(m.tree.At({2, 8}));
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->GetKind(), 17);
  EXPECT_EQ(node->LeafCount(), m.tree.At({2, 8, 1})->LeafCount());
  ASSERT_NE(dynamic_cast<DAESEquationNode*>(m.tree.At({2, 8, 2, 1})), nullptr);
  m.SetH(1.0);
  DAESFiniteStateEquation* row = m.Build();
  ASSERT_NE(row, nullptr);
  ASSERT_EQ(m.problem->GetStatus(), 0u);
  EXPECT_EQ(std::string(row->GetNameText()), std::string(node->GetNameText()) + ".Row(1)");
  EXPECT_EQ(m.schedule.Count(), 1);
  EXPECT_EQ(node->Event()->State(), 0);
  EXPECT_DOUBLE_EQ(m.Residual(row), 0.25);
  m.SetH(1.5);
  EXPECT_EQ(m.schedule.AnyEventChanged(), 1u);
  EXPECT_DOUBLE_EQ(m.Residual(row), 0.25);
  testsupport::CaptureSink sink;
  ASSERT_EQ(m.schedule.EvaluateAll(), 0u);
  ASSERT_FALSE(sink.lines().empty());
  EXPECT_NE(sink.lines()[0].find("moved from ELSE branch to THEN branch"), std::string::npos);
  EXPECT_NEAR(m.Residual(row), 0.25 - 2.0 * 0.3, 1e-12);
  EXPECT_EQ(node->CurrentState(), 1);
  // W in the ELSE row, then in the THEN row, then the end (cursor back to 0).
  const std::uint32_t w = Entry(m.tree.At({2, 9}))->SequenceNumber();
  std::int32_t at = 0;
  DAESRowElement* first = row->FindNextElement(w, &at);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, row->Branch(0)->ModelEquation()->RowElements()[0]);
  DAESRowElement* second = row->FindNextElement(w, &at);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second, row->Branch(1)->ModelEquation()->RowElements()[0]);
  EXPECT_EQ(row->FindNextElement(w, &at), nullptr);
  at = 0;
  EXPECT_EQ(row->FindNextElement(w, &at), first);
  // A new build makes new rows over the same event.
  m.problem.reset();
  ASSERT_NE(m.Build(), nullptr);
  EXPECT_EQ(m.schedule.Count(), 1);
}

TEST(HybridModels, AnIfTakesItsConditionFromALibraryCondition) {
  Hybrid m;
  m.Add(3, mw::Greater(mw::Var(0), mw::Real(1.2)), daes::kLibraryConditionKind);
  ASSERT_EQ(m.Read([](Writer& w) { Weir(w, 1, 3); }), 0u);
  ASSERT_NE(dynamic_cast<DAESConditionNode*>(m.tree.At({2, 8})), nullptr);
  m.SetH(1.5);
  DAESFiniteStateEquation* row = m.Build();
  ASSERT_NE(row, nullptr);
  ASSERT_EQ(m.problem->GetStatus(), 0u);
  EXPECT_EQ(m.schedule.Count(), 1);
  testsupport::CaptureSink sink;
  ASSERT_EQ(m.schedule.EvaluateAll(), 0u);
  EXPECT_NEAR(m.Residual(row), 0.25 - 2.0 * 0.3, 1e-12);
  // A plain equation is no condition's place: refused, the list read on.
  m.problem.reset();
  EXPECT_EQ(m.Read([](Writer& w) {
    w.List(1);
    w.Item(mw::kEquation);
    w.U32(0);
    w.IdPath({3});
    w.Placement({T101(), {12, ".Plain"}});
    w.EquationHead(1);
    w.Reference({2, 9});
  }),
            daes::kItemRefused);
  EXPECT_EQ(m.tree.At({2, 12}), nullptr);
}

TEST(HybridModels, ANestedIfFollowsItsGuard) {
  Hybrid m;
  ASSERT_EQ(m.Read([](Writer& w) { Weir(w); }), 0u);
  // A second IF inside the weir's THEN branch, at row 2 of that branch.
  ASSERT_EQ(m.Read([](Writer& w) {
    w.List(1);
    w.IfHead({2}, {T101(), {8, ".Weir"}, {1, ".Then"}, {2, ".Low"}});
    w.EquationHead(1);
    w.Reference({2, 1});
    for (double v : {3.0, 4.0}) {
      w.List(1);
      w.Item(mw::kInlineEquation);
      w.U32(0);
      w.Expression(mw::Sub(mw::Var(0), mw::Real(v)));
      w.Placement(
          {T101(), {8, ".Weir"}, {1, ".Then"}, {2, ".Low"}, {v == 3.0 ? 1u : 2u, ".B"}, {1, ".R"}});
      w.EquationHead(1);
      w.Reference({2, 9});
    }
  }),
            0u);
  // The outer ELSE has one row, the THEN two: refused, with a status.
  m.SetH(0.5);
  m.problem.reset(DAESCreateProblem(m.tree.root, 0, nullptr));
  EXPECT_EQ(m.problem->GetStatus(), daes::kNotImplemented);
  m.problem.reset();
  // Give the ELSE branch its second row.
  ASSERT_EQ(m.Read([](Writer& w) {
    w.List(1);
    w.Item(mw::kInlineEquation);
    w.U32(0);
    w.Expression(mw::Sub(mw::Var(0), mw::Real(9.0)));
    w.Placement({T101(), {8, ".Weir"}, {2, ".Else"}, {2, ".R"}});
    w.EquationHead(1);
    w.Reference({2, 9});
  }),
            0u);
  ASSERT_NE(m.Build(), nullptr);
  ASSERT_EQ(m.problem->GetStatus(), 0u);
  auto* inner = dynamic_cast<DAESConditionNode*>(m.tree.At({2, 8, 1, 2}));
  ASSERT_NE(inner, nullptr);
  ASSERT_NE(inner->Event(), nullptr);
  auto* outer = dynamic_cast<DAESConditionNode*>(m.tree.At({2, 8}));
  EXPECT_EQ(inner->Event()->Guard(), outer->Event());
  EXPECT_EQ(inner->Event()->GuardState(), 1u);
  // Outer ELSE: the inner event is not active and keeps its state.
  m.schedule.TakeNewStates();
  EXPECT_FALSE(inner->Event()->IsActive());
  EXPECT_EQ(inner->Event()->State(), 0);
  m.SetH(1.5);
  m.schedule.TakeNewStates();
  EXPECT_TRUE(inner->Event()->IsActive());
  EXPECT_EQ(inner->Event()->State(), 0);
  // Row 2: outer THEN (the inner IF's row, ELSE since h > 1.0), outer ELSE 9.
  DAESFiniteStateEquation* second = nullptr;
  for (std::int32_t i = 0; i < m.problem->EquationCount(); ++i) {
    auto* row = dynamic_cast<DAESFiniteStateEquation*>(m.problem->GetEquation(i));
    if (row != nullptr && row->RowNumber() == 2 && row->Event() == outer->Event()) second = row;
  }
  ASSERT_NE(second, nullptr);
  EXPECT_DOUBLE_EQ(m.Residual(second), 0.25 - 4.0);
  std::int32_t count = 0;
  second->BranchCount(&count);
  EXPECT_EQ(count, 2);
}

// A valve switch: "Open" (W = 1) until h > 1.2, "Closed" (W = 5) until 1.0 > h.
void Valve(Writer& w, bool unequal = false) {
  w.List(1);
  w.SwitchHead({T101(), {10, ".Valve"}}, {"Open", "Closed"});
  const mw::Step sw{10, ".Valve"};
  for (std::uint32_t k = 0; k < 2; ++k) {
    const mw::Step state{k, k == 0 ? ".Open" : ".Closed"};
    const bool extra = unequal && k == 1;
    w.List(extra ? 3 : 2);
    for (int e = 0; e < (extra ? 2 : 1); ++e) {
      w.Item(mw::kInlineEquation);
      w.U32(0);
      w.Expression(mw::Sub(mw::Var(0), mw::Real(k == 0 ? 1.0 : 5.0)));
      w.Placement({T101(), sw, state, {static_cast<std::uint32_t>(1 + e), ".Eq"}});
      w.EquationHead(1);
      w.Reference({2, 9});
    }
    w.TransitionHead({k == 0 ? 1u : 2u}, {T101(), sw, state, {5, ".Moves"}, {1, ".T"}});
    w.EquationHead(1);
    w.Reference({2, 1});
    w.TargetState(k == 0 ? "CLOSED" : "open");
  }
  w.InitialState("open");
}

TEST(HybridModels, ASwitchMovesByItsTransitions) {
  Hybrid m;
  ASSERT_EQ(m.Read([](Writer& w) { Valve(w); }), 0u);
  auto* sw = dynamic_cast<DAESSwitchNode*>(m.tree.At({2, 10}));
  ASSERT_NE(sw, nullptr);
  EXPECT_EQ(sw->CurrentState(), 0);
  EXPECT_EQ(sw->TransitionCount(0), 1);
  ASSERT_NE(sw->GetTransition(0, 0), nullptr);
  EXPECT_EQ(sw->GetTransition(0, 0)->Target(), 1);
  EXPECT_EQ(sw->GetTransition(1, 0)->Target(), 0);
  EXPECT_EQ(sw->GetTransition(1, 1), nullptr);
  m.SetH(1.0);
  DAESFiniteStateEquation* row = m.Build();
  ASSERT_NE(row, nullptr);
  ASSERT_EQ(m.problem->GetStatus(), 0u);
  EXPECT_EQ(row->BranchRows(), 2);
  EXPECT_DOUBLE_EQ(m.Residual(row), 0.25 - 1.0);
  m.SetH(1.5);
  testsupport::CaptureSink sink;
  EXPECT_EQ(m.schedule.AnyEventChanged(), 1u);
  ASSERT_EQ(m.schedule.EvaluateAll(), 0u);
  ASSERT_FALSE(sink.lines().empty());
  EXPECT_NE(sink.lines()[0].find("moved from Open to Closed"), std::string::npos);
  EXPECT_DOUBLE_EQ(m.Residual(row), 0.25 - 5.0);
  std::ostringstream dump;
  row->Dump(dump);
  const std::string text = dump.str();
  EXPECT_EQ(text.rfind(" Switch ", 0), 0u) << text;
  EXPECT_NE(text.find("[in state 1 of 2]\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" Open [state 0]\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" Closed [state 1 ACTIVE]\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" GOTO Closed;\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" GOTO Open;\n"), std::string::npos) << text;
  // Still above the crest: Closed has no transition that holds.
  ASSERT_EQ(m.schedule.EvaluateAll(), 0u);
  EXPECT_EQ(sw->Event()->State(), 1);
  m.SetH(0.5);
  ASSERT_EQ(m.schedule.EvaluateAll(), 0u);
  EXPECT_DOUBLE_EQ(m.Residual(row), 0.25 - 1.0);
}

// Records what the rows hand the block layer's classification.
struct Classes : DAESClassCollector {
  Status RecordClass(DAESVarTableEntry* variable, std::int32_t, std::int32_t column) override {
    recorded.push_back(variable);
    columns.push_back(column);
    return 0;
  }
  std::vector<DAESVarTableEntry*> recorded;
  std::vector<std::int32_t> columns;
};

TEST(HybridModels, RowsCollectTheirClassesAndTransitionsMarkTheirVariables) {
  {
    Hybrid m;
    ASSERT_EQ(m.Read([](Writer& w) { Weir(w); }), 0u);
    DAESFiniteStateEquation* row = m.Build();
    ASSERT_NE(row, nullptr);
    Classes classes;
    ASSERT_EQ(row->CollectClasses(&classes, 0), 0u);
    // The selector's h, then branch 0 (ELSE: W) and branch 1 (THEN: W, h).
    DAESVarTableEntry* h = Entry(m.tree.At({2, 1}));
    DAESVarTableEntry* w = Entry(m.tree.At({2, 9}));
    EXPECT_EQ(classes.recorded, (std::vector<DAESVarTableEntry*>{h, w, w, h}));
    EXPECT_EQ(classes.columns, (std::vector<std::int32_t>{0, 0, 0, 0}));
  }
  Hybrid m;
  ASSERT_EQ(m.Read([](Writer& w) { Valve(w); }), 0u);
  DAESFiniteStateEquation* row = m.Build();
  ASSERT_NE(row, nullptr);
  // A switch has no selector of its own: only its branches record.
  Classes classes;
  ASSERT_EQ(row->CollectClasses(&classes, 0), 0u);
  DAESVarTableEntry* w = Entry(m.tree.At({2, 9}));
  EXPECT_EQ(classes.recorded, (std::vector<DAESVarTableEntry*>{w, w}));
  // h appears in the transitions' conditions only, yet is used.
  DAESVarTableEntry* h = Entry(m.tree.At({2, 1}));
  h->ClearFlags(daes::kReferenced);
  ASSERT_EQ(row->AttachToElements(m.problem.get()), 0u);
  EXPECT_NE(h->GetFlags() & daes::kReferenced, 0u);
}

// A decomposition asks a row how it depends on its unknowns: a switch row
// answers from its branches (it has no selector), an IF row from both
// branches whatever its state.
TEST(HybridModels, FiniteStateRowsClassifyOverTheirBranches) {
  auto kind_of = [](DAESFiniteStateEquation* row, DAESVarTableEntry* v, std::int32_t* occurs) {
    row->ResetNonlinearityMarks(0);
    row->MarkVariable(v);
    std::int32_t worst = 0;
    EXPECT_EQ(row->ClassifyNonlinearity(&worst, 0), 0u);
    std::int32_t kind = 0;
    *occurs = row->VariableClass(v, 0, &kind);
    row->ResetNonlinearityMarks(0);
    return kind;
  };
  {
    Hybrid m;
    ASSERT_EQ(m.Read([](Writer& w) { Valve(w); }), 0u);
    DAESFiniteStateEquation* row = m.Build();
    ASSERT_NE(row, nullptr);
    std::int32_t occurs = 0;
    EXPECT_EQ(kind_of(row, Entry(m.tree.At({2, 9})), &occurs), 1);
    EXPECT_EQ(occurs, 1);
    // h is read by the transitions only.
    kind_of(row, Entry(m.tree.At({2, 1})), &occurs);
    EXPECT_EQ(occurs, 0);
  }
  Hybrid m;
  m.SetH(1.0);
  ASSERT_EQ(m.Read([](Writer& w) { Weir(w); }), 0u);
  DAESFiniteStateEquation* row = m.Build();
  ASSERT_NE(row, nullptr);
  ASSERT_EQ(row->CurrentState(), 0);
  std::int32_t occurs = 0;
  // In the ELSE state, h still counts through the THEN branch.
  EXPECT_EQ(kind_of(row, Entry(m.tree.At({2, 1})), &occurs), 1);
  EXPECT_EQ(occurs, 1);
}

TEST(CompiledEquationsBuild, SwitchRowsFollowTheirTransitions) {
  testsupport::TempDir dir;
  Hybrid m;
  ASSERT_EQ(m.Read([](Writer& w) { Valve(w); }), 0u);
  m.SetH(1.0);
  DAESFiniteStateEquation* row = m.Build();
  ASSERT_NE(row, nullptr);
  compiledtest::Loaded library;
  std::int32_t entries = 0;
  ASSERT_TRUE(compiledtest::Build(*m.problem, dir.path(), &library, &entries));
  // Open at h = 1.0; the state code moves to Closed at h = 1.5, as the
  // schedule does, and back at h = 0.5.
  compiledtest::Compare(*m.problem, library, entries);
  EXPECT_EQ(library.level_state(row->CompiledNumber(), 0), 0);
  for (double h : {1.5, 0.5}) {
    SCOPED_TRACE(h);
    m.SetH(h);
    ASSERT_EQ(m.schedule.EvaluateAll(), 0u);
    compiledtest::Compare(*m.problem, library, entries);
    EXPECT_EQ(library.level_state(row->CompiledNumber(), 0), row->CurrentState());
  }
  EXPECT_EQ(row->CurrentState(), 0);
}

TEST(CompiledEquations, SwitchStateCodeAndInitialStates) {
  Hybrid m;
  ASSERT_EQ(m.Read([](Writer& w) { Valve(w); }), 0u);
  DAESFiniteStateEquation* row = m.Build();
  ASSERT_NE(row, nullptr);
  std::ostringstream out, initial;
  daes::EquationCState state(out);
  state.initial_states = &initial;
  for (int k = 0; k < 11; ++k) row->WriteStateCode(state);
  const std::string code = out.str();
  EXPECT_EQ(code.rfind("{int e_switch=g_pInstance->pSwitchData[0];switch(e_switch){\ncase 0:", 0),
            0u)
      << code;
  EXPECT_NE(code.find("if (ires) {e_switch=1;break;}\nbreak;\ncase 1:"), std::string::npos) << code;
  EXPECT_NE(code.find("}g_pInstance->pStateData[0]=g_pInstance->pSwitchData[0]=e_switch;\n"
                      "break;}\n"),
            std::string::npos)
      << code;
  // Ten initial states a line.
  std::string line = "\n  ";
  for (int k = 0; k < 10; ++k) line += "*pI++=0;";
  EXPECT_EQ(initial.str(), line + "\n  *pI++=0;");
  EXPECT_TRUE(state.success);
}

TEST(HybridModels, RefusedBuildsAndItems) {
  {
    // States with different numbers of equations.
    Hybrid m;
    ASSERT_EQ(m.Read([](Writer& w) { Valve(w, true); }), 0u);
    m.problem.reset(DAESCreateProblem(m.tree.root, 0, nullptr));
    EXPECT_EQ(m.problem->GetStatus(), daes::kNotImplemented);
  }
  {
    // No event schedule.
    Hybrid m;
    ASSERT_EQ(m.Read([](Writer& w) { Weir(w); }), 0u);
    SetCurrentEventSchedule(nullptr);
    m.problem.reset(DAESCreateProblem(m.tree.root, 0, nullptr));
    EXPECT_EQ(m.problem->GetStatus(), daes::kNotImplemented);
  }
  Hybrid m;
  // A transition outside a switch; a switch of more states than the limit.
  EXPECT_EQ(m.Read([](Writer& w) {
    w.List(1);
    w.TransitionHead({1}, {T101(), {11, ".T"}});
    w.EquationHead(1);
    w.Reference({2, 1});
    w.TargetState("x");
  }),
            daes::kItemRefused);
  EXPECT_EQ(m.tree.At({2, 11}), nullptr);
  EXPECT_EQ(m.Read([](Writer& w) {
    w.List(1);
    w.Item(mw::kSwitchEquation);
    w.Placement({T101(), {12, ".S"}});
    w.U32(0x7FFFFFFF);
  }),
            status::kBadArguments);
  EXPECT_EQ(m.tree.At({2, 12}), nullptr);
  // An item inside a switch's state list that would replace the switch.
  EXPECT_EQ(m.Read([](Writer& w) {
    w.List(1);
    w.SwitchHead({T101(), {14, ".S"}}, {"A"});
    w.List(1);
    w.Item(mw::kInlineEquation);
    w.U32(0);
    w.Expression(mw::Sub(mw::Var(0), mw::Real(1.0)));
    w.Placement({T101(), {14, ".S"}});
    w.EquationHead(1);
    w.Reference({2, 9});
    w.InitialState("a");
  }),
            daes::kItemRefused);
  auto* kept = dynamic_cast<DAESSwitchNode*>(m.tree.At({2, 14}));
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->CurrentState(), 0);
}

// y = DELAY(x, 0.5) with x recorded as sin t every 0.01: the tape reads
// sin(t - 0.5) within the interpolation bound.
TEST(HybridModels, ADelayedValueThroughTheTape) {
  Hybrid m;
  DelayMgr delays;
  ASSERT_EQ(m.Read([](Writer& w) {
    w.List(1);
    w.Item(mw::kInlineEquation);
    w.U32(0);
    w.Expression(mw::Sub(mw::Var(0), mw::Binary(51, mw::Var(1), mw::Real(0.5))));
    w.Placement({T101(), {13, ".Lag"}});
    w.EquationHead(2);
    w.Reference({2, 3});
    w.Reference({2, 2});
  }),
            0u);
  m.Build();
  ASSERT_NE(m.problem, nullptr);
  DAESSolverEquation* lag = nullptr;
  for (std::int32_t i = 0; i < m.problem->EquationCount(); ++i) {
    auto* row = dynamic_cast<DAESSolverEquation*>(m.problem->GetEquation(i));
    if (row != nullptr && std::string(row->GetNameText()).ends_with(".Lag")) lag = row;
  }
  ASSERT_NE(lag, nullptr);
  ASSERT_EQ(delays.DelayedVariableCount(), 1);
  auto* x = static_cast<DAESVariable*>(Entry(m.tree.At({2, 2})));
  auto* y = static_cast<DAESVariable*>(Entry(m.tree.At({2, 3})));
  EXPECT_EQ(x->DelayIndex(), 1);
  // The built problem gave the history its column.
  EXPECT_EQ(delays.History().Columns(), 1);
  EXPECT_EQ(delays.History().RecordCount(), 0);
  for (int k = 0; k <= 100; ++k) {
    x->SetValue(std::sin(0.01 * k));
    delays.RecordAll(0.01 * k);
  }
  const std::int32_t mode = GetRunMode();
  const double time = GetSimulationTime();
  SetRunMode(kRunDynamic);
  SetSimulationTime(1.0);
  y->SetValue(std::sin(0.5));
  ASSERT_EQ(lag->Evaluate(daes::kEvalResidual | daes::kEvalInterpreted, nullptr), 0u);
  double r = 1.0;
  ASSERT_EQ(lag->ResidualValue(&r), 0u);
  EXPECT_LE(std::fabs(r), 0.01 * 0.01 / 8);
  // In steady state the delayed value is the value now.
  SetRunMode(kRunSteadyState);
  ASSERT_EQ(lag->Evaluate(daes::kEvalResidual | daes::kEvalInterpreted, nullptr), 0u);
  ASSERT_EQ(lag->ResidualValue(&r), 0u);
  EXPECT_NEAR(r, std::sin(0.5) - std::sin(1.0), 1e-12);
  SetRunMode(mode);
  SetSimulationTime(time);
  m.problem.reset();
}

// Random damage to IF and switch items: read or refused, never a crash, and
// what was built can be collected and destroyed.
TEST(HybridModels, DamagedItemsReadOrAreRefused) {
  const auto weir = BytesOf([](Writer& w) { Weir(w, 2); });
  const auto valve = BytesOf([](Writer& w) { Valve(w); });
  std::mt19937 rng(13);
  for (int round = 0; round < 400; ++round) {
    auto bytes = round % 2 == 0 ? weir : valve;
    for (int f = 1 + rng() % 3; f > 0; --f)
      bytes[rng() % bytes.size()] = static_cast<std::uint8_t>(rng());
    if (round % 5 == 0) bytes.resize(rng() % bytes.size());
    Hybrid m;
    testsupport::CaptureSink sink;
    auto message = testsupport::ReceivedBody(bytes, 62);
    m.tree.root->ReadFromMessage(*message, m.tree.root, &m.library, m.tree.root);
    m.problem.reset(DAESCreateProblem(m.tree.root, 0, nullptr));
    m.schedule.EvaluateAll();
    m.schedule.TakeNewStates();
  }
}

}  // namespace
