// What the problem manager asks of the subsystems above the control layer:
// the estimation (reset when a problem is detached) and the code export
// (the problem's loadable code, its makefile and the compiled-equation
// check). The engine installs its implementation at start-up; until then,
// and in engines without those subsystems, each answers as if there were
// nothing to do or nothing to export with.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/status.h"

class DAESProblem;

class SimUpperServices {
 public:
  static constexpr Status kNotAvailable = 0x8032FFFFu;
  static constexpr Status kNoExportObject = 0x0032000Au;

  // The estimation forgets its definition, experiments and results.
  virtual void ResetEstimation() {}
  // The code-export object's check of the compiled equations.
  virtual Status CheckCompiledEquations() { return kNoExportObject; }
  // The problem's loadable code; every line of progress goes to `progress`.
  virtual Status WriteProblemCode(DAESProblem* /*problem*/,
                                  const std::function<void(const char*)>& /*progress*/) {
    return kNotAvailable;
  }
  // The makefile that compiles and links the exported code; with `build`
  // it is run too.
  virtual Status WriteExportMakefile(bool /*build*/) { return kNotAvailable; }

 protected:
  ~SimUpperServices() = default;
};

// The stand-in of an engine without those subsystems.
class SimPlainUpperServices final : public SimUpperServices {};
