// The C of the compiled equation library, equation by equation: each solver
// equation writes one function "Eqn<N>(int task)" whose cases compute the
// residual (0), the Jacobian entries (1), the column pattern (2) and reset
// or level switch states (3, 4). The writer state is shared across the
// equations of one library.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <sstream>
#include <vector>

#include "daes/blocks/block_kinds.h"
#include "expr/codegen/code_writer.h"

class DAESSolverEquation;

namespace daes {

// Equation tasks of the generated functions.
inline constexpr std::int32_t kTaskResidual = 0;
inline constexpr std::int32_t kTaskJacobian = 1;
inline constexpr std::int32_t kTaskColumns = 2;
inline constexpr std::int32_t kTaskResetState = 3;
inline constexpr std::int32_t kTaskLevelState = 4;

// A number per library writer, never reused.
std::uint64_t NextGeneration();

struct EquationCState {
  explicit EquationCState(std::ostream& stream) : out(&stream), generation(NextGeneration()) {}
  std::ostream* out;
  // Tells one library's writer from another made later at the same place.
  const std::uint64_t generation;
  // The tape writers' state: its current equation is the branch index, its
  // nonlinear marks the per-branch flags, its offset the running J offset.
  ExprCodeWriter expr;
  std::int32_t equation = 0;  // N, the number of the function being written
  std::int32_t last_split = 0;
  // Called when 100 or more functions were written since the last split.
  std::function<void()> split;
  // Finite-state rows: the nesting depth, the first state of the function
  // in the instance's state array, its state count, the switches met and
  // the stream of their initial states.
  std::int32_t depth = 0;
  std::int32_t state_base = 0;
  std::int32_t state_count = 0;
  std::int32_t switches = 0;
  std::ostream* initial_states = nullptr;
  std::int32_t function_rows = 0;
  std::int32_t total_rows = 0;
  bool success = true;  // of the function being written
  std::int32_t failed_functions = 0;

  // Procedure calls: one wrapper function "Fn<section>" per call, written
  // into its own section while the call's equations are written and put
  // out after the equation function that closes it.
  struct Section {
    std::ostringstream text;
    std::int32_t remaining = 0;  // equations of the call still to come
    bool closed = false;
    bool emitted = false;
  };
  std::vector<std::unique_ptr<Section>> sections;
  std::ostringstream precall;   // "PRECALL(...)" lines
  std::ostringstream postcall;  // "POSTCALL(...)" lines
  std::int32_t proc_data = 0;   // running offset into the instance's procedure data
  std::int32_t case_count = 0;  // case bodies of the row being written
  bool task_switch = false;     // code inside a switch on the task
  bool residual_label = false;  // the function has its "case 0:"
  bool properties_mode = false;
};

// A new section for a wrapper whose call has `equations` equations; its
// number (from 1).
std::int32_t OpenCodeSection(EquationCState& w, std::int32_t equations);
// Puts out every closed section not yet written; with `all` the open ones
// are closed first, so nothing of a wrapper is lost.
void EmitCodeSections(EquationCState& w, bool all);

}  // namespace daes

// The block-family writer over one solver equation.
class SolverEquationCodeWriter : public EquationCodeWriter {
 public:
  SolverEquationCodeWriter(DAESSolverEquation* equation, daes::EquationCState& state)
      : equation_(equation), state_(state) {}
  Status Prepare() override;
  Status WriteHead(std::uint32_t number) override;
  Status WriteCaseLabel(std::int32_t task) override;
  Status WriteResetState() override;
  Status WriteResidual() override;
  Status WriteJacobian() override;
  Status WriteColumnPattern() override;
  Status WriteText(const char* text) override;
  Status WriteEnd() override;

 private:
  DAESSolverEquation* equation_;
  daes::EquationCState& state_;
};
