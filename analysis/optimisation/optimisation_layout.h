// What the optimisation drivers see of a defined optimisation: the
// optimisation variables in list order (initial, decision, control values
// control by control, the movable element lengths), the controls, the
// constraint records, the objective and the time horizon. The manager fills
// one from its definition; driver-level tests fill one by hand and play the
// model themselves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class AnalysisVariable;

namespace optimisation {

enum class EntryKind : std::int32_t { kInitial, kDecision, kControl, kLength };

// One optimisation variable. With a variable the driver reads and writes
// through it; without one (driver-level use) value, bounds and scale stand.
struct Entry {
  EntryKind kind = EntryKind::kDecision;
  AnalysisVariable* variable = nullptr;
  std::string name;
  double value = 0.0;
  double lower = -1e30;
  double upper = 1e30;
  // Reports show value / scale.
  double scale = 1.0;
  // Control values: the control and the value's index (0-based); lengths:
  // the element (0-based).
  std::int32_t control = -1;
  std::int32_t index = 0;
};

struct Control {
  std::string name;
  // 0 = none.
  double max_move = 0.0;
};

// Kinds: 0 x = 0, 1 x >= 0, 2 x >= bound, 3 x <= bound.
struct Constraint {
  std::int32_t kind = 1;
  double bound = 0.0;
  // 1-based; 0 = not tied to an element.
  std::int32_t element = 0;
  double position = 0.0;
  std::string variable;
};

struct Layout {
  std::vector<Entry> entries;
  std::vector<Control> controls;
  bool piecewise_linear = false;
  // Equalities come first among the records.
  std::vector<Constraint> constraints;
  std::int32_t equalities = 0;
  std::vector<std::string> objectives;
  // The constrained variables, in the order their values are collected.
  std::vector<std::string> constrained;
  // The final time is (part of) the objective.
  bool final_time_objective = false;
  bool final_time_free = false;
  double final_time_lower = 0.0;
  double final_time_upper = 0.0;
  bool moving_elements = false;
  // The current element lengths (N of them; none in a steady state). The
  // movable ones are also entries of kind kLength.
  std::vector<double> element_lengths;
  double final_time = 0.0;
  // The option `Optimizer`: 1 and 10 print their tolerance.
  std::int32_t optimizer = 1;
};

// Counts of one kind of entry.
std::int32_t CountEntries(const Layout& layout, EntryKind kind);

}  // namespace optimisation
