// The homotopy parameters an open nonlinear solver may move: a narrow face
// of the run's homotopy, which the control layer installs for the process.
#pragma once

#include <cstdint>

#include "platform/status.h"

class QLNHomotopyParameters {
 public:
  virtual ~QLNHomotopyParameters() = default;
  virtual std::int32_t Count() = 0;
  virtual Status SetValue(std::int32_t index, double value) = 0;
  // Evaluates the model at the values set; positive is a failure.
  virtual Status Evaluate() = 0;
  virtual double Value(std::int32_t index) = 0;
  virtual const char* Name(std::int32_t index) = 0;
};

// Null when no homotopy is installed.
QLNHomotopyParameters* ProcessHomotopy();
void SetProcessHomotopy(QLNHomotopyParameters* homotopy);
