#include "analysis/optimisation/opt_definition.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fuzz/byte_stream.h"
#include "tests/analysis/opt_fakes.h"
#include "tests/analysis/opt_model.h"

namespace {

using namespace analysis_fakes;
using Record = OptDefinitionRecord;

class OptDefinitionTest : public ::testing::Test {
 protected:
  OptDefinitionTest() { opt_model::AddVariables(services); }

  // The shared dynamic definition, with equality constraints.
  static Record Golden() {
    Record r = opt_model::Dynamic();
    r.equalities = 1;
    return r;
  }

  Status Read(const Record& r) {
    auto message = testsupport::ReceivedBody(r.Body(false).bytes, 112);
    return definition.Read(*message, services, &sensitivities, &dynamic_read);
  }

  FakeServices services;
  FakeSensitivities sensitivities;
  OptDefinition definition;
  bool dynamic_read = false;
};

TEST_F(OptDefinitionTest, DecodesTheGoldenDefinition) {
  ASSERT_EQ(Read(Golden()), 0u);
  const OptDefinition& d = definition;
  EXPECT_TRUE(d.dynamic);
  EXPECT_EQ(d.N(), 2);
  EXPECT_EQ(d.M(), 2);
  EXPECT_EQ(d.V(), 3);
  EXPECT_EQ(d.E(), 1);
  EXPECT_EQ(d.R(), 3);
  EXPECT_EQ(d.times, (std::vector<double>{0.0, 0.8, 2.0}));
  ASSERT_EQ(d.lengths.size(), 2u);
  EXPECT_STREQ(d.lengths[1]->GetNameText(0), "Length of element 2");
  EXPECT_DOUBLE_EQ(d.lengths[0]->value(), 0.8);
  EXPECT_DOUBLE_EQ(d.lengths[1]->value(), 1.2);
  EXPECT_DOUBLE_EQ(d.lengths[1]->lower(), 0.2);
  EXPECT_DOUBLE_EQ(d.lengths[1]->upper(), 1.6);
  // Decision x has scale 2: bounds and value are scaled.
  OptVariable& x = *d.decision[0].variable;
  EXPECT_STREQ(x.GetNameText(0), "x");
  EXPECT_DOUBLE_EQ(x.value(), 1.0);
  EXPECT_DOUBLE_EQ(x.lower(), -2.0);
  EXPECT_DOUBLE_EQ(x.upper(), 2.0);
  EXPECT_DOUBLE_EQ(d.initial[0].variable->value(), 3.0);
  // Control bounds are scaled, values kept as read.
  EXPECT_EQ(d.controls[0]->values, (std::vector<double>{1.0, 2.0, 3.0}));
  EXPECT_EQ(d.controls[0]->lower, (std::vector<double>{-2.0, -4.0, -6.0}));
  EXPECT_EQ(d.controls[0]->work.size(), 6u);
  EXPECT_EQ(d.MaxMoveCount(), 1);
  // The list: initial, decision, control elements control by control, lengths.
  std::vector<std::string> names;
  for (AnalysisVariable* v : d.list) {
    names.push_back(v->GetNameText(0));
    EXPECT_NE(v->GetFlags() & analysis_flags::kOptimisationVariable, 0u);
  }
  EXPECT_EQ(names,
            (std::vector<std::string>{"y", "x", "u[Element 1]", "u[Element 2]", "u[Element 3]",
                                      "v[Element 1]", "v[Element 2]", "v[Element 3]",
                                      "Length of element 1", "Length of element 2"}));
  EXPECT_EQ(d.P(), 10);
  // Kind 0 reads no bound, so the record after it is read in place.
  EXPECT_EQ(d.constraints[2].kind, 0u);
  EXPECT_DOUBLE_EQ(d.constraints[2].bound, 0.0);
  EXPECT_DOUBLE_EQ(d.constraints[1].bound, 0.9);
  EXPECT_EQ(sensitivities.log,
            (std::vector<std::string>{"AddParameter x", "AddParameter y", "AddParameterArray u 3",
                                      "AddParameterArray v 3", "AddVariable J",
                                      "SetNumMatrixRows 2", "AddVariable c"}));
  EXPECT_NE(services.Var(3)->GetFlags() & analysis_flags::kControl, 0u);
  ASSERT_EQ(d.ramps.size(), 2u);
  // The table holds a link to each control's ramp.
  for (std::uint32_t k = 0; k < 2; ++k) {
    VariableDriver* link = services.any_drivers[services.Var(3 + k)];
    ASSERT_NE(link, nullptr);
    d.ramps[k]->Set(0.0, 1.0 + k, 1.0, 3.0);
    EXPECT_EQ(link->ValueAt(0.5, 0.0), 2.0 + 0.5 * k);
  }
}

// A problem detached clears the variable-driver table, which deletes the
// drivers it holds, before the optimisation manager clears its definition:
// the ramps, the definition's own, live on, and nothing is deleted twice.
TEST_F(OptDefinitionTest, TheDriverTableClearedFirstLeavesTheRampsWhole) {
  ASSERT_EQ(Read(Golden()), 0u);
  const std::shared_ptr<ControlRamp> ramp = definition.ramps[0];
  services.ClearDrivers();
  ramp->Set(0.0, 1.0, 1.0, 3.0);
  EXPECT_EQ(ramp->ValueAt(0.5), 2.0);
  definition.Clear(&services);
  EXPECT_EQ(ramp.use_count(), 1);
  // A link whose ramp has gone keeps the variable's value.
  DriverLink orphan(std::weak_ptr<VariableDriver>{});
  EXPECT_EQ(orphan.ValueAt(0.5, 7.0), 7.0);
}

TEST_F(OptDefinitionTest, MovableLengthsFollowTheThreeFlags) {
  struct Case {
    std::uint8_t free, moving, individual;
    std::int32_t m;
  };
  for (const Case& c :
       {Case{0, 0, 1, 0}, Case{1, 0, 0, 1}, Case{1, 0, 1, 3}, Case{0, 1, 0, 1}, Case{0, 1, 1, 3}}) {
    Record r;
    r.n = 3;
    r.final_time = 3.0;
    r.interior = {1.0, 2.0};
    r.length_bounds = {{0, 2}, {0, 2}, {0, 2}};
    r.final_free = c.free;
    r.moving = c.moving;
    r.individual = c.individual;
    r.decision = {{2, 0, 1, 0}};
    sensitivities.log.clear();
    ASSERT_EQ(Read(r), 0u);
    EXPECT_EQ(definition.M(), c.m);
    // The list holds exactly the M movable lengths after the decision.
    EXPECT_EQ(definition.P(), 1 + c.m);
    const bool rows =
        std::find(sensitivities.log.begin(), sensitivities.log.end(),
                  "SetNumMatrixRows " + std::to_string(c.m)) != sensitivities.log.end();
    EXPECT_EQ(rows, c.moving != 0);
  }
}

TEST_F(OptDefinitionTest, SteadyStateAndPiecewiseConstantCounts) {
  Record r;
  r.dynamic = 0;
  r.n = 0;
  r.final_time = 0.0;
  r.decision = {{1, 0, 1, 0.5}, {2, 0, 1, 0.5}};
  r.controls = {{3, 0.0, {}, {}}};
  r.objectives = {5};
  ASSERT_EQ(Read(r), 0u);
  EXPECT_FALSE(definition.dynamic);
  EXPECT_TRUE(definition.times.empty());
  EXPECT_TRUE(definition.lengths.empty());
  EXPECT_EQ(definition.V(), 0);
  EXPECT_EQ(definition.P(), 2);
  EXPECT_TRUE(services.any_drivers.empty());

  r.dynamic = 1;
  r.n = 2;
  r.final_time = 2.0;
  r.interior = {1.0};
  r.length_bounds = {{0, 2}, {0, 2}};
  r.controls = {{3, 0.0, {1, 2}, {{0, 1}, {0, 1}}}};
  ASSERT_EQ(Read(r), 0u);
  EXPECT_EQ(definition.V(), 2);
  EXPECT_EQ(definition.control_elements.size(), 2u);
  EXPECT_TRUE(definition.ramps.empty());
}

TEST_F(OptDefinitionTest, RefusedDefinitionsBuildNothing) {
  // Elements without a final time: the interior times are never sent.
  Record no_final = Golden();
  no_final.final_time = 0.0;
  EXPECT_EQ(Read(no_final), opt_status::kFailure);
  EXPECT_TRUE(dynamic_read);
  // A path that does not resolve.
  Record unresolved = Golden();
  unresolved.objectives = {99};
  EXPECT_EQ(Read(unresolved), opt_status::kFailure);
  // A constraint count that disagrees with the records.
  Record miscounted = Golden();
  miscounted.declared_records = 5;
  EXPECT_EQ(Read(miscounted), opt_status::kFailure);
  // A truncated body.
  BodyWriter w = Golden().Body(false);
  w.bytes.resize(w.bytes.size() - 9);
  auto message = testsupport::ReceivedBody(w.bytes, 112);
  EXPECT_TRUE(status::IsFailure(definition.Read(*message, services, &sensitivities, nullptr)));
  EXPECT_EQ(definition.P(), 0);
  EXPECT_TRUE(definition.controls.empty());
  EXPECT_TRUE(definition.lengths.empty());
  EXPECT_TRUE(sensitivities.log.empty());
  EXPECT_TRUE(services.any_drivers.empty());
}

TEST_F(OptDefinitionTest, CountsFromTheWireSizeNothingBeforeTheirRecordsAreRead) {
  // 65535 elements announced, three interior times sent.
  BodyWriter w;
  w.U8(1).F64(1.0).U16(0xFFFF).F64(0.1).F64(0.2).F64(0.3);
  auto message = testsupport::ReceivedBody(w.bytes, 112);
  EXPECT_TRUE(status::IsFailure(definition.Read(*message, services, &sensitivities, nullptr)));
  EXPECT_TRUE(definition.times.empty());
  EXPECT_TRUE(definition.lengths.empty());
  EXPECT_EQ(definition.N(), 0);
  EXPECT_TRUE(services.printed.empty());
}

TEST_F(OptDefinitionTest, ADefinitionTooLargeForTheDenseArraysIsRefused) {
  // Bodies this long as one plain byte run.
  auto read = [&](const OptDefinitionRecord& r) {
    vantor_fuzz::ByteStream body(r.Body(false).bytes);
    return definition.Read(body, services, &sensitivities, nullptr);
  };
  ASSERT_EQ(read(opt_model::MovesOverElements(4000)), 0u);
  EXPECT_EQ(definition.P(), 4000);
  EXPECT_TRUE(services.printed.empty());
  EXPECT_EQ(read(opt_model::MovesOverElements(6000)), opt_status::kFailure);
  EXPECT_EQ(definition.P(), 0);
  EXPECT_TRUE(definition.controls.empty());
  EXPECT_TRUE(definition.control_elements.empty());
  ASSERT_EQ(services.printed.size(), 1u);
  EXPECT_EQ(services.printed[0].first, opt_status::kFailure);
  EXPECT_NE(services.printed[0].second.find("too large: 6000 optimization variables and 12004 objective"),
            std::string::npos)
      << services.printed[0].second;
}

TEST_F(OptDefinitionTest, ScheduleGroupsConstraintsByElementAndPosition) {
  Record r = Golden();
  r.constrained = {{6, {{2, 0.75, 1, 0}, {1, 1.0, 1, 0}, {2, 0.25, 1, 0}, {1, 0.5, 1, 0}}},
                   {5, {{1, 0.25, 1, 0}, {2, 0.5, 1, 0}}}};
  ASSERT_EQ(Read(r), 0u);
  ASSERT_EQ(definition.schedule.size(), 2u);
  const OptScheduleGroup& first = definition.schedule[0];
  const OptScheduleGroup& second = definition.schedule[1];
  EXPECT_EQ(first.element, 1);
  EXPECT_EQ(first.constraints, (std::vector<std::int32_t>{4, 3, 1}));
  EXPECT_EQ(second.constraints, (std::vector<std::int32_t>{2, 5, 0}));
  // time = start + position x length: element 2 runs from 0.8 to 2.0.
  EXPECT_DOUBLE_EQ(first.times[0], 0.2);
  EXPECT_DOUBLE_EQ(first.times[2], 0.8);
  EXPECT_DOUBLE_EQ(second.times[0], 1.1);
  EXPECT_DOUBLE_EQ(second.times[2], 1.7);
  OptConstraint untied;
  untied.position = 0.7;
  EXPECT_DOUBLE_EQ(definition.ConstraintTime(untied), 0.0);
}

TEST_F(OptDefinitionTest, ControlElementsScaleAndRampsInterpolate) {
  ASSERT_EQ(Read(Golden()), 0u);
  OptControlElement& second = *definition.control_elements[1];
  double value = 0.0, lower = 9.0, upper = 9.0;
  second.GetValue(&value);
  EXPECT_DOUBLE_EQ(value, 4.0);  // 2.0 x scale 2
  second.SetValue(5.0);
  EXPECT_DOUBLE_EQ(definition.controls[0]->values[1], 2.5);
  second.GetBounds(&lower, &upper);
  EXPECT_DOUBLE_EQ(lower, -4.0);
  EXPECT_DOUBLE_EQ(upper, 4.0);
  EXPECT_EQ(second.SetBounds(0, 1), OptControlElement::kNotAModelVariable);
  OptControlElement beyond(definition.controls[0].get(), 5);
  lower = upper = 7.0;
  beyond.GetBounds(&lower, &upper);
  EXPECT_DOUBLE_EQ(lower, 7.0);

  ControlRamp ramp;
  ramp.Set(1.0, 2.0, 3.0, 6.0);
  EXPECT_DOUBLE_EQ(ramp.slope, 2.0);
  EXPECT_DOUBLE_EQ(ramp.ValueAt(2.5, 0.0), 5.0);
}

TEST_F(OptDefinitionTest, RedefinitionRemovesTheDriversItInstalled) {
  ASSERT_EQ(Read(Golden()), 0u);
  const int installed = services.driver_calls;
  Record r = Golden();
  r.linear = 0;
  for (auto& c : r.controls) {
    c.values.pop_back();
    c.bounds.pop_back();
  }
  ASSERT_EQ(Read(r), 0u);
  EXPECT_EQ(services.driver_calls, installed + 2);
  EXPECT_EQ(services.any_drivers[services.Var(3)], nullptr);
  EXPECT_EQ(services.any_drivers[services.Var(4)], nullptr);
  definition.Clear(&services);
  EXPECT_EQ(services.driver_calls, installed + 2);
}

}  // namespace
