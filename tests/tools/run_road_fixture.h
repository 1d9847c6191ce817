// What the roads of a run share: the decay x' = -k x from x(0) = 1 in a
// dynamic run with an accurate integrator (its values have a closed form),
// the snapshot flags set before the model is prepared, and the snapshot
// list, restores, values and rests a client reads.
#pragma once

#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/hang_bound.h"
#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/result_replies.h"
#include "tools/road.h"

namespace runroad {

using engineroad::kProblemService;
using engineroad::kResultsService;
using vantor_client::Bytes;
using vantor_client::MakeCommand;
using vantor_client::SnapshotEntry;

class RunRoad : public engineroad::EngineRoad {
 protected:
  // A dynamic run of the decay with rate k; the snapshot flags are set
  // before the model is loaded and prepared.
  bool Start(const std::string& name, std::int32_t flags, double k) {
    return Start(name, flags, [k](modelwriter::Writer& w) { engineroad::DecayModel(w, ".k", k); });
  }
  // The same with another model.
  bool Start(const std::string& name, std::int32_t flags,
             const std::function<void(modelwriter::Writer&)>& model) {
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(60000);
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    return StartEngine(engine, name) &&
           road_->Expect(MakeCommand(kResultsService, 32, {}, {0.1}), "command 32", 0) &&
           IntOption(30, 4) && RealOption(130, 1e-9) && RealOption(131, 1e-9) && IntOption(29, 4) &&
           Flags(flags) && Load(model);
  }
  bool Flags(std::int32_t flags) {
    return road_->Expect(MakeCommand(kResultsService, 16, {flags}), "command 16", 0);
  }
  std::vector<SnapshotEntry> Snapshots() {
    Status s = 1;
    const Bytes body = Ask([](vantor_client::Request& r) { r.PutUInt16(19); }, &s);
    std::vector<SnapshotEntry> list;
    if (s != 0 || !vantor_client::DecodeSnapshotList(body, 0, &list)) Fail("request 19");
    return list;
  }
  // The listed snapshot of that name (an id of 0 when there is none).
  SnapshotEntry Listed(const std::string& name) {
    for (const SnapshotEntry& entry : Snapshots())
      if (entry.name == name) return entry;
    return {};
  }
  // The same once it is listed: the loop takes a snapshot a pass or two
  // after the command that asked for it has been answered, however long
  // those take on a loaded machine (up to the client's time-out).
  SnapshotEntry AwaitListed(const std::string& name) {
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(client_->TimeoutMs());
    while (std::chrono::steady_clock::now() < until) {
      const SnapshotEntry entry = Listed(name);
      if (entry.id != 0 || !Failure().empty()) return entry;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Fail(name + " never listed");
    return {};
  }
  bool Restore(std::uint32_t id) {
    return road_->Expect(MakeCommand(kResultsService, 1, {static_cast<std::int32_t>(id)}),
                         "command 1", 0);
  }
  double X() {
    double value = std::nan("");
    road_->Read(2, &value, "reading x");
    return value;
  }
  // The run has come to rest, wherever that is.
  bool Rests() {
    return road_->WaitNotice(
        [](const vantor_scenario::Notification& n) {
          return (n.bits & vantor_scenario::kRunningBit) == 0;
        },
        "the run at rest");
  }
  bool RestsAt(double time) {
    return road_->WaitNotice(
        [&](const vantor_scenario::Notification& n) {
          return (n.bits & vantor_scenario::kRunningBit) == 0 && std::fabs(n.time - time) < 1e-9;
        },
        "resting at " + std::to_string(time));
  }
};

}  // namespace runroad
