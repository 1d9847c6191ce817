// HS071 as a steady-state model optimised through the real engine in the
// full space (Optimizer 4): loaded through the instance manager, prepared,
// the built-in SQP library chosen as the open NLP solver, the optimisation
// started and defined (service 112; a start clears the definition), one
// steady-state run; the results reply and the variables read back give the
// published optimum and multipliers. The reduced space (Optimizer 1, x4
// solved by the model at every point) reaches the same.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/hang_bound.h"
#include "tests/support/hs071_model.h"
#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/first_order.h"
#include "tools/model_writer/model_writer.h"
#include "tools/road.h"

#if defined(VANTOR_NLP_LIBRARIES)

namespace {

using namespace modelwriter;
using engineroad::kBeginRunDone;
using engineroad::kEnding;
using engineroad::kOptionService;
using engineroad::kPreparedBits;
using engineroad::kProblemService;
using vantor_client::Client;
using vantor_client::MakeCommand;
using vantor_client::Message;
using vantor_client::Request;
using vantor_scenario::Notification;
using vantor_scenario::Road;

constexpr std::uint32_t kOptimisationService = 112;

Step Hs() { return hs071::Node(); }

void Hs071(Writer& w) { hs071::Write(w, {1.0, 4.0, 4.0, 2.6, 40.0, 20.0}); }

// The form whose equality is the optimisation's: x = (1, 5, 5, 1), where
// f = 16 and h = 12.
void Hs071WithResidual(Writer& w) { hs071::WriteWithResidual(w, {1.0, 5.0, 5.0, 1.0, 25.0, 16.0}); }

// Decision variables x1..x3 in [1, 5] from `start`, minimise f, g >= 25,
// and x4 within [1, 5] (the model solves for it).
void Definition(Writer& w, const std::vector<double>& start) {
  w.U16(76);
  w.U8(0), w.F64(0.0), w.U16(0);  // steady state, no elements
  for (int flag = 0; flag < 5; ++flag) w.U8(0);
  w.F64(0.0), w.F64(0.0);  // final-time bounds
  w.U16(3);                // decision variables
  for (std::uint32_t k = 0; k < 3; ++k) {
    w.IdPath({2, k + 1});
    w.F64(1.0), w.F64(5.0), w.F64(start[k]);
  }
  w.U16(0);  // initial
  w.U16(0);  // controls
  w.U16(1);  // objectives
  w.IdPath({2, 6});
  w.U16(2), w.U16(0), w.U16(3);  // Q, E, R
  w.IdPath({2, 5});
  w.U16(1), w.U16(0), w.F64(0.0), w.U16(2), w.F64(25.0);
  w.IdPath({2, 4});
  w.U16(2);
  w.U16(0), w.F64(0.0), w.U16(2), w.F64(1.0);
  w.U16(0), w.F64(0.0), w.U16(3), w.F64(5.0);
  w.U16(0xFFFF);
}

// x1..x4 free in [1, 5] from (1, 5, 5, 1), minimise f, g >= 25 and h = 0
// (kind 0; an equality, so E = 1).
void DefinitionWithEquality(Writer& w) {
  w.U16(76);
  w.U8(0), w.F64(0.0), w.U16(0);
  for (int flag = 0; flag < 5; ++flag) w.U8(0);
  w.F64(0.0), w.F64(0.0);
  w.U16(4);
  const double start[] = {1.0, 5.0, 5.0, 1.0};
  for (std::uint32_t k = 0; k < 4; ++k) {
    w.IdPath({2, k + 1});
    w.F64(1.0), w.F64(5.0), w.F64(start[k]);
  }
  w.U16(0), w.U16(0);
  w.U16(1);
  w.IdPath({2, 6});
  w.U16(2), w.U16(1), w.U16(2);  // Q, E, R
  w.IdPath({2, 7});
  w.U16(1), w.U16(0), w.F64(0.0), w.U16(0);
  w.IdPath({2, 5});
  w.U16(1), w.U16(0), w.F64(0.0), w.U16(2), w.F64(25.0);
  w.U16(0xFFFF);
}

std::unique_ptr<Request> Optimisation(const std::function<void(Writer&)>& body) {
  auto request = std::make_unique<Request>(kOptimisationService);
  Writer w(*request);
  body(w);
  return request;
}

// The kind-90 reply of a steady-state optimum with `decisions` decision
// variables and `records` constraint records.
struct Results {
  std::uint32_t available = 0;
  double objective = 0.0;
  std::vector<double> lower, upper, value;
  std::vector<double> constrained, multipliers;
};

bool ReadResults(const std::vector<std::uint8_t>& body, std::uint32_t decisions,
                 std::uint32_t records, Results* out) {
  std::size_t at = 0;
  auto take = [&](void* to, std::size_t n) {
    if (at + n > body.size()) return false;
    std::memcpy(to, body.data() + at, n);
    at += n;
    return true;
  };
  std::uint16_t kind = 0;
  std::uint32_t evaluations = 0, n = 0, m = 0, c = 0, f = 0, i = 0, d = 0, mult = 0;
  double final_time = 0.0;
  if (!take(&kind, 2) || !take(&out->available, 4) || !take(&evaluations, 4) ||
      !take(&out->objective, 8) || !take(&final_time, 8) || !take(&n, 4) || !take(&m, 4) ||
      !take(&c, 4) || !take(&f, 4) || f != 1 || !take(&i, 4) || !take(&d, 4) || d != decisions)
    return false;
  for (std::uint32_t k = 0; k < d; ++k) {
    std::uint32_t length = 0;
    if (!take(&length, 3)) return false;
    at += length;
    double lower = 0.0, upper = 0.0, value = 0.0;
    if (!take(&lower, 8) || !take(&upper, 8) || !take(&value, 8)) return false;
    out->lower.push_back(lower), out->upper.push_back(upper), out->value.push_back(value);
  }
  out->constrained.assign(records, 0.0);
  out->multipliers.assign(records, 0.0);
  for (double& v : out->constrained) {
    if (!take(&v, 8)) return false;
  }
  if (!take(&mult, 4) || mult != 1) return false;
  for (double& v : out->multipliers) {
    if (!take(&v, 8)) return false;
  }
  return true;
}

// Each optimisation runs an engine session of its own.
class FullSpaceRoad : public engineroad::EngineRoad {};

struct Outcome {
  bool ok = false;
  std::string failure;
  Results results;
  std::vector<double> x = std::vector<double>(8, 0.0);
};

// One engine session: the model, the optimiser, the definition, one
// steady-state run, the results; `tight` sets the reduced space's equation
// and optimisation tolerances far below their defaults; `residual` poses
// the equality as the constraint h = 0.
Outcome Optimise(const std::string& folder_path, std::uint32_t optimizer,
                 const std::vector<double>& start, bool tight = true, bool residual = false) {
  Outcome out;
  vantor_client::EngineOptions engine;
  engine.program = VANTOR_ENGINE;
  engine.timeout_ms = testsupport::HangBoundMs(30000);
  engine.services = {4, 55, 67, 81, 82, 85, 86, 87, 95};
  std::unique_ptr<Client> client;
  std::string why;
  if (status::IsFailure(Client::Start(engine, &client, &why))) {
    out.failure = "the engine did not start: " + why;
    return out;
  }
  vantor_scenario::FirstOrderRun record;
  Road road(*client, &record);
  out.ok = [&] {
    const std::string folder = folder_path + "/";
    if (!road.Expect(MakeCommand(kProblemService, 3, {}, {}, {"HS", folder}), "command 3", 0))
      return false;
    auto create = std::make_unique<Request>(vantor_scenario::kInstanceService);
    Writer c(*create);
    c.U16(5), c.U16(5), c.Placement({Hs()});
    if (!road.Expect(std::move(create), "creating the instance node", 0)) return false;
    auto fill = std::make_unique<Request>(vantor_scenario::kInstanceService);
    Writer f(*fill);
    f.U16(3), f.U16(10), f.IdPath({2});
    if (residual) {
      Hs071WithResidual(f);
    } else {
      Hs071(f);
    }
    if (!road.Expect(std::move(fill), "filling the instance node", 0)) return false;
    if (!road.Expect(MakeCommand(kProblemService, 6, {0, 0}), "command 6", 0)) return false;
    if (!road.WaitNotice(
            [](const Notification& n) { return (n.bits & kPreparedBits) == kPreparedBits; },
            "prepared"))
      return false;
    auto option = std::make_unique<Request>(kOptionService, 8);
    Writer o(*option);
    o.IdPath({80}), o.U16(80), o.U16(0), o.U16(2), o.U32(optimizer);
    if (!road.Expect(std::move(option), "the option Optimizer", 0)) return false;
    if ((optimizer == 1 || optimizer == 3) && tight) {
      // Every point is a steady-state solve: its values are as good as the
      // equation tolerance, and SLSQP stops on the relative change of
      // objective and point.
      auto real = [&](std::uint16_t number, double value, const char* what) {
        auto option = std::make_unique<Request>(kOptionService, 8);
        Writer w(*option);
        w.IdPath({number}), w.U16(number), w.U16(0), w.U16(4), w.F64(value);
        return road.Expect(std::move(option), what, 0);
      };
      if (!real(0, 1e-12, "the option EqnTol") ||
          !real(114, 1e-9, "the option Optimization tolerance"))
        return false;
    }
    if (optimizer == 4 || optimizer == 3) {
      // The full space, and Optimizer 3, run the open NLP solver chosen
      // for optimisation.
      auto solver = std::make_unique<Request>(kProblemService);
      solver->PutUInt16(118);
      solver->PutString(optimizer == 4 ? "kvs_sqpb.dll" : "kvs_sqpa.dll");
      if (!road.Expect(std::move(solver), "the open NLP solver (request 118)", 0)) return false;
    }
    if (!road.Expect(Optimisation([](Writer& w) { w.U16(60), w.U8(1); }), "start (kind 60)", 0))
      return false;
    if (!road.Expect(Optimisation([&](Writer& w) {
                       if (residual) {
                         DefinitionWithEquality(w);
                       } else {
                         Definition(w, start);
                       }
                     }),
                     "the definition (kind 76)", 0))
      return false;
    auto begin = std::make_unique<Request>(kProblemService);
    begin->PutUInt16(31);
    if (!road.Expect(std::move(begin), "beginning the run (request 31)", kBeginRunDone))
      return false;
    if (!road.Expect(MakeCommand(kProblemService, 9), "the steady state (command 9)", 0) ||
        !road.WaitStep(0.0, "the optimisation"))
      return false;
    Status result = 0;
    std::vector<Message> replies;
    // The reduced space repeats the run until the optimum: the reply says
    // when it is there.
    for (int round = 0; round < 600; ++round) {
      replies.clear();
      if (!road.Exchange(Optimisation([](Writer& w) { w.U16(90); }), "results (kind 90)", &result,
                         &replies))
        return false;
      std::uint32_t available = 0;
      if (!replies.empty() && replies[0].body.size() >= 6) {
        std::memcpy(&available, replies[0].body.data() + 2, 4);
      }
      if (available != 0 || optimizer == 4) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (replies.empty() ||
        !ReadResults(replies[0].body, residual ? 4 : 3, residual ? 2 : 3, &out.results)) {
      return road.Fail("the results reply is not as written for this problem");
    }
    for (std::uint32_t k = 1; k <= (residual ? 7u : 6u); ++k) {
      if (!road.Read(k, &out.x[k], "reading a variable")) return false;
    }
    return road.Expect(MakeCommand(kProblemService, 2), "command 2", kEnding);
  }();
  if (out.ok) client->WaitFor([&] { return client->PeerLost(); });
  road.Collect();
  int exit_code = -1;
  client->Close(&exit_code);
  out.failure = record.failure;
  for (const std::string& line : record.events) out.failure += "\n" + line;
  return out;
}

void ExpectOptimum(const Outcome& o, const char* what) {
  ASSERT_TRUE(o.ok) << what << ": " << o.failure;
  EXPECT_EQ(o.results.available, 1u) << what;
  EXPECT_NEAR(o.results.objective, 17.0140172891563, 1e-6 * 17.0140172891563) << what << o.failure;
  const double expected[] = {0, 1.0, 4.7429996, 3.8211500, 1.3794083};
  for (std::size_t k = 1; k <= 4; ++k) EXPECT_NEAR(o.x[k], expected[k], 1e-4) << what << k;
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_NEAR(o.results.value[k], expected[k + 1], 1e-4) << what << k;
  }
  // x1 >= 1 and g >= 25 active, x4 inside its bounds.
  EXPECT_NEAR(o.results.lower[0], 1.08787123, 1e-4) << what;
  EXPECT_NEAR(o.results.upper[0], 0.0, 1e-6) << what;
  EXPECT_NEAR(o.results.lower[1], 0.0, 1e-6) << what;
  EXPECT_NEAR(o.results.multipliers[0], 0.55229366, 1e-4) << what;
  EXPECT_NEAR(o.results.multipliers[1], 0.0, 1e-6) << what;
  EXPECT_NEAR(o.results.multipliers[2], 0.0, 1e-6) << what;
}

}  // namespace

// With the equality left to the optimisation as h = 0 (kind 0), the model
// alone would let the start (f = 16, h = 12) pass for the optimum.
TEST_F(FullSpaceRoad, AnEqualityConstraintHoldsAtTheOptimum) {
  const Outcome o = Optimise(work_.path().string(), 4, {}, true, true);
  ASSERT_TRUE(o.ok) << o.failure;
  EXPECT_EQ(o.results.available, 1u) << o.failure;
  EXPECT_NEAR(o.results.objective, 17.0140172891563, 1e-6 * 17.0140172891563) << o.failure;
  EXPECT_NEAR(o.x[7], 0.0, 1e-7);
  const double expected[] = {0, 1.0, 4.7429996, 3.8211500, 1.3794083};
  for (std::size_t k = 1; k <= 4; ++k) EXPECT_NEAR(o.x[k], expected[k], 1e-4) << k;
  // The records in the order sent: h = 0, then g >= 25.
  EXPECT_NEAR(o.results.constrained[0], 0.0, 1e-7);
  EXPECT_NEAR(o.results.constrained[1], 25.0, 1e-6);
  EXPECT_NEAR(std::fabs(o.results.multipliers[0]), 0.16146856, 1e-4);
  EXPECT_NEAR(o.results.multipliers[1], 0.55229366, 1e-4);
}

TEST_F(FullSpaceRoad, Hs071InTheFullSpaceThroughTheEngine) {
  ExpectOptimum(Optimise(work_.path().string(), 4, {1.0, 5.0, 5.0}), "full space");
}

// Every point's values are only as good as the steady-state solve at the
// default equation tolerance; the optimum must not suffer for it.
TEST_F(FullSpaceRoad, ReducedSpaceAtTheDefaultTolerances) {
  ExpectOptimum(Optimise(work_.path().string(), 1, {1.0, 4.7, 3.8}, false), "default tolerances");
}

// Optimizer 3 computes no sensitivities: the open solver's gradients are
// differences of the runs, and the reduced space still reaches the optimum.
TEST_F(FullSpaceRoad, ReducedSpaceWithoutSensitivitiesByDifferences) {
  ExpectOptimum(Optimise(work_.path().string(), 3, {1.0, 4.7, 3.8}), "differences");
}

// The reduced space differentiates the model through the sensitivities,
// the full space through the NLP: the multipliers of the two must agree.
TEST_F(FullSpaceRoad, ReducedAndFullSpaceMultipliersAgree) {
  const std::string root = work_.path().string();
  std::filesystem::create_directories(root + "/reduced");
  std::filesystem::create_directories(root + "/full");
  // x4 solves x1^2 + ... + x4^2 = 40: the reduced space needs a start
  // where it can.
  const Outcome reduced = Optimise(root + "/reduced", 1, {1.0, 4.7, 3.8});
  const Outcome full = Optimise(root + "/full", 4, {1.0, 4.7, 3.8});
  ASSERT_TRUE(reduced.ok) << reduced.failure;
  ASSERT_TRUE(full.ok) << full.failure;
  ExpectOptimum(reduced, "reduced space");
  EXPECT_NEAR(reduced.results.objective, full.results.objective, 1e-6 * full.results.objective)
      << reduced.failure;
  ASSERT_EQ(reduced.results.lower.size(), full.results.lower.size());
  for (std::size_t k = 0; k < full.results.lower.size(); ++k) {
    EXPECT_NEAR(reduced.results.lower[k], full.results.lower[k], 1e-4) << k;
    EXPECT_NEAR(reduced.results.upper[k], full.results.upper[k], 1e-4) << k;
  }
  for (std::size_t k = 0; k < full.results.multipliers.size(); ++k) {
    EXPECT_NEAR(reduced.results.multipliers[k], full.results.multipliers[k], 1e-4) << k;
  }
}

#endif
