// What the solver option table asks of its owner, the problem manager of the
// control subsystem (control/), which sets itself as the owner when it makes
// or finds the table. A table without an owner stores print levels without
// telling anyone and has no answer to the requests below.
#pragma once

#include <cstdint>

class SolverOptionsOwner {
 public:
  // A new `PrintLevel` written by the client.
  virtual void SetPrintLevel(std::int32_t level) = 0;
  // The time unit the client shows (text) and its scale to hours.
  virtual const char* TimeUnit(double* scale) = 0;
  // The working folder and the run folder of the open problem; null when
  // there is none.
  virtual const char* WorkingFolderPath() = 0;
  virtual const char* RunFolderPath() = 0;

 protected:
  ~SolverOptionsOwner() = default;
};
