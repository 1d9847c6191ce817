// Analysis roads through a real engine, as the modelling environment drives
// them: a tank model loaded through the instance manager and solved at
// steady state, then either linearised by the control-design service (114)
// or moved to a new inflow by the homotopy service (69). Each road starts
// its own engine and ends it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/first_order.h"

namespace vantor_scenario {

// A matrix of a control-design reply: 1-based triplets, or the error code.
struct CdiMatrix {
  std::uint16_t bit = 0;
  bool available = false;
  std::int32_t error = 0;
  std::vector<double> values;
  std::vector<std::uint16_t> rows, cols;
  // The dense value at (row, col), 1-based; 0 where no triplet is.
  double At(std::uint16_t row, std::uint16_t col) const;
};

struct CdiReply {
  std::uint16_t states = 0, inputs = 0, outputs = 0;
  std::vector<CdiMatrix> matrices;
  double time = 0.0;
  // Inputs, outputs, then states: name and value times scale.
  std::vector<std::pair<std::string, double>> values;
  const CdiMatrix* Find(std::uint16_t bit) const;
};

// Reads a reply of kind 84 for a request without step response and STM;
// false when the bytes do not follow the layout.
bool DecodeCdiReply(const std::vector<std::uint8_t>& body, std::uint16_t options, CdiReply* reply);

enum class TankModel {
  // "T101": A*h' = F_in - k*SQRT(h), A = 2, k = 0.5, F_in fixed.
  kDrained,
  // "TwoTank": A1*h1' = F1 - F12, F12 = c*(h1 - h2), A2*h2' = F2 + F12 - F3,
  // F3 = k*SQRT(h2); A1 = 2, A2 = 1, c = 0.25, k = 0.5, F1 = F2 = 0.5.
  kInteracting,
};

struct AnalysisRunOptions {
  vantor_client::EngineOptions engine;
  std::string folder;
  TankModel model = TankModel::kDrained;
  // The drained tank's inflow before the steady state (NaN: as written).
  double inflow = NAN;
  // "PrintLevel" for the whole road (negative: the engine's default).
  int print_level = -1;
  // Integer options set before the model is loaded: number, value.
  std::vector<std::pair<std::uint16_t, std::int32_t>> int_options;
  // The control design's outputs by index under the model node (empty:
  // the states).
  std::vector<std::uint32_t> outputs;
  // A step response asked for with the request: u1 settled intervals, u2
  // the most intervals, u3 steps per interval (none when u2 is 0).
  std::uint16_t settled = 0, most_intervals = 0, steps = 0;
  // What the client does once the computation has been asked for and has
  // not answered for a moment: wait for its answer, send command 2 (the
  // computation's answer is not waited for), or close.
  enum class WhileComputing { kWait, kEndCommand, kClose } while_computing = WhileComputing::kWait;
  // With kEndCommand: this many one-segment commands posted first (command
  // 81 of the problem service, which only stores a flag), all written out
  // before command 2 goes.
  std::uint32_t flood = 0;
};

struct LinearisationRun {
  FirstOrderRun trace;         // failure, events
  std::vector<double> steady;  // the states at the steady state
  CdiReply reply;
  Status compute_status = 0xFFFFFFFFu;
  // With kEndCommand: command 2's status; and whether the computation
  // answered before the moment was over.
  Status end_status = 0xFFFFFFFFu;
  bool answered_at_once = false;
  // With a flood: the engine's resident memory before it, and the most it
  // held (both in kB; -1 when it could not be read), just before command 2.
  long memory_before_kb = -1;
  long memory_peak_kb = -1;
  // With kClose: what closing gave (0, or 0xA000FFFF when the engine had to
  // be killed) and the engine's exit code.
  Status close_status = 0xFFFFFFFFu;
  int closed_exit_code = -1;
};

// Steady state, then one control-design request for A, B, C, D, G and
// (two inputs) RGA with unit scales: the states are the outputs unless
// named, the fixed inflows the inputs. A computation that fails answers
// its status, with kind 84 alone at most.
bool RunLinearisation(const AnalysisRunOptions& options, LinearisationRun* run);

struct HomotopyRun {
  FirstOrderRun trace;
  // The direct steady state at the target from the start point: its
  // notification bits (0x100 when it failed) and h after it.
  bool direct_failed = false;
  double direct_h = NAN;
  // The homotopy: lambda at the end (message 74), and h and the inflow.
  double lambda = NAN;
  double homotopy_h = NAN;
  double homotopy_inflow = NAN;
  // A direct steady state from a good guess at the target.
  double reference_h = NAN;
};

// On the drained tank from the steady state at `options.inflow`: the steady
// state at `target` tried directly (restored afterwards), then reached by
// homotopy over the inflow, then solved directly from a good guess.
bool RunHomotopy(const AnalysisRunOptions& options, double target, double good_guess,
                 HomotopyRun* run);

}  // namespace vantor_scenario
