// What the run steps and the client requests use of the run's integrator.
// The integrator server proxy stands behind it in the engine; tests put a
// recording fake in its place.
#pragma once

#include <cstdint>

#include "platform/status.h"

class SimRunIntegrator {
 public:
  virtual ~SimRunIntegrator() = default;
  virtual std::int32_t GetIntegratorKind() const = 0;
  // Tells the server a run begins or ends (run control codes).
  virtual Status BeginRun() = 0;
  virtual Status EndRun() = 0;
};
