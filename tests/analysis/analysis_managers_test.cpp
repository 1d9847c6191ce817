#include "analysis/analysis_managers.h"

#include <gtest/gtest.h>

#include "analysis/services/model_variable_ref.h"
#include "control/problem/problem_manager.h"
#include "daes/delays/delay_mgr.h"
#include "daes/model/variable.h"
#include "framework/servers/server_registry.h"

namespace {

TEST(AnalysisManagersTest, RegisterTheirServicesAndJoinTheMasterInOrder) {
  std::unique_ptr<DelayMgr> delays(DAESCreateDelayMgr());
  DseServerRegistry registry;
  SimProblemMgr problem(&registry);
  const std::int32_t before = problem.Count();
  Status status = 1;
  AnalysisManagers managers(problem, nullptr, &registry, &status);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(registry.FindServer(SensitivityMgr::kService), &managers.Sensitivities());
  EXPECT_EQ(registry.FindServer(EstimationMgr::kService), &managers.Estimation());
  EXPECT_EQ(registry.FindServer(OptimisationMgr::kService), &managers.Optimisation());
  EXPECT_EQ(registry.FindServer(SAXAction::kService), &managers.Outside());
  ASSERT_EQ(problem.Count(), before + 5);
  EXPECT_EQ(problem.At(before), &managers.Sensitivities());
  EXPECT_EQ(problem.At(before + 1), &managers.Estimation());
  EXPECT_EQ(problem.At(before + 2), &managers.Optimisation());
  EXPECT_EQ(problem.At(before + 3), &managers.Outside());
  EXPECT_EQ(GetSensitivityManager(), &managers.Sensitivities());
  EXPECT_EQ(GetEstimationManager(), &managers.Estimation());
  EXPECT_EQ(GetOptimisationManager(), &managers.Optimisation());
  // The delay manager names its second history's items by the parameters.
  DAESVariable k;
  managers.Sensitivities().AddParameter(managers.Services().Adapter(&k));
  EXPECT_EQ(managers.Sensitivities().GetItemCount(), 1);
}

TEST(AnalysisManagersTest, ModelVariablesCarryTheManagersMarks) {
  DseServerRegistry registry;
  SimProblemMgr problem(&registry);
  AnalysisManagers managers(problem, nullptr, nullptr);
  DAESVariable x;
  x.SetValue(2.5);
  AnalysisVariable* v = managers.Services().Adapter(&x);
  EXPECT_EQ(managers.Services().Adapter(&x), v);
  EXPECT_EQ(v->Id(), x.SequenceNumber());
  ASSERT_EQ(managers.Sensitivities().AddVariable(v), 0u);
  EXPECT_NE(x.GetFlags() & analysis_flags::kSensitivityVariable, 0u);
  double value = 0.0;
  ASSERT_EQ(v->GetValue(&value), 0u);
  EXPECT_EQ(value, 2.5);
  EXPECT_EQ(managers.Sensitivities().Variable(0), &x);
  // An edit clears the lists first, then the adapters go.
  problem.ProblemEdited();
  EXPECT_EQ(x.GetFlags() & analysis_flags::kSensitivityVariable, 0u);
  EXPECT_EQ(managers.Services().AdapterCount(), 0u);
}

}  // namespace
