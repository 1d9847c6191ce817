// The simulation time and delayed values through the real engine: a
// forcing in "Time" against its closed form, an IF on the time that switches
// where it should, a lag solved for, delayed values that a snapshot brings
// back into a fresh engine, delays that leave the other states alone, and
// delayed steps that neither undershoot nor overshoot: each a step at its
// time, whether an event, a re-initialisation or a set-item made it, and
// again after a snapshot restore.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/hang_bound.h"
#include "tests/tools/engine_road_fixture.h"
#include "tests/tools/time_models.h"
#include "tools/result_replies.h"

namespace simtime {

namespace fs = std::filesystem;

using engineroad::ModelEquation;
using engineroad::ModelVariable;
using modelwriter::Add;
using modelwriter::Delay;
using modelwriter::Mul;
using modelwriter::Real;
using modelwriter::Sub;
using modelwriter::Time;
using modelwriter::Var;
using modelwriter::Writer;
using vantor_client::MakeCommand;

using timemodels::kFree;
using timemodels::kInitial;
constexpr std::uint16_t kFixed = 4;

class TimeRoad : public engineroad::EngineRoad {
 protected:
  struct Settings {
    double interval = 0.1;
    double tol = 1e-8;
    // Library conditions, each at its index below the root.
    std::vector<std::pair<std::uint32_t, modelwriter::Expr>> conditions;
  };
  // A dynamic run of `model` named `name`, prepared.
  bool Start(const std::string& name, const Settings& s, const std::function<void(Writer&)>& model) {
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(60000);
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    if (!StartEngine(engine, name) ||
        !road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {s.interval}),
                       "command 32", 0) ||
        !IntOption(30, 4) || !RealOption(130, s.tol) || !RealOption(131, s.tol) ||
        !IntOption(29, 4))
      return false;
    return Conditions(s.conditions) && Load(model);
  }
  // The ids and names in the run's snapshot list (request 19).
  std::vector<std::pair<std::uint32_t, std::string>> Snapshots() {
    auto ask = std::make_unique<vantor_client::Request>(engineroad::kResultsService);
    ask->PutUInt16(19);
    std::vector<vantor_client::Message> replies;
    Status status = 1;
    std::vector<vantor_client::SnapshotEntry> entries;
    if (!road_->Exchange(std::move(ask), "request 19", &status, &replies) || status != 0 ||
        replies.empty() || !vantor_client::DecodeSnapshotList(replies[0].body, 0, &entries))
      Fail("request 19");
    std::vector<std::pair<std::uint32_t, std::string>> list;
    for (const auto& entry : entries) list.emplace_back(entry.id, entry.name);
    return list;
  }
  // Asks again until the run has taken the snapshot of that name (up to
  // the client's time-out: the passes until then take what the machine
  // gives them).
  bool AwaitSnapshot(const std::string& name) {
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(client_->TimeoutMs());
    while (std::chrono::steady_clock::now() < until) {
      for (const auto& entry : Snapshots())
        if (entry.second == name) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Fail("no snapshot " + name);
  }
  // Command 1 with the snapshot of that name; true once the run rests at
  // its time.
  bool RestoreSnapshot(const std::string& name, double time) {
    std::uint32_t id = 0;
    for (const auto& [number, entry] : Snapshots())
      if (entry == name) id = number;
    if (id == 0) return Fail("no snapshot " + name);
    return road_->Expect(
               MakeCommand(engineroad::kResultsService, 1, {static_cast<std::int32_t>(id)}),
               "command 1", 0) &&
           road_->WaitNotice(
               [time](const vantor_scenario::Notification& n) {
                 return (n.bits & vantor_scenario::kRunningBit) == 0 &&
                        std::fabs(n.time - time) < 1e-9;
               },
               "resting at " + std::to_string(time));
  }
  double Value(std::uint32_t index) {
    double value = std::nan("");
    road_->Read(index, &value, "reading (2, " + std::to_string(index) + ")");
    return value;
  }
};

using timemodels::ClockedIf;
using timemodels::ClockedU;
using timemodels::ClockedSwitch;
using timemodels::Forced;

TEST_F(TimeRoad, AForcingInTimeFollowsItsClosedForm) {
  Settings s;
  s.interval = timemodels::kForcedInterval;
  ASSERT_TRUE(Start("Forced", s, Forced)) << Failure() << Events();
  ASSERT_TRUE(BeginRun() && Step(0.0)) << Failure();
  timemodels::ExpectForcedRun([&](double t) { return Step(t); }, [&] { return Value(1); });
  ASSERT_FALSE(HasFatalFailure()) << Failure() << Events();
  EXPECT_TRUE(FinishRun()) << Failure();
}

TEST_F(TimeRoad, AConditionOnTheTimeChangesBranchAtItsTime) {
  struct Case {
    void (*model)(Writer&);
    const char* line;
  };
  for (const Case c : {Case{ClockedIf, "Equation Model.Clock moved from ELSE branch to THEN branch"},
                       Case{ClockedSwitch, "Equation Model.Clock moved from Slow to Fast"}}) {
    Settings s;
    s.interval = 0.5;
    s.conditions = timemodels::ClockConditions();
    ASSERT_TRUE(Start("Clocked", s, c.model)) << Failure() << Events();
    ASSERT_TRUE(BeginRun() && Step(0.0)) << Failure();
    std::vector<double> stops;
    ASSERT_TRUE(StepTo(0.5, &stops)) << c.line << ": " << Failure() << Events();
    ASSERT_EQ(stops.size(), 1u) << c.line << "\n" << Events();
    EXPECT_NEAR(stops[0], 0.3, 1e-5) << c.line;
    EXPECT_NEAR(Value(1), 0.7, 1e-6) << c.line;
    EXPECT_NEAR(Value(2), 2.0, 1e-12) << c.line;
    EXPECT_NE(Events().find(c.line), std::string::npos) << Events();
    ASSERT_TRUE(StepTo(1.0, &stops)) << Failure();
    EXPECT_NEAR(Value(1), 1.7, 1e-6) << c.line;
    EXPECT_TRUE(FinishRun()) << Failure();
  }
}

// x' = 1 from 0, and the lag L of DELAY(x, L) = x / 2 solved for: L = t / 2.
void Lagged(Writer& w) {
  w.List(4);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 0.0, kInitial);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".L", 0.0, kFree);
  ModelEquation(w, 10, ".clock", Sub(Var(0), Real(1.0)), {{2, 1, 1}});
  ModelEquation(w, 11, ".lag", Sub(Delay(Var(0), Var(1)), Mul(Real(0.5), Var(0))),
                {{2, 1}, {2, 2}});
}

TEST_F(TimeRoad, TheLagOfADelayIsSolvedFor) {
  Settings s;
  s.interval = 0.02;
  ASSERT_TRUE(Start("Lagged", s, Lagged)) << Failure() << Events();
  ASSERT_TRUE(BeginRun() && Step(0.0)) << Failure();
  for (const double t : {0.02, 0.04, 0.06}) {
    ASSERT_TRUE(Step(t)) << Failure() << Events();
    EXPECT_NEAR(Value(2), t / 2, 1e-6) << "t = " << t;
  }
  EXPECT_TRUE(FinishRun()) << Failure();
}

// x' = x from 1 and y = DELAY(x, 0.5): y = exp(t - 0.5) from t = 0.5.
void Delayed(Writer& w) {
  w.List(4);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 1.0, kInitial);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".y", 1.0, kFree);
  ModelEquation(w, 10, ".grow", Sub(Var(0), Var(1)), {{2, 1, 1}, {2, 1}});
  ModelEquation(w, 11, ".late", Sub(Var(0), Delay(Var(1), Real(0.5))), {{2, 2}, {2, 1}});
}

// Interpolated between the recorded steps: rows at least every 0.05.
constexpr double kDelayedNear = 1e-4;

TEST_F(TimeRoad, ASnapshotBringsTheDelayHistoryIntoAFreshEngine) {
  Settings s;
  ASSERT_TRUE(Start("Delayed", s, Delayed)) << Failure() << Events();
  ASSERT_TRUE(RealOption(141, 0.05)) << Failure();
  ASSERT_TRUE(BeginRun() && Step(0.0)) << Failure();
  for (int k = 1; k <= 10; ++k) ASSERT_TRUE(Step(0.1 * k)) << Failure() << Events();
  EXPECT_NEAR(Value(2), std::exp(0.5), kDelayedNear);
  ASSERT_TRUE(road_->Expect(MakeCommand(engineroad::kResultsService, 15, {0}, {}, {"At 1"}),
                            "command 15", 0));
  ASSERT_TRUE(AwaitSnapshot("At 1")) << Failure();
  // The run ends as a crashed engine would leave it: its file is kept.
  const fs::path file = work_.path() / "Delayed" / "snapshot.snp";
  const fs::path kept = work_.path() / "kept.snp";
  ASSERT_TRUE(fs::exists(file));
  fs::copy_file(file, kept);
  ASSERT_TRUE(FinishRun()) << Failure();
  fs::copy_file(kept, file, fs::copy_options::overwrite_existing);

  // The fresh engine's run starts from the file's newest snapshot.
  ASSERT_TRUE(Start("Delayed", s, Delayed)) << Failure() << Events();
  ASSERT_TRUE(RealOption(141, 0.05)) << Failure();
  ASSERT_TRUE(BeginRun()) << Failure();
  ASSERT_NE(Events().find("Successfully reused last snapshot."), std::string::npos) << Events();
  EXPECT_NEAR(road_->Last().time, 1.0, 1e-9);
  EXPECT_NEAR(Value(1), std::exp(1.0), 1e-6);
  // Each step reads the history of the first engine's last half unit.
  auto on_from_one = [&](double to) {
    for (double t = 1.0; t < to + 0.05; t += 0.1) {
      if (!Step(t)) return false;
      EXPECT_NEAR(Value(2), std::exp(t - 0.5), kDelayedNear * std::exp(t)) << "t = " << t;
    }
    return true;
  };
  ASSERT_TRUE(on_from_one(1.4)) << Failure() << Events();
  // The client takes the run back to the snapshot: the history of its time
  // comes with it.
  ASSERT_TRUE(RestoreSnapshot("At 1", 1.0)) << Failure();
  ASSERT_TRUE(on_from_one(1.2)) << Failure() << Events();
  EXPECT_TRUE(FinishRun()) << Failure();
}

// y' = -yd, yd = DELAY(y, 1), y = 1 up to 0.
void FedBack(Writer& w) {
  w.List(4);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".y", 1.0, kInitial);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".yd", 1.0, kFree);
  ModelEquation(w, 10, ".fall", Add(Var(0), Var(1)), {{2, 1, 1}, {2, 2}});
  ModelEquation(w, 11, ".late", Sub(Var(0), Delay(Var(1), Real(1.0))), {{2, 2}, {2, 1}});
}

// The history's first row is a break: a lag later y' steps, and the run
// starts again there, as at each break after it. A snapshot taken before
// it brought the rows into a fresh engine but not the break, which then
// stepped across it: y was 0.6 tolerances off from t = 1.1 on and 2.7 at
// t = 3, where one engine keeps within 0.12. With a snapshot before the
// first break and one between the first and the second, the fresh engine
// follows the one that took the snapshot.
TEST_F(TimeRoad, ASnapshotBeforeABreakBringsTheBreak) {
  Settings s;
  constexpr int kPoints = 30;
  for (const int taken : {5, 15}) {
    const std::string name = "FedBack" + std::to_string(taken);
    SCOPED_TRACE("snapshot at " + std::to_string(taken * s.interval));
    ASSERT_TRUE(Start(name, s, FedBack)) << Failure() << Events();
    ASSERT_TRUE(BeginRun() && Step(0.0)) << Failure();
    const fs::path file = work_.path() / name / "snapshot.snp";
    const fs::path kept = work_.path() / (name + ".snp");
    std::vector<double> one{1.0};
    for (int k = 1; k <= kPoints; ++k) {
      ASSERT_TRUE(Step(k * s.interval)) << Failure() << Events();
      one.push_back(Value(1));
      if (k != taken) continue;
      ASSERT_TRUE(road_->Expect(MakeCommand(engineroad::kResultsService, 15, {0}, {}, {"Early"}),
                                "command 15", 0));
      ASSERT_TRUE(AwaitSnapshot("Early")) << Failure();
      ASSERT_TRUE(fs::exists(file));
      fs::copy_file(file, kept);
    }
    ASSERT_TRUE(FinishRun()) << Failure();
    fs::copy_file(kept, file, fs::copy_options::overwrite_existing);

    ASSERT_TRUE(Start(name, s, FedBack)) << Failure() << Events();
    ASSERT_TRUE(BeginRun()) << Failure();
    ASSERT_NE(Events().find("Successfully reused last snapshot."), std::string::npos) << Events();
    ASSERT_NEAR(road_->Last().time, taken * s.interval, 1e-9);
    ASSERT_TRUE(Step(taken * s.interval)) << Failure() << Events();
    for (int k = taken + 1; k <= kPoints; ++k) {
      ASSERT_TRUE(Step(k * s.interval)) << Failure() << Events();
      const double y = Value(1);
      const double unit = s.tol * std::max(1.0, std::fabs(y)) + s.tol;
      EXPECT_NEAR(y, one[static_cast<std::size_t>(k)], 0.2 * unit) << "t = " << k * s.interval;
    }
    EXPECT_TRUE(FinishRun()) << Failure();
  }
}

// An edit prepared again keeps its delays: the history starts anew at the
// edit, and each choice of command 29 leads there.
TEST_F(TimeRoad, ADelayDelaysAgainAfterTheProblemIsPreparedAgain) {
  for (const std::int32_t keep : {0, 1}) {
    SCOPED_TRACE("command 29 with " + std::to_string(keep));
    Settings s;
    ASSERT_TRUE(Start("Delayed", s, Delayed)) << Failure() << Events();
    ASSERT_TRUE(RealOption(141, 0.05)) << Failure();
    ASSERT_TRUE(BeginRun() && Step(0.0)) << Failure();
    for (int k = 1; k <= 10; ++k) ASSERT_TRUE(Step(0.1 * k)) << Failure() << Events();
    auto edit = vantor_scenario::InstanceEdit(3, 10);
    Writer w(*edit);
    w.IdPath({2});
    w.List(1);
    ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 2.0, kInitial);
    ASSERT_TRUE(road_->Expect(std::move(edit), "x := 2", 0) &&
                road_->Expect(MakeCommand(engineroad::kProblemService, 29, {keep}), "command 29",
                              0) &&
                vantor_scenario::Prepare(*road_, "command 6"))
        << Failure() << Events();
    // The run goes on from the time of the edit.
    const double start = 1.0;
    ASSERT_TRUE(BeginRun() && Step(start)) << Failure() << Events();
    const double x0 = Value(1);
    EXPECT_NEAR(x0, 2.0, 1e-9);
    for (int k = 1; k <= 8; ++k) {
      const double t = start + 0.1 * k;
      ASSERT_TRUE(Step(t)) << Failure() << Events();
      const double late = t - start < 0.5 ? x0 : x0 * std::exp(t - start - 0.5);
      EXPECT_NEAR(Value(2), late, kDelayedNear * late) << "t = " << t;
    }
    EXPECT_TRUE(FinishRun()) << Failure();
  }
}

}  // namespace simtime

namespace simtime {

// p' = -1.3 p from 1, and, with `delays`, q' = -q from 1 with
// d1 = DELAY(q, 0.2) and d2 = DELAY(q, 0.5).
void Unrelated(Writer& w, bool delays) {
  w.List(delays ? 8 : 2);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".p", 1.0, kInitial);
  ModelEquation(w, 10, ".decay", Add(Var(0), Mul(Real(1.3), Var(1))), {{2, 1, 1}, {2, 1}});
  if (!delays) return;
  ModelVariable(w, modelwriter::kStateVariable, 2, ".q", 1.0, kInitial);
  ModelVariable(w, modelwriter::kRealVariable, 3, ".d1", 1.0, kFree);
  ModelVariable(w, modelwriter::kRealVariable, 4, ".d2", 1.0, kFree);
  ModelEquation(w, 11, ".fall", Add(Var(0), Var(1)), {{2, 2, 1}, {2, 2}});
  ModelEquation(w, 12, ".late1", Sub(Var(0), Delay(Var(1), Real(0.2))), {{2, 3}, {2, 2}});
  ModelEquation(w, 13, ".late2", Sub(Var(0), Delay(Var(1), Real(0.5))), {{2, 4}, {2, 2}});
}

TEST_F(TimeRoad, DelaysLeaveTheOtherStatesAsAccurate) {
  double error[2] = {0.0, 0.0};
  for (const bool delays : {false, true}) {
    Settings s;
    s.interval = 0.5;
    s.tol = 1e-9;
    ASSERT_TRUE(Start("Unrelated", s, [&](Writer& w) { Unrelated(w, delays); }))
        << Failure() << Events();
    ASSERT_TRUE(BeginRun() && Step(0.0)) << Failure();
    for (int k = 1; k <= 4; ++k) {
      const double t = 0.5 * k;
      ASSERT_TRUE(Step(t)) << Failure() << Events();
      error[delays] = std::max(error[delays], std::fabs(Value(1) - std::exp(-1.3 * t)));
      if (delays && t >= 0.5) {
        EXPECT_NEAR(Value(3), std::exp(-(t - 0.2)), 1e-6) << "t = " << t;
        EXPECT_NEAR(Value(4), std::exp(-(t - 0.5)), 1e-6) << "t = " << t;
      }
    }
    ASSERT_TRUE(FinishRun()) << Failure();
  }
  std::printf("p off by %.3g without the delays, %.3g with them\n", error[0], error[1]);
  EXPECT_LT(error[0], 1e-7);
  EXPECT_LT(error[1], 3 * error[0] + 1e-9);
}

}  // namespace simtime

namespace simtime {

// x' = u with u = 1 once Time > 0.5, else 0, and y_k = DELAY(u, 0.2 +
// 0.001 k) for k = 0..9 (indices 40..49): steps from 0 to 1 at 0.7 to
// 0.709, x = t - 0.5 from 0.5. Their lags comb the first step after the
// event.
constexpr int kLags = 10;

void DelayedSteps(Writer& w) {
  w.List(4 + 2 * kLags);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 0.0, kInitial);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".u", 0.0, kFree);
  ModelEquation(w, 10, ".rate", Sub(Var(0), Var(1)), {{2, 1, 1}, {2, 2}});
  for (std::uint32_t k = 0; k < kLags; ++k) {
    const std::string y = ".y" + std::to_string(k);
    ModelVariable(w, modelwriter::kRealVariable, 40 + k, y, 0.0, kFree);
    ModelEquation(w, 60 + k, ".late" + std::to_string(k),
                  Sub(Var(0), Delay(Var(1), Real(0.2 + 0.001 * k))), {{2, 40 + k}, {2, 2}});
  }
  ClockedU(w, 1.0, 0.0);
}

TEST_F(TimeRoad, DelayedStepsStayBetweenTheirLevels) {
  Settings s;
  s.interval = 0.01;
  s.conditions = {{1, modelwriter::Greater(Time(), Real(0.5))}};
  ASSERT_TRUE(Start("DelayedSteps", s, DelayedSteps)) << Failure() << Events();
  ASSERT_TRUE(RealOption(141, 0.05)) << Failure();
  ASSERT_TRUE(BeginRun() && Step(0.0)) << Failure();
  std::vector<double> stops;
  double before[kLags] = {};
  for (int n = 1; n <= 100; ++n) {
    const double t = 0.01 * n;
    ASSERT_TRUE(StepTo(t, &stops)) << Failure() << Events();
    for (std::uint32_t k = 0; k < kLags; ++k) {
      const double y = Value(40 + k);
      EXPECT_GE(y, -1e-6) << "y" << k << " at " << t;
      EXPECT_LE(y, 1.0 + 1e-6) << "y" << k << " at " << t;
      EXPECT_GE(y, before[k] - 1e-6) << "y" << k << " at " << t;
      before[k] = y;
      // A step at the event's time plus the lag (to the event's
      // tolerance), not a ramp over the first step after the event.
      const double jump = stops.empty() ? 1.0 : stops[0] + 0.2 + 0.001 * k;
      if (std::fabs(t - jump) > 1e-6) {
        EXPECT_NEAR(y, t < jump ? 0.0 : 1.0, 1e-9) << "y" << k << " at " << t;
      }
    }
  }
  ASSERT_EQ(stops.size(), 1u) << Events();
  EXPECT_NEAR(stops[0], 0.5, 1e-5);
  EXPECT_NEAR(Value(1), 0.5, 1e-5);
  EXPECT_TRUE(FinishRun()) << Failure();
}

}  // namespace simtime

namespace simtime {

// Offsets o_k of the lags from a reporting point.
constexpr double kStraddles[] = {-1e-3, -1e-4, -1e-5, 1e-5, 1e-4, 1e-3};

// x' = u from 0 with u (index 2) of the given kind, and y_k = DELAY(u,
// lag + o_k) (indices 40..45): fifteen items.
void StraddledDelays(Writer& w, std::uint16_t u_kind, double lag) {
  ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 0.0, kInitial);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".u", 0.0, u_kind);
  ModelEquation(w, 10, ".rate", Sub(Var(0), Var(1)), {{2, 1, 1}, {2, 2}});
  for (std::uint32_t k = 0; k < 6; ++k) {
    ModelVariable(w, modelwriter::kRealVariable, 40 + k, ".y" + std::to_string(k), 0.0, kFree);
    ModelEquation(w, 60 + k, ".late" + std::to_string(k),
                  Sub(Var(0), Delay(Var(1), Real(lag + kStraddles[k]))), {{2, 40 + k}, {2, 2}});
  }
}

// u = 1 once Time > 0.5, else 0; lags 0.22 + o_k: the steps fall on either
// side of the reporting point 0.72; and w = DELAY(y_1, 0.1) (index 50),
// whose step follows y_1's by 0.1, at 0.8199.
void StraddledSteps(Writer& w) {
  w.List(15 + 3);
  StraddledDelays(w, kFree, 0.22);
  ModelVariable(w, modelwriter::kRealVariable, 50, ".w", 0.0, kFree);
  ModelEquation(w, 70, ".later", Sub(Var(0), Delay(Var(1), Real(0.1))), {{2, 50}, {2, 41}});
  ClockedU(w, 1.0, 0.0);
}

// Each delayed step of StraddledSteps at every reporting point from `from`
// to 0.85: 0 before the event's time plus the lag, 1 after it, exactly.
void ExpectStraddledSteps(int from, double event, const std::function<bool(double)>& step,
                          const std::function<double(std::uint32_t)>& value) {
  for (int n = from; n <= 85; ++n) {
    const double t = 0.01 * n;
    ASSERT_TRUE(step(t)) << "t = " << t;
    for (std::uint32_t k = 0; k < 6; ++k) {
      const double jump = event + 0.22 + kStraddles[k];
      EXPECT_EQ(value(40 + k), t < jump ? 0.0 : 1.0) << "y" << k << " at " << t;
    }
    EXPECT_EQ(value(50), t < event + 0.3199 ? 0.0 : 1.0) << "w at " << t;
  }
}

// The event at 0.5 steps u; its delays step at 0.5 plus their lags, 1e-5
// either side of a reporting point told apart, and a delay of a delayed
// step steps as sharply. So whether the integrator finishes at the event
// and starts again, or the run re-initialises there; and a snapshot taken
// between the event and the delayed steps brings the history back whole.
TEST_F(TimeRoad, ADelayedStepStepsAtItsTime) {
  for (const bool reinitialise : {false, true}) {
    SCOPED_TRACE(reinitialise ? "re-initialised at the event" : "restarted by the integrator");
    Settings s;
    s.interval = 0.01;
    s.conditions = {{1, modelwriter::Greater(Time(), Real(0.5))}};
    ASSERT_TRUE(Start("Straddled", s, StraddledSteps)) << Failure() << Events();
    ASSERT_TRUE(RealOption(141, 0.05)) << Failure();
    if (reinitialise) {
      // Located by the engine's bisection, to well inside the 1e-5 that
      // the reporting points test.
      ASSERT_TRUE(IntOption(144, 1) && IntOption(145, 1) && RealOption(156, 1e-9)) << Failure();
    }
    ASSERT_TRUE(BeginRun() && Step(0.0)) << Failure();
    std::vector<double> stops;
    for (int n = 1; n <= 60; ++n) ASSERT_TRUE(StepTo(0.01 * n, &stops)) << Failure() << Events();
    // The event, and the re-initialisation at its time.
    ASSERT_EQ(stops.size(), reinitialise ? 2u : 1u) << Events();
    const double event = stops[0];
    EXPECT_NEAR(event, 0.5, 1e-8);
    EXPECT_EQ(stops.back(), event);
    auto step = [&](double t) { return StepTo(t, &stops); };
    auto value = [&](std::uint32_t index) { return Value(index); };
    if (reinitialise) {
      ExpectStraddledSteps(61, event, step, value);
      EXPECT_NEAR(Value(1), 0.35, 1e-6);
      ASSERT_TRUE(FinishRun()) << Failure();
      continue;
    }
    ASSERT_TRUE(road_->Expect(MakeCommand(engineroad::kResultsService, 15, {0}, {}, {"At 0.6"}),
                              "command 15", 0));
    ASSERT_TRUE(AwaitSnapshot("At 0.6")) << Failure();
    ExpectStraddledSteps(61, event, step, value);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(RestoreSnapshot("At 0.6", 0.6)) << Failure();
    EXPECT_NEAR(Value(1), 0.1, 1e-6);
    ExpectStraddledSteps(61, event, step, value);
    EXPECT_NEAR(Value(1), 0.35, 1e-6);
    ASSERT_TRUE(FinishRun()) << Failure();
  }
}

// u fixed at 0, set to 1 by the client at t = 0.3; y_k = DELAY(u, 0.2 +
// o_k) (indices 40..45): the values before the set-item stay in the history
// at 0.3 beside those after it, so each delay steps at 0.5 + o_k.
void SetInput(Writer& w) {
  w.List(15);
  StraddledDelays(w, kFixed, 0.2);
}

TEST_F(TimeRoad, AValueSetByTheClientStepsItsDelaysAtTheirTimes) {
  Settings s;
  s.interval = 0.01;
  ASSERT_TRUE(Start("SetInput", s, SetInput)) << Failure() << Events();
  ASSERT_TRUE(RealOption(141, 0.05)) << Failure();
  ASSERT_TRUE(BeginRun() && Step(0.0)) << Failure();
  for (int n = 1; n <= 60; ++n) {
    const double t = 0.01 * n;
    ASSERT_TRUE(Step(t)) << Failure() << Events();
    if (n == 30) {
      auto set = std::make_unique<vantor_client::Request>(engineroad::kResultsService, 8);
      vantor_client::PutSetReal(*set, {2, 2}, 1, 1.0);
      ASSERT_TRUE(road_->Expect(std::move(set), "set-item", 0)) << Failure();
      ASSERT_TRUE(Step(t)) << "the re-initialisation: " << Failure() << Events();
      EXPECT_EQ(Value(2), 1.0);
    }
    for (std::uint32_t k = 0; k < 6; ++k) {
      EXPECT_EQ(Value(40 + k), t < 0.5 + kStraddles[k] ? 0.0 : 1.0) << "y" << k << " at " << t;
    }
  }
  EXPECT_NEAR(Value(1), 0.3, 1e-6);
  EXPECT_TRUE(FinishRun()) << Failure();
}

}  // namespace simtime
