// The FirstOrder scenario: the sample first-order lag driven through the
// engine as the modelling environment drives it. It loads the model through
// the instance manager, prepares it, edits it (a malformed description that
// must be refused, then a good one, commands 29 and 6), solves the steady
// state, sets u := 5, switches to dynamic mode and takes eleven steps of the
// communication interval, reading x and y at each; then ends the engine.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/client.h"

namespace vantor_scenario {

inline constexpr double kSteadyTolerance = 1e-8;
inline constexpr double kDynamicTolerance = 1e-4;
// The results variant's communication interval and its steps over [0, 1].
inline constexpr double kResultsInterval = 0.05;
inline constexpr int kResultsSteps = 21;

// x(t) after u := 5 from x(0) = 2 with k = 1.
inline double ExactX(double t) { return 5.0 - 3.0 * std::exp(-t); }

struct Sample {
  double t = 0.0;
  double x = 0.0;
  double y = 0.0;
};

struct FirstOrderOptions {
  vantor_client::EngineOptions engine;
  // The working folder; the run folder "FirstOrder" is made in it.
  std::string folder;
  // The folder as the user named it, for the lines that name it (folder
  // when empty).
  std::string shown_folder;
  // Run the edit (malformed, then good, commands 29 and 6) before solving.
  bool edit = true;
  // The results-protocol variant: the communication interval 0.05 (21
  // steps), u := 5 by a set-item of the results manager, x and y through a
  // result template refilled at every step, the plot history recording x
  // and a time-plot report of it over [0, 1] after the run, the initial
  // specification snapshot asked for (command 16) and request 58 restoring
  // the run's newest snapshot.
  bool results = false;
};

struct FirstOrderRun {
  // The communication interval the run used.
  double interval = 0.1;
  double steady_x = NAN;
  double steady_y = NAN;
  std::vector<Sample> samples;
  // The status the malformed instance description was refused with.
  Status refused = 0;
  int exit_code = -1;
  bool snapshot_written = false;
  // Empty when every step was answered as the road says; else what broke.
  std::string failure;
  // The engine's event lines, in order, and the value of each line's group
  // (a status, or a message number).
  std::vector<std::string> events;
  std::vector<std::uint32_t> event_values;
  // With options.results: the result template's kinds, its values of x
  // and y at its creation and after every step (times from the step's
  // notification), the instance manager's reads after the last step, the
  // time plot of x and request 58.
  std::vector<std::uint16_t> result_kinds;
  std::vector<double> result_values;
  std::vector<Sample> refills;
  Sample read_back;
  std::vector<double> plot_times;
  std::vector<double> plot_x;
  double plot_tolerance = 0.0;
  // Requests 19 (the run's snapshots), 43 (the folder's other snapshot
  // files) and 33 (the newest snapshot read back).
  std::vector<std::string> snapshot_names;
  std::vector<std::string> other_files;
  std::string sent_name;
  double sent_time = -1.0;
  Status restore_status = 0xFFFFFFFFu;
  std::string restored_name;
};

// Runs the whole road; false when a step broke it (run->failure says which).
bool RunFirstOrder(const FirstOrderOptions& options, FirstOrderRun* run);

// Whether every value of a finished run is within its tolerance, the
// engine ended cleanly and the snapshot file was written.
bool WithinTolerance(const FirstOrderRun& run);

}  // namespace vantor_scenario
