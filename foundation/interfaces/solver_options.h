// The process-wide table of numbered solver options as the model and the
// utility classes read it. The solver option table of the solve subsystem
// (solve/), with its setters, clients and message-server face, implements it
// and installs itself here at start-up;
// until then, and in programs without a solver subsystem, Instance answers
// the built-in defaults.
#pragma once

#include <cstdint>

#include "foundation/interfaces/options_handler.h"
#include "platform/status.h"

// Option numbers read below the solver subsystem.
inline constexpr std::int32_t kOptEqnTol = 0;
inline constexpr std::int32_t kOptEquationSensCheck = 50;
inline constexpr std::int32_t kOptEquationSensTol = 51;
inline constexpr std::int32_t kOptRelativeSingularityTol = 53;
inline constexpr std::int32_t kOptAbsoluteSingularityTol = 54;
inline constexpr std::int32_t kOptKeepCompiledEvaluationFiles = 119;
inline constexpr std::int32_t kOptIntegrator = 30;
inline constexpr std::int32_t kOptPrintLevel = 31;
inline constexpr std::int32_t kOptAbsPerturb = 75;
inline constexpr std::int32_t kOptRelPerturb = 76;
inline constexpr std::int32_t kOptCheckProcDerivs = 78;
inline constexpr std::int32_t kOptTearing = 97;
inline constexpr std::int32_t kOptDerivRelTol = 109;
inline constexpr std::int32_t kOptDerivAbsTol = 110;
inline constexpr std::int32_t kOptCompression = 111;
inline constexpr std::int32_t kOptListEquivalenceVariables = 168;

// Its first base is the options handler: the table's address serves the
// libraries that receive it as one.
class SolverOptions : public QLNOptionsHandler {
 public:
  // The installed table, or the defaults, made once by whichever thread asks first.
  static SolverOptions* Instance();
  // Makes `table` the process-wide table (null goes back to the defaults) and
  // returns the table installed before, null when there was none. The table
  // stays with the caller, which uninstalls it before it goes.
  static SolverOptions* Install(SolverOptions* table);

  virtual ~SolverOptions() = default;

  // Each getter knows its own numbers; any other number, including one of
  // another kind, gives 0, 0.0 or false.
  virtual std::int32_t GetInt(std::int32_t number) = 0;
  virtual double GetReal(std::int32_t number) = 0;
  virtual bool GetBool(std::int32_t number) = 0;

  // The integer setter: an option whose changes are staged keeps the value
  // as requested until the staged values are applied.
  virtual Status SetInt(std::int32_t number, std::int32_t value) = 0;
};
