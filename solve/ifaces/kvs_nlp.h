// The optimisation solver libraries: the factory behind "GetFactoryNLPSystem",
// its reverse-communication system with its result and attribute
// interfaces, and the engine's problem description it works through.
#pragma once

#include <cstdint>

#include "solve/ifaces/kvs_common.h"

// Attribute descriptions handed to a solver, which owns them afterwards.
struct KVSAttributeDescription {
  char* name;
  char* description;
  std::int64_t type;  // 0 integer, 1 real
};

// What the solver asks of the caller between steps (request flags).
inline constexpr std::uint32_t kNlpWantsObjective = 2;
inline constexpr std::uint32_t kNlpWantsConstraints = 4;
inline constexpr std::uint32_t kNlpGivesPoint = 8;
inline constexpr std::uint32_t kNlpUnitScales = 16;
inline constexpr std::uint32_t kNlpWantsGradient = 32;
inline constexpr std::uint32_t kNlpWantsJacobian = 64;

// Attribute values travel as doubles whatever the described type.
class KVSNumericNLPESO : public platform::IUnknown {
 public:
  /* 3 */ virtual Status GetNumVariables(std::int32_t* count) = 0;
  /* 4 */ virtual Status GetNumEqualities(std::int32_t* count) = 0;
  /* 5 */ virtual Status GetNumInequalities(std::int32_t* count) = 0;
  /* 6 */ virtual Status GetVariableBounds(const KVSIndexList* list, double* lower,
                                           double* upper) = 0;
  /* 7 */ virtual Status SetVariableValues(const KVSIndexList* list, const double* values) = 0;
  /* 8 */ virtual Status GetVariableValues(const KVSIndexList* list, double* values) = 0;
  /* 9 */ virtual Status GetVariableName(std::int32_t index, char** text) = 0;
  /* 10 */ virtual Status GetVariableAttributeDescriptions(std::int32_t* count,
                                                           KVSAttributeDescription** records) = 0;
  /* 11 */ virtual Status GetVariableAttribute(std::int32_t index, const char* name,
                                               double* value) = 0;
  /* 12 */ virtual Status GetConstraintName(std::int32_t index, char** text) = 0;
  // Pairs (constraint, -1) into the caller's array of 2 x constraints.
  /* 13 */ virtual Status GetConstraintVariablePairs(std::int32_t* count, std::int32_t* pairs) = 0;
  /* 14 */ virtual Status GetConstraintAttributeDescriptions(std::int32_t* count,
                                                             KVSAttributeDescription** records) = 0;
  /* 15 */ virtual Status GetConstraintAttribute(std::int32_t index, const char* name,
                                                 double* value) = 0;
  /* 16 */ virtual Status GetNumExtraItems(std::int32_t* count) = 0;
  /* 17 */ virtual Status Unsupported17() = 0;
  /* 18 */ virtual Status Unsupported18() = 0;
  /* 19 */ virtual Status GetJacobianSizes(std::int32_t* columns, std::int32_t* non_zeros) = 0;
  /* 20 */ virtual Status GetJacobianStructure(std::int32_t* rows, std::int32_t* cols,
                                               std::int32_t* third) = 0;
  /* 21 */ virtual Status GetColumnNumbers(std::int32_t* columns) = 0;
  // 1 minimise, -1 maximise.
  /* 22 */ virtual Status GetObjectiveSense(std::int32_t* sense) = 0;
  /* 23 */ virtual Status SetMultipliers(const double* variables, const double* constraints) = 0;
  // How the solver says what it wants evaluated and reads what was.
  /* 24 */ virtual Status GetRequest(std::uint32_t* flags) = 0;
  /* 25 */ virtual Status SetRequest(std::uint32_t flags) = 0;
  /* 26 */ virtual Status GetObjective(double* value) = 0;
  /* 27 */ virtual Status GetConstraints(double* values) = 0;
  /* 28 */ virtual Status GetObjectiveGradient(double* values) = 0;
  /* 29 */ virtual Status GetConstraintJacobian(double* values) = 0;

 protected:
  ~KVSNumericNLPESO() = default;
};

class KVSNumericNLPESOExtended : public platform::IUnknown {
 public:
  // Only "Consistency" is taken.
  /* 3 */ virtual Status SetConstraintAttribute(std::int32_t index, const char* name,
                                                double value) = 0;

 protected:
  ~KVSNumericNLPESOExtended() = default;
};

// Step answers: -8, -7..-1 or >6 failure, 0 new point, 1 evaluate, 2..5
// convergence and limit codes.
class KVSNLPSystem : public platform::IUnknown {
 public:
  // mode 2 starts, -100 tells that the point could not be evaluated.
  /* 3 */ virtual Status Step(std::int32_t mode, KVSMessagesHandler* handler) = 0;

 protected:
  ~KVSNLPSystem() = default;
};

class KVSNLPResult : public platform::IUnknown {
 public:
  // "OPT_CVRG" is the convergence measure.
  /* 3 */ virtual Status GetResult(const char* name, double* value) = 0;

 protected:
  ~KVSNLPResult() = default;
};

class KVSNLPAttributes : public platform::IUnknown {
 public:
  // "Consistency" of a constraint.
  /* 3 */ virtual Status GetConstraintAttribute(std::int32_t index, const char* name,
                                                double* value) = 0;

 protected:
  ~KVSNLPAttributes() = default;
};

class KVSNLPSystemFactory : public platform::IUnknown {
 public:
  /* 3 */ virtual Status CreateSystem(KVSNumericNLPESO* eso, KVSMessagesHandler* handler,
                                      KVSNLPSystem** out) = 0;

 protected:
  ~KVSNLPSystemFactory() = default;
};
