// TimeDependentVariable: the measured time profile of an experiment input,
// installed as the input variable's driver while a dynamic experiment runs.
// The times and values belong to the experiment.
#pragma once

#include <cstdint>

#include "foundation/interfaces/variable_drivers.h"

class TimeDependentVariable : public VariableDriver {
 public:
  TimeDependentVariable(std::int32_t count, const double* times, const double* values)
      : count_(count), times_(times), values_(values) {}

  // Linear inside the profile; the first value before it, the last value at
  // and after its end.
  double ValueAt(double time) const;
  double ValueAt(double time, double) override { return ValueAt(time); }
  std::int32_t Count() const { return count_; }

 private:
  std::int32_t count_;
  const double* times_;
  const double* values_;
};
