#include "tools/first_order_actions.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "tools/action_messages.h"
#include "tools/first_order_steps.h"
#include "tools/road_steps.h"

namespace vantor_scenario {
namespace {

using vantor_client::MakeCommand;

constexpr std::uint16_t kIntegratorOption = 30;
constexpr std::uint32_t kGear = 4;
constexpr std::uint16_t kSyncStepsOption = 123;
constexpr double kInterval = 0.1;

// Creates an action: the status of its answer (a full reply carries none)
// and the handle its reply ends with.
bool Create(Road& road, const vantor_client::Bytes& body, const std::string& what,
            Status* created, std::uint64_t* handle) {
  std::vector<Message> replies;
  if (!road.Exchange(vantor_client::ActionRequest(body), what, created, &replies)) return false;
  if (status::IsFailure(*created)) return road.Fail(what + ": status " + Hex(*created));
  if (replies.empty() || !vantor_client::CreatedHandle(replies[0].body, handle))
    return road.Fail(what + ": no handle in the reply");
  return true;
}

// The latest run clock among the notifications the client holds, or `seen`.
double LatestClock(const Client& client, double seen) {
  for (const Message& n : client.Notifications()) {
    if (n.type != kNotificationService || n.body.size() < 8) continue;
    double time = 0.0;
    std::memcpy(&time, n.body.data(), 8);
    seen = std::max(seen, time);
  }
  return seen;
}

}  // namespace

bool RunFirstOrderUnderActions(const ActionRoadOptions& options, ActionRoadRun* out) {
  *out = ActionRoadRun();
  FirstOrderRun* run = &out->run;
  // Service 67 carries the actions' messages to the client.
  std::unique_ptr<Client> client = StartEngine(options.first_order.engine, run);
  if (client == nullptr) return false;
  Road road(*client, run);
  double clock = 0.0;  // the run clock the client has seen

  vantor_client::TimeMonitorSpec monitor;
  monitor.name = "EndTime";
  monitor.tags = {options.monitor_tag};
  monitor.time = options.monitor_time;
  monitor.reported = {{2, 3}, {2, 4}};  // x and y
  const vantor_client::Bytes monitor_body = vantor_client::TimeMonitorBody(monitor);
  const vantor_client::Bytes sync_body = vantor_client::SyncActionBody("Every step");
  client->SetRequestHandler([&](const Message& m, std::optional<vantor_client::Bytes>* reply) {
    clock = LatestClock(*client, road.Last().time);
    if (m.type != vantor_client::kActionService) return Status{0};
    vantor_client::ActionMessage decoded;
    if (vantor_client::DecodeActionMessage(sync_body, m.body, false, &decoded) &&
        decoded.mark == vantor_client::kFiredMark) {
      out->sync_times.push_back(clock);
      return Status{0};
    }
    if (vantor_client::DecodeActionMessage(monitor_body, m.body, true, &decoded)) {
      if (decoded.mark == vantor_client::kEndedMark) {
        ++out->ended;
        return Status{0};
      }
      if (decoded.mark == vantor_client::kFiredMark) {
        out->firing_handles.push_back(decoded.handle);
        out->firing_tags.push_back(decoded.tags);
        out->sample_times.push_back(decoded.has_sample ? decoded.sample_time : -1.0);
        out->samples.push_back(decoded.values);
        out->firing_times.push_back(clock);
        if (options.hold_ms > 0)
          std::this_thread::sleep_for(std::chrono::milliseconds(options.hold_ms));
        *reply = vantor_client::MonitorReply(decoded.handle, 0, vantor_client::kStopRun);
        return Status{0};
      }
    }
    ++out->strangers;
    return Status{0};
  });

  const bool ok = [&] {
    if (!NameSimulation(road, "FirstOrder", options.first_order.folder, kInterval) ||
        !SetOption(road, kIntegratorOption, kGear, "Integrator Gear12 (service 53)") ||
        !Load(road) || !Prepare(road, "preparing (command 6)"))
      return false;
    if (options.sync_steps >= 0 &&
        !SetOption(road, kSyncStepsOption, static_cast<std::uint32_t>(options.sync_steps),
                   "SyncSteps (service 53)"))
      return false;
    if (!BeginRun(road, "beginning the steady-state run (request 31)") ||
        !road.Expect(MakeCommand(kProblemService, 9), "the steady state (command 9)", 0) ||
        !road.WaitStep(0.0, "the steady state") ||
        !road.Read(3, &run->steady_x, "steady x") || !road.Read(4, &run->steady_y, "steady y"))
      return false;
    if (!SetU(road) || !DynamicMode(road) ||
        !BeginRun(road, "beginning the dynamic run (request 31)"))
      return false;
    std::uint64_t sync_handle = 0;
    if (options.sync && !Create(road, sync_body, "the synchronisation action (service 67)",
                                &out->sync_created, &sync_handle))
      return false;
    if (!Create(road, monitor_body, "the time monitor (service 67)", &out->monitor_created,
                &out->monitor_handle))
      return false;
    if (!road.Expect(MakeCommand(kProblemService, 9), "the run (command 9)", 0) ||
        !road.WaitStep(options.monitor_time, "the run up to the monitor"))
      return false;
    out->stop_time = road.Last().time;
    out->stop_bits = road.Last().bits;
    out->latest_time = out->stop_time;
    out->at_stop.t = out->stop_time;
    if (!road.Read(3, &out->at_stop.x, "x at the stop") ||
        !road.Read(4, &out->at_stop.y, "y at the stop"))
      return false;
    // A run that went on would announce a later clock meanwhile.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    client->WaitFor([&] {
      out->latest_time = LatestClock(*client, out->latest_time);
      return std::chrono::steady_clock::now() >= until;
    });
    return EndEngine(road);
  }();
  return FinishEngine(*client, road, run, ok);
}

}  // namespace vantor_scenario
