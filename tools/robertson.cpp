#include "tools/robertson.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>

#include "tools/model_writer/sample_models.h"
#include "tools/road_steps.h"

namespace vantor_scenario {
namespace {

using vantor_client::MakeCommand;

constexpr std::uint16_t kRunModeOption = 29;
constexpr std::uint16_t kIntegratorOption = 30;
constexpr std::uint16_t kRelErrorTolOption = 130;
constexpr std::uint16_t kAbsErrorTolOption = 131;
constexpr std::uint16_t kMaxStepSizeOption = 141;
constexpr std::uint32_t kDynamicMode = 4;
constexpr std::uint32_t kGear = 4;
constexpr Status kBusy = 0x0032000Au;

// Request 134, asked again while the last step is still being handed back.
bool EndRun(Road& road) {
  Status ended = kBusy;
  for (int tries = 0; tries < 500 && ended == kBusy; ++tries) {
    if (tries > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto end = std::make_unique<Request>(kProblemService);
    end->PutUInt16(134);
    if (!road.Exchange(std::move(end), "ending the run (request 134)", &ended)) return false;
  }
  if (ended != kRunEnded) return road.Fail("ending the run (request 134): status " + Hex(ended));
  return true;
}

// One engine, one run from the initial values to `end` in one communication
// interval.
bool RunTo(Road& road, const RobertsonOptions& options, double end, RobertsonPoint* point) {
  const auto started = std::chrono::steady_clock::now();
  // The step ends where the interval's float reads back.
  const double reached = static_cast<float>(end);
  const double longest = std::clamp(end / 10.0, 1.0, 1e10);
  if (!NameSimulation(road, "Robertson", options.folder, end, options.shown_folder) ||
      !SetRealOption(road, kMaxStepSizeOption, longest, "Integration.MaxStepSize") ||
      !SetOption(road, kIntegratorOption, kGear, "Integrator Gear12 (service 53)") ||
      !SetRealOption(road, kRelErrorTolOption, options.rtol, "Integration.RelErrorTol") ||
      !SetRealOption(road, kAbsErrorTolOption, options.atol, "Integration.AbsErrorTol") ||
      !SetOption(road, kRunModeOption, kDynamicMode, "RunMode 4 (service 53)"))
    return false;
  if (!LoadNode(road, modelwriter::RobertsonNode(),
                [](modelwriter::Writer& w) { modelwriter::Robertson(w); }) ||
      !Prepare(road, "preparing (command 6)"))
    return false;
  if (!BeginRun(road, "beginning the dynamic run (request 31)")) return false;
  if (!road.Expect(MakeCommand(kProblemService, 10), "initialisation (command 10)", 0) ||
      !road.WaitStep(0.0, "initialisation"))
    return false;
  if (!road.Expect(MakeCommand(kProblemService, 10), "the interval (command 10)", 0) ||
      !road.WaitStep(reached, "the interval"))
    return false;
  point->t = road.Last().time;
  const char* read[] = {"y1", "y2", "y3"};
  for (std::uint32_t k = 0; k < 3; ++k) {
    if (!road.Read(k + 1, &point->y[k], read[k])) return false;
  }
  point->seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return EndRun(road) &&
         road.Expect(MakeCommand(kProblemService, 2), "ending the engine (command 2)", kEnding);
}

}  // namespace

bool RobertsonReference(double t, double y[3]) {
  // Test Set for IVP Solvers, ROBER at its end time 1e11; at 40 and 4e5
  // high-accuracy values, which two independent integrators at tolerances
  // of 1e-11 and 1e-12 agree with to ten digits.
  struct Row {
    double t, y1, y2, y3;
  };
  static const Row kRows[] = {
      {40.0, 7.158270687e-01, 9.185534765e-06, 2.841637457e-01},
      {4e5, 4.9382745232e-03, 1.9849940889e-08, 9.9506170563e-01},
      {1e11, 0.2083340149701255e-07, 0.8333360770334713e-13, 0.9999999791665050},
  };
  for (const Row& row : kRows) {
    if (std::fabs(t - row.t) > 1e-6 * row.t) continue;
    y[0] = row.y1, y[1] = row.y2, y[2] = row.y3;
    return true;
  }
  return false;
}

double RobertsonError(const RobertsonPoint& point) {
  double reference[3];
  if (!RobertsonReference(point.t, reference)) return std::numeric_limits<double>::infinity();
  double worst = 0.0;
  for (int k = 0; k < 3; ++k) {
    const double e = std::fabs(point.y[k] - reference[k]) / std::fabs(reference[k]);
    worst = std::isnan(e) ? std::numeric_limits<double>::infinity() : std::max(worst, e);
  }
  return worst;
}

bool RunRobertson(const RobertsonOptions& options, RobertsonRun* run) {
  *run = RobertsonRun();
  for (const double end : options.ends) {
    FirstOrderRun trace;
    std::unique_ptr<Client> client = StartEngine(options.engine, &trace);
    if (client == nullptr) {
      run->failure = trace.failure;
      return false;
    }
    Road road(*client, &trace);
    RobertsonPoint point;
    bool ok = RunTo(road, options, end, &point);
    ok = FinishEngine(*client, road, &trace, ok);
    run->exit_code = trace.exit_code;
    run->events.insert(run->events.end(), trace.events.begin(), trace.events.end());
    if (!ok) {
      run->failure = "end " + std::to_string(end) + ": " + trace.failure;
      return false;
    }
    run->points.push_back(point);
  }
  return true;
}

}  // namespace vantor_scenario
