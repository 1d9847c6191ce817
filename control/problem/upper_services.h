// What the problem manager asks of the subsystems above the control layer:
// the estimation (reset when a problem is detached), the code export
// (the problem's loadable code, its makefile and the compiled-equation
// check) and the analysis managers' tables of variables. The engine installs its implementation at start-up; until then,
// and in engines without those subsystems, the plain stand-in answers as if
// there were nothing to do or nothing to export with.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/status.h"

class DAESProblem;
class DAESVarTableEntry;

class SimUpperServices {
 public:
  static constexpr Status kNotAvailable = 0x8032FFFFu;
  static constexpr Status kNoExportObject = 0x0032000Au;

  // The estimation forgets its definition, experiments and results.
  virtual void ResetEstimation() = 0;
  // The code-export object's check of the compiled equations.
  virtual Status CheckCompiledEquations() = 0;
  // The problem's loadable code; every line of progress, with its status,
  // goes to `progress`.
  virtual Status WriteProblemCode(DAESProblem* problem,
                                  const std::function<void(Status, const char*)>& progress) = 0;
  // The makefile that compiles and links the exported code; with `build`
  // it is run too.
  virtual Status WriteExportMakefile(bool build) = 0;
  // A model variable or parameter is being destroyed: the managers above
  // let go of it.
  virtual void ForgetVariable(DAESVarTableEntry* entry) = 0;

 protected:
  ~SimUpperServices() = default;
};

// The stand-in of an engine without those subsystems.
class SimPlainUpperServices final : public SimUpperServices {
 public:
  // No estimation to forget.
  void ResetEstimation() override {}
  Status CheckCompiledEquations() override { return kNoExportObject; }
  Status WriteProblemCode(DAESProblem*, const std::function<void(Status, const char*)>&) override {
    return kNotAvailable;
  }
  Status WriteExportMakefile(bool) override { return kNotAvailable; }
  // Nothing above holds variables.
  void ForgetVariable(DAESVarTableEntry*) override {}
};
