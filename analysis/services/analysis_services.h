// What the analysis managers ask of the rest of the engine: the problem
// manager, the results manager, the action manager, the option table, the
// delay manager, the integrator, the optimisation manager and the Open NLP
// loader. The engine gives the managers one implementation over its real
// objects; tests give recording doubles. Server and run thread as the
// callers are; no lock.
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"

class AnalysisVariable;
class BvuBinaryStream;
class DAESVarTableEntry;
class NewSimAction;
class SimActionFactory;
class VariableDriver;

// Solver option numbers the analysis managers read and write.
namespace analysis_options {
inline constexpr std::int32_t kRunType = 29;
inline constexpr std::int32_t kEstimator = 86;
inline constexpr std::int32_t kSyncSteps = 123;
inline constexpr std::int32_t kEstimationSolver = 124;
inline constexpr std::int32_t kRunSteadyState = 1;
inline constexpr std::int32_t kRunDynamic = 4;
}  // namespace analysis_options

// Flag of the results manager that the analysis runs hold while active.
inline constexpr std::uint32_t kResultsAnalysisFlag = 0x8;

// Removing a variable's driver found none: a success, as S_FALSE is.
inline constexpr Status kDriverNotHeld = 1;

// One option of a loaded Open NLP solver, as its option interface lists it.
struct EstNLPOption {
  static constexpr std::uint16_t kInteger = 4;
  static constexpr std::uint16_t kReal = 24;
  static constexpr std::uint16_t kString = 68;
  std::string name;
  std::string description;
  std::uint16_t tag = kInteger;
  std::int32_t integer[3] = {0, 0, 0};  // value, lower, upper
  double real[3] = {0.0, 0.0, 0.0};
  std::string text[2];
};

// The option interface of an Open NLP solver ({CF690D4B-...}).
class EstNLPOptions {
 public:
  virtual std::int32_t Count() = 0;
  virtual Status Describe(std::int32_t index, EstNLPOption* option) = 0;
  // kind 0 integer, 1 real, 2 string; value points at an int32, a double or
  // a C string. Negative when the solver refuses.
  virtual Status Set(const char* name, std::int32_t kind, const void* value) = 0;

 protected:
  ~EstNLPOptions() = default;
};

// A loaded Open NLP estimation solver.
class EstOpenNLPSolver {
 public:
  virtual const char* Name() = 0;
  // Null when the solver has no option interface.
  virtual EstNLPOptions* Options() = 0;

 protected:
  ~EstOpenNLPSolver() = default;
};

class AnalysisServices {
 public:
  virtual ~AnalysisServices() = default;

  // --- problem manager ---
  // Reads an id path from the body and resolves it to a variable of the
  // model; a failure status when the path does not resolve.
  virtual Status ReadVariableReference(BvuBinaryStream& body, AnalysisVariable** variable) = 0;
  // A run step computes on the run thread: what it reads and writes is not
  // this thread's to change.
  virtual bool StepComputing() = 0;
  // The dynamic run goes on from its last step: its integration carries
  // the sensitivities of the lists it began with.
  virtual bool IntegrationGoesOn() = 0;
  virtual void ResetPendingTime() = 0;
  virtual void RaiseAnalysisCounter() = 0;
  virtual void LowerAnalysisCounter() = 0;
  virtual void SetCurrentTime(double time) = 0;
  virtual void SetTimeRecord(double time, std::uint16_t counter) = 0;
  virtual void GetTimeRecord(double* time, std::uint16_t* counter) = 0;
  // A message line for the client with its status.
  virtual void Print(Status status, const std::string& text) = 0;
  // The variable-value dump's sensitivity lines (written only with a dump).
  virtual void DumpSensitivity(AnalysisVariable* variable, AnalysisVariable* parameter,
                               double value) = 0;
  virtual void DumpSwitchTimeSensitivity(AnalysisVariable* variable, std::int32_t row,
                                         double value) = 0;
  // Installs (null: removes) the time-profile driver of a variable. Removing
  // answers kDriverNotHeld where the table held none for the variable: it
  // has been cleared since, and has deleted the driver it held.
  virtual Status SetVariableDriver(AnalysisVariable* variable, VariableDriver* driver) = 0;

  // --- solver option table ---
  virtual std::int32_t GetIntOption(std::int32_t number) = 0;
  virtual void SetIntOption(std::int32_t number, std::int32_t value) = 0;
  // The named option `full_name` ("solver.option") as a real, an integer
  // one converted; false when it is not set or holds neither.
  virtual bool GetNamedReal(const char* full_name, double* value) = 0;

  // --- results manager ---
  virtual void SetResultsFlags(std::uint32_t flags) = 0;
  virtual void ClearResultsFlags(std::uint32_t flags) = 0;
  virtual void SetCommunicationTime(double time) = 0;
  virtual Status DeleteSnapshot(std::uint32_t number) = 0;

  // --- action manager ---
  virtual Status RegisterActionFactory(SimActionFactory* factory) = 0;
  virtual Status CreateAction(const char* name, NewSimAction** action) = 0;
  virtual Status RemoveAction(NewSimAction* action) = 0;

  // --- delay manager: the history of delayed values' sensitivities ---
  virtual Status SizeSensitivityHistory(std::int32_t elements) = 0;
  virtual Status GetDelayedSensitivity(AnalysisVariable* variable, std::int32_t parameter,
                                       double time, double* value) = 0;
  virtual Status RecordDelayedSensitivity(AnalysisVariable* variable, std::int32_t parameter,
                                          double time, double value) = 0;
  // The face of a model variable, listed or not (a delayed variable need
  // not be a sensitivity variable); null for none.
  virtual AnalysisVariable* VariableFor(DAESVarTableEntry* entry) = 0;

  // --- integrator: drops its sensitivity work storage (none: nothing) ---
  virtual void DropSensitivityStorage() = 0;

  // --- optimisation manager: the rows of a control parameter ---
  virtual std::int32_t ControlValueCount() = 0;

  // --- Open NLP estimation solver ---
  virtual Status LoadOpenNLPEstimationSolver(const char* name, EstOpenNLPSolver** solver) = 0;
  // The same for the optimisation's own solver slot.
  virtual Status LoadOpenNLPOptimisationSolver(const char* name, EstOpenNLPSolver** solver) = 0;
  // Releases the solver object and its library.
  virtual void ReleaseOpenNLPSolver(EstOpenNLPSolver* solver) = 0;
  // A line through the open-messages handler.
  virtual void PrintOpenMessage(const std::string& text) = 0;
};
