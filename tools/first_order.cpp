#include "tools/first_order.h"

#include <cstring>
#include <filesystem>
#include <memory>

#include "tools/first_order_steps.h"
#include "tools/model_writer/sample_models.h"
#include "tools/result_replies.h"
#include "tools/road_steps.h"

namespace vantor_scenario {
namespace {

using vantor_client::MakeCommand;

constexpr std::int32_t kRunModeOption = 29;
constexpr std::int32_t kDynamicMode = 4;
constexpr std::uint16_t kIntegratorOption = 30;
constexpr std::uint32_t kGear = 4;
constexpr int kSteps = 11;
constexpr double kInterval = 0.1;

}  // namespace

bool Load(Road& road) {
  return LoadNode(road, modelwriter::FirstOrderNode(),
                  [](modelwriter::Writer& w) { modelwriter::FirstOrder(w); });
}

bool SetU(Road& road) { return SetReal(road, "FirstOrder.u", 5.0, "u := 5 (request 145)"); }

bool DynamicMode(Road& road) {
  return SetOption(road, kRunModeOption, kDynamicMode, "RunMode 4 (service 53)");
}

namespace {

// A malformed description is refused and changes nothing; a good edit,
// commands 29 and 6 rebuild.
bool Edit(Road& road, FirstOrderRun* run) {
  auto bad = InstanceEdit(3, 10);
  modelwriter::Writer w(*bad);
  w.IdPath({2});
  w.List(1);
  w.Item(modelwriter::kRealVariable);
  // A placement cut off after its first step.
  w.U8(1);
  w.U16(4);
  Status result = 0;
  if (!road.Exchange(std::move(bad), "a malformed description", &result)) return false;
  if (result == 0) return road.Fail("a malformed description was taken (status 0)");
  run->refused = result;

  auto good = InstanceEdit(3, 10);
  modelwriter::Writer g(*good);
  g.IdPath({2});
  g.List(1);
  modelwriter::FirstOrderY(g);
  if (!road.Expect(std::move(good), "editing y", 0)) return false;
  if (!road.Expect(MakeCommand(kProblemService, 29, {0}), "command 29", 0)) return false;
  return Prepare(road, "preparing again after the edit");
}

// u := 5 through the results manager's set-item: queued, as no run is
// active, and applied when the dynamic run starts.
bool SetUThroughResults(Road& road) {
  auto request = std::make_unique<Request>(kResultsService, kWriteSubtype);
  vantor_client::PutSetReal(*request, {2, 1}, 1, 5.0);
  return road.Expect(std::move(request), "u := 5 (set-item of service 55)", 0);
}

// The result template on x and y; it answers at once and after every step.
bool StartTemplate(Road& road, Client& client, std::uint32_t* id) {
  auto request = std::make_unique<Request>(kResultsService, DseMessage::kIdPathRead);
  request->PutDouble(kResultsInterval);
  vantor_client::PutResultItem(*request, {2, 3}, 1);
  vantor_client::PutResultItem(*request, {2, 4}, 1);
  if (status::IsFailure(client.Send(std::move(request), id, kResultsInterval)))
    return road.Fail("the result template: not sent");
  const Status waited = client.WaitFor([&] {
    const vantor_client::Outcome* o = client.Find(*id);
    return o == nullptr || o->complete || (!o->headers.empty() && !o->replies.empty());
  });
  if (waited != 0) return road.Fail("the result template: no first reply");
  return true;
}

// The template's replies so far, decoded; each is one refill at `t`.
bool TakeRefills(Road& road, Client& client, std::uint32_t id, double t, FirstOrderRun* run,
                 const std::string& what) {
  const Status waited = client.WaitFor([&] {
    const vantor_client::Outcome* o = client.Find(id);
    return o == nullptr || o->complete || !o->replies.empty();
  });
  const vantor_client::Outcome* outcome = client.Find(id);
  if (waited != 0 || outcome == nullptr || outcome->headers.empty())
    return road.Fail(what + ": no refill of the result template");
  if (run->result_kinds.empty() &&
      !vantor_client::DecodeResultKinds(outcome->headers[0].body, &run->result_kinds))
    return road.Fail(what + ": the template's kinds do not read");
  for (const vantor_client::Message& reply : client.TakeReplies(id)) {
    std::vector<vantor_client::ResultValue> values;
    if (!vantor_client::DecodeResultValues(reply.body, run->result_kinds, &values) ||
        values.size() != 2)
      return road.Fail(what + ": a refill not as the kinds say");
    run->refills.push_back({t, values[0].real, values[1].real});
    run->result_values = {values[0].real, values[1].real};
  }
  return true;
}

// The plot history records x from the start of the dynamic run.
bool RecordX(Road& road, FirstOrderRun* run) {
  run->plot_tolerance = 1e-6;
  auto request = std::make_unique<Request>(kResultsService);
  vantor_client::PutPlotVariables(*request, run->plot_tolerance, {{2, 3}});
  return road.Expect(std::move(request), "recording x (request 26)", 0);
}

bool PlotX(Road& road, Client& client, FirstOrderRun* run) {
  auto request = std::make_unique<Request>(kResultsService);
  vantor_client::PutTimePlot(*request, 0.0, 1.0, {{2, 3}});
  std::uint32_t id = 0;
  if (status::IsFailure(client.Send(std::move(request), &id)) || client.Await(id) != 0)
    return road.Fail("the time plot (request 28): no answer");
  const vantor_client::Outcome* outcome = client.Find(id);
  vantor_client::PlotData plot;
  const bool read = outcome != nullptr && !outcome->headers.empty() && !outcome->replies.empty() &&
                    vantor_client::DecodePlotHeader(outcome->headers[0].body, &plot) &&
                    vantor_client::DecodePlotData(outcome->replies[0].body, &plot);
  client.Forget(id);
  if (!read || plot.samples.size() != 1 || plot.found != std::vector<bool>{true})
    return road.Fail("the time plot (request 28): replies do not read");
  for (std::size_t i = 0; i < plot.samples[0].size(); ++i) {
    run->plot_times.push_back(plot.first + static_cast<double>(i) * plot.interval);
    run->plot_x.push_back(plot.samples[0][i]);
  }
  return true;
}

// One numbered request of the results service; its reply body.
bool AskResults(Road& road, std::uint16_t number, const std::vector<std::uint16_t>& words,
                const std::string& what, vantor_client::Bytes* body) {
  auto request = std::make_unique<Request>(kResultsService);
  request->PutUInt16(number);
  for (std::uint16_t w : words) request->PutUInt16(w);
  Status result = 0;
  std::vector<Message> replies;
  if (!road.Exchange(std::move(request), what, &result, &replies)) return false;
  if (status::IsFailure(result) || replies.empty()) return road.Fail(what + ": no reply");
  *body = replies[0].body;
  return true;
}

// The run's snapshots (19), the folder's other files (43) and the newest
// snapshot read back (33).
bool Listings(Road& road, FirstOrderRun* run) {
  vantor_client::Bytes body;
  std::vector<vantor_client::SnapshotEntry> list;
  if (!AskResults(road, 19, {}, "the snapshot list (request 19)", &body)) return false;
  if (!vantor_client::DecodeSnapshotList(body, 0, &list) || list.empty())
    return road.Fail("the snapshot list (request 19): does not read");
  for (const auto& entry : list) run->snapshot_names.push_back(entry.name);
  if (!AskResults(road, 43, {}, "the other files (request 43)", &body) ||
      !vantor_client::DecodeFileList(body, &run->other_files))
    return road.Fail("the other files (request 43): do not read");
  const auto id = static_cast<std::uint16_t>(list.front().id);
  vantor_client::SnapshotEntry sent;
  if (!AskResults(road, 33, {id}, "the newest snapshot (request 33)", &body) ||
      !vantor_client::DecodeSentSnapshot(body, 33, &sent) || sent.id != id)
    return road.Fail("the newest snapshot (request 33): does not read");
  run->sent_name = sent.name;
  run->sent_time = sent.time;
  return true;
}

// After the run: x and y read back, the time plot and request 58.
bool ThroughResults(Road& road, Client& client, FirstOrderRun* run) {
  if (!road.Read(3, &run->read_back.x, "x read back") ||
      !road.Read(4, &run->read_back.y, "y read back"))
    return false;
  if (!PlotX(road, client, run)) return false;
  if (!Listings(road, run)) return false;

  auto restore = std::make_unique<Request>(kResultsService);
  restore->PutUInt16(58);
  restore->PutUInt16(0);
  Status result = 0;
  std::vector<Message> replies;
  if (!road.Exchange(std::move(restore), "request 58", &result, &replies)) return false;
  vantor_client::RestoreReply reply;
  if (replies.empty() || !vantor_client::DecodeRestoreReply(replies[0].body, &reply))
    return road.Fail("request 58: no restore reply");
  run->restore_status = reply.status;
  run->restored_name = reply.name;
  return true;
}

}  // namespace

bool RunFirstOrder(const FirstOrderOptions& options, FirstOrderRun* run) {
  *run = FirstOrderRun();
  std::unique_ptr<Client> client = StartEngine(options.engine, run);
  if (client == nullptr) return false;
  Road road(*client, run);
  const double interval = options.results ? kResultsInterval : kInterval;
  const int steps = options.results ? kResultsSteps : kSteps;
  run->interval = interval;
  bool ok = [&] {
    if (!NameSimulation(road, "FirstOrder", options.folder, interval, options.shown_folder))
      return false;
    // Variable-order BDF: the default implicit Euler is first order, too
    // coarse for 1e-4 at the default tolerances.
    if (!SetOption(road, kIntegratorOption, kGear, "Integrator Gear12 (service 53)")) return false;
    if (!Load(road)) return false;
    // The snapshot file starts with the initial specification, which the
    // run's newest stretch goes back to.
    if (options.results &&
        !road.Expect(MakeCommand(kResultsService, 16, {0x80}), "snapshot flags (command 16)", 0))
      return false;
    if (!Prepare(road, "preparing (command 6)")) return false;
    if (options.edit && !Edit(road, run)) return false;

    if (!BeginRun(road, "beginning the steady-state run (request 31)")) return false;
    if (!road.Expect(MakeCommand(kProblemService, 9), "the steady state (command 9)", 0) ||
        !road.WaitStep(0.0, "the steady state"))
      return false;
    if (!road.Read(3, &run->steady_x, "steady x") || !road.Read(4, &run->steady_y, "steady y"))
      return false;

    if (!(options.results ? SetUThroughResults(road) : SetU(road)) || !DynamicMode(road))
      return false;
    std::uint32_t refilled = 0;
    if (options.results) {
      if (!RecordX(road, run) || !StartTemplate(road, *client, &refilled) ||
          !TakeRefills(road, *client, refilled, -1.0, run, "the result template"))
        return false;
    }
    if (!BeginRun(road, "beginning the dynamic run (request 31)")) return false;
    for (int k = 0; k < steps; ++k) {
      const double t = interval * k;
      const std::string what = "step " + std::to_string(k) + " (command 10)";
      if (!road.Expect(MakeCommand(kProblemService, 10), what, 0) || !road.WaitStep(t, what))
        return false;
      if (options.results && !TakeRefills(road, *client, refilled, road.Last().time, run, what))
        return false;
      if (!road.ReadSample(road.Last().time, what)) return false;
    }
    if (options.results) {
      client->Forget(refilled);
      if (!ThroughResults(road, *client, run)) return false;
    }
    // The run's snapshot store; the engine removes it with the run files
    // when it ends.
    std::error_code error;
    run->snapshot_written = std::filesystem::exists(
        std::filesystem::path(options.folder) / "FirstOrder" / "snapshot.snp", error);
    return EndEngine(road);
  }();
  ok = FinishEngine(*client, road, run, ok);
  if (ok && !run->snapshot_written) return road.Fail("no snapshot.snp in the run folder");
  return ok;
}

bool WithinTolerance(const FirstOrderRun& run) {
  if (!run.failure.empty() || run.exit_code != 0 || !run.snapshot_written) return false;
  if (!(std::fabs(run.steady_x - 2.0) <= kSteadyTolerance) ||
      !(std::fabs(run.steady_y - 4.0) <= kSteadyTolerance))
    return false;
  const int steps = static_cast<int>(std::lround(1.0 / run.interval)) + 1;
  if (run.samples.size() != static_cast<std::size_t>(steps)) return false;
  for (int k = 0; k < steps; ++k) {
    const Sample& s = run.samples[static_cast<std::size_t>(k)];
    const double exact = ExactX(run.interval * k);
    if (!(std::fabs(s.t - run.interval * k) < 1e-9) ||
        !(std::fabs(s.x - exact) <= kDynamicTolerance * std::fabs(exact)) ||
        !(std::fabs(s.y - 2 * exact) <= kDynamicTolerance * std::fabs(2 * exact)))
      return false;
  }
  return true;
}

}  // namespace vantor_scenario
