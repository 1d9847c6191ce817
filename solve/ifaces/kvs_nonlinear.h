// The nonlinear solver libraries: the factory behind "GetFactoryNLASystem",
// its system, and the engine's equation set with its extensions that the
// system works through.
#pragma once

#include <cstdint>

#include "solve/ifaces/kvs_common.h"

// A pivot of the equilibrated Jacobian (rows and columns scaled to largest
// entries near 1) below this counts as zero: the rank is decided at
// round-off, by the engine's direct corrector and the libraries alike, so a
// well-posed group of any size is solved the same way.
inline constexpr double kKvsRankFloor = 1e-14;

class KVSNumericAlgebraicESO : public platform::IUnknown {
 public:
  /* 3 */ virtual Status GetNumVariables(std::int32_t* count) = 0;
  /* 4 */ virtual Status GetNumEquations(std::int32_t* count) = 0;
  /* 5 */ virtual Status GetVariableBounds(const KVSIndexList* list, double* lower,
                                           double* upper) = 0;
  /* 6 */ virtual Status SetVariableValues(const KVSIndexList* list, const double* values) = 0;
  /* 7 */ virtual Status GetVariableValues(const KVSIndexList* list, double* values) = 0;
  /* 8 */ virtual Status GetVariableName(std::int32_t index, char** text) = 0;
  /* 9 */ virtual Status GetEquationName(std::int32_t index, char** text) = 0;
  // Pairs (equation, -1) into the caller's array of 2 x equations.
  /* 10 */ virtual Status GetEquationVariablePairs(std::int32_t* count, std::int32_t* pairs) = 0;
  /* 11 */ virtual Status Evaluate(const KVSIndexList* equations, double* residuals,
                                   double* jacobian, std::uint32_t flags) = 0;
  /* 12 */ virtual Status GetNumNonZeros(std::int32_t* count) = 0;
  /* 13 */ virtual Status GetStructure(std::int32_t* rows, std::int32_t* cols,
                                       std::int32_t* kinds) = 0;

 protected:
  ~KVSNumericAlgebraicESO() = default;
};

// A sub-system record of the decomposition extension, opaque to solvers.
struct KVSSubSystem;

// Attribute names "Indeterminate" and "Torn".
class KVSNumericESODecompExtension : public platform::IUnknown {
 public:
  /* 3 */ virtual Status GetEquationAttribute(std::int32_t equation, const char* name,
                                              std::int32_t* value) = 0;
  /* 4 */ virtual Status SetEquationAttribute(std::int32_t equation, const char* name,
                                              std::int32_t value) = 0;
  /* 5 */ virtual Status GetGroupAttribute(const char* name, std::int32_t* value) = 0;
  /* 6 */ virtual Status SetGroupAttribute(const char* name, std::int32_t value) = 0;
  // Rows and columns 1-based; the positions array belongs to the record.
  /* 7 */ virtual Status CreateSubSystem(std::int32_t count, const std::int32_t* rows,
                                         const std::int32_t* cols, KVSSubSystem** sub,
                                         std::int32_t** positions) = 0;
  /* 8 */ virtual Status EvaluateSubSystem(KVSSubSystem* sub, double* residuals, double* jacobian,
                                           std::uint32_t flags) = 0;
  /* 9 */ virtual Status DestroySubSystem(KVSSubSystem* sub) = 0;

 protected:
  ~KVSNumericESODecompExtension() = default;
};

class KVSNumericESOExtension3 : public platform::IUnknown {
 public:
  /* 3 */ virtual Status GetEquationTextCount(std::int32_t equation, std::int32_t* count) = 0;
  /* 4 */ virtual Status GetEquationText(std::int32_t equation, std::int32_t index,
                                         char** text) = 0;

 protected:
  ~KVSNumericESOExtension3() = default;
};

class KVSHomotopy : public platform::IUnknown {
 public:
  /* 3 */ virtual Status GetCount(std::int32_t* count) = 0;
  /* 4 */ virtual Status SetValues(const double* values) = 0;
  /* 5 */ virtual Status Evaluate() = 0;
  /* 6 */ virtual Status GetValues(double* values) = 0;
  /* 7 */ virtual Status GetName(std::int32_t index, char** text) = 0;

 protected:
  ~KVSHomotopy() = default;
};

class KVSNLASystem : public platform::IUnknown {
 public:
  // call 0 first, then 1 while the answer is kKvsCallAgain; 0 converged,
  // kKvsSevere a severe failure. `detail` is the engine's status word.
  /* 3 */ virtual Status Solve(std::int32_t call, Status* detail) = 0;

 protected:
  ~KVSNLASystem() = default;
};

class KVSNLASystemFactory : public platform::IUnknown {
 public:
  /* 3 */ virtual Status CreateSystem(KVSNumericAlgebraicESO* eso, KVSMessagesHandler* handler,
                                      KVSNLASystem** out) = 0;

 protected:
  ~KVSNLASystemFactory() = default;
};
