// A method that solves one kind of equation-set group (explicit, linear,
// nonlinear, torn). Implemented by the group methods of the solve subsystem
// (solve/), which makes them from method codes; the process-wide table of
// current objects holds and deletes them.
#pragma once

class QLNGroupMethod {
 public:
  virtual ~QLNGroupMethod() = 0;
};

inline QLNGroupMethod::~QLNGroupMethod() = default;
