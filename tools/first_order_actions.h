// The FirstOrder model run in run mode under the client's actions: after
// the steady state and u := 5, a time monitor at t = 1 (hook point 12) that
// reports x and y and, when asked, a synchronisation action; then one run
// command. The client
// answers every synchronisation exchange at once and the monitor's firing
// after a pause, with follow-on 4, which stops the run where it fired.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/action_messages.h"
#include "tools/first_order.h"

namespace vantor_scenario {

struct ActionRoadOptions {
  FirstOrderOptions first_order;
  bool sync = true;
  // SyncSteps (0 Full, 3 High, ...); negative keeps the engine's default.
  std::int32_t sync_steps = -1;
  double monitor_time = 1.0;
  std::uint32_t monitor_tag = 7;
  // How long the client keeps the firing before it answers.
  std::uint32_t hold_ms = 0;
};

struct ActionRoadRun {
  FirstOrderRun run;
  // The creation statuses and the handles the engine gave.
  Status sync_created = 0;
  Status monitor_created = 0;
  std::uint64_t monitor_handle = 0;
  // Every synchronisation exchange, and the run clock the client had seen
  // when each arrived.
  std::vector<double> sync_times;
  // Every firing: its handle, tags, its sample of x and y (time and values)
  // and the run clock seen when it arrived.
  std::vector<std::uint64_t> firing_handles;
  std::vector<double> sample_times;
  std::vector<std::vector<vantor_client::SampleValue>> samples;
  std::vector<std::vector<std::uint32_t>> firing_tags;
  std::vector<double> firing_times;
  // Messages of service 67 that were neither.
  std::uint32_t ended = 0;
  std::uint32_t strangers = 0;
  // The notification the run stopped with, and the latest run clock
  // announced while the engine was still up after the stop.
  double stop_time = -1.0;
  std::uint32_t stop_bits = 0;
  double latest_time = -1.0;
  Sample at_stop;
};

bool RunFirstOrderUnderActions(const ActionRoadOptions& options, ActionRoadRun* run);

}  // namespace vantor_scenario
