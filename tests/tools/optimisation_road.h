// What the optimisation road tests share: the engine started for a
// steady-state or dynamic run, the optimisation started and defined
// (service 112, kinds 60 and 76), the runs that the optimisation action
// repeats until the optimum or a failure, and the results (kind 90).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/hang_bound.h"
#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/road.h"

namespace optimisationroad {

using engineroad::kProblemService;
using engineroad::kResultsService;
using engineroad::Reader;
using modelwriter::Writer;
using vantor_client::MakeCommand;

inline constexpr std::uint32_t kOptimisationService = 112;

// What the kind-90 reply says of a steady-state optimum.
struct Optimum {
  std::uint32_t available = 0;
  std::uint32_t evaluations = 0;
  double objective = 0.0;
  std::vector<double> x;
  std::vector<double> lower, upper;  // multipliers of the decision variables
  std::vector<double> constrained;   // constrained variables' values
  std::vector<double> constraint_multipliers;
  std::vector<double> controls;  // control by control
  double final_time = 0.0;
  std::vector<double> lengths;  // movable element lengths
};

class OptimisationFixture : public engineroad::EngineRoad {
 protected:
  // Starts the engine for steady-state runs, loads the model and prepares;
  // `tight` sets the equation and integrator tolerances far below their
  // defaults.
  bool Start(std::uint32_t optimizer, const std::function<void(Writer&)>& model,
             std::uint32_t run_mode = 1, bool tight = true) {
    vantor_client::EngineOptions engine;
    engine.program = VANTOR_ENGINE;
    engine.timeout_ms = testsupport::HangBoundMs(60000);
    if (!StartEngine(engine, "Opt") ||
        !road_->Expect(MakeCommand(kResultsService, 32, {}, {communication_}), "command 32", 0) ||
        !IntOption(29, run_mode) || !IntOption(80, optimizer) || !IntOption(128, 1))
      return false;
    if (tight) {
      if (!IntOption(30, 4) || !RealOption(130, 1e-8) || !RealOption(131, 1e-8)) return false;
      for (std::uint16_t tolerance : {0, 1, 2}) {
        if (!RealOption(tolerance, 1e-12)) return false;
      }
    }
    return Load(model);
  }

  bool Optimisation(const std::function<void(Writer&)>& body, const std::string& what) {
    auto request = std::make_unique<vantor_client::Request>(kOptimisationService);
    Writer w(*request);
    body(w);
    return road_->Expect(std::move(request), what, 0);
  }

  // Kind 60 stop, asked again while a step still computing answers busy.
  bool StopOptimisation() {
    return AskWhileBusy(
        [] {
          auto request = std::make_unique<vantor_client::Request>(kOptimisationService);
          Writer w(*request);
          w.U16(60), w.U8(0);
          return request;
        },
        "stop", 0);
  }

  // Kind 90, read as a steady-state reply with `decisions` decision
  // variables and `records` constraint records.
  bool Results(std::size_t decisions, std::size_t records, Optimum* out) {
    auto request = std::make_unique<vantor_client::Request>(kOptimisationService);
    Writer(*request).U16(90);
    Status result = 0;
    std::vector<vantor_client::Message> replies;
    if (!road_->Exchange(std::move(request), "kind 90", &result, &replies)) return false;
    if (result != 0 || replies.size() != 1) return Fail("kind 90: " + vantor_scenario::Hex(result));
    Reader r(replies[0].body);
    Optimum o;
    if (r.Get<std::uint16_t>() != 90) return Fail("kind 90: no 90 first");
    o.available = r.Get<std::uint32_t>();
    o.evaluations = r.Get<std::uint32_t>();
    o.objective = r.Get<double>();
    if (o.available != 0) {
      o.final_time = r.Get<double>();
      r.Get<std::uint32_t>();
      const std::uint32_t movable = r.Get<std::uint32_t>();
      for (std::uint32_t k = 0; moving_ && k < movable; ++k) {
        const std::uint32_t mult = r.Get<std::uint32_t>();
        o.lengths.push_back(r.Get<double>());
        if (mult != 0) r.Get<double>(), r.Get<double>();
      }
      const std::uint32_t controls = r.Get<std::uint32_t>();
      if (controls != 0) {
        const std::uint32_t mult = r.Get<std::uint32_t>();
        for (std::uint32_t c = 0; c < controls; ++c) {
          r.Text();
          for (std::size_t v = 0; v < values_per_control_; ++v) {
            o.controls.push_back(r.Get<double>());
            if (mult != 0) r.Get<double>(), r.Get<double>();
          }
        }
      }
    }
    const std::uint32_t f = r.Get<std::uint32_t>();
    if (f != 0) {
      if (r.Get<std::uint32_t>() != 0) return Fail("kind 90: initial variables");
      if (r.Get<std::uint32_t>() != decisions) return Fail("kind 90: decision count");
      for (std::size_t i = 0; i < decisions; ++i) {
        r.Text();
        o.lower.push_back(r.Get<double>());
        o.upper.push_back(r.Get<double>());
        o.x.push_back(r.Get<double>());
      }
    }
    if (o.available != 0) {
      for (std::size_t i = 0; i < records; ++i) o.constrained.push_back(r.Get<double>());
    }
    if (r.Get<std::uint32_t>() != 0) {
      for (std::size_t i = 0; i < records; ++i) o.constraint_multipliers.push_back(r.Get<double>());
    }
    if (r.Get<std::uint16_t>() != 65535 || !r.ok()) return Fail("kind 90: no end mark");
    *out = o;
    return true;
  }

  // The steady-state run the optimisation repeats: waits until the reply
  // says the optimum is there (or the run stopped without one).
  bool Optimise(std::size_t decisions, std::size_t records, Optimum* out) {
    if (!BeginRun() ||
        !road_->Expect(MakeCommand(kProblemService, 9), "the steady state (command 9)", 0))
      return false;
    const auto until =
        std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::seconds(30));
    while (std::chrono::steady_clock::now() < until) {
      if (!Results(decisions, records, out)) return false;
      if (out->available != 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      road_->Collect();
      bool failed = false;
      for (const std::string& line : run_.events) {
        for (const char* mark : {"failed", "cannot proceed", "infeasible", "No optimum",
                                 "not defined", "exceeded", "Uphill"}) {
          failed = failed || line.find(mark) != std::string::npos;
        }
      }
      if (failed) return Fail("the optimisation failed");
    }
    return Fail("no optimum");
  }

  bool Finish() { return FinishRun(); }

  double communication_ = 0.1;
  std::size_t values_per_control_ = 0;
  bool moving_ = false;
};

}  // namespace optimisationroad
