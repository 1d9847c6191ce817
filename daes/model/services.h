// What the equation system asks of subsystems above it: the results set,
// the optimisation manager's reals, forgetting a destroyed variable and the
// sending of client notices. Each
// is a process-wide pointer that its owner sets; null means "not present",
// with the answers callers expect of an engine without that manager.
#pragma once

#include <cstdint>

#include "platform/status.h"

class DAESVarTableEntry;
class DseMessage;

class DAESResultsServices {
 public:
  virtual void AddVariable(DAESVarTableEntry* entry) = 0;
  virtual void RemoveVariable(DAESVarTableEntry* entry) = 0;
  virtual void ForgetEntry(DAESVarTableEntry* entry) = 0;
  // Code 24 with the advised flag: the value of an outside component.
  virtual Status AssignValue(DAESVarTableEntry* entry, double value, std::int32_t code,
                             std::uint32_t flags) = 0;

 protected:
  ~DAESResultsServices() = default;
};

class DAESOptimisationServices {
 public:
  virtual Status GetVariableReals(DAESVarTableEntry* entry, double* first, double* second) = 0;

 protected:
  ~DAESOptimisationServices() = default;
};

class DAESVariable;

// The problem manager's tables and the control-design manager both remember
// variables; a variable being destroyed asks each to forget it first. The
// problem manager's tables (and those of the managers above it) hold
// parameters too, which ask it as well.
class DAESProblemManagerServices {
 public:
  // The entry is still whole but for its place in the tree: its name may
  // be gone.
  virtual void ForgetVariable(DAESVarTableEntry* entry) = 0;

 protected:
  ~DAESProblemManagerServices() = default;
};

class DAESControlDesignServices {
 public:
  virtual void ForgetVariable(DAESVariable* variable) = 0;

 protected:
  ~DAESControlDesignServices() = default;
};

// The problem manager's variable table, to which the row elements of a
// model equation bind again before a solver equation is made for it.
class DAESVariableTable {
 public:
  // The variable of that full name; a failure status (bit 31) when the
  // table has none.
  virtual Status FindVariable(const char* name, DAESVarTableEntry** variable) = 0;

 protected:
  ~DAESVariableTable() = default;
};

// The sensitivity manager's record of values at earlier times.
class DAESSensitivityServices {
 public:
  // The variable's value `elapsed` time units before now, for the key.
  virtual Status GetValueAtTime(DAESVarTableEntry* variable, std::int32_t key, double elapsed,
                                double* value) = 0;

 protected:
  ~DAESSensitivityServices() = default;
};

// The property manager: the process-wide id of a component-list name (0 when
// unknown) and whether a property package is loaded.
class DAESPropertyServices {
 public:
  virtual std::int32_t GetPropertyId(const char* name) = 0;
  virtual bool PackageLoaded() = 0;

 protected:
  ~DAESPropertyServices() = default;
};

namespace daes {
DAESResultsServices* ResultsServices();
void SetResultsServices(DAESResultsServices* services);
DAESOptimisationServices* OptimisationServices();
void SetOptimisationServices(DAESOptimisationServices* services);
DAESProblemManagerServices* ProblemManagerServices();
void SetProblemManagerServices(DAESProblemManagerServices* services);
DAESControlDesignServices* ControlDesignServices();
void SetControlDesignServices(DAESControlDesignServices* services);
// Null while no problem manager installed one: elements keep their binding.
DAESVariableTable* VariableTable();
void SetVariableTable(DAESVariableTable* table);
DAESSensitivityServices* SensitivityServices();
void SetSensitivityServices(DAESSensitivityServices* services);
DAESPropertyServices* PropertyServices();
void SetPropertyServices(DAESPropertyServices* services);

// Sends a client notice and takes the message. The default goes out through
// the controller without callback or time-out; tests put a recorder here.
using NoticeSender = Status (*)(DseMessage* message);
NoticeSender SetNoticeSender(NoticeSender sender);
Status SendNotice(DseMessage* message);
}  // namespace daes
