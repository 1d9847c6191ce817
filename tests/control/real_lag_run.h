// The first-order lag dx/dt = k (u - x), y = 2x, run by the run steps over
// the real integrator and decomposition servers and the real group
// methods, found through the build tree's registry file.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "control/problem/problem_manager.h"
#include "control/problem/run_steps.h"
#include "daes/problem/problem.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "framework/libraries/library_api.h"
#include "solve/options/solver_option_table.h"
#include "tests/daes/daes_helpers.h"
#include "tests/support/capture_sink.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#if defined(VANTOR_BUILD_REGISTRY) && defined(VANTOR_KVS_DIR)

namespace reallag {

using namespace modelwriter;

inline Step Lag() { return {2, "FirstOrder"}; }

inline void FirstOrder(Writer& w) {
  w.List(6);
  w.Item(kRealVariable);
  w.Placement({Lag(), {1, ".u"}});
  w.Value(2.0), w.Spec(4), w.End();
  w.Item(kRealVariable);
  w.Placement({Lag(), {2, ".k"}});
  w.Value(1.0), w.Spec(4), w.End();
  w.Item(kStateVariable);
  w.Placement({Lag(), {3, ".x"}});
  w.Value(0.0), w.Spec(32), w.End();
  w.Item(kRealVariable);
  w.Placement({Lag(), {4, ".y"}});
  w.Spec(1), w.End();
  w.Item(kInlineEquation);
  w.U32(0);
  w.Expression(Sub(Var(0), Mul(Var(1), Sub(Var(2), Var(3)))));
  w.Placement({Lag(), {10, ".e1"}});
  w.EquationHead(4);
  w.Reference({2, 3, 1});
  w.Reference({2, 2});
  w.Reference({2, 1});
  w.Reference({2, 3});
  w.Item(kInlineEquation);
  w.U32(0);
  w.Expression(Sub(Var(0), Mul(Real(2.0), Var(1))));
  w.Placement({Lag(), {11, ".e2"}});
  w.EquationHead(2);
  w.Reference({2, 4});
  w.Reference({2, 3});
}

class RealLagRun : public ::testing::Test {
 protected:
  RealLagRun() {
    AddDLLSearchPath(VANTOR_KVS_DIR);
    manager.SetRunOps(&steps);
    steps.DaesModel()->SetInstanceTree(tree.root, nullptr);
    EXPECT_EQ(tree.Read(FirstOrder), 0u);
  }
  ~RealLagRun() override {
    manager.StopRun();
    steps.ReleaseProblem();
    manager.SetIntegrator(nullptr);
    for (std::int32_t kind = 0; kind < kGroupKindCount; ++kind) ReplaceGroupMethod(kind, nullptr);
    SolverOptionTable::Instance()->SetDefaults();
    SolverOptionTable::Instance()->ApplyPendingChanges();
    SetCurrentEventSchedule(nullptr);
    SetSimulationTime(0.0);
  }
  DAESVarTableEntry* Named(const std::string& name) {
    DAESProblem* problem = GetCurrentProblem();
    for (std::int32_t i = 0; problem != nullptr && i < problem->VariableCount(); ++i) {
      if (name == problem->GetVariable(i)->GetNameText()) return problem->GetVariable(i);
    }
    return nullptr;
  }
  void SetRunMode(std::int32_t mode) {
    SolverOptionTable::Instance()->SetInteger(29, mode);
    SolverOptionTable::Instance()->ApplyPendingChanges();
  }

  testsupport::ScopedEnv registry{"VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY};
  testsupport::TempDir folder;
  testsupport::ScopedCurrentFolder here{folder.path()};
  daestest::Tree tree;
  SimRunSteps steps{manager};
  SimProblemMgr manager{nullptr};
  testsupport::CaptureSink sink;
};

}  // namespace reallag

#endif
