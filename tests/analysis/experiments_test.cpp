#include "analysis/estimation/experiments.h"

#include <gtest/gtest.h>

#include "analysis/estimation/data_rec_var.h"
#include "analysis/estimation/estimation_mgr.h"
#include "analysis/sensitivity/sensitivity_mgr.h"
#include "tests/analysis/analysis_fakes.h"
#include "tests/analysis/definition_writer.h"
#include "tests/framework/message_helpers.h"

namespace {

using namespace analysis_fakes;

class ExperimentsTest : public ::testing::Test {
 protected:
  ExperimentsTest() : sensitivities(services), manager(services) {
    services.Add(1, "k1");
    services.Add(2, "k2");
    x = services.Add(10, "x", 0.8);
    f = services.Add(11, "f", 2.2);
    f->SetFlags(analysis_flags::kFixed);
    z = services.Add(12, "z", 1.0);
    services.Add(20, "u");
  }

  void Define(std::int32_t objective, const DefinitionRecord& d) {
    services.options[analysis_options::kEstimator] = objective;
    auto message = testsupport::ReceivedBody(DefinitionMessage(d).bytes, EstimationMgr::kService);
    DseMessage* reply = nullptr;
    ASSERT_EQ(manager.HandleMessage(*message, &reply), 0u);
    ASSERT_EQ(sensitivities.AllocateMatrix(), 0u);
  }

  static DefinitionRecord Definition() {
    DefinitionRecord d;
    d.estimated = {{1, 1.0, 0.0}, {2, 1.0, 0.0}};
    ExperimentRecord steady;
    steady.name = "E1";
    steady.inputs = {{20, {{0.0, 3.0}}}};
    steady.measured = {10, 11};
    steady.entries = {{10, 0, 1.0, false, 0}, {11, 0, 2.0, true, 4.0}, {11, 0, 2.5, false, 0}};
    steady.weight = 2.0;
    ExperimentRecord dynamic;
    dynamic.name = "E2";
    dynamic.dynamic = true;
    dynamic.inputs = {{20, {{0.0, 1.0}, {1.0, 2.0}, {2.0, 0.0}}}};
    dynamic.measured = {10, 12};
    dynamic.entries = {{10, 1.0, 1.0, false, 0},
                       {12, 1.0, 2.0, true, 0.5},
                       {10, 2.0, 3.0, false, 0},
                       {10, 1.0, 4.0, false, 0}};
    d.experiments = {steady, dynamic};
    return d;
  }

  // d/dk1, d/dk2 and d/df of x (factor 2 divides them) and of z.
  void FillSensitivities() {
    x->factor = 2.0;
    AnalysisVariable* k1 = services.Var(1);
    AnalysisVariable* k2 = services.Var(2);
    ASSERT_EQ(sensitivities.SetSensitivity(k1, x, 0.5, 0), 0u);
    ASSERT_EQ(sensitivities.SetSensitivity(k2, x, -1.0, 0), 0u);
    ASSERT_EQ(sensitivities.SetSensitivity(f, x, 0.1, 0), 0u);
    ASSERT_EQ(sensitivities.SetSensitivity(k1, z, 3.0, 0), 0u);
    ASSERT_EQ(sensitivities.SetSensitivity(k2, z, 0.0, 0), 0u);
    ASSERT_EQ(sensitivities.SetSensitivity(f, z, 0.0, 0), 0u);
  }

  FakeServices services;
  SensitivityMgr sensitivities;
  EstimationMgr manager;
  FakeVariable* x;
  FakeVariable* f;
  FakeVariable* z;
};

TEST_F(ExperimentsTest, SteadyStateResidualsByObjective) {
  Define(est_objective::kLeastSquares, Definition());
  EstExperiment* e = manager.Experiment(0);
  ASSERT_EQ(e->RecordResiduals(), 0u);
  EXPECT_EQ(e->ResidualCursor(), 3);
  // w · W_e · (y − ŷ)
  EXPECT_DOUBLE_EQ(e->Residuals()[0], 2.0 * (1.0 - 0.8));
  EXPECT_DOUBLE_EQ(e->Residuals()[1], 8.0 * (2.0 - 2.2));
  EXPECT_DOUBLE_EQ(e->Predicted()[2], 2.2);

  Define(est_objective::kMaximumLikelihood, Definition());
  e = manager.Experiment(0);
  ASSERT_EQ(e->RecordResiduals(), 0u);
  EXPECT_DOUBLE_EQ(e->Residuals()[1], 2.0 * (2.0 - 2.2));
}

TEST_F(ExperimentsTest, SteadyStateRowsWithReconciledColumns) {
  Define(est_objective::kMaximumLikelihood, Definition());
  FillSensitivities();
  EstExperiment* e = manager.Experiment(0);
  ASSERT_EQ(e->RecordSensitivities(), 0u);
  ASSERT_EQ(e->Columns(), 4);
  const auto& r = e->SensitivityRows();
  // Row of x: −W_e · ∂x/∂p ÷ factor(x), for k1, k2 and the fixed f behind
  // both reconciled unknowns of this experiment.
  EXPECT_DOUBLE_EQ(r[0], -0.5);
  EXPECT_DOUBLE_EQ(r[1], 1.0);
  EXPECT_DOUBLE_EQ(r[2], -0.1);
  EXPECT_DOUBLE_EQ(r[3], -0.1);
  // Row of f: the identity against itself, nothing against k1 and k2.
  EXPECT_DOUBLE_EQ(r[4], 0.0);
  EXPECT_DOUBLE_EQ(r[6], -2.0);
  EXPECT_EQ(e->SensitivityCursor(), 3);
}

TEST_F(ExperimentsTest, ReconciledColumnsOfOtherExperimentsAreZero) {
  DefinitionRecord d;
  d.estimated = {{1, 1.0, 0.0}};
  for (const char* name : {"A", "B"}) {
    ExperimentRecord e;
    e.name = name;
    e.measured = {11};
    e.entries = {{11, 0, 2.0, false, 0}};
    d.experiments.push_back(e);
  }
  Define(est_objective::kLeastSquares, d);
  ASSERT_EQ(manager.GetNumReconciled(), 2);
  EXPECT_STREQ(manager.GetReconciledVariables()[1]->GetNameText(0), "f(B)");
  EstExperiment* b = manager.Experiment(1);
  ASSERT_EQ(b->RecordSensitivities(), 0u);
  EXPECT_EQ(b->SensitivityRows(), (std::vector<double>{-0.0, 0.0, -1.0}));
}

TEST_F(ExperimentsTest, DynamicExperimentAppendsOneTimePointAtATime) {
  Define(est_objective::kLeastSquares, Definition());
  FillSensitivities();
  EstExperiment* e = manager.Experiment(1);
  x->SetValue(0.5);
  ASSERT_EQ(e->RecordResiduals(), 0u);
  ASSERT_EQ(e->RecordSensitivities(), 0u);
  EXPECT_EQ(e->ResidualCursor(), 2);
  EXPECT_EQ(e->SensitivityCursor(), 2);
  EXPECT_DOUBLE_EQ(e->Residuals()[0], 0.5);
  EXPECT_DOUBLE_EQ(e->Residuals()[1], 0.5 * (2.0 - 1.0));
  const auto& r = e->SensitivityRows();
  EXPECT_DOUBLE_EQ(r[0], -0.25);
  EXPECT_DOUBLE_EQ(r[1], 0.5);
  EXPECT_DOUBLE_EQ(r[4], -1.5);  // z: −w · ∂z/∂k1
  EXPECT_EQ(r[6], 0.0);          // no reconciled columns in a dynamic row
  x->SetValue(2.5);
  ASSERT_EQ(e->RecordResiduals(), 0u);
  EXPECT_EQ(e->ResidualCursor(), 3);
  EXPECT_DOUBLE_EQ(e->Residuals()[2], 0.5);

  // A failed read stops there; the time point is not passed.
  x->fail_reads = true;
  EXPECT_NE(e->RecordResiduals(), 0u);
  EXPECT_EQ(e->ResidualCursor(), 3);
  x->fail_reads = false;
  e->Reset();
  EXPECT_EQ(e->ResidualCursor(), 0);
  ASSERT_EQ(e->RecordResiduals(), 0u);
  EXPECT_EQ(e->ResidualCursor(), 2);
}

TEST_F(ExperimentsTest, MeasuredValuesAndDrivers) {
  Define(est_objective::kLeastSquares, Definition());
  ASSERT_EQ(manager.Experiment(0)->ApplyMeasuredValues(), 0u);
  EXPECT_EQ(f->value(), 2.5);
  EXPECT_EQ(f->sets, 2);
  EXPECT_EQ(manager.Experiment(1)->ApplyMeasuredValues(), 0u);

  auto* dynamic = dynamic_cast<EstDynExperiment*>(manager.Experiment(1));
  dynamic->InstallDrivers(services);
  ASSERT_EQ(services.driver_calls, 1);
  VariableDriver* profile = services.any_drivers[services.Var(20)];
  ASSERT_NE(profile, nullptr);
  EXPECT_DOUBLE_EQ(profile->ValueAt(0.5, 0.0), 1.5);
  // The clear takes the drivers off again.
  manager.Clear();
  EXPECT_EQ(services.any_drivers[services.Var(20)], nullptr);
  // A table cleared first (a problem detached) has deleted the link: the
  // clear finds none and deletes nothing twice.
  dynamic = nullptr;
  Define(est_objective::kLeastSquares, Definition());
  dynamic = dynamic_cast<EstDynExperiment*>(manager.Experiment(1));
  dynamic->InstallDrivers(services);
  services.ClearDrivers();
  manager.Clear();
  EXPECT_EQ(services.any_drivers[services.Var(20)], nullptr);
}

TEST(TimeDependentVariableTest, ValueAtBeforeInsideAndAfterTheProfile) {
  const double times[] = {1.0, 2.0, 4.0};
  const double values[] = {10.0, 20.0, 0.0};
  TimeDependentVariable profile(3, times, values);
  EXPECT_EQ(profile.ValueAt(0.0), 10.0);  // holds the first value
  EXPECT_EQ(profile.ValueAt(1.0), 10.0);
  EXPECT_DOUBLE_EQ(profile.ValueAt(1.5), 15.0);
  EXPECT_DOUBLE_EQ(profile.ValueAt(3.0), 10.0);
  EXPECT_EQ(profile.ValueAt(4.0), 0.0);
  EXPECT_EQ(profile.ValueAt(9.0), 0.0);
  TimeDependentVariable single(1, times, values);
  EXPECT_EQ(single.ValueAt(0.0), 10.0);
  EXPECT_EQ(single.ValueAt(5.0), 10.0);
}

TEST(DataRecVarTest, BehavesAsAVariable) {
  FakeVariable measured(7, "flow", 0.8);
  measured.scale = 2.0;
  measured.lower_bound = -1.0;
  measured.upper_bound = 5.0;
  DataRecVar unknown(&measured, 3, "Run");
  AnalysisVariable& v = unknown;
  EXPECT_STREQ(v.GetNameText(0), "flow(Run)");
  double value = 0.0, lower = 0.0, upper = 0.0;
  v.GetScaledValue(&value);
  EXPECT_DOUBLE_EQ(value, 0.4);
  v.SetScaledValue(1.0);
  v.GetValue(&value);
  EXPECT_EQ(value, 2.0);
  EXPECT_EQ(v.SetValue(3.0), 0xA028FFFFu);
  v.GetValue(&value);
  EXPECT_EQ(value, 3.0);
  v.GetBounds(&lower, &upper);
  EXPECT_EQ(lower, -1.0);
  EXPECT_EQ(upper, 5.0);
  v.GetScale(&value);
  EXPECT_EQ(value, 1.0);
  EXPECT_EQ(v.ValueKind(), 4);
  EXPECT_EQ(v.SetBounds(0.0, 1.0), 0xA028FFFFu);
  EXPECT_EQ(v.GetValueFactor(&value), 0xA028FFFFu);
  EXPECT_EQ(v.GetFlags(), 0u);
  EXPECT_EQ(unknown.Experiment(), 3);

  FakeVariable long_name(8, std::string(300, 'n'));
  DataRecVar cut(&long_name, 0, "E");
  EXPECT_EQ(std::string(cut.GetNameText(0)).size(), DataRecVar::kMaxName);
}

TEST_F(ExperimentsTest, MeasurementOfAnUnlistedVariableIsRefused) {
  DefinitionRecord d = Definition();
  d.experiments[0].entries.push_back({12, 0, 1.0, false, 0});
  auto message = testsupport::ReceivedBody(DefinitionMessage(d).bytes, EstimationMgr::kService);
  DseMessage* reply = nullptr;
  EXPECT_EQ(manager.HandleMessage(*message, &reply), EstExperiment::kBadRecord);
  EXPECT_EQ(manager.NumExperiments(), 0);
  EXPECT_FALSE(manager.Active());
}

}  // namespace
