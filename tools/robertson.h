// The Robertson scenario: Robertson's stiff kinetics (three species, two
// rate laws and the mass balance, an index-1 DAE) sent to the engine as the
// modelling environment sends a model, and integrated from the start to each
// end time by an engine of its own: one communication interval from t = 0
// to the end, the variable-order integrator at the tolerances given.
#pragma once

#include <string>
#include <vector>

#include "tools/client.h"

namespace vantor_scenario {

struct RobertsonOptions {
  vantor_client::EngineOptions engine;
  // The working folder; the run folder "Robertson" is made in it.
  std::string folder;
  // The folder as the user named it, for the lines that name it (folder
  // when empty).
  std::string shown_folder;
  double rtol = 1e-6;
  double atol = 1e-14;
  // One run to each; the communication interval travels as a 4-byte float.
  std::vector<double> ends = {40.0, 4e5, 1e11};
};

struct RobertsonPoint {
  double t = 0.0;  // the time the run reached
  double y[3] = {0.0, 0.0, 0.0};
  double seconds = 0.0;  // the run's wall time, as the client saw it
};

struct RobertsonRun {
  std::vector<RobertsonPoint> points;
  int exit_code = -1;
  std::string failure;
  std::vector<std::string> events;
};

// Runs the road; false when a step broke it (run->failure says which).
bool RunRobertson(const RobertsonOptions& options, RobertsonRun* run);

// The published reference values (Test Set for IVP Solvers, problem ROBER,
// and its values at 40 and 4e5) at `t` within 1e-6 relative of 40, 4e5 or
// 1e11; false at any other time.
bool RobertsonReference(double t, double y[3]);

// The largest relative error of a point against the reference; infinite
// without a reference for its time.
double RobertsonError(const RobertsonPoint& point);

}  // namespace vantor_scenario
