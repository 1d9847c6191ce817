// The reduced-space driver's reports: the problem summary, the variable,
// constraint and gradient reports and the debug dump.
#include <cstdio>
#include <string>

#include "analysis/optimisation/reduced_driver.h"
#include "analysis/services/report_text.h"

using optimisation::EntryKind;

namespace {

std::size_t Z(std::int32_t i) { return static_cast<std::size_t>(i); }

using analysis_text::Line;

const char* const kNine = "         ";

}  // namespace

void ReducedSpaceDriver::Summary() const {
  const optimisation::Layout& l = layout_;
  const bool minimise = sign_ > 0.0;
  Say(0, "The following optimization problem will be solved:");
  if (k_ == 1 && !l.final_time_objective) {
    Say(0, Line("  %s %s", minimise ? "Minimize" : "Maximize", l.objectives[0].c_str()));
  } else if (k_ == 0 && l.final_time_objective) {
    Say(0, minimise ? "  Minimize the final time" : "  Maximize the final time");
  } else {
    Say(0, minimise ? "  Minimize the sum of the following objective variables:"
                    : "  Maximize the sum of the following objective variables:");
    for (const std::string& name : l.objectives) Say(0, Line("  %s", name.c_str()));
    if (l.final_time_objective) Say(0, "  Final Time");
  }
  Say(0, Line("  Total number of optimization variables = %d, made up of:", p_));
  Say(0, Line("  %d decision\n  %d initial\n  %d %s discretized control variables\n"
              "  %d moving elements",
              optimisation::CountEntries(l, EntryKind::kDecision),
              optimisation::CountEntries(l, EntryKind::kInitial),
              optimisation::CountEntries(l, EntryKind::kControl),
              l.piecewise_linear ? "piecewise linear" : "piecewise constant",
              optimisation::CountEntries(l, EntryKind::kLength)));
  Say(0, Line("  Number of constraints: inequality=%d; equality=%d",
              constraint_count_ - equality_count_, equality_count_));
  if (l.final_time_free) {
    Say(0, Line("  The final time is free and bounded within %14.6e and %14.6e", l.final_time_lower,
                l.final_time_upper));
  }
  for (const optimisation::Control& c : l.controls) {
    if (c.max_move > 0.0) {
      Say(0, Line("  Maximum move of %g applied to %s", c.max_move, c.name.c_str()));
    }
  }
  double tolerance = 0.0;
  if (l.optimizer == 1) {
    Say(0, Line("  Optimization tolerance = %13.6e\n ", tolerance_));
  } else if (l.optimizer == 10 && named_tolerance_ && named_tolerance_(&tolerance)) {
    Say(0, Line("  Optimization tolerance = %13.6e\n ", tolerance));
  }
}

void ReducedSpaceDriver::VariableReport(bool with_bounds, bool with_multipliers) const {
  auto lower_mult = [&](std::int32_t j) { return multipliers_[Z(2 * j + 1)]; };
  auto upper_mult = [&](std::int32_t j) { return multipliers_[Z(2 * j)]; };
  auto scaled = [&](std::int32_t j, double v) { return v / scales_[Z(j)]; };
  bool header = false;
  for (std::int32_t j = 0; j < p_; ++j) {
    const optimisation::Entry& e = layout_.entries[Z(j)];
    if (e.kind == EntryKind::kControl) continue;
    if (!header) {
      header = true;
      if (with_multipliers) {
        Say(0, "         Value   Lower Lagrange Mult.   Upper Lagrange Mult.  Name");
      } else if (with_bounds) {
        Say(0, "         Value      Lower Bound    Upper Bound   Name");
      } else {
        Say(0, "         Value   Name");
      }
    }
    const double v = scaled(j, x_[Z(j)]);
    if (with_multipliers) {
      Say(0, Line("%14.6e%s%14.6e%s%14.6e  %s", v, kNine, lower_mult(j), kNine, upper_mult(j),
                  e.name.c_str()));
    } else if (with_bounds) {
      Say(0, Line("%14.6e   %14.6e %14.6e    %s", v, scaled(j, bounds_[Z(j)]),
                  scaled(j, bounds_[Z(p_ + j)]), e.name.c_str()));
    } else {
      Say(0, Line("%14.6e   %s", v, e.name.c_str()));
    }
  }
  for (std::size_t c = 0; c < layout_.controls.size(); ++c) {
    Say(0, Line(layout_.piecewise_linear ? "Variable %s with piecewise linear   discretization"
                                         : "Variable %s with piecewise constant discretization",
                layout_.controls[c].name.c_str()));
    if (with_multipliers) {
      Say(0, "      Time           Value   Lower Lagrange Mult.   Upper Lagrange Mult.");
    } else if (with_bounds) {
      Say(0, "      Time           Value       Lower Bound    Upper Bound");
    } else {
      Say(0, "      Time           Value");
    }
    for (std::int32_t j = 0; j < p_; ++j) {
      const optimisation::Entry& e = layout_.entries[Z(j)];
      if (e.kind != EntryKind::kControl || Z(e.control) != c) continue;
      const double t = ControlTime(e.index);
      const double v = scaled(j, x_[Z(j)]);
      if (with_multipliers) {
        Say(0,
            Line("%10g  %14.6e%s%14.6e%s%14.6e", t, v, kNine, lower_mult(j), kNine, upper_mult(j)));
      } else if (with_bounds) {
        Say(0, Line("%10g  %14.6e    %14.6e %14.6e", t, v, scaled(j, bounds_[Z(j)]),
                    scaled(j, bounds_[Z(p_ + j)])));
      } else {
        Say(0, Line("%10g  %14.6e", t, v));
      }
    }
  }
}

void ReducedSpaceDriver::ConstraintReport(const Pass& pass, bool with_multipliers) const {
  if (r_ == 0) return;
  const bool dynamic = !layout_.element_lengths.empty();
  if (with_multipliers) {
    Say(0, "Values of constraints (unscaled) and corresponding Lagrange Multipliers:");
    Say(0, dynamic ? "         Value Constraint    Element     Time  Lagrange Mult.   Variable"
                   : "         Value Constraint    Lagrange Mult.   Variable");
  } else {
    Say(0, dynamic ? "Values of constraints (unscaled):\n         Value Constraint    Element"
                     "     Time   Variable"
                   : "Values of constraints (unscaled):\n         Value Constraint     Variable");
  }
  static const char* const kSymbols[] = {"==", ">=", ">=", "<="};
  for (std::int32_t r = 0; r < r_; ++r) {
    const optimisation::Constraint& con = layout_.constraints[Z(r)];
    const double value = pass.constraints != nullptr ? pass.constraints[r] : 0.0;
    const char* symbol = kSymbols[con.kind >= 0 && con.kind <= 3 ? con.kind : 1];
    const double multiplier = multipliers_[Z(2 * p_ + r)];
    double time = 0.0;
    if (con.element > 0 && Z(con.element) <= layout_.element_lengths.size()) {
      time =
          ControlTime(con.element - 1) + con.position * layout_.element_lengths[Z(con.element - 1)];
    }
    const char* name = con.variable.c_str();
    if (dynamic && with_multipliers) {
      Say(0, Line("%14.6e %2s%-10.2e  %7d %8g  %14.6e   %s", value, symbol, con.bound, con.element,
                  time, multiplier, name));
    } else if (dynamic) {
      Say(0, Line("%14.6e %2s%-10.2e  %7d %8g   %s", value, symbol, con.bound, con.element, time,
                  name));
    } else if (with_multipliers) {
      Say(0, Line("%14.6e %2s%-10.2e  %14.6e   %s", value, symbol, con.bound, multiplier, name));
    } else {
      Say(0, Line("%14.6e %2s%-10.2e   %s", value, symbol, con.bound, name));
    }
  }
}

void ReducedSpaceDriver::GradientReport(const Pass& pass) const {
  if (pass.gradients == nullptr) return;
  for (std::int32_t k = 0; k < k_; ++k) {
    const double* g = pass.gradients + Z(k) * Z(p_);
    Say(0, Line("Final values of gradient of %s are:", layout_.objectives[Z(k)].c_str()));
    for (std::int32_t j = 0; j < p_; ++j) {
      const optimisation::Entry& e = layout_.entries[Z(j)];
      switch (e.kind) {
        case EntryKind::kInitial:
        case EntryKind::kDecision:
          Say(0, Line("  %14.6e %s", g[j], e.name.c_str()));
          break;
        case EntryKind::kControl: {
          const std::string& control = e.control >= 0 && Z(e.control) < layout_.controls.size()
                                           ? layout_.controls[Z(e.control)].name
                                           : e.name;
          Say(0, Line(layout_.piecewise_linear
                          ? "  %14.6e piecewise linear discretization #%d of %s"
                          : "  %14.6e piecewise constant discretization #%d of %s",
                      g[j], e.index + 1, control.c_str()));
          break;
        }
        case EntryKind::kLength:
          Say(0, Line("  %14.6e element %d", g[j], e.index + 1));
          break;
      }
    }
  }
}

void ReducedSpaceDriver::DebugDump() const {
  Say(0, "Calling Optimizer with optimization variable values:");
  for (std::int32_t j = 0; j < p_; ++j) Say(0, Line("%d  %14.6e", j + 1, x_[Z(j)]));
  Say(0, Line("Objective function = %14.6e", objective_));
  Say(0, "Constraints:");
  for (std::int32_t i = 0; i < constraint_count_; ++i) Say(0, Line("%d  %14.6e", i + 1, c_[Z(i)]));
  const std::size_t ld = Z(p_ + 1);
  for (std::int32_t j = 0; j < p_; ++j) {
    Say(0, Line("Objective wrt variable %d = %14.6e", j + 1, gradients_[Z(j)]));
  }
  for (std::int32_t i = 0; i < constraint_count_; ++i) {
    Say(0, Line("Constraint %d gradients:", i + 1));
    for (std::int32_t j = 0; j < p_; ++j) {
      Say(0, Line("%d  %14.6e", j + 1, gradients_[Z(i + 1) * ld + Z(j)]));
    }
  }
}
