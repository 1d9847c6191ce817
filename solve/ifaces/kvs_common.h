// What every library of the open solver framework shares: the framework's
// identifiers, result codes, entry points, the services object, the
// engine's messages handler, the utility component and the parameters.
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
inline constexpr platform::IID IID_KVS =
    platform::MakeGuid("{3A36B604-422A-4A48-95EC-D60AC0AD58F3}");
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

// A list of 0-based indices; a null list means all.
struct KVSIndexList {
  std::int32_t count;
  const std::int32_t* indices;
};
