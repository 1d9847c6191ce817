#include "analysis/estimation/estimation_mgr.h"

#include <gtest/gtest.h>

#include "analysis/estimation/data_rec_var.h"
#include "analysis/estimation/estimation_problem.h"
#include "analysis/model/opt_variable.h"
#include "analysis/sensitivity/sensitivity_mgr.h"
#include "solve/methods/open_solvers.h"
#include "tests/analysis/analysis_fakes.h"
#include "tests/analysis/definition_writer.h"
#include "tests/framework/message_helpers.h"

namespace {

using namespace analysis_fakes;

// Estimated k1, k2; x free and measured, f fixed and measured (reconciled),
// z measured without a record; u an input.
class EstimationMgrTest : public ::testing::Test {
 protected:
  EstimationMgrTest() : sensitivities(services), manager(services) {
    services.Add(1, "k1", 1.0);
    services.Add(2, "k2", 2.0);
    services.Add(10, "x", 0.5);
    services.Add(11, "f", 2.2)->SetFlags(analysis_flags::kFixed);
    services.Add(12, "z");
    services.Add(20, "u");
    services.options[analysis_options::kEstimator] = 2;
    services.options[analysis_options::kSyncSteps] = 2;
  }

  static DefinitionRecord Definition() {
    DefinitionRecord d;
    d.estimated = {{1, 2.0, 1.0}, {2, 1.0, 0.0}};
    ExperimentRecord steady;
    steady.name = "E1";
    steady.inputs = {{20, {{0.0, 3.0}}}};
    steady.measured = {10, 11};
    steady.entries = {{10, 0, 1.0, false, 0}, {11, 0, 2.0, true, 4.0}, {11, 0, 2.5, false, 0}};
    steady.weight = 2.0;
    steady.snapshot_request = 5;
    steady.snapshot = "snapA";
    ExperimentRecord dynamic;
    dynamic.name = "E2";
    dynamic.dynamic = true;
    dynamic.initial_values = {{10, 0.5}};
    dynamic.inputs = {{20, {{0.0, 1.0}, {1.0, 2.0}, {2.0, 0.0}}}};
    dynamic.measured = {10, 12};
    dynamic.entries = {{10, 1.0, 1.0, false, 0},
                       {12, 1.0, 2.0, true, 0.5},
                       {10, 2.0, 3.0, false, 0},
                       {10, 1.0, 4.0, false, 0}};
    d.experiments = {steady, dynamic};
    d.heteroscedasticity = 1;
    d.records = {{10, 0.3, 2.0, 1.0}, {11, 0.4, 3.0, 5.0}};
    d.single = 2;
    return d;
  }

  Status Serve(const BodyWriter& body, DseMessage** reply = nullptr) {
    auto message = testsupport::ReceivedBody(body.bytes, EstimationMgr::kService);
    DseMessage* made = nullptr;
    const Status s = manager.HandleRequest(EstimationMgr::kService, message.get(), &made, nullptr);
    if (reply != nullptr) {
      *reply = made;
    } else {
      delete made;
    }
    return s;
  }

  FakeServices services;
  SensitivityMgr sensitivities;
  EstimationMgr manager;
};

TEST_F(EstimationMgrTest, RegistersItsActionAndPublishesItself) {
  EXPECT_EQ(services.factories, std::vector<std::string>{"EstimationAction"});
  EXPECT_EQ(GetEstimationManager(), &manager);
  EXPECT_EQ(manager.OpenNLPRunType(), kRunEstimation);
  EXPECT_EQ(manager.hook_modes[0], 3u);
  EXPECT_EQ(manager.hook_modes[3], 1u);
  EXPECT_EQ(manager.hook_modes[4], 3u);
  EXPECT_EQ(manager.hook_modes[12], 1u);
}

// A state given initially carries the fixed bit too, but it is integrated:
// measured over time it is a sensitivity variable, not a reconciled unknown
// nor a parameter.
TEST_F(EstimationMgrTest, AMeasuredInitialStateIsPredictedNotReconciled) {
  services.Add(13, "s", 1.0)->SetFlags(analysis_flags::kFixed | 0x8000 | 0x1);
  DefinitionRecord d;
  d.estimated = {{1, 1.0, 0.0}};
  ExperimentRecord decay;
  decay.name = "E";
  decay.dynamic = true;
  decay.initial_values = {{13, 1.0}};
  decay.measured = {13};
  decay.entries = {{13, 0.5, 0.7, false, 0}, {13, 1.0, 0.5, false, 0}};
  d.experiments = {decay};
  d.records = {{13, 0.0, 1.0, 0.0}};
  ASSERT_EQ(Serve(DefinitionMessage(d)), 0u);
  EXPECT_EQ(manager.GetNumReconciled(), 0);
  EXPECT_EQ(manager.Unknowns().size(), 1u);
  ASSERT_EQ(sensitivities.GetNumParameters(), 1);
  EXPECT_EQ(sensitivities.GetParameter(0)->Id(), 1u);
  ASSERT_EQ(sensitivities.GetNumVariables(), 1);
  EXPECT_EQ(sensitivities.GetVariable(0)->Id(), 13u);
}

TEST_F(EstimationMgrTest, DefinitionLaysOutUnknownsRecordsAndMap) {
  ASSERT_EQ(Serve(DefinitionMessage(Definition())), 0u);
  ASSERT_EQ(manager.NumExperiments(), 2);
  EXPECT_EQ(manager.MeasurementTotal(), 7);
  EXPECT_EQ(manager.GetNumEstimated(), 2);
  ASSERT_EQ(manager.GetNumReconciled(), 2);
  EXPECT_STREQ(manager.GetReconciledVariables()[0]->GetNameText(0), "f(E1)");
  EXPECT_STREQ(manager.GetReconciledVariables()[1]->GetNameText(0), "f(E1)");
  EXPECT_EQ(manager.HeteroscedasticityFlag(), 1);
  ASSERT_EQ(manager.Unknowns().size(), 6u);
  EXPECT_EQ(manager.Unknowns()[0], services.Var(1));
  EXPECT_EQ(manager.Unknowns()[2], manager.GetReconciledVariables()[0]);
  EXPECT_STREQ(manager.Unknowns()[4]->GetNameText(0), "Heteroscedasticity x");
  OptVariable* h = manager.Heteroscedasticity(1);
  EXPECT_STREQ(h->GetNameText(0), "Heteroscedasticity f");
  EXPECT_EQ(h->value(), 0.4);
  EXPECT_EQ(h->lower(), 0.0);
  EXPECT_EQ(h->upper(), 2.0);
  EXPECT_EQ(manager.MeasurementMap(), (std::vector<std::int32_t>{0, 1, 1, 0, -1, 0, 0}));
  EXPECT_EQ(manager.MeasurementsPerRecord(), (std::vector<std::int32_t>{4, 2}));
  EXPECT_EQ(manager.ReconciledMultipliers(), (std::vector<double>{3.0, 3.0}));
  EXPECT_EQ(manager.ReconciledOffsets(), (std::vector<double>{5.0, 5.0}));
  EXPECT_EQ(manager.EstimatedMultipliers(), (std::vector<double>{2.0, 1.0}));
  EXPECT_EQ(manager.SingleExperiment(), 2);
  EXPECT_EQ(services.options[analysis_options::kRunType], analysis_options::kRunSteadyState);
  ASSERT_NE(manager.Problem(), nullptr);
  EXPECT_EQ(manager.Problem()->UnknownCount(), 6);
  EXPECT_EQ(manager.WriteBack(), 1);
  // Parameters: the estimated variables, then the fixed variable behind
  // the reconciled unknowns once; variables: the free measured ones.
  ASSERT_EQ(sensitivities.GetNumParameters(), 3);
  EXPECT_EQ(sensitivities.GetParameter(0)->Id(), 1u);
  EXPECT_EQ(sensitivities.GetParameter(1)->Id(), 2u);
  EXPECT_EQ(sensitivities.GetParameter(2)->Id(), 11u);
  ASSERT_EQ(sensitivities.GetNumVariables(), 2);
  EXPECT_EQ(sensitivities.GetVariable(1)->Id(), 12u);

  const EstExperiment* steady = manager.Experiment(0);
  EXPECT_EQ(steady->SnapshotRequest(), 5);
  EXPECT_EQ(steady->SnapshotName(), "snapA");
  EXPECT_EQ(steady->Measurements()[1].weight, 4.0);
  EXPECT_EQ(steady->Measurements()[2].weight, 1.0);
  EXPECT_EQ(steady->Measurements()[1].reconciled, 1);
  EXPECT_EQ(steady->Inputs()[0].profile, nullptr);
  EXPECT_EQ(steady->Inputs()[0].first_value, 3.0);
  auto* dynamic = dynamic_cast<EstDynExperiment*>(manager.Experiment(1));
  ASSERT_NE(dynamic, nullptr);
  EXPECT_EQ(dynamic->SnapshotRequest(), -1);
  EXPECT_FALSE(dynamic->HasSnapshotName());
  // A repeated earlier time opens a new time point.
  ASSERT_EQ(dynamic->TimePoints().size(), 3u);
  EXPECT_EQ(dynamic->TimePoints()[0].entries.size(), 2u);
  EXPECT_EQ(dynamic->TimePoints()[2].time, 1.0);
  EXPECT_EQ(dynamic->Measurements()[1].weight, 0.5);
  EXPECT_NE(dynamic->Inputs()[0].profile, nullptr);
  EXPECT_EQ(dynamic->InitialValues()[0].value, 0.5);
}

TEST_F(EstimationMgrTest, LeastSquaresForcesHeteroscedasticityOff) {
  services.options[analysis_options::kEstimator] = 1;
  ASSERT_EQ(Serve(DefinitionMessage(Definition())), 0u);
  EXPECT_EQ(manager.HeteroscedasticityFlag(), 0);
  EXPECT_EQ(manager.Unknowns().size(), 4u);
  EXPECT_EQ(manager.GetObjectiveType(), 1);
}

TEST_F(EstimationMgrTest, SingleExperimentBeyondTheCountIsRefused) {
  DefinitionRecord d = Definition();
  d.single = 3;
  EXPECT_EQ(Serve(DefinitionMessage(d)), est_status::kSevere);
  ASSERT_FALSE(services.printed.empty());
  EXPECT_EQ(services.printed.back().first, est_status::kFailure);
  EXPECT_EQ(services.printed.back().second, "Experiment 3 does not exist");
  EXPECT_FALSE(manager.Active());
  EXPECT_EQ(manager.NumExperiments(), 0);
}

TEST_F(EstimationMgrTest, NothingToEstimateWarnsAndStops) {
  DefinitionRecord d;
  d.estimated = {{1, 1.0, 0.0}};
  EXPECT_EQ(Serve(DefinitionMessage(d)), 0u);
  ASSERT_FALSE(services.printed.empty());
  EXPECT_EQ(services.printed.back().second,
            "Warning: You have requested an estimation simulation but\n"
            "no measurements or estimated/reconciled variables.");
  EXPECT_FALSE(manager.Active());
  EXPECT_EQ(services.analysis_counter, 0);
}

TEST_F(EstimationMgrTest, FailedReadStartsNothingAndKeepsNothing) {
  BodyWriter body = DefinitionMessage(Definition());
  body.bytes.resize(body.bytes.size() - 6);
  EXPECT_EQ(Serve(body), 0x8000FFFFu);
  EXPECT_FALSE(manager.Active());
  EXPECT_EQ(manager.NumExperiments(), 0);
  EXPECT_EQ(manager.GetNumEstimated(), 0);
  EXPECT_TRUE(services.log.empty());

  BodyWriter unresolved = BodyWriter().U16(92).U16(1).U32(555).F64(1).F64(0);
  EXPECT_EQ(Serve(unresolved), FakeServices::kUnresolved);
  EXPECT_FALSE(manager.Active());
}

TEST_F(EstimationMgrTest, OverlongNamesAndUnknownKindsAreRefused) {
  DefinitionRecord d = Definition();
  d.experiments[0].name = std::string(128, 'e');
  EXPECT_EQ(Serve(DefinitionMessage(d)), 0xA000FFFFu);
  d.experiments[0].name = std::string(127, 'e');
  d.experiments[1].snapshot = std::string(128, 's');
  EXPECT_EQ(Serve(DefinitionMessage(d)), 0xA000FFFFu);
  EXPECT_EQ(manager.NumExperiments(), 0);
  BodyWriter kind;
  kind.U16(92).U16(0).U16(1).Str("K").U16(7).U16(0).U16(0).U16(0).F64(1.0);
  EXPECT_EQ(Serve(kind), EstExperiment::kBadRecord);
  EXPECT_FALSE(manager.Active());
}

// The counts come off the wire: a definition whose covariance or Jacobian
// would pass the cap is refused, with its message, before anything is sized.
TEST_F(EstimationMgrTest, DefinitionBeyondTheDenseCapIsRefused) {
  // Larger than one segment: written value by value, as the client does.
  // n_est copies of k1, then one steady experiment with n_meas measurements
  // of `measured`.
  auto serve = [this](std::size_t n_est, std::uint32_t measured, std::size_t n_meas) {
    DseMessage m(EstimationMgr::kService, DseMessage::kRequest);
    m.PutUInt16(EstimationMgr::kDefine);
    m.PutUInt16(static_cast<std::uint16_t>(n_est));
    for (std::size_t i = 0; i < n_est; ++i) {
      m.PutUInt32(1);
      m.PutDouble(1.0);
      m.PutDouble(0.0);
    }
    m.PutUInt16(1);
    m.PutString("E1");
    m.PutUInt16(EstimationMgr::kSteadyStateKind);
    m.PutUInt16(0);
    m.PutUInt16(1);
    m.PutUInt16(static_cast<std::uint16_t>(n_meas));
    m.PutDouble(1.0);
    m.PutUInt32(measured);
    for (std::size_t i = 0; i < n_meas; ++i) {
      m.PutUInt32(measured);
      m.PutDouble(2.0);
      m.PutUInt8(0);
    }
    m.PutUInt32(0xFFFFFFFFu);
    m.PutString("");
    m.PutUInt32(0);
    m.PutUInt32(0);
    m.PutUInt32(0);
    testsupport::ReadAsWritten(m);
    DseMessage* reply = nullptr;
    const Status s = manager.HandleMessage(m, &reply);
    delete reply;
    return s;
  };
  // N(N+1)/2 just above the cap, N just below it.
  std::size_t n = 1;
  while ((n + 1) * (n + 2) / 2 <= EstimationMgr::kMaxDenseCells) ++n;
  EXPECT_EQ(serve(n, 10, 1), 0u) << "N = " << n << " is within the cap";
  EXPECT_NE(manager.Problem(), nullptr);
  EXPECT_EQ(serve(n + 1, 10, 1), EstimationMgr::kTooLarge);
  ASSERT_FALSE(services.printed.empty());
  EXPECT_EQ(services.printed.back().first, EstimationMgr::kTooLarge);
  EXPECT_NE(services.printed.back().second.find(
                "The estimation is too large: " + std::to_string(n + 1) + " estimated"),
            std::string::npos);
  EXPECT_FALSE(manager.Active());
  EXPECT_EQ(manager.Problem(), nullptr);
  EXPECT_EQ(manager.NumExperiments(), 0);

  // Reconciled unknowns count alike: every measurement of a fixed variable
  // is one, so M measurements of f give an M x M Jacobian.
  EXPECT_EQ(serve(0, 11, 4097), EstimationMgr::kTooLarge);
  EXPECT_EQ(manager.GetNumReconciled(), 0);
  // Only k1 of the accepted definition: f never became a parameter.
  EXPECT_EQ(sensitivities.GetNumParameters(), 1);
  EXPECT_EQ(services.analysis_counter, 0);
  EXPECT_EQ(serve(0, 11, 4000), 0u);
  EXPECT_EQ(manager.GetNumReconciled(), 4000);
}

TEST_F(EstimationMgrTest, LifecycleBalancesTheCounterFlagAndSyncSteps) {
  ASSERT_EQ(Serve(DefinitionMessage(Definition())), 0u);
  EXPECT_TRUE(manager.Active());
  EXPECT_EQ(services.analysis_counter, 1);
  EXPECT_EQ(services.results_flags & kResultsAnalysisFlag, kResultsAnalysisFlag);
  EXPECT_EQ(services.options[analysis_options::kSyncSteps], 1);
  EXPECT_EQ(manager.SavedSyncSteps(), 2);
  // Starting again changes nothing; the saved value stays the first.
  EXPECT_EQ(Serve(BodyWriter().U16(EstimationMgr::kStart)), 0u);
  EXPECT_EQ(services.analysis_counter, 1);
  EXPECT_EQ(manager.SavedSyncSteps(), 2);

  manager.SaveRunPosition(4.5, 3);
  manager.SnapshotNumbers() = {3, 7};
  EXPECT_EQ(Serve(BodyWriter().U16(EstimationMgr::kContinue).U8(0)), 0u);
  EXPECT_FALSE(manager.Active());
  EXPECT_EQ(services.analysis_counter, 0);
  EXPECT_EQ(services.results_flags & kResultsAnalysisFlag, 0u);
  EXPECT_EQ(services.options[analysis_options::kSyncSteps], 2);
  EXPECT_EQ(manager.SavedSyncSteps(), -1);
  EXPECT_EQ(services.current_time, 4.5);
  EXPECT_EQ(services.communication_times, std::vector<double>{4.5});
  EXPECT_EQ(services.record_counter, 3);
  // The stop cleared the definition and the initial-specification snapshot.
  EXPECT_EQ(manager.NumExperiments(), 0);
  EXPECT_EQ(services.deleted_snapshots, std::vector<std::uint32_t>{7});
  EXPECT_EQ(services.actions_alive, 0);
}

TEST_F(EstimationMgrTest, ContinueUnderAFailureIsRefusedAndStops) {
  ASSERT_EQ(Serve(DefinitionMessage(Definition())), 0u);
  manager.SetStatus(0x80280001u);
  EXPECT_EQ(Serve(BodyWriter().U16(EstimationMgr::kContinue).U8(1)), est_status::kContinueRefused);
  EXPECT_FALSE(manager.Active());
  EXPECT_EQ(services.log.back(), "RemoveAction");
  manager.SetStatus(0);
  EXPECT_EQ(Serve(BodyWriter().U16(EstimationMgr::kContinue).U8(1)), 0u);
  EXPECT_TRUE(manager.Active());
}

// Clearing lets go of the sensitivity lists: not while the run thread
// writes into them.
TEST_F(EstimationMgrTest, ClearWaitsWhileAStepComputes) {
  ASSERT_EQ(Serve(DefinitionMessage(Definition())), 0u);
  const int parameters = sensitivities.GetNumParameters();
  ASSERT_GT(parameters, 0);
  services.step_computing = true;
  EXPECT_EQ(Serve(BodyWriter().U16(EstimationMgr::kClear)), sens_status::kBusy);
  EXPECT_EQ(Serve(BodyWriter().U16(EstimationMgr::kClearToo)), sens_status::kBusy);
  EXPECT_EQ(manager.NumExperiments(), 2);
  EXPECT_EQ(sensitivities.GetNumParameters(), parameters);
  services.step_computing = false;
  EXPECT_EQ(Serve(BodyWriter().U16(EstimationMgr::kClear)), 0u);
  EXPECT_EQ(sensitivities.GetNumParameters(), 0);
}

TEST_F(EstimationMgrTest, ClearRequestsAndOtherKinds) {
  ASSERT_EQ(Serve(DefinitionMessage(Definition())), 0u);
  EXPECT_EQ(Serve(BodyWriter().U16(77)), 0u);
  EXPECT_EQ(manager.SingleExperiment(), 0);
  EXPECT_EQ(manager.NumExperiments(), 2);
  EXPECT_EQ(Serve(BodyWriter().U16(EstimationMgr::kClearToo)), 0u);
  EXPECT_EQ(manager.NumExperiments(), 0);
  EXPECT_EQ(sensitivities.GetNumParameters(), 0);
  EXPECT_EQ(services.Var(1)->GetFlags() & analysis_flags::kSensitivityParameter, 0u);
  ASSERT_EQ(Serve(DefinitionMessage(Definition())), 0u);
  manager.DetachProblem("w", "NULL");
  EXPECT_EQ(manager.NumExperiments(), 0);
  EXPECT_FALSE(manager.Active());
}

// --- the results reply ---

void Head(BodyWriter& w, std::uint32_t outcome) {
  w.U32(outcome).U32(4).F64(10.0).F64(1.5).U32(2).Str("k1").Str("k2");
  w.U32(2).Str("f(E1)").Str("f(E1)");
}

void Measurement(BodyWriter& w, const char* name, double base) {
  w.Str(name).F64(base).F64(base + 0.1).F64(base + 0.2).F64(base + 0.3).F64(base + 0.4);
}

void FillResults(EstimationResults& r, std::uint32_t outcome, std::uint8_t statistics) {
  r.outcome = outcome;
  r.iterations = 4;
  r.initial_objective = 10.0;
  r.final_objective = 1.5;
  r.estimates = {1.25, 2.5};
  r.statistics = statistics;
  r.standard_errors = {0.1, 0.2, 0.3, 0.4};
  for (int i = 0; i < 10; ++i) {
    r.covariance.push_back(i);
    r.correlation.push_back(-i);
  }
  for (int i = 0; i < 7; ++i) {
    r.measurements.push_back({i * 1.0, i + 0.1, i + 0.2, i + 0.3, i + 0.4});
  }
  r.records = {{-1.0, 2.0, 3.0, 4.0, 5.0}, {-6.0, 7.0, 8.0, 9.0, 10.0}};
  r.sum_log_likelihood = -7.0;
  r.sum_wrss = 9.0;
  r.sum_wrs = 11.0;
}

TEST_F(EstimationMgrTest, ResultsWithoutOutcomeCarryCodeNineOnly) {
  ASSERT_EQ(Serve(DefinitionMessage(Definition())), 0u);
  manager.Results().iterations = 4;
  manager.Results().initial_objective = 10.0;
  manager.Results().final_objective = 1.5;
  DseMessage* reply = nullptr;
  ASSERT_EQ(Serve(BodyWriter().U16(EstimationMgr::kResults), &reply), 0u);
  ASSERT_NE(reply, nullptr);
  BodyWriter expected;
  Head(expected, 9);
  expected.U32(0);
  EXPECT_TRUE(testsupport::SameBytes(expected.bytes, testsupport::BodyOf(*reply)));
  delete reply;
}

TEST_F(EstimationMgrTest, ResultsWithCorrelationDynamicPointsAndLikelihood) {
  ASSERT_EQ(Serve(DefinitionMessage(Definition())), 0u);
  FillResults(manager.Results(), 1, 2);
  DseMessage* reply = nullptr;
  ASSERT_EQ(Serve(BodyWriter().U16(EstimationMgr::kResultsKeep), &reply), 0u);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(manager.SingleExperiment(), 2);  // kind 47 keeps it
  BodyWriter w;
  Head(w, 1);
  w.U32(1).F64(1.25).F64(2.5).U8(2);
  for (double se : {0.1, 0.2, 0.3, 0.4}) w.F64(se);
  for (int i = 0; i < 10; ++i) w.F64(i);
  for (int i = 0; i < 10; ++i) w.F64(-i);
  w.U32(2);
  w.Str("E1").U32(0).U32(3);
  Measurement(w, "x", 0), Measurement(w, "f", 1), Measurement(w, "f", 2);
  // Time points 1 (two entries), 2, and 1 again.
  w.Str("E2").U32(1).U32(3);
  w.F64(1.0).U32(2), Measurement(w, "x", 3), Measurement(w, "z", 4);
  w.F64(2.0).U32(1), Measurement(w, "x", 5);
  w.F64(1.0).U32(1), Measurement(w, "x", 6);
  w.U32(2).U32(1).Str("x").F64(0.3).Str("f").F64(0.4);
  w.U32(1).F64(-7.0).F64(9.0).F64(11.0);
  w.Str("x").F64(-1.0).F64(2.0).F64(3.0).F64(4.0).F64(5.0).F64(0.3);
  w.Str("f").F64(-6.0).F64(7.0).F64(8.0).F64(9.0).F64(10.0).F64(0.4);
  EXPECT_TRUE(testsupport::SameBytes(w.bytes, testsupport::BodyOf(*reply)));
  delete reply;
}

TEST_F(EstimationMgrTest, LeastSquaresResultsWithCovarianceOnly) {
  services.options[analysis_options::kEstimator] = 1;
  DefinitionRecord d = Definition();
  d.experiments.resize(1);
  d.single = 1;
  ASSERT_EQ(Serve(DefinitionMessage(d)), 0u);
  FillResults(manager.Results(), 16 - 7, 1);
  DseMessage* reply = nullptr;
  ASSERT_EQ(Serve(BodyWriter().U16(EstimationMgr::kResults), &reply), 0u);
  BodyWriter w;
  Head(w, 9);
  w.U32(1).F64(1.25).F64(2.5).U8(1);
  for (double se : {0.1, 0.2, 0.3, 0.4}) w.F64(se);
  for (int i = 0; i < 10; ++i) w.F64(i);
  w.U32(1).Str("E1").U32(0).U32(3);
  Measurement(w, "x", 0), Measurement(w, "f", 1), Measurement(w, "f", 2);
  w.U32(2).U32(0).U32(0);
  EXPECT_TRUE(testsupport::SameBytes(w.bytes, testsupport::BodyOf(*reply)));
  delete reply;
}

// --- Open NLP ---

TEST_F(EstimationMgrTest, OpenNLPOptionsAreListedAndSet) {
  FakeNLPSolver solver;
  EstNLPOption n;
  n.name = "MaxIter";
  n.description = "iterations";
  n.tag = EstNLPOption::kInteger;
  n.integer[0] = 50, n.integer[1] = 1, n.integer[2] = 1000;
  EstNLPOption r;
  r.name = "Tol";
  r.tag = EstNLPOption::kReal;
  r.real[0] = 1e-6, r.real[1] = 0.0, r.real[2] = 1.0;
  EstNLPOption s;
  s.name = "Mode";
  s.description = "how";
  s.tag = EstNLPOption::kString;
  s.text[0] = "fast", s.text[1] = "slow";
  solver.options = {n, r, s};
  services.nlp = &solver;

  auto reply = std::make_unique<DseMessage>(EstimationMgr::kService, DseMessage::kRequest);
  ASSERT_EQ(manager.SelectOpenNLPSolver("libfake", 1, reply.get()), 0u);
  BodyWriter w;
  w.Str("fakenlp").U32(3);
  w.Str("MaxIter").Str("iterations").U16(4).U32(50).U32(1).U32(1000);
  w.Str("Tol").Str("").U16(24).F64(1e-6).F64(0.0).F64(1.0);
  w.Str("Mode").Str("how").U16(68).Str("fast").Str("slow");
  EXPECT_TRUE(testsupport::SameBytes(w.bytes, testsupport::BodyOf(*reply)));

  auto set = [&](const BodyWriter& body) {
    auto message = testsupport::ReceivedBody(body.bytes, EstimationMgr::kService);
    return manager.SetOpenNLPSolverOption("Opt", *message);
  };
  EXPECT_EQ(set(BodyWriter().U16(4).U32(7)), 0u);
  EXPECT_EQ(set(BodyWriter().U16(24).F64(0.5)), 0u);
  EXPECT_EQ(set(BodyWriter().U16(68).Str("text")), 0u);
  EXPECT_EQ(set(BodyWriter().U16(4)), 0x8000FFFFu);
  EXPECT_EQ(solver.set_calls,
            (std::vector<std::string>{"Opt:0:7", "Opt:1:0.500000", "Opt:2:text"}));
  solver.refuse = true;
  EXPECT_EQ(set(BodyWriter().U16(4).U32(7)), est_status::kFailure);

  manager.DetachProblem("w", "NULL");
  EXPECT_EQ(services.open_messages.back(), "Open NLP Estimation Solver libfake unloaded\n");
  EXPECT_EQ(manager.OpenNLPSolver(), nullptr);
  EXPECT_EQ(set(BodyWriter().U16(4).U32(7)), est_status::kFailure);
}

TEST_F(EstimationMgrTest, OpenNLPWithoutSolverOrOptionsListsNothing) {
  auto reply = std::make_unique<DseMessage>(EstimationMgr::kService, DseMessage::kRequest);
  ASSERT_EQ(manager.WriteOpenNLPOptions(*reply), 0u);
  EXPECT_TRUE(
      testsupport::SameBytes(BodyWriter().Str("").U32(0).bytes, testsupport::BodyOf(*reply)));
  EXPECT_EQ(manager.SelectOpenNLPSolver("missing", 1, reply.get()), est_status::kFailure);
  EXPECT_EQ(manager.GetStatus(), est_status::kFailure);

  FakeNLPSolver bare;
  bare.has_options = false;
  services.nlp = &bare;
  auto second = std::make_unique<DseMessage>(EstimationMgr::kService, DseMessage::kRequest);
  ASSERT_EQ(manager.SelectOpenNLPSolver("bare", 1, second.get()), 0u);
  EXPECT_TRUE(
      testsupport::SameBytes(BodyWriter().Str("").U32(0).bytes, testsupport::BodyOf(*second)));
}

}  // namespace
