// What the estimation road tests share: the engine started with tight
// solver and estimator tolerances, an estimation defined (service 110,
// request 92) and run at steady state until its results (request 2) carry
// an outcome, and the results decoded; the solvers an estimation can run
// and the line through three points every one of them fits.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/hang_bound.h"
#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/road.h"

namespace estimationroad {

using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::kRunEnded;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using engineroad::Reader;
using modelwriter::Binary;
using modelwriter::Expr;
using modelwriter::Sub;
using modelwriter::Unary;
using modelwriter::Var;
using modelwriter::Writer;
using vantor_client::MakeCommand;

inline constexpr std::uint32_t kEstimationService = 110;
inline constexpr std::uint32_t kNoOutcome = 9;

// What request 2 answers, as far as the checks read it.
struct Results {
  std::uint32_t outcome = kNoOutcome;
  std::uint32_t iterations = 0;
  double initial = 0.0, final = 0.0;
  std::vector<std::string> estimated, reconciled;
  std::vector<double> estimates;
  std::uint8_t statistics = 0;
  std::vector<double> errors, covariance;
  // Per measurement, experiments in order: observed and predicted.
  std::vector<std::pair<double, double>> measurements;
};

inline bool Decode(const vantor_client::Bytes& body, Results* out) {
  Reader r(body);
  Results res;
  res.outcome = r.Get<std::uint32_t>();
  res.iterations = r.Get<std::uint32_t>();
  res.initial = r.Get<double>();
  res.final = r.Get<double>();
  const std::uint32_t n_est = r.Get<std::uint32_t>();
  for (std::uint32_t j = 0; j < n_est && r.ok(); ++j) res.estimated.push_back(r.Text());
  const std::uint32_t n_rec = r.Get<std::uint32_t>();
  for (std::uint32_t j = 0; j < n_rec && r.ok(); ++j) res.reconciled.push_back(r.Text());
  if (r.Get<std::uint32_t>() == 1) {
    for (std::uint32_t j = 0; j < n_est; ++j) res.estimates.push_back(r.Get<double>());
    res.statistics = r.Get<std::uint8_t>();
    const std::size_t n = n_est + n_rec;
    if (res.statistics >= 1) {
      for (std::size_t j = 0; j < n; ++j) res.errors.push_back(r.Get<double>());
      for (std::size_t j = 0; j < n * (n + 1) / 2; ++j) res.covariance.push_back(r.Get<double>());
    }
    if (res.statistics == 2) {
      for (std::size_t j = 0; j < n * (n + 1) / 2; ++j) r.Get<double>();
    }
    const std::uint32_t experiments = r.Get<std::uint32_t>();
    for (std::uint32_t e = 0; e < experiments && r.ok(); ++e) {
      r.Text();
      const bool dynamic = r.Get<std::uint32_t>() != 0;
      const std::uint32_t count = r.Get<std::uint32_t>();
      for (std::uint32_t i = 0; i < count && r.ok(); ++i) {
        std::uint32_t entries = 1;
        if (dynamic) {
          r.Get<double>();
          entries = r.Get<std::uint32_t>();
        }
        for (std::uint32_t k = 0; k < entries && r.ok(); ++k) {
          r.Text();
          const double observed = r.Get<double>();
          const double predicted = r.Get<double>();
          for (int skip = 0; skip < 3; ++skip) r.Get<double>();
          res.measurements.emplace_back(observed, predicted);
        }
      }
    }
  }
  *out = res;
  return r.ok();
}

// One steady-state experiment: inputs at their one value, and measurements
// (variable index under the node, observed value, weight or 0 for none).
struct Experiment {
  std::string name;
  std::vector<std::pair<std::uint32_t, double>> inputs;
  std::vector<std::uint32_t> measured;
  struct Entry {
    std::uint32_t variable;
    double observed;
    double weight;
    double time = 0.0;  // dynamic experiments only
  };
  std::vector<Entry> entries;
  // A dynamic experiment sets its initial values and measures over time.
  bool dynamic = false;
  std::vector<std::pair<std::uint32_t, double>> initials;
};

struct Definition {
  std::vector<std::uint32_t> estimated;
  std::vector<Experiment> experiments;
  std::vector<std::uint32_t> records;
};

class EstimationRoad : public EngineRoad {
 protected:
  // Starts the engine with tight solver and estimator tolerances, loads the
  // model into the node at root index 2 and prepares it for steady state.
  bool Start(const std::function<void(Writer&)>& model, bool dynamic = false) {
    vantor_client::EngineOptions engine;
    engine.program = VANTOR_ENGINE;
    engine.timeout_ms = testsupport::HangBoundMs(120000);
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    if (!StartEngine(engine, "Est") || !IntOption(29, 1) || !IntOption(86, 1) ||
        !IntOption(124, 2) || !RealOption(87, 1e-12) || !RealOption(89, 1e-10) ||
        !IntOption(91, 500))
      return false;
    // Gear12 at tight tolerances for a dynamic experiment.
    if (dynamic && (!IntOption(30, 4) || !RealOption(130, 1e-10) || !RealOption(131, 1e-10)))
      return false;
    for (std::uint16_t tolerance : {0, 1, 2}) {
      if (!dynamic && !RealOption(tolerance, 1e-13)) return false;
    }
    return Load(model);
  }

  // Request 92, then the run: begun, solved at steady state, and waited
  // for until the results carry an outcome.
  bool Estimate(const Definition& d, Results* results) {
    auto request = std::make_unique<vantor_client::Request>(kEstimationService);
    Writer w(*request);
    w.U16(92);
    w.U16(static_cast<std::uint16_t>(d.estimated.size()));
    for (std::uint32_t index : d.estimated) {
      w.IdPath({2, index});
      w.F64(1.0);
      w.F64(0.0);
    }
    w.U16(static_cast<std::uint16_t>(d.experiments.size()));
    for (const Experiment& e : d.experiments) {
      w.Text(e.name.c_str());
      w.U16(e.dynamic ? 0 : 1);
      w.U16(static_cast<std::uint16_t>(e.inputs.size()));
      if (e.dynamic) {
        w.U16(static_cast<std::uint16_t>(e.initials.size()));
        w.U16(0);  // initial rates
      }
      w.U16(static_cast<std::uint16_t>(e.measured.size()));
      w.U16(static_cast<std::uint16_t>(e.entries.size()));
      w.F64(1.0);
      for (const auto& [index, value] : e.initials) {
        w.IdPath({2, index});
        w.F64(value);
      }
      for (const auto& [index, value] : e.inputs) {
        w.IdPath({2, index});
        w.U32(1);
        w.F64(0.0);
        w.F64(value);
      }
      for (std::uint32_t index : e.measured) w.IdPath({2, index});
      for (const auto& entry : e.entries) {
        w.IdPath({2, entry.variable});
        if (e.dynamic) w.F64(entry.time);
        w.F64(entry.observed);
        w.U8(entry.weight > 0.0 ? 1 : 0);
        if (entry.weight > 0.0) w.F64(entry.weight);
      }
      w.U32(0xFFFFFFFFu);
      w.Text("");
    }
    w.U32(0);
    w.U32(static_cast<std::uint32_t>(d.records.size()));
    for (std::uint32_t index : d.records) {
      w.IdPath({2, index});
      w.F64(0.0);
      w.F64(1.0);
      w.F64(0.0);
    }
    w.U32(0);
    if (w.status() != 0) return Fail("the definition does not fit its message");
    if (!road_->Expect(std::move(request), "request 92", 0)) return false;
    if (!BeginRun() || !road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0))
      return false;
    for (int poll = 0; poll < 6000; ++poll) {
      if (!Ask(results)) return false;
      if (results->outcome != kNoOutcome) return true;
      // An estimation the action stopped gives no outcome.
      if (Events().find("cannot proceed") != std::string::npos) {
        no_sensitivities_ =
            Events().find("could not compute the sensitivities") != std::string::npos;
        return Fail("the estimation stopped");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Fail("the estimation did not finish");
  }

  bool Ask(Results* results) {
    auto request = std::make_unique<vantor_client::Request>(kEstimationService);
    Writer(*request).U16(2);
    Status result = 0;
    std::vector<vantor_client::Message> replies;
    if (!road_->Exchange(std::move(request), "request 2", &result, &replies)) return false;
    if (result != 0 || replies.size() != 1 || !Decode(replies[0].body, results))
      return Fail("request 2: " + vantor_scenario::Hex(result));
    return true;
  }

  bool Finish() { return FinishRun(); }

  // Request 2 until the results carry statistics.
  bool StatisticsCame(Results* results) {
    for (int poll = 0; poll < 6000; ++poll) {
      if (!Ask(results)) return false;
      if (results->statistics >= 1) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Fail("the statistics did not come");
  }

  // Request 134 until the run has ended: the estimation's last pass is
  // over, whatever the results said before it.
  bool RunEnded() {
    constexpr Status kBusy = 0x0032000Au;
    Status ended = kBusy;
    const auto until =
        std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::seconds(30));
    for (int tries = 0; ended == kBusy && std::chrono::steady_clock::now() < until; ++tries) {
      if (tries > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      auto end = std::make_unique<vantor_client::Request>(kProblemService);
      end->PutUInt16(134);
      if (!road_->Exchange(std::move(end), "request 134", &ended)) return false;
    }
    return ended == kRunEnded || Fail("request 134: " + vantor_scenario::Hex(ended));
  }

  // The engine could not give steady-state sensitivities of a model
  // without derivatives, which every pass needs.
  bool no_sensitivities_ = false;
};

#define ESTIMATE_OR_SKIP(definition, results)                                                  \
  do {                                                                                         \
    const bool estimated = Estimate(definition, results);                                      \
    if (!estimated && no_sensitivities_) {                                                     \
      GTEST_SKIP() << "this engine computes no steady-state sensitivities of a model without " \
                      "derivatives";                                                           \
    }                                                                                          \
    ASSERT_TRUE(estimated) << Failure() << Events();                                           \
  } while (false)

inline Expr Exp(Expr e) { return Unary(32, std::move(e)); }
inline Expr Pow(Expr a, Expr b) { return Binary(23, std::move(a), std::move(b)); }

// b1 (index 1) and b2 (2) fixed, the input x (3) fixed, y (4) free:
// y = f(b1, b2, x) (10), references in the order y, b1, b2, x; the list
// holds `more` items after these.
inline void Regression(Writer& w, const std::vector<double>& start, const Expr& f,
                       std::uint32_t more = 0) {
  w.List(5 + more);
  const char* names[] = {".b1", ".b2", ".x"};
  for (std::uint32_t i = 0; i < 3; ++i) {
    ModelVariable(w, modelwriter::kRealVariable, i + 1, names[i], i < 2 ? start[i] : 1.0, 4);
  }
  ModelVariable(w, modelwriter::kRealVariable, 4, ".y", 1.0, 1);
  ModelEquation(w, 10, ".e", Sub(Var(0), f), {{2, 4}, {2, 1}, {2, 2}, {2, 3}});
}

// y = b·x through (1, 2.1), (2, 3.9), (3, 6.2): b = Σxy / Σx² = 28.5 / 14.
inline constexpr double kLineSlope = 28.5 / 14.0;

inline Definition LineFit() {
  Definition d;
  d.estimated = {1};
  const double y[] = {2.1, 3.9, 6.2};
  for (std::uint32_t k = 0; k < 3; ++k) {
    Experiment e;
    e.name = std::string("L").append(std::to_string(k + 1));
    e.inputs = {{3, k + 1.0}};
    e.measured = {4};
    e.entries = {{4, y[k], 0.0}};
    d.experiments.push_back(e);
  }
  d.records = {4};
  return d;
}

struct Solver {
  const char* name;
  const char* label;   // in the test's name
  std::uint32_t kind;  // EstimationSolver
  bool likelihood;     // Estimator 2
};

inline constexpr Solver kSolvers[] = {{"SLSQP", "SLSQP", 1, false},
                                      {"NLS", "NLS", 2, false},
                                      {"differences", "Differences", 3, false},
                                      {"Ipopt", "Ipopt", 10, false},
                                      {"maximum likelihood", "MaximumLikelihood", 2, true}};

}  // namespace estimationroad
