// Variables that an instance edit deletes while the analysis managers hold
// them, through the real engine: the model in two nodes, the managers set
// up on variables of both, then the second node deleted, before the first
// preparation (command 6) and after it. The managers let go of what was
// deleted and work on with what is left: the linearisation, the
// sensitivities, the estimation and the optimisation.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/hang_bound.h"
#include "tests/tools/engine_road_fixture.h"
#include "tools/analysis_runs.h"

namespace deleted_variables {

using engineroad::Reader;
using modelwriter::Add;
using modelwriter::Mul;
using modelwriter::Real;
using modelwriter::Sub;
using modelwriter::Var;
using modelwriter::Writer;
using vantor_client::MakeCommand;
using Path = std::vector<std::uint32_t>;

constexpr std::uint16_t kFree = 1;
constexpr std::uint16_t kFixed = 4;
constexpr std::uint16_t kInitial = 32;
constexpr std::uint32_t kSensitivityService = 64;
constexpr std::uint32_t kEstimationService = 110;
constexpr std::uint32_t kOptimisationService = 112;
constexpr std::uint32_t kControlDesignService = 114;
constexpr std::uint32_t kModel = 2;
constexpr std::uint32_t kOutside = 3;

// A variable of the node at root index `node`.
void Variable(Writer& w, const modelwriter::Step& node, modelwriter::Tag kind, std::uint32_t index,
              const char* name, double value, std::uint16_t spec) {
  w.Item(kind);
  w.Placement({node, {index, name}});
  w.Value(value), w.Spec(spec), w.End();
}

// expression = 0 in the node, over the references.
void Equation(Writer& w, const modelwriter::Step& node, std::uint32_t index, const char* name,
              const modelwriter::Expr& expression, const std::vector<Path>& references) {
  w.Item(modelwriter::kInlineEquation);
  w.U32(0);
  w.Expression(expression);
  w.Placement({node, {index, name}});
  w.EquationHead(static_cast<std::uint32_t>(references.size()));
  for (const Path& reference : references) w.Reference(reference);
}

const modelwriter::Step kModelNode{kModel, "Model"};
const modelwriter::Step kOutsideNode{kOutside, "Outside"};

// The steady-state pair. Model: p fixed at 2 (1), x free (2), x^3 + x = p,
// so x = 1 and dx/dp = 1/4; b fixed at 1 (3), y free (4), y = 2 b; f free
// (5), f = (x - 1.5)^2, least at p = 1.5^3 + 1.5 = 4.875.
// Outside: q fixed at 3 (1), z free (2), z = 2 q.
void SteadyModel(Writer& w) {
  w.List(8);
  Variable(w, kModelNode, modelwriter::kRealVariable, 1, ".p", 2.0, kFixed);
  Variable(w, kModelNode, modelwriter::kRealVariable, 2, ".x", 0.5, kFree);
  Variable(w, kModelNode, modelwriter::kRealVariable, 3, ".b", 1.0, kFixed);
  Variable(w, kModelNode, modelwriter::kRealVariable, 4, ".y", 0.0, kFree);
  Equation(w, kModelNode, 10, ".cubic", Sub(Add(Mul(Mul(Var(0), Var(0)), Var(0)), Var(0)), Var(1)),
           {{kModel, 2}, {kModel, 1}});
  Equation(w, kModelNode, 11, ".double", Sub(Var(0), Mul(Real(2.0), Var(1))),
           {{kModel, 4}, {kModel, 3}});
  Variable(w, kModelNode, modelwriter::kRealVariable, 5, ".f", 0.0, kFree);
  const auto off = Sub(Var(1), Real(1.5));
  Equation(w, kModelNode, 12, ".cost", Sub(Var(0), Mul(off, off)), {{kModel, 5}, {kModel, 2}});
}
void SteadyOutside(Writer& w) {
  w.List(3);
  Variable(w, kOutsideNode, modelwriter::kRealVariable, 1, ".q", 3.0, kFixed);
  Variable(w, kOutsideNode, modelwriter::kRealVariable, 2, ".z", 0.0, kFree);
  Equation(w, kOutsideNode, 10, ".e", Sub(Var(0), Mul(Real(2.0), Var(1))),
           {{kOutside, 2}, {kOutside, 1}});
}

// The dynamic pair. Model: x' = u - x from 1 (1), y = 2 x (2), u fixed at 1
// (3). Outside: z' = w - 2 z from 1 (1), v = z (2), w fixed at 0 (3).
void DynamicModel(Writer& w) {
  w.List(5);
  Variable(w, kModelNode, modelwriter::kStateVariable, 1, ".x", 1.0, kInitial);
  Variable(w, kModelNode, modelwriter::kRealVariable, 2, ".y", 0.0, kFree);
  Variable(w, kModelNode, modelwriter::kRealVariable, 3, ".u", 1.0, kFixed);
  Equation(w, kModelNode, 10, ".rate", Sub(Var(0), Sub(Var(1), Var(2))),
           {{kModel, 1, 1}, {kModel, 3}, {kModel, 1}});
  Equation(w, kModelNode, 11, ".out", Sub(Var(0), Mul(Real(2.0), Var(1))),
           {{kModel, 2}, {kModel, 1}});
}
void DynamicOutside(Writer& w) {
  w.List(5);
  Variable(w, kOutsideNode, modelwriter::kStateVariable, 1, ".z", 1.0, kInitial);
  Variable(w, kOutsideNode, modelwriter::kRealVariable, 2, ".v", 0.0, kFree);
  Variable(w, kOutsideNode, modelwriter::kRealVariable, 3, ".w", 0.0, kFixed);
  Equation(w, kOutsideNode, 10, ".rate", Sub(Var(0), Sub(Var(1), Mul(Real(2.0), Var(2)))),
           {{kOutside, 1, 1}, {kOutside, 3}, {kOutside, 1}});
  Equation(w, kOutsideNode, 11, ".out", Sub(Var(0), Var(1)), {{kOutside, 2}, {kOutside, 1}});
}

// Where the edit comes: before the first preparation, or after a prepared
// problem.
enum class Edit { kBeforePreparing, kAfterPreparing };
const char* Name(Edit edit) {
  return edit == Edit::kBeforePreparing ? "before command 6" : "after command 6";
}

class DeletedRoad : public engineroad::EngineRoad {
 protected:
  // The engine in run mode `mode` with both nodes filled, not prepared.
  bool Start(std::uint32_t mode, const std::function<void(Writer&)>& model,
             const std::function<void(Writer&)>& outside) {
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(60000);
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    if (!StartEngine(engine, "Deleted") ||
        !road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {0.5}), "command 32", 0) ||
        !IntOption(30, 4) || !RealOption(130, 1e-9) || !RealOption(131, 1e-9) ||
        !IntOption(29, mode))
      return false;
    for (std::uint16_t tolerance : {0, 1, 2}) {
      if (mode == 1 && !RealOption(tolerance, 1e-12)) return false;
    }
    for (const auto& [node, fill] :
         {std::pair{kModelNode, model}, std::pair{kOutsideNode, outside}}) {
      auto create = vantor_scenario::InstanceEdit(5, 5);
      Writer(*create).Placement({node});
      if (!road_->Expect(std::move(create), "creating " + node.second, 0)) return false;
      auto request = vantor_scenario::InstanceEdit(3, 10);
      Writer w(*request);
      w.IdPath({node.first});
      fill(w);
      if (!road_->Expect(std::move(request), "filling " + node.second, 0)) return false;
    }
    return true;
  }
  bool Prepare() {
    return road_->Expect(MakeCommand(engineroad::kProblemService, 6, {0, 0}), "command 6", 0) &&
           road_->WaitNotice(
               [](const vantor_scenario::Notification& n) {
                 return (n.bits & engineroad::kPreparedBits) == engineroad::kPreparedBits;
               },
               "the four stages");
  }
  // The instance edit that deletes the node Outside with its variables.
  bool DeleteOutside() {
    auto gone = vantor_scenario::InstanceEdit(4, 5);
    Writer(*gone).IdPath({kOutside});
    return road_->Expect(std::move(gone), "deleting Outside", 0);
  }
  bool SteadyState() {
    return BeginRun() &&
           road_->Expect(MakeCommand(engineroad::kProblemService, 9), "command 9", 0) &&
           road_->WaitStep(0.0, "the steady state");
  }
  double Value(std::uint32_t index) {
    double value = std::nan("");
    road_->Read(index, &value, "reading (2, " + std::to_string(index) + ")");
    return value;
  }
  // A request of `service` written by `body`; its status and first reply.
  bool Ask(std::uint32_t service, const std::function<void(Writer&)>& body, Status* result,
           vantor_client::Bytes* reply, const std::string& what) {
    auto request = std::make_unique<vantor_client::Request>(service);
    Writer w(*request);
    body(w);
    std::vector<vantor_client::Message> replies;
    if (!road_->Exchange(std::move(request), what, result, &replies)) return false;
    if (reply != nullptr) *reply = replies.empty() ? vantor_client::Bytes{} : replies[0].body;
    return true;
  }
  bool Send(std::uint32_t service, const std::function<void(Writer&)>& body,
            const std::string& what) {
    Status result = 1;
    if (!Ask(service, body, &result, nullptr, what)) return false;
    return result == 0 || Fail(what + ": " + vantor_scenario::Hex(result));
  }
};

// --- sensitivities ---

class SensitivityDeleted : public DeletedRoad {
 protected:
  bool Lists(const std::vector<Path>& variables, const std::vector<Path>& parameters) {
    return Send(kSensitivityService,
                [&](Writer& w) {
                  w.U16(51);
                  for (const auto* list : {&variables, &parameters}) {
                    w.U16(static_cast<std::uint16_t>(list->size()));
                    for (const Path& path : *list) w.IdPath(path);
                  }
                  w.U16(0xFFFF);
                },
                "request 51") &&
           Send(kSensitivityService, [](Writer& w) { w.U16(52), w.U16(0); }, "request 52");
  }
  // Request 55: the values, variable by variable and parameter by parameter.
  bool Values(std::vector<double>* values) {
    Status result = 1;
    vantor_client::Bytes body;
    if (!Ask(kSensitivityService, [](Writer& w) { w.U16(55), w.U16(0); }, &result, &body,
             "request 55"))
      return false;
    if (result != 0 || body.size() < 2 || (body.size() - 2) % 8 != 0)
      return Fail("request 55: " + vantor_scenario::Hex(result));
    values->resize((body.size() - 2) / 8);
    if (!values->empty()) std::memcpy(values->data(), body.data(), values->size() * 8);
    return true;
  }
};

// dx/dp and dz/dq listed; Outside deleted. What is left is dx/dp = 1/4
// alone; after a prepared problem the edit empties the lists, and lists
// sent again give it.
TEST_F(SensitivityDeleted, TheListsLetGoOfTheDeletedVariables) {
  for (const Edit edit : {Edit::kBeforePreparing, Edit::kAfterPreparing}) {
    ASSERT_TRUE(Start(1, SteadyModel, SteadyOutside)) << Failure();
    if (edit == Edit::kAfterPreparing) {
      ASSERT_TRUE(Prepare()) << Failure() << Events();
    }
    ASSERT_TRUE(Lists({{kModel, 2}, {kOutside, 2}}, {{kModel, 1}, {kOutside, 1}})) << Failure();
    ASSERT_TRUE(DeleteOutside()) << Failure();
    ASSERT_TRUE(Prepare() && SteadyState()) << Name(edit) << ": " << Failure() << Events();
    EXPECT_NEAR(Value(2), 1.0, 1e-10) << Name(edit);
    std::vector<double> values;
    ASSERT_TRUE(Values(&values)) << Failure();
    if (edit == Edit::kBeforePreparing) {
      ASSERT_EQ(values.size(), 1u) << Name(edit);
    } else {
      EXPECT_TRUE(values.empty()) << Name(edit);
      ASSERT_TRUE(Lists({{kModel, 2}}, {{kModel, 1}}) && SteadyState()) << Failure();
      ASSERT_TRUE(Values(&values)) << Failure();
      ASSERT_EQ(values.size(), 1u) << Name(edit);
    }
    EXPECT_NEAR(values[0], 0.25, 1e-8) << Name(edit);
    ASSERT_TRUE(FinishRun()) << Failure();
  }
}

// --- control design ---

class ControlDesignDeleted : public DeletedRoad {
 protected:
  static constexpr std::uint16_t kMatrices = 0x1 | 0x2 | 0x4 | 0x8;
  // Kind 82 with the variables at these paths as states, inputs and
  // outputs, each of scale 1.
  bool SetUp(const std::vector<Path>& states, const std::vector<Path>& inputs,
             const std::vector<Path>& outputs) {
    return Send(kControlDesignService,
                [&](Writer& w) {
                  w.U16(82), w.U16(kMatrices), w.F64(0.0);
                  for (const auto* list : {&states, &inputs, &outputs})
                    w.U32(static_cast<std::uint32_t>(list->size()));
                  for (const auto* list : {&states, &inputs, &outputs}) {
                    for (const Path& path : *list) w.IdPath(path), w.F64(1.0);
                  }
                },
                "kind 82");
  }
  bool Compute(vantor_scenario::CdiReply* reply) {
    Status result = 1;
    vantor_client::Bytes body;
    if (!Ask(kControlDesignService, [](Writer& w) { w.U16(83); }, &result, &body, "kind 83"))
      return false;
    if (result != 0) return Fail("kind 83: " + vantor_scenario::Hex(result));
    return vantor_scenario::DecodeCdiReply(body, kMatrices, reply) || Fail("kind 83: the reply");
  }
  // x' = u - x, y = 2 x: A = -1, B = 1, C = 2, D = 0, with u, y and x named.
  void ExpectModelAlone(const vantor_scenario::CdiReply& reply, Edit edit) {
    EXPECT_EQ(reply.states, 1u) << Name(edit);
    EXPECT_EQ(reply.inputs, 1u) << Name(edit);
    EXPECT_EQ(reply.outputs, 1u) << Name(edit);
    const double expected[] = {-1.0, 1.0, 2.0, 0.0};
    for (std::uint16_t k = 0; k < 4; ++k) {
      const vantor_scenario::CdiMatrix* m = reply.Find(static_cast<std::uint16_t>(1u << k));
      ASSERT_NE(m, nullptr) << Name(edit) << ", bit " << (1u << k);
      ASSERT_TRUE(m->available) << Name(edit) << ", bit " << (1u << k);
      EXPECT_NEAR(m->At(1, 1), expected[k], 1e-8) << Name(edit) << ", bit " << (1u << k);
    }
    ASSERT_EQ(reply.values.size(), 3u) << Name(edit);
    EXPECT_EQ(reply.values[0].first, "Model.u") << Name(edit);
    EXPECT_EQ(reply.values[1].first, "Model.y") << Name(edit);
    EXPECT_EQ(reply.values[2].first, "Model.x") << Name(edit);
  }
};

// x and z the states, u and w the inputs, y and v the outputs; Outside
// deleted, the model linearised after its initialisation: the matrices of
// x' = u - x alone. After a prepared problem the edit empties the lists,
// and a set-up sent again gives the same.
TEST_F(ControlDesignDeleted, TheListsLetGoOfTheDeletedVariables) {
  for (const Edit edit : {Edit::kBeforePreparing, Edit::kAfterPreparing}) {
    ASSERT_TRUE(Start(4, DynamicModel, DynamicOutside)) << Failure();
    if (edit == Edit::kAfterPreparing) {
      ASSERT_TRUE(Prepare()) << Failure() << Events();
    }
    ASSERT_TRUE(SetUp({{kModel, 1}, {kOutside, 1}}, {{kModel, 3}, {kOutside, 3}},
                      {{kModel, 2}, {kOutside, 2}}))
        << Failure();
    ASSERT_TRUE(DeleteOutside()) << Failure();
    ASSERT_TRUE(Prepare() && BeginRun() && Step(0.0)) << Name(edit) << ": " << Failure()
                                                      << Events();
    if (edit == Edit::kAfterPreparing) {
      ASSERT_TRUE(SetUp({{kModel, 1}}, {{kModel, 3}}, {{kModel, 2}})) << Failure();
    }
    vantor_scenario::CdiReply reply;
    ASSERT_TRUE(Compute(&reply)) << Name(edit) << ": " << Failure() << Events();
    ExpectModelAlone(reply, edit);
    ASSERT_TRUE(FinishRun()) << Failure();
  }
}

// --- estimation ---

class EstimationDeleted : public DeletedRoad {
 protected:
  // Request 92: `estimated` from 1, one steady-state experiment measuring
  // each of `measured` at its value, the first one the record.
  bool Define(const std::vector<Path>& estimated,
              const std::vector<std::pair<Path, double>>& measured) {
    return Send(kEstimationService,
                [&](Writer& w) {
                  w.U16(92);
                  w.U16(static_cast<std::uint16_t>(estimated.size()));
                  for (const Path& path : estimated) w.IdPath(path), w.F64(1.0), w.F64(0.0);
                  w.U16(1);
                  w.Text("E1");
                  w.U16(1), w.U16(0);
                  w.U16(static_cast<std::uint16_t>(measured.size()));
                  w.U16(static_cast<std::uint16_t>(measured.size()));
                  w.F64(1.0);
                  for (const auto& m : measured) w.IdPath(m.first);
                  for (const auto& m : measured) w.IdPath(m.first), w.F64(m.second), w.U8(0);
                  w.U32(0xFFFFFFFFu);
                  w.Text("");
                  w.U32(0);
                  w.U32(1);
                  w.IdPath(measured[0].first), w.F64(0.0), w.F64(1.0), w.F64(0.0);
                  w.U32(0);
                },
                "request 92");
  }
  // Request 2: the outcome, the estimated variables' names and estimates.
  bool Results(std::uint32_t* outcome, std::vector<std::string>* names,
               std::vector<double>* estimates) {
    Status result = 1;
    vantor_client::Bytes body;
    if (!Ask(kEstimationService, [](Writer& w) { w.U16(2); }, &result, &body, "request 2"))
      return false;
    if (result != 0) return Fail("request 2: " + vantor_scenario::Hex(result));
    Reader r(body);
    *outcome = r.Get<std::uint32_t>();
    r.Get<std::uint32_t>(), r.Get<double>(), r.Get<double>();
    names->clear();
    estimates->clear();
    const std::uint32_t count = r.Get<std::uint32_t>();
    for (std::uint32_t j = 0; j < count && r.ok(); ++j) names->push_back(r.Text());
    const std::uint32_t reconciled = r.Get<std::uint32_t>();
    for (std::uint32_t j = 0; j < reconciled && r.ok(); ++j) r.Text();
    if (r.Get<std::uint32_t>() == 1) {
      for (std::uint32_t j = 0; j < count; ++j) estimates->push_back(r.Get<double>());
    }
    return r.ok() || Fail("request 2: the reply");
  }
};

// b and q estimated from y = 6 and z = 4; Outside deleted: the definition
// goes with it (its experiment measured z), the results name nothing. A
// definition of the model alone then estimates b = 3 from y = 2 b = 6.
TEST_F(EstimationDeleted, TheDefinitionGoesWithADeletedVariable) {
  for (const Edit edit : {Edit::kBeforePreparing, Edit::kAfterPreparing}) {
    ASSERT_TRUE(Start(1, SteadyModel, SteadyOutside) && IntOption(86, 1) && IntOption(124, 2) &&
                RealOption(87, 1e-12) && RealOption(89, 1e-10) && IntOption(91, 500))
        << Failure();
    if (edit == Edit::kAfterPreparing) {
      ASSERT_TRUE(Prepare()) << Failure() << Events();
    }
    ASSERT_TRUE(Define({{kModel, 3}, {kOutside, 1}}, {{{kModel, 4}, 6.0}, {{kOutside, 2}, 4.0}}))
        << Failure();
    std::uint32_t outcome = 0;
    std::vector<std::string> names;
    std::vector<double> estimates;
    ASSERT_TRUE(Results(&outcome, &names, &estimates)) << Failure();
    ASSERT_EQ(names.size(), 2u) << Name(edit);
    ASSERT_TRUE(DeleteOutside()) << Failure();
    ASSERT_TRUE(Results(&outcome, &names, &estimates)) << Failure();
    EXPECT_TRUE(names.empty()) << Name(edit);

    ASSERT_TRUE(Prepare() && Define({{kModel, 3}}, {{{kModel, 4}, 6.0}})) << Failure() << Events();
    ASSERT_TRUE(BeginRun() &&
                road_->Expect(MakeCommand(engineroad::kProblemService, 9), "command 9", 0))
        << Failure();
    for (int poll = 0; poll < 1500 && outcome == 9; ++poll) {
      ASSERT_TRUE(Results(&outcome, &names, &estimates)) << Failure();
      if (outcome == 9) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(names, std::vector<std::string>{"Model.b"}) << Name(edit) << "\n" << Events();
    ASSERT_EQ(estimates.size(), 1u) << Name(edit) << "\n" << Events();
    EXPECT_NEAR(estimates[0], 3.0, 1e-6) << Name(edit);
    ASSERT_TRUE(FinishRun()) << Failure();
  }
}

// --- optimisation ---

class OptimisationDeleted : public DeletedRoad {
 protected:
  // Kind 60 (start), then kind 76: a steady-state definition deciding
  // `decisions` in [0, 10] from 2, minimising `objective`.
  bool Define(const std::vector<Path>& decisions, const Path& objective) {
    return Send(kOptimisationService, [](Writer& w) { w.U16(60), w.U8(1); }, "kind 60") &&
           Send(kOptimisationService,
                [&](Writer& w) {
                  w.U16(76);
                  w.U8(0), w.F64(0.0), w.U16(0);
                  w.U8(0), w.U8(0), w.U8(0), w.U8(0), w.U8(0);
                  w.F64(0.0), w.F64(0.0);
                  w.U16(static_cast<std::uint16_t>(decisions.size()));
                  for (const Path& path : decisions) {
                    w.IdPath(path), w.F64(0.0), w.F64(10.0), w.F64(2.0);
                  }
                  w.U16(0), w.U16(0);
                  w.U16(1);
                  w.IdPath(objective);
                  w.U16(0), w.U16(0), w.U16(0);
                  w.U16(0xFFFF);
                },
                "kind 76");
  }
  // Kind 90 once the run has an optimum: the decisions' names and values.
  bool Optimum(std::vector<std::pair<std::string, double>>* decisions) {
    for (int poll = 0; poll < 1500; ++poll) {
      Status result = 1;
      vantor_client::Bytes body;
      if (!Ask(kOptimisationService, [](Writer& w) { w.U16(90); }, &result, &body, "kind 90"))
        return false;
      if (result != 0) return Fail("kind 90: " + vantor_scenario::Hex(result));
      Reader r(body);
      if (r.Get<std::uint16_t>() != 90) return Fail("kind 90");
      if (r.Get<std::uint32_t>() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      r.Get<std::uint32_t>(), r.Get<double>(), r.Get<double>(), r.Get<std::uint32_t>();
      r.Get<std::uint32_t>();
      if (r.Get<std::uint32_t>() != 0) return Fail("kind 90: controls");
      decisions->clear();
      if (r.Get<std::uint32_t>() != 0) {
        r.Get<std::uint32_t>();
        const std::uint32_t count = r.Get<std::uint32_t>();
        for (std::uint32_t i = 0; i < count && r.ok(); ++i) {
          const std::string name = r.Text();
          r.Get<double>(), r.Get<double>();
          decisions->emplace_back(name, r.Get<double>());
        }
      }
      return r.ok() || Fail("kind 90: the reply");
    }
    return Fail("no optimum");
  }
};

// p and q decide, f the objective; Outside deleted: the definition goes
// with q, and the steady state runs without it. Defined again over the
// model alone, the optimisation finds p = 4.875.
TEST_F(OptimisationDeleted, TheDefinitionGoesWithADeletedVariable) {
  for (const Edit edit : {Edit::kBeforePreparing, Edit::kAfterPreparing}) {
    ASSERT_TRUE(Start(1, SteadyModel, SteadyOutside) && IntOption(80, 1) && IntOption(128, 1))
        << Failure();
    if (edit == Edit::kAfterPreparing) {
      ASSERT_TRUE(Prepare()) << Failure() << Events();
    }
    ASSERT_TRUE(Define({{kModel, 1}, {kOutside, 1}}, {kModel, 5})) << Failure() << Events();
    ASSERT_TRUE(DeleteOutside()) << Failure();
    ASSERT_TRUE(Prepare() && SteadyState()) << Name(edit) << ": " << Failure() << Events();
    ASSERT_TRUE(Define({{kModel, 1}}, {kModel, 5}) && SteadyState()) << Failure() << Events();
    std::vector<std::pair<std::string, double>> decisions;
    ASSERT_TRUE(Optimum(&decisions)) << Name(edit) << ": " << Failure() << Events();
    ASSERT_EQ(decisions.size(), 1u) << Name(edit);
    EXPECT_EQ(decisions[0].first, "Model.p") << Name(edit);
    EXPECT_NEAR(decisions[0].second, 4.875, 1e-5) << Name(edit);
    ASSERT_TRUE(FinishRun()) << Failure();
  }
}

}  // namespace deleted_variables
