// Monitors of every kind but time (which the action road drives) through
// the real engine: each is made over service 67 before a continuous run of
// x' = -k x, fires where the closed form says, reports x there, and stops
// the run with its follow-on. The client answers each firing; all but the
// last arm the monitor again and let the run go on.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/tools/run_road_fixture.h"
#include "tools/action_messages.h"

namespace monitors {

using engineroad::kProblemService;
using modelwriter::Greater;
using modelwriter::Real;
using modelwriter::Var;
using vantor_client::Bytes;
using vantor_client::MakeCommand;
using vantor_client::MonitorSpec;

struct Firing {
  double time = -1.0;  // of the reported values
  double x = std::nan("");
};

class MonitorsRoad : public runroad::RunRoad {
 protected:
  // Starts the decay with rate 1, makes the monitor and runs (command 9)
  // until it has fired `firings` times; the run then rests.
  bool RunUntilFired(const MonitorSpec& spec, const Bytes& own, std::size_t firings) {
    return RunUntilFired(spec, own, firings,
                         [](modelwriter::Writer& w) { engineroad::DecayModel(w, ".k", 1.0); });
  }
  bool RunUntilFired(const MonitorSpec& spec, const Bytes& own, std::size_t firings,
                     const std::function<void(modelwriter::Writer&)>& model) {
    const Bytes body = vantor_client::MonitorBody(spec, own);
    if (!Start(spec.name, 0, model) || !BeginRun()) return false;
    client_->SetRequestHandler([&](const vantor_client::Message& m, std::optional<Bytes>* reply) {
      vantor_client::ActionMessage decoded;
      if (m.type != vantor_client::kActionService ||
          !vantor_client::DecodeActionMessage(body, m.body, true, &decoded) ||
          decoded.mark != vantor_client::kFiredMark)
        return Status{0};
      Firing firing;
      if (decoded.has_sample && decoded.values.size() == 1) {
        firing.time = decoded.sample_time;
        firing.x = decoded.values[0].real;
      }
      fired_.push_back(firing);
      const bool last = fired_.size() >= firings;
      *reply = vantor_client::MonitorReply(decoded.handle, last ? 0 : 1,
                                           last ? vantor_client::kStopRun : vantor_client::kGoOn);
      return Status{0};
    });
    Status created = 1;
    std::vector<vantor_client::Message> replies;
    std::uint64_t handle = 0;
    if (!road_->Exchange(vantor_client::ActionRequest(body), "the monitor", &created, &replies))
      return false;
    if (status::IsFailure(created) || replies.empty() ||
        !vantor_client::CreatedHandle(replies[0].body, &handle))
      return Fail("the monitor: " + vantor_scenario::Hex(created));
    if (!road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0)) return false;
    return road_->WaitNotice(
        [&](const vantor_scenario::Notification& n) {
          return fired_.size() >= firings && (n.bits & vantor_scenario::kRunningBit) == 0;
        },
        "the run stopped by the monitor");
  }
  static MonitorSpec Spec(const std::string& name, std::uint16_t kind) {
    MonitorSpec spec;
    spec.name = name;
    spec.kind = kind;
    spec.hook_point = 12;
    spec.tags = {kind};
    spec.reported = {{2, 2}};  // x
    return spec;
  }
  // Where the run rests, and x there, as the firing said.
  void ExpectRestingAtTheLastFiring(double time, double tolerance, std::uint32_t x_index = 2) {
    ASSERT_FALSE(fired_.empty());
    EXPECT_NEAR(road_->Last().time, time, tolerance);
    EXPECT_NEAR(fired_.back().time, time, tolerance);
    double x = std::nan("");
    ASSERT_TRUE(road_->Read(x_index, &x, "reading x")) << Failure();
    EXPECT_NEAR(fired_.back().x, x, 1e-12);
  }
  // "0.5 > x": true once x = exp(-t) is below one half, from t = ln 2.
  static Bytes BelowOneHalf() {
    return vantor_client::ExpressionMonitorOwn(Greater(Real(0.5), Var(0)), true, "Model",
                                               {{"x", {2, 2}}});
  }

  // The rate k ramped from 1 to 2 over [0, 1] in the mode: the run rests
  // at the end event with x there as the mode's closed form says, k at 2.
  void RampsTheRateTo(std::uint8_t mode, double x) {
    ASSERT_TRUE(RunUntilFired(Spec("Ramp" + std::to_string(mode), 5),
                              vantor_client::RampMonitorOwn("Model.k", 1.0, 1.0, 2.0, true, mode),
                              1))
        << Failure() << Events();
    ExpectRestingAtTheLastFiring(1.0, 1e-9);
    EXPECT_NEAR(X(), x, 1e-6);
    double k = 0.0;
    ASSERT_TRUE(road_->Read(1, &k, "reading k")) << Failure();
    EXPECT_EQ(k, 2.0);
    EXPECT_TRUE(FinishRun()) << Failure();
  }

  std::vector<Firing> fired_;
};

// Plain: fires at its first check, the first collected step.
TEST_F(MonitorsRoad, APlainMonitorFiresAtTheFirstStep) {
  ASSERT_TRUE(RunUntilFired(Spec("Plain", 1), {}, 1)) << Failure() << Events();
  ASSERT_EQ(fired_.size(), 1u);
  ExpectRestingAtTheLastFiring(0.1, 1e-9);
  EXPECT_NEAR(X(), std::exp(-0.1), 1e-6);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// Step: every third communication point, counting again once armed again.
TEST_F(MonitorsRoad, AStepMonitorFiresAtEveryThirdPoint) {
  ASSERT_TRUE(RunUntilFired(Spec("Steps", 3), vantor_client::StepMonitorOwn(3), 2))
      << Failure() << Events();
  ASSERT_EQ(fired_.size(), 2u);
  EXPECT_NEAR(fired_[0].time, 0.3, 1e-9);
  EXPECT_NEAR(fired_[0].x, std::exp(-0.3), 1e-6);
  ExpectRestingAtTheLastFiring(0.6, 1e-9);
  EXPECT_NEAR(X(), std::exp(-0.6), 1e-6);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// Expression, edge-triggered: at the first point where x is below one
// half, t = 0.7 (ln 2 = 0.693 lies inside the step before).
TEST_F(MonitorsRoad, AnExpressionMonitorFiresAtTheFirstPointPastItsRise) {
  ASSERT_TRUE(RunUntilFired(Spec("Expression", 4), BelowOneHalf(), 1)) << Failure() << Events();
  ExpectRestingAtTheLastFiring(0.7, 1e-9);
  EXPECT_NEAR(X(), std::exp(-0.7), 1e-6);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// Implicit: the integrator locates the crossing itself, at t = ln 2.
TEST_F(MonitorsRoad, AnImplicitMonitorFiresAtTheLocatedCrossing) {
  ASSERT_TRUE(RunUntilFired(Spec("Crossing", 6), BelowOneHalf(), 1)) << Failure() << Events();
  ExpectRestingAtTheLastFiring(std::log(2.0), 1e-4);
  EXPECT_NEAR(X(), 0.5, 1e-4);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// x' = -y, y' = x from (1, 0): x = cos t goes below 0 at pi/2 and again
// at 5 pi/2, each time after coming back above it.
void Circle(modelwriter::Writer& w) {
  using engineroad::ModelEquation;
  using engineroad::ModelVariable;
  using modelwriter::Add;
  using modelwriter::Sub;
  w.List(4);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 1.0, 32);
  ModelVariable(w, modelwriter::kStateVariable, 2, ".y", 0.0, 32);
  ModelEquation(w, 10, ".ex", Add(Var(0), Var(1)), {{2, 1, 1}, {2, 2}});
  ModelEquation(w, 11, ".ey", Sub(Var(0), Var(1)), {{2, 2, 1}, {2, 1}});
}

// Armed again after its crossing, it leaves the schedule until then and
// fires at the next rise only.
TEST_F(MonitorsRoad, AnImplicitMonitorArmedAgainFiresAtTheNextRise) {
  MonitorSpec spec = Spec("Circle", 6);
  spec.reported = {{2, 1}};
  const Bytes below = vantor_client::ExpressionMonitorOwn(Greater(Real(0.0), Var(0)), true, "Model",
                                                          {{"x", {2, 1}}});
  ASSERT_TRUE(RunUntilFired(spec, below, 2, Circle)) << Failure() << Events();
  const double pi = std::acos(-1.0);
  ASSERT_EQ(fired_.size(), 2u);
  EXPECT_NEAR(fired_[0].time, pi / 2, 1e-4);
  EXPECT_NEAR(fired_[0].x, 0.0, 1e-4);
  ExpectRestingAtTheLastFiring(5 * pi / 2, 1e-4, 1);
  EXPECT_NEAR(fired_.back().x, 0.0, 1e-4);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// Ramp of the rate k from 1 to 2 over [0, 1], set at each point: the run
// holds k = 1, 1.1, ..., 1.9 over the ten steps, so x(1) = exp(-1.45), and
// at its end event k is 2.
TEST_F(MonitorsRoad, ARampMonitorDrivesItsVariableAndFiresAtItsEnd) {
  RampsTheRateTo(1, std::exp(-1.45));
}

// The same ramp with the run (mode 2): the problem drives k = 1 + t at
// every time the integrator takes, so x(1) = exp(-1.5), and k ends at 2.
TEST_F(MonitorsRoad, ARampWithTheRunDrivesItsVariableAtEveryTime) {
  RampsTheRateTo(2, std::exp(-1.5));
}

}  // namespace monitors
