// A method that solves one kind of equation-set group (explicit, linear,
// nonlinear, torn). The solver subsystem makes them from method codes; the
// process-wide table of current objects holds and deletes them.
#pragma once

class QLNGroupMethod {
 public:
  virtual ~QLNGroupMethod() = 0;
};

inline QLNGroupMethod::~QLNGroupMethod() = default;
