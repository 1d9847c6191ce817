// Profile reports through the real engine and the vantor client: the
// values of the recorded variables at even intervals or at given times,
// taken from the plot history of a first-order lag and checked against its
// closed form.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/result_replies.h"
#include "tools/road.h"

namespace profileroad {

using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::kResultsService;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using modelwriter::Writer;
using vantor_client::MakeCommand;

constexpr std::uint16_t kFixed = 4;
constexpr std::uint16_t kFree = 1;
constexpr double kInterval = 0.1;

// x' = u - x and y = 2 x: u fixed (index 1), x the state (2), y (3).
void Lag(Writer& w) {
  using modelwriter::Mul;
  using modelwriter::Real;
  using modelwriter::Sub;
  using modelwriter::Var;
  w.List(5);
  ModelVariable(w, modelwriter::kRealVariable, 1, ".u", 2.0, kFixed);
  ModelVariable(w, modelwriter::kStateVariable, 2, ".x", 0.0, 32);
  ModelVariable(w, modelwriter::kRealVariable, 3, ".y", 0.0, kFree);
  ModelEquation(w, 10, ".lag", Sub(Var(0), Sub(Var(1), Var(2))), {{2, 2, 1}, {2, 1}, {2, 2}});
  ModelEquation(w, 11, ".double", Sub(Var(0), Mul(Real(2.0), Var(1))), {{2, 3}, {2, 2}});
}

// From the steady state x = 2 with u := 5.
double ExactX(double t) { return 5.0 - 3.0 * std::exp(-t); }

const std::vector<std::vector<std::uint32_t>> kPaths = {{2, 2}, {2, 3}};

class ProfileRoad : public EngineRoad {
 protected:
  // x and y recorded, the steady state at u = 2, then u := 5 and the
  // dynamic run to `end` in steps of the communication interval;
  // `after` is called at the end of each step with its time.
  bool Run(double end, std::uint32_t* early, const std::function<bool(double)>& after = {}) {
    if (!StartEngine(Engine(), "Profiles") ||
        !road_->Expect(MakeCommand(kResultsService, 32, {}, {kInterval}), "command 32", 0) ||
        !IntOption(30, 4) || !RealOption(130, 1e-9) || !RealOption(131, 1e-9) ||
        !IntOption(29, 1) || !Load(Lag))
      return false;
    auto record = std::make_unique<vantor_client::Request>(kResultsService);
    vantor_client::PutPlotVariables(*record, 1e-7, kPaths);
    if (!road_->Expect(std::move(record), "request 26", 0)) return false;
    // A profile made before the run, kept by the engine: it fills as the
    // run goes.
    auto before = std::make_unique<vantor_client::Request>(kResultsService);
    vantor_client::PutIntervalProfile(*before, 0.0, 0.5, kPaths);
    if (client_->Send(std::move(before), early, kInterval) != 0) return Fail("the early profile");
    if (!BeginRun() || !SteadyState() || !Set("u", 5.0) || !IntOption(29, 4) || !BeginRun())
      return false;
    for (int k = 0; k * kInterval <= end + 1e-9; ++k) {
      const double t = k * kInterval;
      if (!road_->Expect(MakeCommand(kProblemService, 10), "command 10", 0) ||
          !road_->WaitStep(t, "the step to " + std::to_string(t)))
        return false;
      if (after && !after(t)) return false;
    }
    return true;
  }

  // A profile asked for now, and what its first fill answered.
  bool Profile(std::unique_ptr<vantor_client::Request> request, vantor_client::ProfileData* data) {
    std::uint32_t id = 0;
    if (client_->Send(std::move(request), &id) != 0 || client_->Await(id) != 0)
      return Fail("the profile request");
    const bool read = Latest(id, data);
    client_->Forget(id);
    return read;
  }
  // The newest fill of the profile `id`, once one holds `times` times (any
  // number when 0): a kept profile is filled again after each step.
  bool Latest(std::uint32_t id, vantor_client::ProfileData* data, std::size_t times = 0) {
    const auto newest = [&] {
      road_->Collect();
      const vantor_client::Outcome* outcome = client_->Find(id);
      return outcome == nullptr || outcome->replies.empty()
                 ? false
                 : vantor_client::DecodeProfileData(outcome->replies.back().body, data) &&
                       (times == 0 || data->times.size() == times);
    };
    client_->WaitFor(newest);
    const vantor_client::Outcome* outcome = client_->Find(id);
    if (outcome == nullptr || outcome->headers.empty()) return Fail("no profile header");
    vantor_client::PlotData header;
    if (!vantor_client::DecodePlotHeader(outcome->headers[0].body, &header) ||
        header.found != std::vector<bool>{true, true})
      return Fail("the profile's header");
    if (!newest()) return Fail("no profile values as awaited");
    return true;
  }

  // Each time of the profile holds x and y = 2 x of the closed form.
  void ExpectClosedForm(const vantor_client::ProfileData& data) {
    ASSERT_EQ(data.values.size(), 2u);
    for (std::size_t i = 0; i < data.times.size(); ++i) {
      const double t = data.times[i];
      EXPECT_NEAR(data.values[0][i], ExactX(t), 1e-5) << t;
      EXPECT_NEAR(data.values[1][i], 2.0 * ExactX(t), 2e-5) << t;
    }
  }
};

TEST_F(ProfileRoad, IntervalProfilesHoldTheRecordedValues) {
  std::uint32_t early = 0;
  ASSERT_TRUE(Run(1.0, &early)) << Failure() << Events();
  vantor_client::ProfileData data;
  auto request = std::make_unique<vantor_client::Request>(kResultsService);
  vantor_client::PutIntervalProfile(*request, 0.0, 0.2, kPaths);
  ASSERT_TRUE(Profile(std::move(request), &data)) << Failure();
  ASSERT_EQ(data.times.size(), 6u);
  for (std::size_t i = 0; i < data.times.size(); ++i)
    EXPECT_NEAR(data.times[i], 0.2 * static_cast<double>(i), 1e-12);
  ExpectClosedForm(data);
  // The one made before the run: filled to the run's end by now.
  vantor_client::ProfileData filled;
  ASSERT_TRUE(Latest(early, &filled, 3)) << Failure();
  EXPECT_EQ(filled.times, (std::vector<double>{0.0, 0.5, 1.0}));
  ExpectClosedForm(filled);
  client_->Forget(early);
  EXPECT_TRUE(FinishRun()) << Failure();
}

TEST_F(ProfileRoad, ProfilesAtGivenTimesHoldTheRecordedValuesInTimeOrder) {
  std::uint32_t early = 0;
  ASSERT_TRUE(Run(1.0, &early)) << Failure() << Events();
  client_->Forget(early);
  vantor_client::ProfileData data;
  auto request = std::make_unique<vantor_client::Request>(kResultsService);
  // Times past the run's end are not there yet.
  vantor_client::PutSpecifiedProfile(*request, {0.7, 3.0, 0.0, 0.3}, kPaths);
  ASSERT_TRUE(Profile(std::move(request), &data)) << Failure();
  EXPECT_EQ(data.times, (std::vector<double>{0.0, 0.3, 0.7}));
  ExpectClosedForm(data);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// A restore takes the run back from 1 to a manual snapshot at 0.5: the kept
// profile's fills from then on end where the run's plot history ends, never
// at the abandoned 1 (0.6 lies before the next profile time). A steady
// state after the run empties the plot history and starts it again at 0.
TEST_F(ProfileRoad, AKeptProfileEndsWhereThePlotHistoryEnds) {
  std::uint32_t early = 0;
  ASSERT_TRUE(Run(1.0, &early,
                  [&](double t) {
                    return std::fabs(t - 0.5) > 1e-9 ||
                           road_->Expect(MakeCommand(kResultsService, 15, {0}, {}, {"Half way"}),
                                         "command 15", 0);
                  }))
      << Failure() << Events();
  vantor_client::ProfileData filled;
  ASSERT_TRUE(Latest(early, &filled, 3)) << Failure();
  road_->Collect();
  const std::size_t before = client_->Find(early)->replies.size();

  // Request 58: back to the newest snapshot, the one at 0.5.
  Status s = 1;
  const vantor_client::Bytes reply = Ask(
      [](vantor_client::Request& r) {
        r.PutUInt16(58);
        r.PutUInt16(0);
      },
      &s);
  vantor_client::RestoreReply restored;
  ASSERT_TRUE(vantor_client::DecodeRestoreReply(reply, &restored)) << Failure();
  ASSERT_EQ(restored.status, 0u);
  ASSERT_NEAR(restored.time, 0.5, 1e-9);
  ASSERT_TRUE(road_->WaitNotice(
      [](const vantor_scenario::Notification& n) {
        return (n.bits & vantor_scenario::kRunningBit) == 0 && std::fabs(n.time - 0.5) < 1e-9;
      },
      "resting at 0.5"))
      << Failure();
  ASSERT_TRUE(Step(0.5) && Step(0.6)) << Failure();
  // Each step fills the profile again.
  const auto fills_since = [&](std::size_t from) {
    road_->Collect();
    const vantor_client::Outcome* outcome = client_->Find(early);
    return outcome == nullptr ? std::size_t{0} : outcome->replies.size() - from;
  };
  client_->WaitFor([&] { return fills_since(before) >= 2; });
  ASSERT_GE(fills_since(before), 2u);
  const std::vector<vantor_client::Message> after_restore(
      client_->Find(early)->replies.begin() + static_cast<std::ptrdiff_t>(before),
      client_->Find(early)->replies.end());
  for (const vantor_client::Message& fill : after_restore) {
    vantor_client::ProfileData data;
    ASSERT_TRUE(vantor_client::DecodeProfileData(fill.body, &data));
    EXPECT_EQ(data.times, (std::vector<double>{0.0, 0.5}));
    ExpectClosedForm(data);
  }

  // A steady state at u = 5 empties the plot history and starts it again
  // at 0, where x = 5 and y = 10 hold.
  ASSERT_TRUE(IntOption(29, 1) && BeginRun() && SteadyState()) << Failure();
  vantor_client::ProfileData steady;
  const auto steady_filled = [&] {
    road_->Collect();
    const vantor_client::Outcome* outcome = client_->Find(early);
    return outcome != nullptr && !outcome->replies.empty() &&
           vantor_client::DecodeProfileData(outcome->replies.back().body, &steady) &&
           steady.values.size() == 2 && !steady.values[0].empty() &&
           std::fabs(steady.values[0][0] - 5.0) < 1e-6;
  };
  client_->WaitFor(steady_filled);
  ASSERT_TRUE(steady_filled()) << "no fill from the steady state";
  EXPECT_EQ(steady.times, (std::vector<double>{0.0}));
  EXPECT_NEAR(steady.values[1][0], 10.0, 1e-6);
  client_->Forget(early);
  EXPECT_TRUE(FinishRun()) << Failure();
}

}  // namespace profileroad
