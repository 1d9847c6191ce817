#include "analysis/sensitivity/sensitivity_mgr.h"

#include <memory>

#include <gtest/gtest.h>

#include "analysis/optimisation/optimisation_manager.h"
#include "tests/analysis/analysis_fakes.h"
#include "tests/analysis/body_writer.h"
#include "tests/framework/message_helpers.h"

namespace {

using analysis_fakes::BodyWriter;
using analysis_fakes::FakeServices;
using analysis_fakes::FakeVariable;

class SensitivityMgrTest : public ::testing::Test {
 protected:
  SensitivityMgrTest() : manager(services) {}

  Status Serve(const BodyWriter& body, DseMessage** reply = nullptr) {
    auto message = testsupport::ReceivedBody(body.bytes, SensitivityMgr::kService);
    DseMessage* made = nullptr;
    const Status s = manager.HandleRequest(SensitivityMgr::kService, message.get(), &made, nullptr);
    if (reply != nullptr) {
      *reply = made;
    } else {
      delete made;
    }
    return s;
  }

  FakeServices services;
  SensitivityMgr manager;
};

TEST_F(SensitivityMgrTest, PublishesItselfAndItsFacesUntilDestroyed) {
  EXPECT_EQ(GetSensitivityManager(), &manager);
  EXPECT_EQ(GetSensitivityManagerFace(), &manager);
  {
    SensitivityMgr second(services);
    EXPECT_EQ(GetSensitivityManager(), &second);
  }
  EXPECT_EQ(GetSensitivityManager(), nullptr);
}

// p1 single, p2 a control of V = 3 rows, p3 single: rows 0, 1-3, 4.
TEST_F(SensitivityMgrTest, RowWalkCountsControlRowsAndRefusesUnlistedParameters) {
  services.control_values = 3;
  FakeVariable* p1 = services.Add(1, "p1");
  FakeVariable* p2 = services.Add(2, "p2");
  FakeVariable* p3 = services.Add(3, "p3");
  FakeVariable* y = services.Add(10, "y");
  FakeVariable* stranger = services.Add(99, "q");
  p2->SetFlags(analysis_flags::kControl);
  ASSERT_EQ(manager.AddParameter(p1), 0u);
  ASSERT_EQ(manager.AddParameterArray(p2, 3), 0u);
  ASSERT_EQ(manager.AddParameter(p3), 0u);
  ASSERT_EQ(manager.AddVariable(y), 0u);
  EXPECT_EQ(manager.GetNumParameterElements(), 5);
  EXPECT_EQ(manager.GetNumParameters(), 3);
  ASSERT_EQ(manager.AllocateMatrix(), 0u);

  ASSERT_EQ(manager.SetSensitivity(p2, y, 7.5, 2), 0u);
  ASSERT_EQ(manager.SetSensitivity(p3, y, -1.25, 0), 0u);
  double v = 0.0;
  ASSERT_EQ(manager.GetSensitivity(p2, y, &v, 2, false, false), 0u);
  EXPECT_EQ(v, 7.5);
  ASSERT_EQ(manager.GetSensitivity(p3, y, &v, 0, false, false), 0u);
  EXPECT_EQ(v, -1.25);

  // Not listed: refused, never a value from beyond the rows.
  v = 42.0;
  EXPECT_EQ(manager.GetSensitivity(stranger, y, &v, 0, false, false), sens_status::kNoParameter);
  EXPECT_EQ(manager.SetSensitivity(stranger, y, 1.0, 0), sens_status::kNoParameter);
  EXPECT_EQ(v, 42.0);
  // Past the rows of the matrix, and a variable that is not listed.
  EXPECT_EQ(manager.GetSensitivity(p3, y, &v, 1, false, false), sens_status::kNotFound);
  EXPECT_EQ(manager.GetSensitivity(p1, stranger, &v, 0, false, false), sens_status::kNotFound);

  // With a larger control count the walk outgrows the matrix: refused.
  services.control_values = 5;
  EXPECT_EQ(manager.GetSensitivity(p3, y, &v, 0, false, false), sens_status::kNotFound);
}

TEST_F(SensitivityMgrTest, EmptyParameterListAndFixedVariables) {
  FakeVariable* y = services.Add(10, "y");
  FakeVariable* p = services.Add(1, "p");
  manager.AddVariable(y);
  double v = 0.0;
  EXPECT_EQ(manager.GetSensitivity(p, y, &v, 0, false, false), sens_status::kNoParameter);

  // A fixed variable is the identity whether listed or not.
  FakeVariable* fixed = services.Add(20, "f");
  fixed->SetFlags(analysis_flags::kFixed);
  ASSERT_EQ(manager.GetSensitivity(fixed, fixed, &v, 0, false, false), 0u);
  EXPECT_EQ(v, 1.0);
  ASSERT_EQ(manager.GetSensitivity(p, fixed, &v, 0, false, false), 0u);
  EXPECT_EQ(v, 0.0);

  // A state whose initial value is given carries the fixed bit too, but it
  // is integrated: it reads what the integrator stored.
  FakeVariable* x = services.Add(30, "x");
  x->SetFlags(analysis_flags::kFixed | 0x8000 | 0x1);
  ASSERT_EQ(manager.AddParameter(p), 0u);
  ASSERT_EQ(manager.AddVariable(x), 0u);
  ASSERT_EQ(manager.AllocateMatrix(), 0u);
  ASSERT_EQ(manager.SetSensitivity(p, x, -0.25, 0), 0u);
  ASSERT_EQ(manager.GetSensitivity(p, x, &v, 0, false, false), 0u);
  EXPECT_EQ(v, -0.25);
}

TEST_F(SensitivityMgrTest, DuplicatesAndClearWithAndWithoutReset) {
  FakeVariable* p = services.Add(1, "p");
  FakeVariable* y = services.Add(10, "y");
  ASSERT_EQ(manager.AddParameter(p), 0u);
  ASSERT_EQ(manager.AddVariable(y), 0u);
  EXPECT_EQ(manager.AddParameter(p), sens_status::kDuplicate);
  EXPECT_EQ(manager.AddParameterArray(p, 4), sens_status::kDuplicate);
  EXPECT_EQ(manager.AddVariable(y), sens_status::kDuplicate);
  EXPECT_EQ(manager.GetNumParameterElements(), 1);
  EXPECT_EQ(manager.GetNumVariables(), 1);

  manager.DetachProblem("w", "NULL");  // keeps the marks
  EXPECT_EQ(manager.GetNumParameters(), 0);
  EXPECT_EQ(services.storage_drops, 1);
  EXPECT_EQ(manager.AddParameter(p), sens_status::kDuplicate);
  EXPECT_EQ(manager.AddVariable(y), sens_status::kDuplicate);

  // A problem edit resets the marks of what the lists hold.
  FakeVariable* q = services.Add(2, "q");
  FakeVariable* z = services.Add(11, "z");
  manager.AddParameter(q);
  manager.AddVariable(z);
  manager.ProblemEdited();
  EXPECT_EQ(q->GetFlags() & analysis_flags::kSensitivityParameter, 0u);
  EXPECT_EQ(manager.AddParameter(q), 0u);
  EXPECT_EQ(manager.AddVariable(z), 0u);
}

TEST_F(SensitivityMgrTest, ListsGrowEightAtATime) {
  for (std::uint32_t i = 0; i < 9; ++i) {
    manager.AddParameter(services.Add(i + 1, std::string(1, static_cast<char>('a' + i))));
    EXPECT_EQ(manager.ParameterSlots(), i < 8 ? 8u : 16u);
  }
}

TEST_F(SensitivityMgrTest, AllocationFollowsTheListsAndTheDelayManager) {
  FakeVariable* p = services.Add(1, "p");
  FakeVariable* y = services.Add(10, "y");
  manager.AddParameter(p);
  // Parameters without variables: nothing to allocate.
  EXPECT_EQ(manager.AllocateMatrix(), 0u);
  EXPECT_EQ(manager.AllocationState(), 0);
  EXPECT_TRUE(services.history_sizes.empty());

  manager.AddVariable(y);
  manager.Enable();
  services.size_answer = 0x80260001u;
  EXPECT_EQ(manager.AllocateMatrix(), 0x80260001u);
  EXPECT_EQ(manager.AllocationState(), -1);
  EXPECT_EQ(services.history_sizes, std::vector<std::int32_t>{1});
  EXPECT_EQ(manager.IsActiveFor(SensitivityMgr::kIntegratorQuery), 0);
  EXPECT_EQ(manager.IsActiveFor(1), 1);
  manager.Disable();
  EXPECT_EQ(manager.IsActiveFor(1), 0);

  // Switch-time rows alone make the manager active.
  manager.Clear(true);
  manager.AddVariable(y);
  EXPECT_EQ(manager.IsActive(), 0);
  manager.SetNumMatrixRows(2);
  EXPECT_EQ(manager.IsActive(), 1);
  services.size_answer = 0;
  ASSERT_EQ(manager.AllocateMatrix(), 0u);
  EXPECT_EQ(manager.SetSwitchTimeSensitivity(1, y, 3.0), 0u);
  EXPECT_EQ(manager.SetSwitchTimeSensitivity(2, y, 3.0), sens_status::kNotFound);
  double v = 0.0;
  y->factor = 2.0;
  ASSERT_EQ(manager.GetSwitchTimeSensitivity(1, y, &v, true), 0u);
  EXPECT_EQ(v, 1.5);
  EXPECT_EQ(manager.GetSwitchTimeSensitivity(0, p, &v, true), sens_status::kNoParameter);
  EXPECT_EQ(manager.GetSwitchTimeSensitivity(2, y, &v, true), sens_status::kNotFound);
}

// A variable listed after the matrix was made has no column in it: read or
// written it is not found, and the next allocation makes room for it.
TEST_F(SensitivityMgrTest, ListsThatGrowAfterTheAllocationAreAllocatedAgain) {
  FakeVariable* p = services.Add(1, "p");
  FakeVariable* y = services.Add(10, "y");
  FakeVariable* z = services.Add(11, "z");
  manager.AddParameter(p);
  manager.AddVariable(y);
  ASSERT_EQ(manager.AllocateMatrix(), 0u);
  ASSERT_EQ(manager.SetSensitivity(p, y, 2.0, 0), 0u);
  ASSERT_EQ(manager.AddVariable(z), 0u);
  EXPECT_EQ(manager.AllocationState(), 0);
  double v = -1.0;
  EXPECT_EQ(manager.GetSensitivity(p, z, &v, 0, false, false), sens_status::kNotFound);
  EXPECT_EQ(v, -1.0);
  EXPECT_EQ(manager.SetSensitivity(p, z, 3.0, 0), sens_status::kNotFound);
  ASSERT_EQ(manager.AllocateMatrix(), 0u);
  EXPECT_EQ(manager.AllocationState(), 1);
  ASSERT_EQ(manager.SetSensitivity(p, z, 3.0, 0), 0u);
  ASSERT_EQ(manager.GetSensitivity(p, z, &v, 0, false, false), 0u);
  EXPECT_EQ(v, 3.0);
  // A switch-time row added later likewise.
  manager.SetNumMatrixRows(1);
  EXPECT_EQ(manager.AllocationState(), 0);
  EXPECT_EQ(manager.SetSwitchTimeSensitivity(0, z, 1.0), sens_status::kNotFound);
  ASSERT_EQ(manager.AllocateMatrix(), 0u);
  EXPECT_EQ(manager.SetSwitchTimeSensitivity(0, z, 1.0), 0u);
}

TEST_F(SensitivityMgrTest, FactorsApplyToReadsAndDumpLines) {
  FakeVariable* p = services.Add(1, "p");
  FakeVariable* y = services.Add(10, "y");
  p->factor = 4.0;
  y->factor = 2.0;
  manager.AddParameter(p);
  manager.AddVariable(y);
  ASSERT_EQ(manager.AllocateMatrix(), 0u);
  ASSERT_EQ(manager.SetSensitivity(p, y, 3.0, 0), 0u);
  ASSERT_EQ(services.dumps.size(), 1u);
  EXPECT_EQ(services.dumps[0], "Sens: d(y) by d(p) = 6.000000");
  double v = 0.0;
  manager.GetSensitivity(p, y, &v, 0, true, false);
  EXPECT_EQ(v, 12.0);
  manager.GetSensitivity(p, y, &v, 0, false, true);
  EXPECT_EQ(v, 1.5);
  manager.GetSensitivity(p, y, &v, 0, true, true);
  EXPECT_EQ(v, 6.0);
}

TEST_F(SensitivityMgrTest, DelayedSensitivitiesGoByParameterIndex) {
  FakeVariable* p1 = services.Add(1, "p1");
  FakeVariable* p2 = services.Add(2, "p2");
  FakeVariable* y = services.Add(10, "y");
  manager.AddParameter(p1);
  manager.AddParameter(p2);
  double v = 0.0;
  ASSERT_EQ(manager.GetDelayedSensitivity(y, p2, 0.5, &v), 0u);
  EXPECT_EQ(v, 100.5);
  ASSERT_EQ(manager.RecordDelayedSensitivity(y, p1, 1.0, 2.0), 0u);
  EXPECT_EQ(services.recorded.back(), "y/0/1.000000/2.000000");
  EXPECT_EQ(manager.GetDelayedSensitivity(y, y, 0.5, &v), sens_status::kNoParameter);
  EXPECT_EQ(manager.RecordDelayedSensitivity(y, y, 0.5, 1.0), sens_status::kNoParameter);
  EXPECT_STREQ(manager.GetItemName(1), "p2");
}

// p1 single, p2 an array of 3 elements, p3 single; y and z. A variable
// being destroyed leaves its list; the rows and columns of the others close
// up and are allocated again.
TEST_F(SensitivityMgrTest, ADestroyedVariableLeavesTheListsAndTheRestCloseUp) {
  FakeVariable* p1 = services.Add(1, "p1");
  FakeVariable* p2 = services.Add(2, "p2");
  FakeVariable* p3 = services.Add(3, "p3");
  FakeVariable* y = services.Add(10, "y");
  FakeVariable* z = services.Add(11, "z");
  manager.AddParameter(p1);
  manager.AddParameterArray(p2, 3);
  manager.AddParameter(p3);
  manager.AddVariable(y);
  manager.AddVariable(z);
  ASSERT_EQ(manager.AllocateMatrix(), 0u);
  ASSERT_EQ(manager.GetNumParameterElements(), 5);
  manager.ForgetVariable(p2);
  manager.ForgetVariable(y);
  EXPECT_EQ(manager.GetNumParameters(), 2);
  EXPECT_EQ(manager.GetNumParameterElements(), 2);
  EXPECT_EQ(manager.GetNumVariables(), 1);
  EXPECT_EQ(manager.AllocationState(), 0);
  // Nothing of the variable is read on the way out.
  EXPECT_NE(p2->GetFlags() & analysis_flags::kSensitivityParameter, 0u);
  ASSERT_EQ(manager.AllocateMatrix(), 0u);
  ASSERT_EQ(manager.SetSensitivity(p3, z, 4.0, 0), 0u);
  double v = 0.0;
  ASSERT_EQ(manager.GetSensitivity(p3, z, &v, 0, false, false), 0u);
  EXPECT_EQ(v, 4.0);
  EXPECT_EQ(manager.GetSensitivity(p2, z, &v, 0, false, false), sens_status::kNoParameter);
  // One that is in no list changes nothing.
  manager.ForgetVariable(y);
  EXPECT_EQ(manager.AllocationState(), 1);
}

TEST_F(SensitivityMgrTest, SetListsAddsTheResolvedReferences) {
  services.Add(1, "p1");
  services.Add(2, "p2");
  services.Add(10, "y1");
  services.Add(11, "y2");
  BodyWriter body;
  body.U16(SensitivityMgr::kSetLists).U16(3).U32(10).U32(77).U32(11);
  body.U16(2).U32(1).U32(2).U16(0);
  EXPECT_EQ(Serve(body), 1u);
  EXPECT_EQ(manager.GetNumVariables(), 2);
  EXPECT_EQ(manager.GetNumParameters(), 2);
  EXPECT_EQ(manager.GetVariable(1)->Id(), 11u);

  // A second list replaces the first, marks reset.
  BodyWriter again;
  again.U16(SensitivityMgr::kSetLists).U16(1).U32(10).U16(1).U32(1).U16(0);
  EXPECT_EQ(Serve(again), 0u);
  EXPECT_EQ(manager.GetNumVariables(), 1);
  EXPECT_EQ(services.Var(11)->GetFlags() & analysis_flags::kSensitivityVariable, 0u);
}

TEST_F(SensitivityMgrTest, SwitchesAndClearByRequest) {
  EXPECT_EQ(Serve(BodyWriter().U16(SensitivityMgr::kEnable).U16(0)), 0u);
  EXPECT_EQ(manager.Enabled(), 1);
  EXPECT_EQ(Serve(BodyWriter().U16(SensitivityMgr::kDisable)), 0x8000FFFFu);
  EXPECT_EQ(manager.Enabled(), 0);
  manager.AddParameter(services.Add(1, "p"));
  EXPECT_EQ(Serve(BodyWriter().U16(SensitivityMgr::kClear).U16(0)), 0u);
  EXPECT_EQ(manager.GetNumParameters(), 0);
  EXPECT_EQ(Serve(BodyWriter().U16(99)), 0u);
  EXPECT_EQ(Serve(BodyWriter()), 0x8000FFFFu);
}

// While a run step computes with the lists, new lists and a clear wait
// (busy): the matrices the step stores into stay; the switches and the
// values go through.
TEST_F(SensitivityMgrTest, ListsWaitWhileAStepComputes) {
  FakeVariable* p = services.Add(1, "p");
  FakeVariable* y = services.Add(10, "y");
  manager.AddParameter(p);
  manager.AddVariable(y);
  ASSERT_EQ(manager.AllocateMatrix(), 0u);
  ASSERT_EQ(manager.SetSensitivity(p, y, 2.5, 0), 0u);
  services.step_computing = true;
  BodyWriter lists;
  lists.U16(SensitivityMgr::kSetLists).U16(1).U32(10).U16(1).U32(1).U16(0);
  EXPECT_EQ(Serve(lists), sens_status::kBusy);
  EXPECT_EQ(Serve(BodyWriter().U16(SensitivityMgr::kClear).U16(0)), sens_status::kBusy);
  EXPECT_EQ(services.storage_drops, 0);
  EXPECT_EQ(Serve(BodyWriter().U16(SensitivityMgr::kEnable).U16(0)), 0u);
  EXPECT_EQ(manager.SetSensitivity(p, y, 3.5, 0), 0u);
  double value = 0.0;
  ASSERT_EQ(manager.GetSensitivity(p, y, &value, 0, false, false), 0u);
  EXPECT_EQ(value, 3.5);
  services.step_computing = false;
  EXPECT_EQ(Serve(BodyWriter().U16(SensitivityMgr::kClear).U16(0)), 0u);
  EXPECT_EQ(manager.GetNumParameters(), 0);
}

// Two variables by two parameters (one an array): 4 doubles, variable by
// variable, element 0 of the array, then 0xFFFF.
TEST_F(SensitivityMgrTest, ValuesReplyIsTheMatrixByVariableThenEnd) {
  FakeVariable* p1 = services.Add(1, "p1");
  FakeVariable* p2 = services.Add(2, "p2");
  FakeVariable* y1 = services.Add(10, "y1");
  FakeVariable* y2 = services.Add(11, "y2");
  y2->factor = 2.0;
  manager.AddParameter(p1);
  manager.AddParameterArray(p2, 2);
  manager.AddVariable(y1);
  manager.AddVariable(y2);
  ASSERT_EQ(manager.AllocateMatrix(), 0u);
  manager.SetSensitivity(p1, y1, 1.0, 0);
  manager.SetSensitivity(p2, y1, 2.0, 0);
  manager.SetSensitivity(p2, y1, 9.0, 1);
  manager.SetSensitivity(p1, y2, 3.0, 0);
  manager.SetSensitivity(p2, y2, 4.0, 0);
  manager.SetSensitivity(p2, y2, 9.0, 1);
  DseMessage* reply = nullptr;
  ASSERT_EQ(Serve(BodyWriter().U16(SensitivityMgr::kValues).U16(0), &reply), 0u);
  ASSERT_NE(reply, nullptr);
  const BodyWriter expected = BodyWriter().F64(1.0).F64(2.0).F64(1.5).F64(2.0).U16(0xFFFF);
  EXPECT_TRUE(testsupport::SameBytes(expected.bytes, testsupport::BodyOf(*reply)));
  EXPECT_EQ(reply->type, SensitivityMgr::kService);
  delete reply;

  manager.Clear(true);
  ASSERT_EQ(Serve(BodyWriter().U16(SensitivityMgr::kValues).U16(0), &reply), 0u);
  EXPECT_TRUE(testsupport::SameBytes(BodyWriter().U16(0xFFFF).bytes, testsupport::BodyOf(*reply)));
  delete reply;
}

TEST_F(SensitivityMgrTest, ValuesReplyFailingMidwayIsDropped) {
  FakeVariable* p = services.Add(1, "p");
  manager.AddParameter(p);
  manager.AddVariable(services.Add(10, "y"));
  // No matrix: the first read fails.
  DseMessage* reply = nullptr;
  EXPECT_EQ(Serve(BodyWriter().U16(SensitivityMgr::kValues).U16(0), &reply),
            sens_status::kNotFound);
  EXPECT_EQ(reply, nullptr);
}

}  // namespace

namespace {

// The optimisation's element counts, all the final-time row depends on.
class CountingOptimisation final : public QLNOptimisationManager {
 public:
  CountingOptimisation(std::int32_t elements, std::int32_t movable)
      : elements_(elements), movable_(movable) {
    SetOptimisationManager(this);
  }
  std::int32_t GetNumControlValues() override { return 1; }
  std::int32_t GetNumElements() override { return elements_; }
  std::int32_t GetNumControls() override { return 0; }
  double GetCurrentElementLength() override { return 0.0; }
  std::int32_t GetCurrentElement() override { return 1; }
  double GetElementStartTime() override { return 0.0; }
  double GetElementEndTime() override { return 0.0; }
  double GetNextElementEndTime() override { return 0.0; }
  Status GetControlValues(AnalysisVariable*, double*, double*) override {
    return opt_status::kNotAControl;
  }
  std::int32_t GetMovingElements() override { return 1; }
  std::int32_t GetNumMovableLengths() override { return movable_; }
  std::int32_t GetPiecewiseLinear() override { return 0; }
  double GetFinalTime() override { return 0.0; }
  std::uint8_t GetElementBoundaryPassed() override { return 0; }
  Status GetMultipliers(AnalysisVariable*, double*, double*) override {
    return opt_status::kNoValue;
  }

 private:
  std::int32_t elements_;
  std::int32_t movable_;
};

class EntryVariable final : public FakeVariable {
 public:
  using FakeVariable::FakeVariable;
  DAESVarTableEntry* ModelEntry() override { return reinterpret_cast<DAESVarTableEntry*>(this); }
};

// The integrator hands the switch-time rows over by model entry. With an
// optimisation of N elements there is one row per interior switch time and
// the final time's last, however many lengths move: a single moving length
// still shifts every later switch.
TEST_F(SensitivityMgrTest, SwitchTimeRowsArriveByModelEntry) {
  services.variables[10] = std::make_unique<EntryVariable>(10, "y");
  FakeVariable* y = services.Var(10);
  manager.AddVariable(y);
  EXPECT_FALSE(manager.FinalTimeRow());
  manager.SetNumMatrixRows(2);
  EXPECT_EQ(manager.SwitchingRowCount(), 2);
  EXPECT_EQ(manager.SwitchTimeRows(), 0);
  EXPECT_FALSE(manager.FinalTimeRow());  // no optimisation
  ASSERT_EQ(manager.AllocateMatrix(), 0u);
  {
    CountingOptimisation some(3, 1);
    EXPECT_TRUE(manager.FinalTimeRow());
    EXPECT_EQ(manager.SwitchingRowCount(), 3);
    EXPECT_EQ(manager.SwitchTimeRows(), 2);
    EXPECT_EQ(manager.GetNumMatrixRows(), 2);  // as registered
    // The matrix made before the optimisation's count grows to it.
    ASSERT_EQ(manager.StoreRow(2, y->ModelEntry(), -2.5), 0u);
    double v = 0.0;
    ASSERT_EQ(manager.GetSwitchTimeSensitivity(2, y, &v, false), 0u);
    EXPECT_EQ(v, -2.5);
    EXPECT_EQ(manager.StoreRow(3, y->ModelEntry(), 1.0), sens_status::kNotFound);
  }
  CountingOptimisation all(2, 2);
  EXPECT_EQ(manager.SwitchTimeRows(), 1);
  EXPECT_TRUE(manager.FinalTimeRow());

  ASSERT_EQ(manager.StoreRow(1, y->ModelEntry(), 0.75), 0u);
  double v = 0.0;
  ASSERT_EQ(manager.GetSwitchTimeSensitivity(1, y, &v, false), 0u);
  EXPECT_EQ(v, 0.75);
  EXPECT_EQ(manager.StoreRow(2, y->ModelEntry(), 1.0), sens_status::kNotFound);
  EntryVariable stranger(11, "z");
  EXPECT_EQ(manager.StoreRow(0, stranger.ModelEntry(), 1.0), sens_status::kNotFound);
}

// Look-ups by id and by model entry follow the lists through clears and
// re-listings in another order, and answer the first listed variable when
// two share an id.
TEST_F(SensitivityMgrTest, ColumnsFollowTheListsThroughClears) {
  FakeVariable* p = services.Add(1, "p");
  std::vector<FakeVariable*> ys;
  for (std::uint32_t i = 0; i < 20; ++i) {
    services.variables[100 + i] = std::make_unique<EntryVariable>(100 + i, "y");
    ys.push_back(services.Var(100 + i));
  }
  manager.AddParameter(p);
  for (FakeVariable* y : ys) manager.AddVariable(y);
  ASSERT_EQ(manager.AllocateMatrix(), 0u);
  for (std::size_t i = 0; i < ys.size(); ++i) {
    ASSERT_EQ(manager.Store(0, ys[i]->ModelEntry(), static_cast<double>(i), 0), 0u);
  }
  double v = -1.0;
  ASSERT_EQ(manager.GetSensitivity(p, ys[13], &v, 0, false, false), 0u);
  EXPECT_EQ(v, 13.0);

  // Listed again backwards, without the first: every column moves.
  manager.Clear(true);
  manager.AddParameter(p);
  for (std::size_t i = ys.size(); i-- > 1;) manager.AddVariable(ys[i]);
  ASSERT_EQ(manager.AllocateMatrix(), 0u);
  EXPECT_EQ(manager.Store(0, ys[0]->ModelEntry(), 1.0, 0), sens_status::kNotFound);
  EXPECT_EQ(manager.GetSensitivity(p, ys[0], &v, 0, false, false), sens_status::kNotFound);
  for (std::size_t i = 1; i < ys.size(); ++i) {
    ASSERT_EQ(manager.Store(0, ys[i]->ModelEntry(), 10.0 * static_cast<double>(i), 0), 0u);
  }
  ASSERT_EQ(manager.GetSensitivity(p, ys[13], &v, 0, false, false), 0u);
  EXPECT_EQ(v, 130.0);

  // A second variable with the first's id reads and writes the first's column.
  FakeVariable twin(ys[5]->Id(), "twin");
  ASSERT_EQ(manager.AddVariable(&twin), 0u);
  ASSERT_EQ(manager.AllocateMatrix(), 0u);
  ASSERT_EQ(manager.SetSensitivity(p, &twin, -7.0, 0), 0u);
  ASSERT_EQ(manager.GetSensitivity(p, ys[5], &v, 0, false, false), 0u);
  EXPECT_EQ(v, -7.0);
}

}  // namespace
