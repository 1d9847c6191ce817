// The open solver framework: the entry points its libraries export, the
// factories and systems they make, their parameters and names, and the
// engine's side that they call back (the equation sets, the messages
// handler).
//
// Results are small integer codes carried in the 32-bit word (-8 is
// 0xFFFFFFF8); 0 is success. Texts handed across are allocated by the giver
// with the services' Alloc and freed by the receiver with Free.
#pragma once

#include <cstdint>

#include "solve/ifaces/com_types.h"

inline constexpr platform::IID IID_KVSUtilityComponent =
    platform::MakeGuid("{CF690D4A-2FD1-11D3-96AA-006097B14265}");
inline constexpr platform::IID IID_KVSParameters =
    platform::MakeGuid("{CF690D4B-2FD1-11D3-96AA-006097B14265}");
inline constexpr platform::IID IID_KVSNumericAlgebraicESO =
    platform::MakeGuid("{CF690D4C-2FD1-11D3-96AA-006097B14265}");
inline constexpr platform::IID IID_KVSNLASystemFactory =
    platform::MakeGuid("{CF690D4E-2FD1-11D3-96AA-006097B14265}");
inline constexpr platform::IID IID_KVSLASystemFactory =
    platform::MakeGuid("{CF690D50-2FD1-11D3-96AA-006097B14265}");
inline constexpr platform::IID IID_KVSNumericNLPESO =
    platform::MakeGuid("{CF691D4C-2FD1-11D3-96AA-006097B14265}");
inline constexpr platform::IID IID_KVSNLPSystemFactory =
    platform::MakeGuid("{CF691D50-2FD1-11D3-96AA-006097B14265}");
inline constexpr platform::IID IID_KVSLinearDependency =
    platform::MakeGuid("{4D9B67E8-C3BD-422F-B58D-D3A6676BCD06}");
inline constexpr platform::IID IID_KVSNumericESODecompExtension =
    platform::MakeGuid("{8652C62E-492C-4102-8EC2-23746D9F920E}");
inline constexpr platform::IID IID_KVSNumericESOExtension3 =
    platform::MakeGuid("{3B4DFEBC-6B25-4AC8-AE2E-476E92483D55}");
inline constexpr platform::IID IID_KVSHomotopy =
    platform::MakeGuid("{3801DEDA-E5DA-42D2-B746-CF9103E56BDE}");
inline constexpr platform::IID IID_KVS = platform::MakeGuid("{3A36B604-422A-4A48-95EC-D60AC0AD58F3}");
inline constexpr platform::IID IID_KVSNumericNLPESOExtended =
    platform::MakeGuid("{4A6DB70E-2984-4C45-BC3D-61580AD15DD7}");
// The NLP system's result and attribute interfaces are our own.
inline constexpr platform::IID IID_KVSNLPResult =
    platform::MakeGuid("{B843CAD4-04F7-428C-BED7-9CC740362FBF}");
inline constexpr platform::IID IID_KVSNLPAttributes =
    platform::MakeGuid("{48C4B7B3-3C92-4117-8C61-AA8D29CEE9A6}");

constexpr Status KvsCode(std::int32_t code) { return static_cast<Status>(code); }
inline constexpr Status kKvsBadIndex = KvsCode(-8);
inline constexpr Status kKvsNotSupported3 = KvsCode(-3);
inline constexpr Status kKvsNotSupported4 = KvsCode(-4);
inline constexpr Status kKvsEvaluationFailed = KvsCode(-12);
inline constexpr Status kKvsStructureFailed = KvsCode(-13);
inline constexpr Status kKvsResidualFailed = KvsCode(-14);
inline constexpr Status kKvsValueFailed = KvsCode(-15);
inline constexpr Status kKvsSevere = 0xA0000010u;

// Linear system answers.
inline constexpr Status kKvsSingular = 3;
inline constexpr Status kKvsNormError = 16;
// Nonlinear system answer: call again with 1.
inline constexpr Status kKvsCallAgain = 1;

// Parameter kinds.
inline constexpr std::int32_t kKvsInteger = 0;
inline constexpr std::int32_t kKvsReal = 1;
inline constexpr std::int32_t kKvsText = 2;

// Evaluation flags.
inline constexpr std::uint32_t kKvsResiduals = 0x2;
inline constexpr std::uint32_t kKvsJacobian = 0x4;
inline constexpr std::uint32_t kKvsJacobianOnly = 0x8;

// Utility component names that select solver-specific settings.
inline constexpr const char* kKvsSparseName = "_KVS_SPARSE";
inline constexpr const char* kKvsContinName = "_KVS_CONTIN";
inline constexpr const char* kKvsHypSqpName = "_KVS_HYPSQP";
inline constexpr const char* kKvsDmoName = "_KVS_DMO";

// Entry point names.
inline constexpr const char* kGetKVSServices = "GetKVSServices";
inline constexpr const char* kGetFactoryLASystem = "GetFactoryLASystem";
inline constexpr const char* kGetFactoryNLASystem = "GetFactoryNLASystem";
inline constexpr const char* kGetFactoryNLPSystem = "GetFactoryNLPSystem";

// The services object: no IUnknown, two operations.
class KVSServices {
 public:
  /* 0 */ virtual void Free(void* block) = 0;
  /* 1 */ virtual void* Alloc(std::uint64_t size) = 0;

 protected:
  ~KVSServices() = default;
};

using GetKVSServicesFunction = KVSServices* (*)();
// Each gives an object that is queried for its factory and utility
// interfaces, then released.
using GetFactoryFunction = platform::IUnknown* (*)();

// The engine's handler every system receives; no IUnknown.
class KVSMessagesHandler {
 public:
  // Prints `text` with `status` as the message status.
  /* 0 */ virtual Status Print(const char* text, std::int32_t a, Status status) = 0;
  /* 1 */ virtual Status Nothing() = 0;

 protected:
  ~KVSMessagesHandler() = default;
};

// Texts handed out are the receiver's to free with the services' Free.
class KVSUtilityComponent : public platform::IUnknown {
 public:
  /* 3 */ virtual Status GetVersion(char** text) = 0;
  /* 4 */ virtual Status GetProduct(char** text) = 0;
  /* 5 */ virtual Status GetDescription(char** text) = 0;
  /* 6 */ virtual Status DeleteThis() = 0;
  // The component name ("_KVS_SPARSE", ...).
  /* 7 */ virtual Status GetName(char** text) = 0;

 protected:
  ~KVSUtilityComponent() = default;
};

class KVS : public platform::IUnknown {
 protected:
  ~KVS() = default;
};

// A value is an int32_t, a double or a char* by kind; a positive result of
// Set is a refusal. The name array is the receiver's, every text and the
// array freed with the services' Free.
class KVSParameters : public platform::IUnknown {
 public:
  /* 3 */ virtual Status GetCount(std::int32_t* count) = 0;
  /* 4 */ virtual Status GetNames(char*** names) = 0;
  /* 5 */ virtual Status GetValue(const char* name, std::int32_t* kind, void* value) = 0;
  /* 6 */ virtual Status Set(const char* name, std::int32_t kind, const void* value) = 0;

 protected:
  ~KVSParameters() = default;
};

// Rank and the 1-based dependent rows and columns beyond it; the arrays
// are the caller's, one entry per equation.
class KVSLinearDependency : public platform::IUnknown {
 public:
  /* 3 */ virtual Status GetRank(std::int32_t* rank) = 0;
  /* 4 */ virtual Status GetDependentRows(std::int32_t* rows) = 0;
  /* 5 */ virtual Status GetDependentCols(std::int32_t* cols) = 0;

 protected:
  ~KVSLinearDependency() = default;
};

class KVSLASystem : public platform::IUnknown {
 public:
  // kKvsSingular, another positive value a failure.
  /* 3 */ virtual Status SetMatrixValues(const double* values) = 0;
  /* 4 */ virtual Status SetRHS(const double* rhs) = 0;
  // The solution is written into x (one entry per variable).
  /* 5 */ virtual Status Solve(double* x) = 0;

 protected:
  ~KVSLASystem() = default;
};

class KVSLASystemFactory : public platform::IUnknown {
 public:
  // Rows and columns 1-based, one pair per non-zero.
  /* 3 */ virtual Status CreateSystem(std::int32_t equations, std::int32_t variables,
                                      std::int32_t non_zeros, const std::int64_t* rows,
                                      const std::int64_t* cols, KVSMessagesHandler* handler,
                                      KVSLASystem** out) = 0;

 protected:
  ~KVSLASystemFactory() = default;
};

// A list of 0-based indices; a null list means all.
struct KVSIndexList {
  std::int32_t count;
  const std::int32_t* indices;
};

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
  /* 10 */ virtual Status GetVariableAttributeDescriptions(
      std::int32_t* count, KVSAttributeDescription** records) = 0;
  /* 11 */ virtual Status GetVariableAttribute(std::int32_t index, const char* name,
                                              double* value) = 0;
  /* 12 */ virtual Status GetConstraintName(std::int32_t index, char** text) = 0;
  // Pairs (constraint, -1) into the caller's array of 2 x constraints.
  /* 13 */ virtual Status GetConstraintVariablePairs(std::int32_t* count, std::int32_t* pairs) = 0;
  /* 14 */ virtual Status GetConstraintAttributeDescriptions(
      std::int32_t* count, KVSAttributeDescription** records) = 0;
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
