// What the engine keeps across an edit of the instance tree or a new
// problem, as the modelling environment drives it: assignments staged by
// snapshot use or taken by the client, and kept result reads, whose
// variables the edit deletes; and sensitivities asked for again after
// another problem took the place of one that computed them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/hang_bound.h"
#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/result_replies.h"
#include "tools/road.h"

namespace edited_problem {

using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::kResultsService;
using engineroad::kRunEnded;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using engineroad::Reader;
using modelwriter::Writer;
using vantor_client::Bytes;
using vantor_client::MakeCommand;

constexpr std::uint32_t kSensitivityService = 64;
constexpr std::uint16_t kFixed = 4;
constexpr std::uint16_t kFree = 1;
// Preparation refused: an equation makes no row.
constexpr Status kNoSolverEquation = 0x80000052u;
// What a result item without a value reads as.
constexpr double kNoValue = static_cast<double>(1e28f);

// y = c u: u fixed (index 1), y free (2), named by `prefix`.
void Scaled(Writer& w, const std::string& prefix, double u, double c) {
  using modelwriter::Mul;
  using modelwriter::Real;
  using modelwriter::Sub;
  using modelwriter::Var;
  w.List(3);
  ModelVariable(w, modelwriter::kRealVariable, 1, "." + prefix + "u", u, kFixed);
  ModelVariable(w, modelwriter::kRealVariable, 2, "." + prefix + "y", 0.0, kFree);
  ModelEquation(w, 10, ".e", Sub(Var(0), Mul(Real(c), Var(1))), {{2, 2}, {2, 1}});
}

// x^3 + c x = p: p fixed (index 1), x free (2). dx/dp = 1 / (3 x^2 + c).
void Cubic(Writer& w, double p, double c) {
  using modelwriter::Add;
  using modelwriter::Mul;
  using modelwriter::Real;
  using modelwriter::Sub;
  using modelwriter::Var;
  w.List(3);
  ModelVariable(w, modelwriter::kRealVariable, 1, ".p", p, kFixed);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".x", 0.5, kFree);
  ModelEquation(w, 10, ".e",
                Sub(Add(Mul(Mul(Var(0), Var(0)), Var(0)), Mul(Real(c), Var(0))), Var(1)),
                {{2, 2}, {2, 1}});
}

class EditedProblemRoad : public EngineRoad {
 protected:
  bool Start(std::int32_t run_mode, double interval, const std::function<void(Writer&)>& model) {
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(60000);
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    return StartEngine(engine, "Edited") &&
           road_->Expect(MakeCommand(kResultsService, 32, {}, {interval}), "command 32", 0) &&
           IntOption(30, 4) && RealOption(130, 1e-9) && RealOption(131, 1e-9) &&
           IntOption(29, static_cast<std::uint32_t>(run_mode)) && Load(model);
  }

  // The model's node deleted with every variable in it, then made and
  // filled again with what `model` writes, and prepared.
  bool Replace(const std::function<void(Writer&)>& model) {
    auto gone = vantor_scenario::InstanceEdit(4, 5);
    Writer(*gone).IdPath({2});
    return road_->Expect(std::move(gone), "deleting the node", 0) && Load(model);
  }

  // The node's description written again: the items at the same places
  // take the new text, the problem is prepared anew.
  bool Refill(const std::function<void(Writer&)>& model) {
    auto fill = vantor_scenario::InstanceEdit(3, 10);
    Writer w(*fill);
    w.IdPath({2});
    model(w);
    return road_->Expect(std::move(fill), "filling the node again", 0) &&
           vantor_scenario::Prepare(*road_, "command 6");
  }

  bool SteadyState() {
    return BeginRun() && road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0) &&
           road_->WaitStep(0.0, "the steady state");
  }
  // The run ends (request 134), so that the tree may be edited.
  bool EndRun() {
    auto end = std::make_unique<vantor_client::Request>(kProblemService);
    end->PutUInt16(134);
    return road_->Expect(std::move(end), "request 134", kRunEnded);
  }
  double Value(std::uint32_t index) {
    double value = std::nan("");
    road_->Read(index, &value, "reading (2, " + std::to_string(index) + ")");
    return value;
  }

  std::uint32_t SnapshotNamed(const std::string& name) {
    Status s = 1;
    const Bytes body = Ask([](vantor_client::Request& r) { r.PutUInt16(19); }, &s);
    std::vector<vantor_client::SnapshotEntry> list;
    if (s != 0 || !vantor_client::DecodeSnapshotList(body, 0, &list)) Fail("request 19");
    for (const auto& entry : list)
      if (entry.name == name) return entry.id;
    Fail("no snapshot " + name);
    return 0;
  }
  // Request 30 selects the run's own file, request 20 stages what differs.
  bool Stage(std::uint32_t id, std::uint32_t* staged) {
    Status s = 1;
    Ask(
        [](vantor_client::Request& r) {
          r.PutUInt16(30);
          r.PutString("");
          r.PutString("");
        },
        &s);
    if (s != 0) return Fail("request 30: " + vantor_scenario::Hex(s));
    const Bytes body = Ask(
        [&](vantor_client::Request& r) {
          r.PutUInt16(20);
          r.PutUInt32(id);
          r.PutUInt16(0x33);
          for (int i = 0; i < 3; ++i) r.PutString("");
        },
        &s);
    vantor_client::UseReply reply;
    if (s != 0 || !vantor_client::DecodeUseReply(body, 20, &reply))
      return Fail("request 20: " + vantor_scenario::Hex(s));
    *staged = reply.staged;
    return true;
  }
  // Request 25: the names of the client's assignments.
  bool ClientAssignments(std::vector<std::string>* names) {
    Status s = 1;
    const Bytes body = Ask([](vantor_client::Request& r) { r.PutUInt16(25); }, &s);
    if (s != 0) return Fail("request 25: " + vantor_scenario::Hex(s));
    Reader r(body);
    if (r.Get<std::uint16_t>() != 25) return Fail("request 25: another reply");
    const std::uint32_t count = r.Get<std::uint32_t>();
    names->clear();
    for (std::uint32_t i = 0; i < count && r.ok(); ++i) {
      r.Get<std::uint8_t>();  // kind 24
      r.Get<double>();
      r.Get<std::uint32_t>();
      r.Get<std::uint32_t>();
      names->push_back(r.Text());
      r.Get<std::uint16_t>();
    }
    if (!r.ok()) return Fail("request 25: a short reply");
    return true;
  }

  // u := 5 against a snapshot of u = 3: both u and y differ from it and
  // are staged by request 20.
  bool StageTwo() {
    if (!(SteadyState() &&
          road_->Expect(MakeCommand(kResultsService, 15, {0}, {}, {"Three"}), "command 15", 0)))
      return false;
    const std::uint32_t three = SnapshotNamed("Three");
    if (three == 0) return false;
    if (!(Set("u", 5.0) && SteadyState())) return false;
    std::uint32_t staged = 0;
    if (!Stage(three, &staged)) return false;
    if (staged != 2) return Fail("request 20 staged " + std::to_string(staged));
    return EndRun();
  }

  // Sensitivity requests 51 and 52 for the variable and parameter at
  // (2, x) and (2, p), then 55's values.
  bool Register(std::uint32_t variable, std::uint32_t parameter) {
    auto lists = std::make_unique<vantor_client::Request>(kSensitivityService);
    Writer w(*lists);
    w.U16(51);
    w.U16(1);
    w.IdPath({2, variable});
    w.U16(1);
    w.IdPath({2, parameter});
    w.U16(0xFFFF);
    if (!road_->Expect(std::move(lists), "request 51", 0)) return false;
    auto enable = std::make_unique<vantor_client::Request>(kSensitivityService);
    Writer(*enable).U16(52);
    Writer(*enable).U16(0);
    return road_->Expect(std::move(enable), "request 52", 0);
  }
  bool Sensitivity(double* value) {
    auto request = std::make_unique<vantor_client::Request>(kSensitivityService);
    Writer(*request).U16(55);
    Writer(*request).U16(0);
    Status result = 0;
    std::vector<vantor_client::Message> replies;
    if (!road_->Exchange(std::move(request), "request 55", &result, &replies)) return false;
    if (result != 0 || replies.size() != 1 || replies[0].body.size() != 10)
      return Fail("request 55: " + vantor_scenario::Hex(result));
    std::memcpy(value, replies[0].body.data(), 8);
    return true;
  }
  // After an edit that deleted the staged variables: request 25 lists
  // none, command 23 assigns nothing, and the new problem solves with its
  // own values.
  void ExpectNothingCarriedOver() {
    std::vector<std::string> names{"none read"};
    ASSERT_TRUE(ClientAssignments(&names)) << Failure();
    EXPECT_TRUE(names.empty());
    ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 23), "command 23", 0)) << Failure();
    ASSERT_TRUE(SteadyState()) << Failure();
    EXPECT_NEAR(Value(1), 7.0, 1e-12);
    EXPECT_NEAR(Value(2), 21.0, 1e-9);
    EXPECT_TRUE(FinishRun()) << Failure();
  }
};

// Staged by request 20, then the variables go with an edit: command 21
// hands nothing over, command 23 assigns nothing, and the new problem
// solves with its own values.
TEST_F(EditedProblemRoad, StagedAssignmentsOfDeletedVariablesAreForgotten) {
  ASSERT_TRUE(Start(1, 0.1, [](Writer& w) { Scaled(w, "", 3.0, 2.0); })) << Failure();
  ASSERT_TRUE(StageTwo()) << Failure();
  ASSERT_TRUE(Replace([](Writer& w) { Scaled(w, "new", 7.0, 3.0); })) << Failure();
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 21), "command 21", 0)) << Failure();
  ExpectNothingCarriedOver();
}

// Taken by the client (command 21) before the edit: request 25 lists none
// of them after it, command 23 assigns nothing.
TEST_F(EditedProblemRoad, ClientAssignmentsOfDeletedVariablesAreForgotten) {
  ASSERT_TRUE(Start(1, 0.1, [](Writer& w) { Scaled(w, "", 3.0, 2.0); })) << Failure();
  ASSERT_TRUE(StageTwo()) << Failure();
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 21), "command 21", 0)) << Failure();
  std::vector<std::string> names;
  ASSERT_TRUE(ClientAssignments(&names)) << Failure();
  EXPECT_EQ(names, (std::vector<std::string>{"Model.u", "Model.y"}));
  ASSERT_TRUE(Replace([](Writer& w) { Scaled(w, "new", 7.0, 3.0); })) << Failure();
  ExpectNothingCarriedOver();
}

// A periodic read of x' = -k x's state and rate; an edit deletes both:
// the refills after it send the no-value mark in their places, and the
// reply keeps its layout.
TEST_F(EditedProblemRoad, AKeptReadOfADeletedVariableSendsNoValue) {
  using modelwriter::Add;
  using modelwriter::Mul;
  using modelwriter::Var;
  ASSERT_TRUE(Start(4, 0.1, [](Writer& w) { engineroad::DecayModel(w, ".k", 1.0); })) << Failure();
  auto read = std::make_unique<vantor_client::Request>(kResultsService, DseMessage::kIdPathRead);
  read->PutDouble(0.1);
  vantor_client::PutResultItem(*read, {2, 2}, 1);
  vantor_client::PutResultItem(*read, {2, 1}, 1);
  std::uint32_t id = 0;
  ASSERT_EQ(client_->Send(std::move(read), &id, 0.1), 0u);
  ASSERT_TRUE(BeginRun() && Step(0.0) && Step(0.1)) << Failure();
  // Each values reply: per item the value and its flags.
  auto values = [&](std::vector<double>* read_values) {
    client_->WaitFor([&] {
      const vantor_client::Outcome* o = client_->Find(id);
      return o != nullptr && !o->replies.empty();
    });
    std::vector<vantor_client::Message> replies = client_->TakeReplies(id);
    if (replies.empty()) return Fail("no values of the kept read");
    const Bytes& body = replies.back().body;
    if (body.size() != 24) return Fail("a values reply of " + std::to_string(body.size()));
    Reader r(body);
    read_values->clear();
    for (int item = 0; item < 2; ++item) {
      read_values->push_back(r.Get<double>());
      r.Get<std::uint32_t>();
    }
    return true;
  };
  std::vector<double> seen;
  ASSERT_TRUE(values(&seen)) << Failure();
  EXPECT_NEAR(seen[0], std::exp(-0.1), 1e-6);
  EXPECT_EQ(seen[1], 1.0);

  // Another description in the node: the variables read go with the old.
  ASSERT_TRUE(EndRun()) << Failure();
  // x' = -c x from 3 in its place, at other indices: (2, 4) and (2, 3).
  ASSERT_TRUE(Replace([](Writer& w) {
    w.List(3);
    ModelVariable(w, modelwriter::kRealVariable, 4, ".c", 2.0, kFixed);
    ModelVariable(w, modelwriter::kStateVariable, 3, ".x", 3.0, 32);
    ModelEquation(w, 11, ".f", Add(Var(0), Mul(Var(1), Var(2))), {{2, 3, 1}, {2, 4}, {2, 3}});
  })) << Failure();
  // The run goes on from where it stood.
  ASSERT_TRUE(BeginRun() && Step(0.1) && Step(0.2)) << Failure() << Events();
  client_->TakeReplies(id);
  ASSERT_TRUE(Step(0.3)) << Failure();
  ASSERT_TRUE(values(&seen)) << Failure();
  EXPECT_EQ(seen, (std::vector<double>{kNoValue, kNoValue}));
  EXPECT_NEAR(Value(3), 3.0 * std::exp(-0.4), 1e-6);
  client_->Forget(id);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// x' = -k x recorded in the plot history (attribute 15), then deleted by
// an edit: the history stops it, and the steps of the problem in its place
// record on.
TEST_F(EditedProblemRoad, APlottedVariableThatIsDeletedStopsRecording) {
  using modelwriter::Add;
  using modelwriter::Mul;
  using modelwriter::Var;
  ASSERT_TRUE(Start(4, 0.1, [](Writer& w) { engineroad::DecayModel(w, ".k", 1.0); })) << Failure();
  auto plotted = std::make_unique<vantor_client::Request>(kResultsService, 8);
  vantor_client::PutSetReal(*plotted, {2, 2}, 15, 1.0);
  ASSERT_TRUE(road_->Expect(std::move(plotted), "attribute 15", 0)) << Failure();
  ASSERT_TRUE(BeginRun() && Step(0.0) && Step(0.1) && EndRun()) << Failure();
  ASSERT_TRUE(Replace([](Writer& w) {
    w.List(3);
    ModelVariable(w, modelwriter::kRealVariable, 4, ".c", 2.0, kFixed);
    ModelVariable(w, modelwriter::kStateVariable, 3, ".x", 3.0, 32);
    ModelEquation(w, 11, ".f", Add(Var(0), Mul(Var(1), Var(2))), {{2, 3, 1}, {2, 4}, {2, 3}});
  })) << Failure();
  ASSERT_TRUE(BeginRun() && Step(0.1) && Step(0.2) && Step(0.3)) << Failure() << Events();
  EXPECT_NEAR(Value(3), 3.0 * std::exp(-0.4), 1e-6);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// Sensitivities of x^3 + x = p at p = 2, then another problem: the node
// described again as x^3 + 2 x = p at p = 3 (x = 1 again), and then one
// in a new node, x^3 + 3 x = p at p = 4. dx/dp is 1/4, 1/5, then 1/6.
TEST_F(EditedProblemRoad, SteadyStateSensitivitiesOfASecondProblemAreItsOwn) {
  ASSERT_TRUE(Start(1, 0.1, [](Writer& w) { Cubic(w, 2.0, 1.0); })) << Failure();
  ASSERT_TRUE(Register(2, 1) && SteadyState()) << Failure();
  double first = 0.0;
  ASSERT_TRUE(Sensitivity(&first)) << Failure();
  EXPECT_NEAR(first, 0.25, 1e-6);
  for (const double c : {2.0, 3.0}) {
    const auto model = [c](Writer& w) { Cubic(w, 1.0 + c, c); };
    ASSERT_TRUE(EndRun() && (c == 2.0 ? Refill(model) : Replace(model))) << Failure();
    ASSERT_TRUE(Register(2, 1) && SteadyState()) << Failure() << Events();
    const double x = Value(2);
    EXPECT_NEAR(x, 1.0, 1e-6) << c;
    double next = 0.0;
    ASSERT_TRUE(Sensitivity(&next)) << Failure();
    EXPECT_NEAR(next, 1.0 / (3.0 * x * x + c), 1e-10) << c;
    EXPECT_NEAR(next, 1.0 / (3.0 + c), 1e-6) << c;
  }
  EXPECT_TRUE(FinishRun()) << Failure();
}

// x' = -p x from 1: dx/dp = -t exp(-p t), first at p = 0.5, then with
// another problem, x' = -p x from 2 at p = 1.5, which starts where the
// run stands (t0 = 0.5): dx/dp = -2 (t - t0) exp(-p (t - t0)).
TEST_F(EditedProblemRoad, DynamicSensitivitiesOfASecondProblemAreItsOwn) {
  auto decay = [](double p, double x0) {
    return [p, x0](Writer& w) {
      using modelwriter::Add;
      using modelwriter::Mul;
      using modelwriter::Var;
      w.List(3);
      ModelVariable(w, modelwriter::kRealVariable, 1, ".p", p, kFixed);
      ModelVariable(w, modelwriter::kStateVariable, 2, ".x", x0, 32);
      ModelEquation(w, 10, ".e", Add(Var(0), Mul(Var(1), Var(2))), {{2, 2, 1}, {2, 1}, {2, 2}});
    };
  };
  ASSERT_TRUE(Start(4, 0.25, decay(0.5, 1.0))) << Failure();
  double start = 0.0;
  for (const auto& [p, x0] : {std::pair{0.5, 1.0}, std::pair{1.5, 2.0}}) {
    if (start > 0.0) {
      ASSERT_TRUE(EndRun() && Replace(decay(p, x0))) << Failure();
    }
    ASSERT_TRUE(Register(2, 1) && BeginRun()) << Failure();
    for (int k = 0; k <= 2; ++k) {
      const double t = 0.25 * k;
      ASSERT_TRUE(Step(start + t)) << Failure() << Events();
      double value = 0.0;
      ASSERT_TRUE(Sensitivity(&value)) << Failure();
      const double exact = -x0 * t * std::exp(-p * t);
      EXPECT_NEAR(value, exact, 1e-6) << "p = " << p << ", t = " << t;
    }
    start += 0.5;
  }
  EXPECT_TRUE(FinishRun()) << Failure();
}

// Outside.z = Model.y from a node of its own: the model's node deleted,
// preparing tells which equation lost which variable and fails; the node
// described again, the problem prepares and solves.
TEST_F(EditedProblemRoad, AnEquationThatLostItsVariableToAnEditIsReported) {
  using modelwriter::Sub;
  using modelwriter::Var;
  ASSERT_TRUE(Start(1, 0.1, [](Writer& w) { Scaled(w, "", 3.0, 2.0); })) << Failure();
  const modelwriter::Step outside{3, "Outside"};
  auto create = vantor_scenario::InstanceEdit(5, 5);
  Writer(*create).Placement({outside});
  ASSERT_TRUE(road_->Expect(std::move(create), "creating Outside", 0)) << Failure();
  auto fill = vantor_scenario::InstanceEdit(3, 10);
  Writer w(*fill);
  w.IdPath({3});
  w.List(2);
  w.Item(modelwriter::kRealVariable);
  w.Placement({outside, {1, ".z"}});
  w.Value(0.0), w.Spec(kFree), w.End();
  w.Item(modelwriter::kInlineEquation);
  w.U32(0);
  w.Expression(Sub(Var(0), Var(1)));
  w.Placement({outside, {10, ".f"}});
  w.EquationHead(2);
  w.Reference({3, 1});
  w.Reference({2, 2});
  ASSERT_TRUE(road_->Expect(std::move(fill), "filling Outside", 0)) << Failure();
  ASSERT_TRUE(vantor_scenario::Prepare(*road_, "command 6") && SteadyState() && EndRun())
      << Failure() << Events();
  EXPECT_NEAR(Value(2), 6.0, 1e-9);

  auto gone = vantor_scenario::InstanceEdit(4, 5);
  Writer(*gone).IdPath({2});
  ASSERT_TRUE(road_->Expect(std::move(gone), "deleting Model", 0)) << Failure();
  Status prepared = 0;
  ASSERT_TRUE(road_->Exchange(MakeCommand(kProblemService, 6, {0, 0}), "command 6", &prepared))
      << Failure();
  const std::string told = "Equation Outside.f refers to Model.y, which the model no longer holds";
  bool reported = false;
  client_->WaitFor([&] {
    road_->Collect();
    for (const std::string& line : run_.events) reported = reported || line.find(told) == 0;
    return reported;
  });
  EXPECT_TRUE(reported) << Events();
  EXPECT_EQ(prepared, kNoSolverEquation) << vantor_scenario::Hex(prepared);

  ASSERT_TRUE(Load([](Writer& m) { Scaled(m, "", 5.0, 2.0); })) << Failure() << Events();
  ASSERT_TRUE(SteadyState()) << Failure() << Events();
  EXPECT_NEAR(Value(2), 10.0, 1e-9);
  EXPECT_TRUE(FinishRun()) << Failure();
}

}  // namespace edited_problem
