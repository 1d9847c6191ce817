#include "analysis/analysis_managers.h"

#include <gtest/gtest.h>

#include "analysis/services/model_variable_ref.h"
#include "control/problem/problem_manager.h"
#include "daes/delays/delay_mgr.h"
#include "daes/equations/row_element.h"
#include "daes/model/parameter.h"
#include "daes/model/variable.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/interfaces/current_objects.h"
#include "framework/servers/server_registry.h"
#include "solve/options/solver_option_table.h"

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
  EXPECT_EQ(registry.FindServer(HomotopyMgr::kService), &managers.Homotopy());
  EXPECT_EQ(registry.FindServer(CDIManager::kService), &managers.ControlDesign());
  ASSERT_EQ(problem.Count(), before + 7);
  EXPECT_EQ(problem.At(before), &managers.Sensitivities());
  EXPECT_EQ(problem.At(before + 1), &managers.Estimation());
  EXPECT_EQ(problem.At(before + 2), &managers.Optimisation());
  EXPECT_EQ(problem.At(before + 3), &managers.Homotopy());
  EXPECT_EQ(problem.At(before + 4), &managers.ControlDesign());
  EXPECT_EQ(problem.At(before + 5), &managers.Outside());
  EXPECT_EQ(GetSensitivityManager(), &managers.Sensitivities());
  EXPECT_EQ(GetEstimationManager(), &managers.Estimation());
  EXPECT_EQ(GetOptimisationManager(), &managers.Optimisation());
  EXPECT_EQ(GetHomotopyManager(), &managers.Homotopy());
  EXPECT_EQ(GetCDIManager(), &managers.ControlDesign());
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

// The homotopy and control design over the engine: options by name, the
// linearisation mode entered once and left by its enterer, no linearisation
// without a current problem, and the homotopy's new points told to the client.
TEST(AnalysisManagersTest, ContinuationServicesOverTheEngine) {
  DseServerRegistry registry;
  SimProblemMgr problem(&registry);
  EngineAnalysisServices services(problem, nullptr);
  SolverOptionTable options;
  ASSERT_EQ(options.SetInteger(31, 4), 0u);
  EXPECT_EQ(EngineIntOption("PrintLevel"), 4);
  EXPECT_EQ(EngineIntOption("Homotopy.StepIncrement"), 10);
  EXPECT_EQ(EngineDoubleOption("Homotopy.InitialStep"), 0.1);
  EXPECT_EQ(EngineIntOption("NoSuchOption"), 0);
  EXPECT_EQ(EngineDoubleOption("NoSuchOption"), 0.0);

  EngineCdiServices cdi(problem, services);
  if (GetCurrentProblem() == nullptr) {
    EXPECT_EQ(cdi.EnterLinearisationMode(), pm_status::kFailure);
    EXPECT_FALSE(cdi.InLinearisationMode());
    std::unique_ptr<CdiLinearisation> object;
    EXPECT_TRUE(status::IsFailure(cdi.CreateLinearisation(&object)));
    EXPECT_EQ(object, nullptr);
  }
  cdi.RaiseDelayHold();
  cdi.LowerDelayHold();
  cdi.LowerDelayHold();
  EXPECT_EQ(cdi.DelayHold(), 0);
  DelayMgr* const current = GetCurrentDelayMgr();
  {
    // The hold suspends the current delay manager until its last lowering;
    // a lowering too many leaves it alone.
    DelayMgr delays;
    cdi.RaiseDelayHold();
    cdi.RaiseDelayHold();
    EXPECT_TRUE(delays.IsSuspended());
    cdi.LowerDelayHold();
    EXPECT_TRUE(delays.IsSuspended());
    cdi.LowerDelayHold();
    cdi.LowerDelayHold();
    EXPECT_FALSE(delays.IsSuspended());
    EXPECT_EQ(delays.Suspend(), 1);
    delays.Resume();
  }
  SetCurrentDelayMgr(current);

  EngineHomotopyServices homotopy(problem, nullptr, services);
  const std::uint32_t bits = problem.StatusBits();
  homotopy.RaiseRunRequest(HomotopyMgr::kRunRequestBit);
  EXPECT_EQ(problem.StatusBits(), bits | HomotopyMgr::kRunRequestBit);
  homotopy.EnterNestedMode();
  EXPECT_TRUE(problem.IsNestedMode());
  homotopy.LeaveNestedMode();
  EXPECT_FALSE(problem.IsNestedMode());
  // Without a results manager there is no snapshot to take or restore.
  std::int32_t id = 7;
  EXPECT_EQ(homotopy.TakeNamedSnapshot("Homotopy Best Step", true, &id), 0u);
  EXPECT_EQ(id, -1);
  double time = -1.0;
  EXPECT_EQ(homotopy.RestoreSnapshot(3, &time), 0u);
  EXPECT_EQ(time, problem.CurrentTime());
}

// The managers above control as the engine joins them to the problem
// manager: what it is told of a variable being destroyed reaches them.
class Above final : public SimUpperServices {
 public:
  explicit Above(AnalysisManagers& managers) : managers_(managers) {}
  void ResetEstimation() override {}
  Status CheckCompiledEquations() override { return kNoExportObject; }
  Status WriteProblemCode(DAESProblem*, const std::function<void(Status, const char*)>&) override {
    return kNotAvailable;
  }
  Status WriteExportMakefile(bool) override { return kNotAvailable; }
  void ForgetVariable(DAESVarTableEntry* entry) override { managers_.ForgetEntry(entry); }

 private:
  AnalysisManagers& managers_;
};

// x and y sensitivity variables, k (a model parameter) a sensitivity
// parameter, with no problem built: destroying x and k takes them out of
// the lists, and their adapters reach them no more.
TEST(AnalysisManagersTest, DestroyedVariablesLeaveTheManagersWithoutAProblem) {
  DseServerRegistry registry;
  SimProblemMgr problem(&registry);
  AnalysisManagers managers(problem, nullptr, nullptr);
  Above above(managers);
  problem.SetUpperServices(&above);
  EXPECT_EQ(daes::ProblemManagerServices(), &problem);
  EXPECT_EQ(daes::ControlDesignServices(), &managers);
  auto* x = new DAESVariable;
  DAESVariable y;
  auto* k = new DAESParameter("k", nullptr, 19);
  SensitivityMgr& sensitivities = managers.Sensitivities();
  AnalysisVariable* gone = managers.Services().Adapter(x);
  const std::uint32_t id = gone->Id();
  ASSERT_EQ(sensitivities.AddVariable(gone), 0u);
  ASSERT_EQ(sensitivities.AddVariable(managers.Services().Adapter(&y)), 0u);
  ASSERT_EQ(sensitivities.AddParameter(managers.Services().Adapter(k)), 0u);
  delete x;
  ASSERT_EQ(sensitivities.GetNumVariables(), 1);
  EXPECT_EQ(sensitivities.Variable(0), &y);
  EXPECT_EQ(managers.Services().FindAdapter(x), nullptr);
  EXPECT_EQ(gone->Id(), id);
  EXPECT_EQ(gone->ModelEntry(), nullptr);
  double value = 0.0;
  EXPECT_EQ(gone->GetValue(&value), ModelVariableRef::kGone);
  delete k;
  EXPECT_EQ(sensitivities.GetNumParameters(), 0);
  EXPECT_EQ(sensitivities.GetNumParameterElements(), 0);
  problem.SetUpperServices(nullptr);
}

// x delayed and listed with p: its sensitivity by p recorded in the second
// delay history at t = 1 and 2 is what x's row element reads half a unit
// back from t = 2.
TEST(AnalysisManagersTest, ValuesAtEarlierTimesComeFromTheSecondDelayHistory) {
  std::unique_ptr<DelayMgr> delays(DAESCreateDelayMgr());
  DseServerRegistry registry;
  SimProblemMgr problem(&registry);
  AnalysisManagers managers(problem, nullptr, nullptr);
  DAESRealVariable x(nullptr, ".x");
  DAESVariable p;
  ASSERT_EQ(x.RegisterDelay(), 0u);
  SensitivityMgr& sensitivities = managers.Sensitivities();
  ASSERT_EQ(sensitivities.AddVariable(managers.Services().Adapter(&x)), 0u);
  ASSERT_EQ(sensitivities.AddParameter(managers.Services().Adapter(&p)), 0u);
  ASSERT_EQ(sensitivities.AllocateMatrix(), 0u);
  ASSERT_EQ(delays->RecordSubValue(&x, 0, 1.0, 10.0), 0u);
  ASSERT_EQ(delays->RecordSubValue(&x, 0, 2.0, 20.0), 0u);
  const double now = GetSimulationTime();
  SetSimulationTime(2.0);
  DAESScalar element(&x);
  double value = 0.0;
  EXPECT_EQ(element.ValueAtTime(0, 1.5, &value), 0u);
  EXPECT_DOUBLE_EQ(value, 15.0);
  // A key past the parameter elements, and a variable that is not listed.
  EXPECT_EQ(element.ValueAtTime(1, 1.5, &value), sens_status::kNotFound);
  DAESScalar other(&p);
  EXPECT_EQ(other.ValueAtTime(0, 1.5, &value), sens_status::kNotFound);
  // A delayed variable that is not listed keeps its history all the same.
  DAESRealVariable z(nullptr, ".z");
  ASSERT_EQ(z.RegisterDelay(), 0u);
  ASSERT_EQ(delays->InitSubHistory(1), 0u);
  ASSERT_EQ(sensitivities.RecordDelayed(0, &z, 1.0, 4.0), 0u);
  ASSERT_EQ(sensitivities.RecordDelayed(0, &z, 2.0, 8.0), 0u);
  DAESScalar late(&z);
  EXPECT_EQ(late.ValueAtTime(0, 1.25, &value), 0u);
  EXPECT_DOUBLE_EQ(value, 5.0);
  EXPECT_EQ(sensitivities.RecordDelayed(1, &z, 2.0, 8.0), sens_status::kNoParameter);
  SetSimulationTime(now);
}

}  // namespace
