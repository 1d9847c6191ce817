// The FirstOrder model in run mode under the client's actions through the
// real engine: a time monitor stops the run at its time, and the
// synchronisation action makes the run wait for every exchange's answer.
// Also the client's reading of the actions' messages.
#include <gtest/gtest.h>

#include <cmath>

#include "road_env.h"
#include "tools/action_messages.h"
#include "tools/first_order_actions.h"

namespace {

using vantor_scenario::ActionRoadOptions;
using vantor_scenario::ActionRoadRun;
using vantor_scenario::ExactX;

class ActionRoad : public roadtest::RoadEnv {
 protected:
  ActionRoadOptions Options() {
    ActionRoadOptions options;
    options.first_order.engine = Engine();
    options.first_order.folder = Folder();
    return options;
  }
};

// Stopped by the monitor's follow-on at its own time, with the values the
// step-by-step road has there.
void ExpectStoppedAtTheMonitor(const ActionRoadRun& r, double time) {
  EXPECT_NE(r.monitor_handle, 0u);
  ASSERT_EQ(r.firing_handles.size(), 1u);
  EXPECT_EQ(r.firing_handles[0], r.monitor_handle);
  EXPECT_EQ(r.firing_tags[0], std::vector<std::uint32_t>{7});
  EXPECT_LE(r.firing_times[0], time + 1e-12);
  // Its sample: x and y as reals at its own time, the values the run has
  // where it stopped.
  ASSERT_EQ(r.samples.size(), 1u);
  EXPECT_EQ(r.sample_times[0], time);
  ASSERT_EQ(r.samples[0].size(), 2u);
  for (const vantor_client::SampleValue& v : r.samples[0]) {
    EXPECT_EQ(v.type, 4u);
    EXPECT_EQ(v.reported_as, 4u);
  }
  EXPECT_NEAR(r.samples[0][0].real, ExactX(time), 1e-4 * ExactX(time));
  EXPECT_NEAR(r.samples[0][1].real, 2 * ExactX(time), 2e-4 * ExactX(time));
  EXPECT_EQ(r.stop_time, time);
  EXPECT_EQ(r.stop_bits & 0x80u, 0u);
  EXPECT_EQ(r.stop_bits & 0x100u, 0u);
  EXPECT_EQ(r.latest_time, time);
  EXPECT_NEAR(r.at_stop.x, ExactX(time), 1e-4 * ExactX(time));
  EXPECT_NEAR(r.at_stop.y, 2 * ExactX(time), 2e-4 * ExactX(time));
  // It fired, so it does not say it ended unfired.
  EXPECT_EQ(r.ended, 0u);
  EXPECT_EQ(r.strangers, 0u);
  EXPECT_EQ(r.run.exit_code, 0);
}

TEST_F(ActionRoad, TimeMonitorAndFullSynchronisationStopTheRunAtTheMonitor) {
  ActionRoadRun r;
  ActionRoadOptions options = Options();
  options.sync_steps = 0;  // Full
  ASSERT_TRUE(vantor_scenario::RunFirstOrderUnderActions(options, &r)) << r.run.failure;
  ExpectStoppedAtTheMonitor(r, 1.0);
  // An exchange after every step of the run: the initialisation and one
  // for each of the ten communication points. Had an answer gone astray the
  // run would have waited for it for ever, short of t = 1.
  ASSERT_GE(r.sync_times.size(), 11u);
  for (std::size_t i = 1; i < r.sync_times.size(); ++i)
    EXPECT_LE(r.sync_times[i - 1], r.sync_times[i]);
  EXPECT_LE(r.sync_times.back(), 1.0);
}

TEST_F(ActionRoad, HighSynchronisationSetOverTheWireLetsTheRunReachTheMonitor) {
  ActionRoadRun r;
  ActionRoadOptions options = Options();
  options.sync_steps = 3;  // High: five passes between waits
  ASSERT_TRUE(vantor_scenario::RunFirstOrderUnderActions(options, &r)) << r.run.failure;
  ExpectStoppedAtTheMonitor(r, 1.0);
  EXPECT_FALSE(r.sync_times.empty());
}

TEST_F(ActionRoad, AFiringMonitorHoldsTheRunUntilTheClientAnswers) {
  ActionRoadRun r;
  ActionRoadOptions options = Options();
  options.sync = false;
  // Long enough for a free run to pass t = 1 many times over.
  options.hold_ms = 400;
  ASSERT_TRUE(vantor_scenario::RunFirstOrderUnderActions(options, &r)) << r.run.failure;
  EXPECT_TRUE(r.sync_times.empty());
  ExpectStoppedAtTheMonitor(r, 1.0);
}

TEST(ActionMessages, FiringsAreReadAgainstTheirCreationBody) {
  vantor_client::TimeMonitorSpec spec;
  spec.name = "M";
  spec.tags = {3, 9};
  spec.time = 2.5;
  const vantor_client::Bytes body = vantor_client::TimeMonitorBody(spec);
  vantor_client::Bytes firing = body;
  const vantor_client::Bytes tail = vantor_client::MonitorReply(0x1122334455667788u, 2, 3);
  firing.push_back(1);
  firing.push_back(0);
  firing.insert(firing.end(), tail.begin(), tail.begin() + 8);  // the handle
  firing.insert(firing.end(), tail.begin() + 8, tail.end());    // count 2, tags 3
  vantor_client::ActionMessage m;
  // The count says two tags, only one is there.
  EXPECT_FALSE(vantor_client::DecodeActionMessage(body, firing, true, &m));
  firing.insert(firing.end(), {9, 0, 0, 0});
  ASSERT_TRUE(vantor_client::DecodeActionMessage(body, firing, true, &m));
  EXPECT_EQ(m.mark, vantor_client::kFiredMark);
  EXPECT_EQ(m.handle, 0x1122334455667788u);
  EXPECT_EQ(m.tags, (std::vector<std::uint32_t>{3, 9}));
  // Another action's body, or one cut off before its mark, is not this one's.
  vantor_client::Bytes other = firing;
  other[5] ^= 1;
  EXPECT_FALSE(vantor_client::DecodeActionMessage(body, other, true, &m));
  EXPECT_FALSE(vantor_client::DecodeActionMessage(body, body, true, &m));
  // A huge count is refused without growing anything.
  vantor_client::Bytes huge = body;
  huge.insert(huge.end(), {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_FALSE(vantor_client::DecodeActionMessage(body, huge, true, &m));

  // A sample after the tags: time 0.5, then an integer, a real, a string
  // and a code that carries nothing, each with the type it is reported as.
  vantor_client::Bytes sampled = firing;
  vantor_client::Bytes sample;
  for (const vantor_client::Bytes& part : std::vector<vantor_client::Bytes>{
           {0, 0, 0, 0, 0, 0, 0xE0, 0x3F, 4, 0, 0, 0},              // time, count
           {2, 0, 0, 0, 2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF},        // integer -1
           {4, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0A, 0x40},  // real 3.25
           {5, 0, 0, 0, 5, 0, 0, 0, 3, 0, 0, 'a', 'b', 0},          // string "ab"
           {0, 1, 0, 0, 4, 0, 0, 0}})                               // code 256
    sample.insert(sample.end(), part.begin(), part.end());
  sampled.insert(sampled.end(), sample.begin(), sample.end());
  ASSERT_TRUE(vantor_client::DecodeActionMessage(body, sampled, true, &m));
  ASSERT_TRUE(m.has_sample);
  EXPECT_EQ(m.sample_time, 0.5);
  ASSERT_EQ(m.values.size(), 4u);
  EXPECT_EQ(m.values[0].integer, -1);
  EXPECT_EQ(m.values[1].real, 3.25);
  EXPECT_EQ(m.values[1].reported_as, 4u);
  EXPECT_EQ(m.values[2].text, "ab");
  EXPECT_EQ(m.values[3].type, 256u);
  // Cut anywhere inside the sample, it is not read.
  for (std::size_t cut = 1; cut < sample.size(); ++cut) {
    const vantor_client::Bytes cut_short(sampled.begin(), sampled.end() - cut);
    EXPECT_FALSE(vantor_client::DecodeActionMessage(body, cut_short, true, &m)) << cut;
  }

  const vantor_client::Bytes sync = vantor_client::SyncActionBody("S");
  vantor_client::Bytes exchange = sync;
  exchange.insert(exchange.end(), {1, 0});
  ASSERT_TRUE(vantor_client::DecodeActionMessage(sync, exchange, false, &m));
  EXPECT_EQ(m.mark, 1u);
  exchange.push_back(0);
  EXPECT_FALSE(vantor_client::DecodeActionMessage(sync, exchange, false, &m));
}

}  // namespace
